"""HDBSCAN*: density-based clusters from the exact mutual-reachability minimum spanning tree."""

from __future__ import annotations

import numbers
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core, _hierarchy
from ._arguments import pair_method
from ._arguments import real_number as _real
from ._decomposition import _points_array
from ._mst import MinimumSpanningTree
from ._memory import refuse_unless_room
from ._progress import ProgressCallback, StageLog, check_progress
from ._workers import check_workers, core_threads

__all__ = ["HDBSCAN", "CONDENSED_TREE_DTYPE"]

#: The layout of ``HDBSCAN.condensed_tree_``, that of the hdbscan package's
#: ``condensed_tree_.to_numpy()``.
CONDENSED_TREE_DTYPE = np.dtype(
    [("parent", np.int64), ("child", np.int64), ("lambda_val", np.float64), ("child_size", np.int64)]
)

try:  # scikit-learn is optional: with it the estimator is a real one (clone, Pipeline, checks)
    from sklearn.base import BaseEstimator as _Base
    from sklearn.base import ClusterMixin as _Mixin

    _HAVE_SKLEARN = True
except ImportError:  # pragma: no cover - exercised in environments without scikit-learn
    _HAVE_SKLEARN = False

    class _Base:  # type: ignore[no-redef]
        """get_params/set_params as scikit-learn's BaseEstimator has them, for the parameters
        that ``__init__`` names."""

        @classmethod
        def _get_param_names(cls) -> list[str]:
            import inspect

            signature = inspect.signature(cls.__init__)
            return sorted(p for p in signature.parameters if p != "self")

        def get_params(self, deep: bool = True) -> dict[str, Any]:
            return {name: getattr(self, name) for name in self._get_param_names()}

        def set_params(self, **params: Any) -> Any:
            valid = self._get_param_names()
            for name, value in params.items():
                if name not in valid:
                    raise ValueError(
                        f"Invalid parameter {name!r} for estimator {type(self).__name__}; "
                        f"valid parameters are {valid}"
                    )
                setattr(self, name, value)
            return self

        def __repr__(self) -> str:
            args = ", ".join(f"{k}={v!r}" for k, v in self.get_params().items())
            return f"{type(self).__name__}({args})"

    class _Mixin:  # type: ignore[no-redef]
        _estimator_type = "clusterer"

        def fit_predict(self, X: Any, y: Any = None, **kwargs: Any) -> Any:
            self.fit(X, **kwargs)  # type: ignore[attr-defined]
            return self.labels_  # type: ignore[attr-defined]


def _not_fitted(estimator: Any) -> Exception:
    message = (
        f"This {type(estimator).__name__} instance is not fitted yet; call 'fit' first."
    )
    try:
        from sklearn.exceptions import NotFittedError
    except ImportError:
        return _NotFittedError(message)
    return NotFittedError(message)


class _NotFittedError(ValueError, AttributeError):
    """As scikit-learn's NotFittedError, where scikit-learn is not installed."""


def _integer(name: str, value: Any, low: int, none_ok: bool = False) -> int | None:
    if value is None and none_ok:
        return None
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        kind = "None or an integer" if none_ok else "an integer"
        raise TypeError(f"{name} must be {kind}, not {type(value).__name__}")
    if value < low:
        raise ValueError(f"{name} must be at least {low} (got {int(value)})")
    return int(value)


def _check_X(
    estimator: Any, X: Any, reset: bool = True, min_rows: int = 2
) -> npt.NDArray[np.float64]:
    """X as a C-contiguous float64 array of shape (n, d), inf and NaN allowed; with scikit-learn
    through its own validation, so that its messages and checks apply."""
    if _HAVE_SKLEARN:
        kwargs = dict(
            dtype=np.float64, order="C", accept_sparse=False, ensure_min_samples=min_rows
        )
        try:
            from sklearn.utils.validation import validate_data

            arr = validate_data(estimator, X, ensure_all_finite=False, reset=reset, **kwargs)
        except ImportError:  # scikit-learn before 1.6
            arr = estimator._validate_data(X, force_all_finite=False, reset=reset, **kwargs)
        return np.ascontiguousarray(arr, dtype=np.float64)
    arr = _points_array(X)
    name = type(estimator).__name__
    if arr.shape[0] < min_rows:
        raise ValueError(f"X has {arr.shape[0]} rows; {name} needs at least {min_rows}")
    if arr.shape[1] < 1:
        raise ValueError(f"X has 0 columns; {name} needs at least 1 feature")
    estimator.n_features_in_ = arr.shape[1]
    return arr


def _both(first: ProgressCallback, second: ProgressCallback) -> ProgressCallback:
    def report(fraction: float, stage: str) -> None:
        first(fraction, stage)
        second(fraction, stage)

    return report


class HDBSCAN(_Mixin, _Base):  # type: ignore[misc]
    """HDBSCAN*, the clusters of varying density of the hierarchy of mutual reachability.

    Parameters mean what they mean in ``sklearn.cluster.HDBSCAN`` (Euclidean distance), and the
    labels are scikit-learn's, numbering included, on every finite input, ties and equal rows
    included: where weights tie, the tree is the one scikit-learn's Prim grows from row 0.
    The mutual-reachability minimum spanning tree is exact: the minimum spanning tree under the
    order of pairs ``i < j`` by ``(w(i, j), i, j)``, with
    ``w(i, j) = max(core_i, core_j, d(i, j) / alpha)``, whatever ``workers`` is. Everything after
    it (condensing, stabilities, selection, labels) runs in the C++ core in O(n) or O(n log n),
    with the interpreter lock released; memory is O(n (d + min_samples)) and 8 or 16 bytes for
    each pair that can belong to some minimum spanning tree besides the tree's own edges (about
    7 a point on continuous data at min_samples = 15), refused with MemoryError beyond what fits.
    scikit-learn is optional: with it this is a full scikit-learn estimator (``clone``,
    ``Pipeline``, ``check_estimator``).

    Parameters
    ----------
    min_cluster_size : int, default 5
        The fewest points a cluster may have (at least 2).
    min_samples : int, optional
        The core distance of a point is the distance to its ``min_samples``-th nearest point,
        the point itself counting as the first (so 1 means core distance 0). Defaults to
        ``min_cluster_size``. The ``hdbscan`` package and ``fast_hdbscan`` count without the
        point: their ``min_samples`` plus 1 is this one.
    cluster_selection_epsilon : float, default 0.0
        Clusters born at a distance below this are merged up into their first ancestor born
        above it.
    max_cluster_size : int, optional
        Under ``"eom"``, a cluster of more points than this is never selected (its children are).
    alpha : float, default 1.0
        Distances are divided by ``alpha`` before the core distances are applied.
    cluster_selection_method : {"eom", "leaf"}, default "eom"
        Excess of mass, or the leaves of the condensed tree.
    allow_single_cluster : bool, default False
        Whether the root of the condensed tree may be selected as the one cluster.
    workers : int, optional
        Threads: None for every core this process may run on, -1 for all cores, or a count.
        The result is the same for every value.
    verbose : int, default 0
        Above 0, ``fit`` writes each stage it ends, and its time, to standard error.
    algorithm : {"auto", "tree", "brute"}, default "auto"
        How the mutual-reachability tree is found: Borůvka over the tree, or, where a tree
        cannot prune (many dimensions), Prim over every pair measured in blocks, which also
        makes scikit-learn's choices among ties by itself. "auto" chooses as
        :func:`quorlkit.emst` does. The fit is the same, bit for bit.

    Attributes
    ----------
    labels_ : ndarray of int64, shape (n,)
        Cluster of each input row, numbered by condensed-tree id; -1 noise, -2 a row with an
        infinite coordinate, -3 a row with a NaN (both left out of the fit).
    probabilities_ : ndarray of float64, shape (n,)
        Strength of each row's membership (0 for noise and inf rows, NaN for NaN rows).
    core_distances_ : ndarray of float64, shape (m,)
        Core distance of each fitted row (the m rows without inf or NaN, in input order; they
        are numbered 0..m-1 in the trees below).
    minimum_spanning_tree_ : MinimumSpanningTree
        The mutual-reachability minimum spanning tree of the fitted rows, as ``quorlkit.emst``
        gives a tree: ``lengths`` (the reachabilities, non-decreasing) and ``edges`` (i < j).
    single_linkage_tree_ : ndarray of float64, shape (m - 1, 4)
        Its single-linkage hierarchy as a SciPy linkage matrix, rows oriented as scikit-learn's
        (the left cluster holds the end nearer to row 0 in the tree).
    condensed_tree_ : structured ndarray
        Fields ``parent``, ``child`` (int64), ``lambda_val`` (float64), ``child_size``
        (int64), laid out as the hdbscan package's ``condensed_tree_.to_numpy()``: the root
        cluster is m, ids below m are fitted rows.
    cluster_persistence_ : ndarray of float64, shape (n_clusters,)
        Stability of each selected cluster divided by its size and the largest lambda of the
        tree (1 where that lambda is 0 or infinite), as the hdbscan package defines it.

    Examples
    --------
    >>> import numpy as np, quorlkit
    >>> x = np.r_[np.arange(6.0), 100 + np.arange(6.0)].reshape(-1, 1)
    >>> quorlkit.HDBSCAN(min_cluster_size=3).fit(x).labels_.tolist()
    [0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1]
    """

    def __init__(
        self,
        min_cluster_size: int = 5,
        min_samples: int | None = None,
        cluster_selection_epsilon: float = 0.0,
        max_cluster_size: int | None = None,
        alpha: float = 1.0,
        cluster_selection_method: str = "eom",
        allow_single_cluster: bool = False,
        workers: int | None = None,
        verbose: int = 0,
        algorithm: str = "auto",
    ) -> None:
        self.min_cluster_size = min_cluster_size
        self.min_samples = min_samples
        self.cluster_selection_epsilon = cluster_selection_epsilon
        self.max_cluster_size = max_cluster_size
        self.alpha = alpha
        self.cluster_selection_method = cluster_selection_method
        self.allow_single_cluster = allow_single_cluster
        self.workers = workers
        self.verbose = verbose
        self.algorithm = algorithm

    def _checked_params(self) -> tuple[int, int, float, int, float, str, bool]:
        min_cluster_size = _integer("min_cluster_size", self.min_cluster_size, 2)
        assert min_cluster_size is not None
        min_samples = _integer("min_samples", self.min_samples, 1, none_ok=True)
        epsilon = _real("cluster_selection_epsilon", self.cluster_selection_epsilon)
        if not epsilon >= 0.0 or not np.isfinite(epsilon):
            raise ValueError(f"cluster_selection_epsilon must be finite and >= 0 (got {epsilon})")
        max_size = _integer("max_cluster_size", self.max_cluster_size, 1, none_ok=True)
        alpha = _real("alpha", self.alpha)
        if not alpha > 0.0 or not np.isfinite(alpha):
            raise ValueError(f"alpha must be positive and finite (got {alpha})")
        method = self.cluster_selection_method
        if not isinstance(method, str):
            raise TypeError(
                f"cluster_selection_method must be 'eom' or 'leaf', not {type(method).__name__}"
            )
        if method not in ("eom", "leaf"):
            raise ValueError(f"cluster_selection_method must be 'eom' or 'leaf', not {method!r}")
        single = self.allow_single_cluster
        if not isinstance(single, (bool, np.bool_)):
            raise TypeError(
                f"allow_single_cluster must be a bool, not {type(single).__name__}"
            )
        check_workers(self.workers)
        return (
            min_cluster_size,
            min_cluster_size if min_samples is None else min_samples,
            epsilon,
            -1 if max_size is None else max_size,
            alpha,
            method,
            bool(single),
        )

    def fit(self, X: Any, y: Any = None, *, progress: ProgressCallback | None = None) -> HDBSCAN:
        """Cluster the rows of X (array_like of shape (n, d)); returns self. ``progress`` is
        as for :func:`quorlkit.emst`."""
        report = check_progress(progress)
        if self.verbose:
            log = StageLog("HDBSCAN")
            report = log if report is None else _both(log, report)
        mcs, min_samples, epsilon, max_size, alpha, method, single = self._checked_params()
        how = pair_method(self.algorithm)
        arr = _check_X(self, X)
        n = arr.shape[0]
        # A finite sum (one pass, no temporaries) rules out every inf and NaN; only otherwise are
        # the rows looked at one by one.
        with np.errstate(invalid="ignore", over="ignore"):
            all_finite = bool(np.isfinite(np.add.reduce(arr, axis=None)))
        if not all_finite:
            usable = np.isfinite(arr).all(axis=1)
            all_finite = bool(usable.all())
        if all_finite:
            fit_rows = None  # every row; _fit_rows spells them out only when asked
            points = arr
        else:
            fit_rows = np.flatnonzero(usable).astype(np.int64)
            points = np.ascontiguousarray(arr[usable])
        m = points.shape[0]
        if min_samples > m:
            raise ValueError(
                f"min_samples ({min_samples}) must be at most the number of rows of X without "
                f"inf or NaN ({m})"
            )
        # The core distances come from one neighbour list of min_samples (int32) a point.
        refuse_unless_room(
            f"HDBSCAN with min_samples = {min_samples} on {m} points", m * max(min_samples, 6),
            4, "a point and neighbour", "use a smaller min_samples or fewer points",
        )
        # scikit-learn merges the edges of the tree Prim grows from row 0 in the order NumPy's
        # default argsort of their weights gives; where weights tie, that order decides which
        # cluster is left and which point joins first, so the core sorts with the same argsort.
        # Where the edges that can belong to a minimum spanning tree would outgrow the memory
        # available, the core refuses with MemoryError.
        (edges, lengths, core, z, records, labels, probabilities, clusters, persistence,
         stability) = _core.hdbscan_fit(
            points, min_samples, alpha, core_threads(self.workers), mcs, method, single, epsilon,
            max_size, np.argsort, algorithm=how, progress=report)
        tree = records.view(CONDENSED_TREE_DTYPE)  # written by the core in this layout

        self.__dict__.pop("_outlier_scores", None)  # the scores of an earlier fit
        self.minimum_spanning_tree_ = MinimumSpanningTree(lengths, edges)
        self.core_distances_ = core
        self.single_linkage_tree_ = z
        self.condensed_tree_ = tree
        self.cluster_persistence_ = persistence
        if m == n:
            self.labels_, self.probabilities_ = labels, probabilities
        else:
            left = np.flatnonzero(~usable)
            self.labels_, self.probabilities_ = _hierarchy.every_row(
                n, fit_rows, labels, probabilities, left, _hierarchy.left_out_labels(arr[left]))
        # For what is built on the fit (outlier scores, prediction, other cuts of the tree):
        # the fitted rows, their positions in X, the parameters in effect, the selected
        # condensed-tree ids (label k is _cluster_ids[k]) and every cluster's stability
        # (index id - m).
        self._fit_X = points
        self._rows_fitted = fit_rows
        self._min_samples = min_samples
        self._cluster_ids = clusters
        self._stability = stability
        return self

    def fit_predict(self, X: Any, y: Any = None) -> npt.NDArray[np.int64]:
        """Cluster the rows of X and return ``labels_``."""
        return self.fit(X).labels_

    def _fitted(self) -> None:
        if not hasattr(self, "_cluster_ids"):
            raise _not_fitted(self)

    def _labels_here(self) -> npt.NDArray[np.int64]:
        """labels_ as a NumPy array in this process."""
        return self.labels_

    def _per_row(self, values: npt.NDArray[Any]) -> Any:
        """A value per row of X, as this estimator returns such values."""
        return values

    def _fitted_labels(self) -> npt.NDArray[np.int64]:
        rows = self._rows_fitted
        return self.labels_ if rows is None else self.labels_[rows]

    @property
    def _fit_rows(self) -> npt.NDArray[np.int64]:
        """The positions in X of the fitted rows."""
        rows = self._rows_fitted
        return np.arange(self.labels_.shape[0], dtype=np.int64) if rows is None else rows

    @property
    def outlier_scores_(self) -> npt.NDArray[np.float64]:
        """GLOSH outlier scores of the rows of X, as the ``hdbscan`` package computes them
        (NaN for rows with inf or NaN, which the fit leaves out)."""
        self._fitted()
        if not hasattr(self, "_outlier_scores"):
            scores = _hierarchy.outlier_scores(self.condensed_tree_)
            if scores.shape[0] != self.labels_.shape[0]:
                full = np.full(self.labels_.shape[0], np.nan)
                full[self._fit_rows] = scores
                scores = full
            self._outlier_scores = self._per_row(scores)
        return self._outlier_scores

    def _linkage_of_all_rows(self) -> npt.NDArray[np.float64]:
        """The single-linkage tree over every row of X, as scikit-learn keeps it: the fitted
        rows' tree in the numbering of X, then the rows with NaN and then those with inf, each
        joined to the rest at infinite height."""
        z = self.single_linkage_tree_
        n, m = self.labels_.shape[0], self.core_distances_.shape[0]
        if n == m:
            return z
        full = np.empty((n - 1, 4))
        if m > 1:
            ids = z[:, :2].astype(np.int64)
            leaves = self._fit_rows[np.minimum(ids, m - 1)]
            full[: m - 1, :2] = np.where(ids < m, leaves, ids + (n - m))
            full[: m - 1, 2:] = z[:, 2:]
        labels = self._labels_here()
        rest = np.concatenate((np.flatnonzero(labels == -3), np.flatnonzero(labels == -2)))
        root = n + m - 2 if m > 1 else int(self._fit_rows[0])  # the fit needs m >= 1
        for k, row in enumerate(rest):
            at = m - 1 + k
            full[at] = (row, root, np.inf, m + k + 1)
            root = n + at
        return full

    def dbscan_clustering(
        self, cut_distance: float, min_cluster_size: int = 5
    ) -> npt.NDArray[np.int64]:
        """DBSCAN* labels of the rows of X from the fitted tree cut at ``cut_distance`` (a
        mutual-reachability distance), as scikit-learn's ``HDBSCAN.dbscan_clustering``: noise
        -1, rows with inf -2 and with NaN -3."""
        self._fitted()
        return self._per_row(_hierarchy.dbscan_clustering(
            self._linkage_of_all_rows(), cut_distance, min_cluster_size,
            fit_labels=self._labels_here(),
        ))

    def approximate_predict(
        self, points: Any
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """The clusters of new points and the strength of each membership, as the ``hdbscan``
        package's ``approximate_predict(clusterer, points)``; the fit is left as it is. Needs
        min_samples >= 2."""
        self._fitted()
        return _hierarchy.approximate_predict(
            points, self._fit_X, self.condensed_tree_, self._fitted_labels(),
            self._min_samples, clusters=self._cluster_ids, workers=self.workers,
        )

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()  # type: ignore[misc]
        tags.input_tags.allow_nan = True
        return tags
