#include "neighbors/query.h"

#include "neighbors/search.h"

namespace {

// One query point's search: every bucket the row's own bound lets in is scanned for it.
template <int D, bool Groups>
struct query_visitor {
    best_k_row<D, Groups> &row;

    double bound() const { return row.bound(); }
    static bool open(int32_t) { return true; }
    static void passed(double) {}
    void scan(int32_t v) { row.Scan(v); }
};

// Buckets as for the neighbours of the points themselves.
const int32_t kBucket = 32;

template <int D, bool Groups>
void AllQueries(const bucket_tree &t, const ordered_points &p, const double *qs, int32_t m,
                int32_t k, knn_rows &out) {
    near_search<D> search(t);
    const size_t kk = size_t(k), dd = size_t(t.d);
    checked_vector<double> d2(kk);
    checked_vector<int32_t> pos(kk);
    for (size_t j = 0; j < size_t(m); ++j) {
        const double *x = qs + j * dd;
        best_k_row<D, Groups> row{t, p, x, -1, k, 0, d2.data(), pos.data()};
        query_visitor<D, Groups> visitor{row};
        // The query may lie outside every box, so the search starts at the root, not at a
        // bucket that holds it.
        search.Down(
            0, search.BoxBound(0, x), [&search, x](int32_t u) { return search.BoxBound(u, x); },
            visitor);
        for (size_t r = 0; r < kk; ++r) {
            out.index[j * kk + r] = p.id[size_t(pos[r])];
            out.squared[j * kk + r] = d2[r];
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
    BuildBucketTree(xs, n, d, kBucket, t, p);
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
