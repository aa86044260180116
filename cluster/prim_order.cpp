#include <algorithm>
#include <exception>
#include <functional>
#include <limits>
#include <stdexcept>
#include <utility>

#include "cluster/hdbscan.h"
#include "common/interrupt.h"
#include "common/memory.h"
#include "common/parallel.h"
#include "common/stages.h"
#include "mst/union_find.h"

// Prim's order without the heap. Call a strict node a component of the edges lighter than some
// weight H joined with others by edges of weight exactly H: the single-linkage tree with the
// merges of equal height taken together. Prim enters such a node once and finishes it before it
// leaves (every way out weighs more than H, and while the node is unfinished an edge of weight
// at most H leads on), and so it finishes each of the node's children, the components of the
// lighter edges, before it enters the next. The children are entered at reach H, the smallest
// point first among those that the node's edges lead to from the children already visited. So
// Prim's order is a walk of the tree of strict nodes in which each node orders its children by a
// small Prim of its own, and a point's position is a sum of sizes; the source of a child's first
// point is the earliest point before it among the node's edges to it. Only the tree's edges and
// the listed ties are looked at, as PrimOrder does. A tie (q, u) weighs core_q, below which q
// has no edge at all: it counts at q's own strict parent, where q is a child alone.

namespace {

const int32_t kNone = std::numeric_limits<int32_t>::max();

// Children and nodes are named by one int32: a merge node k >= 0, or ~v for the leaf of vertex v.
inline bool IsLeaf(int32_t ref) { return ref < 0; }

// Sets x to v when better(v, x), whatever other threads write to x meanwhile.
template <typename Better>
inline void AtomicImprove(int32_t *x, int32_t v, Better better) {
    int32_t old = __atomic_load_n(x, __ATOMIC_RELAXED);
    while (better(v, old) &&
           !__atomic_compare_exchange_n(x, &old, v, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}
inline void AtomicMin(int32_t *x, int32_t v) { AtomicImprove(x, v, std::less<int32_t>()); }
inline void AtomicMax(int32_t *x, int32_t v) { AtomicImprove(x, v, std::greater<int32_t>()); }

[[noreturn]] void NotSpanning() { throw std::invalid_argument("the edges do not span the points"); }

// Items grouped by a key 0..keys-1: those of key k are items[first[k] .. first[k + 1]), in an
// order left to the threads. each(f) calls f(key, item) for every item (on the threads, if it
// likes), once to count and once to place them.
template <typename Item, typename Each>
void GroupByKey(int32_t keys, const Each &each, checked_vector<int32_t> &first,
                checked_vector<Item> &items) {
    first.assign(size_t(keys) + 1, 0);
    each([&](int32_t key, const Item &) {
        __atomic_fetch_add(&first[size_t(key) + 1], 1, __ATOMIC_RELAXED);
    });
    for (int32_t k = 0; k < keys; ++k) first[size_t(k) + 1] += first[size_t(k)];
    items.resize(size_t(first[size_t(keys)]));
    checked_vector<int32_t> fill(first.begin(), first.end() - 1);
    each([&](int32_t key, const Item &item) {
        items[size_t(__atomic_fetch_add(&fill[size_t(key)], 1, __ATOMIC_RELAXED))] = item;
    });
}

// Subtrees of at least this many points are worth a task of their own.
const int32_t kSpawn = 4096;

// Calls visit(k, scratch) for every strict merge node k below and at `root`, each after its
// strict parent, on `threads` threads: a task walks on down the largest child of each node
// itself and hands every other child of at least kSpawn points to a task of its own, so that
// tasks nest no deeper than the sizes can halve. each_kid(k, f) calls f(child) for the merge
// nodes among k's strict children; visit writes only what belongs to k's children; `Scratch` is
// what one task's visits share. The first exception met ends the walk and is rethrown.
template <typename Scratch, typename EachKid, typename Visit>
void WalkDown(int32_t root, int32_t threads, const checked_vector<int32_t> &size,
              const EachKid &each_kid, const Visit &visit) {
    std::exception_ptr failed;
    bool stop = false;
    struct walker {
        const checked_vector<int32_t> &size;
        const EachKid &each_kid;
        const Visit &visit;
        std::exception_ptr &failed;
        bool &stop;
        void operator()(int32_t start) const {
            try {
                Scratch scratch;
                checked_vector<int32_t> stack(1, start);
                while (!stack.empty() && !__atomic_load_n(&stop, __ATOMIC_RELAXED)) {
                    const int32_t k = stack.back();
                    stack.pop_back();
                    visit(k, scratch);
                    int32_t largest = -1;
                    each_kid(k, [&](int32_t c) {
                        if (largest < 0 || size[size_t(c)] > size[size_t(largest)]) largest = c;
                    });
                    each_kid(k, [&](int32_t c) {
                        if (c == largest || size[size_t(c)] < kSpawn) {
                            stack.push_back(c);
                            return;
                        }
                        const walker &self = *this;
                        QUORL_OMP(task firstprivate(c) shared(self))
                        self(c);
                    });
                }
            } catch (...) {
                QUORL_OMP(critical(quorl_walk_down))
                if (!failed) failed = std::current_exception();
                __atomic_store_n(&stop, true, __ATOMIC_RELAXED);
            }
        }
    };
    const walker walk{size, each_kid, visit, failed, stop};
    QUORL_OMP(parallel num_threads(threads) if (threads > 1)) {
        QUORL_OMP(single)
        walk(root);
    }
    if (failed) std::rethrow_exception(failed);
}

}  // namespace

void PrimOrderByTree(int32_t n, const double *core, const int64_t *mst, const double *mst_w,
                     const int32_t *ties, size_t t, const int32_t *order, int64_t *ends, double *w,
                     int32_t workers, prim_tree *keep) {
    if (n < 2) return;
    const int32_t threads = n >= (1 << 15) ? UsableThreads(workers) : 1;
    const int32_t M = n - 1;
    const int64_t T = int64_t(t);
    // Vertices numbered as `order` lists the points (or the input positions).
    checked_vector<int32_t> rank, mv(2 * size_t(M));
    checked_vector<double> vcore(static_cast<size_t>(n));
    if (order) {
        rank.resize(size_t(n));
        QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
        for (int32_t v = 0; v < n; ++v) {
            vcore[size_t(v)] = core[order[v]];
            rank[size_t(order[v])] = v;
        }
    } else {
        std::copy(core, core + n, vcore.begin());
    }
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int64_t k = 0; k < 2 * int64_t(M); ++k)
        mv[size_t(k)] = order ? rank[size_t(mst[k])] : int32_t(mst[k]);
    auto id = [order](int32_t v) { return order ? order[v] : v; };
    auto vertex = [order, &rank](int32_t i) { return order ? rank[size_t(i)] : i; };
    StageMark("prim: renumber");
    ThrowIfStopped();

    // The single-linkage tree of the edges in their order, node k made by edge k: its children
    // c0 (holding the edge's first end) and c1, its size, its parent (up; up_leaf for leaves).
    checked_vector<int32_t> c0(static_cast<size_t>(M)), c1(static_cast<size_t>(M));
    checked_vector<int32_t> size(static_cast<size_t>(M)), up(static_cast<size_t>(M));
    checked_vector<int32_t> up_leaf(static_cast<size_t>(n));
    {
        checked_vector<int32_t> parent(static_cast<size_t>(n)), node_of(static_cast<size_t>(n));
        for (int32_t v = 0; v < n; ++v) parent[size_t(v)] = v, node_of[size_t(v)] = ~v;
        for (int32_t k = 0; k < M; ++k) {
            ThrowIfStoppedAt(size_t(k));  // Ctrl-C
            const int32_t a = FindRoot(parent, mv[2 * size_t(k)]);
            const int32_t b = FindRoot(parent, mv[2 * size_t(k) + 1]);
            if (a == b) NotSpanning();
            int32_t sz = 0;
            for (int32_t r : {node_of[size_t(a)], node_of[size_t(b)]}) {
                (IsLeaf(r) ? up_leaf[size_t(~r)] : up[size_t(r)]) = k;
                sz += IsLeaf(r) ? 1 : size[size_t(r)];
            }
            c0[size_t(k)] = node_of[size_t(a)];
            c1[size_t(k)] = node_of[size_t(b)];
            size[size_t(k)] = sz;
            parent[size_t(std::max(a, b))] = std::min(a, b);
            node_of[size_t(std::min(a, b))] = k;
        }
        up[size_t(M - 1)] = -1;
    }
    auto size_of = [&size](int32_t ref) { return IsLeaf(ref) ? 1 : size[size_t(ref)]; };
    // top[k]: the strict node merge node k belongs to (itself when its parent is higher); many
    // marks the strict nodes that took in others, which have more than two children.
    checked_vector<int32_t> top(static_cast<size_t>(M));
    checked_vector<uint8_t> many(static_cast<size_t>(M), 0);
    for (int32_t k = M - 1; k >= 0; --k) {
        ThrowIfStoppedAt(size_t(M - 1 - k));
        const int32_t p = up[size_t(k)];
        top[size_t(k)] = p >= 0 && mst_w[p] == mst_w[k] ? top[size_t(p)] : k;
        if (top[size_t(k)] != k) many[size_t(top[size_t(k)])] = 1;
    }
    // Each vertex's strict parent, and the list of children of every node of more than two.
    checked_vector<int32_t> leaf_up(static_cast<size_t>(n));
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int32_t v = 0; v < n; ++v) leaf_up[size_t(v)] = top[size_t(up_leaf[size_t(v)])];
    // The strict children of the nodes of many children: the leaves under them, and the strict
    // merge nodes right under them. In any order within a node: the leaf order below follows
    // it, and nothing else does.
    checked_vector<int32_t> first, kids;
    GroupByKey(
        M,
        [&](const auto &f) {
            QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
            for (int32_t v = 0; v < n; ++v)
                if (many[size_t(leaf_up[size_t(v)])]) f(leaf_up[size_t(v)], ~v);
            QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
            for (int32_t k = 0; k < M - 1; ++k) {
                const int32_t parent = top[size_t(up[size_t(k)])];
                if (top[size_t(k)] == k && many[size_t(parent)]) f(parent, k);
            }
        },
        first, kids);
    // A place for every leaf and strict node in one leaf order (each node's leaves together):
    // what tells which child holds a vertex.
    checked_vector<int32_t> lo(static_cast<size_t>(M)), lo_leaf(static_cast<size_t>(n));
    auto set_lo = [&](int32_t ref, int32_t at) {
        (IsLeaf(ref) ? lo_leaf[size_t(~ref)] : lo[size_t(ref)]) = at;
    };
    auto lo_of = [&](int32_t ref) { return IsLeaf(ref) ? lo_leaf[size_t(~ref)] : lo[size_t(ref)]; };
    // The merge nodes among a strict node's children.
    auto each_kid = [&](int32_t k, const auto &f) {
        if (!many[size_t(k)]) {
            if (!IsLeaf(c0[size_t(k)])) f(c0[size_t(k)]);
            if (!IsLeaf(c1[size_t(k)])) f(c1[size_t(k)]);
            return;
        }
        for (int32_t c = first[size_t(k)]; c < first[size_t(k) + 1]; ++c)
            if (!IsLeaf(kids[size_t(c)])) f(kids[size_t(c)]);
    };
    struct no_scratch {};
    lo[size_t(M - 1)] = 0;
    WalkDown<no_scratch>(M - 1, threads, size, each_kid, [&](int32_t k, no_scratch &) {
        int32_t at = lo[size_t(k)];
        if (!many[size_t(k)]) {
            set_lo(c0[size_t(k)], at);
            set_lo(c1[size_t(k)], at + size_of(c0[size_t(k)]));
            return;
        }
        for (int32_t c = first[size_t(k)]; c < first[size_t(k) + 1]; ++c) {
            set_lo(kids[size_t(c)], at);
            at += size_of(kids[size_t(c)]);
        }
    });
    auto holds = [&](int32_t ref, int32_t v) {
        return lo_leaf[size_t(v)] >= lo_of(ref) && lo_leaf[size_t(v)] < lo_of(ref) + size_of(ref);
    };
    // The child of a node of many children that holds v (children in leaf order).
    auto child_with = [&](int32_t k, int32_t v) {
        const int32_t *b = kids.data() + first[size_t(k)], *e = kids.data() + first[size_t(k) + 1];
        return *(std::upper_bound(b, e, lo_leaf[size_t(v)],
                                  [&](int32_t place, int32_t ref) { return place < lo_of(ref); }) -
                 1);
    };
    checked_vector<int32_t>().swap(up);  // the strict tree has what they told
    checked_vector<int32_t>().swap(up_leaf);
    StageMark("prim: strict tree");
    ThrowIfStopped();

    // Every edge that counts, with its strict node k, on the threads, slice by slice (g of
    // `slices`): tree(g, k, a, b) for the tree edges, run(g, k, q, u, count) for each run of ties
    // from one q (they come so), u[0..count) those whose weight is the height of q's strict
    // parent k.
    const size_t slices = size_t(threads) * 8;
    auto for_edges = [&](auto tree, auto run) {
        task_errors errors(slices);
        QUORL_OMP(parallel for num_threads(threads) schedule(dynamic, 1) if (threads > 1))
        for (int64_t g = 0; g < int64_t(slices); ++g) {
            errors.Run(size_t(g), [&] {
                const int64_t from = (M + T) * g / int64_t(slices);
                const int64_t to = (M + T) * (g + 1) / int64_t(slices);
                int64_t e = from;
                for (; e < to && e < M; ++e)
                    tree(size_t(g), top[size_t(e)], mv[2 * size_t(e)], mv[2 * size_t(e) + 1]);
                checked_vector<int32_t> us;
                while (e < to) {
                    const int32_t q = ties[2 * (e - M)];
                    const int32_t k = leaf_up[size_t(q)];
                    const double h = mst_w[k];
                    us.clear();
                    for (; e < to && ties[2 * (e - M)] == q; ++e) {
                        const int32_t u = ties[2 * (e - M) + 1];
                        if (std::max(vcore[size_t(q)], vcore[size_t(u)]) == h) us.push_back(u);
                    }
                    if (!us.empty()) run(size_t(g), k, q, us.data(), us.size());
                }
            });
        }
        errors.Rethrow();
    };
    // At a node of two children, where a child is entered when it is not the first: the least
    // input position among the ends in it of the node's edges (leaves need none). The edges at
    // nodes of many children are gathered for their own small Prims.
    checked_vector<int32_t> way_in(static_cast<size_t>(M));
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int32_t k = 0; k < M; ++k) way_in[size_t(k)] = kNone;
    struct crowded_edge {
        int32_t k, a, b;
    };
    checked_vector<checked_vector<crowded_edge>> parts(slices);
    for_edges(
        [&](size_t g, int32_t k, int32_t a, int32_t b) {
            if (many[size_t(k)]) {
                parts[g].push_back({k, a, b});
                return;
            }
            const int32_t r0 = c0[size_t(k)], r1 = c1[size_t(k)];
            const bool a_in_0 = holds(r0, a);
            const int32_t ra = a_in_0 ? r0 : r1, rb = a_in_0 ? r1 : r0;
            if (!IsLeaf(ra)) AtomicMin(&way_in[size_t(ra)], id(a));
            if (!IsLeaf(rb)) AtomicMin(&way_in[size_t(rb)], id(b));
        },
        [&](size_t g, int32_t k, int32_t q, const int32_t *u, size_t count) {
            if (many[size_t(k)]) {
                for (size_t i = 0; i < count; ++i) parts[g].push_back({k, q, u[i]});
                return;
            }
            // q is one child alone; every u lies in the other.
            const int32_t other = c0[size_t(k)] == ~q ? c1[size_t(k)] : c0[size_t(k)];
            if (IsLeaf(other)) return;
            int32_t least = kNone;
            for (size_t i = 0; i < count; ++i) least = std::min(least, id(u[i]));
            AtomicMin(&way_in[size_t(other)], least);
        });
    // Per node of many children, its edges both ways as (child left, child reached, point
    // reached), children by their index in the node's list, by the child left.
    struct opening {
        int32_t from, to, v;
    };
    // Each node's edges (in any order: each node's openings are sorted below), then both ways as
    // openings, at twice the edge's place.
    checked_vector<int32_t> edge_first;
    checked_vector<std::pair<int32_t, int32_t>> node_edges;
    GroupByKey(
        M,
        [&](const auto &f) {
            QUORL_OMP(parallel for num_threads(threads) schedule(dynamic, 1) if (threads > 1))
            for (int64_t g = 0; g < int64_t(slices); ++g)
                for (const crowded_edge &c : parts[size_t(g)]) f(c.k, std::make_pair(c.a, c.b));
        },
        edge_first, node_edges);
    checked_vector<checked_vector<crowded_edge>>().swap(parts);
    auto open_first = [&edge_first](int32_t k) { return 2 * size_t(edge_first[size_t(k)]); };
    checked_vector<opening> opens(2 * node_edges.size());
    QUORL_OMP(parallel for num_threads(threads) schedule(dynamic, 64) if (threads > 1))
    for (int32_t k = 0; k < M; ++k) {
        if (edge_first[size_t(k)] == edge_first[size_t(k) + 1]) continue;
        const int32_t *b = kids.data() + first[size_t(k)], *e = kids.data() + first[size_t(k) + 1];
        auto index_with = [&](int32_t v) {
            return int32_t(
                std::upper_bound(b, e, lo_leaf[size_t(v)],
                                 [&](int32_t place, int32_t ref) { return place < lo_of(ref); }) -
                b - 1);
        };
        opening *o = opens.data() + open_first(k), *x = o;
        for (int32_t i = edge_first[size_t(k)]; i < edge_first[size_t(k) + 1]; ++i) {
            const int32_t a = node_edges[size_t(i)].first, c = node_edges[size_t(i)].second;
            const int32_t in_a = index_with(a), in_c = index_with(c);
            *x++ = {in_a, in_c, c};
            *x++ = {in_c, in_a, a};
        }
        std::sort(o, x, [](const opening &p, const opening &q) {
            return p.from < q.from || (p.from == q.from && p.v < q.v);
        });
    }
    StageMark("prim: edges");
    ThrowIfStopped();

    // Top down: each strict node's children in the order Prim enters them, their first points
    // and their places in the order. entered_at[v]: the node at which v was entered as the first
    // point of a child that was not the first (-1: the start).
    checked_vector<int32_t> entry(static_cast<size_t>(M)), pos(static_cast<size_t>(M));
    checked_vector<int32_t> pos_leaf(static_cast<size_t>(n)), entered_at(static_cast<size_t>(n));
    checked_vector<int32_t> entered_child, first_child;
    if (keep) {
        entered_child.resize(size_t(n));
        first_child.resize(size_t(M));
    }
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int32_t v = 0; v < n; ++v) entered_at[size_t(v)] = -1;
    entry[size_t(M - 1)] = vertex(0);
    pos[size_t(M - 1)] = 0;
    auto place = [&](int32_t ref, int32_t e, int32_t at) {
        if (IsLeaf(ref)) {
            pos_leaf[size_t(~ref)] = at;
        } else {
            entry[size_t(ref)] = e;
            pos[size_t(ref)] = at;
        }
    };
    // The small Prim of a node of many children: (input position, vertex, child index).
    struct reached {
        int32_t i, v, child;
        bool operator>(const reached &o) const { return i > o.i; }
    };
    struct prim_scratch {
        checked_vector<reached> heap;
        checked_vector<uint8_t> seen;
    };
    WalkDown<prim_scratch>(M - 1, threads, size, each_kid, [&](int32_t k, prim_scratch &scratch) {
        const int32_t e = entry[size_t(k)], at = pos[size_t(k)];
        if (!many[size_t(k)]) {
            int32_t r0 = c0[size_t(k)], r1 = c1[size_t(k)];
            if (!holds(r0, e)) std::swap(r0, r1);
            const int32_t in = IsLeaf(r1)                    ? ~r1
                               : way_in[size_t(r1)] == kNone ? -1
                                                             : vertex(way_in[size_t(r1)]);
            if (in < 0) NotSpanning();
            entered_at[size_t(in)] = k;
            if (keep) entered_child[size_t(in)] = r1, first_child[size_t(k)] = r0;
            place(r0, e, at);
            place(r1, in, at + size_of(r0));
            return;
        }
        checked_vector<reached> &heap = scratch.heap;
        checked_vector<uint8_t> &seen = scratch.seen;
        const int32_t *list = kids.data() + first[size_t(k)];
        const int32_t count = first[size_t(k) + 1] - first[size_t(k)];
        const opening *o = opens.data() + open_first(k), *o_end = opens.data() + open_first(k + 1);
        seen.assign(size_t(count), 0);
        heap.clear();
        heap.push_back({id(e), e, int32_t(std::find(list, list + count, child_with(k, e)) - list)});
        int32_t place_at = at;
        while (!heap.empty()) {
            std::pop_heap(heap.begin(), heap.end(), std::greater<reached>());
            const reached r = heap.back();
            heap.pop_back();
            if (seen[size_t(r.child)]) continue;
            seen[size_t(r.child)] = 1;
            if (r.v != e) {
                entered_at[size_t(r.v)] = k;
                if (keep) entered_child[size_t(r.v)] = list[r.child];
            }
            place(list[r.child], r.v, place_at);
            place_at += size_of(list[r.child]);
            const opening *x = std::lower_bound(
                o, o_end, r.child, [](const opening &y, int32_t c) { return y.from < c; });
            for (; x != o_end && x->from == r.child; ++x) {
                if (seen[size_t(x->to)]) continue;
                heap.push_back({id(x->v), x->v, x->to});
                std::push_heap(heap.begin(), heap.end(), std::greater<reached>());
            }
        }
        if (place_at != at + size[size_t(k)]) NotSpanning();
    });
    checked_vector<int32_t>().swap(entry);
    checked_vector<int32_t>().swap(pos);
    checked_vector<int32_t>().swap(way_in);
    checked_vector<opening>().swap(opens);
    StageMark("prim: walk");
    ThrowIfStopped();

    // Each entered point's source: the earliest point before it among its node's edges to it.
    checked_vector<int32_t> from(static_cast<size_t>(n)), at_place(static_cast<size_t>(n));
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int32_t v = 0; v < n; ++v) {
        from[size_t(v)] = kNone;
        at_place[size_t(pos_leaf[size_t(v)])] = v;
    }
    const auto source = [&](int32_t k, int32_t a, int32_t b) {
        const int32_t pa = pos_leaf[size_t(a)], pb = pos_leaf[size_t(b)];
        if (entered_at[size_t(b)] == k && pa < pb) AtomicMin(&from[size_t(b)], pa);
        if (entered_at[size_t(a)] == k && pb < pa) AtomicMin(&from[size_t(a)], pb);
    };
    for_edges([&](size_t, int32_t k, int32_t a, int32_t b) { source(k, a, b); },
              [&](size_t, int32_t k, int32_t q, const int32_t *u, size_t count) {
                  const int32_t pq = pos_leaf[size_t(q)];
                  int32_t least = kNone;  // for q, when it was entered here
                  const bool q_entered = entered_at[size_t(q)] == k;
                  for (size_t i = 0; i < count; ++i) {
                      const int32_t pu = pos_leaf[size_t(u[i])];
                      if (q_entered && pu < pq) least = std::min(least, pu);
                      if (pq < pu && entered_at[size_t(u[i])] == k)
                          AtomicMin(&from[size_t(u[i])], pq);
                  }
                  if (least != kNone) AtomicMin(&from[size_t(q)], least);
              });
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int32_t v = 0; v < n; ++v) {
        const int32_t k = entered_at[size_t(v)];
        if (k < 0) continue;
        const size_t step = size_t(pos_leaf[size_t(v)] - 1);
        ends[2 * step] = id(at_place[size_t(from[size_t(v)])]);
        ends[2 * step + 1] = id(v);
        w[step] = mst_w[k];
    }
    if (keep) {
        keep->rank.swap(rank);
        if (order) keep->order.assign(order, order + n);
        keep->entered_at.swap(entered_at);
        keep->entered_child.swap(entered_child);
        keep->first_child.swap(first_child);
        keep->size.swap(size);
        keep->many.swap(many);
        keep->first.swap(first);
        keep->kids.swap(kids);
        keep->lo.swap(lo);
        keep->lo_leaf.swap(lo_leaf);
    }
    StageMark("prim: sources");
}

void PrimLinkage(const prim_tree &tree, int32_t n, const int64_t *ends, const double *w,
                 const int64_t *rows, double *z, int32_t workers) {
    if (n < 2) return;
    const int32_t threads = n >= (1 << 15) ? UsableThreads(workers) : 1;
    const int32_t M = n - 1;
    auto vertex = [&tree](int64_t i) {
        return tree.rank.empty() ? int32_t(i) : tree.rank[size_t(i)];
    };
    auto id = [&tree](int32_t v) { return tree.order.empty() ? v : tree.order[size_t(v)]; };
    // row[p]: where step p goes; top_row[k]: the last row of node k, whose cluster it makes.
    checked_vector<int32_t> row(static_cast<size_t>(M)), top_row(static_cast<size_t>(M));
    checked_vector<int32_t> node(static_cast<size_t>(M));  // the node of each step
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int32_t p = 0; p < M; ++p) {
        row[size_t(p)] = -1;
        top_row[size_t(p)] = -1;
        node[size_t(p)] = tree.entered_at[size_t(vertex(ends[2 * size_t(p) + 1]))];
    }
    bool bad = false;
    QUORL_OMP(parallel for num_threads(threads) schedule(static) reduction(|| : bad) if (threads > 1))
    for (int32_t r = 0; r < M; ++r) {
        if (rows[r] < 0 || rows[r] >= M)
            bad = true;
        else
            __atomic_store_n(&row[size_t(rows[r])], r, __ATOMIC_RELAXED);
    }
    // Every step named once: then every row points back at its step.
    QUORL_OMP(parallel for num_threads(threads) schedule(static) reduction(|| : bad) if (threads > 1))
    for (int32_t p = 0; p < M; ++p)
        if (!bad && (row[size_t(p)] < 0 || rows[row[size_t(p)]] != p)) bad = true;
    if (bad) throw std::invalid_argument("the rows are not an order of the steps");
    auto node_of_step = [&node](int32_t p) { return node[size_t(p)]; };
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int32_t p = 0; p < M; ++p) AtomicMax(&top_row[size_t(node_of_step(p))], row[size_t(p)]);
    auto cluster = [&](int32_t ref) {
        return IsLeaf(ref) ? double(id(~ref)) : double(n) + double(top_row[size_t(ref)]);
    };
    auto size_of = [&tree](int32_t ref) { return IsLeaf(ref) ? 1 : tree.size[size_t(ref)]; };
    ThrowIfStopped();  // between the parallel passes, which cannot stop inside
    // A node of two children has one step: its row joins the two.
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int32_t p = 0; p < M; ++p) {
        const int32_t v = vertex(ends[2 * size_t(p) + 1]), k = tree.entered_at[size_t(v)];
        if (tree.many[size_t(k)]) continue;
        double *out = z + 4 * size_t(row[size_t(p)]);
        out[0] = cluster(tree.first_child[size_t(k)]);
        out[1] = cluster(tree.entered_child[size_t(v)]);
        out[2] = w[p];
        out[3] = double(tree.size[size_t(k)]);
    }
    // A node of many children: its steps in row order join its children one by one.
    // In any order within a node: each node's rows are sorted below.
    checked_vector<int32_t> step_first, steps;
    GroupByKey(
        M,
        [&](const auto &f) {
            QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
            for (int32_t p = 0; p < M; ++p) {
                const int32_t k = node_of_step(p);
                if (tree.many[size_t(k)]) f(k, row[size_t(p)]);
            }
        },
        step_first, steps);
    ThrowIfStopped();
    task_errors errors(static_cast<size_t>(threads));
    QUORL_OMP(parallel num_threads(threads) if (threads > 1)) {
        const int32_t me = ThreadNumber();
        checked_vector<int32_t> parent, size;
        checked_vector<double> id_of;
        QUORL_OMP(for schedule(dynamic, 16))
        for (int32_t k = 0; k < M; ++k) {
            if (step_first[size_t(k)] == step_first[size_t(k) + 1] || errors.stopped()) continue;
            try {
                const int32_t *list = tree.kids.data() + tree.first[size_t(k)];
                const int32_t count = tree.first[size_t(k) + 1] - tree.first[size_t(k)];
                auto lo_of = [&](int32_t ref) {
                    return IsLeaf(ref) ? tree.lo_leaf[size_t(~ref)] : tree.lo[size_t(ref)];
                };
                auto index_at = [&](int32_t place) {
                    return int32_t(
                        std::upper_bound(list, list + count, place,
                                         [&](int32_t x, int32_t ref) { return x < lo_of(ref); }) -
                        list - 1);
                };
                parent.resize(size_t(count));
                size.resize(size_t(count));
                id_of.resize(size_t(count));
                for (int32_t c = 0; c < count; ++c) {
                    parent[size_t(c)] = c;
                    size[size_t(c)] = size_of(list[c]);
                    id_of[size_t(c)] = cluster(list[c]);
                }
                int32_t *b = steps.data() + step_first[size_t(k)];
                int32_t *e = steps.data() + step_first[size_t(k) + 1];
                std::sort(b, e);
                for (const int32_t *r = b; r != e; ++r) {
                    const int64_t p = rows[*r];
                    const int32_t s = vertex(ends[2 * size_t(p)]),
                                  v = vertex(ends[2 * size_t(p) + 1]);
                    int32_t ra = FindRoot(parent, index_at(tree.lo_leaf[size_t(s)]));
                    int32_t rb = FindRoot(parent, index_at(lo_of(tree.entered_child[size_t(v)])));
                    double *out = z + 4 * size_t(*r);
                    const int32_t merged = size[size_t(ra)] + size[size_t(rb)];
                    out[0] = id_of[size_t(ra)];
                    out[1] = id_of[size_t(rb)];
                    out[2] = w[p];
                    out[3] = double(merged);
                    if (size[size_t(ra)] < size[size_t(rb)]) std::swap(ra, rb);
                    parent[size_t(rb)] = ra;
                    size[size_t(ra)] = merged;
                    id_of[size_t(ra)] = double(n) + double(*r);
                }
            } catch (...) {
                errors.Keep(size_t(me));
            }
        }
    }
    errors.Rethrow();
    StageMark("linkage");
}
