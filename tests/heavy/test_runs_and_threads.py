"""Many runs back to back, and every thread count from 1 to 64."""
import os
import resource
import subprocess
import sys

import numpy as np

from tavrine import KMeans, viza_


def small_problem():
    rng = np.random.default_rng(0)
    X = (rng.integers(0, 6, (3000, 4)) * 5 + rng.standard_normal((3000, 4))).astype(np.float32)
    return X, X[:20].copy()


def test_thousand_runs_keep_memory_flat_and_results_identical():
    X, C = small_problem()
    first = None
    rss = []
    for i in range(1000):
        y = np.empty(len(X), np.int32)
        count = np.zeros(150, np.int64)
        it = viza_.zozid_py(X, C, y, count, np.zeros(4, np.int64), 0)
        if first is None:
            first = (it, y.copy(), count.copy())
        else:
            assert it == first[0]
            np.testing.assert_array_equal(y, first[1])
            np.testing.assert_array_equal(count, first[2])
        if i % 100 == 99:
            rss.append(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    # Peak resident memory stops growing once the first runs have warmed up.
    assert rss[-1] - rss[1] < 4096, rss  # KiB


_CHILD = """
import sys, numpy as np
from tavrine import KMeans, viza_
rng = np.random.default_rng(0)
X = (rng.integers(0, 6, (5000, 6)) * 5 + rng.standard_normal((5000, 6))).astype(np.float32)
C = X[:25].copy()
y = np.empty(len(X), np.int32)
it = viza_.zozid_py(X, C, y, np.zeros(150, np.int64), np.zeros(4, np.int64), 0,
                    n_threads=int(sys.argv[2]))
km = KMeans(25, init=C, n_threads=int(sys.argv[2])).fit(X)
np.save(sys.argv[1], np.concatenate([[it], y, km.labels_, np.bincount(km.labels_, minlength=25)]))
"""


def test_every_thread_count(tmp_path):
    results = {}
    for threads in (1, 2, 5, 19, 20, 21, 33, 64):
        path = tmp_path / f"{threads}.npy"
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        subprocess.run([sys.executable, "-c", _CHILD, str(path), str(65 - threads)], env=env,
                       check=True, timeout=300)
        results[threads] = np.load(path)
    base = results[1]
    for threads, r in results.items():
        np.testing.assert_array_equal(r, base, err_msg=f"OMP_NUM_THREADS={threads}")
        assert r[-25:].sum() == 5000
