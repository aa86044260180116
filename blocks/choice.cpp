#include "blocks/choice.h"

#include <algorithm>
#include <cmath>

#include "neighbors/brute.h"
#include "tree/bucket.h"

namespace {

// Points of the sample the estimate is drawn from, and how many of them it searches from.
const int32_t kSample = 2048;
const int32_t kProbes = 128;
// Below this dimension the tree always prunes well enough; from the other, building it costs as
// much as measuring every pair.
const int32_t kLeastDimension = 8;
const int32_t kMostDimension = 128;
// Pairs times coordinates that the blocks measure in some tens of milliseconds: not worth an
// estimate, which would cost a good share of that.
const double kFewPairs = double(1 << 29);

// The squared distance from x to node v's box.
double BoxSquared(const bucket_tree &t, int32_t v, const double *x) {
    const double *lo = t.lo(v), *hi = lo + t.d;
    double sum = 0.0;
    for (int32_t k = 0; k < t.d; ++k) {
        const double gap = std::max(std::max(lo[k] - x[k], x[k] - hi[k]), 0.0);
        sum = sum + gap * gap;
    }
    return sum;
}

// The points in the buckets of t that a ball of squared radius r2 around x meets.
int64_t PointsMet(const bucket_tree &t, const double *x, double r2, int32_t v = 0) {
    if (BoxSquared(t, v, x) > r2) return 0;
    if (t.bucket(v)) return t.count[size_t(v)];
    return PointsMet(t, x, r2, v + 1) + PointsMet(t, x, r2, t.right[size_t(v)]);
}

}  // namespace

void TreeShares(const double *xs, int32_t n, int32_t d, const int32_t *k, int32_t count,
                double *shares) {
    const int32_t s = std::min(n, kSample);
    checked_vector<double> sample(size_t(s) * size_t(d));
    for (int32_t i = 0; i < s; ++i) {
        const double *x = xs + size_t(int64_t(i) * n / s) * size_t(d);
        std::copy(x, x + d, &sample[size_t(i) * size_t(d)]);
    }
    bucket_tree t;
    ordered_points p;
    BuildBucketTree(sample.data(), s, d, 32, t, p);
    // The neighbour as far as the k-th of all n points is, among the sample's (each probe is
    // its own first).
    auto scaled = [&](int32_t c) {
        return int32_t(std::min<int64_t>(s - 1, std::max<int64_t>(1, int64_t(k[c]) * s / n)));
    };
    int32_t most = 0;
    for (int32_t c = 0; c < count; ++c) most = std::max(most, scaled(c));
    const int32_t probes = std::min(s, kProbes);
    checked_vector<double> from(size_t(probes) * size_t(d));
    for (int32_t j = 0; j < probes; ++j) {
        const double *x = &sample[size_t(int64_t(j) * s / probes) * size_t(d)];
        std::copy(x, x + d, &from[size_t(j) * size_t(d)]);
    }
    const knn_rows near = BruteNeighbours(sample.data(), s, d, from.data(), probes, most + 1);
    for (int32_t c = 0; c < count; ++c) {
        int64_t met = 0;
        for (int32_t j = 0; j < probes; ++j)
            met += PointsMet(t, &from[size_t(j) * size_t(d)],
                             near.squared[size_t(j) * size_t(most + 1) + size_t(scaled(c))]);
        shares[c] = double(met) / (double(probes) * double(s));
    }
}

bool UseBlocks(int32_t method, const double *xs, int32_t n, int32_t d, int32_t k) {
    if (method != kChooseMethod) return method == kBlockMethod;
    if (d < kLeastDimension || n < 2) return false;
    if (d >= kMostDimension || double(n) * double(n) * double(d) <= kFewPairs) return true;
    // A tree search measures each pair about four times as slowly as the blocks do (measured from
    // 8 to 64 dimensions), and the spanning tree's blocks measure half the pairs, more slowly.
    double shares[2];
    if (k >= 1) {
        TreeShares(xs, n, d, &k, 1, shares);
        return shares[0] > 0.3;
    }
    // The spanning tree: where the tree cannot find nearest neighbours, or, in many dimensions,
    // cannot keep the searches of the last rounds (from large components, as far as other
    // clusters) from meeting most points.
    const int32_t ks[2] = {10, n / 16};
    TreeShares(xs, n, d, ks, 2, shares);
    return shares[0] > 0.5 || (d >= 32 && shares[1] > 0.5);
}
