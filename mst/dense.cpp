#include "mst/dense.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "blocks/pairs.h"
#include "common/memory.h"
#include "common/parallel.h"
#include "common/stages.h"
#include "neighbors/brute.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();

// Points per thread below which a step is not worth splitting.
const int64_t kLeastShare = 1 << 14;

// A point outside the tree with its best edge into it: weight, the tree's end, the point.
struct reach {
    double w;
    int32_t from, u;
    int64_t slot;
};

// The key (w, i, j), i < j, in which a minimum spanning tree is unique.
bool KeyBefore(double wa, int32_t fa, int32_t ua, double wb, int32_t fb, int32_t ub) {
    if (wa != wb) return wa < wb;
    const int32_t ia = std::min(fa, ua), ib = std::min(fb, ub);
    if (ia != ib) return ia < ib;
    return std::max(fa, ua) < std::max(fb, ub);
}

// Squared lengths as they are: the tree under the key.
struct euclidean_rule {
    double Weigh(int32_t, int32_t, double sq) const { return sq; }
    double Bound(double w) const { return w; }
    bool Replaces(double w, int32_t v, double key, int32_t from, int32_t u) const {
        return w <= key && KeyBefore(w, v, u, key, from, u);
    }
    bool Before(const reach &a, const reach &b) const {
        return KeyBefore(a.w, a.from, a.u, b.w, b.from, b.u);
    }
};

// The mutual reachability max(core_a, core_b, sqrt(sq) / alpha), as the tree search weighs it.
struct reachability_rule {
    const double *core;
    double alpha;
    double Weigh(int32_t v, int32_t u, double sq) const {
        return std::max(std::max(core[v], core[u]), std::sqrt(sq) / alpha);
    }
    // A squared length beyond which the weight exceeds w: sqrt and the division round
    // monotonically, and the margin covers their roundings and underflow near 0.
    double Bound(double w) const {
        if (w == kInf) return kInf;
        const double t = (w + 1e-323) * alpha * (1.0 + 1e-12);
        return t * t * (1.0 + 1e-12);
    }
};

struct reachability_key_rule : reachability_rule {
    bool Replaces(double w, int32_t v, double key, int32_t from, int32_t u) const {
        return w <= key && KeyBefore(w, v, u, key, from, u);
    }
    bool Before(const reach &a, const reach &b) const {
        return KeyBefore(a.w, a.from, a.u, b.w, b.from, b.u);
    }
};

// scikit-learn's steps: the least weight, then the smallest point; a point keeps the first
// tree point that reached its weight.
struct scikit_rule : reachability_rule {
    bool Replaces(double w, int32_t, double key, int32_t, int32_t) const { return w < key; }
    bool Before(const reach &a, const reach &b) const {
        return a.w < b.w || (a.w == b.w && a.u < b.u);
    }
};

// Prim's algorithm from point 0 over every pair under `rule`: step s adds the edge
// (from[s], to[s]) of weight w[s] and squared length sq[s] (when not null). Each step measures
// the point just added against every point outside in blocks, split among `threads`.
// With `matrix` (n x n squared lengths) the lengths are read from it instead of measured.
template <typename Rule>
void DensePrim(const double *xs, int32_t n, int32_t d, int32_t workers, const Rule &rule,
               int32_t *from_out, int32_t *to_out, double *w_out, double *sq_out,
               const double *matrix = nullptr) {
    // Slot s holds a point outside the tree: its panel lane, input position, and its best edge
    // into the tree so far (weight, squared length, the tree's end) with the squared length
    // beyond which no pair can improve it. The slots outside stay a prefix: a point that joins
    // gives its slot to the last one.
    point_panels panels;
    if (!matrix) FillPanels(xs, n, d, panels, workers);
    const size_t lanes = size_t((int64_t(n) + kLanes - 1) / kLanes * kLanes);
    checked_vector<int32_t> id(static_cast<size_t>(n)), from(static_cast<size_t>(n), -1);
    checked_vector<double> key(lanes, kInf), sq(lanes, kInf), got(lanes);
    // Past the last point, bounds every lane passes, so that they never keep a panel going.
    checked_vector<double> bound(lanes, -kInf);
    std::fill(bound.begin(), bound.begin() + n, kInf);
    std::iota(id.begin(), id.end(), 0);

    const int32_t threads =
        int64_t(n) * d >= 2 * kLeastShare ? std::max(1, UsableThreads(workers)) : 1;
    const reach none{kInf, INT32_MAX, INT32_MAX, -1};
    checked_vector<reach> best(size_t(threads), none);
    const square_kernels &kernels = SquareKernels();
    int64_t alive = n;
    int32_t v = 0;
    bool stopped = false;
    auto leave = [&](int64_t s) {
        const int64_t last = alive - 1;
        if (s != last) {
            if (!matrix) {
                double *to = panels.panel(s / kLanes) + s % kLanes;
                const double *at = panels.panel(last / kLanes) + last % kLanes;
                for (int32_t k = 0; k < d; ++k) to[k * kLanes] = at[k * kLanes];
            }
            id[size_t(s)] = id[size_t(last)];
            key[size_t(s)] = key[size_t(last)];
            sq[size_t(s)] = sq[size_t(last)];
            from[size_t(s)] = from[size_t(last)];
            bound[size_t(s)] = bound[size_t(last)];
        }
        bound[size_t(last)] = -kInf;
        alive = last;
    };
    leave(0);  // point 0 starts the tree
    QUORL_OMP(parallel num_threads(threads) if (threads > 1)) {
        const int32_t me = ThreadNumber();
        for (int32_t step = 0; step < n - 1; ++step) {
            // This thread's panels of those that hold points outside.
            const int64_t np = (alive + kLanes - 1) / kLanes;
            const int64_t p0 = np * me / threads, p1 = np * (me + 1) / threads;
            const double *row = xs + size_t(v) * size_t(d);
            if (matrix) {
                const double *from_v = matrix + size_t(v) * size_t(n);
                for (int64_t s = p0 * kLanes; s < std::min(alive, p1 * kLanes); ++s)
                    got[size_t(s)] = from_v[size_t(id[size_t(s)])];
            } else {
                kernels.one(row, panels.panel(p0), p1 - p0, d, bound.data() + p0 * kLanes,
                            got.data() + p0 * kLanes);
            }
            reach mine = none;
            for (int64_t s = p0 * kLanes; s < std::min(alive, p1 * kLanes); ++s) {
                const size_t at = size_t(s);
                const int32_t u = id[at];
                if (got[at] <= bound[at]) {
                    const double w = rule.Weigh(v, u, got[at]);
                    if (rule.Replaces(w, v, key[at], from[at], u)) {
                        key[at] = w;
                        sq[at] = got[at];
                        from[at] = v;
                        bound[at] = rule.Bound(w);
                    }
                }
                if (key[at] <= mine.w) {
                    const reach c{key[at], from[at], u, s};
                    if (rule.Before(c, mine)) mine = c;
                }
            }
            best[size_t(me)] = mine;
            QUORL_OMP(barrier)
            if (me == 0) {
                reach b = best[0];
                for (int32_t t = 1; t < threads; ++t)
                    if (rule.Before(best[size_t(t)], b)) b = best[size_t(t)];
                from_out[step] = b.from;
                to_out[step] = b.u;
                w_out[step] = b.w;
                if (sq_out) sq_out[step] = sq[size_t(b.slot)];
                v = b.u;
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
}

// Prim's edges as a tree in the order of the key (w, i, j), lengths `lengths` (w, or the square
// root of the squared length when `roots`).
emst_edges InKeyOrder(const checked_vector<int32_t> &a, const checked_vector<int32_t> &b,
                      const checked_vector<double> &w, const checked_vector<double> &sq,
                      bool roots) {
    const size_t m = w.size();
    checked_vector<int32_t> order(m);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int32_t x, int32_t y) {
        return KeyBefore(w[size_t(x)], a[size_t(x)], b[size_t(x)], w[size_t(y)], a[size_t(y)],
                         b[size_t(y)]);
    });
    emst_edges out;
    out.ends.resize(2 * m);
    out.squared.resize(m);
    out.lengths.resize(m);
    for (size_t e = 0; e < m; ++e) {
        const size_t o = size_t(order[e]);
        out.ends[2 * e] = std::min(a[o], b[o]);
        out.ends[2 * e + 1] = std::max(a[o], b[o]);
        out.squared[e] = sq[o];
        out.lengths[e] = roots ? std::sqrt(sq[o]) : w[o];
    }
    return out;
}

// Inputs whose squared lengths, all n^2 of them, fit in this many bytes are measured once into a
// matrix that both of HDBSCAN's passes of Prim then read, a row a step from cache, where
// measuring every step streams all the points.
const size_t kMatrixBytes = size_t(64) << 20;

// The n x n squared lengths, in pages of their own (huge ones where the system gives them: the
// matrix is filled once, and faults on small pages would cost as much as the lengths).
struct squares_matrix {
    double *m = nullptr;
    size_t bytes = 0;
    squares_matrix() = default;
    squares_matrix(const squares_matrix &) = delete;
    squares_matrix &operator=(const squares_matrix &) = delete;
    ~squares_matrix() { FreePages(m, bytes); }
};

// The matrix of the n points, and with k >= 1 the square root of each row's k-th least length
// but its own 0 in core[] (its core distance), found in the same pass.
void FillSquaresMatrix(const double *xs, int32_t n, int32_t d, int32_t k, int32_t workers,
                       squares_matrix &out, double *core) {
    const size_t nn = size_t(n), kk = size_t(std::max(k, 0));
    out.bytes = nn * nn * sizeof(double);
    out.m = static_cast<double *>(CheckedPages(out.bytes));
    madvise(out.m, out.bytes, MADV_HUGEPAGE);  // a hint: without it, small pages
    double *m = out.m;
    point_panels panels;
    FillPanels(xs, n, d, panels, workers);
    // Each row's k least lengths so far, in order (infinite where not yet found).
    checked_vector<double> least(nn * kk, kInf);
    auto offer = [&](int32_t row, double s) {
        double *at = &least[size_t(row) * kk];
        if (!(s < at[kk - 1])) return;
        size_t i = kk - 1;
        for (; i > 0 && at[i - 1] > s; --i) at[i] = at[i - 1];
        at[i] = s;
    };
    for (size_t i = 0; i < nn; ++i) m[i * nn + i] = 0.0;
    EachPairOfBlocks(xs, n, d, panels, workers,
                     [&](int32_t q, int32_t c0, int32_t c1, const double *got, bool same) {
                         for (int32_t j = same ? q + 1 : c0; j < c1; ++j) {
                             const double s = got[j - c0];
                             m[size_t(q) * nn + size_t(j)] = s;
                             m[size_t(j) * nn + size_t(q)] = s;
                             if (kk > 0) {
                                 offer(q, s);
                                 offer(j, s);
                             }
                         }
                     });
    if (kk > 0)
        for (size_t i = 0; i < nn; ++i) core[i] = std::sqrt(least[i * kk + kk - 1]);
    StageMark("dense: matrix");
}

}  // namespace

emst_edges DenseEuclideanMST(const double *xs, int32_t n, int32_t d, int32_t workers) {
    if (n < 2) return emst_edges();
    const size_t m = size_t(n - 1);
    checked_vector<int32_t> a(m), b(m);
    checked_vector<double> w(m), sq(m);
    DensePrim(xs, n, d, workers, euclidean_rule(), a.data(), b.data(), w.data(), sq.data());
    StageMark("dense: prim");
    emst_edges out = InKeyOrder(a, b, w, sq, true);
    StageMark("dense: order");
    return out;
}

void DenseReachability(const double *xs, int32_t n, int32_t d, int32_t min_samples, double alpha,
                       int32_t workers, checked_vector<double> &core, emst_edges &tree,
                       int64_t *prim_ends, double *prim_w) {
    core.assign(size_t(n), 0.0);
    squares_matrix matrix;
    const int32_t k = n >= 2 ? std::min(min_samples - 1, n - 1) : 0;
    if (size_t(n) * size_t(n) * sizeof(double) <= kMatrixBytes && n >= 2) {
        FillSquaresMatrix(xs, n, d, k, workers, matrix, core.data());
    } else if (k >= 1) {
        const knn_rows near = BruteNeighbours(xs, n, d, nullptr, 0, k, workers, true);
        for (size_t i = 0; i < size_t(n); ++i)
            core[i] = near.squared[i * size_t(k) + size_t(k - 1)];
    }
    StageMark("dense: cores");
    if (n < 2) {
        tree = emst_edges();
        return;
    }
    const size_t m = size_t(n - 1);
    checked_vector<int32_t> a(m), b(m);
    checked_vector<double> w(m), sq(m);
    reachability_key_rule keyed;
    keyed.core = core.data();
    keyed.alpha = alpha;
    DensePrim(xs, n, d, workers, keyed, a.data(), b.data(), w.data(), sq.data(), matrix.m);
    tree = InKeyOrder(a, b, w, sq, false);
    StageMark("dense: tree");
    scikit_rule steps;
    steps.core = core.data();
    steps.alpha = alpha;
    DensePrim(xs, n, d, workers, steps, a.data(), b.data(), prim_w, nullptr, matrix.m);
    for (size_t e = 0; e < m; ++e) {
        prim_ends[2 * e] = a[e];
        prim_ends[2 * e + 1] = b[e];
    }
    StageMark("dense: prim order");
}
