// A 1 ms cycle stream of 48 kHz 16-bit stereo to the target emulator on ::1,
// measuring how late each burst starts against its deadline, beside the
// machine's own wake-up baseline: a SCHED_FIFO 99 thread waiting for 1 ms
// deadlines with the same socket wait. Also the worker's CPU time, beside the
// wait's own and beside a bare cycle (the wait, one send to ::1 and the poll
// after it), which is what the worker cannot do without. Last, how evenly the
// bursts go out while the sink keeps asking for nearly the whole resend ring
// again: the time between two burst starts and the largest burst.
//
// The worker's burst times come from the send statistics it logs at info
// level (a record per packet, in microseconds); its CPU is taken over a
// stretch with logging off, as in a quiet daemon. The sink's feedback is off,
// so every cycle is exactly 1 ms and the deadlines lie on one grid; the
// lateness is counted from the earliest burst, and the baseline's likewise
// from its own earliest wake-up. And how soon the sink sees the first two
// bursts after its connect answer (at once, then half a cycle later).
//
//   bench_stream [--seconds N]     (default 10; any --benchmark_* flag: 1 s)
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Socket.h"
#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"
#include "stream/SyncBuffer.h"
#include "testbed/emulator/TargetEmulator.h"

using TIVRA::Clock;

namespace {

constexpr Clock CYCLE{Clock::MS};

struct Figures {
    double p50 = 0, p99 = 0, p999 = 0, max = 0;  // microseconds beyond the earliest
    double min = 0;                              // the earliest, against the deadline; -1 unknown
    size_t samples = 0;
};

// Lateness counted from the earliest sample.
Figures figures(std::vector<Clock> lateness)
{
    Figures f;
    f.samples = lateness.size();
    if (lateness.empty()) {
        return f;
    }
    std::sort(lateness.begin(), lateness.end(), [](Clock a, Clock b) { return a.picoseconds < b.picoseconds; });
    f.min = static_cast<double>(lateness.front().picoseconds) / 1e6;
    for (Clock& c : lateness) {
        c -= lateness.front();
    }
    auto at = [&](double q) {
        const size_t i = std::min(lateness.size() - 1, static_cast<size_t>(q * static_cast<double>(lateness.size())));
        return static_cast<double>(lateness[i].picoseconds) / 1e6;
    };
    f.p50 = at(0.50);
    f.p99 = at(0.99);
    f.p999 = at(0.999);
    f.max = static_cast<double>(lateness.back().picoseconds) / 1e6;
    return f;
}

void print(const char* name, const Figures& f, double cpuPercent)
{
    std::printf("%-34s n=%-6zu p50 %8.2f us  p99 %8.2f us  p99.9 %8.2f us  max %8.2f us", name, f.samples, f.p50, f.p99,
                f.p999, f.max);
    if (f.min >= 0) {
        std::printf("  (earliest %6.2f us late)", f.min);
    }
    if (cpuPercent >= 0) {
        std::printf("  cpu %5.2f %%", cpuPercent);
    }
    std::printf("\n");
}

double threadCpuSeconds(pthread_t thread)
{
    clockid_t id;
    if (pthread_getcpuclockid(thread, &id) != 0) {
        return 0;
    }
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TIVRA::IPAddress loopback()
{
    TIVRA::IPAddress a;
    a.addr[15] = 1;
    return a;
}

// A FIFO 99 thread with a socket on ::1 runs `cycles` 1 ms cycles: it waits
// for each deadline with the socket wait and then calls `onDeadline`.
template <typename F>
Figures fifoCycles(size_t cycles, double& cpuPercent, F onDeadline)
{
    std::vector<Clock> lateness;
    lateness.reserve(cycles);
    double cpu = 0;
    std::thread t([&] {
        TIVRA::ThreadPriority::setPriority(TIVRA::ThreadPriority::getSelfThreadID(),
                                           TIVRA::ThreadPriority::PRIORITY_REALTIME);
        TIVRA::Socket s;
        TIVRA::IPAddress local = loopback();
        s.open(TIVRA::Socket::UDP_V6);
        s.bindV6(local);
        Clock deadline = Clock::now() + CYCLE;
        const double start = threadCpuSeconds(pthread_self());
        for (size_t i = 0; i < cycles; ++i) {
            Clock now = Clock::now();
            while (now.Comp(deadline) < 0) {
                s.wait(deadline - now);
                now = Clock::now();
            }
            lateness.push_back(now - deadline);
            deadline += CYCLE;
            onDeadline(s);
        }
        cpu = threadCpuSeconds(pthread_self()) - start;
    });
    t.join();
    cpuPercent = 100.0 * cpu / (static_cast<double>(cycles) / 1000.0);
    return figures(lateness);
}

// The wake-up baseline: the worker's own wait call, nothing else.
Figures baseline(size_t cycles, double& cpuPercent)
{
    return fifoCycles(cycles, cpuPercent, [](TIVRA::Socket&) {});
}

// The bare cycle: the wait, one packet of the worker's size to a reader on
// ::1 and the poll after it.
Figures bareCycle(size_t cycles, double& cpuPercent)
{
    TIVRA::Socket reader;
    TIVRA::IPAddress at = loopback();
    reader.open(TIVRA::Socket::UDP_V6);
    reader.bindV6(at);
    std::atomic<bool> stop{false};
    std::thread drain([&] {
        TIVRA::Buffer b;
        TIVRA::IPAddress from;
        while (!stop.load()) {
            if (reader.wait(Clock(50 * Clock::MS)) == TIVRA::Socket::WaitReady) {
                reader.receiveFromV6(b, from);
            }
        }
    });
    uint8_t packet[16 + 192] = {};
    const Figures f = fifoCycles(cycles, cpuPercent, [&](TIVRA::Socket& s) {
        s.sendToV6(TIVRA::BufferCS_const{packet, sizeof(packet)}, at, true);
        s.wait();
    });
    stop.store(true);
    drain.join();
    return f;
}

// Exposes the worker thread for its CPU clock.
struct BenchStream : QUORVIN::SyncBuffer {
    using Sync::syncThread;
};

// The send statistics blocks the worker logs, read from the log's datagrams
// (they are raw bytes, zeros included): the time of every packet sent.
class StatisticsReader {
public:
    bool start()
    {
        at = loopback();
        if (!socket.open(TIVRA::Socket::UDP_V6) || !socket.bindV6(at)) {
            return false;
        }
        socket.recvSize = 4096;
        TIVRA::SysLog::initialize(16, false, at.getPort());
        thread = std::thread([this] { run(); });
        return true;
    }
    void stop()
    {
        done.store(true);
        thread.join();
        TIVRA::SysLog::finalize();
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return times.size();
    }
    std::vector<uint32_t> take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::move(times);
    }

private:
    void run()
    {
        TIVRA::Buffer line;
        TIVRA::IPAddress from;
        while (!done.load()) {
            if (socket.wait(Clock(20 * Clock::MS)) != TIVRA::Socket::WaitReady || !socket.receiveFromV6(line, from)) {
                continue;
            }
            constexpr size_t header = TIVRA::SysLog::HeaderLength;
            if (line.size() != header + 1412 || line[header + 3] != 0x01) {
                continue;
            }
            const uint8_t* b = line.data() + header;
            std::lock_guard<std::mutex> lock(mutex);
            for (unsigned i = 0; i < b[2]; ++i) {
                uint32_t t;
                std::memcpy(&t, b + 4 + 8 * i, 4);
                times.push_back(t);
            }
        }
    }

    TIVRA::Socket socket;
    TIVRA::IPAddress at;
    std::thread thread;
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::vector<uint32_t> times;
};

// Burst lateness from packet times: a burst starts after a pause of a
// quarter cycle; the packets sent before it count its deadline on the grid
// (a catch-up burst of two packets stands for two deadlines).
std::vector<Clock> burstLateness(const std::vector<uint32_t>& times, uint64_t cycleUs)
{
    std::vector<int64_t> offsets;
    for (size_t k = 0; k < times.size(); ++k) {
        const uint32_t sinceFirst = times[k] - times[0];
        if (k == 0 || times[k] - times[k - 1] > cycleUs / 4) {
            offsets.push_back(static_cast<int64_t>(sinceFirst) - static_cast<int64_t>(k * cycleUs));
        }
    }
    std::vector<Clock> out;
    if (offsets.empty()) {
        return out;
    }
    const int64_t earliest = *std::min_element(offsets.begin(), offsets.end());
    for (int64_t o : offsets) {
        out.push_back(Clock(static_cast<uint64_t>(o - earliest) * Clock::US));
    }
    return out;
}

// How soon the sink saw the stream's first two bursts after it answered the
// connect, in microseconds: the first goes at once, the second half a cycle
// later, plus what the machine adds.
struct StreamStart {
    double firstUs = -1;
    double secondUs = -1;
};

StreamStart streamStart(const testbed::StreamReport& r)
{
    StreamStart s;
    if (r.burstLog.size() >= 2) {
        s.firstUs = static_cast<double>((r.burstLog[0].start - r.connected).picoseconds) / 1e6;
        s.secondUs = static_cast<double>((r.burstLog[1].start - r.connected).picoseconds) / 1e6;
    }
    return s;
}

Figures worker(uint32_t mode, size_t cycles, StatisticsReader& statistics, double& cpuPercent, bool& ok,
               StreamStart& start)
{
    ok = false;
    testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
    config.sinks[0].stream.feedback = testbed::StreamBehaviour::FEEDBACK_NONE;
    config.keepAudio = false;
    testbed::TargetEmulator emulator;
    if (!emulator.start(config)) {
        std::fprintf(stderr, "emulator did not start\n");
        return {};
    }
    BenchStream s;
    if (!s.open(mode, Clock(10 * Clock::MS), 0, "bench", 1, -1, 0, 0)) {
        std::fprintf(stderr, "open failed\n");
        return {};
    }
    if (!s.setSink(emulator.sinkAddress(0), Clock(200 * Clock::MS), false)) {
        std::fprintf(stderr, "setSink failed\n");
        return {};
    }
    QUORVIN::FormatConfigure f;
    f.setFormat(QUORVIN::PCM16);
    f.setChannel(2);
    f.setSpeed(48000);
    if (!s.setSinkConfigure(f) || !s.configTransferFix(CYCLE, 0)) {
        std::fprintf(stderr, "format or profile refused\n");
        return {};
    }
    s.setupBuffer(480, 8, false, 0);  // 10 ms periods
    if (!s.connect(true, -1) || !s.connectWait() || s.getState() != QUORVIN::SYNC_CONNECTED) {
        std::fprintf(stderr, "connect failed\n");
        return {};
    }
    s.play();
    // Past the catch-up start, then the CPU with logging off.
    const auto cycleTime = std::chrono::milliseconds(1);
    emulator.waitForStreamPackets(0, 100, std::chrono::milliseconds(5000));
    const auto wallStart = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuSeconds(s.syncThread.native_handle());
    std::this_thread::sleep_for(cycleTime * cycles);
    const double cpu = threadCpuSeconds(s.syncThread.native_handle()) - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    cpuPercent = 100.0 * cpu / wall;

    // Then the burst times, from the statistics logged at info level.
    statistics.take();
    TIVRA::quorvin_log = TIVRA::SYSLOG_INFO;
    const auto end = std::chrono::steady_clock::now() + cycleTime * cycles + std::chrono::seconds(5);
    while (statistics.count() < cycles + 16 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    TIVRA::quorvin_log = -1;
    std::vector<uint32_t> times = statistics.take();
    if (const std::optional<testbed::StreamReport> r = emulator.streamReport(0)) {
        start = streamStart(*r);
    }
    s.disconnect();
    s.close();
    emulator.stop();
    if (times.size() < cycles / 2) {
        std::fprintf(stderr, "send statistics missing (%zu records)\n", times.size());
        return {};
    }
    ok = true;
    return figures(burstLateness(times, s.getCycleTime().picoseconds / Clock::US));
}

// Bursts from packet times: a burst starts after a pause of a quarter cycle.
struct Bursts {
    std::vector<Clock> intervals;  // from one start to the next
    size_t largest = 0;            // packets
};

Bursts burstsOf(const std::vector<uint32_t>& times, uint64_t cycleUs)
{
    Bursts b;
    size_t start = 0;
    for (size_t k = 1; k <= times.size(); ++k) {
        if (k == times.size() || times[k] - times[k - 1] > cycleUs / 4) {
            b.largest = std::max(b.largest, k - start);
            if (k < times.size()) {
                b.intervals.push_back(Clock(uint64_t{times[k] - times[start]} * Clock::US));
            }
            start = k;
        }
    }
    return b;
}

// 8 packets of 6 frames a millisecond (a ring of 8192) while the sink asks,
// every 200 ms, for all but the newest 64 of them again: each request is
// served a few packets a burst beside the fresh ones, not in one burst of
// thousands.
bool resendRun(size_t cycles, StatisticsReader& statistics)
{
    testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
    config.sinks[0].stream.feedback = testbed::StreamBehaviour::FEEDBACK_NONE;
    config.keepAudio = false;
    testbed::TargetEmulator emulator;
    BenchStream s;
    QUORVIN::FormatConfigure f;
    f.setFormat(QUORVIN::PCM16);
    f.setChannel(2);
    f.setSpeed(48000);
    if (!emulator.start(config) || !s.open(QUORVIN::Sync::CRITICAL, Clock(10 * Clock::MS), 0, "bench", 1, -1, 0, 0)
        || !s.setSink(emulator.sinkAddress(0), Clock(200 * Clock::MS), false) || !s.setSinkConfigure(f)) {
        std::fprintf(stderr, "resend run: set-up failed\n");
        return false;
    }
    QUORVIN::Profile p;
    p.cycleTime = CYCLE;
    p.packetCount = 8;
    p.packetBytes = p.packetBytesMax = 24;
    p.framesPerPacketQ14 = 6 << 14;
    p.mode = QUORVIN::TransferVar;
    s.setConfigTransfer(p);
    const uint16_t back = 8192 - 64;
    s.setupBuffer(480, 8, false, 0);
    if (!s.connect(true, -1) || !s.connectWait() || s.getState() != QUORVIN::SYNC_CONNECTED) {
        std::fprintf(stderr, "resend run: connect failed\n");
        return false;
    }
    s.play();
    // The ring full once round.
    emulator.waitForStreamPackets(0, 9000, std::chrono::milliseconds(5000));
    statistics.take();
    TIVRA::quorvin_log = TIVRA::SYSLOG_INFO;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(cycles);
    int asked = 0;
    while (std::chrono::steady_clock::now() < end && s.getState() == QUORVIN::SYNC_CONNECTED) {
        emulator.askResend(0, back);
        ++asked;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    TIVRA::quorvin_log = -1;
    const std::vector<uint32_t> times = statistics.take();
    const bool streaming = s.getState() == QUORVIN::SYNC_CONNECTED;
    s.disconnect();
    s.close();
    emulator.stop();
    if (!streaming || times.size() < cycles) {
        std::fprintf(stderr, "resend run: the stream ended or its statistics are missing (%zu records)\n",
                     times.size());
        return false;
    }
    Bursts b = burstsOf(times, CYCLE.picoseconds / Clock::US);
    if (b.intervals.empty()) {
        std::fprintf(stderr, "resend run: no bursts\n");
        return false;
    }
    std::sort(b.intervals.begin(), b.intervals.end(), [](Clock x, Clock y) { return x.picoseconds < y.picoseconds; });
    auto at = [&](double q) {
        const size_t i =
            std::min(b.intervals.size() - 1, static_cast<size_t>(q * static_cast<double>(b.intervals.size())));
        return static_cast<double>(b.intervals[i].picoseconds) / 1e6;
    };
    std::printf(
        "%-34s n=%-6zu p50 %8.2f us  p99 %8.2f us  p99.9 %8.2f us  max %8.2f us  (%d requests of %u back, "
        "largest burst %zu packets)\n",
        "burst interval under big resends", b.intervals.size(), at(0.50), at(0.99), at(0.999), at(1.0), asked,
        unsigned{back}, b.largest);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (a.rfind("--benchmark", 0) == 0) {
            seconds = 1;
        }
    }
    const size_t cycles = static_cast<size_t>(seconds * 1000);
    double waitCpu = 0;
    const Figures base = baseline(cycles, waitCpu);
    print("baseline: FIFO 99 socket wait", base, waitCpu);
    double bareCpu = 0;
    const Figures bare = bareCycle(cycles, bareCpu);
    print("bare cycle: wait, send, poll", bare, bareCpu);

    StatisticsReader statistics;
    if (!statistics.start()) {
        std::fprintf(stderr, "no socket for the send statistics\n");
        return 1;
    }
    int status = 0;
    const struct {
        const char* name;
        uint32_t mode;
    } runs[] = {
        {"worker CRITICAL", QUORVIN::Sync::CRITICAL},
        {"worker CRITICAL|NOSHORTSLEEP", QUORVIN::Sync::CRITICAL | QUORVIN::Sync::NOSHORTSLEEP},
    };
    for (const auto& run : runs) {
        bool ok = false;
        double cpu = 0;
        StreamStart start;
        Figures w = worker(run.mode, cycles, statistics, cpu, ok, start);
        if (!ok) {
            status = 1;
            continue;
        }
        w.min = -1;  // the statistics carry no deadlines
        print(run.name, w, cpu);
        std::printf(
            "  the sink saw the first burst %.0f us and the second %.0f us after its connect answer"
            " (at once, then half a cycle: %.0f us)\n",
            start.firstUs, start.secondUs, static_cast<double>(CYCLE.picoseconds) / 2e6);
        if (run.mode == QUORVIN::Sync::CRITICAL) {
            if (base.p99 > 0) {
                std::printf("  worker p99 / baseline p99 = %.2f (goal <= 1.5)\n", w.p99 / base.p99);
            }
            if (waitCpu > 0 && bareCpu > 0) {
                std::printf("  worker cpu / wait cpu = %.2f (goal <= 1.5), / bare cycle cpu = %.2f\n", cpu / waitCpu,
                            cpu / bareCpu);
            }
        }
    }
    if (!resendRun(cycles, statistics)) {
        status = 1;
    }
    statistics.stop();
    return status;
}
