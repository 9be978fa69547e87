"""Single-thread GFLOP/s of the blocked products gemm and gemm_mul_p next to
OpenBLAS cblas_sgemm (the copy the module links, set to one thread), for
square sizes and for the clustering shape (n points x k centers x d dims).

    python benchmarks/bench_gemm.py            # installed tavrine
    TAVRINE_CORE_LIB=build/dev/tavrine/viza_....so python benchmarks/bench_gemm.py

All three compute c = alpha * a * b^T with a (m x k) and b (n x k) row-major.
The whole run takes well under two minutes.
"""
import argparse
import ctypes
import os
import time

import numpy as np

ROW_MAJOR, NO_TRANS, TRANS = 101, 111, 112


def core_path():
    path = os.environ.get("TAVRINE_CORE_LIB")
    if path:
        return path
    import tavrine.viza_

    return tavrine.viza_.__file__


def load():
    # Lazy binding, as in the tests: a development build may lack functions
    # that are not written yet; none of them is called here.
    lib = ctypes.CDLL(core_path(), mode=os.RTLD_LAZY)
    ptr, i, f = ctypes.c_void_p, ctypes.c_int, ctypes.c_float
    kernels = {}
    for name in ("gemm", "gemm_mul_p"):
        fn = getattr(lib, name)
        fn.restype = None
        fn.argtypes = [i, i, i, ptr, i, ptr, i, ptr, i, f]
        kernels[name] = fn
    # OpenBLAS symbols resolve through the module's own dependencies.
    sgemm = lib.scipy_cblas_sgemm
    sgemm.restype = None
    sgemm.argtypes = [i, i, i, i, i, i, f, ptr, i, ptr, i, f, ptr, i]
    lib.scipy_openblas_set_num_threads.argtypes = [i]
    lib.scipy_openblas_set_num_threads(1)
    return kernels, sgemm


def aligned(shape, rng):
    n = int(np.prod(shape))
    raw = np.empty(n + 8, np.float32)
    off = (-raw.ctypes.data // 4) % 8
    out = raw[off:off + n].reshape(shape)
    out[...] = rng.uniform(-1, 1, shape)
    return out


def best_time(call, budget):
    """Best of several runs within about `budget` seconds (at least two runs)."""
    call()  # warm caches and page in the output
    best, spent, runs = float("inf"), 0.0, 0
    while runs < 2 or spent < budget:
        t0 = time.perf_counter()
        call()
        t = time.perf_counter() - t0
        best, spent, runs = min(best, t), spent + t, runs + 1
    return best


def bench_shape(kernels, sgemm, m, n, k, budget):
    rng = np.random.default_rng(0)
    a, b = aligned((m, k), rng), aligned((n, k), rng)
    out = {name: aligned((m, n), rng) for name in ("openblas", *kernels)}
    pa, pb = a.ctypes.data, b.ctypes.data
    alpha = -2.0
    calls = {
        name: (lambda fn=fn, c=out[name].ctypes.data: fn(m, n, k, pa, k, pb, k, c, n, alpha))
        for name, fn in kernels.items()
    }
    c_ref = out["openblas"].ctypes.data
    calls["openblas"] = lambda: sgemm(ROW_MAJOR, NO_TRANS, TRANS, m, n, k, alpha, pa, k, pb, k,
                                      0.0, c_ref, n)
    flops = 2.0 * m * n * k
    gflops = {name: flops / best_time(call, budget) / 1e9 for name, call in calls.items()}
    scale = np.abs(out["openblas"]).max()
    diff = max(float(np.abs(out[name] - out["openblas"]).max()) for name in kernels) / scale
    return gflops, diff


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--budget", type=float, default=1.0,
                        help="seconds of timed runs per routine and shape (default 1.0)")
    args = parser.parse_args()
    kernels, sgemm = load()
    shapes = [(s, s, s, f"square {s}") for s in (256, 512, 1024, 2048)]
    shapes.append((100000, 256, 64, "n=100000 k=256 d=64"))

    print(f"library: {core_path()}")
    print("GFLOP/s, one thread; ratio = ours / OpenBLAS; diff = max |ours - OpenBLAS| / max |c|")
    print(f"{'shape (m x n x k)':<24}{'gemm':>8}{'mul_p':>8}{'OpenBLAS':>10}"
          f"{'gemm/OB':>9}{'mul_p/OB':>10}{'diff':>10}")
    for m, n, k, label in shapes:
        g, diff = bench_shape(kernels, sgemm, m, n, k, args.budget)
        ob = g["openblas"]
        print(f"{label:<24}{g['gemm']:>8.1f}{g['gemm_mul_p']:>8.1f}{ob:>10.1f}"
              f"{g['gemm'] / ob:>9.2f}{g['gemm_mul_p'] / ob:>10.2f}{diff:>10.1e}", flush=True)


if __name__ == "__main__":
    main()
