// The two setting lists a target publishes (its own and its sinks'): the
// items the host reads one by one, and the writes and edit endings it
// makes, recorded for the tests.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Identifiers.h"
#include "protocol/Message.h"
#include "testbed/emulator/Request.h"

namespace testbed {

// One item as the wire carries it: the raw 16-bit words, so that tests can
// give bounds the host must sign-extend or not.
struct SettingItem {
    uint16_t kind = 1;
    uint16_t lower = 0;  // option 2 of the item answer
    uint16_t upper = 0;  // option 3
    std::string name;
    uint16_t value = 0;           // option 1 of the value answer
    uint16_t alternateValue = 0;  // the same for the alternate read (sub-command 2)
    uint16_t index = 0;           // option 3 of the value answer
    std::string valueText;
    // Choice texts by value; a value not listed answers an empty text, or
    // with choiceFill a text of that many bytes (at most one payload) made
    // from the value, so a list far larger than memory needs no storage.
    std::map<uint16_t, std::string> choices;
    uint16_t choiceFill = 0;
    // Option 0 of the item answer when it should not be the number asked.
    std::optional<uint16_t> answerNumber;

    bool operator==(const SettingItem&) const = default;
};

struct SettingList {
    std::vector<SettingItem> items;  // items 1..n
    std::optional<uint16_t> count;   // the count answer; default the items
    bool operator==(const SettingList&) const = default;
};

struct SettingsConfig {
    SettingList target;
    SettingList sink;
    bool operator==(const SettingsConfig&) const = default;
};

// What the host wrote: a value (with its text) or the end of an edit.
struct SettingWrite {
    bool sinkList = false;
    bool finale = false;
    bool accept = false;  // a finale's
    uint16_t item = 0;
    uint16_t value = 0;
    std::string text;
    bool operator==(const SettingWrite&) const = default;
};

// Answers B (the list) and B + 2 (values, choices, writes, finales) of
// either list; false for requests outside both lists.
bool answerSetting(const SettingsConfig& config, std::vector<SettingWrite>& writes, const Request& request,
                   bool commit, QUORVIN::SendBuffer& answer);

}  // namespace testbed
