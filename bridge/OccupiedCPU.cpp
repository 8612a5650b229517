#include "bridge/OccupiedCPU.h"

#include <algorithm>
#include <limits>

void OccupiedCPU::resetUserCpu()
{
    std::lock_guard<std::mutex> lock(usageMutex);
    if (InfCpuSend < 0 || InfRengSend <= 0) {
        sendUsage.clear();
        return;
    }
    // Every CPU handed out must still be an int.
    const int64_t room = int64_t{std::numeric_limits<int32_t>::max()} - InfCpuSend + 1;
    sendUsage.assign(static_cast<size_t>(std::min<int64_t>(InfRengSend, room)), 0);
}

int OccupiedCPU::commitCpuSend()
{
    std::lock_guard<std::mutex> lock(usageMutex);
    if (sendUsage.empty()) {
        return -1;
    }
    size_t best = 0;
    for (size_t i = 2; i < sendUsage.size(); i += 2) {
        if (sendUsage[i] < sendUsage[best]) {
            best = i;
        }
    }
    ++sendUsage[best];
    return InfCpuSend + static_cast<int>(best);
}

void OccupiedCPU::releaseCpuSend(int cpu)
{
    std::lock_guard<std::mutex> lock(usageMutex);
    const int64_t offset = int64_t{cpu} - InfCpuSend;
    if (offset >= 0 && offset < static_cast<int64_t>(sendUsage.size())) {
        --sendUsage[static_cast<size_t>(offset)];
    }
}
