#ifndef QUORL_TREE_ALLOC_H
#define QUORL_TREE_ALLOC_H

#include <cstddef>

// Every block of the core (list sets, element blocks, piece records, tree nodes, centers) comes
// from CheckedMalloc and is released with free(). Instead of returning null it throws
// std::bad_alloc, so no caller ever dereferences a failed allocation.
void *CheckedMalloc(size_t bytes);

// Fault injection for tests, per thread: after SetAllocFailure(k) with k >= 1, the k-th following
// CheckedMalloc on this thread throws std::bad_alloc (once); k = 0 turns it off. AllocCount() is the
// number of CheckedMalloc calls on this thread since the last SetAllocFailure.
void SetAllocFailure(long k);
long AllocCount();

#endif
