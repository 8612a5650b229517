// The sample copy routines against memcpy on one packet-sized block (6144
// bytes) and on a 64 KiB block: the eight public routines as the stream
// worker calls them, then every instruction-set form of each routine that
// has several, so the forms can be compared in one run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "stream/CopyRoutinesImpl.h"
#include "stream/Sync.h"

namespace {

using QUORVIN::CopyRoutine;
using QUORVIN::Sync;
namespace CopyForms = QUORVIN::CopyForms;

constexpr size_t kMaxBlock = 65536;
// Both blocks start on a cache line, but not at the same offset within a
// 4 KiB page: loads and stores that alias at page offsets would stall
// memcpy and the routines alike and blur the comparison.
constexpr size_t kStagger = 1088;
alignas(4096) unsigned char arena[2 * kMaxBlock + kStagger];
unsigned char* const sourceBlock = arena;
unsigned char* const destinationBlock = arena + kMaxBlock + kStagger;

void fillSource()
{
    std::mt19937 random(1);
    for (size_t i = 0; i < kMaxBlock; ++i) {
        sourceBlock[i] = static_cast<unsigned char>(random());
    }
}

void runCopy(benchmark::State& state, CopyRoutine routine, bool dispatched)
{
    if (dispatched) {
        // Read here, not at registration: the choice is made by another
        // start-up initialiser.
        state.SetLabel(CopyForms::isaName(CopyForms::activeIsa()));
    }
    const size_t size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        routine(destinationBlock, sourceBlock, size);
        benchmark::DoNotOptimize(destinationBlock);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void plainMemcpy(unsigned char* destination, const unsigned char* source, size_t count)
{
    std::memcpy(destination, source, count);
}

struct Named {
    const char* name;
    CopyRoutine routine;
};

void registerAll()
{
    fillSource();
    const Named publicRoutines[] = {
        {"memcpy", plainMemcpy},
        {"memcpySyncOrg", Sync::memcpySyncOrg},
        {"memcpySyncAntiPhase", Sync::memcpySyncAntiPhase},
        {"memcpySyncByteSwap32", Sync::memcpySyncByteSwap32},
        {"memcpySyncByteSwap32AntiPhase", Sync::memcpySyncByteSwap32AntiPhase},
        {"memcpySyncBitSwap32", Sync::memcpySyncBitSwap32},
        {"memcpySyncBitSwap32AntiPhase", Sync::memcpySyncBitSwap32AntiPhase},
        {"memcpySyncBitByteSwap32", Sync::memcpySyncBitByteSwap32},
        {"memcpySyncBitByteSwap32AntiPhase", Sync::memcpySyncBitByteSwap32AntiPhase},
    };
    for (const Named& entry : publicRoutines) {
        benchmark::RegisterBenchmark(entry.name, runCopy, entry.routine, entry.routine != plainMemcpy)
            ->Arg(6144)
            ->Arg(kMaxBlock);
    }
    for (int isa = CopyForms::ISA_BASE; isa < CopyForms::ISA_COUNT; ++isa) {
        if (!CopyForms::isaAvailable(static_cast<CopyForms::Isa>(isa))) {
            continue;
        }
        const CopyForms::Forms& forms = CopyForms::formsOf(static_cast<CopyForms::Isa>(isa));
        const Named formRoutines[] = {
            {"antiPhase", forms.antiPhase},
            {"byteSwap32", forms.byteSwap32},
            {"byteSwap32AntiPhase", forms.byteSwap32AntiPhase},
            {"bitSwap32", forms.bitSwap32},
            {"bitSwap32AntiPhase", forms.bitSwap32AntiPhase},
            {"bitByteSwap32", forms.bitByteSwap32},
            {"bitByteSwap32AntiPhase", forms.bitByteSwap32AntiPhase},
        };
        for (const Named& entry : formRoutines) {
            const std::string name =
                std::string(CopyForms::isaName(static_cast<CopyForms::Isa>(isa))) + "/" + entry.name;
            benchmark::RegisterBenchmark(name.c_str(), runCopy, entry.routine, false)->Arg(6144)->Arg(kMaxBlock);
        }
        // memcpy again beside each group, so drift in the run shows.
        benchmark::RegisterBenchmark("memcpy", runCopy, plainMemcpy, false)->Arg(6144)->Arg(kMaxBlock);
    }
}

[[maybe_unused]] const bool registered = (registerAll(), true);

}  // namespace

BENCHMARK_MAIN();
