"""Whole clustering runs of tavrine next to scikit-learn and faiss, in one process.

    pip install '.[bench]' && python benchmarks/bench_run.py [--quick]

Every workload is generated (or loaded from scikit-learn's bundled data) once
as C-contiguous float32; one set of k-means++ centers (fixed seed) starts every
system. All systems get the same thread count (BLAS threads through
threadpoolctl). Prints per workload and system: total time, iterations, time
per iteration, first-iteration time, the fraction of point-center products
computed per pruned iteration, float64 inertia, label agreement with tavrine
and peak memory added; then ratios to tavrine. A run shorter than 1.5 s is
repeated twice and the median of the three is its time; tavrine's first
iteration and the bare sgemm it is compared with are each the best of three.
Writes the same as Markdown and PNG plots into --out.
"""
import argparse
import ctypes
import os
import sys
import threading
import time

import numpy as np

MAX_ITER = 150


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


def workloads(quick):
    from sklearn.datasets import load_digits, load_sample_image

    def china_pixels():
        img = load_sample_image("china.jpg").astype(np.float32) / 255.0
        return np.ascontiguousarray(img.reshape(-1, 3))

    if quick:
        return [
            ("mixture 100k x 16, k=64", lambda: mixture(100_000, 16, 64), 64),
            ("digits 1797 x 64, k=10", lambda: load_digits().data.astype(np.float32), 10),
            ("china pixels 273k x 3, k=64", china_pixels, 64),
        ]
    return [
        ("mixture 200k x 64, k=256", lambda: mixture(200_000, 64, 256), 256),
        ("mixture 1M x 16, k=64", lambda: mixture(1_000_000, 16, 64), 64),
        ("mixture 100k x 256, k=1024", lambda: mixture(100_000, 256, 1024), 1024),
        ("mixture 500k x 2, k=32", lambda: mixture(500_000, 2, 32), 32),
        ("digits 1797 x 64, k=10", lambda: load_digits().data.astype(np.float32), 10),
        ("china pixels 273k x 3, k=64", china_pixels, 64),
        ("image patches 8x8x3, k=256", image_patches, 256),
    ]


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


def inertia64(X, labels, k):
    """Sum of squared distances to the float64 mean of each label's points."""
    X64 = X.astype(np.float64)
    cnt = np.bincount(labels, minlength=k).astype(np.float64)
    sums = np.zeros((k, X.shape[1]))
    np.add.at(sums, labels, X64)
    means = sums / np.maximum(cnt, 1)[:, None]
    return float(((X64 - means[labels]) ** 2).sum())


def blas_library():
    import tavrine.viza_ as v

    lib = ctypes.CDLL(os.path.join(os.path.dirname(v.__file__), "libscipy_openblas.so"))
    lib.scipy_cblas_sgemm.argtypes = [ctypes.c_int] * 6 + [
        ctypes.c_float, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_int,
        ctypes.c_float, ctypes.c_void_p, ctypes.c_int]
    lib.scipy_openblas_set_num_threads.argtypes = [ctypes.c_int]
    return lib


def bare_sgemm_seconds(X, k, threads):
    """One n x k8 x d8 product with the bundled OpenBLAS, as the first iteration does."""
    lib = blas_library()
    n, d = X.shape
    k8, d8 = (k + 7) // 8 * 8, (d + 7) // 8 * 8
    A = np.zeros((n, d8), np.float32)
    A[:, :d] = X
    B = np.ones((k8, d8), np.float32)
    C = np.empty((n, k8), np.float32)
    lib.scipy_openblas_set_num_threads(threads)
    best = np.inf
    for _ in range(3):
        t = time.perf_counter()
        lib.scipy_cblas_sgemm(101, 111, 112, n, k8, d8, -2.0, A.ctypes.data, d8, B.ctypes.data,
                              d8, 0.0, C.ctypes.data, k8)
        best = min(best, time.perf_counter() - t)
    return best


def stream_pass_seconds(X):
    """One multithreaded pass over the padded points (the core's squared radii)."""
    import tavrine.viza_ as v

    lib = ctypes.CDLL(v.__file__)
    fn = lib.compute_r2_omp
    fn.argtypes = [ctypes.c_int, ctypes.c_int] + [ctypes.c_void_p] * 4
    n, d = X.shape
    d8 = (d + 7) // 8 * 8
    raw = np.zeros(n * d8 + 8, np.float32)
    off = (-raw.ctypes.data % 32) // 4
    A = raw[off:off + n * d8].reshape(n, d8)
    A[:, :d] = X
    cen = np.zeros((8, d8), np.float32)
    y = np.zeros(n, np.int32)
    r2 = np.empty(n, np.float32)
    best = np.inf
    for _ in range(3):
        t = time.perf_counter()
        fn(n, d8, A.ctypes.data, cen.ctypes.data, y.ctypes.data, r2.ctypes.data)
        best = min(best, time.perf_counter() - t)
    return best


QUICK_RUN = 1.5  # seconds; shorter runs are repeated and their median taken


def timed(fit):
    """Runs fit() and returns (its result, seconds, peak MB added).

    A run shorter than QUICK_RUN runs twice more and the median of the three
    counts: on a shared 2-core machine one short run can be off by 2x. The
    memory figure is the first run's.
    """
    with PeakMemory() as mem:
        t = time.perf_counter()
        out = fit()
        times = [time.perf_counter() - t]
    while times[0] < QUICK_RUN and len(times) < 3:
        t = time.perf_counter()
        fit()
        times.append(time.perf_counter() - t)
    return out, float(np.median(times)), mem.added_mb


# ---- systems --------------------------------------------------------------------

def run_tavrine(X, C):
    from tavrine import _fit, viza_

    n, k = X.shape[0], C.shape[0]
    y = np.empty(n, np.int32)
    count = np.zeros(MAX_ITER, np.int64)
    tm = np.zeros(4, np.int64)
    it, total, mem = timed(lambda: viza_.zozid_py(X, C.copy(), y, count, tm, False))
    iters = min(it, MAX_ITER)
    k8 = (k + 7) // 8 * 8
    work = (count[1:iters] - k8 * k8) / (n * k)
    # Per-iteration wall times from the same loop, through its progress hook.
    stamps = [time.perf_counter()]
    _fit.lloyd(X, C, MAX_ITER, 1e-6, 0, lambda *a: stamps.append(time.perf_counter()))
    per_iter = np.diff(stamps)
    # The first iteration alone, best of three, as the bare sgemm is timed.
    first = [per_iter[0]]
    for _ in range(2):
        stamps = [time.perf_counter()]
        _fit.lloyd(X, C, 1, 1e-6, 0, lambda *a: stamps.append(time.perf_counter()))
        first.append(stamps[1] - stamps[0])
    return dict(labels=y, total=total, iters=iters, first=min(first), mem=mem, work=work,
                per_iter=per_iter)


def run_sklearn(X, C, algorithm, threads):
    from sklearn.cluster import KMeans
    from threadpoolctl import threadpool_limits

    def fit():
        return KMeans(len(C), init=C, n_init=1, tol=0, max_iter=300, algorithm=algorithm).fit(X)

    with threadpool_limits(threads):
        km, total, mem = timed(fit)
    return dict(labels=km.labels_.astype(np.int32), total=total, iters=km.n_iter_, mem=mem)


def run_faiss(X, C, iters, threads):
    import faiss

    faiss.omp_set_num_threads(threads)
    n, d = X.shape

    def fit():
        km = faiss.Kmeans(d, len(C), niter=iters, max_points_per_centroid=n + 1, seed=0,
                          nredo=1, verbose=False)
        km.train(X, init_centroids=C)
        return km.index.search(X, 1)[1]

    labels, total, mem = timed(fit)
    return dict(labels=labels.ravel().astype(np.int32), total=total, iters=iters, mem=mem)


# ---- report ---------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="three small workloads")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "results"))
    parser.add_argument("--no-faiss", action="store_true")
    args = parser.parse_args()
    os.environ.setdefault("OMP_NUM_THREADS", str(args.threads))
    from sklearn.cluster import kmeans_plusplus

    os.makedirs(args.out, exist_ok=True)
    settings = {k: os.environ.get(k, "(unset)") for k in
                ("OMP_NUM_THREADS", "OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    print("settings: " + ", ".join(f"{k}={v}" for k, v in settings.items()))
    rows, extras, curves = [], [], {}
    for name, make, k in workloads(args.quick):
        X = np.ascontiguousarray(make(), dtype=np.float32)
        n, d = X.shape
        C, _ = kmeans_plusplus(X, k, random_state=0)
        C = np.ascontiguousarray(C, dtype=np.float32)
        print(f"\n== {name}: n={n} d={d} k={k}", flush=True)
        res = {"tavrine": run_tavrine(X, C)}
        res["sklearn lloyd"] = run_sklearn(X, C, "lloyd", args.threads)
        res["sklearn elkan"] = run_sklearn(X, C, "elkan", args.threads)
        if not args.no_faiss:
            try:
                res["faiss"] = run_faiss(X, C, res["tavrine"]["iters"], args.threads)
            except ImportError:
                print("faiss-cpu not installed; skipped")
        ref = res["tavrine"]
        for system, r in res.items():
            r["inertia"] = inertia64(X, r["labels"], k)
            r["agree"] = float(np.mean(r["labels"] == ref["labels"]))
            r["per"] = r["total"] / r["iters"]
            first = f"{r['first']:.3f}" if "first" in r else "-"
            rows.append((name, system, r["total"], r["iters"], r["per"], first,
                         np.mean(ref["work"]) if system == "tavrine" and len(ref["work"]) else None,
                         r["inertia"], r["agree"], r["mem"], r["total"] / ref["total"]))
            print(f"{system:14s} total {r['total']:8.3f}s  iters {r['iters']:4d}  "
                  f"per iter {r['per']:.4f}s  first {first}  inertia {r['inertia']:.6e}  "
                  f"agree {r['agree']:.4f}  mem +{r['mem']:.0f} MB  "
                  f"time/tavrine {r['total'] / ref['total']:.2f}", flush=True)
        sgemm = bare_sgemm_seconds(X, k, args.threads)
        stream = stream_pass_seconds(X)
        # The timed run keeps emptied centers, so its length can differ a little.
        m = min(len(ref["per_iter"]) - 1, len(ref["work"]))
        pruned = ref["per_iter"][1:m + 1]
        low = pruned[np.asarray(ref["work"][:m]) < 0.10]
        extras.append((name, ref["first"], sgemm, stream, np.median(pruned) if len(pruned) else
                       np.nan, np.median(low) if len(low) else np.nan))
        print(f"first iteration {ref['first']:.4f}s vs bare sgemm {sgemm:.4f}s "
              f"(x{ref['first'] / sgemm:.2f}); pruned iteration (median) "
              f"{extras[-1][4]:.4f}s, with <10% work {extras[-1][5]:.4f}s vs one pass over X "
              f"{stream:.4f}s (x{extras[-1][5] / stream:.2f})", flush=True)
        curves[name] = (ref["work"], pruned)
    write_markdown(args.out, rows, extras, settings)
    write_plots(args.out, rows, curves)


def write_markdown(out, rows, extras, settings):
    path = os.path.join(out, "bench.md")
    with open(path, "w") as fh:
        fh.write("Settings: " + ", ".join(f"`{k}={v}`" for k, v in settings.items()) + "\n\n")
        fh.write("| workload | system | total s | iters | s/iter | first iter s | work/iter | "
                 "inertia | agree | +MB | time / tavrine |\n|" + "---|" * 11 + "\n")
        for (w, s, total, it, per, first, work, inertia, agree, mem, ratio) in rows:
            work_s = f"{work:.3f}" if work is not None else "-"
            fh.write(f"| {w} | {s} | {total:.3f} | {it} | {per:.4f} | {first} | {work_s} | "
                     f"{inertia:.6e} | {agree:.4f} | {mem:.0f} | {ratio:.2f} |\n")
        fh.write("\n| workload | first iter s | bare sgemm s | first / sgemm | pruned iter s "
                 "(median) | pruned iter <10% work s | one pass over X s | ratio |\n"
                 "|" + "---|" * 8 + "\n")
        for (w, first, sgemm, stream, pruned, low) in extras:
            fh.write(f"| {w} | {first:.4f} | {sgemm:.4f} | {first / sgemm:.2f} | {pruned:.4f} | "
                     f"{low:.4f} | {stream:.4f} | {low / stream:.2f} |\n")
    print(f"\nwrote {path}")


def write_plots(out, rows, curves):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed; no plots")
        return
    names = list(dict.fromkeys(r[0] for r in rows))
    systems = list(dict.fromkeys(r[1] for r in rows))
    fig, ax = plt.subplots(figsize=(11, 5))
    width = 0.8 / len(systems)
    for j, s in enumerate(systems):
        vals = [next((r[2] for r in rows if r[0] == w and r[1] == s), np.nan) for w in names]
        ax.bar(np.arange(len(names)) + j * width, vals, width, label=s)
    ax.set_xticks(np.arange(len(names)) + 0.4 - width / 2, names, rotation=20, ha="right")
    ax.set_yscale("log")
    ax.set_ylabel("whole-run time, s (log)")
    ax.legend()
    fig.tight_layout()
    fig.savefig(os.path.join(out, "bench_time.png"), dpi=100)
    plt.close(fig)
    fig, (a, b) = plt.subplots(1, 2, figsize=(12, 4.5))
    for w, (work, per_iter) in curves.items():
        a.plot(np.arange(2, len(work) + 2), work, label=w)
        b.plot(np.arange(1, len(per_iter) + 1), per_iter, label=w)
    a.set_xlabel("iteration")
    a.set_ylabel("fraction of point-center products")
    b.set_xlabel("pruned iteration")
    b.set_ylabel("seconds")
    b.set_yscale("log")
    a.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(os.path.join(out, "bench_work.png"), dpi=100)
    plt.close(fig)
    print(f"wrote {out}/bench_time.png and bench_work.png")


if __name__ == "__main__":
    sys.exit(main())
