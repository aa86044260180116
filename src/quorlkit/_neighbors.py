"""Nearest neighbours and the closest pair, from the fair split tree or from blocks of pairs."""

from __future__ import annotations

import math
import operator
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core
from ._arguments import pair_method
from ._decomposition import _points_array
from ._memory import refuse_unless_room
from ._progress import ProgressCallback, check_progress
from ._workers import core_threads

__all__ = ["closest_pair", "knn", "knn_graph", "knn_query"]


def _neighbour_count(k: Any, n: int, bounds: str | None = None) -> int:
    """k checked against 1..n - 1; ``bounds`` words that range in the message."""
    if isinstance(k, bool):
        raise TypeError("k must be an integer, not bool")
    try:
        count = operator.index(k)
    except TypeError:
        raise TypeError(f"k must be an integer, not {type(k).__name__}") from None
    if not 1 <= count <= n - 1:
        bounds = bounds or f"between 1 and n - 1 = {n - 1} for {n} points"
        raise ValueError(f"k must be {bounds} (got {count})")
    return count


def knn(
    points: npt.ArrayLike,
    k: int,
    *,
    workers: int | None = None,
    algorithm: str = "auto",
    progress: ProgressCallback | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """The k nearest other points of every point.

    Row ``i`` holds the ``k`` nearest other points of point ``i``, ordered by (squared distance,
    index), the squared distance being the sum over ``k = 0..d-1``, in that order, of
    ``(x[i, k] - x[j, k])**2``, as for :func:`emst`. Equal points are allowed: the other copies
    come at distance 0; a point is never its own neighbour. The interpreter lock is released
    while the neighbours are found.

    Parameters
    ----------
    points : array_like of real numbers, shape (n, d)
    k : int
        How many neighbours, ``1 <= k <= n - 1``.
    workers : int, optional
        Threads to search on: None (the default) every core this process may run on, -1 every
        core of the machine, k > 0 that many. The result is the same for every value.
    algorithm : {"auto", "tree", "brute"}, optional
        How pairs are found: through the tree, which prunes well in few dimensions and on
        clustered data, or by measuring every pair in blocks, several pairs at once in each
        vector register, which is faster where a tree cannot prune (many dimensions). "auto"
        (the default) chooses from the dimension and an estimate, on a sample, of how much the
        tree would prune. The result is the same, bit for bit.
    progress : callable, optional
        As for :func:`emst`.

    Returns
    -------
    distances : numpy.ndarray of float64, shape (n, k)
        The square roots of the squared distances.
    indices : numpy.ndarray of int64, shape (n, k)

    Raises
    ------
    ValueError
        For k outside 1..n-1, and for what ``decompose`` refuses in the points.
    TypeError
        When k is not an integer or the points are not real numbers.

    Examples
    --------
    >>> import quorlkit
    >>> dist, idx = quorlkit.knn([[0.0], [1.0], [3.0], [1.0]], 2)
    >>> idx.tolist(), dist.tolist()
    ([[1, 3], [3, 0], [1, 3], [1, 0]], [[1.0, 1.0], [0.0, 1.0], [2.0, 2.0], [0.0, 1.0]])
    """
    arr = _points_array(points)
    threads = core_threads(workers)
    method = pair_method(algorithm)
    count = _neighbour_count(k, int(arr.shape[0]))
    # The core's rows (int32 and float64) and the result's (int64 and float64).
    refuse_unless_room(
        f"knn with k = {count} on {arr.shape[0]} points", arr.shape[0] * count, 28,
        "a point and neighbour", "use a smaller k or fewer points",
    )
    distances, indices = _core.knn(
        arr, count, threads, algorithm=method, progress=check_progress(progress)
    )
    return distances, indices


def knn_query(
    points: npt.ArrayLike,
    queries: npt.ArrayLike,
    k: int,
    *,
    workers: int | None = None,
    algorithm: str = "auto",
    progress: ProgressCallback | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """The k nearest points to each query point.

    Row ``j`` holds the ``k`` points nearest to ``queries[j]`` in the order of (squared distance,
    index), the squared distance summed as for :func:`knn`. The queries are not among the points:
    a query equal to a point finds it at distance 0. The interpreter lock is released while the
    neighbours are found.

    Parameters
    ----------
    points : array_like of real numbers, shape (n, d)
    queries : array_like of real numbers, shape (m, d)
    k : int
        How many neighbours, ``1 <= k <= n``.
    workers : int, optional
        As for :func:`emst`; the result is the same for every value.
    algorithm : {"auto", "tree", "brute"}, optional
        As for :func:`knn`.
    progress : callable, optional
        As for :func:`emst`.

    Returns
    -------
    distances : numpy.ndarray of float64, shape (m, k)
    indices : numpy.ndarray of int64, shape (m, k)

    Raises
    ------
    ValueError
        For k outside 1..n, queries whose number of columns is not the points', a query row
        that is not finite or lies too far from the points (the message names the row), and
        for what :func:`knn` refuses in the points.
    TypeError
        When k is not an integer or the points or queries are not real numbers.

    Examples
    --------
    >>> import quorlkit
    >>> dist, idx = quorlkit.knn_query([[0.0], [1.0], [3.0]], [[2.5], [-1.0]], 2)
    >>> idx.tolist(), dist.tolist()
    ([[2, 1], [0, 1]], [[0.5, 1.5], [1.0, 2.0]])
    """
    arr = _points_array(points)
    qs = _points_array(queries, "queries")
    threads = core_threads(workers)
    method = pair_method(algorithm)
    n = int(arr.shape[0])
    count = _neighbour_count(k, n + 1, f"between 1 and n = {n} for {n} points")
    if qs.shape[1] != arr.shape[1]:
        raise ValueError(
            f"queries must have as many columns as points ({arr.shape[1]}), not {qs.shape[1]}"
        )
    refuse_unless_room(
        f"knn_query with k = {count} for {qs.shape[0]} queries", qs.shape[0] * count, 16,
        "a query and neighbour", "use a smaller k or fewer queries at a time",
    )
    distances, indices = _core.knn_query(
        arr, qs, count, workers=threads, algorithm=method, progress=check_progress(progress)
    )
    return distances, indices


def knn_graph(
    points: npt.ArrayLike,
    k: int,
    *,
    mode: str = "distance",
    workers: int | None = None,
    algorithm: str = "auto",
    progress: ProgressCallback | None = None,
) -> Any:
    """The k-nearest-neighbour graph as a ``scipy.sparse`` CSR array of shape (n, n).

    What scikit-learn's ``kneighbors_graph(points, k, mode=mode, include_self=False)`` gives: row
    ``i`` holds the ``k`` neighbours of :func:`knn`, in its order, with their distances
    (``mode="distance"``; equal points are stored as explicit zeros) or ones
    (``mode="connectivity"``). Needs SciPy: ``pip install 'quorl[graph]'``. ``workers``,
    ``algorithm`` and ``progress`` are as for :func:`knn`.

    Examples
    --------
    >>> import quorlkit
    >>> g = quorlkit.knn_graph([[0.0], [1.0], [3.0]], 1)
    >>> g.toarray().tolist()
    [[0.0, 1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 2.0, 0.0]]
    """
    if mode not in ("distance", "connectivity"):
        raise ValueError(f"mode must be 'distance' or 'connectivity', not {mode!r}")
    try:
        from scipy.sparse import csr_array
    except ImportError:
        raise ImportError(
            "knn_graph needs SciPy: pip install 'quorl[graph]' (or pip install scipy)"
        ) from None
    distances, indices = knn(points, k, workers=workers, algorithm=algorithm, progress=progress)
    n, count = indices.shape
    data = distances.ravel() if mode == "distance" else np.ones(n * count)
    indptr = np.arange(0, n * count + 1, count, dtype=np.int64)
    return csr_array((data, indices.ravel(), indptr), shape=(n, n))


def closest_pair(
    points: npt.ArrayLike,
    *,
    workers: int | None = None,
    algorithm: str = "auto",
    progress: ProgressCallback | None = None,
) -> tuple[float, int, int]:
    """The closest pair of points: the first pair ``(i, j)``, ``i < j``, in the order of
    (squared distance, i, j), as the first edge of :func:`emst`.

    Parameters
    ----------
    points : array_like of real numbers, shape (n, d), n >= 2
    workers, algorithm, progress : optional
        As for :func:`emst`.

    Returns
    -------
    distance : float
        The square root of the pair's squared distance (0.0 for equal points).
    i, j : int

    Raises
    ------
    ValueError
        For fewer than two points, and for what ``decompose`` refuses in the points.

    Examples
    --------
    >>> import quorlkit
    >>> quorlkit.closest_pair([[0.0, 0.0], [5.0, 5.0], [1.0, 1.0], [4.0, 4.0]])
    (1.4142135623730951, 0, 2)
    """
    arr = _points_array(points)
    threads = core_threads(workers)
    method = pair_method(algorithm)
    n = int(arr.shape[0])
    if n < 2:
        raise ValueError(f"a closest pair needs at least 2 points, not {n}")
    squared, i, j = _core.closest_pair(
        arr, threads, algorithm=method, progress=check_progress(progress)
    )
    return math.sqrt(squared), i, j
