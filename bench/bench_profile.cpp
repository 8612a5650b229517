// The automatic transfer profile with its fall-back, as the card logic asks
// for it at every connect: configTransferAuto(limit, 0, cycle time) on
// typical sinks. Logging is off, as in a daemon below info level. The global
// allocator is replaced to count what the computation allocates (nothing).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "AllocationCount.h"
#include "foundation/Clock.h"
#include "foundation/SysLog.h"
#include "protocol/Format.h"
#include "stream/Profile.h"
#include "stream/Sync.h"

namespace {

using TIVRA::Clock;

class BenchSync : public QUORVIN::Sync {
public:
    BenchSync(QUORVIN::FormatConfigure config, unsigned short min, unsigned short max, uint16_t prof)
    {
        sinkConfig = config;
        maxPacketSize = 1428;
        maxPacketCount = 10;
        // A sink offering 32-bit stereo: 8 bytes per base-rate frame.
        profileMaker.setParameter(min, max, prof, 8, 8);
    }
    Clock fallbackCycle() const { return profiles[1].cycleTime; }
};

QUORVIN::FormatConfigure format(int index)
{
    struct Choice {
        uint64_t id;
        unsigned long hz;
    };
    static constexpr Choice choices[] = {
        {QUORVIN::PCM16, 44100}, {QUORVIN::PCM24, 96000}, {QUORVIN::PCM32, 192000}, {QUORVIN::PCM24, 48000}};
    QUORVIN::FormatConfigure f;
    f.setFormat(choices[index].id);
    f.setChannel(2);
    f.setSpeed(choices[index].hz);
    return f;
}

// range(0): format (0 16-bit 44.1 kHz, 1 24-bit 96 kHz, 2 32-bit 192 kHz, 3 24-bit 48 kHz);
// range(1): sink (0 fixed from min with search, 1 variable from min with search, 2 sink cycle);
// range(2): the fall-back profile's limit in microseconds.
void BM_ConfigTransferAuto(benchmark::State& state)
{
    TIVRA::quorvin_log = -1;
    static constexpr uint16_t FIXED = QUORVIN::PROFILE_FROMMIN | QUORVIN::PROFILE_AUTO;
    static constexpr uint16_t VARIABLE = FIXED | QUORVIN::PROFILE_VAR;
    const int sink = static_cast<int>(state.range(1));
    BenchSync sync(format(static_cast<int>(state.range(0))), sink == 2 ? 3 : 100, sink == 2 ? 0 : 1000,
                   sink == 0   ? FIXED
                   : sink == 1 ? VARIABLE
                               : uint16_t{QUORVIN::PROFILE_SINKCYCLE});
    const Clock limit{Clock::MS};
    const Clock fallback{static_cast<uint64_t>(state.range(2)) * Clock::US};

    const uint64_t before = static_cast<uint64_t>(testalloc::threadAllocations());
    for (auto _ : state) {
        sync.configTransferAuto(limit, Clock{0}, fallback);
        benchmark::DoNotOptimize(sync.getCycleTime());
        benchmark::ClobberMemory();
    }
    state.counters["allocs"] = static_cast<double>(static_cast<uint64_t>(testalloc::threadAllocations()) - before);
    state.counters["cycle_us"] = static_cast<double>(sync.getCycleTime().picoseconds / Clock::US);
    state.counters["fallback_us"] = static_cast<double>(sync.fallbackCycle().picoseconds / Clock::US);
}
BENCHMARK(BM_ConfigTransferAuto)
    ->ArgNames({"format", "sink", "fallback_us"})
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1, 2}, {1000, 10000}});

}  // namespace

BENCHMARK_MAIN();
