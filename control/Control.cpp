// The control channel (see Control.h).
#include "control/Control.h"

#include <cerrno>

#include "control/ControlAnswers.h"
#include "foundation/SysLog.h"
#include "protocol/Exchange.h"

namespace QUORVIN {

using TIVRA::Clock;
using TIVRA::IPAddress;

namespace {

constexpr int RELEASE_NO = 142;
constexpr int SENDS = 3;
// Bit 15 of a value request's item number is the write flag: items past
// this one cannot be read or written (a read would write another item).
constexpr uint16_t LAST_ADDRESSABLE = CONTROL_WRITE - 1;
constexpr Clock ANSWER_WAIT{10 * Clock::MS};

}  // namespace

Control::Control(const Setting& setting) : hostName(setting.hostName), hostId(setting.hostId) {}

Control::~Control()
{
    socket.close();
}

bool Control::open()
{
    TIVRA::SYSLOG_INFO << "Quorvin Control Library ReleaseNo : " << RELEASE_NO;
    if (!socket.open(TIVRA::Socket::UDP_V6)) {
        // The socket records no error of its own open; errno is that error.
        const int error = errno;
        TIVRA::SYSLOG_ERR << "UDP control open error:" << error;
        socket.close();
        return false;
    }
    IPAddress any;
    if (!socket.bindV6(any, 1000)) {
        socket.close();
        return false;
    }
    return true;
}

void Control::close()
{
    socket.close();
}

bool Control::sendAck(const IPAddress& to, const Send& request, MessageID answerId, Receive& answer)
{
    answer.clear();
    Receive got;
    IPAddress from;
    // Answers carry no request key: whatever is queued before the request
    // goes out (a late answer to an earlier exchange) cannot answer it.
    // Resends of this request do not drain: a late answer to an earlier send
    // of the same request answers it as well.
    drainQueued(socket);
    SendTimes sends;
    for (int sent = 0; sent < SENDS; ++sent) {
        if (!socket.sendToV6(request, to, true)) {
            return false;
        }
        sends.sent();
        // The wait ends at a fixed time after the send: stray datagrams do
        // not prolong it.
        AnswerWait wait(ANSWER_WAIT);
        for (;;) {
            const Awaited r = wait.next(socket, got, from);
            if (r == Awaited::Failed) {
                return false;
            }
            if (r == Awaited::Timeout) {
                break;
            }
            if (!got) {
                TIVRA::SYSLOG_DEBUG << "sendAck RCV errpacket:" << got.size();
                continue;
            }
            // Only the addressed peer can answer, refuse or echo.
            if (from != to) {
                continue;
            }
            TIVRA::SYSLOG_DEBUG << "sendAck[" << (socket.getIfOverride() & 0xFFFFU) << "," << to.ifindex << ","
                                << from.ifindex << "]RCV:" << request.getMessage();
            if (got.getMessage() == request.getMessage()) {
                dropLateAnswers(socket, to, sends);
                return true;  // an echo of the request never counts
            }
            if (got.getMessage() != answerId) {
                continue;
            }
            if ((got.getStatus() & STATUS_OK) != 0) {
                answer = std::move(got);
            }
            dropLateAnswers(socket, to, sends);
            return true;
        }
    }
    return true;
}

bool Control::listSink(const Find::StatusSortSt& entry, std::vector<StatusSt>& into)
{
    SendBuffer name;
    // Refused before anything is sent: a truncated name would announce
    // another host.
    if (!buildNameRequest(hostName, hostId, name)) {
        TIVRA::SYSLOG_ERR << "control host name too long:" << hostName.size();
        return false;
    }
    Receive answer;
    if (!sendAck(entry.sinkAddress, name, CONTROLNAME_ANS, answer)) {
        return false;  // the name answer itself is not examined
    }
    uint16_t count = 0;
    if (!sendAck(entry.sinkAddress, buildListRequest(0), CONTROLLIST_ANS, answer) || !parseItemCount(answer, count)) {
        return false;
    }
    if (count > LAST_ADDRESSABLE) {
        TIVRA::SYSLOG_WARNING << "control items past " << LAST_ADDRESSABLE << " not addressable:" << count;
    }
    // A 32-bit counter, so a count of 65535 ends.
    for (uint32_t i = 1; i <= count; ++i) {
        const uint16_t item = static_cast<uint16_t>(i);
        uint16_t type = 0;
        if (!sendAck(entry.sinkAddress, buildListRequest(item), CONTROLLIST_ANS, answer)
            || !parseItemType(answer, type)) {
            return false;
        }
        StatusSt st;
        st.sinkAddress = entry.sinkAddress;
        st.itemId = item;
        st.type = type;
        st.volumeEnabled = entry.tail ? 1 : 0;
        st.playEnabled = entry.head ? 1 : 0;
        into.push_back(st);
    }
    return true;
}

bool Control::connect(const Find::StatusSort& chain)
{
    items.clear();
    std::vector<StatusSt> listed;
    for (const Find::StatusSortSt& entry : chain) {
        if (!listSink(entry, listed)) {
            return false;
        }
    }
    items = std::move(listed);
    if (!update()) {
        // Never leave a part of a chain behind: a later setVolume would send
        // full level to sinks whose values were never read.
        items.clear();
        return false;
    }
    return true;
}

bool Control::connect(IPAddress address)
{
    Find::StatusSort chain;
    Find::StatusSortSt entry;
    entry.sinkAddress = address;
    entry.tail = true;
    entry.head = false;
    chain.push_back(entry);
    return connect(chain);
}

bool Control::exchangeItem(StatusSt& item, bool write, uint64_t value)
{
    if (item.itemId > LAST_ADDRESSABLE) {
        return false;
    }
    const Send request = write ? buildWriteRequest(item.itemId, value) : buildReadRequest(item.itemId);
    Receive answer;
    uint64_t got = 0;
    uint16_t status = 0;
    if (!sendAck(item.sinkAddress, request, CONTROLVALUE_ANS, answer)
        || !parseValueAnswer(answer, item.itemId, got, status)) {
        return false;
    }
    item.value = got;
    item.status = status;
    return true;
}

bool Control::update()
{
    for (StatusSt& item : items) {
        if (item.itemId > LAST_ADDRESSABLE) {
            continue;  // listed, but its value cannot be asked
        }
        if (!exchangeItem(item, false, 0)) {
            return false;
        }
    }
    return true;
}

bool Control::setValue(short index, unsigned long value)
{
    if (index < 0 || static_cast<size_t>(index) >= items.size()) {
        return false;
    }
    return exchangeItem(items[static_cast<size_t>(index)], true, value);
}

bool Control::setVolume(short volume)
{
    // Sign-extended, so a negative volume fills the options above it with ones.
    const uint64_t wide = static_cast<uint64_t>(static_cast<int64_t>(volume));
    for (size_t i = items.size(); i-- > 0;) {
        StatusSt& item = items[i];
        if (item.type != CONTROL_VOLUME || item.itemId > LAST_ADDRESSABLE) {
            continue;
        }
        if (!exchangeItem(item, true, item.volumeEnabled != 0 ? wide : 0)) {
            return false;
        }
    }
    return true;
}

bool Control::getVolume(short& volume) const
{
    for (const StatusSt& item : items) {
        if (item.volumeEnabled != 0 && item.type == CONTROL_VOLUME) {
            volume = static_cast<short>(static_cast<uint16_t>(item.value));
            return true;
        }
    }
    return false;
}

bool Control::getPlay(bool& playing) const
{
    playing = true;
    bool any = false;
    for (const StatusSt& item : items) {
        if (item.playEnabled != 0 && item.type == CONTROL_PLAY) {
            any = true;
            if ((item.status & STATUS_PLAY) == 0) {
                playing = false;
            }
        }
    }
    return any;
}

FormatConfigure Control::getPlayFormat() const
{
    for (const StatusSt& item : items) {
        if (item.playEnabled != 0 && item.type == CONTROL_PLAY) {
            return FormatConfigure((item.value & 0xFFFFULL) | ((item.value & 0xFFFFFFFF0000ULL) << 16));
        }
    }
    return FormatConfigure(0);
}

}  // namespace QUORVIN
