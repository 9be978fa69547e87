"""zozid_py end to end: results against an independent float64 Lloyd, the
stopping rules, work counts and timings, and every argument error."""
import os
import subprocess
import sys

import numpy as np
import pytest

from tavrine import viza_

MAX_ITER = 150


def round8(x):
    return (x + 7) & ~7


def outputs(n):
    return (np.full(n, -5, np.int32), np.full(MAX_ITER + 5, -3, np.int64),
            np.full(4, -3, np.int64))


def run(X, C, **kw):
    y, count, time = outputs(X.shape[0])
    it = viza_.zozid_py(X, C, y, count, time, False, **kw)
    return it, y, count, time


def sq_dist(X, C):
    X = X.astype(np.float64)
    C = C.astype(np.float64)
    return (X ** 2).sum(1)[:, None] - 2 * X @ C.T + (C ** 2).sum(1)[None]


def lloyd64(X, C):
    """Plain Lloyd in float64 with the same stopping rules; NaN marks an emptied center."""
    X = X.astype(np.float64)
    C = C.astype(np.float64)
    k = len(C)

    def assign(C):
        d2 = sq_dist(X, C)
        d2[:, np.isnan(C).any(1)] = np.inf
        return d2.argmin(1)

    prev = None
    for it in range(1, MAX_ITER + 1):
        y = assign(C)
        cnt = np.bincount(y, minlength=k)
        new = np.full_like(C, np.nan)
        np.add.at(sums := np.zeros_like(C), y, X)
        new[cnt > 0] = sums[cnt > 0] / cnt[cnt > 0, None]
        shift = ((new - C) ** 2).sum()
        C = new
        if it >= 2:
            if np.array_equal(y, prev):
                return it, y, C
            if shift <= 1e-6:
                return it, assign(C), C
        prev = y
    return MAX_ITER + 1, assign(C), C


def mixture(n, d, k, spread, seed):
    rng = np.random.default_rng(seed)
    centers = rng.uniform(-10, 10, (k, d))
    X = centers[rng.integers(0, k, n)] + spread * rng.standard_normal((n, d))
    C = X[rng.choice(n, k, replace=False)]
    return X.astype(np.float32), C.astype(np.float32)


def near_ties(X, C, labels_a, labels_b, rtol=1e-4):
    """True where two labelings differ only between centers at (nearly) equal distance."""
    d2 = sq_dist(X, C)
    i = np.arange(len(X))
    a, b = d2[i, labels_a], d2[i, labels_b]
    scale = np.maximum((X.astype(np.float64) ** 2).sum(1), 1.0)
    return np.abs(a - b) <= rtol * scale


@pytest.mark.parametrize("n,d,k,spread,seed", [
    (3000, 2, 10, 2.0, 0), (2000, 16, 32, 3.0, 1), (1500, 64, 20, 6.0, 2), (800, 3, 5, 0.5, 3),
    (1000, 1, 7, 1.5, 4), (600, 130, 70, 4.0, 5)])
def test_matches_float64_lloyd(n, d, k, spread, seed):
    X, C = mixture(n, d, k, spread, seed)
    X0, C0 = X.copy(), C.copy()
    it, y, count, time = run(X, C)
    ref_it, ref_y, ref_C = lloyd64(X, C)
    np.testing.assert_array_equal(X, X0)
    np.testing.assert_array_equal(C, C0)
    assert abs(it - ref_it) <= 1
    differ = y != ref_y
    assert differ.mean() < 0.01
    assert near_ties(X, ref_C, y, ref_y)[differ].all()
    k8 = round8(k)
    written = min(it, MAX_ITER)
    assert count[0] == (n + k8) * k8
    assert np.all(count[1:written] >= k8 * k8 + n) and np.all(count[1:written] <= k8 * k8 + n * k)
    assert np.all(count[written:] == -3)
    assert np.all(time >= 0) and time[3] >= time[:3].sum()


def test_work_counts_follow_the_angle_bound():
    """Pruned-iteration counts recomputed in float64 from the bound's geometry."""
    X, C = mixture(1200, 4, 12, 2.5, 9)
    it, y, count, _ = run(X, C)
    X64 = X.astype(np.float64)
    Cc = C.astype(np.float64)
    k8 = round8(12)
    prev = sq_dist(X, Cc).argmin(1)
    for i in range(2, min(it, 6) + 1):
        cnt = np.bincount(prev, minlength=12)
        Cc = np.add.at(s := np.zeros_like(Cc), prev, X64) or s / cnt[:, None]
        cn = (Cc ** 2).sum(1)
        dcc = ((Cc[:, None] - Cc[None]) ** 2).sum(-1)
        with np.errstate(all="ignore"):
            cos_cc = (cn[:, None] - cn[None] + dcc) / (2 * np.sqrt(cn)[:, None] * np.sqrt(dcc))
            r2 = ((X64 - Cc[prev]) ** 2).sum(1)
            cos_x = (cn[prev] + r2 - (X64 ** 2).sum(1)) / (2 * np.sqrt(cn[prev] * r2))
        sin_cc = np.sqrt(np.maximum(0, 1 - cos_cc ** 2))
        sin_x = np.sqrt(np.maximum(0, 1 - cos_x ** 2))
        w = (cos_x[:, None] * cos_cc[prev] + sin_x[:, None] * sin_cc[prev]) ** 2 * 4 * r2[:, None]
        cand = (dcc[prev] < w) | (np.arange(12)[None] == prev[:, None])
        expect = k8 * k8 + cand.sum()
        assert abs(count[i - 1] - expect) <= 0.002 * cand.size, (i, count[i - 1], expect)
        prev = sq_dist(X, Cc).argmin(1)


def test_stopping_rules():
    rng = np.random.default_rng(0)
    # Two separated groups, centers inside them: labels settle in iteration 2.
    X = np.vstack([rng.normal(0, 1, (100, 3)), rng.normal(50, 1, (100, 3))]).astype(np.float32)
    it, y, count, _ = run(X, X[[0, 150]].copy())
    assert it == 2 and np.all(count[2:] == -3)
    np.testing.assert_array_equal(y, np.repeat([0, 1], 100))
    # Exact means as initial centers: nothing moves, the label test ends the run.
    X = np.array([[0, 0], [2, 0], [10, 10], [12, 10]], np.float32)
    it, y, *_ = run(X, np.array([[1, 0], [11, 10]], np.float32))
    assert it == 2 and list(y) == [0, 0, 1, 1]


def at_offset(X, offset):
    """A copy of X whose first element lies `offset` bytes past a 64-byte boundary."""
    raw = np.empty(X.nbytes + 128, np.uint8)
    start = (-raw.ctypes.data % 64) + offset
    out = raw[start:start + X.nbytes].view(np.float32).reshape(X.shape)
    out[...] = X
    return out


@pytest.mark.parametrize("far", [False, True])
def test_rows_of_whole_groups_at_any_address(far):
    # d = 16 rows are read in place; the address must not change the result,
    # also when a huge point sends the run through the aligned copy.
    X, C = mixture(3000, 16, 12, 0.5, 11)
    if far:
        X[7] = 0.0
        X[7, 0] = 2e18
        C[0] = X[7]
    results = []
    for offset in (0, 4, 16, 28):
        Xo = at_offset(X, offset)
        results.append(run(Xo, C.copy()))
        np.testing.assert_array_equal(Xo, X)
    ref_it, ref_y, _ = lloyd64(X, C)
    for it, y, count, _ in results:
        assert it == ref_it
        np.testing.assert_array_equal(y, ref_y)
        np.testing.assert_array_equal(count, results[0][2])


@pytest.mark.parametrize("d, k, empty", [(2, 3, 2), (16, 40, 0), (16, 40, 13)])
def test_empty_cluster_never_regains_points(d, k, empty):
    # An emptied center becomes NaN; it must stay out of every later label,
    # also where long candidate lists take the dense product (d = 16).
    rng = np.random.default_rng(4)
    X = rng.normal(0, 1, (3000, d)).astype(np.float32)
    C = X[rng.choice(3000, k, replace=False)].copy()
    C[empty] = 1000.0
    it, y, count, _ = run(X, C)
    assert 2 <= it <= MAX_ITER + 1
    assert not np.any(y == empty)
    ref_it, ref_y, ref_C = lloyd64(X, C)
    differ = y != ref_y
    assert differ.mean() < 0.01 and near_ties(X, ref_C, y, ref_y)[differ].all()


def test_ignored_settings_and_defaults():
    X, C = mixture(500, 5, 7, 2.0, 7)
    a = run(X, C)
    b = run(X, C, tol=0.5, max_iter=1, n_threads=3)
    y, count, time = outputs(500)
    c = viza_.zozid_py(X=X, Cen=C, y=y, count=count, time=time, verbose=True)
    assert a[0] == b[0] == c
    np.testing.assert_array_equal(a[1], b[1])
    np.testing.assert_array_equal(a[1], y)


_CHILD = """
import numpy as np, sys
from tavrine import viza_
rng = np.random.default_rng(3)
X = (rng.integers(0, 6, (4000, 2)) * 10 + rng.normal(0, 3, (4000, 2))).astype(np.float32)
C = X[:30].copy()
y = np.empty(4000, np.int32); count = np.zeros(150, np.int64); time = np.zeros(4, np.int64)
it = viza_.zozid_py(X, C, y, count, time, 0)
np.save(sys.argv[1], np.concatenate([[it], y, count[:it]]))
"""


def test_thread_counts_agree(tmp_path):
    results = []
    for threads in ("1", "2", "7", "64"):
        path = tmp_path / f"{threads}.npy"
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        subprocess.run([sys.executable, "-c", _CHILD, str(path)], env=env, check=True)
        results.append(np.load(path))
    for r in results[1:]:
        np.testing.assert_array_equal(r, results[0])


def _args():
    return [np.ones((10, 3), np.float32), np.ones((2, 3), np.float32), np.full(10, -5, np.int32),
            np.full(150, -3, np.int64), np.full(4, -3, np.int64)]


def _replace(i, value):
    def call():
        args = _args()
        args[i] = value
        return args
    return call


@pytest.mark.parametrize("make,kwargs,exc,message", [
    (lambda: [], {}, TypeError, "Expected at least 6 arguments, got 0"),
    (lambda: [np.ones((2, 2, 2), np.float32)] + _args()[1:], {"verbose": 0}, TypeError,
     "No matching signature found"),
    (lambda: [np.ones((2, 2), np.int32)] + _args()[1:], {"verbose": 0}, TypeError,
     "No matching signature found"),
    (_args, {}, TypeError,
     "__pyx_fuse_0zozid_py() takes at least 6 positional arguments (5 given)"),
    (lambda: _args() + [0, 1e-6, 20, 100, 5], {}, TypeError,
     "__pyx_fuse_0zozid_py() takes at most 9 positional arguments (10 given)"),
    (lambda: _args() + [0], {"bogus": 1}, TypeError,
     "zozid_py() got an unexpected keyword argument 'bogus'"),
    (lambda: _args() + [0], {"verbose": 1}, TypeError,
     "zozid_py() got multiple values for keyword argument 'verbose'"),
    (lambda: _replace(3, [0] * 150)() + [0], {}, TypeError,
     "Argument 'count' has incorrect type (expected numpy.ndarray, got list)"),
    (lambda: _replace(4, (0, 0, 0, 0))() + [0], {}, TypeError,
     "Argument 'time' has incorrect type (expected numpy.ndarray, got tuple)"),
    (lambda: _replace(3, np.zeros((150, 1), np.int64))() + [0], {}, ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda: _replace(3, np.zeros(150, np.int32))() + [0], {}, ValueError,
     "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
    (lambda: _replace(4, np.zeros(4, np.float64))() + [0], {}, ValueError,
     "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
    (lambda: _replace(0, np.ones((0, 3), np.float32))() + [0], {}, IndexError,
     "Out of bounds on buffer access (axis 0)"),
    (lambda: _replace(1, np.ones((3, 0), np.float32))() + [0], {}, IndexError,
     "Out of bounds on buffer access (axis 1)"),
    (lambda: _replace(2, np.zeros(0, np.int32))() + [0], {}, IndexError,
     "Out of bounds on buffer access (axis 0)"),
    (lambda: _replace(2, None)() + [0], {}, IndexError, "Out of bounds on buffer access (axis 0)"),
    (lambda: _replace(2, np.zeros(10, np.int64))() + [0], {}, ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'long'"),
    # Checks that keep the core inside the caller's arrays.
    (lambda: _replace(2, np.zeros(5, np.int32))() + [0], {}, ValueError,
     "y has 5 entries but X has n=10 rows; y needs n entries"),
    (lambda: _replace(1, np.ones((2, 4), np.float32))() + [0], {}, ValueError,
     "Cen has 4 columns but X has 3; they must be equal"),
    (lambda: _replace(3, np.zeros(149, np.int64))() + [0], {}, ValueError,
     "count has 149 entries but needs at least 150"),
    (lambda: _replace(3, np.zeros(300, np.int64)[::2])() + [0], {}, ValueError,
     "count must be contiguous (stride 16 bytes, expected 8)"),
    (lambda: _replace(4, np.zeros(3, np.int64))() + [0], {}, ValueError,
     "time has 3 entries but needs at least 4"),
    (lambda: _replace(3, None)() + [0], {}, TypeError,
     "Argument 'count' must be a numpy.ndarray of int64, not None"),
    (lambda: _replace(4, None)() + [0], {}, TypeError,
     "Argument 'time' must be a numpy.ndarray of int64, not None"),
])
def test_argument_errors_leave_every_array_untouched(make, kwargs, exc, message):
    args = make()
    before = [a.copy() if isinstance(a, np.ndarray) else a for a in args]
    with pytest.raises(exc) as info:
        viza_.zozid_py(*args, **kwargs)
    assert str(info.value) == message
    for a, b in zip(args, before):
        if isinstance(a, np.ndarray):
            np.testing.assert_array_equal(a, b)


def test_variants_and_the_double_precision_path():
    assert list(viza_.zozid_py.__signatures__) == ["float", "double"]
    assert viza_.zozid_py["float"].__name__ == "__pyx_fuse_0zozid_py"
    assert viza_.zozid_py["double"].__name__ == "__pyx_fuse_1zozid_py"
    X, C, y, count, time = _args()
    assert viza_.zozid_py(X.astype(np.float64), C.astype(np.float64), y, count, time, 0) is None
    assert np.all(y == -5) and np.all(count == -3) and np.all(time == -3)
    assert isinstance(viza_.zozid_py["float"](X, C, y, count, time, 0), int)


@pytest.mark.parametrize("sig, variant", [("float", "__pyx_fuse_0zozid_py"),
                                          ("double", "__pyx_fuse_1zozid_py")])
def test_argument_count_errors_name_the_variant(sig, variant):
    X, C, y, count, time = _args()
    dtype = np.float32 if sig == "float" else np.float64
    X, C = X.astype(dtype), C.astype(dtype)
    full = [X, C, y, count, time, 0, 1e-6, 20, 100]
    cases = [
        (full[:4], {}, "takes at least 6 positional arguments (4 given)"),
        (full[:5], {}, "takes at least 6 positional arguments (5 given)"),
        (full + [5], {}, "takes at most 9 positional arguments (10 given)"),
        # As Cython counts: the position of the first missing argument.
        (full[:3], {"count": count, "verbose": 0}, "takes at least 6 positional arguments (4 given)"),
        ([], {"X": X, "y": y}, "takes at least 6 positional arguments (1 given)"),
        # Surplus positionals are reported before a bad keyword.
        (full + [5], {"bogus": 1}, "takes at most 9 positional arguments (10 given)"),
    ]
    for fn in (viza_.zozid_py, viza_.zozid_py[sig]):
        for args, kwargs, message in cases:
            with pytest.raises(TypeError) as info:
                fn(*args, **kwargs)
            assert str(info.value) == f"{variant}() {message}"
        # A bad keyword is reported before a missing argument, naming zozid_py.
        for kwargs, message in [({"bogus": 1}, "got an unexpected keyword argument 'bogus'"),
                                ({"X": X}, "got multiple values for keyword argument 'X'")]:
            with pytest.raises(TypeError) as info:
                fn(X, C, y, count, **kwargs)
            assert str(info.value) == f"zozid_py() {message}"
    with pytest.raises(TypeError) as info:
        viza_.zozid_py[sig](Cen=C)
    assert str(info.value) == f"{variant}() takes at least 6 positional arguments (0 given)"
    # Without X the dispatcher cannot tell the variant and reports that itself.
    with pytest.raises(TypeError) as info:
        viza_.zozid_py(Cen=C, y=y)
    assert str(info.value) == "Expected at least 6 arguments, got 0"
    assert np.all(y == -5) and np.all(count == -3) and np.all(time == -3)
    # Enough arguments: the variant runs (float64 input is checked, not run).
    result = viza_.zozid_py(*full[:3], count=count, time=time, verbose=0)
    assert (result is None) == (sig == "double")


def test_help_shows_the_signature_and_the_outputs():
    import pydoc

    text = pydoc.render_doc(viza_.zozid_py, renderer=pydoc.plaintext)
    assert "zozid_py(X, Cen, y, count, time, verbose, tol=1e-06, n_threads=20, max_iter=100)" in text
    for word in ("count[0] = (n + k8) * k8", "time[3] the whole call", "150 iterations"):
        assert word in " ".join(text.split()), word
