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
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FakeTarget.h"
#include "LogCapture.h"
#include "discovery/Find.h"
#include "foundation/CRC16.h"
#include "testbed/emulator/Answerers.h"
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

// What the host logged last, to tell why an upload failed.
std::string lastLogLines()
{
    std::vector<std::string> all = testlog::startingWith("");
    std::string out;
    for (size_t i = all.size() > 8 ? all.size() - 8 : 0; i < all.size(); ++i) {
        out += all[i] + "\n";
    }
    return out;
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

    static std::string lastLines() { return lastLogLines(); }

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
        AckFaultCase{"FinishSilent", TRANSFERFINISH_REQ, Behaviour::SILENT, std::nullopt, "TransferFinish error "},
        AckFaultCase{"FinishFromAnotherPort", TRANSFERFINISH_REQ, Behaviour::OTHER_PORT, std::nullopt,
                     "TransferFinish error "}),
    [](const auto& info) { return std::string(info.param.name); });

// A target may acknowledge from another of its ports: the upload goes on as
// if the acknowledgements came from `to`, and only the finish must.
TEST_F(Upload, TakesAcknowledgementsFromAnotherPort)
{
    start(oneArea(100, 10, 2));
    Behaviour b;
    b.mode = Behaviour::OTHER_PORT;
    target.setDiscoveryBehaviour(TRANSFERDATA_REQ, b);
    const std::vector<uint8_t> data = pattern(2000);
    ASSERT_TRUE(upload(data)) << lastLines();
    EXPECT_EQ(blocks().size(), 20U);  // none sent twice
    EXPECT_TRUE(testlog::startingWith("resend ").empty());
    EXPECT_EQ(stored(), data);
    EXPECT_EQ(testlog::count("compleat Transfer "), 1U);
}

struct StrayCase {
    const char* name;
    StatusID status;
    uint16_t area;  // as it travels, area + 1
};

void PrintTo(const StrayCase& c, std::ostream* os)
{
    *os << c.name;
}

class UploadStray : public Upload, public ::testing::WithParamInterface<StrayCase> {};

// What would end the upload from the target is passed over from a stranger:
// it arrives just before the target's acknowledgement of the first burst.
TEST_P(UploadStray, FromAnotherSenderIsPassedOver)
{
    start(oneArea(100, 10, 2));
    TIVRA::UDPV6 stranger;
    IPAddress local = fake::loopback();
    ASSERT_TRUE(stranger.open(TIVRA::Socket::UDP_V6) && stranger.bindV6(local));
    const std::vector<uint8_t> stray = fake::message(TRANSFERDATA_ANS, GetParam().status, GetParam().area, 9);
    std::atomic<int> strays{0};
    target.onRequest([&](const testbed::Request& r) {
        if (r.valid && r.message == TRANSFERDATA_REQ && (r.option0 & 0x8000) != 0 && strays == 0) {
            strays += stranger.sendToV6(TIVRA::BufferCS_const{stray.data(), stray.size()}, r.source, true) ? 1 : 0;
        }
    });
    const std::vector<uint8_t> data = pattern(2000);
    ASSERT_TRUE(upload(data)) << lastLines();
    EXPECT_EQ(strays.load(), 1);
    EXPECT_EQ(testlog::count("Transfer NAK error "), 0U);
    EXPECT_EQ(testlog::count("Transfer NO error "), 0U);
    EXPECT_EQ(stored(), data);
}

INSTANTIATE_TEST_SUITE_P(Transfer, UploadStray,
                         ::testing::Values(StrayCase{"Refusal", 0, 2}, StrayCase{"AnotherArea", STATUS_OK, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

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

// ---- the order of acknowledgements

// A scripted target with one area, whose receive buffer takes a whole burst
// of 32768 blocks, and whose acknowledgements go out twice, late or out of
// order by event rather than by time. Like the emulator it acknowledges the
// counter before the next one it lacks.
class AckTarget {
public:
    struct Plan {
        uint32_t blockBytes = 100;
        uint32_t blocksPerGroup = 10;
        uint32_t groupCount = 3;
        std::set<uint64_t> dropFirst;  // blocks (group * blocksPerGroup + index) whose first arrival is lost
        uint16_t copies = 1;           // each acknowledgement goes out this many times
        uint32_t held = 0;             // this acknowledgement (from 1) waits for the next one ...
        bool heldAfter = false;        // ... and goes out after it rather than before
    };

    explicit AckTarget(const Plan& p)
        : plan(p), blocks(uint64_t{p.blocksPerGroup} * p.groupCount), arrivals(blocks.size())
    {
        address = fake::loopback();
        ok = socket.open(TIVRA::Socket::UDP_V6) && socket.bindV6(address);
        const int bytes = 64 * 1024 * 1024;
        ok = ok && ::setsockopt(socket.getDescriptor(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0;
        const std::vector<int> cpus = testbed::answererCpus(1);
        thread = std::thread([this, cpu = cpus.empty() ? -1 : cpus.front()] { run(cpu); });
    }
    ~AckTarget() { stop(); }

    // The state below is read after this.
    void stop()
    {
        done = true;
        if (thread.joinable()) {
            thread.join();
        }
    }

    std::vector<uint8_t> stored() const
    {
        std::vector<uint8_t> out;
        for (const std::vector<uint8_t>& b : blocks) {
            out.insert(out.end(), b.begin(), b.end());
        }
        return out;
    }

    bool ok = false;
    IPAddress address;
    const Plan plan;
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<uint32_t> arrivals;  // lost ones included
    uint64_t longestBurst = 0;       // the most blocks that arrived in a row up to one that ends a burst
    uint32_t finishes = 0;

private:
    void send(const std::vector<uint8_t>& bytes, const IPAddress& to)
    {
        (void)socket.sendToV6(TIVRA::BufferCS_const{bytes.data(), bytes.size()}, to, true);
    }

    void run(int cpu)
    {
        testbed::becomeAnswerer(cpu);
        Receive rx;
        IPAddress from;
        while (!done) {
            if (socket.wait(TIVRA::Clock(20 * TIVRA::Clock::MS)) != TIVRA::Socket::WaitReady
                || !socket.receiveFromV6(rx, from) || !rx) {
                continue;
            }
            if (rx.getMessage() == TRANSFER_REQ) {
                send(rx.getOption0() == 0
                         ? fake::message(TRANSFER_ANS, STATUS_OK, 1, 0xFFFF)
                         : fake::message(TRANSFER_ANS, STATUS_OK, 1, static_cast<uint16_t>(plan.blockBytes - 1),
                                         static_cast<uint16_t>(plan.blocksPerGroup - 1),
                                         static_cast<uint16_t>(plan.groupCount - 1)),
                     from);
            } else if (rx.getMessage() == TRANSFERDATA_REQ) {
                block(rx, from);
            } else if (rx.getMessage() == TRANSFERFINISH_REQ) {
                ++finishes;
                TIVRA::CRC16 crc;
                for (const std::vector<uint8_t>& b : blocks) {
                    crc.update(TIVRA::BufferCS_const{b.data(), b.size()});
                }
                const bool match = crc.get() == rx.getOption1();
                send(fake::message(TRANSFERFINISH_ANS, STATUS_OK, 1, rx.getOption1(), match ? 0xFFFF : 0, crc.get()),
                     from);
            }
        }
    }

    void block(const Receive& rx, const IPAddress& from)
    {
        const uint64_t number = uint64_t{rx.getOption3()} * plan.blocksPerGroup + rx.getOption2();
        if (number >= blocks.size()) {
            return;
        }
        const bool last = (rx.getOption0() & 0x8000) != 0;
        ++inBurst;
        if (last) {
            longestBurst = std::max(longestBurst, inBurst);
            inBurst = 0;
        }
        if (arrivals[number]++ == 0 && plan.dropFirst.count(number) != 0) {
            return;
        }
        blocks[number].assign(rx.get_data(), rx.get_data() + rx.size_data());
        if (rx.getOption1() == next) {
            ++next;
        }
        if (!last) {
            return;
        }
        const std::vector<uint8_t> ack = fake::message(TRANSFERDATA_ANS, STATUS_OK, 1, static_cast<uint16_t>(next - 1));
        if (++acks == plan.held) {
            held = ack;
            return;
        }
        if (!held.empty() && !plan.heldAfter) {
            send(held, from);
        }
        for (uint16_t i = 0; i < std::max<uint16_t>(plan.copies, 1); ++i) {
            send(ack, from);
        }
        if (!held.empty() && plan.heldAfter) {
            send(held, from);
        }
        held.clear();
    }

    TIVRA::UDPV6 socket;
    std::atomic<bool> done{false};
    uint16_t next = 0;  // the counter taken next in order
    uint32_t acks = 0;
    uint64_t inBurst = 0;  // arrivals since the last block that ended a burst
    std::vector<uint8_t> held;
    std::thread thread;
};

struct AckOrderCase {
    const char* name;
    AckTarget::Plan plan;
    uint64_t againFrom, againTo;     // blocks [from, to) that must have gone at least twice
    std::vector<std::string> lines;  // logged
};

void PrintTo(const AckOrderCase& c, std::ostream* os)
{
    *os << c.name;
}

class UploadAckOrder : public ::testing::TestWithParam<AckOrderCase> {};

// However the acknowledgements come, a burst ends only on the target's
// acknowledgement of its own last block, and what the target lacks goes
// again: the area ends whole and the finish confirms it.
TEST_P(UploadAckOrder, EndsWithTheWholeDataStored)
{
    const AckOrderCase& c = GetParam();
    testlog::start(6);
    // A full burst's resends are a line each: more than the record holds.
    testlog::watch(c.lines);
    AckTarget target(c.plan);
    ASSERT_TRUE(target.ok);
    Find::Setting setting;
    setting.acceptId = 0;
    Find find(setting);
    ASSERT_TRUE(find.open());
    const std::vector<uint8_t> data = pattern(size_t{c.plan.blockBytes} * c.plan.blocksPerGroup * c.plan.groupCount);
    const bool ok = find.Transfer(target.address, 0, TIVRA::BufferCS_const{data.data(), data.size()}, 0,
                                  [](unsigned short, unsigned short) {});
    target.stop();
    EXPECT_TRUE(ok) << lastLogLines();
    EXPECT_TRUE(target.stored() == data);
    EXPECT_EQ(target.finishes, 1U);
    EXPECT_LE(target.longestBurst, 32768U);
    uint64_t once = 0;
    for (uint64_t n = c.againFrom; n < c.againTo; ++n) {
        once += target.arrivals[n] < 2 ? 1 : 0;
    }
    EXPECT_EQ(once, 0U) << "blocks sent only once in [" << c.againFrom << ", " << c.againTo << ")";
    for (const std::string& line : c.lines) {
        EXPECT_GE(testlog::watched(line), 1U) << line;
    }
}

AckTarget::Plan small(std::set<uint64_t> dropFirst, uint16_t copies, uint32_t held = 0, bool heldAfter = false)
{
    AckTarget::Plan p;
    p.dropFirst = std::move(dropFirst);
    p.copies = copies;
    p.held = held;
    p.heldAfter = heldAfter;
    return p;
}

// Bursts as large as a group of 65536 blocks allows.
AckTarget::Plan full(std::set<uint64_t> dropFirst, uint16_t copies)
{
    AckTarget::Plan p;
    p.blockBytes = 1;
    p.blocksPerGroup = 65536;
    p.groupCount = 2;
    p.dropFirst = std::move(dropFirst);
    p.copies = copies;
    return p;
}

// Three groups of ten blocks, one burst each.
INSTANTIATE_TEST_SUITE_P(
    Transfer, UploadAckOrder,
    ::testing::Values(
        AckOrderCase{"InOrder", small({}, 1), 0, 0, {}},
        // Each copy after the first is taken for the next burst's, which
        // then goes again whole.
        AckOrderCase{"Duplicated", small({}, 2), 10, 30, {"Retry Detect err 19 9", "Retry Detect err 29 19"}},
        // The first burst's acknowledgement comes after its time-out, just
        // before the one of its resending, which is then stale.
        AckOrderCase{"Late", small({}, 1, 1), 0, 20, {"resend 10", "Retry Detect err 19 9"}},
        // Block 3 is lost: the acknowledgement of counter 2 comes after the
        // time-out, just before the one of the whole burst, which the drain
        // takes: the burst goes a third time from counter 2.
        AckOrderCase{"LateAndPartial", small({3}, 1, 1), 0, 10, {"resend 10", "Retry Detect err 9 2"}},
        // The same two the other way round: the burst ends on the whole one,
        // and the partial one arrives in the next burst's wait.
        AckOrderCase{"OutOfOrder", small({3}, 1, 1, true), 0, 20, {"resend 10", "Retry Detect err 19 2"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Hundreds of thousands of blocks, run alone. A burst ends at 32768 blocks,
// half the counter's range, so the acknowledgement of the burst before never
// names the last counter of the next one.
INSTANTIATE_TEST_SUITE_P(
    ExhaustiveTransfer, UploadAckOrder,
    ::testing::Values(
        // Block 65541 (group 1, index 5) is lost: a copy of the acknowledgement
        // of counter 65535 must not end the burst it is missing from. Every
        // burst after the first goes again.
        AckOrderCase{"DuplicatedAtFullBursts", full({65541}, 2), 32768, 131072, {"Retry Detect err 65535 32767"}},
        // The first burst of group 1 (blocks 65536 to 98303) ends unacknowledged,
        // its last block lost: after the time-out it goes again whole, the
        // lost block 65541 with it.
        AckOrderCase{"TimeOutAtFullBursts", full({65541, 98303}, 1), 65536, 98304, {"resend 32768"}}),
    [](const auto& info) { return std::string(info.param.name); });

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
