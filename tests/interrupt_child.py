"""A child process for the Ctrl-C tests and bench/interrupt_bench.py.

``python interrupt_child.py NAME WORKERS`` makes the data of entry point NAME, prints "ready",
then calls it again and again until SIGINT arrives. On KeyboardInterrupt it prints "stopped",
checks that the core's heap came back to where it was and that the same call on small data still
gives what it gave before, and prints "ok" (or what went wrong).
"""

from __future__ import annotations

import faulthandler
import signal
import sys
from typing import Any, Callable

import numpy as np

import quorl
import quorlkit
from quorlkit import _core


def _blobs(n: int, d: int, seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    centers = rng.random((20, d)) * 100
    return centers[rng.integers(0, 20, n)] + rng.standard_normal((n, d))


NAMES = [
    "decompose", "build_quorl", "emst", "single_linkage", "knn", "knn_graph", "knn_query",
    "closest_pair", "spanner", "hdbscan", "approximate_predict", "dbscan", "friends_of_friends",
    "emst_blocks", "knn_blocks", "dbscan_blocks", "hdbscan_of_tree",
]


def _tree_over(core: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """A random tree over len(core) points, each joined to an earlier one, with weights of at
    least both cores, in the order of the weights."""
    rng = np.random.default_rng(len(core))
    n = len(core)
    ends = np.stack([(rng.random(n - 1) * np.arange(1, n)).astype(np.int64), np.arange(1, n)], 1)
    w = np.maximum(core[ends[:, 0]], core[ends[:, 1]]) + rng.random(n - 1)
    order = np.argsort(w)
    return ends[order], w[order]


def call_of(name: str, workers: int) -> tuple[Callable[[np.ndarray], Any], np.ndarray]:
    """Entry point NAME as (call, its long-running data)."""
    u = np.random.default_rng(1)
    if name == "decompose":
        return (lambda x: quorlkit.decompose(x, 2.0, workers=workers)), u.random((10**6, 3))
    if name == "build_quorl":
        return (
            lambda x: quorl.build_quorl(len(x), x.shape[1], 2.0, [quorl.point(list(r)) for r in x])
        ), u.random((10**5, 2))
    if name == "emst":
        return (lambda x: quorlkit.emst(x, workers=workers)), u.random((2 * 10**6, 2))
    if name == "single_linkage":
        return (lambda x: quorlkit.single_linkage(x, workers=workers)), u.random((2 * 10**6, 2))
    if name == "knn":
        return (lambda x: quorlkit.knn(x, 10, workers=workers)), u.random((2 * 10**6, 2))
    if name == "knn_graph":
        return (lambda x: quorlkit.knn_graph(x, 10, workers=workers)), u.random((10**6, 2))
    if name == "knn_query":
        return (
            lambda x: quorlkit.knn_query(x[::2], x[1::2], 10, workers=workers)
        ), u.random((2 * 10**6, 3))
    if name == "closest_pair":
        return (lambda x: quorlkit.closest_pair(x, workers=workers)), u.random((4 * 10**6, 3))
    if name == "spanner":
        # Barely above 1: a spanner that takes minutes.
        return (lambda x: quorlkit.spanner(x, 1.0000001, workers=workers)), u.random((20000, 3))
    if name == "hdbscan":
        model = quorlkit.HDBSCAN(min_cluster_size=15, workers=workers)
        return (lambda x: model.fit(x).labels_.copy()), _blobs(10**6, 2)
    if name == "approximate_predict":
        fitted = quorlkit.HDBSCAN(min_cluster_size=15, workers=workers).fit(_blobs(20000, 2))
        return fitted.approximate_predict, _blobs(2 * 10**6, 2, seed=3)
    if name == "dbscan":
        return (
            lambda x: quorlkit.DBSCAN(0.3, min_samples=10, workers=workers).fit(x).labels_.copy()
        ), _blobs(2 * 10**6, 2)
    if name == "friends_of_friends":
        return (
            lambda x: quorlkit.friends_of_friends(x, 0.005, workers=workers)
        ), u.random((2 * 10**6, 3))
    if name == "hdbscan_of_tree":  # the client's end of quorlkit.dask.HDBSCAN
        core = u.random(2 * 10**7)
        trees = {len(c): _tree_over(c) for c in (core, core[:2000])}
        no_ties = np.empty((0, 2), np.int32)
        return (lambda c: _core.hdbscan_of_tree(
            c, *trees[len(c)], no_ties, None, workers, 5, "eom", False, 0.0, -1, np.argsort)[2]
        ), core
    if name.endswith("_blocks"):  # many dimensions: every pair measured in blocks
        x = u.standard_normal((30000, 64))
        if name == "emst_blocks":
            return (lambda x: quorlkit.emst(x, workers=workers, algorithm="brute")), x
        if name == "dbscan_blocks":
            model = quorlkit.DBSCAN(9.0, min_samples=10, workers=workers, algorithm="brute")
            return (lambda x: model.fit(x).labels_.copy()), x
        return (lambda x: quorlkit.knn(x, 10, workers=workers, algorithm="brute")), x
    raise ValueError(name)


def call_until_interrupted(call: Callable[[Any], Any], data: Any) -> None:
    """Prints "ready", calls call(data) until KeyboardInterrupt, then prints "stopped"."""
    # A shell starts background jobs with SIGINT ignored, and Python then leaves it so.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    print("ready", flush=True)
    try:
        while True:
            call(data)
    except KeyboardInterrupt:
        print("stopped", flush=True)


def main() -> None:
    # SIGUSR1 prints where each thread is, for a child that does not stop.
    faulthandler.register(signal.SIGUSR1)
    name, workers = sys.argv[1], int(sys.argv[2])
    call, data = call_of(name, workers)
    # A spanner barely above 1 is slow even on a few thousand points.
    small = data[: 300 if name == "spanner" else 2000].copy()
    expected = call(small)
    heap = _core._heap_in_use()
    call_until_interrupted(call, data)
    grown = _core._heap_in_use() - heap
    again = call(small)
    if grown > 4 << 20:
        print(f"the core's heap grew by {grown} bytes", flush=True)
    elif not _same(expected, again):
        print("a call after the interrupt gave another result", flush=True)
    else:
        print("ok", flush=True)


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, np.ndarray):
        return np.array_equal(a, b)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if hasattr(a, "labels_"):
        return np.array_equal(a.labels_, b.labels_)
    fields = [f for f in ("edges", "lengths", "pairs", "indices", "distances") if hasattr(a, f)]
    if fields:
        return all(_same(getattr(a, f), getattr(b, f)) for f in fields)
    return bool(a == b)


if __name__ == "__main__":
    main()
