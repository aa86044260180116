#include "mst/dense.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "blocks/panels.h"
#include "common/memory.h"
#include "common/parallel.h"
#include "common/stages.h"

namespace {

// A candidate edge of the point in slot `slot`: its key (squared length, i, j), i < j.
struct candidate {
    double sq;
    int32_t i, j;
    int64_t slot;
    bool operator<(const candidate &o) const {
        if (sq != o.sq) return sq < o.sq;
        if (i != o.i) return i < o.i;
        return j < o.j;
    }
};

const candidate kNone{std::numeric_limits<double>::infinity(), INT32_MAX, INT32_MAX, -1};

// Points per thread below which a step is not worth splitting.
const int64_t kLeastShare = 1 << 14;

}  // namespace

emst_edges DenseEuclideanMST(const double *xs, int32_t n, int32_t d, int32_t workers) {
    emst_edges out;
    if (n < 2) return out;
    // Slot s holds a point outside the tree: its panel lane, input position, and its best edge
    // into the tree so far (key, the tree's end). The slots outside stay a prefix: a point that
    // joins gives its slot to the last one.
    point_panels panels;
    FillPanels(xs, n, d, panels, workers);
    const int64_t lanes = panels.panels() * kLanes;
    checked_vector<int32_t> id(static_cast<size_t>(n)), from(static_cast<size_t>(n), -1);
    checked_vector<double> key(size_t(lanes), -std::numeric_limits<double>::infinity());
    checked_vector<double> got(static_cast<size_t>(lanes));
    std::iota(id.begin(), id.end(), 0);
    std::fill(key.begin(), key.begin() + n, std::numeric_limits<double>::infinity());
    checked_vector<int32_t> ends(2 * size_t(n - 1));
    checked_vector<double> squared(size_t(n - 1));
    StageMark("dense: panels");

    const int32_t threads =
        int64_t(n) * d >= 2 * kLeastShare ? std::max(1, UsableThreads(workers)) : 1;
    checked_vector<candidate> best(size_t(threads), kNone);
    const square_kernels &kernels = SquareKernels();
    int64_t alive = n;
    int32_t v = 0;
    bool stopped = false;
    // Point 0 joins first: its slot takes the last point's.
    auto leave = [&](int64_t s) {
        const int64_t last = alive - 1;
        if (s != last) {
            double *to = panels.panel(s / kLanes) + s % kLanes;
            const double *at = panels.panel(last / kLanes) + last % kLanes;
            for (int32_t k = 0; k < d; ++k) to[k * kLanes] = at[k * kLanes];
            id[size_t(s)] = id[size_t(last)];
            key[size_t(s)] = key[size_t(last)];
            from[size_t(s)] = from[size_t(last)];
        }
        key[size_t(last)] = -std::numeric_limits<double>::infinity();
        alive = last;
    };
    leave(0);
    QUORL_OMP(parallel num_threads(threads) if (threads > 1)) {
        const int32_t me = ThreadNumber();
        for (int32_t step = 0; step < n - 1; ++step) {
            // This thread's panels of those that hold points outside.
            const int64_t np = (alive + kLanes - 1) / kLanes;
            const int64_t p0 = np * me / threads, p1 = np * (me + 1) / threads;
            const double *row = xs + size_t(v) * size_t(d);
            kernels.one(row, panels.panel(p0), p1 - p0, d, key.data() + p0 * kLanes,
                        got.data() + p0 * kLanes);
            candidate mine = kNone;
            for (int64_t s = p0 * kLanes; s < std::min(alive, p1 * kLanes); ++s) {
                const int32_t u = id[size_t(s)];
                const double sq = got[size_t(s)];
                if (sq <= key[size_t(s)]) {
                    const int32_t f = from[size_t(s)];
                    if (sq < key[size_t(s)] || std::min(u, v) < std::min(u, f) ||
                        (std::min(u, v) == std::min(u, f) && std::max(u, v) < std::max(u, f))) {
                        key[size_t(s)] = sq;
                        from[size_t(s)] = v;
                    }
                }
                const int32_t f = from[size_t(s)];
                const candidate c{key[size_t(s)], std::min(u, f), std::max(u, f), s};
                if (c < mine) mine = c;
            }
            best[size_t(me)] = mine;
            QUORL_OMP(barrier)
            if (me == 0) {
                candidate b = best[0];
                for (int32_t t = 1; t < threads; ++t)
                    if (best[size_t(t)] < b) b = best[size_t(t)];
                ends[2 * size_t(step)] = b.i;
                ends[2 * size_t(step) + 1] = b.j;
                squared[size_t(step)] = b.sq;
                v = id[size_t(b.slot)];
                leave(b.slot);
                stopped = StopRequested();
                if ((step & 255) == 0)
                    Progress(1.0 - double(alive) * double(alive) / (double(n) * double(n)));
            }
            QUORL_OMP(barrier)
            if (stopped) break;
        }
    }
    if (stopped) throw interrupted();
    StageMark("dense: prim");
    // In the order of the key, as every tree is given.
    checked_vector<int32_t> order(size_t(n - 1));
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
        const candidate x{squared[size_t(a)], ends[2 * size_t(a)], ends[2 * size_t(a) + 1], 0},
            y{squared[size_t(b)], ends[2 * size_t(b)], ends[2 * size_t(b) + 1], 0};
        return x < y;
    });
    out.ends.resize(2 * size_t(n - 1));
    out.squared.resize(size_t(n - 1));
    out.lengths.resize(size_t(n - 1));
    for (size_t e = 0; e < size_t(n - 1); ++e) {
        const size_t o = size_t(order[e]);
        out.ends[2 * e] = ends[2 * o];
        out.ends[2 * e + 1] = ends[2 * o + 1];
        out.squared[e] = squared[o];
        out.lengths[e] = std::sqrt(squared[o]);
    }
    StageMark("dense: order");
    return out;
}
