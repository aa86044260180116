#ifndef QUORL_SPANNER_SPANNER_H
#define QUORL_SPANNER_SPANNER_H

#include <cstdint>

#include "tree/flat.h"

// The edges of a spanner, each once as (i, j) with i < j (input positions), in the order of
// (i, j), with their lengths sqrt(SquaredLength).
struct spanner_edges {
    checked_vector<int64_t> ends;
    checked_vector<double> lengths;
    size_t count() const { return lengths.size(); }
};

// Thrown when the spanner would need more than its edge limit: `edges` were kept when it stopped.
struct edge_limit_reached {
    int64_t edges;
};

// A t-spanner (t > 1) of the n points xs[i*d .. i*d + d): a graph in which every two points are
// joined by a path no longer than t times their distance, up to the rounding of the path's sum.
// Equal points are joined by edges of length 0, from the first copy to each other one.
//
// First a greedy pass over the few nearest neighbours of each distinct point, shortest first,
// keeps an edge only when the graph has no path within t times its length: that gives almost
// all of the greedy spanner's edges. Then every pair of points is covered, as in the
// decomposition, by a pair of nodes (A, B) of the fair split tree: if the graph joins A's and
// B's first points by a path of length L with L + t (diam A + diam B) <= t gap(A, B), every
// p in A and q in B are joined within t |pq| (by induction over |pq|, the paths within A and B
// being shorter); otherwise the larger node is split, down to single points, whose edge is
// added when the graph has no path short enough. Paths are searched with A* under the
// straight-line distance, bounded by the length that would do.
//
// Requires n >= 0, d >= 1, points that pass check_points_array and t > 1 finite. Throws
// edge_limit_reached beyond max_edges edges and std::bad_alloc when memory runs out, keeping
// nothing.
spanner_edges GreedySpanner(const double *xs, int32_t n, int32_t d, double t, int64_t max_edges);

#endif
