"""Writes the hand-made seeds of tests/fuzz/corpus (files hand-*), one per interesting call.

A seed spells out the call: 0xFF, int32 n, int32 d, double s, u8 count, then per point u8 number of
coordinates and the doubles, all little endian. Bytes after that are read by the atheris harness
only, to change the Python side of the call (see python_args in fuzz_build_quorl.py).

    python tests/fuzz/make_seeds.py
"""

import math
import os
import struct
import sys

MAX = sys.float_info.max
HALF = MAX / 2
NAN, INF = math.nan, math.inf
TINY = 5e-324  # smallest subnormal


def call(n, d, s, coords, python=b""):
    """n = None: all the points."""
    n = len(coords) if n is None else n
    out = b"\xff" + struct.pack("<iidB", n, d, s, len(coords))
    for c in coords:
        out += struct.pack(f"<B{len(c)}d", len(c), *c)
    return out + python


def python_change(op, arg=0, extra=b""):
    """The extra byte that python_args reads (op in the low 4 bits), and what it reads next."""
    return bytes([op | arg << 4]) + extra


LINE3 = [[0.0], [1.0], [3.0]]
SQUARE = [[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [1.0, 1.0]]

SEEDS = {
    "example-s1": call(3, 1, 1.0, LINE3),
    "example-s3": call(3, 1, 3.0, LINE3),
    "single-point": call(1, 2, 1.0, [[0.5, 0.5]]),
    "n-zero": call(0, 2, 1.0, []),
    "n-zero-huge-d": call(0, 2**31 - 1, 1.0, [[0.0]]),
    "s-zero-negative": call(4, 2, -0.5, SQUARE),
    "s-huge": call(4, 2, 1e300, SQUARE),
    "duplicates": call(3, 2, 1.0, [[0.0, 1.0], [2.0, 3.0], [0.0, 1.0]]),
    "duplicate-signed-zero": call(2, 2, 1.0, [[-0.0, 1.0], [0.0, 1.0]]),
    "signed-zeros-distinct": call(3, 2, 1.0, [[-0.0, 1.0], [0.0, 2.0], [-0.0, -0.0]]),
    "duplicate-in-first-d-only": call(2, 1, 1.0, [[3.0, 1.0], [3.0, 2.0]]),
    "nan-coordinate": call(2, 2, 1.0, [[0.0, NAN], [1.0, 1.0]]),
    "inf-coordinate": call(2, 1, 1.0, [[INF], [1.0]]),
    "minus-inf-coordinate": call(2, 1, 1.0, [[-INF], [1.0]]),
    "nan-s": call(2, 1, NAN, [[0.0], [1.0]]),
    "inf-s": call(2, 1, -INF, [[0.0], [1.0]]),
    "nan-past-d": call(3, 1, 1.0, [[0.0, NAN], [1.0, INF], [2.0]]),
    "subnormals": call(4, 1, 1.0, [[0.0], [TINY], [2 * TINY], [2.2250738585072014e-308]]),
    "subnormal-grid": call(4, 2, 2.0, [[0.0, 0.0], [TINY, 0.0], [0.0, TINY], [TINY, TINY]]),
    "powers-of-two": call(None, 1, 1.0, [[math.ldexp(1.0, e)] for e in range(-1074, 511, 7)]),
    "powers-of-two-2d": call(
        None, 2, 0.5, [[math.ldexp(1.0, 8 * e), math.ldexp(-1.0, -8 * e)] for e in range(60)]),
    "one-ulp-apart": call(2, 1, 1.0, [[1.0], [math.nextafter(1.0, 2.0)]]),
    # Near the double range a dimension fits only when it is constant: one ulp squared overflows.
    "half-max-constant": call(None, 3, 1.0, [[HALF, -HALF, float(k)] for k in (0, 1, 3)]),
    "half-max-one-ulp": call(2, 1, 1.0, [[HALF], [math.nextafter(HALF, 0.0)]]),
    "above-half-max": call(2, 1, 1.0, [[0.0], [math.nextafter(HALF, INF)]]),
    "max": call(2, 2, 1.0, [[0.0, -MAX], [1.0, 0.0]]),
    "spread-too-far": call(2, 1, 1.0, [[HALF], [-HALF]]),
    "extent-sum-overflows": call(2, 2, 1.0, [[0.0, 0.0], [1e154, 1e154]]),
    "near-1e300": call(3, 2, 1.0, [[1e300, -1e-300], [1e300, 1e-300], [1e300, 0.0]]),
    "extent-at-the-edge": call(None, 2, 1.0, [[0.0, 0.0], [9.4e153, 0.0], [0.0, 9.4e153]]),
    "n-above-count": call(4, 1, 1.0, LINE3),
    "n-int32-max": call(2**31 - 1, 1, 1.0, LINE3),
    "n-negative": call(-1, 1, 1.0, LINE3),
    "n-int32-min": call(-(2**31), 1, 1.0, LINE3),
    "d-zero": call(3, 0, 1.0, LINE3),
    "d-negative": call(3, -1, 1.0, LINE3),
    "d-int32-min": call(0, -(2**31), 1.0, []),
    "d-above-coordinates": call(3, 2, 1.0, LINE3),
    "d-int32-max": call(1, 2**31 - 1, 1.0, [[0.0]]),
    "short-point": call(3, 2, 1.0, [[0.0, 1.0], [2.0, 3.0], [4.0]]),
    "empty-point": call(2, 1, 1.0, [[0.0], []]),
    "junk-after-n": call(2, 2, 1.0, [[0.0, 1.0], [1.0, 0.0], [NAN], [], [0.0, 1.0]]),
    "grid-ties": call(
        25, 2, 1.0, [[float(i % 5), float(i // 5)] for i in range(25)]),
    "circle": call(
        16, 2, 2.0, [[math.cos(k * math.pi / 8), math.sin(k * math.pi / 8)] for k in range(16)]),
    "far-clusters-5d": call(
        8, 5, 1.0, [[(1e100 if k < 4 else -1e100) + k, 0.0, k % 2, k % 3, 1e-300 * k]
                    for k in range(8)]),
    # The Python side of the call (ignored by the C++ target).
    "py-n-above-int32": call(2, 1, 1.0, LINE3, python_change(1, 0)),
    "py-n-float": call(2, 1, 1.0, LINE3, python_change(1, 4)),
    "py-n-index": call(3, 1, 1.0, LINE3, python_change(1, 6)),
    "py-d-bool": call(3, 1, 1.0, LINE3, python_change(2, 7)),
    "py-d-none": call(3, 1, 1.0, LINE3, python_change(2, 5)),
    "py-s-int": call(3, 1, 3.0, LINE3, python_change(3, 0)),
    "py-s-huge-int": call(3, 1, 1.0, LINE3, python_change(3, 1)),
    "py-s-str": call(3, 1, 1.0, LINE3, python_change(3, 2)),
    "py-tuple": call(3, 1, 1.0, LINE3, python_change(4)),
    "py-not-a-point": call(3, 1, 1.0, LINE3, python_change(5, 4, b"\x01")),
    "py-iterator": call(3, 1, 1.0, LINE3, python_change(6, 4)),
    "py-same-object-twice": call(3, 1, 1.0, LINE3, python_change(7, 0, b"\x00\x02")),
    "py-int-coordinates": call(4, 2, 1.0, SQUARE, python_change(8)),
}


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, "hand-" + name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
