// Log capture for tests: one capturing sender for the whole test program,
// made current again by every test that captures (other tests may install
// senders of their own; a replaced sender is never freed, so it is installed
// once). Lines are kept without their 31-character header.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/SysLog.h"

namespace testlog {

inline std::mutex& mutex()
{
    static std::mutex m;
    return m;
}

inline std::vector<std::string>& lines()
{
    static std::vector<std::string> l;
    return l;
}

inline void captureLine(const char* line)
{
    const std::string text(line);
    std::lock_guard<std::mutex> lock(mutex());
    lines().emplace_back(text.size() > TIVRA::SysLog::HeaderLength ? text.substr(TIVRA::SysLog::HeaderLength)
                                                                   : std::string());
}

inline void clear()
{
    std::lock_guard<std::mutex> lock(mutex());
    lines().clear();
}

// Makes the capturing sender current (installing it the first time).
inline void capture()
{
    static void* mine = nullptr;
    if (mine == nullptr) {
        TIVRA::SysLog::initialize(16, captureLine);
        mine = TIVRA::SysLog::getOwn();
    } else if (TIVRA::SysLog::getOwn() != mine) {
        TIVRA::SysLog::reinitialize(mine);
    }
}

// capture(), an empty record and the given threshold.
inline void start(int level)
{
    capture();
    clear();
    TIVRA::quorvin_log = level;
}

inline size_t count(const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex());
    return static_cast<size_t>(std::count(lines().begin(), lines().end(), text));
}

inline std::vector<std::string> startingWith(const std::string& prefix)
{
    std::lock_guard<std::mutex> lock(mutex());
    std::vector<std::string> out;
    for (const std::string& l : lines()) {
        if (l.rfind(prefix, 0) == 0) {
            out.push_back(l);
        }
    }
    return out;
}

}  // namespace testlog
