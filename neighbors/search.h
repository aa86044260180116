#ifndef QUORL_NEIGHBORS_SEARCH_H
#define QUORL_NEIGHBORS_SEARCH_H

#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "tree/bucket.h"
#include "tree/distance.h"

// One search near a point over a bucket tree, for any question a visitor asks. The visitor says
// how far to look and what to do with each bucket:
//   double bound() const   prune what lies farther than this (strictly; ties are looked at)
//   bool open(int32_t v)   false: node v holds nothing of interest, skip it (bounds nothing)
//   void scan(int32_t v)   look at the points of bucket v (and tighten the bound)
//   void passed(double b)  a part of the tree at squared distance at least b was pruned
// D > 0 fixes the dimension at compile time; D = 0 reads it from the tree.
template <int D>
class near_search {
  public:
    explicit near_search(const bucket_tree &t) : t_(t), stack_(64) {}

    // Searches for x, which lies in `bucket`: that bucket first, then up the tree, each sibling
    // in turn (nearer children first below it), until the ball of the visitor's bound lies
    // inside the box of what has been searched, which then holds everything within the bound.
    template <typename V>
    void Run(const double *x, int32_t bucket, V &visitor) {
        visitor.scan(bucket);
        for (int32_t v = bucket; v != 0;) {
            const double face = FaceDistanceSquared(v, x);
            if (face > visitor.bound()) {
                visitor.passed(face);
                return;
            }
            const int32_t up = t_.parent[size_t(v)];
            const int32_t sibling = v == up + 1 ? t_.right[size_t(up)] : up + 1;
            if (visitor.open(sibling)) {
                const double bound = BoxBound(sibling, x);
                if (bound <= visitor.bound())
                    Down(sibling, bound, [this, x](int32_t u) { return BoxBound(u, x); }, visitor);
                else
                    visitor.passed(bound);
            }
            v = up;
        }
    }

    // The search below `from`, whose bound is `bound`, nearer children first; lower(v) is a lower
    // bound on the squared lengths from what is searched for to the points under node v.
    template <typename Lower, typename V>
    void Down(int32_t from, double bound, const Lower &lower, V &visitor) {
        size_t top = 0;
        stack_[top++] = {from, bound};
        while (top > 0) {
            const entry e = stack_[--top];
            if (e.bound > visitor.bound()) {
                visitor.passed(e.bound);
                continue;
            }
            if (t_.bucket(e.node)) {
                visitor.scan(e.node);
                continue;
            }
            const int32_t l = e.node + 1, r = t_.right[size_t(e.node)];
            const bool open_l = visitor.open(l), open_r = visitor.open(r);
            const double bl = open_l ? lower(l) : 0.0;
            const double br = open_r ? lower(r) : 0.0;
            const double limit = visitor.bound();
            if (open_l && bl > limit) visitor.passed(bl);
            if (open_r && br > limit) visitor.passed(br);
            const bool push_l = open_l && bl <= limit, push_r = open_r && br <= limit;
            if (top + 2 > stack_.size()) stack_.resize(2 * stack_.size());
            // The nearer child goes on top, to be searched first.
            if (bl <= br) {
                if (push_r) stack_[top++] = {r, br};
                if (push_l) stack_[top++] = {l, bl};
            } else {
                if (push_l) stack_[top++] = {l, bl};
                if (push_r) stack_[top++] = {r, br};
            }
        }
    }

    // A lower bound on SquaredLength from x to any point in node's box: each term is the square
    // of x's gap to the box, rounded no larger than the rounded difference to any point in it,
    // and the terms are summed in the same order.
    double BoxBound(int32_t node, const double *x) const { return GapBound<true>(node, x); }

    // The same from any point in box a (lo[0..d), hi[0..d)) to any point in node's box.
    double BoxBoxBound(int32_t node, const double *a) const { return GapBound<false>(node, a); }

    // Upper bounds, exact alike: no SquaredLength from x (or from any point in box a) to a point
    // in node's box exceeds them. BoxBoxFarBound(v, lo(v)) bounds the pairs within v.
    double BoxFarBound(int32_t node, const double *x) const { return FarBound<true>(node, x); }
    double BoxBoxFarBound(int32_t node, const double *a) const { return FarBound<false>(node, a); }

  private:
    // The bounds above between node's box and the point a (Point) or the box a (lo[0..d),
    // hi[0..d)): the squares of the gaps, or of the farthest differences, per coordinate.
    template <bool Point>
    double GapBound(int32_t node, const double *a) const {
        const double *lo = t_.lo(node), *hi = lo + dims();
        const double *alo = a, *ahi = Point ? a : a + dims();
        double sum = 0.0;
        for (int32_t k = 0; k < dims(); ++k) {
            const double gap = std::max(lo[k] - ahi[k], 0.0) + std::max(alo[k] - hi[k], 0.0);
            sum = sum + gap * gap;
        }
        return sum;
    }
    template <bool Point>
    double FarBound(int32_t node, const double *a) const {
        const double *lo = t_.lo(node), *hi = lo + dims();
        const double *alo = a, *ahi = Point ? a : a + dims();
        double sum = 0.0;
        for (int32_t k = 0; k < dims(); ++k) {
            const double far = std::max(ahi[k] - lo[k], hi[k] - alo[k]);
            sum = sum + far * far;
        }
        return sum;
    }

    struct entry {
        int32_t node;
        double bound;
    };

    int32_t dims() const { return D > 0 ? D : t_.d; }

    // For x inside node's box: every point outside the box lies strictly beyond one of its
    // faces, so its squared length from x is at least the square of x's distance to that face,
    // rounded alike.
    double FaceDistanceSquared(int32_t node, const double *x) const {
        const double *lo = t_.lo(node), *hi = lo + dims();
        double m = std::numeric_limits<double>::infinity();
        for (int32_t k = 0; k < dims(); ++k) m = std::min(m, std::min(x[k] - lo[k], hi[k] - x[k]));
        return m * m;
    }

    const bucket_tree &t_;
    checked_vector<entry> stack_;
};

// The k best points so far for one point x, sorted by (squared length, input position), in rows
// the caller owns: d2[0..filled) the squared lengths, pos[0..filled) the ordered positions. The
// point at ordered position `self` is skipped (-1: none, for a point that is not in the tree).
// With Groups, p.group_end lets a scan skip the rest of a run of equal points at once.
template <int D, bool Groups>
struct best_k_row {
    const bucket_tree &t;
    const ordered_points &p;
    const double *x;
    int32_t self, k, filled;
    double *d2;
    int32_t *pos;

    int32_t dims() const { return D > 0 ? D : t.d; }
    double bound() const {
        return filled < k ? std::numeric_limits<double>::infinity() : d2[k - 1];
    }

    bool Before(double a, int32_t ida, int32_t m) const {
        return a < d2[m] || (a == d2[m] && ida < p.id[size_t(pos[m])]);
    }

    static constexpr int32_t kScanBlock = 64;

    // Takes ordered position r at squared length a when it is among the k best so far, and
    // says whether it did. Farther than the k-th decides alone; only a tie needs the input
    // positions.
    bool Offer(double a, int32_t r) {
        if (filled == k &&
            (a > d2[k - 1] || (a == d2[k - 1] && !Before(a, p.id[size_t(r)], k - 1))))
            return false;
        Insert(a, r);
        return true;
    }

    void Scan(int32_t v) {
        const int32_t end = t.start[size_t(v)] + t.count[size_t(v)];
        if constexpr (!Groups) {
            // The lengths first, in a loop the compiler can run on several points at once; the
            // same lengths, looked at in the same order.
            double length[kScanBlock];
            for (int32_t from = t.start[size_t(v)]; from < end; from += kScanBlock) {
                const int32_t count = std::min(kScanBlock, end - from);
                const double *y = &p.xs[size_t(from) * size_t(dims())];
                for (int32_t i = 0; i < count; ++i)
                    length[i] = SquaredLength(x, y + size_t(i) * size_t(dims()), dims());
                double limit = bound();
                for (int32_t i = 0; i < count; ++i) {
                    if (length[i] > limit || from + i == self) continue;
                    Offer(length[i], from + i);
                    limit = bound();
                }
            }
            return;
        }
        for (int32_t r = t.start[size_t(v)]; r < end;) {
            if (r == self) {
                ++r;
                continue;
            }
            const double a = SquaredLength(x, &p.xs[size_t(r) * size_t(dims())], dims());
            // Not taken: the rest of r's equal points are as far and come later in input order.
            r = Offer(a, r) ? r + 1 : p.group_end[size_t(r)];
        }
    }

    // Puts r at squared length a in its place, dropping the k-th when the row is full.
    void Insert(double a, int32_t r) {
        const int32_t id = p.id[size_t(r)];
        int32_t m = filled < k ? filled++ : k - 1;
        // Past the longer ones on the length alone, then past equal lengths of larger
        // positions: the same place as one test of (length, position), fewer loads.
        for (; m > 0 && a < d2[m - 1]; --m) {
            d2[m] = d2[m - 1];
            pos[m] = pos[m - 1];
        }
        for (; m > 0 && a == d2[m - 1] && id < p.id[size_t(pos[m - 1])]; --m) {
            d2[m] = d2[m - 1];
            pos[m] = pos[m - 1];
        }
        d2[m] = a;
        pos[m] = r;
    }
};

// The nearest neighbours of a group of points at once (the points of one bucket, or query
// points near one): one descent from the root, pruned by the distance between boxes against the
// farthest k-th neighbour of the group so far; each bucket it reaches is scanned for each point
// that the point's own bound lets in. Bucket `home`, scanned beforehand, is skipped.
template <int D, bool Groups>
struct group_visitor {
    near_search<D> &search;
    checked_vector<best_k_row<D, Groups>> &rows;
    int32_t home;
    double limit;

    double bound() const { return limit; }
    bool open(int32_t v) const { return v != home; }
    static void passed(double) {}

    void scan(int32_t v) {
        double farthest = 0.0;
        for (auto &row : rows) {
            if (search.BoxBound(v, row.x) <= row.bound()) row.Scan(v);
            farthest = std::max(farthest, row.bound());
        }
        limit = farthest;
    }
};

// f(std::integral_constant<int, D>()) with D = d for the usual d = 1..4, where a dimension fixed
// at compile time makes each distance a few straight-line instructions, and D = 0 otherwise.
template <typename F>
auto WithDimension(int32_t d, F &&f) {
    switch (d) {
        case 1:
            return f(std::integral_constant<int, 1>());
        case 2:
            return f(std::integral_constant<int, 2>());
        case 3:
            return f(std::integral_constant<int, 3>());
        case 4:
            return f(std::integral_constant<int, 4>());
        default:
            return f(std::integral_constant<int, 0>());
    }
}

#endif
