#ifndef QUORL_PAIRS_OUTPUT_H
#define QUORL_PAIRS_OUTPUT_H

#include <cstdint>
#include <utility>
#include <vector>

#include "tree/split.h"

// The result of a decomposition: one entry per well-separated pair, the first side's point
// positions then the second side's, each in the leaf order of its node. Only ever appended to.
typedef std::vector<std::pair<std::vector<int32_t>, std::vector<int32_t>>> pair_list;

// Non-owning points under one node, in left-to-right leaf order.
typedef std::vector<point *> point_sequence;

// Calls visit(leaf) for every leaf under `node`, left subtree first, and returns the number of
// leaves. Iterative, with the pending right subtrees on a small local stack that spills to the heap
// only in very deep trees, so no tree depth can exhaust the thread's stack.
template <typename Visit>
int32_t ForEachLeaf(tree_node *node, Visit visit) {
    tree_node *pending[64];
    int32_t top = 0;
    std::vector<tree_node *> spilled;
    int32_t count = 0;
    for (;;) {
        while (node->left != nullptr || node->right != nullptr) {
            if (top < 64) {
                pending[top++] = node->right;
            } else {
                spilled.push_back(node->right);
            }
            node = node->left;
        }
        visit(node);
        ++count;
        if (!spilled.empty()) {
            node = spilled.back();
            spilled.pop_back();
        } else if (top > 0) {
            node = pending[--top];
        } else {
            return count;
        }
    }
}

// Appends the point of every leaf under `node` to `seq`, left subtree first, and returns the
// number of leaves. Requires every internal node to have both children.
int32_t dfs(tree_node *node, point_sequence &seq);

// Appends one pair (the indices of `first` in order, the indices of `second` in order) to
// `pairs`. On std::bad_alloc the pair list keeps exactly the pairs it had.
void save_indices(point_sequence &first, point_sequence &second, pair_list &pairs);

#endif
