// What a sink answers, one handler per request identifier. The handlers are
// pure functions of the sink's configuration, its state and the request, so
// the emulator's thread and its behaviours stay apart from the answers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "protocol/Identifiers.h"
#include "protocol/Message.h"
#include "testbed/emulator/Request.h"
#include "testbed/emulator/TargetConfig.h"

namespace testbed {

// What a sink has been told by the host, as far as it accepted it.
struct SinkState {
    uint16_t latency = 0;         // in force, 100-us units
    uint16_t wantedLatency = 0;   // o0 of the last setting LATENCY_REQ, before the policy
    uint64_t streamFormat = 0;    // option of the last PARAMETER_REQ
    uint64_t connectPrepare = 0;  // option of the last CONNECTPRE_REQ
    bool haveHostName = false;
    std::string hostName;        // payload of the last SYNCNAME_REQ
    uint64_t hostId = 0;         // its option
    uint64_t connectFormat = 0;  // option of the last accepted CONNECT_REQ
    uint16_t dataPort = 0;       // of the sink's data socket, which CONNECT_ANS names

    // The control channel.
    bool haveControlName = false;
    std::string controlName;                   // payload of the last CONTROLNAME_REQ
    uint64_t controlId = 0;                    // its option
    std::vector<ControlItem> controls;         // with the values written
    std::map<uint16_t, uint64_t> extraValues;  // items past the list that were written
    bool streaming = false;                    // set by the emulator before each request
};

SinkState initialState(const SinkConfig& config);

// Builds the answer to one valid request (identifier, status, options,
// payload; update() is left to the caller). False: the sink sends nothing.
// With commit false the state is left as it was: a refused request changes nothing.
using SinkHandler = bool (*)(const SinkConfig& config, SinkState& state, const Request& request, bool commit,
                             QUORVIN::SendBuffer& answer);

// The handler of a request identifier; nullptr for requests a sink does not answer.
SinkHandler sinkHandler(QUORVIN::MessageID request);

}  // namespace testbed
