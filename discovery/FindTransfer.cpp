// The acknowledged data upload into a target's storage area.
#include <algorithm>
#include <cstring>
#include <vector>

#include "discovery/Answers.h"
#include "discovery/Find.h"
#include "foundation/CRC16.h"
#include "foundation/Clock.h"
#include "foundation/SysLog.h"
#include "protocol/Exchange.h"

namespace QUORVIN {

using TIVRA::Clock;
using TIVRA::IPAddress;

namespace {

constexpr Clock ACK_BUDGET{100 * Clock::MS};
// The drain before a resend lets the target's answers to the blocks still in
// flight go by; it ends after a quiet spell, and a target that keeps sending
// cannot hold it past the cap.
constexpr Clock DRAIN_QUIET{10 * Clock::MS};
constexpr Clock DRAIN_CAP{100 * Clock::MS};
// Datagrams still taken after the acknowledgement's budget has run out, so a
// flood cannot hold the wait.
constexpr int LATE_DATAGRAMS = 256;

constexpr uint16_t LAST_OF_BURST = 0x8000;
// Half the counter's range. A burst then never takes the counter of the
// acknowledgement that ended the burst before it, so a late or repeated copy
// of that one cannot end this burst, and a resend after it sends the burst
// whole rather than only its last block.
constexpr size_t MAX_BURST_BLOCKS = 0x8000;
// The largest payload that one IPv6 UDP datagram carries behind the header.
constexpr uint32_t MAX_BLOCK_BYTES = MAX_DATAGRAM_PAYLOAD;
constexpr int MAX_RETRIES = 10;
// The area travels as area + 1 beside the burst mark in one 16-bit word.
constexpr int AREA_LIMIT = 0x7FFF;
constexpr uint16_t NO_WINDOW_LIMIT = 0xFFFF;
constexpr uint16_t RESULT_MATCH = 0xFFFF;

void logSocketError(int site, const TIVRA::Socket& socket)
{
    TIVRA::SYSLOG_ERR << "UDP stream send error " << site << ":" << socket.getLastError();
}

enum class AckOutcome { Done, Resend, Failed };

// One wait for the acknowledgement of the burst whose last counter is
// `expected`. A target may acknowledge from another of its ports, so a valid
// acknowledgement of this area counts from any sender; a refusal or another
// area's answer ends the upload only from `to`, so a stranger cannot.
AckOutcome awaitAck(TIVRA::UDPV6& socket, const IPAddress& to, uint16_t areaWord, uint16_t expected,
                    uint16_t& lastAck)
{
    const Clock end = Clock::now() + ACK_BUDGET;
    int late = 0;
    Receive got;
    IPAddress from;
    for (;;) {
        const Clock now = Clock::now();
        Clock left(0);
        if (now.Comp(end) >= 0) {
            if (++late > LATE_DATAGRAMS) {
                return AckOutcome::Resend;
            }
        } else {
            left = end - now;
        }
        const TIVRA::Socket::WaitResult r = socket.wait(left);
        if (r == TIVRA::Socket::WaitError) {
            TIVRA::SYSLOG_INFO << "Retry Detect Error ";
            return AckOutcome::Failed;
        }
        if (r == TIVRA::Socket::WaitTimeout) {
            return AckOutcome::Resend;
        }
        if (!socket.receiveFromV6(got, from)) {
            logSocketError(851, socket);
            return AckOutcome::Failed;
        }
        const bool fromTarget = from == to;
        uint16_t counter = 0;
        switch (readTransferAck(got, areaWord, counter)) {
        case TransferAck::Other:
            continue;
        case TransferAck::Refused:
            if (!fromTarget) {
                continue;
            }
            TIVRA::SYSLOG_ERR << "Transfer NAK error ";
            return AckOutcome::Failed;
        case TransferAck::WrongArea:
            if (!fromTarget) {
                continue;
            }
            TIVRA::SYSLOG_ERR << "Transfer NO error ";
            return AckOutcome::Failed;
        case TransferAck::Counter:
            break;
        }
        lastAck = counter;
        if (counter == expected) {
            return AckOutcome::Done;
        }
        if (counter == static_cast<uint16_t>(expected + 1)) {
            TIVRA::SYSLOG_INFO << "Retry Redy Pass " << expected << " " << counter;
            return AckOutcome::Done;
        }
        TIVRA::SYSLOG_INFO << "Retry Detect err " << expected << " " << counter;
        return AckOutcome::Resend;
    }
}

bool drainBeforeResend(TIVRA::UDPV6& socket)
{
    const Clock cap = Clock::now() + DRAIN_CAP;
    Receive got;
    IPAddress from;
    for (int drained = 0; drained < DRAIN_DATAGRAMS; ++drained) {
        const Clock now = Clock::now();
        if (now.Comp(cap) >= 0) {
            return true;
        }
        const Clock toCap = cap - now;
        const TIVRA::Socket::WaitResult r = socket.wait(toCap.Comp(DRAIN_QUIET) < 0 ? toCap : DRAIN_QUIET);
        if (r == TIVRA::Socket::WaitError) {
            TIVRA::SYSLOG_INFO << "Retry Clear Error ";
            return false;
        }
        if (r == TIVRA::Socket::WaitTimeout) {
            return true;
        }
        if (!socket.receiveFromV6(got, from)) {
            logSocketError(893, socket);
            return false;
        }
    }
    return true;
}

}  // namespace

bool Find::Transfer(IPAddress to, int area, TIVRA::BufferCS_const data, unsigned long window,
                    std::function<void(unsigned short, unsigned short)> progress)
{
    if (area < 0 || area >= AREA_LIMIT) {
        return false;
    }
    const auto areaWord = static_cast<uint16_t>(area + 1);
    Receive answer;
    if (sendAck(to, Send(TRANSFER_REQ, 0, 0, 0, 0, 0), TRANSFER_ANS, answer, true) != 0) {
        return false;
    }
    uint16_t areaCount = 0;
    uint16_t windowLimit = 0;
    if (!parseTransferAreas(answer, areaCount, windowLimit) || areaCount == 0 || areaCount <= area) {
        return false;
    }
    // 0 stays "no limit" whatever the target reports.
    uint64_t budget = window;
    if (windowLimit != NO_WINDOW_LIMIT && (budget == 0 || budget >= windowLimit)) {
        budget = windowLimit;
    }
    if (sendAck(to, Send(TRANSFER_REQ, 0, areaWord, 0, 0, 0), TRANSFER_ANS, answer, true) != 0) {
        return false;
    }
    TransferGeometry geometry;
    if (!parseTransferGeometry(answer, areaWord, geometry) || geometry.blockBytes > MAX_BLOCK_BYTES) {
        return false;
    }
    const uint64_t capacity =
        uint64_t{geometry.blockBytes} * uint64_t{geometry.blocksPerGroup} * uint64_t{geometry.groupCount};
    if (capacity < data.viewSize) {
        return false;
    }
    TIVRA::SYSLOG_INFO << "start Transfer " << data.viewSize << " " << budget;

    // Only the blocks of one burst are kept, built again for the next burst.
    std::vector<SendBuffer> store;
    const uint64_t size = data.viewSize;
    const uint64_t blockBytes = geometry.blockBytes;
    uint64_t offset = 0;
    uint16_t counter = 0;
    uint16_t lastAck = 0;
    for (uint32_t group = 0; offset < size; ++group) {
        progress(static_cast<unsigned short>(group), static_cast<unsigned short>(geometry.groupCount));
        const uint64_t needed = (size - offset + blockBytes - 1) / blockBytes;
        const auto blocks = static_cast<uint32_t>(std::min<uint64_t>(geometry.blocksPerGroup, needed));
        for (uint32_t index = 0; index < blocks;) {
            const uint16_t first = counter;
            uint64_t bytes = 0;
            size_t count = 0;
            for (bool last = false; !last; ++count, ++counter, ++index) {
                if (store.size() == count) {
                    store.emplace_back();
                }
                SendBuffer& block = store[count];
                const auto take = static_cast<unsigned short>(std::min(size - offset, blockBytes));
                block.resize(take);
                std::memcpy(block.get_data(), data.viewData + offset, take);
                offset += take;
                bytes += take;
                last = (budget != 0 && bytes >= budget) || offset == size || index + 1 == blocks
                       || count + 1 == MAX_BURST_BLOCKS;
                block.set(TRANSFERDATA_REQ, 0, static_cast<uint16_t>(areaWord | (last ? LAST_OF_BURST : 0)),
                          counter, static_cast<uint16_t>(index), static_cast<uint16_t>(group));
                block.update();
            }
            for (size_t i = 0; i < count; ++i) {
                if (!socket.sendToV6(static_cast<TIVRA::BufferCS_const>(store[i]), to, false)) {
                    logSocketError(804, socket);
                    return false;
                }
            }
            const auto expected = static_cast<uint16_t>(counter - 1);
            for (int retries = 0;;) {
                const AckOutcome outcome = awaitAck(socket, to, areaWord, expected, lastAck);
                if (outcome == AckOutcome::Failed) {
                    return false;
                }
                if (outcome == AckOutcome::Done) {
                    break;
                }
                if (!drainBeforeResend(socket)) {
                    return false;
                }
                // Without a limit the burst just sent is the size to shrink from.
                if (budget == 0) {
                    budget = bytes;
                }
                if (budget > 1000) {
                    budget -= 1000;
                } else if (budget >= 2) {
                    budget -= 1;
                }
                ++retries;
                TIVRA::SYSLOG_INFO << "resend " << count;
                if (retries > MAX_RETRIES) {
                    TIVRA::SYSLOG_ERR << "Transfer error " << retries;
                    return false;
                }
                // Counted from the burst's first counter, so a wrap of the
                // counter or an acknowledgement from outside the burst
                // cannot skip a block the target lacks: outside, all go again.
                const auto fromAck = static_cast<uint16_t>(lastAck - first);
                for (size_t i = fromAck < count ? fromAck : 0; i < count; ++i) {
                    const SendBuffer& block = store[i];
                    TIVRA::SYSLOG_INFO << "resend " << block.getOption3() << " " << block.getOption2() << " "
                                       << block.getOption1() << " data=" << block.size_data()
                                       << " packet=" << block.storageSize();
                    if (!socket.sendToV6(static_cast<TIVRA::BufferCS_const>(block), to, false)) {
                        logSocketError(824, socket);
                        return false;
                    }
                }
            }
        }
    }

    TIVRA::CRC16 crc16;
    crc16.update(data);
    unsigned short crc = crc16.get();
    unsigned short result = RESULT_MATCH;
    if (!TransferFinish(to, area, crc, result)) {
        TIVRA::SYSLOG_ERR << "TransferFinish error ";
        return false;
    }
    if (result != RESULT_MATCH) {
        TIVRA::SYSLOG_ERR << "TransferStrp error ";
        return false;
    }
    TIVRA::SYSLOG_INFO << "compleat Transfer ";
    return true;
}

bool Find::Transfer(IPAddress to, int area, TIVRA::BufferCS_const data, unsigned long window)
{
    return Transfer(to, area, data, window, [](unsigned short group, unsigned short groupCount) {
        TIVRA::SYSLOG_DEBUG << "Transfer " << group << "/" << groupCount;
    });
}

bool Find::TransferFinish(IPAddress to, int area, unsigned short& crc, unsigned short& result)
{
    if (area < 0 || area >= AREA_LIMIT) {
        return false;
    }
    const auto areaWord = static_cast<uint16_t>(area + 1);
    Receive answer;
    if (sendAck(to, Send(TRANSFERFINISH_REQ, 0, areaWord, crc, result, 0), TRANSFERFINISH_ANS, answer, true) != 0) {
        return false;
    }
    return parseTransferFinish(answer, areaWord, crc, result);
}

}  // namespace QUORVIN
