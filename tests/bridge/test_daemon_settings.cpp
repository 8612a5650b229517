// The daemon binary end to end with its settings file: card limits, a
// profile group, the interface list and the loop thread's CPU, a missing
// file, an interface that does not exist.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>

#include <string>
#include <vector>

#include "DaemonRun.h"

using namespace daemonrun;
using standin::count;

namespace {

class DaemonSettings : public DaemonRun {};

// A CPU this process may run on (the daemon inherits the set).
int allowedCpu()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set)) {
                return cpu;
            }
        }
    }
    return 0;
}

TEST_F(DaemonSettings, LimitsProfileInterfaceAndCpuAreUsed)
{
    const std::string cpu = std::to_string(allowedCpu());
    writeSettings(std::string("[global]\nDebug = enable\nInterface = ") + testnet::NetNamespaces::kHostLink +
                  "\nperiodMax = 16\nperiodSizeMax = 19200\nCpuOther = " + cpu + "\n[Alpha:Feed]\nCycleTime = 2000\n");
    ASSERT_NO_FATAL_FAILURE(startEmulator());
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitAttached(3, 20s)) << daemonOutput();
    constexpr uint64_t kRing = 16 * 19200;
    int feed = -1;
    for (const auto& line : journal()) {
        if (line.request == "CREATE") {
            EXPECT_EQ(line.arg, kRing);
            const auto names = cardNames(testbed::driverCardFile(standinDir, static_cast<int>(line.result)), kRing);
            ASSERT_TRUE(names);
            feed = names->sink == "Feed" ? static_cast<int>(line.result) : feed;
        }
    }
    ASSERT_GE(feed, 0);
    EXPECT_EQ(log.count("detect profie : Alpha:Feed"), 1U);
    EXPECT_EQ(log.count("default profie"), 2U);
    EXPECT_EQ(log.count("Loop Thread CPU set " + cpu + ","), 1U);
    // Not on standard output: "enable" logs to the syslog port only.
    EXPECT_EQ(occurrences(daemonOutput(), "default profie"), 0U);
    std::string output;
    ASSERT_EQ(play(feed, {"--rate", "48000", "--format", "pcm16", "--frames", "24000"}, &output), 0) << output;
    EXPECT_EQ(log.count("start cycle=2000usec"), 1U);
}

// Without a settings file the daemon runs on the defaults and logs nothing.
TEST_F(DaemonSettings, MissingFileRunsSilentlyOnTheDefaults)
{
    ASSERT_NO_FATAL_FAILURE(startEmulator());
    ASSERT_NO_FATAL_FAILURE(startDaemonWith(dir + "/none.inf"));
    ASSERT_TRUE(waitAttached(3, 20s)) << daemonOutput();
    for (const auto& line : journal()) {
        if (line.request == "CREATE") {
            EXPECT_EQ(line.arg, kRingBytes);
        }
    }
    ASSERT_EQ(::kill(daemon.pid(), SIGTERM), 0);
    const auto status = daemon.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(log.size(), 0U);
    EXPECT_EQ(daemonOutput(), "");
}

// An interface that does not exist fails the start with status 1 and its
// lines, after INIT and with the final request.
TEST_F(DaemonSettings, UnknownInterfaceFailsTheStart)
{
    writeSettings("[global]\nDebug = enable\nInterface = nosuch0\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    const auto status = daemon.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1);
    EXPECT_TRUE(testwait::waitFor([&] { return log.count("bridge.Start Err") == 1; }, 5s));
    EXPECT_EQ(log.count("Socket Err"), 1U);
    const auto journal = this->journal();
    ASSERT_EQ(journal.size(), 2U);
    EXPECT_EQ(journal[0].request, "INIT");
    EXPECT_EQ(journal[0].result, 0);
    EXPECT_EQ(journal[1].request, "REMOVE");
    EXPECT_FALSE(journal[1].hostStatus);
}

}  // namespace
