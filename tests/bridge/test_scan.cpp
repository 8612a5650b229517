// The bridge scan under the driver stand-in, against emulated targets on ::1
// at the well-known port (each inside half in a network of its own).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogCapture.h"
#include "ScanFixture.h"
#include "StandinRun.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace QUORVIN;
using namespace standin;

namespace {

class ScanInside : public ScanFixture {
protected:
    ScanInside() : ScanFixture(2) { config.name = "Den"; }
    int card(size_t sink) { return bridge->aliveNodes.at(emulator.sinkAddress(sink))->getMemNo(); }
    // Sink 1's chain changes (it is no longer fed from this host), its idle
    // node spends its grace, and its turn fails just before the scan in
    // which the grace runs out: that scan tears it down and builds it anew
    // with the new chain.
    void rebuildSinkOneInTheScanThatLosesIt()
    {
        ASSERT_NO_FATAL_FAILURE(startBridge());
        ASSERT_TRUE(bridge->scan());
        ASSERT_EQ(bridge->aliveNodes.size(), 2U);
        const int first = card(1);
        testbed::DiscoveryConfig d = emulator.discoveryConfig();
        std::vector<testbed::StatusEntry> status(2);
        for (size_t i = 0; i < 2; ++i) {
            status[i].sink = i;
            status[i].peer = testbed::TargetConfig::loopback();
            status[i].peerSink = static_cast<uint16_t>(i + 1);
        }
        status[1].state = 2;
        d.status = status;
        emulator.setDiscoveryConfig(d);
        for (int left = 2; left >= 0; --left) {
            ASSERT_TRUE(bridge->scan());
            ASSERT_EQ(testlog::count("Scan Mis 4 " + std::to_string(left) + " " + address(1)), 1U) << left;
        }
        bridge->lostNodes.insert(emulator.sinkAddress(1));
        ASSERT_TRUE(bridge->scan());
        ASSERT_EQ(testlog::count("lost node:" + std::to_string(first) + " " + address(1)), 1U);
        ASSERT_EQ(bridge->aliveNodes.count(emulator.sinkAddress(1)), 1U);
        ASSERT_EQ(testlog::startingWith("add node:" + address(1) + " ").size(), 2U);
        ASSERT_EQ(bridge->aliveNodes.at(emulator.sinkAddress(1))->missCount, 3);
    }
    void dropSinkOne()
    {
        testbed::DiscoveryConfig d = emulator.discoveryConfig();
        d.sinkCount = 1;
        emulator.setDiscoveryConfig(d);
    }
};

TEST_F(ScanInside, EverySinkGetsACard)
{
    config.sinks[1].name = "Phones";
    startBridge();
    bridge->alsaProfiles["Den:Phones"].InfCycleTime = TIVRA::Clock(2 * TIVRA::Clock::MS);
    ASSERT_TRUE(bridge->scan());
    ASSERT_EQ(bridge->aliveNodes.size(), 2U);
    EXPECT_EQ(testlog::count("detect profie : Den:Phones"), 1U);
    EXPECT_EQ(testlog::count("default profie"), 1U);
    // Cards in the sinks' address order, from 0.
    for (size_t i = 0; i < 2; ++i) {
        const int card = bridge->aliveNodes.at(emulator.sinkAddress(i))->getMemNo();
        EXPECT_EQ(testlog::count("add node:" + address(i) + " " + std::to_string(card)), 1U) << i;
    }
    EXPECT_EQ(bridge->aliveNodes.at(emulator.sinkAddress(0))->missCount, 3);
    // A second scan with everything unchanged builds nothing more.
    ASSERT_TRUE(bridge->scan());
    EXPECT_EQ(testlog::startingWith("add node:").size(), 2U);
}

// A sink that is no longer listed keeps its idle node for three scans, and
// loses it (and its card) at the fourth.
TEST_F(ScanInside, VanishedSinkHasThreeScansOfGrace)
{
    startBridge();
    ASSERT_TRUE(bridge->scan());
    ASSERT_EQ(bridge->aliveNodes.size(), 2U);
    const int card = bridge->aliveNodes.at(emulator.sinkAddress(1))->getMemNo();
    testbed::DiscoveryConfig d = emulator.discoveryConfig();
    d.sinkCount = 1;
    emulator.setDiscoveryConfig(d);
    for (int left = 2; left >= 0; --left) {
        ASSERT_TRUE(bridge->scan());
        EXPECT_EQ(testlog::count("Scan Mis 3 " + std::to_string(left) + " " + address(1)), 1U) << left;
        EXPECT_EQ(bridge->aliveNodes.size(), 2U);
    }
    ASSERT_TRUE(bridge->scan());
    EXPECT_EQ(testlog::count("lost node:" + std::to_string(card) + " " + address(1)), 1U);
    EXPECT_EQ(bridge->aliveNodes.size(), 1U);
    // Back: built anew, on the lowest free card.
    d.sinkCount.reset();
    emulator.setDiscoveryConfig(d);
    ASSERT_TRUE(bridge->scan());
    EXPECT_EQ(testlog::count("add node:" + address(1) + " " + std::to_string(card)), 2U);
}

// A create result that no request can carry gets no request, and the sink
// is asked again by the next scan.
TEST_F(ScanInside, UnusableCardNumberIsNotUsedAndTriedAgain)
{
    testlog::start(3);
    config = testbed::TargetConfig::withSinks(1);
    config.discovery.port = TARGET_PORT;
    startBridge();
    ASSERT_TRUE(bridge->scan());
    EXPECT_TRUE(bridge->aliveNodes.empty());
    EXPECT_EQ(testlog::count("card number not usable: 256"), 1U);
    ASSERT_TRUE(bridge->scan());
    EXPECT_EQ(bridge->aliveNodes.size(), 1U);  // the stand-in gives 256 only once
}

// A node rebuilt in the scan that lost it is counted like any new one: when
// its sink then vanishes it has its three scans of grace and goes at the fourth.
TEST_F(ScanInside, NodeRebuiltAfterALossAgesOutLikeAnyOther)
{
    ASSERT_NO_FATAL_FAILURE(rebuildSinkOneInTheScanThatLosesIt());
    const int rebuilt = card(1);
    dropSinkOne();
    for (int left = 2; left >= 0; --left) {
        ASSERT_TRUE(bridge->scan());
        EXPECT_EQ(testlog::count("Scan Mis 3 " + std::to_string(left) + " " + address(1)), 1U) << left;
        EXPECT_EQ(bridge->aliveNodes.size(), 2U) << left;
    }
    const size_t lostBefore = testlog::count("lost node:" + std::to_string(rebuilt) + " " + address(1));
    ASSERT_TRUE(bridge->scan());
    EXPECT_EQ(testlog::count("lost node:" + std::to_string(rebuilt) + " " + address(1)), lostBefore + 1);
    EXPECT_EQ(bridge->aliveNodes.count(emulator.sinkAddress(1)), 0U);
    EXPECT_EQ(bridge->aliveNodes.size(), 1U);
}

// A rebuilt node that fails its turn again goes at the next scan, like any
// lost node, and is built again one scan later: it does not stay to fail
// (and force a scan) on every pass of the loop.
TEST_F(ScanInside, FailingRebuiltNodeGoesAtTheNextScan)
{
    ASSERT_NO_FATAL_FAILURE(rebuildSinkOneInTheScanThatLosesIt());
    const std::string lost = "lost node:" + std::to_string(card(1)) + " " + address(1);
    const size_t lostBefore = testlog::count(lost);
    bridge->lostNodes.insert(emulator.sinkAddress(1));
    ASSERT_TRUE(bridge->scan());
    EXPECT_EQ(bridge->aliveNodes.count(emulator.sinkAddress(1)), 0U);
    EXPECT_EQ(testlog::count(lost), lostBefore + 1);
    EXPECT_TRUE(bridge->lostNodes.empty());
    ASSERT_TRUE(bridge->scan());
    EXPECT_EQ(bridge->aliveNodes.count(emulator.sinkAddress(1)), 1U);
    EXPECT_EQ(testlog::startingWith("add node:" + address(1) + " ").size(), 3U);
}

// The same when its sink has vanished meanwhile: the failed node still goes.
TEST_F(ScanInside, FailingRebuiltNodeWithoutItsSinkGoesAtTheNextScan)
{
    ASSERT_NO_FATAL_FAILURE(rebuildSinkOneInTheScanThatLosesIt());
    dropSinkOne();
    bridge->lostNodes.insert(emulator.sinkAddress(1));
    ASSERT_TRUE(bridge->scan());
    EXPECT_EQ(bridge->aliveNodes.count(emulator.sinkAddress(1)), 0U);
    EXPECT_EQ(bridge->aliveNodes.size(), 1U);
    EXPECT_EQ(testlog::startingWith("lost node:").size(), 2U);
}

// ---- outside halves

TEST(Scan, EverySinkGetsACard)
{
    std::vector<testbed::JournalLine> journal;
    ASSERT_NO_FATAL_FAILURE(runForJournal("ScanInside.EverySinkGetsACard", journal));
    size_t creates = 0;
    for (const auto& l : journal) {
        if (l.request == "CREATE") {
            ++creates;
            EXPECT_EQ(l.arg, 1228800U);
        }
    }
    EXPECT_EQ(creates, 2U);
    EXPECT_EQ(count(journal, "ATTACH"), 2U);
    // The bridge's destructor closes both cards, removes them, and sends the final request.
    EXPECT_EQ(count(journal, "REMOVE"), 3U);
}

TEST(Scan, VanishedSinkHasThreeScansOfGrace)
{
    std::vector<testbed::JournalLine> journal;
    ASSERT_NO_FATAL_FAILURE(runForJournal("ScanInside.VanishedSinkHasThreeScansOfGrace", journal));
    EXPECT_EQ(count(journal, "CREATE"), 3U);
}

// Each card the bridge gave up on is removed with the driver.
TEST(Scan, NodeRebuiltAfterALossAgesOutLikeAnyOther)
{
    std::vector<testbed::JournalLine> journal;
    ASSERT_NO_FATAL_FAILURE(runForJournal("ScanInside.NodeRebuiltAfterALossAgesOutLikeAnyOther", journal));
    EXPECT_EQ(count(journal, "CREATE"), 3U);
    // The lost one, the aged-out one; then the destructor's last card and final request.
    EXPECT_EQ(count(journal, "REMOVE"), 4U);
}

TEST(Scan, FailingRebuiltNodeGoesAtTheNextScan)
{
    std::vector<testbed::JournalLine> journal;
    ASSERT_NO_FATAL_FAILURE(runForJournal("ScanInside.FailingRebuiltNodeGoesAtTheNextScan", journal));
    EXPECT_EQ(count(journal, "CREATE"), 4U);
    EXPECT_EQ(count(journal, "REMOVE"), 5U);
}

TEST(Scan, FailingRebuiltNodeWithoutItsSinkGoesAtTheNextScan)
{
    std::vector<testbed::JournalLine> journal;
    ASSERT_NO_FATAL_FAILURE(runForJournal("ScanInside.FailingRebuiltNodeWithoutItsSinkGoesAtTheNextScan", journal));
    EXPECT_EQ(count(journal, "CREATE"), 3U);
    EXPECT_EQ(count(journal, "REMOVE"), 4U);
}

TEST(Scan, UnusableCardNumberIsNotUsedAndTriedAgain)
{
    std::vector<testbed::JournalLine> journal;
    ASSERT_NO_FATAL_FAILURE(
        runForJournal("ScanInside.UnusableCardNumberIsNotUsedAndTriedAgain", journal, {"--create-result", "256@1"}));
    EXPECT_EQ(count(journal, "CREATE"), 2U);
    EXPECT_EQ(count(journal, "ATTACH"), 1U);
    for (const auto& l : journal) {
        if (l.request != "CREATE") {
            EXPECT_NE(l.card, 256) << l.request;
        }
    }
}

}  // namespace
