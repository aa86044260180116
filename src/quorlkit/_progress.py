"""Progress of long calls: the ``progress`` callback every heavy function takes, the stage log
of the estimators' ``verbose``, and the command's bar."""

from __future__ import annotations

import sys
import time
from typing import Any, Callable, TextIO

__all__ = ["ProgressCallback", "StageLog", "check_progress"]

ProgressCallback = Callable[[float, str], Any]

def check_progress(progress: Any) -> ProgressCallback | None:
    """``progress`` when it is None or callable; TypeError otherwise."""
    if progress is not None and not callable(progress):
        raise TypeError(
            f"progress must be None or a callable progress(fraction, stage), "
            f"not {type(progress).__name__}"
        )
    return progress


class StageLog:
    """A progress callback that writes each stage, when it ends, and its time to a stream
    (standard error by default): what the estimators' ``verbose`` prints."""

    def __init__(self, name: str, stream: TextIO | None = None) -> None:
        self._name = name
        self._stream = stream
        self._stage: str | None = None
        self._since = time.perf_counter()

    def __call__(self, fraction: float, stage: str) -> None:
        if stage == self._stage:
            return
        now = time.perf_counter()
        if self._stage:
            stream = self._stream if self._stream is not None else sys.stderr
            print(f"[{self._name}] {self._stage}: {now - self._since:.3f} s", file=stream)
        self._stage, self._since = stage, now
