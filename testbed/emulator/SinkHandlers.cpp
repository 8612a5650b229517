#include "testbed/emulator/SinkHandlers.h"

#include "testbed/emulator/ControlHandlers.h"

namespace testbed {

namespace {

using QUORVIN::STATUS_OK;

constexpr uint64_t kPcmGroup = 0xFF00;
constexpr uint64_t kDsdLsbDetail = 0x100000;
constexpr uint64_t kDsdMsbDetail = 0x200000;
constexpr uint64_t kLatencyBits = 0xFFFF0000ULL;

bool support(const SinkConfig& config, SinkState&, const Request& request, bool, QUORVIN::SendBuffer& answer)
{
    const uint64_t asked = request.option;
    if (asked == 0) {
        answer.set(QUORVIN::SUPPORT_ANS, STATUS_OK, config.summary());
    } else if ((asked & ~kPcmGroup) == 0) {
        answer.set(QUORVIN::SUPPORT_ANS, STATUS_OK, config.supportPCM);
    } else if (asked == kDsdLsbDetail) {
        answer.set(QUORVIN::SUPPORT_ANS, STATUS_OK, config.supportDSDlsb);
    } else if (asked == kDsdMsbDetail) {
        answer.set(QUORVIN::SUPPORT_ANS, STATUS_OK, config.supportDSDmsb);
    } else {
        // A detail the target does not know: refused rather than guessed.
        answer.set(QUORVIN::SUPPORT_ANS, 0, asked);
    }
    return true;
}

bool probe(const SinkConfig& config, SinkState&, const Request&, bool, QUORVIN::SendBuffer& answer)
{
    answer.set(QUORVIN::SUPPORT_ANS, STATUS_OK, config.summary());
    return true;
}

bool parameter(const SinkConfig& config, SinkState& state, const Request& request, bool commit,
               QUORVIN::SendBuffer& answer)
{
    if (commit) {
        state.streamFormat = request.option;
    }
    answer.set(QUORVIN::PARAMETER_ANS, STATUS_OK, config.cycleMin, config.cycleMax, config.profileFlags, 0);
    return true;
}

bool latency(const SinkConfig& config, SinkState& state, const Request& request, bool commit,
             QUORVIN::SendBuffer& answer)
{
    uint16_t inForce = state.latency;
    if (request.option0 != 0) {
        inForce = request.option0;
        if (config.latencyPolicy == LatencyPolicy::CLAMP) {
            // Written out rather than std::clamp, which is undefined for min > max.
            if (inForce > config.latencyMax) {
                inForce = config.latencyMax;
            }
            if (inForce < config.latencyMin) {
                inForce = config.latencyMin;
            }
        }
        if (commit) {
            state.wantedLatency = request.option0;
            state.latency = inForce;
        }
    }
    answer.set(QUORVIN::LATENCY_ANS, STATUS_OK, inForce, config.hwLatency, 0, 0);
    return true;
}

bool dataSize(const SinkConfig& config, SinkState&, const Request& request, bool, QUORVIN::SendBuffer& answer)
{
    size_t arrived = request.payload.size();
    if (arrived == 0) {
        answer.set(QUORVIN::DATASIZE_ANS, STATUS_OK, config.mtu, config.perCycle, 0, 0);
        return true;
    }
    if (arrived > config.pathMax) {
        if (config.pathOversize == PathOversize::DROP) {
            return false;
        }
        arrived = config.pathMax;
    }
    uint16_t sum = 0;
    for (size_t i = 0; i < arrived; ++i) {
        sum = static_cast<uint16_t>(sum + request.payload[i]);
    }
    answer.set(QUORVIN::DATASIZE_ANS, STATUS_OK, config.mtu, config.perCycle, static_cast<uint16_t>(arrived), sum);
    return true;
}

bool connectPrepare(const SinkConfig& config, SinkState& state, const Request& request, bool commit,
                    QUORVIN::SendBuffer& answer)
{
    if (commit) {
        state.connectPrepare = request.option;
    }
    const uint64_t option = (request.option & ~kLatencyBits) | (uint64_t{state.latency} << 16);
    answer.set(QUORVIN::CONNECTPRE_ANS, STATUS_OK, option);
    if (config.wantName) {
        // Any payload asks for the host's name; the sink's own name is as good as any.
        answer.set_str(config.name.empty() ? std::string("?") : config.name);
    }
    return true;
}

bool syncName(const SinkConfig&, SinkState& state, const Request& request, bool commit, QUORVIN::SendBuffer& answer)
{
    if (commit) {
        state.haveHostName = true;
        state.hostName = request.payloadText();
        state.hostId = request.option;
    }
    answer.set(QUORVIN::SYNCNAME_ANS, STATUS_OK);
    return true;
}

bool connect(const SinkConfig& config, SinkState& state, const Request& request, bool commit,
             QUORVIN::SendBuffer& answer)
{
    if (commit) {
        state.connectFormat = request.option;
    }
    constexpr uint16_t kPhaseBits = QUORVIN::STATUS_PHASE_VALID | QUORVIN::STATUS_PHASE_NORMAL;
    answer.set(QUORVIN::CONNECT_ANS,
               static_cast<QUORVIN::StatusID>(STATUS_OK | (config.stream.connectPhase & kPhaseBits)), state.dataPort, 0,
               0, 0);
    return true;
}

struct Entry {
    QUORVIN::MessageID request;
    SinkHandler handler;
};

// What the sink's own port answers. The stream's packets and its end go
// to the data socket that CONNECT_ANS names, outside this table.
constexpr Entry kSinkHandlers[] = {
    {QUORVIN::SUPPORT_REQ, support},   {QUORVIN::PROBE_REQ, probe},       {QUORVIN::PARAMETER_REQ, parameter},
    {QUORVIN::LATENCY_REQ, latency},   {QUORVIN::DATASIZE_REQ, dataSize}, {QUORVIN::CONNECTPRE_REQ, connectPrepare},
    {QUORVIN::SYNCNAME_REQ, syncName}, {QUORVIN::CONNECT_REQ, connect},
};

}  // namespace

SinkState initialState(const SinkConfig& config)
{
    SinkState state;
    state.latency = config.latency;
    state.controls = config.controls;
    return state;
}

SinkHandler sinkHandler(QUORVIN::MessageID request)
{
    for (const Entry& e : kSinkHandlers) {
        if (e.request == request) {
            return e.handler;
        }
    }
    return controlHandler(request);
}

}  // namespace testbed
