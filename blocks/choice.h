#ifndef QUORL_BLOCKS_CHOICE_H
#define QUORL_BLOCKS_CHOICE_H

#include <cstdint>

// How a search finds its pairs: through the tree, or by measuring every pair in blocks; the
// results are the same, bit for bit.
enum pair_method : int32_t { kChooseMethod = 0, kTreeMethod = 1, kBlockMethod = 2 };

// Whether the blocks are the faster way, for `method` = kChooseMethod (otherwise whether
// `method` names them), to search the n points xs[i*d .. i*d + d) for `k` neighbours each, or,
// with k = 0, for their minimum spanning tree: from the dimension and, between 8 and 128 of
// them, TreeShare. The same points always get the same answer.
// shares[c], for c < count, gets the share of the points that a tree search for k[c] neighbours
// would measure, estimated from one sample: the points of the buckets that each probe's ball
// through its k-th neighbour meets (the least a tree search measures), the radius taken where
// the k-th of all n points would lie.
void TreeShares(const double *xs, int32_t n, int32_t d, const int32_t *k, int32_t count,
                double *shares);

bool UseBlocks(int32_t method, const double *xs, int32_t n, int32_t d, int32_t k);

#endif
