#include "pairs/search.h"

#include <cmath>
#include <vector>

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

// One pending piece of the search: the pairs inside `a` (b null) or those between a and b.
struct search_task {
    tree_node *a;
    tree_node *b;
};

// The search with an explicit stack instead of recursion: exponentially spaced points make trees
// thousands of levels deep, more than a thread's stack may hold. Each task pushes its sub-tasks in
// reverse, so they run, and append their pairs, in exactly the order of the recursive rules. The
// count wraps: it is 32-bit by contract, and nothing reads it for a result that large.
int32_t Search(search_task first, double s, int32_t d, pair_list &pairs) {
    std::vector<search_task> stack(1, first);
    uint32_t count = 0;
    while (!stack.empty()) {
        const search_task t = stack.back();
        stack.pop_back();
        tree_node *a = t.a, *b = t.b;
        if (b == nullptr) {
            if (a->pt != nullptr) continue;
            stack.push_back({a->left, a->right});
            stack.push_back({a->right, nullptr});
            stack.push_back({a->left, nullptr});
            continue;
        }
        const double r = a->radius > b->radius ? a->radius : b->radius;
        const bool a_leaf = a->pt != nullptr;
        const bool b_leaf = b->pt != nullptr;
        // Two leaves are always a pair: distinct points whose squared distance underflows to 0
        // would otherwise fail the test and leave nothing to split.
        if ((a_leaf && b_leaf) || Separated(CenterDistance(a, b, d), r, s)) {
            point_sequence first_side, second_side;
            dfs(a, first_side);
            dfs(b, second_side);
            save_indices(first_side, second_side, pairs);
            ++count;
        } else if ((a->radius > b->radius && !a_leaf) || b_leaf) {
            stack.push_back({a->right, b});
            stack.push_back({a->left, b});
        } else {
            stack.push_back({a, b->right});
            stack.push_back({a, b->left});
        }
    }
    return int32_t(count);
}

}  // namespace

int32_t FindWSP(tree_node *node, double s, int32_t d, pair_list &pairs) {
    return Search({node, nullptr}, s, d, pairs);
}

int32_t FindWSP2(tree_node *a, tree_node *b, double s, int32_t d, pair_list &pairs) {
    return Search({a, b}, s, d, pairs);
}
