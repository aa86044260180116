#ifndef QUORL_NEIGHBORS_BRUTE_H
#define QUORL_NEIGHBORS_BRUTE_H

#include <cstdint>

#include "neighbors/knn.h"

// The k nearest of the n points xs[i*d .. i*d + d) to each of the m query rows
// qs[j*d .. j*d + d) (1 <= k <= n), or, when qs is null, of every point to the other points
// (m = n, 1 <= k <= n - 1, a point never its own neighbour), by measuring every pair in blocks:
// the rows of KNearestQuery and KNearestNeighbours, bit for bit, in the order of (squared
// length, position). With roots, `squared` holds the distances. Query blocks run on `workers`
// threads. Throws std::bad_alloc, keeping nothing. Memory O((n + m) d + m k).
knn_rows BruteNeighbours(const double *xs, int32_t n, int32_t d, const double *qs, int32_t m,
                         int32_t k, int32_t workers = 1, bool roots = false);

#endif
