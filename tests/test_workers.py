"""Threads and the memory ceiling: decompose, knn, knn_graph and closest_pair give the very same
result for every number of workers, also from several Python threads at once and in a forked
child; decompose refuses more pairs than max_pairs or the memory available allows, quickly and
with MemoryError, and so does build_quorl."""

import os
import re
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import quorl
import quorlkit

WORKERS = [1, 2, 3, 8, 16, None]


def make(kind, n, d, seed):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.random((n, d))
    if kind == "ties":  # distinct points on a small grid: ties in every coordinate
        cells = rng.permutation(12**d)[:n]
        return np.stack([(cells // 12**k) % 12 for k in range(d)], axis=1).astype(np.float64)
    if kind == "duplicates":  # many copies of few points, zeros of either sign
        x = rng.integers(-2, 3, size=(n // 6 + 1, d)).astype(np.float64)[rng.integers(n // 6 + 1, size=n)]
        x[(x == 0) & (rng.random((n, d)) < 0.5)] = -0.0
        return x
    if kind == "blobs":  # clusters of very different spreads
        centers = rng.random((8, d)) * 100
        spread = np.ldexp(1.0, rng.integers(-6, 3, size=8))
        which = rng.integers(8, size=n)
        return centers[which] + rng.normal(size=(n, d)) * spread[which, None]
    if kind == "exponential":  # deep chains of cuts
        return np.ldexp(1.0, rng.integers(-60, 60, size=(n, d))) * (1 + rng.random((n, d)))
    raise ValueError(kind)


def same(a, b):
    """Equal to the bit, shapes and dtypes included."""
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize(
    "kind, n, d, s",
    [("uniform", 5000, 2, 2.0), ("uniform", 3000, 5, 1.0), ("ties", 1500, 3, 2.0), ("exponential", 2000, 2, 2.0)],
)
def test_decompose_is_the_same_for_every_workers(kind, n, d, s):
    x = make(kind, n, d, 21)
    want = quorlkit.decompose(x, s, workers=1)
    fields = ["order", "node_start", "node_size", "node_center", "node_radius", "pairs"]
    for workers in WORKERS[1:]:
        got = quorlkit.decompose(x, s, workers=workers)
        for f in fields:
            assert same(getattr(got, f), getattr(want, f)), (f, workers)


def test_decompose_refuses_equal_points_alike_for_every_workers():
    x = make("duplicates", 5000, 2, 3)  # large enough for the tree to be built on threads
    messages = set()
    for workers in WORKERS:
        with pytest.raises(ValueError, match="are equal") as info:
            quorlkit.decompose(x, 2.0, workers=workers)
        messages.add(str(info.value))
    assert len(messages) == 1


@pytest.mark.parametrize("kind, n, d", [("uniform", 4000, 2), ("ties", 1500, 3), ("duplicates", 3000, 2), ("exponential", 2000, 3), ("blobs", 5000, 3)])
def test_neighbours_are_the_same_for_every_workers(kind, n, d):
    x = make(kind, n, d, 8)
    dist, idx = quorlkit.knn(x, 7, workers=1)
    graph = quorlkit.knn_graph(x, 7, workers=1)
    pair = quorlkit.closest_pair(x, workers=1)
    for workers in WORKERS[1:]:
        got_dist, got_idx = quorlkit.knn(x, 7, workers=workers)
        assert same(got_dist, dist) and same(got_idx, idx), workers
        g = quorlkit.knn_graph(x, 7, workers=workers)
        assert same(g.data, graph.data) and same(g.indices, graph.indices), workers
        assert quorlkit.closest_pair(x, workers=workers) == pair, workers


@pytest.mark.parametrize("kind, n, d", [("uniform", 4000, 2), ("ties", 1500, 3), ("duplicates", 3000, 2), ("blobs", 3000, 2)])
def test_trees_clusters_and_spanners_are_the_same_for_every_workers(kind, n, d):
    x = make(kind, n, d, 9)
    tree = quorlkit.emst(x, workers=1)
    link = quorlkit.single_linkage(x, workers=1)
    fit = quorlkit.HDBSCAN(min_cluster_size=10, workers=1).fit(x)
    graph = quorlkit.spanner(x[:800], 1.5, workers=1)
    for workers in WORKERS[1:]:
        got = quorlkit.emst(x, workers=workers)
        assert same(got.edges, tree.edges) and same(got.lengths, tree.lengths), workers
        assert same(quorlkit.single_linkage(x, workers=workers), link), workers
        other = quorlkit.HDBSCAN(min_cluster_size=10, workers=workers).fit(x)
        assert same(other.labels_, fit.labels_) and same(other.probabilities_, fit.probabilities_)
        assert same(other.single_linkage_tree_, fit.single_linkage_tree_), workers
        g = quorlkit.spanner(x[:800], 1.5, workers=workers)
        assert same(g.data, graph.data) and same(g.indices, graph.indices), workers


# Large enough that the Borůvka rounds themselves run on the threads (below 2^15 points they
# stay on the calling thread); a lattice gives many equal lengths and equal points, alpha != 1
# and min_samples = 1 the other branches of the reachability.
@pytest.mark.parametrize(
    "kind, n, d, min_samples, alpha",
    [("uniform", 40000, 2, 15, 1.0), ("lattice", 40000, 2, 5, 1.0), ("duplicates", 36000, 3, 7, 1.5),
     ("uniform", 34000, 4, 1, 0.7), ("blobs", 40000, 2, 10, 1.0)],
)
def test_threaded_rounds_give_the_same_trees(kind, n, d, min_samples, alpha):
    if kind == "lattice":
        x = np.random.default_rng(4).integers(0, 300, size=(n, d)).astype(np.float64)
    else:
        x = make(kind, n, d, 10)
    tree = quorlkit.emst(x, workers=1)
    want = quorlkit._core.mutual_reachability_mst(x, min_samples, alpha, 1)
    for workers in WORKERS[1:]:
        got = quorlkit.emst(x, workers=workers)
        assert same(got.edges, tree.edges) and same(got.lengths, tree.lengths), workers
        threads = 8 if workers is None else workers  # more threads than cores, too
        for a, b in zip(quorlkit._core.mutual_reachability_mst(x, min_samples, alpha, threads), want):
            assert same(np.asarray(a), np.asarray(b)), workers
    # The fit on threads orders Prim's steps and builds the linkage from the tree of merges.
    params = dict(min_cluster_size=max(min_samples, 2), min_samples=min_samples, alpha=alpha)
    fit = quorlkit.HDBSCAN(workers=1, **params).fit(x)
    for workers in (2, 3, 16):
        other = quorlkit.HDBSCAN(workers=workers, **params).fit(x)
        for name in ("single_linkage_tree_", "labels_", "probabilities_", "core_distances_"):
            assert same(getattr(other, name), getattr(fit, name)), (name, workers)
        assert same(other.condensed_tree_, fit.condensed_tree_), workers


def test_concurrent_calls_with_threads_each_match_serial_calls():
    inputs = [make("uniform", 3000, 2, 1), make("ties", 1200, 3, 2), make("uniform", 2000, 4, 3)]
    want_pairs = [quorlkit.decompose(x, 2.0, workers=1).pairs for x in inputs]
    want_knn = [quorlkit.knn(x, 5, workers=1)[1] for x in inputs]
    barrier = threading.Barrier(2 * len(inputs))
    failures = []

    def run(k, what):
        barrier.wait()
        for _ in range(3):
            if what == "decompose":
                ok = same(quorlkit.decompose(inputs[k], 2.0, workers=2).pairs, want_pairs[k])
            else:
                ok = same(quorlkit.knn(inputs[k], 5, workers=3)[1], want_knn[k])
            if not ok:
                failures.append((k, what))

    threads = [
        threading.Thread(target=run, args=(k, what))
        for k in range(len(inputs))
        for what in ("decompose", "knn")
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


# A child forked after the parent's threads ran must not wait for threads it does not have.
FORKED = textwrap.dedent(
    """
    import os, sys
    import numpy as np, quorlkit
    x = np.random.default_rng(4).random((4000, 2))
    want = quorlkit.decompose(x, 2.0, workers=2).pairs
    near = quorlkit.knn(x, 3, workers=2)[1]
    pid = os.fork()
    if pid == 0:
        ok = (quorlkit.decompose(x, 2.0, workers=2).pairs.tobytes() == want.tobytes()
              and quorlkit.knn(x, 3, workers=2)[1].tobytes() == near.tobytes())
        os._exit(0 if ok else 3)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status))
    """
)


def test_a_forked_child_gets_the_same_results():
    run = subprocess.run([sys.executable, "-c", FORKED], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "0"


# The first array calls of a fresh process, from several threads at once (as dask's threaded
# scheduler makes them): each must finish, none waiting on another's lazy setup.
FIRST_CALLS = textwrap.dedent(
    """
    import threading
    import numpy as np
    from quorlkit import _core
    x = np.zeros((3, 2))
    start = threading.Barrier(8)
    def call():
        start.wait()
        _core.check_rows(x, 0)
    threads = [threading.Thread(target=call) for _ in range(8)]
    for t in threads: t.start()
    for t in threads: t.join()
    """
)


@pytest.mark.parametrize("attempt", range(3))
def test_first_calls_from_threads_at_once_do_not_hang(attempt):
    run = subprocess.run([sys.executable, "-c", FIRST_CALLS], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr


@pytest.fixture(scope="module")
def counted():
    x = make("uniform", 3000, 3, 5)
    return x, len(quorlkit.decompose(x, 2.0, workers=1))


@pytest.mark.parametrize("workers", [1, 2])
def test_max_pairs_is_refused_beyond_and_accepted_at_the_limit(counted, workers):
    x, total = counted
    want = quorlkit.decompose(x, 2.0, workers=1).pairs
    assert same(quorlkit.decompose(x, 2.0, workers=workers, max_pairs=total).pairs, want)
    for limit in (total - 1, total // 2, 0):
        with pytest.raises(MemoryError) as info:
            quorlkit.decompose(x, 2.0, workers=workers, max_pairs=limit)
        message = str(info.value)
        found = re.search(
            rf"^the decomposition has more than {limit} pairs? \(max_pairs = {limit}\): "
            r"stopped after (\d+) pairs? (?:was|were) found; at 8 bytes a pair the whole needs "
            r"at least (?:[0-9.]+ [KMG]iB \((\d+) bytes\)|(\d+) bytes), and its true size is "
            r"unknown",
            message,
        )
        assert found, message
        pairs, need = int(found.group(1)), int(found.group(2) or found.group(3))
        assert limit < pairs <= total and need == 8 * pairs
        assert "smaller s" in message and "quorlkit.emst" in message


def test_max_pairs_zero_accepts_a_decomposition_without_pairs():
    assert len(quorlkit.decompose([[1.0, 2.0]], 2.0, max_pairs=0)) == 0
    assert len(quorlkit.decompose(np.zeros((0, 3)), 2.0, max_pairs=0)) == 0


@pytest.mark.parametrize(
    "max_pairs, error, message",
    [
        (-1, ValueError, r"max_pairs must be None or at least 0 \(got -1\)"),
        (1.5, TypeError, "max_pairs must be None or an integer, not float"),
        (True, TypeError, "max_pairs must be None or an integer, not bool"),
        ("9", TypeError, "max_pairs must be None or an integer, not str"),
    ],
)
def test_bad_max_pairs(max_pairs, error, message):
    with pytest.raises(error, match=message):
        quorlkit.decompose([[0.0], [1.0]], 1.0, max_pairs=max_pairs)


@pytest.mark.parametrize("fn", [quorlkit.decompose, quorlkit.knn, quorlkit.closest_pair])
def test_bad_workers(fn):
    args = (2.0,) if fn is quorlkit.decompose else (1,) if fn is quorlkit.knn else ()
    with pytest.raises(ValueError, match=r"workers must be None, -1 or at least 1 \(got 0\)"):
        fn([[0.0], [1.0]], *args, workers=0)


# 4000 points in 16-D have 7.2 million pairs (58 MB); a fresh interpreter gets `room` bytes of
# address space beyond what it holds, and the call must end in MemoryError from the guard, not in
# a crash or a failed allocation on the way.
GUARDED = textwrap.dedent(
    """
    import resource, sys, time
    import numpy as np
    import quorl, quorlkit
    which, room, workers = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    x = np.random.default_rng(1).random((4000, 16))
    pts = [quorl.point(r) for r in x.tolist()]
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + room, hard))
    try:
        if which == "decompose":
            result = len(quorlkit.decompose(x, 2.0, workers=workers))
        else:
            result = len(quorl.build_quorl(4000, 16, 2.0, pts))
        print("ok", result)
    except MemoryError as e:
        print("MemoryError", e)
    """
)


@pytest.mark.parametrize("which", ["decompose", "build_quorl"])
@pytest.mark.parametrize("workers", [1, 2])
def test_default_guard_refuses_what_the_address_space_cannot_hold(which, workers):
    run = subprocess.run(
        [sys.executable, "-c", GUARDED, which, str(40 << 20), str(workers)],
        capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0, run.stderr
    status = run.stdout.strip()
    assert status.startswith("MemoryError the decomposition has more than "), status
    assert "available when the call began (the headroom under RLIMIT_AS)" in status, status


def test_default_guard_lets_through_what_fits():
    run = subprocess.run(
        [sys.executable, "-c", GUARDED, "decompose", str(1 << 30), "2"],
        capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["ok", "7210969"]


def test_build_quorl_keeps_its_signature():
    assert quorl.build_quorl.__doc__.splitlines()[0] == (
        "build_quorl(arg0: int, arg1: int, arg2: float, arg3: List[point]) "
        "-> List[Tuple[List[int], List[int]]]"
    )


# Large enough that the checks scan slices of rows on the threads: the refusal still names the
# first bad row, whichever slice meets a bad one first.
@pytest.mark.parametrize(
    "rows, values, named",
    [((30000, 35000), (np.nan, np.inf), "position 30000"), ((12000, 39000), (1e308, 1e308), "position 12000"),
     ((7, 39999), (-1e300, 1e300), "spread too far")],
)
def test_refusals_of_large_arrays_are_the_same_for_every_workers(rows, values, named):
    x = make("uniform", 40000, 2, 5)
    x[list(rows), 0] = values
    for call in (quorlkit.emst, lambda y, workers: quorlkit.knn(y, 3, workers=workers),
                 lambda y, workers: quorlkit.decompose(y, 2.0, workers=workers)):
        messages = set()
        for workers in WORKERS:
            with pytest.raises(ValueError, match=named) as info:
                call(x, workers=workers)
            messages.add(str(info.value))
        assert len(messages) == 1, messages
