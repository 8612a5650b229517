// Stream format descriptors: the bit-packed 64-bit stream format, a target's
// capability mask with the same bit positions, and the connect-preparation
// value.
#pragma once

#include <cstdint>

namespace QUORVIN {

// Partial FormatConfigure values for setFormat.
enum FormatID : uint64_t {
    PCM8 = 0x100,
    PCM16 = 0x200,
    PCM24 = 0x400,
    PCM32 = 0x800,
    PCM64 = 0x1000,
    FLOAT32 = 0x2000,
    FLOAT64 = 0x4000,
    DSD1_LSB_LITTLE = 0x2510000,
    DSD1_MSB_LITTLE = 0x2610000,
    DSD1_LSB_BIG = 0x2910000,
    DSD1_MSB_BIG = 0x2A10000,
};

// Pre-format values, already in bits 8-15.
enum FormatPreID : uint64_t {
    PRE_SIGNED = 0x100,
    PRE_FLOAT = 0x200,
    PRE_DSD1 = 0x400,
    PRE_DSD4 = 0x800,
};

class FormatConfigure {
public:
    constexpr FormatConfigure(uint64_t v = 0) : value(v) {}
    constexpr operator uint64_t() const { return value; }

    bool isPCM() const { return (value & 0xFF00) != 0; }
    bool isDSD() const { return (value & 0xF0000) != 0; }
    bool isSigned() const;
    bool isFloat() const;
    bool isDSD1() const;
    bool isDSD4() const;
    bool isDSDlsb() const { return (value >> 20) & 1; }
    bool isDSDmsb() const { return (value >> 21) & 1; }
    bool isDSDlittle() const { return (value >> 22) & 1; }
    bool isDSDbig() const { return (value >> 23) & 1; }
    unsigned getWid() const;
    unsigned getBits() const;
    unsigned getChannel() const;
    unsigned getSpeedBase() const;
    unsigned getSpeedMulti() const;
    unsigned long getSpeed() const;
    uint8_t getMuteByte() const;
    bool isValid() const;

    bool setChannel(unsigned int channels);
    bool setSpeed(unsigned long hz);
    bool setFormat(FormatID id);
    bool setFormat(uint64_t id) { return setFormat(static_cast<FormatID>(id)); }

    uint32_t sampleCode() const { return static_cast<uint32_t>((value >> 8) & 0xFFF) << 8; }

    uint64_t value;
};

class FormatSupport {
public:
    constexpr FormatSupport(uint64_t v = 0) : value(v) {}
    constexpr operator uint64_t() const { return value; }

    unsigned getChMin() const;
    unsigned getChMax() const;
    bool havePCM() const { return (value & 0xFF00) != 0; }
    bool haveDSD() const { return (value & 0xF0000) != 0; }
    unsigned getBitsMin() const;
    unsigned getBitsMax() const;
    unsigned getSpeedBaseMin() const;
    unsigned getSpeedBaseMax() const;
    unsigned getSpeedMultMin() const;
    unsigned getSpeedMultMax() const;

    uint64_t value;
};

class FormatPreConfigure {
public:
    constexpr FormatPreConfigure(uint64_t v = 0) : value(v) {}
    FormatPreConfigure(FormatConfigure format, unsigned short latency);
    constexpr operator uint64_t() const { return value; }

    // Equal to what the constructor builds from format with this latency.
    bool operator==(FormatConfigure format) const;

    bool isPCM() const { return getPreFormat() == PRE_SIGNED || getPreFormat() == PRE_FLOAT; }
    bool isSigned() const { return getPreFormat() == PRE_SIGNED; }
    bool isFloat() const { return getPreFormat() == PRE_FLOAT; }
    bool isDSD() const { return getPreFormat() == PRE_DSD1 || getPreFormat() == PRE_DSD4; }
    bool isDSD1() const { return getPreFormat() == PRE_DSD1; }
    bool isDSD4() const { return getPreFormat() == PRE_DSD4; }
    void setLatency(unsigned short latency);
    unsigned short getLatency() const { return static_cast<unsigned short>(value >> 16); }
    void setPreFormat(FormatPreID id);
    uint64_t getPreFormat() const { return value & 0xFF00; }

    uint64_t value;
};

}  // namespace QUORVIN
