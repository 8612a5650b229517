#include "foundation/Clock.h"

#include <time.h>

namespace TIVRA {

Clock Clock::now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ps = static_cast<uint64_t>(ts.tv_sec) * SEC + static_cast<uint64_t>(ts.tv_nsec) * 1000ULL;
    return Clock(ps == 0 ? 1 : ps);
}

}  // namespace TIVRA
