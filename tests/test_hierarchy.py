"""GLOSH scores and approximate_predict against the hdbscan package, fed its own condensed tree;
dbscan_clustering against scikit-learn; refusals of malformed trees and arguments."""

import warnings

import numpy as np
import pytest

from quorlkit import _hierarchy as H

hdbscan = pytest.importorskip("hdbscan")


def blobs(n, d, seed):
    """Blobs of different spreads in uniform noise: continuous, so tie-free."""
    rng = np.random.default_rng(seed)
    parts = [
        rng.normal(0.0, 0.3, (n // 3, d)),
        rng.normal(3.0, 1.2, (n // 3, d)),
        rng.normal(-3.0, 0.6, (n // 6, d)),
    ]
    parts.append(rng.uniform(-6, 7, (n - sum(len(p) for p in parts), d)))
    return np.vstack(parts)


def fit_hdbscan(x, min_cluster_size, min_samples):
    """The hdbscan package's fit; min_samples as quorlkit counts it (the point itself included)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return hdbscan.HDBSCAN(
            min_cluster_size=min_cluster_size, min_samples=min_samples - 1, prediction_data=True
        ).fit(x)


# (min_cluster_size, min_samples as quorlkit counts it)
SWEEP = [(5, 3), (10, 5), (15, 11), (25, 2)]


@pytest.mark.parametrize("d, seed", [(2, 1), (3, 2)])
@pytest.mark.parametrize("mcs, ms", SWEEP)
def test_glosh_is_the_hdbscan_packages(d, seed, mcs, ms):
    x = blobs(450, d, seed)
    fit = fit_hdbscan(x, mcs, ms)
    got = H.outlier_scores(fit.condensed_tree_.to_numpy())
    np.testing.assert_array_equal(got, fit.outlier_scores_, err_msg=f"seed {seed}")
    assert got.min() == 0.0 and got.max() <= 1.0


def test_glosh_with_equal_points_is_the_hdbscan_packages():
    # Runs of equal points fall out at infinite lambda; hdbscan's scores hold NaN there.
    x = blobs(300, 2, 3)
    x = np.vstack([x] + [x[:3]] * 8)
    fit = fit_hdbscan(x, 5, 4)
    tree = fit.condensed_tree_.to_numpy()
    assert np.isinf(tree["lambda_val"]).any()
    got = H.outlier_scores(tree)
    assert np.isnan(got).any()
    np.testing.assert_array_equal(got, fit.outlier_scores_)


def selected(fit):
    return np.array(sorted(fit.condensed_tree_._select_clusters()), dtype=np.int64)


@pytest.mark.parametrize("d, seed", [(2, 4), (3, 5)])
@pytest.mark.parametrize("mcs, ms", SWEEP)
def test_approximate_predict_is_the_hdbscan_packages(d, seed, mcs, ms):
    x = blobs(450, d, seed)
    fit = fit_hdbscan(x, mcs, ms)
    rng = np.random.default_rng(seed + 100)
    # New points everywhere around the data, and some on top of training points.
    new = np.vstack([rng.uniform(-8, 9, (600, d)), x[rng.integers(0, len(x), 50)] + 1e-3])
    want_labels, want_strengths = hdbscan.approximate_predict(fit, new)
    tree = fit.condensed_tree_.to_numpy()
    labels, strengths = H.approximate_predict(new, x, tree, fit.labels_, ms, clusters=selected(fit))
    assert len(np.unique(want_labels)) > 2  # new points land in several clusters and in noise
    np.testing.assert_array_equal(labels, want_labels, err_msg=f"seed {seed}")
    np.testing.assert_array_equal(strengths, want_strengths, err_msg=f"seed {seed}")
    # The core distances the hdbscan package predicts with, and the selection from the labels.
    np.testing.assert_array_equal(
        H.prediction_core_distances(x, ms), fit.prediction_data_.core_distances
    )
    np.testing.assert_array_equal(H.selected_clusters(tree, fit.labels_), selected(fit))


def test_approximate_predict_of_training_points_keeps_clear_members():
    x = blobs(450, 2, 6)
    fit = fit_hdbscan(x, 10, 5)
    labels, strengths = H.approximate_predict(x, x, fit.condensed_tree_.to_numpy(), fit.labels_, 5)
    # A training point's own cluster wherever the fit is sure of it.
    sure = (fit.probabilities_ == 1.0) & (fit.labels_ >= 0)
    assert sure.sum() > 50
    np.testing.assert_array_equal(labels[sure], fit.labels_[sure])
    assert (strengths[labels < 0] == 0).all() and (strengths <= 1).all()


def brute_nearest(train, new, core, ms):
    dist = np.sqrt(((new[:, None, :] - train[None, :, :]) ** 2).sum(-1))
    own = np.sort(dist, axis=1)[:, ms - 1]
    mr = np.maximum(np.maximum(core[None, :], own[:, None]), dist)
    best = mr.min(axis=1)
    # The first of the best in the order (distance, index).
    cand = np.where(mr == best[:, None], dist, np.inf)
    return cand.argmin(axis=1), best


def test_nearest_in_reachability_looks_past_the_first_neighbours():
    rng = np.random.default_rng(8)
    train = rng.random((300, 2))
    new = rng.random((200, 2))
    # Large core distances near the queries send the nearest in reachability far away.
    core = np.where(rng.random(300) < 0.8, 5.0, 0.0) * rng.random(300)
    nearest, reach = H._nearest_in_reachability(train, new, core, 3, None)
    want_nearest, want_reach = brute_nearest(train, new, core, 3)
    np.testing.assert_allclose(reach, want_reach, rtol=1e-15)
    np.testing.assert_array_equal(nearest, want_nearest)


def test_approximate_predict_far_points_are_noise():
    x = blobs(300, 2, 9)
    fit = fit_hdbscan(x, 10, 5)
    far = np.array([[1e6, 1e6], [-1e6, 0.0]])
    labels, strengths = H.approximate_predict(far, x, fit.condensed_tree_.to_numpy(), fit.labels_, 5)
    assert labels.tolist() == [-1, -1] and strengths.tolist() == [0.0, 0.0]
    none = H.approximate_predict(np.zeros((0, 2)), x, fit.condensed_tree_.to_numpy(), fit.labels_, 5)
    assert none[0].shape == none[1].shape == (0,)


def sklearn_fit(x, mcs):
    from sklearn.cluster import HDBSCAN

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return HDBSCAN(min_cluster_size=mcs, copy=True).fit(x)


CUTS = [0.05, 0.2, 0.5, 1.0, 2.5, np.inf]


@pytest.mark.parametrize("d, seed", [(2, 10), (3, 11)])
@pytest.mark.parametrize("min_cluster_size", [1, 2, 5, 20])
def test_dbscan_clustering_is_sklearns(d, seed, min_cluster_size):
    x = blobs(400, d, seed)
    fit = sklearn_fit(x, 10)
    tree = fit._single_linkage_tree_
    # Structured, and as the SciPy linkage matrix an estimator exposes.
    matrix = np.column_stack([tree[f] for f in tree.dtype.names]).astype(float)
    seen = set()
    for cut in CUTS:
        want = fit.dbscan_clustering(cut, min_cluster_size)
        for form in (tree, matrix):
            got = H.dbscan_clustering(form, cut, min_cluster_size, fit_labels=fit.labels_)
            np.testing.assert_array_equal(got, want, err_msg=f"cut {cut}")
        seen.add(len(np.unique(want)))
    assert max(seen) > 3  # some cut makes several clusters and noise


def test_dbscan_clustering_keeps_infinite_and_missing_rows():
    x = blobs(200, 2, 12)
    x[3, 0] = np.inf
    x[10, 1] = np.nan
    x[40] = [-np.inf, np.nan]
    fit = sklearn_fit(x, 5)
    for cut, mcs in [(0.5, 1), (0.5, 3), (1.5, 5), (np.inf, 2)]:
        want = fit.dbscan_clustering(cut, mcs)
        got = H.dbscan_clustering(fit._single_linkage_tree_, cut, mcs, fit_labels=fit.labels_)
        np.testing.assert_array_equal(got, want, err_msg=f"cut {cut}, min_cluster_size {mcs}")
    assert got[[3, 10, 40]].tolist() == [-2, -3, -3]


def test_dbscan_clustering_of_one_and_two_points():
    assert H.dbscan_clustering(np.zeros((0, 4)), 1.0, 1).tolist() == [0]
    z = np.array([[0.0, 1.0, 0.5, 2.0]])
    assert H.dbscan_clustering(z, 0.5, 1).tolist() == [0, 1]  # the cut is strict
    assert H.dbscan_clustering(z, 0.6, 1).tolist() == [0, 0]
    assert H.dbscan_clustering(z, 0.6, 3).tolist() == [-1, -1]


TREE = np.array(
    [(3, 0, 1.0, 1), (3, 4, 1.0, 2), (4, 1, 2.0, 1), (4, 2, 2.0, 1)],
    dtype=[("parent", "<i8"), ("child", "<i8"), ("lambda_val", "<f8"), ("child_size", "<i8")],
)


def altered(field, row, value):
    t = TREE.copy()
    t[field][row] = value
    return t


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: H.outlier_scores(np.zeros(3)), TypeError, r"structured array with fields .* it lacks parent"),
        (lambda: H.outlier_scores(TREE[:0]), ValueError, r"non-empty 1-D array"),
        (lambda: H.outlier_scores(altered("child", 1, 3)), ValueError, r"row 1: child 3 of parent 3"),
        (lambda: H.outlier_scores(altered("child", 2, 2)), ValueError, r"each point 0 .. 2 exactly once"),
        (lambda: H.outlier_scores(altered("lambda_val", 0, np.nan)), ValueError, r"row 0: lambda_val nan"),
        (lambda: H.dbscan_clustering(np.zeros((2, 3)), 1.0), ValueError, r"shape \(n - 1, 4\), not \(2, 3\)"),
        (lambda: H.dbscan_clustering([[0, 0, 1.0, 2]], 1.0), ValueError, r"row 0 joins 0 and 0"),
        (lambda: H.dbscan_clustering([[0, 5, 1.0, 2]], 1.0), ValueError, r"row 0 joins 0 and 5, .* 0 .. 1"),
        (lambda: H.dbscan_clustering([[0, 1, 1.0, 2], [0, 2, 2.0, 3]], 1.0), ValueError, r"joins node 0 more than once"),
        (lambda: H.dbscan_clustering([[0, 1, 2.0, 2], [2, 3, 1.0, 3]], 1.0), ValueError, r"non-decreasing"),
        (lambda: H.dbscan_clustering([[0, 1, 1.0, 2]], np.nan), ValueError, r"cut_distance must not be NaN"),
        (lambda: H.dbscan_clustering([[0, 1, 1.0, 2]], "1"), TypeError, r"cut_distance must be a real number"),
        (lambda: H.dbscan_clustering([[0, 1, 1.0, 2]], 1.0, 0), ValueError, r"min_cluster_size must be at least 1 \(got 0\)"),
        (lambda: H.dbscan_clustering([[0, 1, 1.0, 2]], 1.0, fit_labels=[0]), ValueError, r"fit_labels must have shape \(2,\)"),
        (lambda: H.selected_clusters(TREE, [1, 1, 1]), ValueError, r"no point is labelled 0"),
        (lambda: H.selected_clusters(TREE, [1, 0, 0]), ValueError, r"by increasing id"),
        (lambda: H.approximate_predict([[0.0]], [[0.0], [1.0]], TREE, [0, 0, 0], 2), ValueError, r"training_points has 2 rows; the condensed tree has 3"),
        (lambda: H.approximate_predict([[0.0]], [[0.0], [1.0], [2.0]], TREE, [0, 0, 0], 1), ValueError, r"min_samples must be at least 2"),
        (lambda: H.approximate_predict([[0.0]], [[0.0], [1.0], [2.0]], TREE, [0, 0, 0], 4), ValueError, r"min_samples = 4 is more than the 3"),
        (lambda: H.approximate_predict([[0.0], [np.nan]], [[0.0], [1.0], [2.0]], TREE, [0, 0, 0], 2), ValueError, r"query row 1: coordinate 0 is nan"),
        (lambda: H.approximate_predict([[0.0, 1.0]], [[0.0], [1.0], [2.0]], TREE, [0, 0, 0], 2), ValueError, r"points must have as many columns as training_points \(1\), not 2"),
        (lambda: H.approximate_predict([[0.0]], [[0.0], [1.0], [2.0]], TREE, [0, 0, 0], 2, core_distances=[1.0]), ValueError, r"core_distances must have shape \(3,\)"),
    ],
)
def test_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_the_small_tree_by_hand():
    # Point 0 falls out of the root at lambda 1, points 1 and 2 out of cluster 4 at lambda 2.
    assert H.outlier_scores(TREE).tolist() == [0.5, 0.0, 0.0]
    assert H.selected_clusters(TREE, [-1, 0, 0]).tolist() == [4]
    labels, strengths = H.approximate_predict(
        [[1.5], [0.2], [9.0]], [[0.0], [1.0], [2.0]], TREE, [-1, 0, 0], 2,
        core_distances=[0.5, 0.5, 0.5],
    )
    # 1.5: reachability 0.5 to point 1 (lambda 2, in cluster 4); 0.2: 0.5 to point 0, which
    # falls out of the root; 9.0: lambda 1/8, before cluster 4 is born.
    assert labels.tolist() == [0, -1, -1] and strengths.tolist() == [1.0, 0.0, 0.0]


@pytest.mark.parametrize("name", ["quorlkit._hierarchy", "quorlkit._neighbors"])
def test_docstring_examples(name):
    import doctest
    import importlib

    failed, attempted = doctest.testmod(importlib.import_module(name))
    assert attempted >= 4 and failed == 0
