"""The properties every decomposition must have, checked from the points alone (no tree).

Shared by the fuzz harness and the tests. The spheres and the separation test come from
`reference`, which does the arithmetic in the core's order.
"""

import reference


def check_decomposition(result, coords, n, d, s):
    """Raises AssertionError naming the first failure unless `result` is a decomposition of the
    first n of `coords` over d coordinates for separation s: a list of (list, list) tuples of
    positions below n, no list empty, every two distinct positions on the two sides of exactly one
    pair, and each pair separated when both bounding spheres are recomputed from the points
    (a pair of two single points always counts: their squared distance may underflow)."""
    if type(result) is not list:
        raise AssertionError(f"result is a {type(result).__name__}, not a list")
    met = set()
    for p, pair in enumerate(result):
        where = f"pair {p} {pair!r}: "
        if type(pair) is not tuple or len(pair) != 2 or any(type(x) is not list for x in pair):
            raise AssertionError(where + "not a tuple of two lists")
        first, second = pair
        if not first or not second:
            raise AssertionError(where + "empty list")
        for i in first + second:
            if type(i) is not int or not 0 <= i < n:
                raise AssertionError(where + f"position {i!r} is not below n = {n}")
        for i in first:
            for j in second:
                key = (i, j) if i < j else (j, i)
                if i == j or key in met:
                    raise AssertionError(f"{where}positions {i} and {j} met twice or on both sides")
                met.add(key)
        if len(first) == 1 and len(second) == 1:
            continue
        ca, ra = reference.bounding_sphere([coords[i] for i in first], d)
        cb, rb = reference.bounding_sphere([coords[i] for i in second], d)
        dist = reference.center_distance(ca, cb, d)
        if not reference.separated(dist, max(ra, rb), s):
            raise AssertionError(where + f"not separated (dist {dist!r}, radii {ra!r} {rb!r})")
    if len(met) != n * (n - 1) // 2:
        missing = next((i, j) for i in range(n) for j in range(i + 1, n) if (i, j) not in met)
        raise AssertionError(f"positions {missing[0]} and {missing[1]} meet in no pair")
