#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/alloc.h"
#include "module/driver.h"
#include "neighbors/query.h"
#include "tree/distance.h"

namespace {

struct NoFailureAfter {
    ~NoFailureAfter() { SetAllocFailure(0); }
};

// n points of d coordinates: uniform, or on a small grid (ties everywhere, equal points).
std::vector<double> Points(bool grid, int32_t n, int32_t d, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> cell(0, 3);
    std::vector<double> xs(size_t(n) * size_t(d));
    for (double &x : xs) x = grid ? double(cell(rng)) : unit(rng);
    return xs;
}

// Queries around the points' box: half of them on the grid or on points, one far outside.
std::vector<double> Queries(const std::vector<double> &xs, int32_t n, int32_t d, int32_t m,
                            unsigned seed) {
    std::mt19937_64 rng(seed + 1000);
    std::uniform_real_distribution<double> wide(-1.5, 5.0);
    std::uniform_int_distribution<int32_t> pick(0, n - 1);
    std::vector<double> qs(size_t(m) * size_t(d));
    for (int32_t j = 0; j < m; ++j)
        for (int32_t k = 0; k < d; ++k) {
            double &q = qs[size_t(j) * size_t(d) + size_t(k)];
            if (j % 3 == 0)
                q = xs[size_t(pick(rng)) * size_t(d) + size_t(k)];
            else if (j % 3 == 1)
                q = double(int(wide(rng)));
            else
                q = wide(rng);
        }
    for (int32_t k = 0; k < d; ++k) qs[size_t(m - 1) * size_t(d) + size_t(k)] = 1e6;
    return qs;
}

// The k nearest of the points to q by (squared length, position), by brute force.
std::vector<std::pair<double, int64_t>> Brute(const std::vector<double> &xs, int32_t n, int32_t d,
                                              const double *q, int32_t k) {
    std::vector<std::pair<double, int64_t>> all;
    for (int32_t i = 0; i < n; ++i)
        all.emplace_back(SquaredLength(q, &xs[size_t(i) * size_t(d)], d), i);
    std::sort(all.begin(), all.end());
    all.resize(size_t(k));
    return all;
}

}  // namespace

TEST(KNearestQuery, IsTheBruteForceOrder) {
    unsigned seed = 1;
    for (bool grid : {false, true})
        for (int32_t d = 1; d <= 5; ++d)
            for (int32_t n : {1, 2, 7, 40, 250}) {
                const std::vector<double> xs = Points(grid, n, d, ++seed);
                const int32_t m = 30;
                const std::vector<double> qs = Queries(xs, n, d, m, seed);
                for (int32_t k : {1, 3, n}) {
                    if (k > n) continue;
                    SCOPED_TRACE(std::string(grid ? "grid" : "uniform") + " n=" +
                                 std::to_string(n) + " d=" + std::to_string(d) +
                                 " k=" + std::to_string(k) + " seed=" + std::to_string(seed));
                    const knn_rows r = KNearestQuery(xs.data(), n, d, qs.data(), m, k);
                    ASSERT_EQ(r.index.size(), size_t(m) * size_t(k));
                    for (int32_t j = 0; j < m; ++j) {
                        const auto want = Brute(xs, n, d, &qs[size_t(j) * size_t(d)], k);
                        for (int32_t t = 0; t < k; ++t) {
                            const size_t at = size_t(j) * size_t(k) + size_t(t);
                            EXPECT_EQ(r.index[at], want[size_t(t)].second) << "query " << j;
                            EXPECT_EQ(r.squared[at], want[size_t(t)].first) << "query " << j;
                        }
                    }
                }
            }
}

TEST(KNearestQuery, RefusesQueryRowsByRow) {
    const std::vector<double> xs = {0.0, 0.0, 1.0, 1.0};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<std::vector<double>, std::string> cases[] = {
        {{0.5, 0.5, 0.0, nan}, "query row 1: coordinate 1 is nan"},
        {{0.5, 0.5, 1e308, 0.0}, "query row 1: coordinate 0 = 1e+308 is too large"},
        {{1e200, 0.0}, "query row 0 lies too far from the points"},
    };
    for (const auto &c : cases) {
        try {
            check_query_array(2, 2, xs.data(), int32_t(c.first.size() / 2), c.first.data());
            ADD_FAILURE() << "accepted: " << c.second;
        } catch (const std::invalid_argument &e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.second, 0), 0u) << e.what();
        }
    }
    const std::vector<double> fine = {-3.0, 4.0, 0.5, 0.5};
    EXPECT_NO_THROW(check_query_array(2, 2, xs.data(), 2, fine.data()));
}

TEST(KNearestQuery, EveryFailingAllocationThrowsAndKeepsNothing) {
    NoFailureAfter guard;
    for (bool grid : {false, true}) {
        SCOPED_TRACE(grid ? "grid" : "uniform");
        const std::vector<double> xs = Points(grid, 90, 2, 5);
        const std::vector<double> qs = Queries(xs, 90, 2, 12, 5);
        SetAllocFailure(0);
        const knn_rows want = KNearestQuery(xs.data(), 90, 2, qs.data(), 12, 4);
        const long total = AllocCount();
        ASSERT_GE(total, 3);
        for (long k = 1; k <= total; ++k) {
            SetAllocFailure(k);
            EXPECT_THROW(KNearestQuery(xs.data(), 90, 2, qs.data(), 12, 4), std::bad_alloc)
                << "failing allocation " << k;
            SetAllocFailure(0);
            const knn_rows again = KNearestQuery(xs.data(), 90, 2, qs.data(), 12, 4);
            EXPECT_EQ(again.index, want.index);
        }
    }
}
