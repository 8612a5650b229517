#include "testbed/player/CardPlayer.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "testbed/player/CardFormat.h"
#include "testbed/player/CardMap.h"

namespace testbed {

namespace {

using QUORVIN::loadField;
using QUORVIN::storeField;

struct InvalidName {
    InvalidHeader kind;
    const char* name;
};
constexpr InvalidName kInvalidNames[] = {
    {InvalidHeader::NONE, "none"},
    {InvalidHeader::PERIOD_COUNT_ZERO, "period-count-0"},
    {InvalidHeader::PERIOD_COUNT_HIGH, "period-count-high"},
    {InvalidHeader::RING_TOO_BIG, "ring-too-big"},
    {InvalidHeader::NOT_DIVISIBLE, "not-divisible"},
    {InvalidHeader::PARTIAL_FRAME, "partial-frame"},
    {InvalidHeader::CHANNEL_BIT, "channel-bit"},
    {InvalidHeader::FORMAT_NOT_OFFERED, "format-not-offered"},
    {InvalidHeader::FORMAT_CODE, "format-code"},
};

uint64_t lowestBit(uint64_t mask)
{
    return mask & (~mask + 1);
}

}  // namespace

const char* invalidHeaderName(InvalidHeader kind)
{
    for (const InvalidName& n : kInvalidNames) {
        if (n.kind == kind) {
            return n.name;
        }
    }
    return "?";
}

bool parseInvalidHeader(const std::string& text, InvalidHeader& kind)
{
    for (const InvalidName& n : kInvalidNames) {
        if (text == n.name) {
            kind = n.kind;
            return true;
        }
    }
    return false;
}

CardPlayer::CardPlayer(uint8_t* ring, uint64_t ringSize)
    : ring_(ring), ringSize_(ringSize), header_(reinterpret_cast<QUORVIN::BridgeMemHeader*>(ring + ringSize))
{
    log_ = [](const char* line) {
        std::fputs(line, stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
}

void CardPlayer::setEvents(const DriverEvents* events, int card)
{
    if (events == nullptr || card < 0 || card >= DriverEvents::kCards) {
        wakeups_ = notifies_ = nullptr;
        return;
    }
    wakeups_ = &events->wakeups[card];
    notifies_ = &events->notifies[card];
}

void CardPlayer::say(const char* fmt, ...)
{
    // On the stack and handed on as it is: the feeder may run in a
    // real-time class, where a line must cost no allocation.
    char line[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(line, sizeof(line), fmt, args);
    va_end(args);
    log_(line);
}

void CardPlayer::request(uint32_t bits)
{
    storeField(header_->driverRequest, bits);
}

template <typename Done>
bool CardPlayer::waitFor(Done done, Clock::time_point deadline, Counter counter)
{
    return waitCard(counter == Counter::WAKEUPS ? wakeups_ : notifies_, deadline, done);
}

size_t CardPlayer::pull(uint8_t* period)
{
    const size_t bytes = size_t{periodFrames_} * frameBytes_;
    size_t got = 0;
    if (!sourceDone_ && source_ != nullptr) {
        got = source_->read(period, periodFrames_);
        if (got < periodFrames_) {
            sourceDone_ = true;
        }
        if (got > 0) {
            ++audioPeriods_;
            frames_ += got;
        }
    }
    std::memset(period + got * frameBytes_, mute_, bytes - got * frameBytes_);
    return got;
}

bool CardPlayer::teardown(bool running, bool refused, const PlayerOptions& o)
{
    bool ok = true;
    if (running) {
        request(kInUse | kStream);
        say("run off");
        if (waitFor([&] { return (status() & kPlaying) == 0; }, Clock::now() + o.timeout, Counter::WAKEUPS)) {
            say("not playing status=0x%x", status());
        } else {
            say("error: still playing after %lld ms (status=0x%x)", static_cast<long long>(o.timeout.count()),
                status());
            ok = false;
        }
    }
    request(kInUse);
    say("stream off");
    // After a refusal or a dropped stream the card may show anything but a
    // connection; after a play it is to come back to plain OPEN.
    const auto down = [&] {
        const uint32_t s = status();
        return (s & kConnected) == 0 && (refused || s == kOpen);
    };
    if (waitFor(down, Clock::now() + o.timeout, Counter::WAKEUPS)) {
        say("disconnected status=0x%x", status());
    } else {
        say("error: not disconnected after %lld ms (status=0x%x)", static_cast<long long>(o.timeout.count()), status());
        ok = false;
    }
    request(0);
    say("inuse off");
    return ok;
}

int CardPlayer::play(Source* source, const PlayerOptions& options)
{
    return run([source](uint64_t) { return source; }, options);
}

int CardPlayer::play(const SourceFactory& make, const PlayerOptions& options)
{
    std::unique_ptr<Source> made;
    return run(
        [&](uint64_t format) {
            made = make(format);
            return made.get();
        },
        options);
}

int CardPlayer::run(const std::function<Source*(uint64_t format)>& resolve, const PlayerOptions& o)
{
    source_ = nullptr;
    sourceDone_ = false;
    audioPeriods_ = 0;
    frames_ = 0;
    refilled_.store(0, std::memory_order_release);
    refillStopped_.store(false, std::memory_order_release);

    const auto opened = [&] { return (status() & kOpen) == kOpen || stop_.load(std::memory_order_relaxed); };
    if (!waitFor(opened, Clock::now() + o.timeout, Counter::WAKEUPS)) {
        say("error: the card did not open within %lld ms (status=0x%x)", static_cast<long long>(o.timeout.count()),
            status());
        return PLAY_FAILED;
    }
    if ((status() & kOpen) != kOpen) {
        say("stop reason=signal");
        return PLAY_OK;
    }

    const uint64_t formats = loadField(header_->formatMask);
    const uint64_t rates = loadField(header_->rateMask);
    const uint64_t channelMask = loadField(header_->channelMask);
    const uint32_t periodMin = loadField(header_->periodMin);
    const uint32_t periodMax = loadField(header_->periodMax);
    const uint32_t sizeMin = loadField(header_->periodSizeMin);
    const uint32_t sizeMax = loadField(header_->periodSizeMax);
    say("open status=0x%x formats=0x%llx rates=0x%llx channels=0x%llx periods=%u..%u period-bytes=%u..%u volume=%d",
        status(), static_cast<unsigned long long>(formats), static_cast<unsigned long long>(rates),
        static_cast<unsigned long long>(channelMask), periodMin, periodMax, sizeMin, sizeMax,
        loadField(header_->volume));
    if (QUORVIN::bridgeRingBytes(periodMax, sizeMax) != ringSize_) {
        say("error: the header's limits give a ring of %llu bytes, the mapping holds %llu",
            static_cast<unsigned long long>(QUORVIN::bridgeRingBytes(periodMax, sizeMax)),
            static_cast<unsigned long long>(ringSize_));
        return PLAY_FAILED;
    }

    // The format to choose.
    uint64_t format = o.format;
    if (format == kDsdFormats) {
        format = lowestBit(formats & kDsdFormats);
        if (format == 0) {
            say("error: no DSD format offered (formats=0x%llx)", static_cast<unsigned long long>(formats));
            return PLAY_NOT_OFFERED;
        }
    }
    if (o.invalid == InvalidHeader::FORMAT_NOT_OFFERED) {
        constexpr uint64_t kPlayable[] = {
            QUORVIN::QUORVIN_BR_FORMAT_PCM16,        QUORVIN::QUORVIN_BR_FORMAT_PCM24,
            QUORVIN::QUORVIN_BR_FORMAT_PCM32,        QUORVIN::QUORVIN_BR_FORMAT_DSD1_LSB_LITTLE,
            QUORVIN::QUORVIN_BR_FORMAT_DSD1_LSB_BIG, QUORVIN::QUORVIN_BR_FORMAT_DSD1_MSB_LITTLE,
            QUORVIN::QUORVIN_BR_FORMAT_DSD1_MSB_BIG};
        const uint64_t* missing = std::find_if(std::begin(kPlayable), std::end(kPlayable),
                                               [&](uint64_t code) { return (formats & code) == 0; });
        if (missing == std::end(kPlayable)) {
            say("error: every format is offered (formats=0x%llx)", static_cast<unsigned long long>(formats));
            return PLAY_FAILED;
        }
        format = *missing;
    }
    if (!isPlayableFormat(format)) {
        say("error: format %s cannot be played", formatName(format).c_str());
        return PLAY_FAILED;
    }
    const uint64_t rate = cardRate(format, o.rate);
    const uint64_t rateCode = rateBit(rate);
    const uint64_t channelCode = channelBit(o.channels);
    if (o.invalid != InvalidHeader::FORMAT_NOT_OFFERED && (formats & format) == 0) {
        say("error: format %s not offered (formats=0x%llx)", formatName(format).c_str(),
            static_cast<unsigned long long>(formats));
        return PLAY_NOT_OFFERED;
    }
    if (rateCode == 0 || (rates & rateCode) == 0) {
        say("error: rate %llu Hz not offered (card rate %llu Hz, rates=0x%llx)",
            static_cast<unsigned long long>(o.rate), static_cast<unsigned long long>(rate),
            static_cast<unsigned long long>(rates));
        return PLAY_NOT_OFFERED;
    }
    if (channelCode == 0 || (channelMask & channelCode) == 0) {
        say("error: %u channels not offered (channels=0x%llx)", o.channels,
            static_cast<unsigned long long>(channelMask));
        return PLAY_NOT_OFFERED;
    }
    Source* source = o.invalid == InvalidHeader::NONE ? resolve(format) : nullptr;
    if (source != nullptr && (source->format() != format || source->channels() != o.channels)) {
        say("error: the source gives %s x %u, the card is to play %s x %u", formatName(source->format()).c_str(),
            source->channels(), formatName(format).c_str(), o.channels);
        return PLAY_FAILED;
    }
    source_ = source;

    // The ring: whole frames per period, within the host's limits.
    frameBytes_ = sampleBytes(format) * o.channels;
    mute_ = muteByte(format);
    const uint32_t periods = o.periods != 0 ? o.periods : std::clamp<uint32_t>(8, periodMin, periodMax);
    uint64_t frames = o.periodFrames;
    if (frames == 0) {
        frames = std::max<uint64_t>(rate / 100, 1);
        frames = std::max<uint64_t>(frames, (uint64_t{sizeMin} + frameBytes_ - 1) / frameBytes_);
        frames = std::min<uint64_t>(frames, sizeMax / frameBytes_);
    }
    const uint64_t periodBytes = frames * frameBytes_;
    if (periods < periodMin || periods > periodMax || periods == 0) {
        say("error: %u periods outside %u..%u", periods, periodMin, periodMax);
        return PLAY_FAILED;
    }
    if (frames == 0 || periodBytes < sizeMin || periodBytes > sizeMax) {
        say("error: a period of %llu frames (%llu bytes) outside %u..%u bytes", static_cast<unsigned long long>(frames),
            static_cast<unsigned long long>(periodBytes), sizeMin, sizeMax);
        return PLAY_FAILED;
    }
    periodFrames_ = static_cast<uint32_t>(frames);
    const uint32_t ringBytes = static_cast<uint32_t>(periodBytes * periods);

    uint64_t chosenFormat = format;
    uint64_t chosenChannels = channelCode;
    uint32_t headerRing = ringBytes;
    uint32_t headerPeriods = periods;
    switch (o.invalid) {
    case InvalidHeader::NONE:
    case InvalidHeader::FORMAT_NOT_OFFERED:
        break;
    case InvalidHeader::PERIOD_COUNT_ZERO:
        headerPeriods = 0;
        break;
    case InvalidHeader::PERIOD_COUNT_HIGH:
        headerPeriods = periodMax + 1;
        headerRing = headerPeriods * frameBytes_;
        break;
    case InvalidHeader::RING_TOO_BIG: {
        const uint64_t step = uint64_t{periods} * frameBytes_;
        headerRing = static_cast<uint32_t>(std::min<uint64_t>((ringSize_ / step + 1) * step, UINT32_MAX));
        break;
    }
    case InvalidHeader::NOT_DIVISIBLE:
        if (periods < 2) {
            say("error: not-divisible needs two periods or more");
            return PLAY_FAILED;
        }
        headerRing = ringBytes - 1;
        break;
    case InvalidHeader::PARTIAL_FRAME:
        headerRing = static_cast<uint32_t>((periodBytes - 1) * periods);
        break;
    case InvalidHeader::CHANNEL_BIT:
        chosenChannels = channelBit(3);
        break;
    case InvalidHeader::FORMAT_CODE:
        chosenFormat = QUORVIN::QUORVIN_BR_FORMAT_PCM16 | QUORVIN::QUORVIN_BR_FORMAT_PCM24;
        break;
    }
    const bool invalid = o.invalid != InvalidHeader::NONE;

    storeField(header_->chosenFormat, chosenFormat);
    storeField(header_->chosenRate, rateCode);
    storeField(header_->chosenChannels, chosenChannels);
    storeField(header_->ringBytes, headerRing);
    storeField(header_->periodCount, headerPeriods);
    say("format chosen %s %llu Hz %u channels: format=0x%llx rate=0x%llx channels=0x%llx ring-bytes=%u "
        "period-count=%u period-bytes=%llu",
        formatName(format).c_str(), static_cast<unsigned long long>(o.rate), o.channels,
        static_cast<unsigned long long>(format), static_cast<unsigned long long>(rateCode),
        static_cast<unsigned long long>(channelCode), ringBytes, periods, static_cast<unsigned long long>(periodBytes));
    if (invalid) {
        say("invalid header %s: format=0x%llx channels=0x%llx ring-bytes=%u period-count=%u",
            invalidHeaderName(o.invalid), static_cast<unsigned long long>(chosenFormat),
            static_cast<unsigned long long>(chosenChannels), headerRing, headerPeriods);
    }

    // Read before the request goes out, so no host can have seen it earlier:
    // a start's latency is measured from here, on the clock every process shares.
    timespec requested{};
    clock_gettime(CLOCK_MONOTONIC, &requested);
    request(kInUse | kStream);
    say("request inuse stream monotonic-ns %lld",
        static_cast<long long>(requested.tv_sec) * 1'000'000'000LL + requested.tv_nsec);
    const auto answered = [&] {
        const uint32_t s = status();
        return (s & kConnected) != 0 || (s & kError) != 0 || (s & kOpen) != kOpen
               || stop_.load(std::memory_order_relaxed);
    };
    const bool gotAnswer = waitFor(answered, Clock::now() + o.timeout, Counter::WAKEUPS);
    const uint32_t answer = status();
    if ((answer & kError) != 0 || (answer & kOpen) != kOpen) {
        say("error status=0x%x", answer);
        const bool down = teardown(false, true, o);
        return invalid && down ? PLAY_OK : PLAY_FAILED;
    }
    if (!gotAnswer) {
        say("error: not connected within %lld ms (status=0x%x)", static_cast<long long>(o.timeout.count()), answer);
        teardown(false, true, o);
        return PLAY_FAILED;
    }
    if ((answer & kConnected) == 0) {
        say("stop reason=signal");
        return teardown(false, true, o) ? PLAY_OK : PLAY_FAILED;
    }
    say("connected status=0x%x", answer);
    if (invalid) {
        say("error: the host connected an invalid header");
        teardown(false, false, o);
        return PLAY_FAILED;
    }

    // The host has filled the ring with mute and reads from hostReadPos 0.
    for (uint32_t p = 0; p < periods; ++p) {
        pull(ring_ + uint64_t{p} * periodBytes);
    }
    uint64_t written = periods;
    say("ring filled periods=%u frames=%llu", periods, static_cast<unsigned long long>(frames_));
    uint32_t lastPos = loadField(header_->hostReadPos);
    if (lastPos % periodBytes != 0 || lastPos >= ringBytes) {
        say("error: hostReadPos %u at the start is not on a period", lastPos);
        teardown(false, false, o);
        return PLAY_FAILED;
    }
    request(kInUse | kStream | kRun);
    say("run");

    scratch_.assign(periodBytes, 0);
    const auto started = Clock::now();
    const auto end =
        o.seconds > 0 ? started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds))
                      : Clock::time_point::max();
    auto progressDeadline = started + o.timeout;
    bool playingSeen = false;
    bool volumeDone = o.volume == 0;
    bool failed = false;
    int32_t volumeSeen = loadField(header_->volume);
    uint64_t consumed = 0;
    uint64_t refills = 0;
    bool holding = false;
    const char* reason = "signal";
    for (;;) {
        if (stop_.load(std::memory_order_relaxed)) {
            reason = "signal";
            break;
        }
        if (Clock::now() >= end) {
            reason = "seconds";
            break;
        }
        // Every period refilled after the source's end is mute, so nothing
        // the host may still read before it sees RUN go is audio.
        if (sourceDone_ && consumed >= audioPeriods_) {
            reason = "frames";
            break;
        }
        const uint32_t s = status();
        if (!playingSeen && (s & kPlaying) != 0) {
            playingSeen = true;
            say("playing status=0x%x", s);
        }
        if (o.hold && (s & kError) == 0 && (s & kOpen) == kOpen && (s & kConnected) == 0) {
            if (!holding) {
                holding = true;
                say("holding status=0x%x", s);
            }
            if (Clock::now() >= progressDeadline) {
                say("error: the host did not connect again within %lld ms (status=0x%x)",
                    static_cast<long long>(o.timeout.count()), s);
                reason = "error";
                failed = true;
                break;
            }
            waitFor([&] { return status() != s || stop_.load(std::memory_order_relaxed); },
                    std::min(progressDeadline, end), Counter::WAKEUPS);
            continue;
        }
        if ((s & kError) != 0 || (s & kConnected) == 0) {
            say("error status=0x%x", s);
            reason = "error";
            failed = true;
            break;
        }
        if (holding) {
            // A new stream reads from where the host put its position.
            holding = false;
            lastPos = loadField(header_->hostReadPos);
            progressDeadline = Clock::now() + o.timeout;
            say("connected again status=0x%x", s);
        }
        if (!volumeDone && consumed >= o.volumeAfter) {
            storeField(header_->volume, o.volume);
            volumeSeen = o.volume;
            volumeDone = true;
            say("volume set %d", o.volume);
        }
        const int32_t volume = loadField(header_->volume);
        if (volume != volumeSeen) {
            volumeSeen = volume;
            say("volume now %d", volume);
        }

        const uint32_t pos = loadField(header_->hostReadPos);
        if (pos != lastPos) {
            if (pos % periodBytes != 0 || pos >= ringBytes) {
                say("error: hostReadPos %u is not on a period", pos);
                reason = "error";
                failed = true;
                break;
            }
            // Every period from the last position up to this one has been read.
            const uint32_t from = static_cast<uint32_t>(lastPos / periodBytes);
            const uint32_t to = static_cast<uint32_t>(pos / periodBytes);
            const uint32_t count = (to + periods - from) % periods;
            for (uint32_t i = 0; i < count; ++i) {
                uint8_t* period = ring_ + uint64_t{(from + i) % periods} * periodBytes;
                ++consumed;
                if (o.underrunAfter >= 0 && refills >= static_cast<uint64_t>(o.underrunAfter)) {
                    if (!refillStopped_.exchange(true, std::memory_order_acq_rel)) {
                        say("underrun after %llu periods", static_cast<unsigned long long>(refills));
                    }
                    // The source goes on, so that the stream still ends where it would have.
                    pull(scratch_.data());
                    continue;
                }
                pull(period);
                ++refills;
                ++written;
                refilled_.store(refills, std::memory_order_release);
                if (o.reportEvery != 0 && written % o.reportEvery == 0) {
                    say("periods written %llu", static_cast<unsigned long long>(written));
                }
            }
            lastPos = pos;
            progressDeadline = Clock::now() + o.timeout;
            continue;
        }
        if (Clock::now() >= progressDeadline) {
            say("error: the host read nothing for %lld ms (hostReadPos=%u status=0x%x)",
                static_cast<long long>(o.timeout.count()), pos, s);
            reason = "error";
            failed = true;
            break;
        }
        const auto moved = [&] {
            return loadField(header_->hostReadPos) != lastPos || status() != s || stop_.load(std::memory_order_relaxed);
        };
        waitFor(moved, std::min(progressDeadline, end), Counter::NOTIFIES);
    }
    say("stop reason=%s", reason);
    // A play that lasted and of which the host read nothing has shown nothing
    // of the host: it must not pass, however it ended.
    const auto lasted = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    if (!failed && consumed == 0 && lasted >= std::chrono::seconds(1)) {
        say("error: the host read nothing in %lld ms of play", static_cast<long long>(lasted.count()));
        failed = true;
    }
    say("periods written %llu", static_cast<unsigned long long>(written));
    const bool down = teardown(true, failed, o);
    say("done frames=%llu periods-read=%llu", static_cast<unsigned long long>(frames_),
        static_cast<unsigned long long>(consumed));
    return !failed && down ? PLAY_OK : PLAY_FAILED;
}

}  // namespace testbed
