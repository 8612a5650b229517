// What a target answers on its discovery port: the search, the host's name
// announcement, the probe, the port and status queries and the output
// description. Pure functions of the target's configuration, what it knows
// of its sinks, its state and the request, like the sink handlers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/Identifiers.h"
#include "protocol/Message.h"
#include "testbed/emulator/AdminTransfer.h"
#include "testbed/emulator/Request.h"
#include "testbed/emulator/TargetConfig.h"

namespace testbed {

// What the host announced with NOTISNAME_REQ.
struct DiscoveryState {
    bool haveHostName = false;
    std::string hostName;
    uint64_t hostId = 0;
    TransferState transfer;
    // Option 0 of every REBOOT_REQ answered, in arrival order.
    std::vector<uint16_t> reboots;
    // Setting writes and edit endings, in arrival order.
    std::vector<SettingWrite> settingWrites;
};

// The target as its discovery port describes it.
struct DiscoveryView {
    std::string name;
    const DiscoveryConfig* config = nullptr;
    struct Sink {
        uint16_t port = 0;  // bound
        std::string name;
        uint16_t version = 1;
        uint64_t summary = 0;
        // Switched off at the device: left out of the listings.
        bool hidden = false;
    };
    std::vector<Sink> sinks;
};

// Builds the answer to one valid request (update() is left to the caller);
// false: the target sends nothing. With commit false the state stays as it was.
using DiscoveryHandler = bool (*)(const DiscoveryView& target, DiscoveryState& state, const Request& request,
                                  bool commit, QUORVIN::SendBuffer& answer);

// nullptr for requests the discovery port does not answer.
DiscoveryHandler discoveryHandler(QUORVIN::MessageID request);

// The sink number table in force: the configured one, else sink i as number i + 1.
std::vector<std::pair<uint16_t, PortEntry>> portTable(const DiscoveryView& target);
// The status entries in force: the configured ones, else every sink fed by this host.
std::vector<StatusEntry> statusTable(const DiscoveryView& target);

}  // namespace testbed
