#include <gtest/gtest.h>

#include <vector>

#include "protocol/Format.h"

using QUORVIN::FormatConfigure;
using QUORVIN::FormatPreConfigure;
using QUORVIN::FormatSupport;

namespace {

FormatConfigure make(uint64_t format, unsigned channels, unsigned long hz)
{
    FormatConfigure f;
    EXPECT_TRUE(f.setFormat(format));
    EXPECT_TRUE(f.setChannel(channels));
    EXPECT_TRUE(f.setSpeed(hz));
    return f;
}

}  // namespace

TEST(FormatConfigure, SpeedCodes)
{
    struct Case {
        unsigned long hz;
        bool ok;
        uint16_t code;
        unsigned long readBack;
    };
    const std::vector<Case> cases = {
        {8000, true, 0x0001, 0},
        {44100, true, 0x000A, 44100},
        {48000, true, 0x000C, 48000},
        {88200, true, 0x0012, 88200},
        {96000, true, 0x0014, 96000},
        {2822400, true, 0x0202, 2822400},
        {44100UL << 12, true, 0x8002, 44100UL << 12},
        {196608000, true, 0x8004, 196608000},
        {22050, false, 0, 0},
        {0, false, 0, 0},
        {44100UL << 13, false, 0, 0},
    };
    for (const Case& c : cases) {
        FormatConfigure f(0xFFFF000000000000ULL);
        EXPECT_EQ(f.setSpeed(c.hz), c.ok) << c.hz;
        if (!c.ok) {
            EXPECT_EQ(f.value, 0xFFFF000000000000ULL) << c.hz;
            continue;
        }
        EXPECT_EQ((f.value >> 32) & 0xFFFF, c.code) << c.hz;
        EXPECT_EQ(f.value >> 48, 0xFFFFU) << c.hz;  // upper bits untouched
        EXPECT_EQ(f.getSpeed(), c.readBack) << c.hz;
    }
    FormatConfigure f;
    f.setSpeed(8000);
    EXPECT_EQ(f.getSpeedBase(), 8000U);
    f.setSpeed(44100);
    EXPECT_EQ(f.getSpeedBase(), 44100U);
    EXPECT_EQ(f.getSpeedMulti(), 1U);
    // Several base or multiplier bits read as no rate.
    EXPECT_EQ(FormatConfigure(0x0006ULL << 32 | 0x8ULL << 32).getSpeedBase(), 0U);
    EXPECT_EQ(FormatConfigure(0x0002ULL << 32 | 0x18ULL << 32).getSpeedMulti(), 0U);
    EXPECT_EQ(FormatConfigure(0x0009ULL << 32).getSpeedBase(), 0U);  // 8000 with a multiplier
}

TEST(FormatConfigure, ChannelsWidthsBitsMute)
{
    FormatConfigure f;
    EXPECT_FALSE(f.setChannel(3));
    EXPECT_EQ(f.value, 0U);
    EXPECT_EQ(FormatConfigure(0).getChannel(), 2U);
    EXPECT_EQ(FormatConfigure(0x03).getChannel(), 2U);
    for (auto [n, code] :
         std::vector<std::pair<unsigned, uint64_t>>{{1, 1}, {2, 2}, {4, 4}, {6, 8}, {8, 16}, {16, 32}}) {
        FormatConfigure c;
        ASSERT_TRUE(c.setChannel(n));
        EXPECT_EQ(c.value, code);
        EXPECT_EQ(c.getChannel(), n);
    }

    struct Case {
        uint64_t format;
        unsigned wid;
        unsigned bits;
        uint8_t mute;
    };
    const std::vector<Case> cases = {
        {QUORVIN::PCM8, 1, 8, 0x00},
        {QUORVIN::PCM16, 2, 16, 0x00},
        {QUORVIN::PCM24, 3, 24, 0x00},
        {QUORVIN::PCM32, 4, 32, 0x00},
        {QUORVIN::PCM64, 8, 64, 0x00},
        {QUORVIN::FLOAT32, 4, 32, 0x00},
        {QUORVIN::FLOAT64, 8, 64, 0x00},
        {QUORVIN::DSD1_LSB_BIG, 4, 1, 0x69},
        {QUORVIN::DSD1_LSB_LITTLE, 4, 1, 0x69},
        {QUORVIN::DSD1_MSB_LITTLE, 4, 1, 0x96},
        {QUORVIN::DSD1_MSB_BIG, 4, 1, 0x96},
        {0x1010000, 2, 1, 0x96},  // DSD word code 1
        {0x20000, 2, 4, 0x96},
        {0, 2, 16, 0x00},
    };
    for (const Case& c : cases) {
        const FormatConfigure fc(c.format);
        EXPECT_EQ(fc.getWid(), c.wid) << std::hex << c.format;
        EXPECT_EQ(fc.getBits(), c.bits) << std::hex << c.format;
        EXPECT_EQ(fc.getMuteByte(), c.mute) << std::hex << c.format;
    }
}

TEST(FormatConfigure, SetFormatKeepsOtherParts)
{
    FormatConfigure f(0x0202ULL << 32 | 0x02);
    EXPECT_FALSE(f.setFormat(0));
    EXPECT_EQ(f.value, 0x0202ULL << 32 | 0x02);
    ASSERT_TRUE(f.setFormat(QUORVIN::DSD1_LSB_LITTLE));
    EXPECT_EQ(f.getChannel(), 2U);
    EXPECT_EQ(f.getSpeed(), 2822400U);
    EXPECT_TRUE(f.isValid());
    EXPECT_TRUE(f.isDSDlsb() && f.isDSDlittle() && !f.isDSDmsb() && !f.isDSDbig());
    // The format part is replaced whole, upper bits are OR-ed in.
    ASSERT_TRUE(f.setFormat(QUORVIN::PCM16 | 0x0001000000000000ULL));
    EXPECT_EQ(f.value, 0x0001020200000202ULL);
}

TEST(FormatConfigure, Validity)
{
    struct Case {
        const char* name;
        uint64_t value;
        bool valid;
    };
    const uint64_t stereo = 0x02;
    const std::vector<Case> cases = {
        {"PCM16 stereo 44.1k", make(QUORVIN::PCM16, 2, 44100), true},
        {"PCM16 with bit 20", make(QUORVIN::PCM16, 2, 44100) | (1ULL << 20), false},
        {"PCM without rate", QUORVIN::PCM24 | stereo, true},
        {"DSD64", make(QUORVIN::DSD1_LSB_LITTLE, 2, 2822400), true},
        {"DSD at 1411200", QUORVIN::DSD1_LSB_LITTLE | stereo | (0x0102ULL << 32), false},
        {"DSD both orders", make(QUORVIN::DSD1_LSB_LITTLE, 2, 2822400) | (1ULL << 21), false},
        {"DSD both endians", make(QUORVIN::DSD1_MSB_BIG, 2, 2822400) | (1ULL << 22), false},
        {"DSD word code 1", (make(QUORVIN::DSD1_LSB_LITTLE, 2, 2822400) & ~0xFF000000ULL) | 0x01000000ULL, false},
        {"no channel", QUORVIN::PCM16 | (0x000AULL << 32), false},
        {"two channel bits", QUORVIN::PCM16 | 0x03, false},
        {"two sample codes", (QUORVIN::PCM16 | QUORVIN::PCM24) | stereo, false},
        {"no sample code", stereo, false},
        {"DSD4 at 2822400", 0x2520000 | stereo | (0x0202ULL << 32), true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatConfigure(c.value).isValid(), c.valid) << c.name;
    }
}

TEST(FormatConfigure, Classes)
{
    EXPECT_TRUE(FormatConfigure(QUORVIN::PCM32).isSigned());
    EXPECT_FALSE(FormatConfigure(QUORVIN::FLOAT32).isSigned());
    EXPECT_TRUE(FormatConfigure(QUORVIN::FLOAT64).isFloat());
    EXPECT_TRUE(FormatConfigure(QUORVIN::FLOAT64).isPCM());
    EXPECT_TRUE(FormatConfigure(QUORVIN::DSD1_MSB_BIG).isDSD());
    EXPECT_TRUE(FormatConfigure(QUORVIN::DSD1_MSB_BIG).isDSD1());
    EXPECT_TRUE(FormatConfigure(0x20000).isDSD4());
    EXPECT_FALSE(FormatConfigure(0x30000).isDSD1());
}

TEST(FormatPreConfigure, Values)
{
    const FormatConfigure dsd = make(QUORVIN::DSD1_LSB_LITTLE, 2, 2822400);
    const FormatPreConfigure pre(dsd, 100);
    EXPECT_EQ(pre.value, 0x0000020200640802ULL);
    EXPECT_TRUE(pre.isDSD4());
    EXPECT_FALSE(pre.isDSD1());
    EXPECT_EQ(pre.getLatency(), 100);

    const FormatPreConfigure f(make(QUORVIN::FLOAT32, 2, 48000), 5);
    EXPECT_EQ(f.getPreFormat(), QUORVIN::PRE_FLOAT);
    EXPECT_TRUE(f.isFloat() && f.isPCM() && !f.isSigned());
    EXPECT_EQ(FormatPreConfigure(make(QUORVIN::PCM16, 2, 48000), 5).getPreFormat(), QUORVIN::PRE_SIGNED);
    // Neither PCM nor one-bit DSD: class 1.
    EXPECT_EQ(FormatPreConfigure(FormatConfigure(0x40000 | 2), 0).getPreFormat(), QUORVIN::PRE_DSD1);

    FormatPreConfigure other = pre;
    other.setLatency(2000);
    EXPECT_TRUE(other == dsd);
    EXPECT_TRUE(other == make(QUORVIN::DSD1_MSB_LITTLE, 2, 2822400));  // the bit order does not travel
    EXPECT_FALSE(other == make(QUORVIN::DSD1_LSB_LITTLE, 2, 5644800));
    other.setPreFormat(QUORVIN::PRE_DSD1);
    EXPECT_EQ(other.getPreFormat(), QUORVIN::PRE_DSD1);
    EXPECT_EQ(other.getLatency(), 2000);
}

TEST(FormatSupport, Queries)
{
    const FormatSupport m(0x2000000000ULL | 0x800000000ULL | 0x400000000ULL | 0x200000000ULL | 0x302ULL);
    EXPECT_EQ(m.getSpeedMultMin(), 1U);
    EXPECT_EQ(m.getSpeedMultMax(), 4U);
    EXPECT_EQ(m.getSpeedBaseMin(), 44100U);
    EXPECT_EQ(m.getSpeedBaseMax(), 48000U);
    EXPECT_EQ(m.getChMax(), 2U);
    EXPECT_EQ(m.getChMin(), 2U);
    EXPECT_EQ(m.getBitsMax(), 16U);
    EXPECT_EQ(m.getBitsMin(), 8U);
    EXPECT_TRUE(m.havePCM());
    EXPECT_FALSE(m.haveDSD());

    const FormatSupport none(0);
    EXPECT_EQ(none.getChMin(), 0U);
    EXPECT_EQ(none.getChMax(), 0U);
    EXPECT_EQ(none.getBitsMin(), 0U);
    EXPECT_EQ(none.getBitsMax(), 0U);
    EXPECT_EQ(none.getSpeedBaseMin(), 0U);
    EXPECT_EQ(none.getSpeedMultMax(), 0U);

    const FormatSupport dsd(0x2510000ULL | 0x3FULL | (0x1ULL << 32) | (0x1000ULL << 35));
    EXPECT_EQ(dsd.getBitsMin(), 1U);
    EXPECT_EQ(dsd.getBitsMax(), 1U);
    EXPECT_EQ(dsd.getChMin(), 1U);
    EXPECT_EQ(dsd.getChMax(), 16U);
    EXPECT_EQ(dsd.getSpeedBaseMin(), 8000U);
    EXPECT_EQ(dsd.getSpeedMultMax(), 4096U);
    EXPECT_TRUE(dsd.haveDSD());
    EXPECT_EQ(FormatSupport(0x2000 | 0x10000).getBitsMax(), 32U);
    EXPECT_EQ(FormatSupport(0x4000).getBitsMin(), 64U);
}
