// The target's icons: families 0-2 of numbered images, each asked for by
// its geometry and then its pixels in parts.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/FileInf.h"
#include "protocol/Message.h"
#include "testbed/emulator/Request.h"

namespace testbed {

struct IconImage {
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t format = 0;  // 0 and 1: four bytes per pixel; 2: one
    // Row-major pixel bytes; what is left out comes from iconPatternByte.
    std::vector<uint8_t> bytes;
};

struct IconConfig {
    enum PixelFault : uint8_t {
        NO_FAULT,
        EMPTY_PIXELS,       // a pixel answer without payload
        MISALIGNED_PIXELS,  // a four-byte answer one byte short
        // Every pixel to the image's end and one more (the host reads 1500
        // bytes at most: fault the last ask).
        TOO_MANY_PIXELS,
    };
    // By family and number. Numbers not listed answer the geometry 0 x 0
    // (no icon) and refuse pixel asks.
    std::map<std::pair<uint16_t, uint16_t>, IconImage> icons;
    // Pixels in one answer at most (0: as many as asked, up to a datagram).
    uint32_t pixelsPerAnswer = 0;
    PixelFault fault = NO_FAULT;
    // The fault hits only the answer to the ask that starts at this row
    // (from 0); unset: every pixel answer.
    std::optional<uint16_t> faultRow;
};

// Group [icons]: `pixelsPerAnswer`, `fault` (none, empty, misaligned,
// too-many), `faultRow`; groups [icon.F.N] (family 0-2, number): `width`,
// `height`, `format`, the pixels generated. False with `error` set for
// unknown keys and malformed values.
bool parseIconGroups(const TIVRA::FileInf& settings, IconConfig& out, std::string& error);

// Byte `index` of the generated image of an icon.
uint8_t iconPatternByte(uint16_t family, uint16_t number, uint64_t index);

struct DiscoveryView;
struct DiscoveryState;
// ICON0_REQ, ICON1_REQ, ICON2_REQ: options 1 and 2 zero ask for the
// geometry (answer options 1-3: width, height, format); otherwise option 1
// is the column + 1, option 2 the row + 1 and option 3 the pixel count + 1
// (0: the rest of the row).
bool iconHandler(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool commit,
                 QUORVIN::SendBuffer& answer);

}  // namespace testbed
