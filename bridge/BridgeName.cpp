#include "bridge/BridgeName.h"

namespace {

// A UTF-8 character has at most three bytes after its first.
constexpr size_t UTF8_CONTINUATIONS = 3;

bool continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0U) == 0x80U;
}

}  // namespace

bool cutBridgeName(std::string& name, size_t limit)
{
    if (name.size() <= limit) {
        return false;
    }
    size_t end = limit;
    for (size_t back = 0; back < UTF8_CONTINUATIONS && end > 0 && continuation(name[end]); ++back) {
        --end;
    }
    if (continuation(name[end])) {
        end = limit;
    }
    name.resize(end);
    return true;
}
