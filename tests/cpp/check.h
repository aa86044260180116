#ifndef QUORL_TESTS_CPP_CHECK_H
#define QUORL_TESTS_CPP_CHECK_H

#include <cmath>
#include <string>
#include <vector>

#include "module/driver.h"
#include "module/point.h"
#include "pairs/output.h"

// The compact result spelled out as run_quorl lists it: per node pair, the positions under each
// of the two nodes in leaf order.
inline pair_list SpelledOut(const compact_pairs &c) {
    const flat_tree &t = c.tree;
    auto run = [&t](int32_t node) {
        const auto from = t.order.begin() + t.start[size_t(node)];
        return std::vector<int32_t>(from, from + t.size[size_t(node)]);
    };
    pair_list out;
    for (size_t p = 0; p < c.pairs.pairs(); ++p)
        out.emplace_back(run(c.pairs.ids()[2 * p]), run(c.pairs.ids()[2 * p + 1]));
    return out;
}

// Checks a decomposition of the first n points over d coordinates without looking at the tree:
// every two distinct positions meet in exactly one pair, one on each side; no list is empty; and
// each pair is separated for s when both sides' bounding spheres are recomputed from the points
// (two single points always count, since their squared distance may underflow). Returns "" when
// all holds, else what failed.
inline std::string CheckDecomposition(const pair_list &pairs, const std::vector<point> &pts,
                                      int32_t n, int32_t d, double s) {
    std::vector<unsigned char> seen(size_t(n) * size_t(n), 0);
    auto sphere = [&](const std::vector<int32_t> &side, std::vector<double> &center) {
        double sum = 0.0;
        center.assign(size_t(d), 0.0);
        for (int32_t k = 0; k < d; ++k) {
            double lo = pts[size_t(side[0])].coords[size_t(k)], hi = lo;
            for (int32_t i : side) {
                lo = std::fmin(lo, pts[size_t(i)].coords[size_t(k)]);
                hi = std::fmax(hi, pts[size_t(i)].coords[size_t(k)]);
            }
            center[size_t(k)] = (hi + lo) * 0.5;
            const double h = (hi - lo) * 0.5;
            sum = sum + h * h;
        }
        return std::sqrt(sum);
    };
    for (size_t p = 0; p < pairs.size(); ++p) {
        const std::vector<int32_t> &a = pairs[p].first, &b = pairs[p].second;
        const std::string where = "pair " + std::to_string(p) + ": ";
        if (a.empty() || b.empty()) return where + "empty list";
        for (const std::vector<int32_t> *side : {&a, &b})
            for (int32_t i : *side)
                if (i < 0 || i >= n) return where + "index " + std::to_string(i) + " out of range";
        for (int32_t i : a)
            for (int32_t j : b) {
                unsigned char &cell =
                    seen[size_t(i < j ? i : j) * size_t(n) + size_t(i < j ? j : i)];
                if (i == j || cell) return where + "positions met twice or on both sides";
                cell = 1;
            }
        std::vector<double> ca, cb;
        const double ra = sphere(a, ca), rb = sphere(b, cb);
        double sum = 0.0;
        for (int32_t k = 0; k < d; ++k) {
            const double diff = ca[size_t(k)] - cb[size_t(k)];
            sum = sum + diff * diff;
        }
        // Written out rather than borrowed from the core, so a wrong test there cannot pass here.
        const double r = ra > rb ? ra : rb;
        if (!(a.size() == 1 && b.size() == 1) && !(std::sqrt(sum) - 2 * r > s * r))
            return where + "not well separated";
    }
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = i + 1; j < n; ++j)
            if (!seen[size_t(i) * size_t(n) + size_t(j)])
                return "positions " + std::to_string(i) + " and " + std::to_string(j) +
                       " meet in no pair";
    return "";
}

#endif
