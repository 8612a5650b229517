#include "foundation/SysLog.h"
#include "stream/Sync.h"

namespace QUORVIN {

bool Sync::getNewStream(TIVRA::BufferCS_const& data)
{
    (void)data;
    TIVRA::SYSLOG_ERR << "getNewStream not set err";
    return false;
}

bool Sync::getNewStreamCmp()
{
    return true;
}

bool Sync::startSyncWorker()
{
    syncThread = std::thread(&Sync::thread_sync_func, this);
    return true;
}

void Sync::thread_sync_func()
{
    syncWorker();
    syncState.store(SYNC_IDLE);
}

bool Sync::syncWorker()
{
    setStateAndNotify(SYNC_IDLE);
    return false;
}

void Sync::thread_debug_func() {}

}  // namespace QUORVIN
