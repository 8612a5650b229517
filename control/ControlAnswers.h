// The control channel's wire forms as plain functions: readers of one
// received datagram (no socket inside) and builders of the requests.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/Message.h"

namespace QUORVIN {

// Bit 15 of a value request's item number asks for a write.
constexpr uint16_t CONTROL_WRITE = 0x8000;

// Each reader takes only a valid datagram that is the expected answer and
// carries STATUS_OK; anything else gives false and leaves the outputs.

// CONTROLLIST_ANS, count form: option 0 = the sink's item count.
bool parseItemCount(const Receive& answer, uint16_t& count);

// CONTROLLIST_ANS, item form: option 1 = the item's ControlItemType.
bool parseItemType(const Receive& answer, uint16_t& type);

// CONTROLVALUE_ANS to a read or write of itemId: option 0 must name the
// item; value = the 64-bit option shifted right by 16; status = the status
// word.
bool parseValueAnswer(const Receive& answer, uint16_t itemId, uint64_t& value, uint16_t& status);

// CONTROLNAME_REQ: status STATUS_OK, option = hostId, payload = the name
// without terminator. A name longer than MAX_HOST_NAME, the limit of every
// message that carries the host's name, is refused (false, request
// untouched).
bool buildNameRequest(const std::string& hostName, uint64_t hostId, SendBuffer& request);

// CONTROLLIST_REQ: item 0 asks the count, item i the type of item i.
Send buildListRequest(uint16_t item);

// CONTROLVALUE_REQ read form: option 0 = item number.
Send buildReadRequest(uint16_t itemId);

// CONTROLVALUE_REQ write form: option = (itemId | CONTROL_WRITE) | value << 16;
// value bits above 47 do not travel.
Send buildWriteRequest(uint16_t itemId, uint64_t value);

}  // namespace QUORVIN
