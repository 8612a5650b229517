// The daemon binary end to end under faults of the driver, the targets and
// the link.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "DaemonRun.h"

using namespace daemonrun;
using standin::count;

namespace {

class DaemonFaults : public DaemonRun {};

// A refused INIT ends the start-up with status 1, before any card.
TEST_F(DaemonFaults, RefusedInitExitsOneWithoutCards)
{
    ASSERT_NO_FATAL_FAILURE(startEmulator());
    ASSERT_NO_FATAL_FAILURE(startDaemon({"--fail-init"}));
    const auto status = daemon.wait(10s);
    ASSERT_TRUE(status) << daemonOutput();
    EXPECT_EQ(*status, 1);
    EXPECT_TRUE(testwait::waitFor([&] { return log.count("bridge.Initial Err") == 1; }, 5s));
    EXPECT_EQ(log.count("Find::open 0"), 0U);
    // Only the final request follows, from the bridge's end.
    const auto journal = this->journal();
    ASSERT_EQ(journal.size(), 2U);
    EXPECT_EQ(journal[0].request, "INIT");
    EXPECT_LT(journal[0].result, 0);
    EXPECT_EQ(journal[1].request, "REMOVE");
    EXPECT_FALSE(journal[1].hostStatus);
}

// A card number no request can carry (256) gets no request at all; the
// sinks left over get their cards at the next scan, 20 s on.
TEST_F(DaemonFaults, UnusableCardNumberGetsNoRequestAndTheNextScanBuildsIt)
{
    ASSERT_NO_FATAL_FAILURE(startEmulator());
    ASSERT_NO_FATAL_FAILURE(startDaemon({"--create-result", "256@1"}));
    ASSERT_TRUE(waitDaemon("card number not usable: 256\n", 1, 20s)) << daemonOutput();
    ASSERT_TRUE(waitAttached(3, 40s)) << daemonOutput();
    const auto journal = this->journal();
    ASSERT_GE(journal.size(), 3U);
    EXPECT_EQ(journal[1].request, "CREATE");
    EXPECT_EQ(journal[1].result, 256);
    // Nothing went to the driver for it: the next request is the next create.
    EXPECT_EQ(journal[2].request, "CREATE");
    EXPECT_EQ(count(journal, "CREATE"), 4U);
    EXPECT_EQ(count(journal, "REMOVE"), 0U);
    EXPECT_EQ(count(journal, "ATTACH"), 3U);
}

// The target process killed mid-stream: the worker ends, the stream's node is
// dropped at the scan that forces and its card removed; the target back (on
// new ports) gets a new card within one scan, which plays.
TEST_F(DaemonFaults, KilledTargetLosesItsCardAndComesBack)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    const int feed = cardOf("Feed");
    ASSERT_GE(feed, 0);
    std::atomic<int> played{-1};
    std::string output;
    // The player holds its requests through the lost stream (the card shows
    // OPEN alone before the next turn connects again) for as long as the
    // test waits: giving up would clear the stream request, and the daemon
    // would then never try the reconnect whose failure drops the node,
    // leaving it to the grace.
    std::thread player([&] {
        played = play(feed, {"--rate", "48000", "--format", "pcm16", "--seconds", "60", "--timeout", "60000", "--hold"},
                      &output);
    });
    const bool streaming = waitDaemon("SyncBuffer::play\n", 1, 10s);
    if (streaming) {
        ::kill(emulator.pid(), SIGKILL);
        EXPECT_TRUE(emulator.wait(5s));
        // Usually at the scan that the failed reconnect forces, within a few
        // seconds; on a loaded machine the reconnect can fail only after a
        // regular scan or two.
        EXPECT_TRUE(events.waitRemoves(feed, 1, 60s)) << daemonOutput();
        EXPECT_EQ(log.count("lost node:" + std::to_string(feed) + " fe80::2,"), 1U);
    }
    player.join();
    ASSERT_TRUE(streaming) << daemonOutput();
    EXPECT_NE(played.load(), 0) << output;
    // The idle cards are still in their grace.
    EXPECT_EQ(attachedCards(), 2U);

    ASSERT_NO_FATAL_FAILURE(startEmulator());
    ASSERT_TRUE(testwait::waitFor([&] { return cardOf("Feed") >= 0; }, 30s)) << daemonOutput();
    ASSERT_NO_FATAL_FAILURE(playsClean("Feed"));
}

// A refused NOTIFY fails the playing card's node: the scan it forces drops
// the node with its card, and the scan after it finds the sink new and
// builds a card again: one forced scan, then the regular one.
TEST_F(DaemonFaults, RefusedNotifyDropsTheCardAndTheNextScanRebuildsIt)
{
    ASSERT_NO_FATAL_FAILURE(startEmulator());
    ASSERT_NO_FATAL_FAILURE(startDaemon({"--notify-fail-after", "2"}));
    ASSERT_TRUE(waitAttached(3, 20s)) << daemonOutput();
    const int main = cardOf("Main");
    ASSERT_GE(main, 0);
    const size_t scans = log.count("SCAN Target interval");
    std::string output;
    EXPECT_NE(play(main, {"--rate", "48000", "--format", "pcm16", "--seconds", "10", "--timeout", "3000"}, &output), 0)
        << output;
    ASSERT_TRUE(events.waitRemoves(main, 1, 15s)) << daemonOutput();
    EXPECT_EQ(log.count("lost node:" + std::to_string(main) + " fe80::2,"), 1U);
    ASSERT_TRUE(waitAttached(3, 30s)) << daemonOutput();
    EXPECT_GE(cardOf("Main"), 0);
    EXPECT_EQ(log.count("SCAN Target interval"), scans + 2);
}

// The link down for less than the grace: the scans miss the targets, then
// find them again, and the cards stay and play.
TEST_F(DaemonFaults, LinkDownAndUpKeepsTheCards)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    ASSERT_TRUE(net.linkDown());
    ASSERT_TRUE(waitDaemon("Scan Mis 3 2 ", 3, 30s)) << daemonOutput();
    ASSERT_TRUE(net.linkUp());
    ASSERT_TRUE(waitDaemon("Scan Rec  ", 3, 30s)) << daemonOutput();
    const auto journal = this->journal();
    EXPECT_EQ(count(journal, "REMOVE"), 0U);
    EXPECT_EQ(attachedCards(), 3U);
    ASSERT_NO_FATAL_FAILURE(playsClean("Feed"));
}

}  // namespace
