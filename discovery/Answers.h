// The discovery channel's wire forms as plain functions: readers of one
// received datagram (no socket inside) and the builders whose length word
// could wrap. Each reader takes only a valid datagram that is the expected
// answer and carries STATUS_OK; anything else gives false and leaves the
// outputs as they were.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
// without terminator. A name longer than MAX_HOST_NAME, the limit of every
// message that carries the host's name, is refused (false, request
// untouched).
bool buildNoticeRequest(const std::string& hostName, uint64_t hostId, SendBuffer& request);

// ::1, whatever the port and scope.
bool isLoopbackAddress(const TIVRA::IPAddress& address);

// A text from the network made safe for a log line: control characters and
// DEL as \xNN, the backslash doubled.
std::string escapeText(const std::string& text);

// ---- settings lists. `base` is the list's request identifier (B); the
// item answer is B + 1, the value answer B + 3. Each reader also wants the
// item number asked in option 0.

// The largest text a setting write carries: header, text and pad must fit
// one UDP datagram over IPv6.
constexpr size_t MAX_SETTING_TEXT = MAX_DATAGRAM_PAYLOAD;

// Item answer: the name, and the type and bounds by the wire kind, which it
// also gives (kind 2 is the one read signed).
bool parseSettingItem(const Receive& answer, MessageID base, uint16_t number, Find::TargetSettingInfo& item,
                      uint16_t& kind);

// Value answer to a read: option 1 the value, option 3 the index (signed
// 16-bit for kind 2), the payload the value text for types 1 and 5.
bool parseSettingValue(const Receive& answer, MessageID base, uint16_t number, uint16_t kind,
                       Find::TargetSettingInfo& item);

// Value answer to a choice ask: its text; an on/off item (type 3) names an
// empty text "disable" for 0 and "enable" for 1.
bool parseSettingChoice(const Receive& answer, MessageID base, uint16_t number, int type, int32_t value,
                        std::string& text);

// A choice-with-text item without a value text takes the selected choice,
// or "unknown" when the index names none.
void settingChoiceText(Find::TargetSettingInfo& item);

// The write request (B + 2, sub-command 1); a text too long for a datagram
// is refused (false, request untouched).
bool buildSettingWrite(MessageID base, uint16_t item, const std::string& text, uint16_t value, SendBuffer& request);

// ---- administration: information texts, firmware, reboot

// FWVERSION_ANS or FWURL_ANS, as `answerId` says: the payload text.
bool parseFirmwareText(const Receive& answer, MessageID answerId, std::string& text);

// INFOMATION_ANS: the payload as text and option 2, the number of parts
// the text has (meaningful in the answer to part 0).
bool parseInformationPart(const Receive& answer, std::string& text, uint16_t& partCount);

// INFOMATION_ANS: the payload bytes.
bool parseInformationBytes(const Receive& answer, TIVRA::Buffer& bytes);

// REBOOT_ANS: option 0, the value the target took.
bool parseRebootAnswer(const Receive& answer, uint16_t& value);

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

// ---- icons

namespace QUORVIN {

// ICONn_ANS to a geometry ask (`answerId` = 65 + 2 x family): option 1
// width, option 2 height, option 3 pixel format.
bool parseIconGeometry(const Receive& answer, MessageID answerId, uint16_t& width, uint16_t& height,
                       uint16_t& format);

// ICONn_ANS to a pixel ask: the payload's pixels (one byte each when
// `alphaOnly`, else four) stored into `pixels` from `position` on, their
// count in `received`. False, nothing stored, for an empty payload, a
// four-byte payload that is not whole pixels, or pixels beyond the end.
bool parseIconPixels(const Receive& answer, MessageID answerId, bool alphaOnly, std::vector<Icon::Pixel>& pixels,
                     size_t position, size_t& received);

}  // namespace QUORVIN
