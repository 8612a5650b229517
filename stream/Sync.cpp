#include "stream/Sync.h"

#include <chrono>
#include <fstream>

#include "foundation/SysLog.h"
#include "protocol/Exchange.h"

namespace QUORVIN {

using TIVRA::Clock;
using TIVRA::IPAddress;

namespace {

constexpr Clock ANSWER_WAIT{10 * Clock::MS};
constexpr Clock PREPARE_WAIT{10 * Clock::SEC};
constexpr uint16_t DEFAULT_PACKET_SIZE = 1428;
constexpr uint16_t DEFAULT_PACKET_COUNT = 10;
constexpr int RELEASE_NO = 142;

}  // namespace

void Connection::dumpfile(TIVRA::BufferCS_const data, const std::string& path)
{
    std::ofstream out(path.empty() ? std::string("/tmp/dump") : path, std::ios::binary | std::ios::app | std::ios::out);
    if (!out.is_open()) {
        return;
    }
    if (data.viewSize != 0) {
        out.write(reinterpret_cast<const char*>(data.viewData), static_cast<std::streamsize>(data.viewSize));
    }
}

Sync::Sync() = default;

Sync::~Sync()
{
    close();
}

bool Sync::open(uint32_t mode, Clock cycle, unsigned short iface, const std::string& name, unsigned long id, int worker,
                int aux, int auxCount)
{
    TIVRA::SYSLOG_INFO << "Quorvin Sync Library ReleaseNo : " << RELEASE_NO << " [" << iface << "]";
    hostInvertPhase.store(false);
    workMode.store(mode);
    workerCpu = worker;
    auxCpu = aux;
    auxCpuCount = auxCount;
    infoCycle = cycle;
    syncSocket.recvSize = 4096;

    // The interface index is ignored by the socket layer for the
    // unspecified address; it is passed for completeness.
    IPAddress any;
    any.ifindex = iface;
    if (!syncSocket.open(TIVRA::Socket::UDP_V6) || !syncSocket.bindV6(any, 1000)) {
        return false;
    }
    if ((mode & SOCKETNOBLOCK) != 0 && !syncSocket.setBlocking(false)) {
        return false;
    }
    maxPacketSize = DEFAULT_PACKET_SIZE;
    maxPacketCount = DEFAULT_PACKET_COUNT;
    hostName = name;
    syncState.store(SYNC_IDLE);
    hostId = id;
    playing.store(false);

    IPAddress anyDebug;
    anyDebug.ifindex = iface;
    if (!debugSocket.open(TIVRA::Socket::UDP_V6) || !debugSocket.bindV6(anyDebug, 1000)) {
        return false;
    }
    debugRequest.store(false);
    return true;
}

bool Sync::sendAck(TIVRA::UDPV6& socket, const IPAddress& to, const Send& request, MessageID answerId, Receive& answer,
                   Clock wait)
{
    answer.clear();
    Receive got;
    IPAddress from;
    // Whatever is queued before the request goes out cannot answer it: a
    // late answer to an earlier exchange would otherwise be taken for this
    // one's, as answers carry no more than their identifier. Log lines the
    // target forwarded to the relay's socket meanwhile still reach the log.
    const bool relaySocket = &socket == &debugSocket;
    const Clock drainEnd = Clock::now() + DRAIN_TIME;
    for (int drained = 0; drained < DRAIN_DATAGRAMS && socket.wait() == TIVRA::Socket::WaitReady && socket.is_open();
         ++drained) {
        if (!socket.receiveFromV6(got, from) || got.empty()) {
            break;
        }
        if (relaySocket && got && got.getMessage() == DEBUG_ANS && got.getOption0() == 2
            && TIVRA::quorvin_log >= TIVRA::SYSLOG_INFO) {
            std::string text;
            got.get_str(text);
            TIVRA::SYSLOG_INFO << "Target: " << text;
        }
        if (Clock::now().picoseconds >= drainEnd.picoseconds) {
            break;
        }
    }
    SendTimes sends;
    // The relay's socket also carries the target's log lines: they are not
    // to be dropped for late answers.
    auto answered = [&] {
        if (!relaySocket) {
            dropLateAnswers(socket, to, sends);
        }
        return true;
    };
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!socket.sendToV6(request, to, true)) {
            return false;
        }
        sends.sent();
        // Fixed at the send: strays do not prolong it.
        AnswerWait answerWait(wait);
        for (;;) {
            const Awaited r = answerWait.next(socket, got, from);
            if (r == Awaited::Failed) {
                return false;
            }
            if (r == Awaited::Timeout) {
                break;  // next send
            }
            if (!got) {
                TIVRA::SYSLOG_DEBUG << "sendAck RCV errpacket:" << got.size();
                continue;
            }
            if (from != to) {
                continue;
            }
            TIVRA::SYSLOG_DEBUG << "sendAck[" << socket.getIfOverride() << "," << to.ifindex << "," << from.ifindex
                                << "]RCV:" << request.getMessage();
            if (got.getMessage() == request.getMessage()) {
                return answered();  // an echo of our own request never counts
            }
            if (got.getMessage() != answerId) {
                continue;
            }
            if ((got.getStatus() & STATUS_OK) != 0) {
                answer = std::move(got);
            }
            return answered();
        }
    }
    return true;
}

bool Sync::sendAck(const IPAddress& to, const Send& request, MessageID answerId, Receive& answer, Clock wait)
{
    return sendAck(syncSocket, to, request, answerId, answer, wait);
}

bool Sync::inquirySupportFormat(const IPAddress& sink)
{
    Receive answer;
    if (!sendAck(sink, Send(SUPPORT_REQ, 0, 0UL), SUPPORT_ANS, answer, ANSWER_WAIT) || answer.empty()) {
        return false;
    }
    const uint64_t summary = answer.getOption();
    if (summary == 0) {
        return false;
    }
    auto detail = [&](uint64_t ask, FormatSupport& into) {
        Receive d;
        if (!sendAck(sink, Send(SUPPORT_REQ, 0, static_cast<unsigned long>(ask)), SUPPORT_ANS, d, ANSWER_WAIT)
            || d.empty()) {
            return false;
        }
        into = d.getOption();
        return true;
    };
    sincSupportPCM = 0;
    if ((summary & 0xFF00) != 0 && !detail(summary & 0xFF00, sincSupportPCM)) {
        return false;
    }
    sincSupportDSDlsb = 0;
    sincSupportDSDmsb = 0;
    if ((summary & 0xF0000) == 0) {
        return sincSupportPCM != 0;
    }
    if ((summary & 0x100000) != 0 && !detail(0x100000, sincSupportDSDlsb)) {
        return false;
    }
    if ((summary & 0x200000) != 0 && !detail(0x200000, sincSupportDSDmsb)) {
        return false;
    }
    return sincSupportPCM != 0 || sincSupportDSDlsb != 0 || sincSupportDSDmsb != 0;
}

bool Sync::inquiryParameter(const IPAddress& sink, unsigned int baseMin, unsigned int frameMax)
{
    Receive answer;
    if (!sendAck(sink, Send(PARAMETER_REQ, 0, static_cast<unsigned long>(sinkConfig.value)), PARAMETER_ANS, answer,
                 ANSWER_WAIT)) {
        return false;
    }
    if (answer.empty()) {
        profileMaker.setParameter(0, 0, 0, baseMin, frameMax);
    } else {
        profileMaker.setParameter(answer.getOption0(), answer.getOption1(), answer.getOption2(), baseMin, frameMax);
    }
    return true;
}

bool Sync::setSink(const IPAddress& sink, Clock latencyRequest, bool probe)
{
    Receive answer;
    if (probe && !sendAck(sink, Send(PROBE_REQ, 0, 0UL), SUPPORT_ANS, answer, ANSWER_WAIT)) {
        return false;
    }
    if (!inquirySupportFormat(sink)) {
        return false;
    }
    const uint32_t frameMax = getFrameMax();
    const uint32_t baseMin = getNoneBaseMin();
    if (!inquiryParameter(sink, baseMin, frameMax)) {
        return false;
    }

    if (!sendAck(sink, Send(LATENCY_REQ, 0, 0UL), LATENCY_ANS, answer, ANSWER_WAIT) || answer.empty()) {
        return false;
    }
    hwLatency = answer.getOption1();
    const uint16_t wanted = static_cast<uint16_t>(latencyRequest.picoseconds / 100'000'000ULL);
    if (wanted == 0) {
        latency = answer.getOption0();
        TIVRA::SYSLOG_INFO << "LATENCY_REQ hw=" << hwLatency * 100 << "us latency=" << latency * 100 << "us";
    } else {
        if (!sendAck(sink, Send(LATENCY_REQ, 0, wanted, 0, 0, 0), LATENCY_ANS, answer, ANSWER_WAIT) || answer.empty()) {
            return false;
        }
        latency = answer.getOption0();
        TIVRA::SYSLOG_INFO << "LATENCY_REQ hw=" << hwLatency * 100 << "us request=" << wanted * 100
                           << "us latency=" << latency * 100 << "us";
    }

    maxPacketSize = DEFAULT_PACKET_SIZE;
    maxPacketCount = DEFAULT_PACKET_COUNT;
    if (sendAck(sink, Send(DATASIZE_REQ, 0), DATASIZE_ANS, answer, ANSWER_WAIT) && !answer.empty()) {
        const uint16_t mtu = answer.getOption0();
        const uint16_t perCycle = answer.getOption1();
        TIVRA::SYSLOG_INFO << "DATASIZE_REQ mtu=" << mtu << " max=" << perCycle;
        // An mtu below 64 leaves no packet size (and 0 no packet count):
        // such an answer counts as none.
        if (mtu >= 64) {
            maxPacketSize = static_cast<uint16_t>((mtu - 64) & 0xFFF6);
            maxPacketCount = perCycle == 0xFFFF ? 0xFFFF : static_cast<uint16_t>(perCycle / mtu);
        }
    }

    sinkAddress = sink;
    debugAddress = sink;
    debugAddress.setPort(DEBUG_PORT);
    debugRequest.store(true);
    if (TIVRA::quorvin_log >= TIVRA::SYSLOG_INFO) {
        Clock::sleep(Clock(110 * Clock::MS));
    }
    return true;
}

bool Sync::is_active()
{
    Receive answer;
    return sendAck(sinkAddress, Send(SUPPORT_REQ, 0, 0UL), SUPPORT_ANS, answer, ANSWER_WAIT) && !answer.empty();
}

bool Sync::connectPrepare()
{
    const FormatPreConfigure pre(sinkConfig, latency);
    Receive answer;
    if (!sendAck(sinkAddress, Send(CONNECTPRE_REQ, 0, static_cast<unsigned long>(pre.value)), CONNECTPRE_ANS, answer,
                 PREPARE_WAIT)) {
        TIVRA::SYSLOG_ERR << "wth CR send err";
        setStateAndNotify(SYNC_IDLE);
        return false;
    }
    if (answer.empty()) {
        return true;
    }
    TIVRA::SYSLOG_INFO << "CONNECTPRE_REQ latency=" << FormatPreConfigure(answer.getOption()).getLatency() * 100
                       << "us";
    SendBuffer name;
    name.set(SYNCNAME_REQ, STATUS_OK, static_cast<unsigned long>(hostId));
    name.set_str(hostName);
    name.update();
    Receive nameAnswer;
    return sendAck(sinkAddress, name, SYNCNAME_ANS, nameAnswer, ANSWER_WAIT);
}

bool Sync::connect(int cpu)
{
    if (cpu >= 0) {
        workerCpu = cpu;
    }
    // A worker left from a stream that ended on its own leaves its loop once
    // it sees the idle state.
    syncState.store(SYNC_IDLE);
    if (syncThread.joinable()) {
        syncThread.join();
    }
    if (!sinkConfig.isValid()) {
        TIVRA::SYSLOG_ERR << "sinkConfig invalid";
        return false;
    }
    playing.store(false);
    syncState.store(SYNC_CONNECTING);
    if (startSyncWorker()) {
        if (TIVRA::quorvin_log >= TIVRA::SYSLOG_INFO && !debugThread.joinable()) {
            debugThread = std::thread(&Sync::thread_debug_func, this);
        }
        return true;
    }
    TIVRA::SYSLOG_ERR << "Sync Worker Start Error";
    close();
    return false;
}

bool Sync::connectWait()
{
    const int32_t state = syncState.load();
    if (state != SYNC_CONNECTING && state != SYNC_CONNECTED) {
        return false;
    }
    {
        std::unique_lock<std::mutex> lock(connectMutex);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(50);
        while (syncState.load() == SYNC_CONNECTING) {
            if (connectCond.wait_until(lock, deadline) == std::cv_status::timeout) {
                break;
            }
        }
        if (syncState.load() == SYNC_CONNECTING) {
            TIVRA::SYSLOG_INFO << "connectWait timeout";
        } else {
            TIVRA::SYSLOG_INFO << "connectWait notimeout";
        }
    }
    TIVRA::SYSLOG_INFO << "connectWait " << syncState.load();
    return true;
}

void Sync::setStateAndNotify(SyncState state)
{
    {
        std::lock_guard<std::mutex> lock(connectMutex);
        syncState.store(state);
    }
    connectCond.notify_all();
}

void Sync::disconnect()
{
    int32_t expected = SYNC_CONNECTED;
    if (!syncState.compare_exchange_strong(expected, SYNC_DISCONNECTING)) {
        return;
    }
    TIVRA::SYSLOG_INFO << "discone flgset";
    if (syncThread.joinable()) {
        syncThread.join();
    }
    TIVRA::SYSLOG_INFO << "discone done";
}

void Sync::disconnect_flgset()
{
    int32_t expected = SYNC_CONNECTED;
    if (syncState.compare_exchange_strong(expected, SYNC_DISCONNECTING)) {
        TIVRA::SYSLOG_INFO << "discone flgset";
    }
}

void Sync::play()
{
    playing.store(true);
    TIVRA::SYSLOG_INFO << "play " << syncState.load();
}

void Sync::stop()
{
    playing.store(false);
    TIVRA::SYSLOG_INFO << "stop " << syncState.load();
}

void Sync::joinThreads()
{
    if (syncThread.joinable()) {
        syncThread.join();
    }
    if (debugThread.joinable()) {
        debugThread.join();
    }
}

void Sync::close()
{
    // The sockets read as closed at once, so the worker and the relay fail
    // their next wait or receive and end; the descriptors are released only
    // after the joins, so no thread can reach a reused one.
    syncSocket.interrupt();
    debugSocket.interrupt();
    joinThreads();
    syncSocket.close();
    debugSocket.close();
}

Clock Sync::getLatency() const
{
    return Clock((static_cast<uint64_t>(latency) + hwLatency) * 100 * Clock::US);
}

void Sync::setPackSize(unsigned short mtu, unsigned short perCycle)
{
    if (mtu < 64) {
        return;  // no packet size to derive
    }
    maxPacketSize = static_cast<uint16_t>((mtu - 64) & 0xFFF6);
    maxPacketCount = perCycle == 0xFFFF ? 0xFFFF : static_cast<uint16_t>(perCycle / mtu);
}

bool Sync::mtuTest(const IPAddress& sink, unsigned short& mtu)
{
    if (mtu < 64) {
        mtu = 0;
        return false;
    }
    const unsigned short size = static_cast<unsigned short>(mtu - 64);
    SendBuffer test;
    test.set(DATASIZE_REQ, 0);
    test.resize(size);
    uint16_t sum = 0;
    uint8_t* p = test.get_data();
    for (unsigned i = 0; i < size; ++i) {
        p[i] = static_cast<uint8_t>((i + 122) & 0xFF);
        sum = static_cast<uint16_t>(sum + p[i]);
    }
    test.update();
    mtu = 0;
    Receive answer;
    const bool ok = sendAck(sink, test, DATASIZE_ANS, answer, ANSWER_WAIT);
    if (ok && !answer.empty() && answer.getOption3() == sum) {
        mtu = static_cast<unsigned short>(answer.getOption2() + 64);
    }
    return ok;
}

bool Sync::mtuTest(unsigned short& mtu)
{
    return mtuTest(sinkAddress, mtu);
}

}  // namespace QUORVIN
