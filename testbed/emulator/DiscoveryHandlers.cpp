#include "testbed/emulator/DiscoveryHandlers.h"

#include <algorithm>
#include <optional>

#include "testbed/emulator/AdminIcon.h"
#include "testbed/emulator/AdminInfo.h"
#include "testbed/emulator/AdminSettings.h"

namespace testbed {

namespace {

using QUORVIN::STATUS_OK;

constexpr size_t kBitmapBytes = 512;

uint16_t clamp16(size_t n)
{
    return static_cast<uint16_t>(n > 0xFFFF ? 0xFFFF : n);
}

bool hiddenSink(const DiscoveryView& target, const std::optional<size_t>& sink)
{
    return sink && *sink < target.sinks.size() && target.sinks[*sink].hidden;
}

bool find(const DiscoveryView& target, DiscoveryState&, const Request&, bool, QUORVIN::SendBuffer& answer)
{
    answer.set(QUORVIN::FIND_ANS, STATUS_OK, target.config->productId);
    answer.set_str(target.name.substr(0, QUORVIN::MAX_PAYLOAD));
    return true;
}

bool notisName(const DiscoveryView&, DiscoveryState& state, const Request& request, bool commit,
               QUORVIN::SendBuffer& answer)
{
    if (commit) {
        state.haveHostName = true;
        state.hostName = request.payloadText();
        state.hostId = request.option;
    }
    answer.set(QUORVIN::NOTISNAME_ANS, STATUS_OK);
    return true;
}

bool probe(const DiscoveryView& target, DiscoveryState&, const Request&, bool, QUORVIN::SendBuffer& answer)
{
    answer.set(QUORVIN::SUPPORT_ANS, STATUS_OK, target.sinks.empty() ? 0 : target.sinks.front().summary);
    return true;
}

bool sinkOut(const DiscoveryView& target, DiscoveryState&, const Request&, bool, QUORVIN::SendBuffer& answer)
{
    answer.set(QUORVIN::SINKOUT_ANS, STATUS_OK);
    answer.set_str(target.config->description.substr(0, QUORVIN::MAX_PAYLOAD));
    return true;
}

bool port(const DiscoveryView& target, DiscoveryState&, const Request& request, bool, QUORVIN::SendBuffer& answer)
{
    const DiscoveryConfig& c = *target.config;
    const auto table = portTable(target);
    if (request.option0 == 0 && request.option1 == 0) {
        uint16_t highest = 0;
        for (const auto& [number, entry] : table) {
            highest = std::max(highest, number);
        }
        const uint16_t count0 = c.sinkCount.value_or(highest);
        const uint16_t count1 = c.sinkCount1.value_or(count0);
        // A second ask names the host's kind, which the target then counts in.
        const uint16_t kind = request.option2 != 0 ? request.option2 : c.countKind;
        answer.set(QUORVIN::PORT_ANS, STATUS_OK, count0, count1, kind, 0);
        if (c.bitmapBytes == 2 * kBitmapBytes) {
            answer.resize(static_cast<uint16_t>(2 * kBitmapBytes));
            uint8_t* bits = answer.get_data();
            for (const auto& [number, entry] : table) {
                if (number < 8 * kBitmapBytes && !hiddenSink(target, entry.sink)) {
                    bits[number >> 3] |= static_cast<uint8_t>(1U << (number & 7));
                    bits[kBitmapBytes + (number >> 3)] |= static_cast<uint8_t>(1U << (number & 7));
                }
            }
        } else if (c.bitmapBytes != 0) {
            answer.resize(c.bitmapBytes);
            answer.fill(0);
        }
        return true;
    }
    // The sink form echoes the number in the word it came in.
    const uint16_t number = request.option0 != 0 ? request.option0 : request.option1;
    uint16_t sinkPort = 0;
    uint16_t version = 1;
    std::string name;
    for (const auto& [n, entry] : table) {
        if (n != number) {
            continue;
        }
        const DiscoveryView::Sink* sink =
            entry.sink && *entry.sink < target.sinks.size() ? &target.sinks[*entry.sink] : nullptr;
        if (sink != nullptr && sink->hidden) {
            break;  // "no sink" under its number
        }
        sinkPort = sink != nullptr ? sink->port : entry.port;
        version = entry.version.value_or(sink != nullptr ? sink->version : 1);
        name = entry.name.value_or(sink != nullptr ? sink->name : std::string());
    }
    answer.set(QUORVIN::PORT_ANS, STATUS_OK, request.option0, request.option1, sinkPort, version);
    answer.set_str(name.substr(0, QUORVIN::MAX_PAYLOAD));
    return true;
}

bool status(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool,
            QUORVIN::SendBuffer& answer)
{
    const DiscoveryConfig& c = *target.config;
    const auto table = statusTable(target);
    const uint16_t number = request.option0;
    if (number == 0) {
        answer.set(QUORVIN::STATUS_ANS, STATUS_OK, c.statusCount.value_or(clamp16(table.size())), 0, 0, 0);
        return true;
    }
    // A hidden sink's entry is refused like one past the list, so the host
    // skips it and the other entries keep their numbers (which chains compare).
    if (number > table.size() || hiddenSink(target, table[number - 1].sink)) {
        answer.set(QUORVIN::STATUS_ANS, 0, number, 0, 0, 0);
        return true;
    }
    const StatusEntry& e = table[number - 1];
    const DiscoveryView::Sink* sink = e.sink && *e.sink < target.sinks.size() ? &target.sinks[*e.sink] : nullptr;
    answer.set(QUORVIN::STATUS_ANS, STATUS_OK, number, e.state, sink != nullptr ? sink->port : e.port,
               e.version.value_or(sink != nullptr ? sink->version : 1));
    TIVRA::IPAddress peer;
    std::copy(std::begin(e.peer.addr), std::end(e.peer.addr), peer.addr);
    peer.setPort(e.peerSink);
    const TIVRA::IPAddress host = TargetConfig::loopback();
    const bool fedByHost = c.hostPeerName && std::equal(std::begin(e.peer.addr), std::end(e.peer.addr), host.addr);
    const std::string& peerName = fedByHost ? state.hostName : e.peerName;
    answer.set_add_str(peer, peerName.substr(0, QUORVIN::MAX_PAYLOAD - 18));
    if (e.payloadBytes && *e.payloadBytes < answer.size_data()) {
        // Cut after the bytes are in place: resize keeps the front but clears the last word.
        std::vector<uint8_t> front(answer.get_data(), answer.get_data() + *e.payloadBytes);
        answer.resize(static_cast<uint16_t>(front.size()));
        std::copy(front.begin(), front.end(), answer.get_data());
    }
    return true;
}

bool setting(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool commit,
             QUORVIN::SendBuffer& answer)
{
    return answerSetting(target.config->settings, state.settingWrites, request, commit, answer);
}

struct Entry {
    QUORVIN::MessageID request;
    DiscoveryHandler handler;
};

constexpr Entry kDiscoveryHandlers[] = {
    {QUORVIN::FIND_REQ, find}, {QUORVIN::NOTISNAME_REQ, notisName}, {QUORVIN::PROBE_REQ, probe},
    {QUORVIN::PORT_REQ, port}, {QUORVIN::SINKOUT_REQ, sinkOut},     {QUORVIN::STATUS_REQ, status},
    {QUORVIN::TARGETSETTING_REQ, setting},
    {QUORVIN::TARGETSETTINGVALUE_REQ, setting},
    {QUORVIN::SINKSETTING_REQ, setting},
    {QUORVIN::SINKSETTINGVALUE_REQ, setting},
    {QUORVIN::FWVERSION_REQ, answerFirmwareVersion},
    {QUORVIN::FWURL_REQ, answerFirmwareUrl},
    {QUORVIN::INFOMATION_REQ, answerInformation},
    {QUORVIN::REBOOT_REQ, answerReboot},
    {QUORVIN::ICON0_REQ, iconHandler},
    {QUORVIN::ICON1_REQ, iconHandler},
    {QUORVIN::ICON2_REQ, iconHandler},
    {QUORVIN::TRANSFER_REQ, transferGeometry},
    {QUORVIN::TRANSFERDATA_REQ, transferData},
    {QUORVIN::TRANSFERFINISH_REQ, transferFinish},
};

}  // namespace

std::vector<std::pair<uint16_t, PortEntry>> portTable(const DiscoveryView& target)
{
    std::vector<std::pair<uint16_t, PortEntry>> table;
    if (!target.config->ports.empty()) {
        table.assign(target.config->ports.begin(), target.config->ports.end());
        return table;
    }
    for (size_t i = 0; i < target.sinks.size() && i < 0xFFFF; ++i) {
        table.emplace_back(static_cast<uint16_t>(i + 1),
                           PortEntry{.sink = i, .port = 0, .version = std::nullopt, .name = std::nullopt});
    }
    return table;
}

std::vector<StatusEntry> statusTable(const DiscoveryView& target)
{
    if (target.config->status) {
        return *target.config->status;
    }
    std::vector<StatusEntry> table;
    for (size_t i = 0; i < target.sinks.size() && i < 0xFFFF; ++i) {
        StatusEntry e;
        e.state = 1;
        e.sink = i;
        e.peer = TargetConfig::loopback();
        e.peerSink = static_cast<uint16_t>(i + 1);
        table.push_back(e);
    }
    return table;
}

DiscoveryHandler discoveryHandler(QUORVIN::MessageID request)
{
    for (const Entry& e : kDiscoveryHandlers) {
        if (e.request == request) {
            return e.handler;
        }
    }
    return nullptr;
}

}  // namespace testbed
