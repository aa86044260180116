"""The arguments that several entry points share: thread counts, size limits and radii."""

from __future__ import annotations

import math
import numbers
import operator
from typing import Any

__all__ = ["optional_limit", "pair_method", "positive_length", "real_number", "whole_number"]


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


def real_number(name: str, value: Any) -> float:
    """value as a float; TypeError naming the argument for bool and for what is not real."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    return float(value)


def positive_length(name: str, value: Any) -> float:
    """A radius such as DBSCAN's eps as a float, positive and finite."""
    r = real_number(name, value)
    if not (r > 0.0 and math.isfinite(r)):
        raise ValueError(f"{name} must be positive and finite (got {r})")
    return r


_METHODS = {"auto": 0, "tree": 1, "brute": 2}


def pair_method(value: Any) -> int:
    """The ``algorithm`` argument as the core takes it: how pairs are found, the same result
    either way."""
    if not isinstance(value, str) or value not in _METHODS:
        raise ValueError(f"algorithm must be 'auto', 'tree' or 'brute', not {value!r}")
    return _METHODS[value]
