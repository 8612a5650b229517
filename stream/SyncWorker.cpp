// The stream worker: connects the stream, sends timed cycles of packets
// from the audio that getNewStream hands out, serves resend requests,
// steers the data rate from the sink's feedback and ends the stream.
#include <bit>
#include <cstring>
#include <random>
#include <vector>

#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"
#include "stream/Sync.h"
#include "stream/WorkerControl.h"

namespace QUORVIN {

using TIVRA::Clock;
using TIVRA::IPAddress;
using TIVRA::Socket;

namespace {

constexpr Clock CONNECT_WAIT{10 * Clock::SEC};
constexpr Clock HANDSHAKE_WAIT{500 * Clock::MS};
// Bursts of resends the end of a stream waits for before its handshake.
constexpr int END_RESEND_BURSTS = 8;
constexpr StatusID CYCLE_BITS = STATUS_INFO | STATUS_CYCLE_END;

// One element of the resend ring.
struct STresendList : SendBuffer {
    bool finalPacket = false;
};

enum StreamEnd { END_NONE = 0, END_FILLED = 1, END_SENT = 2, END_INFO_ASKED = 3, END_HANDSHAKE = 4, END_DONE = 5 };

// The send statistics block: per-packet time and size records, logged raw.
class SendStatistics {
public:
    static constexpr size_t BLOCK_BYTES = 1412;
    static constexpr unsigned RECORDS = 176;

    void clear()
    {
        std::memset(block, 0, sizeof(block));
        count = 0;
    }

    void record(uint32_t bytes)
    {
        const uint32_t t = static_cast<uint32_t>(Clock::now().picoseconds / Clock::US);
        put32(4 + 8 * count, t);
        put32(8 + 8 * count, bytes + 74);
        ++count;
        if (count == RECORDS || static_cast<uint32_t>(t - get32(4)) > 49'999U) {
            put32(0, 0x01000000U | (count << 16));
            TIVRA::SYSLOG_INFO << "" << TIVRA::BufferCS_const{block, BLOCK_BYTES};
            clear();
        }
    }

private:
    void put32(size_t at, uint32_t v) { std::memcpy(block + at, &v, 4); }
    uint32_t get32(size_t at) const
    {
        uint32_t v;
        std::memcpy(&v, block + at, 4);
        return v;
    }

    uint8_t block[BLOCK_BYTES] = {};
    unsigned count = 0;
};

}  // namespace

bool Sync::getNewStream(TIVRA::BufferCS_const& data)
{
    (void)data;
    TIVRA::SYSLOG_ERR << "getNewStream not set err";
    return false;
}

bool Sync::getNewStreamCmp()
{
    return true;
}

bool Sync::startSyncWorker()
{
    syncThread = std::thread(&Sync::thread_sync_func, this);
    return true;
}

void Sync::thread_sync_func()
{
    const uint32_t given = workMode.load();
    if (startWorkMode(given, latency) != given) {
        workMode.fetch_and(~static_cast<uint32_t>(NOFASTFEEDBACK));
    }
    const uint32_t mode = workMode.load();
    char startLine[128];
    formatStartLine(startLine, sizeof(startLine), mode, infoCycle);
    TIVRA::SYSLOG_INFO << startLine;

    const uint64_t tid = TIVRA::ThreadPriority::getSelfThreadID();
    const bool critical = (mode & CRITICAL) != 0;
    if (!TIVRA::ThreadPriority::setPriority(
            tid, critical ? TIVRA::ThreadPriority::PRIORITY_REALTIME : TIVRA::ThreadPriority::PRIORITY_HIGH)) {
        TIVRA::SYSLOG_ERR << "Worker Thread Priority set Error";
        setStateAndNotify(SYNC_IDLE);
        return;
    }
    TIVRA::SYSLOG_INFO << "Worker Thread Priority change " << (critical ? "CRITICAL" : "HIGH");

    if ((mode & OCCUPIED) != 0) {
        auto pin = [tid](int cpu) {
            return TIVRA::ThreadPriority::setCpuThread(tid,
                                                       {TIVRA::ThreadPriority::Cpus{static_cast<uint16_t>(cpu), 1}});
        };
        if (workerCpu == -1) {
            if (pin(2)) {
                TIVRA::SYSLOG_INFO << "Worker Thread CPU change " << 2;
            } else if (pin(1)) {
                TIVRA::SYSLOG_INFO << "Worker Thread CPU change " << 1;
            } else {
                TIVRA::SYSLOG_ERR << "Worker Thread CPU set error 2 1";
                setStateAndNotify(SYNC_IDLE);
                return;
            }
        } else if (workerCpu >= 0 && pin(workerCpu)) {
            TIVRA::SYSLOG_INFO << "Worker Thread CPU change " << workerCpu;
        } else {
            TIVRA::SYSLOG_ERR << "Worker Thread CPU set error " << workerCpu;
            setStateAndNotify(SYNC_IDLE);
            return;
        }
    }

    syncWorker();
    syncState.store(SYNC_IDLE);
    TIVRA::SYSLOG_INFO << "wth end";
}

bool Sync::syncWorker()
{
    // ---- set-up
    const size_t ringSize = resendRingSize(profiles[0]);
    if (ringSize == 0) {
        TIVRA::SYSLOG_ERR << "wth profile invalid";
        setStateAndNotify(SYNC_IDLE);
        return false;
    }
    const uint16_t ringMask = static_cast<uint16_t>(ringSize - 1);
    std::vector<STresendList> ring(ringSize);
    for (STresendList& e : ring) {
        // A resend sizes the storage for two bytes more than its payload.
        e.reserve(static_cast<unsigned short>(maxPacketSize + 2));
    }
    const Clock rxTimeout = receiveTimeout(infoCycle);
    FeedbackController controller;
    std::mt19937 rng;
    if (profiles[0].mode == TransferRandom) {
        std::random_device device("default");
        rng.seed(device());
    }
    int profileIndex = 0;
    uint32_t currentFramesQ14 = profiles[0].framesPerPacketQ14;
    Clock currentCycle = profiles[0].cycleTime;
    TIVRA::BufferCS_const view{};
    size_t viewUsed = 0;
    const size_t frameBytes = size_t{sinkConfig.getWid()} * sinkConfig.getChannel();
    const uint8_t muteByte = sinkConfig.getMuteByte();

    // ---- connect request
    Receive answer;
    if (!sendAck(syncSocket, sinkAddress, Send(CONNECT_REQ, 0, static_cast<unsigned long>(sinkConfig.value)),
                 CONNECT_ANS, answer, CONNECT_WAIT)) {
        TIVRA::SYSLOG_ERR << "wth CR send err";
        setStateAndNotify(SYNC_IDLE);
        return false;
    }
    if (answer.empty()) {
        TIVRA::SYSLOG_INFO << "wth CR ack none";
        setStateAndNotify(SYNC_IDLE);
        return false;
    }
    bool invertPhase = phaseInverted(answer.getStatus());
    bool hostInvert = hostInvertPhase.load();
    auto runPhase = [&] {
        TIVRA::SYSLOG_INFO << "Host Phase " << (hostInvert ? "Invert" : "Normal");
        TIVRA::SYSLOG_INFO << "Play Phase " << ((invertPhase != hostInvert) ? "Invert" : "Normal");
        copyRoutine.store(phaseRoutine(copyRoutine.load(), invertPhase != hostInvert));
    };
    runPhase();
    auto mute = [&] { return static_cast<uint8_t>(muteByte ^ ((invertPhase != hostInvert) ? 0xFF : 0x00)); };

    // ---- prefill
    const uint16_t prefillCount = profiles[0].packetCount;
    for (uint16_t i = 0; i < prefillCount; ++i) {
        STresendList& p = ring[i & ringMask];
        p.set(STREAM_REQ, 0, i, 0, 0, 0);
        p.resize(static_cast<uint16_t>((currentFramesQ14 >> 14) * frameBytes));
        p.fill(mute());
        p.finalPacket = false;
        p.update();
    }

    // ---- connected
    IPAddress destination = sinkAddress;
    destination.setPort(answer.getOption0());
    syncSocket.setToV6(destination);
    IPAddress destinationBack;
    syncSocket.getToV6(destinationBack);
    setStateAndNotify(SYNC_CONNECTED);
    Clock now = Clock::now();
    Clock lastInfo = now;
    Clock lastRx = now;
    Clock deadline = firstDeadline(now, currentCycle);
    TIVRA::SYSLOG_INFO << "redy to play loop start" << (playing.load() ? 1 : 0);

    uint16_t sequenceNumber = 0;
    ResendQueue resends;
    LateCycleScore late;
    uint32_t frameAccumulator = 0;
    StreamEnd streamEnd = END_NONE;
    SendStatistics statistics;
    uint32_t prefillCountdown = prefillCount > 0 ? prefillCount - 1U : 0;
    bool idled = false;
    Receive rx;
    IPAddress from;
    bool freshData = false;
    int endResendBursts = 0;

    auto statistic = [&](const STresendList& p) {
        if (TIVRA::quorvin_log >= TIVRA::SYSLOG_INFO) {
            statistics.record(p.getLengthWord() & ~7U);
        }
    };

    // Builds the packet for counter s; false when the audio failed outside
    // a disconnect (the worker ends).
    auto build = [&](uint16_t s, uint16_t size) {
        STresendList& p = ring[s & ringMask];
        p.finalPacket = false;
        p.set(STREAM_REQ, 0, s, 0, 0, 0);
        p.resize(size);
        uint8_t* out = p.get_data();
        size_t left = size;
        const bool ending = streamEnd != END_NONE;
        while (left > 0) {
            const size_t avail = view.viewSize - viewUsed;
            if (avail > 0) {
                const size_t n = avail < left ? avail : left;
                copyRoutine.load(std::memory_order_relaxed)(out, view.viewData + viewUsed, n);
                out += n;
                left -= n;
                viewUsed += n;
                continue;
            }
            if (ending) {
                std::memset(out, mute(), left);
                break;
            }
            if (!playing.load()) {
                std::memset(out, mute(), left);
                if (syncState.load() == SYNC_DISCONNECTING && streamEnd == END_NONE) {
                    TIVRA::SYSLOG_INFO << "buffer disconnect ";
                    streamEnd = END_FILLED;
                    p.finalPacket = true;
                }
                break;
            }
            if (getNewStream(view)) {
                viewUsed = 0;
                freshData = true;
                continue;
            }
            view = {};
            viewUsed = 0;
            if (syncState.load() == SYNC_DISCONNECTING) {
                TIVRA::SYSLOG_INFO << "buffer Final ";
                std::memset(out, mute(), left);
                streamEnd = END_FILLED;
                p.finalPacket = true;
                freshData = true;
                break;
            }
            TIVRA::SYSLOG_WARNING << "buffer timeout ";
            return false;
        }
        p.update();
        return true;
    };

    // ---- the cycle loop
    for (;;) {
        const int32_t state = syncState.load();
        if (state != SYNC_CONNECTED && state != SYNC_DISCONNECTING) {
            break;
        }
        // The answer that lets the handshake begin may come with a resend
        // request, or after one: those packets (the final one among them)
        // go out first. A bounded number of bursts, so a sink that keeps
        // asking cannot hold the end off.
        if (streamEnd == END_HANDSHAKE && (resends.pending() == 0 || endResendBursts >= END_RESEND_BURSTS)) {
            const Send request(DSICONNECT_REQ, 0);
            for (int attempt = 0; attempt < 4 && streamEnd != END_DONE; ++attempt) {
                if (!syncSocket.sendToV6(request, true)) {
                    break;
                }
                const Socket::WaitResult r = syncSocket.wait(HANDSHAKE_WAIT);
                if (r == Socket::WaitError) {
                    break;
                }
                if (r == Socket::WaitTimeout) {
                    continue;
                }
                if (!syncSocket.receiveFromV6(rx, from)) {
                    break;
                }
                if (rx && from == destinationBack && rx.getMessage() == DSICONNECT_ANS) {
                    streamEnd = END_DONE;
                }
            }
            if (streamEnd != END_DONE) {
                TIVRA::SYSLOG_INFO << "DSICONNECT_REQ ERROR ";
            }
            break;
        }

        const uint32_t mode = workMode.load();
        now = Clock::now();
        Socket::WaitResult waitResult = Socket::WaitTimeout;
        Clock waited{0};
        const WaitStep step = waitStep(mode, now, deadline, idled);
        if (step.yield) {
            TIVRA::ThreadPriority::idle();
            idled = true;
        }
        if (step.action == WaitStep::SPIN) {
            continue;
        }
        bool sendNow = step.action == WaitStep::SEND;
        if (sendNow) {
            idled = false;
        } else {
            waitResult = syncSocket.wait(step.sleep);
            waited = step.sleep;
            if (waitResult == Socket::WaitError) {
                TIVRA::SYSLOG_ERR << "wth udp wait error";
                break;
            }
            now = Clock::now();
            sendNow = now.Comp(deadline) >= 0;
        }

        if (sendNow) {
            const Profile& p = profiles[profileIndex];
            const BurstPlan plan = planBurst(p, currentCycle, deadline, now, mode, rng, late);
            deadline = plan.deadline;
            if (plan.late) {
                TIVRA::SYSLOG_WARNING << "over time " << plan.lateBy.picoseconds / Clock::US << " "
                                      << waited.picoseconds / Clock::US << " " << plan.scoreBefore;
            }
            const int burstCount = plan.packets;
            // The resends owed go first and come on top of the fresh packets:
            // in their places they would starve playback under steady loss.
            // Only a few per fresh packet, the rest in the next bursts.
            const int resendCount = resends.forBurst(p.packetCount);
            const int burstTotal = burstCount + resendCount;
            if (streamEnd == END_HANDSHAKE && resendCount > 0) {
                ++endResendBursts;
            }
            const bool blockingSwitch = (mode & SOCKETNOBLOCK) == 0 && burstTotal > 1;
            if (blockingSwitch) {
                syncSocket.setBlocking(false);
            }
            const bool infoDue = (now - lastInfo).picoseconds >= infoCycle.picoseconds;
            const int framesThisBurst = framesForBurst(currentFramesQ14, plan.scale);
            freshData = false;
            bool failed = false;
            for (int sent = 1; sent <= burstTotal; ++sent) {
                const bool isLast = sent >= burstTotal;
                if (blockingSwitch && isLast) {
                    syncSocket.setBlocking(true);
                }
                if (sent <= resendCount) {
                    STresendList& q = ring[resends.take() & ringMask];
                    q.resizeStorage((q.size_data() + 2 + 23) & ~size_t{7});
                    q.statusUpdate(CYCLE_BITS, isLast ? STATUS_CYCLE_END : 0);
                    syncSocket.sendToV6(q, true);
                    statistic(q);
                    continue;
                }
                STresendList& q = ring[sequenceNumber & ringMask];
                StatusID status = 0;
                if (isLast) {
                    status = STATUS_CYCLE_END;
                    if (infoDue) {
                        status |= STATUS_INFO;
                        lastInfo = now;
                        if (streamEnd == END_SENT) {
                            streamEnd = END_INFO_ASKED;
                        }
                    }
                }
                q.statusUpdate(CYCLE_BITS, status);
                if (!syncSocket.sendToV6(q, true)) {
                    TIVRA::SYSLOG_ERR << "wth udp send error " << syncSocket.getLastError();
                    failed = true;
                    break;
                }
                statistic(q);
                if (q.finalPacket) {
                    streamEnd = END_SENT;
                }
                uint32_t size = p.packetBytes;
                if (size == 0) {
                    frameAccumulator +=
                        p.mode == TransferRandom ? static_cast<uint32_t>(framesThisBurst) : currentFramesQ14;
                    size = static_cast<uint32_t>((frameAccumulator >> 14) * frameBytes);
                    frameAccumulator &= 0x3FFF;
                    if (size > maxPacketSize) {
                        size = static_cast<uint32_t>(maxPacketSize - maxPacketSize % frameBytes);
                    }
                }
                ++sequenceNumber;
                if (prefillCountdown > 0) {
                    --prefillCountdown;
                } else if (!build(sequenceNumber, static_cast<uint16_t>(size))) {
                    failed = true;
                    break;
                }
            }
            if (failed) {
                break;
            }
            if (freshData) {
                getNewStreamCmp();
            }
            if (waitResult == Socket::WaitTimeout) {
                waitResult = syncSocket.wait();
                if (waitResult == Socket::WaitError) {
                    TIVRA::SYSLOG_ERR << "wth udp wait2 error";
                    break;
                }
            }
        }

        // ---- receive at most one datagram
        if ((now - lastRx).picoseconds >= rxTimeout.picoseconds) {
            TIVRA::SYSLOG_INFO << "   timeout " << (now - lastRx).picoseconds / Clock::US;
            break;
        }
        if (waitResult == Socket::WaitTimeout) {
            continue;
        }
        if (!syncSocket.receiveFromV6(rx, from)) {
            TIVRA::SYSLOG_INFO << "udp rcv error ";
            break;
        }
        if (!(from == destinationBack) || !rx) {
            continue;
        }
        lastRx = now;
        const MessageID message = rx.getMessage();
        if (message == DSICONNECT_ANS) {
            TIVRA::SYSLOG_INFO << "DSICONNECT_ANS ";
            break;
        }
        if (message != STREAM_ANS) {
            continue;
        }
        if (streamEnd == END_INFO_ASKED) {
            streamEnd = END_HANDSHAKE;
        }
        if ((rx.getStatus() & STATUS_RESEND) != 0) {
            const uint16_t back = static_cast<uint16_t>(sequenceNumber - rx.getOption1());
            if (back < ringSize) {
                resends.ask(sequenceNumber, back);
                TIVRA::SYSLOG_INFO << "   count resend " << rx.getOption1() << "   " << rx.getOption2() << " " << back;
                continue;
            }
            TIVRA::SYSLOG_INFO << "   count error " << rx.getOption1() << "   " << rx.getOption2() << " " << back;
            break;
        }

        const Feedback fb = decodeFeedback(rx.getOption0(), rx.getOption1(), rx.getOption2());
        controller.push(fb.value, feedbackWindow(mode));
        const int next = late.profileSwitch(profileIndex, profileCount);
        if (next != profileIndex) {
            if (next > profileIndex) {
                TIVRA::SYSLOG_WARNING << "over time change profile " << profileIndex << " to " << next;
            } else {
                TIVRA::SYSLOG_WARNING << "over time recover profile " << profileIndex << " to " << next;
            }
            profileIndex = next;
            currentCycle = profiles[profileIndex].cycleTime;
            currentFramesQ14 = profiles[profileIndex].framesPerPacketQ14;
        }
        const Profile& p = profiles[profileIndex];
        if (p.packetBytes != 0) {
            currentCycle = controller.applyToCycle(p.cycleTime);
        } else {
            currentFramesQ14 = controller.applyToFrames(p.framesPerPacketQ14);
        }
        const bool newInvert = phaseInverted(rx.getStatus());
        const bool hostNow = hostInvertPhase.load();
        if (newInvert != invertPhase || hostNow != hostInvert) {
            invertPhase = newInvert;
            hostInvert = hostNow;
            runPhase();
        }
        if (TIVRA::quorvin_log >= TIVRA::SYSLOG_INFO) {
            char text[64];
            formatFeedbackLine(text, sizeof(text), fb, controller, p, currentCycle, currentFramesQ14);
            TIVRA::SYSLOG_INFO << "info rcv " << fb.kind << text;
        }
    }
    return streamEnd == END_DONE;
}

void Sync::thread_debug_func()
{
    const uint32_t mode = workMode.load();
    if ((mode & OCCUPIED) != 0 && auxCpu != -1 && auxCpuCount > 0) {
        const uint64_t tid = TIVRA::ThreadPriority::getSelfThreadID();
        if (TIVRA::ThreadPriority::setCpuThread(
                tid,
                {TIVRA::ThreadPriority::Cpus{static_cast<uint16_t>(auxCpu), static_cast<uint16_t>(auxCpuCount)}})) {
            TIVRA::SYSLOG_INFO << "Debug Thread CPU set " << auxCpu << "," << auxCpuCount;
        } else {
            TIVRA::SYSLOG_WARNING << "Debug Thread CPU set error " << auxCpu << "," << auxCpuCount;
        }
    }
    TIVRA::ThreadPriority::setPriority(TIVRA::ThreadPriority::getSelfThreadID(), TIVRA::ThreadPriority::PRIORITY_IDLE);
    Receive buffer;
    IPAddress from;
    std::string text;
    for (;;) {
        if (debugRequest.exchange(false)) {
            const int level = TIVRA::quorvin_log;
            Receive answer;
            sendAck(debugSocket, debugAddress, Send(DEBUG_REQ, 0, level > 5 ? 1 : 0, 0, 0, 0), DEBUG_ANS, answer,
                    Clock(10 * Clock::MS));
        }
        const Socket::WaitResult r = debugSocket.wait(Clock(100 * Clock::MS));
        if (r == Socket::WaitError) {
            break;
        }
        if (r == Socket::WaitTimeout) {
            continue;
        }
        if (!debugSocket.receiveFromV6(buffer, from)) {
            break;
        }
        if (buffer && buffer.getMessage() == DEBUG_ANS && buffer.getOption0() == 2) {
            buffer.get_str(text);
            if (TIVRA::quorvin_log >= TIVRA::SYSLOG_INFO) {
                TIVRA::SYSLOG_INFO << "Target: " << text;
            }
        }
    }
}

}  // namespace QUORVIN
