#include "bridge/AlsaProfile.h"

#include <cstdlib>

#include "foundation/SysLog.h"
#include "stream/Sync.h"

namespace {

using QUORVIN::Sync;

constexpr uint32_t THRED_MODE_ALL = Sync::CRITICAL | Sync::NOSHORTSLEEP | Sync::NOSLEEP4CORE | Sync::SOCKETNOBLOCK
                                    | Sync::OCCUPIED | Sync::FEEDBACK | Sync::NOFASTFEEDBACK | Sync::IDLEONCE
                                    | Sync::IDLEALWAYS | Sync::NOSLEEPFORCE;

// Leading base-10 number, 0 without one, cut to its low 32 bits.
int32_t number32(const std::string& text)
{
    return static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
}

const char* profileLabel(const std::string& name)
{
    return name.empty() ? "globale" : name.c_str();
}

void refuse(const char* key, const std::string& text, const std::string& name)
{
    TIVRA::SYSLOG_WARNING << "Setting: " << key << " refused : " << text << " (" << profileLabel(name) << ")";
}

// A time key in microseconds; false when refused (negative).
bool readTime(const char* key, const std::string& text, const std::string& name, TIVRA::Clock& out)
{
    const int32_t us = number32(text);
    if (us < 0) {
        refuse(key, text, name);
        return false;
    }
    out = TIVRA::Clock(static_cast<uint64_t>(us) * TIVRA::Clock::US);
    return true;
}

}  // namespace

void AlsaProfile::dump() const
{
    TIVRA::SYSLOG_NOTICE << "Setting: syncWorkerMode            : " << syncWorkerMode;
    TIVRA::SYSLOG_NOTICE << "Setting: syncInfoCycle             : "
                         << static_cast<unsigned long>(syncInfoCycle.picoseconds / TIVRA::Clock::US);
    TIVRA::SYSLOG_NOTICE << "Setting: InfTargetProfileLimitTime : "
                         << static_cast<unsigned long>(InfTargetProfileLimitTime.picoseconds / TIVRA::Clock::US);
    TIVRA::SYSLOG_NOTICE << "Setting: InfFlexCycle              : "
                         << (InfFlexRandom ? "random" : (InfFlexVar ? "Var" : "Fix"));
    TIVRA::SYSLOG_NOTICE << "Setting: InfCycleTime              : "
                         << static_cast<unsigned long>(InfCycleTime.picoseconds / TIVRA::Clock::US);
    TIVRA::SYSLOG_NOTICE << "Setting: InfCycleMinTime           : "
                         << static_cast<unsigned long>(InfCycleMinTime.picoseconds / TIVRA::Clock::US);
}

AlsaTransferCycle alsaTransferCycle(const AlsaProfile& profile)
{
    if (profile.InfTargetProfileLimitTime.picoseconds != 0) {
        return AlsaTransferCycle::Auto;
    }
    if (profile.InfFlexRandom) {
        return AlsaTransferCycle::Random;
    }
    if (profile.InfFlexVar) {
        return AlsaTransferCycle::Var;
    }
    return AlsaTransferCycle::Fix;
}

void loadAlsaProfile(const TIVRA::FileInf& settings, const std::string& name, AlsaProfileMap& profiles)
{
    AlsaProfile& profile = profiles[name];
    // Made only once a key needs it; map entries stay where they are.
    auto fallback = [&profiles]() -> const AlsaProfile& { return profiles[std::string()]; };

    const std::string mode = settings.get("ThredMode");
    bool taken = false;
    if (!mode.empty()) {
        const int32_t value = number32(mode);
        // Bits the worker does not define would be read as flags of a later
        // version; 0 (no flags) is a valid mode.
        if ((static_cast<uint32_t>(value) & ~THRED_MODE_ALL) != 0) {
            refuse("ThredMode", mode, name);
        } else {
            profile.syncWorkerMode = value;
            taken = true;
        }
    }
    if (!taken) {
        profile.syncWorkerMode = fallback().syncWorkerMode;
    }

    const std::string info = settings.get("InfoCycle");
    if (info.empty() || !readTime("InfoCycle", info, name, profile.syncInfoCycle)) {
        profile.syncInfoCycle = fallback().syncInfoCycle;
    }

    const std::string limit = settings.get("TargetProfileLimitTime");
    if (limit.empty() || !readTime("TargetProfileLimitTime", limit, name, profile.InfTargetProfileLimitTime)) {
        profile.InfTargetProfileLimitTime = fallback().InfTargetProfileLimitTime;
    }

    const std::string flex = settings.get("FlexCycle");
    if (!flex.empty()) {
        profile.InfFlexVar = flex == "enable";
        profile.InfFlexRandom = flex == "random";
    } else {
        profile.InfFlexVar = fallback().InfFlexVar;
        profile.InfFlexRandom = fallback().InfFlexRandom;
    }

    // A cycle of 0 means "not given" for these two.
    const std::string cycle = settings.get("CycleTime");
    if (number32(cycle) == 0 || !readTime("CycleTime", cycle, name, profile.InfCycleTime)) {
        profile.InfCycleTime = fallback().InfCycleTime;
    }

    const std::string minCycle = settings.get("CycleMinTime");
    if (number32(minCycle) == 0 || !readTime("CycleMinTime", minCycle, name, profile.InfCycleMinTime)) {
        profile.InfCycleMinTime = fallback().InfCycleMinTime;
    }
}

void loadAlsaProfiles(TIVRA::FileInf& settings, AlsaProfileMap& profiles)
{
    settings.set_current_group("global");
    loadAlsaProfile(settings, std::string(), profiles);
    for (const auto& group : settings.groups) {
        // An empty group name selects "global" again: it is the default
        // profile, already loaded.
        if (group.first == "global" || group.first.empty()) {
            continue;
        }
        TIVRA::SYSLOG_NOTICE << "Load Setting : " << group.first;
        settings.set_current_group(group.first);
        loadAlsaProfile(settings, group.first, profiles);
    }
}

void dumpAlsaProfiles(const AlsaProfileMap& profiles)
{
    for (const auto& [name, profile] : profiles) {
        TIVRA::SYSLOG_NOTICE << "Setting: Target Name : " << profileLabel(name);
        profile.dump();
    }
}
