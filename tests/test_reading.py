"""Reading point files: the fast text reader against the exact one, and tables through pyarrow."""

import re
import sys
from decimal import Decimal, localcontext

import numpy as np
import pytest

from quorlkit import _reading


def outcome(path, columns=None, progress=None):
    """What read_points gives: (shape, the points' bytes, lines) or the refusal's message."""
    try:
        points, lines = _reading.read_points(str(path), columns, progress)
    except _reading.PointFileError as err:
        return str(err)
    assert points.dtype == np.float64 and points.flags.c_contiguous
    return points.shape, points.tobytes(), None if lines is None else lines.tolist()


def big_csv_with_a_word():
    rows = [",".join(map(repr, r)) for r in np.random.default_rng(1).random((12000, 3)).tolist()]
    rows[4999] = rows[4999].replace(",", ",abc,", 1).rsplit(",", 1)[0]  # the 5000th point
    return ("x,y,z\n" + "\n".join(rows) + "\n").encode()


def big_txt_with_gaps():
    """Rows between blank lines, comments and whitespace-only lines, with \\r\\n endings."""
    rng = np.random.default_rng(2)
    lines = []
    for (a, b), k in zip(rng.random((20000, 2)).tolist(), rng.integers(0, 8, 20000)):
        lines += [[""], ["  # note"], [" \t "], []][min(k, 3)]
        lines.append(f"{a!r}\t{b!r}" + ("  # c" if k == 4 else ""))
    return ("\r\n".join(lines) + "\r\n").encode()


def halfway_decimals():
    """Decimals halfway between two doubles, and next to halfway: the hard cases of rounding."""
    rng = np.random.default_rng(3)
    x = np.concatenate([rng.random(500), rng.random(500) * 2.0 ** rng.integers(-1070, 1020, 500),
                        5e-324 * rng.integers(1, 10**6, 200)])
    cells = []
    with localcontext() as ctx:
        ctx.prec = 1100
        for a, b in zip(x.tolist(), np.nextafter(x, np.inf).tolist()):
            mid = (Decimal(a) + Decimal(b)) / 2
            cells += [format(mid, "e"), format(mid, ".20e"), format(mid, ".16e")]
    return ("\n".join(cells) + "\n").encode()


# (file, content, --columns, whether the fast reader reads it, pattern of the message if refused)
CASES = [
    ("header.csv", b"x,y\n1,2\n3,4\n", None, True, None),
    ("no_header_no_newline.csv", b"1,2\n3,4", None, True, None),
    ("bom_quoted_crlf.csv", b'\xef\xbb\xbf"x","y"\r\n\r\n1,2\r\n\r\n3,4\r\n', None, True, None),
    ("spaces.csv", b" 1 , 2 \n\t3,\t4\xc2\xa0\n", None, True, None),
    ("one_row.csv", b"1.5,-2.5,3e-7\n", None, True, None),
    ("one_column.csv", b"x\n1\n\n2\n", None, True, None),
    ("one_cell.txt", b"7", None, True, None),
    ("specials.csv", b"nan,-inf\nInfinity,+NaN\n-nan,1e400\n-0.0,1e-400\n", None, True, None),
    ("exponents.csv", b"1e5,-2.5E-3\n.5,5.\n+1e+0,0e0\n", None, True, None),
    ("many_digits.csv", halfway_decimals, None, True, None),
    ("quoted.csv", b'1,"2"\n"3",4\n', None, False, None),
    ("quoted_first_row.csv", b'"1\n",2\n3,4\n', None, False, None),
    ("underscore.txt", b"1_000 2\n", None, False, None),
    ("arabic_digit.csv", "\u0661,2\n".encode(), None, False, None),
    ("spaces_only_line.csv", b"1,2\n   \n3,4\n", None, False, None),
    ("lone_cr.csv", b"1,2\r3,4\r", None, False, None),
    ("lone_cr_later.txt", b"1 2\n\n3 4\r5 6\n", None, False, None),
    ("vertical_tab_line.txt", b"1 2\n\x0b\n3 4\n", None, False, None),
    ("comments.txt", b"# x y\n\n1 2  # p\n\t\n3\t4\n# end", None, True, None),
    ("header_over_two_lines.csv", b'"x\ny",z\n1,2\n', None, True, None),
    ("sparse_start.txt", b"1 2 #" + b"-" * 5000 + b"\n" + b"3 4\n" * 3000, None, True, None),
    ("gaps.txt", big_txt_with_gaps, None, True, None),
    ("trailing_comma.csv", b"1,2,\n3,4,\n", None, False, r"line 1: column 3 is empty$"),
    ("hole.csv", b"1,2\n3,\n", None, False, r"line 2: column 2 is empty$"),
    ("ragged.txt", b"1 2\n\n3 4 5\n", None, False, r"line 3: expected 2 values, found 3$"),
    ("short_rows.csv", b"x,y,z\n1,2\n", None, False, r"line 2: expected 3 values, found 2$"),
    ("one_value_rows.csv", b"x,y\n1\n2\n", None, False, r"line 2: expected 2 values, found 1$"),
    ("hash.csv", b"1,2#c\n", None, False, r"line 1: column 2 is '2#c', not a number$"),
    ("hex.csv", b"0x10,1\n", None, False, r"column 1 is '0x10', not a number$"),
    ("nul.csv", b"1,2\x00\n", None, False, r"column 2 is '2\\x00', not a number$"),
    ("late_names.csv", b"0,0\nx,y\n", None, False, r"line 2: column 1 is 'x', not a number$"),
    ("word.csv", big_csv_with_a_word, None, False, r"line 5001: column 2 is 'abc', not a number$"),
    ("latin1.txt", "1 2 # caf\xe9\n".encode("latin-1"), None, False, r"not a UTF-8 text file$"),
    ("empty.csv", b"", None, False, r"empty\.csv: no points$"),
    ("names_only.csv", b"x,y\n\n", None, False, r"no points$"),
    ("comments_only.txt", b"# x\n\n", None, False, r"no points$"),
    ("by_name.csv", b"x, y ,z\n1,2,3\n4,5,6\n", ["z", "y", "0"], True, None),
    ("by_index.txt", b"1 2 3\n4 5 6\n", ["2", "0"], True, None),
    ("words_aside.csv", b"id,x,y\na,1,2\nb,3,4\n", ["y", "x"], False, None),
    ("words_picked.csv", b"id,x,y\na,1,2\nb,3,4\n", ["id"], False, r"line 2: column 1 is 'a'"),
    ("unknown.csv", b"x,y\n1,2\n", ["w"], True, r"no column named 'w'; the columns are 'x', 'y'$"),
    ("too_far.csv", b"x,y\n1,2\n", ["2"], True, r"no column 2; there are 2, numbered from 0$"),
    ("unnamed.txt", b"1 2\n", ["x"], True, r"no column named 'x': the file names no columns"),
]


# The fast reader as it runs; with about 40 blocks a file (lines longer than a block in the
# smallest files); through numpy.loadtxt, as where NumPy's C entry point is not found.
FAST_READERS = {
    "C parser": lambda m, size: None,
    "C parser, small blocks": lambda m, size: m.setattr(_reading, "_BLOCK", max(16, size // 40)),
    "numpy.loadtxt": lambda m, size: m.setattr(_reading, "_c_parser", None),
}


@pytest.mark.parametrize("name, content, columns, fast, refusal", CASES, ids=[c[0] for c in CASES])
def test_fast_reader_gives_what_the_exact_one_gives(
    tmp_path, monkeypatch, name, content, columns, fast, refusal
):
    path = tmp_path / name
    path.write_bytes(content() if callable(content) else content)
    with monkeypatch.context() as m:
        m.setattr(_reading, "_read_text_fast", lambda *args: None)
        want = outcome(path, columns)
    if refusal is None:
        assert not isinstance(want, str), want
    else:
        assert isinstance(want, str) and want.startswith(str(path)), want
        assert re.search(refusal, want), want
    for reader, setup in FAST_READERS.items():
        with monkeypatch.context() as m:
            setup(m, path.stat().st_size)
            csv_file = path.suffix == ".csv"
            took = _reading._read_text_fast(str(path), csv_file, _reading._Progress(None))
            assert (took is not None) == fast, reader
            assert outcome(path, columns) == want, reader


def write_table(path, table):
    """table in the format path's name says, in chunks of 100 rows."""
    import pyarrow as pa
    import pyarrow.feather as feather
    import pyarrow.parquet as pq

    if path.suffix == ".parquet":
        pq.write_table(table, path, row_group_size=100)
    elif path.name.endswith("stream.arrow"):
        with pa.OSFile(str(path), "wb") as sink, pa.ipc.new_stream(sink, table.schema) as out:
            out.write_table(table, max_chunksize=100)
    else:
        feather.write_feather(table, path, chunksize=100)
    return path


TABLE_FILES = ["t.parquet", "t.arrow", "t.feather", "stream.arrow"]


@pytest.mark.parametrize("name", TABLE_FILES)
def test_tables_round_trip(tmp_path, name):
    pa = pytest.importorskip("pyarrow")
    rng = np.random.default_rng(4)
    floats = rng.standard_normal((1000, 2)) * 10.0 ** rng.integers(-300, 300, (1000, 2))
    ints = {"i64": rng.integers(-2**62, 2**62, 1000), "u8": rng.integers(0, 256, 1000, np.uint8),
            "i32": rng.integers(-2**31, 2**31, 1000, np.int32)}
    small = rng.standard_normal(1000).astype(np.float32)
    columns = {"a": floats[:, 0], "b": floats[:, 1], "c": small, **ints}
    path = write_table(tmp_path / name, pa.table(columns))
    want = np.column_stack([v.astype(np.float64) for v in columns.values()])
    assert outcome(path) == (want.shape, want.tobytes(), None)
    picked = ["u8", "0", "c", "a"]  # by name and by index, in any order
    want = want[:, [4, 0, 2, 0]]
    assert outcome(path, picked) == (want.shape, want.tobytes(), None)


@pytest.mark.parametrize("name", TABLE_FILES)
@pytest.mark.parametrize(
    "columns, pattern",
    [
        (["a", "w"], r"no column named 'w'; the columns are 'a', 's', 'n'$"),
        (["3"], r"no column 3; there are 3, numbered from 0$"),
        (None, r"column 's' holds string, not numbers$"),
        (["a", "n"], r" row 150: column 'n' is null$"),  # in the second chunk of 100 rows
        (["a"], None),
    ],
)
def test_tables_refusals(tmp_path, name, columns, pattern):
    pa = pytest.importorskip("pyarrow")
    values = np.arange(300.0)
    nulls = [None if i == 150 else float(i) for i in range(300)]
    table = pa.table({"a": values, "s": [str(i) for i in range(300)], "n": nulls})
    got = outcome(write_table(tmp_path / name, table), columns)
    if pattern is None:
        assert got == ((300, 1), values.tobytes(), None)
    else:
        assert isinstance(got, str) and re.search(pattern, got), got


@pytest.mark.parametrize(
    "name, content, pattern",
    [
        ("junk.parquet", b"PAR1 not really", r"junk\.parquet: cannot read this \.parquet file"),
        ("junk.arrow", b"ARROW1 not really", r"junk\.arrow: not an Arrow IPC or Feather file$"),
        ("missing.feather", None, r"missing\.feather: No such file"),
        ("none.parquet", "empty", r"none\.parquet: no points$"),
    ],
)
def test_table_files_refused(tmp_path, name, content, pattern):
    pa = pytest.importorskip("pyarrow")
    path = tmp_path / name
    if content == "empty":
        write_table(path, pa.table({"a": np.zeros(0)}))
    elif content is not None:
        path.write_bytes(content)
    got = outcome(path)
    assert isinstance(got, str) and re.search(pattern, got), got


def test_tables_without_pyarrow(tmp_path, monkeypatch):
    (tmp_path / "t.parquet").write_bytes(b"PAR1")
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # import pyarrow now raises ImportError
    got = outcome(tmp_path / "t.parquet")
    assert re.search(r"t\.parquet: reading \.parquet files needs pyarrow .*; "
                     r"pip install 'quorl\[files\]'$", got), got


def big_file_read_twice():
    """The fast reader gets near the end before a cell it leaves to the exact reader."""
    return big_txt_with_gaps() + b"1_0 2\n"


@pytest.mark.parametrize("name, content", [
    ("gaps.txt", big_txt_with_gaps), ("twice.txt", big_file_read_twice), ("t.parquet", None),
])
def test_progress_goes_up_to_one(tmp_path, monkeypatch, name, content):
    path = tmp_path / name
    if content is None:
        pa = pytest.importorskip("pyarrow")
        write_table(path, pa.table({"a": np.arange(1000.0)}))
    else:
        path.write_bytes(content())
        monkeypatch.setattr(_reading, "_BLOCK", 1 << 14)
        monkeypatch.setattr(_reading, "_TICK_LINES", 1000)
    calls = []
    assert not isinstance(outcome(path, progress=lambda *call: calls.append(call)), str)
    fractions = [f for f, _ in calls]
    assert {stage for _, stage in calls} == {"reading"}
    assert len(calls) > 5 and fractions[-1] == 1.0
    assert all(0 <= a <= b for a, b in zip(fractions, fractions[1:]))
    assert fractions.count(1.0) == 1
