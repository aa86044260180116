#ifndef QUORL_MODULE_POINT_H
#define QUORL_MODULE_POINT_H

#include <cstdint>
#include <vector>

struct list_elt;
struct mylist;

// One input point plus the bookkeeping that the sorted lists and the split tree keep in it.
// The lists and the tree never own what `piece` and `elts` point to.
struct point {
    std::vector<double> coords;    // coordinates, entry k is dimension k
    mylist *piece;                 // list set of the split-off piece this point was moved to
    std::vector<list_elt *> elts;  // entry k: this point's element in the dimension-k list
    int32_t key_dim;               // dimension the list comparator reads during a sort
    int32_t index;                 // 0-based position in the caller's sequence

    // Copies `c` (which is not modified); `elts` gets c.size() null entries.
    explicit point(std::vector<double> &c);

    // The coordinates themselves, not a copy: writing through the result changes the point.
    std::vector<double> &coordinates();
};

#endif
