#ifndef QUORL_TREE_BUILD_H
#define QUORL_TREE_BUILD_H

#include <cstdint>

#include "tree/split.h"

// One piece of the points of a BuildTree call: a split-off side or the remainder.
struct split_piece {
    mylist *lists;  // the piece's list set
    int32_t size;   // its number of points
    split_piece *next;
};

// Builds the fair split tree of the n points held in the list set `lists` (d lists, list k sorted
// by coordinate k, each element block beginning at its head, elts[k] of every point naming its
// element in list k). Takes over `lists`: its element blocks and the array are freed before
// BuildTree returns, also when it throws. The tree belongs to the caller (release it with
// FreeTree). Requires n >= 1, d >= 1, every point with at least d coordinates, no two points
// equal in their first d coordinates. On std::bad_alloc everything the call made is freed.
tree_node *BuildTree(mylist *lists, int32_t n, int32_t d);

// Frees every node and center array of a tree, also one left half-built by a failed BuildTree
// (missing children are null). Uses no recursion, so any depth is safe. Accepts null.
void FreeTree(tree_node *root);

#endif
