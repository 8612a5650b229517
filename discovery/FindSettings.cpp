// The target's and its sinks' setting lists: reading, writing, ending an edit.
#include <string>

#include "discovery/Answers.h"
#include "discovery/Find.h"
#include "foundation/SysLog.h"

namespace QUORVIN {

using TIVRA::IPAddress;

namespace {

constexpr uint16_t SUB_READ = 0;
constexpr uint16_t SUB_WRITE = 1;
constexpr uint16_t SUB_DISCARD = 2;
constexpr uint16_t SUB_READ_ALTERNATE = 2;
constexpr uint16_t SUB_CHOICE = 3;

// What one read may hold. The wire allows 65535 items of 65536 choices of
// about 1.5 kB each, more than any process can keep; 16 MiB still holds
// thousands of items with dozens of named choices each. Each record and
// choice is charged beside its texts, so empty ones count too.
constexpr size_t MAX_LIST_BYTES = 16 * 1024 * 1024;
constexpr size_t ITEM_CHARGE = sizeof(Find::TargetSettingInfo);
constexpr size_t CHOICE_CHARGE = sizeof(std::string);

MessageID answerOf(MessageID request)
{
    return static_cast<MessageID>(request + 1);
}

// Adds `bytes` to what the read holds; false (with the log line) past the cap.
bool hold(size_t& held, size_t bytes, uint16_t number, const IPAddress& to)
{
    held += bytes;
    if (held <= MAX_LIST_BYTES) {
        return true;
    }
    std::string text;
    to.get_str(text);
    TIVRA::SYSLOG_WARNING << "Quorvin Find setting list too large, read ends at item " << number << ": " << text;
    return false;
}

}  // namespace

bool Find::_TargetSetting(MessageID base, IPAddress to, std::list<TargetSettingInfo>& list, bool alternate)
{
    list.clear();
    const auto valueId = static_cast<MessageID>(base + 2);
    Receive answer;
    if (sendAck(to, Send(base, 0, 0, 0, 0, 0), answerOf(base), answer, true) != 0) {
        return false;
    }
    const uint32_t count = answer.getOption0();
    // 32-bit counters: a count or an upper bound of 65535 must end. A silent
    // target cannot hold the caller: the read ends at its first failed exchange.
    size_t held = 0;
    for (uint32_t k = 1; k <= count; ++k) {
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
        if (!hold(held, ITEM_CHARGE + item.name.size() + item.valueText.size(), number, to)) {
            return false;
        }
        if (item.type == 3 || item.type == 4 || item.type == 5) {
            for (int64_t j = item.minValue; j <= item.maxValue; ++j) {
                std::string text;
                const Send ask(valueId, 0, number, SUB_CHOICE, static_cast<uint16_t>(j), 0);
                if (sendAck(to, ask, answerOf(valueId), answer, true) != 0
                    || !parseSettingChoice(answer, base, number, item.type, static_cast<int32_t>(j), text)) {
                    return false;
                }
                if (!hold(held, CHOICE_CHARGE + text.size(), number, to)) {
                    return false;
                }
                item.choices.push_back(std::move(text));
            }
        }
        const size_t ownText = item.valueText.size();
        settingChoiceText(item);
        if (!hold(held, item.valueText.size() - ownText, number, to)) {
            return false;
        }
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
