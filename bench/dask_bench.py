"""quorlkit.dask on a local two-worker cluster against quorlkit in one process on one thread.

    python bench/dask_bench.py                  # 2*10^6 uniform 2-D points, emst and knn
    python bench/dask_bench.py --n 10000000     # the 10^7 run
    python bench/dask_bench.py --quick          # 2*10^5

Each measurement runs in a fresh process (a fresh cluster for the dask side), one after the other,
`--repeat` times; the table gives medians. The points are `default_rng(0).random((n, 2))` made by
dask on the workers (`dask.array.random`), in chunks of 250,000 rows, and persisted before the
clock starts; the single process computes the same array first. Timed: the call until its result
is held (on the workers for dask: the returned arrays are persisted). Memory: the peak resident
size of each worker process (ru_maxrss) and of the single process, and their rise over the
process before the points existed.
"""

from __future__ import annotations

import argparse
import json
import resource
import statistics
import subprocess
import sys
import time

CHUNK = 250_000


def _points(n: int):
    import dask.array as da

    return da.random.default_rng(0).random((n, 2), chunks=(CHUNK, 2))


def _peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def one_process(n: int, what: str) -> dict:
    import numpy as np

    import quorlkit

    before = _peak_mib()
    x = np.ascontiguousarray(_points(n).compute(scheduler="threads"))
    t = time.perf_counter()
    if what == "emst":
        quorlkit.emst(x, workers=1)
    else:
        quorlkit.knn(x, 10, workers=1)
    seconds = time.perf_counter() - t
    return {"seconds": seconds, "peak": _peak_mib(), "rise": _peak_mib() - before}


def on_cluster(n: int, what: str, partitions: int | None) -> dict:
    from distributed import Client, LocalCluster, wait

    import quorlkit.dask as qd

    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("quorlkit.dask"))
        start = client.run(_peak_mib)
        x = _points(n).persist()
        wait(x)
        t = time.perf_counter()
        if what == "emst":
            out = qd.emst(x, partitions=partitions)
            wait([out.edges, out.lengths])
        else:
            out = qd.knn(x, 10, partitions=partitions)
            wait(list(out))
        seconds = time.perf_counter() - t
        peaks = client.run(_peak_mib)
        return {
            "seconds": seconds,
            "peak": max(peaks.values()),
            "rise": max(peaks[w] - start[w] for w in peaks),
        }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=2_000_000)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--partitions", type=int, default=None)
    parser.add_argument("--what", default="emst,knn")
    parser.add_argument("--one", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        side, what, n = args.one
        parts = args.partitions
        result = one_process(int(n), what) if side == "single" else on_cluster(int(n), what, parts)
        print(json.dumps(result))
        return
    n = 200_000 if args.quick else args.n
    rows = []
    for what in args.what.split(","):
        runs: dict[str, list[dict]] = {"single": [], "dask": []}
        for _ in range(args.repeat):
            for side in runs:
                cmd = [sys.executable, __file__, "--one", side, what, str(n)]
                if args.partitions:
                    cmd += ["--partitions", str(args.partitions)]
                out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
                runs[side].append(json.loads(out.strip().splitlines()[-1]))
        med = {s: {k: statistics.median(r[k] for r in v) for k in v[0]} for s, v in runs.items()}
        rows.append((what, med))
    print(f"n = {n}, 2 workers x 1 thread against one process on one thread, medians of {args.repeat}")
    print("| call | one process s | 2 workers s | ratio | process peak MiB (rise) "
          "| worker peak MiB (rise) | peak ratio | rise ratio |")
    print("|---|---|---|---|---|---|---|---|")
    for what, m in rows:
        s, c = m["single"], m["dask"]
        print(
            f"| {what} | {s['seconds']:.3f} | {c['seconds']:.3f} | {c['seconds'] / s['seconds']:.2f}x "
            f"| {s['peak']:.0f} ({s['rise']:.0f}) | {c['peak']:.0f} ({c['rise']:.0f}) "
            f"| {c['peak'] / s['peak']:.2f} | {c['rise'] / s['rise']:.2f} |"
        )


if __name__ == "__main__":
    main()
