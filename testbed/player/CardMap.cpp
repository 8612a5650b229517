#include "testbed/player/CardMap.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bridge/BridgeMemHeader.h"

namespace testbed {

namespace {

// Without the event block the header is looked at this often.
constexpr auto kNap = std::chrono::microseconds(500);
// A futex wait also ends this soon: a change may come on the other counter,
// or from a host that sends no request for it.
constexpr auto kFutexSlice = std::chrono::milliseconds(20);

}  // namespace

bool mapCard(const std::string& path, uint64_t ringBytes, CardMapping& out, std::string& error)
{
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error = path + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    if (ringBytes == 0) {
        if (fileSize <= QUORVIN::BRIDGE_HEADER_SIZE || (fileSize - QUORVIN::BRIDGE_HEADER_SIZE) % 8 != 0) {
            error = path + ": " + std::to_string(fileSize) + " bytes is no card mapping";
            close(fd);
            return false;
        }
        ringBytes = fileSize - QUORVIN::BRIDGE_HEADER_SIZE;
    }
    const uint64_t mapBytes = ringBytes + QUORVIN::BRIDGE_HEADER_SIZE;
    if (fileSize < mapBytes) {
        error = path + ": " + std::to_string(fileSize) + " bytes, the mapping needs " + std::to_string(mapBytes);
        close(fd);
        return false;
    }
    void* map = mmap(nullptr, mapBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        error = path + ": mmap: " + std::strerror(errno);
        return false;
    }
    out.ring = static_cast<uint8_t*>(map);
    out.ringBytes = ringBytes;
    out.mapBytes = mapBytes;
    return true;
}

void unmapCard(CardMapping& mapping)
{
    if (mapping.ring != nullptr) {
        munmap(mapping.ring, mapping.mapBytes);
    }
    mapping = CardMapping{};
}

const DriverEvents* mapEvents(const std::string& path, std::string& error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < sizeof(DriverEvents)) {
        close(fd);
        error = path + ": too short for the event block";
        return nullptr;
    }
    void* map = mmap(nullptr, sizeof(DriverEvents), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        error = path + ": mmap: " + std::strerror(errno);
        return nullptr;
    }
    const auto* block = static_cast<const DriverEvents*>(map);
    if (QUORVIN::loadField(block->magic) != DriverEvents::kMagic) {
        munmap(map, sizeof(DriverEvents));
        error = path + ": not an event block";
        return nullptr;
    }
    return block;
}

void unmapEvents(const DriverEvents* events)
{
    if (events != nullptr) {
        munmap(const_cast<DriverEvents*>(events), sizeof(DriverEvents));
    }
}

int cardOfNode(const std::string& path)
{
    const size_t under = path.rfind('_');
    const size_t slash = path.rfind('/');
    if (under == std::string::npos || (slash != std::string::npos && under < slash) || under + 1 >= path.size()) {
        return -1;
    }
    const char* digits = path.c_str() + under + 1;
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(digits, &end, 10);
    const bool whole = errno == 0 && end != digits && *end == '\0' && digits[0] != '-';
    return whole && n < DriverEvents::kCards ? static_cast<int>(n) : -1;
}

bool waitCardWord(const uint32_t* word, std::chrono::steady_clock::time_point deadline, bool (*done)(void*), void* arg)
{
    using Clock = std::chrono::steady_clock;
    for (;;) {
        // The counter before the test: a bump after it makes the futex
        // return at once instead of being missed.
        const uint32_t seen = word != nullptr ? QUORVIN::loadField(*word) : 0;
        if (done(arg)) {
            return true;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        const auto left = deadline - now;
        if (word != nullptr) {
            const auto slice =
                std::chrono::duration_cast<std::chrono::nanoseconds>(std::min<Clock::duration>(left, kFutexSlice));
            timespec ts{static_cast<time_t>(slice.count() / 1000000000), static_cast<long>(slice.count() % 1000000000)};
            // Not private: the word lives in a file other processes map.
            syscall(SYS_futex, const_cast<uint32_t*>(word), FUTEX_WAIT, seen, &ts, nullptr, 0);
        } else {
            const auto nap =
                std::chrono::duration_cast<std::chrono::nanoseconds>(std::min<Clock::duration>(left, kNap));
            timespec ts{0, static_cast<long>(nap.count())};
            nanosleep(&ts, nullptr);
        }
    }
}

}  // namespace testbed
