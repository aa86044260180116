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

// The search from `first`, each pair found appended as its two index lists.
int32_t SearchIntoList(search_task first, double s, int32_t d, pair_list &pairs) {
    return SearchPairs(first, s, d, [&pairs](tree_node *a, tree_node *b, int32_t, int32_t) {
        point_sequence first_side, second_side;
        dfs(a, first_side);
        dfs(b, second_side);
        save_indices(first_side, second_side, pairs);
    });
}

}  // namespace

int32_t FindWSP(tree_node *node, double s, int32_t d, pair_list &pairs) {
    return SearchIntoList({node, nullptr, 0, 0}, s, d, pairs);
}

int32_t FindWSP2(tree_node *a, tree_node *b, double s, int32_t d, pair_list &pairs) {
    return SearchIntoList({a, b, 0, 0}, s, d, pairs);
}
