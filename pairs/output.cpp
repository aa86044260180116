#include "pairs/output.h"

int32_t dfs(tree_node *node, point_sequence &seq) {
    return ForEachLeaf(node, [&seq](tree_node *leaf) { seq.push_back(leaf->pt); });
}

void save_indices(point_sequence &first, point_sequence &second, pair_list &pairs) {
    std::vector<int32_t> a, b;
    a.reserve(first.size());
    b.reserve(second.size());
    for (point *p : first) a.push_back(p->index);
    for (point *p : second) b.push_back(p->index);
    pairs.emplace_back(std::move(a), std::move(b));
}
