#ifndef QUORL_TREE_FLAT_H
#define QUORL_TREE_FLAT_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "common/alloc.h"

// Thrown by BuildFlatTree when a set of points admits no cut, which happens exactly when two of
// them are equal: equal points go to the same side of every cut until they are alone together.
struct no_cut_error : std::logic_error {
    using std::logic_error::logic_error;
};

// The fair split tree of BuildTree, node for node and bit for bit, held in arrays instead of
// linked records. Nodes are numbered in pre-order (node 0 is the root); the left child of an
// internal node i is i + 1 and its right child is i + 2 * size[i + 1]. The points under node i are
// order[start[i], start[i] + size[i]), in the tree's left-to-right leaf order; a node of size 1 is
// the leaf of point order[start[i]].
struct flat_tree {
    int32_t n = 0;
    int32_t d = 0;
    checked_vector<int32_t> order;  // n point positions
    checked_vector<int32_t> start;  // 2n - 1 entries
    checked_vector<int32_t> size;   // 2n - 1 entries
    // Per node, side by side since the pair search reads them together: the d coordinates of
    // the center of the node's bounding box, then its radius (half the box's diagonal).
    checked_vector<double> box;  // (2n - 1) * (d + 1)

    double *center(size_t node) { return &box[node * (size_t(d) + 1)]; }
    const double *center(size_t node) const { return &box[node * (size_t(d) + 1)]; }
    double &radius(size_t node) { return box[node * (size_t(d) + 1) + size_t(d)]; }
    double radius(size_t node) const { return box[node * (size_t(d) + 1) + size_t(d)]; }

    int32_t nodes() const { return n > 0 ? 2 * n - 1 : 0; }
};

// The fair split tree of the n points xs[i*d .. i*d + d) (i = 0..n-1, position i), as BuildTree
// builds it from the sorted lists of the same points: the same nodes with the same sizes, centers
// and radii, the same cuts, the same children on each side. The tree depends on the point set
// only, not on the order in which equal coordinates are sorted or on how the points are moved
// around while it is built. Tasks split their points by passes over plain arrays; a chain of cuts
// that has passed over more than sort_after times its task's points (0: from the start) builds
// the rest of its subtree from lists sorted once per dimension, which keeps the whole build
// O(n log n). Requires n >= 0, d >= 1 and finite coordinates (check_quorl_args); throws
// no_cut_error when two points are equal in all d coordinates, and std::bad_alloc when memory
// runs out, having kept nothing either way. With workers > 1 the top of the tree is built on the
// calling thread and the subtrees below it on that many OpenMP threads: the same tree. Without
// `boxes`, box is left empty (for callers that bound their nodes otherwise), which saves
// (2n - 1)(d + 1) doubles.
flat_tree BuildFlatTree(const double *xs, int32_t n, int32_t d, double sort_after = 8.0,
                        int32_t workers = 1, bool boxes = true);

#endif
