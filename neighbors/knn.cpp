#include "neighbors/knn.h"

#include <algorithm>
#include <limits>

#include "neighbors/search.h"

namespace {

template <int D, bool Groups>
void AllNearest(const bucket_tree &t, const ordered_points &p, int32_t k, int32_t *pos,
                double *squared) {
    near_search<D> search(t);
    int32_t widest = 0;
    for (int32_t v = 0; v < t.nodes; ++v)
        if (t.bucket(v)) widest = std::max(widest, t.count[size_t(v)]);
    checked_vector<double> scratch(squared ? 0 : size_t(widest) * size_t(k));
    checked_vector<best_k_row<D, Groups>> rows;
    rows.reserve(size_t(widest));
    for (int32_t v = 0; v < t.nodes; ++v) {
        if (!t.bucket(v)) continue;
        const int32_t s = t.start[size_t(v)], e = s + t.count[size_t(v)];
        rows.clear();
        double farthest = 0.0;
        for (int32_t q = s; q < e; ++q) {
            double *d2 = squared ? squared + size_t(q) * size_t(k)
                                 : &scratch[size_t(q - s) * size_t(k)];
            const double *x = &p.xs[size_t(q) * size_t(t.d)];
            rows.push_back({t, p, x, q, k, 0, d2, pos + size_t(q) * size_t(k)});
            rows.back().Scan(v);
            farthest = std::max(farthest, rows.back().bound());
        }
        if (v == 0) continue;  // the bucket is the whole tree
        group_visitor<D, Groups> visitor{search, rows, v, farthest};
        const double *box = t.lo(v);
        search.Down(0, 0.0, [&search, box](int32_t u) { return search.BoxBoxBound(u, box); },
                    visitor);
    }
}

}  // namespace

void NearestNeighbours(const bucket_tree &t, const ordered_points &p, int32_t k, int32_t *pos,
                       double *squared) {
    WithDimension(t.d, [&](auto dim) {
        constexpr int D = decltype(dim)::value;
        if (p.group_end.empty())
            AllNearest<D, false>(t, p, k, pos, squared);
        else
            AllNearest<D, true>(t, p, k, pos, squared);
    });
}

namespace {

// Buckets of the size the minimum spanning tree found best for few neighbours.
const int32_t kBucket = 32;

}  // namespace

point_pair ClosestPair(const double *xs, int32_t n, int32_t d) {
    bucket_tree t;
    ordered_points p;
    BuildBucketTree(xs, n, d, kBucket, t, p);
    checked_vector<int32_t> pos(static_cast<size_t>(n));
    checked_vector<double> squared(static_cast<size_t>(n));
    NearestNeighbours(t, p, 1, pos.data(), squared.data());
    // The pair's first point has the second for its nearest neighbour (ties to the smaller).
    point_pair best{std::numeric_limits<double>::infinity(), INT32_MAX, INT32_MAX};
    for (size_t q = 0; q < size_t(n); ++q) {
        const int32_t a = p.id[q], b = p.id[size_t(pos[q])];
        const point_pair e{squared[q], std::min(a, b), std::max(a, b)};
        if (e.squared < best.squared ||
            (e.squared == best.squared && (e.i < best.i || (e.i == best.i && e.j < best.j))))
            best = e;
    }
    return best;
}

knn_rows KNearestNeighbours(const double *xs, int32_t n, int32_t d, int32_t k) {
    const int32_t bucket = kBucket;
    knn_rows out;
    if (n < 2 || k < 1) return out;
    bucket_tree t;
    ordered_points p;
    BuildBucketTree(xs, n, d, bucket, t, p);
    const size_t kk = size_t(k);
    checked_vector<int32_t> pos(size_t(n) * kk);
    checked_vector<double> squared(size_t(n) * kk);
    NearestNeighbours(t, p, k, pos.data(), squared.data());
    out.index.resize(size_t(n) * kk);
    out.squared.resize(size_t(n) * kk);
    for (size_t q = 0; q < size_t(n); ++q) {
        const size_t row = size_t(p.id[q]) * kk;
        for (size_t m = 0; m < kk; ++m) {
            out.index[row + m] = p.id[size_t(pos[q * kk + m])];
            out.squared[row + m] = squared[q * kk + m];
        }
    }
    return out;
}
