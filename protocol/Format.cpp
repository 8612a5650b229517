#include "protocol/Format.h"

#include <bit>

namespace QUORVIN {

namespace {

constexpr uint64_t CHANNEL_MASK = 0xFF;
constexpr uint64_t FORMAT_PART = 0xFFFFFF00ULL;  // sample code, DSD orders, word code
constexpr uint64_t RATE_PART = 0xFFFF00000000ULL;
constexpr unsigned DSD_WORD_SHIFT = 24;

unsigned channelsOf(unsigned code)
{
    switch (code) {
    case 0x01:
        return 1;
    case 0x02:
        return 2;
    case 0x04:
        return 4;
    case 0x08:
        return 6;
    case 0x10:
        return 8;
    case 0x20:
        return 16;
    default:
        return 0;
    }
}

// Counts of the channel code bits, lowest bit first.
constexpr unsigned CHANNEL_COUNTS[6] = {1, 2, 4, 6, 8, 16};

unsigned baseOf(unsigned bits)
{
    switch (bits) {
    case 1:
        return 8000;
    case 2:
        return 44100;
    case 4:
        return 48000;
    default:
        return 0;
    }
}

}  // namespace

// ---- FormatConfigure

bool FormatConfigure::isSigned() const
{
    const uint32_t c = sampleCode();
    return c == 0x100 || c == 0x200 || c == 0x400 || c == 0x800 || c == 0x1000;
}

bool FormatConfigure::isFloat() const
{
    const uint32_t c = sampleCode();
    return c == 0x2000 || c == 0x4000;
}

bool FormatConfigure::isDSD1() const
{
    const uint32_t c = sampleCode();
    return c == 0x10000 || c == 0x20000;
}

bool FormatConfigure::isDSD4() const
{
    return isDSD1();
}

unsigned FormatConfigure::getWid() const
{
    switch (sampleCode()) {
    case 0x100:
        return 1;
    case 0x200:
        return 2;
    case 0x400:
        return 3;
    case 0x800:
        return 4;
    case 0x1000:
        return 8;
    case 0x2000:
        return 4;
    case 0x4000:
        return 8;
    case 0x10000:
    case 0x20000:
        return ((value >> DSD_WORD_SHIFT) & 0xFF) == 2 ? 4 : 2;
    default:
        return 2;
    }
}

unsigned FormatConfigure::getBits() const
{
    switch (sampleCode()) {
    case 0x100:
        return 8;
    case 0x200:
        return 16;
    case 0x400:
        return 24;
    case 0x800:
        return 32;
    case 0x1000:
        return 64;
    case 0x2000:
        return 32;
    case 0x4000:
        return 64;
    case 0x10000:
        return 1;
    case 0x20000:
        return 4;
    default:
        return 16;
    }
}

unsigned FormatConfigure::getChannel() const
{
    const unsigned n = channelsOf(static_cast<unsigned>(value & CHANNEL_MASK));
    return n == 0 ? 2 : n;
}

unsigned FormatConfigure::getSpeedBase() const
{
    const unsigned base = static_cast<unsigned>((value >> 32) & 7);
    const bool multi = ((value >> 35) & 0x1FFF) != 0;
    if (base == 1 && multi) {
        return 0;
    }
    return baseOf(base);
}

unsigned FormatConfigure::getSpeedMulti() const
{
    const unsigned bits = static_cast<unsigned>((value >> 35) & 0x1FFF);
    if (!std::has_single_bit(bits)) {
        return 0;
    }
    return bits;  // bit k stands for 2^k
}

unsigned long FormatConfigure::getSpeed() const
{
    return static_cast<unsigned long>(getSpeedBase()) * getSpeedMulti();
}

uint8_t FormatConfigure::getMuteByte() const
{
    if (!isDSD()) {
        return 0x00;
    }
    return isDSDlsb() ? 0x69 : 0x96;
}

bool FormatConfigure::isValid() const
{
    if (channelsOf(static_cast<unsigned>(value & CHANNEL_MASK)) == 0) {
        return false;
    }
    const uint32_t code = sampleCode();
    const bool pcm = code == 0x100 || code == 0x200 || code == 0x400 || code == 0x800 || code == 0x1000
                     || code == 0x2000 || code == 0x4000;
    if (pcm) {
        return ((value >> 20) & 0xFFF) == 0;
    }
    if (code != 0x10000 && code != 0x20000) {
        return false;
    }
    if (isDSDlsb() == isDSDmsb() || isDSDlittle() == isDSDbig()) {
        return false;
    }
    if (((value >> DSD_WORD_SHIFT) & 0xFF) != 2) {
        return false;
    }
    return getSpeed() > 2822399;
}

bool FormatConfigure::setChannel(unsigned int channels)
{
    for (unsigned i = 0; i < 6; ++i) {
        if (CHANNEL_COUNTS[i] == channels) {
            value = (value & ~CHANNEL_MASK) | (1U << i);
            return true;
        }
    }
    return false;
}

bool FormatConfigure::setSpeed(unsigned long hz)
{
    uint64_t code = 0;
    if (hz == 8000) {
        code = 0x0001;
    } else {
        for (unsigned k = 0; k <= 12 && code == 0; ++k) {
            if (hz == (44100UL << k)) {
                code = 0x0002 | (8U << k);
            } else if (hz == (48000UL << k)) {
                code = 0x0004 | (8U << k);
            }
        }
    }
    if (code == 0) {
        return false;
    }
    value = (value & ~RATE_PART) | (code << 32);
    return true;
}

bool FormatConfigure::setFormat(FormatID id)
{
    const uint64_t v = id;
    const uint64_t ch = v & CHANNEL_MASK;
    const uint64_t fmt = v & FORMAT_PART & 0xFFFFFFFFULL;
    const uint64_t rate = v & RATE_PART;
    if (ch == 0 && fmt == 0 && rate == 0) {
        return false;
    }
    if (ch != 0) {
        value = (value & ~CHANNEL_MASK) | ch;
    }
    if (fmt != 0) {
        value = (value & ~(FORMAT_PART & 0xFFFFFFFFULL)) | fmt;
    }
    if (rate != 0) {
        value = (value & ~RATE_PART) | rate;
    }
    value |= v & 0xFFFF000000000000ULL;
    return true;
}

// ---- FormatSupport

unsigned FormatSupport::getChMin() const
{
    for (unsigned i = 0; i < 6; ++i) {
        if ((value >> i) & 1) {
            return CHANNEL_COUNTS[i];
        }
    }
    return 0;
}

unsigned FormatSupport::getChMax() const
{
    for (int i = 5; i >= 0; --i) {
        if ((value >> i) & 1) {
            return CHANNEL_COUNTS[i];
        }
    }
    return 0;
}

unsigned FormatSupport::getBitsMin() const
{
    if (value & 0x10000) {
        return 1;
    }
    if (value & 0x20000) {
        return 4;
    }
    if (value & 0x100) {
        return 8;
    }
    if (value & 0x200) {
        return 16;
    }
    if (value & 0x400) {
        return 24;
    }
    if (value & (0x800 | 0x2000)) {
        return 32;
    }
    if (value & (0x1000 | 0x4000)) {
        return 64;
    }
    return 0;
}

unsigned FormatSupport::getBitsMax() const
{
    if (value & (0x1000 | 0x4000)) {
        return 64;
    }
    if (value & (0x800 | 0x2000)) {
        return 32;
    }
    if (value & 0x400) {
        return 24;
    }
    if (value & 0x200) {
        return 16;
    }
    if (value & 0x100) {
        return 8;
    }
    if (value & 0x20000) {
        return 4;
    }
    if (value & 0x10000) {
        return 1;
    }
    return 0;
}

unsigned FormatSupport::getSpeedBaseMin() const
{
    if ((value >> 32) & 1) {
        return 8000;
    }
    if ((value >> 33) & 1) {
        return 44100;
    }
    if ((value >> 34) & 1) {
        return 48000;
    }
    return 0;
}

unsigned FormatSupport::getSpeedBaseMax() const
{
    if ((value >> 34) & 1) {
        return 48000;
    }
    if ((value >> 33) & 1) {
        return 44100;
    }
    if ((value >> 32) & 1) {
        return 8000;
    }
    return 0;
}

unsigned FormatSupport::getSpeedMultMin() const
{
    const unsigned bits = static_cast<unsigned>((value >> 35) & 0x1FFF);
    return bits == 0 ? 0 : 1U << std::countr_zero(bits);
}

unsigned FormatSupport::getSpeedMultMax() const
{
    const unsigned bits = static_cast<unsigned>((value >> 35) & 0x1FFF);
    return bits == 0 ? 0 : std::bit_floor(bits);
}

// ---- FormatPreConfigure

FormatPreConfigure::FormatPreConfigure(FormatConfigure format, unsigned short latency)
{
    uint64_t pre = 0;
    if (format.isPCM()) {
        pre = format.isFloat() ? PRE_FLOAT : PRE_SIGNED;
    } else {
        pre = format.isDSD1() ? PRE_DSD4 : PRE_DSD1;
    }
    value = (format.value & CHANNEL_MASK) | pre | (static_cast<uint64_t>(latency) << 16)
            | (format.value & 0xFFFFFFFF00000000ULL);
}

bool FormatPreConfigure::operator==(FormatConfigure format) const
{
    return FormatPreConfigure(format, getLatency()).value == value;
}

void FormatPreConfigure::setLatency(unsigned short latency)
{
    value = (value & ~0xFFFF0000ULL) | (static_cast<uint64_t>(latency) << 16);
}

void FormatPreConfigure::setPreFormat(FormatPreID id)
{
    value = (value & ~0xFF00ULL) | static_cast<uint64_t>(id);
}

}  // namespace QUORVIN
