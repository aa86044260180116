// quorlkit._core: the decomposition of a NumPy array of points, returned as arrays that share the
// core's own blocks (no copy, no Python object per point or per pair). The Python package
// quorlkit turns array-likes into the float64 array this module expects and wraps the result.
#include <malloc.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "blocks/choice.h"
#include "cluster/dbscan.h"
#include "cluster/hdbscan.h"
#include "common/alloc.h"
#include "common/memory.h"
#include "common/parallel.h"
#include "common/stages.h"
#include "distributed/merge.h"
#include "module/bindings.h"
#include "module/driver.h"
#include "module/released.h"
#include "mst/dense.h"
#include "mst/emst.h"
#include "mst/linkage.h"
#include "neighbors/brute.h"
#include "neighbors/knn.h"
#include "neighbors/query.h"
#include "pairs/budget.h"
#include "spanner/spanner.h"

namespace py = pybind11;

namespace {

// An array over `data` that keeps `owner` (the capsule of the whole result) alive.
template <typename T>
py::array_t<T> View(const T *data, std::vector<py::ssize_t> shape, const py::capsule &owner) {
    return py::array_t<T>(std::move(shape), data, owner);
}

// The same with explicit strides in bytes: centers and radii share one block, node after node.
py::array_t<double> StridedView(const double *data, std::vector<py::ssize_t> shape,
                                std::vector<py::ssize_t> strides, const py::capsule &owner) {
    return py::array_t<double>(std::move(shape), std::move(strides), data, owner);
}

// A capsule that takes over `result` and deletes it with the last array over its blocks.
template <typename T>
py::capsule Owner(std::unique_ptr<T> &result) {
    py::capsule owner(result.get(), [](void *p) { delete static_cast<T *>(p); });
    result.release();
    return owner;
}

typedef py::array_t<int64_t, py::array::c_style | py::array::forcecast> int64_array;
typedef py::array_t<double, py::array::c_style | py::array::forcecast> double_array;
typedef py::array_t<int32_t, py::array::c_style | py::array::forcecast> int32_array;

// The data of a C-contiguous float64 array of shape (n, d) with n and d within int32, checked
// with the interpreter lock held; anything else is refused naming the argument.
const double *PointsData(const py::array &points, int32_t &n, int32_t &d,
                         const std::string &name = "points") {
    if (!py::isinstance<py::array_t<double>>(points) || !(points.flags() & py::array::c_style))
        throw py::type_error(name + " must be a C-contiguous float64 array");
    if (points.ndim() != 2)
        throw py::value_error(name + " must have 2 dimensions (n, d), not " +
                              std::to_string(points.ndim()));
    const py::ssize_t rows = points.shape(0), cols = points.shape(1);
    if (rows > INT32_MAX)
        throw py::value_error(name + " has " + std::to_string(rows) +
                              " rows; at most 2147483647 points are supported");
    if (cols > INT32_MAX)
        throw py::value_error(name + " has " + std::to_string(cols) +
                              " columns; at most 2147483647 dimensions are supported");
    n = int32_t(rows);
    d = int32_t(cols);
    return static_cast<const double *>(points.data());
}

// A copy of the points (for calls that copy with the interpreter lock held).
checked_vector<double> PointsCopy(const py::array &points, int32_t &n, int32_t &d,
                                  const std::string &name = "points") {
    const double *in = PointsData(points, n, d, name);
    return checked_vector<double>(in, in + size_t(n) * size_t(d));
}

// The private copy the core works on, made on `workers` threads once the interpreter lock is
// released (the caller's reference keeps the array alive): the checks and the core see one and
// the same set of points, whatever another thread writes to the array meanwhile.
checked_vector<double> CopyPoints(const double *in, int32_t n, int32_t d, int32_t workers) {
    const size_t total = size_t(n) * size_t(d);
    checked_vector<double> xs(total);
    const int32_t threads = total >= (size_t(1) << 18) ? UsableThreads(workers) : 1;
    const int64_t slices = int64_t(threads) * 4;
    QUORL_OMP(parallel for num_threads(threads) schedule(static, 1) if (threads > 1))
    for (int64_t g = 0; g < slices; ++g)
        std::copy(in + total * size_t(g) / size_t(slices),
                  in + total * size_t(g + 1) / size_t(slices),
                  xs.begin() + int64_t(total * size_t(g) / size_t(slices)));
    return xs;
}

py::tuple Decompose(const py::array &points, double s, int64_t max_pairs, int32_t workers,
                    const py::object &progress) {
    PrepareExceptionStorage();
    released_call call(progress);
    int32_t n, d;
    const double *in = PointsData(points, n, d);
    checked_vector<double> xs;

    std::unique_ptr<compact_pairs> result(new compact_pairs());
    call.Run([&] {
        xs = CopyPoints(in, n, d, workers);
        decompose_options options;
        options.max_pairs = max_pairs;
        options.workers = workers;
        *result = decompose_array(n, d, s, xs.data(), options);
    });
    call.Finish();
    const compact_pairs &r = *result;
    const py::capsule owner = Owner(result);
    const py::ssize_t nodes = r.tree.nodes(), m = py::ssize_t(r.pairs.pairs());
    const py::ssize_t row = py::ssize_t(sizeof(double)) * (py::ssize_t(d) + 1);
    return py::make_tuple(
        View(r.tree.order.data(), {n}, owner), View(r.tree.start.data(), {nodes}, owner),
        View(r.tree.size.data(), {nodes}, owner),
        StridedView(r.tree.box.data(), {nodes, d}, {row, py::ssize_t(sizeof(double))}, owner),
        StridedView(r.tree.box.data() + d, {nodes}, {row}, owner),
        View(r.pairs.ids(), {m, py::ssize_t(2)}, owner));
}

// The minimum spanning tree as (ends, lengths): int64 of shape (n - 1, 2) and float64 of shape
// (n - 1,), sharing the core's blocks.
py::tuple Emst(const py::array &points, int32_t workers, bool squared, int32_t algorithm,
               const py::object &progress) {
    PrepareExceptionStorage();
    released_call call(progress);
    int32_t n, d;
    const double *in = PointsData(points, n, d);
    checked_vector<double> xs;
    std::unique_ptr<emst_edges> result(new emst_edges());
    call.Run([&] {
        xs = CopyPoints(in, n, d, workers);
        StageMark("copy");
        check_points_array(n, d, xs.data(), UsableThreads(workers));
        StageMark("checks");
        *result = UseBlocks(algorithm, xs.data(), n, d, 0)
                      ? DenseEuclideanMST(xs.data(), n, d, UsableThreads(workers))
                      : EuclideanMST(xs.data(), n, d, UsableThreads(workers));
    });
    call.Finish();
    const emst_edges &r = *result;
    const py::capsule owner = Owner(result);
    const py::ssize_t m = py::ssize_t(r.count());
    return py::make_tuple(View(r.ends.data(), {m, py::ssize_t(2)}, owner),
                          View((squared ? r.squared : r.lengths).data(), {m}, owner));
}

// An HDBSCAN fit stopped because the edges that can belong to a minimum spanning tree would not
// fit in memory: a std::bad_alloc, so that Python raises MemoryError with this message.
class tie_refusal : public std::bad_alloc {
  public:
    tie_refusal(uint64_t found, uint64_t limit, uint64_t room, const memory_headroom &headroom) {
        message_ = "HDBSCAN: the mutual-reachability graph has more than " + std::to_string(limit) +
                   " edges that can belong to a minimum spanning tree (pairs of points whose "
                   "weight ties with the heaviest edge of the tree's path between them); at " +
                   std::to_string(kBytes) +
                   " bytes an edge while they are gathered, that is "
                   "more than the " +
                   ByteFigure(room) + " left of the " + ByteFigure(headroom.bytes) +
                   " available when the fit began (" + headroom.source +
                   ") once the points, their neighbours and the tree are "
                   "held: stopped after " +
                   std::to_string(found) +
                   " were found. They come from exactly equal distances (integer or rounded "
                   "coordinates); use fewer points, alpha = 1, or break the ties (add noise far "
                   "below the data's resolution, though the labels then need not be "
                   "scikit-learn's on the tied data)";
    }
    const char *what() const noexcept override { return message_.c_str(); }
    // 16 bytes an edge, and as much again twice while the block grows and the parts are joined.
    static const uint64_t kBytes = 48;

  private:
    std::string message_;
};

// The mutual-reachability tree of points that passed the checks, and the steps of the tree
// Prim's algorithm grows from point 0 in scikit-learn's order, over the tree's edges and the tie
// edges (every other edge that can belong to a minimum spanning tree): by the heap on one
// thread, where it is faster, and on more by the tree of strict merges, which leaves less on one
// thread and is kept in `kept` when `keep` (for the linkage of those steps); the tree of strict
// merges takes only distinct points whose ties weigh a core. The same steps either way.
struct reachability_fit {
    emst_edges tree;
    checked_vector<double> core;
    checked_vector<int64_t> prim_ends;
    checked_vector<double> prim_w;
    prim_tree kept;
    bool by_tree = false;
};
void FitReachability(checked_vector<double> &points, int32_t n, int32_t d, int32_t min_samples,
                     double alpha, int32_t threads, bool keep, int32_t algorithm,
                     reachability_fit &r) {
    const double *xs = points.data();
    if (min_samples < 1 || (n >= 1 && min_samples > n))
        throw std::invalid_argument("min_samples must be at least 1 and at most n");
    if (!(alpha > 0.0) || std::isinf(alpha))
        throw std::invalid_argument("alpha must be positive and finite");
    if (UseBlocks(algorithm, xs, n, d, 0)) {
        // Prim over every pair makes scikit-learn's choices itself: no tie edges to gather.
        const size_t m = n >= 2 ? size_t(n - 1) : 0;
        r.prim_ends.resize(2 * m);
        r.prim_w.resize(m);
        const progress_span stage("tree", 0.0, 1.0);
        DenseReachability(xs, n, d, min_samples, alpha, threads, r.core, r.tree, r.prim_ends.data(),
                          r.prim_w.data());
        r.by_tree = false;
        return;
    }
    tie_edges ties;
    ties.linkage_only = true;
    checked_vector<int32_t> order;
    {
        const progress_span stage("tree", 0.0, 0.9);
        // What the fit holds by the time the tie edges are gathered: the points (the copy given
        // is freed once the tree holds them), the neighbour lists, the tree's edges, the cores
        // and the search's per-point arrays.
        const memory_headroom headroom = AvailableMemory();
        const uint64_t held =
            uint64_t(n) * (8 * uint64_t(d) + 4 * uint64_t(std::max(min_samples, 7)) + 160);
        const uint64_t room = headroom.bytes > held ? headroom.bytes - held : 0;
        const uint64_t limit = std::min<uint64_t>(room / tie_refusal::kBytes, INT32_MAX);
        try {
            r.tree = MutualReachabilityMST(xs, n, d, min_samples, alpha, r.core, &ties, threads,
                                           &order, limit, nullptr, &points);
        } catch (const tie_limit_reached &stop) {
            throw tie_refusal(stop.found, limit, room, headroom);
        }
        checked_vector<double>().swap(r.tree.squared);  // no caller returns it
        ReturnFreedMemory();
    }
    const progress_span stage("prim order", 0.9, 1.0);
    r.prim_ends.resize(r.tree.ends.size());
    r.prim_w.resize(r.tree.count());
    // The tree of strict merges takes distinct points whose ties weigh a core.
    r.by_tree = n >= (1 << 15) && threads > 1 && ties.twin.empty() && ties.cored == ties.count();
    if (r.by_tree)
        PrimOrderByTree(n, r.core.data(), r.tree.ends.data(), r.tree.lengths.data(),
                        ties.ends.data(), ties.count(), order.data(), r.prim_ends.data(),
                        r.prim_w.data(), threads, keep ? &r.kept : nullptr);
    else
        PrimOrder(n, r.core.data(), r.tree.ends.data(), r.tree.lengths.data(), ties.ends.data(),
                  ties.count(), ties.cored, ties.w.data(),
                  ties.twin.empty() ? nullptr : ties.twin.data(), order.data(), r.prim_ends.data(),
                  r.prim_w.data());
    checked_vector<int32_t>().swap(ties.ends);
    checked_vector<double>().swap(ties.w);
    ReturnFreedMemory();
    StageMark("prim order");
}

// Refuses selection parameters the condensed tree cannot take.
void CheckSelection(int64_t min_cluster_size, const std::string &method, double epsilon) {
    if (min_cluster_size < 2) throw py::value_error("min_cluster_size must be at least 2");
    if (method != "eom" && method != "leaf")
        throw py::value_error("cluster_selection_method must be 'eom' or 'leaf'");
    if (!(epsilon >= 0.0) || std::isinf(epsilon))
        throw py::value_error("cluster_selection_epsilon must be finite and at least 0");
}

// The condensed tree of the linkage z of n points, and the clusters selected from it.
void CondenseAndSelect(const double *z, int64_t n, int64_t min_cluster_size,
                       const std::string &method, bool allow_single_cluster, double epsilon,
                       int64_t max_cluster_size, condensed_tree &tree, cluster_selection &flat) {
    tree = CondenseTree(z, n, min_cluster_size);
    StageMark("condense");
    flat = SelectClusters(tree, n, method == "eom" ? kExcessOfMass : kLeaf, allow_single_cluster,
                          epsilon, max_cluster_size);
    StageMark("select");
}

// The mutual-reachability minimum spanning tree as (ends, lengths, core distances), int64 of
// shape (n - 1, 2), float64 of shape (n - 1,) and (n,), then the tree Prim's algorithm grows from
// point 0 as (ends, weights) in the order it adds the edges. 1 <= min_samples <= n and alpha > 0
// are checked by the caller.
py::tuple ReachabilityMst(const py::array &points, int32_t min_samples, double alpha,
                          int32_t workers, int32_t algorithm, const py::object &progress) {
    PrepareExceptionStorage();
    released_call call(progress);
    int32_t n, d;
    const double *in = PointsData(points, n, d);
    checked_vector<double> xs;
    typedef reachability_fit result_t;
    std::unique_ptr<result_t> result(new result_t());
    call.Run([&] {
        xs = CopyPoints(in, n, d, workers);
        StageMark("copy");
        check_points_array(n, d, xs.data(), UsableThreads(workers));
        StageMark("checks");
        FitReachability(xs, n, d, min_samples, alpha, UsableThreads(workers), false, algorithm,
                        *result);
    });
    call.Finish();
    const result_t &r = *result;
    const py::capsule owner = Owner(result);
    const py::ssize_t m = py::ssize_t(r.tree.count());
    return py::make_tuple(View(r.tree.ends.data(), {m, py::ssize_t(2)}, owner),
                          View(r.tree.lengths.data(), {m}, owner),
                          View(r.core.data(), {py::ssize_t(r.core.size())}, owner),
                          View(r.prim_ends.data(), {m, py::ssize_t(2)}, owner),
                          View(r.prim_w.data(), {m}, owner));
}

// The minimum spanning tree of the points under max(core_i, core_j, d_ij / alpha) with the cores
// given (one per row, finite and >= 0): (ends, weights), in the order of (weight, i, j).
py::tuple ReachabilityMstOfCores(const py::array &points, const double_array &core, double alpha,
                                 int32_t min_samples, const py::object &near_lists, bool with_order,
                                 bool with_ties, bool lengths_only) {
    PrepareExceptionStorage();
    released_call call;
    int32_t n, d;
    const double *in = PointsData(points, n, d);
    if (core.ndim() != 1 || core.shape(0) != n)
        throw py::value_error("core must have shape (n,) for n points");
    int32_array near;
    int32_t k = 0;
    if (!near_lists.is_none()) {
        near = py::cast<int32_array>(near_lists);
        if (near.ndim() != 2 || near.shape(0) != n || near.shape(1) < 1 ||
            (n > 1 && near.shape(1) > n - 1))
            throw py::value_error("near must have shape (n, k) with 1 <= k <= n - 1");
        k = int32_t(near.shape(1));
        const int32_t *row = near.data();
        for (int64_t q = 0; q < n; ++q)
            for (int32_t c = 0; c < k; ++c, ++row)
                if (*row < 0 || *row >= n || *row == q)
                    throw py::value_error("near[" + std::to_string(q) + ", " + std::to_string(c) +
                                          "] = " + std::to_string(*row) + " is not another point");
    }
    for (int32_t q = 0; q < n; ++q)
        if (!(core.data()[q] >= 0.0) || std::isinf(core.data()[q]))
            throw py::value_error("core distance of row " + std::to_string(q) +
                                  " must be finite and >= 0");
    if (!(alpha > 0.0) || std::isinf(alpha))
        throw py::value_error("alpha must be positive and finite");
    checked_vector<double> xs;
    struct result_t {
        emst_edges tree;
        checked_vector<int32_t> order;
        tie_edges ties;
        checked_vector<double> tie_w;  // every tie's weight
    };
    std::unique_ptr<result_t> result(new result_t());
    result->ties.lengths_only = lengths_only;
    const memory_headroom headroom =
        with_ties ? AvailableMemory() : memory_headroom{UINT64_MAX, std::string()};
    call.Run([&] {
        xs = CopyPoints(in, n, d, 1);
        check_points_array(n, d, xs.data(), 1);
        checked_vector<double> cores;
        // What is held when the ties are gathered: the points twice, the lists and the tree.
        const uint64_t held = uint64_t(n) * (16 * uint64_t(d) + 4 * uint64_t(k) + 160);
        const uint64_t room = headroom.bytes > held ? headroom.bytes - held : 0;
        const uint64_t limit = with_ties ? room / tie_refusal::kBytes : UINT64_MAX;
        try {
            result->tree = MutualReachabilityMST(
                xs.data(), n, d, std::max(min_samples, 1), alpha, cores,
                with_ties ? &result->ties : nullptr, 1, with_order ? &result->order : nullptr,
                limit, core.data(), nullptr, k > 0 ? near.data() : nullptr, k);
        } catch (const tie_limit_reached &stop) {
            throw tie_refusal(stop.found, limit, room, headroom);
        }
        tie_edges &ties = result->ties;
        if (with_order) {  // positions in the tree's order: to rows
            for (int32_t &x : ties.ends) x = result->order[size_t(x)];
            if (!ties.twin.empty()) {
                checked_vector<int32_t> twin(ties.twin.size());
                for (size_t q = 0; q < twin.size(); ++q)
                    twin[size_t(result->order[q])] = result->order[size_t(ties.twin[q])];
                ties.twin.swap(twin);
            }
        }
        result->tie_w.resize(ties.count());
        for (size_t e = 0; e < ties.count(); ++e)
            result->tie_w[e] = e < ties.cored ? std::max(core.data()[ties.ends[2 * e]],
                                                         core.data()[ties.ends[2 * e + 1]])
                                              : ties.w[e - ties.cored];
    });
    call.Finish();
    const emst_edges &r = result->tree;
    const py::ssize_t m = py::ssize_t(r.count());
    const int32_t *order = result->order.data();
    const py::ssize_t t = py::ssize_t(result->ties.count());
    const int32_t *tie_ends = result->ties.ends.data();
    const double *tie_w = result->tie_w.data();
    const int32_t *twin = result->ties.twin.data();
    const py::ssize_t runs = py::ssize_t(result->ties.twin.size());
    const py::capsule owner = Owner(result);
    py::list out;
    out.append(View(r.ends.data(), {m, py::ssize_t(2)}, owner));
    out.append(View(r.lengths.data(), {m}, owner));
    if (with_order) out.append(View(order, {py::ssize_t(n)}, owner));
    if (with_ties) {
        out.append(View(tie_ends, {t, py::ssize_t(2)}, owner));
        out.append(View(tie_w, {t}, owner));
        out.append(View(twin, {runs}, owner));
    }
    return py::tuple(out);
}

// The steps of the tree Prim's algorithm grows from point 0 (PrimOrder) over the n - 1 edges of a
// mutual-reachability minimum spanning tree (ends, weights) and the t pairs `ties` that weigh
// the greater core of their ends: (ends, weights) in the order Prim adds them. With `order` (a
// permutation of the points, nearby points close together: the faster way), the ties are
// positions in it.
// Refuses a tree (core, ends, weights) of n points whose shapes or ends do not fit; returns n.
py::ssize_t CheckedTree(const double_array &core, const int64_array &ends,
                        const double_array &weights) {
    const py::ssize_t n = core.ndim() == 1 ? core.shape(0) : -1;
    if (n < 1 || n > INT32_MAX) throw py::value_error("core must have shape (n,), 1 <= n < 2^31");
    if (ends.ndim() != 2 || ends.shape(0) != n - 1 || ends.shape(1) != 2)
        throw py::value_error("edges must have shape (n - 1, 2)");
    if (weights.ndim() != 1 || weights.shape(0) != n - 1)
        throw py::value_error("lengths must have shape (n - 1,)");
    for (py::ssize_t e = 0; e < 2 * (n - 1); ++e)
        if (ends.data()[e] < 0 || ends.data()[e] >= n)
            throw py::value_error("edges: row " + std::to_string(e / 2) + " names no point");
    return n;
}

// MarkSoleCores over a tree whose weights must not decrease (released from the caller's lock).
// Refuses a tree whose weights decrease.
void CheckRising(py::ssize_t n, const double_array &weights) {
    for (py::ssize_t e = 1; e < n - 1; ++e)
        if (!(weights.data()[e - 1] <= weights.data()[e]))
            throw std::invalid_argument("lengths must not decrease");
}

checked_vector<uint8_t> SoleCores(py::ssize_t n, const double_array &core, const int64_array &ends,
                                  const double_array &weights) {
    CheckRising(n, weights);
    checked_vector<uint8_t> sole(static_cast<size_t>(n), 0);
    const int64_t *x = ends.data();
    MarkSoleCores(
        size_t(n - 1), core.data(), [x](size_t e) { return x[2 * e]; },
        [x](size_t e) { return x[2 * e + 1]; }, [&weights](size_t e) { return weights.data()[e]; },
        sole.data());
    return sole;
}

// Which points' core ties a linkage does not need (MarkSoleCores): uint8 (n,), 1 for those.
py::array_t<uint8_t> SoleCoresOf(const double_array &core, const int64_array &ends,
                                 const double_array &weights) {
    PrepareExceptionStorage();
    released_call call;
    const py::ssize_t n = CheckedTree(core, ends, weights);
    std::unique_ptr<checked_vector<uint8_t>> result(new checked_vector<uint8_t>());
    call.Run([&] { *result = SoleCores(n, core, ends, weights); });
    call.Finish();
    const uint8_t *data = result->data();
    return View(data, {n}, Owner(result));
}

// `given` as a permutation of 0 .. n - 1 (refused otherwise; `what` names it), or empty for
// None.
int32_array CheckedPermutation(py::ssize_t n, const py::object &given, const std::string &what) {
    int32_array p;
    if (given.is_none()) return p;
    p = given.cast<int32_array>();
    if (p.ndim() != 1 || p.shape(0) != n) throw py::value_error(what + " must have shape (n,)");
    std::vector<uint8_t> seen(size_t(n), 0);
    for (py::ssize_t v = 0; v < n; ++v) {
        const int32_t x = p.data()[v];
        if (x < 0 || x >= n || seen[size_t(x)]++)
            throw py::value_error(what + " must be a permutation of 0 .. n - 1 (row " +
                                  std::to_string(v) + ")");
    }
    return p;
}

// Refuses ties (t, 2) that name no point of n, and an order that is not a permutation of
// 0 .. n - 1 (None: no order); returns the order (empty for None).
int32_array CheckedTiesAndOrder(py::ssize_t n, const int32_array &ties, const py::object &order) {
    if (ties.ndim() != 2 || ties.shape(1) != 2)
        throw py::value_error("ties must have shape (t, 2)");
    for (py::ssize_t e = 0; e < 2 * ties.shape(0); ++e)
        if (ties.data()[e] < 0 || ties.data()[e] >= n)
            throw py::value_error("ties: row " + std::to_string(e / 2) + " names no point");
    return CheckedPermutation(n, order, "order");
}

// The ties but those of a sole point's core (MarkSoleCores), each with the end of greater core
// first (the heap-free replay takes them so): the edges must come in the order of their weights,
// and every tie weigh its greater core. `point` (null: none) maps the ties' positions to points.
// `marks`, when not null, are SoleCores of this tree, made already by the caller.
checked_vector<int32_t> LinkageTies(py::ssize_t n, const double_array &core,
                                    const int64_array &ends, const double_array &weights,
                                    const int32_t *ties, size_t t, const int32_t *point,
                                    const uint8_t *marks = nullptr) {
    checked_vector<uint8_t> own;
    if (marks)
        CheckRising(n, weights);
    else
        own = SoleCores(n, core, ends, weights);
    const uint8_t *sole = marks ? marks : own.data();
    checked_vector<int32_t> kept;
    const double *c = core.data();
    for (size_t k = 0; k < t; ++k) {
        const int32_t a = ties[2 * k], b = ties[2 * k + 1];
        const int32_t pa = point ? point[a] : a, pb = point ? point[b] : b;
        if (OfSoleCore(c[pa], c[pb], sole, pa, pb)) continue;
        const bool swap = c[pb] > c[pa];
        kept.push_back(swap ? b : a);
        kept.push_back(swap ? a : b);
    }
    return kept;
}

// Refuses pairs (t, 2) that name no point of n, or weights that are not one finite value >= 0
// a pair; `what` names them.
void CheckWeightedPairs(py::ssize_t n, const int32_array &pairs, const double_array &w,
                        const std::string &what) {
    if (pairs.ndim() != 2 || pairs.shape(1) != 2)
        throw py::value_error(what + " must have shape (t, 2)");
    if (w.ndim() != 1 || w.shape(0) != pairs.shape(0))
        throw py::value_error(what + ": weights must have shape (t,) for t pairs");
    for (py::ssize_t e = 0; e < 2 * pairs.shape(0); ++e)
        if (pairs.data()[e] < 0 || pairs.data()[e] >= n)
            throw py::value_error(what + ": row " + std::to_string(e / 2) + " names no point");
    for (py::ssize_t e = 0; e < w.shape(0); ++e)
        if (!(w.data()[e] >= 0.0) || std::isinf(w.data()[e]))
            throw py::value_error(what + ": the weight of row " + std::to_string(e) +
                                  " must be finite and >= 0");
}

// Which of the pairs (t, 2) with weights (t,) of n points can belong to some minimum spanning
// tree of a graph that (edges, lengths), lengths not decreasing, span at least weight
// (TreeTies): uint8 (t,).
py::array_t<uint8_t> TreeTiesOf(int64_t n, const int64_array &ends, const double_array &weights,
                                const int32_array &pairs, const double_array &w) {
    PrepareExceptionStorage();
    released_call call;
    if (n < 1 || n > INT32_MAX) throw py::value_error("n must be at least 1 and below 2^31");
    if (ends.ndim() != 2 || ends.shape(1) != 2)
        throw py::value_error("edges must have shape (m, 2)");
    const py::ssize_t m = ends.shape(0);
    if (weights.ndim() != 1 || weights.shape(0) != m)
        throw py::value_error("lengths must have shape (m,) for m edges");
    for (py::ssize_t e = 0; e < 2 * m; ++e)
        if (ends.data()[e] < 0 || ends.data()[e] >= n)
            throw py::value_error("edges: row " + std::to_string(e / 2) + " names no point");
    CheckWeightedPairs(n, pairs, w, "pairs");
    const size_t t = size_t(pairs.shape(0));
    std::unique_ptr<checked_vector<uint8_t>> result(new checked_vector<uint8_t>());
    call.Run([&] {
        CheckRising(m + 1, weights);
        result->resize(t);
        TreeTies(int32_t(n), size_t(m), ends.data(), weights.data(), pairs.data(), w.data(), t,
                 result->data());
    });
    call.Finish();
    const uint8_t *data = result->data();
    return View(data, {py::ssize_t(t)}, Owner(result));
}

py::tuple PrimOrderOf(const double_array &core, const int64_array &ends,
                      const double_array &weights, const int32_array &ties, const py::object &order,
                      bool linkage_only) {
    PrepareExceptionStorage();
    released_call call;
    const py::ssize_t n = CheckedTree(core, ends, weights);
    const int32_array ranks = CheckedTiesAndOrder(n, ties, order);
    struct result_t {
        checked_vector<int64_t> ends;
        checked_vector<double> w;
    };
    std::unique_ptr<result_t> result(new result_t());
    size_t t = size_t(ties.shape(0));
    call.Run([&] {
        checked_vector<int32_t> kept;
        const int32_t *given = ties.data();
        if (linkage_only) {
            // Ties name positions in `order` when it is given; the tree's ends are points.
            kept = LinkageTies(n, core, ends, weights, given, t,
                               order.is_none() ? nullptr : ranks.data());
            given = kept.data();
            t = kept.size() / 2;
        }
        result->ends.resize(2 * size_t(n - 1));
        result->w.resize(size_t(n - 1));
        PrimOrder(int32_t(n), core.data(), ends.data(), weights.data(), given, t, t, nullptr,
                  nullptr, order.is_none() ? nullptr : ranks.data(), result->ends.data(),
                  result->w.data());
    });
    call.Finish();
    const result_t &r = *result;
    const py::capsule owner = Owner(result);
    return py::make_tuple(View(r.ends.data(), {n - 1, py::ssize_t(2)}, owner),
                          View(r.w.data(), {n - 1}, owner));
}

// HDBSCAN* from a spanning tree of n points whose edges are in merge order, each edge's first
// end the cluster that comes first in its row: the single-linkage matrix, the condensed tree
// (parent, child, lambda, child_size), then labels, probabilities, the selected cluster ids,
// their persistence and every cluster's stability.
py::tuple Hdbscan(int64_t n, const int64_array &ends, const double_array &heights,
                  int64_t min_cluster_size, const std::string &method, bool allow_single_cluster,
                  double epsilon, int64_t max_cluster_size) {
    PrepareExceptionStorage();
    released_call call;
    if (ends.ndim() != 2 || ends.shape(1) != 2)
        throw py::value_error("edges must have shape (m, 2)");
    if (heights.ndim() != 1 || heights.shape(0) != ends.shape(0))
        throw py::value_error("lengths must have shape (m,) for m edges");
    CheckSelection(min_cluster_size, method, epsilon);
    for (py::ssize_t k = 0; k < heights.shape(0); ++k)
        if (std::isnan(heights.data()[k]) || heights.data()[k] < 0.0 ||
            (k > 0 && heights.data()[k] < heights.data()[k - 1]))
            throw py::value_error("lengths must be non-negative and in merge order (row " +
                                  std::to_string(k) + ")");
    const size_t m = size_t(ends.shape(0));
    struct result_t {
        checked_vector<double> z;
        condensed_tree tree;
        cluster_selection flat;
    };
    std::unique_ptr<result_t> result(new result_t());
    std::string fault;
    call.Run([&] {
        result->z.resize(4 * m);
        fault = SingleLinkage(n, ends.data(), heights.data(), m, false, result->z.data());
        if (fault.empty()) {
            StageMark("linkage");
            CondenseAndSelect(result->z.data(), n, min_cluster_size, method, allow_single_cluster,
                              epsilon, max_cluster_size, result->tree, result->flat);
        }
    });
    if (!fault.empty()) throw py::value_error(fault);
    const result_t &r = *result;
    const py::capsule owner = Owner(result);
    const py::ssize_t rows = py::ssize_t(r.tree.rows()), k = py::ssize_t(r.flat.clusters.size());
    return py::make_tuple(
        View(r.z.data(), {py::ssize_t(m), py::ssize_t(4)}, owner),
        View(r.tree.parent.data(), {rows}, owner), View(r.tree.child.data(), {rows}, owner),
        View(r.tree.lambda.data(), {rows}, owner), View(r.tree.child_size.data(), {rows}, owner),
        View(r.flat.labels.data(), {py::ssize_t(r.flat.labels.size())}, owner),
        View(r.flat.probabilities.data(), {py::ssize_t(r.flat.probabilities.size())}, owner),
        View(r.flat.clusters.data(), {k}, owner), View(r.flat.persistence.data(), {k}, owner),
        View(r.flat.stability.data(), {py::ssize_t(r.flat.stability.size())}, owner));
}

// What HDBSCAN* keeps past Prim's order: the linkage, the condensed tree as records, the
// selection.
struct hdbscan_result : reachability_fit {
    checked_vector<int64_t> rows;
    checked_vector<double> z;
    condensed_tree condensed;
    checked_vector<unsigned char> records;
    cluster_selection flat;
};

// From Prim's order in r (by_tree: with r.kept): the steps sorted by `argsort` (called with the
// interpreter lock held, on a view of the weights: NumPy's order among equal weights is
// scikit-learn's), the linkage, the condensed tree as records (int64 parent, int64 child,
// float64 lambda_val, int64 child_size) and the selection, on `threads` threads where they can
// run on many. Returns the linkage's fault ("" when none).
std::string FinishHdbscan(released_call &call, hdbscan_result &r, int32_t n, int32_t threads,
                          const py::object &argsort, int64_t min_cluster_size,
                          const std::string &method, bool allow_single_cluster, double epsilon,
                          int64_t max_cluster_size) {
    const size_t kRecord = 32;
    const size_t m = r.prim_w.size();
    {
        // A view: the weights stay in the core's block while argsort reads them.
        const py::array_t<double> weights({py::ssize_t(m)}, {py::ssize_t(sizeof(double))},
                                          r.prim_w.data(),
                                          py::capsule(r.prim_w.data(), [](void *) {}));
        const py::array_t<int64_t, py::array::c_style | py::array::forcecast> rows =
            argsort(weights);
        if (rows.ndim() != 1 || size_t(rows.shape(0)) != m)
            throw py::value_error("argsort must return one index per weight");
        r.rows.assign(rows.data(), rows.data() + m);
    }
    StageMark("argsort");
    std::string fault;
    call.Run([&] {
        const progress_span stage("condense", 0.9, 1.0);
        r.z.resize(4 * m);
        if (r.by_tree) {
            PrimLinkage(r.kept, n, r.prim_ends.data(), r.prim_w.data(), r.rows.data(), r.z.data(),
                        threads);
            r.kept = prim_tree();
        } else {
            checked_vector<int64_t> ends(2 * m);
            checked_vector<double> heights(m);
            for (size_t k = 0; k < m; ++k) {
                const int64_t p = r.rows[k];
                if (p < 0 || size_t(p) >= m)
                    throw std::invalid_argument("argsort gave an index out of range");
                ends[2 * k] = r.prim_ends[2 * size_t(p)];
                ends[2 * k + 1] = r.prim_ends[2 * size_t(p) + 1];
                heights[k] = r.prim_w[size_t(p)];
            }
            fault = SingleLinkage(n, ends.data(), heights.data(), m, false, r.z.data());
            StageMark("linkage");
        }
        // Prim's steps are in the linkage now, and are not returned.
        checked_vector<int64_t>().swap(r.prim_ends);
        checked_vector<double>().swap(r.prim_w);
        checked_vector<int64_t>().swap(r.rows);
        ReturnFreedMemory();
        if (fault.empty()) {
            CondenseAndSelect(r.z.data(), n, min_cluster_size, method, allow_single_cluster,
                              epsilon, max_cluster_size, r.condensed, r.flat);
            // The condensed tree as records (parent, child, lambda_val, child_size), the layout
            // the caller views them in, written on the threads.
            const condensed_tree &c = r.condensed;
            const size_t rows = c.rows();
            r.records.resize(rows * kRecord);
            const int32_t t = rows >= (size_t(1) << 15) ? threads : 1;
            QUORL_OMP(parallel for num_threads(t) schedule(static) if (t > 1))
            for (int64_t e = 0; e < int64_t(rows); ++e) {
                unsigned char *to = r.records.data() + size_t(e) * kRecord;
                memcpy(to, &c.parent[size_t(e)], 8);
                memcpy(to + 8, &c.child[size_t(e)], 8);
                memcpy(to + 16, &c.lambda[size_t(e)], 8);
                memcpy(to + 24, &c.child_size[size_t(e)], 8);
            }
            r.condensed = condensed_tree();
            StageMark("records");
        }
    });
    return fault;
}

// The views of what FinishHdbscan made: (linkage, records, labels, probabilities, clusters,
// persistence, stability), after the `before` views the caller gives.
py::tuple HdbscanViews(const hdbscan_result &r, const py::capsule &owner, py::tuple before) {
    const py::ssize_t m = py::ssize_t(r.z.size() / 4), k = py::ssize_t(r.flat.clusters.size());
    py::list out(before);
    for (const py::object &view :
         {py::object(View(r.z.data(), {m, py::ssize_t(4)}, owner)),
          py::object(View(r.records.data(), {py::ssize_t(r.records.size())}, owner)),
          py::object(View(r.flat.labels.data(), {py::ssize_t(r.flat.labels.size())}, owner)),
          py::object(
              View(r.flat.probabilities.data(), {py::ssize_t(r.flat.probabilities.size())}, owner)),
          py::object(View(r.flat.clusters.data(), {k}, owner)),
          py::object(View(r.flat.persistence.data(), {k}, owner)),
          py::object(View(r.flat.stability.data(), {py::ssize_t(r.flat.stability.size())}, owner))})
        out.append(view);
    return py::tuple(out);
}

// HDBSCAN* of the points in one call: the mutual-reachability tree (ends, lengths, core
// distances), then Prim's order sorted by `argsort` (called with the interpreter lock held, on a
// view of the weights: NumPy's order among equal weights is scikit-learn's) and, from there, what
// Hdbscan returns. 1 <= min_samples <= n, alpha > 0 and the selection's parameters are checked
// by the caller.
py::tuple HdbscanFit(const py::array &points, int32_t min_samples, double alpha, int32_t workers,
                     int64_t min_cluster_size, const std::string &method, bool allow_single_cluster,
                     double epsilon, int64_t max_cluster_size, const py::object &argsort,
                     int32_t algorithm, const py::object &progress) {
    PrepareExceptionStorage();
    released_call call(progress);
    CheckSelection(min_cluster_size, method, epsilon);
    int32_t n, d;
    const double *in = PointsData(points, n, d);
    struct result_t : hdbscan_result {
        checked_vector<double> xs;
    };
    std::unique_ptr<result_t> result(new result_t());
    result_t &r = *result;
    const int32_t threads = UsableThreads(workers);
    call.Run([&] {
        r.xs = CopyPoints(in, n, d, threads);
        StageMark("copy");
        check_points_array(n, d, r.xs.data(), threads);
        StageMark("checks");
        const progress_span stage("mutual reachability", 0.0, 0.9);
        FitReachability(r.xs, n, d, min_samples, alpha, threads, true, algorithm, r);
        checked_vector<double>().swap(r.xs);
    });
    const std::string fault = FinishHdbscan(call, r, n, threads, argsort, min_cluster_size, method,
                                            allow_single_cluster, epsilon, max_cluster_size);
    call.Finish();
    if (!fault.empty()) throw py::value_error(fault);
    const py::capsule owner = Owner(result);
    const py::ssize_t m = py::ssize_t(r.tree.count());
    return HdbscanViews(r, owner,
                        py::make_tuple(View(r.tree.ends.data(), {m, py::ssize_t(2)}, owner),
                                       View(r.tree.lengths.data(), {m}, owner),
                                       View(r.core.data(), {py::ssize_t(r.core.size())}, owner)));
}

// HDBSCAN* from a mutual-reachability minimum spanning tree (core, ends, weights in the order of
// the weights) and the pairs that weigh the greater core of their ends (positions in `order`
// when given), as prim_order takes them with linkage_only: Prim's order (without a heap on
// several threads), then what HdbscanFit gives after the tree.
py::tuple HdbscanOfTree(const double_array &core, const int64_array &ends,
                        const double_array &weights, const int32_array &ties,
                        const py::object &order, int32_t workers, int64_t min_cluster_size,
                        const std::string &method, bool allow_single_cluster, double epsilon,
                        int64_t max_cluster_size, const py::object &argsort, const py::object &sole,
                        const int32_array &length_ties, const double_array &length_weights,
                        const py::object &twin_given) {
    PrepareExceptionStorage();
    released_call call;
    CheckSelection(min_cluster_size, method, epsilon);
    const py::ssize_t n = CheckedTree(core, ends, weights);
    if (n < 2) throw py::value_error("HDBSCAN needs at least 2 points");
    const int32_array ranks = CheckedTiesAndOrder(n, ties, order);
    CheckWeightedPairs(n, length_ties, length_weights, "length_ties");
    const size_t lengths = size_t(length_ties.shape(0));
    // A permutation, so that every walk along a run comes back to where it began.
    const int32_array twin = CheckedPermutation(n, twin_given, "twin");
    const int32_t *runs = twin_given.is_none() ? nullptr : twin.data();
    py::array_t<uint8_t, py::array::c_style | py::array::forcecast> marks;
    if (!sole.is_none()) {
        marks = sole.cast<py::array_t<uint8_t, py::array::c_style | py::array::forcecast>>();
        if (marks.ndim() != 1 || marks.shape(0) != n)
            throw py::value_error("sole must have shape (n,)");
    }
    const int32_t *point = order.is_none() ? nullptr : ranks.data();
    std::unique_ptr<hdbscan_result> result(new hdbscan_result());
    hdbscan_result &r = *result;
    const int32_t threads = UsableThreads(workers);
    call.Run([&] {
        checked_vector<int32_t> kept;
        if (lengths == 0 && !runs) {
            kept = LinkageTies(n, core, ends, weights, ties.data(), size_t(ties.shape(0)), point,
                               sole.is_none() ? nullptr : marks.data());
        } else {
            // With ties that weigh a length, or equal points, every tie takes part, as in the
            // fit of the points: the ties of a sole point's core are left out only where
            // neither is.
            CheckRising(n, weights);
            kept.assign(ties.data(), ties.data() + 2 * ties.shape(0));
            kept.insert(kept.end(), length_ties.data(), length_ties.data() + 2 * lengths);
        }
        const size_t t = kept.size() / 2, cored = t - lengths;
        r.prim_ends.resize(2 * size_t(n - 1));
        r.prim_w.resize(size_t(n - 1));
        r.by_tree = n >= (1 << 15) && threads > 1 && lengths == 0 && !runs;
        if (r.by_tree)
            PrimOrderByTree(int32_t(n), core.data(), ends.data(), weights.data(), kept.data(), t,
                            point, r.prim_ends.data(), r.prim_w.data(), threads, &r.kept);
        else
            PrimOrder(int32_t(n), core.data(), ends.data(), weights.data(), kept.data(), t, cored,
                      length_weights.data(), runs, point, r.prim_ends.data(), r.prim_w.data());
        StageMark("prim order");
    });
    const std::string fault =
        FinishHdbscan(call, r, int32_t(n), threads, argsort, min_cluster_size, method,
                      allow_single_cluster, epsilon, max_cluster_size);
    call.Finish();
    if (!fault.empty()) throw py::value_error(fault);
    return HdbscanViews(r, Owner(result), py::tuple());
}

// The k nearest neighbours of every point as (distances, indices), float64 and int64 of shape
// (n, k); the distances are the square roots of the squared lengths. 1 <= k <= n - 1 is checked
// by the caller.
py::tuple Knn(const py::array &points, int32_t k, int32_t workers, bool squared, int32_t algorithm,
              const py::object &progress) {
    PrepareExceptionStorage();
    released_call call(progress);
    int32_t n, d;
    const double *in = PointsData(points, n, d);
    checked_vector<double> xs;
    std::unique_ptr<knn_rows> result(new knn_rows());
    call.Run([&] {
        xs = CopyPoints(in, n, d, workers);
        StageMark("copy");
        check_points_array(n, d, xs.data(), UsableThreads(workers));
        StageMark("checks");
        if (k < 1 || k >= n) throw std::invalid_argument("k must be at least 1 and below n");
        *result = UseBlocks(algorithm, xs.data(), n, d, k)
                      ? BruteNeighbours(xs.data(), n, d, nullptr, 0, k, workers, !squared)
                      : KNearestNeighbours(xs.data(), n, d, k, workers, !squared);
    });
    call.Finish();
    const knn_rows &r = *result;
    const py::capsule owner = Owner(result);
    return py::make_tuple(View(r.squared.data(), {n, py::ssize_t(k)}, owner),
                          View(r.index.data(), {n, py::ssize_t(k)}, owner));
}

// The k nearest points to each query row as (distances, indices), float64 and int64 of shape
// (m, k); 1 <= k <= n is checked by the caller.
py::tuple KnnQuery(const py::array &points, const py::array &queries, int32_t k, bool squared,
                   int32_t workers, int32_t algorithm, const py::object &progress) {
    PrepareExceptionStorage();
    released_call call(progress);
    int32_t n, d, m, dq;
    checked_vector<double> xs = PointsCopy(points, n, d);
    checked_vector<double> qs = PointsCopy(queries, m, dq, "queries");
    if (dq != d)
        throw py::value_error("queries must have as many columns as points (" +
                              std::to_string(d) + "), not " + std::to_string(dq));
    std::unique_ptr<knn_rows> result(new knn_rows());
    call.Run([&] {
        StageMark("copy");
        check_points_array(n, d, xs.data());
        StageMark("checks");
        if (k < 1 || k > n) throw std::invalid_argument("k must be at least 1 and at most n");
        check_query_array(n, d, xs.data(), m, qs.data());
        if (UseBlocks(algorithm, xs.data(), n, d, k)) {
            *result = BruteNeighbours(xs.data(), n, d, qs.data(), m, k, workers, !squared);
        } else {
            *result = KNearestQuery(xs.data(), n, d, qs.data(), m, k);
            if (!squared)
                for (double &x : result->squared) x = std::sqrt(x);
        }
    });
    call.Finish();
    const knn_rows &r = *result;
    const py::capsule owner = Owner(result);
    return py::make_tuple(View(r.squared.data(), {m, py::ssize_t(k)}, owner),
                          View(r.index.data(), {m, py::ssize_t(k)}, owner));
}

// DBSCAN of the points: (labels, core indices), int64 of shapes (n,) and (m,). The weights,
// when not None, are n float64 in input order; eps >= 0 and min_samples >= 1 are checked by
// the caller.
py::tuple DbscanOf(const py::array &points, double eps, double min_samples,
                   const py::object &weights, int32_t workers, bool cores, int32_t algorithm,
                   const py::object &progress) {
    PrepareExceptionStorage();
    released_call call(progress);
    int32_t n, d;
    const double *in = PointsData(points, n, d);
    const double *w = nullptr;
    if (!weights.is_none()) {
        const py::array &a = weights.cast<py::array>();
        if (!py::isinstance<py::array_t<double>>(a) || !(a.flags() & py::array::c_style) ||
            a.ndim() != 1 || a.shape(0) != n)
            throw py::value_error("sample_weight must be a C-contiguous float64 array of " +
                                  std::to_string(n) + " values");
        w = static_cast<const double *>(a.data());
    }
    checked_vector<double> xs, ws;
    std::unique_ptr<dbscan_result> result(new dbscan_result());
    call.Run([&] {
        xs = CopyPoints(in, n, d, workers);
        if (w) ws.assign(w, w + n);
        StageMark("copy");
        check_points_array(n, d, xs.data(), UsableThreads(workers));
        StageMark("checks");
        // Weighted counts keep the tree, whose order of summing they depend on.
        const bool blocks =
            !w && UseBlocks(algorithm, xs.data(), n, d,
                            int32_t(std::min(std::max(min_samples, 1.0), double(n - 1))));
        *result = Dbscan(xs.data(), n, d, eps * eps, min_samples, w ? ws.data() : nullptr, workers,
                         cores, blocks);
        // Before the core rows are gathered, and the C library asked to give back what was freed,
        // so that they do not add to the peak.
        xs = checked_vector<double>();
        malloc_trim(0);
    });
    // The core rows as the estimator keeps them, gathered on the threads.
    const py::ssize_t listed = py::ssize_t(result->core.size());
    py::array_t<double> components({listed, py::ssize_t(d)});
    double *to = components.mutable_data();
    call.Run([&] {
        const int32_t threads = listed >= 4096 ? UsableThreads(workers) : 1;
        const int64_t *core = result->core.data();
        QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
        for (py::ssize_t k = 0; k < listed; ++k)
            std::copy(in + core[k] * d, in + (core[k] + 1) * d, to + k * d);
    });
    call.Finish();
    const dbscan_result &r = *result;
    const py::capsule owner = Owner(result);
    return py::make_tuple(View(r.labels.data(), {py::ssize_t(n)}, owner),
                          View(r.core.data(), {listed}, owner), components);
}

// The closest pair as (squared length, i, j); n >= 2 is checked by the caller.
py::tuple ClosestPairOf(const py::array &points, int32_t workers, int32_t algorithm,
                        const py::object &progress) {
    PrepareExceptionStorage();
    released_call call(progress);
    int32_t n, d;
    const double *in = PointsData(points, n, d);
    checked_vector<double> xs;
    point_pair best;
    call.Run([&] {
        xs = CopyPoints(in, n, d, workers);
        StageMark("copy");
        check_points_array(n, d, xs.data(), UsableThreads(workers));
        StageMark("checks");
        if (n < 2) throw std::invalid_argument("a closest pair needs at least 2 points");
        best = ClosestPair(xs.data(), n, d, workers, UseBlocks(algorithm, xs.data(), n, d, 1));
    });
    call.Finish();
    return py::make_tuple(best.squared, best.i, best.j);
}

// A t-spanner as (ends, lengths, stopped, limit, source): int64 of shape (m, 2) with i < j in
// the order of (i, j), and float64 of shape (m,); stopped is -1, or the number of edges kept when
// more than the limit were needed (ends and lengths are then empty). The limit is max_edges, or
// for max_edges < 0 what the memory available when the call began holds, as `source` says.
// t > 1 is checked by the caller.
py::tuple SpannerOf(const py::array &points, double t, int64_t max_edges, int32_t workers,
                    const py::object &progress) {
    PrepareExceptionStorage();
    released_call call(progress);
    int32_t n, d;
    const double *in = PointsData(points, n, d);
    checked_vector<double> xs;
    std::unique_ptr<spanner_edges> result(new spanner_edges());
    int64_t stopped = -1, limit = max_edges;
    std::string source;
    call.Run([&] {
        xs = CopyPoints(in, n, d, workers);
        StageMark("copy");
        check_points_array(n, d, xs.data(), UsableThreads(workers));
        StageMark("checks");
        if (!(t > 1.0) || !std::isfinite(t)) throw std::invalid_argument("t must be above 1");
        if (limit < 0) {
            const memory_headroom room = AvailableMemory();
            limit = int64_t(std::min<uint64_t>(room.bytes / kSpannerBytesPerEdge, INT64_MAX));
            source = room.source;
        }
        try {
            *result = GreedySpanner(xs.data(), n, d, t, limit, UsableThreads(workers));
        } catch (const edge_limit_reached &e) {
            stopped = e.edges;
        }
    });
    call.Finish();
    const spanner_edges &r = *result;
    const py::capsule owner = Owner(result);
    const py::ssize_t m = py::ssize_t(r.count());
    return py::make_tuple(View(r.ends.data(), {m, py::ssize_t(2)}, owner),
                          View(r.lengths.data(), {m}, owner), stopped, limit, source);
}

py::array_t<double> Linkage(int64_t n, const int64_array &ends, const double_array &heights,
                            bool smaller_first) {
    PrepareExceptionStorage();
    released_call call;
    if (ends.ndim() != 2 || ends.shape(1) != 2)
        throw py::value_error("edges must have shape (m, 2)");
    if (heights.ndim() != 1 || heights.shape(0) != ends.shape(0))
        throw py::value_error("lengths must have shape (m,) for m edges");
    const size_t m = size_t(ends.shape(0));
    py::array_t<double> z({py::ssize_t(m), py::ssize_t(4)});
    std::string fault;
    call.Run([&] {
        fault = SingleLinkage(n, ends.data(), heights.data(), m, smaller_first, z.mutable_data());
    });
    if (!fault.empty()) throw py::value_error(fault);
    return z;
}

typedef py::array_t<int32_t, py::array::c_style | py::array::forcecast> int_array;

py::list ToLists(const int_array &order, const int_array &start, const int_array &size,
                 const int_array &pairs) {
    const size_t n = size_t(order.size()), nodes = size_t(start.size());
    if (size_t(size.size()) != nodes)
        throw py::value_error("node_start and node_size differ in length");
    if (pairs.ndim() != 2 || pairs.shape(1) != 2)
        throw py::value_error("pairs must have shape (m, 2)");
    const int32_t *st = start.data(), *sz = size.data(), *ids = pairs.data();
    const size_t count = size_t(pairs.shape(0));
    // Arrays can be made by hand: every run must lie inside the order before one is read.
    for (size_t p = 0; p < 2 * count; ++p) {
        const int32_t id = ids[p];
        if (id < 0 || size_t(id) >= nodes)
            throw py::value_error("pair " + std::to_string(p / 2) + " names node " +
                                  std::to_string(id) + ", not one of the " + std::to_string(nodes) +
                                  " nodes");
        if (st[id] < 0 || sz[id] < 0 || size_t(st[id]) + size_t(sz[id]) > n)
            throw py::value_error("node " + std::to_string(id) +
                                  " covers positions beyond the order");
    }
    return PairLists(order.data(), n, st, sz, ids, count);
}

// The number of edges on the longest path from the root to a leaf of a tree numbered as
// Decomposition numbers its nodes.
int32_t TreeDepth(const int_array &size) {
    const int32_t nodes = int32_t(size.size());
    const int32_t *sz = size.data();
    std::vector<int32_t> height(size_t(nodes), 0);
    // Children come after their parent, so one backward pass sees them first.
    for (int32_t i = nodes - 1; i >= 0; --i) {
        if (sz[i] <= 1) continue;
        const int32_t l = i + 1;
        const int64_t r = int64_t(i) + 2 * int64_t(l < nodes ? sz[l] : 0);
        if (l >= nodes || r >= nodes || sz[l] < 1)
            throw py::value_error("node_size does not describe a tree in pre-order");
        height[size_t(i)] = 1 + std::max(height[size_t(l)], height[size_t(r)]);
    }
    return nodes > 0 ? height[0] : 0;
}

// The coordinate checks on rows held apart from the others, the first of them at position
// `first`; returns each coordinate's least and greatest value (zeros for no rows).
py::tuple CheckRowsFrom(const py::array &points, int64_t first) {
    PrepareExceptionStorage();
    int32_t n, d;
    checked_vector<double> xs = PointsCopy(points, n, d);
    py::array_t<double> lo(std::vector<py::ssize_t>{py::ssize_t(d)}),
        hi(std::vector<py::ssize_t>{py::ssize_t(d)});
    std::fill(lo.mutable_data(), lo.mutable_data() + d, 0.0);
    std::fill(hi.mutable_data(), hi.mutable_data() + d, 0.0);
    check_point_rows(n, d, xs.data(), first, lo.mutable_data(), hi.mutable_data());
    return py::make_tuple(lo, hi);
}

void CheckSpread(const double_array &lo, const double_array &hi) {
    if (lo.ndim() != 1 || hi.ndim() != 1 || lo.shape(0) != hi.shape(0) || lo.shape(0) > INT32_MAX)
        throw py::value_error("lo and hi must be vectors of one length");
    check_spread(int32_t(lo.shape(0)), lo.data(), hi.data());
}

// Kruskal over edges in key order with the terminals marked: (fate, rep), int8 of shape (m,)
// and int64 of shape (m, 2).
py::tuple KruskalCompressOf(int64_t v, const int64_array &ends, const py::array_t<uint8_t> &terminal) {
    PrepareExceptionStorage();
    released_call call;
    if (ends.ndim() != 2 || ends.shape(1) != 2)
        throw py::value_error("edges must have shape (m, 2)");
    if (terminal.ndim() != 1 || terminal.shape(0) != v)
        throw py::value_error("terminal must have shape (v,)");
    const size_t m = size_t(ends.shape(0));
    py::array_t<int8_t> fate(std::vector<py::ssize_t>{py::ssize_t(m)});
    py::array_t<int64_t> rep({py::ssize_t(m), py::ssize_t(2)});
    std::string fault;
    call.Run([&] {
        fault = KruskalCompress(v, ends.data(), m, terminal.data(), fate.mutable_data(),
                                rep.mutable_data());
    });
    if (!fault.empty()) throw py::value_error(fault);
    return py::make_tuple(fate, rep);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    PrepareExceptionStorage();
    // pybind11 looks NumPy's C API up on first use, in a function-local static whose
    // initialisation imports a module: two threads making their first array call at once (dask's
    // threaded scheduler does) would each wait for what the other holds, the GIL or the static's
    // guard. Looked up here, under the import lock, it is never done again.
    (void)py::array_t<double>(py::ssize_t(0));
    {
        // The thread the calls run on, started at import: its stack and its C library arena
        // take address space once, which the headroom the first call measures should not lose.
        released_call warm;
        warm.Run([] { PrepareExceptionStorage(); });
    }
    m.doc() =
        "The C++ core of quorlkit; use quorlkit.decompose. Calls that take `progress` call "
        "it as progress(fraction, stage) from the calling thread while they run, and every "
        "call ends with KeyboardInterrupt soon after Ctrl-C.";
    m.def("decompose", &Decompose, py::arg("points"), py::arg("s"), py::arg("max_pairs") = -1,
          py::arg("workers") = 1, py::arg("progress") = py::none(),
          "Decompose a C-contiguous float64 array of shape (n, d) on `workers` threads, refusing "
          "more than max_pairs pairs (< 0: no limit but the memory available) with MemoryError; "
          "returns order, node_start, node_size, node_center, node_radius and pairs. The "
          "interpreter lock is released while the core runs.");
    m.def("emst", &Emst, py::arg("points"), py::arg("workers") = 1, py::arg("squared") = false,
          py::arg("algorithm") = 0, py::arg("progress") = py::none(),
          "The Euclidean minimum spanning tree of a C-contiguous float64 array of shape (n, d); "
          "returns edges (int64, (n - 1, 2)) and lengths (float64, (n - 1,); their squares "
          "with squared).");
    m.def("mutual_reachability_mst", &ReachabilityMst, py::arg("points"), py::arg("min_samples"),
          py::arg("alpha"), py::arg("workers") = 1, py::arg("algorithm") = 0,
          py::arg("progress") = py::none(),
          "The minimum spanning tree under max(core_i, core_j, d_ij / alpha): edges (int64, "
          "(n - 1, 2)), lengths (float64, (n - 1,)), core distances (float64, (n,)), and "
          "the tree Prim grows from point 0 (edges, weights) in its order.");
    m.def("mutual_reachability_mst_of_cores", &ReachabilityMstOfCores, py::arg("points"),
          py::arg("core"), py::arg("alpha"), py::arg("min_samples") = 1,
          py::arg("near") = py::none(), py::arg("order") = false, py::arg("ties") = false,
          py::arg("lengths_only") = false,
          "The minimum spanning tree under max(core_i, core_j, d_ij / alpha) with the cores "
          "given (min_samples: how many neighbours made them): edges (int64, (n - 1, 2)) and "
          "weights (float64, (n - 1,)) in the order of (weight, i, j). `near` (int32, (n, k)), "
          "when given, holds each point's k nearest other points, nearest first. With order, "
          "also the points in the tree's order (int32, (n,)), nearby points close together. "
          "With ties, also the pairs beyond the tree that can belong to another such tree "
          "(int32, (t, 2), rows; with lengths_only only those that weigh a length, above "
          "both cores) and their weights (float64, (t,)), and, where points are "
          "equal, the next row of each row's run of equal rows (int32, (n,); else (0,)): a "
          "pair then joins one row of each of two runs and stands for every pair between "
          "them.");
    m.def("sole_cores", &SoleCoresOf, py::arg("core"), py::arg("edges"), py::arg("lengths"),
          "For a mutual-reachability minimum spanning tree with lengths that do not decrease: "
          "uint8 (n,), 1 for the points whose core ties no linkage needs (prim_order's "
          "linkage_only leaves them out).");
    m.def("prim_order", &PrimOrderOf, py::arg("core"), py::arg("edges"), py::arg("lengths"),
          py::arg("ties"), py::arg("order") = py::none(), py::arg("linkage_only") = false,
          "The tree Prim's algorithm grows from point 0 over a mutual-reachability minimum "
          "spanning tree and the pairs that weigh the greater core of their ends (positions in "
          "`order` when given, a permutation of the points keeping nearby points together): "
          "(edges, weights) in the order it adds them. With linkage_only (the edges in the "
          "order of their lengths), the ties that cannot change the single-linkage rows are "
          "left out: the same points at the same weights, an edge's first end possibly "
          "another point of the same cluster below that weight.");
    m.def("hdbscan", &Hdbscan, py::arg("n"), py::arg("edges"), py::arg("lengths"),
          py::arg("min_cluster_size"), py::arg("method"), py::arg("allow_single_cluster"),
          py::arg("epsilon"), py::arg("max_cluster_size"),
          "HDBSCAN* from a spanning tree in merge order: (linkage, parent, child, lambda_val, "
          "child_size, labels, probabilities, clusters, persistence, stability).");
    m.def(
        "hdbscan_fit", &HdbscanFit, py::arg("points"), py::arg("min_samples"), py::arg("alpha"),
        py::arg("workers"), py::arg("min_cluster_size"), py::arg("method"),
        py::arg("allow_single_cluster"), py::arg("epsilon"), py::arg("max_cluster_size"),
        py::arg("argsort"), py::arg("algorithm") = 0, py::arg("progress") = py::none(),
        "HDBSCAN* of the points: (ends, lengths, core, linkage, the condensed tree as the bytes of "
        "records (int64 parent, int64 child, float64 lambda_val, int64 child_size), labels, "
        "probabilities, clusters, persistence, stability).");
    m.def("hdbscan_of_tree", &HdbscanOfTree, py::arg("core"), py::arg("edges"), py::arg("lengths"),
          py::arg("ties"), py::arg("order"), py::arg("workers"), py::arg("min_cluster_size"),
          py::arg("method"), py::arg("allow_single_cluster"), py::arg("epsilon"),
          py::arg("max_cluster_size"), py::arg("argsort"), py::arg("sole") = py::none(),
          py::arg("length_ties") = int32_array(std::vector<py::ssize_t>{0, 2}),
          py::arg("length_weights") = double_array(std::vector<py::ssize_t>{0}),
          py::arg("twin") = py::none(),
          "HDBSCAN* from a mutual-reachability minimum spanning tree in the order of its lengths "
          "and the pairs that weigh the greater core of their ends (positions in order, when "
          "given): what hdbscan_fit gives after (ends, lengths, core). `sole`, when given, is "
          "sole_cores of the same tree, made already. `length_ties` (t, 2) with their "
          "`length_weights` (t,) are the ties that weigh a length, in the same positions; "
          "`twin` (n,), where points are equal, the position of the next point of each "
          "point's run of equal points (the ties then join one point of each of two runs).");
    m.def("tree_ties", &TreeTiesOf, py::arg("n"), py::arg("edges"), py::arg("lengths"),
          py::arg("pairs"), py::arg("weights"),
          "Which pairs (t, 2) of weights (t,) of n points can belong to some minimum spanning "
          "tree of a graph that (edges, lengths), lengths not decreasing, span at least weight: "
          "uint8 (t,), 1 for those that are not among the edges and weigh as much as the "
          "heaviest edge of the path between their ends in Kruskal's tree of the edges (edges "
          "that close a cycle passed over).");
    m.def("knn", &Knn, py::arg("points"), py::arg("k"), py::arg("workers") = 1,
          py::arg("squared") = false, py::arg("algorithm") = 0, py::arg("progress") = py::none(),
          "The k nearest other points of each row: distances (float64; their squares with "
          "squared) and indices (int64), both of shape (n, k).");
    m.def("knn_query", &KnnQuery, py::arg("points"), py::arg("queries"), py::arg("k"),
          py::arg("squared") = false, py::arg("workers") = 1, py::arg("algorithm") = 0,
          py::arg("progress") = py::none(),
          "The k nearest points to each query row: distances (float64; their squares with "
          "squared) and indices (int64), both of shape (m, k).");
    m.def("dbscan", &DbscanOf, py::arg("points"), py::arg("eps"), py::arg("min_samples"),
          py::arg("weights") = py::none(), py::arg("workers") = 1, py::arg("cores") = true,
          py::arg("algorithm") = 0, py::arg("progress") = py::none(),
          "DBSCAN of a C-contiguous float64 array of shape (n, d), pairs within eps when their "
          "squared length is at most eps * eps: (labels (int64, (n,)), core indices (int64, "
          "ascending), the core rows (float64)); without cores, no core points are listed.");
    m.def("closest_pair", &ClosestPairOf, py::arg("points"), py::arg("workers") = 1,
          py::arg("algorithm") = 0, py::arg("progress") = py::none(),
          "The first pair in the order (squared length, i, j): (squared length, i, j).");
    m.def("spanner", &SpannerOf, py::arg("points"), py::arg("t"), py::arg("max_edges"),
          py::arg("workers") = 1, py::arg("progress") = py::none(),
          "A t-spanner of a C-contiguous float64 array of shape (n, d): (edges (int64, (m, 2)), "
          "lengths (float64, (m,)), stopped, limit, source), stopped being -1 or the edges kept "
          "at the limit; max_edges < 0 limits the edges to what the available memory holds.");
    m.def("linkage", &Linkage, py::arg("n"), py::arg("edges"), py::arg("heights"),
          py::arg("smaller_first"),
          "The single-linkage matrix of a spanning tree whose edges are in merge order.");
    m.def("check_rows", &CheckRowsFrom, py::arg("points"), py::arg("first"),
          "The coordinate checks of emst on rows whose first is at position `first`; returns "
          "the least and greatest value of each coordinate.");
    m.def("check_spread", &CheckSpread, py::arg("lo"), py::arg("hi"),
          "The extent check of emst on the least and greatest value of each coordinate.");
    m.def("kruskal_compress", &KruskalCompressOf, py::arg("v"), py::arg("edges"),
          py::arg("terminal"),
          "Kruskal over edges in key order between vertices 0..v-1: each edge's fate (0 "
          "rejected, 1 final, 2 pending) and, for a pending edge, a terminal on either side.");
    // Each extension links its own copy of the core, so quorlkit's tests need their own hook.
    m.def(
        "_tree_share",
        [](const py::array &points, int32_t k) {
            int32_t n, d;
            const double *xs = PointsData(points, n, d);
            double share = 0.0;
            if (n >= 2) TreeShares(xs, n, d, &k, 1, &share);
            return share;
        },
        py::arg("points"), py::arg("k"),
        "The share of the points a tree search for k neighbours measures, as the choice "
        "between the tree and the blocks estimates it.");
    m.def("_fail_allocation_at", &SetAllocFailure,
          "Test hook: make the k-th following core allocation fail (k >= 1); 0 turns it off.");
    m.def("_allocation_count", &AllocCount,
          "Test hook: core allocations since the last _fail_allocation_at().");
    m.def(
        "available_memory",
        [] {
            const memory_headroom room = AvailableMemory();
            return py::make_tuple(room.bytes, room.source);
        },
        "The bytes this process may still take, and what limits them (2**64 - 1 when nothing "
        "is known).");
    m.def(
        "_heap_in_use",
        [] {
            const struct mallinfo2 info = mallinfo2();
            return int64_t(info.uordblks + info.hblkhd) + int64_t(PagesHeld()) * (int64_t(2) << 20);
        },
        "Test hook: bytes held by malloc (its heap and its mapped blocks) and by the core's page "
        "blocks, counted as 2 MiB each.");
    m.def(
        "_stage_clock",
        [](bool on) {
            py::list out;
            for (const stage_time &s : StageClock(on))
                out.append(py::make_tuple(s.name, s.wall, s.cpu));
            return out;
        },
        py::arg("on"),
        "Benchmark hook: turn the core's stage clock on (clearing it) or off; returns the "
        "(stage, wall seconds, process CPU seconds) it held.");
    m.def("to_lists", &ToLists, py::arg("order"), py::arg("node_start"), py::arg("node_size"),
          py::arg("pairs"), "The pairs spelled out as build_quorl returns them.");
    m.def("tree_depth", &TreeDepth, py::arg("node_size"),
          "Edges on the longest root-to-leaf path of the tree.");
}
