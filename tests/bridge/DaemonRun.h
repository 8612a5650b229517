// The daemon as it ships, run end to end: a host namespace holding the daemon
// under the driver stand-in, joined by a veth to a target namespace where the
// emulator program runs two targets (fe80::2: "Main" and "Feed"; fe80::3:
// "Tail", chained behind "Feed"). Both programs write their output to files
// in a temporary directory, which the test follows; the stand-in's directory
// is in there too. Programs, namespaces and files go with the fixture.
//
// DaemonRun joins the namespaces by one veth pair; DaemonRunOver<
// testnet::LinkNamespaces> puts the link emulator between them, its rules
// given to the fixture's constructor.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "HostStreamLines.h"
#include "LinkNamespaces.h"
#include "NetNamespaces.h"
#include "StandinRun.h"
#include "WaitFor.h"
#include "bridge/BridgeMemHeader.h"
#include "testbed/driver/DriverStandin.h"
#include "testbed/player/CounterCheck.h"

namespace daemonrun {

using namespace std::chrono_literals;

inline std::string buildDir()
{
    const std::string exe = standin::self();
    return exe.substr(0, exe.rfind('/')) + "/..";
}

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The card file's ring is the default one (32 periods of 38400 bytes).
inline constexpr uint64_t kRingBytes = 1228800;

struct CardNames {
    std::string target;
    std::string sink;
};

// name1 and name2 of a card's header, read from the stand-in's card file.
inline std::optional<CardNames> cardNames(const std::string& cardFile, uint64_t ringBytes = kRingBytes)
{
    const std::string bytes = readFile(cardFile);
    if (bytes.size() < ringBytes + 160) {
        return std::nullopt;
    }
    const char* header = bytes.data() + ringBytes;
    return CardNames{std::string(header + 32, strnlen(header + 32, 64)), std::string(header + 96, strnlen(header + 96, 64))};
}

// The daemon's log datagrams, taken on [::1]:19640 where it sends them
// (its standard output loses what is queued when it exits at once).
class LogReceiver {
public:
    // Binds in the calling thread's namespace.
    bool open()
    {
        fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(19640);
        a.sin6_addr = in6addr_loopback;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
            return false;
        }
        reader = std::thread([this] {
            char buffer[65536];
            while (!stopping) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) {
                    continue;
                }
                const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
                if (n > 0) {
                    std::lock_guard<std::mutex> lock(mutex);
                    datagrams.emplace_back(buffer, static_cast<size_t>(n));
                }
            }
        });
        return true;
    }
    ~LogReceiver()
    {
        stopping = true;
        if (reader.joinable()) {
            reader.join();
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    size_t size() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return datagrams.size();
    }
    // Datagrams that hold the text.
    size_t count(const std::string& line) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        size_t n = 0;
        for (const auto& d : datagrams) {
            n += d.find(line) != std::string::npos ? 1 : 0;
        }
        return n;
    }

private:
    int fd = -1;
    std::atomic<bool> stopping{false};
    std::thread reader;
    mutable std::mutex mutex;
    std::vector<std::string> datagrams;
};

template <typename Net>
class DaemonRunOver : public ::testing::Test {
protected:
    using Side = typename Net::Side;

    // The namespace fixture's own arguments (LinkNamespaces: its options).
    template <typename... Args>
    explicit DaemonRunOver(Args&&... netArgs) : net(std::forward<Args>(netArgs)...)
    {
    }

    // Emulator sink of each card's sink name: its line prefix and recording.
    struct SinkOut {
        std::string prefix;  // "[0] sink 1"
        std::string stream;  // "[0] stream sink 1"
        std::string audio;
    };

    void SetUp() override
    {
        ASSERT_TRUE(net.ok()) << net.error();
        ASSERT_TRUE(net.addTargetAddress(1));
        ASSERT_TRUE(net.inHost([&] { return log.open(); }));
        char name[] = "/tmp/quorvin-daemon-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        standinDir = dir + "/driver";
        std::filesystem::create_directory(standinDir);
        writeConfigs();
    }
    void TearDown() override
    {
        daemon.stop();
        emulator.stop();
        if (HasFailure()) {
            std::cerr << "---- daemon\n" << daemonOutput() << "---- emulator\n" << emulatorOutput()
                      << "---- what the streams show\n" << streamDiagnosis();
        }
        if (!dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }

    void writeConfigs()
    {
        std::ofstream(dir + "/alpha.inf") << "[target]\nname = Alpha\naddress = fe80::2%" << Net::kTargetLink
                                          << "\n[sink.0]\nname = Main\naudioFile = " << dir << "/main.raw\n"
                                          << "[sink.1]\nname = Feed\naudioFile = " << dir << "/feed.raw\n";
        writeBeta("");
        writeSettings("[global]\nDebug = stdout\n");
        sinks["Main"] = {"[0] sink 0", "[0] stream sink 0", dir + "/main.raw"};
        sinks["Feed"] = {"[0] sink 1", "[0] stream sink 1", dir + "/feed.raw"};
        sinks["Tail"] = {"[1] sink 0", "[1] stream sink 0", dir + "/tail.raw"};
    }

    // Tail is fed by Alpha's sink number 2 (Feed): the end of Feed's chain.
    void writeBeta(const std::string& tailLines) const
    {
        std::ofstream(dir + "/beta.inf") << "[target]\nname = Beta\naddress = fe80::3%" << Net::kTargetLink
                                         << "\n[status.1]\nstate = 0\nsink = 0\npeer = fe80::2\npeerSink = 2\n"
                                         << "[sink.0]\nname = Tail\naudioFile = " << dir << "/tail.raw\n"
                                         << tailLines;
    }

    // Runs argv in the namespace with its output to the file.
    testnet::Program startLogged(Side side, const std::vector<std::string>& argv,
                                 const std::string& output)
    {
        std::string command = "exec";
        for (const auto& a : argv) {
            command += " '" + a + "'";
        }
        command += " >>'" + output + "' 2>&1";
        return net.start(side, {"sh", "-c", command});
    }

    void startEmulator()
    {
        const size_t ready = occurrences(emulatorOutput(), "ready\n");
        emulator = startLogged(Net::Target,
                               {buildDir() + "/testbed/target-emulator", "--config", dir + "/alpha.inf", "--config",
                                dir + "/beta.inf"},
                               emulatorFile());
        ASSERT_TRUE(emulator.started());
        ASSERT_TRUE(waitEmulator("ready\n", ready + 1, 10s)) << emulatorOutput();
    }

    // The daemon under the stand-in with its options.
    void startDaemon(const std::vector<std::string>& standinOptions = {}) { startDaemonWith(settingsFile(), standinOptions); }
    void startDaemonWith(const std::string& settings, const std::vector<std::string>& standinOptions = {})
    {
        std::vector<std::string> argv{buildDir() + "/testbed/driver-standin", "--dir", standinDir};
        argv.insert(argv.end(), standinOptions.begin(), standinOptions.end());
        argv.insert(argv.end(), {"--", buildDir() + "/bridge/quorvin-bridge", settings});
        daemon = startLogged(Net::Host, argv, daemonFile());
        ASSERT_TRUE(daemon.started());
        ASSERT_TRUE(events.open(standinDir, 10s));
    }

    // Emulator and daemon, and the three cards attached.
    void startAll()
    {
        ASSERT_NO_FATAL_FAILURE(startEmulator());
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        ASSERT_TRUE(waitAttached(3, 20s)) << daemonOutput();
    }

    bool waitAttached(size_t cards, std::chrono::milliseconds timeout)
    {
        return testwait::waitFor([&] { return attachedCards() >= cards; }, timeout);
    }
    size_t attachedCards() const
    {
        size_t n = 0;
        for (int card = 0; card < testbed::DriverEvents::kCards; ++card) {
            n += events.attaches(card) > events.removes(card) ? 1 : 0;
        }
        return n;
    }

    // The journal with every request counted so far (the stand-in bumps a
    // request's counter before it writes the request's line).
    std::vector<testbed::JournalLine> journal() const
    {
        std::vector<testbed::JournalLine> lines;
        uint32_t want = 0;
        for (int card = 0; card < testbed::DriverEvents::kCards; ++card) {
            want += events.creates(card) + events.removes(card) + events.attaches(card) + events.wakeups(card) +
                    events.notifies(card);
        }
        want += events.inits();
        testwait::waitFor([&] {
            lines = testbed::readJournal(standinDir);
            return lines.size() >= want;
        }, 5s);
        return lines;
    }

    // The card whose header names the sink, -1 if none.
    int cardOf(const std::string& sink) const
    {
        for (int card = 0; card < 16; ++card) {
            const auto names = cardNames(testbed::driverCardFile(standinDir, card));
            if (names && names->sink == sink && events.attaches(card) > events.removes(card)) {
                return card;
            }
        }
        return -1;
    }

    std::string settingsFile() const { return dir + "/setting.inf"; }
    void writeSettings(const std::string& text) const { std::ofstream(settingsFile()) << text; }
    std::string emulatorFile() const { return dir + "/emulator.out"; }
    std::string daemonFile() const { return dir + "/daemon.out"; }
    std::string emulatorOutput() const { return readFile(emulatorFile()); }
    std::string daemonOutput() const { return readFile(daemonFile()); }

    static size_t occurrences(const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
            ++n;
        }
        return n;
    }
    bool waitEmulator(const std::string& what, size_t times, std::chrono::milliseconds timeout) const
    {
        return testwait::waitFor([&] { return occurrences(emulatorOutput(), what) >= times; }, timeout);
    }
    bool waitDaemon(const std::string& what, size_t times, std::chrono::milliseconds timeout) const
    {
        return testwait::waitFor([&] { return occurrences(daemonOutput(), what) >= times; }, timeout);
    }

    // The card player on a card, to its end; its exit status.
    int play(int card, const std::vector<std::string>& options, std::string* output = nullptr) const
    {
        std::vector<std::string> argv{buildDir() + "/testbed/card-player", testbed::driverCardFile(standinDir, card),
                                      "--events", standinDir + "/" + testbed::kDriverEventsFile};
        // A ring of 640 ms, so that a player starved on a loaded machine
        // (sanitizers, parallel tests) does not run the card dry.
        argv.insert(argv.end(), {"--periods", "16", "--period-frames", "1920"});
        argv.insert(argv.end(), options.begin(), options.end());
        return testnet::runProgram(argv, output);
    }

    // What explains a stream's damage, from both ends: the host ring's
    // silence blocks (each time it ran dry while playing), the worker's
    // largest lateness, and per sink stream its lowest level, underruns and
    // longest gap between bursts.
    std::string streamDiagnosis() const
    {
        teststream::HostLines host;
        std::istringstream daemon(daemonOutput());
        for (std::string line; std::getline(daemon, line);) {
            host.take(line);
        }
        std::ostringstream out;
        out << "host: " << host.describe() << "\n";
        std::istringstream target(emulatorOutput());
        for (std::string line; std::getline(target, line);) {
            const size_t at = line.find("stream sink ");
            if (at == std::string::npos) {
                continue;
            }
            const auto field = [&](const std::string& key) {
                const size_t k = line.find(" " + key + " ");
                if (k == std::string::npos) {
                    return std::string("-");
                }
                const size_t from = k + key.size() + 2;
                return line.substr(from, line.find(' ', from) - from);
            };
            const size_t interval = line.find(" interval-us ");
            std::string longest = "-";
            if (interval != std::string::npos) {
                const size_t k = line.find(" max ", interval);
                longest = k == std::string::npos ? "-" : line.substr(k + 5, line.find(' ', k + 5) - k - 5) + " us";
            }
            out << line.substr(at, line.find(' ', line.find('#', at)) - at) << ": level min/max " << field("level")
                << " bytes, underruns " << field("underruns") << ", missing " << field("missing")
                << ", longest gap between bursts " << longest << "\n";
        }
        return out.str();
    }

    // A second of counter into the sink's card, recorded clean from its
    // start (what the sink's recording file gained over the stream).
    void playsClean(const std::string& sink)
    {
        const int card = cardOf(sink);
        ASSERT_GE(card, 0) << sink;
        const size_t before = readFile(sinks.at(sink).audio).size();
        const size_t ended = occurrences(emulatorOutput(), sinks.at(sink).stream + " #");
        std::string output;
        ASSERT_EQ(play(card, {"--rate", "48000", "--format", "pcm16", "--frames", "48000"}, &output), 0) << output;
        ASSERT_TRUE(waitEmulator(sinks.at(sink).stream + " #", ended + 1, 10s));
        const std::string audio = readFile(sinks.at(sink).audio).substr(before);
        const testbed::CounterCheck check = testbed::checkCounter(
            reinterpret_cast<const uint8_t*>(audio.data()), audio.size(), QUORVIN::QUORVIN_BR_FORMAT_PCM16, 2);
        EXPECT_TRUE(check.clean()) << check.describe() << "\n" << streamDiagnosis();
        EXPECT_EQ(check.firstIndex, 0U) << check.describe();
        EXPECT_EQ(check.frames, 48000U) << check.describe();
    }

    Net net;
    std::string dir;
    std::string standinDir;
    std::map<std::string, SinkOut> sinks;
    testbed::DriverEventBlock events;
    LogReceiver log;
    // Last, so that they stop before the namespaces go.
    testnet::Program emulator;
    testnet::Program daemon;
};

using DaemonRun = DaemonRunOver<testnet::NetNamespaces>;

}  // namespace daemonrun
