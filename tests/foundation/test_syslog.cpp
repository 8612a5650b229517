#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "AllocationCount.h"
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/SysLog.h"

using TIVRA::SysLog;

// ---------------------------------------------------------------------------
namespace {

using namespace std::chrono_literals;

constexpr char kTemplate[] = "<000>MMM DD hh mm ss localhost ";

// A datagram socket on an ephemeral port of ::1 that the logger sends to.
class Receiver {
public:
    Receiver()
    {
        fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(fd, 0);
        // Room for every line a test sends before it reads them.
        const int big = 8 << 20;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big)) != 0) {
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
        }
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_addr = in6addr_loopback;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
        socklen_t len = sizeof(sa);
        EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len), 0);
        port = ntohs(sa.sin6_port);
    }
    ~Receiver() { ::close(fd); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // The next datagram, or nothing when none comes within the bound.
    std::optional<std::string> next(std::chrono::milliseconds bound = 5s)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(bound.count())) <= 0) {
            return std::nullopt;
        }
        static thread_local char buf[65536];
        const ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n < 0) {
            return std::nullopt;
        }
        return std::string(buf, static_cast<size_t>(n));
    }

    int receiveBuffer() const
    {
        int v = 0;
        socklen_t len = sizeof(v);
        getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &v, &len);
        return v;
    }

    int fd = -1;
    unsigned short port = 0;
};

// The message part of a datagram: what follows "<PRI>", the stamp and the
// host field.
std::string messageOf(const std::string& datagram)
{
    const size_t close = datagram.find('>');
    if (close == std::string::npos || datagram.size() < close + 27) {
        return "<no header: " + datagram + ">";
    }
    return datagram.substr(close + 27);
}

time_t wallSeconds()
{
    return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
}

// The stamp a line emitted at second s carries, from the C library's own
// formatting of the local time.
std::string stampAt(time_t s)
{
    std::tm local{};
    localtime_r(&s, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%b %d %H:%M:%S", &local);
    return text;
}

// Checks a whole datagram: priority field, a stamp of some second in
// [before, after], the host field and the message, with nothing after it.
void expectLine(const std::string& datagram, const std::string& pri, const std::string& message, time_t before,
                time_t after)
{
    const std::string head = "<" + pri + ">";
    ASSERT_EQ(datagram.size(), head.size() + 26 + message.size()) << datagram;
    EXPECT_EQ(datagram.substr(0, head.size()), head);
    const std::string stamp = datagram.substr(head.size(), 15);
    bool matched = false;
    for (time_t s = before; s <= after; ++s) {
        matched = matched || stamp == stampAt(s);
    }
    EXPECT_TRUE(matched) << "stamp \"" << stamp << "\", expected " << stampAt(before) << " .. " << stampAt(after);
    EXPECT_EQ(datagram.substr(head.size() + 15, 11), " localhost ");
    EXPECT_EQ(datagram.substr(head.size() + 26), message);
}

TIVRA::BufferCS_const view(const std::string& s)
{
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TIVRA::IPAddress address(const std::string& v6, uint16_t port, uint32_t ifindex)
{
    TIVRA::IPAddress a;
    EXPECT_TRUE(a.set_V6_str(v6));
    a.setPort(port);
    a.ifindex = ifindex;
    return a;
}

// Descriptor 1 redirected into a pipe for the life of the object.
class StdoutCapture {
public:
    StdoutCapture()
    {
        // A printer still writing when the read end goes must not kill the
        // test program.
        signal(SIGPIPE, SIG_IGN);
        std::fflush(stdout);
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        readEnd = fds[0];
        saved = dup(STDOUT_FILENO);
        dup2(fds[1], STDOUT_FILENO);
        ::close(fds[1]);
        fcntl(readEnd, F_SETFL, O_NONBLOCK);
    }
    ~StdoutCapture()
    {
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        ::close(saved);
        ::close(readEnd);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // The next n bytes written to standard output, or fewer when the bound
    // passes first.
    std::string take(size_t n, std::chrono::milliseconds bound = 20s)
    {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (pending.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd p{readEnd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char buf[4096];
            const ssize_t got = ::read(readEnd, buf, sizeof(buf));
            if (got > 0) {
                pending.append(buf, static_cast<size_t>(got));
            }
        }
        const std::string out = pending.substr(0, n);
        pending.erase(0, out.size());
        return out;
    }

    // Whatever is written within the bound (used where nothing more is due).
    std::string rest(std::chrono::milliseconds bound) { return take(SIZE_MAX, bound); }

private:
    int readEnd = -1;
    int saved = -1;
    std::string pending;
};

// Holds stdio's lock of stdout in a thread of its own until release() or
// until the cap has passed. The printer writes through stdio, so this holds
// it before its next line; a logging thread that writes no stdio is not held.
class StdoutHolder {
public:
    explicit StdoutHolder(std::chrono::milliseconds cap)
    {
        worker = std::thread([this, cap] {
            flockfile(stdout);
            {
                std::lock_guard<std::mutex> lock(mutex);
                held = true;
            }
            cond.notify_all();
            {
                std::unique_lock<std::mutex> lock(mutex);
                cond.wait_for(lock, cap, [this] { return released; });
            }
            funlockfile(stdout);
        });
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait(lock, [this] { return held; });
    }
    ~StdoutHolder()
    {
        release();
        if (worker.joinable()) {
            worker.join();
        }
    }
    StdoutHolder(const StdoutHolder&) = delete;
    StdoutHolder& operator=(const StdoutHolder&) = delete;

    // For a process that ends with the lock still held: the object must
    // then outlive the thread.
    void detach() { worker.detach(); }

    void release()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
        }
        cond.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable cond;
    bool held = false;
    bool released = false;
    std::thread worker;
};

class SysLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SysLog::finalize();
        TIVRA::quorvin_log = -1;
    }
    void TearDown() override
    {
        SysLog::finalize();
        TIVRA::quorvin_log = -1;
    }

    // A fresh sender towards the receiver, every severity let through.
    void start(TIVRA::SysLogFacility facility = 16, bool console = false)
    {
        SysLog::finalize();
        ASSERT_TRUE(SysLog::initialize(facility, console, rx.port));
        TIVRA::quorvin_log = 7;
    }

    std::string nextLine()
    {
        std::optional<std::string> d = rx.next();
        EXPECT_TRUE(d.has_value()) << "no datagram arrived";
        return d.value_or("");
    }

    Receiver rx;
};

}  // namespace

// ---------------------------------------------------------------------------
// Line layout

TEST_F(SysLogTest, LineCarriesPriorityStampHostAndMessage)
{
    struct Case {
        TIVRA::SysLogFacility facility;
        TIVRA::SysLogLevel level;
        std::string pri;
        std::string message;
    };
    const std::vector<Case> cases = {
        {16, TIVRA::SYSLOG_INFO, "134", "hello 42"},
        {16, TIVRA::SYSLOG_ERR, "131", "hello 42"},
        {16, TIVRA::SYSLOG_DEBUG, "135", ""},                      // header only: 31 characters
        {0, TIVRA::SYSLOG_ERR, "3", "hello 42"},                   // starts at position 2
        {1, TIVRA::SYSLOG_NOTICE, "13", "hello 42"},               // starts at position 1
        {0, TIVRA::SYSLOG_EMERG, "0", "x"},                        //
        {31, TIVRA::SYSLOG_DEBUG, "255", "x"},                     //
        {16, static_cast<TIVRA::SysLogLevel>(14), "134", "bits"},  // severity is the low three bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("facility " + std::to_string(c.facility) + " pri " + c.pri);
        start(c.facility);
        const time_t before = wallSeconds();
        if (c.message == "hello 42") {
            c.level << "hello " << 42;
        } else {
            c.level << c.message.c_str();
        }
        const time_t after = wallSeconds();
        expectLine(nextLine(), c.pri, c.message, before, after);
    }
}

TEST_F(SysLogTest, StampIsTheLocalTime)
{
    // A zone five and a half hours east of UTC: hours and minutes both differ
    // from UTC at any moment.
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    setenv("TZ", "XYZ-05:30", 1);
    tzset();
    start();
    time_t before = 0;
    time_t after = 0;
    // A thread of its own, so no stamp of an earlier second in another zone
    // is remembered.
    std::thread([&] {
        before = wallSeconds();
        TIVRA::SYSLOG_INFO << "zone";
        after = wallSeconds();
    }).join();
    const std::string line = nextLine();
    expectLine(line, "134", "zone", before, after);
    std::tm utc{};
    gmtime_r(&before, &utc);
    char utcStamp[32];
    std::strftime(utcStamp, sizeof(utcStamp), "%b %d %H:%M", &utc);
    EXPECT_NE(line.substr(5, 12), utcStamp);
    if (old != nullptr) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(SysLogStamp, WritesMonthDayAndTimeWithZeroPadding)
{
    struct Case {
        int month, day, hour, minute, second;
        std::string stamp;
    };
    const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::vector<Case> cases;
    for (int m = 0; m < 12; ++m) {
        cases.push_back({m, 5, 9, 7, 3, std::string(names[m]) + " 05 09:07:03"});
    }
    cases.push_back({11, 31, 23, 59, 59, "Dec 31 23:59:59"});
    cases.push_back({0, 1, 0, 0, 0, "Jan 01 00:00:00"});
    cases.push_back({5, 30, 12, 10, 60, "Jun 30 12:10:60"});  // leap second
    for (const Case& c : cases) {
        std::tm t{};
        t.tm_mon = c.month;
        t.tm_mday = c.day;
        t.tm_hour = c.hour;
        t.tm_min = c.minute;
        t.tm_sec = c.second;
        char line[sizeof(kTemplate)];
        std::memcpy(line, kTemplate, sizeof(kTemplate));
        SysLog::SysLogSendC::putTime(line, t);
        // Priority and host field are left as they are.
        EXPECT_EQ(std::string(line), "<000>" + c.stamp + " localhost ");
    }
}

// ---------------------------------------------------------------------------
// Threshold

TEST_F(SysLogTest, StatementPassesOnlyAtOrBelowThreshold)
{
    struct Case {
        int threshold;
        TIVRA::SysLogLevel level;
        bool sent;
    };
    const std::vector<Case> cases = {
        {-1, TIVRA::SYSLOG_EMERG, false},
        {-1, TIVRA::SYSLOG_DEBUG, false},
        {6, TIVRA::SYSLOG_DEBUG, false},
        {6, TIVRA::SYSLOG_INFO, true},
        {6, TIVRA::SYSLOG_ERR, true},
        {3, TIVRA::SYSLOG_WARNING, false},
        {3, TIVRA::SYSLOG_ERR, true},
        {0, TIVRA::SYSLOG_EMERG, true},
        {7, TIVRA::SYSLOG_DEBUG, true},
        {6, static_cast<TIVRA::SysLogLevel>(15), false},
        {6, static_cast<TIVRA::SysLogLevel>(14), true},
    };
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE("threshold " + std::to_string(c.threshold) + " level " + std::to_string(c.level));
        TIVRA::quorvin_log = c.threshold;
        c.level << "case " << c.threshold;
        // One socket on loopback keeps its order: the marker shows whether
        // the case line went out before it.
        TIVRA::quorvin_log = 7;
        TIVRA::SYSLOG_EMERG << "marker";
        std::string first = messageOf(nextLine());
        if (c.sent) {
            EXPECT_EQ(first, "case " + std::to_string(c.threshold));
            first = messageOf(nextLine());
        }
        EXPECT_EQ(first, "marker");
    }
}

TEST_F(SysLogTest, FilteredStatementAllocatesAndSendsNothing)
{
    start();
    const std::string text = "more";
    const TIVRA::IPAddress where = address("fe80::1", 19642, 2);
    const std::string bytes = "raw";

    TIVRA::quorvin_log = 6;
    const long before = testalloc::threadAllocations();
    TIVRA::SYSLOG_DEBUG << "Setting: periodMin      : " << 5 << " more " << text << where << TIVRA::Clock(7) << 2.5
                        << view(bytes) << 7UL << -3L << 1.5f << 9U;
    EXPECT_EQ(testalloc::threadAllocations() - before, 0);

    // The same statement that passes builds its line on the heap.
    TIVRA::quorvin_log = 7;
    const long passing = testalloc::threadAllocations();
    TIVRA::SYSLOG_DEBUG << "Setting: periodMin      : " << 5 << " more " << text << where << TIVRA::Clock(7) << 2.5
                        << view(bytes) << 7UL << -3L << 1.5f << 9U;
    EXPECT_GE(testalloc::threadAllocations() - passing, 1);
    EXPECT_EQ(messageOf(nextLine()),
              "Setting: periodMin      : 5 more morefe80::1%2,196420000000000000007"
              "2.500000raw7-31.5000009");
}

TEST_F(SysLogTest, StatementWithoutSenderIsDropped)
{
    TIVRA::quorvin_log = 7;
    EXPECT_FALSE(SysLog::OpenPort(rx.port));
    EXPECT_EQ(SysLog::getFacility(), 0);
    EXPECT_EQ(SysLog::getStdErr(), nullptr);
    EXPECT_EQ(SysLog::getOwn(), nullptr);
    TIVRA::SYSLOG_ERR << "nobody " << 1;

    ASSERT_TRUE(SysLog::initialize(16, false, rx.port));
    TIVRA::SYSLOG_ERR << "marker";
    EXPECT_EQ(messageOf(nextLine()), "marker");
}

// ---------------------------------------------------------------------------
// Values

TEST_F(SysLogTest, EachValueTypeHasItsRendering)
{
    TIVRA::Buffer buffer = {'b', 'u', 'f'};
    struct Case {
        std::function<void()> log;
        std::string message;
    };
    const std::vector<Case> cases = {
        {[] { TIVRA::SYSLOG_INFO << "" << -2147483647 - 1; }, "-2147483648"},
        {[] { TIVRA::SYSLOG_INFO << "" << 4294967295U; }, "4294967295"},
        {[] { TIVRA::SYSLOG_INFO << "" << (-9223372036854775807L - 1); }, "-9223372036854775808"},
        {[] { TIVRA::SYSLOG_INFO << "" << 18446744073709551615UL; }, "18446744073709551615"},
        {[] { TIVRA::SYSLOG_INFO << "" << -5LL; }, "-5"},
        {[] { TIVRA::SYSLOG_INFO << "" << 18446744073709551615ULL; }, "18446744073709551615"},
        {[] { TIVRA::SYSLOG_INFO << "" << 1.5; }, "1.500000"},
        {[] { TIVRA::SYSLOG_INFO << "" << -0.1; }, "-0.100000"},
        {[] { TIVRA::SYSLOG_INFO << "" << 0.25f; }, "0.250000"},
        {[] {
             TIVRA::SYSLOG_INFO << "a"
                                << "b" << static_cast<const char*>(nullptr);
         },
         "ab(null)"},
        {[] { TIVRA::SYSLOG_INFO << "" << std::string("str"); }, "str"},
        {[] { TIVRA::SYSLOG_INFO << "" << view("view"); }, "view"},
        {[&buffer] { TIVRA::SYSLOG_INFO << "" << buffer; }, "buf"},
        {[] { TIVRA::SYSLOG_INFO << "" << address("fe80::1", 19642, 0x10002); }, "fe80::1%2,19642"},
        {[] { TIVRA::SYSLOG_INFO << "" << address("::ffff:c0a8:102", 80, 0); }, "192.168.1.2%0,80"},
        {[] { TIVRA::SYSLOG_INFO << "" << TIVRA::Clock(1); }, "0000000000000001"},
        {[] { TIVRA::SYSLOG_INFO << "" << TIVRA::Clock(10); }, "000000000000000A"},
        {[] { TIVRA::SYSLOG_INFO << "" << TIVRA::Clock(0xFEDCBA9876543210ULL); }, "FEDCBA9876543210"},
        // Small and platform-named integer types resolve to their value.
        {[] { TIVRA::SYSLOG_INFO << "" << static_cast<uint16_t>(65535); }, "65535"},
        {[] { TIVRA::SYSLOG_INFO << "" << static_cast<uint8_t>(200); }, "200"},
        {[] { TIVRA::SYSLOG_INFO << "" << static_cast<int8_t>(-3); }, "-3"},
        {[] { TIVRA::SYSLOG_INFO << "" << static_cast<int16_t>(-300); }, "-300"},
        {[] { TIVRA::SYSLOG_INFO << "" << true << false; }, "10"},
        {[] { TIVRA::SYSLOG_INFO << "" << static_cast<size_t>(18446744073709551615UL); }, "18446744073709551615"},
        {[] { TIVRA::SYSLOG_INFO << "" << static_cast<int64_t>(-1); }, "-1"},
        {[] { TIVRA::SYSLOG_INFO << "" << static_cast<uint64_t>(3); }, "3"},
        {[] { TIVRA::SYSLOG_INFO << "" << static_cast<uint32_t>(4000000000U); }, "4000000000"},
        {[] { TIVRA::SYSLOG_INFO << "" << 'A'; }, "65"},
        {[] {
             const unsigned long value = 250;
             const std::string someString = "x";
             TIVRA::SYSLOG_INFO << "Setting: periodMin      : " << value << " more " << someString;
         },
         "Setting: periodMin      : 250 more x"},
    };
    start();
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        cases[i].log();
        EXPECT_EQ(messageOf(nextLine()), cases[i].message);
    }
}

// ---------------------------------------------------------------------------
// The 2047-character limit

TEST_F(SysLogTest, LongTextIsCutAtTheLimit)
{
    start();
    const std::string text(3000, 'x');
    TIVRA::SYSLOG_INFO << text.c_str() << 5 << 1.0 << "more";
    const std::string line = nextLine();
    EXPECT_EQ(line.size(), 2047U);
    EXPECT_EQ(messageOf(line), std::string(2047 - 31, 'x'));
}

TEST_F(SysLogTest, WholeValuesGoInOnlyWhenTheyFit)
{
    struct Case {
        std::string name;
        std::string text;  // rendering of the value
        std::function<void(const std::string& fill)> log;
    };
    const std::vector<Case> cases = {
        {"string", "strings",
         [](const std::string& f) { TIVRA::SYSLOG_INFO << f.c_str() << std::string("strings") << 123456789; }},
        {"view", "bytes", [](const std::string& f) { TIVRA::SYSLOG_INFO << f.c_str() << view("bytes") << 123456789; }},
        {"address", "fe80::1%2,19642",
         [](const std::string& f) { TIVRA::SYSLOG_INFO << f.c_str() << address("fe80::1", 19642, 2) << 123456789; }},
        {"clock", "000000000000000A",
         [](const std::string& f) { TIVRA::SYSLOG_INFO << f.c_str() << TIVRA::Clock(10) << 123456789; }},
    };
    const std::string digits = "123456789";
    start();
    for (const Case& c : cases) {
        // The largest line the value still fits into: lineLength + n + 1 = 2047.
        const size_t fits = 2047 - 1 - c.text.size() - 31;
        for (size_t fill : {fits, fits + 1}) {
            SCOPED_TRACE(c.name + " after " + std::to_string(31 + fill) + " characters");
            const std::string f(fill, 'a');
            c.log(f);
            std::string expected = f;
            if (fill == fits) {
                expected += c.text;
            }
            // A formatted value that follows is cut into what is left.
            expected += digits.substr(0, 2047 - 31 - expected.size());
            EXPECT_EQ(messageOf(nextLine()), expected);
        }
    }
}

TEST_F(SysLogTest, ZeroByteInAViewIsSentWholeUntilAFormattedValueFollows)
{
    start();
    const std::string withZero("ab\0cd", 5);
    TIVRA::SYSLOG_INFO << "" << view(withZero);
    EXPECT_EQ(messageOf(nextLine()), withZero);

    // The formatted value measures the line as text, which ends at the zero.
    TIVRA::SYSLOG_INFO << "" << view(withZero) << 5;
    EXPECT_EQ(messageOf(nextLine()), "ab");
}

// ---------------------------------------------------------------------------
// Set-up variants and sender sharing

namespace {
std::vector<std::string> gCallbackLines;
void collectLine(const char* line)
{
    gCallbackLines.emplace_back(line);
}
}  // namespace

TEST_F(SysLogTest, CallerCallbackGetsTheLinesAndNoSocketIsOpened)
{
    gCallbackLines.clear();
    ASSERT_TRUE(SysLog::initialize(1, &collectLine));
    TIVRA::quorvin_log = 7;
    EXPECT_EQ(SysLog::getStdErr(), &collectLine);
    EXPECT_EQ(SysLog::getFacility(), 1);
    auto* sender = static_cast<SysLog::SysLogSendC*>(SysLog::getOwn());
    ASSERT_NE(sender, nullptr);
    EXPECT_FALSE(sender->sendSocket.is_open());

    const time_t before = wallSeconds();
    TIVRA::SYSLOG_WARNING << "to callback " << 3;
    const time_t after = wallSeconds();
    ASSERT_EQ(gCallbackLines.size(), 1U);
    expectLine(gCallbackLines[0], "12", "to callback 3", before, after);

    // Opening the port later adds the datagram; the callback stays.
    EXPECT_TRUE(SysLog::OpenPort(rx.port));
    TIVRA::SYSLOG_WARNING << "both";
    EXPECT_EQ(messageOf(nextLine()), "both");
    ASSERT_EQ(gCallbackLines.size(), 2U);
    EXPECT_EQ(messageOf(gCallbackLines[1]), "both");
}

TEST_F(SysLogTest, NullCallbackOpensTheSocketTowardsPortZero)
{
    ASSERT_TRUE(SysLog::initialize(16, static_cast<SysLog::PrintCallback>(nullptr)));
    auto* sender = static_cast<SysLog::SysLogSendC*>(SysLog::getOwn());
    ASSERT_NE(sender, nullptr);
    EXPECT_TRUE(sender->sendSocket.is_open());
    EXPECT_FALSE(sender->sendSocket.getBlocking());
    EXPECT_EQ(sender->destination.getPort(), 0);
    EXPECT_EQ(sender->destination.addr[15], 1);
    EXPECT_EQ(SysLog::getStdErr(), nullptr);
}

TEST_F(SysLogTest, OpenPortLeavesAnOpenSocketAlone)
{
    start();
    Receiver other;
    EXPECT_TRUE(SysLog::OpenPort(other.port));
    TIVRA::SYSLOG_INFO << "still here";
    EXPECT_EQ(messageOf(nextLine()), "still here");
}

TEST_F(SysLogTest, SendersCanBeSharedAndSwitched)
{
    Receiver second;
    start(16);
    void* first = SysLog::getOwn();
    ASSERT_TRUE(SysLog::initialize(0, false, second.port));
    void* other = SysLog::getOwn();
    EXPECT_NE(first, other);

    SysLog::reinitialize(first);
    TIVRA::SYSLOG_INFO << "to first";
    EXPECT_EQ(nextLine().substr(0, 5), "<134>");
    SysLog::setFacility(1);
    EXPECT_EQ(SysLog::getFacility(), 1);
    TIVRA::SYSLOG_INFO << "facility one";
    const std::string line = nextLine();
    EXPECT_EQ(line.substr(0, 4), "<14>");
    EXPECT_EQ(messageOf(line), "facility one");

    SysLog::reinitialize(other);
    TIVRA::SYSLOG_INFO << "to second";
    const std::optional<std::string> got = second.next();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->substr(0, 3), "<6>");
    EXPECT_EQ(messageOf(*got), "to second");

    SysLog::finalize();
    SysLog::reinitialize(first);  // released by TearDown
}

TEST_F(SysLogTest, MessageStampsACallersLine)
{
    SysLog::SysLogSendC sender;
    ASSERT_TRUE(sender.OpenPort(rx.port));
    std::string text = std::string(kTemplate) + "caller text";
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    const time_t before = wallSeconds();
    sender.Message(13, line.data(), text.size());
    const time_t after = wallSeconds();
    expectLine(nextLine(), "13", "caller text", before, after);
}

// ---------------------------------------------------------------------------
// Console copy

TEST_F(SysLogTest, ConsoleShowsTheMessagePartOnly)
{
    StdoutCapture out;
    start(16, true);
    const std::string longText(2000, 'y');
    TIVRA::SYSLOG_INFO << "hello " << 1;
    TIVRA::SYSLOG_INFO << "";  // header only: nothing queued
    TIVRA::SYSLOG_INFO << longText.c_str();
    TIVRA::SYSLOG_INFO << "" << view(std::string("ab\0cd", 5));
    SysLog::setFacility(0);
    TIVRA::SYSLOG_ERR << "short priority";  // header of 29 characters

    const std::string expected = "hello 1\n" + std::string(1499, 'y') + "\nab\nshort priority\n";
    EXPECT_EQ(out.take(expected.size()), expected);
    EXPECT_EQ(out.rest(200ms), "");

    // The datagram keeps the whole message.
    nextLine();
    nextLine();
    EXPECT_EQ(messageOf(nextLine()), longText);
}

TEST_F(SysLogTest, FullConsoleQueueWaitsThenDropsTheLine)
{
    StdoutCapture out;
    start(16, true);

    std::string queued;
    std::string notices;
    std::chrono::steady_clock::duration waited{};
    {
        // The notices do not wait for the held printer.
        StdoutHolder hold(20s);
        for (int i = 0; i < 119; ++i) {
            TIVRA::SYSLOG_INFO << "queued " << i;
            queued += "queued " + std::to_string(i) + "\n";
        }
        const auto t0 = std::chrono::steady_clock::now();
        TIVRA::SYSLOG_INFO << "dropped";
        waited = std::chrono::steady_clock::now() - t0;
        notices = out.take(33, 5s);
    }

    EXPECT_EQ(notices, "wait debug out\ntimeout debug out\n");
    // Nine retries each follow a sleep of at least 1 ms.
    EXPECT_GE(waited, 9ms);
    EXPECT_EQ(out.take(queued.size()), queued);
    TIVRA::SYSLOG_INFO << "after";
    EXPECT_EQ(out.take(6), "after\n");

    // The dropped line had already gone out as a datagram.
    for (int i = 0; i < 119; ++i) {
        ASSERT_EQ(messageOf(nextLine()), "queued " + std::to_string(i));
    }
    EXPECT_EQ(messageOf(nextLine()), "dropped");
    EXPECT_EQ(messageOf(nextLine()), "after");
}

TEST_F(SysLogTest, NewPrinterDropsWhatTheOldOneHeld)
{
    StdoutCapture out;
    start(16, true);
    void* const first = SysLog::getOwn();
    {
        // Released by its cap while the replacement waits for the old printer.
        StdoutHolder hold(300ms);
        for (int i = 0; i < 5; ++i) {
            TIVRA::SYSLOG_INFO << "old " << i;
        }
        ASSERT_TRUE(SysLog::initialize(16, true, rx.port));
    }
    // A replaced sender is not released: go back to the first one, whose
    // console callback reaches the current printer too.
    SysLog::finalize();
    SysLog::reinitialize(first);
    TIVRA::SYSLOG_INFO << "new";
    // At most the line the old printer had already begun.
    const std::string printed = out.take(4);
    if (printed == "old ") {
        EXPECT_EQ(out.take(6), "0\nnew\n");
    } else {
        EXPECT_EQ(printed, "new\n");
    }
    EXPECT_EQ(out.rest(200ms), "");
}

TEST_F(SysLogTest, ExitStopsThePrinterWithoutPrintingTheQueue)
{
    // The child is a fresh run of this test, so no printer of another test
    // exists in it; the path of its standard output comes by environment.
    const char* const kPathVariable = "TIVRA_SYSLOG_EXIT_OUT";
    const char* inherited = std::getenv(kPathVariable);
    std::string path;
    if (inherited != nullptr) {
        path = inherited;
    } else {
        char name[] = "/tmp/syslog_exit_XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        ::close(fd);
        path = name;
        setenv(kPathVariable, path.c_str(), 1);
    }
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
            std::fflush(stdout);
            dup2(fd, STDOUT_FILENO);
            SysLog::initialize(16, true, rx.port);
            TIVRA::quorvin_log = 7;
            TIVRA::SYSLOG_INFO << "exit first";
            // The printer works: wait for its first line.
            for (int i = 0; i < 2000; ++i) {
                std::ifstream in(path);
                std::stringstream content;
                content << in.rdbuf();
                if (content.str() == "exit first\n") {
                    break;
                }
                std::this_thread::sleep_for(10ms);
            }
            // Held at its next line for longer than exit needs to reach the
            // printer's owner; only its cap releases it.
            static StdoutHolder* const hold = new StdoutHolder(500ms);
            hold->detach();
            for (int i = 0; i < 50; ++i) {
                TIVRA::SYSLOG_INFO << "queued " << i;
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, style);
    unsetenv(kPathVariable);

    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    std::remove(path.c_str());
    // At most the line the printer had already begun.
    const std::string printed = content.str();
    EXPECT_TRUE(printed == "exit first\n" || printed == "exit first\nqueued 0\n") << printed;
}

// ---------------------------------------------------------------------------
// Threads

TEST_F(SysLogTest, ConcurrentStatementsStayWhole)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 100;
    StdoutCapture out;
    start(16, true);

    std::set<std::string> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            expected.insert("thread " + std::to_string(t) + " line " + std::to_string(i) + " end");
        }
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                TIVRA::SYSLOG_INFO << "thread " << t << " line " << i << " end";
            }
        });
    }
    std::set<std::string> received;
    bool intact = true;
    // With a receive buffer this large nothing is lost on loopback.
    const bool lossless = rx.receiveBuffer() >= (4 << 20);
    for (int n = 0; n < kThreads * kLines; ++n) {
        std::optional<std::string> d = rx.next(lossless ? 5000ms : 500ms);
        if (!d) {
            break;
        }
        const std::string m = messageOf(*d);
        intact = intact && expected.count(m) == 1 && received.insert(m).second;
    }
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_TRUE(intact);
    if (lossless) {
        EXPECT_EQ(received.size(), expected.size());
    }

    // Lines come out in queue order: once any sync line shows, everything
    // queued before it has been printed. A sync line may itself be dropped.
    std::string text;
    for (int k = 0; k < 100; ++k) {
        const std::string sync = "sync " + std::to_string(k);
        TIVRA::SYSLOG_INFO << sync.c_str();
        text += out.rest(100ms);
        if (text.find("sync ") != std::string::npos) {
            break;
        }
    }
    // The printer may drop lines under load; what it prints is whole lines
    // and notices, each line once.
    std::set<std::string> printed;
    std::istringstream lines(text);
    for (std::string l; std::getline(lines, l);) {
        if (l == "wait debug out" || l == "timeout debug out" || l.rfind("sync ", 0) == 0) {
            continue;
        }
        EXPECT_EQ(expected.count(l), 1U) << l;
        EXPECT_TRUE(printed.insert(l).second) << l;
    }
}
