"""Geometric t-spanners, from the fair split tree."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core
from ._decomposition import _points_array
from ._arguments import optional_limit, real_number
from ._progress import ProgressCallback, check_progress
from ._workers import core_threads

__all__ = ["spanner"]

def _stretch(t: Any) -> float:
    value = real_number("t", t)
    if not (value > 1.0 and math.isfinite(value)):
        raise ValueError(f"t must be a finite number above 1, not {t!r}")
    return value


def spanner(
    points: npt.ArrayLike,
    t: float,
    *,
    workers: int | None = None,
    max_edges: int | None = None,
    progress: ProgressCallback | None = None,
) -> Any:
    """A sparse geometric t-spanner: a graph on the points in which every two points are joined
    by a path no longer than ``t`` times their Euclidean distance.

    The edges come from a greedy pass, shortest first, over the nearest neighbours of each
    point, which keeps an edge only when the graph has no path within ``t`` times its length,
    and then from a cover of every pair of points by pairs of nodes of the fair split tree,
    each checked by a bounded path search. The edge count is close to the greedy spanner's (the
    sparsest practical t-spanner). Equal points are joined by edges of length 0 (stored as
    explicit zeros), from the first copy to each other one.

    Lengths are the square roots of the squared distances computed as for :func:`emst`, and
    path lengths their float64 sums: the guarantee holds to a relative ``1e-9`` of ``t`` times
    the distance (rounding adds at most one ulp per edge of a path, and a few ulps in the
    bounds). The result does not depend on ``workers``. Needs SciPy:
    ``pip install 'quorl[graph]'``.

    Parameters
    ----------
    points : array_like of real numbers, shape (n, d)
    t : float
        The stretch, a finite number above 1.
    workers, progress : optional
        As for :func:`emst`.
    max_edges : int, optional
        Stop with a MemoryError once more edges than this would be needed. By default the
        limit is what the memory available when the call began can hold.

    Returns
    -------
    scipy.sparse.csr_array of float64, shape (n, n)
        Symmetric: entry (i, j) and (j, i) hold the length of edge {i, j}.

    Raises
    ------
    ValueError
        For t not above 1 or not finite, and for what ``decompose`` refuses in the points.
    MemoryError
        Beyond ``max_edges``, or beyond what the available memory holds.

    Examples
    --------
    >>> import quorlkit
    >>> g = quorlkit.spanner([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0]], 1.5)
    >>> g.toarray().tolist()
    [[0.0, 1.0, 0.0], [1.0, 0.0, 1.0], [0.0, 1.0, 0.0]]
    """
    try:
        from scipy.sparse import csr_array
    except ImportError:
        raise ImportError(
            "spanner needs SciPy: pip install 'quorl[graph]' (or pip install scipy)"
        ) from None
    arr = _points_array(points)
    stretch = _stretch(t)
    threads = core_threads(workers)
    ends, lengths, stopped, limit, source = _core.spanner(
        arr, stretch, optional_limit("max_edges", max_edges), threads,
        progress=check_progress(progress),
    )
    if stopped >= 0:
        where = (
            f"max_edges={limit}"
            if max_edges is not None
            else f"the {limit} edges that the memory available when the call began holds "
            f"({source})"
        )
        raise MemoryError(
            f"spanner stopped after {stopped} edges: a {stretch}-spanner of these "
            f"{arr.shape[0]} points needs more than {where}; raise max_edges, "
            "choose a larger t, or use fewer points"
        )
    n = int(arr.shape[0])
    # Both halves of every edge; scipy sorts each row's columns.
    rows = np.concatenate((ends[:, 0], ends[:, 1]))
    cols = np.concatenate((ends[:, 1], ends[:, 0]))
    data = np.concatenate((lengths, lengths))
    order = np.lexsort((cols, rows))
    indptr = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=n), out=indptr[1:])
    return csr_array((data[order], cols[order], indptr), shape=(n, n))
