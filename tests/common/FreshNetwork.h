// Moves the calling thread into a network namespace of its own with only
// its loopback up, so that fixed ports (the targets' 19642) are free
// whatever runs beside the test. The namespace goes with the thread and its
// sockets.
#pragma once

#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "WaitFor.h"

namespace testnet {

inline bool enterFreshNetwork()
{
    if (unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    const int s = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return false;
    }
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    ifr.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    bool ok = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    // ::1 comes with the interface, a moment later.
    ok = ok && testwait::waitFor([s] {
             sockaddr_in6 sa{};
             sa.sin6_family = AF_INET6;
             sa.sin6_addr = in6addr_loopback;
             return ::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
         });
    ::close(s);
    return ok;
}

}  // namespace testnet
