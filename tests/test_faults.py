"""A core allocation that fails anywhere in a build_quorl call ends it with MemoryError, leaves
the caller's points as they were, leaks nothing, and does not disturb the next call."""

import random

import pytest

import _quorl_testing as hooks


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def grid_points(n, d, seed, levels=6):
    # Distinct points with heavy ties per coordinate, so that splits land on tied values.
    assert n <= levels**d
    rng = random.Random(seed)
    rows = set()
    while len(rows) < n:
        rows.add(tuple(float(rng.randrange(levels)) for _ in range(d)))
    return [list(r) for r in sorted(rows, key=lambda _: rng.random())]


@pytest.fixture(autouse=True)
def no_fault_left_behind():
    yield
    hooks.fail_allocation_at(0)


@pytest.mark.parametrize("n,d,s", [(1, 1, 1.0), (2, 2, 1.0), (5, 1, 0.5), (40, 3, 2.0)])
def test_every_failing_allocation_raises_memory_error(n, d, s):
    rows = grid_points(n, d, seed=n * 10 + d)
    pts = [hooks.point(r) for r in rows]
    hooks.fail_allocation_at(0)
    expected = hooks.build_quorl(n, d, s, pts)
    total = hooks.allocation_count()
    assert total > 0
    for k in range(1, total + 1):
        hooks.fail_allocation_at(k)
        with pytest.raises(MemoryError):
            hooks.build_quorl(n, d, s, pts)
        assert hooks.allocation_count() == k, f"k={k}: the call went on after the failure"
        assert [p.coord() for p in pts] == rows, f"k={k}: points changed"
        hooks.fail_allocation_at(0)
        assert hooks.build_quorl(n, d, s, pts) == expected, f"k={k}: next call differs"


def test_failing_calls_do_not_leak():
    rows = grid_points(300, 2, seed=7, levels=40)
    pts = [hooks.point(r) for r in rows]
    hooks.fail_allocation_at(0)
    hooks.build_quorl(len(pts), 2, 1.0, pts)
    total = hooks.allocation_count()
    ks = list(range(1, total + 1, max(1, total // 50)))

    def sweep():
        for k in ks:
            hooks.fail_allocation_at(k)
            with pytest.raises(MemoryError):
                hooks.build_quorl(len(pts), 2, 1.0, pts)

    for _ in range(3):  # warm up the allocator's pools
        sweep()
    before = rss_bytes()
    for _ in range(20):
        sweep()
    # A leak of the tree or of one list set per failing call would be tens of MiB here.
    assert rss_bytes() - before < 1 << 20
