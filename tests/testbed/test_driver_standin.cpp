// driver-standin run as a child process with driver-client under it: the
// answers, the journal, the card files and their shared pages, the faults,
// a signal during a trapped CREATE, signals forwarded, the exit status and
// what is left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "WaitFor.h"
#include "bridge/BridgeMemHeader.h"
#include "testbed/driver/DriverStandin.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using testbed::JournalLine;

constexpr auto kDeadline = 20s;

std::string buildDir()
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
        return {};
    }
    const std::string exe(self, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/')) + "/../testbed/";
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// One launcher with the client under it, in a directory of its own that goes
// with it; a launcher still running at the end is killed (its command dies
// with it).
class Standin {
public:
    Standin()
    {
        char name[] = "/tmp/driver-standin-XXXXXX";
        if (mkdtemp(name)) {
            dir = name;
        }
    }
    ~Standin()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) {
            close(out);
        }
        if (pidFd >= 0) {
            close(pidFd);
        }
        if (!dir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    }

    bool start(const std::vector<std::string>& options, const std::vector<std::string>& steps)
    {
        std::vector<std::string> words = {buildDir() + "driver-standin", "--dir", dir};
        words.insert(words.end(), options.begin(), options.end());
        words.push_back("--");
        words.push_back(buildDir() + "driver-client");
        words.insert(words.end(), steps.begin(), steps.end());
        return spawn(words);
    }

    bool spawn(const std::vector<std::string>& words)
    {
        int fds[2];
        if (dir.empty() || pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        const std::string errPath = dir + ".stderr";
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argv;
        for (const auto& w : words) {
            argv.push_back(const_cast<char*>(w.c_str()));
        }
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out = fds[0];
        if (rc != 0) {
            pid = -1;
            return false;
        }
        pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        return pidFd >= 0;
    }

    // Until a whole line of output starts with `prefix`; the line, or "".
    std::string waitLine(const std::string& prefix, std::chrono::milliseconds timeout = kDeadline)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            std::istringstream lines(output.substr(consumed));
            std::string line;
            size_t at = consumed;
            while (std::getline(lines, line) && !lines.eof()) {
                at += line.size() + 1;
                if (line.compare(0, prefix.size(), prefix) == 0) {
                    consumed = at;
                    return line;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) {
                return {};
            }
        }
    }

    // The launcher's exit status, -1 if it did not end in time.
    int wait(std::chrono::milliseconds timeout = kDeadline)
    {
        pollfd p{pidFd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
            // What it printed so far, for the failure message.
            while (readSome(0)) {
            }
            return -1;
        }
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) {
            return -1;
        }
        pid = -1;
        while (readSome(0)) {
        }
        stderrText = readFile(dir + ".stderr");
        std::filesystem::remove(dir + ".stderr");
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::vector<std::string> lines() const
    {
        std::vector<std::string> all;
        std::istringstream in(output);
        for (std::string l; std::getline(in, l);) {
            all.push_back(l);
        }
        return all;
    }

    std::string dir;
    pid_t pid = -1;
    std::string output;
    std::string stderrText;

private:
    bool readSome(int timeoutMs)
    {
        pollfd p{out, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) {
            return false;
        }
        char buf[4096];
        const ssize_t n = read(out, buf, sizeof(buf));
        if (n <= 0) {
            return false;
        }
        output.append(buf, static_cast<size_t>(n));
        return true;
    }

    int out = -1;
    int pidFd = -1;
    size_t consumed = 0;
};

// The journal without its times, for comparing.
std::vector<std::string> journalText(const std::string& dir)
{
    std::vector<std::string> text;
    for (JournalLine line : testbed::readJournal(dir)) {
        line.time = 0;
        const std::string t = testbed::formatJournalLine(line);
        text.push_back(t.substr(t.find(' ') + 1));
    }
    return text;
}

off_t fileSize(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

TEST(DriverJournal, LinesReadBackAsWritten)
{
    JournalLine line;
    line.time = 1.5;
    line.request = "NOTIFY";
    line.card = 7;
    line.arg = 4;
    line.result = -1;
    line.hostStatus = 0x80000007;
    line.hostReadPos = 43008;
    const std::string text = testbed::formatJournalLine(line);
    EXPECT_EQ(text, "1.500000 NOTIFY card=7 arg=4 result=-1 hostStatus=0x80000007 hostReadPos=43008");
    const auto back = testbed::parseJournalLine(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->request, "NOTIFY");
    EXPECT_EQ(back->card, 7);
    EXPECT_EQ(back->result, -1);
    EXPECT_EQ(back->hostStatus, 0x80000007u);
    EXPECT_EQ(back->hostReadPos, 43008u);

    const auto none = testbed::parseJournalLine("0.1 INIT card=- arg=0 result=0 hostStatus=- hostReadPos=-");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->card, -1);
    EXPECT_FALSE(none->hostStatus);
    for (const char* bad : {"", "0.1 INIT card=- arg=0 result=0 hostStatus=- ",
                            "0.1 INIT card=x arg=0 result=0 hostStatus=- hostReadPos=-",
                            "0.1 INIT card=- arg=0 result=0 hostStatus=3 hostReadPos=-",
                            "0.1 INIT card=- arg=-1 result=0 hostStatus=- hostReadPos=-",
                            "0.1 INIT card=- arg=0 result=0 hostStatus=- hostReadPos=- more"}) {
        EXPECT_FALSE(testbed::parseJournalLine(bad)) << bad;
    }
}

// The daemon's order of requests on one card: every answer, every journal
// line with the header as it was at that request, the counters, and a
// driver request number on another file left to that file's driver.
TEST(DriverStandin, AnswersAndJournalsACardsRequests)
{
    Standin s;
    ASSERT_TRUE(s.start({}, {"open", "init", "create", "1228800", "map", "status", "3", "attach", "wakeup",
                             "readpos", "6144", "notify", "other", "status", "0", "wakeup", "unmap", "remove",
                             "remove", "0"}));
    ASSERT_EQ(s.wait(), 0) << s.stderrText;
    EXPECT_EQ(s.lines(), (std::vector<std::string>{"open 0", "init 0", "create 0", "map 0 1229032", "status 0",
                                                   "attach 0", "wakeup 0", "readpos 0", "notify 0",
                                                   "other -1 ENOTTY", "status 0", "wakeup 0", "unmap 0",
                                                   "remove 0", "remove 0"}));
    EXPECT_EQ(journalText(s.dir), (std::vector<std::string>{
                                      "INIT card=- arg=0 result=0 hostStatus=- hostReadPos=-",
                                      "CREATE card=0 arg=1228800 result=0 hostStatus=0x0 hostReadPos=0",
                                      "ATTACH card=0 arg=1 result=0 hostStatus=0x3 hostReadPos=0",
                                      "WAKEUP card=0 arg=3 result=0 hostStatus=0x3 hostReadPos=0",
                                      "NOTIFY card=0 arg=4 result=0 hostStatus=0x3 hostReadPos=6144",
                                      "WAKEUP card=0 arg=3 result=0 hostStatus=0x0 hostReadPos=6144",
                                      "REMOVE card=0 arg=0 result=0 hostStatus=0x0 hostReadPos=6144",
                                      "REMOVE card=0 arg=0 result=0 hostStatus=- hostReadPos=-",
                                  }));
    testbed::DriverEventBlock events;
    ASSERT_TRUE(events.open(s.dir, 1s));
    EXPECT_EQ(events.journal(), 8u);
    EXPECT_EQ(events.inits(), 1u);
    EXPECT_EQ(events.creates(0), 1u);
    EXPECT_EQ(events.attaches(0), 1u);
    EXPECT_EQ(events.wakeups(0), 2u);
    EXPECT_EQ(events.notifies(0), 1u);
    EXPECT_EQ(events.removes(0), 2u);
    EXPECT_TRUE(events.waitNotifies(0, 1, 0ms));
    EXPECT_FALSE(events.waitNotifies(0, 2, 20ms));
    EXPECT_FALSE(std::filesystem::exists(testbed::driverCardFile(s.dir, 0)));
    EXPECT_EQ(fileSize(s.dir + "/" + testbed::kDriverControlFile), 0);
}

// Lowest free number, a removed number given again, sizes from the argument,
// and requests that name no live card.
TEST(DriverStandin, CardNumbersAndSizes)
{
    Standin s;
    ASSERT_TRUE(s.start({}, {"open",   "create", "4096",    "create",    "8192", "create",    "1024",
                             "remove", "1",      "create",  "2048",      "map",  "cardioctl", "0x7802",
                             "3",      "remove", "1",       "wakeup",    "ioctl", "0x7805",   "1",
                             "card",   "9",      "remove"}));
    ASSERT_EQ(s.wait(), 0) << s.stderrText;
    EXPECT_EQ(s.lines(), (std::vector<std::string>{"open 0", "create 0", "create 1", "create 2", "remove 0",
                                                   "create 1", "map 1 2280",
                                                   // card 1's node asked with card 2's number
                                                   "cardioctl -1",
                                                   "remove 0",
                                                   // its card removed under the open node
                                                   "wakeup -1",
                                                   // not a request of the control node
                                                   "ioctl -1",
                                                   // no card 9: removing it is no error
                                                   "remove 0"}));
    EXPECT_EQ(fileSize(testbed::driverCardFile(s.dir, 0)), 4096 + 232);
    EXPECT_FALSE(std::filesystem::exists(testbed::driverCardFile(s.dir, 1)));
    EXPECT_EQ(fileSize(testbed::driverCardFile(s.dir, 2)), 1024 + 232);
    const auto journal = testbed::readJournal(s.dir);
    ASSERT_EQ(journal.size(), 10u);
    EXPECT_EQ(journal[5].request, "UNKNOWN");
    EXPECT_EQ(journal[5].card, 1);
    EXPECT_EQ(journal[7].request, "WAKEUP");
    EXPECT_EQ(journal[7].result, -1);
    EXPECT_EQ(journal[8].request, "UNKNOWN");
    EXPECT_EQ(journal[8].card, 5);
}

// The command's mapping of its card node and one made outside share pages,
// both ways.
TEST(DriverStandin, CardPagesAreSharedWithOutside)
{
    constexpr uint64_t ring = 1228800;
    const auto statusOffset = std::to_string(ring + offsetof(QUORVIN::BridgeMemHeader, hostStatus));
    const auto requestOffset = std::to_string(ring + offsetof(QUORVIN::BridgeMemHeader, driverRequest));
    Standin s;
    ASSERT_TRUE(s.start({}, {"open", "create", std::to_string(ring), "map", "status", "0xf", "attach",
                             "wait-word", "0", "0x11223344", "wait-word", requestOffset, "0xe"}));
    testbed::DriverEventBlock events;
    ASSERT_TRUE(events.open(s.dir, kDeadline));
    ASSERT_TRUE(events.waitAttaches(0, 1, kDeadline));

    const std::string path = testbed::driverCardFile(s.dir, 0);
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const size_t size = QUORVIN::bridgeMappingBytes(QUORVIN::BRIDGE_PERIOD_MAX, QUORVIN::BRIDGE_PERIOD_SIZE_MAX);
    ASSERT_EQ(fileSize(path), static_cast<off_t>(size));
    void* m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(m, MAP_FAILED);
    auto* bytes = static_cast<unsigned char*>(m);
    auto* header = reinterpret_cast<QUORVIN::BridgeMemHeader*>(bytes + ring);
    EXPECT_EQ(QUORVIN::loadField(header->hostStatus), 0xFu);
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(bytes)).store(0x11223344);
    ASSERT_EQ(s.waitLine("wait-word"), "wait-word 0");
    QUORVIN::storeField(header->driverRequest, uint32_t{0xE});
    ASSERT_EQ(s.waitLine("wait-word"), "wait-word 0");
    munmap(m, size);
    EXPECT_EQ(s.wait(), 0) << s.stderrText;
}

// A signal that comes while the launcher holds a CREATE it has already acted
// on must not restart the request: one card, and the caller gets its number.
TEST(DriverStandin, SignalDuringCreateMakesOneCard)
{
    Standin s;
    ASSERT_TRUE(s.start({"--hold-create"}, {"catch", std::to_string(SIGHUP), "pid", "open", "create", "4096"}));
    const std::string pidLine = s.waitLine("pid ");
    ASSERT_FALSE(pidLine.empty());
    const pid_t client = std::stoi(pidLine.substr(4));
    testbed::DriverEventBlock events;
    ASSERT_TRUE(events.open(s.dir, kDeadline));
    ASSERT_TRUE(events.waitJournal(1, kDeadline));
    ASSERT_TRUE(std::filesystem::exists(s.dir + "/" + testbed::kDriverHoldFile));

    // Forwarded by the launcher; pending while the request waits, unless a
    // restart took it (and then a second CREATE comes in).
    ASSERT_EQ(kill(s.pid, SIGHUP), 0);
    const unsigned long long bit = 1ull << (SIGHUP - 1);
    EXPECT_TRUE(testwait::waitFor(
        [&] {
            std::istringstream status(readFile("/proc/" + std::to_string(client) + "/status"));
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("ShdPnd:", 0) == 0 || line.rfind("SigPnd:", 0) == 0) {
                    if (std::stoull(line.substr(7), nullptr, 16) & bit) {
                        return true;
                    }
                }
            }
            return events.journal() >= 2;
        },
        kDeadline));
    std::filesystem::remove(s.dir + "/" + testbed::kDriverHoldFile);

    ASSERT_EQ(s.wait(), 0) << s.stderrText;
    EXPECT_EQ(s.lines(), (std::vector<std::string>{pidLine, "open 0", "create 0", "signals 1"}));
    EXPECT_EQ(journalText(s.dir),
              (std::vector<std::string>{"CREATE card=0 arg=4096 result=0 hostStatus=0x0 hostReadPos=0"}));
    EXPECT_EQ(events.creates(1), 0u);
}

struct FaultCase {
    const char* name;
    std::vector<std::string> options;
    std::vector<std::string> steps;
    std::vector<std::string> lines;
};

class DriverFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DriverFaults, RefusesAsAsked)
{
    const FaultCase& c = GetParam();
    Standin s;
    ASSERT_TRUE(s.start(c.options, c.steps));
    ASSERT_EQ(s.wait(), 0) << s.stderrText;
    EXPECT_EQ(s.lines(), c.lines);
}

const std::vector<std::string> kWakeups = {"open", "create", "4096", "map", "wakeup", "wakeup", "wakeup",
                                           "notify", "create", "4096", "map", "wakeup", "notify"};

INSTANTIATE_TEST_SUITE_P(
    DriverStandin, DriverFaults,
    ::testing::Values(
        // Not a fault asked for: a ring above 2^31 bytes is refused and uses up no number.
        FaultCase{"CreateTooLarge", {}, {"open", "create", "2147483649", "create", "64"},
                  {"open 0", "create -1", "create 0"}},
        FaultCase{"InitRefused", {"--fail-init"}, {"open", "init", "init", "create", "64"},
                  {"open 0", "init -1", "init -1", "create 0"}},
        FaultCase{"CreateFails", {"--create-result", "-1"}, {"open", "create", "64", "create", "64"},
                  {"open 0", "create -1", "create -1"}},
        // 255 is a real card: its node maps and takes its requests.
        FaultCase{"Create255", {"--create-result", "255"}, {"open", "create", "64", "map", "attach", "notify"},
                  {"open 0", "create 255", "map 255 296", "attach 0", "notify 0"}},
        // 256 cannot be addressed: its requests carry card 0's number.
        FaultCase{"Create256", {"--create-result", "256"}, {"open", "create", "64", "map", "attach"},
                  {"open 0", "create 256", "map 256 296", "attach 0"}},
        FaultCase{"OnlyTheSecondCreate", {"--create-result", "-1@2"},
                  {"open", "create", "64", "create", "64", "create", "64"},
                  {"open 0", "create 0", "create -1", "create 1"}},
        // Counted per card: the second card starts afresh.
        FaultCase{"WakeupAfterTwo", {"--wakeup-fail-after", "2"}, kWakeups,
                  {"open 0", "create 0", "map 0 4328", "wakeup 0", "wakeup 0", "wakeup -1", "notify 0", "create 1",
                   "map 1 4328", "wakeup 0", "notify 0"}},
        FaultCase{"NotifyAtOnce", {"--notify-fail-after", "0"}, kWakeups,
                  {"open 0", "create 0", "map 0 4328", "wakeup 0", "wakeup 0", "wakeup 0", "notify -1", "create 1",
                   "map 1 4328", "wakeup 0", "notify -1"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DriverStandin, PassesTheCommandsExitStatus)
{
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"exit", "0"}, 0}, {{"exit", "7"}, 7}, {{"exit", "255"}, 255}};
    for (const auto& [steps, status] : cases) {
        Standin s;
        ASSERT_TRUE(s.start({}, steps));
        EXPECT_EQ(s.wait(), status) << steps[1];
    }
    Standin missing;
    ASSERT_TRUE(missing.spawn({buildDir() + "driver-standin", "--dir", missing.dir, "--", "/nonexistent/command"}));
    EXPECT_EQ(missing.wait(), 127);
    EXPECT_NE(missing.stderrText.find("cannot run /nonexistent/command"), std::string::npos) << missing.stderrText;
}

// SIGINT, SIGHUP and SIGTERM reach the command; a command that dies of one
// gives 128 + the signal.
TEST(DriverStandin, ForwardsSignals)
{
    for (int sig : {SIGINT, SIGHUP, SIGTERM}) {
        Standin s;
        ASSERT_TRUE(s.start({}, {"catch", std::to_string(sig), "pid", "wait-signal", "exit", "5"}));
        ASSERT_FALSE(s.waitLine("pid ").empty());
        ASSERT_EQ(kill(s.pid, sig), 0);
        EXPECT_EQ(s.wait(), 5) << sig;
        EXPECT_EQ(s.lines().back(), "signals 1") << sig;
    }
    Standin s;
    ASSERT_TRUE(s.start({}, {"pid", "wait-signal"}));
    ASSERT_FALSE(s.waitLine("pid ").empty());
    ASSERT_EQ(kill(s.pid, SIGTERM), 0);
    EXPECT_EQ(s.wait(), 128 + SIGTERM);
}

// Our own mounts under /dev and /tmp (tests beside this one make others).
std::vector<std::string> mountLines()
{
    std::vector<std::string> lines;
    std::istringstream in(readFile("/proc/self/mountinfo"));
    for (std::string l; std::getline(in, l);) {
        std::istringstream fields(l);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (point.rfind("/dev", 0) == 0 || point.rfind("/tmp", 0) == 0) {
            lines.push_back(l);
        }
    }
    return lines;
}

// The private /dev stays private, and the command goes with its launcher,
// even one that is killed outright.
TEST(DriverStandin, LeavesNothingBehind)
{
    const auto before = mountLines();
    const auto devBefore = std::filesystem::exists("/dev/quorvin-alsa");
    {
        Standin s;
        ASSERT_TRUE(s.start({}, {"open", "create", "64", "pid", "wait-signal"}));
        const std::string pidLine = s.waitLine("pid ");
        ASSERT_FALSE(pidLine.empty());
        const pid_t client = std::stoi(pidLine.substr(4));
        EXPECT_EQ(mountLines(), before);
        EXPECT_EQ(std::filesystem::exists("/dev/quorvin-alsa"), devBefore);
        EXPECT_TRUE(std::filesystem::exists(testbed::driverCardFile(s.dir, 0)));

        ASSERT_EQ(kill(s.pid, SIGKILL), 0);
        EXPECT_EQ(s.wait(), 128 + SIGKILL);
        // Gone, or a zombie left to whoever reaps orphans here.
        const std::string stat = "/proc/" + std::to_string(client) + "/stat";
        EXPECT_TRUE(testwait::waitFor(
            [&] {
                const std::string text = readFile(stat);
                const auto paren = text.rfind(')');
                return text.empty() || (paren != std::string::npos && text.compare(paren, 4, ") Z ") == 0);
            },
            kDeadline))
            << "the command outlived its launcher";
    }
    EXPECT_EQ(mountLines(), before);
}

}  // namespace
