#include "diag/bounds.h"

#include <cmath>

#include "pairs/search.h"

double upper_bound(int32_t n, int32_t d, double s) {
    // n - 1 in 64 bits: the same value as the int for every n but INT32_MIN, where it would
    // overflow.
    const double m = static_cast<double>(int64_t{n} - 1);
    const double t = m + m;
    const double q = std::sqrt(static_cast<double>(d));
    double x = s * q + 2 * q;
    x = x + 1;
    x = x * 3;
    x = x + 2;
    return std::pow(x, static_cast<double>(d)) * t;
}

bool wellsep(tree_node *a, tree_node *b, double s, int32_t d, double &distance, double &ratio) {
    const double r = a->radius > b->radius ? a->radius : b->radius;
    const double dist = CenterDistance(a, b, d);
    distance = dist;
    const double gap = dist - 2 * r;
    ratio = r != 0 ? gap / r : -1.0;
    return Separated(dist, r, s);
}

int32_t dfs(tree_node *node, std::vector<double *> &seq) {
    return ForEachLeaf(node, [&seq](tree_node *leaf) { seq.push_back(leaf->pt->coords.data()); });
}

void save_info(double /*s*/, tree_node * /*a*/, tree_node * /*b*/, pair_list & /*pairs*/) {}
