// Configuration of an emulated target: what each sink answers and how it
// misbehaves. Plain values; loaded from a settings file or built by tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Clock.h"
#include "foundation/FileInf.h"
#include "foundation/IPAddress.h"
#include "protocol/Identifiers.h"
#include "testbed/emulator/AdminTransfer.h"
#include "testbed/emulator/AdminIcon.h"
#include "testbed/emulator/AdminSettings.h"

namespace testbed {

// How a sink treats one request identifier. The default answers at once.
struct Behaviour {
    enum Mode : uint8_t {
        ANSWER,      // the normal answer with STATUS_OK
        SILENT,      // no answer at all
        REFUSE,      // the normal answer without STATUS_OK; the sink's state is left as it was
        ECHO,        // the request's own datagram sent back unchanged
        OTHER_PORT,  // the normal answer, sent from the target's other socket
        // The normal answer from the target's other address (the other-port
        // socket when the target has no second address).
        OTHER_ADDRESS,
        // The normal answer with the request field it echoes changed (the
        // number asked about, or the port kind of a second count ask);
        // answers that echo nothing go out unchanged.
        WRONG_ECHO,
        MALFORMED,  // only the broken form of the answer that `malformed` names
    };
    // A datagram the host must discard, sent just before the reply.
    enum Before : uint8_t {
        NOTHING,
        SHORT,       // the reply's first 15 bytes
        BAD_TAG,     // the reply with tag 99
        BAD_LENGTH,  // the reply whose length word claims 8 bytes more than it has
        OTHER_ID,    // the reply, valid, under another identifier (reply + 2)
        BAD_PAD,     // the reply whose pad count is 7 whatever its payload
        LOW_LENGTH,  // the reply whose length word says 8 bytes, less than the header
    };
    // The stray datagrams of a flood: valid headers the host must pass over.
    enum Stray : uint8_t {
        STRAY_OTHER_ID,  // the reply under identifier reply + 2
        STRAY_STALE,     // the reply, STATUS_OK, option 0 raised by 1, 2, ...: answers to earlier asks
    };

    Mode mode = ANSWER;
    // Above 1: only every k-th of a run of identical requests (same bytes,
    // same source) gets the reply; the others go unanswered.
    uint16_t onRepeat = 0;
    Before before = NOTHING;
    // From the request's arrival to the reply. A plain number, so that
    // designated initializers may leave it out without a warning.
    uint64_t delayUs = 0;
    // Above 1: the answer goes out that many times.
    uint16_t copies = 0;
    // Stray datagrams sent just before the answer (and its forerunner).
    uint16_t flood = 0;
    Stray stray = STRAY_OTHER_ID;
    // Non-zero: only the n-th request (from 1) that the behaviour is chosen
    // for misbehaves; the others get the normal answer.
    uint32_t nth = 0;
    Before malformed = SHORT;  // the form the MALFORMED mode sends

    bool operator==(const Behaviour&) const = default;
};

// Behaviours for the requests about one number: a sink of the port query,
// an entry of the status query, a control item (0: their count forms).
// They win over the behaviour of the plain identifier.
using NumberedBehaviours = std::map<std::pair<QUORVIN::MessageID, uint16_t>, Behaviour>;

// The number a request asks about, when its kind has one: the sink number of
// PORT_REQ (option 0, else option 1), the entry of STATUS_REQ, the item of
// CONTROLLIST_REQ and CONTROLVALUE_REQ (option 0 without the write bit), the icon
// number of ICON0_REQ, ICON1_REQ and ICON2_REQ (option 0).
// Count forms give 0.
std::optional<uint16_t> requestNumber(QUORVIN::MessageID message, uint16_t option0, uint16_t option1);

// Text form: a mode word ("answer", "silent", "refuse", "echo", "other-port",
// "other-address", "wrong-echo", or "malformed=short|tag|length|pad|low|other-id";
// "answer" when left out) and modifiers "repeat=K",
// "before=short|tag|length|pad|low|other-id", "delay=N" (microseconds, or with an
// "ms" or "us" suffix), "copies=K", "flood=N", "stray=other-id|stale",
// "nth=K", separated by blanks or commas.
bool parseBehaviour(const std::string& text, Behaviour& out);
// A request name or number, optionally with "#N" for one number it asks about.
bool parseMessageSelector(const std::string& text, QUORVIN::MessageID& message, std::optional<uint16_t>& number);
std::string behaviourText(const Behaviour& behaviour);

enum class LatencyPolicy : uint8_t {
    ACCEPT,  // a wanted latency is taken as it is
    CLAMP,   // a wanted latency is held within latencyMin..latencyMax
};

enum class PathOversize : uint8_t {
    DROP,      // a path test payload above pathMax goes unanswered, as if lost on the way
    TRUNCATE,  // it is answered as if only its first pathMax bytes had arrived
};

// The sink's side of a stream: the phase it reports, the playback it
// simulates (from which its feedback is computed), the loss it makes up and
// the ways it ends a stream. Read with every packet, so a change applies to
// the running stream from its next packet on.
struct StreamBehaviour {
    // How the feedback answer carries its Q14 value (the host tells them apart by the options).
    enum Feedback : uint8_t {
        FEEDBACK_NONE = 0,    // all options 0: no correction
        FEEDBACK_RATE = 1,    // option0 = (value + 16384) / 2, non-zero, bit 15 clear
        FEEDBACK_OFFSET = 2,  // option0 = 0x8000 | value as 15-bit two's complement
        FEEDBACK_RATIO = 3,   // option0 = 0, option1 = buffered, option2 = target level
    };
    // Which socket the stream's answers leave from. Only the data socket's
    // answers count for the host; the others test that it ignores them.
    enum AnswerFrom : uint8_t { FROM_DATA, FROM_SINK, FROM_OTHER_PORT };

    // STATUS_PHASE_VALID and STATUS_PHASE_NORMAL of CONNECT_ANS and of every feedback answer.
    uint16_t connectPhase = QUORVIN::STATUS_PHASE_VALID | QUORVIN::STATUS_PHASE_NORMAL;
    uint16_t streamPhase = QUORVIN::STATUS_PHASE_VALID | QUORVIN::STATUS_PHASE_NORMAL;
    Feedback feedback = FEEDBACK_RATE;
    AnswerFrom answerFrom = FROM_DATA;

    // Simulated playback, in microseconds of audio at the stream's nominal
    // byte rate. It starts when the buffered audio first reaches startLevelUs
    // (0: the target level), or startAfterUs after the first packet when that
    // is set and comes first; it then plays at the nominal rate times
    // (1 + ppm / 10^6). The feedback is the relative error of the buffered
    // audio against targetLevelUs (0: the latency in force at the connect).
    int32_t ppm = 0;
    uint64_t targetLevelUs = 0;
    uint64_t startLevelUs = 0;
    uint64_t startAfterUs = 0;
    uint64_t capacityUs = 0;  // above it a packet counts as an overflow; 0: no limit

    // Loss: arriving STREAM_REQ packets dropped as if they never came, by a
    // seeded share, every N-th arrival, and the listed stream counters (the
    // 16-bit counter extended past its wraps) once each.
    double dropShare = 0.0;
    uint64_t dropSeed = 1;
    uint64_t dropEvery = 0;
    std::vector<uint64_t> dropCounters;
    // Every packet that asks for feedback (STATUS_INFO) is dropped: the gap
    // is seen with the next packet, whose resend request then comes while
    // the host waits for the feedback answer.
    bool dropInfo = false;
    // Once the resendBackAfter-th packet has arrived, one resend request
    // for the newest counter minus resendBack (0: never).
    uint64_t resendBackAfter = 0;
    uint16_t resendBack = 0;

    // DSICONNECT_REQ is answered from this attempt of the stream on (1 the
    // first; 0 never).
    uint16_t disconnectAnswer = 1;
    // The sink ends the stream with an unasked DSICONNECT_ANS once this many
    // packets have arrived (0: never).
    uint64_t endAfter = 0;
    // The data socket stops answering after this many packets (0: never).
    uint64_t silentAfter = 0;
    // Each stream's payload in counter order is appended to this file.
    std::string audioFile;

    bool operator==(const StreamBehaviour&) const = default;
};

// One control item of a sink (the target control channel).
struct ControlItem {
    enum Type : uint16_t { PLAY = 1, VOLUME = 2 };
    uint16_t type = VOLUME;
    // The 48 bits the value answer carries above option 0; a volume is a
    // signed 16-bit value in hundredths of a decibel, sign-extended.
    uint64_t value = 0;
    // Sent beside STATUS_OK in every value answer (STATUS_PLAY: playing).
    uint16_t status = 0;
    // A play item that plays while the sink has a stream running, with the
    // stream's format as its value.
    bool followStream = true;
    // A volume write is held within minimum..maximum when set.
    bool clamp = false;
    int16_t minimum = INT16_MIN;
    int16_t maximum = INT16_MAX;

    bool operator==(const ControlItem&) const = default;
};

// Text form: "play" or "volume" or a type number, then "value=V" (a volume
// may be negative), "status=S", "follow=0|1", "min=M", "max=M" (either turns
// the clamp on).
bool parseControlItem(const std::string& text, ControlItem& out);

struct SinkConfig {
    std::string name;
    uint16_t port = 0;      // 0: an ephemeral port
    uint16_t dataPort = 0;  // of the stream's data socket; 0: an ephemeral port

    // Capability masks of the three detail answers (FormatSupport layout).
    // Default: stereo PCM of 16, 24 and 32 bits at 44.1 and 48 kHz times 1, 2 and 4.
    uint64_t supportPCM = 0x3800000000ULL | 0x600000000ULL | 0x800 | 0x400 | 0x200 | 0x02;
    uint64_t supportDSDlsb = 0;
    uint64_t supportDSDmsb = 0;
    // The summary answer; derived from the masks when unset.
    std::optional<uint64_t> supportSummary;

    // Cycle parameters in 10-us units and the profile flags.
    uint16_t cycleMin = 104;
    uint16_t cycleMax = 2083;
    uint16_t profileFlags = 0x06;

    // Latencies in 100-us units.
    uint16_t latency = 1000;  // in force until the host sets another
    uint16_t hwLatency = 20;
    LatencyPolicy latencyPolicy = LatencyPolicy::ACCEPT;
    uint16_t latencyMin = 0;
    uint16_t latencyMax = 0xFFFF;

    uint16_t mtu = 1500;
    uint16_t perCycle = 0xFFFF;  // bytes per cycle, 0xFFFF none
    uint16_t pathMax = 1436;     // largest path test payload that gets through
    PathOversize pathOversize = PathOversize::DROP;

    // The connect preparation answer carries a payload: the sink wants the host's name.
    bool wantName = false;

    // Per request identifier; identifiers not listed are answered normally.
    std::map<QUORVIN::MessageID, Behaviour> behaviours;
    NumberedBehaviours numberedBehaviours;

    // The target protocol version the port and status answers give for this sink.
    uint16_t version = 1;
    // Options 0-3 of NODEINFO_ANS.
    uint16_t nodeInfo[4] = {0, 0, 0, 0};
    // Items 1..n of the control channel; the count answer says n unless
    // controlCount is set, and items past the list are of type 0, value 0.
    std::vector<ControlItem> controls = {ControlItem{.type = ControlItem::PLAY}, ControlItem{}};
    std::optional<uint16_t> controlCount;

    StreamBehaviour stream;

    // The summary answer in force: supportSummary, else the category bits of the masks.
    uint64_t summary() const;
};

// A sink number of the port query. Unset `sink`: the entry answers `port`
// and `name` as given, so numbers may answer ports that no sink has.
struct PortEntry {
    std::optional<size_t> sink;
    uint16_t port = 0;                // without a sink; 0 answers "no sink"
    std::optional<uint16_t> version;  // default: the sink's, else 1
    std::optional<std::string> name;  // default: the sink's, else empty

    bool operator==(const PortEntry&) const = default;
};

// One entry of the status query: a sink of the target and the peer that feeds it.
struct StatusEntry {
    uint16_t state = 1;
    std::optional<size_t> sink;  // its port; else `port`
    uint16_t port = 0;
    std::optional<uint16_t> version;
    // The feeder: its address (only the 16 address bytes travel) and sink
    // number; ::1 with the sink's own number is this host feeding it.
    TIVRA::IPAddress peer;
    uint16_t peerSink = 0;
    std::string peerName;
    // Cuts the payload (18 bytes + the name) to this many bytes.
    std::optional<size_t> payloadBytes;

    bool operator==(const StatusEntry&) const = default;

    // Sink `sink` of this target, fed by sink `peerSink` of the target at
    // `peer` that calls itself `peerName`: a link of a chain across targets.
    static StatusEntry fedBy(const TIVRA::IPAddress& peer, uint16_t peerSink, const std::string& peerName,
                             size_t sink = 0)
    {
        StatusEntry e;
        e.state = 0;
        e.sink = sink;
        e.peer = peer;
        e.peerSink = peerSink;
        e.peerName = peerName;
        return e;
    }
};

// What the discovery port answers about the target itself: its numbered
// information texts, each in one or more parts, its firmware texts and its
// reboot.
struct AdminInfoConfig {
    std::string firmwareVersion;  // FWVERSION_ANS
    std::string firmwareUrl;      // FWURL_ANS
    // Index to parts; option 2 of each answer is the number of parts.
    // Unknown indexes and parts past the list are refused.
    std::map<uint16_t, std::vector<std::string>> texts;
    // Announces another part count for an index than its parts give.
    std::map<uint16_t, uint16_t> announcedParts;
    // Option 0 of REBOOT_ANS; unset: the value asked for.
    std::optional<uint16_t> rebootAnswer;

    bool operator==(const AdminInfoConfig&) const = default;
};

// The target's discovery endpoint: the port the search and the target
// queries come to, and what it answers there.
struct DiscoveryConfig {
    // Off when unset; 0 binds an ephemeral port. Off by default in the
    // library: every host stream asks [::1]:19642 for the log relay, so
    // in-process targets on the fixed port would take each other's strays.
    // A target read from a settings file, and the program's, use 19642.
    std::optional<uint16_t> port;
    // A link-local target takes the multicast search on its interface; with
    // this clear it answers unicast searches only.
    bool answerMulticast = true;
    uint64_t productId = 0;
    std::string description;  // SINKOUT_ANS; may hold "[myaddress]"

    // Count form of PORT_REQ: the counts of options 0 and 1 (default: the
    // highest sink number), and the port kind of the first answer; with a
    // kind the host asks again with its own kind, which the answer echoes.
    std::optional<uint16_t> sinkCount;
    std::optional<uint16_t> sinkCount1;
    uint16_t countKind = 0;
    // The count answer's payload: 1024 is the two bitmaps of the numbers in
    // the port table; any other size is that many zero bytes; 0 none.
    uint16_t bitmapBytes = 1024;
    // Sink numbers of PORT_REQ; empty: sink i is number i + 1. Numbers not
    // listed answer port 0.
    std::map<uint16_t, PortEntry> ports;

    // STATUS_REQ: the count answer (default: the entries) and entries 1..n
    // (default: every sink fed by this host: state 1, peer ::1 and its own
    // number). Entries past the list are refused.
    std::optional<uint16_t> statusCount;
    std::optional<std::vector<StatusEntry>> status;
    // Entries fed by the host (peer ::1) name it as the latest NOTISNAME_REQ
    // did, in place of their peerName, as a target that knows its feeder does.
    bool hostPeerName = false;

    std::map<QUORVIN::MessageID, Behaviour> behaviours;
    NumberedBehaviours numberedBehaviours;

    AdminInfoConfig info;
    // ICON0_REQ, ICON1_REQ, ICON2_REQ.
    IconConfig icons;
    // The storage areas of the acknowledged upload; none by default.
    TransferConfig transfer;

    // The target's and its sinks' setting lists (groups [targetSetting.N]
    // and [sinkSetting.N] of a settings file).
    SettingsConfig settings;
};

struct TargetConfig {
    std::string name = "Target Emulator";
    // Where every socket of the target binds: ::1 by default, or a
    // link-local address with its interface index.
    TIVRA::IPAddress address = loopback();
    std::vector<SinkConfig> sinks;
    DiscoveryConfig discovery;
    // A second address of the target, which answers of the OTHER_ADDRESS
    // behaviour leave from; without it they leave from the other port.
    std::optional<TIVRA::IPAddress> otherAddress;
    // Requests kept per sink, the oldest dropped first; 0 keeps every one.
    size_t recordLimit = 0;

    // The log relay service: a socket on the target's address that answers
    // DEBUG_REQ with the lines, one DEBUG_ANS (option0 = 2) per line. Off
    // when unset; 0 binds an ephemeral port (the host always asks 19642).
    std::optional<uint16_t> logPort;
    std::vector<std::string> logLines;
    // The host's exchange takes the first DEBUG_ANS as its answer and does
    // not log it, so an empty acknowledgement (option0 = 0) goes first.
    bool logAck = true;
    // When set, sent with option0 = 1 before the lines: the host must drop it.
    std::string logDropLine;

    // Streams keep their payload in memory for the report.
    bool keepAudio = true;
    // The stream model's time (playback, burst timing); the monotonic clock
    // when unset. Tests put a clock of their own here.
    std::function<TIVRA::Clock()> clock;

    static TIVRA::IPAddress loopback();
    // `count` sinks with the defaults, named "Output 0", "Output 1", ...
    static TargetConfig withSinks(size_t count);
};

// Reads group [target] (name, address, ifindex, sinks, records, the log
// relay keys), [info] (the information texts and firmware) and one group per sink, [sink.N] or, when the target has no
// [sink.N], [sink]. Unknown keys and malformed values are refused with a
// message in `error`.
bool parseTargetConfig(const TIVRA::FileInf& settings, TargetConfig& out, std::string& error);
bool loadTargetConfig(const std::string& path, TargetConfig& out, std::string& error);
// One key of a sink group, as in the file; false with `error` set.
bool parseSinkKey(const std::string& key, const std::string& value, SinkConfig& sink, std::string& error);

// "0x" hexadecimal or decimal, no sign, nothing after the digits, at most max.
bool parseNumber(const std::string& text, uint64_t max, uint64_t& out);
// The phase bits as a word (none, normal, inverted) or a number; only
// STATUS_PHASE_VALID and STATUS_PHASE_NORMAL are kept.
bool parsePhase(const std::string& text, uint16_t& out);
// An IPv6 address with an optional "%N" or "%ifname" scope.
bool parseAddress(const std::string& text, TIVRA::IPAddress& out);

}  // namespace testbed
