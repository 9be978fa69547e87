"""Time of one refresh step (update_fv) and of its pass over the points.

The step's team has one thread per 256 centers, so for k <= 256 its point
pass runs on one thread. The last columns time that pass alone, on one thread
and split over every core (block-aligned contiguous ranges, ctypes releasing
the GIL), to show what the rule costs.

    TAVRINE_CORE_LIB=build/dev/tavrine/viza_...so python benchmarks/bench_refresh.py
"""
import ctypes
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from conftest import (F32P, I32P, VOIDP, FastVar, aligned_copy, aligned_zeros,  # noqa: E402
                      bind, c_int, c_int64, round8)

update_fv = bind("update_fv", c_int64, c_int, c_int, c_int, F32P, F32P, F32P, F32P, I32P,
                 ctypes.POINTER(FastVar))
compute_r2 = bind("compute_r2", None, VOIDP, c_int, c_int, F32P, VOIDP, VOIDP)
compute_cos = bind("compute_COS_OCX", None, F32P, c_int, VOIDP, VOIDP, VOIDP, VOIDP, VOIDP, c_int)


def best_ms(fn, reps):
    fn()
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return 1e3 * min(times)


def bench(n, d, k, threads, reps=30):
    rng = np.random.default_rng(0)
    d8, k8 = round8(d), round8(k)
    X = aligned_zeros((n, d8))
    X[:, :d] = rng.normal(size=(n, d))
    cen = aligned_copy(X[rng.choice(n, k8, replace=False)])
    y = rng.integers(0, k, size=n).astype(np.int32)
    x_norm = aligned_copy((X ** 2).sum(1))
    c_norm = aligned_zeros(k8)
    arrays = {name: aligned_zeros(shape) for name, shape in (
        ("D_CC", (k8, k8)), ("COS_OCiCj", (k8, k8)), ("SIN_OCiCj", (k8, k8)),
        ("COS_OCX", n), ("SIN_OCX", n), ("r2", n))}
    fv = FastVar(**{name: a.ctypes.data for name, a in arrays.items()})

    inner = []

    def step():
        inner.append(update_fv(n, d8, k8, X, x_norm, cen, c_norm, y, ctypes.byref(fv)))

    def points(lo, hi):
        f = 4
        compute_r2(X.ctypes.data + lo * d8 * f, hi - lo, d8, cen, y.ctypes.data + lo * f,
                   arrays["r2"].ctypes.data + lo * f)
        compute_cos(c_norm, k8, arrays["r2"].ctypes.data + lo * f, y.ctypes.data + lo * f,
                    x_norm.ctypes.data + lo * f, arrays["COS_OCX"].ctypes.data + lo * f,
                    arrays["SIN_OCX"].ctypes.data + lo * f, hi - lo)

    blocks = -(-n // 256)
    cuts = [min(n, 256 * (blocks * t // threads)) for t in range(threads + 1)]
    pool = ThreadPoolExecutor(threads)

    def points_split():
        list(pool.map(lambda t: points(cuts[t], cuts[t + 1]), range(threads)))

    step_ms = best_ms(step, reps)
    inner_ms = min(inner[1:]) / 1e3
    one_ms = best_ms(lambda: points(0, n), reps)
    all_ms = best_ms(points_split, reps)
    pool.shutdown()
    print(f"n={n} d={d} k={k:5d} center blocks={-(-k8 // 256)}: update_fv {step_ms:7.2f} ms "
          f"(inside {inner_ms:7.2f} ms) | point pass 1 thread {one_ms:6.2f} ms, "
          f"{threads} threads {all_ms:6.2f} ms")


if __name__ == "__main__":
    threads = os.cpu_count()
    for k in (256, 1024):
        bench(200_000, 64, k, threads)
