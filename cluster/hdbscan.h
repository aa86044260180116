#ifndef QUORL_CLUSTER_HDBSCAN_H
#define QUORL_CLUSTER_HDBSCAN_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "tree/flat.h"

// The edges of the minimum spanning tree that Prim's algorithm grows from point 0 over the
// mutual reachability w(a, b) = max(core_a, core_b, sqrt(SquaredLength(x_a, x_b)) / alpha), in the
// order it adds them, each as (the point in the tree, the point it adds), taking at each step
// the least weight, then the smallest point to add, from the first point in the tree that
// reached it: scikit-learn's tree, whose orientation and order its single-linkage hierarchy
// follows. Only the n - 1 edges of `mst` with their weights `mst_w` and the t pairs (a, b) of
// `ties` are looked at, the first `cored` weighing max(core_a, core_b) and pair e >= cored
// tie_w[e - cored] (tie_edges' layout): with
// the tie edges that MutualReachabilityMST finds (every edge that can belong to some minimum
// spanning tree), Prim makes the choices it makes over every pair, since the least weight
// across its cut is always carried by such an edge; with those of tie_edges::linkage_only it
// takes the same points at the same weights, each edge from a point of the same part of the
// tree below its weight, so that the single-linkage rows are the same. `twin`, when not null, links
// each point to the next of its run of equal points (tie_edges::twin): a tie then stands for every
// pair between the two runs, and the points of a run are joined at their core. `order`, when not
// null, is the order of the points MutualReachabilityMST gave, with the ties and twins as
// indices into it (the faster way); otherwise they are input positions. Writes n - 1 pairs of
// input positions to `ends` and weights to `w`. Throws std::bad_alloc, and
// std::invalid_argument when the edges do not span the points.
void PrimOrder(int32_t n, const double *core, const int64_t *mst, const double *mst_w,
               const int32_t *ties, size_t t, size_t cored, const double *tie_w,
               const int32_t *twin, const int32_t *order, int64_t *ends, double *w);

// PrimOrder's result, the same bit for bit, without a heap: from the single-linkage tree of the
// edges with the merges of equal height taken together, each point's place in Prim's order is a
// sum of the sizes of the parts Prim finishes before it, found on `workers` threads; what stays
// on one thread are passes over the tree (the unions in edge order among them). Takes only
// distinct points and ties that weigh their first point's core (core_a >= core_b); requires
// `order` or not as PrimOrder does; throws std::bad_alloc, and std::invalid_argument when the
// edges do not span the points.
struct prim_tree;
void PrimOrderByTree(int32_t n, const double *core, const int64_t *mst, const double *mst_w,
                     const int32_t *ties, size_t t, const int32_t *order, int64_t *ends, double *w,
                     int32_t workers = 1, prim_tree *keep = nullptr);

// What PrimOrderByTree learned of the tree of strict merges, kept (`keep`) for the linkage of
// its order. Vertices are numbered as there; merge node k is made by tree edge k; a child is a
// merge node k >= 0 or ~v, the leaf of vertex v.
struct prim_tree {
    checked_vector<int32_t> rank;   // input position -> vertex (empty: the same)
    checked_vector<int32_t> order;  // vertex -> input position (empty: the same)
    checked_vector<int32_t> entered_at, entered_child;  // per vertex: the node and its child
                                                        // entered at it (-1: the start)
    checked_vector<int32_t> first_child, size;  // per node: the child visited first, the points
    checked_vector<uint8_t> many;               // per node: more than two children
    checked_vector<int32_t> first, kids;        // the children of those, in leaf order
    checked_vector<int32_t> lo, lo_leaf;        // places in that leaf order
};

// The single-linkage matrix that SingleLinkage(n, ends, heights, n - 1, false, z) gives for
// Prim's steps (ends, w as PrimOrderByTree wrote them with `tree` kept) taken in the order
// rows[0..n-1) names them: the same rows bit for bit, each strict node's rows from its own
// children, on `workers` threads. Requires rows to be a permutation of 0..n-2 (throws
// std::invalid_argument otherwise) and `tree` from the same call; throws std::bad_alloc.
void PrimLinkage(const prim_tree &tree, int32_t n, const int64_t *ends, const double *w,
                 const int64_t *rows, double *z, int32_t workers = 1);

// The condensed tree of a single-linkage hierarchy, one row per edge: a cluster (parent), a
// cluster or point under it (child; ids below n are points), the lambda = 1 / height at which the
// child leaves (infinite for height 0) and the child's size. The root cluster is n, new clusters
// are numbered n + 1, n + 2, ... in the order they appear. Rows come breadth first from the root
// of the hierarchy, left before right; when a split leaves a side with fewer than
// min_cluster_size points, that side's points leave the parent one by one, in breadth-first
// order of their subtree.
struct condensed_tree {
    checked_vector<int64_t> parent, child, child_size;
    checked_vector<double> lambda;
    int64_t clusters = 0;  // ids n .. n + clusters - 1
    size_t rows() const { return parent.size(); }
};

// The condensed tree of the n - 1 rows z (SciPy's layout) of n >= 1 points; min_cluster_size
// >= 2. Throws std::bad_alloc, keeping nothing.
condensed_tree CondenseTree(const double *z, int64_t n, int64_t min_cluster_size);

// The flat clustering taken from a condensed tree of n points.
enum selection_method { kExcessOfMass, kLeaf };
struct cluster_selection {
    checked_vector<int64_t> labels;          // per point: its cluster's rank, or -1 for noise
    checked_vector<double> probabilities;    // per point
    checked_vector<int64_t> clusters;        // the selected condensed-tree ids, ascending
    checked_vector<double> persistence;      // per selected cluster
    checked_vector<double> stability;        // per condensed cluster id - n, before selection
};

// Stabilities (sum over the rows of a cluster of (lambda - the cluster's birth lambda) * size,
// in row order), then the selection: excess of mass bottom up (the children win when their
// summed stability exceeds the node's, or the node has more than max_cluster_size points; a
// negative max_cluster_size means no limit), or the leaves of the cluster tree; the root only
// with allow_single_cluster. A positive epsilon replaces each selected cluster born below it
// (1 / lambda < epsilon) by its first ancestor born above it. Labels number the selected
// clusters in id order; probabilities are min(lambda_p, lambda_max) / lambda_max within the
// point's cluster (lambda_max: the largest lambda of the cluster's own rows), 1 where lambda_p
// is infinite or lambda_max is 0. Throws std::bad_alloc, keeping nothing.
cluster_selection SelectClusters(const condensed_tree &tree, int64_t n, selection_method method,
                                 bool allow_single_cluster, double epsilon,
                                 int64_t max_cluster_size);

#endif
