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

// What one edge costs while the spanner is built and handed over: two arcs of the adjacency
// lists (index, link, length), the edge list, the edges in input numbering, and the two halves
// of the CSR array the caller makes of them.
constexpr uint64_t kSpannerBytesPerEdge = 2 * (4 + 4 + 8) + 2 * (4 + 8) + (16 + 8) + 2 * (8 + 8);

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
// all of the greedy spanner's edges. A local pass then checks every pair within twice a point's
// neighbour distance with one search from the point. Then every pair of points is covered, as
// in the decomposition, by a pair of nodes (A, B) of the fair split tree: with a and b the
// nodes' representatives, if the graph joins a and b by a path of length L with
// d(p, a) + L + d(b, q) <= t |pq| for all p in A and q in B (bounded by the measured paths from
// the representatives, or t |pa| by induction over |pq|, against the gap between the boxes or,
// for small nodes, point by point), the pair is done; otherwise the larger node is split, down
// to single points, whose edge is added when the graph has no path short enough. Paths are
// searched with A* under the straight-line distance, and in the cover also under the
// distances of a few landmarks, bounded by the length that would do.
//
// Requires n >= 0, d >= 1, points that pass check_points_array and t > 1 finite. Throws
// edge_limit_reached beyond max_edges edges and std::bad_alloc when memory runs out, keeping
// nothing.
// The tree build and the neighbour search run on `workers` threads, the rest on the calling
// thread; the spanner is the same for every value.
spanner_edges GreedySpanner(const double *xs, int32_t n, int32_t d, double t, int64_t max_edges,
                            int32_t workers = 1);

#endif
