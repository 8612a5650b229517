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

TEST(DaemonSyslog, StartUpLinesReachARealReceiver)
{
    if (access("/usr/sbin/rsyslogd", X_OK) != 0) {
        GTEST_SKIP() << "rsyslog is not installed";
    }
    NetNamespaces net;
    ASSERT_TRUE(net.ok()) << net.error();
    standin::StandinDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string log = dir.path + "/received";
    {
        std::ofstream conf(dir.path + "/rsyslog.conf");
        conf << "global(workDirectory=\"" << dir.path << "\")\n"
             << "module(load=\"imudp\")\n"
             << "input(type=\"imudp\" address=\"::1\" port=\"19640\")\n"
             << "template(name=\"plain\" type=\"string\" string=\"%syslogfacility% %syslogseverity% %rawmsg%\\n\")\n"
             << "*.* action(type=\"omfile\" file=\"" << log << "\" template=\"plain\")\n";
        std::ofstream settings(dir.path + "/setting.inf");
        settings << "[global]\nDebug = enable\nInterface = " << NetNamespaces::kHostLink << "\nperiodMax = 16\n";
    }
    std::filesystem::create_directory(dir.path + "/driver");
    testnet::Program receiver = net.start(
        NetNamespaces::Host, {"/usr/sbin/rsyslogd", "-n", "-f", dir.path + "/rsyslog.conf", "-i", dir.path + "/pid"});
    ASSERT_TRUE(receiver.started());
    // Until the receiver takes datagrams: a probe of our own, sent until it is written.
    ASSERT_TRUE(net.inHost([&] {
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
    }));

    testnet::Program daemon = net.start(
        NetNamespaces::Host, {programDir() + "/testbed/driver-standin", "--dir", dir.path + "/driver", "--",
                              programDir() + "/bridge/quorvin-bridge", dir.path + "/setting.inf", "Room"});
    ASSERT_TRUE(daemon.started());
    ASSERT_TRUE(testwait::waitFor([&] { return readFile(log).find("Find::open 1") != std::string::npos; },
                                  std::chrono::seconds(20)))
        << readFile(log);
    ASSERT_EQ(kill(daemon.pid(), SIGTERM), 0);
    const auto status = daemon.wait(std::chrono::seconds(20));
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);

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

}  // namespace
