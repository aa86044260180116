"""quorlkit.dask.HDBSCAN: HDBSCAN* of a dask array, exact, by the partitioned rounds of
quorlkit.dask (docs/distributed.md)."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

import dask
import dask.array as da
from dask import delayed

from . import _cluster, _core, _hierarchy
from ._workers import core_threads
from .dask import (
    _block_rows,
    _check,
    _local_tree,
    _merge,
    _neighbour_rounds,
    _on_distributed,
    _partition_count,
    _persist_tree,
    _plan,
    _Points,
    _prepare,
    _tree_arrays,
    _tree_rounds,
)

__all__ = ["HDBSCAN"]


def _cored(part: dict[str, Any], local: dict[str, Any], count: int, kc: int, alpha: float,
           min_samples: int, asked: list[int], *answers: Any) -> dict[str, Any]:
    """The partition with its points' core distances (to the kc-th nearest other point among
    all points), what _ties needs of the lists, and whether any list shows ties that the pairs
    from the lists miss: a zero distance (equal points) or one more point weighing the core
    than the list holds (ties at the core distance, or alpha > 1 reaching past the list)."""
    sq, ids, rows, best_sq, best_ids, best_src = _merge(local, count, np.int32,
                                                        list(zip(asked, answers)))
    near, n = local["near"], len(sq)
    if kc > 0:
        kth = sq[:, kc - 1].copy()
        kth[rows] = best_sq[:, kc - 1]
        core = np.sqrt(kth)
    else:
        core = np.zeros(n)
    tied = bool((n and sq[:, 0].min() == 0) or (len(rows) and best_sq[:, 0].min() == 0))
    if not tied and count > kc:
        beyond = sq[:, kc].copy()
        beyond[rows] = best_sq[:, kc]
        tied = bool((np.sqrt(beyond) / alpha <= core).any())
    # The answered rows' pairs within the core, as (row, global index, partition).
    r, col = np.nonzero(np.sqrt(best_sq[:, :kc]) / alpha <= core[rows][:, None])
    own = min(kc, near.shape[1])
    return {
        **part,
        "core": core,
        "near": near,  # the partition's own lists, where its tree's rounds start
        "alpha": alpha,
        "min_samples": min_samples,
        "tied": tied,
        # With alpha 1 every listed point within the kc-th weighs the core; else _ties
        # compares the lengths.
        "within": None if alpha == 1.0 else np.sqrt(sq[:, :own]) / alpha <= core[:, None],
        "answered": (rows, rows[r], best_ids[r, col].astype(np.int64), best_src[r, col]),
    }


def _ties(cored: dict[str, Any], sole: npt.NDArray[np.bool_]) -> npt.NDArray[np.int32]:
    """The pairs that weigh a core, as global indices, but for those of a sole point's core
    (`sole`, of the partition's points, as _core.sole_cores marks them for the whole tree):
    from each point a, its listed b with sqrt(d(a, b)^2) / alpha <= core_a. Such a pair weighs
    max(core_a, core_b), and the end of greater core is alone below it, so no path of lighter
    edges joins the two: each can belong to some minimum spanning tree. A pair is listed from
    the end of greater core (both list it when the cores are equal: from the lesser index), and
    so left out from a here when b, of this partition, has the greater core; a pair to another
    partition, whose core is not known here, is kept (the client's replay leaves it out where
    it should), and a pair may come twice, which Prim's order does not mind."""
    idx, core, near, within = cored["idx"], cored["core"], cored["near"], cored["within"]
    rows, a_all, b_all, src = cored["answered"]
    idx32 = idx.astype(np.int32)  # the core takes at most 2^31 - 1 points
    # A sole point keeps only the pairs to a point of equal core: look at a row only when its
    # point is not sole or its core is another point's too.
    look = ~sole
    by_core = np.argsort(core)
    equal = np.flatnonzero(core[by_core[1:]] == core[by_core[:-1]])
    look[by_core[equal]] = look[by_core[equal + 1]] = True
    look[rows] = False  # the answered rows follow
    plain = np.flatnonzero(look).astype(np.int32)
    b = near[plain, : min(cored["min_samples"] - 1, near.shape[1])]
    core_a, core_b = core[plain][:, None], core[b]
    keep = ((core_b < core_a) & ~sole[plain][:, None]) | ((core_b == core_a) & (plain[:, None] < b))
    if within is not None:
        keep &= within[plain]
    pairs = np.empty((int(keep.sum()), 2), np.int32)
    pairs[:, 0] = idx32[np.broadcast_to(plain[:, None], b.shape)[keep]]
    pairs[:, 1] = idx32[b[keep]]
    if len(a_all):
        mine = src == cored["part"]
        at = np.searchsorted(idx, b_all[mine])
        keep = np.ones(len(a_all), bool)
        a = a_all[mine]
        keep[mine] = (((core[at] < core[a]) & ~sole[a])
                      | ((core[at] == core[a]) & (a < at)))
        pairs = np.concatenate(
            [pairs, np.stack([idx32[a_all[keep]], b_all[keep].astype(np.int32)], axis=1)])
    return pairs


def _found(tree: dict[str, Any]) -> tuple[Any, Any, Any]:
    return tree["found"]  # type: ignore[no-any-return]


def _shows_ties(cored: dict[str, Any]) -> bool:
    return cored["tied"]  # type: ignore[no-any-return]


def _length_ties(edges: Any, lengths: Any, core: Any, found: list[Any], rejected: Any,
                 accepted: Any, crossing: list[Any]) -> tuple[Any, Any]:
    """The ties of the whole tree that weigh a length, with their weights, from the ties that
    weigh a length of the partitions' and the bands' trees (`found`), and the edges of those
    trees that the whole tree has not: the partitions' edges the reduction rejected, and the
    crossing edges it did not accept. A tie of the whole is a tie or an edge of every subset's
    tree that holds both its ends (_found_ties), so it is among them."""
    n = len(core)
    crossed = np.concatenate(crossing) if crossing else rejected[:0]
    taken = np.isin(crossed["i"] * n + crossed["j"], accepted["i"] * n + accepted["j"])
    across = np.concatenate([rejected, crossed[~taken]])
    pairs = np.concatenate([np.stack([across["i"], across["j"]], axis=1),
                            *[f[0] for f in found]])
    weights = np.concatenate([across["sq"], *[f[1] for f in found]])
    # Only those above both cores, of a weight the tree has: a tie weighs as much as the
    # heaviest edge of the tree's path between its ends.
    at = np.minimum(np.searchsorted(lengths, weights), max(len(lengths) - 1, 0))
    maybe = ((weights > np.maximum(core[pairs[:, 0]], core[pairs[:, 1]]))
             & (lengths[at] == weights if len(lengths) else False))
    pairs, weights = pairs[maybe], weights[maybe]
    if len(pairs):
        kept = _core.tree_ties(n, edges, lengths, pairs.astype(np.int32),
                               weights).view(bool)
        pairs, weights = pairs[kept], weights[kept]
    return pairs, weights


def _tree_ties(edges: Any, lengths: Any, core: Any, found: list[Any]) -> tuple[Any, ...]:
    """Of the candidates found (_found_ties), the ties of the whole tree as the one-process fit
    takes them: pairs of points weighing a core, pairs weighing a length with their weights,
    and each point's next of its run of equal points (None when all points differ). A pair
    stands for every pair between the runs of its ends, so the candidates are looked at run to
    run, over the tree between runs."""
    n = len(core)
    links = np.concatenate([f[2] for f in found])
    twin, first = None, np.arange(n)
    if len(links):
        twin = np.arange(n)
        twin[links[:, 0]] = links[:, 1]
        # Each run's least point, by pointer doubling along the run's cycle: after k steps a
        # point has the least of the 2^k from it on; a step that changes nothing has them all.
        step = twin.copy()
        while True:
            least = np.minimum(first, first[step])
            if np.array_equal(least, first):
                break
            first, step = least, step[step]
    pairs = first[np.concatenate([f[0] for f in found])]
    weights = np.concatenate([f[1] for f in found])
    # Pairs may come twice (between the same runs); the replay does not mind.
    apart = pairs[:, 0] != pairs[:, 1]
    pairs, weights = pairs[apart], weights[apart]
    # The tree between runs: its edges within a run (each at the run's core, the least weight
    # its points have) left out, and an edge that closes a cycle through a run passed over.
    run = np.cumsum(first == np.arange(n)) - 1
    ends = run[first[edges]]
    between = ends[:, 0] != ends[:, 1]
    kept = _core.tree_ties(int(run[-1]) + 1, ends[between], lengths[between],
                           run[pairs].astype(np.int32), weights).view(bool)
    pairs, weights = pairs[kept], weights[kept]
    on_core = weights == np.maximum(core[pairs[:, 0]], core[pairs[:, 1]])
    return pairs[on_core], pairs[~on_core], weights[~on_core], twin


def _cored_tree(cored: dict[str, Any], ties: bool = False) -> dict[str, Any]:
    part = {key: cored[key]
            for key in ("part", "idx", "x", "core", "near", "alpha", "min_samples")}
    return _local_tree(part, ties)


def _held(cored: dict[str, Any], tree: dict[str, Any]) -> dict[str, Any]:
    """What the client takes of a partition: its cores, whether its lists show ties, and its
    points in the order of its tree, which keeps nearby points together (for the client's
    replay of Prim)."""
    return {
        **{key: cored[key] for key in ("idx", "core", "tied")},
        "order": cored["idx"][tree["order"]],
    }


def _without(block: Any, rows: npt.NDArray[np.int64]) -> npt.NDArray[np.float64]:
    return np.delete(np.ascontiguousarray(block, dtype=np.float64), rows, axis=0)


def _usable(given: _Points, left_out: list[Any]) -> tuple[_Points, Any, Any]:
    """The points without the rows `left_out` (per block, as _check gives them): the usable
    points (blocks of the given ones, the left-out rows cut from theirs), their positions in
    the given points (None when none is left out), and the left-out rows with their codes."""
    if all(out is None for out in left_out):
        return given, None, None
    blocks, sizes = [], []
    for block, start, rows, out in zip(given.blocks, given.starts, _block_rows(given), left_out):
        if out is None:
            blocks.append(block)
            sizes.append(rows)
        else:
            blocks.append(delayed(_without, pure=True)(block, out[0] - start))
            sizes.append(rows - len(out[0]))
    bad = np.concatenate([out[0] for out in left_out if out is not None])
    codes = np.concatenate([out[1] for out in left_out if out is not None])
    kept = np.ones(given.n, bool)
    kept[bad] = False
    starts = [0, *np.cumsum(sizes)[:-1].tolist()]
    usable = _Points(blocks, [int(s) for s in starts], int(sum(sizes)), given.d)
    return usable, np.flatnonzero(kept), (bad, codes)


def _scattered(values: npt.NDArray[Any], chunks: tuple[int, ...]) -> Any:
    """A client array as a dask array in the given row chunks, sent to the workers once."""
    if _on_distributed():
        starts = np.cumsum([0, *chunks])
        pieces = _sent([values[a:b] for a, b in zip(starts[:-1], starts[1:])])
        return da.concatenate(
            [da.from_delayed(p, (size,), values.dtype) for p, size in zip(pieces, chunks)]
        ) if chunks else da.from_array(values)
    return da.from_array(values, chunks=(chunks,))


def _sent(values: list[Any]) -> list[Any]:
    """Client arrays for tasks to read, sent to the workers directly on a distributed client
    rather than in the task graph, which goes through the scheduler."""
    if _on_distributed():
        from distributed import get_client

        return get_client().scatter(values)  # type: ignore[no-any-return]
    return values


def _started(tasks: list[Any]) -> list[Any]:
    """The delayed tasks set running on a distributed client (else left as they are), so that
    the caller goes on while they run; _taken gives their results."""
    if _on_distributed():
        from distributed import get_client

        return get_client().compute(tasks)  # type: ignore[no-any-return]
    return tasks


def _taken(started: list[Any]) -> list[Any]:
    if _on_distributed():
        from distributed import get_client

        return get_client().gather(started)  # type: ignore[no-any-return]
    return list(dask.compute(started)[0])


class HDBSCAN(_cluster.HDBSCAN):
    """HDBSCAN* of a dask array, on the active dask scheduler: ``labels_`` and
    ``probabilities_`` equal those of ``quorlkit.HDBSCAN(...).fit(X.compute())``, numbering
    included, equal distances and equal points too.

    The core distances come from the distributed nearest neighbours, the mutual-reachability
    minimum spanning tree from the same partitioned rounds as :func:`emst` under the key
    ``(max(core_i, core_j, d_ij / alpha), i, j)``. The tree's n - 1 edges, the cores and the
    pairs that weigh a core that a linkage needs (under one a point) then come to the client,
    which replays scikit-learn's Prim order over them and condenses and selects as
    ``quorlkit.HDBSCAN`` does, on ``workers`` threads of the client (docs/distributed.md).

    Parameters are ``quorlkit.HDBSCAN``'s (``workers``: the client's threads, as for
    ``quorlkit.HDBSCAN``; results never depend on it; ``verbose`` is accepted and changes
    nothing), and ``partitions`` as for :func:`emst`. Rows with inf or NaN are left out of the
    fit and labelled -2 and -3, as ``quorlkit.HDBSCAN`` does. ``outlier_scores_`` and
    ``dbscan_clustering`` are offered, as dask arrays chunked as the rows of X;
    ``approximate_predict`` needs the fitted points in one process and is not: call
    ``quorlkit.HDBSCAN`` on the computed points for it.

    The partitions' trees and the bands' trees search for the ties of the whole tree as the
    one-process fit does (those that weigh a distance; all of them where the lists show equal
    distances or equal points), and the client keeps those the whole tree confirms
    (docs/distributed.md).

    Attributes
    ----------
    labels_, probabilities_ : dask.array.Array, shape (n,)
        Chunked as the rows of X, held on the workers.
    minimum_spanning_tree_ : MinimumSpanningTree
        Of dask arrays, as :func:`emst` gives them, under the mutual reachability.
    core_distances_, single_linkage_tree_, condensed_tree_, cluster_persistence_ : ndarray
        As ``quorlkit.HDBSCAN``'s, on the client.
    """

    def __init__(
        self,
        min_cluster_size: int = 5,
        min_samples: int | None = None,
        cluster_selection_epsilon: float = 0.0,
        max_cluster_size: int | None = None,
        alpha: float = 1.0,
        cluster_selection_method: str = "eom",
        allow_single_cluster: bool = False,
        workers: int | None = None,
        verbose: int = 0,
        partitions: int | None = None,
    ) -> None:
        super().__init__(
            min_cluster_size=min_cluster_size, min_samples=min_samples,
            cluster_selection_epsilon=cluster_selection_epsilon,
            max_cluster_size=max_cluster_size, alpha=alpha,
            cluster_selection_method=cluster_selection_method,
            allow_single_cluster=allow_single_cluster, workers=workers, verbose=verbose,
        )
        self.partitions = partitions

    def fit(self, X: Any, y: Any = None, **kwargs: Any) -> HDBSCAN:  # type: ignore[override]
        """Cluster the rows of the dask array X; returns self."""
        mcs, min_samples, epsilon, max_size, alpha, method, single = self._checked_params()
        given = _prepare(X)
        sample, left_out = _check(given, skip=True)
        pts, fit_rows, bad = _usable(given, left_out)
        n = pts.n
        if n < 2:
            without = "" if bad is None else " without inf or NaN"
            raise ValueError(f"X has {n} rows{without}; HDBSCAN needs at least 2")
        if n > np.iinfo(np.int32).max:
            raise ValueError(
                f"X has {n} rows; HDBSCAN condenses on the client, which takes at most "
                "2147483647 points"
            )
        if min_samples > n:
            raise ValueError(
                f"min_samples ({min_samples}) must be at most the number of rows of X without "
                f"inf or NaN ({n})"
            )
        kc = min_samples - 1
        count = min(min_samples, n - 1)  # one beyond the core's neighbour, to see ties at it
        plan = _plan(sample, _partition_count(self.partitions, n))
        parts, locals_, asked, answers = _neighbour_rounds(pts, plan, count)
        (answers,) = dask.persist(answers)
        if _on_distributed():
            # Left to the scheduler, a worker ran its partitions' trees before another
            # partition's small answer, and that partition's worker sat idle for it (a second
            # of ten at 2*10^6 points); the answers are few and quick, so wait for them here.
            from distributed import wait

            wait([a for per_part in answers.values() for a in per_part])
        cored = [
            delayed(_cored, pure=True)(
                parts[p], locals_[p], count, kc, alpha, min_samples, asked[p], *answers[p])
            for p in range(plan.parts)
        ]
        (cored,) = dask.persist(cored)
        del parts, locals_, answers
        # Lists that show equal distances: the trees and the crossing rounds search for every
        # tie as they go. Otherwise they search only for ties that weigh a length, which no
        # list shows; the pairs from the lists are then all the ties that weigh a core.
        (shown,) = dask.compute([delayed(_shows_ties, pure=True)(c) for c in cored])
        early = any(shown)
        search = True if early else "lengths"
        (trees,) = dask.persist([delayed(_cored_tree, pure=True)(c, search) for c in cored])
        edge_parts, length_parts, decided, cross_found, crossing = _tree_rounds(
            trees, plan, len(pts.blocks), alpha, search)
        tree_parts, (held, found, decided, crossing) = _persist_tree(
            edge_parts, length_parts,
            [delayed(_held, pure=True)(c, t) for c, t in zip(cored, trees)],
            [delayed(_found, pure=True)(t) for t in trees] + cross_found, decided, crossing,
        )
        del trees, cross_found
        self.minimum_spanning_tree_ = _tree_arrays(*tree_parts)
        edges, lengths, held, found, decided, crossing = dask.compute(
            self.minimum_spanning_tree_.edges, self.minimum_spanning_tree_.lengths, held, found,
            decided, crossing,
        )
        core = np.empty(n)
        for h in held:
            core[h["idx"]] = h["core"]
        sole = _core.sole_cores(core, edges, lengths)
        if not early:
            length_ties, length_weights = _length_ties(edges, lengths, core, found, *decided,
                                                       crossing)
            # The pairs that weigh a core, but where no tie weighs a length, those of the cores
            # whose ties no linkage needs (most of them: README, HDBSCAN), left out by the
            # partitions before they send the rest, while the client orders the points.
            leave = sole if len(length_ties) == 0 else np.zeros_like(sole)
            marks = _sent([leave[h["idx"]].view(bool) for h in held])
            ties = _started([delayed(_ties, pure=True)(c, m) for c, m in zip(cored, marks)])
            del marks
        order = np.concatenate([h["order"] for h in held]).astype(np.int32)
        rank = np.empty(n, np.int32)
        rank[order] = np.arange(n, dtype=np.int32)
        twin = None
        if early:
            # Every tie, searched for on each partition and between each pair of bands as the
            # one-process fit searches for them, and kept where the whole tree says so.
            cored_ties, length_ties, length_weights, twin = _tree_ties(edges, lengths, core, found)
            tie_pairs = rank[cored_ties]
            if twin is not None:
                twin = rank[twin[order]]  # positions in `order`, as the ties
        else:
            tie_pairs = rank[np.concatenate(_taken(ties))]
            del ties
        length_ties = rank[length_ties]
        del cored, found, decided, crossing, rank
        # Prim's replay over the points in partition order, each partition in its tree's order:
        # what each step looks at lies close together in memory. Then scikit-learn's merge
        # order (NumPy's default argsort of Prim's weights), the linkage, condensing and
        # selection, as the one-process fit takes them, on the client's `workers` threads.
        (z, records, labels, probabilities, clusters, persistence,
         stability) = _core.hdbscan_of_tree(core, edges, lengths, tie_pairs, order,
                                            core_threads(self.workers), mcs, method, single,
                                            epsilon, max_size, np.argsort, sole=sole,
                                            length_ties=length_ties,
                                            length_weights=length_weights, twin=twin)
        tree = records.view(_cluster.CONDENSED_TREE_DTYPE)  # written by the core in this layout
        labels, probabilities = np.asarray(labels), np.asarray(probabilities)
        if bad is not None:
            labels, probabilities = _hierarchy.every_row(
                given.n, fit_rows, labels, probabilities, *bad)
        self.__dict__.pop("_outlier_scores", None)  # the scores of an earlier fit
        self._chunks = chunks = tuple(_block_rows(given))
        self._labels = labels
        self.labels_ = _scattered(labels, chunks).persist()
        self.probabilities_ = _scattered(probabilities, chunks).persist()
        self.core_distances_ = core
        self.single_linkage_tree_ = z
        self.condensed_tree_ = tree
        self.cluster_persistence_ = persistence
        self.n_features_in_ = pts.d
        self._cluster_ids = clusters
        self._stability = stability
        self._min_samples = min_samples
        self._rows_fitted = fit_rows
        return self

    def _labels_here(self) -> npt.NDArray[np.int64]:
        return self._labels

    def _per_row(self, values: npt.NDArray[Any]) -> Any:
        return _scattered(np.asarray(values), self._chunks).persist()

    def approximate_predict(self, points: Any) -> Any:
        """Not offered: it needs the fitted points in one process."""
        raise NotImplementedError(
            "quorlkit.dask.HDBSCAN keeps no points on the client; for approximate_predict, fit "
            "quorlkit.HDBSCAN on X.compute()"
        )

    def fit_predict(self, X: Any, y: Any = None) -> Any:  # type: ignore[override]
        """Cluster the rows of X and return ``labels_``."""
        return self.fit(X).labels_
