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

// Collects the points of both nodes and appends them as one pair of index lists.
void SavePair(tree_node *a, tree_node *b, pair_list &pairs) {
    point_sequence first, second;
    dfs(a, first);
    dfs(b, second);
    save_indices(first, second, pairs);
}

}  // namespace

int32_t FindWSP(tree_node *node, double s, int32_t d, pair_list &pairs) {
    return SearchPairs(
        {node, nullptr, 0, 0}, s, d,
        [&pairs](tree_node *a, tree_node *b, int32_t, int32_t) { SavePair(a, b, pairs); });
}

int32_t FindWSP2(tree_node *a, tree_node *b, double s, int32_t d, pair_list &pairs) {
    return SearchPairs({a, b, 0, 0}, s, d, [&pairs](tree_node *x, tree_node *y, int32_t, int32_t) {
        SavePair(x, y, pairs);
    });
}
