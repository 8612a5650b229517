#include "testbed/player/CounterCheck.h"

#include <cstdio>

#include "testbed/player/CardFormat.h"
#include "testbed/player/Sources.h"

namespace testbed {

namespace {

class Reader {
public:
    Reader(const uint8_t* bytes, size_t size, uint64_t format, uint32_t channels)
        : bytes_(bytes),
          size_(size),
          sample_(sampleBytes(format)),
          channels_(channels),
          frame_(sample_ * channels),
          mute_(muteByte(format)),
          mask_(counterMask(format))
    {
    }

    size_t frame() const { return frame_; }
    uint64_t mask() const { return mask_; }
    bool fits(size_t at) const { return at <= size_ && size_ - at >= frame_; }

    bool mute(size_t at, size_t count) const
    {
        for (size_t i = 0; i < count; ++i) {
            if (bytes_[at + i] != mute_) {
                return false;
            }
        }
        return true;
    }

    size_t skipMute(size_t at) const
    {
        while (at < size_ && bytes_[at] == mute_) {
            ++at;
        }
        return at;
    }

    // False when the channels do not carry the same sample.
    bool decode(size_t at, uint64_t& value) const
    {
        const uint8_t* f = bytes_ + at;
        for (uint32_t c = 1; c < channels_; ++c) {
            for (uint32_t b = 0; b < sample_; ++b) {
                if (f[c * sample_ + b] != f[b]) {
                    return false;
                }
            }
        }
        value = 0;
        for (uint32_t b = 0; b < sample_; ++b) {
            value |= static_cast<uint64_t>(f[b] ^ mute_) << (8 * b);
        }
        return true;
    }

    // The start of the frame holding the first non-mute byte q, no earlier
    // than `floor`: the alignment under which most of the frames that follow
    // count up by one (an index such as 256 starts with a mute byte).
    size_t align(size_t floor, size_t q) const
    {
        size_t best = q;
        int bestScore = -1;
        for (size_t k = 0; k < frame_ && k <= q - floor; ++k) {
            const size_t start = q - k;
            int score = 0;
            uint64_t previous = 0;
            for (size_t at = start; score < 8 && fits(at); at += frame_) {
                uint64_t v;
                if (!decode(at, v) || (score > 0 && v != ((previous + 1) & mask_))) {
                    break;
                }
                previous = v;
                ++score;
            }
            if (score > bestScore) {
                bestScore = score;
                best = start;
            }
        }
        return best;
    }

private:
    const uint8_t* bytes_;
    size_t size_;
    uint32_t sample_;
    uint32_t channels_;
    size_t frame_;
    uint8_t mute_;
    uint64_t mask_;
};

}  // namespace

std::string CounterCheck::describe() const
{
    char text[400];
    std::snprintf(text, sizeof(text),
                  "found=%d frames=%llu first=%llu last=%llu highest=%llu lead-mute=%llu gaps=%llu missing=%llu "
                  "repeats=%llu repeated=%llu mute-runs=%llu mute-bytes=%llu bad=%llu trail-mute=%llu tail=%llu",
                  found ? 1 : 0, static_cast<unsigned long long>(frames), static_cast<unsigned long long>(firstIndex),
                  static_cast<unsigned long long>(lastIndex), static_cast<unsigned long long>(highestIndex),
                  static_cast<unsigned long long>(leadingMuteBytes), static_cast<unsigned long long>(gaps),
                  static_cast<unsigned long long>(missingFrames), static_cast<unsigned long long>(repeats),
                  static_cast<unsigned long long>(repeatedFrames), static_cast<unsigned long long>(muteRuns),
                  static_cast<unsigned long long>(muteBytes), static_cast<unsigned long long>(badFrames),
                  static_cast<unsigned long long>(trailingMuteBytes), static_cast<unsigned long long>(tailBytes));
    return text;
}

CounterCheck checkCounter(const uint8_t* bytes, size_t size, uint64_t format, uint32_t channels)
{
    CounterCheck r;
    if (!isPlayableFormat(format) || channels == 0) {
        return r;
    }
    const Reader in(bytes, size, format, channels);
    const size_t frame = in.frame();
    const uint64_t mask = in.mask();
    const uint64_t half = (mask >> 1) + 1;

    size_t at = in.skipMute(0);
    if (at == size) {
        r.leadingMuteBytes = size;
        return r;
    }
    at = in.align(0, at);
    r.leadingMuteBytes = at;
    uint64_t last = 0;
    while (in.fits(at)) {
        uint64_t v = 0;
        if (in.mute(at, frame)) {
            // Where the sample bits wrap the index is mute as well; it is the
            // counter when the next frame goes on from it.
            uint64_t after;
            const bool wrap = r.found && ((last + 1) & mask) == 0 && in.fits(at + frame) && in.decode(at + frame, after)
                              && after == 1;
            if (!wrap) {
                const size_t q = in.skipMute(at);
                if (q == size) {
                    break;
                }
                const size_t next = in.align(at, q);
                if (r.found) {
                    ++r.muteRuns;
                    r.muteBytes += next - at;
                } else {
                    r.leadingMuteBytes = next;
                }
                at = next;
                continue;
            }
        } else if (!in.decode(at, v)) {
            // Taken as the frame due there, so the next one is no gap.
            ++r.badFrames;
            at += frame;
            if (r.found) {
                ++last;
            }
            continue;
        }
        at += frame;
        if (!r.found) {
            r.found = true;
            r.firstIndex = r.lastIndex = r.highestIndex = last = v;
            r.frames = 1;
            if (v == 1 && r.leadingMuteBytes >= frame) {
                r.leadingMuteBytes -= frame;
                r.firstIndex = 0;
                r.frames = 2;
            }
            continue;
        }
        const uint64_t expected = last + 1;
        const uint64_t delta = (v - expected) & mask;
        uint64_t index = expected;
        if (delta != 0 && delta < half) {
            index = expected + delta;
        } else if (delta != 0) {
            const uint64_t back = mask + 1 - delta;
            index = back > expected ? 0 : expected - back;
        }
        if (index != expected) {
            if (index > r.highestIndex + 1) {
                ++r.gaps;
                r.missingFrames += index - r.highestIndex - 1;
            } else if (index <= r.highestIndex) {
                ++r.repeats;
            }
        }
        if (index <= r.highestIndex) {
            ++r.repeatedFrames;
        } else {
            r.highestIndex = index;
        }
        last = r.lastIndex = index;
        ++r.frames;
    }
    if (at < size) {
        if (in.mute(at, size - at)) {
            r.trailingMuteBytes = size - at;
        } else {
            r.tailBytes = size - at;
        }
    }
    return r;
}

}  // namespace testbed
