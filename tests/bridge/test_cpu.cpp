#include "bridge/OccupiedCPU.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct TableCase {
    const char* label;
    int32_t first;
    int32_t count;
    // "c<n>": a commit that must return n; "r<n>": release n.
    const char* steps;
    std::vector<int32_t> usage;  // the table afterwards
};

const TableCase TABLE_CASES[] = {
    {"2-5 alternates the even CPUs", 2, 4, "c2 c4 c2 c4 r4 c4", {2, 0, 2, 0}},
    {"three streams, the first ends", 2, 4, "c2 c4 c2 r2 c2", {2, 0, 1, 0}},
    {"a single CPU takes every stream", 3, 1, "c3 c3 c3", {3}},
    {"CPU 0 alone", 0, 1, "c0 c0", {2}},
    {"odd count reaches the last even offset", 0, 5, "c0 c2 c4 c0 c2", {2, 0, 2, 0, 1}},
    {"no range", -1, -1, "c-1 c-1 r-1", {}},
    {"count 0", 4, 0, "c-1", {}},
    {"releases outside the range change nothing", 2, 4, "c2 r-1 r1 r6 r9 c4", {1, 0, 1, 0}},
    // An unset first with a count (what "-1" parses to) gives no table, so
    // -1 or below is never handed out.
    {"negative first", -1, 3, "c-1 c-1", {}},
    {"negative first below -1", -5, 8, "c-1", {}},
    {"range at the top of int", INT_MAX, 4, "c2147483647 c2147483647", {2}},
};

void PrintTo(const TableCase& c, std::ostream* os)
{
    *os << c.label;
}

class CpuTable : public testing::TestWithParam<TableCase> {};

TEST_P(CpuTable, Steps)
{
    const TableCase& c = GetParam();
    OccupiedCPU cpu;
    cpu.InfCpuSend = c.first;
    cpu.InfRengSend = c.count;
    cpu.resetUserCpu();

    std::istringstream steps(c.steps);
    std::string step;
    while (steps >> step) {
        const int n = std::stoi(step.substr(1));
        if (step[0] == 'c') {
            EXPECT_EQ(cpu.commitCpuSend(), n) << "at " << step;
        } else {
            cpu.releaseCpuSend(n);
        }
    }
    EXPECT_EQ(cpu.sendUsage, c.usage);
}

INSTANTIATE_TEST_SUITE_P(Cases, CpuTable, testing::ValuesIn(TABLE_CASES),
                         [](const testing::TestParamInfo<TableCase>& info) {
                             return "c" + std::to_string(info.index);
                         });

TEST(CpuTable, ConstructedUnset)
{
    OccupiedCPU cpu;
    EXPECT_EQ(cpu.InfCpuSend, -1);
    EXPECT_EQ(cpu.InfRengSend, -1);
    EXPECT_EQ(cpu.InfCpuOther, -1);
    EXPECT_EQ(cpu.InfRengOther, -1);
    EXPECT_TRUE(cpu.sendUsage.empty());
    EXPECT_EQ(cpu.commitCpuSend(), -1);  // without resetUserCpu, as after a failed load
}

TEST(CpuTable, ResetZeroesAndResizes)
{
    OccupiedCPU cpu;
    cpu.InfCpuSend = 2;
    cpu.InfRengSend = 4;
    cpu.resetUserCpu();
    cpu.commitCpuSend();
    cpu.commitCpuSend();
    cpu.InfRengSend = 6;
    cpu.resetUserCpu();
    EXPECT_EQ(cpu.sendUsage, (std::vector<int32_t>{0, 0, 0, 0, 0, 0}));
    cpu.InfRengSend = 2;
    cpu.resetUserCpu();
    EXPECT_EQ(cpu.sendUsage, (std::vector<int32_t>{0, 0}));
    cpu.InfRengSend = 0;
    cpu.resetUserCpu();
    EXPECT_TRUE(cpu.sendUsage.empty());
}

// Streams of several nodes start and end on different threads.
TEST(CpuTable, ConcurrentCommitsBalance)
{
    OccupiedCPU cpu;
    cpu.InfCpuSend = 2;
    cpu.InfRengSend = 4;
    cpu.resetUserCpu();
    std::atomic<int> outside{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&cpu, &outside] {
            for (int i = 0; i < 2000; ++i) {
                const int got = cpu.commitCpuSend();
                if (got != 2 && got != 4) {
                    outside.fetch_add(1);
                }
                cpu.releaseCpuSend(got);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(outside.load(), 0);
    EXPECT_EQ(cpu.sendUsage, (std::vector<int32_t>{0, 0, 0, 0}));
}

}  // namespace
