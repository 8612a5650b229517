// A ring of equally sized audio slots between a data source and the stream
// worker. The buffer worker (the only producer) asks notifyStreamDone to
// fill the next free slot; the stream worker (the only consumer) takes slots
// through getNewStream. The ring starts full of silence, and when it runs dry
// the consumer gets short blocks of silence instead of stalling.
//
// No lock guards the ring: each side writes only its own position, published
// with release after the slot's bytes are written or read and read with
// acquire before a slot is touched. The two mutex and condition pairs serve
// only for sleeping in 10 ms slices.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/Buffer.h"
#include "protocol/Format.h"
#include "stream/Sync.h"

namespace QUORVIN {

class SyncBuffer : public Sync {
public:
    SyncBuffer() = default;
    // Does what close does: the threads call virtual operations of this
    // object, so they must be gone before the base part is destroyed.
    ~SyncBuffer();
    SyncBuffer(const SyncBuffer&) = delete;
    SyncBuffer& operator=(const SyncBuffer&) = delete;

    // Consumer side, on the stream worker's thread.
    bool getNewStream(TIVRA::BufferCS_const& data) override;
    bool getNewStreamCmp() override;

    // Fills the next free slot (the buffer worker's hook); here the slot is
    // committed unchanged.
    virtual void notifyStreamDone(TIVRA::Buffer& slot, bool firstAfterCycle);
    virtual bool startBufferWorker();

    // count + 1 slots of frames each, count of them queued silence. A count
    // of 0 counts as 1. format 0 means the stream's hostConfig.
    void setupBuffer(uint64_t frames, uint64_t count, bool notifyOnWrite, FormatConfigure format);
    bool connect(bool startWorker, int cpu);
    void play();
    void stop();
    void pre_disconnect(bool disconnectWhenDrained);
    void disconnect();
    void close();

    // Producer side.
    TIVRA::Buffer& writeStreamStart(bool& abort);
    void writeStreamDone(bool commit);
    bool checkStreamStart() const;
    void setStream(TIVRA::BufferCS_const data);
    // Only while no producer or consumer runs.
    void addStream(TIVRA::BufferCS_const data);

    bool buffer_empty() const;
    uint64_t getLastBufferCount() const;
    // Only after play has been stopped and the producer is paused.
    void seek(int64_t n);
    void seek_front();

protected:
    // Joins a buffer worker left from a stream that ended on its own (it
    // ends within one slice once the stream is idle): before its hook's
    // state or the slots are set up for the next stream. Nothing while the
    // stream is active.
    void joinEndedWorker();
    void thread_buffer_func();
    void BufferWorker();

    std::vector<TIVRA::Buffer> buffers;
    std::atomic<size_t> readPos{0};   // written by the consumer side only
    std::atomic<size_t> writePos{0};  // written by the producer side only
    std::thread bufferThread;
    std::mutex dataMutex;
    std::mutex spaceMutex;
    std::condition_variable dataCond;
    std::condition_variable spaceCond;
    uint64_t bufferBytes = 0;
    std::atomic<bool> notifyOnWrite{false};
    std::atomic<bool> disconnectReq{false};
    std::atomic<bool> stopReq{false};
    std::atomic<bool> stopAck{false};
    std::atomic<bool> cycleDone{false};
    std::atomic<bool> disconnectOnDrain{false};
    // disconnect() is between raising disconnectReq and moving the stream on.
    std::atomic<bool> disconnectCalled{false};
    // The mute blocks handed out when no slot is queued: 10 ms of silence and
    // one slot of silence. Each ring has its own, so two rings that run dry
    // at once never resize a block under each other's views.
    TIVRA::Buffer tmp;
    TIVRA::Buffer dmutedata;

private:
    bool active() const;
    size_t nextSlot(size_t position) const { return position + 1 == buffers.size() ? 0 : position + 1; }
    bool hasRoom() const;
    void waitSpaceSlice(bool (*done)(const SyncBuffer&));

    // What writeStreamStart hands back, always with abort set, while the
    // ring has no slots at all.
    TIVRA::Buffer noSlot;
};

}  // namespace QUORVIN
