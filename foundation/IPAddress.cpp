#include "foundation/IPAddress.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace TIVRA {

namespace {

uint16_t group(const uint8_t* addr, int k)
{
    return static_cast<uint16_t>((addr[2 * k] << 8) | addr[2 * k + 1]);
}

void appendHex(std::string& out, uint16_t v)
{
    static const char digits[] = "0123456789abcdef";
    char tmp[4];
    int n = 0;
    do {
        tmp[n++] = digits[v & 0xF];
        v >>= 4;
    } while (v != 0);
    while (n > 0) {
        out.push_back(tmp[--n]);
    }
}

// strtol from the start of a field, taken as a signed 32-bit number.
int32_t readNumber(const std::string& text, size_t from, size_t to)
{
    const std::string field = text.substr(from, to == std::string::npos ? std::string::npos : to - from);
    return static_cast<int32_t>(std::strtol(field.c_str(), nullptr, 10));
}

}  // namespace

int IPAddress::comp(const IPAddress& other) const
{
    const int c = std::memcmp(addr, other.addr, sizeof(addr));
    if (c != 0) {
        return c > 0 ? 1 : -1;
    }
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&port);
    const uint8_t* q = reinterpret_cast<const uint8_t*>(&other.port);
    for (int i = 0; i < 2; ++i) {
        if (p[i] != q[i]) {
            return p[i] > q[i] ? 1 : -1;
        }
    }
    if (ifindex != other.ifindex) {
        return ifindex > other.ifindex ? 1 : -1;
    }
    return 0;
}

uint16_t IPAddress::getPort() const
{
    return ntohs(port);
}

void IPAddress::setPort(uint16_t hostOrderPort)
{
    port = htons(hostOrderPort);
}

bool IPAddress::isV4() const
{
    for (int i = 0; i < 10; ++i) {
        if (addr[i] != 0) {
            return false;
        }
    }
    return addr[10] == 0xFF && addr[11] == 0xFF;
}

bool IPAddress::isUnspecified() const
{
    for (uint8_t b : addr) {
        if (b != 0) {
            return false;
        }
    }
    return true;
}

void IPAddress::get_V4_str(std::string& out) const
{
    out.clear();
    for (int i = 12; i < 16; ++i) {
        if (i != 12) {
            out.push_back('.');
        }
        out += std::to_string(addr[i]);
    }
}

void IPAddress::get_V6_str(std::string& out) const
{
    out.clear();
    // The first run of two or more zero groups becomes "::".
    int gapStart = -1;
    int gapEnd = -1;
    for (int k = 0; k < 8 && gapStart < 0; ++k) {
        if (group(addr, k) != 0) {
            continue;
        }
        int e = k;
        while (e < 8 && group(addr, e) == 0) {
            ++e;
        }
        if (e - k >= 2) {
            gapStart = k;
            gapEnd = e;
        }
        k = e;
    }
    for (int k = 0; k < 8; ++k) {
        if (k == gapStart) {
            out += "::";
            k = gapEnd - 1;
            continue;
        }
        if (k != 0 && k != gapEnd) {
            out.push_back(':');
        }
        appendHex(out, group(addr, k));
    }
}

void IPAddress::get_if_str(std::string& out) const
{
    out = std::to_string(ifindex & 0xFFFFU);
}

void IPAddress::get_port_str(std::string& out) const
{
    out = std::to_string(getPort());
}

void IPAddress::get_V6IFN_str(std::string& out) const
{
    std::string ifn;
    get_V6_str(out);
    get_if_str(ifn);
    out += '%';
    out += ifn;
}

void IPAddress::get_add_str(std::string& out) const
{
    if (isV4()) {
        get_V4_str(out);
    } else {
        get_V6_str(out);
    }
}

void IPAddress::get_str(std::string& out) const
{
    std::string p;
    get_add_str(out);
    get_port_str(p);
    out += ',';
    out += p;
}

void IPAddress::get_full_str(std::string& out) const
{
    std::string s;
    get_add_str(out);
    get_if_str(s);
    out += '%';
    out += s;
    get_port_str(s);
    out += ',';
    out += s;
}

bool IPAddress::set_V6_str(const std::string& text)
{
    uint16_t groups[8] = {};
    if (text.empty()) {
        addr[0] = 0;
        addr[1] = 0;
        return false;
    }
    int index = 0;  // groups stored so far
    int gap = -1;   // group index of "::"
    uint32_t value = 0;
    int digits = 0;
    bool lastColon = false;
    auto store = [&](int at, uint16_t v) {
        groups[at] = v;
        addr[2 * at] = static_cast<uint8_t>(v >> 8);
        addr[2 * at + 1] = static_cast<uint8_t>(v);
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int d = -1;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        }
        if (d >= 0) {
            if (++digits > 4) {
                return false;
            }
            value = (value << 4) | static_cast<uint32_t>(d);
            lastColon = false;
            continue;
        }
        if (c != ':') {
            return false;
        }
        if (lastColon) {
            if (gap >= 0) {
                return false;
            }
            gap = index;
            continue;  // the second colon of "::" stores nothing
        }
        if (index >= 8) {
            return false;
        }
        store(index++, static_cast<uint16_t>(value));
        value = 0;
        digits = 0;
        lastColon = true;
    }
    // The last group: a text that ends in ":" stores a 0 group.
    if (index >= 8) {
        return false;
    }
    store(index++, static_cast<uint16_t>(value));
    if (gap < 0) {
        return index == 8;
    }
    if (index > 7) {
        return false;
    }
    // Move the groups from the gap onward to the end; zero the middle.
    const int tail = index - gap;
    uint16_t out[8] = {};
    for (int k = 0; k < gap; ++k) {
        out[k] = groups[k];
    }
    for (int k = 0; k < tail; ++k) {
        out[8 - tail + k] = groups[gap + k];
    }
    for (int k = 0; k < 8; ++k) {
        store(k, out[k]);
    }
    return true;
}

bool IPAddress::set_port_str(const std::string& text)
{
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = (v * 10 + static_cast<uint32_t>(c - '0')) & 0xFFFFU;
    }
    setPort(static_cast<uint16_t>(v));
    return true;
}

bool IPAddress::set_str(const std::string& text)
{
    const size_t comma = text.find(',');
    if (comma == std::string::npos) {
        return false;
    }
    if (!set_V6_str(text.substr(0, comma))) {
        return false;
    }
    return set_port_str(text.substr(comma + 1));
}

bool IPAddress::set_V4_str(const std::string& text)
{
    const size_t d1 = text.find('.');
    if (d1 == std::string::npos) {
        return false;
    }
    const size_t d2 = text.find('.', d1 + 1);
    if (d2 == std::string::npos) {
        return false;
    }
    const size_t d3 = text.find('.', d2 + 1);
    if (d3 == std::string::npos) {
        return false;
    }
    const size_t comma = text.find(',', d3 + 1);
    const int32_t n[4] = {readNumber(text, 0, d1), readNumber(text, d1 + 1, d2), readNumber(text, d2 + 1, d3),
                          readNumber(text, d3 + 1, comma)};
    for (int32_t v : n) {
        if (v < 0) {
            return false;
        }
    }
    int32_t p = 0;
    if (comma != std::string::npos) {
        p = readNumber(text, comma + 1, std::string::npos);
        if (p < 0) {
            return false;
        }
    }
    std::memset(addr, 0, 10);
    addr[10] = 0xFF;
    addr[11] = 0xFF;
    for (int i = 0; i < 4; ++i) {
        addr[12 + i] = static_cast<uint8_t>(n[i]);
    }
    setPort(static_cast<uint16_t>(p));
    ifindex = 0;
    return true;
}

bool IPAddress::set_V4_str(const std::string& text, int& prefixBits)
{
    prefixBits = 31;
    const size_t slash = text.rfind('/');
    if (slash == std::string::npos) {
        return set_V4_str(text);
    }
    prefixBits = readNumber(text, slash + 1, std::string::npos);
    if (prefixBits < 0 || prefixBits > 32) {
        return false;
    }
    return set_V4_str(text.substr(0, slash));
}

bool IPAddress::much_address(const IPAddress& other, int bits) const
{
    // A prefix of 0 bits matches any address of the family; widths above
    // the family's are taken as the whole address.
    if (isUnspecified()) {
        return false;
    }
    if (isV4()) {
        if (!other.isV4()) {
            return false;
        }
        if (bits <= 0) {
            return true;
        }
        if (bits > 32) {
            bits = 32;
        }
        auto v4 = [](const IPAddress& a) {
            return (uint32_t{a.addr[12]} << 24) | (uint32_t{a.addr[13]} << 16) | (uint32_t{a.addr[14]} << 8)
                   | uint32_t{a.addr[15]};
        };
        const unsigned shift = 32U - static_cast<unsigned>(bits);
        return (static_cast<uint64_t>(v4(*this)) >> shift) == (static_cast<uint64_t>(v4(other)) >> shift);
    }
    if (other.isV4() || other.isUnspecified()) {
        return false;
    }
    if (bits <= 0) {
        return true;
    }
    if (bits > 128) {
        bits = 128;
    }
    const int whole = bits / 8;
    if (std::memcmp(addr, other.addr, static_cast<size_t>(whole)) != 0) {
        return false;
    }
    const int rest = bits % 8;
    if (rest == 0) {
        return true;
    }
    const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (addr[whole] & mask) == (other.addr[whole] & mask);
}

}  // namespace TIVRA
