#ifndef QUORL_PAIRS_SEARCH_H
#define QUORL_PAIRS_SEARCH_H

#include <cstdint>
#include <vector>

#include "pairs/output.h"

// Distance between the centers of a and b over the first d coordinates: squares of the differences
// summed for i = 0..d-1 in order from 0.0, then the square root (0 for d < 1).
double CenterDistance(const tree_node *a, const tree_node *b, int32_t d);

// The separation test of the pair search: with r the larger radius, a and b are well separated
// when dist - 2r > s * r (strict; a NaN on either side is not separated).
bool Separated(double dist, double r, double s);

// One pending piece of the search: the pairs inside `a` (b null) or those between a and b, with
// the offsets of their first leaves in the left-to-right leaf order of the tree searched.
struct search_task {
    tree_node *a;
    tree_node *b;
    int32_t a_start;
    int32_t b_start;
};

// The pair search from `first`, handing each well-separated node pair to sink(a, b, a_start,
// b_start), a's side first, in the order of the rules of FindWSP and FindWSP2, and returning how
// many it found (wrapping past 2^31: the count is 32-bit by contract and nothing reads one that
// large). A node's points are the `size` leaves from its start: left subtree first, so the right
// child starts `left->size` after its parent.
// An explicit stack replaces recursion, since exponentially spaced points make trees thousands of
// levels deep; each task pushes its sub-tasks in reverse, so they run in exactly the recursive
// order. A leaf is never split: two leaves always make a pair (distinct points whose squared
// distance underflows to 0 fail the test), and when the node to split is a leaf the other is split.
template <typename Sink>
int32_t SearchPairs(search_task first, double s, int32_t d, Sink &&sink) {
    std::vector<search_task> stack(1, first);
    uint32_t count = 0;
    while (!stack.empty()) {
        const search_task t = stack.back();
        stack.pop_back();
        tree_node *a = t.a, *b = t.b;
        if (b == nullptr) {
            if (a->pt != nullptr) continue;
            const int32_t right_start = t.a_start + a->left->size;
            stack.push_back({a->left, a->right, t.a_start, right_start});
            stack.push_back({a->right, nullptr, right_start, 0});
            stack.push_back({a->left, nullptr, t.a_start, 0});
            continue;
        }
        const double r = a->radius > b->radius ? a->radius : b->radius;
        const bool a_leaf = a->pt != nullptr;
        const bool b_leaf = b->pt != nullptr;
        if ((a_leaf && b_leaf) || Separated(CenterDistance(a, b, d), r, s)) {
            sink(a, b, t.a_start, t.b_start);
            ++count;
        } else if ((a->radius > b->radius && !a_leaf) || b_leaf) {
            stack.push_back({a->right, b, t.a_start + a->left->size, t.b_start});
            stack.push_back({a->left, b, t.a_start, t.b_start});
        } else {
            stack.push_back({a, b->right, t.a_start, t.b_start + b->left->size});
            stack.push_back({a, b->left, t.a_start, t.b_start});
        }
    }
    return int32_t(count);
}

// Appends every well-separated pair among the points under `node` (post-order over the internal
// nodes: left subtree, right subtree, then the pairs between the two children) and returns how
// many it appended.
int32_t FindWSP(tree_node *node, double s, int32_t d, pair_list &pairs);

// Appends well-separated pairs covering every point under a against every point under b, a's side
// first, and returns how many. When a and b are not separated the node of larger radius is split
// (b on equal radii), its left child first; a leaf is never split: two leaves always make a pair,
// and when the chosen node is a leaf the other one is split.
int32_t FindWSP2(tree_node *a, tree_node *b, double s, int32_t d, pair_list &pairs);

#endif
