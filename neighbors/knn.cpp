#include "neighbors/knn.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "common/memory.h"
#include "common/parallel.h"
#include "common/stages.h"
#include "neighbors/brute.h"
#include "neighbors/search.h"

namespace {

// The neighbours of the points of bucket v, in rows that belong to this bucket alone: one
// descent from the root for the whole bucket, pruned by the distance between boxes against the
// farthest k-th neighbour of the bucket so far.
template <int D, bool Groups>
void BucketNearest(const bucket_tree &t, const ordered_points &p, int32_t k, int32_t *pos,
                   double *squared, int32_t v, near_search<D> &search,
                   checked_vector<best_k_row<D, Groups>> &rows, checked_vector<double> &scratch,
                   int32_t keep, double *kth, checked_vector<int32_t> &pos_scratch) {
    const int32_t s = t.start[size_t(v)], e = s + t.count[size_t(v)];
    rows.clear();
    double farthest = 0.0;
    for (int32_t q = s; q < e; ++q) {
        double *d2 =
            squared ? squared + size_t(q) * size_t(k) : &scratch[size_t(q - s) * size_t(k)];
        int32_t *row =
            keep < k ? &pos_scratch[size_t(q - s) * size_t(k)] : pos + size_t(q) * size_t(k);
        const double *x = &p.xs[size_t(q) * size_t(t.d)];
        rows.push_back({t, p, x, q, k, 0, d2, row});
        rows.back().Scan(v);
        farthest = std::max(farthest, rows.back().bound());
    }
    if (v != 0) {  // else the bucket is the whole tree
        group_visitor<D, Groups> visitor{search, rows, v, farthest};
        const double *box = t.lo(v);
        search.Down(
            0, 0.0, [&search, box](int32_t u) { return search.BoxBoxBound(u, box); }, visitor);
    }
    for (const best_k_row<D, Groups> &row : rows) {
        if (kth) kth[row.self] = row.d2[k - 1];
        if (keep < k) std::copy(row.pos, row.pos + keep, pos + size_t(row.self) * size_t(keep));
    }
}

// Each bucket writes only its own rows, so the buckets can be searched in any order, on any
// thread, with the same result.
template <int D, bool Groups>
void AllNearest(const bucket_tree &t, const ordered_points &p, int32_t k, int32_t *pos,
                double *squared, int32_t workers, int32_t keep, double *kth) {
    int32_t widest = 0;
    for (int32_t v = 0; v < t.nodes; ++v)
        if (t.bucket(v)) widest = std::max(widest, t.count[size_t(v)]);
    // What one thread searches with.
    struct searcher {
        near_search<D> search;
        checked_vector<double> scratch;
        checked_vector<int32_t> pos_scratch;
        checked_vector<best_k_row<D, Groups>> rows;
        searcher(const bucket_tree &tree, size_t scratch_size, size_t pos_size,
                 size_t widest_bucket)
            : search(tree), scratch(scratch_size), pos_scratch(pos_size) {
            rows.reserve(widest_bucket);
        }
    };
    const size_t scratch_size = squared ? 0 : size_t(widest) * size_t(k);
    const size_t pos_size = keep < k ? size_t(widest) * size_t(k) : 0;
    // Nodes in pre-order keep neighbouring buckets together, and chunks of them a thread's
    // searches near each other.
    EachBucket(
        t, workers, 256,
        [&] {
            return std::unique_ptr<searcher>(
                new searcher(t, scratch_size, pos_size, size_t(widest)));
        },
        [&](int32_t v, searcher &own) {
            BucketNearest(t, p, k, pos, squared, v, own.search, own.rows, own.scratch, keep, kth,
                          own.pos_scratch);
        });
}

}  // namespace

void NearestNeighbours(const bucket_tree &t, const ordered_points &p, int32_t k, int32_t *pos,
                       double *squared, int32_t workers, int32_t keep, double *kth) {
    if (keep <= 0 || keep > k || squared) keep = k;
    WithDimension(t.d, [&](auto dim) {
        constexpr int D = decltype(dim)::value;
        if (p.group_end.empty())
            AllNearest<D, false>(t, p, k, pos, squared, workers, keep, kth);
        else
            AllNearest<D, true>(t, p, k, pos, squared, workers, keep, kth);
    });
    StageMark("neighbours");
}

namespace {

// Buckets of the size the minimum spanning tree found best for few neighbours.
const int32_t kBucket = 32;

bool Before(const point_pair &a, const point_pair &b) {
    return a.squared < b.squared ||
           (a.squared == b.squared && (a.i < b.i || (a.i == b.i && a.j < b.j)));
}

}  // namespace

point_pair ClosestPair(const double *xs, int32_t n, int32_t d, int32_t workers, bool blocks) {
    if (blocks) {
        const knn_rows rows = BruteNeighbours(xs, n, d, nullptr, 0, 1, workers);
        point_pair best{std::numeric_limits<double>::infinity(), INT32_MAX, INT32_MAX};
        for (int32_t q = 0; q < n; ++q) {
            const int32_t b = int32_t(rows.index[size_t(q)]);
            const point_pair e{rows.squared[size_t(q)], std::min(q, b), std::max(q, b)};
            if (Before(e, best)) best = e;
        }
        return best;
    }
    bucket_tree t;
    ordered_points p;
    {
        const progress_span stage("tree", 0.0, 0.4);
        BuildBucketTree(xs, n, d, kBucket, t, p, workers);
    }
    checked_vector<int32_t> pos(static_cast<size_t>(n));
    checked_vector<double> squared(static_cast<size_t>(n));
    {
        const progress_span stage("neighbours", 0.4, 0.95);
        NearestNeighbours(t, p, 1, pos.data(), squared.data(), workers);
    }
    // The pair's first point has the second for its nearest neighbour (ties to the smaller).
    point_pair best{std::numeric_limits<double>::infinity(), INT32_MAX, INT32_MAX};
    for (size_t q = 0; q < size_t(n); ++q) {
        const int32_t a = p.id[q], b = p.id[size_t(pos[q])];
        const point_pair e{squared[q], std::min(a, b), std::max(a, b)};
        if (Before(e, best)) best = e;
    }
    return best;
}

knn_rows KNearestNeighbours(const double *xs, int32_t n, int32_t d, int32_t k, int32_t workers,
                            bool roots) {
    const int32_t bucket = kBucket;
    knn_rows out;
    if (n < 2 || k < 1) return out;
    bucket_tree t;
    ordered_points p;
    {
        const progress_span stage("tree", 0.0, 0.2);
        BuildBucketTree(xs, n, d, bucket, t, p, workers);
    }
    const size_t kk = size_t(k);
    checked_vector<int32_t> pos(size_t(n) * kk);
    checked_vector<double> squared(size_t(n) * kk);
    {
        const progress_span stage("neighbours", 0.2, 0.95);
        NearestNeighbours(t, p, k, pos.data(), squared.data(), workers);
    }
    out.index.resize(size_t(n) * kk);
    out.squared.resize(size_t(n) * kk);
    // Each ordered point fills its own input row (id is a permutation), and nothing here throws.
    const int32_t threads = UsableThreads(workers);
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1 && n >= 4096))
    for (int64_t qi = 0; qi < int64_t(n); ++qi) {
        const size_t q = size_t(qi), row = size_t(p.id[q]) * kk;
        for (size_t m = 0; m < kk; ++m) {
            out.index[row + m] = p.id[size_t(pos[q * kk + m])];
            const double s2 = squared[q * kk + m];
            out.squared[row + m] = roots ? std::sqrt(s2) : s2;
        }
    }
    StageMark("knn: input order");
    return out;
}
