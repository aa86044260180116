#ifndef QUORL_BLOCKS_PAIRS_H
#define QUORL_BLOCKS_PAIRS_H

#include <algorithm>
#include <cstdint>

#include "blocks/panels.h"
#include "common/memory.h"
#include "common/parallel.h"

// Points a block holds when blocks are met in pairs: their rows and what is kept for them stay
// in cache while a pair is measured.
constexpr int32_t kBlockPoints = 64;

// Measures every pair of the n points xs[i*d .. i*d + d) once (panels: the same points), a block
// of kBlockPoints points against another: body(q, c0, c1, got, same) gets, for point q of block
// a, the squared lengths got[j - c0] to the points j of block b (c0 <= j < c1), a <= b; when
// same (a = b) only the points j > q are its pairs. Each round of the circle method pairs every
// block with at most one other, so what a body writes for the points of its two blocks is its
// own while the round's pairs run on `workers` threads; a body that writes only there gets the
// same result on any number of threads, if its writes do not depend on their order. The first
// exception ends the rounds and is rethrown; so does a stop request. Progress goes from 0 to 1.
template <typename Body>
void EachPairOfBlocks(const double *xs, int32_t n, int32_t d, const point_panels &panels,
                      int32_t workers, const Body &body) {
    const int64_t blocks = (int64_t(n) + kBlockPoints - 1) / kBlockPoints;
    // The circle method on an even number of seats, the last one empty when blocks is odd;
    // round 0 pairs each block with itself.
    const int64_t seats = blocks + (blocks & 1);
    const square_kernels &kernels = SquareKernels();
    const int32_t threads = blocks >= 4 ? UsableThreads(workers) : 1;
    task_errors errors(static_cast<size_t>(threads));
    QUORL_OMP(parallel num_threads(threads) if (threads > 1)) {
        PrepareExceptionStorage();
        const size_t me = size_t(ThreadNumber());
        checked_vector<double> buf;
        errors.Run(me, [&] { buf.resize(size_t(4 * kBlockPoints)); });
        for (int64_t round = 0; round < seats; ++round) {
            const int64_t pairs = round == 0 ? blocks : seats / 2;
            QUORL_OMP(for schedule(dynamic, 1))
            for (int64_t t = 0; t < pairs; ++t) {
                if (buf.empty() || errors.stopped()) continue;
                int64_t a = t, b = t;
                if (round > 0) {
                    // Seat 0 stays; the others turn by one each round.
                    auto block = [&](int64_t seat) {
                        return seat == 0 ? 0 : 1 + (seat - 1 + round - 1) % (seats - 1);
                    };
                    a = block(t);
                    b = block(seats - 1 - t);
                    if (a > b) std::swap(a, b);
                    if (b >= blocks) continue;  // the empty seat
                }
                try {
                    ThrowIfStopped();
                    const int32_t r0 = int32_t(a * kBlockPoints),
                                  r1 = int32_t(std::min<int64_t>(n, r0 + int64_t(kBlockPoints)));
                    const int32_t c0 = int32_t(b * kBlockPoints),
                                  c1 = int32_t(std::min<int64_t>(n, c0 + int64_t(kBlockPoints)));
                    const int64_t tp = (c1 - c0 + kLanes - 1) / kLanes, stride = tp * kLanes;
                    for (int32_t g = r0; g < r1; g += 4) {
                        const double *rows[4];
                        for (int32_t r = 0; r < 4; ++r)
                            rows[r] = xs + size_t(std::min(g + r, r1 - 1)) * size_t(d);
                        kernels.four(rows, panels.panel(c0 / kLanes), tp, d, buf.data(), stride);
                        for (int32_t r = 0; r < 4 && g + r < r1; ++r)
                            body(g + r, c0, c1, buf.data() + r * stride, a == b);
                    }
                } catch (...) {
                    errors.Keep(me);
                }
            }
            if (me == 0) Progress(double(round + 1) / double(seats));
        }
    }
    errors.Rethrow();
}

#endif
