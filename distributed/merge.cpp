#include "distributed/merge.h"

#include "mst/union_find.h"
#include "tree/flat.h"

std::string KruskalCompress(int64_t v, const int64_t *ends, size_t m, const uint8_t *terminal,
                            int8_t *fate, int64_t *rep) {
    checked_vector<int64_t> parent(size_t(v > 0 ? v : 0));
    // A group's terminal, or -1 while it holds none; kept at the group's root.
    checked_vector<int64_t> held(size_t(v > 0 ? v : 0));
    for (int64_t x = 0; x < v; ++x) {
        parent[size_t(x)] = x;
        held[size_t(x)] = terminal[x] ? x : -1;
    }
    for (size_t e = 0; e < m; ++e) {
        const int64_t a = ends[2 * e], b = ends[2 * e + 1];
        if (a < 0 || a >= v || b < 0 || b >= v)
            return "edge " + std::to_string(e) + " has an end outside 0.." + std::to_string(v - 1);
        const int64_t ra = FindRoot(parent, a), rb = FindRoot(parent, b);
        rep[2 * e] = rep[2 * e + 1] = -1;
        if (ra == rb) {
            fate[e] = kRejected;
            continue;
        }
        const int64_t ta = held[size_t(ra)], tb = held[size_t(rb)];
        if (ta >= 0 && tb >= 0) {
            fate[e] = kPending;
            rep[2 * e] = ta;
            rep[2 * e + 1] = tb;
        } else {
            fate[e] = kFinal;
        }
        parent[size_t(rb)] = ra;
        if (ta < 0) held[size_t(ra)] = tb;
    }
    return std::string();
}
