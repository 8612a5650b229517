// The control channel (see Control.h).
#include "control/Control.h"

namespace QUORVIN {

Control::Control(const Setting& setting) : hostName(setting.hostName), hostId(setting.hostId) {}

Control::~Control()
{
    socket.close();
}

}  // namespace QUORVIN
