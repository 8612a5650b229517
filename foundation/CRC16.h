// CRC-16/USB (poly 0x8005 reflected, init 0xFFFF, final XOR 0xFFFF) over a
// byte stream that arrives in pieces.
#pragma once

#include <array>
#include <cstdint>

#include "foundation/Buffer.h"

namespace TIVRA {

namespace crc16_detail {

// Entry i is the reflected CRC of the single byte i.
constexpr std::array<uint16_t, 256> makeTable()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t r = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 1) ? static_cast<uint16_t>((r >> 1) ^ 0xA001) : static_cast<uint16_t>(r >> 1);
        }
        t[i] = r;
    }
    return t;
}

}  // namespace crc16_detail

struct CRC16 {
    static constexpr std::array<uint16_t, 256> Table = crc16_detail::makeTable();

    uint16_t crc = 0xFFFF;  // running register, not yet complemented

    CRC16() = default;

    void clear();
    // Feeds the view's bytes, first byte first.
    void update(BufferCS_const bytes);
    // Finished CRC; the register is untouched, so feeding may go on.
    uint16_t get() const { return static_cast<uint16_t>(crc ^ 0xFFFF); }
};

static_assert(CRC16::Table[0] == 0x0000 && CRC16::Table[1] == 0xC0C1 && CRC16::Table[255] == 0x4040);

}  // namespace TIVRA
