"""Transformations of the input whose effect on the decomposition is known exactly."""

import math
import random

import pytest

from quorl import build_quorl, point


def run(d, s, rows):
    return build_quorl(len(rows), d, s, [point(r) for r in rows])


def draw_rows(seed, d, kind):
    """Distinct rows, seeded. "ties": few values per coordinate; "dyadic": multiples of 2^-4 up
    to 2^10; "pool": ten arbitrary doubles per input, shared by all coordinates."""
    rng = random.Random(seed)
    pool = [rng.uniform(-1.0, 1.0) for _ in range(10)]
    draw = {
        "ties": lambda: rng.randint(-4, 4) * 0.75,
        "dyadic": lambda: rng.randint(-(2**14), 2**14) / 16,
        "pool": lambda: rng.choice(pool),
    }[kind]
    n = min(300, (9 if kind == "ties" else 10) ** d)
    rows = {}
    while len(rows) < n:
        rows[tuple(draw() for _ in range(d))] = None
    return [list(r) for r in rows], rng.choice([0.0, 0.5, 1.0, 2.5, 7.0])


KINDS = ("ties", "dyadic", "pool")
CASES = [pytest.param(d, kind, id=f"{kind}-d{d}") for d in range(1, 6) for kind in KINDS]


@pytest.mark.parametrize("d, kind", CASES)
def test_permuting_points_relabels_the_same_pairs(d, kind):
    rows, s = draw_rows(10 * d + len(kind), d, kind)
    expected = run(d, s, rows)
    assert expected
    rng = random.Random(d)
    for _ in range(3):
        order = list(range(len(rows)))
        rng.shuffle(order)
        shuffled = run(d, s, [rows[k] for k in order])
        assert [([order[k] for k in a], [order[k] for k in b]) for a, b in shuffled] == expected


# On dyadic points every sum, difference, halving, square and root of the construction stays a
# normal number under these factors, and each is exact or rounds the same way scaled by 2^k: the
# tree and every separation test come out the same.
@pytest.mark.parametrize("k", [-500, -30, 7, 300])
@pytest.mark.parametrize("d, kind", [c for c in CASES if c.values[1] != "pool"])
def test_scaling_by_a_power_of_two_gives_the_same_pairs(d, kind, k):
    rows, s = draw_rows(10 * d + len(kind), d, kind)
    assert run(d, s, [[math.ldexp(x, k) for x in r] for r in rows]) == run(d, s, rows)


# Dyadic coordinates of at most 2^10 shifted by up to 2^40 need at most 45 significant bits, so
# coordinates, box ends, centers and cut values are shifted exactly, and widths, radii and
# center distances, made only of differences, are unchanged.
@pytest.mark.parametrize("shift", [2.0**20, -(2.0**40), 2.0**-4])
@pytest.mark.parametrize("d, kind", [c for c in CASES if c.values[1] != "pool"])
def test_translating_by_a_power_of_two_gives_the_same_pairs(d, kind, shift):
    rows, s = draw_rows(10 * d + len(kind), d, kind)
    assert run(d, s, [[x + shift for x in r] for r in rows]) == run(d, s, rows)
