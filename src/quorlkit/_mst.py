"""The Euclidean minimum spanning tree and the single-linkage hierarchy built from it."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from . import _core
from ._arguments import pair_method
from ._decomposition import _points_array
from ._progress import ProgressCallback, check_progress
from ._workers import core_threads

__all__ = ["MinimumSpanningTree", "emst", "linkage", "single_linkage"]


class MinimumSpanningTree(NamedTuple):
    """A spanning tree of n points as n - 1 edges.

    Attributes
    ----------
    lengths : numpy.ndarray of float64, shape (n - 1,)
        The length of each edge, non-decreasing.
    edges : numpy.ndarray of int64, shape (n - 1, 2)
        The two points of each edge as row positions in the input, ``edges[:, 0] < edges[:, 1]``.
    """

    lengths: npt.NDArray[np.float64]
    edges: npt.NDArray[np.int64]


def emst(
    points: npt.ArrayLike,
    *,
    workers: int | None = None,
    algorithm: str = "auto",
    progress: ProgressCallback | None = None,
) -> MinimumSpanningTree:
    """The exact Euclidean minimum spanning tree of a set of points.

    Point pairs ``(i, j)``, ``i < j``, are ordered by ``(squared length, i, j)``, where the
    squared length is the sum over ``k = 0..d-1``, in that order, of ``(x[i, k] - x[j, k])**2``.
    Under that total order the minimum spanning tree is unique, and that is the tree returned,
    with its edges in that order. It is computed by Borůvka rounds over a fair split tree or, where
    a tree cannot prune (many dimensions), by Prim's algorithm measuring pairs in blocks, in
    O(n d) memory either way, with the interpreter lock released.

    Parameters
    ----------
    points : array_like of real numbers, shape (n, d)
        One point per row. Equal points are allowed (their edges have length 0).
    workers : int, optional
        Threads to use: None for every core this process may run on, -1 for all cores, or a
        positive count. The result is the same for every value.
    algorithm : {"auto", "tree", "brute"}, optional
        Borůvka over the tree, or Prim over blocks of pairs (n^2 / 2 squared lengths, several
        pairs at once in each vector register). "auto" (the default) chooses from the dimension
        and an estimate, on a sample, of how much the tree would prune. The tree is the same,
        bit for bit.
    progress : callable, optional
        Called as ``progress(fraction, stage)`` on the calling thread about every 50 ms while
        the core works, with fractions in [0, 1] that never decrease, and last as
        ``progress(1.0, "done")``. An exception it raises stops the call and is raised from it.
        With or without it, Ctrl-C stops the call within a second with KeyboardInterrupt.

    Returns
    -------
    MinimumSpanningTree
        ``(lengths, edges)``: float64 of shape (n - 1,), the square root of each edge's squared
        length, and int64 of shape (n - 1, 2). For n = 0 or 1, shapes (0,) and (0, 2).

    Raises
    ------
    ValueError
        For what ``decompose`` refuses in the points (d = 0, a non-finite coordinate, a
        coordinate or extent too large for the arithmetic, an array not of shape (n, d)).
    TypeError
        When the points are not real numbers, or ``workers`` is not an integer.

    Examples
    --------
    >>> import quorlkit
    >>> t = quorlkit.emst([[0.0, 0.0], [3.0, 4.0], [1.0, 0.0], [1.0, 0.0]])
    >>> t.edges.tolist(), t.lengths.tolist()
    ([[2, 3], [0, 2], [1, 2]], [0.0, 1.0, 4.47213595499958])
    """
    arr = _points_array(points)
    threads = core_threads(workers)
    method = pair_method(algorithm)
    edges, lengths = _core.emst(arr, threads, algorithm=method, progress=check_progress(progress))
    return MinimumSpanningTree(lengths, edges)


def linkage(tree: MinimumSpanningTree, *, smaller_first: bool = True) -> npt.NDArray[np.float64]:
    """The single-linkage hierarchy of any spanning tree, as a SciPy linkage matrix.

    The edges are merged in order of length; edges of equal length keep their order in the
    tree. Row ``k`` of the result joins clusters ``Z[k, 0]`` and ``Z[k, 1]`` at height
    ``Z[k, 2]`` into a cluster of ``Z[k, 3]`` points; ids below n are points and ``n + k`` is
    the cluster made by row ``k``.

    Parameters
    ----------
    tree : MinimumSpanningTree
        A spanning tree of n points (for instance, a minimum spanning tree under another
        distance): n - 1 edges between row positions 0..n-1, and their lengths.
    smaller_first : bool
        Put the smaller cluster id first in each row, as SciPy does; otherwise the cluster of
        the edge's first end comes first.

    Returns
    -------
    numpy.ndarray of float64, shape (n - 1, 4)

    Raises
    ------
    ValueError
        When the edges do not form a spanning tree of the points 0..n-1, or a length is NaN.

    Examples
    --------
    >>> import numpy as np, quorlkit
    >>> t = quorlkit.MinimumSpanningTree(np.array([2.0, 1.0]), np.array([[0, 1], [1, 2]]))
    >>> quorlkit.linkage(t).tolist()
    [[1.0, 2.0, 1.0, 2.0], [0.0, 3.0, 2.0, 3.0]]
    """
    lengths = np.asarray(tree.lengths, dtype=np.float64)
    edges = np.asarray(tree.edges)
    if edges.dtype.kind not in "iu":
        raise TypeError(f"edges must hold integers, not {edges.dtype}")
    if edges.ndim != 2 or edges.shape[1] != 2:
        raise ValueError(f"edges must have shape (m, 2), not {edges.shape}")
    if lengths.shape != (edges.shape[0],):
        raise ValueError(
            f"lengths must have shape ({edges.shape[0]},) for {edges.shape[0]} edges, "
            f"not {lengths.shape}"
        )
    if np.isnan(lengths).any():
        raise ValueError(f"lengths must not be NaN (row {int(np.flatnonzero(np.isnan(lengths))[0])})")
    if np.any(lengths[1:] < lengths[:-1]):
        order = np.argsort(lengths, kind="stable")
        lengths, edges = lengths[order], edges[order]
    return _core.linkage(edges.shape[0] + 1, edges.astype(np.int64), lengths, smaller_first)


def single_linkage(
    points: npt.ArrayLike,
    *,
    workers: int | None = None,
    algorithm: str = "auto",
    progress: ProgressCallback | None = None,
) -> npt.NDArray[np.float64]:
    """The single-linkage hierarchy of a set of points, as a SciPy linkage matrix.

    Computed from :func:`emst` in O(n d) memory, where ``scipy.cluster.hierarchy.linkage``
    needs the n (n - 1) / 2 distances. Row ``k`` merges clusters ``Z[k, 0] < Z[k, 1]`` at height
    ``Z[k, 2]`` (the length of the tree's edge ``k``) into a cluster of ``Z[k, 3]`` points. Ids
    below n are points and ``n + k`` is the cluster made by row ``k``. Where all heights are
    distinct it is SciPy's ``linkage(points, 'single')``; on any data its cophenetic distances
    are SciPy's.

    Parameters
    ----------
    points : array_like of real numbers, shape (n, d)
    workers, algorithm, progress : optional
        As for :func:`emst`.

    Returns
    -------
    numpy.ndarray of float64, shape (n - 1, 4)

    Examples
    --------
    >>> import quorlkit
    >>> quorlkit.single_linkage([[0.0], [10.0], [1.0]]).tolist()
    [[0.0, 2.0, 1.0, 2.0], [1.0, 3.0, 9.0, 3.0]]
    """
    tree = emst(points, workers=workers, algorithm=algorithm, progress=progress)
    n = tree.edges.shape[0] + 1
    z: npt.NDArray[np.float64] = _core.linkage(n, tree.edges, tree.lengths, True)
    return z


