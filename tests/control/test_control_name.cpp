// The host's name over a real link (veth, so the long datagrams go as
// fragments), for the chain of target A's sink into target B's: up to the
// limit the targets and both sinks learn the whole name, A names it back
// in its status answer, the chain is built and the volume reaches its tail.
// Past the limit the control channel sends no name and does not connect.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "NetNamespaces.h"
#include "control/Control.h"
#include "discovery/Find.h"
#include "protocol/Message.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace QUORVIN;
using testnet::NetNamespaces;
using TIVRA::IPAddress;

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

std::string nameOf(size_t length)
{
    std::string name(length, ' ');
    for (size_t i = 0; i < length; ++i) {
        name[i] = static_cast<char>('A' + i % 26);
    }
    return name;
}

TEST(ControlName, UpToTheLimitTheChainIsBuiltAndTheVolumeReachesItsTail)
{
    struct Case {
        size_t length;
        bool carried;
    };
    for (const Case c : {Case{2000, true}, Case{MAX_HOST_NAME, true}, Case{MAX_HOST_NAME + 1, false}}) {
        SCOPED_TRACE(c.length);
        NetNamespaces net;
        ASSERT_TRUE(net.ok()) << net.error();
        ASSERT_TRUE(net.addTargetAddress(1));
        testbed::TargetConfig configA = testbed::TargetConfig::withSinks(1);
        configA.name = "Target A";
        configA.address = net.targetAddress(0);
        configA.discovery.port = TARGET_PORT;
        configA.discovery.hostPeerName = true;
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

        const std::string name = nameOf(c.length);
        Find::Setting setting;
        setting.acceptId = 0;
        setting.hostName = name;
        Find find(setting);
        Control control(Control::Setting{name, ~uint64_t{0}});
        ASSERT_TRUE(
            net.inHost([&] { return find.open(std::list<std::string>{NetNamespaces::kHostLink}) && control.open(); }));

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
        // A's answer named the host as A learned it: whole, or not at all.
        EXPECT_TRUE(chain.front().peerName == (c.carried ? name : std::string())) << chain.front().peerName.size();

        if (!c.carried) {
            EXPECT_FALSE(control.connect(chain));
            EXPECT_FALSE(a.state(0).haveControlName);
            EXPECT_FALSE(b.state(0).haveControlName);
            continue;
        }
        ASSERT_TRUE(control.connect(chain));
        ASSERT_TRUE(control.setVolume(-1234));
        EXPECT_EQ(volumeOf(b), -1234);
        EXPECT_EQ(volumeOf(a), 0);
        EXPECT_TRUE(a.discoveryState().hostName == name);
        EXPECT_TRUE(b.discoveryState().hostName == name);
        EXPECT_TRUE(a.state(0).controlName == name);
        EXPECT_TRUE(b.state(0).controlName == name);
    }
}

}  // namespace
