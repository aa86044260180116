"""How soon each long call ends after Ctrl-C.

For each entry point a child process (tests/interrupt_child.py) calls it again and again on
large data; SIGINT is sent at a random moment 0.5 to 2 s into the calls, and the time until the
child reports KeyboardInterrupt is the latency. Prints the median and the worst of --tries tries
per entry point and workers value.

    python bench/interrupt_bench.py [--tries 20] [--workers 1 2] [--only emst knn]
"""

from __future__ import annotations

import argparse
import os
import random
import select
import signal
import statistics
import subprocess
import sys
import time

CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "interrupt_child.py")
sys.path.insert(0, os.path.dirname(CHILD))
from interrupt_child import NAMES  # noqa: E402


def latency(name: str, workers: int, delay: float) -> tuple[float, str]:
    """Seconds from SIGINT to "stopped", and the child's verdict after it."""
    with subprocess.Popen(
        [sys.executable, CHILD, name, str(workers)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    ) as child:
        try:
            assert child.stdout is not None and child.stderr is not None
            if child.stdout.readline().strip() != "ready":
                return float("nan"), "no ready: " + child.stderr.read()
            time.sleep(delay)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            # A child that does not stop within 10 s tells where it is, and is given up on.
            if not select.select([child.stdout], [], [], 10.0)[0]:
                child.send_signal(signal.SIGUSR1)
                time.sleep(1.0)
                child.kill()
                return float("nan"), "did not stop: " + child.stderr.read()[-3000:]
            line = child.stdout.readline().strip()
            took = time.monotonic() - sent
            verdict = child.stdout.readline().strip()
            if line != "stopped":
                return float("nan"), f"said {line!r}"
            return took, verdict
        finally:
            child.kill()

def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tries", type=int, default=20)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--only", nargs="+", default=NAMES, choices=NAMES)
    args = parser.parse_args()
    rng = random.Random(0)
    print(f"{'call':<20} {'workers':>7} {'median s':>9} {'worst s':>8}  verdicts")
    for name in args.only:
        for w in args.workers:
            times, verdicts = [], set()
            for _ in range(args.tries):
                t, v = latency(name, w, rng.uniform(0.5, 2.0))
                times.append(t)
                verdicts.add(v)
            print(f"{name:<20} {w:>7} {statistics.median(times):>9.3f} {max(times):>8.3f}  "
                  f"{', '.join(sorted(verdicts))}", flush=True)


if __name__ == "__main__":
    main()
