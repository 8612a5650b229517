#include "testbed/emulator/Answerers.h"

#include <sched.h>
#include <unistd.h>

#include <atomic>

#include "foundation/ThreadPriority.h"
#include "testbed/StandinPriority.h"

namespace testbed {

std::vector<int> answererCpus(size_t count)
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    std::vector<int> cpus;
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
        return std::vector<int>(count, -1);
    }
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            cpus.push_back(cpu);
        }
    }
    if (cpus.empty()) {
        return std::vector<int>(count, -1);
    }
    static std::atomic<unsigned> calls{0};
    const size_t n = cpus.size();
    const size_t first = (static_cast<size_t>(getpid()) + calls.fetch_add(1)) % n;
    const size_t step = count < n ? n / count : 1;
    std::vector<int> out;
    for (size_t k = 0; k < count && k < n; ++k) {
        out.push_back(cpus[(first + k * step) % n]);
    }
    return out;
}

void becomeAnswerer(int cpu)
{
    becomeStandinRealtime();
    const uint64_t self = TIVRA::ThreadPriority::getSelfThreadID();
    if (cpu >= 0) {
        TIVRA::ThreadPriority::setCpuThread(self, {TIVRA::ThreadPriority::Cpus{static_cast<uint16_t>(cpu), 1}});
    }
}

}  // namespace testbed
