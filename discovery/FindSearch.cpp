// The request exchange, the multicast search and the host announcement.
#include "discovery/Answers.h"
#include "discovery/Find.h"
#include "foundation/SysLog.h"
#include "protocol/Exchange.h"

namespace QUORVIN {

using TIVRA::Clock;
using TIVRA::IPAddress;

namespace {

constexpr Clock ANSWER_BUDGET{100 * Clock::MS};
constexpr Clock MULTI_BUDGET{30 * Clock::MS};
// A target on the local link answers within a few milliseconds; one that
// takes more than half the budget spends the scan's time like one that
// does not answer.
constexpr Clock LATE_ANSWER{50 * Clock::MS};


}  // namespace

int Find::sendAck(const IPAddress& to, const Send& request, MessageID answerId, Receive& answer, bool blocking)
{
    answer.clear();
    // Most answers carry no request key: a late one to an earlier exchange
    // must not be read as this one's.
    drainQueued(socket);
    const Clock sent = Clock::now();
    if (!socket.sendToV6(request, to, blocking)) {
        // A destination that cannot be reached (its link went down, its
        // address is gone) is a target that does not answer; only a broken
        // socket is a failure of ours.
        if (socket.is_open() && destinationError(socket.getLastError())) {
            return noAnswer(2, Clock::now() - sent);
        }
        return 1;
    }
    AnswerWait wait(ANSWER_BUDGET);
    Receive got;
    IPAddress from;
    for (;;) {
        switch (wait.next(socket, got, from)) {
        case Awaited::Failed:
            return 1;
        case Awaited::Timeout:
            return noAnswer(2, ANSWER_BUDGET);
        case Awaited::Datagram:
            break;
        }
        if (!got) {
            continue;
        }
        TIVRA::SYSLOG_DEBUG << "sendAck[" << (socket.getIfOverride() & 0xFFFFU) << "," << to.ifindex << ","
                            << from.ifindex << "]RCV:" << request.getMessage();
        // Only the addressed target can answer, refuse or echo: a third
        // host's datagram must not end another target's exchange.
        if (from != to) {
            continue;
        }
        if (got.getMessage() == request.getMessage()) {
            return noAnswer(4, Clock::now() - sent);
        }
        if (got.getMessage() != answerId) {
            continue;
        }
        if ((got.getStatus() & STATUS_OK) == 0) {
            answer = std::move(got);
            return noAnswer(3, Clock::now() - sent);
        }
        answer = std::move(got);
        return answered(Clock::now() - sent);
    }
}

int Find::noAnswer(int result, Clock waitedFor)
{
    ++unanswered;
    waited += waitedFor;
    return result;
}

int Find::answered(Clock waitedFor)
{
    unanswered = 0;
    if (waitedFor.Comp(LATE_ANSWER) > 0) {
        waited += waitedFor;
    }
    return 0;
}

bool Find::sendMulti(const Send& request, MessageID answerId, std::map<IPAddress, Receive>& answers)
{
    const std::list<IPAddress> list = getIfList();
    if (list.empty()) {
        return true;
    }
    // Once, not between interfaces: answers that arrive late from the
    // interface before are answers to this search all the same.
    drainQueued(socket);
    Receive got;
    IPAddress from;
    for (const IPAddress& local : list) {
        TIVRA::SYSLOG_DEBUG << "Find Multi Send : " << local.ifindex;
        IPAddress to;
        if (isLoopbackAddress(local)) {
            to.addr[15] = 1;
        } else {
            to.addr[0] = 0xff;
            to.addr[1] = 0x02;
            to.addr[15] = 1;
            to.ifindex = local.ifindex;
        }
        to.setPort(TARGET_PORT);
        (void)socket.sendToV6(request, to, false);
        AnswerWait wait(MULTI_BUDGET);
        for (;;) {
            const Awaited r = wait.next(socket, got, from);
            if (r == Awaited::Failed) {
                return false;
            }
            if (r == Awaited::Timeout) {
                break;
            }
            TIVRA::SYSLOG_DEBUG << "Find Multi Ack Rcv : " << got.size();
            if (!got || got.getMessage() != answerId || (got.getStatus() & STATUS_OK) == 0) {
                continue;
            }
            std::string text;
            from.get_str(text);
            TIVRA::SYSLOG_DEBUG << "FindMultiAck[" << (socket.getIfOverride() & 0xFFFFU) << "," << from.ifindex
                                << "]Valid : " << text;
            answers[from] = std::move(got);
        }
    }
    return true;
}

bool Find::findTarget(std::map<IPAddress, FindTargetSt>& targets)
{
    targets.clear();
    std::map<IPAddress, Receive> collection;
    const Send request(FIND_REQ, 0);
    for (int round = 0; round < 3; ++round) {
        if (!sendMulti(request, FIND_ANS, collection)) {
            targets.clear();
            return false;
        }
    }
    for (const auto& [source, answer] : collection) {
        if (!NotisName(source)) {
            return false;
        }
        FindTargetSt found;
        if (!parseFindAnswer(answer, found.productId, found.targetName)) {
            continue;
        }
        if (muchID(static_cast<unsigned long>(found.productId)) == ~uint64_t{0}) {
            continue;
        }
        targets[source] = std::move(found);
    }
    return true;
}

uint64_t Find::muchID(unsigned long id) const
{
    if (acceptId == 0 || id == 0) {
        TIVRA::SYSLOG_DEBUG << "Find Target: " << id;
        return id;
    }
    bool listed = id == acceptId;
    for (const uint64_t accepted : acceptIdList) {
        listed = listed || id == accepted;
    }
    if (listed) {
        TIVRA::SYSLOG_DEBUG << "Terget Producst : " << id;
        return id;
    }
    TIVRA::SYSLOG_INFO << "Find Skip : " << id;
    return ~uint64_t{0};
}

bool Find::NotisName(const IPAddress& to)
{
    SendBuffer request;
    if (!buildNoticeRequest(hostName, hostId, request)) {
        // Its length word would wrap. Not a failure of the search: the
        // target is only left without our name.
        if (!nameRefusedLogged) {
            TIVRA::SYSLOG_ERR << "host name too long to announce: " << hostName.size() << " bytes";
            nameRefusedLogged = true;
        }
        return true;
    }
    Receive answer;
    return sendAck(to, request, NOTISNAME_ANS, answer, true) != 1;
}

bool Find::pingTarget(IPAddress to)
{
    Receive answer;
    return sendAck(to, Send(FIND_REQ, 0), FIND_ANS, answer, true) == 0;
}

bool Find::getTarget(const IPAddress& to, unsigned long& productId, std::string& name)
{
    Receive answer;
    const int r = sendAck(to, Send(FIND_REQ, 0), FIND_ANS, answer, true);
    if (r == 1) {
        return false;
    }
    if (!NotisName(to)) {
        return false;
    }
    uint64_t id = 0;
    std::string text;
    if (r == 0 && parseFindAnswer(answer, id, text)) {
        productId = static_cast<unsigned long>(muchID(static_cast<unsigned long>(id)));
        name = std::move(text);
    } else {
        productId = ~0UL;
    }
    return true;
}

}  // namespace QUORVIN
