// Polls a condition until it holds or a deadline passes, so that tests wait
// on events rather than for fixed times.
#pragma once

#include <chrono>
#include <thread>

namespace testwait {

template <typename F>
bool waitFor(F done, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace testwait
