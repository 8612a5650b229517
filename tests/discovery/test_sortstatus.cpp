// Sink chains built from a status map: roots, followers in depth-first order,
// head and tail marks, the link rule, and the ends of self-feeding entries
// and over-long chains.
#include <gtest/gtest.h>

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
