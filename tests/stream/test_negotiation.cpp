// Negotiation of a stream with a sink, for real over ::1 against the target
// emulator: capabilities, cycle parameters, latency, packet size, the
// request-and-answer rules, the connect preparation and the liveness check.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "SocketQueue.h"
#include "foundation/FileBuffer.h"
#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"
#include "stream/Sync.h"
#include "testbed/StandinPriority.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace std::chrono_literals;
using QUORVIN::Receive;
using QUORVIN::Send;
using testbed::Behaviour;
using testbed::Request;
using TIVRA::Clock;

namespace {

constexpr Clock kBridgeLatency{200 * Clock::MS};

// Opens the stream object's protected state to the tests.
struct TestSync : QUORVIN::Sync {
    using Sync::debugAddress;
    using Sync::debugSocket;
    using Sync::debugRequest;
    using Sync::hwLatency;
    using Sync::latency;
    using Sync::profileMaker;
    using Sync::sincSupportDSDlsb;
    using Sync::sincSupportDSDmsb;
    using Sync::sincSupportPCM;
    using Sync::sinkConfig;
    using Sync::syncSocket;
    using Sync::syncState;
};

class Negotiation : public ::testing::Test {
protected:
    void SetUp() override
    {
        testlog::start(5);  // no 110 ms pause after setSink
        config = testbed::TargetConfig::withSinks(1);
        config.sinks[0].supportDSDlsb = 0x2000000000ULL | 0x2510000ULL | 0x02 | (0x2ULL << 32) | (0x1E0ULL << 35);
        config.sinks[0].latency = 1000;
        config.sinks[0].hwLatency = 20;
        config.sinks[0].cycleMin = 104;
        config.sinks[0].cycleMax = 2083;
        config.sinks[0].profileFlags = 0x0E;
    }
    void TearDown() override
    {
        emulator.stop();
        TIVRA::quorvin_log = -1;
    }

    void startEmulator() { ASSERT_TRUE(emulator.start(config)); }
    void openStream(uint32_t mode = 1)
    {
        ASSERT_TRUE(sync.open(mode, Clock(10 * Clock::MS), 0, "VUVO VAZA", ~0UL, -1, 0, 0));
    }
    TIVRA::IPAddress sink() const { return emulator.sinkAddress(0); }
    std::vector<Request> valid() const
    {
        std::vector<Request> out;
        for (const Request& r : emulator.requests(0)) {
            if (r.valid) {
                out.push_back(r);
            }
        }
        return out;
    }
    // The valid requests without the repeats a late answer causes under load.
    std::vector<Request> distinct() const
    {
        std::vector<Request> out;
        for (const Request& r : valid()) {
            if (r.repeat <= 1) {
                out.push_back(r);
            }
        }
        return out;
    }
    bool logged(const std::string& text) { return testlog::count(text) != 0; }

    testbed::TargetConfig config;
    testbed::TargetEmulator emulator;
    TestSync sync;
};

}  // namespace

TEST_F(Negotiation, FullSetSink)
{
    TIVRA::quorvin_log = 6;  // also the info lines
    startEmulator();
    openStream();
    EXPECT_EQ(sync.getMaxPacketSize(), 1428);
    ASSERT_TRUE(sync.setSink(sink(), kBridgeLatency, false));

    const std::vector<Request> r = distinct();
    const uint64_t summary = config.sinks[0].summary();
    struct Expect {
        QUORVIN::MessageID message;
        uint64_t option;
    };
    const std::vector<Expect> expect = {
        {QUORVIN::SUPPORT_REQ, 0},        {QUORVIN::SUPPORT_REQ, summary & 0xFF00},
        {QUORVIN::SUPPORT_REQ, 0x100000}, {QUORVIN::PARAMETER_REQ, 0},  // the previous stream's format: none yet
        {QUORVIN::LATENCY_REQ, 0},        {QUORVIN::LATENCY_REQ, 2000},
        {QUORVIN::DATASIZE_REQ, 0},
    };
    ASSERT_EQ(r.size(), expect.size());
    for (size_t i = 0; i < expect.size(); ++i) {
        EXPECT_EQ(r[i].message, expect[i].message) << i;
        EXPECT_EQ(r[i].option, expect[i].option) << i;
        EXPECT_EQ(r[i].status, 0) << i;
        EXPECT_TRUE(r[i].payload.empty()) << i;
    }

    EXPECT_EQ(uint64_t{sync.sincSupportPCM}, config.sinks[0].supportPCM);
    EXPECT_EQ(uint64_t{sync.sincSupportDSDlsb}, config.sinks[0].supportDSDlsb);
    EXPECT_EQ(uint64_t{sync.sincSupportDSDmsb}, 0U);
    EXPECT_EQ(sync.hwLatency, 20);
    EXPECT_EQ(sync.latency, 2000);  // the emulator accepts the wanted latency
    EXPECT_EQ(sync.getMaxPacketSize(), 1428);
    EXPECT_EQ(sync.getMaxPacketCount(), 0xFFFF);
    EXPECT_EQ(sync.profileMaker.min, 104);
    EXPECT_EQ(sync.profileMaker.max, 2083);
    EXPECT_EQ(sync.profileMaker.prof, 0x0E);
    EXPECT_EQ(sync.profileMaker.baseMin, sync.getNoneBaseMin());
    EXPECT_EQ(sync.profileMaker.frameMax, sync.getFrameMax());
    EXPECT_EQ(sync.getSinkAddress(), sink());
    EXPECT_EQ(sync.debugAddress.getPort(), 19642);
    EXPECT_TRUE(sync.debugRequest.load());
    EXPECT_EQ(sync.getLatency().picoseconds, 2020 * 100 * Clock::US);
    EXPECT_TRUE(logged("LATENCY_REQ hw=2000us request=200000us latency=200000us"));
    EXPECT_TRUE(logged("DATASIZE_REQ mtu=1500 max=65535"));
}

// Answers that take longer than one send's wait, as across a slow link:
// every request goes out twice and each send is answered. The answer to the
// second send, still on its way when the first one's was taken, must not
// answer the next request (the summary read as the PCM detail, the first
// latency answer as the second's).
TEST_F(Negotiation, SlowAnswersAnswerOnlyTheirOwnRequest)
{
    const Behaviour slow{.delayUs = 13000};
    for (const QUORVIN::MessageID m : {QUORVIN::SUPPORT_REQ, QUORVIN::PARAMETER_REQ, QUORVIN::LATENCY_REQ,
                                       QUORVIN::DATASIZE_REQ}) {
        config.sinks[0].behaviours[m] = slow;
    }
    config.sinks[0].latency = 1500;  // answered to the query, unlike the 2000 the host then asks for
    startEmulator();
    openStream();
    ASSERT_TRUE(sync.setSink(sink(), kBridgeLatency, false));
    EXPECT_EQ(uint64_t{sync.sincSupportPCM}, config.sinks[0].supportPCM);
    EXPECT_EQ(uint64_t{sync.sincSupportDSDlsb}, config.sinks[0].supportDSDlsb);
    EXPECT_EQ(sync.latency, 2000);
    EXPECT_EQ(sync.getMaxPacketSize(), 1428);
}

TEST_F(Negotiation, ProbeAndLatencyQueryOnly)
{
    startEmulator();
    openStream();
    ASSERT_TRUE(sync.setSink(sink(), Clock(0), true));
    const std::vector<Request> r = distinct();
    ASSERT_GE(r.size(), 2U);
    EXPECT_EQ(r[0].message, QUORVIN::PROBE_REQ);
    size_t latencyRequests = 0;
    for (const Request& q : r) {
        latencyRequests += q.message == QUORVIN::LATENCY_REQ ? 1 : 0;
    }
    EXPECT_EQ(latencyRequests, 1U);
    EXPECT_EQ(sync.latency, 1000);  // what the sink had in force
}

TEST_F(Negotiation, PacketSizeAnswers)
{
    struct Case {
        const char* name;
        uint16_t mtu;
        uint16_t perCycle;
        bool silent;
        uint16_t size;
        uint16_t count;
    };
    const std::vector<Case> cases = {
        {"no answer", 1500, 0, true, 1428, 10},
        {"no limit", 1500, 0xFFFF, false, 1428, 0xFFFF},
        {"15000 per cycle", 1500, 15000, false, 1428, 10},
        {"jumbo", 9000, 45000, false, (9000 - 64) & 0xFFF6, 5},
        {"mtu 0", 0, 3000, false, 1428, 10},
        {"mtu below 64", 50, 3000, false, 1428, 10},
    };
    for (const Case& c : cases) {
        config.sinks[0].mtu = c.mtu;
        config.sinks[0].perCycle = c.perCycle;
        config.sinks[0].behaviours.clear();
        if (c.silent) {
            config.sinks[0].behaviours[QUORVIN::DATASIZE_REQ] = Behaviour{.mode = Behaviour::SILENT};
        }
        startEmulator();
        TestSync s;
        ASSERT_TRUE(s.open(1, Clock(10 * Clock::MS), 0, "host", 1, -1, 0, 0));
        EXPECT_TRUE(s.setSink(sink(), kBridgeLatency, false)) << c.name;
        EXPECT_EQ(s.getMaxPacketSize(), c.size) << c.name;
        EXPECT_EQ(s.getMaxPacketCount(), c.count) << c.name;
        emulator.stop();
    }
}

TEST_F(Negotiation, FailureBranches)
{
    struct Case {
        const char* name;
        QUORVIN::MessageID request;
        Behaviour behaviour;
        uint64_t pcm;
        uint64_t dsd;
        std::optional<uint64_t> summary;
    };
    const uint64_t pcm = config.sinks[0].supportPCM;
    const std::vector<Case> cases = {
        {"summary 0", QUORVIN::FIND_REQ, {}, pcm, 0, 0},
        {"summary silent", QUORVIN::SUPPORT_REQ, {.mode = Behaviour::SILENT}, pcm, 0, {}},
        {"summary refused", QUORVIN::SUPPORT_REQ, {.mode = Behaviour::REFUSE}, pcm, 0, {}},
        {"PCM detail 0, no DSD", QUORVIN::FIND_REQ, {}, 0, 0, 0xFF00},
        {"latency silent", QUORVIN::LATENCY_REQ, {.mode = Behaviour::SILENT}, pcm, 0, {}},
        {"latency echoed", QUORVIN::LATENCY_REQ, {.mode = Behaviour::ECHO}, pcm, 0, {}},
    };
    for (const Case& c : cases) {
        config.sinks[0].behaviours.clear();
        config.sinks[0].behaviours[c.request] = c.behaviour;
        config.sinks[0].supportPCM = c.pcm;
        config.sinks[0].supportDSDlsb = c.dsd;
        config.sinks[0].supportSummary = c.summary;
        startEmulator();
        TestSync s;
        ASSERT_TRUE(s.open(1, Clock(10 * Clock::MS), 0, "host", 1, -1, 0, 0));
        EXPECT_FALSE(s.setSink(sink(), kBridgeLatency, false)) << c.name;
        emulator.stop();
    }
}

TEST_F(Negotiation, SecondLatencyUnansweredFails)
{
    startEmulator();
    openStream();
    // The query is answered, the setting (its repeats included) is not:
    // a new behaviour takes effect with the request after the one seen.
    emulator.onRequest([this](const Request& r) {
        if (r.message == QUORVIN::LATENCY_REQ && r.option0 == 0) {
            emulator.setBehaviour(0, QUORVIN::LATENCY_REQ, Behaviour{.mode = Behaviour::SILENT});
        }
    });
    EXPECT_FALSE(sync.setSink(sink(), kBridgeLatency, false));
    size_t settings = 0;
    for (const Request& r : valid()) {
        settings += (r.message == QUORVIN::LATENCY_REQ && r.option0 == 2000) ? 1 : 0;
    }
    EXPECT_EQ(settings, 3U);
}

TEST_F(Negotiation, SocketFailureFailsEveryStep)
{
    startEmulator();
    openStream();
    sync.syncSocket.close();
    EXPECT_FALSE(sync.setSink(sink(), kBridgeLatency, true));
    EXPECT_FALSE(sync.is_active());
    EXPECT_TRUE(valid().empty());
}

TEST_F(Negotiation, SendAckRules)
{
    // Each row: how the sink treats SUPPORT_REQ, and what sendAck gives.
    struct Case {
        const char* name;
        Behaviour behaviour;
        bool answered;
        size_t sends;
    };
    const std::vector<Case> cases = {
        {"answer", {}, true, 1},
        {"silent: three sends, then empty", {.mode = Behaviour::SILENT}, false, 3},
        {"refused: empty at once", {.mode = Behaviour::REFUSE}, false, 1},
        {"echo: empty at once", {.mode = Behaviour::ECHO}, false, 1},
        {"other port ignored", {.mode = Behaviour::OTHER_PORT}, false, 3},
        {"answer on the third send", {.onRepeat = 3}, true, 3},
        {"short datagram first", {.before = Behaviour::SHORT}, true, 1},
        {"bad tag first", {.before = Behaviour::BAD_TAG}, true, 1},
        {"bad length first", {.before = Behaviour::BAD_LENGTH}, true, 1},
        {"another answer first", {.before = Behaviour::OTHER_ID}, true, 1},
        {"late by 150 ms: lost", {.delayUs = 150000}, true, 2},
    };
    startEmulator();
    openStream();
    for (const Case& c : cases) {
        emulator.clearRequests();
        emulator.setBehaviour(0, QUORVIN::SUPPORT_REQ, c.behaviour);
        Receive answer;
        ASSERT_TRUE(sync.sendAck(sink(), Send(QUORVIN::SUPPORT_REQ, 0, 0UL), QUORVIN::SUPPORT_ANS, answer,
                                 Clock(100 * Clock::MS)))
            << c.name;
        if (std::string(c.name).rfind("late", 0) == 0) {
            // The first answer comes after the wait; the second send's answer
            // (or the first, late) is taken.
            EXPECT_FALSE(answer.empty()) << c.name;
        } else {
            EXPECT_EQ(!answer.empty(), c.answered) << c.name;
            // The emulator records what it has read: on a busy machine the
            // last send may still be on its way.
            emulator.waitForRequests(0, QUORVIN::SUPPORT_REQ, c.sends, 2000ms);
            EXPECT_EQ(emulator.requests(0).size(), c.sends) << c.name;
        }
        if (!answer.empty()) {
            EXPECT_EQ(answer.getMessage(), QUORVIN::SUPPORT_ANS) << c.name;
            EXPECT_NE(answer.getStatus() & QUORVIN::STATUS_OK, 0) << c.name;
        }
        // The row's stray answers are in before the next row begins: the
        // late answers to the sends not answered in time are awaited, then
        // an exchange of another identifier fences the rest, since the
        // emulator answers it after all it sent at once for this row.
        if (c.behaviour.delayUs != 0) {
            ASSERT_TRUE(emulator.waitForRequests(0, QUORVIN::SUPPORT_REQ, c.sends, 2000ms)) << c.name;
            for (size_t i = 1; i < emulator.requests(0).size(); ++i) {
                Receive stray;
                TIVRA::IPAddress from;
                ASSERT_EQ(sync.syncSocket.wait(Clock(2 * Clock::SEC)), TIVRA::Socket::WaitReady) << c.name;
                ASSERT_TRUE(sync.syncSocket.receiveFromV6(stray, from)) << c.name;
                EXPECT_EQ(stray.getMessage(), QUORVIN::SUPPORT_ANS) << c.name;
            }
        }
        Receive fence;
        ASSERT_TRUE(sync.sendAck(sink(), Send(QUORVIN::LATENCY_REQ, 0, 0UL), QUORVIN::LATENCY_ANS, fence,
                                 Clock(2 * Clock::SEC)))
            << c.name;
        ASSERT_FALSE(fence.empty()) << c.name;
    }
}

namespace {

// A peer on ::1 that never answers; it sends what a test queues.
struct QuietPeer {
    QuietPeer()
    {
        address.addr[15] = 1;
        socket.recvSize = 4096;
        opened = socket.open(TIVRA::Socket::UDP_V6) && socket.bindV6(address);
    }
    // The address the stream's socket sends from, taken from one request.
    bool learnSource(TestSync& sync, TIVRA::UDPV6& from, TIVRA::IPAddress& source)
    {
        discardQueued();
        Receive answer;
        if (!sync.sendAck(from, address, Send(QUORVIN::DEBUG_REQ, 0), QUORVIN::DEBUG_ANS, answer,
                          Clock(Clock::MS))) {
            return false;
        }
        Receive got;
        if (socket.wait(Clock(Clock::SEC)) != TIVRA::Socket::WaitReady || !socket.receiveFromV6(got, source)
            || got.empty()) {
            return false;
        }
        return discardQueued();  // the repeats
    }
    bool discardQueued()
    {
        Receive got;
        TIVRA::IPAddress ignored;
        socket.setBlocking(false);
        while (socket.receiveFromV6(got, ignored) && !got.empty()) {
        }
        return socket.setBlocking(true);
    }
    bool sendLine(const TIVRA::IPAddress& to, uint16_t option0, const std::string& text, uint16_t status = 0)
    {
        QUORVIN::SendBuffer m;
        m.set(QUORVIN::DEBUG_ANS, status, option0, 0, 0, 0);
        m.set_str(text);
        m.update();
        return socket.sendToV6(static_cast<const Send&>(m), to, true);
    }

    TIVRA::IPAddress address{};
    TIVRA::UDPV6 socket;
    bool opened = false;
};

size_t loggedStartingWith(const std::string& prefix)
{
    return testlog::startingWith(prefix).size();
}

}  // namespace

// What is queued before a request cannot answer it; log lines queued on the
// relay's socket reach the log as the relay would write them.
TEST_F(Negotiation, SendAckDrainsWhatCameBefore)
{
    openStream();
    TIVRA::quorvin_log = 6;
    QuietPeer peer;
    QuietPeer other;  // a third sender: log lines come from anywhere
    ASSERT_TRUE(peer.opened && other.opened);
    struct Case {
        const char* name;
        bool debugSocket;
    };
    for (const Case& c : std::vector<Case>{{"relay socket", true}, {"stream socket", false}}) {
        SCOPED_TRACE(c.name);
        TIVRA::UDPV6& socket = c.debugSocket ? sync.debugSocket : sync.syncSocket;
        TIVRA::IPAddress source;
        ASSERT_TRUE(peer.learnSource(sync, socket, source));
        testlog::clear();
        // A late answer of the destination itself, with STATUS_OK, would be
        // taken for this exchange's answer without the drain.
        // Each is queued before the request goes out.
        const int fd = socket.getDescriptor();
        ASSERT_TRUE(testqueue::sendAndWaitQueued(fd, [&] {
            return peer.sendLine(source, 2, "late answer", QUORVIN::STATUS_OK);
        }));
        ASSERT_TRUE(testqueue::sendAndWaitQueued(fd, [&] { return other.sendLine(source, 2, "queued line"); }));
        ASSERT_TRUE(testqueue::sendAndWaitQueued(fd, [&] { return other.sendLine(source, 2, ""); }));
        ASSERT_TRUE(testqueue::sendAndWaitQueued(fd, [&] { return other.sendLine(source, 1, "not a log line"); }));

        // The drain is bounded in time as well: a caller held up between two
        // datagrams would leave the rest. Above every normal thread it is
        // not; the stand-ins' priority is enough for that and holds off no
        // stream worker running beside this test.
        const uint64_t self = TIVRA::ThreadPriority::getSelfThreadID();
        ASSERT_TRUE(testbed::becomeStandinRealtime());
        Receive answer;
        const bool ok = sync.sendAck(socket, peer.address, Send(QUORVIN::DEBUG_REQ, 0), QUORVIN::DEBUG_ANS, answer,
                                     Clock(Clock::MS));
        TIVRA::ThreadPriority::setPriority(self, TIVRA::ThreadPriority::PRIORITY_NORMAL);
        ASSERT_TRUE(ok);
        EXPECT_TRUE(answer.empty());
        if (c.debugSocket) {
            EXPECT_TRUE(logged("Target: late answer"));
            EXPECT_TRUE(logged("Target: queued line"));
            EXPECT_TRUE(logged("Target: "));
            EXPECT_EQ(loggedStartingWith("Target: "), 3U);
        } else {
            EXPECT_EQ(loggedStartingWith("Target: "), 0U);  // the stream socket carries no log lines
        }
    }
}

// Datagrams that keep coming while the drain runs do not hold the exchange.
TEST_F(Negotiation, SendAckDrainIsBoundedUnderAFlood)
{
    openStream();
    TIVRA::quorvin_log = 6;
    QuietPeer peer;
    ASSERT_TRUE(peer.opened);
    TIVRA::IPAddress source;
    ASSERT_TRUE(peer.learnSource(sync, sync.debugSocket, source));

    std::atomic<bool> stopFlood{false};
    std::atomic<uint64_t> sent{0};
    std::vector<std::thread> flooders;
    for (int i = 0; i < 3; ++i) {
        flooders.emplace_back([&] {
            QuietPeer flooder;
            flooder.socket.setBlocking(false);
            QUORVIN::SendBuffer m;
            m.set(QUORVIN::DEBUG_ANS, 0, 2, 0, 0, 0);
            m.set_str("flood line");
            m.update();
            while (!stopFlood.load()) {
                if (flooder.socket.sendToV6(static_cast<const Send&>(m), source, false)) {
                    sent.fetch_add(1);
                }
            }
        });
    }
    ASSERT_EQ(sync.debugSocket.wait(Clock(Clock::SEC)), TIVRA::Socket::WaitReady);
    std::thread exchange([&] {
        Receive answer;
        sync.sendAck(sync.debugSocket, peer.address, Send(QUORVIN::DEBUG_REQ, 0), QUORVIN::DEBUG_ANS, answer,
                     Clock(Clock::MS));
    });
    // The flood lasts until the request goes out after the drain (what comes
    // after the request is the exchange's own business), or until the deadline.
    const bool requested = peer.socket.wait(Clock(10 * Clock::SEC)) == TIVRA::Socket::WaitReady;
    stopFlood.store(true);
    for (std::thread& t : flooders) {
        t.join();
    }
    exchange.join();
    EXPECT_TRUE(requested) << "the drain ran for as long as the flood lasted";
    EXPECT_GT(loggedStartingWith("Target: flood line"), 0U);
    EXPECT_GT(sent.load(), 0U);
}

// Strays that keep coming after the request do not stretch the wait for
// its answer: three sends of 1 ms each end while the flood goes on.
TEST_F(Negotiation, SendAckWaitIsNotProlongedByStrays)
{
    openStream();
    QuietPeer peer;
    ASSERT_TRUE(peer.opened);
    TIVRA::IPAddress source;
    ASSERT_TRUE(peer.learnSource(sync, sync.syncSocket, source));
    std::atomic<bool> asked{false};
    std::atomic<bool> stopFlood{false};
    std::atomic<int> flooding{0};
    std::atomic<bool> floodOver{false};
    std::vector<std::thread> flooders;
    for (int i = 0; i < 3; ++i) {
        flooders.emplace_back([&] {
            ++flooding;
            QuietPeer flooder;
            flooder.socket.setBlocking(false);
            const Send stray(QUORVIN::SUPPORT_ANS, QUORVIN::STATUS_OK, 1UL);
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!stopFlood.load() && std::chrono::steady_clock::now() < end) {
                if (asked.load()) {
                    flooder.socket.sendToV6(stray, source, false);
                }
            }
            if (--flooding == 0) {
                floodOver = true;
            }
        });
    }
    std::thread watcher([&] { asked = peer.socket.wait(Clock(10 * Clock::SEC)) == TIVRA::Socket::WaitReady; });
    Receive answer;
    const bool ok = sync.sendAck(sync.syncSocket, peer.address, Send(QUORVIN::SUPPORT_REQ, 0, 0UL),
                                 QUORVIN::SUPPORT_ANS, answer, Clock(Clock::MS));
    const bool ended = !floodOver.load();
    watcher.join();
    stopFlood.store(true);
    for (std::thread& t : flooders) {
        t.join();
    }
    EXPECT_TRUE(ok);
    EXPECT_TRUE(answer.empty());
    EXPECT_TRUE(ended) << "the wait lasted as long as the flood";
}

TEST_F(Negotiation, ConnectPrepareWithAndWithoutNameRequest)
{
    config.sinks[0].latency = 1234;
    startEmulator();
    openStream();
    ASSERT_TRUE(sync.setSink(sink(), Clock(0), false));
    QUORVIN::FormatConfigure f;
    f.setFormat(QUORVIN::PCM16);
    f.setChannel(2);
    f.setSpeed(44100);
    sync.sinkConfig = f;
    emulator.clearRequests();

    ASSERT_TRUE(sync.connectPrepare());
    std::vector<Request> r = distinct();
    ASSERT_EQ(r.size(), 2U);
    EXPECT_EQ(r[0].message, QUORVIN::CONNECTPRE_REQ);
    EXPECT_EQ(r[0].option, QUORVIN::FormatPreConfigure(f, 1234).value);
    EXPECT_EQ(r[1].message, QUORVIN::SYNCNAME_REQ);
    EXPECT_EQ(r[1].status, QUORVIN::STATUS_OK);
    EXPECT_EQ(r[1].option, ~0ULL);
    EXPECT_EQ(r[1].payloadText(), "VUVO VAZA");
    EXPECT_EQ(emulator.state(0).hostName, "VUVO VAZA");

    // No accepted answer: prepared without the name request.
    emulator.clearRequests();
    emulator.setBehaviour(0, QUORVIN::CONNECTPRE_REQ, Behaviour{.mode = Behaviour::REFUSE});
    ASSERT_TRUE(sync.connectPrepare());
    r = distinct();
    ASSERT_EQ(r.size(), 1U);
    EXPECT_EQ(r[0].message, QUORVIN::CONNECTPRE_REQ);

    // A socket failure returns the stream to idle.
    sync.syncState.store(QUORVIN::SYNC_CONNECTING);
    sync.syncSocket.close();
    EXPECT_FALSE(sync.connectPrepare());
    EXPECT_EQ(sync.getState(), QUORVIN::SYNC_IDLE);
}

TEST_F(Negotiation, IsActive)
{
    startEmulator();
    openStream();
    ASSERT_TRUE(sync.setSink(sink(), Clock(0), false));
    EXPECT_TRUE(sync.is_active());
    emulator.setBehaviour(0, QUORVIN::SUPPORT_REQ, Behaviour{.mode = Behaviour::REFUSE});
    EXPECT_FALSE(sync.is_active());
    emulator.setBehaviour(0, QUORVIN::SUPPORT_REQ, Behaviour{.mode = Behaviour::SILENT});
    EXPECT_FALSE(sync.is_active());
    emulator.stop();
    EXPECT_FALSE(sync.is_active());
}

TEST_F(Negotiation, PathTest)
{
    config.sinks[0].pathMax = 1436;
    startEmulator();
    openStream();
    ASSERT_TRUE(sync.setSink(sink(), Clock(0), false));
    emulator.clearRequests();

    unsigned short mtu = 1500;
    ASSERT_TRUE(sync.mtuTest(mtu));
    EXPECT_EQ(mtu, 1500);
    const std::vector<Request> r = distinct();
    ASSERT_EQ(r.size(), 1U);
    ASSERT_EQ(r[0].payload.size(), 1436U);
    for (size_t i = 0; i < r[0].payload.size(); ++i) {
        ASSERT_EQ(r[0].payload[i], static_cast<uint8_t>((i + 122) & 0xFF)) << i;
    }

    mtu = 9000;  // larger than the path: unanswered
    ASSERT_TRUE(sync.mtuTest(mtu));
    EXPECT_EQ(mtu, 0);

    mtu = 63;  // no room for a header
    EXPECT_FALSE(sync.mtuTest(mtu));
    EXPECT_EQ(mtu, 0);
}

TEST_F(Negotiation, StateChangesWithoutAWorker)
{
    startEmulator();
    openStream();
    // connectWait in the idle state returns at once, without a line.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sync.connectWait());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    // disconnect acts only on a connected stream.
    sync.syncState.store(QUORVIN::SYNC_CONNECTING);
    sync.disconnect();
    EXPECT_EQ(sync.getState(), QUORVIN::SYNC_CONNECTING);
    sync.disconnect_flgset();
    EXPECT_EQ(sync.getState(), QUORVIN::SYNC_CONNECTING);
    sync.syncState.store(QUORVIN::SYNC_CONNECTED);
    sync.disconnect_flgset();
    EXPECT_EQ(sync.getState(), QUORVIN::SYNC_DISCONNECTING);
    sync.syncState.store(QUORVIN::SYNC_IDLE);

    // An invalid stream format is refused before any worker starts.
    EXPECT_FALSE(sync.connect(-1));
    EXPECT_TRUE(logged("sinkConfig invalid"));
    EXPECT_EQ(sync.getState(), QUORVIN::SYNC_IDLE);

    sync.play();
    EXPECT_TRUE(sync.isPlaying());
    sync.stop();
    EXPECT_FALSE(sync.isPlaying());
}

TEST(Connection, DumpfileAppends)
{
    char dir[] = "/tmp/dumpXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/d";
    const uint8_t a[] = {1, 2, 3};
    QUORVIN::Connection::dumpfile({a, 3}, path);
    QUORVIN::Connection::dumpfile({a, 2}, path);
    QUORVIN::Connection::dumpfile({a, 3}, std::string(dir) + "/missing/d");  // passed over
    TIVRA::FileBuffer got;
    ASSERT_TRUE(got.load(path));
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), (std::vector<uint8_t>{1, 2, 3, 1, 2}));
    std::remove(path.c_str());
    rmdir(dir);
}
