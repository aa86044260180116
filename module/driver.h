#ifndef QUORL_MODULE_DRIVER_H
#define QUORL_MODULE_DRIVER_H

#include <cstdint>
#include <vector>

#include "pairs/node_pairs.h"
#include "pairs/output.h"
#include "tree/flat.h"

// Refuses a call that the decomposition cannot handle, before anything is written to the points.
// Throws std::invalid_argument naming the argument or the point positions at fault (n < 0, n above
// the number of points, d = 0, too few coordinates, a non-finite s or coordinate, a coordinate or
// an extent too large for the arithmetic, two equal points) and std::length_error for d < 0.
void check_quorl_args(int32_t n, int32_t d, double s, const std::vector<point> &points);

// The checks of check_quorl_array that concern the points alone (d, non-finite or too large
// coordinates, an extent that overflows), with the same messages; equal points pass. Points that
// pass are scanned on `workers` threads.
void check_points_array(int32_t n, int32_t d, const double *xs, int32_t workers = 1);

// The coordinate checks of check_points_array for n rows of d >= 1 coordinates held apart from
// the others, the first of them at `first`: the messages name the position first + i. Writes
// each coordinate's least and greatest value to lo[0..d) and hi[0..d) (untouched for n = 0).
void check_point_rows(int64_t n, int32_t d, const double *xs, int64_t first, double *lo,
                      double *hi);

// The extent check of check_points_array on the per-coordinate bounds lo, hi of all the points.
void check_spread(int32_t d, const double *lo, const double *hi);

// Refuses m query points qs[j*d .. j*d + d) to be searched among the n >= 1 points xs that passed
// check_points_array: throws std::invalid_argument naming the first query row with a non-finite
// or too large coordinate, or so far from the points that a squared length could overflow.
void check_query_array(int32_t n, int32_t d, const double *xs, int32_t m, const double *qs);

// One whole decomposition of the first n points over their first d coordinates: numbers every
// record by its position, sorts one list per dimension, builds the fair split tree, finds the
// well-separated pairs for s and returns them. The tree and all lists are freed before it returns,
// also when it throws. Writes only the records' bookkeeping fields, never their coordinates.
pair_list run_quorl(int32_t n, int32_t d, double s, std::vector<point> &points);

// The decomposition in compact form: the flat fair split tree and the well-separated pairs as
// node ids, first side then second, in exactly the order of run_quorl's pair list. Pair p
// spelled out is (order[start[a], start[a] + size[a]), order[start[b], start[b] + size[b]))
// with a, b its two ids: run_quorl's pair p, index for index, at 8 bytes a pair instead of 4
// bytes an index entry.
struct compact_pairs {
    flat_tree tree;
    node_pair_buffer pairs;
};

// The same checks as check_quorl_args, with the same messages, for n rows of d coordinates in a
// row-major array (no row can be short).
void check_quorl_array(int32_t n, int32_t d, double s, const double *xs);

// How much a decomposition may hold, and on how many threads it runs. The pairs are refused
// (pair_limit_error, a std::bad_alloc) as soon as there are more than max_pairs of them (< 0: no
// such limit), and with memory_guard also once they would take more than the memory available
// when the call began (AvailableMemory), less what the tree holds, at 16 bytes a pair: 8 for the
// pair, 8 more while the pairs are gathered (a block copied as it grows, the threads' blocks
// joined into one). The result, and whether the call is refused, is the same for every number of
// workers.
struct decompose_options {
    int64_t max_pairs = -1;
    bool memory_guard = true;
    int32_t workers = 1;
};

// The decomposition of the first n points over their first d coordinates in compact form: the
// same checks, the same tree (built from arrays, see BuildFlatTree) and the same search as
// run_quorl. Leaves the point records as they are.
compact_pairs run_quorl_compact(int32_t n, int32_t d, double s, const std::vector<point> &points,
                                const decompose_options &options = decompose_options());

// The same from n rows of d coordinates in a row-major array. Touches no Python object, so it may
// run with the interpreter lock released.
compact_pairs decompose_array(int32_t n, int32_t d, double s, const double *xs,
                              const decompose_options &options = decompose_options());

#endif
