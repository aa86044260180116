#include "neighbors/brute.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "blocks/pairs.h"
#include "common/memory.h"
#include "common/parallel.h"
#include "common/stages.h"

namespace {

// Query rows a task takes: their rows and their neighbour rows stay in cache while the panels
// stream past them.
const int32_t kTaskRows = 64;
// Bytes of panels measured against a task's rows at a time.
const int64_t kTileBytes = 1 << 17;

// Offers position j at squared length s to a row of count <= k entries in the order of
// (s, position). Positions arrive in ascending order, so an entry never precedes an equal one.
inline void Offer(double *sq, int64_t *idx, int32_t &count, int32_t k, double s, int64_t j) {
    if (count == k) {
        if (!(s < sq[k - 1])) return;
        --count;
    }
    int32_t at = count;
    for (; at > 0 && sq[at - 1] > s; --at) {
        sq[at] = sq[at - 1];
        idx[at] = idx[at - 1];
    }
    sq[at] = s;
    idx[at] = j;
    ++count;
}

// Offer for positions in any order: an entry goes before the equal ones of larger position.
inline void OfferAny(double *sq, int64_t *idx, int32_t &count, int32_t k, double s, int64_t j) {
    if (count == k) {
        if (!(s < sq[k - 1] || (s == sq[k - 1] && j < idx[k - 1]))) return;
        --count;
    }
    int32_t at = count;
    for (; at > 0 && (sq[at - 1] > s || (sq[at - 1] == s && idx[at - 1] > j)); --at) {
        sq[at] = sq[at - 1];
        idx[at] = idx[at - 1];
    }
    sq[at] = s;
    idx[at] = j;
    ++count;
}

// The neighbours of every point among the others, each pair measured once for both its
// points (EachPairOfBlocks); the rows come out the same in any order of the offers, since every
// row is the least k of a total order.
void SelfNeighbours(const double *xs, int32_t n, int32_t d, int32_t k, int32_t workers,
                    const point_panels &panels, knn_rows &out) {
    const size_t kk = size_t(k);
    checked_vector<int32_t> count(static_cast<size_t>(n), 0);
    // Each row's k-th squared length so far (infinite while it holds fewer): only a length at
    // most that can enter the row.
    checked_vector<double> kth(static_cast<size_t>(n), std::numeric_limits<double>::infinity());
    auto offer = [&](int32_t row, double s, int64_t j) {
        double *sq = &out.squared[size_t(row) * kk];
        int32_t &c = count[size_t(row)];
        OfferAny(sq, &out.index[size_t(row) * kk], c, k, s, j);
        if (c == k) kth[size_t(row)] = sq[k - 1];
    };
    EachPairOfBlocks(xs, n, d, panels, workers,
                     [&](int32_t q, int32_t c0, int32_t c1, const double *got, bool same) {
                         for (int32_t j = same ? q + 1 : c0; j < c1; ++j) {
                             const double s = got[j - c0];
                             // Most pairs are too far for both rows.
                             if (s > kth[size_t(q)] && s > kth[size_t(j)]) continue;
                             offer(q, s, j);
                             offer(j, s, q);
                         }
                     });
}

}  // namespace

knn_rows BruteNeighbours(const double *xs, int32_t n, int32_t d, const double *qs, int32_t m,
                         int32_t k, int32_t workers, bool roots) {
    knn_rows out;
    const bool self = qs == nullptr;
    if (self) {
        qs = xs;
        m = n;
    }
    if (n < 1 || m < 1 || k < 1) return out;
    point_panels panels;
    FillPanels(xs, n, d, panels, workers);
    StageMark("brute: panels");
    const size_t kk = size_t(k);
    out.index.resize(size_t(m) * kk);
    out.squared.resize(size_t(m) * kk);
    if (self) {
        SelfNeighbours(xs, n, d, k, workers, panels, out);
        if (roots)
            for (double &x : out.squared) x = std::sqrt(x);
        StageMark("brute: neighbours");
        return out;
    }
    const int64_t np = panels.panels();
    const int64_t tile = std::max<int64_t>(1, kTileBytes / (int64_t(d) * kLanes * 8));
    const int64_t tasks = (int64_t(m) + kTaskRows - 1) / kTaskRows;
    const square_kernels &kernels = SquareKernels();
    const int32_t threads = tasks > 1 ? UsableThreads(workers) : 1;
    task_errors errors(static_cast<size_t>(threads));
    std::atomic<int64_t> done{0};
    QUORL_OMP(parallel num_threads(threads) if (threads > 1)) {
        PrepareExceptionStorage();
        const size_t me = size_t(ThreadNumber());
        checked_vector<double> buf;
        errors.Run(me, [&] { buf.resize(size_t(4 * tile * kLanes)); });
        int32_t count[kTaskRows];
        QUORL_OMP(for schedule(dynamic, 1))
        for (int64_t task = 0; task < tasks; ++task) {
            if (buf.empty() || errors.stopped()) continue;
            try {
                const int32_t r0 = int32_t(task * kTaskRows),
                              r1 = int32_t(std::min<int64_t>(m, r0 + int64_t(kTaskRows)));
                std::fill(count, count + (r1 - r0), 0);
                for (int64_t p0 = 0; p0 < np; p0 += tile) {
                    ThrowIfStopped();
                    const int64_t tp = std::min(tile, np - p0), stride = tp * kLanes;
                    const int64_t last = std::min<int64_t>(stride, int64_t(n) - p0 * kLanes);
                    for (int32_t g = r0; g < r1; g += 4) {
                        const double *rows[4];
                        for (int32_t r = 0; r < 4; ++r)
                            rows[r] = qs + size_t(std::min(g + r, r1 - 1)) * size_t(d);
                        kernels.four(rows, panels.panel(p0), tp, d, buf.data(), stride);
                        for (int32_t r = 0; r < 4 && g + r < r1; ++r) {
                            const int32_t q = g + r;
                            double *sq = &out.squared[size_t(q) * kk];
                            int64_t *idx = &out.index[size_t(q) * kk];
                            int32_t &c = count[q - r0];
                            const double *got = buf.data() + r * stride;
                            for (int64_t j = 0; j < last; ++j) {
                                const double s = got[j];
                                if (c == k && !(s < sq[k - 1])) continue;
                                Offer(sq, idx, c, k, s, p0 * kLanes + j);
                            }
                        }
                    }
                }
                if (roots)
                    for (size_t e = size_t(r0) * kk; e < size_t(r1) * kk; ++e)
                        out.squared[e] = std::sqrt(out.squared[e]);
                const int64_t finished = done.fetch_add(1, std::memory_order_relaxed) + 1;
                Progress(double(finished) / double(tasks));
            } catch (...) {
                errors.Keep(me);
            }
        }
    }
    errors.Rethrow();
    StageMark("brute: neighbours");
    return out;
}
