#include "neighbors/query.h"

#include <algorithm>

#include "common/interrupt.h"
#include "neighbors/search.h"

namespace {

// Buckets as for the neighbours of the points themselves.
const int32_t kBucket = 32;
// Queries searched for together: enough to share a descent, few enough that the box around
// them stays small.
const int32_t kGroup = 32;

// The bucket a descent toward x reaches, nearer child first (the left one on a tie).
template <int D>
int32_t HomeBucket(const bucket_tree &t, const near_search<D> &search, const double *x) {
    int32_t v = 0;
    while (!t.bucket(v)) {
        const int32_t l = v + 1, r = t.right[size_t(v)];
        v = search.BoxBound(r, x) < search.BoxBound(l, x) ? r : l;
    }
    return v;
}

// The squared diagonal of node v's box.
double Diagonal(const bucket_tree &t, int32_t v) {
    const double *lo = t.lo(v), *hi = lo + t.d;
    double sum = 0.0;
    for (int32_t k = 0; k < t.d; ++k) sum = sum + (hi[k] - lo[k]) * (hi[k] - lo[k]);
    return sum;
}

template <int D, bool Groups>
void AllQueries(const bucket_tree &t, const ordered_points &p, const double *qs, int32_t m,
                int32_t k, knn_rows &out) {
    near_search<D> search(t);
    const size_t kk = size_t(k), dd = size_t(t.d);
    // The queries grouped by home bucket (a counting sort by key), so that queries near one
    // another share a descent and the buckets they reach stay in cache. Only queries near
    // their bucket's box (within its diagonal) are searched together: those farther out (far
    // from all points, say) may be far from one another too, and a box around them would prune
    // nothing.
    const size_t keys = 2 * size_t(t.nodes);
    checked_vector<int32_t> key(static_cast<size_t>(m)), first(keys + 1, 0);
    for (size_t j = 0; j < size_t(m); ++j) {
        const double *x = qs + j * dd;
        const int32_t v = HomeBucket(t, search, x);
        key[j] = 2 * v + (search.BoxBound(v, x) > Diagonal(t, v) ? 1 : 0);
        ++first[size_t(key[j]) + 1];
    }
    for (size_t v = 0; v < keys; ++v) first[v + 1] += first[v];
    checked_vector<int32_t> order(static_cast<size_t>(m));
    {
        checked_vector<int32_t> fill(first.begin(), first.end() - 1);
        for (int32_t j = 0; j < m; ++j) order[size_t(fill[size_t(key[size_t(j)])]++)] = j;
    }
    checked_vector<double> d2(size_t(kGroup) * kk), box(2 * dd);
    checked_vector<int32_t> pos(size_t(kGroup) * kk);
    checked_vector<best_k_row<D, Groups>> rows;
    rows.reserve(size_t(kGroup));
    for (size_t c = 0; c < keys; ++c) {
        if ((c & 1023) == 0) Progress(double(first[c]) / double(m));
        const int32_t v = int32_t(c / 2), group = c % 2 ? 1 : kGroup;
        for (int32_t s = first[c]; s < first[c + 1]; s += group) {
            ThrowIfStopped();
            const int32_t e = std::min(s + group, first[c + 1]);
            rows.clear();
            double farthest = 0.0;
            for (int32_t g = s; g < e; ++g) {
                const double *x = qs + size_t(order[size_t(g)]) * dd;
                const size_t slot = size_t(g - s) * kk;
                rows.push_back({t, p, x, -1, k, 0, &d2[slot], &pos[slot]});
                rows.back().Scan(v);
                farthest = std::max(farthest, rows.back().bound());
                for (size_t i = 0; i < dd; ++i) {
                    box[i] = g == s ? x[i] : std::min(box[i], x[i]);
                    box[dd + i] = g == s ? x[i] : std::max(box[dd + i], x[i]);
                }
            }
            if (v != 0) {  // else the bucket is the whole tree
                group_visitor<D, Groups> visitor{search, rows, v, farthest};
                const double *b = box.data();
                search.Down(0, 0.0, [&search, b](int32_t u) { return search.BoxBoxBound(u, b); },
                            visitor);
            }
            for (int32_t g = s; g < e; ++g) {
                const size_t row = size_t(order[size_t(g)]) * kk, slot = size_t(g - s) * kk;
                for (size_t r = 0; r < kk; ++r) {
                    out.index[row + r] = p.id[size_t(pos[slot + r])];
                    out.squared[row + r] = d2[slot + r];
                }
            }
        }
    }
}

}  // namespace

knn_rows KNearestQuery(const double *xs, int32_t n, int32_t d, const double *qs, int32_t m,
                       int32_t k) {
    knn_rows out;
    if (n < 1 || k < 1 || k > n) return out;
    bucket_tree t;
    ordered_points p;
    {
        const progress_span stage("tree", 0.0, 0.3);
        BuildBucketTree(xs, n, d, kBucket, t, p);
    }
    const progress_span stage("queries", 0.3, 1.0);
    out.index.resize(size_t(m) * size_t(k));
    out.squared.resize(size_t(m) * size_t(k));
    WithDimension(d, [&](auto dim) {
        constexpr int D = decltype(dim)::value;
        if (p.group_end.empty())
            AllQueries<D, false>(t, p, qs, m, k, out);
        else
            AllQueries<D, true>(t, p, qs, m, k, out);
    });
    return out;
}
