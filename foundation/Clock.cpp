#include "foundation/Clock.h"

#include <time.h>

#include <cerrno>

namespace TIVRA {

Clock Clock::now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ps = static_cast<uint64_t>(ts.tv_sec) * SEC + static_cast<uint64_t>(ts.tv_nsec) * 1000ULL;
    return Clock(ps == 0 ? 1 : ps);
}

void Clock::sleep(Clock duration)
{
    timespec ts{static_cast<time_t>(duration.picoseconds / SEC),
                static_cast<long>((duration.picoseconds % SEC) / 1000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace TIVRA
