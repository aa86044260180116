#ifndef QUORL_TESTS_CPP_KRUSKAL_H
#define QUORL_TESTS_CPP_KRUSKAL_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "mst/emst.h"

// The squared length of points a and b of xs, summed as the core sums it (k = 0..d-1 in order
// from 0.0), written out here so that the references do not share the core's code.
inline double PairSquared(const double *xs, int32_t d, int64_t a, int64_t b) {
    double sum = 0.0;
    for (int32_t k = 0; k < d; ++k) {
        const double diff = xs[a * d + k] - xs[b * d + k];
        sum = sum + diff * diff;
    }
    return sum;
}

struct brute_tree {
    std::vector<int64_t> ends;  // 2 per edge, i < j
    std::vector<double> squared;
};

// The minimum spanning tree of the n points xs[i*d .. i*d + d) by brute force: every pair i < j,
// sorted by (squared length, i, j), taken when it joins two components (Kruskal).
inline brute_tree KruskalMST(const double *xs, int32_t n, int32_t d) {
    struct edge {
        double d2;
        int64_t i, j;
    };
    std::vector<edge> all;
    all.reserve(n > 1 ? size_t(n) * size_t(n - 1) / 2 : 0);
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = i + 1; j < n; ++j) all.push_back({PairSquared(xs, d, i, j), i, j});
    std::sort(all.begin(), all.end(), [](const edge &x, const edge &y) {
        if (x.d2 != y.d2) return x.d2 < y.d2;
        return x.i != y.i ? x.i < y.i : x.j < y.j;
    });
    std::vector<int64_t> parent(size_t(std::max(n, 0)));
    std::iota(parent.begin(), parent.end(), 0);
    auto root = [&parent](int64_t a) {
        while (parent[size_t(a)] != a) a = parent[size_t(a)] = parent[size_t(parent[size_t(a)])];
        return a;
    };
    brute_tree out;
    for (const edge &e : all) {
        if (out.squared.size() + 1 >= size_t(n)) break;
        const int64_t a = root(e.i), b = root(e.j);
        if (a == b) continue;
        parent[size_t(std::max(a, b))] = std::min(a, b);
        out.ends.push_back(e.i);
        out.ends.push_back(e.j);
        out.squared.push_back(e.d2);
    }
    return out;
}

inline std::string Hex(double x) {
    char buf[32];
    snprintf(buf, sizeof buf, "%a", x);
    return buf;
}

// "" when `got` is `want` edge for edge, squared lengths to the bit and lengths their square
// roots; otherwise the first difference.
inline std::string CompareWithKruskal(const emst_edges &got, const brute_tree &want) {
    const size_t m = want.squared.size();
    if (got.count() != m || got.ends.size() != 2 * m || got.squared.size() != m)
        return std::to_string(got.count()) + " edges, not " + std::to_string(m);
    for (size_t e = 0; e < m; ++e) {
        const double root = std::sqrt(want.squared[e]);
        if (got.ends[2 * e] != want.ends[2 * e] || got.ends[2 * e + 1] != want.ends[2 * e + 1] ||
            memcmp(&got.squared[e], &want.squared[e], sizeof(double)) != 0 ||
            memcmp(&got.lengths[e], &root, sizeof(double)) != 0)
            return "edge " + std::to_string(e) + " is (" + std::to_string(got.ends[2 * e]) + ", " +
                   std::to_string(got.ends[2 * e + 1]) + ") at " +
                   Hex(got.squared[e]) + ", not (" + std::to_string(want.ends[2 * e]) +
                   ", " + std::to_string(want.ends[2 * e + 1]) + ") at " +
                   Hex(want.squared[e]);
    }
    return "";
}

struct reach_tree {
    std::vector<int64_t> ends;
    std::vector<double> w, core;
};

// Every pair i < j with its mutual reachability max(core_i, core_j, sqrt(d2) / alpha), in the
// order of (weight, i, j).
struct reach_pair {
    double w;
    int64_t i, j;
};
inline std::vector<reach_pair> ReachPairs(const std::vector<double> &xs, int32_t n, int32_t d,
                                          const double *core, double alpha) {
    std::vector<reach_pair> all;
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = i + 1; j < n; ++j)
            all.push_back({std::max(std::max(core[i], core[j]),
                                    std::sqrt(PairSquared(xs.data(), d, i, j)) / alpha),
                           i, j});
    std::sort(all.begin(), all.end(), [](const reach_pair &a, const reach_pair &b) {
        if (a.w != b.w) return a.w < b.w;
        return a.i != b.i ? a.i < b.i : a.j < b.j;
    });
    return all;
}

// The mutual-reachability tree by brute force: cores from the sorted squared lengths of each
// row, then every pair i < j by (max(core_i, core_j, sqrt(d2) / alpha), i, j), Kruskal.
inline reach_tree KruskalReachMST(const std::vector<double> &xs, int32_t n, int32_t d, int32_t ms,
                      double alpha) {
    reach_tree out;
    out.core.assign(size_t(n), 0.0);
    for (int32_t i = 0; i < n && ms > 1; ++i) {
        std::vector<double> row;
        for (int32_t j = 0; j < n; ++j)
            if (j != i) row.push_back(PairSquared(xs.data(), d, i, j));
        std::sort(row.begin(), row.end());
        out.core[size_t(i)] = std::sqrt(row[size_t(ms - 2)]);
    }
    const std::vector<reach_pair> all = ReachPairs(xs, n, d, out.core.data(), alpha);
    std::vector<int64_t> parent(static_cast<size_t>(n));
    std::iota(parent.begin(), parent.end(), 0);
    auto root = [&parent](int64_t a) {
        while (parent[size_t(a)] != a) a = parent[size_t(a)] = parent[size_t(parent[size_t(a)])];
        return a;
    };
    for (const reach_pair &e : all) {
        const int64_t a = root(e.i), b = root(e.j);
        if (a == b) continue;
        parent[size_t(std::max(a, b))] = std::min(a, b);
        out.ends.push_back(e.i);
        out.ends.push_back(e.j);
        out.w.push_back(e.w);
    }
    return out;
}

// Every pair i < j that can belong to some minimum spanning tree of the mutual reachability
// (`core`, alpha), by brute force: the pairs taken by weight, those whose ends no lighter pair
// has joined.
inline std::vector<std::pair<int64_t, int64_t>> PossibleTreePairs(const std::vector<double> &xs,
                                                                  int32_t n, int32_t d,
                                                                  const double *core,
                                                                  double alpha) {
    const std::vector<reach_pair> all = ReachPairs(xs, n, d, core, alpha);
    std::vector<int64_t> parent(static_cast<size_t>(n));
    std::iota(parent.begin(), parent.end(), 0);
    auto root = [&parent](int64_t a) {
        while (parent[size_t(a)] != a) a = parent[size_t(a)] = parent[size_t(parent[size_t(a)])];
        return a;
    };
    std::vector<std::pair<int64_t, int64_t>> out;
    for (size_t g = 0; g < all.size();) {
        size_t h = g;
        while (h < all.size() && all[h].w == all[g].w) ++h;
        for (size_t e = g; e < h; ++e)
            if (root(all[e].i) != root(all[e].j)) out.push_back({all[e].i, all[e].j});
        for (size_t e = g; e < h; ++e) {
            const int64_t a = root(all[e].i), b = root(all[e].j);
            if (a != b) parent[size_t(std::max(a, b))] = std::min(a, b);
        }
        g = h;
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The pairs i < j that a tree and its tie edges (in input positions) stand for: each edge
// between every point of one end's run and every point of the other's, and the pairs within
// each run of equal points.
inline std::vector<std::pair<int64_t, int64_t>> TiePairs(int32_t n, const emst_edges &tree,
                                                         const tie_edges &ties) {
    std::vector<std::pair<int64_t, int64_t>> out;
    auto add = [&out](int64_t a, int64_t b) {
        if (a != b) out.push_back({std::min(a, b), std::max(a, b)});
    };
    auto run = [&ties](int32_t v) {
        std::vector<int32_t> r(1, v);
        if (!ties.twin.empty())
            for (int32_t x = ties.twin[size_t(v)]; x != v; x = ties.twin[size_t(x)]) r.push_back(x);
        return r;
    };
    for (size_t e = 0; e < tree.count(); ++e)
        for (int32_t a : run(int32_t(tree.ends[2 * e])))
            for (int32_t b : run(int32_t(tree.ends[2 * e + 1]))) add(a, b);
    for (size_t e = 0; e < ties.count(); ++e)
        for (int32_t a : run(ties.ends[2 * e]))
            for (int32_t b : run(ties.ends[2 * e + 1])) add(a, b);
    for (int32_t v = 0; v < n && !ties.twin.empty(); ++v)
        for (int32_t x : run(v))
            if (x > v) add(v, x);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// The tie edges that weigh the core of one end, that end first (the ties the tree of strict
// merges takes), as positions into `order` or input positions like the ties themselves.
inline std::vector<int32_t> CoreWeightedTies(const tie_edges &ties, const double *core,
                                             const int32_t *order) {
    std::vector<int32_t> out;
    for (size_t e = 0; e < ties.count(); ++e) {
        int32_t a = ties.ends[2 * e], b = ties.ends[2 * e + 1];
        const double ca = core[order ? order[a] : a], cb = core[order ? order[b] : b];
        if (e >= ties.cored && ties.w[e - ties.cored] != std::max(ca, cb)) continue;
        if (ca < cb) std::swap(a, b);
        out.push_back(a);
        out.push_back(b);
    }
    return out;
}

#endif
