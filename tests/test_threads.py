"""Concurrent calls from several Python threads give exactly the results of serial calls."""

import random
import threading

import pytest

from quorl import build_quorl, point

RNG = random.Random(77)
# Every thread reads the same point objects; the calls differ in n, d and s. The first
# coordinate keeps the points distinct for every d; the others repeat values.
ROWS = [[RNG.random()] + [RNG.randint(-20, 20) / 4 for _ in "xyzw"] for _ in range(1500)]
POINTS = [point(r) for r in ROWS]
CALLS = [(1500, 5, 1.0), (1500, 4, 2.0), (900, 3, 0.5), (700, 2, 3.0), (400, 1, 1.0), (99, 5, 0.0)]
DUPLICATE = [point([1.0, 2.0]), point([1.0, 2.0])]


def test_concurrent_calls_match_serial_calls():
    expected = [build_quorl(n, d, s, POINTS) for n, d, s in CALLS]
    assert all(expected)
    rounds = 4
    barrier = threading.Barrier(len(CALLS) + 1)
    got = [[] for _ in CALLS]
    refused = []

    def worker(k):
        n, d, s = CALLS[k]
        barrier.wait()
        for _ in range(rounds):
            got[k].append(build_quorl(n, d, s, POINTS))

    def refuser():  # a failing call in between must not disturb the others
        barrier.wait()
        for _ in range(rounds * 10):
            with pytest.raises(ValueError):
                build_quorl(2, 2, 1.0, DUPLICATE)
            refused.append(True)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(len(CALLS))]
    threads.append(threading.Thread(target=refuser))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(refused) == rounds * 10
    for k, results in enumerate(got):
        assert len(results) == rounds, CALLS[k]
        for result in results:
            assert result == expected[k], CALLS[k]
