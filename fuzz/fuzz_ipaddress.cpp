// Arbitrary bytes through every text parser of IPAddress; a parsed IPv6
// address must print and parse back to itself.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/IPAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    TIVRA::IPAddress a;
    std::string out;
    if (a.set_V6_str(text)) {
        a.get_V6_str(out);
        TIVRA::IPAddress b;
        if (!b.set_V6_str(out) || b.comp(a) != 0) {
            std::abort();
        }
    }
    a.set_port_str(text);
    a.set_str(text);
    a.set_V4_str(text);
    int bits = 0;
    if (a.set_V4_str(text, bits) && (bits < 0 || bits > 32)) {
        std::abort();
    }
    TIVRA::IPAddress other;
    other.set_str(text);
    a.much_address(other, bits);
    a.much_address(other, static_cast<int>(size) - 64);
    a.get_full_str(out);
    a.get_str(out);
    return 0;
}
