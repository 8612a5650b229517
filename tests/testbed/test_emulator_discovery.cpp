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

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
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
class EmulatorDiscovery : public ::testing::Test {
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

TEST_F(EmulatorDiscovery, FindIsAnsweredWithTheProductIdAndTheTargetName)
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

TEST_F(EmulatorDiscovery, NameAnnouncementIsKeptAndAnswered)
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

TEST_F(EmulatorDiscovery, ProbeAndDescriptionAreAnswered)
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

TEST_F(EmulatorDiscovery, PortCountsCarryTheBitmapsOfTheSinkNumbers)
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

TEST_F(EmulatorDiscovery, PortSinkFormNamesThePortVersionAndName)
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

TEST_F(EmulatorDiscovery, StatusEntriesNameTheHostAsFeederByDefault)
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
class DiscoveryTables : public EmulatorDiscovery {
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

TEST_F(DiscoveryTables, CountsBitmapsAndTheSecondAsk)
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

TEST_F(DiscoveryTables, SinkNumbersFollowThePortTable)
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

// A hidden sink leaves the configured tables too: its numbers answer no
// port and its status entries are refused, while the other entries keep
// their numbers and answers.
TEST_F(DiscoveryTables, AHiddenSinkLeavesThePortAndStatusTables)
{
    ASSERT_TRUE(emulator.setHidden(1, true));
    ASSERT_TRUE(emulator.setHidden(0, true));
    EXPECT_FALSE(emulator.setHidden(2, true));
    ASSERT_TRUE(emulator.setHidden(0, false));
    EXPECT_FALSE(emulator.hidden(0));
    EXPECT_TRUE(emulator.hidden(1));
    for (const uint16_t number : {1, 2}) {
        host.send(target, message(QUORVIN::PORT_REQ, number, 0, 1, 1));
        const Datagram a = only();
        ASSERT_TRUE(a.bytes) << number;
        EXPECT_EQ(a.bytes.getOption2(), 0) << number;
        EXPECT_EQ(text(a), "") << number;
    }
    host.send(target, message(QUORVIN::PORT_REQ, 9, 0, 1, 1));
    EXPECT_EQ(only().bytes.getOption2(), 4321);
    host.send(target, message(QUORVIN::STATUS_REQ, 1, 0, 0, 1));
    EXPECT_EQ(only().bytes.getOption2(), emulator.sinkAddress(0).getPort());

    ASSERT_TRUE(emulator.setHidden(0, true));
    host.send(target, message(QUORVIN::STATUS_REQ, 1, 0, 0, 1));
    const Datagram refused = only();
    ASSERT_TRUE(refused.bytes);
    EXPECT_EQ(refused.bytes.getMessage(), QUORVIN::STATUS_ANS);
    EXPECT_EQ(refused.bytes.getStatus(), 0);
    host.send(target, message(QUORVIN::STATUS_REQ, 2, 0, 0, 1));
    const Datagram other = only();
    ASSERT_TRUE(other.bytes);
    EXPECT_EQ(other.bytes.getStatus(), QUORVIN::STATUS_OK);
    EXPECT_EQ(other.bytes.getOption2(), 999);  // an entry of no sink stays
}

TEST_F(DiscoveryTables, StatusEntriesNameOtherFeedersAndCanBeCut)
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

// Each misbehaviour on the port query for sink 1, whose normal answer is
// PORT_ANS, STATUS_OK, o0 = 1, o2 = sink 0's port, payload "Output 0".
TEST_F(EmulatorDiscovery, EveryMisbehaviourShowsOnTheWire)
{
    const QUORVIN::SendBuffer request = message(QUORVIN::PORT_REQ, 1, 0, 1, 1);
    const TIVRA::IPAddress other = emulator.otherPortAddress();
    const uint16_t port0 = emulator.sinkAddress(0).getPort();
    auto normal = [&](const Datagram& d) {
        return d.bytes && d.bytes.getMessage() == QUORVIN::PORT_ANS && d.bytes.getStatus() == QUORVIN::STATUS_OK
               && d.bytes.getOption0() == 1 && d.bytes.getOption2() == port0 && text(d) == "Output 0";
    };
    using Check = std::function<void(const std::vector<Datagram>&)>;
    struct Case {
        const char* behaviour;
        Check check;
    };
    const Case cases[] = {
        {"silent", [](const std::vector<Datagram>& got) { EXPECT_TRUE(got.empty()); }},
        {"refuse",
         [](const std::vector<Datagram>& got) {
             ASSERT_EQ(got.size(), 1u);
             EXPECT_EQ(got[0].bytes.getMessage(), QUORVIN::PORT_ANS);
             EXPECT_EQ(got[0].bytes.getStatus(), 0);
         }},
        {"echo",
         [&](const std::vector<Datagram>& got) {
             ASSERT_EQ(got.size(), 1u);
             const TIVRA::BufferCS_const sent = request;
             EXPECT_EQ(got[0].bytes, TIVRA::Buffer(sent.viewData, sent.viewData + sent.viewSize));
         }},
        {"copies=3",
         [&](const std::vector<Datagram>& got) {
             ASSERT_EQ(got.size(), 3u);
             for (const Datagram& d : got) {
                 EXPECT_TRUE(normal(d));
                 EXPECT_EQ(d.from, target);
             }
         }},
        {"other-port",
         [&](const std::vector<Datagram>& got) {
             ASSERT_EQ(got.size(), 1u);
             EXPECT_TRUE(normal(got[0]));
             EXPECT_EQ(got[0].from, other);
         }},
        {"other-address",  // no second address: another port of the same one
         [&](const std::vector<Datagram>& got) {
             ASSERT_EQ(got.size(), 1u);
             EXPECT_TRUE(normal(got[0]));
             EXPECT_EQ(got[0].from, other);
         }},
        {"wrong-echo",
         [&](const std::vector<Datagram>& got) {
             ASSERT_EQ(got.size(), 1u);
             EXPECT_EQ(got[0].bytes.getOption0(), 2);
             EXPECT_EQ(got[0].bytes.getOption2(), port0);
         }},
        {"malformed=short",
         [](const std::vector<Datagram>& got) {
             ASSERT_EQ(got.size(), 1u);
             EXPECT_EQ(got[0].bytes.size(), 15u);
             EXPECT_FALSE(got[0].bytes);
         }},
        {"malformed=length",
         [](const std::vector<Datagram>& got) {
             ASSERT_EQ(got.size(), 1u);
             EXPECT_FALSE(got[0].bytes);
             EXPECT_EQ(got[0].bytes.getLengthWord() & ~7U, got[0].bytes.size() + 8);
         }},
        {"malformed=pad",
         [](const std::vector<Datagram>& got) {
             ASSERT_EQ(got.size(), 1u);
             EXPECT_EQ(got[0].bytes.getLengthWord() & 7U, 7U);
             EXPECT_EQ(got[0].bytes.getMessage(), QUORVIN::PORT_ANS);
         }},
        {"malformed=low",
         [](const std::vector<Datagram>& got) {
             ASSERT_EQ(got.size(), 1u);
             EXPECT_EQ(got[0].bytes.getLengthWord(), 8);
             EXPECT_EQ(got[0].bytes.size(), 24u);  // the datagram keeps its bytes
         }},
        {"flood=3",
         [&](const std::vector<Datagram>& got) {
             ASSERT_EQ(got.size(), 4u);
             for (size_t i = 0; i < 3; ++i) {
                 ASSERT_TRUE(got[i].bytes);
                 EXPECT_EQ(got[i].bytes.getMessage(), QUORVIN::PORT_ANS + 2);
             }
             EXPECT_TRUE(normal(got[3]));
         }},
        {"flood=2 stray=stale",
         [&](const std::vector<Datagram>& got) {
             ASSERT_EQ(got.size(), 3u);
             for (size_t i = 0; i < 2; ++i) {
                 ASSERT_TRUE(got[i].bytes);
                 EXPECT_EQ(got[i].bytes.getMessage(), QUORVIN::PORT_ANS);
                 EXPECT_EQ(got[i].bytes.getStatus(), QUORVIN::STATUS_OK);
                 EXPECT_EQ(got[i].bytes.getOption0(), 2 + i);
                 EXPECT_EQ(got[i].from, target);
             }
             EXPECT_TRUE(normal(got[2]));
         }},
        {"before=pad",
         [&](const std::vector<Datagram>& got) {
             ASSERT_EQ(got.size(), 2u);
             EXPECT_EQ(got[0].bytes.getLengthWord() & 7U, 7U);
             EXPECT_TRUE(normal(got[1]));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.behaviour);
        Behaviour b;
        ASSERT_TRUE(testbed::parseBehaviour(c.behaviour, b));
        emulator.setDiscoveryBehaviour(QUORVIN::PORT_REQ, b);
        ASSERT_TRUE(host.send(target, request));
        const std::vector<Datagram> got = answers();
        ASSERT_TRUE(fenced);
        c.check(got);
    }
}

TEST_F(EmulatorDiscovery, LateAnswerComesAfterItsDelay)
{
    emulator.setDiscoveryBehaviour(QUORVIN::STATUS_REQ, Behaviour{.mode = Behaviour::ANSWER, .delayUs = 150'000});
    const auto sent = std::chrono::steady_clock::now();
    host.send(target, message(QUORVIN::STATUS_REQ, 0, 0, 0, 1));
    EXPECT_TRUE(answers().empty());  // the search's answer overtakes it
    EXPECT_TRUE(fenced);
    const auto late = host.receive();
    ASSERT_TRUE(late);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 150ms);
    EXPECT_EQ(late->bytes.getMessage(), QUORVIN::STATUS_ANS);
    EXPECT_EQ(late->bytes.getOption0(), 2);
}

TEST_F(EmulatorDiscovery, BehavioursPickANumberOrAnOccurrence)
{
    // Sink 2 is silent; sink 1 and the count form are not.
    emulator.setDiscoveryBehaviour(QUORVIN::PORT_REQ, 2, Behaviour{.mode = Behaviour::SILENT});
    // The second ask about status entry 1 is refused, the others answered.
    emulator.setDiscoveryBehaviour(QUORVIN::STATUS_REQ, 1, Behaviour{.mode = Behaviour::REFUSE, .nth = 2});
    // The second description request goes unanswered: an identifier's own count.
    emulator.setDiscoveryBehaviour(QUORVIN::SINKOUT_REQ, Behaviour{.mode = Behaviour::SILENT, .nth = 2});

    auto count = [&](const QUORVIN::SendBuffer& m) {
        host.send(target, m);
        const std::vector<Datagram> got = answers();
        EXPECT_TRUE(fenced);
        return got;
    };
    EXPECT_EQ(count(message(QUORVIN::PORT_REQ, 2, 0, 1, 1)).size(), 0u);
    EXPECT_EQ(count(message(QUORVIN::PORT_REQ, 1, 0, 1, 1)).size(), 1u);
    EXPECT_EQ(count(message(QUORVIN::PORT_REQ, 0, 0, 0, 1)).size(), 1u);
    EXPECT_EQ(count(message(QUORVIN::PORT_REQ, 0, 2, 1, 1)).size(), 0u);  // sink 2 in option 1

    const std::vector<uint16_t> statusOf = {2, 1, 1, 1};
    std::vector<uint16_t> okBits;
    for (uint16_t n : statusOf) {
        const std::vector<Datagram> got = count(message(QUORVIN::STATUS_REQ, n, 0, 0, 1));
        ASSERT_EQ(got.size(), 1u);
        okBits.push_back(got[0].bytes.getStatus() & QUORVIN::STATUS_OK);
    }
    EXPECT_EQ(okBits, (std::vector<uint16_t>{1, 1, 0, 1}));  // entry 2 does not count for entry 1

    std::vector<size_t> sinkOut;
    for (int i = 0; i < 3; ++i) {
        sinkOut.push_back(count(message(QUORVIN::SINKOUT_REQ, 0, 0, 0, 0)).size());
    }
    EXPECT_EQ(sinkOut, (std::vector<size_t>{1, 0, 1}));
}

// ---- a sink's own port: node information and the control channel

class EmulatorControl : public EmulatorDiscovery {
protected:
    void configure() override
    {
        config.sinks[0].nodeInfo[0] = 0x1111;
        config.sinks[0].nodeInfo[1] = 0x2222;
        config.sinks[0].nodeInfo[2] = 0x3333;
        config.sinks[0].nodeInfo[3] = 0x4444;
        testbed::ControlItem volume;
        volume.clamp = true;
        volume.minimum = -8000;
        volume.maximum = 0;
        testbed::ControlItem other;
        other.type = 7;
        other.value = 0x123456789ABCULL;
        other.status = 0x0004;
        config.sinks[0].controls = {testbed::ControlItem{.type = testbed::ControlItem::PLAY}, volume, other};
    }
    void SetUp() override
    {
        EmulatorDiscovery::SetUp();
        sink = emulator.sinkAddress(0);
        fence = emulator.sinkAddress(1);
    }
    Datagram sinkAnswer(const QUORVIN::Send& m)
    {
        host.send(sink, m);
        const std::vector<Datagram> got = host.untilFence(fence);
        EXPECT_TRUE(host.fenced);
        EXPECT_EQ(got.size(), 1u);
        return got.empty() ? Datagram{} : got.front();
    }
    // The write form: item number with bit 15, the value above it.
    static QUORVIN::SendBuffer write(uint16_t item, int64_t value)
    {
        QUORVIN::SendBuffer m;
        m.set(QUORVIN::CONTROLVALUE_REQ, 0, (uint64_t{item} | 0x8000) | (static_cast<uint64_t>(value) << 16));
        m.update();
        return m;
    }
    TIVRA::IPAddress sink;
    TIVRA::IPAddress fence;
};

TEST_F(EmulatorControl, NodeInformationAndTheHostsName)
{
    const Datagram info = sinkAnswer(message(QUORVIN::NODEINFO_REQ, 0, 0, 0, 0));
    ASSERT_TRUE(info.bytes);
    EXPECT_EQ(info.from, sink);
    EXPECT_EQ(info.bytes.getMessage(), QUORVIN::NODEINFO_ANS);
    EXPECT_EQ(info.bytes.getStatus(), QUORVIN::STATUS_OK);
    EXPECT_EQ(info.bytes.getOption(), 0x4444333322221111ULL);

    const Datagram named =
        sinkAnswer(textMessage(QUORVIN::CONTROLNAME_REQ, QUORVIN::STATUS_OK, 0x42, "Alsa Host Control"));
    ASSERT_TRUE(named.bytes);
    EXPECT_EQ(named.bytes.getMessage(), QUORVIN::CONTROLNAME_ANS);
    EXPECT_EQ(named.bytes.getStatus(), QUORVIN::STATUS_OK);
    const testbed::SinkState state = emulator.state(0);
    EXPECT_TRUE(state.haveControlName);
    EXPECT_EQ(state.controlName, "Alsa Host Control");
    EXPECT_EQ(state.controlId, 0x42u);
    EXPECT_FALSE(emulator.state(1).haveControlName);

    // One order over the target's ports: what the host sent, and when.
    host.send(target, message(QUORVIN::SINKOUT_REQ, 0, 0, 0, 0));
    only();
    const std::vector<Request> asked = emulator.discoveryRequests();
    const std::vector<Request> control = emulator.requests(0);
    ASSERT_GE(asked.size(), 2u);
    ASSERT_EQ(control.size(), 2u);
    EXPECT_EQ(control[0].message, QUORVIN::NODEINFO_REQ);
    EXPECT_EQ(control[1].message, QUORVIN::CONTROLNAME_REQ);
    EXPECT_EQ(asked[asked.size() - 2].message, QUORVIN::SINKOUT_REQ);
    EXPECT_LT(control[0].order, control[1].order);
    EXPECT_LT(control[1].order, asked[asked.size() - 2].order);
}

TEST_F(EmulatorControl, ItemListCountAndTypes)
{
    struct Case {
        uint16_t item;
        QUORVIN::StatusID status;
        uint16_t o0;
        uint16_t o1;
    };
    const Case cases[] = {
        {0, QUORVIN::STATUS_OK, 3, 0},                // the count
        {1, QUORVIN::STATUS_OK, 1, 1},                // play
        {2, QUORVIN::STATUS_OK, 2, 2},                // volume
        {3, QUORVIN::STATUS_OK, 3, 7}, {4, 0, 4, 0},  // past the list: refused
    };
    for (const Case& c : cases) {
        const Datagram a = sinkAnswer(message(QUORVIN::CONTROLLIST_REQ, c.item, 0, 0, 0));
        ASSERT_TRUE(a.bytes) << c.item;
        EXPECT_EQ(a.bytes.getMessage(), QUORVIN::CONTROLLIST_ANS) << c.item;
        EXPECT_EQ(a.bytes.getStatus(), c.status) << c.item;
        EXPECT_EQ(a.bytes.getOption0(), c.o0) << c.item;
        EXPECT_EQ(a.bytes.getOption1(), c.o1) << c.item;
    }
}

TEST_F(EmulatorControl, VolumeIsStoredAndHeldToItsBounds)
{
    struct Case {
        int16_t written;
        int16_t kept;
    };
    const Case cases[] = {{-600, -600}, {-9000, -8000}, {300, 0}, {0, 0}};
    for (const Case& c : cases) {
        const Datagram w = sinkAnswer(write(2, c.written));
        ASSERT_TRUE(w.bytes) << c.written;
        EXPECT_EQ(w.bytes.getMessage(), QUORVIN::CONTROLVALUE_ANS);
        EXPECT_EQ(w.bytes.getStatus(), QUORVIN::STATUS_OK);
        EXPECT_EQ(w.bytes.getOption0(), 2);  // without the write bit
        EXPECT_EQ(static_cast<int16_t>(w.bytes.getOption1()), c.kept) << c.written;
        // Sign-extended over the 48 bits, as the host widens it.
        EXPECT_EQ(w.bytes.getOption3(), c.kept < 0 ? 0xFFFF : 0) << c.written;

        const Datagram r = sinkAnswer(message(QUORVIN::CONTROLVALUE_REQ, 2, 0, 0, 0));
        ASSERT_TRUE(r.bytes);
        EXPECT_EQ(static_cast<int16_t>(r.bytes.getOption1()), c.kept) << c.written;
        EXPECT_EQ(static_cast<int16_t>(emulator.state(0).controls[1].value & 0xFFFF), c.kept);
    }
}

TEST_F(EmulatorControl, OtherItemsAnswerTheirValueAndStatus)
{
    const Datagram r = sinkAnswer(message(QUORVIN::CONTROLVALUE_REQ, 3, 0, 0, 0));
    ASSERT_TRUE(r.bytes);
    EXPECT_EQ(r.bytes.getStatus(), QUORVIN::STATUS_OK | 0x0004);
    EXPECT_EQ(r.bytes.getOption(), (0x123456789ABCULL << 16) | 3);
    const Datagram unknown = sinkAnswer(message(QUORVIN::CONTROLVALUE_REQ, 9, 0, 0, 0));
    ASSERT_TRUE(unknown.bytes);
    EXPECT_EQ(unknown.bytes.getStatus(), 0);
    EXPECT_EQ(unknown.bytes.getOption0(), 9);
}

TEST_F(EmulatorControl, PlayItemFollowsTheStream)
{
    const Datagram idle = sinkAnswer(message(QUORVIN::CONTROLVALUE_REQ, 1, 0, 0, 0));
    ASSERT_TRUE(idle.bytes);
    EXPECT_EQ(idle.bytes.getStatus(), QUORVIN::STATUS_OK);  // not playing
    EXPECT_EQ(idle.bytes.getOption(), 1u);

    constexpr uint64_t kFormat = 0x0000000A00000202ULL;  // stereo PCM16 at 44.1 kHz
    QUORVIN::SendBuffer connect;
    connect.set(QUORVIN::CONNECT_REQ, 0, kFormat);
    connect.update();
    const Datagram connected = sinkAnswer(connect);
    ASSERT_TRUE(connected.bytes);
    ASSERT_EQ(connected.bytes.getMessage(), QUORVIN::CONNECT_ANS);

    const Datagram playing = sinkAnswer(message(QUORVIN::CONTROLVALUE_REQ, 1, 0, 0, 0));
    ASSERT_TRUE(playing.bytes);
    EXPECT_EQ(playing.bytes.getStatus(), QUORVIN::STATUS_OK | QUORVIN::STATUS_PLAY);
    EXPECT_EQ(playing.bytes.getOption() >> 16, 0x000A0202u);  // format bits 0-15, then 32-63
    EXPECT_EQ(testbed::playValue(kFormat), 0x000A0202u);

    // The host cannot set play state.
    const Datagram refused = sinkAnswer(write(1, 1));
    ASSERT_TRUE(refused.bytes);
    EXPECT_EQ(refused.bytes.getStatus(), 0);
}

TEST_F(EmulatorControl, MisbehavioursPickAnItem)
{
    emulator.setBehaviour(0, QUORVIN::CONTROLVALUE_REQ, 2, Behaviour{.mode = Behaviour::WRONG_ECHO});
    emulator.setBehaviour(0, QUORVIN::CONTROLLIST_REQ, 0, Behaviour{.mode = Behaviour::SILENT});
    const Datagram wrong = sinkAnswer(write(2, -100));
    ASSERT_TRUE(wrong.bytes);
    EXPECT_EQ(wrong.bytes.getOption0(), 3);                                      // another item's number
    EXPECT_EQ(static_cast<int16_t>(emulator.state(0).controls[1].value), -100);  // yet the write took effect
    const Datagram right = sinkAnswer(message(QUORVIN::CONTROLVALUE_REQ, 3, 0, 0, 0));
    EXPECT_EQ(right.bytes.getOption0(), 3);

    host.send(sink, message(QUORVIN::CONTROLLIST_REQ, 0, 0, 0, 0));
    EXPECT_TRUE(host.untilFence(fence).empty());  // the count form is silent
    EXPECT_EQ(sinkAnswer(message(QUORVIN::CONTROLLIST_REQ, 1, 0, 0, 0)).bytes.getOption1(), 1);

    const std::vector<Request> seen = emulator.requests(0);
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen[0].message, QUORVIN::CONTROLVALUE_REQ);
    EXPECT_EQ(seen[0].option0, 0x8002);
    EXPECT_EQ(seen[2].message, QUORVIN::CONTROLLIST_REQ);
}

// ---- the real port 19642: on ::1 in a network namespace of the test's own

// Runs f on a thread with a fresh network namespace whose lo is up.
template <typename F>
void inFreshNetwork(F&& f)
{
    std::thread([&] {
        ASSERT_EQ(unshare(CLONE_NEWNET), 0);
        const int s = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(s, 0);
        ifreq ifr{};
        std::strcpy(ifr.ifr_name, "lo");
        ifr.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
        const int up = ioctl(s, SIOCSIFFLAGS, &ifr);
        ::close(s);
        ASSERT_EQ(up, 0);
        // ::1 comes with the interface, a moment after it.
        ASSERT_TRUE(testwait::waitFor([] { return HostSocket().ok(); }));
        f();
    }).join();
}

TEST(DiscoveryPort, AnswersOnTheWellKnownPortWithTheLogRelayBesideIt)
{
    inFreshNetwork([] {
        TargetConfig config = TargetConfig::withSinks(1);
        config.name = "Loopback Target";
        config.discovery.port = QUORVIN::TARGET_PORT;
        config.logPort = QUORVIN::TARGET_PORT;
        config.logLines = {"one line"};
        config.logAck = false;
        TargetEmulator emulator;
        ASSERT_TRUE(emulator.start(config));
        TIVRA::IPAddress well = TargetConfig::loopback();
        well.setPort(QUORVIN::TARGET_PORT);
        EXPECT_EQ(emulator.discoveryAddress(), well);
        EXPECT_EQ(emulator.logAddress(), well);

        HostSocket host;
        ASSERT_TRUE(host.ok());
        const auto found = host.exchange(well, message(QUORVIN::FIND_REQ, 0, 0, 0, 0));
        ASSERT_TRUE(found);
        EXPECT_EQ(found->from, well);
        EXPECT_EQ(found->bytes.getMessage(), QUORVIN::FIND_ANS);
        EXPECT_EQ(text(*found), "Loopback Target");

        const auto line = host.exchange(well, message(QUORVIN::DEBUG_REQ, 1, 0, 0, 0));
        ASSERT_TRUE(line);
        EXPECT_EQ(line->from, well);
        EXPECT_EQ(line->bytes.getMessage(), QUORVIN::DEBUG_ANS);
        EXPECT_EQ(text(*line), "one line");
        EXPECT_EQ(emulator.logRequests().size(), 1u);
        EXPECT_EQ(emulator.discoveryRequests().size(), 1u);
    });
}

// ---- the multicast search over a link: targets in one namespace, the host in another

class EmulatorLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(net.ok()) << net.error();
        ASSERT_TRUE(net.addTargetAddress(1)) << net.error();
        ASSERT_TRUE(net.addTargetAddress(2)) << net.error();
    }
    TargetConfig targetConfig(unsigned n, const std::string& name)
    {
        TargetConfig c = TargetConfig::withSinks(1);
        c.name = name;
        c.address = net.targetAddress(n);
        c.discovery.port = QUORVIN::TARGET_PORT;
        c.discovery.productId = kProductId;
        return c;
    }
    bool start(TargetEmulator& e, const TargetConfig& c)
    {
        return net.inTarget([&] { return e.start(c); });
    }
    static TIVRA::IPAddress at(TIVRA::IPAddress a, uint16_t port)
    {
        a.setPort(port);
        return a;
    }
    TIVRA::IPAddress allNodes() const
    {
        TIVRA::IPAddress group;
        group.addr[0] = 0xFF;
        group.addr[1] = 0x02;
        group.addr[15] = 0x01;
        group.ifindex = net.linkIndex(testnet::NetNamespaces::Host);
        group.setPort(QUORVIN::TARGET_PORT);
        return group;
    }
    // The first `expected` datagrams, each within the receive deadline. A
    // surplus shows in the targets' records, which later unicast asks fence.
    static std::vector<Datagram> collect(HostSocket& host, size_t expected)
    {
        std::vector<Datagram> got;
        while (got.size() < expected) {
            auto d = host.receive();
            if (!d) {
                break;
            }
            got.push_back(std::move(*d));
        }
        return got;
    }

    testnet::NetNamespaces net;
};

TEST_F(EmulatorLink, MulticastSearchIsAnsweredByEveryTargetFromItsOwnAddress)
{
    TargetEmulator first;
    TargetEmulator second;
    TargetEmulator deaf;
    TargetConfig deafConfig = targetConfig(2, "Unicast Only");
    deafConfig.discovery.answerMulticast = false;
    ASSERT_TRUE(start(first, targetConfig(0, "First")));
    ASSERT_TRUE(start(second, targetConfig(1, "Second")));
    ASSERT_TRUE(start(deaf, deafConfig));

    auto host = net.inHost([&] { return std::make_unique<HostSocket>(net.hostAddress()); });
    ASSERT_TRUE(host && host->ok());
    ASSERT_TRUE(host->send(allNodes(), message(QUORVIN::FIND_REQ, 0, 0, 0, 0)));
    std::vector<Datagram> got = collect(*host, 2);
    ASSERT_EQ(got.size(), 2u);
    std::sort(got.begin(), got.end(), [](const Datagram& a, const Datagram& b) { return a.from < b.from; });
    EXPECT_EQ(got[0].from, at(net.targetAddressFromHost(0), QUORVIN::TARGET_PORT));
    EXPECT_EQ(text(got[0]), "First");
    EXPECT_EQ(got[1].from, at(net.targetAddressFromHost(1), QUORVIN::TARGET_PORT));
    EXPECT_EQ(text(got[1]), "Second");
    for (const Datagram& d : got) {
        EXPECT_EQ(d.bytes.getMessage(), QUORVIN::FIND_ANS);
        EXPECT_EQ(d.bytes.getOption(), kProductId);
    }
    for (TargetEmulator* e : {&first, &second}) {
        const std::vector<Request> seen = e->discoveryRequests();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_TRUE(seen[0].multicast);
        EXPECT_EQ(seen[0].destination.addr[0], 0xFF);
        EXPECT_EQ(seen[0].destination.ifindex, net.linkIndex(testnet::NetNamespaces::Target));
        EXPECT_EQ(std::memcmp(seen[0].source.addr, net.hostAddress().addr, 16), 0);
    }
    EXPECT_TRUE(deaf.discoveryRequests().empty());

    // Unicast reaches the one target it is sent to, the one that ignores the search included.
    for (unsigned n : {1U, 2U}) {
        const TIVRA::IPAddress to = at(net.targetAddressFromHost(n), QUORVIN::TARGET_PORT);
        ASSERT_TRUE(host->send(to, message(QUORVIN::FIND_REQ, 0, 0, 0, 0)));
        const std::vector<Datagram> one = collect(*host, 1);
        ASSERT_EQ(one.size(), 1u) << n;
        EXPECT_EQ(one[0].from, to);
        EXPECT_EQ(text(one[0]), n == 1 ? "Second" : "Unicast Only");
    }
    EXPECT_EQ(first.discoveryRequests().size(), 1u);
    ASSERT_EQ(second.discoveryRequests().size(), 2u);
    EXPECT_FALSE(second.discoveryRequests()[1].multicast);
    ASSERT_EQ(deaf.discoveryRequests().size(), 1u);
    EXPECT_FALSE(deaf.discoveryRequests()[0].multicast);
}

// A chain across targets: the first target's sink fed by the host, the
// second's fed by the first's; and an answer from the second address.
TEST_F(EmulatorLink, StatusNamesAnotherTargetsSinkAndAnswersLeaveFromTheSecondAddress)
{
    TargetEmulator upstream;
    TargetEmulator downstream;
    ASSERT_TRUE(start(upstream, targetConfig(0, "Upstream")));
    TargetConfig c = targetConfig(1, "Downstream");
    c.otherAddress = net.targetAddress(2);
    c.discovery.status =
        std::vector<testbed::StatusEntry>{testbed::StatusEntry::fedBy(upstream.sinkAddress(0), 1, "Upstream")};
    c.discovery.behaviours[QUORVIN::SINKOUT_REQ] = Behaviour{.mode = Behaviour::OTHER_ADDRESS};
    ASSERT_TRUE(start(downstream, c));
    ASSERT_TRUE(downstream.otherAddress());

    auto host = net.inHost([&] { return std::make_unique<HostSocket>(net.hostAddress()); });
    ASSERT_TRUE(host && host->ok());
    const TIVRA::IPAddress to = at(net.targetAddressFromHost(1), QUORVIN::TARGET_PORT);
    ASSERT_TRUE(host->send(to, message(QUORVIN::STATUS_REQ, 1, 0, 0, 1)));
    const std::vector<Datagram> entry = collect(*host, 1);
    ASSERT_EQ(entry.size(), 1u);
    EXPECT_EQ(entry[0].from, to);
    EXPECT_EQ(entry[0].bytes.getOption1(), 0);
    EXPECT_EQ(entry[0].bytes.getOption2(), downstream.sinkAddress(0).getPort());
    TIVRA::IPAddress peer;
    std::string name;
    entry[0].bytes.get_add_str(peer, name);
    EXPECT_EQ(std::memcmp(peer.addr, net.targetAddress(0).addr, 16), 0);
    EXPECT_EQ(peer.getPort(), 1);
    EXPECT_EQ(name, "Upstream");

    ASSERT_TRUE(host->send(to, message(QUORVIN::SINKOUT_REQ, 0, 0, 0, 0)));
    const std::vector<Datagram> moved = collect(*host, 1);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].bytes.getMessage(), QUORVIN::SINKOUT_ANS);
    EXPECT_EQ(std::memcmp(moved[0].from.addr, net.targetAddress(2).addr, 16), 0);
    EXPECT_EQ(moved[0].from.getPort(), downstream.otherAddress()->getPort());
}

TEST(DiscoveryPort, OffUnlessAsked)
{
    TargetConfig config = TargetConfig::withSinks(1);
    EXPECT_FALSE(config.discovery.port);
    TargetEmulator emulator;
    ASSERT_TRUE(emulator.start(config));
    EXPECT_FALSE(emulator.discoveryAddress());
}

}  // namespace
