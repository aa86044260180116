"""Seeded benchmarks of quorl: build_quorl against the pickle floor, the C++ core against scipy's
cKDTree construction, and quorlkit.decompose from a NumPy array. Needs scipy in the running
interpreter (benchmark only):

    pip install . scipy
    python bench/bench.py [--quick] [--seed K] [--with-3d] [--table N]
"""

import argparse
import gc
import os
import pickle
import platform
import shlex
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from importlib import metadata
from pathlib import Path

import numpy as np
import quorl
import quorlkit
from scipy.spatial import cKDTree

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
CORE_BENCH = BUILD / "core_bench"


def log(msg):
    print(msg, file=sys.stderr, flush=True)


SHAPES = ("uniform", "clustered", "heavy-tailed", "outliers", "exponential")


def make_points(n, d, dist, seed):
    """Points of one of the SHAPES: uniform in the unit cube; 10 Gaussian clusters (sigma 0.01)
    around uniform centers; heavy-tailed (uniform to the 8th power, per coordinate); uniform with
    one point in 10^4 moved out to [10^6, 2*10^6] on a random side; exponential (2^-k (1 + u), k
    uniform in 0..49, per coordinate)."""
    # Uniform and clustered points keep the seeds they always had (0 and 1 here).
    rng = np.random.default_rng([seed, n, d, SHAPES.index(dist)])
    if dist == "uniform":
        return rng.random((n, d))
    if dist == "clustered":
        centers = rng.random((10, d))
        return centers[rng.integers(10, size=n)] + rng.normal(0.0, 0.01, (n, d))
    if dist == "heavy-tailed":
        return rng.random((n, d)) ** 8
    if dist == "outliers":
        xs = rng.random((n, d))
        far = rng.random(n) < 1e-4
        xs[far] = (1e6 * (1 + rng.random((far.sum(), d))) * rng.choice([-1.0, 1.0], (far.sum(), d)))
        return xs
    return np.ldexp(1 + rng.random((n, d)), -rng.integers(0, 50, (n, d)))


def timed(fn, repeats, collector=True):
    """Median wall time of fn() over the repeats; each result is dropped before the next call.
    collector=False pauses the cyclic garbage collector during the calls."""
    times = []
    for _ in range(repeats):
        gc.collect()
        if not collector:
            gc.disable()
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
        gc.enable()
        del out
    return statistics.median(times)


def build_core_bench():
    # Always rebuilt (incrementally), so the figures follow the current core sources.
    if not (BUILD / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", ROOT / "bench", "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "--target", "core_bench"], check=True,
                   stdout=subprocess.DEVNULL)


def core(xs, s, repeats, tmp, lists=True, sorted_tree=False):
    """Medians from core_bench on exactly these points, as a dict of floats (the list_* keys are
    nan without lists, tree_sorted without sorted_tree)."""
    n, d = xs.shape
    path = Path(tmp) / "points.f64"
    np.ascontiguousarray(xs, dtype=np.float64).tofile(path)
    out = subprocess.run([CORE_BENCH, "--points", path, "--n", str(n), "--d", str(d),
                          "--s", repr(s), "--repeats", str(repeats), "--lists", str(int(lists)),
                          "--sorted-tree", str(int(sorted_tree))],
                         check=True, capture_output=True, text=True).stdout
    fields = dict(kv.split("=", 1) for kv in out.split())
    return {k: float(v) for k, v in fields.items() if k not in ("dist", "s")}


def result_bytes(n, d, s, pts):
    """Python memory the result holds (tracemalloc), and the part of it that is object headers."""
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    res = quorl.build_quorl(n, d, s, pts)
    held = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    # Per pair: one tuple, two list headers and a slot in the outer list; one outer list header.
    headers = len(res) * (sys.getsizeof((0, 0)) + 2 * sys.getsizeof([]) + 8) + sys.getsizeof([])
    return res, held, headers


def table1(sizes, dims, seed, tmp):
    print("\n### Table 1: build_quorl against the pickle floor\n")
    print("| n | d | s | points | pairs | entries | build_quorl ms | floor ms | build/floor "
          "| floor no gc ms | build/floor no gc | B/entry | B/entry w/o headers "
          "| core ms, node pairs | core ms, lists |")
    print("|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for n in sizes:
        repeats = 5 if n <= 10**4 else 3
        for d in dims:
            for dist in ("uniform", "clustered"):
                xs = make_points(n, d, dist, seed)
                pts = [quorl.point(row) for row in xs.tolist()]
                for s in (1.0, 2.0):
                    log(f"table 1: n={n} d={d} s={s:g} {dist}")
                    res, held, headers = result_bytes(n, d, s, pts)
                    entries = sum(len(a) + len(b) for a, b in res)
                    blob = pickle.dumps(res, protocol=5)
                    del res
                    t_build = timed(lambda: quorl.build_quorl(n, d, s, pts), repeats)
                    t_floor = timed(lambda: pickle.loads(blob), repeats)
                    t_bare = timed(lambda: pickle.loads(blob), repeats, collector=False)
                    del blob
                    c = core(xs, s, repeats, tmp)
                    assert c["entries"] == entries, "core_bench and build_quorl disagree"
                    print(f"| {n:,} | {d} | {s:g} | {dist} | {int(c['pairs']):,} | {entries:,} "
                          f"| {t_build * 1e3:.1f} | {t_floor * 1e3:.1f} | {t_build / t_floor:.2f} "
                          f"| {t_bare * 1e3:.1f} | {t_build / t_bare:.2f} "
                          f"| {held / entries:.1f} | {(held - headers) / entries:.1f} "
                          f"| {c['total'] * 1e3:.1f} | {c['list_total'] * 1e3:.1f} |", flush=True)


def table2(sizes, dims, seed, tmp):
    print("\n### Table 2: the core alone (uniform, s = 2) against cKDTree construction\n")
    cols = {"check": "check", "tree": "tree", "search": "search", "total": "total",
            "list_sort": "lists: sort", "list_tree": "lists: tree", "list_search": "lists: search",
            "list_total": "lists: total"}
    print("| n | d | pairs | entries | " + " s | ".join(cols.values()) + " s | cKDTree s "
          "| tree/cKDTree | total/cKDTree | peak RSS MB |")
    print("|---:|---:|---:|---:|" + "---:|" * (len(cols) + 4))
    for d in dims:
        rows = []
        for n in sizes:
            log(f"table 2: n={n} d={d}")
            xs = make_points(n, d, "uniform", seed)
            t_kd = timed(lambda: cKDTree(xs), 5)
            # The list path at 10^6 in 3-D takes close to a minute a repeat and 13 GB.
            c = core(xs, 2.0, 3, tmp, lists=d < 3 or n < 10**6)
            rows.append(c)
            print(f"| {n:,} | {d} | {int(c['pairs']):,} | {int(c['entries']):,} | "
                  + " | ".join(f"{c[k]:.3f}" for k in cols)
                  + f" | {t_kd:.3f} | {c['tree'] / t_kd:.2f} | {c['total'] / t_kd:.2f} "
                  f"| {c['peak_mb']:.0f} |", flush=True)
        growth = " | ".join(f"{rows[-1][k] / rows[0][k]:.1f}" for k in cols)
        print(f"| growth ×{sizes[-1] // sizes[0]} | {d} | | | {growth} | | | | |")


# One decompose() in a fresh interpreter: its time and how far it raises the peak RSS above what
# the process held with the points already made.
_PEAK_SCRIPT = """
import sys, time, numpy as np, quorlkit
n, d, seed = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
xs = np.random.default_rng([seed, n, d, 0]).random((n, d))
quorlkit.decompose(xs[:1000], 2.0)
def status(key):
    return next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith(key)) * 1024
before = status("VmRSS:")
t0 = time.perf_counter()
dec = quorlkit.decompose(xs, 2.0)
t = time.perf_counter() - t0
print(len(dec), t, status("VmHWM:") - before, before)
"""


def table3(cases, seed):
    print("\n### Table 3: quorlkit.decompose from a NumPy array (uniform, s = 2)\n")
    print("| n | d | pairs | decompose s | cKDTree s | decompose/cKDTree | peak RSS rise MB "
          "| rise B/pair | (rise - 16 B/pair) / (n d) B |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for n, d in cases:
        log(f"table 3: n={n} d={d}")
        xs = make_points(n, d, "uniform", seed)
        t_kd = timed(lambda: cKDTree(xs), 5)
        t_dec = timed(lambda: quorlkit.decompose(xs, 2.0), 3)
        out = subprocess.run([sys.executable, "-c", _PEAK_SCRIPT, str(n), str(d), str(seed)],
                             check=True, capture_output=True, text=True).stdout.split()
        pairs, rise = int(out[0]), int(out[2])
        print(f"| {n:,} | {d} | {pairs:,} | {t_dec:.3f} | {t_kd:.3f} | {t_dec / t_kd:.2f} "
              f"| {rise / 2**20:.0f} | {rise / pairs:.1f} | {(rise - 16 * pairs) / (n * d):.1f} |",
              flush=True)


def table4(n, d, seed):
    print("\n### Table 4: quorlkit against build_quorl from the same NumPy rows (s = 2)\n")
    print("| n | d | build_quorl with points ms | decompose ms | decompose + to_lists ms "
          "| speed-up | speed-up with to_lists |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    log(f"table 4: n={n} d={d}")
    xs = make_points(n, d, "uniform", seed)

    def with_points():
        return quorl.build_quorl(n, d, 2.0, [quorl.point(row) for row in xs.tolist()])

    assert quorlkit.decompose(xs, 2.0).to_lists() == with_points()
    t_list = timed(with_points, 3)
    t_dec = timed(lambda: quorlkit.decompose(xs, 2.0), 5)
    t_both = timed(lambda: quorlkit.decompose(xs, 2.0).to_lists(), 3)
    print(f"| {n:,} | {d} | {t_list * 1e3:.0f} | {t_dec * 1e3:.1f} | {t_both * 1e3:.0f} "
          f"| {t_list / t_dec:.0f} | {t_list / t_both:.2f} |")


def table5(n, dims, seed, tmp):
    print("\n### Table 5: the tree build by shape of points (s = 2)\n")
    print("| n | d | points | pairs | tree s | tree from sorted lists s | lists/tree | search s "
          "| total s |")
    print("|---:|---:|---|---:|---:|---:|---:|---:|---:|")
    for d in dims:
        for dist in SHAPES:
            log(f"table 5: n={n} d={d} {dist}")
            c = core(make_points(n, d, dist, seed), 2.0, 3, tmp, lists=False, sorted_tree=True)
            print(f"| {n:,} | {d} | {dist} | {int(c['pairs']):,} | {c['tree']:.3f} "
                  f"| {c['tree_sorted']:.3f} | {c['tree_sorted'] / c['tree']:.2f} "
                  f"| {c['search']:.3f} | {c['total']:.3f} |", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small smoke run (seconds)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--with-3d", action="store_true", help="also 3-D in table 2 (10^6: 13 GB peak)")
    ap.add_argument("--table", type=int, choices=(1, 2, 3, 4, 5), help="run only this table")
    args = ap.parse_args()

    build_core_bench()
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())
    print(f"command: {shlex.join([Path(sys.executable).name] + sys.argv)}")
    print(f"machine: {cpu}, nproc {len(os.sched_getaffinity(0))}, load average "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}; Python {platform.python_version()}, "
          f"quorl {metadata.version('quorl')}, numpy {np.__version__}, "
          f"scipy {metadata.version('scipy')}")
    print("times are medians of the repeats (5 up to n = 10^4, 3 above; cKDTree 5)")

    with tempfile.TemporaryDirectory() as tmp:
        if args.table in (None, 1):
            sizes, dims = ([10**3, 10**4], [2]) if args.quick else ([10**3, 10**4, 10**5], [2, 3])
            table1(sizes, dims, args.seed, tmp)
        if args.table in (None, 2):
            table2([10**4, 10**5] if args.quick else [10**5, 10**6],
                   [2, 3] if args.with_3d else [2], args.seed, tmp)
        if args.table in (None, 3):
            big = 10**5 if args.quick else 10**6
            table3([(big, 2), (big, 3)], args.seed)
        if args.table in (None, 4):
            table4(10**4 if args.quick else 10**5, 2, args.seed)
        if args.table in (None, 5):
            table5(10**4 if args.quick else 10**6, [2, 3], args.seed, tmp)
    print(f"\nload average at the end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
