// One stream from this host to one sink of a target: the negotiation with
// the sink, the connect, the cycle-timed stream worker and the relay of the
// target's log lines. The main thread drives it; the stream worker and the
// log relay are its own threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "protocol/Format.h"
#include "protocol/Identifiers.h"
#include "protocol/Message.h"
#include "stream/Profile.h"

namespace QUORVIN {

class Connection {
public:
    // Appends the bytes to the file ("/tmp/dump" for an empty path); a file
    // that cannot be opened is passed over.
    static void dumpfile(TIVRA::BufferCS_const data, const std::string& path);
};

enum SyncState : int32_t {
    SYNC_IDLE = 0,
    SYNC_CONNECTING = 1,
    SYNC_CONNECTED = 2,
    SYNC_DISCONNECTING = 3,
};

// Copies count bytes from the host's audio into a packet, adapting the
// sample layout and polarity on the way.
using CopyRoutine = void (*)(unsigned char* destination, const unsigned char* source, size_t count);

class Sync : public Connection {
public:
    enum THRED_MODE : uint32_t {
        CRITICAL = 0x001,
        NOSHORTSLEEP = 0x002,
        NOSLEEP4CORE = 0x004,
        SOCKETNOBLOCK = 0x008,
        OCCUPIED = 0x010,
        FEEDBACK = 0x0E0,  // averaging window - 1
        NOFASTFEEDBACK = 0x100,
        IDLEONCE = 0x200,
        IDLEALWAYS = 0x400,
        NOSLEEPFORCE = 0x800,
    };

    static constexpr int PROFILE_SLOTS = 10;
    static constexpr uint16_t DEBUG_PORT = TARGET_PORT;

    Sync();
    ~Sync();
    Sync(const Sync&) = delete;
    Sync& operator=(const Sync&) = delete;

    // The stream worker's source of audio (in sink format), the report that
    // a cycle went out from fetched data, and the worker's start.
    virtual bool getNewStream(TIVRA::BufferCS_const& data);
    virtual bool getNewStreamCmp();
    virtual bool startSyncWorker();

    // ---- lifecycle and negotiation
    bool open(uint32_t mode, TIVRA::Clock infoCycle, unsigned short iface, const std::string& hostName,
              unsigned long hostId, int workerCpu, int auxCpu, int auxCpuCount);
    void changeWorkMode(uint32_t mode) { workMode.store(mode); }
    void setHostInvertPhase(bool invert) { hostInvertPhase.store(invert); }
    bool setSink(const TIVRA::IPAddress& sink, TIVRA::Clock latencyRequest, bool probe);
    bool is_active();
    bool inquirySupportFormat(const TIVRA::IPAddress& sink);
    bool inquiryParameter(const TIVRA::IPAddress& sink, unsigned int baseMin, unsigned int frameMax);
    bool connectPrepare();
    bool connect(int cpu);
    bool connectWait();
    void disconnect();
    void disconnect_flgset();
    void play();
    void stop();
    void close();
    TIVRA::Clock getLatency() const;
    void setPackSize(unsigned short mtu, unsigned short perCycle);
    bool mtuTest(const TIVRA::IPAddress& sink, unsigned short& mtu);
    bool mtuTest(unsigned short& mtu);

    // Request and answer: up to three sends, each followed by a wait. False
    // only on a socket failure; true with an empty answer when no usable
    // answer came.
    bool sendAck(TIVRA::UDPV6& socket, const TIVRA::IPAddress& to, const Send& request, MessageID answerId,
                 Receive& answer, TIVRA::Clock wait);
    bool sendAck(const TIVRA::IPAddress& to, const Send& request, MessageID answerId, Receive& answer,
                 TIVRA::Clock wait);

    // ---- format acceptance
    bool checkSinkSupport(FormatConfigure format) const;
    bool setSinkConfigure(FormatConfigure format);
    uint32_t getNoneBaseMin() const;
    uint32_t getFrameMax() const;

    // ---- transfer profiles
    void configTransferAuto(TIVRA::Clock limit, TIVRA::Clock start, TIVRA::Clock fallbackLimit);
    bool configTransferFix(TIVRA::Clock cycle, int count);
    bool configTransferVar(TIVRA::Clock cycle, int count);
    bool configTransferFixAuto(TIVRA::Clock cycle);
    bool configTransferVarAuto(TIVRA::Clock cycle);
    bool configTransferRandom(TIVRA::Clock minCycle, TIVRA::Clock cycle, int count);
    void setConfigTransfer(const Profile& profile);
    ProfileMaker getProfileMaker();
    TIVRA::Clock getCycleTime() const { return profiles[0].cycleTime; }
    TIVRA::Clock getMinCycleTime() const { return profiles[0].minCycleTime; }
    int64_t getCycleSize() const { return int64_t{profiles[0].packetCount} * int64_t{profiles[0].packetBytes}; }
    TransferMode getMode() const { return profiles[0].mode; }

    // ---- sample copy routines
    void memcpySync(unsigned char* destination, const unsigned char* source, size_t count)
    {
        copyRoutine.load(std::memory_order_relaxed)(destination, source, count);
    }
    static void memcpySyncOrg(unsigned char* destination, const unsigned char* source, size_t count);
    static void memcpySyncAntiPhase(unsigned char* destination, const unsigned char* source, size_t count);
    static void memcpySyncByteSwap32(unsigned char* destination, const unsigned char* source, size_t count);
    static void memcpySyncByteSwap32AntiPhase(unsigned char* destination, const unsigned char* source, size_t count);
    static void memcpySyncBitSwap32(unsigned char* destination, const unsigned char* source, size_t count);
    static void memcpySyncBitSwap32AntiPhase(unsigned char* destination, const unsigned char* source, size_t count);
    static void memcpySyncBitByteSwap32(unsigned char* destination, const unsigned char* source, size_t count);
    static void memcpySyncBitByteSwap32AntiPhase(unsigned char* destination, const unsigned char* source, size_t count);
    static const unsigned char swapBitsTable[256];
    static const unsigned char swapBitsTableAntiPhase[256];
    // The member of current's family that matches the inversion; a routine
    // outside the three 32-bit families counts as the plain-copy family.
    static CopyRoutine phaseRoutine(CopyRoutine current, bool inversion);

    // ---- observers
    SyncState getState() const { return static_cast<SyncState>(syncState.load()); }
    bool isPlaying() const { return playing.load(); }
    uint32_t getWorkMode() const { return workMode.load(); }
    FormatConfigure getHostConfig() const { return hostConfig; }
    FormatConfigure getSinkConfig() const { return sinkConfig; }
    CopyRoutine getCopyRoutine() const { return copyRoutine.load(); }
    unsigned short getMaxPacketSize() const { return maxPacketSize; }
    unsigned short getMaxPacketCount() const { return maxPacketCount; }
    const TIVRA::IPAddress& getSinkAddress() const { return sinkAddress; }

protected:
    // Stream worker and log relay thread bodies.
    void thread_sync_func();
    bool syncWorker();
    void thread_debug_func();

    // Chosen by format acceptance, switched by the worker on a phase report.
    std::atomic<CopyRoutine> copyRoutine{memcpySyncOrg};
    std::thread syncThread;
    TIVRA::UDPV6 syncSocket;
    TIVRA::UDPV6 debugSocket;
    std::thread debugThread;
    std::mutex connectMutex;
    std::condition_variable connectCond;
    std::atomic<int32_t> syncState{SYNC_IDLE};
    std::atomic<bool> playing{false};  // while false the worker sends silence
    TIVRA::IPAddress sinkAddress{};
    TIVRA::IPAddress debugAddress{};
    std::atomic<bool> debugRequest{false};
    FormatConfigure hostConfig;
    FormatConfigure sinkConfig;
    FormatSupport sincSupportPCM;
    FormatSupport sincSupportDSDlsb;
    FormatSupport sincSupportDSDmsb;
    uint16_t latency = 0;    // 100-us units
    uint16_t hwLatency = 0;  // 100-us units
    std::atomic<uint32_t> workMode{0};
    int32_t workerCpu = 0;
    int32_t auxCpu = 0;
    int32_t auxCpuCount = 0;
    std::atomic<bool> hostInvertPhase{false};
    TIVRA::Clock infoCycle;
    uint16_t maxPacketSize = 0;
    uint16_t maxPacketCount = 0;  // 0xFFFF: no limit
    Profile profiles[PROFILE_SLOTS]{};
    int32_t profileCount = 0;
    ProfileMaker profileMaker;
    std::string hostName;
    uint64_t hostId = 0;

private:
    // The worker's state changes that wake connectWait are made under
    // connectMutex, so the waiter cannot miss them.
    void setStateAndNotify(SyncState state);
    void joinThreads();
};

}  // namespace QUORVIN
