#include "neighbors/knn.h"

#include <limits>

#include "neighbors/search.h"

namespace {

// Keeps the k best of the points scanned for q, sorted, in the caller's rows.
template <int D, bool Groups>
struct knn_visitor {
    const bucket_tree &t;
    const ordered_points &p;
    const double *x;
    int32_t q, k, filled;
    double *d2;
    int32_t *pos;

    int32_t dims() const { return D > 0 ? D : t.d; }
    double bound() const { return filled < k ? std::numeric_limits<double>::infinity() : d2[k - 1]; }
    static bool open(int32_t) { return true; }
    static void passed(double) {}

    bool Before(double a, int32_t ida, int32_t m) const {
        return a < d2[m] || (a == d2[m] && ida < p.id[size_t(pos[m])]);
    }

    void scan(int32_t v) {
        const int32_t end = t.start[size_t(v)] + t.count[size_t(v)];
        for (int32_t r = t.start[size_t(v)]; r < end;) {
            if (r == q) {
                ++r;
                continue;
            }
            const double a = SquaredLength(x, &p.xs[size_t(r) * size_t(dims())], dims());
            const int32_t id = p.id[size_t(r)];
            if (filled == k && !Before(a, id, k - 1)) {
                // The rest of r's equal points are as far and come later in input order.
                r = Groups ? p.group_end[size_t(r)] : r + 1;
                continue;
            }
            int32_t m = filled < k ? filled++ : k - 1;
            for (; m > 0 && Before(a, id, m - 1); --m) {
                d2[m] = d2[m - 1];
                pos[m] = pos[m - 1];
            }
            d2[m] = a;
            pos[m] = r;
            ++r;
        }
    }
};

template <int D, bool Groups>
void AllNearest(const bucket_tree &t, const ordered_points &p, int32_t k, int32_t *pos,
                double *squared) {
    near_search<D> search(t);
    checked_vector<double> scratch(squared ? 0 : size_t(k));
    for (int32_t v = 0; v < t.nodes; ++v) {
        if (!t.bucket(v)) continue;
        const int32_t end = t.start[size_t(v)] + t.count[size_t(v)];
        for (int32_t q = t.start[size_t(v)]; q < end; ++q) {
            double *d2 = squared ? squared + size_t(q) * size_t(k) : scratch.data();
            knn_visitor<D, Groups> visitor{t, p, &p.xs[size_t(q) * size_t(t.d)], q, k, 0, d2,
                                           pos + size_t(q) * size_t(k)};
            search.Run(visitor.x, v, visitor);
        }
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
