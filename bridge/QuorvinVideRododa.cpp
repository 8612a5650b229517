// The bridge scan and its node table (see QuorvinVideRododa.h).
#include "bridge/QuorvinVideRododa.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "bridge/BridgeIoctl.h"
#include "foundation/SysLog.h"

using namespace QUORVIN;
using TIVRA::IPAddress;

namespace {

constexpr int GRACE = 3;
constexpr Find::MODE SCAN_MODE = static_cast<Find::MODE>(Find::MODE_PORT1 | Find::MODE_OPTION0);
constexpr TIVRA::Clock SINK_WAIT{200 * TIVRA::Clock::MS};

std::string text(const IPAddress& a)
{
    std::string s;
    a.get_str(s);
    return s;
}

}  // namespace

QuorvinVideRododa::QuorvinVideRododa(const Find::Setting& setting) : find(setting) {}

QuorvinVideRododa::~QuorvinVideRododa()
{
    shutdown();
}

void QuorvinVideRododa::shutdown()
{
    find.close();
    for (auto& [address, node] : aliveNodes) {
        node->close();
        removeCard(node->getMemNo());
    }
    aliveNodes.clear();
    if (controlFd >= 0) {
        ::ioctl(controlFd, QUORVIN_BR_CREATE, QUORVIN_BR_REMOVE_ARG);
        ::close(controlFd);
        controlFd = -1;
    }
}

bool QuorvinVideRododa::sameChain(const Find::StatusSort& a, const Find::StatusSort& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if (i->sinkAddress != j->sinkAddress || i->peer != j->peer || i->sinkNumber != j->sinkNumber) {
            return false;
        }
    }
    return true;
}

bool QuorvinVideRododa::active(const AliveNodeSt& node) const
{
    const int32_t s = node.streamState();
    return s == SYNC_CONNECTING || s == SYNC_CONNECTED || s == SYNC_DISCONNECTING;
}

void QuorvinVideRododa::removeCard(int memNo)
{
    // A number outside 0..255 cannot be put into a request: it would name another card.
    if (!bridgeCardEncodable(memNo)) {
        TIVRA::SYSLOG_ERR << "card number not usable: " << memNo;
        return;
    }
    ::ioctl(controlFd, bridgeRequest(memNo), QUORVIN_BR_REMOVE_ARG);
}

void QuorvinVideRododa::teardown(const IPAddress& address)
{
    auto it = aliveNodes.find(address);
    if (it == aliveNodes.end()) {
        return;
    }
    TIVRA::SYSLOG_INFO << "lost node:" << it->second->getMemNo() << " " << text(address);
    it->second->close();
    removeCard(it->second->getMemNo());
    aliveNodes.erase(it);
}

bool QuorvinVideRododa::build(const IPAddress& address, const Find::TargetConnectInfo& sink,
                              const Find::StatusSort& chain)
{
    const std::string name = sink.targetName + ":" + sink.sinkName;
    TIVRA::SYSLOG_NOTICE << "TargetName : " << name;
    if (aliveNodes.count(address) != 0) {
        // Setting a node up twice would start a second stream, card and
        // notify thread on one node.
        TIVRA::SYSLOG_WARNING << "node exists, not set up again: " << text(address);
        return true;
    }
    auto made = std::make_unique<AliveNodeSt>();
    AliveNodeSt& node = *made;
    node.missCount = GRACE;
    node.occupiedCpu = &occupiedCpu;
    auto profile = alsaProfiles.find(name);
    if (profile != alsaProfiles.end()) {
        TIVRA::SYSLOG_INFO << "detect profie : " << name;
    } else {
        TIVRA::SYSLOG_INFO << "default profie";
        profile = alsaProfiles.try_emplace("").first;
    }
    node.alsaProfile = profile->second;
    node.alsaProfile.dump();
    node.periodMax = periodMax;
    node.periodMin = periodMin;
    node.periodSizeMax = periodSizeMax;
    node.periodSizeMin = periodSizeMin;
    if (!node.open(static_cast<uint32_t>(node.alsaProfile.syncWorkerMode), node.alsaProfile.syncInfoCycle,
                   static_cast<unsigned short>(address.ifindex), bridgeName, ~0UL, -1, occupiedCpu.InfCpuOther,
                   occupiedCpu.InfRengOther)) {
        TIVRA::SYSLOG_INFO << "Socket Err";
        return false;
    }
    if (!node.setSink(address, chain, SINK_WAIT, false)) {
        TIVRA::SYSLOG_INFO << "setSink Err";
        targets.erase(address);  // asked again by the next scan
        return true;
    }
    const int memNo = ::ioctl(controlFd, QUORVIN_BR_CREATE,
                              static_cast<unsigned long>(bridgeRingBytes(periodMax, periodSizeMax)));
    TIVRA::SYSLOG_INFO << "Add Bridge  " << memNo;
    if (!bridgeCardEncodable(memNo)) {
        TIVRA::SYSLOG_ERR << "card number not usable: " << memNo;
        targets.erase(address);
        return true;
    }
    if (!node.openMem(memNo, sink.targetName, sink.sinkName, occupiedCpu.InfCpuOther, occupiedCpu.InfRengOther)) {
        // Not left with the driver: the next scan builds the sink anew.
        removeCard(memNo);
        targets.erase(address);
        return true;
    }
    TIVRA::SYSLOG_INFO << "add node:" << text(address) << " " << memNo;
    aliveNodes.emplace(address, std::move(made));
    // Every node has its entry, also one rebuilt in the scan that lost it:
    // without one it would never age out, and a lost node would be skipped.
    targets[address] = chain;
    return true;
}

bool QuorvinVideRododa::scan()
{
    std::lock_guard<std::mutex> lock(scanMutex);
    TIVRA::SYSLOG_INFO << "SCAN Target interval";
    std::map<IPAddress, Find::FindTargetSt> found;
    if (!find.findTarget(found)) {
        TIVRA::SYSLOG_ERR << "Scan Error";
        return false;
    }
    std::map<IPAddress, Find::TargetConnectInfo> sinks;
    if (!find.findTarget(found, sinks, SCAN_MODE)) {
        TIVRA::SYSLOG_INFO << "Scan Mis 1";
        return true;
    }
    std::map<IPAddress, Find::TargetStatusInfo> statuses;
    if (!find.findTarget(found, statuses)) {
        TIVRA::SYSLOG_INFO << "Scan Mis 2";
        return true;
    }
    std::set<IPAddress> rebuildSet;
    Candidates candidates;
    for (auto it = targets.begin(); it != targets.end();) {
        if (sinks.count(it->first) != 0) {
            ++it;
            continue;
        }
        const auto node = aliveNodes.find(it->first);
        if (node != aliveNodes.end() && active(*node->second)) {
            ++it;
        } else if (node != aliveNodes.end() && node->second->missCount > 0) {
            --node->second->missCount;
            TIVRA::SYSLOG_INFO << "Scan Mis 3 " << node->second->missCount << " " << text(it->first);
            ++it;
        } else {
            rebuildSet.insert(it->first);
            it = targets.erase(it);
        }
    }
    for (const auto& [address, sink] : sinks) {
        Find::StatusSort chain;
        Find::SortStatus(address, sink.sinkNumber, true, statuses, chain);
        const auto stored = targets.find(address);
        const auto node = aliveNodes.find(address);
        if (stored == targets.end()) {
            targets[address] = chain;
            candidates[address] = {sink, chain};
        } else if (sameChain(stored->second, chain)) {
            if (node != aliveNodes.end() && node->second->missCount != GRACE) {
                TIVRA::SYSLOG_INFO << "Scan Rec  " << node->second->missCount << " " << text(address);
                node->second->missCount = GRACE;
            }
        } else if (node != aliveNodes.end() && active(*node->second)) {
            // The stream goes on with the chain it has.
        } else if (node != aliveNodes.end() && node->second->missCount > 0) {
            --node->second->missCount;
            TIVRA::SYSLOG_INFO << "Scan Mis 4 " << node->second->missCount << " " << text(address);
        } else {
            stored->second = chain;
            rebuildSet.insert(address);
            candidates[address] = {sink, chain};
        }
    }
    for (const IPAddress& address : lostNodes) {
        if (targets.erase(address) != 0) {
            rebuildSet.insert(address);
        }
    }
    lostNodes.clear();
    for (const IPAddress& address : rebuildSet) {
        teardown(address);
    }
    for (auto it = candidates.begin(); it != candidates.end(); ++it) {
        if (!build(it->first, it->second.first, it->second.second)) {
            // These wait for the next scan, which finds them new.
            for (auto rest = it; rest != candidates.end(); ++rest) {
                targets.erase(rest->first);
            }
            break;
        }
    }
    return true;
}
