#include "testbed/emulator/AdminSettings.h"

#include <string>

namespace testbed {

using QUORVIN::STATUS_OK;

namespace {

constexpr uint16_t READ = 0;
constexpr uint16_t WRITE = 1;
constexpr uint16_t READ_ALTERNATE = 2;
constexpr uint16_t CHOICE = 3;

const SettingItem* item(const SettingList& list, uint16_t number)
{
    return number >= 1 && number <= list.items.size() ? &list.items[number - 1] : nullptr;
}

// The value in decimal, repeated up to `size` bytes.
std::string filledChoice(uint16_t value, size_t size)
{
    const std::string digits = std::to_string(value) + " ";
    std::string text;
    text.reserve(size);
    while (text.size() < size && text.size() < QUORVIN::MAX_PAYLOAD) {
        text += digits[text.size() % digits.size()];
    }
    return text;
}

}  // namespace

bool answerSetting(const SettingsConfig& config, std::vector<SettingWrite>& writes, const Request& request,
                   bool commit, QUORVIN::SendBuffer& answer)
{
    const bool sinkList = request.message == QUORVIN::SINKSETTING_REQ || request.message == QUORVIN::SINKSETTINGVALUE_REQ;
    const SettingList& list = sinkList ? config.sink : config.target;
    const QUORVIN::MessageID base = sinkList ? QUORVIN::SINKSETTING_REQ : QUORVIN::TARGETSETTING_REQ;
    const uint16_t number = request.option0;
    if (request.message == base) {
        if (number == 0) {
            const size_t n = list.items.size() > 0xFFFF ? 0xFFFF : list.items.size();
            answer.set(base + 1, STATUS_OK, list.count.value_or(static_cast<uint16_t>(n)), 0, 0, 0);
            return true;
        }
        const SettingItem* it = item(list, number);
        if (it == nullptr) {
            answer.set(base + 1, 0, number, 0, 0, 0);
            return true;
        }
        answer.set(base + 1, STATUS_OK, it->answerNumber.value_or(number), it->kind, it->lower, it->upper);
        answer.set_str(it->name.substr(0, QUORVIN::MAX_PAYLOAD));
        return true;
    }
    if (request.message != base + 2) {
        return false;
    }
    const auto valueAnswer = static_cast<QUORVIN::MessageID>(base + 3);
    if (request.option1 == WRITE || (number == 0 && request.option1 == 2)) {
        if (commit) {
            SettingWrite w;
            w.sinkList = sinkList;
            w.finale = number == 0;
            w.accept = number == 0 && request.option1 == 1;
            w.item = number;
            w.value = number == 0 ? 0 : request.option2;
            w.text = request.payloadText();
            writes.push_back(std::move(w));
        }
        answer.set(valueAnswer, STATUS_OK, number, request.option1, request.option2, 0);
        return true;
    }
    const SettingItem* it = item(list, number);
    if (it == nullptr) {
        answer.set(valueAnswer, 0, number, 0, 0, 0);
        return true;
    }
    if (request.option1 == CHOICE) {
        const auto c = it->choices.find(request.option2);
        answer.set(valueAnswer, STATUS_OK, number, CHOICE, request.option2, 0);
        if (c != it->choices.end()) {
            answer.set_str(c->second.substr(0, QUORVIN::MAX_PAYLOAD));
        } else {
            answer.set_str(filledChoice(request.option2, it->choiceFill));
        }
        return true;
    }
    const uint16_t value = request.option1 == READ_ALTERNATE ? it->alternateValue : it->value;
    if (request.option1 != READ && request.option1 != READ_ALTERNATE) {
        answer.set(valueAnswer, 0, number, request.option1, 0, 0);
        return true;
    }
    answer.set(valueAnswer, STATUS_OK, number, value, 0, it->index);
    answer.set_str(it->valueText.substr(0, QUORVIN::MAX_PAYLOAD));
    return true;
}

}  // namespace testbed
