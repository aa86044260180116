#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "helpers.h"

namespace {

// Center entries then radius of every internal node, in pre-order (node, left, right).
void InternalNumbers(const tree_node *t, int32_t d, std::vector<std::vector<double>> &out) {
    if (t->pt != nullptr) return;
    out.emplace_back(t->center, t->center + d);
    out.back().push_back(t->radius);
    InternalNumbers(t->left, d, out);
    InternalNumbers(t->right, d, out);
}

// Checks the subtree t over the points idx against the tree's definition redone on plain arrays:
// an internal node cuts the longest side of its box (the lowest such dimension) at
// c = w * 0.5 + lo; its right child holds the side with fewer points, those at c included and the
// low side on a tie, and its left child the others. (How BuildTree chains its cuts cannot change
// this result, so the chain itself is not observable here.)
void ExpectSubtree(const tree_node *t, const std::vector<int> &idx, const std::vector<point> &pts,
                   int d) {
    ASSERT_NE(t, nullptr);
    if (idx.size() == 1) {
        EXPECT_EQ(t->pt, &pts[size_t(idx[0])]);
        return;
    }
    ASSERT_EQ(t->pt, nullptr) << "a leaf over " << idx.size() << " points";
    auto x = [&](int i, int k) { return pts[size_t(i)].coords[size_t(k)]; };
    const RefCut cut = ReferenceCut(pts, idx, d);
    const int32_t k = cut.k;
    const double c = cut.c;
    std::vector<int> piece, rest;
    for (int i : idx)
        ((cut.below <= cut.above ? x(i, k) <= c : x(i, k) >= c) ? piece : rest).push_back(i);
    ExpectSubtree(t->right, piece, pts, d);
    if (!::testing::Test::HasFatalFailure()) ExpectSubtree(t->left, rest, pts, d);
}

}  // namespace

TEST(Tree, OnePointIsALeaf) {
    for (int32_t d = 1; d <= 3; ++d) {
        std::vector<point> pts = MakePoints({{4, -5, 6}});
        tree_node *root = BuildOver(pts, d);
        EXPECT_EQ(root->pt, &pts[0]) << d;
        EXPECT_EQ(TreeInvariantError(root, pts, 1, d), "") << d;
        FreeTree(root);
    }
}

TEST(Tree, WorkedExamples) {
    const double one_up = std::nextafter(1.0, 2.0), two_up = std::nextafter(one_up, 2.0);
    struct Example {
        const char *name;
        int32_t d;
        std::vector<std::vector<double>> rows;
        const char *shape;  // leaves by input position, internal nodes as "(left right)"
        std::vector<std::vector<double>> numbers;  // pre-order centers and radii; {} to skip
    };
    const std::vector<Example> examples = {
        {"two points, cut between them", 1, {{5}, {2}}, "(0 1)", {{3.5, 1.5}}},
        {"two points in 2-D", 2, {{0, 0}, {3, 1}}, "(1 0)", {{1.5, 0.5, std::sqrt(2.5)}}},
        // The cut rounds up onto the high point, so that point is the side cut off; the center
        // 1 + 1.5 ulp(1) rounds to even as well, onto the high point.
        {"two adjacent doubles",
         1,
         {{one_up}, {two_up}},
         "(0 1)",
         {{two_up, std::ldexp(1.0, -53)}}},
        {"0 1 3", 1, {{0}, {1}, {3}}, "((1 0) 2)", {{1.5, 1.5}, {0.5, 0.5}}},
        {"0 1 2", 1, {{0}, {1}, {2}}, "(2 (1 0))", {{1, 1}, {0.5, 0.5}}},
        {"1 2 4 8 16",
         1,
         {{1}, {2}, {4}, {8}, {16}},
         "((((1 0) 2) 3) 4)",
         {{8.5, 7.5}, {4.5, 3.5}, {2.5, 1.5}, {1.5, 0.5}}},
        {"(0,0) (1,6) (2,1) (3,8)",
         2,
         {{0, 0}, {1, 6}, {2, 1}, {3, 8}},
         "((3 1) (2 0))",
         {{1.5, 4, std::sqrt(18.25)}, {2, 7, std::sqrt(2.0)}, {1, 0.5, std::sqrt(1.25)}}},
        {"0.1 0.4 0.7, 0.4 at the cut", 1, {{0.1}, {0.4}, {0.7}}, "(2 (1 0))", {}},
    };
    for (const Example &e : examples) {
        SCOPED_TRACE(e.name);
        std::vector<point> pts = MakePoints(e.rows);
        const int32_t n = int32_t(pts.size());
        tree_node *root = BuildOver(pts, e.d);
        EXPECT_EQ(TreeDump(root, pts.data(), e.d, false), e.shape);
        EXPECT_EQ(TreeInvariantError(root, pts, n, e.d), "");
        std::vector<std::vector<double>> numbers;
        InternalNumbers(root, e.d, numbers);
        if (!e.numbers.empty()) {
            EXPECT_EQ(numbers, e.numbers);
        }
        FreeTree(root);
    }
}

TEST(Tree, RandomDistinctPoints) {
    const std::vector<PointCase> cases = RandomPointCases();
    for (size_t ci = 0; ci < cases.size(); ++ci) {
        const PointCase &c = cases[ci];
        const unsigned seed = unsigned(1000 + ci);
        SCOPED_TRACE("kind " + std::to_string(c.kind) + ", seed " + std::to_string(seed) + ", d " +
                     std::to_string(c.d) + ", n " + std::to_string(c.n));
        std::vector<point> pts = CasePoints(c, seed);
        tree_node *root = BuildOver(pts, c.d);
        EXPECT_EQ(TreeInvariantError(root, pts, c.n, c.d), "");
        std::vector<int> all(size_t(c.n));
        std::iota(all.begin(), all.end(), 0);
        ExpectSubtree(root, all, pts, c.d);
        FreeTree(root);
    }
}
