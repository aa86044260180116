"""quorlkit.HDBSCAN: scikit-learn's labels, numbering included, and probabilities over a sweep of
parameters; the mutual-reachability tree against a brute-force Kruskal; sklearn's own hierarchy
and condensed tree; invariances; degenerate inputs; refusals; the estimator checks."""

import pickle
import re
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import quorlkit
from quorlkit import _core

import reference

sklearn_cluster = pytest.importorskip("sklearn.cluster")


def blobs(n, d, seed, noise=0.1):
    """Gaussian blobs of different spreads with uniform noise around them: continuous data, so
    that the only equal merge heights are those that core distances make."""
    rng = np.random.default_rng(seed)
    centers = rng.random((6, d)) * 10
    spread = rng.uniform(0.2, 0.6, size=6)
    k = rng.integers(6, size=n)
    x = centers[k] + rng.normal(size=(n, d)) * spread[k, None]
    return np.vstack([x, rng.random((int(n * noise), d)) * 12 - 1])


def tie_heavy(kind, n, d, seed):
    """Data whose distances and core distances tie in every way, rows shuffled so that Prim's
    start and its ties by row fall anywhere: integer grids (full, or with holes), blobs rounded
    to 0, 1 or 2 decimals, blocks of equal rows of sizes on both sides of min_samples, columns
    of few distinct values."""
    rng = np.random.default_rng(seed)
    if kind in ("grid", "holes"):
        side = int(round(n ** (1 / d)))
        x = np.stack(np.meshgrid(*[np.arange(side)] * d), axis=-1).reshape(-1, d).astype(float)
        if kind == "holes":
            x = x[rng.random(len(x)) < 0.7]
    elif kind.startswith("round"):
        x = np.round(blobs(n, d, seed), int(kind[-1]))
    elif kind == "dup":
        sizes = rng.choice([2, 3, 7, 12, 30], size=n // 12)
        x = np.repeat(rng.random((len(sizes), d)) * 10, sizes, axis=0)
        x = np.vstack([x, np.round(rng.random((n // 5, d)) * 10, 1)])
    else:  # few distinct values a column
        x = rng.choice([0.0, 0.5, 1.75, 4.0], size=(n, d)) * rng.uniform(0.5, 2.0, size=d)
    return x[rng.permutation(len(x))]


# (kind, d, n, seed): the data of the sweep, continuous blobs and tie-heavy data.
DATA = [("blobs", 2, 600, 0), ("blobs", 3, 400, 1), ("blobs", 5, 300, 2), ("blobs", 2, 1500, 3),
        ("grid", 1, 300, 4), ("grid", 3, 343, 5), ("holes", 2, 484, 6), ("holes", 5, 243, 7),
        ("round0", 2, 500, 8), ("round1", 3, 400, 9), ("round2", 2, 600, 10),
        ("round1", 5, 300, 11), ("dup", 2, 500, 12), ("dup", 3, 400, 13), ("few", 1, 300, 14),
        ("few", 5, 400, 15),
        # Many dimensions, where the fit measures every pair in blocks.
        ("blobs", 16, 400, 16), ("round0", 12, 300, 17), ("dup", 20, 300, 18), ("few", 9, 300, 19)]


def data(kind, n, d, seed):
    return blobs(n, d, seed) if kind == "blobs" else tie_heavy(kind, n, d, seed)


def sklearn_fit(x, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)  # its `copy` default changes in 1.10
        warnings.simplefilter("ignore", RuntimeWarning)  # its own reductions over inf rows
        return sklearn_cluster.HDBSCAN(copy=True, **kw).fit(x)


# (min_cluster_size, min_samples, method, allow_single_cluster, epsilon, max_cluster_size, alpha)
SWEEP = [
    (5, None, "eom", False, 0.0, None, 1.0),
    (2, 1, "eom", False, 0.0, None, 1.0),
    (2, 2, "leaf", False, 0.0, None, 1.0),
    (3, 40, "eom", False, 0.0, None, 1.0),
    (15, 3, "leaf", False, 0.0, None, 1.0),
    (10, 10, "eom", True, 0.0, None, 1.0),
    (25, 5, "eom", True, 0.0, None, 1.0),
    (50, 40, "eom", True, 0.0, None, 1.0),
    (50, 1, "leaf", True, 0.0, None, 1.0),
    (8, 4, "leaf", False, 0.5, None, 1.0),
    (8, 4, "eom", True, 0.7, None, 1.0),
    (30, 20, "leaf", True, 0.3, None, 0.7),
    (5, 5, "eom", False, 0.2, None, 1.0),
    (10, 3, "leaf", False, 1.0, None, 1.0),
    (20, 10, "eom", False, 0.4, None, 1.0),
    (4, 2, "eom", True, 2.0, None, 1.0),
    (8, 4, "eom", False, 0.0, 40, 1.0),
    (5, 8, "eom", False, 0.0, 15, 1.0),
    (6, 6, "eom", False, 0.0, None, 1.5),
    (12, 2, "leaf", False, 0.0, None, 0.5),
]


@pytest.mark.parametrize("kind,d,n,seed", DATA, ids=["-".join(map(str, c)) for c in DATA])
@pytest.mark.parametrize(
    "mcs,ms,method,single,eps,max_size,alpha",
    SWEEP,
    ids=["-".join(map(str, c)) for c in SWEEP],
)
def test_labels_and_probabilities_are_sklearns(kind, d, n, seed, mcs, ms, method, single, eps,
                                               max_size, alpha):
    x = data(kind, n, d, seed)
    if ms is not None and ms > len(x):
        pytest.skip("min_samples above the number of rows")
    kw = dict(min_cluster_size=mcs, min_samples=ms, cluster_selection_method=method,
              allow_single_cluster=single, cluster_selection_epsilon=eps,
              max_cluster_size=max_size, alpha=alpha)
    try:
        want = sklearn_fit(x, **kw)
    except TypeError as err:  # scikit-learn's epsilon search fails on some trees
        pytest.skip(f"scikit-learn fails on this case: {err}")
    got = quorlkit.HDBSCAN(**kw).fit(x)
    np.testing.assert_array_equal(got.labels_, want.labels_, err_msg=f"seed={seed}")
    np.testing.assert_allclose(got.probabilities_, want.probabilities_, rtol=0, atol=1e-9)
    if kind == "blobs":  # on tied data a selected root may label no point at all
        assert got.labels_.max() >= 0 or single or max_size is not None  # it clusters something
        assert got.cluster_persistence_.shape == (got.labels_.max() + 1,)


@pytest.mark.parametrize(
    "kind,d,ms,alpha", [("blobs", 2, 5, 1.0), ("blobs", 3, 12, 0.8), ("blobs", 5, 2, 1.2),
                        ("blobs", 2, 1, 1.0), ("holes", 3, 6, 1.0), ("round1", 2, 4, 0.7),
                        ("dup", 2, 5, 1.0), ("few", 3, 8, 1.3)])
def test_hierarchy_and_condensed_tree_are_sklearns(kind, d, ms, alpha):
    tree_module = pytest.importorskip("sklearn.cluster._hdbscan._tree")  # private: an oracle
    x = data(kind, 500, d, seed=10 + ms)
    want = sklearn_fit(x, min_cluster_size=10, min_samples=ms, alpha=alpha)
    got = quorlkit.HDBSCAN(min_cluster_size=10, min_samples=ms, alpha=alpha).fit(x)
    slt = want._single_linkage_tree_
    z = got.single_linkage_tree_
    np.testing.assert_array_equal(z[:, 0], slt["left_node"])
    np.testing.assert_array_equal(z[:, 1], slt["right_node"])
    np.testing.assert_array_equal(z[:, 2], slt["value"])
    np.testing.assert_array_equal(z[:, 3], slt["cluster_size"])
    ct = tree_module._condense_tree(slt, 10)
    tree = got.condensed_tree_
    assert tree.dtype.names == ("parent", "child", "lambda_val", "child_size")
    assert [tree.dtype[k] for k in range(4)] == [np.int64, np.int64, np.float64, np.int64]
    for mine, theirs in zip(tree.dtype.names, ct.dtype.names):
        np.testing.assert_array_equal(tree[mine], ct[theirs])


@pytest.mark.parametrize(
    "method,eps,single", [("eom", 0.0, False), ("eom", 0.3, False), ("leaf", 0.5, False),
                          ("eom", 0.8, True), ("leaf", 0.25, True)]
)
def test_epsilon_and_persistence_are_the_hdbscan_packages(method, eps, single):
    hdbscan = pytest.importorskip("hdbscan")
    x = blobs(400, 2, seed=4)
    # Their min_samples counts without the point; min_samples = 1 (no core ties) keeps their
    # tree and ours the same, but they number the clusters otherwise.
    kw = dict(min_cluster_size=8, cluster_selection_method=method,
              cluster_selection_epsilon=eps, allow_single_cluster=single)
    want = hdbscan.HDBSCAN(min_samples=1, approx_min_span_tree=False, **kw).fit(x)
    got = quorlkit.HDBSCAN(min_samples=2, **kw).fit(x)
    assert partition(got.labels_) == partition(want.labels_)
    assert got.labels_.max() >= 1
    theirs = [want.labels_[np.flatnonzero(got.labels_ == k)[0]] for k in range(got.labels_.max() + 1)]
    # Where epsilon selects an ancestor, its stability is a sum over its subtree, which the
    # package rounds differently (agreement to about 1e-8).
    np.testing.assert_allclose(got.cluster_persistence_, want.cluster_persistence_[theirs],
                               rtol=1e-7)
    np.testing.assert_allclose(got.probabilities_, want.probabilities_, rtol=1e-12)
    np.testing.assert_allclose(np.sort(got.condensed_tree_["lambda_val"]),
                               np.sort(want.condensed_tree_.to_numpy()["lambda_val"]), rtol=1e-12)


def squared(x, i, j):
    acc = np.zeros(len(i))
    for k in range(x.shape[1]):
        diff = x[i, k] - x[j, k]
        acc = acc + diff * diff
    return acc


def reachability_kruskal(x, ms, alpha):
    """All pairs i < j by (max(core_i, core_j, d_ij / alpha), i, j), each taken when it joins
    two components; the cores from the sorted rows of the full distance matrix."""
    n = len(x)
    i, j = np.triu_indices(n, 1)
    sq = squared(x, i, j)
    full = np.zeros((n, n))
    full[i, j] = full[j, i] = sq
    core = np.sqrt(np.sort(full, axis=1)[:, ms - 1]) if ms > 1 else np.zeros(n)
    w = np.maximum(np.maximum(core[i], core[j]), np.sqrt(sq) / alpha)
    picked = reference.kruskal(n, i, j, w)
    return np.stack([i[picked], j[picked]], axis=1).reshape(-1, 2), w[picked], core


def mst_inputs():
    rng = np.random.default_rng(20)
    yield "blobs", blobs(300, 2, seed=21), 5, 1.0
    yield "blobs-5d", blobs(200, 5, seed=22), 12, 0.6
    yield "uniform-1d", rng.random((250, 1)), 3, 2.0
    yield "grid", rng.integers(0, 5, size=(400, 3)).astype(np.float64), 6, 1.0
    yield "duplicates", np.repeat(rng.random((30, 2)), 7, axis=0), 4, 1.0
    yield "duplicates-big-ms", np.repeat(rng.random((15, 2)), 5, axis=0), 30, 1.3
    yield "all-equal", np.zeros((40, 2)), 10, 1.0
    yield "ms=n", rng.random((30, 4)), 30, 1.0
    yield "ms=1", rng.normal(size=(300, 3)), 1, 1.0


@pytest.mark.parametrize("name,x,ms,alpha", list(mst_inputs()), ids=[c[0] for c in mst_inputs()])
def test_reachability_tree_is_the_brute_force_kruskal(name, x, ms, alpha):
    edges, lengths, core, prim_edges, prim_w = _core.mutual_reachability_mst(x, ms, alpha)
    want_edges, want_w, want_core = reachability_kruskal(x, ms, alpha)
    np.testing.assert_array_equal(core, want_core)
    np.testing.assert_array_equal(edges, want_edges)
    np.testing.assert_array_equal(lengths, want_w)
    # Prim's tree is a minimum spanning tree too: the same multiset of weights.
    np.testing.assert_array_equal(np.sort(prim_w), want_w)
    fitted = quorlkit.HDBSCAN(min_cluster_size=2, min_samples=ms, alpha=alpha).fit(x)
    np.testing.assert_array_equal(fitted.minimum_spanning_tree_.edges, want_edges)
    np.testing.assert_array_equal(fitted.core_distances_, want_core)


def partition(labels):
    """The clusters as a set of frozensets of row positions, noise apart."""
    return {frozenset(np.flatnonzero(labels == c).tolist()) for c in np.unique(labels) if c >= 0}


@pytest.mark.parametrize("ms", [1, 2])
def test_same_partition_under_a_permutation_of_the_rows(ms):
    # Tie-free merge heights (min_samples <= 2 on continuous data): the hierarchy is unique.
    x = blobs(500, 2, seed=30)
    perm = np.random.default_rng(31).permutation(len(x))
    a = quorlkit.HDBSCAN(min_cluster_size=10, min_samples=ms).fit(x)
    b = quorlkit.HDBSCAN(min_cluster_size=10, min_samples=ms).fit(x[perm])
    assert len(np.unique(a.minimum_spanning_tree_.lengths)) == len(x) - 1
    inverse = np.empty_like(perm)
    inverse[perm] = np.arange(len(perm))
    assert partition(b.labels_[inverse]) == partition(a.labels_)
    np.testing.assert_allclose(b.probabilities_[inverse], a.probabilities_, rtol=1e-12)


def test_same_labels_under_translation_and_lambdas_scaled_under_scaling():
    # Coordinates on a grid of 2^-12 within [0, 16): translation by 2^10 and scaling by 4 are
    # exact, so every distance is the same (or 4 times it) to the bit.
    x = np.round(blobs(600, 3, seed=40) * 4096) / 4096 + 2.0
    base = quorlkit.HDBSCAN(min_cluster_size=12, min_samples=7).fit(x)
    moved = quorlkit.HDBSCAN(min_cluster_size=12, min_samples=7).fit(x + 1024.0)
    np.testing.assert_array_equal(moved.labels_, base.labels_)
    np.testing.assert_array_equal(moved.probabilities_, base.probabilities_)
    scaled = quorlkit.HDBSCAN(min_cluster_size=12, min_samples=7).fit(x * 4.0)
    np.testing.assert_array_equal(scaled.labels_, base.labels_)
    np.testing.assert_array_equal(scaled.condensed_tree_["lambda_val"] * 4.0,
                                  base.condensed_tree_["lambda_val"])
    np.testing.assert_array_equal(scaled.core_distances_, base.core_distances_ * 4.0)
    assert base.labels_.max() >= 2


def test_blocks_of_duplicates_larger_than_min_samples_stay_together():
    rng = np.random.default_rng(50)
    sizes = [12, 9, 30, 7, 15]
    x = np.vstack([np.repeat(rng.random((1, 2)) * 20, s, axis=0) for s in sizes] +
                  [rng.random((40, 2)) * 20])
    got = quorlkit.HDBSCAN(min_cluster_size=5, min_samples=6).fit(x)
    want = sklearn_fit(x, min_cluster_size=5, min_samples=6)
    start = 0
    for s in sizes:
        block = slice(start, start + s)
        assert len(set(got.labels_[block].tolist())) == 1, f"block of {s} split"
        assert got.labels_[start] >= 0
        assert np.all(got.core_distances_[block] == 0.0)
        start += s
    np.testing.assert_array_equal(got.labels_, want.labels_)
    np.testing.assert_allclose(got.probabilities_, want.probabilities_, atol=1e-9)


@pytest.mark.parametrize("single", [False, True])
def test_all_points_equal(single):
    x = np.full((25, 3), -7.5)
    got = quorlkit.HDBSCAN(min_cluster_size=5, allow_single_cluster=single).fit(x)
    want = sklearn_fit(x, min_cluster_size=5, allow_single_cluster=single)
    np.testing.assert_array_equal(got.labels_, want.labels_)
    np.testing.assert_array_equal(got.probabilities_, want.probabilities_)
    assert np.all(np.isinf(got.condensed_tree_["lambda_val"]))
    np.testing.assert_array_equal(got.minimum_spanning_tree_.lengths, np.zeros(24))


@pytest.mark.parametrize("n,ms", [(2, 1), (2, 2), (9, 9), (40, 40)])
def test_as_many_rows_as_min_samples(n, ms):
    x = np.random.default_rng(n).random((n, 2))
    got = quorlkit.HDBSCAN(min_cluster_size=2, min_samples=ms).fit(x)
    want = sklearn_fit(x, min_cluster_size=2, min_samples=ms)
    np.testing.assert_array_equal(got.labels_, want.labels_)
    np.testing.assert_allclose(got.probabilities_, want.probabilities_, atol=1e-9)


def test_inf_and_nan_rows_are_labelled_and_left_out():
    x = blobs(300, 2, seed=60)
    bad = x.copy()
    rows_inf, rows_nan, rows_both = [3, 50, 120], [7, 8, 200], [99, 150]
    bad[rows_inf, 0] = np.inf
    bad[rows_inf[1], 1] = np.inf
    bad[rows_inf[2], 0] = -np.inf
    bad[rows_nan, 1] = np.nan
    bad[rows_both] = [[np.inf, np.nan], [np.inf, -np.inf]]  # +inf - inf: NaN as sklearn sums it
    kept = np.setdiff1d(np.arange(len(x)), rows_inf + rows_nan + rows_both)
    got = quorlkit.HDBSCAN(min_cluster_size=8).fit(bad)
    want = sklearn_fit(bad, min_cluster_size=8)
    np.testing.assert_array_equal(got.labels_, want.labels_)
    np.testing.assert_allclose(got.probabilities_, want.probabilities_, atol=1e-9)
    assert np.all(got.labels_[rows_inf] == -2) and np.all(got.labels_[rows_nan + rows_both] == -3)
    assert np.all(got.probabilities_[rows_inf] == 0)
    assert np.all(np.isnan(got.probabilities_[rows_nan + rows_both]))
    clean = quorlkit.HDBSCAN(min_cluster_size=8).fit(x[kept])
    np.testing.assert_array_equal(got.labels_[kept], clean.labels_)
    np.testing.assert_array_equal(got._fit_rows, kept)
    np.testing.assert_array_equal(got._fit_X, x[kept])
    assert got.core_distances_.shape == (len(kept),)
    assert got.condensed_tree_["parent"].min() == len(kept)


@pytest.mark.parametrize(
    "params,error,match",
    [
        (dict(min_cluster_size=1), ValueError, "min_cluster_size"),
        (dict(min_cluster_size=2.5), TypeError, "min_cluster_size"),
        (dict(min_cluster_size=True), TypeError, "min_cluster_size"),
        (dict(min_samples=0), ValueError, "min_samples"),
        (dict(min_samples="3"), TypeError, "min_samples"),
        (dict(cluster_selection_epsilon=-0.1), ValueError, "cluster_selection_epsilon"),
        (dict(cluster_selection_epsilon=np.inf), ValueError, "cluster_selection_epsilon"),
        (dict(cluster_selection_epsilon="big"), TypeError, "cluster_selection_epsilon"),
        (dict(max_cluster_size=0), ValueError, "max_cluster_size"),
        (dict(max_cluster_size=3.0), TypeError, "max_cluster_size"),
        (dict(alpha=0.0), ValueError, "alpha"),
        (dict(alpha=np.nan), ValueError, "alpha"),
        (dict(alpha=None), TypeError, "alpha"),
        (dict(cluster_selection_method="average"), ValueError, "cluster_selection_method"),
        (dict(cluster_selection_method=1), TypeError, "cluster_selection_method"),
        (dict(allow_single_cluster="yes"), TypeError, "allow_single_cluster"),
        (dict(workers=0), ValueError, "workers"),
        (dict(workers=1.5), TypeError, "workers"),
        (dict(algorithm="kd_tree"), ValueError, "algorithm must be 'auto', 'tree' or 'brute'"),
        (dict(min_samples=31), ValueError, r"min_samples \(31\).*\(30\)"),
    ],
)
def test_bad_parameters_are_refused(params, error, match):
    x = np.random.default_rng(0).random((30, 2))
    with pytest.raises(error, match=match):
        quorlkit.HDBSCAN(**params).fit(x)


@pytest.mark.parametrize(
    "x,error,match",
    [
        (np.zeros(10), ValueError, "2D array"),
        (np.zeros((4, 3, 2)), ValueError, "dim"),
        (np.zeros((0, 2)), ValueError, "0 sample"),
        (np.zeros((1, 2)), ValueError, "1 sample"),
        (np.zeros((5, 0)), ValueError, "0 feature"),
        (np.array([["a", "b"], ["c", "d"]]), ValueError, "convert|string"),
        (np.ones((3, 2)) * 1j, ValueError, "[Cc]omplex"),
        (np.r_[np.full((4, 2), np.nan), np.zeros((2, 2))], ValueError, r"min_samples \(5\)"),
        (np.arange(-3.0, 3.0).repeat(2).reshape(6, 2) * 1e300, ValueError, "coordinate|large|extent"),
    ],
)
def test_bad_points_are_refused(x, error, match):
    with pytest.raises(error, match=match):
        quorlkit.HDBSCAN().fit(x)


def test_sparse_input_is_refused():
    sparse = pytest.importorskip("scipy.sparse")
    with pytest.raises(TypeError, match="[Ss]parse"):
        quorlkit.HDBSCAN().fit(sparse.random(20, 3, density=0.5, format="csr", random_state=0))


@pytest.mark.parametrize("kind,d,n,seed", [("blobs", 3, 700, 20), ("round1", 2, 600, 21),
                                           ("dup", 9, 400, 22), ("blobs", 40, 300, 23)])
@pytest.mark.parametrize("ms,alpha", [(1, 1.0), (5, 1.0), (9, 0.6)])
def test_blocks_and_tree_give_the_same_fit(kind, d, n, seed, ms, alpha):
    x = data(kind, n, d, seed)
    fits = [quorlkit.HDBSCAN(min_cluster_size=6, min_samples=ms, alpha=alpha, algorithm=a,
                             workers=w).fit(x) for a, w in (("tree", 1), ("brute", 1), ("brute", 2))]
    for f in fits[1:]:
        for name in ("labels_", "probabilities_", "core_distances_", "single_linkage_tree_",
                     "condensed_tree_", "cluster_persistence_"):
            np.testing.assert_array_equal(getattr(f, name), getattr(fits[0], name), err_msg=name)
        np.testing.assert_array_equal(f.minimum_spanning_tree_.edges,
                                      fits[0].minimum_spanning_tree_.edges)
        np.testing.assert_array_equal(f.minimum_spanning_tree_.lengths,
                                      fits[0].minimum_spanning_tree_.lengths)


def test_workers_do_not_change_the_result():
    x = blobs(800, 3, seed=70)
    fits = [quorlkit.HDBSCAN(min_cluster_size=9, workers=w).fit(x) for w in (1, 2, None, -1)]
    for f in fits[1:]:
        np.testing.assert_array_equal(f.labels_, fits[0].labels_)
        np.testing.assert_array_equal(f.single_linkage_tree_, fits[0].single_linkage_tree_)
        np.testing.assert_array_equal(f.condensed_tree_, fits[0].condensed_tree_)


@pytest.mark.parametrize("name", ["HDBSCAN", "DBSCAN"])
def test_sklearn_estimator_checks_pass(name):
    from sklearn.utils.estimator_checks import check_estimator

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # checks that skip themselves say so by a warning
        results = check_estimator(getattr(quorlkit, name)(), on_fail=None)
    failed = [(r["check_name"], r["exception"]) for r in results if r["status"] == "failed"]
    assert len(results) > 20 and not failed, failed


def test_clone_pipeline_and_pickle():
    from sklearn.base import clone
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    est = quorlkit.HDBSCAN(min_cluster_size=7, alpha=0.9)
    copy = clone(est)
    assert copy.get_params() == est.get_params() and copy is not est
    assert est.set_params(min_samples=4) is est and est.min_samples == 4
    x = blobs(300, 2, seed=80)
    labels = make_pipeline(StandardScaler(), quorlkit.HDBSCAN(min_cluster_size=7)).fit_predict(x)
    scaled = (x - x.mean(axis=0)) / x.std(axis=0)
    np.testing.assert_array_equal(labels, quorlkit.HDBSCAN(min_cluster_size=7).fit_predict(scaled))
    fitted = est.fit(x)
    again = pickle.loads(pickle.dumps(fitted))
    np.testing.assert_array_equal(again.condensed_tree_, fitted.condensed_tree_)


def test_works_without_scikit_learn():
    code = textwrap.dedent(
        """
        import sys
        sys.modules["sklearn"] = None  # every import of it fails
        import numpy as np, quorlkit
        est = quorlkit.HDBSCAN(min_cluster_size=3)
        assert est.set_params(alpha=2.0) is est and est.get_params()["alpha"] == 2.0
        try:
            est.set_params(eps=1.0)
        except ValueError as err:
            assert "eps" in str(err)
        else:
            raise AssertionError("an unknown parameter was accepted")
        x = np.r_[np.arange(6.0), 100 + np.arange(6.0)].reshape(-1, 1)
        print(est.fit_predict(x).tolist(), est.n_features_in_)
        """
    )
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert out.split() == ["[0,", "0,", "0,", "0,", "0,", "0,", "1,", "1,", "1,", "1,", "1,",
                           "1]", "1"]


# 20,000 integers with min_samples = 101 and alpha = 10: every pair within 500 of each other weighs
# the common core distance 50, ten million edges that can belong to a minimum spanning tree,
# more than 200 MiB of address space holds. The fit refuses with the count; the process goes on.
TIE_REFUSAL = textwrap.dedent(
    """
    import resource, numpy as np, quorlkit
    quorlkit.HDBSCAN().fit(np.random.default_rng(1).random((20, 2)))  # imports before the limit
    x = np.random.default_rng(0).permutation(20000).astype(float)[:, None]
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + (200 << 20), hard))
    try:
        quorlkit.HDBSCAN(min_samples=101, alpha=10.0, workers=1).fit(x)
        print("fitted")
    except MemoryError as err:
        print(err)
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(quorlkit.HDBSCAN(min_cluster_size=3).fit(x[:50]).labels_.max())
    """
)


def test_tie_edges_beyond_memory_are_refused():
    run = subprocess.run([sys.executable, "-c", TIE_REFUSAL], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    message, after = run.stdout.splitlines()
    found = re.fullmatch(
        r"HDBSCAN: the mutual-reachability graph has more than (\d+) edges that can belong to a "
        r"minimum spanning tree .* available when the fit began \(the headroom under RLIMIT_AS\)"
        r".*: stopped after (\d+) were found\. .*use fewer points, alpha = 1, or break the ties.*",
        message,
    )
    assert found, message
    assert 10**6 < int(found[1]) < int(found[2]) < 10**7
    assert after == "9"


def test_failing_allocations_raise_memory_error():
    x = np.vstack([blobs(60, 2, seed=90), np.repeat(blobs(5, 2, seed=91), 4, axis=0)])
    est = quorlkit.HDBSCAN(min_cluster_size=4, min_samples=3)
    try:
        _core._fail_allocation_at(0)
        want = est.fit(x).labels_.copy()
        total = _core._allocation_count()
        assert total > 0
        for k in range(1, total + 1):
            _core._fail_allocation_at(k)
            with pytest.raises(MemoryError):
                est.fit(x)
            _core._fail_allocation_at(0)
        np.testing.assert_array_equal(est.fit(x).labels_, want)
    finally:
        _core._fail_allocation_at(0)


def test_core_entry_points_refuse_bad_trees():
    with pytest.raises(ValueError, match="merge order"):
        _core.hdbscan(3, np.array([[0, 1], [1, 2]]), np.array([2.0, 1.0]), 2, "eom", False, 0.0, -1)
    with pytest.raises(ValueError, match="already join"):
        _core.hdbscan(3, np.array([[0, 1], [1, 0]]), np.array([1.0, 2.0]), 2, "eom", False, 0.0, -1)
    with pytest.raises(ValueError, match="outside"):
        _core.hdbscan(3, np.array([[0, 1], [1, 5]]), np.array([1.0, 2.0]), 2, "eom", False, 0.0, -1)
    with pytest.raises(ValueError, match="min_samples"):
        _core.mutual_reachability_mst(np.zeros((3, 2)), 4, 1.0)
    with pytest.raises(ValueError, match="alpha"):
        _core.mutual_reachability_mst(np.zeros((3, 2)), 2, -1.0)
    # The client's end of the distributed fit: (core, edges, lengths, ties, order).
    path, no_ties = np.array([[0, 1], [1, 2]]), np.empty((0, 2), np.int32)
    for args, message in [
        ((np.zeros(1), np.empty((0, 2), np.int64), np.empty(0), no_ties, None), "at least 2"),
        ((np.zeros(3), path, np.array([1.0, 0.5]), no_ties, None), "must not decrease"),
        ((np.zeros(3), path, np.array([0.5, 1.0]), np.array([[0, 5]], np.int32), None),
         "names no point"),
        ((np.zeros(3), path, np.array([0.5, 1.0]), no_ties, np.array([0, 0, 1], np.int32)),
         "permutation"),
        ((np.zeros(3), np.array([[0, 1], [0, 1]]), np.array([0.5, 1.0]), no_ties, None), "span"),
    ]:
        with pytest.raises(ValueError, match=message):
            _core.hdbscan_of_tree(*args, 2, 2, "eom", False, 0.0, -1, np.argsort)
    one = np.array([[0, 2]], np.int32)
    for extra, message in [
        ({"sole": np.zeros(2, np.uint8)}, "sole must have shape"),
        ({"twin": np.array([1, 1, 2], np.int32)}, "twin must be a permutation"),  # no cycle
        ({"length_ties": np.array([[0, 3]], np.int32), "length_weights": [1.0]}, "names no point"),
        ({"length_ties": one, "length_weights": [1.0, 2.0]}, "weights must have shape"),
        ({"length_ties": one, "length_weights": [np.nan]}, "finite and >= 0"),
    ]:
        with pytest.raises(ValueError, match=message):
            _core.hdbscan_of_tree(np.zeros(3), path, np.array([0.5, 1.0]), no_ties, None, 2, 2,
                                  "eom", False, 0.0, -1, np.argsort, **extra)


def test_docstring_example():
    import doctest

    import quorlkit._cluster as module

    failed, attempted = doctest.testmod(module)
    assert attempted >= 2 and failed == 0


@pytest.mark.parametrize("kind,d,mcs,ms", [("blobs", 2, 8, 5), ("blobs", 3, 12, 3),
                                           ("blobs", 2, 5, 2), ("round1", 2, 8, 5)])
def test_outlier_scores_and_prediction_are_the_hdbscan_packages(kind, d, mcs, ms):
    hdbscan = pytest.importorskip("hdbscan")
    x = data(kind, 500, d, seed=d + ms)
    # Its exact tree: the default Borůvka tree of the hdbscan package is approximate.
    theirs = hdbscan.HDBSCAN(min_cluster_size=mcs, min_samples=ms - 1, algorithm="prims_kdtree",
                             prediction_data=True).fit(x)
    ours = quorlkit.HDBSCAN(min_cluster_size=mcs, min_samples=ms)
    ours.fit(x[::2]).outlier_scores_  # a refit must not keep this fit's scores
    ours.fit(x)
    assert np.array_equal(theirs.labels_, ours.labels_)
    np.testing.assert_allclose(ours.outlier_scores_, theirs.outlier_scores_, rtol=1e-12)
    new = np.random.default_rng(d).random((200, d)) * 12 - 1
    want_labels, want_strengths = hdbscan.approximate_predict(theirs, new)
    got_labels, got_strengths = ours.approximate_predict(new)
    assert np.array_equal(got_labels, want_labels)
    np.testing.assert_allclose(got_strengths, want_strengths, rtol=1e-12)


@pytest.mark.parametrize("with_bad_rows", [False, True])
def test_dbscan_clustering_is_sklearns(with_bad_rows):
    x = blobs(400, 2, seed=11)
    if with_bad_rows:
        x[[5, 40]] = np.inf
        x[[2, 77], 1] = np.nan
    theirs, ours = sklearn_fit(x, min_cluster_size=6), quorlkit.HDBSCAN(min_cluster_size=6).fit(x)
    for cut in (0.1, 0.3, 0.8, 2.0, 50.0):
        for mcs in (1, 2, 5, 20):
            assert np.array_equal(ours.dbscan_clustering(cut, mcs), theirs.dbscan_clustering(cut, mcs))
    if with_bad_rows:
        assert np.isnan(ours.outlier_scores_[[2, 5, 40, 77]]).all()
        assert np.isfinite(np.delete(ours.outlier_scores_, [2, 5, 40, 77])).all()


def test_methods_of_an_unfitted_estimator_say_so():
    est = quorlkit.HDBSCAN()
    for call in (lambda: est.outlier_scores_, lambda: est.dbscan_clustering(1.0),
                 lambda: est.approximate_predict([[0.0, 0.0]])):
        with pytest.raises((ValueError, AttributeError), match="not fitted"):
            call()


@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("d,ms", [(1, 8), (2, 5), (3, 12)])
def test_prim_order_over_the_ties_a_linkage_needs_gives_the_same_rows(d, ms, seed):
    # Every pair within the greater core, as the distributed fit gathers them: Prim's order
    # over all of them and over those a linkage needs takes the same points at the same
    # weights, and the linkage rows agree.
    x = np.random.default_rng(seed).random((400, d))
    edges, lengths, core, _, _ = _core.mutual_reachability_mst(x, ms, 1.0)
    dist = np.sqrt(((x[:, None, :] - x[None, :, :]) ** 2).sum(-1))
    a, b = np.nonzero((dist <= np.maximum(core[:, None], core[None, :])) & (core[:, None] > core))
    ties = np.stack([a, b], axis=1).astype(np.int32)
    runs = [_core.prim_order(core, edges, lengths, ties, linkage_only=thin) for thin in (0, 1)]
    # As the distributed fit thins them: by the points sole_cores marks, before the replay.
    sole = _core.sole_cores(core, edges, lengths).view(bool)
    assert sole.any()
    runs.append(_core.prim_order(core, edges, lengths, ties[~sole[a]]))
    rows = np.argsort(runs[0][1], kind="stable")
    z = [_core.linkage(len(x), e[rows], w[rows], False) for e, w in runs]
    for run, rows_z in zip(runs[1:], z[1:]):
        np.testing.assert_array_equal(run[0][:, 1], runs[0][0][:, 1])
        np.testing.assert_array_equal(run[1], runs[0][1])
        np.testing.assert_array_equal(rows_z, z[0])
    with pytest.raises(ValueError, match="must not decrease"):
        _core.prim_order(core, edges, lengths[::-1].copy(), ties, linkage_only=True)
    with pytest.raises(ValueError, match="must not decrease"):
        _core.sole_cores(core, edges, lengths[::-1].copy())


@pytest.mark.parametrize("alpha", [1.0, 0.6])
@pytest.mark.parametrize(("kind", "ms"), [("lattice", 4), ("rounded", 1), ("rounded", 6)])
def test_the_ties_of_a_tree_are_the_brute_force_ones(kind, ms, alpha):
    # The pairs beyond the tree that weigh as much as the heaviest edge of the tree's path
    # between them, by brute force, against the tree's own tie search (given the cores, as the
    # distributed fit asks for it) and against tree_ties over every pair.
    rng = np.random.default_rng(ms)
    if kind == "lattice":
        x = np.ascontiguousarray(np.argwhere(rng.random((9, 9)) < 0.6), dtype=float)
    else:
        x = np.ascontiguousarray(np.unique(np.round(rng.random((70, 2)) * 12) / 4, axis=0))
    n = len(x)
    edges, lengths, core, _, _ = _core.mutual_reachability_mst(x, ms, alpha)
    dist = np.sqrt(((x[:, None, :] - x[None, :, :]) ** 2).sum(-1)) / alpha
    w = np.maximum(np.maximum(core[:, None], core[None, :]), dist)
    # The heaviest edge on the tree's path between every two points.
    adj = [[] for _ in range(n)]
    for (a, b), length in zip(edges, lengths):
        adj[a].append((b, length))
        adj[b].append((a, length))
    heaviest = np.zeros((n, n))
    for s in range(n):
        seen, stack = {s}, [s]
        while stack:
            u = stack.pop()
            for v, length in adj[u]:
                if v not in seen:
                    seen.add(v)
                    heaviest[s, v] = max(heaviest[s, u], length)
                    stack.append(v)
    i, j = np.triu_indices(n, 1)
    tree = {tuple(e) for e in np.sort(edges, axis=1).tolist()}
    want = {(a, b) for a, b in zip(i.tolist(), j.tolist())
            if w[a, b] == heaviest[a, b] and (a, b) not in tree}
    assert len(want) >= 5  # tie-heavy
    *_, pairs, weights, twin = _core.mutual_reachability_mst_of_cores(x, core, alpha, ties=True)
    assert len(twin) == 0  # no equal points
    assert {tuple(p) for p in np.sort(pairs, axis=1).tolist()} == want
    np.testing.assert_array_equal(weights, w[pairs[:, 0], pairs[:, 1]])
    keep = _core.tree_ties(n, edges, lengths, np.stack([i, j], 1).astype(np.int32), w[i, j])
    assert {(a, b) for a, b, k in zip(i.tolist(), j.tolist(), keep) if k} == want
    lighter = np.array([[i[0], j[0]]], np.int32)
    with pytest.raises(ValueError, match="lighter than the tree's path"):
        _core.tree_ties(n, edges, lengths, lighter, np.array([heaviest[i[0], j[0]] / 2]))
    with pytest.raises(ValueError, match="names no point"):
        _core.tree_ties(n, edges, lengths, np.array([[0, n]], np.int32), np.array([1.0]))
