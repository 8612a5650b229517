// The sink and status scan against the target emulator on ::1, one
// misbehaviour of the target at a time: what the host lists, and that the
// scan itself never fails for what a target does.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "FreshNetwork.h"
#include "LogCapture.h"
#include "discovery/Find.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace QUORVIN;
using TIVRA::IPAddress;
using testbed::Behaviour;

namespace {

const Find::MODE kScanMode = static_cast<Find::MODE>(Find::MODE_PORT1 | Find::MODE_OPTION0);

struct ScanCase {
    const char* name;
    MessageID request;
    std::optional<uint16_t> number;  // a sink or status entry; none: every request of the kind
    Behaviour behaviour;
    size_t sinks;
    size_t statuses;
    std::string description = "Den [::1]";
};

Behaviour mode(Behaviour::Mode m)
{
    Behaviour b;
    b.mode = m;
    return b;
}

Behaviour late()
{
    Behaviour b;
    b.delayUs = 150000;  // past the 100 ms budget
    return b;
}

Behaviour flood(Behaviour::Stray stray)
{
    Behaviour b;
    b.flood = 64;
    b.stray = stray;
    return b;
}

Behaviour malformed(Behaviour::Before form)
{
    Behaviour b;
    b.mode = Behaviour::MALFORMED;
    b.malformed = form;
    return b;
}

Behaviour copies()
{
    Behaviour b;
    b.copies = 3;
    return b;
}

class ScanAgainstTheEmulator : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanAgainstTheEmulator, ListsWhatTheTargetGaveAndNeverFails)
{
    const ScanCase& c = GetParam();
    testbed::TargetConfig config = testbed::TargetConfig::withSinks(3);
    config.name = "Den";
    config.discovery.port = 0;
    config.discovery.productId = 9;
    config.discovery.description = "Den [myaddress]";
    testbed::TargetEmulator target;
    ASSERT_TRUE(target.start(config));
    if (c.number) {
        target.setDiscoveryBehaviour(c.request, *c.number, c.behaviour);
    } else {
        target.setDiscoveryBehaviour(c.request, c.behaviour);
    }
    const IPAddress discovery = *target.discoveryAddress();

    Find::Setting setting;
    setting.acceptId = 0;
    setting.hostName = "bridge";
    setting.useLoopback = true;
    Find find(setting);
    ASSERT_TRUE(find.open());
    const std::map<IPAddress, Find::FindTargetSt> targets{{discovery, {9, "Den"}}};
    std::map<IPAddress, Find::TargetConnectInfo> sinks;
    ASSERT_TRUE(find.findTarget(targets, sinks, kScanMode));
    std::map<IPAddress, Find::TargetStatusInfo> statuses;
    ASSERT_TRUE(find.findTarget(targets, statuses));
    EXPECT_EQ(sinks.size(), c.sinks);
    EXPECT_EQ(statuses.size(), c.statuses);
    // What is listed is right: each sink under its own port and number.
    for (const auto& [address, info] : sinks) {
        ASSERT_GE(info.sinkNumber, 1);
        EXPECT_EQ(address, target.sinkAddress(info.sinkNumber - 1u)) << "sink " << info.sinkNumber;
        EXPECT_EQ(info.sinkName, "Output " + std::to_string(info.sinkNumber - 1u));
        EXPECT_EQ(info.description, c.description);
    }
    for (const auto& [address, info] : statuses) {
        EXPECT_EQ(address, target.sinkAddress(info.sinkNumber - 1u)) << "entry " << info.sinkNumber;
    }
    if (c.request != NOTISNAME_REQ) {
        EXPECT_EQ(target.discoveryState().hostName, "bridge");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Discovery, ScanAgainstTheEmulator,
    ::testing::Values(
        ScanCase{"AsConfigured", PORT_REQ, std::nullopt, Behaviour{}, 3, 3},
        ScanCase{"CountSilent", PORT_REQ, uint16_t{0}, mode(Behaviour::SILENT), 0, 3},
        ScanCase{"CountRefused", PORT_REQ, uint16_t{0}, mode(Behaviour::REFUSE), 0, 3},
        ScanCase{"CountEchoed", PORT_REQ, uint16_t{0}, mode(Behaviour::ECHO), 0, 3},
        ScanCase{"CountFromAnotherPort", PORT_REQ, uint16_t{0}, mode(Behaviour::OTHER_PORT), 0, 3},
        ScanCase{"CountLate", PORT_REQ, uint16_t{0}, late(), 0, 3},
        ScanCase{"CountShort", PORT_REQ, uint16_t{0}, malformed(Behaviour::SHORT), 0, 3},
        ScanCase{"CountBadLength", PORT_REQ, uint16_t{0}, malformed(Behaviour::BAD_LENGTH), 0, 3},
        // Well-formed with seven pad bytes: the bitmaps are no longer 1024 bytes, so every sink is asked.
        ScanCase{"CountBadPad", PORT_REQ, uint16_t{0}, malformed(Behaviour::BAD_PAD), 3, 3},
        ScanCase{"CountAfterAFloodOfOtherIds", PORT_REQ, uint16_t{0}, flood(Behaviour::STRAY_OTHER_ID), 3, 3},
        ScanCase{"SinkTwoSilent", PORT_REQ, uint16_t{2}, mode(Behaviour::SILENT), 2, 3},
        ScanCase{"SinkTwoRefused", PORT_REQ, uint16_t{2}, mode(Behaviour::REFUSE), 2, 3},
        ScanCase{"SinkTwoWrongEcho", PORT_REQ, uint16_t{2}, mode(Behaviour::WRONG_ECHO), 3, 3},
        ScanCase{"SinkTwoTwice", PORT_REQ, uint16_t{2}, copies(), 3, 3},
        ScanCase{"SinkTwoLate", PORT_REQ, uint16_t{2}, late(), 2, 3},
        ScanCase{"EverySinkSilent", PORT_REQ, std::nullopt, mode(Behaviour::SILENT), 0, 3},
        ScanCase{"NameSilent", NOTISNAME_REQ, std::nullopt, mode(Behaviour::SILENT), 3, 3},
        ScanCase{"DescriptionSilent", SINKOUT_REQ, std::nullopt, mode(Behaviour::SILENT), 3, 3, ""},
        ScanCase{"StatusCountRefused", STATUS_REQ, uint16_t{0}, mode(Behaviour::REFUSE), 3, 0},
        ScanCase{"StatusEntryTwoEchoed", STATUS_REQ, uint16_t{2}, mode(Behaviour::ECHO), 3, 2},
        ScanCase{"StatusEntryTwoTwice", STATUS_REQ, uint16_t{2}, copies(), 3, 3}),
    [](const ::testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.name); });

// A sink whose node information does not come is left out alone.
TEST(DiscoveryEmulator, SinkWithoutNodeInformationIsLeftOut)
{
    testbed::TargetConfig config = testbed::TargetConfig::withSinks(3);
    config.discovery.port = 0;
    testbed::TargetEmulator target;
    ASSERT_TRUE(target.start(config));
    target.setBehaviour(1, NODEINFO_REQ, mode(Behaviour::SILENT));
    Find::Setting setting;
    setting.acceptId = 0;
    Find find(setting);
    ASSERT_TRUE(find.open());
    std::map<IPAddress, Find::TargetConnectInfo> sinks;
    ASSERT_TRUE(find.findTarget({{*target.discoveryAddress(), {}}}, sinks, kScanMode));
    EXPECT_EQ(sinks.size(), 2U);
    EXPECT_EQ(sinks.count(target.sinkAddress(1)), 0U);
}

// A target that announces 65535 sinks and then goes quiet holds the scan for
// three unanswered requests, not for 65535 of them.
TEST(DiscoveryEmulator, QuietTargetWithAFullCountIsGivenUp)
{
    testlog::start(4);
    testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
    config.discovery.port = 0;
    config.discovery.sinkCount = 65535;
    config.discovery.bitmapBytes = 0;
    config.discovery.statusCount = 65535;
    testbed::TargetEmulator quiet;
    ASSERT_TRUE(quiet.start(config));
    Behaviour silent = mode(Behaviour::SILENT);
    for (uint16_t n = 1; n <= 8; ++n) {
        quiet.setDiscoveryBehaviour(PORT_REQ, n, silent);
        quiet.setDiscoveryBehaviour(STATUS_REQ, n, silent);
    }
    testbed::TargetConfig other = testbed::TargetConfig::withSinks(2);
    other.discovery.port = 0;
    testbed::TargetEmulator good;
    ASSERT_TRUE(good.start(other));

    Find::Setting setting;
    setting.acceptId = 0;
    Find find(setting);
    ASSERT_TRUE(find.open());
    const std::map<IPAddress, Find::FindTargetSt> targets{{*quiet.discoveryAddress(), {}},
                                                         {*good.discoveryAddress(), {}}};
    std::map<IPAddress, Find::TargetConnectInfo> sinks;
    ASSERT_TRUE(find.findTarget(targets, sinks, kScanMode));
    std::map<IPAddress, Find::TargetStatusInfo> statuses;
    ASSERT_TRUE(find.findTarget(targets, statuses));
    EXPECT_EQ(sinks.size(), 2U);
    EXPECT_EQ(statuses.size(), 2U);
    size_t asked = 0;
    for (const auto& r : quiet.discoveryRequests()) {
        asked += r.message == PORT_REQ || r.message == STATUS_REQ ? 1 : 0;
    }
    EXPECT_LE(asked, 8U);  // a count and three entries per map
    EXPECT_EQ(testlog::startingWith("Quorvin Find target gives no answer, left for this scan: ").size(), 2U);
}

// The search itself asks ::1 at the fixed port, in a network of its own.
TEST(DiscoveryEmulator, LoopbackSearchFindsTheEmulator)
{
    std::thread([] {
        ASSERT_TRUE(testnet::enterFreshNetwork());
        testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
        config.name = "Den";
        config.discovery.port = TARGET_PORT;
        config.discovery.productId = 0x77;
        testbed::TargetEmulator target;
        ASSERT_TRUE(target.start(config));
        Find::Setting setting;
        setting.acceptId = 0x77;
        setting.hostName = "bridge";
        setting.useLoopback = true;
        Find find(setting);
        ASSERT_TRUE(find.open());
        std::map<IPAddress, Find::FindTargetSt> targets;
        ASSERT_TRUE(find.findTarget(targets));
        ASSERT_EQ(targets.size(), 1U);
        EXPECT_EQ(targets.begin()->first, *target.discoveryAddress());
        EXPECT_EQ(targets.begin()->second.targetName, "Den");
        EXPECT_EQ(target.discoveryState().hostName, "bridge");
        unsigned long product = 0;
        std::string name;
        ASSERT_TRUE(find.getTarget(targets.begin()->first, product, name));
        EXPECT_EQ(product, 0x77UL);
        EXPECT_TRUE(find.pingTarget(targets.begin()->first));
    }).join();
}

}  // namespace
