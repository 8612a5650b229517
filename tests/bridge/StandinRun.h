// Running a test's inside half under the driver stand-in: the test program
// runs itself again under driver-standin with a filter that picks the half;
// the outside half reads the stand-in's journal and files afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "NetNamespaces.h"
#include "testbed/driver/DriverStandin.h"

namespace standin {

inline constexpr const char* kInside = "QUORVIN_CARD_LINK_INSIDE";

inline bool inside()
{
    return std::getenv(kInside) != nullptr;
}

inline std::string self()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

inline std::string standinPath()
{
    const std::string exe = self();
    return exe.substr(0, exe.rfind('/')) + "/../testbed/driver-standin";
}

// A directory of the stand-in's, removed afterwards.
struct StandinDir {
    StandinDir()
    {
        char name[] = "/tmp/quorvin-link-XXXXXX";
        if (mkdtemp(name) != nullptr) {
            path = name;
        }
    }
    ~StandinDir()
    {
        if (!path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    }
    std::string path;
};

// Runs the inside half `test` under the stand-in with `options`; its exit status.
inline int runInside(const StandinDir& dir, const std::string& test, const std::vector<std::string>& options = {})
{
    std::vector<std::string> argv{"env", std::string(kInside) + "=1", standinPath(), "--dir", dir.path};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"--", self(), "--gtest_filter=" + test});
    std::string output;
    const int status = testnet::runProgram(argv, &output);
    if (status != 0) {
        ADD_FAILURE() << output;
    }
    return status;
}

// Runs the inside half `test` under the stand-in with `options`, in a
// directory of its own, and reads the stand-in's journal into `journal`; a
// fatal failure when the half could not run or failed.
inline void runForJournal(const std::string& test, std::vector<testbed::JournalLine>& journal,
                          const std::vector<std::string>& options = {})
{
    StandinDir dir;
    ASSERT_FALSE(dir.path.empty());
    ASSERT_EQ(runInside(dir, test, options), 0);
    journal = testbed::readJournal(dir.path);
}

inline size_t count(const std::vector<testbed::JournalLine>& journal, const std::string& request, int card = -2)
{
    size_t n = 0;
    for (const auto& l : journal) {
        n += l.request == request && (card == -2 || l.card == card) ? 1 : 0;
    }
    return n;
}

}  // namespace standin
