// Log capture for tests: one capturing sender for the whole test program,
// made current again by every test that captures (other tests may install
// senders of their own; a replaced sender is never freed, so it is installed
// once). Lines are kept without their 31-character header.
//
// Any thread may log, the stream worker at first-in-first-out 99 among them,
// so taking a line costs no lock and no allocation: each line gets the next
// number and is copied into a preallocated ring of slots, which readers copy
// out again and check under the slot's sequence word. The record is the lines
// since the last clear(). When it outgrows the ring the oldest lines are
// overwritten; a line whose slot another writer still fills is dropped. Both
// are counted (lost()), and the first query of such a record fails the test,
// so a lost line can never make a count come out right. A test of more lines
// than the ring holds names the texts it needs beforehand (watch()): they are
// counted as they are taken, without a copy.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/SysLog.h"

namespace testlog {

namespace detail {

constexpr uint64_t kSlots = 8192;  // a power of two
constexpr size_t kWords = TIVRA::SysLog::LineSize / 8;
constexpr size_t kTextMax = kWords * 8;
constexpr size_t kWatched = 8;
constexpr size_t kWatchedText = 256;

struct Slot {
    // 0: never used; 2n + 1: line n being written; 2n + 2: holds line n.
    std::atomic<uint64_t> state{0};
    std::atomic<uint32_t> length{0};
    // The text as words, so that a reader may copy while a writer replaces.
    std::atomic<uint64_t> words[kWords];
};

struct Record {
    std::atomic<uint64_t> next{0};     // the number of the next line
    std::atomic<uint64_t> first{0};    // of the record: set by clear()
    std::atomic<uint64_t> dropped{0};  // lines whose slot was still being written
    std::atomic<uint64_t> droppedAtClear{0};
    std::atomic<bool> lossReported{false};
    // Texts counted as they come, set by watch() while nothing logs.
    std::atomic<size_t> watching{0};
    size_t watchedLength[kWatched] = {};
    char watchedText[kWatched][kWatchedText] = {};
    std::atomic<uint64_t> watchedSeen[kWatched] = {};
    Slot slots[kSlots];
};

// Constant-initialised: in zeroed memory from the start, never allocated.
inline Record& record()
{
    static Record r;
    return r;
}

// Calls f(std::string_view) for every line of the record still held, oldest
// first. Lines still being written are left out: they are not logged yet.
template <typename F>
void forEachLine(F f)
{
    Record& r = record();
    const uint64_t end = r.next.load(std::memory_order_acquire);
    const uint64_t first = std::max(r.first.load(std::memory_order_acquire), end > kSlots ? end - kSlots : 0);
    std::string text;
    text.reserve(kTextMax);
    for (uint64_t n = first; n < end; ++n) {
        Slot& s = r.slots[n & (kSlots - 1)];
        const uint64_t held = s.state.load(std::memory_order_acquire);
        if (held != 2 * n + 2) {
            continue;
        }
        const size_t length = std::min<size_t>(s.length.load(std::memory_order_relaxed), kTextMax);
        text.resize((length + 7) / 8 * 8);
        for (size_t w = 0; w * 8 < length; ++w) {
            const uint64_t word = s.words[w].load(std::memory_order_relaxed);
            std::memcpy(&text[w * 8], &word, 8);
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        if (s.state.load(std::memory_order_relaxed) != held) {
            continue;  // replaced while copied: counted as lost below
        }
        f(std::string_view(text.data(), length));
    }
}

}  // namespace detail

// Lines of the record that were taken but are no longer held.
inline uint64_t lost()
{
    detail::Record& r = detail::record();
    const uint64_t end = r.next.load(std::memory_order_acquire);
    const uint64_t first = r.first.load(std::memory_order_acquire);
    const uint64_t overwritten = end - first > detail::kSlots ? end - first - detail::kSlots : 0;
    return overwritten + r.dropped.load(std::memory_order_relaxed) - r.droppedAtClear.load(std::memory_order_relaxed);
}

namespace detail {

// Every query of a record that lost lines fails the test, once per record.
inline void checkComplete()
{
    const uint64_t n = lost();
    if (n != 0 && !record().lossReported.exchange(true)) {
        ADD_FAILURE() << "the log capture lost " << n << " lines of this record (" << kSlots
                      << " are held): its counts cannot be trusted";
    }
}

}  // namespace detail

// The logger's callback: the line starts at its "<" and is NUL-terminated.
inline void captureLine(const char* line)
{
    detail::Record& r = detail::record();
    const size_t full = std::strlen(line);
    const char* text = full > TIVRA::SysLog::HeaderLength ? line + TIVRA::SysLog::HeaderLength : line + full;
    const size_t length = std::min(std::strlen(text), detail::kTextMax);
    const size_t watching = r.watching.load(std::memory_order_acquire);
    for (size_t i = 0; i < watching; ++i) {
        if (r.watchedLength[i] == length && std::memcmp(r.watchedText[i], text, length) == 0) {
            r.watchedSeen[i].fetch_add(1, std::memory_order_relaxed);
        }
    }
    const uint64_t n = r.next.fetch_add(1, std::memory_order_relaxed);
    detail::Slot& s = r.slots[n & (detail::kSlots - 1)];
    uint64_t held = s.state.load(std::memory_order_relaxed);
    do {
        // Another writer is still in the slot, or a newer line already took it.
        if ((held & 1) != 0 || held > 2 * n) {
            r.dropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    } while (!s.state.compare_exchange_weak(held, 2 * n + 1, std::memory_order_relaxed));
    std::atomic_thread_fence(std::memory_order_release);
    s.length.store(static_cast<uint32_t>(length), std::memory_order_relaxed);
    for (size_t w = 0; w * 8 < length; ++w) {
        uint64_t word = 0;
        std::memcpy(&word, text + w * 8, std::min<size_t>(8, length - w * 8));
        s.words[w].store(word, std::memory_order_relaxed);
    }
    s.state.store(2 * n + 2, std::memory_order_release);
}

// Starts an empty record. Lines logged while it runs belong to the old
// record or to the new one.
inline void clear()
{
    detail::Record& r = detail::record();
    r.droppedAtClear.store(r.dropped.load(std::memory_order_relaxed), std::memory_order_relaxed);
    r.first.store(r.next.load(std::memory_order_acquire), std::memory_order_release);
    r.lossReported.store(false);
    r.watching.store(0, std::memory_order_release);
}

// From now on each of these texts (at most 8, each shorter than 256
// characters) is counted as a line equal to it is taken, whether or not the
// record can hold it. Call it while nothing logs; clear() ends it.
inline void watch(const std::vector<std::string>& texts)
{
    detail::Record& r = detail::record();
    r.watching.store(0, std::memory_order_release);
    if (texts.size() > detail::kWatched) {
        ADD_FAILURE() << "the log capture watches at most " << detail::kWatched << " texts";
        return;
    }
    for (size_t i = 0; i < texts.size(); ++i) {
        if (texts[i].size() >= detail::kWatchedText) {
            ADD_FAILURE() << "a watched text is too long: " << texts[i];
            return;
        }
        std::memcpy(r.watchedText[i], texts[i].data(), texts[i].size());
        r.watchedLength[i] = texts[i].size();
        r.watchedSeen[i].store(0, std::memory_order_relaxed);
    }
    r.watching.store(texts.size(), std::memory_order_release);
}

// Lines equal to a watched text since watch(); a text not watched fails the test.
inline uint64_t watched(const std::string& text)
{
    detail::Record& r = detail::record();
    const size_t watching = r.watching.load(std::memory_order_acquire);
    for (size_t i = 0; i < watching; ++i) {
        if (r.watchedLength[i] == text.size() && std::memcmp(r.watchedText[i], text.data(), text.size()) == 0) {
            return r.watchedSeen[i].load(std::memory_order_relaxed);
        }
    }
    ADD_FAILURE() << "the log capture does not watch: " << text;
    return 0;
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

// The record, oldest line first.
inline std::vector<std::string> lines()
{
    std::vector<std::string> out;
    detail::forEachLine([&](std::string_view l) { out.emplace_back(l); });
    detail::checkComplete();
    return out;
}

inline size_t count(const std::string& text)
{
    size_t n = 0;
    detail::forEachLine([&](std::string_view l) { n += l == text ? 1 : 0; });
    detail::checkComplete();
    return n;
}

inline std::vector<std::string> startingWith(const std::string& prefix)
{
    std::vector<std::string> out;
    detail::forEachLine([&](std::string_view l) {
        if (l.substr(0, prefix.size()) == prefix) {
            out.emplace_back(l);
        }
    });
    detail::checkComplete();
    return out;
}

// Position of the first line equal to text in the record, or -1.
inline long indexOf(const std::string& text)
{
    long at = -1;
    long i = 0;
    detail::forEachLine([&](std::string_view l) {
        if (at < 0 && l == text) {
            at = i;
        }
        ++i;
    });
    detail::checkComplete();
    return at;
}

}  // namespace testlog
