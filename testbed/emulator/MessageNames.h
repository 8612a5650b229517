// Names of the wire protocol's message identifiers, for log lines and for
// naming messages in configuration files and on the command line.
#pragma once

#include <string>

#include "protocol/Identifiers.h"

namespace testbed {

// The identifier's name ("LATENCY_REQ"), or its number as text when it has none.
std::string messageName(QUORVIN::MessageID message);

// Accepts a name ("LATENCY_REQ") or a decimal number below 65536.
bool messageByName(const std::string& text, QUORVIN::MessageID& message);

}  // namespace testbed
