"""Hostile input, threads, fork and memory limits: a result that keeps Lloyd's
invariants or a clear exception with the caller's arrays untouched."""
import os
import subprocess
import sys
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from tavrine import KMeans, _fit, viza_


def outputs(n):
    return (np.full(max(n, 1), -5, np.int32), np.full(150, -3, np.int64), np.full(4, -3, np.int64))


def assert_nearest(X, centers, labels, rtol=1e-4):
    X64, C64 = X.astype(np.float64), centers.astype(np.float64)
    d2 = ((X64[:, None] - C64[None]) ** 2).sum(-1)
    best = d2.min(1)
    got = d2[np.arange(len(X)), labels]
    scale = (X64 ** 2).sum(1) + (C64 ** 2).sum(1).max() + 1e-30
    assert np.all(got - best <= rtol * scale)


@st.composite
def data(draw):
    n = draw(st.integers(1, 150))
    d = draw(st.sampled_from([1, 2, 3, 7, 8, 9, 17, 64, 300]))
    k = draw(st.integers(1, 40))
    kind = draw(st.sampled_from(["normal", "integers", "duplicates", "constant"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if kind == "normal":
        X = rng.standard_normal((n, d)) * draw(st.sampled_from([1e-3, 1.0, 1e3]))
    elif kind == "integers":
        X = rng.integers(-3, 4, (n, d))
    elif kind == "duplicates":
        X = rng.standard_normal((max(1, n // 4), d))[rng.integers(0, max(1, n // 4), n)]
    else:
        X = np.full((n, d), 2.5)
    return X.astype(np.float32), k, rng


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data())
def test_zozid_on_any_shape_keeps_labels_in_range(case):
    X, k, rng = case
    n = len(X)
    C = X[rng.integers(0, n, k)].copy()
    y, count, time = outputs(n)
    it = viza_.zozid_py(X, C, y, count, time, False)
    assert 2 <= it <= 151
    assert y.min() >= 0 and y.max() < k
    k8 = (k + 7) // 8 * 8
    assert count[0] == (n + k8) * k8 and np.all(count[min(it, 150):] == -3)
    assert np.all(time >= 0)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data())
def test_estimator_labels_are_nearest_to_its_centers(case):
    X, k, rng = case
    k = min(k, len(X))
    km = KMeans(k, random_state=int(rng.integers(1000)), n_init=1).fit(X)
    assert np.isfinite(km.cluster_centers_).all()
    assert km.labels_.min() >= 0 and km.labels_.max() < k
    assert_nearest(X, km.cluster_centers_, km.labels_)


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
def test_non_finite_values(value):
    X = np.random.default_rng(0).standard_normal((50, 3)).astype(np.float32)
    X[4, 1] = value
    y, count, time = outputs(50)
    it = viza_.zozid_py(X, X[:3].copy(), y, count, time, False)  # flows through, no crash
    assert 2 <= it <= 151 and y.min() >= 0 and y.max() < 3
    with pytest.raises(ValueError, match="Input X contains"):
        KMeans(3).fit(X)


def test_layouts_and_memory_maps(tmp_path):
    rng = np.random.default_rng(1)
    X = rng.standard_normal((300, 6)).astype(np.float32)
    ref = KMeans(4, random_state=0).fit(X).labels_
    # The first columns of wider rows: read in place at the wider step.
    wider = np.hstack([X, X])
    for variant in (np.asfortranarray(X), X.astype(np.float64), X[::1, :].copy(),
                    wider[:, :6], wider.astype(np.float64)[:, :6]):
        np.testing.assert_array_equal(KMeans(4, random_state=0).fit(variant).labels_, ref)
    wide = np.zeros((300, 12), np.float32)
    wide[:, ::2] = X
    np.testing.assert_array_equal(KMeans(4, random_state=0).fit(wide[:, ::2]).labels_, ref)
    ro = X.copy()
    ro.flags.writeable = False
    np.testing.assert_array_equal(KMeans(4, random_state=0).fit(ro).labels_, ref)
    path = tmp_path / "x.npy"
    np.save(path, X)
    mm = np.load(path, mmap_mode="r")
    np.testing.assert_array_equal(KMeans(4, random_state=0).fit(mm).labels_, ref)
    # zozid_py wants writable C-contiguous float32 buffers: others are refused.
    y, count, time = outputs(300)
    for bad in (np.asfortranarray(X), ro, wide[:, ::2]):
        with pytest.raises((ValueError, TypeError)):
            viza_.zozid_py(bad, X[:4].copy(), y, count, time, False)
    assert np.all(y == -5) and np.all(count == -3)


def test_python_threads_fit_at_once():
    # Separated clusters: threads change only the rounding of the center sums
    # (which thread takes which chunk varies), so labels must not hinge on ties.
    rng = np.random.default_rng(2)
    sets = [(rng.integers(0, 10, (4000, 1)) * 20 + rng.standard_normal((4000, 8))).astype(
        np.float32) + i for i in range(4)]
    expect = [KMeans(10, random_state=i).fit(x).labels_ for i, x in enumerate(sets)]
    got = [None] * 4

    def work(i):
        got[i] = KMeans(10, random_state=i).fit(sets[i]).labels_

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for e, g in zip(expect, got):
        np.testing.assert_array_equal(e, g)


def test_iterations_reuse_their_threads():
    # The center update's fixed team alternates with smaller assignment teams;
    # its threads must survive from one iteration to the next, not be made anew.
    X = np.random.default_rng(0).standard_normal((20000, 8)).astype(np.float32)
    seen = []
    _fit.lloyd(X, X[:64].copy(), 12, 0.0, 2,
               lambda *a: seen.append(set(os.listdir("/proc/self/task"))))
    assert len(seen) == 12
    assert [len(b - a) for a, b in zip(seen, seen[1:])] == [0] * 11


def test_refits_are_bit_identical():
    # Overlapping clusters and many chunks: a schedule that let the slices'
    # summation order vary would move centers by rounding and change the run.
    rng = np.random.default_rng(5)
    X = (rng.standard_normal((30000, 8)) + rng.integers(0, 4, (30000, 1))).astype(np.float32)
    runs = [_fit.lloyd(X, X[:40].copy(), 60, 0.0, 2) for _ in range(4)]
    for labels, centers, inertia, n_iter, products, points in runs[1:]:
        np.testing.assert_array_equal(labels, runs[0][0])
        assert centers.tobytes() == runs[0][1].tobytes()
        assert n_iter == runs[0][3] and inertia == runs[0][2]


_FORK = """
import multiprocessing as mp, os, signal, sys, numpy as np
from tavrine import KMeans, viza_
rng = np.random.default_rng(0)
# Separated blobs: the child's single thread must not change a label.
X = (10 * np.repeat(rng.normal(size=(16, 16)), 1250, 0) + rng.normal(size=(20000, 16)))
X = X.astype(np.float32)
C = X[::1250].copy()
def fit(_):
    return KMeans(16, init=C).fit(X).labels_.tolist()
def raw(_):
    y = np.zeros(len(X), np.int32)
    viza_.zozid_py(X, C, y, np.zeros(150, np.int64), np.zeros(4, np.int64), 0)
    return y.tolist()
if __name__ == "__main__":
    parent, child = (fit, raw) if sys.argv[1] == "fit" else (raw, fit)
    parent(0)  # only the other binding has run when the process forks
    pid = os.fork()
    if pid == 0:  # a bare fork, as a user's script would do it
        signal.alarm(60)
        os._exit(0 if child(0) == raw(0) == fit(0) else 3)
    with mp.get_context("fork").Pool(2) as pool:
        got = pool.map(child, [0, 1])
    _, status = os.waitpid(pid, 0)
    assert status == 0, status
    assert got == [child(0)] * 2
    print("ok")
"""


# Both bindings share one core, so one fork guard covers whichever ran first.
@pytest.mark.parametrize("first", ["fit", "raw"])
def test_fork_after_a_run(tmp_path, first):
    script = tmp_path / "fork.py"
    script.write_text(_FORK)
    out = subprocess.run([sys.executable, str(script), first], capture_output=True, text=True,
                         timeout=240, cwd=tmp_path)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr


_LIMIT = """
import resource, numpy as np
from tavrine import KMeans, viza_
X = np.random.default_rng(0).standard_normal((2_000_000, 16)).astype(np.float32)
C = X[:2000].copy()
y = np.empty(len(X), np.int32)
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
try:
    viza_.zozid_py(X, C, y, np.zeros(150, np.int64), np.zeros(4, np.int64), 0)
except MemoryError as exc:
    print("MemoryError:", exc)
# The estimator's loop needs about 7 floats a point here (56 MB), besides
# the centred copy of X: leave it 4 MB.
with open("/proc/self/status") as fh:
    vm = next(int(l.split()[1]) for l in fh if l.startswith("VmSize")) << 10
resource.setrlimit(resource.RLIMIT_AS, (vm + (4 << 20), 3 << 30))
try:
    KMeans(2000, init=C, n_threads=1).fit(X)
except MemoryError as exc:
    print("MemoryError:", exc)
resource.setrlimit(resource.RLIMIT_AS, (vm + (64 << 20), 3 << 30))
small = X[:500]
print(KMeans(3, random_state=0).fit(small).n_iter_ > 0)
# A block short of memory keeps no labels, then assigns once memory is back.
from tavrine import _fit
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
block = _fit.Block(len(X))
with open("/proc/self/status") as fh:
    vm = next(int(l.split()[1]) for l in fh if l.startswith("VmSize")) << 10
resource.setrlimit(resource.RLIMIT_AS, (vm + (4 << 20), 3 << 30))
try:
    block.assign(X, C, True, 1)
except MemoryError as exc:
    print("MemoryError:", exc)
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
print(not block.labelled and (block.labels() == -1).all())
block.assign(X[:len(X)], C, False, 1)
print(block.labelled and (block.labels() >= 0).all())
"""


def test_allocation_failure_is_a_memory_error(tmp_path):
    script = tmp_path / "limit.py"
    script.write_text(_LIMIT)
    env = dict(os.environ, OMP_NUM_THREADS="2")
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                         timeout=300, cwd=tmp_path, env=env)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.strip().splitlines()
    assert lines[0].startswith("MemoryError: not enough memory to cluster n=2000000")
    assert lines[1].startswith("MemoryError: ")  # the core's, or NumPy's for the centred copy
    assert lines[2] == "True"
    assert lines[3].startswith("MemoryError: not enough memory to assign a block of 2000000 rows")
    assert lines[4:] == ["True", "True"]
