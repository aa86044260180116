#ifndef QUORL_NEIGHBORS_KNN_H
#define QUORL_NEIGHBORS_KNN_H

#include <cstdint>

#include "tree/bucket.h"

// The k nearest other points of every ordered point q (1 <= k <= n - 1), in the order of
// (squared length, input position of the other point): row q of `pos` (k entries) gets their
// ordered positions and, when `squared` is not null, row q of `squared` their squared lengths.
// Equal points come at squared length 0; a point is never its own neighbour. The buckets are
// searched on `workers` OpenMP threads (1: the calling thread alone), with the same result. With
// 0 < keep < k and squared null, only the first `keep` of each row are kept (rows of `keep` in
// `pos`); `kth`, when not null, gets each point's squared length to its k-th. Throws
// std::bad_alloc, having written part of the rows.
void NearestNeighbours(const bucket_tree &t, const ordered_points &p, int32_t k, int32_t *pos,
                       double *squared, int32_t workers = 1, int32_t keep = 0,
                       double *kth = nullptr);

// The k nearest other points of each of the n points xs[i*d .. i*d + d), 1 <= k <= n - 1, in
// input order: row i of `index` holds the input positions of point i's neighbours in the order
// of (squared length, position), row i of `squared` their squared lengths. Equal points are
// allowed. Requires points that pass check_points_array; throws std::bad_alloc, keeping nothing.
struct knn_rows {
    checked_vector<int64_t> index;  // n rows of k
    checked_vector<double> squared;  // n rows of k
};
// With roots, `squared` holds the square roots of the squared lengths instead (the distances).
knn_rows KNearestNeighbours(const double *xs, int32_t n, int32_t d, int32_t k, int32_t workers = 1,
                            bool roots = false);

// The first pair (i, j), i < j, of the n >= 2 points in the order of (squared length, i, j),
// with its squared length: the least of the rows of every point's nearest neighbour.
struct point_pair {
    double squared;
    int32_t i, j;
};
// With blocks, every point's nearest neighbour is found by BruteNeighbours instead of the tree.
point_pair ClosestPair(const double *xs, int32_t n, int32_t d, int32_t workers = 1,
                       bool blocks = false);

#endif
