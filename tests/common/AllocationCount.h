// Allocation counts for tests: the program's global operator new counts
// every allocation per thread, and those of one watched thread.
#pragma once

#include <cstdint>

namespace testalloc {

// Allocations the calling thread has made so far.
long threadAllocations();
// The kernel id of the calling thread.
long currentThread();
// Starts counting the allocations of thread tid (0 stops) from zero.
void watchThread(long tid);
uint64_t watchedAllocations();

}  // namespace testalloc
