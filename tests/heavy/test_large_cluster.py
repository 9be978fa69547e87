"""One cluster of 2^25 points assigned by one thread: its center must be its mean.

Float member counts stop at 2^24 (1.0 added to 2^24 leaves 2^24) and float
sums of that many points drift; these runs are large (about 4 GB, a minute),
so they live apart from the main suite and run from .ci/heavy.sh.
"""
import os
import subprocess
import sys

import numpy as np

N_BIG = 1 << 25

_CHILD = r"""
import sys, numpy as np
from tavrine import KMeans, viza_
rng = np.random.default_rng(0)
n_big, n_far = {n_big}, 1000
X = np.empty((n_big + n_far + 1, 1), np.float32)
X[:n_big, 0] = rng.normal(3.0, 0.5, n_big)
X[n_big:-1, 0] = 9.0
X[-1, 0] = 6.2  # nearer 9 than the true mean 3 of the big cluster, nearer 4 than 9
init = np.array([[3.0], [9.0]], np.float32)
if sys.argv[1] == "zozid":
    y = np.empty(len(X), np.int32)
    viza_.zozid_py(X, init, y, np.zeros(150, np.int64), np.zeros(4, np.int64), 0)
    np.save(sys.argv[2], y[-n_far - 1:])
else:
    km = KMeans(2, init=init, tol=0).fit(X)
    np.save(sys.argv[2], np.concatenate([km.cluster_centers_.ravel(), km.labels_[-n_far - 1:]]))
"""


def _run(mode, tmp_path):
    path = tmp_path / f"{mode}.npy"
    env = dict(os.environ, OMP_NUM_THREADS="1")
    subprocess.run([sys.executable, "-c", _CHILD.format(n_big=N_BIG), mode, str(path)], env=env,
                   check=True, timeout=1200)
    return np.load(path)


def _float32_mean_without_rounds(values):
    """The mean one float slice would give: sequential float sum, saturating count."""
    total = np.add.accumulate(values.astype(np.float32), dtype=np.float32)[-1]
    return float(total) / float(min(len(values), 1 << 24))


def test_big_cluster_mean_and_labels(tmp_path):
    rng = np.random.default_rng(0)
    big = rng.normal(3.0, 0.5, N_BIG).astype(np.float32)
    true_mean = big.astype(np.float64).mean()
    broken = _float32_mean_without_rounds(big)
    assert abs(broken - true_mean) > 0.5  # what a saturating slice would give
    labels = _run("zozid", tmp_path)
    assert np.all(labels == 1)  # the far group and the point at 6.2 keep the far center
    out = _run("estimator", tmp_path)
    centers, labels = out[:2], out[2:]
    assert abs(centers[0] - true_mean) <= 1e-4 * true_mean, (centers[0], true_mean)
    assert np.all(labels == 1)
    print(f"mean of the big cluster: float64 {true_mean:.6f}, one saturating float slice "
          f"{broken:.6f}, tavrine {centers[0]:.6f}")
