"""A child process for the Ctrl-C test of quorlkit.dask: ``python dask_interrupt_child.py NAME``
starts a local cluster, prints "ready", calls quorlkit.dask.NAME again and again until SIGINT,
prints "stopped", then "ok" once the scheduler holds no task of the call and a second call gives
the one-process result (or says what went wrong)."""

from __future__ import annotations

import sys
import time

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster

import quorlkit
import quorlkit.dask as qd
from interrupt_child import call_until_interrupted


def tasks(dask_scheduler: object) -> int:
    return len(dask_scheduler.tasks)  # type: ignore[attr-defined]


def main() -> None:
    name = sys.argv[1]
    call = {"emst": lambda x: qd.emst(x), "knn": lambda x: qd.knn(x, 10)}[name]
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster:
        with Client(cluster) as client:
            points = da.random.default_rng(0).random((2 * 10**6, 2), chunks=250000)
            small = np.random.default_rng(1).random((3000, 2))
            call_until_interrupted(call, points)
            deadline = time.monotonic() + 10
            while client.run_on_scheduler(tasks) and time.monotonic() < deadline:
                time.sleep(0.1)
            left = client.run_on_scheduler(tasks)
            got = call(da.from_array(small, chunks=1000))
            want = quorlkit.emst(small) if name == "emst" else quorlkit.knn(small, 10)
            same = all(np.array_equal(np.asarray(g), w) for g, w in zip(got, want))
            print("ok" if not left and same else f"{left} tasks left, same result: {same}",
                  flush=True)


if __name__ == "__main__":
    main()
