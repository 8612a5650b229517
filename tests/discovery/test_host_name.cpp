// The host's name on the discovery channel: any name up to the one limit is
// announced whole and comes back whole in the status answers of the sinks
// the host feeds, which the chains are built from; a longer one is not sent,
// and the scan goes on without it.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "LogCapture.h"
#include "discovery/Find.h"
#include "protocol/Message.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace QUORVIN;
using TIVRA::IPAddress;

namespace {

// Two sinks, both fed by the host, whose status entries name it.
testbed::TargetConfig namingTarget()
{
    testbed::TargetConfig config = testbed::TargetConfig::withSinks(2);
    config.discovery.port = 0;
    config.discovery.hostPeerName = true;
    return config;
}

Find::Setting named(const std::string& name)
{
    Find::Setting setting;
    setting.acceptId = 0;
    setting.hostName = name;
    return setting;
}

// Bytes that differ along the name, so a cut or a shifted copy shows.
std::string nameOf(size_t length)
{
    std::string name(length, ' ');
    for (size_t i = 0; i < length; ++i) {
        name[i] = static_cast<char>('a' + i % 26);
    }
    return name;
}

// The short default, a name past one link frame (its status answer, 2040
// bytes, is more than a 1500-byte receive takes) and the limit, whose status
// answer is the largest datagram a message can be.
TEST(HostName, UpToTheLimitIsAnnouncedAndNamedBackByTheSinksItFeeds)
{
    for (const size_t length : {size_t{9}, size_t{2000}, MAX_HOST_NAME}) {
        SCOPED_TRACE(length);
        testbed::TargetEmulator target;
        ASSERT_TRUE(target.start(namingTarget()));
        const std::string name = nameOf(length);
        Find find(named(name));
        ASSERT_TRUE(find.open());
        std::map<IPAddress, Find::TargetStatusInfo> statuses;
        ASSERT_TRUE(find.findTarget({{*target.discoveryAddress(), {0, "T"}}}, statuses));
        EXPECT_EQ(target.discoveryState().hostName, name);
        ASSERT_EQ(statuses.size(), 2U);
        for (const auto& [address, info] : statuses) {
            EXPECT_EQ(info.state, 1);
            EXPECT_TRUE(info.peerName == name) << "entry " << info.sinkNumber << ": " << info.peerName.size();
        }
        Find::StatusSort chain;
        Find::SortStatus(target.sinkAddress(0), 1, true, statuses, chain);
        ASSERT_EQ(chain.size(), 1U);
        EXPECT_TRUE(chain.front().head);
    }
}

// Past the limit: the name just past it, whose status answer would not fit
// a datagram, and names whose length word would still do but whose own
// datagram (65528 bytes and more) would not. Nothing goes out, the
// announcement counts as made, and the target's sinks are listed all the
// same.
TEST(HostName, PastTheLimitIsNotSentAndTheScanGoesOn)
{
    for (const size_t length : {MAX_HOST_NAME + 1, size_t{65505}, MAX_PAYLOAD}) {
        SCOPED_TRACE(length);
        testlog::start(3);
        testbed::TargetEmulator target;
        ASSERT_TRUE(target.start(namingTarget()));
        const IPAddress discovery = *target.discoveryAddress();
        Find find(named(nameOf(length)));
        ASSERT_TRUE(find.open());
        EXPECT_TRUE(find.NotisName(discovery));
        std::map<IPAddress, Find::TargetStatusInfo> statuses;
        ASSERT_TRUE(find.findTarget({{discovery, {0, "T"}}}, statuses));
        EXPECT_EQ(statuses.size(), 2U);
        EXPECT_FALSE(target.discoveryState().haveHostName);
        EXPECT_EQ(testlog::count("host name too long to announce: " + std::to_string(length) + " bytes"), 1U);
    }
}

}  // namespace
