#include "protocol/SysLogQuorvin.h"

namespace QUORVIN {

void SysLogQuorvin::initialize(TIVRA::SysLog::SysLogFacility facility, unsigned short port, bool console)
{
    TIVRA::SysLog::initialize(facility, console, port);
}

void SysLogQuorvin::changeLevel(TIVRA::SysLog::SysLogLevel level, unsigned short port)
{
    TIVRA::quorvin_log = level;
    TIVRA::SysLog::OpenPort(port);
}

}  // namespace QUORVIN
