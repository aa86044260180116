#include "module/driver.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "common/alloc.h"
#include "common/interrupt.h"
#include "common/memory.h"
#include "common/parallel.h"
#include "common/stages.h"
#include "pairs/budget.h"
#include "pairs/search.h"
#include "tree/build.h"
#include "tree/equal.h"

namespace {

std::string Num(double x) {
    std::ostringstream out;
    out.precision(17);
    out << x;
    return out.str();
}

[[noreturn]] void Refuse(const std::string &what) { throw std::invalid_argument(what); }

// A coordinate above this magnitude makes the box center (hi + lo) * 0.5 overflow.
const double kMaxMagnitude = DBL_MAX / 2;

// Two equal points can never be separated: refuse the first such pair in position order.
template <typename Rows>
void RefuseDuplicates(int32_t n, int32_t d, const Rows &rows) {
    ForEachEqualPoint(n, d, [&rows](int32_t i) { return rows.row(i); }, [d](int32_t j, int32_t i) {
        Refuse("points at positions " + std::to_string(j) + " and " + std::to_string(i) +
               " are equal in their first " + std::to_string(d) +
               " coordinates; well-separated pairs need distinct points");
    });
}

// The point records as rows of coordinates.
struct point_rows {
    const std::vector<point> &points;
    size_t length(int32_t i) const { return points[size_t(i)].coords.size(); }
    const double *row(int32_t i) const { return points[size_t(i)].coords.data(); }
};

// A row-major array of n rows of d coordinates.
struct array_rows {
    const double *xs;
    size_t d;
    size_t length(int32_t) const { return d; }
    const double *row(int32_t i) const { return xs + size_t(i) * d; }
};

// n against the number of records there are.
void CheckCount(int32_t n, size_t records) {
    if (n < 0) Refuse("n must not be negative (got " + std::to_string(n) + ")");
    if (size_t(n) > records)
        Refuse("n = " + std::to_string(n) + " is larger than the number of points (" +
               std::to_string(records) + ")");
}

// Refuses coordinate k = x of the point at `position`: not finite, or too large.
void CheckCoordinate(int64_t position, int32_t k, double x) {
    if (!std::isfinite(x))
        Refuse("point at position " + std::to_string(position) + ": coordinate " +
               std::to_string(k) + " is " + Num(x) + "; coordinates must be finite");
    if (std::fabs(x) > kMaxMagnitude)
        Refuse("point at position " + std::to_string(position) + ": coordinate " +
               std::to_string(k) + " = " + Num(x) +
               " is too large; the magnitude of a coordinate must be at most " +
               Num(kMaxMagnitude));
}

// Every check but the two on n against the number of records, for either kind of rows; equal
// points only when `find_equal` (the array build finds them on its own, at no cost).
template <typename Rows>
void CheckRows(int32_t n, int32_t d, double s, const Rows &rows, bool find_equal) {
    if (d < 0) throw std::length_error("d must not be negative (got " + std::to_string(d) + ")");
    if (d == 0) Refuse("d must be at least 1 (got 0)");
    if (!std::isfinite(s)) Refuse("s must be finite (got " + Num(s) + ")");
    if (n == 0) return;

    std::vector<double> lo, hi;
    for (int32_t i = 0; i < n; ++i) {
        const size_t length = rows.length(i);
        if (length < size_t(d))
            Refuse("point at position " + std::to_string(i) + " has " + std::to_string(length) +
                   " coordinates, fewer than d = " + std::to_string(d));
        const double *c = rows.row(i);
        // Sized only once a point is known to hold d coordinates: a huge d costs nothing before
        // it is refused.
        if (i == 0) {
            lo.assign(size_t(d), 0.0);
            hi.assign(size_t(d), 0.0);
        }
        for (int32_t k = 0; k < d; ++k) {
            const double x = c[k];
            CheckCoordinate(i, k, x);
            if (i == 0 || x < lo[size_t(k)]) lo[size_t(k)] = x;
            if (i == 0 || x > hi[size_t(k)]) hi[size_t(k)] = x;
        }
    }
    check_spread(d, lo.data(), hi.data());
    if (find_equal) RefuseDuplicates(n, d, rows);
}

// CheckRows for an array of points when they pass, on `workers` threads: slices of rows are
// checked at once by check_point_rows, each keeping its own least and greatest values; only
// when one refuses does the serial check run, to name the first bad position in row order.
// Equal points pass.
void CheckArrayRows(int32_t n, int32_t d, double s, const double *xs, int32_t workers) {
    const int32_t threads = n >= (1 << 15) && d > 0 ? UsableThreads(workers) : 1;
    const array_rows rows{xs, d > 0 ? size_t(d) : 0};
    if (threads <= 1 || !std::isfinite(s)) return CheckRows(n, d, s, rows, false);
    const size_t D = size_t(d), slices = size_t(threads) * 4;
    const size_t stride = (D + 7) / 8 * 8;  // each slice's bounds on cache lines of their own
    checked_vector<double> lo(slices * stride), hi(slices * stride);
    checked_vector<uint8_t> bad(slices, 0);
    auto slice = [n, slices](size_t c) { return int64_t(size_t(n) * c / slices); };
    QUORL_OMP(parallel for num_threads(threads) schedule(dynamic, 1))
    for (int64_t c = 0; c < int64_t(slices); ++c) {
        const int64_t first = slice(size_t(c)), last = slice(size_t(c) + 1);
        try {
            check_point_rows(last - first, d, xs + size_t(first) * D, first,
                             &lo[size_t(c) * stride], &hi[size_t(c) * stride]);
        } catch (...) {  // the serial check says what, and where
            bad[size_t(c)] = 1;
        }
    }
    for (size_t c = 0; c < slices; ++c)
        if (bad[c]) return CheckRows(n, d, s, rows, false);
    // Only hi - lo is used, so the order in which the slices are combined does not matter.
    for (size_t c = 1; c < slices; ++c) {
        if (slice(c) == slice(c + 1)) continue;
        for (size_t k = 0; k < D; ++k) {
            lo[k] = std::min(lo[k], lo[c * stride + k]);
            hi[k] = std::max(hi[k], hi[c * stride + k]);
        }
    }
    check_spread(d, lo.data(), hi.data());
}

}  // namespace

void check_quorl_args(int32_t n, int32_t d, double s, const std::vector<point> &points) {
    CheckCount(n, points.size());
    CheckRows(n, d, s, point_rows{points}, true);
}

void check_quorl_array(int32_t n, int32_t d, double s, const double *xs) {
    CheckCount(n, SIZE_MAX);
    CheckRows(n, d, s, array_rows{xs, d > 0 ? size_t(d) : 0}, true);
}

void check_points_array(int32_t n, int32_t d, const double *xs, int32_t workers) {
    CheckCount(n, SIZE_MAX);
    CheckArrayRows(n, d, 0.0, xs, workers);
}

void check_point_rows(int64_t n, int32_t d, const double *xs, int64_t first, double *lo,
                      double *hi) {
    for (int64_t i = 0; i < n; ++i)
        for (int32_t k = 0; k < d; ++k) {
            const double x = xs[size_t(i) * size_t(d) + size_t(k)];
            CheckCoordinate(first + i, k, x);
            if (i == 0 || x < lo[k]) lo[k] = x;
            if (i == 0 || x > hi[k]) hi[k] = x;
        }
}

void check_spread(int32_t d, const double *lo, const double *hi) {
    double sum = 0.0;
    for (int32_t k = 0; k < d; ++k) {
        const double w = hi[k] - lo[k];
        sum = sum + w * w;
    }
    if (!std::isfinite(sum))
        Refuse("the points spread too far: the sum over the " + std::to_string(d) +
               " dimensions of the squared extent (max - min) overflows");
}

void check_query_array(int32_t n, int32_t d, const double *xs, int32_t m, const double *qs) {
    if (n < 1 || d < 1) return;
    const size_t dd = size_t(d);
    std::vector<double> lo(xs, xs + dd), hi(xs, xs + dd);
    for (size_t i = 1; i < size_t(n); ++i)
        for (size_t k = 0; k < dd; ++k) {
            lo[k] = std::min(lo[k], xs[i * dd + k]);
            hi[k] = std::max(hi[k], xs[i * dd + k]);
        }
    for (int32_t j = 0; j < m; ++j) {
        const double *q = qs + size_t(j) * dd;
        double sum = 0.0;
        for (size_t k = 0; k < dd; ++k) {
            const double x = q[k];
            if (!std::isfinite(x))
                Refuse("query row " + std::to_string(j) + ": coordinate " + std::to_string(k) +
                       " is " + Num(x) + "; coordinates must be finite");
            if (std::fabs(x) > kMaxMagnitude)
                Refuse("query row " + std::to_string(j) + ": coordinate " + std::to_string(k) +
                       " = " + Num(x) +
                       " is too large; the magnitude of a coordinate must be at most " +
                       Num(kMaxMagnitude));
            // Each squared length from q to a point is at most this sum, rounded alike.
            const double w = std::max(hi[k], x) - std::min(lo[k], x);
            sum = sum + w * w;
        }
        if (!std::isfinite(sum))
            Refuse("query row " + std::to_string(j) +
                   " lies too far from the points: the sum over the " + std::to_string(d) +
                   " dimensions of the squared extent of the points and the query overflows");
    }
}

pair_list run_quorl(int32_t n, int32_t d, double s, std::vector<point> &points) {
    PrepareExceptionStorage();
    check_quorl_args(n, d, s, points);
    pair_list result;
    if (n == 0) return result;

    for (size_t i = 0; i < points.size(); ++i) points[i].index = int32_t(i);

    // Null bases, so that a failed sort can release the lists already made.
    mylist *lists = NewListSet(d);
    try {
        for (int32_t k = 0; k < d; ++k) {
            SortPoints(points.data(), n, k, &lists[k]);
            lists[k].base = lists[k].head;
        }
    } catch (...) {
        FreeListSet(lists, d);
        throw;
    }
    struct tree_deleter {
        void operator()(tree_node *root) const { FreeTree(root); }
    };
    const std::unique_ptr<tree_node, tree_deleter> root(BuildTree(lists, n, d));
    FindWSP(root.get(), s, d, result);
    return result;
}

namespace {

const uint64_t kGatherBytes = 16;
const int32_t kThreadsFrom = 1024;

// The limit on the pairs that `options` and the memory available at the start of the call set,
// once the tree holds what it holds, and what it is, for the refusal.
size_t PairLimit(const decompose_options &options, const memory_headroom &headroom,
                 const flat_tree &tree, std::string &why) {
    uint64_t limit = UINT64_MAX;
    if (options.max_pairs >= 0) {
        limit = uint64_t(options.max_pairs);
        why = "max_pairs = " + std::to_string(options.max_pairs);
    }
    if (options.memory_guard && headroom.bytes != UINT64_MAX) {
        const uint64_t held = tree.order.capacity() * sizeof(int32_t) +
                              (tree.start.capacity() + tree.size.capacity()) * sizeof(int32_t) +
                              tree.box.capacity() * sizeof(double);
        const uint64_t room = headroom.bytes > held ? headroom.bytes - held : 0;
        // 8 bytes a pair, and as much again while they are gathered: a growing block may be
        // copied (old and new held at once), and the threads' blocks are joined into one.
        if (room / kGatherBytes < limit) {
            limit = room / kGatherBytes;
            why = "at 16 bytes a pair while they are gathered, more than the " + ByteFigure(room) +
                  " left of the " + ByteFigure(headroom.bytes) +
                  " available when the call began (" + headroom.source + ") once the tree took " +
                  ByteFigure(held);
        }
    }
    return limit > SIZE_MAX ? SIZE_MAX : size_t(limit);
}

// The decomposition of rows that have passed every check but the one for equal points, which the
// tree build makes on its way: when it finds no cut, the rows are searched for the first equal
// pair in position order, so that the refusal reads as check_quorl_args words it.
template <typename Rows>
compact_pairs DecomposeRows(int32_t n, int32_t d, double s, const double *xs, const Rows &rows,
                            const decompose_options &options, const memory_headroom &headroom) {
    // Below a thousand points starting threads costs more than the whole search.
    const int32_t workers = n >= kThreadsFrom ? options.workers : 1;
    compact_pairs result;
    try {
        const progress_span stage("tree", 0.0, 0.3);
        result.tree = BuildFlatTree(xs, n, d, 8.0, workers);
    } catch (const no_cut_error &) {
        RefuseDuplicates(n, d, rows);
        throw;
    }
    if (n == 0) return result;
    std::string why;
    const size_t limit = PairLimit(options, headroom, result.tree, why);
    result.pairs.set_limit(limit);
    try {
        const progress_span stage("pairs", 0.3, 1.0);
        FindFlatPairs(result.tree, s, workers, result.pairs);
    } catch (const pair_limit_reached &stop) {
        throw pair_limit_error(stop.found, limit, why);
    }
    return result;
}

// The memory available when a call begins, unless nothing is to be guarded.
memory_headroom Headroom(const decompose_options &options) {
    return options.memory_guard ? AvailableMemory() : memory_headroom{UINT64_MAX, ""};
}

}  // namespace

compact_pairs run_quorl_compact(int32_t n, int32_t d, double s, const std::vector<point> &points,
                                const decompose_options &options) {
    PrepareExceptionStorage();
    const memory_headroom headroom = Headroom(options);
    CheckCount(n, points.size());
    const point_rows rows{points};
    CheckRows(n, d, s, rows, false);
    checked_vector<double> xs(size_t(n) * size_t(d));
    for (size_t i = 0; i < size_t(n); ++i)
        for (size_t k = 0; k < size_t(d); ++k) xs[i * size_t(d) + k] = points[i].coords[k];
    return DecomposeRows(n, d, s, xs.data(), rows, options, headroom);
}

compact_pairs decompose_array(int32_t n, int32_t d, double s, const double *xs,
                              const decompose_options &options) {
    PrepareExceptionStorage();
    const memory_headroom headroom = Headroom(options);
    CheckCount(n, SIZE_MAX);
    const array_rows rows{xs, d > 0 ? size_t(d) : 0};
    CheckArrayRows(n, d, s, xs, n >= kThreadsFrom ? options.workers : 1);
    StageMark("checks");
    return DecomposeRows(n, d, s, xs, rows, options, headroom);
}
