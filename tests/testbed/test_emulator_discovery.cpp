// The emulator's discovery port and its sinks' control channel over real
// UDP: every query form answered as a target answers it, every misbehaviour
// visible to a raw host socket, and the multicast search inside network
// namespaces of the test's own.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "HostSocket.h"
#include "NetNamespaces.h"
#include "WaitFor.h"
#include "protocol/Identifiers.h"
#include "protocol/Message.h"
#include "testbed/emulator/ControlHandlers.h"
#include "testbed/emulator/TargetEmulator.h"

namespace {

using namespace std::chrono_literals;
using testbed::Behaviour;
using testbed::Request;
using testbed::TargetConfig;
using testbed::TargetEmulator;
using testbed_test::Datagram;
using testbed_test::HostSocket;

constexpr uint64_t kProductId = 0x0123456789ABCDEFULL;

QUORVIN::SendBuffer message(QUORVIN::MessageID id, uint16_t o0, uint16_t o1, uint16_t o2, uint16_t o3,
                            QUORVIN::StatusID status = 0)
{
    QUORVIN::SendBuffer m;
    m.set(id, status, o0, o1, o2, o3);
    m.update();
    return m;
}

QUORVIN::SendBuffer textMessage(QUORVIN::MessageID id, QUORVIN::StatusID status, uint64_t option,
                                const std::string& text)
{
    QUORVIN::SendBuffer m;
    m.set(id, status, option);
    m.set_str(text);
    m.update();
    return m;
}

std::string text(const Datagram& d)
{
    std::string t;
    d.bytes.get_str(t);
    return t;
}

// A target on ::1 with an ephemeral discovery port, so that tests run side by side.
class Discovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok());
        config = TargetConfig::withSinks(2);
        config.name = "Living Room";
        config.discovery.port = 0;
        config.discovery.productId = kProductId;
        config.discovery.description = "ctl=[myaddress]:80";
        config.sinks[1].version = 7;
        configure();
        ASSERT_TRUE(emulator.start(config));
        ASSERT_TRUE(emulator.discoveryAddress());
        target = *emulator.discoveryAddress();
    }
    virtual void configure() {}

    // Everything that came back for what was sent so far: the discovery port
    // answers in arrival order, so the answer to a FIND_REQ sent now comes last.
    std::vector<Datagram> answers()
    {
        std::vector<Datagram> got;
        if (!host.send(target, message(QUORVIN::FIND_REQ, 0, 0, 0, 0))) {
            return got;
        }
        while (auto d = host.receive()) {
            if (d->bytes && d->bytes.getMessage() == QUORVIN::FIND_ANS && d->bytes.getOption() == kProductId
                && d->from == target) {
                fenced = true;
                return got;
            }
            got.push_back(std::move(*d));
        }
        return got;
    }
    // The one answer to what was sent so far.
    Datagram only()
    {
        std::vector<Datagram> got = answers();
        EXPECT_TRUE(fenced);
        EXPECT_EQ(got.size(), 1u);
        return got.empty() ? Datagram{} : got.front();
    }

    HostSocket host;
    TargetConfig config;
    TargetEmulator emulator;
    TIVRA::IPAddress target;
    bool fenced = false;
};

TEST_F(Discovery, FindIsAnsweredWithTheProductIdAndTheTargetName)
{
    EXPECT_EQ(target.addr[15], 1);
    EXPECT_NE(target.getPort(), 0);
    const auto answer = host.exchange(target, message(QUORVIN::FIND_REQ, 0, 0, 0, 0));
    ASSERT_TRUE(answer);
    ASSERT_TRUE(answer->bytes);
    EXPECT_EQ(answer->from, target);
    EXPECT_EQ(answer->bytes.getMessage(), QUORVIN::FIND_ANS);
    EXPECT_EQ(answer->bytes.getStatus(), QUORVIN::STATUS_OK);
    EXPECT_EQ(answer->bytes.getOption(), kProductId);
    EXPECT_EQ(text(*answer), "Living Room");

    ASSERT_TRUE(emulator.waitForDiscoveryRequests(QUORVIN::FIND_REQ, 1, 2s));
    const std::vector<Request> seen = emulator.discoveryRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].channel, Request::Channel::DISCOVERY);
    EXPECT_FALSE(seen[0].multicast);
    EXPECT_EQ(seen[0].destination.addr[15], 1);
    EXPECT_EQ(seen[0].source.getPort(), host.local().getPort());
}

TEST_F(Discovery, NameAnnouncementIsKeptAndAnswered)
{
    const Datagram a = [&] {
        host.send(target, textMessage(QUORVIN::NOTISNAME_REQ, QUORVIN::STATUS_OK, 0xFFFFFFFFFFFFFFFFULL, "VUVO VAZA"));
        return only();
    }();
    ASSERT_TRUE(a.bytes);
    EXPECT_EQ(a.bytes.getMessage(), QUORVIN::NOTISNAME_ANS);
    EXPECT_EQ(a.bytes.getStatus(), QUORVIN::STATUS_OK);
    const testbed::DiscoveryState state = emulator.discoveryState();
    EXPECT_TRUE(state.haveHostName);
    EXPECT_EQ(state.hostName, "VUVO VAZA");
    EXPECT_EQ(state.hostId, 0xFFFFFFFFFFFFFFFFULL);
}

TEST_F(Discovery, ProbeAndDescriptionAreAnswered)
{
    host.send(target, message(QUORVIN::PROBE_REQ, 0, 0, 0, 0));
    const Datagram probe = only();
    ASSERT_TRUE(probe.bytes);
    EXPECT_EQ(probe.bytes.getMessage(), QUORVIN::SUPPORT_ANS);
    EXPECT_EQ(probe.bytes.getStatus(), QUORVIN::STATUS_OK);
    EXPECT_EQ(probe.bytes.getOption(), config.sinks[0].summary());

    host.send(target, message(QUORVIN::SINKOUT_REQ, 0, 0, 0, 0));
    const Datagram out = only();
    ASSERT_TRUE(out.bytes);
    EXPECT_EQ(out.bytes.getMessage(), QUORVIN::SINKOUT_ANS);
    EXPECT_EQ(out.bytes.getStatus(), QUORVIN::STATUS_OK);
    EXPECT_EQ(text(out), "ctl=[myaddress]:80");
}

TEST_F(Discovery, PortCountsCarryTheBitmapsOfTheSinkNumbers)
{
    host.send(target, message(QUORVIN::PORT_REQ, 0, 0, 0, 1));
    const Datagram a = only();
    ASSERT_TRUE(a.bytes);
    EXPECT_EQ(a.bytes.getMessage(), QUORVIN::PORT_ANS);
    EXPECT_EQ(a.bytes.getStatus(), QUORVIN::STATUS_OK);
    EXPECT_EQ(a.bytes.getOption0(), 2);
    EXPECT_EQ(a.bytes.getOption1(), 2);
    EXPECT_EQ(a.bytes.getOption2(), 0);
    ASSERT_EQ(a.bytes.size_data(), 1024u);
    const uint8_t* bits = a.bytes.get_data();
    for (size_t half : {size_t{0}, size_t{512}}) {
        EXPECT_EQ(bits[half], 0x06) << half;  // sinks 1 and 2
        for (size_t i = 1; i < 512; ++i) {
            ASSERT_EQ(bits[half + i], 0) << half + i;
        }
    }
}

TEST_F(Discovery, PortSinkFormNamesThePortVersionAndName)
{
    struct Case {
        const char* name;
        uint16_t o0;
        uint16_t o1;
        uint16_t port;
        uint16_t version;
        std::string sinkName;
    };
    const uint16_t port0 = emulator.sinkAddress(0).getPort();
    const uint16_t port1 = emulator.sinkAddress(1).getPort();
    const Case cases[] = {
        {"number in option 0", 1, 0, port0, 1, "Output 0"},
        {"number in option 1", 0, 2, port1, 7, "Output 1"},
        {"a number without a sink", 3, 0, 0, 1, ""},
    };
    for (const Case& c : cases) {
        host.send(target, message(QUORVIN::PORT_REQ, c.o0, c.o1, 1, 1));
        const Datagram a = only();
        ASSERT_TRUE(a.bytes) << c.name;
        EXPECT_EQ(a.bytes.getMessage(), QUORVIN::PORT_ANS) << c.name;
        EXPECT_EQ(a.bytes.getStatus(), QUORVIN::STATUS_OK) << c.name;
        EXPECT_EQ(a.bytes.getOption0(), c.o0) << c.name;
        EXPECT_EQ(a.bytes.getOption1(), c.o1) << c.name;
        EXPECT_EQ(a.bytes.getOption2(), c.port) << c.name;
        EXPECT_EQ(a.bytes.getOption3(), c.version) << c.name;
        EXPECT_EQ(text(a), c.sinkName) << c.name;
    }
}

TEST_F(Discovery, StatusEntriesNameTheHostAsFeederByDefault)
{
    host.send(target, message(QUORVIN::STATUS_REQ, 0, 0, 0, 1));
    const Datagram count = only();
    ASSERT_TRUE(count.bytes);
    EXPECT_EQ(count.bytes.getMessage(), QUORVIN::STATUS_ANS);
    EXPECT_EQ(count.bytes.getStatus(), QUORVIN::STATUS_OK);
    EXPECT_EQ(count.bytes.getOption0(), 2);

    for (uint16_t n : {1, 2}) {
        host.send(target, message(QUORVIN::STATUS_REQ, n, 0, 0, 1));
        const Datagram e = only();
        ASSERT_TRUE(e.bytes);
        EXPECT_EQ(e.bytes.getStatus(), QUORVIN::STATUS_OK);
        EXPECT_EQ(e.bytes.getOption1(), 1);  // fed by this host
        EXPECT_EQ(e.bytes.getOption2(), emulator.sinkAddress(n - 1).getPort());
        EXPECT_EQ(e.bytes.getOption3(), n == 2 ? 7 : 1);
        TIVRA::IPAddress peer;
        std::string name = "unset";
        e.bytes.get_add_str(peer, name);
        EXPECT_EQ(e.bytes.size_data(), 18u);
        EXPECT_EQ(peer.addr[15], 1);
        EXPECT_EQ(peer.getPort(), n);  // the peer's sink number, network order
        EXPECT_EQ(name, "");
    }
    // Past the entries: refused, so the host skips it.
    host.send(target, message(QUORVIN::STATUS_REQ, 3, 0, 0, 1));
    const Datagram past = only();
    ASSERT_TRUE(past.bytes);
    EXPECT_EQ(past.bytes.getMessage(), QUORVIN::STATUS_ANS);
    EXPECT_EQ(past.bytes.getStatus(), 0);
}

// Counts and entries that do not follow the sink list.
class ConfiguredTables : public Discovery {
protected:
    void configure() override
    {
        testbed::DiscoveryConfig& d = config.discovery;
        d.sinkCount = 65535;
        d.sinkCount1 = 4;
        d.countKind = 2;
        d.bitmapBytes = 1000;
        d.ports[1] = testbed::PortEntry{.sink = 1, .port = 0, .version = 3, .name = "Renamed"};
        d.ports[2] = testbed::PortEntry{.sink = 1, .port = 0, .version = std::nullopt, .name = std::nullopt};
        d.ports[5] = testbed::PortEntry{.sink = std::nullopt, .port = 0, .version = std::nullopt, .name = "Gone"};
        d.ports[9] = testbed::PortEntry{.sink = std::nullopt, .port = 4321, .version = 2, .name = "Elsewhere"};
        peer.addr[0] = 0xFE;
        peer.addr[1] = 0x80;
        peer.addr[15] = 0x33;
        d.statusCount = 65535;
        d.status = std::vector<testbed::StatusEntry>{
            {.state = 0,
             .sink = 0,
             .port = 0,
             .version = std::nullopt,
             .peer = peer,
             .peerSink = 2,
             .peerName = "Kitchen",
             .payloadBytes = std::nullopt},
            {.state = 2,
             .sink = std::nullopt,
             .port = 999,
             .version = 5,
             .peer = peer,
             .peerSink = 1,
             .peerName = "Kitchen",
             .payloadBytes = 10},
        };
    }
    TIVRA::IPAddress peer;
};

TEST_F(ConfiguredTables, CountsBitmapsAndTheSecondAsk)
{
    host.send(target, message(QUORVIN::PORT_REQ, 0, 0, 0, 1));
    const Datagram first = only();
    ASSERT_TRUE(first.bytes);
    EXPECT_EQ(first.bytes.getOption0(), 65535);
    EXPECT_EQ(first.bytes.getOption1(), 4);
    EXPECT_EQ(first.bytes.getOption2(), 2);  // counted in kind 2: the host asks again
    ASSERT_EQ(first.bytes.size_data(), 1000u);
    for (size_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(first.bytes.get_data()[i], 0) << i;
    }

    host.send(target, message(QUORVIN::PORT_REQ, 0, 0, 1, 1));
    const Datagram second = only();
    ASSERT_TRUE(second.bytes);
    EXPECT_EQ(second.bytes.getOption2(), 1);  // the kind it was asked for
    EXPECT_EQ(second.bytes.getOption0(), 65535);
}

TEST_F(ConfiguredTables, SinkNumbersFollowThePortTable)
{
    struct Case {
        uint16_t number;
        uint16_t port;
        uint16_t version;
        std::string name;
    };
    const uint16_t port1 = emulator.sinkAddress(1).getPort();
    const Case cases[] = {
        {1, port1, 3, "Renamed"},
        {2, port1, 7, "Output 1"},  // two numbers, one port
        {5, 0, 1, "Gone"},
        {9, 4321, 2, "Elsewhere"},  // no port; a port no sink has
        {3, 0, 1, ""},
        {65535, 0, 1, ""},
    };
    for (const Case& c : cases) {
        host.send(target, message(QUORVIN::PORT_REQ, c.number, 0, 1, 1));
        const Datagram a = only();
        ASSERT_TRUE(a.bytes) << c.number;
        EXPECT_EQ(a.bytes.getStatus(), QUORVIN::STATUS_OK) << c.number;
        EXPECT_EQ(a.bytes.getOption2(), c.port) << c.number;
        EXPECT_EQ(a.bytes.getOption3(), c.version) << c.number;
        EXPECT_EQ(text(a), c.name) << c.number;
    }
}

TEST_F(ConfiguredTables, StatusEntriesNameOtherFeedersAndCanBeCut)
{
    host.send(target, message(QUORVIN::STATUS_REQ, 0, 0, 0, 1));
    const Datagram count = only();
    ASSERT_TRUE(count.bytes);
    EXPECT_EQ(count.bytes.getOption0(), 65535);

    host.send(target, message(QUORVIN::STATUS_REQ, 1, 0, 0, 1));
    const Datagram fed = only();
    ASSERT_TRUE(fed.bytes);
    EXPECT_EQ(fed.bytes.getOption1(), 0);
    EXPECT_EQ(fed.bytes.getOption2(), emulator.sinkAddress(0).getPort());
    ASSERT_EQ(fed.bytes.size_data(), 18u + 7u);
    const uint8_t* p = fed.bytes.get_data();
    EXPECT_EQ(std::memcmp(p, peer.addr, 16), 0);
    EXPECT_EQ(p[16], 0);  // sink number 2 in network order
    EXPECT_EQ(p[17], 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p) + 18, 7), "Kitchen");

    host.send(target, message(QUORVIN::STATUS_REQ, 2, 0, 0, 1));
    const Datagram cut = only();
    ASSERT_TRUE(cut.bytes);
    EXPECT_EQ(cut.bytes.getOption1(), 2);
    EXPECT_EQ(cut.bytes.getOption2(), 999);
    EXPECT_EQ(cut.bytes.getOption3(), 5);
    ASSERT_EQ(cut.bytes.size_data(), 10u);
    EXPECT_EQ(std::memcmp(cut.bytes.get_data(), peer.addr, 10), 0);

    // The count says 65535, but nothing stands behind entry 3.
    host.send(target, message(QUORVIN::STATUS_REQ, 65535, 0, 0, 1));
    const Datagram none = only();
    ASSERT_TRUE(none.bytes);
    EXPECT_EQ(none.bytes.getStatus(), 0);
}

TEST(DiscoveryPort, OffWhenUnsetAndFixedByDefault)
{
    TargetConfig config = TargetConfig::withSinks(1);
    EXPECT_EQ(config.discovery.port, QUORVIN::TARGET_PORT);
    config.discovery.port.reset();
    TargetEmulator emulator;
    ASSERT_TRUE(emulator.start(config));
    EXPECT_FALSE(emulator.discoveryAddress());
}

}  // namespace
