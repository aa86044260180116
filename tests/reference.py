"""Plain-Python model of the decomposition, the oracle of the tests.

The fair split tree depends only on the point set, not on how ties happen to be sorted, so the
model needs no linked lists. Arithmetic runs in the core's order so that results are identical
bit for bit. Explicit stacks instead of recursion: a tree can be n / 2 levels deep.
"""

import math


class Node:
    __slots__ = ("left", "right", "center", "radius", "index")

    def __init__(self, center, radius, index=None):
        self.left = None
        self.right = None
        self.center = center
        self.radius = radius
        self.index = index  # position of the point at a leaf, None at an internal node


def bounding_sphere(coords, d):
    """Center and radius of the bounding box of `coords` (sequences of at least d floats)."""
    center, total = [], 0.0
    for i in range(d):
        lo = min(c[i] for c in coords)
        hi = max(c[i] for c in coords)
        center.append((hi + lo) * 0.5)
        h = (hi - lo) * 0.5
        total = total + h * h
    return center, math.sqrt(total)


def _cut(items, d):
    """Points cut off from `items` ((index, coords) pairs): the smaller side of the midpoint
    cut of the longest box side, the low side on a tie; points on the cut go with that side."""
    widest, k, lo_k = -1.0, 0, 0.0
    for i in range(d):
        lo = min(c[i] for _, c in items)
        w = max(c[i] for _, c in items) - lo
        if w > widest:
            widest, k, lo_k = w, i, lo
    cut = widest * 0.5 + lo_k
    low = [it for it in items if it[1][k] <= cut]
    high = [it for it in items if it[1][k] >= cut]
    return low if len(low) <= len(high) else high


def build_tree(items, d):
    """Fair split tree over `items`, a list of (index, coords) with distinct coords.

    A node's cut-off side becomes its right subtree and the rest its left subtree. Whether the
    rest goes on in the same chain of cuts or in a nested call makes no difference: either way
    the next node is made for exactly the points that remain.
    """
    holder = Node(None, 0.0)
    work = [(list(items), holder, "left")]
    while work:
        pts, parent, slot = work.pop()
        if len(pts) == 1:
            index, coords = pts[0]
            setattr(parent, slot, Node(list(coords[:d]), 0.0, index))
            continue
        node = Node(*bounding_sphere([c for _, c in pts], d))
        setattr(parent, slot, node)
        side = _cut(pts, d)
        taken = {id(it) for it in side}
        work.append((side, node, "right"))
        work.append(([it for it in pts if id(it) not in taken], node, "left"))
    return holder.left


def leaf_indices(node):
    """Positions under `node`, left subtree before right subtree."""
    out, stack = [], [node]
    while stack:
        n = stack.pop()
        if n.index is not None:
            out.append(n.index)
        else:
            stack.append(n.right)
            stack.append(n.left)
    return out


def separated(dist, r, s):
    return dist - 2 * r > s * r


def center_distance(a, b, d):
    total = 0.0
    for i in range(d):
        diff = a[i] - b[i]
        total = total + diff * diff
    return math.sqrt(total)


def _pairs_between(a, b, s, d, out):
    stack = [(a, b)]
    while stack:
        a, b = stack.pop()
        a_leaf, b_leaf = a.index is not None, b.index is not None
        r = max(a.radius, b.radius)
        if (a_leaf and b_leaf) or separated(center_distance(a.center, b.center, d), r, s):
            out.append((leaf_indices(a), leaf_indices(b)))
            continue
        # A leaf cannot be split: when the rule picks one, the other node is split instead.
        if a.radius > b.radius or b_leaf:
            first, second = (a.left, b), (a.right, b)
        else:
            first, second = (a, b.left), (a, b.right)
        stack.append(second)
        stack.append(first)


def pairs_of_tree(root, s, d):
    """Pairs in post-order of the internal nodes (left subtree, right subtree, then between)."""
    out = []
    stack = [(root, False)]
    while stack:
        node, children_done = stack.pop()
        if node.index is not None:
            continue
        if children_done:
            _pairs_between(node.left, node.right, s, d, out)
        else:
            stack.append((node, True))
            stack.append((node.right, False))
            stack.append((node.left, False))
    return out


def decompose(n, d, s, coords):
    """Expected result of build_quorl(n, d, s, points made from `coords`), valid input only."""
    if n == 0:
        return []
    root = build_tree([(i, tuple(coords[i])) for i in range(n)], d)
    return pairs_of_tree(root, s, d)


def shape(node):
    """Nested (left, right) tuples with the leaves' coordinate tuples, for checking trees."""
    if node.index is not None:
        return tuple(node.center)
    return (shape(node.left), shape(node.right))


def pair_counts(result):
    """How often each unordered pair of positions meets across the two sides of a pair."""
    counts = {}
    for first, second in result:
        for i in first:
            for j in second:
                key = (min(i, j), max(i, j))
                counts[key] = counts.get(key, 0) + 1
    return counts


def kruskal(n, i, j, key):
    """The pairs (i[e], j[e]) that Kruskal's algorithm takes in the order of (key, i, j), each
    when it joins two components: their indices e, n - 1 of them for a connected set."""
    import numpy as np

    order = np.lexsort((j, i, key))
    parent = list(range(n))

    def root(a):
        while parent[a] != a:
            parent[a] = parent[parent[a]]
            a = parent[a]
        return a

    picked = []
    # In chunks: the whole order as a Python list would cost more than the search.
    for start in range(0, len(order), 1 << 16):
        chunk = order[start : start + (1 << 16)]
        for e, a, b in zip(chunk.tolist(), i[chunk].tolist(), j[chunk].tolist()):
            ra, rb = root(a), root(b)
            if ra != rb:
                parent[max(ra, rb)] = min(ra, rb)
                picked.append(e)
        if len(picked) >= n - 1:
            break
    return np.array(picked, dtype=np.intp)
