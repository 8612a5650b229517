// Random packet loss against playback: 1 ms cycles of one packet of 48 kHz
// 16-bit stereo to the target emulator on ::1 with the bridge's 200 ms
// latency, the emulator dropping a seeded share of the arriving packets and
// asking for their resend. For each loss rate: how often the emulator's
// playback ran dry, and how many packets the host sent beyond one per
// counter (its resends).
//
//   bench_loss [--seconds N]     (per loss rate; default 1, also with any --benchmark_* flag)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "stream/SyncBuffer.h"
#include "testbed/emulator/TargetEmulator.h"

using TIVRA::Clock;

namespace {

struct Result {
    bool ok = false;
    testbed::StreamReport report;
};

Result run(double loss, double seconds)
{
    Result result;
    testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
    config.keepAudio = false;
    config.sinks[0].stream.dropShare = loss;
    config.sinks[0].stream.dropSeed = 7;
    testbed::TargetEmulator emulator;
    if (!emulator.start(config)) {
        std::fprintf(stderr, "emulator did not start\n");
        return result;
    }
    QUORVIN::SyncBuffer s;
    QUORVIN::FormatConfigure f;
    f.setFormat(QUORVIN::PCM16);
    f.setChannel(2);
    f.setSpeed(48000);
    if (!s.open(QUORVIN::Sync::CRITICAL, Clock(10 * Clock::MS), 0, "bench", 1, -1, 0, 0)
        || !s.setSink(emulator.sinkAddress(0), Clock(200 * Clock::MS), false) || !s.setSinkConfigure(f)
        || !s.configTransferFix(Clock(Clock::MS), 0)) {
        std::fprintf(stderr, "stream set-up failed\n");
        return result;
    }
    s.setupBuffer(480, 8, false, 0);  // 10 ms periods
    if (!s.connect(true, -1) || !s.connectWait() || s.getState() != QUORVIN::SYNC_CONNECTED) {
        std::fprintf(stderr, "connect failed\n");
        return result;
    }
    s.play();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::optional<testbed::StreamReport> r = emulator.streamReport(0);
    const bool stillStreaming = s.getState() == QUORVIN::SYNC_CONNECTED;
    s.stop();
    s.disconnect();
    s.close();
    emulator.stop();
    if (!r || !stillStreaming) {
        std::fprintf(stderr, "the stream ended early\n");
        return result;
    }
    result.report = *r;
    result.ok = true;
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        }
    }
    std::printf("%.1f s per rate, 1 ms x 1 packet, 48 kHz 16-bit stereo, latency 200 ms\n", seconds);
    std::printf("%-6s %8s %8s %9s %9s %8s %10s %7s %9s\n", "loss", "packets", "dropped", "requests", "underruns",
                "extra", "extra/drop", "missing", "per-burst");
    int status = 0;
    for (const double loss : {0.005, 0.01, 0.02, 0.05, 0.10}) {
        const Result res = run(loss, seconds);
        if (!res.ok) {
            status = 1;
            continue;
        }
        const testbed::StreamReport& r = res.report;
        // Every counter up to the highest went out at least once; what
        // arrived beyond that (dropped copies included) were resends.
        const uint64_t counters = static_cast<uint64_t>(r.highest + 1);
        const uint64_t extra = r.arrived > counters ? r.arrived - counters : 0;
        std::printf("%5.1f%% %8llu %8llu %9llu %9llu %8llu %10.2f %7llu %5llu max\n", loss * 100,
                    static_cast<unsigned long long>(counters), static_cast<unsigned long long>(r.dropped),
                    static_cast<unsigned long long>(r.resendRequests), static_cast<unsigned long long>(r.underruns),
                    static_cast<unsigned long long>(extra),
                    r.dropped != 0 ? static_cast<double>(extra) / static_cast<double>(r.dropped) : 0.0,
                    static_cast<unsigned long long>(r.missing), static_cast<unsigned long long>(r.burstPacketsMax));
    }
    return status;
}
