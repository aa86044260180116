"""Friends-of-friends groups: the points joined within a linking length."""

from __future__ import annotations

import numbers
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core
from ._arguments import pair_method, positive_length
from ._decomposition import _points_array
from ._progress import ProgressCallback, check_progress
from ._workers import core_threads

__all__ = ["friends_of_friends"]


def friends_of_friends(
    points: Any,
    linking_length: float,
    min_size: int = 1,
    *,
    workers: int | None = None,
    algorithm: str = "auto",
    progress: ProgressCallback | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """The friends-of-friends groups of the points: the parts of the graph that joins every two
    points within ``linking_length`` of each other (squared length at most its square, as for
    :class:`quorlkit.DBSCAN`), which is the single-linkage tree cut at that length.

    Returns ``(labels, sizes)``: each row's group, groups numbered 0, 1, ... in the order of
    their lowest row, with groups of fewer than ``min_size`` points labelled -1 and left out of
    the numbering; and each group's size. With ``min_size=1`` the labels are
    ``DBSCAN(eps=linking_length, min_samples=1)``'s. Memory is O(n d); the result is the same for
    every ``workers`` and ``algorithm`` (as for :func:`quorlkit.knn`).
    """
    arr = _points_array(points)
    b = positive_length("linking_length", linking_length)
    if isinstance(min_size, (bool, np.bool_)) or not isinstance(min_size, numbers.Integral):
        raise TypeError(f"min_size must be an integer, not {type(min_size).__name__}")
    if min_size < 1:
        raise ValueError(f"min_size must be at least 1 (got {int(min_size)})")
    threads = core_threads(workers)
    how = pair_method(algorithm)
    if arr.shape[0] == 0:
        return np.empty(0, dtype=np.int64), np.empty(0, dtype=np.int64)
    labels, _, _ = _core.dbscan(
        arr, b, 1.0, None, threads, cores=False, algorithm=how, progress=check_progress(progress)
    )
    sizes = np.bincount(labels)
    if min_size > 1:
        keep = sizes >= min_size
        number = np.cumsum(keep) - 1
        labels = np.where(keep[labels], number[labels], -1)
        sizes = sizes[keep]
    return labels, sizes
