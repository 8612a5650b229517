// The stream settings a node applies to its sink, and their loader from the
// settings store: "global" gives the default profile, a group named
// "<target>:<sink>" the profile of that sink, whose missing keys take the
// default profile's values.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "foundation/Clock.h"
#include "foundation/FileInf.h"

struct AlsaProfile {
    TIVRA::Clock InfTargetProfileLimitTime{0};  // non-zero: the automatic profile
    bool InfFlexVar = false;
    bool InfFlexRandom = false;
    TIVRA::Clock InfCycleTime{TIVRA::Clock::MS};
    TIVRA::Clock InfCycleMinTime{0};  // shortest cycle of the random cycle
    int32_t syncWorkerMode = 1;       // QUORVIN::Sync::THRED_MODE flags
    TIVRA::Clock syncInfoCycle{100 * TIVRA::Clock::MS};

    // The six values at notice, one line each, times in microseconds.
    void dump() const;
};

using AlsaProfileMap = std::map<std::string, AlsaProfile>;

// The transfer cycle a profile selects when a stream connects.
enum class AlsaTransferCycle {
    Auto,    // automatic profile, up to InfTargetProfileLimitTime
    Random,  // between InfCycleMinTime and InfCycleTime
    Var,
    Fix,
};
AlsaTransferCycle alsaTransferCycle(const AlsaProfile& profile);

// Reads the profile keys of the store's current group into profiles[name]
// (made with the defaults when absent). A key that is missing or refused
// takes the value of profiles[""], made with the defaults when absent.
// Refusals (negative times, unknown thread-mode bits) are logged as warnings.
void loadAlsaProfile(const TIVRA::FileInf& settings, const std::string& name, AlsaProfileMap& profiles);

// Start-up order: "global" as the default profile "", then every other group
// in the store's (ascending) order under its own name, each announced with
// "Load Setting : ". Leaves the last group current.
void loadAlsaProfiles(TIVRA::FileInf& settings, AlsaProfileMap& profiles);

// "Setting: Target Name : " and the dump of every profile in map order.
void dumpAlsaProfiles(const AlsaProfileMap& profiles);
