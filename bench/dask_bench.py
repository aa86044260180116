"""quorlkit.dask on a local two-worker cluster against quorlkit in one process on one thread.

    python bench/dask_bench.py                  # 2*10^6 uniform 2-D points, emst and knn
    python bench/dask_bench.py --n 10000000     # the 10^7 run
    python bench/dask_bench.py --quick          # 2*10^5
    python bench/dask_bench.py --rounds         # also where the cluster's time goes, per round

Each measurement runs in a fresh process (a fresh cluster for the dask side), one after the other,
`--repeat` times; the table gives medians. The points are `default_rng(0).random((n, 2))` made by
dask on the workers (`dask.array.random`), in chunks of 250,000 rows, and persisted before the
clock starts; the single process computes the same array first. Timed: the call until its result
is held (on the workers for dask: the returned arrays are persisted). Memory: the peak resident
size of each worker process (ru_maxrss) and of the single process, and their rise over the
process before the points existed, and the rise of the client process during the call (HDBSCAN
condenses on the client). Speed-up is the one process's time over the cluster's; peak ratio is
the larger worker's peak over the one process's. HDBSCAN runs on 2-D blobs (twenty Gaussian
clusters), min_cluster_size = 15; `--what hdbscan-rounded` rounds the same blobs to three
decimals (equal distances and equal points: the fit's search for ties).

With `--rounds`, each cluster run also records dask's task stream and prints, per kind of task,
how many ran, their compute and transfer seconds summed over the workers, and when the first
started and the last ended (seconds from the call). Last, unless `--no-exact`, the calls run on
a four-worker cluster and their results are compared with the one process's (a two-core machine
is not faster with four workers; the result must be the same).
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
K = 10
MIN_CLUSTER_SIZE = 15


def _points(n: int, what: str):
    import dask.array as da

    if not what.startswith("hdbscan"):
        return da.random.default_rng(0).random((n, 2), chunks=(CHUNK, 2))
    # Blobs: twenty Gaussian clusters of unequal spread over a uniform background.
    rng = da.random.default_rng(0)
    centre = rng.integers(0, 20, size=n, chunks=CHUNK)
    spread = 0.01 + 0.002 * centre
    x = rng.standard_normal((n, 2), chunks=(CHUNK, 2)) * spread[:, None]
    x = x + da.stack([(centre % 5) * 0.2 + 0.1, (centre // 5) * 0.25 + 0.1], axis=1)
    # Rounded to a grid of 1/1000: equal distances everywhere and many equal points.
    return da.round(x, 3) if what == "hdbscan-rounded" else x


def _peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def _one_process_call(what: str, x):
    import quorlkit

    if what == "emst":
        return quorlkit.emst(x, workers=1)
    if what == "knn":
        return quorlkit.knn(x, K, workers=1)
    model = quorlkit.HDBSCAN(min_cluster_size=MIN_CLUSTER_SIZE, workers=1).fit(x)
    return model.labels_, model.probabilities_


def _cluster_call(what: str, x):
    from distributed import wait

    import quorlkit.dask as qd

    if what == "emst":
        out = qd.emst(x)
        wait([out.edges, out.lengths])
        return out
    if what == "knn":
        out = qd.knn(x, K)
        wait(list(out))
        return out
    model = qd.HDBSCAN(min_cluster_size=MIN_CLUSTER_SIZE).fit(x)
    wait([model.labels_, model.probabilities_])
    return model.labels_, model.probabilities_


def one_process(n: int, what: str) -> dict:
    import numpy as np

    before = _peak_mib()
    x = np.ascontiguousarray(_points(n, what).compute(scheduler="threads"))
    t = time.perf_counter()
    _one_process_call(what, x)
    seconds = time.perf_counter() - t
    return {"seconds": seconds, "peak": _peak_mib(), "rise": _peak_mib() - before}


def _rounds(stream: list[dict], start: float) -> list[tuple]:
    from dask.utils import key_split

    kinds: dict[str, list[float]] = {}
    for task in stream:
        row = kinds.setdefault(key_split(task["key"]), [0, 0.0, 0.0, float("inf"), 0.0])
        row[0] += 1
        for span in task["startstops"]:
            took = span["stop"] - span["start"]
            if span["action"] == "compute":
                row[1] += took
                row[3] = min(row[3], span["start"] - start)
                row[4] = max(row[4], span["stop"] - start)
            elif span["action"] == "transfer":
                row[2] += took
    return sorted(((k, *v) for k, v in kinds.items()), key=lambda r: r[4])


def on_cluster(n: int, what: str, workers: int, rounds: bool) -> dict:
    from distributed import Client, LocalCluster, get_task_stream, wait

    with LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("quorlkit.dask"))
        if what.startswith("hdbscan"):
            client.run(lambda: __import__("quorlkit._dask_cluster"))
            __import__("quorlkit._dask_cluster")
        start = client.run(_peak_mib)
        x = _points(n, what).persist()
        wait(x)
        client_before = _peak_mib()
        with get_task_stream(client) as stream:
            t0 = time.time()
            t = time.perf_counter()
            _cluster_call(what, x)
            seconds = time.perf_counter() - t
        peaks = client.run(_peak_mib)
        return {
            "seconds": seconds,
            "peak": max(peaks.values()),
            "rise": max(peaks[w] - start[w] for w in peaks),
            "client_rise": _peak_mib() - client_before,
            "rounds": _rounds(stream.data, t0) if rounds else [],
        }


def exact_on(n: int, what: str, workers: int) -> dict:
    """The call on a cluster of `workers` against the one process, on the same points."""
    import numpy as np
    from distributed import Client, LocalCluster

    x = _points(n, what)
    want = _one_process_call(what, np.ascontiguousarray(x.compute(scheduler="threads")))
    with LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, Client(cluster):
        t = time.perf_counter()
        got = _cluster_call(what, x.persist())
        seconds = time.perf_counter() - t
        same = all(np.array_equal(np.asarray(g.compute()), np.asarray(w)) for g, w in zip(got, want))
    return {"seconds": seconds, "same": same}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=2_000_000)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--what", default="emst,knn,hdbscan")
    parser.add_argument("--rounds", action="store_true")
    parser.add_argument("--no-exact", action="store_true")
    parser.add_argument("--one", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        side, what, n = args.one
        if side == "single":
            result = one_process(int(n), what)
        elif side == "exact":
            result = exact_on(int(n), what, 4)
        else:
            result = on_cluster(int(n), what, 2, args.rounds)
        print(json.dumps(result))
        return
    n = 200_000 if args.quick else args.n

    def run(side: str, what: str) -> dict:
        cmd = [sys.executable, __file__, "--one", side, what, str(n)]
        if args.rounds:
            cmd.append("--rounds")
        out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
        return json.loads(out.strip().splitlines()[-1])

    rows = []
    for what in args.what.split(","):
        runs: dict[str, list[dict]] = {"single": [], "dask": []}
        for _ in range(args.repeat):
            for side in runs:
                runs[side].append(run(side, what))
        med = {
            s: {k: statistics.median(r.get(k, 0.0) for r in v)
                for k in ("seconds", "peak", "rise", "client_rise")}
            for s, v in runs.items()
        }
        fastest = min(runs["dask"], key=lambda r: r["seconds"])
        rows.append((what, med, fastest["rounds"]))
    print(f"n = {n}, 2 workers x 1 thread against one process on one thread, "
          f"medians of {args.repeat}")
    print("| call | one process s | 2 workers s | speed-up | process peak MiB (rise) "
          "| worker peak MiB (rise) | peak ratio | rise ratio | client rise MiB |")
    print("|---|---|---|---|---|---|---|---|---|")
    for what, m, _ in rows:
        s, c = m["single"], m["dask"]
        print(
            f"| {what} | {s['seconds']:.3f} | {c['seconds']:.3f} "
            f"| {s['seconds'] / c['seconds']:.2f}x "
            f"| {s['peak']:.0f} ({s['rise']:.0f}) | {c['peak']:.0f} ({c['rise']:.0f}) "
            f"| {c['peak'] / s['peak']:.2f} | {c['rise'] / s['rise']:.2f} "
            f"| {c['client_rise']:.0f} |"
        )
    for what, _, rounds in rows:
        if not rounds:
            continue
        print(f"\n{what}, the fastest 2-worker run, per kind of task:")
        print("| task | count | compute s | transfer s | first start s | last end s |")
        print("|---|---|---|---|---|---|")
        for name, count, compute, transfer, first, last in rounds:
            print(f"| {name} | {count} | {compute:.3f} | {transfer:.3f} | {first:.2f} | {last:.2f} |")
    if not args.no_exact:
        print("\n| call | 4 workers s | equal to one process |")
        print("|---|---|---|")
        for what in args.what.split(","):
            r = run("exact", what)
            print(f"| {what} | {r['seconds']:.3f} | {'yes' if r['same'] else 'NO'} |")


if __name__ == "__main__":
    main()
