// The link emulator's rules and the fate of each frame on one direction of
// the link, kept apart from the sockets so that both can be tested alone.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace linkemu {

// What one direction does to the frames it carries. Percentages are 0..100,
// times in microseconds.
struct Rules {
    double lossPercent = 0;
    unsigned burstLength = 0;     // frames lost in a row once a burst starts
    double burstPercent = 0;      // chance that a frame starts a burst
    double reorderPercent = 0;    // chance that a frame is held back
    int64_t reorderHoldUs = 20000;  // longest a held frame waits for one to overtake it
    double duplicatePercent = 0;
    int64_t delayUs = 0;
    int64_t jitterUs = 0;         // the delay varies by up to this much either way

    bool operator==(const Rules&) const = default;
};

// The two directions: A to B and B to A.
struct LinkRules {
    Rules ab;
    Rules ba;
    bool operator==(const LinkRules&) const = default;
};

// Applies one rule, "[ab:|ba:]key=value", to the direction it names or to
// both:
//   loss=PCT  burst=N@PCT  reorder=PCT[@MS]  duplicate=PCT  delay=MS[+-MS]
// Returns an error text, empty when the rule was taken (rules is left as it
// was on an error).
std::string applyRule(LinkRules& rules, const std::string& rule);

// Small, fast and the same everywhere: splitmix64.
class Rng {
public:
    explicit Rng(uint64_t seed) : state(seed) {}
    uint64_t next();
    // Uniform in [0, 1).
    double unit();
    // True with the given chance in percent.
    bool chance(double percent);

private:
    uint64_t state;
};

struct Counters {
    uint64_t seen = 0;
    uint64_t forwarded = 0;   // frames that went out, copies not counted
    uint64_t dropped = 0;
    uint64_t duplicated = 0;  // extra copies sent
    uint64_t reordered = 0;   // frames overtaken by a later one that the rules apply to
    uint64_t delayed = 0;
    uint64_t errors = 0;      // sends the interface refused
};

// "seen=.. forwarded=.. dropped=.. duplicated=.. reordered=.. delayed=.. errors=.."
std::string formatCounters(const Counters& c);
// The reverse, for readers of the stats; nothing when a field is missing.
std::optional<Counters> parseCounters(const std::string& text);

using Clock = std::chrono::steady_clock;
using Frame = std::vector<uint8_t>;

// One direction of the link: frames go in with arrive() and come out, in
// the order and at the times the rules give, from take(). Every frame's fate
// is drawn from the seed and its index among the frames that the rules apply
// to, so a run with the same seed and the same frames repeats exactly.
class Direction {
public:
    Direction(const Rules& rules, uint64_t seed);

    // A frame from the interface; impaired false passes it untouched (but
    // still behind those ahead of it, and past a held one).
    void arrive(Frame frame, Clock::time_point now, bool impaired = true);
    // The frames due by now, in sending order (a duplicate appears twice).
    std::vector<Frame> take(Clock::time_point now);
    // When take() next has something, if anything waits.
    std::optional<Clock::time_point> nextDue() const;

    void sendFailed() { ++counters_.errors; }
    const Counters& counters() const { return counters_; }

private:
    struct Pending {
        Frame frame;
        Clock::time_point due;
        bool duplicate = false;
        bool reorder = false;
        bool impaired = true;
    };

    Rules rules;
    uint64_t seed;
    uint64_t index = 0;  // frames the rules were applied to so far
    unsigned burstLeft = 0;
    Clock::time_point lastDue{};
    std::deque<Pending> queue;
    std::optional<Pending> held;
    Clock::time_point heldUntil{};
    Counters counters_;
};

}  // namespace linkemu
