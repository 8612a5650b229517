// What a target answers on its discovery port about itself: information
// texts by index and part, the firmware version and location texts, and
// reboot. Handlers of the discovery table (DiscoveryHandlers.h).
#pragma once

#include "protocol/Message.h"
#include "testbed/emulator/DiscoveryHandlers.h"

namespace testbed {

bool answerFirmwareVersion(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool commit,
                           QUORVIN::SendBuffer& answer);
bool answerFirmwareUrl(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool commit,
                       QUORVIN::SendBuffer& answer);
// o0 = index, o1 = part; the answer echoes both and gives the part count in o2.
bool answerInformation(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool commit,
                       QUORVIN::SendBuffer& answer);
// Recorded in DiscoveryState::reboots; the target itself goes on.
bool answerReboot(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool commit,
                  QUORVIN::SendBuffer& answer);

}  // namespace testbed
