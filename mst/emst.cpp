#include "mst/emst.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "mst/union_find.h"
#include "neighbors/knn.h"
#include "neighbors/search.h"
#include "tree/bucket.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();

// Nodes of at most this many distinct points are scanned point by point instead of split: below
// that, box tests cost more than the distances they save (measured in 2-D to 5-D).
const int32_t kBucket = 32;

// How many nearest neighbours each point keeps from the start: enough that most points find
// their nearest neighbour outside their component among them in the first rounds.
const int32_t kNeighbours = 6;

// An edge between positions a and b of the ordered points, with its key: squared length, then
// the input positions i < j.
struct candidate {
    double d2;
    int32_t i, j;
    int32_t a, b;
};

inline bool Before(double d2, int32_t i, int32_t j, const candidate &c) {
    return d2 < c.d2 || (d2 == c.d2 && (i < c.i || (i == c.i && j < c.j)));
}

inline bool Before(const candidate &x, const candidate &y) { return Before(x.d2, x.i, x.j, y); }

// The per-round state of the components: comp[q] is the component of position q (the position
// of its root), node_comp[v] the component of every point under node v, or -1 when they differ;
// run_end (with equal points) the end of q's run of equal points in q's component.
struct components {
    checked_vector<int32_t> comp, node_comp, run_end;
};

// The search for q's nearest point outside its component whose edge comes before best, the
// component's best edge so far. For one q the order of the keys is that of (squared length,
// input position of the other end), so what it finds is q's nearest neighbour outside. When it
// finds nothing, floor is a lower bound on q's squared length to every point outside: the least
// of all it passed over, nodes wholly inside the component left out since they stay inside.
template <int D, bool Groups>
struct outside_visitor {
    const bucket_tree &t;
    const ordered_points &p;
    const components &cs;
    const double *x;
    int32_t q, c;
    candidate &best;
    int32_t found = -1;
    double floor = kInf;

    int32_t dims() const { return D > 0 ? D : t.d; }
    double bound() const { return best.d2; }
    bool open(int32_t v) const { return cs.node_comp[size_t(v)] != c; }
    void passed(double b) { floor = std::min(floor, b); }

    void scan(int32_t v) {
        const int32_t me = p.id[size_t(q)];
        const int32_t end = t.start[size_t(v)] + t.count[size_t(v)];
        for (int32_t r = t.start[size_t(v)]; r < end;) {
            if (cs.comp[size_t(r)] == c) {
                r = Groups ? cs.run_end[size_t(r)] : r + 1;
                continue;
            }
            const double d2 = SquaredLength(x, &p.xs[size_t(r) * size_t(dims())], dims());
            if (d2 > best.d2) {
                floor = std::min(floor, d2);
            } else {
                const int32_t other = p.id[size_t(r)];
                const int32_t i = std::min(me, other), j = std::max(me, other);
                if (Before(d2, i, j, best)) {
                    best = {d2, i, j, q, r};
                    found = r;
                } else {
                    floor = std::min(floor, d2);
                }
            }
            // The rest of r's equal points are as far and come later in input order.
            r = Groups ? p.group_end[size_t(r)] : r + 1;
        }
    }
};

// Borůvka rounds until one component is left; appends each round's edges to `edges`.
template <int D, bool Groups>
void Rounds(const bucket_tree &t, const ordered_points &p, checked_vector<candidate> &edges) {
    const int32_t n = int32_t(p.id.size());
    const int32_t k = std::min(kNeighbours, n - 1);
    const size_t dd = size_t(t.d);
    // Each point's k nearest, and how many of them are known to be in its component already.
    checked_vector<int32_t> near(size_t(n) * size_t(k));
    NearestNeighbours(t, p, k, near.data(), nullptr);
    checked_vector<uint8_t> used(size_t(n), 0);

    components cs;
    cs.comp.resize(size_t(n));
    cs.node_comp.resize(size_t(t.nodes));
    if (Groups) cs.run_end.resize(size_t(n));
    checked_vector<int32_t> parent(static_cast<size_t>(n)), nearest(static_cast<size_t>(n), -1);
    // lower[q]: q's squared length to its nearest point outside its component, when nearest[q]
    // names that point; otherwise a lower bound on it. Components only grow, so it never falls.
    checked_vector<double> lower(size_t(n), 0.0);
    checked_vector<candidate> best(static_cast<size_t>(n));
    for (int32_t q = 0; q < n; ++q) cs.comp[size_t(q)] = parent[size_t(q)] = q;
    near_search<D> search(t);
    int32_t left = n;
    while (left > 1) {
        int32_t *comp = cs.comp.data();
        for (int32_t v = t.nodes - 1; v >= 0; --v) {
            int32_t c;
            if (t.bucket(v)) {
                const int32_t s = t.start[size_t(v)], e = s + t.count[size_t(v)];
                c = comp[s];
                for (int32_t r = s + 1; r < e && c >= 0; ++r)
                    if (comp[r] != c) c = -1;
            } else {
                const int32_t a = cs.node_comp[size_t(v) + 1];
                c = a == cs.node_comp[size_t(t.right[size_t(v)])] ? a : -1;
            }
            cs.node_comp[size_t(v)] = c;
        }
        if (Groups)
            for (int32_t r = n - 1; r >= 0; --r)
                cs.run_end[size_t(r)] = r + 1 < p.group_end[size_t(r)] && comp[r + 1] == comp[r]
                                            ? cs.run_end[size_t(r) + 1]
                                            : r + 1;
        for (int32_t q = 0; q < n; ++q)
            if (comp[q] == q) best[size_t(q)] = {kInf, INT32_MAX, INT32_MAX, -1, -1};
        // Nearest neighbours outside, where they are known, give their edges at once, which
        // tightens every component's bound before any search.
        for (int32_t q = 0; q < n; ++q) {
            int32_t o = nearest[size_t(q)];
            if (o < 0 || comp[o] == comp[q]) {
                o = -1;
                // The first of q's nearest that is outside is its nearest outside; those before
                // it are inside for good.
                const int32_t *row = &near[size_t(q) * size_t(k)];
                int32_t m = used[size_t(q)];
                while (m < k && comp[row[m]] == comp[q]) ++m;
                if (m < k) {
                    o = row[m];
                    lower[size_t(q)] =
                        SquaredLength(&p.xs[size_t(q) * dd], &p.xs[size_t(o) * dd], t.d);
                } else if (used[size_t(q)] < k) {
                    lower[size_t(q)] = std::max(
                        lower[size_t(q)],
                        SquaredLength(&p.xs[size_t(q) * dd], &p.xs[size_t(row[k - 1]) * dd], t.d));
                }
                used[size_t(q)] = uint8_t(m);
                nearest[size_t(q)] = o;
                if (o < 0) continue;
            }
            const int32_t a = p.id[size_t(q)], b = p.id[size_t(o)];
            const candidate e{lower[size_t(q)], std::min(a, b), std::max(a, b), q, o};
            candidate &c = best[size_t(comp[q])];
            if (Before(e, c)) c = e;
        }
        for (int32_t v = 0; v < t.nodes; ++v) {
            if (!t.bucket(v)) continue;
            const int32_t s = t.start[size_t(v)], e = s + t.count[size_t(v)];
            for (int32_t q = s; q < e; ++q) {
                if (nearest[size_t(q)] >= 0) continue;
                candidate &c = best[size_t(comp[q])];
                if (lower[size_t(q)] > c.d2) continue;
                outside_visitor<D, Groups> visitor{t, p, cs, &p.xs[size_t(q) * dd], q, comp[q], c};
                search.Run(visitor.x, v, visitor);
                nearest[size_t(q)] = visitor.found;
                lower[size_t(q)] = visitor.found >= 0 ? c.d2 : visitor.floor;
            }
        }
        for (int32_t q = 0; q < n; ++q) {
            if (comp[q] != q) continue;
            const candidate &e = best[size_t(q)];
            const int32_t a = FindRoot(parent, e.a), b = FindRoot(parent, e.b);
            if (a == b) continue;  // the other component chose the same edge
            parent[size_t(std::max(a, b))] = std::min(a, b);
            edges.push_back(e);
            --left;
        }
        // A root's parent is itself and any other point's parent comes before it, so one
        // forward pass finds every root (and flattens the forest).
        for (int32_t q = 0; q < n; ++q)
            comp[q] = parent[size_t(q)] = parent[size_t(q)] == q ? q : comp[parent[size_t(q)]];
    }
}

}  // namespace

emst_edges EuclideanMST(const double *xs, int32_t n, int32_t d) {
    emst_edges out;
    if (n < 2) return out;
    checked_vector<candidate> edges;
    {
        bucket_tree t;
        ordered_points p;
        BuildBucketTree(xs, n, d, kBucket, t, p);
        edges.reserve(size_t(n) - 1);
        WithDimension(d, [&](auto dim) {
            constexpr int D = decltype(dim)::value;
            if (p.group_end.empty())
                Rounds<D, false>(t, p, edges);
            else
                Rounds<D, true>(t, p, edges);
        });
    }
    std::sort(edges.begin(), edges.end(),
              [](const candidate &x, const candidate &y) { return Before(x, y); });
    out.ends.resize(2 * edges.size());
    out.squared.resize(edges.size());
    out.lengths.resize(edges.size());
    for (size_t e = 0; e < edges.size(); ++e) {
        out.ends[2 * e] = edges[e].i;
        out.ends[2 * e + 1] = edges[e].j;
        out.squared[e] = edges[e].d2;
        out.lengths[e] = std::sqrt(edges[e].d2);
    }
    return out;
}
