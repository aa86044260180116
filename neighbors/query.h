#ifndef QUORL_NEIGHBORS_QUERY_H
#define QUORL_NEIGHBORS_QUERY_H

#include <cstdint>

#include "neighbors/knn.h"

// The k nearest of the n points xs[i*d .. i*d + d) to each of the m query points
// qs[j*d .. j*d + d), 1 <= k <= n, in query order: row j of `index` holds the input positions of
// the points nearest to query j in the order of (squared length, position), row j of `squared`
// their squared lengths. A query equal to a point finds it at squared length 0. Requires points
// that pass check_points_array and queries that pass check_query_array; throws std::bad_alloc,
// keeping nothing.
knn_rows KNearestQuery(const double *xs, int32_t n, int32_t d, const double *qs, int32_t m,
                       int32_t k);

#endif
