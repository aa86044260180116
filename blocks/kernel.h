#ifndef QUORL_BLOCKS_KERNEL_H
#define QUORL_BLOCKS_KERNEL_H

#include <cstdint>

// Squared lengths of many pairs at once, each exactly as SquaredLength computes it (the squares
// of the differences summed for k = 0..d-1 in order from 0.0): the lanes of a vector register
// hold different pairs, never different coordinates of one pair, so every sum is rounded as the
// scalar loop rounds it, on every instruction set.
//
// The second side comes in panels of kLanes points: panel p holds coordinate k of its points
// j = 0..kLanes-1 at panels[(p * d + k) * kLanes + j].
constexpr int32_t kLanes = 8;

struct square_kernels {
    // out[r * stride + p * kLanes + j] = the squared length of rows[r] (d coordinates) and point j
    // of panel p, for r < 4 and p < np; the four rows may repeat.
    void (*four)(const double *const rows[4], const double *panels, int64_t np, int32_t d,
                 double *out, int64_t stride);
    // out[p * kLanes + j] for one row. A panel whose every lane has passed bound[p * kLanes + j]
    // part way through the sum is left there: its lanes get a partial sum greater than their
    // bound (a sum of squares only grows) instead of the whole one. Lanes that end at or below
    // their bound always get the whole sum. bound may be null (no panel is left).
    void (*one)(const double *row, const double *panels, int64_t np, int32_t d, const double *bound,
                double *out);
};

// The kernels for this processor (AVX2 where it has it), chosen once.
const square_kernels &SquareKernels();
// Each instruction set's kernels, for the tests that compare them; Avx2SquareKernels() is null
// where the processor lacks AVX2.
const square_kernels &PlainSquareKernels();
const square_kernels *Avx2SquareKernels();

#endif
