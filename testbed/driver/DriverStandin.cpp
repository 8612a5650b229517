#include "testbed/driver/DriverStandin.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testbed {

std::string driverCardFile(const std::string& dir, int card)
{
    return dir + "/" + kDriverControlFile + "_" + std::to_string(card);
}

namespace {

bool parseField(const std::string& word, const char* key, std::string& value)
{
    const std::string prefix = std::string(key) + "=";
    if (word.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    value = word.substr(prefix.size());
    return true;
}

template <typename T>
bool parseNumber(const std::string& text, T& out, int base = 10)
{
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    if constexpr (std::is_signed_v<T>) {
        const long long v = std::strtoll(text.c_str(), &end, base);
        out = static_cast<T>(v);
    } else {
        if (text[0] == '-') {
            return false;
        }
        const unsigned long long v = std::strtoull(text.c_str(), &end, base);
        out = static_cast<T>(v);
    }
    return errno == 0 && end && *end == '\0';
}

bool parseOptional(const std::string& text, std::optional<uint32_t>& out, bool hex)
{
    if (text == "-") {
        out.reset();
        return true;
    }
    uint32_t v = 0;
    if (hex) {
        if (text.compare(0, 2, "0x") != 0 || !parseNumber(text.substr(2), v, 16)) {
            return false;
        }
    } else if (!parseNumber(text, v)) {
        return false;
    }
    out = v;
    return true;
}

}  // namespace

std::optional<JournalLine> parseJournalLine(const std::string& text)
{
    std::istringstream in(text);
    std::string words[7];
    for (auto& w : words) {
        if (!(in >> w)) {
            return std::nullopt;
        }
    }
    std::string extra;
    if (in >> extra) {
        return std::nullopt;
    }
    JournalLine line;
    char* end = nullptr;
    line.time = std::strtod(words[0].c_str(), &end);
    if (!end || *end != '\0') {
        return std::nullopt;
    }
    line.request = words[1];
    std::string v;
    if (!parseField(words[2], "card", v)) {
        return std::nullopt;
    }
    if (v == "-") {
        line.card = -1;
    } else if (!parseNumber(v, line.card)) {
        return std::nullopt;
    }
    if (!parseField(words[3], "arg", v) || !parseNumber(v, line.arg)) {
        return std::nullopt;
    }
    if (!parseField(words[4], "result", v) || !parseNumber(v, line.result)) {
        return std::nullopt;
    }
    if (!parseField(words[5], "hostStatus", v) || !parseOptional(v, line.hostStatus, true)) {
        return std::nullopt;
    }
    if (!parseField(words[6], "hostReadPos", v) || !parseOptional(v, line.hostReadPos, false)) {
        return std::nullopt;
    }
    return line;
}

std::string formatJournalLine(const JournalLine& line)
{
    char buf[256];
    char card[16] = "-";
    char status[16] = "-";
    char readPos[16] = "-";
    if (line.card >= 0) {
        std::snprintf(card, sizeof(card), "%d", line.card);
    }
    if (line.hostStatus) {
        std::snprintf(status, sizeof(status), "0x%x", *line.hostStatus);
    }
    if (line.hostReadPos) {
        std::snprintf(readPos, sizeof(readPos), "%u", *line.hostReadPos);
    }
    std::snprintf(buf, sizeof(buf), "%.6f %s card=%s arg=%llu result=%lld hostStatus=%s hostReadPos=%s", line.time,
                  line.request.c_str(), card, static_cast<unsigned long long>(line.arg),
                  static_cast<long long>(line.result), status, readPos);
    return buf;
}

std::vector<JournalLine> readJournal(const std::string& dir)
{
    std::vector<JournalLine> lines;
    std::ifstream in(dir + "/" + kDriverJournalFile);
    std::string text;
    // A line still being written has no line end yet: it is left out.
    while (std::getline(in, text)) {
        if (in.eof()) {
            break;
        }
        auto line = parseJournalLine(text);
        if (!line) {
            break;
        }
        lines.push_back(*line);
    }
    return lines;
}

DriverEventBlock::~DriverEventBlock()
{
    if (block) {
        munmap(const_cast<DriverEvents*>(block), sizeof(DriverEvents));
    }
}

bool DriverEventBlock::open(const std::string& dir, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    const std::string path = dir + "/" + kDriverEventsFile;
    for (;;) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            struct stat st {};
            void* m = MAP_FAILED;
            if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(DriverEvents))) {
                m = mmap(nullptr, sizeof(DriverEvents), PROT_READ, MAP_SHARED, fd, 0);
            }
            ::close(fd);
            if (m != MAP_FAILED) {
                auto* events = static_cast<const DriverEvents*>(m);
                // The launcher writes the magic last.
                if (std::atomic_ref<uint32_t>(const_cast<uint32_t&>(events->magic)).load() == DriverEvents::kMagic) {
                    block = events;
                    return true;
                }
                munmap(m, sizeof(DriverEvents));
            }
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        // Before the file exists there is no futex to wait on.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

namespace {

uint32_t loadCounter(const uint32_t& counter)
{
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(counter)).load(std::memory_order_acquire);
}

int card(int n)
{
    return n < 0 || n >= DriverEvents::kCards ? 0 : n;
}

}  // namespace

bool DriverEventBlock::waitCounter(const uint32_t& counter, uint32_t atLeast, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const uint32_t seen = loadCounter(counter);
        if (seen >= atLeast) {
            return true;
        }
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds(0)) {
            return false;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        struct timespec ts {
            static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)
        };
        // Returns at once when the counter moved past `seen` meanwhile.
        syscall(SYS_futex, &counter, FUTEX_WAIT, seen, &ts, nullptr, 0);
    }
}

uint32_t DriverEventBlock::journal() const { return loadCounter(block->journal); }
uint32_t DriverEventBlock::inits() const { return loadCounter(block->inits); }
uint32_t DriverEventBlock::creates(int n) const { return loadCounter(block->creates[card(n)]); }
uint32_t DriverEventBlock::removes(int n) const { return loadCounter(block->removes[card(n)]); }
uint32_t DriverEventBlock::attaches(int n) const { return loadCounter(block->attaches[card(n)]); }
uint32_t DriverEventBlock::wakeups(int n) const { return loadCounter(block->wakeups[card(n)]); }
uint32_t DriverEventBlock::notifies(int n) const { return loadCounter(block->notifies[card(n)]); }

bool DriverEventBlock::waitJournal(uint32_t atLeast, std::chrono::milliseconds timeout) const
{
    return waitCounter(block->journal, atLeast, timeout);
}
bool DriverEventBlock::waitCreates(int n, uint32_t atLeast, std::chrono::milliseconds timeout) const
{
    return waitCounter(block->creates[card(n)], atLeast, timeout);
}
bool DriverEventBlock::waitRemoves(int n, uint32_t atLeast, std::chrono::milliseconds timeout) const
{
    return waitCounter(block->removes[card(n)], atLeast, timeout);
}
bool DriverEventBlock::waitAttaches(int n, uint32_t atLeast, std::chrono::milliseconds timeout) const
{
    return waitCounter(block->attaches[card(n)], atLeast, timeout);
}
bool DriverEventBlock::waitWakeups(int n, uint32_t atLeast, std::chrono::milliseconds timeout) const
{
    return waitCounter(block->wakeups[card(n)], atLeast, timeout);
}
bool DriverEventBlock::waitNotifies(int n, uint32_t atLeast, std::chrono::milliseconds timeout) const
{
    return waitCounter(block->notifies[card(n)], atLeast, timeout);
}

}  // namespace testbed
