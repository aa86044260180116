#ifndef QUORL_MODULE_DRIVER_H
#define QUORL_MODULE_DRIVER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "pairs/output.h"
#include "tree/build.h"

struct tree_deleter {
    void operator()(tree_node *root) const { FreeTree(root); }
};
typedef std::unique_ptr<tree_node, tree_deleter> tree_ptr;

// Refuses a call that the decomposition cannot handle, before anything is written to the points.
// Throws std::invalid_argument naming the argument or the point positions at fault (n < 0, n above
// the number of points, d = 0, too few coordinates, a non-finite s or coordinate, a coordinate or
// an extent too large for the arithmetic, two equal points) and std::length_error for d < 0.
void check_quorl_args(int32_t n, int32_t d, double s, const std::vector<point> &points);

// The steps that every decomposition shares: check_quorl_args, then number every record by its
// position, sort the first n points per dimension and build their fair split tree. Null for
// n = 0. Writes only the records' bookkeeping fields; frees everything it made when it throws.
tree_ptr build_quorl_tree(int32_t n, int32_t d, double s, std::vector<point> &points);

// One whole decomposition of the first n points over their first d coordinates: numbers every
// record by its position, sorts one list per dimension, builds the fair split tree, finds the
// well-separated pairs for s and returns them. The tree and all lists are freed before it returns,
// also when it throws. Writes only the records' bookkeeping fields, never their coordinates.
pair_list run_quorl(int32_t n, int32_t d, double s, std::vector<point> &points);

// One pair as two runs of the leaf order: the first side is order[first_start, first_start +
// first_size), the second side likewise.
struct pair_runs {
    int32_t first_start;
    int32_t first_size;
    int32_t second_start;
    int32_t second_size;
};

// The same decomposition without spelling out the lists: `order` holds the positions of the
// first n points in the tree's left-to-right leaf order, and each pair names two runs of it.
// Spelled out, the runs give exactly run_quorl's pair list, pair for pair and index for index,
// at 16 bytes a pair instead of 4 bytes an index entry.
struct compact_pairs {
    std::vector<int32_t> order;
    std::vector<pair_runs> runs;
};
compact_pairs run_quorl_compact(int32_t n, int32_t d, double s, std::vector<point> &points);

#endif
