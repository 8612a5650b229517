// Threads that answer requests on a loaded machine. One real-time thread
// can still sit for tens of milliseconds on a processor the hypervisor or a
// busy neighbour holds; several of them, each waiting on a processor of its
// own, answer from whichever runs first.
#pragma once

#include <cstddef>
#include <vector>

namespace testbed {

// Distinct processors of this process's set for `count` answering threads,
// spread over the set and varied per call, so that the answerers of
// several peers do not all queue on the same ones. Fewer when the set is
// smaller.
std::vector<int> answererCpus(size_t count);

// The calling thread into the stand-ins' real-time priority (where
// permitted) and onto `cpu` (-1: left where it is).
void becomeAnswerer(int cpu);

}  // namespace testbed
