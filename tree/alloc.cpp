#include "tree/alloc.h"

#include <cstdlib>
#include <new>

namespace {
thread_local long fail_at = 0;
thread_local long calls = 0;
}  // namespace

void *CheckedMalloc(size_t bytes) {
    ++calls;
    if (fail_at != 0 && calls == fail_at) throw std::bad_alloc();
    void *p = malloc(bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void SetAllocFailure(long k) {
    fail_at = k;
    calls = 0;
}

long AllocCount() { return calls; }
