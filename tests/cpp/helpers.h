#ifndef QUORL_TESTS_CPP_HELPERS_H
#define QUORL_TESTS_CPP_HELPERS_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "module/point.h"
#include "tree/build.h"
#include "tree/lists.h"

// n points of d coordinates drawn uniformly from the unit cube, row after row.
inline std::vector<double> Uniform(int32_t n, int32_t d, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> xs(size_t(n) * size_t(d));
    for (double &x : xs) x = u(rng);
    return xs;
}

// Points from rows of coordinates.
inline std::vector<point> MakePoints(const std::vector<std::vector<double>> &rows) {
    std::vector<point> pts;
    pts.reserve(rows.size());
    for (std::vector<double> r : rows) pts.emplace_back(r);
    for (size_t i = 0; i < pts.size(); ++i) pts[i].index = int32_t(i);
    return pts;
}

// n distinct points of d coordinates, each coordinate from draw(); n must not exceed the number
// of distinct points that draw() can make.
template <class Draw>
std::vector<point> DistinctPoints(int32_t n, int32_t d, Draw draw) {
    std::set<std::vector<double>> seen;
    std::vector<std::vector<double>> rows;
    while (rows.size() < size_t(n)) {
        std::vector<double> row(static_cast<size_t>(d));
        for (double &x : row) x = draw();
        if (seen.insert(row).second) rows.push_back(row);
    }
    return MakePoints(rows);
}

// A list set over the first n points, sorted per dimension as the driver makes it, in a malloc'd
// array that BuildTree may take over. Each base is its block's start, so FreeListSet releases it.
inline mylist *SortedListSet(std::vector<point> &pts, int32_t n, int32_t d) {
    mylist *lists = static_cast<mylist *>(malloc(sizeof(mylist) * size_t(d)));
    memset(lists, 0, sizeof(mylist) * size_t(d));
    for (int32_t k = 0; k < d; ++k) {
        SortPoints(pts.data(), n, k, &lists[k]);
        lists[k].base = lists[k].head;
    }
    return lists;
}

inline tree_node *BuildOver(std::vector<point> &pts, int32_t d) {
    int32_t n = int32_t(pts.size());
    return BuildTree(SortedListSet(pts, n, d), n, d);
}

// "" when `l` is a well-formed list of exactly len elements, otherwise what is wrong with it.
inline std::string ListLinkError(const mylist &l, size_t len) {
    if (l.head == nullptr || l.tail == nullptr) return "null head or tail";
    if (l.head->prev != nullptr) return "head has a prev";
    if (l.tail->next != nullptr) return "tail has a next";
    size_t count = 1;
    for (const list_elt *e = l.head; e != l.tail; e = e->next, ++count) {
        if (e->next == nullptr || count >= len) return "tail not reached in len - 1 steps";
        if (e->next->prev != e) return "prev of element " + std::to_string(count) + " is wrong";
    }
    if (count != len) return "list has " + std::to_string(count) + " elements";
    return "";
}

// The points of a well-formed list, head to tail.
inline std::vector<point *> ListPoints(const mylist &l) {
    std::vector<point *> out;
    for (const list_elt *e = l.head; e != nullptr; e = e->next) out.push_back(e->pt);
    return out;
}

inline bool SameBits(double a, double b) { return memcmp(&a, &b, sizeof a) == 0; }

// The center and radius that a tree node stores for the box [lo, hi], written out here from the
// defining formulas so that the tree can be checked bit for bit.
// The cut of the points idx, worked out directly: the lowest dimension k of greatest width w,
// c = w * 0.5 + lo(k), and how many points lie at or below c and at or above it.
struct RefCut {
    int32_t k;
    double c;
    int32_t below;
    int32_t above;
};
inline RefCut ReferenceCut(const std::vector<point> &pts, const std::vector<int> &idx, int32_t d) {
    auto x = [&](int i, int32_t j) { return pts[size_t(i)].coords[size_t(j)]; };
    RefCut cut = {0, 0.0, 0, 0};
    double w = -1.0, lo_k = 0.0;
    for (int32_t j = 0; j < d; ++j) {
        double lo = INFINITY, hi = -INFINITY;
        for (int i : idx) lo = std::min(lo, x(i, j)), hi = std::max(hi, x(i, j));
        if (hi - lo > w) {
            cut.k = j;
            w = hi - lo;
            lo_k = lo;
        }
    }
    cut.c = w * 0.5 + lo_k;
    for (int i : idx) cut.below += x(i, cut.k) <= cut.c, cut.above += x(i, cut.k) >= cut.c;
    return cut;
}

inline void BoxCenterRadius(const std::vector<double> &lo, const std::vector<double> &hi,
                            std::vector<double> &center, double &radius) {
    double sum = 0.0;
    center.resize(lo.size());
    for (size_t k = 0; k < lo.size(); ++k) {
        center[k] = (hi[k] + lo[k]) * 0.5;
        const double h = (hi[k] - lo[k]) * 0.5;
        sum = sum + h * h;
    }
    radius = std::sqrt(sum);
}

namespace helpers_detail {
// Checks the subtree t and leaves in lo/hi the box of the points of its leaves.
inline std::string CheckNode(const tree_node *t, const point *pts, int32_t n, int32_t d,
                             std::vector<int> &seen, std::vector<double> &lo,
                             std::vector<double> &hi) {
    if (t == nullptr) return "missing child";
    const std::string at = "node of size " + std::to_string(t->size) + ": ";
    if (t->pt != nullptr) {
        const ptrdiff_t i = t->pt - pts;
        if (i < 0 || i >= n) return at + "leaf point is not one of the n points";
        if (seen[size_t(i)]++) return at + "point " + std::to_string(i) + " in two leaves";
        if (t->left != nullptr || t->right != nullptr) return at + "leaf with a child";
        if (t->size != 1 || !SameBits(t->radius, 0.0)) return at + "leaf size or radius";
        lo.assign(t->pt->coords.begin(), t->pt->coords.begin() + d);
        hi = lo;
        for (int32_t k = 0; k < d; ++k)
            if (!SameBits(t->center[k], lo[size_t(k)])) return at + "leaf center";
        return "";
    }
    if (t->left == nullptr || t->right == nullptr) return at + "internal node lacks a child";
    std::vector<double> lo2, hi2;
    std::string err = CheckNode(t->left, pts, n, d, seen, lo, hi);
    if (err.empty()) err = CheckNode(t->right, pts, n, d, seen, lo2, hi2);
    if (!err.empty()) return err;
    if (t->size != t->left->size + t->right->size) return at + "size is not the children's sum";
    for (size_t k = 0; k < size_t(d); ++k) {
        if (lo2[k] < lo[k]) lo[k] = lo2[k];
        if (hi2[k] > hi[k]) hi[k] = hi2[k];
    }
    std::vector<double> center;
    double radius;
    BoxCenterRadius(lo, hi, center, radius);
    for (int32_t k = 0; k < d; ++k)
        if (!SameBits(t->center[k], center[size_t(k)]))
            return at + "center " + std::to_string(k) + " is not that of its points' box";
    if (!SameBits(t->radius, radius)) return at + "radius is not that of its points' box";
    return "";
}
}  // namespace helpers_detail

// "" when the tree over pts[0..n-1] has every point in exactly one leaf, leaves of size 1,
// radius 0 and the point's coordinates as center, internal nodes with both children and the sum
// of their sizes, and every center and radius bit-equal to those of the node's points' box.
inline std::string TreeInvariantError(const tree_node *root, const std::vector<point> &pts,
                                      int32_t n, int32_t d) {
    std::vector<int> seen(size_t(n), 0);
    std::vector<double> lo, hi;
    std::string err = helpers_detail::CheckNode(root, pts.data(), n, d, seen, lo, hi);
    if (err.empty() && root->size != n) err = "root size " + std::to_string(root->size);
    return err;
}

// The tree as text: a leaf is its point's position in pts, an internal node "(left right)".
// With numbers, each internal node is followed by its center and radius in hex-float notation.
inline std::string TreeDump(const tree_node *t, const point *pts, int32_t d, bool numbers) {
    if (t->pt != nullptr) return std::to_string(t->pt - pts);
    std::string s =
        "(" + TreeDump(t->left, pts, d, numbers) + " " + TreeDump(t->right, pts, d, numbers) + ")";
    if (numbers) {
        char buf[40];
        for (int32_t k = 0; k <= d; ++k) {
            snprintf(buf, sizeof buf, "%c%a", k == 0 ? '@' : ',', k < d ? t->center[k] : t->radius);
            s += buf;
        }
    }
    return s;
}

// Random point sets of every shape that stresses the tree: uniform, small integer grids (ties in
// every dimension), and powers of two (exponential spacing: deep chains), for d = 1..5.
enum PointKind { kUniform, kGrid4, kGrid10, kExp, kExpSigned };
struct PointCase {
    PointKind kind;
    int32_t d, n;
};
inline std::vector<PointCase> RandomPointCases() {
    std::vector<PointCase> cases = {
        {kUniform, 2, 10000}, {kUniform, 5, 10000}, {kGrid10, 4, 10000}};
    for (int32_t d = 1; d <= 5; ++d) {
        const int32_t grid4 = std::min(int32_t(std::pow(4, d)), 300);
        const int32_t grid10 = std::min(int32_t(std::pow(10, d)), 2000);
        for (int32_t n : {2, 3, 50, 700}) cases.push_back({kUniform, d, n});
        for (int32_t n : {grid4, grid4 / 2 + 1}) cases.push_back({kGrid4, d, n});
        for (int32_t n : {grid10, grid10 / 3 + 1}) cases.push_back({kGrid10, d, n});
        for (int32_t n : {40, 600}) {
            cases.push_back({kExp, d, n});
            cases.push_back({kExpSigned, d, n});
        }
    }
    return cases;
}

inline std::vector<point> CasePoints(const PointCase &c, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<point> pts;
    if (c.kind == kExp || c.kind == kExpSigned) {
        // Each dimension holds the powers of two 2^(-n/2) .. 2^(n/2 - 1) in its own order.
        std::vector<std::vector<double>> rows(size_t(c.n), std::vector<double>(size_t(c.d)));
        std::vector<int> e(size_t(c.n));
        for (int32_t k = 0; k < c.d; ++k) {
            std::iota(e.begin(), e.end(), -c.n / 2);
            std::shuffle(e.begin(), e.end(), rng);
            for (size_t i = 0; i < rows.size(); ++i)
                rows[i][size_t(k)] =
                    (c.kind == kExpSigned && rng() % 2 ? -1.0 : 1.0) * std::ldexp(1.0, e[i]);
        }
        pts = MakePoints(rows);
    } else if (c.kind == kUniform) {
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        pts = DistinctPoints(c.n, c.d, [&] { return u(rng); });
    } else {
        std::uniform_int_distribution<int> g(0, c.kind == kGrid4 ? 3 : 9);
        pts = DistinctPoints(c.n, c.d, [&] { return double(g(rng)); });
    }
    return pts;
}

#endif
