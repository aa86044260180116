"""DBSCAN with scikit-learn's labels in O(n d) memory."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core
from ._cluster import _HAVE_SKLEARN, _Base, _check_X, _integer, _Mixin, _not_fitted
from ._arguments import pair_method, positive_length
from ._progress import ProgressCallback, check_progress
from ._workers import check_workers, core_threads

__all__ = ["DBSCAN"]


def _refuse_non_finite(arr: npt.NDArray[np.float64], name: str) -> None:
    """A ValueError naming the first row (and its column) that holds NaN or an infinity."""
    with np.errstate(invalid="ignore", over="ignore"):
        if np.isfinite(np.add.reduce(arr, axis=None)):
            return  # a finite sum rules out every NaN and inf in one pass
    bad = ~np.isfinite(arr)
    if not bad.any():
        return  # the sum overflowed; the coordinates are finite
    row = int(np.argmax(bad.any(axis=1)))
    col = int(np.argmax(bad[row]))
    value = arr[row, col]
    what = "NaN" if np.isnan(value) else ("inf" if value > 0 else "-inf")
    raise ValueError(
        f"{name} row {row} holds {what} (column {col}); coordinates must be finite"
    )


def _weights(sample_weight: Any, n: int, X: Any) -> npt.NDArray[np.float64] | None:
    if sample_weight is None:
        return None
    if _HAVE_SKLEARN:
        from sklearn.utils.validation import _check_sample_weight

        w = _check_sample_weight(sample_weight, X, dtype=np.float64)
    else:
        w = np.asarray(sample_weight, dtype=np.float64)
        if w.ndim == 0:
            w = np.full(n, float(w))
        if w.shape != (n,):
            raise ValueError(f"sample_weight must have shape ({n},), not {w.shape}")
    w = np.ascontiguousarray(w, dtype=np.float64)
    bad = ~np.isfinite(w)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"sample_weight[{i}] is {w[i]}; weights must be finite")
    return w


class DBSCAN(_Mixin, _Base):  # type: ignore[misc]
    """DBSCAN: clusters of the points with many neighbours, joined within eps.

    The labels, their numbering included, are those of
    ``sklearn.cluster.DBSCAN(eps, min_samples, algorithm="kd_tree")``. A point is *within eps* of
    another when the squares of their coordinate differences, summed over the coordinates in
    order, are at most ``eps * eps`` (as scikit-learn's kd-tree compares them). A point is core
    when the points within eps of it, itself included, number at least ``min_samples`` (with
    ``sample_weight``: weigh at least that much; a negative weight can keep a neighbour from
    being core). Clusters are the groups of core points joined within eps, numbered in the order
    of their lowest-index core point; a point that is not core joins the lowest-numbered cluster
    with a core point within eps of it, or is noise (-1).

    Memory is O(n d), never a list of each point's neighbours: counts stop at min_samples and
    the clusters come from unions over the boxes of a tree. The labels are the same for every
    ``workers``. Weighted counts are summed in an order fixed by the points, not scikit-learn's:
    with weights whose sums round, a point whose neighbours weigh min_samples to the last bit
    may be judged differently. scikit-learn is optional: with it this is a full scikit-learn
    estimator.

    Parameters
    ----------
    eps : float, default 0.5
        The radius of a neighbourhood, positive and finite.
    min_samples : int, default 5
        The neighbours (or their weight) that make a point core, the point itself included.
    workers : int, optional
        Threads: None for every core this process may run on, -1 for all cores, or a count.
    algorithm : {"auto", "tree", "brute"}, default "auto"
        As for :func:`quorlkit.knn`: the tree, or every pair measured in blocks (many
        dimensions; then the counts run to the end, and the memory is still O(n d)). Weighted
        fits always take the tree. The labels are the same.

    Attributes
    ----------
    labels_ : ndarray of int64, shape (n,)
        The cluster of each row; -1 for noise.
    core_sample_indices_ : ndarray of int64
        The core rows, ascending.
    components_ : ndarray of float64, shape (len(core_sample_indices_), d)
        Their coordinates.

    Examples
    --------
    >>> import numpy as np, quorlkit
    >>> x = np.array([[0.0], [0.5], [1.0], [5.0], [5.5], [6.0], [20.0]])
    >>> quorlkit.DBSCAN(eps=0.6, min_samples=2).fit(x).labels_.tolist()
    [0, 0, 0, 1, 1, 1, -1]
    """

    def __init__(
        self,
        eps: float = 0.5,
        min_samples: int = 5,
        workers: int | None = None,
        algorithm: str = "auto",
    ) -> None:
        self.eps = eps
        self.min_samples = min_samples
        self.workers = workers
        self.algorithm = algorithm

    def fit(
        self,
        X: Any,
        y: Any = None,
        sample_weight: Any = None,
        *,
        progress: ProgressCallback | None = None,
    ) -> DBSCAN:
        """Cluster the rows of X (array_like of shape (n, d)); returns self. ``progress`` is as
        for :func:`quorlkit.emst`."""
        report = check_progress(progress)
        eps = positive_length("eps", self.eps)
        min_samples = _integer("min_samples", self.min_samples, 1)
        assert min_samples is not None
        check_workers(self.workers)
        how = pair_method(self.algorithm)
        arr = _check_X(self, X, min_rows=1)
        _refuse_non_finite(arr, "X")
        weights = _weights(sample_weight, arr.shape[0], arr)
        labels, core, components = _core.dbscan(
            arr, eps, float(min_samples), weights, core_threads(self.workers), algorithm=how,
            progress=report,
        )
        self.labels_ = labels
        self.core_sample_indices_ = core
        self.components_ = components
        return self

    def fit_predict(
        self, X: Any, y: Any = None, sample_weight: Any = None
    ) -> npt.NDArray[np.int64]:
        """Cluster the rows of X and return ``labels_``."""
        return self.fit(X, sample_weight=sample_weight).labels_

    def _fitted(self) -> None:
        if not hasattr(self, "labels_"):
            raise _not_fitted(self)
