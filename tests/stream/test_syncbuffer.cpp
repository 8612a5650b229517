// The audio slot ring: its set-up, the consumer's slots and mute blocks, the
// drain on stop and disconnect, seeking, the wake-on-write mode, the buffer
// worker with a producer/consumer stress run, and the ring under the real
// stream worker against a small fake sink on ::1.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "StreamDiagnostics.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include "foundation/Clock.h"
#include "foundation/Socket.h"
#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"
#include "protocol/Message.h"
#include "stream/SyncBuffer.h"
#include "testbed/StandinPriority.h"

using namespace std::chrono_literals;
using QUORVIN::FormatConfigure;
using TIVRA::BufferCS_const;
using TIVRA::Clock;

namespace {

// ---- log capture

void captureLog()
{
    testlog::capture();
}

void clearLog()
{
    testlog::clear();
}

size_t logCount(const std::string& text)
{
    return testlog::count(text);
}

std::vector<std::string> logStartingWith(const std::string& prefix)
{
    return testlog::startingWith(prefix);
}

// Index of the first line equal to text, or -1.
long logIndex(const std::string& text)
{
    return testlog::indexOf(text);
}

template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit = 5000ms)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return pred();
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// How often the thread has given up the processor of its own accord (to
// sleep in a wait, mostly), from the kernel's count; -1 when unknown.
long voluntarySwitches(pid_t tid)
{
    std::FILE* f = std::fopen(("/proc/self/task/" + std::to_string(tid) + "/status").c_str(), "r");
    if (f == nullptr) {
        return -1;
    }
    long n = -1;
    char line[256];
    while (std::fgets(line, sizeof(line), f) != nullptr) {
        if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1) {
            break;
        }
    }
    std::fclose(f);
    return n;
}

// Whether the thread sleeps, as threadSleeping below tells, without an
// allocation: for a caller in a real-time class.
bool threadSleepingNoAlloc(pid_t tid)
{
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/self/task/%d/stat", static_cast<int>(tid));
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0) {
        return false;
    }
    char line[512] = {};
    const ssize_t n = ::read(fd, line, sizeof(line) - 1);
    ::close(fd);
    const char* paren = n > 0 ? std::strrchr(line, ')') : nullptr;
    return paren != nullptr && paren[1] == ' ' && paren[2] == 'S';
}

// A thread of this process in that scheduling policy, or 0.
pid_t threadWithPolicy(int policy)
{
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) {
        return 0;
    }
    pid_t found = 0;
    while (const dirent* e = ::readdir(tasks)) {
        const pid_t tid = static_cast<pid_t>(std::atoi(e->d_name));
        if (tid > 0 && ::sched_getscheduler(tid) == policy) {
            found = tid;
            break;
        }
    }
    ::closedir(tasks);
    return found;
}

FormatConfigure makeFormat(QUORVIN::FormatID id, unsigned long rate, unsigned channels)
{
    FormatConfigure f;
    f.setFormat(id);
    f.setSpeed(rate);
    f.setChannel(channels);
    return f;
}

bool allBytes(BufferCS_const v, uint8_t value)
{
    for (size_t i = 0; i < v.viewSize; ++i) {
        if (v.viewData[i] != value) {
            return false;
        }
    }
    return true;
}

// ---- the ring with its protected state opened

struct TestRing : QUORVIN::SyncBuffer {
    using Sync::auxCpu;
    using Sync::auxCpuCount;
    using Sync::debugThread;
    using Sync::hostConfig;
    using Sync::latency;
    using Sync::sincSupportPCM;
    using Sync::sinkAddress;
    using Sync::sinkConfig;
    using Sync::syncSocket;
    using Sync::syncState;
    using Sync::syncThread;
    using SyncBuffer::bufferBytes;
    using SyncBuffer::buffers;
    using SyncBuffer::bufferThread;
    using SyncBuffer::cycleDone;
    using SyncBuffer::disconnectOnDrain;
    using SyncBuffer::disconnectReq;
    using SyncBuffer::dmutedata;
    using SyncBuffer::readPos;
    using SyncBuffer::stopAck;
    using SyncBuffer::stopReq;
    using SyncBuffer::tmp;
    using SyncBuffer::writePos;

    // Ends whatever a test left running, also after a failed assertion:
    // the buffer worker waits while the stream is active.
    ~TestRing() { endAll(); }
    void endAll()
    {
        syncState.store(QUORVIN::SYNC_IDLE);
        close();
    }

    // Test-side consumer call: the view, or an empty one on false.
    BufferCS_const take()
    {
        BufferCS_const v;
        if (!getNewStream(v)) {
            return {};
        }
        return v;
    }
};

// A fill hook that numbers the slots: byte 0 a marker, bytes 1-8 the slot's
// counter (from 1), then bytes that depend on counter and position, never 0,
// so a slot is told from silence and checked for damage.
constexpr uint8_t SLOT_MARK = 0xA5;

void fillPattern(TIVRA::Buffer& slot, uint64_t counter, size_t bytes)
{
    slot.resize(bytes);
    slot[0] = SLOT_MARK;
    std::memcpy(slot.data() + 1, &counter, 8);
    for (size_t i = 9; i < bytes; ++i) {
        slot[i] = static_cast<uint8_t>((counter + i) % 255 + 1);
    }
}

// 0 when v is not one intact numbered slot of the given size.
uint64_t patternCounter(const uint8_t* p, size_t size, size_t bytes)
{
    if (size != bytes || bytes < 9 || p[0] != SLOT_MARK) {
        return 0;
    }
    uint64_t counter = 0;
    std::memcpy(&counter, p + 1, 8);
    for (size_t i = 9; i < bytes; ++i) {
        if (p[i] != static_cast<uint8_t>((counter + i) % 255 + 1)) {
            return 0;
        }
    }
    return counter;
}

struct PatternRing : TestRing {
    // The threads call the hooks below; they must be gone before this part
    // of the object is.
    ~PatternRing() { endAll(); }

    void notifyStreamDone(TIVRA::Buffer& slot, bool firstAfterCycle) override
    {
        const uint64_t counter = filled.load() + 1;
        fillPattern(slot, counter, bufferBytes);
        if (firstAfterCycle) {
            firstAfterCycleCount.fetch_add(1);
        }
        // The buffer worker runs in a real-time class: the record takes no
        // lock and no allocation.
        fillMarks[counter % kFillMarks].store(firstAfterCycle);
        if (cycleDuringFill.load()) {
            cycleDuringFill.store(false);
            getNewStreamCmp();  // a cycle report that arrives while a slot is being filled
        }
        fillerThread.store(TIVRA::ThreadPriority::getSelfThreadID());
        filled.fetch_add(1);
    }

    // The slots filled since the last call, with their firstAfterCycle flag.
    std::vector<std::pair<uint64_t, bool>> takeFills()
    {
        const uint64_t upTo = filled.load();
        EXPECT_LE(upTo - fillsTaken, kFillMarks) << "fills no longer held";
        std::vector<std::pair<uint64_t, bool>> out;
        for (uint64_t c = fillsTaken + 1; c <= upTo; ++c) {
            out.emplace_back(c, fillMarks[c % kFillMarks].load());
        }
        fillsTaken = upTo;
        return out;
    }

    bool getNewStream(BufferCS_const& v) override
    {
        if (parkNext.load()) {
            // Holds the stream worker where it touches no socket.
            parkNext.store(false);
            parked.store(true);
            while (!unpark.load()) {
                std::this_thread::sleep_for(1ms);
            }
        }
        const bool ok = SyncBuffer::getNewStream(v);
        if (ok) {
            const uint64_t c = patternCounter(v.viewData, v.viewSize, bufferBytes);
            if (c != 0) {
                lastTaken.store(c);
            }
        }
        return ok;
    }

    std::atomic<uint64_t> filled{0};
    std::atomic<uint64_t> firstAfterCycleCount{0};
    std::atomic<uint64_t> fillerThread{0};
    std::atomic<uint64_t> lastTaken{0};
    std::atomic<bool> cycleDuringFill{false};
    static constexpr uint64_t kFillMarks = 256;
    std::atomic<bool> fillMarks[kFillMarks] = {};  // firstAfterCycle by counter
    uint64_t fillsTaken = 0;                       // the test's thread only
    std::atomic<bool> parkNext{false};
    std::atomic<bool> parked{false};
    std::atomic<bool> unpark{false};
};

class SyncBufferRing : public ::testing::Test {
protected:
    void SetUp() override
    {
        captureLog();
        clearLog();
        TIVRA::quorvin_log = 7;
        ring.hostConfig = makeFormat(QUORVIN::PCM16, 48000, 2);
    }
    void TearDown() override
    {
        ring.endAll();
        TIVRA::quorvin_log = -1;
    }

    TestRing ring;
};

}  // namespace

TEST_F(SyncBufferRing, SetupBuildsFullRingOfSilence)
{
    struct Case {
        const char* name;
        FormatConfigure argument;
        uint64_t frames;
        uint64_t bytes;
        uint8_t mute;
    };
    const std::vector<Case> cases = {
        {"PCM from hostConfig", 0, 480, 480 * 2 * 2, 0x00},
        {"lsb-first DSD given", makeFormat(QUORVIN::DSD1_LSB_LITTLE, 2822400, 2), 100, 100 * 4 * 2, 0x69},
        {"msb-first DSD given", makeFormat(QUORVIN::DSD1_MSB_BIG, 2822400, 2), 100, 100 * 4 * 2, 0x96},
        {"32-bit PCM 6 channels given", makeFormat(QUORVIN::PCM32, 96000, 6), 7, 7 * 4 * 6, 0x00},
    };
    for (const Case& c : cases) {
        ring.setupBuffer(c.frames, 8, false, c.argument);
        ASSERT_EQ(ring.buffers.size(), 9U) << c.name;
        EXPECT_EQ(ring.bufferBytes, c.bytes) << c.name;
        EXPECT_EQ(ring.getLastBufferCount(), 8U) << c.name;
        EXPECT_FALSE(ring.checkStreamStart()) << c.name;
        EXPECT_FALSE(ring.buffer_empty()) << c.name;
        EXPECT_EQ(ring.writePos.load(), 0U) << c.name;
        EXPECT_EQ(ring.readPos.load(), 1U) << c.name;
        for (const TIVRA::Buffer& slot : ring.buffers) {
            ASSERT_EQ(slot.size(), c.bytes) << c.name;
            EXPECT_TRUE(allBytes(slot, c.mute)) << c.name;
        }
        // The queued slots come out in ring order, as views into the slots.
        for (size_t i = 1; i <= 8; ++i) {
            const BufferCS_const v = ring.take();
            EXPECT_EQ(v.viewData, ring.buffers[i].data()) << c.name << " " << i;
            EXPECT_EQ(v.viewSize, c.bytes) << c.name << " " << i;
        }
        EXPECT_TRUE(ring.buffer_empty()) << c.name;
        EXPECT_EQ(ring.getLastBufferCount(), 0U) << c.name;
        EXPECT_TRUE(ring.checkStreamStart()) << c.name;
    }
    EXPECT_TRUE(logStartingWith("SyncBuffer not enough").empty());

    // A new set-up with fewer slots starts full again.
    ring.setupBuffer(10, 3, false, 0);
    EXPECT_EQ(ring.buffers.size(), 4U);
    EXPECT_EQ(ring.getLastBufferCount(), 3U);
}

TEST_F(SyncBufferRing, CountZeroCountsAsOne)
{
    ring.setupBuffer(4, 0, false, 0);
    ASSERT_EQ(ring.buffers.size(), 2U);
    EXPECT_EQ(ring.getLastBufferCount(), 1U);
    EXPECT_FALSE(ring.checkStreamStart());
    BufferCS_const v = ring.take();
    EXPECT_EQ(v.viewData, ring.buffers[1].data());
    EXPECT_EQ(v.viewSize, 16U);
    v = ring.take();  // dry: 10 ms of silence
    EXPECT_EQ(v.viewSize, 1920U);
    ring.seek(-5);
    EXPECT_EQ(ring.getLastBufferCount(), 1U);
}

TEST_F(SyncBufferRing, RingNeverSetUpGivesSilence)
{
    EXPECT_TRUE(ring.buffer_empty());
    EXPECT_EQ(ring.getLastBufferCount(), 0U);
    EXPECT_FALSE(ring.checkStreamStart());
    const BufferCS_const v = ring.take();
    EXPECT_EQ(v.viewSize, 1920U);
    ring.seek(3);
    ring.seek(-3);
    ring.seek_front();
    const uint8_t bytes[3] = {1, 2, 3};
    ring.setStream({bytes, 3});  // no slot to fill: gives up after one wait slice
    ring.writeStreamDone(true);
    EXPECT_TRUE(ring.buffer_empty());
    EXPECT_TRUE(ring.buffers.empty());
}

TEST_F(SyncBufferRing, DryRingGivesTenMillisecondsOfSilence)
{
    struct Case {
        const char* name;
        FormatConfigure host;
        size_t bytes;
        uint8_t mute;
    };
    const std::vector<Case> cases = {
        {"48 kHz 32-bit stereo", makeFormat(QUORVIN::PCM32, 48000, 2), 3840, 0x00},
        {"44.1 kHz 16-bit stereo", makeFormat(QUORVIN::PCM16, 44100, 2), 1764, 0x00},
        {"DSD64 lsb-first stereo", makeFormat(QUORVIN::DSD1_LSB_LITTLE, 2822400, 2), 7056, 0x69},
    };
    for (const Case& c : cases) {
        ring.hostConfig = c.host;
        ring.setupBuffer(2, 8, false, 0);
        for (int i = 0; i < 8; ++i) {
            ring.take();
        }
        clearLog();
        BufferCS_const data;
        ASSERT_TRUE(ring.getNewStream(data)) << c.name;
        EXPECT_EQ(data.viewSize, c.bytes) << c.name;
        EXPECT_TRUE(allBytes(data, c.mute)) << c.name;
        const std::string warning = "SyncBuffer not enough mute data return " + std::to_string(c.bytes);
        EXPECT_EQ(logCount(warning), 1U) << c.name;
        EXPECT_EQ(testlog::lines().size(), 1U) << c.name;
        // Every dry call warns once and reuses the same block.
        BufferCS_const again;
        ASSERT_TRUE(ring.getNewStream(again)) << c.name;
        EXPECT_EQ(again.viewData, data.viewData) << c.name;
        EXPECT_EQ(logCount(warning), 2U) << c.name;
    }
}

TEST_F(SyncBufferRing, MuteBlocksBelongToEachRing)
{
    // Two rings run dry at once, one of them also stopping; each keeps its
    // view while the other resizes its own block.
    TestRing other;
    other.hostConfig = makeFormat(QUORVIN::DSD1_LSB_LITTLE, 2822400, 2);
    ring.hostConfig = makeFormat(QUORVIN::PCM32, 48000, 2);
    ring.setupBuffer(8, 1, false, 0);
    other.setupBuffer(3, 1, false, 0);
    ring.take();
    other.take();
    TIVRA::quorvin_log = -1;  // no threads run yet; thousands of warnings otherwise

    std::atomic<bool> go{false};
    auto consume = [&go](TestRing& r, size_t dryBytes, uint8_t mute, std::atomic<int>& faults) {
        while (!go.load()) {
        }
        for (int i = 0; i < 2000; ++i) {
            // Alternate between the dry block and, while stopping, the slot block.
            r.stopReq.store(i % 2 == 1);
            BufferCS_const v;
            if (!r.getNewStream(v)) {
                faults.fetch_add(1);
                continue;
            }
            const size_t expected = i % 2 == 1 ? r.bufferBytes : dryBytes;
            std::this_thread::yield();
            if (v.viewSize != expected || !allBytes(v, mute)) {
                faults.fetch_add(1);
            }
        }
    };
    std::atomic<int> faultsA{0};
    std::atomic<int> faultsB{0};
    std::thread a(consume, std::ref(ring), 3840, 0x00, std::ref(faultsA));
    std::thread b(consume, std::ref(other), 7056, 0x69, std::ref(faultsB));
    go.store(true);
    a.join();
    b.join();
    EXPECT_EQ(faultsA.load(), 0);
    EXPECT_EQ(faultsB.load(), 0);
    EXPECT_NE(ring.tmp.data(), other.tmp.data());
    EXPECT_NE(ring.dmutedata.data(), other.dmutedata.data());
}

TEST_F(SyncBufferRing, StopDrainsQueuedSlotsThenAcknowledges)
{
    ring.setupBuffer(8, 8, false, 0);  // 32-byte slots
    ring.syncState.store(QUORVIN::SYNC_CONNECTED);
    for (int i = 0; i < 3; ++i) {
        ring.take();
    }
    ASSERT_EQ(ring.getLastBufferCount(), 5U);
    ring.play();
    EXPECT_TRUE(ring.isPlaying());
    clearLog();

    std::atomic<bool> stopped{false};
    std::atomic<pid_t> stopperTid{0};
    std::thread stopper([&] {
        stopperTid.store(static_cast<pid_t>(::gettid()));
        ring.stop();
        stopped.store(true);
    });
    ASSERT_TRUE(waitFor([&] { return ring.stopReq.load(); }));
    for (size_t i = 4; i <= 8; ++i) {
        const BufferCS_const v = ring.take();
        EXPECT_EQ(v.viewData, ring.buffers[i].data()) << i;
        EXPECT_FALSE(ring.stopAck.load()) << i;
    }
    // stop has no time limit of its own: it waits for the acknowledgement,
    // slice after slice (three more of them seen here).
    const long slept = voluntarySwitches(stopperTid.load());
    ASSERT_GE(slept, 0);
    ASSERT_TRUE(waitFor([&] { return voluntarySwitches(stopperTid.load()) > slept + 3; }));
    EXPECT_FALSE(stopped.load());
    EXPECT_TRUE(ring.isPlaying());

    // Dry while stopping: acknowledged, and one slot of silence.
    BufferCS_const v = ring.take();
    EXPECT_TRUE(ring.stopAck.load());
    EXPECT_EQ(v.viewData, ring.dmutedata.data());
    EXPECT_EQ(v.viewSize, 32U);
    EXPECT_TRUE(allBytes(v, 0x00));
    stopper.join();
    EXPECT_TRUE(stopped.load());
    EXPECT_FALSE(ring.isPlaying());
    EXPECT_EQ(logCount("SyncBuffer::stop"), 1U);
    EXPECT_EQ(logCount("stop 2"), 1U);
    EXPECT_LT(logIndex("SyncBuffer::stop"), logIndex("stop 2"));

    // Until the next play the consumer keeps getting slot-sized silence.
    v = ring.take();
    EXPECT_EQ(v.viewSize, 32U);
    EXPECT_TRUE(logStartingWith("SyncBuffer not enough").empty());

    // play clears the request: a dry ring gives 10 ms blocks again.
    ring.play();
    EXPECT_FALSE(ring.stopReq.load());
    EXPECT_FALSE(ring.stopAck.load());
    EXPECT_EQ(logCount("SyncBuffer::play"), 1U);
    EXPECT_EQ(logCount("play 2"), 1U);
    v = ring.take();
    EXPECT_EQ(v.viewSize, 1920U);
    EXPECT_EQ(logCount("SyncBuffer not enough mute data return 1920"), 1U);
}

TEST_F(SyncBufferRing, StopOnIdleStreamReturns)
{
    // No consumer is left to acknowledge once the stream is idle.
    ring.setupBuffer(8, 8, false, 0);
    ring.play();
    std::atomic<bool> returned{false};
    std::thread stopper([&] {
        ring.stop();
        returned.store(true);
    });
    const bool inTime = waitFor([&] { return returned.load(); });
    ring.stopAck.store(true);  // lets a stop that waits for ever go
    stopper.join();
    EXPECT_TRUE(inTime);
    EXPECT_FALSE(ring.isPlaying());
    EXPECT_EQ(ring.getLastBufferCount(), 8U);
}

TEST_F(SyncBufferRing, DisconnectDeliversQueuedSlotsFirst)
{
    struct Case {
        const char* name;
        bool whenDrained;
        bool stopToo;
        int32_t stateAfter;
    };
    const std::vector<Case> cases = {
        {"plain", false, false, QUORVIN::SYNC_CONNECTED},
        {"disconnect when drained", true, false, QUORVIN::SYNC_DISCONNECTING},
        {"stop pending too", false, true, QUORVIN::SYNC_CONNECTED},
    };
    for (const Case& c : cases) {
        ring.setupBuffer(8, 8, false, 0);
        ring.syncState.store(QUORVIN::SYNC_CONNECTED);
        ring.disconnectReq.store(false);
        ring.stopReq.store(c.stopToo);
        ring.stopAck.store(false);
        for (int i = 0; i < 5; ++i) {
            ring.take();
        }
        clearLog();
        ring.pre_disconnect(c.whenDrained);
        EXPECT_EQ(logCount("SyncBuffer::pre_disconnect"), 1U) << c.name;
        EXPECT_EQ(ring.disconnectOnDrain.load(), c.whenDrained) << c.name;
        for (size_t i = 6; i <= 8; ++i) {
            const BufferCS_const v = ring.take();
            EXPECT_EQ(v.viewData, ring.buffers[i].data()) << c.name << " " << i;
        }
        EXPECT_EQ(ring.getState(), QUORVIN::SYNC_CONNECTED) << c.name;
        BufferCS_const v{reinterpret_cast<const uint8_t*>("x"), 1};
        EXPECT_FALSE(ring.getNewStream(v)) << c.name;
        EXPECT_EQ(v.viewData, nullptr) << c.name;
        EXPECT_EQ(v.viewSize, 0U) << c.name;
        EXPECT_EQ(ring.getState(), c.stateAfter) << c.name;
        EXPECT_FALSE(ring.disconnectOnDrain.load()) << c.name;
        EXPECT_FALSE(ring.stopAck.load()) << c.name;
        // Further calls stay false and move the state only once.
        EXPECT_FALSE(ring.getNewStream(v)) << c.name;
        EXPECT_EQ(logCount("discone flgset"), c.whenDrained ? 1U : 0U) << c.name;
    }
    ring.syncState.store(QUORVIN::SYNC_IDLE);
}

TEST_F(SyncBufferRing, SeekMovesTheReadPosition)
{
    struct Case {
        const char* name;
        int taken;  // slots consumed after set-up
        int64_t n;
        uint64_t queued;
        uint8_t next;  // number of the slot delivered next, 0 = none queued
    };
    const std::vector<Case> cases = {
        {"forward past the queued slots: empty", 6, 3, 0, 0},
        {"back from empty on 9 slots: stops when full", 8, -20, 8, 1},
        {"back on a full ring: nothing", 0, -1, 8, 1},
        {"forward drops slots", 2, 1, 5, 4},
        {"back replays one slot", 2, -1, 7, 2},
        {"zero: nothing", 3, 0, 5, 4},
        {"most negative count", 4, INT64_MIN, 8, 1},
    };
    for (const Case& c : cases) {
        ring.setupBuffer(4, 8, false, 0);
        for (size_t i = 0; i < ring.buffers.size(); ++i) {
            ring.buffers[i][0] = static_cast<uint8_t>(i);
        }
        for (int i = 0; i < c.taken; ++i) {
            ring.take();
        }
        ring.seek(c.n);
        EXPECT_EQ(ring.getLastBufferCount(), c.queued) << c.name;
        EXPECT_EQ(ring.writePos.load(), 0U) << c.name;
        if (c.next != 0) {
            const BufferCS_const v = ring.take();
            ASSERT_EQ(v.viewSize, 16U) << c.name;
            EXPECT_EQ(v.viewData[0], c.next) << c.name;
        } else {
            EXPECT_TRUE(ring.buffer_empty()) << c.name;
        }
    }

    // seek_front: back to the full state, contents unchanged.
    ring.setupBuffer(4, 8, false, 0);
    ring.buffers[1][0] = 0x11;
    for (int i = 0; i < 5; ++i) {
        ring.take();
    }
    ring.seek_front();
    EXPECT_EQ(ring.getLastBufferCount(), 8U);
    EXPECT_EQ(ring.take().viewData[0], 0x11);
}

TEST_F(SyncBufferRing, SeekStopsPlay)
{
    ring.setupBuffer(4, 8, false, 0);
    ring.play();
    clearLog();
    ring.seek(2);
    EXPECT_FALSE(ring.isPlaying());
    EXPECT_EQ(ring.getLastBufferCount(), 6U);
    EXPECT_EQ(logCount("stop 0"), 1U);
    ring.play();
    ring.seek_front();
    EXPECT_FALSE(ring.isPlaying());
    EXPECT_EQ(ring.getLastBufferCount(), 8U);
}

TEST_F(SyncBufferRing, AddStreamAppendsAQueuedSlot)
{
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    ring.setupBuffer(4, 2, false, 0);
    ring.take();
    ring.addStream({bytes, 5});
    ASSERT_EQ(ring.buffers.size(), 4U);
    EXPECT_EQ(ring.getLastBufferCount(), 3U);
    ring.take();
    ring.take();
    const BufferCS_const v = ring.take();
    ASSERT_EQ(v.viewSize, 5U);
    EXPECT_EQ(std::memcmp(v.viewData, bytes, 5), 0);

    // On a ring without slots the one slot cannot be queued.
    TestRing fresh;
    fresh.hostConfig = ring.hostConfig;
    fresh.addStream({bytes, 5});
    EXPECT_EQ(fresh.buffers.size(), 1U);
    EXPECT_TRUE(fresh.buffer_empty());
    EXPECT_EQ(fresh.take().viewSize, 1920U);
}

TEST_F(SyncBufferRing, ProducerCallsWithoutTheWorker)
{
    const uint8_t bytes[5] = {9, 8, 7, 6, 5};
    ring.setupBuffer(4, 8, false, 0);

    // Full ring, idle stream: one wait slice, then nothing.
    ring.setStream({bytes, 5});
    EXPECT_EQ(ring.getLastBufferCount(), 8U);
    bool abort = false;
    ring.writeStreamStart(abort);
    EXPECT_TRUE(abort);
    ring.writeStreamDone(true);  // a commit into a full ring is refused
    EXPECT_EQ(ring.getLastBufferCount(), 8U);

    ring.take();
    EXPECT_TRUE(ring.checkStreamStart());
    TIVRA::Buffer& slot = ring.writeStreamStart(abort);
    EXPECT_FALSE(abort);
    EXPECT_EQ(&slot, &ring.buffers[0]);
    ring.writeStreamDone(false);
    EXPECT_EQ(ring.getLastBufferCount(), 7U);
    const uint8_t* storage = ring.buffers[0].data();
    ring.setStream({bytes, 5});
    EXPECT_EQ(ring.getLastBufferCount(), 8U);
    EXPECT_EQ(ring.writePos.load(), 1U);
    EXPECT_EQ(ring.buffers[0].data(), storage);  // refilled within its capacity
    for (int i = 0; i < 7; ++i) {
        ring.take();
    }
    const BufferCS_const v = ring.take();
    ASSERT_EQ(v.viewSize, 5U);
    EXPECT_EQ(std::memcmp(v.viewData, bytes, 5), 0);
    EXPECT_TRUE(ring.buffer_empty());
}

TEST_F(SyncBufferRing, WakeOnWriteMode)
{
    ring.setupBuffer(4, 8, true, 0);
    for (int i = 0; i < 8; ++i) {
        ring.take();
    }
    clearLog();
    BufferCS_const v{reinterpret_cast<const uint8_t*>("x"), 1};
    EXPECT_FALSE(ring.getNewStream(v));
    EXPECT_EQ(v.viewData, nullptr);
    EXPECT_EQ(v.viewSize, 0U);
    EXPECT_EQ(logCount("SyncBuffer not enough Timeout"), 1U);
    EXPECT_TRUE(logStartingWith("SyncBuffer not enough mute").empty());

    // A slot committed during the wait is delivered, after a warning with the
    // milliseconds waited. The producer commits once it sees the consumer
    // asleep in that wait; it plays its part as a stand-in, above the normal
    // threads, so it does so well within the 10 ms slice.
    clearLog();
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    const pid_t consumer = static_cast<pid_t>(::gettid());
    std::atomic<bool> calling{false};
    std::atomic<bool> sawAsleep{false};
    std::thread producer([&] {
        testbed::becomeStandinRealtime();
        while (!calling.load()) {
        }
        const auto giveUp = std::chrono::steady_clock::now() + 10s;
        while (!threadSleepingNoAlloc(consumer) && std::chrono::steady_clock::now() < giveUp) {
        }
        sawAsleep.store(threadSleepingNoAlloc(consumer));
        ring.setStream({bytes, 5});
    });
    BufferCS_const got;
    calling.store(true);
    const auto called = std::chrono::steady_clock::now();
    const bool ok = ring.getNewStream(got);
    // The milliseconds the call took bound those it waited; a thread that
    // wakes late waits longer than the slice.
    const auto tookMs = static_cast<unsigned long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - called).count());
    producer.join();
    ASSERT_TRUE(sawAsleep.load());
    ASSERT_TRUE(ok) << "not delivered within the wait";
    ASSERT_EQ(got.viewSize, 5U);
    EXPECT_EQ(std::memcmp(got.viewData, bytes, 5), 0);
    const std::vector<std::string> warned = logStartingWith("SyncBuffer not enough ");
    ASSERT_EQ(warned.size(), 1U);
    const std::string tail = warned[0].substr(std::string("SyncBuffer not enough ").size());
    ASSERT_FALSE(tail.empty());
    ASSERT_TRUE(std::all_of(tail.begin(), tail.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) << warned[0];
    EXPECT_LE(std::stoul(tail), tookMs);
    EXPECT_TRUE(ring.buffer_empty());
}

// ---- the buffer worker on its own (the stream state set by hand)

class SyncBufferWorker : public SyncBufferRing {};

TEST_F(SyncBufferWorker, SchedulingLines)
{
    struct Case {
        const char* name;
        uint32_t mode;
        int32_t auxCpu;
        int32_t auxCount;
        const char* cpuLine;  // nullptr: no CPU line
    };
    const std::vector<Case> cases = {
        {"pinned", QUORVIN::Sync::OCCUPIED, 0, 1, "Buffer Thread CPU set 0,1"},
        {"pin refused", QUORVIN::Sync::OCCUPIED, 1000, 1, "Buffer Thread CPU set error 1000,1"},
        {"no CPU range", QUORVIN::Sync::OCCUPIED, -1, 1, nullptr},
        {"no CPUs counted", QUORVIN::Sync::OCCUPIED, 0, 0, nullptr},
        {"not occupied", 1, 0, 1, nullptr},
    };
    for (const Case& c : cases) {
        TestRing r;
        r.hostConfig = ring.hostConfig;
        r.changeWorkMode(c.mode);
        r.auxCpu = c.auxCpu;
        r.auxCpuCount = c.auxCount;
        r.setupBuffer(4, 8, false, 0);
        r.syncState.store(QUORVIN::SYNC_CONNECTED);
        clearLog();
        ASSERT_TRUE(r.startBufferWorker()) << c.name;
        EXPECT_FALSE(r.startBufferWorker()) << c.name;  // one per stream
        ASSERT_TRUE(waitFor([] { return logCount("Buffer Thread Priority set HIGH") == 1; })) << c.name;
        if (c.cpuLine != nullptr) {
            EXPECT_EQ(logCount(c.cpuLine), 1U) << c.name;
            EXPECT_LT(logIndex(c.cpuLine), logIndex("Buffer Thread Priority set HIGH")) << c.name;
        } else {
            EXPECT_TRUE(logStartingWith("Buffer Thread CPU").empty()) << c.name;
        }
        // The stream going idle ends the worker, acknowledging any stop.
        r.syncState.store(QUORVIN::SYNC_IDLE);
        ASSERT_TRUE(waitFor([] { return logCount("done BufferWorker") == 1; })) << c.name;
        EXPECT_LT(logIndex("finish BufferWorker"), logIndex("done BufferWorker")) << c.name;
        EXPECT_TRUE(r.stopReq.load()) << c.name;
        EXPECT_TRUE(r.stopAck.load()) << c.name;
        r.close();
        EXPECT_FALSE(r.bufferThread.joinable()) << c.name;
    }
}

TEST_F(SyncBufferWorker, ConnectOnALiveStreamEndsItsBufferWorker)
{
    // The buffer worker waits while the stream is active; a connect that
    // joined it first would wait for ever. The connect then fails on the
    // unset sink format, which is enough to see it come back.
    ring.setupBuffer(4, 8, false, 0);
    ring.syncState.store(QUORVIN::SYNC_CONNECTED);
    ASSERT_TRUE(ring.startBufferWorker());
    std::atomic<bool> returned{false};
    std::thread connecter([&] {
        ring.connect(true, -1);
        returned.store(true);
    });
    const bool inTime = waitFor([&] { return returned.load(); });
    ring.syncState.store(QUORVIN::SYNC_IDLE);  // lets a connect that waits for ever go
    connecter.join();
    EXPECT_TRUE(inTime);
    EXPECT_FALSE(ring.bufferThread.joinable());
    EXPECT_EQ(logCount("done BufferWorker"), 1U);
    EXPECT_EQ(logCount("sinkConfig invalid"), 1U);
}

TEST_F(SyncBufferWorker, RefillsFreedSlotsAndLeavesOnDisconnect)
{
    ring.setupBuffer(4, 8, false, 0);
    for (TIVRA::Buffer& slot : ring.buffers) {
        slot[0] = 0x33;  // the hook here commits slots unchanged
    }
    ring.syncState.store(QUORVIN::SYNC_CONNECTED);
    ASSERT_TRUE(ring.startBufferWorker());
    ring.getNewStreamCmp();  // while the ring is full: the report waits for the next fill
    for (int i = 0; i < 3; ++i) {
        ring.take();
    }
    ASSERT_TRUE(waitFor([&] { return ring.getLastBufferCount() == 8; }));
    EXPECT_FALSE(ring.cycleDone.load());  // taken by the first fill
    for (int i = 0; i < 8; ++i) {
        const BufferCS_const v = ring.take();
        ASSERT_EQ(v.viewSize, 16U);
        EXPECT_EQ(v.viewData[0], 0x33);
    }

    // A disconnect request ends the filling; the worker then waits for the
    // stream to leave the active states.
    ring.pre_disconnect(false);
    ASSERT_TRUE(waitFor([] { return logCount("finish BufferWorker") == 1; }));
    EXPECT_TRUE(ring.stopAck.load());
    // Three more of its wait slices, and it still waits.
    const pid_t worker = threadWithPolicy(SCHED_RR);
    ASSERT_NE(worker, 0);
    const long slept = voluntarySwitches(worker);
    ASSERT_TRUE(waitFor([&] { return voluntarySwitches(worker) > slept + 3; }));
    EXPECT_EQ(logCount("done BufferWorker"), 0U);
    ring.syncState.store(QUORVIN::SYNC_IDLE);
    ASSERT_TRUE(waitFor([] { return logCount("done BufferWorker") == 1; }));
    ring.close();
    EXPECT_FALSE(ring.bufferThread.joinable());
}

TEST_F(SyncBufferWorker, FirstFillAfterACycleIsMarkedOnceUntilFull)
{
    PatternRing r;
    r.hostConfig = ring.hostConfig;
    r.setupBuffer(4, 8, false, 0);
    r.syncState.store(QUORVIN::SYNC_CONNECTED);
    ASSERT_TRUE(r.startBufferWorker());
    using Fills = std::vector<std::pair<uint64_t, bool>>;
    // Each phase frees slots in one step (seek moves readPos in one store)
    // and waits until the worker has refilled the ring.
    auto phase = [&r](int64_t freed, bool cycleBefore) {
        if (cycleBefore) {
            r.getNewStreamCmp();
        }
        const uint64_t target = r.filled.load() + static_cast<uint64_t>(freed);
        r.seek(freed);
        EXPECT_TRUE(waitFor([&] { return r.filled.load() == target && r.getLastBufferCount() == 8; }));
        return r.takeFills();
    };
    EXPECT_EQ(phase(2, false), (Fills{{1, false}, {2, false}}));
    EXPECT_EQ(phase(3, true), (Fills{{3, true}, {4, false}, {5, false}}));
    // A second report during the first fill is not another first fill ...
    r.cycleDuringFill.store(true);
    EXPECT_EQ(phase(3, true), (Fills{{6, true}, {7, false}, {8, false}}));
    // ... until the ring has been full again.
    EXPECT_EQ(phase(1, true), (Fills{{9, true}}));
    r.endAll();
}

namespace {

// Whether the thread sleeps (blocked in a wait or a join), from the kernel's
// view of it: the state letter after the command name in its stat line.
bool threadSleeping(pid_t tid)
{
    std::FILE* f = std::fopen(("/proc/self/task/" + std::to_string(tid) + "/stat").c_str(), "r");
    if (f == nullptr) {
        return false;
    }
    char line[512] = {};
    const size_t n = std::fread(line, 1, sizeof(line) - 1, f);
    std::fclose(f);
    const char* paren = std::strrchr(line, ')');
    return n != 0 && paren != nullptr && paren[1] == ' ' && paren[2] == 'S';
}

// A stream worker that stays connecting until disconnect() has logged its
// request and sleeps (having found the stream still connecting), then
// reaches its outcome: connected, then idle once moved to disconnecting, or
// idle at once when the connect fails. Let go by the test's deadline, it
// ends idle so that every thread can be joined.
struct LateConnectRing : TestRing {
    ~LateConnectRing() { endAll(); }
    bool startSyncWorker() override
    {
        syncThread = std::thread([this] {
            while (!letGo.load()
                   && !(logCount("SyncBuffer::disconnect") == 1 && disconnecter.load() != 0
                        && threadSleeping(disconnecter.load()))) {
                std::this_thread::yield();
            }
            if (!connects || letGo.load()) {
                syncState.store(QUORVIN::SYNC_IDLE);
                return;
            }
            syncState.store(QUORVIN::SYNC_CONNECTED);
            while (!letGo.load() && syncState.load() != QUORVIN::SYNC_DISCONNECTING) {
                std::this_thread::yield();
            }
            sawDisconnecting.store(syncState.load() == QUORVIN::SYNC_DISCONNECTING);
            syncState.store(QUORVIN::SYNC_IDLE);
        });
        return true;
    }
    bool connects = true;
    std::atomic<pid_t> disconnecter{0};
    std::atomic<bool> letGo{false};
    std::atomic<bool> sawDisconnecting{false};
};

}  // namespace

TEST_F(SyncBufferWorker, DisconnectWhileConnectingWaitsForTheOutcome)
{
    struct Case {
        const char* name;
        bool connects;
        bool handshake;  // the worker was moved to disconnecting
    };
    const std::vector<Case> cases = {
        {"connected while disconnect waits", true, true},
        {"connect failed while disconnect waits", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearLog();
        LateConnectRing r;
        r.connects = c.connects;
        r.hostConfig = ring.hostConfig;
        r.sinkConfig = ring.hostConfig;
        r.setupBuffer(4, 8, false, 0);
        ASSERT_TRUE(r.connect(true, -1));
        ASSERT_EQ(r.getState(), QUORVIN::SYNC_CONNECTING);

        std::atomic<bool> returned{false};
        std::thread disconnecter([&] {
            r.disconnecter.store(static_cast<pid_t>(::gettid()));
            r.disconnect();
            returned.store(true);
        });
        // Without a disconnect after the wait the buffer worker waits on a
        // connected stream for ever: let the worker go idle so the test ends.
        const bool inTime = waitFor([&] { return returned.load(); }, 10000ms);
        r.letGo.store(true);
        disconnecter.join();
        ASSERT_TRUE(inTime) << "disconnect did not return while the stream stayed connected";
        EXPECT_EQ(r.getState(), QUORVIN::SYNC_IDLE);
        EXPECT_EQ(r.sawDisconnecting.load(), c.handshake);
        EXPECT_FALSE(r.bufferThread.joinable());
        EXPECT_EQ(logCount("discone flgset"), c.handshake ? 1U : 0U);
        EXPECT_EQ(logCount("discone done"), c.handshake ? 1U : 0U);
        EXPECT_EQ(logCount("done BufferWorker"), 1U);
    }
}

TEST(SyncBufferStress, EverySlotOnceInOrderIntact)
{
    // The worker fills numbered slots while a consumer thread takes them as
    // the stream worker does: a few views per cycle, then the cycle report.
    // Stop and play happen halfway.
    constexpr uint64_t TOTAL = 20000;
    PatternRing ring;
    ring.hostConfig = makeFormat(QUORVIN::PCM16, 48000, 2);
    ring.setupBuffer(16, 8, false, 0);  // 64-byte slots
    ring.syncState.store(QUORVIN::SYNC_CONNECTED);
    ring.play();
    ASSERT_TRUE(ring.startBufferWorker());

    std::atomic<uint64_t> expected{1};
    std::atomic<uint64_t> cycles{0};
    std::atomic<bool> fault{false};
    std::atomic<bool> done{false};
    std::string faultText;
    auto check = [&](const BufferCS_const& v) {
        if (fault.load() || allBytes(v, 0x00)) {
            return;  // pre-roll, dry or stop silence
        }
        const uint64_t c = patternCounter(v.viewData, v.viewSize, 64);
        if (c != expected.load()) {
            faultText = "slot " + std::to_string(c) + " where " + std::to_string(expected.load()) + " was due";
            fault.store(true);
            return;
        }
        expected.fetch_add(1);
    };
    std::thread consumer([&] {
        uint64_t n = 0;
        // Runs until told, also after a fault: a stop needs a consumer to
        // acknowledge it.
        while (!done.load()) {
            const int views = 1 + static_cast<int>(n % 3);
            for (int i = 0; i < views; ++i) {
                BufferCS_const v;
                if (!ring.getNewStream(v) && !fault.load()) {
                    faultText = "false while streaming";
                    fault.store(true);
                }
                check(v);
            }
            ring.getNewStreamCmp();
            cycles.fetch_add(1);
            if (++n % 64 == 0) {
                std::this_thread::yield();
            }
        }
    });

    if (!waitFor([&] { return expected.load() > TOTAL / 2 || fault.load(); }, 60000ms) || fault.load()) {
        done.store(true);
        consumer.join();
        FAIL() << faultText;
    }
    ring.stop();  // the consumer thread drains and acknowledges
    EXPECT_TRUE(ring.stopAck.load());
    // From here on the producer can only finish a fill that was under way
    // and then pause in wait slices. Its first sleep after this point is in
    // such a slice; three more slices later it has filled nothing more.
    const pid_t producer = static_cast<pid_t>(ring.fillerThread.load());
    const long slept = voluntarySwitches(producer);
    ASSERT_GE(slept, 0);
    ASSERT_TRUE(waitFor([&] { return voluntarySwitches(producer) > slept; }));
    const uint64_t pausedAt = ring.filled.load();
    ASSERT_TRUE(waitFor([&] { return voluntarySwitches(producer) > slept + 3; }));
    EXPECT_EQ(ring.filled.load(), pausedAt);  // the producer pauses
    ring.play();
    EXPECT_TRUE(waitFor([&] { return ring.filled.load() > pausedAt; }));
    EXPECT_TRUE(waitFor([&] { return expected.load() > TOTAL || fault.load(); }, 60000ms));
    done.store(true);
    consumer.join();
    ASSERT_FALSE(fault.load()) << faultText;

    // The end: the producer leaves its loop (acknowledging), then the
    // remaining queued slots are drained and the ring gives false.
    ring.pre_disconnect(false);
    ASSERT_TRUE(waitFor([&] { return ring.stopAck.load(); }));
    for (;;) {
        BufferCS_const v;
        if (!ring.getNewStream(v)) {
            break;
        }
        check(v);
        ASSERT_FALSE(fault.load()) << faultText;
    }
    EXPECT_EQ(expected.load() - 1, ring.filled.load());  // every filled slot arrived
    EXPECT_GT(ring.firstAfterCycleCount.load(), 0U);
    EXPECT_LE(ring.firstAfterCycleCount.load(), cycles.load());
    ring.syncState.store(QUORVIN::SYNC_IDLE);
    ring.close();
    EXPECT_FALSE(ring.bufferThread.joinable());
}

// ---- with the real stream worker

namespace {

// Answers the stream's connect, its feedback requests and its disconnect on
// one UDP socket of ::1; records the stream packets' payloads in order.
class FakeSink {
public:
    ~FakeSink() { stop(); }

    bool start()
    {
        bytes.assign(kRecordBytes, 0);
        recorded.store(0);
        address = TIVRA::IPAddress{};
        address.addr[15] = 1;
        socket.recvSize = 4096;
        if (!socket.open(TIVRA::Socket::UDP_V6) || !socket.bindV6(address)) {
            return false;
        }
        thread = std::thread(&FakeSink::run, this);
        return true;
    }
    void stop()
    {
        stopFlag.store(true);
        if (thread.joinable()) {
            thread.join();
        }
        socket.close();
    }
    // The next pass sends DSICONNECT_ANS unasked to the stream.
    void endStream() { endNow.store(true); }

    std::vector<uint8_t> payload()
    {
        EXPECT_FALSE(full.load()) << "the fake sink's record of " << kRecordBytes << " bytes ran full";
        return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(recorded.load()));
    }

    TIVRA::IPAddress address;
    std::atomic<int> connects{0};
    std::atomic<int> disconnectRequests{0};
    std::atomic<int> feedbackRequests{0};
    std::atomic<bool> sequenceBroken{false};

private:
    void answer(const QUORVIN::Send& message, const TIVRA::IPAddress& to) { socket.sendToV6(message, to, true); }

    void run()
    {
        // It reads every packet of the stream before it gets to the
        // disconnect request; falling behind on a loaded machine, it would
        // answer that request only after the feedback answers of the packets
        // it still had, which take up the worker's attempts. So it keeps up,
        // as a stand-in in the real-time class below the worker's, and
        // records without a lock that a test thread could hold.
        testbed::becomeStandinRealtime();
        QUORVIN::Receive rx;
        TIVRA::IPAddress from;
        TIVRA::IPAddress peer{};
        uint32_t nextSequence = 0;
        while (!stopFlag.load()) {
            if (endNow.exchange(false)) {
                answer(QUORVIN::Send(QUORVIN::DSICONNECT_ANS, QUORVIN::STATUS_OK), peer);
            }
            const TIVRA::Socket::WaitResult r = socket.wait(Clock(5 * Clock::MS));
            if (r == TIVRA::Socket::WaitError) {
                break;
            }
            if (r == TIVRA::Socket::WaitTimeout || !socket.receiveFromV6(rx, from) || !rx) {
                continue;
            }
            switch (rx.getMessage()) {
            case QUORVIN::CONNECT_REQ:
                peer = from;
                nextSequence = 0;
                connects.fetch_add(1);
                answer(QUORVIN::Send(QUORVIN::CONNECT_ANS, QUORVIN::STATUS_OK, address.getPort(), 0, 0, 0), from);
                break;
            case QUORVIN::STREAM_REQ: {
                peer = from;
                if (rx.getOption0() != static_cast<uint16_t>(nextSequence)) {
                    sequenceBroken.store(true);
                }
                nextSequence = rx.getOption0() + 1U;
                const BufferCS_const data = rx.get_data_CS();
                const size_t at = recorded.load(std::memory_order_relaxed);
                if (at + data.viewSize > bytes.size()) {
                    full.store(true);
                } else {
                    std::memcpy(bytes.data() + at, data.viewData, data.viewSize);
                    recorded.store(at + data.viewSize, std::memory_order_release);
                }
                if ((rx.getStatus() & QUORVIN::STATUS_INFO) != 0) {
                    feedbackRequests.fetch_add(1);
                    answer(QUORVIN::Send(QUORVIN::STREAM_ANS, QUORVIN::STATUS_OK, 0x2000, 0, 0, 0), from);
                }
                break;
            }
            case QUORVIN::DSICONNECT_REQ:
                disconnectRequests.fetch_add(1);
                answer(QUORVIN::Send(QUORVIN::DSICONNECT_ANS, QUORVIN::STATUS_OK), from);
                break;
            default:
                break;
            }
        }
    }

    TIVRA::UDPV6 socket;
    std::thread thread;
    std::atomic<bool> stopFlag{false};
    std::atomic<bool> endNow{false};
    // The payloads in arrival order: room for 40 s of the tests' stream,
    // made before the thread starts.
    static constexpr size_t kRecordBytes = size_t{8} << 20;
    std::vector<uint8_t> bytes;
    std::atomic<size_t> recorded{0};
    std::atomic<bool> full{false};
};

// The numbered slots found in the stream's bytes, in order; silence between
// them is skipped. 0 marks damage.
std::vector<uint64_t> slotsIn(const std::vector<uint8_t>& bytes, size_t slotBytes)
{
    std::vector<uint64_t> out;
    size_t pos = 0;
    while (pos < bytes.size()) {
        if (bytes[pos] == 0) {
            ++pos;
            continue;
        }
        if (bytes.size() - pos < slotBytes) {
            out.push_back(0);
            break;
        }
        out.push_back(patternCounter(bytes.data() + pos, slotBytes, slotBytes));
        pos += slotBytes;
    }
    return out;
}

bool consecutiveFrom1(const std::vector<uint64_t>& slots)
{
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i] != i + 1) {
            return false;
        }
    }
    return true;
}

constexpr uint64_t STREAM_FRAMES = 480;  // 10 ms at 48 kHz
constexpr size_t STREAM_SLOT_BYTES = STREAM_FRAMES * 4;

class SyncBufferStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        captureLog();
        clearLog();
        TIVRA::quorvin_log = 7;
        ASSERT_TRUE(sink.start());
    }
    void TearDown() override
    {
        const std::string run = HasFailure() ? teststream::describe() : std::string();
        stream.reset();
        sink.stop();
        TIVRA::quorvin_log = -1;
        if (!run.empty()) {
            std::printf("%s\n", run.c_str());
        }
    }

    // Open, a sink format and profile, the ring: what a connect needs.
    void prepare(PatternRing& s)
    {
        ASSERT_TRUE(s.open(1, Clock(10 * Clock::MS), 0, "host", 1, -1, 0, 0));
        const FormatConfigure f = makeFormat(QUORVIN::PCM16, 48000, 2);
        s.sincSupportPCM = f.value;
        ASSERT_TRUE(s.setSinkConfigure(f));
        s.sinkAddress = sink.address;
        ASSERT_TRUE(s.configTransferFix(Clock(10 * Clock::MS), 0));
        s.setupBuffer(STREAM_FRAMES, 8, false, 0);
    }
    void makeStream()
    {
        stream = std::make_unique<PatternRing>();
        prepare(*stream);
    }
    void connectStream()
    {
        ASSERT_TRUE(stream->connect(true, -1));
        ASSERT_TRUE(stream->connectWait());
        ASSERT_EQ(stream->getState(), QUORVIN::SYNC_CONNECTED);
    }

    FakeSink sink;
    std::unique_ptr<PatternRing> stream;
};

}  // namespace

TEST_F(SyncBufferStream, StopReturnsAfterQueuedSlotsWentOutThenDisconnect)
{
    makeStream();
    connectStream();
    stream->play();
    ASSERT_TRUE(waitFor([&] { return stream->lastTaken.load() >= 20; }));

    const uint64_t filledAtStop = stream->filled.load();
    stream->stop();
    EXPECT_FALSE(stream->isPlaying());
    // What was filled when stop came has been taken (a fill under way at
    // that moment may come after the acknowledgement).
    const uint64_t takenAtReturn = stream->lastTaken.load();
    EXPECT_GE(takenAtReturn + 1, filledAtStop);
    EXPECT_LE(stream->getLastBufferCount(), 1U);

    // Everything taken reaches the sink intact and in order.
    ASSERT_TRUE(waitFor([&] {
        const std::vector<uint64_t> s = slotsIn(sink.payload(), STREAM_SLOT_BYTES);
        return !s.empty() && s.back() >= takenAtReturn && s.back() == stream->lastTaken.load();
    }));
    EXPECT_TRUE(consecutiveFrom1(slotsIn(sink.payload(), STREAM_SLOT_BYTES)));

    clearLog();
    stream->disconnect();
    EXPECT_EQ(stream->getState(), QUORVIN::SYNC_IDLE);
    EXPECT_FALSE(stream->syncThread.joinable());
    EXPECT_FALSE(stream->bufferThread.joinable());
    // A feedback answer still queued when the handshake begins takes up one
    // attempt, so a loaded machine may see a second request.
    EXPECT_GE(sink.disconnectRequests.load(), 1);
    EXPECT_EQ(logCount("DSICONNECT_REQ ERROR "), 0U);
    EXPECT_FALSE(sink.sequenceBroken.load());
    for (const char* line : {"SyncBuffer::pre_disconnect", "SyncBuffer::disconnect", "discone flgset",
                             "finish BufferWorker", "done BufferWorker", "discone done"}) {
        EXPECT_EQ(logCount(line), 1U) << line;
    }
    EXPECT_LT(logIndex("SyncBuffer::pre_disconnect"), logIndex("SyncBuffer::disconnect"));
    EXPECT_LT(logIndex("SyncBuffer::disconnect"), logIndex("discone flgset"));
    const std::vector<uint64_t> slots = slotsIn(sink.payload(), STREAM_SLOT_BYTES);
    EXPECT_TRUE(consecutiveFrom1(slots));
    EXPECT_EQ(slots.back(), stream->lastTaken.load());
}

TEST_F(SyncBufferStream, ReconnectAfterTheStreamEndedOnItsOwn)
{
    makeStream();
    connectStream();
    stream->play();
    ASSERT_TRUE(waitFor([&] { return stream->lastTaken.load() >= 5; }));
    const uint64_t firstWorker = stream->fillerThread.load();

    // The sink ends the stream: the worker goes, the buffer worker follows.
    sink.endStream();
    ASSERT_TRUE(waitFor([&] { return stream->getState() == QUORVIN::SYNC_IDLE; }));
    EXPECT_EQ(logCount("DSICONNECT_ANS "), 1U);
    EXPECT_TRUE(stream->bufferThread.joinable());  // until the next connect joins it

    // The second connect, at once: it joins the ending worker, then starts a
    // fresh one.
    const uint64_t filledBefore = stream->filled.load();
    connectStream();
    EXPECT_EQ(logCount("done BufferWorker"), 1U);
    EXPECT_EQ(sink.connects.load(), 2);
    EXPECT_TRUE(waitFor([] { return logCount("Buffer Thread Priority set HIGH") == 2; }));
    stream->play();
    ASSERT_TRUE(waitFor([&] { return stream->filled.load() > filledBefore + 3; }));
    EXPECT_NE(stream->fillerThread.load(), firstWorker);
    stream->disconnect();
    // A feedback answer still queued when the handshake begins takes up one
    // attempt, so a loaded machine may see a second request.
    EXPECT_GE(sink.disconnectRequests.load(), 1);
    EXPECT_EQ(logCount("DSICONNECT_REQ ERROR "), 0U);
    EXPECT_FALSE(stream->bufferThread.joinable());

    // A set-up after a stream that ended on its own joins its worker, too.
    ASSERT_TRUE(stream->connect(true, -1));
    ASSERT_TRUE(stream->connectWait());
    sink.endStream();
    ASSERT_TRUE(waitFor([&] { return stream->getState() == QUORVIN::SYNC_IDLE; }));
    stream->setupBuffer(STREAM_FRAMES, 8, false, 0);
    EXPECT_FALSE(stream->bufferThread.joinable());
    EXPECT_EQ(stream->getLastBufferCount(), 8U);
}

TEST_F(SyncBufferStream, CloseEndsEverything)
{
    makeStream();
    connectStream();
    stream->play();
    ASSERT_TRUE(waitFor([&] { return stream->lastTaken.load() >= 3; }));
    // The worker is held inside getNewStream while the socket closes, and
    // let go once it is closed: its next send fails and it ends. (Closing
    // while it waits on or reads the socket ends it the same way, but races
    // on the descriptor.)
    stream->parkNext.store(true);
    ASSERT_TRUE(waitFor([&] { return stream->parked.load(); }));
    std::thread release([&] {
        waitFor([&] { return !stream->syncSocket.is_open(); });
        stream->unpark.store(true);
    });
    stream->close();
    release.join();
    EXPECT_EQ(stream->getState(), QUORVIN::SYNC_IDLE);
    EXPECT_FALSE(stream->syncThread.joinable());
    EXPECT_FALSE(stream->debugThread.joinable());
    EXPECT_FALSE(stream->bufferThread.joinable());
    EXPECT_FALSE(stream->syncSocket.is_open());
    EXPECT_EQ(logCount("done BufferWorker"), 1U);
    // Its next send or receive failed, depending on where in the burst it was.
    EXPECT_EQ(logStartingWith("wth udp send error ").size() + logCount("udp rcv error "), 1U);
    EXPECT_EQ(sink.disconnectRequests.load(), 0);  // no handshake
}

namespace {

// The buffer worker cannot start. The stream worker is a stand-in that
// only waits for its socket to close: the real one would be sending its
// connect request on the socket while the failing connect closes it.
struct NoWorkerRing : PatternRing {
    ~NoWorkerRing() { endAll(); }
    bool startBufferWorker() override { return false; }
    bool startSyncWorker() override
    {
        syncThread = std::thread([this] {
            while (syncSocket.is_open()) {
                std::this_thread::sleep_for(1ms);
            }
            syncState.store(QUORVIN::SYNC_IDLE);
        });
        return true;
    }
};

}  // namespace

TEST_F(SyncBufferStream, ConnectFailures)
{
    // A buffer worker that cannot start closes the stream.
    NoWorkerRing failing;
    prepare(failing);
    EXPECT_FALSE(failing.connect(true, -1));
    EXPECT_EQ(logCount("Buffer Worker Start Error"), 1U);
    EXPECT_FALSE(failing.syncThread.joinable());
    EXPECT_FALSE(failing.bufferThread.joinable());
    EXPECT_FALSE(failing.syncSocket.is_open());
    EXPECT_EQ(failing.getState(), QUORVIN::SYNC_IDLE);

    // A stream that cannot connect starts no thread.
    stream = std::make_unique<PatternRing>();
    ASSERT_TRUE(stream->open(1, Clock(10 * Clock::MS), 0, "host", 1, -1, 0, 0));
    stream->setupBuffer(4, 8, false, makeFormat(QUORVIN::PCM16, 48000, 2));
    EXPECT_FALSE(stream->connect(true, -1));
    EXPECT_EQ(logCount("sinkConfig invalid"), 1U);
    EXPECT_FALSE(stream->syncThread.joinable());
    EXPECT_FALSE(stream->bufferThread.joinable());
}
