// Volume through a chain over a real link: target B's sink is fed by target
// A's, both emulated on one link in a namespace of their own; the host finds
// them, builds A's chain and sets the volume through it.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "NetNamespaces.h"
#include "control/Control.h"
#include "discovery/Find.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace QUORVIN;
using TIVRA::IPAddress;
using testnet::NetNamespaces;

namespace {

int16_t volumeOf(const testbed::TargetEmulator& target)
{
    for (const auto& item : target.state(0).controls) {
        if (item.type == testbed::ControlItem::VOLUME) {
            return static_cast<int16_t>(static_cast<uint16_t>(item.value));
        }
    }
    ADD_FAILURE() << "no volume item";
    return 1;
}

TEST(ChainOnALink, VolumeGoesToTheTailAndZeroDecibelToTheRest)
{
    NetNamespaces net;
    ASSERT_TRUE(net.ok()) << net.error();
    ASSERT_TRUE(net.addTargetAddress(1));
    testbed::TargetConfig configA = testbed::TargetConfig::withSinks(1);
    configA.name = "Target A";
    configA.address = net.targetAddress(0);
    configA.discovery.port = TARGET_PORT;
    configA.sinks[0].controls[1].value = static_cast<uint16_t>(-500);  // not 0 dB before
    testbed::TargetConfig configB = testbed::TargetConfig::withSinks(1);
    configB.name = "Target B";
    configB.address = net.targetAddress(1);
    configB.discovery.port = TARGET_PORT;
    testbed::StatusEntry fed;
    fed.state = 0;
    fed.sink = 0;
    fed.peer = net.targetAddress(0);
    fed.peerSink = 1;
    fed.peerName = "Target A";
    configB.discovery.status = std::vector<testbed::StatusEntry>{fed};
    testbed::TargetEmulator a;
    testbed::TargetEmulator b;
    ASSERT_TRUE(net.inTarget([&] { return a.start(configA) && b.start(configB); }));

    Find::Setting setting;
    setting.acceptId = 0;
    setting.hostName = "bridge";
    Find find(setting);
    Control control(Control::Setting{"bridge", ~uint64_t{0}});
    ASSERT_TRUE(net.inHost([&] { return find.open(std::list<std::string>{NetNamespaces::kHostLink}) && control.open(); }));

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
    Find::StatusSort chain;
    Find::SortStatus(sinkA, sinks.at(sinkA).sinkNumber, true, statuses, chain);
    ASSERT_EQ(chain.size(), 2U);

    ASSERT_TRUE(control.connect(chain));
    ASSERT_TRUE(control.setVolume(-1234));
    EXPECT_EQ(volumeOf(b), -1234);
    EXPECT_EQ(volumeOf(a), 0);
    short volume = 0;
    ASSERT_TRUE(control.getVolume(volume));
    EXPECT_EQ(volume, -1234);
    EXPECT_EQ(a.state(0).controlName, "bridge");
    EXPECT_EQ(b.state(0).controlName, "bridge");
}

}  // namespace
