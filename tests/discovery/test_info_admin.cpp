// The administration questions of one target against the target emulator on
// ::1: information texts in parts, firmware texts, reboot, and the lookup of
// one sink without a search.
#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "FreshNetwork.h"
#include "NetNamespaces.h"
#include "discovery/Find.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace QUORVIN;
using TIVRA::IPAddress;
using testbed::Behaviour;

namespace {

Behaviour mode(Behaviour::Mode m, uint32_t nth = 0)
{
    Behaviour b;
    b.mode = m;
    b.nth = nth;
    return b;
}

Find::Setting anyTarget()
{
    Find::Setting setting;
    setting.acceptId = 0;
    setting.useLoopback = true;
    return setting;
}

// One target on an ephemeral discovery port, and a host opened beside it.
class AdminInfoTarget : public ::testing::Test {
protected:
    void SetUp() override
    {
        testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
        config.discovery.port = 0;
        config.discovery.info.firmwareVersion = "2.4.1";
        config.discovery.info.firmwareUrl = "http://fw.example/den";
        config.discovery.info.texts[7] = {"first", "second", "third"};
        config.discovery.info.texts[8] = {std::string("a\0b\xff", 4), "more"};
        config.discovery.info.texts[9] = {"alone", "never asked"};
        config.discovery.info.announcedParts[9] = 1;
        adjust(config);
        ASSERT_TRUE(target.start(config));
        to = *target.discoveryAddress();
        ASSERT_TRUE(find.open());
    }
    virtual void adjust(testbed::TargetConfig&) {}

    std::vector<testbed::Request> asked(MessageID message) const
    {
        std::vector<testbed::Request> out;
        for (const auto& r : target.discoveryRequests()) {
            if (r.message == message) {
                out.push_back(r);
            }
        }
        return out;
    }

    testbed::TargetEmulator target;
    Find find{anyTarget()};
    IPAddress to;
};

TEST_F(AdminInfoTarget, FirmwareTextsAreThePayloads)
{
    std::string text = "stale";
    ASSERT_TRUE(find.FwVersion(to, text));
    EXPECT_EQ(text, "2.4.1");
    ASSERT_TRUE(find.FwURL(to, text));
    EXPECT_EQ(text, "http://fw.example/den");
    const auto version = asked(FWVERSION_REQ);
    ASSERT_EQ(version.size(), 1U);
    EXPECT_EQ(version[0].option, 0U);
    EXPECT_TRUE(version[0].payload.empty());
}

// Whatever keeps the answer from counting, the text is false and empty.
TEST_F(AdminInfoTarget, FirmwareTextsFailEmptyWithoutAnAnswer)
{
    for (const Behaviour::Mode m : {Behaviour::SILENT, Behaviour::REFUSE, Behaviour::ECHO, Behaviour::OTHER_PORT}) {
        SCOPED_TRACE(testing::Message() << "mode " << int(m));
        target.setDiscoveryBehaviour(FWVERSION_REQ, mode(m));
        target.setDiscoveryBehaviour(FWURL_REQ, mode(m));
        std::string text = "stale";
        EXPECT_FALSE(find.FwVersion(to, text));
        EXPECT_EQ(text, "");
        text = "stale";
        EXPECT_FALSE(find.FwURL(to, text));
        EXPECT_EQ(text, "");
    }
}

TEST_F(AdminInfoTarget, ThreePartsAreAskedOneByOne)
{
    std::vector<std::string> parts{"stale"};
    unsigned short announced = 0;
    ASSERT_TRUE(find.Infomation(to, 7, parts, announced));
    EXPECT_EQ(parts, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(announced, 3);
    const auto requests = asked(INFOMATION_REQ);
    ASSERT_EQ(requests.size(), 3U);
    for (uint16_t p = 0; p < 3; ++p) {
        EXPECT_EQ(requests[p].option0, 7);
        EXPECT_EQ(requests[p].option1, p);
        EXPECT_EQ(requests[p].option2, 0);
        EXPECT_EQ(requests[p].option3, 0);
    }
}

// A later part that does not come ends the read with what was gathered; the
// announced count shows that it is cut.
TEST_F(AdminInfoTarget, ALaterPartNotAnsweredGivesThePartsGathered)
{
    struct Case {
        Behaviour behaviour;
        size_t parts;
    };
    // Behaviour::nth counts every INFOMATION_REQ the target took.
    for (const Case& c : {Case{mode(Behaviour::SILENT, 2), 1}, Case{mode(Behaviour::REFUSE, 2), 1},
                          Case{mode(Behaviour::ECHO, 2), 1}, Case{mode(Behaviour::SILENT, 3), 2}}) {
        SCOPED_TRACE(testing::Message() << "mode " << int(c.behaviour.mode) << " nth " << c.behaviour.nth);
        const auto before = static_cast<uint32_t>(asked(INFOMATION_REQ).size());
        Behaviour b = c.behaviour;
        b.nth += before;
        target.setDiscoveryBehaviour(INFOMATION_REQ, b);
        std::vector<std::string> parts;
        unsigned short announced = 0;
        ASSERT_TRUE(find.Infomation(to, 7, parts, announced));
        ASSERT_EQ(parts.size(), c.parts);
        EXPECT_EQ(parts[0], "first");
        EXPECT_EQ(announced, 3);
        EXPECT_EQ(asked(INFOMATION_REQ).size(), before + c.parts + 1);  // nothing after the part that failed

        b.nth += static_cast<uint32_t>(c.parts + 1);
        target.setDiscoveryBehaviour(INFOMATION_REQ, b);
        std::vector<std::string> plain;
        ASSERT_TRUE(find.Infomation(to, 7, plain));
        EXPECT_EQ(plain, parts);
    }
}

TEST_F(AdminInfoTarget, AFirstPartNotAnsweredFails)
{
    for (const Behaviour::Mode m : {Behaviour::SILENT, Behaviour::REFUSE, Behaviour::ECHO}) {
        target.setDiscoveryBehaviour(INFOMATION_REQ, mode(m));
        std::vector<std::string> parts{"stale"};
        unsigned short announced = 9;
        EXPECT_FALSE(find.Infomation(to, 7, parts, announced));
        EXPECT_TRUE(parts.empty());
        EXPECT_EQ(announced, 0);
        std::string text = "stale";
        EXPECT_FALSE(find.Infomation(to, 7, text));
        EXPECT_EQ(text, "");
        TIVRA::Buffer bytes{1, 2};
        EXPECT_FALSE(find.Infomation(to, 7, bytes));
        EXPECT_TRUE(bytes.empty());
    }
    target.clearDiscoveryBehaviours();
    std::vector<std::string> parts;
    EXPECT_FALSE(find.Infomation(to, 42, parts));  // an index the target has not: refused
}

TEST_F(AdminInfoTarget, SingleAndByteFormsGiveOnlyTheFirstPart)
{
    std::string text;
    ASSERT_TRUE(find.Infomation(to, 7, text));
    EXPECT_EQ(text, "first");
    TIVRA::Buffer bytes;
    ASSERT_TRUE(find.Infomation(to, 8, bytes));
    EXPECT_EQ(bytes, (TIVRA::Buffer{'a', 0, 'b', 0xff}));
    EXPECT_EQ(asked(INFOMATION_REQ).size(), 2U);
}

// The first answer's count alone decides how many parts are asked.
TEST_F(AdminInfoTarget, ThePartCountComesFromTheFirstAnswer)
{
    std::vector<std::string> parts;
    unsigned short announced = 0;
    ASSERT_TRUE(find.Infomation(to, 9, parts, announced));
    EXPECT_EQ(parts, std::vector<std::string>{"alone"});
    EXPECT_EQ(announced, 1);
    EXPECT_EQ(asked(INFOMATION_REQ).size(), 1U);
}

// A target that announces 65535 parts and has two ends the read at the
// first part it refuses.
TEST_F(AdminInfoTarget, AFullPartCountEndsAtTheFirstMissingPart)
{
    testbed::DiscoveryConfig d = target.discoveryConfig();
    d.info.announcedParts[7] = 0xFFFF;
    d.info.texts[7].resize(2);
    target.setDiscoveryConfig(d);
    std::vector<std::string> parts;
    unsigned short announced = 0;
    ASSERT_TRUE(find.Infomation(to, 7, parts, announced));
    EXPECT_EQ(parts, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(announced, 0xFFFF);
    EXPECT_EQ(asked(INFOMATION_REQ).size(), 3U);
}

TEST_F(AdminInfoTarget, RebootSendsTheValueOnlyWhenEnabled)
{
    struct Case {
        bool enable;
        unsigned short value;
        std::optional<uint16_t> answered;  // the target's option 0; unset: the value it got
        Behaviour behaviour;
        bool result;
        uint16_t sent;
    };
    const Case cases[] = {
        {true, 5, std::nullopt, {}, true, 5},
        {false, 7, std::nullopt, {}, true, 0},
        {true, 5, uint16_t{4}, {}, false, 5},
        {false, 7, uint16_t{7}, {}, false, 0},
        {true, 5, std::nullopt, mode(Behaviour::REFUSE), false, 5},
        {true, 5, std::nullopt, mode(Behaviour::SILENT), false, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.enable << " " << c.value << " mode " << int(c.behaviour.mode));
        testbed::DiscoveryConfig d = target.discoveryConfig();
        d.info.rebootAnswer = c.answered;
        d.behaviours[REBOOT_REQ] = c.behaviour;
        target.setDiscoveryConfig(d);
        target.clearDiscoveryRequests();
        const size_t before = target.discoveryState().reboots.size();
        EXPECT_EQ(find.Reboot(to, c.enable, c.value), c.result);
        const auto requests = asked(REBOOT_REQ);
        ASSERT_EQ(requests.size(), 1U);
        EXPECT_EQ(requests[0].option0, c.sent);
        EXPECT_EQ(requests[0].option1 | requests[0].option2 | requests[0].option3, 0);
        const auto reboots = target.discoveryState().reboots;
        if (c.behaviour.mode == Behaviour::ANSWER) {
            ASSERT_EQ(reboots.size(), before + 1);
            EXPECT_EQ(reboots.back(), c.sent);
        } else {
            EXPECT_EQ(reboots.size(), before);
        }
    }
}

// ---- the sink lookup asks the fixed discovery port, so each case has a
// network of its own.

void inFreshNetwork(const std::function<void()>& body)
{
    std::thread([&] {
        ASSERT_TRUE(testnet::enterFreshNetwork());
        body();
    }).join();
}

testbed::TargetConfig lookupTarget()
{
    testbed::TargetConfig config = testbed::TargetConfig::withSinks(3);
    config.name = "Den";
    config.discovery.port = TARGET_PORT;
    config.discovery.description = "ctl=[myaddress]:80 [myaddress]";
    config.sinks[1].version = 1;
    config.sinks[1].nodeInfo[0] = 11;
    config.sinks[1].nodeInfo[3] = 44;
    return config;
}

IPAddress loopback(uint16_t port = 0, uint32_t scope = 0)
{
    IPAddress a;
    a.addr[15] = 1;
    a.setPort(port);
    a.ifindex = scope;
    return a;
}

// What the lookup must leave alone, and what it must not find there.
Find::TargetConnectInfo untouched()
{
    Find::TargetConnectInfo info;
    info.productId = 77;
    info.spare = 5;
    info.sinkNumber = 99;
    info.protocolVersion = 98;
    info.targetName = "old name";
    info.description = "old description";
    info.target = loopback(1234, 7);
    info.sinkName = "old sink";
    info.multiport = true;
    info.nodeInfo = {1, 2, 3, 4};
    return info;
}

void expectUntouched(const Find::TargetConnectInfo& info)
{
    const Find::TargetConnectInfo o = untouched();
    EXPECT_EQ(info.productId, o.productId);
    EXPECT_EQ(info.spare, o.spare);
    EXPECT_EQ(info.sinkNumber, o.sinkNumber);
    EXPECT_EQ(info.protocolVersion, o.protocolVersion);
    EXPECT_EQ(info.targetName, o.targetName);
    EXPECT_EQ(info.description, o.description);
    EXPECT_EQ(info.target, o.target);
    EXPECT_EQ(info.sinkName, o.sinkName);
    EXPECT_TRUE(info.multiport);
    EXPECT_EQ(info.nodeInfo.option0, 1);
}

TEST(AdminOutputLookup, FindsTheSinkWithItsPortAndScope)
{
    inFreshNetwork([] {
        testbed::TargetEmulator target;
        ASSERT_TRUE(target.start(lookupTarget()));
        Find find(anyTarget());
        ASSERT_TRUE(find.open());
        IPAddress sink = loopback(1, 3);
        Find::TargetConnectInfo info = untouched();
        // The port and scope given are not the ones asked.
        ASSERT_TRUE(find.getOutput(loopback(999, 5), 2, sink, info));
        EXPECT_EQ(sink, target.sinkAddress(1));
        EXPECT_EQ(sink.ifindex, 0U);
        EXPECT_EQ(info.spare, 0);
        EXPECT_EQ(info.sinkNumber, 2);
        EXPECT_EQ(info.protocolVersion, 1);
        EXPECT_EQ(info.target, loopback(TARGET_PORT));
        EXPECT_EQ(info.targetName, "Den");
        EXPECT_EQ(info.description, "ctl=[::1]:80 [myaddress]");
        EXPECT_EQ(info.nodeInfo.option0, 11);
        EXPECT_EQ(info.nodeInfo.option3, 44);
        // Not the lookup's to write.
        EXPECT_EQ(info.productId, 77U);
        EXPECT_EQ(info.sinkName, "old sink");
        EXPECT_TRUE(info.multiport);
        std::vector<testbed::Request> ports;
        for (const auto& r : target.discoveryRequests()) {
            if (r.message == PORT_REQ) {
                ports.push_back(r);
            }
        }
        ASSERT_EQ(ports.size(), 1U);
        EXPECT_EQ(ports[0].option0, 2);
        EXPECT_EQ(ports[0].option1, 0);
        EXPECT_EQ(ports[0].option2, 1);
        EXPECT_EQ(ports[0].option3, 1);
    });
}

TEST(AdminOutputLookup, AnUnknownSinkGivesTrueAndNothing)
{
    inFreshNetwork([] {
        testbed::TargetEmulator target;
        ASSERT_TRUE(target.start(lookupTarget()));
        Find find(anyTarget());
        ASSERT_TRUE(find.open());
        IPAddress sink = loopback(1, 3);
        Find::TargetConnectInfo info = untouched();
        ASSERT_TRUE(find.getOutput(loopback(), 4, sink, info));
        EXPECT_EQ(sink, IPAddress{});
        expectUntouched(info);
        // A silent target is no different.
        target.setDiscoveryBehaviour(PORT_REQ, mode(Behaviour::SILENT));
        ASSERT_TRUE(find.getOutput(loopback(), 2, sink, info));
        EXPECT_EQ(sink, IPAddress{});
        expectUntouched(info);
    });
}

// A name or description that does not come leaves its field; the sink is
// found all the same.
TEST(AdminOutputLookup, NameAndDescriptionNotAnsweredStayUnwritten)
{
    inFreshNetwork([] {
        testbed::TargetEmulator target;
        ASSERT_TRUE(target.start(lookupTarget()));
        target.setDiscoveryBehaviour(FIND_REQ, mode(Behaviour::SILENT));
        target.setDiscoveryBehaviour(SINKOUT_REQ, mode(Behaviour::REFUSE));
        Find find(anyTarget());
        ASSERT_TRUE(find.open());
        IPAddress sink;
        Find::TargetConnectInfo info = untouched();
        ASSERT_TRUE(find.getOutput(loopback(), 3, sink, info));
        EXPECT_EQ(sink, target.sinkAddress(2));
        EXPECT_EQ(info.sinkNumber, 3);
        EXPECT_EQ(info.targetName, "old name");
        EXPECT_EQ(info.description, "old description");
    });
}

// ::1 is asked over the loopback only, and another target never over it.
TEST(AdminOutputLookup, LoopbackIsForTheLoopbackTargetOnly)
{
    inFreshNetwork([] {
        testbed::TargetEmulator target;
        ASSERT_TRUE(target.start(lookupTarget()));
        IPAddress other;
        other.addr[0] = 0xfe;
        other.addr[1] = 0x80;
        other.addr[15] = 0x10;
        other.ifindex = 1;
        Find find(anyTarget());
        ASSERT_TRUE(find.open(std::list<IPAddress>{other, loopback(0, 1)}));
        IPAddress sink;
        Find::TargetConnectInfo info;
        ASSERT_TRUE(find.getOutput(loopback(), 1, sink, info));
        EXPECT_EQ(sink, target.sinkAddress(0));
        target.clearDiscoveryRequests();
        // A sink it has not would be asked over every interface that may ask.
        ASSERT_TRUE(find.getOutput(loopback(), 4, sink, info));
        EXPECT_EQ(sink, IPAddress{});
        size_t ports = 0;
        for (const auto& r : target.discoveryRequests()) {
            ports += r.message == PORT_REQ ? 1 : 0;
        }
        EXPECT_EQ(ports, 1U);
    });
}

// Over a real link: the first interface of the list does not reach the
// target, the second does, and the sink comes with the second one's scope.
TEST(AdminOutputOnALink, AsksEachInterfaceUntilOneReachesTheSink)
{
    testnet::NetNamespaces net;
    ASSERT_TRUE(net.ok()) << net.error();
    testbed::TargetConfig config = testbed::TargetConfig::withSinks(2);
    config.address = net.targetAddress(0);
    config.discovery.port = TARGET_PORT;
    config.discovery.description = "ctl=[myaddress]:80";
    testbed::TargetEmulator target;
    ASSERT_TRUE(net.inTarget([&] { return target.start(config); }));
    Find find(anyTarget());
    IPAddress elsewhere = testnet::tools::linkLocal(0x10, 1);  // on the loopback: no way to the target
    ASSERT_TRUE(net.inHost([&] { return find.open(std::list<IPAddress>{elsewhere, net.hostAddress()}); }));
    IPAddress asked = net.targetAddress(0);
    asked.ifindex = 0;
    IPAddress sink;
    Find::TargetConnectInfo info;
    ASSERT_TRUE(net.inHost([&] { return find.getOutput(asked, 2, sink, info); }));
    IPAddress expected = net.targetAddressFromHost(0);
    expected.setPort(target.sinkAddress(1).getPort());
    EXPECT_EQ(sink, expected);
    EXPECT_EQ(sink.ifindex, net.linkIndex(testnet::NetNamespaces::Host));
    IPAddress discovery = net.targetAddressFromHost(0);
    discovery.setPort(TARGET_PORT);
    EXPECT_EQ(info.target, discovery);
    EXPECT_EQ(info.sinkNumber, 2);
    EXPECT_EQ(info.description, "ctl=[fe80::2]:80");
}

}  // namespace
