// The target search, the sink and status maps and the chains over a real
// link: the host in one network namespace, emulated targets on two
// link-local addresses in another.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <list>
#include <vector>
#include <map>
#include <memory>
#include <string>

#include "LogCapture.h"
#include "NetNamespaces.h"
#include "discovery/Find.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace QUORVIN;
using TIVRA::IPAddress;
using testnet::NetNamespaces;

namespace {

const Find::MODE kScanMode = static_cast<Find::MODE>(Find::MODE_PORT1 | Find::MODE_OPTION0);

IPAddress withPort(IPAddress a, uint16_t port)
{
    a.setPort(port);
    return a;
}

IPAddress loopbackAddress()
{
    IPAddress a;
    a.addr[15] = 1;
    return a;
}

class SearchOnALink : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(net.ok()) << net.error(); }

    // Target n on fe80::(2 + n) with `sinks` sinks, started in the target namespace.
    std::unique_ptr<testbed::TargetEmulator> startTarget(unsigned n, size_t sinks, const std::string& name,
                                                         uint64_t product)
    {
        if (n > 0 && !net.addTargetAddress(n)) {
            ADD_FAILURE() << "address " << n;
            return nullptr;
        }
        testbed::TargetConfig config = testbed::TargetConfig::withSinks(sinks);
        config.name = name;
        config.address = net.targetAddress(n);
        config.discovery.port = TARGET_PORT;
        config.discovery.productId = product;
        return start(config);
    }
    std::unique_ptr<testbed::TargetEmulator> start(const testbed::TargetConfig& config)
    {
        auto target = std::make_unique<testbed::TargetEmulator>();
        const bool started = net.inTarget([&] { return target->start(config); });
        EXPECT_TRUE(started) << config.name;
        return started ? std::move(target) : nullptr;
    }
    // The host's view of a target sink: its address as the answers arrive, with the sink's port.
    IPAddress sinkFromHost(unsigned n, const testbed::TargetEmulator& target, size_t sink) const
    {
        return withPort(net.targetAddressFromHost(n), target.sinkAddress(sink).getPort());
    }

    // A Find opened on the host end by name, in the host namespace.
    std::unique_ptr<Find> openHost()
    {
        Find::Setting setting;
        setting.acceptId = 0;
        setting.hostName = "living-room bridge";
        auto find = std::make_unique<Find>(setting);
        const bool opened = net.inHost([&] { return find->open(std::list<std::string>{NetNamespaces::kHostLink}); });
        EXPECT_TRUE(opened);
        return opened ? std::move(find) : nullptr;
    }

    NetNamespaces net;
};

TEST_F(SearchOnALink, MulticastSearchOnANamedInterfaceFindsAnnouncesAndListsSinks)
{
    testlog::start(6);
    auto target = startTarget(0, 2, "Target A", 0x42);
    ASSERT_TRUE(target);
    auto find = openHost();
    ASSERT_TRUE(find);
    std::string host;
    net.hostAddress().get_V6_str(host);
    EXPECT_EQ(testlog::count("much interface " + std::string(NetNamespaces::kHostLink) + " " + host
                             + " ifno:" + std::to_string(net.linkIndex(NetNamespaces::Host))),
              1U);
    const auto list = find->getIfList();
    ASSERT_EQ(list.size(), 1U);
    EXPECT_EQ(list.front().ifindex, net.linkIndex(NetNamespaces::Host));

    std::map<IPAddress, Find::FindTargetSt> targets;
    ASSERT_TRUE(find->findTarget(targets));
    const IPAddress discovery = withPort(net.targetAddressFromHost(0), TARGET_PORT);
    ASSERT_EQ(targets.size(), 1U);
    EXPECT_EQ(targets.begin()->first, discovery);
    EXPECT_EQ(targets.begin()->second.productId, 0x42U);
    EXPECT_EQ(targets.begin()->second.targetName, "Target A");
    // Three rounds, each multicast on the link.
    size_t multicast = 0;
    for (const auto& r : target->discoveryRequests()) {
        multicast += r.message == FIND_REQ && r.multicast ? 1 : 0;
    }
    EXPECT_EQ(multicast, 3U);
    EXPECT_EQ(target->discoveryState().hostName, "living-room bridge");

    std::map<IPAddress, Find::TargetConnectInfo> sinks;
    ASSERT_TRUE(find->findTarget(targets, sinks, kScanMode));
    ASSERT_EQ(sinks.size(), 2U);
    const auto& first = sinks.at(sinkFromHost(0, *target, 0));
    EXPECT_EQ(first.sinkNumber, 1);
    EXPECT_EQ(first.target, discovery);
    EXPECT_TRUE(first.multiport);
    EXPECT_EQ(sinks.at(sinkFromHost(0, *target, 1)).sinkNumber, 2);
}

TEST_F(SearchOnALink, UnknownInterfaceNameFailsAndKeepsTheSocket)
{
    testlog::start(3);
    auto target = startTarget(0, 1, "Target A", 1);
    ASSERT_TRUE(target);
    auto find = openHost();
    ASSERT_TRUE(find);
    const bool opened = net.inHost(
        [&] { return find->open(std::list<std::string>{NetNamespaces::kHostLink, "", "qnowhere0"}); });
    EXPECT_FALSE(opened);
    EXPECT_EQ(testlog::count("not much interface qnowhere0"), 1U);
    // The earlier open stands: the search still runs on the named link.
    std::map<IPAddress, Find::FindTargetSt> targets;
    ASSERT_TRUE(find->findTarget(targets));
    EXPECT_EQ(targets.size(), 1U);
}

// The other opening forms: by interface index, by address, and on every
// link-local interface; each searches the same link here.
TEST_F(SearchOnALink, OpenByIndexByAddressAndOnEveryInterface)
{
    auto target = startTarget(0, 1, "Target A", 1);
    ASSERT_TRUE(target);
    Find::Setting setting;
    setting.acceptId = 0;
    Find find(setting);
    const uint32_t index = net.linkIndex(NetNamespaces::Host);
    IPAddress unspecified;
    unspecified.ifindex = index;  // the scope of :: is not looked at
    const std::vector<std::function<bool()>> forms = {
        [&] { return find.open(static_cast<unsigned short>(index)); },
        [&] { return find.open(net.hostAddress()); },
        [&] { return find.open(unspecified); },
        [&] { return find.open(); },
    };
    for (size_t i = 0; i < forms.size(); ++i) {
        SCOPED_TRACE(i);
        std::list<IPAddress> list;
        ASSERT_TRUE(net.inHost([&] {
            if (!forms[i]()) {
                return false;
            }
            list = find.getIfList();
            return true;
        }));
        ASSERT_EQ(list.size(), 1U);
        EXPECT_EQ(std::memcmp(list.front().addr, net.hostAddress().addr, 16), 0);
        EXPECT_EQ(list.front().ifindex, index);
        std::map<IPAddress, Find::FindTargetSt> targets;
        ASSERT_TRUE(net.inHost([&] { return find.findTarget(targets); }));
        EXPECT_EQ(targets.size(), 1U);
    }
    // No address carries an unknown index: refused, the socket kept.
    EXPECT_FALSE(net.inHost([&] { return find.open(static_cast<unsigned short>(index + 100)); }));
}

// Two targets on one link: B's sink is fed by A's, so A's chain runs on to B.
TEST_F(SearchOnALink, TwoTargetsWithAChainAcrossThem)
{
    auto a = startTarget(0, 1, "Target A", 1);
    ASSERT_TRUE(a);
    ASSERT_TRUE(net.addTargetAddress(1));
    testbed::TargetConfig configB = testbed::TargetConfig::withSinks(1);
    configB.name = "Target B";
    configB.address = net.targetAddress(1);
    configB.discovery.port = TARGET_PORT;
    configB.discovery.status =
        std::vector<testbed::StatusEntry>{testbed::StatusEntry::fedBy(net.targetAddress(0), 1, "Target A")};
    auto b = start(configB);
    ASSERT_TRUE(b);
    auto find = openHost();
    ASSERT_TRUE(find);

    std::map<IPAddress, Find::FindTargetSt> targets;
    ASSERT_TRUE(find->findTarget(targets));
    ASSERT_EQ(targets.size(), 2U);
    std::map<IPAddress, Find::TargetConnectInfo> sinks;
    ASSERT_TRUE(find->findTarget(targets, sinks, kScanMode));
    ASSERT_EQ(sinks.size(), 2U);
    std::map<IPAddress, Find::TargetStatusInfo> statuses;
    ASSERT_TRUE(find->findTarget(targets, statuses));
    ASSERT_EQ(statuses.size(), 2U);

    const IPAddress sinkA = sinkFromHost(0, *a, 0);
    const IPAddress sinkB = sinkFromHost(1, *b, 0);
    EXPECT_FALSE(sinks.at(sinkA).multiport);  // one sink per target
    const auto& entryB = statuses.at(sinkB);
    EXPECT_EQ(entryB.state, 0);
    EXPECT_EQ(entryB.peerName, "Target A");
    EXPECT_EQ(std::memcmp(entryB.peer.addr, net.targetAddress(0).addr, 16), 0);
    EXPECT_EQ(entryB.peer.getPort(), 1);
    EXPECT_EQ(std::memcmp(statuses.at(sinkA).peer.addr, loopbackAddress().addr, 16), 0);

    Find::StatusSort chain;
    Find::SortStatus(sinkA, sinks.at(sinkA).sinkNumber, true, statuses, chain);
    ASSERT_EQ(chain.size(), 2U);
    EXPECT_EQ(chain.front().sinkAddress, sinkA);
    EXPECT_TRUE(chain.front().head);
    EXPECT_FALSE(chain.front().tail);
    EXPECT_EQ(chain.back().sinkAddress, sinkB);
    EXPECT_FALSE(chain.back().head);
    EXPECT_TRUE(chain.back().tail);
    // B's own sink is fed by A, not by this host: no chain of its own.
    Find::StatusSort ofB;
    Find::SortStatus(sinkB, sinks.at(sinkB).sinkNumber, true, statuses, ofB);
    EXPECT_TRUE(ofB.empty());
}

// The host's link goes down after the search: the queries find nobody, but
// the scan does not fail; the search afterwards finds nothing and, once the
// link is back, the target again.
TEST_F(SearchOnALink, LinkDownBetweenSearchAndAnnouncementIsNoAnswer)
{
    auto target = startTarget(0, 1, "Target A", 1);
    ASSERT_TRUE(target);
    auto find = openHost();
    ASSERT_TRUE(find);
    std::map<IPAddress, Find::FindTargetSt> targets;
    ASSERT_TRUE(find->findTarget(targets));
    ASSERT_EQ(targets.size(), 1U);

    ASSERT_TRUE(net.linkDown());
    std::map<IPAddress, Find::TargetConnectInfo> sinks;
    EXPECT_TRUE(find->findTarget(targets, sinks, kScanMode));
    EXPECT_TRUE(sinks.empty());
    std::map<IPAddress, Find::TargetStatusInfo> statuses;
    EXPECT_TRUE(find->findTarget(targets, statuses));
    EXPECT_TRUE(statuses.empty());
    EXPECT_TRUE(find->NotisName(targets.begin()->first));
    std::map<IPAddress, Find::FindTargetSt> none;
    EXPECT_TRUE(find->findTarget(none));
    EXPECT_TRUE(none.empty());

    ASSERT_TRUE(net.linkUp());
    std::map<IPAddress, Find::FindTargetSt> again;
    ASSERT_TRUE(find->findTarget(again));
    EXPECT_EQ(again.size(), 1U);
    ASSERT_TRUE(find->findTarget(again, sinks, kScanMode));
    EXPECT_EQ(sinks.size(), 1U);
}

}  // namespace
