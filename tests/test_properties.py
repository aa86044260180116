import math

from hypothesis import given, settings, strategies as st

from quorl import build_quorl, point

import reference

settings.register_profile("quorl", derandomize=True, max_examples=120, deadline=None)
settings.load_profile("quorl")

FLOATS = {
    "grid": st.integers(0, 3).map(float),
    "small": st.floats(-10.0, 10.0),
    "wide": st.floats(-1e150, 1e150),
    "mixed": st.one_of(st.sampled_from([0.0, -0.0, 1.0, 1e-300]), st.floats(-1e3, 1e3)),
}
# Whatever follows the first n points is never looked at.
JUNK = [[math.nan], [], [math.inf, 0.0], [0.0, 0.0, 0.0, 0.0, 0.0]]


@st.composite
def decompositions(draw):
    d = draw(st.sampled_from([1, 2, 3, 4, 5]))
    coord = FLOATS[draw(st.sampled_from(sorted(FLOATS)))]
    size = draw(st.integers(1, 60))
    raw = draw(st.lists(st.lists(coord, min_size=d, max_size=d), min_size=size, max_size=size))
    seen, coords = set(), []
    for c in raw:
        key = tuple(x + 0.0 for x in c)  # -0.0 and 0.0 are the same coordinate
        if key not in seen:
            seen.add(key)
            coords.append(c)
    s = draw(st.one_of(st.sampled_from([0, 0.5, 1.0, 2.0, 5.0]), st.floats(-1.0, 20.0)))
    extra = draw(st.lists(st.sampled_from(JUNK + coords), max_size=3))
    return d, s, coords, extra


def run(d, s, coords, extra=()):
    return build_quorl(len(coords), d, s, [point(c) for c in [*coords, *extra]])


@given(decompositions())
def test_every_two_points_meet_exactly_once(case):
    d, s, coords, extra = case
    n = len(coords)
    result = run(d, s, coords, extra)
    for first, second in result:
        assert first and second
        assert not set(first) & set(second)
        assert all(0 <= i < n for i in first + second)
    assert sum(len(a) * len(b) for a, b in result) == n * (n - 1) // 2
    assert reference.pair_counts(result) == {
        (i, j): 1 for i in range(n) for j in range(i + 1, n)
    }


@given(decompositions())
def test_every_pair_is_well_separated(case):
    d, s, coords, extra = case
    for first, second in run(d, s, coords, extra):
        if len(first) == len(second) == 1:
            continue  # two single points are separated by any s: their spheres have radius 0
        ca, ra = reference.bounding_sphere([coords[i] for i in first], d)
        cb, rb = reference.bounding_sphere([coords[i] for i in second], d)
        r = max(ra, rb)
        assert reference.separated(reference.center_distance(ca, cb, d), r, s)


@given(decompositions(), st.randoms(use_true_random=False))
def test_result_depends_only_on_the_point_set(case, rng):
    d, s, coords, _ = case
    order = list(range(len(coords)))
    rng.shuffle(order)
    shuffled = run(d, s, [coords[k] for k in order])
    relabelled = [([order[k] for k in a], [order[k] for k in b]) for a, b in shuffled]
    assert relabelled == run(d, s, coords)
    assert relabelled == [tuple(p) for p in reference.decompose(len(coords), d, s, coords)]
