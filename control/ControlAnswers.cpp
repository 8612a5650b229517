#include "control/ControlAnswers.h"

namespace QUORVIN {

namespace {

bool usable(const Receive& answer, MessageID id)
{
    return answer && answer.getMessage() == id && (answer.getStatus() & STATUS_OK) != 0;
}

}  // namespace

bool parseItemCount(const Receive& answer, uint16_t& count)
{
    if (!usable(answer, CONTROLLIST_ANS)) {
        return false;
    }
    count = answer.getOption0();
    return true;
}

bool parseItemType(const Receive& answer, uint16_t& type)
{
    if (!usable(answer, CONTROLLIST_ANS)) {
        return false;
    }
    type = answer.getOption1();
    return true;
}

bool parseValueAnswer(const Receive& answer, uint16_t itemId, uint64_t& value, uint16_t& status)
{
    if (!usable(answer, CONTROLVALUE_ANS) || answer.getOption0() != itemId) {
        return false;
    }
    value = answer.getOption() >> 16;
    status = answer.getStatus();
    return true;
}

bool buildNameRequest(const std::string& hostName, uint64_t hostId, SendBuffer& request)
{
    if (hostName.size() > MAX_HOST_NAME) {
        return false;
    }
    request.set(CONTROLNAME_REQ, STATUS_OK, static_cast<unsigned long>(hostId));
    request.set_str(hostName);
    request.update();
    return true;
}

Send buildListRequest(uint16_t item)
{
    return Send(CONTROLLIST_REQ, 0, item, 0, 0, 0);
}

Send buildReadRequest(uint16_t itemId)
{
    return Send(CONTROLVALUE_REQ, 0, itemId, 0, 0, 0);
}

Send buildWriteRequest(uint16_t itemId, uint64_t value)
{
    const uint64_t option = uint64_t{static_cast<uint16_t>(itemId | CONTROL_WRITE)} | (value << 16);
    return Send(CONTROLVALUE_REQ, 0, static_cast<unsigned long>(option));
}

}  // namespace QUORVIN
