"""DBSCAN against scikit-learn's, friends-of-friends against SciPy's single linkage."""

from __future__ import annotations

import zlib

import numpy as np
import pytest

import quorlkit

sklearn_cluster = pytest.importorskip("sklearn.cluster")


def _data(kind: str, n: int, d: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if kind == "blobs":
        centers = rng.random((5, d)) * 10
        return centers[rng.integers(0, 5, n)] + rng.standard_normal((n, d))
    if kind == "grid":  # integer coordinates: many lengths equal eps exactly
        return rng.integers(0, 6, (n, d)).astype(float)
    if kind == "rounded":
        return np.round(rng.standard_normal((n, d)) * 3, 1)
    if kind == "duplicates":  # blocks of equal rows, larger and smaller than min_samples
        rows = rng.standard_normal((n // 6 + 1, d)) * 2
        return rows[np.repeat(np.arange(len(rows)), rng.integers(1, 12, len(rows)))][:n]
    raise ValueError(kind)


_WEIGHTS = {
    None: None,
    "zero and fractional": [0.0, 0.25, 0.5, 1.0, 1.5],
    "large": [1.0, 100.0],
    "negative": [1.0, 1.0, 2.0, -1.0, -3.0],
}

# (kind, d, n, eps, min_samples, weights)
CASES = [
    ("blobs", 1, 300, 0.05, 3, None),
    ("blobs", 2, 800, 0.3, 5, None),
    ("blobs", 2, 800, 0.6, 30, None),
    ("blobs", 3, 600, 0.8, 10, "zero and fractional"),
    ("blobs", 5, 500, 1.5, 8, None),
    ("blobs", 8, 400, 3.0, 5, "negative"),
    ("blobs", 2, 300, 1e-4, 2, None),  # below the closest pair: all noise
    ("blobs", 3, 300, 1e3, 50, None),  # above the diameter: one cluster
    ("blobs", 2, 500, 0.4, 1, None),
    ("blobs", 2, 500, 0.4, 1, "zero and fractional"),
    ("grid", 1, 200, 1.0, 4, None),
    ("grid", 2, 500, 1.0, 5, None),
    ("grid", 2, 500, float(np.sqrt(2.0)), 9, "large"),
    ("grid", 3, 700, 2.0, 20, "negative"),
    ("grid", 5, 400, 2.0, 3, None),
    ("rounded", 2, 600, 0.3, 6, None),
    ("rounded", 3, 600, 1.0, 12, "zero and fractional"),
    ("duplicates", 2, 400, 0.5, 10, None),
    ("duplicates", 3, 400, 0.2, 5, "negative"),
    ("duplicates", 8, 300, 2.0, 4, "large"),
    # Many dimensions, where the pairs are measured in blocks (the weighted fit keeps the tree).
    ("blobs", 16, 400, 5.0, 5, None),
    ("grid", 9, 500, 3.0, 4, None),  # lengths equal to eps
    ("duplicates", 20, 300, 5.0, 4, None),
    ("rounded", 12, 400, 8.0, 8, "negative"),
]


@pytest.mark.parametrize("kind,d,n,eps,min_samples,weights", CASES)
def test_labels_and_cores_are_sklearns(kind, d, n, eps, min_samples, weights):
    seed = zlib.crc32(repr((kind, d, n, min_samples)).encode())
    x = _data(kind, n, d, seed)
    w = None
    if weights is not None:
        w = np.random.default_rng(seed).choice(_WEIGHTS[weights], len(x))
    ref = sklearn_cluster.DBSCAN(eps=eps, min_samples=min_samples, algorithm="kd_tree")
    ref.fit(x, sample_weight=w)
    for workers, algorithm in ((1, "tree"), (2, "tree"), (1, "brute"), (2, "brute")):
        got = quorlkit.DBSCAN(eps=eps, min_samples=min_samples, workers=workers,
                              algorithm=algorithm)
        got.fit(x, sample_weight=w)
        np.testing.assert_array_equal(got.labels_, ref.labels_, err_msg=f"seed {seed}")
        np.testing.assert_array_equal(got.core_sample_indices_, ref.core_sample_indices_)
        np.testing.assert_array_equal(got.components_, ref.components_)


def test_large_input_same_labels_for_every_worker_count():
    x = _data("blobs", 60000, 2, 7)
    ref = sklearn_cluster.DBSCAN(eps=0.05, min_samples=10, algorithm="kd_tree").fit(x)
    for workers in (1, 2, 3):
        got = quorlkit.DBSCAN(eps=0.05, min_samples=10, workers=workers).fit(x)
        np.testing.assert_array_equal(got.labels_, ref.labels_)


@pytest.mark.parametrize("d,min_size,b", [(2, 1, 0.25), (3, 3, 0.25), (12, 2, 3.2)])
def test_friends_of_friends_is_single_linkage_cut(d, min_size, b):
    from scipy.cluster.hierarchy import fcluster, linkage

    x = _data("blobs", 700, d, d)
    labels, sizes = quorlkit.friends_of_friends(x, b, min_size)
    ref = fcluster(linkage(x, "single"), b, "distance")
    # Numbered by lowest row, small groups -1, the sizes those of the groups kept.
    _, first, count = np.unique(ref, return_index=True, return_counts=True)
    kept = np.sort(first[count >= min_size])
    expect = np.full(len(x), -1)
    for k, row in enumerate(kept):
        expect[ref == ref[row]] = k
    np.testing.assert_array_equal(labels, expect)
    np.testing.assert_array_equal(sizes, np.bincount(expect[expect >= 0]))
    if min_size == 1:
        np.testing.assert_array_equal(labels, quorlkit.DBSCAN(b, min_samples=1).fit(x).labels_)


@pytest.mark.parametrize(
    "call,error,match",
    [
        (lambda x: quorlkit.DBSCAN(eps=0.0).fit(x), ValueError, "eps must be positive"),
        (lambda x: quorlkit.DBSCAN(eps=np.inf).fit(x), ValueError, "eps must be positive"),
        (lambda x: quorlkit.DBSCAN(eps="1").fit(x), TypeError, "eps must be a real"),
        (lambda x: quorlkit.DBSCAN(min_samples=0).fit(x), ValueError, "min_samples must be"),
        (lambda x: quorlkit.DBSCAN(min_samples=2.5).fit(x), TypeError, "min_samples must be"),
        (lambda x: quorlkit.DBSCAN(workers=0).fit(x), ValueError, "workers"),
        (lambda x: quorlkit.DBSCAN(algorithm="ball_tree").fit(x), ValueError, "algorithm must be"),
        (lambda x: quorlkit.DBSCAN().fit(x, sample_weight=np.ones(3)), ValueError, "shape"),
        (
            lambda x: quorlkit.DBSCAN().fit(x, sample_weight=np.r_[np.ones(9), np.nan]),
            ValueError, "NaN|finite",
        ),
        (lambda x: quorlkit.DBSCAN().fit(np.where(x == x[3, 1], np.nan, x)), ValueError,
         r"X row 3 holds NaN \(column 1\)"),
        (lambda x: quorlkit.DBSCAN().fit(np.where(x == x[6, 0], -np.inf, x)), ValueError,
         r"X row 6 holds -inf \(column 0\)"),
        (lambda x: quorlkit.DBSCAN().fit(x * 1e300), ValueError, "too large|overflow"),
        (lambda x: quorlkit.friends_of_friends(x, -1.0), ValueError, "linking_length must be"),
        (lambda x: quorlkit.friends_of_friends(x, 1.0, 0), ValueError, "min_size must be"),
        (lambda x: quorlkit.friends_of_friends(x[:, :, None], 1.0), ValueError, "shape"),
    ],
)
def test_bad_input_is_refused_by_name(call, error, match):
    x = np.random.default_rng(3).random((10, 2))
    with pytest.raises(error, match=match):
        call(x)


@pytest.mark.parametrize("n", [0, 1, 2])
def test_tiny_inputs(n):
    x = np.zeros((n, 2))
    labels, sizes = quorlkit.friends_of_friends(x, 1.0)
    assert labels.tolist() == [0] * n and sizes.tolist() == ([n] if n else [])
    if n:
        est = quorlkit.DBSCAN(eps=1.0, min_samples=2).fit(x)
        assert est.labels_.tolist() == ([-1] if n == 1 else [0, 0])

