// Card memory and driver link (see SyncMemDrv.h).
#include "bridge/SyncMemDrv.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bridge/BridgeIoctl.h"
#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"

using namespace QUORVIN;

SyncMemDrv::~SyncMemDrv()
{
    close();
    // The stream's threads use this object's hooks: none may outlive it.
    SyncBuffer::close();
}

bool SyncMemDrv::openMem(int number, const std::string& targetName, const std::string& sinkName, int cpu,
                         int cpuCount)
{
    notifyCpu = cpu;
    notifyCpuCount = cpuCount;
    memNo = number;
    const std::string path = bridgeCardNode(memNo);
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    TIVRA::SYSLOG_INFO << "open " << path << " " << fd;
    if (fd < 0) {
        std::fprintf(stderr, "open error %s\n", path.c_str());
        fd = -1;
        return false;
    }
    mapBytes = bridgeMappingBytes(periodMax, periodSizeMax);
    void* m = ::mmap(nullptr, mapBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        TIVRA::SYSLOG_ERR << "MAP_FAILED ";
        ::close(fd);
        fd = -1;
        return false;
    }
    map = static_cast<uint8_t*>(m);
    std::memset(map, 0, mapBytes);
    SyncMem::openMem(map, targetName, sinkName);
    const int r = ::ioctl(fd, bridgeRequest(memNo), QUORVIN_BR_ATTACH_ARG);
    TIVRA::SYSLOG_INFO << "QUORVIN_BR_ATTACH  " << memNo << " " << fd << " " << r << " " << targetName << " "
                       << sinkName;
    notifyRunning.store(true);
    notifyPending.store(false);
    notifyFailed.store(false);
    notifyThread = std::thread(&SyncMemDrv::thread_notify_func, this);
    return true;
}

void SyncMemDrv::wakeup()
{
    if (fd == -1) {
        return;
    }
    const int r = ::ioctl(fd, bridgeRequest(memNo), QUORVIN_BR_WAKEUP_ARG);
    if (r != 0) {
        TIVRA::SYSLOG_ERR << "Error QUORVIN_BR_WAKEUP  " << fd << " " << memNo << " " << r;
    }
}

void SyncMemDrv::notify()
{
    if (!notifyRunning.load()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(notifyMutex);
        notifyPending.store(true);
    }
    notifyCond.notify_one();
}

void SyncMemDrv::thread_notify_func()
{
    const uint64_t self = TIVRA::ThreadPriority::getSelfThreadID();
    if (notifyCpu != -1 && notifyCpuCount > 0) {
        if (TIVRA::ThreadPriority::setCpuThread(self, {TIVRA::ThreadPriority::Cpus{static_cast<uint16_t>(notifyCpu),
                                                                                   static_cast<uint16_t>(notifyCpuCount)}})) {
            TIVRA::SYSLOG_INFO << "Notify Thread CPU set " << notifyCpu << "," << notifyCpuCount;
        } else {
            TIVRA::SYSLOG_WARNING << "Notify Thread CPU set error " << notifyCpu << "," << notifyCpuCount;
        }
    }
    if (TIVRA::ThreadPriority::setPriority(self, TIVRA::ThreadPriority::PRIORITY_IDLE)) {
        TIVRA::SYSLOG_INFO << "Notify Thread Priority set IDLE";
    } else {
        TIVRA::SYSLOG_WARNING << "Notify Thread Priority set Error";
    }
    std::unique_lock<std::mutex> lock(notifyMutex);
    for (;;) {
        notifyCond.wait(lock, [this] { return !notifyRunning.load() || notifyPending.load(); });
        if (!notifyRunning.load()) {
            return;
        }
        notifyPending.store(false);
        // Outside the mutex: the buffer worker, a real-time thread, takes it
        // in notify() and must never wait behind this idle-class thread's request.
        lock.unlock();
        const int r = ::ioctl(fd, bridgeRequest(memNo), QUORVIN_BR_NOTIFY_ARG);
        lock.lock();
        if (r != 0) {
            TIVRA::SYSLOG_ERR << "Error QUORVIN_BR_NOTIFY  " << fd << " " << memNo << " " << r;
            notifyFailed.store(true);
            notifyRunning.store(false);
            return;
        }
    }
}

void SyncMemDrv::close()
{
    if (fd < 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(notifyMutex);
        notifyRunning.store(false);
    }
    notifyCond.notify_all();
    if (notifyThread.joinable()) {
        notifyThread.join();
    }
    SyncMem::close();
    ::munmap(map, mapBytes);
    map = nullptr;
    ::close(fd);
    fd = -1;
}

