"""Seeded benchmark of quorlkit.spanner: time and edges per point at 10^5 uniform points, and the
edge count against an exact greedy spanner (every pair by length, kept when the graph has no path
within t times it) on small inputs, measured in the same run. No Python package builds geometric
spanners, so there is no peer to time against; the greedy spanner is the quality reference.

    pip install '.[graph]'
    python bench/spanner_bench.py [--quick] [--n N]
"""

import argparse
import resource
import time

import numpy as np

import quorlkit


def exact_greedy_edges(x, t):
    n = len(x)
    diff = x[:, None, :] - x[None, :, :]
    dist = np.sqrt((diff * diff).sum(-1))
    path = np.full((n, n), np.inf)
    np.fill_diagonal(path, 0.0)
    iu, ju = np.triu_indices(n, 1)
    count = 0
    for a in np.argsort(dist[iu, ju], kind="stable"):
        i, j = iu[a], ju[a]
        if path[i, j] <= t * dist[i, j]:
            continue
        count += 1
        w = dist[i, j]
        via = np.minimum(path[:, i, None] + w + path[None, j, :], path[:, j, None] + w + path[None, i, :])
        np.minimum(path, via, out=path)
    return count


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="10^4 points instead of 10^5")
    ap.add_argument("--n", type=int, default=None, help="points for the timed runs")
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args()
    n = args.n or (10**4 if args.quick else 10**5)
    rng = np.random.default_rng(args.seed)

    print("Edges per point against the exact greedy spanner, 600 uniform points")
    print()
    print("| d | t | quorlkit e/pt | greedy e/pt | ratio |")
    print("|---|---|---|---|---|")
    for d, t in [(2, 1.1), (2, 1.5), (2, 2.0), (3, 2.0)]:
        x = rng.random((600, d))
        ours = quorlkit.spanner(x, t).nnz // 2
        greedy = exact_greedy_edges(x, t)
        print(f"| {d} | {t} | {ours / 600:.3f} | {greedy / 600:.3f} | {ours / greedy:.3f} |", flush=True)
    print()
    print(f"Time and edges per point, {n:,} uniform points, one thread")
    print()
    print("| d | t | seconds | edges/pt | peak RSS MiB |")
    print("|---|---|---|---|---|")
    for d, t in [(2, 2.0), (2, 1.5)]:
        x = rng.random((n, d))
        t0 = time.perf_counter()
        g = quorlkit.spanner(x, t, workers=1)
        seconds = time.perf_counter() - t0
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        print(f"| {d} | {t} | {seconds:.2f} | {g.nnz / 2 / n:.3f} | {peak:.0f} |", flush=True)


if __name__ == "__main__":
    main()
