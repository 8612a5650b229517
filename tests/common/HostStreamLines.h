// What the host's own log says of its streams' health: the silence blocks
// the slot ring handed out when it ran dry (its producer fell behind) and
// the worker's late cycles (it was held off the processor). Both come as
// warnings; the in-process tests read them from the log capture, the daemon
// tests from the daemon's console copy.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace teststream {

inline constexpr std::string_view kSilenceLine = "SyncBuffer not enough mute data return ";
inline constexpr std::string_view kLateLine = "over time ";

struct HostLines {
    uint64_t silenceBlocks = 0;
    uint64_t silenceBytes = 0;
    uint64_t lateCycles = 0;
    long worstLateUs = -1;  // -1: none

    // One log line, without its header.
    void take(std::string_view line)
    {
        if (line.substr(0, kSilenceLine.size()) == kSilenceLine) {
            ++silenceBlocks;
            silenceBytes += std::strtoull(std::string(line.substr(kSilenceLine.size())).c_str(), nullptr, 10);
        } else if (line.substr(0, kLateLine.size()) == kLateLine) {
            // "over time change profile ..." carries no lateness.
            const std::string rest(line.substr(kLateLine.size()));
            char* end = nullptr;
            const long us = std::strtol(rest.c_str(), &end, 10);
            if (end != rest.c_str()) {
                ++lateCycles;
                worstLateUs = us > worstLateUs ? us : worstLateUs;
            }
        }
    }

    std::string describe() const
    {
        return "host ring silence blocks " + std::to_string(silenceBlocks) + " (" + std::to_string(silenceBytes)
               + " bytes), worker late cycles " + std::to_string(lateCycles) + ", largest lateness "
               + (worstLateUs < 0 ? std::string("-") : std::to_string(worstLateUs) + " us");
    }
};

}  // namespace teststream
