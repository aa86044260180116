#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "cluster/hdbscan.h"
#include "common/alloc.h"
#include "helpers.h"
#include "kruskal.h"
#include "module/driver.h"
#include "mst/emst.h"
#include "mst/linkage.h"
#include "neighbors/knn.h"
#include "pairs/budget.h"
#include "pairs/search.h"

namespace {

std::vector<double> Rows(const std::vector<point> &pts, int32_t d) {
    std::vector<double> xs;
    for (const point &p : pts) xs.insert(xs.end(), p.coords.begin(), p.coords.begin() + d);
    return xs;
}

std::vector<int32_t> Ids(const node_pair_buffer &b) {
    return std::vector<int32_t>(b.ids(), b.ids() + 2 * b.pairs());
}

// The pairs of the plain serial search, the reference for every number of threads.
std::vector<int32_t> SerialPairs(const flat_tree &t, double s) {
    std::vector<int32_t> ids;
    WithFlatTreeView(t, [&](auto view) {
        return SearchPairs(view, 0, view.none(), s, [&ids](int32_t a, int32_t b) {
            ids.push_back(a);
            ids.push_back(b);
        });
    });
    return ids;
}

struct fault_off {
    ~fault_off() { SetAllocFailure(0); }
};

}  // namespace

// Every number of threads must give the serial pairs in the serial order, on every shape of
// input: ties, deep chains, and enough pairs to fill several blocks per thread.
TEST(ParallelPairs, AreTheSerialPairsInOrder) {
    for (const PointCase &c : RandomPointCases()) {
        const std::vector<double> xs = Rows(CasePoints(c, 7), c.d);
        const flat_tree t = BuildFlatTree(xs.data(), c.n, c.d);
        for (double s : {0.5, 2.0}) {
            const std::vector<int32_t> want = SerialPairs(t, s);
            for (int32_t workers : {1, 2, 3, 8}) {
                node_pair_buffer got;
                FindFlatPairs(t, s, workers, got);
                ASSERT_EQ(Ids(got), want) << "kind " << c.kind << " d=" << c.d << " n=" << c.n
                                          << " s=" << s << " workers=" << workers;
            }
        }
    }
}

// A limit is refused exactly when it is below the number of pairs, on one thread and on several,
// and the count reported exceeds it.
TEST(ParallelPairs, RefuseExactlyBeyondTheLimit) {
    const int32_t n = 6000, d = 4;
    const std::vector<double> xs = Uniform(n, d, 3);
    const flat_tree t = BuildFlatTree(xs.data(), n, d);
    const size_t total = SerialPairs(t, 2.0).size() / 2;
    ASSERT_GT(total, size_t(3) << 15);  // several blocks
    for (int32_t workers : {1, 2, 3}) {
        for (size_t limit : {size_t(0), size_t(1), total / 3, total - 1, total, total + 1}) {
            node_pair_buffer got;
            got.set_limit(limit);
            if (limit >= total) {
                FindFlatPairs(t, 2.0, workers, got);
                EXPECT_EQ(got.pairs(), total);
                continue;
            }
            try {
                FindFlatPairs(t, 2.0, workers, got);
                ADD_FAILURE() << "limit " << limit << " workers " << workers << " not refused";
            } catch (const pair_limit_reached &stop) {
                EXPECT_GT(stop.found, limit);
                EXPECT_LE(stop.found, total);
                // Stopping at the limit, not after running on: at most a block a thread beyond.
                EXPECT_LE(stop.found, limit + 1 + size_t(workers) * (size_t(1) << 15) + 64)
                    << "limit " << limit << " workers " << workers;
            }
        }
    }
}

// Enough pairs for several 2 MiB blocks a thread: the pairs come out in the serial order, and
// every block is given back, after a whole search, a refused one and one that ran out of memory.
TEST(ParallelPairs, GiveEveryBlockBack) {
    fault_off off;
    const int32_t n = 20000, d = 4;
    const std::vector<double> xs = Uniform(n, d, 11);
    const flat_tree t = BuildFlatTree(xs.data(), n, d);
    const std::vector<int32_t> want = SerialPairs(t, 2.0);
    const size_t total = want.size() / 2;
    ASSERT_GT(total, size_t(6) << 18);
    ASSERT_EQ(PagesHeld(), 0);
    for (int32_t workers : {2, 3}) {
        {
            node_pair_buffer got;
            FindFlatPairs(t, 2.0, workers, got);
            ASSERT_EQ(got.pairs(), total);
            EXPECT_EQ(std::memcmp(got.ids(), want.data(), want.size() * sizeof(int32_t)), 0);
        }
        EXPECT_EQ(PagesHeld(), 0) << "workers " << workers;
        {
            node_pair_buffer got;
            got.set_limit(total / 2);
            EXPECT_THROW(FindFlatPairs(t, 2.0, workers, got), pair_limit_reached);
        }
        EXPECT_EQ(PagesHeld(), 0) << "workers " << workers;
        for (long k : {2L, 5L, 9L}) {
            SetAllocFailure(k);
            try {
                node_pair_buffer got;
                FindFlatPairs(t, 2.0, workers, got);
            } catch (const std::bad_alloc &) {
            }
            SetAllocFailure(0);
            EXPECT_EQ(PagesHeld(), 0) << "workers " << workers << " failing allocation " << k;
        }
    }
}

TEST(ParallelPairs, RefusalNamesTheLimitAndTheCount) {
    std::vector<double> xs;
    for (int i = 0; i < 300; ++i) xs.push_back(double(i * 7 % 300)), xs.push_back(double(i % 17));
    decompose_options options;
    options.max_pairs = 10;
    options.workers = 2;
    try {
        decompose_array(300, 2, 2.0, xs.data(), options);
        FAIL() << "not refused";
    } catch (const pair_limit_error &e) {
        EXPECT_GT(e.found(), 10u);
        EXPECT_NE(std::string(e.what()).find("more than 10 pairs (max_pairs = 10)"),
                  std::string::npos)
            << e.what();
    }
}

TEST(ParallelNeighbours, AreTheSerialNeighbours) {
    for (const PointCase &c : RandomPointCases()) {
        if (c.n < 3) continue;
        std::vector<double> xs = Rows(CasePoints(c, 11), c.d);
        // Equal points too: every tenth point repeated at the end.
        const int32_t n = c.n + c.n / 10;
        for (int32_t i = 0; i < c.n / 10; ++i)
            xs.insert(xs.end(), xs.begin() + 10 * i * c.d, xs.begin() + (10 * i + 1) * c.d);
        const int32_t k = std::min<int32_t>(5, n - 1);
        const knn_rows want = KNearestNeighbours(xs.data(), n, c.d, k, 1);
        const point_pair best = ClosestPair(xs.data(), n, c.d, 1);
        for (int32_t workers : {2, 3, 8}) {
            const knn_rows got = KNearestNeighbours(xs.data(), n, c.d, k, workers);
            ASSERT_TRUE(got.index == want.index) << "kind " << c.kind << " n=" << n;
            ASSERT_EQ(0, memcmp(got.squared.data(), want.squared.data(),
                                want.squared.size() * sizeof(double)));
            const point_pair p = ClosestPair(xs.data(), n, c.d, workers);
            ASSERT_TRUE(SameBits(p.squared, best.squared) && p.i == best.i && p.j == best.j);
        }
    }
}

// A failing allocation on any thread ends the call with std::bad_alloc and leaks nothing (the
// sanitizer build checks), and the next call is whole. Which allocation fails depends on how the
// threads interleave, so every k is tried and a call may also get through when k lies beyond
// what it allocated.
TEST(ParallelFaults, EndInBadAllocAndLeaveNothing) {
    fault_off off;
    const int32_t n = 3000, d = 3;
    const std::vector<double> xs = Uniform(n, d, 5);
    decompose_options options;
    options.workers = 2;
    SetAllocFailure(0);
    const std::vector<int32_t> want = Ids(decompose_array(n, d, 2.0, xs.data(), options).pairs);
    const knn_rows near = KNearestNeighbours(xs.data(), n, d, 4, 1);
    const long total = AllocCount();
    for (long k = 1; k <= total + 5; ++k) {
        SetAllocFailure(k);
        try {
            EXPECT_EQ(Ids(decompose_array(n, d, 2.0, xs.data(), options).pairs), want);
        } catch (const std::bad_alloc &) {
        }
        SetAllocFailure(k);
        try {
            EXPECT_TRUE(KNearestNeighbours(xs.data(), n, d, 4, 2).index == near.index);
        } catch (const std::bad_alloc &) {
        }
    }
    SetAllocFailure(0);
    EXPECT_EQ(Ids(decompose_array(n, d, 2.0, xs.data(), options).pairs), want);
}

namespace {

template <typename T>
bool SameArray(const checked_vector<T> &a, const checked_vector<T> &b) {
    return a.size() == b.size() &&
           (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

}  // namespace

// Subtrees built on threads make the serial tree to the bit, however it is built: large sets of
// every shape (the threads only take over from 4096 points), deep chains included, and equal
// points are refused alike.
TEST(ParallelTree, IsTheSerialTree) {
    // kExp stands for heavy-tailed points here: 2^e (1 + u), e uniform in -500..499.
    std::vector<PointCase> cases = {{kUniform, 2, 30000}, {kUniform, 3, 9000}, {kGrid10, 3, 1000},
                                    {kGrid10, 5, 20000},  {kExp, 2, 8000},     {kExp, 3, 6000},
                                    {kUniform, 7, 5000}};
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (const PointCase &c : cases) {
        const PointCase drawn = c.kind == kExp ? PointCase{kUniform, c.d, c.n} : c;
        std::vector<double> xs = Rows(CasePoints(drawn, 9), c.d);
        if (c.kind == kExp)
            for (double &x : xs) x = std::ldexp(1.0 + u(rng), int(rng() % 1000) - 500);
        for (double sort_after : {1.0, 8.0, 1e300}) {
            const flat_tree want = BuildFlatTree(xs.data(), c.n, c.d, sort_after, 1);
            for (int32_t workers : {2, 3, 8}) {
                const flat_tree got = BuildFlatTree(xs.data(), c.n, c.d, sort_after, workers);
                ASSERT_TRUE(SameArray(got.order, want.order) && SameArray(got.start, want.start) &&
                            SameArray(got.size, want.size) && SameArray(got.box, want.box))
                    << "kind " << c.kind << " d=" << c.d << " n=" << c.n << " sort_after "
                    << sort_after << " workers " << workers;
            }
        }
        std::vector<double> twice = xs;
        twice.insert(twice.end(), xs.begin() + 5 * c.d, xs.begin() + 6 * c.d);
        EXPECT_THROW(BuildFlatTree(twice.data(), c.n + 1, c.d, 8.0, 2), no_cut_error);
    }
}

namespace {

bool SameTree(const emst_edges &a, const emst_edges &b) {
    return SameArray(a.ends, b.ends) && SameArray(a.squared, b.squared) &&
           SameArray(a.lengths, b.lengths);
}

// Points past the size from which the Borůvka rounds run on threads: uniform, or on a lattice
// with many equal lengths and equal points.
std::vector<double> MstPoints(bool lattice, int32_t n, int32_t d, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> xs(size_t(n) * size_t(d));
    for (double &x : xs) x = lattice ? double(rng() % 40) : u(rng);
    return xs;
}

}  // namespace

// The rounds' searches on threads find the serial tree to the bit, under both keys, and the
// cores alike.
TEST(ParallelMst, IsTheSerialTree) {
    struct mst_case {
        bool lattice;
        int32_t n, d, min_samples;
        double alpha;
    };
    for (const mst_case &c : {mst_case{false, 40000, 2, 10, 1.0}, mst_case{true, 36000, 3, 5, 1.5},
                              mst_case{false, 33000, 5, 1, 0.5}}) {
        const std::vector<double> xs = MstPoints(c.lattice, c.n, c.d, 3);
        const emst_edges want = EuclideanMST(xs.data(), c.n, c.d, 1);
        checked_vector<double> want_core, got_core;
        tie_edges want_ties, got_ties;
        const emst_edges want_mr = MutualReachabilityMST(xs.data(), c.n, c.d, c.min_samples,
                                                         c.alpha, want_core, &want_ties, 1);
        for (int32_t workers : {2, 3, 8}) {
            EXPECT_TRUE(SameTree(EuclideanMST(xs.data(), c.n, c.d, workers), want))
                << "lattice " << c.lattice << " d=" << c.d << " workers " << workers;
            const emst_edges got = MutualReachabilityMST(xs.data(), c.n, c.d, c.min_samples,
                                                         c.alpha, got_core, &got_ties, workers);
            EXPECT_TRUE(SameTree(got, want_mr) && SameArray(got_core, want_core) &&
                        SameArray(got_ties.ends, want_ties.ends) &&
                        SameArray(got_ties.w, want_ties.w) && got_ties.cored == want_ties.cored &&
                        SameArray(got_ties.twin, want_ties.twin))
                << "lattice " << c.lattice << " d=" << c.d << " workers " << workers;
        }
    }
}

// Prim's order and its linkage from the tree of strict merges on threads, against the heap and
// the serial linkage, where the threaded passes run (from 2^15 points), lattice ties included.
TEST(ParallelPrim, IsTheHeapsOrderAndTheSerialLinkage) {
    for (const bool lattice : {false, true}) {
        const int32_t n = 34000, d = 2, min_samples = 6;
        const std::vector<double> xs = MstPoints(lattice, n, d, 8);
        checked_vector<double> core;
        tie_edges all;
        checked_vector<int32_t> order;
        const emst_edges tree =
            MutualReachabilityMST(xs.data(), n, d, min_samples, 1.0, core, &all, 2, &order);
        const size_t m = tree.count();
        std::vector<int64_t> want(2 * m), got(2 * m), rows(m);
        std::vector<double> want_w(m), got_w(m), want_z(4 * m), got_z(4 * m);
        // The edges the tree of strict merges takes, the same for the heap.
        const std::vector<int32_t> ties = CoreWeightedTies(all, core.data(), order.data());
        PrimOrder(n, core.data(), tree.ends.data(), tree.lengths.data(), ties.data(),
                  ties.size() / 2, ties.size() / 2, nullptr, nullptr, order.data(), want.data(),
                  want_w.data());
        // Equal weights in a shuffled order, as an unstable sort may leave them.
        for (size_t r = 0; r < m; ++r) rows[r] = int64_t(r);
        std::shuffle(rows.begin(), rows.end(), std::mt19937(5));
        std::stable_sort(rows.begin(), rows.end(), [&](int64_t a, int64_t b) {
            return want_w[size_t(a)] < want_w[size_t(b)];
        });
        std::vector<int64_t> ends(2 * m);
        std::vector<double> heights(m);
        for (size_t r = 0; r < m; ++r) {
            ends[2 * r] = want[2 * size_t(rows[r])];
            ends[2 * r + 1] = want[2 * size_t(rows[r]) + 1];
            heights[r] = want_w[size_t(rows[r])];
        }
        ASSERT_EQ(SingleLinkage(n, ends.data(), heights.data(), m, false, want_z.data()), "");
        for (int32_t workers : {2, 3, 8}) {
            prim_tree kept;
            PrimOrderByTree(n, core.data(), tree.ends.data(), tree.lengths.data(), ties.data(),
                            ties.size() / 2, order.data(), got.data(), got_w.data(), workers,
                            &kept);
            EXPECT_EQ(got, want) << "lattice " << lattice << " workers " << workers;
            EXPECT_EQ(got_w, want_w) << "lattice " << lattice << " workers " << workers;
            PrimLinkage(kept, n, got.data(), got_w.data(), rows.data(), got_z.data(), workers);
            EXPECT_EQ(got_z, want_z) << "lattice " << lattice << " workers " << workers;
        }
    }
}

// A failing allocation during the threaded rounds ends the call with std::bad_alloc, leaking
// nothing, or the call gets through whole.
TEST(ParallelFaults, MstEndsInBadAllocOrTheTree) {
    fault_off off;
    const int32_t n = 33000, d = 2;
    const std::vector<double> xs = MstPoints(false, n, d, 8);
    SetAllocFailure(0);
    const emst_edges want = EuclideanMST(xs.data(), n, d, 2);
    const long total = AllocCount();
    for (long k = 1; k <= total + 3; ++k) {
        SetAllocFailure(k);
        try {
            EXPECT_TRUE(SameTree(EuclideanMST(xs.data(), n, d, 2), want)) << "k " << k;
        } catch (const std::bad_alloc &) {
        }
    }
}

// A failing allocation anywhere in Prim's order on threads, a task's included, ends it with
// std::bad_alloc, leaking nothing, or it gets through whole.
TEST(ParallelFaults, PrimOrderEndsInBadAllocOrTheOrder) {
    fault_off off;
    const int32_t n = 33000, d = 2;
    const std::vector<double> xs = MstPoints(true, n, d, 9);
    checked_vector<double> core;
    tie_edges all;
    checked_vector<int32_t> order;
    const emst_edges tree = MutualReachabilityMST(xs.data(), n, d, 5, 1.0, core, &all, 2, &order);
    const std::vector<int32_t> ties = CoreWeightedTies(all, core.data(), order.data());
    const size_t m = tree.count();
    std::vector<int64_t> want(2 * m), got(2 * m);
    std::vector<double> want_w(m), got_w(m);
    SetAllocFailure(0);
    PrimOrderByTree(n, core.data(), tree.ends.data(), tree.lengths.data(), ties.data(),
                    ties.size() / 2, order.data(), want.data(), want_w.data(), 2);
    const long total = AllocCount();
    for (long k = 1; k <= total + 3; ++k) {
        SetAllocFailure(k);
        try {
            PrimOrderByTree(n, core.data(), tree.ends.data(), tree.lengths.data(), ties.data(),
                            ties.size() / 2, order.data(), got.data(), got_w.data(), 2);
            EXPECT_EQ(got, want) << "k " << k;
        } catch (const std::bad_alloc &) {
        }
    }
}
