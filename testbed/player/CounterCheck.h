// Checks a recording (the bytes a sink received) against the counter
// pattern: where it starts after the leading mute, and the gaps, repeats and
// mute inserts in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testbed {

struct CounterCheck {
    bool found = false;             // a counter frame was seen
    uint64_t leadingMuteBytes = 0;  // before the pattern (frame 0 not included)
    uint64_t frames = 0;            // counter frames recorded, repeated ones included
    uint64_t firstIndex = 0;        // of the first counter frame
    uint64_t lastIndex = 0;         // of the last one, counted past the wraps of the sample bits
    uint64_t highestIndex = 0;
    uint64_t gaps = 0;            // jumps forward past frames never recorded
    uint64_t missingFrames = 0;   // frames the gaps skipped
    uint64_t repeats = 0;         // jumps back to frames already recorded
    uint64_t repeatedFrames = 0;  // frames recorded a second time or more
    uint64_t muteRuns = 0;        // mute inside the pattern (the sink got silence in between)
    uint64_t muteBytes = 0;       // bytes of those runs
    uint64_t badFrames = 0;       // frames whose channels disagree
    uint64_t trailingMuteBytes = 0;
    uint64_t tailBytes = 0;  // a part frame at the end that is not mute

    // Every index from the first to the highest once, in order.
    bool clean() const
    {
        return found && gaps == 0 && repeats == 0 && muteRuns == 0 && badFrames == 0 && tailBytes == 0;
    }
    // "frames=... first=... last=... gaps=... missing=... repeats=... ..."
    std::string describe() const;
};

// The recording is in the card format (a BridgeFormat code the player plays)
// with `channels` channels. Frame 0 is all mute bytes: when the pattern's
// first frame is 1 and a whole mute frame precedes it, that frame is taken
// as frame 0. The frame alignment is found from the data, so a recording
// may start anywhere and the mute between parts need not be whole frames.
CounterCheck checkCounter(const uint8_t* bytes, size_t size, uint64_t format, uint32_t channels);

}  // namespace testbed
