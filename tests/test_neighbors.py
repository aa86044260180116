"""knn and closest_pair: the order (squared distance, index) that a brute force gives, on ties,
equal points and underflowing lengths; cKDTree's neighbours; refusals; failing allocations."""

import numpy as np
import pytest
from scipy.spatial import cKDTree

import quorlkit
from quorlkit import _core


def brute_knn(x, k):
    """Every row's k nearest others by (squared distance, index), in the core's arithmetic."""
    n = len(x)
    acc = np.zeros((n, n))
    for c in range(x.shape[1]):
        diff = x[:, None, c] - x[None, :, c]
        acc = acc + diff * diff
    np.fill_diagonal(acc, np.inf)
    cols = np.broadcast_to(np.arange(n), (n, n))
    order = np.lexsort((cols, acc), axis=1)[:, :k]
    return np.sqrt(np.take_along_axis(acc, order, 1)), order


def make(kind, n, d, seed):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.random((n, d))
    if kind == "grid":  # heavy ties and some equal points
        return rng.integers(0, 5, (n, d)).astype(float)
    if kind == "duplicates":  # a few points, many copies, -0.0 among them
        base = rng.random((max(n // 8, 1), d)).round(1)
        base[0] = -0.0  # equal to the rows of 0.0 that rounding makes
        return base[rng.integers(0, len(base), n)]
    if kind == "underflow":  # distinct points whose squared distances round to 0
        return rng.integers(0, 4, (n, d)) * 1e-170
    raise ValueError(kind)


CASES = [
    (kind, n, d, seed)
    for seed, (kind, n, d) in enumerate(
        (kind, n, d)
        for kind in ("uniform", "grid", "duplicates", "underflow")
        for n, d in ((2, 1), (3, 2), (40, 1), (300, 2), (300, 3), (200, 5), (700, 2))
    )
]


@pytest.mark.parametrize("kind, n, d, seed", CASES)
def test_knn_is_the_brute_force_order(kind, n, d, seed):
    x = make(kind, n, d, seed)
    for k in sorted({1, min(3, n - 1), n - 1}):
        dist, idx = quorlkit.knn(x, k)
        want_dist, want_idx = brute_knn(x, k)
        assert dist.dtype == np.float64 and idx.dtype == np.int64 and idx.shape == (n, k)
        np.testing.assert_array_equal(idx, want_idx, err_msg=f"{kind} seed {seed} k {k}")
        np.testing.assert_array_equal(dist, want_dist, err_msg=f"{kind} seed {seed} k {k}")


@pytest.mark.parametrize("n, d, k, seed", [(5000, 2, 10, 1), (5000, 3, 10, 2), (3000, 5, 4, 3)])
def test_knn_agrees_with_ckdtree(n, d, k, seed):
    x = make("uniform", n, d, seed)
    dist, idx = quorlkit.knn(x, k)
    want_dist, want_idx = cKDTree(x).query(x, k + 1)
    np.testing.assert_array_max_ulp(dist, want_dist[:, 1:], maxulp=1)
    # The neighbour sets must agree wherever the k-th and (k+1)-th distances differ, which is
    # almost everywhere for continuous points.
    distinct = want_dist[:, k] > want_dist[:, k - 1]
    assert distinct.mean() > 0.99
    np.testing.assert_array_equal(
        np.sort(idx[distinct], axis=1), np.sort(want_idx[distinct, 1:], axis=1), err_msg=f"seed {seed}"
    )


@pytest.mark.parametrize("kind, n, d, seed", [c for c in CASES if c[1] >= 2])
def test_closest_pair_is_the_first_pair_of_the_order(kind, n, d, seed):
    x = make(kind, n, d, seed)
    i, j = np.triu_indices(n, 1)
    acc = np.zeros(len(i))
    for c in range(d):
        diff = x[i, c] - x[j, c]
        acc = acc + diff * diff
    first = np.lexsort((j, i, acc))[0]
    assert quorlkit.closest_pair(x) == (float(np.sqrt(acc[first])), int(i[first]), int(j[first]))
    # It is also the first edge of the minimum spanning tree.
    tree = quorlkit.emst(x)
    assert tuple(tree.edges[0]) == (i[first], j[first])


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: quorlkit.knn([[0.0], [1.0]], 2), ValueError, r"k must be between 1 and n - 1 = 1 for 2 points \(got 2\)"),
        (lambda: quorlkit.knn([[0.0], [1.0]], 0), ValueError, r"k must be between 1 and n - 1 = 1 .*\(got 0\)"),
        (lambda: quorlkit.knn(np.zeros((0, 2)), 1), ValueError, r"n - 1 = -1 for 0 points"),
        (lambda: quorlkit.knn([[0.0], [1.0]], 1.0), TypeError, r"k must be an integer, not float"),
        (lambda: quorlkit.knn([[0.0], [1.0]], True), TypeError, r"k must be an integer, not bool"),
        (lambda: quorlkit.knn([[0.0], [np.nan]], 1), ValueError, r"point at position 1: coordinate 0 is nan"),
        (lambda: quorlkit.knn([[0.0], [1.0]], 1, workers=0), ValueError, r"workers must be None, -1 or at least 1"),
        (lambda: quorlkit.closest_pair([[1.0, 2.0]]), ValueError, r"at least 2 points, not 1"),
        (lambda: quorlkit.closest_pair([[0.0, 1e308], [0.0, -1e308]]), ValueError, r"coordinate 1 = 1e\+308 is too large"),
        (lambda: quorlkit.closest_pair(np.zeros((3, 0))), ValueError, r"d must be at least 1 \(got 0\)"),
        (lambda: quorlkit.knn([[0.0], [1.0]], 1, algorithm="kd_tree"), ValueError, r"algorithm must be 'auto', 'tree' or 'brute', not 'kd_tree'"),
        (lambda: quorlkit.emst([[0.0], [1.0]], algorithm=None), ValueError, r"algorithm must be .* not None"),
        (lambda: quorlkit.knn(np.eye(3, 700) * 1e200, 1, algorithm="brute"), ValueError, r"sum over the 700 dimensions .* overflows"),
    ],
)
def test_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("kind", ["uniform", "duplicates"])
@pytest.mark.parametrize(
    "call",
    [
        lambda x: quorlkit.knn(x, 3),
        quorlkit.closest_pair,
        lambda x: quorlkit.knn(x, 3, algorithm="brute"),
        lambda x: quorlkit.emst(x, algorithm="brute"),
    ],
    ids=["knn", "closest_pair", "knn_blocks", "emst_blocks"],
)
def test_every_failing_allocation_raises_memory_error(kind, call):
    x = make(kind, 120, 2, 7)
    _core._fail_allocation_at(0)
    want = call(x)
    total = _core._allocation_count()
    assert total > 0
    try:
        for k in range(1, total + 1):
            _core._fail_allocation_at(k)
            with pytest.raises(MemoryError):
                call(x)
            _core._fail_allocation_at(0)
            got = call(x)
            assert all(np.array_equal(a, b) for a, b in zip(got, want)), f"after failure {k}"
    finally:
        _core._fail_allocation_at(0)


def test_knn_does_not_depend_on_layout_or_workers():
    x = make("grid", 500, 3, 11)
    want = quorlkit.knn(x, 5)
    for variant in (np.asfortranarray(x), x.astype(np.int32), x[::-1][::-1], x.tolist()):
        for workers in (None, 1, 2, -1):
            got = quorlkit.knn(variant, 5, workers=workers)
            assert all(np.array_equal(a, b) for a, b in zip(got, want))


@pytest.mark.parametrize("mode", ["distance", "connectivity"])
@pytest.mark.parametrize("kind, n, d, k", [("uniform", 400, 2, 5), ("grid", 300, 3, 4), ("duplicates", 200, 2, 3)])
def test_knn_graph_is_sklearns(mode, kind, n, d, k):
    from sklearn.neighbors import kneighbors_graph

    x = make(kind, n, d, 5)
    got = quorlkit.knn_graph(x, k, mode=mode)
    want = kneighbors_graph(x, k, mode=mode, include_self=False)
    assert got.shape == (n, n) and got.format == "csr"
    # Each row holds k entries, explicit zeros of equal points included.
    np.testing.assert_array_equal(np.diff(got.indptr), np.full(n, k))
    if kind == "uniform":  # no ties: the very same neighbours
        np.testing.assert_array_max_ulp(got.toarray(), want.toarray(), maxulp=1)
    else:  # ties may pick other neighbours at the same distance
        np.testing.assert_array_max_ulp(
            np.sort(got.data.reshape(n, k), axis=1), np.sort(want.data.reshape(n, k), axis=1), maxulp=1
        )


def test_knn_graph_refuses_an_unknown_mode():
    with pytest.raises(ValueError, match="mode must be 'distance' or 'connectivity', not 'weights'"):
        quorlkit.knn_graph([[0.0], [1.0]], 1, mode="weights")


def brute_query(x, q, k):
    """Each query's k nearest points by (squared distance, index), in the core's arithmetic."""
    acc = np.zeros((len(q), len(x)))
    for c in range(x.shape[1]):
        diff = q[:, None, c] - x[None, :, c]
        acc = acc + diff * diff
    cols = np.broadcast_to(np.arange(len(x)), acc.shape)
    order = np.lexsort((cols, acc), axis=1)[:, :k]
    return np.sqrt(np.take_along_axis(acc, order, 1)), order


def queries_for(kind, x, m, seed):
    """Queries inside and around the points' box, some equal to points, some far outside."""
    rng = np.random.default_rng(seed + 1000)
    lo, hi = x.min(axis=0), x.max(axis=0)
    span = np.where(hi > lo, hi - lo, 1.0)
    q = lo + (rng.random((m, x.shape[1])) * 3 - 1) * span
    if kind in ("grid", "duplicates", "underflow"):  # queries on the lattice tie everywhere
        q[: m // 2] = x[rng.integers(0, len(x), m // 2)]
        q[m // 2 : 3 * m // 4] = np.round(q[m // 2 : 3 * m // 4] / span) * span
    q[-1] = hi + 1e3 * span  # far outside every box
    return q


@pytest.mark.parametrize("kind, n, d, seed", CASES)
def test_knn_query_is_the_brute_force_order(kind, n, d, seed):
    x = make(kind, n, d, seed)
    q = queries_for(kind, x, 60, seed)
    for k in sorted({1, min(4, n), n}):
        dist, idx = quorlkit.knn_query(x, q, k)
        want_dist, want_idx = brute_query(x, q, k)
        assert dist.dtype == np.float64 and idx.dtype == np.int64 and idx.shape == (len(q), k)
        np.testing.assert_array_equal(idx, want_idx, err_msg=f"{kind} seed {seed} k {k}")
        np.testing.assert_array_equal(dist, want_dist, err_msg=f"{kind} seed {seed} k {k}")


def test_knn_query_of_the_points_themselves_is_knn_with_the_point_first():
    x = make("uniform", 2000, 3, 21)
    dist, idx = quorlkit.knn_query(x, x, 6)
    want_dist, want_idx = quorlkit.knn(x, 5)
    np.testing.assert_array_equal(idx[:, 0], np.arange(len(x)))
    np.testing.assert_array_equal(dist[:, 0], 0.0)
    np.testing.assert_array_equal(idx[:, 1:], want_idx)
    np.testing.assert_array_equal(dist[:, 1:], want_dist)


def test_knn_query_agrees_with_ckdtree_and_does_not_depend_on_workers():
    x = make("uniform", 20000, 2, 4)
    q = np.random.default_rng(5).normal(0.5, 0.4, (3000, 2))
    want_dist, want_idx = cKDTree(x).query(q, 8)
    got = quorlkit.knn_query(x, q, 8)
    np.testing.assert_array_max_ulp(got[0], want_dist, maxulp=1)
    np.testing.assert_array_equal(got[1], want_idx)
    for workers in (1, 2, -1):
        again = quorlkit.knn_query(x.tolist(), np.asfortranarray(q), 8, workers=workers)
        assert all(np.array_equal(a, b) for a, b in zip(again, got))


def test_knn_query_of_no_queries():
    dist, idx = quorlkit.knn_query([[0.0, 1.0], [2.0, 3.0]], np.zeros((0, 2)), 2)
    assert dist.shape == idx.shape == (0, 2) and idx.dtype == np.int64


@pytest.mark.parametrize(
    "queries, k, error, message",
    [
        ([[0.5, 0.5]], 4, ValueError, r"k must be between 1 and n = 3 for 3 points \(got 4\)"),
        ([[0.5, 0.5]], 0, ValueError, r"k must be between 1 and n = 3 .*\(got 0\)"),
        ([[0.5, 0.5]], 1.5, TypeError, r"k must be an integer, not float"),
        ([[0.5, 0.5, 0.5]], 1, ValueError, r"queries must have as many columns as points \(2\), not 3"),
        ([0.5, 0.5], 1, ValueError, r"queries must be an array of shape \(n, d\), not of shape \(2,\)"),
        ([["a", "b"]], 1, TypeError, r"queries must hold real numbers"),
        ([[0.5, 0.5], [0.0, np.nan]], 1, ValueError, r"query row 1: coordinate 1 is nan; coordinates must be finite"),
        ([[0.5, 0.5], [1.0, 1.0], [np.inf, 0.0]], 1, ValueError, r"query row 2: coordinate 0 is inf"),
        ([[0.5, 0.5], [-1e308, 0.0]], 1, ValueError, r"query row 1: coordinate 0 = -1e\+308 is too large"),
        # Each coordinate is within the limits, but the squared distance would overflow.
        ([[0.5, 0.5], [1e200, 0.0]], 1, ValueError, r"query row 1 lies too far from the points"),
    ],
)
def test_knn_query_refusals(queries, k, error, message):
    x = [[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]]
    with pytest.raises(error, match=message):
        quorlkit.knn_query(x, queries, k)


def test_knn_query_refuses_bad_points():
    with pytest.raises(ValueError, match=r"point at position 1: coordinate 0 is nan"):
        quorlkit.knn_query([[0.0], [np.nan]], [[0.0]], 1)
    with pytest.raises(ValueError, match=r"k must be between 1 and n = 0 for 0 points"):
        quorlkit.knn_query(np.zeros((0, 1)), [[0.0]], 1)


@pytest.mark.parametrize("kind", ["uniform", "duplicates"])
def test_knn_query_every_failing_allocation_raises_memory_error(kind):
    x = make(kind, 120, 2, 7)
    q = queries_for(kind, x, 30, 7)
    _core._fail_allocation_at(0)
    want = quorlkit.knn_query(x, q, 4)
    total = _core._allocation_count()
    assert total > 0
    try:
        for k in range(1, total + 1):
            _core._fail_allocation_at(k)
            with pytest.raises(MemoryError):
                quorlkit.knn_query(x, q, 4)
            _core._fail_allocation_at(0)
            got = quorlkit.knn_query(x, q, 4)
            assert all(np.array_equal(a, b) for a, b in zip(got, want)), f"after failure {k}"
    finally:
        _core._fail_allocation_at(0)


@pytest.mark.parametrize("kind", ["normal", "grid", "duplicates", "underflow"])
@pytest.mark.parametrize("n, d", [(150, 8), (333, 17), (200, 64), (90, 300), (41, 700), (9, 33)])
def test_blocks_and_tree_give_the_same_arrays(kind, n, d):
    x = np.random.default_rng(d).standard_normal((n, d)) if kind == "normal" else make(kind, n, d, d)
    q = make("grid", 37, d, 1) * 0.5
    for k in sorted({1, 5, n - 1}):
        want = quorlkit.knn(x, k, algorithm="tree")
        wq = quorlkit.knn_query(x, q, k, algorithm="tree")
        for workers in (1, 2):
            for got, w in [
                (quorlkit.knn(x, k, workers=workers, algorithm="brute"), want),
                (quorlkit.knn_query(x, q, k, workers=workers, algorithm="brute"), wq),
            ]:
                np.testing.assert_array_equal(got[1], w[1], err_msg=f"{kind} k {k}")
                np.testing.assert_array_equal(got[0], w[0], err_msg=f"{kind} k {k}")
    assert quorlkit.closest_pair(x, algorithm="brute") == quorlkit.closest_pair(x, algorithm="tree")
    tree = quorlkit.emst(x, algorithm="tree")
    for workers in (1, 2):
        got = quorlkit.emst(x, workers=workers, algorithm="brute")
        np.testing.assert_array_equal(got.edges, tree.edges, err_msg=kind)
        np.testing.assert_array_equal(got.lengths, tree.lengths, err_msg=kind)


def _blocks_chosen(call):
    _core._stage_clock(True)
    try:
        call()
    finally:
        stages = [s[0] for s in _core._stage_clock(False)]
    # The tree's search marks its own stage (the estimate measures its sample in blocks).
    return "neighbours" not in stages


def _clusters(n, d, seed=0):
    rng = np.random.default_rng(seed)
    return rng.random((20, d))[rng.integers(0, 20, n)] * 1000 + rng.standard_normal((n, d))


@pytest.mark.parametrize(
    "x, blocks",
    [
        (make("uniform", 6000, 7, 0), False),  # few dimensions: always the tree
        (make("uniform", 400, 8, 0), True),  # few pairs: the blocks without an estimate
        (_clusters(6000, 16), False),  # tight clusters: the tree prunes
        (np.random.default_rng(0).standard_normal((6000, 16)), True),  # it cannot
        (_clusters(3000, 127), False),
        (_clusters(3000, 128), True),  # from here the tree's build costs what the blocks do
    ],
    ids=["d7", "d8-few", "clusters16", "normal16", "clusters127", "clusters128"],
)
def test_the_choice_between_the_tree_and_the_blocks(x, blocks):
    assert _blocks_chosen(lambda: quorlkit.knn(x, 10)) == blocks
    # What is asked for is done.
    named = "brute" if not blocks else "tree"
    assert _blocks_chosen(lambda: quorlkit.knn(x, 10, algorithm=named)) == (named == "brute")
