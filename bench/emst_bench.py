"""Seeded benchmark of quorlkit.emst, single_linkage, knn, knn_query and closest_pair against their peers,
side by side in one run, one thread each: quitefastmst's mst_euclid (OMP_NUM_THREADS=1) for the
tree, scipy's linkage(X, 'single') for the hierarchy, scipy's cKDTree and pykdtree for the
neighbours. Each measurement runs in a fresh process, ours and the peer's alternating, so that
each gets its own peak resident memory; the table gives medians. Needs scipy, quitefastmst and
pykdtree in the running interpreter (benchmark only):

    pip install . scipy quitefastmst pykdtree
    python bench/emst_bench.py [--quick] [--repeat R] [--big]
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench import make_points  # noqa: E402  (the same seeded shapes as the other tables)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_one(tool, n, d, shape, seed):
    """Times one call in this process and prints seconds and peak memory as JSON."""
    x = np.ascontiguousarray(make_points(n, d, shape, seed))
    if tool == "quorlkit":
        import quorlkit

        call = lambda: quorlkit.emst(x, workers=1)  # noqa: E731
    elif tool == "quitefastmst":
        import quitefastmst

        call = lambda: quitefastmst.mst_euclid(x)  # noqa: E731
    elif tool == "quorlkit-linkage":
        import quorlkit

        call = lambda: quorlkit.single_linkage(x, workers=1)  # noqa: E731
    elif tool == "quorlkit-knn":
        import quorlkit

        call = lambda: quorlkit.knn(x, 10, workers=1)  # noqa: E731
    elif tool == "ckdtree-knn":
        from scipy.spatial import cKDTree

        call = lambda: cKDTree(x).query(x, 11, workers=1)  # noqa: E731
    elif tool == "pykdtree-knn":
        from pykdtree.kdtree import KDTree

        call = lambda: KDTree(x).query(x, k=11)  # noqa: E731
    elif tool == "quorlkit-query":
        import quorlkit

        q = np.ascontiguousarray(make_points(n, d, shape, seed + 1))
        call = lambda: quorlkit.knn_query(x, q, 10, workers=1)  # noqa: E731
    elif tool == "ckdtree-query":
        from scipy.spatial import cKDTree

        q = np.ascontiguousarray(make_points(n, d, shape, seed + 1))
        call = lambda: cKDTree(x).query(q, 10, workers=1)  # noqa: E731
    elif tool == "quorlkit-closest":
        import quorlkit

        call = lambda: quorlkit.closest_pair(x, workers=1)  # noqa: E731
    elif tool == "ckdtree-closest":
        from scipy.spatial import cKDTree

        call = lambda: cKDTree(x).query(x, 2, workers=1)  # noqa: E731
    elif tool == "scipy-linkage":
        from scipy.cluster.hierarchy import linkage

        call = lambda: linkage(x, "single")  # noqa: E731
    else:
        raise SystemExit(f"unknown tool {tool}")
    before = rss_bytes()
    t0 = time.perf_counter()
    result = call()
    seconds = time.perf_counter() - t0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    del result
    print(json.dumps({"seconds": seconds, "rise": max(peak - before, 0)}))


def measure(tool, n, d, shape, seed):
    env = dict(os.environ, OMP_NUM_THREADS="1")
    out = subprocess.run(
        [sys.executable, __file__, "--one", tool, str(n), str(d), shape, str(seed)],
        env=env, check=True, capture_output=True, text=True,
    )
    return json.loads(out.stdout)


def compare(ours, peer, cases, repeat, seed):
    rows = []
    for n, d, shape in cases:
        got = {ours: [], peer: []}
        for _ in range(repeat):
            for tool in (ours, peer):
                got[tool].append(measure(tool, n, d, shape, seed))
        t_ours = statistics.median(r["seconds"] for r in got[ours])
        t_peer = statistics.median(r["seconds"] for r in got[peer])
        m_ours = statistics.median(r["rise"] for r in got[ours]) / n
        m_peer = statistics.median(r["rise"] for r in got[peer]) / n
        rows.append((n, d, shape, t_ours, t_peer, t_ours / t_peer, m_ours, m_peer))
        print(
            f"| {n:>9,} | {d} | {shape:<12} | {t_ours:8.3f} | {t_peer:8.3f} | {t_ours / t_peer:6.3g} "
            f"| {m_ours:6.0f} | {m_peer:6.0f} |",
            flush=True,
        )
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smaller sizes, one repeat")
    ap.add_argument("--repeat", type=int, default=3, help="runs per tool and case (median)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--big", action="store_true", help="also 10^7 2-D points, ours alone")
    ap.add_argument("--one", nargs=5, metavar=("TOOL", "N", "D", "SHAPE", "SEED"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.one:
        tool, n, d, shape, seed = args.one
        run_one(tool, int(n), int(d), shape, int(seed))
        return
    repeat = 1 if args.quick else args.repeat
    big = 10**5 if args.quick else 10**6
    print("EMST, one thread: quorlkit.emst(workers=1) against quitefastmst.mst_euclid "
          "(OMP_NUM_THREADS=1); seconds are medians, memory is the peak resident rise in bytes "
          "per point")
    print()
    print("| n | d | shape | quorlkit s | quitefastmst s | ratio | quorlkit B/pt | quitefastmst B/pt |")
    print("|---|---|---|---|---|---|---|---|")
    cases = [(big, 2, "uniform"), (big, 3, "uniform"), (10**5 if not args.quick else 10**4, 5, "uniform")]
    cases += [(big, 2, "clustered"), (big, 2, "heavy-tailed"), (big, 3, "clustered"),
              (big, 3, "heavy-tailed")]
    compare("quorlkit", "quitefastmst", cases, repeat, args.seed)
    print()
    print("Single linkage, 2-D uniform: quorlkit.single_linkage against scipy's linkage(X, 'single')")
    print()
    print("| n | d | shape | quorlkit s | scipy s | ratio | quorlkit B/pt | scipy B/pt |")
    print("|---|---|---|---|---|---|---|---|")
    compare("quorlkit-linkage", "scipy-linkage",
            [(2 * 10**4 if not args.quick else 5000, 2, "uniform")], repeat, args.seed)
    print()
    print("Nearest neighbours, uniform: quorlkit.knn(k=10) against cKDTree(X).query(X, 11, workers=1), "
          "build included; quorlkit.closest_pair against cKDTree build + query(X, 2)")
    print()
    print("| n | d | shape | quorlkit s | cKDTree s | ratio | quorlkit B/pt | cKDTree B/pt |")
    print("|---|---|---|---|---|---|---|---|")
    compare("quorlkit-knn", "ckdtree-knn", [(big, 2, "uniform"), (big, 3, "uniform")], repeat, args.seed)
    compare("quorlkit-closest", "ckdtree-closest", [(big, 2, "uniform")], repeat, args.seed)
    print()
    print("The same neighbours against pykdtree's KDTree(X).query(X, k=11) (OMP_NUM_THREADS=1)")
    print()
    print("| n | d | shape | quorlkit s | pykdtree s | ratio | quorlkit B/pt | pykdtree B/pt |")
    print("|---|---|---|---|---|---|---|---|")
    compare("quorlkit-knn", "pykdtree-knn", [(big, 2, "uniform"), (big, 3, "uniform")], repeat, args.seed)
    print()
    print("Neighbours of other points: quorlkit.knn_query(X, Q, 10) against "
          "cKDTree(X).query(Q, 10, workers=1), n queries from the same distribution, build included")
    print()
    print("| n | d | shape | quorlkit s | cKDTree s | ratio | quorlkit B/pt | cKDTree B/pt |")
    print("|---|---|---|---|---|---|---|---|")
    compare("quorlkit-query", "ckdtree-query",
            [(big, 2, "uniform"), (big, 3, "uniform"), (big, 2, "clustered")], repeat, args.seed)
    if args.big:
        print()
        r = measure("quorlkit", 10**7, 2, "uniform", args.seed)
        print(f"10^7 uniform 2-D points: quorlkit.emst {r['seconds']:.2f} s, "
              f"peak resident rise {r['rise'] / 10**7:.0f} bytes per point")


if __name__ == "__main__":
    main()
