// The global keys of the settings file that size the cards and place the
// bridge's threads: readers for the program entry, each logging what it
// took. Values from the file are untrusted: what cannot be used is refused
// with a warning and the default stays.
#pragma once

#include <cstdint>
#include <string>

#include "bridge/BridgeMemHeader.h"
#include "bridge/OccupiedCPU.h"
#include "foundation/FileInf.h"

// The limits handed to every card: periodMax and periodMin count periods of
// a card's ring, periodSizeMax and periodSizeMin bytes of one period.
struct CardLimits {
    uint32_t periodMax = QUORVIN::BRIDGE_PERIOD_MAX;
    uint32_t periodMin = QUORVIN::BRIDGE_PERIOD_MIN;
    uint32_t periodSizeMax = QUORVIN::BRIDGE_PERIOD_SIZE_MAX;
    uint32_t periodSizeMin = QUORVIN::BRIDGE_PERIOD_SIZE_MIN;

    bool operator==(const CardLimits&) const = default;
};

// "periodMin", "periodSizeMax", "periodMax", "periodSizeMin" from the
// current group, each taken only when the low 32 bits of its number are
// positive. A ring (periodMax x periodSizeMax) whose mapping would pass 2^31
// bytes, or that is not a multiple of 8 (the header after it is accessed with
// 8-byte atomics), brings all four back to the defaults with a warning. Then
// the four "Setting: period..." lines.
CardLimits readCardLimits(const TIVRA::FileInf& settings);

// A CPU range: "n" is first n and count 1; "a-b" sets first from a and
// count = b - first + 1 from b, each only when its part counts (exactly "0",
// or a positive leading number); parts that do not count leave the field as
// it was. The result is kept within the cpuCount CPUs of the machine (count
// cut, or the range refused and both fields left as they were) with a
// warning naming `key`; false then. cpuCount <= 0: unknown, only kept to 32
// bits.
bool parseCpuRange(const std::string& text, int32_t& first, int32_t& count, int64_t cpuCount,
                   const char* key = "CPU range");
// The same within this machine's CPUs.
bool parseCpuRange(const std::string& text, int32_t& first, int32_t& count);

// The CPUs this machine has (0 when unknown).
int64_t machineCpuCount();

// "CpuSend" and "CpuOther" from the current group into the four values,
// the sender table sized from them, then the four "Setting: Inf..." lines.
void readCpuSettings(const TIVRA::FileInf& settings, OccupiedCPU& cpu, int64_t cpuCount);
void readCpuSettings(const TIVRA::FileInf& settings, OccupiedCPU& cpu);
