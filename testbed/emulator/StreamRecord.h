// One stream as a sink of the emulator receives and plays it: the packets
// recorded in counter order, the simulated playback the feedback is computed
// from, the loss the sink makes up with its resend requests, the end of the
// stream, and the report that tests and the program read. Plain state for
// one thread at a time: the emulator calls it under its lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "protocol/Identifiers.h"
#include "protocol/Message.h"
#include "testbed/emulator/TargetConfig.h"

namespace testbed {

enum class StreamEnd : uint8_t {
    OPEN,            // still running
    DISCONNECT_REQ,  // the host's DSICONNECT_REQ
    UNASKED,         // the sink's own DSICONNECT_ANS
    NEW_CONNECT,     // a new CONNECT_REQ replaced it
    STOPPED,         // the emulator stopped
};
// "open", "disconnect", "unasked", "new-connect", "stopped"
const char* streamEndName(StreamEnd end);

// One feedback answer as it was sent.
struct FeedbackAnswer {
    int64_t counter = 0;  // of the packet that asked for it
    int64_t level = 0;    // buffered bytes then
    int64_t error = 0;    // (level - target) x 16384 / target, before the kind's limits; 0 before playback
    int32_t value = 0;    // what the host decodes from the options
    QUORVIN::StatusID status = 0;
    uint16_t option0 = 0;
    uint16_t option1 = 0;
    uint16_t option2 = 0;
};

// Durations in picoseconds of the stream clock; all zero without samples.
struct TimeStats {
    uint64_t count = 0;
    TIVRA::Clock mean;
    TIVRA::Clock min;
    TIVRA::Clock max;
    TIVRA::Clock p50;  // nearest rank
    TIVRA::Clock p99;
};

// One completed burst as it arrived.
struct BurstArrival {
    TIVRA::Clock start;        // stream clock at its first packet
    int64_t firstCounter = 0;  // of its first packet, extended past the wraps
    uint32_t packets = 0;      // every arrival, dropped and repeated ones too
    bool info = false;         // its last packet asked for feedback
};

struct StreamReport {
    size_t index = 0;             // of the sink's streams, from 0
    uint64_t format = 0;          // the CONNECT_REQ option
    uint64_t bytesPerSecond = 0;  // nominal rate of the format; 0 for a format without one
    TIVRA::IPAddress host;        // where the stream's answers go: the latest packet's source
    TIVRA::Clock connected;       // stream clock at the connect
    TIVRA::Clock firstPacket;     // stream clock at the first STREAM_REQ; 0 before it

    // Counters are the host's 16-bit counters extended past their wraps,
    // from 0 for the stream's first packet.
    uint64_t arrived = 0;  // STREAM_REQ datagrams, dropped and repeated ones included
    uint64_t packets = 0;  // recorded, each counter once
    uint64_t bytes = 0;    // their payload
    int64_t highest = -1;  // the highest counter recorded; -1 none
    uint64_t missing = 0;  // counters below the highest that were never recorded
    uint64_t gaps = 0;     // packets that came beyond the next expected counter
    uint64_t resendRequests = 0;
    uint64_t filled = 0;  // packets recorded below the highest: gaps filled by resends
    uint64_t duplicates = 0;
    uint64_t dropped = 0;   // on purpose
    uint64_t outside = 0;   // counters before the stream's first, or beyond what the sink holds above a gap
    uint64_t afterEnd = 0;  // packets that came after the stream had ended
    uint64_t cycleEnds = 0;
    uint64_t infoRequests = 0;

    // A burst is the packets up to and with STATUS_CYCLE_END; every arrival
    // counts, dropped and repeated ones too, since they show the host's timing.
    uint64_t bursts = 0;      // completed
    TimeStats burstInterval;  // from one burst's first packet to the next one's
    uint64_t burstPacketsMin = 0;
    uint64_t burstPacketsMax = 0;
    double burstPacketsMean = 0.0;
    std::vector<BurstArrival> burstLog;  // the first 4096, in arrival order

    uint64_t feedbackAnswers = 0;
    int32_t lastFeedback = 0;              // value of the last one
    std::vector<FeedbackAnswer> feedback;  // the first 65536

    // Playback, in bytes of the stream.
    bool playing = false;
    TIVRA::Clock playbackStart;
    int64_t targetBytes = 0;  // at the last packet
    int64_t level = 0;        // after the last packet
    int64_t levelMin = 0;     // since playback started
    int64_t levelMax = 0;
    uint64_t underruns = 0;  // times the sink found it had run dry
    uint64_t overflows = 0;  // times the level rose above the capacity

    StreamEnd end = StreamEnd::OPEN;
    bool endedByDisconnect = false;
    uint32_t disconnectRequests = 0;
    uint32_t disconnectAnswers = 0;
    bool silent = false;

    // The recorded payload in counter order (when the target keeps audio);
    // a missing packet leaves no bytes, and audioGap says so.
    TIVRA::Buffer audio;
    bool audioGap = false;
};

// Nominal byte rate: rate x channels x bytes per sample, for one-bit DSD
// rate x channels / 8. 0 for a format that is not valid.
uint64_t bytesPerSecond(uint64_t format);

// The options of a feedback answer for this level against the target: the
// relative error in Q14, held to what the kind carries and to the signed
// 16 bits the host keeps, and the value the host decodes from the options.
struct FeedbackOptions {
    uint16_t option0 = 0;
    uint16_t option1 = 0;
    uint16_t option2 = 0;
    int32_t value = 0;
};
FeedbackOptions encodeFeedback(StreamBehaviour::Feedback kind, int64_t level, int64_t target);

// What the stream sends back after a datagram: header-only messages, at most
// a resend request, a feedback answer and an unasked end.
struct StreamAnswers {
    static constexpr int kMax = 4;
    QUORVIN::Send list[kMax];
    int count = 0;

    void add(QUORVIN::MessageID message, QUORVIN::StatusID status, uint16_t o0, uint16_t o1, uint16_t o2)
    {
        if (count < kMax) {
            list[count++].set(message, status, o0, o1, o2, 0);
        }
    }
};

// Bytes appended in blocks that never move: a long stream costs no copies
// on the way, only when the report asks for the whole.
class ByteChunks {
public:
    void append(const uint8_t* bytes, size_t count);
    size_t size() const { return size_; }
    void appendTo(TIVRA::Buffer& out) const;

private:
    static constexpr size_t kChunk = size_t{1} << 20;
    std::vector<std::unique_ptr<uint8_t[]>> chunks_;
    size_t size_ = 0;
};

class StreamRecorder {
public:
    // latencyUs: the target level when the behaviour gives none. With an
    // audio file the payload is appended to it in counter order.
    StreamRecorder(size_t index, uint64_t format, const TIVRA::IPAddress& host, TIVRA::Clock now, uint64_t latencyUs,
                   bool keepAudio, const std::string& audioFile);
    ~StreamRecorder();
    StreamRecorder(const StreamRecorder&) = delete;
    StreamRecorder& operator=(const StreamRecorder&) = delete;

    // One STREAM_REQ from `from`: its counter, status and payload.
    void packet(uint16_t counter, QUORVIN::StatusID status, const uint8_t* payload, size_t size,
                const TIVRA::IPAddress& from, TIVRA::Clock now, const StreamBehaviour& behaviour, StreamAnswers& out);
    // A DSICONNECT_REQ ends the stream; true when it is to be answered.
    bool disconnectRequest(const StreamBehaviour& behaviour);
    // The sink ends the stream itself; false when it had already ended.
    bool endUnasked(StreamAnswers& out);
    // A resend request for the newest counter minus back, silent or not.
    void askResend(uint16_t back, StreamAnswers& out);
    void goSilent() { silent_ = true; }
    void finish(StreamEnd reason);

    bool ended() const { return end_ != StreamEnd::OPEN; }
    // Packets that came to the stream, before its end and after.
    uint64_t seen() const { return arrived_ + afterEnd_; }
    const TIVRA::IPAddress& host() const { return host_; }
    StreamReport report(bool withAudio) const;

private:
    int64_t extend(uint16_t counter) const;
    bool recorded(int64_t counter) const;
    bool dropNow(int64_t counter, QUORVIN::StatusID status, const StreamBehaviour& b);
    void burst(TIVRA::Clock now, int64_t counter, QUORVIN::StatusID status);
    // False when the packet lies beyond a gap and the sink holds all it can there.
    bool record(int64_t counter, const uint8_t* payload, size_t size);
    void append(const uint8_t* payload, size_t size);
    int64_t level() const { return static_cast<int64_t>(received_ - played_); }
    void levelSeen();
    void capacitySeen(const StreamBehaviour& b);
    void advance(TIVRA::Clock now, const StreamBehaviour& b);
    uint64_t bytesFor(uint64_t us) const;
    int64_t targetBytes(const StreamBehaviour& b) const;
    void resend(int64_t first, uint16_t received, StreamAnswers& out);
    void maybeResend(uint16_t received, StreamAnswers& out);
    void feedback(int64_t counter, const StreamBehaviour& b, StreamAnswers& out);
    uint64_t missingNow() const;

    size_t index_;
    uint64_t format_;
    uint64_t bps_;
    TIVRA::IPAddress host_;
    TIVRA::Clock connected_;
    uint64_t latencyUs_;
    bool keepAudio_;
    std::FILE* file_ = nullptr;

    // Every counter below contiguous_ is recorded; pending_ holds the
    // recorded ones above it until the gap below them is filled.
    int64_t contiguous_ = 0;
    int64_t highest_ = -1;
    std::map<int64_t, TIVRA::Buffer> pending_;
    size_t pendingBytes_ = 0;
    ByteChunks audio_;
    uint64_t missingAtEnd_ = 0;

    uint64_t arrived_ = 0;
    uint64_t packets_ = 0;
    uint64_t bytes_ = 0;
    uint64_t gaps_ = 0;
    uint64_t resendRequests_ = 0;
    uint64_t filled_ = 0;
    uint64_t duplicates_ = 0;
    uint64_t dropped_ = 0;
    uint64_t outside_ = 0;
    uint64_t afterEnd_ = 0;
    uint64_t cycleEnds_ = 0;
    uint64_t infoRequests_ = 0;

    // Loss and resends.
    std::mt19937_64 random_;
    uint64_t seed_;
    std::set<int64_t> droppedOnce_;
    int64_t lastAsked_ = -1;
    uint64_t cycleEndsSinceAsk_ = 0;
    uint64_t resendRetryCycles_ = 2;  // cycle ends before the same request is repeated
    bool farAsked_ = false;

    // Bursts.
    bool inBurst_ = false;
    bool haveBurstStart_ = false;
    TIVRA::Clock burstStart_;
    uint64_t burstPackets_ = 0;
    uint64_t bursts_ = 0;
    uint64_t burstPacketsSum_ = 0;
    uint64_t burstPacketsMin_ = 0;
    uint64_t burstPacketsMax_ = 0;
    int64_t burstFirst_ = 0;
    std::vector<BurstArrival> burstLog_;
    std::vector<uint64_t> intervals_;  // the first kMaxIntervals, for the percentiles
    uint64_t intervalCount_ = 0;
    uint64_t intervalSum_ = 0;
    uint64_t intervalMin_ = 0;
    uint64_t intervalMax_ = 0;

    // Playback: received_ bytes came in, played_ went out; a sink that ran
    // dry plays silence, so played_ never passes received_.
    bool haveFirst_ = false;
    TIVRA::Clock firstPacket_;
    bool playing_ = false;
    TIVRA::Clock playbackStart_;
    TIVRA::Clock playedAt_;
    unsigned __int128 remainder_ = 0;  // of played_, in bytes x 10^18
    uint64_t received_ = 0;
    uint64_t played_ = 0;
    int64_t levelMin_ = 0;
    int64_t levelMax_ = 0;
    bool over_ = false;
    uint64_t underruns_ = 0;
    uint64_t overflows_ = 0;
    int64_t lastTarget_ = 0;

    uint64_t feedbackAnswers_ = 0;
    int32_t lastFeedback_ = 0;
    std::vector<FeedbackAnswer> feedback_;

    StreamEnd end_ = StreamEnd::OPEN;
    uint32_t disconnectRequests_ = 0;
    uint32_t disconnectAnswers_ = 0;
    bool silent_ = false;
};

// One line for the program's log: "stream sink 0 #1 ended disconnect format 0x... packets ...".
std::string describeStream(size_t sink, const StreamReport& report);

}  // namespace testbed
