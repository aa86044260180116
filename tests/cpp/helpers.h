#ifndef QUORL_TESTS_CPP_HELPERS_H
#define QUORL_TESTS_CPP_HELPERS_H

#include <cstdlib>
#include <cstring>
#include <vector>

#include "module/point.h"
#include "tree/build.h"
#include "tree/lists.h"

// Points from rows of coordinates.
inline std::vector<point> MakePoints(const std::vector<std::vector<double>> &rows) {
    std::vector<point> pts;
    pts.reserve(rows.size());
    for (std::vector<double> r : rows) pts.emplace_back(r);
    for (size_t i = 0; i < pts.size(); ++i) pts[i].index = int32_t(i);
    return pts;
}

// A list set over the first n points, sorted per dimension as the driver makes it, in a malloc'd
// array that BuildTree may take over.
inline mylist *SortedListSet(std::vector<point> &pts, int32_t n, int32_t d) {
    mylist *lists = static_cast<mylist *>(malloc(sizeof(mylist) * size_t(d)));
    memset(lists, 0, sizeof(mylist) * size_t(d));
    for (int32_t k = 0; k < d; ++k) SortPoints(pts.data(), n, k, &lists[k]);
    return lists;
}

inline tree_node *BuildOver(std::vector<point> &pts, int32_t d) {
    int32_t n = int32_t(pts.size());
    return BuildTree(SortedListSet(pts, n, d), n, d);
}

#endif
