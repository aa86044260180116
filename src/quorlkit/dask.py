"""The exact minimum spanning tree, nearest neighbours and HDBSCAN* of a dask array, on any dask
scheduler.

``quorlkit.dask.emst(points)`` and ``quorlkit.dask.knn(points, k)`` give exactly what
``quorlkit.emst`` and ``quorlkit.knn`` give for ``points.compute()``, without ever holding all
points, or all edges, in one place; ``quorlkit.dask.HDBSCAN`` gives ``quorlkit.HDBSCAN``'s
labels, condensing on the client. Needs dask:
``pip install 'quorl[dask]'``.

How (docs/distributed.md gives the argument in full):

- A kd split of a sample cuts space into partitions; every point goes to the partition whose
  cell holds it, so each partition's points keep their global order. The points move once, by
  dask's peer-to-peer rechunk (a task per chunk and per partition).
- Each partition finds its own tree (or neighbours) where it lives.
- Between partitions only the points that could matter cross the network: for the tree, the
  points of P within max(M_P, M_Q, beta) of Q's box, M being a partition's longest tree edge
  and beta an upper bound on the closest pair (no longer edge can join P and Q in their joint
  tree); for the neighbours, the points whose k-th neighbour lies farther than another
  partition's box. Pairs of partitions that are already joined by shorter edges are skipped.
- A tree reduction over the kd split merges the partitions' trees: each reduces its tree to the
  edges that the rest of the graph can still reject, so each step moves only boundary-sized
  data. Its decisions go to the partitions, not to the client.
- The result is cut by splitters and moved to its chunks by the same rechunk, never in one
  place.
"""

from __future__ import annotations

import math
import numbers
import operator
import os
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

try:
    import dask
    import dask.array as da
    from dask import delayed
except ImportError:  # pragma: no cover - exercised only without the extra
    raise ImportError(
        "quorlkit.dask needs dask: pip install 'quorl[dask]' (or pip install 'dask[array,distributed]')"
    ) from None

from . import _core
from ._hierarchy import left_out_labels
from ._mst import MinimumSpanningTree
from ._neighbors import _neighbour_count

__all__ = ["HDBSCAN", "emst", "knn"]

# Fewer points than this make a partition whose fixed costs outweigh its work.
_LEAST_PART = 4096
# Rows the client's sample takes per partition: enough for balanced kd cells.
_SAMPLE_PER_PART = 512
# Points of each partition the client uses to bound the closest pairs between partitions.
_SKETCH = 32
# Keys each partition offers for the splitters of the sorted output.
_KEYS_PER_PART = 64


class _Points(NamedTuple):
    blocks: list[Any]  # one delayed (rows, d) float64 block per row chunk
    starts: list[int]  # the global position of each block's first row
    n: int
    d: int


# ---- shared by both entry points -------------------------------------------------------------


def _squared(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Row-wise squared lengths, summed over the coordinates in order from 0.0, as the core does."""
    total = np.zeros(a.shape[:-1])
    for k in range(a.shape[-1]):
        diff = a[..., k] - b[..., k]
        total = total + diff * diff
    return total


def _box_squared(x: npt.NDArray[np.float64], lo: Any, hi: Any) -> npt.NDArray[np.float64]:
    """Squared distances from rows to a box. Every operation rounds monotonically, so a row's
    value never exceeds its squared length, as the core computes it, to any point in the box."""
    total = np.zeros(x.shape[:-1])
    for k in range(x.shape[-1]):
        gap = np.maximum(np.maximum(lo[k] - x[..., k], x[..., k] - hi[k]), 0.0)
        total = total + gap * gap
    return total


def _margin(reach: float) -> float:
    """A bound on g wherever the rounded g * g is at most reach (the roundings of the square and
    of a difference, and underflow, covered): comparisons against it may keep more rows than
    the exact tests, never fewer."""
    return math.sqrt(reach) * (1.0 + 1e-12) + 1e-150


def _face_rows(x: npt.NDArray[np.float64], lo: Any, hi: Any, reach: Any) -> Any:
    """The rows of x (inside the box [lo, hi]) within squared distance reach (one value, or one
    per row) of a face of the box. One comparison pass a face against the widest reach keeps a
    few candidates (never fewer than the exact test would), and only those are measured."""
    if len(x) == 0:
        return np.arange(0)
    widest = float(np.max(reach))
    rows = np.arange(len(x))
    if math.isfinite(widest):
        r = _margin(widest)
        near = np.zeros(len(x), bool)
        for k in range(x.shape[1]):
            near |= x[:, k] <= np.nextafter(lo[k] + r, math.inf)
            near |= x[:, k] >= np.nextafter(hi[k] - r, -math.inf)
        rows = np.flatnonzero(near)
    xs, rs = x[rows], reach[rows] if np.ndim(reach) else reach
    near = np.zeros(len(rows), bool)
    for k in range(x.shape[1]):
        below, above = xs[:, k] - lo[k], hi[k] - xs[:, k]
        near |= (below * below <= rs) | (above * above <= rs)
    return rows[near]


def _box_rows(x: npt.NDArray[np.float64], lo: Any, hi: Any, reach: float) -> Any:
    """The rows of x whose _box_squared to [lo, hi] is at most reach, measured only on the
    candidates of a comparison pass, as _face_rows."""
    rows = np.arange(len(x))
    if math.isfinite(reach):
        r = _margin(reach)
        near = np.ones(len(x), bool)
        for k in range(x.shape[1]):
            near &= x[:, k] >= np.nextafter(lo[k] - r, -math.inf)
            near &= x[:, k] <= np.nextafter(hi[k] + r, math.inf)
        rows = np.flatnonzero(near)
    return rows[_box_squared(x[rows], lo, hi) <= reach]


def _boxes_squared(lo_a: Any, hi_a: Any, lo_b: Any, hi_b: Any) -> Any:
    """A lower bound, in the same sense, on the squared length of any pair across two boxes;
    boxes given as rows of arrays are broadcast against each other, one bound per pair."""
    lo_a, hi_a, lo_b, hi_b = (np.asarray(v, dtype=np.float64) for v in (lo_a, hi_a, lo_b, hi_b))
    total = np.zeros(np.broadcast_shapes(lo_a.shape[:-1], lo_b.shape[:-1]))
    for k in range(lo_a.shape[-1]):
        gap = np.maximum(np.maximum(lo_b[..., k] - hi_a[..., k], lo_a[..., k] - hi_b[..., k]), 0.0)
        total = total + gap * gap
    return total


def _prepare(points: Any) -> _Points:
    if not isinstance(points, da.Array):
        raise TypeError(
            "points must be a dask array of shape (n, d) (dask.array.from_array makes one), "
            f"not {type(points).__name__}"
        )
    if points.dtype.kind not in "biuf":
        raise TypeError(f"points must hold real numbers, not {points.dtype}")
    if points.ndim != 2:
        raise ValueError(f"points must be an array of shape (n, d), not of shape {points.shape}")
    if any(math.isnan(c) for c in points.chunks[0]):
        raise ValueError(
            "points has rows chunks of unknown size; call points.compute_chunk_sizes() first"
        )
    n, d = (int(points.shape[0]), int(points.shape[1]))
    if d == 0:
        raise ValueError("d must be at least 1 (got 0)")
    if len(points.chunks[1]) > 1:
        points = points.rechunk({1: -1})
    blocks = list(points.astype(np.float64).to_delayed().ravel())
    starts = [0, *np.cumsum(points.chunks[0])[:-1].tolist()]
    return _Points(blocks, [int(s) for s in starts], n, d)


def _scan(
    block: Any, first: int, rate: float, skip: bool = False
) -> tuple[str | None, Any, Any, Any, Any]:
    """One block's refusal (or None), coordinate bounds and sample rows; with `skip`, rows with
    inf or NaN are left out of all three and returned as (global positions, -2 for inf, -3 for
    NaN, as scikit-learn sees a row by its sum), else None."""
    x = np.ascontiguousarray(block, dtype=np.float64)
    left_out = None
    if skip:
        usable = np.isfinite(x).all(axis=1)
        if not usable.all():
            rows = np.flatnonzero(~usable)
            left_out = (rows + first, left_out_labels(x[rows]))
            if not usable.any():
                return None, None, None, x[:0], left_out
            # Stand-ins equal to a usable row: the checks still name each other row where it
            # is, and the bounds stay those of the usable rows.
            x = x.copy()
            x[rows] = x[np.argmax(usable)]
            usable_rows = usable
    try:
        lo, hi = _core.check_rows(x, first)
    except ValueError as err:
        return str(err), None, None, None, None
    rng = np.random.default_rng(first)
    keep = rng.random(x.shape[0]) < rate
    if left_out is not None:
        keep &= usable_rows
    return None, lo, hi, x[keep], left_out


def _check(pts: _Points, skip: bool = False) -> tuple[npt.NDArray[np.float64], list[Any]]:
    """Refuses the points as emst does, naming the global row; returns the client's sample and,
    per block, the rows left out (with `skip`: those with inf or NaN) or None."""
    rate = min(1.0, 64 * _SAMPLE_PER_PART / max(pts.n, 1))
    scans = dask.compute(
        *[delayed(_scan)(b, s, rate, skip) for b, s in zip(pts.blocks, pts.starts)]
    )
    for fault, *_ in scans:  # blocks in row order: the first refusal is the first row's
        if fault is not None:
            raise ValueError(fault)
    sized = [s for s, rows in zip(scans, _block_rows(pts)) if rows > 0 and s[1] is not None]
    if sized:
        lo = np.min([s[1] for s in sized], axis=0)
        hi = np.max([s[2] for s in sized], axis=0)
        _core.check_spread(lo, hi)
    samples = [s[3] for s in scans]  # no refusal: every scan has its sample
    sample = np.concatenate(samples) if samples else np.empty((0, pts.d))
    return sample, [s[4] for s in scans]


def _block_rows(pts: _Points) -> list[int]:
    return [b - a for a, b in zip(pts.starts, [*pts.starts[1:], pts.n])]


def _partition_count(partitions: Any, n: int) -> int:
    if partitions is not None:
        if isinstance(partitions, bool) or not isinstance(partitions, numbers.Integral):
            raise TypeError(f"partitions must be an integer, not {type(partitions).__name__}")
        count = operator.index(partitions)
        if count < 1:
            raise ValueError(f"partitions must be at least 1 (got {count})")
        return count
    try:
        from distributed import get_client

        threads = sum(get_client().nthreads().values())
    except (ImportError, ValueError):
        threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else 1
    return max(1, min(2 * threads, n // _LEAST_PART))


class _Plan(NamedTuple):
    """The kd split: internal node t splits on dim[t] at value[t] (x <= value goes left);
    a child c >= 0 is an internal node, c < 0 is partition -1 - c."""

    dim: npt.NDArray[np.int64]
    value: npt.NDArray[np.float64]
    left: npt.NDArray[np.int64]
    right: npt.NDArray[np.int64]
    parts: int


def _plan(sample: npt.NDArray[np.float64], wanted: int) -> _Plan:
    dims: list[int] = []
    values: list[float] = []
    lefts: list[int] = []
    rights: list[int] = []
    leaves = 0

    def build(s: npt.NDArray[np.float64], count: int) -> int:
        nonlocal leaves
        if count > 1 and len(s) >= 2:
            extent = s.max(axis=0) - s.min(axis=0)
            k = int(np.argmax(extent))
            column = np.sort(s[:, k])
            if extent[k] > 0:
                share = count // 2
                v = column[max(len(column) * share // count - 1, 0)]
                if v >= column[-1]:
                    v = column[column < column[-1]][-1]
                node = len(dims)
                dims.append(k)
                values.append(float(v))
                lefts.append(0)
                rights.append(0)
                below = s[:, k] <= v
                lefts[node] = build(s[below], share)
                rights[node] = build(s[~below], count - share)
                return node
        leaves += 1
        return -leaves

    build(sample, wanted)
    return _Plan(
        np.array(dims, np.int64), np.array(values), np.array(lefts, np.int64),
        np.array(rights, np.int64), leaves,
    )


def _assign(x: npt.NDArray[np.float64], plan: _Plan) -> npt.NDArray[np.int64]:
    """The partition of each row."""
    if len(plan.dim) == 0:
        return np.zeros(len(x), np.int64)
    node = np.zeros(len(x), np.int64)
    while True:
        inner = np.flatnonzero(node >= 0)
        if len(inner) == 0:
            return -1 - node
        t = node[inner]
        below = x[inner, plan.dim[t]] <= plan.value[t]
        node[inner] = np.where(below, plan.left[t], plan.right[t])


def _shard(block: Any, first: int, plan: _Plan) -> npt.NDArray[Any]:
    """A block's rows cut by partition: a row of pieces (global indices, rows), one per
    partition, each in global order."""
    x = np.ascontiguousarray(block, dtype=np.float64)
    where = _assign(x, plan)
    # A stable sort of small integers is a radix sort: one pass, one gather of the rows.
    small = np.int16 if plan.parts <= np.iinfo(np.int16).max else np.int64
    order = np.argsort(where.astype(small), kind="stable")
    cuts = np.concatenate([[0], np.cumsum(np.bincount(where, minlength=plan.parts))])
    rows, idx = x[order], order + first
    out = np.empty((1, plan.parts), object)
    for p in range(plan.parts):
        out[0, p] = (idx[cuts[p] : cuts[p + 1]], rows[cuts[p] : cuts[p + 1]])
    return out


def _gather(part: int, d: int, column: npt.NDArray[Any]) -> dict[str, Any]:
    """Partition `part` from its pieces in block order: global indices (increasing) and rows."""
    pieces = column[:, 0]
    return {
        "part": part,
        "idx": np.concatenate([p[0] for p in pieces]) if len(pieces) else np.empty(0, np.int64),
        "x": np.concatenate([p[1] for p in pieces]) if len(pieces) else np.empty((0, d)),
    }


def _on_distributed() -> bool:
    try:
        from distributed import get_client

        client = get_client()
    except (ImportError, ValueError):
        return False
    return dask.base.get_scheduler() == client.get


def _exchange(rows: list[Any], targets: int) -> list[Any]:
    """Pieces sent from each source to each target: `rows` are delayed object arrays of shape
    (1, targets), piece t of each for target t; returns, per target, a delayed object array of
    shape (sources, 1) of its pieces in source order.

    On a distributed scheduler this is dask's peer-to-peer rechunk: one task per source and per
    target, each piece moving once from worker to worker; elsewhere, dask's task rechunk."""
    grid = da.concatenate([da.from_delayed(r, (1, targets), object) for r in rows], axis=0)
    method = "p2p" if _on_distributed() else "tasks"
    moved = grid.rechunk((len(rows), 1), method=method)
    return list(moved.to_delayed(optimize_graph=False).ravel())


def _partitions(pts: _Points, plan: _Plan) -> list[Any]:
    rows = [delayed(_shard, pure=True)(b, s, plan) for b, s in zip(pts.blocks, pts.starts)]
    columns = _exchange(rows, plan.parts)
    return [delayed(_gather, pure=True)(p, pts.d, c) for p, c in enumerate(columns)]


def _bounds(x: npt.NDArray[np.float64]) -> tuple[Any, Any]:
    if len(x) == 0:
        return None, None
    return x.min(axis=0), x.max(axis=0)


def _groups(plan: _Plan) -> list[tuple[int, list[int], list[int]]]:
    """The kd split's internal nodes, children before parents: (node, left parts, right parts)."""
    out: list[tuple[int, list[int], list[int]]] = []

    def parts_of(c: int) -> list[int]:
        if c < 0:
            return [-1 - c]
        left = parts_of(int(plan.left[c]))
        right = parts_of(int(plan.right[c]))
        out.append((c, left, right))
        return left + right

    if len(plan.dim):
        parts_of(0)
    return out


# ---- the minimum spanning tree -----------------------------------------------------------------


def _reach_squared(w: float, alpha: float) -> float:
    """A squared length above which no pair weighs w or less under the mutual reachability:
    sqrt and the division by alpha round monotonically; the margin covers them."""
    t = (w + 1e-323) * alpha * (1.0 + 1e-12)
    return t * t * (1.0 + 1e-12)


def _found_ties(idx: Any, ends: Any, weights: Any, pairs: Any, tie_weights: Any,
                twin: Any) -> tuple[Any, Any, Any]:
    """A tree's edges and ties (mutual_reachability_mst_of_cores with ties) as candidates for
    the whole tree's ties: pairs of global indices (t, 2) with their weights, and the runs of
    equal points as (point, next of its run) pairs. A pair of the whole whose weight equals the
    heaviest edge of the whole tree's path between its ends weighs at most that edge on a
    subset's tree (fewer points, no lighter paths), and at least it, as an edge of the subset:
    so on any subset holding both ends it is a tie or an edge (between the same runs)."""
    both = np.concatenate([ends, pairs.astype(np.int64)])
    linked = np.flatnonzero(twin != np.arange(len(twin)))
    return (idx[both], np.concatenate([weights[: len(ends)], tie_weights]),
            np.stack([idx[linked], idx[twin[linked]]], axis=1))


_NO_TIES = (np.empty((0, 2), np.int64), np.empty(0), np.empty((0, 2), np.int64))


def _local_tree(part: dict[str, Any], ties: bool | str = False) -> dict[str, Any]:
    """The partition's tree under its key: the squared length, or with cores (the points'
    core distances among all points) the mutual reachability, then with `ties` also its ties
    as _found_ties gives them ("found"); with ties="lengths" only the ties that weigh a length
    (above both cores), without the tree's edges."""
    x = part["x"]
    order, found = None, _NO_TIES
    if len(x) >= 2 and part.get("core") is not None:
        near = part.get("near")
        # The tree's order of the points (nearby points close together) serves the replay of
        # Prim's algorithm on the client.
        ends, squared, order, *tied = _core.mutual_reachability_mst_of_cores(
            x, part["core"], part["alpha"], part.get("min_samples", 1),
            near if near is not None and near.shape[1] else None, order=True, ties=bool(ties),
            lengths_only=ties == "lengths")
        if ties:
            found = _found_ties(part["idx"], ends[:0] if ties == "lengths" else ends,
                                squared, *tied)
    elif len(x) >= 2:
        ends, squared = _core.emst(x, 1, True)
    else:
        ends, squared = np.empty((0, 2), np.int64), np.empty(0)
        order = np.arange(len(x), dtype=np.int32)
    lo, hi = _bounds(x)
    kept = {key: value for key, value in part.items() if key != "near"}  # read only here
    return {**kept, "ends": ends, "squared": squared, "lo": lo, "hi": hi, "order": order,
            "found": found}


def _tree_summary(local: dict[str, Any]) -> dict[str, Any]:
    x, idx = local["x"], local["idx"]
    if len(x) == 0:
        return {"n": 0}
    # The points nearest each face of the box: across a splitting plane the closest pair is
    # among them, which keeps the bound on it, and so the bands, near the true closest pair.
    # Thresholds from a strided sample keep this to one comparison pass a face: any points
    # near the faces serve (the result never depends on the sketch), and the sample's
    # _SKETCH-th from each end has at least _SKETCH points beyond it, the extreme one included.
    sample = x[:: max(1, len(x) // 4096)]
    cut = min(_SKETCH, len(sample) - 1)
    picks = []
    for k in range(x.shape[1]):
        lo_t, hi_t = np.partition(sample[:, k], (cut, len(sample) - 1 - cut))[
            [cut, len(sample) - 1 - cut]]
        low, high = np.flatnonzero(x[:, k] <= lo_t), np.flatnonzero(x[:, k] >= hi_t)
        picks.append(low[np.argsort(x[low, k], kind="stable")[:_SKETCH]])
        picks.append(high[np.argsort(x[high, k], kind="stable")[-_SKETCH:]])
    rng = np.random.default_rng(int(idx[0]))
    picks.append(rng.choice(len(x), min(len(x), _SKETCH), replace=False))
    sketch = np.unique(np.concatenate(picks))
    core = local.get("core")
    return {
        "n": len(x),
        "lo": local["lo"],
        "hi": local["hi"],
        "longest": float(local["squared"].max()) if len(local["squared"]) else -math.inf,
        "sketch": x[sketch],
        "keys": _key_sample(local),
        "alpha": local.get("alpha"),
        "sketch_core": None if core is None else core[sketch],
        "least_core": None if core is None else float(core.min()),
    }


def _bands(local: dict[str, Any], targets: list[tuple[Any, Any, float]]) -> tuple[Any, ...]:
    """For each (lo, hi, reach) of another partition's box: the points whose key to some point
    of that box may be at most reach, as (global indices, rows, cores or None). Under the
    squared length that is the points within squared distance reach; under the mutual
    reachability, the points with a core of at most reach within _reach_squared(reach) (the key
    of a pair is at least either core and at least the distance over alpha).

    The other partitions' points all lie outside this partition's box (the kd cells are apart),
    so a point farther than every reach from each face of its own box is in no band: one pass
    finds the few points near the faces, and only those are measured against each box."""
    x, idx, core = local["x"], local["idx"], local.get("core")
    if core is not None:
        reaches = [(lo, hi, _reach_squared(w, local["alpha"]), w) for lo, hi, w in targets]
    else:
        reaches = [(lo, hi, reach, math.inf) for lo, hi, reach in targets]
    widest = max(t[2] for t in reaches)
    rows = _face_rows(x, local["lo"], local["hi"], widest)
    xs = x[rows]
    cs = None if core is None else core[rows]
    out = []
    for lo, hi, reach, w in reaches:
        keep = _box_squared(xs, lo, hi) <= reach
        if cs is not None:
            keep &= cs <= w
        near = np.flatnonzero(keep)
        out.append((idx[rows[near]], xs[near], None if cs is None else cs[near]))
    return tuple(out)


def _cross(band_p: tuple[Any, Any, Any], band_q: tuple[Any, Any, Any], alpha: Any,
           ties: bool | str = False) -> Any:
    """The edges between the two bands in the minimum spanning tree of their union, under the
    squared length or (alpha not None) the mutual reachability of the bands' cores; with
    `ties`, also the tree's edges and ties between the two bands, as _found_ties gives them
    (ties="lengths": as _local_tree takes it). A tie across two partitions weighs no more than
    the bound their bands are cut at, as a crossing edge does, so both its ends are in the
    bands; equal points are never apart."""
    idx = np.concatenate([band_p[0], band_q[0]])
    x = np.concatenate([band_p[1], band_q[1]])
    order = np.argsort(idx, kind="stable")
    idx, x = idx[order], np.ascontiguousarray(x[order])
    side = np.zeros(len(idx), bool)
    side[np.searchsorted(idx, band_q[0])] = True
    if len(idx) < 2:
        none = _edge_records(np.empty(0), np.empty(0, np.int64), np.empty(0, np.int64))
        return (none, _NO_TIES) if ties else none
    if alpha is not None:
        core = np.concatenate([band_p[2], band_q[2]])[order]
        ends, sq, *tied = _core.mutual_reachability_mst_of_cores(
            x, core, alpha, ties=bool(ties), lengths_only=ties == "lengths")
    else:
        ends, sq = _core.emst(x, 1, True)
    if ties:
        pairs, weights, _ = _found_ties(np.arange(len(idx)),
                                        ends[:0] if ties == "lengths" else ends, sq, *tied)
        apart = side[pairs[:, 0]] != side[pairs[:, 1]]
        found = (idx[pairs[apart]], weights[apart], _NO_TIES[2])
    across = side[ends[:, 0]] != side[ends[:, 1]]
    ends = ends[across]
    records = _edge_records(sq[across], idx[ends[:, 0]], idx[ends[:, 1]])
    return (records, found) if ties else records


_EDGE = np.dtype([("sq", "f8"), ("i", "i8"), ("j", "i8"), ("a", "i8"), ("b", "i8"), ("p", "i8")])


def _edge_records(sq: Any, i: Any, j: Any, part: int = -1) -> Any:
    """Edges keyed by (sq, i, j), standing between the vertices a, b (their own ends until a
    reduction replaces them); p is the partition of a partition's own edge, -1 for an edge
    between partitions."""
    out = np.empty(len(sq), _EDGE)
    out["sq"], out["i"], out["j"] = sq, i, j
    out["a"], out["b"] = i, j
    out["p"] = part
    return out


def _in_key_order(edges: Any) -> Any:
    return edges[np.lexsort((edges["j"], edges["i"], edges["sq"]))]


def _reduce(edges: Any, outer: npt.NDArray[np.int64]) -> tuple[Any, Any, Any]:
    """Kruskal over edges in key order, seen from the terminals `outer`: (the pending edges
    between terminals, the rejected partition edges, the accepted edges between partitions)."""
    if len(edges) == 0:
        return edges, edges, edges
    vertices, ends = np.unique(np.stack([edges["a"], edges["b"]], axis=1), return_inverse=True)
    return _fates(edges, vertices, ends.reshape(-1, 2), np.isin(vertices, outer))


def _fates(edges: Any, vertices: Any, ends: Any, terminal: Any) -> tuple[Any, Any, Any]:
    fate, rep = _core.kruskal_compress(
        len(vertices), ends.astype(np.int64), terminal.astype(np.uint8)
    )
    pending = edges[fate == 2]
    pending["a"] = vertices[rep[fate == 2, 0]]
    pending["b"] = vertices[rep[fate == 2, 1]]
    rejected = edges[(fate == 0) & (edges["p"] >= 0)]
    accepted = edges[(fate == 1) & (edges["p"] < 0)]
    return pending, rejected, accepted


def _leaf(local: dict[str, Any], *crossing: Any) -> Any:
    """A partition's tree reduced to its pending edges, the terminals being the partition's ends
    of the edges between partitions."""
    idx, ends, sq = local["idx"], local["ends"], local["squared"]
    terminal = np.zeros(len(idx), np.uint8)
    for c in crossing:
        for end in (c["i"], c["j"]):
            at = np.searchsorted(idx, end)
            mine = at < len(idx)
            mine[mine] = idx[at[mine]] == end[mine]
            terminal[at[mine]] = 1
    fate, rep = _core.kruskal_compress(len(idx), ends, terminal)
    held = np.flatnonzero(fate == 2)  # a tree closes no cycle: every other edge is final
    pending = _edge_records(sq[held], idx[ends[held, 0]], idx[ends[held, 1]], local["part"])
    pending["a"], pending["b"] = idx[rep[held, 0]], idx[rep[held, 1]]
    return pending


def _node(left: Any, right: Any, inner: list[Any], leaving: list[Any]) -> tuple[Any, Any, Any]:
    """A group of partitions: its children's pending edges and the edges between them, seen from
    the ends of the edges that leave the group."""
    edges = np.concatenate([left, right, *inner]) if inner else np.concatenate([left, right])
    outer = (
        np.concatenate([np.concatenate([c["i"], c["j"]]) for c in leaving])
        if leaving
        else np.empty(0, np.int64)
    )
    return _reduce(_in_key_order(edges), outer)


def _pending(node: tuple[Any, Any, Any]) -> Any:
    return node[0]


def _decisions(node: tuple[Any, Any, Any]) -> tuple[Any, Any]:
    return node[1], node[2]


def _decided(*decisions: tuple[Any, Any]) -> tuple[Any, Any]:
    """All the reduction's decisions: the rejected partition edges, and the accepted edges
    between partitions in key order."""
    rejected = np.concatenate([r for r, _ in decisions]) if decisions else np.empty(0, _EDGE)
    accepted = np.concatenate([a for _, a in decisions]) if decisions else np.empty(0, _EDGE)
    return rejected, _in_key_order(accepted)


def _kept(local: dict[str, Any], rejected: Any) -> dict[str, Any]:
    """The partition's tree edges that stay, in key order."""
    idx, ends, sq = local["idx"], local["ends"], local["squared"]
    i, j = idx[ends[:, 0]], idx[ends[:, 1]]
    if len(rejected):
        # The edges are in key order, so each rejected edge is found by its key.
        gone = [
            _rank(sq, i, j, (float(s), int(a), int(b)))
            for s, a, b in zip(rejected["sq"], rejected["i"], rejected["j"])
        ]
        keep = np.ones(len(sq), bool)
        keep[gone] = False
        i, j, sq = i[keep], j[keep], sq[keep]
    return {"sq": sq, "i": i, "j": j}


def _key_sample(local: dict[str, Any]) -> tuple[int, Any]:
    """The count of the partition's tree edges and about _KEYS_PER_PART of their keys, spread
    evenly over the key order."""
    sq, ends, idx = local["squared"], local["ends"], local["idx"]
    m = len(sq)
    at: Any = np.unique(np.linspace(0, m - 1, min(m, _KEYS_PER_PART)).astype(np.int64)) if m else []
    return m, [(float(sq[t]), int(idx[ends[t, 0]]), int(idx[ends[t, 1]])) for t in at]


def _rank(sq: Any, i: Any, j: Any, key: tuple[float, int, int]) -> int:
    """How many of the edges, in key order, come before `key`."""
    s, a, b = key
    lo, hi = np.searchsorted(sq, s, "left"), np.searchsorted(sq, s, "right")
    if lo == hi:
        return int(lo)
    lo_i = lo + np.searchsorted(i[lo:hi], a, "left")
    hi_i = lo + np.searchsorted(i[lo:hi], a, "right")
    return int(lo_i + np.searchsorted(j[lo_i:hi_i], b, "left"))


def _cut(sq: Any, i: Any, j: Any, splitters: list[tuple[float, int, int]]) -> npt.NDArray[Any]:
    """Edges in key order cut at the splitters (an edge whose key equals a splitter goes after
    it): one row of pieces (squared lengths, i, j), one per output chunk."""
    ranks = [0, *[_rank(sq, i, j, k) for k in splitters], len(sq)]
    out = np.empty((1, len(splitters) + 1), object)
    for b in range(len(splitters) + 1):
        out[0, b] = (sq[ranks[b] : ranks[b + 1]], i[ranks[b] : ranks[b + 1]], j[ranks[b] : ranks[b + 1]])
    return out


def _kept_pieces(
    local: dict[str, Any], decided: tuple[Any, Any], splitters: list[tuple[float, int, int]]
) -> npt.NDArray[Any]:
    rejected = decided[0]
    kept = _kept(local, rejected[rejected["p"] == local["part"]])
    return _cut(kept["sq"], kept["i"], kept["j"], splitters)


def _accepted_pieces(
    decided: tuple[Any, Any], splitters: list[tuple[float, int, int]]
) -> npt.NDArray[Any]:
    accepted = decided[1]
    return _cut(accepted["sq"], accepted["i"], accepted["j"], splitters)


def _bucket(column: npt.NDArray[Any], squared: bool) -> tuple[Any, Any]:
    """Runs already in key order, merged: a stable sort by key (which merges runs cheaply),
    then equal keys put in (i, j) order; lengths are the square roots of squared lengths."""
    pieces = column[:, 0]
    sq = np.concatenate([p[0] for p in pieces])
    i = np.concatenate([p[1] for p in pieces])
    j = np.concatenate([p[2] for p in pieces])
    src = np.repeat(np.arange(len(pieces), dtype=np.int32), [len(p[0]) for p in pieces])
    order = np.argsort(sq, kind="stable")
    sq, i, j, src = sq[order], i[order], j[order], src[order]
    # The stable sort leaves each run of one length as its pieces' parts one after the other,
    # each in (i, j) order already (the mutual reachability has many: a point's edges that
    # weigh its core): only the runs that mix pieces need ordering.
    mixed = np.flatnonzero((sq[1:] == sq[:-1]) & (src[1:] != src[:-1]))
    if len(mixed):
        value = np.unique(sq[mixed])
        lo, hi = np.searchsorted(sq, value, "left"), np.searchsorted(sq, value, "right")
        # The positions of those runs, each run kept where it is by the sort's first key.
        at = np.repeat(lo - np.cumsum(np.r_[0, (hi - lo)[:-1]]), hi - lo) + np.arange(
            int((hi - lo).sum()))
        fix = at[np.lexsort((j[at], i[at], sq[at]))]
        i[at], j[at] = i[fix], j[fix]
    edges = np.empty((len(sq), 2), np.int64)
    edges[:, 0], edges[:, 1] = i, j
    return edges, np.sqrt(sq) if squared else sq


class _Joins:
    """Union-find over partitions for the pairs that shorter edges already join."""

    def __init__(self, count: int) -> None:
        self.parent = list(range(count))

    def find(self, x: int) -> int:
        while self.parent[x] != x:
            self.parent[x] = self.parent[self.parent[x]]
            x = self.parent[x]
        return x

    def union(self, a: int, b: int) -> None:
        self.parent[self.find(a)] = self.find(b)


def _pairs_to_search(summaries: list[dict[str, Any]]) -> list[tuple[int, int, float]]:
    """The pairs of partitions (p, q, reach) whose joint tree may hold an edge of the whole's.

    Skipped: p and q joined by a chain of partitions, each with its longest edge shorter than
    any edge between p and q, linked by real pairs of points that are shorter too; then every
    edge between p and q closes a cycle of shorter edges."""
    live = [p for p, s in enumerate(summaries) if s["n"] > 0]
    bound: dict[tuple[int, int], float] = {}
    near: dict[tuple[int, int], float] = {}
    if len(live) < 2:
        return []
    # One partition against all the others at a time: P numpy calls, not P^2.
    lo = np.array([summaries[p]["lo"] for p in live])
    hi = np.array([summaries[p]["hi"] for p in live])
    sketches = [summaries[p]["sketch"] for p in live]
    everything = np.concatenate(sketches)
    starts = np.cumsum([0, *[len(s) for s in sketches[:-1]]])
    alpha = summaries[live[0]]["alpha"]
    if alpha is not None:
        cores = np.concatenate([summaries[p]["sketch_core"] for p in live])
        least = np.array([summaries[p]["least_core"] for p in live])
    for a, p in enumerate(live[:-1]):
        gaps = _boxes_squared(lo[a], hi[a], lo, hi)
        closest = _squared(sketches[a][:, None, :], everything[None, :, :])
        if alpha is not None:
            # Keys as the core weighs them: every pair across two boxes weighs at least either
            # partition's least core and the boxes' distance over alpha.
            gaps = np.maximum(np.maximum(np.sqrt(gaps) / alpha, least[a]), least)
            closest = np.maximum(
                np.maximum(np.sqrt(closest) / alpha, summaries[p]["sketch_core"][:, None]),
                cores[None, :],
            )
        per_part = np.minimum.reduceat(closest.min(axis=0), starts)
        for b in range(a + 1, len(live)):
            bound[p, live[b]] = float(gaps[b])
            near[p, live[b]] = float(per_part[b])
    events = sorted(
        [(summaries[p]["longest"], 0, p, p) for p in live]
        + [(v, 1, p, q) for (p, q), v in near.items()]
    )
    joins = _Joins(len(summaries))
    active = [False] * len(summaries)
    waiting: dict[int, list[int]] = {p: [] for p in live}
    out = []
    e = 0
    for (p, q), lower in sorted(bound.items(), key=lambda t: t[1]):
        while e < len(events) and events[e][0] < lower:
            _, kind, a, b = events[e]
            e += 1
            if kind == 0:
                active[a] = True
                for c in waiting[a]:
                    if active[c]:
                        joins.union(a, c)
            elif active[a] and active[b]:
                joins.union(a, b)
            else:
                waiting[a].append(b)
                waiting[b].append(a)
        if active[p] and active[q] and joins.find(p) == joins.find(q):
            continue
        sp, sq_ = summaries[p], summaries[q]
        out.append((p, q, max(sp["longest"], sq_["longest"], near[p, q])))
    return out


def emst(points: Any, *, partitions: int | None = None) -> MinimumSpanningTree:
    """The exact Euclidean minimum spanning tree of a dask array, on the active dask scheduler.

    The computed arrays equal ``quorlkit.emst(points.compute())`` exactly, in the same order:
    the tree under the order (squared length, i, j) of point pairs. No step holds all the
    points or all the edges in one place: each partition of space finds its own tree, the
    partitions exchange only the points near each other's boxes, and a tree reduction merges
    what is left. Runs on whatever scheduler is active (a ``distributed.Client``, or dask's
    local threads); a worker lost during the run is recomputed by dask, with the same result.

    Parameters
    ----------
    points : dask.array.Array of real numbers, shape (n, d)
        Chunked by rows in any sizes (chunks across columns are joined).
    partitions : int, optional
        How many parts to cut space into; by default two per thread of the scheduler, with at
        least 4096 points a part. The result never depends on it.

    Returns
    -------
    MinimumSpanningTree
        ``(lengths, edges)`` as dask arrays of shape (n - 1,) and (n - 1, 2), already computed
        and held where the scheduler keeps data (``.compute()`` brings them to the client).

    Raises
    ------
    ValueError, TypeError
        What ``quorlkit.emst`` refuses, in its words, the row named by its global position.

    Examples
    --------
    >>> import dask.array as da, quorlkit.dask
    >>> x = da.from_array([[0.0, 0.0], [3.0, 4.0], [1.0, 0.0], [1.0, 0.0]], chunks=2)
    >>> t = quorlkit.dask.emst(x)
    >>> t.edges.compute().tolist(), t.lengths.compute().tolist()
    ([[2, 3], [0, 2], [1, 2]], [0.0, 1.0, 4.47213595499958])
    """
    pts = _prepare(points)
    sample, _ = _check(pts)
    if pts.n < 2:
        return MinimumSpanningTree(
            da.from_array(np.empty(0)), da.from_array(np.empty((0, 2), np.int64))
        )
    plan = _plan(sample, _partition_count(partitions, pts.n))
    (locals_,) = dask.persist([delayed(_local_tree, pure=True)(p) for p in _partitions(pts, plan)])
    edge_parts, length_parts, *_ = _tree_rounds(locals_, plan, len(pts.blocks), None)
    del locals_  # what the persisted chunks still need stays until they are made
    tree_parts, _ = _persist_tree(edge_parts, length_parts)
    return _tree_arrays(*tree_parts)


def _tree_rounds(locals_: list[Any], plan: _Plan, chunks: int, alpha: Any,
                 ties: bool | str = False) -> tuple[Any, Any, Any, Any, Any]:
    """The rounds after the partitions' own trees (held in `locals_`): the tree's edges in key
    order as delayed chunks of edges and lengths, about `chunks` of them, the reduction's
    decisions (delayed), with `ties` the crossing rounds' ties (_cross, delayed; else empty),
    and the crossing edges of each pair of partitions searched (delayed)."""
    (summaries,) = dask.compute([delayed(_tree_summary, pure=True)(t) for t in locals_])
    searched = _pairs_to_search(summaries)
    splitters = _splitters([s["keys"] for s in summaries if s["n"]], chunks)
    # From here on every round's input comes from the round before, worker to worker.
    wanted: dict[int, list[tuple[int, float]]] = {}
    for p, q, reach in searched:
        wanted.setdefault(p, []).append((q, reach))
        wanted.setdefault(q, []).append((p, reach))
    bands: dict[tuple[int, int], Any] = {}
    for p, others in wanted.items():
        targets = [(summaries[q]["lo"], summaries[q]["hi"], reach) for q, reach in others]
        made = delayed(_bands, nout=len(targets), pure=True)(locals_[p], targets)
        for (q, _), band in zip(others, made):
            bands[p, q] = band
    crossing, found = {}, []
    for p, q, _ in searched:
        if ties:
            made = delayed(_cross, nout=2, pure=True)(bands[p, q], bands[q, p], alpha, ties)
            crossing[p, q] = made[0]
            found.append(made[1])
        else:
            crossing[p, q] = delayed(_cross, pure=True)(bands[p, q], bands[q, p], alpha)

    pending: dict[int, Any] = {}
    for p in range(plan.parts):
        pending[-1 - p] = delayed(_leaf, pure=True)(
            locals_[p], *[c for (a, b), c in crossing.items() if p in (a, b)]
        )
    decisions = []
    for node, left_parts, right_parts in _groups(plan):
        group = set(left_parts) | set(right_parts)
        inner = [
            c for (p, q), c in crossing.items()
            if (p in left_parts and q in right_parts) or (q in left_parts and p in right_parts)
        ]
        leaving = [c for (p, q), c in crossing.items() if (p in group) != (q in group)]
        left_c, right_c = int(plan.left[node]), int(plan.right[node])
        merged = delayed(_node, pure=True)(pending[left_c], pending[right_c], inner, leaving)
        pending[node] = delayed(_pending, pure=True)(merged)
        decisions.append(delayed(_decisions, pure=True)(merged))
    decided = delayed(_decided, pure=True)(*decisions)

    rows = [delayed(_kept_pieces, pure=True)(t, decided, splitters) for t in locals_]
    rows.append(delayed(_accepted_pieces, pure=True)(decided, splitters))
    squared = alpha is None
    outs = [
        delayed(_bucket, nout=2, pure=True)(c, squared)
        for c in _exchange(rows, len(splitters) + 1)
    ]
    edge_parts, length_parts = [o[0] for o in outs], [o[1] for o in outs]
    return edge_parts, length_parts, decided, found, list(crossing.values())


def _persist_tree(edge_parts: list[Any], length_parts: list[Any], *more: Any) -> tuple[Any, Any]:
    """The tree's chunks persisted, with anything else to persist at the same time, and the
    sizes of the chunks known."""
    (edge_parts, length_parts, *more) = dask.persist(edge_parts, length_parts, *more)
    (sizes,) = dask.compute([delayed(len, pure=True)(part) for part in length_parts])
    return (edge_parts, length_parts, sizes), more


def _tree_arrays(edge_parts: list[Any], length_parts: list[Any], sizes: list[int]) -> Any:
    held = [b for b, size in enumerate(sizes) if size]
    edges = da.concatenate(
        [da.from_delayed(edge_parts[b], (sizes[b], 2), np.int64) for b in held]
    )
    lengths = da.concatenate(
        [da.from_delayed(length_parts[b], (sizes[b],), np.float64) for b in held]
    )
    return MinimumSpanningTree(lengths, edges)


def _splitters(
    samples: list[tuple[int, list[tuple[float, int, int]]]], chunks: int
) -> list[tuple[float, int, int]]:
    """Keys that cut the sorted edges into about `chunks` runs of similar size."""
    weighted = []
    for m, keys in samples:
        for key in keys:
            weighted.append((key, m / max(len(keys), 1)))
    weighted.sort()
    total = sum(w for _, w in weighted)
    if chunks <= 1 or total == 0:
        return []
    out: list[tuple[float, int, int]] = []
    step, seen = total / chunks, 0.0
    for key, w in weighted:
        seen += w
        if seen >= step * (len(out) + 1) and len(out) < chunks - 1:
            if not out or key > out[-1]:
                out.append(key)
    return out


# ---- the nearest neighbours --------------------------------------------------------------------


def _local_neighbours(part: dict[str, Any], k: int, kind: Any = None) -> dict[str, Any]:
    """Each point's k nearest in its own partition (fewer when the partition is smaller), with
    squared lengths, and how far a search elsewhere must reach: the k-th squared length, or
    infinity while fewer than k are known. The neighbours are kept as global indices of type
    `kind` when it is given (what knn returns), else as positions in the partition."""
    x, idx = part["x"], part["idx"]
    n = len(x)
    own = min(k, n - 1)
    if own >= 1:
        sq, near = _core.knn(x, own, 1, True)
    else:
        sq, near = np.empty((n, 0)), np.empty((n, 0), np.int64)
    if kind is not None:
        lists = {"ids": idx.astype(kind)[near]}
    else:
        lists = {"near": near.astype(np.int32)}  # positions in the partition: half the memory
    del near
    reach = sq[:, -1] if own == k else np.full(n, math.inf)
    lo, hi = _bounds(x)
    return {**part, "sq": sq, **lists, "reach": reach, "lo": lo, "hi": hi}


def _neighbour_summary(local: dict[str, Any]) -> dict[str, Any]:
    if len(local["x"]) == 0:
        return {"n": 0}
    return {"n": len(local["x"]), "lo": local["lo"], "hi": local["hi"],
            "reach": float(local["reach"].max())}


def _queries(local: dict[str, Any], boxes: list[tuple[Any, Any]]) -> tuple[Any, ...]:
    """For each box [lo, hi] of another partition, the points whose k-th neighbour may lie in
    it: (positions, rows, reaches)."""
    x, reach = local["x"], local["reach"]
    # The other boxes lie outside this partition's cell, so a point farther from every face of
    # its own box than its reach asks no one: one pass finds the few points that may ask.
    rows = _face_rows(x, local["lo"], local["hi"], reach)
    xs, rs = x[rows], reach[rows]
    out = []
    for lo, hi in boxes:
        near = np.flatnonzero(_box_squared(xs, lo, hi) <= rs)
        out.append((rows[near], xs[near], rs[near]))
    return tuple(out)


def _answers(part: dict[str, Any], queries: tuple[Any, Any, Any], k: int) -> tuple[Any, Any, Any]:
    """The k nearest of the partition's points to each query, searched among only the points
    within the queries' reach of their box (no nearer point lies elsewhere)."""
    asking, qs, reach = queries
    if len(asking) == 0:
        return asking, np.empty((0, 0)), np.empty((0, 0), np.int64)
    lo, hi, widest = qs.min(axis=0), qs.max(axis=0), float(reach.max())
    near = _box_rows(part["x"], lo, hi, widest)
    if len(near) == 0:
        return asking[:0], np.empty((0, 0)), np.empty((0, 0), np.int64)
    x = np.ascontiguousarray(part["x"][near])
    sq, found = _core.knn_query(x, qs, min(k, len(x)), True)
    return asking, sq, part["idx"][near[found]]


def _best(sq: Any, ids: Any, k: int, src: Any) -> tuple[Any, Any, Any]:
    """Per row, the k first by (squared length, index), with the partition each came from."""
    order = np.lexsort((ids, sq), axis=-1)[:, :k]
    return tuple(np.take_along_axis(a, order, 1) for a in (sq, ids, src))  # type: ignore


def _merge(local: dict[str, Any], k: int, kind: Any, answers: list[tuple[int, Any]]) -> tuple:
    """Each point's k nearest among all points from its own list and the answers (partition,
    answer): (squared lengths, global indices (None when the partition keeps positions), the
    rows that answers changed, and for those rows their lists and the partition of each
    neighbour). The local arrays are not written to, so that a rerun sees them as they were."""
    sq, idx, ids = local["sq"], local["idx"], local.get("ids")
    n, own = sq.shape
    asked = [a[0] for _, a in answers]
    rows = np.unique(np.concatenate(asked)) if asked else np.empty(0, np.int64)
    best_ids = ids[rows] if ids is not None else idx.astype(kind)[local["near"][rows]]
    if own < k:  # a partition of k points or fewer: every other partition answered
        sq = np.concatenate([sq, np.full((n, k - own), math.inf)], axis=1)
        pad = np.iinfo(kind).max
        best_ids = np.concatenate([best_ids, np.full((len(rows), k - own), pad, kind)], axis=1)
        if ids is not None:
            ids = np.concatenate([ids, np.full((n, k - own), pad, kind)], axis=1)
    best_sq = sq[rows]
    best_src = np.full(best_sq.shape, local["part"], np.int32)
    for q, (asking, more_sq, more_ids) in answers:
        if len(asking) == 0:
            continue
        at = np.searchsorted(rows, asking)
        both = [
            np.concatenate([best_sq[at], more_sq], axis=1),
            np.concatenate([best_ids[at], more_ids], axis=1),
            np.concatenate([best_src[at], np.full(more_sq.shape, q, np.int32)], axis=1),
        ]
        best_sq[at], best_ids[at], best_src[at] = _best(both[0], both[1], k, both[2])
    return sq, ids, rows, best_sq, best_ids, best_src


def _neighbour_pieces(
    local: dict[str, Any], k: int, bounds: list[int], asked: list[int], *answers: Any
) -> npt.NDArray[Any]:
    """The partition's points' k nearest among all points, cut by the output's chunks
    (`bounds`, the global positions where they start, then n): one row of pieces (global
    positions, squared lengths, indices, then the rows that answers changed as positions,
    squared lengths and indices). The pieces are views of the partition's own lists: nothing
    of the partition's size is made here, and the chunk takes the square roots in place."""
    kind = np.int32 if bounds[-1] <= np.iinfo(np.int32).max else np.int64
    sq, ids, rows, best_sq, best_ids, _ = _merge(local, k, kind, list(zip(asked, answers)))
    idx = local["idx"]
    cuts = np.searchsorted(idx, bounds)
    fixed = np.searchsorted(rows, cuts)
    out = np.empty((1, len(bounds) - 1), object)
    for c in range(len(bounds) - 1):
        a, b, fa, fb = cuts[c], cuts[c + 1], fixed[c], fixed[c + 1]
        out[0, c] = (idx[a:b], sq[a:b], ids[a:b],
                     idx[rows[fa:fb]], best_sq[fa:fb], best_ids[fa:fb])
    return out


def _block_neighbours(start: int, stop: int, k: int, column: npt.NDArray[Any]) -> tuple[Any, Any]:
    rows = stop - start
    dist, ids = np.empty((rows, k)), np.empty((rows, k), np.int64)
    for idx, psq, pids, fixed, fsq, fids in column[:, 0]:
        dist[idx - start], ids[idx - start] = psq, pids
        dist[fixed - start], ids[fixed - start] = fsq, fids
    np.sqrt(dist, out=dist)
    return dist, ids


def _neighbour_rounds(
    pts: _Points, plan: _Plan, count: int, kind: Any = None
) -> tuple[Any, Any, Any, Any]:
    """The partitions (persisted), their own lists (persisted; global indices of type `kind`
    when given), and for each partition the partitions it asks and their delayed answers."""
    parts = _partitions(pts, plan)
    # The points apart from their lists: a search for another partition's points needs only
    # them, which is all that moves should dask run it elsewhere.
    parts, locals_ = dask.persist(
        parts, [delayed(_local_neighbours, pure=True)(p, count, kind) for p in parts]
    )
    (summaries,) = dask.compute([delayed(_neighbour_summary, pure=True)(t) for t in locals_])
    live = [q for q, s in enumerate(summaries) if s["n"] > 0]
    lo = np.array([summaries[q]["lo"] for q in live], dtype=np.float64).reshape(len(live), pts.d)
    hi = np.array([summaries[q]["hi"] for q in live], dtype=np.float64).reshape(len(live), pts.d)
    asked: dict[int, list[int]] = {}
    for p, sp in enumerate(summaries):
        # One partition against all the others at a time: P numpy calls, not P^2.
        gaps = _boxes_squared(sp["lo"], sp["hi"], lo, hi) if sp["n"] > 0 else []
        asked[p] = [q for q, gap in zip(live, gaps) if q != p and gap <= sp["reach"]]
    answers: dict[int, list[Any]] = {p: [] for p in range(plan.parts)}
    for p, targets in asked.items():
        if not targets:
            continue
        boxes = [(summaries[q]["lo"], summaries[q]["hi"]) for q in targets]
        queries = delayed(_queries, nout=len(targets), pure=True)(locals_[p], boxes)
        for q, query in zip(targets, queries):
            answers[p].append(delayed(_answers, pure=True)(parts[q], query, count))
    return parts, locals_, asked, answers


def knn(
    points: Any, k: int, *, partitions: int | None = None
) -> tuple[Any, Any]:
    """The k nearest other points of every point of a dask array, on the active dask scheduler.

    The computed arrays equal ``quorlkit.knn(points.compute(), k)`` exactly: row i holds the k
    nearest other points of point i in the order of (squared distance, index). Each partition of
    space finds its points' neighbours among its own; a point asks another partition only when
    that partition's box is nearer than its k-th neighbour so far, and only such points cross
    the network.

    Parameters
    ----------
    points : dask.array.Array of real numbers, shape (n, d)
        Chunked by rows in any sizes (chunks across columns are joined).
    k : int
        How many neighbours, ``1 <= k <= n - 1``.
    partitions : int, optional
        As for :func:`emst`; the result never depends on it.

    Returns
    -------
    distances : dask.array.Array of float64, shape (n, k)
    indices : dask.array.Array of int64, shape (n, k)
        Chunked by rows as the input, already computed and held where the scheduler keeps data.

    Raises
    ------
    ValueError, TypeError
        What ``quorlkit.knn`` refuses, in its words, the row named by its global position.

    Examples
    --------
    >>> import dask.array as da, quorlkit.dask
    >>> x = da.from_array([[0.0], [1.0], [3.0], [1.0]], chunks=3)
    >>> dist, idx = quorlkit.dask.knn(x, 2)
    >>> idx.compute().tolist(), dist.compute().tolist()
    ([[1, 3], [3, 0], [1, 3], [1, 0]], [[1.0, 1.0], [0.0, 1.0], [2.0, 2.0], [0.0, 1.0]])
    """
    pts = _prepare(points)
    count = _neighbour_count(k, pts.n)
    sample, _ = _check(pts)
    plan = _plan(sample, _partition_count(partitions, pts.n))
    kind = np.int32 if pts.n <= np.iinfo(np.int32).max else np.int64
    parts, locals_, asked, answers = _neighbour_rounds(pts, plan, count, kind)
    bounds = [*pts.starts, pts.n]
    rows = [
        delayed(_neighbour_pieces, pure=True)(locals_[p], count, bounds, asked[p], *answers[p])
        for p in range(plan.parts)
    ]
    blocks = [
        delayed(_block_neighbours, nout=2, pure=True)(start, start + size, count, column)
        for start, size, column in zip(pts.starts, _block_rows(pts), _exchange(rows, len(bounds) - 1))
    ]
    distances = da.concatenate(
        [da.from_delayed(b[0], (size, count), np.float64) for b, size in zip(blocks, _block_rows(pts))]
    )
    indices = da.concatenate(
        [da.from_delayed(b[1], (size, count), np.int64) for b, size in zip(blocks, _block_rows(pts))]
    )
    del parts, locals_, rows, answers  # what the output still needs stays until it is made
    distances, indices = dask.persist(distances, indices)
    return distances, indices


TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._dask_cluster import HDBSCAN


def __getattr__(name: str) -> object:
    # HDBSCAN imports scikit-learn when it is there: only a use of it pays for that.
    if name == "HDBSCAN":
        from ._dask_cluster import HDBSCAN

        globals()["HDBSCAN"] = HDBSCAN
        return HDBSCAN
    raise AttributeError(f"module 'quorlkit.dask' has no attribute {name!r}")
