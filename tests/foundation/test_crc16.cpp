#include "foundation/CRC16.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using TIVRA::CRC16;

TIVRA::BufferCS_const view(const std::string& s)
{
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// The table is a compile-time constant.
static_assert(CRC16::Table[1] == 0xC0C1);
static_assert(CRC16::Table[0x80] == 0xA001);

// Bit-by-bit reference, independent of the table.
uint16_t reference(const std::string& s)
{
    uint16_t r = 0xFFFF;
    for (unsigned char c : s) {
        r ^= c;
        for (int i = 0; i < 8; ++i) {
            r = (r & 1) ? static_cast<uint16_t>((r >> 1) ^ 0xA001) : static_cast<uint16_t>(r >> 1);
        }
    }
    return static_cast<uint16_t>(r ^ 0xFFFF);
}

TEST(CRC16, KnownValues)
{
    struct Case {
        std::string bytes;
        uint16_t crc;
    };
    const Case cases[] = {{"", 0x0000}, {"123456789", 0xB4C8}, {"abc", 0xA8B6}};
    for (const Case& c : cases) {
        CRC16 crc;
        crc.update(view(c.bytes));
        EXPECT_EQ(crc.get(), c.crc) << c.bytes;
    }
}

TEST(CRC16, PiecesGiveTheSameAsOneView)
{
    const std::string digits = "123456789";
    for (size_t cut1 = 0; cut1 <= digits.size(); ++cut1) {
        for (size_t cut2 = cut1; cut2 <= digits.size(); ++cut2) {
            CRC16 crc;
            crc.update(view(digits.substr(0, cut1)));
            crc.update(view(digits.substr(cut1, cut2 - cut1)));
            crc.update(view(digits.substr(cut2)));
            EXPECT_EQ(crc.get(), 0xB4C8) << cut1 << "," << cut2;
        }
    }
}

TEST(CRC16, GetBetweenUpdatesDoesNotDisturb)
{
    CRC16 crc;
    crc.update(view("1234"));
    EXPECT_EQ(crc.get(), reference("1234"));
    crc.update(view("56789"));
    EXPECT_EQ(crc.get(), 0xB4C8);
}

TEST(CRC16, ClearStartsAfresh)
{
    CRC16 crc;
    crc.update(view("some earlier data"));
    crc.clear();
    EXPECT_EQ(crc.crc, 0xFFFF);
    EXPECT_EQ(crc.get(), 0x0000);
    crc.update(view("abc"));
    EXPECT_EQ(crc.get(), 0xA8B6);
}

TEST(CRC16, TableMatchesBitwiseOverAllBytes)
{
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    CRC16 crc;
    crc.update(view(all + all));
    EXPECT_EQ(crc.get(), reference(all + all));
}

}  // namespace
