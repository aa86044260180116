"""The ``workers`` argument that every heavy entry point takes."""

from __future__ import annotations

import os
from typing import Any

from ._arguments import whole_number

__all__ = ["check_workers", "core_threads"]

# More threads than this only cost their stacks: no machine this runs on has more cores.
_MOST_THREADS = 1024


def check_workers(workers: Any) -> int:
    """The number of threads ``workers`` asks for.

    None means every core this process may run on (its affinity mask), -1 every core of the
    machine, k > 0 that many threads. Results never depend on it.
    """
    if workers is None:
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else 1
    count = whole_number("workers", workers)
    if count == -1:
        return os.cpu_count() or 1
    if count < 1:
        raise ValueError(f"workers must be None, -1 or at least 1 (got {count})")
    return count


def core_threads(workers: Any) -> int:
    """check_workers(workers), at most 1024: the thread count handed to the core."""
    return min(check_workers(workers), _MOST_THREADS)
