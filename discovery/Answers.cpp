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
    if (hostName.size() > MAX_PAYLOAD) {
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
