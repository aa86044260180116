"""Geometry chosen to break the construction: the deepest trees that doubles allow, degenerate
shapes, heavy ties, extreme magnitudes and large inputs."""

import math
import random
import sys
import threading

import pytest

from quorl import build_quorl, point

import reference
import wspd_check

HALF_MAX = sys.float_info.max / 2  # the largest coordinate magnitude that is accepted
ULP_1 = math.nextafter(1.0, 2.0)


def pow2(e, step=0):
    """2^e raised by `step` ulps of its mantissa: with step = e - lowest exponent, successive
    values differ by a factor a little above 2, so every midpoint cut takes a single point."""
    return math.ldexp(1.0 + step * 2.0**-52, e)


def axes(d, lo, hi, spaced=False, both=False):
    """Points on every axis at 2^e for e in [lo, hi] (and their negatives when `both`)."""
    rows = []
    for k in range(d):
        for e in range(lo, hi + 1):
            for sign in (1.0, -1.0) if both else (1.0,):
                row = [0.0] * d
                row[k] = sign * pow2(e, e - lo if spaced else 0)
                rows.append(row)
    return rows


def grid(*sides):
    rows = [[]]
    for side in sides:
        rows = [r + [float(x)] for r in rows for x in range(side)]
    return rows


def clusters(rng, centers, per):
    """`per` points around each center, spread over a thousand ulps of its coordinates."""
    rows = {}
    for center in centers:
        for _ in range(per):
            row = tuple(c + rng.uniform(-1e3, 1e3) * max(math.ulp(c), 1e-12) for c in center)
            rows[row] = None
    return [list(r) for r in rows]


def circle(m, radius=1.0):
    angles = [2 * math.pi * k / m for k in range(m)]
    return [[radius * math.cos(a), radius * math.sin(a)] for a in angles]


R = random.Random(20240605)
CORNERS = [(0, 0, 0), (1e12, 0, 0), (0, -1e12, 1e12), (1e12, 1e12, 1e12)]
T2 = [k / 8 for k in R.sample(range(-99999, 99999), 1500)]
T3 = [R.uniform(-1e3, 1e3) for _ in range(1200)]
# name: (d, s, rows). Built once; each row distinct in its first d coordinates.
CASES = {
    "powers_up_to_extent_limit": (1, 1.0, axes(1, 0, 511)),
    "powers_down_to_smallest_subnormal": (1, 1.0, axes(1, -1074, 0)),
    "powers_both_signs": (1, 1.0, axes(1, -600, 510, both=True)),
    "big_x_then_tiny_y": (
        2, 1.0, [[2.0**i, 0.0] for i in range(511)] + [[0.0, 2.0**-j] for j in range(1, 1075)]
    ),
    "spaced_axes_3d": (3, 2.0, axes(3, -200, 200, spaced=True)),
    "line_2d": (2, 1.0, [[t, 0.75 * t + 3.0] for t in T2]),
    "line_3d": (3, 0.5, [[t, -2.0 * t, 0.5 * t] for t in T3]),
    "circle": (2, 1.0, circle(1000)),
    "circle_tiny": (2, 3.0, circle(400, 1e-150)),
    "integer_grid_2d": (2, 1.0, grid(35, 35)),
    "integer_grid_3d": (3, 2.0, grid(10, 10, 10)),
    "integer_grid_5d_binary": (5, 0.0, grid(2, 3, 2, 4, 3)),
    "clusters_far_apart": (3, 1.0, clusters(R, CORNERS, 150)),
    "clusters_nested_scales": (
        2, 1.0, clusters(R, [(0, 0), (1e-3, 0), (1e3, 1e3)], 100) + [[1e150, -1e150]]
    ),
    "two_points_one_ulp_apart": (1, 1.0, [[1.0], [ULP_1]]),
    "two_points_one_ulp_apart_3d": (3, 1.0, [[5.0, -7.0, 1.0], [5.0, -7.0, ULP_1]]),
    "smallest_subnormals_around_zero": (1, 1.0, [[0.0], [5e-324], [-5e-324], [1e-323]]),
    "near_1e300_shared_coordinates": (
        3, 1.0, [[1e300, -1e300, R.uniform(-1e150, 1e150)] for _ in range(500)]
    ),
    "largest_magnitude_with_ties": (
        3, 1.0, [[HALF_MAX, -HALF_MAX, k * 1e150] for k in range(-300, 300)]
    ),
}


def decompose(d, s, rows):
    return build_quorl(len(rows), d, s, [point(r) for r in rows])


def on_small_stack(fn):
    """Runs fn() on a thread with a 1 MiB stack and returns its result."""
    out = {}
    previous = threading.stack_size(1 << 20)
    try:
        thread = threading.Thread(target=lambda: out.setdefault("result", fn()))
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    assert "result" in out, "the call did not complete on a 1 MiB stack"
    return out["result"]


@pytest.mark.parametrize("name", sorted(CASES))
def test_adversarial_input_decomposes(name):
    d, s, rows = CASES[name]
    assert len({tuple(r[:d]) for r in rows}) == len(rows)
    wspd_check.check_decomposition(decompose(d, s, rows), rows, len(rows), d, s)


@pytest.mark.parametrize(
    "rows, accepted",
    [
        pytest.param([[1.0], [2.0**511]], True, id="2^511 from 1"),
        pytest.param([[1.0], [2.0**512]], False, id="2^512 from 1"),
        pytest.param([[-(2.0**510)], [2.0**510]], True, id="+-2^510"),
        pytest.param([[1e300], [math.nextafter(1e300, 0.0)]], False, id="1e300, 1 ulp apart"),
        pytest.param([[HALF_MAX, 0.0], [HALF_MAX, 1.0]], True, id="DBL_MAX/2"),
        pytest.param([[math.nextafter(HALF_MAX, math.inf), 0.0], [0.0, 1.0]], False, id="above"),
    ],
)
def test_extent_limits(rows, accepted):
    if accepted:
        d = len(rows[0])
        wspd_check.check_decomposition(decompose(d, 1.0, rows), rows, 2, d, 1.0)
    else:
        with pytest.raises(ValueError):
            decompose(len(rows[0]), 1.0, rows)


# Each a path-shaped tree; the signed axes also make the pair search descend two halves at once.
@pytest.mark.parametrize(
    "d, rows",
    [
        pytest.param(1, axes(1, -1074, 510, both=True), id="powers_both_signs"),
        pytest.param(2, axes(2, -1074, 510, spaced=True), id="spaced_axes_2d"),
        pytest.param(3, axes(3, -400, 400, spaced=True, both=True), id="signed_spaced_axes_3d"),
    ],
)
def test_deepest_trees_complete_on_a_1mib_thread_stack(d, rows):
    n = len(rows)
    pts = [point(r) for r in rows]
    result = on_small_stack(lambda: build_quorl(n, d, 1.0, pts))
    assert all(a and b for a, b in result)
    assert sum(len(a) * len(b) for a, b in result) == n * (n - 1) // 2
    assert result == build_quorl(n, d, 1.0, pts)


@pytest.mark.parametrize("d, s", [(2, 1.0), (3, 0.5)])
def test_hundred_thousand_points(d, s):
    rng = random.Random(1000 + d)
    n = 100_000
    rows = [[rng.random() for _ in range(d)] for _ in range(n)]
    result = decompose(d, s, rows)
    assert all(a and b for a, b in result)
    assert sum(len(a) * len(b) for a, b in result) == n * (n - 1) // 2
    # Separation of a sample of pairs, recomputed from their points.
    for a, b in rng.sample(result, 300):
        if len(a) > 1 or len(b) > 1:
            ca, ra = reference.bounding_sphere([rows[i] for i in a], d)
            cb, rb = reference.bounding_sphere([rows[i] for i in b], d)
            assert reference.separated(reference.center_distance(ca, cb, d), max(ra, rb), s)
    # Every partner of a sample of positions, each met exactly once.
    sample = set(rng.sample(range(n), 12))
    partners = {i: [i] for i in sample}
    for a, b in result:
        for side, other in ((a, b), (b, a)):
            if not sample.isdisjoint(side):
                for i in sample.intersection(side):
                    partners[i].extend(other)
    for i in sample:
        assert sorted(partners[i]) == list(range(n)), f"position {i}"
