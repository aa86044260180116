"""Seeded benchmark of quorlkit.DBSCAN and quorlkit.friends_of_friends against their peers, side
by side in one run, on 1 and 2 threads: the `dbscan` package (PARLAY_NUM_THREADS), scikit-learn's
DBSCAN(algorithm="kd_tree", n_jobs) and pyfof. The data are written once and loaded by every
measurement, each in a fresh process, the tools alternating, so that each gets its own peak
resident memory; the table gives medians, and what the call's peak resident memory rose by over
the memory in use when it began, per point (Linux: /proc/self/clear_refs resets the peak).

- A: make_blobs(10**6, 2, centers=20, random_state=0), eps = 0.0762 (about 100 neighbours),
  min_samples = 10;
- B: make_blobs(2 * 10**5, 5, centers=20, random_state=0), eps = 0.969 (about 50), min_samples 10;
- F: 10**6 uniform points in the unit cube (seed 0), linking length 0.2 n^(-1/3).

Needs scikit-learn, dbscan and pyfof (benchmark only; pyfof builds against Boost's headers):

    pip install . scikit-learn dbscan pyfof
    python bench/dbscan_bench.py [--repeat R] [--quick] [--no-sklearn] [--fof-big]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

DATA = {"A": (0.0762, 10), "B": (0.969, 10)}


def make(name, n, path):
    if name == "F":
        x = np.random.default_rng(0).random((n, 3))
    else:
        from sklearn.datasets import make_blobs

        d = 2 if name == "A" else 5
        x, _ = make_blobs(n_samples=n, n_features=d, centers=20, random_state=0)
    np.save(path, np.ascontiguousarray(x))


def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])  # KiB
    raise SystemExit(f"no {field} in /proc/self/status")


def _reset_peak():
    """Resets the peak resident memory to the present one (Linux) and returns it, in KiB: the
    call's peak then counts from here, not from what imports and loading touched before."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return _status("VmRSS")


def run_one(tool, path, name, threads):
    """Times one call in this process and prints seconds, labels' digest and memory as JSON."""
    x = np.load(path)
    n = len(x)
    if name == "F":
        eps, min_samples = 0.2 * n ** (-1 / 3), 1
    else:
        eps, min_samples = DATA[name]
    if tool == "quorlkit":
        import quorlkit

        if name == "F":
            call = lambda: quorlkit.friends_of_friends(x, eps, workers=threads)[0]  # noqa: E731
        else:
            est = quorlkit.DBSCAN(eps=eps, min_samples=min_samples, workers=threads)
            call = lambda: est.fit(x).labels_  # noqa: E731
    elif tool == "dbscan":
        import dbscan

        call = lambda: dbscan.DBSCAN(x, eps=eps, min_samples=min_samples)[0]  # noqa: E731
    elif tool == "sklearn":
        from sklearn.cluster import DBSCAN

        est = DBSCAN(eps=eps, min_samples=min_samples, algorithm="kd_tree", n_jobs=threads)
        call = lambda: est.fit(x).labels_  # noqa: E731
    elif tool == "pyfof":
        import pyfof

        def call():
            labels = np.empty(n, dtype=np.int64)
            for k, group in enumerate(pyfof.friends_of_friends(x, eps)):
                labels[group] = k
            return labels
    else:
        raise SystemExit(f"unknown tool {tool}")
    base = _reset_peak()
    t0 = time.perf_counter()
    labels = call()
    seconds = time.perf_counter() - t0
    peak = _status("VmHWM")
    groups = len(np.unique(labels[labels >= 0]))
    print(json.dumps({"seconds": seconds, "bytes_per_point": (peak - base) * 1024 / n,
                      "groups": groups, "noise": int((labels < 0).sum())}))


def measure(tool, path, name, threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), PARLAY_NUM_THREADS=str(threads),
               OPENBLAS_NUM_THREADS="1")
    out = subprocess.run(
        [sys.executable, __file__, "--one", tool, path, name, str(threads)],
        capture_output=True, text=True, env=env, check=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--one", nargs=4, help=argparse.SUPPRESS)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="a tenth of the points")
    ap.add_argument("--no-sklearn", action="store_true", help="leave scikit-learn out")
    ap.add_argument("--fof-big", action="store_true", help="also friends-of-friends of 10^7")
    args = ap.parse_args()
    if args.one:
        tool, path, name, threads = args.one
        return run_one(tool, path, name, int(threads))
    scale = 10 if args.quick else 1
    sizes = {"A": 10**6 // scale, "B": 2 * 10**5 // scale, "F": 10**6 // scale}
    peers = {"A": ["dbscan"], "B": ["dbscan"], "F": ["pyfof"]}
    if not args.no_sklearn:
        peers["A"].append("sklearn")
        peers["B"].append("sklearn")
    print("| data | n | threads | ours (s) | peer | peer (s) | ours / peer | ours B/pt | peer B/pt "
          "| groups, noise: ours / peer |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("A", "B", "F"):
            path = os.path.join(tmp, f"{name}.npy")
            make(name, sizes[name], path)
            for threads in (1, 2):
                for peer in peers[name]:
                    if peer == "sklearn" and threads == 2 and name == "B":
                        continue  # as slow as one thread and not what the targets ask
                    ours, theirs = [], []
                    try:
                        for _ in range(args.repeat if peer != "sklearn" else 1):
                            ours.append(measure("quorlkit", path, name, threads))
                            theirs.append(measure(peer, path, name, threads))
                    except subprocess.CalledProcessError as err:
                        print(f"| {name} | {peer} failed: {err.stderr.strip().splitlines()[-1]} |")
                        continue
                    a = {k: statistics.median(r[k] for r in ours) for k in ours[0]}
                    b = {k: statistics.median(r[k] for r in theirs) for k in theirs[0]}
                    print(f"| {name} | {sizes[name]} | {threads} | {a['seconds']:.3f} | {peer} | "
                          f"{b['seconds']:.3f} | {a['seconds'] / b['seconds']:.3f} | "
                          f"{a['bytes_per_point']:.0f} | {b['bytes_per_point']:.0f} | "
                          f"{a['groups']}, {a['noise']} / {b['groups']}, {b['noise']} |",
                          flush=True)
        if args.fof_big:
            path = os.path.join(tmp, "F7.npy")
            make("F", 10**7, path)
            for threads in (1, 2):
                r = measure("quorlkit", path, "F", threads)
                print(f"| F | 10000000 | {threads} | {r['seconds']:.3f} | — | — | — | "
                      f"{r['bytes_per_point']:.0f} | — | {r['groups']}, {r['noise']} |", flush=True)


if __name__ == "__main__":
    main()
