// The stream worker's arithmetic, kept apart from its sockets and threads so
// that it can be checked on its own: the resend ring size, the feedback
// decoding and the fixed-point controller, the late-cycle score with the
// profile switch, and the feedback log text.
#pragma once

#include <cstddef>
#include <cstdint>

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

// The 24-character text after "info rcv " and the kind, with the cycle or
// frames tail; written into out (NUL-terminated, cut to size).
void formatFeedbackLine(char* out, size_t size, const Feedback& feedback, const FeedbackController& controller,
                        const Profile& profile, TIVRA::Clock currentCycle, uint32_t currentFramesQ14);

}  // namespace QUORVIN
