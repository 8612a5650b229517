#include "AllocationCount.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

// Every form of the global operator new and delete is replaced (a partial
// set would pair a malloc'ed block with the sanitizer's own delete); they
// only count and forward to malloc/free.

namespace {

thread_local long tAllocations = 0;
std::atomic<long> watched{0};
std::atomic<uint64_t> watchedCount{0};

long selfThread()
{
    thread_local const long tid = static_cast<long>(syscall(SYS_gettid));
    return tid;
}

void* countedAlloc(std::size_t size, std::size_t align, bool mayFail)
{
    ++tAllocations;
    const long w = watched.load(std::memory_order_relaxed);
    if (w != 0 && w == selfThread()) {
        watchedCount.fetch_add(1, std::memory_order_relaxed);
    }
    if (size == 0) {
        size = 1;
    }
    void* p = nullptr;
    if (align <= alignof(std::max_align_t)) {
        p = std::malloc(size);
    } else if (posix_memalign(&p, align, size) != 0) {
        p = nullptr;
    }
    if (p == nullptr && !mayFail) {
        std::abort();  // the project ends the process on a failed allocation
    }
    return p;
}

constexpr std::size_t kPlain = alignof(std::max_align_t);

}  // namespace

void* operator new(std::size_t n)
{
    return countedAlloc(n, kPlain, false);
}
void* operator new[](std::size_t n)
{
    return countedAlloc(n, kPlain, false);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    return countedAlloc(n, kPlain, true);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept
{
    return countedAlloc(n, kPlain, true);
}
void* operator new(std::size_t n, std::align_val_t a)
{
    return countedAlloc(n, static_cast<std::size_t>(a), false);
}
void* operator new[](std::size_t n, std::align_val_t a)
{
    return countedAlloc(n, static_cast<std::size_t>(a), false);
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return countedAlloc(n, static_cast<std::size_t>(a), true);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return countedAlloc(n, static_cast<std::size_t>(a), true);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept
{
    std::free(p);
}


namespace testalloc {

long threadAllocations()
{
    return tAllocations;
}

long currentThread()
{
    return selfThread();
}

void watchThread(long tid)
{
    watchedCount.store(0, std::memory_order_relaxed);
    watched.store(tid, std::memory_order_relaxed);
}

uint64_t watchedAllocations()
{
    return watchedCount.load(std::memory_order_relaxed);
}

}  // namespace testalloc
