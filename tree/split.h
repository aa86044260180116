#ifndef QUORL_TREE_SPLIT_H
#define QUORL_TREE_SPLIT_H

#include <cstdint>

#include "tree/lists.h"

// A node of the fair split tree. Both children null exactly at a leaf, where `pt` is the point.
struct tree_node {
    tree_node *left;
    tree_node *right;
    double *center;  // own block of d doubles: the center of the points' bounding box
    double radius;   // half the box diagonal; 0 at a leaf
    point *pt;       // the leaf's point; null at an internal node
    int32_t size;    // number of points under the node
};

// The side of a split that is cut off: LOW from the head of the split list, HIGH from its tail.
enum HALF : int32_t { LOW = 0, HIGH = 1 };

// Writes node->center[0..d-1] = (hi + lo) * 0.5 per dimension and node->radius = the square root of
// the sum, in dimension order, of ((hi - lo) * 0.5)^2, where lo/hi are the coordinates at the head
// and tail of each list. With d <= 0 only radius (0.0) is written.
void FindCenter(mylist *lists, tree_node *node, int32_t d);

// Chooses the lowest dimension k of greatest width w, the cut c = w * 0.5 + lo(k), and the side
// with fewer points (points at c count on both sides; LOW on a tie); *count receives that side's
// size. Requires d >= 1 and at least two points that differ in their first d coordinates; then
// 1 <= *count <= size - 1.
void FindSplit(mylist *lists, int32_t d, HALF *side, int32_t *dim, int32_t *count);

#endif
