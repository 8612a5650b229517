// The daemon's start-up failures, run as the real program: each ends it at
// once with exit status 1 and its log lines, and leaves nothing with the
// driver.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "FreshNetwork.h"
#include "NetNamespaces.h"
#include "StandinRun.h"
#include "foundation/Socket.h"

namespace {

std::string programDir()
{
    const std::string exe = standin::self();
    return exe.substr(0, exe.rfind('/')) + "/..";
}

struct StartCase {
    const char* name;
    bool underStandin;
    std::vector<std::string> standinOptions;
    std::string interfaces;
    std::vector<std::string> lines;  // in the daemon's output, in this order
};

class DaemonStartUp : public ::testing::TestWithParam<StartCase> {};

TEST_P(DaemonStartUp, FailsWithStatusOne)
{
    const StartCase& c = GetParam();
    standin::StandinDir dir;
    ASSERT_FALSE(dir.path.empty());
    {
        std::ofstream settings(dir.path + "/setting.inf");
        settings << "[global]\nDebug = enable\nInterface = " << c.interfaces << "\n";
    }
    std::filesystem::create_directory(dir.path + "/driver");
    std::vector<std::string> argv;
    if (c.underStandin) {
        argv = {programDir() + "/testbed/driver-standin", "--dir", dir.path + "/driver"};
        argv.insert(argv.end(), c.standinOptions.begin(), c.standinOptions.end());
        argv.push_back("--");
    }
    argv.insert(argv.end(), {programDir() + "/bridge/quorvin-bridge", dir.path + "/setting.inf", "Room"});
    std::string output;
    int status = -1;
    // A network of its own (no interface the test does not make), where the
    // test takes the daemon's syslog datagrams: its console copy is not
    // flushed at exit, the datagrams go out with each line.
    std::thread([&] {
        ASSERT_TRUE(testnet::enterFreshNetwork());
        TIVRA::Socket log;
        TIVRA::IPAddress at;
        at.addr[15] = 1;
        at.setPort(19640);
        ASSERT_TRUE(log.open(TIVRA::Socket::UDP_V6) && log.bindV6(at));
        std::string console;
        status = testnet::runProgram(argv, &console);
        TIVRA::Buffer datagram;
        TIVRA::IPAddress from;
        while (log.wait() == TIVRA::Socket::WaitReady && log.receiveFromV6(datagram, from)) {
            if (datagram.size() > 31) {
                output.append(reinterpret_cast<const char*>(datagram.data()) + 31, datagram.size() - 31);
                output += "\n";
            }
        }
    }).join();
    EXPECT_EQ(status, 1) << output;
    size_t at = 0;
    for (const std::string& line : c.lines) {
        const size_t found = output.find(line + "\n", at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << output;
        at = found + line.size();
    }
    if (c.underStandin) {
        const auto journal = testbed::readJournal(dir.path + "/driver");
        EXPECT_EQ(standin::count(journal, "CREATE"), 0U);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bridge, DaemonStartUp,
    ::testing::Values(StartCase{"NoControlNode", false, {}, "", {"meme open error Err", "bridge.Initial Err"}},
                      StartCase{"InitRefused", true, {"--fail-init"}, "", {"bridge.Initial Err"}},
                      StartCase{"UnknownInterface", true, {}, "qnowhere0",
                                {"not much interface qnowhere0", "Socket Err", "bridge.Start Err"}}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

}  // namespace
