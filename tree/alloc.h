#ifndef QUORL_TREE_ALLOC_H
#define QUORL_TREE_ALLOC_H

#include <cstddef>

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

#endif
