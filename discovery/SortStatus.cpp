// Sink chains: which status entries hang on one sink, each after its feeder.
#include <algorithm>
#include <compare>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <queue>
#include <set>
#include <vector>

#include "discovery/Find.h"
#include "foundation/SysLog.h"

namespace QUORVIN {

namespace {

constexpr size_t CHAIN_MAX = 256;
constexpr uint8_t LOOPBACK[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

// Two words at a time: these run once or twice per entry of a status map
// that a target may fill with 65535 entries.
bool sameBytes(const uint8_t* a, const uint8_t* b)
{
    uint64_t x[2];
    uint64_t y[2];
    std::memcpy(x, a, 16);
    std::memcpy(y, b, 16);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
}

bool isLoopback(const uint8_t* addr)
{
    return sameBytes(addr, LOOPBACK);
}

// A sink as a feeder names it: its 16 address bytes and its sink number.
// Ordered only to group the entries by feeder.
struct Feeder {
    uint64_t address[2];
    uint16_t number;
    auto operator<=>(const Feeder&) const = default;
};

Feeder identity(const TIVRA::IPAddress& address, uint16_t number)
{
    Feeder f{};
    std::memcpy(f.address, address.addr, 16);
    f.number = number;
    return f;
}

Feeder feederOf(const Find::TargetStatusInfo& e)
{
    return identity(e.peer, e.peer.getPort());
}

Find::StatusSortSt element(const TIVRA::IPAddress& key, const Find::TargetStatusInfo& e, bool head)
{
    Find::StatusSortSt s;
    s.productId = e.productId;
    s.sinkNumber = e.sinkNumber;
    s.protocolVersion = e.protocolVersion;
    s.targetName = e.targetName;
    s.state = e.state;
    s.peer = e.peer;
    s.peerName = e.peerName;
    s.sinkAddress = key;
    s.tail = true;
    s.head = head;
    return s;
}

}  // namespace

Find::StatusSort::const_iterator Find::StatusSort::find(TIVRA::IPAddress address) const
{
    for (auto it = begin(); it != end(); ++it) {
        if (it->sinkAddress == address) {
            return it;
        }
    }
    return end();
}

void Find::SortStatus(TIVRA::IPAddress sinkAddress, unsigned short sinkNumber, bool local,
                      const std::map<TIVRA::IPAddress, TargetStatusInfo>& statuses, StatusSort& chain)
{
    chain.clear();
    // The chain is what whole passes over the map in key order build, until
    // a pass adds nothing: each entry is inserted at its first turn that
    // finds its feeder in the chain. Walking every entry in every pass costs
    // the map's size per element added (seconds, for entries that feed one
    // another against the key order), so the passes are replayed instead:
    // the entries wait by feeder, and once an element with that address and
    // number is added, those still ahead of the turn under way take their
    // turns in this pass and the others in the next.
    struct Waiting {
        Feeder feeder;
        size_t position;  // in key order
        const std::pair<const TIVRA::IPAddress, TargetStatusInfo>* entry;
        bool operator<(const Waiting& o) const
        {
            return feeder != o.feeder ? feeder < o.feeder : position < o.position;
        }
    };
    std::vector<Waiting> waiting;
    const uint16_t rootState = local ? 1 : 2;
    const bool sinkLoopback = isLoopback(sinkAddress.addr);
    size_t position = 0;
    for (const auto& entry : statuses) {
        const auto& [key, e] = entry;
        ++position;
        if (e.state == rootState && isLoopback(e.peer.addr) && e.peer.getPort() == sinkNumber
            && sameBytes(key.addr, sinkAddress.addr) && key.ifindex == sinkAddress.ifindex) {
            if (chain.size() >= CHAIN_MAX) {
                TIVRA::SYSLOG_WARNING << "SortStatus chain cut at " << CHAIN_MAX;
                return;
            }
            chain.push_back(element(key, e, true));
            continue;
        }
        if (e.state != 0 || isLoopback(e.peer.addr)) {
            continue;
        }
        if (!(sinkLoopback || isLoopback(key.addr) || key.ifindex == sinkAddress.ifindex)) {
            continue;
        }
        waiting.push_back({feederOf(e), position, &entry});
    }
    if (chain.empty()) {
        return;
    }
    std::sort(waiting.begin(), waiting.end());

    // A pass's turns still to come, as runs of `waiting` of one feeder each,
    // the run with the lowest next position on top.
    struct Run {
        size_t first;
        size_t last;
    };
    struct Later {
        const std::vector<Waiting>* waiting;
        bool operator()(const Run& a, const Run& b) const
        {
            return (*waiting)[a.first].position > (*waiting)[b.first].position;
        }
    };
    using Turns = std::priority_queue<Run, std::vector<Run>, Later>;
    Turns thisPass(Later{&waiting});
    Turns nextPass(Later{&waiting});
    std::set<Feeder> present;
    // `turn`: the position whose turn it is, 0 before the first pass.
    auto added = [&](const Feeder& feeder, size_t turn) {
        if (!present.insert(feeder).second) {
            return;
        }
        auto lower = std::lower_bound(waiting.begin(), waiting.end(), Waiting{feeder, 0, nullptr});
        auto split = std::lower_bound(waiting.begin(), waiting.end(), Waiting{feeder, turn + 1, nullptr});
        auto upper = std::lower_bound(waiting.begin(), waiting.end(), Waiting{feeder, SIZE_MAX, nullptr});
        const auto at = [&waiting](auto it) { return static_cast<size_t>(it - waiting.begin()); };
        if (lower != split) {
            nextPass.push({at(lower), at(split)});
        }
        if (split != upper) {
            thisPass.push({at(split), at(upper)});
        }
    };
    for (const StatusSortSt& root : chain) {
        added(identity(root.sinkAddress, root.sinkNumber), 0);
    }
    for (;;) {
        if (thisPass.empty()) {
            if (nextPass.empty()) {
                return;
            }
            std::swap(thisPass, nextPass);
        }
        Run run = thisPass.top();
        thisPass.pop();
        const Waiting& w = waiting[run.first];
        if (++run.first != run.last) {
            thisPass.push(run);
        }
        const auto& [key, e] = *w.entry;
        const uint16_t feederNumber = e.peer.getPort();
        // Only the elements present when this entry's turn began: an entry
        // that feeds itself then cannot keep matching its own copies.
        const size_t elements = chain.size();
        auto it = chain.begin();
        for (size_t i = 0; i < elements; ++i) {
            auto next = std::next(it);
            if (sameBytes(it->sinkAddress.addr, e.peer.addr) && it->sinkNumber == feederNumber) {
                if (chain.size() >= CHAIN_MAX) {
                    TIVRA::SYSLOG_WARNING << "SortStatus chain cut at " << CHAIN_MAX;
                    return;
                }
                it->tail = false;
                chain.insert(next, element(key, e, false));
            }
            it = next;
        }
        added(identity(key, e.sinkNumber), w.position);
    }
}

}  // namespace QUORVIN
