import math
import sys

import pytest

from quorl import build_quorl, point

import reference

HALF_MAX = sys.float_info.max / 2
ABOVE_HALF_MAX = math.nextafter(HALF_MAX, math.inf)
INT32_MAX = 2**31 - 1


def pts(coords):
    return [point(list(c)) for c in coords]


GRID = [[0.0, 1.0], [2.0, 3.0], [4.0, 0.5]]


@pytest.mark.parametrize(
    "n, d, s, coords, message",
    [
        (-1, 1, 1.0, GRID, r"^n must not be negative"),
        (-(2**31), 1, 1.0, GRID, r"^n must not be negative"),
        (4, 1, 1.0, GRID, r"n = 4 is larger than the number of points \(3\)"),
        (INT32_MAX, 1, 1.0, GRID, r"larger than the number of points \(3\)"),
        (1, 1, 1.0, [], r"larger than the number of points \(0\)"),
        (3, 0, 1.0, GRID, r"^d must be at least 1"),
        (0, 0, 1.0, [], r"^d must be at least 1"),
        (3, -1, 1.0, GRID, r"^d must not be negative"),
        (0, -(2**31), 1.0, [], r"^d must not be negative"),
        (3, 3, 1.0, GRID, r"point at position 0 has 2 coordinates, fewer than d = 3"),
        (3, 2, 1.0, [[0.0, 1.0], [2.0, 3.0], [4.0]], r"position 2 has 1 coordinates"),
        (2, 1, 1.0, [[0.0], []], r"position 1 has 0 coordinates"),
        (3, 2, 1.0, [[0.0, 1.0], [2.0, math.nan], [4.0, 0.5]], r"position 1: coordinate 1 is nan"),
        (3, 2, 1.0, [[0.0, 1.0], [2.0, 3.0], [math.inf, 0.5]], r"position 2: coordinate 0 is inf"),
        (2, 1, 1.0, [[-math.inf], [2.0]], r"position 0: coordinate 0 is -inf"),
        (3, 2, math.nan, GRID, r"^s must be finite"),
        (3, 2, math.inf, GRID, r"^s must be finite"),
        (3, 2, -math.inf, GRID, r"^s must be finite"),
        (2, 1, 1.0, [[0.0], [ABOVE_HALF_MAX]], r"position 1: coordinate 0 = .* too large"),
        (2, 2, 1.0, [[0.0, -sys.float_info.max], [1.0, 0.0]], r"position 0: coordinate 1 = .*"),
        (2, 1, 1.0, [[HALF_MAX], [-HALF_MAX]], r"spread too far"),
        # Each dimension's squared extent (1e308) is finite, only their sum overflows.
        (2, 2, 1.0, [[0.0, 0.0], [1e154, 1e154]], r"spread too far"),
        (2, 2, 1.0, [[-5e153, 5e153], [5e153, -5e153]], r"spread too far"),
        (3, 2, 1.0, [[0.0, 1.0], [2.0, 3.0], [0.0, 1.0]], r"positions 0 and 2 are equal"),
        (2, 2, 1.0, [[-0.0, 1.0], [0.0, 1.0]], r"points at positions 0 and 1 are equal"),
        (2, 1, 1.0, [[3.0, 1.0], [3.0, 2.0]], r"positions 0 and 1 are equal in their first 1 "),
        (4, 1, 1.0, [[0.0], [1.0], [2.0], [1.0]], r"points at positions 1 and 3 are equal"),
        (
            1000, 2, 1.0, [[float(i), 0.0] for i in range(999)] + [[5.0, -0.0]],
            r"points at positions 5 and 999 are equal",
        ),
    ],
)
def test_refused_with_value_error(n, d, s, coords, message):
    points = pts(coords)
    with pytest.raises(ValueError, match=message):
        build_quorl(n, d, s, points)
    assert [repr(p.coord()) for p in points] == [repr(list(c)) for c in coords]


P2 = pts([[0.0], [1.0]])


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((2.0, 1, 1.0, P2), {}),
        ((2, 1.0, 1.0, P2), {}),
        ((2**31, 1, 1.0, P2), {}),
        ((-(2**31) - 1, 1, 1.0, P2), {}),
        ((2, 2**31, 1.0, P2), {}),
        ((2, 1, "1.0", P2), {}),
        ((2, 1, None, P2), {}),
        ((2, 1, 1.0, "ab"), {}),
        ((2, 1, 1.0, P2[0]), {}),
        ((2, 1, 1.0, [P2[0], None]), {}),
        ((2, 1, 1.0, [P2[0], [1.0]]), {}),
        ((2, 1, 1.0), {}),
        ((2, 1, 1.0, P2, P2), {}),
        ((), {"n": 2, "d": 1, "s": 1.0, "points": P2}),
        ((2, 1, 1.0), {"arg3": P2}),
    ],
)
def test_refused_with_type_error(args, kwargs):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        build_quorl(*args, **kwargs)


class Index:
    def __index__(self):
        return 2


def test_integer_like_n_accepted():
    assert build_quorl(Index(), 1, True, P2) == [([1], [0])]


def up(x, k=1):
    for _ in range(k):
        x = math.nextafter(x, math.inf)
    return x


@pytest.mark.parametrize(
    "d, coords",
    [
        # Near DBL_MAX / 2 neighbouring doubles are already too far apart for the squared
        # extent, so the largest magnitudes are only usable in a dimension without extent.
        (1, [[HALF_MAX]]),
        (2, [[HALF_MAX, 0.0], [HALF_MAX, 1.0], [HALF_MAX, 3.0]]),
        (3, [[1.0, -HALF_MAX, 2.0], [0.0, -HALF_MAX, 2.0], [0.5, -HALF_MAX, -2.0]]),
        (2, [[0.0, 0.0], [9e153, 9e153], [1e153, 0.0]]),
        # Distinct points whose squared distances underflow to 0.
        (1, [[0.0], [1e-300]]),
        (1, [[0.0], [5e-324]]),
        (1, [[5e-324 * k] for k in (3, 0, 2, 1)]),
        (2, [[1e-302 * i, 1e-302 * (i % 4)] for i in range(40)]),
        (3, [[1e-300 * (i % 3), 1e-300 * (i // 3 % 3), 1e-300 * (i // 9)] for i in range(27)]
            + [[1.0, 0.0, 0.0], [3.0, 0.0, 1.0]]),
        # Neighbouring doubles.
        (1, [[1.0], [up(1.0)]]),
        (1, [[up(1.0, k)] for k in (4, 1, 0, 3, 2, 7)]),
        (2, [[up(1e6, i), up(-2.0, j)] for i in range(4) for j in range(4)]),
    ],
)
@pytest.mark.parametrize("s", [0.0, 1.0, 5.0])
def test_accepted_at_the_edges(d, coords, s):
    n = len(coords)
    got = build_quorl(n, d, s, pts(coords))
    assert reference.pair_counts(got) == {(i, j): 1 for i in range(n) for j in range(i + 1, n)}
    assert got == [tuple(p) for p in reference.decompose(n, d, s, coords)]
