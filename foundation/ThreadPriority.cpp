#include "foundation/ThreadPriority.h"

#include <sched.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>

namespace TIVRA {

namespace {
constexpr unsigned kSetBits = 1024;  // 128-byte CPU set
}

uint64_t ThreadPriority::getSelfThreadID()
{
    return static_cast<uint64_t>(syscall(SYS_gettid));
}

bool ThreadPriority::setPriority(uint64_t threadId, Priority priority)
{
    int policy = SCHED_RR;
    sched_param param{};
    switch (priority) {
    case PRIORITY_REALTIME:
        policy = SCHED_FIFO;
        param.sched_priority = 99;
        break;
    case PRIORITY_HIGH:
        policy = SCHED_RR;
        param.sched_priority = 10;
        break;
    case PRIORITY_NORMAL:
        policy = SCHED_OTHER;
        break;
    case PRIORITY_IDLE:
        policy = SCHED_IDLE;
        break;
    default:
        // Round-robin at 0 is refused by the kernel.
        policy = SCHED_RR;
        param.sched_priority = 0;
        break;
    }
    return sched_setscheduler(static_cast<pid_t>(threadId), policy, &param) == 0;
}

void ThreadPriority::buildCpuSet(const std::list<Cpus>& cpus, cpu_set_t& set)
{
    static_assert(sizeof(set) == kSetBits / 8);
    CPU_ZERO(&set);
    if (!cpus.empty()) {
        for (const Cpus& range : cpus) {
            if (range.cpuCount == 0 || range.firstCpu > kSetBits - 1) {
                continue;
            }
            const unsigned last = std::min<unsigned>(range.firstCpu + range.cpuCount - 1U, kSetBits - 1);
            for (unsigned cpu = range.firstCpu; cpu <= last; ++cpu) {
                CPU_SET(cpu, &set);
            }
        }
    } else {
        const unsigned n = std::min<unsigned>(static_cast<uint16_t>(get_nprocs_conf()), kSetBits - 1);
        for (unsigned cpu = 0; cpu < n; ++cpu) {
            CPU_SET(cpu, &set);
        }
    }
}

bool ThreadPriority::setCpuThread(uint64_t threadId, const std::list<Cpus>& cpus)
{
    cpu_set_t set;
    buildCpuSet(cpus, set);
    return sched_setaffinity(static_cast<pid_t>(threadId), sizeof(set), &set) == 0;
}

int32_t ThreadPriority::getCpuCore()
{
    return get_nprocs_conf();
}

void ThreadPriority::idle()
{
    sched_yield();
}

}  // namespace TIVRA
