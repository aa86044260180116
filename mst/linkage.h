#ifndef QUORL_MST_LINKAGE_H
#define QUORL_MST_LINKAGE_H

#include <cstddef>
#include <cstdint>
#include <string>

// The single-linkage hierarchy of a spanning tree of n points, given as m = n - 1 edges already
// in merge order (ends[2k], ends[2k + 1] are the points of edge k, heights[k] its height). Writes
// m rows of 4 to z, row k as a SciPy linkage matrix has it: the two clusters that edge k joins,
// the height, the size of the new cluster. Ids below n are points; n + k is the cluster of row k.
// With smaller_first the smaller id comes first (SciPy's convention); otherwise the cluster of
// ends[2k] does. Returns an empty string, or says what is wrong with the edges (an end outside
// 0..n-1, an edge within one cluster, the wrong count) and writes nothing after that row.
std::string SingleLinkage(int64_t n, const int64_t *ends, const double *heights, size_t m,
                          bool smaller_first, double *z);

#endif
