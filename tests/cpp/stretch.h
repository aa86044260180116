#ifndef QUORL_TESTS_STRETCH_H
#define QUORL_TESTS_STRETCH_H

// A brute-force check of a spanner: its edges well formed, each length the distance of its ends,
// and every pair of points joined within t times its distance, by Dijkstra from every point.
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "spanner/spanner.h"
#include "tree/distance.h"

inline std::string CheckStretch(const double *xs, int32_t n, int32_t d, double t,
                                const spanner_edges &g) {
    std::vector<std::vector<std::pair<int32_t, double>>> adj(size_t(n > 0 ? n : 0));
    for (size_t e = 0; e < g.count(); ++e) {
        const int64_t i = g.ends[2 * e], j = g.ends[2 * e + 1];
        const std::string at = "edge " + std::to_string(e) + " (" + std::to_string(i) + ", " +
                               std::to_string(j) + ")";
        if (!(0 <= i && i < j && j < n)) return at + ": not i < j within the points";
        if (e > 0) {
            const int64_t pi = g.ends[2 * e - 2], pj = g.ends[2 * e - 1];
            if (!(pi < i || (pi == i && pj < j))) return at + ": out of (i, j) order";
        }
        const double length = std::sqrt(SquaredLength(xs + i * d, xs + j * d, d));
        if (g.lengths[e] != length) return at + ": length is not the distance";
        adj[size_t(i)].push_back({int32_t(j), length});
        adj[size_t(j)].push_back({int32_t(i), length});
    }
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> dist(size_t(n > 0 ? n : 0));
    typedef std::pair<double, int32_t> item;
    for (int32_t s = 0; s < n; ++s) {
        std::fill(dist.begin(), dist.end(), inf);
        std::priority_queue<item, std::vector<item>, std::greater<item>> heap;
        dist[size_t(s)] = 0.0;
        heap.push({0.0, s});
        while (!heap.empty()) {
            const item top = heap.top();
            heap.pop();
            if (top.first > dist[size_t(top.second)]) continue;
            for (const auto &[y, w] : adj[size_t(top.second)])
                if (top.first + w < dist[size_t(y)]) {
                    dist[size_t(y)] = top.first + w;
                    heap.push({dist[size_t(y)], y});
                }
        }
        for (int32_t q = s + 1; q < n; ++q) {
            const double pq = std::sqrt(SquaredLength(xs + s * d, xs + q * d, d));
            if (!(dist[size_t(q)] <= t * pq * (1 + 1e-9)))
                return "points " + std::to_string(s) + " and " + std::to_string(q) +
                       ": path " + std::to_string(dist[size_t(q)]) + " for distance " +
                       std::to_string(pq);
        }
    }
    return "";
}

#endif
