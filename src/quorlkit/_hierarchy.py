"""What a fitted HDBSCAN* hierarchy gives beyond its labels: GLOSH outlier scores, DBSCAN*
labels at a cut of the single-linkage tree, and the clusters of new points.

Each is a function over plain arrays, so that an estimator can expose it as a thin method:

- the condensed tree is a NumPy structured array with fields ``parent``, ``child`` (int64),
  ``lambda_val`` (float64) and ``child_size`` (int64), one row per point falling out of a
  cluster and per cluster born of a split, laid out as the ``hdbscan`` package's
  ``condensed_tree_.to_numpy()``: points are ids ``0 .. n-1``, clusters ``n, n+1, ...``, the root
  is ``n``, and a cluster's id is larger than its parent's;
- the single-linkage tree is a SciPy linkage matrix (float, shape (n - 1, 4): left, right,
  distance, size, new nodes ``n, n+1, ...``) or scikit-learn's structured form of it (fields
  ``left_node``, ``right_node``, ``value``, ``cluster_size``).
"""

from __future__ import annotations

import operator
from typing import Any

import numpy as np
import numpy.typing as npt

from ._arguments import real_number
from ._decomposition import _points_array
from ._neighbors import knn, knn_query

__all__ = [
    "approximate_predict",
    "dbscan_clustering",
    "outlier_scores",
    "prediction_core_distances",
    "selected_clusters",
]

TREE_FIELDS = ("parent", "child", "lambda_val", "child_size")
# Labels of the rows scikit-learn leaves out of a fit: with an infinite coordinate, with a NaN.
INFINITE_LABEL, MISSING_LABEL = -2, -3


def left_out_labels(rows: npt.NDArray[np.float64]) -> npt.NDArray[np.int8]:
    """The label of each row (each holding an inf or a NaN) as scikit-learn sees it, by the row
    sum: MISSING_LABEL for a NaN, or +inf beside -inf; INFINITE_LABEL otherwise."""
    nan = np.isnan(rows).any(axis=1) | (
        (rows == np.inf).any(axis=1) & (rows == -np.inf).any(axis=1))
    return np.where(nan, MISSING_LABEL, INFINITE_LABEL).astype(np.int8)


def every_row(
    n: int, fit_rows: npt.NDArray[np.int64], labels: npt.NDArray[np.int64],
    probabilities: npt.NDArray[np.float64], left: npt.NDArray[np.int64],
    left_labels: npt.NDArray[np.int8],
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Labels and probabilities of all n rows from those of the fitted rows `fit_rows` and the
    labels of the rows left out (`left`): probability 0 for an inf row, NaN for a NaN row."""
    every = np.full(n, -1, np.int64)
    every[left], every[fit_rows] = left_labels, labels
    chance = np.zeros(n)
    chance[left[left_labels == MISSING_LABEL]] = np.nan
    chance[fit_rows] = probabilities
    return every, chance


class _Tree:
    """The condensed tree's columns, checked once, with the links between its clusters."""

    def __init__(self, condensed_tree: Any) -> None:
        tree = np.asarray(condensed_tree)
        names = tree.dtype.names or ()
        missing = [f for f in TREE_FIELDS if f not in names]
        if missing:
            raise TypeError(
                "condensed_tree must be a structured array with fields "
                f"{', '.join(TREE_FIELDS)}; it lacks {', '.join(missing)}"
            )
        if tree.ndim != 1 or len(tree) == 0:
            raise ValueError(
                f"condensed_tree must be a non-empty 1-D array, not of shape {tree.shape}"
            )
        self.parent = tree["parent"].astype(np.int64)
        self.child = tree["child"].astype(np.int64)
        self.lam = tree["lambda_val"].astype(np.float64)
        self.size = tree["child_size"].astype(np.int64)
        self.root = n = int(self.parent.min())
        self.n = n
        bad = np.flatnonzero((self.child < 0) | (self.child <= self.parent) & (self.child >= n))
        if bad.size:
            r = int(bad[0])
            raise ValueError(
                f"condensed_tree row {r}: child {self.child[r]} of parent {self.parent[r]} must "
                "be a point (below the root id) or a cluster with a larger id than its parent"
            )
        if np.isnan(self.lam).any() or (self.lam < 0).any():
            r = int(np.flatnonzero(np.isnan(self.lam) | (self.lam < 0))[0])
            raise ValueError(f"condensed_tree row {r}: lambda_val {self.lam[r]} is not >= 0")
        self.is_point = self.child < n
        points = self.child[self.is_point]
        if points.size != n or not np.array_equal(np.sort(points), np.arange(n)):
            raise ValueError(
                f"condensed_tree must hold each point 0 .. {n - 1} exactly once (its root is {n})"
            )
        self.top = int(max(self.child.max(), self.parent.max()))
        # cluster_parent[c - n]: the parent of cluster c (-1 at the root); birth: its lambda.
        clusters = ~self.is_point
        self.cluster_parent = np.full(self.top - n + 1, -1, dtype=np.int64)
        self.birth = np.zeros(self.top - n + 1)
        self.cluster_parent[self.child[clusters] - n] = self.parent[clusters]
        self.birth[self.child[clusters] - n] = self.lam[clusters]
        # The cluster each point falls out of, and the lambda at which it does.
        self.point_parent = np.empty(n, dtype=np.int64)
        self.point_lambda = np.empty(n)
        self.point_parent[points] = self.parent[self.is_point]
        self.point_lambda[points] = self.lam[self.is_point]

    def direct_max_lambda(self) -> npt.NDArray[np.float64]:
        """For each cluster id - n, the largest lambda among the rows it is parent of."""
        out = np.zeros(self.top - self.n + 1)
        np.maximum.at(out, self.parent - self.n, self.lam)
        return out

    def is_below(self, node: int, ancestor: int) -> bool:
        while node > ancestor:
            node = int(self.cluster_parent[node - self.n])
        return node == ancestor


def outlier_scores(condensed_tree: Any) -> npt.NDArray[np.float64]:
    """GLOSH outlier scores, as the ``hdbscan`` package's ``outlier_scores_``.

    A point that falls out of cluster ``C`` at ``lambda_p`` scores
    ``(lambda_max - lambda_p) / lambda_max``, where ``lambda_max`` is the largest lambda at which
    any point below ``C`` (in ``C`` or in any cluster under it) falls out. Scores lie in [0, 1];
    larger is more outlying. Where ``lambda_max`` is 0 or ``lambda_p`` is infinite the score is 0;
    where equal points make ``lambda_max`` infinite under a finite ``lambda_p`` it is NaN, as the
    ``hdbscan`` package gives it.

    Parameters
    ----------
    condensed_tree : structured array
        As described in this module's notes; what the estimator's ``condensed_tree_`` holds.

    Returns
    -------
    numpy.ndarray of float64, shape (n,)
        The score of each point, by point id.

    Examples
    --------
    Point 0 falls out of the root (id 3) at lambda 1, points 1 and 2 out of cluster 4 at 2:

    >>> import numpy as np
    >>> from quorlkit._hierarchy import outlier_scores
    >>> tree = np.array(
    ...     [(3, 0, 1.0, 1), (3, 4, 1.0, 2), (4, 1, 2.0, 1), (4, 2, 2.0, 1)],
    ...     dtype=[("parent", "i8"), ("child", "i8"), ("lambda_val", "f8"), ("child_size", "i8")],
    ... )
    >>> outlier_scores(tree).tolist()
    [0.5, 0.0, 0.0]
    """
    t = _Tree(condensed_tree)
    deaths = t.direct_max_lambda()
    # A cluster's id is larger than its parent's: from the largest id down, every cluster has
    # taken in all of its subtree before it passes its own maximum up.
    for c in range(t.top, t.n, -1):
        up = t.cluster_parent[c - t.n]
        if up >= 0 and deaths[c - t.n] > deaths[up - t.n]:
            deaths[up - t.n] = deaths[c - t.n]
    lam_max = deaths[t.point_parent - t.n]
    lam = t.point_lambda
    ok = (lam_max != 0) & np.isfinite(lam)
    scores = np.zeros(t.n)
    with np.errstate(invalid="ignore"):
        scores[ok] = (lam_max[ok] - lam[ok]) / lam_max[ok]
    return scores


def _linkage_columns(
    tree: Any,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    arr = np.asarray(tree)
    if arr.dtype.names:
        fields = ("left_node", "right_node", "value")
        if not all(f in arr.dtype.names for f in fields):
            raise TypeError(
                "single_linkage_tree as a structured array needs the fields left_node, "
                "right_node, value and cluster_size"
            )
        left, right, height = arr["left_node"], arr["right_node"], arr["value"]
    else:
        if arr.ndim != 2 or arr.shape[1] != 4:
            raise ValueError(
                f"single_linkage_tree must be a linkage matrix of shape (n - 1, 4), not {arr.shape}"
            )
        left, right, height = arr[:, 0], arr[:, 1], arr[:, 2]
    left_i, right_i = left.astype(np.int64), right.astype(np.int64)
    height = height.astype(np.float64)
    m = len(height)
    new = np.arange(m) + m + 1
    bad = (left_i < 0) | (right_i < 0) | (left_i >= new) | (right_i >= new) | (left_i == right_i)
    bad |= (left_i != left) | (right_i != right)
    if bad.any():
        r = int(np.flatnonzero(bad)[0])
        raise ValueError(
            f"single_linkage_tree row {r} joins {left[r]:g} and {right[r]:g}, which are not two of "
            f"the nodes 0 .. {m + r} made before it"
        )
    used = np.bincount(np.concatenate([left_i, right_i]), minlength=2 * m + 1)
    if (used > 1).any():
        raise ValueError(
            f"single_linkage_tree joins node {int(np.flatnonzero(used > 1)[0])} more than once"
        )
    if np.isnan(height).any() or (height[1:] < height[:-1]).any():
        raise ValueError(
            "single_linkage_tree heights must be non-decreasing, row after row, as single "
            "linkage makes them"
        )
    return left_i, right_i, height


def dbscan_clustering(
    single_linkage_tree: Any,
    cut_distance: float,
    min_cluster_size: int = 5,
    *,
    fit_labels: npt.ArrayLike | None = None,
) -> npt.NDArray[np.int64]:
    """DBSCAN* labels from the single-linkage tree cut at ``cut_distance``, as scikit-learn's
    ``HDBSCAN.dbscan_clustering``.

    Points joined by merges of distance strictly below ``cut_distance`` form a component;
    components of fewer than ``min_cluster_size`` points are noise (-1), the others are numbered
    0, 1, ... in scikit-learn's order (the order of the representative that a union by rank over
    the merges, row by row, elects in each component).

    Parameters
    ----------
    single_linkage_tree : linkage matrix or structured array
        Over all n rows of the fit, rows with infinite or NaN coordinates joined last at infinite
        height, as scikit-learn's tree holds them.
    cut_distance : float
        The mutual-reachability distance at which to cut (not NaN).
    min_cluster_size : int
        The fewest points of a cluster, at least 1.
    fit_labels : array_like of int, shape (n,), optional
        The labels of the fit: rows labelled -2 (infinite) or -3 (missing) keep those labels.

    Returns
    -------
    numpy.ndarray of int64, shape (n,)

    Examples
    --------
    Points 0 and 1 merge at 0.5, point 2 joins them at 3.0:

    >>> from quorlkit._hierarchy import dbscan_clustering
    >>> z = [[0, 1, 0.5, 2], [2, 3, 3.0, 3]]
    >>> dbscan_clustering(z, 1.0, min_cluster_size=2).tolist()
    [0, 0, -1]
    >>> dbscan_clustering(z, 1.0, min_cluster_size=1).tolist()
    [0, 0, 1]
    """
    left, right, height = _linkage_columns(single_linkage_tree)
    cut = real_number("cut_distance", cut_distance)
    if np.isnan(cut):
        raise ValueError("cut_distance must not be NaN")
    size = _positive_int(min_cluster_size, "min_cluster_size", 1)
    m = len(height)
    n = m + 1
    # Heights are non-decreasing, so the merges below the cut are the first rows, and each
    # joins two parts that are already whole. Union by rank, a merge at a time: the
    # representative of the merged part is the one scikit-learn's union-find elects.
    active = int(np.searchsorted(height, cut, side="left"))
    rep = np.empty(n + m, dtype=np.int64)
    rank = np.zeros(n + m, dtype=np.int64)
    rep[:n] = np.arange(n)
    for i, (a, b) in enumerate(zip(left[:active].tolist(), right[:active].tolist())):
        ra, rb = int(rep[a]), int(rep[b])
        # Joining a to the new node: a's representative stays, its rank at least 1.
        rank[ra] = max(rank[ra], 1)
        if rank[rb] > rank[ra]:
            root = rb
        elif rank[rb] < rank[ra]:
            root = ra
        else:
            root = rb
            rank[rb] += 1
        rep[n + i] = root
    # Each point's representative: its topmost merged ancestor's.
    up = np.full(n + m, -1, dtype=np.int64)
    up[left[:active]] = np.arange(active) + n
    up[right[:active]] = np.arange(active) + n
    top = np.arange(n + m)
    has = up >= 0
    top[has] = up[has]
    while True:
        nxt = top[top]
        if np.array_equal(nxt, top):
            break
        top = nxt
    point_rep = rep[top[:n]]
    counts = np.bincount(point_rep, minlength=n)
    reps = np.unique(point_rep)
    kept = reps[counts[reps] >= size]
    number = np.full(n, -1, dtype=np.int64)
    number[kept] = np.arange(len(kept))
    labels = number[point_rep]
    if fit_labels is not None:
        fit = np.asarray(fit_labels)
        if fit.shape != (n,):
            raise ValueError(
                f"fit_labels must have shape ({n},) for a tree of {n} points, not {fit.shape}"
            )
        for special in (INFINITE_LABEL, MISSING_LABEL):
            labels[fit == special] = special
    return labels


def _positive_int(value: Any, name: str, least: int) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        count = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if count < least:
        raise ValueError(f"{name} must be at least {least} (got {count})")
    return count


def selected_clusters(condensed_tree: Any, labels: npt.ArrayLike) -> npt.NDArray[np.int64]:
    """The condensed-tree ids of the clusters a fit selected, in label order, found from its
    labels: cluster ``k`` is the lowest cluster that holds every point labelled ``k``.

    Labels number the selected clusters by increasing id (as scikit-learn's and the ``hdbscan``
    package's do); a labelling that does not is refused.
    """
    t = _Tree(condensed_tree)
    lab = np.asarray(labels)
    if lab.shape != (t.n,):
        raise ValueError(
            f"labels must have shape ({t.n},) for a tree of {t.n} points, not {lab.shape}"
        )
    count = int(lab.max()) + 1 if t.n else 0
    chosen = np.empty(max(count, 0), dtype=np.int64)
    for k in range(count):
        nodes = np.unique(t.point_parent[lab == k]).tolist()
        if not nodes:
            raise ValueError(
                f"labels: no point is labelled {k}, below the largest label {count - 1}"
            )
        # The lowest common ancestor: lift the largest id (never an ancestor of a smaller one)
        # until one node is left.
        ids = set(nodes)
        while len(ids) > 1:
            deepest = max(ids)
            ids.remove(deepest)
            ids.add(int(t.cluster_parent[deepest - t.n]))
        chosen[k] = ids.pop()
    if (np.diff(chosen) <= 0).any():
        raise ValueError("labels do not number clusters of the condensed tree by increasing id")
    return chosen


def prediction_core_distances(points: npt.ArrayLike, min_samples: int) -> npt.NDArray[np.float64]:
    """The core distances the ``hdbscan`` package's ``approximate_predict`` gives the training
    points: the distance to the ``min_samples - 2``-th nearest other point (0 for min_samples 2),
    one neighbour short of the core distances of the fit (``min_samples`` counting the point
    itself, as scikit-learn and quorlkit count it)."""
    arr = _points_array(points)
    ms = _positive_int(min_samples, "min_samples", 2)
    if ms == 2:
        return np.zeros(arr.shape[0])
    dist, _ = knn(arr, ms - 2)
    return np.ascontiguousarray(dist[:, -1])


def approximate_predict(
    points: npt.ArrayLike,
    training_points: npt.ArrayLike,
    condensed_tree: Any,
    labels: npt.ArrayLike,
    min_samples: int,
    *,
    core_distances: npt.ArrayLike | None = None,
    clusters: npt.ArrayLike | None = None,
    workers: int | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The clusters of new points in a fitted hierarchy, as the ``hdbscan`` package's
    ``approximate_predict(clusterer, points)``; the fit is left as it is.

    A new point's core distance is its distance to the ``min_samples``-th nearest training point;
    its mutual reachability to a training point ``j`` is the largest of that, ``j``'s core
    distance and their distance. Its nearest training point in mutual reachability (the first in
    the order of distance, index among equals), at mutual reachability ``r``, places it: at
    ``lambda = 1 / r`` (the largest double for r = 0) it joins the cluster the training point
    falls out of or, if that point falls out before ``lambda``, the lowest cluster on its path to
    the root that is born before ``lambda``. The new point gets the label of the selected cluster
    at or above that one, with strength ``min(lambda, lambda_max) / lambda_max`` (``lambda_max``
    being the largest lambda among the selected cluster's rows of the condensed tree; 1 where it
    is 0), or -1 and 0 when no selected cluster lies above.

    Parameters
    ----------
    points : array_like, shape (m, d)
        The new points.
    training_points : array_like, shape (n, d)
        The points of the fit, row ``i`` being point ``i`` of the condensed tree.
    condensed_tree : structured array
        The fit's condensed tree.
    labels : array_like of int, shape (n,)
        The fit's labels (noise -1), numbering the selected clusters by increasing id.
    min_samples : int
        As the fit counts it, the point itself included (the ``hdbscan`` package's + 1), >= 2.
    core_distances : array_like, shape (n,), optional
        The training points' core distances. By default those the ``hdbscan`` package uses
        (:func:`prediction_core_distances`); the fit's own ``core_distances_`` place new points
        by the mutual reachability the hierarchy was built from.
    clusters : array_like of int, optional
        The ids of the selected clusters in label order; by default :func:`selected_clusters`.
    workers : int, optional
        As for :func:`quorlkit.knn`; the result is the same for every value.

    Returns
    -------
    labels : numpy.ndarray of int64, shape (m,)
    strengths : numpy.ndarray of float64, shape (m,)
    """
    t = _Tree(condensed_tree)
    train = _points_array(training_points, "training_points")
    new = _points_array(points, "points")
    if train.shape[0] != t.n:
        raise ValueError(
            f"training_points has {train.shape[0]} rows; the condensed tree has {t.n} points"
        )
    if new.shape[1] != train.shape[1]:
        raise ValueError(
            f"points must have as many columns as training_points ({train.shape[1]}), "
            f"not {new.shape[1]}"
        )
    ms = _positive_int(min_samples, "min_samples", 2)
    if ms > t.n:
        raise ValueError(f"min_samples = {ms} is more than the {t.n} training points")
    if core_distances is None:
        core = prediction_core_distances(train, ms)
    else:
        core = np.asarray(core_distances, dtype=np.float64)
        if core.shape != (t.n,):
            raise ValueError(f"core_distances must have shape ({t.n},), not {core.shape}")
    chosen = (
        selected_clusters(condensed_tree, labels)
        if clusters is None
        else np.asarray(clusters, dtype=np.int64).reshape(-1)
    )
    m = new.shape[0]
    out_labels = np.full(m, -1, dtype=np.int64)
    strengths = np.zeros(m)
    if m == 0:
        return out_labels, strengths
    nearest, reach = _nearest_in_reachability(train, new, core, ms, workers)
    with np.errstate(divide="ignore"):
        lam = np.where(reach > 0, 1.0 / reach, np.finfo(np.float64).max)

    # The selected cluster at or above each cluster (-1 where none is), from the root down.
    label_of = np.full(t.top - t.n + 1, -1, dtype=np.int64)
    label_of[chosen - t.n] = np.arange(len(chosen))
    for c in range(t.n + 1, t.top + 1):
        if label_of[c - t.n] < 0:
            up = t.cluster_parent[c - t.n]
            if up >= 0:
                label_of[c - t.n] = label_of[up - t.n]
    max_lambda = t.direct_max_lambda()[chosen - t.n]

    node = t.point_parent[nearest]
    # Up from where the nearest point falls out, while the cluster is not yet born at lambda;
    # all queries a level at a time (the cluster tree is shallow).
    climb = t.point_lambda[nearest] > lam
    while True:
        climb &= (node > t.root) & (t.birth[node - t.n] >= lam)
        if not climb.any():
            break
        node[climb] = t.cluster_parent[node[climb] - t.n]
    k = label_of[node - t.n]
    member = k >= 0
    out_labels[member] = k[member]
    top = max_lambda[k[member]]
    with np.errstate(invalid="ignore", divide="ignore"):
        strengths[member] = np.where(top > 0, np.minimum(top, lam[member]) / top, 1.0)
    return out_labels, strengths


def _nearest_in_reachability(
    train: npt.NDArray[np.float64],
    new: npt.NDArray[np.float64],
    core: npt.NDArray[np.float64],
    ms: int,
    workers: int | None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Each new point's nearest training point in mutual reachability, and that reachability.

    The mutual reachability to a training point is at least their distance, so once the
    farthest neighbour looked at is at least the best reachability found, no farther point can
    do better; until then a row looks at twice as many neighbours.
    """
    n, m = train.shape[0], new.shape[0]
    nearest = np.empty(m, dtype=np.int64)
    reach = np.empty(m)
    rows = np.arange(m)
    k = min(n, 2 * ms)
    own_core = None
    while rows.size:
        dist, idx = knn_query(train, new[rows], k, workers=workers)
        if own_core is None:
            own_core = dist[:, ms - 1].copy()
        mr = np.maximum(np.maximum(core[idx], own_core[rows][:, None]), dist)
        best = np.argmin(mr, axis=1)
        r = mr[np.arange(len(rows)), best]
        nearest[rows] = idx[np.arange(len(rows)), best]
        reach[rows] = r
        done = (k == n) | (dist[:, -1] >= r)
        rows = rows[~done]
        k = min(n, 2 * k)
    return nearest, reach
