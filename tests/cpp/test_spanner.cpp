#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "module/driver.h"
#include "spanner/spanner.h"
#include "stretch.h"

namespace {

struct NoFailureAfter {
    ~NoFailureAfter() { SetAllocFailure(0); }
};

// n points of d coordinates of one shape: uniform, an integer grid (ties, equal points), far
// blobs, distinct points whose squared lengths underflow to 0, exponentially spaced on one axis.
std::vector<double> Make(int kind, int32_t n, int32_t d, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto integer = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<double> xs(size_t(n) * size_t(d));
    for (int32_t i = 0; i < n; ++i) {
        const int blob = integer(0, 3);
        for (int32_t k = 0; k < d; ++k) {
            double &x = xs[size_t(i) * size_t(d) + size_t(k)];
            switch (kind) {
                case 0: x = unit(rng); break;
                case 1: x = integer(0, 4); break;
                case 2: x = 1000.0 * blob * (k + 1) + unit(rng); break;
                case 3: x = integer(0, 4) * 1e-170; break;
                default: x = k == 0 ? std::ldexp(1.0, integer(-300, 300)) : integer(-1, 1); break;
            }
        }
    }
    return xs;
}

}  // namespace

TEST(Spanner, EveryPairIsJoinedWithinTTimesItsDistance) {
    unsigned seed = 1;
    for (int kind = 0; kind < 5; ++kind)
        for (int32_t d = 1; d <= 5; ++d)
            for (int32_t n : {0, 1, 2, 3, 9, 60, 200})
                for (double t : {1.05, 1.5, 3.0}) {
                    const std::vector<double> xs = Make(kind, n, d, ++seed);
                    check_points_array(n, d, xs.data());
                    SCOPED_TRACE("kind " + std::to_string(kind) + " n=" + std::to_string(n) +
                                 " d=" + std::to_string(d) + " t=" + std::to_string(t));
                    EXPECT_EQ(CheckStretch(xs.data(), n, d, t, GreedySpanner(xs.data(), n, d, t, INT64_MAX)), "");
                }
}

TEST(Spanner, EqualPointsHangOffTheirFirstCopy) {
    const std::vector<double> xs = {2, 2, 0, 0, 2, 2, 0, 0, 2, 2};
    const spanner_edges g = GreedySpanner(xs.data(), 5, 2, 1.5, INT64_MAX);
    const std::vector<int64_t> want = {0, 1, 0, 2, 0, 4, 1, 3};
    EXPECT_EQ(std::vector<int64_t>(g.ends.begin(), g.ends.end()), want);
}

TEST(Spanner, TheEdgeLimitStopsTheBuild) {
    const std::vector<double> xs = Make(0, 300, 2, 7);
    const int64_t all = int64_t(GreedySpanner(xs.data(), 300, 2, 1.5, INT64_MAX).count());
    EXPECT_EQ(int64_t(GreedySpanner(xs.data(), 300, 2, 1.5, all).count()), all);
    try {
        GreedySpanner(xs.data(), 300, 2, 1.5, all - 1);
        FAIL() << "no stop below the edges it needs";
    } catch (const edge_limit_reached &e) {
        EXPECT_EQ(e.edges, all - 1);
    }
}

TEST(Spanner, EveryFailingAllocationThrowsAndKeepsNothing) {
    const NoFailureAfter reset;
    const std::vector<double> xs = Make(1, 80, 2, 3);
    SetAllocFailure(0);
    const spanner_edges want = GreedySpanner(xs.data(), 80, 2, 1.5, INT64_MAX);
    const int64_t total = AllocCount();
    ASSERT_GT(total, 0);
    for (int64_t k = 1; k <= total; ++k) {
        SetAllocFailure(k);
        EXPECT_THROW(GreedySpanner(xs.data(), 80, 2, 1.5, INT64_MAX), std::bad_alloc) << k;
    }
    SetAllocFailure(0);
    const spanner_edges again = GreedySpanner(xs.data(), 80, 2, 1.5, INT64_MAX);
    EXPECT_TRUE(again.ends == want.ends && again.lengths == want.lengths);
}
