"""Ctrl-C during a long call, and the progress callbacks."""

from __future__ import annotations

import os
import queue
import random
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import quorlkit
from interrupt_child import NAMES

CHILD = os.path.join(os.path.dirname(__file__), "interrupt_child.py")


class _Lines:
    """The lines a child writes, each waited for no longer than a deadline: a test that fails
    must not hang the run."""

    def __init__(self, child: subprocess.Popen[str]) -> None:
        self._lines: queue.Queue[str] = queue.Queue()
        assert child.stdout is not None
        stream = child.stdout
        threading.Thread(
            target=lambda: [self._lines.put(line.strip()) for line in stream], daemon=True
        ).start()

    def next(self, timeout: float) -> str:
        try:
            return self._lines.get(timeout=timeout)
        except queue.Empty:
            return f"(nothing within {timeout} s)"


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("name", NAMES)
def test_ctrl_c_stops_the_call_within_a_second(name: str, workers: int) -> None:
    with subprocess.Popen(
        [sys.executable, CHILD, name, str(workers)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    ) as child:
        try:
            lines = _Lines(child)
            assert lines.next(120) == "ready"
            delay = random.Random(f"{name} {workers}").uniform(0.5, 2.0)
            time.sleep(delay)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            said = lines.next(30)
            took = time.monotonic() - sent
            # What the child says after the interrupt: its heap and a second call, checked.
            verdict = lines.next(120)
            assert said == "stopped", said
            assert took < 1.0, f"{name} went on for {took:.2f} s after SIGINT ({delay:.2f} s in)"
            assert verdict == "ok", verdict
        finally:
            child.kill()


@pytest.mark.parametrize("name", ["emst", "knn", "HDBSCAN"])
def test_ctrl_c_cancels_a_dask_call_and_leaves_the_cluster_usable(name: str) -> None:
    pytest.importorskip("distributed")
    child_path = os.path.join(os.path.dirname(__file__), "dask_interrupt_child.py")
    with subprocess.Popen(
        [sys.executable, child_path, name], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        text=True,
    ) as child:
        try:
            lines = _Lines(child)
            assert lines.next(120) == "ready"
            time.sleep(1.5)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            assert lines.next(30) == "stopped"
            assert time.monotonic() - sent < 1.0
            # No task of the stopped call left on the scheduler, and the next call is right.
            assert lines.next(120) == "ok"
        finally:
            child.kill()


X = np.random.default_rng(5).random((400000, 2))
CALLS = {
    "emst": lambda p: quorlkit.emst(X, workers=2, progress=p),
    "knn": lambda p: quorlkit.knn(X, 10, workers=1, progress=p),
    "knn_query": lambda p: quorlkit.knn_query(X[::2], X[1::2], 10, progress=p),
    "closest_pair": lambda p: quorlkit.closest_pair(X, workers=2, progress=p),
    "decompose": lambda p: quorlkit.decompose(X, 2.0, workers=2, progress=p),
    "spanner": lambda p: quorlkit.spanner(X[:5000], 1.5, workers=1, progress=p),
    "dbscan": lambda p: quorlkit.DBSCAN(0.01, min_samples=5).fit(X, progress=p),
    "friends_of_friends": lambda p: quorlkit.friends_of_friends(X, 0.001, progress=p),
    "hdbscan": lambda p: quorlkit._core.hdbscan_fit(
        X, 15, 1.0, 2, 15, "eom", False, 0.0, -1, np.argsort, progress=p
    ),
}


@pytest.mark.parametrize("name", list(CALLS))
def test_progress_rises_to_one_and_can_stop_the_call(name: str) -> None:
    seen: list[tuple[float, str]] = []
    CALLS[name](lambda f, s: seen.append((f, s)))
    fractions = [f for f, _ in seen]
    assert len(seen) >= 2 and seen[-1] == (1.0, "done")
    assert fractions == sorted(fractions) and 0.0 <= fractions[0]
    assert all(stage for _, stage in seen)

    class Enough(Exception):
        pass

    def stop(fraction: float, stage: str) -> None:
        raise Enough(stage)

    with pytest.raises(Enough):
        CALLS[name](stop)


def test_progress_must_be_callable_and_verbose_logs_the_stages(
    capsys: pytest.CaptureFixture[str],
) -> None:
    with pytest.raises(TypeError, match="progress must be None or a callable"):
        quorlkit.emst(X[:10], progress=1)
    quorlkit.HDBSCAN(min_cluster_size=15, verbose=1).fit(X)
    err = capsys.readouterr().err
    assert "[HDBSCAN] core distances:" in err and "[HDBSCAN] rounds:" in err
