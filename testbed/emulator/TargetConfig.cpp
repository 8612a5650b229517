#include "testbed/emulator/TargetConfig.h"

#include <net/if.h>

#include <cmath>
#include <cstdlib>

#include "protocol/Message.h"
#include "testbed/emulator/MessageNames.h"

namespace testbed {

namespace {

constexpr const char* kBehaviourPrefix = "behaviour.";
constexpr const char* kLogLinePrefix = "logLine.";
constexpr const char* kControlPrefix = "control.";
constexpr size_t kMaxSinks = 64;
// Longest accepted delay: an hour, well inside the picosecond range.
constexpr uint64_t kMaxDelayUs = 3'600'000'000ULL;
// A clock off by more than 10 % is no longer a drift but a wrong rate.
constexpr int64_t kMaxPpm = 100'000;
constexpr uint64_t kMaxLogLines = 1000;

std::vector<std::string> splitWords(const std::string& text)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == '\t') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        } else {
            word.push_back(c);
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    return words;
}

bool parseFlag(const std::string& text, bool& out)
{
    if (text == "1" || text == "yes" || text == "true" || text == "on") {
        out = true;
        return true;
    }
    if (text == "0" || text == "no" || text == "false" || text == "off") {
        out = false;
        return true;
    }
    return false;
}

bool parseDelay(const std::string& text, uint64_t& us)
{
    std::string digits = text;
    uint64_t unit = 1;
    if (digits.size() > 2 && digits.compare(digits.size() - 2, 2, "ms") == 0) {
        unit = 1000;
        digits.resize(digits.size() - 2);
    } else if (digits.size() > 2 && digits.compare(digits.size() - 2, 2, "us") == 0) {
        digits.resize(digits.size() - 2);
    }
    uint64_t value = 0;
    if (!parseNumber(digits, kMaxDelayUs / unit, value)) {
        return false;
    }
    us = value * unit;
    return true;
}

bool parseSigned(const std::string& text, int64_t limit, int64_t& out)
{
    const bool negative = !text.empty() && text[0] == '-';
    const bool sign = negative || (!text.empty() && text[0] == '+');
    uint64_t magnitude = 0;
    if (!parseNumber(sign ? text.substr(1) : text, static_cast<uint64_t>(limit), magnitude)) {
        return false;
    }
    out = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

// A share from 0 to 1 as a decimal fraction ("0.05").
bool parseShare(const std::string& text, double& out)
{
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v) || v < 0.0 || v > 1.0) {
        return false;
    }
    out = v;
    return true;
}

// Counters separated by blanks or commas.
bool parseCounters(const std::string& text, std::vector<uint64_t>& out)
{
    std::vector<uint64_t> counters;
    for (const std::string& word : splitWords(text)) {
        uint64_t n = 0;
        if (!parseNumber(word, UINT64_MAX, n)) {
            return false;
        }
        counters.push_back(n);
    }
    out = std::move(counters);
    return true;
}

const TIVRA::FileInf::KeyMap* findGroup(const TIVRA::FileInf& settings, const std::string& name)
{
    const auto it = settings.groups.find(name);
    return it == settings.groups.end() ? nullptr : &it->second;
}

// The keys of a sink's stream side; false with `error` set.
bool streamKey(const std::string& key, const std::string& value, StreamBehaviour& stream, std::string& error)
{
    uint64_t n = 0;
    auto fail = [&](const std::string& what) {
        error = key + ": " + what + ": '" + value + "'";
        return false;
    };
    auto count = [&](uint64_t& field) {
        if (!parseNumber(value, UINT64_MAX, field)) {
            return fail("not a number");
        }
        return true;
    };
    auto duration = [&](uint64_t& field) {
        if (!parseDelay(value, field)) {
            return fail("not a duration up to an hour (us or ms)");
        }
        return true;
    };
    if (key == "connectPhase" || key == "streamPhase") {
        if (!parsePhase(value, key == "connectPhase" ? stream.connectPhase : stream.streamPhase)) {
            return fail("none, normal, inverted or the status bits expected");
        }
        return true;
    }
    if (key == "feedback") {
        static const char* const names[] = {"none", "rate", "offset", "ratio"};
        for (uint8_t kind = 0; kind < 4; ++kind) {
            if (value == names[kind] || value == std::to_string(kind)) {
                stream.feedback = static_cast<StreamBehaviour::Feedback>(kind);
                return true;
            }
        }
        return fail("none, rate, offset, ratio or 0 to 3 expected");
    }
    if (key == "answerFrom") {
        if (value == "data") {
            stream.answerFrom = StreamBehaviour::FROM_DATA;
        } else if (value == "sink") {
            stream.answerFrom = StreamBehaviour::FROM_SINK;
        } else if (value == "other-port") {
            stream.answerFrom = StreamBehaviour::FROM_OTHER_PORT;
        } else {
            return fail("data, sink or other-port expected");
        }
        return true;
    }
    if (key == "ppm") {
        int64_t ppm = 0;
        if (!parseSigned(value, kMaxPpm, ppm)) {
            return fail("a signed number of parts per million up to 100000 expected");
        }
        stream.ppm = static_cast<int32_t>(ppm);
        return true;
    }
    if (key == "targetLevel") {
        return duration(stream.targetLevelUs);
    }
    if (key == "startLevel") {
        return duration(stream.startLevelUs);
    }
    if (key == "startAfter") {
        return duration(stream.startAfterUs);
    }
    if (key == "capacity") {
        return duration(stream.capacityUs);
    }
    if (key == "dropShare") {
        if (!parseShare(value, stream.dropShare)) {
            return fail("a share from 0 to 1 expected");
        }
        return true;
    }
    if (key == "dropSeed") {
        return count(stream.dropSeed);
    }
    if (key == "dropEvery") {
        return count(stream.dropEvery);
    }
    if (key == "dropCounters") {
        if (!parseCounters(value, stream.dropCounters)) {
            return fail("counters expected");
        }
        return true;
    }
    if (key == "dropInfo") {
        if (!parseNumber(value, 1, n)) {
            return fail("0 or 1 expected");
        }
        stream.dropInfo = n != 0;
        return true;
    }
    if (key == "resendBackAfter") {
        return count(stream.resendBackAfter);
    }
    if (key == "resendBack") {
        if (!parseNumber(value, 0xFFFF, n)) {
            return fail("not a number up to 65535");
        }
        stream.resendBack = static_cast<uint16_t>(n);
        return true;
    }
    if (key == "disconnectAnswer") {
        if (value == "never") {
            stream.disconnectAnswer = 0;
            return true;
        }
        if (!parseNumber(value, 0xFFFF, n)) {
            return fail("an attempt number or never expected");
        }
        stream.disconnectAnswer = static_cast<uint16_t>(n);
        return true;
    }
    if (key == "endAfter") {
        return count(stream.endAfter);
    }
    if (key == "silentAfter") {
        return count(stream.silentAfter);
    }
    if (key == "audioFile") {
        stream.audioFile = value;
        return true;
    }
    error = key + ": unknown key";
    return false;
}

// "behaviour.NAME" or "behaviour.NAME#N" into one of the two maps.
bool behaviourKey(const std::string& key, const std::string& value, std::map<QUORVIN::MessageID, Behaviour>& plain,
                  NumberedBehaviours& numbered, std::string& error)
{
    const std::string name = key.substr(std::char_traits<char>::length(kBehaviourPrefix));
    QUORVIN::MessageID message = 0;
    std::optional<uint16_t> number;
    if (!parseMessageSelector(name, message, number)) {
        error = key + (name.find('#') != std::string::npos ? ": bad number after '#'" : ": unknown message");
        return false;
    }
    Behaviour behaviour;
    if (!parseBehaviour(value, behaviour)) {
        error = key + ": bad behaviour: '" + value + "'";
        return false;
    }
    if (number) {
        numbered[{message, *number}] = behaviour;
    } else {
        plain[message] = behaviour;
    }
    return true;
}

// The value of a key as a number up to `max`; false with `error` set.
bool keyNumber(const std::string& key, const std::string& value, uint64_t max, uint64_t& n, std::string& error)
{
    if (parseNumber(value, max, n)) {
        return true;
    }
    error = key + ": not a number up to " + std::to_string(max) + ": '" + value + "'";
    return false;
}

// Reads one key of a sink group into the config; false with `error` set.
bool sinkKey(const std::string& key, const std::string& value, SinkConfig& sink, std::string& error)
{
    uint64_t n = 0;
    auto number = [&](uint64_t max) { return keyNumber(key, value, max, n, error); };
    auto word16 = [&](uint16_t& field) {
        if (!number(0xFFFF)) {
            return false;
        }
        field = static_cast<uint16_t>(n);
        return true;
    };
    auto word64 = [&](uint64_t& field) {
        if (!number(UINT64_MAX)) {
            return false;
        }
        field = n;
        return true;
    };

    if (key == "name") {
        sink.name = value;
        return true;
    }
    if (key == "port") {
        return word16(sink.port);
    }
    if (key == "support") {
        uint64_t summary = 0;
        if (!word64(summary)) {
            return false;
        }
        sink.supportSummary = summary;
        return true;
    }
    if (key == "pcm") {
        return word64(sink.supportPCM);
    }
    if (key == "dsdLsb") {
        return word64(sink.supportDSDlsb);
    }
    if (key == "dsdMsb") {
        return word64(sink.supportDSDmsb);
    }
    if (key == "cycleMin") {
        return word16(sink.cycleMin);
    }
    if (key == "cycleMax") {
        return word16(sink.cycleMax);
    }
    if (key == "profile") {
        return word16(sink.profileFlags);
    }
    if (key == "latency") {
        return word16(sink.latency);
    }
    if (key == "hwLatency") {
        return word16(sink.hwLatency);
    }
    if (key == "latencyMin") {
        return word16(sink.latencyMin);
    }
    if (key == "latencyMax") {
        return word16(sink.latencyMax);
    }
    if (key == "latencyPolicy") {
        if (value == "accept") {
            sink.latencyPolicy = LatencyPolicy::ACCEPT;
        } else if (value == "clamp") {
            sink.latencyPolicy = LatencyPolicy::CLAMP;
        } else {
            error = key + ": 'accept' or 'clamp' expected: '" + value + "'";
            return false;
        }
        return true;
    }
    if (key == "mtu") {
        return word16(sink.mtu);
    }
    if (key == "perCycle") {
        return word16(sink.perCycle);
    }
    if (key == "pathMax") {
        if (!number(65512)) {
            return false;
        }
        sink.pathMax = static_cast<uint16_t>(n);
        return true;
    }
    if (key == "pathOversize") {
        if (value == "drop") {
            sink.pathOversize = PathOversize::DROP;
        } else if (value == "truncate") {
            sink.pathOversize = PathOversize::TRUNCATE;
        } else {
            error = key + ": 'drop' or 'truncate' expected: '" + value + "'";
            return false;
        }
        return true;
    }
    if (key == "wantName") {
        if (!parseFlag(value, sink.wantName)) {
            error = key + ": 0 or 1 expected: '" + value + "'";
            return false;
        }
        return true;
    }
    if (key.rfind(kBehaviourPrefix, 0) == 0) {
        return behaviourKey(key, value, sink.behaviours, sink.numberedBehaviours, error);
    }
    if (key == "dataPort") {
        return word16(sink.dataPort);
    }
    if (key == "version") {
        return word16(sink.version);
    }
    if (key == "nodeInfo") {
        const std::vector<std::string> words = splitWords(value);
        uint64_t v[4] = {};
        if (words.size() != 4 || !parseNumber(words[0], 0xFFFF, v[0]) || !parseNumber(words[1], 0xFFFF, v[1])
            || !parseNumber(words[2], 0xFFFF, v[2]) || !parseNumber(words[3], 0xFFFF, v[3])) {
            error = key + ": four numbers up to 65535 expected: '" + value + "'";
            return false;
        }
        for (size_t i = 0; i < 4; ++i) {
            sink.nodeInfo[i] = static_cast<uint16_t>(v[i]);
        }
        return true;
    }
    if (key == "controlCount") {
        uint16_t count = 0;
        if (!word16(count)) {
            return false;
        }
        sink.controlCount = count;
        return true;
    }
    return streamKey(key, value, sink.stream, error);
}

// The discovery keys of [target]; false with `error` set.
bool discoveryKey(const std::string& key, const std::string& value, TargetConfig& target, std::string& error)
{
    DiscoveryConfig& d = target.discovery;
    uint64_t n = 0;
    auto word16 = [&](uint16_t& field) {
        if (!keyNumber(key, value, 0xFFFF, n, error)) {
            return false;
        }
        field = static_cast<uint16_t>(n);
        return true;
    };
    auto optional16 = [&](std::optional<uint16_t>& field) {
        uint16_t v = 0;
        if (!word16(v)) {
            return false;
        }
        field = v;
        return true;
    };
    if (key == "discoveryPort") {
        if (value == "off") {
            d.port.reset();
            return true;
        }
        return optional16(d.port);
    }
    if (key == "answerMulticast") {
        if (!parseFlag(value, d.answerMulticast)) {
            error = key + ": 0 or 1 expected: '" + value + "'";
            return false;
        }
        return true;
    }
    if (key == "productId") {
        if (!parseNumber(value, UINT64_MAX, d.productId)) {
            error = key + ": not a number: '" + value + "'";
            return false;
        }
        return true;
    }
    if (key == "description") {
        d.description = value;
        return true;
    }
    if (key == "otherAddress") {
        TIVRA::IPAddress a;
        if (!parseAddress(value, a)) {
            error = key + ": not an IPv6 address: '" + value + "'";
            return false;
        }
        target.otherAddress = a;
        return true;
    }
    if (key == "sinkCount") {
        return optional16(d.sinkCount);
    }
    if (key == "sinkCount1") {
        return optional16(d.sinkCount1);
    }
    if (key == "countKind") {
        return word16(d.countKind);
    }
    if (key == "bitmapBytes") {
        if (!parseNumber(value, QUORVIN::MAX_PAYLOAD, n)) {
            error = key + ": a size up to 65512 expected: '" + value + "'";
            return false;
        }
        d.bitmapBytes = static_cast<uint16_t>(n);
        return true;
    }
    if (key == "statusCount") {
        return optional16(d.statusCount);
    }
    if (key == "hostPeerName") {
        if (!parseFlag(value, d.hostPeerName)) {
            error = key + ": 0 or 1 expected: '" + value + "'";
            return false;
        }
        return true;
    }
    if (key.rfind(kBehaviourPrefix, 0) == 0) {
        return behaviourKey(key, value, d.behaviours, d.numberedBehaviours, error);
    }
    error = key + ": unknown key";
    return false;
}

// One key of a [port.N] group.
bool portKey(const std::string& key, const std::string& value, PortEntry& entry, std::string& error)
{
    uint64_t n = 0;
    auto number = [&](uint64_t max) { return keyNumber(key, value, max, n, error); };
    if (key == "sink") {
        if (!number(kMaxSinks - 1)) {
            return false;
        }
        entry.sink = static_cast<size_t>(n);
    } else if (key == "port") {
        if (!number(0xFFFF)) {
            return false;
        }
        entry.port = static_cast<uint16_t>(n);
    } else if (key == "version") {
        if (!number(0xFFFF)) {
            return false;
        }
        entry.version = static_cast<uint16_t>(n);
    } else if (key == "name") {
        entry.name = value;
    } else {
        error = key + ": unknown key";
        return false;
    }
    return true;
}

// One key of a [status.N] group.
bool statusKey(const std::string& key, const std::string& value, StatusEntry& entry, std::string& error)
{
    uint64_t n = 0;
    auto number = [&](uint64_t max) { return keyNumber(key, value, max, n, error); };
    if (key == "state") {
        if (!number(0xFFFF)) {
            return false;
        }
        entry.state = static_cast<uint16_t>(n);
    } else if (key == "sink") {
        if (!number(kMaxSinks - 1)) {
            return false;
        }
        entry.sink = static_cast<size_t>(n);
    } else if (key == "port") {
        if (!number(0xFFFF)) {
            return false;
        }
        entry.port = static_cast<uint16_t>(n);
    } else if (key == "version") {
        if (!number(0xFFFF)) {
            return false;
        }
        entry.version = static_cast<uint16_t>(n);
    } else if (key == "peer") {
        if (!parseAddress(value, entry.peer)) {
            error = key + ": not an IPv6 address: '" + value + "'";
            return false;
        }
    } else if (key == "peerSink") {
        if (!number(0xFFFF)) {
            return false;
        }
        entry.peerSink = static_cast<uint16_t>(n);
    } else if (key == "peerName") {
        entry.peerName = value;
    } else if (key == "payloadBytes") {
        if (!number(QUORVIN::MAX_PAYLOAD)) {
            return false;
        }
        entry.payloadBytes = static_cast<size_t>(n);
    } else {
        error = key + ": unknown key";
        return false;
    }
    return true;
}

bool targetKey(const std::string& key, const std::string& value, TargetConfig& target, uint64_t& sinkCount,
               std::string& error)
{
    uint64_t n = 0;
    if (key == "name") {
        target.name = value;
        return true;
    }
    if (key == "address") {
        if (!parseAddress(value, target.address)) {
            error = key + ": not an IPv6 address: '" + value + "'";
            return false;
        }
        return true;
    }
    if (key == "ifindex") {
        if (!parseNumber(value, 0xFFFF, n)) {
            error = key + ": not an interface index: '" + value + "'";
            return false;
        }
        target.address.ifindex = static_cast<uint32_t>(n);
        return true;
    }
    if (key == "sinks") {
        if (!parseNumber(value, kMaxSinks, sinkCount) || sinkCount == 0) {
            error = key + ": a count of 1 to " + std::to_string(kMaxSinks) + " expected: '" + value + "'";
            return false;
        }
        return true;
    }
    if (key == "records") {
        if (!parseNumber(value, UINT32_MAX, n)) {
            error = key + ": not a number: '" + value + "'";
            return false;
        }
        target.recordLimit = static_cast<size_t>(n);
        return true;
    }
    if (key == "logPort") {
        if (value == "off") {
            target.logPort.reset();
            return true;
        }
        if (!parseNumber(value, 0xFFFF, n)) {
            error = key + ": off or a port expected: '" + value + "'";
            return false;
        }
        target.logPort = static_cast<uint16_t>(n);
        return true;
    }
    if (key == "logAck") {
        if (!parseFlag(value, target.logAck)) {
            error = key + ": 0 or 1 expected: '" + value + "'";
            return false;
        }
        return true;
    }
    if (key == "logDropLine") {
        target.logDropLine = value;
        return true;
    }
    return discoveryKey(key, value, target, error);
}

// logLine.N keys: the lines in the order of their numbers.
bool logLineKey(const std::string& key, uint64_t& index, std::string& error)
{
    if (key.rfind(kLogLinePrefix, 0) != 0
        || !parseNumber(key.substr(std::char_traits<char>::length(kLogLinePrefix)), kMaxLogLines - 1, index)) {
        error = key + ": unknown key";
        return false;
    }
    return true;
}

}  // namespace

bool parseNumber(const std::string& text, uint64_t max, uint64_t& out)
{
    size_t at = 0;
    uint64_t base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        at = 2;
    }
    if (at >= text.size()) {
        return false;
    }
    uint64_t value = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        uint64_t d = 0;
        if (c >= '0' && c <= '9') {
            d = static_cast<uint64_t>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = static_cast<uint64_t>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = static_cast<uint64_t>(c - 'A' + 10);
        } else {
            return false;
        }
        if (d > max || value > (max - d) / base) {
            return false;  // above max, and never wrapping
        }
        value = value * base + d;
    }
    out = value;
    return true;
}

bool parseAddress(const std::string& text, TIVRA::IPAddress& out)
{
    TIVRA::IPAddress address;
    const size_t percent = text.find('%');
    if (!address.set_V6_str(text.substr(0, percent))) {
        return false;
    }
    if (percent != std::string::npos) {
        const std::string scope = text.substr(percent + 1);
        uint64_t index = 0;
        if (!parseNumber(scope, 0xFFFF, index)) {
            index = scope.empty() ? 0 : if_nametoindex(scope.c_str());
            if (index == 0 || index > 0xFFFF) {
                return false;
            }
        }
        address.ifindex = static_cast<uint32_t>(index);
    }
    out = address;
    return true;
}

bool parseSinkKey(const std::string& key, const std::string& value, SinkConfig& sink, std::string& error)
{
    return sinkKey(key, value, sink, error);
}

bool parsePhase(const std::string& text, uint16_t& out)
{
    constexpr uint16_t kPhaseBits = QUORVIN::STATUS_PHASE_VALID | QUORVIN::STATUS_PHASE_NORMAL;
    if (text == "none") {
        out = 0;
    } else if (text == "normal") {
        out = kPhaseBits;
    } else if (text == "inverted") {
        out = QUORVIN::STATUS_PHASE_VALID;
    } else {
        uint64_t bits = 0;
        if (!parseNumber(text, 0xFFFF, bits) || (bits & ~uint64_t{kPhaseBits}) != 0) {
            return false;
        }
        out = static_cast<uint16_t>(bits);
    }
    return true;
}

namespace {

bool parseForm(const std::string& value, Behaviour::Before& out)
{
    static const char* const names[] = {"nothing", "short", "tag", "length", "other-id", "pad", "low"};
    for (uint8_t i = 0; i < 7; ++i) {
        if (value == names[i]) {
            out = static_cast<Behaviour::Before>(i);
            return true;
        }
    }
    return false;
}

const char* formName(Behaviour::Before form)
{
    static const char* const names[] = {"nothing", "short", "tag", "length", "other-id", "pad", "low"};
    return names[form];
}

}  // namespace

bool parseMessageSelector(const std::string& text, QUORVIN::MessageID& message, std::optional<uint16_t>& number)
{
    std::string name = text;
    std::optional<uint16_t> n;
    if (const size_t hash = name.find('#'); hash != std::string::npos) {
        uint64_t v = 0;
        if (!parseNumber(name.substr(hash + 1), 0xFFFF, v)) {
            return false;
        }
        n = static_cast<uint16_t>(v);
        name.resize(hash);
    }
    if (!messageByName(name, message)) {
        return false;
    }
    number = n;
    return true;
}

std::optional<uint16_t> requestNumber(QUORVIN::MessageID message, uint16_t option0, uint16_t option1)
{
    switch (message) {
    case QUORVIN::PORT_REQ:
        return option0 != 0 ? option0 : option1;
    case QUORVIN::STATUS_REQ:
    case QUORVIN::CONTROLLIST_REQ:
    case QUORVIN::ICON0_REQ:
    case QUORVIN::ICON1_REQ:
    case QUORVIN::ICON2_REQ:
        return option0;
    case QUORVIN::CONTROLVALUE_REQ:
        return static_cast<uint16_t>(option0 & 0x7FFF);
    default:
        return std::nullopt;
    }
}

bool parseBehaviour(const std::string& text, Behaviour& out)
{
    Behaviour b;
    bool haveMode = false;
    for (const std::string& word : splitWords(text)) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos && word.compare(0, eq, "malformed") == 0) {
            if (haveMode || !parseForm(word.substr(eq + 1), b.malformed) || b.malformed == Behaviour::NOTHING) {
                return false;
            }
            haveMode = true;
            b.mode = Behaviour::MALFORMED;
            continue;
        }
        if (eq == std::string::npos) {
            if (haveMode) {
                return false;
            }
            haveMode = true;
            if (word == "answer") {
                b.mode = Behaviour::ANSWER;
            } else if (word == "silent") {
                b.mode = Behaviour::SILENT;
            } else if (word == "refuse") {
                b.mode = Behaviour::REFUSE;
            } else if (word == "echo") {
                b.mode = Behaviour::ECHO;
            } else if (word == "other-port") {
                b.mode = Behaviour::OTHER_PORT;
            } else if (word == "other-address") {
                b.mode = Behaviour::OTHER_ADDRESS;
            } else if (word == "wrong-echo") {
                b.mode = Behaviour::WRONG_ECHO;
            } else {
                return false;
            }
            continue;
        }
        const std::string name = word.substr(0, eq);
        const std::string value = word.substr(eq + 1);
        if (name == "repeat") {
            uint64_t k = 0;
            if (!parseNumber(value, 0xFFFF, k)) {
                return false;
            }
            b.onRepeat = static_cast<uint16_t>(k);
        } else if (name == "before") {
            if (!parseForm(value, b.before)) {
                return false;
            }
        } else if (name == "copies" || name == "flood") {
            uint64_t k = 0;
            if (!parseNumber(value, 0xFFFF, k)) {
                return false;
            }
            (name == "copies" ? b.copies : b.flood) = static_cast<uint16_t>(k);
        } else if (name == "stray") {
            if (value == "other-id") {
                b.stray = Behaviour::STRAY_OTHER_ID;
            } else if (value == "stale") {
                b.stray = Behaviour::STRAY_STALE;
            } else {
                return false;
            }
        } else if (name == "nth") {
            uint64_t k = 0;
            if (!parseNumber(value, UINT32_MAX, k)) {
                return false;
            }
            b.nth = static_cast<uint32_t>(k);
        } else if (name == "delay") {
            if (!parseDelay(value, b.delayUs)) {
                return false;
            }
        } else {
            return false;
        }
    }
    out = b;
    return true;
}

std::string behaviourText(const Behaviour& behaviour)
{
    static const char* const modes[] = {"answer",     "silent",        "refuse",    "echo",
                                        "other-port", "other-address", "wrong-echo"};
    std::string text = behaviour.mode == Behaviour::MALFORMED
                           ? std::string("malformed=") + formName(behaviour.malformed)
                           : modes[behaviour.mode];
    if (behaviour.onRepeat > 1) {
        text += " repeat=" + std::to_string(behaviour.onRepeat);
    }
    if (behaviour.before != Behaviour::NOTHING) {
        text += std::string(" before=") + formName(behaviour.before);
    }
    if (behaviour.delayUs != 0) {
        text += " delay=" + std::to_string(behaviour.delayUs) + "us";
    }
    if (behaviour.copies > 1) {
        text += " copies=" + std::to_string(behaviour.copies);
    }
    if (behaviour.flood != 0) {
        text += " flood=" + std::to_string(behaviour.flood);
        text += behaviour.stray == Behaviour::STRAY_STALE ? " stray=stale" : " stray=other-id";
    }
    if (behaviour.nth != 0) {
        text += " nth=" + std::to_string(behaviour.nth);
    }
    return text;
}

uint64_t SinkConfig::summary() const
{
    if (supportSummary) {
        return *supportSummary;
    }
    uint64_t s = supportPCM & 0xFF00;
    // A DSD mask without its format bits still announces DSD, as one-bit DSD.
    auto dsd = [](uint64_t mask) { return (mask & 0xF0000) != 0 ? (mask & 0xF0000) : uint64_t{0x10000}; };
    if (supportDSDlsb != 0) {
        s |= 0x100000 | dsd(supportDSDlsb);
    }
    if (supportDSDmsb != 0) {
        s |= 0x200000 | dsd(supportDSDmsb);
    }
    return s;
}

TIVRA::IPAddress TargetConfig::loopback()
{
    TIVRA::IPAddress a;
    a.addr[15] = 1;
    return a;
}

TargetConfig TargetConfig::withSinks(size_t count)
{
    TargetConfig config;
    config.sinks.resize(count);
    for (size_t i = 0; i < count; ++i) {
        config.sinks[i].name = "Output " + std::to_string(i);
    }
    return config;
}

bool parseTargetConfig(const TIVRA::FileInf& settings, TargetConfig& out, std::string& error)
{
    TargetConfig config;
    config.discovery.port = QUORVIN::TARGET_PORT;
    uint64_t sinkCount = 0;
    if (const auto* group = findGroup(settings, "target")) {
        std::map<uint64_t, std::string> lines;
        for (const auto& keyed : *group) {
            const auto& key = keyed.first;
            const auto& unit = keyed.second;
            if (key.rfind(kLogLinePrefix, 0) == 0) {
                uint64_t index = 0;
                if (!logLineKey(key, index, error)) {
                    error = "[target] " + error;
                    return false;
                }
                lines[index] = unit.value;
                continue;
            }
            if (!targetKey(key, unit.value, config, sinkCount, error)) {
                error = "[target] " + error;
                return false;
            }
        }
        for (auto& [index, line] : lines) {
            config.logLines.push_back(std::move(line));
        }
    }
    if (sinkCount == 0) {
        // Without a count, the numbered groups from [sink.0] on are the sinks.
        while (sinkCount < kMaxSinks && findGroup(settings, "sink." + std::to_string(sinkCount)) != nullptr) {
            ++sinkCount;
        }
        if (sinkCount == 0) {
            sinkCount = 1;
        }
    }
    const TIVRA::FileInf::KeyMap* shared = findGroup(settings, "sink");
    for (uint64_t i = 0; i < sinkCount; ++i) {
        SinkConfig sink;
        sink.name = "Output " + std::to_string(i);
        std::string groupName = "sink." + std::to_string(i);
        const TIVRA::FileInf::KeyMap* group = findGroup(settings, groupName);
        if (group == nullptr) {
            group = shared;
            groupName = "sink";
        }
        if (group != nullptr) {
            std::map<uint64_t, ControlItem> controls;
            for (const auto& keyed : *group) {
                const auto& key = keyed.first;
                const auto& unit = keyed.second;
                if (key.rfind(kControlPrefix, 0) == 0) {
                    uint64_t k = 0;
                    ControlItem item;
                    if (!parseNumber(key.substr(std::char_traits<char>::length(kControlPrefix)), 0xFFFF, k) || k == 0) {
                        error = "[" + groupName + "] " + key + ": an item number from 1 expected";
                        return false;
                    }
                    if (!parseControlItem(unit.value, item)) {
                        error = "[" + groupName + "] " + key + ": bad control item: '" + unit.value + "'";
                        return false;
                    }
                    controls[k] = item;
                    continue;
                }
                if (!sinkKey(key, unit.value, sink, error)) {
                    error = "[" + groupName + "] " + error;
                    return false;
                }
            }
            if (!controls.empty()) {
                sink.controls.clear();
                for (const auto& [k, item] : controls) {
                    if (k != sink.controls.size() + 1) {
                        error = "[" + groupName + "] control." + std::to_string(sink.controls.size() + 1)
                                + " is missing: items are numbered from 1 without gaps";
                        return false;
                    }
                    sink.controls.push_back(item);
                }
            }
        }
        if (sink.latencyMin > sink.latencyMax) {
            error = "[" + groupName + "] latencyMin is above latencyMax";
            return false;
        }
        config.sinks.push_back(std::move(sink));
    }
    // [port.N]: the sink numbers of the port query; [status.1], [status.2],
    // ...: the status entries in order.
    for (const auto& [groupName, keys] : settings.groups) {
        if (groupName.rfind("port.", 0) != 0) {
            continue;
        }
        uint64_t number = 0;
        if (!parseNumber(groupName.substr(5), 0xFFFF, number) || number == 0) {
            error = "[" + groupName + "] a sink number from 1 to 65535 expected";
            return false;
        }
        PortEntry entry;
        for (const auto& keyed : keys) {
            const auto& key = keyed.first;
            const auto& unit = keyed.second;
            if (!portKey(key, unit.value, entry, error)) {
                error = "[" + groupName + "] " + error;
                return false;
            }
        }
        config.discovery.ports[static_cast<uint16_t>(number)] = entry;
    }
    for (uint64_t n = 1; n <= 0xFFFF; ++n) {
        const std::string groupName = "status." + std::to_string(n);
        const TIVRA::FileInf::KeyMap* group = findGroup(settings, groupName);
        if (group == nullptr) {
            break;
        }
        StatusEntry entry;
        for (const auto& keyed : *group) {
            const auto& key = keyed.first;
            const auto& unit = keyed.second;
            if (!statusKey(key, unit.value, entry, error)) {
                error = "[" + groupName + "] " + error;
                return false;
            }
        }
        if (!config.discovery.status) {
            config.discovery.status.emplace();
        }
        config.discovery.status->push_back(entry);
    }
    // [targetSetting.1], [targetSetting.2], ... and [sinkSetting.N]: the
    // setting lists, items numbered from 1 without gaps.
    for (const auto& [prefix, list] : {std::pair<std::string, SettingList*>{"targetSetting.", &config.discovery.settings.target},
                                       std::pair<std::string, SettingList*>{"sinkSetting.", &config.discovery.settings.sink}}) {
        for (uint64_t n = 1; n <= 0xFFFF; ++n) {
            const std::string groupName = prefix + std::to_string(n);
            const TIVRA::FileInf::KeyMap* group = findGroup(settings, groupName);
            if (group == nullptr) {
                break;
            }
            SettingItem item;
            for (const auto& keyed : *group) {
                const auto& key = keyed.first;
                const auto& unit = keyed.second;
                uint64_t v = 0;
                auto word = [&](uint16_t& field) {
                    if (!keyNumber(key, unit.value, 0xFFFF, v, error)) {
                        return false;
                    }
                    field = static_cast<uint16_t>(v);
                    return true;
                };
                bool ok = true;
                if (key == "kind") {
                    ok = word(item.kind);
                } else if (key == "lower") {
                    ok = word(item.lower);
                } else if (key == "upper") {
                    ok = word(item.upper);
                } else if (key == "name") {
                    item.name = unit.value;
                } else if (key == "value") {
                    ok = word(item.value);
                } else if (key == "alternateValue") {
                    ok = word(item.alternateValue);
                } else if (key == "index") {
                    ok = word(item.index);
                } else if (key == "valueText") {
                    item.valueText = unit.value;
                } else if (key == "answerNumber") {
                    uint16_t a = 0;
                    ok = word(a);
                    item.answerNumber = a;
                } else if (key.rfind("choice.", 0) == 0) {
                    if (!parseNumber(key.substr(7), 0xFFFF, v)) {
                        error = key + ": choice.N with N up to 65535 expected";
                        ok = false;
                    } else {
                        item.choices[static_cast<uint16_t>(v)] = unit.value;
                    }
                } else {
                    error = key + ": unknown key";
                    ok = false;
                }
                if (!ok) {
                    error = "[" + groupName + "] " + error;
                    return false;
                }
            }
            list->items.push_back(std::move(item));
        }
    }
    // [info]: text.N (part 0 of index N) and text.N.P (parts from 0, no
    // gaps), parts.N, firmwareVersion, firmwareUrl, rebootAnswer.
    if (const auto* group = findGroup(settings, "info")) {
        AdminInfoConfig& info = config.discovery.info;
        std::map<uint16_t, std::map<uint64_t, std::string>> parts;
        for (const auto& keyed : *group) {
            const auto& key = keyed.first;
            const auto& unit = keyed.second;
            uint64_t n = 0;
            auto bad = [&](const std::string& what) {
                error = "[info] " + key + ": " + what + ": '" + unit.value + "'";
                return false;
            };
            if (key == "firmwareVersion") {
                info.firmwareVersion = unit.value;
            } else if (key == "firmwareUrl") {
                info.firmwareUrl = unit.value;
            } else if (key == "rebootAnswer") {
                if (!parseNumber(unit.value, 0xFFFF, n)) {
                    return bad("a number up to 65535 expected");
                }
                info.rebootAnswer = static_cast<uint16_t>(n);
            } else if (key.rfind("parts.", 0) == 0) {
                uint64_t index = 0;
                if (!parseNumber(key.substr(6), 0xFFFF, index)) {
                    error = "[info] " + key + ": unknown key";
                    return false;
                }
                if (!parseNumber(unit.value, 0xFFFF, n)) {
                    return bad("a count up to 65535 expected");
                }
                info.announcedParts[static_cast<uint16_t>(index)] = static_cast<uint16_t>(n);
            } else if (key.rfind("text.", 0) == 0) {
                const std::string rest = key.substr(5);
                const size_t dot = rest.find('.');
                uint64_t index = 0;
                uint64_t part = 0;
                if (!parseNumber(rest.substr(0, dot), 0xFFFF, index)
                    || (dot != std::string::npos && !parseNumber(rest.substr(dot + 1), 0xFFFF, part))) {
                    error = "[info] " + key + ": unknown key";
                    return false;
                }
                if (!parts[static_cast<uint16_t>(index)].emplace(part, unit.value).second) {
                    error = "[info] " + key + ": part " + std::to_string(part) + " given twice";
                    return false;
                }
            } else {
                error = "[info] " + key + ": unknown key";
                return false;
            }
        }
        for (auto& [index, numbered] : parts) {
            std::vector<std::string>& list = info.texts[index];
            for (auto& [part, text] : numbered) {
                if (part != list.size()) {
                    error = "[info] text." + std::to_string(index) + "." + std::to_string(list.size())
                            + " is missing: parts are numbered from 0 without gaps";
                    return false;
                }
                list.push_back(std::move(text));
            }
        }
    }
    if (!parseIconGroups(settings, config.discovery.icons, error)) {
        return false;
    }
    out = std::move(config);
    return true;
}

bool parseControlItem(const std::string& text, ControlItem& out)
{
    const std::vector<std::string> words = splitWords(text);
    if (words.empty()) {
        return false;
    }
    ControlItem item;
    uint64_t n = 0;
    if (words[0] == "play") {
        item.type = ControlItem::PLAY;
    } else if (words[0] == "volume") {
        item.type = ControlItem::VOLUME;
    } else if (parseNumber(words[0], 0xFFFF, n)) {
        item.type = static_cast<uint16_t>(n);
    } else {
        return false;
    }
    for (size_t i = 1; i < words.size(); ++i) {
        const size_t eq = words[i].find('=');
        if (eq == std::string::npos) {
            return false;
        }
        const std::string name = words[i].substr(0, eq);
        const std::string value = words[i].substr(eq + 1);
        int64_t v = 0;
        if (name == "value") {
            if (parseNumber(value, 0xFFFFFFFFFFFFULL, n)) {
                item.value = n;
            } else if (parseSigned(value, 32768, v) && v < 0) {
                item.value = static_cast<uint64_t>(v) & 0xFFFFFFFFFFFFULL;
            } else {
                return false;
            }
        } else if (name == "status") {
            if (!parseNumber(value, 0xFFFF, n)) {
                return false;
            }
            item.status = static_cast<uint16_t>(n);
        } else if (name == "follow") {
            if (!parseFlag(value, item.followStream)) {
                return false;
            }
        } else if (name == "min" || name == "max") {
            if (!parseSigned(value, 32768, v) || v > INT16_MAX || v < INT16_MIN) {
                return false;
            }
            (name == "min" ? item.minimum : item.maximum) = static_cast<int16_t>(v);
            item.clamp = true;
        } else {
            return false;
        }
    }
    out = item;
    return true;
}

bool loadTargetConfig(const std::string& path, TargetConfig& out, std::string& error)
{
    TIVRA::FileInf settings;
    if (!settings.load(path, 0)) {
        error = path + ": cannot be read, or holds a control byte";
        return false;
    }
    return parseTargetConfig(settings, out, error);
}

}  // namespace testbed
