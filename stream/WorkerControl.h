// The stream worker's arithmetic and timing rules, kept apart from its
// sockets and threads so that they can be checked on their own: the resend
// ring size and the resends owed, the feedback decoding and the fixed-point
// controller, the late-cycle score with the profile switch, the cycle
// deadlines and bursts, the way a pass waits for its deadline, and the
// worker's log texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

#include "foundation/Clock.h"
#include "protocol/Identifiers.h"
#include "stream/Profile.h"

namespace QUORVIN {

// Feedback averaging window from the worker mode: 1 to 8 answers.
constexpr uint32_t feedbackWindow(uint32_t mode)
{
    return ((mode >> 5) & 7) + 1;
}

// The sink reports an inverted play phase.
constexpr bool phaseInverted(StatusID status)
{
    return (status & STATUS_PHASE_VALID) != 0 && (status & STATUS_PHASE_NORMAL) == 0;
}

// Packets per second of the profile rounded up to a power of two, at least
// 32; a burst of more packets than that gets a ring of its own size rounded
// up. 0 refuses the profile: a cycle below 1 us, or a ring beyond 32768
// packets, which the 16-bit resend arithmetic cannot serve.
size_t resendRingSize(const Profile& profile);

// The resends a sink asked for: the packets from the counter it named up to
// the newest one sent when it asked. A burst carries at most PER_PACKET
// times its profile's packet count of them, or MIN when that is more, and
// leaves the rest to the next bursts, so that one request for most of the
// ring cannot make a burst of tens of thousands of packets; its fresh
// packets go out as ever. MIN lets a profile of few packets per cycle make
// up a run of losses in one go, and a ring of the least size in one burst.
// Since a burst so serves more resends than it sends fresh packets (twice
// the count when catching up), no packet still owed is rebuilt in the ring
// before it has gone again.
class ResendQueue {
public:
    static constexpr uint32_t PER_PACKET = 4;
    static constexpr uint32_t MIN = 32;

    // The back packets before next, the counter of the next fresh packet;
    // replaces whatever is still owed.
    void ask(uint16_t next, uint16_t back)
    {
        nextCounter = static_cast<uint16_t>(next - back);
        owed = back;
    }
    uint16_t pending() const { return owed; }
    // How many of them a burst of a profile of packetCount packets takes.
    uint16_t forBurst(uint16_t packetCount) const
    {
        const uint32_t perPacket = PER_PACKET * packetCount;
        const uint32_t cap = perPacket > MIN ? perPacket : MIN;
        return owed < cap ? owed : static_cast<uint16_t>(cap);
    }
    // The counter of the oldest one owed, which is then served.
    uint16_t take()
    {
        if (owed != 0) {
            --owed;
        }
        return nextCounter++;
    }

private:
    uint16_t nextCounter = 0;
    uint16_t owed = 0;
};

struct Feedback {
    int kind = 0;       // 0 none, 1 rate, 2 signed offset, 3 ratio
    int32_t value = 0;  // Q14, 16384 = 1.0
};
Feedback decodeFeedback(uint16_t option0, uint16_t option1, uint16_t option2);

class FeedbackController {
public:
    static constexpr int16_t CORRECTION_MIN = -1638;  // about -0.1
    static constexpr int16_t CORRECTION_MAX = 491;    // about +0.03

    // Takes one feedback value: history, average over the window, then the
    // proportional and difference terms into the clamped correction.
    void push(int32_t value, uint32_t window);

    TIVRA::Clock applyToCycle(TIVRA::Clock cycle) const;
    uint32_t applyToFrames(uint32_t framesQ14) const;

    int16_t correction = 0;
    int16_t previousAverage = 0;
    int32_t average = 0;  // of the last push
    int16_t history[8] = {};
};

// Late cycles add 10 (up to 1009), on-time cycles take 1 off. At a feedback
// answer a score of 200 moves to the fall-back profile, 0 back again.
struct LateCycleScore {
    void onTime()
    {
        if (overTimeCount > 0) {
            --overTimeCount;
        }
    }
    void onLate()
    {
        if (overTimeCount < 1000) {
            overTimeCount += 10;
        }
    }
    // The profile to use after a feedback answer.
    int profileSwitch(int profileIndex, int profileCount);

    int32_t overTimeCount = 0;
};

// ---- cycle timing. Modes are the stream's THRED_MODE flags.

// The mode the worker runs with: a latency of 2000 (200 ms) or less leaves
// no room to skip a catch-up, so NOFASTFEEDBACK is dropped.
uint32_t startWorkMode(uint32_t mode, uint16_t latency);

// The first deadline lies half a cycle back: the first burst goes at once
// and the second half a cycle later.
constexpr TIVRA::Clock firstDeadline(TIVRA::Clock now, TIVRA::Clock cycle)
{
    return now - TIVRA::Clock(cycle.picoseconds / 2);
}

// Without a valid datagram from the sink for this long the worker ends:
// 1 s, or 8 feedback cycles when that is longer.
constexpr TIVRA::Clock receiveTimeout(TIVRA::Clock infoCycle)
{
    return infoCycle.picoseconds * 8 > TIVRA::Clock::SEC ? TIVRA::Clock(infoCycle.picoseconds * 8)
                                                         : TIVRA::Clock(TIVRA::Clock::SEC);
}

// What one pass of the cycle loop does about its deadline.
struct WaitStep {
    enum Action : uint8_t {
        SEND,   // the deadline has come
        SPIN,   // try again at once
        SLEEP,  // wait on the socket for `sleep` (an answer ends it early)
    };
    Action action = SEND;
    bool yield = false;  // give up the processor first
    TIVRA::Clock sleep;
};

// idled: a yield already happened in this waiting period; the caller sets it
// after a yield and clears it when the deadline has come.
WaitStep waitStep(uint32_t mode, TIVRA::Clock now, TIVRA::Clock deadline, bool idled);

// One burst's timing, decided when its deadline has come.
struct BurstPlan {
    TIVRA::Clock deadline;  // of the next burst
    float scale = 1.0f;     // of this cycle against the full one (random cycles)
    int packets = 0;        // fresh packets of this burst; resends owed come on top
    bool late = false;      // more than one cycle late
    TIVRA::Clock lateBy;    // now - the deadline advanced by one cycle, when late
    int32_t scoreBefore = 0;
};

// Advances the deadline by one cycle (a random cycle of TransferRandom, cut
// in whole microseconds towards minCycleTime), detects a late cycle, scores
// it and, unless NOFASTFEEDBACK, doubles the burst and skips a deadline to
// catch up. Lateness never accumulates: the deadline moves by whole cycles.
BurstPlan planBurst(const Profile& profile, TIVRA::Clock currentCycle, TIVRA::Clock deadline, TIVRA::Clock now,
                    uint32_t mode, std::mt19937& random, LateCycleScore& score);

// Frames per packet of a burst in Q14, for a random cycle's share.
constexpr int framesForBurst(uint32_t framesQ14, float scale)
{
    return static_cast<int>(static_cast<float>(framesQ14) * scale + 0.5);
}

// "wth start " and the worker's flags, window and info cycle; written into
// out (NUL-terminated, cut to size).
void formatStartLine(char* out, size_t size, uint32_t mode, TIVRA::Clock infoCycle);

// The 24-character text after "info rcv " and the kind, with the cycle or
// frames tail; written into out (NUL-terminated, cut to size).
void formatFeedbackLine(char* out, size_t size, const Feedback& feedback, const FeedbackController& controller,
                        const Profile& profile, TIVRA::Clock currentCycle, uint32_t currentFramesQ14);

}  // namespace QUORVIN
