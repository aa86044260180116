#ifndef QUORL_MST_UNION_FIND_H
#define QUORL_MST_UNION_FIND_H

#include <cstddef>

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

#endif
