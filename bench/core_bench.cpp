// Times the C++ core alone and prints one line of key=value: medians in seconds over the repeats,
// the pair count, index entries and peak RSS. Each repeat runs the decomposition twice:
// - as build_quorl and quorlkit run it: total (decompose_array), and its steps: check (every
//   check, equal points included, which decompose_array leaves to the tree build to find), tree
//   (BuildFlatTree), search (into node pairs); with --sorted-tree 1, also tree_sorted: the same
//   tree built from sorted lists throughout (BuildFlatTree with sort_after 0), checked equal;
// - with --lists 1 (the default), as run_quorl runs it: list_sort (SortPoints per dimension),
//   list_tree (BuildTree), list_search (FindWSP into a pair_list), list_free (FreeTree) and
//   list_total (with the same check). Both must find the same pairs.
//
// clang-format off
//   core_bench --n N --d D [--s S] [--dist uniform|clustered] [--seed K] [--repeats R] [--lists B]
//              [--sorted-tree B]
//   core_bench --n N --d D --points FILE ...   (FILE: n*d raw native float64, point-major)
// clang-format on
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "module/driver.h"
#include "pairs/search.h"
#include "tree/build.h"
#include "tree/flat.h"
#include "tree/lists.h"

namespace {

double Now() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double>(now).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// Uniform in the unit cube, or 10 Gaussian clusters (sigma 0.01) around uniform centers: the same
// two shapes bench.py draws, though not the same numbers (it hands its own over with --points).
std::vector<double> Generate(int32_t n, int32_t d, bool clustered, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> spread(0.0, 0.01);
    std::vector<double> centers(size_t(10) * size_t(d));
    for (double &c : centers) c = unit(rng);
    std::vector<double> xs(size_t(n) * size_t(d));
    for (size_t i = 0, dd = size_t(d); i < size_t(n); ++i) {
        const size_t c = size_t(rng() % 10);
        for (size_t k = 0; k < dd; ++k)
            xs[i * dd + k] = clustered ? centers[c * dd + k] + spread(rng) : unit(rng);
    }
    return xs;
}

std::vector<double> ReadPoints(const std::string &file, int32_t n, int32_t d) {
    std::vector<double> xs(size_t(n) * size_t(d));
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("cannot open " + file);
    if (size_t(in.tellg()) != xs.size() * sizeof(double))
        throw std::runtime_error(file + " does not hold n*d float64 values");
    in.seekg(0);
    in.read(reinterpret_cast<char *>(xs.data()), std::streamsize(xs.size() * sizeof(double)));
    return xs;
}

}  // namespace

int Run(int argc, char **argv) {
    int32_t n = 1000, d = 2, repeats = 3;
    double s = 2.0;
    uint64_t seed = 1;
    std::string dist = "uniform", file;
    bool lists_too = true, sorted_too = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], val = argv[i + 1];
        if (key == "--n")
            n = int32_t(std::stol(val));
        else if (key == "--d")
            d = int32_t(std::stol(val));
        else if (key == "--s")
            s = std::stod(val);
        else if (key == "--dist")
            dist = val;
        else if (key == "--seed")
            seed = std::stoull(val);
        else if (key == "--repeats")
            repeats = int32_t(std::stol(val));
        else if (key == "--points")
            file = val;
        else if (key == "--lists")
            lists_too = val != "0";
        else if (key == "--sorted-tree")
            sorted_too = val != "0";
        else
            return std::fprintf(stderr, "unknown option %s\n", key.c_str()), 2;
    }
    const bool known_dist = dist == "uniform" || dist == "clustered";
    if (argc % 2 == 0 || n < 1 || d < 1 || repeats < 1 || !known_dist)
        return std::fprintf(stderr, "usage: see the comment at the top of core_bench.cpp\n"), 2;

    const std::vector<double> xs =
        file.empty() ? Generate(n, d, dist == "clustered", seed) : ReadPoints(file, n, d);
    // Made once, as the bindings make them before run_quorl; the core writes only bookkeeping.
    std::vector<point> points;
    points.reserve(size_t(n));
    for (size_t i = 0; i < size_t(n); ++i) {
        std::vector<double> c(&xs[i * size_t(d)], &xs[i * size_t(d)] + d);
        points.emplace_back(c);
    }

    std::vector<double> check, tree, tree_sorted, search, total, list_sort, list_tree, list_search, list_free,
        list_total;
    size_t pairs = 0, entries = 0;
    for (int32_t r = 0; r < repeats; ++r) {
        PrepareExceptionStorage();
        // The whole call first, then its steps one by one on the same points.
        const double t0 = Now();
        const compact_pairs whole = decompose_array(n, d, s, xs.data());
        const double t1 = Now();
        check_quorl_array(n, d, s, xs.data());
        const double t2 = Now();
        flat_tree t = BuildFlatTree(xs.data(), n, d);
        const double t3 = Now();
        node_pair_buffer found;
        WithFlatTreeView(t, [&](auto view) {
            return SearchPairs(view, 0, view.none(), s,
                               [&found](int32_t a, int32_t b) { found.push(a, b); });
        });
        const double t4 = Now();
        total.push_back(t1 - t0);
        check.push_back(t2 - t1);
        tree.push_back(t3 - t2);
        search.push_back(t4 - t3);
        pairs = found.pairs();
        if (whole.pairs.pairs() != pairs)
            return std::fprintf(stderr, "decompose_array and its steps disagree\n"), 1;
        entries = 0;
        for (size_t p = 0; p < 2 * pairs; ++p) entries += size_t(t.size[size_t(found.ids()[p])]);
        if (sorted_too) {
            const double v0 = Now();
            const flat_tree u = BuildFlatTree(xs.data(), n, d, 0.0);
            tree_sorted.push_back(Now() - v0);
            if (u.order != t.order || u.start != t.start || u.size != t.size ||
                std::memcmp(u.box.data(), t.box.data(), t.box.size() * sizeof(double)) != 0)
                return std::fprintf(stderr, "the two tree builds disagree\n"), 1;
        }
        if (!lists_too) continue;

        const double u0 = Now();
        check_quorl_args(n, d, s, points);
        const double u1 = Now();
        for (size_t i = 0; i < points.size(); ++i) points[i].index = int32_t(i);
        mylist *lists = static_cast<mylist *>(CheckedMalloc(sizeof(mylist) * size_t(d)));
        std::memset(lists, 0, sizeof(mylist) * size_t(d));
        for (int32_t k = 0; k < d; ++k) {
            SortPoints(points.data(), n, k, &lists[k]);
            lists[k].base = lists[k].head;
        }
        const double u2 = Now();
        tree_node *root = BuildTree(lists, n, d);
        const double u3 = Now();
        pair_list result;
        FindWSP(root, s, d, result);
        const double u4 = Now();
        FreeTree(root);
        const double u5 = Now();
        list_sort.push_back(u2 - u1);
        list_tree.push_back(u3 - u2);
        list_search.push_back(u4 - u3);
        list_free.push_back(u5 - u4);
        list_total.push_back(u5 - u0);
        size_t list_entries = 0;
        for (const auto &p : result) list_entries += p.first.size() + p.second.size();
        if (result.size() != pairs || list_entries != entries)
            return std::fprintf(stderr, "the two decompositions disagree\n"), 1;
    }  // the results are the caller's: their destruction is not timed
    if (!lists_too) list_sort = list_tree = list_search = list_free = list_total = {NAN};
    if (!sorted_too) tree_sorted = {NAN};

    // VmHWM, not ru_maxrss: Linux carries ru_maxrss over from the parent through fork and exec.
    double peak_mb = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) peak_mb = std::stod(line.substr(6)) / 1024.0;
    std::printf(
        "n=%d d=%d s=%g dist=%s repeats=%d pairs=%zu entries=%zu check=%.6f tree=%.6f "
        "tree_sorted=%.6f search=%.6f total=%.6f list_sort=%.6f list_tree=%.6f list_search=%.6f "
        "list_free=%.6f list_total=%.6f peak_mb=%.0f\n",
        n, d, s, file.empty() ? dist.c_str() : "file", repeats, pairs, entries, Median(check),
        Median(tree), Median(tree_sorted), Median(search), Median(total), Median(list_sort), Median(list_tree),
        Median(list_search), Median(list_free), Median(list_total), peak_mb);
    return 0;
}

int main(int argc, char **argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception &e) {  // a bad option value, an unreadable file, refused points
        std::fprintf(stderr, "core_bench: %s\n", e.what());
        return 1;
    }
}
