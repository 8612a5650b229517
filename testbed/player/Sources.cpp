#include "testbed/player/Sources.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>

#include "bridge/BridgeMemHeader.h"
#include "testbed/player/CardFormat.h"

namespace testbed {

uint32_t Source::frameBytes() const
{
    return sampleBytes(format()) * channels();
}

uint64_t counterMask(uint64_t format)
{
    const uint32_t bytes = sampleBytes(format);
    return bytes == 0 ? 0 : (uint64_t{1} << (8 * bytes)) - 1;
}

void writeCounterFrame(uint8_t* out, uint64_t format, uint32_t channels, uint64_t index)
{
    const uint32_t bytes = sampleBytes(format);
    const uint8_t mute = muteByte(format);
    for (uint32_t c = 0; c < channels; ++c) {
        for (uint32_t b = 0; b < bytes; ++b) {
            *out++ = static_cast<uint8_t>((index >> (8 * b)) ^ mute);
        }
    }
}

CounterSource::CounterSource(uint64_t format, uint32_t channels, uint64_t frames)
    : format_(format), channels_(channels), limit_(frames)
{
}

size_t CounterSource::read(uint8_t* out, size_t frames)
{
    if (limit_ != 0 && frames > limit_ - next_) {
        frames = static_cast<size_t>(limit_ - next_);
    }
    const uint32_t step = frameBytes();
    for (size_t i = 0; i < frames; ++i) {
        writeCounterFrame(out + i * step, format_, channels_, next_++);
    }
    return frames;
}

SineSource::SineSource(uint64_t format, uint32_t channels, uint64_t rate, double frequency, double amplitude,
                       uint64_t frames)
    : format_(format),
      channels_(channels),
      step_(rate == 0 ? 0.0 : 2.0 * std::numbers::pi * frequency / static_cast<double>(rate)),
      amplitude_(amplitude),
      limit_(frames)
{
}

double SineSource::next()
{
    // The phase from the sample number, so that a long run does not drift.
    return amplitude_ * std::sin(step_ * static_cast<double>(sample_++));
}

size_t SineSource::read(uint8_t* out, size_t frames)
{
    if (limit_ != 0 && frames > limit_ - frame_) {
        frames = static_cast<size_t>(limit_ - frame_);
    }
    const uint32_t bytes = sampleBytes(format_);
    if (!isDsdFormat(format_)) {
        const double full = static_cast<double>((int64_t{1} << (8 * bytes - 1)) - 1);
        for (size_t i = 0; i < frames; ++i) {
            const int64_t value = std::llround(next() * full);
            for (uint32_t c = 0; c < channels_; ++c) {
                for (uint32_t b = 0; b < bytes; ++b) {
                    *out++ = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * b));
                }
            }
        }
        frame_ += frames;
        return frames;
    }
    // 32 one-bit samples per channel and frame, in time order bytes B0..B3;
    // the first sample in a byte is its bit 0 for lsb-first, bit 7 for
    // msb-first; the word is B0 << 24 | .. | B3, stored in the word order.
    const bool lsb = muteByte(format_) == 0x69;
    const bool little =
        format_ == QUORVIN::QUORVIN_BR_FORMAT_DSD1_LSB_LITTLE || format_ == QUORVIN::QUORVIN_BR_FORMAT_DSD1_MSB_LITTLE;
    for (size_t i = 0; i < frames; ++i) {
        uint8_t time[4] = {};
        for (int bit = 0; bit < 32; ++bit) {
            const double x = next();
            integrator1_ += x - out_;
            integrator2_ += integrator1_ - out_;
            out_ = integrator2_ >= 0.0 ? 1.0 : -1.0;
            if (out_ > 0.0) {
                const int inByte = bit % 8;
                time[bit / 8] |= static_cast<uint8_t>(1u << (lsb ? inByte : 7 - inByte));
            }
        }
        for (uint32_t c = 0; c < channels_; ++c) {
            for (int b = 0; b < 4; ++b) {
                *out++ = little ? time[3 - b] : time[b];
            }
        }
    }
    frame_ += frames;
    return frames;
}

namespace {

uint16_t le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16
           | static_cast<uint32_t>(p[3]) << 24;
}

constexpr uint16_t kWavePcm = 1;
constexpr uint16_t kWaveExtensible = 0xFFFE;

}  // namespace

bool parseWav(const uint8_t* bytes, size_t size, WavInfo& info, std::string& error)
{
    info = WavInfo{};
    if (size < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0) {
        error = "not a RIFF/WAVE file";
        return false;
    }
    bool haveFormat = false;
    size_t at = 12;
    while (size - at >= 8) {
        const uint8_t* chunk = bytes + at;
        const uint64_t length = le32(chunk + 4);
        const size_t body = at + 8;
        const size_t left = size - body;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (length < 16 || left < 16) {
                error = "fmt chunk too short";
                return false;
            }
            const uint8_t* f = bytes + body;
            uint16_t tag = le16(f);
            const uint32_t channels = le16(f + 2);
            const uint32_t rate = le32(f + 4);
            const uint32_t blockAlign = le16(f + 12);
            const uint32_t bits = le16(f + 14);
            if (tag == kWaveExtensible) {
                // The sub-format GUID's first two bytes hold the real tag.
                if (length < 40 || left < 40) {
                    error = "extensible fmt chunk too short";
                    return false;
                }
                tag = le16(f + 24);
            }
            if (tag != kWavePcm) {
                char text[64];
                std::snprintf(text, sizeof(text), "not integer PCM (format tag 0x%x)", tag);
                error = text;
                return false;
            }
            if (bits != 16 && bits != 24 && bits != 32) {
                error = "unsupported sample size " + std::to_string(bits) + " bits";
                return false;
            }
            if (channels == 0 || blockAlign != channels * (bits / 8)) {
                error = "inconsistent fmt chunk (channels " + std::to_string(channels) + ", block align "
                        + std::to_string(blockAlign) + ")";
                return false;
            }
            if (rate == 0) {
                error = "sample rate 0";
                return false;
            }
            info.channels = channels;
            info.rate = rate;
            info.bits = bits;
            info.format = bits == 16   ? QUORVIN::QUORVIN_BR_FORMAT_PCM16
                          : bits == 24 ? QUORVIN::QUORVIN_BR_FORMAT_PCM24
                                       : QUORVIN::QUORVIN_BR_FORMAT_PCM32;
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                error = "data chunk before the fmt chunk";
                return false;
            }
            const size_t data = length > left ? left : static_cast<size_t>(length);
            const size_t frame = info.channels * (info.bits / 8);
            info.dataOffset = body;
            info.dataBytes = data - data % frame;
            return true;
        }
        // Chunks are padded to an even length.
        const uint64_t next = uint64_t{body} + length + (length & 1);
        if (next > size) {
            break;
        }
        at = static_cast<size_t>(next);
    }
    error = haveFormat ? "no data chunk" : "no fmt chunk";
    return false;
}

bool WavSource::assign(std::vector<uint8_t> file, std::string& error)
{
    file_ = std::move(file);
    position_ = 0;
    return parseWav(file_.data(), file_.size(), info_, error);
}

bool WavSource::open(const std::string& path, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    return assign(std::move(bytes), error);
}

size_t WavSource::read(uint8_t* out, size_t frames)
{
    const size_t frame = frameBytes();
    if (frame == 0) {
        return 0;
    }
    const size_t left = (info_.dataBytes - position_) / frame;
    if (frames > left) {
        frames = left;
    }
    std::memcpy(out, file_.data() + info_.dataOffset + position_, frames * frame);
    position_ += frames * frame;
    return frames;
}

}  // namespace testbed
