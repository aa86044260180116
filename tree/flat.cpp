#include "tree/flat.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "tree/split.h"

namespace {

// One subtree still to build: the `count` points in slots [start, start + count) of buffer
// `parity`; its root gets id `node`.
struct build_task {
    int32_t node;
    int32_t start;
    int32_t count;
    int32_t parity;
};

// Sorts the positions 0..n-1 by coordinate k into out[0..n-1], for every k. Equal coordinates
// may end in any order: the tree does not depend on it.
void SortPerDimension(const double *xs, size_t n, size_t d, int32_t *out) {
    checked_vector<std::pair<double, int32_t>> keyed(n);
    for (size_t k = 0; k < d; ++k) {
        for (size_t i = 0; i < n; ++i) keyed[i] = {xs[i * d + k], int32_t(i)};
        std::sort(keyed.begin(), keyed.end(),
                  [](const std::pair<double, int32_t> &a, const std::pair<double, int32_t> &b) {
                      return a.first < b.first;
                  });
        for (size_t i = 0; i < n; ++i) out[k * n + i] = keyed[i].second;
    }
}

}  // namespace

flat_tree BuildFlatTree(const double *xs, int32_t n, int32_t d) {
    flat_tree t;
    t.n = n;
    t.d = d;
    if (n <= 0) return t;
    const size_t N = size_t(n), D = size_t(d), nodes = 2 * N - 1;
    t.order.resize(N);
    t.start.resize(nodes);
    t.size.resize(nodes);
    t.center.resize(nodes * D);
    t.radius.resize(nodes);

    // The points are moved as the tree grows: a task's points occupy slots [start, start +
    // count) of the coordinate and position arrays of its buffer, and its d sorted arrays hold
    // slot numbers of that same range. A task distributes its points into the same range of the
    // other buffer, each child's points together, so that the deeper a task, the smaller the
    // stretch of memory it touches.
    checked_vector<double> coords(2 * N * D);
    checked_vector<int32_t> position(2 * N);  // the caller's position of the point in a slot
    checked_vector<int32_t> sorted(2 * D * N);
    std::copy(xs, xs + N * D, coords.begin());
    for (size_t i = 0; i < N; ++i) position[i] = int32_t(i);
    SortPerDimension(xs, N, D, sorted.data());

    // A slot's point is cut off from the set of the task being built when its mark is at least
    // that task's first label; labels only grow, so no mark ever needs resetting. The sorted
    // arrays are never compacted while a task runs: cut-off slots are stepped over, each at most
    // once from either end, which is what unlinking from the lists costs.
    checked_vector<int32_t> mark(N, -1);
    checked_vector<int32_t> moved_to(N);  // the slot in the other buffer
    int32_t next_label = 0;
    checked_vector<int32_t> lo_at(D), hi_at(D);  // the live window of each dimension
    checked_vector<int32_t> pieces;              // sizes of the current task's cuts, in order
    checked_vector<int32_t> first_slot, slot;    // where each piece begins, and its fill cursor
    checked_vector<build_task> stack(1, build_task{0, 0, n, 0});

    while (!stack.empty()) {
        const build_task task = stack.back();
        stack.pop_back();
        const size_t from = size_t(task.parity), to = 1 - from;
        const double *x = coords.data() + from * N * D;
        const int32_t *src = sorted.data() + from * D * N + size_t(task.start);
        if (task.count == 1) {
            const size_t i = size_t(task.start), node = size_t(task.node);
            t.order[i] = position[from * N + i];
            t.start[node] = task.start;
            t.size[node] = 1;
            for (size_t k = 0; k < D; ++k) t.center[node * D + k] = x[i * D + k];
            t.radius[node] = 0.0;
            continue;
        }

        const int32_t base = next_label;
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
            t.start[node] = task.start;
            t.size[node] = m;
            double sum = 0.0;
            double widest = -1.0;
            size_t dim = 0;
            for (size_t k = 0; k < D; ++k) {
                const int32_t *a = src + k * N;
                while (!live(a[lo_at[k]])) ++lo_at[k];
                while (!live(a[hi_at[k]])) --hi_at[k];
                const double lo = x[size_t(a[lo_at[k]]) * D + k];
                const double hi = x[size_t(a[hi_at[k]]) * D + k];
                t.center[node * D + k] = (hi + lo) * 0.5;
                const double half = (hi - lo) * 0.5;
                sum = sum + half * half;
                const double w = hi - lo;
                if (w > widest) {
                    dim = k;
                    widest = w;
                }
            }
            t.radius[node] = std::sqrt(sum);

            const int32_t *a = src + dim * N;
            const double cut = widest * 0.5 + x[size_t(a[lo_at[dim]]) * D + dim];
            int32_t ia = lo_at[dim], ib = hi_at[dim], count = 0;
            HALF side;
            for (;;) {
                if (x[size_t(a[ia]) * D + dim] > cut) {
                    side = LOW;
                    break;
                }
                if (cut > x[size_t(a[ib]) * D + dim]) {
                    side = HIGH;
                    break;
                }
                // Distinct points always leave a point beyond the cut before the walk gets here.
                if (++count == m) throw std::logic_error("fair split found no cut");
                do ++ia;
                while (!live(a[ia]));
                do --ib;
                while (!live(a[ib]));
            }

            const int32_t label = base + int32_t(pieces.size());
            if (side == LOW) {
                int32_t j = lo_at[dim];
                for (int32_t c = 0; c < count; ++c, ++j) {
                    while (!live(a[j])) ++j;
                    mark[size_t(a[j])] = label;
                }
                lo_at[dim] = j;
            } else {
                int32_t j = hi_at[dim];
                for (int32_t c = 0; c < count; ++c, --j) {
                    while (!live(a[j])) --j;
                    mark[size_t(a[j])] = label;
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
        auto piece_of = [&mark, base](int32_t i) {
            const int32_t lab = mark[size_t(i)];
            return lab >= base ? size_t(lab - base) + 1 : 0;
        };
        // The points move in slot order, which keeps each piece's points in the order they had.
        slot.assign(first_slot.begin(), first_slot.end());
        const int32_t end = task.start + task.count;
        double *y = coords.data() + to * N * D;
        for (int32_t i = task.start; i < end; ++i) {
            const int32_t j = slot[piece_of(i)]++;
            moved_to[size_t(i)] = j;
            position[to * N + size_t(j)] = position[from * N + size_t(i)];
            for (size_t k = 0; k < D; ++k) y[size_t(j) * D + k] = x[size_t(i) * D + k];
        }
        int32_t *dst = sorted.data() + to * D * N;
        for (size_t k = 0; k < D; ++k) {
            const int32_t *in = src + k * N;
            int32_t *out = dst + k * N;
            slot.assign(first_slot.begin(), first_slot.end());
            for (int32_t j = 0; j < task.count; ++j) {
                const int32_t i = in[j];
                out[slot[piece_of(i)]++] = moved_to[size_t(i)];
            }
        }
    }
    return t;
}
