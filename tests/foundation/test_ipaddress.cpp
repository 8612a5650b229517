#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "foundation/IPAddress.h"

using TIVRA::IPAddress;

namespace {

IPAddress fromGroups(const std::array<uint16_t, 8>& groups)
{
    IPAddress a;
    int k = 0;
    for (uint16_t g : groups) {
        a.addr[2 * k] = static_cast<uint8_t>(g >> 8);
        a.addr[2 * k + 1] = static_cast<uint8_t>(g);
        ++k;
    }
    return a;
}

IPAddress v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port = 0)
{
    IPAddress r;
    r.addr[10] = 0xFF;
    r.addr[11] = 0xFF;
    r.addr[12] = a;
    r.addr[13] = b;
    r.addr[14] = c;
    r.addr[15] = d;
    r.setPort(port);
    return r;
}

std::string v6(const IPAddress& a)
{
    std::string s;
    a.get_V6_str(s);
    return s;
}

IPAddress parsed(const std::string& text)
{
    IPAddress a;
    EXPECT_TRUE(a.set_V6_str(text)) << text;
    return a;
}

}  // namespace

TEST(IPAddressOrder, AddressThenPortThenUnsignedInterface)
{
    IPAddress a = parsed("::1");
    IPAddress b = a;
    a.setPort(5);
    b.setPort(6);
    EXPECT_EQ(a.comp(b), -1);
    EXPECT_EQ(b.comp(a), 1);

    // Port order is numeric: 0x0100 (256) after 0x00FF (255).
    a.setPort(255);
    b.setPort(256);
    EXPECT_EQ(a.comp(b), -1);

    b = a;
    a.ifindex = 1;
    b.ifindex = 0x80000000U;
    EXPECT_EQ(a.comp(b), -1);
    EXPECT_EQ(a.comp(a), 0);

    // The address dominates the port.
    IPAddress low = parsed("::1");
    IPAddress high = parsed("::2");
    low.setPort(9999);
    high.setPort(1);
    EXPECT_LT(low, high);
    EXPECT_FALSE(high < low);
}

TEST(IPAddressText, V6Forms)
{
    struct Case {
        std::array<uint16_t, 8> groups;
        const char* text;
    };
    const std::vector<Case> cases = {
        {{0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}, "2001:db8::1:0:0:1"},
        {{1, 0, 0, 2, 0, 0, 0, 3}, "1::2:0:0:0:3"},
        {{1, 0, 2, 3, 4, 5, 6, 7}, "1:0:2:3:4:5:6:7"},
        {{0, 1, 2, 3, 4, 5, 6, 7}, "0:1:2:3:4:5:6:7"},
        {{1, 2, 3, 4, 5, 6, 7, 0}, "1:2:3:4:5:6:7:0"},
        {{0x10, 0x200, 0x3000, 0xabcd, 0xf, 0xf0, 0xf00, 0xf000}, "10:200:3000:abcd:f:f0:f00:f000"},
        {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
        {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
        {{1, 2, 3, 4, 5, 6, 0, 0}, "1:2:3:4:5:6::"},
        {{0xfe80, 0, 0, 0, 0, 0, 0, 1}, "fe80::1"},
        {{0, 0, 0, 0, 0, 0xffff, 0xc0a8, 0x102}, "::ffff:c0a8:102"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(v6(fromGroups(c.groups)), c.text);
    }
}

TEST(IPAddressText, V4AddressAndFullForms)
{
    std::string s;
    IPAddress zero;
    zero.get_V4_str(s);
    EXPECT_EQ(s, "0.0.0.0");

    IPAddress mapped = fromGroups({0, 0, 0, 0, 0, 0xffff, 0, 0});
    mapped.get_add_str(s);
    EXPECT_EQ(s, "0.0.0.0");
    IPAddress notMapped = fromGroups({0, 0, 0, 0, 0, 0xfffe, 0, 0});
    notMapped.get_add_str(s);
    EXPECT_EQ(s, "::fffe:0:0");

    IPAddress ll = parsed("fe80::1");
    ll.setPort(19642);
    ll.ifindex = 0x10002;
    ll.get_str(s);
    EXPECT_EQ(s, "fe80::1,19642");
    ll.get_full_str(s);
    EXPECT_EQ(s, "fe80::1%2,19642");
    ll.get_V6IFN_str(s);
    EXPECT_EQ(s, "fe80::1%2");
    ll.get_if_str(s);
    EXPECT_EQ(s, "2");

    IPAddress four = v4(192, 168, 1, 2, 80);
    four.get_str(s);
    EXPECT_EQ(s, "192.168.1.2,80");
    four.get_full_str(s);
    EXPECT_EQ(s, "192.168.1.2%0,80");
    IPAddress none;
    none.get_port_str(s);
    EXPECT_EQ(s, "0");
}

TEST(IPAddressParse, V6Accepted)
{
    struct Case {
        const char* text;
        std::array<uint16_t, 8> groups;
    };
    const std::vector<Case> cases = {
        {"::", {0, 0, 0, 0, 0, 0, 0, 0}},
        {"1:2:3::4:5:6", {1, 2, 3, 0, 0, 4, 5, 6}},
        {"1:2:3:4:5:6::7", {1, 2, 3, 4, 5, 6, 0, 7}},
        {"1:2:3:4::5:6:7", {1, 2, 3, 4, 0, 5, 6, 7}},
        {":1:2:3:4:5:6:7", {0, 1, 2, 3, 4, 5, 6, 7}},
        {"1:2:3:4:5:6:7:", {1, 2, 3, 4, 5, 6, 7, 0}},
        {"FE80::aBc", {0xfe80, 0, 0, 0, 0, 0, 0, 0xabc}},
        {"::1", {0, 0, 0, 0, 0, 0, 0, 1}},
        {"1::", {1, 0, 0, 0, 0, 0, 0, 0}},
        {"1:2:3:4:5:6:7:8", {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const Case& c : cases) {
        IPAddress a;
        a.setPort(77);
        a.ifindex = 9;
        ASSERT_TRUE(a.set_V6_str(c.text)) << c.text;
        EXPECT_EQ(a.comp([&] {
            IPAddress e = fromGroups(c.groups);
            e.setPort(77);
            e.ifindex = 9;
            return e;
        }()),
                  0)
            << c.text;
    }
}

TEST(IPAddressParse, V6Refused)
{
    const char* refused[] = {"",
                             "1:2:3:4:5:6:7::",
                             "::1:2:3:4:5:6:7",
                             "1:2:3:4:5:6:7",
                             "1:2:3:4:5:6:7:8:9",
                             "1:2:3:4:5:6:7:8:",
                             "12345::1",
                             "1:::2",
                             "1::2::3",
                             "fe80::1%2",
                             "::ffff:1.2.3.4",
                             "[::1]",
                             ":: 1",
                             "g::"};
    for (const char* text : refused) {
        IPAddress a;
        EXPECT_FALSE(a.set_V6_str(text)) << text;
    }
}

TEST(IPAddressParse, Port)
{
    IPAddress a;
    EXPECT_TRUE(a.set_port_str("19642"));
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&a.port);
    EXPECT_EQ(p[0], 0x4C);
    EXPECT_EQ(p[1], 0xBA);
    EXPECT_FALSE(a.set_port_str("8a"));
    EXPECT_EQ(a.getPort(), 19642);
    EXPECT_TRUE(a.set_port_str("65536"));
    EXPECT_EQ(a.getPort(), 0);
    a.setPort(3);
    EXPECT_TRUE(a.set_port_str(""));
    EXPECT_EQ(a.getPort(), 0);
}

TEST(IPAddressParse, WholeV6WithPort)
{
    IPAddress a;
    ASSERT_TRUE(a.set_str("fe80::1,19642"));
    EXPECT_EQ(v6(a), "fe80::1");
    EXPECT_EQ(a.getPort(), 19642);

    IPAddress b;
    EXPECT_FALSE(b.set_str("fe80::1"));
    EXPECT_TRUE(b.isUnspecified());

    ASSERT_TRUE(b.set_str("fe80::1,"));
    EXPECT_EQ(b.getPort(), 0);

    IPAddress c;
    c.setPort(5);
    EXPECT_FALSE(c.set_str("fe80::1,12a"));
    EXPECT_EQ(v6(c), "fe80::1");
    EXPECT_EQ(c.getPort(), 5);

    ASSERT_TRUE(c.set_str("fe80::1,65537"));
    EXPECT_EQ(c.getPort(), 1);
    EXPECT_FALSE(c.set_str("192.168.1.2,80"));
}

TEST(IPAddressParse, V4Forms)
{
    struct Case {
        const char* text;
        bool ok;
        IPAddress expect;
    };
    const std::vector<Case> cases = {
        {"192.168.1.2,80", true, v4(192, 168, 1, 2, 80)},
        {"192.168.1", false, {}},
        {"1.2.3.-4", false, {}},
        {"1.2.3.4,-1", false, {}},
        {"300.2.3.4", true, v4(44, 2, 3, 4)},
        {"1.2.3.4xyz", true, v4(1, 2, 3, 4)},
        {" 1.+2.3.4", true, v4(1, 2, 3, 4)},
        {"...", true, v4(0, 0, 0, 0)},
        {"1.2.3.4,70000", true, v4(1, 2, 3, 4, 70000 & 0xFFFF)},
    };
    for (const Case& c : cases) {
        IPAddress a;
        a.ifindex = 7;
        a.setPort(9);
        EXPECT_EQ(a.set_V4_str(c.text), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(a.comp(c.expect), 0) << c.text;
        } else {
            IPAddress untouched;
            untouched.ifindex = 7;
            untouched.setPort(9);
            EXPECT_EQ(a.comp(untouched), 0) << c.text;
        }
    }
}

TEST(IPAddressParse, V4Prefix)
{
    IPAddress a;
    int bits = 0;
    ASSERT_TRUE(a.set_V4_str("10.0.0.0/8", bits));
    EXPECT_EQ(bits, 8);
    EXPECT_EQ(a.comp(v4(10, 0, 0, 0)), 0);

    ASSERT_TRUE(a.set_V4_str("10.0.0.1", bits));
    EXPECT_EQ(bits, 31);

    IPAddress b;
    EXPECT_FALSE(b.set_V4_str("10.0.0.0/33", bits));
    EXPECT_EQ(bits, 33);
    EXPECT_TRUE(b.isUnspecified());
    EXPECT_FALSE(b.set_V4_str("10.0.0.0/-1", bits));
}

TEST(IPAddressMatch, Prefixes)
{
    struct Case {
        IPAddress a;
        IPAddress b;
        int bits;
        bool match;
    };
    const std::vector<Case> cases = {
        {v4(192, 168, 1, 2), v4(192, 168, 1, 3), 31, true},
        {v4(192, 168, 1, 2), v4(192, 168, 1, 3), 32, false},
        {v4(10, 1, 2, 3), v4(10, 200, 0, 1), 8, true},
        {v4(10, 1, 2, 3), v4(11, 1, 2, 3), 8, false},
        {parsed("2001:db8::1"), parsed("2001:db8::2"), 64, true},
        {parsed("2001:db8::1"), parsed("2001:db8::2"), 128, false},
        {parsed("2001:db8::1"), parsed("2001:db8::1"), 128, true},
        {parsed("2001:db8::"), parsed("2001:dbf::"), 29, true},
        {parsed("2001:db8::"), parsed("2001:dbf::"), 30, false},
        {v4(1, 2, 3, 4), parsed("2001:db8::1"), 8, false},
        {parsed("2001:db8::1"), v4(1, 2, 3, 4), 8, false},
        {parsed("2001:db8::1"), IPAddress{}, 8, false},
        {IPAddress{}, IPAddress{}, 8, false},
        // Outside the family's width: 0 matches all, wider is the whole address.
        {v4(1, 2, 3, 4), v4(5, 6, 7, 8), 0, true},
        {v4(1, 2, 3, 4), v4(1, 2, 3, 4), 40, true},
        {parsed("::2"), parsed("::3"), 200, false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cases[i].a.much_address(cases[i].b, cases[i].bits), cases[i].match) << "case " << i;
    }
}

TEST(IPAddressParse, RoundTripThroughText)
{
    // Whatever get_V6_str prints, set_V6_str reads back to the same address.
    uint32_t seed = 12345;
    for (int n = 0; n < 2000; ++n) {
        IPAddress a;
        for (int k = 0; k < 8; ++k) {
            seed = seed * 1103515245U + 12345U;
            // Plenty of zero groups so that gaps occur in every position.
            const uint16_t g = (seed >> 16) % 3 == 0 ? 0 : static_cast<uint16_t>(seed >> 8);
            a.addr[2 * k] = static_cast<uint8_t>(g >> 8);
            a.addr[2 * k + 1] = static_cast<uint8_t>(g);
        }
        const std::string text = v6(a);
        IPAddress b;
        ASSERT_TRUE(b.set_V6_str(text)) << text;
        ASSERT_EQ(a.comp(b), 0) << text;
    }
}
