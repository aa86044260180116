"""The quorl command, run as `python -m quorlkit` in a fresh process, as a user would run it."""

import json
import math
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import quorlkit
from quorl import build_quorl, point

# Points with exact decimal forms, so that every format reads back the same floats.
POINTS = np.array([[0.0, 0.0], [1.0, 6.0], [2.0, 1.0], [3.0, 8.0], [0.5, 2.5], [7.0, 7.25]])
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
SUMMARY_KEYS = ["n", "d", "s", "pairs", "entries", "depth", "seconds"]
EMST_KEYS = ["n", "d", "edges", "total length", "longest edge", "seconds"]


def run(cwd, *args, env=None):
    return subprocess.run(
        [sys.executable, "-m", "quorlkit", *map(str, args)],
        cwd=cwd, env=env, capture_output=True, text=True, timeout=120,
    )


def write_points(path, pts):
    """pts in the format path's extension names: a header in .csv, comments in .txt."""
    if path.suffix == ".npy":
        np.save(path, pts)
    elif path.suffix == ".csv":
        path.write_text("x,y\n" + "".join(",".join(map(repr, p)) + "\n" for p in pts.tolist()))
    else:
        rows = "".join(" ".join(map(repr, p)) + "  # a point\n\n" for p in pts.tolist())
        path.write_text("# x y\n\n" + rows)
    return path


def expected_pairs(pts, s):
    got = build_quorl(len(pts), pts.shape[1], s, [point(p) for p in pts.tolist()])
    return [[a, b] for a, b in got]


def parse_summary(text):
    return dict(line.split(": ", 1) for line in text.splitlines())


def depth_of(node_size, node=0):
    """The depth of a pre-order tree: the left child of i is i + 1, the right i + 2 * size."""
    if node_size[node] == 1:
        return 0
    right = node + 2 * node_size[node + 1]
    return 1 + max(depth_of(node_size, node + 1), depth_of(node_size, right))


def assert_refused(result, pattern):
    assert result.returncode == 2, result.stderr
    assert "Traceback" not in result.stderr
    [line] = result.stderr.splitlines()
    assert line.startswith("quorl: ")
    assert re.search(pattern, line), line
    assert result.stdout == ""


# Negative s is accepted as build_quorl accepts it, and "-1" must not be taken for an option.
# The npz name has no extension: numpy.savez, given a name, would append one.
@pytest.mark.parametrize("ext, s", [(".npy", "2"), (".csv", "0.5"), (".txt", "-1")])
def test_every_format_gives_the_same_decomposition(tmp_path, ext, s):
    path = write_points(tmp_path / f"pts{ext}", POINTS)
    pairs = expected_pairs(POINTS, float(s))
    for fmt, out in [("json", "pairs.json"), ("npz", "tree")]:
        stored = run(tmp_path, "decompose", path, "-s", s, "--format", fmt, "-o", out)
        assert (stored.returncode, stored.stdout, stored.stderr) == (0, "", "")
    assert json.loads((tmp_path / "pairs.json").read_text()) == pairs

    with np.load(tmp_path / "tree") as z:
        order, start, size = z["order"], z["node_start"], z["node_size"]
        lists = [[order[start[a] : start[a] + size[a]].tolist() for a in p] for p in z["pairs"]]
        assert lists == pairs
        assert (int(z["n"]), int(z["d"]), float(z["s"])) == (6, 2, float(s))
        # Each node's bounding box, recomputed from its points.
        boxes = [POINTS[order[i : i + k]] for i, k in zip(start, size)]
        lo, hi = np.array([b.min(0) for b in boxes]), np.array([b.max(0) for b in boxes])
        assert np.allclose(z["node_center"], (lo + hi) / 2, rtol=1e-12, atol=0)
        assert np.allclose(z["node_radius"], np.hypot(*(hi - lo).T) / 2, rtol=1e-12, atol=0)

    summary = run(tmp_path, "decompose", path, "-s", s)
    assert summary.returncode == 0, summary.stderr
    got = parse_summary(summary.stdout)
    assert list(got) == SUMMARY_KEYS
    assert got["n"] == "6" and got["d"] == "2" and float(got["s"]) == float(s)
    assert int(got["pairs"]) == len(pairs)
    assert int(got["entries"]) == sum(len(a) + len(b) for a, b in pairs)
    assert int(got["depth"]) == depth_of(size)
    assert float(got["seconds"]) >= 0


@pytest.mark.parametrize(
    "name, content, pattern",
    [
        ("missing.csv", None, r"^quorl: missing\.csv: No such file"),
        ("points.dat", b"0 0\n", r"unknown file type \('\.dat'\)"),
        ("ragged.csv", b"0,0\n1,2,3\n", r"^quorl: ragged\.csv line 2: expected 2 values, found 3$"),
        ("ragged.txt", b"# c\n0 0\n\n1 2 3\n", r"ragged\.txt line 4: expected 2 values, found 3$"),
        ("names.csv", b"x,y,z\n1,2\n", r"line 2: expected 3 values, found 2$"),
        ("word.csv", b"0,0\n1,abc\n", r"line 2: column 2 is 'abc', not a number$"),
        ("late_names.csv", b"0,0\nx,y\n", r"line 2: column 1 is 'x', not a number$"),
        ("names.txt", b"x y\n0 0\n", r"line 1: column 1 is 'x', not a number$"),
        ("hole.csv", b"0,0\n1,\n", r"line 2: column 2 is empty$"),
        ("nan.csv", b"0,0\n\n1,nan\n", r"1 is nan; coordinates must be finite \(line 3\)$"),
        ("huge.txt", b"1e308 0\n0 0\n", r"too large.*\(line 1\)$"),
        ("twice.txt", b"0 0\n1 1\n\n0 0\n", r"positions 0 and 2 are equal.*\(lines 1 and 4\)$"),
        ("twice.npy", np.array([[1.0, 2.0], [1.0, 2.0]]), r"positions 0 and 1 are equal.*points$"),
        ("empty.txt", b"", r"^quorl: empty\.txt: no points$"),
        ("names_only.csv", b"x,y\n", r"no points$"),
        ("empty.npy", np.zeros((0, 2)), r"no points$"),
        ("d0.npy", np.zeros((3, 0)), r"d0\.npy: d must be at least 1 \(got 0\)$"),
        ("flat.npy", np.zeros(4), r"shape \(n, d\), found shape \(4,\)$"),
        ("words.npy", np.array([["a", "b"]]), r"expected real numbers"),
        ("fake.npy", b"0 0\n1 1\n", r"fake\.npy: not a \.npy file$"),
        ("latin1.txt", "0 0\n1 1 # caf\xe9\n".encode("latin-1"), r"not a UTF-8 text file$"),
    ],
)
def test_bad_files_are_refused_on_one_line(tmp_path, name, content, pattern):
    path = tmp_path / name
    if isinstance(content, np.ndarray):
        np.save(path, content)
    elif content is not None:
        path.write_bytes(content)
    assert_refused(run(tmp_path, "decompose", name, "-s", "2"), pattern)


def emst_cases():
    rng = np.random.default_rng(11)
    flat = rng.random((40, 2))
    solid = rng.random((30, 3))
    return [
        # Full-precision coordinates and a repeated point: equal points are fine for a tree.
        (".csv", np.vstack([flat, flat[7]])),
        (".npy", np.vstack([solid, solid[:3]])),
        (".txt", np.array([[2.5, -1.0]])),  # no edges
    ]


@pytest.mark.parametrize("ext, pts", emst_cases(), ids=["csv-dup", "npy-3d", "txt-one"])
def test_emst_formats_round_trip_exactly(tmp_path, ext, pts):
    path = write_points(tmp_path / f"pts{ext}", pts)
    tree = quorlkit.emst(pts)
    n, d = pts.shape

    csv_out = run(tmp_path, "emst", path, "--format", "csv")
    assert csv_out.returncode == 0, csv_out.stderr
    header, *rows = csv_out.stdout.splitlines()
    assert header == "i,j,length"
    cells = [row.split(",") for row in rows]
    assert [[int(i), int(j)] for i, j, _ in cells] == tree.edges.tolist()
    assert [float(length) for _, _, length in cells] == tree.lengths.tolist()

    for fmt, out in [("json", "tree.json"), ("npz", "tree")]:
        stored = run(tmp_path, "emst", path, "--format", fmt, "-o", out)
        assert (stored.returncode, stored.stdout, stored.stderr) == (0, "", "")
    doc = json.loads((tmp_path / "tree.json").read_text())
    assert doc == {"n": n, "d": d, "edges": tree.edges.tolist(), "lengths": tree.lengths.tolist()}
    with np.load(tmp_path / "tree") as z:
        assert sorted(z.files) == ["d", "edges", "lengths", "n"]
        assert (int(z["n"]), int(z["d"])) == (n, d)
        assert z["edges"].dtype == np.int64 and z["edges"].shape == (n - 1, 2)
        assert np.array_equal(z["edges"], tree.edges)
        assert np.array_equal(z["lengths"], tree.lengths)

    summary = run(tmp_path, "emst", path)
    assert summary.returncode == 0, summary.stderr
    got = parse_summary(summary.stdout)
    assert list(got) == EMST_KEYS
    assert (int(got["n"]), int(got["d"]), int(got["edges"])) == (n, d, n - 1)
    assert float(got["total length"]) == math.fsum(tree.lengths)
    assert float(got["longest edge"]) == max(tree.lengths, default=0.0)
    assert float(got["seconds"]) >= 0


# The same reading and the same refusals as decompose, but for equal points.
@pytest.mark.parametrize(
    "name, content, pattern",
    [
        ("missing.txt", None, r"^quorl: missing\.txt: No such file"),
        ("ragged.csv", b"0,0\n1,2,3\n", r"^quorl: ragged\.csv line 2: expected 2 values, found 3$"),
        ("nan.txt", b"0 0\n# c\n1 nan\n", r"^quorl: nan\.txt: .*1 is nan; .*finite \(line 3\)$"),
        ("huge.csv", b"0,0\n0,-1e308\n", r"too large.*\(line 2\)$"),
        ("empty.csv", b"x,y\n", r"^quorl: empty\.csv: no points$"),
        ("d0.npy", np.zeros((3, 0)), r"d0\.npy: d must be at least 1 \(got 0\)$"),
    ],
)
def test_emst_refuses_bad_files_on_one_line(tmp_path, name, content, pattern):
    path = tmp_path / name
    if isinstance(content, np.ndarray):
        np.save(path, content)
    elif content is not None:
        path.write_bytes(content)
    assert_refused(run(tmp_path, "emst", name, "--format", "csv"), pattern)
    assert not list(tmp_path.glob("*.png"))


# A table and a .csv with a column of words beside the coordinates, picked by name and index.
@pytest.mark.parametrize("name", ["pts.parquet", "pts.csv"])
def test_columns_pick_the_coordinates(tmp_path, name):
    pts = np.random.default_rng(6).random((60, 2))
    words = [f"p{i}" for i in range(len(pts))]
    if name.endswith(".csv"):
        rows = "".join(f"{x!r},{w},{y!r}\n" for (x, y), w in zip(pts.tolist(), words))
        (tmp_path / name).write_text("x,label,y\n" + rows)
    else:
        pa = pytest.importorskip("pyarrow")
        import pyarrow.parquet as pq

        pq.write_table(pa.table({"x": pts[:, 0], "label": words, "y": pts[:, 1]}), tmp_path / name)
    result = run(tmp_path, "emst", name, "--columns", "y,0", "--format", "npz", "-o", "tree")
    assert (result.returncode, result.stderr) == (0, "")
    tree = quorlkit.emst(pts[:, ::-1])
    with np.load(tmp_path / "tree") as z:
        assert np.array_equal(z["edges"], tree.edges) and np.array_equal(z["lengths"], tree.lengths)
    words_refused = r"column (2 is 'p0', not a number|'label' holds string)"
    assert_refused(run(tmp_path, "emst", name), words_refused)


@pytest.mark.parametrize(
    "args, pattern",
    [
        ([], r"required: COMMAND"),
        (["decompose", "pts.txt"], r"required: -s"),
        (["decompose", "pts.txt", "-s", "abc"], r"-s/--separation: expected a number, got 'abc'"),
        (["decompose", "pts.txt", "-s", "nan"], r"must be finite"),
        (["decompose", "pts.txt", "-s=-inf"], r"must be finite"),
        (["decompose", "pts.txt", "-s", "2", "--format", "npz"], r"give a file with -o$"),
        (["decompose", "pts.txt", "-s", "2", "-o", "no/dir/out"], r"no/dir/out: No such file"),
        (["plot", "pts.txt", "-s", "2", "-o", "p.png", "--pairs", "-1"], r"at least 0, got -1"),
        (["demo", "-n", "0"], r"-n: must be at least 1, got 0"),
        (["emst", "pts.txt", "--format", "xml"], r"--format: invalid choice: 'xml'"),
        (["emst", "pts.txt", "--format", "npz"], r"give a file with -o$"),
        (["emst", "pts.txt", "--format", "csv", "-o", "no/dir/out"], r"no/dir/out: No such"),
        (["plot", "pts.txt", "-o", "p.png"], r"required: -s/--separation \(or --emst\)"),
        (["plot", "pts.txt", "--emst", "-s", "0", "-o", "p.png"], r"-s/--separation: not allowed"),
        (["plot", "pts.txt", "--emst", "--pairs", "0", "-o", "p.png"], r"--pairs: not allowed"),
        (["emst", "pts.txt", "--columns", "0,,1"], r"--columns: expected column names or 0-based"),
        (["knn", "pts.txt", "-k", "1", "--columns", "x"], r"pts\.txt: no column named 'x'"),
    ],
)
def test_bad_arguments_are_refused_on_one_line(tmp_path, args, pattern):
    write_points(tmp_path / "pts.txt", POINTS)
    assert_refused(run(tmp_path, *args), pattern)


# Enough output to outgrow the pipe's buffer, as under `| head`.
@pytest.mark.parametrize(
    "n, args, first",
    [
        (1500, ["decompose", "pts.npy", "-s", "2", "--format", "json"], b"["),
        (6000, ["emst", "pts.npy", "--format", "csv"], b"i"),
        (6000, ["emst", "pts.npy", "--format", "json"], b"{"),
    ],
)
def test_closed_stdout_ends_quietly(tmp_path, n, args, first):
    write_points(tmp_path / "pts.npy", np.random.default_rng(5).random((n, 2)))
    cmd = [sys.executable, "-m", "quorlkit", *args]
    pipes = dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with subprocess.Popen(cmd, cwd=tmp_path, **pipes) as proc:
        assert proc.stdout.read(1) == first
        proc.stdout.close()
        err = proc.stderr.read().decode()
        assert proc.wait(timeout=120) == 1
    assert err == ""


@pytest.mark.parametrize("k", [0, 4, 100])
def test_plot_chooses_the_largest_pairs_first(tmp_path, k):
    # In a fresh process from tmp_path: run from the checkout, `import quorlkit` would find the
    # sources, which lack the compiled core.
    code = (
        "import sys, numpy as np, quorlkit\n"
        "from quorlkit._plot import largest_pairs\n"
        f"dec = quorlkit.decompose(np.array({POINTS.tolist()}), 2.0)\n"
        f"print(largest_pairs(dec, {k}).tolist())\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    sizes = [len(a) + len(b) for a, b in expected_pairs(POINTS, 2.0)]
    assert len(set(sizes)) < len(sizes)  # ties, to be broken by pair order
    assert json.loads(result.stdout) == sorted(range(len(sizes)), key=lambda i: -sizes[i])[:k]


def colours_of(png):
    """The distinct RGB colours of a PNG, and whether any of them is not a gray."""
    from matplotlib.image import imread

    assert png.read_bytes()[:8] == PNG_SIGNATURE
    rgb = (imread(png)[..., :3] * 255).round().astype(int).reshape(-1, 3)
    distinct = np.unique(rgb, axis=0)
    return len(distinct), bool((np.ptp(distinct, axis=1) > 40).any())


# Points are drawn in gray, so colour appears exactly when pairs are drawn.
@pytest.mark.parametrize("k", [0, 3])
def test_plot_draws_points_and_pairs(tmp_path, k):
    pytest.importorskip("matplotlib")
    path = write_points(tmp_path / "pts.csv", POINTS)
    result = run(tmp_path, "plot", path, "-s", "2", "-o", "p.png", "--pairs", k)
    assert result.returncode == 0, result.stderr
    count, coloured = colours_of(tmp_path / "p.png")
    assert count > 1 and coloured == (k > 0)


def test_plot_refuses_other_dimensions(tmp_path):
    pytest.importorskip("matplotlib")
    path = write_points(tmp_path / "pts.npy", np.arange(12.0).reshape(4, 3))
    assert_refused(run(tmp_path, "plot", path, "-s", "2", "-o", "p.png"), r"d = 3$")
    assert not (tmp_path / "p.png").exists()


def test_demo_prints_the_summary_and_draws(tmp_path):
    pytest.importorskip("matplotlib")
    result = run(tmp_path, "demo", "-n", "80", "--seed", "3")
    assert result.returncode == 0, result.stderr
    *summary, picture = result.stdout.splitlines()
    got = parse_summary("\n".join(summary))
    assert list(got) == SUMMARY_KEYS and got["n"] == "80" and got["d"] == "2"
    assert picture == "picture: quorl-demo.png"
    assert colours_of(tmp_path / "quorl-demo.png")[1]


# Without matplotlib, decompose must keep working; demo still prints the summary and fails only
# when a picture was asked for by name.
@pytest.mark.parametrize(
    "args, status",
    [
        (["plot", "pts.txt", "-s", "2", "-o", "p.png"], 2),
        (["demo", "-n", "20"], 0),
        (["demo", "-n", "20", "-o", "p.png"], 2),
    ],
)
def test_without_matplotlib(tmp_path, args, status):
    shim = tmp_path / "shim" / "matplotlib"
    shim.mkdir(parents=True)
    (shim / "__init__.py").write_text("raise ImportError('No module named matplotlib')\n")
    env = dict(os.environ, PYTHONPATH=str(shim.parent))
    write_points(tmp_path / "pts.txt", POINTS)
    result = run(tmp_path, *args, env=env)
    assert result.returncode == status
    assert "Traceback" not in result.stderr
    [line] = result.stderr.splitlines()
    assert line.startswith("quorl: ") and line.endswith("pip install 'quorl[plot]'")
    assert ("n: 20" in result.stdout) == (args[0] == "demo")
    assert not list(tmp_path.glob("*.png"))
    assert run(tmp_path, "decompose", "pts.txt", "-s", "2", env=env).returncode == 0


# Edges are coloured by length; equal points have only edges of length 0, and one point none.
@pytest.mark.parametrize(
    "pts, coloured",
    [
        (np.random.default_rng(2).random((200, 2)), True),
        (np.zeros((5, 2)), False),
        (np.array([[1.0, 2.0]]), False),
    ],
    ids=["random", "equal", "one"],
)
def test_plot_draws_the_tree(tmp_path, pts, coloured):
    pytest.importorskip("matplotlib")
    path = write_points(tmp_path / "pts.npy", pts)
    result = run(tmp_path, "plot", path, "--emst", "-o", "tree.png")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    count, has_colour = colours_of(tmp_path / "tree.png")
    assert count > 1 and has_colour == coloured


def png_ratio(png):
    data = png.read_bytes()
    assert data[:8] == PNG_SIGNATURE
    return int.from_bytes(data[16:20], "big") / int.from_bytes(data[20:24], "big")


# The picture takes the data's shape: a square picture of points 4 : 1 would be mostly blank.
@pytest.mark.parametrize("shape", ["wide", "tall"])
@pytest.mark.parametrize("picture", [["-s", "2"], ["--emst"]], ids=["pairs", "emst"])
def test_picture_follows_the_extent_of_the_data(tmp_path, shape, picture):
    pytest.importorskip("matplotlib")
    pts = np.random.default_rng(4).random((300, 2)) * [4.0, 1.0] + [-30.0, 7.0]
    if shape == "tall":
        pts = pts[:, ::-1]
    path = write_points(tmp_path / "pts.npy", pts)
    result = run(tmp_path, "plot", path, *picture, "-o", "p.png")
    assert result.returncode == 0, result.stderr
    # The axes are 3.5 : 1 with their margins; ticks, title and colour bar take a little more.
    ratio = png_ratio(tmp_path / "p.png")
    assert 2.2 < (ratio if shape == "wide" else 1 / ratio) < 4.0


def test_demo_picture_is_square(tmp_path):
    pytest.importorskip("matplotlib")
    assert run(tmp_path, "demo", "-n", "50", "-o", "d.png").returncode == 0
    assert 0.85 < png_ratio(tmp_path / "d.png") < 1.15


# Dense mainland, sparse far-west islands: the axes must hug the data, not a square around it.
def test_axes_hug_the_data(tmp_path):
    pytest.importorskip("matplotlib")
    code = """
import json, sys, numpy as np, quorlkit
from quorlkit import _plot
rng = np.random.default_rng(9)
mainland = np.column_stack([rng.uniform(-124, -67, 800), rng.uniform(25, 49, 800)])
islands = np.array([[-178.0, 51.5], [-160.0, 21.0], [-170.7, 14.3], [-150.0, 71.3]])
pts = np.vstack([mainland, islands])
axes = [
    _plot.draw_pairs(quorlkit.decompose(pts, 2.0), pts, "pairs.png").axes[0],
    _plot.draw_emst(quorlkit.emst(pts), pts, "tree.png").axes[0],
    _plot.draw_emst(quorlkit.emst(pts[:1]), pts[:1], "one.png").axes[0],
]
lo, hi = pts.min(0).tolist(), pts.max(0).tolist()
print(json.dumps([lo, hi, pts[0].tolist(), [[ax.get_xlim(), ax.get_ylim()] for ax in axes]]))
"""
    result = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    lo, hi, (x, y), limits = json.loads(result.stdout)
    *full, (one_x, one_y) = limits
    for ax_limits in full:
        for (a, b), low, high in zip(ax_limits, lo, hi):
            extent = high - low
            assert a < low and high < b
            assert (b - a) < extent + 0.1 * max(np.subtract(hi, lo))
    # One point: a square around it.
    assert one_x[0] < x < one_x[1] and one_y[0] < y < one_y[1]
    assert math.isclose(one_x[1] - one_x[0], one_y[1] - one_y[0])


def test_docstring_examples_of_the_plot_helpers():
    import doctest

    import quorlkit._plot as module

    failed, attempted = doctest.testmod(module)
    assert attempted >= 4 and failed == 0


def read_edges(path, fmt):
    """(edges, lengths, header fields) from an edge list the command wrote."""
    if fmt == "csv":
        rows = path.read_text().splitlines()
        body = [r.split(",") for r in rows[1:]]
        return (np.array([[int(i), int(j)] for i, j, _ in body], dtype=np.int64).reshape(-1, 2),
                np.array([float(x) for *_, x in body]), {"header": rows[0]})
    if fmt == "json":
        obj = json.loads(path.read_text())
        return (np.array(obj.pop("edges"), dtype=np.int64).reshape(-1, 2),
                np.array(obj.pop("lengths"), dtype=float), obj)
    with np.load(path) as z:
        return z["edges"], z["lengths"], {k: z[k].item() for k in z.files if z[k].ndim == 0}


@pytest.mark.parametrize("fmt", ["csv", "json", "npz"])
def test_knn_and_spanner_write_their_edges_exactly(tmp_path, fmt):
    pts = np.vstack([POINTS, POINTS[2]])  # an equal point: a neighbour at distance 0
    src = write_points(tmp_path / "p.csv", pts)
    out = tmp_path / f"knn.{fmt}"  # the extension chooses the format
    assert run(tmp_path, "knn", src, "-k", 3, "-o", out).returncode == 0
    edges, lengths, head = read_edges(out, fmt)
    dist, idx = quorlkit.knn(pts, 3)
    assert np.array_equal(edges[:, 0], np.repeat(np.arange(len(pts)), 3))
    assert np.array_equal(edges[:, 1], idx.ravel()) and np.array_equal(lengths, dist.ravel())
    assert head == ({"header": "i,j,distance"} if fmt == "csv" else {"n": 7, "d": 2, "k": 3})

    out = tmp_path / f"spanner.out"
    assert run(tmp_path, "spanner", src, "-t", "1.5", "--format", fmt, "-o", out).returncode == 0
    edges, lengths, head = read_edges(out, fmt)
    coo = quorlkit.spanner(pts, 1.5).tocoo()
    want = sorted((int(i), int(j), v) for i, j, v in zip(coo.row, coo.col, coo.data) if i < j)
    assert [(int(i), int(j), v) for (i, j), v in zip(edges.tolist(), lengths.tolist())] == want
    assert head == ({"header": "i,j,length"} if fmt == "csv" else {"n": 7, "d": 2, "t": 1.5})


def test_knn_and_spanner_write_csv_to_stdout(tmp_path):
    src = write_points(tmp_path / "p.npy", POINTS)
    got = run(tmp_path, "knn", src, "-k", 1)
    assert got.returncode == 0 and got.stdout.splitlines()[:2] == ["i,j,distance", "0,2,2.23606797749979"]
    got = run(tmp_path, "spanner", src, "-t", 2)
    assert got.returncode == 0 and got.stdout.startswith("i,j,length\n")


@pytest.mark.parametrize(
    "args,pattern",
    [
        (["knn", "{src}", "-k", "6"], r"p\.csv: k must be between 1 and n - 1 = 5"),
        (["knn", "{src}", "-k", "0"], r"argument -k: must be at least 1"),
        (["knn", "{src}"], r"required: -k"),
        (["knn", "{src}", "-k", "2", "--format", "npz"], r"give a file with -o"),
        (["spanner", "{src}", "-t", "1"], r"p\.csv: t must be a finite number above 1"),
        (["spanner", "{src}", "-t", "nan"], r"argument -t: must be finite"),
        (["spanner", "{bad}", "-t", "2"], r"bad\.csv: .*line 3"),
    ],
)
def test_knn_and_spanner_refuse_on_one_line(tmp_path, args, pattern):
    src = write_points(tmp_path / "p.csv", POINTS)
    bad = tmp_path / "bad.csv"
    bad.write_text("0,0\n1,1\n2,inf\n")
    result = run(tmp_path, *[a.format(src=src, bad=bad) for a in args])
    assert_refused(result, pattern)


@pytest.mark.parametrize(
    "terminal, quiet, shown", [(True, False, True), (True, True, False), (False, False, False)]
)
def test_the_progress_bar_shows_on_a_terminal_unless_quiet(
    tmp_path, monkeypatch, capsys, terminal, quiet, shown
):
    import functools
    import pty
    import select

    from quorlkit import _progress, cli

    path = tmp_path / "points.npy"
    np.save(path, np.random.default_rng(0).random((300, 2)))
    # Without the second's wait, so that a quick call shows its bar too.
    monkeypatch.setattr(cli, "Bar", functools.partial(_progress.Bar, delay=0.0))
    reader, writer = pty.openpty() if terminal else os.pipe()
    if terminal:  # a new terminal is 0 columns wide until told otherwise
        import fcntl
        import struct
        import termios

        fcntl.ioctl(writer, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    with os.fdopen(writer, "w") as stream:
        monkeypatch.setattr(sys, "stderr", stream)
        assert cli.main(["emst", str(path)] + (["--quiet"] if quiet else [])) == 0
    out = b""
    while select.select([reader], [], [], 0.1)[0]:
        try:
            chunk = os.read(reader, 1 << 16)
        except OSError:  # a terminal whose other end is closed
            break
        if not chunk:
            break
        out += chunk
    os.close(reader)
    assert (b"%|" in out) == shown, out
    assert capsys.readouterr().out.startswith("n: 300\n")
