#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/SysLog.h"
#include "stream/Profile.h"
#include "stream/Sync.h"

using QUORVIN::FormatConfigure;
using QUORVIN::Profile;
using QUORVIN::ProfileMaker;
using TIVRA::Clock;

namespace {

constexpr uint64_t US = Clock::US;
constexpr uint64_t MS = Clock::MS;

FormatConfigure make(uint64_t format, unsigned channels, unsigned long hz)
{
    FormatConfigure f;
    EXPECT_TRUE(f.setFormat(format));
    EXPECT_TRUE(f.setChannel(channels));
    EXPECT_TRUE(f.setSpeed(hz));
    return f;
}

const FormatConfigure CD = make(QUORVIN::PCM16, 2, 44100);                 // Bps8 176400, frame 4
const FormatConfigure HIRES = make(QUORVIN::PCM32, 2, 192000);             // Bps8 1536000, frame 8
const FormatConfigure PCM24_48 = make(QUORVIN::PCM24, 2, 48000);           // Bps8 288000, frame 6
const FormatConfigure PCM24_96 = make(QUORVIN::PCM24, 2, 96000);           // Bps8 576000, frame 6
const FormatConfigure PHONE = make(QUORVIN::PCM16, 2, 8000);               // Bps8 0: 8000 Hz reads back 0
const FormatConfigure DSD64 = make(QUORVIN::DSD1_LSB_LITTLE, 2, 2822400);  // Bps8 705600, frame 8

ProfileMaker maker(FormatConfigure config, uint64_t limit, unsigned short size, unsigned short count)
{
    ProfileMaker m;
    m.setConfig(config, Clock{limit}, size, count);
    return m;
}

// Every emitted log line, without its 31-character header.
std::vector<std::string>* capturedLines = nullptr;

void captureLine(const char* line)
{
    if (capturedLines != nullptr && std::strlen(line) >= TIVRA::SysLog::HeaderLength) {
        capturedLines->emplace_back(line + TIVRA::SysLog::HeaderLength);
    }
}

class LogCapture {
public:
    LogCapture() : previous(TIVRA::SysLog::getOwn()), previousLevel(TIVRA::quorvin_log)
    {
        TIVRA::SysLog::initialize(16, &captureLine);
        TIVRA::quorvin_log = 7;
        capturedLines = &lines;
    }
    ~LogCapture()
    {
        capturedLines = nullptr;
        TIVRA::quorvin_log = previousLevel;
        TIVRA::SysLog::finalize();
        TIVRA::SysLog::reinitialize(previous);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool has(const std::string& text) const
    {
        for (const std::string& line : lines) {
            if (line == text) {
                return true;
            }
        }
        return false;
    }
    bool hasPrefix(const std::string& text) const
    {
        for (const std::string& line : lines) {
            if (line.compare(0, text.size(), text) == 0) {
                return true;
            }
        }
        return false;
    }
    // Index of the first line equal to text, -1 when there is none.
    int indexOf(const std::string& text) const
    {
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i] == text) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    std::vector<std::string> lines;

private:
    void* previous;
    int previousLevel;
};

struct Expected {
    uint64_t cycle;
    uint16_t count;
    uint32_t bytes;
    uint32_t bytesMax;
    uint32_t q14;
    QUORVIN::TransferMode mode;
};

void expectResult(const ProfileMaker& m, const Expected& e, const std::string& what)
{
    EXPECT_EQ(m.cycleTime.picoseconds, e.cycle) << what;
    EXPECT_EQ(m.packetCount, e.count) << what;
    EXPECT_EQ(m.packetBytes, e.bytes) << what;
    EXPECT_EQ(m.packetBytesMax, e.bytesMax) << what;
    EXPECT_EQ(m.framesPerPacketQ14, e.q14) << what;
    EXPECT_EQ(m.mode, e.mode) << what;
}

}  // namespace

// ---------------------------------------------------------------------------
// Fixed and variable profiles

TEST(ProfileMaker, ConstructedValues)
{
    const ProfileMaker m;
    EXPECT_EQ(m.cycleTime.picoseconds, Clock::SEC);
    EXPECT_EQ(m.packetCount, 1);
    EXPECT_EQ(m.packetBytes, 0U);
    EXPECT_EQ(m.mode, QUORVIN::TransferVar);
    EXPECT_FALSE(m.forceAuto);
    EXPECT_FALSE(m.minKnown);

    ProfileMaker r = maker(CD, 400 * US, 1428, 10);
    ASSERT_TRUE(r.configTransferRandom(Clock{500 * US}, Clock{MS}, 0));
    const Profile p = r;
    EXPECT_EQ(p.cycleTime, r.cycleTime);
    EXPECT_EQ(p.packetBytes, r.packetBytes);
    EXPECT_EQ(p.packetBytesMax, r.packetBytesMax);
    EXPECT_EQ(p.framesPerPacketQ14, r.framesPerPacketQ14);
    EXPECT_EQ(p.packetCount, r.packetCount);
    EXPECT_EQ(p.minCycleTime.picoseconds, 500 * US);
    EXPECT_EQ(p.mode, QUORVIN::TransferRandom);
}

TEST(ProfileMaker, FixAndVarExamples)
{
    struct Case {
        const char* what;
        FormatConfigure config;
        unsigned short size;
        unsigned short count;
        bool var;
        uint64_t cycle;
        Expected e;
    };
    const std::vector<Case> cases = {
        {"Fix 1 ms", CD, 1428, 10, false, MS, {MS, 1, 0, 184, 722534, QUORVIN::TransferFix}},
        {"Var 1 ms", CD, 1428, 10, true, MS, {MS, 1, 180, 180, 737280, QUORVIN::TransferVar}},
        {"Fix 10 ms", CD, 1428, 10, false, 10 * MS, {10 * MS, 2, 0, 912, 3612672, QUORVIN::TransferFix}},
        // need 1764 bytes in two packets of 882, lowered to 880
        {"Var 10 ms", CD, 1428, 10, true, 10 * MS, {10 * MS, 2, 880, 880, 220 << 14, QUORVIN::TransferVar}},
        // the margin-inflated need of 1 ms (184) exceeds 100 bytes: down to 500 us (need 91, size 92)
        {"Fix 100/1", CD, 100, 1, false, MS, {500 * US, 1, 0, 92, 361267, QUORVIN::TransferFix}},
        // single precision: 500 us x 1e-6f x 1536000 lies just above 768, so 769 raised to 776
        {"Var float need", HIRES, 1428, 10, true, 500 * US, {500 * US, 1, 776, 776, 97 << 14, QUORVIN::TransferVar}},
        // single precision: 6250 x 1.03e-6f x 288000 is 1854 exactly (double: above it, 1860 as frames),
        // which fills two packets of 927
        {"Fix float need", PCM24_48, 927, 10, false, 6250 * US, {6250 * US, 2, 0, 930, 2457600, QUORVIN::TransferFix}},
        // the largest correction (+491/16384) just crosses into the 134th frame
        {"Fix largest packet", CD, 1428, 10, false, 2950 * US, {2950 * US, 1, 0, 536, 2131476, QUORVIN::TransferFix}},
        // a need equal to the limit does not fit the fixed family: down to 950 us (176 bytes)
        {"Fix below the limit", CD, 184, 1, false, MS, {950 * US, 1, 0, 176, 686407, QUORVIN::TransferFix}},
        // the variable family takes a need equal to the limit at the given cycle
        {"Var at the limit", CD, 180, 1, true, MS, {MS, 1, 180, 180, 45 << 14, QUORVIN::TransferVar}},
        // 17640 bytes exceed 14280: the cycle shrinks to what 14280 bytes take, ceil(80952.38) us
        {"Var over limit", CD, 1428, 10, true, 100 * MS, {80953 * US, 10, 1428, 1428, 357 << 14, QUORVIN::TransferVar}},
    };
    for (const Case& c : cases) {
        ProfileMaker m = maker(c.config, 400 * US, c.size, c.count);
        const bool ok = c.var ? m.configTransferVar(Clock{c.cycle}, 0) : m.configTransferFix(Clock{c.cycle}, 0);
        ASSERT_TRUE(ok) << c.what;
        expectResult(m, c.e, c.what);
    }
}

TEST(ProfileMaker, FixKeepsMinCycleAndCountNarrowsLimit)
{
    ProfileMaker m = maker(CD, 400 * US, 1428, 10);
    m.minCycleTime = Clock{123};
    m.packetBytes = 77;
    ASSERT_TRUE(m.configTransferFix(Clock{10 * MS}, 1));  // one packet: 1428 bytes at most
    EXPECT_EQ(m.minCycleTime.picoseconds, 123U);
    EXPECT_EQ(m.packetBytes, 0U);
    EXPECT_LT(m.cycleTime.picoseconds, 10 * MS);
    EXPECT_EQ(m.cycleTime.picoseconds % (50 * US), 0U);
    EXPECT_EQ(m.packetCount, 1);
}

// The downward search halves its range instead of walking the 50-us steps;
// it must land on exactly the cycle the walk finds.
TEST(ProfileMaker, FixSearchMatchesStepwiseWalk)
{
    auto walk = [](FormatConfigure config, uint64_t cycle, uint64_t limit, uint64_t& found) {
        const uint32_t bps8 = static_cast<uint32_t>((config.getSpeed() * config.getBits() * config.getChannel()) >> 3);
        const uint32_t frame = config.getWid() * config.getChannel();
        for (;;) {
            const float need = static_cast<float>(cycle / US) * 1.03e-6f * static_cast<float>(bps8);
            const uint64_t size = (static_cast<uint64_t>(std::ceil(need)) + frame - 1) / frame * frame;
            if (size < limit) {
                found = cycle;
                return true;
            }
            if (cycle <= 50 * US) {
                return false;
            }
            cycle -= 50 * US;
        }
    };
    const FormatConfigure configs[] = {CD, HIRES, PCM24_96, DSD64, make(QUORVIN::PCM32, 8, 384000)};
    const unsigned short sizes[] = {4, 100, 1428, 9000};
    const int counts[] = {1, 3};
    const uint64_t cycles[] = {37 * US, MS, 10 * MS, 123456789, 200 * MS + 7};
    int checked = 0;
    for (const FormatConfigure& config : configs) {
        for (const unsigned short size : sizes) {
            for (const int count : counts) {
                for (const uint64_t cycle : cycles) {
                    ProfileMaker m = maker(config, 400 * US, size, 10);
                    uint64_t expected = 0;
                    const bool fits = walk(config, cycle, uint64_t{size} * count, expected);
                    const std::string what = std::to_string(config.value) + " size " + std::to_string(size) + " count "
                                             + std::to_string(count) + " cycle " + std::to_string(cycle);
                    ASSERT_EQ(m.configTransferFix(Clock{cycle}, count), fits) << what;
                    if (fits) {
                        EXPECT_EQ(m.cycleTime.picoseconds, expected) << what;
                        ++checked;
                    }
                }
            }
        }
    }
    EXPECT_GT(checked, 100);
}

TEST(ProfileMaker, FixAndVarRefusals)
{
    struct Case {
        const char* what;
        FormatConfigure config;
        unsigned short size;
        unsigned short count;
        int countArg;
        uint64_t cycle;
        bool fix;
        bool var;
    };
    const std::vector<Case> cases = {
        {"zero packet size", CD, 0, 10, 0, MS, false, false},
        {"zero packet count", CD, 1428, 0, 0, MS, false, false},
        {"negative count", CD, 1428, 10, -1, MS, false, false},
        {"8000 Hz has no byte rate", PHONE, 1428, 10, 0, MS, false, false},
        // 50 us already need 10 bytes (12 as frames) and 4 bytes fit
        {"nothing down to 50 us fits", CD, 4, 1, 0, MS, false, true},
        {"packets below a frame", CD, 2, 10, 0, MS, true, false},
        {"count above the limit is capped", CD, 1428, 10, 1000, MS, true, true},
    };
    for (const Case& c : cases) {
        ProfileMaker m = maker(c.config, 400 * US, c.size, c.count);
        EXPECT_EQ(m.configTransferFix(Clock{c.cycle}, c.countArg), c.fix) << c.what;
        EXPECT_EQ(m.configTransferVar(Clock{c.cycle}, c.countArg), c.var) << c.what;
    }
}

TEST(ProfileMaker, SetParameter)
{
    struct Case {
        unsigned short min;
        unsigned short max;
        uint16_t prof;
        bool result;
        bool minKnown;
    };
    const std::vector<Case> cases = {
        {3, 0, QUORVIN::PROFILE_SINKCYCLE, true, true},
        {3, 0, 0, true, false},
        {8333, 0, 0, true, true},
        {5, 100, QUORVIN::PROFILE_VAR, true, true},
        {33333, 0, 0, true, true},
        {6, 0, QUORVIN::PROFILE_SINKCYCLE, true, false},
        {100, 1000, QUORVIN::PROFILE_FROMMIN | QUORVIN::PROFILE_AUTO, true, false},
        {0, 0, 0x40, true, false},  // an unknown flag still counts as a parameter
    };
    for (const Case& c : cases) {
        ProfileMaker m;
        m.minKnown = !c.minKnown;
        EXPECT_EQ(m.setParameter(c.min, c.max, c.prof, 4, 8), c.result) << c.min;
        EXPECT_EQ(m.minKnown, c.minKnown) << c.min;
        EXPECT_EQ(m.min, c.min);
        EXPECT_EQ(m.max, c.max);
        EXPECT_EQ(m.prof, c.prof);
        EXPECT_EQ(m.baseMin, 4U);
        EXPECT_EQ(m.frameMax, 8U);
        EXPECT_EQ(m.cycleTime.picoseconds, 0U);
    }

    // An empty answer leaves minKnown as it was, either way.
    for (const bool known : {false, true}) {
        ProfileMaker m;
        m.minKnown = known;
        EXPECT_FALSE(m.setParameter(0, 0, 0, 4, 8));
        EXPECT_EQ(m.minKnown, known);
        EXPECT_EQ(m.cycleTime.picoseconds, 0U);
        EXPECT_EQ(m.baseMin, 4U);
    }
}

TEST(ProfileMaker, Random)
{
    struct Case {
        uint64_t minCycle;
        uint64_t cycle;
        bool ok;
    };
    const std::vector<Case> cases = {
        {0, MS, false},       {999999, MS, false}, {US, MS, true},
        {500 * US, MS, true}, {MS, MS, false},  // the cycle must lie above the minimum
        {2 * MS, MS, false},
    };
    for (const Case& c : cases) {
        ProfileMaker m = maker(CD, 400 * US, 1428, 10);
        EXPECT_EQ(m.configTransferRandom(Clock{c.minCycle}, Clock{c.cycle}, 0), c.ok) << c.minCycle;
        if (c.ok) {
            EXPECT_EQ(m.mode, QUORVIN::TransferRandom);
            EXPECT_EQ(m.minCycleTime.picoseconds, c.minCycle);
            EXPECT_EQ(m.cycleTime.picoseconds, MS);
            EXPECT_EQ(m.framesPerPacketQ14, 722534U);  // the Fix profile underneath
            EXPECT_EQ(m.packetBytesMax, 184U);
        } else {
            EXPECT_EQ(m.minCycleTime.picoseconds, 0U);
        }
    }
    ProfileMaker m = maker(CD, 400 * US, 0, 10);
    EXPECT_FALSE(m.configTransferRandom(Clock{500 * US}, Clock{MS}, 0));  // Fix itself fails
}

TEST(ProfileMaker, SizeFix)
{
    ProfileMaker m = maker(CD, 400 * US, 1428, 10);
    ASSERT_TRUE(m.configTransferSizeFix(3000));  // 3000 -> 1500 -> 750 bytes, 4 packets
    EXPECT_EQ(m.packetBytes, 750U);
    EXPECT_EQ(m.packetCount, 4);
    EXPECT_EQ(m.packetBytesMax, 750U);
    EXPECT_EQ(m.framesPerPacketQ14, 187U << 14);
    EXPECT_EQ(m.cycleTime.picoseconds, 17007 * US);  // ceil(3000 / 176400 s) in us
    EXPECT_EQ(m.mode, QUORVIN::TransferVar);

    ASSERT_TRUE(m.configTransferSizeFix(1428));
    EXPECT_EQ(m.packetCount, 1);
    EXPECT_EQ(m.packetBytes, 1428U);

    EXPECT_FALSE(maker(PHONE, 400 * US, 1428, 10).configTransferSizeFix(3000));  // no byte rate
    EXPECT_FALSE(maker(CD, 400 * US, 1, 10).configTransferSizeFix(100000));      // more than 32768 packets
    EXPECT_FALSE(maker(CD, 400 * US, 0, 10).configTransferSizeFix(1000));
    EXPECT_FALSE(maker(CD, 400 * US, 1428, 10).configTransferSizeFix(0));
}

// ---------------------------------------------------------------------------
// Packet-count search

TEST(ProfileMaker, PacketCountSearch)
{
    // 192 kHz 32-bit stereo: one packet of 1428 bytes holds only 900 us of the
    // margin-inflated need, two packets hold the whole millisecond.
    ProfileMaker fix = maker(HIRES, 400 * US, 1428, 10);
    ASSERT_TRUE(fix.configTransferFixAuto(Clock{MS}));
    expectResult(fix, {MS, 2, 0, 792, 1572864, QUORVIN::TransferFix}, "FixAuto");

    // With one packet allowed the second attempt repeats the first (900 us):
    // the search ends with it.
    ProfileMaker one = maker(HIRES, 400 * US, 1428, 1);
    ASSERT_TRUE(one.configTransferFixAuto(Clock{MS}));
    EXPECT_EQ(one.cycleTime.picoseconds, 900 * US);
    EXPECT_EQ(one.packetCount, 1);

    // Var: one packet gives ceil(929.69) us, two packets reach the target.
    ProfileMaker var = maker(HIRES, 400 * US, 1428, 10);
    ASSERT_TRUE(var.configTransferVarAuto(Clock{MS}));
    expectResult(var, {MS, 2, 768, 768, 96 << 14, QUORVIN::TransferVar}, "VarAuto");

    // 12-byte packets: one never fits, two fit 100 us. When the cycle left
    // from before the search is 100 us too, the search ends at two packets
    // with the two-packet profile, not with the failed one-packet attempt.
    ProfileMaker stale = maker(CD, 400 * US, 12, 10);
    stale.cycleTime = Clock{100 * US};
    ASSERT_TRUE(stale.configTransferFixAuto(Clock{MS}));
    EXPECT_EQ(stale.cycleTime.picoseconds, 100 * US);
    EXPECT_EQ(stale.packetCount, 2);
    ProfileMaker fresh = maker(CD, 400 * US, 12, 10);
    ASSERT_TRUE(fresh.configTransferFixAuto(Clock{MS}));
    EXPECT_EQ(fresh.cycleTime.picoseconds, 600 * US);  // ten packets, the most allowed
    EXPECT_EQ(fresh.packetCount, 10);

    ProfileMaker varOne = maker(HIRES, 400 * US, 1428, 1);
    ASSERT_TRUE(varOne.configTransferVarAuto(Clock{MS}));
    expectResult(varOne, {930 * US, 1, 1424, 1424, 178 << 14, QUORVIN::TransferVar}, "VarAuto one packet");
}

TEST(ProfileMaker, PacketCountSearchFailsInsteadOfLooping)
{
    struct Case {
        const char* what;
        FormatConfigure config;
        unsigned short size;
        unsigned short count;
        bool fix;
        bool var;
    };
    const std::vector<Case> cases = {
        {"zero packet size", CD, 0, 10, false, false},
        {"zero packet count", CD, 1428, 0, false, false},
        {"no byte rate", PHONE, 1428, 10, false, false},
        {"packets below a frame", CD, 2, 0xFFFF, true, false},
        // no cycle down to 50 us fits two 4-byte packets, whatever the count
        {"nothing fits", CD, 4, 2, false, true},
    };
    for (const Case& c : cases) {
        ProfileMaker m = maker(c.config, 400 * US, c.size, c.count);
        EXPECT_EQ(m.configTransferFixAuto(Clock{MS}), c.fix) << c.what;
        EXPECT_EQ(m.configTransferVarAuto(Clock{MS}), c.var) << c.what;
    }
}

// ---------------------------------------------------------------------------
// The automatic profile

TEST(ProfileMaker, AutomaticFixedAndVariable)
{
    using namespace QUORVIN;
    struct Case {
        const char* what;
        FormatConfigure config;
        uint64_t limit;
        unsigned short min;
        unsigned short max;
        uint16_t prof;
        bool ok;
        uint64_t cycle;
        uint16_t count;
        TransferMode mode;
    };
    const std::vector<Case> cases = {
        {"Fix from min", CD, 400 * US, 100, 1000, PROFILE_FROMMIN | PROFILE_AUTO, true, MS, 1, TransferFix},
        {"Fix from the limit above min", CD, 2 * MS, 100, 1000, PROFILE_FROMMIN, true, 2 * MS, 1, TransferFix},
        // limit only: the search starts at the limit itself, not at min
        {"Fix limit only", CD, 400 * US, 100, 1000, PROFILE_FROMMIN | PROFILE_LIMITONLY, true, 400 * US, 1,
         TransferFix},
        // one packet at max: 1428 bytes of need hold 7.8 ms
        {"Fix at max, one attempt", CD, 400 * US, 100, 1000, 0, true, 7800 * US, 1, TransferFix},
        {"Fix at max, searched", CD, 400 * US, 100, 1000, PROFILE_AUTO, true, 10 * MS, 2, TransferFix},
        {"Fix below the limit", CD, MS, 10, 50, PROFILE_AUTO, false, 0, 0, TransferFix},
        {"Fix limit only below the limit", CD, MS, 10, 50, PROFILE_LIMITONLY, false, 0, 0, TransferFix},
        {"Fix below min", CD, 400 * US, 900, 1000, 0, false, 0, 0, TransferFix},
        // 900 us is all one packet holds: rejected twice with the same cycle
        {"Fix from min, short twice", HIRES, MS, 100, 1000, PROFILE_FROMMIN, false, 0, 0, TransferFix},
        // 1 ms lies below lim103 (1.03 ms); the next step, 1.05 ms, is accepted
        {"Var from min", CD, MS, 100, 1000, PROFILE_VAR | PROFILE_FROMMIN | PROFILE_AUTO, true, 1050 * US, 1,
         TransferVar},
        // a cycle of exactly lim103 is accepted
        {"Var from min at lim103", CD, MS, 103, 1000, PROFILE_VAR | PROFILE_FROMMIN, true, 1030 * US, 1, TransferVar},
        {"Var limit only below lim103", CD, MS, 100, 100, PROFILE_VAR | PROFILE_LIMITONLY, false, 0, 0, TransferVar},
        {"Var limit only", CD, MS, 100, 200, PROFILE_VAR | PROFILE_LIMITONLY, true, 2 * MS, 1, TransferVar},
        // from the 3-ms limit every cycle lies above max (2 ms)
        {"Var from min above max", CD, 3 * MS, 100, 200, PROFILE_VAR | PROFILE_FROMMIN, false, 0, 0, TransferVar},
        // lim103 (10.3 ms) lies above max (10 ms): no cycle can be accepted
        {"Var from min, empty window", CD, 10 * MS, 100, 1000, PROFILE_VAR | PROFILE_FROMMIN | PROFILE_AUTO, false, 0,
         0, TransferVar},
        // min and limit 0: the first variable cycle carries nothing, and the
        // search fails there instead of stepping on to 50 us
        {"Var from 0", CD, 0, 0, 1000, PROFILE_VAR | PROFILE_FROMMIN, false, 0, 0, TransferVar},
        {"Var from 0, searched", CD, 0, 0, 1000, PROFILE_VAR | PROFILE_FROMMIN | PROFILE_AUTO, false, 0, 0,
         TransferVar},
    };
    for (const Case& c : cases) {
        ProfileMaker m = maker(c.config, c.limit, 1428, 10);
        ASSERT_TRUE(m.setParameter(c.min, c.max, c.prof, 4, 4)) << c.what;
        ASSERT_EQ(m.configTransferAuto(), c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(m.cycleTime.picoseconds, c.cycle) << c.what;
            EXPECT_EQ(m.packetCount, c.count) << c.what;
            EXPECT_EQ(m.mode, c.mode) << c.what;
        }
    }
}

TEST(ProfileMaker, AutomaticLogLines)
{
    LogCapture log;
    ProfileMaker m = maker(CD, MS, 1428, 10);
    m.setParameter(100, 1000, QUORVIN::PROFILE_FROMMIN | QUORVIN::PROFILE_AUTO, 4, 4);
    ASSERT_TRUE(m.configTransferAuto());
    EXPECT_TRUE(log.has("PROFILE min=100 max=1000 prof12 config" + std::to_string(CD.value)
                        + " PackDataSize1428 PackDataCount10 limitCycle1000 baseMin4"));
    EXPECT_TRUE(log.has("PROFILE done Fix"));

    log.lines.clear();
    m.setParameter(100, 1000, QUORVIN::PROFILE_VAR | QUORVIN::PROFILE_FROMMIN, 4, 4);
    ASSERT_TRUE(m.configTransferAuto());
    EXPECT_TRUE(log.has("PROFILE done Var"));

    // An empty parameter set fails at once and logs nothing.
    log.lines.clear();
    m.setParameter(0, 0, 0, 4, 4);
    m.cycleTime = Clock{5};
    EXPECT_FALSE(m.configTransferAuto());
    EXPECT_EQ(m.cycleTime.picoseconds, 0U);
    EXPECT_TRUE(log.lines.empty());

    log.lines.clear();
    m.setParameter(10, 50, QUORVIN::PROFILE_AUTO, 4, 4);
    EXPECT_FALSE(m.configTransferAuto());
    EXPECT_TRUE(log.hasPrefix("PROFILE min=10 max=50 prof8 "));
    EXPECT_FALSE(log.hasPrefix("PROFILE done"));
}

TEST(ProfileMaker, ForceAutoSearchesWithoutTheFlag)
{
    ProfileMaker m = maker(HIRES, MS, 1428, 10);
    m.setParameter(100, 100, 0, 8, 8);
    EXPECT_FALSE(m.configTransferAuto());  // one packet: 900 us, below the limit
    m.forceAuto = true;
    ASSERT_TRUE(m.configTransferAuto());  // two packets reach 1 ms
    EXPECT_EQ(m.cycleTime.picoseconds, MS);
    EXPECT_EQ(m.packetCount, 2);
}

// ---------------------------------------------------------------------------
// The sink-cycle profile

TEST(ProfileMaker, SinkCycleProfiles)
{
    using namespace QUORVIN;
    struct Case {
        const char* what;
        FormatConfigure config;
        uint64_t limit;
        unsigned short size;
        unsigned short min;
        unsigned int baseMin;
        unsigned int frameMax;
        bool ok;
        const char* name;
        const char* warning;
        Expected e;
    };
    const std::vector<Case> cases = {
        // 176400 bytes/s at the base rate: 588 bytes per 1/300 s in one packet
        {"Kelvanto 44.1 kHz",
         CD,
         400 * US,
         1428,
         3,
         4,
         4,
         true,
         "Kelvanto",
         nullptr,
         {3333333333, 1, 588, 588, 147 << 14, TransferSinkCycle}},
        // 288000 bytes/s: 960 bytes halved to two packets of 480 (whole 6-byte frames)
        {"Kelvanto 48 kHz halved",
         PCM24_48,
         400 * US,
         500,
         3,
         6,
         6,
         true,
         "Kelvanto",
         nullptr,
         {3333333333, 2, 480, 480, 80 << 14, TransferSinkCycle}},
        // the same sink cycle at twice the rate takes half the time
        {"Kelvanto 96 kHz",
         PCM24_96,
         400 * US,
         500,
         3,
         6,
         6,
         true,
         "Kelvanto",
         nullptr,
         {1666666666, 2, 480, 480, 80 << 14, TransferSinkCycle}},
        // a known cycle other than 3 also selects Kelvanto
        {"Kelvanto known 1041",
         CD,
         400 * US,
         1428,
         1041,
         4,
         4,
         true,
         "Kelvanto",
         nullptr,
         {13333333333, 4, 588, 588, 147 << 14, TransferSinkCycle}},
        // 588 halved is 294, not whole 4-byte frames: the sink's own cycle instead,
        // 3 x 10 us of 176400 bytes/s = 5 bytes raised to 8; 9 packets reach 400 us
        {"fragment",
         CD,
         400 * US,
         500,
         3,
         4,
         4,
         true,
         "SinkCycle",
         "KelvantoMode fragment talt",
         {408163265, 9, 8, 8, 2 << 14, TransferSinkCycle}},
        // 1 ms of 176400 bytes/s: 176 bytes take 997.7 us, two packets pass 1 ms
        {"SinkCycle min 1 ms",
         CD,
         400 * US,
         1428,
         100,
         4,
         4,
         true,
         "SinkCycle",
         nullptr,
         {1995464852, 2, 176, 176, 44 << 14, TransferSinkCycle}},
        // 10 ms: 1764 bytes in two packets of 882 raised to 884
        {"SinkCycle split",
         CD,
         400 * US,
         1428,
         1000,
         4,
         4,
         true,
         "SinkCycle",
         nullptr,
         {10022675736, 2, 884, 884, 221 << 14, TransferSinkCycle}},
        // the tail raises the packet count until the limit is reached
        {"SinkCycle limit",
         CD,
         5 * MS,
         1428,
         100,
         4,
         4,
         true,
         "SinkCycle",
         nullptr,
         {5986394557, 6, 176, 176, 44 << 14, TransferSinkCycle}},
        {"8000 Hz known", PHONE, 400 * US, 1428, 3, 4, 4, false, nullptr, "KelvantoMode base rate talt", {}},
        {"8000 Hz unknown", PHONE, 400 * US, 1428, 100, 4, 4, false, nullptr, nullptr, {}},
        {"no frame alignment", DSD64, 400 * US, 1428, 3, 16, 0, false, nullptr, nullptr, {}},
        {"no base rate", FormatConfigure(QUORVIN::PCM16 | 0x02), 400 * US, 1428, 3, 4, 4, false, nullptr, nullptr, {}},
        {"no base bytes", CD, 400 * US, 1428, 3, 0, 4, false, nullptr, nullptr, {}},
        // 588 bytes hold no 1024-byte unit: nothing to send
        {"units 0", CD, 400 * US, 1428, 3, 4, 1024, false, nullptr, nullptr, {}},
        {"rate beyond 32 bits", CD, 400 * US, 1428, 3, 0x10000000, 4, false, nullptr, nullptr, {}},
    };
    for (const Case& c : cases) {
        LogCapture log;
        ProfileMaker m = maker(c.config, c.limit, c.size, 10);
        m.setParameter(c.min, 0, PROFILE_SINKCYCLE, c.baseMin, c.frameMax);
        ASSERT_EQ(m.configTransferAuto(), c.ok) << c.what;
        if (c.warning != nullptr) {
            EXPECT_TRUE(log.has(c.warning)) << c.what;
        } else {
            EXPECT_FALSE(log.hasPrefix("KelvantoMode")) << c.what;
        }
        if (!c.ok) {
            EXPECT_FALSE(log.hasPrefix("PROFILE done")) << c.what;
            continue;
        }
        expectResult(m, c.e, c.what);
        const std::string sinc = "SINCCYCLE=" + std::to_string(c.e.bytes) + "x" + std::to_string(c.e.count)
                                 + " cycle=" + std::to_string(c.e.cycle) + "ps";
        const int sincAt = log.indexOf(sinc);
        const int doneAt = log.indexOf(std::string("PROFILE done ") + c.name);
        EXPECT_GE(sincAt, 0) << c.what;
        EXPECT_GT(doneAt, sincAt) << c.what;
    }
}

TEST(ProfileMaker, SinkCycleSearchesAreBounded)
{
    using namespace QUORVIN;
    // Packets smaller than the alignment: the split would run past 65535 packets.
    ProfileMaker split = maker(HIRES, 400 * US, 4, 10);
    split.setParameter(65535, 0, PROFILE_SINKCYCLE, 8, 8);
    EXPECT_FALSE(split.configTransferAuto());

    // 8 bytes per packet and a 1000-s limit: the tail would need 22 million packets.
    ProfileMaker tail = maker(CD, 1000 * Clock::SEC, 1428, 10);
    tail.setParameter(3, 0, PROFILE_SINKCYCLE, 4, 4);
    EXPECT_FALSE(tail.configTransferAuto());

    // Halving to a zero packet size: no unit to send.
    ProfileMaker empty = maker(CD, 400 * US, 0, 10);
    empty.setParameter(3, 0, PROFILE_SINKCYCLE, 4, 4);
    EXPECT_FALSE(empty.configTransferAuto());
}

// ---------------------------------------------------------------------------
// The automatic profile with its fall-back search

TEST(ProfileMaker, AutoWithStartFallsBack)
{
    LogCapture log;
    ProfileMaker m = maker(CD, MS, 1428, 10);
    m.setParameter(0, 0, 0, 4, 4);
    m.configTransferAuto(Clock{0});
    EXPECT_EQ(log.indexOf("configTransferAuto 0"), 0);
    const int falt = log.indexOf("configTransferAuto falt");
    ASSERT_GE(falt, 0);
    EXPECT_GT(log.indexOf("configTransferAuto done"), falt);
    EXPECT_FALSE(log.hasPrefix("PROFILE"));
    // 1 ms is below lim103 (1.03 ms); 1.05 ms is the first step above it
    EXPECT_EQ(m.cycleTime.picoseconds, 1050 * US);
    EXPECT_GE(m.cycleTime.picoseconds, 1030 * US);
    EXPECT_EQ(m.mode, QUORVIN::TransferFix);
    EXPECT_EQ(m.PackDataCount, 10);
    EXPECT_FALSE(m.forceAuto);
}

TEST(ProfileMaker, AutoWithStartCases)
{
    using namespace QUORVIN;
    struct Case {
        const char* what;
        FormatConfigure config;
        uint64_t limit;
        uint64_t start;
        unsigned short size;
        unsigned short count;
        unsigned short min;
        unsigned short max;
        uint16_t prof;
        bool falt;
        uint64_t cycle;
        uint16_t count2;
        TransferMode mode;
    };
    const std::vector<Case> cases = {
        {"first pass", CD, MS, 0, 1428, 10, 100, 1000, PROFILE_FROMMIN | PROFILE_AUTO, false, MS, 1, TransferFix},
        // one packet falls short of the limit; the forced search takes two
        {"forced search", HIRES, MS, 0, 1428, 10, 100, 100, 0, false, MS, 2, TransferFix},
        // the fall-back searches with the variable family
        {"Var fall-back", CD, MS, 0, 1428, 10, 100, 100, PROFILE_VAR | PROFILE_LIMITONLY, true, 1050 * US, 1,
         TransferVar},
        // the fall-back ignores the packet-count limit: 12 packets for 10 ms
        {"unlimited count", HIRES, 10 * MS, 0, 1428, 1, 0, 0, 0, true, 10300 * US, 12, TransferFix},
        // a zero packet count fails the automatic profile, not the fall-back
        {"zero packet count", CD, MS, 0, 1428, 0, 100, 1000, PROFILE_FROMMIN | PROFILE_AUTO, true, 1050 * US, 1,
         TransferFix},
        // the search starts at the given start, not at the limit
        {"start", CD, MS, 2 * MS, 1428, 10, 0, 0, 0, true, 2 * MS, 1, TransferFix},
    };
    for (const Case& c : cases) {
        LogCapture log;
        ProfileMaker m = maker(c.config, c.limit, c.size, c.count);
        m.setParameter(c.min, c.max, c.prof, 4, 4);
        m.configTransferAuto(Clock{c.start});
        EXPECT_EQ(log.has("configTransferAuto falt"), c.falt) << c.what;
        EXPECT_TRUE(log.has("configTransferAuto done")) << c.what;
        EXPECT_EQ(m.cycleTime.picoseconds, c.cycle) << c.what;
        EXPECT_EQ(m.packetCount, c.count2) << c.what;
        EXPECT_EQ(m.mode, c.mode) << c.what;
        EXPECT_EQ(m.PackDataCount, c.count) << c.what;
        EXPECT_FALSE(m.forceAuto) << c.what;
    }
}

// Inputs that leave no profile at all end the fall-back search at once.
TEST(ProfileMaker, AutoWithStartGivesUp)
{
    using namespace QUORVIN;
    struct Case {
        const char* what;
        FormatConfigure config;
        unsigned short size;
        unsigned short count;
        unsigned short min;
        unsigned short max;
        uint16_t prof;
        unsigned int frameMax;
    };
    const std::vector<Case> cases = {
        {"zero packet size", CD, 0, 10, 100, 1000, PROFILE_FROMMIN | PROFILE_AUTO, 4},
        {"zero packet size, Var", CD, 0, 10, 100, 1000, PROFILE_VAR | PROFILE_FROMMIN | PROFILE_AUTO, 4},
        {"8000 Hz", PHONE, 1428, 10, 100, 1000, PROFILE_FROMMIN | PROFILE_AUTO, 4},
        {"8000 Hz sink cycle", PHONE, 1428, 10, 3, 0, PROFILE_SINKCYCLE, 4},
        {"packets below a frame, Var", CD, 2, 10, 100, 1000, PROFILE_VAR | PROFILE_FROMMIN, 4},
    };
    for (const Case& c : cases) {
        LogCapture log;
        ProfileMaker m = maker(c.config, MS, c.size, c.count);
        m.setParameter(c.min, c.max, c.prof, 4, c.frameMax);
        m.configTransferAuto(Clock{0});
        EXPECT_TRUE(log.has("configTransferAuto falt")) << c.what;
        EXPECT_TRUE(log.has("configTransferAuto done")) << c.what;
        EXPECT_LT(m.cycleTime.picoseconds, 1030 * US) << c.what;
        EXPECT_EQ(m.PackDataCount, c.count) << c.what;
        EXPECT_FALSE(m.forceAuto) << c.what;
    }

    // A Var stream whose every packet count falls short keeps the longest cycle
    // the packet limits allow: 65535 packets of 8 bytes hold 341 ms of 192 kHz,
    // below the 1.03 s the 1-s limit asks for.
    ProfileMaker m = maker(HIRES, Clock::SEC, 8, 10);
    m.setParameter(0, 0, 0, 8, 8);
    m.prof = PROFILE_VAR;  // parameters as if stored by an earlier answer
    m.configTransferAuto(Clock{0});
    EXPECT_EQ(m.mode, TransferVar);
    EXPECT_LT(m.cycleTime.picoseconds, Clock::SEC);
    EXPECT_EQ(m.PackDataCount, 10);
}

// ---------------------------------------------------------------------------
// The stream's profile wrappers

namespace {

class ProfileSync : public QUORVIN::Sync {
public:
    ProfileSync(FormatConfigure config, uint16_t size, uint16_t count)
    {
        sinkConfig = config;
        maxPacketSize = size;
        maxPacketCount = count;
    }
    using Sync::profileCount;
    using Sync::profileMaker;
    using Sync::profiles;
};

}  // namespace

TEST(SyncProfile, WrappersSetProfileZeroOnlyOnSuccess)
{
    using namespace QUORVIN;
    ProfileSync sync(CD, 1428, 10);
    Profile marker;
    marker.cycleTime = Clock{777};
    marker.packetCount = 7;
    sync.profiles[1] = marker;

    ASSERT_TRUE(sync.configTransferFix(Clock{MS}, 0));
    EXPECT_EQ(sync.profileCount, 1);
    EXPECT_EQ(sync.profiles[0].framesPerPacketQ14, 722534U);
    EXPECT_EQ(sync.profiles[0].mode, TransferFix);
    EXPECT_EQ(sync.profiles[1].cycleTime.picoseconds, 777U);  // untouched
    EXPECT_EQ(sync.profileMaker.limitCycle.picoseconds, 400 * US);
    EXPECT_EQ(sync.profileMaker.PackDataSize, 1428);
    EXPECT_EQ(sync.profileMaker.PackDataCount, 10);

    ASSERT_TRUE(sync.configTransferVar(Clock{MS}, 0));
    EXPECT_EQ(sync.getMode(), TransferVar);
    EXPECT_EQ(sync.getCycleSize(), 180);
    EXPECT_EQ(sync.getCycleTime().picoseconds, MS);

    ASSERT_TRUE(sync.configTransferRandom(Clock{500 * US}, Clock{MS}, 0));
    EXPECT_EQ(sync.getMode(), TransferRandom);
    EXPECT_EQ(sync.getMinCycleTime().picoseconds, 500 * US);

    ASSERT_TRUE(sync.configTransferVarAuto(Clock{10 * MS}));
    EXPECT_EQ(sync.getMode(), TransferVar);
    EXPECT_EQ(sync.getCycleSize(), 1760);

    ASSERT_TRUE(sync.configTransferFixAuto(Clock{10 * MS}));
    EXPECT_EQ(sync.getMode(), TransferFix);
    EXPECT_EQ(sync.profiles[0].packetCount, 2);

    // Failures keep both profiles and the count.
    sync.profileCount = 2;
    const Profile before = sync.profiles[0];
    EXPECT_FALSE(sync.configTransferRandom(Clock{0}, Clock{MS}, 0));
    EXPECT_FALSE(sync.configTransferFix(Clock{MS}, -1));
    EXPECT_FALSE(sync.configTransferVar(Clock{MS}, -1));
    ProfileSync empty(CD, 0, 10);
    empty.profileCount = 2;
    empty.profiles[0] = marker;
    EXPECT_FALSE(empty.configTransferFixAuto(Clock{MS}));
    EXPECT_FALSE(empty.configTransferVarAuto(Clock{MS}));
    EXPECT_EQ(empty.profileCount, 2);
    EXPECT_EQ(empty.profiles[0].cycleTime.picoseconds, 777U);
    EXPECT_EQ(sync.profileCount, 2);
    EXPECT_EQ(sync.profiles[0].cycleTime, before.cycleTime);
    EXPECT_EQ(sync.profiles[0].mode, before.mode);
    EXPECT_EQ(sync.profiles[1].cycleTime.picoseconds, 777U);

    Profile given;
    given.cycleTime = Clock{3 * MS};
    given.packetBytes = 100;
    given.packetCount = 3;
    sync.setConfigTransfer(given);
    EXPECT_EQ(sync.profileCount, 1);
    EXPECT_EQ(sync.getCycleTime().picoseconds, 3 * MS);
    EXPECT_EQ(sync.getCycleSize(), 300);
}

TEST(SyncProfile, AutomaticProfileAndFallBack)
{
    using namespace QUORVIN;
    LogCapture log;
    ProfileSync sync(CD, 1428, 10);
    sync.profileMaker.setParameter(100, 1000, PROFILE_FROMMIN | PROFILE_AUTO, 4, 4);
    sync.configTransferAuto(Clock{MS}, Clock{0}, Clock{10 * MS});

    EXPECT_EQ(sync.profileCount, 2);
    EXPECT_EQ(sync.profiles[0].cycleTime.picoseconds, MS);
    EXPECT_EQ(sync.profiles[0].packetCount, 1);
    EXPECT_EQ(sync.profiles[0].mode, TransferFix);
    // The fall-back starts at its own limit: 10 ms in two packets.
    EXPECT_EQ(sync.profiles[1].cycleTime.picoseconds, 10 * MS);
    EXPECT_EQ(sync.profiles[1].packetCount, 2);
    EXPECT_EQ(sync.profiles[1].framesPerPacketQ14, 3612672U);
    EXPECT_FALSE(sync.profileMaker.forceAuto);
    EXPECT_EQ(sync.profileMaker.limitCycle.picoseconds, 10 * MS);

    EXPECT_EQ(log.indexOf("configTransferAuto  limit1000 maxPacketSize1428 maxPacketCount10"), 0);
    EXPECT_EQ(log.lines.back(), "configTransferAuto done");
    EXPECT_TRUE(log.has("configTransferAuto 0"));
    EXPECT_FALSE(log.has("configTransferAuto falt"));

    // Without parameters both profiles come from the fall-back search.
    ProfileSync bare(CD, 1428, 10);
    bare.configTransferAuto(Clock{MS}, Clock{0}, Clock{10 * MS});
    EXPECT_EQ(bare.profileCount, 2);
    EXPECT_EQ(bare.profiles[0].cycleTime.picoseconds, 1050 * US);
    EXPECT_EQ(bare.profiles[1].cycleTime.picoseconds, 10300 * US);
    EXPECT_FALSE(bare.profileMaker.forceAuto);
}

TEST(SyncProfile, GetProfileMakerConfiguresACopy)
{
    ProfileSync sync(HIRES, 1000, 5);
    sync.profileMaker.setParameter(100, 1000, QUORVIN::PROFILE_AUTO, 8, 8);
    ProfileMaker copy = sync.getProfileMaker();
    EXPECT_EQ(copy.config.value, HIRES.value);
    EXPECT_EQ(copy.limitCycle.picoseconds, 400 * US);
    EXPECT_EQ(copy.PackDataSize, 1000);
    EXPECT_EQ(copy.PackDataCount, 5);
    EXPECT_EQ(copy.min, 100);
    ASSERT_TRUE(copy.configTransferFix(Clock{MS}, 0));
    EXPECT_EQ(sync.profileMaker.cycleTime.picoseconds, 0U);  // the stream's maker is untouched
    EXPECT_EQ(sync.profileCount, 0);
}
