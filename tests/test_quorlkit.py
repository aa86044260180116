import math
import os
import subprocess
import sys

import numpy as np
import pytest

import quorlkit
from quorl import build_quorl, point
from quorlkit import _core

import reference


def points_with_ties(rng, n, d, levels):
    """n distinct rows of d values from a grid of `levels` values per axis (ties everywhere)."""
    assert levels**d >= n, "the grid has too few points"
    seen, rows = set(), []
    while len(rows) < n:
        row = tuple(float(rng.integers(levels)) * 0.25 for _ in range(d))
        if row not in seen:
            seen.add(row)
            rows.append(row)
    return np.array(rows, dtype=np.float64).reshape(n, d)


def build(x, s):
    n, d = x.shape
    return build_quorl(n, d, s, [point(list(map(float, r))) for r in x])


CASES = [
    (d, n, levels, s)
    for d in range(1, 6)
    for n, levels in [(2, 3), (9, 3), (120, 6), (700, 40)]
    if levels**d >= n
    for s in (0.0, 1.0, 2.5)
]


@pytest.mark.parametrize("d, n, levels, s", CASES)
def test_to_lists_is_build_quorl(d, n, levels, s):
    rng = np.random.default_rng(1000 * d + n)
    x = points_with_ties(rng, n, d, levels)
    assert quorlkit.decompose(x, s).to_lists() == build(x, s)


@pytest.mark.parametrize("d, n", [(1, 300), (2, 400), (3, 250), (5, 120)])
def test_node_arrays_describe_the_tree(d, n):
    rng = np.random.default_rng(7 + d)
    x = points_with_ties(rng, n, d, {1: 1000, 2: 30}.get(d, 12))
    dec = quorlkit.decompose(x, 1.5)
    size, start = dec.node_size.astype(np.int64), dec.node_start.astype(np.int64)
    nodes = 2 * n - 1
    assert size.shape == start.shape == dec.node_radius.shape == (nodes,)
    assert dec.node_center.shape == (nodes, d)
    assert sorted(dec.order.tolist()) == list(range(n))
    assert (size[0], start[0]) == (n, 0)
    for i in range(nodes):
        members = x[dec.order[start[i] : start[i] + size[i]]]
        center, radius = reference.bounding_sphere(members.tolist(), d)
        assert dec.node_center[i].tolist() == center and dec.node_radius[i] == radius, i
        if size[i] == 1:
            continue
        left, right = i + 1, i + 2 * size[i + 1]
        assert size[left] + size[right] == size[i]
        assert start[left] == start[i] and start[right] == start[i] + size[left]
    # The pairs are node pairs of this tree and together meet every two points once.
    assert dec.pairs.shape == (len(dec), 2) and dec.pairs.dtype == np.int32
    assert dec.num_entries == int(size[dec.pairs].sum())
    met = sum(int(size[a]) * int(size[b]) for a, b in dec.pairs)
    assert met == n * (n - 1) // 2
    assert dec.depth == _depth(size)


def _depth(size):
    def height(i):
        if size[i] == 1:
            return 0
        return 1 + max(height(i + 1), height(i + 2 * int(size[i + 1])))

    return height(0)


def test_sides_are_views_of_order_and_iteration_follows_pairs():
    x = np.random.default_rng(3).random((60, 2))
    dec = quorlkit.decompose(x, 2.0)
    spelled = dec.to_lists()
    assert [(a.tolist(), b.tolist()) for a, b in dec] == spelled
    first, second = dec.side(-1)
    assert (first.tolist(), second.tolist()) == spelled[-1]
    assert np.shares_memory(first, dec.order) and np.shares_memory(second, dec.order)
    for bad in (len(dec), -len(dec) - 1):
        with pytest.raises(IndexError):
            dec.side(bad)
    with pytest.raises(TypeError):
        dec.side(1.0)


def test_arrays_are_read_only_and_not_made_by_hand():
    dec = quorlkit.decompose([[0.0, 0.0], [1.0, 2.0], [3.0, 1.0]], 1.0)
    for arr in (dec.order, dec.node_start, dec.node_size, dec.node_center, dec.node_radius, dec.pairs):
        with pytest.raises(ValueError):
            arr.flat[0] = 0
    with pytest.raises(TypeError, match="made by quorlkit.decompose"):
        quorlkit.Decomposition()


# Everything that is not a C-contiguous float64 array is converted once, to the same result.
@pytest.mark.parametrize(
    "convert",
    [
        pytest.param(lambda x: x.tolist(), id="lists"),
        pytest.param(lambda x: np.asfortranarray(x), id="fortran order"),
        pytest.param(lambda x: np.repeat(x, 2, axis=1)[:, ::2], id="strided"),
        pytest.param(lambda x: x.astype(np.float32), id="float32"),
        pytest.param(lambda x: (4 * x).astype(np.int64), id="int64"),
        pytest.param(lambda x: x.astype(object), id="object of floats"),
        pytest.param(lambda x: [tuple(r) for r in x.tolist()], id="tuples"),
    ],
)
def test_array_likes(convert):
    x = points_with_ties(np.random.default_rng(5), 80, 3, 8)
    want = build(np.asarray(convert(x), dtype=np.float64), 1.0)
    assert quorlkit.decompose(convert(x), 1.0).to_lists() == want


def test_empty_and_one_point():
    none = quorlkit.decompose(np.zeros((0, 3)), 1.0)
    assert (len(none), none.order.shape, none.node_size.shape, none.depth) == (0, (0,), (0,), 0)
    assert none.to_lists() == [] == build_quorl(0, 3, 1.0, [])
    one = quorlkit.decompose([[2.0, -0.0]], 1.0)
    assert (len(one), one.order.tolist(), one.node_radius.tolist(), one.depth) == (0, [0], [0.0], 0)


GRID = [[0.0, 1.0], [2.0, 3.0], [4.0, 0.5]]


# Refused like build_quorl, with its very message.
@pytest.mark.parametrize(
    "coords, s",
    [
        ([[0.0, 1.0], [2.0, math.nan], [4.0, 0.5]], 1.0),
        ([[0.0, 1.0], [math.inf, 3.0]], 1.0),
        ([[0.0, 1.0], [2.0, 3.0], [0.0, 1.0]], 1.0),
        ([[-0.0, 1.0], [0.0, 1.0]], 1.0),
        ([[0.0], [sys.float_info.max]], 1.0),
        ([[sys.float_info.max / 2], [-sys.float_info.max / 2]], 1.0),
        (GRID, math.nan),
        (GRID, -math.inf),
        ([[], []], 1.0),
        (np.zeros((0, 0)), 1.0),
    ],
)
def test_refused_as_build_quorl_refuses(coords, s):
    x = np.asarray(coords, dtype=np.float64)
    n, d = x.shape
    with pytest.raises(ValueError) as want:
        build_quorl(n, d, s, [point(list(r)) for r in x.tolist()])
    with pytest.raises(ValueError) as got:
        quorlkit.decompose(coords, s)
    assert str(got.value) == str(want.value)


@pytest.mark.parametrize(
    "points, s, error, message",
    [
        ([0.0, 1.0, 2.0], 1.0, ValueError, r"shape \(n, d\), not of shape \(3,\)"),
        (np.zeros((2, 2, 2)), 1.0, ValueError, r"not of shape \(2, 2, 2\)"),
        (5.0, 1.0, ValueError, r"not of shape \(\)"),
        ([[0.0, 1.0], [2.0]], 1.0, ValueError, r"^points must be an array of shape \(n, d\)"),
        (np.array([[0.0, None]], dtype=object), 1.0, TypeError, r"not NoneType"),
        (np.array([[0.0, "1"]], dtype=object), 1.0, TypeError, r"not str"),
        ([["0", "1"]], 1.0, TypeError, r"real numbers, not <U1"),
        (np.array([[1j, 2.0]]), 1.0, TypeError, r"not complex128"),
        (GRID, "1.0", TypeError, r"s must be a real number, not str"),
        (GRID, None, TypeError, r"s must be a real number, not NoneType"),
        (GRID, True, TypeError, r"s must be a real number, not bool"),
    ],
)
def test_bad_arrays(points, s, error, message):
    with pytest.raises(error, match=message):
        quorlkit.decompose(points, s)


def test_core_checks_arrays_made_by_hand():
    x = np.array([[0.0], [1.0], [3.0]])
    with pytest.raises(TypeError, match="C-contiguous float64"):
        _core.decompose(x.astype(np.float32), 1.0)
    dec = quorlkit.decompose(x, 1.0)
    arrays = [dec.order, dec.node_start, dec.node_size]
    with pytest.raises(ValueError, match="names node 9"):
        _core.to_lists(*arrays, np.array([[0, 9]], dtype=np.int32))
    with pytest.raises(ValueError, match="beyond the order"):
        _core.to_lists(dec.order, dec.node_start + 1, dec.node_size, dec.pairs)
    with pytest.raises(ValueError, match="shape"):
        _core.to_lists(*arrays, np.zeros(4, dtype=np.int32))
    with pytest.raises(ValueError, match="pre-order"):
        _core.tree_depth(np.array([3, 5, 1], dtype=np.int32))


def test_quorl_imports_without_numpy():
    code = "import sys, quorl; quorl.build_quorl(0, 1, 1.0, []); print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_stubs_match_the_extension(tmp_path):
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path))
    out = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quorlkit._core"],
        capture_output=True, text=True, cwd=tmp_path, env=env,
    )
    assert out.returncode == 0, out.stdout + out.stderr


def test_docstring_examples():
    import doctest

    import quorlkit._decomposition as module

    failed, attempted = doctest.testmod(module)
    assert attempted >= 6 and failed == 0
