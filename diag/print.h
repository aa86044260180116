#ifndef QUORL_DIAG_PRINT_H
#define QUORL_DIAG_PRINT_H

#include <cstdint>

#include "tree/split.h"

// Text dumps for debugging. Nothing on the path of a decomposition calls them; they only read.

// One line per record i = 0..n-1: "i: (", each of the first d coordinates as "%lf, ", then two
// backspaces, ")" and a newline, so that a terminal shows the ")" over the last comma. Prints
// nothing for n <= 0. Requires n records, each with at least d coordinates.
void PrintPoints(point *points, int32_t n, int32_t d);

// For each of the d lists of `lists`: "Dimension i:", then one line per step of a walk from both
// ends at once (the k-th point from the head beside the k-th from the tail, each with its first d
// coordinates as "%0.2lf, " and its piece pointer), then eight hyphens. An empty list prints no
// lines for its walk. Prints nothing for d <= 0. Every point must have at least d coordinates.
void PrintOrderedPoints(int32_t d, mylist *lists);

// The tree under `node` in pre-order, two blanks of indentation per level starting at `depth`:
// "<(c0, .., c(d-1)), radius>" for an internal node, "(x0, .., x(d-1))LEAF" for a leaf, all
// "%0.2lf". Prints nothing for d < 1. Requires every internal node to have both children and
// every leaf a point with at least d coordinates.
void PrintTree(tree_node *node, int32_t d, int32_t depth);

#endif
