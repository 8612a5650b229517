#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/SysLog.h"
#include "protocol/Format.h"
#include "stream/Sync.h"

namespace {

using namespace QUORVIN;

struct Probe : Sync {
    using Sync::copyRoutine;
    using Sync::hostConfig;
    using Sync::sincSupportDSDlsb;
    using Sync::sincSupportDSDmsb;
    using Sync::sincSupportPCM;
    using Sync::sinkConfig;
};

constexpr uint64_t STEREO = 0x02;
constexpr uint64_t CH16 = 0x20;
constexpr uint64_t RATE_44K1 = 0x000AULL << 32;   // 44100 Hz
constexpr uint64_t RATE_DSD64 = 0x0202ULL << 32;  // 2822400 Hz = 64 x 44100
constexpr uint64_t DSD1 = 0x10000;
constexpr uint64_t LSB = 0x100000;
constexpr uint64_t MSB = 0x200000;
constexpr uint64_t LE = 0x400000;
constexpr uint64_t BE = 0x800000;
constexpr uint64_t WORDS32 = 0x2000000;

// The example PCM mask: PCM32, stereo, 44.1 kHz x1 and x4.
constexpr uint64_t PCM_MASK = 0x2000000000 | 0x800000000 | 0x200000000 | 0x800 | 0x2;

uint64_t hostDsd(FormatID id)
{
    return STEREO | id | RATE_DSD64;
}
// A DSD mask that offers one-bit DSD in 32-bit words at the host's channels
// and rate, with the given bit order and word endiannesses.
uint64_t dsdMask(uint64_t order, uint64_t endian)
{
    return DSD1 | order | endian | WORDS32 | STEREO | RATE_DSD64;
}
// The same without 32-bit words.
uint64_t dsdMaskNoWords(uint64_t order)
{
    return DSD1 | order | LE | BE | STEREO | RATE_DSD64;
}

void sentinelRoutine(unsigned char*, const unsigned char*, size_t) {}

std::vector<std::string> captured;

void capture(const char* line)
{
    if (std::strlen(line) > TIVRA::SysLog::HeaderLength) {
        captured.emplace_back(line + TIVRA::SysLog::HeaderLength);
    }
}

class FormatAcceptance : public ::testing::Test {
protected:
    void SetUp() override
    {
        captured.clear();
        TIVRA::SysLog::initialize(16, capture);
        TIVRA::quorvin_log = 7;
        reset();
    }
    // Values that no acceptance writes, to see what a call changed.
    void reset()
    {
        captured.clear();
        sync.hostConfig = 0x1111;
        sync.sinkConfig = 0x2222;
        sync.copyRoutine = sentinelRoutine;
    }
    void TearDown() override
    {
        TIVRA::quorvin_log = -1;
        TIVRA::SysLog::finalize();
    }
    void setMasks(uint64_t pcm, uint64_t lsb, uint64_t msb)
    {
        sync.sincSupportPCM = pcm;
        sync.sincSupportDSDlsb = lsb;
        sync.sincSupportDSDmsb = msb;
    }
    void expectUnchanged()
    {
        EXPECT_EQ(sync.hostConfig.value, 0x1111U);
        EXPECT_EQ(sync.sinkConfig.value, 0x2222U);
        EXPECT_EQ(sync.copyRoutine.load(), sentinelRoutine);
    }

    Probe sync;
};

using Lines = std::vector<std::string>;

}  // namespace

TEST_F(FormatAcceptance, TwelveDsdConversions)
{
    struct Case {
        FormatID host;
        uint64_t lsb;
        uint64_t msb;
        FormatID target;
        CopyRoutine routine;
        const char* line;
    };
    // In the same-order cases the other bit order is fully offered too, and
    // still the bit order is kept. In the "offered" cases the other mask has
    // both endiannesses, and still the endianness changes.
    const Case cases[] = {
        {DSD1_LSB_LITTLE, dsdMask(LSB, BE), dsdMask(MSB, LE | BE), DSD1_LSB_BIG, Sync::memcpySyncByteSwap32,
         "DSD COVERT LSB littele -> LSB Big"},
        {DSD1_LSB_BIG, dsdMask(LSB, LE), dsdMask(MSB, LE | BE), DSD1_LSB_LITTLE, Sync::memcpySyncByteSwap32,
         "DSD COVERT LSB Big -> LSB littele"},
        {DSD1_MSB_LITTLE, dsdMask(LSB, LE | BE), dsdMask(MSB, BE), DSD1_MSB_BIG, Sync::memcpySyncByteSwap32,
         "DSD COVERT MSB littele -> MSB Big"},
        {DSD1_MSB_BIG, dsdMask(LSB, LE | BE), dsdMask(MSB, LE), DSD1_MSB_LITTLE, Sync::memcpySyncByteSwap32,
         "DSD COVERT MSB Big -> MSB littele"},
        {DSD1_LSB_LITTLE, dsdMaskNoWords(LSB), dsdMask(MSB, LE | BE), DSD1_MSB_BIG, Sync::memcpySyncBitByteSwap32,
         "DSD COVERT LSB littele -> MSB Big"},
        {DSD1_LSB_LITTLE, dsdMaskNoWords(LSB), dsdMask(MSB, LE), DSD1_MSB_LITTLE, Sync::memcpySyncBitSwap32,
         "DSD COVERT LSB littele -> MSB littele"},
        {DSD1_LSB_BIG, dsdMaskNoWords(LSB), dsdMask(MSB, LE | BE), DSD1_MSB_LITTLE, Sync::memcpySyncBitByteSwap32,
         "DSD COVERT LSB Big -> MSB littele"},
        {DSD1_LSB_BIG, dsdMaskNoWords(LSB), dsdMask(MSB, BE), DSD1_MSB_BIG, Sync::memcpySyncBitSwap32,
         "DSD COVERT LSB Big -> MSB Big"},
        {DSD1_MSB_LITTLE, dsdMask(LSB, LE | BE), dsdMaskNoWords(MSB), DSD1_LSB_BIG, Sync::memcpySyncBitByteSwap32,
         "DSD COVERT MSB littele -> LSB Big"},
        {DSD1_MSB_LITTLE, dsdMask(LSB, LE), dsdMaskNoWords(MSB), DSD1_LSB_LITTLE, Sync::memcpySyncBitSwap32,
         "DSD COVERT MSB littele -> LSB littele"},
        {DSD1_MSB_BIG, dsdMask(LSB, LE | BE), dsdMaskNoWords(MSB), DSD1_LSB_LITTLE, Sync::memcpySyncBitByteSwap32,
         "DSD COVERT MSB Big -> LSB littele"},
        {DSD1_MSB_BIG, dsdMask(LSB, BE), dsdMaskNoWords(MSB), DSD1_LSB_BIG, Sync::memcpySyncBitSwap32,
         "DSD COVERT MSB Big -> LSB Big"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        reset();
        setMasks(PCM_MASK, c.lsb, c.msb);
        const FormatConfigure host = hostDsd(c.host);
        ASSERT_FALSE(sync.checkSinkSupport(host));
        ASSERT_TRUE(sync.setSinkConfigure(host));
        EXPECT_EQ(sync.hostConfig.value, host.value);
        EXPECT_EQ(sync.sinkConfig.value, hostDsd(c.target));
        EXPECT_EQ(sync.copyRoutine.load(), c.routine);
        EXPECT_EQ(captured, Lines{c.line});
    }
}

TEST_F(FormatAcceptance, DirectAcceptanceCopiesPlainly)
{
    struct Case {
        const char* name;
        uint64_t host;
        uint64_t pcm;
        uint64_t lsb;
        uint64_t msb;
    };
    const Case cases[] = {
        {"PCM covered", STEREO | PCM32 | RATE_44K1, PCM_MASK, 0, 0},
        {"lsb covered by the lsb mask", hostDsd(DSD1_LSB_LITTLE), 0, dsdMask(LSB, LE), 0},
        {"msb covered by the msb mask", hostDsd(DSD1_MSB_BIG), 0, 0, dsdMask(MSB, BE)},
        // Without an order bit the union of the DSD masks counts: here the
        // lsb mask offers the sample format and the msb mask the rate.
        {"no order, covered by the union", STEREO | DSD1 | LE | WORDS32 | RATE_DSD64, 0, DSD1 | LE | WORDS32 | STEREO,
         RATE_DSD64},
        {"PCM with high bits the mask offers", (uint64_t{0xABCD} << 48) | STEREO | PCM32 | RATE_44K1,
         PCM_MASK | (uint64_t{0xABCD} << 48), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        sync.copyRoutine = Sync::memcpySyncBitSwap32AntiPhase;
        setMasks(c.pcm, c.lsb, c.msb);
        EXPECT_TRUE(sync.checkSinkSupport(c.host));
        ASSERT_TRUE(sync.setSinkConfigure(c.host));
        EXPECT_EQ(sync.hostConfig.value, c.host);
        EXPECT_EQ(sync.sinkConfig.value, c.host);
        EXPECT_EQ(sync.copyRoutine.load(), Sync::memcpySyncOrg);
        EXPECT_TRUE(captured.empty());
    }
}

TEST_F(FormatAcceptance, CoverageUsesTheMaskOfTheFormatsKind)
{
    struct Case {
        const char* name;
        uint64_t format;
        uint64_t pcm;
        uint64_t lsb;
        uint64_t msb;
        bool covered;
    };
    const uint64_t everything = ~uint64_t{0};
    const Case cases[] = {
        {"lsb format, only the msb mask offers it", hostDsd(DSD1_LSB_LITTLE), everything, 0, everything, false},
        {"msb format, only the lsb mask offers it", hostDsd(DSD1_MSB_LITTLE), everything, everything, 0, false},
        {"PCM format, only the DSD masks offer it", STEREO | PCM32 | RATE_44K1, 0, everything, everything, false},
        {"PCM at an unoffered multiplier", STEREO | PCM32 | (0x0012ULL << 32), PCM_MASK, 0, 0, false},
        {"PCM at an offered multiplier", STEREO | PCM32 | (0x0022ULL << 32), PCM_MASK, 0, 0, true},
        {"neither PCM nor DSD", STEREO | RATE_44K1, everything, everything, everything, false},
        // The bits above the rate count like every other bit.
        {"PCM with a high bit the mask lacks", (uint64_t{1} << 63) | STEREO | PCM32 | RATE_44K1, PCM_MASK, everything,
         everything, false},
        {"lsb DSD with a high bit the mask lacks", (uint64_t{1} << 48) | hostDsd(DSD1_LSB_LITTLE), 0,
         dsdMask(LSB, LE), everything, false},
        {"no order, a high bit in one mask", (uint64_t{1} << 50) | STEREO | DSD1 | LE | WORDS32 | RATE_DSD64, 0,
         DSD1 | LE | WORDS32 | (uint64_t{1} << 50), STEREO | RATE_DSD64, true},
        {"no order, neither mask alone", STEREO | DSD1 | LE | WORDS32 | RATE_DSD64, 0, DSD1 | LE | WORDS32,
         STEREO | RATE_DSD64, true},
        {"no order, a bit in neither mask", STEREO | DSD1 | LE | WORDS32 | RATE_DSD64, 0, DSD1 | WORDS32,
         STEREO | RATE_DSD64, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setMasks(c.pcm, c.lsb, c.msb);
        EXPECT_EQ(sync.checkSinkSupport(c.format), c.covered);
    }
}

TEST_F(FormatAcceptance, RefusalsChangeNothing)
{
    struct Case {
        const char* name;
        uint64_t host;
        uint64_t pcm;
        uint64_t lsb;
        uint64_t msb;
        Lines lines;
    };
    const uint64_t pcmNo24 = 0x2000000000 | 0x800000000 | 0x200000000 | 0x800 | 0x200 | 0x2;
    const Case cases[] = {
        {"PCM24 not in the PCM mask",
         STEREO | PCM24 | RATE_44K1,
         pcmNo24,
         dsdMask(LSB, LE | BE),
         dsdMask(MSB, LE | BE),
         {}},
        {"neither PCM nor DSD", STEREO | RATE_DSD64, PCM_MASK, ~uint64_t{0}, ~uint64_t{0}, {}},
        {"DSD words of 16 bits",
         STEREO | DSD1 | LSB | LE | 0x1000000 | RATE_DSD64,
         0,
         dsdMask(LSB, LE | BE),
         dsdMask(MSB, LE | BE),
         {}},
        {"no one-bit DSD offered",
         hostDsd(DSD1_LSB_LITTLE),
         0,
         (dsdMask(LSB, BE) & ~DSD1) | 0x20000,
         (dsdMask(MSB, LE | BE) & ~DSD1) | 0x20000,
         {}},
        {"no 32-bit words offered", hostDsd(DSD1_LSB_LITTLE), 0, dsdMaskNoWords(LSB), dsdMaskNoWords(MSB), {}},
        // The same order offers 32-bit words but not the other endianness:
        // that conversion is announced and fails, and the other bit order,
        // which would have worked, is not tried.
        {"same-order candidate fails", hostDsd(DSD1_LSB_LITTLE), 0, DSD1 | LSB | WORDS32 | STEREO | RATE_DSD64,
         dsdMask(MSB, LE | BE), Lines{"DSD COVERT LSB littele -> LSB Big"}},
        {"candidate keeps a high bit the sink lacks", (uint64_t{1} << 48) | hostDsd(DSD1_LSB_LITTLE), 0,
         dsdMask(LSB, BE), 0, Lines{"DSD COVERT LSB littele -> LSB Big"}},
        {"other-order candidate fails", hostDsd(DSD1_MSB_BIG), 0, (dsdMask(LSB, LE | BE) & ~STEREO) | 0x01,
         dsdMaskNoWords(MSB), Lines{"DSD COVERT MSB Big -> LSB littele"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        setMasks(c.pcm, c.lsb, c.msb);
        EXPECT_FALSE(sync.setSinkConfigure(c.host));
        expectUnchanged();
        EXPECT_EQ(captured, c.lines);
    }
}

TEST_F(FormatAcceptance, SizesFromTheMasks)
{
    auto line = [](const char* label, uint64_t mask, uint32_t v) {
        return std::string(label) + std::to_string(mask) + " si=" + std::to_string(v);
    };
    // One-bit DSD, stereo, 44.1 kHz x64 to x256.
    const uint64_t dsdStereo = DSD1 | STEREO | 0x200000000 | (0x7ULL << 41);
    // Four-bit DSD, 16 channels, 44.1 kHz x64: (64 x 4 x 16) >> 3 = 512, (4 x 16) >> 3 = 8.
    const uint64_t dsd4Ch16 = 0x20000 | CH16 | 0x200000000 | (1ULL << 41);
    // PCM16 stereo at 44.1 kHz x1: 4 and 4.
    const uint64_t pcm16 = 0x200 | STEREO | 0x200000000 | 0x800000000;
    // PCM32, 8 channels, 44.1 kHz x1: 32 and 32.
    const uint64_t pcm32Ch8 = 0x800 | 0x10 | 0x200000000 | 0x800000000;
    // No multiplier offered: 0 for the base, skipped in the minimum.
    const uint64_t pcmNoMultiplier = 0x800 | STEREO | 0x200000000;

    struct Case {
        const char* name;
        uint64_t pcm;
        uint64_t lsb;
        uint64_t msb;
        uint32_t baseMin;
        Lines baseLines;
        uint32_t frameMax;
        Lines frameLines;
    };
    const Case cases[] = {
        {"the PCM example",
         PCM_MASK,
         0,
         0,
         8,
         {line("sincSupportPCM=", PCM_MASK, 8)},
         8,
         {line("sincSupportPCM=", PCM_MASK, 8)}},
        {"no masks", 0, 0, 0, 0xFFFFFFFF, {}, 0, {}},
        {"one-bit DSD stereo",
         0,
         dsdStereo,
         0,
         16,
         {line("sincSupportDSDlsb=", dsdStereo, 16)},
         0,
         {line("sincSupportDSDlsb=", dsdStereo, 0)}},
        {"smallest in the middle, largest first",
         pcm32Ch8,
         dsdStereo,
         dsd4Ch16,
         16,
         {line("sincSupportPCM=", pcm32Ch8, 32), line("sincSupportDSDlsb=", dsdStereo, 16),
          line("sincSupportDSDmsb=", dsd4Ch16, 512)},
         32,
         {line("sincSupportPCM=", pcm32Ch8, 32), line("sincSupportDSDlsb=", dsdStereo, 0),
          line("sincSupportDSDmsb=", dsd4Ch16, 8)}},
        {"smallest first, largest last",
         pcm16,
         dsdStereo,
         dsd4Ch16,
         4,
         {line("sincSupportPCM=", pcm16, 4), line("sincSupportDSDlsb=", dsdStereo, 16),
          line("sincSupportDSDmsb=", dsd4Ch16, 512)},
         8,
         {line("sincSupportPCM=", pcm16, 4), line("sincSupportDSDlsb=", dsdStereo, 0),
          line("sincSupportDSDmsb=", dsd4Ch16, 8)}},
        {"a zero size is no minimum",
         pcmNoMultiplier,
         0,
         dsdStereo,
         16,
         {line("sincSupportPCM=", pcmNoMultiplier, 0), line("sincSupportDSDmsb=", dsdStereo, 16)},
         8,
         {line("sincSupportPCM=", pcmNoMultiplier, 8), line("sincSupportDSDmsb=", dsdStereo, 0)}},
        {"only zero sizes",
         pcmNoMultiplier,
         0,
         0,
         0xFFFFFFFF,
         {line("sincSupportPCM=", pcmNoMultiplier, 0)},
         8,
         {line("sincSupportPCM=", pcmNoMultiplier, 8)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setMasks(c.pcm, c.lsb, c.msb);
        captured.clear();
        EXPECT_EQ(sync.getNoneBaseMin(), c.baseMin);
        EXPECT_EQ(captured, c.baseLines);
        captured.clear();
        EXPECT_EQ(sync.getFrameMax(), c.frameMax);
        EXPECT_EQ(captured, c.frameLines);
    }
}
