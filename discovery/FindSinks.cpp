// Sinks, ports and sink status of the found targets.
#include <cstring>

#include "discovery/Answers.h"
#include "discovery/Find.h"
#include "foundation/SysLog.h"

namespace QUORVIN {

using TIVRA::IPAddress;

namespace {

// A target that leaves this many exchanges in a row unanswered is given up
// for the rest of the walk: counts from the network reach 65535, and a silent
// target would otherwise hold the scan for minutes.
constexpr uint32_t GIVE_UP_AFTER = 3;
// What one target may cost one walk in waits that brought no timely answer:
// one that answers some requests and not others, or answers late, is left
// once it has held the scan (and every card with it) this long.
constexpr TIVRA::Clock WAIT_BUDGET{1000 * TIVRA::Clock::MS};

uint16_t portKind(Find::MODE mode)
{
    if ((mode & Find::MODE_PORT1) != 0) {
        return 1;
    }
    if ((mode & Find::MODE_PORT2) != 0) {
        return 2;
    }
    if ((mode & Find::MODE_PORT4) != 0) {
        return 4;
    }
    return 0;
}

bool kindFits(Find::MODE mode, uint16_t kind)
{
    if ((mode & Find::MODE_PORT1) != 0) {
        return kind == 0 || kind == 1;
    }
    if ((mode & Find::MODE_PORT2) != 0) {
        return kind == 2;
    }
    if ((mode & Find::MODE_PORT4) != 0) {
        return kind == 4;
    }
    return false;
}

bool isZero(const IPAddress& a)
{
    IPAddress zero;
    return std::memcmp(a.addr, zero.addr, sizeof zero.addr) == 0 && a.port == 0;
}

bool sinkPresent(const unsigned char* bitmap, uint32_t i)
{
    return (bitmap[i >> 3] & (1U << (i & 7))) != 0;
}

}  // namespace

int Find::probeRule(const IPAddress& target)
{
    if (!probeFirst) {
        return 0;
    }
    Receive answer;
    const int r = sendAck(target, Send(PROBE_REQ, 0, 0UL), SUPPORT_ANS, answer, true);
    if (r == 0) {
        return 0;
    }
    return r == 1 ? 1 : 2;
}

bool Find::givenUp(const IPAddress& target)
{
    if (unanswered < GIVE_UP_AFTER) {
        return false;
    }
    if (!gaveUpLogged) {
        std::string text;
        target.get_str(text);
        TIVRA::SYSLOG_WARNING << "Quorvin Find target gives no answer, left for this scan: " << text;
        gaveUpLogged = true;
    }
    return true;
}

bool Find::overBudget(const IPAddress& target)
{
    if (waited.Comp(WAIT_BUDGET) < 0) {
        return false;
    }
    if (!gaveUpLogged) {
        std::string text;
        target.get_str(text);
        TIVRA::SYSLOG_WARNING << "Quorvin Find target holds the scan too long, left for this scan: " << text;
        gaveUpLogged = true;
    }
    return true;
}

bool Find::getPort(const IPAddress& target, MODE mode, unsigned short& count0, unsigned short& count1,
                   unsigned char* bitmap0, unsigned char* bitmap1)
{
    count0 = 0;
    count1 = 0;
    for (unsigned char* bitmap : {bitmap0, bitmap1}) {
        if (bitmap != nullptr) {
            std::memset(bitmap, 0xFF, SINK_BITMAP_BYTES);
        }
    }
    if (const int p = probeRule(target); p != 0) {
        return p != 1;
    }
    Receive answer;
    int r = sendAck(target, Send(PORT_REQ, 0, 0, 0, 0, 1), PORT_ANS, answer, true);
    if (r != 0) {
        return r != 1;
    }
    if (answer.getOption2() != 0) {
        r = sendAck(target, Send(PORT_REQ, 0, 0, 0, portKind(mode), 1), PORT_ANS, answer, true);
        if (r != 0) {
            return r != 1;
        }
    }
    uint16_t c0 = 0;
    uint16_t c1 = 0;
    uint16_t kind = 0;
    unsigned char map0[SINK_BITMAP_BYTES];
    unsigned char map1[SINK_BITMAP_BYTES];
    std::memset(map0, 0xFF, sizeof map0);
    std::memset(map1, 0xFF, sizeof map1);
    if (!parsePortCounts(answer, c0, c1, kind, map0, map1) || !kindFits(mode, kind)) {
        return true;
    }
    if ((mode & MODE_OPTION0) != 0) {
        count0 = c0;
    }
    if ((mode & MODE_OPTION1) != 0) {
        count1 = c1;
    }
    if (bitmap0 != nullptr) {
        std::memcpy(bitmap0, map0, sizeof map0);
    }
    if (bitmap1 != nullptr) {
        std::memcpy(bitmap1, map1, sizeof map1);
    }
    return true;
}

bool Find::getPort(const IPAddress& target, MODE mode, unsigned short sinkNumber, IPAddress& sinkAddress,
                   unsigned short& version, std::string& sinkName, SynchroNodeInfo& nodeInfo)
{
    sinkAddress = IPAddress{};
    nodeInfo = SynchroNodeInfo{};
    if (const int p = probeRule(target); p != 0) {
        return p != 1;
    }
    const uint16_t kind = portKind(mode);
    if (kind == 0) {
        return false;
    }
    uint16_t o0 = 0;
    uint16_t o1 = 0;
    if ((mode & MODE_OPTION0) != 0) {
        o0 = sinkNumber;
    } else if ((mode & MODE_OPTION1) != 0) {
        o1 = sinkNumber;
    } else {
        return false;
    }
    Receive answer;
    const int r = sendAck(target, Send(PORT_REQ, 0, o0, o1, kind, 1), PORT_ANS, answer, true);
    if (r != 0) {
        return r != 1;
    }
    uint16_t port = 0;
    uint16_t v = 0;
    std::string name;
    if (!parseSinkPort(answer, port, v, name) || port == 0) {
        return true;
    }
    version = v;
    sinkName = std::move(name);
    if (protocolVersion != 0 && protocolVersion < version) {
        TIVRA::SYSLOG_INFO << "Quorvin Find protocol version not much : " << protocolVersion << "<" << version;
        return true;
    }
    IPAddress sink = target;
    sink.setPort(port);
    if ((mode & MODE_PORT4) != 0) {
        sinkAddress = sink;
        return true;
    }
    const int n = sendAck(sink, Send(NODEINFO_REQ, 0), NODEINFO_ANS, answer, true);
    if (n == 1) {
        return false;
    }
    if (n == 2) {
        // One sink that keeps quiet leaves only itself out of this scan,
        // not every target with it.
        std::string text;
        sink.get_str(text);
        TIVRA::SYSLOG_INFO << "Quorvin Find no node information: " << text;
        return true;
    }
    sinkAddress = sink;
    if (n == 0) {
        parseNodeInfo(answer, nodeInfo);
    }
    return true;
}

bool Find::getStatus(const IPAddress& target, unsigned short& count)
{
    count = 0;
    if (const int p = probeRule(target); p != 0) {
        return p != 1;
    }
    Receive answer;
    const int r = sendAck(target, Send(STATUS_REQ, 0, 0, 0, 0, 1), STATUS_ANS, answer, true);
    if (r == 1) {
        return false;
    }
    uint16_t c = 0;
    if (r == 0 && parseStatusCount(answer, c)) {
        count = c;
    }
    return true;
}

bool Find::getStatus(const IPAddress& target, unsigned short number, IPAddress& sinkAddress, unsigned short& version,
                     std::string& peerName, IPAddress& peer, unsigned short& state)
{
    sinkAddress = IPAddress{};
    state = 0;
    if (const int p = probeRule(target); p != 0) {
        return p != 1;
    }
    Receive answer;
    const int r = sendAck(target, Send(STATUS_REQ, 0, number, 0, 0, 1), STATUS_ANS, answer, true);
    if (r != 0) {
        return r != 1;
    }
    uint16_t st = 0;
    uint16_t port = 0;
    uint16_t v = 0;
    if (!parseStatusEntry(answer, st, port, v, peer, peerName)) {
        return true;
    }
    version = v;
    if (protocolVersion != 0 && protocolVersion < version) {
        TIVRA::SYSLOG_INFO << "Quorvin Find protocol version not much : " << protocolVersion << "<" << version;
        return true;
    }
    sinkAddress = target;
    sinkAddress.setPort(port);
    state = st;
    return true;
}

bool Find::findTarget(const std::map<IPAddress, FindTargetSt>& targets, std::map<IPAddress, TargetConnectInfo>& sinks,
                      MODE mode)
{
    sinks.clear();
    for (const auto& [target, found] : targets) {
        unanswered = 0;
        waited = TIVRA::Clock(0);
        gaveUpLogged = false;
        if (!NotisName(target)) {
            return false;
        }
        unsigned short count0 = 0;
        unsigned short count1 = 0;
        unsigned char bitmap0[SINK_BITMAP_BYTES];
        if (!getPort(target, mode, count0, count1, bitmap0, nullptr)) {
            return false;
        }
        Receive answer;
        const int r = sendAck(target, Send(SINKOUT_REQ, 0), SINKOUT_ANS, answer, true);
        if (r == 1) {
            return false;
        }
        std::string description;
        if (r == 0) {
            parseDescription(answer, target, description);
        }
        const IPAddress* earlier = nullptr;
        // 32 bits, so that a count of 65535 ends.
        for (uint32_t i = 1; i <= count0 && !givenUp(target) && !overBudget(target); ++i) {
            if ((i | count0) <= 0xFFF && !sinkPresent(bitmap0, i)) {
                continue;
            }
            IPAddress sinkAddress;
            unsigned short version = 0;
            std::string sinkName;
            SynchroNodeInfo nodeInfo;
            const auto number = static_cast<unsigned short>(i);
            if (!getPort(target, mode, number, sinkAddress, version, sinkName, nodeInfo)) {
                return false;
            }
            if (isZero(sinkAddress)) {
                continue;
            }
            auto [entry, created] = sinks.try_emplace(sinkAddress);
            TargetConnectInfo& info = entry->second;
            info.productId = found.productId;
            info.targetName = found.targetName;
            info.spare = 0;
            info.sinkNumber = number;
            info.protocolVersion = version;
            info.description = description;
            info.target = target;
            info.sinkName = std::move(sinkName);
            info.nodeInfo = nodeInfo;
            TIVRA::SYSLOG_DEBUG << "Quorvin Find Sink Out: " << escapeText(info.targetName) << " " << info.sinkNumber
                                << " " << info.protocolVersion << " [" << target.ifindex << "]";
            if (earlier != nullptr) {
                sinks[*earlier].multiport = true;
                info.multiport = true;
            }
            earlier = &entry->first;
        }
    }
    return true;
}

bool Find::findTarget(const std::map<IPAddress, FindTargetSt>& targets,
                      std::map<IPAddress, TargetStatusInfo>& statuses)
{
    statuses.clear();
    for (const auto& [target, found] : targets) {
        unanswered = 0;
        waited = TIVRA::Clock(0);
        gaveUpLogged = false;
        if (!NotisName(target)) {
            return false;
        }
        unsigned short count = 0;
        if (!getStatus(target, count)) {
            return false;
        }
        for (uint32_t i = 1; i <= count && !givenUp(target) && !overBudget(target); ++i) {
            IPAddress sinkAddress;
            unsigned short version = 0;
            std::string peerName;
            IPAddress peer;
            unsigned short state = 0;
            const auto number = static_cast<unsigned short>(i);
            if (!getStatus(target, number, sinkAddress, version, peerName, peer, state)) {
                return false;
            }
            if (isZero(sinkAddress)) {
                continue;
            }
            TargetStatusInfo& info = statuses[sinkAddress];
            info.productId = found.productId;
            info.targetName = found.targetName;
            info.sinkNumber = number;
            info.protocolVersion = version;
            info.state = state;
            info.peer = peer;
            info.peerName = std::move(peerName);
            TIVRA::SYSLOG_DEBUG << "Quorvin Find Status: " << escapeText(info.peerName) << " " << info.sinkNumber
                                << " " << info.protocolVersion << " [" << info.peer.ifindex << "]" << info.state;
        }
    }
    return true;
}

bool Find::is_multiport(const std::map<IPAddress, TargetConnectInfo>& sinks, const IPAddress& sinkAddress)
{
    for (const auto& entry : sinks) {
        const IPAddress& a = entry.first;
        if (std::memcmp(a.addr, sinkAddress.addr, sizeof a.addr) == 0 && a.ifindex == sinkAddress.ifindex
            && a.port != sinkAddress.port) {
            return true;
        }
    }
    return false;
}

}  // namespace QUORVIN
