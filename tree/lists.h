#ifndef QUORL_TREE_LISTS_H
#define QUORL_TREE_LISTS_H

#include <cstdint>

#include "module/point.h"

// One element of a per-dimension doubly linked list. Elements live in blocks of one malloc each
// and are never freed one by one.
struct list_elt {
    list_elt *next;  // toward the tail; null at the tail
    list_elt *prev;  // toward the head; null at the head
    point *pt;       // not owned
};

// One list. `base` is the start of the element block, kept so that the block can be freed after
// its first elements have been unlinked; the operations below never touch it.
struct mylist {
    list_elt *base;
    list_elt *head;  // smallest coordinate
    list_elt *tail;  // largest coordinate
};

// A list set is an array of d mylist records, list k sorted by coordinate k, all over the same
// points.

// qsort comparator over two list_elt: reads coordinate key_dim (of the first element's point) and
// returns 1, 0 or -1 for greater, equal, less.
int32_t ListEltCompare(const void *a, const void *b);

// Fills `list` with points[0..n-1] in ascending order of coordinate j: one new block of n elements,
// linked in array order after the sort. Sets key_dim = j and elts[j] of every point. `base` is not
// touched. Requires n >= 1, 0 <= j < every point's coordinate count. Throws std::bad_alloc, having
// allocated nothing, when the block cannot be had.
void SortPoints(point *points, int32_t n, int32_t j, mylist *list);

// Links block[0..n-1] in array order and makes it the list's head..tail. Leaves `pt` and `base`.
// Requires n >= 1.
void DoubleLink(list_elt *block, int32_t n, mylist *list);

// Copies the first n elements of `source` (from its head) in order into a new block linked into
// `dest`; clears `piece` of every copied point. Neither `source`, the points' `elts` nor
// dest->base change. Requires 1 <= n <= length of source. Throws std::bad_alloc, having allocated
// nothing, when the block cannot be had.
void ListCopy(mylist *source, mylist *dest, int32_t n);

// Unlinks p from each of the d lists of `lists` through p->elts, moving head or tail when p is at
// an end. The unlinked elements keep their own next/prev, so a walker can step on from them.
// Requires that p is not the only element of any list. Does nothing for d <= 0.
void DeletePoint(int32_t d, point *p, mylist *lists);

// A new list set of d lists with every field null, from CheckedMalloc: a null base marks a list
// whose block was never allocated, so that FreeListSet can release a half-made set.
mylist *NewListSet(int32_t d);

// Frees the element block of each of the d lists (through base; a null base frees nothing), then
// the array itself.
void FreeListSet(mylist *lists, int32_t d);

#endif
