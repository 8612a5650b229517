// The stream worker's timing rules: the decisions on their own (how a pass
// waits, the deadline and burst of a cycle, random cycles, the start mode and
// line), then in a running worker against the emulator over ::1, read from
// the bursts as they arrived and from the log: the prefill and the first two
// bursts, a late cycle and its catch-up, the fall-back profile and back, and
// answers from the wrong port.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "StreamDiagnostics.h"
#include "WaitFor.h"
#include "stream/Sync.h"
#include "stream/WorkerControl.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace std::chrono_literals;
using QUORVIN::BurstPlan;
using QUORVIN::LateCycleScore;
using QUORVIN::Profile;
using QUORVIN::Sync;
using QUORVIN::WaitStep;
using testbed::StreamBehaviour;
using testbed::StreamReport;
using TIVRA::Clock;

namespace {

constexpr uint64_t US = Clock::US;
constexpr uint64_t MS = Clock::MS;

Profile fixProfile(uint64_t cycleUs, uint16_t packets, uint32_t frames)
{
    Profile p;
    p.cycleTime = Clock(cycleUs * US);
    p.minCycleTime = p.cycleTime;
    p.packetCount = packets;
    p.framesPerPacketQ14 = frames << 14;
    p.packetBytesMax = frames * 4;
    p.mode = QUORVIN::TransferFix;
    return p;
}

}  // namespace

// ---- the decisions

TEST(WorkerTiming, HowAPassWaitsForItsDeadline)
{
    const Clock deadline(50 * MS);
    struct Case {
        const char* name;
        uint32_t mode;
        uint64_t remainingUs;  // 0: the deadline has come
        bool idled;
        WaitStep::Action action;
        bool yield;
        uint64_t sleepUs;
    };
    const Case cases[] = {
        {"come", 0, 0, false, WaitStep::SEND, false, 0},
        {"come, yielding modes", Sync::IDLEALWAYS | Sync::IDLEONCE, 0, false, WaitStep::SEND, false, 0},
        {"plain: the whole rest", 0, 500, false, WaitStep::SLEEP, false, 500},
        {"critical alone changes nothing", Sync::CRITICAL, 500, false, WaitStep::SLEEP, false, 500},
        {"short sleep: up to 100 us before", Sync::NOSHORTSLEEP, 500, false, WaitStep::SLEEP, false, 400},
        {"short sleep: 101 us left", Sync::NOSHORTSLEEP, 101, false, WaitStep::SLEEP, false, 1},
        {"short sleep: spins the last 100 us", Sync::NOSHORTSLEEP, 100, false, WaitStep::SPIN, false, 0},
        {"no sleep for 4 cores", Sync::NOSLEEP4CORE, 900, false, WaitStep::SPIN, false, 0},
        {"no sleep forced", Sync::NOSLEEPFORCE, 900, false, WaitStep::SPIN, false, 0},
        {"idle once: first pass", Sync::IDLEONCE, 500, false, WaitStep::SLEEP, true, 500},
        {"idle once: later passes", Sync::IDLEONCE, 500, true, WaitStep::SLEEP, false, 500},
        {"idle always", Sync::IDLEALWAYS, 500, true, WaitStep::SLEEP, true, 500},
        {"idle once while spinning", Sync::IDLEONCE | Sync::NOSLEEP4CORE, 500, false, WaitStep::SPIN, true, 0},
        {"idle always while spinning", Sync::IDLEALWAYS | Sync::NOSHORTSLEEP, 50, true, WaitStep::SPIN, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const WaitStep s = QUORVIN::waitStep(c.mode, deadline - Clock(c.remainingUs * US), deadline, c.idled);
        EXPECT_EQ(s.action, c.action);
        EXPECT_EQ(s.yield, c.yield);
        if (c.action == WaitStep::SLEEP) {
            EXPECT_EQ(s.sleep.picoseconds, c.sleepUs * US);
        }
    }
    // Past the deadline, also across a wrap of the clock.
    EXPECT_EQ(QUORVIN::waitStep(0, deadline + Clock(1), deadline, false).action, WaitStep::SEND);
    EXPECT_EQ(QUORVIN::waitStep(0, Clock(5), Clock(~uint64_t{0} - 5), false).action, WaitStep::SEND);
}

TEST(WorkerTiming, DeadlineLateCycleAndCatchUp)
{
    const Profile p = fixProfile(1000, 3, 48);
    const Clock cycle = p.cycleTime;
    const Clock d(100 * MS);  // the deadline that has come
    struct Case {
        const char* name;
        uint32_t mode;
        uint64_t nowAfterUs;  // now - d
        int32_t score;
        bool late;
        int packets;
        uint64_t nextUs;  // next deadline - d
        int32_t scoreAfter;
    };
    const Case cases[] = {
        {"on time", 0, 0, 5, false, 3, 1000, 4},
        {"on time, score stays at 0", 0, 999, 0, false, 3, 1000, 0},
        {"exactly one cycle late", 0, 1000, 0, true, 6, 2000, 10},
        {"late: doubled, one deadline skipped", 0, 1500, 40, true, 6, 2000, 50},
        {"late without catch-up", Sync::NOFASTFEEDBACK, 1500, 40, true, 3, 1000, 50},
        {"score below 1000 still grows", 0, 5000, 999, true, 6, 2000, 1009},
        {"score held at 1000", 0, 5000, 1000, true, 6, 2000, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::mt19937 random;
        LateCycleScore score;
        score.overTimeCount = c.score;
        const BurstPlan plan = QUORVIN::planBurst(p, cycle, d, d + Clock(c.nowAfterUs * US), c.mode, random, score);
        EXPECT_EQ(plan.late, c.late);
        EXPECT_EQ(plan.packets, c.packets);
        EXPECT_EQ((plan.deadline - d).picoseconds, c.nextUs * US);
        EXPECT_EQ(plan.scoreBefore, c.score);
        EXPECT_EQ(score.overTimeCount, c.scoreAfter);
        EXPECT_EQ(plan.scale, 1.0f);
        if (c.late) {
            EXPECT_EQ(plan.lateBy.picoseconds, (c.nowAfterUs - 1000) * US);  // against the deadline advanced once
        }
    }
    // The corrected cycle is the one that counts, not the profile's.
    std::mt19937 random;
    LateCycleScore score;
    EXPECT_EQ((QUORVIN::planBurst(p, Clock(1010 * US), d, d, 0, random, score).deadline - d).picoseconds, 1010 * US);
}

TEST(WorkerTiming, FirstDeadlineStartsAtOnceThenHalfACycle)
{
    const Clock now(7 * Clock::SEC);
    const Profile p = fixProfile(10'000, 2, 480);
    const Clock first = QUORVIN::firstDeadline(now, p.cycleTime);
    EXPECT_EQ(QUORVIN::waitStep(0, now, first, false).action, WaitStep::SEND);
    std::mt19937 random;
    LateCycleScore score;
    const BurstPlan plan = QUORVIN::planBurst(p, p.cycleTime, first, now, 0, random, score);
    EXPECT_FALSE(plan.late);
    EXPECT_EQ((plan.deadline - now).picoseconds, 5 * MS);
}

TEST(WorkerTiming, RandomCyclesWithASeededGenerator)
{
    Profile p = fixProfile(10'000, 2, 480);
    p.mode = QUORVIN::TransferRandom;
    p.minCycleTime = Clock(9'000 * US);
    const Clock current(10'250 * US + 7);  // corrected, not in whole microseconds
    std::mt19937 random(1234);
    std::mt19937 mirror(1234);
    LateCycleScore score;
    Clock deadline(Clock::SEC);
    Clock now = deadline;
    bool shortest = false;
    bool longest = false;
    for (int i = 0; i < 3000; ++i) {
        const BurstPlan plan = QUORVIN::planBurst(p, current, deadline, now, 0, random, score);
        const uint64_t cut = mirror() % (1'250 + 1);  // (10,250 - 9,000) us, both ends
        const uint64_t thisUs = 10'250 - cut;
        ASSERT_EQ((plan.deadline - deadline).picoseconds, thisUs * US) << i;
        ASSERT_EQ(plan.scale, static_cast<float>(thisUs) / 10'250.0f) << i;
        ASSERT_FALSE(plan.late);
        shortest |= thisUs == 9'000;
        longest |= thisUs == 10'250;
        deadline = plan.deadline;
        now = deadline;
    }
    EXPECT_TRUE(shortest && longest);
    // A burst's frames follow its share of the cycle.
    EXPECT_EQ(QUORVIN::framesForBurst(480 << 14, 0.5f), 240 << 14);
    EXPECT_EQ(QUORVIN::framesForBurst(3, 0.5f), 2);  // rounded half up

    // At or below the shortest cycle, and in other modes, no number is drawn.
    std::mt19937 untouched(1234);
    std::mt19937 used(1234);
    EXPECT_EQ(
        (QUORVIN::planBurst(p, p.minCycleTime, deadline, deadline, 0, used, score).deadline - deadline).picoseconds,
        9'000 * US);
    p.mode = QUORVIN::TransferFix;
    QUORVIN::planBurst(p, current, deadline, deadline, 0, used, score);
    EXPECT_EQ(used, untouched);
}

TEST(WorkerTiming, StartModeTimeoutAndLine)
{
    const uint32_t all = Sync::CRITICAL | Sync::NOFASTFEEDBACK | Sync::IDLEONCE | 0x60;
    EXPECT_EQ(QUORVIN::startWorkMode(all, 2000), all & ~uint32_t{Sync::NOFASTFEEDBACK});
    EXPECT_EQ(QUORVIN::startWorkMode(all, 0), all & ~uint32_t{Sync::NOFASTFEEDBACK});
    EXPECT_EQ(QUORVIN::startWorkMode(all, 2001), all);

    EXPECT_EQ(QUORVIN::receiveTimeout(Clock(10 * MS)).picoseconds, Clock::SEC);
    EXPECT_EQ(QUORVIN::receiveTimeout(Clock(125 * MS)).picoseconds, Clock::SEC);
    EXPECT_EQ(QUORVIN::receiveTimeout(Clock(200 * MS)).picoseconds, 1600 * MS);

    struct Case {
        uint32_t mode;
        uint64_t infoMs;
        const char* line;
    };
    const Case cases[] = {
        {0, 10, "wth start  FEEDBACK:1  Info=10"},
        {Sync::CRITICAL | Sync::NOFASTFEEDBACK | 0x40, 10, "wth start CRITICAL  FEEDBACK:3 NOFASTFEEDBACK  Info=10"},
        {0xFFF, 1500,
         "wth start CRITICAL NOSHORTSLEEP NOSLEEP4CORE NOSLEEPFORCE SOCKETNOBLOCK OCCUPIED  FEEDBACK:8 "
         "NOFASTFEEDBACK  Info=1500"},
        {Sync::IDLEONCE | Sync::IDLEALWAYS | 0x1000, 0, "wth start  FEEDBACK:1  Info=0"},  // no names for these
    };
    for (const Case& c : cases) {
        char text[160];
        QUORVIN::formatStartLine(text, sizeof(text), c.mode, Clock(c.infoMs * MS + MS - 1));
        EXPECT_EQ(std::string(text), c.line) << std::hex << c.mode;
    }
}

// ---- in a running worker

namespace {

using testwait::waitFor;

constexpr uint8_t kAudio = 0x5A;

// A stream whose audio never runs out: 48 frames of 16-bit stereo per call,
// each a full packet of the profiles below. It can stall once, as a slow
// source would, to make a real cycle late, and can play from the worker's
// start on.
class TimedStream : public Sync {
public:
    using Sync::latency;
    using Sync::profileCount;
    using Sync::profiles;
    using Sync::sincSupportPCM;

    TimedStream() { std::fill(std::begin(audio), std::end(audio), kAudio); }
    ~TimedStream() { close(); }

    bool startSyncWorker() override
    {
        if (playFromStart) {
            playing.store(true);
        }
        return Sync::startSyncWorker();
    }
    bool getNewStream(TIVRA::BufferCS_const& data) override
    {
        const uint32_t call = calls.fetch_add(1, std::memory_order_relaxed);
        if (call < kStamped) {
            callTimes[call].store(Clock::now().picoseconds, std::memory_order_relaxed);
        }
        const int stall = stallMs.exchange(0);
        if (stall > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(stall));  // the stall itself
        }
        data = {audio, sizeof(audio)};
        return true;
    }

    // When the worker asked for its first audio, on its own clock. One
    // call per packet: each is a whole packet of the profiles here.
    Clock calledAt(uint32_t call) const { return Clock(callTimes[call].load()); }

    static constexpr uint32_t kStamped = 64;
    bool playFromStart = false;
    std::atomic<int> stallMs{0};
    std::atomic<uint32_t> calls{0};
    std::atomic<uint64_t> callTimes[kStamped] = {};
    uint8_t audio[48 * 4];
};

struct WorkerSetup {
    uint32_t mode = Sync::CRITICAL;
    uint64_t latencyMs = 300;
    Profile profile = fixProfile(10'000, 2, 48);
    std::optional<Profile> fallback;
    StreamBehaviour behaviour = [] {
        StreamBehaviour b;
        b.feedback = StreamBehaviour::FEEDBACK_NONE;  // the frames stay as set
        return b;
    }();
    bool playFromStart = false;
};

std::vector<long> numbers(const std::string& line, size_t from)
{
    std::vector<long> out;
    const char* p = line.c_str() + from;
    char* end = nullptr;
    for (long v = std::strtol(p, &end, 10); end != p; v = std::strtol(p, &end, 10)) {
        out.push_back(v);
        p = end;
    }
    return out;
}

class RunningWorker : public ::testing::Test {
protected:
    void TearDown() override
    {
        // What explains a failure, taken before the stream is closed.
        const std::string run = HasFailure() ? teststream::describe(emulator.streamReport(0)) : std::string();
        if (stream) {
            stream->close();
        }
        emulator.stop();
        TIVRA::quorvin_log = -1;
        if (!run.empty()) {
            std::printf("%s\n", run.c_str());
        }
    }

    void connect(const WorkerSetup& s)
    {
        testlog::start(6);
        testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
        config.sinks[0].stream = s.behaviour;
        ASSERT_TRUE(emulator.start(config));
        stream = std::make_unique<TimedStream>();
        stream->playFromStart = s.playFromStart;
        ASSERT_TRUE(stream->open(s.mode, Clock(10 * MS), 0, "timing", 1, -1, 0, 0));
        // One negotiation, as the bridge makes it: the emulator answers from
        // above every normal thread, well within the 10 ms waits.
        ASSERT_TRUE(stream->setSink(emulator.sinkAddress(0), Clock(s.latencyMs * MS), false));
        ASSERT_EQ(uint64_t{stream->sincSupportPCM}, config.sinks[0].supportPCM);
        ASSERT_EQ(stream->latency, s.latencyMs * 10);
        QUORVIN::FormatConfigure f;
        f.setFormat(QUORVIN::PCM16);
        f.setChannel(2);
        f.setSpeed(48000);
        ASSERT_TRUE(stream->setSinkConfigure(f));
        stream->setConfigTransfer(s.profile);
        if (s.fallback) {
            stream->profiles[1] = *s.fallback;
            stream->profileCount = 2;
        }
        ASSERT_TRUE(stream->connectPrepare());
        ASSERT_TRUE(stream->connect(-1));
        ASSERT_TRUE(stream->connectWait());
        ASSERT_EQ(stream->getState(), QUORVIN::SYNC_CONNECTED);
    }

    size_t bursts() const { return emulator.streamReport(0)->burstLog.size(); }

    testbed::TargetEmulator emulator;
    std::unique_ptr<TimedStream> stream;
};

}  // namespace

TEST_F(RunningWorker, PrefillGoesAtOnceAndTheSecondBurstHalfACycleLater)
{
    // 100 ms cycles of 4 packets, playing from the start: the prefill is
    // still silence, with counters 0 to 3.
    WorkerSetup s;
    s.profile = fixProfile(100'000, 4, 48);
    s.playFromStart = true;
    connect(s);
    ASSERT_TRUE(waitFor([&] { return bursts() >= 3; }));
    const StreamReport r = *emulator.streamReport(0);
    const Clock half(50 * MS);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(r.burstLog[i].firstCounter, static_cast<int64_t>(4 * i)) << i;
        EXPECT_EQ(r.burstLog[i].packets, 4U) << i;
    }
    // The worker takes its time after the emulator's connect, so these
    // lower bounds hold however slow the machine is.
    auto sinceConnect = [&](size_t i) { return r.burstLog[i].start - r.connected; };
    EXPECT_GE(sinceConnect(1).picoseconds, half.picoseconds);
    EXPECT_GE(sinceConnect(2).picoseconds, 3 * half.picoseconds);
    // The schedule on the worker's own clock: it builds each packet right
    // after the send before it, the first four being the prefill, so its
    // audio call 0 comes at the end of the first burst, calls 1-4 in the
    // second, 5-8 in the third. A first deadline d before the connect's now
    // puts the second burst d + 100 ms - now after the first (d at or after
    // now: a whole cycle), so half a cycle there means the first deadline
    // lay half a cycle back and the first burst went at once. How soon the
    // sink sees the bursts on a given machine is a figure for bench_stream.
    ASSERT_TRUE(waitFor([&] { return stream->calls.load() >= 9; }));
    const Clock toSecond = stream->calledAt(1) - stream->calledAt(0);
    EXPECT_LT((stream->calledAt(4) - stream->calledAt(1)).picoseconds, 10 * MS) << "one burst";
    EXPECT_GE(toSecond.picoseconds, 40 * MS);
    EXPECT_LT(toSecond.picoseconds, 75 * MS) << "half a cycle, not a whole one: " << toSecond.picoseconds / US << " us";
    EXPECT_GE((stream->calledAt(5) - stream->calledAt(1)).picoseconds, 90 * MS) << "then whole cycles";

    ASSERT_GE(r.audio.size(), 5U * 192U);
    for (size_t i = 0; i < 4 * 192; ++i) {
        ASSERT_EQ(r.audio[i], 0x00) << "prefill byte " << i;
    }
    for (size_t i = 4 * 192; i < 5 * 192; ++i) {
        ASSERT_EQ(r.audio[i], kAudio) << "byte " << i << " of the first built packet";
    }
}

TEST_F(RunningWorker, ALateCycleIsLoggedAndCaughtUp)
{
    // The source stalls once for 4 cycles of 10 ms (2 packets each): the
    // next cycle starts more than a cycle late.
    struct Case {
        const char* name;
        uint32_t mode;
        uint64_t latencyMs;
        bool catchUp;
        const char* startLine;
    };
    const Case cases[] = {
        {"catch-up", Sync::CRITICAL, 300, true, "wth start CRITICAL  FEEDBACK:1  Info=10"},
        {"no catch-up", Sync::CRITICAL | Sync::NOFASTFEEDBACK, 300, false,
         "wth start CRITICAL  FEEDBACK:1 NOFASTFEEDBACK  Info=10"},
        {"no catch-up dropped at 200 ms", Sync::CRITICAL | Sync::NOFASTFEEDBACK, 200, true,
         "wth start CRITICAL  FEEDBACK:1  Info=10"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WorkerSetup s;
        s.mode = c.mode;
        s.latencyMs = c.latencyMs;
        connect(s);
        EXPECT_EQ(stream->getWorkMode(), c.catchUp ? c.mode & ~uint32_t{Sync::NOFASTFEEDBACK} : c.mode);
        EXPECT_EQ(testlog::count(c.startLine), 1U);
        stream->play();
        ASSERT_TRUE(waitFor([&] { return bursts() >= 20; }));
        const size_t before = bursts();
        testlog::clear();
        stream->stallMs.store(40);
        ASSERT_TRUE(waitFor([&] { return bursts() >= before + 20; }));
        stream->close();

        // The stall's cycle is the first at least 20 ms late (a loaded
        // machine may add late cycles of its own), and the one after it is
        // late as well.
        std::vector<std::vector<long>> late;
        for (const std::string& line : testlog::startingWith("over time ")) {
            late.push_back(numbers(line, 10));
            ASSERT_EQ(late.back().size(), 3U) << line;
        }
        size_t stalled = 0;
        while (stalled < late.size() && late[stalled][0] < 20'000) {
            ++stalled;
        }
        ASSERT_LT(stalled + 1, late.size()) << "the stall's late cycles";
        EXPECT_EQ(late[stalled][1], 0) << "no wait in that pass";
        EXPECT_EQ(late[stalled + 1][2], late[stalled][2] + 10) << "each late cycle adds 10";

        const StreamReport r = *emulator.streamReport(0);
        uint32_t largest = 0;
        for (size_t i = before; i < r.burstLog.size(); ++i) {
            largest = std::max(largest, r.burstLog[i].packets);
        }
        EXPECT_EQ(largest, c.catchUp ? 4U : 2U);
        stream.reset();
        emulator.stop();
    }
}

TEST_F(RunningWorker, TheFallBackProfileAndBack)
{
    // A stall of 25 cycles without catch-up: about 24 late cycles in a row,
    // a score beyond 200, so the next feedback moves to the fall-back
    // profile (20 ms, 3 packets); ten cycles on time there, and back.
    WorkerSetup s;
    s.mode = Sync::CRITICAL | Sync::NOFASTFEEDBACK;
    s.fallback = fixProfile(20'000, 3, 48);
    connect(s);
    stream->play();
    ASSERT_TRUE(waitFor([&] { return bursts() >= 20; }));
    stream->stallMs.store(250);
    ASSERT_TRUE(waitFor([] { return testlog::count("over time recover profile 1 to 0") == 1; }));
    const size_t total = bursts();
    ASSERT_TRUE(waitFor([&] { return bursts() >= total + 3; }));
    stream->close();

    EXPECT_GE(testlog::startingWith("over time ").size(), 20U + 2U);
    EXPECT_EQ(testlog::count("over time change profile 0 to 1"), 1U);
    const std::vector<std::string> switches = testlog::startingWith("over time ");
    size_t change = switches.size();
    size_t recover = switches.size();
    for (size_t i = 0; i < switches.size(); ++i) {
        change = switches[i] == "over time change profile 0 to 1" ? i : change;
        recover = switches[i] == "over time recover profile 1 to 0" ? i : recover;
    }
    EXPECT_LT(change, recover);

    // Bursts of the fall-back profile, at least the ten on time, then the
    // normal ones again.
    const StreamReport r = *emulator.streamReport(0);
    size_t fallback = 0;
    for (const testbed::BurstArrival& b : r.burstLog) {
        fallback += b.packets == 3 ? 1 : 0;
    }
    EXPECT_GE(fallback, 10U);
    EXPECT_EQ(r.burstLog.back().packets, 2U);
}

TEST_F(RunningWorker, AnswersFromAnotherPortDoNotRenewTheTimeout)
{
    for (StreamBehaviour::AnswerFrom from : {StreamBehaviour::FROM_OTHER_PORT, StreamBehaviour::FROM_SINK}) {
        SCOPED_TRACE(static_cast<int>(from));
        WorkerSetup s;
        s.behaviour.answerFrom = from;
        s.behaviour.feedback = StreamBehaviour::FEEDBACK_RATE;
        connect(s);
        ASSERT_TRUE(waitFor([&] { return stream->getState() == QUORVIN::SYNC_IDLE; }, 10s));
        const std::vector<std::string> timeout = testlog::startingWith("   timeout ");
        ASSERT_EQ(timeout.size(), 1U);
        EXPECT_GE(std::atol(timeout[0].c_str() + 11), 1'000'000L) << timeout[0];
        EXPECT_GT(emulator.streamReport(0)->feedbackAnswers, 10U);  // they were sent
        EXPECT_TRUE(testlog::startingWith("info rcv ").empty());    // and none was taken
        stream.reset();
        emulator.stop();
    }
}
