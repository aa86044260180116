#include "spanner/spanner.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/interrupt.h"
#include "neighbors/knn.h"
#include "neighbors/search.h"
#include "tree/bucket.h"
#include "tree/distance.h"

namespace {

// How many nearest neighbours of each point the greedy pass looks at: the greedy spanner's edges
// are nearly all among them, and more only add searches. Closer to 1, t keeps longer edges.
int32_t CandidateCount(double t, int32_t d) {
    const int32_t base = t < 1.25 ? 16 : t < 1.75 ? 10 : 8;
    return d >= 4 ? 2 * base : base;
}

constexpr double kFar = std::numeric_limits<double>::infinity();

// How many landmarks bound the cover's path searches: each costs a search of the whole graph
// and 8 bytes a point, and 16 look at about a fourth of the points that none would.
constexpr int32_t kLandmarks = 16;

// How much more than the path so far the estimate of what is left weighs in a search that
// wants some path within its budget rather than the shortest: a third fewer points looked at.
constexpr double kGreed = 1.3;

// How far around each point, in distances to its farthest candidate neighbour, the local pass
// checks every pair with one search: a fourth fewer points looked at in all, at t = 1.5.
constexpr double kLocalReach = 2.0;

// How much farther than its budget a cover search looks, and how many of the last searches are
// kept (2^kMemoBits): a sixth fewer points looked at, at t = 1.5.
constexpr double kWiden = 1.5;
constexpr int kMemoBits = 16;

// Nodes of at most this many points keep each point's distance from their representative, so
// that a pair of them is certified from its own point pairs rather than from its boxes.
constexpr int32_t kSmallNode = 16;

// Computed lengths and box bounds are rounded; the certificates give this much away.
constexpr double kSlack = 1e-12;

struct candidate {
    double squared;
    int32_t i, j;
    bool operator<(const candidate &o) const {
        if (squared != o.squared) return squared < o.squared;
        if (i != o.i) return i < o.i;
        return j < o.j;
    }
};

template <int D>
class builder {
  public:
    builder(const double *xs, int32_t m, int32_t d, double t, int64_t limit)
        : xs_(xs), m_(m), d_(d), t_(t), limit_(limit), head_(static_cast<size_t>(m), -1),
          dist_(static_cast<size_t>(m), kFar) {}

    int64_t edges() const { return int64_t(to_.size() / 2); }
    const checked_vector<int32_t> &ends() const { return to_; }
    const checked_vector<double> &weights() const { return w_; }


    double SquaredTo(int32_t u, const double *x) const { return SquaredLength(X(u), x, dims()); }
    double Length(int32_t u, int32_t v) const {
        return std::sqrt(SquaredLength(X(u), X(v), dims()));
    }

    void Add(int32_t u, int32_t v, double length) {
        if (edges() >= limit_) throw edge_limit_reached{edges()};
        Link(u, v, length);
        Link(v, u, length);
    }

    // Whether the graph joins u and v by a path no longer than budget: A* under the
    // straight-line distance to v, which never overestimates what is left, so that nothing
    // farther than the budget needs to be looked at and "false" means that there is no such path.
    // With `landmarks`, the estimate is also bounded below by the landmarks' distances to v and
    // to the point (the triangle inequality), as they were when they were measured: much
    // closer to the truth, so that far fewer points are looked at, but edges added since can
    // make it an overestimate, and "false" then only means that no path was found. The search
    // then also leans toward v (kGreed), since any path within the budget will do.
    bool Within(int32_t u, int32_t v, double budget, bool landmarks = false) {
        return Path(u, v, budget, landmarks) <= budget;
    }

    // The length of the path that search finds, infinity when it finds none within the budget.
    double Path(int32_t u, int32_t v, double budget, bool landmarks) {
        if (u == v) return 0.0;
        const double *target = X(v);
        const double *from = landmarks ? &land_[size_t(v) * size_t(lands_)] : nullptr;
        auto estimate = [&](int32_t y) {
            double h = std::sqrt(SquaredLength(X(y), target, dims()));
            if (from) {
                const double *to = &land_[size_t(y) * size_t(lands_)];
                for (int32_t k = 0; k < lands_; ++k)
                    // Between parts the graph did not join, the difference is not a bound.
                    if (from[k] < kFar && to[k] < kFar) h = std::max(h, std::abs(from[k] - to[k]));
            }
            return h;
        };
        double found = kFar;
        dist_[size_t(u)] = 0.0;
        touched_.push_back(u);
        heap_.push_back({estimate(u), 0.0, u});
        while (!heap_.empty()) {
            ThrowIfStopped();
            std::pop_heap(heap_.begin(), heap_.end());
            const entry e = heap_.back();
            heap_.pop_back();
            if (e.node == v) {
                found = e.g;
                break;
            }
            if (e.g > dist_[size_t(e.node)]) continue;  // a shorter way here was found since
            for (int32_t a = head_[size_t(e.node)]; a >= 0; a = next_[size_t(a)]) {
                const int32_t y = to_[size_t(a)];
                const double g = e.g + w_[size_t(a)];
                if (g >= dist_[size_t(y)]) continue;
                const double h = estimate(y);
                if (g + h > budget) continue;
                if (dist_[size_t(y)] == kFar) touched_.push_back(y);
                dist_[size_t(y)] = g;
                heap_.push_back({g + (landmarks ? kGreed : 1.0) * h, g, y});
                std::push_heap(heap_.begin(), heap_.end());
            }
        }
        for (int32_t x : touched_) dist_[size_t(x)] = kFar;
        touched_.clear();
        heap_.clear();
        return found;
    }

    // Measures the distances in the graph from `count` landmarks to every point: the first
    // point, then each time the point farthest from those chosen, so that they lie spread out
    // around the points, where their distances bound most paths well.
    void MeasureLandmarks(int32_t count) {
        lands_ = std::min(count, m_);
        land_.assign(size_t(lands_) * size_t(m_), kFar);
        checked_vector<double> nearest(size_t(m_), kFar);
        int32_t pick = 0;
        for (int32_t k = 0; k < lands_; ++k) {
            land_[size_t(pick) * size_t(lands_) + size_t(k)] = 0.0;
            heap_.push_back({0.0, 0.0, pick});
            while (!heap_.empty()) {
                ThrowIfStopped();
                std::pop_heap(heap_.begin(), heap_.end());
                const entry e = heap_.back();
                heap_.pop_back();
                if (e.g > land_[size_t(e.node) * size_t(lands_) + size_t(k)]) continue;
                for (int32_t a = head_[size_t(e.node)]; a >= 0; a = next_[size_t(a)]) {
                    const int32_t y = to_[size_t(a)];
                    const double g = e.g + w_[size_t(a)];
                    double &best = land_[size_t(y) * size_t(lands_) + size_t(k)];
                    if (g >= best) continue;
                    best = g;
                    heap_.push_back({g, g, y});
                    std::push_heap(heap_.begin(), heap_.end());
                }
            }
            const int32_t chosen = pick;
            double farthest = -1.0;
            for (int32_t v = 0; v < m_; ++v) {
                nearest[size_t(v)] = std::min(nearest[size_t(v)], Length(v, chosen));
                if (nearest[size_t(v)] > farthest) {
                    farthest = nearest[size_t(v)];
                    pick = v;
                }
            }
        }
    }

    // How far the graph takes the points lo..hi from a, a among them, looking no farther than
    // `radius`: the largest distance found (infinity when some point lies beyond the radius),
    // and the largest of min(distance, t |pa|) over the points p, into `capped`; with `legs`,
    // each point's distance too (legs[p - lo]).
    double Eccentricity(int32_t a, int32_t lo, int32_t hi, double radius, double &capped,
                        double *legs = nullptr) {
        int32_t left = hi - lo + 1;
        dist_[size_t(a)] = 0.0;
        touched_.push_back(a);
        heap_.push_back({0.0, 0.0, a});
        while (!heap_.empty() && left > 0) {
            ThrowIfStopped();
            std::pop_heap(heap_.begin(), heap_.end());
            const entry e = heap_.back();
            heap_.pop_back();
            if (e.g > dist_[size_t(e.node)]) continue;
            if (e.node >= lo && e.node <= hi) --left;
            for (int32_t arc = head_[size_t(e.node)]; arc >= 0; arc = next_[size_t(arc)]) {
                const int32_t y = to_[size_t(arc)];
                const double g = e.g + w_[size_t(arc)];
                if (g >= dist_[size_t(y)] || g > radius) continue;
                if (dist_[size_t(y)] == kFar)
                    touched_.push_back(y);
                dist_[size_t(y)] = g;
                heap_.push_back({g, g, y});
                std::push_heap(heap_.begin(), heap_.end());
            }
        }
        double found = 0.0;
        capped = 0.0;
        for (int32_t p = lo; p <= hi; ++p) {
            const double g = dist_[size_t(p)];
            if (legs) legs[p - lo] = g;
            found = std::max(found, g);
            capped = std::max(capped, std::min(g, t_ * Length(p, a)));
        }
        for (int32_t x : touched_) dist_[size_t(x)] = kFar;
        touched_.clear();
        heap_.clear();
        return found;
    }

    // Distances from u to everything within `radius`, kept until Forget(): Reached(v) is the
    // distance to v, infinity beyond the radius.
    void Reach(int32_t u, double radius) {
        dist_[size_t(u)] = 0.0;
        touched_.push_back(u);
        heap_.push_back({0.0, 0.0, u});
        while (!heap_.empty()) {
            ThrowIfStopped();
            std::pop_heap(heap_.begin(), heap_.end());
            const entry e = heap_.back();
            heap_.pop_back();
            if (e.g > dist_[size_t(e.node)]) continue;
            for (int32_t a = head_[size_t(e.node)]; a >= 0; a = next_[size_t(a)]) {
                const int32_t y = to_[size_t(a)];
                const double g = e.g + w_[size_t(a)];
                if (g >= dist_[size_t(y)] || g > radius) continue;
                if (dist_[size_t(y)] == kFar) touched_.push_back(y);
                dist_[size_t(y)] = g;
                heap_.push_back({g, g, y});
                std::push_heap(heap_.begin(), heap_.end());
            }
        }
    }
    double Reached(int32_t v) const { return dist_[size_t(v)]; }
    void Forget() {
        for (int32_t x : touched_) dist_[size_t(x)] = kFar;
        touched_.clear();
    }

    // Keeps (i, j) unless the graph already has a path within t times its length.
    void Greedy(int32_t i, int32_t j, double length) {
        if (!Within(i, j, t_ * length)) Add(i, j, length);
    }

  private:
    struct entry {
        double f, g;
        int32_t node;
        bool operator<(const entry &o) const { return f > o.f; }  // the least f on top
    };

    int32_t dims() const { return D > 0 ? D : d_; }
    const double *X(int32_t v) const { return xs_ + size_t(v) * size_t(dims()); }

    void Link(int32_t u, int32_t v, double length) {
        next_.push_back(head_[size_t(u)]);
        to_.push_back(v);
        w_.push_back(length);
        head_[size_t(u)] = int32_t(to_.size() - 1);
    }

    const double *xs_;
    int32_t m_, d_;
    double t_;
    int64_t limit_;
    int32_t lands_ = 0;
    checked_vector<double> land_;  // point-major: the landmarks' distances to point v together
    checked_vector<int32_t> head_, next_, to_;  // arc a runs to to_[a]; its edge is a / 2
    checked_vector<double> w_;
    checked_vector<double> dist_;
    checked_vector<int32_t> touched_;
    checked_vector<entry> heap_;
};

// The greedy pass over the nearest neighbours of the m distinct points xs. Returns for each
// point how far around it the local pass looks: kLocalReach times its k-th neighbour's distance.
template <int D>
checked_vector<double> NeighbourPass(const double *xs, int32_t m, int32_t d, double t,
                                     int32_t workers, builder<D> &b) {
    checked_vector<double> reach(static_cast<size_t>(m), 0.0);
    if (m < 2) return reach;
    const int32_t k = std::min(CandidateCount(t, d), m - 1);
    checked_vector<candidate> all;
    {
        const knn_rows rows = KNearestNeighbours(xs, m, d, k, workers);
        all.reserve(static_cast<size_t>(m) * static_cast<size_t>(k));
        for (int32_t i = 0; i < m; ++i) {
            for (int32_t c = 0; c < k; ++c) {
                const size_t at = size_t(i) * size_t(k) + size_t(c);
                const int32_t j = int32_t(rows.index[at]);
                all.push_back({rows.squared[at], std::min(i, j), std::max(i, j)});
            }
            const size_t last = size_t(i) * size_t(k) + size_t(k) - 1;
            reach[size_t(i)] = kLocalReach * std::sqrt(rows.squared[last]);
        }
    }
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end(),
                          [](const candidate &x, const candidate &y) {
                              return x.i == y.i && x.j == y.j;
                          }),
              all.end());
    for (size_t c = 0; c < all.size(); ++c) {
        if ((c & 4095) == 0) {
            ThrowIfStopped();
            Progress(double(c) / double(all.size()));
        }
        b.Greedy(all[c].i, all[c].j, std::sqrt(all[c].squared));
    }
    return reach;
}

// Checks every pair (p, q), p < q, with |pq| <= reach[p], by one search from p out to t reach[p]
// (far cheaper than a search per pair), adding the edges the greedy rule asks for, shortest first.
template <int D>
void LocalPass(const bucket_tree &tree, const checked_vector<int32_t> &vertex,
               const checked_vector<double> &reach, double t, const double *xs, builder<D> &b) {
    const int32_t d = tree.d;
    const int32_t m = int32_t(reach.size());
    checked_vector<int32_t> bucket_of(static_cast<size_t>(m));
    for (int32_t v = 0; v < tree.nodes; ++v)
        if (tree.bucket(v)) bucket_of[size_t(vertex[size_t(tree.start[size_t(v)])])] = v;
    near_search<D> search(tree);
    checked_vector<int32_t> around;
    checked_vector<candidate> missing;
    struct ball {
        const bucket_tree &tree;
        const checked_vector<int32_t> &vertex;
        const double *xs, *x;
        int32_t d;
        double r2;
        checked_vector<int32_t> &out;
        double bound() const { return r2; }
        bool open(int32_t) const { return true; }
        void scan(int32_t v) {
            const int32_t w = vertex[size_t(tree.start[size_t(v)])];
            if (SquaredLength(x, xs + size_t(w) * size_t(d), d) <= r2) out.push_back(w);
        }
        void passed(double) const {}
    };
    for (int32_t p = 0; p < m; ++p) {
        ThrowIfStopped();
        if ((p & 1023) == 0) Progress(double(p) / double(m));
        const double r = reach[size_t(p)];
        const double *x = xs + size_t(p) * size_t(d);
        around.clear();
        ball visitor{tree, vertex, xs, x, d, r * r, around};
        search.Run(x, bucket_of[size_t(p)], visitor);
        b.Reach(p, t * r);
        missing.clear();
        for (int32_t q : around) {
            if (q <= p) continue;
            const double pq = b.Length(p, q);
            if (!(b.Reached(q) <= t * pq)) missing.push_back({pq, p, q});
        }
        b.Forget();
        std::sort(missing.begin(), missing.end());
        for (const candidate &c : missing) b.Greedy(c.i, c.j, c.squared);
    }
}

// Covers every pair of points by node pairs of the tree over the distinct points, adding the
// edges that no path makes up for.
template <int D>
void CoverPass(const bucket_tree &tree, const checked_vector<int32_t> &vertex,
               const checked_vector<double> &reach, double t, builder<D> &b) {
    const int32_t d = tree.d;
    near_search<D> boxes(tree);
    auto diagonal = [&](int32_t v) {
        const double *lo = tree.lo(v), *hi = lo + d;
        double sum = 0.0;
        for (int32_t k = 0; k < d; ++k) sum += (hi[k] - lo[k]) * (hi[k] - lo[k]);
        return std::sqrt(sum) * (1 + kSlack);
    };
    auto gap = [&](int32_t u, int32_t v) { return std::sqrt(boxes.BoxBoxBound(u, tree.lo(v))); };
    auto first = [&](int32_t v) { return vertex[size_t(tree.start[size_t(v)])]; };
    auto last = [&](int32_t v) {
        return vertex[size_t(tree.start[size_t(v)] + tree.count[size_t(v)] - 1)];
    };

    // Each node's representative, the one of its children's nearer its box's center, so that the
    // node's points lie close to it; and how far the graph takes them from it: measured, and with
    // t |pa| in place of what is longer, which holds by induction for |pa| below a pair's gap.
    const size_t nodes = size_t(tree.nodes);
    checked_vector<int32_t> rep(nodes);
    checked_vector<double> measured(nodes, 0.0), capped(nodes, 0.0);
    checked_vector<double> center(static_cast<size_t>(d));
    checked_vector<int64_t> leg_at(nodes, -1);  // where a small node's distances start in legs
    checked_vector<double> legs;
    for (int32_t v = tree.nodes - 1; v >= 0; --v) {
        if (tree.bucket(v)) {
            rep[size_t(v)] = first(v);
            continue;
        }
        const double *lo = tree.lo(v), *hi = lo + d;
        for (int32_t k = 0; k < d; ++k) center[size_t(k)] = lo[k] + (hi[k] - lo[k]) / 2;
        const int32_t l = rep[size_t(v) + 1], r = rep[size_t(tree.right[size_t(v)])];
        rep[size_t(v)] =
            b.SquaredTo(l, center.data()) <= b.SquaredTo(r, center.data()) ? l : r;
        const bool small = last(v) - first(v) < kSmallNode;
        if (small) {
            leg_at[size_t(v)] = int64_t(legs.size());
            legs.resize(legs.size() + size_t(last(v) - first(v) + 1));
        }
        measured[size_t(v)] =
            b.Eccentricity(rep[size_t(v)], first(v), last(v), t * diagonal(v), capped[size_t(v)],
                           small ? &legs[size_t(leg_at[size_t(v)])] : nullptr) *
            (1 + kSlack);
        capped[size_t(v)] *= 1 + kSlack;
    }

    // d(p, a) for p in a small node A: measured, or t |pa| when that is less and |pa| < |pq|,
    // by induction.
    auto leg = [&](int32_t node, int32_t p, int32_t a, double pq) {
        if (p == a) return 0.0;
        const double pa = b.Length(p, a);
        const double measured_pa = legs[size_t(leg_at[size_t(node)] + (p - first(node)))];
        return std::min(measured_pa, pa < pq ? t * pa : kFar) * (1 + kSlack);
    };
    // The least t |pq| - d(p, a) - d(b, q) over the point pairs of two small nodes (or buckets).
    auto pair_budget = [&](int32_t na, int32_t nb, int32_t ra, int32_t rb) {
        double least = kFar;
        for (int32_t p = first(na); p <= last(na); ++p)
            for (int32_t q = first(nb); q <= last(nb); ++q) {
                const double pq = b.Length(p, q);
                const double lp = tree.bucket(na) ? 0.0 : leg(na, p, ra, pq);
                const double lq = tree.bucket(nb) ? 0.0 : leg(nb, q, rb, pq);
                least = std::min(least, t * pq * (1 - kSlack) - lp - lq);
            }
        return least;
    };
    auto small = [&](int32_t v) { return tree.bucket(v) || leg_at[size_t(v)] >= 0; };
    // The least reach of a node's points, and the farthest two points of two boxes can be:
    // a pair of nodes within it was checked point by point by the local pass.
    checked_vector<double> least_reach(nodes);
    for (int32_t v = tree.nodes - 1; v >= 0; --v)
        least_reach[size_t(v)] =
            tree.bucket(v) ? reach[size_t(first(v))]
                           : std::min(least_reach[size_t(v) + 1],
                                      least_reach[size_t(tree.right[size_t(v)])]);
    auto farthest = [&](int32_t u, int32_t v) {
        const double *lu = tree.lo(u), *hu = lu + d, *lv = tree.lo(v), *hv = lv + d;
        double sum = 0.0;
        for (int32_t k = 0; k < d; ++k) {
            const double span = std::max(hv[k] - lu[k], hu[k] - lv[k]);
            sum += span * span;
        }
        return std::sqrt(sum) * (1 + kSlack);
    };

    b.MeasureLandmarks(kLandmarks);
    // The last search between two representatives, kept by their pair: a pair of nodes that
    // fails is split, and the half that keeps the representative asks again, with a larger
    // budget. So each search looks a little farther than it must (kWiden), and what it found,
    // or that it found nothing so far, answers the halves without a search.
    struct memo_entry {
        int32_t a = -1, b = -1;
        double length = kFar, searched = -1.0;
    };
    checked_vector<memo_entry> memo(size_t(1) << kMemoBits);
    auto certified = [&](int32_t na, int32_t nb, int32_t ra, int32_t rb, double budget) {
        const uint64_t key = (uint64_t(uint32_t(ra)) << 32 | uint32_t(rb)) * 0x9E3779B97F4A7C15u;
        memo_entry &e = memo[size_t(key >> (64 - kMemoBits))];
        if (e.a == ra && e.b == rb && (e.length <= budget || budget <= e.searched))
            return e.length <= budget;
        const double wide = std::max(budget, std::min(kWiden * budget, t * farthest(na, nb)));
        e = {ra, rb, b.Path(ra, rb, wide, true), wide};
        return e.length <= budget;
    };
    struct task {
        int32_t a, b;
    };
    checked_vector<task> stack;
    for (int32_t v = 0; v < tree.nodes; ++v) {
        if (tree.bucket(v)) continue;
        ThrowIfStopped();
        Progress(double(v) / double(tree.nodes));
        stack.push_back({v + 1, tree.right[size_t(v)]});
        while (!stack.empty()) {
            ThrowIfStopped();
            const task p = stack.back();
            stack.pop_back();
            if (farthest(p.a, p.b) <=
                std::min(least_reach[size_t(p.a)], least_reach[size_t(p.b)]))
                continue;
            const int32_t ra = rep[size_t(p.a)], rb = rep[size_t(p.b)];
            if (tree.bucket(p.a) && tree.bucket(p.b)) {
                b.Greedy(ra, rb, b.Length(ra, rb));
                continue;
            }
            const double da = diagonal(p.a), db = diagonal(p.b), g = gap(p.a, p.b);
            // p in A, q in B: d(p, q) <= d(p, a) + d(a, b) + d(b, q), and t g <= t |pq|.
            const double ea = da < g ? capped[size_t(p.a)] : measured[size_t(p.a)];
            const double eb = db < g ? capped[size_t(p.b)] : measured[size_t(p.b)];
            const double budget = small(p.a) && small(p.b)
                                      ? pair_budget(p.a, p.b, ra, rb)
                                      : t * g * (1 - kSlack) - ea - eb;
            // Every path is at least as long as the gap: below it nothing can certify.
            if (budget >= g && certified(p.a, p.b, ra, rb, budget)) continue;
            const bool split_a = !tree.bucket(p.a) && (tree.bucket(p.b) || da >= db);
            const int32_t whole = split_a ? p.b : p.a, cut = split_a ? p.a : p.b;
            const int32_t l = cut + 1, r = tree.right[size_t(cut)];
            // The nearer half is looked at first, so that an edge added below is a short one.
            const bool left_nearer = gap(l, whole) <= gap(r, whole);
            const int32_t near = left_nearer ? l : r, far = left_nearer ? r : l;
            stack.push_back(split_a ? task{far, whole} : task{whole, far});
            stack.push_back(split_a ? task{near, whole} : task{whole, near});
        }
    }
}

}  // namespace

spanner_edges GreedySpanner(const double *xs, int32_t n, int32_t d, double t, int64_t max_edges,
                            int32_t workers) {
    spanner_edges out;
    if (n < 2) return out;
    bucket_tree tree;
    ordered_points pts;
    {
        const progress_span stage("tree", 0.0, 0.05);
        BuildBucketTree(xs, n, d, 1, tree, pts, workers);
    }

    // The distinct points in leaf order, and for each position the distinct point it is.
    checked_vector<int32_t> vertex(static_cast<size_t>(n));
    checked_vector<int32_t> first;  // the position of each distinct point's first copy
    for (int32_t q = 0; q < n; ++q) {
        const bool starts = pts.group_end.empty() || q == 0 || pts.group_end[size_t(q) - 1] == q;
        if (starts) first.push_back(q);
        vertex[size_t(q)] = int32_t(first.size()) - 1;
    }
    const int32_t m = int32_t(first.size());
    const int64_t copies = int64_t(n) - m;
    if (copies > max_edges) throw edge_limit_reached{0};
    checked_vector<double> dx(static_cast<size_t>(m) * static_cast<size_t>(d));
    for (int32_t v = 0; v < m; ++v)
        std::copy_n(&pts.xs[size_t(first[size_t(v)]) * size_t(d)], d, &dx[size_t(v) * size_t(d)]);

    checked_vector<int32_t> ends;
    checked_vector<double> weights;
    WithDimension(d, [&](auto dim) {
        constexpr int D = decltype(dim)::value;
        builder<D> b(dx.data(), m, d, t, max_edges - copies);
        checked_vector<double> reach;
        {
            const progress_span stage("neighbours", 0.05, 0.3);
            reach = NeighbourPass(dx.data(), m, d, t, workers, b);
        }
        {
            const progress_span stage("local pass", 0.3, 0.6);
            LocalPass(tree, vertex, reach, t, dx.data(), b);
        }
        const progress_span stage("cover pass", 0.6, 1.0);
        CoverPass(tree, vertex, reach, t, b);
        ends = b.ends();
        weights = b.weights();
    });

    // Every edge once, (i, j) with i < j in input positions, ordered by (i, j).
    struct edge {
        int64_t i, j;
        double length;
    };
    checked_vector<edge> all;
    all.reserve(ends.size() / 2 + size_t(copies));
    for (size_t a = 0; a < ends.size(); a += 2) {
        const int64_t u = pts.id[size_t(first[size_t(ends[a + 1])])];
        const int64_t v = pts.id[size_t(first[size_t(ends[a])])];
        all.push_back({std::min(u, v), std::max(u, v), weights[a]});
    }
    for (int32_t q = 0; q < n; ++q) {
        const int32_t f = first[size_t(vertex[size_t(q)])];
        if (f == q) continue;
        const int64_t u = pts.id[size_t(f)], v = pts.id[size_t(q)];
        all.push_back({std::min(u, v), std::max(u, v), 0.0});
    }
    std::sort(all.begin(), all.end(), [](const edge &x, const edge &y) {
        return x.i != y.i ? x.i < y.i : x.j < y.j;
    });
    out.ends.reserve(2 * all.size());
    out.lengths.reserve(all.size());
    for (const edge &e : all) {
        out.ends.push_back(e.i);
        out.ends.push_back(e.j);
        out.lengths.push_back(e.length);
    }
    return out;
}
