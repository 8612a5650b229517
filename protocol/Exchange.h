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

// A request sent more than once can be answered once per send: on a link
// whose round trip is longer than one send's wait, the answer to a resend is
// still on its way when the exchange takes the answer to an earlier send,
// and the drain of the next exchange comes too soon for it. So after an
// exchange that sent more than once, what the peer sends is received and
// dropped until each other send got its datagram, or for as long as the
// sends were spread (at most LATE_ANSWER_SPREAD) and LATE_ANSWER_SLACK more.
constexpr TIVRA::Clock LATE_ANSWER_SPREAD{20 * TIVRA::Clock::MS};
constexpr TIVRA::Clock LATE_ANSWER_SLACK{5 * TIVRA::Clock::MS};

// How often and when an exchange sent its request.
struct SendTimes {
    int count = 0;
    TIVRA::Clock first;
    TIVRA::Clock last;
    void sent()
    {
        last = TIVRA::Clock::now();
        first = count++ == 0 ? last : first;
    }
};

void dropLateAnswers(TIVRA::Socket& socket, const TIVRA::IPAddress& peer, const SendTimes& sends);

// The wait of one exchange, with its end fixed when the request left: stray
// datagrams never prolong it. A thread that wakes late still takes what
// had arrived by then, but past the end at most DRAIN_DATAGRAMS of them, so
// a flood cannot hold it.
class AnswerWait {
public:
    explicit AnswerWait(TIVRA::Clock budget);
    // One datagram, Timeout once the end has passed and nothing (or too
    // much) is queued, Failed when the wait or the receive failed.
    Awaited next(TIVRA::Socket& socket, Receive& got, TIVRA::IPAddress& from);

private:
    TIVRA::Clock end;
    int late = 0;
};

// True for a send error that concerns only its destination (link down,
// no route, address gone): the peer is unreachable, the socket is fine.
bool destinationError(int error);

}  // namespace QUORVIN
