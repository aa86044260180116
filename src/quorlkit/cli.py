"""The ``quorl`` command: decompose a file of points, find its minimum spanning tree, its nearest
neighbours or a spanner, cluster it, draw the pairs, the tree or the clusters, or run a demo.

``main(argv)`` returns the exit status: 0 on success, 2 for a refused input or a usage error
(one line on stderr beginning ``quorl: ``), 1 when stdout was closed early.
"""

from __future__ import annotations

import argparse
import functools
import json
import math
import os
import re
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, NoReturn

import numpy as np
import numpy.typing as npt

from ._decomposition import Decomposition, decompose
from ._mst import MinimumSpanningTree, emst
from ._neighbors import knn
from ._progress import Bar
from ._reading import FILES_HINT, PointFileError, read_points
from ._spanner import spanner

__all__ = ["main"]

PLOT_HINT = "pip install 'quorl[plot]'"
DEFAULT_PAIRS = 10


# The progress bar of the running command, when it shows one.
_bar: Bar | None = None


class CliError(Exception):
    """A refused input or argument; main() prints it on one line and exits with status 2."""


class _Parser(argparse.ArgumentParser):
    """Reports usage errors on one line, like every other error of the command."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"quorl: {message} (see '{self.prog} --help')\n")


# --- reading points -------------------------------------------------------------------------


def _read_points(
    path: str, columns: list[str] | None = None
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64] | None]:
    """read_points(path, columns), with its refusals as CliError."""
    try:
        return read_points(path, columns, progress=_bar)
    except PointFileError as err:
        raise CliError(str(err)) from None


def _with_lines(message: str, lines: npt.NDArray[np.int64] | None) -> str:
    """The message of decompose() or emst(), with the line numbers of the positions it names."""
    match = re.search(r"\bpositions? (\d+)(?: and (\d+))?", message)
    if lines is None or match is None:
        return message
    found = [int(lines[int(g)]) for g in match.groups() if g is not None and int(g) < len(lines)]
    if not found:
        return message
    label = "line" if len(found) == 1 else "lines"
    return f"{message} ({label} {' and '.join(map(str, found))})"


# --- decomposing and reporting --------------------------------------------------------------


def _decompose(
    points: npt.NDArray[Any], s: float, name: str, lines: npt.NDArray[np.int64] | None = None
) -> tuple[Decomposition, float]:
    start = time.perf_counter()
    try:
        dec = decompose(points, s, progress=_bar)
    except (ValueError, TypeError) as err:
        raise CliError(f"{name}: {_with_lines(str(err), lines)}") from None
    return dec, time.perf_counter() - start


def _summary(dec: Decomposition, seconds: float) -> str:
    """The ``key: value`` lines that ``quorl decompose`` prints by default."""
    return (
        f"n: {dec.n}\nd: {dec.d}\ns: {dec.s!r}\npairs: {len(dec)}\n"
        f"entries: {dec.num_entries}\ndepth: {dec.depth}\nseconds: {seconds:.6f}\n"
    )


def _emst(
    points: npt.NDArray[Any], name: str, lines: npt.NDArray[np.int64] | None = None
) -> tuple[MinimumSpanningTree, float]:
    start = time.perf_counter()
    try:
        tree = emst(points, progress=_bar)
    except (ValueError, TypeError) as err:
        raise CliError(f"{name}: {_with_lines(str(err), lines)}") from None
    return tree, time.perf_counter() - start


def _emst_summary(tree: MinimumSpanningTree, d: int, seconds: float) -> str:
    """The ``key: value`` lines that ``quorl emst`` prints by default."""
    lengths = tree.lengths.tolist()
    # fsum: the total correctly rounded, whatever the order and number of edges.
    total, longest = math.fsum(lengths), max(lengths, default=0.0)
    return (
        f"n: {len(lengths) + 1}\nd: {d}\nedges: {len(lengths)}\ntotal length: {total!r}\n"
        f"longest edge: {longest!r}\nseconds: {seconds:.6f}\n"
    )


def _batched(rows: Iterator[str], size: int = 4096) -> Iterator[str]:
    """Rows joined in batches: one write per row would cost more than making the rows."""
    batch: list[str] = []
    for row in rows:
        batch.append(row)
        if len(batch) == size:
            yield "".join(batch)
            batch.clear()
    if batch:
        yield "".join(batch)


def _edges_csv(
    edges: npt.NDArray[Any], lengths: npt.NDArray[Any], column: str = "length"
) -> Iterator[str]:
    yield f"i,j,{column}\n"
    # repr: the shortest decimal that reads back as the same float.
    rows = zip(edges.tolist(), lengths.tolist())
    yield from _batched(f"{i},{j},{length!r}\n" for (i, j), length in rows)


def _edges_json(
    head: str, edges: npt.NDArray[Any], lengths: npt.NDArray[Any], column: str = "lengths"
) -> Iterator[str]:
    """One JSON object: the fields in `head`, then one edge and one length per line, written
    as it is made."""
    yield f'{{{head},\n"edges":['
    yield from _batched(
        ("\n" if k == 0 else ",\n") + f"[{i},{j}]" for k, (i, j) in enumerate(edges.tolist())
    )
    yield f'],\n"{column}":['
    # json's floats are repr's, which read back exactly; the lengths are always finite.
    yield from _batched(
        ("\n" if k == 0 else ",\n") + json.dumps(x) for k, x in enumerate(lengths.tolist())
    )
    yield "]}\n"


def _emst_json(tree: MinimumSpanningTree, d: int) -> Iterator[str]:
    n = tree.edges.shape[0] + 1
    return _edges_json(f'"n":{n},"d":{d}', tree.edges, tree.lengths)


def _pairs_json(dec: Decomposition) -> Iterator[str]:
    """One JSON array, one pair per line: easy to page through and to diff, and written as it
    is made rather than held in one string."""
    pairs = dec.to_lists()
    if not pairs:
        yield "[]\n"
        return
    yield "["
    for i, pair in enumerate(pairs):
        yield ("\n" if i == 0 else ",\n") + json.dumps(pair, separators=(",", ":"))
    yield "\n]\n"


def _write_npz(dec: Decomposition, out: str) -> None:
    # Through an open file: given a name, numpy.savez would append ".npz" to it.
    with open(out, "wb") as f:
        np.savez(
            f,
            order=dec.order,
            node_start=dec.node_start,
            node_size=dec.node_size,
            node_center=dec.node_center,
            node_radius=dec.node_radius,
            pairs=dec.pairs,
            n=np.int64(dec.n),
            d=np.int64(dec.d),
            s=np.float64(dec.s),
        )


def _write_emst_npz(tree: MinimumSpanningTree, d: int, out: str) -> None:
    with open(out, "wb") as f:
        np.savez(
            f, edges=tree.edges, lengths=tree.lengths,
            n=np.int64(tree.edges.shape[0] + 1), d=np.int64(d),
        )


def _emit(chunks: Iterable[str], out: str | None) -> None:
    if out is None:
        sys.stdout.writelines(chunks)
        sys.stdout.flush()
        return
    with open(out, "w", encoding="utf-8") as f:
        f.writelines(chunks)


# --- plotting -------------------------------------------------------------------------------


def _require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError as err:
        raise CliError(f"plotting needs matplotlib ({err}); {PLOT_HINT}") from None


def _draw(picture: Callable[[], object], out: str) -> None:
    try:
        picture()
    except OSError as err:
        raise CliError(f"{out}: {err.strerror or err}") from None


def _draw_pairs(dec: Decomposition, points: npt.NDArray[Any], out: str, pairs: int) -> None:
    from . import _plot

    _draw(lambda: _plot.draw_pairs(dec, points, out, pairs), out)


# --- commands -------------------------------------------------------------------------------


def _write(output: str | None, write: Callable[[], None]) -> None:
    try:
        write()
    except BrokenPipeError:
        raise
    except OSError as err:
        raise CliError(f"{output or 'stdout'}: {err.strerror or err}") from None


def _cmd_decompose(args: argparse.Namespace) -> None:
    if args.format == "npz" and args.output is None:
        raise CliError("--format npz writes binary data: give a file with -o")
    points, lines = _read_points(args.file, args.columns)
    dec, seconds = _decompose(points, args.s, args.file, lines)
    if args.format == "npz":
        _write(args.output, lambda: _write_npz(dec, args.output))
    elif args.format == "json":
        _write(args.output, lambda: _emit(_pairs_json(dec), args.output))
    else:
        _write(args.output, lambda: _emit([_summary(dec, seconds)], args.output))


def _cmd_emst(args: argparse.Namespace) -> None:
    if args.format == "npz" and args.output is None:
        raise CliError("--format npz writes binary data: give a file with -o")
    points, lines = _read_points(args.file, args.columns)
    tree, seconds = _emst(points, args.file, lines)
    d = points.shape[1]
    if args.format == "npz":
        _write(args.output, lambda: _write_emst_npz(tree, d, args.output))
    elif args.format == "json":
        _write(args.output, lambda: _emit(_emst_json(tree, d), args.output))
    elif args.format == "csv":
        _write(args.output, lambda: _emit(_edges_csv(tree.edges, tree.lengths), args.output))
    else:
        _write(args.output, lambda: _emit([_emst_summary(tree, d, seconds)], args.output))


def _edge_format(args: argparse.Namespace) -> str:
    """--format, or else what OUT's extension names, or else csv."""
    if args.format is None:
        ext = os.path.splitext(args.output or "")[1].lower().lstrip(".")
        args.format = ext if ext in ("csv", "json", "npz") else "csv"
    if args.format == "npz" and args.output is None:
        raise CliError("--format npz writes binary data: give a file with -o")
    return str(args.format)


def _write_edges(
    args: argparse.Namespace, head: dict[str, Any], edges: npt.NDArray[Any],
    lengths: npt.NDArray[Any], column: str,
) -> None:
    if args.format == "npz":
        def write() -> None:
            with open(args.output, "wb") as f:
                np.savez(f, edges=edges, lengths=lengths, **head)

        _write(args.output, write)
    elif args.format == "json":
        fields = ",".join(f'"{key}":{json.dumps(value)}' for key, value in head.items())
        _write(args.output, lambda: _emit(_edges_json(fields, edges, lengths), args.output))
    else:
        _write(args.output, lambda: _emit(_edges_csv(edges, lengths, column), args.output))


def _cmd_knn(args: argparse.Namespace) -> None:
    _edge_format(args)
    points, lines = _read_points(args.file, args.columns)
    try:
        distances, indices = knn(points, args.k, progress=_bar)
    except (ValueError, TypeError) as err:
        raise CliError(f"{args.file}: {_with_lines(str(err), lines)}") from None
    n, k = indices.shape
    # Row i's neighbours in their order: the edge (i, j) for each, nearest first.
    edges = np.column_stack((np.repeat(np.arange(n, dtype=np.int64), k), indices.ravel()))
    head = {"n": n, "d": int(points.shape[1]), "k": k}
    _write_edges(args, head, edges, distances.ravel(), "distance")


def _cmd_spanner(args: argparse.Namespace) -> None:
    _edge_format(args)
    points, lines = _read_points(args.file, args.columns)
    try:
        graph = spanner(points, args.t, progress=_bar)
    except (ValueError, TypeError, MemoryError) as err:
        raise CliError(f"{args.file}: {_with_lines(str(err), lines)}") from None
    coo = graph.tocoo()
    upper = coo.row < coo.col
    edges = np.column_stack((coo.row[upper], coo.col[upper])).astype(np.int64)
    order = np.lexsort((edges[:, 1], edges[:, 0]))
    head = {"n": int(points.shape[0]), "d": int(points.shape[1]), "t": args.t}
    _write_edges(args, head, edges[order], coo.data[upper][order], "length")


def _cmd_plot(args: argparse.Namespace) -> None:
    _require_matplotlib()  # before reading what may be a large file
    points, lines = _read_points(args.file, args.columns)
    if points.shape[1] != 2:
        raise CliError(f"{args.file}: plot draws 2-D points; these have d = {points.shape[1]}")
    if args.emst:
        from . import _plot

        tree, _ = _emst(points, args.file, lines)
        _draw(lambda: _plot.draw_emst(tree, points, args.output), args.output)
    else:
        dec, _ = _decompose(points, args.s, args.file, lines)
        _draw_pairs(dec, points, args.output, args.pairs)


def _hdbscan_class() -> Any:
    import quorlkit

    cls = getattr(quorlkit, "HDBSCAN", None)
    if cls is None:
        raise CliError("cluster needs quorlkit.HDBSCAN, which this installation of quorl lacks")
    return cls


def _labels_csv(labels: npt.NDArray[Any]) -> Iterator[str]:
    yield "label\n"
    yield from _batched(f"{label}\n" for label in labels.tolist())


def _cmd_cluster(args: argparse.Namespace) -> None:
    if args.plot is not None:
        _require_matplotlib()  # before reading what may be a large file
    dbscan = args.dbscan is not None
    if dbscan:
        from ._dbscan import DBSCAN

        cls: Any = DBSCAN
    else:
        cls = _hdbscan_class()
    points, lines = _read_points(args.file, args.columns)
    if args.plot is not None and points.shape[1] != 2:
        raise CliError(
            f"{args.file}: --plot draws 2-D points; these have d = {points.shape[1]}"
        )
    if not dbscan and points.shape[0] < args.min_cluster_size:
        raise CliError(
            f"{args.file}: {points.shape[0]} points, fewer than --min-cluster-size "
            f"{args.min_cluster_size}"
        )
    if not dbscan and args.min_samples is not None and args.min_samples > points.shape[0]:
        raise CliError(
            f"{args.file}: {points.shape[0]} points, fewer than --min-samples {args.min_samples}"
        )
    try:
        if dbscan:
            model = cls(eps=args.dbscan, min_samples=args.min_samples or 5)
        else:
            model = cls(min_cluster_size=args.min_cluster_size, min_samples=args.min_samples)
        model.fit(points, progress=_bar)
    except (ValueError, TypeError) as err:
        raise CliError(f"{args.file}: {_with_lines(str(err), lines)}") from None
    labels = np.asarray(model.labels_)
    # The picture first: a refused picture then leaves no labels behind on stdout.
    if args.plot is not None:
        from . import _plot

        tree = None if dbscan else model.condensed_tree_
        _draw(lambda: _plot.draw_clusters(points, labels, tree, args.plot), args.plot)
    _write(args.output, lambda: _emit(_labels_csv(labels), args.output))


def _cmd_demo(args: argparse.Namespace) -> None:
    points = np.random.default_rng(args.seed).random((args.n, 2))
    dec, seconds = _decompose(points, args.s, "demo")
    _emit([_summary(dec, seconds)], None)
    out = args.output or "quorl-demo.png"
    try:
        _require_matplotlib()
    except CliError as err:
        if args.output is not None:
            raise  # a picture was asked for by name
        print(f"quorl: no picture: {err}", file=sys.stderr)
        return
    _draw_pairs(dec, points, out, args.pairs)
    _emit([f"picture: {out}\n"], None)


# --- arguments ------------------------------------------------------------------------------


def _separation(text: str) -> float:
    try:
        s = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not math.isfinite(s):
        raise argparse.ArgumentTypeError(f"must be finite, got {text!r}")
    return s


def _radius(text: str) -> float:
    r = _separation(text)
    if not r > 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {text!r}")
    return r


def _count(least: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}, got {value}")
        return value

    return parse


def _column_list(text: str) -> list[str]:
    columns = [c.strip() for c in text.split(",")]
    if "" in columns:
        raise argparse.ArgumentTypeError(
            f"expected column names or 0-based indices separated by commas, got {text!r}"
        )
    return columns


def _check_plot(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    """What argparse cannot say of plot: -s and --pairs belong to pairs, not to --emst."""
    if args.emst:
        options = (("-s/--separation", args.s), ("--pairs", args.pairs))
        given = [name for name, value in options if value is not None]
        if given:
            parser.error(f"argument {given[0]}: not allowed with --emst")
    elif args.s is None:
        parser.error("the following arguments are required: -s/--separation (or --emst)")
    elif args.pairs is None:
        args.pairs = DEFAULT_PAIRS


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quorl",
        description="Well-separated pair decompositions of points from a file.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def separation(
        p: argparse.ArgumentParser, default: float | None = None, required: bool = True,
        note: str = "",
    ) -> None:
        p.add_argument(
            "-s", "--separation", dest="s", type=_separation, metavar="S",
            required=required and default is None, default=default,
            help="separation factor s, a finite number"
            + ("" if default is None else f" (default {default:g})") + note,
        )

    def pairs(
        p: argparse.ArgumentParser, default: int | None = DEFAULT_PAIRS, note: str = ""
    ) -> None:
        p.add_argument(
            "--pairs", type=_count(0), default=default, metavar="K",
            help=f"draw the K pairs with the most index entries (default {DEFAULT_PAIRS})"
            + note,
        )

    def quiet(p: argparse.ArgumentParser) -> None:
        p.add_argument(
            "-q", "--quiet", action="store_true",
            help="no progress bar (shown on a terminal once the work has run a second)",
        )

    def file_argument(p: argparse.ArgumentParser) -> None:
        p.add_argument("file", metavar="FILE")
        quiet(p)
        p.add_argument(
            "--columns", type=_column_list, metavar="C,...",
            help="the columns to take as coordinates, in this order: names (of a .csv header "
            "or a table) or 0-based indices (default: every column)",
        )

    files = (
        "FILE is .npy (shape (n, d)), .csv (optional header row), .txt (whitespace), or "
        f".parquet, .arrow or .feather (numeric columns; needs pyarrow: {FILES_HINT})."
    )
    p = commands.add_parser(
        "decompose", help="decompose the points of a file", description=files
    )
    file_argument(p)
    separation(p)
    p.add_argument(
        "--format", choices=("summary", "json", "npz"), default="summary",
        help="summary: key: value lines; json: the pair lists as build_quorl returns them; "
        "npz: the tree and pair arrays (needs -o)",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of stdout")
    p.set_defaults(run=_cmd_decompose)

    p = commands.add_parser(
        "emst", help="the Euclidean minimum spanning tree of the points of a file",
        description=files + " Equal points are allowed; their edges have length 0.",
    )
    file_argument(p)
    p.add_argument(
        "--format", choices=("summary", "csv", "json", "npz"), default="summary",
        help="summary: key: value lines; csv: i,j,length rows, one per edge; json: one object "
        "with n, d, edges and lengths; npz: the arrays edges, lengths, n, d (needs -o)",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of stdout")
    p.set_defaults(run=_cmd_emst)

    def edge_list(p: argparse.ArgumentParser, column: str, fields: str) -> None:
        p.add_argument(
            "--format", choices=("csv", "json", "npz"), default=None,
            help=f"csv: i,j,{column} rows, one per edge; json: one object with {fields}, edges "
            f"and lengths; npz: the arrays edges, lengths, {fields} (needs -o). Default: OUT's "
            "extension, else csv",
        )
        p.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of stdout")

    p = commands.add_parser(
        "knn", help="the k nearest neighbours of each point of a file, as an edge list",
        description=files + " Row i's neighbours come as edges (i, j), nearest first, ties "
        "by index; equal points are neighbours at distance 0.",
    )
    file_argument(p)
    p.add_argument("-k", type=_count(1), required=True, help="neighbours per point")
    edge_list(p, "distance", "n, d, k")
    p.set_defaults(run=_cmd_knn)

    p = commands.add_parser(
        "spanner", help="a sparse t-spanner of the points of a file, as an edge list",
        description=files + " Every two points are joined by a path at most t times their "
        "distance; each edge comes once, as (i, j) with i < j.",
    )
    file_argument(p)
    p.add_argument("-t", type=_separation, required=True, help="the stretch, above 1")
    edge_list(p, "length", "n, d, t")
    p.set_defaults(run=_cmd_spanner)

    p = commands.add_parser(
        "plot", help="draw 2-D points and their largest pairs, or their minimum spanning tree",
        description=files,
    )
    file_argument(p)
    separation(p, required=False, note="; needed unless --emst")
    p.add_argument("-o", "--output", metavar="OUT.png", required=True, help="the picture")
    # No default here, so that the check can tell whether --pairs was given.
    pairs(p, default=None, note="; not with --emst")
    p.add_argument(
        "--emst", action="store_true",
        help="draw the minimum spanning tree instead of pairs (then no -s)",
    )
    p.set_defaults(run=_cmd_plot, check=functools.partial(_check_plot, parser=p))

    p = commands.add_parser(
        "cluster", help="HDBSCAN* or DBSCAN labels of the points of a file, one per row",
        description=files + " Writes a CSV with a header row 'label' and then one label per "
        "input row, in input order (noise -1): HDBSCAN* with --min-cluster-size, DBSCAN "
        "(scikit-learn's labels) with --dbscan. --plot draws 2-D points by cluster, for "
        "HDBSCAN* beside the condensed tree as an icicle plot.",
    )
    file_argument(p)
    method = p.add_mutually_exclusive_group(required=True)
    method.add_argument(
        "--min-cluster-size", type=_count(2), metavar="K",
        help="HDBSCAN*: the fewest points of a cluster, at least 2",
    )
    method.add_argument(
        "--dbscan", type=_radius, metavar="EPS",
        help="DBSCAN with neighbourhoods of radius EPS (positive)",
    )
    p.add_argument(
        "--min-samples", type=_count(1), default=None, metavar="M",
        help="points within a core distance (HDBSCAN*, default K) or within EPS (DBSCAN, "
        "default 5), the point itself included",
    )
    p.add_argument(
        "-o", "--output", metavar="OUT", help="write the labels to OUT instead of stdout"
    )
    p.add_argument("--plot", metavar="OUT.png", help="also draw the clusters and the tree")
    p.set_defaults(run=_cmd_cluster)

    p = commands.add_parser(
        "demo",
        help="decompose seeded random points in the unit square and draw them",
        description="Decompose random points in the unit square, print the summary and "
        "draw the largest pairs to quorl-demo.png (or OUT.png).",
    )
    p.add_argument("-n", type=_count(1), default=300, help="number of points (default 300)")
    separation(p, default=2.0)
    p.add_argument("--seed", type=_count(0), default=1, help="random seed (default 1)")
    pairs(p)
    p.add_argument("-o", "--output", metavar="OUT.png", help="the picture")
    quiet(p)
    p.set_defaults(run=_cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``quorl`` command.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the program name (default ``sys.argv[1:]``).

    Returns
    -------
    int
        The exit status: 0 on success, 2 for a refused input or a usage error, 1 when
        stdout was closed before all output was written.
    """
    try:
        args = _parser().parse_args(argv)
        if hasattr(args, "check"):
            args.check(args)
    except SystemExit as stop:  # --help, or a usage error already reported
        return stop.code if isinstance(stop.code, int) else 2
    global _bar
    _bar = Bar() if not getattr(args, "quiet", False) and sys.stderr.isatty() else None
    try:
        args.run(args)
    except CliError as err:
        print(f"quorl: {err}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (say, `| head`): stop quietly, and keep Python from failing
        # again when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    finally:
        if _bar is not None:
            _bar.close()
            _bar = None
    return 0
