"""The tavrine command line on real files and on bad input."""
import os
import subprocess
import sys

import numpy as np
import pytest


def tavrine(*args, cwd):
    return subprocess.run([sys.executable, "-m", "tavrine", *args], cwd=cwd, capture_output=True,
                          text=True, timeout=300)


def points(seed=0):
    rng = np.random.default_rng(seed)
    centers = rng.uniform(-20, 20, (4, 3))
    return (centers[rng.integers(0, 4, 400)] + rng.standard_normal((400, 3))).astype(np.float32)


def write(path, X):
    ext = os.path.splitext(path)[1]
    if ext == ".npy":
        np.save(path, X)
    elif ext == ".csv":
        np.savetxt(path, X, delimiter=",", header="a,b,c", comments="")
    else:  # .fvecs: each row is its dimension as int32, then the floats
        rows = np.hstack([np.full((len(X), 1), X.shape[1], np.int32).view(np.float32), X])
        rows.astype(np.float32).tofile(path)


@pytest.mark.parametrize("ext", [".npy", ".csv", ".fvecs"])
def test_fit_writes_labels_and_centers(tmp_path, ext):
    X = points()
    src = tmp_path / f"pts{ext}"
    write(str(src), X)
    out = tavrine("fit", str(src), "-k", "4", "--out", str(tmp_path), cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "n=400 d=3 k=4" in out.stdout and "iterations=" in out.stdout
    labels = np.load(tmp_path / "pts.labels.npy")
    centers = np.load(tmp_path / "pts.centers.npy")
    assert labels.shape == (400,) and centers.shape == (4, 3)
    # Each point is labelled with its nearest final center.
    d2 = ((X[:, None].astype(np.float64) - centers[None]) ** 2).sum(-1)
    np.testing.assert_array_equal(labels, d2.argmin(1))
    assert out.stderr == ""  # not a terminal: no progress bar


@pytest.mark.parametrize("args,message", [
    (["missing.npy", "-k", "3"], "missing.npy: no such file"),
    (["flat.npy", "-k", "3"], "expected a 2-D array"),
    (["nan.npy", "-k", "3"], "rows contain NaN"),
    (["good.npy", "-k", "401"], "larger than the number of points"),
    (["good.npy", "-k", "0"], "-k must be positive"),
    (["good.txt", "-k", "3"], "unknown format"),
])
def test_bad_input_is_one_line_and_status_2(tmp_path, args, message):
    X = points()
    np.save(tmp_path / "flat.npy", X.ravel())
    bad = X.copy()
    bad[7, 1] = np.nan
    np.save(tmp_path / "nan.npy", bad)
    np.save(tmp_path / "good.npy", X)
    (tmp_path / "good.txt").write_text("1,2\n")
    out = tavrine("fit", *args, cwd=tmp_path)
    assert out.returncode == 2
    assert message in out.stderr
    assert len(out.stderr.strip().splitlines()) == 1 and "Traceback" not in out.stderr


def test_demo_run_and_plot(tmp_path):
    pytest.importorskip("matplotlib")
    out = tavrine("fit", "--plot", "demo.png", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "n=200000 d=16 k=32" in out.stdout
    with open(tmp_path / "demo.png", "rb") as fh:
        assert fh.read(8) == b"\x89PNG\r\n\x1a\n"
    assert np.load(tmp_path / "demo.labels.npy").shape == (200000,)
