// What explains a streaming test's failure, in one line: the silence blocks
// the slot ring handed out when it ran dry (its producer fell behind), the
// worker's largest lateness (it was held off the processor), and the sink's
// side: lowest level, underruns and the longest gap between bursts. The
// first two come from the captured log's warnings, the rest from the
// emulator's report of the stream.
#pragma once

#include <optional>
#include <sstream>
#include <string>

#include "HostStreamLines.h"
#include "LogCapture.h"
#include "foundation/SysLog.h"
#include "testbed/emulator/StreamRecord.h"

namespace teststream {

inline std::string describe(const std::optional<testbed::StreamReport>& report = std::nullopt)
{
    std::ostringstream out;
    out << "[run]";
    if (TIVRA::quorvin_log < TIVRA::SYSLOG_WARNING) {
        out << " log off: silence blocks and lateness not seen;";
    } else {
        HostLines host;
        for (const std::string& line : testlog::startingWith("")) {
            host.take(line);
        }
        out << " " << host.describe() << ";";
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
