// The two halves every request/answer exchange with a target is made of:
// clearing what is queued before the request, and waiting for a datagram
// until a deadline fixed when the request left.
#pragma once

#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "protocol/Message.h"

namespace QUORVIN {

// Most answers carry no request key, so one that arrives after its exchange
// ended would answer the next. Bounded, so a flooding peer cannot hold the
// caller: at most this many datagrams or this long.
constexpr int DRAIN_DATAGRAMS = 256;
constexpr TIVRA::Clock DRAIN_TIME{10 * TIVRA::Clock::MS};

void drainQueued(TIVRA::Socket& socket);

enum class Awaited { Datagram, Timeout, Failed };

// One datagram, or Timeout once `deadline` has passed, however many
// datagrams are still queued. Failed: the wait or the receive failed.
Awaited awaitDatagram(TIVRA::Socket& socket, TIVRA::Clock deadline, Receive& got, TIVRA::IPAddress& from);

// True for a send error that concerns only its destination (link down,
// no route, address gone): the peer is unreachable, the socket is fine.
bool destinationError(int error);

}  // namespace QUORVIN
