// What is queued on a socket, for tests that queue datagrams before an
// exchange: on a loaded machine a datagram sent on loopback can still be on
// its way after the call, and that one is readable proves nothing about
// the others.
#pragma once

#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>

#include "WaitFor.h"

namespace testqueue {

// The memory the datagrams queued on `fd` take; each arrival adds to it.
inline uint32_t queuedMemory(int fd)
{
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof(info);
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) != 0) {
        return 0;
    }
    return info[SK_MEMINFO_RMEM_ALLOC];
}

// Runs `send` and waits until what it sent is queued on `fd`, which no one
// reads meanwhile.
inline bool sendAndWaitQueued(int fd, const std::function<bool()>& send)
{
    const uint32_t before = queuedMemory(fd);
    return send() && testwait::waitFor([&] { return queuedMemory(fd) > before; }, std::chrono::seconds(5));
}

}  // namespace testqueue
