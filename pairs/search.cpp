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

namespace {
// The counts are 32-bit by contract, yet a huge decomposition can hold more pairs than that;
// wrap instead of overflowing (the driver never reads the count).
int32_t Add(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }
}  // namespace

int32_t FindWSP(tree_node *node, double s, int32_t d, pair_list &pairs) {
    if (node->pt != nullptr) return 0;
    int32_t count = FindWSP(node->left, s, d, pairs);
    count = Add(count, FindWSP(node->right, s, d, pairs));
    return Add(count, FindWSP2(node->left, node->right, s, d, pairs));
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
    // Separate statements: the left child's pairs must come first, and the operands of one
    // expression are evaluated in no fixed order.
    int32_t count;
    if ((a->radius > b->radius && !a_leaf) || b_leaf) {
        count = FindWSP2(a->left, b, s, d, pairs);
        return Add(count, FindWSP2(a->right, b, s, d, pairs));
    }
    count = FindWSP2(a, b->left, s, d, pairs);
    return Add(count, FindWSP2(a, b->right, s, d, pairs));
}
