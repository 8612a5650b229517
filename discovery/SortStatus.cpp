// Sink chains: which status entries hang on one sink, each after its feeder.
#include <cstring>
#include <iterator>

#include "discovery/Find.h"
#include "foundation/SysLog.h"

namespace QUORVIN {

namespace {

constexpr size_t CHAIN_MAX = 256;
constexpr uint8_t LOOPBACK[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

bool isLoopback(const uint8_t* addr)
{
    return std::memcmp(addr, LOOPBACK, 16) == 0;
}

bool sameBytes(const uint8_t* a, const uint8_t* b)
{
    return std::memcmp(a, b, 16) == 0;
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
    const uint16_t rootState = local ? 1 : 2;
    for (const auto& [key, e] : statuses) {
        if (e.state == rootState && isLoopback(e.peer.addr) && e.peer.getPort() == sinkNumber &&
            sameBytes(key.addr, sinkAddress.addr) && key.ifindex == sinkAddress.ifindex) {
            if (chain.size() >= CHAIN_MAX) {
                TIVRA::SYSLOG_WARNING << "SortStatus chain cut at " << CHAIN_MAX;
                return;
            }
            chain.push_back(element(key, e, true));
        }
    }
    if (chain.empty()) {
        return;
    }
    const bool sinkLoopback = isLoopback(sinkAddress.addr);
    bool added = true;
    while (added) {
        added = false;
        for (const auto& [key, e] : statuses) {
            if (e.state != 0 || isLoopback(e.peer.addr)) {
                continue;
            }
            if (!(sinkLoopback || isLoopback(key.addr) || key.ifindex == sinkAddress.ifindex)) {
                continue;
            }
            if (chain.find(key) != chain.end()) {
                continue;
            }
            const uint16_t feederNumber = e.peer.getPort();
            // Only the elements present when this entry's turn began: an entry
            // that feeds itself then cannot keep matching its own copies.
            const size_t present = chain.size();
            auto it = chain.begin();
            for (size_t i = 0; i < present; ++i) {
                auto next = std::next(it);
                if (sameBytes(it->sinkAddress.addr, e.peer.addr) && it->sinkNumber == feederNumber) {
                    if (chain.size() >= CHAIN_MAX) {
                        TIVRA::SYSLOG_WARNING << "SortStatus chain cut at " << CHAIN_MAX;
                        return;
                    }
                    it->tail = false;
                    chain.insert(next, element(key, e, false));
                    added = true;
                }
                it = next;
            }
        }
    }
}

}  // namespace QUORVIN
