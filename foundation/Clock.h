// Picosecond time value of the monotonic clock, used for time points and
// durations alike. 0 means unset; now() never yields 0.
#pragma once

#include <cstdint>

namespace TIVRA {

struct Clock {
    uint64_t picoseconds = 0;

    constexpr Clock() = default;
    constexpr Clock(uint64_t ps) : picoseconds(ps) {}

    static Clock now();

    // Sign of the signed difference (this - other); stays right across a
    // wrap of the counter.
    constexpr int Comp(Clock other) const
    {
        const int64_t d = static_cast<int64_t>(picoseconds - other.picoseconds);
        return d == 0 ? 0 : (d > 0 ? 1 : -1);
    }

    constexpr Clock operator+(Clock o) const { return Clock(picoseconds + o.picoseconds); }
    constexpr Clock operator-(Clock o) const { return Clock(picoseconds - o.picoseconds); }
    constexpr Clock& operator+=(Clock o)
    {
        picoseconds += o.picoseconds;
        return *this;
    }
    constexpr Clock& operator-=(Clock o)
    {
        picoseconds -= o.picoseconds;
        return *this;
    }
    constexpr bool operator==(const Clock&) const = default;

    // Sleeps the whole duration; a sleep cut short by a signal goes on for
    // the time left.
    static void sleep(Clock duration);

    static constexpr uint64_t US = 1'000'000ULL;
    static constexpr uint64_t MS = 1'000'000'000ULL;
    static constexpr uint64_t SEC = 1'000'000'000'000ULL;
};

}  // namespace TIVRA
