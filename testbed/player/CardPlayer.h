// Plays into a card the way an application and the driver together do:
// chooses a format from what the host offers, asks for a stream, fills the
// ring, runs, refills each period the host has read, and takes it all down
// again at the end. It can also misbehave on purpose (an underrun, a volume
// change, an invalid header) to show how the host answers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bridge/BridgeMemHeader.h"
#include "testbed/driver/DriverEvents.h"
#include "testbed/player/Sources.h"

namespace testbed {

// Headers the host is to refuse with its error status.
enum class InvalidHeader {
    NONE,
    PERIOD_COUNT_ZERO,   // "period-count-0"
    PERIOD_COUNT_HIGH,   // "period-count-high": one above periodMax
    RING_TOO_BIG,        // "ring-too-big": ringBytes above the ring
    NOT_DIVISIBLE,       // "not-divisible": ringBytes not a multiple of periodCount
    PARTIAL_FRAME,       // "partial-frame": a period that is not whole frames
    CHANNEL_BIT,         // "channel-bit": 3 channels, which no sink takes
    FORMAT_NOT_OFFERED,  // "format-not-offered": a PCM or DSD code missing from formatMask
    FORMAT_CODE,         // "format-code": two format bits at once
};
const char* invalidHeaderName(InvalidHeader kind);
bool parseInvalidHeader(const std::string& text, InvalidHeader& kind);

struct PlayerOptions {
    uint64_t format = QUORVIN::QUORVIN_BR_FORMAT_PCM16;  // kDsdFormats: the DSD code the host offers
    uint64_t rate = 44100;                               // Hz; for DSD the one-bit rate (2822400 = DSD64)
    uint32_t channels = 2;
    uint32_t periods = 0;        // 0: 8, held to the host's periodMin..periodMax
    uint32_t periodFrames = 0;   // 0: about 10 ms, held to periodSizeMin..periodSizeMax
    double seconds = 0;          // stop after this long in RUN; 0: when the source ends (or a stop request)
    int32_t volume = 0;          // set the card volume to this, 1..10001; 0: leave it
    uint64_t volumeAfter = 0;    // ... once the host has read this many periods
    int64_t underrunAfter = -1;  // stop refilling after this many refills; -1 never
    InvalidHeader invalid = InvalidHeader::NONE;
    std::chrono::milliseconds timeout{10000};  // for each wait on the host
    // While playing, a host that shows the card open but no longer connected
    // (its stream ended on its own) is waited for as it connects again, with
    // the requests kept, rather than taken as an error; its error status or
    // a card no longer open still ends the play. What the host reads after
    // it connected again is not checked against the ring.
    bool hold = false;
    uint32_t reportEvery = 16;                 // "periods written" every so many periods; 0 only at the end
};

enum PlayResult : int {
    PLAY_OK = 0,
    PLAY_FAILED = 1,
    PLAY_NOT_OFFERED = 2,  // the wanted format, rate or channel count is not offered
};

class CardPlayer {
public:
    using Log = std::function<void(const char* line)>;

    // The mapping: `ringSize` ring bytes (periodMax x periodSizeMax of the
    // host's limits), then the 232-byte header, 8-byte aligned.
    CardPlayer(uint8_t* ring, uint64_t ringSize);

    // Waits on the driver stand-in's counters of this card (wakeups for the
    // status, notifies for the host's reads); without them the header is polled.
    void setEvents(const DriverEvents* events, int card);
    // One line per event; the default prints to standard output.
    void setLog(Log log) { log_ = std::move(log); }

    // Ends a play as an orderly stop. Safe in a signal handler.
    void requestStop() { stop_.store(true, std::memory_order_relaxed); }

    // A PlayResult. `source` gives the audio; with an invalid header it is not read.
    int play(Source* source, const PlayerOptions& options);
    // The source made for the format chosen (the DSD code the host offers for kDsdFormats).
    using SourceFactory = std::function<std::unique_ptr<Source>(uint64_t format)>;
    int play(const SourceFactory& make, const PlayerOptions& options);

    // For a host in the same process: refills done so far (release, so the
    // period's bytes are visible to whoever reads this).
    uint64_t periodsRefilled() const { return refilled_.load(std::memory_order_acquire); }
    bool refillStopped() const { return refillStopped_.load(std::memory_order_acquire); }

private:
    enum class Counter { WAKEUPS, NOTIFIES };
    using Clock = std::chrono::steady_clock;

    template <typename Done>
    bool waitFor(Done done, Clock::time_point deadline, Counter counter);
    void say(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    uint32_t status() const { return QUORVIN::loadField(header_->hostStatus); }
    void request(uint32_t bits);
    // Fills one period from the source, mute after its end; frames taken.
    size_t pull(uint8_t* period);
    bool teardown(bool running, bool refused, const PlayerOptions& options);
    int run(const std::function<Source*(uint64_t format)>& source, const PlayerOptions& options);

    uint8_t* ring_;
    uint64_t ringSize_;
    QUORVIN::BridgeMemHeader* header_;
    const uint32_t* wakeups_ = nullptr;
    const uint32_t* notifies_ = nullptr;
    Log log_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> refilled_{0};
    std::atomic<bool> refillStopped_{false};

    // One play's state.
    Source* source_ = nullptr;
    uint32_t frameBytes_ = 0;
    uint32_t periodFrames_ = 0;
    uint8_t mute_ = 0;
    bool sourceDone_ = false;
    uint64_t audioPeriods_ = 0;  // periods that got at least one frame of the source
    uint64_t frames_ = 0;
    std::vector<uint8_t> scratch_;  // where an underrun puts what it no longer writes
};

}  // namespace testbed
