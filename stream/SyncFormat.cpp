// Sink format acceptance: whether the sink's capability masks cover the
// host's format, the DSD bit-order and word-order conversions that make a
// one-bit DSD stream acceptable when they do not, and the two sizes the
// profile maker takes from the masks.
#include <cstdint>

#include "foundation/SysLog.h"
#include "protocol/Format.h"
#include "stream/Sync.h"

namespace QUORVIN {

namespace {

constexpr uint64_t DSD_ONE_BIT = 0x10000;
constexpr uint64_t DSD_LITTLE_WORDS = 0x400000;
constexpr uint64_t DSD_BIG_WORDS = 0x800000;
constexpr uint64_t DSD_WORDS_32 = 0x2000000;
// Every bit of the format counts, the uninterpreted high ones too: a sink
// is not handed a format with bits it never offered.
bool covered(FormatConfigure format, FormatSupport mask)
{
    return (format.value & ~mask.value) == 0;
}

// One DSD conversion: the sink's format part, the routine that produces it
// from the host's words, and the line that announces it.
struct Conversion {
    FormatID target;
    CopyRoutine routine;
    const char* text;
};

// Keeps the host's bit order and turns the word byte order around.
Conversion sameOrder(bool msb, bool big)
{
    if (!msb) {
        return big ? Conversion{DSD1_LSB_LITTLE, Sync::memcpySyncByteSwap32, "DSD COVERT LSB Big -> LSB littele"}
                   : Conversion{DSD1_LSB_BIG, Sync::memcpySyncByteSwap32, "DSD COVERT LSB littele -> LSB Big"};
    }
    return big ? Conversion{DSD1_MSB_LITTLE, Sync::memcpySyncByteSwap32, "DSD COVERT MSB Big -> MSB littele"}
               : Conversion{DSD1_MSB_BIG, Sync::memcpySyncByteSwap32, "DSD COVERT MSB littele -> MSB Big"};
}

// Turns the bit order around; the byte order too when the sink offers the
// other endianness in that bit order.
Conversion otherOrder(bool msb, bool big, bool oppositeEndianOffered)
{
    if (!msb) {
        if (!big) {
            return oppositeEndianOffered
                       ? Conversion{DSD1_MSB_BIG, Sync::memcpySyncBitByteSwap32, "DSD COVERT LSB littele -> MSB Big"}
                       : Conversion{DSD1_MSB_LITTLE, Sync::memcpySyncBitSwap32,
                                    "DSD COVERT LSB littele -> MSB littele"};
        }
        return oppositeEndianOffered
                   ? Conversion{DSD1_MSB_LITTLE, Sync::memcpySyncBitByteSwap32, "DSD COVERT LSB Big -> MSB littele"}
                   : Conversion{DSD1_MSB_BIG, Sync::memcpySyncBitSwap32, "DSD COVERT LSB Big -> MSB Big"};
    }
    if (!big) {
        return oppositeEndianOffered
                   ? Conversion{DSD1_LSB_BIG, Sync::memcpySyncBitByteSwap32, "DSD COVERT MSB littele -> LSB Big"}
                   : Conversion{DSD1_LSB_LITTLE, Sync::memcpySyncBitSwap32, "DSD COVERT MSB littele -> LSB littele"};
    }
    return oppositeEndianOffered
               ? Conversion{DSD1_LSB_LITTLE, Sync::memcpySyncBitByteSwap32, "DSD COVERT MSB Big -> LSB littele"}
               : Conversion{DSD1_LSB_BIG, Sync::memcpySyncBitSwap32, "DSD COVERT MSB Big -> LSB Big"};
}

}  // namespace

bool Sync::checkSinkSupport(FormatConfigure format) const
{
    if (format.isPCM()) {
        return covered(format, sincSupportPCM);
    }
    if (format.isDSD()) {
        if (format.isDSDlsb()) {
            return covered(format, sincSupportDSDlsb);
        }
        if (format.isDSDmsb()) {
            return covered(format, sincSupportDSDmsb);
        }
        return covered(format, FormatSupport(sincSupportDSDlsb.value | sincSupportDSDmsb.value));
    }
    return false;
}

bool Sync::setSinkConfigure(FormatConfigure format)
{
    if (checkSinkSupport(format)) {
        copyRoutine = memcpySyncOrg;
        hostConfig = format;
        sinkConfig = format;
        return true;
    }
    const uint64_t dsdOffered = sincSupportDSDlsb.value | sincSupportDSDmsb.value;
    if (!format.isDSD1() || (dsdOffered & DSD_ONE_BIT) == 0 || format.getWid() != 4) {
        return false;
    }

    const bool msb = !format.isDSDlsb();
    const bool big = !format.isDSDlittle();
    const FormatSupport same = msb ? sincSupportDSDmsb : sincSupportDSDlsb;
    const FormatSupport other = msb ? sincSupportDSDlsb : sincSupportDSDmsb;

    Conversion conversion{};
    if ((same.value & DSD_WORDS_32) != 0) {
        conversion = sameOrder(msb, big);
    } else if ((other.value & DSD_WORDS_32) != 0) {
        conversion = otherOrder(msb, big, (other.value & (big ? DSD_LITTLE_WORDS : DSD_BIG_WORDS)) != 0);
    } else {
        return false;
    }
    TIVRA::SYSLOG_INFO << conversion.text;

    FormatConfigure candidate = format;
    candidate.setFormat(conversion.target);
    if (!checkSinkSupport(candidate)) {
        return false;
    }
    copyRoutine = conversion.routine;
    sinkConfig = candidate;
    hostConfig = format;
    return true;
}

namespace {

struct NamedMask {
    const char* label;
    FormatSupport mask;
};

}  // namespace

uint32_t Sync::getNoneBaseMin() const
{
    const NamedMask masks[] = {{"sincSupportPCM=", sincSupportPCM},
                               {"sincSupportDSDlsb=", sincSupportDSDlsb},
                               {"sincSupportDSDmsb=", sincSupportDSDmsb}};
    uint32_t result = 0xFFFFFFFF;
    for (const NamedMask& entry : masks) {
        const FormatSupport m = entry.mask;
        if (m.value == 0) {
            continue;
        }
        const uint32_t v = (uint32_t{m.getSpeedMultMin()} * m.getBitsMax() * m.getChMax()) >> 3;
        TIVRA::SYSLOG_INFO << entry.label << static_cast<unsigned long>(m.value) << " si=" << v;
        if (v != 0 && v < result) {
            result = v;
        }
    }
    return result;
}

uint32_t Sync::getFrameMax() const
{
    const NamedMask masks[] = {{"sincSupportPCM=", sincSupportPCM},
                               {"sincSupportDSDlsb=", sincSupportDSDlsb},
                               {"sincSupportDSDmsb=", sincSupportDSDmsb}};
    uint32_t result = 0;
    for (const NamedMask& entry : masks) {
        const FormatSupport m = entry.mask;
        if (m.value == 0) {
            continue;
        }
        const uint32_t v = (uint32_t{m.getBitsMax()} * m.getChMax()) >> 3;
        TIVRA::SYSLOG_INFO << entry.label << static_cast<unsigned long>(m.value) << " si=" << v;
        if (v > result) {
            result = v;
        }
    }
    return result;
}

}  // namespace QUORVIN
