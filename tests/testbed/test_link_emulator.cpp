// The link emulator: its rules, the fate of frames on one direction, and the
// program between a host and a target namespace, where datagrams with
// sequence numbers show what it did to them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "LinkNamespaces.h"
#include "WaitFor.h"
#include "testbed/linkemu/LinkRules.h"

namespace {

using linkemu::Clock;
using linkemu::Direction;
using linkemu::Frame;
using linkemu::LinkRules;
using linkemu::Rules;
using testnet::LinkNamespaces;

// ---- rules ----------------------------------------------------------------

struct RuleCase {
    const char* label;
    std::vector<std::string> rules;
    const char* error;  // part of the error text; nullptr when taken
    LinkRules expected;
};

LinkRules both(Rules r)
{
    return {r, r};
}

std::ostream& operator<<(std::ostream& out, const RuleCase& c)
{
    return out << c.label;
}

class RuleParse : public ::testing::TestWithParam<RuleCase> {};

TEST_P(RuleParse, TakesOrRefuses)
{
    const RuleCase& c = GetParam();
    LinkRules rules;
    std::string error;
    for (const std::string& r : c.rules) {
        error = linkemu::applyRule(rules, r);
        if (!error.empty()) {
            break;
        }
    }
    if (c.error == nullptr) {
        EXPECT_EQ(error, "");
        EXPECT_EQ(rules, c.expected);
    } else {
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        // A refused rule leaves what came before it.
        LinkRules before;
        for (const std::string& r : c.rules) {
            if (!linkemu::applyRule(before, r).empty()) {
                break;
            }
        }
        EXPECT_EQ(rules, before);
    }
}

Rules with(void (*set)(Rules&))
{
    Rules r;
    set(r);
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Table, RuleParse,
    ::testing::Values(
        RuleCase{"loss_both", {"loss=5"}, nullptr, both(with([](Rules& r) { r.lossPercent = 5; }))},
        RuleCase{"loss_fraction_one_way", {"ab:loss=0.5"}, nullptr, {with([](Rules& r) { r.lossPercent = 0.5; }), {}}},
        RuleCase{"duplicate_back", {"ba:duplicate=1"}, nullptr, {{}, with([](Rules& r) { r.duplicatePercent = 1; })}},
        RuleCase{"burst", {"burst=3@2"}, nullptr, both(with([](Rules& r) {
                     r.burstLength = 3;
                     r.burstPercent = 2;
                 }))},
        RuleCase{"reorder_default_hold", {"reorder=10"}, nullptr, both(with([](Rules& r) { r.reorderPercent = 10; }))},
        RuleCase{"reorder_hold", {"reorder=10@3.5"}, nullptr, both(with([](Rules& r) {
                     r.reorderPercent = 10;
                     r.reorderHoldUs = 3500;
                 }))},
        RuleCase{"delay", {"delay=5"}, nullptr, both(with([](Rules& r) { r.delayUs = 5000; }))},
        RuleCase{"delay_jitter", {"delay=5+-2"}, nullptr, both(with([](Rules& r) {
                     r.delayUs = 5000;
                     r.jitterUs = 2000;
                 }))},
        RuleCase{"later_rule_wins", {"loss=5", "ab:loss=1"}, nullptr,
                 {with([](Rules& r) { r.lossPercent = 1; }), with([](Rules& r) { r.lossPercent = 5; })}},
        RuleCase{"over_100", {"loss=101"}, "percentage", {}},
        RuleCase{"negative", {"duplicate=-1"}, "percentage", {}},
        RuleCase{"trailing_text", {"loss=5%"}, "percentage", {}},
        RuleCase{"empty_value", {"loss="}, "percentage", {}},
        RuleCase{"burst_without_chance", {"burst=3"}, "burst", {}},
        RuleCase{"burst_of_zero", {"burst=0@5"}, "burst", {}},
        RuleCase{"burst_fractional", {"burst=2.5@5"}, "burst", {}},
        RuleCase{"reorder_bad_hold", {"reorder=5@"}, "reorder", {}},
        RuleCase{"delay_bad_jitter", {"delay=5+-x"}, "delay", {}},
        RuleCase{"unknown_key", {"corrupt=1"}, "unknown rule", {}},
        RuleCase{"unknown_direction", {"xy:loss=1"}, "unknown rule", {}},
        RuleCase{"no_value", {"loss"}, "key=value", {}},
        RuleCase{"refused_keeps_earlier", {"loss=5", "ab:delay=x"}, "delay", {}}),
    [](const ::testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.label); });

TEST(LinkCounters, FormatReadsBack)
{
    const linkemu::Counters c{1, 2, 3, 4, 5, 6, 7};
    const auto back = linkemu::parseCounters(linkemu::formatCounters(c));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->seen, 1u);
    EXPECT_EQ(back->forwarded, 2u);
    EXPECT_EQ(back->dropped, 3u);
    EXPECT_EQ(back->duplicated, 4u);
    EXPECT_EQ(back->reordered, 5u);
    EXPECT_EQ(back->delayed, 6u);
    EXPECT_EQ(back->errors, 7u);
    EXPECT_FALSE(linkemu::parseCounters("seen=1 forwarded=2"));
}

// ---- one direction, on a clock of the test's own ------------------------

Frame numbered(uint32_t n)
{
    return {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
            static_cast<uint8_t>(n)};
}

uint32_t numberOf(const Frame& f)
{
    return (uint32_t{f[0]} << 24) | (uint32_t{f[1]} << 16) | (uint32_t{f[2]} << 8) | f[3];
}

// Feeds count frames, one every step, and collects what leaves, in order.
std::vector<uint32_t> pass(Direction& d, uint32_t count, std::chrono::microseconds step = std::chrono::microseconds(100))
{
    std::vector<uint32_t> out;
    Clock::time_point now{};
    auto collect = [&] {
        for (const Frame& f : d.take(now)) {
            out.push_back(numberOf(f));
        }
    };
    for (uint32_t i = 0; i < count; ++i) {
        d.arrive(numbered(i), now);
        collect();
        now += step;
    }
    while (const auto due = d.nextDue()) {
        now = std::max(now, *due);
        collect();
    }
    return out;
}

std::vector<uint32_t> missing(const std::vector<uint32_t>& got, uint32_t count)
{
    const std::set<uint32_t> have(got.begin(), got.end());
    std::vector<uint32_t> gone;
    for (uint32_t i = 0; i < count; ++i) {
        if (have.count(i) == 0) {
            gone.push_back(i);
        }
    }
    return gone;
}

// Lengths of the runs of consecutive numbers.
std::vector<size_t> runs(const std::vector<uint32_t>& sorted)
{
    std::vector<size_t> lengths;
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (i == 0 || sorted[i] != sorted[i - 1] + 1) {
            lengths.push_back(0);
        }
        ++lengths.back();
    }
    return lengths;
}

TEST(LinkDirection, NoRulesPassesEveryFrameAtOnceInOrder)
{
    Direction d(Rules{}, 7);
    Clock::time_point now{};
    d.arrive(numbered(1), now);
    d.arrive(numbered(2), now);
    const std::vector<Frame> out = d.take(now);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(numberOf(out[0]), 1u);
    EXPECT_EQ(numberOf(out[1]), 2u);
    EXPECT_FALSE(d.nextDue());
    EXPECT_EQ(d.counters().forwarded, 2u);
    EXPECT_EQ(d.counters().delayed, 0u);
}

TEST(LinkDirection, SeededLossRepeatsAndDependsOnTheSeed)
{
    Rules r;
    r.lossPercent = 5;
    Direction first(r, 42);
    Direction again(r, 42);
    Direction other(r, 43);
    const auto a = missing(pass(first, 2000), 2000);
    EXPECT_EQ(a, missing(pass(again, 2000), 2000));
    EXPECT_NE(a, missing(pass(other, 2000), 2000));
    EXPECT_EQ(a.size(), first.counters().dropped);
    EXPECT_GT(a.size(), 60u);
    EXPECT_LT(a.size(), 140u);
}

TEST(LinkDirection, UnimpairedFramesDoNotShiftTheDraws)
{
    Rules r;
    r.lossPercent = 20;
    Direction plain(r, 5);
    Direction mixed(r, 5);
    std::vector<uint32_t> lostPlain;
    std::vector<uint32_t> lostMixed;
    for (uint32_t i = 0; i < 200; ++i) {
        plain.arrive(numbered(i), Clock::time_point{});
        mixed.arrive(numbered(1000 + i), Clock::time_point{}, false);
        mixed.arrive(numbered(i), Clock::time_point{});
    }
    const auto a = missing(pass(plain, 0), 200);
    std::vector<uint32_t> got;
    for (const Frame& f : mixed.take(Clock::time_point{})) {
        got.push_back(numberOf(f));
    }
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](uint32_t n) { return n >= 1000; }), 200);
    EXPECT_EQ(a, missing(got, 200));
}

TEST(LinkDirection, BurstsDropWholeRuns)
{
    Rules r;
    r.burstLength = 4;
    r.burstPercent = 3;
    Direction d(r, 9);
    const auto gone = missing(pass(d, 3000), 3000);
    ASSERT_FALSE(gone.empty());
    EXPECT_EQ(gone.size(), d.counters().dropped);
    for (const size_t length : runs(gone)) {
        EXPECT_EQ(length % 4, 0u) << "a run of " << length;
    }
}

TEST(LinkDirection, DuplicatesFollowTheirFrame)
{
    Rules r;
    r.duplicatePercent = 10;
    Direction d(r, 3);
    const auto out = pass(d, 1000);
    EXPECT_EQ(out.size(), 1000 + d.counters().duplicated);
    EXPECT_GT(d.counters().duplicated, 50u);
    EXPECT_TRUE(std::is_sorted(out.begin(), out.end()));
}

TEST(LinkDirection, ReorderingSendsAHeldFrameAfterTheNext)
{
    Rules r;
    r.reorderPercent = 10;
    Direction d(r, 11);
    const auto out = pass(d, 1000);
    ASSERT_EQ(out.size(), 1000u);
    size_t swapped = 0;
    for (size_t i = 1; i < out.size(); ++i) {
        if (out[i] < out[i - 1]) {
            ++swapped;
            EXPECT_EQ(out[i] + 1, out[i - 1]) << "held back by more than one frame";
        }
    }
    EXPECT_EQ(swapped, d.counters().reordered);
    EXPECT_GT(swapped, 50u);
}

TEST(LinkDirection, AHeldFrameWithNoFollowerGoesAfterItsHold)
{
    Rules r;
    r.reorderPercent = 100;
    r.reorderHoldUs = 3000;
    Direction d(r, 1);
    Clock::time_point now{};
    d.arrive(numbered(0), now);
    EXPECT_TRUE(d.take(now).empty());
    EXPECT_TRUE(d.take(now + std::chrono::microseconds(2999)).empty());
    EXPECT_EQ(d.take(now + std::chrono::microseconds(3000)).size(), 1u);
    EXPECT_EQ(d.counters().reordered, 0u);
}

TEST(LinkDirection, OnlyAnImpairedFrameReleasesAHeldOne)
{
    Rules r;
    r.reorderPercent = 100;
    Direction d(r, 1);
    const Clock::time_point now{};
    d.arrive(numbered(0), now);
    d.arrive(numbered(7), now, false);
    d.arrive(numbered(1), now);
    std::vector<uint32_t> out;
    for (const Frame& f : d.take(now)) {
        out.push_back(numberOf(f));
    }
    EXPECT_EQ(out, (std::vector<uint32_t>{7, 1, 0}));
    EXPECT_EQ(d.counters().reordered, 1u);
}

TEST(LinkDirection, DelayWithJitterKeepsTheOrder)
{
    Rules r;
    r.delayUs = 5000;
    r.jitterUs = 2000;
    Direction d(r, 4);
    Clock::time_point now{};
    d.arrive(numbered(0), now);
    // Nothing before the least delay.
    EXPECT_TRUE(d.take(now + std::chrono::microseconds(2999)).empty());
    const auto out = pass(d, 1000);
    EXPECT_EQ(out.size(), 1001u);
    EXPECT_TRUE(std::is_sorted(out.begin() + 1, out.end()));
    EXPECT_EQ(d.counters().delayed, 1001u);
}

// ---- the program between namespaces --------------------------------------

std::string emulatorProgram()
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    const std::string exe(self, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    return exe.substr(0, exe.rfind('/')) + "/../testbed/link-emulator";
}

struct RefusalCase {
    const char* label;
    std::vector<std::string> args;
    int status;
    const char* says;
};

class EmulatorRefuses : public ::testing::TestWithParam<RefusalCase> {};

// Refused before any socket is opened, or at an interface that is not there:
// nothing is sent anywhere.
TEST_P(EmulatorRefuses, WithItsStatusAndWhy)
{
    std::vector<std::string> argv{emulatorProgram()};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    std::string output;
    EXPECT_EQ(testnet::runProgram(argv, &output), GetParam().status);
    EXPECT_NE(output.find(GetParam().says), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Table, EmulatorRefuses,
    ::testing::Values(RefusalCase{"no_interfaces", {"loss=1"}, 2, "usage"},
                      RefusalCase{"one_interface", {"--a", "x0"}, 2, "usage"},
                      RefusalCase{"bad_rule", {"--a", "x0", "--b", "x1", "loss=200"}, 2, "loss wants a percentage"},
                      RefusalCase{"no_such_interface", {"--a", "tivra-none0", "--b", "tivra-none1"}, 1,
                                  "no interface tivra-none0"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.label); });

constexpr uint16_t kPort = 40123;

sockaddr_in6 socketAddress(const TIVRA::IPAddress& a, uint16_t port)
{
    sockaddr_in6 s{};
    s.sin6_family = AF_INET6;
    std::memcpy(&s.sin6_addr, a.addr, 16);
    s.sin6_scope_id = a.ifindex;
    s.sin6_port = htons(port);
    return s;
}

// A UDP socket on port kPort of every address of its namespace, which
// collects the numbers of the datagrams it gets on a thread of its own.
class Collector {
public:
    explicit Collector(int fd) : fd(fd), reader([this] { read(); }) {}
    ~Collector()
    {
        stop = true;
        reader.join();
        ::close(fd);
    }

    static int open()
    {
        const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int size = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
        const sockaddr_in6 any = socketAddress(TIVRA::IPAddress{}, kPort);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof(any)) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    std::vector<uint32_t> got()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return numbers;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return numbers.size();
    }

private:
    void read()
    {
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            uint8_t bytes[64];
            if (::recv(fd, bytes, sizeof(bytes), 0) >= 4) {
                std::lock_guard<std::mutex> lock(mutex);
                numbers.push_back(numberOf(Frame(bytes, bytes + 4)));
            }
        }
    }

    int fd;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<uint32_t> numbers;
    std::thread reader;
};

// Multicast not looped back: what a collector beside it gets came over the link.
int openSender()
{
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int off = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &off, sizeof(off));
    return fd;
}

// Sends numbers 0..count-1; paced so that neither the veth backlog nor a
// receive buffer overflows, which would be loss the rules did not make.
bool sendNumbered(int fd, const TIVRA::IPAddress& to, uint32_t count)
{
    const sockaddr_in6 dest = socketAddress(to, kPort);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t bytes[32] = {};
        const Frame n = numbered(i);
        std::copy(n.begin(), n.end(), bytes);
        if (::sendto(fd, bytes, sizeof(bytes), 0, reinterpret_cast<const sockaddr*>(&dest), sizeof(dest)) != sizeof(bytes)) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

TIVRA::IPAddress allNodes(uint32_t scope)
{
    TIVRA::IPAddress a;
    a.addr[0] = 0xFF;
    a.addr[1] = 0x02;
    a.addr[15] = 1;
    a.ifindex = scope;
    return a;
}

// Sends count numbered datagrams host to target and waits until each one
// has arrived or been dropped by the forwarder.
struct Crossing {
    std::vector<uint32_t> got;
    LinkNamespaces::Counters counters;
};

Crossing crossToTarget(LinkNamespaces& link, uint32_t count, uint32_t expectedCopies = 0)
{
    Crossing result;
    EXPECT_TRUE(link.knowNeighbours()) << link.error();
    const int in = link.inTarget([] { return Collector::open(); });
    const int out = link.inHost([] { return openSender(); });
    EXPECT_GE(in, 0);
    EXPECT_GE(out, 0);
    if (in < 0 || out < 0) {
        return result;
    }
    Collector collector(in);
    EXPECT_TRUE(sendNumbered(out, link.targetAddressFromHost(), count));
    ::close(out);
    EXPECT_TRUE(testwait::waitFor([&] {
        const auto c = link.counters();
        if (!c) {
            return false;
        }
        result.counters = *c;
        const uint64_t copies = expectedCopies ? expectedCopies : c->toTarget.duplicated;
        return collector.count() + c->toTarget.dropped >= count + copies;
    })) << "arrived " << collector.count() << " of " << count;
    result.got = collector.got();
    return result;
}

TEST(LinkEmulator, UnicastAndMulticastPassBothWays)
{
    LinkNamespaces link;
    ASSERT_TRUE(link.ok()) << link.error();
    const int atTarget = link.inTarget([] { return Collector::open(); });
    const int atHost = link.inHost([] { return Collector::open(); });
    ASSERT_GE(atTarget, 0);
    ASSERT_GE(atHost, 0);
    Collector target(atTarget);
    Collector host(atHost);
    const int fromHost = link.inHost([] { return openSender(); });
    const int fromTarget = link.inTarget([] { return openSender(); });
    ASSERT_TRUE(sendNumbered(fromHost, link.targetAddressFromHost(), 3));
    // The target's view of the host: fe80::1 on the target end.
    TIVRA::IPAddress hostSeenFromTarget = link.hostAddress();
    hostSeenFromTarget.ifindex = link.linkIndex(LinkNamespaces::Target);
    ASSERT_TRUE(sendNumbered(fromTarget, hostSeenFromTarget, 3));
    ASSERT_TRUE(testwait::waitFor([&] { return target.count() == 3 && host.count() == 3; }))
        << "unicast: target got " << target.count() << ", host got " << host.count();

    ASSERT_TRUE(sendNumbered(fromHost, allNodes(link.linkIndex(LinkNamespaces::Host)), 2));
    ASSERT_TRUE(sendNumbered(fromTarget, allNodes(link.linkIndex(LinkNamespaces::Target)), 2));
    ASSERT_TRUE(testwait::waitFor([&] { return target.count() == 5 && host.count() == 5; }))
        << "multicast: target got " << target.count() << ", host got " << host.count();
    ::close(fromHost);
    ::close(fromTarget);

    const auto counters = link.stopLink();
    ASSERT_TRUE(counters) << "the emulator did not exit with 0";
    for (const linkemu::Counters& c : {counters->toTarget, counters->toHost}) {
        // Five datagrams and at least the neighbour discovery around them.
        EXPECT_GT(c.seen, 5u);
        EXPECT_EQ(c.forwarded, c.seen);
        EXPECT_EQ(c.dropped, 0u);
        EXPECT_EQ(c.errors, 0u);
    }
}

TEST(LinkEmulator, SeededLossDropsWhatItCountsAndRepeats)
{
    constexpr uint32_t kCount = 1000;
    const LinkNamespaces::Options options{{"loss=5"}, 2026, true};
    std::vector<uint32_t> firstLost;
    for (int run = 0; run < 2; ++run) {
        LinkNamespaces link(options);
        ASSERT_TRUE(link.ok()) << link.error();
        const Crossing c = crossToTarget(link, kCount);
        const auto lost = missing(c.got, kCount);
        EXPECT_EQ(c.got.size(), kCount - c.counters.toTarget.dropped);
        EXPECT_EQ(lost.size(), c.counters.toTarget.dropped);
        EXPECT_GT(lost.size(), 20u);
        EXPECT_LT(lost.size(), 90u);
        if (run == 0) {
            firstLost = lost;
        } else {
            EXPECT_EQ(lost, firstLost) << "the same seed dropped other datagrams";
        }
    }
}

TEST(LinkEmulator, ARuleForOneDirectionLeavesTheOther)
{
    LinkNamespaces link({{"ba:loss=100"}, 1, true});
    ASSERT_TRUE(link.ok()) << link.error();
    const int atTarget = link.inTarget([] { return Collector::open(); });
    const int atHost = link.inHost([] { return Collector::open(); });
    ASSERT_GE(atTarget, 0);
    ASSERT_GE(atHost, 0);
    Collector target(atTarget);
    Collector host(atHost);
    const int fromHost = link.inHost([] { return openSender(); });
    const int fromTarget = link.inTarget([] { return openSender(); });
    TIVRA::IPAddress hostSeenFromTarget = link.hostAddress();
    hostSeenFromTarget.ifindex = link.linkIndex(LinkNamespaces::Target);
    ASSERT_TRUE(sendNumbered(fromHost, link.targetAddressFromHost(), 20));
    ASSERT_TRUE(sendNumbered(fromTarget, hostSeenFromTarget, 20));
    ::close(fromHost);
    ::close(fromTarget);
    EXPECT_TRUE(testwait::waitFor([&] {
        const auto c = link.counters();
        return c && c->toHost.dropped == 20 && target.count() == 20;
    })) << "target got " << target.count();
    EXPECT_EQ(host.count(), 0u);
    const auto c = link.stopLink();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->toTarget.dropped, 0u);
    EXPECT_EQ(c->toHost.dropped, 20u);
}

TEST(LinkEmulator, DuplicationDeliversCopies)
{
    constexpr uint32_t kCount = 300;
    LinkNamespaces link({{"ab:duplicate=10"}, 3, true});
    ASSERT_TRUE(link.ok()) << link.error();
    const Crossing c = crossToTarget(link, kCount);
    std::map<uint32_t, int> times;
    for (const uint32_t n : c.got) {
        ++times[n];
    }
    EXPECT_EQ(times.size(), kCount);
    const auto twice = std::count_if(times.begin(), times.end(), [](const auto& t) { return t.second == 2; });
    EXPECT_GT(twice, 0);
    EXPECT_EQ(static_cast<uint64_t>(twice), c.counters.toTarget.duplicated);
    EXPECT_EQ(c.got.size(), kCount + c.counters.toTarget.duplicated);
}

TEST(LinkEmulator, ReorderingDeliversOutOfOrder)
{
    constexpr uint32_t kCount = 300;
    LinkNamespaces link({{"reorder=10"}, 5, true});
    ASSERT_TRUE(link.ok()) << link.error();
    const Crossing c = crossToTarget(link, kCount);
    ASSERT_EQ(c.got.size(), kCount);
    size_t late = 0;
    uint32_t highest = 0;
    for (size_t i = 0; i < c.got.size(); ++i) {
        if (i > 0 && c.got[i] < highest) {
            ++late;
        }
        highest = std::max(highest, c.got[i]);
    }
    EXPECT_GT(late, 0u);
    EXPECT_EQ(late, c.counters.toTarget.reordered);
}

TEST(LinkEmulator, BurstsDropRunsOfN)
{
    constexpr uint32_t kCount = 600;
    LinkNamespaces link({{"burst=3@2"}, 8, true});
    ASSERT_TRUE(link.ok()) << link.error();
    const Crossing c = crossToTarget(link, kCount);
    const auto lost = missing(c.got, kCount);
    ASSERT_FALSE(lost.empty());
    EXPECT_EQ(lost.size(), c.counters.toTarget.dropped);
    for (const size_t length : runs(lost)) {
        EXPECT_EQ(length % 3, 0u) << "a run of " << length;
    }
}

TEST(LinkEmulator, DelayKeepsEveryFrameInOrder)
{
    constexpr uint32_t kCount = 200;
    LinkNamespaces link({{"delay=5+-2"}, 6, false});
    ASSERT_TRUE(link.ok()) << link.error();
    const Crossing c = crossToTarget(link, kCount);
    ASSERT_EQ(c.got.size(), kCount);
    EXPECT_TRUE(std::is_sorted(c.got.begin(), c.got.end()));
    EXPECT_GE(c.counters.toTarget.delayed, kCount);
    EXPECT_EQ(c.counters.toTarget.delayed, c.counters.toTarget.seen);
}

TEST(LinkEmulator, HostEndDownStopsTrafficAndUpBringsItBack)
{
    LinkNamespaces link;
    ASSERT_TRUE(link.ok()) << link.error();
    const int in = link.inTarget([] { return Collector::open(); });
    ASSERT_GE(in, 0);
    Collector target(in);
    const int out = link.inHost([] { return openSender(); });
    ASSERT_TRUE(sendNumbered(out, link.targetAddressFromHost(), 1));
    ASSERT_TRUE(testwait::waitFor([&] { return target.count() == 1; }));
    ASSERT_TRUE(link.linkDown());
    EXPECT_FALSE(sendNumbered(out, link.targetAddressFromHost(), 1));
    ASSERT_TRUE(link.linkUp()) << link.error();
    ASSERT_TRUE(sendNumbered(out, link.targetAddressFromHost(), 1));
    EXPECT_TRUE(testwait::waitFor([&] { return target.count() == 2; }));
    ::close(out);
    EXPECT_TRUE(link.counters()) << "the emulator did not live through the link's fall";
}

}  // namespace
