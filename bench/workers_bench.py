"""Seeded benchmark of quorlkit's threads, side by side in one run: decompose of uniform points
at s = 2 on one thread against scipy's cKDTree construction of the same points, and decompose,
knn (k = 10), emst and the HDBSCAN fit (make_blobs, 20 centers, min_cluster_size 15, n / 10
points) on two threads against one. Calls alternate (ours, the peer's or the other thread
count, ours again ...) and the table gives medians, so that a machine shared with other work
shifts both sides alike; wall times on a loaded machine are still noisy, which is why the load
average and the process CPU seconds are printed beside them. Needs scipy and scikit-learn
(benchmark only):

    pip install . scipy scikit-learn
    python bench/workers_bench.py [--n 1000000] [--repeat 5] [--quick]
"""

import argparse
import gc
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench import make_points  # noqa: E402  (the same seeded shapes as the other tables)


def timed(call):
    """Wall and process CPU seconds of one call, after a collection."""
    gc.collect()
    wall, cpu = time.perf_counter(), time.process_time()
    call()
    return time.perf_counter() - wall, time.process_time() - cpu


def medians(calls, repeat):
    """Median wall and CPU seconds of each call, the calls alternating within every round."""
    times = {name: [] for name in calls}
    for _ in range(repeat):
        for name, call in calls.items():
            times[name].append(timed(call))
    return {
        name: (statistics.median(w for w, _ in t), statistics.median(c for _, c in t))
        for name, t in times.items()
    }


def main():
    import quorlkit
    from scipy.spatial import cKDTree

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--quick", action="store_true", help="n = 10^5, 3 repeats")
    args = ap.parse_args()
    n, repeat = (100_000, 3) if args.quick else (args.n, args.repeat)

    print(f"n = {n}, {repeat} repeats, medians; cores this process may use: "
          f"{len(os.sched_getaffinity(0))}; load average at start: {os.getloadavg()[0]:.1f}")
    rows = []
    for d in (2, 3):
        x = np.ascontiguousarray(make_points(n, d, "uniform", args.seed))
        t = medians(
            {
                "one": lambda: quorlkit.decompose(x, 2.0, workers=1),
                "ckdtree": lambda: cKDTree(x),
                "two": lambda: quorlkit.decompose(x, 2.0, workers=2),
            },
            repeat,
        )
        rows.append((f"decompose {d}-D s=2", t["one"], t["two"], t["ckdtree"]))
    x = np.ascontiguousarray(make_points(n, 2, "uniform", args.seed))
    t = medians(
        {
            "one": lambda: quorlkit.knn(x, 10, workers=1),
            "two": lambda: quorlkit.knn(x, 10, workers=2),
        },
        repeat,
    )
    rows.append(("knn 2-D k=10", t["one"], t["two"], None))
    t = medians(
        {
            "one": lambda: quorlkit.emst(x, workers=1),
            "two": lambda: quorlkit.emst(x, workers=2),
        },
        repeat,
    )
    rows.append(("emst 2-D", t["one"], t["two"], None))
    from sklearn.datasets import make_blobs

    blobs, _ = make_blobs(n_samples=n // 10, n_features=2, centers=20, random_state=0)
    t = medians(
        {
            "one": lambda: quorlkit.HDBSCAN(min_cluster_size=15, workers=1).fit(blobs),
            "two": lambda: quorlkit.HDBSCAN(min_cluster_size=15, workers=2).fit(blobs),
        },
        repeat,
    )
    rows.append((f"HDBSCAN fit 2-D, {n // 10:,} points", t["one"], t["two"], None))

    print()
    print("| call | 1 thread s (cpu) | 2 threads s (cpu) | 1 / 2 threads | cKDTree build s | 1 thread / cKDTree |")
    print("|---|---|---|---|---|---|")
    for name, one, two, peer in rows:
        ratio = f"{one[0] / peer[0]:.2f}x" if peer else "-"
        peer_s = f"{peer[0]:.3f}" if peer else "-"
        print(
            f"| {name} | {one[0]:.3f} ({one[1]:.2f}) | {two[0]:.3f} ({two[1]:.2f}) | "
            f"{one[0] / two[0]:.2f}x | {peer_s} | {ratio} |"
        )
    print(f"\nload average at end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
