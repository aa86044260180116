#ifndef QUORL_MST_EMST_H
#define QUORL_MST_EMST_H

#include <cstdint>

#include "tree/flat.h"

// A spanning tree of n points as n - 1 edges, in the order of the key (squared length, i, j).
struct emst_edges {
    checked_vector<int64_t> ends;     // 2 per edge: i, then j > i (input positions)
    checked_vector<double> squared;   // the squared length of each edge
    checked_vector<double> lengths;   // sqrt(squared), or the edge's key under another distance
    size_t count() const { return lengths.size(); }
};

// The minimum spanning tree of the n points xs[i*d .. i*d + d) under the total order of point
// pairs (i < j) by (squared length, i, j), the squared length as SquaredLength computes it, in
// which it is unique. Borůvka rounds over the fair split tree of the distinct points, cut at
// buckets: each point keeps its nearest neighbour outside its component while that stays
// outside, takes the next from its few nearest neighbours, and otherwise searches the tree,
// pruned by node boxes against the best edge its component has found so far and by nodes wholly
// inside the component. Equal
// points are allowed. Requires n >= 0, d >= 1 and points that pass check_points_array; throws
// std::bad_alloc when memory runs out, having kept nothing. Memory O(n d).
// The tree build, the neighbour search and (from 2^15 points) each round's searches run on
// `workers` threads, each round's unions on the calling thread; the tree is the same for every
// value.
emst_edges EuclideanMST(const double *xs, int32_t n, int32_t d, int32_t workers = 1);

// The edges beyond a minimum spanning tree of the mutual reachability that can belong to some
// other one: the pairs (a, b) of weight w(a, b) whose ends no path of edges lighter than w joins
// (those that weigh as much as the highest edge on the tree's path between them), the tree's own
// edges left out. Points that are equal stand in for one another (each pair between two of them
// weighs their core distance and can belong to a tree, and each weighs alike to every other
// point), so a run of equal points is one end: `twin` (empty when all points differ) is the next
// point of each point's run, round in a cycle, the edges join one point of each run, and each
// edge, the tree's included, stands for every pair between the two runs.
struct tie_edges {
    // Set by the caller: only the ties that can change the single-linkage rows of Prim's order
    // (PrimOrder) are wanted, not every one; Prim's order over them then takes the same points at
    // the same weights, and only the point an edge comes from may be another of the same part.
    bool linkage_only = false;
    // Set by the caller: only the ties that weigh a length (above both cores) are wanted.
    bool lengths_only = false;
    checked_vector<int32_t> ends;  // 2 per edge
    // The first `cored` edges weigh the core distance of their first end, the greater of the
    // two; edge e >= cored weighs w[e - cored].
    size_t cored = 0;
    checked_vector<double> w;
    checked_vector<int32_t> twin;  // per point, the next of its run of equal points
    size_t count() const { return ends.size() / 2; }
};

// Marks (sole[q] = 1) each point q whose core weighs the tree's edges of that weight, all q's and
// each to a point of a smaller core: a tie (q, r) of weight core_q > core_r then changes only
// which point of a part of the tree below that weight Prim's edge to q comes from, never the
// single-linkage rows, unless a tie weighing a distance lies at that weight too. The m edges
// come in the order of their weights: a(e), b(e) their ends, w(e) their weights; core per point.
template <typename EndA, typename EndB, typename Weight>
void MarkSoleCores(size_t m, const double *core, EndA a, EndB b, Weight w, uint8_t *sole) {
    for (size_t s = 0; s < m;) {
        const double h = w(s);
        size_t e = s;
        int64_t centre = -1;
        bool one = true;
        for (; e < m && w(e) == h; ++e) {
            const int64_t x = a(e), y = b(e);
            const double cx = core[x], cy = core[y];
            const int64_t c = cx == h && cy < h ? x : cy == h && cx < h ? y : -1;
            if (c < 0 || (centre >= 0 && c != centre)) one = false;
            centre = c;
        }
        if (one) sole[centre] = 1;
        s = e;
    }
}

// Whether MarkSoleCores lets the tie (a, b) of the greater core go, ca and cb the cores of a and
// b: that end is `sole`.
inline bool OfSoleCore(double ca, double cb, const uint8_t *sole, int32_t a, int32_t b) {
    return ca != cb && sole[size_t(ca > cb ? a : b)];
}

// Which of the t pairs (pairs[2k], pairs[2k + 1]) of n points, of weights w[k], can belong to
// some minimum spanning tree of a graph that the m edges `ends` (of weights `weights`, not
// decreasing) span at least weight: keep[k] = 1 for those that are not among the edges and weigh
// as much as the heaviest edge of the path between their ends in the tree Kruskal's algorithm
// takes from the edges (an edge that closes a cycle is passed over, as where runs of equal
// points are taken for one point). Throws std::invalid_argument when the edges do not span the
// points or a pair weighs less than that edge (the edges then hold no minimum tree).
void TreeTies(int32_t n, size_t m, const int64_t *ends, const double *weights, const int32_t *pairs,
              const double *w, size_t t, uint8_t *keep);

// Thrown by MutualReachabilityMST when it finds more than `max_ties` tie edges, with how many
// it had found by then.
struct tie_limit_reached {
    uint64_t found;
};

// The minimum spanning tree of the same points under the mutual reachability
// w(i, j) = max(core_i, core_j, sqrt(SquaredLength(x_i, x_j)) / alpha), pairs ordered by
// (w, i, j), i < j, in which it is unique: the same Borůvka rounds, pruned also by the least core
// under each node. core_i is the distance to the (min_samples - 1)-th nearest other point, the
// square root of its squared length (0 when min_samples = 1); `core` gets them in input order.
// `lengths` holds each edge's w and `squared` its squared length. Requires
// 1 <= min_samples <= n (or n < 2), alpha > 0 and finite, and what EuclideanMST requires.
// When `ties` is not null it gets the tie edges (tie_edges, all of them or, with its
// linkage_only set, those a linkage needs) as input positions, weights computed as the tree's;
// throws tie_limit_reached when there are more than max_ties of them, keeping
// nothing. When `order` is not null too, it gets the input position of each point in the order
// of the tree (nearby points close together, equal points together), and the tie edges and twins
// are indices into `order` instead. When `given_core` is not null, the cores are those n values
// (input order, finite and >= 0) instead, the rounds start from each point's min_samples - 1
// nearest and `ties` must be null: the tree of a subset of a larger set of points under the
// larger set's cores. When `points` is not null it holds xs (xs == points->data()) and is
// emptied once the points have been copied into the tree's order, so that they are not held
// twice. With the cores given, `given_near` (when not null) holds each point's given_k >= 1
// nearest others among these points (input positions in [0, n), no point itself), nearest
// first, ties in any order: the rounds start from them instead of searching for their own.
emst_edges MutualReachabilityMST(const double *xs, int32_t n, int32_t d, int32_t min_samples,
                                 double alpha, checked_vector<double> &core,
                                 tie_edges *ties = nullptr, int32_t workers = 1,
                                 checked_vector<int32_t> *order = nullptr,
                                 uint64_t max_ties = UINT64_MAX, const double *given_core = nullptr,
                                 checked_vector<double> *points = nullptr,
                                 const int32_t *given_near = nullptr, int32_t given_k = 0);

#endif
