#include "mst/linkage.h"

#include <utility>

#include "common/interrupt.h"
#include "mst/union_find.h"
#include "tree/flat.h"

std::string SingleLinkage(int64_t n, const int64_t *ends, const double *heights, size_t m,
                          bool smaller_first, double *z) {
    if (n < 0) return "n must not be negative";
    if (int64_t(m) != (n > 0 ? n - 1 : 0))
        return "a spanning tree of " + std::to_string(n) + " points has " +
               std::to_string(n > 0 ? n - 1 : 0) + " edges, not " + std::to_string(m);
    // Per root of the union-find forest: the id of its cluster and its size.
    const size_t count = static_cast<size_t>(n);
    checked_vector<int64_t> parent(count), cluster(count), size(count, 1);
    for (int64_t i = 0; i < n; ++i) parent[size_t(i)] = cluster[size_t(i)] = i;
    for (size_t k = 0; k < m; ++k) {
        ThrowIfStoppedAt(k);  // Ctrl-C
        const int64_t a = ends[2 * k], b = ends[2 * k + 1];
        if (a < 0 || a >= n || b < 0 || b >= n)
            return "edge " + std::to_string(k) + " has an end outside 0.." + std::to_string(n - 1);
        int64_t ra = FindRoot(parent, a), rb = FindRoot(parent, b);
        if (ra == rb)
            return "edge " + std::to_string(k) + " joins points " + std::to_string(a) + " and " +
                   std::to_string(b) + ", which earlier edges already join: not a spanning tree";
        int64_t ca = cluster[size_t(ra)], cb = cluster[size_t(rb)];
        if (smaller_first && cb < ca) std::swap(ca, cb);
        const int64_t merged = size[size_t(ra)] + size[size_t(rb)];
        double *row = z + 4 * k;
        row[0] = double(ca);
        row[1] = double(cb);
        row[2] = heights[k];
        row[3] = double(merged);
        if (size[size_t(ra)] < size[size_t(rb)]) std::swap(ra, rb);
        parent[size_t(rb)] = ra;
        size[size_t(ra)] = merged;
        cluster[size_t(ra)] = n + int64_t(k);
    }
    return std::string();
}
