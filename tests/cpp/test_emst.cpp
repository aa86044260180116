#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "kruskal.h"
#include "module/driver.h"
#include "mst/emst.h"
#include "mst/linkage.h"
#include "neighbors/knn.h"
#include "tree/bucket.h"

namespace {

struct NoFailureAfter {
    ~NoFailureAfter() { SetAllocFailure(0); }
};

enum Kind { kUniform, kBlobs, kGrid, kDuplicates, kUnderflow, kSubnormal, kPow2 };
const char *const kKindNames[] = {"uniform",   "blobs",     "grid", "duplicates",
                                  "underflow", "subnormal", "pow2"};

struct Case {
    Kind kind;
    int32_t n, d;
    unsigned seed;
    std::vector<double> xs;
    std::string name() const {
        return std::string(kKindNames[kind]) + " n=" + std::to_string(n) +
               " d=" + std::to_string(d) + " seed=" + std::to_string(seed);
    }
};

// n points of d coordinates, row after row, of one shape.
std::vector<double> Make(Kind kind, int32_t n, int32_t d, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto integer = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<double> xs(size_t(n) * size_t(d));
    std::vector<double> centers(5 * size_t(d)), few(4 * size_t(d));
    for (double &c : centers) c = 100.0 * unit(rng);
    for (double &c : few) c = integer(-1, 1);
    std::normal_distribution<double> spread(0.0, 1e-3);
    for (int32_t i = 0; i < n; ++i) {
        const int blob = integer(0, 4), copy = integer(0, 3);
        for (int32_t k = 0; k < d; ++k) {
            double &x = xs[size_t(i) * size_t(d) + size_t(k)];
            switch (kind) {
                case kUniform:
                    x = unit(rng);
                    break;
                case kBlobs:  // tight clusters far apart
                    x = centers[size_t(blob) * size_t(d) + size_t(k)] + spread(rng);
                    break;
                case kGrid:  // ties everywhere, some equal points
                    x = integer(0, 5);
                    break;
                case kDuplicates:  // many copies of four points, zeros of either sign
                    x = few[size_t(copy) * size_t(d) + size_t(k)];
                    if (x == 0.0 && integer(0, 1)) x = -0.0;
                    break;
                case kUnderflow:  // distinct points, every squared length 0
                    x = integer(0, 4) * 1e-170;
                    break;
                case kSubnormal:  // squared lengths of a few subnormal units
                    x = integer(0, 8) * 1e-161;
                    break;
                case kPow2:  // exponentially spaced first coordinate: a deep tree
                    x = k == 0 ? std::ldexp(integer(0, 1) ? 1.0 : -1.0, integer(-500, 499))
                               : double(integer(-2, 2));
                    break;
            }
        }
    }
    return xs;
}

std::vector<Case> Cases() {
    std::vector<Case> out;
    unsigned seed = 1;
    for (int kind = kUniform; kind <= kPow2; ++kind)
        for (int32_t d = 1; d <= 6; ++d)
            for (int32_t n : {0, 1, 2, 3, 7, 40, 250}) {
                out.push_back({Kind(kind), n, d, seed, Make(Kind(kind), n, d, seed)});
                ++seed;
            }
    return out;
}

// The points 2^i (i = 0..n-1) in 1-D, in order, reversed or shuffled: a chain of cuts as deep
// as the set.
std::vector<double> PowersOfTwo(int32_t n, int order) {
    std::vector<double> xs;
    for (int32_t i = 0; i < n; ++i) xs.push_back(std::ldexp(1.0, i));
    if (order == 1) std::reverse(xs.begin(), xs.end());
    if (order == 2) std::shuffle(xs.begin(), xs.end(), std::mt19937(uint32_t(n)));
    return xs;
}

std::string EmstError(const std::vector<double> &xs, int32_t n, int32_t d) {
    check_points_array(n, d, xs.data());  // the precondition: a test input that fails it is wrong
    return CompareWithKruskal(EuclideanMST(xs.data(), n, d), KruskalMST(xs.data(), n, d));
}

}  // namespace

TEST(Emst, IsKruskalsTreeUnderTheKey) {
    for (const Case &c : Cases()) {
        SCOPED_TRACE(c.name());
        EXPECT_EQ(EmstError(c.xs, c.n, c.d), "");
    }
}

TEST(Emst, ExponentiallySpacedPoints) {
    for (int order = 0; order < 3; ++order) {
        SCOPED_TRACE("order " + std::to_string(order));
        EXPECT_EQ(EmstError(PowersOfTwo(500, order), 500, 1), "");
        // Alone on the first axis, every other coordinate equal.
        std::vector<double> wide;
        for (double x : PowersOfTwo(300, order)) wide.insert(wide.end(), {x, 7.0, -7.0});
        EXPECT_EQ(EmstError(wide, 300, 3), "");
    }
}

TEST(Emst, AllPointsEqual) {
    for (int32_t d : {1, 2, 5}) {
        std::vector<double> xs(size_t(70) * size_t(d), 3.25);
        for (size_t i = 0; i < xs.size(); i += 3) xs[i] = 0.0;  // zeros of either sign
        for (size_t i = 0; i < xs.size(); i += 6) xs[i] = -0.0;
        SCOPED_TRACE("d=" + std::to_string(d));
        EXPECT_EQ(EmstError(xs, 70, d), "");
    }
}

TEST(Emst, ReadsOnlyTheFirstNRows) {
    std::vector<double> xs = Make(kGrid, 120, 2, 99);
    const brute_tree want = KruskalMST(xs.data(), 100, 2);
    for (size_t i = 200; i < xs.size(); ++i) xs[i] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(CompareWithKruskal(EuclideanMST(xs.data(), 100, 2), want), "");
}

// k nearest other points by (squared length, input position), by brute force, for input point a.
std::vector<std::pair<double, int32_t>> BruteNearest(const std::vector<double> &xs, int32_t n,
                                                      int32_t d, int32_t a, int32_t k) {
    std::vector<std::pair<double, int32_t>> all;
    for (int32_t b = 0; b < n; ++b)
        if (b != a) all.emplace_back(PairSquared(xs.data(), d, a, b), b);
    std::sort(all.begin(), all.end());
    all.resize(size_t(k));
    return all;
}

TEST(NearestNeighbours, AreTheBruteForceNearest) {
    for (const Case &c : Cases()) {
        if (c.n < 2 || c.n > 40) continue;
        for (int32_t bucket : {1, 4, 32}) {
            bucket_tree t;
            ordered_points p;
            BuildBucketTree(c.xs.data(), c.n, c.d, bucket, t, p);
            for (int32_t k : {1, 3, c.n - 1}) {
                if (k > c.n - 1) continue;
                SCOPED_TRACE(c.name() + " bucket=" + std::to_string(bucket) +
                             " k=" + std::to_string(k));
                std::vector<int32_t> pos(size_t(c.n) * size_t(k), -1), bare(pos);
                std::vector<double> squared(pos.size());
                NearestNeighbours(t, p, k, pos.data(), squared.data());
                NearestNeighbours(t, p, k, bare.data(), nullptr);
                EXPECT_EQ(pos, bare);
                for (int32_t q = 0; q < c.n; ++q) {
                    const int32_t a = p.id[size_t(q)];
                    const auto want = BruteNearest(c.xs, c.n, c.d, a, k);
                    for (int32_t m = 0; m < k; ++m) {
                        const size_t at = size_t(q) * size_t(k) + size_t(m);
                        ASSERT_GE(pos[at], 0);
                        ASSERT_LT(pos[at], c.n);
                        EXPECT_EQ(p.id[size_t(pos[at])], want[size_t(m)].second)
                            << "point " << a << ", neighbour " << m;
                        EXPECT_EQ(Hex(squared[at]), Hex(want[size_t(m)].first))
                            << "point " << a << ", neighbour " << m;
                    }
                }
            }
        }
    }
}

namespace {

// Checks z against its definition, with the members of each cluster spelled out: row k joins
// the clusters holding the two ends of edge k (the first end's first unless smaller_first, then
// the smaller id first), at edge k's height, into a cluster of their total size.
std::string CheckLinkage(int64_t n, const std::vector<int64_t> &ends,
                         const std::vector<double> &heights, bool smaller_first,
                         const std::vector<double> &z) {
    std::vector<std::set<int64_t>> members(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) members[size_t(i)] = {i};
    std::vector<bool> used(size_t(2 * n), false);
    for (size_t k = 0; k + 1 < size_t(n); ++k) {
        const std::string row = "row " + std::to_string(k) + ": ";
        const double *r = &z[4 * k];
        const int64_t a = int64_t(r[0]), b = int64_t(r[1]);
        if (double(a) != r[0] || double(b) != r[1] || a < 0 || b < 0 ||
            a >= n + int64_t(k) || b >= n + int64_t(k))
            return row + "bad ids";
        if (used[size_t(a)] || used[size_t(b)] || a == b) return row + "a cluster merged twice";
        used[size_t(a)] = used[size_t(b)] = true;
        const int64_t u = ends[2 * k], v = ends[2 * k + 1];
        const bool straight = members[size_t(a)].count(u) && members[size_t(b)].count(v);
        const bool crossed = members[size_t(a)].count(v) && members[size_t(b)].count(u);
        if (!(smaller_first ? (straight || crossed) && a < b : straight))
            return row + "not the clusters of edge " + std::to_string(k);
        std::set<int64_t> joined = members[size_t(a)];
        joined.insert(members[size_t(b)].begin(), members[size_t(b)].end());
        if (memcmp(&r[2], &heights[k], sizeof(double)) != 0) return row + "wrong height";
        if (r[3] != double(joined.size())) return row + "wrong size";
        members.push_back(joined);
    }
    return "";
}

// A random spanning tree of n points (each point joined to an earlier one of a random order),
// its edges in random order with random ends first, heights of few values.
void RandomTree(int64_t n, unsigned seed, std::vector<int64_t> &ends, std::vector<double> &h) {
    std::mt19937 rng(seed);
    std::vector<int64_t> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), rng);
    ends.clear();
    h.clear();
    for (int64_t i = 1; i < n; ++i) {
        int64_t a = order[size_t(i)], b = order[rng() % size_t(i)];
        if (rng() & 1) std::swap(a, b);
        ends.push_back(a);
        ends.push_back(b);
        h.push_back(double(rng() % 4));
    }
    std::sort(h.begin(), h.end());
}

}  // namespace

TEST(SingleLinkage, RowsAreTheMergesOfTheEdges) {
    for (int64_t n : {0, 1, 2, 3, 10, 200})
        for (bool smaller_first : {true, false})
            for (unsigned seed = 1; seed <= 3; ++seed) {
                SCOPED_TRACE("n=" + std::to_string(n) + " seed=" + std::to_string(seed) +
                             (smaller_first ? " smaller first" : " first end first"));
                std::vector<int64_t> ends;
                std::vector<double> h;
                RandomTree(n, seed, ends, h);
                std::vector<double> z(4 * h.size(), -1.0);
                ASSERT_EQ(SingleLinkage(n, ends.data(), h.data(), h.size(), smaller_first,
                                        z.data()),
                          "");
                EXPECT_EQ(CheckLinkage(n, ends, h, smaller_first, z), "");
            }
}

TEST(SingleLinkage, RefusesWhatIsNotASpanningTree) {
    struct Bad {
        int64_t n;
        std::vector<int64_t> ends;
        const char *words;
        size_t good_rows;  // rows written before the fault
    };
    const Bad cases[] = {
        {-1, {}, "n must not be negative", 0},
        {4, {0, 1, 1, 2}, "a spanning tree of 4 points has 3 edges, not 2", 0},
        {0, {0, 1}, "a spanning tree of 0 points has 0 edges, not 1", 0},
        {4, {0, 1, 2, 3, 1, 0}, "edge 2 joins points 1 and 0, which earlier edges already join", 2},
        {3, {0, 1, 2, 2}, "edge 1 joins points 2 and 2", 1},
        {3, {0, 1, 1, 3}, "edge 1 has an end outside 0..2", 1},
        {3, {-1, 0, 1, 2}, "edge 0 has an end outside 0..2", 0},
        {3, {0, 1, 1, INT64_MIN}, "edge 1 has an end outside 0..2", 1},
    };
    for (const Bad &c : cases) {
        SCOPED_TRACE(c.words);
        const size_t m = c.ends.size() / 2;
        std::vector<double> h(m, 1.0), z(4 * m + 4, -7.0);
        const std::string fault = SingleLinkage(c.n, c.ends.data(), h.data(), m, true, z.data());
        EXPECT_NE(fault.find(c.words), std::string::npos) << fault;
        for (size_t i = 4 * c.good_rows; i < z.size(); ++i)
            EXPECT_EQ(z[i], -7.0) << "wrote entry " << i << " after the fault";
    }
}

TEST(Emst, EveryFailingAllocationThrowsAndKeepsNothing) {
    NoFailureAfter guard;
    struct Input {
        const char *name;
        int32_t d;
        std::vector<double> xs;
    };
    const Input inputs[] = {
        {"two equal points", 2, {1.0, 2.0, 1.0, 2.0}},
        {"duplicates n=9 d=2 seed=5", 2, Make(kDuplicates, 9, 2, 5)},
        {"grid n=60 d=3 seed=6", 3, Make(kGrid, 60, 3, 6)},
        {"uniform n=50 d=6 seed=7", 6, Make(kUniform, 50, 6, 7)},
        {"pow2 n=40 d=1 seed=8", 1, Make(kPow2, 40, 1, 8)},
    };
    for (const Input &in : inputs) {
        SCOPED_TRACE(in.name);
        const std::vector<double> &xs = in.xs;
        const int32_t d = in.d, n = int32_t(xs.size()) / d;
        const brute_tree want = KruskalMST(xs.data(), n, d);
        SetAllocFailure(0);
        std::vector<double> z(4 * size_t(n - 1));
        {
            const emst_edges r = EuclideanMST(xs.data(), n, d);
            ASSERT_EQ(SingleLinkage(n, r.ends.data(), r.lengths.data(), r.count(), true, z.data()),
                      "");
        }
        const long total = AllocCount();
        ASSERT_GE(total, 3);
        for (long k = 1; k <= total; ++k) {
            SCOPED_TRACE("failing allocation " + std::to_string(k) + " of " +
                         std::to_string(total));
            SetAllocFailure(k);
            try {
                const emst_edges r = EuclideanMST(xs.data(), n, d);
                SingleLinkage(n, r.ends.data(), r.lengths.data(), r.count(), true, z.data());
                ADD_FAILURE() << "no std::bad_alloc";
            } catch (const std::bad_alloc &) {
            }
            EXPECT_EQ(AllocCount(), k) << "went on after the failure";
            SetAllocFailure(0);
            EXPECT_EQ(CompareWithKruskal(EuclideanMST(xs.data(), n, d), want), "");
        }
    }
}
