"""emst and single_linkage: the very tree of the key (squared length, i, j) that a brute-force
Kruskal finds, SciPy's single linkage, decompose's refusals, no dependence on workers or on the
layout of the input, failing allocations and the interpreter lock."""

import re
import sys
import threading
import time

import numpy as np
import pytest
from scipy.cluster import hierarchy

import quorlkit
from quorlkit import _core

import reference

DBL_MAX = sys.float_info.max


def squared_lengths(x, i, j):
    # The core's arithmetic: the squares summed for k = 0..d-1 in order from 0.0.
    acc = np.zeros(len(i))
    for k in range(x.shape[1]):
        diff = x[i, k] - x[j, k]
        acc = acc + diff * diff
    return acc


def kruskal(x):
    """The spanning tree of least key by brute force: all pairs i < j sorted by (squared length,
    i, j), each taken when it joins two components. Returns edges (m, 2) and squared lengths."""
    n = len(x)
    i, j = np.triu_indices(n, 1)
    sq = squared_lengths(x, i, j)
    picked = reference.kruskal(n, i, j, sq)
    return np.stack([i[picked], j[picked]], axis=1).reshape(-1, 2), sq[picked]


def points(kind, n, d, seed):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.random((n, d))
    if kind == "blobs":  # tight clusters far apart: long edges between them, short inside
        centers = rng.random((5, d)) * 100
        return centers[rng.integers(5, size=n)] + rng.normal(scale=1e-3, size=(n, d))
    if kind == "grid":  # heavy ties, and some equal points
        return rng.integers(0, 6, size=(n, d)).astype(np.float64)
    if kind == "duplicates":  # many copies of few points, zeros of either sign
        x = rng.integers(-1, 2, size=(4, d)).astype(np.float64)[rng.integers(4, size=n)]
        x[(x == 0) & (rng.random((n, d)) < 0.5)] = -0.0
        return x
    if kind == "underflow":  # distinct points whose squared lengths are all 0
        return rng.integers(0, 5, size=(n, d)) * 1e-170
    if kind == "subnormal":  # squared lengths of a few subnormal units: rounded to ties
        return rng.integers(0, 9, size=(n, d)) * 1e-161
    if kind == "huge":  # squared extents just short of overflow
        return rng.integers(-2, 3, size=(n, d)) * 2.0**500 / np.sqrt(d)
    if kind == "pow2":  # exponentially spaced in the first coordinate: deep trees
        x = rng.integers(-3, 4, size=(n, d)).astype(np.float64)
        x[:, 0] = rng.choice([-1.0, 1.0], size=n) * 2.0 ** rng.permutation(np.arange(-500, 500))[:n]
        return x
    raise ValueError(kind)


KINDS = ["uniform", "blobs", "grid", "duplicates", "underflow", "subnormal", "huge", "pow2"]
CASES = [
    pytest.param(kind, n, d, seed, id=f"{kind}-n{n}-d{d}-seed{seed}")
    for seed, kind in enumerate(KINDS)
    for d in range(1, 7)
    for n in (2, 3, 37, 300)
] + [
    pytest.param(kind, 2000, d, 100 + d, id=f"{kind}-n2000-d{d}-seed{100 + d}")
    for kind, d in [("uniform", 2), ("blobs", 3), ("grid", 2), ("duplicates", 4), ("uniform", 5)]
]


def assert_is_brute_force_tree(x):
    tree = quorlkit.emst(x)
    want_edges, want_sq = kruskal(np.asarray(x, dtype=np.float64))
    assert tree.edges.dtype == np.int64 and tree.lengths.dtype == np.float64
    np.testing.assert_array_equal(tree.edges, want_edges)
    # Bit for bit: the same squared lengths, rounded once by sqrt.
    np.testing.assert_array_equal(tree.lengths.view(np.int64), np.sqrt(want_sq).view(np.int64))
    return tree


@pytest.mark.parametrize("kind, n, d, seed", CASES)
def test_tree_is_kruskals_under_the_key(kind, n, d, seed):
    assert_is_brute_force_tree(points(kind, n, d, seed))


@pytest.mark.parametrize(
    "x",
    [
        [[0.0], [1.0], [2.0]],  # two edges of one length: ordered by ends
        [[0.0], [2.0], [1.0]],
        [[5.0, 5.0], [5.0, 5.0]],
        [[0.0, -0.0], [-0.0, 0.0], [1.0, 1.0]],
        [[1.0, 2.0, 3.0], [1.0, 2.0, 3.0], [1.0, 2.0, 3.0]],
        [[3.0], [3.0], [0.0], [0.0]],  # two pairs of equal points
        [[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [1.0, 1.0]],  # a square: four edges of one length
        [[2.0**-1074], [0.0], [-(2.0**-1074)]],
        [[DBL_MAX / 2, 0.0], [DBL_MAX / 2, 1.0], [DBL_MAX / 2, 1.0]],  # a huge constant axis
    ],
    ids=lambda x: repr(x),
)
def test_small_and_tied_inputs(x):
    assert_is_brute_force_tree(x)


@pytest.mark.parametrize("n", [0, 1])
@pytest.mark.parametrize("fn", ["emst", "single_linkage"])
def test_fewer_than_two_points(n, fn):
    x = np.full((n, 3), 1.5)
    if fn == "emst":
        tree = quorlkit.emst(x)
        assert tree.lengths.shape == (0,) and tree.lengths.dtype == np.float64
        assert tree.edges.shape == (0, 2) and tree.edges.dtype == np.int64
    else:
        z = quorlkit.single_linkage(x)
        assert z.shape == (0, 4) and z.dtype == np.float64


def assert_partitions_equal(a, b):
    # fcluster numbers clusters its own way: compare which points go together.
    _, ca = np.unique(a, return_inverse=True)
    _, cb = np.unique(b, return_inverse=True)
    pairs = np.unique(np.stack([ca, cb]), axis=1)
    assert pairs.shape[1] == len(np.unique(ca)) == len(np.unique(cb))


@pytest.mark.parametrize(
    "kind, n, d, seed",
    [
        pytest.param(k, n, d, s, id=f"{k}-n{n}-d{d}-seed{s}")
        for k, n, d, s in [
            ("uniform", 400, 2, 31),
            ("uniform", 300, 3, 32),
            ("uniform", 200, 6, 33),
            ("blobs", 400, 2, 34),
            ("uniform", 2, 1, 35),
        ]
    ],
)
def test_single_linkage_is_scipys_for_distinct_heights(kind, n, d, seed):
    x = points(kind, n, d, seed)
    z = quorlkit.single_linkage(x)
    want = hierarchy.linkage(x, "single")
    # SciPy's distances may round otherwise by an ulp: heights must be far enough apart that
    # its merge order is the same.
    h = np.sort(want[:, 2])
    assert np.all(np.diff(h) > 1e-12 * h[1:]), "the data has nearly tied heights"
    assert hierarchy.is_valid_linkage(z, throw=True)
    np.testing.assert_array_equal(z[:, [0, 1, 3]], want[:, [0, 1, 3]])
    np.testing.assert_array_max_ulp(z[:, 2], want[:, 2], maxulp=1)


@pytest.mark.parametrize(
    "kind, n, d, seed",
    [
        pytest.param(k, n, d, s, id=f"{k}-n{n}-d{d}-seed{s}")
        for k, n, d, s in [
            ("grid", 300, 2, 41),
            ("grid", 200, 3, 42),
            ("duplicates", 150, 2, 43),
            ("duplicates", 100, 5, 44),
            ("uniform", 250, 4, 45),
        ]
    ],
)
def test_single_linkage_agrees_with_scipy_under_ties(kind, n, d, seed):
    x = points(kind, n, d, seed)
    z = quorlkit.single_linkage(x)
    want = hierarchy.linkage(x, "single")
    assert hierarchy.is_valid_linkage(z, throw=True)
    assert hierarchy.is_monotonic(z)
    assert np.all(z[:, 0] < z[:, 1])
    np.testing.assert_array_max_ulp(hierarchy.cophenet(z), hierarchy.cophenet(want), maxulp=1)
    # Cut midway between SciPy's heights, where an ulp either way changes nothing.
    h = np.unique(want[:, 2])
    for t in ((h[1:] + h[:-1]) / 2)[:: max(1, len(h) // 8)]:
        assert_partitions_equal(
            hierarchy.fcluster(z, t, "distance"), hierarchy.fcluster(want, t, "distance")
        )
    leaves = hierarchy.dendrogram(z, no_plot=True)["leaves"]
    assert sorted(leaves) == list(range(n))


def test_linkage_of_any_tree_sorts_its_edges_stably():
    x = points("uniform", 200, 3, seed=51)
    tree = quorlkit.emst(x)
    perm = np.random.default_rng(51).permutation(len(tree.lengths))
    shuffled = quorlkit.MinimumSpanningTree(tree.lengths[perm], tree.edges[perm][:, ::-1])
    np.testing.assert_array_equal(quorlkit.linkage(shuffled), quorlkit.single_linkage(x))


@pytest.mark.parametrize(
    "edges, lengths, error, message",
    [
        ([[0, 1], [1, 2], [0, 2]], [1.0, 2.0, 3.0], ValueError, r"edge 2 joins points 0 and 2"),
        ([[0, 1], [1, 1]], [1.0, 2.0], ValueError, r"edge 1 joins points 1 and 1"),
        ([[0, 1], [1, 3]], [1.0, 2.0], ValueError, r"edge 1 has an end outside 0\.\.2"),
        ([[0, -1]], [1.0], ValueError, r"edge 0 has an end outside 0\.\.1"),
        ([[0, 1], [1, 2]], [1.0], ValueError, r"lengths must have shape \(2,\)"),
        ([[0, 1, 2]], [1.0], ValueError, r"edges must have shape \(m, 2\)"),
        ([[0, 1], [1, 2]], [1.0, np.nan], ValueError, r"lengths must not be NaN \(row 1\)"),
        ([[0.0, 1.0]], [1.0], TypeError, r"edges must hold integers"),
    ],
)
def test_linkage_refuses_what_is_not_a_spanning_tree(edges, lengths, error, message):
    tree = quorlkit.MinimumSpanningTree(np.array(lengths), np.array(edges))
    with pytest.raises(error, match=message):
        quorlkit.linkage(tree)


def test_core_linkage_refuses_the_wrong_count():
    with pytest.raises(ValueError, match=r"a spanning tree of 5 points has 4 edges, not 2"):
        _core.linkage(5, np.array([[0, 1], [1, 2]]), np.array([1.0, 2.0]), True)


GRID = [[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]]


@pytest.mark.parametrize(
    "x, error, message",
    [
        ([[0.0, 1.0], [2.0, np.nan], [4.0, 0.5]], ValueError, "coordinate 1 is nan; coordinates must be finite"),
        ([[0.0, 1.0], [np.inf, 3.0]], ValueError, "coordinate 0 is inf; coordinates must be finite"),
        ([[0.0], [-np.inf]], ValueError, "coordinate 0 is -inf; coordinates must be finite"),
        ([[0.0], [DBL_MAX]], ValueError, "is too large; the magnitude of a coordinate must be at most"),
        ([[np.nextafter(DBL_MAX / 2, np.inf)]], ValueError, "is too large"),
        ([[DBL_MAX / 2], [-DBL_MAX / 2]], ValueError, "the points spread too far"),
        ([[0.0, 1.5e154], [0.0, -1.5e154]], ValueError, "the points spread too far"),
        (np.zeros((3, 0)), ValueError, "d must be at least 1 (got 0)"),
        (np.zeros((0, 0)), ValueError, "d must be at least 1 (got 0)"),
        ([0.0, 1.0, 2.0], ValueError, "points must be an array of shape (n, d), not of shape (3,)"),
        (np.zeros((2, 2, 2)), ValueError, "not of shape (2, 2, 2)"),
        (5.0, ValueError, "not of shape ()"),
        ([[0.0, 1.0], [2.0]], ValueError, "points must be an array of shape (n, d)"),
        (np.array([[0.0, None]], dtype=object), TypeError, "real numbers, not NoneType"),
        ([["0", "1"]], TypeError, "real numbers, not <U1"),
        (np.array([[1j, 2.0]]), TypeError, "real numbers, not complex128"),
    ],
    ids=lambda v: repr(v)[:40] if not isinstance(v, type) else v.__name__,
)
@pytest.mark.parametrize("fn", [quorlkit.emst, quorlkit.single_linkage])
def test_refused_in_decomposes_words(fn, x, error, message):
    with pytest.raises(error, match=re.escape(message)) as got:
        fn(x)
    with pytest.raises(error) as want:
        quorlkit.decompose(x, 1.0)
    assert str(got.value) == str(want.value)


def test_the_core_refuses_arrays_it_cannot_read():
    with pytest.raises(TypeError, match="C-contiguous float64"):
        _core.emst(np.zeros((3, 2), dtype=np.float32))
    with pytest.raises(TypeError, match="C-contiguous float64"):
        _core.emst(np.zeros((3, 2), order="F"))


def layouts(x):
    """The same points in other layouts and types."""
    big = np.zeros((2 * len(x) + 1, 3 * x.shape[1]))
    big[1::2, 2::3] = x
    ro = x.copy()
    ro.flags.writeable = False
    out = {
        "fortran": np.asfortranarray(x),
        "strided": big[1::2, 2::3],
        "reversed": x[::-1].copy()[::-1],
        "read-only": ro,
        "list": x.tolist(),
        "float32": x.astype(np.float32),
    }
    for t in (np.int8, np.uint16, np.int32, np.int64):
        out[np.dtype(t).name] = x.astype(t)
    out["object"] = x.astype(object)
    return out


@pytest.mark.parametrize("d", [1, 2, 5])
def test_tree_does_not_depend_on_layout(d):
    x = points("grid", 250, d, seed=60 + d)  # ties everywhere: ids break them
    want = quorlkit.emst(x)
    for name, y in layouts(x).items():
        got = quorlkit.emst(y)
        np.testing.assert_array_equal(got.edges, want.edges, err_msg=name)
        np.testing.assert_array_equal(got.lengths, want.lengths, err_msg=name)
        np.testing.assert_array_equal(quorlkit.single_linkage(y), quorlkit.single_linkage(x))


def test_points_are_left_as_they_were():
    x = points("duplicates", 200, 3, seed=65)
    before = x.copy()
    quorlkit.emst(x)
    quorlkit.single_linkage(x)
    np.testing.assert_array_equal(x.view(np.int64), before.view(np.int64))


def test_tree_does_not_depend_on_workers():
    x = points("blobs", 1500, 3, seed=70)
    want = quorlkit.emst(x)
    z = quorlkit.single_linkage(x)
    for workers in (None, 1, 2, -1, np.int64(3)):
        got = quorlkit.emst(x, workers=workers)
        np.testing.assert_array_equal(got.edges, want.edges, err_msg=repr(workers))
        np.testing.assert_array_equal(got.lengths, want.lengths, err_msg=repr(workers))
        np.testing.assert_array_equal(quorlkit.single_linkage(x, workers=workers), z)


@pytest.mark.parametrize(
    "workers, error, message",
    [
        (0, ValueError, "workers must be None, -1 or at least 1 (got 0)"),
        (-2, ValueError, "workers must be None, -1 or at least 1 (got -2)"),
        (1.5, TypeError, "workers must be None or an integer, not float"),
        (True, TypeError, "workers must be None or an integer, not bool"),
        ("2", TypeError, "workers must be None or an integer, not str"),
    ],
)
@pytest.mark.parametrize("fn", [quorlkit.emst, quorlkit.single_linkage])
def test_bad_workers(fn, workers, error, message):
    with pytest.raises(error, match=re.escape(message)):
        fn(GRID, workers=workers)


@pytest.fixture
def no_fault_left_behind():
    yield
    _core._fail_allocation_at(0)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


FAULT_INPUTS = [
    pytest.param(lambda: np.array([[1.0, 2.0]]), id="one-point"),
    pytest.param(lambda: np.array([[1.0, 2.0], [1.0, 2.0]]), id="two-equal"),
    pytest.param(lambda: points("duplicates", 9, 2, seed=80), id="duplicates-n9-d2-seed80"),
    pytest.param(lambda: points("grid", 60, 3, seed=81), id="grid-n60-d3-seed81"),
    pytest.param(lambda: points("uniform", 50, 6, seed=82), id="uniform-n50-d6-seed82"),
]


@pytest.mark.parametrize("make", FAULT_INPUTS)
@pytest.mark.parametrize("fn", [quorlkit.emst, quorlkit.single_linkage])
def test_every_failing_allocation_raises_memory_error(fn, make, no_fault_left_behind):
    x = make()
    before = x.copy()
    _core._fail_allocation_at(0)
    want = fn(x)
    total = _core._allocation_count()
    assert total > 0
    for k in range(1, total + 1):
        _core._fail_allocation_at(k)
        with pytest.raises(MemoryError):
            fn(x)
        assert _core._allocation_count() == k, f"k={k}: the call went on after the failure"
        _core._fail_allocation_at(0)
        np.testing.assert_array_equal(x, before, err_msg=f"k={k}: points changed")
        got = fn(x)
        for a, b in zip(got, want) if isinstance(want, tuple) else [(got, want)]:
            np.testing.assert_array_equal(a, b, err_msg=f"k={k}: next call differs")


def test_failing_calls_do_not_leak(no_fault_left_behind):
    x = np.concatenate([points("uniform", 250, 2, seed=83), points("duplicates", 50, 2, seed=83)])
    _core._fail_allocation_at(0)
    quorlkit.single_linkage(x)
    total = _core._allocation_count()
    ks = list(range(1, total + 1, max(1, total // 50)))

    def sweep():
        for k in ks:
            _core._fail_allocation_at(k)
            with pytest.raises(MemoryError):
                quorlkit.single_linkage(x)

    for _ in range(3):  # warm up the allocator's pools
        sweep()
    before = rss_bytes()
    for _ in range(20):
        sweep()
    # A leak of the tree or of the neighbour rows per failing call would be MiBs here.
    assert rss_bytes() - before < 1 << 20


@pytest.mark.parametrize(
    "call,n",
    [
        (lambda x: quorlkit.decompose(x, 2.0), 400_000),
        (quorlkit.emst, 300_000),
        (lambda x: quorlkit.knn(x, 10), 300_000),
        (lambda x: quorlkit.HDBSCAN(min_cluster_size=15).fit(x), 200_000),
        (lambda x: quorlkit.spanner(x, 2.0), 4_000),
    ],
    ids=["decompose", "emst", "knn", "hdbscan", "spanner"],
)
def test_the_interpreter_lock_is_released_while_the_core_runs(call, n):
    x = points("uniform", n, 2, seed=90)
    beats = []
    stop = threading.Event()

    def beat():
        while not stop.is_set():
            beats.append(time.perf_counter())

    worker = threading.Thread(target=beat)
    worker.start()
    try:
        time.sleep(0.01)
        t0 = time.perf_counter()
        call(x)
        t1 = time.perf_counter()
    finally:
        stop.set()
        worker.join()
    inside = [t0] + [t for t in beats if t0 < t < t1] + [t1]
    longest_silence = max(b - a for a, b in zip(inside, inside[1:]))
    # Holding the lock, the other thread would be silent for the whole core run.
    assert t1 - t0 > 0.05
    assert longest_silence < 0.5 * (t1 - t0), (longest_silence, t1 - t0)
