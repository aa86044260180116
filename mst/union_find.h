#ifndef QUORL_MST_UNION_FIND_H
#define QUORL_MST_UNION_FIND_H

#include <cstddef>
#include <cstdint>
#include <utility>

// The root of x in a union-find forest held in `parent` (a root is its own parent); every node on
// the way is pointed straight at the root.
template <typename T, typename Vector>
T FindRoot(Vector &parent, T x) {
    T root = x;
    while (parent[size_t(root)] != root) root = parent[size_t(root)];
    while (parent[size_t(x)] != root) {
        const T next = parent[size_t(x)];
        parent[size_t(x)] = root;
        x = next;
    }
    return root;
}

// The root of x in the forest `parent` (a root is its own parent), halving the path on the way:
// each entry passed is pointed at its grandparent. Safe beside other threads doing the same and
// beside Link, which changes only roots.
inline int32_t FindRootHalving(int32_t *parent, int32_t x) {
    for (;;) {
        const int32_t up = __atomic_load_n(&parent[x], __ATOMIC_RELAXED);
        if (up == x) return x;
        const int32_t upper = __atomic_load_n(&parent[up], __ATOMIC_RELAXED);
        if (upper != up) __atomic_store_n(&parent[x], upper, __ATOMIC_RELAXED);
        x = upper;
    }
}

// Joins the trees of a and b in `parent`, the greater root under the lesser: a tree's root is
// always its least member, whichever order the links of other threads take.
inline void Link(int32_t *parent, int32_t a, int32_t b) {
    for (;;) {
        a = FindRootHalving(parent, a);
        b = FindRootHalving(parent, b);
        if (a == b) return;
        if (a > b) std::swap(a, b);
        int32_t expected = b;
        if (__atomic_compare_exchange_n(&parent[b], &expected, a, false, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED))
            return;
    }
}

#endif
