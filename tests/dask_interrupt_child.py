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
    def fitted(model):  # HDBSCAN's labels and probabilities, as a pair like the others
        return model.labels_, model.probabilities_

    call, single = {
        "emst": (qd.emst, quorlkit.emst),
        "knn": (lambda x: qd.knn(x, 10), lambda x: quorlkit.knn(x, 10)),
        "HDBSCAN": (lambda x: fitted(qd.HDBSCAN(min_cluster_size=15).fit(x)),
                    lambda x: fitted(quorlkit.HDBSCAN(min_cluster_size=15).fit(x))),
    }[name]
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
            want = single(small)
            same = all(np.array_equal(np.asarray(g), w) for g, w in zip(got, want))
            print("ok" if not left and same else f"{left} tasks left, same result: {same}",
                  flush=True)


if __name__ == "__main__":
    main()
