// One datagram as a sink of the emulator received it: the record that tests
// assert on, and the program's log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "protocol/Identifiers.h"

namespace testbed {

struct Request {
    // The socket it came to: a sink's own port, a sink's stream data
    // socket, the target's log relay port, or its discovery port.
    enum class Channel : uint8_t { SINK, DATA, LOG, DISCOVERY };

    Channel channel = Channel::SINK;
    size_t sink = 0;  // 0 on the log relay and discovery ports, which belong to the whole target
    // Order of handling over all sinks of the target, from 1: arrival order,
    // except that datagrams waiting on several sockets at once are taken
    // socket by socket.
    uint64_t order = 0;
    TIVRA::Clock time;  // arrival
    TIVRA::IPAddress source;
    // On the discovery port: the address it was sent to, and whether that
    // was the multicast group (the search) rather than the target itself.
    TIVRA::IPAddress destination;
    bool multicast = false;
    // Identical datagrams from the same source in a row, this one included.
    uint32_t repeat = 0;

    // The header fields are meaningful only when the datagram passed the header check.
    bool valid = false;
    QUORVIN::MessageID message = 0;
    QUORVIN::StatusID status = 0;
    uint16_t option0 = 0;
    uint16_t option1 = 0;
    uint16_t option2 = 0;
    uint16_t option3 = 0;
    uint64_t option = 0;
    TIVRA::Buffer payload;   // without pad bytes
    TIVRA::Buffer datagram;  // as received

    std::string payloadText() const { return std::string(payload.begin(), payload.end()); }
};

// "sink 0 #3 from ::1,40000 LATENCY_REQ(6) status 0x0000 option 0x00000000000007d0 data 0 repeat 1";
// a sink's data socket is "sink 0 data #3 ...", the log relay port "log #3 ...".
std::string describeRequest(const Request& request);

}  // namespace testbed
