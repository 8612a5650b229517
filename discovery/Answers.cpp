// Discovery answer readers (see Answers.h).
#include "discovery/Answers.h"

#include <cstring>

namespace QUORVIN {

namespace {

bool usable(const Receive& answer, MessageID id)
{
    return answer && answer.getMessage() == id && (answer.getStatus() & STATUS_OK) != 0;
}

}  // namespace

bool parseFindAnswer(const Receive& answer, uint64_t& productId, std::string& name)
{
    if (!usable(answer, FIND_ANS)) {
        return false;
    }
    productId = answer.getOption();
    answer.get_str(name);
    return true;
}

bool parsePortCounts(const Receive& answer, uint16_t& count0, uint16_t& count1, uint16_t& kind,
                     unsigned char* bitmap0, unsigned char* bitmap1)
{
    if (!usable(answer, PORT_ANS)) {
        return false;
    }
    count0 = answer.getOption0();
    count1 = answer.getOption1();
    kind = answer.getOption2();
    if (answer.size_data() == 2 * SINK_BITMAP_BYTES) {
        if (bitmap0 != nullptr) {
            std::memcpy(bitmap0, answer.get_data(), SINK_BITMAP_BYTES);
        }
        if (bitmap1 != nullptr) {
            std::memcpy(bitmap1, answer.get_data() + SINK_BITMAP_BYTES, SINK_BITMAP_BYTES);
        }
    }
    return true;
}

bool parseSinkPort(const Receive& answer, uint16_t& port, uint16_t& version, std::string& name)
{
    if (!usable(answer, PORT_ANS)) {
        return false;
    }
    port = answer.getOption2();
    version = answer.getOption3();
    answer.get_str(name);
    return true;
}

bool parseNodeInfo(const Receive& answer, Find::SynchroNodeInfo& info)
{
    if (!usable(answer, NODEINFO_ANS)) {
        return false;
    }
    info.option0 = answer.getOption0();
    info.option1 = answer.getOption1();
    info.option2 = answer.getOption2();
    info.option3 = answer.getOption3();
    return true;
}

bool parseDescription(const Receive& answer, const TIVRA::IPAddress& target, std::string& description)
{
    if (!usable(answer, SINKOUT_ANS)) {
        return false;
    }
    static const std::string placeholder = "[myaddress]";
    answer.get_str(description);
    const size_t at = description.find(placeholder);
    if (at != std::string::npos) {
        std::string address;
        target.get_V6_str(address);
        description.replace(at, placeholder.size(), "[" + address + "]");
    }
    return true;
}

bool parseStatusCount(const Receive& answer, uint16_t& count)
{
    if (!usable(answer, STATUS_ANS)) {
        return false;
    }
    count = answer.getOption0();
    return true;
}

bool parseStatusEntry(const Receive& answer, uint16_t& state, uint16_t& port, uint16_t& version,
                      TIVRA::IPAddress& peer, std::string& peerName)
{
    if (!usable(answer, STATUS_ANS)) {
        return false;
    }
    state = answer.getOption1();
    port = answer.getOption2();
    version = answer.getOption3();
    // get_add_str leaves the address alone below 18 bytes and never reads past the payload.
    answer.get_add_str(peer, peerName);
    return true;
}

bool buildNoticeRequest(const std::string& hostName, uint64_t hostId, SendBuffer& request)
{
    if (hostName.size() > MAX_HOST_NAME) {
        return false;
    }
    request.set(NOTISNAME_REQ, STATUS_OK, static_cast<unsigned long>(hostId));
    request.set_str(hostName);
    request.update();
    return true;
}

bool isLoopbackAddress(const TIVRA::IPAddress& address)
{
    static const uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(address.addr, loopback, sizeof loopback) == 0;
}

std::string escapeText(const std::string& text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += c;
        }
    }
    return out;
}

// ---- settings lists

namespace {

constexpr uint16_t SETTING_KIND_SIGNED = 2;

int32_t settingWord(uint16_t word, uint16_t kind)
{
    return kind == SETTING_KIND_SIGNED ? static_cast<int32_t>(static_cast<int16_t>(word)) : static_cast<int32_t>(word);
}

bool settingAnswer(const Receive& answer, MessageID id, uint16_t number)
{
    return usable(answer, id) && answer.getOption0() == number;
}

}  // namespace

bool parseSettingItem(const Receive& answer, MessageID base, uint16_t number, Find::TargetSettingInfo& item,
                      uint16_t& kind)
{
    if (!settingAnswer(answer, static_cast<MessageID>(base + 1), number)) {
        return false;
    }
    Find::TargetSettingInfo fresh;
    answer.get_str(fresh.name);
    kind = answer.getOption1();
    const uint16_t lower = answer.getOption2();
    const uint16_t upper = answer.getOption3();
    switch (kind) {
    case 1:
    case 2:
        fresh.type = 2;
        fresh.minValue = settingWord(lower, kind);
        fresh.maxValue = settingWord(upper, kind);
        break;
    case 3:
        fresh.type = 3;
        fresh.maxValue = 1;
        break;
    case 4:
        fresh.type = 1;
        break;
    case 5:
    case 6:
    case 7:
        fresh.type = kind - 1;
        fresh.minValue = lower;
        fresh.maxValue = upper;
        break;
    default:
        break;
    }
    item = std::move(fresh);
    return true;
}

bool parseSettingValue(const Receive& answer, MessageID base, uint16_t number, uint16_t kind,
                       Find::TargetSettingInfo& item)
{
    if (!settingAnswer(answer, static_cast<MessageID>(base + 3), number)) {
        return false;
    }
    item.currentValue = settingWord(answer.getOption1(), kind);
    item.index = settingWord(answer.getOption3(), kind);
    if (item.type == 1 || item.type == 5) {
        answer.get_str(item.valueText);
    }
    return true;
}

bool parseSettingChoice(const Receive& answer, MessageID base, uint16_t number, int type, int32_t value,
                        std::string& text)
{
    if (!settingAnswer(answer, static_cast<MessageID>(base + 3), number)) {
        return false;
    }
    answer.get_str(text);
    if (type == 3 && text.empty()) {
        if (value == 0) {
            text = "disable";
        } else if (value == 1) {
            text = "enable";
        }
    }
    return true;
}

void settingChoiceText(Find::TargetSettingInfo& item)
{
    if (item.type != 5 || !item.valueText.empty()) {
        return;
    }
    if (item.index >= 0 && static_cast<size_t>(item.index) < item.choices.size()) {
        item.valueText = item.choices[static_cast<size_t>(item.index)];
    } else {
        item.valueText = "unknown";
    }
}

bool buildSettingWrite(MessageID base, uint16_t item, const std::string& text, uint16_t value, SendBuffer& request)
{
    if (text.size() > MAX_SETTING_TEXT) {
        return false;
    }
    request.set(static_cast<MessageID>(base + 2), 0, item, 1, value, 0);
    request.set_str(text);
    request.update();
    return true;
}

// ---- administration: information texts, firmware, reboot

bool parseFirmwareText(const Receive& answer, MessageID answerId, std::string& text)
{
    if ((answerId != FWVERSION_ANS && answerId != FWURL_ANS) || !usable(answer, answerId)) {
        return false;
    }
    answer.get_str(text);
    return true;
}

bool parseInformationPart(const Receive& answer, std::string& text, uint16_t& partCount)
{
    if (!usable(answer, INFOMATION_ANS)) {
        return false;
    }
    answer.get_str(text);
    partCount = answer.getOption2();
    return true;
}

bool parseInformationBytes(const Receive& answer, TIVRA::Buffer& bytes)
{
    if (!usable(answer, INFOMATION_ANS)) {
        return false;
    }
    bytes = answer.get_data_CS();
    return true;
}

bool parseRebootAnswer(const Receive& answer, uint16_t& value)
{
    if (!usable(answer, REBOOT_ANS)) {
        return false;
    }
    value = answer.getOption0();
    return true;
}

}  // namespace QUORVIN

// ---- icons

namespace QUORVIN {

bool parseIconGeometry(const Receive& answer, MessageID answerId, uint16_t& width, uint16_t& height,
                       uint16_t& format)
{
    if (!answer || answer.getMessage() != answerId || (answer.getStatus() & STATUS_OK) == 0) {
        return false;
    }
    width = answer.getOption1();
    height = answer.getOption2();
    format = answer.getOption3();
    return true;
}

bool parseIconPixels(const Receive& answer, MessageID answerId, bool alphaOnly, std::vector<Icon::Pixel>& pixels,
                     size_t position, size_t& received)
{
    if (!answer || answer.getMessage() != answerId || (answer.getStatus() & STATUS_OK) == 0) {
        return false;
    }
    const size_t bytes = answer.size_data();
    const size_t each = alphaOnly ? 1 : 4;
    if (bytes == 0 || bytes % each != 0) {
        return false;
    }
    const size_t count = bytes / each;
    if (position > pixels.size() || count > pixels.size() - position) {
        return false;
    }
    const uint8_t* data = answer.get_data();
    for (size_t i = 0; i < count; ++i) {
        Icon::Pixel& p = pixels[position + i];
        if (alphaOnly) {
            p = Icon::Pixel{};
            p.byte[3] = data[i];
        } else {
            std::memcpy(p.byte, data + 4 * i, 4);
        }
    }
    received = count;
    return true;
}

// ---- data upload

bool parseTransferAreas(const Receive& answer, uint16_t& areaCount, uint16_t& windowLimit)
{
    if (!usable(answer, TRANSFER_ANS)) {
        return false;
    }
    areaCount = answer.getOption0();
    windowLimit = answer.getOption1();
    return true;
}

bool parseTransferGeometry(const Receive& answer, uint16_t areaWord, TransferGeometry& geometry)
{
    if (!usable(answer, TRANSFER_ANS) || answer.getOption0() != areaWord) {
        return false;
    }
    geometry.blockBytes = uint32_t{answer.getOption1()} + 1;
    geometry.blocksPerGroup = uint32_t{answer.getOption2()} + 1;
    geometry.groupCount = uint32_t{answer.getOption3()} + 1;
    return true;
}

TransferAck readTransferAck(const Receive& answer, uint16_t areaWord, uint16_t& counter)
{
    if (!answer || answer.getMessage() != TRANSFERDATA_ANS) {
        return TransferAck::Other;
    }
    if ((answer.getStatus() & STATUS_OK) == 0) {
        return TransferAck::Refused;
    }
    if (answer.getOption0() != areaWord) {
        return TransferAck::WrongArea;
    }
    counter = answer.getOption1();
    return TransferAck::Counter;
}

bool parseTransferFinish(const Receive& answer, uint16_t areaWord, uint16_t crc, uint16_t& result)
{
    if (!usable(answer, TRANSFERFINISH_ANS) || answer.getOption0() != areaWord || answer.getOption1() != crc) {
        return false;
    }
    result = answer.getOption2();
    return true;
}

}  // namespace QUORVIN
