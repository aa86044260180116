// The block kernels against the plain loop, and the block searches against the tree searches:
// the same numbers, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "blocks/panels.h"
#include "cluster/hdbscan.h"
#include "helpers.h"
#include "mst/dense.h"
#include "neighbors/brute.h"
#include "neighbors/query.h"
#include "tree/distance.h"

namespace {

// Points with ties and duplicates: coordinates on a coarse grid, every third row a copy.
std::vector<double> TiedPoints(int32_t n, int32_t d, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> grid(0, 3);
    std::vector<double> xs(size_t(n) * size_t(d));
    for (int32_t i = 0; i < n; ++i)
        for (int32_t k = 0; k < d; ++k)
            xs[size_t(i) * d + k] =
                i % 3 == 2 && i > 0 ? xs[size_t(i - 1) * d + k] : grid(gen) * 0.5;
    return xs;
}

// Whether two arrays of doubles hold the same bits (memcmp may not take the null of an empty one).
bool SameDoubles(const double *a, const double *b, size_t count) {
    return count == 0 || memcmp(a, b, count * sizeof(double)) == 0;
}

std::vector<const square_kernels *> EveryKernel() {
    std::vector<const square_kernels *> all{&PlainSquareKernels()};
    if (Avx2SquareKernels()) all.push_back(Avx2SquareKernels());
    return all;
}

}  // namespace

TEST(SquareKernels, AreThePlainLoopOnEveryInstructionSet) {
    for (const square_kernels *kernels : EveryKernel())
        for (int32_t d : {1, 3, 8, 9, 17}) {
            for (int32_t n : {1, 7, 8, 21}) {
                const std::vector<double> xs = Uniform(n, d, unsigned(n * 31 + d));
                const std::vector<double> rows = Uniform(4, d, unsigned(d));
                point_panels p;
                FillPanels(xs.data(), n, d, p);
                const int64_t np = p.panels(), stride = np * kLanes + 3;
                std::vector<double> four(size_t(4 * stride)), one(size_t(np * kLanes));
                const double *r[4] = {&rows[0], &rows[size_t(d)], &rows[0], &rows[size_t(3 * d)]};
                kernels->four(r, p.panel(0), np, d, four.data(), stride);
                kernels->one(r[1], p.panel(0), np, d, nullptr, one.data());
                for (int32_t j = 0; j < n; ++j) {
                    for (int32_t q = 0; q < 4; ++q)
                        ASSERT_TRUE(SameBits(four[size_t(q * stride + j)],
                                             SquaredLength(r[q], &xs[size_t(j) * d], d)))
                            << "d " << d << " n " << n << " row " << q << " point " << j;
                    ASSERT_TRUE(
                        SameBits(one[size_t(j)], SquaredLength(r[1], &xs[size_t(j) * d], d)));
                }
                // Bounded: a lane at or below its bound gets the whole sum; one above gets more
                // than its bound.
                std::vector<double> bound(size_t(np * kLanes));
                for (size_t j = 0; j < bound.size(); ++j)
                    bound[j] = j % 2 ? one[std::min(j, size_t(n - 1))] : 0.0;
                std::vector<double> cut(bound.size());
                kernels->one(r[1], p.panel(0), np, d, bound.data(), cut.data());
                for (int32_t j = 0; j < n; ++j)
                    if (one[size_t(j)] <= bound[size_t(j)])
                        ASSERT_TRUE(SameBits(cut[size_t(j)], one[size_t(j)]));
                    else
                        ASSERT_GT(cut[size_t(j)], bound[size_t(j)]);
            }
        }
}

TEST(BruteNeighbours, AreTheTreeSearchesRows) {
    for (int32_t d : {2, 5, 16, 33})
        for (int32_t n : {2, 9, 150}) {
            for (bool tied : {false, true}) {
                const std::vector<double> xs =
                    tied ? TiedPoints(n, d, unsigned(n + d)) : Uniform(n, d, unsigned(n + d));
                const std::vector<double> qs = TiedPoints(70, d, unsigned(d));
                for (int32_t k : {1, 3, n - 1}) {
                    if (k < 1 || k >= n) continue;
                    const knn_rows a = KNearestNeighbours(xs.data(), n, d, k, 2);
                    const knn_rows b = BruteNeighbours(xs.data(), n, d, nullptr, 0, k, 2);
                    ASSERT_EQ(a.index, b.index) << "d " << d << " n " << n << " k " << k;
                    ASSERT_TRUE(SameDoubles(a.squared.data(), b.squared.data(), a.squared.size()));
                    const knn_rows c = KNearestQuery(xs.data(), n, d, qs.data(), 70, k + 1);
                    const knn_rows e = BruteNeighbours(xs.data(), n, d, qs.data(), 70, k + 1, 2);
                    ASSERT_EQ(c.index, e.index) << "queries, d " << d << " n " << n;
                    ASSERT_TRUE(SameDoubles(c.squared.data(), e.squared.data(), c.squared.size()));
                }
            }
        }
}

TEST(DenseMST, IsTheTreeSearchesTree) {
    for (int32_t d : {1, 3, 16, 40})
        for (int32_t n : {2, 3, 8, 9, 300, 5000}) {
            if (n == 5000 && d != 16) continue;  // enough points for the threads to split steps
            for (bool tied : {false, true}) {
                const std::vector<double> xs =
                    tied ? TiedPoints(n, d, unsigned(n * d)) : Uniform(n, d, unsigned(n * d));
                const emst_edges a = EuclideanMST(xs.data(), n, d, 1);
                for (int32_t workers : {1, 2}) {
                    const emst_edges b = DenseEuclideanMST(xs.data(), n, d, workers);
                    ASSERT_EQ(a.ends, b.ends) << "d " << d << " n " << n << " tied " << tied;
                    ASSERT_TRUE(SameDoubles(a.squared.data(), b.squared.data(), a.squared.size()));
                    ASSERT_TRUE(SameDoubles(a.lengths.data(), b.lengths.data(), a.lengths.size()));
                }
            }
        }
}

TEST(DenseReachability, IsTheTreeSearchAndPrimsOrder) {
    // Up to 200 points the lengths are read from a matrix; 3000 are measured every step.
    for (int32_t d : {2, 9, 30})
        for (int32_t n : {1, 2, 9, 200, 3000})
            for (bool tied : {false, true})
                for (int32_t ms : {1, 2, 5})
                    for (double alpha : {1.0, 0.5}) {
                        if (ms > n || (n == 3000 && (d != 9 || alpha != 1.0 || ms == 2))) continue;
                        const std::vector<double> xs = tied ? TiedPoints(n, d, unsigned(n + d))
                                                            : Uniform(n, d, unsigned(n + d));
                        const std::string what =
                            "d " + std::to_string(d) + " n " + std::to_string(n) + " tied " +
                            std::to_string(tied) + " ms " + std::to_string(ms) + " alpha " +
                            std::to_string(alpha);
                        checked_vector<double> core, dense_core;
                        tie_edges ties;
                        const emst_edges want =
                            MutualReachabilityMST(xs.data(), n, d, ms, alpha, core, &ties);
                        const size_t m = want.count();
                        std::vector<int64_t> want_ends(2 * m), got_ends(2 * m);
                        std::vector<double> want_w(m), got_w(m);
                        if (n >= 2)
                            PrimOrder(n, core.data(), want.ends.data(), want.lengths.data(),
                                      ties.ends.data(), ties.count(), ties.cored, ties.w.data(),
                                      ties.twin.empty() ? nullptr : ties.twin.data(), nullptr,
                                      want_ends.data(), want_w.data());
                        emst_edges got;
                        DenseReachability(xs.data(), n, d, ms, alpha, 2, dense_core, got,
                                          got_ends.data(), got_w.data());
                        ASSERT_TRUE(SameDoubles(core.data(), dense_core.data(), core.size()))
                            << what;
                        ASSERT_EQ(want.ends, got.ends) << what;
                        ASSERT_TRUE(SameDoubles(want.lengths.data(), got.lengths.data(), m))
                            << what;
                        ASSERT_TRUE(SameDoubles(want.squared.data(), got.squared.data(), m))
                            << what;
                        ASSERT_EQ(want_ends, got_ends) << what;
                        ASSERT_TRUE(SameDoubles(want_w.data(), got_w.data(), m)) << what;
                    }
}
