// Icon download: the geometry, then the pixels in asks of about 1200 bytes.
#include <algorithm>

#include "discovery/Answers.h"
#include "discovery/Find.h"

namespace QUORVIN {

using TIVRA::IPAddress;

namespace {

constexpr Find::ICON LAST_SELECTOR = 0x2FFFF;
// Larger geometries are taken as "no icon": 65535 x 65535 would be 16 GiB,
// and no target holds a real icon anywhere near this.
constexpr uint64_t MAX_ICON_PIXELS = 16ULL * 1024 * 1024;
// An answer should stay under this many bytes; up to 1400 is still taken
// when it saves an ask.
constexpr uint32_t ANSWER_BYTES = 1199;
constexpr uint32_t ANSWER_BYTES_MAX = 1400;

// Whole rows per ask for rows of `rowBytes`; 0: one row (or its rest) per ask.
uint32_t rowsPerAsk(uint32_t rowBytes)
{
    if (rowBytes > ANSWER_BYTES) {
        return 0;
    }
    const uint32_t n = std::max<uint32_t>(2, ANSWER_BYTES / rowBytes + 1);
    if (n * rowBytes <= ANSWER_BYTES_MAX) {
        return n;
    }
    return n - 1 >= 2 ? n - 1 : 0;
}

bool evenNumber(uint32_t n)
{
    return n == 2 || n == 4 || n == 6 || n == 8;
}

}  // namespace

bool Find::downloadIcon(IPAddress to, ICON icon, Icon& out)
{
    out.clear();
    if (icon > LAST_SELECTOR) {
        return false;
    }
    const auto number = static_cast<uint16_t>(icon & 0xFFFF);
    const auto ask = static_cast<MessageID>(ICON0_REQ + 2 * (icon >> 16));
    const auto answerId = static_cast<MessageID>(ask + 1);

    Receive answer;
    const int r = sendAck(to, Send(ask, 0, number, 0, 0, 0), answerId, answer, true);
    if (r != 0) {
        return r != 1;
    }
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t format = 0;
    if (!parseIconGeometry(answer, answerId, width, height, format)) {
        return true;
    }
    const uint64_t total = uint64_t{width} * height;
    if (format > 2 || total == 0 || total > MAX_ICON_PIXELS) {
        return true;
    }
    const bool alphaOnly = format == 2;
    out.width = width;
    out.alphaOnly = alphaOnly;
    out.pixels.assign(total, Icon::Pixel{});
    const uint32_t rows = rowsPerAsk(uint32_t{width} * (alphaOnly ? 1 : 4));

    size_t position = 0;
    while (position < total) {
        const auto row = static_cast<uint32_t>(position / width);
        const auto column = static_cast<uint32_t>(position % width);
        uint16_t count = 0;  // 0: the rest of the row
        if (column == 0 && rows != 0) {
            count = static_cast<uint16_t>(std::min<uint32_t>(rows, height - row) * width + 1);
        }
        const Send request(ask, 0, number, static_cast<uint16_t>(column + 1), static_cast<uint16_t>(row + 1), count);
        size_t received = 0;
        if (sendAck(to, request, answerId, answer, true) != 0
            || !parseIconPixels(answer, answerId, alphaOnly, out.pixels, position, received)) {
            out.clear();
            return false;
        }
        position += received;
    }
    return true;
}

bool Find::downloadIcon(IPAddress to, ICON icon, Icon& out, unsigned short wantWidth)
{
    const uint32_t number = icon & 0xFFFF;
    if (icon > LAST_SELECTOR || number >= std::size(iconFallbackOrder)) {
        return downloadIcon(to, icon, out);
    }
    const ICON family = icon & 0xFFFF0000;
    // The first icon of the row that the target has; `found` its number.
    auto tryRow = [&](uint32_t row, Icon& into, uint32_t& found) {
        for (const uint32_t n : iconFallbackOrder[row]) {
            if (!downloadIcon(to, family | n, into)) {
                return false;
            }
            if (!into.empty()) {
                found = n;
                return true;
            }
        }
        return true;
    };

    uint32_t found = 0;
    if (!tryRow(number, out, found)) {
        return false;
    }
    // A narrow icon of an even (larger) size: the neighbouring list may hold a better fit.
    if (out.empty() || !evenNumber(number) || !evenNumber(found) || out.width == wantWidth
        || 2 * uint32_t{out.width} >= 3 * uint32_t{wantWidth}) {
        return true;
    }
    // The icon of the first row is not kept: the second row's find, or none.
    uint32_t secondFound = 0;
    return tryRow(number - 1, out, secondFound);
}

}  // namespace QUORVIN
