"""decompose() and the Decomposition it returns."""

from __future__ import annotations

import numbers
import operator
from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core
from ._arguments import optional_limit, real_number
from ._progress import ProgressCallback, check_progress
from ._workers import core_threads

__all__ = ["Decomposition", "decompose"]

# Kinds of array that hold real numbers: bool, signed and unsigned integers, floats.
_REAL_KINDS = "biuf"


def _points_array(points: Any, name: str = "points") -> npt.NDArray[np.float64]:
    """The points as a C-contiguous float64 array of shape (n, d), converted at most once."""
    if isinstance(points, np.ndarray):
        arr = points
    else:
        try:
            arr = np.asarray(points)
        except ValueError as err:  # ragged rows
            raise ValueError(f"{name} must be an array of shape (n, d): {err}") from None
    if arr.dtype.kind == "O":
        for x in arr.flat:
            if not isinstance(x, numbers.Real):
                raise TypeError(f"{name} must hold real numbers, not {type(x).__name__} ({x!r})")
    elif arr.dtype.kind not in _REAL_KINDS:
        raise TypeError(f"{name} must hold real numbers, not {arr.dtype}")
    if arr.ndim != 2:
        raise ValueError(
            f"{name} must be an array of shape (n, d), not of shape {arr.shape}"
        )
    if arr.dtype == np.float64 and arr.flags.c_contiguous:
        return arr
    return np.ascontiguousarray(arr, dtype=np.float64)


def _separation(s: Any) -> float:
    return real_number("s", s)


class Decomposition:
    """A well-separated pair decomposition over a fair split tree, in arrays.

    Made by :func:`decompose`. The nodes of the tree are numbered in pre-order: node 0 is the
    root, the left child of an internal node ``i`` is ``i + 1`` and its right child
    ``i + 2 * node_size[i + 1]``. The points under node ``i`` are
    ``order[node_start[i]:node_start[i] + node_size[i]]``, positions in the input, in the tree's
    left-to-right leaf order. Every array is read-only.

    Attributes
    ----------
    n, d : int
        The number of points and of coordinates per point.
    s : float
        The separation factor.
    order : numpy.ndarray of int32, shape (n,)
        The input positions in left-to-right leaf order.
    node_start, node_size : numpy.ndarray of int32, shape (2n - 1,)
        Where each node's points begin in ``order``, and how many there are.
    node_center : numpy.ndarray of float64, shape (2n - 1, d)
        The center of each node's bounding box.
    node_radius : numpy.ndarray of float64, shape (2n - 1,)
        Half the diagonal of each node's bounding box (0 at a leaf).
    pairs : numpy.ndarray of int32, shape (m, 2)
        The well-separated pairs as node ids, first side then second side, in the order in
        which ``quorl.build_quorl`` reports them.

    Examples
    --------
    >>> import quorlkit
    >>> dec = quorlkit.decompose([[0.0], [1.0], [3.0]], 1.0)
    >>> len(dec), dec.num_entries
    (2, 5)
    >>> [(a.tolist(), b.tolist()) for a, b in dec]
    [([1], [0]), ([1, 0], [2])]
    """

    n: int
    d: int
    s: float
    order: npt.NDArray[np.int32]
    node_start: npt.NDArray[np.int32]
    node_size: npt.NDArray[np.int32]
    node_center: npt.NDArray[np.float64]
    node_radius: npt.NDArray[np.float64]
    pairs: npt.NDArray[np.int32]

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError("Decomposition objects are made by quorlkit.decompose()")

    @classmethod
    def _from_core(
        cls, n: int, d: int, s: float, arrays: tuple[npt.NDArray[Any], ...]
    ) -> Decomposition:
        self = object.__new__(cls)
        for arr in arrays:
            arr.flags.writeable = False
        (
            self.order,
            self.node_start,
            self.node_size,
            self.node_center,
            self.node_radius,
            self.pairs,
        ) = arrays
        self.n, self.d, self.s = n, d, s
        return self

    def __len__(self) -> int:
        """The number of pairs."""
        return int(self.pairs.shape[0])

    def __iter__(self) -> Iterator[tuple[npt.NDArray[np.int32], npt.NDArray[np.int32]]]:
        """The two sides of every pair in turn, as :meth:`side` gives them."""
        for i in range(len(self)):
            yield self.side(i)

    def side(self, i: int) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int32]]:
        """The input positions on the two sides of pair ``i``, as views of ``order``.

        Parameters
        ----------
        i : int
            The pair, ``-len(self) <= i < len(self)``.

        Returns
        -------
        first, second : numpy.ndarray of int32
            The positions under the first and the second node of the pair, in leaf order.

        Examples
        --------
        >>> import quorlkit
        >>> dec = quorlkit.decompose([[0.0], [1.0], [3.0]], 1.0)
        >>> [x.tolist() for x in dec.side(-1)]
        [[1, 0], [2]]
        """
        i = operator.index(i)
        m = len(self)
        if not -m <= i < m:
            raise IndexError(f"pair {i} out of range for {m} pairs")
        a, b = (int(x) for x in self.pairs[i])
        return self._run(a), self._run(b)

    def _run(self, node: int) -> npt.NDArray[np.int32]:
        start = int(self.node_start[node])
        return self.order[start : start + int(self.node_size[node])]

    @property
    def num_entries(self) -> int:
        """The total length of all the pairs' position lists.

        Examples
        --------
        >>> import quorlkit
        >>> quorlkit.decompose([[0.0, 0.0], [1.0, 0.0]], 2.0).num_entries
        2
        """
        return int(self.node_size[self.pairs].sum(dtype=np.int64))

    @property
    def depth(self) -> int:
        """The number of edges on the longest path from the root to a leaf (0 for one point).

        Examples
        --------
        >>> import quorlkit
        >>> quorlkit.decompose([[1.0], [2.0], [4.0], [8.0], [16.0]], 1.0).depth
        4
        """
        return int(_core.tree_depth(self.node_size))

    def to_lists(self) -> list[tuple[list[int], list[int]]]:
        """The pairs spelled out, exactly as ``quorl.build_quorl`` returns them.

        Returns
        -------
        list of (list of int, list of int)
            One tuple per pair: the positions of its first side, then of its second side.

        Examples
        --------
        >>> import quorlkit
        >>> quorlkit.decompose([[0.0], [1.0], [3.0]], 1.0).to_lists()
        [([1], [0]), ([1, 0], [2])]
        """
        return _core.to_lists(self.order, self.node_start, self.node_size, self.pairs)

    def __repr__(self) -> str:
        return (
            f"<Decomposition n={self.n} d={self.d} s={self.s!r} pairs={len(self)} "
            f"nodes={self.node_size.shape[0]}>"
        )


def decompose(
    points: npt.ArrayLike,
    s: float,
    *,
    workers: int | None = None,
    max_pairs: int | None = None,
    progress: ProgressCallback | None = None,
) -> Decomposition:
    """The well-separated pair decomposition of a set of points, as arrays.

    The same fair split tree and the same pairs as ``quorl.build_quorl(n, d, s, pts)`` for the
    same points, without a Python object per point or per pair. The interpreter lock is released
    while the decomposition is computed.

    Parameters
    ----------
    points : array_like of real numbers, shape (n, d)
        One point per row. A C-contiguous float64 array is used as it is; anything else is
        converted once.
    s : float
        The separation factor: two nodes of larger radius r whose centers lie at distance
        ``dist`` are well separated when ``dist - 2 r > s r``.
    workers : int, optional
        Threads to search on: None (the default) every core this process may run on, -1 every
        core of the machine, k > 0 that many. The result is the same for every value, to the
        bit and in the same order.
    max_pairs : int, optional
        Refuse the decomposition as soon as it has more than this many pairs. Whatever it is,
        the pairs are also refused once they would outgrow the memory available when the call
        began, at 16 bytes a pair while they are gathered (8 for the pair itself).
    progress : callable, optional
        As for :func:`quorlkit.emst`.

    Returns
    -------
    Decomposition

    Raises
    ------
    MemoryError
        When the pairs exceed ``max_pairs`` or the memory available; the message says how many
        were found before stopping, the limit, the least memory the whole needs, and what to
        change.
    ValueError
        For the inputs that ``build_quorl`` refuses, with the same message (d = 0, a non-finite
        s or coordinate, a coordinate or extent too large, two equal points), and for an array
        that is not of shape (n, d).
    TypeError
        When the points or s are not real numbers, or workers or max_pairs not integers.

    Examples
    --------
    >>> import numpy as np, quorlkit
    >>> dec = quorlkit.decompose(np.array([[0.0, 0.0], [1.0, 6.0], [2.0, 1.0], [3.0, 8.0]]), 2.0)
    >>> dec.n, dec.d, len(dec)
    (4, 2, 3)
    """
    arr = _points_array(points)
    sep = _separation(s)
    threads = core_threads(workers)
    limit = optional_limit("max_pairs", max_pairs)
    arrays = _core.decompose(arr, sep, limit, threads, progress=check_progress(progress))
    return Decomposition._from_core(int(arr.shape[0]), int(arr.shape[1]), sep, arrays)
