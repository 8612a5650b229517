// The target's and its sinks' setting lists: reading, writing, ending an edit.
#include "discovery/Answers.h"
#include "discovery/Find.h"

namespace QUORVIN {

using TIVRA::IPAddress;

namespace {

constexpr uint16_t SUB_READ = 0;
constexpr uint16_t SUB_WRITE = 1;
constexpr uint16_t SUB_DISCARD = 2;
constexpr uint16_t SUB_READ_ALTERNATE = 2;
constexpr uint16_t SUB_CHOICE = 3;

MessageID answerOf(MessageID request)
{
    return static_cast<MessageID>(request + 1);
}

}  // namespace

bool Find::_TargetSetting(MessageID base, IPAddress to, std::list<TargetSettingInfo>& list, bool alternate)
{
    list.clear();
    unanswered = 0;
    gaveUpLogged = false;
    const auto valueId = static_cast<MessageID>(base + 2);
    Receive answer;
    if (sendAck(to, Send(base, 0, 0, 0, 0, 0), answerOf(base), answer, true) != 0) {
        return false;
    }
    const uint32_t count = answer.getOption0();
    // 32-bit counters: a count or an upper bound of 65535 must end. A read
    // already ends at its first failed exchange; the give-up check keeps a
    // silent target from holding the caller should that ever be relaxed.
    for (uint32_t k = 1; k <= count; ++k) {
        if (givenUp(to)) {
            return false;
        }
        const auto number = static_cast<uint16_t>(k);
        TargetSettingInfo item;
        uint16_t kind = 0;
        if (sendAck(to, Send(base, 0, number, 0, 0, 0), answerOf(base), answer, true) != 0
            || !parseSettingItem(answer, base, number, item, kind)) {
            return false;
        }
        const uint16_t read = alternate && item.type != 5 ? SUB_READ_ALTERNATE : SUB_READ;
        if (sendAck(to, Send(valueId, 0, number, read, 0, 0), answerOf(valueId), answer, true) != 0
            || !parseSettingValue(answer, base, number, kind, item)) {
            return false;
        }
        if (item.type == 3 || item.type == 4 || item.type == 5) {
            for (int64_t j = item.minValue; j <= item.maxValue; ++j) {
                if (givenUp(to)) {
                    return false;
                }
                std::string text;
                const Send ask(valueId, 0, number, SUB_CHOICE, static_cast<uint16_t>(j), 0);
                if (sendAck(to, ask, answerOf(valueId), answer, true) != 0
                    || !parseSettingChoice(answer, base, number, item.type, static_cast<int32_t>(j), text)) {
                    return false;
                }
                item.choices.push_back(std::move(text));
            }
        }
        settingChoiceText(item);
        list.push_back(std::move(item));
    }
    return true;
}

bool Find::_setTargetSetting(MessageID base, IPAddress to, unsigned short item, const std::string& text,
                             unsigned short value)
{
    SendBuffer request;
    if (!buildSettingWrite(base, item, text, value, request)) {
        return false;
    }
    Receive answer;
    return sendAck(to, request, static_cast<MessageID>(base + 3), answer, true) == 0;
}

bool Find::_setTargetSetting(MessageID base, IPAddress to, unsigned short item, const std::string& text)
{
    return _setTargetSetting(base, to, item, text, 0);
}

bool Find::_setTargetSetting(MessageID base, IPAddress to, unsigned short item, unsigned short value)
{
    return _setTargetSetting(base, to, item, std::string(), value);
}

bool Find::_TargetSettingFinale(MessageID base, IPAddress to, bool accept)
{
    Receive answer;
    const Send request(static_cast<MessageID>(base + 2), 0, 0, accept ? SUB_WRITE : SUB_DISCARD, 0, 0);
    return sendAck(to, request, static_cast<MessageID>(base + 3), answer, true) == 0;
}

bool Find::TargetSetting(IPAddress to, std::list<TargetSettingInfo>& list, bool alternate)
{
    return _TargetSetting(TARGETSETTING_REQ, to, list, alternate);
}

bool Find::SinkSetting(IPAddress to, std::list<TargetSettingInfo>& list, bool alternate)
{
    return _TargetSetting(SINKSETTING_REQ, to, list, alternate);
}

bool Find::setTargetSetting(IPAddress to, unsigned short item, const std::string& text, unsigned short value)
{
    return _setTargetSetting(TARGETSETTING_REQ, to, item, text, value);
}

bool Find::setTargetSetting(IPAddress to, unsigned short item, const std::string& text)
{
    return _setTargetSetting(TARGETSETTING_REQ, to, item, text);
}

bool Find::setTargetSetting(IPAddress to, unsigned short item, unsigned short value)
{
    return _setTargetSetting(TARGETSETTING_REQ, to, item, value);
}

bool Find::setSinkSetting(IPAddress to, unsigned short item, const std::string& text, unsigned short value)
{
    return _setTargetSetting(SINKSETTING_REQ, to, item, text, value);
}

bool Find::setSinkSetting(IPAddress to, unsigned short item, const std::string& text)
{
    return _setTargetSetting(SINKSETTING_REQ, to, item, text);
}

bool Find::setSinkSetting(IPAddress to, unsigned short item, unsigned short value)
{
    return _setTargetSetting(SINKSETTING_REQ, to, item, value);
}

bool Find::TargetSettingFinale(IPAddress to, bool accept)
{
    return _TargetSettingFinale(TARGETSETTING_REQ, to, accept);
}

bool Find::SinkSettingFinale(IPAddress to, bool accept)
{
    return _TargetSettingFinale(SINKSETTING_REQ, to, accept);
}

}  // namespace QUORVIN
