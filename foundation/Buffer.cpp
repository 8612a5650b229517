#include "foundation/Buffer.h"

#include <algorithm>
#include <cstring>

namespace TIVRA {

std::string BufferCS_const::get_string(const uint8_t* first, const uint8_t* end)
{
    if (first == end) {
        return {};
    }
    if (end[-1] != 0) {
        return std::string(reinterpret_cast<const char*>(first), static_cast<size_t>(end - first));
    }
    const uint8_t* nul = std::find(first, end, uint8_t{0});
    return std::string(reinterpret_cast<const char*>(first), static_cast<size_t>(nul - first));
}

std::string BufferCS_const::dump() const
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    if (viewSize == 0) {
        return out;
    }
    out.resize(viewSize * 3 - 1);
    char* p = out.data();
    for (size_t i = 0; i < viewSize; ++i) {
        if (i != 0) {
            *p++ = ' ';
        }
        *p++ = digits[viewData[i] >> 4];
        *p++ = digits[viewData[i] & 0x0F];
    }
    return out;
}

Buffer& Buffer::operator=(BufferCS_const view)
{
    resize(view.viewSize);
    if (view.viewSize != 0) {
        std::memcpy(data(), view.viewData, view.viewSize);
    }
    return *this;
}

void Buffer::fill(uint8_t value)
{
    if (!empty()) {
        std::memset(data(), value, size());
    }
}

bool Buffer::get_string_list(std::list<std::string>& lines, bool allowTab) const
{
    lines.clear();
    size_t pos = 0;
    const size_t n = size();
    const uint8_t* b = data();
    if (n > 2 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        pos = 3;
    }
    bool ok = true;
    std::string line;
    for (; pos < n; ++pos) {
        const uint8_t c = b[pos];
        if (c == '\r' || c == '\n') {
            if (!line.empty()) {
                lines.push_back(std::move(line));
                line = std::string();
            }
        } else if (c >= 0x20 || (c == '\t' && allowTab)) {
            line.push_back(static_cast<char>(c));
        } else {
            ok = false;
        }
    }
    if (!line.empty()) {
        lines.push_back(std::move(line));
    }
    return ok;
}

}  // namespace TIVRA
