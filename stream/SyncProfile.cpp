// The stream's transfer profiles: [0] the normal one, [1] the fall-back one
// the worker switches to when cycles run late.
#include "foundation/SysLog.h"
#include "stream/Sync.h"

namespace QUORVIN {

using TIVRA::Clock;

namespace {

// The limit the fixed, variable and random profiles are computed against.
constexpr Clock MAKER_LIMIT{400 * Clock::US};

}  // namespace

void Sync::configTransferAuto(Clock limit, Clock start, Clock fallbackLimit)
{
    TIVRA::SYSLOG_INFO << "configTransferAuto "
                       << " limit" << static_cast<unsigned long>(limit.picoseconds / Clock::US) << " maxPacketSize"
                       << static_cast<unsigned int>(maxPacketSize) << " maxPacketCount"
                       << static_cast<unsigned int>(maxPacketCount);
    profileMaker.setConfig(sinkConfig, limit, maxPacketSize, maxPacketCount);
    profileMaker.configTransferAuto(start);
    profiles[0] = profileMaker;

    profileMaker.setConfig(sinkConfig, fallbackLimit, maxPacketSize, maxPacketCount);
    profileMaker.forceAuto = true;
    profileMaker.configTransferAuto(Clock{0});
    profiles[1] = profileMaker;
    profileMaker.forceAuto = false;
    profileCount = 2;
    TIVRA::SYSLOG_INFO << "configTransferAuto done";
}

bool Sync::configTransferFix(Clock cycle, int count)
{
    profileMaker.setConfig(sinkConfig, MAKER_LIMIT, maxPacketSize, maxPacketCount);
    if (!profileMaker.configTransferFix(cycle, count)) {
        return false;
    }
    profiles[0] = profileMaker;
    profileCount = 1;
    return true;
}

bool Sync::configTransferVar(Clock cycle, int count)
{
    profileMaker.setConfig(sinkConfig, MAKER_LIMIT, maxPacketSize, maxPacketCount);
    if (!profileMaker.configTransferVar(cycle, count)) {
        return false;
    }
    profiles[0] = profileMaker;
    profileCount = 1;
    return true;
}

bool Sync::configTransferFixAuto(Clock cycle)
{
    profileMaker.setConfig(sinkConfig, MAKER_LIMIT, maxPacketSize, maxPacketCount);
    if (!profileMaker.configTransferFixAuto(cycle)) {
        return false;
    }
    profiles[0] = profileMaker;
    profileCount = 1;
    return true;
}

bool Sync::configTransferVarAuto(Clock cycle)
{
    profileMaker.setConfig(sinkConfig, MAKER_LIMIT, maxPacketSize, maxPacketCount);
    if (!profileMaker.configTransferVarAuto(cycle)) {
        return false;
    }
    profiles[0] = profileMaker;
    profileCount = 1;
    return true;
}

bool Sync::configTransferRandom(Clock minCycle, Clock cycle, int count)
{
    profileMaker.setConfig(sinkConfig, MAKER_LIMIT, maxPacketSize, maxPacketCount);
    if (!profileMaker.configTransferRandom(minCycle, cycle, count)) {
        return false;
    }
    profiles[0] = profileMaker;
    profileCount = 1;
    return true;
}

void Sync::setConfigTransfer(const Profile& profile)
{
    profiles[0] = profile;
    profileCount = 1;
}

ProfileMaker Sync::getProfileMaker()
{
    profileMaker.setConfig(sinkConfig, MAKER_LIMIT, maxPacketSize, maxPacketCount);
    return profileMaker;
}

}  // namespace QUORVIN
