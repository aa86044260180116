"""The property check that the fuzzers rely on must reject each way a decomposition can be wrong."""

import random

import pytest

from wspd_check import check_decomposition

LINE = [[0.0], [1.0], [3.0]]
CLUSTERS = [[0.0], [1.0], [100.0], [101.0]]


@pytest.mark.parametrize(
    "result, coords, s",
    [
        ([([1], [0]), ([1, 0], [2])], LINE, 1.0),
        ([([1], [0]), ([1], [2]), ([0], [2])], LINE, 3.0),
        ([([0], [1]), ([2], [3]), ([0, 1], [3, 2])], CLUSTERS, 2.0),
        ([], [[5.0]], 1.0),
        ([], [], 1.0),
    ],
)
def test_accepts_decompositions(result, coords, s):
    check_decomposition(result, coords, len(coords), 1, s)


def test_accepts_all_single_point_pairs():
    rng = random.Random(7)
    coords = [[rng.uniform(-1, 1), rng.uniform(-1, 1)] for _ in range(12)]
    result = [([i], [j]) for i in range(12) for j in range(i)]
    check_decomposition(result, coords, 12, 2, 1e300)


@pytest.mark.parametrize(
    "result, s, message",
    [
        ((([1], [0]), ([1, 0], [2])), 1.0, "not a list"),
        ([[[1], [0]], ([1, 0], [2])], 1.0, "not a tuple of two lists"),
        ([([1], [0], []), ([1, 0], [2])], 1.0, "not a tuple of two lists"),
        ([([1], [0]), ([1, 0], []), ([1, 0], [2])], 1.0, "empty list"),
        ([([1], [0]), ([1, 0], [3])], 1.0, "not below n"),
        ([([1], [0]), ([True, 0], [2])], 1.0, "not below n"),
        ([([1], [1]), ([1, 0], [2])], 1.0, "met twice"),
        ([([1], [0]), ([0], [1]), ([1, 0], [2])], 1.0, "met twice"),
        ([([1], [0]), ([1], [2])], 1.0, "positions 0 and 2 meet in no pair"),
        ([([1], [0]), ([1, 0], [2])], 3.0, "not separated"),
    ],
)
def test_rejects_broken_decompositions(result, s, message):
    with pytest.raises(AssertionError, match=message):
        check_decomposition(result, LINE, 3, 1, s)


def test_only_the_first_n_points_and_d_coordinates_count():
    coords = [[0.0, float("nan")], [1.0], [3.0], [float("nan")]]
    check_decomposition([([1], [0]), ([1, 0], [2])], coords, 3, 1, 1.0)
    with pytest.raises(AssertionError, match="not below n"):
        check_decomposition([([1], [0]), ([1, 0], [2]), ([3], [0])], coords, 3, 1, 1.0)
