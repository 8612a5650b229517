// The daemon binary end to end where its main loop guards against a fault:
// a failed search, a node lost while the scan cannot run, a stop signal
// while the driver holds a request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "DaemonRun.h"
#include "bridge/BridgeMemHeader.h"

using namespace daemonrun;
using standin::count;

namespace {

class DaemonMends : public DaemonRun {
protected:
    // The port of the card's sink, from the daemon's "add node:" line.
    int sinkPort(int card) const
    {
        std::istringstream in(daemonOutput());
        const std::string prefix = "add node:fe80::2,";
        const std::string suffix = " " + std::to_string(card);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(prefix, 0) == 0 && line.size() > prefix.size() + suffix.size()
                && line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
                return std::stoi(line.substr(prefix.size()));
            }
        }
        return -1;
    }
    // Sends to Alpha refused by the host's own routing (EACCES): a failure
    // of the sender, not a target that does not answer. With a port, only
    // the sends to that port.
    bool refuseSends(const std::string& verb, int port = -1)
    {
        std::vector<std::string> argv{"ip", "-6", "rule", verb, "to", "fe80::2"};
        if (port >= 0) {
            argv.insert(argv.end(), {"ipproto", "udp", "dport", std::to_string(port)});
        }
        argv.push_back("prohibit");
        return net.run(Side::Host, argv) == 0;
    }
    // The lines of the daemon's output after the first that starts with
    // `from`, up to the next that starts with `to` (that line excluded);
    // nothing unless both are there.
    std::optional<std::vector<std::string>> linesBetween(const std::string& from, const std::string& to) const
    {
        std::istringstream in(daemonOutput());
        std::vector<std::string> between;
        bool inside = false;
        for (std::string line; std::getline(in, line);) {
            if (!inside) {
                inside = line.rfind(from, 0) == 0;
            } else if (line.rfind(to, 0) == 0) {
                return between;
            } else {
                between.push_back(line);
            }
        }
        return std::nullopt;
    }
    // Whether the process has the signal pending (blocked in every thread).
    static bool pending(pid_t pid, int signal)
    {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("ShdPnd:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0) {
                return true;
            }
        }
        return false;
    }
    // The daemon: the stand-in's one child.
    pid_t bridgePid() const
    {
        const std::string p = std::to_string(daemon.pid());
        std::ifstream children("/proc/" + p + "/task/" + p + "/children");
        pid_t child = -1;
        children >> child;
        return child;
    }
    // Every card made was closed and removed, and the final request came last.
    void expectEveryCardRemoved()
    {
        const auto journal = this->journal();
        for (const auto& line : journal) {
            if (line.request == "CREATE") {
                const int card = static_cast<int>(line.result);
                size_t removed = 0;
                for (const auto& l : journal) {
                    removed += l.request == "REMOVE" && l.card == card && l.hostStatus == 0U ? 1 : 0;
                }
                EXPECT_EQ(removed, 1U) << card;
            }
        }
        ASSERT_FALSE(journal.empty());
        EXPECT_EQ(journal.back().request, "REMOVE");
        EXPECT_EQ(journal.back().card, 0);
        EXPECT_FALSE(journal.back().hostStatus);
    }
};

// A search that fails (its own sends refused) ends the loop: the daemon
// takes every card down in order, as on a stop signal, and exits with
// status 1.
TEST_F(DaemonMends, FailedSearchEndsTheRunInOrderWithStatusOne)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    ASSERT_TRUE(refuseSends("add"));
    // At the next scan, 20 s after the first.
    const auto status = daemon.wait(40s);
    ASSERT_TRUE(status) << daemonOutput();
    EXPECT_EQ(*status, 1);
    EXPECT_TRUE(testwait::waitFor([&] { return log.count("Scan Error") == 1; }, 5s));
    EXPECT_EQ(count(journal(), "CREATE"), 3U);
    expectEveryCardRemoved();
}

// A node that failed its turn while its scan could not run (the sink list
// failed) gets no turn until a scan has dealt with it: it does not connect
// again, nor force a scan on every pass, and the next scan drops it.
TEST_F(DaemonMends, LostNodeGetsNoTurnBeforeItsScan)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    const int main = cardOf("Main");
    ASSERT_GE(main, 0);
    const int port = sinkPort(main);
    ASSERT_GT(port, 0) << daemonOutput();
    // Sends to Main's sink refused: its turn cannot reach the sink, and the
    // scan's sink list fails at Main's node information.
    ASSERT_TRUE(refuseSends("add", port));
    // The application's stream request, left standing.
    const std::string file = testbed::driverCardFile(standinDir, main);
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* m = ::mmap(nullptr, kRingBytes + QUORVIN::BRIDGE_HEADER_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(m, MAP_FAILED);
    auto* header = reinterpret_cast<QUORVIN::BridgeMemHeader*>(static_cast<uint8_t*>(m) + kRingBytes);
    QUORVIN::storeField(header->chosenFormat, uint64_t{QUORVIN::QUORVIN_BR_FORMAT_PCM16});
    QUORVIN::storeField(header->chosenRate, uint64_t{0x6});
    QUORVIN::storeField(header->chosenChannels, uint64_t{0x2});
    QUORVIN::storeField(header->ringBytes, uint32_t{49152});
    QUORVIN::storeField(header->periodCount, uint32_t{8});
    QUORVIN::storeField(header->driverRequest,
                        uint32_t{QUORVIN::QUORVIN_BR_REQUEST_INUSE | QUORVIN::QUORVIN_BR_REQUEST_STREAM});
    const bool missed = waitDaemon("Scan Mis 1\n", 1, 15s);
    // The sink reachable again: a turn now would connect.
    EXPECT_TRUE(refuseSends("del", port));
    const bool dropped = missed && events.waitRemoves(main, 1, 40s);
    ::munmap(m, kRingBytes + QUORVIN::BRIDGE_HEADER_SIZE);
    ASSERT_TRUE(missed) << daemonOutput();
    ASSERT_TRUE(dropped) << daemonOutput();
    EXPECT_EQ(occurrences(daemonOutput(), "valid format\n"), 1U) << daemonOutput();
    // Nothing between the failed scan and the next, which dropped the node.
    const auto between = linesBetween("Scan Mis 1", "SCAN Target interval");
    ASSERT_TRUE(between) << daemonOutput();
    for (const auto& line : *between) {
        EXPECT_TRUE(line != "connect" && line != "valid format") << line;
    }
    EXPECT_EQ(log.count("lost node:" + std::to_string(main) + " fe80::2,"), 1U);
    EXPECT_EQ(occurrences(emulatorOutput(), "CONNECT_REQ(8)"), 0U);
}

// A stop signal that comes while the driver holds the loop thread's request
// waits, pending, for the loop to take it between its passes: the request
// is not cut short and made again (a second card), and the daemon then
// stops in order with status 0.
TEST_F(DaemonMends, StopSignalDuringAHeldRequestWaitsForTheLoop)
{
    ASSERT_NO_FATAL_FAILURE(startEmulator());
    // Without the killable wait, as a driver's own wait may be interrupted.
    ASSERT_NO_FATAL_FAILURE(startDaemon({"--hold-create", "--no-wait-killable"}));
    const std::string held = standinDir + "/" + testbed::kDriverHoldFile;
    ASSERT_TRUE(testwait::waitFor([&] { return std::filesystem::exists(held); }, 20s)) << daemonOutput();
    const pid_t bridge = bridgePid();
    ASSERT_GT(bridge, 0);
    const uint32_t lines = events.journal();
    ASSERT_EQ(::kill(daemon.pid(), SIGHUP), 0);  // forwarded to the daemon
    // Pending, unless a thread took it: then the request was made again.
    const bool waiting = testwait::waitFor([&] { return pending(bridge, SIGHUP) || events.journal() > lines; }, 10s);
    const bool stillPending = pending(bridge, SIGHUP);
    std::filesystem::remove(held);
    EXPECT_TRUE(waiting);
    EXPECT_TRUE(stillPending);
    const auto status = daemon.wait(30s);
    ASSERT_TRUE(status) << daemonOutput();
    EXPECT_EQ(*status, 0);
    const auto journal = this->journal();
    // One card per sink, each attached.
    EXPECT_EQ(count(journal, "CREATE"), 3U);
    for (const auto& line : journal) {
        if (line.request == "CREATE") {
            EXPECT_EQ(count(journal, "ATTACH", static_cast<int>(line.result)), 1U) << line.result;
        }
    }
    expectEveryCardRemoved();
}

}  // namespace
