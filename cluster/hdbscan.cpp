#include "cluster/hdbscan.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <new>
#include <queue>
#include <stdexcept>
#include <utility>

#include "common/interrupt.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();

}  // namespace

void PrimOrder(int32_t n, const double *core, const int64_t *mst, const double *mst_w,
               const int32_t *ties, size_t t, size_t cored, const double *tie_w,
               const int32_t *twin, const int32_t *order, int64_t *ends, double *w) {
    if (n < 2) return;
    const size_t count = static_cast<size_t>(n), m = count - 1;
    if (t > size_t(INT32_MAX)) throw std::bad_alloc();
    // The search runs over vertices numbered as `order` lists the points, where the points near
    // one another, and so the ones each step looks at, lie close together in memory; ties
    // between equal weights still go by input position.
    checked_vector<double> vcore;
    checked_vector<int32_t> rank, mv(2 * m);
    if (order) {
        vcore.resize(count);
        rank.resize(count);
        for (size_t v = 0; v < count; ++v) {
            vcore[v] = core[order[v]];
            rank[size_t(order[v])] = int32_t(v);
        }
        core = vcore.data();
        for (size_t k = 0; k < 2 * m; ++k) mv[k] = rank[size_t(mst[k])];
    } else {
        for (size_t k = 0; k < 2 * m; ++k) mv[k] = int32_t(mst[k]);
    }
    auto id = [order](int32_t v) { return order ? order[v] : v; };
    // The graph of both edge lists, as adjacency lists of one int32 an entry: ~e for edge e of
    // the tree, k >= 0 for tie k (the other end and weight are read from the lists).
    checked_vector<int64_t> first(count + 1, 0);
    ThrowIfStopped();  // here and below: Ctrl-C in the passes before the search too
    for (size_t k = 0; k < 2 * m; ++k) {
        ThrowIfStoppedAt(k);
        ++first[size_t(mv[k]) + 1];
    }
    for (size_t k = 0; k < 2 * t; ++k) ++first[size_t(ties[k]) + 1];
    for (size_t i = 0; i < count; ++i) first[i + 1] += first[i];
    checked_vector<int32_t> next(static_cast<size_t>(first[count]));
    {
        checked_vector<int64_t> fill(first.begin(), first.end() - 1);
        for (size_t e = 0; e < m; ++e) {
            ThrowIfStoppedAt(e);
            next[size_t(fill[size_t(mv[2 * e])]++)] = ~int32_t(e);
            next[size_t(fill[size_t(mv[2 * e + 1])]++)] = ~int32_t(e);
        }
        for (size_t k = 0; k < 2 * t; ++k) next[size_t(fill[size_t(ties[k])]++)] = int32_t(k / 2);
    }
    // reach[u] is -inf once u is in the tree, so that no edge improves on it.
    checked_vector<double> reach(count, kInf);
    checked_vector<int32_t> source(count, -1);
    // Runs of equal points: the first of a run to join offers what every point of the run
    // offers (each weighs alike to every other point), to every point of each run it reaches;
    // the others offer nothing new. done[v]: v's run has made its offers.
    checked_vector<uint8_t> done(twin ? count : 0, 0);
    // A min-heap of (reach, input position, vertex); entries that no longer match reach[vertex]
    // are stale.
    struct entry {
        double reach;
        int32_t id, v;
    };
    struct later {
        bool operator()(const entry &a, const entry &b) const {
            return a.reach > b.reach || (a.reach == b.reach && a.id > b.id);
        }
    };
    checked_vector<entry> store;
    store.reserve(count);
    std::priority_queue<entry, checked_vector<entry>, later> heap(later(), std::move(store));
    int32_t v = order ? rank[0] : 0;
    reach[size_t(v)] = -kInf;
    auto offer = [&](int32_t u, double r) {
        if (!(r < reach[size_t(u)])) return;
        reach[size_t(u)] = r;
        source[size_t(u)] = v;
        heap.push({r, id(u), u});
    };
    // Every edge at x, each to the points of the other end's run (or to the other end alone).
    auto offer_edges = [&](int32_t x) {
        for (int64_t a = first[size_t(x)]; a < first[size_t(x) + 1]; ++a) {
            const int32_t k = next[size_t(a)];
            int32_t u;
            double r;
            if (k < 0) {
                const size_t e = size_t(~k);
                u = mv[2 * e] + mv[2 * e + 1] - x;
                r = mst_w[e];
            } else {
                u = ties[2 * size_t(k)] + ties[2 * size_t(k) + 1] - x;
                r = size_t(k) < cored ? std::max(core[x], core[u]) : tie_w[size_t(k) - cored];
            }
            if (!twin) {
                offer(u, r);
                continue;
            }
            // A run that has made its offers reached these at its core, no more than r.
            if (done[size_t(u)]) continue;
            int32_t y = u;
            do {
                offer(y, r);
                y = twin[y];
            } while (y != u);
        }
    };
    for (size_t step = 0; step < m; ++step) {
        ThrowIfStoppedAt(step);
        if (!twin) {
            offer_edges(v);
        } else if (!done[size_t(v)]) {
            done[size_t(v)] = 1;
            for (int32_t x = twin[v]; x != v; x = twin[x]) {
                done[size_t(x)] = 1;
                offer(x, core[v]);
            }
            int32_t x = v;
            do {
                offer_edges(x);
                x = twin[x];
            } while (x != v);
        }
        for (;;) {
            if (heap.empty()) throw std::invalid_argument("the edges do not span the points");
            const entry top = heap.top();
            heap.pop();
            if (top.reach == reach[size_t(top.v)]) {
                v = top.v;
                break;
            }
        }
        ends[2 * step] = id(source[size_t(v)]);
        ends[2 * step + 1] = id(v);
        w[step] = reach[size_t(v)];
        reach[size_t(v)] = -kInf;
    }
}

condensed_tree CondenseTree(const double *z, int64_t n, int64_t min_cluster_size) {
    const size_t kAhead = 8;
    condensed_tree out;
    if (n < 2) {
        out.clusters = n > 0 ? 1 : 0;
        return out;
    }
    const size_t count = static_cast<size_t>(n);
    auto size_of = [&](int64_t node) { return node < n ? int64_t(1) : int64_t(z[4 * (node - n) + 3]); };
    auto left_of = [&](int64_t node) { return int64_t(z[4 * (node - n)]); };
    auto right_of = [&](int64_t node) { return int64_t(z[4 * (node - n) + 1]); };
    out.parent.reserve(count);
    out.child.reserve(count);
    out.child_size.reserve(count);
    out.lambda.reserve(count);
    auto emit = [&](int64_t parent, int64_t child, double lambda, int64_t size) {
        out.parent.push_back(parent);
        out.child.push_back(child);
        out.lambda.push_back(lambda);
        out.child_size.push_back(size);
    };
    // The cluster each hierarchy node above the points belongs to.
    checked_vector<int64_t> label(count - 1);
    checked_vector<int64_t> queue, fall;
    queue.reserve(count);
    const int64_t root = 2 * n - 2;
    label[size_t(root - n)] = n;
    int64_t next_label = n + 1;
    queue.push_back(root);
    // Every point of the subtree under `node`, in breadth-first order, leaves `parent`.
    auto fall_out = [&](int64_t node, int64_t parent, double lambda) {
        fall.clear();
        fall.push_back(node);
        for (size_t h = 0; h < fall.size(); ++h) {
            // The rows ahead are at random places in z: fetch them while this one is read.
            if (h + kAhead < fall.size() && fall[h + kAhead] >= n)
                __builtin_prefetch(&z[4 * (fall[h + kAhead] - n)]);
            const int64_t u = fall[h];
            if (u < n) {
                emit(parent, u, lambda, 1);
            } else {
                fall.push_back(left_of(u));
                fall.push_back(right_of(u));
            }
        }
    };
    for (size_t head = 0; head < queue.size(); ++head) {
        ThrowIfStoppedAt(head);
        if (head + kAhead < queue.size() && queue[head + kAhead] >= n)
            __builtin_prefetch(&z[4 * (queue[head + kAhead] - n)]);
        // Nearer, the rows of its children too, which give their sizes.
        if (head + kAhead / 2 < queue.size() && queue[head + kAhead / 2] >= n)
            for (const int64_t c :
                 {left_of(queue[head + kAhead / 2]), right_of(queue[head + kAhead / 2])})
                if (c >= n) __builtin_prefetch(&z[4 * (c - n)]);
        const int64_t node = queue[head];
        if (node < n) continue;
        const double height = z[4 * (node - n) + 2];
        const double lambda = height > 0.0 ? 1.0 / height : kInf;
        const int64_t l = left_of(node), r = right_of(node), me = label[size_t(node - n)];
        const int64_t nl = size_of(l), nr = size_of(r);
        const bool big_l = nl >= min_cluster_size, big_r = nr >= min_cluster_size;
        if (big_l && big_r) {
            for (int64_t c : {l, r}) {
                if (c >= n) label[size_t(c - n)] = next_label;
                emit(me, next_label++, lambda, size_of(c));
                queue.push_back(c);
            }
        } else if (!big_l && !big_r) {
            fall_out(l, me, lambda);
            fall_out(r, me, lambda);
        } else {
            const int64_t keep = big_l ? l : r, drop = big_l ? r : l;
            if (keep >= n) label[size_t(keep - n)] = me;
            fall_out(drop, me, lambda);
            queue.push_back(keep);
        }
    }
    out.clusters = next_label - n;
    return out;
}

cluster_selection SelectClusters(const condensed_tree &tree, int64_t n, selection_method method,
                                 bool allow_single_cluster, double epsilon,
                                 int64_t max_cluster_size) {
    cluster_selection out;
    const size_t count = static_cast<size_t>(n), rows = tree.rows();
    out.labels.assign(count, -1);
    out.probabilities.assign(count, 0.0);
    const size_t nc = static_cast<size_t>(tree.clusters);
    if (rows == 0 || nc == 0) return out;
    // Per cluster (id - n): its parent, birth lambda, size, its two children in the cluster tree.
    checked_vector<int64_t> up(nc, -1), size(nc, 0), kid0(nc, -1), kid1(nc, -1);
    checked_vector<double> birth(nc, 0.0), stability(nc, 0.0), death(nc, 0.0);
    for (size_t e = 0; e < rows; ++e) {
        ThrowIfStoppedAt(e);
        if (tree.child[e] < n) continue;
        const size_t c = size_t(tree.child[e] - n), p = size_t(tree.parent[e] - n);
        up[c] = int64_t(p);
        birth[c] = tree.lambda[e];
        size[c] = tree.child_size[e];
        (kid0[p] < 0 ? kid0[p] : kid1[p]) = int64_t(c);
    }
    double max_lambda = 0.0;
    for (size_t e = 0; e < rows; ++e) {
        ThrowIfStoppedAt(e);
        const size_t p = size_t(tree.parent[e] - n);
        stability[p] += (tree.lambda[e] - birth[p]) * double(tree.child_size[e]);
        death[p] = std::max(death[p], tree.lambda[e]);
        max_lambda = std::max(max_lambda, tree.lambda[e]);
    }
    out.stability.assign(stability.begin(), stability.end());
    // The root's size as a candidate: what its cluster children hold.
    size[0] = (kid0[0] >= 0 ? size[size_t(kid0[0])] : 0) + (kid1[0] >= 0 ? size[size_t(kid1[0])] : 0);
    const int64_t limit = max_cluster_size < 0 ? n + 1 : max_cluster_size;
    checked_vector<uint8_t> chosen(nc, 0);
    if (method == kExcessOfMass) {
        // Children have larger ids than their parent: a backward pass goes bottom up, and a
        // node kept at its turn is selected unless an ancestor is kept later.
        checked_vector<uint8_t> kept(nc, 0);
        const size_t last = allow_single_cluster ? 0 : 1;
        for (size_t c = nc; c-- > last;) {
            double below = 0.0;
            if (kid0[c] >= 0) below += stability[size_t(kid0[c])];
            if (kid1[c] >= 0) below += stability[size_t(kid1[c])];
            if (below > stability[c] || size[c] > limit) {
                stability[c] = below;
            } else {
                kept[c] = 1;
            }
        }
        // Parents come before children: one forward pass finds the kept with no kept ancestor.
        checked_vector<uint8_t> covered(nc, 0);
        for (size_t c = 0; c < nc; ++c) {
            const bool above = up[c] >= 0 && (covered[size_t(up[c])] != 0);
            chosen[c] = kept[c] && !above;
            covered[c] = above || kept[c];
        }
    } else {
        for (size_t c = 1; c < nc; ++c) chosen[c] = kid0[c] < 0;
    }
    // Under excess of mass a lone root stays as it is; the leaves climb whenever there are any.
    const bool climb = method == kLeaf || (kid0[0] >= 0 && !chosen[0]);
    if (epsilon > 0.0 && climb) {
        // Each selected cluster born below epsilon climbs to its first ancestor born above it,
        // stopping below the root unless the root may be selected; what lies below a cluster
        // so reached is dropped.
        checked_vector<uint8_t> picked(nc, 0), done(nc, 0);
        checked_vector<int64_t> stack;
        for (size_t c = 0; c < nc; ++c) {
            if (!chosen[c]) continue;
            if (!(1.0 / birth[c] < epsilon)) {
                picked[c] = 1;
                continue;
            }
            if (done[c]) continue;
            size_t e = c;
            for (;;) {
                const size_t p = size_t(up[e]);
                if (p == 0) {
                    if (allow_single_cluster) e = 0;
                    break;
                }
                e = p;
                if (1.0 / birth[p] > epsilon) break;
            }
            picked[e] = 1;
            stack.clear();
            for (int64_t k : {kid0[e], kid1[e]})
                if (k >= 0) stack.push_back(k);
            while (!stack.empty()) {
                const size_t u = size_t(stack.back());
                stack.pop_back();
                if (done[u]) continue;  // its whole subtree is marked already
                done[u] = 1;
                for (int64_t k : {kid0[u], kid1[u]})
                    if (k >= 0) stack.push_back(k);
            }
        }
        chosen.swap(picked);
    }
    checked_vector<int64_t> rank(nc, -1);
    for (size_t c = 0; c < nc; ++c)
        if (chosen[c]) {
            rank[c] = int64_t(out.clusters.size());
            out.clusters.push_back(int64_t(c) + n);
        }
    // Each cluster's nearest selected ancestor or itself (-1: none), parents first.
    checked_vector<int64_t> top(nc, -1);
    for (size_t c = 0; c < nc; ++c)
        top[c] = chosen[c] ? int64_t(c) : up[c] >= 0 ? top[size_t(up[c])] : -1;
    // Points under a selected root belong to it only from the threshold on.
    double root_threshold = 0.0;
    if (chosen[0]) {
        if (epsilon != 0.0) {
            root_threshold = 1.0 / epsilon;
        } else {
            root_threshold = death[0];
        }
    }
    checked_vector<int64_t> members(out.clusters.size(), 0);
    for (size_t e = 0; e < rows; ++e) {
        ThrowIfStoppedAt(e);
        const int64_t point = tree.child[e];
        if (point >= n) continue;
        const int64_t c = top[size_t(tree.parent[e] - n)];
        if (c < 0) continue;
        const double lambda = tree.lambda[e];
        if (c == 0 && !(out.clusters.size() == 1 && lambda >= root_threshold)) continue;
        out.labels[size_t(point)] = rank[size_t(c)];
        ++members[size_t(rank[size_t(c)])];
        const double m = death[size_t(c)];
        // An infinite lambda_max leaves every point that leaves earlier at probability 0.
        out.probabilities[size_t(point)] =
            m == 0.0 || std::isinf(lambda) ? 1.0 : std::min(lambda, m) / m;
    }
    out.persistence.resize(out.clusters.size());
    for (size_t k = 0; k < out.clusters.size(); ++k) {
        const size_t c = size_t(out.clusters[k] - n);
        out.persistence[k] = std::isinf(max_lambda) || max_lambda == 0.0 || members[k] == 0
                                 ? 1.0
                                 : stability[c] / (double(members[k]) * max_lambda);
    }
    return out;
}
