#include "pairs/search.h"

namespace {

// The search from a (and b), each pair found appended as its two index lists.
int32_t SearchIntoList(tree_node *a, tree_node *b, double s, int32_t d, pair_list &pairs) {
    return SearchPairs(node_tree_view{d}, a, b, s,
                       [&pairs](tree_node *x, tree_node *y) {
                           point_sequence first_side, second_side;
                           dfs(x, first_side);
                           dfs(y, second_side);
                           save_indices(first_side, second_side, pairs);
                       });
}

}  // namespace

int32_t FindWSP(tree_node *node, double s, int32_t d, pair_list &pairs) {
    return SearchIntoList(node, nullptr, s, d, pairs);
}

int32_t FindWSP2(tree_node *a, tree_node *b, double s, int32_t d, pair_list &pairs) {
    return SearchIntoList(a, b, s, d, pairs);
}
