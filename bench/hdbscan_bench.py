"""Seeded benchmark of quorlkit.HDBSCAN against its peers, side by side in one run, one thread
each: the hdbscan package (min_samples = 14, which is our 15; core_dist_n_jobs=1), quitefastmst's
mutual-reachability tree mst_euclid(X, M=15) (OMP_NUM_THREADS=1), which is only the tree, and
scikit-learn's HDBSCAN at a size its O(n^2) Prim can take. The points are
make_blobs(n, 2, centers=20, random_state=0); min_cluster_size=15. Each measurement runs in a
fresh process, ours and the peer's alternating, so that each gets its own peak resident memory;
the table gives medians. Needs scikit-learn, hdbscan and quitefastmst (benchmark only):

    pip install . scikit-learn hdbscan quitefastmst
    python bench/hdbscan_bench.py [--quick] [--repeat R] [--big]
    python bench/hdbscan_bench.py --targets [--repeat R]   # continuous and rounded, B a point
    python bench/hdbscan_bench.py --memory [N ...]         # min_cluster_size=50, B a point
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time


def run_one(tool, n, d):
    """Times one fit in this process and prints seconds and peak memory as JSON."""
    import warnings

    import numpy as np
    from sklearn.datasets import make_blobs

    if tool.endswith("-ms50"):  # a large min_samples: the memory case, on two threads
        tool = tool[: -len("-ms50")]
        x, _ = make_blobs(n_samples=n, n_features=d, centers=50, random_state=0)
        import quorlkit

        call = {
            "quorlkit": lambda: quorlkit.HDBSCAN(min_cluster_size=50, workers=2).fit(x),
            "quitefastmst": lambda: __import__("quitefastmst").mst_euclid(x, M=50),
        }[tool]
        base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        t0 = time.perf_counter()
        call()
        seconds = time.perf_counter() - t0
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(json.dumps({"seconds": seconds, "peak_mib": peak / 1024,
                          "added_mib": (peak - base) / 1024}))
        return
    x, _ = make_blobs(n_samples=n, n_features=d, centers=20, random_state=0)
    if tool.endswith("-round1"):  # tie-heavy: the same blobs rounded to one decimal
        tool, x = tool[: -len("-round1")], np.round(x, 1)
    if tool == "quorlkit":
        import quorlkit

        call = lambda: quorlkit.HDBSCAN(min_cluster_size=15, workers=1).fit(x)  # noqa: E731
    elif tool == "quorlkit-mst":
        from quorlkit import _core

        call = lambda: _core.mutual_reachability_mst(x, 15, 1.0)  # noqa: E731
    elif tool == "hdbscan":
        import hdbscan

        call = lambda: hdbscan.HDBSCAN(  # noqa: E731
            min_cluster_size=15, min_samples=14, core_dist_n_jobs=1
        ).fit(x)
    elif tool == "quitefastmst":
        import quitefastmst

        call = lambda: quitefastmst.mst_euclid(x, M=15)  # noqa: E731
    elif tool == "sklearn":
        from sklearn.cluster import HDBSCAN

        warnings.simplefilter("ignore", FutureWarning)
        call = lambda: HDBSCAN(min_cluster_size=15, copy=True).fit(x)  # noqa: E731
    else:
        raise SystemExit(f"unknown tool {tool}")
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t0 = time.perf_counter()
    call()
    seconds = time.perf_counter() - t0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": seconds, "peak_mib": peak / 1024, "added_mib": (peak - base) / 1024}))


def measure(tool, n, d, repeat):
    threads = "2" if tool.endswith("-ms50") else "1"
    env = dict(os.environ, OMP_NUM_THREADS=threads, OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    runs = []
    for _ in range(repeat):
        out = subprocess.run(
            [sys.executable, __file__, "--one", tool, str(n), str(d)],
            capture_output=True, text=True, env=env, check=True,
        )
        runs.append(json.loads(out.stdout.strip().splitlines()[-1]))
    return {k: statistics.median(r[k] for r in runs) for k in runs[0]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, one repeat")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--big", action="store_true", help="add 10^6 points, against quitefastmst")
    parser.add_argument("--memory", nargs="*", type=float, metavar="N",
                        help="min_cluster_size=50 on make_blobs(N, 2, centers=50), two threads: "
                        "the rise of peak memory against quitefastmst's (default N: 1e6)")
    parser.add_argument("--targets", action="store_true",
                        help="the fit against quitefastmst's tree, continuous and rounded blobs")
    parser.add_argument("--one", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        run_one(args.one[0], int(args.one[1]), int(args.one[2]))
        return
    if args.targets:
        targets(args.repeat)
        return
    if args.memory is not None:
        memory(args.memory or [1e6], args.repeat)
        return
    repeat = 1 if args.quick else args.repeat
    big, small = (10**4, 4000) if args.quick else (10**5, 2 * 10**4)
    rows = [
        ("HDBSCAN fit", big, "quorlkit", "hdbscan"),
        ("mutual-reachability tree", big, "quorlkit-mst", "quitefastmst"),
        ("HDBSCAN fit vs the tree alone", big, "quorlkit", "quitefastmst"),
        ("HDBSCAN fit", small, "quorlkit", "sklearn"),
    ]
    print(f"| work | n | ours (s) | peer | peer (s) | ratio | our peak MiB | peer peak MiB |")
    print("|---|---|---|---|---|---|---|---|")
    for work, n, ours, peer in rows:
        a, b = measure(ours, n, 2, repeat), measure(peer, n, 2, repeat)
        print(f"| {work} | {n} | {a['seconds']:.3f} | {peer} | {b['seconds']:.3f} | "
              f"{a['seconds'] / b['seconds']:.3g} | {a['peak_mib']:.0f} | {b['peak_mib']:.0f} |",
              flush=True)
    if args.big:
        a, b = measure("quorlkit", 10**6, 2, repeat), measure("quitefastmst", 10**6, 2, repeat)
        print(f"| HDBSCAN fit vs the tree alone | 1000000 | {a['seconds']:.3f} | quitefastmst | "
              f"{b['seconds']:.3f} | {a['seconds'] / b['seconds']:.3g} | {a['peak_mib']:.0f} | "
              f"{b['peak_mib']:.0f} |")
        print(f"\nAt 10^6 the fit's peak resident memory rose by {a['added_mib']:.0f} MiB over "
              f"the interpreter with the points made, quitefastmst's by {b['added_mib']:.0f} MiB.")


def memory(sizes, repeat):
    """min_cluster_size=50 (so min_samples 50; quitefastmst M=50) on two threads: seconds and
    the rise of peak resident memory in bytes a point."""
    print("| n | fit (s) | quitefastmst (s) | fit B/pt | qfm B/pt |")
    print("|---|---|---|---|---|")
    for n in sizes:
        n = int(n)
        a = measure("quorlkit-ms50", n, 2, repeat)
        q = measure("quitefastmst-ms50", n, 2, repeat)
        per = lambda m: m["added_mib"] * 2**20 / n  # noqa: E731
        print(f"| {n} | {a['seconds']:.2f} | {q['seconds']:.2f} | {per(a):.0f} | {per(q):.0f} |",
              flush=True)


def targets(repeat):
    """One thread: the fit on make_blobs(centers=20) and on the same blobs rounded to one decimal
    (tie-heavy), against quitefastmst's mutual-reachability tree alone, with the rise of peak
    resident memory over the interpreter with the points made, in bytes a point."""
    print("| n | d | fit (s) | rounded fit (s) | quitefastmst (s) | fit / qfm | rounded / fit "
          "| fit B/pt | rounded B/pt | qfm B/pt |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for n, d in [(10**5, 2), (10**5, 5), (10**6, 2)]:
        a = measure("quorlkit", n, d, repeat)
        r = measure("quorlkit-round1", n, d, repeat)
        q = measure("quitefastmst", n, d, repeat)
        per = lambda m: m["added_mib"] * 2**20 / n  # noqa: E731
        print(f"| {n} | {d} | {a['seconds']:.3f} | {r['seconds']:.3f} | {q['seconds']:.3f} | "
              f"{a['seconds'] / q['seconds']:.2f} | {r['seconds'] / a['seconds']:.2f} | "
              f"{per(a):.0f} | {per(r):.0f} | {per(q):.0f} |", flush=True)


if __name__ == "__main__":
    main()
