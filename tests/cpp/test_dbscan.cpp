#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "cluster/dbscan.h"
#include "helpers.h"
#include "tree/distance.h"

namespace {

// DBSCAN by its definition, over all pairs: counts, then clusters expanded from the lowest
// unlabelled core point, border points taken by the first cluster that reaches them.
std::vector<int64_t> BruteDbscan(const std::vector<double> &xs, int32_t d, double eps2, double need,
                                 const std::vector<double> &w) {
    const int32_t n = int32_t(xs.size() / size_t(d));
    auto near = [&](int32_t a, int32_t b) {
        return SquaredLength(&xs[size_t(a) * size_t(d)], &xs[size_t(b) * size_t(d)], d) <= eps2;
    };
    std::vector<bool> core(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
        double sum = 0.0;
        for (int32_t j = 0; j < n; ++j)
            if (near(i, j)) sum += w.empty() ? 1.0 : w[size_t(j)];
        core[size_t(i)] = sum >= need;
    }
    std::vector<int64_t> label(static_cast<size_t>(n), -1);
    int64_t next = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (!core[size_t(i)] || label[size_t(i)] >= 0) continue;
        std::vector<int32_t> stack{i};
        label[size_t(i)] = next;
        while (!stack.empty()) {
            const int32_t a = stack.back();
            stack.pop_back();
            for (int32_t b = 0; b < n; ++b)
                if (label[size_t(b)] < 0 && near(a, b)) {
                    label[size_t(b)] = next;
                    if (core[size_t(b)]) stack.push_back(b);
                }
        }
        ++next;
    }
    return label;
}

struct dbscan_case {
    const char *kind;
    int32_t n, d;
    double eps, need;
    bool weighted;
};

class DbscanBrute : public ::testing::TestWithParam<dbscan_case> {};

TEST_P(DbscanBrute, LabelsAndCoresAreTheDefinitions) {
    const dbscan_case c = GetParam();
    const unsigned seed = unsigned(c.n * 31 + c.d);
    std::mt19937 rng(seed);
    std::vector<double> xs = Uniform(c.n, c.d, seed);
    if (std::string(c.kind) == "grid")
        for (double &x : xs) x = std::floor(x * 5);
    if (std::string(c.kind) == "duplicates")  // every third row repeats the one before it
        for (int32_t i = 2; i < c.n; i += 3)
            std::copy(&xs[size_t(i - 1) * size_t(c.d)], &xs[size_t(i) * size_t(c.d)],
                      &xs[size_t(i) * size_t(c.d)]);
    std::vector<double> w;
    if (c.weighted) {
        const double choices[] = {0.0, 0.5, 1.0, 2.0, -1.0};
        for (int32_t i = 0; i < c.n; ++i) w.push_back(choices[rng() % 5]);
    }
    const std::vector<int64_t> expect = BruteDbscan(xs, c.d, c.eps * c.eps, c.need, w);
    for (int32_t run = 0; run < 4; ++run) {
        // The tree, then the blocks, on 1 and 2 threads.
        const int32_t workers = 1 + run % 2;
        const dbscan_result r = Dbscan(xs.data(), c.n, c.d, c.eps * c.eps, c.need,
                                       w.empty() ? nullptr : w.data(), workers, true, run >= 2);
        EXPECT_EQ(std::vector<int64_t>(r.labels.begin(), r.labels.end()), expect)
            << "seed " << seed << ", workers " << workers << ", blocks " << (run >= 2);
        EXPECT_EQ(r.clusters,
                  expect.empty() ? 0 : *std::max_element(expect.begin(), expect.end()) + 1);
        for (size_t k = 1; k < r.core.size(); ++k) ASSERT_LT(r.core[k - 1], r.core[k]);
        for (int64_t i : r.core) EXPECT_GE(expect[size_t(i)], 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Sweep, DbscanBrute,
                         ::testing::Values(dbscan_case{"uniform", 1, 2, 0.1, 1, false},
                                           dbscan_case{"uniform", 700, 2, 0.05, 5, false},
                                           dbscan_case{"uniform", 700, 2, 0.08, 1, false},
                                           dbscan_case{"uniform", 900, 3, 0.15, 8, true},
                                           dbscan_case{"uniform", 500, 7, 0.5, 6, false},
                                           dbscan_case{"uniform", 400, 2, 2.0, 30, false},
                                           dbscan_case{"grid", 600, 2, 1.0, 12, false},
                                           dbscan_case{"grid", 600, 3, 1.0, 4, true},
                                           dbscan_case{"duplicates", 600, 2, 0.04, 3, false},
                                           dbscan_case{"duplicates", 600, 4, 0.2, 5, true}));

}  // namespace
