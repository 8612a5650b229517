// The CPU ranges of the settings and the spread of the stream workers of all
// nodes over the sender range: each stream takes the least used CPU at an
// even offset of the range and gives it back when it ends.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

class OccupiedCPU {
public:
    // Written at start-up before any other thread exists, read without the
    // mutex afterwards. -1 = unset.
    int32_t InfCpuSend = -1;   // first CPU of the stream workers
    int32_t InfRengSend = -1;  // number of CPUs from InfCpuSend
    int32_t InfCpuOther = -1;  // first CPU of the loop, notify, buffer and relay threads
    int32_t InfRengOther = -1;

    // Running stream workers per offset from InfCpuSend.
    std::vector<int32_t> sendUsage;
    std::mutex usageMutex;

    // Sizes the table from the sender range, every count 0. No table without
    // a range starting at a CPU >= 0.
    void resetUserCpu();
    // The least used CPU at offset 0, 2, 4, ... (lowest on a tie), counted as
    // taken; -1 without a table.
    int commitCpuSend();
    // Gives back a CPU from commitCpuSend; -1 and CPUs outside the range are
    // ignored.
    void releaseCpuSend(int cpu);
};
