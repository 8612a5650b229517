// The one real-time priority every stand-in thread takes (the emulator's
// answerers, the card player's feeder, the link emulator, test threads that
// play a target's or an application's part). It is above every normal
// thread, so a busy machine cannot starve a stand-in, and below the
// daemon's own real-time threads (the buffer worker at round-robin 10, the
// stream worker at first-in-first-out 99), so a stand-in never holds off the
// code under test.
#pragma once

#include <pthread.h>
#include <sched.h>

namespace testbed {

inline constexpr int kStandinPriority = 5;

// The calling thread into SCHED_FIFO at kStandinPriority; false where that
// is not permitted (the thread then stays as it was).
inline bool becomeStandinRealtime()
{
    sched_param param{};
    param.sched_priority = kStandinPriority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

}  // namespace testbed
