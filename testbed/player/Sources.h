// What a card player plays: a counter pattern that a recording can be
// checked against, a sine, or the data of a WAV file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testbed {

class Source {
public:
    virtual ~Source() = default;
    // Up to `frames` frames into out; fewer only at the source's end.
    virtual size_t read(uint8_t* out, size_t frames) = 0;
    virtual uint64_t format() const = 0;
    virtual uint32_t channels() const = 0;
    uint32_t frameBytes() const;
};

// Frame i carries i in every channel's sample: the low 16 bits for PCM16,
// 24 for PCM24, 32 for PCM32 and for a DSD word, little-endian, every byte
// XOR-ed with the format's mute byte so that frame 0 is mute in every format.
void writeCounterFrame(uint8_t* out, uint64_t format, uint32_t channels, uint64_t index);
// The bits an index keeps in a counter frame: 0xFFFF, 0xFFFFFF, 0xFFFFFFFF.
uint64_t counterMask(uint64_t format);

class CounterSource : public Source {
public:
    // frames 0: endless.
    CounterSource(uint64_t format, uint32_t channels, uint64_t frames = 0);
    size_t read(uint8_t* out, size_t frames) override;
    uint64_t format() const override { return format_; }
    uint32_t channels() const override { return channels_; }

private:
    uint64_t format_;
    uint32_t channels_;
    uint64_t limit_;
    uint64_t next_ = 0;
};

// The same tone in every channel. `rate` is the sample rate for PCM and the
// one-bit rate for DSD (a second-order delta-sigma modulator).
class SineSource : public Source {
public:
    SineSource(uint64_t format, uint32_t channels, uint64_t rate, double frequency, double amplitude,
               uint64_t frames = 0);
    size_t read(uint8_t* out, size_t frames) override;
    uint64_t format() const override { return format_; }
    uint32_t channels() const override { return channels_; }

private:
    double next();

    uint64_t format_;
    uint32_t channels_;
    double step_;
    double amplitude_;
    uint64_t limit_;
    uint64_t frame_ = 0;
    uint64_t sample_ = 0;
    double integrator1_ = 0.0;
    double integrator2_ = 0.0;
    double out_ = -1.0;
};

struct WavInfo {
    uint32_t channels = 0;
    uint32_t rate = 0;
    uint32_t bits = 0;    // of the sample container: 16, 24 or 32
    uint64_t format = 0;  // the card's PCM code for it
    size_t dataOffset = 0;
    size_t dataBytes = 0;  // whole frames only
};

// RIFF/WAVE with a fmt chunk (PCM, or extensible with the PCM sub-format) of
// 16-, 24- or 32-bit little-endian samples and a data chunk; other chunks are
// skipped, odd chunks padded. A data size beyond the file (a stream that was
// never finished) is cut to what the file holds.
bool parseWav(const uint8_t* bytes, size_t size, WavInfo& info, std::string& error);

class WavSource : public Source {
public:
    // The whole file is read at once; false with a reason when it cannot be played.
    bool open(const std::string& path, std::string& error);
    // A file already in memory (tests).
    bool assign(std::vector<uint8_t> file, std::string& error);
    const WavInfo& info() const { return info_; }
    size_t read(uint8_t* out, size_t frames) override;
    uint64_t format() const override { return info_.format; }
    uint32_t channels() const override { return info_.channels; }

private:
    std::vector<uint8_t> file_;
    WavInfo info_;
    size_t position_ = 0;
};

}  // namespace testbed
