#include "foundation/CRC16.h"

namespace TIVRA {

void CRC16::clear()
{
    crc = 0xFFFF;
}

void CRC16::update(BufferCS_const bytes)
{
    uint16_t r = crc;
    for (size_t i = 0; i < bytes.viewSize; ++i) {
        r = static_cast<uint16_t>((r >> 8) ^ Table[(r ^ bytes.viewData[i]) & 0xFF]);
    }
    crc = r;
}

}  // namespace TIVRA
