// The stream worker's arithmetic on its own: ring size, the resends owed,
// feedback decoding, the fixed-point controller, the late-cycle score and
// the feedback text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stream/WorkerControl.h"

using QUORVIN::FeedbackController;
using QUORVIN::LateCycleScore;
using QUORVIN::Profile;
using TIVRA::Clock;

namespace {

Profile profile(uint64_t cycleUs, uint16_t packets)
{
    Profile p;
    p.cycleTime = Clock(cycleUs * Clock::US);
    p.packetCount = packets;
    return p;
}

}  // namespace

TEST(WorkerControl, ResendRingSize)
{
    struct Case {
        uint64_t cycleUs;
        uint16_t packets;
        size_t size;
    };
    const std::vector<Case> cases = {
        {1000, 10, 16384},    // 10,000 packets per second
        {2000, 1, 512},       // 500
        {1000000, 1, 32},     // 1 per second, at least 32
        {31250, 1, 32},       // exactly 32
        {30000, 1, 64},       // 33
        {2000000, 1, 32},     // 0 per second
        {1000000, 32, 32},    // a burst of a power of two fits as it is
        {1000, 16, 16384},    // 16,000 per second
        {2000000, 100, 128},  // a burst above the ring: the ring holds it
        {2000000, 64, 64},
        {100, 3, 32768},      // 30,000 per second: the largest ring
        {100, 4, 0},          // 40,000 per second: refused
        {0, 1, 0},            // below 1 us: refused
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QUORVIN::resendRingSize(profile(c.cycleUs, c.packets)), c.size) << c.cycleUs << "/" << c.packets;
    }
    Profile sub;
    sub.cycleTime = Clock(999'999);
    sub.packetCount = 1;
    EXPECT_EQ(QUORVIN::resendRingSize(sub), 0U);
}

TEST(WorkerControl, ResendsOfOneBurstAreCapped)
{
    struct Case {
        uint16_t owed;
        uint16_t packets;  // of the profile
        uint16_t burst;
    };
    const std::vector<Case> cases = {
        {32767, 10, 40},  // 4 a packet
        {511, 16, 64},
        {40, 16, 40},
        {1023, 1, 32},  // at least 32: the smallest ring's worth
        {20, 1, 20},
        {31, 8, 31},
        {100, 0, 32},
        {0, 10, 0},
    };
    for (const Case& c : cases) {
        QUORVIN::ResendQueue q;
        q.ask(1000, c.owed);
        EXPECT_EQ(q.forBurst(c.packets), c.burst) << c.owed << " owed, " << c.packets << " a cycle";
    }
}

TEST(WorkerControl, ResendsCarriedToTheNextBurstsKeepTheirCounters)
{
    // Asked with counter 5 next: the 10 before it, across the wrap, oldest
    // first, however many bursts they take.
    QUORVIN::ResendQueue q;
    q.ask(5, 10);
    std::vector<uint16_t> served;
    while (q.pending() > 0) {
        served.push_back(q.take());
    }
    EXPECT_EQ(served, (std::vector<uint16_t>{65531, 65532, 65533, 65534, 65535, 0, 1, 2, 3, 4}));

    // A new request replaces what is still owed.
    q.ask(100, 50);
    q.take();
    q.take();
    q.ask(200, 7);
    EXPECT_EQ(q.pending(), 7);
    EXPECT_EQ(q.take(), 193);
    EXPECT_EQ(q.pending(), 6);
}

TEST(WorkerControl, FeedbackKinds)
{
    struct Case {
        uint16_t o0, o1, o2;
        int kind;
        int32_t value;
    };
    const std::vector<Case> cases = {
        {0x2000, 0, 0, 1, 0},     {0x2001, 0, 0, 1, 2},      {0x0001, 0, 0, 1, -16382},
        {0x7FFF, 0, 0, 1, 49150},  // beyond 16 bits: cut when stored
        {0x8001, 0, 0, 2, 1},     {0xC000, 0, 0, 2, -16384}, {0xFFFF, 0, 0, 2, -1},
        {0x8000, 0, 0, 2, 0},     {0, 4810, 4800, 3, 34},    {0, 4790, 4800, 3, -34},  // truncated toward zero
        {0, 0, 1, 3, -16384},     {0, 5, 0, 0, 0},           {0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const QUORVIN::Feedback f = QUORVIN::decodeFeedback(c.o0, c.o1, c.o2);
        EXPECT_EQ(f.kind, c.kind) << std::hex << c.o0 << " " << c.o1 << " " << c.o2;
        EXPECT_EQ(f.value, c.value) << std::hex << c.o0 << " " << c.o1 << " " << c.o2;
    }
}

TEST(WorkerControl, ControllerSettlesInsideItsClamp)
{
    // Too much audio (+0.1): proportional and difference terms first, then
    // 65 per answer down to the clamp.
    FeedbackController down;
    std::vector<int16_t> seen;
    for (int i = 0; i < 30; ++i) {
        down.push(1638, 1);
        seen.push_back(down.correction);
    }
    EXPECT_EQ(seen[0], -228);
    EXPECT_EQ(seen[1], -293);
    EXPECT_EQ(seen[2], -358);
    EXPECT_EQ(seen.back(), FeedbackController::CORRECTION_MIN);

    // Too little (-0.1): 230, then 66 per answer (the shift rounds toward
    // minus infinity), held at 491 from the fifth answer.
    FeedbackController up;
    const std::vector<int16_t> expect = {230, 296, 362, 428, 491, 491, 491};
    for (int16_t e : expect) {
        up.push(-1638, 1);
        EXPECT_EQ(up.correction, e);
    }
}

TEST(WorkerControl, AveragingWindow)
{
    FeedbackController c;
    c.push(800, 4);
    EXPECT_EQ(c.average, 200);  // unfilled entries count as 0
    c.push(800, 4);
    EXPECT_EQ(c.average, 400);
    c.push(-3, 2);
    EXPECT_EQ(c.average, 398);  // (800 - 3) / 2, truncated
    c.push(-7, 2);
    EXPECT_EQ(c.average, -5);
    EXPECT_EQ(QUORVIN::feedbackWindow(0), 1U);
    EXPECT_EQ(QUORVIN::feedbackWindow(0x60), 4U);
    EXPECT_EQ(QUORVIN::feedbackWindow(0xE1), 8U);
}

TEST(WorkerControl, CorrectionAppliesToCycleOrFrames)
{
    FeedbackController c;
    c.correction = 491;
    // A positive correction means more audio per unit of time: a shorter
    // cycle, or more frames per packet.
    EXPECT_EQ(c.applyToCycle(Clock(16384 * Clock::US)).picoseconds, (16384 - 491) * Clock::US);
    EXPECT_EQ(c.applyToFrames(722534), 722534U + (491LL * 722534 >> 14));
    c.correction = -1638;
    EXPECT_EQ(c.applyToFrames(16384), 16384U - 1638U);
    c.correction = -1;
    EXPECT_EQ(c.applyToFrames(3), 2U);  // the shift rounds toward minus infinity
}

TEST(WorkerControl, LateCycleScoreAndProfileSwitch)
{
    LateCycleScore s;
    for (int i = 0; i < 20; ++i) {
        s.onLate();
    }
    EXPECT_EQ(s.overTimeCount, 200);
    EXPECT_EQ(s.profileSwitch(0, 1), 0);  // no fall-back profile
    EXPECT_EQ(s.overTimeCount, 200);
    EXPECT_EQ(s.profileSwitch(0, 2), 1);
    EXPECT_EQ(s.overTimeCount, 10);
    EXPECT_EQ(s.profileSwitch(1, 2), 1);  // 10: neither switch nor recovery
    for (int i = 0; i < 10; ++i) {
        s.onTime();
    }
    EXPECT_EQ(s.overTimeCount, 0);
    s.onTime();
    EXPECT_EQ(s.overTimeCount, 0);  // never below 0
    EXPECT_EQ(s.profileSwitch(1, 2), 0);
    EXPECT_EQ(s.profileSwitch(0, 2), 0);

    LateCycleScore cap;
    for (int i = 0; i < 500; ++i) {
        cap.onLate();
    }
    EXPECT_EQ(cap.overTimeCount, 1000);  // 990 + 10, then no more
    cap.overTimeCount = 999;
    cap.onLate();
    EXPECT_EQ(cap.overTimeCount, 1009);
}

TEST(WorkerControl, FeedbackLineText)
{
    FeedbackController c;
    c.push(1638, 1);  // value 0.1, average 0.1, correction -228
    Profile fix;
    fix.packetBytes = 0;
    fix.packetCount = 2;
    char text[64];
    const QUORVIN::Feedback f{1, 1638};
    QUORVIN::formatFeedbackLine(text, sizeof(text), f, c, fix, Clock(0), 722534);
    // 1638 / 16384 = 0.09997 -> 0.1000; 228 -> 0.0139; frames 2 x 44.1 = 88.2
    EXPECT_EQ(std::string(text), "  0.1000  0.1000 -0.0139 fs=88.2000");
    EXPECT_EQ(std::string(text).find(" fs="), 24U);

    Profile var;
    var.packetBytes = 180;
    var.packetCount = 1;
    FeedbackController n;
    n.push(-16384, 1);
    const QUORVIN::Feedback g{2, -16384};
    QUORVIN::formatFeedbackLine(text, sizeof(text), g, n, var, Clock(1'000'000'000ULL), 0);
    EXPECT_EQ(std::string(text), " -1.0000 -1.0000  0.0300 cy=1000000000");
}
