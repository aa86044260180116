import gc
import os
import random
import re
import subprocess
import sys
import textwrap

import pytest

from quorl import build_quorl, point

MIB = 1 << 20
N = 5000


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def growth(call, times=1000, warm_up=30):
    for _ in range(warm_up):
        call()
    gc.collect()
    before = resident_bytes()
    for _ in range(times):
        call()
    gc.collect()
    return resident_bytes() - before


@pytest.fixture(scope="module")
def points():
    rng = random.Random(7)
    xs = list(range(N))
    rng.shuffle(xs)
    return [point([float(x)]) for x in xs]


def test_repeated_calls_do_not_grow_memory(points):
    # One dimension and s = 0 keep each call cheap (few pairs) while every call still builds
    # and must release a whole tree of 2n - 1 nodes.
    def call():
        build_quorl(N, 1, 0.0, points)

    assert growth(call) < MIB


@pytest.mark.parametrize(
    "last, d",
    [([0.0], 1), ([float("nan")], 1), ([], 1), ([1e308], 1), ([1.0, 2.0], 2)],
    ids=["duplicate", "nan", "too few coordinates", "too large", "too few coordinates, d=2"],
)
def test_refused_calls_do_not_grow_memory(points, last, d):
    batch = points + [point(last)]

    def call():
        with pytest.raises(ValueError):
            build_quorl(N + 1, d, 1.0, batch)

    assert growth(call) < MIB


# Runs in a fresh interpreter so that a crash cannot take the test run with it. Raising the
# address-space limit step by step makes the call run out of memory at ever later points, from
# copying the points to building the result list.
CHILD = textwrap.dedent(
    """
    import resource, sys
    import quorl
    n, d, s, limit = 20000, 1, 0.0, int(sys.argv[1])
    coords = [[float(i * 7919 % n)] for i in range(n)]  # 7919 is prime: a permutation
    points = [quorl.point(c) for c in coords]
    expected = quorl.build_quorl(n, d, s, points)
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + limit, hard))
    try:
        status = "ok" if quorl.build_quorl(n, d, s, points) == expected else "wrong result"
    except MemoryError:
        status = "MemoryError"
    except BaseException as e:
        status = "%s: %s" % (type(e).__name__, " ".join(str(e).splitlines()[:1]))
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    if [p.coord() for p in points] != coords or quorl.build_quorl(n, d, s, points) != expected:
        status += ", points or later result changed"
    print(status)
    """
)


@pytest.mark.parametrize("limit_mib", [1, 3, 4.5, 5, 5.5, 6, 8, 24])
def test_out_of_memory_ends_in_memory_error(limit_mib):
    limit = str(int(limit_mib * MIB))
    run = subprocess.run([sys.executable, "-c", CHILD, limit], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    status = run.stdout.strip()
    assert status in {"ok", "MemoryError"}


# Not one byte left when the call starts, so its very first allocation fails (and with it the
# first C++ exception that this thread ever raises).
EXHAUSTED = textwrap.dedent(
    """
    import ctypes, resource
    import quorl
    points = [quorl.point([float(i)]) for i in range(100)]
    libc = ctypes.CDLL(None)
    libc.malloc.restype, libc.malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    held, count = (ctypes.c_void_p * 4096)(), 0
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size, hard))
    for k in range(40, 2, -1):
        while count < len(held) and (p := libc.malloc(1 << k)):
            held[count], count = p, count + 1
    try:
        quorl.build_quorl(100, 1, 1.0, points)
        status = "ok"
    except MemoryError:
        status = "MemoryError"
    libc.free(held[0])  # the largest block: room enough to clean up
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    for i in range(1, count):
        libc.free(held[i])
    print(status, quorl.build_quorl(2, 1, 1.0, points) == [([1], [0])])
    """
)


def test_exhausted_memory_ends_in_memory_error():
    run = subprocess.run([sys.executable, "-c", EXHAUSTED], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["MemoryError", "True"]


# Results whose size is known up front are refused before anything large is allocated: under
# 512 MiB of address space beyond what the interpreter holds, the refusal must name the numbers,
# not end in a failed allocation.
REFUSED_UP_FRONT = textwrap.dedent(
    """
    import resource, sys
    import numpy as np, quorlkit
    x = np.random.default_rng(0).random((20000, 2))
    calls = {
        "knn": lambda: quorlkit.knn(x, 19999),
        "knn_graph": lambda: quorlkit.knn_graph(x, 19999),
        "knn_query": lambda: quorlkit.knn_query(x, np.tile(x, (2, 1)), 20000),
        "hdbscan": lambda: quorlkit.HDBSCAN(min_samples=19999).fit(x),
    }
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + (512 << 20), hard))
    try:
        calls[sys.argv[1]]()
        print("no refusal")
    except MemoryError as e:
        print(e)
    """
)


@pytest.mark.parametrize(
    "call, words",
    [
        ("knn", r"knn with k = 19999 on 20000 points needs 10\.4 GiB \(11199440000 bytes, at 28"),
        ("knn_graph", r"knn with k = 19999 on 20000 points needs 10\.4 GiB"),
        ("knn_query", r"knn_query with k = 20000 for 40000 queries needs 11\.9 GiB"),
        ("hdbscan", r"HDBSCAN with min_samples = 19999 on 20000 points needs 1\.5 GiB"),
    ],
)
def test_known_sizes_are_refused_before_the_work(call, words):
    run = subprocess.run(
        [sys.executable, "-c", REFUSED_UP_FRONT, call], capture_output=True, text=True
    )
    assert run.returncode == 0, run.stderr
    available = r".* more than the \d+\.\d MiB available \(the headroom under RLIMIT_AS\); use a"
    assert re.match(words + available, run.stdout), run.stdout
