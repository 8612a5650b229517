// Scheduling class and CPU affinity of threads, addressed by kernel thread id.
#pragma once

#include <sched.h>

#include <cstdint>
#include <list>

namespace TIVRA {

class ThreadPriority {
public:
    enum Priority : int32_t {
        PRIORITY_REALTIME = 0,  // SCHED_FIFO 99
        PRIORITY_HIGH = 1,      // SCHED_RR 10
        PRIORITY_NORMAL = 2,    // SCHED_OTHER
        PRIORITY_IDLE = 3,      // SCHED_IDLE
    };

    struct Cpus {
        uint16_t firstCpu = 0;
        uint16_t cpuCount = 0;
    };

    static uint64_t getSelfThreadID();
    static bool setPriority(uint64_t threadId, Priority priority);
    // An empty list means every configured CPU.
    static bool setCpuThread(uint64_t threadId, const std::list<Cpus>& cpus);
    // The 1024-CPU set that setCpuThread applies for the list.
    static void buildCpuSet(const std::list<Cpus>& cpus, cpu_set_t& set);
    static int32_t getCpuCore();
    static void idle();
};

}  // namespace TIVRA
