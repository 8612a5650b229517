// A chain across two targets over a real link: target B's sink is fed by
// target A's, both emulated at the well-known port on fe80::2 and fe80::3
// in the target namespace; the host finds them from its own and sorts A's
// chain. Namespaces and targets go with the object.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "NetNamespaces.h"
#include "control/Control.h"
#include "discovery/Find.h"
#include "testbed/emulator/TargetEmulator.h"

namespace linkchain {

// The value of the target's sink 0 volume item (1, with a failure, if none).
inline int16_t volumeOf(const testbed::TargetEmulator& target)
{
    for (const auto& item : target.state(0).controls) {
        if (item.type == testbed::ControlItem::VOLUME) {
            return static_cast<int16_t>(static_cast<uint16_t>(item.value));
        }
    }
    ADD_FAILURE() << "no volume item";
    return 1;
}

struct LinkChain {
    // The namespaces with B's address, and both targets' configurations,
    // which a test may change before start().
    void configure()
    {
        ASSERT_TRUE(net.ok()) << net.error();
        ASSERT_TRUE(net.addTargetAddress(1));
        configA = testbed::TargetConfig::withSinks(1);
        configA.name = "Target A";
        configA.address = net.targetAddress(0);
        configA.discovery.port = QUORVIN::TARGET_PORT;
        configB = testbed::TargetConfig::withSinks(1);
        configB.name = "Target B";
        configB.address = net.targetAddress(1);
        configB.discovery.port = QUORVIN::TARGET_PORT;
        configB.discovery.status =
            std::vector<testbed::StatusEntry>{testbed::StatusEntry::fedBy(net.targetAddress(0), 1, "Target A")};
    }
    void start()
    {
        ASSERT_TRUE(net.inTarget([&] { return a.start(configA) && b.start(configB); }));
    }
    // The host's discovery and control channel opened on its link.
    void openHost(QUORVIN::Find& find, QUORVIN::Control& control)
    {
        ASSERT_TRUE(net.inHost(
            [&] { return find.open(std::list<std::string>{testnet::NetNamespaces::kHostLink}) && control.open(); }));
    }
    // Both targets found, their sinks and status entries read, and the chain
    // of A's sink (two long) sorted into `chain`.
    void findChain(QUORVIN::Find& find, QUORVIN::Find::StatusSort& chain)
    {
        using QUORVIN::Find;
        using TIVRA::IPAddress;
        std::map<IPAddress, Find::FindTargetSt> targets;
        ASSERT_TRUE(find.findTarget(targets));
        ASSERT_EQ(targets.size(), 2U);
        std::map<IPAddress, Find::TargetConnectInfo> sinks;
        ASSERT_TRUE(find.findTarget(targets, sinks, static_cast<Find::MODE>(Find::MODE_PORT1 | Find::MODE_OPTION0)));
        std::map<IPAddress, Find::TargetStatusInfo> statuses;
        ASSERT_TRUE(find.findTarget(targets, statuses));
        IPAddress sinkA = net.targetAddressFromHost(0);
        sinkA.setPort(a.sinkAddress(0).getPort());
        ASSERT_EQ(sinks.count(sinkA), 1U);
        Find::SortStatus(sinkA, sinks.at(sinkA).sinkNumber, true, statuses, chain);
        ASSERT_EQ(chain.size(), 2U);
    }

    testnet::NetNamespaces net;
    testbed::TargetConfig configA;
    testbed::TargetConfig configB;
    testbed::TargetEmulator a;
    testbed::TargetEmulator b;
};

}  // namespace linkchain
