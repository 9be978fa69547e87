"""The ``tavrine`` command line: cluster a file (or a demo set) and report.

Errors in the input end the program with one line on standard error and exit
status 2, never a traceback.
"""
import argparse
import os
import sys
import time

import numpy as np

DEMO = dict(n=200_000, d=16, k=32, seed=0)


class InputError(Exception):
    """A problem with what the user gave us, reported as one line."""


def read_fvecs(path):
    raw = np.fromfile(path, dtype=np.int32)
    if raw.size == 0:
        raise InputError(f"{path}: empty .fvecs file")
    d = int(raw[0])
    if d <= 0 or raw.size % (d + 1):
        raise InputError(f"{path}: not a valid .fvecs file (dimension {d}, {raw.size} words)")
    rows = raw.reshape(-1, d + 1)
    if np.any(rows[:, 0] != d):
        raise InputError(f"{path}: .fvecs rows of different dimensions")
    return rows[:, 1:].view(np.float32)


def read_csv(path):
    with open(path) as fh:
        first = fh.readline()
    try:
        [float(v) for v in first.replace(",", " ").split()]
        skip = 0
    except ValueError:
        skip = 1  # a header line
    data = np.loadtxt(path, delimiter=",", skiprows=skip, dtype=np.float32, ndmin=2)
    return data


def load_points(path):
    if not os.path.exists(path):
        raise InputError(f"{path}: no such file")
    ext = os.path.splitext(path)[1].lower()
    try:
        if ext == ".npy":
            X = np.load(path, allow_pickle=False)
        elif ext == ".csv":
            X = read_csv(path)
        elif ext == ".fvecs":
            X = read_fvecs(path)
        else:
            raise InputError(f"{path}: unknown format '{ext}' (use .npy, .csv or .fvecs)")
    except (ValueError, OSError) as exc:
        raise InputError(f"{path}: cannot read: {exc}") from None
    if X.ndim != 2:
        raise InputError(f"{path}: expected a 2-D array of points, got shape {X.shape}")
    if X.dtype.kind not in "fiu":
        raise InputError(f"{path}: expected numbers, got dtype {X.dtype}")
    if X.shape[0] == 0 or X.shape[1] == 0:
        raise InputError(f"{path}: no points (shape {X.shape})")
    bad = ~np.isfinite(X).all(1)
    if bad.any():
        rows = np.flatnonzero(bad)
        raise InputError(f"{path}: {bad.sum()} rows contain NaN or infinity "
                         f"(first: row {rows[0]})")
    return np.ascontiguousarray(X, dtype=np.float32)


def demo_points():
    """Overlapping Gaussian clusters: a run takes tens of iterations, as real data do."""
    rng = np.random.default_rng(DEMO["seed"])
    centers = rng.uniform(-10, 10, (DEMO["k"], DEMO["d"]))
    X = centers[rng.integers(0, DEMO["k"], DEMO["n"])] + 3.0 * rng.standard_normal(
        (DEMO["n"], DEMO["d"]))
    return X.astype(np.float32)


class ProgressBar:
    """An iteration counter on standard error, shown only on a terminal and
    only once a run has lasted a second."""

    def __init__(self, max_iter, stream=sys.stderr):
        self.max_iter = max_iter
        self.stream = stream
        self.start = time.perf_counter()
        self.shown = False

    def __call__(self, iteration, products, shift):
        if not self.stream.isatty() or time.perf_counter() - self.start < 1.0:
            return
        self.shown = True
        width = 30
        filled = int(width * iteration / self.max_iter)
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] iteration {iteration} "
                          f"shift {shift:.3g}")
        self.stream.flush()

    def close(self):
        if self.shown:
            self.stream.write("\n")


def plot(path, X, model, n, k):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise InputError("--plot needs matplotlib: pip install 'tavrine[bench]' or "
                         "pip install matplotlib") from None
    rng = np.random.default_rng(0)
    show = rng.choice(n, min(n, 20_000), replace=False)
    mean = X[show].mean(0)
    # Project on the two leading principal directions of a sample.
    _, _, vt = np.linalg.svd(X[show] - mean, full_matrices=False)
    axes = vt[:2].T if vt.shape[0] >= 2 else np.eye(X.shape[1], 2)
    P = (X[show] - mean) @ axes
    C = (model.cluster_centers_ - mean) @ axes
    fig, (a, b) = plt.subplots(1, 2, figsize=(12, 5))
    a.scatter(P[:, 0], P[:, 1], c=model.labels_[show], s=2, cmap="tab20", alpha=0.6)
    a.scatter(C[:, 0], C[:, 1], c="black", marker="x", s=40)
    a.set_title(f"{n} points, k = {k} (2-D projection)")
    frac = model.products_per_iter_ / (n * k)
    frac[0] = 1.0
    b.plot(np.arange(1, len(frac) + 1), frac, marker="o")
    b.set_xlabel("iteration")
    b.set_ylabel("fraction of point-center products computed")
    b.set_ylim(0, 1.05)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def fit_command(args):
    from . import KMeans

    X = demo_points() if args.input is None else load_points(args.input)
    n, d = X.shape
    k = args.k if args.k is not None else (DEMO["k"] if args.input is None else None)
    if k is None:
        raise InputError("-k is required with an input file")
    if k <= 0:
        raise InputError(f"-k must be positive, got {k}")
    if k > n:
        raise InputError(f"-k {k} is larger than the number of points n={n}")
    bar = ProgressBar(args.max_iter)
    model = KMeans(k, init=args.init, max_iter=args.max_iter, tol=args.tol,
                   random_state=args.seed, n_threads=args.threads)
    t0 = time.perf_counter()
    try:
        model.fit(X, progress=bar)
    finally:
        bar.close()
    seconds = time.perf_counter() - t0
    stem = "demo" if args.input is None else os.path.splitext(os.path.basename(args.input))[0]
    out_dir = args.out or "."
    labels_path = os.path.join(out_dir, f"{stem}.labels.npy")
    centers_path = os.path.join(out_dir, f"{stem}.centers.npy")
    np.save(labels_path, model.labels_)
    np.save(centers_path, model.cluster_centers_)
    work = model.products_per_iter_ / (n * k)
    work[0] = 1.0
    print(f"n={n} d={d} k={k}  iterations={model.n_iter_}  inertia={model.inertia_:.6g}  "
          f"time={seconds:.3f}s")
    print("work per iteration (fraction of point-center products): "
          + " ".join(f"{w:.3f}" for w in work))
    print(f"labels -> {labels_path}\ncenters -> {centers_path}")
    if args.plot:
        plot(args.plot, X, model, n, k)
        print(f"plot -> {args.plot}")
    return 0


def build_parser():
    parser = argparse.ArgumentParser(prog="tavrine", description="Exact, pruned k-means.")
    sub = parser.add_subparsers(dest="command", required=True)
    fit = sub.add_parser("fit", help="cluster the rows of a .npy, .csv or .fvecs file")
    fit.add_argument("input", nargs="?", help="points file; omit it for a built-in demo set")
    fit.add_argument("-k", type=int, help="number of clusters (32 for the demo)")
    fit.add_argument("--init", choices=("k-means++", "random"), default="k-means++")
    fit.add_argument("--max-iter", type=int, default=300)
    fit.add_argument("--tol", type=float, default=1e-4)
    fit.add_argument("--seed", type=int, default=0)
    fit.add_argument("--threads", type=int, default=None)
    fit.add_argument("--out", help="folder for the .labels.npy and .centers.npy files")
    fit.add_argument("--plot", metavar="FILE.png", help="draw the clusters and the work")
    return parser


def main(argv=None):
    """Entry point of the ``tavrine`` command; returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        if args.max_iter < 1:
            raise InputError(f"--max-iter must be at least 1, got {args.max_iter}")
        return fit_command(args)
    except (InputError, MemoryError) as exc:
        print(f"tavrine: error: {exc}", file=sys.stderr)
        return 2
