// Exchange halves (see Exchange.h).
#include "protocol/Exchange.h"

#include <cerrno>

namespace QUORVIN {

using TIVRA::Clock;

void drainQueued(TIVRA::Socket& socket)
{
    Receive got;
    TIVRA::IPAddress from;
    const Clock end = Clock::now() + DRAIN_TIME;
    for (int drained = 0; drained < DRAIN_DATAGRAMS && socket.wait() == TIVRA::Socket::WaitReady; ++drained) {
        if (!socket.receiveFromV6(got, from)) {
            return;  // a broken socket fails the send that follows
        }
        if (Clock::now().Comp(end) >= 0) {
            return;
        }
    }
}

Awaited awaitDatagram(TIVRA::Socket& socket, Clock deadline, Receive& got, TIVRA::IPAddress& from)
{
    const Clock now = Clock::now();
    if (now.Comp(deadline) >= 0) {
        return Awaited::Timeout;  // a flood past the deadline must not keep the exchange going
    }
    const TIVRA::Socket::WaitResult r = socket.wait(deadline - now);
    if (r == TIVRA::Socket::WaitError) {
        return Awaited::Failed;
    }
    if (r == TIVRA::Socket::WaitTimeout) {
        return Awaited::Timeout;
    }
    return socket.receiveFromV6(got, from) ? Awaited::Datagram : Awaited::Failed;
}

bool destinationError(int error)
{
    switch (error) {
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EADDRNOTAVAIL:
    case ENODEV:
    case ENXIO:
        return true;
    default:
        return false;
    }
}

}  // namespace QUORVIN
