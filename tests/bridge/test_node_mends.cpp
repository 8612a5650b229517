// The node table's and the card link's guards under the driver stand-in
// (each inside half in a network of its own, against emulated targets on ::1
// at the well-known port), and the period copy's ring snapshot on a card in
// ordinary memory.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "MemoryCard.h"
#include "ScanFixture.h"
#include "StandinCard.h"
#include "StandinRun.h"
#include "WaitFor.h"
#include "bridge/BridgeIoctl.h"
#include "bridge/QuorvinVideRododa.h"
#include "testbed/driver/DriverStandin.h"

using namespace QUORVIN;
using namespace standin;
using namespace memorycard;
using testwait::waitFor;

namespace {

// The stand-in's directory, as seen from inside: where its nodes point.
std::string standinDirectory()
{
    std::error_code ignored;
    return std::filesystem::read_symlink(BRIDGE_CONTROL_NODE, ignored).parent_path().string();
}

// ---- the scan's set-ups (inside halves)

class ScanMendsInside : public ScanFixture {
protected:
    ScanMendsInside() : ScanFixture(1) {}
    void TearDown() override
    {
        bridge.reset();
        for (int fd : ports) {
            ::close(fd);
        }
    }
    static bool writeFile(const std::string& path, const std::string& text)
    {
        std::ofstream out(path);
        out << text;
        out.flush();
        return static_cast<bool>(out);
    }
    // The network's whole ephemeral range is one port, which this test
    // holds: no socket that asks for any port can bind.
    void takeEveryPort()
    {
        ASSERT_TRUE(writeFile(kPortRange, "61000 61000"));
        const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        ports.push_back(fd);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(61000);
        a.sin6_addr = in6addr_any;
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
    }
    void giveThePortsBack()
    {
        for (int fd : ports) {
            ::close(fd);
        }
        ports.clear();
        ASSERT_TRUE(writeFile(kPortRange, "32768 60999"));
    }

    static constexpr const char* kPortRange = "/proc/sys/net/ipv4/ip_local_port_range";
    std::vector<int> ports;
};

// A node whose sink has no entry in the table (the state a rebuild in the
// scan that found it lost can leave): the next scan takes the sink for a new
// one, and must not set up a second stream, card and notify thread over the
// node that is there.
TEST_F(ScanMendsInside, NodeIsNeverSetUpOverItself)
{
    startBridge();
    ASSERT_TRUE(bridge->scan());
    ASSERT_EQ(bridge->aliveNodes.size(), 1U);
    const QuorvinVideRododa::AliveNodeSt* node = bridge->aliveNodes.begin()->second.get();
    const int card = node->getMemNo();
    bridge->targets.clear();
    ASSERT_TRUE(bridge->scan());
    ASSERT_EQ(bridge->aliveNodes.size(), 1U);
    EXPECT_EQ(bridge->aliveNodes.begin()->second.get(), node);
    EXPECT_EQ(node->getMemNo(), card);
    EXPECT_EQ(testlog::startingWith("add node:").size(), 1U);
    EXPECT_EQ(testlog::startingWith("Add Bridge").size(), 1U);
}

// A stream that cannot be opened ends the scan's set-ups: that sink and the
// ones after it wait, and the next scan, which finds them new, builds them.
TEST_F(ScanMendsInside, StreamOpenFailureLeavesTheSinksToTheNextScan)
{
    config = testbed::TargetConfig::withSinks(2);
    config.discovery.port = TARGET_PORT;
    startBridge();
    ASSERT_NO_FATAL_FAILURE(takeEveryPort());
    ASSERT_TRUE(bridge->scan());
    EXPECT_TRUE(bridge->aliveNodes.empty());
    EXPECT_EQ(testlog::count("Socket Err"), 1U);
    EXPECT_EQ(testlog::startingWith("TargetName : ").size(), 1U);  // the second was not tried
    ASSERT_NO_FATAL_FAILURE(giveThePortsBack());
    ASSERT_TRUE(bridge->scan());
    EXPECT_EQ(bridge->aliveNodes.size(), 2U);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(bridge->aliveNodes.count(emulator.sinkAddress(i)), 1U) << i;
    }
}

// A card whose node cannot be opened is given back to the driver, and the
// next scan builds the sink again, on the same card number.
TEST_F(ScanMendsInside, UnopenableCardIsRemovedAndTheSinkBuiltAgain)
{
    startBridge();
    ASSERT_TRUE(bridge->scan());
    EXPECT_TRUE(bridge->aliveNodes.empty());
    EXPECT_EQ(testlog::count("Add Bridge  0"), 1U);
    ASSERT_TRUE(bridge->scan());
    ASSERT_EQ(bridge->aliveNodes.size(), 1U);
    EXPECT_EQ(bridge->aliveNodes.begin()->second->getMemNo(), 0);
    EXPECT_EQ(testlog::count("add node:" + address(0) + " 0"), 1U);
}

// ---- the notify thread (inside half)

class CardLinkMendsInside : public StandinCard {
protected:
    CardLinkMendsInside() : StandinCard(false) {}
};

// While the driver takes its time over a notify request, the next notify
// (the buffer worker's, after its next copy) does not wait for it: it is
// recorded and sent once the driver has answered.
TEST_F(CardLinkMendsInside, NotifyDoesNotWaitForTheDriversAnswer)
{
    NotifyNode node;
    ASSERT_TRUE(node.openMem(memNo, "Target", "Sink", -1, 0));
    const std::string held = standinDirectory() + "/" + testbed::kDriverNotifyHoldFile;
    node.notify();
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(held); }));
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        node.notify();
        returned = true;
    });
    const bool prompt = waitFor([&] { return returned.load(); }, std::chrono::seconds(5));
    const bool stillHeld = std::filesystem::exists(held);
    std::filesystem::remove(held);
    worker.join();
    EXPECT_TRUE(prompt);
    EXPECT_TRUE(stillHeld);
    ASSERT_TRUE(waitFor([&] { return !node.pending(); }));
    node.close();
}

// ---- the period copy's ring (a card in ordinary memory, this test in the
// driver's place)

class CardRingSnapshot : public MemoryCardTest {
protected:
    void SetUp() override { testlog::start(3); }
};

// What the driver writes after the stream has started does not reach the
// period copy: it goes on round the ring it was started with, a period at a
// time, whatever ring and period count the header shows now.
TEST_F(CardRingSnapshot, RingRewrittenAfterTheConnectIsNotUsed)
{
    ASSERT_NO_FATAL_FAILURE(open());
    request(QUORVIN_BR_FORMAT_PCM16, 0x6, 0x2, 49152, 8, QUORVIN_BR_REQUEST_INUSE | QUORVIN_BR_REQUEST_STREAM);
    ASSERT_TRUE(node->work());
    ASSERT_EQ(status(), QUORVIN_BR_STATUS_OPEN | QUORVIN_BR_STATUS_CONNECTED);
    // Another ring, of other periods, and then none at all.
    storeField(card().ringBytes, uint32_t{36864});
    storeField(card().periodCount, uint32_t{3});
    storeField(card().driverRequest,
               uint32_t{QUORVIN_BR_REQUEST_INUSE | QUORVIN_BR_REQUEST_STREAM | QUORVIN_BR_REQUEST_RUN});
    ASSERT_TRUE(node->work());
    ASSERT_TRUE(waitFor([&] { return node->notifies().size() >= 6; }));
    storeField(card().ringBytes, uint32_t{0});
    storeField(card().periodCount, uint32_t{0});
    ASSERT_TRUE(waitFor([&] { return node->notifies().size() >= 12; }));
    storeField(card().driverRequest, uint32_t{QUORVIN_BR_REQUEST_INUSE});
    ASSERT_TRUE(node->work());
    const auto positions = node->notifies();
    // The first is the reset before the connect; then one period of 6144
    // bytes per copy, back to 0 after the eighth.
    ASSERT_EQ(positions[0], 0U);
    for (size_t i = 1; i < positions.size(); ++i) {
        EXPECT_EQ(positions[i], (i * 6144) % 49152) << i;
    }
    node->close();
    EXPECT_TRUE(emulator.waitForStreamEnd(0, std::chrono::seconds(5)));
}

// ---- outside halves

TEST(Scan, NodeIsNeverSetUpOverItself)
{
    std::vector<testbed::JournalLine> journal;
    ASSERT_NO_FATAL_FAILURE(runForJournal("ScanMendsInside.NodeIsNeverSetUpOverItself", journal));
    EXPECT_EQ(count(journal, "CREATE"), 1U);
    EXPECT_EQ(count(journal, "ATTACH"), 1U);
    // The bridge's end: the card's removal and the final request.
    EXPECT_EQ(count(journal, "REMOVE"), 2U);
}

TEST(Scan, StreamOpenFailureLeavesTheSinksToTheNextScan)
{
    std::vector<testbed::JournalLine> journal;
    ASSERT_NO_FATAL_FAILURE(runForJournal("ScanMendsInside.StreamOpenFailureLeavesTheSinksToTheNextScan", journal));
    EXPECT_EQ(count(journal, "CREATE"), 2U);
    EXPECT_EQ(count(journal, "ATTACH"), 2U);
}

TEST(Scan, UnopenableCardIsRemovedAndTheSinkBuiltAgain)
{
    std::vector<testbed::JournalLine> journal;
    ASSERT_NO_FATAL_FAILURE(
        runForJournal("ScanMendsInside.UnopenableCardIsRemovedAndTheSinkBuiltAgain", journal, {"--no-card-node", "1"}));
    ASSERT_GE(journal.size(), 4U);
    EXPECT_EQ(journal[1].request, "CREATE");
    EXPECT_EQ(journal[1].result, 0);
    // Removed before the next scan's CREATE.
    EXPECT_EQ(journal[2].request, "REMOVE");
    EXPECT_EQ(journal[2].card, 0);
    EXPECT_EQ(journal[3].request, "CREATE");
    EXPECT_EQ(journal[3].result, 0);
    EXPECT_EQ(count(journal, "ATTACH", 0), 1U);
}

TEST(CardLink, NotifyDoesNotWaitForTheDriversAnswer)
{
    std::vector<testbed::JournalLine> journal;
    ASSERT_NO_FATAL_FAILURE(
        runForJournal("CardLinkMendsInside.NotifyDoesNotWaitForTheDriversAnswer", journal, {"--hold-notify"}));
    EXPECT_EQ(count(journal, "NOTIFY", 0), 2U);
}

}  // namespace
