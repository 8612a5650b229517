// Building one sink's chain from a status map on the loop thread: the worst
// shape a target can send (65,256 entries that feed one another, each with a
// lower key than its feeder, so that a walk in key order finds one new
// element at a time), and a wide one (every entry fed by the root).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>

#include "discovery/Find.h"

namespace {

using QUORVIN::Find;
using TIVRA::IPAddress;

IPAddress linkAddress(uint8_t last, uint16_t port)
{
    IPAddress a;
    a.addr[0] = 0xfe;
    a.addr[1] = 0x80;
    a.addr[15] = last;
    a.setPort(port);
    a.ifindex = 3;
    return a;
}

const IPAddress kSink = linkAddress(0x10, 5001);

std::map<IPAddress, Find::TargetStatusInfo> statusMap(size_t entries, bool descending)
{
    std::map<IPAddress, Find::TargetStatusInfo> statuses;
    Find::TargetStatusInfo root;
    root.sinkNumber = 1;
    root.state = 1;
    root.peer.addr[15] = 1;
    root.peer.setPort(1);
    statuses[kSink] = root;
    for (size_t k = 1; k < entries; ++k) {
        Find::TargetStatusInfo e;
        e.sinkNumber = static_cast<uint16_t>(k);
        e.peer = linkAddress(descending && k > 1 ? 0x20 : 0x10, 0);
        e.peer.ifindex = 0;
        e.peer.setPort(descending && k > 1 ? static_cast<uint16_t>(k - 1) : 1);
        statuses[linkAddress(0x20, static_cast<uint16_t>(65535 - k))] = e;
    }
    return statuses;
}

void BM_SortStatus(benchmark::State& state)
{
    const auto statuses = statusMap(static_cast<size_t>(state.range(0)), state.range(1) != 0);
    Find::StatusSort chain;
    for (auto _ : state) {
        Find::SortStatus(kSink, 1, true, statuses, chain);
        benchmark::DoNotOptimize(chain.size());
    }
    state.counters["chain"] = static_cast<double>(chain.size());
    state.SetComplexityN(state.range(0));
}

BENCHMARK(BM_SortStatus)
    ->ArgNames({"entries", "descending"})
    ->Args({4096, 1})
    ->Args({65256, 1})
    ->Args({4096, 0})
    ->Args({65256, 0})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
