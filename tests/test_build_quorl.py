import math
import random

import pytest

import quorl
from quorl import build_quorl, point

import reference


def pts(*coords):
    return [point(list(c) if isinstance(c, (list, tuple)) else [c]) for c in coords]


def test_docstrings():
    assert quorl.__doc__ == "Well-separated pair decomposition (QUORL) plugin"
    assert build_quorl.__doc__ == (
        "build_quorl(arg0: int, arg1: int, arg2: float, arg3: List[point])"
        " -> List[Tuple[List[int], List[int]]]\n\n"
        "The function that computes QUORL following the Callahan and Kosaraju"
        " O(n log(n)) algorithm\n"
    )
    assert point.__init__.__doc__ == "__init__(self: quorl.point, arg0: List[float]) -> None\n"
    assert point.coord.__doc__ == "coord(self: quorl.point) -> List[float]\n"


def test_public_attributes():
    assert {a for a in dir(quorl) if not a.startswith("_")} == {"build_quorl", "point"}


# Expected values worked out by hand from the construction rules (tree of 0, 1, 3: root cuts
# off 3, then 0 is cut off from {0, 1}; the leaf left of a cut is the remaining point).
@pytest.mark.parametrize(
    "n, d, s, coords, expected",
    [
        pytest.param(0, 1, 1.0, [], [], id="empty"),
        pytest.param(0, 3, 1.0, [[1.0], [1.0]], [], id="n=0 ignores the points"),
        pytest.param(1, 2, 1.0, [[0.5, 2.0]], [], id="one point"),
        pytest.param(2, 1, 1.0, [0.0, 1.0], [([1], [0])], id="two points"),
        pytest.param(2, 1, 1, [0.0, 1.0], [([1], [0])], id="int s"),
        pytest.param(2, 1, 0.0, [0.0, 1.0], [([1], [0])], id="s=0"),
        pytest.param(2, 1, -3.5, [0.0, 1.0], [([1], [0])], id="negative s"),
        pytest.param(2, 1, 1e300, [0.0, 1.0], [([1], [0])], id="huge s, two leaves"),
        pytest.param(2, 1, 1.0, [1.0, 0.0], [([0], [1])], id="positions, not coordinates"),
        pytest.param(2, 2, 1.0, [(0.0, 5.0), (3.0, 5.0)], [([1], [0])], id="one differing dim"),
        pytest.param(3, 1, 1.0, [0.0, 1.0, 3.0], [([1], [0]), ([1, 0], [2])], id="0,1,3 s=1"),
        pytest.param(
            3, 1, 3.0, [0.0, 1.0, 3.0], [([1], [0]), ([1], [2]), ([0], [2])], id="0,1,3 gap=s*r"
        ),
        # The hand-built tree of the pair search's worked example: the node over p0 and p1
        # (left leaf p0, right leaf p1) and the leaf of p2, 9.5 from its center.
        pytest.param(3, 1, 1.0, [1.0, 0.0, 10.0], [([0], [1]), ([0, 1], [2])], id="worked s=1"),
        pytest.param(
            3, 1, 17.0, [1.0, 0.0, 10.0], [([0], [1]), ([0], [2]), ([1], [2])], id="worked s=17"
        ),
        pytest.param(3, 1, 16.999, [1.0, 0.0, 10.0], [([0], [1]), ([0, 1], [2])], id="below 17"),
        # {2, 3} against {0, 1}: equal radii 0.5, gap 1 = s*r, so the second node is split and
        # its left child (the leaf of 1) comes first.
        pytest.param(
            4, 1, 2.0, [0.0, 1.0, 2.0, 3.0],
            [([3], [2]), ([1], [0]), ([3], [1]), ([2], [1]), ([3, 2], [0])],
            id="equal radii split the second node",
        ),
        pytest.param(
            4, 1, 0.0, [0.0, 1.0, 2.0, 3.0], [([3], [2]), ([1], [0]), ([3, 2], [1, 0])], id="0..3"
        ),
        # The cut 0.6 * 0.5 + 0.1 is 0.4 and takes the middle point with the low end; the box
        # center (0.7 + 0.1) * 0.5 lies just below 0.4 and would not.
        pytest.param(
            3, 1, 0.0, [0.1, 0.4, 0.7], [([1], [0]), ([2], [1, 0])], id="cut is not the center"
        ),
        # Only the first n points take part; the rest may be anything.
        pytest.param(
            3, 1, 1.0, [[0.0], [1.0], [3.0], [0.0], [math.nan], []],
            [([1], [0]), ([1, 0], [2])], id="n below the number of points",
        ),
        pytest.param(
            2, 1, 1.0, [[0.0, math.inf], [1.0], [1.0]], [([1], [0])], id="only d coords used"
        ),
    ],
)
def test_examples(n, d, s, coords, expected):
    assert build_quorl(n, d, s, pts(*coords)) == expected


@pytest.mark.parametrize(
    "coords, expected",
    [
        ([0.0, 1.0, 3.0], (((1.0,), (0.0,)), (3.0,))),
        ([0.0, 1.0, 2.0], ((2.0,), ((1.0,), (0.0,)))),
        ([1.0, 2.0, 4.0, 8.0, 16.0], (((((2.0,), (1.0,)), (4.0,)), (8.0,)), (16.0,))),
        (
            [(0.0, 0.0), (1.0, 6.0), (2.0, 1.0), (3.0, 8.0)],
            (((3.0, 8.0), (1.0, 6.0)), ((2.0, 1.0), (0.0, 0.0))),
        ),
    ],
)
def test_reference_builds_the_documented_trees(coords, expected):
    coords = [c if isinstance(c, tuple) else (c,) for c in coords]
    root = reference.build_tree(list(enumerate(coords)), len(coords[0]))
    assert reference.shape(root) == expected
    if len(coords[0]) == 2:
        assert root.center == [1.5, 4.0] and root.radius == math.sqrt(18.25)
        assert root.right.radius == math.sqrt(1.25) and root.left.radius == math.sqrt(2.0)


def test_points_unchanged_and_calls_independent():
    coords = [[0.5, -1.0, 7.0], [2.0, 3.0], [-0.0, 4.0], [1.0, 1.0]]
    points = pts(*coords)
    first = build_quorl(4, 2, 1.0, points)
    other = build_quorl(3, 1, 0.0, pts(0.0, 1.0, 3.0))
    assert build_quorl(4, 2, 1.0, points) == first
    assert other == [([1], [0]), ([1, 0], [2])]
    assert [p.coord() for p in points] == coords
    assert build_quorl(4, 2, 1.0, tuple(points)) == first


def random_coords(rng, n, d, grid):
    """n distinct points; integer grids give many ties per coordinate."""
    seen, out = set(), []
    while len(out) < n:
        if grid:
            c = tuple(float(rng.randint(0, grid)) for _ in range(d))
        else:
            c = tuple(rng.choice([rng.uniform(-9, 9), rng.randint(-2, 2) * 1.0]) for _ in range(d))
        if c not in seen:
            seen.add(c)
            out.append(c)
    return out


@pytest.mark.parametrize("s", [0, 0.5, 1.0, 2.0, 5.0])
@pytest.mark.parametrize("d", [1, 2, 3, 4, 5])
def test_agrees_with_reference(d, s):
    rng = random.Random(1000 * d + int(10 * s))
    for grid in (3, 7, 40, None):
        n = rng.randint(2, min(70, (grid + 1) ** d if grid else 70))
        coords = random_coords(rng, n, d, grid)
        extra = [list(c) for c in coords[: rng.randint(0, 3)]]  # duplicates past n are ignored
        got = build_quorl(n, d, s, pts(*coords, *extra))
        assert got == [tuple(p) for p in reference.decompose(n, d, s, coords)]


def test_distance_is_summed_in_dimension_order():
    # The node over points 0 and 2 against point 1: s is chosen so that the gap equals s * r
    # exactly when the squares are added for dimensions 0, 1, 2 in that order (summed the
    # other way round the gap is larger), so the node must be split.
    coords = [(0.1, 0.7, 0.7), (2.0, 0.7, 3.0), (0.1, 2.0, 1.3)]
    center, r = reference.bounding_sphere([coords[0], coords[2]], 3)
    dist = reference.center_distance(center, coords[1], 3)
    s = (dist - 2 * r) / r
    assert dist - 2 * r == s * r
    backwards = 0.0
    for i in (2, 1, 0):
        backwards = backwards + (center[i] - coords[1][i]) * (center[i] - coords[1][i])
    assert math.sqrt(backwards) - 2 * r > s * r
    assert build_quorl(3, 3, s, pts(*coords)) == [([2], [0]), ([2], [1]), ([0], [1])]
