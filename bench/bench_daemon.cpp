// The daemon as it ships, timed end to end: the real quorvin-bridge under the
// driver stand-in in a host namespace, the target emulator program in a
// target namespace, a veth between them, and card players in the cards.
//
// StartLatency: from the moment a card player raises STREAM (its
// "monotonic-ns" stamp) to the first stream packet at the target (the
// emulator's "first-packet-ns"), both on the monotonic clock every namespace
// shares; median and max over the starts. Goal: under 50 ms.
//
// Cpu: 8 sinks streaming 48 kHz 16-bit stereo at 1 ms cycles; the daemon's
// CPU time (utime + stime of the whole process) over the window, in total
// and per stream, beside the daemon idle with its cards attached and beside
// one stream worker of the same code alone in this process for the same time
// (bench_stream's worker, with the daemon's thread mode and info cycle), per
// 1 ms cycle.
//
// Lengths: BENCH_DAEMON_STARTS (default 20 starts), BENCH_DAEMON_SECONDS
// (default 30 s for each CPU window). Needs root for the namespaces: without
// it, or when the namespaces cannot be made, the benchmarks are skipped with
// the reason. A daemon that does not stream fails the program.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "NetNamespaces.h"
#include "WaitFor.h"
#include "stream/SyncBuffer.h"
#include "testbed/driver/DriverStandin.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace std::chrono_literals;

namespace {

bool g_failed = false;

constexpr double kCycleSeconds = 0.001;

size_t envNumber(const char* name, size_t fallback)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    const long long n = std::atoll(text);
    return n > 0 ? static_cast<size_t>(n) : fallback;
}

std::string buildDir()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) {
        return ".";
    }
    const std::string exe(path, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/')) + "/..";
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> linesStarting(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

// The number after " key " in a line.
std::optional<double> valueAfter(const std::string& line, const std::string& key)
{
    const std::string word = " " + key + " ";
    const size_t at = line.find(word);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    char* end = nullptr;
    const char* start = line.c_str() + at + word.size();
    const double v = std::strtod(start, &end);
    return end == start ? std::nullopt : std::optional<double>(v);
}

// utime + stime of a process, all its threads, in seconds; -1 when it is gone.
double processCpuSeconds(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {  // field 3 is the state
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The process named `comm` among the descendants of `root`; -1 if none.
pid_t descendantNamed(pid_t root, const std::string& comm)
{
    struct Entry {
        pid_t pid, parent;
        std::string comm;
    };
    std::vector<Entry> all;
    DIR* dir = opendir("/proc");
    if (dir == nullptr) {
        return -1;
    }
    while (dirent* e = readdir(dir)) {
        const pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
        if (pid <= 0) {
            continue;
        }
        const std::string stat = readFile(std::string("/proc/") + e->d_name + "/stat");
        const size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 4 >= stat.size()) {
            continue;
        }
        all.push_back(
            {pid, static_cast<pid_t>(std::atol(stat.c_str() + close + 4)), stat.substr(open + 1, close - open - 1)});
    }
    closedir(dir);
    std::vector<pid_t> family{root};
    for (size_t i = 0; i < family.size(); ++i) {
        for (const Entry& e : all) {
            if (e.parent == family[i]) {
                if (e.comm == comm) {
                    return e.pid;
                }
                family.push_back(e.pid);
            }
        }
    }
    return -1;
}

// A process's CPU time over a window of `seconds` against the wall time; -1
// when it is gone.
double cpuShare(pid_t pid, double seconds)
{
    const double cpuStart = processCpuSeconds(pid);
    const auto wallStart = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));  // the measured window
    const double cpuEnd = processCpuSeconds(pid);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    return cpuStart < 0 || cpuEnd < 0 ? -1 : (cpuEnd - cpuStart) / wall;
}

double percentile50(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One target of `sinks` sinks ("Out 0", ...) in the target namespace, the
// daemon with its quiet default logging and a fixed 1 ms cycle in the host
// namespace, every card attached. Programs, namespaces and files go with it.
class DaemonSetup {
public:
    explicit DaemonSetup(unsigned sinks) : sinks_(sinks)
    {
        if (!net.ok()) {
            error_ = net.error();
            return;
        }
        char name[] = "/tmp/quorvin-bench-XXXXXX";
        if (mkdtemp(name) == nullptr) {
            error_ = std::string("mkdtemp: ") + std::strerror(errno);
            return;
        }
        dir = name;
        standinDir = dir + "/driver";
        std::filesystem::create_directory(standinDir);
        std::ofstream target(dir + "/target.inf");
        target << "[target]\nname = Bench\naddress = fe80::2%" << testnet::NetNamespaces::kTargetLink << "\n";
        for (unsigned s = 0; s < sinks; ++s) {
            target << "[sink." << s << "]\nname = Out " << s << "\n";
        }
        target.close();
        std::ofstream(settingsFile()) << "[global]\nThredMode = 1\nFlexCycle = fix\nCycleTime = 1000\n";

        emulator =
            startLogged(testnet::NetNamespaces::Target,
                        {buildDir() + "/testbed/target-emulator", "--config", dir + "/target.inf"}, emulatorFile());
        const auto ready = [&] { return emulatorOutput().find("ready\n") != std::string::npos; };
        if (!emulator.started() || !testwait::waitFor(ready, 10s)) {
            fault_ = true;
            error_ = "the target emulator did not start";
            return;
        }
        daemon = startLogged(testnet::NetNamespaces::Host,
                             {buildDir() + "/testbed/driver-standin", "--dir", standinDir, "--",
                              buildDir() + "/bridge/quorvin-bridge", settingsFile()},
                             daemonFile());
        if (!daemon.started() || !events.open(standinDir, 10s)) {
            fault_ = true;
            error_ = "the driver stand-in did not start";
            return;
        }
        if (!testwait::waitFor([&] { return cards().size() >= sinks_; }, 30s)) {
            fault_ = true;
            error_ = std::to_string(cards().size()) + " of " + std::to_string(sinks_) + " cards attached";
            return;
        }
        daemonPid_ = descendantNamed(daemon.pid(), "quorvin-bridge");
        if (daemonPid_ <= 0) {
            fault_ = true;
            error_ = "no daemon process under the stand-in";
        }
    }
    ~DaemonSetup()
    {
        daemon.stop();
        emulator.stop();
        if (!dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }
    DaemonSetup(const DaemonSetup&) = delete;
    DaemonSetup& operator=(const DaemonSetup&) = delete;

    bool ok() const { return error_.empty(); }
    // A program failed, rather than the machine lacking what the set-up needs.
    bool fault() const { return fault_; }
    const std::string& error() const { return error_; }
    pid_t daemonPid() const { return daemonPid_; }

    std::vector<int> cards() const
    {
        std::vector<int> out;
        for (int card = 0; card < testbed::DriverEvents::kCards; ++card) {
            if (events.attaches(card) > events.removes(card)) {
                out.push_back(card);
            }
        }
        return out;
    }

    // A card player on the card, 48 kHz 16-bit stereo counter, with the options.
    std::vector<std::string> player(int card, const std::vector<std::string>& options) const
    {
        std::vector<std::string> argv{buildDir() + "/testbed/card-player",
                                      testbed::driverCardFile(standinDir, card),
                                      "--events",
                                      standinDir + "/" + testbed::kDriverEventsFile,
                                      "--format",
                                      "pcm16",
                                      "--rate",
                                      "48000",
                                      "--channels",
                                      "2"};
        argv.insert(argv.end(), options.begin(), options.end());
        return argv;
    }

    std::string emulatorOutput() const { return readFile(emulatorFile()); }
    std::string daemonOutput() const { return readFile(daemonFile()); }
    // The emulator's end lines of streams, in order.
    std::vector<std::string> streamEnds() const { return linesStarting(emulatorOutput(), "stream sink "); }
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string settingsFile() const { return dir + "/settings.inf"; }
    std::string emulatorFile() const { return dir + "/emulator.out"; }
    std::string daemonFile() const { return dir + "/daemon.out"; }

    testnet::Program startLogged(testnet::NetNamespaces::Side side, const std::vector<std::string>& argv,
                                 const std::string& output) const
    {
        std::string command = "exec";
        for (const auto& a : argv) {
            command += " '" + a + "'";
        }
        command += " >>'" + output + "' 2>&1";
        return net.start(side, {"sh", "-c", command});
    }

    unsigned sinks_;
    std::string error_;
    bool fault_ = false;
    testnet::NetNamespaces net;
    std::string dir;
    std::string standinDir;
    testbed::DriverEventBlock events;
    pid_t daemonPid_ = -1;
    // Last, so that they stop before the namespaces go.
    testnet::Program emulator;
    testnet::Program daemon;
};

// A failure of the daemon or of the measurement, with what the programs said.
void fail(benchmark::State& state, const DaemonSetup& setup, const std::string& what)
{
    g_failed = true;
    std::fprintf(stderr, "bench_daemon: %s\n---- daemon\n%s---- emulator\n%s", what.c_str(),
                 setup.daemonOutput().c_str(), setup.emulatorOutput().c_str());
    state.SkipWithError(what.c_str());
}

// Skips the benchmark when the machine cannot run it (no root, no
// namespaces); programs that do not come up fail it.
bool cannotSetUp(benchmark::State& state, const DaemonSetup* setup)
{
    if (setup == nullptr) {
        if (geteuid() != 0) {
            state.SkipWithError("needs root for the network namespaces");
            return true;
        }
        return false;
    }
    if (setup->ok()) {
        return false;
    }
    if (setup->fault()) {
        fail(state, *setup, setup->error());
    } else {
        state.SkipWithError(("set-up failed: " + setup->error()).c_str());
    }
    return true;
}

// The starts, one card player after another on the one card; false on a failure.
bool measureStarts(benchmark::State& state, const DaemonSetup& setup, size_t starts, std::vector<double>& ms)
{
    const int card = setup.cards().front();
    for (size_t i = 0; i < starts; ++i) {
        const size_t ended = setup.streamEnds().size();
        std::string output;
        // A tenth of a second of audio: the start, then the end at once.
        if (testnet::runProgram(setup.player(card, {"--frames", "4800", "--report-every", "0"}), &output) != 0) {
            fail(state, setup, "card player failed: " + output);
            return false;
        }
        const auto requested = linesStarting(output, "request inuse stream monotonic-ns ");
        std::vector<std::string> ends;
        if (requested.empty() || !testwait::waitFor([&] { return (ends = setup.streamEnds()).size() > ended; }, 10s)) {
            fail(state, setup, "no stream request stamp or no stream at the target: " + output);
            return false;
        }
        const auto at = valueAfter(requested.back(), "monotonic-ns");
        const auto first = valueAfter(ends.back(), "first-packet-ns");
        if (!at || !first) {
            fail(state, setup, "no first packet in " + ends.back());
            return false;
        }
        ms.push_back((*first - *at) / 1e6);
    }
    return true;
}

void BM_StartLatency(benchmark::State& state)
{
    const size_t starts = envNumber("BENCH_DAEMON_STARTS", 20);
    if (cannotSetUp(state, nullptr)) {
        return;
    }
    std::vector<double> ms;
    for (auto _ : state) {
        DaemonSetup setup(1);
        if (cannotSetUp(state, &setup) || !measureStarts(state, setup, starts, ms)) {
            break;
        }
    }
    if (ms.size() < starts) {
        return;
    }
    state.counters["median_ms"] = percentile50(ms);
    state.counters["max_ms"] = *std::max_element(ms.begin(), ms.end());
    state.counters["starts"] = static_cast<double>(ms.size());
    state.SetLabel("STREAM request to first packet, goal < 50 ms");
}
BENCHMARK(BM_StartLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

double threadCpuSeconds(pthread_t thread)
{
    clockid_t id;
    timespec ts{};
    if (pthread_getcpuclockid(thread, &id) != 0 || clock_gettime(id, &ts) != 0) {
        return -1;
    }
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Exposes the worker thread for its CPU clock.
struct WorkerStream : QUORVIN::SyncBuffer {
    using Sync::syncThread;
};

// One stream worker as the daemon runs it (thread mode 1, 100 ms info cycle,
// fixed 1 ms cycle) streaming 48 kHz 16-bit stereo to an emulator on ::1:
// its thread's CPU share over `seconds`, or a negative value with `error`.
double workerCpuShare(double seconds, std::string& error)
{
    testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
    config.keepAudio = false;
    testbed::TargetEmulator emulator;
    if (!emulator.start(config)) {
        error = "the in-process emulator did not start";
        return -1;
    }
    WorkerStream s;
    QUORVIN::FormatConfigure f;
    f.setFormat(QUORVIN::PCM16);
    f.setChannel(2);
    f.setSpeed(48000);
    if (!s.open(QUORVIN::Sync::CRITICAL, TIVRA::Clock(100 * TIVRA::Clock::MS), 0, "bench", 1, -1, 0, 0)
        || !s.setSink(emulator.sinkAddress(0), TIVRA::Clock(200 * TIVRA::Clock::MS), false) || !s.setSinkConfigure(f)
        || !s.configTransferFix(TIVRA::Clock(TIVRA::Clock::MS), 0)) {
        error = "the stream worker's negotiation failed";
        return -1;
    }
    s.setupBuffer(480, 8, false, 0);
    if (!s.connect(true, -1) || !s.connectWait() || s.getState() != QUORVIN::SYNC_CONNECTED) {
        error = "the stream worker did not connect";
        return -1;
    }
    s.play();
    if (!emulator.waitForStreamPackets(0, 100, 5000ms)) {
        error = "the stream worker sent nothing";
        return -1;
    }
    const auto wallStart = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuSeconds(s.syncThread.native_handle());
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));  // the measured window
    const double cpu = threadCpuSeconds(s.syncThread.native_handle()) - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    s.disconnect();
    s.close();
    emulator.stop();
    return cpu / wall;
}

struct CpuFigures {
    double idleShare = 0;    // of one CPU, the daemon with its cards attached and nothing playing
    double daemonShare = 0;  // of one CPU, the whole daemon
    double workerShare = 0;  // of one CPU, the worker alone
    double cycleUs = 0;      // median of the streams' mean burst intervals at the target
};

constexpr unsigned kStreams = 8;

// Every card plays for the window; false on a failure.
bool measureCpu(benchmark::State& state, const DaemonSetup& setup, double seconds, CpuFigures& figures)
{
    const pid_t pid = setup.daemonPid();
    // What the daemon spends without streams, to tell the streams' share apart.
    figures.idleShare = cpuShare(pid, std::min(seconds / 2, 5.0));
    // Rings of 640 ms, so that a player starved on a loaded machine does
    // not run its card dry.
    std::vector<testnet::Program> players;
    std::vector<std::string> outputs;
    for (const int card : setup.cards()) {
        outputs.push_back(setup.file("player" + std::to_string(card) + ".out"));
        const int fd = ::open(outputs.back().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        players.emplace_back(testnet::tools::spawn(
            setup.player(card, {"--periods", "16", "--period-frames", "1920", "--report-every", "0"}), fd));
        if (fd >= 0) {
            ::close(fd);
        }
    }
    const auto allPlaying = [&] {
        return std::all_of(outputs.begin(), outputs.end(), [](const std::string& out) {
            return readFile(out).find("\nplaying status=") != std::string::npos;
        });
    };
    if (!testwait::waitFor(allPlaying, 20s)) {
        fail(state, setup, "not every card is playing");
        return false;
    }
    figures.daemonShare = cpuShare(pid, seconds);
    if (figures.idleShare < 0 || figures.daemonShare < 0) {
        fail(state, setup, "the daemon is gone");
        return false;
    }

    // Orderly ends, so that each stream's line at the target shows it ran
    // at 1 ms cycles throughout.
    const size_t ended = setup.streamEnds().size();
    for (testnet::Program& p : players) {
        kill(p.pid(), SIGTERM);
    }
    for (testnet::Program& p : players) {
        if (p.wait(10s) != std::optional<int>(0)) {
            fail(state, setup, "a card player did not end cleanly");
            return false;
        }
    }
    std::vector<std::string> ends;
    if (!testwait::waitFor([&] { return (ends = setup.streamEnds()).size() >= ended + kStreams; }, 10s)) {
        fail(state, setup, "not every stream ended at the target");
        return false;
    }
    std::vector<double> intervals;
    for (size_t i = ended; i < ends.size(); ++i) {
        const auto mean = valueAfter(ends[i], "interval-us mean");
        if (!mean) {
            fail(state, setup, "no cycle timing in " + ends[i]);
            return false;
        }
        intervals.push_back(*mean);
    }
    figures.cycleUs = percentile50(intervals);

    std::string error;
    figures.workerShare = workerCpuShare(seconds, error);
    if (figures.workerShare < 0) {
        fail(state, setup, error);
        return false;
    }
    return true;
}

void BM_Cpu(benchmark::State& state)
{
    const double seconds = static_cast<double>(envNumber("BENCH_DAEMON_SECONDS", 30));
    if (cannotSetUp(state, nullptr)) {
        return;
    }
    CpuFigures f;
    bool measured = false;
    for (auto _ : state) {
        DaemonSetup setup(kStreams);
        if (cannotSetUp(state, &setup) || !(measured = measureCpu(state, setup, seconds, f))) {
            break;
        }
    }
    if (!measured) {
        return;
    }
    const double cyclesPerSecond = 1.0 / kCycleSeconds;
    state.counters["streams"] = kStreams;
    state.counters["cycle_us"] = f.cycleUs;
    state.counters["idle_cpu_pct"] = 100.0 * f.idleShare;
    state.counters["daemon_cpu_pct"] = 100.0 * f.daemonShare;
    state.counters["per_stream_cpu_pct"] = 100.0 * f.daemonShare / kStreams;
    state.counters["per_stream_us_per_cycle"] = 1e6 * f.daemonShare / kStreams / cyclesPerSecond;
    state.counters["worker_cpu_pct"] = 100.0 * f.workerShare;
    state.counters["worker_us_per_cycle"] = 1e6 * f.workerShare / cyclesPerSecond;
    state.SetLabel(std::to_string(static_cast<int>(seconds)) + " s of 8 x 48 kHz pcm16 stereo, 1 ms cycles");
}
BENCHMARK(BM_Cpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return g_failed ? 1 : 0;
}
