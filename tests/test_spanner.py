"""spanner: the stretch on every pair (csgraph's shortest paths), the edge count against an exact
greedy spanner, equal points, the edge limit and its message, refusals, failing allocations."""

import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy.sparse.csgraph import shortest_path

import quorlkit
from quorlkit import _core

TOLERANCE = 1e-9  # the docstring's


def make(kind, n, d, seed):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.random((n, d))
    if kind == "grid":  # ties everywhere, equal points among them
        return rng.integers(0, 6, (n, d)).astype(float)
    if kind == "clusters":  # far-apart groups: the long edges come from the cover
        centers = rng.random((6, d)) * 1000
        return centers[rng.integers(0, 6, n)] + rng.random((n, d))
    if kind == "line":  # every point between two others: no slack at all
        x = np.zeros((n, d))
        x[:, 0] = rng.permutation(n)
        return x
    if kind == "underflow":  # distinct points whose squared distances round to 0
        return rng.integers(0, 4, (n, d)) * 1e-170
    raise ValueError(kind)


def distances(x):
    acc = np.zeros((len(x), len(x)))
    for c in range(x.shape[1]):
        diff = x[:, None, c] - x[None, :, c]
        acc = acc + diff * diff
    return np.sqrt(acc)


def assert_spanner(x, g, t):
    n = len(x)
    assert g.shape == (n, n)
    assert (g != g.T).nnz == 0, "not symmetric"
    assert g.diagonal().sum() == 0 and all(g.indices[g.indptr[i]:g.indptr[i + 1]].tolist()
                                           .count(i) == 0 for i in range(n))
    rows, cols = g.nonzero() if g.nnz else (np.array([], int), np.array([], int))
    coo = g.tocoo()
    dist = distances(x)
    # Every stored length is the distance of its ends (explicit zeros included).
    assert np.array_equal(coo.data, dist[coo.row, coo.col])
    path = shortest_path(g, directed=False)
    assert np.all(path <= t * dist * (1 + TOLERANCE)), np.max(path / np.maximum(dist, 1e-300))


@pytest.mark.parametrize(
    "kind,n,d,t",
    [
        ("uniform", 1500, 2, 2.0),
        ("uniform", 1500, 2, 1.5),
        ("uniform", 800, 2, 1.1),
        ("uniform", 1000, 3, 2.0),
        ("uniform", 600, 3, 1.25),
        ("uniform", 400, 5, 1.5),
        ("uniform", 300, 1, 1.01),
        ("grid", 1200, 2, 1.5),
        ("grid", 800, 3, 2.0),
        ("clusters", 1500, 2, 1.5),
        ("clusters", 900, 3, 3.0),
        ("line", 500, 2, 1.2),
        ("underflow", 300, 2, 1.5),
    ],
)
def test_every_pair_is_joined_within_t_times_its_distance(kind, n, d, t):
    x = make(kind, n, d, seed=n + d)
    assert_spanner(x, quorlkit.spanner(x, t), t)


def exact_greedy_edges(x, t):
    """The greedy spanner's edge count: all pairs by length, each kept when the graph has no
    path within t times it, with all-pairs path lengths updated on each added edge."""
    n = len(x)
    dist = distances(x)
    path = np.full((n, n), np.inf)
    np.fill_diagonal(path, 0.0)
    iu, ju = np.triu_indices(n, 1)
    order = np.argsort(dist[iu, ju], kind="stable")
    count = 0
    for a in order:
        i, j = iu[a], ju[a]
        if path[i, j] <= t * dist[i, j]:
            continue
        count += 1
        w = dist[i, j]
        via = np.minimum(path[:, i, None] + w + path[None, j, :], path[:, j, None] + w + path[None, i, :])
        np.minimum(path, via, out=path)
    return count


@pytest.mark.parametrize("d,t", [(2, 1.1), (2, 1.5), (2, 2.0), (3, 1.5), (3, 2.0)])
def test_the_edge_count_is_close_to_the_greedy_spanners(d, t):
    x = make("uniform", 400, d, seed=7 * d)
    ours = quorlkit.spanner(x, t).nnz // 2
    greedy = exact_greedy_edges(x, t)
    assert greedy <= ours <= 1.3 * greedy, (ours, greedy)


def test_equal_points_are_joined_at_length_zero_to_their_first_copy():
    x = np.array([[1.0, 2.0], [0.0, 0.0], [1.0, 2.0], [-0.0, 0.0], [1.0, 2.0], [5.0, 5.0]])
    g = quorlkit.spanner(x, 2.0)
    coo = g.tocoo()
    zero = sorted((int(i), int(j)) for i, j, v in zip(coo.row, coo.col, coo.data) if v == 0 and i < j)
    assert zero == [(0, 2), (0, 4), (1, 3)]
    assert_spanner(x, g, 2.0)


@pytest.mark.parametrize("n", [0, 1, 2, 3])
def test_tiny_inputs(n):
    x = make("uniform", n, 2, seed=3)
    g = quorlkit.spanner(x, 1.5)
    assert g.shape == (n, n)
    assert g.nnz == (0 if n < 2 else 2 * (n - 1) if n == 2 else g.nnz)
    if n >= 2:
        assert_spanner(x, g, 1.5)


def test_all_points_equal():
    g = quorlkit.spanner(np.ones((50, 3)), 1.5)
    assert g.nnz == 2 * 49 and np.all(g.data == 0)
    assert set(g.tocoo().row[g.tocoo().col > g.tocoo().row].tolist()) == {0}


def test_the_result_does_not_depend_on_workers_or_layout():
    x = make("grid", 700, 2, seed=5)
    want = quorlkit.spanner(x, 1.5)
    for variant in (np.asfortranarray(x), x.astype(np.int64), x.tolist()):
        for workers in (None, 1, 2, 3, -1):
            got = quorlkit.spanner(variant, 1.5, workers=workers)
            assert (got != want).nnz == 0 and np.array_equal(got.indices, want.indices)


def test_above_max_edges_a_memory_error_says_what_was_kept_and_what_to_change():
    x = make("uniform", 500, 2, seed=11)
    edges = quorlkit.spanner(x, 1.5).nnz // 2
    assert quorlkit.spanner(x, 1.5, max_edges=edges).nnz == 2 * edges
    with pytest.raises(MemoryError) as err:
        quorlkit.spanner(x, 1.5, max_edges=edges - 1)
    text = str(err.value)
    assert f"after {edges - 1} edges" in text and f"max_edges={edges - 1}" in text
    assert "larger t" in text
    with pytest.raises(MemoryError, match="after 0 edges"):
        quorlkit.spanner(np.zeros((5, 2)), 1.5, max_edges=3)  # 4 copies need 4 edges


GUARDED = textwrap.dedent(
    """
    import resource, sys
    import numpy as np
    import quorlkit
    # In 10-D, t = 1.01 asks for most of the n^2 / 2 pairs: far more edges than 32 MiB hold.
    x = np.random.default_rng(0).random((int(sys.argv[1]), 10))
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + (32 << 20), hard))
    try:
        print("ok", quorlkit.spanner(x, 1.01).nnz)
    except MemoryError as e:
        print("MemoryError", e)
    """
)


@pytest.mark.parametrize("n,refused", [(3_000, True), (12, False)])
def test_by_default_the_limit_is_what_the_available_memory_holds(n, refused):
    run = subprocess.run([sys.executable, "-c", GUARDED, str(n)], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    out = run.stdout.strip()
    if refused:
        assert re.match(r"MemoryError spanner stopped after \d+ edges", out), out
        assert "the memory available when the call began holds (the headroom under RLIMIT_AS)" in out
    else:
        assert out == f"ok {n * (n - 1)}"  # 12 points in 10-D at t = 1.01: every pair


@pytest.mark.parametrize(
    "args,kwargs,error,match",
    [
        (([[0.0], [1.0]], 1.0), {}, ValueError, "t must be a finite number above 1"),
        (([[0.0], [1.0]], 0.5), {}, ValueError, "above 1"),
        (([[0.0], [1.0]], float("nan")), {}, ValueError, "above 1"),
        (([[0.0], [1.0]], float("inf")), {}, ValueError, "above 1"),
        (([[0.0], [1.0]], True), {}, TypeError, "t must be a real number"),
        (([[0.0], [1.0]], "2"), {}, TypeError, "t must be a real number"),
        (([[0.0], [1.0]], 2.0), {"max_edges": -1}, ValueError, r"max_edges must be None or at least 0 \(got -1\)"),
        (([[0.0], [1.0]], 2.0), {"max_edges": 1.5}, TypeError, "max_edges must be None or an integer"),
        (([[0.0], [1.0]], 2.0), {"max_edges": True}, TypeError, "not bool"),
        (([[0.0], [1.0]], 2.0), {"workers": 0}, ValueError, "workers"),
        (([[0.0], [float("nan")]], 2.0), {}, ValueError, "position 1"),
        (([0.0, 1.0], 2.0), {}, ValueError, r"shape \(n, d\)"),
    ],
)
def test_refusals(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        quorlkit.spanner(*args, **kwargs)


def test_every_failing_allocation_is_a_memory_error_and_the_next_call_is_whole():
    x = make("grid", 120, 2, seed=13)
    _core._fail_allocation_at(0)
    want = quorlkit.spanner(x, 1.5)
    total = _core._allocation_count()
    assert total > 0
    try:
        for k in range(1, total + 1):
            _core._fail_allocation_at(k)
            with pytest.raises(MemoryError):
                quorlkit.spanner(x, 1.5)
            _core._fail_allocation_at(0)
            got = quorlkit.spanner(x, 1.5)
            assert (got != want).nnz == 0, f"after failure {k}"
    finally:
        _core._fail_allocation_at(0)
