"""k-means++ seeding: tavrine_kmeanspp against scikit-learn's kmeans_plusplus.

Run from the repository root:
    TAVRINE_CORE_LIB=build/dev/tavrine/viza_.cpython-311-x86_64-linux-gnu.so \
        python benchmarks/bench_seed.py
(without TAVRINE_CORE_LIB the installed tavrine.viza_ is used). Both sides
get the same data, the same two threads and default local trials; the
potential is each seeding's inertia, computed here in float64. tavrine's
time is the median of three runs, scikit-learn's a single run; each timing
starts after a short pause, so no BLAS thread is still spinning from the
previous step on this two-core machine.
"""
import ctypes
import os
import sys
import time

N_THREADS = 2
os.environ.setdefault("OMP_NUM_THREADS", str(N_THREADS))

import numpy as np  # noqa: E402

PAUSE = 0.5  # seconds of idle before each timing
CASES = [(20480, 256, 1024), (200000, 64, 256), (100000, 16, 64)]


def load_core():
    path = os.environ.get("TAVRINE_CORE_LIB")
    if path:
        import scipy_openblas32

        blas = os.path.join(scipy_openblas32.get_lib_dir(), scipy_openblas32.get_library(True))
        ctypes.CDLL(blas, mode=ctypes.RTLD_GLOBAL)
    else:
        import tavrine.viza_

        path = tavrine.viza_.__file__
    lib = ctypes.CDLL(path, mode=os.RTLD_LAZY)
    fn = lib.tavrine_kmeanspp
    f32 = np.ctypeslib.ndpointer(np.float32, flags="C_CONTIGUOUS")
    i32 = np.ctypeslib.ndpointer(np.int32, flags="C_CONTIGUOUS")
    fn.restype = ctypes.c_int
    fn.argtypes = [ctypes.c_int] * 3 + [f32, ctypes.c_void_p, ctypes.c_int, ctypes.c_uint64, f32, i32,
                  ctypes.c_int]
    return fn


def potential(X, centers, chunk=8192):
    """Sum over points of the squared distance to the nearest center, float64."""
    C = centers.astype(np.float64)
    c_sq = np.einsum("ij,ij->i", C, C)
    total = 0.0
    for lo in range(0, len(X), chunk):
        x = X[lo:lo + chunk].astype(np.float64)
        d2 = np.einsum("ij,ij->i", x, x)[:, None] - 2.0 * x @ C.T + c_sq[None, :]
        total += np.maximum(d2.min(axis=1), 0.0).sum()
    return total


def blobs(n, d, k, rng):
    """k Gaussian blobs of unit spread around centers drawn in a wide box."""
    means = rng.uniform(-10.0, 10.0, size=(k, d)).astype(np.float32)
    labels = rng.integers(0, k, size=n)
    return (means[labels] + rng.standard_normal((n, d), dtype=np.float32)).astype(np.float32)


def main():
    kmeanspp = load_core()
    try:
        from sklearn.cluster import kmeans_plusplus
    except ImportError:
        kmeans_plusplus = None
        print("scikit-learn not installed: tavrine figures only", file=sys.stderr)
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        threadpool_limits = None

    rng = np.random.default_rng(0)
    print(f"{'n':>7} {'d':>4} {'k':>5} | {'tavrine s':>9} {'sklearn s':>9} {'ratio':>6} | "
          f"{'tavrine potential':>17} {'sklearn potential':>17}")
    for n, d, k in CASES:
        X = blobs(n, d, k, rng)
        centers = np.empty((k, d), np.float32)
        indices = np.empty(k, np.int32)
        times = []
        for _ in range(3):
            time.sleep(PAUSE)
            t0 = time.perf_counter()
            rc = kmeanspp(n, d, k, X, None, 0, 12345, centers, indices, 0)  # unweighted, all threads
            times.append(time.perf_counter() - t0)
            if rc != 0:
                raise RuntimeError(f"tavrine_kmeanspp returned {rc}")
        t_tav = sorted(times)[1]
        pot_tav = potential(X, centers)

        t_skl = pot_skl = float("nan")
        if kmeans_plusplus is not None:
            def run():
                return kmeans_plusplus(X, k, random_state=12345)
            time.sleep(PAUSE)
            t0 = time.perf_counter()
            if threadpool_limits is not None:
                with threadpool_limits(N_THREADS):
                    sk_centers, _ = run()
            else:
                sk_centers, _ = run()
            t_skl = time.perf_counter() - t0
            pot_skl = potential(X, sk_centers)
        print(f"{n:>7} {d:>4} {k:>5} | {t_tav:>9.3f} {t_skl:>9.3f} {t_skl / t_tav:>6.1f} | "
              f"{pot_tav:>17.6g} {pot_skl:>17.6g}", flush=True)


if __name__ == "__main__":
    main()
