// The card player against a host stand-in on a mapping in ordinary memory
// (and, for the program, in a file): what it writes into the header and the
// ring, the order of its requests, its deliberate faults, and the checker
// for counter recordings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "WaitFor.h"
#include "bridge/BridgeMemHeader.h"
#include "testbed/driver/DriverEvents.h"
#include "testbed/player/CardFormat.h"
#include "testbed/player/CardPlayer.h"
#include "testbed/player/CounterCheck.h"
#include "testbed/player/Sources.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using QUORVIN::BridgeMemHeader;
using QUORVIN::loadField;
using QUORVIN::storeField;
using testbed::CardPlayer;
using testbed::InvalidHeader;
using testbed::PlayerOptions;

constexpr uint64_t PCM16 = QUORVIN::QUORVIN_BR_FORMAT_PCM16;
constexpr uint64_t PCM24 = QUORVIN::QUORVIN_BR_FORMAT_PCM24;
constexpr uint64_t PCM32 = QUORVIN::QUORVIN_BR_FORMAT_PCM32;
constexpr uint64_t DSD_LSB_LITTLE = QUORVIN::QUORVIN_BR_FORMAT_DSD1_LSB_LITTLE;
constexpr uint64_t DSD_MSB_BIG = QUORVIN::QUORVIN_BR_FORMAT_DSD1_MSB_BIG;

constexpr uint32_t kOpen = QUORVIN::QUORVIN_BR_STATUS_OPEN;
constexpr uint32_t kConnected = QUORVIN::QUORVIN_BR_STATUS_CONNECTED;
constexpr uint32_t kPlaying = QUORVIN::QUORVIN_BR_STATUS_PLAYING;
constexpr uint32_t kError = QUORVIN::QUORVIN_BR_STATUS_ERROR;
constexpr uint32_t kInUse = QUORVIN::QUORVIN_BR_REQUEST_INUSE;
constexpr uint32_t kStream = QUORVIN::QUORVIN_BR_REQUEST_STREAM;
constexpr uint32_t kRun = QUORVIN::QUORVIN_BR_REQUEST_RUN;

// A small card: 8 periods of at most 4096 bytes.
constexpr uint32_t kPeriodMax = 8;
constexpr uint32_t kPeriodSizeMax = 4096;
constexpr uint64_t kRing = uint64_t{kPeriodMax} * kPeriodSizeMax;

// The card mapping in ordinary memory, 8-byte aligned.
struct Memory {
    std::vector<uint64_t> words = std::vector<uint64_t>((kRing + QUORVIN::BRIDGE_HEADER_SIZE) / 8, 0);
    uint8_t* ring() { return reinterpret_cast<uint8_t*>(words.data()); }
};

struct HostConfig {
    uint64_t formats = PCM16 | PCM24 | PCM32 | testbed::kDsdFormats;
    uint64_t rates = 0x7E;  // 44100, 48000 x1, x2, x4 (88200 is DSD64's word rate)
    uint64_t channels = 0x2 | 0x1;
    uint32_t periodMin = 2;
    bool validate = true;      // refuse a bad header as the host does
    int32_t volumeAnswer = 0;  // written back after the player's volume, as a sink's rounding would
    // After this many periods read the stream is lost: the card shows OPEN
    // alone until failNow() (0: never).
    uint64_t dropAfter = 0;
};

// What the host stand-in saw of one stream request.
struct Snapshot {
    uint64_t format = 0;
    uint64_t rate = 0;
    uint64_t channels = 0;
    uint32_t ringBytes = 0;
    uint32_t periodCount = 0;
};

// The host side of a card, as far as the player can tell: masks and limits,
// OPEN, the stream request checked and connected, RUN consumed period by
// period through hostReadPos, and every step back down. It reads a period
// only once `ready` says it has been written (a real host is paced by its
// clock; this one must not lap the player on a loaded machine).
int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

class FakeHost {
public:
    using Ready = std::function<bool(uint64_t count, const uint8_t* period, uint32_t bytes)>;

    FakeHost(uint8_t* ring, HostConfig config, Ready ready, testbed::DriverEvents* events = nullptr)
        : ring_(ring),
          header_(reinterpret_cast<BridgeMemHeader*>(ring + kRing)),
          config_(config),
          ready_(std::move(ready)),
          events_(events)
    {
        thread_ = std::thread([this] { loop(); });
    }
    ~FakeHost()
    {
        quit_ = true;
        thread_.join();
    }

    std::vector<uint8_t> collected()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return collected_;
    }
    std::vector<uint32_t> requests()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    std::vector<Snapshot> snapshots()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return snapshots_;
    }
    // (volume, periods read when it was first seen)
    std::vector<std::pair<int32_t, uint64_t>> volumes()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return volumes_;
    }
    uint64_t consumed() const { return consumed_.load(); }
    // A lost stream (dropAfter) that the host then fails to connect again.
    void failNow() { failNow_ = true; }
    // CLOCK_MONOTONIC in ns when this host first saw STREAM; 0 never.
    int64_t streamSeenNs() const { return streamSeenNs_.load(); }
    void quit() { quit_ = true; }

private:
    static void bump(uint32_t& counter)
    {
        std::atomic_ref<uint32_t>(counter).fetch_add(1, std::memory_order_release);
        syscall(SYS_futex, &counter, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
    }
    void publish(uint32_t status)
    {
        storeField(header_->hostStatus, status);
        if (events_ != nullptr) {
            bump(events_->wakeups[0]);
        }
    }
    bool valid(const Snapshot& s) const
    {
        const uint32_t sample = testbed::sampleBytes(s.format);
        const uint64_t lowest = s.channels & (~s.channels + 1);
        const uint32_t count = static_cast<uint32_t>(__builtin_ctzll(lowest | (uint64_t{1} << 63))) + 1;
        const bool channelsOk = count == 1 || count == 2 || count == 4 || count == 6 || count == 8 || count == 16;
        if (sample == 0 || (config_.formats & s.format) != s.format || !channelsOk || (config_.channels & lowest) == 0
            || (config_.rates & s.rate) == 0) {
            return false;
        }
        if (s.periodCount < 1 || s.periodCount > kPeriodMax || s.ringBytes < s.periodCount || s.ringBytes > kRing
            || s.ringBytes % s.periodCount != 0) {
            return false;
        }
        const uint32_t period = s.ringBytes / s.periodCount;
        return period % (sample * count) == 0;
    }

    void loop()
    {
        storeField(header_->formatMask, config_.formats);
        storeField(header_->rateMask, config_.rates);
        storeField(header_->channelMask, config_.channels);
        storeField(header_->periodMin, config_.periodMin);
        storeField(header_->periodMax, kPeriodMax);
        storeField(header_->periodSizeMin, uint32_t{6});
        storeField(header_->periodSizeMax, kPeriodSizeMax);
        publish(kOpen);
        enum { IDLE, REFUSED, CONNECTED, PLAYING, DROPPED } state = IDLE;
        uint32_t seen = 0;
        int32_t volume = 0;
        bool answered = false;
        Snapshot s;
        uint32_t offset = 0;
        uint64_t count = 0;
        while (!quit_) {
            bool busy = false;
            const uint32_t req = loadField(header_->driverRequest);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (req != seen) {
                    requests_.push_back(req);
                    seen = req;
                    if ((req & kStream) != 0 && streamSeenNs_.load() == 0) {
                        streamSeenNs_ = monotonicNs();
                    }
                }
                const int32_t v = loadField(header_->volume);
                if (v != volume) {
                    volumes_.emplace_back(v, count);
                    volume = v;
                    if (config_.volumeAnswer != 0 && !answered) {
                        answered = true;
                        storeField(header_->volume, config_.volumeAnswer);
                        volume = config_.volumeAnswer;
                    }
                }
            }
            switch (state) {
            case IDLE:
                if ((req & kStream) != 0) {
                    s = Snapshot{loadField(header_->chosenFormat), loadField(header_->chosenRate),
                                 loadField(header_->chosenChannels), loadField(header_->ringBytes),
                                 loadField(header_->periodCount)};
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        snapshots_.push_back(s);
                    }
                    if (config_.validate && !valid(s)) {
                        publish(kError | kConnected | kOpen);
                        state = REFUSED;
                    } else {
                        storeField(header_->hostReadPos, uint32_t{0});
                        std::memset(ring_, testbed::muteByte(s.format), std::min<uint64_t>(s.ringBytes, kRing));
                        offset = 0;
                        count = 0;
                        publish(kOpen | kConnected);
                        state = CONNECTED;
                    }
                }
                break;
            case REFUSED:
                if ((req & kStream) == 0) {
                    publish(kOpen);
                    state = IDLE;
                }
                break;
            case CONNECTED:
                if ((req & kStream) == 0) {
                    publish(kOpen);
                    state = IDLE;
                } else if ((req & kRun) != 0) {
                    publish(kOpen | kConnected | kPlaying);
                    state = PLAYING;
                }
                break;
            case PLAYING: {
                if ((req & kRun) == 0) {
                    publish(kOpen | kConnected);
                    state = CONNECTED;
                    break;
                }
                const uint32_t period = s.periodCount == 0 ? 0 : s.ringBytes / s.periodCount;
                if (period == 0 || !ready_(count, ring_ + offset, period)) {
                    break;
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    collected_.insert(collected_.end(), ring_ + offset, ring_ + offset + period);
                }
                offset += period;
                if (offset >= s.ringBytes) {
                    offset = 0;
                }
                ++count;
                consumed_ = count;
                storeField(header_->hostReadPos, offset);
                if (events_ != nullptr) {
                    bump(events_->notifies[0]);
                }
                if (config_.dropAfter != 0 && count == config_.dropAfter) {
                    publish(kOpen);
                    state = DROPPED;
                }
                busy = true;
                break;
            }
            case DROPPED:
                if ((req & kStream) == 0) {
                    state = IDLE;
                } else if (failNow_) {
                    publish(kError | kConnected | kOpen);
                    state = REFUSED;
                }
                break;
            }
            std::this_thread::sleep_for(busy ? 20us : 100us);
        }
    }

    uint8_t* ring_;
    BridgeMemHeader* header_;
    HostConfig config_;
    Ready ready_;
    testbed::DriverEvents* events_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> failNow_{false};
    std::atomic<uint64_t> consumed_{0};
    std::atomic<int64_t> streamSeenNs_{0};
    std::mutex mutex_;
    std::vector<uint8_t> collected_;
    std::vector<uint32_t> requests_;
    std::vector<Snapshot> snapshots_;
    std::vector<std::pair<int32_t, uint64_t>> volumes_;
    std::thread thread_;
};

// A host that stays less than a ring ahead of the player's refills: a
// position a whole ring on looks like no move at all. Reading period c
// wants period c + 1 - periods refilled, which the player does once it has
// seen that period read.
FakeHost::Ready pacedBy(const CardPlayer& player, uint32_t periods)
{
    return [&player, periods](uint64_t count, const uint8_t*, uint32_t) {
        return count + 1 < periods || player.periodsRefilled() >= count + 2 - periods || player.refillStopped();
    };
}

// The player's lines, kept for the assertions.
struct Lines {
    std::mutex mutex;
    std::vector<std::string> all;

    CardPlayer::Log log()
    {
        return [this](const char* line) {
            std::lock_guard<std::mutex> lock(mutex);
            all.emplace_back(line);
        };
    }
    bool has(const std::string& prefix)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::any_of(all.begin(), all.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    std::string text()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::string t;
        for (const std::string& l : all) {
            t += l + "\n";
        }
        return t;
    }
    // The lines that start with one of the prefixes, as the longest such
    // prefix, in order.
    std::vector<std::string> matching(const std::vector<std::string>& prefixes)
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        for (const std::string& l : all) {
            const std::string* best = nullptr;
            for (const std::string& p : prefixes) {
                if (l.rfind(p, 0) == 0 && (best == nullptr || p.size() > best->size())) {
                    best = &p;
                }
            }
            if (best != nullptr) {
                out.push_back(*best);
            }
        }
        return out;
    }
};

std::vector<uint8_t> counterBytes(uint64_t format, uint32_t channels, uint64_t frames)
{
    testbed::CounterSource source(format, channels, frames);
    std::vector<uint8_t> bytes(frames * source.frameBytes());
    source.read(bytes.data(), frames);
    return bytes;
}

bool allBytes(const std::vector<uint8_t>& bytes, size_t from, uint8_t value)
{
    return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                       [&](uint8_t b) { return b == value; });
}

PlayerOptions smallRing(uint64_t format, uint64_t rate, uint32_t channels)
{
    PlayerOptions o;
    o.format = format;
    o.rate = rate;
    o.channels = channels;
    o.periods = 4;
    o.periodFrames = 64;
    o.reportEvery = 0;
    return o;
}

// ---- Playing ----

struct CounterCase {
    const char* name;
    uint64_t format;
    uint64_t rate;
    uint32_t channels;
};

class PlayerCounter : public testing::TestWithParam<CounterCase> {};

TEST_P(PlayerCounter, TheHostReadsEveryFrameInOrderThenMute)
{
    const CounterCase& c = GetParam();
    Memory memory;
    CardPlayer player(memory.ring(), kRing);
    Lines lines;
    player.setLog(lines.log());
    const PlayerOptions o = smallRing(c.format, c.rate, c.channels);
    const uint64_t frames = 64 * 9 + 17;  // more than twice round the ring, ending inside a period
    testbed::CounterSource source(c.format, c.channels, frames);

    FakeHost host(memory.ring(), HostConfig{}, pacedBy(player, o.periods));
    ASSERT_EQ(player.play(&source, o), testbed::PLAY_OK) << lines.text();

    const std::vector<uint8_t> got = host.collected();
    const std::vector<uint8_t> want = counterBytes(c.format, c.channels, frames);
    ASSERT_GE(got.size(), want.size()) << lines.text();
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin()));
    EXPECT_TRUE(allBytes(got, want.size(), testbed::muteByte(c.format)));

    const testbed::CounterCheck check = testbed::checkCounter(got.data(), got.size(), c.format, c.channels);
    EXPECT_TRUE(check.clean()) << check.describe();
    EXPECT_EQ(check.frames, frames) << check.describe();
    EXPECT_EQ(check.firstIndex, 0u);

    ASSERT_EQ(host.snapshots().size(), 1u);
    const Snapshot s = host.snapshots()[0];
    EXPECT_EQ(s.format, c.format);
    EXPECT_EQ(s.rate, testbed::rateBit(testbed::cardRate(c.format, c.rate)));
    EXPECT_EQ(s.channels, uint64_t{1} << (c.channels - 1));
    EXPECT_EQ(s.periodCount, 4u);
    EXPECT_EQ(s.ringBytes, 4u * 64 * testbed::sampleBytes(c.format) * c.channels);
    EXPECT_TRUE(lines.has("stop reason=frames")) << lines.text();
}

INSTANTIATE_TEST_SUITE_P(Formats, PlayerCounter,
                         testing::Values(CounterCase{"pcm16", PCM16, 44100, 2}, CounterCase{"pcm24", PCM24, 48000, 2},
                                         CounterCase{"pcm32", PCM32, 96000, 1},
                                         CounterCase{"dsd_lsb_little", DSD_LSB_LITTLE, 2822400, 2},
                                         CounterCase{"dsd_msb_big", DSD_MSB_BIG, 2822400, 1}),
                         [](const testing::TestParamInfo<CounterCase>& info) { return std::string(info.param.name); });

TEST(Player, GoesUpAndDownInOrderAndSaysSo)
{
    Memory memory;
    CardPlayer player(memory.ring(), kRing);
    Lines lines;
    player.setLog(lines.log());
    PlayerOptions o = smallRing(PCM16, 44100, 2);
    o.reportEvery = 4;
    testbed::CounterSource source(PCM16, 2, 64 * 10);
    FakeHost host(memory.ring(), HostConfig{}, pacedBy(player, o.periods));
    ASSERT_EQ(player.play(&source, o), testbed::PLAY_OK) << lines.text();

    ASSERT_TRUE(testwait::waitFor([&] { return !host.requests().empty() && host.requests().back() == 0; }));
    EXPECT_EQ(host.requests(),
              (std::vector<uint32_t>{kInUse | kStream, kInUse | kStream | kRun, kInUse | kStream, kInUse, 0}));
    const std::vector<std::string> steps{"open status=0x3",
                                         "format chosen PCM16 44100 Hz 2 channels",
                                         "request inuse stream",
                                         "connected status=0x7",
                                         "ring filled periods=4",
                                         "run",
                                         "playing status=0xf",
                                         "stop reason=frames",
                                         "run off",
                                         "not playing status=0x7",
                                         "stream off",
                                         "disconnected status=0x3",
                                         "inuse off",
                                         "done frames=640"};
    EXPECT_EQ(lines.matching(steps), steps) << lines.text();
    // 4 filled and 6 refilled with audio, then mute refills while the host drains.
    EXPECT_TRUE(lines.has("periods written 8")) << lines.text();
    EXPECT_EQ(loadField(reinterpret_cast<BridgeMemHeader*>(memory.ring() + kRing)->driverRequest), 0u);
}

// The stamp of the stream request is what a start's latency is counted
// from: read on the monotonic clock, and before any host can see the request.
TEST(Player, StampsTheStreamRequestBeforeTheHostSeesIt)
{
    Memory memory;
    CardPlayer player(memory.ring(), kRing);
    Lines lines;
    player.setLog(lines.log());
    const PlayerOptions o = smallRing(PCM16, 44100, 2);
    testbed::CounterSource source(PCM16, 2, 64 * 4);
    FakeHost host(memory.ring(), HostConfig{}, pacedBy(player, o.periods));
    const int64_t before = monotonicNs();
    ASSERT_EQ(player.play(&source, o), testbed::PLAY_OK) << lines.text();

    const std::string prefix = "request inuse stream monotonic-ns ";
    ASSERT_TRUE(lines.has(prefix)) << lines.text();
    long long stamp = -1;
    for (const std::string& l : lines.all) {
        if (l.rfind(prefix, 0) == 0) {
            stamp = std::stoll(l.substr(prefix.size()));
        }
    }
    EXPECT_GE(stamp, before) << lines.text();
    ASSERT_NE(host.streamSeenNs(), 0);
    EXPECT_LE(stamp, host.streamSeenNs()) << lines.text();
}

TEST(Player, PlaysTheDataOfAWavFile)
{
    // PCM24 stereo, an odd-sized chunk before the data (padded to even).
    const uint32_t frames = 64 * 6 + 5;
    std::vector<uint8_t> data(frames * 6);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    std::vector<uint8_t> file;
    const auto put32 = [&](uint32_t v) {
        for (int b = 0; b < 4; ++b) {
            file.push_back(static_cast<uint8_t>(v >> (8 * b)));
        }
    };
    const auto put16 = [&](uint16_t v) {
        file.push_back(static_cast<uint8_t>(v));
        file.push_back(static_cast<uint8_t>(v >> 8));
    };
    const auto tag = [&](const char* t) { file.insert(file.end(), t, t + 4); };
    tag("RIFF");
    put32(0);
    tag("WAVE");
    tag("fmt ");
    put32(16);
    put16(1);
    put16(2);
    put32(48000);
    put32(48000 * 6);
    put16(6);
    put16(24);
    tag("LIST");
    put32(3);
    file.insert(file.end(), {'a', 'b', 'c', 0});
    tag("data");
    put32(static_cast<uint32_t>(data.size()));
    file.insert(file.end(), data.begin(), data.end());

    char path[] = "/tmp/card-player-wav-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, file.data(), file.size()), static_cast<ssize_t>(file.size()));
    close(fd);
    testbed::WavSource wav;
    std::string error;
    const bool opened = wav.open(path, error);
    unlink(path);
    ASSERT_TRUE(opened) << error;
    EXPECT_EQ(wav.info().format, PCM24);
    EXPECT_EQ(wav.info().dataBytes, data.size());

    Memory memory;
    CardPlayer player(memory.ring(), kRing);
    Lines lines;
    player.setLog(lines.log());
    const PlayerOptions o = smallRing(PCM24, 48000, 2);
    FakeHost host(memory.ring(), HostConfig{}, pacedBy(player, o.periods));
    ASSERT_EQ(player.play(&wav, o), testbed::PLAY_OK) << lines.text();
    const std::vector<uint8_t> got = host.collected();
    ASSERT_GE(got.size(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
    EXPECT_TRUE(allBytes(got, data.size(), 0));
}

TEST(Player, AStopRequestEndsAnEndlessPlayInOrder)
{
    Memory memory;
    CardPlayer player(memory.ring(), kRing);
    Lines lines;
    player.setLog(lines.log());
    const PlayerOptions o = smallRing(PCM16, 48000, 2);
    testbed::CounterSource source(PCM16, 2);
    FakeHost host(memory.ring(), HostConfig{}, pacedBy(player, o.periods));
    std::thread stopper([&] {
        testwait::waitFor([&] { return host.consumed() >= 12; });
        player.requestStop();
    });
    const int result = player.play(&source, o);
    stopper.join();
    ASSERT_EQ(result, testbed::PLAY_OK) << lines.text();
    EXPECT_TRUE(lines.has("stop reason=signal")) << lines.text();
    EXPECT_TRUE(lines.has("disconnected status=0x3")) << lines.text();
    const std::vector<uint8_t> got = host.collected();
    const testbed::CounterCheck check = testbed::checkCounter(got.data(), got.size(), PCM16, 2);
    EXPECT_TRUE(check.clean()) << check.describe();
    EXPECT_GE(check.frames, 12u * 64);
}

TEST(Player, StopsAfterTheSecondsAsked)
{
    Memory memory;
    CardPlayer player(memory.ring(), kRing);
    Lines lines;
    player.setLog(lines.log());
    PlayerOptions o = smallRing(PCM16, 44100, 2);
    o.seconds = 0.05;
    testbed::CounterSource source(PCM16, 2);
    FakeHost host(memory.ring(), HostConfig{}, pacedBy(player, o.periods));
    ASSERT_EQ(player.play(&source, o), testbed::PLAY_OK) << lines.text();
    EXPECT_TRUE(lines.has("stop reason=seconds")) << lines.text();
    EXPECT_TRUE(lines.has("inuse off")) << lines.text();
}

// A host whose stream is lost mid-play (the card open, not connected): the
// player gives up at once, or with --hold keeps its requests until the host
// shows its error.
TEST(Player, AHoldingPlayerKeepsItsRequestsThroughALostStream)
{
    for (const bool hold : {false, true}) {
        SCOPED_TRACE(hold ? "hold" : "no hold");
        Memory memory;
        CardPlayer player(memory.ring(), kRing);
        Lines lines;
        player.setLog(lines.log());
        PlayerOptions o = smallRing(PCM16, 48000, 2);
        o.hold = hold;
        testbed::CounterSource source(PCM16, 2);
        HostConfig config;
        config.dropAfter = 6;
        FakeHost host(memory.ring(), config, pacedBy(player, o.periods));
        int result = -1;
        std::thread play([&] { result = player.play(&source, o); });
        if (hold) {
            EXPECT_TRUE(testwait::waitFor([&] { return lines.has("holding status=0x3"); })) << lines.text();
            // Still asking for the stream and its run while the host has none.
            EXPECT_EQ(host.requests().back(), kInUse | kStream | kRun);
            host.failNow();
        }
        play.join();
        EXPECT_EQ(result, testbed::PLAY_FAILED) << lines.text();
        EXPECT_EQ(lines.has("holding status="), hold) << lines.text();
        EXPECT_TRUE(lines.has(hold ? "error status=0x80000007" : "error status=0x3")) << lines.text();
        EXPECT_TRUE(lines.has("inuse off")) << lines.text();
    }
}

// A host that connects and runs but never reads: a play of a second or more
// shows nothing of the host, so it fails however it ends (here on its time).
TEST(Player, APlayTheHostNeverReadIsAFailure)
{
    Memory memory;
    CardPlayer player(memory.ring(), kRing);
    Lines lines;
    player.setLog(lines.log());
    PlayerOptions o = smallRing(PCM16, 44100, 2);
    o.seconds = 1.2;
    testbed::CounterSource source(PCM16, 2);
    FakeHost host(memory.ring(), HostConfig{}, [](uint64_t, const uint8_t*, uint32_t) { return false; });
    EXPECT_EQ(player.play(&source, o), testbed::PLAY_FAILED) << lines.text();
    EXPECT_TRUE(lines.has("stop reason=seconds")) << lines.text();
    EXPECT_TRUE(lines.has("error: the host read nothing in ")) << lines.text();
    EXPECT_TRUE(lines.has("done frames=")) << lines.text();
    EXPECT_EQ(host.consumed(), 0U);
}

TEST(Player, WaitsOnTheEventCounters)
{
    auto events = std::make_unique<testbed::DriverEvents>();
    std::memset(events.get(), 0, sizeof(*events));
    events->magic = testbed::DriverEvents::kMagic;
    Memory memory;
    CardPlayer player(memory.ring(), kRing);
    player.setEvents(events.get(), 0);
    Lines lines;
    player.setLog(lines.log());
    const PlayerOptions o = smallRing(PCM32, 44100, 2);
    testbed::CounterSource source(PCM32, 2, 64 * 12);
    FakeHost host(memory.ring(), HostConfig{}, pacedBy(player, o.periods), events.get());
    ASSERT_EQ(player.play(&source, o), testbed::PLAY_OK) << lines.text();
    const std::vector<uint8_t> got = host.collected();
    const testbed::CounterCheck check = testbed::checkCounter(got.data(), got.size(), PCM32, 2);
    EXPECT_TRUE(check.clean()) << check.describe();
    EXPECT_EQ(check.frames, 64u * 12);
    host.quit();
}

TEST(Player, SetsTheVolumeOnceTheHostHasReadEnough)
{
    Memory memory;
    CardPlayer player(memory.ring(), kRing);
    Lines lines;
    player.setLog(lines.log());
    PlayerOptions o = smallRing(PCM16, 44100, 2);
    o.volume = 5001;
    o.volumeAfter = 6;
    testbed::CounterSource source(PCM16, 2, 64 * 16);
    HostConfig config;
    config.volumeAnswer = 4999;
    FakeHost host(memory.ring(), config, pacedBy(player, o.periods));
    ASSERT_EQ(player.play(&source, o), testbed::PLAY_OK) << lines.text();
    const auto volumes = host.volumes();
    ASSERT_FALSE(volumes.empty());
    EXPECT_EQ(volumes[0].first, 5001);
    EXPECT_GE(volumes[0].second, 6u);
    EXPECT_TRUE(lines.has("volume set 5001")) << lines.text();
    // The host's own value comes back as a line of its own.
    EXPECT_TRUE(lines.has("volume now 4999")) << lines.text();
}

TEST(Player, AnUnderrunLeavesThePeriodsAsTheyWere)
{
    Memory memory;
    CardPlayer player(memory.ring(), kRing);
    Lines lines;
    player.setLog(lines.log());
    PlayerOptions o = smallRing(PCM16, 44100, 2);
    o.underrunAfter = 2;
    const uint64_t periods = 12;
    testbed::CounterSource source(PCM16, 2, 64 * periods);
    FakeHost host(memory.ring(), HostConfig{}, pacedBy(player, o.periods));
    ASSERT_EQ(player.play(&source, o), testbed::PLAY_OK) << lines.text();
    EXPECT_TRUE(lines.has("underrun after 2 periods")) << lines.text();
    EXPECT_TRUE(lines.has("stop reason=frames")) << lines.text();
    EXPECT_EQ(player.periodsRefilled(), 2u);

    // The fill and the two refills in order, then the ring as it stood:
    // slots 0 and 1 with periods 4 and 5, slots 2 and 3 with 2 and 3.
    const std::vector<uint8_t> got = host.collected();
    const size_t period = 64 * 4;
    ASSERT_GE(got.size(), periods * period);
    const std::vector<uint8_t> all = counterBytes(PCM16, 2, 64 * periods);
    EXPECT_TRUE(std::equal(all.begin(), all.begin() + 6 * period, got.begin()));
    for (size_t k = 6; k < periods; ++k) {
        const size_t slot = k % 4;
        const size_t held = slot < 2 ? slot + 4 : slot;
        EXPECT_TRUE(
            std::equal(all.begin() + held * period, all.begin() + (held + 1) * period, got.begin() + k * period))
            << "period " << k;
    }
    const testbed::CounterCheck check = testbed::checkCounter(got.data(), got.size(), PCM16, 2);
    EXPECT_GT(check.repeats, 0u) << check.describe();
}

// ---- What the player refuses before asking ----

struct NotOffered {
    const char* name;
    uint64_t format;
    uint64_t rate;
    uint32_t channels;
    const char* line;
};

class PlayerNotOffered : public testing::TestWithParam<NotOffered> {};

TEST_P(PlayerNotOffered, ExitsWithStatusTwoAndAsksNothing)
{
    const NotOffered& c = GetParam();
    Memory memory;
    CardPlayer player(memory.ring(), kRing);
    Lines lines;
    player.setLog(lines.log());
    const PlayerOptions o = smallRing(c.format, c.rate, c.channels);
    testbed::CounterSource source(c.format == testbed::kDsdFormats ? DSD_LSB_LITTLE : c.format, c.channels, 64);
    HostConfig config;
    config.formats = PCM16 | PCM32;
    FakeHost host(memory.ring(), config, [](uint64_t, const uint8_t*, uint32_t) { return true; });
    EXPECT_EQ(player.play(&source, o), testbed::PLAY_NOT_OFFERED) << lines.text();
    EXPECT_TRUE(lines.has(c.line)) << lines.text();
    EXPECT_EQ(loadField(reinterpret_cast<BridgeMemHeader*>(memory.ring() + kRing)->driverRequest), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerNotOffered,
    testing::Values(NotOffered{"format", PCM24, 44100, 2, "error: format PCM24 not offered (formats=0x82)"},
                    NotOffered{"rate", PCM16, 384000, 2, "error: rate 384000 Hz not offered"},
                    NotOffered{"channels", PCM16, 44100, 4, "error: 4 channels not offered (channels=0x3)"},
                    NotOffered{"dsd", testbed::kDsdFormats, 2822400, 2, "error: no DSD format offered"}),
    [](const testing::TestParamInfo<NotOffered>& info) { return std::string(info.param.name); });

// ---- Invalid headers on purpose ----

struct InvalidCase {
    InvalidHeader kind;
    std::function<bool(const Snapshot&)> shows;
};

class PlayerInvalid : public testing::TestWithParam<InvalidCase> {};

TEST_P(PlayerInvalid, TheHostsRefusalIsReportedAndTheRequestsGo)
{
    const InvalidCase& c = GetParam();
    Memory memory;
    CardPlayer player(memory.ring(), kRing);
    Lines lines;
    player.setLog(lines.log());
    PlayerOptions o = smallRing(PCM16, 44100, 2);
    o.invalid = c.kind;
    HostConfig config;
    config.formats = PCM16 | PCM32 | testbed::kDsdFormats;
    FakeHost host(memory.ring(), config, [](uint64_t, const uint8_t*, uint32_t) { return true; });
    ASSERT_EQ(player.play(static_cast<testbed::Source*>(nullptr), o), testbed::PLAY_OK) << lines.text();
    EXPECT_TRUE(lines.has("error status=0x80000007")) << lines.text();
    EXPECT_TRUE(lines.has(std::string("invalid header ") + testbed::invalidHeaderName(c.kind))) << lines.text();
    ASSERT_TRUE(testwait::waitFor([&] { return !host.requests().empty() && host.requests().back() == 0; }));
    EXPECT_EQ(host.requests(), (std::vector<uint32_t>{kInUse | kStream, kInUse, 0}));
    ASSERT_EQ(host.snapshots().size(), 1u);
    EXPECT_TRUE(c.shows(host.snapshots()[0]));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PlayerInvalid,
    testing::Values(
        InvalidCase{InvalidHeader::PERIOD_COUNT_ZERO, [](const Snapshot& s) { return s.periodCount == 0; }},
        InvalidCase{
            InvalidHeader::PERIOD_COUNT_HIGH,
            [](const Snapshot& s) { return s.periodCount == kPeriodMax + 1 && s.ringBytes % s.periodCount == 0; }},
        InvalidCase{InvalidHeader::RING_TOO_BIG,
                    [](const Snapshot& s) { return s.ringBytes > kRing && s.ringBytes % s.periodCount == 0; }},
        InvalidCase{InvalidHeader::NOT_DIVISIBLE,
                    [](const Snapshot& s) { return s.periodCount == 4 && s.ringBytes % 4 != 0; }},
        InvalidCase{InvalidHeader::PARTIAL_FRAME,
                    [](const Snapshot& s) {
                        return s.ringBytes % s.periodCount == 0 && (s.ringBytes / s.periodCount) % 4 != 0;
                    }},
        InvalidCase{InvalidHeader::CHANNEL_BIT, [](const Snapshot& s) { return s.channels == 0x4; }},
        InvalidCase{InvalidHeader::FORMAT_NOT_OFFERED, [](const Snapshot& s) { return s.format == PCM24; }},
        InvalidCase{InvalidHeader::FORMAT_CODE, [](const Snapshot& s) { return s.format == (PCM16 | PCM24); }}),
    [](const testing::TestParamInfo<InvalidCase>& info) {
        std::string name = testbed::invalidHeaderName(info.param.kind);
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

TEST(Player, AnInvalidHeaderTheHostConnectsIsAFailure)
{
    Memory memory;
    CardPlayer player(memory.ring(), kRing);
    Lines lines;
    player.setLog(lines.log());
    PlayerOptions o = smallRing(PCM16, 44100, 2);
    o.invalid = InvalidHeader::NOT_DIVISIBLE;
    HostConfig config;
    config.validate = false;
    FakeHost host(memory.ring(), config, [](uint64_t, const uint8_t*, uint32_t) { return true; });
    EXPECT_EQ(player.play(static_cast<testbed::Source*>(nullptr), o), testbed::PLAY_FAILED);
    EXPECT_TRUE(lines.has("error: the host connected an invalid header")) << lines.text();
    EXPECT_TRUE(lines.has("disconnected status=0x3")) << lines.text();
}

TEST(Player, AHostErrorDuringPlayIsAFailureAndStillTakesItDown)
{
    Memory memory;
    auto* header = reinterpret_cast<BridgeMemHeader*>(memory.ring() + kRing);
    CardPlayer player(memory.ring(), kRing);
    Lines lines;
    player.setLog(lines.log());
    const PlayerOptions o = smallRing(PCM16, 44100, 2);
    testbed::CounterSource source(PCM16, 2);
    // A host that fails the stream after a few periods.
    FakeHost host(memory.ring(), HostConfig{}, [&](uint64_t count, const uint8_t*, uint32_t) {
        if (count == 6) {
            storeField(header->hostStatus, kError | kConnected | kOpen);
        }
        return count < 6 && (count < 3 || player.periodsRefilled() >= count - 2);
    });
    EXPECT_EQ(player.play(&source, o), testbed::PLAY_FAILED);
    EXPECT_TRUE(lines.has("error status=0x80000007")) << lines.text();
    EXPECT_TRUE(lines.has("stop reason=error")) << lines.text();
    EXPECT_TRUE(lines.has("inuse off")) << lines.text();
}

// ---- Sources ----

TEST(CounterPattern, CarriesTheIndexInEveryChannel)
{
    uint8_t frame[8];
    testbed::writeCounterFrame(frame, PCM16, 2, 0x12345);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 4), (std::vector<uint8_t>{0x45, 0x23, 0x45, 0x23}));
    testbed::writeCounterFrame(frame, PCM24, 2, 0x1234567);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 6), (std::vector<uint8_t>{0x67, 0x45, 0x23, 0x67, 0x45, 0x23}));
    testbed::writeCounterFrame(frame, PCM32, 1, 0x89ABCDEF);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 4), (std::vector<uint8_t>{0xEF, 0xCD, 0xAB, 0x89}));
    // DSD: frame 0 is mute, so a recording starts the same way as with PCM.
    testbed::writeCounterFrame(frame, DSD_LSB_LITTLE, 2, 0);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 8), std::vector<uint8_t>(8, 0x69));
    testbed::writeCounterFrame(frame, DSD_MSB_BIG, 1, 1);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 4), (std::vector<uint8_t>{0x97, 0x96, 0x96, 0x96}));
}

TEST(SineSource, PcmPeaksAtTheAmplitudeAndDsdAveragesToTheSignal)
{
    testbed::SineSource pcm(PCM16, 2, 48000, 1000, 0.5, 480);
    std::vector<uint8_t> bytes(480 * 4);
    ASSERT_EQ(pcm.read(bytes.data(), 1000), 480u);
    int peak = 0;
    for (size_t i = 0; i < 480; ++i) {
        const int16_t left = static_cast<int16_t>(bytes[4 * i] | bytes[4 * i + 1] << 8);
        const int16_t right = static_cast<int16_t>(bytes[4 * i + 2] | bytes[4 * i + 3] << 8);
        ASSERT_EQ(left, right);
        peak = std::max(peak, std::abs(static_cast<int>(left)));
    }
    EXPECT_NEAR(peak, 16383, 2);

    // A slow tone in DSD: the density of ones in the first quarter period
    // follows the rising half of the sine.
    testbed::SineSource dsd(DSD_MSB_BIG, 1, 2822400, 100, 0.5, 0);
    std::vector<uint8_t> words(2822400 / 400 / 32 * 4);
    dsd.read(words.data(), words.size() / 4);
    int ones = 0;
    for (uint8_t b : words) {
        ones += __builtin_popcount(b);
    }
    const double density = static_cast<double>(ones) / (words.size() * 8);
    // Mean of 0.5 + 0.25 sin over a quarter period: 0.5 + 0.25 x 2/pi.
    EXPECT_NEAR(density, 0.5 + 0.25 * 2 / 3.14159265, 0.01);
}

// ---- WAV files ----

std::vector<uint8_t> wavFile(uint16_t tag, uint16_t channels, uint16_t bits, uint16_t blockAlign, uint32_t dataBytes,
                             size_t actualData, bool extensible = false, uint16_t subTag = 1)
{
    std::vector<uint8_t> f;
    f.reserve(128);
    const auto put32 = [&](uint32_t v) {
        for (int b = 0; b < 4; ++b) {
            f.push_back(static_cast<uint8_t>(v >> (8 * b)));
        }
    };
    const auto put16 = [&](uint16_t v) {
        f.push_back(static_cast<uint8_t>(v));
        f.push_back(static_cast<uint8_t>(v >> 8));
    };
    const auto id = [&](const char* t) {
        for (int i = 0; i < 4; ++i) {
            f.push_back(static_cast<uint8_t>(t[i]));
        }
    };
    id("RIFF");
    put32(0xFFFFFFFF);
    id("WAVE");
    id("fmt ");
    put32(extensible ? 40 : 16);
    put16(extensible ? 0xFFFE : tag);
    put16(channels);
    put32(44100);
    put32(44100u * blockAlign);
    put16(blockAlign);
    put16(bits);
    if (extensible) {
        put16(22);
        put16(bits);
        put32(3);
        put16(subTag);
        f.insert(f.end(), 14, 0);
    }
    id("data");
    put32(dataBytes);
    f.insert(f.end(), actualData, 0x11);
    return f;
}

struct WavCase {
    const char* name;
    std::vector<uint8_t> file;
    bool ok;
    uint64_t format;
    size_t dataBytes;
    const char* error;
};

class Wav : public testing::TestWithParam<WavCase> {};

TEST_P(Wav, ParsesOrRefuses)
{
    const WavCase& c = GetParam();
    testbed::WavInfo info;
    std::string error;
    ASSERT_EQ(testbed::parseWav(c.file.data(), c.file.size(), info, error), c.ok) << error;
    if (c.ok) {
        EXPECT_EQ(info.format, c.format);
        EXPECT_EQ(info.dataBytes, c.dataBytes);
        EXPECT_EQ(info.dataOffset + c.dataBytes <= c.file.size(), true);
    } else {
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, Wav,
    testing::Values(WavCase{"pcm16", wavFile(1, 2, 16, 4, 400, 400), true, PCM16, 400, ""},
                    WavCase{"pcm32_extensible", wavFile(0, 2, 32, 8, 800, 800, true), true, PCM32, 800, ""},
                    // A recorder that never finished: the size is cut to the file, and to whole frames.
                    WavCase{"unfinished_data", wavFile(1, 2, 24, 6, 0xFFFFFFFF, 605), true, PCM24, 600, ""},
                    WavCase{"float", wavFile(3, 2, 32, 8, 80, 80), false, 0, 0, "format tag 0x3"},
                    WavCase{"float_extensible", wavFile(0, 2, 32, 8, 80, 80, true, 3), false, 0, 0, "format tag 0x3"},
                    WavCase{"eight_bit", wavFile(1, 2, 8, 2, 80, 80), false, 0, 0, "8 bits"},
                    WavCase{"block_align", wavFile(1, 2, 16, 6, 80, 80), false, 0, 0, "block align 6"},
                    WavCase{"no_channels", wavFile(1, 0, 16, 0, 80, 80), false, 0, 0, "channels 0"},
                    WavCase{"not_riff", std::vector<uint8_t>(64, 'x'), false, 0, 0, "not a RIFF/WAVE"},
                    WavCase{"no_data",
                            [] {
                                std::vector<uint8_t> f = wavFile(1, 2, 16, 4, 0, 0);
                                f.resize(f.size() - 8);
                                return f;
                            }(),
                            false, 0, 0, "no data chunk"}),
    [](const testing::TestParamInfo<WavCase>& info) { return std::string(info.param.name); });

// ---- The checker ----

struct Recording {
    Recording(uint64_t f, uint32_t c) : format(f), channels(c) {}
    uint64_t format;
    uint32_t channels;
    std::vector<uint8_t> bytes;

    Recording& mute(size_t count)
    {
        bytes.insert(bytes.end(), count, testbed::muteByte(format));
        return *this;
    }
    Recording& frames(uint64_t from, uint64_t to)  // [from, to)
    {
        const uint32_t size = testbed::sampleBytes(format) * channels;
        for (uint64_t i = from; i < to; ++i) {
            const size_t at = bytes.size();
            bytes.resize(at + size);
            testbed::writeCounterFrame(bytes.data() + at, format, channels, i);
        }
        return *this;
    }
    Recording& raw(std::vector<uint8_t> more)
    {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }
};

struct CheckCase {
    const char* name;
    Recording recording;
    uint64_t frames;
    uint64_t first;
    uint64_t leadingMute;
    uint64_t gaps;
    uint64_t missing;
    uint64_t repeats;
    uint64_t repeated;
    uint64_t muteRuns;
    uint64_t bad;
    uint64_t trailingMute;
};

class Checker : public testing::TestWithParam<CheckCase> {};

TEST_P(Checker, FindsThePatternAndItsFaults)
{
    const CheckCase& c = GetParam();
    const testbed::CounterCheck r = testbed::checkCounter(c.recording.bytes.data(), c.recording.bytes.size(),
                                                          c.recording.format, c.recording.channels);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.frames, c.frames) << r.describe();
    EXPECT_EQ(r.firstIndex, c.first) << r.describe();
    EXPECT_EQ(r.leadingMuteBytes, c.leadingMute) << r.describe();
    EXPECT_EQ(r.gaps, c.gaps) << r.describe();
    EXPECT_EQ(r.missingFrames, c.missing) << r.describe();
    EXPECT_EQ(r.repeats, c.repeats) << r.describe();
    EXPECT_EQ(r.repeatedFrames, c.repeated) << r.describe();
    EXPECT_EQ(r.muteRuns, c.muteRuns) << r.describe();
    EXPECT_EQ(r.badFrames, c.bad) << r.describe();
    EXPECT_EQ(r.trailingMuteBytes, c.trailingMute) << r.describe();
    EXPECT_EQ(r.clean(), c.gaps == 0 && c.repeats == 0 && c.muteRuns == 0 && c.bad == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, Checker,
    testing::Values(
        // Frame 0 is mute and hides in the pre-roll.
        CheckCase{"preroll", Recording{PCM16, 2}.mute(4000).frames(0, 300).mute(40), 300, 0, 4000, 0, 0, 0, 0, 0, 0,
                  40},
        CheckCase{"no_preroll", Recording{PCM24, 2}.frames(5, 305), 300, 5, 0, 0, 0, 0, 0, 0, 0, 0},
        // A pre-roll that is not whole frames: the alignment comes from the data.
        CheckCase{"odd_preroll", Recording{PCM32, 2}.mute(13).frames(0, 100), 100, 0, 13, 0, 0, 0, 0, 0, 0, 0},
        // Index 256 starts with a mute byte.
        CheckCase{"starts_at_256", Recording{PCM16, 1}.mute(10).frames(256, 300), 44, 256, 10, 0, 0, 0, 0, 0, 0, 0},
        CheckCase{"gap", Recording{PCM16, 2}.mute(64).frames(0, 100).frames(164, 200), 136, 0, 64, 1, 64, 0, 0, 0, 0,
                  0},
        // A period played twice: 100 frames again, then on.
        CheckCase{"repeat", Recording{PCM24, 2}.mute(60).frames(0, 200).frames(100, 300), 400, 0, 60, 0, 0, 1, 100, 0,
                  0, 0},
        CheckCase{"mute_insert", Recording{PCM16, 2}.mute(8).frames(0, 50).mute(1763).frames(50, 90), 90, 0, 8, 0, 0, 0,
                  0, 1, 0, 0},
        // The 16-bit index wraps through a mute frame.
        CheckCase{"wrap16", Recording{PCM16, 2}.mute(8).frames(65500, 65600), 100, 65500, 8, 0, 0, 0, 0, 0, 0, 0},
        CheckCase{"dsd", Recording{DSD_LSB_LITTLE, 2}.mute(800).frames(0, 120).frames(130, 140).mute(16), 130, 0, 800,
                  1, 10, 0, 0, 0, 0, 16},
        CheckCase{"channels_disagree", Recording{PCM16, 2}.frames(1, 10).raw({10, 0, 11, 0}).frames(11, 20), 18, 1, 0,
                  0, 0, 0, 0, 0, 1, 0}),
    [](const testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

TEST(Checker, AllMuteHasNoPattern)
{
    const std::vector<uint8_t> mute(4096, 0x96);
    const testbed::CounterCheck r = testbed::checkCounter(mute.data(), mute.size(), DSD_MSB_BIG, 2);
    EXPECT_FALSE(r.found);
    EXPECT_FALSE(r.clean());
    EXPECT_EQ(r.leadingMuteBytes, 4096u);
}

// ---- The program ----

std::string playerPath()
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
        return {};
    }
    const std::string exe(self, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/')) + "/../testbed/card-player";
}

// A card node file and its shared mapping, removed at the end.
struct CardFile {
    std::string path;
    uint8_t* map = nullptr;
    size_t size = kRing + QUORVIN::BRIDGE_HEADER_SIZE;

    CardFile()
    {
        char name[] = "/tmp/card-player-node-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) {
            return;
        }
        path = name;
        if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
            void* m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            map = m == MAP_FAILED ? nullptr : static_cast<uint8_t*>(m);
        }
        close(fd);
    }
    ~CardFile()
    {
        if (map != nullptr) {
            munmap(map, size);
        }
        if (!path.empty()) {
            unlink(path.c_str());
        }
    }
};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class Program {
public:
    ~Program()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            close(out_);
        }
        if (err_ >= 0) {
            close(err_);
        }
    }
    bool start(const std::vector<std::string>& args)
    {
        int o[2];
        int e[2];
        if (pipe2(o, O_CLOEXEC) != 0 || pipe2(e, O_CLOEXEC) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, o[1], 1);
        posix_spawn_file_actions_adddup2(&actions, e[1], 2);
        std::vector<std::string> all{playerPath()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const int r = posix_spawn(&pid_, all[0].c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(o[1]);
        close(e[1]);
        out_ = o[0];
        err_ = e[0];
        if (r != 0) {
            pid_ = -1;
        }
        return r == 0;
    }
    pid_t pid() const { return pid_; }
    // Reads both outputs to their end and reaps the program; false after the time-out.
    bool finish(Outcome& run, std::chrono::milliseconds timeout = 30000ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        bool outOpen = true;
        bool errOpen = true;
        while (outOpen || errOpen) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd p[2] = {{outOpen ? out_ : -1, POLLIN, 0}, {errOpen ? err_ : -1, POLLIN, 0}};
            if (poll(p, 2, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char buf[4096];
            for (int i = 0; i < 2; ++i) {
                if (p[i].revents == 0) {
                    continue;
                }
                const ssize_t n = read(i == 0 ? out_ : err_, buf, sizeof(buf));
                if (n <= 0) {
                    (i == 0 ? outOpen : errOpen) = false;
                } else {
                    (i == 0 ? run.out : run.err).append(buf, static_cast<size_t>(n));
                }
            }
        }
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_) {
            return false;
        }
        pid_ = -1;
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
};

// Across processes the host cannot ask the player what it wrote: before it
// reads period c it waits for the next slot to hold period c + 1 (the counter
// frame due there, or mute past the end), so it stays less than a ring ahead.
FakeHost::Ready pacedByContent(uint8_t* ring, uint64_t format, uint32_t channels, uint32_t periods, uint64_t frames)
{
    return [=](uint64_t count, const uint8_t*, uint32_t bytes) {
        if (count + 1 < periods) {
            return true;
        }
        const uint32_t frameBytes = testbed::sampleBytes(format) * channels;
        const uint64_t next = count + 1;
        const uint8_t* slot = ring + (next % periods) * bytes;
        const uint64_t first = next * (bytes / frameBytes);
        if (first >= frames) {
            return std::all_of(slot, slot + bytes, [&](uint8_t b) { return b == testbed::muteByte(format); });
        }
        uint8_t want[64];
        testbed::writeCounterFrame(want, format, channels, first);
        return std::memcmp(want, slot, frameBytes) == 0;
    };
}

TEST(PlayerProgram, PlaysIntoACardFileWithTheEventBlock)
{
    CardFile card;
    ASSERT_NE(card.map, nullptr);
    // The event block as the driver stand-in keeps it, in a file of its own.
    char eventsName[] = "/tmp/card-player-events-XXXXXX";
    const int efd = mkstemp(eventsName);
    ASSERT_GE(efd, 0);
    ASSERT_EQ(ftruncate(efd, sizeof(testbed::DriverEvents)), 0);
    void* em = mmap(nullptr, sizeof(testbed::DriverEvents), PROT_READ | PROT_WRITE, MAP_SHARED, efd, 0);
    close(efd);
    ASSERT_NE(em, MAP_FAILED);
    auto* events = static_cast<testbed::DriverEvents*>(em);
    storeField(events->magic, testbed::DriverEvents::kMagic);

    const uint64_t frames = 64 * 20;
    Outcome run;
    {
        FakeHost host(card.map, HostConfig{}, pacedByContent(card.map, PCM24, 2, 4, frames), events);
        Program program;
        ASSERT_TRUE(program.start({card.path, "--events", eventsName, "--card", "0", "--format", "pcm24", "--rate",
                                   "48000", "--periods", "4", "--period-frames", "64", "--frames",
                                   std::to_string(frames), "--report-every", "0"}));
        ASSERT_TRUE(program.finish(run));
        const std::vector<uint8_t> got = host.collected();
        const testbed::CounterCheck check = testbed::checkCounter(got.data(), got.size(), PCM24, 2);
        EXPECT_TRUE(check.clean()) << check.describe();
        EXPECT_EQ(check.frames, frames) << check.describe();
    }
    munmap(em, sizeof(testbed::DriverEvents));
    unlink(eventsName);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\nconnected status=0x7\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\ninuse off\n"), std::string::npos) << run.out;
}

TEST(PlayerProgram, EndsInOrderOnSigterm)
{
    CardFile card;
    ASSERT_NE(card.map, nullptr);
    FakeHost host(card.map, HostConfig{}, pacedByContent(card.map, PCM16, 2, 4, UINT64_MAX));
    Program program;
    ASSERT_TRUE(program.start({card.path, "--periods", "4", "--period-frames", "64", "--report-every", "0"}));
    ASSERT_TRUE(testwait::waitFor([&] { return host.consumed() >= 8; }));
    kill(program.pid(), SIGTERM);
    Outcome run;
    ASSERT_TRUE(program.finish(run));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\nstop reason=signal\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\ndisconnected status=0x3\n"), std::string::npos) << run.out;
    const std::vector<uint8_t> got = host.collected();
    const testbed::CounterCheck check = testbed::checkCounter(got.data(), got.size(), PCM16, 2);
    EXPECT_TRUE(check.clean()) << check.describe();
}

TEST(PlayerProgram, AFormatNotOfferedExitsWithTwo)
{
    CardFile card;
    ASSERT_NE(card.map, nullptr);
    HostConfig config;
    config.formats = PCM16;
    FakeHost host(card.map, config, [](uint64_t, const uint8_t*, uint32_t) { return true; });
    Program program;
    ASSERT_TRUE(program.start({card.path, "--format", "pcm32"}));
    Outcome run;
    ASSERT_TRUE(program.finish(run));
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_NE(run.out.find("error: format PCM32 not offered"), std::string::npos) << run.out;
}

}  // namespace
