"""The tavrine command line on real files and on bad input."""
import os
import subprocess
import sys

import numpy as np
import pytest


def tavrine(*args, cwd, env=None):
    return subprocess.run([sys.executable, "-m", "tavrine", *args], cwd=cwd, capture_output=True,
                          text=True, timeout=300, env=env)


def points(seed=0):
    rng = np.random.default_rng(seed)
    centers = rng.uniform(-20, 20, (4, 3))
    return (centers[rng.integers(0, 4, 400)] + rng.standard_normal((400, 3))).astype(np.float32)


def write(path, X):
    ext = os.path.splitext(path)[1]
    if ext == ".npy":
        np.save(path, X)
    elif path.endswith("bom.csv"):  # as spreadsheet programs write it: a mark, no header
        np.savetxt(path, X, delimiter=",", encoding="utf-8-sig")
    elif ext == ".csv":
        np.savetxt(path, X, delimiter=",", header="a,b,c", comments="")
    else:  # .fvecs: each row is its dimension as int32, then the floats
        rows = np.hstack([np.full((len(X), 1), X.shape[1], np.int32).view(np.float32), X])
        rows.astype(np.float32).tofile(path)


@pytest.mark.parametrize("ext", [".npy", ".csv", ".bom.csv", ".fvecs"])
def test_fit_writes_labels_and_centers(tmp_path, ext):
    X = points()
    src = tmp_path / f"pts{ext}"
    write(str(src), X)
    out = tavrine("fit", str(src), "-k", "4", "--out", str(tmp_path), cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "n=400 d=3 k=4" in out.stdout and "iterations=" in out.stdout
    stem = src.name[:-len(src.suffix)]
    labels = np.load(tmp_path / f"{stem}.labels.npy")
    centers = np.load(tmp_path / f"{stem}.centers.npy")
    assert labels.shape == (400,) and centers.shape == (4, 3)
    # Each point is labelled with its nearest final center.
    d2 = ((X[:, None].astype(np.float64) - centers[None]) ** 2).sum(-1)
    np.testing.assert_array_equal(labels, d2.argmin(1))
    assert out.stderr == ""  # not a terminal: no progress bar


@pytest.mark.parametrize("args,message", [
    (["missing.npy", "-k", "3"], "missing.npy: no such file"),
    (["flat.npy", "-k", "3"], "expected a 2-D array"),
    (["nan.npy", "-k", "3"], "nan.npy: row 7 contains NaN"),
    (["good.npy", "-k", "401"], "larger than the number of points"),
    (["good.npy", "-k", "0"], "argument -k: expected an integer >= 1, got 0"),
    (["good.xyz", "-k", "3"], "unknown format"),
    (["empty.npy", "-k", "3"], "empty.npy: empty .npy file"),
    (["cut.npy", "-k", "3"], "cut.npy: cannot read"),
    (["huge.npy", "-k", "3"], "huge.npy: row 5 holds a value too large for float32"),
    (["text.csv", "-k", "3"], "text.csv: line 5: 'x' is not a number"),
    (["ragged.csv", "-k", "3"], "ragged.csv: line 3: 2 values, the lines above have 3"),
    (["nan.csv", "-k", "3"], "nan.csv: line 5 contains NaN"),
    (["text.txt", "-k", "3"], "text.txt: line 4: '2,5' is not a number"),
    (["good.npy", "-k", "3", "--out", "good.txt"], "--out good.txt: not a folder"),
    (["good.npy", "-k", "3", "--plot", "p.xyz"], "unknown image format '.xyz'"),
    (["good.npy", "-k", "3", "--plot", "p.png"], "--plot needs matplotlib"),
    (["good.npy", "-k", "3", "--threads", "0"], "argument --threads: expected an integer >= 1"),
    (["good.npy", "-k", "3", "--tol", "-1"], "argument --tol: expected a number >= 0"),
    (["good.npy", "-k", "3", "--seed", "-1"], "argument --seed: expected an integer in"),
    (["good.npy", "-k", "3", "--max-iter", "x"], "argument --max-iter: expected an integer"),
    (["good.npy", "-k", "3", "--n-init", "0"], "argument --n-init: expected an integer >= 1"),
    (["good.npy", "--bogus"], "unrecognized arguments: --bogus"),
])
def test_bad_input_is_one_line_and_status_2(tmp_path, args, message):
    X = points()
    np.save(tmp_path / "flat.npy", X.ravel())
    bad = X.copy()
    bad[7, 1] = np.nan
    np.save(tmp_path / "nan.npy", bad)
    np.save(tmp_path / "good.npy", X)
    (tmp_path / "good.txt").write_text("1,2\n")
    (tmp_path / "good.xyz").write_text("1 2\n")
    (tmp_path / "empty.npy").write_bytes(b"")
    (tmp_path / "cut.npy").write_bytes((tmp_path / "good.npy").read_bytes()[:1000])
    huge = X.astype(np.float64)
    huge[5, 2] = 1e39
    np.save(tmp_path / "huge.npy", huge)
    # Errors name the file's lines: header, a comment and a blank line before line 5.
    (tmp_path / "text.csv").write_text("a,b,c\n1,2,3\n# note\n\n4,x,6\n")
    (tmp_path / "ragged.csv").write_text("1,2,3\n4,5,6\n7,8\n")
    (tmp_path / "text.txt").write_text("# x y z\n1 2 3\n\n4\t2,5 6\n")
    (tmp_path / "nan.csv").write_text("\ufeffa,b,c\n1,2,3\n\n4,5,6\n7,nan,9\n")
    env = None
    if "p.png" in args:  # a matplotlib that fails to import
        fake = tmp_path / "fake" / "matplotlib"
        fake.mkdir(parents=True)
        (fake / "__init__.py").write_text("raise ImportError('no matplotlib here')\n")
        env = dict(os.environ, PYTHONPATH=str(tmp_path / "fake"))
    out = tavrine("fit", *args, cwd=tmp_path, env=env)
    assert out.returncode == 2
    assert message in out.stderr
    assert len(out.stderr.strip().splitlines()) == 1 and "Traceback" not in out.stderr
    assert not list(tmp_path.glob("*.labels.npy"))  # refused before the fit


def test_results_of_another_input_are_kept(tmp_path):
    X = points()
    write(str(tmp_path / "pts.npy"), X)
    write(str(tmp_path / "pts.fvecs"), X[::-1])
    labels = tmp_path / "out" / "pts.labels.npy"

    first = tavrine("fit", "pts.npy", "-k", "4", "--out", "out", cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    kept = labels.read_bytes()
    other = tavrine("fit", "pts.fvecs", "-k", "4", "--out", "out", cwd=tmp_path)
    assert other.returncode == 2 and len(other.stderr.strip().splitlines()) == 1
    assert str(tmp_path / "pts.npy") in other.stderr and "--overwrite" in other.stderr
    assert labels.read_bytes() == kept
    # The same input again, then the other one when asked.
    again = tavrine("fit", str(tmp_path / "pts.npy"), "-k", "4", "--out", "out", "--seed", "3",
                    cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    asked = tavrine("fit", "pts.fvecs", "-k", "4", "--out", "out", "--overwrite", cwd=tmp_path)
    assert asked.returncode == 0, asked.stderr
    centers = np.load(tmp_path / "out" / "pts.centers.npy")
    d2 = ((X[::-1, None].astype(np.float64) - centers[None]) ** 2).sum(-1)
    np.testing.assert_array_equal(np.load(labels), d2.argmin(1))  # the .fvecs points' labels


def test_text_files_as_pandas_and_numpy_write_them(tmp_path, capsys):
    pd = pytest.importorskip("pandas")
    from tavrine.cli import load_points

    X = points().astype(np.float64)
    frame = pd.DataFrame(X, columns=["a", "b", "c"])
    numbered = np.column_stack([np.arange(len(X)), X])
    order = np.argsort(X[:, 0], kind="stable")
    cases = [  # (file, writer, the points expected, whether a column is left out)
        ("index.csv", lambda p: frame.to_csv(p), X, True),
        ("again.csv", lambda p: pd.read_csv(tmp_path / "index.csv").to_csv(p, index=False), X,
         True),
        # A named first column, or one that is not the row numbers, may be data.
        ("named.csv", lambda p: frame.to_csv(p, index_label="id"), numbered, False),
        ("sorted.csv", lambda p: frame.sort_values("a", kind="stable").to_csv(p),
         np.column_stack([order, X[order]]), False),
        ("header.txt", lambda p: np.savetxt(p, X, header="a b c"), X, False),
        ("tabs.dat", lambda p: np.savetxt(p, X, delimiter="\t"), X, False),
    ]
    for name, writer, expected, dropped in cases:
        writer(tmp_path / name)
        np.testing.assert_array_equal(load_points(str(tmp_path / name)), expected, err_msg=name)
        err = capsys.readouterr().err
        assert ("column 1 has no name" in err) == dropped, name
        assert len(err.splitlines()) == dropped


def test_demo_run_and_plot(tmp_path):
    pytest.importorskip("matplotlib")
    # Missing folders for the results and the plot are made.
    out = tavrine("fit", "--plot", "figs/demo.png", "--out", "results/run1", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "n=200000 d=16 k=32" in out.stdout
    with open(tmp_path / "figs" / "demo.png", "rb") as fh:
        assert fh.read(8) == b"\x89PNG\r\n\x1a\n"
    assert np.load(tmp_path / "results" / "run1" / "demo.labels.npy").shape == (200000,)
    work = [line for line in out.stdout.splitlines() if line.startswith("work per iteration")]
    assert len(work) == 1 and "first 1.000, median 0." in work[0]


def test_plot_axes_sample_and_colours():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from types import SimpleNamespace

    from tavrine.cli import PLOT_SAMPLE, figure

    rng = np.random.default_rng(1)
    for n, k in [(PLOT_SAMPLE + 5000, 12), (500, 25)]:
        X = rng.standard_normal((n, 3))
        model = SimpleNamespace(n_clusters=k, labels_=np.arange(n) % k,
                                cluster_centers_=rng.standard_normal((k, 3)))
        fig = figure(X, model, [1.0, 0.4, 0.1])
        fig.canvas.draw()
        clusters, work = fig.axes
        title = clusters.get_title()
        assert clusters.get_xlabel() and clusters.get_ylabel()
        assert all(t == round(t) for t in work.get_xticks()), work.get_xticks()
        if n > PLOT_SAMPLE:
            assert f"{PLOT_SAMPLE} of {n} points" in title
        else:
            assert title.startswith(f"{n} points") and " of " not in title
        colours = np.unique(clusters.collections[0].get_facecolors(), axis=0)
        if k <= 20:
            assert len(colours) == k and "repeat" not in title
        else:
            assert "colours repeat" in title
        plt.close(fig)


def test_progress_bar_on_a_terminal_of_unknown_size(monkeypatch):
    pty = pytest.importorskip("pty")
    import time

    from tavrine.cli import progress_bar

    master, slave = pty.openpty()  # 0 x 0, as some consoles and containers report
    with os.fdopen(slave, "w") as tty:
        monkeypatch.setattr(sys, "stderr", tty)
        update, close = progress_bar(max_iter=300, n_init=1)
        for i in range(1, 8):  # 1.4 s: past the delay of a second
            time.sleep(0.2)
            update(i, 0, 0.5 ** i)
        close(True)
    drawn = b""
    while True:
        try:
            chunk = os.read(master, 1 << 16)
        except OSError:  # the terminal's other end is closed
            break
        if not chunk:
            break
        drawn += chunk
    os.close(master)
    last = drawn.decode().rstrip().split("\r")[-1]
    assert "100%" in last and "7/7" in last and "shift 0.00781" in last, drawn


def test_help_and_version(tmp_path):
    alone = tavrine(cwd=tmp_path)
    assert alone.returncode == 0 and alone.stdout.startswith("usage: tavrine")
    version = tavrine("--version", cwd=tmp_path)
    assert version.returncode == 0 and version.stdout.strip() == f"tavrine {tavrine_version()}"
    helped = tavrine("fit", "--help", cwd=tmp_path)
    assert helped.returncode == 0 and "(default: 300)" in helped.stdout


def tavrine_version():
    import tavrine

    return tavrine.__version__
