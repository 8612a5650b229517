// Transfer profiles: how a stream is cut into timed cycles of packets, and
// the maker that computes them from the stream format, the sink's packet
// limits and its cycle parameters.
#pragma once

#include <cstdint>

#include "foundation/Clock.h"
#include "protocol/Format.h"

namespace QUORVIN {

enum TransferMode : uint32_t {
    TransferVar = 0,        // equal packets of whole frames; the worker adjusts the cycle
    TransferFix = 1,        // fixed cycle; the worker adjusts the frames per packet
    TransferRandom = 2,     // fixed profile whose cycles vary between minCycleTime and cycleTime
    TransferSinkCycle = 3,  // cycle derived from the sink's own cycle
};

// Flags of a sink's cycle parameters.
enum ProfileID : uint16_t {
    PROFILE_LIMITONLY = 0x01,
    PROFILE_VAR = 0x02,
    PROFILE_FROMMIN = 0x04,
    PROFILE_AUTO = 0x08,
    PROFILE_SINKCYCLE = 0x20,
};

struct Profile {
    TIVRA::Clock cycleTime;
    uint32_t packetBytes = 0;  // 0 in TransferFix
    uint32_t packetBytesMax = 0;
    uint32_t framesPerPacketQ14 = 0;
    uint16_t packetCount = 0;
    TIVRA::Clock minCycleTime;
    TransferMode mode = TransferVar;
};

class ProfileMaker {
public:
    ProfileMaker() = default;

    operator Profile() const;

    void setConfig(FormatConfigure config, TIVRA::Clock limitCycle, unsigned short PackDataSize,
                   unsigned short PackDataCount);
    bool setParameter(unsigned short min, unsigned short max, uint16_t prof, unsigned int baseMin,
                      unsigned int frameMax);

    bool configTransferFix(TIVRA::Clock cycle, int count);
    bool configTransferVar(TIVRA::Clock cycle, int count);
    bool configTransferFixAuto(TIVRA::Clock cycle);
    bool configTransferVarAuto(TIVRA::Clock cycle);
    bool configTransferSizeFix(unsigned long bytes);
    bool configTransferRandom(TIVRA::Clock minCycle, TIVRA::Clock cycle, int count);
    bool configTransferAuto();
    void configTransferAuto(TIVRA::Clock start);

    // The result.
    TIVRA::Clock cycleTime{TIVRA::Clock::SEC};
    uint32_t packetBytes = 0;
    uint32_t packetBytesMax = 0;
    uint32_t framesPerPacketQ14 = 0;
    uint16_t packetCount = 1;
    TransferMode mode = TransferVar;
    TIVRA::Clock minCycleTime;

    // The inputs.
    unsigned short min = 0;  // sink cycles, 10-us units
    unsigned short max = 0;
    uint16_t prof = 0;  // ProfileID flags
    unsigned int baseMin = 0;
    unsigned int frameMax = 0;
    FormatConfigure config;
    TIVRA::Clock limitCycle;
    unsigned short PackDataSize = 0;
    unsigned short PackDataCount = 0;
    bool forceAuto = false;
    bool minKnown = false;
};

}  // namespace QUORVIN
