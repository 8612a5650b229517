#include "testbed/emulator/StreamRecord.h"

#include <algorithm>
#include <cstring>

#include "protocol/Format.h"

namespace testbed {

namespace {

using QUORVIN::StatusID;
using TIVRA::Clock;

constexpr StatusID kPhaseBits = QUORVIN::STATUS_PHASE_VALID | QUORVIN::STATUS_PHASE_NORMAL;
constexpr size_t kMaxIntervals = size_t{1} << 22;
constexpr size_t kMaxFeedback = 65536;
constexpr size_t kMaxBurstLog = 4096;
// A resend request not answered by the host is repeated at the second
// cycle end after it (the host serves it with its next burst), then after
// twice as many each time: packets already on their way when the host took
// the request still bring cycle ends, and asking again for each of them
// would make the host resend the same run over and over, falling behind.
constexpr uint64_t kResendRetryCycles = 2;
constexpr uint64_t kResendRetryCyclesMax = 64;
// The played bytes are rate x time x (10^6 + ppm) / (10^12 ps x 10^6).
constexpr uint64_t kPlayScale = 1'000'000'000'000'000'000ULL;
// ppm below -10^6 would play backwards.
constexpr int32_t kMinPpm = -999'999;
constexpr size_t kFileBuffer = 256 * 1024;
// What the sink holds above a gap: a host's counters are not trusted to stay
// near each other.
constexpr size_t kMaxPendingBytes = size_t{64} << 20;
constexpr size_t kMaxPendingPackets = 65536;

int64_t clampTo(int64_t v, int64_t low, int64_t high)
{
    return v < low ? low : (v > high ? high : v);
}

uint64_t percentile(const std::vector<uint64_t>& sorted, unsigned p)
{
    const size_t rank = (p * sorted.size() + 99) / 100;  // nearest rank, from 1
    return sorted[rank == 0 ? 0 : rank - 1];
}

std::string hex(uint64_t value, int digits)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string microseconds(Clock c)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", static_cast<double>(c.picoseconds) / static_cast<double>(Clock::US));
    return text;
}

}  // namespace

const char* streamEndName(StreamEnd end)
{
    switch (end) {
    case StreamEnd::OPEN:
        return "open";
    case StreamEnd::DISCONNECT_REQ:
        return "disconnect";
    case StreamEnd::UNASKED:
        return "unasked";
    case StreamEnd::NEW_CONNECT:
        return "new-connect";
    case StreamEnd::STOPPED:
        return "stopped";
    }
    return "?";
}

uint64_t bytesPerSecond(uint64_t format)
{
    const QUORVIN::FormatConfigure f(format);
    if (!f.isValid()) {
        return 0;
    }
    const uint64_t frames = uint64_t{f.getSpeed()} * f.getChannel();
    return f.isDSD() ? frames * f.getBits() / 8 : frames * f.getWid();
}

FeedbackOptions encodeFeedback(StreamBehaviour::Feedback kind, int64_t level, int64_t target)
{
    FeedbackOptions o;
    if (target <= 0) {
        // No rate, no target: the sink has nothing to correct.
        if (kind == StreamBehaviour::FEEDBACK_RATE) {
            o.option0 = 0x2000;
        } else if (kind == StreamBehaviour::FEEDBACK_OFFSET) {
            o.option0 = 0x8000;
        } else if (kind == StreamBehaviour::FEEDBACK_RATIO) {
            o.option1 = 1;
            o.option2 = 1;
        }
        return o;
    }
    const int64_t error = (level - target) * 16384 / target;
    switch (kind) {
    case StreamBehaviour::FEEDBACK_NONE:
        break;
    case StreamBehaviour::FEEDBACK_RATE: {
        // option0 1 .. 0x7FFF carries -16382 .. 49150; the host keeps 16 bits.
        const int64_t v = clampTo(error, -16382, 32766);
        o.option0 = static_cast<uint16_t>((v + 16384) / 2);
        o.value = 2 * int32_t{o.option0} - 16384;
        break;
    }
    case StreamBehaviour::FEEDBACK_OFFSET: {
        const int64_t v = clampTo(error, -16384, 16383);
        o.option0 = static_cast<uint16_t>(0x8000 | (static_cast<uint64_t>(v) & 0x7FFF));
        o.value = static_cast<int32_t>(v);
        break;
    }
    case StreamBehaviour::FEEDBACK_RATIO: {
        // Both numbers shifted alike until they fit 16 bits; the host
        // divides them, so the ratio survives the shift.
        const uint64_t l = static_cast<uint64_t>(level < 0 ? 0 : level);
        const uint64_t t = static_cast<uint64_t>(target);
        unsigned shift = 0;
        while ((std::max(l, t) >> shift) > 0xFFFF) {
            ++shift;
        }
        uint64_t o2 = t >> shift;
        if (o2 == 0) {
            o2 = 1;
        }
        // Held below twice the target above it, so the value stays within 16 bits.
        const uint64_t o1 = std::min({l >> shift, uint64_t{0xFFFF}, o2 + (32767 * o2) / 16384});
        o.option1 = static_cast<uint16_t>(o1);
        o.option2 = static_cast<uint16_t>(o2);
        o.value = ((static_cast<int32_t>(o.option1) - static_cast<int32_t>(o.option2)) * 16384)
                  / static_cast<int32_t>(o.option2);
        break;
    }
    }
    return o;
}

void ByteChunks::append(const uint8_t* bytes, size_t count)
{
    while (count > 0) {
        const size_t used = size_ % kChunk;
        if (used == 0 && size_ / kChunk == chunks_.size()) {
            chunks_.emplace_back(new uint8_t[kChunk]);  // left uninitialised: it is written before it is read
        }
        const size_t n = count < kChunk - used ? count : kChunk - used;
        std::memcpy(chunks_[size_ / kChunk].get() + used, bytes, n);
        size_ += n;
        bytes += n;
        count -= n;
    }
}

void ByteChunks::appendTo(TIVRA::Buffer& out) const
{
    out.reserve(out.size() + size_);
    for (size_t i = 0; i < chunks_.size(); ++i) {
        const size_t n = i + 1 < chunks_.size() || size_ % kChunk == 0 ? kChunk : size_ % kChunk;
        out.insert(out.end(), chunks_[i].get(), chunks_[i].get() + n);
    }
}

StreamRecorder::StreamRecorder(size_t index, uint64_t format, const TIVRA::IPAddress& host, Clock now,
                               uint64_t latencyUs, bool keepAudio, const std::string& audioFile)
    : index_(index),
      format_(format),
      bps_(bytesPerSecond(format)),
      host_(host),
      connected_(now),
      latencyUs_(latencyUs),
      keepAudio_(keepAudio),
      seed_(0)
{
    random_.seed(seed_);
    if (!audioFile.empty()) {
        // A file that cannot be opened leaves the stream unwritten, as a
        // full disk would; the report still has the counts.
        file_ = std::fopen(audioFile.c_str(), "ab");
        if (file_ != nullptr) {
            std::setvbuf(file_, nullptr, _IOFBF, kFileBuffer);
        }
    }
}

StreamRecorder::~StreamRecorder()
{
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

int64_t StreamRecorder::extend(uint16_t counter) const
{
    // The nearest counter to the next expected one, within half the 16-bit range.
    const int64_t next = highest_ + 1;
    return next + static_cast<int16_t>(static_cast<uint16_t>(counter - static_cast<uint16_t>(next)));
}

bool StreamRecorder::recorded(int64_t counter) const
{
    return counter < contiguous_ || pending_.count(counter) != 0;
}

bool StreamRecorder::dropNow(int64_t counter, StatusID status, const StreamBehaviour& b)
{
    if (b.dropInfo && (status & QUORVIN::STATUS_INFO) != 0) {
        return true;
    }
    if (counter >= 0 && droppedOnce_.count(counter) == 0
        && std::find(b.dropCounters.begin(), b.dropCounters.end(), static_cast<uint64_t>(counter))
               != b.dropCounters.end()) {
        droppedOnce_.insert(counter);
        return true;
    }
    if (b.dropEvery != 0 && arrived_ % b.dropEvery == 0) {
        return true;
    }
    if (b.dropShare > 0.0) {
        if (b.dropSeed != seed_) {
            seed_ = b.dropSeed;
            random_.seed(seed_);
        }
        // 53 random bits as a fraction in [0, 1), the same on every platform.
        return static_cast<double>(random_() >> 11) * 0x1.0p-53 < b.dropShare;
    }
    return false;
}

void StreamRecorder::burst(Clock now, int64_t counter, StatusID status)
{
    if (!inBurst_) {
        inBurst_ = true;
        burstPackets_ = 0;
        burstFirst_ = counter;
        if (haveBurstStart_) {
            const uint64_t interval = now.Comp(burstStart_) > 0 ? (now - burstStart_).picoseconds : 0;
            intervalMin_ = intervalCount_ == 0 ? interval : std::min(intervalMin_, interval);
            intervalMax_ = intervalCount_ == 0 ? interval : std::max(intervalMax_, interval);
            ++intervalCount_;
            intervalSum_ += interval;
            if (intervals_.size() < kMaxIntervals) {
                intervals_.push_back(interval);
            }
        }
        burstStart_ = now;
        haveBurstStart_ = true;
    }
    ++burstPackets_;
    if ((status & QUORVIN::STATUS_CYCLE_END) != 0) {
        inBurst_ = false;
        burstPacketsMin_ = bursts_ == 0 ? burstPackets_ : std::min(burstPacketsMin_, burstPackets_);
        burstPacketsMax_ = bursts_ == 0 ? burstPackets_ : std::max(burstPacketsMax_, burstPackets_);
        burstPacketsSum_ += burstPackets_;
        ++bursts_;
        if (burstLog_.size() < kMaxBurstLog) {
            burstLog_.push_back(BurstArrival{burstStart_, burstFirst_, static_cast<uint32_t>(burstPackets_),
                                             (status & QUORVIN::STATUS_INFO) != 0});
        }
    }
}

void StreamRecorder::append(const uint8_t* payload, size_t size)
{
    if (keepAudio_) {
        audio_.append(payload, size);
    }
    if (file_ != nullptr && size != 0) {
        std::fwrite(payload, 1, size, file_);
    }
}

bool StreamRecorder::record(int64_t counter, const uint8_t* payload, size_t size)
{
    if (counter != contiguous_) {
        const bool keep = keepAudio_ || file_ != nullptr;
        if (pending_.size() >= kMaxPendingPackets || (keep && pendingBytes_ + size > kMaxPendingBytes)) {
            return false;
        }
        pending_.emplace(counter, keep ? TIVRA::Buffer(payload, payload + size) : TIVRA::Buffer());
        pendingBytes_ += keep ? size : 0;
        return true;
    }
    append(payload, size);
    ++contiguous_;
    while (!pending_.empty() && pending_.begin()->first == contiguous_) {
        const TIVRA::Buffer& bytes = pending_.begin()->second;
        append(bytes.data(), bytes.size());
        pendingBytes_ -= bytes.size();
        pending_.erase(pending_.begin());
        ++contiguous_;
    }
    return true;
}

uint64_t StreamRecorder::bytesFor(uint64_t us) const
{
    return static_cast<uint64_t>(static_cast<unsigned __int128>(bps_) * us / 1'000'000U);
}

int64_t StreamRecorder::targetBytes(const StreamBehaviour& b) const
{
    return static_cast<int64_t>(bytesFor(b.targetLevelUs != 0 ? b.targetLevelUs : latencyUs_));
}

void StreamRecorder::levelSeen()
{
    if (playing_) {
        levelMin_ = std::min(levelMin_, level());
        levelMax_ = std::max(levelMax_, level());
    }
}

void StreamRecorder::advance(Clock now, const StreamBehaviour& b)
{
    if (!playing_) {
        if (b.startAfterUs == 0 || !haveFirst_ || (now - firstPacket_).picoseconds < b.startAfterUs * Clock::US) {
            return;
        }
        playing_ = true;
        playbackStart_ = firstPacket_ + Clock(b.startAfterUs * Clock::US);
        playedAt_ = playbackStart_;
        levelMin_ = levelMax_ = level();
    }
    if (now.Comp(playedAt_) <= 0) {
        return;  // a clock that stands or steps back plays nothing
    }
    const int32_t ppm = b.ppm < kMinPpm ? kMinPpm : b.ppm;
    const unsigned __int128 played = static_cast<unsigned __int128>((now - playedAt_).picoseconds) * bps_
                                         * static_cast<uint64_t>(1'000'000 + int64_t{ppm})
                                     + remainder_;
    playedAt_ = now;
    played_ += static_cast<uint64_t>(played / kPlayScale);
    remainder_ = played % kPlayScale;
    if (played_ > received_) {
        ++underruns_;
        played_ = received_;
        remainder_ = 0;
    }
    levelSeen();
    capacitySeen(b);
}

void StreamRecorder::capacitySeen(const StreamBehaviour& b)
{
    // Counted once per rise above the capacity: the level must have come
    // down to it before the next one counts.
    const uint64_t capacity = bytesFor(b.capacityUs);
    if (capacity != 0 && static_cast<uint64_t>(level()) > capacity) {
        overflows_ += over_ ? 0 : 1;
        over_ = true;
    } else {
        over_ = false;
    }
}

void StreamRecorder::resend(int64_t first, uint16_t received, StreamAnswers& out)
{
    out.add(QUORVIN::STREAM_ANS, QUORVIN::STATUS_OK | QUORVIN::STATUS_RESEND, 0, static_cast<uint16_t>(first),
            received);
    ++resendRequests_;
}

void StreamRecorder::maybeResend(uint16_t received, StreamAnswers& out)
{
    if (silent_ || contiguous_ > highest_) {
        return;
    }
    // The host resends everything from the first missing counter on, so one
    // request covers every gap; it is asked again only when the host's
    // resend did not fill it.
    if (contiguous_ != lastAsked_) {
        resendRetryCycles_ = kResendRetryCycles;
    } else if (cycleEndsSinceAsk_ >= resendRetryCycles_) {
        resendRetryCycles_ = std::min(resendRetryCycles_ * 2, kResendRetryCyclesMax);
    } else {
        return;
    }
    resend(contiguous_, received, out);
    lastAsked_ = contiguous_;
    cycleEndsSinceAsk_ = 0;
}

void StreamRecorder::feedback(int64_t counter, const StreamBehaviour& b, StreamAnswers& out)
{
    if (silent_) {
        return;
    }
    // Until it plays, the sink is only filling up: nothing to correct yet.
    const int64_t target = lastTarget_;
    const FeedbackOptions o = encodeFeedback(b.feedback, playing_ ? level() : target, target);
    const StatusID status = static_cast<StatusID>(QUORVIN::STATUS_OK | (b.streamPhase & kPhaseBits));
    out.add(QUORVIN::STREAM_ANS, status, o.option0, o.option1, o.option2);
    ++feedbackAnswers_;
    lastFeedback_ = o.value;
    if (feedback_.size() < kMaxFeedback) {
        FeedbackAnswer a;
        a.counter = counter;
        a.level = level();
        a.error = target > 0 && playing_ ? (level() - target) * 16384 / target : 0;
        a.value = o.value;
        a.status = status;
        a.option0 = o.option0;
        a.option1 = o.option1;
        a.option2 = o.option2;
        feedback_.push_back(a);
    }
}

void StreamRecorder::packet(uint16_t counter, StatusID status, const uint8_t* payload, size_t size,
                            const TIVRA::IPAddress& from, Clock now, const StreamBehaviour& b, StreamAnswers& out)
{
    if (ended()) {
        ++afterEnd_;
        return;
    }
    host_ = from;
    ++arrived_;
    if (!haveFirst_) {
        haveFirst_ = true;
        firstPacket_ = now;
    }
    const int64_t ext = extend(counter);
    burst(now, ext, status);
    if (b.silentAfter != 0 && arrived_ > b.silentAfter) {
        silent_ = true;
    }

    lastTarget_ = targetBytes(b);
    if (dropNow(ext, status, b)) {
        ++dropped_;
    } else {
        advance(now, b);
        if (ext < 0) {
            ++outside_;
        } else if (recorded(ext)) {
            ++duplicates_;
        } else if (!record(ext, payload, size)) {
            ++outside_;
        } else {
            const bool beyond = ext > highest_ + 1;
            if (ext < highest_) {
                ++filled_;
            }
            ++packets_;
            bytes_ += size;
            received_ += size;
            highest_ = std::max(highest_, ext);
            const uint64_t start = b.startLevelUs != 0 ? bytesFor(b.startLevelUs) : static_cast<uint64_t>(lastTarget_);
            if (!playing_ && static_cast<uint64_t>(level()) >= start) {
                playing_ = true;
                playbackStart_ = now;
                playedAt_ = now;
                levelMin_ = levelMax_ = level();
            }
            levelSeen();
            capacitySeen(b);
            if (beyond) {
                ++gaps_;
                maybeResend(counter, out);
            }
        }
        if ((status & QUORVIN::STATUS_CYCLE_END) != 0) {
            ++cycleEnds_;
            ++cycleEndsSinceAsk_;
            maybeResend(counter, out);
        }
        if ((status & QUORVIN::STATUS_INFO) != 0) {
            ++infoRequests_;
            feedback(ext, b, out);
        }
    }

    if (!farAsked_ && b.resendBackAfter != 0 && arrived_ >= b.resendBackAfter) {
        farAsked_ = true;
        if (!silent_) {
            askResend(b.resendBack, out);
        }
    }
    if (b.endAfter != 0 && arrived_ >= b.endAfter) {
        if (silent_) {
            finish(StreamEnd::UNASKED);
        } else {
            endUnasked(out);
        }
    }
}

bool StreamRecorder::disconnectRequest(const StreamBehaviour& b)
{
    ++disconnectRequests_;
    if (!ended()) {
        finish(StreamEnd::DISCONNECT_REQ);
    }
    const bool answer = !silent_ && b.disconnectAnswer != 0 && disconnectRequests_ >= b.disconnectAnswer;
    disconnectAnswers_ += answer ? 1 : 0;
    return answer;
}

bool StreamRecorder::endUnasked(StreamAnswers& out)
{
    if (ended()) {
        return false;
    }
    finish(StreamEnd::UNASKED);
    out.add(QUORVIN::DSICONNECT_ANS, QUORVIN::STATUS_OK, 0, 0, 0);
    return true;
}

void StreamRecorder::askResend(uint16_t back, StreamAnswers& out)
{
    const uint16_t newest = static_cast<uint16_t>(highest_);
    resend(static_cast<uint16_t>(newest - back), newest, out);
}

uint64_t StreamRecorder::missingNow() const
{
    if (highest_ < contiguous_) {
        return 0;
    }
    return static_cast<uint64_t>(highest_ + 1 - contiguous_) - pending_.size();
}

void StreamRecorder::finish(StreamEnd reason)
{
    if (ended()) {
        return;
    }
    end_ = reason;
    missingAtEnd_ = missingNow();
    // What came after a gap that was never filled still belongs to the
    // stream: it follows the gap in the audio.
    for (const auto& [counter, bytes] : pending_) {
        append(bytes.data(), bytes.size());
    }
    pending_.clear();
    pendingBytes_ = 0;
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

StreamReport StreamRecorder::report(bool withAudio) const
{
    StreamReport r;
    r.index = index_;
    r.format = format_;
    r.bytesPerSecond = bps_;
    r.host = host_;
    r.connected = connected_;
    if (haveFirst_) {
        r.firstPacket = firstPacket_;
    }
    r.arrived = arrived_;
    r.packets = packets_;
    r.bytes = bytes_;
    r.highest = highest_;
    r.missing = ended() ? missingAtEnd_ : missingNow();
    r.gaps = gaps_;
    r.resendRequests = resendRequests_;
    r.filled = filled_;
    r.duplicates = duplicates_;
    r.dropped = dropped_;
    r.outside = outside_;
    r.afterEnd = afterEnd_;
    r.cycleEnds = cycleEnds_;
    r.infoRequests = infoRequests_;

    r.bursts = bursts_;
    if (bursts_ != 0) {
        r.burstPacketsMin = burstPacketsMin_;
        r.burstPacketsMax = burstPacketsMax_;
        r.burstPacketsMean = static_cast<double>(burstPacketsSum_) / static_cast<double>(bursts_);
    }
    r.burstLog = burstLog_;
    if (intervalCount_ != 0) {
        std::vector<uint64_t> sorted = intervals_;
        std::sort(sorted.begin(), sorted.end());
        r.burstInterval.count = intervalCount_;
        r.burstInterval.mean = Clock(intervalSum_ / intervalCount_);
        r.burstInterval.min = Clock(intervalMin_);
        r.burstInterval.max = Clock(intervalMax_);
        r.burstInterval.p50 = Clock(percentile(sorted, 50));
        r.burstInterval.p99 = Clock(percentile(sorted, 99));
    }

    r.feedbackAnswers = feedbackAnswers_;
    r.lastFeedback = lastFeedback_;
    r.feedback = feedback_;

    r.playing = playing_;
    r.playbackStart = playbackStart_;
    r.targetBytes = lastTarget_;
    r.level = level();
    r.levelMin = levelMin_;
    r.levelMax = levelMax_;
    r.underruns = underruns_;
    r.overflows = overflows_;

    r.end = end_;
    r.endedByDisconnect = end_ == StreamEnd::DISCONNECT_REQ;
    r.disconnectRequests = disconnectRequests_;
    r.disconnectAnswers = disconnectAnswers_;
    r.silent = silent_;

    r.audioGap = r.missing != 0;
    if (withAudio && keepAudio_) {
        audio_.appendTo(r.audio);
        for (const auto& [counter, bytes] : pending_) {
            r.audio.insert(r.audio.end(), bytes.begin(), bytes.end());
        }
    }
    return r;
}

std::string describeStream(size_t sink, const StreamReport& r)
{
    std::string host;
    r.host.get_str(host);
    std::string line = "stream sink " + std::to_string(sink) + " #" + std::to_string(r.index) + " "
                       + streamEndName(r.end) + " from " + host + " format " + hex(r.format, 16);
    line += " packets " + std::to_string(r.packets) + " bytes " + std::to_string(r.bytes);
    line += " arrived " + std::to_string(r.arrived) + " missing " + std::to_string(r.missing);
    line += " gaps " + std::to_string(r.gaps) + " resends " + std::to_string(r.resendRequests);
    line += " filled " + std::to_string(r.filled) + " duplicates " + std::to_string(r.duplicates);
    line += " dropped " + std::to_string(r.dropped);
    line += " bursts " + std::to_string(r.bursts);
    if (r.bursts != 0) {
        char mean[32];
        std::snprintf(mean, sizeof(mean), "%.2f", r.burstPacketsMean);
        line +=
            " per-burst " + std::to_string(r.burstPacketsMin) + "/" + mean + "/" + std::to_string(r.burstPacketsMax);
    }
    if (r.burstInterval.count != 0) {
        line += " interval-us mean " + microseconds(r.burstInterval.mean) + " min " + microseconds(r.burstInterval.min)
                + " max " + microseconds(r.burstInterval.max) + " p50 " + microseconds(r.burstInterval.p50) + " p99 "
                + microseconds(r.burstInterval.p99);
    }
    line += " feedback " + std::to_string(r.feedbackAnswers) + " last " + std::to_string(r.lastFeedback);
    line += " level " + std::to_string(r.levelMin) + "/" + std::to_string(r.levelMax);
    line += " underruns " + std::to_string(r.underruns) + " overflows " + std::to_string(r.overflows);
    line += " disconnects " + std::to_string(r.disconnectRequests) + "/" + std::to_string(r.disconnectAnswers);
    // The program's stream clock is the monotonic one, which other programs
    // on the machine can compare against (a start's latency, for one).
    if (r.arrived != 0) {
        line += " first-packet-ns " + std::to_string(r.firstPacket.picoseconds / 1000);
    }
    return line;
}

}  // namespace testbed
