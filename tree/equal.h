#ifndef QUORL_TREE_EQUAL_H
#define QUORL_TREE_EQUAL_H

#include <cstdint>
#include <cstring>

#include "tree/flat.h"

// The bits of a coordinate for hashing, with -0.0 taken as 0.0 (they compare equal).
inline uint64_t CoordBits(double x) {
    if (x == 0) return 0;
    uint64_t bits;
    memcpy(&bits, &x, sizeof bits);
    return bits;
}

inline uint64_t HashPoint(const double *p, int32_t d) {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    for (int32_t k = 0; k < d; ++k) {
        h = (h ^ CoordBits(p[k])) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    h *= 0x94D049BB133111EBull;
    return h ^ (h >> 29);
}

inline bool SamePoint(const double *p, const double *q, int32_t d) {
    for (int32_t k = 0; k < d; ++k)
        if (!(p[k] == q[k])) return false;
    return true;
}

// For i = 0..n-1 in order, calls on_equal(j, i) when an earlier point equals point i in all d
// coordinates, j being the first such point; row(i) gives the d coordinates of point i. One hash
// table pass, O(n d) expected. on_equal may throw to stop early.
template <typename Row, typename OnEqual>
void ForEachEqualPoint(int32_t n, int32_t d, const Row &row, OnEqual &&on_equal) {
    size_t cap = 16;
    while (cap < 2 * size_t(n)) cap *= 2;
    checked_vector<int32_t> table(cap, -1);
    for (int32_t i = 0; i < n; ++i) {
        size_t slot = HashPoint(row(i), d) & (cap - 1);
        bool seen = false;
        while (table[slot] >= 0) {
            const int32_t j = table[slot];
            if (SamePoint(row(j), row(i), d)) {
                on_equal(j, i);
                seen = true;
                break;
            }
            slot = (slot + 1) & (cap - 1);
        }
        if (!seen) table[slot] = i;
    }
}

#endif
