"""Where the time of each heavy call goes on one thread and on two, how much of the two-thread
time one thread works alone, and what Amdahl's law projects from that for 16 and 64 threads;
then the peers on two threads, side by side.

Each call runs at workers=1 and workers=2, alternating, `--repeat` times; the run of median
wall time is kept, with the core's stage clock (quorlkit._core._stage_clock): the wall and
process CPU seconds of each stage, and the Python around the core as one more stage. In a
stage of wall time W and CPU time C on two threads, one thread works alone for 2W - C (clipped
to [0, W]). For that to hold, idle threads must not burn CPU, so the shares come from a second
pass in a child process with OMP_WAIT_POLICY=passive (idle threads sleep at once; waking them
costs a little, so the share is if anything too high); the speed-ups come from the default
policy. Amdahl: with t1 the time one thread works alone and t2 the time both work, the serial
fraction of the work is f = t1 / (t1 + 2 t2) and p threads give at most 1 / (f + (1 - f) / p).

Peers, two threads each (benchmark only: pip install scipy scikit-learn quitefastmst
fast_hdbscan): quitefastmst's mst_euclid(X) and mst_euclid(X, M=15) with OMP_NUM_THREADS=2,
fast_hdbscan's HDBSCAN(min_samples=15) with NUMBA_NUM_THREADS=2, and scipy's cKDTree(X) then
query(X, 11, workers=2), each in its own process.

    python bench/scaling_bench.py [--n 1000000] [--repeat 3] [--quick] [--no-peers] [--stages]
    python bench/scaling_bench.py --one-thread-against DIR [--repeat 5]   # one thread, two builds
"""

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

CALLS = ["emst 2-D", "emst 3-D", "knn 2-D k=10", "HDBSCAN 2-D blobs n/10", "HDBSCAN 2-D blobs",
         "decompose 2-D s=2", "decompose 3-D s=2", "DBSCAN 2-D blobs", "friends_of_friends 3-D"]


def points(name, n):
    """The seeded input of a call: uniform points, or make_blobs(centers=20, random_state=0)."""
    if "blobs" in name:
        from sklearn.datasets import make_blobs

        m = n // 10 if name.endswith("n/10") else n
        return np.ascontiguousarray(make_blobs(n_samples=m, n_features=2, centers=20,
                                               random_state=0)[0])
    d = 3 if "3-D" in name else 2
    return np.random.default_rng(1).random((n, d))


def ours(name, x, workers):
    import quorlkit

    if name.startswith("emst"):
        return lambda: quorlkit.emst(x, workers=workers)
    if name.startswith("knn"):
        return lambda: quorlkit.knn(x, 10, workers=workers)
    if name.startswith("HDBSCAN"):
        return lambda: quorlkit.HDBSCAN(min_cluster_size=15, workers=workers).fit(x)
    if name.startswith("DBSCAN"):  # about 100 neighbours at 10^6
        eps, dbscan = 0.0762 * (10**6 / len(x)) ** 0.5, quorlkit.DBSCAN
        return lambda: dbscan(eps, min_samples=10, workers=workers).fit(x)
    if name.startswith("friends"):  # 0.2 of the mean spacing
        return lambda: quorlkit.friends_of_friends(x, 0.2 * len(x) ** (-1 / 3), workers=workers)
    return lambda: quorlkit.decompose(x, 2.0, workers=workers)


def measure(names, n, repeat):
    """For each call and workers in (1, 2): the stages of the median run, as
    [[stage, wall, cpu], ...] with the Python around the core last."""
    from quorlkit import _core

    out = {}
    for name in names:
        x = points(name, n)
        runs = {1: [], 2: []}
        for _ in range(repeat):
            for workers in (1, 2):
                call = ours(name, x, workers)
                gc.collect()
                _core._stage_clock(True)
                wall, cpu = time.perf_counter(), time.process_time()
                result = call()
                wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
                stages = [list(s) for s in _core._stage_clock(False)]
                del result
                core_wall = sum(s[1] for s in stages)
                core_cpu = sum(s[2] for s in stages)
                stages.append(["(Python around the core)", max(0.0, wall - core_wall),
                               max(0.0, cpu - core_cpu)])
                runs[workers].append((wall, stages))
        out[name] = {w: sorted(r, key=lambda t: t[0])[len(r) // 2][1] for w, r in runs.items()}
    return out


def alone(stages):
    """Seconds of a two-thread run in which one thread works alone."""
    return sum(min(wall, max(0.0, 2 * wall - cpu)) for _, wall, cpu in stages)


def peer(tool, n, repeat):
    """Median seconds of a peer on two threads, in this process (env set by the caller)."""
    name = {"qfm-emst": "emst 2-D", "qfm-emst3": "emst 3-D", "qfm-mr": "HDBSCAN 2-D blobs",
            "qfm-mr10": "HDBSCAN 2-D blobs n/10", "fast_hdbscan": "HDBSCAN 2-D blobs",
            "fast_hdbscan10": "HDBSCAN 2-D blobs n/10", "ckdtree": "knn 2-D k=10"}[tool]
    x = points(name, n)
    if tool.startswith("qfm"):
        import quitefastmst

        m = 15 if "mr" in tool else 1
        call = lambda: quitefastmst.mst_euclid(x, M=m)  # noqa: E731
    elif tool.startswith("fast_hdbscan"):
        import fast_hdbscan

        call = lambda: fast_hdbscan.HDBSCAN(min_cluster_size=15, min_samples=15).fit(x)  # noqa: E731
        call()  # numba compiles on the first call
    else:
        from scipy.spatial import cKDTree

        call = lambda: cKDTree(x).query(x, 11, workers=2)  # noqa: E731
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        call()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def child(args, extra_env, flag):
    env = dict(os.environ, **extra_env)
    cmd = [sys.executable, __file__, "--n", str(args.n), "--repeat", str(args.repeat), flag]
    return json.loads(subprocess.run(cmd, env=env, check=True, capture_output=True,
                                     text=True).stdout.splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="n = 10^5, 3 repeats")
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--stages", action="store_true", help="print every stage of every call")
    ap.add_argument("--only", help="calls whose name contains this")
    ap.add_argument("--one-thread-against", metavar="DIR",
                    help="also time each call on one thread with the quorl installed in DIR (pip "
                         "install --target DIR of another commit), alternating with this one")
    ap.add_argument("--child-one", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--child-measure", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--child-peer", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.quick:
        args.n, args.repeat = 100_000, 3
    names = [c for c in CALLS if not args.only or args.only in c]
    if args.child_measure:
        print(json.dumps(measure(names, args.n, args.repeat)))
        return
    if args.child_peer:
        print(json.dumps(peer(args.child_peer, args.n, args.repeat)))
        return
    if args.child_one:
        times = {}
        for name in names:
            x = points(name, args.n)
            call = ours(name, x, 1)
            call()
            gc.collect()
            t = time.perf_counter()
            call()
            times[name] = time.perf_counter() - t
        print(json.dumps(times))
        return
    if args.one_thread_against:
        # Each side in its own process, alternating, so that both meet the same machine.
        env_other = dict(os.environ, PYTHONPATH=args.one_thread_against)
        runs = {"this": [], "other": []}
        cmd = [sys.executable, "-P", __file__, "--n", str(args.n), "--child-one"]
        if args.only:
            cmd += ["--only", args.only]
        for _ in range(args.repeat):
            for side, env in (("this", dict(os.environ)), ("other", env_other)):
                out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True)
                runs[side].append(json.loads(out.stdout.splitlines()[-1]))
        print("One thread, this build against the one in " + args.one_thread_against +
              f" (medians of {args.repeat} alternating processes):")
        print("| call | this s | other s | this / other |")
        print("|---|---|---|---|")
        for name in names:
            a = statistics.median(r[name] for r in runs["this"])
            b = statistics.median(r[name] for r in runs["other"])
            print(f"| {name} | {a:.3f} | {b:.3f} | {a / b:.3f} |")
        return

    print(f"n = {args.n:,} ({args.n // 10:,} for the n/10 rows), {args.repeat} repeats, median "
          f"runs; cores: {len(os.sched_getaffinity(0))}; load average at start "
          f"{os.getloadavg()[0]:.1f}")
    timed = measure(names, args.n, args.repeat)
    shares = child(args, {"OMP_WAIT_POLICY": "passive"}, "--child-measure")
    print()
    print("| call | 1 thread s | 2 threads s | 1 / 2 threads | one thread alone at 2 threads "
          "(share of its wall) | Amdahl f | 16 threads | 64 threads |")
    print("|---|---|---|---|---|---|---|---|")
    for name in names:
        one = sum(s[1] for s in timed[name][1])
        two = sum(s[1] for s in timed[name][2])
        passive = shares[name]["2"]
        wall2 = sum(s[1] for s in passive)
        t1 = alone(passive)
        t2 = wall2 - t1
        f = t1 / (t1 + 2 * t2)
        proj = [1 / (f + (1 - f) / p) for p in (16, 64)]
        print(f"| {name} | {one:.3f} | {two:.3f} | {one / two:.2f}x | {t1:.3f} s "
              f"({t1 / wall2:.1%}) | {f:.3f} | {proj[0]:.1f}x | {proj[1]:.1f}x |")
    if args.stages:
        for name in names:
            print(f"\n{name}: stage, 1 thread s, 2 threads s, one thread alone at 2 threads s "
                  "(passive waiting)")
            two = {s[0]: s for s in timed[name][2]}
            passive = {s[0]: s for s in shares[name]["2"]}
            for stage, wall, _ in timed[name][1]:
                w2 = two.get(stage, [stage, 0.0, 0.0])[1]
                p = passive.get(stage)
                lone = alone([p]) if p else 0.0
                print(f"  {stage:28s} {wall:8.4f} {w2:8.4f} {lone:8.4f}")
            for stage in two:
                if stage not in {s[0] for s in timed[name][1]}:
                    p = passive.get(stage)
                    print(f"  {stage:28s} {'-':>8s} {two[stage][1]:8.4f} "
                          f"{alone([p]) if p else 0.0:8.4f}")
    if args.no_peers:
        return
    print("\nAgainst the peers, two threads each (medians of their own processes):")
    print("| call | quorlkit 2 threads s | peer | peer s | ratio |")
    print("|---|---|---|---|---|")
    env2 = {"OMP_NUM_THREADS": "2", "NUMBA_NUM_THREADS": "2"}
    for tool, name, label in [
        ("qfm-emst", "emst 2-D", "quitefastmst mst_euclid(X)"),
        ("qfm-emst3", "emst 3-D", "quitefastmst mst_euclid(X)"),
        ("qfm-mr10", "HDBSCAN 2-D blobs n/10", "quitefastmst mst_euclid(X, M=15), the tree alone"),
        ("qfm-mr", "HDBSCAN 2-D blobs", "quitefastmst mst_euclid(X, M=15), the tree alone"),
        ("fast_hdbscan10", "HDBSCAN 2-D blobs n/10", "fast_hdbscan HDBSCAN(min_samples=15)"),
        ("fast_hdbscan", "HDBSCAN 2-D blobs", "fast_hdbscan HDBSCAN(min_samples=15)"),
        ("ckdtree", "knn 2-D k=10", "cKDTree(X) + query(X, 11, workers=2)"),
    ]:
        if name not in names:
            continue
        try:
            seconds = child(args, env2, "--child-peer=" + tool)
        except (subprocess.CalledProcessError, ValueError) as e:
            print(f"| {name} | - | {label} | not run ({type(e).__name__}) | - |")
            continue
        ours2 = sum(s[1] for s in timed[name][2])
        print(f"| {name} | {ours2:.3f} | {label} | {seconds:.3f} | {ours2 / seconds:.2f}x |")
    print(f"\nload average at end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
