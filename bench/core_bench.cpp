// Times the C++ core alone, step by step in the order run_quorl takes them, and prints one line of
// key=value: medians in seconds over the repeats, the pair count, index entries and peak RSS.
// Each repeat searches the same tree twice: node pairs only (compact, as run_quorl_compact) and
// with the index lists (search, as run_quorl); total and total_compact add check, sort, tree
// and freeing the tree to one of them.
//
//   core_bench --n N --d D [--s S] [--dist uniform|clustered] [--seed K] [--repeats R]
//   core_bench --n N --d D --points FILE ...   (FILE: n*d raw native float64, point-major)
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

#include "module/driver.h"
#include "pairs/search.h"
#include "tree/alloc.h"
#include "tree/build.h"
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
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], val = argv[i + 1];
        if (key == "--n") n = int32_t(std::stol(val));
        else if (key == "--d") d = int32_t(std::stol(val));
        else if (key == "--s") s = std::stod(val);
        else if (key == "--dist") dist = val;
        else if (key == "--seed") seed = std::stoull(val);
        else if (key == "--repeats") repeats = int32_t(std::stol(val));
        else if (key == "--points") file = val;
        else return std::fprintf(stderr, "unknown option %s\n", key.c_str()), 2;
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

    std::vector<double> check, sort, tree, compact, search, release, total, total_compact;
    size_t pairs = 0, entries = 0;
    for (int32_t r = 0; r < repeats; ++r) {
        PrepareExceptionStorage();
        const double t0 = Now();
        check_quorl_args(n, d, s, points);
        const double t1 = Now();
        for (size_t i = 0; i < points.size(); ++i) points[i].index = int32_t(i);
        mylist *lists = static_cast<mylist *>(CheckedMalloc(sizeof(mylist) * size_t(d)));
        std::memset(lists, 0, sizeof(mylist) * size_t(d));
        for (int32_t k = 0; k < d; ++k) {
            SortPoints(points.data(), n, k, &lists[k]);
            lists[k].base = lists[k].head;
        }
        const double t2 = Now();
        tree_node *root = BuildTree(lists, n, d);
        const double t3 = Now();
        // Node pairs only, as run_quorl_compact finds them: the leaf order and two runs a pair.
        compact_pairs runs;
        runs.order.reserve(size_t(n));
        ForEachLeaf(root, [&runs](tree_node *leaf) { runs.order.push_back(leaf->pt->index); });
        SearchPairs({root, nullptr, 0, 0}, s, d,
                    [&runs](tree_node *a, tree_node *b, int32_t a_start, int32_t b_start) {
                        runs.runs.push_back({a_start, a->size, b_start, b->size});
                    });
        const double t4 = Now();
        pair_list result;
        FindWSP(root, s, d, result);
        const double t5 = Now();
        FreeTree(root);
        const double t6 = Now();
        check.push_back(t1 - t0);
        sort.push_back(t2 - t1);
        tree.push_back(t3 - t2);
        compact.push_back(t4 - t3);
        search.push_back(t5 - t4);
        release.push_back(t6 - t5);
        total.push_back(t3 - t0 + t6 - t4);
        total_compact.push_back(t4 - t0 + t6 - t5);
        pairs = result.size();
        entries = 0;
        for (const auto &p : result) entries += p.first.size() + p.second.size();
        size_t run_entries = 0;
        for (const pair_runs &p : runs.runs)
            run_entries += size_t(p.first_size) + size_t(p.second_size);
        if (runs.runs.size() != pairs || run_entries != entries)
            return std::fprintf(stderr, "the two searches disagree\n"), 1;
    }  // the results are the caller's: their destruction is not timed

    // VmHWM, not ru_maxrss: Linux carries ru_maxrss over from the parent through fork and exec.
    double peak_mb = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) peak_mb = std::stod(line.substr(6)) / 1024.0;
    std::printf("n=%d d=%d s=%g dist=%s repeats=%d pairs=%zu entries=%zu check=%.6f sort=%.6f "
                "tree=%.6f compact=%.6f search=%.6f free=%.6f total=%.6f total_compact=%.6f "
                "peak_mb=%.0f\n",
                n, d, s, file.empty() ? dist.c_str() : "file", repeats, pairs, entries,
                Median(check), Median(sort), Median(tree), Median(compact), Median(search),
                Median(release), Median(total), Median(total_compact), peak_mb);
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
