"""Refusals of results whose size is known before the work starts, in the words of
decompose's: what was asked, what it needs, what is available, what to change."""

from __future__ import annotations

from . import _core

__all__ = ["refuse_unless_room"]


def _figure(count: int) -> str:
    size = float(count)
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB", "PiB"):
        if size < 1024 or unit == "PiB":
            return f"{count} bytes" if unit == "bytes" else f"{size:.1f} {unit}"
        size /= 1024
    raise AssertionError("unreachable")


def refuse_unless_room(asked: str, entries: int, bytes_each: int, what: str, change: str) -> None:
    """MemoryError, before anything is allocated, when ``entries`` of ``bytes_each`` bytes
    would not fit in the memory available now.

    ``asked`` says what was asked for ("knn with k = 10 on 1000 points"), ``what`` what the
    entries are ("a point and neighbour"), ``change`` what to change.
    """
    need = entries * bytes_each
    room, source = _core.available_memory()
    if need > room:
        raise MemoryError(
            f"{asked} needs {_figure(need)} ({need} bytes, at {bytes_each} bytes {what}), more "
            f"than the {_figure(room)} available ({source}); {change}"
        )
