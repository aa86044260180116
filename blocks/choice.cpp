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
// Pairs times coordinates that the blocks measure in a few milliseconds: not worth an estimate.
const double kFewPairs = double(1 << 27);

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

double TreeShare(const double *xs, int32_t n, int32_t d, int32_t k) {
    const int32_t s = std::min(n, kSample);
    checked_vector<double> sample(size_t(s) * size_t(d));
    for (int32_t i = 0; i < s; ++i) {
        const double *x = xs + size_t(int64_t(i) * n / s) * size_t(d);
        std::copy(x, x + d, &sample[size_t(i) * size_t(d)]);
    }
    bucket_tree t;
    ordered_points p;
    BuildBucketTree(sample.data(), s, d, 32, t, p);
    // The neighbour as far as the k-th of all n points is, among the sample's.
    const int32_t ks = int32_t(std::min<int64_t>(s - 1, std::max<int64_t>(1, int64_t(k) * s / n)));
    const int32_t probes = std::min(s, kProbes);
    checked_vector<double> from(size_t(probes) * size_t(d));
    for (int32_t j = 0; j < probes; ++j) {
        const double *x = &sample[size_t(int64_t(j) * s / probes) * size_t(d)];
        std::copy(x, x + d, &from[size_t(j) * size_t(d)]);
    }
    const knn_rows near = BruteNeighbours(sample.data(), s, d, from.data(), probes, ks + 1);
    int64_t met = 0;
    for (int32_t j = 0; j < probes; ++j)
        met += PointsMet(t, &from[size_t(j) * size_t(d)], near.squared[size_t(j) * (ks + 1) + ks]);
    return double(met) / (double(probes) * double(s));
}

bool UseBlocks(int32_t method, const double *xs, int32_t n, int32_t d, int32_t k) {
    if (method != kChooseMethod) return method == kBlockMethod;
    if (d < kLeastDimension || n < 2) return false;
    if (d >= kMostDimension || double(n) * double(n) * double(d) <= kFewPairs) return true;
    // A tree search measures each pair about four times as slowly as the blocks do (measured from
    // 8 to 64 dimensions), and the spanning tree's blocks measure half the pairs, more slowly.
    if (k >= 1) return TreeShare(xs, n, d, k) > 0.3;
    // The spanning tree: where the tree cannot find nearest neighbours, or, in many dimensions,
    // cannot keep the searches of the last rounds (from large components, as far as other
    // clusters) from meeting most points.
    return TreeShare(xs, n, d, 10) > 0.5 || (d >= 32 && TreeShare(xs, n, d, n / 16) > 0.5);
}
