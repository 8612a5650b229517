// What explains a streaming test's failure, in one line: the silence blocks
// the slot ring handed out when it ran dry (its producer fell behind), the
// worker's largest lateness (it was held off the processor), and the sink's
// side: lowest level, underruns and the longest gap between bursts. The
// first two come from the captured log's warnings, the rest from the
// emulator's report of the stream.
#pragma once

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "foundation/SysLog.h"
#include "testbed/emulator/StreamRecord.h"

namespace teststream {

inline constexpr const char* kSilenceLine = "SyncBuffer not enough mute data return ";
inline constexpr const char* kLateLine = "over time ";

inline std::string describe(const std::optional<testbed::StreamReport>& report = std::nullopt)
{
    std::ostringstream out;
    out << "[run]";
    if (TIVRA::quorvin_log < TIVRA::SYSLOG_WARNING) {
        out << " log off: silence blocks and lateness not seen;";
    } else {
        const std::vector<std::string> silence = testlog::startingWith(kSilenceLine);
        uint64_t silenceBytes = 0;
        for (const std::string& line : silence) {
            silenceBytes += std::strtoull(line.c_str() + std::char_traits<char>::length(kSilenceLine), nullptr, 10);
        }
        out << " host ring silence blocks " << silence.size() << " (" << silenceBytes << " bytes);";
        const std::vector<std::string> late = testlog::startingWith(kLateLine);
        long largestUs = 0;
        size_t lateCycles = 0;
        for (const std::string& line : late) {
            char* end = nullptr;
            const char* from = line.c_str() + std::char_traits<char>::length(kLateLine);
            const long us = std::strtol(from, &end, 10);
            if (end != from) {  // "over time change profile ..." carries no lateness
                ++lateCycles;
                largestUs = us > largestUs ? us : largestUs;
            }
        }
        out << " worker late cycles " << lateCycles << ", largest lateness " << largestUs << " us;";
        if (testlog::lost() != 0) {
            out << " log lines lost " << testlog::lost() << ";";
        }
    }
    if (!report) {
        out << " no sink report";
        return out.str();
    }
    const testbed::StreamReport& r = *report;
    out << " sink level min " << r.levelMin << " bytes";
    if (r.bytesPerSecond != 0) {
        out << " (" << r.levelMin * 1000 / static_cast<int64_t>(r.bytesPerSecond) << " ms)";
    }
    out << ", underruns " << r.underruns << ", overflows " << r.overflows << ", longest gap between bursts "
        << r.burstInterval.max.picoseconds / TIVRA::Clock::US << " us over " << r.bursts << " bursts, missing "
        << r.missing << ", end " << testbed::streamEndName(r.end);
    return out.str();
}

}  // namespace teststream
