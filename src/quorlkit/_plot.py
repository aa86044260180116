"""Pictures of 2-D decompositions, drawn with matplotlib (imported only when drawing)."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from ._decomposition import Decomposition

__all__ = ["draw_pairs", "largest_pairs"]


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


def draw_pairs(dec: Decomposition, points: npt.ArrayLike, out: Any, k: int = 10) -> None:
    """Draw 2-D points and the ``k`` largest pairs of their decomposition to a PNG file.

    Each pair gets its own colour: the bounding circles of its two nodes (center
    ``node_center``, radius ``node_radius``) and the segment between their centers.

    Parameters
    ----------
    dec : Decomposition
        The decomposition of ``points``, with ``dec.d == 2``.
    points : array_like, shape (n, 2)
    out : str or file object
        Where the PNG goes.
    k : int
        How many pairs to draw, chosen by :func:`largest_pairs`.
    """
    # Figure and the Agg canvas directly, not pyplot: no global backend or figure registry is
    # touched in the caller's process.
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.patches import Circle

    if dec.d != 2:
        raise ValueError(f"draw_pairs draws 2-D points, not d = {dec.d}")
    pts = np.asarray(points, dtype=np.float64)
    chosen = largest_pairs(dec, k)

    fig = Figure(figsize=(6.4, 6.4), dpi=120, layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    # Points in gray so that every colour in the picture belongs to a pair.
    ax.scatter(pts[:, 0], pts[:, 1], s=6, color="0.35", linewidths=0, zorder=1)
    colours = _colours(len(chosen))
    for colour, pair in zip(colours, chosen):
        centers = dec.node_center[dec.pairs[pair]]
        for node, (x, y) in zip(dec.pairs[pair], centers):
            r = float(dec.node_radius[node])
            ax.add_patch(Circle((x, y), r, facecolor=colour, alpha=0.07, zorder=2))
            ax.add_patch(Circle((x, y), r, fill=False, edgecolor=colour, lw=1.4, zorder=3))
        ax.plot(centers[:, 0], centers[:, 1], "-o", color=colour, lw=1.4, ms=3, zorder=4)
    ax.set_aspect("equal")
    ax.autoscale_view()
    shown = f"the {len(chosen)} largest" if len(chosen) < len(dec) else "all"
    ax.set_title(
        f"n = {dec.n}, s = {dec.s:g}: {len(dec)} well-separated pairs ({shown} drawn)",
        fontsize=10,
    )
    fig.savefig(out, format="png")


def _colours(k: int) -> list[Any]:
    from matplotlib import colormaps

    # Qualitative maps keep neighbouring pairs apart; past 20 pairs, spread over a wide map.
    if k <= 10:
        return [colormaps["tab10"](i) for i in range(k)]
    if k <= 20:
        return [colormaps["tab20"](i) for i in range(k)]
    return [colormaps["turbo"](x) for x in np.linspace(0.05, 0.95, k)]
