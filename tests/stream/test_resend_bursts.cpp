// How the stream worker serves a resend request too big for one burst: the
// packets asked for go out a few per fresh packet over the next bursts, in
// counter order and byte for byte as first sent, while every burst keeps its
// fresh packets; the edge of the resend ring; a run of resends across the
// wrap of the 16-bit counter; and the end of a stream before a sink that
// never stops asking. The sink is the test itself on ::1, so that every
// packet of every burst can be checked; the worker streams in its real-time
// class.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "WaitFor.h"
#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"
#include "stream/Sync.h"
#include "stream/WorkerControl.h"

using namespace std::chrono_literals;
using QUORVIN::FormatConfigure;
using QUORVIN::StatusID;
using TIVRA::Clock;

namespace {

constexpr uint32_t kPacketBytes = 64;  // 16 frames of 16-bit stereo

// Known audio: byte k of the stream.
uint8_t audioByte(uint64_t k)
{
    uint64_t x = (k + 1) * 0x9E3779B97F4A7C15ULL;
    x ^= x >> 29;
    return static_cast<uint8_t>(x | 1);  // never the mute byte
}

// A stream fed with endless known audio, one packet's worth at a time, until
// it is disconnecting: then none, so the next packet built is the final one.
class PatternStream : public QUORVIN::Sync {
public:
    using Sync::latency;
    using Sync::sincSupportPCM;
    using Sync::sinkAddress;

    ~PatternStream() { close(); }

    bool getNewStream(TIVRA::BufferCS_const& data) override
    {
        if (syncState.load() == QUORVIN::SYNC_DISCONNECTING) {
            return false;
        }
        for (uint32_t i = 0; i < kPacketBytes; ++i) {
            block[i] = audioByte(offset + i);
        }
        offset += kPacketBytes;
        data = {block, kPacketBytes};
        return true;
    }

    // The worker's socket fails under it, as in close, without the join
    // that a disconnect on another thread is in.
    void breakSocket() { syncSocket.close(); }

private:
    uint8_t block[kPacketBytes] = {};
    uint64_t offset = 0;  // worker only
};

// One stream packet as it arrived; counters extended past their wraps.
struct Packet {
    int64_t counter = 0;
    StatusID status = 0;
    std::vector<uint8_t> payload;
    bool again = false;  // the counter had come before
};
using Burst = std::vector<Packet>;

// The test's own sink: it takes the connect, answers every feedback request
// with a neutral value and the handshake at once, and keeps the first copy
// of every packet.
class ScriptedSink {
public:
    enum Read { BURST, DISCONNECT, TIMEOUT };

    bool open()
    {
        at.addr[15] = 1;
        socket.recvSize = 4096;
        if (!socket.open(TIVRA::Socket::UDP_V6) || !socket.bindV6(at)) {
            return false;
        }
        // Room for a second of the fastest stream here, should this thread
        // be held up.
        const int room = 32 * 1024 * 1024;
        return setsockopt(socket.getDescriptor(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof(room)) == 0;
    }

    bool acceptConnect()
    {
        while (next()) {
            if (rx.getMessage() == QUORVIN::CONNECT_REQ) {
                host = from;
                return socket.sendToV6(QUORVIN::Send(QUORVIN::CONNECT_ANS, QUORVIN::STATUS_OK, at.getPort(), 0, 0, 0),
                                       host, true);
            }
        }
        return false;
    }

    // The packets up to and with the one that ends a cycle.
    Read readBurst(Burst& burst)
    {
        burst.clear();
        while (next()) {
            if (!(from == host)) {
                continue;
            }
            if (rx.getMessage() == QUORVIN::DSICONNECT_REQ) {
                ++disconnectRequests;
                socket.sendToV6(QUORVIN::Send(QUORVIN::DSICONNECT_ANS, QUORVIN::STATUS_OK), host, true);
                return DISCONNECT;
            }
            if (rx.getMessage() != QUORVIN::STREAM_REQ) {
                continue;
            }
            Packet p;
            p.counter = extend(rx.getOption0());
            p.status = rx.getStatus();
            const TIVRA::BufferCS_const data = rx.get_data_CS();
            p.payload.assign(data.viewData, data.viewData + data.viewSize);
            p.again = p.counter <= highest;
            if (p.counter > highest) {
                highest = p.counter;
                firstCopy.resize(static_cast<size_t>(highest) + 1);
                firstCopy.back() = p.payload;
            }
            if ((p.status & QUORVIN::STATUS_INFO) != 0) {
                socket.sendToV6(QUORVIN::Send(QUORVIN::STREAM_ANS, QUORVIN::STATUS_OK, 0x2000, 0, 0, 0), host, true);
            }
            const bool end = (p.status & QUORVIN::STATUS_CYCLE_END) != 0;
            burst.push_back(std::move(p));
            if (end) {
                return BURST;
            }
        }
        return TIMEOUT;
    }

    // A resend request for every packet from `first` on.
    void askResend(int64_t first)
    {
        socket.sendToV6(QUORVIN::Send(QUORVIN::STREAM_ANS, QUORVIN::STATUS_OK | QUORVIN::STATUS_RESEND, 0,
                                      static_cast<uint16_t>(first), static_cast<uint16_t>(highest), 0),
                        host, true);
    }

    TIVRA::IPAddress at;
    int64_t highest = -1;                         // the newest counter that came
    std::vector<std::vector<uint8_t>> firstCopy;  // payload by counter
    int disconnectRequests = 0;

private:
    // The next datagram within 2 s.
    bool next()
    {
        const auto end = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < end) {
            if (socket.wait(Clock(50 * Clock::MS)) == TIVRA::Socket::WaitReady && socket.receiveFromV6(rx, from)
                && rx) {
                return true;
            }
        }
        return false;
    }

    int64_t extend(uint16_t counter) const
    {
        const int64_t expected = highest + 1;
        return expected + static_cast<int16_t>(static_cast<uint16_t>(counter - static_cast<uint16_t>(expected)));
    }

    TIVRA::Socket socket;
    TIVRA::IPAddress host;
    TIVRA::IPAddress from;
    QUORVIN::Receive rx;
};

bool allMute(const Packet& p)
{
    return std::all_of(p.payload.begin(), p.payload.end(), [](uint8_t b) { return b == 0; });
}

// The back count of the worker's one "   count resend " line.
long loggedBack()
{
    const std::vector<std::string> lines = testlog::startingWith("   count resend ");
    if (lines.size() != 1) {
        return -1;
    }
    return std::atol(lines[0].substr(lines[0].rfind(' ') + 1).c_str());
}

class ResendBursts : public ::testing::Test {
protected:
    void SetUp() override
    {
        testlog::start(TIVRA::SYSLOG_INFO);
        // This thread reads every packet beside the worker: in the same class.
        ASSERT_TRUE(TIVRA::ThreadPriority::setPriority(reader, TIVRA::ThreadPriority::PRIORITY_REALTIME));
    }

    void TearDown() override
    {
        stream.close();
        TIVRA::ThreadPriority::setPriority(reader, TIVRA::ThreadPriority::PRIORITY_NORMAL);
        TIVRA::quorvin_log = -1;
    }

    // Connects a stream of `packets` packets of kPacketBytes per cycle and
    // plays it. Without a catch-up (NOFASTFEEDBACK, kept above a latency of
    // 200 ms) every burst carries exactly the profile's fresh packets.
    void start(Clock cycle, uint16_t packets)
    {
        ASSERT_TRUE(sink.open());
        ASSERT_TRUE(stream.open(QUORVIN::Sync::CRITICAL | QUORVIN::Sync::NOFASTFEEDBACK, Clock(10 * Clock::MS), 0, "h",
                                1, -1, 0, 0));
        stream.latency = 3000;
        FormatConfigure f;
        f.setFormat(QUORVIN::PCM16);
        f.setChannel(2);
        f.setSpeed(48000);
        stream.sincSupportPCM = f.value;
        ASSERT_TRUE(stream.setSinkConfigure(f));
        stream.sinkAddress = sink.at;
        profile.cycleTime = cycle;
        profile.packetCount = packets;
        profile.packetBytes = profile.packetBytesMax = kPacketBytes;
        profile.framesPerPacketQ14 = (kPacketBytes / 4) << 14;
        profile.mode = QUORVIN::TransferVar;
        stream.setConfigTransfer(profile);
        ringSize = QUORVIN::resendRingSize(profile);
        ASSERT_TRUE(stream.connect(-1));
        ASSERT_TRUE(sink.acceptConnect());
        ASSERT_TRUE(stream.connectWait());
        ASSERT_EQ(stream.getState(), QUORVIN::SYNC_CONNECTED);
        stream.play();
    }

    // Reads bursts until the newest counter has reached `counter`.
    void streamUntil(int64_t counter)
    {
        Burst b;
        while (sink.highest < counter) {
            ASSERT_EQ(sink.readBurst(b), ScriptedSink::BURST) << "the stream stopped at " << sink.highest;
        }
    }

    // A burst of `resends` packets sent again, from counter `first` on, as
    // first sent, then the profile's fresh packets from `fresh` on.
    void expectBurst(const Burst& b, int64_t first, size_t resends, int64_t fresh, const std::string& which)
    {
        ASSERT_EQ(b.size(), resends + profile.packetCount) << which;
        for (size_t i = 0; i < b.size(); ++i) {
            const Packet& p = b[i];
            const bool resent = i < resends;
            const int64_t counter =
                resent ? first + static_cast<int64_t>(i) : fresh + static_cast<int64_t>(i - resends);
            ASSERT_EQ(p.counter, counter) << which << ", packet " << i;
            ASSERT_EQ(p.again, resent) << which << ", packet " << i;
            if (resent) {
                ASSERT_GE(counter, 0) << which << ", packet " << i;
                ASSERT_EQ(p.payload, sink.firstCopy[static_cast<size_t>(counter)]) << which << ", counter " << counter;
                ASSERT_EQ(p.status & (QUORVIN::STATUS_INFO | QUORVIN::STATUS_CYCLE_END), 0)
                    << which << ", counter " << counter;
            } else {
                ASSERT_EQ((p.status & QUORVIN::STATUS_CYCLE_END) != 0, i + 1 == b.size())
                    << which << ", counter " << counter;
            }
        }
    }

    const uint64_t reader = TIVRA::ThreadPriority::getSelfThreadID();
    ScriptedSink sink;
    PatternStream stream;
    QUORVIN::Profile profile;
    size_t ringSize = 0;
};

// 16 packets every 50 ms: 320 a second, a ring of 512, bursts of at most 64
// resends. The worker takes a request long before the next deadline.
constexpr Clock kSlowCycle{50 * Clock::MS};
constexpr uint16_t kSlowPackets = 16;
constexpr size_t kSlowCap = 64;

}  // namespace

TEST_F(ResendBursts, RingSizeLessOneGoesOutOverTheNextBurstsBesideTheFreshPackets)
{
    ASSERT_NO_FATAL_FAILURE(start(kSlowCycle, kSlowPackets));
    ASSERT_EQ(ringSize, 512U);
    ASSERT_NO_FATAL_FAILURE(streamUntil(static_cast<int64_t>(ringSize) - 1));
    const int64_t next = sink.highest + 1;
    const size_t back = ringSize - 1;
    sink.askResend(next - static_cast<int64_t>(back));

    // 7 bursts of 64 resends and the last 63, each with its 16 fresh packets.
    size_t served = 0;
    Burst b;
    for (int i = 0; served < back; ++i) {
        ASSERT_EQ(sink.readBurst(b), ScriptedSink::BURST);
        const size_t resends = std::min(kSlowCap, back - served);
        ASSERT_NO_FATAL_FAILURE(expectBurst(b, next - static_cast<int64_t>(back - served), resends,
                                            next + i * kSlowPackets,
                                            "burst " + std::to_string(i) + " after the request"));
        served += resends;
        ASSERT_LT(i, 8);
    }
    ASSERT_EQ(sink.readBurst(b), ScriptedSink::BURST);
    ASSERT_NO_FATAL_FAILURE(expectBurst(b, 0, 0, next + 8 * kSlowPackets, "the burst after the resends"));
    EXPECT_EQ(loggedBack(), static_cast<long>(back));
    EXPECT_EQ(stream.getState(), QUORVIN::SYNC_CONNECTED);
}

TEST_F(ResendBursts, RingSizeBackEndsTheStream)
{
    ASSERT_NO_FATAL_FAILURE(start(kSlowCycle, kSlowPackets));
    ASSERT_NO_FATAL_FAILURE(streamUntil(static_cast<int64_t>(ringSize) - 1));
    sink.askResend(sink.highest + 1 - static_cast<int64_t>(ringSize));
    ASSERT_TRUE(testwait::waitFor([&] { return stream.getState() == QUORVIN::SYNC_IDLE; }, 5s));
    const std::vector<std::string> lines = testlog::startingWith("   count error ");
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].substr(lines[0].rfind(' ') + 1), std::to_string(ringSize)) << lines[0];
    EXPECT_TRUE(testlog::startingWith("   count resend ").empty());
    // At once, without the handshake.
    Burst b;
    while (sink.readBurst(b) == ScriptedSink::BURST) {
        EXPECT_TRUE(std::none_of(b.begin(), b.end(), [](const Packet& p) { return p.again; }));
    }
    EXPECT_EQ(sink.disconnectRequests, 0);
    EXPECT_TRUE(testwait::waitFor([&] { return testlog::count("wth end") == 1; }, 5s));
}

TEST_F(ResendBursts, RunAcrossTheCounterWrapIsServedInOrder)
{
    // 32 packets a millisecond: a ring of 32768 and at most 128 resends a
    // burst; the counter wraps after about 2 s.
    ASSERT_NO_FATAL_FAILURE(start(Clock(Clock::MS), 32));
    ASSERT_EQ(ringSize, 32768U);
    ASSERT_NO_FATAL_FAILURE(streamUntil(65536 + 32));
    const int64_t first = 65536 - 150;
    sink.askResend(first);

    // The worker takes the request before one of the next bursts; its count
    // runs to the newest packet it had sent then.
    Burst b;
    int64_t fresh = sink.highest + 1;
    for (;;) {
        ASSERT_EQ(sink.readBurst(b), ScriptedSink::BURST);
        if (b.front().again) {
            break;
        }
        fresh = sink.highest + 1;
        ASSERT_LT(fresh, 65536 + 2000) << "no resend came";
    }
    const long back = loggedBack();
    ASSERT_EQ(back, fresh - first);
    ASSERT_GT(back, static_cast<long>(4 * 32));  // more than one burst's worth
    size_t served = 0;
    for (int i = 0;; ++i) {
        const size_t resends = std::min<size_t>(4 * 32, static_cast<size_t>(back) - served);
        ASSERT_NO_FATAL_FAILURE(expectBurst(b, first + static_cast<int64_t>(served), resends, fresh + i * 32,
                                            "burst " + std::to_string(i) + " of the resends"));
        served += resends;
        if (served == static_cast<size_t>(back)) {
            break;
        }
        ASSERT_EQ(sink.readBurst(b), ScriptedSink::BURST);
    }
    EXPECT_EQ(stream.getState(), QUORVIN::SYNC_CONNECTED);
}

TEST_F(ResendBursts, EndWaitsAtMostEightBurstsOfResendsForASinkThatKeepsAsking)
{
    // After every burst the sink asks again for the last 300 packets, far
    // more than a burst serves: resends are owed throughout the end.
    constexpr int64_t kBack = 300;
    ASSERT_NO_FATAL_FAILURE(start(kSlowCycle, kSlowPackets));
    ASSERT_NO_FATAL_FAILURE(streamUntil(kBack));
    sink.askResend(sink.highest + 1 - kBack);

    std::atomic<bool> disconnected{false};
    std::thread disconnecting([&] {
        stream.disconnect();
        disconnected.store(true);
    });
    // Should the end never come, the worker fails on its socket and the
    // disconnect returns.
    struct Join {
        ~Join()
        {
            if (!done.load()) {
                s.breakSocket();
            }
            t.join();
        }
        std::thread& t;
        std::atomic<bool>& done;
        PatternStream& s;
    } join{disconnecting, disconnected, stream};

    // The final packet is the first one of silence after the audio; the
    // next feedback request (in its burst when it is not that burst's last
    // packet) gets the answer that lets the handshake begin, and at most 8
    // bursts more serve resends before it.
    enum { AUDIO, FINAL, ASKED } end = AUDIO;
    std::vector<Burst> afterAsked;
    bool audio = false;
    Burst b;
    for (int bursts = 0;; ++bursts) {
        ASSERT_LT(bursts, 100) << "no handshake";
        const ScriptedSink::Read r = sink.readBurst(b);
        if (r == ScriptedSink::DISCONNECT) {
            break;
        }
        ASSERT_EQ(r, ScriptedSink::BURST) << "the stream stopped at " << sink.highest;
        sink.askResend(sink.highest + 1 - kBack);
        if (end == ASKED) {
            afterAsked.push_back(b);
            continue;
        }
        for (const Packet& p : b) {
            if (p.again) {
                continue;
            }
            if (end == FINAL && (p.status & QUORVIN::STATUS_INFO) != 0) {
                end = ASKED;
            } else if (end == AUDIO && audio && allMute(p)) {
                end = FINAL;
            }
            audio = audio || !allMute(p);
        }
    }
    ASSERT_EQ(end, ASKED);
    ASSERT_EQ(afterAsked.size(), 8U);
    for (size_t i = 0; i < afterAsked.size(); ++i) {
        const Burst& burst = afterAsked[i];
        ASSERT_GT(burst.size(), kSlowCap) << "burst " << i << " of the end";
        // The newest request counts from the first fresh packet of this burst.
        const int64_t fresh = burst[kSlowCap].counter;
        ASSERT_NO_FATAL_FAILURE(
            expectBurst(burst, fresh - kBack, kSlowCap, fresh, "burst " + std::to_string(i) + " of the end"));
        for (size_t k = kSlowCap; k < burst.size(); ++k) {
            EXPECT_TRUE(allMute(burst[k])) << "counter " << burst[k].counter;
        }
    }
    EXPECT_TRUE(testwait::waitFor([&] { return disconnected.load(); }, 5s));
    EXPECT_EQ(testlog::count("DSICONNECT_REQ ERROR "), 0U);
    EXPECT_EQ(stream.getState(), QUORVIN::SYNC_IDLE);
}
