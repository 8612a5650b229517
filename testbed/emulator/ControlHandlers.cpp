#include "testbed/emulator/ControlHandlers.h"

namespace testbed {

namespace {

using QUORVIN::STATUS_OK;

constexpr uint16_t kWriteBit = 0x8000;
constexpr uint64_t kValueBits = 0xFFFFFFFFFFFFULL;  // 48 bits above option 0

bool nodeInfo(const SinkConfig& config, SinkState&, const Request&, bool, QUORVIN::SendBuffer& answer)
{
    answer.set(QUORVIN::NODEINFO_ANS, STATUS_OK, config.nodeInfo[0], config.nodeInfo[1], config.nodeInfo[2],
               config.nodeInfo[3]);
    return true;
}

bool controlName(const SinkConfig&, SinkState& state, const Request& request, bool commit, QUORVIN::SendBuffer& answer)
{
    if (commit) {
        state.haveControlName = true;
        state.controlName = request.payloadText();
        state.controlId = request.option;
    }
    answer.set(QUORVIN::CONTROLNAME_ANS, STATUS_OK);
    return true;
}

uint16_t itemCount(const SinkConfig& config, const SinkState& state)
{
    if (config.controlCount) {
        return *config.controlCount;
    }
    return static_cast<uint16_t>(state.controls.size() > 0xFFFF ? 0xFFFF : state.controls.size());
}

bool controlList(const SinkConfig& config, SinkState& state, const Request& request, bool, QUORVIN::SendBuffer& answer)
{
    const uint16_t count = itemCount(config, state);
    const uint16_t item = request.option0;
    if (item == 0) {
        answer.set(QUORVIN::CONTROLLIST_ANS, STATUS_OK, count, 0, 0, 0);
    } else if (item > count) {
        answer.set(QUORVIN::CONTROLLIST_ANS, 0, item, 0, 0, 0);
    } else {
        const uint16_t type = item <= state.controls.size() ? state.controls[item - 1].type : 0;
        answer.set(QUORVIN::CONTROLLIST_ANS, STATUS_OK, item, type, 0, 0);
    }
    return true;
}

int16_t volumeOf(uint64_t value)
{
    return static_cast<int16_t>(static_cast<uint16_t>(value & 0xFFFF));
}

bool controlValue(const SinkConfig& config, SinkState& state, const Request& request, bool commit,
                  QUORVIN::SendBuffer& answer)
{
    const bool write = (request.option0 & kWriteBit) != 0;
    const uint16_t item = request.option0 & ~kWriteBit;
    const uint16_t count = itemCount(config, state);
    auto send = [&](QUORVIN::StatusID status, uint64_t value) {
        answer.set(QUORVIN::CONTROLVALUE_ANS, status, uint64_t{item} | ((value & kValueBits) << 16));
        return true;
    };
    if (item == 0 || item > count) {
        return send(0, 0);
    }
    const uint64_t written = request.option >> 16;
    if (item > state.controls.size()) {
        uint64_t& value = state.extraValues[item];
        if (write && commit) {
            value = written;
        }
        return send(STATUS_OK, write ? written : value);
    }
    ControlItem& c = state.controls[item - 1];
    if (c.type == ControlItem::PLAY) {
        if (write) {
            return send(0, 0);  // play state and format are the stream's, not the host's to set
        }
        if (c.followStream) {
            return send(static_cast<QUORVIN::StatusID>(STATUS_OK | (state.streaming ? QUORVIN::STATUS_PLAY : 0)),
                        state.streaming ? playValue(state.connectFormat) : 0);
        }
        return send(static_cast<QUORVIN::StatusID>(STATUS_OK | c.status), c.value);
    }
    uint64_t value = written;
    if (write && c.type == ControlItem::VOLUME) {
        int16_t volume = volumeOf(written);
        if (c.clamp) {
            // Written out rather than std::clamp, which is undefined for min > max.
            volume = volume > c.maximum ? c.maximum : volume;
            volume = volume < c.minimum ? c.minimum : volume;
        }
        value = volumeValue(volume);
    }
    if (write && commit) {
        c.value = value;
    }
    return send(static_cast<QUORVIN::StatusID>(STATUS_OK | c.status), write ? value : c.value);
}

struct Entry {
    QUORVIN::MessageID request;
    SinkHandler handler;
};

constexpr Entry kControlHandlers[] = {
    {QUORVIN::NODEINFO_REQ, nodeInfo},
    {QUORVIN::CONTROLNAME_REQ, controlName},
    {QUORVIN::CONTROLLIST_REQ, controlList},
    {QUORVIN::CONTROLVALUE_REQ, controlValue},
};

}  // namespace

uint64_t playValue(uint64_t format)
{
    return (format & 0xFFFF) | ((format >> 32) << 16);
}

uint64_t volumeValue(int16_t volume)
{
    return static_cast<uint64_t>(static_cast<int64_t>(volume)) & kValueBits;
}

SinkHandler controlHandler(QUORVIN::MessageID request)
{
    for (const Entry& e : kControlHandlers) {
        if (e.request == request) {
            return e.handler;
        }
    }
    return nullptr;
}

}  // namespace testbed
