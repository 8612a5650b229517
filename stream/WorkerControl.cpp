#include "stream/WorkerControl.h"

#include <bit>
#include <cstdio>

#include "stream/Sync.h"

namespace QUORVIN {

size_t resendRingSize(const Profile& profile)
{
    const uint64_t cycleUs = profile.cycleTime.picoseconds / TIVRA::Clock::US;
    if (cycleUs == 0) {
        return 0;
    }
    const uint64_t packetsPerSecond = (1'000'000ULL / cycleUs) * profile.packetCount;
    uint64_t size = std::bit_ceil(packetsPerSecond < 32 ? uint64_t{32} : packetsPerSecond);
    if (profile.packetCount > size) {
        // Long cycles of many packets: the prefill of one burst would
        // overwrite itself in a ring of fewer packets.
        size = std::bit_ceil(uint64_t{profile.packetCount});
    }
    return size > 32768 ? 0 : static_cast<size_t>(size);
}

Feedback decodeFeedback(uint16_t option0, uint16_t option1, uint16_t option2)
{
    Feedback f;
    if (option0 != 0 && (option0 & 0x8000) == 0) {
        f.kind = 1;
        f.value = 2 * static_cast<int32_t>(option0) - 16384;
    } else if ((option0 & 0x8000) != 0) {
        f.kind = 2;
        f.value = static_cast<int32_t>((option0 & 0x7FFF) ^ 0x4000) - 0x4000;
    } else if (option2 != 0) {
        f.kind = 3;
        f.value =
            ((static_cast<int32_t>(option1) - static_cast<int32_t>(option2)) * 16384) / static_cast<int32_t>(option2);
    }
    return f;
}

void FeedbackController::push(int32_t value, uint32_t window)
{
    for (int i = 7; i > 0; --i) {
        history[i] = history[i - 1];
    }
    history[0] = static_cast<int16_t>(value);
    int32_t sum = 0;
    for (uint32_t i = 0; i < window && i < 8; ++i) {
        sum += history[i];
    }
    average = sum / static_cast<int32_t>(window);
    const int32_t a = static_cast<int16_t>(average);
    const int32_t d = static_cast<int16_t>(average - previousAverage);
    int32_t c = correction - ((a * 655) >> 14) - ((d * 1638) >> 14);
    c = static_cast<int16_t>(c);
    if (c < CORRECTION_MIN) {
        c = CORRECTION_MIN;
    } else if (c > CORRECTION_MAX) {
        c = CORRECTION_MAX;
    }
    correction = static_cast<int16_t>(c);
    previousAverage = static_cast<int16_t>(average);
}

TIVRA::Clock FeedbackController::applyToCycle(TIVRA::Clock cycle) const
{
    const int64_t base = static_cast<int64_t>(cycle.picoseconds);
    return TIVRA::Clock(static_cast<uint64_t>(base - ((int64_t{correction} * base) >> 14)));
}

uint32_t FeedbackController::applyToFrames(uint32_t framesQ14) const
{
    const int64_t base = framesQ14;
    return static_cast<uint32_t>(base + ((int64_t{correction} * base) >> 14));
}

int LateCycleScore::profileSwitch(int profileIndex, int profileCount)
{
    if (overTimeCount >= 200 && profileIndex + 1 < profileCount) {
        overTimeCount = 10;
        return profileIndex + 1;
    }
    if (overTimeCount == 0 && profileIndex > 0) {
        return profileIndex - 1;
    }
    return profileIndex;
}

uint32_t startWorkMode(uint32_t mode, uint16_t latency)
{
    return latency <= 2000 ? mode & ~static_cast<uint32_t>(Sync::NOFASTFEEDBACK) : mode;
}

WaitStep waitStep(uint32_t mode, TIVRA::Clock now, TIVRA::Clock deadline, bool idled)
{
    constexpr uint64_t SHORT_SLEEP = 100 * TIVRA::Clock::US;
    WaitStep step;
    if (now.Comp(deadline) >= 0) {
        return step;
    }
    step.yield = (mode & Sync::IDLEALWAYS) != 0 || ((mode & Sync::IDLEONCE) != 0 && !idled);
    step.action = WaitStep::SPIN;
    if ((mode & (Sync::NOSLEEP4CORE | Sync::NOSLEEPFORCE)) != 0) {
        return step;
    }
    TIVRA::Clock remaining = deadline - now;
    if ((mode & Sync::NOSHORTSLEEP) != 0) {
        // Sleep only while more than 100 us remain and spin through the
        // rest, so that a late wake-up cannot delay the burst.
        if (remaining.picoseconds <= SHORT_SLEEP) {
            return step;
        }
        remaining -= TIVRA::Clock(SHORT_SLEEP);
    }
    step.action = WaitStep::SLEEP;
    step.sleep = remaining;
    return step;
}

BurstPlan planBurst(const Profile& profile, TIVRA::Clock currentCycle, TIVRA::Clock deadline, TIVRA::Clock now,
                    uint32_t mode, std::mt19937& random, LateCycleScore& score)
{
    constexpr uint64_t US = TIVRA::Clock::US;
    BurstPlan plan;
    plan.deadline = deadline;
    if (profile.mode == TransferRandom && currentCycle.picoseconds > profile.minCycleTime.picoseconds) {
        const uint64_t cycleUs = currentCycle.picoseconds / US;
        const uint64_t span = (currentCycle.picoseconds - profile.minCycleTime.picoseconds) / US + 1;
        const uint64_t thisCycleUs = cycleUs - random() % span;
        plan.deadline += TIVRA::Clock(thisCycleUs * US);
        plan.scale = static_cast<float>(thisCycleUs) / static_cast<float>(cycleUs);
    } else {
        plan.deadline += currentCycle;
    }
    plan.packets = profile.packetCount;
    plan.scoreBefore = score.overTimeCount;
    if (plan.deadline.Comp(now) > 0) {
        score.onTime();
        return plan;
    }
    plan.late = true;
    plan.lateBy = now - plan.deadline;
    if ((mode & Sync::NOFASTFEEDBACK) == 0) {
        plan.deadline += currentCycle;
        plan.packets *= 2;
    }
    score.onLate();
    return plan;
}

void formatStartLine(char* out, size_t size, uint32_t mode, TIVRA::Clock infoCycle)
{
    std::snprintf(out, size, "wth start %s%s%s%s%s%s FEEDBACK:%u%s Info=%llu",
                  (mode & Sync::CRITICAL) ? "CRITICAL " : "", (mode & Sync::NOSHORTSLEEP) ? "NOSHORTSLEEP " : "",
                  (mode & Sync::NOSLEEP4CORE) ? "NOSLEEP4CORE " : "",
                  (mode & Sync::NOSLEEPFORCE) ? "NOSLEEPFORCE " : "",
                  (mode & Sync::SOCKETNOBLOCK) ? "SOCKETNOBLOCK " : "", (mode & Sync::OCCUPIED) ? "OCCUPIED " : "",
                  feedbackWindow(mode), (mode & Sync::NOFASTFEEDBACK) ? " NOFASTFEEDBACK " : " ",
                  static_cast<unsigned long long>(infoCycle.picoseconds / TIVRA::Clock::MS));
}

namespace {

unsigned fourDecimals(uint64_t m)
{
    return static_cast<unsigned>((((m & 0x3FFF) * 100000ULL / 16384ULL) + 5) / 10);
}

}  // namespace

void formatFeedbackLine(char* out, size_t size, const Feedback& feedback, const FeedbackController& controller,
                        const Profile& profile, TIVRA::Clock currentCycle, uint32_t currentFramesQ14)
{
    auto q = [](int32_t v, char* at) {
        const uint32_t m = static_cast<uint32_t>(v < 0 ? -static_cast<int64_t>(v) : v);
        std::snprintf(at, 8, "%c%c.%04u", v < 0 ? '-' : ' ', (m & 0x4000) ? '1' : '0', fourDecimals(m));
    };
    char value[8];
    char average[8];
    q(static_cast<int16_t>(feedback.value), value);
    q(controller.average, average);
    const int32_t c = controller.correction;
    const uint32_t cm = static_cast<uint32_t>(c < 0 ? -c : c);
    if (profile.packetBytes != 0) {
        std::snprintf(out, size, " %s %s %c0.%04u cy=%llu", value, average, c < 0 ? '-' : ' ', fourDecimals(cm),
                      static_cast<unsigned long long>(currentCycle.picoseconds));
    } else {
        const uint64_t fs = uint64_t{currentFramesQ14} * profile.packetCount;
        std::snprintf(out, size, " %s %s %c0.%04u fs=%llu.%04u", value, average, c < 0 ? '-' : ' ', fourDecimals(cm),
                      static_cast<unsigned long long>(fs >> 14), fourDecimals(fs));
    }
}

}  // namespace QUORVIN
