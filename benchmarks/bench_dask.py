"""Per-iteration time of tavrine.dask.KMeans next to dask-ml's KMeans on the
same Dask array and cluster, and next to the single-machine tavrine.KMeans.

    pip install '.[bench]' && python benchmarks/bench_dask.py [--n 2000000]

One Gaussian mixture (overlapping clusters, as in bench_run.py) is generated
once as float32; one set of k-means++ centers starts every system. The Dask
systems run on a LocalCluster of `--workers` workers with one thread each;
the single machine gets as many threads. Each system runs `--iters` Lloyd
iterations (tol = 0). Per-iteration times come from the progress callback
(tavrine) or from total time / iterations (dask-ml, whose first iteration is
no different from the others). Prints a table and the ratios.
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from bench_run import mixture  # noqa: E402


def inertia64(X, centers, step=65536):
    """Sum of squared distances to the nearest center, in float64."""
    C = np.asarray(centers, np.float64)
    c_norm = (C ** 2).sum(1)
    total = 0.0
    for lo in range(0, len(X), step):
        B = X[lo:lo + step].astype(np.float64)
        d2 = (B ** 2).sum(1)[:, None] - 2.0 * B @ C.T + c_norm[None]
        total += np.maximum(d2.min(1), 0.0).sum()
    return total


def timed_iterations(fit):
    """Runs fit(progress) and returns the per-iteration wall times."""
    stamps = [time.perf_counter()]
    fit(lambda *_: stamps.append(time.perf_counter()))
    return np.diff(stamps)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=2_000_000)
    ap.add_argument("--d", type=int, default=64)
    ap.add_argument("--k", type=int, default=256)
    ap.add_argument("--iters", type=int, default=10)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--chunk", type=int, default=125_000, help="rows per Dask block")
    args = ap.parse_args()

    import dask.array as da
    from dask_ml.cluster import KMeans as DaskMLKMeans
    from distributed import Client, LocalCluster, wait
    from threadpoolctl import threadpool_limits

    import tavrine
    import tavrine.dask

    print(f"n={args.n} d={args.d} k={args.k}, {args.iters} iterations, {args.workers} workers "
          f"x 1 thread; OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', '(unset)')} "
          f"OPENBLAS_L2_SIZE={os.environ.get('OPENBLAS_L2_SIZE', '(unset)')}")
    X = mixture(args.n, args.d, args.k)
    init = tavrine.kmeans_plusplus(X[:200_000], args.k, random_state=0)[0]
    rows = []

    with threadpool_limits(args.workers):
        single = tavrine.KMeans(args.k, init=init, n_init=1, max_iter=args.iters, tol=0,
                                n_threads=args.workers)
        it = timed_iterations(lambda p: single.fit(X, progress=p))
    rows.append(("tavrine.KMeans (1 process)", it, single.n_iter_, single.cluster_centers_))
    labels_single = single.labels_
    del single

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=":0", memory_limit=0) as cluster, Client(cluster) as client:
        client.wait_for_workers(args.workers)
        # Both systems' worker-side imports happen before any clock starts.
        client.run(lambda: __import__("tavrine.dask") and __import__("dask_ml.cluster"))
        Xd = client.persist(da.from_array(X, chunks=(args.chunk, args.d)))
        wait(Xd)
        ours = tavrine.dask.KMeans(args.k, init=init, max_iter=args.iters, tol=0)
        it = timed_iterations(lambda p: ours.fit(Xd, progress=p))
        agree = float((ours.labels_.compute() == labels_single).mean())
        rows.append(("tavrine.dask.KMeans", it, ours.n_iter_, ours.cluster_centers_))

        ml = DaskMLKMeans(args.k, init=init, max_iter=args.iters, tol=0)
        t0 = time.perf_counter()
        ml.fit(Xd)
        total = time.perf_counter() - t0
        rows.append(("dask_ml KMeans", np.full(ml.n_iter_, total / ml.n_iter_), ml.n_iter_,
                     ml.cluster_centers_))

    print(f"\n| system | iterations | first iter s (with setup) | later iters s (median) | "
          f"all iters s (mean) | inertia (float64, final centers) |\n|---|---|---|---|---|---|")
    with threadpool_limits(args.workers):
        inertias = [inertia64(X, r[3]) for r in rows]
    for (name, it, n_iter, _), inertia in zip(rows, inertias):
        later = np.median(it[1:]) if len(it) > 1 else float("nan")
        print(f"| {name} | {n_iter} | {it[0]:.3f} | {later:.3f} | {it.mean():.3f} | "
              f"{inertia:.6e} |")
    base = rows[1][1]
    print(f"\nlabel agreement, tavrine.dask vs one process: {agree:.4f}")
    for name, it, _, _ in (rows[0], rows[2]):
        print(f"{name} / tavrine.dask, mean time per iteration: {it.mean() / base.mean():.2f}x; "
              f"later iterations: {np.median(it[1:]) / np.median(base[1:]):.2f}x")


if __name__ == "__main__":
    main()
