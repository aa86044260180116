#ifndef QUORL_MODULE_DRIVER_H
#define QUORL_MODULE_DRIVER_H

#include <cstdint>
#include <vector>

#include "pairs/output.h"

// Refuses a call that the decomposition cannot handle, before anything is written to the points.
// Throws std::invalid_argument naming the argument or the point positions at fault (n < 0, n above
// the number of points, d = 0, too few coordinates, a non-finite s or coordinate, a coordinate or
// an extent too large for the arithmetic, two equal points) and std::length_error for d < 0.
void check_quorl_args(int32_t n, int32_t d, double s, const std::vector<point> &points);

// One whole decomposition of the first n points over their first d coordinates: numbers every
// record by its position, sorts one list per dimension, builds the fair split tree, finds the
// well-separated pairs for s and returns them. The tree and all lists are freed before it returns,
// also when it throws. Writes only the records' bookkeeping fields, never their coordinates.
pair_list run_quorl(int32_t n, int32_t d, double s, std::vector<point> &points);

#endif
