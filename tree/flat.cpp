#include "tree/flat.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "common/memory.h"
#include "common/parallel.h"
#include "common/stages.h"
#include "tree/split.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// One subtree still to build: the `count` points in slots [start, start + count) of buffer
// `parity`; its root gets id `node`.
struct build_task {
    int32_t node;
    int32_t start;
    int32_t count;
    int32_t parity;
};

// An unsigned key whose order is that of the (finite) doubles; -0.0 comes just before 0.0,
// which is one of the orders of equal values.
uint64_t OrderKey(double x) {
    uint64_t bits;
    memcpy(&bits, &x, sizeof bits);
    return bits >> 63 ? ~bits : bits | (uint64_t(1) << 63);
}

// The double of an OrderKey, bit for bit.
double FromOrderKey(uint64_t key) {
    const uint64_t bits = key >> 63 ? key & ~(uint64_t(1) << 63) : ~key;
    double x;
    memcpy(&x, &bits, sizeof x);
    return x;
}

// Sorts ids[0..n) by keys[0..n) (ties in any order) with the help of two scratch arrays of n.
// Large inputs take five passes of 13-bit digits (few enough buckets to stay in the caches),
// skipping a digit that all keys share.
void SortByKey(uint64_t *keys, int32_t *ids, uint64_t *keys2, int32_t *ids2, size_t n) {
    if (n < (size_t(1) << 12)) {
        checked_vector<std::pair<uint64_t, int32_t>> keyed(n);
        for (size_t i = 0; i < n; ++i) keyed[i] = {keys[i], ids[i]};
        std::sort(keyed.begin(), keyed.end());
        for (size_t i = 0; i < n; ++i) keys[i] = keyed[i].first, ids[i] = keyed[i].second;
        return;
    }
    const int kBits = 13, kPasses = 5;
    const size_t kBuckets = size_t(1) << kBits, kMask = kBuckets - 1;
    checked_vector<uint32_t> count(kPasses * kBuckets, 0);
    for (size_t i = 0; i < n; ++i)
        for (int p = 0; p < kPasses; ++p)
            ++count[size_t(p) * kBuckets + ((keys[i] >> (kBits * p)) & kMask)];
    uint64_t *k_in = keys, *k_out = keys2;
    int32_t *i_in = ids, *i_out = ids2;
    for (int p = 0; p < kPasses; ++p) {
        uint32_t *c = &count[size_t(p) * kBuckets];
        const int shift = kBits * p;
        if (c[(k_in[0] >> shift) & kMask] == n) continue;  // every key has this digit
        uint32_t sum = 0;
        for (size_t v = 0; v < kBuckets; ++v) {
            const uint32_t here = c[v];
            c[v] = sum;
            sum += here;
        }
        for (size_t i = 0; i < n; ++i) {
            const uint32_t to = c[(k_in[i] >> shift) & kMask]++;
            k_out[to] = k_in[i];
            i_out[to] = i_in[i];
        }
        std::swap(k_in, k_out);
        std::swap(i_in, i_out);
    }
    if (k_in != keys) {
        std::copy(k_in, k_in + n, keys);
        std::copy(i_in, i_in + n, ids);
    }
}

[[noreturn]] void NoCut() { throw no_cut_error("fair split found no cut: two points are equal"); }

// FindCenter and the first step of FindSplit for `node`, on the box whose bounds(k) = (lo, hi)
// in each dimension k: writes the node's center and radius, returns the lowest dimension of
// greatest width and that width in `widest`.
template <typename Bounds>
size_t WriteBox(flat_tree &t, size_t node, double &widest, Bounds bounds) {
    const bool boxes = !t.box.empty();
    double sum = 0.0;
    size_t dim = 0;
    widest = -1.0;
    for (size_t k = 0; k < size_t(t.d); ++k) {
        const std::pair<double, double> b = bounds(k);
        const double lo = b.first, hi = b.second;
        if (boxes) t.center(node)[k] = (hi + lo) * 0.5;
        const double half = (hi - lo) * 0.5;
        sum = sum + half * half;
        const double w = hi - lo;
        if (w > widest) {
            dim = k;
            widest = w;
        }
    }
    if (boxes) t.radius(node) = std::sqrt(sum);
    return dim;
}

// Builds the subtree rooted at node `root` over the n >= 1 points whose coordinate k is
// cols[k][0..n) and whose positions are pos[0..n); its leaves take places first_at, first_at + 1,
// ... of the leaf order. Every dimension is sorted once, and each task walks the sorted lists, so
// that a chain of cuts costs what the points cut off cost, however deep it runs.
void BuildFromSortedLists(flat_tree &t, const double *const *cols, const int32_t *pos, int32_t n,
                          int32_t root, int32_t first_at) {
    const size_t N = size_t(n), D = size_t(t.d);

    // The points move as the tree grows. A task's points occupy slots [start, start + count) of
    // its buffer, numbered in the order of coordinate 0, so that the list of dimension 0 is the
    // slots themselves; the list of each other dimension k holds the slot of each of its points.
    // Every list also carries the coordinates it is sorted by, so that the walks read memory in
    // order. A task distributes its points into the same range of the other buffer, each child's
    // points together: the deeper a task, the smaller the stretch of memory it touches.
    checked_vector<double> value(2 * D * N);           // buffer p, dimension k: (p D + k) N
    checked_vector<int32_t> slot_of(2 * (D - 1) * N);  // dimension k >= 1: (p (D-1) + k-1) N
    checked_vector<int32_t> position(2 * N);           // the caller's position of a slot's point
    // Where each slot's point goes when its task is split: the piece and the new slot, side by
    // side so that the lists of dimensions 1.. find both in one read.
    struct move {
        int32_t piece;
        int32_t to;
    };
    checked_vector<move> moved(N);
    {
        checked_vector<uint64_t> keys(N), keys2(N);
        checked_vector<int32_t> ids(N), ids2(N);
        for (size_t k = 0; k < D; ++k) {
            for (size_t i = 0; i < N; ++i) {
                keys[i] = OrderKey(cols[k][i]);
                ids[i] = int32_t(i);
            }
            SortByKey(keys.data(), ids.data(), keys2.data(), ids2.data(), N);
            for (size_t e = 0; e < N; ++e) {
                const size_t i = size_t(ids[e]);
                value[k * N + e] = FromOrderKey(keys[e]);
                if (k == 0) {
                    position[e] = pos[i];
                    moved[i].to = int32_t(e);  // the slot of the point in dimension 0's order
                } else {
                    slot_of[(k - 1) * N + e] = moved[i].to;
                }
            }
        }
    }

    // A slot's point is cut off from the set of the task being built when its mark is at least
    // that task's first label; labels only grow, so no mark ever needs resetting. The lists are
    // never compacted while a task runs: cut-off entries are stepped over, each at most once from
    // either end, which is what unlinking from linked lists costs.
    checked_vector<int32_t> mark(N, -1);
    int32_t next_label = 0;
    checked_vector<int32_t> lo_at(D), hi_at(D);  // the live window of each list
    checked_vector<const double *> vals(D);
    checked_vector<const int32_t *> slots(D);
    checked_vector<int32_t> pieces;            // sizes of the current task's cuts, in order
    checked_vector<int32_t> first_slot, slot;  // where each piece begins, and its fill cursor
    checked_vector<build_task> stack(1, build_task{root, 0, n, 0});

    while (!stack.empty()) {
        ThrowIfStopped();
        const build_task task = stack.back();
        stack.pop_back();
        const size_t from = size_t(task.parity), to = 1 - from, s0 = size_t(task.start);
        for (size_t k = 0; k < D; ++k) {
            vals[k] = value.data() + (from * D + k) * N + s0;
            slots[k] = k == 0 ? nullptr : slot_of.data() + (from * (D - 1) + k - 1) * N + s0;
        }
        // The slot of entry e of list k.
        auto slot_at = [&slots, &task](size_t k, int32_t e) {
            return k == 0 ? task.start + e : slots[k][e];
        };
        // The leaf `node` at place `at` of the leaf order, for the point in `point_slot`, which is
        // entry 0 or 1 of each list of the task.
        auto leaf = [&](size_t node, size_t at, int32_t point_slot) {
            t.order[size_t(first_at) + at] = position[from * N + size_t(point_slot)];
            t.start[node] = first_at + int32_t(at);
            t.size[node] = 1;
            if (t.box.empty()) return;
            for (size_t k = 0; k < D; ++k)
                t.center(node)[k] = vals[k][slot_at(k, 0) == point_slot ? 0 : 1];
            t.radius(node) = 0.0;
        };
        if (task.count == 1) {
            leaf(size_t(task.node), s0, task.start);
            continue;
        }
        if (task.count == 2) {
            // Two points make the most common subtree: the one cut below always takes one point
            // (the lower one in the cut dimension when the higher lies beyond the cut value),
            // so the lists need not be distributed.
            const size_t node = size_t(task.node);
            t.start[node] = first_at + task.start;
            t.size[node] = 2;
            double widest;
            const size_t dim = WriteBox(t, node, widest, [&vals](size_t k) {
                return std::make_pair(vals[k][0], vals[k][1]);
            });
            if (!(widest > 0)) NoCut();
            const double cut = widest * 0.5 + vals[dim][0];
            const int32_t cut_off = slot_at(dim, vals[dim][1] > cut ? 0 : 1);
            const int32_t kept = cut_off == task.start ? task.start + 1 : task.start;
            // The left child keeps the other point, the right one is the point cut off.
            leaf(node + 1, s0, kept);
            leaf(node + 2, s0 + 1, cut_off);
            continue;
        }

        const int32_t base = next_label;
        // Whether the point of a slot is still in the set.
        auto live = [&mark, base](int32_t i) { return mark[size_t(i)] < base; };
        for (size_t k = 0; k < D; ++k) {
            lo_at[k] = 0;
            hi_at[k] = task.count - 1;
        }
        const int32_t h = task.count / 2;
        int32_t m = task.count;
        size_t node = size_t(task.node);  // the chain node; each next one is the left child
        pieces.clear();
        for (;;) {
            t.start[node] = first_at + task.start;
            t.size[node] = m;
            double widest;
            const size_t dim = WriteBox(t, node, widest, [&](size_t k) {
                while (!live(slot_at(k, lo_at[k]))) ++lo_at[k];
                while (!live(slot_at(k, hi_at[k]))) --hi_at[k];
                return std::make_pair(vals[k][lo_at[k]], vals[k][hi_at[k]]);
            });

            const double *v = vals[dim];
            const double cut = widest * 0.5 + v[lo_at[dim]];
            int32_t ia = lo_at[dim], ib = hi_at[dim], count = 0;
            HALF side;
            for (;;) {
                if (v[ia] > cut) {
                    side = LOW;
                    break;
                }
                if (cut > v[ib]) {
                    side = HIGH;
                    break;
                }
                // Distinct points always leave a point beyond the cut before the walk gets here.
                if (++count == m) NoCut();
                do ++ia;
                while (!live(slot_at(dim, ia)));
                do --ib;
                while (!live(slot_at(dim, ib)));
            }
            if (count == 0) NoCut();

            const int32_t label = base + int32_t(pieces.size());
            if (side == LOW) {
                int32_t j = lo_at[dim];
                for (int32_t c = 0; c < count; ++c, ++j) {
                    while (!live(slot_at(dim, j))) ++j;
                    mark[size_t(slot_at(dim, j))] = label;
                }
                lo_at[dim] = j;
            } else {
                int32_t j = hi_at[dim];
                for (int32_t c = 0; c < count; ++c, --j) {
                    while (!live(slot_at(dim, j))) --j;
                    mark[size_t(slot_at(dim, j))] = label;
                }
                hi_at[dim] = j;
            }
            pieces.push_back(count);
            m -= count;
            if (m <= h) break;
            ++node;
        }
        const int32_t P = int32_t(pieces.size());
        next_label += P;

        // Left subtrees come first in the leaf order: the remainder, then piece P down to piece
        // 1, and in pre-order the remainder's root follows the last chain node.
        first_slot.resize(size_t(P) + 1);
        first_slot[0] = task.start;
        int32_t offset = task.start + m, child = task.node + P + 2 * m - 1;
        stack.push_back({task.node + P, task.start, m, int32_t(to)});
        for (int32_t i = P - 1; i >= 0; --i) {
            first_slot[size_t(i) + 1] = offset;
            stack.push_back({child, offset, pieces[size_t(i)], int32_t(to)});
            offset += pieces[size_t(i)];
            child += 2 * pieces[size_t(i)] - 1;
        }
        // Dimension 0 first: its order numbers the new slots, so each child's slots again follow
        // coordinate 0.
        slot.assign(first_slot.begin(), first_slot.end());
        {
            double *out = value.data() + to * D * N;
            for (int32_t e = 0; e < task.count; ++e) {
                const int32_t i = task.start + e;
                const int32_t lab = mark[size_t(i)];
                const int32_t piece = lab >= base ? lab - base + 1 : 0;
                const int32_t j = slot[size_t(piece)]++;
                moved[size_t(i)] = {piece, j};
                out[j] = vals[0][e];
                position[to * N + size_t(j)] = position[from * N + size_t(i)];
            }
        }
        for (size_t k = 1; k < D; ++k) {
            double *out = value.data() + (to * D + k) * N;
            int32_t *out_slot = slot_of.data() + (to * (D - 1) + k - 1) * N;
            slot.assign(first_slot.begin(), first_slot.end());
            for (int32_t e = 0; e < task.count; ++e) {
                const move mv = moved[size_t(slots[k][e])];
                const int32_t j = slot[size_t(mv.piece)]++;
                out[j] = vals[k][e];
                out_slot[j] = mv.to;
            }
        }
    }
}

// The least and the greatest of v[0..m), m >= 1 (either of -0.0 and 0.0 where they tie). The
// passes over a task's points are most of the build, so they take two lanes at a time where the
// processor has them; min and max of doubles agree with the scalar comparisons below, NaNs aside.
void MinMax(const double *v, size_t m, double &lo, double &hi) {
    size_t i = 0;
    double l = v[0], u = v[0];
#ifdef __SSE2__
    if (m >= 8) {
        __m128d l0 = _mm_loadu_pd(v), l1 = _mm_loadu_pd(v + 2), u0 = l0, u1 = l1;
        for (i = 4; i + 4 <= m; i += 4) {
            const __m128d a = _mm_loadu_pd(v + i), b = _mm_loadu_pd(v + i + 2);
            l0 = _mm_min_pd(a, l0);
            l1 = _mm_min_pd(b, l1);
            u0 = _mm_max_pd(a, u0);
            u1 = _mm_max_pd(b, u1);
        }
        double ls[4], us[4];
        _mm_storeu_pd(ls, l0);
        _mm_storeu_pd(ls + 2, l1);
        _mm_storeu_pd(us, u0);
        _mm_storeu_pd(us + 2, u1);
        for (size_t j = 0; j < 4; ++j) {
            l = ls[j] < l ? ls[j] : l;
            u = us[j] > u ? us[j] : u;
        }
    }
#endif
    for (; i < m; ++i) {
        l = v[i] < l ? v[i] : l;
        u = v[i] > u ? v[i] : u;
    }
    lo = l;
    hi = u;
}

// How many of v[0..m) are at most `cut`, and how many at least.
void CountAround(const double *v, size_t m, double cut, size_t &at_most, size_t &at_least) {
    size_t i = 0, above = 0, below = 0;
#ifdef __SSE2__
    if (m >= 4) {
        // A true comparison is all ones, -1 in each 64-bit lane.
        const __m128d c = _mm_set1_pd(cut);
        __m128i a = _mm_setzero_si128(), b = _mm_setzero_si128();
        for (; i + 2 <= m; i += 2) {
            const __m128d x = _mm_loadu_pd(v + i);
            a = _mm_sub_epi64(a, _mm_castpd_si128(_mm_cmpgt_pd(x, c)));
            b = _mm_sub_epi64(b, _mm_castpd_si128(_mm_cmplt_pd(x, c)));
        }
        uint64_t as[2], bs[2];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(as), a);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(bs), b);
        above = size_t(as[0] + as[1]);
        below = size_t(bs[0] + bs[1]);
    }
#endif
    for (; i < m; ++i) {
        above += v[i] > cut;
        below += v[i] < cut;
    }
    at_most = m - above;
    at_least = m - below;
}

// The build over plain arrays, for D = t.d dimensions (DD = D fixed at compile time, or 0).
// A task's points sit in slots [start, start + count) of one of two buffers, coordinates by
// dimension; each cut of its chain moves the points still in the set to the front of the same
// range of the other buffer and the piece cut off behind them, which is where the leaf order puts
// them; a piece of at most a sixteenth, common in the chains of heavy-tailed points, is swapped to
// the back in place instead. Still, every cut reads the whole set, so a chain that keeps cutting
// off little, as exponentially spaced points make it, would cost the square of its length: once a
// chain has passed over sort_after times the task's points, the rest of its subtree is built from
// sorted lists, whose chains cost only what they cut off.
template <int DD>
void BuildByPartition(flat_tree &t, const double *xs, double sort_after, int32_t workers) {
    const size_t N = size_t(t.n), D = DD > 0 ? size_t(DD) : size_t(t.d);
    // Coordinate k of slot i of buffer p is coord[(p D + k) N + i]; its position, pos[p N + i].
    checked_vector<double> coord(2 * D * N);
    checked_vector<int32_t> pos(2 * N);
    workers = t.n >= 4096 ? UsableThreads(workers) : 1;
    QUORL_OMP(parallel for num_threads(workers) schedule(static) if (workers > 1))
    for (int64_t ii = 0; ii < int64_t(N); ++ii) {
        const size_t i = size_t(ii);
        for (size_t k = 0; k < D; ++k) coord[k * N + i] = xs[i * D + k];
        pos[i] = int32_t(i);
    }
    StageMark("tree: copy");
    auto col = [&](size_t p, size_t k) { return coord.data() + (p * D + k) * N; };
    auto from_lists = [&](size_t p, int32_t node, int32_t start, int32_t count) {
        checked_vector<const double *> cols(D);
        for (size_t k = 0; k < D; ++k) cols[k] = col(p, k) + start;
        BuildFromSortedLists(t, cols.data(), pos.data() + p * N + size_t(start), count, node,
                             start);
    };
    if (!(sort_after > 0)) {
        from_lists(0, 0, 0, t.n);
        return;
    }

    // The leaf `node` at place `at` of the leaf order, for the point in slot i of buffer p.
    auto leaf = [&](size_t node, size_t at, size_t p, size_t i) {
        t.order[at] = pos[p * N + i];
        t.start[node] = int32_t(at);
        t.size[node] = 1;
        if (t.box.empty()) return;
        for (size_t k = 0; k < D; ++k) t.center(node)[k] = col(p, k)[i];
        t.radius(node) = 0.0;
    };
    struct piece {
        int32_t count;
        int32_t parity;
    };
    // Slices of a task's points for the passes that run on the threads, and what each slice
    // counted: at most and at least the cut.
    const size_t slices = size_t(workers) * 4;
    checked_vector<size_t> below(slices + 1), above(slices + 1);
    checked_vector<double> slice_lo(slices), slice_hi(slices);
    auto slice_of = [slices](size_t M, size_t c) { return M * c / slices; };
    // The least and greatest of v[0..M), on the threads when `wide`.
    auto min_max = [&](const double *v, size_t M, bool wide, double &l, double &u) {
        if (!wide) return MinMax(v, M, l, u);
        QUORL_OMP(parallel for num_threads(workers) schedule(static, 1))
        for (int64_t c = 0; c < int64_t(slices); ++c) {
            const size_t a = slice_of(M, size_t(c)), b = slice_of(M, size_t(c) + 1);
            if (a < b) MinMax(v + a, b - a, slice_lo[size_t(c)], slice_hi[size_t(c)]);
        }
        // Which of -0.0 and 0.0 comes out where they tie is left open, as in MinMax: the box
        // is the same either way.
        bool first = true;
        for (size_t c = 0; c < slices; ++c) {
            if (slice_of(M, c) == slice_of(M, c + 1)) continue;
            l = first || slice_lo[c] < l ? slice_lo[c] : l;
            u = first || slice_hi[c] > u ? slice_hi[c] : u;
            first = false;
        }
    };
    // Expands one task: a leaf, a pair, or a chain of cuts whose pieces and remainder go onto
    // `stack` as tasks. Tasks write disjoint parts of the tree and of the buffers, so they can be
    // built in any order, on any thread. With `wide`, the passes over the points run on the
    // threads (for the few large tasks at the top): the split is then always a stable copy into
    // the other buffer, which places the points differently but builds the same tree.
    checked_vector<piece> top_pieces;
    checked_vector<double> top_lo(D), top_hi(D);
    auto expand = [&](const build_task &task, checked_vector<build_task> &stack,
                      checked_vector<piece> &pieces, checked_vector<double> &lo,
                      checked_vector<double> &hi, bool wide) {
        size_t p = size_t(task.parity);
        const size_t s0 = size_t(task.start);
        if (task.count == 1) {
            leaf(size_t(task.node), s0, p, s0);
            return;
        }
        if (task.count == 2) {
            // As in the list build: the lower point in the cut dimension is cut off when the
            // higher lies beyond the cut, else the higher one; it becomes the right child.
            const size_t node = size_t(task.node);
            t.start[node] = task.start;
            t.size[node] = 2;
            double widest;
            const size_t dim = WriteBox(t, node, widest, [&](size_t k) {
                // Equal values give the same center in either order, -0.0 and 0.0 included.
                const double a = col(p, k)[s0], b = col(p, k)[s0 + 1];
                return a < b ? std::make_pair(a, b) : std::make_pair(b, a);
            });
            if (!(widest > 0)) NoCut();
            const double a = col(p, dim)[s0], b = col(p, dim)[s0 + 1];
            const bool a_lower = a < b;
            const double cut = widest * 0.5 + (a_lower ? a : b);
            const bool a_cut_off = (a_lower ? b : a) > cut ? a_lower : !a_lower;
            leaf(node + 1, s0, p, a_cut_off ? s0 + 1 : s0);
            leaf(node + 2, s0 + 1, p, a_cut_off ? s0 : s0 + 1);
            return;
        }

        const int32_t h = task.count / 2;
        int32_t m = task.count;
        int32_t node = task.node;  // the chain node; each next one is the left child
        const double budget = sort_after * double(task.count);
        double work = 0;
        bool sorted = false;
        pieces.clear();
        for (;;) {
            if (work > budget) {
                from_lists(p, node, task.start, m);
                sorted = true;
                break;
            }
            const size_t M = size_t(m);
            work += double(M);
            t.start[size_t(node)] = task.start;
            t.size[size_t(node)] = m;
            for (size_t k = 0; k < D; ++k) {
                const double *v = col(p, k) + s0;
                double l, u;
                min_max(v, M, wide, l, u);
                if (l == 0 && u == 0) {
                    // Only zeros: the sorted lists would have -0.0 at the low end if there is
                    // one, and 0.0 at the high end if there is one, and that decides the sign
                    // of the center.
                    bool negative = false, positive = false;
                    for (size_t i = 0; i < M; ++i)
                        (std::signbit(v[i]) ? negative : positive) = true;
                    l = negative ? -0.0 : 0.0;
                    u = positive ? 0.0 : -0.0;
                }
                lo[k] = l;
                hi[k] = u;
            }
            double widest;
            const size_t dim = WriteBox(t, size_t(node), widest,
                                        [&](size_t k) { return std::make_pair(lo[k], hi[k]); });
            const double cut = widest * 0.5 + lo[dim];
            const double *v = col(p, dim) + s0;
            size_t at_most = 0, at_least = 0;
            if (wide) {
                QUORL_OMP(parallel for num_threads(workers) schedule(static, 1))
                for (int64_t c = 0; c < int64_t(slices); ++c) {
                    const size_t a = slice_of(M, size_t(c)), b = slice_of(M, size_t(c) + 1);
                    CountAround(v + a, b - a, cut, below[size_t(c) + 1], above[size_t(c) + 1]);
                }
                below[0] = above[0] = 0;
                for (size_t c = 0; c < slices; ++c) {
                    below[c + 1] += below[c];
                    above[c + 1] += above[c];
                }
                at_most = below[slices];
                at_least = above[slices];
            } else {
                CountAround(v, M, cut, at_most, at_least);
            }
            // The side with fewer points is cut off, LOW on a tie; points at the cut count on
            // both sides. Equal points leave one side empty or both full.
            const bool low = at_most <= at_least;
            const size_t count = low ? at_most : at_least;
            if (count == 0 || count == M) NoCut();

            const size_t q = 1 - p;
            double *src = col(p, 0) + s0;
            int32_t *src_pos = pos.data() + p * N + s0;
            // A small piece is swapped to the back in place, which reads the cut dimension and
            // moves only the piece; otherwise every point is copied to its side in the other
            // buffer.
            const bool in_place = count <= M / 16 && !wide;
            auto split = [&](auto in_piece) {
                if (in_place) {
                    const size_t back = M - count;
                    for (size_t i = 0, j = back;; ++i, ++j) {
                        while (i < back && !in_piece(v[i])) ++i;
                        if (i == back) break;
                        while (in_piece(v[j])) ++j;
                        for (size_t k = 0; k < D; ++k) std::swap(src[k * N + i], src[k * N + j]);
                        std::swap(src_pos[i], src_pos[j]);
                    }
                    return;
                }
                double *dst = col(q, 0);
                int32_t *dst_pos = pos.data() + q * N;
                // Points a..b-1 to their sides, the kept from `kept` on and the cut-off
                // from `cut_off` on, each side in its order.
                const auto copy = [&](size_t a, size_t b, size_t kept, size_t cut_off) {
                    for (size_t i = a; i < b; ++i) {
                        // Arithmetic, not a branch: which side a point goes to is a coin
                        // toss.
                        const size_t off = in_piece(v[i]);
                        const size_t j = kept + ((cut_off - kept) & (0 - off));
                        cut_off += off;
                        kept += 1 - off;
                        for (size_t k = 0; k < D; ++k) dst[k * N + j] = src[k * N + i];
                        dst_pos[j] = src_pos[i];
                    }
                };
                if (!wide) return copy(0, M, s0, s0 + M - count);
                // Each slice to its own places, as the serial copy places them.
                const size_t *in = low ? below.data() : above.data();
                QUORL_OMP(parallel for num_threads(workers) schedule(static, 1))
                for (int64_t c = 0; c < int64_t(slices); ++c) {
                    const size_t a = slice_of(M, size_t(c)), b = slice_of(M, size_t(c) + 1);
                    copy(a, b, s0 + a - in[size_t(c)], s0 + M - count + in[size_t(c)]);
                }
            };
            if (low)
                split([cut](double x) { return !(x > cut); });
            else
                split([cut](double x) { return !(cut > x); });
            if (!in_place) p = q;
            pieces.push_back({int32_t(count), int32_t(p)});
            m -= int32_t(count);
            if (m <= h) break;
            ++node;
        }

        // Left subtrees come first in the leaf order: the remainder, then the last piece down
        // to the first; in pre-order the remainder's root follows the last chain node.
        const int32_t P = int32_t(pieces.size());
        if (!sorted) stack.push_back({task.node + P, task.start, m, int32_t(p)});
        int32_t offset = task.start + m, child = task.node + P + 2 * m - 1;
        for (int32_t i = P - 1; i >= 0; --i) {
            const piece &c = pieces[size_t(i)];
            stack.push_back({child, offset, c.count, c.parity});
            offset += c.count;
            child += 2 * c.count - 1;
        }
    };

    // Builds the subtree of `first`, task by task, on the calling thread; with `handed`, every
    // task of at most `grain` points is handed over instead.
    auto build = [&](const build_task &first, checked_vector<build_task> *handed, int32_t grain) {
        checked_vector<piece> pieces;
        checked_vector<double> lo(D), hi(D);
        checked_vector<build_task> stack(1, first);
        while (!stack.empty()) {
            ThrowIfStopped();
            const build_task task = stack.back();
            stack.pop_back();
            if (handed != nullptr && task.count <= grain)
                handed->push_back(task);
            else
                expand(task, stack, pieces, lo, hi, false);
        }
    };
    const build_task root{0, 0, t.n, 0};
    if (workers <= 1) {
        build(root, nullptr, 0);
        StageMark("tree: build");
        return;
    }
    // The top of the tree level by level, each task's passes over its points on the threads,
    // until there are a few large tasks a thread: those are split further each on a thread of
    // its own, down to tasks of at most `grain` points, a few dozen a thread, or so small that
    // starting the threads for one costs more than its passes; then those tasks, on the threads.
    const int32_t grain = std::max<int32_t>(1024, t.n / (16 * workers));
    const size_t wide_from = size_t(1) << 15;
    checked_vector<build_task> handed, front(1, root), next;
    while (!front.empty()) {
        size_t large = 0;
        for (const build_task &task : front) large += task.count > grain;
        if (large >= 4 * size_t(workers)) {
            checked_vector<checked_vector<build_task>> parts(front.size());
            task_errors errors(front.size());
            QUORL_OMP(parallel for num_threads(workers) schedule(dynamic, 1))
            for (int64_t i = 0; i < int64_t(front.size()); ++i) {
                PrepareExceptionStorage();
                errors.Run(size_t(i), [&] { build(front[size_t(i)], &parts[size_t(i)], grain); });
            }
            errors.Rethrow();
            for (const checked_vector<build_task> &part : parts)
                handed.insert(handed.end(), part.begin(), part.end());
            break;
        }
        next.clear();
        for (const build_task &task : front) {
            if (task.count <= grain || size_t(task.count) < wide_from) {
                handed.push_back(task);
                continue;
            }
            expand(task, next, top_pieces, top_lo, top_hi, true);
        }
        front.swap(next);
    }
    StageMark("tree: top");
    task_errors errors(handed.size());
    QUORL_OMP(parallel for num_threads(workers) schedule(dynamic, 1))
    for (int64_t i = 0; i < int64_t(handed.size()); ++i) {
        PrepareExceptionStorage();
        errors.Run(size_t(i), [&] { build(handed[size_t(i)], nullptr, 0); });
    }
    errors.Rethrow();
    StageMark("tree: subtrees");
}

}  // namespace

flat_tree BuildFlatTree(const double *xs, int32_t n, int32_t d, double sort_after, int32_t workers,
                        bool boxes) {
    flat_tree t;
    t.n = n;
    t.d = d;
    if (n <= 0) return t;
    const size_t N = size_t(n), D = size_t(d), nodes = 2 * N - 1;
    t.order.resize(N);
    t.start.resize(nodes);
    t.size.resize(nodes);
    if (boxes) t.box.resize(nodes * (D + 1));
    switch (d) {
        case 1:
            BuildByPartition<1>(t, xs, sort_after, workers);
            break;
        case 2:
            BuildByPartition<2>(t, xs, sort_after, workers);
            break;
        case 3:
            BuildByPartition<3>(t, xs, sort_after, workers);
            break;
        case 4:
            BuildByPartition<4>(t, xs, sort_after, workers);
            break;
        default:
            BuildByPartition<0>(t, xs, sort_after, workers);
    }
    return t;
}
