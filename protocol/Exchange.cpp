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

void dropLateAnswers(TIVRA::Socket& socket, const TIVRA::IPAddress& peer, const SendTimes& sends)
{
    if (sends.count < 2) {
        return;
    }
    Clock spread = sends.last - sends.first;
    if (spread.Comp(LATE_ANSWER_SPREAD) > 0) {
        spread = LATE_ANSWER_SPREAD;
    }
    AnswerWait wait(spread + LATE_ANSWER_SLACK);
    Receive got;
    TIVRA::IPAddress from;
    for (int left = sends.count - 1; left > 0;) {
        if (wait.next(socket, got, from) != Awaited::Datagram) {
            return;
        }
        left -= from == peer ? 1 : 0;
    }
}

AnswerWait::AnswerWait(Clock budget) : end(Clock::now() + budget) {}

Awaited AnswerWait::next(TIVRA::Socket& socket, Receive& got, TIVRA::IPAddress& from)
{
    const Clock now = Clock::now();
    Clock left(0);
    if (now.Comp(end) >= 0) {
        if (late >= DRAIN_DATAGRAMS) {
            return Awaited::Timeout;
        }
        ++late;
    } else {
        left = end - now;
    }
    const TIVRA::Socket::WaitResult r = socket.wait(left);
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
