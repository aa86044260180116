"""Pictures of 2-D decompositions and spanning trees, drawn with matplotlib (imported only when
drawing)."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from ._decomposition import Decomposition
from ._mst import MinimumSpanningTree

__all__ = ["draw_clusters", "draw_emst", "draw_pairs", "largest_pairs", "view_limits"]

# The axes' width : height stays within these bounds, so that a line of points still gets a
# picture one can read; inside them it is the data's own.
MAX_RATIO = 4.0
# The longer side of the axes, in inches.
LONG_SIDE = 7.0
MARGIN = 0.025
GRAY = "0.6"


def largest_pairs(dec: Decomposition, k: int) -> npt.NDArray[np.intp]:
    """The ids of the ``k`` pairs with the most index entries, largest first.

    Pairs of the same size keep their order in ``dec.pairs``, so the choice is reproducible.

    Examples
    --------
    >>> import quorlkit
    >>> from quorlkit._plot import largest_pairs
    >>> largest_pairs(quorlkit.decompose([[0.0], [1.0], [3.0]], 1.0), 5).tolist()
    [1, 0]
    """
    sizes = dec.node_size[dec.pairs].sum(axis=1, dtype=np.int64)
    return np.argsort(-sizes, kind="stable")[: max(k, 0)]


def view_limits(pts: npt.NDArray[np.float64]) -> tuple[tuple[float, float], tuple[float, float]]:
    """The x and y limits of a picture of ``pts`` at equal scale on both axes.

    The data's bounding box with a margin of ``MARGIN`` times its longer side all round,
    widened in the short direction only as far as needed to keep the ratio of the sides within
    ``MAX_RATIO``. One point, or equal points, get a square around them as wide as their
    distance from the origin (at least 1).

    Examples
    --------
    >>> import numpy as np
    >>> from quorlkit._plot import view_limits
    >>> (x0, x1), (y0, y1) = view_limits(np.array([[0.0, 0.0], [4.0, 1.0]]))
    >>> [round(v, 9) for v in (x0, x1, y0, y1)]
    [-0.1, 4.1, -0.1, 1.1]
    """
    lo, hi = pts.min(axis=0), pts.max(axis=0)
    center = (lo + hi) / 2
    half = (hi - lo) / 2
    if not half.any():
        half = np.full_like(half, max(1.0, float(np.abs(center).max())) / 2)
    longest = float(half.max())
    half = np.maximum(half, longest / MAX_RATIO) + MARGIN * 2 * longest
    (x0, y0), (x1, y1) = center - half, center + half
    return (float(x0), float(x1)), (float(y0), float(y1))


def _axes(
    pts: npt.NDArray[np.float64], title: list[str], bar: bool = False
) -> tuple[Any, Any, bool]:
    """A figure whose shape follows the data's extent, its one axes with limits set, and
    whether a colour bar, if ``bar``, goes below the axes (else to their right)."""
    # Figure and the Agg canvas directly, not pyplot: no global backend or figure registry is
    # touched in the caller's process.
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    (x0, x1), (y0, y1) = view_limits(pts)
    ratio = (x1 - x0) / (y1 - y0)
    w, h = (LONG_SIDE, LONG_SIDE / ratio) if ratio >= 1 else (LONG_SIDE * ratio, LONG_SIDE)
    below = bar and ratio > 1.6
    # Room for the ticks, the title and the bar; the saved picture is then cropped to what is
    # drawn.
    extra_w, extra_h = 1.0 + (0.9 if bar and not below else 0), 0.8 + (0.7 if below else 0)
    fig = Figure(figsize=(w + extra_w, h + extra_h), dpi=120, layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    ax.set_xlim(x0, x1)
    ax.set_ylim(y0, y1)
    ax.set_aspect("equal", adjustable="box")
    ax.set_title(_lines(title, int(w / 0.08)), fontsize=10)
    ax.tick_params(labelsize=8)
    return fig, ax, below


def _lines(parts: list[str], width: int) -> str:
    """The parts joined by ", " into lines of at most ``width`` characters where they fit,
    so that the title of a tall, narrow picture does not set the picture's width."""
    lines = [parts[0]]
    for part in parts[1:]:
        if len(lines[-1]) + 2 + len(part) <= width:
            lines[-1] += ", " + part
        else:
            lines.append(part)
    return "\n".join(lines)


def _marker_area(n: int) -> float:
    # Fewer, larger points when sparse; a dense cloud must not become one blot.
    return min(12.0, max(0.3, 100.0 / math.sqrt(max(n, 1))))


def _save(fig: Any, out: Any) -> None:
    fig.savefig(out, format="png", bbox_inches="tight", pad_inches=0.08)


def draw_pairs(dec: Decomposition, points: npt.ArrayLike, out: Any, k: int = 10) -> Any:
    """Draw 2-D points and the ``k`` largest pairs of their decomposition to a PNG file.

    Each drawn pair gets its own colour, given to the points of both its sides, to a light
    outline of each side's bounding box and to the segment between the two node centers. The
    other points stay gray. Where chosen pairs share points, the larger pair is drawn on top.

    Parameters
    ----------
    dec : Decomposition
        The decomposition of ``points``, with ``dec.d == 2``.
    points : array_like, shape (n, 2)
    out : str or file object
        Where the PNG goes.
    k : int
        How many pairs to draw, chosen by :func:`largest_pairs`.

    Returns
    -------
    matplotlib.figure.Figure
        The figure, already saved.
    """
    from matplotlib.patches import Rectangle

    if dec.d != 2:
        raise ValueError(f"draw_pairs draws 2-D points, not d = {dec.d}")
    pts = np.asarray(points, dtype=np.float64)
    chosen = largest_pairs(dec, k)
    shown = f"the {len(chosen)} largest" if len(chosen) < len(dec) else "all"
    fig, ax, _ = _axes(
        pts, [f"n = {dec.n}, s = {dec.s:g}", f"{len(dec)} well-separated pairs", f"{shown} drawn"]
    )
    area = _marker_area(dec.n)
    ax.scatter(pts[:, 0], pts[:, 1], s=area, color=GRAY, linewidths=0, zorder=1)
    colours = _colours(len(chosen))
    # Smallest first, so that each pair is drawn over those after it in the ranking.
    for rank in range(len(chosen) - 1, -1, -1):
        colour = colours[rank]
        nodes = dec.pairs[chosen[rank]]
        z = 2 + 3 * (len(chosen) - rank)
        for node in nodes:
            side = pts[dec.order[dec.node_start[node] : dec.node_start[node] + dec.node_size[node]]]
            lo, hi = side.min(axis=0), side.max(axis=0)
            # Outlines only: fills of boxes that several chosen pairs share would mix to mud.
            ax.add_patch(
                Rectangle(lo, *(hi - lo), fill=False, edgecolor=colour, alpha=0.7, lw=0.9, zorder=z)
            )
            ax.scatter(
                side[:, 0], side[:, 1], s=2 * area, color=colour, linewidths=0, zorder=z + 1
            )
        centers = dec.node_center[nodes]
        ax.plot(
            centers[:, 0], centers[:, 1], "-o", color=colour, lw=1.3, ms=3.5,
            markeredgecolor="white", markeredgewidth=0.6, zorder=z + 2,
        )
    _save(fig, out)
    return fig


def draw_emst(tree: MinimumSpanningTree, points: npt.ArrayLike, out: Any) -> Any:
    """Draw 2-D points and their minimum spanning tree to a PNG file.

    Each edge is a segment coloured by its length on a logarithmic scale, so that the short
    edges inside dense parts and the long ones between them both show; a colour bar gives the
    lengths.

    Parameters
    ----------
    tree : MinimumSpanningTree
        The tree of ``points``, as :func:`quorlkit.emst` returns it.
    points : array_like, shape (n, 2)
    out : str or file object
        Where the PNG goes.

    Returns
    -------
    matplotlib.figure.Figure
        The figure, already saved.
    """
    from matplotlib.collections import LineCollection
    from matplotlib.colors import LogNorm

    pts = np.asarray(points, dtype=np.float64)
    if pts.ndim != 2 or pts.shape[1] != 2:
        raise ValueError(f"draw_emst draws 2-D points, not points of shape {pts.shape}")
    n = pts.shape[0]
    lengths = np.asarray(tree.lengths, dtype=np.float64)
    total = math.fsum(lengths.tolist())
    longest = float(lengths.max()) if len(lengths) else 0.0
    fig, ax, below = _axes(
        pts,
        [f"n = {n}", f"minimum spanning tree of {len(lengths)} edges", f"length {total:.6g}"],
        bar=longest > 0,
    )
    # Over the edges: each point is an end of some edge, and would otherwise be hidden.
    ax.scatter(pts[:, 0], pts[:, 1], s=0.7 * _marker_area(n), color="0.15", linewidths=0, zorder=3)
    if longest > 0:
        # Zero-length edges (equal points) and the shortest would stretch a log scale without
        # end: clip below at a ten-thousandth of the longest edge.
        positive = lengths[lengths > 0]
        floor = max(float(positive.min()), longest * 1e-4)
        norm = LogNorm(floor, longest, clip=True)
        segments: Any = pts[tree.edges]  # shape (n - 1, 2, 2), which LineCollection takes
        # Edges come shortest first, so the few long ones are drawn over the many short ones.
        lines = LineCollection(
            segments, array=np.maximum(lengths, floor), cmap="plasma_r", norm=norm,
            linewidths=max(0.7, min(1.6, 30.0 / math.sqrt(n))), zorder=2,
        )
        ax.add_collection(lines, autolim=False)
        bar = fig.colorbar(
            lines, ax=ax, location="bottom" if below else "right",
            shrink=0.6 if below else 0.8, aspect=40 if below else 30, pad=0.02,
        )
        bar.set_label("edge length", fontsize=8)
        bar.ax.tick_params(labelsize=8)
    _save(fig, out)
    return fig


def _colours(k: int) -> list[Any]:
    from matplotlib import colormaps

    # Qualitative maps keep neighbouring pairs apart; past 18 pairs, spread over a wide map.
    # Their grays would pass for the points outside every drawn pair: black, or left out.
    if k <= 10:
        return ["black" if i == 7 else colormaps["tab10"](i) for i in range(k)]
    if k <= 18:
        return [colormaps["tab20"](i) for i in range(20) if i not in (14, 15)][:k]
    return [colormaps["turbo"](x) for x in np.linspace(0.05, 0.95, k)]


def _icicle_layout(
    tree: Any,
) -> list[tuple[int, float, float, float, npt.NDArray[np.float64], npt.NDArray[np.float64]]]:
    """The bars of an icicle plot of a condensed tree, parents before children.

    Each cluster gets a span of the x axis as wide as its size at birth, its children side by
    side in the middle of it (the points that fall out of it beforehand take the rest). Returns
    per cluster: (id, center, birth lambda, death lambda, the lambdas at which its width drops,
    the widths from each of them on).
    """
    parent = np.asarray(tree["parent"], dtype=np.int64)
    child = np.asarray(tree["child"], dtype=np.int64)
    lam = np.asarray(tree["lambda_val"], dtype=np.float64)
    size = np.asarray(tree["child_size"], dtype=np.int64)
    root = int(parent.min())
    finite = lam[np.isfinite(lam)]
    # Equal points fall out at infinite lambda: drawn a little below the largest finite one.
    deepest = float(finite.max()) * 1.05 if finite.size and finite.max() > 0 else 1.0
    lam = np.where(np.isfinite(lam), lam, deepest)
    is_cluster = child >= root
    children: dict[int, list[int]] = {}
    birth = {root: 0.0}
    width = {root: float(root)}  # the root holds all n points, and its id is n
    for p, c, l, s in zip(parent[is_cluster], child[is_cluster], lam[is_cluster], size[is_cluster]):
        children.setdefault(int(p), []).append(int(c))
        birth[int(c)] = float(l)
        width[int(c)] = float(s)
    bars = []
    start = {root: 0.0}
    order = [root]
    for c in order:  # breadth first: each cluster after its parent
        kids = sorted(children.get(c, []))
        left = start[c] + (width[c] - sum(width[k] for k in kids)) / 2
        for k in kids:
            start[k] = left
            left += width[k]
            order.append(k)
        rows = parent == c
        # The width drops by each row leaving the cluster: a point, or at the end its children.
        drops = lam[rows]
        sizes = size[rows].astype(np.float64)
        sort = np.argsort(drops, kind="stable")
        drops, sizes = drops[sort], sizes[sort]
        death = float(drops.max()) if drops.size else birth[c]
        steps = np.concatenate([[birth[c]], drops])
        widths = width[c] - np.concatenate([[0.0], np.cumsum(sizes)])
        bars.append((c, start[c] + width[c] / 2, birth[c], death, steps, widths))
    return bars


def draw_clusters(
    points: npt.ArrayLike, labels: npt.ArrayLike, condensed_tree: Any, out: Any
) -> Any:
    """Draw 2-D points coloured by cluster beside the condensed tree as an icicle plot, to a PNG.

    Left, each cluster's points in its own colour and noise in gray. Right, every cluster of the
    condensed tree as a bar hanging from the lambda (1 / distance) of its birth to that of its
    death, as wide as the number of points still in it; the selected clusters in their colours.
    Without a condensed tree (DBSCAN), the points alone.

    Parameters
    ----------
    points : array_like, shape (n, 2)
    labels : array_like of int, shape (n,)
        Noise -1; rows labelled below -1 (non-finite points) are not drawn.
    condensed_tree : structured array or None
        Fields parent, child, lambda_val, child_size, over the finite rows of ``points`` in order
        (see :mod:`quorlkit._hierarchy`).
    out : str or file object
        Where the PNG goes.

    Returns
    -------
    matplotlib.figure.Figure
        The figure, already saved.
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    from ._hierarchy import selected_clusters

    pts = np.asarray(points, dtype=np.float64)
    lab = np.asarray(labels, dtype=np.int64)
    if pts.ndim != 2 or pts.shape[1] != 2:
        raise ValueError(f"draw_clusters draws 2-D points, not points of shape {pts.shape}")
    if lab.shape != (pts.shape[0],):
        raise ValueError(f"labels must have shape ({pts.shape[0]},), not {lab.shape}")
    finite = np.isfinite(pts).all(axis=1)
    count = int(lab.max()) + 1 if lab.size else 0
    colours = _colours(count)
    if condensed_tree is None:
        fig = Figure(figsize=(6.8, 6.2), dpi=120, layout="constrained")
        FigureCanvasAgg(fig)
        ax = fig.subplots(1, 1)
    else:
        tree = np.asarray(condensed_tree)
        try:
            chosen = selected_clusters(tree, lab[finite]).tolist()
        except ValueError:
            chosen = []  # labels of another tree, say: draw the tree without its selection
        fig = Figure(figsize=(13.0, 6.2), dpi=120, layout="constrained")
        FigureCanvasAgg(fig)
        ax, icicle = fig.subplots(1, 2, width_ratios=[1.0, 1.0])
    shown = pts[finite]
    if shown.shape[0]:
        (x0, x1), (y0, y1) = view_limits(shown)
        ax.set_xlim(x0, x1)
        ax.set_ylim(y0, y1)
    ax.set_aspect("equal", adjustable="box")
    area = _marker_area(int(finite.sum()))
    noise = finite & (lab == -1)
    ax.scatter(pts[noise, 0], pts[noise, 1], s=area, color=GRAY, linewidths=0, zorder=1)
    for k in range(count):
        mine = finite & (lab == k)
        ax.scatter(
            pts[mine, 0], pts[mine, 1], s=1.5 * area, color=colours[k], linewidths=0, zorder=2
        )
    ax.set_title(
        f"n = {pts.shape[0]}, {count} clusters, {int(noise.sum())} noise points", fontsize=10
    )
    ax.tick_params(labelsize=8)
    if condensed_tree is None:
        _save(fig, out)
        return fig

    bars = _icicle_layout(tree)
    for c, center, birth, death, steps, widths in bars:
        colour = colours[chosen.index(c)] if c in chosen else "#8a9bb0"
        ys = np.concatenate([steps, [death]])
        ws = np.concatenate([widths, [widths[-1]]])
        icicle.fill_betweenx(
            ys, center - ws / 2, center + ws / 2, step="post", color=colour, linewidth=0,
            alpha=0.95 if c in chosen else 0.6,
        )
    # A thin line joins the children of each split, at the lambda of the split.
    centers = {c: (center, birth) for c, center, birth, *_ in bars}
    by_parent: dict[int, list[int]] = {}
    cl = tree[tree["child"] >= int(tree["parent"].min())]
    for p, c in zip(cl["parent"].tolist(), cl["child"].tolist()):
        by_parent.setdefault(p, []).append(c)
    for kids in by_parent.values():
        xs = [centers[k][0] for k in kids]
        icicle.plot([min(xs), max(xs)], [centers[kids[0]][1]] * 2, color="0.3", lw=0.8)
    deepest = max(float(np.max(steps)) for *_, steps, _ in bars) if bars else 1.0
    icicle.set_ylim(deepest * 1.02 if deepest > 0 else 1.0, 0.0)
    icicle.set_xlim(0, bars[0][1] * 2 if bars else 1)
    icicle.set_xticks([])
    icicle.set_ylabel("λ = 1 / distance", fontsize=9)
    icicle.set_title(
        f"condensed tree: {len(bars)} clusters, bar width = points in the cluster", fontsize=10
    )
    icicle.tick_params(labelsize=8)
    _save(fig, out)
    return fig
