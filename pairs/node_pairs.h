#ifndef QUORL_PAIRS_NODE_PAIRS_H
#define QUORL_PAIRS_NODE_PAIRS_H

#include <cstddef>
#include <cstdint>

#include "tree/flat.h"

// Node ids, two a pair, in one block grown with realloc: the C library moves a large block by
// remapping its pages, so growing never holds two copies and the memory in use stays that of
// the pairs found. At most limit() pairs are taken: the next one throws pair_limit_reached
// (pairs/budget.h) before anything is allocated for it. Owns its block.
class node_pair_buffer {
  public:
    node_pair_buffer() = default;
    node_pair_buffer(node_pair_buffer &&other) noexcept;
    node_pair_buffer &operator=(node_pair_buffer &&other) noexcept;
    node_pair_buffer(const node_pair_buffer &) = delete;
    node_pair_buffer &operator=(const node_pair_buffer &) = delete;
    ~node_pair_buffer();

    void push(int32_t a, int32_t b) {
        if (used_ + 2 > capacity_) Grow();
        ids_[used_++] = a;
        ids_[used_++] = b;
    }
    size_t pairs() const { return used_ / 2; }
    const int32_t *ids() const { return ids_; }
    size_t limit() const { return limit_; }
    void set_limit(size_t pairs) { limit_ = pairs; }
    // Room for `pairs` pairs in all, in one allocation (at most the limit).
    void Reserve(size_t pairs);
    // Takes `count` more pairs, within the reserved room, and returns where their ids go.
    int32_t *Extend(size_t count);

  private:
    void Grow();
    int32_t *ids_ = nullptr;
    size_t used_ = 0;
    size_t capacity_ = 0;
    size_t limit_ = SIZE_MAX;
};

// The well-separated pairs of the whole flat tree t (n >= 1) for s, into `out` (empty), in
// exactly the order of SearchPairs(view, 0, none, s): with workers <= 1 that very search on the
// calling thread; otherwise the top of the tree is searched first on the calling thread, which
// hands every node pair of at most a few thousandths of the points over as a task; `workers`
// OpenMP threads search the tasks, each into its own blocks of pages, which each thread then
// copies into `out` in task order, giving every block back once it has passed it (so that at
// most one block a thread is held twice). Stops when more than out.limit()
// pairs are found, throwing pair_limit_reached with the number found by then; throws
// std::bad_alloc when memory runs out. Either way the tasks' blocks are freed.
void FindFlatPairs(const flat_tree &t, double s, int32_t workers, node_pair_buffer &out);

#endif
