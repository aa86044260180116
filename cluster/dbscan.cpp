#include "cluster/dbscan.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "blocks/pairs.h"
#include "common/interrupt.h"
#include "common/memory.h"
#include "common/parallel.h"
#include "common/stages.h"
#include "mst/union_find.h"
#include "neighbors/search.h"
#include "tree/bucket.h"

// Every bound below is exact, not approximate: rounding is monotone, so a rounded difference of
// coordinates lies between the rounded differences taken at the ends of a box, and sums of
// squares taken in the same order keep that. A box whose bound says "within eps" holds only pairs
// whose SquaredLength is within eps2, and a box whose bound says "beyond" none.
//
// A clique is a node whose box has a diagonal within eps: its core points are one component at
// once. The units of the union phase are the highest cliques and, in buckets below no clique,
// the single points; two units meet when some core point of each lies within eps of the other.

namespace {

// Small buckets: dense data then makes most buckets cliques, and sparse data pays little more.
const int32_t kBucket = 8;

// Runs f(chunk, begin, end) over the chunks of [0, n) on `threads` threads (from 2^14 items).
template <typename F>
void EachChunk(int32_t threads, size_t n, const F &f) {
    const bool many = threads > 1 && n >= (size_t(1) << 14);
    const int64_t chunks = many ? int64_t(threads) * 4 : 1;
    QUORL_OMP(parallel for num_threads(threads) schedule(static, 1) if (many))
    for (int64_t c = 0; c < chunks; ++c)
        f(c, n * size_t(c) / size_t(chunks), n * size_t(c + 1) / size_t(chunks));
}

// Numbers the entries of `marks` that are 0 by their rank among them, in order, and returns
// how many there were; the others are left as they are.
int64_t NumberInOrder(checked_vector<int32_t> &marks, int32_t threads) {
    const size_t n = marks.size();
    checked_vector<int64_t> before(size_t(threads) * 4 + 1, 0);
    EachChunk(threads, n, [&](int64_t c, size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) before[size_t(c) + 1] += marks[i] == 0;
    });
    for (size_t c = 1; c < before.size(); ++c) before[c] += before[c - 1];
    EachChunk(threads, n, [&](int64_t c, size_t begin, size_t end) {
        int64_t next = before[size_t(c)];
        for (size_t i = begin; i < end; ++i)
            if (marks[i] == 0) marks[i] = int32_t(next++);
    });
    return before.back();
}

template <int D>
class dbscan {
  public:
    dbscan(const bucket_tree &t, const ordered_points &p, double eps2, int32_t threads)
        : t_(t), p_(p), eps2_(eps2), threads_(threads) {}

    int32_t dims() const { return D > 0 ? D : t_.d; }
    const double *x(int32_t r) const { return &p_.xs[size_t(r) * size_t(dims())]; }
    int32_t end(int32_t v) const { return t_.start[size_t(v)] + t_.count[size_t(v)]; }

    // top_[v]: the highest clique holding node v, or -1 when no node above v or v is a clique.
    void FindCliques() {
        near_search<D> s(t_);
        top_.resize(size_t(t_.nodes));
        EachChunk(threads_, size_t(t_.nodes), [&](int64_t, size_t begin, size_t end) {
            for (size_t v = begin; v < end; ++v)
                top_[v] =
                    s.BoxBoxFarBound(int32_t(v), t_.lo(int32_t(v))) <= eps2_ ? int32_t(v) : -1;
        });
        // A parent comes before its children.
        for (int32_t v = 1; v < t_.nodes; ++v) {
            const int32_t up = top_[size_t(t_.parent[size_t(v)])];
            if (up >= 0) top_[size_t(v)] = up;
        }
    }

    // core_[r] for every ordered point: whether the points within eps of it number (or weigh)
    // at least `need`. `w` holds the weights in tree order (null: count).
    void FindCore(double need, const double *w) {
        const size_t n = p_.id.size();
        core_.assign(n, 0);
        if (!w && need <= 1.0) {
            std::fill(core_.begin(), core_.end(), uint8_t(1));
            return;
        }
        bool early = true;
        if (w) {
            wsum_.resize(size_t(t_.nodes));
            for (size_t r = 0; r < n; ++r) early = early && w[r] >= 0.0;
            for (int32_t v = t_.nodes - 1; v >= 0; --v) {
                double sum = 0.0;
                if (t_.bucket(v)) {
                    for (int32_t r = t_.start[size_t(v)]; r < end(v); ++r) sum = sum + w[r];
                } else {
                    sum = wsum_[size_t(v) + 1] + wsum_[size_t(t_.right[size_t(v)])];
                }
                wsum_[size_t(v)] = sum;
            }
        }
        struct counter {
            const dbscan &self;
            near_search<D> &s;
            const double *w, *x;
            double need, sum;
            bool early, done;
            double bound() const { return done ? -1.0 : self.eps2_; }
            static void passed(double) {}
            void Add(double a) {
                sum = sum + a;
                if (early && sum >= need) done = true;
            }
            bool open(int32_t v) {
                if (done) return false;
                if (s.BoxFarBound(v, x) > self.eps2_) return true;
                Add(w ? self.wsum_[size_t(v)] : double(self.t_.count[size_t(v)]));
                return false;
            }
            void scan(int32_t v) {
                for (int32_t r = self.t_.start[size_t(v)], e = self.end(v); r < e && !done; ++r)
                    if (SquaredLength(x, self.x(r), self.dims()) <= self.eps2_) Add(w ? w[r] : 1.0);
            }
        };
        EachBucket(
            t_, threads_, 128,
            [this] { return std::unique_ptr<near_search<D>>(new near_search<D>(t_)); },
            [&](int32_t v, near_search<D> &s) {
                // A clique that alone holds enough makes all its points core.
                const int32_t c = top_[size_t(v)];
                if (c >= 0 && early &&
                    (w ? wsum_[size_t(c)] : double(t_.count[size_t(c)])) >= need) {
                    std::fill(core_.begin() + t_.start[size_t(v)], core_.begin() + end(v), 1);
                    return;
                }
                for (int32_t r = t_.start[size_t(v)]; r < end(v); ++r) {
                    counter count{*this, s, w, x(r), need, 0.0, early, false};
                    s.Run(x(r), v, count);
                    core_[size_t(r)] = count.sum >= need;
                }
            });
    }

    // Per node: how many core points it holds and the first of them (-1: none).
    void CountCore() {
        ncore_.resize(size_t(t_.nodes));
        rep_.resize(size_t(t_.nodes));
        EachChunk(threads_, size_t(t_.nodes), [&](int64_t, size_t begin, size_t end) {
            for (size_t v = begin; v < end; ++v) {
                if (!t_.bucket(int32_t(v))) continue;
                int32_t count = 0, first = -1;
                for (int32_t r = t_.start[v]; r < this->end(int32_t(v)); ++r)
                    if (core_[size_t(r)]) {
                        if (first < 0) first = r;
                        ++count;
                    }
                ncore_[v] = count;
                rep_[v] = first;
            }
        });
        for (int32_t v = t_.nodes - 1; v >= 0; --v)
            if (!t_.bucket(v)) {
                const size_t l = size_t(v) + 1, r = size_t(t_.right[size_t(v)]);
                ncore_[size_t(v)] = ncore_[l] + ncore_[r];
                rep_[size_t(v)] = rep_[l] >= 0 ? rep_[l] : rep_[r];
            }
    }

    // The components of the core points: parent_ a union-find forest over ordered positions,
    // from one walk over the pairs of nodes near each other, split among the threads.
    void Join() {
        parent_.resize(p_.id.size());
        EachChunk(threads_, parent_.size(), [&](int64_t, size_t begin, size_t end) {
            for (size_t r = begin; r < end; ++r) parent_[r] = int32_t(r);
        });
        one_.assign(size_t(t_.nodes), -1);
        if (threads_ <= 1 || t_.nodes < 64) {
            joiner j(t_);
            Walk({0, -1, kSelf}, j, nullptr, 0);
            return;
        }
        // The walk's first steps on this thread, down to pieces of about `grain` points,
        // handed out in the order the walk would take them.
        checked_vector<task> tasks;
        {
            joiner j(t_);
            Walk({0, -1, kSelf}, j, &tasks,
                 std::max<int32_t>(64, int32_t(p_.id.size() / (size_t(threads_) * 32))));
        }
        StageMark("dbscan: clusters, split");
        task_errors errors(static_cast<size_t>(threads_));
        QUORL_OMP(parallel num_threads(threads_)) {
            PrepareExceptionStorage();
            const size_t me = size_t(ThreadNumber());
            std::unique_ptr<joiner> own;
            errors.Run(me, [&] { own.reset(new joiner(t_)); });
            QUORL_OMP(for schedule(dynamic, 1))
            for (int64_t i = 0; i < int64_t(tasks.size()); ++i) {
                if (!own || errors.stopped()) continue;
                try {
                    ThrowIfStopped();
                    Walk(tasks[size_t(i)], *own, nullptr, 0);
                    if ((i & 63) == 0) Progress(double(i) / double(tasks.size()));
                } catch (...) {
                    errors.Keep(me);
                }
            }
        }
        errors.Rethrow();
    }

    // Cluster numbers per ordered position: those of the core points by the lowest input
    // position of their component; then every other point the least number among the core
    // points within eps of it, or -1.
    void Number(checked_vector<int32_t> &cluster, int64_t &clusters) {
        const size_t n = p_.id.size();
        int32_t *up = parent_.data();
        checked_vector<int32_t> low(n, std::numeric_limits<int32_t>::max());
        EachChunk(threads_, n, [&](int64_t, size_t begin, size_t end) {
            for (size_t r = begin; r < end; ++r)
                if (core_[r]) {
                    const int32_t root = FindRootHalving(up, int32_t(r));
                    __atomic_store_n(&up[r], root, __ATOMIC_RELAXED);
                    int32_t *at = &low[size_t(root)], old = __atomic_load_n(at, __ATOMIC_RELAXED);
                    while (p_.id[r] < old &&
                           !__atomic_compare_exchange_n(at, &old, p_.id[r], true, __ATOMIC_RELAXED,
                                                        __ATOMIC_RELAXED)) {
                    }
                }
        });
        // The clusters in the order of their lowest input position.
        checked_vector<int32_t> number(n, -1);
        EachChunk(threads_, n, [&](int64_t, size_t begin, size_t end) {
            for (size_t r = begin; r < end; ++r)
                if (core_[r] && low[size_t(up[r])] == p_.id[r]) number[size_t(p_.id[r])] = 0;
        });
        clusters = NumberInOrder(number, threads_);
        cluster.assign(n, -1);
        EachChunk(threads_, n, [&](int64_t, size_t begin, size_t end) {
            for (size_t r = begin; r < end; ++r)
                if (core_[r]) cluster[r] = number[size_t(low[size_t(up[r])])];
        });
        parent_ = checked_vector<int32_t>();
        StageMark("dbscan: numbers");

        struct nearest_cluster {
            const dbscan &self;
            const checked_vector<int32_t> &cluster;
            const double *x;
            int32_t best;
            double bound() const { return best == 0 ? -1.0 : self.eps2_; }
            static void passed(double) {}
            bool open(int32_t v) const { return self.ncore_[size_t(v)] > 0; }
            void scan(int32_t v) {
                for (int32_t r = self.t_.start[size_t(v)], e = self.end(v); r < e; ++r)
                    if (self.core_[size_t(r)] && cluster[size_t(r)] < best &&
                        SquaredLength(x, self.x(r), self.dims()) <= self.eps2_)
                        best = cluster[size_t(r)];
            }
        };
        const progress_span stage("border points", 0.0, 1.0);
        EachBucket(
            t_, threads_, 128,
            [this] { return std::unique_ptr<near_search<D>>(new near_search<D>(t_)); },
            [&](int32_t v, near_search<D> &s) {
                if (ncore_[size_t(v)] == t_.count[size_t(v)]) return;
                for (int32_t r = t_.start[size_t(v)]; r < end(v); ++r) {
                    if (core_[size_t(r)]) continue;
                    nearest_cluster near{*this, cluster, x(r), std::numeric_limits<int32_t>::max()};
                    s.Run(x(r), v, near);
                    if (near.best != std::numeric_limits<int32_t>::max())
                        cluster[size_t(r)] = near.best;
                }
            });
    }

    const checked_vector<uint8_t> &core() const { return core_; }

  private:
    // The walk: kSelf joins what lies within node a, kPair what lies between nodes a and b
    // (disjoint), kDone learns what kSelf a found. Children are walked before the pair between
    // them, so a pair often finds both sides one component already and is skipped whole.
    enum step : int32_t { kSelf, kPair, kDone };
    struct task {
        int32_t a, b;
        step what;
    };

    // What one thread of the union phase works with.
    struct joiner {
        near_search<D> s;
        checked_vector<int32_t> roots;  // of the core points of a bucket, perhaps out of date
        checked_vector<task> stack;
        explicit joiner(const bucket_tree &t) : s(t) {}
    };

    // A unit: a highest clique, or a bucket below every clique.
    bool Unit(int32_t v) const {
        return top_[size_t(v)] == v || (top_[size_t(v)] < 0 && t_.bucket(v));
    }
    int32_t Find(int32_t r) { return FindRootHalving(parent_.data(), r); }
    // one_[v]: a point of the component that holds all of v's core points; -1 if not known.
    // Components only grow, so what is written stays true; threads may write it alike.
    int32_t One(int32_t v) const { return __atomic_load_n(&one_[size_t(v)], __ATOMIC_RELAXED); }
    void SetOne(int32_t v, int32_t r) { __atomic_store_n(&one_[size_t(v)], r, __ATOMIC_RELAXED); }
    void Learn(int32_t v) {
        if (One(v) >= 0 || t_.bucket(v)) return;
        const int32_t l = v + 1, r = t_.right[size_t(v)], ol = One(l), orr = One(r);
        if (ncore_[size_t(l)] == 0)
            SetOne(v, orr);
        else if (ncore_[size_t(r)] == 0)
            SetOne(v, ol);
        else if (ol >= 0 && orr >= 0 && Find(ol) == Find(orr))
            SetOne(v, ol);
    }

    // Runs the walk from `first`; with `out`, hands on every step of fewer than `grain` points
    // (a kPair counts both sides) instead of taking it.
    void Walk(task first, joiner &j, checked_vector<task> *out, int32_t grain) {
        checked_vector<task> &stack = j.stack;
        stack.clear();
        stack.push_back(first);
        for (uint32_t steps = 1; !stack.empty(); ++steps) {
            if ((steps & 1023) == 0) ThrowIfStopped();
            const task k = stack.back();
            stack.pop_back();
            const int32_t a = k.a, b = k.b;
            if (k.what == kDone) {
                Learn(a);
                if (out) out->push_back(k);
                continue;
            }
            if (ncore_[size_t(a)] == 0 || (k.what == kPair && ncore_[size_t(b)] == 0)) continue;
            if (k.what == kPair && j.s.BoxBoxBound(b, t_.lo(a)) > eps2_) continue;
            const int32_t size = t_.count[size_t(a)] + (k.what == kPair ? t_.count[size_t(b)] : 0);
            if (out && size < grain) {
                out->push_back(k);
                continue;
            }
            if (k.what == kSelf) {
                if (top_[size_t(a)] == a) {
                    const int32_t rep = rep_[size_t(a)];
                    for (int32_t r = t_.start[size_t(a)]; r < end(a); ++r)
                        if (core_[size_t(r)] && r != rep) Link(parent_.data(), rep, r);
                    SetOne(a, rep);
                } else if (t_.bucket(a)) {
                    PointsMeet(a, a, j);
                    int32_t common = -2;
                    for (int32_t r = t_.start[size_t(a)]; r < end(a) && common != -1; ++r)
                        if (core_[size_t(r)]) {
                            const int32_t root = Find(r);
                            common = common == -2 || common == root ? root : -1;
                        }
                    if (common >= 0) SetOne(a, common);
                } else {
                    const int32_t l = a + 1, r = t_.right[size_t(a)];
                    stack.push_back({a, -1, kDone});
                    stack.push_back({l, r, kPair});
                    stack.push_back({r, -1, kSelf});
                    stack.push_back({l, -1, kSelf});
                }
                continue;
            }
            Learn(a);
            Learn(b);
            const int32_t oa = One(a), ob = One(b);
            if (oa >= 0 && ob >= 0 && Find(oa) == Find(ob)) continue;
            const bool ua = Unit(a), ub = Unit(b);
            if (ua && ub) {
                MeetUnits(a, b, j);
                continue;
            }
            // Split the side that is no unit, the larger if neither is.
            const bool split_b = !ub && (ua || t_.count[size_t(b)] > t_.count[size_t(a)]);
            const int32_t x = split_b ? b : a, other = split_b ? a : b;
            stack.push_back({other, t_.right[size_t(x)], kPair});
            stack.push_back({other, x + 1, kPair});
        }
    }

    bool Near(int32_t a, int32_t b) const { return SquaredLength(x(a), x(b), dims()) <= eps2_; }

    // Whether some core point of clique (or bucket) c lies within eps of the point at r.
    bool Reaches(int32_t c, int32_t r, const near_search<D> &s) const {
        if (s.BoxBound(c, x(r)) > eps2_) return false;
        if (s.BoxFarBound(c, x(r)) <= eps2_) return true;
        for (int32_t q = t_.start[size_t(c)]; q < end(c); ++q)
            if (core_[size_t(q)] && Near(q, r)) return true;
        return false;
    }

    // The core points of bucket a against those of bucket b (a == b: each pair within a once),
    // both below every clique. Most pairs lie in one component already by the time they are
    // looked at; roots are cheaper to compare than points.
    void PointsMeet(int32_t a, int32_t b, joiner &j) {
        int32_t *up = parent_.data();
        const int32_t sb = t_.start[size_t(b)], eb = end(b);
        j.roots.resize(size_t(eb - sb));
        int32_t common = -2;  // the root of all of b's core points, -1 when they have several
        for (int32_t r = sb; r < eb; ++r)
            if (core_[size_t(r)]) {
                const int32_t root = FindRootHalving(up, r);
                j.roots[size_t(r - sb)] = root;
                common = common == -2 || common == root ? root : -1;
            }
        if (common >= 0) SetOne(b, common);
        for (int32_t q = t_.start[size_t(a)]; q < end(a); ++q) {
            if (!core_[size_t(q)]) continue;
            int32_t root = FindRootHalving(up, q);
            if (root == common || (a != b && j.s.BoxBound(b, x(q)) > eps2_)) continue;
            for (int32_t r = a == b ? q + 1 : sb; r < eb; ++r) {
                if (!core_[size_t(r)] || j.roots[size_t(r - sb)] == root || !Near(q, r)) continue;
                Link(up, q, r);
                root = FindRootHalving(up, q);
                j.roots[size_t(r - sb)] = root;
            }
        }
    }

    // Units a (home) and b, each a clique or a bucket of single points, both with a core point.
    void MeetUnits(int32_t a, int32_t b, joiner &j) {
        const near_search<D> &s = j.s;
        const bool ca = top_[size_t(a)] == a, cb = top_[size_t(b)] == b;
        int32_t *up = parent_.data();
        if (ca && cb) {
            const int32_t ra = rep_[size_t(a)], rb = rep_[size_t(b)];
            if (FindRootHalving(up, ra) == FindRootHalving(up, rb)) return;
            if (s.BoxBoxFarBound(b, t_.lo(a)) <= eps2_) {
                Link(up, ra, rb);
                return;
            }
            for (int32_t q = t_.start[size_t(a)]; q < end(a); ++q)
                if (core_[size_t(q)] && Reaches(b, q, s)) {
                    Link(up, ra, rb);
                    return;
                }
            return;
        }
        if (ca || cb) {
            const int32_t clique = ca ? a : b, points = ca ? b : a, rc = rep_[size_t(clique)];
            for (int32_t q = t_.start[size_t(points)]; q < end(points); ++q)
                if (core_[size_t(q)] && FindRootHalving(up, q) != FindRootHalving(up, rc) &&
                    Reaches(clique, q, s))
                    Link(up, q, rc);
            return;
        }
        PointsMeet(a, b, j);
    }

    const bucket_tree &t_;
    const ordered_points &p_;
    const double eps2_;
    const int32_t threads_;
    checked_vector<int32_t> top_, ncore_, rep_, parent_, one_;
    checked_vector<double> wsum_;
    checked_vector<uint8_t> core_;
};

}  // namespace

namespace {

// Panels a row group is measured against at a time.
const int64_t kTile = 256;

// The same labels from every pair measured in blocks, in input order throughout: the counts
// from one pass over the pairs of blocks, the components of the core points from a second (the
// root of each being its least point), then each other point's least root within eps from its
// rows against every point.
dbscan_result DenseDbscan(const double *xs, int32_t n, int32_t d, double eps2, double min_samples,
                          int32_t workers, bool list_core) {
    dbscan_result out;
    const int32_t threads = UsableThreads(workers);
    point_panels panels;
    FillPanels(xs, n, d, panels, workers);
    checked_vector<int32_t> count(static_cast<size_t>(n), 1);  // each point is its own neighbour
    {
        const progress_span stage("core points", 0.0, 0.4);
        EachPairOfBlocks(xs, n, d, panels, workers,
                         [&](int32_t q, int32_t c0, int32_t c1, const double *got, bool same) {
                             for (int32_t j = same ? q + 1 : c0; j < c1; ++j)
                                 if (got[j - c0] <= eps2) {
                                     ++count[size_t(q)];
                                     ++count[size_t(j)];
                                 }
                         });
    }
    checked_vector<uint8_t> core(static_cast<size_t>(n));
    checked_vector<int32_t> up(static_cast<size_t>(n));
    for (size_t i = 0; i < size_t(n); ++i) {
        core[i] = double(count[i]) >= min_samples;
        up[i] = int32_t(i);
    }
    count = checked_vector<int32_t>();
    StageMark("dbscan: core points");
    {
        const progress_span stage("clusters", 0.4, 0.8);
        EachPairOfBlocks(xs, n, d, panels, workers,
                         [&](int32_t q, int32_t c0, int32_t c1, const double *got, bool same) {
                             if (!core[size_t(q)]) return;
                             for (int32_t j = same ? q + 1 : c0; j < c1; ++j)
                                 if (core[size_t(j)] && got[j - c0] <= eps2) Link(up.data(), q, j);
                         });
    }
    StageMark("dbscan: clusters");
    // Clusters in the order of their roots, the least point of each.
    checked_vector<int32_t> number(static_cast<size_t>(n), -1);
    for (size_t i = 0; i < size_t(n); ++i)
        if (core[i]) {
            up[i] = FindRoot(up, int32_t(i));
            if (up[i] == int32_t(i)) number[i] = 0;
        }
    out.clusters = NumberInOrder(number, threads);
    out.labels.resize(size_t(n));
    checked_vector<int32_t> others;
    for (size_t i = 0; i < size_t(n); ++i) {
        out.labels[i] = core[i] ? number[size_t(up[i])] : -1;
        if (!core[i]) others.push_back(int32_t(i));
    }
    // Each other point takes the least root among the core points within eps of it.
    {
        const progress_span stage("border points", 0.8, 1.0);
        const square_kernels &kernels = SquareKernels();
        const int64_t groups = (int64_t(others.size()) + 3) / 4, np = panels.panels();
        const int32_t t = groups >= 16 ? threads : 1;
        task_errors errors(static_cast<size_t>(groups));
        QUORL_OMP(parallel num_threads(t) if (t > 1)) {
            PrepareExceptionStorage();
            checked_vector<double> got;
            QUORL_OMP(for schedule(dynamic, 4))
            for (int64_t g = 0; g < groups; ++g)
                errors.Run(size_t(g), [&] {
                    got.resize(size_t(4 * kTile * kLanes));
                    const double *rows[4];
                    const size_t first = size_t(g) * 4, last = std::min(others.size(), first + 4);
                    int32_t least[4] = {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};
                    for (size_t r = 0; r < 4; ++r)
                        rows[r] = xs + size_t(others[std::min(first + r, last - 1)]) * size_t(d);
                    for (int64_t p0 = 0; p0 < np; p0 += kTile) {
                        const int64_t tp = std::min(kTile, np - p0), stride = tp * kLanes;
                        kernels.four(rows, panels.panel(p0), tp, d, got.data(), stride);
                        const int32_t j0 = int32_t(p0 * kLanes);
                        const int32_t j1 = int32_t(std::min<int64_t>(n, j0 + stride));
                        for (size_t r = 0; r < last - first; ++r)
                            for (int32_t j = j0; j < j1; ++j)
                                if (core[size_t(j)] &&
                                    got[r * size_t(stride) + size_t(j - j0)] <= eps2)
                                    least[r] = std::min(least[r], up[size_t(j)]);
                    }
                    for (size_t r = first; r < last; ++r)
                        if (least[r - first] != INT32_MAX)
                            out.labels[size_t(others[r])] = number[size_t(least[r - first])];
                });
        }
        errors.Rethrow();
    }
    StageMark("dbscan: border points");
    if (list_core)
        for (size_t i = 0; i < size_t(n); ++i)
            if (core[i]) out.core.push_back(int64_t(i));
    return out;
}

}  // namespace

dbscan_result Dbscan(const double *xs, int32_t n, int32_t d, double eps2, double min_samples,
                     const double *weight, int32_t workers, bool list_core, bool blocks) {
    dbscan_result out;
    if (n < 1) return out;
    if (blocks && !weight) return DenseDbscan(xs, n, d, eps2, min_samples, workers, list_core);
    const int32_t threads = UsableThreads(workers);
    bucket_tree t;
    ordered_points p;
    {
        const progress_span stage("tree", 0.0, 0.25);
        BuildBucketTree(xs, n, d, kBucket, t, p, workers);
    }
    checked_vector<double> w;
    if (weight) {
        w.resize(size_t(n));
        for (size_t r = 0; r < size_t(n); ++r) w[r] = weight[size_t(p.id[r])];
    }
    checked_vector<int32_t> cluster;
    WithDimension(d, [&](auto dim) {
        constexpr int D = decltype(dim)::value;
        dbscan<D> run(t, p, eps2, threads);
        run.FindCliques();
        StageMark("dbscan: cliques");
        {
            const progress_span stage("core points", 0.25, 0.55);
            run.FindCore(min_samples, weight ? w.data() : nullptr);
        }
        StageMark("dbscan: core points");
        w = checked_vector<double>();
        run.CountCore();
        StageMark("dbscan: core per node");
        {
            const progress_span stage("clusters", 0.55, 0.85);
            run.Join();
        }
        StageMark("dbscan: clusters");
        {
            const progress_span stage("border points", 0.85, 1.0);
            run.Number(cluster, out.clusters);
        }
        StageMark("dbscan: border points");
        p.xs = checked_vector<double>();  // no more lengths: the peak comes next
        out.labels.resize(size_t(n));
        checked_vector<int32_t> core(list_core ? size_t(n) : 0);
        EachChunk(threads, size_t(n), [&](int64_t, size_t begin, size_t end) {
            for (size_t r = begin; r < end; ++r) {
                out.labels[size_t(p.id[r])] = cluster[r];
                if (list_core) core[size_t(p.id[r])] = run.core()[r] ? 0 : -1;
            }
        });
        if (!list_core) return;
        out.core.resize(size_t(NumberInOrder(core, threads)));
        EachChunk(threads, size_t(n), [&](int64_t, size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i)
                if (core[i] >= 0) out.core[size_t(core[i])] = int64_t(i);
        });
    });
    StageMark("dbscan: input order");
    return out;
}
