"""quorl cluster: the labels file, the picture, and the refusals.

The command needs quorlkit.HDBSCAN. Where it is missing, the command runs here against a stand-in
with its interface built on the hdbscan package, so that the command itself is tested; the run
against quorlkit.HDBSCAN is skipped until it exists."""

import io
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import quorlkit

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

STAND_IN = textwrap.dedent(
    """
    import sys
    import numpy as np
    import quorlkit
    from quorlkit.cli import main


    class HDBSCAN:
        # quorlkit counts min_samples with the point itself, the hdbscan package without.
        def __init__(self, min_cluster_size=5, min_samples=None):
            self.min_cluster_size, self.min_samples = min_cluster_size, min_samples

        def fit(self, x, progress=None):
            import hdbscan

            x = np.asarray(x, dtype=float)
            if not np.isfinite(x).all():
                row = int(np.flatnonzero(~np.isfinite(x).all(axis=1))[0])
                raise ValueError(f"point at position {row} is not finite")
            ms = self.min_samples or self.min_cluster_size
            fit = hdbscan.HDBSCAN(min_cluster_size=self.min_cluster_size, min_samples=ms - 1).fit(x)
            self.labels_ = fit.labels_
            self.condensed_tree_ = fit.condensed_tree_.to_numpy()
            return self


    quorlkit.HDBSCAN = HDBSCAN
    sys.exit(main(sys.argv[1:]))
    """
)


def blobs(n, d, seed):
    rng = np.random.default_rng(seed)
    centers = rng.uniform(-10, 10, (3, d))
    x = np.vstack([rng.normal(c, 0.8, (n // 4, d)) for c in centers])
    return np.vstack([x, rng.uniform(-12, 12, (n - len(x), d))])


def run_stand_in(cwd, *args):
    pytest.importorskip("hdbscan")
    script = cwd / "stand_in.py"
    script.write_text(STAND_IN)
    return subprocess.run(
        [sys.executable, "-W", "ignore", str(script), *map(str, args)],
        cwd=cwd, capture_output=True, text=True, timeout=120,
    )


def run(cwd, *args):
    return subprocess.run(
        [sys.executable, "-m", "quorlkit", *map(str, args)],
        cwd=cwd, capture_output=True, text=True, timeout=120,
    )


def read_labels(text):
    lines = text.splitlines()
    assert lines[0] == "label"
    return np.array([int(v) for v in lines[1:]])


def hdbscan_labels(x, mcs, ms):
    import hdbscan

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return hdbscan.HDBSCAN(min_cluster_size=mcs, min_samples=ms - 1).fit(x).labels_


@pytest.mark.parametrize(
    "ext, d, args, mcs, ms",
    [
        (".csv", 2, ["--min-cluster-size", 10], 10, 10),
        (".npy", 3, ["--min-cluster-size", 15, "--min-samples", 4], 15, 4),
        (".txt", 2, ["--min-samples", "2", "--min-cluster-size", "5"], 5, 2),
    ],
)
def test_labels_one_per_row_in_input_order(tmp_path, ext, d, args, mcs, ms):
    x = blobs(300, d, 1)
    path = tmp_path / f"pts{ext}"
    if ext == ".npy":
        np.save(path, x)
    elif ext == ".csv":
        path.write_text("a,b\n" + "".join(",".join(map(repr, p)) + "\n" for p in x.tolist()))
    else:
        path.write_text("".join(" ".join(map(repr, p)) + "\n" for p in x.tolist()))
    want = hdbscan_labels(x, mcs, ms)
    to_file = run_stand_in(tmp_path, "cluster", path.name, *args, "-o", "labels.csv")
    assert (to_file.returncode, to_file.stdout, to_file.stderr) == (0, "", "")
    got = read_labels((tmp_path / "labels.csv").read_text())
    np.testing.assert_array_equal(got, want)
    assert got.max() >= 1 and (got == -1).any()
    to_stdout = run_stand_in(tmp_path, "cluster", path.name, *args)
    assert to_stdout.returncode == 0, to_stdout.stderr
    np.testing.assert_array_equal(read_labels(to_stdout.stdout), want)


def test_plot_file_is_drawn(tmp_path):
    pytest.importorskip("matplotlib")
    x = blobs(400, 2, 2)
    np.save(tmp_path / "pts.npy", x)
    result = run_stand_in(tmp_path, "cluster", "pts.npy", "--min-cluster-size", 12, "--plot", "c.png")
    assert result.returncode == 0, result.stderr
    assert len(read_labels(result.stdout)) == len(x)
    assert (tmp_path / "c.png").read_bytes().startswith(PNG_SIGNATURE)


def assert_refused(result, pattern):
    import re

    assert result.returncode == 2, result.stderr
    assert "Traceback" not in result.stderr
    [line] = result.stderr.splitlines()
    assert line.startswith("quorl: ") and re.search(pattern, line), line
    assert result.stdout == ""


@pytest.mark.parametrize(
    "args, pattern",
    [
        (["pts.txt"], r"one of the arguments --min-cluster-size --dbscan is required"),
        (["pts.txt", "--dbscan", "0"], r"--dbscan: must be positive, got '0'"),
        (["pts.txt", "--dbscan", "1", "--min-cluster-size", "5"], r"not allowed with"),
        (["pts.txt", "--min-cluster-size", "1"], r"--min-cluster-size: must be at least 2, got 1"),
        (["pts.txt", "--min-cluster-size", "x"], r"expected a whole number, got 'x'"),
        (["pts.txt", "--min-cluster-size", "3", "--min-samples", "0"], r"--min-samples: must be at least 1"),
        (["pts.txt", "--min-cluster-size", "30"], r"pts\.txt: 20 points, fewer than --min-cluster-size 30$"),
        (["pts.txt", "--min-cluster-size", "5", "--min-samples", "21"], r"fewer than --min-samples 21$"),
        (["pts3.txt", "--min-cluster-size", "5", "--plot", "c.png"], r"--plot draws 2-D points; these have d = 3$"),
        (["nan.csv", "--min-cluster-size", "2"], r"nan\.csv: point at position 2 is not finite \(line 4\)$"),
        (["missing.csv", "--min-cluster-size", "2"], r"missing\.csv: No such file"),
        (["pts.txt", "--min-cluster-size", "5", "--plot", "no/such/dir/c.png"], r"no/such/dir/c\.png: No such file"),
        (["pts.txt", "--min-cluster-size", "5", "-o", "no/such/dir/l.csv"], r"no/such/dir/l\.csv: No such file"),
    ],
)
def test_refusals(tmp_path, args, pattern):
    rng = np.random.default_rng(3)
    (tmp_path / "pts.txt").write_text("".join(f"{a!r} {b!r}\n" for a, b in rng.random((20, 2)).tolist()))
    (tmp_path / "pts3.txt").write_text("".join(f"{a!r} {b!r} {c!r}\n" for a, b, c in rng.random((20, 3)).tolist()))
    (tmp_path / "nan.csv").write_text("x,y\n0,0\n1,1\nnan,2\n")
    result = run_stand_in(tmp_path, "cluster", *args)
    assert_refused(result, pattern)


@pytest.mark.parametrize("plot", [False, True])
def test_dbscan_labels_are_sklearns(tmp_path, plot):
    from sklearn.cluster import DBSCAN

    x = blobs(400, 2, 6)
    np.save(tmp_path / "pts.npy", x)
    args = ["--plot", "c.png"] if plot else []
    if plot:
        pytest.importorskip("matplotlib")
    result = run(tmp_path, "cluster", "pts.npy", "--dbscan", 0.9, "--min-samples", 6, *args)
    assert result.returncode == 0, result.stderr
    want = DBSCAN(eps=0.9, min_samples=6, algorithm="kd_tree").fit(x).labels_
    np.testing.assert_array_equal(read_labels(result.stdout), want)
    assert want.max() >= 1 and (want == -1).any()
    if plot:
        assert (tmp_path / "c.png").read_bytes().startswith(PNG_SIGNATURE)


@pytest.mark.skipif(hasattr(quorlkit, "HDBSCAN"), reason="quorlkit.HDBSCAN is there")
def test_without_hdbscan_the_command_says_so(tmp_path):
    (tmp_path / "pts.txt").write_text("0 0\n1 1\n2 2\n")
    assert_refused(
        run(tmp_path, "cluster", "pts.txt", "--min-cluster-size", "2"),
        r"cluster needs quorlkit\.HDBSCAN, which this installation of quorl lacks$",
    )


@pytest.mark.skipif(not hasattr(quorlkit, "HDBSCAN"), reason="quorlkit.HDBSCAN is not built yet")
def test_labels_are_quorlkits_hdbscan(tmp_path):
    x = blobs(500, 2, 4)
    np.save(tmp_path / "pts.npy", x)
    result = run(tmp_path, "cluster", "pts.npy", "--min-cluster-size", 10, "--min-samples", 5)
    assert result.returncode == 0, result.stderr
    want = quorlkit.HDBSCAN(min_cluster_size=10, min_samples=5).fit(x).labels_
    np.testing.assert_array_equal(read_labels(result.stdout), want)


def test_icicle_plot_of_the_hdbscan_packages_tree():
    pytest.importorskip("matplotlib")
    hdbscan = pytest.importorskip("hdbscan")
    from matplotlib.collections import PolyCollection

    from quorlkit import _plot

    x = blobs(400, 2, 5)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit = hdbscan.HDBSCAN(min_cluster_size=10, min_samples=4).fit(x)
    tree = fit.condensed_tree_.to_numpy()
    out = io.BytesIO()
    fig = _plot.draw_clusters(x, fit.labels_, tree, out)
    assert out.getvalue().startswith(PNG_SIGNATURE)
    scatter, icicle = fig.axes
    bars = [c for c in icicle.collections if isinstance(c, PolyCollection)]
    clusters = np.unique(np.concatenate([tree["parent"], tree["child"][tree["child"] >= len(x)]]))
    assert len(bars) == len(clusters)
    # The selected clusters' bars wear their points' colours.
    colours = {tuple(c.get_facecolor()[0][:3]) for c in bars}
    labelled = {
        tuple(c.get_facecolor()[0][:3])
        for c in scatter.collections[1:]  # the first holds the noise
        if len(c.get_offsets())
    }
    assert len(labelled) == fit.labels_.max() + 1 and labelled <= colours
    # The root spans the whole x axis and hangs from lambda 0.
    root_bar = bars[0].get_paths()[0].vertices
    assert root_bar[:, 0].min() == 0 and root_bar[:, 0].max() == len(x)
    assert root_bar[:, 1].min() == 0
    # Every point of a cluster drawn, and noise in gray.
    assert sum(len(c.get_offsets()) for c in scatter.collections) == len(x)


@pytest.mark.parametrize(
    "points, labels, message",
    [
        (np.zeros((3, 3)), [0, 0, 0], r"draws 2-D points, not points of shape \(3, 3\)"),
        (np.zeros((3, 2)), [0, 0], r"labels must have shape \(3,\)"),
    ],
)
def test_draw_clusters_refusals(points, labels, message):
    pytest.importorskip("matplotlib")
    from quorlkit import _plot

    with pytest.raises(ValueError, match=message):
        _plot.draw_clusters(points, labels, np.zeros(0), io.BytesIO())
