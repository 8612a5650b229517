// The card link under the driver stand-in: each case runs this test program
// again, under driver-standin, with a filter that picks the case's inside
// half (real device nodes, ioctls and a shared mapping); the outside half
// reads the stand-in's journal and files afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "NetNamespaces.h"
#include "WaitFor.h"
#include "bridge/BridgeIoctl.h"
#include "bridge/SyncMemDrv.h"
#include "StandinCard.h"
#include "StandinRun.h"
#include "testbed/driver/DriverStandin.h"
#include "testbed/emulator/TargetEmulator.h"
#include "testbed/StandinPriority.h"
#include "testbed/player/CardPlayer.h"
#include "testbed/player/CounterCheck.h"
#include "testbed/player/Sources.h"

using namespace QUORVIN;

using namespace standin;

namespace {

// ---- the inside halves (run only under the stand-in)

class CardLinkInside : public StandinCard {
protected:
    CardLinkInside() : StandinCard(true) {}
};

TEST_F(CardLinkInside, OpenNotifyClose)
{
    NotifyNode node;
    ASSERT_TRUE(node.openMem(memNo, std::string(100, 'T'), "Sink", -1, 0));
    EXPECT_EQ(node.getMemNo(), 0);
    // The header sits after the default ring, as a second mapping of the node shows.
    const int fd = ::open(bridgeCardNode(0).c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* m = ::mmap(nullptr, bridgeMappingBytes(32, 38400), PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(m, MAP_FAILED);
    const auto* header = reinterpret_cast<const BridgeMemHeader*>(static_cast<uint8_t*>(m) + 1228800);
    EXPECT_EQ(std::string(header->name1), std::string(63, 'T'));
    EXPECT_EQ(loadField(header->hostStatus), QUORVIN_BR_STATUS_OPEN);
    for (int i = 0; i < 10; ++i) {
        node.notify();
    }
    // Taken by the notify thread (its request then goes out before close ends it).
    ASSERT_TRUE(testwait::waitFor([&] { return !node.pending(); }));
    node.close();
    EXPECT_EQ(loadField(header->hostStatus), QUORVIN_BR_STATUS_CLOSED);
    node.close();  // nothing the second time
    ::munmap(m, bridgeMappingBytes(32, 38400));
    ::close(fd);
}

TEST_F(CardLinkInside, RefusedNotifyFailsTheNode)
{
    testlog::start(3);
    NotifyNode node;
    ASSERT_TRUE(node.openMem(memNo, "Target", "Sink", -1, 0));
    EXPECT_TRUE(node.work());
    node.notify();
    ASSERT_TRUE(testwait::waitFor([&] { return node.linkFailed(); }));
    EXPECT_FALSE(node.work());
    node.notify();  // nothing more is sent
    EXPECT_EQ(testlog::startingWith("Error QUORVIN_BR_NOTIFY").size(), 1U);
    node.close();
}

TEST_F(CardLinkInside, MissingCardNodeFailsTheOpen)
{
    NotifyNode node;
    EXPECT_FALSE(node.openMem(7, "Target", "Sink", -1, 0));
    node.close();
}

// A counter pattern played into the card reaches the emulated sink through
// the card link and the stream, every frame once and in order after the mute
// pre-roll; a volume the player sets on the card reaches the sink.
TEST_F(CardLinkInside, CounterPlaysThroughToTheSink)
{
    testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
    testbed::TargetEmulator emulator;
    ASSERT_TRUE(emulator.start(config));
    NotifyNode node;
    ASSERT_TRUE(node.open(1, TIVRA::Clock(10 * TIVRA::Clock::MS), 0, "VUVO VAZA", ~0UL, -1, 0, 0));
    Find::StatusSort chain;
    Find::StatusSortSt entry;
    entry.sinkAddress = emulator.sinkAddress(0);
    entry.head = true;
    entry.tail = true;
    chain.push_back(entry);
    ASSERT_TRUE(node.setSink(emulator.sinkAddress(0), chain, TIVRA::Clock(200 * TIVRA::Clock::MS), false));
    ASSERT_TRUE(node.openMem(memNo, "Emulated", "Output 0", -1, 0));

    // The player maps the card node as the driver's side of the same pages.
    const int fd = ::open(bridgeCardNode(memNo).c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const uint64_t bytes = bridgeMappingBytes(32, 38400);
    void* m = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(m, MAP_FAILED);
    testbed::CardPlayer player(static_cast<uint8_t*>(m), bridgeRingBytes(32, 38400));
    player.setLog([](const char*) {});
    constexpr uint64_t kFrames = 48000;  // one second
    testbed::CounterSource counter(QUORVIN_BR_FORMAT_PCM16, 2, kFrames);
    testbed::PlayerOptions options;
    options.format = QUORVIN_BR_FORMAT_PCM16;
    options.rate = 48000;
    options.channels = 2;
    options.volume = 5001;
    options.volumeAfter = 4;
    std::atomic<bool> done{false};
    int result = -1;
    // The application's feeder in a real-time class, as a player is: a busy
    // machine must not starve the ring (the stand-ins' priority, below the
    // node's own workers).
    std::thread play([&] {
        testbed::becomeStandinRealtime();
        result = player.play(&counter, options);
        done = true;
    });
    // The main loop's passes, as the daemon makes them.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool ok = true;
    while (!done && std::chrono::steady_clock::now() < end) {
        ok = ok && node.work();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!done) {
        player.requestStop();
    }
    play.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(result, testbed::PLAY_OK);
    node.close();
    ::munmap(m, bytes);
    ::close(fd);

    ASSERT_TRUE(emulator.waitForStreamEnd(0, std::chrono::seconds(5)));
    const auto report = emulator.streamReport(0);
    ASSERT_TRUE(report);
    const testbed::CounterCheck check =
        testbed::checkCounter(report->audio.data(), report->audio.size(), QUORVIN_BR_FORMAT_PCM16, 2);
    EXPECT_TRUE(check.clean()) << check.describe();
    EXPECT_EQ(check.firstIndex, 0U) << check.describe();
    EXPECT_GE(check.highestIndex + 1, kFrames) << check.describe();
    EXPECT_EQ(static_cast<int16_t>(emulator.state(0).controls[1].value), -3000);
}

// ---- the outside halves

TEST(CardLink, OpenAttachWakeAndNotifyReachTheDriver)
{
    std::vector<testbed::JournalLine> journal;
    ASSERT_NO_FATAL_FAILURE(runForJournal("CardLinkInside.OpenNotifyClose", journal));
    ASSERT_GE(journal.size(), 5U);
    EXPECT_EQ(journal[0].request, "INIT");
    EXPECT_EQ(journal[1].request, "CREATE");
    EXPECT_EQ(journal[1].arg, 1228800U);
    EXPECT_EQ(journal[1].result, 0);
    // The first wake-up, showing OPEN, comes before the attach.
    EXPECT_EQ(journal[2].request, "WAKEUP");
    EXPECT_EQ(journal[2].hostStatus, QUORVIN_BR_STATUS_OPEN);
    EXPECT_EQ(journal[3].request, "ATTACH");
    EXPECT_EQ(journal[3].arg, 1U);
    const size_t notifies = count(journal, "NOTIFY", 0);
    EXPECT_GE(notifies, 1U);
    EXPECT_LE(notifies, 10U);
    // Closing shows CLOSED with a last wake-up, then the card goes.
    ASSERT_GE(journal.size(), 2U);
    const auto& last = journal[journal.size() - 2];
    EXPECT_EQ(last.request, "WAKEUP");
    EXPECT_EQ(last.hostStatus, QUORVIN_BR_STATUS_CLOSED);
    EXPECT_EQ(journal.back().request, "REMOVE");
    EXPECT_EQ(count(journal, "WAKEUP", 0), 2U);
}

TEST(CardLink, RefusedNotifyIsLoggedOnceAndFailsTheNextTurn)
{
    std::vector<testbed::JournalLine> journal;
    ASSERT_NO_FATAL_FAILURE(
        runForJournal("CardLinkInside.RefusedNotifyFailsTheNode", journal, {"--notify-fail-after", "0"}));
    EXPECT_EQ(count(journal, "NOTIFY", 0), 1U);
}

TEST(CardLink, CounterPlaysThroughToTheSink)
{
    std::vector<testbed::JournalLine> journal;
    ASSERT_NO_FATAL_FAILURE(runForJournal("CardLinkInside.CounterPlaysThroughToTheSink", journal));
    EXPECT_GE(count(journal, "NOTIFY", 0), 1U);
    EXPECT_EQ(count(journal, "ATTACH", 0), 1U);
}

TEST(CardLink, MissingCardNodeIsRefused)
{
    StandinDir dir;
    ASSERT_FALSE(dir.path.empty());
    ASSERT_EQ(runInside(dir, "CardLinkInside.MissingCardNodeFailsTheOpen"), 0);
}

}  // namespace
