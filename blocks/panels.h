#ifndef QUORL_BLOCKS_PANELS_H
#define QUORL_BLOCKS_PANELS_H

#include <cstdint>

#include "blocks/kernel.h"
#include "common/alloc.h"

// Points laid out for the kernels: panel p holds points p * kLanes .. p * kLanes + kLanes - 1,
// coordinate k of point j at v[(p * d + k) * kLanes + j]. The lanes past the last point repeat
// it, so that every lane holds finite numbers.
struct point_panels {
    int32_t n = 0, d = 0;
    checked_vector<double> v;
    int64_t panels() const { return (int64_t(n) + kLanes - 1) / kLanes; }
    const double *panel(int64_t p) const { return v.data() + p * int64_t(d) * kLanes; }
    double *panel(int64_t p) { return v.data() + p * int64_t(d) * kLanes; }
};

// The panels of the n points xs[i*d .. i*d + d), n >= 1, filled on `workers` threads. Throws
// std::bad_alloc, keeping nothing.
void FillPanels(const double *xs, int32_t n, int32_t d, point_panels &out, int32_t workers = 1);

#endif
