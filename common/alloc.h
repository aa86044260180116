#ifndef QUORL_COMMON_ALLOC_H
#define QUORL_COMMON_ALLOC_H

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

// Every block of the core (list sets, element blocks, piece records, tree nodes, centers) comes
// from CheckedMalloc and is released with free(). Instead of returning null it throws
// std::bad_alloc, so no caller ever dereferences a failed allocation.
void *CheckedMalloc(size_t bytes);

// realloc() with the same guarantees: throws std::bad_alloc, leaving `block` as it was.
void *CheckedRealloc(void *block, size_t bytes);

// Blocks of whole pages straight from the system, for buffers that are filled once, read once
// and then given back: FreePages returns the pages to the system at once, where free() may keep
// them in the heap, so that memory touched next (a result being filled) can reuse them. Counted
// and failed like CheckedMalloc; `bytes` is rounded up to pages. FreePages(null, ...) does
// nothing; pass the size that was asked for.
void *CheckedPages(size_t bytes);
void FreePages(void *block, size_t bytes);
// How many blocks of CheckedPages are held now: LeakSanitizer does not see them, so the tests
// count them.
long PagesHeld();

// Gives the whole pages of freed heap blocks back to the system (malloc_trim with glibc; nothing
// elsewhere). The heap keeps what large arrays free, and an array that needs more than the
// freed block that holds the space then takes new pages: called where a stage has freed much,
// it keeps the resident size near what is in use. Costs a pass over the heap's free blocks.
void ReturnFreedMemory();

// The C++ runtime gives each thread its exception storage on first use, and when that allocation
// fails the process aborts instead of throwing. Calling this early, while memory is plentiful,
// makes sure a later std::bad_alloc can be thrown at all. Cheap; call it at every entry point.
void PrepareExceptionStorage();

// Fault injection for tests, process-wide (inject from one thread at a time): after
// SetAllocFailure(k) with k >= 1, the k-th following CheckedMalloc throws std::bad_alloc (once);
// k = 0 turns failing off. AllocCount() is the number of CheckedMalloc calls since the last
// SetAllocFailure. Until a test calls SetAllocFailure nothing is counted.
void SetAllocFailure(long k);
long AllocCount();

// std::allocator through CheckedMalloc, so that the core's arrays count as its blocks for the
// fault hook and a failed allocation throws std::bad_alloc like every other one.
template <typename T>
struct checked_allocator {
    typedef T value_type;
    checked_allocator() = default;
    template <typename U>
    checked_allocator(const checked_allocator<U> &) {}
    T *allocate(size_t count) { return static_cast<T *>(CheckedMalloc(count * sizeof(T))); }
    void deallocate(T *p, size_t) { free(p); }
    // resize(n) leaves numbers uninitialised (every array here is written before it is read):
    // zeroing tens of megabytes first would cost a pass of its own. Explicit values still apply.
    template <typename U>
    void construct(U *p) noexcept {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
    template <typename U>
    bool operator==(const checked_allocator<U> &) const {
        return true;
    }
    template <typename U>
    bool operator!=(const checked_allocator<U> &) const {
        return false;
    }
};
template <typename T>
using checked_vector = std::vector<T, checked_allocator<T>>;

#endif
