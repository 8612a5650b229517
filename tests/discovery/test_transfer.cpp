// The acknowledged upload against the target emulator on ::1: what arrives
// in the area, what the host sent to get it there, and how it gives up.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "discovery/Find.h"
#include "foundation/CRC16.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace QUORVIN;
using TIVRA::IPAddress;
using testbed::Behaviour;
using testbed::TransferArea;
using testbed::TransferConfig;

namespace {

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 0x12345678;
    for (uint8_t& b : v) {
        x = x * 1103515245U + 12345U;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

uint16_t crcOf(const std::vector<uint8_t>& v)
{
    TIVRA::CRC16 c;
    c.update(TIVRA::BufferCS_const{v.data(), v.size()});
    return c.get();
}

TransferConfig oneArea(uint32_t blockBytes, uint32_t blocksPerGroup, uint32_t groupCount, uint16_t windowLimit = 0xFFFF)
{
    TransferConfig c;
    c.areas = {TransferArea{1024, 2, 2}, TransferArea{blockBytes, blocksPerGroup, groupCount}};
    c.windowLimit = windowLimit;
    return c;
}

// One block as the target received it.
struct Sent {
    uint16_t area;  // with the burst mark
    uint16_t counter;
    uint16_t index;
    uint16_t group;
    size_t bytes;
};

class Upload : public ::testing::Test {
protected:
    void SetUp() override { testlog::start(7); }

    void start(const TransferConfig& transfer, size_t recordLimit = 0)
    {
        testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
        config.recordLimit = recordLimit;
        config.discovery.port = 0;
        config.discovery.transfer = transfer;
        ASSERT_TRUE(target.start(config));
        to = *target.discoveryAddress();
        Find::Setting setting;
        setting.acceptId = 0;
        setting.hostName = "bridge";
        setting.useLoopback = true;
        find = std::make_unique<Find>(setting);
        ASSERT_TRUE(find->open());
    }

    bool upload(const std::vector<uint8_t>& data, unsigned long window = 0, int area = 1)
    {
        return find->Transfer(to, area, TIVRA::BufferCS_const{data.data(), data.size()}, window,
                              [](unsigned short, unsigned short) {});
    }

    std::vector<Sent> blocks() const
    {
        std::vector<Sent> out;
        for (const testbed::Request& r : target.discoveryRequests()) {
            if (r.valid && r.message == TRANSFERDATA_REQ) {
                out.push_back(Sent{r.option0, r.option1, r.option2, r.option3, r.payload.size()});
            }
        }
        return out;
    }

    size_t requests(MessageID id) const
    {
        size_t n = 0;
        for (const testbed::Request& r : target.discoveryRequests()) {
            n += r.valid && r.message == id ? 1 : 0;
        }
        return n;
    }

    // What the host logged last, to tell why an upload failed.
    static std::string lastLines()
    {
        std::vector<std::string> all = testlog::startingWith("");
        std::string out;
        for (size_t i = all.size() > 8 ? all.size() - 8 : 0; i < all.size(); ++i) {
            out += all[i] + "\n";
        }
        return out;
    }

    testbed::TransferAreaState area(uint16_t index = 1) const { return target.discoveryState().transfer.areas[index]; }
    std::vector<uint8_t> stored(uint16_t index = 1) const
    {
        return testbed::storedData(target.discoveryState().transfer, index);
    }

    testbed::TargetEmulator target;
    std::unique_ptr<Find> find;
    IPAddress to;
};

TEST_F(Upload, ArrivesWholeThroughOnePercentLoss)
{
    TransferConfig c = oneArea(1024, 64, 8, 16384);
    c.dropEvery = 100;
    start(c);
    const std::vector<uint8_t> data = pattern(300 * 1024 + 100);
    ASSERT_TRUE(upload(data)) << lastLines();
    EXPECT_EQ(stored(), data);
    EXPECT_EQ(area().finishes, 1U);
    EXPECT_EQ(area().finishCrc, crcOf(data));
    EXPECT_EQ(testlog::count("compleat Transfer "), 1U);
    EXPECT_EQ(testlog::count("start Transfer " + std::to_string(data.size()) + " 16384"), 1U);
    // Blocks 99 and 199 were lost once: each burst went again from the last block in order.
    // Block 99 is group 1, index 35, in the burst of indexes 32-47.
    EXPECT_EQ(testlog::count("resend 1 34 98 data=1024 packet=1040"), 1U);
    EXPECT_EQ(testlog::count("resend 1 35 99 data=1024 packet=1040"), 1U);
    EXPECT_TRUE(testlog::startingWith("resend 1 33 ").empty());
    EXPECT_EQ(testlog::count("resend 3 7 199 data=1024 packet=1040"), 1U);
}

TEST_F(Upload, ReportsAWrongCrc)
{
    TransferConfig c = oneArea(256, 8, 4);
    c.corruptBlock = 5;
    start(c);
    const std::vector<uint8_t> data = pattern(5000);
    EXPECT_FALSE(upload(data));
    EXPECT_EQ(testlog::count("TransferStrp error "), 1U);
    EXPECT_EQ(testlog::count("compleat Transfer "), 0U);
    EXPECT_EQ(area().finishCrc, crcOf(data));
}

struct SilentCase {
    const char* name;
    uint32_t silent;
    bool ok;
};

void PrintTo(const SilentCase& c, std::ostream* os)
{
    *os << c.name;
}

class UploadSilentAcks : public Upload, public ::testing::WithParamInterface<SilentCase> {};

// A burst goes out at most 11 times.
TEST_P(UploadSilentAcks, GivesUpAfterTheEleventhSending)
{
    TransferConfig c = oneArea(256, 4, 2);
    c.silentAcks = GetParam().silent;
    start(c);
    const std::vector<uint8_t> data = pattern(1000);
    EXPECT_EQ(upload(data), GetParam().ok);
    EXPECT_EQ(testlog::count("Transfer error 11"), GetParam().ok ? 0U : 1U);
    size_t marked = 0;
    for (const Sent& s : blocks()) {
        marked += s.counter == 3 && (s.area & 0x8000) != 0 ? 1 : 0;
    }
    EXPECT_EQ(marked, GetParam().ok ? GetParam().silent + 1 : 11U);
    EXPECT_EQ(requests(TRANSFERFINISH_REQ), GetParam().ok ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(Transfer, UploadSilentAcks,
                         ::testing::Values(SilentCase{"Eleven", 11, false}, SilentCase{"Ten", 10, true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SetUpCase {
    const char* name;
    TransferConfig config;
    int area;
    size_t bytes;
    bool ok;
    size_t geometryAsks;  // TRANSFER_REQ sent
};

TransferConfig withAreaCount(uint16_t count)
{
    TransferConfig c = oneArea(64, 4, 4);
    c.areaCount = count;
    return c;
}

TransferConfig wrongAreaIn(MessageID id)
{
    TransferConfig c = oneArea(64, 4, 4);
    c.wrongArea = id;
    return c;
}

void PrintTo(const SetUpCase& c, std::ostream* os)
{
    *os << c.name;
}

class UploadSetUp : public Upload, public ::testing::WithParamInterface<SetUpCase> {};

TEST_P(UploadSetUp, RefusesBeforeAnyBlock)
{
    const SetUpCase& c = GetParam();
    start(c.config);
    EXPECT_EQ(upload(pattern(c.bytes), 0, c.area), c.ok);
    EXPECT_EQ(requests(TRANSFER_REQ), c.geometryAsks);
    if (!c.ok) {
        EXPECT_EQ(requests(TRANSFERDATA_REQ), 0U);
        EXPECT_EQ(requests(TRANSFERFINISH_REQ), 0U);
        EXPECT_EQ(testlog::startingWith("start Transfer ").size(), 0U);
    } else {
        EXPECT_EQ(stored(static_cast<uint16_t>(c.area)), pattern(c.bytes));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, UploadSetUp,
    ::testing::Values(SetUpCase{"NoAreas", withAreaCount(0), 0, 10, false, 1},
                      SetUpCase{"AreaIndexAtTheCount", withAreaCount(1), 1, 10, false, 1},
                      SetUpCase{"AreaIndexBelowTheCount", withAreaCount(2), 1, 10, true, 2},
                      SetUpCase{"AboveTheCapacity", oneArea(64, 4, 4), 1, 64 * 16 + 1, false, 2},
                      SetUpCase{"ExactlyTheCapacity", oneArea(64, 4, 4), 1, 64 * 16, true, 2},
                      // Its capacity is 65504 * 2^32 bytes, 0 in 32 bits.
                      SetUpCase{"AHugeArea", oneArea(65504, 65536, 65536), 1, 10, true, 2},
                      // The largest payload one IPv6 datagram carries with the header.
                      SetUpCase{"BlockAboveTheLargestPayload", oneArea(65505, 2, 1), 1, 65510, false, 2},
                      SetUpCase{"BlockOfTheLargestPayload", oneArea(65504, 2, 1), 1, 65510, true, 2},
                      SetUpCase{"GeometryOfAnotherArea", wrongAreaIn(TRANSFER_REQ), 1, 10, false, 2}),
    [](const auto& info) { return std::string(info.param.name); });

struct WindowCase {
    const char* name;
    uint16_t windowLimit;
    unsigned long window;
    std::vector<uint16_t> marked;  // counters that ended a burst
};

void PrintTo(const WindowCase& c, std::ostream* os)
{
    *os << c.name;
}

class UploadWindow : public Upload, public ::testing::WithParamInterface<WindowCase> {};

// 12 blocks of 100 bytes (the last 50) in groups of 5.
TEST_P(UploadWindow, EndsBurstsWhereTheBudgetRunsOut)
{
    start(oneArea(100, 5, 4, GetParam().windowLimit));
    const std::vector<uint8_t> data = pattern(1150);
    ASSERT_TRUE(upload(data, GetParam().window));
    std::vector<uint16_t> marked;
    uint16_t counter = 0;
    for (const Sent& s : blocks()) {
        EXPECT_EQ(s.counter, counter++);  // nothing sent again
        EXPECT_EQ(s.area & 0x7FFF, 2);
        EXPECT_EQ(s.group, s.counter / 5);
        EXPECT_EQ(s.index, s.counter % 5);
        if ((s.area & 0x8000) != 0) {
            marked.push_back(s.counter);
        }
    }
    EXPECT_EQ(marked, GetParam().marked);
    EXPECT_EQ(stored(), data);
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, UploadWindow,
    ::testing::Values(WindowCase{"NoLimitAnywhere", 0xFFFF, 0, {4, 9, 11}},
                      WindowCase{"TheCallersWindow", 0xFFFF, 250, {2, 4, 7, 9, 11}},
                      WindowCase{"TheTargetsLimit", 300, 0, {2, 4, 7, 9, 11}},
                      WindowCase{"TheTargetsLimitBelowTheCallers", 300, 5000, {2, 4, 7, 9, 11}},
                      WindowCase{"TheCallersBelowTheLimit", 300, 200, {1, 3, 4, 6, 8, 9, 11}},
                      WindowCase{"SmallerThanABlock", 0xFFFF, 60, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
                      WindowCase{"TargetLimitZeroIsNoLimit", 0, 0, {4, 9, 11}}),
    [](const auto& info) { return std::string(info.param.name); });

// Numbers (group * blocksPerGroup + index) of the blocks sent more than
// once, in the order of their second sending.
std::vector<uint32_t> resent(const std::vector<Sent>& sent, uint32_t blocksPerGroup = 10)
{
    std::map<uint32_t, int> seen;
    std::vector<uint32_t> out;
    for (const Sent& s : sent) {
        const uint32_t number = s.group * blocksPerGroup + s.index;
        if (++seen[number] == 2) {
            out.push_back(number);
        }
    }
    return out;
}

TEST_F(Upload, ResendsFromTheAcknowledgedCounter)
{
    TransferConfig c = oneArea(100, 10, 2);
    c.dropBlocks = {6};
    start(c);
    const std::vector<uint8_t> data = pattern(1000);
    ASSERT_TRUE(upload(data)) << lastLines();
    EXPECT_EQ(resent(blocks()), (std::vector<uint32_t>{5, 6, 7, 8, 9}));
    EXPECT_EQ(testlog::count("Retry Detect err 9 5"), 1U);
    EXPECT_EQ(testlog::count("resend 10"), 1U);
    EXPECT_EQ(stored(), data);
}

TEST_F(Upload, ResendsTheWholeBurstWhenNoAcknowledgementCame)
{
    TransferConfig c = oneArea(100, 10, 2);
    c.dropMarkers = 1;
    start(c);
    const std::vector<uint8_t> data = pattern(1000);
    ASSERT_TRUE(upload(data)) << lastLines();
    EXPECT_EQ(resent(blocks()), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(stored(), data);
}

// A later burst whose first blocks are lost: the acknowledgement names the
// burst before, outside this one, and all of it goes again.
TEST_F(Upload, ResendsTheWholeBurstForAnAcknowledgementBeforeIt)
{
    TransferConfig c = oneArea(100, 10, 2);
    c.dropBlocks = {10, 11};
    start(c);
    const std::vector<uint8_t> data = pattern(2000);
    ASSERT_TRUE(upload(data)) << lastLines();
    EXPECT_EQ(resent(blocks()), (std::vector<uint32_t>{10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
    EXPECT_EQ(stored(), data);
}

// Without a limit a loss still shrinks the bursts: from the size of the one
// that had to go again.
TEST_F(Upload, ShrinksAnUnlimitedWindowFromTheBurstResent)
{
    TransferConfig c = oneArea(200, 10, 2);
    c.dropBlocks = {3};
    start(c);
    const std::vector<uint8_t> data = pattern(4000);
    ASSERT_TRUE(upload(data)) << lastLines();
    std::vector<uint16_t> marked;
    for (const Sent& s : blocks()) {
        if ((s.area & 0x8000) != 0 && s.group == 1) {
            marked.push_back(s.counter);
        }
    }
    EXPECT_EQ(marked, (std::vector<uint16_t>{14, 19}));  // 2000 bytes less 1000
    EXPECT_EQ(stored(), data);
}

TEST_F(Upload, TakesAnAcknowledgementOnePastTheBurst)
{
    TransferConfig c = oneArea(100, 10, 2);
    c.ackPlusOne = true;
    start(c);
    const std::vector<uint8_t> data = pattern(2000);
    ASSERT_TRUE(upload(data)) << lastLines();
    EXPECT_EQ(testlog::count("Retry Redy Pass 9 10"), 1U);
    EXPECT_EQ(testlog::count("Retry Redy Pass 19 20"), 1U);
    EXPECT_TRUE(resent(blocks()).empty());
}

struct AckFaultCase {
    const char* name;
    MessageID on;
    std::optional<Behaviour::Mode> mode;  // of every request `on`
    std::optional<MessageID> wrongArea;
    std::string line;
};

void PrintTo(const AckFaultCase& c, std::ostream* os)
{
    *os << c.name;
}

class UploadAckFault : public Upload, public ::testing::WithParamInterface<AckFaultCase> {};

TEST_P(UploadAckFault, EndsTheUpload)
{
    TransferConfig c = oneArea(100, 10, 2);
    c.wrongArea = GetParam().wrongArea;
    start(c);
    if (GetParam().mode) {
        Behaviour b;
        b.mode = *GetParam().mode;
        target.setDiscoveryBehaviour(GetParam().on, b);
    }
    EXPECT_FALSE(upload(pattern(1000)));
    EXPECT_EQ(testlog::count(GetParam().line), 1U);
    EXPECT_EQ(testlog::count("compleat Transfer "), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, UploadAckFault,
    ::testing::Values(
        AckFaultCase{"Refused", TRANSFERDATA_REQ, Behaviour::REFUSE, std::nullopt, "Transfer NAK error "},
        AckFaultCase{"AnotherArea", TRANSFERDATA_REQ, std::nullopt, TRANSFERDATA_REQ, "Transfer NO error "},
        AckFaultCase{"FinishOfAnotherArea", TRANSFERFINISH_REQ, std::nullopt, TRANSFERFINISH_REQ,
                     "TransferFinish error "},
        AckFaultCase{"FinishRefused", TRANSFERFINISH_REQ, Behaviour::REFUSE, std::nullopt, "TransferFinish error "},
        AckFaultCase{"FinishSilent", TRANSFERFINISH_REQ, Behaviour::SILENT, std::nullopt, "TransferFinish error "}),
    [](const auto& info) { return std::string(info.param.name); });

// Only the target the upload goes to can acknowledge it.
TEST_F(Upload, PassesOverAnAcknowledgementFromAnotherPort)
{
    start(oneArea(100, 10, 2));
    Behaviour b;
    b.mode = Behaviour::OTHER_PORT;
    b.nth = 1;
    target.setDiscoveryBehaviour(TRANSFERDATA_REQ, b);
    const std::vector<uint8_t> data = pattern(100);  // one block, its own burst
    ASSERT_TRUE(upload(data)) << lastLines();
    EXPECT_EQ(blocks().size(), 2U);
    EXPECT_EQ(testlog::count("resend 1"), 1U);
    EXPECT_EQ(stored(), data);
}

// The drain before a resend ends after a quiet spell; a sender that never
// falls quiet must not hold it. The flood runs until the upload is over, or
// gives up after 20 s.
TEST_F(Upload, DrainEndsUnderAnEndlessFlood)
{
    TransferConfig c = oneArea(100, 10, 2);
    c.silentAcks = 1;
    start(c);
    std::atomic<bool> done{false};
    std::atomic<bool> outlasted{false};
    std::thread flood([&] {
        if (!target.waitForDiscoveryRequests(TRANSFER_REQ, 1, std::chrono::seconds(10))) {
            return;
        }
        sockaddr_in6 host{};
        host.sin6_family = AF_INET6;
        host.sin6_addr = in6addr_loopback;
        host.sin6_port = htons(target.discoveryRequests().front().source.getPort());
        const int s = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const uint8_t junk[16] = {1, 2, 3};
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done.load()) {
            if (std::chrono::steady_clock::now() > end) {
                outlasted = true;
                break;
            }
            (void)::sendto(s, junk, sizeof junk, 0, reinterpret_cast<const sockaddr*>(&host), sizeof host);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ::close(s);
    });
    const std::vector<uint8_t> data = pattern(1000);
    const bool ok = upload(data);
    done = true;
    flood.join();
    EXPECT_TRUE(ok) << lastLines();
    EXPECT_FALSE(outlasted.load());
    EXPECT_EQ(testlog::count("resend 10"), 1U);
}

TEST_F(Upload, OfNothingSendsTheSetUpAndTheFinish)
{
    start(oneArea(100, 10, 2));
    ASSERT_TRUE(upload({}));
    ASSERT_EQ(requests(TRANSFER_REQ), 2U);
    EXPECT_EQ(requests(TRANSFERDATA_REQ), 0U);
    ASSERT_EQ(requests(TRANSFERFINISH_REQ), 1U);
    for (const testbed::Request& r : target.discoveryRequests()) {
        if (r.message == TRANSFERFINISH_REQ) {
            EXPECT_EQ(r.option0, 2);
            EXPECT_EQ(r.option1, 0x0000);
            EXPECT_EQ(r.option2, 0xFFFF);
            EXPECT_EQ(r.option3, 0);
        }
    }
}

TEST_F(Upload, DefaultReporterLogsEachGroupAtDebug)
{
    start(oneArea(100, 3, 4));
    const std::vector<uint8_t> data = pattern(1100);
    ASSERT_TRUE(find->Transfer(to, 1, TIVRA::BufferCS_const{data.data(), data.size()}, 0));
    EXPECT_EQ(testlog::startingWith("Transfer "),
              (std::vector<std::string>{"Transfer 0/4", "Transfer 1/4", "Transfer 2/4", "Transfer 3/4"}));
    testlog::start(6);
    ASSERT_TRUE(find->Transfer(to, 1, TIVRA::BufferCS_const{data.data(), data.size()}, 0));
    EXPECT_TRUE(testlog::startingWith("Transfer ").empty());
}

TEST_F(Upload, FinishTakesTheResultOnlyFromAMatchingAnswer)
{
    TransferConfig c = oneArea(100, 10, 2);
    start(c);
    ASSERT_TRUE(upload(pattern(300)));
    unsigned short crc = crcOf(pattern(300));
    unsigned short result = 0xFFFF;
    EXPECT_TRUE(find->TransferFinish(to, 1, crc, result));
    EXPECT_EQ(result, 0xFFFF);
    crc = static_cast<unsigned short>(crc ^ 1);
    result = 0xFFFF;
    EXPECT_TRUE(find->TransferFinish(to, 1, crc, result));
    EXPECT_EQ(result, 0);
    c.wrongArea = TRANSFERFINISH_REQ;
    testbed::DiscoveryConfig d = target.discoveryConfig();
    d.transfer = c;
    target.setDiscoveryConfig(d);
    result = 0x1234;
    EXPECT_FALSE(find->TransferFinish(to, 1, crc, result));
    EXPECT_EQ(result, 0x1234);
}

// Past 65535 blocks the counter wraps inside a burst; the block lost just
// before the wrap is resent with all that follows it across the wrap.
class ExhaustiveUpload : public Upload {};

TEST_F(ExhaustiveUpload, CounterWrapResendsTheRightBlocks)
{
    TransferConfig c = oneArea(8, 40000, 2, 160);  // bursts of 20 blocks
    c.dropBlocks = {65534};
    // Every record kept would stall the target as its list grows; the
    // blocks of the burst across the wrap are counted here instead.
    start(c, 64);
    std::mutex mutex;
    std::map<uint32_t, int> sends;
    target.onRequest([&](const testbed::Request& r) {
        const uint32_t number = r.option3 * 40000U + r.option2;
        if (r.valid && r.message == TRANSFERDATA_REQ && number >= 65520 && number < 65540) {
            std::lock_guard<std::mutex> lock(mutex);
            ++sends[number];
        }
    });
    const std::vector<uint8_t> data = pattern(70000 * 8);
    ASSERT_TRUE(upload(data)) << lastLines();
    std::vector<uint32_t> again;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [number, count] : sends) {
            if (count > 1) {
                again.push_back(number);
            }
        }
    }
    // The burst of blocks 65520-65539, counters 65520 to 3.
    EXPECT_EQ(testlog::count("Retry Detect err 3 65533"), 1U);
    EXPECT_EQ(again, (std::vector<uint32_t>{65533, 65534, 65535, 65536, 65537, 65538, 65539}));
    EXPECT_EQ(stored(), data);
}

}  // namespace
