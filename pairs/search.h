#ifndef QUORL_PAIRS_SEARCH_H
#define QUORL_PAIRS_SEARCH_H

#include <cstdint>

#include "pairs/output.h"

// Distance between the centers of a and b over the first d coordinates: squares of the differences
// summed for i = 0..d-1 in order from 0.0, then the square root (0 for d < 1).
double CenterDistance(const tree_node *a, const tree_node *b, int32_t d);

// The separation test of the pair search: with r the larger radius, a and b are well separated
// when dist - 2r > s * r (strict; a NaN on either side is not separated).
bool Separated(double dist, double r, double s);

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
