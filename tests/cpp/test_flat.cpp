#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <stdexcept>

#include "helpers.h"
#include "module/driver.h"
#include "tree/flat.h"

namespace {

std::vector<double> Rows(const std::vector<point> &pts, int32_t d) {
    std::vector<double> xs;
    for (const point &p : pts) xs.insert(xs.end(), p.coords.begin(), p.coords.begin() + d);
    return xs;
}

// The flat subtree at `node` in TreeDump's notation, checking on the way that the ids and the
// ranges of the leaf order fit together: left child node + 1, right child after the left subtree,
// children's ranges side by side, left first, inside the parent's.
std::string FlatDump(const flat_tree &t, int32_t node, std::string &err) {
    const size_t i = size_t(node);
    if (t.size[i] == 1) {
        if (!SameBits(t.radius(i), 0.0)) err = "leaf radius";
        return std::to_string(t.order[size_t(t.start[i])]);
    }
    const int32_t l = node + 1, r = node + 2 * t.size[size_t(l)];
    if (r >= t.nodes() || t.start[size_t(l)] != t.start[i] ||
        t.start[size_t(r)] != t.start[i] + t.size[size_t(l)] ||
        t.size[i] != t.size[size_t(l)] + t.size[size_t(r)])
        err = "node " + std::to_string(node) + ": children do not fit";
    if (!err.empty()) return "";
    std::string s = "(" + FlatDump(t, l, err) + " " + FlatDump(t, r, err) + ")";
    char buf[40];
    for (int32_t k = 0; k <= t.d; ++k) {
        snprintf(buf, sizeof buf, "%c%a", k == 0 ? '@' : ',',
                 k < t.d ? t.center(i)[k] : t.radius(i));
        s += buf;
    }
    return s;
}

// The ways to build: sorted lists throughout, lists taking over after one pass over a task's
// points, the default, and passes over arrays throughout.
const double kSortAfter[] = {0.0, 1.0, 8.0, 1e300};

std::string ZerosUnsigned(std::string s) {
    for (size_t at; (at = s.find("-0x0p+0")) != std::string::npos;) s.erase(at, 1);
    return s;
}

}  // namespace

// The array build must give BuildTree's tree exactly, every way it can be built: structure,
// sides, centers and radii to the bit, on every shape of input, ties and deep chains included.
TEST(FlatTree, IsBuildTreeNodeForNode) {
    const std::vector<PointCase> cases = RandomPointCases();
    for (size_t ci = 0; ci < cases.size(); ++ci) {
        const PointCase &c = cases[ci];
        const unsigned seed = unsigned(5000 + ci);
        SCOPED_TRACE("kind " + std::to_string(c.kind) + ", seed " + std::to_string(seed) + ", d " +
                     std::to_string(c.d) + ", n " + std::to_string(c.n));
        std::vector<point> pts = CasePoints(c, seed);
        // Shuffled, so that positions and sorted order are unrelated.
        std::shuffle(pts.begin(), pts.end(), std::mt19937(seed));
        for (size_t i = 0; i < pts.size(); ++i) pts[i].index = int32_t(i);
        const std::vector<double> xs = Rows(pts, c.d);
        tree_node *root = BuildOver(pts, c.d);
        const std::string want = TreeDump(root, pts.data(), c.d, true);
        FreeTree(root);

        for (double sort_after : kSortAfter) {
            SCOPED_TRACE("sort_after " + std::to_string(sort_after));
            const flat_tree t = BuildFlatTree(xs.data(), c.n, c.d, sort_after);
            ASSERT_EQ(t.order.size(), size_t(c.n));
            ASSERT_EQ(t.size[0], c.n);
            std::string err;
            const std::string got = FlatDump(t, 0, err);
            ASSERT_EQ(err, "");
            EXPECT_EQ(got, want);
        }
    }
}

// Where a box holds only zeros in a dimension, its center there is -0.0 exactly when every one of
// them is -0.0 (the lists sort -0.0 first), however the tree is built; apart from those signs it
// is BuildTree's tree. The last dimension holds nothing but zeros, of random signs or all -0.0.
TEST(FlatTree, SignedZerosAgreeToTheBit) {
    std::mt19937 rng(4242);
    for (int32_t d = 2; d <= 4; ++d) {
        for (bool all_negative : {false, true}) {
            const int32_t n = std::min(int32_t(std::pow(4, d - 1)), 60);
            int32_t k = 0;
            std::vector<point> pts = DistinctPoints(n, d, [&] {
                const bool last = k++ % d == d - 1;
                const double x = last ? 0.0 : double(rng() % 4);
                return x == 0 && (all_negative || rng() % 2) ? -0.0 : x;
            });
            std::shuffle(pts.begin(), pts.end(), rng);
            for (size_t i = 0; i < pts.size(); ++i) pts[i].index = int32_t(i);
            SCOPED_TRACE("d " + std::to_string(d) + (all_negative ? ", all -0.0" : ""));
            const std::vector<double> xs = Rows(pts, d);
            tree_node *root = BuildOver(pts, d);
            const std::string shape = ZerosUnsigned(TreeDump(root, pts.data(), d, true));
            FreeTree(root);
            std::string first;
            for (double sort_after : kSortAfter) {
                const flat_tree t = BuildFlatTree(xs.data(), n, d, sort_after);
                std::string err;
                const std::string got = FlatDump(t, 0, err);
                ASSERT_EQ(err, "");
                EXPECT_EQ(ZerosUnsigned(got), shape);
                if (first.empty()) first = got;
                EXPECT_EQ(got, first) << "sort_after " << sort_after;
                for (int32_t node = 0; node < t.nodes(); ++node) {
                    const size_t i = size_t(node);
                    for (size_t kk = 0; kk < size_t(d); ++kk) {
                        bool zeros = true, negative = true;
                        for (int32_t e = t.start[i]; e < t.start[i] + t.size[i]; ++e) {
                            const double x = pts[size_t(t.order[size_t(e)])].coords[kk];
                            zeros = zeros && x == 0;
                            negative = negative && std::signbit(x);
                        }
                        if (zeros) {
                            EXPECT_EQ(std::signbit(t.center(i)[kk]), negative)
                                << "node " << node << ", dimension " << kk;
                        }
                    }
                }
            }
        }
    }
}

TEST(FlatTree, EmptyAndOnePoint) {
    const flat_tree none = BuildFlatTree(nullptr, 0, 3);
    EXPECT_EQ(none.nodes(), 0);
    EXPECT_TRUE(none.order.empty());
    const double xs[] = {-0.0, 2.5};
    const flat_tree one = BuildFlatTree(xs, 1, 2);
    ASSERT_EQ(one.nodes(), 1);
    EXPECT_EQ(one.order[0], 0);
    EXPECT_EQ(one.size[0], 1);
    EXPECT_TRUE(SameBits(one.center(0)[0], -0.0) && SameBits(one.center(0)[1], 2.5));
}

// The array form of the checks says exactly what the point form says.
TEST(FlatTree, ArrayChecksMatchPointChecks) {
    const double inf = INFINITY;
    const std::vector<std::vector<std::vector<double>>> bad = {
        {{0, 1}, {2, NAN}},        {{0, 1}, {2, inf}},       {{0, 1}, {1e308, 1}},
        {{-9e307, 0}, {9e307, 1}}, {{0, 1}, {3, 4}, {0, 1}}, {{0, -0.0}, {1, 1}, {0, 0.0}},
    };
    for (const auto &rows : bad) {
        std::vector<point> pts = MakePoints(rows);
        const int32_t n = int32_t(rows.size());
        const std::vector<double> xs = Rows(pts, 2);
        std::string want, got;
        try {
            check_quorl_args(n, 2, 1.0, pts);
        } catch (const std::invalid_argument &e) {
            want = e.what();
        }
        try {
            decompose_array(n, 2, 1.0, xs.data());
        } catch (const std::invalid_argument &e) {
            got = e.what();
        }
        EXPECT_NE(want, "");
        EXPECT_EQ(got, want);
    }
    const double two[] = {0.0, 1.0};
    EXPECT_THROW(decompose_array(2, 0, 1.0, two), std::invalid_argument);
    EXPECT_THROW(decompose_array(2, -1, 1.0, two), std::length_error);
    EXPECT_THROW(decompose_array(2, 1, NAN, two), std::invalid_argument);
    EXPECT_THROW(decompose_array(-1, 1, 1.0, two), std::invalid_argument);
}

// Equal points are left to the build to find: it must stop with no_cut_error wherever they sit
// (alone, among others, many copies, equal as -0.0 and 0.0), and the compact path must then
// refuse them with the message of the check, naming the first equal pair by position.
TEST(FlatTree, EqualPointsStopTheBuild) {
    std::mt19937 rng(77);
    for (int32_t d = 1; d <= 5; ++d) {
        for (int32_t n : {2, 3, 17, 400}) {
            std::uniform_int_distribution<int> g(0, 6);
            // Any rows, copies included; at least one copy for sure.
            std::vector<std::vector<double>> rows;
            std::set<std::vector<double>> seen;
            while (int32_t(rows.size()) < n) {
                std::vector<double> r(static_cast<size_t>(d));
                for (double &x : r) x = g(rng);
                seen.insert(r);
                rows.push_back(r);
            }
            if (seen.size() == rows.size()) rows.back() = rows.front();  // at least one pair
            for (double &x : rows.back())
                if (x == 0) x = -0.0;
            SCOPED_TRACE("d " + std::to_string(d) + ", n " + std::to_string(n));
            std::vector<point> pts = MakePoints(rows);
            const std::vector<double> xs = Rows(pts, d);
            for (double sort_after : kSortAfter)
                EXPECT_THROW(BuildFlatTree(xs.data(), n, d, sort_after), no_cut_error);
            std::string want, got;
            try {
                check_quorl_args(n, d, 1.0, pts);
            } catch (const std::invalid_argument &e) {
                want = e.what();
            }
            try {
                run_quorl_compact(n, d, 1.0, pts);
            } catch (const std::invalid_argument &e) {
                got = e.what();
            }
            EXPECT_NE(want.find("are equal"), std::string::npos) << want;
            EXPECT_EQ(got, want);
        }
    }
}
