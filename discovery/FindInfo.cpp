// Administration of one target: its information texts, firmware version and
// location, reboot, and the lookup of one sink without a search.
#include <cstring>

#include "discovery/Answers.h"
#include "discovery/Find.h"

namespace QUORVIN {

using TIVRA::IPAddress;

namespace {

bool noAddress(const IPAddress& a)
{
    IPAddress zero;
    return std::memcmp(a.addr, zero.addr, sizeof zero.addr) == 0 && a.port == 0;
}

}  // namespace

bool Find::FwVersion(IPAddress to, std::string& text)
{
    text.clear();
    Receive answer;
    return sendAck(to, Send(FWVERSION_REQ, 0), FWVERSION_ANS, answer, true) == 0
           && parseFirmwareText(answer, FWVERSION_ANS, text);
}

bool Find::FwURL(IPAddress to, std::string& text)
{
    text.clear();
    Receive answer;
    return sendAck(to, Send(FWURL_REQ, 0), FWURL_ANS, answer, true) == 0 && parseFirmwareText(answer, FWURL_ANS, text);
}

bool Find::Infomation(IPAddress to, unsigned short index, std::string& text)
{
    text.clear();
    Receive answer;
    uint16_t parts = 0;
    return sendAck(to, Send(INFOMATION_REQ, 0, index, 0, 0, 0), INFOMATION_ANS, answer, true) == 0
           && parseInformationPart(answer, text, parts);
}

bool Find::Infomation(IPAddress to, unsigned short index, TIVRA::Buffer& bytes)
{
    bytes.clear();
    Receive answer;
    return sendAck(to, Send(INFOMATION_REQ, 0, index, 0, 0, 0), INFOMATION_ANS, answer, true) == 0
           && parseInformationBytes(answer, bytes);
}

bool Find::Infomation(IPAddress to, unsigned short index, std::vector<std::string>& parts)
{
    unsigned short announced = 0;
    return Infomation(to, index, parts, announced);
}

bool Find::Infomation(IPAddress to, unsigned short index, std::vector<std::string>& parts, unsigned short& announced)
{
    parts.clear();
    announced = 0;
    Receive answer;
    if (sendAck(to, Send(INFOMATION_REQ, 0, index, 0, 0, 0), INFOMATION_ANS, answer, true) != 0) {
        return false;
    }
    std::string text;
    uint16_t count = 0;
    if (!parseInformationPart(answer, text, count)) {
        return false;
    }
    parts.push_back(std::move(text));
    announced = count;
    // Only the first answer's count is believed. The first part that does
    // not come ends the read with what was gathered, so a target that goes
    // quiet costs one wait, not one per announced part.
    uint16_t laterCount = 0;
    for (uint32_t part = 1; part < announced; ++part) {
        const int r = sendAck(to, Send(INFOMATION_REQ, 0, index, static_cast<uint16_t>(part), 0, 0), INFOMATION_ANS,
                              answer, true);
        if (r == 1) {
            return false;
        }
        if (r != 0 || !parseInformationPart(answer, text, laterCount)) {
            return true;
        }
        parts.push_back(std::move(text));
    }
    return true;
}

bool Find::Reboot(IPAddress to, bool enable, unsigned short value)
{
    const uint16_t sent = enable ? value : 0;
    Receive answer;
    uint16_t taken = 0;
    return sendAck(to, Send(REBOOT_REQ, 0, sent, 0, 0, 0), REBOOT_ANS, answer, true) == 0
           && parseRebootAnswer(answer, taken) && taken == sent;
}

bool Find::getOutput(const IPAddress& target, unsigned short sinkNumber, IPAddress& sinkAddress,
                     TargetConnectInfo& info)
{
    sinkAddress = IPAddress{};
    IPAddress request = target;
    request.setPort(TARGET_PORT);
    // ::1 is asked only over the loopback, and no other target over it.
    const bool loopbackTarget = isLoopbackAddress(target);
    unsigned short version = 0;
    SynchroNodeInfo nodeInfo;
    bool found = false;
    for (const IPAddress& local : getIfList()) {
        if (isLoopbackAddress(local) != loopbackTarget) {
            continue;
        }
        // Answers from ::1 come without a scope: ask it with none, as the
        // search does, or they would not count as the target's.
        request.ifindex = loopbackTarget ? 0 : local.ifindex;
        version = 0;
        std::string sinkName;
        if (!getPort(request, static_cast<MODE>(MODE_PORT1 | MODE_OPTION0), sinkNumber, sinkAddress, version, sinkName,
                     nodeInfo)) {
            return false;
        }
        if (!noAddress(sinkAddress)) {
            found = true;
            break;
        }
    }
    if (!found) {
        return true;
    }
    info.spare = 0;
    info.sinkNumber = sinkNumber;
    info.protocolVersion = version;
    info.target = request;
    info.nodeInfo = nodeInfo;
    Receive answer;
    int r = sendAck(request, Send(FIND_REQ, 0), FIND_ANS, answer, true);
    if (r == 1) {
        return false;
    }
    uint64_t productId = 0;
    std::string name;
    if (r == 0 && parseFindAnswer(answer, productId, name)) {
        info.targetName = std::move(name);
    }
    r = sendAck(request, Send(SINKOUT_REQ, 0), SINKOUT_ANS, answer, true);
    if (r == 1) {
        return false;
    }
    std::string description;
    if (r == 0 && parseDescription(answer, target, description)) {
        info.description = std::move(description);
    }
    return true;
}

}  // namespace QUORVIN
