"""valgrind memcheck over small clusterings (zozid_py, KMeans.fit, _fit.assign).

The interpreter itself is not clean under memcheck, so only errors and
definite leaks whose stacks pass through tavrine's own binaries count.
Usage: python .ci/memcheck.py  (with the package installed in that python)
"""
import os
import re
import subprocess
import sys
import tempfile

PROGRAM = """
import numpy as np
from tavrine import viza_, KMeans
rng = np.random.default_rng(0)
X = (rng.integers(0, 5, (2000, 5)) * 4 + rng.standard_normal((2000, 5))).astype(np.float32)
y = np.empty(2000, np.int32)
it = viza_.zozid_py(X, X[:12].copy(), y, np.zeros(150, np.int64), np.zeros(4, np.int64), 0)
km = KMeans(12, random_state=0).fit(X)
assert it >= 2 and km.n_iter_ >= 1
# Centers that lose every point and are refilled by the farthest ones.
far = np.vstack([X[:2], np.full((3, 5), 100.0, np.float32)])
assert len(np.unique(KMeans(5, init=far, n_init=1).fit(X).labels_)) == 5
# Several groups of centers, weights, and the nearest-center routine.
X16 = (rng.integers(0, 5, (2000, 16)) * 4 + rng.standard_normal((2000, 16))).astype(np.float32)
w = rng.integers(0, 3, 2000).astype(np.float32)
km = KMeans(53, random_state=0).fit(X16, sample_weight=w)
from tavrine import _fit
_fit.assign(X16, km.cluster_centers_, 2, all_distances=True)
"""

OURS = re.compile(r"viza_\.|_fit\.|tavrine")


def main():
    log = tempfile.NamedTemporaryFile(suffix=".log", delete=False).name
    env = dict(os.environ, PYTHONMALLOC="malloc", OMP_NUM_THREADS="2")
    cmd = ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
           "--num-callers=40", f"--log-file={log}", sys.executable, "-c", PROGRAM]
    run = subprocess.run(cmd, env=env, cwd=tempfile.gettempdir())  # not the source tree
    if run.returncode != 0:
        print(f"the program under memcheck failed with status {run.returncode}")
        return 1
    text = open(log).read()
    blocks = [b for b in re.split(r"\n==\d+== \n", text) if OURS.search(b)]
    errors = [b for b in blocks if "definitely lost" in b or re.search(
        r"Invalid (read|write|free)|uninitialised|Mismatched|overlap", b)]
    print(f"memcheck: {len(errors)} reports involving tavrine's code ({log})")
    for b in errors[:5]:
        print(b)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
