#include "pairs/search.h"

#include <cmath>

double CenterDistance(const tree_node *a, const tree_node *b, int32_t d) {
    double sum = 0.0;
    for (int32_t i = 0; i < d; ++i) {
        const double diff = a->center[i] - b->center[i];
        sum = sum + diff * diff;
    }
    return std::sqrt(sum);
}

bool Separated(double dist, double r, double s) { return dist - 2 * r > s * r; }

int32_t FindWSP(tree_node *node, double s, int32_t d, pair_list &pairs) {
    if (node->pt != nullptr) return 0;
    int32_t count = FindWSP(node->left, s, d, pairs);
    count += FindWSP(node->right, s, d, pairs);
    count += FindWSP2(node->left, node->right, s, d, pairs);
    return count;
}

int32_t FindWSP2(tree_node *a, tree_node *b, double s, int32_t d, pair_list &pairs) {
    const double r = a->radius > b->radius ? a->radius : b->radius;
    const bool a_leaf = a->pt != nullptr;
    const bool b_leaf = b->pt != nullptr;
    // Two leaves are always a pair: distinct points whose squared distance underflows to 0 would
    // otherwise fail the test and leave nothing to split.
    if ((a_leaf && b_leaf) || Separated(CenterDistance(a, b, d), r, s)) {
        point_sequence first, second;
        dfs(a, first);
        dfs(b, second);
        save_indices(first, second, pairs);
        return 1;
    }
    if ((a->radius > b->radius && !a_leaf) || b_leaf)
        return FindWSP2(a->left, b, s, d, pairs) + FindWSP2(a->right, b, s, d, pairs);
    return FindWSP2(a, b->left, s, d, pairs) + FindWSP2(a, b->right, s, d, pairs);
}
