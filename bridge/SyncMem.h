// The logic of one node between a driver's card (the shared ring and its
// header) and the stream to a sink: binds the node to its sink, offers the
// sink's formats on the card, and on every main-loop turn follows the
// driver's request bits (connect, play, stop, disconnect) and carries
// volume between the card and the chain's last sink. As the slot ring's
// fill hook it copies one card period into each free slot. The two driver
// requests it needs come from the derived class.
//
// Threads: the main loop runs setSink, openMem, work and close; the buffer
// worker runs notifyStreamDone. Everything the driver writes into the
// header is untrusted and read with fresh loads.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "bridge/AlsaProfile.h"
#include "bridge/BridgeMemHeader.h"
#include "bridge/BridgeSettings.h"
#include "bridge/OccupiedCPU.h"
#include "control/Control.h"
#include "discovery/Find.h"
#include "protocol/Format.h"
#include "stream/SyncBuffer.h"

// The card's ring as one stream uses it: taken once, on the turn that
// starts the stream, and checked against the card's limits.
struct CardRing {
    uint32_t ringBytes = 0;
    uint32_t periodCount = 0;
    uint32_t periodBytes = 0;
};

// The card's offer, from the sink's capability masks.
uint64_t cardFormatMask(QUORVIN::FormatSupport pcm, QUORVIN::FormatSupport dsdLsb, QUORVIN::FormatSupport dsdMsb);
uint64_t cardRateMask(QUORVIN::FormatSupport pcm, QUORVIN::FormatSupport dsdLsb, QUORVIN::FormatSupport dsdMsb);
uint64_t cardChannelMask(QUORVIN::FormatSupport pcm, QUORVIN::FormatSupport dsdLsb, QUORVIN::FormatSupport dsdMsb);

// The stream format the driver chose; not valid when any part is unknown
// (a rate no stream can have included).
QUORVIN::FormatConfigure decodeCardFormat(uint64_t chosenFormat, uint64_t chosenRate, uint64_t chosenChannels);

// The ring pair the driver wrote, refused (false) unless it is the card's
// limits as written into its header: periodMin <= periodCount <= periodMax
// (and at least 1), ringBytes divisible by periodCount, and a period of
// periodSizeMin..periodSizeMax bytes in whole, non-zero frames.
bool checkCardRing(uint32_t ringBytes, uint32_t periodCount, const CardLimits& limits, unsigned frameBytes,
                   CardRing& ring);

// Card volume 1..10001 (10001 = 0 dB, 1 = -60 dB, 0 = none) and sink
// volume in 0.01 dB, -6000..0.
int16_t cardToSinkVolume(int32_t card);
int32_t sinkToCardVolume(int16_t sink);

// The "start cycle=" line; a cycle of under a microsecond prints rate 0.
std::string cardStartLine(TIVRA::Clock cycle, int64_t cycleSize, TIVRA::Clock minCycle, QUORVIN::TransferMode mode,
                          const CardRing& ring, unsigned frameBytes);

class SyncMem : public QUORVIN::SyncBuffer {
public:
    SyncMem();
    ~SyncMem();
    SyncMem(const SyncMem&) = delete;
    SyncMem& operator=(const SyncMem&) = delete;

    bool setSink(TIVRA::IPAddress sinkAddress, const QUORVIN::Find::StatusSort& chain, TIVRA::Clock timeout, bool probe);
    void openMem(uint8_t* ring, const std::string& targetName, const std::string& sinkName);
    // The node's turn; false: the node failed and is to be dropped.
    bool work();
    void notifyStreamDone(TIVRA::Buffer& slot, bool firstAfterCycle) override;
    void statusUpdate();
    void close();
    bool isMemStatusOpen() const;

    // The driver requests, given by the derived class.
    virtual void wakeup() = 0;
    virtual void notify() = 0;
    // True once the driver link has failed for good (the node must be rebuilt).
    virtual bool linkFailed() const { return false; }

    // Set by the scan before setSink.
    AlsaProfile alsaProfile;
    uint32_t periodMax = QUORVIN::BRIDGE_PERIOD_MAX;
    uint32_t periodMin = QUORVIN::BRIDGE_PERIOD_MIN;
    uint32_t periodSizeMax = QUORVIN::BRIDGE_PERIOD_SIZE_MAX;
    uint32_t periodSizeMin = QUORVIN::BRIDGE_PERIOD_SIZE_MIN;
    OccupiedCPU* occupiedCpu = nullptr;  // not owned
    CardLimits cardLimits() const { return CardLimits{periodMax, periodMin, periodSizeMax, periodSizeMin}; }

    uint32_t getBridgeStatus() const { return bridgeStatus; }
    int getCpuSend() const { return cpuSend; }

protected:
    void setErrorStatus();
    void volumeStep();
    void releaseCpu();
    // The idle turn that may start a stream.
    bool startStream();

    int cpuSend = -1;
    uint8_t* ring = nullptr;
    QUORVIN::BridgeMemHeader* header = nullptr;
    // Written by the buffer worker while a stream runs, by the main loop
    // only while none does.
    uint64_t ringReadOffset = 0;
    uint32_t bridgeStatus = QUORVIN::QUORVIN_BR_STATUS_CLOSED;
    uint32_t bridgeStatusShown = QUORVIN::QUORVIN_BR_STATUS_CLOSED;
    QUORVIN::Control control;
    int32_t volumeShown = 0;
    std::atomic<int> dumpCount{0};
    // The running stream's ring, fixed before its buffer worker starts.
    std::atomic<uint32_t> streamRingBytes{0};
    std::atomic<uint32_t> streamPeriodBytes{0};
};

