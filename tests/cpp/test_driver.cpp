#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <string>

#include "check.h"
#include "helpers.h"
#include "module/driver.h"

namespace {

typedef std::vector<std::vector<double>> rows_t;

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(RunQuorl, Decompositions) {
    // The tree over 0, 1, 3 has the node over {1, 0} (center 0.5, radius 0.5) as its left child
    // and the leaf of 3 as its right one; their gap 1.5 is separated exactly when s < 3.
    const struct {
        const char *name;
        int32_t n, d;
        double s;
        rows_t rows;
        pair_list want;
    } cases[] = {
        // clang-format off
        {"two points", 2, 1, 1.0, {{0.0}, {1.0}}, {{{1}, {0}}}},
        {"three points, s = 1", 3, 1, 1.0, {{0.0}, {1.0}, {3.0}}, {{{1}, {0}}, {{1, 0}, {2}}}},
        {"three points, s = 3", 3, 1, 3.0, {{0.0}, {1.0}, {3.0}},
         {{{1}, {0}}, {{1}, {2}}, {{0}, {2}}}},
        {"s = 0 is used as is", 3, 1, 0.0, {{0.0}, {1.0}, {3.0}}, {{{1}, {0}}, {{1, 0}, {2}}}},
        {"negative s is used as is", 3, 1, -1.0, {{0.0}, {1.0}, {3.0}},
         {{{1}, {0}}, {{1, 0}, {2}}}},
        {"positions, not sorted order", 3, 1, 1.0, {{3.0}, {1.0}, {0.0}},
         {{{1}, {2}}, {{1, 2}, {0}}}},
        {"only the first n points", 3, 1, 1.0, {{0.0}, {1.0}, {3.0}, {0.5}, {0.0}},
         {{{1}, {0}}, {{1, 0}, {2}}}},
        {"coordinates beyond d are ignored", 3, 1, 1.0, {{0.0, 9.0}, {1.0, kNaN}, {3.0, 9.0}},
         {{{1}, {0}}, {{1, 0}, {2}}}},
        {"points past n need no coordinates", 2, 1, 1.0, {{0.0}, {1.0}, {}}, {{{1}, {0}}}},
        {"one point", 1, 2, 1.0, {{1.0, 2.0}}, {}},
        {"n = 0", 0, 1, 1.0, {{1.0}, {1.0}}, {}},
        {"n = 0, no points", 0, 3, 1.0, {}, {}},
        {"largest magnitude alone", 1, 1, 1.0, {{DBL_MAX / 2}}, {}},
        {"duplicates past n", 2, 1, 1.0, {{0.0}, {1.0}, {1.0}}, {{{1}, {0}}}},
        {"tie in coordinate 0", 2, 2, 1.0, {{1.0, 2.0, 3.0}, {1.0, 2.5, 3.0}}, {{{1}, {0}}}},
        // clang-format on
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.name);
        std::vector<point> pts = MakePoints(tc.rows);
        for (point &p : pts) p.index = -1;
        EXPECT_EQ(run_quorl(tc.n, tc.d, tc.s, pts), tc.want);
        // Every record is numbered by its position, also those past n (n = 0 numbers nothing).
        for (size_t i = 0; tc.n > 0 && i < pts.size(); ++i) EXPECT_EQ(pts[i].index, int32_t(i));
    }
}

TEST(RunQuorl, RepeatedCallsAreIndependent) {
    std::vector<point> pts = MakePoints({{0.0, 1.0}, {2.0, 0.5}, {5.0, 5.0}, {1.0, 1.0}});
    const pair_list first = run_quorl(4, 2, 1.5, pts);
    EXPECT_EQ(run_quorl(4, 2, 1.5, pts), first);
}

bool SameCoords(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(RunQuorl, RefusesWhatItCannotDecompose) {
    const double big = DBL_MAX / 2;
    const struct {
        const char *name;
        int32_t n, d;
        double s;
        rows_t rows;
        bool length_error;    // std::length_error instead of std::invalid_argument
        const char *message;  // a part of the message
    } cases[] = {
        // clang-format off
        {"n < 0", -1, 1, 1.0, {{0.0}}, false, "n must not be negative (got -1)"},
        {"n > size", 4, 1, 1.0, {{0.0}, {1.0}, {2.0}}, false,
         "larger than the number of points (3)"},
        {"n > size, empty", 1, 1, 1.0, {}, false, "n = 1 is larger"},
        {"d = 0", 2, 0, 1.0, {{0.0}, {1.0}}, false, "d must be at least 1"},
        {"d < 0", 2, -2, 1.0, {{0.0}, {1.0}}, true, "d must not be negative (got -2)"},
        {"d < 0 wins over n = 0", 0, -1, 1.0, {}, true, "d must not be negative"},
        {"too few coordinates", 3, 2, 1.0, {{0.0, 1.0}, {1.0}, {2.0, 2.0}}, false,
         "position 1 has 1 coordinates, fewer than d = 2"},
        {"NaN coordinate", 3, 1, 1.0, {{0.0}, {1.0}, {kNaN}}, false, "position 2: coordinate 0"},
        {"infinite coordinate", 2, 2, 1.0, {{0.0, 1.0}, {1.0, kInf}}, false,
         "position 1: coordinate 1 is inf"},
        {"-infinite coordinate", 2, 1, 1.0, {{-kInf}, {1.0}}, false, "position 0: coordinate 0"},
        {"infinite s", 2, 1, kInf, {{0.0}, {1.0}}, false, "s must be finite"},
        {"NaN s", 2, 1, kNaN, {{0.0}, {1.0}}, false, "s must be finite"},
        {"NaN s, n = 0", 0, 1, kNaN, {}, false, "s must be finite"},
        {"magnitude above DBL_MAX / 2", 2, 1, 1.0, {{0.0}, {-std::nextafter(big, kInf)}}, false,
         "position 1: coordinate 0"},
        {"squared extent overflows", 2, 1, 1.0, {{0.0}, {1e155}}, false, "spread too far"},
        {"extent overflows", 2, 1, 1.0, {{-big}, {big}}, false, "spread too far"},
        {"sum of squared extents overflows", 2, 2, 1.0, {{0.0, 0.0}, {1e154, 1e154}}, false,
         "spread too far"},
        {"two equal points", 3, 2, 1.0, {{1.0, 2.0}, {3.0, 4.0}, {1.0, 2.0}}, false,
         "positions 0 and 2 are equal"},
        {"-0.0 equals 0.0", 3, 1, 1.0, {{0.0}, {5.0}, {-0.0}}, false, "positions 0 and 2"},
        {"equal in the first d only", 2, 2, 1.0, {{1.0, 2.0, 9.0}, {1.0, 2.0, 8.0}}, false,
         "positions 0 and 1"},
        // clang-format on
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.name);
        std::vector<point> pts = MakePoints(tc.rows);
        for (point &p : pts) p.index = -1;
        std::string message;
        bool length_error = false, refused = false;
        try {
            run_quorl(tc.n, tc.d, tc.s, pts);
        } catch (const std::length_error &e) {
            refused = length_error = true;
            message = e.what();
        } catch (const std::invalid_argument &e) {
            refused = true;
            message = e.what();
        }
        ASSERT_TRUE(refused);
        EXPECT_EQ(length_error, tc.length_error);
        EXPECT_NE(message.find(tc.message), std::string::npos) << message;
        ASSERT_EQ(pts.size(), tc.rows.size());
        for (size_t i = 0; i < pts.size(); ++i) {
            EXPECT_TRUE(SameCoords(pts[i].coords, tc.rows[i])) << "point " << i;
            // Refused before any bookkeeping is written.
            EXPECT_EQ(pts[i].index, -1) << "point " << i;
            for (list_elt *e : pts[i].elts) EXPECT_EQ(e, nullptr) << "point " << i;
        }
    }
}

}  // namespace

// The compact form spelled out must be the pair list itself, pair for pair, index for index;
// Python gets its result from it.
TEST(RunQuorlCompact, SpellsOutToThePairList) {
    std::mt19937_64 rng(20261207);
    for (int32_t d = 1; d <= 4; ++d) {
        for (int32_t n : {0, 1, 2, 7, 300}) {
            for (double s : {0.0, 1.0, 2.5}) {
                SCOPED_TRACE("seed 20261207 d=" + std::to_string(d) + " n=" + std::to_string(n) +
                             " s=" + std::to_string(s));
                std::vector<std::vector<double>> rows;
                // Few values per dimension (ties everywhere), yet enough for n distinct points.
                std::uniform_int_distribution<int> grid(0, d == 1 ? 999 : d == 2 ? 39 : 9);
                std::set<std::vector<double>> seen;
                while (int32_t(rows.size()) < n) {
                    std::vector<double> r(static_cast<size_t>(d), 0.0);
                    for (double &x : r) x = grid(rng) * 0.25;
                    if (seen.insert(r).second) rows.push_back(r);
                }
                std::vector<point> a = MakePoints(rows), b = MakePoints(rows);
                const pair_list expected = run_quorl(n, d, s, a);
                const compact_pairs got = run_quorl_compact(n, d, s, b);
                ASSERT_EQ(got.tree.order.size(), size_t(n));
                const pair_list spelled = SpelledOut(got);
                ASSERT_EQ(spelled.size(), expected.size());
                for (size_t p = 0; p < expected.size(); ++p) {
                    ASSERT_EQ(spelled[p].first, expected[p].first) << "pair " << p;
                    ASSERT_EQ(spelled[p].second, expected[p].second) << "pair " << p;
                }
            }
        }
    }
}
