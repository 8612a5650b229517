// The target-emulator program run as a child process: its start-up lines,
// its answers, its request log and its end on a signal.
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <thread>

#include "FreshNetwork.h"
#include "HostSocket.h"
#include "protocol/Identifiers.h"
#include "protocol/Message.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

// The build puts the program at <build>/testbed/, this test at <build>/tests/.
std::string programPath()
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
        return {};
    }
    const std::string exe(self, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/')) + "/../testbed/target-emulator";
}

std::string samplePath()
{
    const std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../../testbed/emulator/sample-target.inf";
}

class Child {
public:
    ~Child()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        closeFd(out);
        closeFd(err);
    }

    bool wellKnownPort = false;

    bool start(const std::vector<std::string>& args)
    {
        int outPipe[2];
        int errPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        std::vector<std::string> all{programPath()};
        all.insert(all.end(), args.begin(), args.end());
        // Every host stream asks [::1]:19642 for the log relay: a program on
        // that port beside the other tests would take their strays. Tests of
        // the well-known port run in a network of their own.
        if (!wellKnownPort && std::find(args.begin(), args.end(), "--discovery-port") == args.end()) {
            all.insert(all.end(), {"--discovery-port", "0"});
        }
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const int r = posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        out = outPipe[0];
        err = errPipe[0];
        if (r != 0) {
            pid = -1;
        }
        return r == 0;
    }

    // One line of standard output; false at its end or after the time-out.
    bool line(std::string& text, std::chrono::milliseconds timeout = 10000ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const size_t nl = pending.find('\n');
            if (nl != std::string::npos) {
                text = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{out, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char buf[4096];
            const ssize_t n = ::read(out, buf, sizeof(buf));
            if (n <= 0) {
                return false;
            }
            pending.append(buf, static_cast<size_t>(n));
        }
    }

    // The first line that starts with the prefix, skipping others.
    bool lineStarting(const std::string& prefix, std::string& text)
    {
        while (line(text)) {
            if (text.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    std::string errors()
    {
        std::string all;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(err, buf, sizeof(buf))) > 0) {
            all.append(buf, static_cast<size_t>(n));
        }
        return all;
    }

    // The exit status, or -1 when it did not exit normally.
    int wait()
    {
        int status = 0;
        const pid_t r = waitpid(pid, &status, 0);
        pid = -1;
        return r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int signal(int number)
    {
        kill(pid, number);
        return wait();
    }

private:
    static void closeFd(int fd)
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }

    pid_t pid = -1;
    int out = -1;
    int err = -1;
    std::string pending;
};

uint16_t portOf(const std::string& line)
{
    return static_cast<uint16_t>(std::stoul(line.substr(line.rfind(' ') + 1)));
}

TIVRA::IPAddress loopbackPort(uint16_t port)
{
    TIVRA::IPAddress a;
    a.addr[15] = 1;
    a.setPort(port);
    return a;
}

class Program : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(access(programPath().c_str(), X_OK), 0) << programPath() << " is not built"; }
};

TEST_F(Program, StartsFromAConfigurationAnswersAndLogsEveryRequest)
{
    Child child;
    ASSERT_TRUE(
        child.start({"--config", samplePath(), "--name", "Program Test", "--behaviour", "0:LATENCY_REQ=refuse"}));
    std::string text;
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text, "target Program Test address ::1 ifindex 0");
    ASSERT_TRUE(child.line(text));
    ASSERT_EQ(text.rfind("sink 0 name Main port ", 0), 0u) << text;
    const TIVRA::IPAddress main = loopbackPort(portOf(text));
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text.rfind("sink 0 data-port ", 0), 0u) << text;
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text, "sink 0 behaviour LATENCY_REQ refuse");
    ASSERT_TRUE(child.line(text));
    ASSERT_EQ(text.rfind("sink 1 name Headphones port ", 0), 0u) << text;
    const TIVRA::IPAddress headphones = loopbackPort(portOf(text));
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text.rfind("sink 1 data-port ", 0), 0u) << text;
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text.rfind("other-port ", 0), 0u) << text;
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text.rfind("discovery-port ", 0), 0u) << text;
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text, "ready");

    testbed_test::HostSocket host;
    ASSERT_TRUE(host.ok());
    auto answer = host.exchange(main, QUORVIN::Send(QUORVIN::SUPPORT_REQ, 0, 0UL));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->from, main);
    EXPECT_EQ(answer->bytes.getMessage(), QUORVIN::SUPPORT_ANS);
    EXPECT_EQ(answer->bytes.getStatus(), QUORVIN::STATUS_OK);
    EXPECT_EQ(answer->bytes.getOption(), 0x110E00u);

    answer = host.exchange(main, QUORVIN::Send(QUORVIN::LATENCY_REQ, 0, 2000, 0, 0, 0));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getMessage(), QUORVIN::LATENCY_ANS);
    EXPECT_EQ(answer->bytes.getStatus(), 0);

    answer = host.exchange(headphones, QUORVIN::Send(QUORVIN::CONNECTPRE_REQ, 0, 0x0000000A00640102UL));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getOption(), 0x0000000A01F40102UL);  // the sink's 500 in bits 16-31
    EXPECT_GT(answer->bytes.size_data(), 0u);                    // it wants the host's name

    const std::string from = " from ::1," + std::to_string(host.local().getPort()) + " ";
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text, "sink 0 #1" + from + "SUPPORT_REQ(4) status 0x0000 option 0x0000000000000000 data 0 repeat 1");
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text, "sink 0 #2" + from + "LATENCY_REQ(6) status 0x0000 option 0x00000000000007d0 data 0 repeat 1");
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text, "sink 1 #3" + from + "CONNECTPRE_REQ(18) status 0x0000 option 0x0000000a00640102 data 0 repeat 1");

    EXPECT_EQ(child.signal(SIGTERM), 0);
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text.rfind("stopped on ", 0), 0u) << text;
    EXPECT_FALSE(child.line(text, 1000ms));  // nothing after it
}

// A file of the test's own, removed however the test ends.
class TempFile {
public:
    explicit TempFile(const std::string& text)
    {
        char name[] = "/tmp/target-emulator-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) {
            path = name;
            ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            ::close(fd);
        }
    }
    ~TempFile()
    {
        if (!path.empty()) {
            ::unlink(path.c_str());
        }
    }
    std::string path;
    bool ok = false;
};

TEST_F(Program, ServesDiscoveryOnTheWellKnownPortByDefault)
{
    std::thread([] {
        ASSERT_TRUE(testnet::enterFreshNetwork());
        Child child;
        child.wellKnownPort = true;
        ASSERT_TRUE(child.start({"--name", "Default Port"}));
        std::string text;
        ASSERT_TRUE(child.lineStarting("discovery-port ", text));
        EXPECT_EQ(text, "discovery-port 19642");
        ASSERT_TRUE(child.lineStarting("ready", text));
        testbed_test::HostSocket host;
        ASSERT_TRUE(host.ok());
        const auto answer = host.exchange(loopbackPort(QUORVIN::TARGET_PORT), QUORVIN::Send(QUORVIN::FIND_REQ, 0));
        ASSERT_TRUE(answer);
        std::string name;
        answer->bytes.get_str(name);
        EXPECT_EQ(name, "Default Port");
        EXPECT_EQ(child.signal(SIGTERM), 0);
    }).join();
}

TEST_F(Program, RunsSeveralTargetsEachWithItsDiscoveryPort)
{
    TempFile first("[target]\nname = First\ndiscoveryPort = 0\nproductId = 7\n");
    TempFile second("[target]\nname = Second\ndiscoveryPort = 0\nsinks = 2\n");
    ASSERT_TRUE(first.ok && second.ok);
    Child child;
    ASSERT_TRUE(child.start({"--config", first.path, "--config", second.path, "--discovery", "PORT_REQ#2=silent"}));
    std::string text;
    std::vector<uint16_t> discovery;
    std::vector<std::string> lines;
    while (child.line(text) && text != "ready") {
        lines.push_back(text);
        if (text.find("] discovery-port ") != std::string::npos) {
            discovery.push_back(portOf(text));
        }
    }
    ASSERT_EQ(text, "ready");
    ASSERT_EQ(discovery.size(), 2u);
    EXPECT_EQ(lines.front(), "[0] target First address ::1 ifindex 0");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[0] discovery behaviour PORT_REQ#2 silent"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[1] target Second address ::1 ifindex 0"), lines.end());
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.rfind("[1] sink 1 name Output 1 port ", 0) == 0; }),
              lines.end());

    testbed_test::HostSocket host;
    ASSERT_TRUE(host.ok());
    const std::string names[] = {"First", "Second"};
    for (size_t t = 0; t < 2; ++t) {
        const auto answer = host.exchange(loopbackPort(discovery[t]), QUORVIN::Send(QUORVIN::FIND_REQ, 0));
        ASSERT_TRUE(answer);
        std::string name;
        answer->bytes.get_str(name);
        EXPECT_EQ(name, names[t]);
        EXPECT_EQ(answer->bytes.getOption(), t == 0 ? 7u : 0u);
        ASSERT_TRUE(child.lineStarting("[" + std::to_string(t) + "] discovery #1 from ", text));
        EXPECT_NE(text.find(" to ::1 FIND_REQ(0)"), std::string::npos) << text;
    }
    // Sink 2 of the first target does not answer, sink 1 does.
    ASSERT_TRUE(host.send(loopbackPort(discovery[0]), QUORVIN::Send(QUORVIN::PORT_REQ, 0, 2, 0, 1, 1)));
    const auto one = host.exchange(loopbackPort(discovery[0]), QUORVIN::Send(QUORVIN::PORT_REQ, 0, 1, 0, 1, 1));
    ASSERT_TRUE(one);
    EXPECT_EQ(one->bytes.getOption0(), 1);
    EXPECT_EQ(child.signal(SIGTERM), 0);
}

TEST_F(Program, RunsWithoutAConfigurationAndEndsOnSigint)
{
    Child child;
    ASSERT_TRUE(child.start({"--sinks", "3", "--behaviour", "*:PROBE_REQ=silent"}));
    std::string text;
    std::vector<uint16_t> ports;
    while (child.line(text) && text != "ready") {
        if (text.rfind("sink ", 0) == 0 && text.find(" name ") != std::string::npos) {
            ports.push_back(portOf(text));
        }
    }
    ASSERT_EQ(text, "ready");
    ASSERT_EQ(ports.size(), 3u);
    testbed_test::HostSocket host;
    ASSERT_TRUE(host.ok());
    const auto answer = host.exchange(loopbackPort(ports[2]), QUORVIN::Send(QUORVIN::DATASIZE_REQ, 0));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getOption0(), 1500);
    ASSERT_TRUE(host.send(loopbackPort(ports[1]), QUORVIN::Send(QUORVIN::PROBE_REQ, 0)));
    ASSERT_TRUE(child.lineStarting("sink 1 #2 ", text));
    EXPECT_NE(text.find("PROBE_REQ(42)"), std::string::npos) << text;
    EXPECT_TRUE(host.untilFence(loopbackPort(ports[1])).empty());
    EXPECT_TRUE(host.fenced);
    EXPECT_EQ(child.signal(SIGINT), 0);
}

TEST_F(Program, ServesAStreamAndTheLogRelayAndReportsTheStream)
{
    Child child;
    ASSERT_TRUE(child.start({"--set", "*:feedback=offset", "--set", "0:disconnectAnswer=2", "--log-port", "0",
                             "--log-line", "hello from the target"}));
    std::string text;
    ASSERT_TRUE(child.lineStarting("sink 0 name ", text));
    const TIVRA::IPAddress sink = loopbackPort(portOf(text));
    ASSERT_TRUE(child.line(text));
    ASSERT_EQ(text.rfind("sink 0 data-port ", 0), 0u) << text;
    const TIVRA::IPAddress data = loopbackPort(portOf(text));
    ASSERT_TRUE(child.lineStarting("log-port ", text));
    const TIVRA::IPAddress relay = loopbackPort(portOf(text));
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text, "ready");

    testbed_test::HostSocket host;
    ASSERT_TRUE(host.ok());
    auto answer = host.exchange(sink, QUORVIN::Send(QUORVIN::CONNECT_REQ, 0, 0x0000000A00000202UL));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getMessage(), QUORVIN::CONNECT_ANS);
    EXPECT_EQ(answer->bytes.getOption0(), data.getPort());
    const int64_t beforeFirst = monotonicNs();
    for (uint16_t c = 0; c < 3; ++c) {
        QUORVIN::SendBuffer p;
        p.set(QUORVIN::STREAM_REQ, c == 2 ? QUORVIN::STATUS_CYCLE_END | QUORVIN::STATUS_INFO : 0, c, 0, 0, 0);
        p.resize(4);
        p.update();
        ASSERT_TRUE(host.send(data, p));
    }
    answer = host.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->from, data);
    EXPECT_EQ(answer->bytes.getMessage(), QUORVIN::STREAM_ANS);
    EXPECT_EQ(answer->bytes.getOption0(), 0x8000);  // the offset kind, nothing to correct yet
    // Answered from the second attempt on.
    ASSERT_TRUE(host.send(data, QUORVIN::Send(QUORVIN::DSICONNECT_REQ, 0)));
    answer = host.exchange(data, QUORVIN::Send(QUORVIN::DSICONNECT_REQ, 0));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getMessage(), QUORVIN::DSICONNECT_ANS);

    answer = host.exchange(relay, QUORVIN::Send(QUORVIN::DEBUG_REQ, 0, 1, 0, 0, 0));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getOption0(), 0);  // the acknowledgement, then the line
    answer = host.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getOption0(), 2);
    std::string line;
    answer->bytes.get_str(line);
    EXPECT_EQ(line, "hello from the target");

    const std::string from = " from ::1," + std::to_string(host.local().getPort()) + " ";
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text.rfind("sink 0 #1" + from + "CONNECT_REQ(8) ", 0), 0u) << text;
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text.rfind("sink 0 data #2" + from + "DSICONNECT_REQ(12) ", 0), 0u) << text;
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text.rfind("stream sink 0 #0 disconnect from ::1," + std::to_string(host.local().getPort())
                             + " format 0x0000000a00000202 packets 3 bytes 12 ",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find(" bursts 1 "), std::string::npos) << text;
    EXPECT_NE(text.find(" feedback 1 "), std::string::npos) << text;
    // The first packet on the monotonic clock, which other programs share.
    const size_t at = text.find(" first-packet-ns ");
    ASSERT_NE(at, std::string::npos) << text;
    const long long firstNs = std::stoll(text.substr(at + std::strlen(" first-packet-ns ")));
    EXPECT_GE(firstNs, beforeFirst) << text;
    EXPECT_LE(firstNs, monotonicNs()) << text;
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text.rfind("sink 0 data #3" + from + "DSICONNECT_REQ(12) ", 0), 0u) << text;
    EXPECT_NE(text.find(" repeat 2"), std::string::npos) << text;
    ASSERT_TRUE(child.line(text));
    EXPECT_EQ(text.rfind("log #4" + from + "DEBUG_REQ(40) ", 0), 0u) << text;
    EXPECT_EQ(child.signal(SIGTERM), 0);
}

TEST_F(Program, RefusesBadArgumentsWithAMessage)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {{"--config", "/nonexistent/target.inf"}, 2, "/nonexistent/target.inf"},
        {{"--behaviour", "0:LATENCY_REQ=sulk"}, 2, "bad behaviour"},
        {{"--behaviour", "LATENCY_REQ=silent"}, 2, "bad behaviour"},
        {{"--behaviour", "4:LATENCY_REQ=silent"}, 2, "does not exist"},
        {{"--sinks", "0"}, 2, "bad sink count"},
        {{"--ifindex", "x"}, 2, "bad interface index"},
        {{"--address", "nowhere"}, 2, "bad address"},
        {{"--colour", "red"}, 2, "unknown option"},
        {{"--config"}, 2, "missing value"},
        {{"--set", "0:ppm=lots"}, 2, "bad setting: ppm"},
        {{"--set", "0:colour=red"}, 2, "bad setting: colour"},
        {{"--set", "ppm=1"}, 2, "bad setting"},
        {{"--set", "3:ppm=1"}, 2, "does not exist"},
        {{"--log-port", "x"}, 2, "bad log port"},
        {{"--discovery-port", "x"}, 2, "bad discovery port"},
        {{"--discovery", "PORT_REQ#x=silent"}, 2, "bad discovery behaviour"},
        {{"--address", "2001:db8::1"}, 1, "cannot bind"},
        {{"--control", "/nonexistent/control"}, 1, "cannot make the control pipe /nonexistent/control"},
        {{"--control", "/dev/null"}, 1, "not a named pipe: /dev/null"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        Child child;
        ASSERT_TRUE(child.start(c.args));
        EXPECT_EQ(child.wait(), c.status);
        EXPECT_NE(child.errors().find(c.message), std::string::npos);
    }
}

// A directory of the test's own, removed however the test ends.
class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/target-emulator-XXXXXX";
        if (mkdtemp(name) != nullptr) {
            path = name;
        }
    }
    ~TempDir()
    {
        if (!path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    }
    std::string path;
};

// The program with two sinks and its control pipe, up to "ready".
class ControlledProgram : public Program {
protected:
    void SetUp() override
    {
        Program::SetUp();
        ASSERT_FALSE(dir.path.empty());
        ASSERT_TRUE(host.ok());
        pipe = dir.path + "/control";
        ASSERT_TRUE(child.start({"--sinks", "2", "--name", "Den", "--control", pipe}));
        std::string text;
        while (child.line(text) && text != "ready") {
            if (text.rfind("sink ", 0) == 0 && text.find(" name ") != std::string::npos) {
                sinks.push_back(loopbackPort(portOf(text)));
            } else if (text.rfind("discovery-port ", 0) == 0) {
                discovery = loopbackPort(portOf(text));
            } else if (text.rfind("control ", 0) == 0) {
                announced = text;
            }
        }
        ASSERT_EQ(text, "ready");
        ASSERT_EQ(sinks.size(), 2u);
        ASSERT_EQ(announced, "control " + pipe);
        struct stat st {};
        ASSERT_EQ(stat(pipe.c_str(), &st), 0);
        ASSERT_TRUE(S_ISFIFO(st.st_mode));
    }

    // Writes the text to the pipe; the answer line to the command in it.
    std::string command(const std::string& text)
    {
        const int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return "cannot open the pipe";
        }
        const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(fd);
        std::string answer;
        return written && child.lineStarting("control: ", answer) ? answer : "no answer";
    }

    // The sink's volume item (item 2) as the control channel reads it.
    std::optional<int16_t> volume(size_t sink)
    {
        const auto answer = host.exchange(sinks[sink], QUORVIN::Send(QUORVIN::CONTROLVALUE_REQ, 0, 2, 0, 0, 0));
        if (!answer || answer->bytes.getMessage() != QUORVIN::CONTROLVALUE_ANS) {
            return std::nullopt;
        }
        return static_cast<int16_t>(answer->bytes.getOption1());
    }

    TempDir dir;
    std::string pipe;
    Child child;
    testbed_test::HostSocket host;
    std::vector<TIVRA::IPAddress> sinks;
    TIVRA::IPAddress discovery;
    std::string announced;
};

// A volume set at the device is what the host reads next; a hidden sink is
// gone from the discovery answers and its port is silent, until it is
// shown again with its state as it was.
TEST_F(ControlledProgram, CommandsChangeTheRunningTargetAndAreAnswered)
{
    EXPECT_EQ(volume(1), 0);
    EXPECT_EQ(command("volume 0 1 -1200\n"), "control: volume 0 1 -1200 done");
    EXPECT_EQ(volume(1), -1200);
    EXPECT_EQ(volume(0), 0);

    EXPECT_EQ(command("hide Den Output\t1\n"), "control: hide Den Output 1 refused: usage: hide TARGET SINK");
    EXPECT_EQ(command("  hide   Den 1 \r\n"), "control: hide Den 1 done");
    auto answer = host.exchange(discovery, QUORVIN::Send(QUORVIN::PORT_REQ, 0, 0, 0, 0, 1));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getOption0(), 2);  // the numbers stay
    ASSERT_EQ(answer->bytes.size_data(), 1024u);
    EXPECT_EQ(answer->bytes.get_data()[0], 0x02);  // sink number 1 alone
    EXPECT_EQ(answer->bytes.get_data()[512], 0x02);
    answer = host.exchange(discovery, QUORVIN::Send(QUORVIN::PORT_REQ, 0, 2, 0, 1, 1));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getOption2(), 0);  // no sink under number 2
    // Its status entry is refused; the other keeps its number.
    answer = host.exchange(discovery, QUORVIN::Send(QUORVIN::STATUS_REQ, 0, 2, 0, 0, 1));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getStatus(), 0);
    answer = host.exchange(discovery, QUORVIN::Send(QUORVIN::STATUS_REQ, 0, 1, 0, 0, 1));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getStatus(), QUORVIN::STATUS_OK);
    EXPECT_EQ(answer->bytes.getOption2(), sinks[0].getPort());
    // The hidden sink's port takes requests and answers none of them.
    ASSERT_TRUE(host.send(sinks[1], QUORVIN::Send(QUORVIN::SUPPORT_REQ, 0, 0UL)));
    ASSERT_TRUE(host.send(sinks[1], QUORVIN::Send(QUORVIN::CONTROLVALUE_REQ, 0, 2, 0, 0, 0)));
    EXPECT_TRUE(host.untilFence(sinks[0]).empty());
    EXPECT_TRUE(host.fenced);

    EXPECT_EQ(command("show 0 Output\n"), "control: show 0 Output refused: no sink Output");
    EXPECT_EQ(command("show 0 1\n"), "control: show 0 1 done");
    answer = host.exchange(discovery, QUORVIN::Send(QUORVIN::PORT_REQ, 0, 2, 0, 1, 1));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getOption2(), sinks[1].getPort());
    EXPECT_EQ(volume(1), -1200);

    EXPECT_EQ(child.signal(SIGTERM), 0);
    EXPECT_NE(access(pipe.c_str(), F_OK), 0);  // the pipe it made goes with it
}

// Every malformed command gets its refusal and changes nothing; the
// control goes on with the next line.
TEST_F(ControlledProgram, MalformedCommandsAreRefusedAndTheNextOneRuns)
{
    struct Case {
        std::string line;
        std::string answer;
    };
    const Case cases[] = {
        {"louder 0 0", "control: louder 0 0 refused: unknown command"},
        {"volume 0 0", "control: volume 0 0 refused: usage: volume TARGET SINK VALUE"},
        {"volume 0 0 -100 5", "control: volume 0 0 -100 5 refused: usage: volume TARGET SINK VALUE"},
        {"hide 0", "control: hide 0 refused: usage: hide TARGET SINK"},
        {"volume 1 0 -100", "control: volume 1 0 -100 refused: no target 1"},
        {"volume Attic 0 -100", "control: volume Attic 0 -100 refused: no target Attic"},
        {"hide 0 2", "control: hide 0 2 refused: no sink 2"},
        {"volume 0 0 32768", "control: volume 0 0 32768 refused: bad volume 32768"},
        {"volume 0 0 -32769", "control: volume 0 0 -32769 refused: bad volume -32769"},
        {"volume 0 0 -12dB", "control: volume 0 0 -12dB refused: bad volume -12dB"},
        {"volume 0 0 +5", "control: volume 0 0 +5 refused: bad volume +5"},
        {"volume 0 0 -", "control: volume 0 0 - refused: bad volume -"},
        {"hide\x01 0 0", "control: hide? 0 0 refused: unknown command"},
        {std::string(2000, 'x'), "control: refused: line too long"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 40));
        EXPECT_EQ(command(c.line + "\n"), c.answer);
    }
    EXPECT_EQ(volume(0), 0);  // nothing refused took effect
    ASSERT_TRUE(host.send(sinks[0], QUORVIN::Send(QUORVIN::SUPPORT_REQ, 0, 0UL)));
    EXPECT_EQ(host.untilFence(sinks[0]).size(), 1u);
    // Blank lines get no answer; two commands in one write both run.
    EXPECT_EQ(command("\n \nvolume 0 0 -32768\nhide 0 0\n"), "control: volume 0 0 -32768 done");
    std::string text;
    ASSERT_TRUE(child.lineStarting("control: ", text));
    EXPECT_EQ(text, "control: hide 0 0 done");
    EXPECT_EQ(command("show 0 0\n"), "control: show 0 0 done");
    EXPECT_EQ(volume(0), -32768);
}

}  // namespace
