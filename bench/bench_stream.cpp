// A 1 ms cycle stream of 48 kHz 16-bit stereo to the target emulator on ::1,
// measuring how late each burst starts against its deadline, beside the
// machine's own wake-up baseline: a SCHED_FIFO 99 thread waiting for 1 ms
// deadlines with the same socket wait. Also the worker's CPU time.
//
//   bench_stream [--seconds N]     (default 10; any --benchmark_* flag: 1 s)
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Socket.h"
#include "foundation/ThreadPriority.h"
#include "stream/SyncBuffer.h"
#include "testbed/emulator/TargetEmulator.h"

using TIVRA::Clock;

namespace {

constexpr Clock CYCLE{Clock::MS};

struct Figures {
    double p50 = 0, p99 = 0, p999 = 0, max = 0;  // microseconds
    size_t samples = 0;
};

Figures figures(std::vector<Clock> lateness)
{
    Figures f;
    f.samples = lateness.size();
    if (lateness.empty()) {
        return f;
    }
    std::sort(lateness.begin(), lateness.end(), [](Clock a, Clock b) { return a.picoseconds < b.picoseconds; });
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

// The wake-up baseline: the worker's own wait call, nothing else.
Figures baseline(size_t cycles, double& cpuPercent)
{
    std::vector<Clock> lateness;
    lateness.reserve(cycles);
    double cpu = 0;
    std::thread t([&] {
        TIVRA::ThreadPriority::setPriority(TIVRA::ThreadPriority::getSelfThreadID(),
                                           TIVRA::ThreadPriority::PRIORITY_REALTIME);
        TIVRA::Socket s;
        TIVRA::IPAddress local;
        local.addr[15] = 1;
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
        }
        cpu = threadCpuSeconds(pthread_self()) - start;
    });
    t.join();
    cpuPercent = 100.0 * cpu / (static_cast<double>(cycles) / 1000.0);
    return figures(lateness);
}

// Exposes the worker thread for its CPU clock.
struct BenchStream : QUORVIN::SyncBuffer {
    using Sync::latency;
    using Sync::maxPacketCount;
    using Sync::maxPacketSize;
    using Sync::sincSupportPCM;
    using Sync::sinkAddress;
    using Sync::syncThread;
};

Figures worker(uint32_t mode, size_t cycles, double& cpuPercent, bool& ok)
{
    ok = false;
    testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
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
    std::vector<Clock> lateness(cycles + 16);
    QUORVIN::Sync::BurstProbe probe;
    probe.lateness = lateness.data();
    probe.capacity = lateness.size();
    s.setBurstProbe(&probe);
    s.setupBuffer(480, 8, false, 0);  // 10 ms periods
    if (!s.connect(true, -1) || !s.connectWait() || s.getState() != QUORVIN::SYNC_CONNECTED) {
        std::fprintf(stderr, "connect failed\n");
        return {};
    }
    s.play();
    // Let the first cycles (the catch-up start) pass before measuring.
    while (probe.count.load(std::memory_order_acquire) < 16) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double cpuStart = threadCpuSeconds(s.syncThread.native_handle());
    const size_t first = probe.count.load(std::memory_order_acquire);
    while (probe.count.load(std::memory_order_acquire) < probe.capacity) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double cpu = threadCpuSeconds(s.syncThread.native_handle()) - cpuStart;
    const size_t last = probe.count.load(std::memory_order_acquire);
    s.disconnect();
    s.close();
    emulator.stop();
    cpuPercent = 100.0 * cpu / (static_cast<double>(last - first) / 1000.0);
    ok = true;
    return figures(
        std::vector<Clock>(lateness.begin() + static_cast<long>(first), lateness.begin() + static_cast<long>(last)));
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
    double cpu = 0;
    const Figures base = baseline(cycles, cpu);
    print("baseline: FIFO 99 socket wait", base, cpu);
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
        const Figures w = worker(run.mode, cycles, cpu, ok);
        if (!ok) {
            status = 1;
            continue;
        }
        print(run.name, w, cpu);
        if (run.mode == QUORVIN::Sync::CRITICAL && base.p99 > 0) {
            std::printf("  worker p99 / baseline p99 = %.2f (goal <= 1.5)\n", w.p99 / base.p99);
        }
    }
    return status;
}
