#ifndef QUORL_CLUSTER_DBSCAN_H
#define QUORL_CLUSTER_DBSCAN_H

#include <cstdint>

#include "common/alloc.h"

// DBSCAN of the n >= 1 points xs[i*d .. i*d + d) under the Euclidean distance, as scikit-learn's
// DBSCAN(algorithm="kd_tree") labels them. Two points are within eps of each other when their
// SquaredLength is at most eps2 (= eps * eps). A point is core when the points within eps of it,
// itself included, number at least min_samples or, with `weight` (n values, in input order, may
// be negative), weigh at least min_samples, summed in an order fixed by the points alone.
// Clusters are the components of the core points joined within eps, numbered 0, 1, ... in the
// order of their lowest input position; a point that is not core takes the lowest-numbered
// cluster with a core point within eps of it, or -1. Memory is O(n d): counts stop at
// min_samples where no weight is negative, and the clusters come from unions of the tree's
// boxes and points without a list of neighbours. Requires finite coordinates within the
// checked limits, eps2 >= 0 and min_samples >= 1; on `workers` OpenMP threads, with the same
// result. Without `list_core` the core points are not listed. Throws std::bad_alloc or
// `interrupted`, keeping nothing. With `blocks` and no weights, every pair is measured in
// blocks instead (blocks/pairs.h), for many dimensions: the same result. (Weighted sums would
// round in another order there, so weights keep the tree.)
struct dbscan_result {
    checked_vector<int64_t> labels;  // n, in input order
    checked_vector<int64_t> core;    // the input positions of the core points, ascending
    int64_t clusters = 0;
};
dbscan_result Dbscan(const double *xs, int32_t n, int32_t d, double eps2, double min_samples,
                     const double *weight = nullptr, int32_t workers = 1, bool list_core = true,
                     bool blocks = false);

#endif
