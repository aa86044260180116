#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "cluster/hdbscan.h"
#include "common/alloc.h"
#include "kruskal.h"
#include "mst/emst.h"
#include "mst/linkage.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();

struct NoFailureAfter {
    ~NoFailureAfter() { SetAllocFailure(0); }
};

std::vector<double> Points(int kind, int32_t n, int32_t d, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> small(0, 4);
    std::vector<double> xs(size_t(n) * size_t(d));
    std::vector<double> few(8 * size_t(d));
    for (double &c : few) c = unit(rng);
    for (int32_t i = 0; i < n; ++i) {
        const int copy = small(rng);
        for (int32_t k = 0; k < d; ++k) {
            double &x = xs[size_t(i) * size_t(d) + size_t(k)];
            if (kind == 0) x = unit(rng);                                   // continuous
            if (kind == 1) x = double(small(rng));                          // grid: many ties
            if (kind == 2) x = few[size_t(copy) * size_t(d) + size_t(k)];   // few distinct
        }
    }
    return xs;
}

}  // namespace

TEST(ReachabilityMST, IsTheBruteForceKruskalUnderTheKeyWithItsTies) {
    const char *kinds[] = {"continuous", "grid", "duplicates"};
    for (int kind = 0; kind < 3; ++kind)
        for (int32_t d : {1, 2, 3, 5})
            for (int32_t ms : {1, 2, 5, 17})
                for (double alpha : {1.0, 0.5, 1.7}) {
                    const int32_t n = 120;
                    const unsigned seed = unsigned(kind * 1000 + d * 100 + ms);
                    const std::vector<double> xs = Points(kind, n, d, seed);
                    const std::string what = std::string(kinds[kind]) + " d=" +
                                             std::to_string(d) + " ms=" + std::to_string(ms) +
                                             " alpha=" + std::to_string(alpha) +
                                             " seed=" + std::to_string(seed);
                    checked_vector<double> core;
                    tie_edges ties;
                    const emst_edges got =
                        MutualReachabilityMST(xs.data(), n, d, ms, alpha, core, &ties);
                    const reach_tree want = KruskalReachMST(xs, n, d, ms, alpha);
                    ASSERT_EQ(std::vector<double>(core.begin(), core.end()), want.core) << what;
                    ASSERT_EQ(std::vector<int64_t>(got.ends.begin(), got.ends.end()), want.ends)
                        << what;
                    ASSERT_EQ(std::vector<double>(got.lengths.begin(), got.lengths.end()), want.w)
                        << what;
                    // The tree and its ties stand for every pair that can belong to a tree.
                    ASSERT_EQ(TiePairs(n, got, ties),
                              PossibleTreePairs(xs, n, d, core.data(), alpha))
                        << what;
                    // Prim's tree weighs as much, edge for edge once sorted, and starts at 0.
                    std::vector<int64_t> ends(got.ends.size());
                    std::vector<double> w(got.count());
                    PrimOrder(n, core.data(), got.ends.data(), got.lengths.data(), ties.ends.data(),
                              ties.count(), ties.cored, ties.w.data(),
                              ties.twin.empty() ? nullptr : ties.twin.data(), nullptr, ends.data(),
                              w.data());
                    EXPECT_EQ(ends[0], 0) << what;
                    std::sort(w.begin(), w.end());
                    EXPECT_EQ(w, want.w) << what;
                }
}

// The tree of a subset under the whole set's cores (as a partition of a distributed fit takes
// them) is the brute-force Kruskal of the subset's pairs weighed with those cores.
TEST(ReachabilityMST, UnderGivenCoresIsTheBruteForceKruskalOfASubset) {
    for (int kind = 0; kind < 3; ++kind)
        for (int32_t d : {1, 2, 3})
            for (int32_t ms : {1, 4, 11})
                for (double alpha : {1.0, 0.6}) {
                    const int32_t n = 150, m = 70;
                    const unsigned seed = unsigned(7000 + kind * 100 + d * 10 + ms);
                    const std::vector<double> xs = Points(kind, n, d, seed);
                    const reach_tree whole = KruskalReachMST(xs, n, d, ms, alpha);
                    const std::vector<double> part(xs.begin(), xs.begin() + size_t(m) * size_t(d));
                    const std::vector<reach_pair> pairs =
                        ReachPairs(part, m, d, whole.core.data(), alpha);
                    std::vector<int64_t> parent(static_cast<size_t>(m)), want_ends;
                    std::vector<double> want_w;
                    std::iota(parent.begin(), parent.end(), 0);
                    auto root = [&parent](int64_t a) {
                        while (parent[size_t(a)] != a) a = parent[size_t(a)];
                        return a;
                    };
                    for (const reach_pair &e : pairs) {
                        const int64_t a = root(e.i), b = root(e.j);
                        if (a == b) continue;
                        parent[size_t(std::max(a, b))] = std::min(a, b);
                        want_ends.insert(want_ends.end(), {e.i, e.j});
                        want_w.push_back(e.w);
                    }
                    checked_vector<double> core;
                    const emst_edges got =
                        MutualReachabilityMST(part.data(), m, d, ms, alpha, core, nullptr, 1,
                                              nullptr, UINT64_MAX, whole.core.data());
                    const std::string what =
                        "kind=" + std::to_string(kind) + " d=" + std::to_string(d) +
                        " ms=" + std::to_string(ms) + " alpha=" + std::to_string(alpha);
                    ASSERT_EQ(std::vector<double>(core.begin(), core.end()),
                              std::vector<double>(whole.core.begin(), whole.core.begin() + m))
                        << what;
                    ASSERT_EQ(std::vector<int64_t>(got.ends.begin(), got.ends.end()), want_ends)
                        << what;
                    ASSERT_EQ(std::vector<double>(got.lengths.begin(), got.lengths.end()), want_w)
                        << what;
                    // The same tree from given lists of the nearest, equal lengths in the
                    // reverse of index order.
                    const int32_t k = std::min(ms + 1, m - 1);
                    std::vector<int32_t> near;
                    for (int32_t q = 0; q < m; ++q) {
                        std::vector<std::pair<double, int32_t>> by;
                        for (int32_t u = 0; u < m; ++u) {
                            if (u == q) continue;
                            double s2 = 0.0;
                            for (int32_t c = 0; c < d; ++c) {
                                const double g = part[size_t(q * d + c)] - part[size_t(u * d + c)];
                                s2 += g * g;
                            }
                            by.push_back({s2, -u});
                        }
                        std::sort(by.begin(), by.end());
                        for (int32_t c = 0; c < k; ++c) near.push_back(-by[size_t(c)].second);
                    }
                    const emst_edges listed = MutualReachabilityMST(
                        part.data(), m, d, ms, alpha, core, nullptr, 1, nullptr, UINT64_MAX,
                        whole.core.data(), nullptr, near.data(), k);
                    ASSERT_EQ(std::vector<int64_t>(listed.ends.begin(), listed.ends.end()),
                              want_ends)
                        << what << " with lists";
                    ASSERT_EQ(std::vector<double>(listed.lengths.begin(), listed.lengths.end()),
                              want_w)
                        << what << " with lists";
                }
}

namespace {

// scikit-learn's Prim from point 0 over every pair: each step updates the reach of every point
// outside the tree from the point just added (only when strictly less), then takes the least
// reach, the smallest point on a tie.
void BrutePrim(const std::vector<double> &xs, int32_t n, int32_t d, const double *core,
               double alpha, std::vector<int64_t> &ends, std::vector<double> &w) {
    std::vector<double> reach(size_t(n), kInf);
    std::vector<int64_t> source(size_t(n), 0);
    std::vector<char> in_tree(size_t(n), 0);
    ends.clear();
    w.clear();
    int64_t v = 0;
    for (int32_t step = 0; step + 1 < n; ++step) {
        in_tree[size_t(v)] = 1;
        double best = kInf;
        int64_t pick = -1;
        for (int64_t u = 0; u < n; ++u) {
            if (in_tree[size_t(u)]) continue;
            const double r = std::max(std::max(core[v], core[u]),
                                      std::sqrt(PairSquared(xs.data(), d, v, u)) / alpha);
            if (r < reach[size_t(u)]) {
                reach[size_t(u)] = r;
                source[size_t(u)] = v;
            }
            if (reach[size_t(u)] < best) {
                best = reach[size_t(u)];
                pick = u;
            }
        }
        ends.push_back(source[size_t(pick)]);
        ends.push_back(pick);
        w.push_back(best);
        v = pick;
    }
}

}  // namespace

// Grids tie in distances beyond the cores, copies in everything.
TEST(PrimOrder, IsScikitLearnsPrimOverEveryPairInEitherNumbering) {
    const char *kinds[] = {"continuous", "grid", "duplicates"};
    for (int kind = 0; kind < 3; ++kind)
        for (int32_t d : {1, 2, 3})
            for (int32_t ms : {1, 3, 8})
                for (double alpha : {1.0, 0.6, 1.5}) {
                    const int32_t n = 150;
                    const unsigned seed = unsigned(7 + kind * 1000 + d * 100 + ms);
                    const std::vector<double> xs = Points(kind, n, d, seed);
                    const std::string what = std::string(kinds[kind]) + " d=" +
                                             std::to_string(d) + " ms=" + std::to_string(ms) +
                                             " alpha=" + std::to_string(alpha) +
                                             " seed=" + std::to_string(seed);
                    std::vector<int64_t> got_ends[2];
                    std::vector<double> got_w[2];
                    checked_vector<double> core;
                    for (int ordered = 0; ordered < 2; ++ordered) {
                        tie_edges ties;
                        checked_vector<int32_t> order;
                        const emst_edges tree = MutualReachabilityMST(
                            xs.data(), n, d, ms, alpha, core, &ties, 1, ordered ? &order : nullptr);
                        got_ends[ordered].resize(tree.ends.size());
                        got_w[ordered].resize(tree.count());
                        PrimOrder(n, core.data(), tree.ends.data(), tree.lengths.data(),
                                  ties.ends.data(), ties.count(), ties.cored, ties.w.data(),
                                  ties.twin.empty() ? nullptr : ties.twin.data(),
                                  ordered ? order.data() : nullptr, got_ends[ordered].data(),
                                  got_w[ordered].data());
                    }
                    std::vector<int64_t> want_ends;
                    std::vector<double> want_w;
                    BrutePrim(xs, n, d, core.data(), alpha, want_ends, want_w);
                    ASSERT_EQ(got_ends[0], want_ends) << what;
                    ASSERT_EQ(got_w[0], want_w) << what;
                }
}

TEST(ReachabilityMST, EquivalentToTheEuclideanTreeForOneSampleAndAlphaOne) {
    const std::vector<double> xs = Points(0, 500, 3, 9);
    checked_vector<double> core;
    const emst_edges a = MutualReachabilityMST(xs.data(), 500, 3, 1, 1.0, core);
    const emst_edges b = EuclideanMST(xs.data(), 500, 3);
    EXPECT_EQ(a.ends, b.ends);
    EXPECT_EQ(a.lengths, b.lengths);
    EXPECT_EQ(a.squared, b.squared);
}

TEST(PrimOrder, TakesTheSmallestPointOnATieFromTheFirstSourceThatReachedIt) {
    // Four points on a line, cores making every edge weigh 1: Prim from 0 reaches 1, 2 and 3
    // at reachability 1 from 0 itself, and takes them in index order.
    const double core[] = {1.0, 1.0, 1.0, 1.0};
    const double weights[] = {1.0, 1.0, 1.0};
    const int64_t mst[] = {0, 1, 0, 2, 0, 3};
    const int32_t ties[] = {0, 1, 0, 2, 0, 3, 1, 2, 1, 3, 2, 3};
    int64_t ends[6];
    double w[3];
    PrimOrder(4, core, mst, weights, ties, 6, 6, nullptr, nullptr, nullptr, ends, w);
    EXPECT_EQ(std::vector<int64_t>(ends, ends + 6), (std::vector<int64_t>{0, 1, 0, 2, 0, 3}));
    EXPECT_EQ(std::vector<double>(w, w + 3), (std::vector<double>{1.0, 1.0, 1.0}));
    // Without the ties only the tree's edges are there.
    const int64_t chain[] = {0, 3, 3, 1, 1, 2};
    PrimOrder(4, core, chain, weights, nullptr, 0, 0, nullptr, nullptr, nullptr, ends, w);
    EXPECT_EQ(std::vector<int64_t>(ends, ends + 6), (std::vector<int64_t>{0, 3, 3, 1, 1, 2}));
}

namespace {

// Two groups of four points, far apart, with one point between them, as a linkage of 9 points:
// group A = 0..3 (merged at 1, 2, 3), group B = 4..7 (at 1.5, 2.5, 3.5), point 8 joins A at 5,
// and A + 8 joins B at 10.
std::vector<double> TwoGroups() {
    return {
        0, 1, 1.0, 2,     // 9: {0, 1}
        9, 2, 2.0, 3,     // 10
        10, 3, 3.0, 4,    // 11: A
        4, 5, 1.5, 2,     // 12
        12, 6, 2.5, 3,    // 13
        13, 7, 3.5, 4,    // 14: B
        11, 8, 5.0, 5,    // 15: A + 8
        15, 14, 10.0, 9,  // 16: root
    };
}

}  // namespace

TEST(CondenseTree, SplitsOnlyWhereBothSidesAreLargeAndListsTheFallenPointsBreadthFirst) {
    const std::vector<double> z = TwoGroups();
    const condensed_tree t = CondenseTree(z.data(), 9, 3);
    // Root 9 splits at lambda 0.1 into 10 (A + 8, left) and 11 (B); 8 leaves 10 at 0.2, 7 leaves
    // 11 at 1 / 3.5, 3 leaves 10 at 1 / 3; then B falls apart at 0.4 (4 and 5 from below, then
    // 6) and A at 0.5 (0, 1, then 2).
    const std::vector<int64_t> parent = {9, 9, 10, 11, 10, 11, 11, 11, 10, 10, 10};
    const std::vector<int64_t> child = {10, 11, 8, 7, 3, 4, 5, 6, 0, 1, 2};
    ASSERT_EQ(t.rows(), 11u);
    EXPECT_EQ(std::vector<int64_t>(t.parent.begin(), t.parent.end()), parent);
    EXPECT_EQ(std::vector<int64_t>(t.child.begin(), t.child.end()), child);
    EXPECT_EQ(t.lambda[0], 0.1);
    EXPECT_EQ(t.lambda[2], 0.2);
    EXPECT_EQ(t.lambda[3], 1.0 / 3.5);
    EXPECT_EQ(t.lambda[10], 0.5);
    EXPECT_EQ(t.child_size[0], 5);
    EXPECT_EQ(t.child_size[1], 4);
    EXPECT_EQ(t.clusters, 3);
    // Every point leaves exactly once.
    std::vector<int> seen(9, 0);
    for (size_t e = 0; e < t.rows(); ++e)
        if (t.child[e] < 9) ++seen[size_t(t.child[e])];
    EXPECT_EQ(seen, std::vector<int>(9, 1));
}

TEST(SelectClusters, ExcessOfMassLeafSingleClusterAndEpsilon) {
    const std::vector<double> z = TwoGroups();
    const condensed_tree t = CondenseTree(z.data(), 9, 3);
    const cluster_selection eom = SelectClusters(t, 9, kExcessOfMass, false, 0.0, -1);
    EXPECT_EQ(std::vector<int64_t>(eom.clusters.begin(), eom.clusters.end()),
              (std::vector<int64_t>{10, 11}));
    EXPECT_EQ(std::vector<int64_t>(eom.labels.begin(), eom.labels.end()),
              (std::vector<int64_t>{0, 0, 0, 0, 1, 1, 1, 1, 0}));
    // 8 leaves cluster 10 at 0.2, its last points at 0.5: probability 0.4.
    EXPECT_DOUBLE_EQ(eom.probabilities[8], 0.4);
    EXPECT_EQ(eom.probabilities[0], 1.0);
    // The root's stability: (0.1 - 0) * 5 + (0.1 - 0) * 4.
    EXPECT_DOUBLE_EQ(eom.stability[0], 0.9);
    const cluster_selection leaf = SelectClusters(t, 9, kLeaf, false, 0.0, -1);
    EXPECT_EQ(leaf.clusters, eom.clusters);
    // A cluster of more than 4 points may not be selected; its children are points only, so
    // only B is left.
    const cluster_selection small = SelectClusters(t, 9, kExcessOfMass, false, 0.0, 4);
    EXPECT_EQ(std::vector<int64_t>(small.clusters.begin(), small.clusters.end()),
              (std::vector<int64_t>{11}));
    // Epsilon above both births (1 / 0.1 = 10) climbs to the root only when it may be chosen.
    const cluster_selection up = SelectClusters(t, 9, kExcessOfMass, true, 20.0, -1);
    EXPECT_EQ(std::vector<int64_t>(up.clusters.begin(), up.clusters.end()),
              (std::vector<int64_t>{9}));
    const cluster_selection stay = SelectClusters(t, 9, kExcessOfMass, false, 20.0, -1);
    EXPECT_EQ(stay.clusters, eom.clusters);
}

TEST(CondenseTree, OnePointAndAllEqualPoints) {
    const condensed_tree one = CondenseTree(nullptr, 1, 2);
    EXPECT_EQ(one.rows(), 0u);
    const cluster_selection none = SelectClusters(one, 1, kExcessOfMass, true, 0.0, -1);
    EXPECT_EQ(none.labels[0], -1);
    // Four equal points: every height 0, every lambda infinite.
    const std::vector<double> z = {0, 1, 0.0, 2, 4, 2, 0.0, 3, 5, 3, 0.0, 4};
    const condensed_tree t = CondenseTree(z.data(), 4, 2);
    for (double l : t.lambda) EXPECT_EQ(l, kInf);
    const cluster_selection single = SelectClusters(t, 4, kExcessOfMass, true, 0.0, -1);
    for (double p : single.probabilities) EXPECT_EQ(p, 1.0);
}

TEST(AllocFailure, ReachabilityTreePrimAndClustersReleaseEverythingAtEveryAllocation) {
    NoFailureAfter guard;
    const int32_t n = 80, d = 2;
    const std::vector<double> xs = Points(1, n, d, 3);
    auto run = [&] {
        checked_vector<double> core;
        tie_edges ties;
        emst_edges tree = MutualReachabilityMST(xs.data(), n, d, 4, 1.0, core, &ties);
        std::vector<int64_t> ends(tree.ends.size());
        std::vector<double> w(tree.count());
        PrimOrder(n, core.data(), tree.ends.data(), tree.lengths.data(), ties.ends.data(),
                  ties.count(), ties.cored, ties.w.data(),
                  ties.twin.empty() ? nullptr : ties.twin.data(), nullptr, ends.data(), w.data());
        std::vector<size_t> order(w.size());
        std::iota(order.begin(), order.end(), size_t(0));
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return w[a] < w[b]; });
        std::vector<int64_t> e2;
        std::vector<double> w2;
        for (size_t k : order) {
            e2.push_back(ends[2 * k]);
            e2.push_back(ends[2 * k + 1]);
            w2.push_back(w[k]);
        }
        std::vector<double> z(4 * w2.size());
        EXPECT_EQ(SingleLinkage(n, e2.data(), w2.data(), w2.size(), false, z.data()), "");
        const condensed_tree t = CondenseTree(z.data(), n, 5);
        return SelectClusters(t, n, kExcessOfMass, false, 0.0, -1).labels;
    };
    SetAllocFailure(0);
    const checked_vector<int64_t> want = run();
    const int64_t total = AllocCount();
    ASSERT_GT(total, 0);
    for (int64_t k = 1; k <= total; ++k) {
        SetAllocFailure(k);
        EXPECT_THROW(run(), std::bad_alloc) << "k=" << k;
        SetAllocFailure(0);
    }
    EXPECT_EQ(run(), want);
}

// The order from the tree of strict merges against the heap's over the same edges (the tree and
// the ties that weigh a core, which is what it takes), on points whose cores and distances tie in
// every way (grids, copies, one-dimensional lines), in both numberings and on several threads.
TEST(PrimOrder, WithoutAHeapIsTheHeapsOrder) {
    for (int kind = 0; kind < 3; ++kind)
        for (int32_t d : {1, 2, 3})
            for (int32_t ms : {1, 2, 5, 12})
                for (double alpha : {1.0, 0.6, 1.5})
                    for (int32_t n : {2, 3, 40, 300}) {
                        const unsigned seed = unsigned(31 + kind * 1000 + d * 100 + ms + n);
                        const std::vector<double> xs = Points(kind, n, d, seed);
                        const std::string what =
                            "kind=" + std::to_string(kind) + " d=" + std::to_string(d) +
                            " ms=" + std::to_string(ms) + " alpha=" + std::to_string(alpha) +
                            " n=" + std::to_string(n);
                        if (ms > n) continue;
                        for (int ordered = 0; ordered < 2; ++ordered) {
                            checked_vector<double> core;
                            tie_edges all;
                            checked_vector<int32_t> order;
                            const emst_edges tree =
                                MutualReachabilityMST(xs.data(), n, d, ms, alpha, core, &all, 1,
                                                      ordered ? &order : nullptr);
                            const size_t m = tree.count();
                            std::vector<int64_t> want(2 * m), got(2 * m);
                            std::vector<double> want_w(m), got_w(m);
                            const int32_t *o = ordered ? order.data() : nullptr;
                            const std::vector<int32_t> ties = CoreWeightedTies(all, core.data(), o);
                            PrimOrder(n, core.data(), tree.ends.data(), tree.lengths.data(),
                                      ties.data(), ties.size() / 2, ties.size() / 2, nullptr,
                                      nullptr, o, want.data(), want_w.data());
                            // The rows of equal weights in a shuffled order, as an unstable
                            // sort may leave them.
                            std::vector<int64_t> rows(m);
                            std::iota(rows.begin(), rows.end(), 0);
                            std::shuffle(rows.begin(), rows.end(), std::mt19937_64(seed));
                            std::stable_sort(rows.begin(), rows.end(), [&](int64_t a, int64_t b) {
                                return want_w[size_t(a)] < want_w[size_t(b)];
                            });
                            std::vector<int64_t> sorted_ends(2 * m);
                            std::vector<double> sorted_w(m), want_z(4 * m), got_z(4 * m);
                            for (size_t r = 0; r < m; ++r) {
                                sorted_ends[2 * r] = want[2 * size_t(rows[r])];
                                sorted_ends[2 * r + 1] = want[2 * size_t(rows[r]) + 1];
                                sorted_w[r] = want_w[size_t(rows[r])];
                            }
                            ASSERT_EQ(SingleLinkage(n, sorted_ends.data(), sorted_w.data(), m,
                                                    false, want_z.data()),
                                      "");
                            for (int32_t workers : {1, 3}) {
                                prim_tree kept;
                                PrimOrderByTree(n, core.data(), tree.ends.data(),
                                                tree.lengths.data(), ties.data(), ties.size() / 2,
                                                o, got.data(), got_w.data(), workers, &kept);
                                ASSERT_EQ(got, want) << what << " workers=" << workers;
                                ASSERT_EQ(got_w, want_w) << what << " workers=" << workers;
                                PrimLinkage(kept, n, got.data(), got_w.data(), rows.data(),
                                            got_z.data(), workers);
                                ASSERT_EQ(got_z, want_z) << what << " workers=" << workers;
                            }
                        }
                    }
}

// The ties a linkage needs (linkage_only) against all of them: Prim's order over either takes
// the same points at the same weights, and the single-linkage rows, the heap's and the tree's,
// are the same; only the point an edge comes from may differ. Continuous points leave out most.
TEST(PrimOrder, OverTheTiesALinkageNeedsGivesTheSameRows) {
    size_t all_ties = 0, needed = 0;
    for (int kind = 0; kind < 3; ++kind)
        for (int32_t d : {1, 2, 3})
            for (int32_t ms : {3, 8, 17})
                for (int32_t n : {150, 3000})
                    for (int ordered = 0; ordered < 2; ++ordered) {
                        const unsigned seed = unsigned(53 + kind * 1000 + d * 100 + ms + n);
                        const std::vector<double> xs = Points(kind, n, d, seed);
                        const std::string what =
                            "kind=" + std::to_string(kind) + " d=" + std::to_string(d) +
                            " ms=" + std::to_string(ms) + " n=" + std::to_string(n) +
                            " ordered=" + std::to_string(ordered);
                        checked_vector<double> core;
                        checked_vector<int32_t> order;
                        tie_edges ties[2];
                        ties[1].linkage_only = true;
                        emst_edges tree;
                        for (tie_edges &t : ties)
                            tree = MutualReachabilityMST(xs.data(), n, d, ms, 1.0, core, &t, 1,
                                                         ordered ? &order : nullptr);
                        all_ties += ties[0].count();
                        needed += ties[1].count();
                        const int32_t *o = ordered ? order.data() : nullptr;
                        const size_t m = tree.count();
                        std::vector<int64_t> ends[2], rows(m);
                        std::vector<double> w[2], z[2];
                        for (int thin = 0; thin < 2; ++thin) {
                            const tie_edges &t = ties[thin];
                            ends[thin].resize(2 * m);
                            w[thin].resize(m);
                            PrimOrder(n, core.data(), tree.ends.data(), tree.lengths.data(),
                                      t.ends.data(), t.count(), t.cored, t.w.data(),
                                      t.twin.empty() ? nullptr : t.twin.data(), o,
                                      ends[thin].data(), w[thin].data());
                        }
                        ASSERT_EQ(w[1], w[0]) << what;
                        for (size_t k = 0; k < m; ++k)
                            ASSERT_EQ(ends[1][2 * k + 1], ends[0][2 * k + 1]) << what << " k=" << k;
                        // Equal weights in a shuffled order, as an unstable sort may leave them.
                        std::iota(rows.begin(), rows.end(), 0);
                        std::shuffle(rows.begin(), rows.end(), std::mt19937_64(seed));
                        std::stable_sort(rows.begin(), rows.end(), [&](int64_t a, int64_t b) {
                            return w[0][size_t(a)] < w[0][size_t(b)];
                        });
                        for (int thin = 0; thin < 2; ++thin) {
                            std::vector<int64_t> sorted_ends(2 * m);
                            std::vector<double> sorted_w(m);
                            for (size_t r = 0; r < m; ++r) {
                                sorted_ends[2 * r] = ends[thin][2 * size_t(rows[r])];
                                sorted_ends[2 * r + 1] = ends[thin][2 * size_t(rows[r]) + 1];
                                sorted_w[r] = w[thin][size_t(rows[r])];
                            }
                            z[thin].resize(4 * m);
                            ASSERT_EQ(SingleLinkage(n, sorted_ends.data(), sorted_w.data(), m,
                                                    false, z[thin].data()),
                                      "");
                        }
                        ASSERT_EQ(z[1], z[0]) << what;
                        const tie_edges &t = ties[1];
                        if (!t.twin.empty() || t.cored != t.count()) continue;
                        for (int32_t workers : {1, 3}) {
                            prim_tree kept;
                            std::vector<int64_t> got(2 * m);
                            std::vector<double> got_w(m), got_z(4 * m);
                            PrimOrderByTree(n, core.data(), tree.ends.data(), tree.lengths.data(),
                                            t.ends.data(), t.count(), o, got.data(), got_w.data(),
                                            workers, &kept);
                            ASSERT_EQ(got_w, w[0]) << what << " workers=" << workers;
                            PrimLinkage(kept, n, got.data(), got_w.data(), rows.data(),
                                        got_z.data(), workers);
                            ASSERT_EQ(got_z, z[0]) << what << " workers=" << workers;
                        }
                    }
    EXPECT_LT(needed, all_ties / 2);
}
