"""Reading the points of a file for the ``quorl`` command.

``read_points(path)`` reads ``.npy``, ``.csv`` and ``.txt`` files, and with pyarrow ``.parquet``,
``.arrow`` and ``.feather`` files. Text files go through NumPy's C parser a block at a time; a block
it refuses, or any doubt about the rules below, sends the whole file to the exact reader built on
the ``csv`` module and ``float()``, which defines the rules and the messages. The C parser rounds
with the same function as ``float()``, so both give the same floats to the bit.
"""

from __future__ import annotations

import csv
import importlib
import io
import os
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import IO, Any

import numpy as np
import numpy.typing as npt

__all__ = ["EXTENSIONS", "FILES_HINT", "PointFileError", "read_points"]

EXTENSIONS = (".npy", ".csv", ".txt", ".parquet", ".arrow", ".feather")
FILES_HINT = "pip install 'quorl[files]'"
_ARROW_EXTENSIONS = (".parquet", ".arrow", ".feather")
_REAL_KINDS = "biuf"
_BOM = b"\xef\xbb\xbf"
# Big enough that the parser's fixed cost per call vanishes, small enough that a block's bytes,
# its text and its rows stay a few MB beside the result.
_BLOCK = 1 << 20
# The exact reader reports its progress every this many lines.
_TICK_LINES = 1 << 16

Progress = Callable[[float, str], None]
Points = npt.NDArray[np.float64]
Lines = npt.NDArray[np.int64]


class PointFileError(ValueError):
    """A file that cannot be read as points; the message names the file and, for a text file,
    the line."""


def read_points(
    path: str, columns: Sequence[str] | None = None, progress: Progress | None = None
) -> tuple[Points, Lines | None]:
    """The points of a file.

    Parameters
    ----------
    path : str
        The file. Its extension (in any case) says how to read it: ``.npy`` holds an array of
        shape (n, d); ``.csv`` holds comma-separated rows (UTF-8, optionally with a byte order
        mark), and a first non-blank row in which no cell is a number is taken as column names;
        ``.txt`` holds whitespace-separated rows, where ``#`` starts a comment. Blank lines are
        ignored in both text formats. ``.parquet``, ``.arrow`` and ``.feather`` (Arrow IPC) hold
        columns of integers or floats without nulls, and need pyarrow.
    columns : sequence of str, optional
        The columns to take as coordinates, in this order: column names (of a ``.csv`` header
        or of a table) or 0-based indices. Default: every column. Only these cells of a text
        file need to be numbers; every row still needs as many cells as the first.
    progress : callable, optional
        Called as ``progress(fraction, "reading")`` as the file is read, with fractions that
        never decrease, the last one 1.0 once the points are read.

    Returns
    -------
    points : numpy.ndarray of float64, shape (n, d), C-contiguous
    lines : numpy.ndarray of int64, shape (n,), or None
        For a text file, the line number (from 1) of each point, so that messages can name
        lines; None for the other formats.

    Raises
    ------
    PointFileError
        When the file cannot be read, has rows of different lengths, cells that are not
        numbers, nulls, columns that are not numbers or not there, or holds no points.
    """
    ext = os.path.splitext(path)[1].lower()
    if ext not in EXTENSIONS:
        shown = f"'{ext}'" if ext else "no extension"
        expected = ", ".join(EXTENSIONS[:-1]) + " or " + EXTENSIONS[-1]
        raise PointFileError(f"{path}: unknown file type ({shown}); expected {expected}")
    report = _Progress(progress)
    lines: Lines | None = None
    try:
        if ext == ".npy":
            points = _pick(path, _read_npy(path), columns, None)
        elif ext in _ARROW_EXTENSIONS:
            points = _read_table(path, ext, columns, report)
        else:
            points, lines = _read_text(path, ext == ".csv", columns, report)
    except OSError as err:
        raise PointFileError(f"{path}: {err.strerror or err}") from None
    except UnicodeDecodeError:
        raise PointFileError(f"{path}: not a UTF-8 text file") from None
    if points.shape[0] == 0:
        raise PointFileError(f"{path}: no points")
    report.finish()
    return points, lines


class _Progress:
    """The progress callback, kept from going back (the exact reader starts again from the top
    when the fast one gives up) and from reaching 1.0 before the end."""

    def __init__(self, callback: Progress | None) -> None:
        self.callback = callback
        self.last = 0.0

    def __call__(self, fraction: float) -> None:
        if self.callback is not None and self.last < fraction < 1.0:
            self.last = fraction
            self.callback(fraction, "reading")

    def finish(self) -> None:
        if self.callback is not None:
            self.callback(1.0, "reading")


def _fraction(done: int, size: int) -> float:
    return done / size if size > 0 else 0.0


# --- columns --------------------------------------------------------------------------------


def _column_indices(
    path: str, columns: Sequence[str] | None, names: Sequence[str] | None, d: int
) -> list[int]:
    """The 0-based indices of `columns` among d columns called `names` (None: unnamed)."""
    if columns is None:
        return list(range(d))
    picked = []
    for column in columns:
        if names is not None and column in names:
            picked.append(list(names).index(column))
        elif column.isascii() and column.isdigit():
            if int(column) >= d:
                raise PointFileError(
                    f"{path}: no column {int(column)}; there are {d}, numbered from 0"
                )
            picked.append(int(column))
        elif names is None:
            raise PointFileError(
                f"{path}: no column named {column!r}: the file names no columns, "
                "so give 0-based indices"
            )
        else:
            shown = ", ".join(map(repr, names))
            raise PointFileError(f"{path}: no column named {column!r}; the columns are {shown}")
    return picked


def _pick(
    path: str, arr: npt.NDArray[Any], columns: Sequence[str] | None, names: Sequence[str] | None
) -> Points:
    if columns is not None:
        arr = arr[:, _column_indices(path, columns, names, arr.shape[1])]
    return np.ascontiguousarray(arr, dtype=np.float64)


# --- .npy -----------------------------------------------------------------------------------


def _read_npy(path: str) -> npt.NDArray[Any]:
    with open(path, "rb") as f:
        # Without its magic prefix numpy takes a file for a pickle and says so, which misleads.
        if f.read(6) != b"\x93NUMPY":
            raise PointFileError(f"{path}: not a .npy file")
        f.seek(0)
        try:
            arr: npt.NDArray[Any] = np.load(f, allow_pickle=False)
        except (ValueError, EOFError) as err:
            raise PointFileError(f"{path}: cannot read this .npy file ({err})") from None
    if arr.dtype.kind not in _REAL_KINDS:
        raise PointFileError(f"{path}: expected real numbers, found an array of {arr.dtype}")
    if arr.ndim != 2:
        raise PointFileError(
            f"{path}: expected an array of shape (n, d), found shape {arr.shape}"
        )
    return arr


# --- .parquet, .arrow, .feather -------------------------------------------------------------


def _read_table(
    path: str, ext: str, columns: Sequence[str] | None, report: _Progress
) -> Points:
    # Opened here first so that a missing file is reported as for every other format.
    with open(path, "rb"):
        pass
    try:
        import pyarrow as pa
    except ImportError as err:
        raise PointFileError(
            f"{path}: reading {ext} files needs pyarrow ({err}); {FILES_HINT}"
        ) from None
    try:
        if ext == ".parquet":
            import pyarrow.parquet as pq

            parquet = pq.ParquetFile(path, memory_map=True)
            schema, n = parquet.schema_arrow, parquet.metadata.num_rows
            names = _table_columns(path, schema, columns)
            wanted = list(dict.fromkeys(names))
            # A row group at a time: the table is never whole in memory beside the points.
            groups: Iterable[Any] = (
                parquet.read_row_group(i, columns=wanted) for i in range(parquet.num_row_groups)
            )
        else:
            table = _arrow_table(pa, path)
            schema, n = table.schema, table.num_rows
            names = _table_columns(path, schema, columns)
            groups = [table]
        points = np.empty((n, len(names)), dtype=np.float64)
        start = 0
        for group in groups:
            for j, name in enumerate(names):
                at = start
                for chunk in group.column(name).chunks:
                    if chunk.null_count:
                        row = at + int(np.flatnonzero(chunk.is_null().to_numpy(False))[0])
                        raise PointFileError(f"{path} row {row}: column {name!r} is null")
                    points[at : at + len(chunk), j] = chunk.to_numpy()
                    at += len(chunk)
            start += group.num_rows
            report(_fraction(start, n))
    except (pa.ArrowException, OSError) as err:
        raise PointFileError(f"{path}: cannot read this {ext} file ({err})") from None
    return points


def _arrow_table(pa: Any, path: str) -> Any:
    """The table of an Arrow IPC file (which a Feather file of version 2 is) or stream,
    memory-mapped."""
    import pyarrow.feather

    try:
        return pyarrow.feather.read_table(path, memory_map=True)
    except pa.ArrowInvalid:
        pass
    try:
        with pa.memory_map(path) as source:
            return pa.ipc.open_stream(source).read_all()
    except pa.ArrowInvalid:
        raise PointFileError(f"{path}: not an Arrow IPC or Feather file") from None


def _table_columns(path: str, schema: Any, columns: Sequence[str] | None) -> list[str]:
    """The names of the columns to read, checked to hold integers or floats."""
    import pyarrow as pa

    names = list(schema.names)
    picked = [names[k] for k in _column_indices(path, columns, names, len(names))]
    for name in picked:
        kind = schema.field(name).type
        if not (pa.types.is_integer(kind) or pa.types.is_floating(kind)):
            raise PointFileError(f"{path}: column {name!r} holds {kind}, not numbers")
    return picked


# --- .csv and .txt: the fast reader ---------------------------------------------------------


def _read_text(
    path: str, csv_file: bool, columns: Sequence[str] | None, report: _Progress
) -> tuple[Points, Lines]:
    fast = _read_text_fast(path, csv_file, report)
    if fast is not None:
        points, lines, names = fast
        try:
            return _pick(path, points, columns, names), lines
        except PointFileError:
            pass  # the exact reader says so, after whatever it finds first
    return _read_text_exact(path, csv_file, columns, report)


def _load_c_parser() -> Callable[..., Any] | None:
    """The C function behind numpy.loadtxt, which reads a file-like object a block at a time;
    loadtxt hands it only files it opens itself, and reads any other input line by line."""
    for name in ("numpy._core._multiarray_umath", "numpy.core._multiarray_umath"):
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue
        parser: Callable[..., Any] | None = getattr(module, "_load_from_filelike", None)
        if parser is not None:
            return parser
    return None


_c_parser = _load_c_parser()


class _Text:
    """A block of text as the C parser reads a file: all of it at the first read."""

    def __init__(self, text: str) -> None:
        self.text = text

    def read(self, size: int = -1) -> str:
        text, self.text = self.text, ""
        return text


def _parse_block(text: str, csv_file: bool) -> npt.NDArray[np.float64]:
    """The rows of a block of whole lines, shape (rows, d). ValueError when NumPy refuses a
    cell or the rows differ in length."""
    global _c_parser
    delimiter, comment = (",", None) if csv_file else (None, "#")
    if _c_parser is not None:
        try:
            rows: npt.NDArray[np.float64] = _c_parser(
                _Text(text), delimiter=delimiter, comment=comment, quote=None,
                imaginary_unit="j", usecols=None, skiplines=0, max_rows=-1, converters=None,
                dtype=np.dtype(np.float64), encoding=None, filelike=True,
                byte_converters=False,
            )
            return rows
        except TypeError:
            _c_parser = None  # another numpy's signature: keep to the public function
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    if not lines:
        return np.empty((0, 1))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # "input contained no data": only blank lines
        return np.loadtxt(lines, delimiter=delimiter, comments=comment, quotechar=None, ndmin=2)


class _Defer(Exception):
    """The fast reader cannot vouch for this file: the exact reader must read it."""


def _read_text_fast(
    path: str, csv_file: bool, report: _Progress
) -> tuple[Points, Lines, list[str] | None] | None:
    """Every column of a text file, their names and the line of each row, exactly as
    _read_text_exact reads them; None when only the exact reader can tell.

    Each block of whole lines goes to NumPy's C parser, told not to quote and, for .csv, not to
    take '#' for a comment: it then splits lines as csv and str.split do (whitespace: the same
    characters), strips cells of the same whitespace and parses them with the function float()
    uses. It refuses everything else float() refuses, and more (underscores, non-ASCII digits,
    quotes, whitespace-only .csv lines), and so do lone carriage returns here: all of that is
    left to the exact reader. A row it gives comes from a line with a number, which the exact
    reader reads as a row too; when a block has fewer rows than lines, the rows are matched to
    the lines holding more than spaces, tabs and carriage returns (before any comment), which
    include every line the exact reader reads as a row, and the match must be one to one.
    """
    try:
        with open(path, "rb") as raw:
            size = os.fstat(raw.fileno()).st_size
            start, lineno, names, d = _text_start(raw, csv_file)
            raw.seek(start)
            points: Points | None = None
            filled = 0
            spans: list[tuple[int, int] | Lines] = []
            pending = b""
            while True:
                chunk = raw.read(_BLOCK)
                data = pending + chunk if pending else chunk
                if chunk:
                    cut = data.rfind(b"\n") + 1
                    if cut == 0:  # a line longer than a block
                        pending = data
                        continue
                    block, pending = data[:cut], data[cut:]
                else:
                    block, pending = data, b""
                if block:
                    rows, lines, count = _block_rows(block, csv_file)
                    if rows.shape[0]:
                        d = rows.shape[1] if d is None else d
                        if rows.shape[1] != d:
                            raise _Defer
                        if points is None:
                            # Room for the rows of the rest of the file at this block's density;
                            # grown or trimmed in place later.
                            guess = rows.shape[0] * max(size - start, 1) // len(block)
                            points = np.empty((guess + guess // 16 + 16, d))
                        if filled + rows.shape[0] > points.shape[0]:
                            grown = max(filled + rows.shape[0], points.shape[0] * 5 // 4)
                            points.resize((grown, d), refcheck=False)
                        points[filled : filled + rows.shape[0]] = rows
                        filled += rows.shape[0]
                        spans.append((lineno, count) if lines is None else lineno + lines)
                    lineno += count
                    report(_fraction(raw.tell(), size))
                if not chunk:
                    break
    except (_Defer, ValueError):  # UnicodeDecodeError included
        return None
    if points is None:
        return None  # no rows: the exact reader says what there is instead
    points.resize((filled, points.shape[1]), refcheck=False)
    return points, _line_numbers(spans, filled), names


def _text_start(raw: IO[bytes], csv_file: bool) -> tuple[int, int, list[str] | None, int | None]:
    """Where the rows begin: (byte offset, its line number, the column names of a .csv header
    or None, the number of cells of the first row or None when not known yet)."""
    bom = raw.read(3) == _BOM
    raw.seek(3 if bom else 0)
    if not csv_file:
        return raw.tell(), 1, None, None
    offsets = []

    def lines() -> Iterator[str]:
        while True:
            offsets.append(raw.tell())
            line = raw.readline()
            if not line:
                return
            if b"\r" in (line[:-2] if line.endswith(b"\r\n") else line):
                raise _Defer  # a lone carriage return ends a line for the exact reader
            yield line.decode("utf-8")

    reader = csv.reader(lines())
    before = 0  # the lines read before this row
    for row in reader:
        if not _blank(row):
            if any(_is_number(c) for c in row):
                return offsets[before], before + 1, None, len(row)
            return raw.tell(), reader.line_num + 1, [c.strip() for c in row], len(row)
        before = reader.line_num
    raise _Defer  # no rows


def _block_rows(block: bytes, csv_file: bool) -> tuple[Points, Lines | None, int]:
    """The rows of a block of whole lines, the 0-based line of each in the block (None when
    every line is a row) and the number of lines."""
    text = block.decode("utf-8")
    codes = np.frombuffer(block, dtype=np.uint8)
    if "\r" in text:
        returns = np.flatnonzero(codes == 13)
        if returns[-1] + 1 == len(codes) or not (codes[returns + 1] == 10).all():
            raise _Defer  # a lone carriage return ends a line for the exact reader
    count = int(np.count_nonzero(codes == 10)) + int(codes[-1] != 10)
    rows = _parse_block(text, csv_file)
    if rows.shape[0] == count:
        return rows, None, count
    lines = _filled_lines(codes, comments=not csv_file)
    if lines.shape[0] != rows.shape[0]:
        raise _Defer
    return rows, lines, count


# Bytes that a line of only these holds no row. Other whitespace also makes a blank line for
# the exact reader; leaving it out only sends such files to that reader.
_SPACE = np.zeros(256, dtype=bool)
_SPACE[[ord(" "), ord("\t"), ord("\r")]] = True


def _filled_lines(codes: npt.NDArray[np.uint8], comments: bool) -> Lines:
    """The 0-based indices of the lines of `codes` (ended by '\\n') that hold a byte other than
    a space, a tab or a carriage return, before the first '#' if `comments`."""
    ends = np.flatnonzero(codes == 10)
    if codes[-1] != 10:
        ends = np.append(ends, len(codes))
    starts = np.concatenate(([0], ends[:-1] + 1))
    if comments:
        hashes = np.append(np.flatnonzero(codes == ord("#")), len(codes))
        ends = np.minimum(ends, hashes[np.searchsorted(hashes, starts)])
    marks = np.concatenate(([0], np.cumsum(~_SPACE[codes], dtype=np.int64)))
    return np.flatnonzero(marks[ends] > marks[starts])


def _line_numbers(spans: list[tuple[int, int] | Lines], n: int) -> Lines:
    lines = np.empty(n, dtype=np.int64)
    at = 0
    for span in spans:
        if isinstance(span, tuple):
            first, count = span
            lines[at : at + count] = np.arange(first, first + count)
        else:
            count = len(span)
            lines[at : at + count] = span
        at += count
    return lines


# --- .csv and .txt: the exact reader --------------------------------------------------------


def _read_text_exact(
    path: str, csv_file: bool, columns: Sequence[str] | None = None,
    report: _Progress | None = None,
) -> tuple[Points, Lines]:
    """The reference reader: the csv module or str.split, and float() on each cell."""
    with open(path, "rb") as raw:
        size = os.fstat(raw.fileno()).st_size

        def tick() -> None:
            if report is not None:
                report(_fraction(raw.tell(), size))

        f = io.TextIOWrapper(raw, encoding="utf-8-sig", newline="")
        return _read_rows(path, _ticking(f, tick), csv_file, columns)


def _ticking(f: Iterable[str], tick: Callable[[], None]) -> Iterator[str]:
    for i, line in enumerate(f):
        if i % _TICK_LINES == 0:
            tick()
        yield line


def _read_rows(
    path: str, f: Iterable[str], csv_file: bool, columns: Sequence[str] | None = None
) -> tuple[Points, Lines]:
    rows: list[list[float]] = []
    lines: list[int] = []
    d = None
    picked: list[int] = []
    for lineno, cells in _cells(f, csv_file):
        if d is None:
            d = len(cells)
            header = csv_file and not any(_is_number(c) for c in cells)
            names = [c.strip() for c in cells] if header else None
            picked = _column_indices(path, columns, names, d)
            if header:
                continue  # column names
        if len(cells) != d:
            raise PointFileError(f"{path} line {lineno}: expected {d} values, found {len(cells)}")
        rows.append([_number(cells[k], k + 1, path, lineno) for k in picked])
        lines.append(lineno)
    points = np.array(rows, dtype=np.float64).reshape(len(rows), len(picked))
    return points, np.array(lines, dtype=np.int64)


def _cells(f: Iterable[str], csv_file: bool) -> Iterator[tuple[int, list[str]]]:
    """(line number, cells) of each non-blank row."""
    if csv_file:
        reader = csv.reader(f)
        for row in reader:
            if not _blank(row):
                yield reader.line_num, row
    else:
        for lineno, line in enumerate(f, 1):
            cells = line.split("#", 1)[0].split()
            if cells:
                yield lineno, cells


def _blank(row: list[str]) -> bool:
    return not row or (len(row) == 1 and not row[0].strip())


def _is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _number(cell: str, column: int, path: str, lineno: int) -> float:
    try:
        return float(cell)
    except ValueError:
        what = "is empty" if not cell.strip() else f"is {cell.strip()!r}, not a number"
        raise PointFileError(f"{path} line {lineno}: column {column} {what}") from None
