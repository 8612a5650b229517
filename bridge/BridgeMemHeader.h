// A card's shared memory: the ring of audio bytes the driver writes, then
// this 232-byte header, in the machine's byte order. Shared with the kernel
// without locks: every field is read and written with a fresh access
// (loadField/storeField), never cached, and the driver's fields are
// untrusted input.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace QUORVIN {

struct BridgeMemHeader {
    uint64_t reserved0;
    uint64_t rateMask;     // host: BridgeRate bits offered
    uint64_t formatMask;   // host: BridgeFormat codes offered
    uint64_t channelMask;  // host: bit n-1 = n channels offered
    char name1[64];        // host: target name, NUL-terminated
    char name2[64];        // host: sink name, NUL-terminated
    uint64_t chosenFormat;    // driver
    uint64_t chosenRate;      // driver
    uint64_t chosenChannels;  // driver
    uint32_t hostStatus;      // host: BridgeStatus
    uint32_t driverRequest;   // driver: BridgeRequest bits
    uint32_t periodSizeMin;   // host
    uint32_t periodSizeMax;   // host
    uint32_t periodMin;       // host
    uint32_t periodMax;       // host
    uint32_t hostReadPos;     // host: next ring byte the host reads
    uint32_t ringBytes;       // driver
    uint32_t periodCount;     // driver
    uint32_t reserved1;
    int32_t volume;  // both: 0 none, 1..10001 = -60 dB..0 dB
    uint32_t reserved2;
};

static_assert(sizeof(BridgeMemHeader) == 232);
static_assert(offsetof(BridgeMemHeader, rateMask) == 8);
static_assert(offsetof(BridgeMemHeader, formatMask) == 16);
static_assert(offsetof(BridgeMemHeader, channelMask) == 24);
static_assert(offsetof(BridgeMemHeader, name1) == 32);
static_assert(offsetof(BridgeMemHeader, name2) == 96);
static_assert(offsetof(BridgeMemHeader, chosenFormat) == 160);
static_assert(offsetof(BridgeMemHeader, chosenRate) == 168);
static_assert(offsetof(BridgeMemHeader, chosenChannels) == 176);
static_assert(offsetof(BridgeMemHeader, hostStatus) == 184);
static_assert(offsetof(BridgeMemHeader, driverRequest) == 188);
static_assert(offsetof(BridgeMemHeader, periodSizeMin) == 192);
static_assert(offsetof(BridgeMemHeader, periodSizeMax) == 196);
static_assert(offsetof(BridgeMemHeader, periodMin) == 200);
static_assert(offsetof(BridgeMemHeader, periodMax) == 204);
static_assert(offsetof(BridgeMemHeader, hostReadPos) == 208);
static_assert(offsetof(BridgeMemHeader, ringBytes) == 212);
static_assert(offsetof(BridgeMemHeader, periodCount) == 216);
static_assert(offsetof(BridgeMemHeader, volume) == 224);

constexpr size_t BRIDGE_HEADER_SIZE = sizeof(BridgeMemHeader);

// The header sits right after the ring, so the ring's size must keep it
// 8-byte aligned for these accesses.
constexpr size_t BRIDGE_HEADER_ALIGN = alignof(BridgeMemHeader);
static_assert(BRIDGE_HEADER_ALIGN == 8);

template <typename T>
T loadField(const T& field)
{
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}

template <typename T>
void storeField(T& field, T value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

template <typename T>
bool exchangeField(T& field, T& expected, T desired)
{
    return std::atomic_ref<T>(field).compare_exchange_strong(expected, desired, std::memory_order_acq_rel);
}

// hostStatus
enum BridgeStatus : uint32_t {
    QUORVIN_BR_STATUS_CLOSED = 0,
    QUORVIN_BR_STATUS_OPEN = 0x3,
    QUORVIN_BR_STATUS_CONNECTED = 0x4,
    QUORVIN_BR_STATUS_PLAYING = 0x8,
    QUORVIN_BR_STATUS_ERROR = 0x80000000,  // always with CONNECTED
};

// driverRequest
enum BridgeRequest : uint32_t {
    QUORVIN_BR_REQUEST_INUSE = 0x2,
    QUORVIN_BR_REQUEST_STREAM = 0x4,
    QUORVIN_BR_REQUEST_RUN = 0x8,
};

// formatMask bits; chosenFormat holds exactly one.
enum BridgeFormat : uint64_t {
    QUORVIN_BR_FORMAT_PCM8 = 0x1,
    QUORVIN_BR_FORMAT_PCM16 = 0x2,
    QUORVIN_BR_FORMAT_PCM24 = 0x8,
    QUORVIN_BR_FORMAT_PCM32 = 0x80,
    QUORVIN_BR_FORMAT_PCM64 = 0x200,
    QUORVIN_BR_FORMAT_FLOAT32 = 0x800,
    QUORVIN_BR_FORMAT_FLOAT64 = 0x1000,
    QUORVIN_BR_FORMAT_DSD1_LSB_LITTLE = 0x1000000,
    QUORVIN_BR_FORMAT_DSD1_LSB_BIG = 0x2000000,
    QUORVIN_BR_FORMAT_DSD1_MSB_LITTLE = 0x4000000,
    QUORVIN_BR_FORMAT_DSD1_MSB_BIG = 0x8000000,
};

// rateMask / chosenRate: bit 0 = 8000 Hz, bit 2k+1 = 44100 x 2^k, bit 2k+2 =
// 48000 x 2^k, k = 0..12. DSD is announced at its bit rate / 32.
enum BridgeRate : uint64_t {
    QUORVIN_BR_RATE_8000 = 0x1,
};
constexpr int BRIDGE_RATE_STEPS = 13;

constexpr uint64_t bridgeRateBit44100(int k)
{
    return uint64_t{1} << (2 * k + 1);
}
constexpr uint64_t bridgeRateBit48000(int k)
{
    return uint64_t{1} << (2 * k + 2);
}

// The default limits: a 1,228,800-byte ring, header at that offset.
constexpr uint32_t BRIDGE_PERIOD_MAX = 32;
constexpr uint32_t BRIDGE_PERIOD_MIN = 4;
constexpr uint32_t BRIDGE_PERIOD_SIZE_MAX = 38400;
constexpr uint32_t BRIDGE_PERIOD_SIZE_MIN = 6;

// Ring and mapping sizes, in 64 bits.
constexpr uint64_t bridgeRingBytes(uint32_t periodMax, uint32_t periodSizeMax)
{
    return uint64_t{periodMax} * periodSizeMax;
}
constexpr uint64_t bridgeMappingBytes(uint32_t periodMax, uint32_t periodSizeMax)
{
    return bridgeRingBytes(periodMax, periodSizeMax) + BRIDGE_HEADER_SIZE;
}
static_assert(bridgeMappingBytes(BRIDGE_PERIOD_MAX, BRIDGE_PERIOD_SIZE_MAX) == 1229032);

}  // namespace QUORVIN
