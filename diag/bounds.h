#ifndef QUORL_DIAG_BOUNDS_H
#define QUORL_DIAG_BOUNDS_H

#include <cstdint>
#include <vector>

#include "pairs/output.h"

// The theoretical bound on the number of pairs of a decomposition of n points in d dimensions
// with separation factor s: 2(n-1) * (3(s sqrt(d) + 2 sqrt(d) + 1) + 2)^d, evaluated in that
// order. 0 for n = 1, 2(n-1) for d = 0.
double upper_bound(int32_t n, int32_t d, double s);

// The separation test of the pair search, with its intermediate values: writes the distance of
// the two centers over the first d coordinates to `distance` and (distance - 2r) / r to `ratio`,
// r the larger radius (-1 when r is 0). Returns the verdict that FindWSP2's test gives for a and
// b; unlike FindWSP2 it makes no exception for two leaves. Requires centers of at least d values.
bool wellsep(tree_node *a, tree_node *b, double s, int32_t d, double &distance, double &ratio);

// Appends coords.data() of the point of every leaf under `node` to `seq`, left subtree first, and
// returns the number of leaves. The pointers are not owned and stay valid while the points live
// and keep their size. Requires every internal node to have both children.
int32_t dfs(tree_node *node, std::vector<double *> &seq);

// A pair hook taking what FindWSP2 holds when it finds a pair. Does nothing.
void save_info(double s, tree_node *a, tree_node *b, pair_list &pairs);

#endif
