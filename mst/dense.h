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

// The mutual reachability w(a, b) = max(core_a, core_b, sqrt(SquaredLength) / alpha) of the
// points by the same blocks: `core` gets the core distances (as MutualReachabilityMST gives
// them, from BruteNeighbours), `tree` the tree of MutualReachabilityMST bit for bit (lengths the
// weights), and prim_ends / prim_w the n - 1 steps of PrimOrder (scikit-learn's Prim from point 0:
// the least weight, then the smallest point, from the first tree point that reached it), found
// by Prim over every pair, which needs no tie edges. Requires 1 <= min_samples <= n (or n < 2)
// and alpha > 0 and finite; throws std::bad_alloc, keeping nothing but what it wrote.
void DenseReachability(const double *xs, int32_t n, int32_t d, int32_t min_samples, double alpha,
                       int32_t workers, checked_vector<double> &core, emst_edges &tree,
                       int64_t *prim_ends, double *prim_w);

#endif
