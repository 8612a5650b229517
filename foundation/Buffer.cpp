#include "foundation/Buffer.h"

#include <algorithm>
#include <cstring>
#include <functional>

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
    // A view into this buffer itself must survive the resize.
    const std::less<const uint8_t*> lt;
    if (view.viewSize != 0 && !lt(view.viewData, data()) && lt(view.viewData, data() + size())) {
        std::memmove(data(), view.viewData, view.viewSize);
        resize(view.viewSize);
        return *this;
    }
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
    const uint8_t* p = data();
    const uint8_t* const end = p + size();
    if (size() > 2 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        p += 3;
    }
    bool ok = true;
    // Whole runs of text bytes are appended at once; a line that lies in one
    // run is built directly in the list.
    std::string line;
    const uint8_t* run = p;
    auto text = [](const uint8_t* b) { return reinterpret_cast<const char*>(b); };
    for (; p != end; ++p) {
        const uint8_t c = *p;
        if (c >= 0x20 || (c == '\t' && allowTab)) {
            continue;
        }
        if (c == '\r' || c == '\n') {
            if (line.empty()) {
                if (p != run) {
                    lines.emplace_back(text(run), static_cast<size_t>(p - run));
                }
            } else {
                line.append(text(run), static_cast<size_t>(p - run));
                lines.push_back(std::move(line));
                line = std::string();
            }
        } else {
            line.append(text(run), static_cast<size_t>(p - run));
            ok = false;
        }
        run = p + 1;
    }
    line.append(text(run), static_cast<size_t>(end - run));
    if (!line.empty()) {
        lines.push_back(std::move(line));
    }
    return ok;
}

}  // namespace TIVRA
