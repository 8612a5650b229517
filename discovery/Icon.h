// A small image downloaded from a target: row-major pixels of four bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace QUORVIN {

struct Icon {
    // Four-byte formats: the bytes as received. The one-byte format (alpha
    // only): the received byte last, the first three 0.
    struct Pixel {
        uint8_t byte[4] = {0, 0, 0, 0};
        bool operator==(const Pixel&) const = default;
    };

    bool alphaOnly = false;
    std::vector<Pixel> pixels;  // `width` per row
    uint16_t width = 0;

    bool empty() const { return pixels.empty(); }
    void clear()
    {
        alphaOnly = false;
        pixels.clear();
        pixels.shrink_to_fit();
        width = 0;
    }
};

}  // namespace QUORVIN
