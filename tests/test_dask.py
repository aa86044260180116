"""quorlkit.dask against the single-machine results, on a real two-process dask cluster."""

from __future__ import annotations

import os
import signal
import threading
import time

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import dask  # noqa: E402

import quorlkit  # noqa: E402
import quorlkit.dask as qd  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    )
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def _data(kind: str, n: int, d: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.random((n, d))
    if kind == "tied":  # a coarse grid: many equal lengths, many equal points
        return np.round(rng.random((n, d)) * 6)
    if kind == "duplicated":  # blocks of equal points and a far cluster
        x = rng.random((n // 2, d))
        far = rng.random((n - n // 2 - n // 4, d)) + 50
        return np.concatenate([x, np.repeat(x[: n // 4], 1, axis=0), far])
    if kind == "lattice":  # a grid with holes: many equal lengths, no equal points
        cells = np.argwhere(rng.random((int(np.ceil((4 * n) ** (1 / d))),) * d) < 0.5)
        return cells[rng.permutation(len(cells))[:n]].astype(float)
    if kind == "rounded":  # uniform points rounded to a coarse grid
        return np.unique(np.round(rng.random((n, d)) * 40), axis=0)
    if kind == "triangle":  # two pairs 5 apart by a 3-4-5 triangle, one a tree edge: no list
        # and no other tree edge shows the tie between them
        return np.array([[0, 0], [5.05, 0.04], [0, 0.25], [3, 4.25], [5.04, 0.1], [5, 0], [9, 9]])
    if kind == "blobs":  # clusters of unequal spread: no equal distances
        centres = rng.random((6, d))
        return centres[rng.integers(0, 6, n)] + rng.normal(0, 0.02, (n, d)) * rng.integers(1, 4, (n, 1))
    raise AssertionError(kind)


def _chunks(kind: str, n: int) -> tuple[int, ...] | int:
    if kind == "one":
        return n
    if kind == "rows":
        return 1
    sizes, left, step = [], n, 1  # uneven: 1, 2, 4, ... then what is left
    while left > 0:
        sizes.append(min(step, left))
        left -= sizes[-1]
        step *= 3
    return tuple(sizes)


def _emst_equal(x: np.ndarray, chunks, partitions) -> None:
    want = quorlkit.emst(x)
    got = qd.emst(da.from_array(x, chunks=(chunks, -1)), partitions=partitions)
    np.testing.assert_array_equal(got.edges.compute(), want.edges)
    np.testing.assert_array_equal(got.lengths.compute(), want.lengths)
    assert got.edges.dtype == np.int64 and got.lengths.dtype == np.float64


def _knn_equal(x: np.ndarray, k: int, chunks, partitions) -> None:
    want_d, want_i = quorlkit.knn(x, k)
    arr = da.from_array(x, chunks=(chunks, -1))
    got_d, got_i = qd.knn(arr, k, partitions=partitions)
    assert got_d.chunks[0] == arr.chunks[0]
    np.testing.assert_array_equal(got_i.compute(), want_i)
    np.testing.assert_array_equal(got_d.compute(), want_d)


@pytest.mark.parametrize("kind", ["uniform", "tied", "duplicated"])
@pytest.mark.parametrize("d", [1, 2, 3])
@pytest.mark.parametrize("partitions", [1, 3, 8])
def test_emst_equals_the_single_machine_tree(client, kind, d, partitions):
    x = _data(kind, 1500, d, seed=d)
    _emst_equal(x, _chunks("uneven", len(x)), partitions)


@pytest.mark.parametrize("kind", ["uniform", "tied", "duplicated"])
@pytest.mark.parametrize(("d", "k"), [(1, 3), (2, 1), (3, 10)])
@pytest.mark.parametrize("partitions", [1, 4, 9])
def test_knn_equals_the_single_machine_neighbours(client, kind, d, k, partitions):
    x = _data(kind, 1200, d, seed=10 + d)
    _knn_equal(x, k, _chunks("uneven", len(x)), partitions)


@pytest.mark.parametrize(
    ("n", "d", "params", "partitions"),
    [
        (1000, 2, {}, 4),
        (1000, 3, {"min_samples": 3, "cluster_selection_method": "leaf"}, 6),
        (800, 2, {"cluster_selection_epsilon": 0.05, "alpha": 0.7}, 3),
        (800, 1, {"allow_single_cluster": True, "max_cluster_size": 150}, 8),
        (300, 2, {"min_samples": 1}, 5),
        (12, 2, {"min_samples": 12}, 3),  # every point in every list; partitions below k
        (900, 2, {"min_samples": 4, "spoilt": True}, 4),
        (40000, 2, {"workers": 2}, 4),  # the client's replay without a heap, on two threads
        # Equal distances: the ties are searched for on the partitions and between them.
        (600, 2, {"data": "lattice"}, 4),
        (500, 3, {"data": "lattice", "min_samples": 3, "cluster_selection_method": "leaf"}, 3),
        (700, 1, {"data": "rounded", "min_samples": 2}, 5),
        (600, 2, {"data": "lattice", "min_samples": 1}, 4),
        (7, 2, {"data": "triangle", "min_samples": 2}, 2),
        (500, 2, {"data": "rounded", "alpha": 0.8}, 3),
        (800, 2, {"alpha": 1.5}, 4),  # reaching past the lists
        # Equal points: runs of them, searched for and replayed as one point each.
        (400, 2, {"data": "duplicated", "min_samples": 3}, 3),
        (500, 2, {"data": "tied", "cluster_selection_method": "leaf"}, 4),
        (300, 1, {"data": "tied", "min_samples": 12, "alpha": 0.6}, 5),
    ],
)
def test_hdbscan_equals_the_single_machine_fit(client, n, d, params, partitions):
    x = _data(params.pop("data", "blobs"), n, d, seed=n + d)
    if params.pop("spoilt", False):
        # A chunk of one inf row, rows with NaN, with +inf and -inf (NaN by their sum), and
        # inf in a later chunk.
        x[0, 0], x[2, 1], x[3] = np.inf, np.nan, (np.inf, -np.inf)
        x[[40, 500, 899], 1] = (-np.inf, np.nan, np.inf)
    want = quorlkit.HDBSCAN(min_cluster_size=8, **params).fit(x)
    arr = da.from_array(x, chunks=(_chunks("uneven", len(x)), -1))
    got = qd.HDBSCAN(min_cluster_size=8, partitions=partitions, **params).fit(arr)
    assert got.labels_.chunks == arr.chunks[:1]
    np.testing.assert_array_equal(got.labels_.compute(), want.labels_)
    np.testing.assert_array_equal(got.probabilities_.compute(), want.probabilities_)
    np.testing.assert_array_equal(got.outlier_scores_.compute(), want.outlier_scores_)
    cut = float(np.median(want.core_distances_))
    np.testing.assert_array_equal(got.dbscan_clustering(cut, 8).compute(),
                                  want.dbscan_clustering(cut, 8))
    np.testing.assert_array_equal(got.core_distances_, want.core_distances_)
    np.testing.assert_array_equal(got.condensed_tree_, want.condensed_tree_)
    np.testing.assert_array_equal(got.single_linkage_tree_, want.single_linkage_tree_)
    tree = got.minimum_spanning_tree_
    np.testing.assert_array_equal(tree.edges.compute(), want.minimum_spanning_tree_.edges)
    np.testing.assert_array_equal(tree.lengths.compute(), want.minimum_spanning_tree_.lengths)


@pytest.mark.parametrize("chunking", ["one", "rows", "uneven"])
def test_odd_chunkings(client, chunking):
    x = _data("tied", 60, 2, seed=3)
    _emst_equal(x, _chunks(chunking, len(x)), 4)
    _knn_equal(x, 5, _chunks(chunking, len(x)), 4)


@pytest.mark.parametrize("n", [0, 1, 2, 3])
def test_tiny_inputs(client, n):
    x = _data("uniform", n, 2, seed=4)
    _emst_equal(x, 1, 3)
    if n >= 2:
        _knn_equal(x, n - 1, 1, 3)


def test_k_up_to_n_minus_one_across_many_small_partitions(client):
    # Partitions smaller than k have fewer neighbours of their own than k: they must ask all.
    x = _data("uniform", 40, 2, seed=5)
    _knn_equal(x, 39, 7, 8)


def test_columns_chunked_and_integer_points(client):
    x = np.random.default_rng(6).integers(0, 50, size=(500, 3))
    want = quorlkit.emst(x)
    got = qd.emst(da.from_array(x, chunks=(77, 1)), partitions=5)
    np.testing.assert_array_equal(got.edges.compute(), want.edges)
    np.testing.assert_array_equal(got.lengths.compute(), want.lengths)


def test_the_local_threaded_scheduler_gives_the_same(client):
    x = _data("duplicated", 2000, 2, seed=7)
    blobs = _data("blobs", 600, 2, seed=7)
    with dask.config.set(scheduler="threads"):
        _emst_equal(x, 300, 6)
        _knn_equal(x, 4, 300, 6)
        got = qd.HDBSCAN(partitions=5).fit(da.from_array(blobs, chunks=(250, -1)))
        np.testing.assert_array_equal(got.labels_.compute(), quorlkit.HDBSCAN().fit(blobs).labels_)


def test_no_worker_holds_all_the_points(client):
    # Each worker's largest task result stays well below the whole input.
    x = _data("uniform", 40_000, 2, seed=8)
    got = qd.emst(da.from_array(x, chunks=(5000, -1)), partitions=4)
    np.testing.assert_array_equal(got.edges.compute(), quorlkit.emst(x).edges)
    sizes = client.run(
        lambda dask_worker: max(
            (dask_worker.data.fast.weights or {None: 0}).values(), default=0
        )
    )
    assert max(sizes.values()) < x.nbytes / 2


@pytest.mark.parametrize("call", ["emst", "knn"])
def test_the_task_count_grows_with_chunks_plus_partitions(client, call):
    # On a line every partition meets only its neighbours, so the pairs searched are the same
    # for every chunking; the count must then be f(chunks) + g(partitions), with no term in
    # their product (one task per chunk and partition, as a shuffle by tasks makes).
    counts = {}
    for chunks in (4, 16):
        for partitions in (2, 8):
            x = np.random.default_rng(chunks + partitions).random((4000, 1))
            arr = da.from_array(x, chunks=(4000 // chunks, -1))
            with distributed.get_task_stream(client) as stream:
                out = qd.emst(arr, partitions=partitions) if call == "emst" else qd.knn(
                    arr, 2, partitions=partitions)
                distributed.wait(list(out))
            counts[chunks, partitions] = len(stream.data)
    more_chunks = {p: counts[16, p] - counts[4, p] for p in (2, 8)}
    assert more_chunks[2] == more_chunks[8], counts


def _kill_a_worker_during(client, work):
    """Runs work() while one worker process is killed (SIGKILL) once the work has started;
    returns work()'s result and whether the kill came before the work ended."""
    pids = list(client.run(os.getpid).values())
    done = threading.Event()
    killed_at = []

    def kill():
        time.sleep(0.4)
        if not done.is_set():
            os.kill(pids[0], signal.SIGKILL)
            killed_at.append(time.monotonic())

    killer = threading.Thread(target=kill)
    killer.start()
    try:
        result = work()
    finally:
        done.set()
        killer.join()
    client.wait_for_workers(2, timeout=60)
    return result, bool(killed_at)


def _emst_arrays(x):
    tree = qd.emst(x, partitions=8) if isinstance(x, da.Array) else quorlkit.emst(x)
    return tree.edges, tree.lengths


def _knn_arrays(x):
    return qd.knn(x, 8, partitions=8) if isinstance(x, da.Array) else quorlkit.knn(x, 8)


def _hdbscan_arrays(x):
    model = (qd.HDBSCAN(min_cluster_size=15, partitions=8) if isinstance(x, da.Array)
             else quorlkit.HDBSCAN(min_cluster_size=15))
    model.fit(x)
    return model.labels_, model.probabilities_


# The points travel in the graph here, as a users in-memory array would.
@pytest.mark.filterwarnings("ignore:Sending large graph")
@pytest.mark.parametrize(
    ("call", "kind", "n"),
    [(_emst_arrays, "uniform", 600_000), (_knn_arrays, "uniform", 800_000),
     (_hdbscan_arrays, "blobs", 100_000)],
    ids=["emst", "knn", "HDBSCAN"],
)
def test_a_worker_killed_during_a_call_leaves_the_result_exact(client, call, kind, n):
    x = _data(kind, n, 2, seed=9)
    want = call(x)

    def work():
        return [np.asarray(a.compute()) for a in call(da.from_array(x, chunks=(50_000, -1)))]

    got, killed = _kill_a_worker_during(client, work)
    assert killed, "the run ended before the worker was killed; use more points"
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w)


def _with_row(value, row: int, col: int = 1, n: int = 50) -> np.ndarray:
    x = np.random.default_rng(11).random((n, 2))
    x[row, col] = value
    return x


@pytest.mark.parametrize(
    ("x", "error", "match"),
    [
        (_with_row(np.nan, 37), ValueError, r"^point at position 37: coordinate 1 is nan"),
        (_with_row(np.inf, 49, 0), ValueError, r"^point at position 49: coordinate 0 is inf"),
        (_with_row(1e308, 12), ValueError, r"^point at position 12: coordinate 1 = 1e\+308 is too large"),
        (np.array([[0.0, 1e154], [0.0, -1e154], [0.0, 0.0]]), ValueError, "spread too far"),
        (np.zeros((4, 0)), ValueError, r"^d must be at least 1 \(got 0\)$"),
        (np.array(["a", "b"]).reshape(2, 1), TypeError, "real numbers"),
    ],
)
def test_refusals_name_the_global_row(client, x, error, match):
    arr = da.from_array(x, chunks=(7, -1)) if x.ndim == 2 and x.shape[1] else da.from_array(x)
    with pytest.raises(error, match=match):
        qd.emst(arr)
    with pytest.raises(error, match=match):
        qd.knn(arr, 1)
    if x.dtype.kind != "f" or np.isfinite(x).all():  # HDBSCAN labels rows with inf or NaN
        with pytest.raises(error, match=match):
            qd.HDBSCAN(min_samples=2).fit(arr)
    # The same words as the single machine's.
    with pytest.raises(error, match=match):
        quorlkit.emst(x)


def test_the_first_bad_row_is_named_when_several_chunks_hold_one(client):
    x = _with_row(np.nan, 40)
    x[45, 0] = np.inf
    x[30, 1] = -np.inf
    with pytest.raises(ValueError, match=r"^point at position 30: coordinate 1 is -inf"):
        qd.emst(da.from_array(x, chunks=(5, -1)))


@pytest.mark.parametrize(
    ("call", "error", "match"),
    [
        (lambda: qd.emst(np.zeros((3, 2))), TypeError, "must be a dask array"),
        (lambda: qd.emst(da.zeros(5)), ValueError, r"shape \(n, d\), not of shape \(5,\)"),
        (lambda: qd.knn(da.zeros((5, 2)), 5), ValueError, r"k must be between 1 and n - 1 = 4"),
        (lambda: qd.knn(da.zeros((5, 2)), 0), ValueError, "k must be between"),
        (lambda: qd.knn(da.zeros((5, 2)), 1.5), TypeError, "k must be an integer"),
        (lambda: qd.emst(da.zeros((5, 2)), partitions=0), ValueError, "partitions must be at least 1"),
        (lambda: qd.HDBSCAN(min_samples=5).fit(da.random.random((4, 2))), ValueError,
         r"min_samples \(5\) must be at most"),
        (lambda: qd.emst(da.zeros((5, 2)), partitions=True), TypeError, "partitions must be an integer"),
        (
            lambda: qd.emst(da.zeros((6, 2))[da.arange(6) > 2]),
            ValueError,
            "unknown size; call points.compute_chunk_sizes",
        ),
    ],
)
def test_bad_arguments(client, call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_only_neighbouring_partitions_are_searched():
    # On a line cut into 8 cells, every pair but the 7 neighbours is joined by shorter edges;
    # searching them all would cost P^2 band searches.
    x = np.sort(np.random.default_rng(12).random(8000))[:, None]
    plan = qd._plan(x[::10], 8)
    where = qd._assign(x, plan)
    summaries = [
        qd._tree_summary(qd._local_tree({"part": p, "idx": np.flatnonzero(where == p),
                                         "x": np.ascontiguousarray(x[where == p])}))
        for p in range(plan.parts)
    ]
    searched = qd._pairs_to_search(summaries)
    assert plan.parts == 8
    order = np.argsort([s["lo"][0] for s in summaries])
    rank = {int(p): r for r, p in enumerate(order)}
    assert sorted(abs(rank[p] - rank[q]) for p, q, _ in searched) == [1] * 7
