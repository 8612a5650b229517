// What a sink answers on its own port besides the stream negotiation: the
// node information and the target control channel (host name, item list,
// item values). Pure functions of the same form as the sink handlers.
#pragma once

#include <cstdint>

#include "testbed/emulator/SinkHandlers.h"

namespace testbed {

// nullptr for requests outside the node information and the control channel.
SinkHandler controlHandler(QUORVIN::MessageID request);

// A play item's value for a stream format: format bits 0-15, then bits 32-63.
uint64_t playValue(uint64_t format);
// A volume item's value for a volume in 0.01 dB: sign-extended over the 48 bits.
uint64_t volumeValue(int16_t volume);

}  // namespace testbed
