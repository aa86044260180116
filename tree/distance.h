#ifndef QUORL_TREE_DISTANCE_H
#define QUORL_TREE_DISTANCE_H

#include <cstdint>

// The squared length of the pair (x, y) of d coordinates: the squares of the differences summed
// for k = 0..d-1 in order from 0.0. The pair search measures centers by it, and every length and
// bound of the nearest-neighbour searches and the minimum spanning tree is it.
inline double SquaredLength(const double *x, const double *y, int32_t d) {
    double sum = 0.0;
    for (int32_t k = 0; k < d; ++k) {
        const double diff = x[k] - y[k];
        sum = sum + diff * diff;
    }
    return sum;
}

#endif
