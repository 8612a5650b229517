#include "stream/SyncBuffer.h"

#include <chrono>

#include "foundation/Clock.h"
#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"

namespace QUORVIN {

using TIVRA::Clock;

namespace {

constexpr auto WAIT_SLICE = std::chrono::milliseconds(10);
constexpr Clock SEEK_PAUSE{100 * Clock::MS};

// Bytes of 10 ms of sound in the format, not rounded to whole frames.
size_t tenMsBytes(FormatConfigure format)
{
    const uint32_t bitsPerSecond = static_cast<uint32_t>(format.getSpeed()) * format.getBits() * format.getChannel();
    return (bitsPerSecond / 8) / 100;
}

}  // namespace

SyncBuffer::~SyncBuffer()
{
    close();
}

bool SyncBuffer::active() const
{
    const int32_t state = syncState.load();
    return state == SYNC_CONNECTING || state == SYNC_CONNECTED || state == SYNC_DISCONNECTING;
}

bool SyncBuffer::hasRoom() const
{
    if (buffers.empty()) {
        return false;
    }
    return nextSlot(writePos.load(std::memory_order_relaxed)) != readPos.load(std::memory_order_acquire);
}

void SyncBuffer::waitSpaceSlice(bool (*done)(const SyncBuffer&))
{
    std::unique_lock<std::mutex> lock(spaceMutex);
    spaceCond.wait_until(lock, std::chrono::steady_clock::now() + WAIT_SLICE, [this, done] { return done(*this); });
}

// ---- set-up and lifecycle

void SyncBuffer::joinEndedWorker()
{
    if (bufferThread.joinable() && !active()) {
        bufferThread.join();
    }
}

void SyncBuffer::setupBuffer(uint64_t frames, uint64_t count, bool onWrite, FormatConfigure format)
{
    // The slots must not change under a worker still finishing its last fill.
    joinEndedWorker();
    const FormatConfigure f = format.value != 0 ? format : hostConfig;
    bufferBytes = frames * (uint64_t{f.getWid()} * f.getChannel());
    // readPos names the second slot, so a ring needs at least two.
    const uint64_t queued = count == 0 ? 1 : count;
    buffers.resize(queued + 1);
    const uint8_t mute = f.getMuteByte();
    for (TIVRA::Buffer& slot : buffers) {
        slot.resize(bufferBytes);
        slot.fill(mute);
    }
    // The consumer resizes the mute blocks within this capacity.
    dmutedata.reserve(bufferBytes);
    tmp.reserve(tenMsBytes(hostConfig));
    writePos.store(0, std::memory_order_release);
    readPos.store(buffers.size() > 1 ? 1 : 0, std::memory_order_release);
    notifyOnWrite.store(onWrite);
    cycleDone.store(false);
}

bool SyncBuffer::connect(bool startWorker, int cpu)
{
    if (bufferThread.joinable()) {
        // The worker waits while the stream is active; Sync::connect makes
        // the stream idle anyway, so a connect on a live stream cannot hang
        // here.
        if (active()) {
            syncState.store(SYNC_IDLE);
        }
        bufferThread.join();
    }
    if (!Sync::connect(cpu)) {
        return false;
    }
    stopReq.store(false);
    stopAck.store(false);
    disconnectReq.store(false);
    disconnectOnDrain.store(false);
    if (startWorker && !startBufferWorker()) {
        TIVRA::SYSLOG_ERR << "Buffer Worker Start Error";
        Sync::close();
        if (bufferThread.joinable()) {
            bufferThread.join();
        }
        return false;
    }
    return true;
}

void SyncBuffer::play()
{
    TIVRA::SYSLOG_INFO << "SyncBuffer::play";
    stopReq.store(false);
    stopAck.store(false);
    disconnectReq.store(false);
    Sync::play();
    spaceCond.notify_all();
}

void SyncBuffer::stop()
{
    TIVRA::SYSLOG_INFO << "SyncBuffer::stop";
    stopReq.store(true);
    // An idle stream has no consumer left to acknowledge.
    while (!stopAck.load() && active()) {
        waitSpaceSlice([](const SyncBuffer& s) { return s.stopAck.load() || !s.active(); });
    }
    Sync::stop();
}

void SyncBuffer::pre_disconnect(bool disconnectWhenDrained)
{
    TIVRA::SYSLOG_INFO << "SyncBuffer::pre_disconnect";
    // The consumer reads disconnectOnDrain after it saw disconnectReq.
    disconnectOnDrain.store(disconnectWhenDrained);
    disconnectReq.store(true);
}

void SyncBuffer::disconnect()
{
    disconnectCalled.store(true);
    pre_disconnect(false);
    TIVRA::SYSLOG_INFO << "SyncBuffer::disconnect";
    // A stream still connecting cannot be disconnected yet, and the buffer
    // worker would wait for it forever: wait for the connect's outcome, then
    // disconnect whatever it was. Testing the state once more after a
    // disconnect attempt would miss a worker that connects in between.
    while (syncState.load() == SYNC_CONNECTING) {
        waitSpaceSlice([](const SyncBuffer& s) { return s.syncState.load() != SYNC_CONNECTING; });
    }
    Sync::disconnect();
    disconnectCalled.store(false);
    if (bufferThread.joinable()) {
        bufferThread.join();
    }
}

void SyncBuffer::close()
{
    Sync::close();
    if (bufferThread.joinable()) {
        bufferThread.join();
    }
}

// ---- consumer side

bool SyncBuffer::getNewStream(TIVRA::BufferCS_const& data)
{
    for (;;) {
        const size_t r = readPos.load(std::memory_order_relaxed);
        if (r != writePos.load(std::memory_order_acquire)) {
            const TIVRA::Buffer& slot = buffers[r];
            data = {slot.data(), slot.size()};
            readPos.store(nextSlot(r), std::memory_order_release);
            return true;
        }
        if (disconnectReq.load() && !(disconnectCalled.load() && syncState.load() == SYNC_CONNECTED)) {
            data = {};
            if (disconnectOnDrain.exchange(false)) {
                disconnect_flgset();
            }
            return false;
        }
        if (disconnectReq.load()) {
            // disconnect() raises the request just before it moves the stream
            // to disconnecting; an end seen in between would count as a
            // failure of the audio (the worker ends without the handshake),
            // so the consumer gets silence meanwhile.
            dmutedata.resize(bufferBytes);
            dmutedata.fill(hostConfig.getMuteByte());
            data = dmutedata;
            return true;
        }
        if (stopReq.load()) {
            if (!stopAck.load()) {
                stopAck.store(true);
                spaceCond.notify_all();
            }
            dmutedata.resize(bufferBytes);
            dmutedata.fill(hostConfig.getMuteByte());
            data = dmutedata;
            return true;
        }
        if (!notifyOnWrite.load()) {
            spaceCond.notify_all();  // the producer may be waiting for room
            tmp.resize(tenMsBytes(hostConfig));
            tmp.fill(hostConfig.getMuteByte());
            TIVRA::SYSLOG_WARNING << "SyncBuffer not enough mute data return " << tmp.size();
            data = tmp;
            return true;
        }
        const Clock started = Clock::now();
        bool committed = false;
        {
            std::unique_lock<std::mutex> lock(dataMutex);
            committed = dataCond.wait_until(lock, std::chrono::steady_clock::now() + WAIT_SLICE, [this] {
                return readPos.load(std::memory_order_relaxed) != writePos.load(std::memory_order_acquire);
            });
        }
        if (!committed) {
            TIVRA::SYSLOG_WARNING << "SyncBuffer not enough Timeout";
            data = {};
            return false;
        }
        TIVRA::SYSLOG_WARNING << "SyncBuffer not enough " << (Clock::now() - started).picoseconds / Clock::MS;
    }
}

bool SyncBuffer::getNewStreamCmp()
{
    cycleDone.store(true, std::memory_order_release);
    spaceCond.notify_all();
    return true;
}

// ---- producer side

void SyncBuffer::notifyStreamDone(TIVRA::Buffer& slot, bool firstAfterCycle)
{
    (void)slot;
    (void)firstAfterCycle;
}

bool SyncBuffer::startBufferWorker()
{
    if (bufferThread.joinable()) {
        return false;  // one buffer worker per stream
    }
    bufferThread = std::thread(&SyncBuffer::thread_buffer_func, this);
    return true;
}

TIVRA::Buffer& SyncBuffer::writeStreamStart(bool& abort)
{
    abort = false;
    for (;;) {
        if (hasRoom()) {
            return buffers[writePos.load(std::memory_order_relaxed)];
        }
        waitSpaceSlice([](const SyncBuffer& s) { return s.hasRoom(); });
        if (!active() || disconnectReq.load() || stopReq.load()) {
            abort = true;
            return buffers.empty() ? noSlot : buffers[writePos.load(std::memory_order_relaxed)];
        }
    }
}

void SyncBuffer::writeStreamDone(bool commit)
{
    // A commit into a full ring would make it look empty.
    if (!commit || !hasRoom()) {
        return;
    }
    writePos.store(nextSlot(writePos.load(std::memory_order_relaxed)), std::memory_order_release);
    if (notifyOnWrite.load()) {
        // Taking the mutex once closes the gap between the consumer's test
        // and its wait, so the consumer does not sleep out its slice.
        {
            std::lock_guard<std::mutex> lock(dataMutex);
        }
        dataCond.notify_all();
    }
}

bool SyncBuffer::checkStreamStart() const
{
    return hasRoom();
}

void SyncBuffer::setStream(TIVRA::BufferCS_const data)
{
    bool abort = false;
    TIVRA::Buffer& slot = writeStreamStart(abort);
    if (abort) {
        return;
    }
    slot = data;
    writeStreamDone(true);
}

void SyncBuffer::addStream(TIVRA::BufferCS_const data)
{
    buffers.emplace_back();
    buffers.back() = data;
    writePos.store(0, std::memory_order_release);
    readPos.store(buffers.size() > 1 ? 1 : 0, std::memory_order_release);
}

// ---- positions

bool SyncBuffer::buffer_empty() const
{
    return readPos.load(std::memory_order_acquire) == writePos.load(std::memory_order_acquire);
}

uint64_t SyncBuffer::getLastBufferCount() const
{
    const size_t n = buffers.size();
    if (n == 0) {
        return 0;
    }
    const size_t r = readPos.load(std::memory_order_acquire);
    const size_t w = writePos.load(std::memory_order_acquire);
    return (w + n - r) % n;
}

void SyncBuffer::seek(int64_t n)
{
    if (playing.load()) {
        Sync::stop();
        Clock::sleep(SEEK_PAUSE);
    }
    const size_t slots = buffers.size();
    if (n == 0 || slots == 0) {
        return;
    }
    // More than one turn of the ring always meets the stopping slot.
    const uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    const uint64_t steps = magnitude < slots ? magnitude : slots;
    const size_t w = writePos.load(std::memory_order_relaxed);
    size_t r = readPos.load(std::memory_order_relaxed);
    for (uint64_t i = 0; i < steps; ++i) {
        if (n > 0) {
            if (r == w) {
                break;  // every queued slot dropped
            }
            r = nextSlot(r);
        } else {
            if (r == nextSlot(w)) {
                break;  // full again
            }
            r = r == 0 ? slots - 1 : r - 1;
        }
    }
    readPos.store(r, std::memory_order_release);
}

void SyncBuffer::seek_front()
{
    if (playing.load()) {
        Sync::stop();
        Clock::sleep(SEEK_PAUSE);
    }
    writePos.store(0, std::memory_order_release);
    readPos.store(buffers.size() > 1 ? 1 : 0, std::memory_order_release);
}

// ---- the buffer worker

void SyncBuffer::thread_buffer_func()
{
    const uint64_t tid = TIVRA::ThreadPriority::getSelfThreadID();
    if ((workMode.load() & OCCUPIED) != 0 && auxCpu != -1 && auxCpuCount > 0) {
        if (TIVRA::ThreadPriority::setCpuThread(
                tid,
                {TIVRA::ThreadPriority::Cpus{static_cast<uint16_t>(auxCpu), static_cast<uint16_t>(auxCpuCount)}})) {
            TIVRA::SYSLOG_INFO << "Buffer Thread CPU set " << auxCpu << "," << auxCpuCount;
        } else {
            TIVRA::SYSLOG_WARNING << "Buffer Thread CPU set error " << auxCpu << "," << auxCpuCount;
        }
    }
    if (TIVRA::ThreadPriority::setPriority(tid, TIVRA::ThreadPriority::PRIORITY_HIGH)) {
        TIVRA::SYSLOG_INFO << "Buffer Thread Priority set HIGH";
    } else {
        TIVRA::SYSLOG_WARNING << "Buffer Thread Priority set Error";
    }
    BufferWorker();
}

void SyncBuffer::BufferWorker()
{
    // Whether a fill after a sent cycle has happened since the ring was last
    // full: only the first such fill is marked for the hook.
    bool filledAfterCycle = false;
    while (active()) {
        if (disconnectReq.load()) {
            break;
        }
        if (stopReq.load()) {
            waitSpaceSlice(
                [](const SyncBuffer& s) { return !s.stopReq.load() || !s.active() || s.disconnectReq.load(); });
            continue;
        }
        bool abort = false;
        TIVRA::Buffer& slot = writeStreamStart(abort);
        if (abort) {
            continue;
        }
        const bool cycle = cycleDone.exchange(false, std::memory_order_acq_rel);
        notifyStreamDone(slot, cycle && !filledAfterCycle);
        if (cycle) {
            filledAfterCycle = true;
        }
        writeStreamDone(true);
        if (!hasRoom()) {
            filledAfterCycle = false;
        }
    }
    stopReq.store(true);
    stopAck.store(true);
    spaceCond.notify_all();  // a stop waiting for the acknowledgement returns
    TIVRA::SYSLOG_INFO << "finish BufferWorker";
    while (active()) {
        waitSpaceSlice([](const SyncBuffer& s) { return !s.active(); });
    }
    TIVRA::SYSLOG_INFO << "done BufferWorker";
}

}  // namespace QUORVIN
