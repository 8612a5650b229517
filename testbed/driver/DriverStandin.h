// What a test needs beside the driver-standin program: the names of the
// files in its directory, the journal read back into lines, and waits on the
// event block with deadlines.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "testbed/driver/DriverEvents.h"

namespace testbed {

// Files in the stand-in's directory.
inline constexpr const char* kDriverControlFile = "quorvin-alsa";
inline constexpr const char* kDriverJournalFile = "journal";
inline constexpr const char* kDriverEventsFile = "events";
// Present while a CREATE is held (--hold-create); removing it lets it go on.
inline constexpr const char* kDriverHoldFile = "create-held";
// The same for the first NOTIFY (--hold-notify).
inline constexpr const char* kDriverNotifyHoldFile = "notify-held";

std::string driverCardFile(const std::string& dir, int card);

// One journal line:
// "<seconds> <REQUEST> card=<n|-> arg=<n> result=<n> hostStatus=<0xN|-> hostReadPos=<n|->"
struct JournalLine {
    double time = 0;
    std::string request;  // INIT CREATE REMOVE ATTACH WAKEUP NOTIFY UNKNOWN
    int card = -1;        // -1 when the request names none
    uint64_t arg = 0;
    int64_t result = 0;   // as the caller's ioctl returns it
    std::optional<uint32_t> hostStatus;
    std::optional<uint32_t> hostReadPos;
};

std::optional<JournalLine> parseJournalLine(const std::string& text);
std::string formatJournalLine(const JournalLine& line);
// The journal's complete lines; an unparsable line ends the list.
std::vector<JournalLine> readJournal(const std::string& dir);

// The launcher's event block, mapped read-only. Counters are loaded fresh;
// waits sleep on the counter's futex, so they wake with the launcher's bump.
class DriverEventBlock {
public:
    DriverEventBlock() = default;
    ~DriverEventBlock();
    DriverEventBlock(const DriverEventBlock&) = delete;
    DriverEventBlock& operator=(const DriverEventBlock&) = delete;

    // Waits for the launcher to have made the block (it does so before it
    // starts the command).
    bool open(const std::string& dir, std::chrono::milliseconds timeout);
    bool isOpen() const { return block != nullptr; }

    uint32_t journal() const;
    uint32_t inits() const;
    uint32_t creates(int card) const;
    uint32_t removes(int card) const;
    uint32_t attaches(int card) const;
    uint32_t wakeups(int card) const;
    uint32_t notifies(int card) const;

    // Until the counter is at least `atLeast`; false when the deadline passed.
    bool waitJournal(uint32_t atLeast, std::chrono::milliseconds timeout) const;
    bool waitCreates(int card, uint32_t atLeast, std::chrono::milliseconds timeout) const;
    bool waitRemoves(int card, uint32_t atLeast, std::chrono::milliseconds timeout) const;
    bool waitAttaches(int card, uint32_t atLeast, std::chrono::milliseconds timeout) const;
    bool waitWakeups(int card, uint32_t atLeast, std::chrono::milliseconds timeout) const;
    bool waitNotifies(int card, uint32_t atLeast, std::chrono::milliseconds timeout) const;

    static bool waitCounter(const uint32_t& counter, uint32_t atLeast, std::chrono::milliseconds timeout);

private:
    const DriverEvents* block = nullptr;
};

}  // namespace testbed
