#ifndef QUORL_MST_DENSE_H
#define QUORL_MST_DENSE_H

#include <cstdint>

#include "mst/emst.h"

// The tree of EuclideanMST, bit for bit, by Prim over the complete graph: each step measures the
// point just joined against every point still outside, in blocks (blocks/kernel.h), so the work
// is n^2 / 2 squared lengths whatever the dimension, and memory O(n d). For data where a tree
// cannot prune (high dimensions). Each step's blocks are split among `workers` threads. Throws
// std::bad_alloc, keeping nothing.
emst_edges DenseEuclideanMST(const double *xs, int32_t n, int32_t d, int32_t workers = 1);

#endif
