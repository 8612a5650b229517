// The daemon's log arriving at a real syslog receiver: rsyslog listening on
// [::1]:19640 in the host namespace of a test's own while the daemon starts
// under the driver stand-in and is stopped again.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "NetNamespaces.h"
#include "StandinRun.h"
#include "WaitFor.h"
#include "foundation/Socket.h"
#include "testbed/driver/DriverStandin.h"

using testnet::NetNamespaces;

namespace {

std::string programDir()
{
    const std::string exe = standin::self();
    return exe.substr(0, exe.rfind('/')) + "/..";
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Entry {
    int facility = -1;
    int severity = -1;
    std::string text;
};

// "<facility> <severity> <datagram>" per line, as the receiver's template
// writes it; the datagram's 31-character header (priority, time, host) is
// cut off, so the text is the daemon's line as it logged it.
std::vector<Entry> entries(const std::string& log)
{
    std::vector<Entry> out;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        Entry e;
        std::istringstream l(line);
        l >> e.facility >> e.severity;
        std::getline(l, e.text);
        if (!e.text.empty() && e.text[0] == ' ') {
            e.text.erase(0, 1);
        }
        e.text = e.text.size() > 31 && e.text[0] == '<' ? e.text.substr(31) : e.text;
        out.push_back(e);
    }
    return out;
}

bool has(const std::vector<Entry>& log, int severity, const std::string& text)
{
    for (const Entry& e : log) {
        if (e.severity == severity && e.text == text) {
            return true;
        }
    }
    return false;
}

// rsyslog on [::1]:19640 in the host namespace, writing each message as
// "<facility> <severity> <datagram>" to `log`; control bytes arrive escaped
// as "#ooo" (its default), so every message stays on one line.
testnet::Program startReceiver(NetNamespaces& net, const std::string& dir, const std::string& log)
{
    {
        std::ofstream conf(dir + "/rsyslog.conf");
        conf << "global(workDirectory=\"" << dir << "\")\n"
             << "module(load=\"imudp\")\n"
             << "input(type=\"imudp\" address=\"::1\" port=\"19640\")\n"
             << "template(name=\"plain\" type=\"string\" string=\"%syslogfacility% %syslogseverity% %rawmsg%\\n\")\n"
             << "*.* action(type=\"omfile\" file=\"" << log << "\" template=\"plain\")\n";
    }
    testnet::Program receiver =
        net.start(NetNamespaces::Host, {"/usr/sbin/rsyslogd", "-n", "-f", dir + "/rsyslog.conf", "-i", dir + "/pid"});
    if (!receiver.started()) {
        return receiver;
    }
    // Until the receiver takes datagrams: a probe of our own, sent until it is written.
    const bool ready = net.inHost([&] {
        TIVRA::Socket probe;
        TIVRA::IPAddress to;
        to.addr[15] = 1;
        to.setPort(19640);
        const std::string text = "<134>probe: ready";
        if (!probe.open(TIVRA::Socket::UDP_V6)) {
            return false;
        }
        return testwait::waitFor([&] {
            probe.sendToV6(TIVRA::BufferCS_const{reinterpret_cast<const uint8_t*>(text.data()), text.size()}, to,
                           false);
            return readFile(log).find("ready") != std::string::npos;
        });
    });
    EXPECT_TRUE(ready) << "rsyslog took no datagram";
    return receiver;
}

// rsyslog's "#ooo" escapes undone, for control bytes (the only ones it escapes).
std::string unescaped(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '#' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '1' &&
            text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
            const int value = (text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0');
            if (value < 0x20 || value == 0x7f) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

uint32_t word(const std::string& bytes, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    }
    return v;
}

// rsyslog needs the package; each test has its namespaces and directory.
class DaemonSyslog : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access("/usr/sbin/rsyslogd", X_OK) != 0) {
            GTEST_SKIP() << "rsyslog is not installed";
        }
        ASSERT_TRUE(net.ok()) << net.error();
        ASSERT_FALSE(dir.path.empty());
        log = dir.path + "/received";
    }

    // Once the receiver has the line, SIGTERM, and the daemon exits with 0.
    void stopAfter(testnet::Program& daemon, const std::string& line)
    {
        ASSERT_TRUE(testwait::waitFor([&] { return readFile(log).find(line) != std::string::npos; },
                                      std::chrono::seconds(20)))
            << readFile(log);
        ASSERT_EQ(kill(daemon.pid(), SIGTERM), 0);
        const auto status = daemon.wait(std::chrono::seconds(20));
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, 0);
    }

    NetNamespaces net;
    standin::StandinDir dir;
    std::string log;
};

TEST_F(DaemonSyslog, StartUpLinesReachARealReceiver)
{
    {
        std::ofstream settings(dir.path + "/setting.inf");
        settings << "[global]\nDebug = enable\nInterface = " << NetNamespaces::kHostLink << "\nperiodMax = 16\n";
    }
    std::filesystem::create_directory(dir.path + "/driver");
    testnet::Program receiver = startReceiver(net, dir.path, log);
    ASSERT_TRUE(receiver.started());
    ASSERT_FALSE(HasFailure());

    testnet::Program daemon = net.start(
        NetNamespaces::Host, {programDir() + "/testbed/driver-standin", "--dir", dir.path + "/driver", "--",
                              programDir() + "/bridge/quorvin-bridge", dir.path + "/setting.inf", "Room"});
    ASSERT_TRUE(daemon.started());
    ASSERT_NO_FATAL_FAILURE(stopAfter(daemon, "Find::open 1"));

    const auto received = entries(readFile(log));
    size_t fromDaemon = 0;
    for (const Entry& e : received) {
        if (e.text.find("probe") != std::string::npos || e.text.find("rsyslogd") != std::string::npos) {
            continue;
        }
        ++fromDaemon;
        EXPECT_EQ(e.facility, 16) << e.text;
        EXPECT_GE(e.severity, 3) << e.text;
        EXPECT_LE(e.severity, 6) << e.text;  // "enable": info and above
    }
    EXPECT_GT(fromDaemon, 10U);
    EXPECT_TRUE(has(received, 6, "Load Setting : " + dir.path + "/setting.inf"));
    EXPECT_TRUE(has(received, 5, "Setting: periodMax      : 16"));
    EXPECT_TRUE(has(received, 5, "Setting: InfCycleTime              : 1000"));
    EXPECT_TRUE(has(received, 6,
                    "much interface " + std::string(NetNamespaces::kHostLink) + " fe80::1 ifno:"
                        + std::to_string(net.linkIndex(NetNamespaces::Host))));
    EXPECT_TRUE(has(received, 6, "SCAN Target interval"));
}

// A stream's lines at the receiver: "wth start " as the console shows it, and
// the send statistics, raw bytes, whole.
TEST_F(DaemonSyslog, StreamLinesAndStatisticsArriveIntact)
{
    const std::string driver = dir.path + "/driver";
    {
        std::ofstream(dir.path + "/setting.inf") << "[global]\nDebug = stdout\nInterface = " << NetNamespaces::kHostLink
                                                 << "\n";
        std::ofstream(dir.path + "/solo.inf") << "[target]\nname = Solo\naddress = fe80::2%" << NetNamespaces::kTargetLink
                                              << "\n[sink.0]\nname = Main\n";
    }
    std::filesystem::create_directory(driver);
    testnet::Program receiver = startReceiver(net, dir.path, log);
    ASSERT_TRUE(receiver.started());
    ASSERT_FALSE(HasFailure());

    const std::string emulatorOut = dir.path + "/emulator.out";
    testnet::Program emulator = net.start(
        NetNamespaces::Target, {"sh", "-c", "exec '" + programDir() + "/testbed/target-emulator' --config '" + dir.path +
                                                "/solo.inf' >'" + emulatorOut + "' 2>&1"});
    ASSERT_TRUE(emulator.started());
    ASSERT_TRUE(testwait::waitFor([&] { return readFile(emulatorOut).find("ready\n") != std::string::npos; },
                                  std::chrono::seconds(10)));
    const std::string console = dir.path + "/daemon.out";
    testnet::Program daemon = net.start(
        NetNamespaces::Host, {"sh", "-c", "exec '" + programDir() + "/testbed/driver-standin' --dir '" + driver + "' -- '" +
                                              programDir() + "/bridge/quorvin-bridge' '" + dir.path +
                                              "/setting.inf' >'" + console + "' 2>&1"});
    ASSERT_TRUE(daemon.started());
    testbed::DriverEventBlock events;
    ASSERT_TRUE(events.open(driver, std::chrono::seconds(10)));
    ASSERT_TRUE(testwait::waitFor([&] { return events.attaches(0) > 0; }, std::chrono::seconds(20)))
        << readFile(console);
    std::string played;
    ASSERT_EQ(testnet::runProgram({programDir() + "/testbed/card-player", testbed::driverCardFile(driver, 0), "--events",
                                   driver + "/" + testbed::kDriverEventsFile, "--periods", "16", "--period-frames",
                                   "1920", "--rate", "48000", "--format", "pcm16", "--frames", "24000"},
                                  &played),
              0)
        << played;
    ASSERT_NO_FATAL_FAILURE(stopAfter(daemon, "wth end"));

    // The console line, whole, is the text at the receiver.
    std::string startLine;
    {
        std::istringstream in(readFile(console));
        for (std::string line; std::getline(in, line);) {
            const size_t at = line.find("wth start ");
            if (at != std::string::npos) {
                startLine = line.substr(at);
                break;
            }
        }
    }
    ASSERT_FALSE(startLine.empty()) << readFile(console);
    EXPECT_NE(startLine.find(" FEEDBACK:"), std::string::npos) << startLine;
    const auto received = entries(readFile(log));
    EXPECT_TRUE(has(received, 6, startLine)) << startLine;

    // Statistics: 1412 bytes, 0 0 n 1, n records of rising time and of a
    // packet's size, zeros after them.
    size_t blocks = 0;
    for (const Entry& e : received) {
        std::string bytes = unescaped(e.text);
        // rsyslog drops a message's one final NUL (or line feed) on receipt;
        // the block's last byte is the high byte of a record's size, always 0.
        if (bytes.size() == 1411) {
            bytes.push_back('\0');
        }
        if (e.severity != 6 || bytes.size() < 4 || bytes[0] != 0 || bytes[1] != 0 || bytes[3] != 1) {
            continue;
        }
        ++blocks;
        ASSERT_EQ(bytes.size(), 1412U) << e.text;
        const size_t n = static_cast<uint8_t>(bytes[2]);
        ASSERT_GE(n, 1U);
        ASSERT_LE(n, 176U);
        const uint32_t first = word(bytes, 4);
        for (size_t i = 0; i < 176; ++i) {
            const uint32_t time = word(bytes, 4 + 8 * i);
            const uint32_t size = word(bytes, 8 + 8 * i);
            if (i >= n) {
                EXPECT_EQ(time, 0U) << i;
                EXPECT_EQ(size, 0U) << i;
                continue;
            }
            // The block goes out at 176 records or with the first record
            // past 49,999 us, so only the last may lie beyond.
            if (i + 1 < n) {
                EXPECT_LE(time - first, 49999U) << i;
            } else if (n < 176) {
                EXPECT_GT(time - first, 49999U) << i;
            }
            if (i > 0) {
                EXPECT_LE(word(bytes, 4 + 8 * (i - 1)) - first, time - first) << i;
            }
            EXPECT_GE(size, 16U + 74U) << i;
            EXPECT_LE(size, 65536U) << i;
        }
    }
    EXPECT_GT(blocks, 0U) << "no statistics block arrived";
}

}  // namespace
