// The emulator's discovery port and its sinks' control channel over real
// UDP: every query form answered as a target answers it, every misbehaviour
// visible to a raw host socket, and the multicast search inside network
// namespaces of the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "HostSocket.h"
#include "protocol/Identifiers.h"
#include "protocol/Message.h"
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
