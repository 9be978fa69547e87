"""Whole clustering runs of tavrine next to scikit-learn, faiss and scikit-learn-intelex.

    pip install '.[bench]' scikit-learn-intelex
    python benchmarks/bench_run.py [--quick] [--out FILE.md] [--plots DIR] [--lanes 8|16]
    python benchmarks/bench_run.py --defaults [--quick]
    python benchmarks/bench_run.py --large [--only 16384]

Every workload is generated (or loaded from scikit-learn's bundled data) once
as C-contiguous float32 (float64 in the rows that say so, run by tavrine,
scikit-learn lloyd and scikit-learn-intelex), and every system starts from the same centers:
k-means++ with a fixed seed, or fixed random rows for the codebook workload.
scikit-learn's lloyd runs first with tol=0 (at most 150 iterations); the
iterations it needs are given to every other system that takes a limit
(tavrine.KMeans: tol=0 and max_iter; faiss: niter; scikit-learn elkan and
scikit-learn-intelex: tol=0 and max_iter). The codebook workload runs 20
iterations everywhere. tavrine.viza_.zozid_py, the core's raw entry point,
keeps its own fixed stopping rules and its own iteration count.

Prints per workload and system: total time, iterations, time per iteration,
float64 inertia of the returned centers, label agreement with scikit-learn
lloyd, peak memory added, and for tavrine the share of point-center distances
computed (products / (n k)) and of points the bounds let through (points / n)
per iteration as first / median / last; then each system's time divided by
tavrine.KMeans's (above 1: tavrine faster), and the GFLOP/s of tavrine's
iterations that compute (nearly) every distance beside NumPy's float32 matmul
of the same shape, timed in the same run. Every system runs on the same
thread count; OMP_NUM_THREADS and the OPENBLAS_* settings are reported as
found and never changed, and so is the width of tavrine's kernels (--lanes 8
runs tavrine on its AVX2 kernels where it would pick AVX-512; --no-tiles
keeps it off AMX tiles where the processor has them). A run shorter than 1.5 s is repeated twice, one of
milliseconds until the runs add up to 1.5 s, and the median counts. Writes the same as Markdown and two PNG plots.

--large runs two coarse quantisers instead, the codebooks of an inverted-file
index: 300k x 96 with k = 16384 (6 iterations) and 1M x 96 with k = 65536
(3 iterations), both from random rows, without scikit-learn elkan and
zozid_py.

--defaults runs every library as its users do, with its own defaults
(seeding included, random_state/seed 0): tavrine.KMeans, scikit-learn's
KMeans, scikit-learn-intelex's and faiss.Kmeans (25 iterations on at most 256
sampled points per center), and prints each one's time, its time divided by
tavrine's, and its float64 inertia over all points relative to the best.
scikit-learn is left out where k >= 2048: its greedy seeding alone takes
minutes there.
"""
import argparse
import logging
import os
import sys
import threading
import time
import warnings

import numpy as np

MAX_ITER = 150        # scikit-learn lloyd's limit, and zozid_py's fixed cap
CODEBOOK_ITERS = 20
QUICK_RUN = 1.5       # seconds; shorter runs are repeated and their median taken
PEERS = ("sklearn lloyd", "sklearn elkan", "faiss", "sklearnex")
# Left out of the float64 workloads: faiss and zozid_py take float32 only,
# and elkan adds nothing to lloyd there.
FLOAT32_ONLY = ("zozid_py", "faiss", "sklearn elkan")


# ---- data ---------------------------------------------------------------------

def mixture(n, d, k, seed=0):
    """Gaussian clusters whose noise is comparable to the spacing of their centers."""
    rng = np.random.default_rng(seed)
    centers = rng.standard_normal((k, d)).astype(np.float32)
    spacing = np.median(np.linalg.norm(centers[:64, None] - centers[None, :64], axis=-1))
    X = np.empty((n, d), np.float32)
    step = 100_000
    for lo in range(0, n, step):
        m = min(step, n - lo)
        X[lo:lo + m] = centers[rng.integers(0, k, m)]
        X[lo:lo + m] += (0.8 * spacing / np.sqrt(d)) * rng.standard_normal((m, d), np.float32)
    return X


def image_patches(size=8, stride=4):
    from sklearn.datasets import load_sample_image

    out = []
    for name in ("china.jpg", "flower.jpg"):
        img = load_sample_image(name).astype(np.float32) / 255.0
        h, w, c = img.shape
        win = np.lib.stride_tricks.sliding_window_view(img, (size, size, c))[::stride, ::stride, 0]
        out.append(win.reshape(-1, size * size * c))
    return np.ascontiguousarray(np.vstack(out))


def china_pixels():
    from sklearn.datasets import load_sample_image

    img = load_sample_image("china.jpg").astype(np.float32) / 255.0
    return np.ascontiguousarray(img.reshape(-1, 3))


def digits():
    from sklearn.datasets import load_digits

    return load_digits().data.astype(np.float32)


def tfidf(n=40_000, d=20_000, topics=60, density=0.002, common=100, seed=0):
    """TF-IDF rows of unit length (float32 CSR): each row draws words from its
    topic's own vocabulary and from `common` words every topic shares,
    favouring the first words of both."""
    import scipy.sparse as sp
    from sklearn.feature_extraction.text import TfidfTransformer

    rng = np.random.default_rng(seed)
    per_row = max(1, int(d * density))
    topic = rng.integers(topics, size=n)
    vocab = np.array([rng.choice(d, size=per_row * 8, replace=False) for _ in range(topics)])
    words = np.minimum(rng.integers(per_row * 8, size=(n, per_row)),
                       rng.integers(per_row * 8, size=(n, per_row)))
    shared = np.minimum(rng.integers(common, size=(n, per_row // 2)),
                        rng.integers(common, size=(n, per_row // 2)))
    cols = np.hstack([vocab[topic[:, None], words], shared])
    rows = np.repeat(np.arange(n), cols.shape[1])
    counts = sp.csr_matrix((np.ones(rows.size), (rows, cols.ravel())), shape=(n, d))
    return TfidfTransformer().fit_transform(counts).astype(np.float32)


class Workload:
    """A data set, its k, how its centers start and how many iterations it runs.

    iters=None lets scikit-learn lloyd with tol=0 decide (at most MAX_ITER).
    """

    def __init__(self, name, make, k, init="k-means++", iters=None, dtype=np.float32, skip=()):
        self.name, self.make, self.k, self.init, self.iters = name, make, k, init, iters
        self.dtype, self.skip = dtype, skip


def workloads(quick):
    if quick:
        return [
            Workload("mixture 50k x 32, k=128", lambda: mixture(50_000, 32, 128), 128),
            Workload("mixture 50k x 32, k=128, float64", lambda: mixture(50_000, 32, 128), 128,
                     dtype=np.float64),
            Workload("china pixels 273k x 3, k=32", china_pixels, 32),
            Workload("digits 1797 x 64, k=10", digits, 10),
        ]
    return [
        Workload("mixture 200k x 64, k=256", lambda: mixture(200_000, 64, 256), 256),
        Workload("mixture 100k x 256, k=1024", lambda: mixture(100_000, 256, 1024), 1024),
        Workload("mixture 200k x 64, k=256, float64", lambda: mixture(200_000, 64, 256), 256,
                 dtype=np.float64),
        Workload("mixture 100k x 256, k=1024, float64", lambda: mixture(100_000, 256, 1024),
                 1024, dtype=np.float64),
        Workload("image patches 8x8x3, k=256", image_patches, 256),
        Workload("codebook 200k x 64, k=4096", lambda: mixture(200_000, 64, 4096), 4096,
                 init="random rows", iters=CODEBOOK_ITERS),
        Workload("mixture 500k x 2, k=32", lambda: mixture(500_000, 2, 32), 32),
        Workload("china pixels 273k x 3, k=64", china_pixels, 64),
        Workload("digits 1797 x 64, k=10", digits, 10),
        Workload(SPARSE_WORKLOAD, tfidf, 50),
    ]


def large_workloads():
    """Coarse quantisers of an inverted-file index: a few iterations from
    random rows. Left out: scikit-learn elkan (n x k bounds in float64, 39 GB
    at k = 16384) and zozid_py (its own fixed loop)."""
    skip = ("sklearn elkan", "zozid_py")
    return [
        Workload("codebook 300k x 96, k=16384", lambda: mixture(300_000, 96, 16384), 16384,
                 init="random rows", iters=6, skip=skip),
        Workload("codebook 1M x 96, k=65536", lambda: mixture(1_000_000, 96, 65536), 65536,
                 init="random rows", iters=3, skip=skip),
    ]


# Sparse rows: only the systems that take CSR run (tavrine.KMeans, scikit-learn).
SPARSE_WORKLOAD = "tf-idf 40k x 20k (0.2%), k=50"
SPARSE_SYSTEMS = ("tavrine.KMeans", "sklearn lloyd", "sklearn elkan")


def initial_centers(X, w):
    if w.init == "random rows":
        rows = np.random.default_rng(0).choice(len(X), w.k, replace=False)
        return np.ascontiguousarray(X[np.sort(rows)])
    from sklearn.cluster import kmeans_plusplus

    return np.ascontiguousarray(kmeans_plusplus(X, w.k, random_state=0)[0], dtype=np.float32)


# ---- measurement helpers ---------------------------------------------------------

class PeakMemory:
    """Peak resident memory above the level at entry, sampled every 2 ms."""

    def __enter__(self):
        import psutil

        self.proc = psutil.Process()
        self.base = self.proc.memory_info().rss
        self.peak = self.base
        self.stop = False
        self.thread = threading.Thread(target=self._sample, daemon=True)
        self.thread.start()
        return self

    def _sample(self):
        while not self.stop:
            self.peak = max(self.peak, self.proc.memory_info().rss)
            time.sleep(0.002)

    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()
        self.peak = max(self.peak, self.proc.memory_info().rss)
        self.added_mb = (self.peak - self.base) / 2**20


def timed(fit):
    """Runs fit() and returns (its result, seconds, peak MB added).

    A run shorter than QUICK_RUN runs twice more, and one of milliseconds
    until the runs add up to QUICK_RUN (at most 500 runs); the median counts:
    on a shared 2-core machine one short run can be off by 2x. The memory
    figure is the first run's.
    """
    with PeakMemory() as mem:
        t = time.perf_counter()
        out = fit()
        times = [time.perf_counter() - t]
    while times[0] < QUICK_RUN and (len(times) < 3 or
                                    (sum(times) < QUICK_RUN and len(times) < 500)):
        t = time.perf_counter()
        fit()
        times.append(time.perf_counter() - t)
    return out, float(np.median(times)), mem.added_mb


def inertia64(X, centers):
    """Sum over points of the squared distance to the nearest center, in float64.

    Centers that are not finite (the raw core's emptied ones) are left out.
    """
    C = np.asarray(centers, np.float64)
    C = C[np.isfinite(C).all(1)]
    c_norm = (C ** 2).sum(1)
    step = max(256, 2**24 // len(C))  # rows per block: at most 128 MB of distances
    total = 0.0
    for lo in range(0, X.shape[0], step):
        B = X[lo:lo + step].astype(np.float64)
        d2 = c_norm[None] - 2.0 * np.asarray(B @ C.T)
        b_norm = np.asarray(B.multiply(B).sum(1)).ravel() if hasattr(B, "multiply") else (
            B ** 2).sum(1)
        total += np.maximum(d2.min(1) + b_norm, 0.0).sum()
    return total


def label_means(X, labels, k):
    """Float64 mean of each non-empty label's points."""
    cnt = np.bincount(labels, minlength=k)
    sums = np.zeros((k, X.shape[1]))
    np.add.at(sums, labels, X.astype(np.float64))
    return sums[cnt > 0] / cnt[cnt > 0, None]


def summary(shares):
    """First, median and last of a per-iteration series, or None."""
    if shares is None or len(shares) == 0:
        return None
    return float(shares[0]), float(np.median(shares)), float(shares[-1])


# ---- systems --------------------------------------------------------------------
# Each returns labels, centers (float64 means of the labels for zozid_py, which
# hands back none), total seconds, iterations and peak MB added.

def run_kmeans(X, C, iters, threads):
    from tavrine import KMeans

    n, k = X.shape[0], len(C)

    def fit(progress=None):
        km = KMeans(k, init=C, n_init=1, tol=0, max_iter=iters, n_threads=threads)
        return km.fit(X, progress=progress)

    km, total, mem = timed(fit)
    points = getattr(km, "points_per_iter_", None)
    # Per-iteration wall times for the plot, from a separate run through the
    # progress hook, so that the timed runs are the plain call.
    stamps = [time.perf_counter()]
    fit(lambda *_: stamps.append(time.perf_counter()))
    return dict(labels=km.labels_, centers=km.cluster_centers_, total=total, iters=km.n_iter_,
                mem=mem, products=np.asarray(km.products_per_iter_) / (n * k),
                points=None if points is None else np.asarray(points) / n,
                per_iter=np.diff(stamps))


def run_zozid(X, C):
    """zozid_py in a process of its own: its fixed 20-thread team and the
    OpenBLAS thread count it sets stay in this process for good, where they
    would slow every system timed after it (an OpenMP pool larger than the
    machine makes every later team's idle threads sleep between regions)."""
    import multiprocessing

    with multiprocessing.get_context("spawn").Pool(1) as pool:
        return pool.apply(run_zozid_here, (X, C))


def run_zozid_here(X, C):
    from tavrine import viza_

    n, k = X.shape[0], len(C)
    y = np.empty(n, np.int32)
    count = np.zeros(MAX_ITER, np.int64)
    tm = np.zeros(4, np.int64)
    stop, total, mem = timed(lambda: viza_.zozid_py(X, C.copy(), y, count, tm, False))
    iters = min(stop, MAX_ITER)  # MAX_ITER + 1 means it reached the cap
    return dict(labels=y, centers=label_means(X, y, k), total=total, iters=iters, mem=mem,
                products=count[:iters] / (n * k))


def run_sklearn(X, C, algorithm, iters):
    from sklearn.cluster import KMeans

    def fit():
        return KMeans(len(C), init=C, n_init=1, tol=0, max_iter=iters,
                      algorithm=algorithm).fit(X)

    km, total, mem = timed(fit)
    return dict(labels=km.labels_, centers=km.cluster_centers_, total=total, iters=km.n_iter_,
                mem=mem)


class _Messages(logging.Handler):
    def __init__(self):
        super().__init__(logging.INFO)
        self.lines = []

    def emit(self, record):
        self.lines.append(record.getMessage())


def run_sklearnex(X, C, iters, threads):
    """scikit-learn-intelex's estimator, imported directly so scikit-learn stays unpatched.

    Its log tells whether oneDAL ran the fit or it fell back to scikit-learn.
    """
    from sklearnex.cluster import KMeans

    log = logging.getLogger("sklearnex")
    messages = _Messages()
    # Its own stderr handler is set aside while the messages are collected.
    saved = log.handlers, log.level, log.propagate
    log.handlers, log.propagate = [messages], False
    log.setLevel(logging.INFO)

    def fit():
        return KMeans(len(C), init=C, n_init=1, tol=0, max_iter=iters, algorithm="lloyd",
                      n_jobs=threads).fit(X)

    try:
        km, total, mem = timed(fit)
    finally:
        log.handlers, log.propagate = saved[0], saved[2]
        log.setLevel(saved[1])
    fallback = any("fallback" in m.lower() for m in messages.lines)
    return dict(labels=km.labels_, centers=km.cluster_centers_, total=total, iters=km.n_iter_,
                mem=mem, note="fell back to scikit-learn" if fallback else None)


def run_faiss(X, C, iters, threads):
    import faiss

    faiss.omp_set_num_threads(threads)
    n, d = X.shape

    def fit():
        # No subsampling: faiss trains on every point, as the others do.
        km = faiss.Kmeans(d, len(C), niter=iters, max_points_per_centroid=n + 1, seed=0,
                          nredo=1, verbose=False)
        km.train(X, init_centroids=C)
        return km.index.search(X, 1)[1].ravel(), km.centroids.copy()

    (labels, centers), total, mem = timed(fit)
    return dict(labels=labels, centers=centers, total=total, iters=iters, mem=mem)


def available_peers(no_faiss):
    """Peer name -> None if usable, else why it is skipped."""
    missing = {}
    for name, module in (("faiss", "faiss"), ("sklearnex", "sklearnex.cluster")):
        if name == "faiss" and no_faiss:
            missing[name] = "skipped (--no-faiss)"
            continue
        try:
            __import__(module)
        except ImportError:
            missing[name] = f"{module} not installed; skipped"
    return missing


def warm_up(systems):
    """One tiny fit of every system, so no library's first-call setup is timed."""
    X = mixture(4000, 8, 8, seed=1)
    C = np.ascontiguousarray(X[:8])
    for name, run in systems.items():
        run(X, C, 3)


# ---- report ---------------------------------------------------------------------

def fmt_summary(s):
    return "-" if s is None else "{:.3f} {:.3f} {:.3f}".format(*s)


def versions():
    from importlib.metadata import PackageNotFoundError, version

    out = {}
    for name in ("tavrine", "scikit-learn", "faiss-cpu", "scikit-learn-intelex"):
        try:
            out[name] = version(name)
        except PackageNotFoundError:
            pass
    return out


def pick(listed, only):
    """The workloads whose name contains `only` (all for None); exits
    naming them all when none does."""
    chosen = [w for w in listed if only is None or only in w.name]
    if not chosen:
        sys.exit(f"no workload's name contains {only!r}: " + ", ".join(w.name for w in listed))
    return chosen


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="small workloads only")
    parser.add_argument("--large", action="store_true",
                        help="the k = 16384 and k = 65536 codebooks instead (tens of minutes)")
    parser.add_argument("--defaults", action="store_true",
                        help="each library with its own defaults, seeding included")
    omp = os.environ.get("OMP_NUM_THREADS", "")
    parser.add_argument("--threads", type=int,
                        default=int(omp) if omp.isdigit() else os.cpu_count(),
                        help="threads of every system (default: OMP_NUM_THREADS, else all "
                             "processors)")
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--out", default=os.path.join(here, "results", "bench.md"),
                        help="Markdown file (a folder receives bench.md)")
    parser.add_argument("--plots", default=None,
                        help="folder of bench_time.png and bench_work.png (default: that of "
                             "--out; `--plots docs` refreshes the README's plot)")
    parser.add_argument("--only", default=None, help="run the workloads whose name contains this")
    parser.add_argument("--no-faiss", action="store_true")
    parser.add_argument("--lanes", type=int, choices=(8, 16), default=None,
                        help="tavrine's kernel width: 8 (AVX2) or 16 (AVX-512, where the "
                             "processor has it); default: what the core picked at load")
    parser.add_argument("--no-tiles", action="store_true",
                        help="keep tavrine off AMX tiles where the processor has them")
    args = parser.parse_args()
    from tavrine import _fit

    lanes = _fit._simd_width(args.lanes or -1)
    tiles = _fit._tile_products(0 if args.no_tiles else -1)
    out = args.out if args.out.endswith(".md") else os.path.join(args.out, "bench.md")
    plots = args.plots or os.path.dirname(os.path.abspath(out))

    from threadpoolctl import threadpool_limits

    warnings.filterwarnings("ignore", message="Number of distinct clusters")
    settings = {k: os.environ.get(k, "(unset)") for k in
                ("OMP_NUM_THREADS", "OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    settings_line = (", ".join(f"{k}={v}" for k, v in settings.items())
                     + f"; {args.threads} threads for every system; tavrine at {lanes} lanes, "
                     + ("on AMX tiles; " if tiles else "no AMX tiles; ")
                     + ", ".join(f"{k} {v}" for k, v in versions().items()))
    print("settings: " + settings_line)
    missing = available_peers(args.no_faiss)
    for note in missing.values():
        print(note)

    threads = args.threads
    if args.defaults:
        with threadpool_limits(threads):
            run_defaults(pick(default_workloads(args.quick), args.only), threads, missing)
        return
    systems = {
        "tavrine.KMeans": lambda X, C, it: run_kmeans(X, C, it, threads),
        "zozid_py": lambda X, C, it: run_zozid(X, C),
        "sklearn lloyd": lambda X, C, it: run_sklearn(X, C, "lloyd", it),
        "sklearn elkan": lambda X, C, it: run_sklearn(X, C, "elkan", it),
        "faiss": lambda X, C, it: run_faiss(X, C, it, threads),
        "sklearnex": lambda X, C, it: run_sklearnex(X, C, it, threads),
    }
    for name in missing:
        del systems[name]
    chosen = pick(large_workloads() if args.large else workloads(args.quick), args.only)

    rows, curves, rates = [], {}, []
    # BLAS and OpenMP pools of every loaded library, including scikit-learn's.
    with threadpool_limits(threads):
        warm_up(systems)
        for w in chosen:
            X = w.make()
            if not hasattr(X, "tocsr"):
                X = np.ascontiguousarray(X, dtype=w.dtype)
            n, d = X.shape
            C = initial_centers(X, w).astype(w.dtype)
            print(f"\n== {w.name}: n={n} d={d} k={w.k}, {w.init} centers", flush=True)
            # scikit-learn lloyd sets the iterations of the others.
            res = {"sklearn lloyd": systems["sklearn lloyd"](X, C, w.iters or MAX_ITER)}
            iters = res["sklearn lloyd"]["iters"]
            print(f"{iters} iterations (scikit-learn lloyd"
                  + (", fixed)" if w.iters else ", tol=0)"), flush=True)
            for name, run in systems.items():
                if name == "sklearn lloyd" or (w.name == SPARSE_WORKLOAD and
                                               name not in SPARSE_SYSTEMS):
                    continue
                if (name in FLOAT32_ONLY and w.dtype != np.float32) or name in w.skip:
                    continue
                res[name] = run(X, C, iters)
            rows += report(w, X, res)
            kr = res["tavrine.KMeans"]
            rate = full_iteration_rate(X, C, kr)
            if rate:
                rates.append(dict(rate, workload=w.name))
            curves[w.name] = (kr["products"], kr["points"], kr["per_iter"])
    write_markdown(out, rows, settings_line, rates)
    write_plots(plots, rows, curves)


# ---- each library with its own defaults -----------------------------------------

SKLEARN_SEEDING_K = 2048  # from here on scikit-learn's seeding alone takes minutes


def default_fits(threads):
    """System name -> fit(X, k) returning its centers, each with its defaults."""
    def tavrine_fit(X, k, init="k-means++"):
        from tavrine import KMeans
        return KMeans(k, init=init, random_state=0, n_threads=threads).fit(X).cluster_centers_

    def tavrine_parallel_fit(X, k):
        return tavrine_fit(X, k, "k-means||")

    def sklearn_fit(X, k):
        from sklearn.cluster import KMeans
        return KMeans(k, random_state=0).fit(X).cluster_centers_

    def sklearnex_fit(X, k):
        from sklearnex.cluster import KMeans
        return KMeans(k, random_state=0).fit(X).cluster_centers_

    def faiss_fit(X, k):
        import faiss
        faiss.omp_set_num_threads(threads)
        km = faiss.Kmeans(X.shape[1], k, seed=0)
        km.train(X)
        return km.centroids.copy()

    return {"tavrine.KMeans": tavrine_fit, "tavrine k-means||": tavrine_parallel_fit,
            "sklearn": sklearn_fit, "sklearnex": sklearnex_fit,
            "faiss": faiss_fit}


def default_workloads(quick):
    if quick:
        return [Workload("mixture 50k x 32, k=128", lambda: mixture(50_000, 32, 128), 128),
                Workload("digits 1797 x 64, k=10", digits, 10)]
    return [Workload("mixture 200k x 64, k=256", lambda: mixture(200_000, 64, 256), 256),
            Workload("mixture 100k x 256, k=1024", lambda: mixture(100_000, 256, 1024), 1024),
            Workload("codebook 200k x 64, k=4096", lambda: mixture(200_000, 64, 4096), 4096)]


def run_defaults(chosen, threads, missing):
    fits = default_fits(threads)
    for name in missing:
        fits.pop(name, None)
    for w in chosen:
        X = np.ascontiguousarray(w.make(), dtype=np.float32)
        print(f"\n== {w.name}, each library's defaults", flush=True)
        res = {}
        for name, fit in fits.items():
            if name == "sklearn" and w.k >= SKLEARN_SEEDING_K:
                print(f"sklearn: skipped (greedy seeding of k={w.k} takes minutes)")
                continue
            centers, total, _ = timed(lambda: fit(X, w.k))
            res[name] = (total, inertia64(X, centers))
        best = min(v[1] for v in res.values())
        base = res["tavrine.KMeans"][0]
        print(f"{'system':16} {'total s':>8} {'peer/tavrine':>12} {'inertia / best':>15}")
        for name, (total, inertia) in res.items():
            print(f"{name:16} {total:8.3f} {total / base:12.2f} {inertia / best:15.5f}")


def full_iteration_rate(X, C, kr):
    """GFLOP/s (2 n k d per iteration) of tavrine's iterations after the
    first that compute at least 99% of the distances, beside NumPy's float32
    matmul of the same shape (n x d by d x k) in the same run; None for
    sparse rows or when no such iteration ran. The first iteration is left
    out: its time includes the fit's setup."""
    if hasattr(X, "tocsr"):
        return None
    full = [i for i in range(1, len(kr["per_iter"])) if kr["products"][i] >= 0.99]
    if not full:
        return None
    n, d = X.shape
    flop = 2.0 * n * len(C) * d
    ours = flop * len(full) / sum(kr["per_iter"][i] for i in full) / 1e9
    # NumPy's product of at most 2^30 outputs (4 GB): the first rows of X.
    m = min(n, (1 << 30) // len(C))
    A = np.asarray(X[:m], np.float32)
    B = np.ascontiguousarray(np.asarray(C, np.float32).T)
    A @ B
    best = min(timed_once(lambda: A @ B) for _ in range(3))
    line = dict(n=n, d=d, k=len(C), iters=len(full), ours=ours,
                numpy=2.0 * m * len(C) * d / best / 1e9)
    print(f"full iterations ({line['iters']}): {ours:.1f} GFLOP/s; NumPy float32 matmul "
          f"{m} x {d} by {d} x {len(C)}: {line['numpy']:.1f} GFLOP/s; ratio "
          f"{ours / line['numpy']:.2f}", flush=True)
    return line


def timed_once(f):
    t = time.perf_counter()
    f()
    return time.perf_counter() - t


def report(w, X, res):
    """Prints one workload's table and ratios; returns its rows."""
    ref, base = res["sklearn lloyd"]["labels"], res["tavrine.KMeans"]["total"]
    print(f"{'system':15s} {'total s':>8s} {'iters':>5s} {'s/iter':>8s} {'inertia':>13s} "
          f"{'agree':>6s} {'+MB':>5s}  {'products/nk first med last':>26s}  "
          f"{'points/n first med last':>23s}  time/KMeans")
    rows = []
    ordered = [s for s in ("tavrine.KMeans", "zozid_py") if s in res] + [p for p in PEERS if p in res]
    for name in ordered:
        r = res[name]
        row = dict(workload=w.name, system=name, total=r["total"], iters=int(r["iters"]),
                   per=r["total"] / max(int(r["iters"]), 1),
                   inertia=inertia64(X, r["centers"]),
                   agree=float(np.mean(np.asarray(r["labels"]) == ref)), mem=r["mem"],
                   products=summary(r.get("products")) if name == "tavrine.KMeans" else None,
                   points=summary(r.get("points")) if name == "tavrine.KMeans" else None,
                   ratio=r["total"] / base, note=r.get("note"))
        if name == "zozid_py":  # its products come from its count array
            row["products"] = summary(r["products"])
        rows.append(row)
        print(f"{name:15s} {row['total']:8.3f} {row['iters']:5d} {row['per']:8.4f} "
              f"{row['inertia']:13.6e} {row['agree']:6.4f} {row['mem']:5.0f}  "
              f"{fmt_summary(row['products']):>26s}  {fmt_summary(row['points']):>23s}  "
              f"{row['ratio']:.2f}" + (f"  ({row['note']})" if row["note"] else ""),
              flush=True)
    peers = [r for r in rows if r["system"] in PEERS]
    print("peer time / tavrine.KMeans time: "
          + ", ".join(f"{r['system']} {r['ratio']:.2f}" for r in peers), flush=True)
    return rows


def write_markdown(path, rows, settings_line, rates=()):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as fh:
        fh.write(f"Settings: {settings_line}\n\n"
                 "zozid_py hands back no centers: its inertia is that of the float64 means "
                 "of its labels.\n\n")
        fh.write("| workload | system | total s | iters | s/iter | inertia | agree | +MB | "
                 "products / nk (first, median, last) | points / n (first, median, last) | "
                 "time / tavrine.KMeans |\n|" + "---|" * 11 + "\n")
        for r in rows:
            note = f" ({r['note']})" if r["note"] else ""
            fh.write(f"| {r['workload']} | {r['system']}{note} | {r['total']:.3f} | "
                     f"{r['iters']} | {r['per']:.4f} | {r['inertia']:.6e} | {r['agree']:.4f} | "
                     f"{r['mem']:.0f} | {fmt_summary(r['products'])} | "
                     f"{fmt_summary(r['points'])} | {r['ratio']:.2f} |\n")
        names = list(dict.fromkeys(r["workload"] for r in rows))
        peers = [p for p in PEERS if any(r["system"] == p for r in rows)]
        fh.write("\nPeer time / tavrine.KMeans time (above 1: tavrine faster):\n\n"
                 "| workload | " + " | ".join(peers) + " |\n|" + "---|" * (len(peers) + 1)
                 + "\n")
        ratios = {(r["workload"], r["system"]): r["ratio"] for r in rows}
        for w in names:  # "-": the peer does not take the workload's input
            fh.write(f"| {w} | " + " | ".join(
                f"{ratios[w, p]:.2f}" if (w, p) in ratios else "-" for p in peers) + " |\n")
        if len(names) > 1:
            fh.write("| geometric mean | " + " | ".join(
                f"{np.exp(np.mean([np.log(ratios[w, p]) for w in names if (w, p) in ratios])):.2f}"
                for p in peers) + " |\n")
        if rates:
            fh.write("\nIterations computing at least 99% of the distances, after the first "
                     "(2 n k d flop each), beside NumPy's float32 matmul of the same shape:\n\n"
                     "| workload | iterations | tavrine GFLOP/s | NumPy matmul GFLOP/s | ratio |\n"
                     "|---|---|---|---|---|\n")
            for q in rates:
                fh.write(f"| {q['workload']} | {q['iters']} | {q['ours']:.1f} | "
                         f"{q['numpy']:.1f} | {q['ours'] / q['numpy']:.2f} |\n")
    print(f"\nwrote {path}")


def write_plots(folder, rows, curves):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed; no plots")
        return
    os.makedirs(folder, exist_ok=True)
    names = list(dict.fromkeys(r["workload"] for r in rows))
    systems = list(dict.fromkeys(r["system"] for r in rows))
    times = {(r["workload"], r["system"]): r["total"] for r in rows}
    fig, ax = plt.subplots(figsize=(11, 5))
    width = 0.8 / len(systems)
    for j, s in enumerate(systems):
        ax.bar(np.arange(len(names)) + j * width, [times.get((w, s), np.nan) for w in names],
               width, label=s)
    ax.set_xticks(np.arange(len(names)) + 0.4 - width / 2, names, rotation=20, ha="right")
    ax.set_yscale("log")
    ax.set_ylabel("whole-run time, s (log)")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(os.path.join(folder, "bench_time.png"), dpi=100)
    plt.close(fig)

    fig, (a, b) = plt.subplots(1, 2, figsize=(12, 4.5))
    for j, (w, (products, points, per_iter)) in enumerate(curves.items()):
        colour = f"C{j % 10}"
        it = np.arange(1, len(products) + 1)
        a.plot(it, products, color=colour, label=w)
        if points is not None:
            a.plot(it, points, color=colour, linestyle="--")
        b.plot(np.arange(1, len(per_iter) + 1), per_iter, color=colour, label=w)
    a.set_xlabel("iteration")
    a.set_ylabel("share of point-center distances (solid),\nof points let through (dashed)")
    a.set_yscale("log")
    b.set_xlabel("iteration")
    b.set_ylabel("seconds")
    b.set_yscale("log")
    a.legend(fontsize=7)
    fig.suptitle("tavrine.KMeans per iteration")
    fig.tight_layout()
    fig.savefig(os.path.join(folder, "bench_work.png"), dpi=100)
    plt.close(fig)
    print(f"wrote {folder}/bench_time.png and bench_work.png")


if __name__ == "__main__":
    sys.exit(main())
