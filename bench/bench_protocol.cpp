// Building one 1428-byte stream packet in place, as the stream worker does
// for every packet: set the header, size the payload, write it, update.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "protocol/Identifiers.h"
#include "protocol/Message.h"

namespace {

void BM_StreamPacketInPlace(benchmark::State& state)
{
    const bool copyPayload = state.range(0) != 0;
    QUORVIN::SendBuffer packet;
    packet.reserve(1428);
    std::vector<uint8_t> audio(1428, 0x5A);
    uint16_t counter = 0;
    for (auto _ : state) {
        packet.set(QUORVIN::STREAM_REQ, 0, counter++, 0, 0, 0);
        packet.resize(1428);
        if (copyPayload) {
            std::memcpy(packet.get_data(), audio.data(), audio.size());
        }
        packet.update();
        packet.statusUpdate(0x0060, QUORVIN::STATUS_CYCLE_END);
        const TIVRA::BufferCS_const wire = packet;
        benchmark::DoNotOptimize(wire.viewData);
        benchmark::ClobberMemory();
    }
    state.counters["capacity"] = static_cast<double>(packet.storageCapacity());
}
BENCHMARK(BM_StreamPacketInPlace)->Arg(0)->ArgName("payload_copy");
BENCHMARK(BM_StreamPacketInPlace)->Arg(1)->ArgName("payload_copy");

}  // namespace

BENCHMARK_MAIN();
