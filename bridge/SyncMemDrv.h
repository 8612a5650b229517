// One card of the driver: opens the card node, maps the card (ring and
// header), attaches it, sends the wake-up request when the host status
// changes and, from a notify thread of its own, the notify request when the
// host's read position has moved.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "bridge/SyncMem.h"

class SyncMemDrv : public SyncMem {
public:
    SyncMemDrv() = default;
    ~SyncMemDrv();
    SyncMemDrv(const SyncMemDrv&) = delete;
    SyncMemDrv& operator=(const SyncMemDrv&) = delete;

    bool openMem(int memNo, const std::string& targetName, const std::string& sinkName, int cpu, int cpuCount);
    void wakeup() override;
    void notify() override;
    // A refused notify request: the driver no longer learns the host's
    // position, so the node has to be rebuilt.
    bool linkFailed() const override { return notifyFailed.load(); }
    void close();
    int getMemNo() const { return memNo; }

protected:
    void thread_notify_func();

    int fd = -1;
    int memNo = 0;
    uint8_t* map = nullptr;
    uint64_t mapBytes = 0;
    std::thread notifyThread;
    std::atomic<bool> notifyRunning{false};
    std::atomic<bool> notifyPending{false};
    std::atomic<bool> notifyFailed{false};
    std::mutex notifyMutex;
    std::condition_variable notifyCond;
    int notifyCpu = -1;
    int notifyCpuCount = 0;
};

