#include "mst/emst.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <string>

#include "common/interrupt.h"
#include "common/memory.h"
#include "common/parallel.h"
#include "common/stages.h"
#include "mst/union_find.h"
#include "neighbors/knn.h"
#include "neighbors/search.h"
#include "tree/bucket.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();

// Nodes of at most this many distinct points are scanned point by point instead of split: below
// that, box tests cost more than the distances they save (measured in 2-D to 5-D).
const int32_t kBucket = 32;

// How many nearest neighbours each point keeps from the start: enough that most points find
// their nearest neighbour outside their component among them in the first rounds.
const int32_t kNeighbours = 6;

// Lists longer than kListFrom (a large min_samples) are cut to their first kListCut once the
// cores are known.
const int32_t kListFrom = 16, kListCut = 6;

// An edge between positions a and b of the ordered points, with its key: w (the squared length
// or the mutual reachability), then the input positions i < j.
struct candidate {
    double w;
    int32_t i, j;
    int32_t a, b;
};

inline bool Before(double w, int32_t i, int32_t j, const candidate &c) {
    return w < c.w || (w == c.w && (i < c.i || (i == c.i && j < c.j)));
}

inline bool Before(const candidate &x, const candidate &y) { return Before(x.w, x.i, x.j, y); }

// The key of an edge is its squared length: the Euclidean tree.
struct squared_key {
    static constexpr bool kPlain = true;
    double Key(double d2, int32_t, int32_t) const { return d2; }
    double ListKey(const double *x, const double *y, int32_t d, int32_t, int32_t, int32_t) const {
        return SquaredLength(x, y, d);
    }
    // Every pair whose key is at most w has a squared length at most this.
    double Reach(double w) const { return w; }
    // A lower bound on the key of every pair of q with a squared length at least d2.
    double Floor(int32_t, double d2) const { return d2; }
    // A lower bound on the key of q with any point under node v, from what the key adds to
    // the squared length.
    double NodeFloor(int32_t, int32_t) const { return 0.0; }
};

// The key of an edge is its mutual reachability max(core_a, core_b, sqrt(d2) / alpha), the
// cores per ordered position, node_core the least core under each node.
struct reachability_key {
    static constexpr bool kPlain = false;
    const double *core, *node_core;
    double alpha;
    // The first `inside` of each point's list of nearest lie no farther than its core's
    // neighbour (kc of them where alpha = 1): their key is the greater core, without the length.
    int32_t inside = 0;

    double Key(double d2, int32_t a, int32_t b) const {
        return std::max(std::max(core[a], core[b]), std::sqrt(d2) / alpha);
    }
    // sqrt and the division round monotonically, so fl(sqrt(d2) / alpha) <= w bounds d2 by
    // (w alpha)^2 up to a few roundings; the margin covers them and underflow near 0.
    double Reach(double w) const {
        const double t = (w + 1e-323) * alpha * (1.0 + 1e-12);
        return t * t * (1.0 + 1e-12);
    }
    double Floor(int32_t q, double d2) const {
        return std::max(core[q], std::sqrt(d2) / alpha);
    }
    // The key of q (at x) and u (at y), the r-th of q's list of nearest.
    double ListKey(const double *x, const double *y, int32_t d, int32_t r, int32_t q,
                   int32_t u) const {
        if (r < inside) return std::max(core[q], core[u]);
        return Key(SquaredLength(x, y, d), q, u);
    }
    double NodeFloor(int32_t q, int32_t v) const { return std::max(core[q], node_core[v]); }
};

// The per-round state of the components: comp[q] is the component of position q (the position
// of its root), node_comp[v] the component of every point under node v, or -1 when they differ;
// run_end (with equal points) the end of q's run of equal points in q's component.
struct components {
    checked_vector<int32_t> comp, node_comp, run_end;
};

// The search for q's nearest point outside its component whose edge comes before best, the
// component's best edge so far. For one q the order of the keys is that of (key, input position
// of the other end), so what it finds is q's nearest neighbour outside under the key. When it
// finds nothing, Floor() is a lower bound on q's key to every point outside: the least of all
// it passed over, nodes wholly inside the component left out since they stay inside.
template <int D, bool Groups, typename Metric>
struct outside_visitor {
    const bucket_tree &t;
    const ordered_points &p;
    const components &cs;
    const Metric &metric;
    const double *x;
    int32_t q, c;
    candidate &best;
    int32_t found = -1;
    double floor = kInf;     // keys passed over
    double floor_d2 = kInf;  // squared lengths of the parts pruned by their boxes

    int32_t dims() const { return D > 0 ? D : t.d; }
    double bound() const { return metric.Reach(best.w); }
    bool open(int32_t v) {
        if (cs.node_comp[size_t(v)] == c) return false;
        if (Metric::kPlain) return true;
        const double low = metric.NodeFloor(q, v);
        if (low <= best.w) return true;
        floor = std::min(floor, low);
        return false;
    }
    void passed(double b) { floor_d2 = std::min(floor_d2, b); }
    double Floor() const { return std::min(floor, metric.Floor(q, floor_d2)); }

    void scan(int32_t v) {
        const int32_t me = p.id[size_t(q)];
        const int32_t end = t.start[size_t(v)] + t.count[size_t(v)];
        for (int32_t r = t.start[size_t(v)]; r < end;) {
            if (cs.comp[size_t(r)] == c) {
                r = Groups ? cs.run_end[size_t(r)] : r + 1;
                continue;
            }
            const double w =
                metric.Key(SquaredLength(x, &p.xs[size_t(r) * size_t(dims())], dims()), q, r);
            if (w > best.w) {
                floor = std::min(floor, w);
            } else {
                const int32_t other = p.id[size_t(r)];
                const int32_t i = std::min(me, other), j = std::max(me, other);
                if (Before(w, i, j, best)) {
                    best = {w, i, j, q, r};
                    found = r;
                } else {
                    floor = std::min(floor, w);
                }
            }
            // The rest of r's equal points are as far, have the same core, and come later in
            // input order.
            r = Groups ? p.group_end[size_t(r)] : r + 1;
        }
    }
};

// Lowers `bound` to w when w is less; threads race only to lower it.
template <typename T>
inline void LowerTo(std::atomic<T> &bound, T w) {
    T old = bound.load(std::memory_order_relaxed);
    while (w < old && !bound.compare_exchange_weak(old, w, std::memory_order_relaxed)) {
    }
}

// The input positions i < j of an edge in one number, ordered as (i, j).
inline uint64_t PairKey(int32_t i, int32_t j) { return uint64_t(uint32_t(i)) << 32 | uint32_t(j); }

// Below this many points the rounds run on the calling thread: they take milliseconds, and a
// round on threads waits at several barriers for a thread that may not have a core.
const int32_t kThreadedPoints = 1 << 15;

// Borůvka rounds until one component is left; appends each round's edges to `edges`. `near`
// holds each point's k nearest others (ordered positions, by squared length and position).
// Every point finds its own best edge to outside its component on any of `workers` threads,
// pruned by the least key any point of its component has found so far in the round; the
// component's edge is then the least of its points' edges under the total order, and the unions
// run on one thread in root order. Which thread finds what first changes only how much is
// searched, never the round's edges, so the tree is the same for every number of threads.
template <int D, bool Groups, typename Metric>
void Rounds(const bucket_tree &t, const ordered_points &p, const Metric &metric,
            const checked_vector<int32_t> &near, int32_t k, int32_t workers,
            checked_vector<candidate> &edges) {
    const int32_t n = int32_t(p.id.size());
    const size_t dd = size_t(t.d);
    const int32_t threads = n >= kThreadedPoints ? UsableThreads(workers) : 1;
    // How many of each point's k nearest are known to be in its component already.
    checked_vector<int32_t> used(static_cast<size_t>(n));

    components cs;
    cs.comp.resize(size_t(n));
    cs.node_comp.resize(size_t(t.nodes));
    if (Groups) cs.run_end.resize(size_t(n));
    checked_vector<int32_t> parent(static_cast<size_t>(n)), nearest(static_cast<size_t>(n));
    // lower[q]: q's key to its nearest point outside its component, when nearest[q] names that
    // point; otherwise a lower bound on it. Components only grow, so it never falls.
    checked_vector<double> lower(static_cast<size_t>(n));
    // offer[q]: the other end of the best edge q has found this round (-1: none), offer_w[q]
    // its key. For the roots c: bound[c], the least key offered so far in the round by a point
    // of component c; tie[c], the least (i, j) among the offers of that key; best[c], the
    // component's edge; root[c], c's root after the unions. roots: the roots, ascending.
    checked_vector<int32_t> offer(static_cast<size_t>(n)), root(static_cast<size_t>(n));
    checked_vector<int32_t> roots(static_cast<size_t>(n));
    checked_vector<int32_t> kept_roots(threads > 1 ? size_t(n) : 0);
    // Per slice of the roots: how many edges it adds and how many roots it keeps.
    const size_t slices = size_t(threads) * 4;
    checked_vector<int32_t> slice_edges(slices + 1), slice_kept(slices + 1);
    checked_vector<double> offer_w(static_cast<size_t>(n));
    checked_vector<std::atomic<double>> bound(static_cast<size_t>(n));
    checked_vector<std::atomic<uint64_t>> tie(static_cast<size_t>(n));
    checked_vector<candidate> best(static_cast<size_t>(n));
    checked_vector<near_search<D>> searches(static_cast<size_t>(threads), near_search<D>(t));
    task_errors errors(static_cast<size_t>(threads));
    const int32_t *id = p.id.data();
    int32_t *comp = cs.comp.data();
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int32_t q = 0; q < n; ++q) {
        comp[q] = parent[size_t(q)] = roots[size_t(q)] = root[size_t(q)] = q;
        used[size_t(q)] = 0;
        nearest[size_t(q)] = -1;
        lower[size_t(q)] = 0.0;
        bound[size_t(q)].store(kInf, std::memory_order_relaxed);
        tie[size_t(q)].store(UINT64_MAX, std::memory_order_relaxed);
    }
    // Each bucket's points to the root of their component's root after the unions (the
    // identity before the first round), and the bucket's component.
    const auto place = [&](int32_t v) {
        const int32_t s = t.start[size_t(v)], e = s + t.count[size_t(v)];
        for (int32_t q = s; q < e; ++q) comp[q] = parent[size_t(q)] = root[size_t(comp[q])];
        int32_t c = comp[s];
        for (int32_t r = s + 1; r < e && c >= 0; ++r)
            if (comp[r] != c) c = -1;
        cs.node_comp[size_t(v)] = c;
    };
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int32_t v = 0; v < t.nodes; ++v)
        if (t.bucket(v)) place(v);
    int32_t left = n;
    StageMark("rounds: setup");
    while (left > 1) {
        // Components fall at least by half a round: progress by the rounds left.
        Progress(1.0 - std::log2(double(left)) / std::log2(double(n)));
        ThrowIfStopped();
        for (int32_t v = t.nodes - 1; v >= 0; --v) {
            if (t.bucket(v)) continue;
            const int32_t a = cs.node_comp[size_t(v) + 1];
            cs.node_comp[size_t(v)] = a == cs.node_comp[size_t(t.right[size_t(v)])] ? a : -1;
        }
        if (Groups)
            for (int32_t r = n - 1; r >= 0; --r)
                cs.run_end[size_t(r)] = r + 1 < p.group_end[size_t(r)] && comp[r + 1] == comp[r]
                                            ? cs.run_end[size_t(r) + 1]
                                            : r + 1;
        StageMark("rounds: nodes");
        // Nearest neighbours outside, where they are known, give their edges at once, which
        // tightens every component's bound before any search.
        QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
        for (int32_t q = 0; q < n; ++q) {
            offer[size_t(q)] = -1;
            int32_t o = nearest[size_t(q)];
            if (o < 0 || comp[o] == comp[q]) {
                o = -1;
                const int32_t *row = &near[size_t(q) * size_t(k)];
                const double *x = &p.xs[size_t(q) * dd];
                int32_t m = used[size_t(q)];
                // Those of q's nearest before the first outside are inside for good.
                while (m < k && comp[row[m]] == comp[q]) ++m;
                if (Metric::kPlain) {
                    // Under the squared length the first outside is q's nearest outside.
                    if (m < k) {
                        o = row[m];
                        lower[size_t(q)] = SquaredLength(x, &p.xs[size_t(o) * dd], t.d);
                    } else if (used[size_t(q)] < k) {
                        lower[size_t(q)] = std::max(
                            lower[size_t(q)],
                            SquaredLength(x, &p.xs[size_t(row[k - 1]) * dd], t.d));
                    }
                } else if (k > 0 && !(m == k && used[size_t(q)] == k)) {
                    // (A list wholly inside since an earlier round offers nothing; raising
                    // lower[q] to the list's floor again would only prune, and costs a length.)
                    // Under the reachability the best outside of the list is q's nearest outside
                    // only when it beats every point beyond the list; otherwise it is still an
                    // edge its component may take.
                    const int32_t a = p.id[size_t(q)];
                    // The least (key, i, j) kept in scalars and chosen without branches: which
                    // entry wins is not predictable.
                    double bw = kInf;
                    uint64_t bk = UINT64_MAX;
                    int32_t bu = -1;
                    for (int32_t r = m; r < k; ++r) {
                        const int32_t u = row[r];
                        if (comp[u] == comp[q]) continue;
                        const double w = metric.ListKey(x, &p.xs[size_t(u) * dd], t.d, r, q, u);
                        const int32_t b = p.id[size_t(u)];
                        const uint64_t key = PairKey(std::min(a, b), std::max(a, b));
                        const bool better = (w < bw) | ((w == bw) & (key < bk));
                        bw = better ? w : bw;
                        bk = better ? key : bk;
                        bu = better ? u : bu;
                    }
                    candidate e{kInf, INT32_MAX, INT32_MAX, -1, -1};
                    if (bu >= 0) e = {bw, int32_t(bk >> 32), int32_t(uint32_t(bk)), q, bu};
                    const double beyond =
                        metric.Floor(q, SquaredLength(x, &p.xs[size_t(row[k - 1]) * dd], t.d));
                    if (e.a >= 0 && e.w < beyond) {
                        o = e.b;
                        lower[size_t(q)] = e.w;
                    } else {
                        lower[size_t(q)] = std::max(lower[size_t(q)], std::min(e.w, beyond));
                        if (e.a >= 0) {
                            offer[size_t(q)] = e.b;
                            offer_w[size_t(q)] = e.w;
                            LowerTo(bound[size_t(comp[q])], e.w);
                        }
                    }
                }
                used[size_t(q)] = m;
                nearest[size_t(q)] = o;
                if (o < 0) continue;
            }
            offer[size_t(q)] = o;
            offer_w[size_t(q)] = lower[size_t(q)];
            LowerTo(bound[size_t(comp[q])], lower[size_t(q)]);
        }
        StageMark("rounds: known");
        // The searches of the points left, bucket by bucket: a point's search writes only its
        // own entries, and each starts from its component's bound of the moment.
        QUORL_OMP(parallel for num_threads(threads) schedule(dynamic, 64) if (threads > 1))
        for (int32_t v = 0; v < t.nodes; ++v) {
            if (!t.bucket(v) || errors.stopped()) continue;
            const int32_t me = ThreadNumber();
            try {
                ThrowIfStopped();
                const int32_t s = t.start[size_t(v)], e = s + t.count[size_t(v)];
                for (int32_t q = s; q < e; ++q) {
                    if (nearest[size_t(q)] >= 0) continue;
                    const int32_t c = comp[q];
                    const double w = bound[size_t(c)].load(std::memory_order_relaxed);
                    if (lower[size_t(q)] > w) continue;
                    candidate mine{w, INT32_MAX, INT32_MAX, -1, -1};
                    if (offer[size_t(q)] >= 0) {
                        const int32_t a = id[q], b = id[offer[size_t(q)]];
                        const candidate listed{offer_w[size_t(q)], std::min(a, b), std::max(a, b),
                                               q, offer[size_t(q)]};
                        if (Before(listed, mine)) mine = listed;
                    }
                    outside_visitor<D, Groups, Metric> visitor{
                        t, p, cs, metric, &p.xs[size_t(q) * dd], q, c, mine};
                    searches[size_t(me)].Run(visitor.x, v, visitor);
                    nearest[size_t(q)] = visitor.found;
                    lower[size_t(q)] = visitor.found >= 0 ? mine.w : visitor.Floor();
                    if (mine.a < 0) continue;
                    offer[size_t(q)] = mine.b;
                    offer_w[size_t(q)] = mine.w;
                    LowerTo(bound[size_t(c)], mine.w);
                }
            } catch (...) {
                errors.Keep(size_t(me));
            }
        }
        errors.Rethrow();
        StageMark("rounds: search");
        // Every offer was also a bound, so bound[c] is now the least key offered in c: the
        // component's edge is the offer of that key with the least (i, j), and a unique one,
        // since only one end of an edge lies inside.
        // Whether q's offer carries the least key offered in its component.
        const auto offers_least = [&](int32_t q) {
            return offer[size_t(q)] >= 0 &&
                   offer_w[size_t(q)] == bound[size_t(comp[q])].load(std::memory_order_relaxed);
        };
        QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
        for (int32_t q = 0; q < n; ++q) {
            if (!offers_least(q)) continue;
            const int32_t a = id[q], b = id[offer[size_t(q)]];
            LowerTo(tie[size_t(comp[q])], PairKey(std::min(a, b), std::max(a, b)));
        }
        QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
        for (int32_t q = 0; q < n; ++q) {
            if (!offers_least(q)) continue;
            const int32_t o = offer[size_t(q)], c = comp[q];
            const int32_t a = id[q], b = id[o];
            const int32_t i = std::min(a, b), j = std::max(a, b);
            if (PairKey(i, j) == tie[size_t(c)].load(std::memory_order_relaxed))
                best[size_t(c)] = {offer_w[size_t(q)], i, j, q, o};
        }
        StageMark("rounds: choose");
        if (threads == 1) {
            // The unions in root order, each greater root under the lesser.
            const int32_t before = left;
            for (int32_t r = 0; r < before; ++r) {
                const candidate &e = best[size_t(roots[size_t(r)])];
                const int32_t a = FindRoot(parent, e.a), b = FindRoot(parent, e.b);
                if (a == b) continue;  // the other component chose the same edge
                parent[size_t(std::max(a, b))] = std::min(a, b);
                edges.push_back(e);
                --left;
            }
            StageMark("rounds: unions");
            int32_t kept = 0;
            for (int32_t r = 0; r < before; ++r) {
                const int32_t c = roots[size_t(r)];
                root[size_t(c)] = FindRoot(parent, c);
                if (root[size_t(c)] != c) continue;
                roots[size_t(kept++)] = c;
                bound[size_t(c)].store(kInf, std::memory_order_relaxed);
                tie[size_t(c)].store(UINT64_MAX, std::memory_order_relaxed);
            }
        } else {
            // The unions, on the threads. An edge chosen by both its components is added once, by
            // the one of lower root. The chosen edges form a forest, and each union links the
            // greater root under the lesser, so every merged component's root is its least old
            // root, whatever order the unions run in: the forest the serial unions in root order
            // leave.
            const int32_t before = left;
            const auto slice = [before, slices](size_t c) {
                return int32_t(int64_t(before) * int64_t(c) / int64_t(slices));
            };
            const auto adds = [&](int32_t c) {
                const candidate &e = best[size_t(c)];
                const int32_t other = comp[e.b];
                const candidate &f = best[size_t(other)];
                return !(f.a == e.b && f.b == e.a && other < c);
            };
            QUORL_OMP(parallel for num_threads(threads) schedule(static, 1) if (threads > 1))
            for (int64_t g = 0; g < int64_t(slices); ++g) {
                int32_t added = 0;
                for (int32_t r = slice(size_t(g)); r < slice(size_t(g) + 1); ++r) {
                    const int32_t c = roots[size_t(r)];
                    if (!adds(c)) continue;
                    ++added;
                    Link(parent.data(), c, comp[best[size_t(c)].b]);
                }
                slice_edges[size_t(g) + 1] = added;
            }
            StageMark("rounds: unions");
            slice_edges[0] = 0;
            for (size_t g = 0; g < slices; ++g) slice_edges[g + 1] += slice_edges[g];
            const size_t had = edges.size();
            edges.resize(had + size_t(slice_edges[slices]));
            left -= slice_edges[slices];
            // The edges in root order; each root's root after the unions (path halving writes only
            // to entries that are no longer roots, so the threads agree on every root).
            QUORL_OMP(parallel for num_threads(threads) schedule(static, 1) if (threads > 1))
            for (int64_t g = 0; g < int64_t(slices); ++g) {
                size_t at = had + size_t(slice_edges[size_t(g)]);
                int32_t kept = 0;
                for (int32_t r = slice(size_t(g)); r < slice(size_t(g) + 1); ++r) {
                    const int32_t c = roots[size_t(r)];
                    if (adds(c)) edges[at++] = best[size_t(c)];
                    root[size_t(c)] = FindRootHalving(parent.data(), c);
                    kept += root[size_t(c)] == c;
                }
                slice_kept[size_t(g) + 1] = kept;
            }
            slice_kept[0] = 0;
            for (size_t g = 0; g < slices; ++g) slice_kept[g + 1] += slice_kept[g];
            QUORL_OMP(parallel for num_threads(threads) schedule(static, 1) if (threads > 1))
            for (int64_t g = 0; g < int64_t(slices); ++g) {
                int32_t at = slice_kept[size_t(g)];
                for (int32_t r = slice(size_t(g)); r < slice(size_t(g) + 1); ++r) {
                    const int32_t c = roots[size_t(r)];
                    if (root[size_t(c)] != c) continue;
                    kept_roots[size_t(at++)] = c;
                    bound[size_t(c)].store(kInf, std::memory_order_relaxed);
                    tie[size_t(c)].store(UINT64_MAX, std::memory_order_relaxed);
                }
            }
            roots.swap(kept_roots);
        }
        QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
        for (int32_t v = 0; v < t.nodes; ++v)
            if (t.bucket(v)) place(v);
        StageMark("rounds: place");
    }
}

// Runs each(a, b, part) for slices [a, b) of [0, n) in order on `threads` threads, each slice
// with its own part of `parts` (one slice on one thread).
template <typename Part, typename Each>
void RunSlices(int32_t n, int32_t threads, checked_vector<Part> &parts, Each each) {
    const size_t slices = threads > 1 ? size_t(threads) * 8 : 1;
    parts.resize(slices);
    task_errors errors(slices);
    QUORL_OMP(parallel for num_threads(threads) schedule(dynamic, 1) if (threads > 1))
    for (int64_t c = 0; c < int64_t(slices); ++c) {
        errors.Run(size_t(c), [&] {
            const int32_t a = int32_t(int64_t(n) * c / int64_t(slices));
            const int32_t b = int32_t(int64_t(n) * (c + 1) / int64_t(slices));
            each(a, b, parts[size_t(c)]);
        });
    }
    errors.Rethrow();
}

// The single-linkage tree of the tree's edges over the runs of equal points (each run one leaf,
// at the place of its first point): merge k joins the leaves at places [lo[k], lo[k] + left[k])
// with those at [lo[k] + left[k], lo[k] + size[k]) at height[k]; every pair across a merge is
// joined by no path lighter than its height, and a tie edge when its weight is that height. The
// highest merge between two places is the highest of the gaps between them, each gap the height
// of the merge that splits there.
struct merge_tree {
    checked_vector<int32_t> place;  // per ordered position, its run's place
    checked_vector<int32_t> at;     // per place, the first position of the run
    checked_vector<int32_t> lo, left, size;
    checked_vector<double> height;
    checked_vector<double> gap;    // gap[i]: the height of the merge between places i and i + 1
    checked_vector<double> least;  // per first position of a run, its lightest edge to another
    // Per level l, the highest gap of each 2^l blocks of kBlock gaps from each block.
    checked_vector<double> table;
    int32_t blocks = 0;

    static const int32_t kBlock = 32;
    int32_t merges() const { return int32_t(height.size()); }

    // The highest of gap[a .. b), a < b: the gaps outside whole blocks one by one, those of the
    // whole blocks from the table.
    double Max(int32_t a, int32_t b) const {
        const int32_t ba = (a + kBlock - 1) / kBlock, bb = b / kBlock;
        double m = -kInf;
        if (ba >= bb) {
            for (int32_t i = a; i < b; ++i) m = std::max(m, gap[size_t(i)]);
            return m;
        }
        for (int32_t i = a; i < ba * kBlock; ++i) m = std::max(m, gap[size_t(i)]);
        for (int32_t i = bb * kBlock; i < b; ++i) m = std::max(m, gap[size_t(i)]);
        const int32_t level = 31 - __builtin_clz(uint32_t(bb - ba));
        const double *row = &table[size_t(level) * size_t(blocks)];
        return std::max(m, std::max(row[ba], row[bb - (1 << level)]));
    }
    // The highest merge on the path between the runs at ordered positions q and r (distinct).
    double Between(int32_t q, int32_t r) const {
        const int32_t a = place[size_t(q)], b = place[size_t(r)];
        return a < b ? Max(a, b) : Max(b, a);
    }
};

// merge_tree for the ordered positions joined by the tree's edges `edges` (sorted by key), runs
// of equal points starting where first[r] == r (all positions without Groups).
template <bool Groups>
void MergeTree(int32_t n, const checked_vector<candidate> &edges, const int32_t *first,
               merge_tree &m) {
    auto run = [first](int32_t r) { return Groups ? first[r] : r; };
    checked_vector<int32_t> c0, c1;  // children: a merge k >= 0, or ~r for the run at r
    m.least.assign(size_t(n), kInf);
    c0.reserve(edges.size());
    c1.reserve(edges.size());
    m.size.reserve(edges.size());
    m.height.reserve(edges.size());
    {
        checked_vector<int32_t> parent(static_cast<size_t>(n)), node_of(static_cast<size_t>(n));
        for (int32_t v = 0; v < n; ++v) parent[size_t(v)] = v, node_of[size_t(v)] = ~v;
        for (const candidate &e : edges) {
            if (((&e - edges.data()) & 65535) == 0) ThrowIfStopped();
            const int32_t qa = run(e.a), qb = run(e.b);
            if (qa == qb) continue;  // within a run
            // The edges come lightest first.
            if (m.least[size_t(qa)] == kInf) m.least[size_t(qa)] = e.w;
            if (m.least[size_t(qb)] == kInf) m.least[size_t(qb)] = e.w;
            const int32_t a = FindRoot(parent, qa), b = FindRoot(parent, qb);
            if (a == b) continue;  // a cycle through a run
            const int32_t k = m.merges(), ra = node_of[size_t(a)], rb = node_of[size_t(b)];
            c0.push_back(ra);
            c1.push_back(rb);
            m.size.push_back((ra < 0 ? 1 : m.size[size_t(ra)]) + (rb < 0 ? 1 : m.size[size_t(rb)]));
            m.height.push_back(e.w);
            parent[size_t(std::max(a, b))] = std::min(a, b);
            node_of[size_t(std::min(a, b))] = k;
        }
    }
    const int32_t M = m.merges();
    m.place.resize(size_t(n));
    m.at.resize(size_t(M) + 1);
    m.lo.resize(size_t(M));
    m.left.resize(size_t(M));
    m.gap.resize(size_t(M));
    if (M == 0) m.at[0] = 0;
    // Parents come after their children: a backward pass places each merge before its children.
    if (M > 0) m.lo[size_t(M - 1)] = 0;
    for (int32_t k = M - 1; k >= 0; --k) {
        const int32_t r0 = c0[size_t(k)], r1 = c1[size_t(k)];
        m.left[size_t(k)] = r0 < 0 ? 1 : m.size[size_t(r0)];
        const int32_t at = m.lo[size_t(k)] + m.left[size_t(k)];
        m.gap[size_t(at) - 1] = m.height[size_t(k)];
        if (r0 < 0)
            m.at[size_t(m.lo[size_t(k)])] = ~r0;
        else
            m.lo[size_t(r0)] = m.lo[size_t(k)];
        if (r1 < 0)
            m.at[size_t(at)] = ~r1;
        else
            m.lo[size_t(r1)] = at;
    }
    for (int32_t i = 0; i <= M; ++i) m.place[size_t(m.at[size_t(i)])] = i;
    for (int32_t q = 0; q < n; ++q) m.place[size_t(q)] = m.place[size_t(run(q))];
    const int32_t B = merge_tree::kBlock;
    m.blocks = M / B;
    int32_t levels = 1;
    while ((2 << (levels - 1)) <= m.blocks) ++levels;
    m.table.resize(size_t(levels) * size_t(m.blocks));
    for (int32_t b = 0; b < m.blocks; ++b)
        m.table[size_t(b)] =
            *std::max_element(m.gap.begin() + int64_t(b) * B, m.gap.begin() + int64_t(b + 1) * B);
    for (int32_t l = 1; l < levels; ++l) {
        const double *below = &m.table[size_t(l - 1) * size_t(m.blocks)];
        double *row = &m.table[size_t(l) * size_t(m.blocks)];
        for (int32_t b = 0; b + (1 << l) <= m.blocks; ++b)
            row[b] = std::max(below[b], below[b + (1 << (l - 1))]);
    }
}

// Values appended in blocks of pages of a fixed size: growing never holds a list twice, as
// doubling an array would while it moves, and each block goes back to the system as soon as it
// is copied out.
template <typename T>
struct block_list {
    static constexpr size_t kBlock = (size_t(1) << 20) / sizeof(T);
    checked_vector<T *> blocks;
    size_t size = 0;

    block_list() = default;
    block_list(block_list &&o) noexcept : blocks(std::move(o.blocks)), size(o.size) {
        o.blocks.clear();
        o.size = 0;
    }
    block_list(const block_list &) = delete;
    block_list &operator=(const block_list &) = delete;
    ~block_list() {
        for (T *b : blocks) FreePages(b, kBlock * sizeof(T));
    }

    void push_back(T x) {
        if (size % kBlock == 0) {
            blocks.push_back(nullptr);
            blocks.back() = static_cast<T *>(CheckedPages(kBlock * sizeof(T)));
        }
        blocks.back()[size % kBlock] = x;
        ++size;
    }
    // Copies the values to `to` in order, freeing each block once copied; returns the end.
    T *MoveTo(T *to) {
        for (size_t b = 0; b < blocks.size(); ++b) {
            const size_t count = std::min(kBlock, size - b * kBlock);
            to = std::copy(blocks[b], blocks[b] + count, to);
            FreePages(blocks[b], kBlock * sizeof(T));
            blocks[b] = nullptr;
        }
        blocks.clear();
        size = 0;
        return to;
    }
};

// The tie edges one slice of points found: those that weigh the greater core of their ends, as
// pairs (that end first), and the others, as pairs with their weights.
struct tie_part {
    block_list<int32_t> cored, other;
    block_list<double> w;
};

// The search beyond q's neighbour list for points r of the runs at places [b0, b1) whose edge to
// q weighs at most h (then exactly h, the height of the merge that joins them): every point
// strictly nearer than the list's last is in the list. Nodes are opened only where they hold a
// place of that range and the least weight q can have to their points is at most h; only the
// first of each run is looked at.
template <int D, bool Groups>
struct tie_visitor {
    const bucket_tree &t;
    const ordered_points &p;
    const reachability_key &metric;
    const merge_tree &m;
    const int32_t *place_lo, *place_hi;  // per node, the least and greatest place under it
    const int32_t *first;                // with Groups: the first position of each run
    int32_t q;
    const double *x;
    const int32_t *list;  // q's k nearest, the last at squared length last
    int32_t k;
    double last, h, reach;
    int32_t b0, b1;
    checked_vector<int32_t> &out;  // the runs found

    int32_t dims() const { return D > 0 ? D : t.d; }
    double bound() const { return reach; }
    static void passed(double) {}
    bool open(int32_t v) const {
        return place_lo[size_t(v)] < b1 && place_hi[size_t(v)] >= b0 && metric.NodeFloor(q, v) <= h;
    }
    void scan(int32_t v) {
        const int32_t end = t.start[size_t(v)] + t.count[size_t(v)];
        for (int32_t r = t.start[size_t(v)]; r < end; ++r) {
            if (Groups && first[r] != r) continue;
            const int32_t at = m.place[size_t(r)];
            if (at < b0 || at >= b1) continue;
            const double d2 = SquaredLength(x, &p.xs[size_t(r) * size_t(dims())], dims());
            if (d2 < last || metric.Key(d2, q, r) > h) continue;
            // As far as the list's last: in it when a point of its run is.
            if (d2 == last && std::any_of(list, list + k,
                                          [&](int32_t u) { return (Groups ? first[u] : u) == r; }))
                continue;
            out.push_back(r);
        }
    }
};

// The tie edges of the tree `edges` (sorted by key) over the ordered points, as ordered
// positions of the first points of runs. A pair in one's list of k nearest (`near`) is tried
// from the one the other's list lacks, or from the earlier: a tie edge when its weight is the
// highest merge between them. Any other tie edge joins a point q of the smaller side of a merge
// to one of the other side beyond q's list, only when the merge's height reaches the list's
// last, and a search of the tree from q finds it. On `threads` threads, in the order of q.
// With out.linkage_only, ties within a core that no linkage needs are left out (`sole`).
template <int D, bool Groups>
void TieEdges(const bucket_tree &t, const ordered_points &p, const reachability_key &metric,
              const checked_vector<candidate> &edges, const checked_vector<int32_t> &near,
              int32_t k, int32_t kc, int32_t threads, uint64_t limit, tie_edges &out) {
    const int32_t n = int32_t(p.id.size());
    const size_t dd = size_t(t.d);
    checked_vector<int32_t> first;
    if (Groups) {
        first.resize(size_t(n));
        for (int32_t q = 0; q < n; ++q)
            first[size_t(q)] = q > 0 && p.group_end[size_t(q - 1)] == p.group_end[size_t(q)]
                                   ? first[size_t(q) - 1]
                                   : q;
    }
    auto run = [&first](int32_t r) { return Groups ? first[size_t(r)] : r; };
    merge_tree m;
    MergeTree<Groups>(n, edges, first.data(), m);
    const int32_t M = m.merges();
    // The squared length to each point's list's last, and the least weight of a pair beyond
    // each run's list: its square root / alpha.
    checked_vector<double> last_of(static_cast<size_t>(n)), floor_at(size_t(M) + 1);
    for (int32_t q = 0; q < n; ++q)
        last_of[size_t(q)] =
            SquaredLength(&p.xs[size_t(q) * dd],
                          &p.xs[size_t(near[size_t(q) * size_t(k) + size_t(k) - 1]) * dd], t.d);
    for (int32_t i = 0; i <= M; ++i)
        floor_at[size_t(i)] = std::sqrt(last_of[size_t(m.at[size_t(i)])]) / metric.alpha;
    // The searches: per point of a merge's smaller side (the left on a tie), the merge, when
    // its height reaches that point's floor; grouped by the point.
    checked_vector<int64_t> task_first(size_t(n) + 1, 0);
    checked_vector<int32_t> task;
    for (int pass = 0; pass < 2; ++pass) {
        checked_vector<int64_t> fill;
        if (pass == 1) {
            for (int32_t q = 0; q < n; ++q) task_first[size_t(q) + 1] += task_first[size_t(q)];
            task.resize(size_t(task_first[size_t(n)]));
            fill.assign(task_first.begin(), task_first.end() - 1);
        }
        for (int32_t j = 0; j < M; ++j) {
            if ((j & 4095) == 0) ThrowIfStopped();
            const int32_t lo = m.lo[size_t(j)], mid = lo + m.left[size_t(j)];
            const int32_t hi = lo + m.size[size_t(j)];
            const bool from_left = mid - lo <= hi - mid;
            const int32_t a1 = from_left ? mid : hi;
            for (int32_t i = from_left ? lo : mid; i < a1; ++i) {
                if (floor_at[size_t(i)] > m.height[size_t(j)]) continue;
                const int32_t q = m.at[size_t(i)];
                if (pass == 0)
                    ++task_first[size_t(q) + 1];
                else
                    task[size_t(fill[size_t(q)]++)] = j;
            }
        }
    }
    checked_vector<double>().swap(floor_at);
    // The first kc of a list lie no farther than the core's neighbour.
    const int32_t inside = metric.alpha == 1.0 ? std::min(kc, k) : 0;
    checked_vector<int32_t> place_lo(static_cast<size_t>(t.nodes)),
        place_hi(static_cast<size_t>(t.nodes));
    for (int32_t v = t.nodes - 1; v >= 0; --v) {
        if (t.bucket(v)) {
            int32_t lo = INT32_MAX, hi = -1;
            const int32_t s = t.start[size_t(v)], e = s + t.count[size_t(v)];
            for (int32_t r = s; r < e; ++r) {
                lo = std::min(lo, m.place[size_t(r)]);
                hi = std::max(hi, m.place[size_t(r)]);
            }
            place_lo[size_t(v)] = lo;
            place_hi[size_t(v)] = hi;
        } else {
            const int32_t l = v + 1, r = t.right[size_t(v)];
            place_lo[size_t(v)] = std::min(place_lo[size_t(l)], place_lo[size_t(r)]);
            place_hi[size_t(v)] = std::max(place_hi[size_t(l)], place_hi[size_t(r)]);
        }
    }
    checked_vector<int32_t> tree_first(size_t(n) + 1, 0), tree_to(edges.size());
    for (const candidate &c : edges) ++tree_first[size_t(std::min(c.a, c.b)) + 1];
    for (int32_t q = 0; q < n; ++q) tree_first[size_t(q) + 1] += tree_first[size_t(q)];
    {
        checked_vector<int32_t> fill(tree_first.begin(), tree_first.end() - 1);
        for (const candidate &c : edges)
            tree_to[size_t(fill[size_t(std::min(c.a, c.b))]++)] = std::max(c.a, c.b);
    }
    auto tree_edge = [&](int32_t a, int32_t b) -> bool {
        if (a > b) std::swap(a, b);
        const int32_t *s = tree_to.data() + tree_first[size_t(a)];
        const int32_t *e = tree_to.data() + tree_first[size_t(a) + 1];
        return std::find(s, e, b) != e;
    };
    // Whether a point of q's run, at squared length d2 from r, is in r's list: every point
    // nearer than its last is, none farther.
    auto listed = [&](int32_t r, int32_t q, double d2) {
        if (d2 != last_of[size_t(r)]) return d2 < last_of[size_t(r)];
        const int32_t *list = &near[size_t(r) * size_t(k)];
        return std::any_of(list, list + k, [&](int32_t u) { return run(u) == q; });
    };
    checked_vector<int32_t> bucket_of(static_cast<size_t>(n));
    for (int32_t v = 0; v < t.nodes; ++v)
        if (t.bucket(v))
            std::fill(bucket_of.begin() + t.start[size_t(v)],
                      bucket_of.begin() + t.start[size_t(v)] + t.count[size_t(v)], v);
    // A tie (q, r) within the core of q, the greater, weighs core_q, below which q has no edge:
    // it joins q to the parts of the tree lighter than core_q. Where the tree's only edges of
    // that weight are q's, each to a point of a smaller core, Prim's algorithm enters those parts
    // in the order of the tree's edges, the least position first, whichever ties are listed:
    // q's change only which point of the part it came from leads to q, and every part is one
    // component of the single-linkage tree at that height. So q's are left out (`sole`) unless
    // another kind of tie (one that weighs a length) was found, which such an order would have
    // to take in too. With alpha = 1 only, where the first `inside` of a list weigh the cores.
    const bool thin = out.linkage_only && !Groups && inside > 0;
    checked_vector<uint8_t> sole(thin ? size_t(n) : 0, 0);
    if (thin)
        MarkSoleCores(
            edges.size(), metric.core, [&](size_t e) { return edges[e].a; },
            [&](size_t e) { return edges[e].b; }, [&](size_t e) { return edges[e].w; },
            sole.data());
    StageMark("ties: merge tree");
    std::atomic<uint64_t> found(0);
    // Two passes with `thin`: first the list's points beyond the core and the searches, then
    // the points within the core, whose ties are left out where `sole` allows.
    checked_vector<tie_part> parts, cores;
    bool leave_out = false;
    auto pass = [&](int32_t qa, int32_t qb, tie_part &part, bool within) {
        near_search<D> search(t);
        checked_vector<int32_t> runs;
        // Counted per point into `found`, so that the limit holds to within one point's edges.
        uint64_t kept = 0;
        // Which ties a step keeps: every one, all but those of a `sole` point's core, or only
        // those (when a second pass makes up for what the first left out).
        enum keeping { kEvery, kNotSole, kOnlySole };
        auto keep = [&](int32_t q, int32_t r, double w, keeping mode) {
            if (mode != kEvery) {
                const double cq = metric.core[size_t(q)], cr = metric.core[size_t(r)];
                const bool of_sole = w == std::max(cq, cr) && OfSoleCore(cq, cr, sole.data(), q, r);
                if (of_sole != (mode == kOnlySole)) return;
            }
            if (out.lengths_only && w == std::max(metric.core[size_t(q)], metric.core[size_t(r)]))
                return;
            if (tree_edge(q, r)) return;
            ++kept;
            const double cq = metric.core[size_t(q)], cr = metric.core[size_t(r)];
            if (w == std::max(cq, cr)) {
                part.cored.push_back(cq >= cr ? q : r);
                part.cored.push_back(cq >= cr ? r : q);
            } else {
                part.other.push_back(q);
                part.other.push_back(r);
                part.w.push_back(w);
            }
        };
        for (int32_t q = qa; q < qb; ++q) {
            if (Groups && first[size_t(q)] != q) continue;
            if ((q & 1023) == 0) ThrowIfStopped();
            if (kept > 0) {
                const uint64_t before = found.fetch_add(kept, std::memory_order_relaxed);
                if (before + kept > limit) throw tie_limit_reached{before + kept};
                kept = 0;
            }
            const double *x = &p.xs[size_t(q) * dd];
            const int32_t *list = &near[size_t(q) * size_t(k)];
            runs.clear();
            // The first pass: the list beyond the core and the searches, the ties of `sole`
            // points left out. The second: the list within the core, the ties of `sole` points
            // left out when nothing weighing a length was found, and otherwise everything the
            // first left out.
            const int32_t c1 = within && leave_out ? inside : k;
            for (int32_t c = thin && !within ? inside : 0; c < c1; ++c) {
                const keeping mode = !thin                  ? kEvery
                                     : !within || leave_out ? kNotSole
                                     : c < inside           ? kEvery
                                                            : kOnlySole;
                const int32_t r = run(list[c]);
                if (r == q) continue;
                // Within the core a tie weighs the greater core: gone before any work.
                // Within the core a tie weighs the greater core: gone before any work (OfSoleCore
                // written out: the call measured 10 % slower on this loop).
                if (mode == kNotSole) {
                    const double cq = metric.core[size_t(q)], cr = metric.core[size_t(r)];
                    if (c < inside && cq != cr && sole[size_t(cq > cr ? q : r)]) continue;
                }
                if (Groups) {  // each run once
                    if (std::find(runs.begin(), runs.end(), r) != runs.end()) continue;
                    runs.push_back(r);
                }
                // Within the core's neighbour no farther than core_q: for alpha = 1 the weight
                // is the greater core, as the key computes it, without the length.
                const double d2 =
                    c < inside && r > q ? 0.0 : SquaredLength(x, &p.xs[size_t(r) * dd], t.d);
                const double w = c < inside
                                     ? std::max(metric.core[size_t(q)], metric.core[size_t(r)])
                                     : metric.Key(d2, q, r);
                if (out.lengths_only &&
                    w == std::max(metric.core[size_t(q)], metric.core[size_t(r)]))
                    continue;
                // The highest merge between them is at least the lightest edge of either and at
                // most w: only above both is it looked up.
                if (w > std::max(m.least[size_t(q)], m.least[size_t(r)]) && w > m.Between(q, r))
                    continue;
                if (r < q && listed(r, q, d2)) continue;  // tried from r
                keep(q, r, w, mode);
            }
            const double last = last_of[size_t(q)];
            for (int64_t s = task_first[size_t(q)]; s < task_first[size_t(q) + 1]; ++s) {
                const int32_t j = task[size_t(s)];
                const double h = m.height[size_t(j)];
                // A search at q's own core from a `sole` q finds only ties of q's core (any
                // other weighs more or is lighter than the merge): the second pass makes it,
                // unless those are left out.
                const bool own = thin && sole[size_t(q)] && h == metric.core[size_t(q)];
                if (within ? leave_out : own) continue;
                const keeping mode = !thin ? kEvery : !within ? kNotSole : own ? kEvery : kOnlySole;
                const int32_t lo = m.lo[size_t(j)], mid = lo + m.left[size_t(j)];
                const int32_t hi = lo + m.size[size_t(j)];
                const bool q_left = m.place[size_t(q)] < mid;
                runs.clear();
                tie_visitor<D, Groups> visitor{t,
                                               p,
                                               metric,
                                               m,
                                               place_lo.data(),
                                               place_hi.data(),
                                               first.data(),
                                               q,
                                               x,
                                               list,
                                               k,
                                               last,
                                               h,
                                               metric.Reach(h),
                                               q_left ? mid : lo,
                                               q_left ? hi : mid,
                                               runs};
                search.Run(x, bucket_of[size_t(q)], visitor);
                for (int32_t r : runs)
                    if (!listed(r, q, SquaredLength(x, &p.xs[size_t(r) * dd], t.d)))
                        keep(q, r, h, mode);  // else tried from r
            }
        }
        if (found.fetch_add(kept, std::memory_order_relaxed) + kept > limit)
            throw tie_limit_reached{found.load(std::memory_order_relaxed)};
    };
    RunSlices(n, threads, parts,
              [&](int32_t qa, int32_t qb, tie_part &part) { pass(qa, qb, part, false); });
    if (thin) {
        size_t lengths = 0;
        for (const tie_part &x : parts) lengths += x.w.size;
        leave_out = lengths == 0;
        RunSlices(n, threads, cores,
                  [&](int32_t qa, int32_t qb, tie_part &part) { pass(qa, qb, part, true); });
    }
    // The parts joined in slice order, the cored edges first.
    size_t cored = 0, other = 0;
    for (const tie_part &x : parts) cored += x.cored.size / 2, other += x.w.size;
    for (const tie_part &x : cores) cored += x.cored.size / 2;
    out.ends.resize(2 * (cored + other));
    out.w.resize(other);
    int32_t *at = out.ends.data();
    for (tie_part &x : parts) at = x.cored.MoveTo(at);
    for (tie_part &x : cores) at = x.cored.MoveTo(at);
    double *wat = out.w.data();
    for (tie_part &x : parts) {
        at = x.other.MoveTo(at);
        wat = x.w.MoveTo(wat);
    }
    out.cored = cored;
    StageMark("ties: search");
}

// Sorts the edges by their keys on `threads` threads: slices sorted alone, then merged pairwise.
// The keys are distinct, so the order is the same however the edges are sliced.
void SortEdges(checked_vector<candidate> &edges, int32_t threads) {
    const auto before = [](const candidate &x, const candidate &y) { return Before(x, y); };
    const size_t m = edges.size();
    if (threads <= 1 || m < size_t(kThreadedPoints)) {
        std::sort(edges.begin(), edges.end(), before);
        return;
    }
    checked_vector<candidate> other(m);
    checked_vector<size_t> cut(size_t(threads) + 1);
    for (size_t s = 0; s <= size_t(threads); ++s) cut[s] = m * s / size_t(threads);
    QUORL_OMP(parallel for num_threads(threads) schedule(static, 1))
    for (int32_t s = 0; s < threads; ++s)
        std::sort(edges.begin() + int64_t(cut[size_t(s)]),
                  edges.begin() + int64_t(cut[size_t(s) + 1]), before);
    // Slices merged pairwise, each merge cut into `threads` pieces of its output at the places
    // where the first k of the merge hold i of the left run and k - i of the right one.
    candidate *from = edges.data(), *to = other.data();
    for (size_t width = 1; width < size_t(threads); width *= 2) {
        const int64_t merges = int64_t((size_t(threads) + 2 * width - 1) / (2 * width));
        QUORL_OMP(parallel for num_threads(threads) schedule(dynamic, 1))
        for (int64_t task = 0; task < merges * threads; ++task) {
            const size_t g = size_t(task / threads), piece = size_t(task % threads);
            const size_t lo = cut[g * 2 * width];
            const size_t mid = cut[std::min(g * 2 * width + width, size_t(threads))];
            const size_t hi = cut[std::min(g * 2 * width + 2 * width, size_t(threads))];
            const candidate *a = from + lo, *b = from + mid;
            const size_t la = mid - lo, lb = hi - mid;
            const auto split = [&](size_t k) {
                size_t l = k > lb ? k - lb : 0, h = std::min(k, la);
                while (l < h) {
                    const size_t i = (l + h) / 2;
                    if (before(a[i], b[k - i - 1]))
                        l = i + 1;
                    else
                        h = i;
                }
                return l;
            };
            const size_t k0 = (la + lb) * piece / size_t(threads);
            const size_t k1 = (la + lb) * (piece + 1) / size_t(threads);
            const size_t i0 = split(k0), i1 = split(k1);
            std::merge(a + i0, a + i1, b + (k0 - i0), b + (k1 - i1), to + lo + k0, before);
        }
        std::swap(from, to);
    }
    if (from != edges.data()) edges.swap(other);
}

// The edges in the order of their keys (sorted here unless `sorted` says they are), as
// emst_edges; `squared` and `lengths` are filled by the caller.
emst_edges SortedEdges(checked_vector<candidate> &edges, int32_t threads, bool sorted = false) {
    if (!sorted) SortEdges(edges, threads);
    StageMark("sort");
    emst_edges out;
    out.ends.resize(2 * edges.size());
    out.squared.resize(edges.size());
    out.lengths.resize(edges.size());
    const int64_t m = int64_t(edges.size());
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int64_t e = 0; e < m; ++e) {
        out.ends[2 * size_t(e)] = edges[size_t(e)].i;
        out.ends[2 * size_t(e) + 1] = edges[size_t(e)].j;
    }
    return out;
}

}  // namespace

void TreeTies(int32_t n, size_t m, const int64_t *ends, const double *weights, const int32_t *pairs,
              const double *w, size_t t, uint8_t *keep) {
    if (n < 2) {
        if (t > 0) throw std::invalid_argument("pair 0 joins no two points of the tree");
        return;
    }
    checked_vector<candidate> edges(m);
    checked_vector<uint64_t> own(m);  // the tree's edges, as PairKey of their ends
    for (size_t e = 0; e < m; ++e) {
        const int32_t a = int32_t(ends[2 * e]), b = int32_t(ends[2 * e + 1]);
        edges[e] = {weights[e], std::min(a, b), std::max(a, b), a, b};
        own[e] = PairKey(std::min(a, b), std::max(a, b));
    }
    std::sort(own.begin(), own.end());
    merge_tree tree;
    MergeTree<false>(n, edges, nullptr, tree);
    checked_vector<candidate>().swap(edges);
    if (tree.merges() != n - 1) throw std::invalid_argument("the edges do not span the points");
    for (size_t k = 0; k < t; ++k) {
        ThrowIfStoppedAt(k);
        const int32_t a = pairs[2 * k], b = pairs[2 * k + 1];
        if (a == b)
            throw std::invalid_argument("pair " + std::to_string(k) + " joins a point to itself");
        const double h = tree.Between(a, b);
        if (w[k] < h)
            throw std::invalid_argument("pair " + std::to_string(k) +
                                        " is lighter than the tree's path between its ends");
        keep[k] = w[k] == h && !std::binary_search(own.begin(), own.end(),
                                                   PairKey(std::min(a, b), std::max(a, b)));
    }
}

emst_edges EuclideanMST(const double *xs, int32_t n, int32_t d, int32_t workers) {
    if (n < 2) return emst_edges();
    checked_vector<candidate> edges;
    {
        bucket_tree t;
        ordered_points p;
        {
            const progress_span stage("tree", 0.0, 0.15);
            BuildBucketTree(xs, n, d, kBucket, t, p, workers);
        }
        edges.reserve(size_t(n) - 1);
        const int32_t k = std::min(kNeighbours, n - 1);
        checked_vector<int32_t> near(size_t(n) * size_t(k));
        {
            const progress_span stage("neighbours", 0.15, 0.35);
            NearestNeighbours(t, p, k, near.data(), nullptr, workers);
        }
        const squared_key metric;
        const progress_span stage("rounds", 0.35, 0.9);
        WithDimension(d, [&](auto dim) {
            constexpr int D = decltype(dim)::value;
            if (p.group_end.empty())
                Rounds<D, false>(t, p, metric, near, k, workers, edges);
            else
                Rounds<D, true>(t, p, metric, near, k, workers, edges);
        });
    }
    const progress_span stage("sort", 0.9, 1.0);
    const int32_t threads = edges.size() >= size_t(kThreadedPoints) ? UsableThreads(workers) : 1;
    emst_edges out = SortedEdges(edges, threads);
    const int64_t m = int64_t(edges.size());
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int64_t e = 0; e < m; ++e) {
        out.squared[size_t(e)] = edges[size_t(e)].w;
        out.lengths[size_t(e)] = std::sqrt(edges[size_t(e)].w);
    }
    StageMark("edges out");
    return out;
}

emst_edges MutualReachabilityMST(const double *xs, int32_t n, int32_t d, int32_t min_samples,
                                 double alpha, checked_vector<double> &core, tie_edges *ties,
                                 int32_t workers, checked_vector<int32_t> *order, uint64_t max_ties,
                                 const double *given_core, checked_vector<double> *points,
                                 const int32_t *given_near, int32_t given_k) {
    core.assign(size_t(std::max(n, 0)), 0.0);
    if (ties) {
        const bool linkage_only = ties->linkage_only, lengths_only = ties->lengths_only;
        *ties = tie_edges();
        ties->linkage_only = linkage_only;
        ties->lengths_only = lengths_only;
    }
    if (order) order->assign(size_t(std::max(n, 0)), 0);
    if (n < 2) return emst_edges();
    checked_vector<candidate> edges;
    // The points in the tree's order, kept for the edges' squared lengths.
    checked_vector<double> ordered_xs;
    {
        bucket_tree t;
        ordered_points p;
        {
            const progress_span stage("tree", 0.0, 0.1);
            BuildBucketTree(xs, n, d, kBucket, t, p, workers);
        }
        if (points) checked_vector<double>().swap(*points);
        edges.reserve(size_t(n) - 1);
        // One neighbour search gives both the cores and the list the rounds start from. One
        // beyond the core's neighbour bounds the points past the list above core_q, so that a
        // listed point at reachability core_q is known to be q's nearest.
        // With the cores given, min_samples - 1 neighbours are listed, as many as made them.
        const int32_t kc = given_core ? 0 : std::min(min_samples - 1, n - 1);
        const int32_t listed = given_core ? min_samples - 1 : kc + 1;
        // Equal points are listed run by run: they take the search's own lists.
        const bool given = given_near && given_core && p.group_end.empty();
        // Long lists (a large min_samples) are cut once the cores are known, so that they do not
        // hold most of the fit's memory: the rounds and the tie search take any list that holds
        // every point strictly nearer than its last.
        const bool cut = !given_core && p.group_end.empty() && listed > kListFrom;
        const int32_t k = given ? std::min(given_k, n - 1)
                          : cut ? kListCut
                                : std::min(std::max(kNeighbours, listed), n - 1);
        checked_vector<int32_t> near(size_t(n) * size_t(k));
        checked_vector<double> kth(cut ? size_t(n) : 0);
        if (cut) {
            const progress_span stage("core distances", 0.1, 0.35);
            NearestNeighbours(t, p, kc, near.data(), nullptr, workers, k, kth.data());
        } else if (given) {
            // The given lists in the tree's positions; under the reachability the rounds read a
            // list only as candidates and its last's length as a floor, so the order of equal
            // lengths does not matter.
            checked_vector<int32_t> at(static_cast<size_t>(n));
            for (int32_t q = 0; q < n; ++q) at[size_t(p.id[size_t(q)])] = q;
            for (int32_t q = 0; q < n; ++q) {
                const int32_t *from = &given_near[size_t(p.id[size_t(q)]) * size_t(given_k)];
                for (int32_t c = 0; c < k; ++c)
                    near[size_t(q) * size_t(k) + size_t(c)] = at[size_t(from[c])];
            }
        } else {
            const progress_span stage("core distances", 0.1, 0.35);
            NearestNeighbours(t, p, k, near.data(), nullptr, workers);
        }
        const size_t dd = size_t(d);
        checked_vector<double> pos_core(size_t(n), 0.0), node_core(size_t(t.nodes));
        const int32_t threads = n >= kThreadedPoints ? UsableThreads(workers) : 1;
        const int32_t cored = kc > 0 ? n : 0;  // the cores stay 0 for min_samples = 1
        if (given_core)
            for (int32_t q = 0; q < n; ++q)
                core[size_t(p.id[size_t(q)])] = pos_core[size_t(q)] = given_core[p.id[size_t(q)]];
        QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
        for (int32_t qi = 0; qi < cored; ++qi) {
            const size_t q = size_t(qi);
            pos_core[q] = std::sqrt(
                cut ? kth[q]
                    : SquaredLength(&p.xs[q * dd],
                                    &p.xs[size_t(near[q * size_t(k) + size_t(kc) - 1]) * dd], d));
            core[size_t(p.id[q])] = pos_core[q];
        }
        QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
        for (int32_t v = 0; v < t.nodes; ++v) {
            if (!t.bucket(v)) continue;
            double m = kInf;
            const int32_t s = t.start[size_t(v)], e = s + t.count[size_t(v)];
            for (int32_t r = s; r < e; ++r) m = std::min(m, pos_core[size_t(r)]);
            node_core[size_t(v)] = m;
        }
        // Children come after their parent in pre-order: one backward pass sees them first.
        for (int32_t v = t.nodes - 1; v >= 0; --v)
            if (!t.bucket(v))
                node_core[size_t(v)] =
                    std::min(node_core[size_t(v) + 1], node_core[size_t(t.right[size_t(v)])]);
        const reachability_key metric{pos_core.data(), node_core.data(), alpha,
                                      alpha == 1.0 ? kc : 0};
        checked_vector<double>().swap(kth);
        StageMark("cores");
        WithDimension(d, [&](auto dim) {
            constexpr int D = decltype(dim)::value;
            {
                const progress_span stage("rounds", 0.35, ties ? 0.75 : 0.9);
                if (p.group_end.empty())
                    Rounds<D, false>(t, p, metric, near, k, workers, edges);
                else
                    Rounds<D, true>(t, p, metric, near, k, workers, edges);
            }
            if (!ties) return;
            const progress_span stage("ties", 0.75, 0.9);
            SortEdges(edges, threads);
            if (p.group_end.empty())
                TieEdges<D, false>(t, p, metric, edges, near, k, kc, threads, max_ties, *ties);
            else
                TieEdges<D, true>(t, p, metric, edges, near, k, kc, threads, max_ties, *ties);
        });
        if (ties) {
            // Positions, or input positions without `order`.
            auto name = [&](int32_t q) { return order ? q : p.id[size_t(q)]; };
            if (!order)
                for (int32_t &x : ties->ends) x = p.id[size_t(x)];
            if (!p.group_end.empty()) {
                ties->twin.resize(size_t(n));
                for (int32_t q = 0; q < n;) {
                    const int32_t end = p.group_end[size_t(q)];
                    for (int32_t r = q; r < end; ++r)
                        ties->twin[size_t(name(r))] = name(r + 1 < end ? r + 1 : q);
                    q = end;
                }
            }
        }
        if (order) order->assign(p.id.begin(), p.id.end());
        ordered_xs.swap(p.xs);
    }
    const progress_span stage("sort", 0.9, 1.0);
    const int32_t threads = edges.size() >= size_t(kThreadedPoints) ? UsableThreads(workers) : 1;
    // The tie search had them sorted already.
    emst_edges out = SortedEdges(edges, threads, ties != nullptr);
    const int64_t m = int64_t(edges.size());
    const double *ox = ordered_xs.data();
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int64_t e = 0; e < m; ++e) {
        const candidate &c = edges[size_t(e)];
        // Rows a and b of the ordered points are rows i and j of the input, bit for bit.
        out.squared[size_t(e)] =
            SquaredLength(&ox[size_t(c.a) * size_t(d)], &ox[size_t(c.b) * size_t(d)], d);
        out.lengths[size_t(e)] = c.w;
    }
    StageMark("edges out");
    return out;
}
