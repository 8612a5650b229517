#include "testbed/emulator/AdminIcon.h"

#include <algorithm>

#include "testbed/emulator/DiscoveryHandlers.h"
#include "testbed/emulator/TargetConfig.h"

namespace testbed {

namespace {

bool iconKey(const std::string& key, const std::string& value, IconImage& image, std::string& error)
{
    uint64_t n = 0;
    uint16_t* field = key == "width"    ? &image.width
                      : key == "height" ? &image.height
                      : key == "format" ? &image.format
                                        : nullptr;
    if (field == nullptr) {
        error = key + ": unknown key";
        return false;
    }
    if (!parseNumber(value, 0xFFFF, n)) {
        error = key + ": a number up to 65535 expected";
        return false;
    }
    *field = static_cast<uint16_t>(n);
    return true;
}

bool iconsKey(const std::string& key, const std::string& value, IconConfig& c, std::string& error)
{
    uint64_t n = 0;
    if (key == "pixelsPerAnswer" && parseNumber(value, 0xFFFFFFFF, n)) {
        c.pixelsPerAnswer = static_cast<uint32_t>(n);
    } else if (key == "faultRow" && parseNumber(value, 0xFFFF, n)) {
        c.faultRow = static_cast<uint16_t>(n);
    } else if (key == "fault") {
        static const std::pair<const char*, IconConfig::PixelFault> names[] = {
            {"none", IconConfig::NO_FAULT},
            {"empty", IconConfig::EMPTY_PIXELS},
            {"misaligned", IconConfig::MISALIGNED_PIXELS},
            {"too-many", IconConfig::TOO_MANY_PIXELS},
        };
        for (const auto& [name, fault] : names) {
            if (value == name) {
                c.fault = fault;
                return true;
            }
        }
        error = "fault: none, empty, misaligned or too-many expected";
        return false;
    } else {
        error = key + (key == "pixelsPerAnswer" || key == "faultRow" ? ": bad number" : ": unknown key");
        return false;
    }
    return true;
}

}  // namespace

bool parseIconGroups(const TIVRA::FileInf& settings, IconConfig& out, std::string& error)
{
    IconConfig c;
    for (const auto& [groupName, keys] : settings.groups) {
        if (groupName == "icons") {
            for (const auto& keyed : keys) {
                const auto& key = keyed.first;
                const auto& unit = keyed.second;
                if (!iconsKey(key, unit.value, c, error)) {
                    error = "[icons] " + error;
                    return false;
                }
            }
            continue;
        }
        if (groupName.rfind("icon.", 0) != 0) {
            continue;
        }
        const size_t dot = groupName.find('.', 5);
        uint64_t family = 0;
        uint64_t number = 0;
        if (dot == std::string::npos || !parseNumber(groupName.substr(5, dot - 5), 2, family)
            || !parseNumber(groupName.substr(dot + 1), 0xFFFF, number)) {
            error = "[" + groupName + "] icon.FAMILY.NUMBER expected (family 0 to 2)";
            return false;
        }
        IconImage image;
        for (const auto& keyed : keys) {
            const auto& key = keyed.first;
            const auto& unit = keyed.second;
            if (!iconKey(key, unit.value, image, error)) {
                error = "[" + groupName + "] " + error;
                return false;
            }
        }
        c.icons[{static_cast<uint16_t>(family), static_cast<uint16_t>(number)}] = image;
    }
    out = std::move(c);
    return true;
}

uint8_t iconPatternByte(uint16_t family, uint16_t number, uint64_t index)
{
    return static_cast<uint8_t>(index * 37 + (index >> 9) + number * 11U + family * 101U + 1);
}

bool iconHandler(const DiscoveryView& target, DiscoveryState&, const Request& request, bool,
                 QUORVIN::SendBuffer& answer)
{
    const IconConfig& c = target.config->icons;
    const auto family = static_cast<uint16_t>((request.message - QUORVIN::ICON0_REQ) / 2);
    const auto answerId = static_cast<QUORVIN::MessageID>(request.message + 1);
    const uint16_t number = request.option0;
    const auto it = c.icons.find({family, number});
    const IconImage* image = it != c.icons.end() ? &it->second : nullptr;

    if (request.option1 == 0 && request.option2 == 0) {
        if (image == nullptr) {
            answer.set(answerId, QUORVIN::STATUS_OK, number, 0, 0, 0);
        } else {
            answer.set(answerId, QUORVIN::STATUS_OK, number, image->width, image->height, image->format);
        }
        return true;
    }
    const uint64_t total = image != nullptr ? uint64_t{image->width} * image->height : 0;
    const uint64_t position = request.option1 != 0 && request.option2 != 0 && image != nullptr
                                  ? uint64_t{request.option2 - 1U} * image->width + (request.option1 - 1U)
                                  : total;
    if (image == nullptr || request.option1 == 0 || request.option1 > image->width || position >= total) {
        answer.set(answerId, 0, number, request.option1, request.option2, request.option3);
        return true;
    }
    const size_t each = image->format == 2 ? 1 : 4;
    const uint64_t remaining = total - position;
    uint64_t count = request.option3 == 0 ? image->width - (request.option1 - 1U) : request.option3 - 1U;
    count = std::min(count, remaining);
    if (c.pixelsPerAnswer != 0) {
        count = std::min<uint64_t>(count, c.pixelsPerAnswer);
    }
    const bool faulty = c.fault != IconConfig::NO_FAULT && (!c.faultRow || *c.faultRow == request.option2 - 1U);
    if (faulty && c.fault == IconConfig::TOO_MANY_PIXELS) {
        count = remaining + 1;
    }
    count = std::min<uint64_t>(count, QUORVIN::MAX_PAYLOAD / each);
    size_t bytes = count * each;
    if (faulty && c.fault == IconConfig::EMPTY_PIXELS) {
        bytes = 0;
    } else if (faulty && c.fault == IconConfig::MISALIGNED_PIXELS && each == 4) {
        bytes -= 1;
    }
    answer.set(answerId, QUORVIN::STATUS_OK, number, request.option1, request.option2,
               static_cast<uint16_t>(std::min<uint64_t>(count, 0xFFFF)));
    answer.resize(static_cast<uint16_t>(bytes));
    uint8_t* data = answer.get_data();
    for (size_t i = 0; i < bytes; ++i) {
        const uint64_t at = position * each + i;
        data[i] = at < image->bytes.size() ? image->bytes[at] : iconPatternByte(family, number, at);
    }
    return true;
}

}  // namespace testbed
