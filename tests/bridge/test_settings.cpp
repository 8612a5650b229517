#include "bridge/BridgeSettings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogCapture.h"
#include "SettingsFile.h"

namespace {

struct RangeCase {
    const char* text;
    int64_t cpus;
    int32_t firstBefore, countBefore;
    int32_t first, count;
    bool whole;        // the result
    const char* warn;  // the warning line, or nullptr
};

const RangeCase RANGE_CASES[] = {
    // The grammar.
    {"3", 64, -1, -1, 3, 1, true, nullptr},
    {"0", 64, -1, -1, 0, 1, true, nullptr},
    {"2-5", 64, -1, -1, 2, 4, true, nullptr},
    {"0-0", 64, -1, -1, 0, 1, true, nullptr},
    {"-1", 64, -1, -1, -1, 3, true, nullptr},  // empty first part, then 1 - (-1) + 1
    {"", 64, -1, -1, -1, -1, true, nullptr},
    {"x-3", 64, -1, -1, -1, 5, true, nullptr},
    {"abc", 64, -1, -1, -1, -1, true, nullptr},
    {"00", 64, -1, -1, -1, -1, true, nullptr},  // only "0" itself counts as zero
    {"-0", 64, -1, -1, -1, 2, true, nullptr},
    {"-", 64, -1, -1, -1, -1, true, nullptr},
    {"3-", 64, -1, -1, 3, -1, true, nullptr},
    {"5-2", 64, -1, -1, 5, -2, true, nullptr},
    {"2-5-7", 64, -1, -1, 2, 4, true, nullptr},  // the first '-' splits
    {"4abc", 64, -1, -1, 4, 1, true, nullptr},
    {"x", 64, 6, 2, 6, 2, true, nullptr},  // fields that do not count stay as they were
    {"-9", 64, 6, 2, 6, 4, true, nullptr},
    // Kept within the machine's CPUs, in 64 bits.
    {"3", 4, -1, -1, 3, 1, true, nullptr},
    {"2-9", 4, -1, -1, 2, 2, false, "Setting: CpuSend clamped : 2-9 -> 2,2"},
    {"4", 4, -1, -1, -1, -1, false, "Setting: CpuSend refused, no such CPU : 4"},
    {"6-7", 4, 1, 1, 1, 1, false, "Setting: CpuSend refused, no such CPU : 6-7"},
    {"4294967299", 4, -1, -1, -1, -1, false, "Setting: CpuSend refused, no such CPU : 4294967299"},
    {"1-4294967297", 4, -1, -1, 1, 3, false, "Setting: CpuSend clamped : 1-4294967297 -> 1,3"},
    {"0-99999999999999999999", 4, -1, -1, 0, 4, false, "Setting: CpuSend clamped : 0-99999999999999999999 -> 0,4"},
    {"-1", 4, -1, -1, -1, 3, true, nullptr},
    {"-1", 2, -1, -1, -1, 2, false, "Setting: CpuSend clamped : -1 -> -1,2"},
    {"0-3", 4, -1, -1, 0, 4, true, nullptr},
    // Unknown CPU count: only what 32 bits hold.
    {"2-5", 0, -1, -1, 2, 4, true, nullptr},
    {"2147483647", 0, -1, -1, 2147483647, 1, true, nullptr},
    {"2147483648", 0, -1, -1, -1, -1, false, "Setting: CpuSend refused, no such CPU : 2147483648"},
};

TEST(CpuRange, Table)
{
    for (const RangeCase& c : RANGE_CASES) {
        testlog::start(TIVRA::SYSLOG_WARNING);
        int32_t first = c.firstBefore;
        int32_t count = c.countBefore;
        const std::string where = std::string("\"") + c.text + "\" on " + std::to_string(c.cpus) + " CPUs";
        EXPECT_EQ(parseCpuRange(c.text, first, count, c.cpus, "CpuSend"), c.whole) << where;
        EXPECT_EQ(first, c.first) << where;
        EXPECT_EQ(count, c.count) << where;
        const std::vector<std::string> warnings = testlog::startingWith("Setting: ");
        if (c.warn == nullptr) {
            EXPECT_TRUE(warnings.empty()) << where << ": " << testing::PrintToString(warnings);
        } else {
            EXPECT_EQ(warnings, std::vector<std::string>{c.warn}) << where;
        }
    }
}

TEST(CpuRange, ThisMachine)
{
    const int64_t cpus = machineCpuCount();
    ASSERT_GT(cpus, 0);
    int32_t first = -1;
    int32_t count = -1;
    parseCpuRange("0-100000", first, count);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(count, cpus);
}

struct LimitsCase {
    const char* file;
    CardLimits expected;
    const char* warn;  // the warning line, or nullptr
};

const CardLimits DEFAULT_LIMITS{};

const LimitsCase LIMITS_CASES[] = {
    {"", DEFAULT_LIMITS, nullptr},
    {"periodMax=0\n", DEFAULT_LIMITS, nullptr},
    {"periodMax=-4\n", DEFAULT_LIMITS, nullptr},
    {"periodMax=abc\n", DEFAULT_LIMITS, nullptr},
    {"periodMax=64\n", {64, 4, 38400, 6}, nullptr},
    {"periodMax=4294967297\n", {1, 4, 38400, 6}, nullptr},              // the low 32 bits
    {"periodSizeMax=4294967296\n", DEFAULT_LIMITS, nullptr},            // low 32 bits 0
    {"periodSizeMin=99999999999999999999\n", DEFAULT_LIMITS, nullptr},  // saturated: low bits -1
    {"periodMin=8\nperiodSizeMin=12\nperiodSizeMax=9600\nperiodMax=16\n", {16, 8, 9600, 12}, nullptr},
    {"periodMax=1\nperiodSizeMax=2147483416\n", {1, 4, 2147483416, 6}, nullptr},  // mapping exactly 2^31
    // Refused: all four back to the defaults.
    {"periodMax=1\nperiodSizeMax=2147483424\nperiodMin=2\n", DEFAULT_LIMITS,
     "Setting: period limits refused, mapping too large : 2147483656"},
    {"periodMax=65536\nperiodMin=8\n", DEFAULT_LIMITS,
     "Setting: period limits refused, mapping too large : 2516582632"},
    {"periodMax=65536\nperiodSizeMax=65536\n", DEFAULT_LIMITS,  // 2^32: 0 in 32 bits
     "Setting: period limits refused, mapping too large : 4294967528"},
    {"periodMax=2147483647\nperiodSizeMax=2147483647\n", DEFAULT_LIMITS,
     "Setting: period limits refused, mapping too large : 4611686014132420841"},
    {"periodMax=3\nperiodSizeMax=38401\nperiodSizeMin=2\n", DEFAULT_LIMITS,
     "Setting: period limits refused, ring not a multiple of 8 : 115203"},
    {"periodMax=5\nperiodSizeMax=6\n", DEFAULT_LIMITS, "Setting: period limits refused, ring not a multiple of 8 : 30"},
    {"periodMax=5\nperiodSizeMax=8\n", {5, 4, 8, 6}, nullptr},
};

TEST(CardLimitSettings, Table)
{
    for (const LimitsCase& c : LIMITS_CASES) {
        testlog::start(TIVRA::SYSLOG_WARNING);
        SettingsFile file(std::string("[global]\n") + c.file);
        ASSERT_TRUE(file.loaded);
        const CardLimits got = readCardLimits(file.inf);
        EXPECT_EQ(got.periodMax, c.expected.periodMax) << c.file;
        EXPECT_EQ(got.periodMin, c.expected.periodMin) << c.file;
        EXPECT_EQ(got.periodSizeMax, c.expected.periodSizeMax) << c.file;
        EXPECT_EQ(got.periodSizeMin, c.expected.periodSizeMin) << c.file;
        const std::vector<std::string> warnings = testlog::startingWith("Setting: period limits");
        if (c.warn == nullptr) {
            EXPECT_TRUE(warnings.empty()) << c.file << testing::PrintToString(warnings);
        } else {
            EXPECT_EQ(warnings, std::vector<std::string>{c.warn}) << c.file;
        }
    }
}

TEST(CardLimitSettings, LogLines)
{
    testlog::start(TIVRA::SYSLOG_NOTICE);
    SettingsFile file("[global]\nperiodMax=64\nperiodSizeMin=12\n");
    ASSERT_TRUE(file.loaded);
    readCardLimits(file.inf);
    EXPECT_EQ(testlog::startingWith("Setting: "), (std::vector<std::string>{
                                                      "Setting: periodSizeMin  : 12",
                                                      "Setting: periodSizeMax  : 38400",
                                                      "Setting: periodMin      : 4",
                                                      "Setting: periodMax      : 64",
                                                  }));
}

TEST(CpuSettings, RangesTableAndLines)
{
    testlog::start(TIVRA::SYSLOG_NOTICE);
    SettingsFile file("[global]\nCpuSend=2-5\nCpuOther=1-9\n");
    ASSERT_TRUE(file.loaded);
    OccupiedCPU cpu;
    readCpuSettings(file.inf, cpu, 8);
    EXPECT_EQ(cpu.InfCpuSend, 2);
    EXPECT_EQ(cpu.InfRengSend, 4);
    EXPECT_EQ(cpu.InfCpuOther, 1);
    EXPECT_EQ(cpu.InfRengOther, 7);
    EXPECT_EQ(cpu.sendUsage.size(), 4u);
    EXPECT_EQ(testlog::startingWith("Setting: "), (std::vector<std::string>{
                                                      "Setting: CpuOther clamped : 1-9 -> 1,7",
                                                      "Setting: InfCpuSend      : 2",
                                                      "Setting: InfRengSend     : 4",
                                                      "Setting: InfCpuOther     : 1",
                                                      "Setting: InfRengOther    : 7",
                                                  }));
}

TEST(CpuSettings, WithoutUsableSenderRange)
{
    const struct {
        const char* file;
        int32_t first, count;
    } rows[] = {
        {"[global]\n", -1, -1},
        {"[global]\nCpuSend=\n", -1, -1},
        {"[global]\nCpuSend=-1\n", -1, 3},  // a count without a first CPU
        {"[global]\nCpuSend=5-2\n", 5, -2},
    };
    for (const auto& r : rows) {
        testlog::start(TIVRA::SYSLOG_NOTICE);
        SettingsFile file(r.file);
        ASSERT_TRUE(file.loaded);
        OccupiedCPU cpu;
        readCpuSettings(file.inf, cpu, 8);
        EXPECT_EQ(cpu.InfCpuSend, r.first) << r.file;
        EXPECT_EQ(cpu.InfRengSend, r.count) << r.file;
        EXPECT_TRUE(cpu.sendUsage.empty()) << r.file;
        EXPECT_EQ(cpu.commitCpuSend(), -1) << r.file;
        EXPECT_EQ(testlog::count("Setting: InfCpuSend      : " + std::to_string(r.first)), 1u) << r.file;
    }
}

}  // namespace
