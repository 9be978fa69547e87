"""The OS threads a fit really runs on, counted from /proc in a fresh process.

A thread pool, once started, outlives the region that started it, so every
count is taken in a child process that has run nothing in parallel before.
"""
import json
import os
import subprocess
import sys

import pytest

if not os.path.isdir("/proc/self/task"):
    pytest.skip("needs /proc/<pid>/task", allow_module_level=True)

# Prints, per fit in order, the threads that appeared while it ran (besides
# the watcher's own) and how many threads gained >= 50 ms of CPU time. The
# estimator is built first: that loads scikit-learn and the BLAS behind
# SciPy, which start threads of their own.
CHILD = r"""
import json, os, sys, threading
import numpy as np
import tavrine

def tasks():
    return {int(t) for t in os.listdir("/proc/self/task")}

def cpu(t):
    try:
        with open(f"/proc/self/task/{t}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError):
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

X = np.random.default_rng(0).standard_normal((200_000, 32)).astype(np.float32)
out = []
for n_threads in json.loads(sys.argv[1]):
    est = tavrine.KMeans(100, n_init=1, max_iter=8, tol=0.0, random_state=0,
                         n_threads=n_threads)
    before = tasks()
    start = {t: cpu(t) for t in before}
    seen, last, done = set(), {}, threading.Event()

    def watch():
        while True:
            for t in tasks():
                c = cpu(t)
                if c is not None:
                    seen.add(t)
                    last[t] = c
            if done.is_set():
                return
            done.wait(0.002)

    watcher = threading.Thread(target=watch)
    watcher.start()
    est.fit(X)
    done.set()
    watcher.join()
    mine = watcher.native_id
    new = sorted((seen | tasks()) - before - {mine})
    busy = sum(1 for t, c in last.items()
               if t != mine and c - (start.get(t) or 0.0) >= 0.05)
    out.append({"new": new, "busy": busy})
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def fits():
    # n_threads=1 first: no earlier fit may have started a pool it could reuse.
    # A Dask cluster started earlier in this process leaves OMP_NUM_THREADS=1
    # in its environment; the child gets the runtime's own default.
    env = {k: v for k, v in os.environ.items()
           if k not in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")}
    proc = subprocess.run([sys.executable, "-c", CHILD, json.dumps([1, None])],
                          capture_output=True, text=True, timeout=600, env=env,
                          cwd=os.path.dirname(os.path.abspath(__file__)))
    assert proc.returncode == 0, proc.stderr
    one, default = json.loads(proc.stdout.strip().splitlines()[-1])
    return one, default


def test_one_thread_starts_no_thread(fits):
    one, _ = fits
    assert one["new"] == [], f"n_threads=1 started threads {one['new']}"


def test_default_count_runs_on_several_threads(fits):
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs at least 2 processors")
    _, default = fits
    assert default["busy"] >= 2, f"n_threads=None ran on {default['busy']} busy thread(s)"
