"""Progress of long calls: the ``progress`` callback every heavy function takes, the stage log
of the estimators' ``verbose``, and the command's bar."""

from __future__ import annotations

import sys
import time
from typing import Any, Callable, TextIO

__all__ = ["Bar", "ProgressCallback", "StageLog", "check_progress"]

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


class Bar:
    """The command's progress bar: a tqdm bar on standard error for each call that reports,
    shown only once the call has run ``delay`` seconds, so that quick work prints nothing."""

    def __init__(self, delay: float = 1.0) -> None:
        self._delay = delay
        self._bar: Any = None

    def __call__(self, fraction: float, stage: str) -> None:
        if self._bar is None:
            from tqdm import tqdm

            self._bar = tqdm(
                total=1000, file=sys.stderr, delay=self._delay, leave=False,
                bar_format="{desc}: {percentage:3.0f}%|{bar}| {elapsed}", dynamic_ncols=True,
            )
        self._bar.set_description_str(stage, refresh=False)
        self._bar.update(max(0, round(fraction * 1000) - self._bar.n))
        if stage == "done":
            self.close()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None
