// Sink chains built from a status map: roots, followers in depth-first order,
// head and tail marks, the link rule, and the ends of self-feeding entries
// and over-long chains.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "discovery/Find.h"

using QUORVIN::Find;
using TIVRA::IPAddress;

namespace {

IPAddress addr(uint8_t last, uint16_t port, uint32_t ifindex)
{
    IPAddress a;
    a.addr[0] = 0xfe;
    a.addr[1] = 0x80;
    a.addr[15] = last;
    a.setPort(port);
    a.ifindex = ifindex;
    return a;
}

IPAddress loopbackPeer(uint16_t sinkNumber)
{
    IPAddress a;
    a.addr[15] = 1;
    a.setPort(sinkNumber);
    return a;
}

// A peer on the link: a target's address and the number of its feeding sink.
IPAddress peer(uint8_t last, uint16_t sinkNumber)
{
    IPAddress a = addr(last, sinkNumber, 0);
    return a;
}

Find::TargetStatusInfo entry(uint16_t number, uint16_t state, IPAddress feeder)
{
    Find::TargetStatusInfo e;
    e.sinkNumber = number;
    e.state = state;
    e.peer = feeder;
    e.peerName = "n" + std::to_string(number);
    return e;
}

// "port:H/T" per element, H for head, T for tail.
std::string render(const Find::StatusSort& chain)
{
    std::string out;
    for (const Find::StatusSortSt& s : chain) {
        out += (out.empty() ? "" : " ") + std::to_string(s.sinkAddress.getPort()) + ":" + (s.head ? "H" : "") +
               (s.tail ? "T" : "");
    }
    return out;
}

struct ChainCase {
    const char* name;
    std::vector<std::pair<IPAddress, Find::TargetStatusInfo>> statuses;
    bool local;
    const char* chain;
};

// Target A is fe80::10 on interface 3 (its sink 1 on port 5001); target B
// is fe80::20 on the same link; sink numbers equal port - 5000.
const IPAddress kSink = addr(0x10, 5001, 3);

std::vector<ChainCase> cases()
{
    return {
        {"no root", {{addr(0x20, 6001, 3), entry(1, 0, peer(0x10, 1))}}, true, ""},
        {"root only", {{addr(0x10, 5001, 3), entry(1, 1, loopbackPeer(1))}}, true, "5001:HT"},
        {"root of another sink number", {{addr(0x10, 5002, 3), entry(2, 1, loopbackPeer(2))}}, true, ""},
        {"remote selects state 2", {{addr(0x10, 5001, 3), entry(1, 2, loopbackPeer(1))}}, false, "5001:HT"},
        {"state 2 is no local root", {{addr(0x10, 5001, 3), entry(1, 2, loopbackPeer(1))}}, true, ""},
        // B's sink 2 (6002) is fed by B's sink 1 (6001), which A's sink 1 feeds;
        // 6002 comes first in key order, so it waits for the second pass.
        {"follower before its feeder in key order",
         {{addr(0x10, 5001, 3), entry(1, 1, loopbackPeer(1))},
          {addr(0x20, 6001, 3), entry(1, 0, peer(0x10, 1))},
          {addr(0x20, 5999, 3), entry(2, 0, peer(0x20, 1))}},
         true,
         "5001:H 6001: 5999:T"},
        {"two followers of one feeder stand in descending key order",
         {{addr(0x10, 5001, 3), entry(1, 1, loopbackPeer(1))},
          {addr(0x20, 6001, 3), entry(1, 0, peer(0x10, 1))},
          {addr(0x20, 6002, 3), entry(2, 0, peer(0x10, 1))}},
         true,
         "5001:H 6002:T 6001:T"},
        {"follower on another interface",
         {{addr(0x10, 5001, 3), entry(1, 1, loopbackPeer(1))}, {addr(0x20, 6001, 4), entry(1, 0, peer(0x10, 1))}},
         true,
         "5001:HT"},
        {"::1 follower counts as on the link",
         {{addr(0x10, 5001, 3), entry(1, 1, loopbackPeer(1))},
          {[] {
               IPAddress a = loopbackPeer(0);
               a.setPort(7001);
               a.ifindex = 9;
               return a;
           }(),
           entry(1, 0, peer(0x10, 1))}},
         true,
         "5001:H 7001:T"},
        // 6005 names B's sink 1 as its feeder and carries that number itself:
        // its own copy matches its feeder rule, yet it is inserted only once.
        {"self-feeder is inserted once",
         {{addr(0x10, 5001, 3), entry(1, 1, loopbackPeer(1))},
          {addr(0x20, 6001, 3), entry(1, 0, peer(0x10, 1))},
          {addr(0x20, 6005, 3), entry(1, 0, peer(0x20, 1))}},
         true,
         "5001:H 6001: 6005:T"},
        // Two roots with the same sink number on the chain's address: the
        // follower of that feeder stands after each of them.
        {"duplicate feeder",
         {{addr(0x10, 5001, 3), entry(1, 1, loopbackPeer(1))},
          {addr(0x10, 5101, 3), entry(1, 1, loopbackPeer(1))},
          {addr(0x20, 6001, 3), entry(1, 0, peer(0x10, 1))}},
         true,
         "5001:H 6001:T 5101:H 6001:T"},
        {"a follower naming ::1 is no follower",
         {{addr(0x10, 5001, 3), entry(1, 1, loopbackPeer(1))}, {addr(0x20, 6001, 3), entry(1, 0, loopbackPeer(1))}},
         true,
         "5001:HT"},
    };
}

}  // namespace

TEST(SortStatus, Chains)
{
    for (const ChainCase& c : cases()) {
        std::map<IPAddress, Find::TargetStatusInfo> statuses(c.statuses.begin(), c.statuses.end());
        Find::StatusSort chain;
        chain.push_back({});  // emptied first
        Find::SortStatus(kSink, 1, c.local, statuses, chain);
        EXPECT_EQ(render(chain), c.chain) << c.name;
    }
}

TEST(SortStatus, ElementsCarryTheirEntryAndKey)
{
    std::map<IPAddress, Find::TargetStatusInfo> statuses;
    Find::TargetStatusInfo root = entry(1, 1, loopbackPeer(1));
    root.productId = 77;
    root.targetName = "front";
    root.protocolVersion = 1;
    statuses[kSink] = root;
    Find::StatusSort chain;
    Find::SortStatus(kSink, 1, true, statuses, chain);
    ASSERT_EQ(chain.size(), 1U);
    const Find::StatusSortSt& s = chain.front();
    EXPECT_EQ(s.productId, 77U);
    EXPECT_EQ(s.targetName, "front");
    EXPECT_EQ(s.peerName, "n1");
    EXPECT_EQ(s.sinkAddress, kSink);
    EXPECT_EQ(chain.find(kSink), chain.begin());
    IPAddress otherScope = kSink;
    otherScope.ifindex = 4;
    EXPECT_EQ(chain.find(otherScope), chain.end());
}

TEST(SortStatus, ChainsAreCappedAt256WithALogLine)
{
    testlog::start(6);
    // 300 roots of one sink on distinct ports.
    std::map<IPAddress, Find::TargetStatusInfo> statuses;
    for (uint16_t i = 0; i < 300; ++i) {
        statuses[addr(0x10, static_cast<uint16_t>(5001 + i), 3)] = entry(1, 1, loopbackPeer(1));
    }
    Find::StatusSort chain;
    Find::SortStatus(kSink, 1, true, statuses, chain);
    EXPECT_EQ(chain.size(), 256U);
    EXPECT_EQ(testlog::count("SortStatus chain cut at 256"), 1U);
}

// Downstream insertions stop at the cap too: the root, then the first 255
// followers in key order (which stand in descending order), nothing after.
TEST(SortStatus, FollowersAreCappedAt256WithALogLine)
{
    testlog::start(6);
    std::map<IPAddress, Find::TargetStatusInfo> statuses;
    statuses[kSink] = entry(1, 1, loopbackPeer(1));
    for (uint16_t i = 0; i < 300; ++i) {
        statuses[addr(0x20, static_cast<uint16_t>(6001 + i), 3)] =
            entry(static_cast<uint16_t>(1 + i), 0, peer(0x10, 1));
    }
    Find::StatusSort chain;
    Find::SortStatus(kSink, 1, true, statuses, chain);
    ASSERT_EQ(chain.size(), 256U);
    EXPECT_EQ(render(chain).substr(0, 22), "5001:H 6255:T 6254:T 6");
    EXPECT_EQ(chain.back().sinkAddress.getPort(), 6001);
    EXPECT_EQ(testlog::count("SortStatus chain cut at 256"), 1U);
}

// The chains as whole passes over the map in key order build them, until a
// pass adds nothing: the plain form of the rules, kept to hold the chains
// built in the field to it.
void referenceChain(IPAddress sinkAddress, uint16_t sinkNumber, bool local,
                    const std::map<IPAddress, Find::TargetStatusInfo>& statuses, Find::StatusSort& chain)
{
    auto loop = [](const uint8_t* a) {
        static const uint8_t one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        return std::memcmp(a, one, 16) == 0;
    };
    auto make = [](const IPAddress& key, const Find::TargetStatusInfo& e, bool head) {
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
    };
    chain.clear();
    for (const auto& [key, e] : statuses) {
        if (e.state == (local ? 1 : 2) && loop(e.peer.addr) && e.peer.getPort() == sinkNumber
            && std::memcmp(key.addr, sinkAddress.addr, 16) == 0 && key.ifindex == sinkAddress.ifindex) {
            if (chain.size() >= 256) {
                return;
            }
            chain.push_back(make(key, e, true));
        }
    }
    for (bool added = !chain.empty(); added;) {
        added = false;
        for (const auto& [key, e] : statuses) {
            if (e.state != 0 || loop(e.peer.addr) || chain.find(key) != chain.end()) {
                continue;
            }
            if (!(loop(sinkAddress.addr) || loop(key.addr) || key.ifindex == sinkAddress.ifindex)) {
                continue;
            }
            const size_t present = chain.size();
            auto it = chain.begin();
            for (size_t i = 0; i < present; ++i) {
                auto next = std::next(it);
                if (std::memcmp(it->sinkAddress.addr, e.peer.addr, 16) == 0 && it->sinkNumber == e.peer.getPort()) {
                    if (chain.size() >= 256) {
                        return;
                    }
                    it->tail = false;
                    chain.insert(next, make(key, e, false));
                    added = true;
                }
                it = next;
            }
        }
    }
}

// Everything a consumer reads of each element, in chain order.
std::vector<std::string> describe(const Find::StatusSort& chain)
{
    std::vector<std::string> out;
    for (const Find::StatusSortSt& s : chain) {
        std::string key;
        s.sinkAddress.get_str(key);
        out.push_back(key + "%" + std::to_string(s.sinkAddress.ifindex) + "#" + std::to_string(s.sinkNumber) + "/"
                      + std::to_string(s.state) + "/" + s.peerName + (s.head ? "H" : "") + (s.tail ? "T" : ""));
    }
    return out;
}

// The first element where two chains differ, or their common length.
size_t firstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b)
{
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) {
        ++i;
    }
    return i;
}

// Random maps over a few addresses, ports, numbers and interfaces, so that
// entries feed one another against the key order, feed themselves, stand
// after several copies of their feeder and reach the cap.
TEST(SortStatus, ChainsAreThoseOfWholePassesInKeyOrder)
{
    std::mt19937 random(20240611);
    const uint8_t lasts[] = {0x10, 0x20, 0x30, 0x01};
    size_t cut = 0;
    size_t deep = 0;
    for (int round = 0; round < 3000; ++round) {
        const bool large = round % 10 == 0;
        const int entries = static_cast<int>(random() % (large ? 600 : 40));
        const uint16_t ports = large ? 400 : 12;
        const uint16_t numbers = large ? 3 : 5;
        std::map<IPAddress, Find::TargetStatusInfo> statuses;
        for (int i = 0; i < entries; ++i) {
            IPAddress key =
                addr(lasts[random() % 4], static_cast<uint16_t>(5000 + random() % ports), random() % 5 == 0 ? 4 : 3);
            if (key.addr[15] == 0x01) {
                key.addr[0] = 0;
                key.addr[1] = 0;
            }
            const auto number = static_cast<uint16_t>(1 + random() % numbers);
            const uint16_t state = random() % 4 == 0 ? static_cast<uint16_t>(1 + random() % 2) : 0;
            IPAddress feeder = random() % 6 == 0
                                   ? loopbackPeer(static_cast<uint16_t>(1 + random() % 2))
                                   : peer(lasts[random() % 3], static_cast<uint16_t>(1 + random() % numbers));
            Find::TargetStatusInfo e = entry(number, state, feeder);
            e.peerName += "@" + std::to_string(i);
            statuses[key] = e;
        }
        const IPAddress sink = round % 7 == 0 ? loopbackPeer(5001) : addr(lasts[random() % 3], 5001, 3);
        const auto number = static_cast<uint16_t>(1 + random() % 2);
        const bool local = random() % 4 != 0;
        Find::StatusSort expected;
        Find::StatusSort got;
        referenceChain(sink, number, local, statuses, expected);
        got.push_back({});
        Find::SortStatus(sink, number, local, statuses, got);
        const auto want = describe(expected);
        const auto have = describe(got);
        const size_t at = firstDifference(have, want);
        ASSERT_TRUE(have == want) << "round " << round << ": " << have.size() << " elements for " << want.size()
                                  << ", first difference at " << at << ": " << (at < have.size() ? have[at] : "(end)")
                                  << " for " << (at < want.size() ? want[at] : "(end)");
        cut += expected.size() == 256 ? 1 : 0;
        deep += expected.size() > 8 ? 1 : 0;
    }
    // The inputs reached what they are meant to reach.
    EXPECT_GT(cut, 10U);
    EXPECT_GT(deep, 100U);
}

TEST(StatusSort, EqualityComparesOnlyTheCount)
{
    Find::StatusSort a;
    Find::StatusSort b;
    a.push_back({});
    b.push_back({});
    b.back().sinkNumber = 9;
    EXPECT_TRUE(a == b);
    b.push_back({});
    EXPECT_FALSE(a == b);
}
