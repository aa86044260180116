#ifndef QUORL_PAIRS_SEARCH_H
#define QUORL_PAIRS_SEARCH_H

#include <cmath>
#include <cstdint>
#include <vector>

#include "pairs/output.h"
#include "tree/distance.h"
#include "tree/flat.h"

// The distance between the centers of a and b: the square root of SquaredLength (0 for
// d < 1).
inline double CenterDistance(const tree_node *a, const tree_node *b, int32_t d) {
    return std::sqrt(SquaredLength(a->center, b->center, d));
}

// The separation test of the pair search: with r the larger radius, a and b are well separated
// when dist - 2r > s * r (strict; a NaN on either side is not separated).
inline bool Separated(double dist, double r, double s) { return dist - 2 * r > s * r; }

// Separated(sqrt(squared), r, s) for one s, always with the same verdict, but without the square
// root when the squared distance lies clearly on one side of ((2 + s) r)^2. With s >= 0,
// c = 2 + s <= 1e50 and r in [1e-100, 1e100], a squared distance more than a relative 1e-9 above
// (c r)^2 (as rounded here: a few ulps) puts the rounded distance more than 4.9e-10 (2r + s r)
// above 2r + s r, so dist - 2r exceeds s r by more than the rounding of the subtraction; likewise
// below. Only squared distances within about 1e-9 of the threshold, and r or s outside those
// ranges, take the square root. The threshold factors are worked out once per search.
class separation_test {
  public:
    explicit separation_test(double s) : s_(s) {
        const double c = 2 + s;
        quick_ = s >= 0 && c <= 1e50;
        above_ = c * c * (1 + 1e-9);
        below_ = c * c * (1 - 1e-9);
    }
    bool operator()(double squared, double r) const {
        bool separated;
        return Sure(squared, r, separated) ? separated : Exact(squared, r);
    }
    // The verdict from the squared distance alone, without a branch: writes it to `separated` and
    // returns whether it is certain; when it is not, Exact decides.
    bool Sure(double squared, double r, bool &separated) const {
        const double r2 = r * r;
        const bool yes = squared > r2 * above_, no = squared < r2 * below_;
        separated = yes;
        return quick_ & (r >= 1e-100) & (r <= 1e100) & (yes | no);
    }
    bool Exact(double squared, double r) const { return Separated(std::sqrt(squared), r, s_); }

  private:
    double s_;
    bool quick_;
    double above_, below_;
};

// Judging a node pair is the whole of the search's work; a call for each would cost as much.
#if defined(__GNUC__)
#define QUORL_ALWAYS_INLINE __attribute__((always_inline))
#else
#define QUORL_ALWAYS_INLINE
#endif

// How the search sees a tree of linked tree_node records.
struct node_tree_view {
    typedef tree_node *node;
    int32_t d;
    static node none() { return nullptr; }
    static bool leaf(node a) { return a->pt != nullptr; }
    static node left(node a) { return a->left; }
    static node right(node a) { return a->right; }
    static double radius(node a) { return a->radius; }
    double squared_distance(node a, node b) const {
        return SquaredLength(a->center, b->center, d);
    }
};

// How the search sees a flat_tree: nodes are pre-order ids, the left child follows its parent.
// D > 0 fixes the dimension at compile time (the tree's d must be D); D = 0 reads it from the tree.
template <int D = 0>
struct flat_tree_view {
    typedef int32_t node;
    // Plain pointers, copied out of the tree: they stay in registers while the search writes.
    const double *box;
    const int32_t *size;
    int32_t d;

    explicit flat_tree_view(const flat_tree *t)
        : box(t->box.data()), size(t->size.data()), d(t->d) {}
    static node none() { return -1; }
    bool leaf(node a) const { return size[a] == 1; }
    static node left(node a) { return a + 1; }
    // Asked of internal nodes only: a leaf has no right child, and the last node is a leaf.
    node right(node a) const { return a + 2 * size[a + 1]; }
    double radius(node a) const { return box[size_t(a) * stride() + size_t(dims())]; }
    double squared_distance(node a, node b) const {
        return SquaredLength(&box[size_t(a) * stride()], &box[size_t(b) * stride()],
                                     dims());
    }
    int32_t dims() const { return D > 0 ? D : d; }
    size_t stride() const { return size_t(dims()) + 1; }
};

// f(view) with the flat_tree_view for the tree's dimension: fixed at compile time for the usual
// d = 1..4, where that makes the distance a few straight-line instructions.
template <typename F>
auto WithFlatTreeView(const flat_tree &t, F &&f) {
    switch (t.d) {
        case 1:
            return f(flat_tree_view<1>(&t));
        case 2:
            return f(flat_tree_view<2>(&t));
        case 3:
            return f(flat_tree_view<3>(&t));
        case 4:
            return f(flat_tree_view<4>(&t));
        default:
            return f(flat_tree_view<0>(&t));
    }
}

// The pair search from node a (b = none: the pairs among a's points) or between a and b (a's
// side first), for either kind of tree. It hands each well-separated node pair to sink(x, y), x's
// side first, in the order of the rules of FindWSP and FindWSP2, and returns how many it found
// (wrapping past 2^31: the count is 32-bit by contract and nothing reads one that large).
// An explicit stack replaces recursion, since exponentially spaced points make trees thousands of
// levels deep; each task goes on with its first sub-task and stacks the others in reverse, so they
// run in exactly the recursive order. A leaf is never split: two leaves always make a pair
// (distinct points whose squared distance underflows to 0 fail the test), and when the node to
// split is a leaf the other is split.
// A node pair is judged when it is made, both children of a split together: the two tests do not
// wait on each other, and what a task does next is known the moment it leaves the stack.
// With `defer`, each task (x, y) (y = none: the pairs among x's points) is first offered to
// defer(x, y); when that returns true the search leaves the task to it and goes on with the next:
// a caller that searches the deferred tasks in the order they were offered, handing their pairs
// on in that order, gets every pair in exactly the order of the search without deferral.
struct no_deferral {
    template <typename Node>
    bool operator()(Node, Node) const {
        return false;
    }
};

template <typename Tree, typename Sink, typename Defer = no_deferral>
int32_t SearchPairs(const Tree &tree, typename Tree::node a, typename Tree::node b, double s,
                    Sink &&sink, Defer &&defer = Defer()) {
    typedef typename Tree::node node;
    enum verdict : int32_t { kPair, kSplitA, kSplitB };
    struct task {
        node a, b;
        verdict next;
    };
    const separation_test separated(s);
    // Without branches but for the rare uncertain test: the outcomes are coin tosses, and the
    // one branch a task takes on its verdict when it leaves the stack is misjudged often enough.
    auto judge = [&tree, &separated](node x, node y) QUORL_ALWAYS_INLINE {
        const double rx = tree.radius(x), ry = tree.radius(y);
        const bool x_leaf = tree.leaf(x), y_leaf = tree.leaf(y), leaves = x_leaf & y_leaf;
        const double r = rx > ry ? rx : ry, squared = tree.squared_distance(x, y);
        bool apart;
        if (!separated.Sure(squared, r, apart) & !leaves) apart = separated.Exact(squared, r);
        const bool split_a = ((rx > ry) & !x_leaf) | y_leaf;
        return verdict(int32_t(!(leaves | apart)) * (kSplitB - int32_t(split_a)));
    };
    // The stack's block and room in locals: a push then costs a compare, not the vector's size.
    std::vector<task> stack(64);
    task *tasks = stack.data();
    size_t top = 0, room = stack.size();
    auto push = [&](const task &t) {
        if (top == room) {
            stack.resize(2 * top);
            tasks = stack.data();
            room = stack.size();
        }
        tasks[top++] = t;
    };
    uint32_t count = 0;
    // The pairs among the points under x: those under each child, then those between the two.
    auto open = [&](node x) {
        const node l = tree.left(x), r = tree.right(x);
        push({l, r, judge(l, r)});
        push({r, Tree::none(), kPair});
        return task{l, Tree::none(), kPair};
    };
    if (b == Tree::none())
        push({a, b, kPair});
    else
        push({a, b, judge(a, b)});
    while (top > 0) {
        task t = tasks[--top];
        for (;;) {
            if (defer(t.a, t.b)) break;
            if (t.b == Tree::none()) {
                if (tree.leaf(t.a)) break;
                t = open(t.a);
                continue;
            }
            if (t.next == kPair) {
                sink(t.a, t.b);
                ++count;
                break;
            }
            // Which side is split is a coin toss too: the children are chosen by selects.
            const bool split_a = t.next == kSplitA;
            const node x = split_a ? t.a : t.b;
            const node l = tree.left(x), r = tree.right(x);
            const node a1 = split_a ? l : t.a, b1 = split_a ? t.b : l;
            const node a2 = split_a ? r : t.a, b2 = split_a ? t.b : r;
            const verdict v1 = judge(a1, b1), v2 = judge(a2, b2);
            push({a2, b2, v2});
            t = {a1, b1, v1};
        }
    }
    return int32_t(count);
}

// Appends every well-separated pair among the points under `node` (post-order over the internal
// nodes: left subtree, right subtree, then the pairs between the two children) and returns how
// many it appended.
int32_t FindWSP(tree_node *node, double s, int32_t d, pair_list &pairs);

// Appends well-separated pairs covering every point under a against every point under b, a's side
// first, and returns how many. When a and b are not separated the node of larger radius is split
// (b on equal radii), its left child first; a leaf is never split: two leaves always make a pair,
// and when the chosen node is a leaf the other one is split.
int32_t FindWSP2(tree_node *a, tree_node *b, double s, int32_t d, pair_list &pairs);

#endif
