"""The ``tavrine`` command line: cluster a file (or a demo set) and report.

Every problem with the input ends the program with one line on standard
error and exit status 2, never a traceback; what can be checked before the
fit (arguments, output folders, plot format, matplotlib, the data) is.
"""
from __future__ import annotations

import argparse
import itertools
import json
import math
import os
import sys
import time
import warnings
from collections.abc import Callable, Sequence

import numpy as np

from . import __version__

DEMO = dict(n=200_000, d=16, k=32, seed=0)
_CHUNK = 4096  # rows per block when checking the data


class InputError(Exception):
    """A problem with what the user gave us, reported as one line."""


# ---- reading points ------------------------------------------------------------
# Each reader returns the points and a function naming data row i as the user
# finds it in the file.

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
    return rows[:, 1:].view(np.float32), "row {}".format


def _is_numbers(line, sep=","):
    try:
        [float(v) for v in line.split(sep)]
    except ValueError:
        return False
    return True


def _csv_rows(path, skip):
    """(file line number from 1, text) of each data row: the lines past the
    header with something before any '#', as np.loadtxt reads them."""
    # utf-8-sig drops a byte-order mark, which would make the first row
    # look like a header.
    with open(path, encoding="utf-8-sig") as fh:
        for number, line in enumerate(fh, 1):
            text = line.split("#", 1)[0].strip()
            if number > skip and text:
                yield number, text


def _csv_fault(path, skip, sep):
    """The first line np.loadtxt could not read, and why."""
    width = None
    for number, text in _csv_rows(path, skip):
        values = text.split(sep)
        if not _is_numbers(text, sep):
            bad = next(v for v in values if not _is_numbers(v, sep)).strip()
            hint = " (comma-separated: name the file .csv)" if sep is None and "," in bad else ""
            return f"line {number}: '{bad}' is not a number{hint}"
        if width is not None and len(values) != width:
            return f"line {number}: {len(values)} values, the lines above have {width}"
        width = len(values)
    kind = "comma" if sep == "," else "whitespace"
    return f"cannot read it as {kind}-separated numbers"


def _saved_index(header, X):
    """Whether column 1 is a row index as pandas' to_csv writes it by default:
    no name (or "Unnamed: 0", pandas' name for it once read back and saved
    again) and the values 0, 1, 2, ...  Anything less certain is data."""
    names = header.split(",")
    return (len(names) == X.shape[1] > 1 and names[0].strip().strip('"') in ("", "Unnamed: 0")
            and np.array_equal(X[:, 0], np.arange(X.shape[0])))


def note(message):
    print(f"tavrine: note: {message}", file=sys.stderr)


def _read_delimited(path, sep):
    number, first = next(_csv_rows(path, 0), (0, ""))
    skip = number if first and not _is_numbers(first, sep) else 0  # a header line
    try:
        with warnings.catch_warnings():  # a file without rows is reported below
            warnings.simplefilter("ignore")
            X = np.loadtxt(path, delimiter=sep, skiprows=skip, dtype=np.float64, ndmin=2,
                           encoding="utf-8-sig", comments="#")
    except ValueError:
        raise InputError(f"{path}: {_csv_fault(path, skip, sep)}") from None
    if sep == "," and skip and _saved_index(first, X):
        note(f"{path}: column 1 has no name and holds the row numbers 0 to {X.shape[0] - 1} "
             "(a saved index); it is left out of the points")
        X = X[:, 1:]
    return X, lambda i: f"line {_csv_line(path, skip, i)}"


def read_csv(path):
    return _read_delimited(path, ",")


def read_text(path):
    """Numbers separated by spaces or tabs, as np.savetxt writes them."""
    return _read_delimited(path, None)


def _csv_line(path, skip, i):
    """File line of data row i."""
    return next(itertools.islice(_csv_rows(path, skip), i, None))[0]


def read_npy(path):
    try:
        return np.load(path, allow_pickle=False), "row {}".format
    except EOFError:
        raise InputError(f"{path}: empty .npy file") from None


READERS = {".npy": read_npy, ".csv": read_csv, ".txt": read_text, ".dat": read_text,
           ".fvecs": read_fvecs}


def check_values(path, X, where):
    """No NaN or infinity, and no value that overflows float32 once the column
    means are subtracted (the estimator's float32 copy)."""
    big = float(np.finfo(np.float32).max)
    mean = X.mean(0, dtype=np.float64)
    with np.errstate(over="ignore", invalid="ignore"):
        for lo in range(0, X.shape[0], _CHUNK):
            block = X[lo:lo + _CHUNK]
            bad = ~np.isfinite(block).all(1)
            if bad.any():
                raise InputError(f"{path}: {where(lo + int(bad.argmax()))} contains NaN or "
                                 "infinity")
            big_rows = (np.abs(block - mean) > big).any(1)
            if big_rows.any():
                raise InputError(f"{path}: {where(lo + int(big_rows.argmax()))} holds a value "
                                 "too large for float32")


def load_points(path):
    if not os.path.isfile(path):
        raise InputError(f"{path}: no such file")
    ext = os.path.splitext(path)[1].lower()
    if ext not in READERS:
        raise InputError(f"{path}: unknown format '{ext}' (use .npy, .csv, .txt, .dat or .fvecs)")
    try:
        X, where = READERS[ext](path)
    except (ValueError, OSError, UnicodeDecodeError) as exc:
        raise InputError(f"{path}: cannot read: {exc}") from None
    if X.ndim != 2:
        raise InputError(f"{path}: expected a 2-D array of points, got shape {X.shape}")
    if X.dtype.kind not in "fiu":
        raise InputError(f"{path}: expected numbers, got dtype {X.dtype}")
    if X.shape[0] == 0 or X.shape[1] == 0:
        raise InputError(f"{path}: no points (shape {X.shape})")
    check_values(path, X, where)
    # float64 stays float64 until the estimator has subtracted the column means.
    return X if X.dtype == np.float32 else X.astype(np.float64)


def demo_points():
    """Overlapping Gaussian clusters: a run takes tens of iterations, as real data do."""
    rng = np.random.default_rng(DEMO["seed"])
    centers = rng.uniform(-10, 10, (DEMO["k"], DEMO["d"]))
    X = centers[rng.integers(0, DEMO["k"], DEMO["n"])] + 3.0 * rng.standard_normal(
        (DEMO["n"], DEMO["d"]))
    return X.astype(np.float32)


# ---- output places, checked before the fit -------------------------------------

def check_folder(option, folder):
    """A folder that exists or can be made, and can be written to."""
    folder = folder or "."
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise InputError(f"{option} {folder}: not a folder")
    existing = folder
    while not os.path.exists(existing):
        existing = os.path.dirname(os.path.abspath(existing))
    if not os.path.isdir(existing) or not os.access(existing, os.W_OK | os.X_OK):
        raise InputError(f"{option} {folder}: cannot write to {existing}")


def make_folder(option, folder):
    try:
        os.makedirs(folder or ".", exist_ok=True)
    except OSError as exc:
        raise InputError(f"{option} {folder}: cannot create the folder: {exc.strerror}") from None


def result_paths(out, stem):
    """The labels, the centers, and the record of the input they came from."""
    return [os.path.join(out or ".", f"{stem}.{what}") for what in
            ("labels.npy", "centers.npy", "run.json")]


def _source(input_path):
    return None if input_path is None else os.path.realpath(input_path)


def check_results(out, stem, input_path, overwrite):
    """Results in the folder from a different input are kept unless asked:
    pts.npy and pts.fvecs would otherwise share, and lose, pts.labels.npy."""
    labels, centers, record = result_paths(out, stem)
    if overwrite or not (os.path.exists(labels) or os.path.exists(centers)):
        return
    try:
        with open(record, encoding="utf-8") as fh:
            earlier = json.load(fh)["input"]
    except (OSError, ValueError, KeyError, TypeError):
        earlier = "an input not recorded"  # made by hand or by another program: keep it
    if earlier == _source(input_path):
        return
    earlier = "the demo set" if earlier is None else earlier
    raise InputError(f"--out {out}: {os.path.basename(labels)} holds the results of {earlier}; "
                     "--overwrite replaces them")


def check_plot(path):
    """matplotlib present and the file's extension one of its formats."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        from matplotlib.backends.backend_agg import FigureCanvasAgg
    except ImportError:
        raise InputError("--plot needs matplotlib: pip install 'tavrine[plot]'") from None
    formats = FigureCanvasAgg.get_supported_filetypes()
    ext = os.path.splitext(path)[1].lower().lstrip(".")
    if ext not in formats:
        raise InputError(f"--plot {path}: unknown image format '.{ext}' (use one of "
                         f"{', '.join('.' + f for f in sorted(formats))})")
    check_folder("--plot", os.path.dirname(path))


PLOT_SAMPLE = 20_000  # points drawn at most


def figure(X, model, work):
    """The clusters on the two leading principal directions, and the work per
    iteration."""
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator

    n, k = X.shape[0], model.n_clusters
    rng = np.random.default_rng(0)
    show = rng.choice(n, min(n, PLOT_SAMPLE), replace=False)
    mean = X[show].mean(0, dtype=np.float64)
    # Project on the two leading principal directions of a sample.
    _, _, vt = np.linalg.svd(X[show] - mean, full_matrices=False)
    axes = vt[:2].T if vt.shape[0] >= 2 else np.eye(X.shape[1], 2)
    P = (X[show] - mean) @ axes
    C = (model.cluster_centers_ - mean) @ axes
    # One colour per label from a qualitative map; a continuous map would give
    # neighbouring labels near-identical shades.
    palette = np.asarray(plt.get_cmap("tab10" if k <= 10 else "tab20").colors)
    fig, (a, b) = plt.subplots(1, 2, figsize=(12, 5))
    a.scatter(P[:, 0], P[:, 1], c=palette[model.labels_[show] % len(palette)], s=2, alpha=0.6)
    a.scatter(C[:, 0], C[:, 1], c="black", marker="x", s=40)
    drawn = f"{n} points" if len(show) == n else f"a sample of {len(show)} of {n} points"
    title = f"{drawn}, k = {k}"
    if k > len(palette):
        title += f"\ncolours repeat: {k} clusters, {len(palette)} colours"
    a.set_title(title)
    if X.shape[1] > 1:
        a.set_xlabel("first principal direction")
        a.set_ylabel("second principal direction")
    else:
        a.set_xlabel("the one feature, less its mean")
        a.set_ylabel("(none)")
    b.plot(np.arange(1, len(work) + 1), work, marker="o")
    b.xaxis.set_major_locator(MaxNLocator(integer=True))
    b.set_xlabel("iteration")
    b.set_ylabel("fraction of point-center products computed")
    b.set_ylim(0, 1.05)
    fig.tight_layout()
    return fig


def plot(path, X, model, work):
    import matplotlib.pyplot as plt

    fig = figure(X, model, work)
    try:
        fig.savefig(path, dpi=100)
    except (OSError, RuntimeError, ValueError) as exc:
        raise InputError(f"--plot {path}: cannot draw: {exc}") from None
    finally:
        plt.close(fig)


# ---- the run -------------------------------------------------------------------

def _terminal_size(stream):
    """Columns and lines of the terminal, 0 where it reports none."""
    try:
        return tuple(os.get_terminal_size(stream.fileno()))
    except (AttributeError, OSError, ValueError):
        return 0, 0


def progress_bar(max_iter, n_init):
    """A tqdm bar on standard error, shown on a terminal once a run has lasted
    a second; returns (callback, close), close(True) after a finished fit."""
    from tqdm import tqdm

    cols, lines = _terminal_size(sys.stderr)
    # A terminal of unknown size (0 x 0, as some consoles and containers give)
    # makes tqdm's own guess -1 columns, and it then draws nothing at all.
    size = dict(dynamic_ncols=True) if cols and lines else dict(ncols=79, nrows=23)
    # miniters=1: tqdm's adaptive count skips the draws of a short run's last
    # iterations; mininterval alone limits the rate.
    bar = tqdm(total=max_iter, unit="iter", file=sys.stderr, disable=None, delay=1.0,
               mininterval=0.1, miniters=1, **size)
    run = 0

    def update(iteration, products, shift):
        nonlocal run
        if iteration == 1:
            run += 1
            if n_init > 1:
                bar.set_description(f"run {run}/{n_init}", refresh=False)
            if run > 1:  # a reset draws the bar, so the first run leaves it to the delay
                bar.set_postfix_str("", refresh=False)
                bar.reset()
                bar.delay = 0  # on view now: a delay would hold it at 0 for a second
        bar.set_postfix_str(f"shift {shift:.3g}", refresh=False)
        bar.update(1)

    def close(finished=False):
        if finished:  # converged before max_iter: the bar ends full, not at 7/300
            bar.total = bar.n
        bar.close()  # draws the final state if the bar was shown

    return update, close


def work_per_iteration(model, n):
    """Fraction of the n x k point-center products each iteration computed."""
    return model.products_per_iter_ / (n * model.n_clusters)


def fit_command(args):
    from . import KMeans

    if args.plot:
        check_plot(args.plot)
    check_folder("--out", args.out)
    stem = "demo" if args.input is None else os.path.splitext(os.path.basename(args.input))[0]
    check_results(args.out, stem, args.input, args.overwrite)
    X = demo_points() if args.input is None else load_points(args.input)
    n, d = X.shape
    k = args.k if args.k is not None else (DEMO["k"] if args.input is None else None)
    if k is None:
        raise InputError("-k is required with an input file")
    if k > n:
        raise InputError(f"-k {k} is larger than the number of points n={n}")
    make_folder("--out", args.out)
    if args.plot:
        make_folder("--plot", os.path.dirname(args.plot))

    model = KMeans(k, init=args.init, n_init=args.n_init, max_iter=args.max_iter, tol=args.tol,
                   random_state=args.seed, n_threads=args.threads)
    n_runs = model._n_runs()
    update, close = progress_bar(args.max_iter, n_runs)
    t0 = time.perf_counter()
    finished = False
    try:
        model.fit(X, progress=update)
        finished = True
    finally:
        close(finished)
    seconds = time.perf_counter() - t0

    out_dir = args.out or "."
    labels_path, centers_path, record_path = result_paths(out_dir, stem)
    try:
        np.save(labels_path, model.labels_)
        np.save(centers_path, model.cluster_centers_)
        with open(record_path, "w", encoding="utf-8") as fh:
            json.dump({"input": _source(args.input)}, fh)
    except OSError as exc:
        raise InputError(f"cannot write the results to {out_dir}: {exc.strerror}") from None
    work = work_per_iteration(model, n)
    print(f"n={n} d={d} k={k}  iterations={model.n_iter_}  inertia={model.inertia_:.6g}  "
          f"time={seconds:.3f}s")
    print(f"work per iteration (fraction of point-center products): first {work[0]:.3f}, "
          f"median {np.median(work):.3f}, last {work[-1]:.3f}")
    print(f"labels -> {labels_path}\ncenters -> {centers_path}")
    if args.plot:
        plot(args.plot, X, model, work)
        print(f"plot -> {args.plot}")
    return 0


# ---- arguments -----------------------------------------------------------------

def _number(kind: Callable, test: Callable, what: str) -> Callable[[str], object]:
    def parse(text):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {what}, got '{text}'") from None
        if not test(value):
            raise argparse.ArgumentTypeError(f"expected {what}, got {text}")
        return value
    parse.__name__ = what  # argparse names the type in its messages
    return parse


_count = _number(int, lambda v: v >= 1, "an integer >= 1")
_tol = _number(float, lambda v: math.isfinite(v) and v >= 0, "a number >= 0")
_seed = _number(int, lambda v: 0 <= v < 2**32, "an integer in [0, 2^32)")


def _n_init(text):
    return text if text == "auto" else _count(text)


class _Help(argparse.ArgumentDefaultsHelpFormatter):
    """Defaults in the help, except where there is none."""

    def _get_help_string(self, action):
        return action.help if action.default is None else super()._get_help_string(action)


class _Parser(argparse.ArgumentParser):
    """argparse with its errors on one line (no usage block)."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="tavrine", description="Exact, pruned k-means (Lloyd).",
                     epilog="'tavrine fit --help' lists the options of a run.")
    parser.add_argument("--version", action="version", version=f"tavrine {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="command")
    fit = sub.add_parser("fit", help="cluster the rows of a .npy, .csv, .txt or .fvecs file",
                         description="Cluster the rows of a .npy, .csv (header allowed), .txt "
                         "or .dat (numbers separated by whitespace) or .fvecs file, or a "
                         "built-in demo set; write <name>.labels.npy and <name>.centers.npy.",
                         formatter_class=_Help)
    fit.add_argument("input", nargs="?", help="points file; omit it for a built-in demo set "
                     f"({DEMO['n']} x {DEMO['d']})")
    fit.add_argument("-k", type=_count, help=f"number of clusters ({DEMO['k']} for the demo)")
    fit.add_argument("--init", choices=("k-means++", "k-means||", "random"),
                     default="k-means++",
                     help="seeding")
    fit.add_argument("--n-init", type=_n_init, default="auto", metavar="N",
                     help="runs from different seeds, the best kept; auto: 1 for k-means++ "
                     "and k-means||, 10 for random")
    fit.add_argument("--max-iter", type=_count, default=300, metavar="N",
                     help="iterations per run at most")
    fit.add_argument("--tol", type=_tol, default=1e-4,
                     help="stop once the squared center shifts are at most tol x the mean "
                     "feature variance")
    fit.add_argument("--seed", type=_seed, default=0, help="random seed")
    fit.add_argument("--threads", type=_count, default=None, metavar="N",
                     help="threads; default: OMP_NUM_THREADS or all cores")
    fit.add_argument("--out", default=".", metavar="DIR",
                     help="folder for the .labels.npy and .centers.npy files (made if missing), "
                     "and a .run.json naming their input")
    fit.add_argument("--overwrite", action="store_true",
                     help="replace results in --out that came from a different input file")
    fit.add_argument("--plot", metavar="FILE.png", default=None,
                     help="draw the clusters and the work per iteration (needs matplotlib: "
                     "pip install 'tavrine[plot]')")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the ``tavrine`` command; returns the exit status."""
    parser = build_parser()
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv:
        parser.print_help()
        return 0
    args = parser.parse_args(argv)
    try:
        return fit_command(args)
    except (InputError, MemoryError) as exc:
        print(f"tavrine: error: {exc}", file=sys.stderr)
        return 2
