"""atheris harness for the whole Python call build_quorl(n, d, s, points).

Bytes are decoded exactly as the libFuzzer target fuzz_run_quorl.cpp decodes them, so the two share
one seed corpus; the bytes left over then change the Python side of the call: n or d outside int32,
floats, None, bools and __index__ objects for them, s as an int, a huge int, a string or None,
points as a tuple, a non-point item in the list, something other than a list, the same point
object twice, points made from ints.

The outcome must be the one the documented limits predict: TypeError for an argument of the wrong
type, else ValueError for a call outside the limits, else a result that passes check_decomposition,
equals the reference model's and leaves the points unchanged. A MemoryError counts as a finding
too: these calls are far too small to exhaust memory.

    python tests/fuzz/fuzz_build_quorl.py [libFuzzer options] [corpus dirs]
"""

import inspect
import math
import os
import struct
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))

with atheris.instrument_imports():
    import reference
    import wspd_check

import quorl

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
HALF_MAX = sys.float_info.max / 2
ABOVE_HALF_MAX = math.nextafter(HALF_MAX, math.inf)
CENTERS = [0.0, 1.0, -1.0, 1e-300, 2.2250738585072014e-308, 5e-324, 1e154, -1e154, 1e300,
           -1e300, HALF_MAX, -HALF_MAX, 0.1, 1e-10, 12345.678]
GRID, POW2, CLUSTER, SCALED, MIXED, JUMBLE, RAW = range(7)
STYLES = [GRID, POW2, CLUSTER, SCALED, MIXED, RAW, JUMBLE, GRID]
EXPONENTS = [-1074, -1073, -1060, -1022, -1000, -600, -60, -10, 0, 10, 60, 480, 490, 494, 495,
             496, 497]
SIZES = [8, 24, 64, 300]
SEPARATIONS = [0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 5.0, 10.0, -1.0, 1e-300, 1e300]
NON_FINITE = [math.nan, math.inf, -math.inf]
HUGE = [ABOVE_HALF_MAX, -ABOVE_HALF_MAX, sys.float_info.max, -sys.float_info.max, HALF_MAX,
        -HALF_MAX]
ODD_S = [math.nan, math.inf, -math.inf, -0.0, 5e-324, sys.float_info.max]
# The reference model is plain Python: compare with it only where it stays fast.
REFERENCE_LIMIT = 80


class Bytes:
    """Front to back, little endian; past the end every read gives 0."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def u8(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def u16(self):
        low = self.u8()
        return low | self.u8() << 8

    def u32(self):
        low = self.u16()
        return low | self.u16() << 16

    def u64(self):
        low = self.u32()
        return low | self.u32() << 32

    def i32(self):
        v = self.u32()
        return v - 2**32 if v >= 2**31 else v

    def f64(self):
        return struct.unpack("<d", struct.pack("<Q", self.u64()))[0]

    def range(self, lo, hi):
        span = hi - lo + 1
        return lo + (self.u8() if span <= 256 else self.u16()) % span


class Call:
    def __init__(self):
        self.n, self.d, self.s, self.coords = 0, 0, 0.0, []


def int16(v):
    return v - 65536 if v >= 32768 else v


def coordinate(b, p, style):
    if style == GRID:
        v = b.range(-p["grid"], p["grid"])
        return -0.0 if v == 0 and b.u8() & 1 else float(v)
    if style == POW2:
        e = min(p["pow_lo"] + b.range(0, p["pow_span"]), 510)
        sign = b.u8() % 3
        return 0.0 if sign == 2 else math.ldexp(-1.0 if sign else 1.0, e)
    if style == CLUSTER:
        k = float(b.range(0, p["cluster_k"]))
        return p["center"] - math.copysign(k * p["step"], p["center"])
    if style == SCALED:
        return math.ldexp(float(int16(b.u16())), p["scaled_exp"])
    if style == JUMBLE:
        return coordinate(b, p, b.range(GRID, SCALED))
    return b.f64()


def separation(b):
    v = b.u8()
    if v < 200:
        return SEPARATIONS[v % len(SEPARATIONS)]
    if v < 250:
        return float(b.u16()) / 1024.0 - 4.0
    return b.f64()


def poison(b, x):
    count = len(x.coords)
    i = b.range(0, count - 1) if count else 0
    j = b.range(0, count - 1) if count else 0
    c = x.coords[i] if count else None
    k = b.range(0, len(c) - 1) if c else 0
    op = b.u8() % 8
    if op == 0:
        if c:
            c[k] = NON_FINITE[b.u8() % 3]
    elif op == 1:
        if c:
            c[k] = HUGE[b.u8() % 6]
    elif op == 2:  # a copy, zeros with the other sign
        if count:
            copy = list(x.coords[j])
            for m, v in enumerate(copy):
                if v == 0 and b.u8() & 1:
                    copy[m] = -v
            x.coords[i] = copy
    elif op == 3:
        if c is not None:
            del c[b.range(0, len(c)):]
    elif op == 4:
        x.n = [count + 1, count + 2, -1, INT32_MIN, INT32_MAX, 0][b.u8() % 6]
    elif op == 5:
        x.d = [0, -1, INT32_MIN, INT32_MAX, x.d + 1 if x.d < INT32_MAX else 0][b.u8() % 5]
    elif op == 6:
        x.s = ODD_S[b.u8() % 6]
    elif c:  # stretch one coordinate so that the squared extents overflow
        c[k] = math.copysign(1e154 * b.range(1, 8), c[k])


def has_nan(values):
    return any(v != v for v in values)


def generated(b):
    x = Call()
    h, h2, v = b.u8(), b.u8(), b.u8()
    x.d = 1 + v % 3 if v < 192 else 4 + v % 5
    target = b.range(1, SIZES[h2 & 3])
    p = {"style": STYLES[h & 7], "grid": b.range(1, 8), "pow_lo": b.range(-1074, 510)}
    p["pow_span"] = b.range(0, 1584) if h2 & 4 else b.range(0, 63)
    if b.u8() % 4:
        p["center"] = CENTERS[b.u8() % len(CENTERS)]
    else:
        mantissa = float(int16(b.u16()))
        p["center"] = math.ldexp(mantissa, b.range(-1074, 1000))
    mag = abs(p["center"])
    p["step"] = math.ldexp(max(math.nextafter(mag, math.inf) - mag, 5e-324), b.range(0, 4))
    p["cluster_k"] = b.range(0, 32)
    pick = b.u8()
    p["scaled_exp"] = b.range(-1074, 500) if pick < 128 else EXPONENTS[pick % len(EXPONENTS)]
    styles = [b.range(GRID, SCALED) if p["style"] == MIXED else p["style"] for _ in range(x.d)]

    # Distinct points only; a point with NaN equals none, as with == in the C++ target.
    seen = set()
    for _ in range(target):
        c = [coordinate(b, p, style) for style in styles]
        if b.u8() % 8 == 0:
            c += [b.f64() for _ in range(b.range(1, 2))]
        key = tuple(v + 0.0 for v in c[: x.d])
        if has_nan(key):
            x.coords.append(c)
        elif key not in seen:
            seen.add(key)
            x.coords.append(c)
    x.n = len(x.coords)
    if h2 & 24 == 24:
        x.n = b.range(0, x.n)
    x.s = separation(b)
    if h2 & 32:
        for _ in range(b.range(1, 3)):
            x.coords.append([b.f64() for _ in range(b.range(0, x.d + 1))])
    for _ in range(1 + (h >> 5 & 1) if h >> 3 & 3 == 3 else 0):
        poison(b, x)
    return x


def literal(b):
    x = Call()
    x.n = b.i32()
    x.d = b.i32()
    x.s = b.f64()
    for _ in range(b.u8()):
        x.coords.append([b.f64() for _ in range(b.u8() % 17)])
    return x


def expected_refusal(x):
    """True when the documented limits refuse the call (all arguments of the right types)."""
    n, d = x.n, x.d
    if n < 0 or n > len(x.coords) or d < 1 or not math.isfinite(x.s):
        return True
    if n == 0:
        return False
    used = [c[:d] for c in x.coords[:n]]
    for c in used:
        if len(c) < d or not all(math.isfinite(v) and abs(v) <= HALF_MAX for v in c):
            return True
    total = 0.0
    for k in range(d):
        w = max(c[k] for c in used) - min(c[k] for c in used)
        total = total + w * w
    if not math.isfinite(total):
        return True
    return len({tuple(v + 0.0 for v in c) for c in used}) < n


class IntLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class NotAPoint:
    pass


def python_args(b, x):
    """The call's arguments as Python objects, and whether they must raise TypeError."""
    points = [quorl.point(c) for c in x.coords]
    args = [x.n, x.d, x.s, points]
    bad_type = False
    change = b.u8()
    op, arg = change & 15, change >> 4
    if op in (1, 2):  # n or d outside int32, not an integer, or an integer in disguise
        slot, choice = op - 1, arg % 8
        if choice < 4:
            args[slot] = [2**31, INT32_MIN - 1, 2**64, -(10**30)][choice]
        elif choice == 4:
            args[slot] = float(args[slot])
        elif choice == 5:
            args[slot] = None
        elif choice == 6:
            args[slot] = IntLike(args[slot])
        else:
            args[slot] = bool(args[slot] & 1)
            setattr(x, ("n", "d")[slot], int(args[slot]))
        bad_type = choice < 6
    elif op == 3:  # s
        choice = arg % 4
        if choice == 0:
            if math.isfinite(x.s):
                args[2] = int(x.s)
                x.s = float(args[2])
        else:
            args[2] = {1: 10**400, 2: str(x.s), 3: None}[choice]
            bad_type = True
    elif op == 4:
        args[3] = tuple(points)
    elif op == 5:  # one item that is not a point
        points.insert(b.range(0, len(points)), [[0.0], 1.0, None, "0", NotAPoint()][arg % 5])
        bad_type = True
    elif op == 6:  # no sequence of points at all
        args[3] = [points[0] if points else None, None, {}, "abc", iter(points)][arg % 5]
        bad_type = True
    elif op == 7 and points:  # one point object twice
        i = b.range(0, len(points) - 1)
        j = b.range(0, len(points) - 1)
        points[i] = points[j]
        x.coords[i] = x.coords[j]
    elif op == 8:  # coordinates given as Python ints, where that is exact
        for m, c in enumerate(x.coords):
            if all(math.isfinite(v) and v == int(v) for v in c):
                points[m] = quorl.point([int(v) for v in c])
                x.coords[m] = [float(int(v)) for v in c]
    return args, bad_type


def check(x, args, bad_type):
    listed = isinstance(args[3], (list, tuple))
    before = [repr(p.coord()) for p in args[3] if isinstance(p, quorl.point)] if listed else None
    try:
        result = quorl.build_quorl(*args)
    except TypeError:
        if not bad_type:
            raise
        return
    except ValueError:
        if bad_type or not expected_refusal(x):
            raise
        return
    if bad_type or expected_refusal(x):
        raise AssertionError(f"accepted n={x.n} d={x.d} s={x.s!r} with {len(x.coords)} points")
    if [repr(p.coord()) for p in args[3]] != before:
        raise AssertionError("the call changed the points")
    wspd_check.check_decomposition(result, x.coords, x.n, x.d, x.s)
    if x.n <= REFERENCE_LIMIT:
        expected = reference.decompose(x.n, x.d, x.s, x.coords)
        if result != [tuple(pair) for pair in expected]:
            raise AssertionError("result differs from the reference model")


def test_one_input(data):
    b = Bytes(data)
    if data[:1] == b"\xff":
        b.u8()
        x = literal(b)
    else:
        x = generated(b)
    args, bad_type = python_args(b, x)
    check(x, args, bad_type)


def main():
    # Coverage of the decoding steers the fuzzer too: instrument this module's own functions.
    for f in list(globals().values()):
        if inspect.isfunction(f) and f.__module__ == __name__ and f is not main:
            atheris.instrument_func(f)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
