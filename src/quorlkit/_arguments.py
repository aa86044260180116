"""The integer arguments that several entry points share: thread counts and size limits."""

from __future__ import annotations

import operator
from typing import Any

__all__ = ["optional_limit", "whole_number"]


def whole_number(name: str, value: Any) -> int:
    """value as an int; TypeError naming the argument for bool and for what is not an integer."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be None or an integer, not bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be None or an integer, not {type(value).__name__}") from None


def optional_limit(name: str, value: Any) -> int:
    """A limit such as max_pairs as the core takes it: -1 for None, else an int >= 0 (at most
    2**63 - 1)."""
    if value is None:
        return -1
    count = whole_number(name, value)
    if count < 0:
        raise ValueError(f"{name} must be None or at least 0 (got {count})")
    return min(count, 2**63 - 1)
