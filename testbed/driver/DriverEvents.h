// The driver stand-in's event block: a small shared file ("events" in the
// stand-in's directory) that the launcher bumps for every request it
// answers, so a test or the card player can wait for a request with a
// deadline (futex on the counter) instead of sleeping. Shared between
// processes: the futex operations are not private.
#pragma once

#include <cstdint>

namespace testbed {

struct DriverEvents {
    static constexpr uint32_t kMagic = 0x56455651;  // "QVEV"
    static constexpr int kCards = 256;

    uint32_t magic;
    uint32_t version;     // 1
    uint32_t journal;     // journal lines written so far
    uint32_t inits;       // INIT requests answered
    uint32_t creates[kCards];  // CREATE requests that gave this card
    uint32_t removes[kCards];  // REMOVE requests for this card
    uint32_t attaches[kCards];
    uint32_t wakeups[kCards];
    uint32_t notifies[kCards];
};

static_assert(sizeof(DriverEvents) % 8 == 0);

}  // namespace testbed
