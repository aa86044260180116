#include <gtest/gtest.h>

#include <cfloat>
#include <random>

#include "check.h"
#include "helpers.h"
#include "pairs/search.h"

namespace {

typedef std::vector<int32_t> ints;

// Hand-built nodes. A leaf's center is its point's own coordinates; an internal node's center is
// storage that the test keeps alive.
tree_node Leaf(point &p) { return tree_node{nullptr, nullptr, p.coords.data(), 0.0, &p, 1}; }
tree_node Inner(tree_node &l, tree_node &r, double *center, double radius) {
    return tree_node{&l, &r, center, radius, nullptr, l.size + r.size};
}

// A pair that must stay first and unchanged: every search only appends.
const pair_list::value_type kSentinel(ints{99}, ints{98});

TEST(PairSearch, WorkedExamplesOnThreePoints) {
    // p0 = 0, p1 = 1, p2 = 10; L over p0, p1 has center 0.5 and radius 0.5; the gap between L and
    // p2 is 10 - 0.5 - 2 * 0.5 = 8.5, which equals s * r for s = 17.
    const struct {
        double s;
        pair_list want;
    } cases[] = {
        {1.0, {{{0}, {1}}, {{0, 1}, {2}}}},
        {16.9, {{{0}, {1}}, {{0, 1}, {2}}}},
        {17.0, {{{0}, {1}}, {{0}, {2}}, {{1}, {2}}}},
        {100.0, {{{0}, {1}}, {{0}, {2}}, {{1}, {2}}}},
    };
    std::vector<point> pts = MakePoints({{0.0}, {1.0}, {10.0}});
    double c = 0.5, croot = 5.0;
    tree_node p0 = Leaf(pts[0]), p1 = Leaf(pts[1]), p2 = Leaf(pts[2]);
    tree_node L = Inner(p0, p1, &c, 0.5), root = Inner(L, p2, &croot, 5.0);
    for (const auto &tc : cases) {
        SCOPED_TRACE("s = " + std::to_string(tc.s));
        pair_list got = {kSentinel};
        const int32_t count = FindWSP(&root, tc.s, 1, got);
        EXPECT_EQ(size_t(count), got.size() - 1);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got[0], kSentinel);
        EXPECT_EQ(pair_list(got.begin() + 1, got.end()), tc.want);
    }
}

TEST(PairSearch, SingleLeafHasNoPairs) {
    std::vector<point> pts = MakePoints({{4.0, 2.0}});
    tree_node leaf = Leaf(pts[0]);
    pair_list got;
    EXPECT_EQ(FindWSP(&leaf, 1.0, 2, got), 0);
    EXPECT_TRUE(got.empty());
}

TEST(PairSearch, TwoLeavesMakeOnePairForAnyFiniteS) {
    std::vector<point> pts = MakePoints({{0.0}, {1.0}});
    double c = 0.5;
    tree_node a = Leaf(pts[1]), b = Leaf(pts[0]), root = Inner(a, b, &c, 0.5);
    for (double s : {-5.0, 0.0, 1.0, 1e300, DBL_MAX}) {
        SCOPED_TRACE("s = " + std::to_string(s));
        pair_list got;
        EXPECT_EQ(FindWSP(&root, s, 1, got), 1);
        EXPECT_EQ(got, pair_list({{{1}, {0}}}));
    }
}

TEST(PairSearch, EqualRadiiSplitTheSecondNodeLeftChildFirst) {
    // a over 0, 1 and b over 10, 11 (its left child is the far point 11), both of radius 0.5. The
    // gap 9 is not above s * r = 9.25; a against 11 (gap 9.5) is, a against 10 (gap 8.5) is not.
    // Splitting a first would give ([0], [3, 2]), ([1], [3]), ([1], [2]) instead.
    std::vector<point> pts = MakePoints({{0.0}, {1.0}, {10.0}, {11.0}});
    double ca = 0.5, cb = 10.5;
    tree_node p0 = Leaf(pts[0]), p1 = Leaf(pts[1]), p2 = Leaf(pts[2]), p3 = Leaf(pts[3]);
    tree_node a = Inner(p0, p1, &ca, 0.5), b = Inner(p3, p2, &cb, 0.5);
    pair_list got;
    EXPECT_EQ(FindWSP2(&a, &b, 18.5, 1, got), 3);
    EXPECT_EQ(got, pair_list({{{0, 1}, {3}}, {{0}, {2}}, {{1}, {2}}}));
}

TEST(PairSearch, NeverSplitsALeaf) {
    // Squared distances among 0, 1e-300 and 2e-300 underflow to 0, so no two of these nodes pass
    // the test. N is an internal node of radius 0 (its half-width squared underflows too): against
    // a leaf the rule would pick the leaf when it is second (equal radii), so N must be split.
    std::vector<point> pts = MakePoints({{0.0}, {1e-300}, {2e-300}});
    double cn = 0.0;
    tree_node p0 = Leaf(pts[0]), p1 = Leaf(pts[1]), p2 = Leaf(pts[2]);
    tree_node N = Inner(p0, p1, &cn, 0.0);
    const struct {
        const char *name;
        tree_node *a, *b;
        pair_list want;
    } cases[] = {
        {"leaf, leaf", &p0, &p1, {{{0}, {1}}}},
        {"leaf, leaf reversed", &p1, &p0, {{{1}, {0}}}},
        {"radius-0 node, leaf", &N, &p2, {{{0}, {2}}, {{1}, {2}}}},
        {"leaf, radius-0 node", &p2, &N, {{{2}, {0}}, {{2}, {1}}}},
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.name);
        pair_list got;
        EXPECT_EQ(size_t(FindWSP2(tc.a, tc.b, 1.0, 1, got)), tc.want.size());
        EXPECT_EQ(got, tc.want);
    }
}

TEST(PairSearch, DistinctPointsWithUnderflowingDistanceStillPair) {
    std::vector<point> pts = MakePoints({{0.0}, {1e-300}});
    tree_node *root = BuildOver(pts, 1);
    pair_list got;
    EXPECT_EQ(FindWSP(root, 1.0, 1, got), 1);
    EXPECT_EQ(CheckDecomposition(got, pts, 2, 1, 1.0), "");
    FreeTree(root);
}

TEST(PairSearch, RandomTreesCountMatchesAndCoverEveryPointPairOnce) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const int32_t n = int32_t(2 + rng() % 60), d = int32_t(1 + rng() % 4);
        const double s = (rng() % 9) * 0.5;
        std::vector<point> pts = DistinctPoints(n, d, [&] { return double(rng() % 64) / 4; });
        tree_node *root = BuildOver(pts, d);
        pair_list got = {kSentinel};
        const int32_t count = FindWSP(root, s, d, got);
        EXPECT_EQ(size_t(count), got.size() - 1);
        EXPECT_EQ(got[0], kSentinel);
        got.erase(got.begin());
        EXPECT_EQ(CheckDecomposition(got, pts, n, d, s), "");
        FreeTree(root);
    }
}

TEST(PairOutput, DfsCollectsLeavesLeftToRight) {
    std::vector<point> pts = MakePoints({{0.0}, {1.0}, {10.0}});
    double c = 0.5, croot = 5.0;
    tree_node p0 = Leaf(pts[0]), p1 = Leaf(pts[1]), p2 = Leaf(pts[2]);
    tree_node L = Inner(p0, p1, &c, 0.5), root = Inner(L, p2, &croot, 5.0);
    point_sequence seq = {&pts[2]};
    EXPECT_EQ(dfs(&p1, seq), 1);
    EXPECT_EQ(seq, point_sequence({&pts[2], &pts[1]}));
    seq.clear();
    EXPECT_EQ(dfs(&root, seq), 3);
    EXPECT_EQ(seq, point_sequence({&pts[0], &pts[1], &pts[2]}));
}

TEST(PairOutput, SaveIndicesKeepsSequenceOrderAndAppends) {
    std::vector<point> pts = MakePoints({{0.0}, {1.0}, {2.0}});
    pts[0].index = 7;
    pts[1].index = 2;
    pts[2].index = 5;
    point_sequence first = {&pts[0], &pts[1]}, second = {&pts[2]};
    pair_list got = {kSentinel, {{1}, {2, 3}}};
    const pair_list before = got;
    save_indices(first, second, got);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(pair_list(got.begin(), got.begin() + 2), before);
    EXPECT_EQ(got[2], pair_list::value_type(ints{7, 2}, ints{5}));
    EXPECT_EQ(first, point_sequence({&pts[0], &pts[1]}));
    EXPECT_EQ(second, point_sequence({&pts[2]}));
}

}  // namespace

// The square-root-free test must give the verdict of the test on the rounded distance for every
// squared distance, above all those within a few ulps of the threshold and across the ranges
// where squaring under- or overflows.
TEST(SeparationTest, AgreesWithTheTestOnTheDistance) {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double radii[] = {0.0, 5e-324, 1e-200, 1e-101, 1e-50, 0.3, 1.0, 7.5, 1e50, 1e99, 1e140};
    const double seps[] = {-3.0, -1.999999999, -1.5, -1e-300, -0.0, 0.0,  1e-300,
                           0.5,  1.0,          2.0,  17.0,    1e6,  1e300};
    long checked = 0;
    for (double r : radii) {
        for (double s : seps) {
            // Distances around the threshold 2r + s r, and squares around their squares.
            const double q = 2 * r + s * r;
            std::vector<double> squares = {0.0, 5e-324, 1e-310, 1.0, 1e300, INFINITY};
            for (double dist : {q, std::fabs(q), 2 * r, s * r}) {
                double x = dist;
                for (int step = 0; step < 40; ++step) x = std::nextafter(x, -INFINITY);
                for (int step = 0; step < 80; ++step, x = std::nextafter(x, INFINITY)) {
                    squares.push_back(x * x);
                    squares.push_back(std::nextafter(x * x, INFINITY));
                    squares.push_back(std::nextafter(x * x, -INFINITY));
                }
                for (int i = 0; i < 200; ++i) {
                    const double rel = (unit(rng) - 0.5) * std::ldexp(1.0, -int(rng() % 60));
                    squares.push_back(dist * dist * (1 + rel));
                }
            }
            for (double sq : squares) {
                if (!(sq >= 0)) continue;
                ASSERT_EQ(separation_test(s)(sq, r), Separated(std::sqrt(sq), r, s))
                    << "squared " << sq << " r " << r << " s " << s;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 100000);
}
