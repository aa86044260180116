#include "tree/bucket.h"

#include <algorithm>
#include <utility>

#include "common/memory.h"
#include "common/parallel.h"
#include "common/stages.h"
#include "tree/equal.h"

// The tree is built over the distinct points only: equal points admit no cut.
void BuildBucketTree(const double *xs, int32_t n, int32_t d, int32_t bucket, bucket_tree &t,
                     ordered_points &p, int32_t workers) {
    const size_t dd = size_t(d);
    flat_tree tree;
    checked_vector<int32_t> members, first_member;  // equal points grouped by their first
    bool groups = false;
    try {
        tree = BuildFlatTree(xs, n, d, 8.0, workers, false);
    } catch (const no_cut_error &) {
        groups = true;
    }
    if (groups) {
        checked_vector<int32_t> first(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i) first[size_t(i)] = i;
        ForEachEqualPoint(
            n, d, [xs, dd](int32_t i) { return xs + size_t(i) * dd; },
            [&first](int32_t j, int32_t i) { first[size_t(i)] = j; });
        // Members of each group in input order, first one first (a counting sort by group).
        first_member.assign(size_t(n) + 1, 0);
        for (int32_t i = 0; i < n; ++i) ++first_member[size_t(first[size_t(i)]) + 1];
        for (size_t i = 0; i < size_t(n); ++i) first_member[i + 1] += first_member[i];
        members.resize(size_t(n));
        {
            checked_vector<int32_t> fill(first_member.begin(), first_member.end() - 1);
            for (int32_t i = 0; i < n; ++i) members[size_t(fill[size_t(first[size_t(i)])]++)] = i;
        }
        checked_vector<double> distinct;
        checked_vector<int32_t> distinct_id;
        for (int32_t i = 0; i < n; ++i)
            if (first[size_t(i)] == i) distinct_id.push_back(i);
        distinct.resize(distinct_id.size() * dd);
        for (size_t k = 0; k < distinct_id.size(); ++k)
            std::copy(xs + size_t(distinct_id[k]) * dd, xs + size_t(distinct_id[k] + 1) * dd,
                      &distinct[k * dd]);
        tree = BuildFlatTree(distinct.data(), int32_t(distinct_id.size()), d, 8.0, workers, false);
        // From here on the tree's order names input positions, as without equal points.
        for (int32_t &k : tree.order) k = distinct_id[size_t(k)];
    }

    StageMark("buckets: groups");
    // slot_start[s]: the position of the first point under leaf slot s.
    const int32_t u = tree.n;
    checked_vector<int32_t> slot_start(size_t(u) + 1);
    p.xs.resize(size_t(n) * dd);
    p.id.resize(size_t(n));
    if (groups) p.group_end.resize(size_t(n));
    int32_t pos = 0;
    for (int32_t s = 0; s < u; ++s) {
        slot_start[size_t(s)] = pos;
        const int32_t rep = tree.order[size_t(s)];
        pos += groups ? first_member[size_t(rep) + 1] - first_member[size_t(rep)] : 1;
    }
    slot_start[size_t(u)] = pos;
    // Each slot fills its own rows, and nothing below throws.
    const int32_t threads = n >= 4096 ? UsableThreads(workers) : 1;
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int32_t s = 0; s < u; ++s) {
        const int32_t rep = tree.order[size_t(s)];
        const int32_t lo = groups ? first_member[size_t(rep)] : 0;
        const int32_t hi = groups ? first_member[size_t(rep) + 1] : 1;
        for (int32_t m = lo, at = slot_start[size_t(s)]; m < hi; ++m, ++at) {
            const int32_t i = groups ? members[size_t(m)] : rep;
            std::copy(xs + size_t(i) * dd, xs + size_t(i + 1) * dd, &p.xs[size_t(at) * dd]);
            p.id[size_t(at)] = i;
            if (groups) p.group_end[size_t(at)] = at + (hi - m);
        }
    }

    StageMark("buckets: leaf order");
    // The kept nodes are closed under ancestors, so in increasing flat id they are in pre-order.
    checked_vector<int32_t> kept;
    for (int32_t f = 0; f < tree.nodes();) {
        kept.push_back(f);
        f += tree.size[size_t(f)] <= bucket ? 2 * tree.size[size_t(f)] - 1 : 1;
    }
    t.d = d;
    t.nodes = int32_t(kept.size());
    t.start.resize(kept.size());
    t.count.resize(kept.size());
    t.right.resize(kept.size());
    t.parent.resize(kept.size());
    t.parent[0] = -1;
    t.box.resize(kept.size() * 2 * dd);
    // In pre-order a right child comes right after its sibling's subtree: the internal nodes
    // waiting for theirs form a stack, whose top is the one met next.
    checked_vector<std::pair<int32_t, int32_t>> waiting;  // (flat id of the right child, parent)
    for (size_t i = 0; i < kept.size(); ++i) {
        const int32_t f = kept[i], first = tree.start[size_t(f)];
        t.start[i] = slot_start[size_t(first)];
        t.count[i] = slot_start[size_t(first + tree.size[size_t(f)])] - t.start[i];
        t.right[i] = -1;
        if (!waiting.empty() && waiting.back().first == f) {
            t.right[size_t(waiting.back().second)] = int32_t(i);
            t.parent[i] = waiting.back().second;
            waiting.pop_back();
        }
        if (tree.size[size_t(f)] > bucket) {
            waiting.push_back({f + 2 * tree.size[size_t(f) + 1], int32_t(i)});
            t.parent[i + 1] = int32_t(i);
        }
    }
    StageMark("buckets: nodes");
    // The buckets' boxes from their points, on the threads; then those of the other nodes, whose
    // children follow them: one backward pass sees the children first.
    const int32_t nodes = t.nodes;
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int32_t i = 0; i < nodes; ++i) {
        if (t.right[size_t(i)] >= 0) continue;
        double *lo = t.lo(i), *hi = lo + dd;
        const double *x = &p.xs[size_t(t.start[size_t(i)]) * dd];
        std::copy(x, x + dd, lo);
        std::copy(x, x + dd, hi);
        for (int32_t r = 1; r < t.count[size_t(i)]; ++r)
            for (size_t k = 0; k < dd; ++k) {
                lo[k] = std::min(lo[k], x[size_t(r) * dd + k]);
                hi[k] = std::max(hi[k], x[size_t(r) * dd + k]);
            }
    }
    for (int32_t i = t.nodes - 1; i >= 0; --i) {
        double *lo = t.lo(i), *hi = lo + dd;
        if (t.right[size_t(i)] >= 0) {
            const double *a = t.lo(i + 1), *b = t.lo(t.right[size_t(i)]);
            for (size_t k = 0; k < dd; ++k) {
                lo[k] = std::min(a[k], b[k]);
                hi[k] = std::max(a[dd + k], b[dd + k]);
            }
        }
    }
    StageMark("buckets: boxes");
}

