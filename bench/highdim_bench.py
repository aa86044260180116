"""Seeded benchmark of quorlkit in many dimensions against its peers, side by side in one run on
one thread (OMP_NUM_THREADS=1 is set before anything loads): emst against quitefastmst's
mst_euclid, knn (k = 10) against cKDTree build + query and scikit-learn's brute force
(NearestNeighbors(algorithm="brute"), BLAS, inexact), HDBSCAN against scikit-learn's; and, in few
dimensions, algorithm="auto" against algorithm="tree" (the estimate must not cost); DBSCAN against
scikit-learn's brute force (and its kd-tree without --quick). Medians of
--repeat runs; ratios are quorlkit's time over the peer's.

    pip install . quitefastmst scikit-learn
    python bench/highdim_bench.py [--repeat R] [--quick]
"""

import os

os.environ["OMP_NUM_THREADS"] = "1"
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("MKL_NUM_THREADS", "1")

import argparse  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import quorlkit  # noqa: E402


def blobs(n, d):
    from sklearn.datasets import make_blobs

    return np.ascontiguousarray(make_blobs(n_samples=n, n_features=d, centers=20, random_state=0)[0])


def normal(n, d):
    return np.random.default_rng(0).standard_normal((n, d))


def timed(call, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="the small cases only")
    args = parser.parse_args()
    r = args.repeat
    from scipy.spatial import cKDTree
    from sklearn.neighbors import NearestNeighbors

    try:
        import quitefastmst
    except ImportError:
        quitefastmst = None
        print("quitefastmst is not installed: emst is measured alone")

    print("| work | data | quorlkit s | peer | peer s | ratio |")
    print("|---|---|---|---|---|---|")

    def row(work, name, ours, peer, theirs):
        ratio = f"{ours / theirs:.2f}x" if theirs else "-"
        print(f"| {work} | {name} | {ours:.3f} | {peer} | {theirs:.3f} | {ratio} |", flush=True)

    emst_cases = [("2,000 blobs 64-D", blobs, 2000, 64), ("10,000 normal 256-D", normal, 10000, 256)]
    if not args.quick:
        emst_cases.append(("50,000 blobs 32-D", blobs, 50000, 32))
    for name, make, n, d in emst_cases:
        x = make(n, d)
        ours = timed(lambda: quorlkit.emst(x, workers=1), r)
        if quitefastmst is not None:
            row("emst", name, ours, "quitefastmst", timed(lambda: quitefastmst.mst_euclid(x), r))
        else:
            row("emst", name, ours, "-", 0.0)

    for name, make, n, d in [
        ("5,000 normal 64-D", normal, 5000, 64),
        ("5,000 normal 625-D", normal, 5000, 625),
        ("20,000 blobs 64-D", blobs, 20000, 64),
    ]:
        x = make(n, d)
        ours = timed(lambda: quorlkit.knn(x, 10, workers=1), r)
        row("knn k=10", name, ours, "cKDTree", timed(lambda: cKDTree(x).query(x, 11), r))
        brute = NearestNeighbors(n_neighbors=11, algorithm="brute")
        row("knn k=10", name, ours, "sklearn brute", timed(lambda: brute.fit(x).kneighbors(x), r))

    from sklearn.cluster import HDBSCAN

    x = blobs(2000, 64)
    ours = timed(lambda: quorlkit.HDBSCAN(min_cluster_size=15, workers=1).fit(x), r)
    theirs = timed(lambda: HDBSCAN(15, copy=True).fit(x), r)
    row("HDBSCAN", "2,000 blobs 64-D", ours, "sklearn", theirs)

    from sklearn.cluster import DBSCAN

    x = normal(10000, 64)
    ours = timed(lambda: quorlkit.DBSCAN(8.93, min_samples=10, workers=1).fit(x), r)
    peers = [("sklearn brute", "brute")] + ([] if args.quick else [("sklearn kd_tree", "kd_tree")])
    for peer, algorithm in peers:
        model = DBSCAN(eps=8.93, min_samples=10, algorithm=algorithm)
        row("DBSCAN", "10,000 normal 64-D", ours, peer, timed(lambda: model.fit(x), 1))

    # Few dimensions: "auto" against "tree", alternating, so that both see the same machine.
    for d in (2, 5, 8, 12):
        x = normal(200000 if d < 8 else 50000, d)
        for work, call in [("emst", quorlkit.emst), ("knn", lambda x, **kw: quorlkit.knn(x, 10, **kw))]:
            auto, tree = [], []
            for _ in range(max(r, 5)):
                auto.append(timed(lambda: call(x, workers=1), 1))
                tree.append(timed(lambda: call(x, workers=1, algorithm="tree"), 1))
            row(f"{work} auto", f"{len(x):,} normal {d}-D", statistics.median(auto), "tree",
                statistics.median(tree))


if __name__ == "__main__":
    main()
