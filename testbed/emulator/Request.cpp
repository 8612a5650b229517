#include "testbed/emulator/Request.h"

#include <cstdio>

#include "testbed/emulator/MessageNames.h"

namespace testbed {

namespace {

// Enough of a payload to recognise it in a log; the length says the rest.
constexpr size_t kShownBytes = 32;

std::string hex(uint64_t value, int digits)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

std::string describeRequest(const Request& request)
{
    std::string from;
    request.source.get_str(from);
    std::string line;
    switch (request.channel) {
    case Request::Channel::SINK:
        line = "sink " + std::to_string(request.sink) + " #";
        break;
    case Request::Channel::DATA:
        line = "sink " + std::to_string(request.sink) + " data #";
        break;
    case Request::Channel::LOG:
        line = "log #";
        break;
    case Request::Channel::DISCOVERY:
        line = "discovery #";
        break;
    }
    line += std::to_string(request.order) + " from " + from;
    if (request.channel == Request::Channel::DISCOVERY) {
        std::string to;
        request.destination.get_V6_str(to);
        line += (request.multicast ? " multicast " : " to ") + to;
    }
    if (!request.valid) {
        return line + " invalid datagram " + std::to_string(request.datagram.size()) + " bytes";
    }
    line += " " + messageName(request.message) + "(" + std::to_string(request.message) + ")";
    line += " status " + hex(request.status, 4);
    line += " option " + hex(request.option, 16);
    line += " data " + std::to_string(request.payload.size());
    if (!request.payload.empty()) {
        const size_t shown = request.payload.size() < kShownBytes ? request.payload.size() : kShownBytes;
        line += " [" + TIVRA::BufferCS_const{request.payload.data(), shown}.dump();
        line += shown < request.payload.size() ? " ...]" : "]";
    }
    line += " repeat " + std::to_string(request.repeat);
    return line;
}

}  // namespace testbed
