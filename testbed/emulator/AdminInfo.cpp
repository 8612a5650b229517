#include "testbed/emulator/AdminInfo.h"

namespace testbed {

using QUORVIN::STATUS_OK;

bool answerFirmwareVersion(const DiscoveryView& target, DiscoveryState&, const Request&, bool,
                           QUORVIN::SendBuffer& answer)
{
    answer.set(QUORVIN::FWVERSION_ANS, STATUS_OK);
    answer.set_str(target.config->info.firmwareVersion.substr(0, QUORVIN::MAX_PAYLOAD));
    return true;
}

bool answerFirmwareUrl(const DiscoveryView& target, DiscoveryState&, const Request&, bool, QUORVIN::SendBuffer& answer)
{
    answer.set(QUORVIN::FWURL_ANS, STATUS_OK);
    answer.set_str(target.config->info.firmwareUrl.substr(0, QUORVIN::MAX_PAYLOAD));
    return true;
}

bool answerInformation(const DiscoveryView& target, DiscoveryState&, const Request& request, bool,
                       QUORVIN::SendBuffer& answer)
{
    const AdminInfoConfig& info = target.config->info;
    const uint16_t index = request.option0;
    const uint16_t part = request.option1;
    const auto text = info.texts.find(index);
    if (text == info.texts.end() || part >= text->second.size()) {
        answer.set(QUORVIN::INFOMATION_ANS, 0, index, part, 0, 0);
        return true;
    }
    const auto announced = info.announcedParts.find(index);
    const size_t count = announced != info.announcedParts.end() ? announced->second : text->second.size();
    answer.set(QUORVIN::INFOMATION_ANS, STATUS_OK, index, part, static_cast<uint16_t>(count > 0xFFFF ? 0xFFFF : count),
               0);
    answer.set_str(text->second[part].substr(0, QUORVIN::MAX_PAYLOAD));
    return true;
}

bool answerReboot(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool commit,
                  QUORVIN::SendBuffer& answer)
{
    if (commit) {
        state.reboots.push_back(request.option0);
    }
    answer.set(QUORVIN::REBOOT_ANS, STATUS_OK, target.config->info.rebootAnswer.value_or(request.option0), 0, 0, 0);
    return true;
}

}  // namespace testbed
