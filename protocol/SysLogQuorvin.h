// The one place through which the program sets the log threshold and sets
// up the log output.
#pragma once

#include "foundation/SysLog.h"

namespace QUORVIN {

class SysLogQuorvin {
public:
    // Creates the log sender (and the console printer when asked); leaves
    // the threshold alone.
    static void initialize(TIVRA::SysLog::SysLogFacility facility, unsigned short port, bool console);
    // Sets the threshold, then opens the sender's socket towards port when
    // it is not open yet.
    static void changeLevel(TIVRA::SysLog::SysLogLevel level, unsigned short port);
};

}  // namespace QUORVIN
