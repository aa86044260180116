#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>

#include "helpers.h"
#include "tree/split.h"

namespace {

// FindCenter and FindSplit must leave the lists as they found them.
std::vector<std::vector<point *>> Orders(const mylist *lists, int32_t d) {
    std::vector<std::vector<point *>> out;
    for (int32_t k = 0; k < d; ++k) out.push_back(ListPoints(lists[k]));
    return out;
}

struct Split {
    HALF side;
    int32_t dim, count;
};

Split RunSplit(std::vector<point> &pts, int32_t d) {
    mylist *lists = SortedListSet(pts, int32_t(pts.size()), d);
    const auto before = Orders(lists, d);
    Split s = {HIGH, -1, -1};
    FindSplit(lists, d, &s.side, &s.dim, &s.count);
    EXPECT_EQ(Orders(lists, d), before);
    FreeListSet(lists, d);
    return s;
}

}  // namespace

TEST(Split, EdgeCases) {
    const double one_up = std::nextafter(1.0, 2.0), two_up = std::nextafter(one_up, 2.0);
    struct Case {
        const char *name;
        int32_t d;
        std::vector<std::vector<double>> rows;
        Split want;
    };
    const std::vector<Case> cases = {
        {"differ only in dim 0", 3, {{4, 5, 7}, {1, 5, 7}}, {LOW, 0, 1}},
        {"differ only in dim 2", 3, {{1, 5, 9}, {1, 5, 7}}, {LOW, 2, 1}},
        // Dimension 0 would cut off (2, 1.5) high, dimension 1 would cut off (0, 0) low.
        {"equal widths in dims 0 and 1", 2, {{0, 0}, {0.5, 2}, {2, 1.5}}, {HIGH, 0, 1}},
        {"equal widths in dims 1 and 2", 3, {{0, 0, 0}, {1, 2, 1.5}, {0.5, 0.5, 2}}, {HIGH, 1, 1}},
        {"dim 0 constant", 2, {{3, 1}, {3, 0}}, {LOW, 1, 1}},
        {"0 1 3", 1, {{3}, {0}, {1}}, {HIGH, 0, 1}},
        {"0 2 3", 1, {{2}, {3}, {0}}, {LOW, 0, 1}},
        {"0 1 2 3", 1, {{3}, {1}, {0}, {2}}, {LOW, 0, 2}},
        {"0 1 1 1 2: all points at the cut go with the low side",
         1,
         {{1}, {2}, {1}, {0}, {1}},
         {LOW, 0, 4}},
        // c = 0.6 * 0.5 + 0.1 is 0.4 itself, so 0.4 lies at the cut; the box center
        // (0.7 + 0.1) * 0.5 is one bit below 0.4 and would leave it on the high side.
        {"0.1 0.4 0.7: the cut is not the center", 1, {{0.7}, {0.4}, {0.1}}, {LOW, 0, 2}},
        // Adjacent doubles: lo + ulp/2 rounds to the even neighbour, which is lo for lo = 1 and
        // hi for lo = 1 + ulp; in the second case the high point is at the cut and goes alone.
        {"adjacent doubles, cut rounds to lo", 1, {{one_up}, {1.0}}, {LOW, 0, 1}},
        {"adjacent doubles, cut rounds to hi", 1, {{one_up}, {two_up}}, {HIGH, 0, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<point> pts = MakePoints(c.rows);
        const Split s = RunSplit(pts, c.d);
        EXPECT_EQ(s.side, c.want.side);
        EXPECT_EQ(s.dim, c.want.dim);
        EXPECT_EQ(s.count, c.want.count);
    }
}

TEST(Split, FindSplitMatchesCountsAtTheCut) {
    // Brute force: lowest dimension of greatest width, c = w * 0.5 + lo, L = #(x <= c),
    // H = #(x >= c), count min(L, H), low side on a tie.
    for (unsigned seed = 1; seed <= 200; ++seed) {
        std::mt19937 rng(seed);
        const int32_t d = int32_t(1 + seed % 4), g = seed % 2 ? 4 : 1000;
        std::uniform_int_distribution<int> coord(0, g - 1);
        const int32_t n = std::min<int32_t>(2 + int32_t(rng() % 40), int32_t(std::pow(g, d)));
        std::vector<point> pts = DistinctPoints(n, d, [&] { return coord(rng) * 0.1; });
        SCOPED_TRACE("seed " + std::to_string(seed) + ", d " + std::to_string(d) + ", n " +
                     std::to_string(n));
        std::vector<int> all(static_cast<size_t>(n), 0);
        for (int32_t i = 0; i < n; ++i) all[size_t(i)] = i;
        const RefCut cut = ReferenceCut(pts, all, d);
        const Split s = RunSplit(pts, d);
        EXPECT_EQ(s.dim, cut.k);
        EXPECT_EQ(s.side, cut.below <= cut.above ? LOW : HIGH);
        EXPECT_EQ(s.count, std::min(cut.below, cut.above));
    }
}

TEST(Split, FindCenter) {
    struct Case {
        const char *name;
        int32_t d;
        std::vector<std::vector<double>> rows;
        std::vector<double> center;
        double radius;
    };
    const std::vector<Case> cases = {
        {"one point", 2, {{-3.5, 8}}, {-3.5, 8}, 0.0},
        {"dim 1 shared: its coordinate, no radius",
         3,
         {{0, 5, 0}, {2, 5, 4}},
         {1, 5, 2},
         std::sqrt(5.0)},
        {"2-D example", 2, {{0, 0}, {1, 6}, {2, 1}, {3, 8}}, {1.5, 4}, std::sqrt(18.25)},
        {"only the first d coordinates", 2, {{0, 0, 100}, {2, 2, -100}}, {1, 1}, std::sqrt(2.0)},
        // sqrt(h * h) is h exactly for a double h, so the radius is the half width itself.
        {"lo 0.1 hi 0.7", 1, {{0.7}, {0.1}}, {(0.7 + 0.1) * 0.5}, (0.7 - 0.1) * 0.5},
        // Halving the sum is exact here, halving each end is not: 5 * 0.5 and 1 * 0.5 units of the
        // smallest subnormal round to 2 and 0. The half width's square underflows to 0.
        {"subnormal ends", 1, {{5 * DBL_TRUE_MIN}, {DBL_TRUE_MIN}}, {3 * DBL_TRUE_MIN}, 0.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<point> pts = MakePoints(c.rows);
        mylist *lists = SortedListSet(pts, int32_t(pts.size()), c.d);
        std::vector<double> center(size_t(c.d), -1.0);
        tree_node node = {nullptr, nullptr, center.data(), -1.0, nullptr, 0};
        const auto before = Orders(lists, c.d);
        FindCenter(lists, &node, c.d);
        EXPECT_EQ(Orders(lists, c.d), before);
        for (size_t k = 0; k < center.size(); ++k)
            EXPECT_TRUE(SameBits(center[k], c.center[k])) << k << ": " << center[k];
        EXPECT_TRUE(SameBits(node.radius, c.radius)) << node.radius;
        FreeListSet(lists, c.d);
    }
    // The box center of [0.1, 0.7] lies one bit below the cut value 0.4 that FindSplit uses.
    EXPECT_LT((0.7 + 0.1) * 0.5, 0.4);

    std::vector<point> pts = MakePoints({{1.0}, {2.0}});
    mylist *lists = SortedListSet(pts, 2, 1);
    double untouched = 42.0;
    tree_node node = {nullptr, nullptr, &untouched, 7.0, nullptr, 0};
    FindCenter(lists, &node, 0);
    EXPECT_TRUE(SameBits(node.radius, 0.0));
    EXPECT_EQ(untouched, 42.0);
    FreeListSet(lists, 1);
}
