#ifndef QUORL_BLOCKS_PAIRS_H
#define QUORL_BLOCKS_PAIRS_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "blocks/panels.h"
#include "common/memory.h"
#include "common/parallel.h"

// Points a block holds when blocks are met in pairs: their rows and what is kept for them stay
// in cache while a pair is measured.
constexpr int32_t kBlockPoints = 64;

// Measures every pair of the n points xs[i*d .. i*d + d) once (panels: the same points), a block
// of kBlockPoints points against another: body(q, c0, c1, got, same) gets, for point q of block
// a, the squared lengths got[j - c0] to the points j of block b (c0 <= j < c1), a <= b; when
// same (a = b) only the points j > q are its pairs. A body may write what belongs to the points
// of its two blocks: each pair of blocks holds their two locks while it runs, on `workers`
// threads, so a body whose writes do not depend on their order (counts, the least k of a total
// order, unions) gives the same result on any number of threads. The pairs are taken in the
// rounds of the circle method, in which no two pairs share a block, so that threads seldom wait
// for a lock, and never for a whole round. The first exception ends the loop and is rethrown; so
// does a stop request. Progress goes from 0 to 1.
template <typename Body>
void EachPairOfBlocks(const double *xs, int32_t n, int32_t d, const point_panels &panels,
                      int32_t workers, const Body &body) {
    const int64_t blocks = (int64_t(n) + kBlockPoints - 1) / kBlockPoints;
    // The circle method on an even number of seats, the last one empty when blocks is odd:
    // first each block with itself, then seats - 1 rounds of seats / 2 pairs.
    const int64_t seats = blocks + (blocks & 1), per_round = seats / 2;
    const int64_t tasks = blocks + (seats - 1) * per_round;
    const square_kernels &kernels = SquareKernels();
    const int32_t threads = blocks >= 4 ? UsableThreads(workers) : 1;
    std::unique_ptr<std::mutex[]> locks(threads > 1 ? new std::mutex[size_t(blocks)] : nullptr);
    task_errors errors(static_cast<size_t>(threads));
    std::atomic<int64_t> done{0};
    QUORL_OMP(parallel num_threads(threads) if (threads > 1)) {
        PrepareExceptionStorage();
        const size_t me = size_t(ThreadNumber());
        checked_vector<double> buf;
        errors.Run(me, [&] { buf.resize(size_t(4 * kBlockPoints)); });
        QUORL_OMP(for schedule(dynamic, 1))
        for (int64_t task = 0; task < tasks; ++task) {
            if (buf.empty() || errors.stopped()) continue;
            int64_t a = task, b = task;
            if (task >= blocks) {
                const int64_t round = 1 + (task - blocks) / per_round,
                              t = (task - blocks) % per_round;
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
                std::unique_lock<std::mutex> first, second;
                if (locks) {
                    first = std::unique_lock<std::mutex>(locks[size_t(a)]);
                    if (b != a) second = std::unique_lock<std::mutex>(locks[size_t(b)]);
                }
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
                const int64_t finished = done.fetch_add(1, std::memory_order_relaxed) + 1;
                if ((finished & 255) == 0) Progress(double(finished) / double(tasks));
            } catch (...) {
                errors.Keep(me);
            }
        }
    }
    errors.Rethrow();
}

#endif
