// The emulator's stream side over real UDP on ::1, driven by a small host
// in the test: the connect answer, the packets recorded in counter order,
// loss and resend requests, the feedback from the simulated playback, the
// ends of a stream and the log relay port. The stream clock is the test's
// own, so nothing here depends on how fast the machine is. Last, one smoke
// run of the real stream object against the emulator.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "HostSocket.h"
#include "protocol/Format.h"
#include "protocol/Identifiers.h"
#include "protocol/Message.h"
#include "stream/Sync.h"
#include "testbed/emulator/StreamRecord.h"
#include "testbed/emulator/TargetEmulator.h"

namespace {

using namespace std::chrono_literals;
using QUORVIN::STATUS_CYCLE_END;
using QUORVIN::STATUS_INFO;
using testbed::StreamBehaviour;
using testbed::StreamEnd;
using testbed::StreamReport;
using testbed::TargetConfig;
using testbed::TargetEmulator;
using testbed_test::Datagram;
using testbed_test::HostSocket;
using TIVRA::Clock;

constexpr QUORVIN::StatusID kEnd = STATUS_CYCLE_END;
constexpr QUORVIN::StatusID kInfo = STATUS_CYCLE_END | STATUS_INFO;
constexpr QUORVIN::StatusID kPhaseBits = QUORVIN::STATUS_PHASE_VALID | QUORVIN::STATUS_PHASE_NORMAL;

uint64_t stereo16(unsigned long rate)
{
    QUORVIN::FormatConfigure f;
    f.setFormat(QUORVIN::PCM16);
    f.setChannel(2);
    f.setSpeed(rate);
    return f.value;
}

// 48 kHz stereo 16-bit: 192 bytes per millisecond.
const uint64_t kFormat = stereo16(48000);
constexpr uint64_t kBytesPerMs = 192;

// What the host decodes from a feedback answer.
int32_t hostValue(const QUORVIN::Receive& a)
{
    const uint16_t o0 = a.getOption0();
    if (o0 != 0 && (o0 & 0x8000) == 0) {
        return 2 * int32_t{o0} - 16384;
    }
    if ((o0 & 0x8000) != 0) {
        return static_cast<int32_t>((o0 & 0x7FFF) ^ 0x4000) - 0x4000;
    }
    if (a.getOption2() != 0) {
        return ((int32_t{a.getOption1()} - int32_t{a.getOption2()}) * 16384) / int32_t{a.getOption2()};
    }
    return 0;
}

// Payload of the packet with this counter: the counter itself, so the
// recorded audio shows the order.
std::vector<uint8_t> numbered(uint64_t counter, size_t bytes = 4)
{
    std::vector<uint8_t> p(bytes);
    for (size_t i = 0; i < bytes; ++i) {
        p[i] = static_cast<uint8_t>(counter >> (8 * (i % 4)));
    }
    return p;
}

std::vector<uint8_t> concat(const std::vector<std::vector<uint8_t>>& parts)
{
    std::vector<uint8_t> all;
    for (const auto& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

QUORVIN::SendBuffer streamPacket(uint16_t counter, QUORVIN::StatusID status, const std::vector<uint8_t>& payload)
{
    QUORVIN::SendBuffer m;
    m.set(QUORVIN::STREAM_REQ, status, counter, 0, 0, 0);
    m.resize(static_cast<uint16_t>(payload.size()));
    if (!payload.empty()) {
        std::memcpy(m.get_data(), payload.data(), payload.size());
    }
    m.update();
    return m;
}

class Stream : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok());
        config = TargetConfig::withSinks(1);
        config.clock = [this] { return Clock(now.load()); };
    }

    void start()
    {
        ASSERT_TRUE(emulator.start(config));
        sink = emulator.sinkAddress(0);
    }

    // CONNECT_REQ and its answer, passing over what an earlier stream left
    // unread; the data socket from then on.
    Datagram connect(uint64_t format = kFormat)
    {
        EXPECT_TRUE(host.send(sink, QUORVIN::Send(QUORVIN::CONNECT_REQ, 0, format)));
        while (std::optional<Datagram> answer = host.receive()) {
            if (answer->from == sink && answer->bytes && answer->bytes.getMessage() == QUORVIN::CONNECT_ANS) {
                data = sink;
                data.setPort(answer->bytes.getOption0());
                sent = 0;
                return *answer;
            }
        }
        ADD_FAILURE() << "no CONNECT_ANS";
        return {};
    }

    void packet(uint16_t counter, QUORVIN::StatusID status, const std::vector<uint8_t>& payload)
    {
        ASSERT_TRUE(host.send(data, streamPacket(counter, status, payload)));
        ++sent;
    }

    // A run of counters; the last one ends the burst with `status`.
    void burst(uint16_t first, uint16_t count, QUORVIN::StatusID status = kEnd, size_t bytes = 4)
    {
        for (uint16_t i = 0; i < count; ++i) {
            const uint16_t c = static_cast<uint16_t>(first + i);
            packet(c, i + 1 == count ? status : 0, numbered(c, bytes));
        }
    }

    // Until the emulator has handled everything sent so far.
    void settle() { ASSERT_TRUE(emulator.waitForStreamPackets(0, sent, 5000ms)) << "sent " << sent; }

    // Whatever came back so far, in order.
    std::vector<Datagram> answers() { return host.untilFence(sink); }

    StreamReport report()
    {
        const std::optional<StreamReport> r = emulator.streamReport(0);
        EXPECT_TRUE(r);
        return r ? *r : StreamReport{};
    }

    void advance(uint64_t ps) { now.fetch_add(ps); }

    HostSocket host;
    TargetConfig config;
    TargetEmulator emulator;
    TIVRA::IPAddress sink;
    TIVRA::IPAddress data;
    uint64_t sent = 0;
    std::atomic<uint64_t> now{1'000'000 * Clock::SEC};
};

TEST_F(Stream, ConnectAnswersWithTheDataSocketAndThePhase)
{
    struct Case {
        const char* name;
        uint16_t phase;
    };
    const Case cases[] = {
        {"normal", kPhaseBits},
        {"inverted", QUORVIN::STATUS_PHASE_VALID},
        {"none", 0},
    };
    start();
    const TIVRA::IPAddress dataSocket = emulator.dataAddress(0);
    EXPECT_NE(dataSocket.getPort(), 0);
    EXPECT_NE(dataSocket.getPort(), sink.getPort());
    EXPECT_EQ(emulator.state(0).dataPort, dataSocket.getPort());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StreamBehaviour b;
        b.connectPhase = c.phase;
        emulator.setStreamBehaviour(0, b);
        const uint64_t format = kFormat + emulator.streamCount(0);  // each stream its own
        const Datagram answer = connect(format);
        ASSERT_TRUE(answer.bytes);
        EXPECT_EQ(answer.from, sink);
        EXPECT_EQ(answer.bytes.getMessage(), QUORVIN::CONNECT_ANS);
        EXPECT_EQ(answer.bytes.getStatus(), QUORVIN::STATUS_OK | c.phase);
        EXPECT_EQ(answer.bytes.getOption0(), dataSocket.getPort());
        EXPECT_EQ(answer.bytes.getOption1(), 0);
        EXPECT_EQ(emulator.state(0).connectFormat, format);
        const StreamReport r = report();
        EXPECT_EQ(r.format, format);
        EXPECT_EQ(r.end, StreamEnd::OPEN);
        EXPECT_EQ(r.host, host.local());
    }
    // Each connect ended the stream before it.
    ASSERT_EQ(emulator.streamCount(0), 3u);
    EXPECT_EQ(emulator.streamReport(0, 0)->end, StreamEnd::NEW_CONNECT);
    EXPECT_EQ(emulator.streamReport(0, 1)->end, StreamEnd::NEW_CONNECT);
    EXPECT_FALSE(emulator.streamReport(0, 3));

    // A refused connect keeps its phase bits but starts no stream.
    emulator.setBehaviour(0, QUORVIN::CONNECT_REQ, testbed::Behaviour{.mode = testbed::Behaviour::REFUSE});
    const Datagram refused = connect();
    EXPECT_EQ(refused.bytes.getStatus(), 0);
    EXPECT_EQ(emulator.streamCount(0), 3u);
    EXPECT_EQ(report().end, StreamEnd::OPEN);
}

TEST_F(Stream, PacketsAreRecordedInCounterOrderAcrossTheWrap)
{
    start();
    connect();
    // Flow control of our own: the emulator's receive buffer is large, not endless.
    constexpr uint64_t kBatch = 2000;
    constexpr uint64_t kBeforeWrap = 65534;  // counters 0 .. 65533
    for (uint64_t c = 0; c < kBeforeWrap; ++c) {
        packet(static_cast<uint16_t>(c), (c % 10 == 9) ? kEnd : 0, numbered(c));
        if (sent % kBatch == 0) {
            settle();
        }
    }
    // Around the wrap out of order: 65534, then 65537 (1), 65535, 65536 (0), 65538 (2).
    for (uint64_t c : {65534ULL, 65537ULL, 65535ULL, 65536ULL, 65538ULL}) {
        packet(static_cast<uint16_t>(c), 0, numbered(c));
    }
    settle();
    const std::vector<Datagram> back = answers();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].from, emulator.dataAddress(0));
    EXPECT_EQ(back[0].bytes.getMessage(), QUORVIN::STREAM_ANS);
    EXPECT_EQ(back[0].bytes.getStatus(), QUORVIN::STATUS_OK | QUORVIN::STATUS_RESEND);
    EXPECT_EQ(back[0].bytes.getOption1(), 65535);  // the first missing one
    EXPECT_EQ(back[0].bytes.getOption2(), 1);      // the one that showed the gap

    const StreamReport r = report();
    EXPECT_EQ(r.packets, 65539u);
    EXPECT_EQ(r.highest, 65538);
    EXPECT_EQ(r.missing, 0u);
    EXPECT_EQ(r.gaps, 1u);
    EXPECT_EQ(r.filled, 2u);
    EXPECT_EQ(r.duplicates, 0u);
    EXPECT_FALSE(r.audioGap);
    ASSERT_EQ(r.audio.size(), 65539u * 4);
    for (uint64_t c = 0; c < 65539; ++c) {
        ASSERT_EQ(0, std::memcmp(r.audio.data() + 4 * c, numbered(c).data(), 4)) << c;
    }
    EXPECT_EQ(r.bytes, r.audio.size());
}

TEST_F(Stream, ADroppedPacketIsAskedForAndTheResendFillsTheGap)
{
    char dir[] = "/tmp/emulator-stream-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/audio.raw";
    config.sinks[0].stream.dropCounters = {5};
    config.sinks[0].stream.audioFile = file;
    start();
    connect();
    burst(0, 4);
    burst(4, 4);  // 5 is dropped: 6 shows the gap
    settle();
    std::vector<Datagram> back = answers();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].bytes.getStatus(), QUORVIN::STATUS_OK | QUORVIN::STATUS_RESEND);
    EXPECT_EQ(back[0].bytes.getOption1(), 5);
    EXPECT_EQ(back[0].bytes.getOption2(), 6);

    // The host resends from 5 to its newest, 7, in order; it sizes a resent
    // packet's datagram up to 8 bytes beyond the length word's total.
    for (uint16_t c = 5; c <= 7; ++c) {
        const QUORVIN::SendBuffer p = streamPacket(c, c == 7 ? kEnd : 0, numbered(c, 7));
        const TIVRA::BufferCS_const wire = p;
        TIVRA::Buffer bytes(wire.viewData, wire.viewData + wire.viewSize);
        bytes.resize(bytes.size() + 8, 0xEE);
        ASSERT_TRUE(host.sendBytes(data, bytes));
        ++sent;
    }
    burst(8, 4);
    settle();
    EXPECT_TRUE(answers().empty()) << "the gap is filled: nothing more to ask";

    QUORVIN::SendBuffer end;
    end.set(QUORVIN::DSICONNECT_REQ, 0);
    end.update();
    ASSERT_TRUE(host.send(data, end));
    ASSERT_TRUE(emulator.waitForStreamEnd(0, 5000ms));
    const StreamReport r = report();
    EXPECT_EQ(r.arrived, 15u);
    EXPECT_EQ(r.dropped, 1u);
    EXPECT_EQ(r.packets, 12u);
    EXPECT_EQ(r.gaps, 1u);
    EXPECT_EQ(r.resendRequests, 1u);
    EXPECT_EQ(r.filled, 1u);
    EXPECT_EQ(r.duplicates, 2u);
    EXPECT_EQ(r.missing, 0u);
    EXPECT_FALSE(r.audioGap);
    std::vector<std::vector<uint8_t>> parts;
    for (uint64_t c = 0; c < 12; ++c) {
        parts.push_back(numbered(c, c == 5 ? 7 : 4));  // 5 came as resent, 7 bytes long
    }
    const std::vector<uint8_t> expected = concat(parts);
    EXPECT_EQ(std::vector<uint8_t>(r.audio.begin(), r.audio.end()), expected);
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, expected);
    std::remove(file.c_str());
    rmdir(dir);
}

TEST_F(Stream, AGapLeftOpenIsAskedForAgainAtTheSecondCycleEnd)
{
    config.sinks[0].stream.dropCounters = {5};
    start();
    connect();
    burst(0, 4);
    burst(4, 4);  // asked at 6
    burst(8, 4);  // the host did not resend: asked again at this cycle's end
    burst(12, 4);
    settle();
    const std::vector<Datagram> back = answers();
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].bytes.getOption1(), 5);
    EXPECT_EQ(back[0].bytes.getOption2(), 6);
    EXPECT_EQ(back[1].bytes.getOption1(), 5);
    EXPECT_EQ(back[1].bytes.getOption2(), 11);
    const StreamReport r = report();
    EXPECT_EQ(r.missing, 1u);
    EXPECT_TRUE(r.audioGap);
    // The audio skips the missing packet.
    ASSERT_EQ(r.audio.size(), 15u * 4);
    EXPECT_EQ(0, std::memcmp(r.audio.data() + 5 * 4, numbered(6).data(), 4));
}

TEST_F(Stream, LossByShareAndByCountIsRepeatable)
{
    // Two streams with the same seed lose the same packets.
    config.sinks[0].stream.dropShare = 0.25;
    config.sinks[0].stream.dropSeed = 42;
    start();
    std::vector<StreamReport> runs;
    for (int run = 0; run < 2; ++run) {
        connect();
        for (uint16_t c = 0; c < 400; ++c) {
            packet(c, 0, numbered(c));
        }
        settle();
        runs.push_back(report());
    }
    EXPECT_GT(runs[0].dropped, 60u);
    EXPECT_LT(runs[0].dropped, 140u);
    EXPECT_EQ(runs[1].dropped, runs[0].dropped);
    EXPECT_EQ(runs[1].audio, runs[0].audio);
    EXPECT_EQ(runs[0].packets + runs[0].dropped, 400u);

    // Every third arrival, counting all of them.
    StreamBehaviour b;
    b.dropEvery = 3;
    emulator.setStreamBehaviour(0, b);
    connect();
    for (uint16_t c = 0; c < 30; ++c) {
        packet(c, 0, numbered(c));
    }
    settle();
    const StreamReport r = report();
    EXPECT_EQ(r.dropped, 10u);
    EXPECT_EQ(r.packets, 20u);
    EXPECT_EQ(r.highest, 28);  // 29 was the 30th arrival
    EXPECT_EQ(r.missing, 9u);
}

// Packets already on their way when the host took a request bring cycle
// ends too: asking at every second one would have the host resend the same
// run again and again. Each repeat waits twice as many cycle ends.
TEST_F(Stream, AGapLeftOpenIsAskedForAgainAfterEverLongerWaits)
{
    config.sinks[0].stream.dropCounters = {5};
    start();
    connect();
    for (uint16_t first = 0; first < 128; first += 4) {
        burst(first, 4);
        if (first % 32 == 28) {
            settle();
        }
    }
    settle();
    std::vector<uint16_t> askedAt;
    for (const Datagram& d : answers()) {
        EXPECT_EQ(d.bytes.getOption1(), 5);
        askedAt.push_back(static_cast<uint16_t>(d.bytes.getOption2()));
    }
    // At the gap, then after 2, 4, 8 and 16 cycle ends.
    EXPECT_EQ(askedAt, (std::vector<uint16_t>{6, 11, 27, 59, 123}));
}

TEST_F(Stream, AResendRequestFarBackCanBeAskedFor)
{
    config.sinks[0].stream.resendBackAfter = 10;
    config.sinks[0].stream.resendBack = 20000;
    start();
    connect();
    burst(0, 12);
    settle();
    std::vector<Datagram> back = answers();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].bytes.getStatus(), QUORVIN::STATUS_OK | QUORVIN::STATUS_RESEND);
    EXPECT_EQ(back[0].bytes.getOption1(), static_cast<uint16_t>(9 - 20000));
    EXPECT_EQ(back[0].bytes.getOption2(), 9);

    emulator.askResend(0, 3);
    ASSERT_TRUE(emulator.waitForActions(5000ms));
    back = answers();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].bytes.getOption1(), 8);
    EXPECT_EQ(back[0].bytes.getOption2(), 11);
    EXPECT_EQ(report().resendRequests, 2u);
}

TEST(FeedbackEncoding, EachKindCarriesTheRelativeErrorOfTheLevel)
{
    using testbed::encodeFeedback;
    struct Case {
        StreamBehaviour::Feedback kind;
        int64_t level;
        int64_t target;
        uint16_t o0, o1, o2;
        int32_t value;
    };
    const auto R = StreamBehaviour::FEEDBACK_RATE;
    const auto O = StreamBehaviour::FEEDBACK_OFFSET;
    const auto Q = StreamBehaviour::FEEDBACK_RATIO;
    const auto N = StreamBehaviour::FEEDBACK_NONE;
    const Case cases[] = {
        // At the target.
        {R, 1920, 1920, 0x2000, 0, 0, 0},
        {O, 1920, 1920, 0x8000, 0, 0, 0},
        {Q, 1920, 1920, 0, 1920, 1920, 0},
        {N, 1920, 1920, 0, 0, 0, 0},
        // 10 % too much: 1638 (the host slows down).
        {R, 2112, 1920, 9011, 0, 0, 1638},
        {O, 2112, 1920, 0x8000 | 1638, 0, 0, 1638},
        {Q, 2112, 1920, 0, 2112, 1920, 1638},
        // 10 % too little: -1638.
        {R, 1728, 1920, 7373, 0, 0, -1638},
        {O, 1728, 1920, 0x8000 | (0x8000 - 1638), 0, 0, -1638},
        {Q, 1728, 1920, 0, 1728, 1920, -1638},
        // Empty: -16384, which the rate kind cannot carry exactly.
        {R, 0, 1920, 1, 0, 0, -16382},
        {O, 0, 1920, 0xC000, 0, 0, -16384},
        {Q, 0, 1920, 0, 0, 1920, -16384},
        // Four times the target: held within the 16 bits the host keeps.
        {R, 7680, 1920, 24575, 0, 0, 32766},
        {O, 7680, 1920, 0xBFFF, 0, 0, 16383},
        {Q, 7680, 1920, 0, 5759, 1920, 32759},
        // Large levels are shifted into 16 bits, their ratio kept.
        {Q, 400'000, 384'000, 0, 50000, 48000, 682},
        // No target (a format without a rate): no correction.
        {R, 500, 0, 0x2000, 0, 0, 0},
        {Q, 500, 0, 0, 1, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.kind) << " " << c.level << "/" << c.target);
        const testbed::FeedbackOptions o = encodeFeedback(c.kind, c.level, c.target);
        EXPECT_EQ(o.option0, c.o0);
        EXPECT_EQ(o.option1, c.o1);
        EXPECT_EQ(o.option2, c.o2);
        EXPECT_EQ(o.value, c.value);
        QUORVIN::Receive wire;
        const QUORVIN::Send answer(QUORVIN::STREAM_ANS, 0, o.option0, o.option1, o.option2, 0);
        const TIVRA::BufferCS_const bytes = answer;
        wire.assign(bytes.viewData, bytes.viewData + bytes.viewSize);
        EXPECT_EQ(hostValue(wire), c.value);
    }
}

TEST(FeedbackEncoding, TheByteRateFollowsTheFormat)
{
    QUORVIN::FormatConfigure dsd;
    dsd.setFormat(QUORVIN::DSD1_LSB_LITTLE);
    dsd.setChannel(2);
    dsd.setSpeed(2822400);
    QUORVIN::FormatConfigure pcm24;
    pcm24.setFormat(QUORVIN::PCM24);
    pcm24.setChannel(6);
    pcm24.setSpeed(96000);
    EXPECT_EQ(testbed::bytesPerSecond(kFormat), 192000u);
    EXPECT_EQ(testbed::bytesPerSecond(stereo16(44100)), 176400u);
    EXPECT_EQ(testbed::bytesPerSecond(pcm24.value), 96000u * 6 * 3);
    EXPECT_EQ(testbed::bytesPerSecond(dsd.value), 2822400u * 2 / 8);
    EXPECT_EQ(testbed::bytesPerSecond(0), 0u);
}

TEST_F(Stream, FeedbackAnswersTheInfoPacketsFromTheDataSocket)
{
    config.sinks[0].stream.targetLevelUs = 10'000;  // 1920 bytes
    start();
    connect();
    // While it fills up to the target the sink does not play: nothing to correct.
    packet(0, kInfo, std::vector<uint8_t>(kBytesPerMs, 0));
    std::vector<Datagram> filling = answers();
    ASSERT_EQ(filling.size(), 1u);
    EXPECT_EQ(filling[0].bytes.getOption0(), 0x2000);
    EXPECT_EQ(hostValue(filling[0].bytes), 0);
    for (uint16_t c = 1; c < 11; ++c) {  // 11 ms of audio, clock standing: 2112 bytes
        packet(c, kEnd, std::vector<uint8_t>(kBytesPerMs, 0));
    }
    // Empty info packets keep the level where it is; each asks in another kind.
    struct Case {
        StreamBehaviour::Feedback kind;
        uint16_t phase;
        uint16_t o0, o1, o2;
    };
    const Case cases[] = {
        {StreamBehaviour::FEEDBACK_RATE, kPhaseBits, 9011, 0, 0},
        {StreamBehaviour::FEEDBACK_OFFSET, QUORVIN::STATUS_PHASE_VALID, 0x8000 | 1638, 0, 0},
        {StreamBehaviour::FEEDBACK_RATIO, kPhaseBits, 0, 2112, 1920},
        {StreamBehaviour::FEEDBACK_NONE, 0, 0, 0, 0},
    };
    uint16_t counter = 11;
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.kind));
        StreamBehaviour b = emulator.streamBehaviour(0);
        b.feedback = c.kind;
        b.streamPhase = c.phase;  // flipped mid-stream
        emulator.setStreamBehaviour(0, b);
        packet(counter++, kInfo, {});
        const std::vector<Datagram> back = answers();
        ASSERT_EQ(back.size(), 1u);
        EXPECT_EQ(back[0].from, emulator.dataAddress(0));
        EXPECT_EQ(back[0].bytes.getMessage(), QUORVIN::STREAM_ANS);
        EXPECT_EQ(back[0].bytes.getStatus(), QUORVIN::STATUS_OK | c.phase);
        EXPECT_EQ(back[0].bytes.getOption0(), c.o0);
        EXPECT_EQ(back[0].bytes.getOption1(), c.o1);
        EXPECT_EQ(back[0].bytes.getOption2(), c.o2);
    }
    const StreamReport r = report();
    EXPECT_EQ(r.feedbackAnswers, 5u);
    EXPECT_EQ(r.infoRequests, 5u);
    ASSERT_EQ(r.feedback.size(), 5u);
    EXPECT_EQ(r.feedback[0].level, 192);
    EXPECT_EQ(r.feedback[0].error, 0);
    EXPECT_EQ(r.feedback[1].level, 2112);
    EXPECT_EQ(r.feedback[1].error, 1638);
    EXPECT_EQ(r.feedback[3].value, 1638);
    EXPECT_EQ(r.lastFeedback, 0);
    EXPECT_EQ(r.targetBytes, 1920);
    EXPECT_TRUE(r.playing);  // started at the target level

    // Answers from another socket of the target, for the host to ignore.
    StreamBehaviour b = emulator.streamBehaviour(0);
    b.answerFrom = StreamBehaviour::FROM_OTHER_PORT;
    emulator.setStreamBehaviour(0, b);
    packet(counter++, kInfo, {});
    const std::vector<Datagram> other = answers();
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0].from, emulator.otherPortAddress());
}

TEST_F(Stream, ThePlaybackClockDriftsWithItsPpm)
{
    // 1 ms packets at exactly 1 ms on the stream clock, a 20 ms target;
    // playback starts with packet 19, at the target level.
    struct Case {
        int32_t ppm;
        int32_t sign;
    };
    const Case cases[] = {{300, -1}, {-300, +1}, {0, 0}};
    constexpr uint64_t kPackets = 1020;
    constexpr int64_t kTarget = 20 * kBytesPerMs;
    config.sinks[0].stream.targetLevelUs = 20'000;
    config.sinks[0].stream.feedback = StreamBehaviour::FEEDBACK_OFFSET;
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ppm);
        StreamBehaviour b = emulator.streamBehaviour(0);
        b.ppm = c.ppm;
        emulator.setStreamBehaviour(0, b);
        connect();
        // The bytes the sink has played by packet k, and its level after it.
        auto played = [&](uint64_t k) {
            return k < 19 ? 0 : static_cast<int64_t>((k - 19) * kBytesPerMs * (1'000'000 + c.ppm) / 1'000'000);
        };
        auto levelAfter = [&](uint64_t k) { return static_cast<int64_t>((k + 1) * kBytesPerMs) - played(k); };
        for (uint64_t k = 0; k < kPackets; ++k) {
            packet(static_cast<uint16_t>(k), k + 1 == kPackets ? kInfo : kEnd, std::vector<uint8_t>(kBytesPerMs));
            settle();  // the clock moves only after the packet is handled
            advance(Clock::MS);
        }
        const std::vector<Datagram> back = answers();
        ASSERT_EQ(back.size(), 1u);
        const int64_t level = levelAfter(kPackets - 1);
        const int32_t value = static_cast<int32_t>((level - kTarget) * 16384 / kTarget);
        EXPECT_EQ(hostValue(back[0].bytes), value);
        EXPECT_EQ(value > 0 ? 1 : (value < 0 ? -1 : 0), c.sign) << value;

        const StreamReport r = report();
        EXPECT_TRUE(r.playing);
        EXPECT_EQ(r.level, level);
        // The level peaks right after a packet and dips right before one.
        int64_t low = kTarget;
        int64_t high = kTarget;
        for (uint64_t k = 20; k < kPackets; ++k) {
            high = std::max(high, levelAfter(k));
            low = std::min(low, levelAfter(k) - static_cast<int64_t>(kBytesPerMs));
        }
        EXPECT_EQ(r.levelMax, high);
        EXPECT_EQ(r.levelMin, low);
        EXPECT_EQ(r.underruns, 0u);
        EXPECT_EQ(r.overflows, 0u);
    }
}

TEST_F(Stream, ASinkRunsDryOrOverflowsWhenTheHostIsOffRate)
{
    // Playback starts 5 ms after the first packet whatever is buffered.
    config.sinks[0].stream.startLevelUs = 3'600'000'000;
    config.sinks[0].stream.startAfterUs = 5'000;
    config.sinks[0].stream.capacityUs = 8'000;
    start();
    connect();
    // Half the rate: the 5 ms buffered last until packet 10, then the sink
    // finds itself dry at every packet.
    for (uint16_t c = 0; c < 40; ++c) {
        packet(c, kEnd, std::vector<uint8_t>(kBytesPerMs / 2));
        settle();
        advance(Clock::MS);
    }
    StreamReport r = report();
    EXPECT_TRUE(r.playing);
    EXPECT_EQ(r.playbackStart.picoseconds - r.connected.picoseconds, 5 * Clock::MS);
    EXPECT_EQ(r.underruns, 29u);
    EXPECT_EQ(r.levelMin, 0);
    EXPECT_EQ(r.overflows, 0u);
    // Then 20 ms of audio at once, twice, played out in between: above the
    // 8 ms capacity once each time.
    for (int burstNo = 0; burstNo < 2; ++burstNo) {
        packet(static_cast<uint16_t>(40 + burstNo), kEnd, std::vector<uint8_t>(20 * kBytesPerMs));
        settle();
        advance(20 * Clock::MS);
    }
    packet(42, kEnd, std::vector<uint8_t>(kBytesPerMs));
    settle();
    r = report();
    EXPECT_EQ(r.overflows, 2u);
    EXPECT_GE(r.levelMax, static_cast<int64_t>(20 * kBytesPerMs));
}

TEST_F(Stream, BurstsAreTimedByTheirFirstPackets)
{
    start();
    connect();
    // Bursts of 2, 3, 1 and 2 packets at 0, 1, 2 and 4 ms.
    const uint16_t sizes[] = {2, 3, 1, 2};
    const uint64_t gaps[] = {Clock::MS, Clock::MS, 2 * Clock::MS, 0};
    uint16_t counter = 0;
    for (int i = 0; i < 4; ++i) {
        burst(counter, sizes[i]);
        counter = static_cast<uint16_t>(counter + sizes[i]);
        settle();
        advance(gaps[i]);
    }
    const StreamReport r = report();
    EXPECT_EQ(r.bursts, 4u);
    EXPECT_EQ(r.cycleEnds, 4u);
    EXPECT_EQ(r.burstPacketsMin, 1u);
    EXPECT_EQ(r.burstPacketsMax, 3u);
    EXPECT_DOUBLE_EQ(r.burstPacketsMean, 2.0);
    EXPECT_EQ(r.burstInterval.count, 3u);
    EXPECT_EQ(r.burstInterval.mean.picoseconds, 4 * Clock::MS / 3);
    EXPECT_EQ(r.burstInterval.min.picoseconds, Clock::MS);
    EXPECT_EQ(r.burstInterval.max.picoseconds, 2 * Clock::MS);
    EXPECT_EQ(r.burstInterval.p50.picoseconds, Clock::MS);
    EXPECT_EQ(r.burstInterval.p99.picoseconds, 2 * Clock::MS);
    // Each burst's arrival: its first counter, size and start.
    ASSERT_EQ(r.burstLog.size(), 4u);
    const int64_t firsts[] = {0, 2, 5, 6};
    const uint64_t starts[] = {0, Clock::MS, 2 * Clock::MS, 4 * Clock::MS};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(r.burstLog[i].firstCounter, firsts[i]) << i;
        EXPECT_EQ(r.burstLog[i].packets, sizes[i]) << i;
        EXPECT_EQ((r.burstLog[i].start - r.burstLog[0].start).picoseconds, starts[i]) << i;
        EXPECT_FALSE(r.burstLog[i].info) << i;
    }
}

// The first packet's time is what a start's latency is counted to: the
// stream clock at the first arrival, kept while later packets come.
TEST_F(Stream, TheFirstPacketIsTimedOnTheStreamClock)
{
    start();
    connect();
    settle();
    EXPECT_EQ(report().firstPacket.picoseconds, 0u);
    EXPECT_EQ(testbed::describeStream(0, report()).find("first-packet-ns"), std::string::npos);
    advance(3 * Clock::MS);
    const uint64_t first = now.load();
    burst(0, 2);
    settle();
    advance(Clock::MS);
    burst(2, 1);
    settle();
    const StreamReport r = report();
    EXPECT_EQ(r.firstPacket.picoseconds, first);
    const std::string line = testbed::describeStream(0, r);
    const std::string tail = " first-packet-ns " + std::to_string(first / 1000);
    ASSERT_GE(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
}

TEST_F(Stream, DisconnectIsAnsweredFromTheConfiguredAttemptOn)
{
    struct Case {
        uint16_t answerFrom;
        std::vector<bool> answered;  // per attempt
    };
    const Case cases[] = {
        {1, {true, true}},
        {3, {false, false, true, true}},
        {0, {false, false, false, false}},
    };
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answerFrom);
        StreamBehaviour b;
        b.disconnectAnswer = c.answerFrom;
        emulator.setStreamBehaviour(0, b);
        connect();
        burst(0, 3);
        settle();
        std::vector<bool> answered;
        for (size_t attempt = 0; attempt < c.answered.size(); ++attempt) {
            ASSERT_TRUE(host.send(data, QUORVIN::Send(QUORVIN::DSICONNECT_REQ, 0)));
            const std::vector<Datagram> back = answers();
            answered.push_back(!back.empty());
            for (const Datagram& d : back) {
                EXPECT_EQ(d.from, emulator.dataAddress(0));
                EXPECT_EQ(d.bytes.getMessage(), QUORVIN::DSICONNECT_ANS);
                EXPECT_EQ(d.bytes.size(), QUORVIN::HEADER_SIZE);
            }
        }
        EXPECT_EQ(answered, c.answered);
        const StreamReport r = report();
        EXPECT_EQ(r.end, StreamEnd::DISCONNECT_REQ);
        EXPECT_TRUE(r.endedByDisconnect);
        EXPECT_EQ(r.disconnectRequests, c.answered.size());
        EXPECT_EQ(r.packets, 3u);
    }
    // The requests are on record as the data socket's; the stream packets
    // before them started a new run of repeats.
    std::vector<testbed::Request> requests;
    for (const testbed::Request& q : emulator.requests(0)) {
        if (q.channel == testbed::Request::Channel::DATA) {
            requests.push_back(q);
        }
    }
    ASSERT_EQ(requests.size(), 10u);
    EXPECT_EQ(requests.back().message, QUORVIN::DSICONNECT_REQ);
    EXPECT_EQ(requests.back().repeat, 4u);
}

TEST_F(Stream, TheSinkCanEndTheStreamItself)
{
    std::atomic<int> endings{0};
    emulator.onStreamEnd([&](size_t sinkIndex, const StreamReport& r) {
        EXPECT_EQ(sinkIndex, 0u);
        EXPECT_EQ(r.end, StreamEnd::UNASKED);
        EXPECT_TRUE(r.audio.empty());  // the listener's copy leaves it out
        ++endings;
    });
    config.sinks[0].stream.endAfter = 5;
    start();
    connect();
    burst(0, 8);
    settle();
    std::vector<Datagram> back = answers();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].from, emulator.dataAddress(0));
    EXPECT_EQ(back[0].bytes.getMessage(), QUORVIN::DSICONNECT_ANS);
    StreamReport r = report();
    EXPECT_EQ(r.end, StreamEnd::UNASKED);
    EXPECT_FALSE(r.endedByDisconnect);
    EXPECT_EQ(r.packets, 5u);
    EXPECT_EQ(r.afterEnd, 3u);

    // On request of the test, with nothing else configured.
    emulator.setStreamBehaviour(0, StreamBehaviour{});
    connect();
    burst(0, 2);
    settle();
    emulator.endStreamUnasked(0);
    ASSERT_TRUE(emulator.waitForStreamEnd(0, 5000ms));
    ASSERT_TRUE(emulator.waitForActions(5000ms));
    back = answers();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].bytes.getMessage(), QUORVIN::DSICONNECT_ANS);
    EXPECT_EQ(report().end, StreamEnd::UNASKED);
    emulator.onStreamEnd(nullptr);
    EXPECT_EQ(endings.load(), 2);
}

TEST_F(Stream, ASilentSinkAnswersNothingButStillRecords)
{
    config.sinks[0].stream.silentAfter = 3;
    start();
    connect();
    packet(0, kInfo, numbered(0));
    packet(1, kInfo, numbered(1));
    packet(2, kInfo, numbered(2));
    packet(3, kInfo, numbered(3));  // the fourth: silent from here on
    packet(5, kInfo, numbered(5));  // a gap, not asked for
    settle();
    EXPECT_EQ(answers().size(), 3u);
    ASSERT_TRUE(host.send(data, QUORVIN::Send(QUORVIN::DSICONNECT_REQ, 0)));
    EXPECT_TRUE(answers().empty());
    StreamReport r = report();
    EXPECT_TRUE(r.silent);
    EXPECT_EQ(r.packets, 5u);
    EXPECT_EQ(r.gaps, 1u);
    EXPECT_EQ(r.resendRequests, 0u);
    EXPECT_EQ(r.feedbackAnswers, 3u);
    EXPECT_EQ(r.disconnectAnswers, 0u);

    // On request of the test.
    emulator.setStreamBehaviour(0, StreamBehaviour{});
    connect();
    packet(0, kInfo, numbered(0));
    settle();
    EXPECT_EQ(answers().size(), 1u);
    emulator.goSilent(0);
    packet(1, kInfo, numbered(1));
    settle();
    EXPECT_TRUE(answers().empty());
    EXPECT_EQ(report().infoRequests, 2u);
}

TEST_F(Stream, WhatIsNotAStreamPacketIsRecordedAndRefusedSafely)
{
    start();
    // Before any connect the packets belong to no stream.
    data = emulator.dataAddress(0);
    packet(0, kInfo, numbered(0));
    EXPECT_TRUE(answers().empty());
    EXPECT_EQ(emulator.strayPackets(0), 1u);
    EXPECT_EQ(emulator.streamCount(0), 0u);

    connect();
    // A header cut short, a length word claiming more than came, an unknown request.
    const QUORVIN::SendBuffer full = streamPacket(0, kInfo, numbered(0, 40));
    const TIVRA::BufferCS_const wire = full;
    ASSERT_TRUE(host.sendBytes(data, TIVRA::Buffer(wire.viewData, wire.viewData + 15)));
    ASSERT_TRUE(host.sendBytes(data, TIVRA::Buffer(wire.viewData, wire.viewData + 40)));
    ASSERT_TRUE(host.send(data, QUORVIN::Send(QUORVIN::SUPPORT_REQ, 0)));
    // A counter far behind the first one.
    packet(0xC000, kEnd, numbered(0));
    settle();
    EXPECT_TRUE(answers().empty());
    const StreamReport r = report();
    EXPECT_EQ(r.arrived, 1u);
    EXPECT_EQ(r.outside, 1u);
    EXPECT_EQ(r.packets, 0u);
    std::vector<testbed::Request> onRecord;
    for (const testbed::Request& q : emulator.requests(0)) {
        if (q.channel == testbed::Request::Channel::DATA) {
            onRecord.push_back(q);
        }
    }
    ASSERT_EQ(onRecord.size(), 3u);
    EXPECT_FALSE(onRecord[0].valid);
    EXPECT_FALSE(onRecord[1].valid);
    EXPECT_TRUE(onRecord[2].valid);
    EXPECT_EQ(onRecord[2].message, QUORVIN::SUPPORT_REQ);
}

TEST_F(Stream, StopEndsTheRunningStream)
{
    start();
    connect();
    burst(0, 2);
    settle();
    emulator.stop();
    const StreamReport r = report();
    EXPECT_EQ(r.end, StreamEnd::STOPPED);
    EXPECT_EQ(r.packets, 2u);
}

class LogRelay : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok());
        config = TargetConfig::withSinks(1);
        config.logPort = 0;  // ephemeral: tests run side by side
        config.logLines = {"first line", "", "third line"};
    }

    void start()
    {
        ASSERT_TRUE(emulator.start(config));
        ASSERT_TRUE(emulator.logAddress());
        relay = *emulator.logAddress();
    }

    // DEBUG_ANS option0 and text of everything that came back.
    std::vector<std::pair<uint16_t, std::string>> lines()
    {
        std::vector<std::pair<uint16_t, std::string>> out;
        for (const Datagram& d : host.untilFence(emulator.sinkAddress(0))) {
            EXPECT_EQ(d.from, relay);
            EXPECT_EQ(d.bytes.getMessage(), QUORVIN::DEBUG_ANS);
            std::string text;
            d.bytes.get_str(text);
            out.emplace_back(d.bytes.getOption0(), text);
        }
        return out;
    }

    HostSocket host;
    TargetConfig config;
    TargetEmulator emulator;
    TIVRA::IPAddress relay;
};

TEST_F(LogRelay, AnswersADebugRequestWithItsLines)
{
    using Lines = std::vector<std::pair<uint16_t, std::string>>;
    config.logDropLine = "not for the log";
    start();
    EXPECT_EQ(0, std::memcmp(relay.addr, emulator.sinkAddress(0).addr, 16));
    EXPECT_NE(relay.getPort(), 0);
    ASSERT_TRUE(host.send(relay, QUORVIN::Send(QUORVIN::DEBUG_REQ, 0, 1, 0, 0, 0)));
    EXPECT_EQ(lines(), (Lines{{0, ""}, {1, "not for the log"}, {2, "first line"}, {2, ""}, {2, "third line"}}));
    const std::vector<testbed::Request> asked = emulator.logRequests();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].channel, testbed::Request::Channel::LOG);
    EXPECT_EQ(asked[0].message, QUORVIN::DEBUG_REQ);
    EXPECT_EQ(asked[0].option0, 1);
    EXPECT_EQ(asked[0].source, host.local());

    // Unasked lines go to whoever asked last; option0 = 1 too.
    ASSERT_TRUE(emulator.sendDebugLine("later"));
    ASSERT_TRUE(emulator.sendDebugLine("dropped", 1));
    ASSERT_TRUE(emulator.waitForActions(5000ms));
    EXPECT_EQ(lines(), (Lines{{2, "later"}, {1, "dropped"}}));

    // Without the acknowledgement, only the lines; other datagrams are recorded, not answered.
    emulator.stop();
    config.logAck = false;
    config.logDropLine.clear();
    start();
    emulator.setLogLines({"only"});
    ASSERT_TRUE(host.send(relay, QUORVIN::Send(QUORVIN::DEBUG_REQ, 0, 0, 0, 0, 0)));
    ASSERT_TRUE(host.send(relay, QUORVIN::Send(QUORVIN::FIND_REQ, 0)));
    ASSERT_TRUE(host.sendBytes(relay, TIVRA::Buffer(9, 0x64)));
    EXPECT_EQ(lines(), (Lines{{2, "only"}}));
    ASSERT_TRUE(emulator.waitForLogRequests(3, 5000ms));
    EXPECT_EQ(emulator.logRequests()[0].option0, 0);
    EXPECT_FALSE(emulator.logRequests()[2].valid);
}

TEST_F(LogRelay, IsOffUnlessConfigured)
{
    config.logPort.reset();
    ASSERT_TRUE(emulator.start(config));
    EXPECT_FALSE(emulator.logAddress());
    EXPECT_FALSE(emulator.sendDebugLine("nowhere", 2, host.local()));
    config.logPort = 0;
    emulator.stop();
    ASSERT_TRUE(emulator.start(config));
    // On, but nobody asked yet: no destination for an unasked line.
    EXPECT_FALSE(emulator.sendDebugLine("nobody"));
    EXPECT_TRUE(emulator.sendDebugLine("somebody", 2, host.local()));
    ASSERT_TRUE(emulator.waitForActions(5000ms));
    relay = *emulator.logAddress();
    EXPECT_EQ(lines().size(), 1u);
}

// The real stream object against the emulator: one second of mute audio
// in 1 ms cycles, then the orderly end.
TEST(StreamSmoke, ASyncStreamsMuteAudioAndEndsWithTheHandshake)
{
    TargetConfig config = TargetConfig::withSinks(1);
    TargetEmulator emulator;
    ASSERT_TRUE(emulator.start(config));

    // The negotiation waits 10 ms for each answer: on a loaded machine an
    // answer that comes late is taken for the next request's. A fresh stream
    // object (fresh sockets) tries again.
    const QUORVIN::FormatConfigure format(stereo16(44100));
    std::unique_ptr<QUORVIN::Sync> sync;
    for (int attempt = 0; attempt < 3; ++attempt) {
        sync = std::make_unique<QUORVIN::Sync>();
        ASSERT_TRUE(sync->open(0, Clock(10 * Clock::MS), 0, "smoke host", 7, -1, 0, 0));
        if (sync->setSink(emulator.sinkAddress(0), Clock(0), false) && sync->setSinkConfigure(format)) {
            break;
        }
    }
    ASSERT_TRUE(sync->setSinkConfigure(format));
    ASSERT_TRUE(sync->configTransferFix(Clock(Clock::MS), 0));
    ASSERT_TRUE(sync->connect(-1));
    ASSERT_TRUE(sync->connectWait());
    ASSERT_EQ(sync->getState(), QUORVIN::SYNC_CONNECTED);
    std::this_thread::sleep_for(1s);
    sync->disconnect();
    EXPECT_EQ(sync->getState(), QUORVIN::SYNC_IDLE);
    ASSERT_TRUE(emulator.waitForStreamEnd(0, 5000ms));
    sync->close();

    const StreamReport r = *emulator.streamReport(0);
    EXPECT_EQ(r.format, format.value);
    EXPECT_EQ(r.end, StreamEnd::DISCONNECT_REQ);
    // A feedback answer still queued when the handshake starts costs the host
    // an attempt, so a slow machine may see a second request; each is answered.
    EXPECT_GE(r.disconnectRequests, 1u);
    EXPECT_EQ(r.disconnectAnswers, r.disconnectRequests);
    EXPECT_GT(r.packets, 100u);
    EXPECT_EQ(r.highest + 1, static_cast<int64_t>(r.packets));
    EXPECT_EQ(r.missing, 0u);
    EXPECT_EQ(r.duplicates, 0u);
    EXPECT_EQ(r.resendRequests, 0u);
    EXPECT_GT(r.feedbackAnswers, 10u);
    EXPECT_EQ(r.bytes % 4, 0u);  // whole stereo frames
    ASSERT_EQ(r.audio.size(), r.bytes);
    EXPECT_EQ(std::count(r.audio.begin(), r.audio.end(), 0), static_cast<std::ptrdiff_t>(r.audio.size()));
}

}  // namespace
