#include "common/alloc.h"

#include <sys/mman.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <atomic>
#include <cstdlib>
#include <exception>
#include <new>

#include "common/interrupt.h"

namespace {
// Plain process-wide state, not thread_local: the thread-local storage of a module loaded at run
// time is allocated lazily, and when that allocation fails the C library aborts instead of
// letting bad_alloc reach the caller. Counting starts only once a test has set the hook.
std::atomic<bool> hooked{false};
std::atomic<long> fail_at{0};
std::atomic<long> calls{0};
std::atomic<long> page_blocks{0};

// Every allocation is also where a stop request is noticed: every caller already unwinds
// cleanly from a throw there.
void CountCall() {
    ThrowIfStopped();
    if (hooked.load(std::memory_order_relaxed)) {
        const long k = calls.fetch_add(1, std::memory_order_relaxed) + 1;
        if (k == fail_at.load(std::memory_order_relaxed)) throw std::bad_alloc();
    }
}

}  // namespace

void *CheckedMalloc(size_t bytes) {
    CountCall();
    void *p = malloc(bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void *CheckedRealloc(void *block, size_t bytes) {
    CountCall();
    void *p = realloc(block, bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void *CheckedPages(size_t bytes) {
    CountCall();
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    page_blocks.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void FreePages(void *block, size_t bytes) {
    if (block == nullptr) return;
    munmap(block, bytes);
    page_blocks.fetch_sub(1, std::memory_order_relaxed);
}

void ReturnFreedMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

long PagesHeld() { return page_blocks.load(std::memory_order_relaxed); }

void SetAllocFailure(long k) {
    fail_at = k;
    calls = 0;
    hooked = true;
}

long AllocCount() { return calls; }

void PrepareExceptionStorage() {
    // uncaught_exceptions() is declared pure: without the volatile store the call is dropped.
    volatile int in_flight = std::uncaught_exceptions();
    (void)in_flight;
}
