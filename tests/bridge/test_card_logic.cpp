// The card logic: the pure parts by table, and a node on a card in ordinary
// memory (this test playing the driver's part in the header) against the
// target emulator over ::1.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "MemoryCard.h"
#include "WaitFor.h"
#include "bridge/SyncMem.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace QUORVIN;
using TIVRA::Clock;
using testwait::waitFor;
using namespace memorycard;

namespace {

// ---- pure parts

TEST(CardOffer, MasksFromTheSinksCapabilities)
{
    struct Case {
        const char* name;
        uint64_t pcm;
        uint64_t dsd;
        uint64_t formats;
        uint64_t rates;
        uint64_t channels;
    };
    // PCM16/24/32 at 44.1 and 48 kHz x1, x2, x4, two channels.
    const uint64_t pcm = 0x3800000000ULL | 0x600000000ULL | 0x800 | 0x400 | 0x200 | 0x02;
    const uint64_t dsd64 = 0x2000000ULL | (1ULL << 33) | (1ULL << (35 + 6)) | 0x02;
    const Case cases[] = {
        {"pcm", pcm, 0, 0x8A, 0x7E, 0x2},
        {"pcm and dsd64", pcm, dsd64, 0x8A | 0xF000000, 0x7E | 0x8, 0x2},
        {"dsd without 32-bit words", 0, dsd64 & ~0x2000000ULL, 0, 0x8, 0x2},
        {"8 kHz needs x1", (1ULL << 32) | (1ULL << 36) | 0x200 | 0x01, 0, 0x2, 0, 0x1},
        {"8 kHz", (1ULL << 32) | (1ULL << 35) | 0x100 | 0x01, 0, 0x1, 0x1, 0x1},
        {"every channel code", 0x3F | 0x200 | (1ULL << 34) | (1ULL << 35), 0, 0x2, 0x4, 0x80AB},
        {"dsd below x64 not offered", 0, 0x2000000ULL | (1ULL << 34) | (1ULL << (35 + 5)), 0xF000000, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cardFormatMask(c.pcm, c.dsd, 0), c.formats) << c.name;
        EXPECT_EQ(cardFormatMask(c.pcm, 0, c.dsd), c.formats) << c.name;
        EXPECT_EQ(cardRateMask(c.pcm, c.dsd, 0), c.rates) << c.name;
        EXPECT_EQ(cardChannelMask(c.pcm, 0, c.dsd), c.channels) << c.name;
    }
}

TEST(CardOffer, ChosenFormatDecodes)
{
    struct Case {
        uint64_t format;
        uint64_t rate;
        uint64_t channels;
        bool valid;
        unsigned long hz;
        unsigned channelCount;
    };
    const Case cases[] = {
        {QUORVIN_BR_FORMAT_PCM16, 0x10, 0x2, true, 96000, 2},
        {QUORVIN_BR_FORMAT_PCM16, 0x1, 0x2, true, 0, 2},  // 8000 Hz reads back as speed 0
        {QUORVIN_BR_FORMAT_PCM24, 0x3, 0x2, true, 44100, 2},
        {QUORVIN_BR_FORMAT_PCM32, 0x6, 0x1, true, 48000, 1},
        {QUORVIN_BR_FORMAT_PCM16, 0x2, 0x4, false, 44100, 0},   // 3 channels
        {QUORVIN_BR_FORMAT_PCM16 | QUORVIN_BR_FORMAT_PCM24, 0x2, 0x2, false, 44100, 2},  // two codes
        {0x4, 0x2, 0x2, false, 44100, 2},                      // no such code
        // A rate no stream can have is no format, not one without a speed.
        {QUORVIN_BR_FORMAT_PCM16, 0x1000000000ULL, 0x2, false, 0, 0},
        {QUORVIN_BR_FORMAT_PCM16, 0x8000000, 0x2, false, 0, 0},  // 44100 x 2^13, past the offer
        {QUORVIN_BR_FORMAT_PCM16, 0, 0x2, false, 0, 0},
        {QUORVIN_BR_FORMAT_PCM16, 0x6000000, 0x2, true, 48000UL << 12, 2},  // the top of the offer
        // DSD at the bit of 88200 Hz: 2.8224 MHz, the bit rate it was offered for.
        {QUORVIN_BR_FORMAT_DSD1_MSB_BIG, 0x8, 0x2, true, 2822400, 2},
        {QUORVIN_BR_FORMAT_DSD1_LSB_LITTLE, 0x10, 0x2, true, 3072000, 2},
    };
    EXPECT_EQ(decodeCardFormat(QUORVIN_BR_FORMAT_PCM16, 0x1, 0x2).getSpeedBase(), 8000U);
    for (const Case& c : cases) {
        const FormatConfigure f = decodeCardFormat(c.format, c.rate, c.channels);
        EXPECT_EQ(f.isValid(), c.valid) << std::hex << c.format << " " << c.rate << " " << c.channels;
        EXPECT_EQ(f.getSpeed(), c.hz) << std::hex << c.rate;
        if (c.channelCount != 0) {
            EXPECT_EQ(f.getChannel(), c.channelCount);
        }
    }
}

TEST(CardOffer, VolumeScales)
{
    struct Case {
        int32_t card;
        int16_t sink;
        int32_t back;
    };
    const Case cases[] = {{1, -6000, 1}, {5001, -3000, 5001}, {10001, 0, 10001}, {2, -5999, 2},
                          {10000, 0, 10001}, {0, -6000, 1}, {-5, -6000, 1}, {20000, 0, 10001}};
    for (const Case& c : cases) {
        EXPECT_EQ(cardToSinkVolume(c.card), c.sink) << c.card;
        EXPECT_EQ(sinkToCardVolume(cardToSinkVolume(c.card)), c.back) << c.card;
    }
    EXPECT_EQ(sinkToCardVolume(-7000), 1);
    EXPECT_EQ(sinkToCardVolume(100), 10001);
}

// The driver's ring pair, refused unless it makes whole periods within the
// limits the card was given (here the defaults: 4..32 periods of 6..38400 bytes).
TEST(CardOffer, RingPairIsChecked)
{
    struct Case {
        const char* name;
        uint32_t ringBytes;
        uint32_t periodCount;
        unsigned frameBytes;
        bool ok;
    };
    const Case cases[] = {
        {"eight periods", 49152, 8, 4, true},
        {"the whole card", 32 * 38400, 32, 4, true},
        {"no periods", 49152, 0, 4, false},
        {"more periods than the card has", 33 * 4, 33, 4, false},
        {"above the card", 32 * 38400 + 4, 1, 4, false},
        {"not divisible", 49152 + 4, 8, 4, false},
        {"a period of part frames", 8 * 6, 8, 4, false},  // 6 bytes, frames of 4
        {"fewer bytes than periods", 4, 8, 4, false},
        // One period of the whole ring would queue 8 x 6.4 s of silence.
        {"one period of the whole card", 32 * 38400, 1, 4, false},
        {"fewer periods than the least", 3 * 4096, 3, 4, false},
        {"the least periods", 4 * 4096, 4, 4, true},
        {"a period above the largest", 8 * 38404, 8, 4, false},
        {"the largest period", 8 * 38400, 8, 4, true},
        {"a period below the smallest", 8 * 4, 8, 4, false},
        {"the smallest period", 8 * 6, 8, 2, true},
    };
    const CardLimits limits{32, 4, 38400, 6};
    for (const Case& c : cases) {
        CardRing ring;
        EXPECT_EQ(checkCardRing(c.ringBytes, c.periodCount, limits, c.frameBytes, ring), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(ring.periodBytes * ring.periodCount, c.ringBytes) << c.name;
        }
    }
}

TEST(CardOffer, StartLine)
{
    const CardRing ring{49152, 8, 6144};
    EXPECT_EQ(cardStartLine(Clock(1000 * Clock::US), 384, Clock(0), TransferFix, ring, 4),
              "start cycle=1000usec 1000.000000Hz size=384 cycleMin=0usec 1000.0000005Buffer count=8 size=49152 "
              "frameSize=4");
    EXPECT_EQ(cardStartLine(Clock(3000 * Clock::US), 384, Clock(0), TransferSinkCycle, ring, 4),
              "start cycle=3000usec 333.333333Hz size=384 cycleMin=0usec 333.0000005Buffer count=8 size=49152 "
              "frameSize=4");
    // A cycle below a microsecond: no division by zero.
    EXPECT_EQ(cardStartLine(Clock(10), 0, Clock(0), TransferSinkCycle, ring, 4).rfind("start cycle=0usec 0.000000Hz", 0),
              0U);
}

// ---- a node on a card in ordinary memory

class CardLogic : public MemoryCardTest {
protected:
    void SetUp() override { testlog::start(5); }
};

TEST_F(CardLogic, OpenOffersTheSinksFormatsAndPublishesOpen)
{
    ASSERT_NO_FATAL_FAILURE(open());
    EXPECT_EQ(loadField(card().formatMask), 0x8AU);
    EXPECT_EQ(loadField(card().rateMask), 0x7EU);
    EXPECT_EQ(loadField(card().channelMask), 0x2U);
    EXPECT_EQ(std::string(card().name1), std::string(63, 'T'));
    EXPECT_EQ(std::string(card().name2), "Out 1");
    EXPECT_EQ(loadField(card().periodMax), 32U);
    EXPECT_EQ(loadField(card().periodSizeMax), 38400U);
    EXPECT_EQ(loadField(card().volume), 0);  // no control channel
    EXPECT_EQ(status(), QUORVIN_BR_STATUS_OPEN);
    EXPECT_EQ(node->wakeups(), std::vector<uint32_t>{QUORVIN_BR_STATUS_OPEN});
    // Idle turns without a request change nothing.
    EXPECT_TRUE(node->work());
    EXPECT_EQ(node->wakeups().size(), 1U);
}

TEST_F(CardLogic, StreamPlaysStopsAndDisconnects)
{
    ASSERT_NO_FATAL_FAILURE(open());
    request(QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 49152, 8, QUORVIN_BR_REQUEST_INUSE | QUORVIN_BR_REQUEST_STREAM);
    ASSERT_TRUE(node->work());
    EXPECT_EQ(status(), QUORVIN_BR_STATUS_OPEN | QUORVIN_BR_STATUS_CONNECTED);
    EXPECT_EQ(testlog::startingWith("start cycle=").size(), 1U);
    // Run: the card's periods go to the sink one by one, round the ring.
    storeField(card().driverRequest,
               uint32_t{QUORVIN_BR_REQUEST_INUSE | QUORVIN_BR_REQUEST_STREAM | QUORVIN_BR_REQUEST_RUN});
    ASSERT_TRUE(node->work());
    EXPECT_EQ(status(), 0xFU);
    ASSERT_TRUE(waitFor([&] { return node->notifies().size() >= 12; }));
    const auto positions = node->notifies();
    // The first notify is the reset before the connect.
    ASSERT_EQ(positions[0], 0U);
    for (size_t i = 1; i < 12; ++i) {
        EXPECT_EQ(positions[i], (i * 6144) % 49152) << i;
    }
    storeField(card().driverRequest, uint32_t{QUORVIN_BR_REQUEST_INUSE | QUORVIN_BR_REQUEST_STREAM});
    ASSERT_TRUE(node->work());
    EXPECT_EQ(status(), QUORVIN_BR_STATUS_OPEN | QUORVIN_BR_STATUS_CONNECTED);
    storeField(card().driverRequest, uint32_t{QUORVIN_BR_REQUEST_INUSE});
    ASSERT_TRUE(node->work());
    EXPECT_EQ(status(), QUORVIN_BR_STATUS_OPEN);
    ASSERT_TRUE(emulator.waitForStreamEnd(0, std::chrono::seconds(5)));
}

// DSD is offered at a rate bit of its bit rate / 32 and comes back as its bit rate.
TEST_F(CardLogic, DsdStreamConnectsAtTheRateItWasOfferedFor)
{
    config.sinks[0].supportDSDlsb = 0x2000000ULL | 0x400000ULL | 0x2510000ULL | 0x02 | (1ULL << 33) | (1ULL << (35 + 6));
    ASSERT_NO_FATAL_FAILURE(open());
    EXPECT_EQ(loadField(card().formatMask) & 0xF000000U, 0xF000000U);
    EXPECT_EQ(loadField(card().rateMask) & 0x8U, 0x8U);
    request(QUORVIN_BR_FORMAT_DSD1_LSB_LITTLE, 0x8, 0x2, 8 * 4096, 8,
            QUORVIN_BR_REQUEST_INUSE | QUORVIN_BR_REQUEST_STREAM);
    ASSERT_TRUE(node->work());
    EXPECT_EQ(status(), QUORVIN_BR_STATUS_OPEN | QUORVIN_BR_STATUS_CONNECTED);
    ASSERT_TRUE(emulator.waitForStreamPackets(0, 1, std::chrono::seconds(5)));
    const auto report = emulator.streamReport(0);
    ASSERT_TRUE(report);
    EXPECT_EQ(FormatConfigure(report->format).getSpeed(), 2822400UL);
    // DSD silence fills the ring.
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(memory.data())[0], 0x69);
}

// Whatever the driver writes, a bad request shows the error status and the
// node stays: the next idle turn shows open again and tries anew.
TEST_F(CardLogic, BadRequestsShowTheErrorAndAreTriedAgain)
{
    ASSERT_NO_FATAL_FAILURE(open());
    struct Case {
        const char* name;
        uint64_t format;
        uint64_t rate;
        uint64_t channels;
        uint32_t ringBytes;
        uint32_t periods;
    };
    const Case cases[] = {
        {"three channels", QUORVIN_BR_FORMAT_PCM16, 0x6, 0x4, 49152, 8},
        {"unknown format", 0x4, 0x6, 0x2, 49152, 8},
        {"no rate", QUORVIN_BR_FORMAT_PCM16, 0, 0x2, 49152, 8},
        {"a rate past every offer", QUORVIN_BR_FORMAT_PCM16, 0x8000000, 0x2, 49152, 8},
        {"no periods", QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 49152, 0},
        {"ring above the card", QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 32 * 38400 + 8, 8},
        {"ring not divisible", QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 49152 + 4, 8},
        {"periods of part frames", QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 8 * 6, 8},
        {"more periods than the card", QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 40 * 4 * 8, 40},
        {"one period of the whole card", QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 32 * 38400, 1},
        {"fewer periods than the card's least", QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 3 * 6144, 3},
        {"a period above the card's largest", QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 8 * 38404, 8},
        {"a period below the card's smallest", QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 8 * 4, 8},
    };
    for (const Case& c : cases) {
        request(c.format, c.rate, c.channels, c.ringBytes, c.periods,
                QUORVIN_BR_REQUEST_INUSE | QUORVIN_BR_REQUEST_STREAM);
        EXPECT_TRUE(node->work()) << c.name;
        EXPECT_EQ(status(), 0x80000007U) << c.name;
        EXPECT_EQ(node->syncState.load(), SYNC_IDLE) << c.name;
        storeField(card().driverRequest, uint32_t{QUORVIN_BR_REQUEST_INUSE});
        EXPECT_TRUE(node->work()) << c.name;
        EXPECT_EQ(status(), QUORVIN_BR_STATUS_OPEN) << c.name;
    }
    EXPECT_EQ(emulator.streamCount(0), 0U);
}

TEST_F(CardLogic, VolumeGoesToTheSinkAndTheSinksAnswerComesBack)
{
    config.sinks[0].controls[1].value = static_cast<uint16_t>(-3000);
    config.sinks[0].controls[1].clamp = true;
    config.sinks[0].controls[1].maximum = -1000;
    ASSERT_NO_FATAL_FAILURE(open(true));
    EXPECT_EQ(loadField(card().volume), 5001);  // -30 dB from the sink at open
    EXPECT_EQ(testlog::count("Volume Add : -3000 5001"), 0U);  // info, below the threshold here

    auto sinkVolume = [&] { return static_cast<int16_t>(emulator.state(0).controls[1].value); };
    storeField(card().volume, int32_t{2});
    ASSERT_TRUE(node->work());
    EXPECT_EQ(sinkVolume(), -5999);
    EXPECT_EQ(loadField(card().volume), 2);
    // The sink holds the volume at -10 dB: the card shows what the sink took.
    storeField(card().volume, int32_t{10001});
    ASSERT_TRUE(node->work());
    EXPECT_EQ(sinkVolume(), -1000);
    EXPECT_EQ(loadField(card().volume), sinkToCardVolume(-1000));
    // 0 is "no volume": nothing is sent, -60 dB least of all.
    const size_t writes = emulator.requests(0).size();
    storeField(card().volume, int32_t{0});
    ASSERT_TRUE(node->work());
    EXPECT_EQ(sinkVolume(), -1000);
    EXPECT_EQ(emulator.requests(0).size(), writes);
    EXPECT_EQ(loadField(card().volume), 0);
}

// The application changes the volume while the step is on its way to the
// sink: its change is kept and goes to the sink on the next turn.
TEST_F(CardLogic, VolumeChangedDuringTheStepIsKeptAndSentNext)
{
    ASSERT_NO_FATAL_FAILURE(open(true));
    // The sink answers a write only on its third send: time for the change.
    testbed::Behaviour third;
    third.onRepeat = 3;
    emulator.setBehaviour(0, CONTROLVALUE_REQ, third);
    emulator.clearRequests(0);
    std::thread application([&] {
        if (emulator.waitForRequests(0, CONTROLVALUE_REQ, 1, std::chrono::seconds(5))) {
            storeField(card().volume, int32_t{7000});
        }
    });
    storeField(card().volume, int32_t{5001});
    ASSERT_TRUE(node->work());
    application.join();
    EXPECT_EQ(static_cast<int16_t>(emulator.state(0).controls[1].value), -3000);
    EXPECT_EQ(loadField(card().volume), 7000);
    emulator.setBehaviour(0, CONTROLVALUE_REQ, testbed::Behaviour{});
    ASSERT_TRUE(node->work());
    EXPECT_EQ(static_cast<int16_t>(emulator.state(0).controls[1].value), cardToSinkVolume(7000));
}

// A stream the target ends by itself: the next turn is idle, shows open and,
// while the stream is still asked for, connects again.
TEST_F(CardLogic, StreamEndedByTheTargetIsConnectedAgain)
{
    ASSERT_NO_FATAL_FAILURE(open());
    request(QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 49152, 8, QUORVIN_BR_REQUEST_INUSE | QUORVIN_BR_REQUEST_STREAM);
    ASSERT_TRUE(node->work());
    ASSERT_EQ(status(), QUORVIN_BR_STATUS_OPEN | QUORVIN_BR_STATUS_CONNECTED);
    emulator.endStreamUnasked(0);
    ASSERT_TRUE(waitFor([&] { return node->syncState.load() == SYNC_IDLE; }));
    ASSERT_TRUE(node->work());
    EXPECT_EQ(status(), QUORVIN_BR_STATUS_OPEN | QUORVIN_BR_STATUS_CONNECTED);
    EXPECT_EQ(emulator.streamCount(0), 2U);
    const auto w = node->wakeups();
    ASSERT_GE(w.size(), 2U);
    EXPECT_EQ(w[w.size() - 2], QUORVIN_BR_STATUS_OPEN);  // shown between the two streams
}

// A profile the stream cannot take fails the turn without the error status.
TEST_F(CardLogic, RefusedProfileFailsTheTurn)
{
    struct Case {
        const char* name;
        bool var;
        bool random;
        const char* line;
    };
    // (A fixed cycle of 0 is taken: the stream makes the shortest it can.)
    for (const Case& c : {Case{"var", true, false, "error configTransfer Var"},
                          Case{"random", false, true, "error configTransfer Random"}}) {
        testlog::start(3);
        node.reset();
        emulator.stop();
        ASSERT_NO_FATAL_FAILURE(open());
        node->alsaProfile.InfCycleTime = Clock(0);
        node->alsaProfile.InfFlexVar = c.var;
        node->alsaProfile.InfFlexRandom = c.random;
        request(QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 49152, 8, QUORVIN_BR_REQUEST_INUSE | QUORVIN_BR_REQUEST_STREAM);
        const bool worked = node->work();
        EXPECT_FALSE(worked) << c.name;
        EXPECT_EQ(testlog::count(c.line), 1U) << c.name;
        EXPECT_EQ(status(), QUORVIN_BR_STATUS_OPEN) << c.name;
    }
}

TEST_F(CardLogic, CloseShowsClosedAndGivesTheCpuBack)
{
    OccupiedCPU cpus;
    cpus.InfCpuSend = 2;
    cpus.InfRengSend = 4;
    cpus.resetUserCpu();
    ASSERT_NO_FATAL_FAILURE(open());
    node->occupiedCpu = &cpus;
    request(QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 49152, 8, QUORVIN_BR_REQUEST_INUSE | QUORVIN_BR_REQUEST_STREAM);
    ASSERT_TRUE(node->work());
    EXPECT_EQ(node->getCpuSend(), 2);
    EXPECT_EQ(cpus.commitCpuSend(), 4);  // 2 is taken
    node->close();
    EXPECT_EQ(status(), QUORVIN_BR_STATUS_CLOSED);
    EXPECT_EQ(node->getCpuSend(), -1);
    EXPECT_EQ(node->wakeups().back(), QUORVIN_BR_STATUS_CLOSED);
    EXPECT_EQ(cpus.commitCpuSend(), 2);  // given back
}

}  // namespace
