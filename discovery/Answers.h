// The discovery channel's wire forms as plain functions: readers of one
// received datagram (no socket inside) and the builders whose length word
// could wrap. Each reader takes only a valid datagram that is the expected
// answer and carries STATUS_OK; anything else gives false and leaves the
// outputs as they were.
#pragma once

#include <cstdint>
#include <string>

#include "discovery/Find.h"
#include "foundation/IPAddress.h"
#include "protocol/Message.h"

namespace QUORVIN {

// The two sink bitmaps of a count answer travel only as exactly this many
// bytes; any other payload leaves the bitmaps "every sink present".
constexpr size_t SINK_BITMAP_BYTES = 512;

// FIND_ANS: the 64-bit option is the product identifier, the payload the
// target's name.
bool parseFindAnswer(const Receive& answer, uint64_t& productId, std::string& name);

// PORT_ANS, count form: options 0 and 1 are the counts, option 2 the port
// kind they are for. Each non-null bitmap takes its 512 bytes only when the
// payload is exactly two bitmaps; otherwise it is left untouched.
bool parsePortCounts(const Receive& answer, uint16_t& count0, uint16_t& count1, uint16_t& kind,
                     unsigned char* bitmap0, unsigned char* bitmap1);

// PORT_ANS, sink form: option 2 the sink's port (0: none), option 3 the
// target's protocol version, the payload the sink's name.
bool parseSinkPort(const Receive& answer, uint16_t& port, uint16_t& version, std::string& name);

// NODEINFO_ANS: options 0-3 in order.
bool parseNodeInfo(const Receive& answer, Find::SynchroNodeInfo& info);

// SINKOUT_ANS: the payload, its first "[myaddress]" replaced by the target's
// address in brackets.
bool parseDescription(const Receive& answer, const TIVRA::IPAddress& target, std::string& description);

// STATUS_ANS, count form: option 0.
bool parseStatusCount(const Receive& answer, uint16_t& count);

// STATUS_ANS, entry form: option 1 state, option 2 the sink's port, option 3
// the protocol version. A payload of 18 bytes or more gives the feeding
// peer (16 address bytes, then its sink number in the port field; the scope
// is left as it was) and its name after byte 17; a shorter one leaves the
// peer and gives an empty name.
bool parseStatusEntry(const Receive& answer, uint16_t& state, uint16_t& port, uint16_t& version,
                      TIVRA::IPAddress& peer, std::string& peerName);

// NOTISNAME_REQ: status STATUS_OK, option = hostId, payload = the name
// without terminator. A name longer than the largest payload is refused
// (false, request untouched): its length word would wrap.
bool buildNoticeRequest(const std::string& hostName, uint64_t hostId, SendBuffer& request);

// ::1, whatever the port and scope.
bool isLoopbackAddress(const TIVRA::IPAddress& address);

// A text from the network made safe for a log line: control characters and
// DEL as \xNN, the backslash doubled.
std::string escapeText(const std::string& text);

// ---- data upload

// TRANSFER_ANS, first form: option 0 the number of storage areas, option 1
// the target's largest burst in bytes (0xFFFF: no limit).
bool parseTransferAreas(const Receive& answer, uint16_t& areaCount, uint16_t& windowLimit);

// TRANSFER_ANS for one area: taken only when option 0 echoes `areaWord`
// (the area + 1). Options 1-3 carry the block bytes, blocks per group and
// group count, each less one, so every value is 1 to 65536.
struct TransferGeometry {
    uint32_t blockBytes = 0;
    uint32_t blocksPerGroup = 0;
    uint32_t groupCount = 0;
};
bool parseTransferGeometry(const Receive& answer, uint16_t areaWord, TransferGeometry& geometry);

// What one datagram is to an upload waiting for its acknowledgement.
enum class TransferAck {
    Other,      // not a valid TRANSFERDATA_ANS: passed over
    Refused,    // STATUS_OK clear
    WrongArea,  // option 0 is not `areaWord`
    Counter,    // `counter` = option 1, the counter the target acknowledges
};
TransferAck readTransferAck(const Receive& answer, uint16_t areaWord, uint16_t& counter);

// TRANSFERFINISH_ANS: taken only when option 0 echoes `areaWord` and option
// 1 echoes `crc`; `result` = option 2 (0xFFFF: the target's data matched).
bool parseTransferFinish(const Receive& answer, uint16_t areaWord, uint16_t crc, uint16_t& result);

}  // namespace QUORVIN
