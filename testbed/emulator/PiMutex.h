// A mutex with priority inheritance. The emulator's answering threads run in
// a real-time class and share their state with the test's threads of normal
// priority: a normal thread preempted while it holds the state would hold
// the answerers off for as long as a busy machine keeps it off the CPU.
// While a real-time thread waits, the holder runs at its priority.
#pragma once

#include <pthread.h>

namespace testbed {

class PiMutex {
public:
    PiMutex()
    {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&mutex_, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~PiMutex() { pthread_mutex_destroy(&mutex_); }
    PiMutex(const PiMutex&) = delete;
    PiMutex& operator=(const PiMutex&) = delete;

    void lock() { pthread_mutex_lock(&mutex_); }
    bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }
    void unlock() { pthread_mutex_unlock(&mutex_); }

private:
    pthread_mutex_t mutex_;
};

}  // namespace testbed
