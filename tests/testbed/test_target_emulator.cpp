// The target emulator over real UDP on ::1: its answers, its behaviours and
// its record of requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "HostSocket.h"
#include "protocol/Identifiers.h"
#include "protocol/Message.h"
#include "testbed/emulator/TargetEmulator.h"

namespace {

using namespace std::chrono_literals;
using testbed::Behaviour;
using testbed::Request;
using testbed::SinkConfig;
using testbed::TargetConfig;
using testbed::TargetEmulator;
using testbed_test::Datagram;
using testbed_test::HostSocket;
using testbed_test::pathSum;
using testbed_test::pathTest;

constexpr uint64_t kPCM = 0x3E00000E02ULL;
constexpr uint64_t kDSDlsb = 0x60202510002ULL;
constexpr uint64_t kDSDmsb = 0x60202610002ULL;
constexpr uint64_t kStreamFormat = 0x0000000A00000202ULL;  // stereo PCM16 at 44.1 kHz
constexpr uint64_t kPreConfigure = 0x0000020200640802ULL;  // stereo DSD at 2.8 MHz, latency 100

QUORVIN::SendBuffer message(QUORVIN::MessageID id, uint64_t option, QUORVIN::StatusID status = 0)
{
    QUORVIN::SendBuffer m;
    m.set(id, status, option);
    m.update();
    return m;
}

QUORVIN::SendBuffer textMessage(QUORVIN::MessageID id, QUORVIN::StatusID status, uint64_t option,
                                const std::string& text)
{
    QUORVIN::SendBuffer m;
    m.set(id, status, option);
    m.set_str(text);
    m.update();
    return m;
}

class Emulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok());
        config = TargetConfig::withSinks(2);
        config.sinks[0].supportPCM = kPCM;
        config.sinks[0].supportDSDlsb = kDSDlsb;
        config.sinks[0].supportDSDmsb = kDSDmsb;
        ASSERT_TRUE(emulator.start(config));
        sink0 = emulator.sinkAddress(0);
        sink1 = emulator.sinkAddress(1);
    }

    // Expects exactly one datagram back for what was sent to sink 0 so far.
    Datagram onlyAnswer()
    {
        std::vector<Datagram> got = host.untilFence(sink1);
        EXPECT_TRUE(host.fenced);
        EXPECT_EQ(got.size(), 1u);
        return got.empty() ? Datagram{} : got.front();
    }

    void expectNoAnswer(const char* why)
    {
        const std::vector<Datagram> got = host.untilFence(sink1);
        EXPECT_TRUE(host.fenced) << why;
        EXPECT_TRUE(got.empty()) << why;
    }

    HostSocket host;
    TargetConfig config;
    TargetEmulator emulator;
    TIVRA::IPAddress sink0;
    TIVRA::IPAddress sink1;
};

TEST_F(Emulator, SinksHaveTheirOwnPortsOnLoopback)
{
    EXPECT_EQ(emulator.sinkCount(), 2u);
    EXPECT_EQ(sink0.addr[15], 1);
    EXPECT_EQ(sink0.ifindex, 0u);
    EXPECT_NE(sink0.getPort(), 0);
    EXPECT_NE(sink1.getPort(), 0);
    EXPECT_NE(sink0.getPort(), sink1.getPort());
    EXPECT_NE(emulator.otherPortAddress().getPort(), sink0.getPort());
    EXPECT_EQ(emulator.sinkConfig(0).port, sink0.getPort());
}

TEST_F(Emulator, AnswersEveryNegotiationRequestFromItsConfiguration)
{
    struct Case {
        const char* name;
        QUORVIN::MessageID request;
        QUORVIN::StatusID status;
        uint64_t option;
        uint16_t payload;  // bytes of the path test pattern
        QUORVIN::MessageID answer;
        uint64_t answerOption;
    };
    const uint64_t summary = 0x0E00 | 0x100000 | 0x200000 | 0x10000;
    const Case cases[] = {
        {"summary", QUORVIN::SUPPORT_REQ, 0, 0, 0, QUORVIN::SUPPORT_ANS, summary},
        {"PCM detail", QUORVIN::SUPPORT_REQ, 0, summary & 0xFF00, 0, QUORVIN::SUPPORT_ANS, kPCM},
        {"DSD lsb detail", QUORVIN::SUPPORT_REQ, 0, 0x100000, 0, QUORVIN::SUPPORT_ANS, kDSDlsb},
        {"DSD msb detail", QUORVIN::SUPPORT_REQ, 0, 0x200000, 0, QUORVIN::SUPPORT_ANS, kDSDmsb},
        {"probe", QUORVIN::PROBE_REQ, 0, 0, 0, QUORVIN::SUPPORT_ANS, summary},
        {"parameter", QUORVIN::PARAMETER_REQ, 0, kStreamFormat, 0, QUORVIN::PARAMETER_ANS,
         104 | (2083ULL << 16) | (0x06ULL << 32)},
        {"latency query", QUORVIN::LATENCY_REQ, 0, 0, 0, QUORVIN::LATENCY_ANS, 1000 | (20ULL << 16)},
        {"packet size", QUORVIN::DATASIZE_REQ, 0, 0, 0, QUORVIN::DATASIZE_ANS, 1500 | (0xFFFFULL << 16)},
        {"path test", QUORVIN::DATASIZE_REQ, 0, 0, 1436, QUORVIN::DATASIZE_ANS,
         1500 | (0xFFFFULL << 16) | (1436ULL << 32) | (uint64_t{pathSum(1436)} << 48)},
        // The target's latency replaces bits 16-31, the rest comes back as sent.
        {"connect preparation", QUORVIN::CONNECTPRE_REQ, 0, kPreConfigure, 0, QUORVIN::CONNECTPRE_ANS,
         (kPreConfigure & ~0xFFFF0000ULL) | (1000ULL << 16)},
        {"host name", QUORVIN::SYNCNAME_REQ, QUORVIN::STATUS_OK, ~0ULL, 12, QUORVIN::SYNCNAME_ANS, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QUORVIN::SendBuffer request = c.payload != 0 ? pathTest(c.payload) : QUORVIN::SendBuffer();
        request.set(c.request, c.status, c.option);
        request.update();
        ASSERT_TRUE(host.send(sink0, request));
        const Datagram answer = onlyAnswer();
        ASSERT_TRUE(answer.bytes);
        EXPECT_EQ(answer.from, sink0);
        EXPECT_EQ(answer.bytes.getMessage(), c.answer);
        EXPECT_EQ(answer.bytes.getStatus(), QUORVIN::STATUS_OK);
        EXPECT_EQ(answer.bytes.getOption(), c.answerOption);
        EXPECT_EQ(answer.bytes.size(), QUORVIN::HEADER_SIZE);
    }
}

TEST_F(Emulator, AnswersGoBackToTheRequestsSource)
{
    HostSocket other;
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(other.send(sink0, message(QUORVIN::SUPPORT_REQ, 0)));
    const auto answer = other.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getMessage(), QUORVIN::SUPPORT_ANS);
    EXPECT_TRUE(host.untilFence(sink1).empty());
}

TEST_F(Emulator, AnUnknownSupportDetailIsRefused)
{
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::SUPPORT_REQ, 0x300000)));
    const Datagram answer = onlyAnswer();
    ASSERT_TRUE(answer.bytes);
    EXPECT_EQ(answer.bytes.getMessage(), QUORVIN::SUPPORT_ANS);
    EXPECT_EQ(answer.bytes.getStatus() & QUORVIN::STATUS_OK, 0);
}

TEST_F(Emulator, ASummaryCanBeGivenApartFromTheMasks)
{
    SinkConfig sink = emulator.sinkConfig(0);
    sink.supportSummary = 0;
    emulator.setSinkConfig(0, sink);
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::SUPPORT_REQ, 0)));
    const Datagram answer = onlyAnswer();
    EXPECT_EQ(answer.bytes.getStatus(), QUORVIN::STATUS_OK);
    EXPECT_EQ(answer.bytes.getOption(), 0u);
    // The detail is still answered from its mask.
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::SUPPORT_REQ, 0x0200)));
    EXPECT_EQ(onlyAnswer().bytes.getOption(), kPCM);
}

TEST_F(Emulator, LatencyIsSetByPolicyAndStaysInForce)
{
    struct Case {
        testbed::LatencyPolicy policy;
        uint16_t min;
        uint16_t max;
        uint16_t wanted;
        uint16_t inForce;
    };
    const Case cases[] = {
        {testbed::LatencyPolicy::ACCEPT, 500, 1500, 2000, 2000},
        {testbed::LatencyPolicy::CLAMP, 500, 1500, 2000, 1500},
        {testbed::LatencyPolicy::CLAMP, 500, 1500, 100, 500},
        {testbed::LatencyPolicy::CLAMP, 500, 1500, 1200, 1200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wanted);
        SinkConfig sink = emulator.sinkConfig(0);
        sink.latencyPolicy = c.policy;
        sink.latencyMin = c.min;
        sink.latencyMax = c.max;
        emulator.setSinkConfig(0, sink);

        ASSERT_TRUE(host.send(sink0, message(QUORVIN::LATENCY_REQ, c.wanted)));
        Datagram answer = onlyAnswer();
        EXPECT_EQ(answer.bytes.getStatus(), QUORVIN::STATUS_OK);
        EXPECT_EQ(answer.bytes.getOption0(), c.inForce);
        EXPECT_EQ(answer.bytes.getOption1(), 20);

        ASSERT_TRUE(host.send(sink0, message(QUORVIN::LATENCY_REQ, 0)));
        answer = onlyAnswer();
        EXPECT_EQ(answer.bytes.getOption0(), c.inForce);
        EXPECT_EQ(emulator.state(0).latency, c.inForce);
        EXPECT_EQ(emulator.state(0).wantedLatency, c.wanted);
    }
    // The connect preparation answers with the latency in force.
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::CONNECTPRE_REQ, kPreConfigure)));
    EXPECT_EQ(onlyAnswer().bytes.getOption1(), 1200);
}

TEST_F(Emulator, PathTestsAbovePathMaxAreDroppedOrCut)
{
    SinkConfig sink = emulator.sinkConfig(0);
    sink.pathMax = 1000;
    emulator.setSinkConfig(0, sink);

    ASSERT_TRUE(host.send(sink0, pathTest(1000)));
    Datagram answer = onlyAnswer();
    EXPECT_EQ(answer.bytes.getOption2(), 1000);
    EXPECT_EQ(answer.bytes.getOption3(), pathSum(1000));

    ASSERT_TRUE(host.send(sink0, pathTest(1001)));
    expectNoAnswer("dropped like on a path with a smaller mtu");

    sink.pathOversize = testbed::PathOversize::TRUNCATE;
    emulator.setSinkConfig(0, sink);
    ASSERT_TRUE(host.send(sink0, pathTest(8936)));
    answer = onlyAnswer();
    EXPECT_EQ(answer.bytes.getStatus(), QUORVIN::STATUS_OK);
    EXPECT_EQ(answer.bytes.getOption2(), 1000);
    EXPECT_EQ(answer.bytes.getOption3(), pathSum(1000));
}

TEST_F(Emulator, AConnectPreparationAnswerCarriesAPayloadWhenTheSinkWantsTheName)
{
    SinkConfig sink = emulator.sinkConfig(0);
    sink.wantName = true;
    emulator.setSinkConfig(0, sink);
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::CONNECTPRE_REQ, kPreConfigure)));
    const Datagram answer = onlyAnswer();
    ASSERT_TRUE(answer.bytes);
    EXPECT_EQ(answer.bytes.getMessage(), QUORVIN::CONNECTPRE_ANS);
    EXPECT_GT(answer.bytes.size_data(), 0u);
    EXPECT_EQ(answer.bytes.getOption(), (kPreConfigure & ~0xFFFF0000ULL) | (1000ULL << 16));
}

TEST_F(Emulator, TheSinkStateRecordsWhatTheHostAnnounced)
{
    EXPECT_FALSE(emulator.state(0).haveHostName);
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::PARAMETER_REQ, kStreamFormat)));
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::CONNECTPRE_REQ, kPreConfigure)));
    ASSERT_TRUE(
        host.send(sink0, textMessage(QUORVIN::SYNCNAME_REQ, QUORVIN::STATUS_OK, 0x1122334455667788ULL, "VUVO VAZA")));
    EXPECT_EQ(host.untilFence(sink1).size(), 3u);
    const testbed::SinkState state = emulator.state(0);
    EXPECT_EQ(state.streamFormat, kStreamFormat);
    EXPECT_EQ(state.connectPrepare, kPreConfigure);
    EXPECT_TRUE(state.haveHostName);
    EXPECT_EQ(state.hostName, "VUVO VAZA");
    EXPECT_EQ(state.hostId, 0x1122334455667788ULL);
    // The other sink was told nothing.
    EXPECT_FALSE(emulator.state(1).haveHostName);
    EXPECT_EQ(emulator.state(1).streamFormat, 0u);
}

TEST_F(Emulator, SilentAndUnknownRequestsGoUnanswered)
{
    emulator.setBehaviour(0, QUORVIN::LATENCY_REQ, Behaviour{.mode = Behaviour::SILENT});
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::LATENCY_REQ, 0)));
    expectNoAnswer("silent");
    // Another sink of the same target is not affected.
    ASSERT_TRUE(host.send(sink1, message(QUORVIN::LATENCY_REQ, 0)));
    const std::vector<Datagram> got = host.untilFence(sink1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].from, sink1);
    // A request the sink has no answer for, an answer sent to it, and a datagram that is no message.
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::FWVERSION_REQ, 0)));
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::SUPPORT_ANS, 0, QUORVIN::STATUS_OK)));
    ASSERT_TRUE(host.sendBytes(sink0, TIVRA::Buffer(15, 0x64)));
    expectNoAnswer("nothing to answer");

    emulator.setBehaviour(0, QUORVIN::LATENCY_REQ, Behaviour{});
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::LATENCY_REQ, 0)));
    EXPECT_EQ(onlyAnswer().bytes.getMessage(), QUORVIN::LATENCY_ANS);
}

TEST_F(Emulator, ARefusedAnswerLacksOnlyStatusOkAndChangesNothing)
{
    emulator.setBehaviour(0, QUORVIN::LATENCY_REQ, Behaviour{.mode = Behaviour::REFUSE});
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::LATENCY_REQ, 2000)));
    const Datagram answer = onlyAnswer();
    ASSERT_TRUE(answer.bytes);
    EXPECT_EQ(answer.from, sink0);
    EXPECT_EQ(answer.bytes.getMessage(), QUORVIN::LATENCY_ANS);
    EXPECT_EQ(answer.bytes.getStatus(), 0);
    EXPECT_EQ(answer.bytes.getOption0(), 2000);
    EXPECT_EQ(emulator.state(0).latency, 1000);

    emulator.clearBehaviours(0);
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::LATENCY_REQ, 0)));
    EXPECT_EQ(onlyAnswer().bytes.getOption0(), 1000);
}

TEST_F(Emulator, AnEchoIsTheRequestItself)
{
    emulator.setBehaviour(0, QUORVIN::SUPPORT_REQ, Behaviour{.mode = Behaviour::ECHO});
    const QUORVIN::SendBuffer request = message(QUORVIN::SUPPORT_REQ, 0x0E00);
    ASSERT_TRUE(host.send(sink0, request));
    const Datagram answer = onlyAnswer();
    EXPECT_EQ(answer.from, sink0);
    const TIVRA::BufferCS_const sent = request;
    EXPECT_EQ(answer.bytes, TIVRA::Buffer(sent.viewData, sent.viewData + sent.viewSize));
}

TEST_F(Emulator, AnOtherPortAnswerComesFromTheTargetsOtherSocket)
{
    emulator.setBehaviour(0, QUORVIN::DATASIZE_REQ, Behaviour{.mode = Behaviour::OTHER_PORT});
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::DATASIZE_REQ, 0)));
    const Datagram answer = onlyAnswer();
    ASSERT_TRUE(answer.bytes);
    EXPECT_EQ(answer.from, emulator.otherPortAddress());
    EXPECT_NE(answer.from.getPort(), sink0.getPort());
    EXPECT_EQ(0, std::memcmp(answer.from.addr, sink0.addr, 16));
    EXPECT_EQ(answer.bytes.getMessage(), QUORVIN::DATASIZE_ANS);
    EXPECT_EQ(answer.bytes.getStatus(), QUORVIN::STATUS_OK);
    EXPECT_EQ(answer.bytes.getOption0(), 1500);
}

TEST_F(Emulator, OnRepeatAnswersOnlyEveryKthIdenticalRequest)
{
    emulator.setBehaviour(0, QUORVIN::LATENCY_REQ, Behaviour{.onRepeat = 3});
    const QUORVIN::SendBuffer query = message(QUORVIN::LATENCY_REQ, 0);
    std::vector<size_t> answered;
    for (int send = 1; send <= 6; ++send) {
        ASSERT_TRUE(host.send(sink0, query));
        answered.push_back(host.untilFence(sink1).size());
    }
    EXPECT_EQ(answered, (std::vector<size_t>{0, 0, 1, 0, 0, 1}));

    // A different request starts a new run.
    ASSERT_TRUE(host.send(sink0, query));
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::LATENCY_REQ, 1500)));
    ASSERT_TRUE(host.send(sink0, query));
    ASSERT_TRUE(host.send(sink0, query));
    EXPECT_TRUE(host.untilFence(sink1).empty());
    ASSERT_TRUE(host.send(sink0, query));
    EXPECT_EQ(host.untilFence(sink1).size(), 1u);

    std::vector<uint32_t> repeats;
    for (const Request& r : emulator.requests(0)) {
        repeats.push_back(r.repeat);
    }
    EXPECT_EQ(repeats, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 1, 1, 2, 3}));
}

TEST_F(Emulator, AnInvalidDatagramCanPrecedeTheAnswer)
{
    struct Case {
        const char* text;
        Behaviour::Before before;
    };
    const Case cases[] = {
        {"short", Behaviour::SHORT},
        {"tag", Behaviour::BAD_TAG},
        {"length", Behaviour::BAD_LENGTH},
        {"other id", Behaviour::OTHER_ID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        emulator.setBehaviour(0, QUORVIN::PARAMETER_REQ, Behaviour{.before = c.before});
        ASSERT_TRUE(host.send(sink0, message(QUORVIN::PARAMETER_REQ, kStreamFormat)));
        const std::vector<Datagram> got = host.untilFence(sink1);
        ASSERT_EQ(got.size(), 2u);
        const QUORVIN::Receive& bad = got[0].bytes;
        const QUORVIN::Receive& good = got[1].bytes;
        EXPECT_EQ(got[0].from, sink0);
        ASSERT_TRUE(good);
        EXPECT_EQ(good.getMessage(), QUORVIN::PARAMETER_ANS);
        EXPECT_EQ(good.getStatus(), QUORVIN::STATUS_OK);
        switch (c.before) {
        case Behaviour::SHORT:
            EXPECT_FALSE(bad);
            EXPECT_EQ(bad, TIVRA::Buffer(good.begin(), good.begin() + 15));
            break;
        case Behaviour::BAD_TAG:
            EXPECT_FALSE(bad);
            ASSERT_EQ(bad.size(), good.size());
            EXPECT_EQ(bad[0], 99);
            EXPECT_TRUE(std::equal(bad.begin() + 2, bad.end(), good.begin() + 2));
            break;
        case Behaviour::BAD_LENGTH:
            EXPECT_FALSE(bad);
            EXPECT_EQ(bad.size(), good.size());
            break;
        default:
            ASSERT_TRUE(bad);
            EXPECT_EQ(bad.getMessage(), QUORVIN::PARAMETER_ANS + 2);
            EXPECT_EQ(bad.getOption(), good.getOption());
            break;
        }
    }
}

TEST_F(Emulator, ADelayedAnswerDoesNotHoldBackOtherAnswers)
{
    emulator.setBehaviour(0, QUORVIN::SUPPORT_REQ, Behaviour{.before = Behaviour::SHORT, .delayUs = 300'000});
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::SUPPORT_REQ, 0)));
    // Answered at once while the delayed one waits.
    EXPECT_TRUE(host.untilFence(sink1).empty());
    EXPECT_TRUE(host.fenced);
    const auto bad = host.receive();
    const auto good = host.receive();
    ASSERT_TRUE(bad && good);
    EXPECT_EQ(bad->bytes.size(), 15u);
    ASSERT_TRUE(good->bytes);
    EXPECT_EQ(good->from, sink0);
    EXPECT_EQ(good->bytes.getMessage(), QUORVIN::SUPPORT_ANS);
    const std::vector<Request> records = emulator.requests(0);
    ASSERT_EQ(records.size(), 1u);
}

TEST_F(Emulator, DelayedAnswersKeepTheirOrder)
{
    emulator.setBehaviour(0, QUORVIN::LATENCY_REQ, Behaviour{.delayUs = 50'000});
    for (uint16_t wanted : {1100, 1200, 1300}) {
        ASSERT_TRUE(host.send(sink0, message(QUORVIN::LATENCY_REQ, wanted)));
    }
    for (uint16_t wanted : {1100, 1200, 1300}) {
        const auto answer = host.receive();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->bytes.getOption0(), wanted);
    }
}

TEST_F(Emulator, TheRecordHoldsEveryDatagramInOrder)
{
    // Each answer awaited, so the order over both sinks is the sending order.
    ASSERT_TRUE(host.exchange(sink0, message(QUORVIN::SUPPORT_REQ, 0)));
    ASSERT_TRUE(host.exchange(sink1, message(QUORVIN::PROBE_REQ, 0)));
    ASSERT_TRUE(host.exchange(sink0, textMessage(QUORVIN::SYNCNAME_REQ, QUORVIN::STATUS_OK, 7, "host")));
    ASSERT_TRUE(host.sendBytes(sink0, TIVRA::Buffer(15, 0)));
    ASSERT_TRUE(emulator.waitForRequests(
        0, [](const std::vector<Request>& r) { return r.size() == 3; }, 5000ms));

    const std::vector<Request> r0 = emulator.requests(0);
    ASSERT_EQ(r0.size(), 3u);
    EXPECT_TRUE(r0[0].valid);
    EXPECT_EQ(r0[0].message, QUORVIN::SUPPORT_REQ);
    EXPECT_EQ(r0[0].source, host.local());
    EXPECT_EQ(r0[0].sink, 0u);
    EXPECT_EQ(r0[0].datagram.size(), 16u);

    EXPECT_EQ(r0[1].message, QUORVIN::SYNCNAME_REQ);
    EXPECT_EQ(r0[1].status, QUORVIN::STATUS_OK);
    EXPECT_EQ(r0[1].option, 7u);
    EXPECT_EQ(r0[1].option0, 7);
    EXPECT_EQ(r0[1].payloadText(), "host");
    EXPECT_EQ(r0[1].datagram.size(), 24u);  // with its pad bytes

    EXPECT_FALSE(r0[2].valid);
    EXPECT_EQ(r0[2].datagram.size(), 15u);
    EXPECT_TRUE(r0[2].payload.empty());

    const std::vector<Request> r1 = emulator.requests(1);
    ASSERT_EQ(r1.size(), 1u);
    EXPECT_EQ(r1[0].message, QUORVIN::PROBE_REQ);
    EXPECT_EQ(r1[0].sink, 1u);
    // One order over the whole target.
    EXPECT_LT(r0[0].order, r1[0].order);
    EXPECT_LT(r1[0].order, r0[1].order);
    EXPECT_LT(r0[1].order, r0[2].order);

    emulator.clearRequests(1);
    EXPECT_TRUE(emulator.requests(1).empty());
    EXPECT_EQ(emulator.requests(0).size(), 3u);
    emulator.clearRequests();
    EXPECT_TRUE(emulator.requests(0).empty());
    EXPECT_FALSE(emulator.waitForRequests(0, QUORVIN::SUPPORT_REQ, 1, 20ms));
}

TEST_F(Emulator, TheListenerSeesEachRequest)
{
    std::atomic<int> seen{0};
    std::atomic<int> lastMessage{-1};
    emulator.onRequest([&](const Request& r) {
        lastMessage = r.message;
        ++seen;
    });
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::DATASIZE_REQ, 0)));
    ASSERT_TRUE(host.send(sink0, message(QUORVIN::PARAMETER_REQ, 0)));
    EXPECT_EQ(host.untilFence(sink1).size(), 2u);
    emulator.onRequest(nullptr);
    EXPECT_EQ(seen.load(), 3);  // the fence too
    EXPECT_EQ(lastMessage.load(), QUORVIN::DATASIZE_REQ);
}

TEST_F(Emulator, KeepsOnlyTheLatestRecordsWhenLimited)
{
    emulator.stop();
    config.recordLimit = 2;
    ASSERT_TRUE(emulator.start(config));
    sink0 = emulator.sinkAddress(0);
    for (uint16_t wanted : {1100, 1200, 1300}) {
        ASSERT_TRUE(host.exchange(sink0, message(QUORVIN::LATENCY_REQ, wanted)));
    }
    const std::vector<Request> r = emulator.requests(0);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].option0, 1200);
    EXPECT_EQ(r[1].option0, 1300);
}

TEST(EmulatorLinkLocal, AnswersOnALinkLocalAddressWithItsScope)
{
    TIVRA::Socket::InterfaseMap local;
    ASSERT_TRUE(TIVRA::Socket::getMyLocalAddresV6(local, false));
    if (local.empty()) {
        GTEST_SKIP() << "no link-local address on this machine";
    }
    TargetConfig config = TargetConfig::withSinks(1);
    config.address = local.begin()->first;
    TargetEmulator emulator;
    ASSERT_TRUE(emulator.start(config));
    const TIVRA::IPAddress sink = emulator.sinkAddress(0);
    EXPECT_EQ(sink.ifindex, config.address.ifindex);
    EXPECT_EQ(0, std::memcmp(sink.addr, config.address.addr, 16));

    HostSocket host(config.address);
    ASSERT_TRUE(host.ok());
    const auto answer = host.exchange(sink, message(QUORVIN::SUPPORT_REQ, 0));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->from, sink);  // the host's exchange compares the scope too
    EXPECT_EQ(answer->bytes.getMessage(), QUORVIN::SUPPORT_ANS);
    const std::vector<Request> r = emulator.requests(0);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].source, host.local());
}

TEST(EmulatorLifecycle, StartRefusesWhatCannotRun)
{
    TargetEmulator emulator;
    EXPECT_FALSE(emulator.start(TargetConfig{}));  // no sink
    TargetConfig elsewhere = TargetConfig::withSinks(1);
    ASSERT_TRUE(testbed::parseAddress("2001:db8::1", elsewhere.address));  // not on this machine
    EXPECT_FALSE(emulator.start(elsewhere));
    EXPECT_FALSE(emulator.running());

    ASSERT_TRUE(emulator.start(TargetConfig::withSinks(1)));
    EXPECT_TRUE(emulator.running());
    EXPECT_FALSE(emulator.start(TargetConfig::withSinks(1)));  // already running
    emulator.stop();
    emulator.stop();
    EXPECT_FALSE(emulator.running());
}

TEST(EmulatorLifecycle, RestartsOnAFixedPortWithFreshRecords)
{
    HostSocket host;
    ASSERT_TRUE(host.ok());
    TargetEmulator emulator;
    TargetConfig config = TargetConfig::withSinks(1);
    config.sinks[0].behaviours[QUORVIN::SUPPORT_REQ] = Behaviour{.delayUs = 10'000'000};
    ASSERT_TRUE(emulator.start(config));
    const uint16_t port = emulator.sinkAddress(0).getPort();
    // Stops at once although an answer is still waiting for its delay.
    ASSERT_TRUE(host.send(emulator.sinkAddress(0), message(QUORVIN::SUPPORT_REQ, 0)));
    ASSERT_TRUE(emulator.waitForRequests(0, QUORVIN::SUPPORT_REQ, 1, 5000ms));
    emulator.stop();
    EXPECT_EQ(emulator.requests(0).size(), 1u);  // still readable after stop

    config.sinks[0].port = port;
    config.sinks[0].behaviours.clear();
    ASSERT_TRUE(emulator.start(config));
    EXPECT_EQ(emulator.sinkAddress(0).getPort(), port);
    EXPECT_TRUE(emulator.requests(0).empty());
    const auto answer = host.exchange(emulator.sinkAddress(0), message(QUORVIN::SUPPORT_REQ, 0));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getMessage(), QUORVIN::SUPPORT_ANS);
}

}  // namespace
