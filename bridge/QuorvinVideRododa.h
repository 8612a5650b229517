// The bridge: binds the sinks that discovery finds to driver cards. Its
// scan searches the link, reads every target's sinks and their status,
// orders them into chains, compares them with the nodes it holds, gives a
// missing or changed sink three scans of grace, tears down what has to go
// and builds a node (stream, sink, card) for every new or rebuilt sink.
// Owns the nodes; used from the main loop's thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "bridge/AlsaProfile.h"
#include "bridge/OccupiedCPU.h"
#include "bridge/SyncMemDrv.h"
#include "discovery/Find.h"
#include "foundation/IPAddress.h"

class QuorvinVideRododa {
public:
    struct AliveNodeSt final : public SyncMemDrv {
        int missCount = -1;  // scans of grace left; 3 once set up
        int32_t streamState() const { return syncState.load(); }
    };

    explicit QuorvinVideRododa(const QUORVIN::Find::Setting& setting);
    ~QuorvinVideRododa();
    QuorvinVideRododa(const QuorvinVideRododa&) = delete;
    QuorvinVideRododa& operator=(const QuorvinVideRododa&) = delete;

    // One scan; false only when the target search failed.
    bool scan();
    // Discovery closed, every card closed and removed, the final request
    // sent and the control node closed. The destructor does the same for
    // whatever is still open, so a second call changes nothing.
    void shutdown();

    std::map<TIVRA::IPAddress, QUORVIN::Find::StatusSort> targets;
    AlsaProfileMap alsaProfiles;
    uint32_t periodMax = QUORVIN::BRIDGE_PERIOD_MAX;
    uint32_t periodMin = QUORVIN::BRIDGE_PERIOD_MIN;
    uint32_t periodSizeMax = QUORVIN::BRIDGE_PERIOD_SIZE_MAX;
    uint32_t periodSizeMin = QUORVIN::BRIDGE_PERIOD_SIZE_MIN;
    OccupiedCPU occupiedCpu;
    int controlFd = -1;
    std::map<TIVRA::IPAddress, std::unique_ptr<AliveNodeSt>> aliveNodes;
    std::set<TIVRA::IPAddress> lostNodes;
    QUORVIN::Find find;
    std::string bridgeName = "VUVO VAZA";
    std::mutex scanMutex;

    // Chains are the same for the scan when their entries name the same
    // sinks fed by the same peers, in the same order.
    static bool sameChain(const QUORVIN::Find::StatusSort& a, const QUORVIN::Find::StatusSort& b);

private:
    using Candidates = std::map<TIVRA::IPAddress, std::pair<QUORVIN::Find::TargetConnectInfo, QUORVIN::Find::StatusSort>>;
    bool active(const AliveNodeSt& node) const;
    void teardown(const TIVRA::IPAddress& address);
    // Builds one node; false when its stream could not be opened (the
    // candidates after it wait for the next scan).
    bool build(const TIVRA::IPAddress& address, const QUORVIN::Find::TargetConnectInfo& sink,
               const QUORVIN::Find::StatusSort& chain);
    void removeCard(int memNo);
};
