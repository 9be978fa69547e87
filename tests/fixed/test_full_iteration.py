"""Full assignment and center update: one plain Lloyd iteration.

Labels are checked against the float64 argmin of |x - c|^2, the merged
per-thread sums and counts against np.add.at / np.bincount, and the new
centers against float64 means.
"""
import ctypes
import os
import subprocess
import sys

import numpy as np
import pytest

from conftest import (F32P, I32P, FastVar, aligned_zeros, bind, c_bool, c_int, c_int64, pad,
                      round8)

SLICES = 20

update_y_omp = bind("update_y_omp", c_int64, c_int, c_int, c_int, c_int, F32P, F32P, F32P, c_bool,
                    ctypes.POINTER(FastVar), I32P, F32P, F32P)
update_cen = bind("update_cen", c_int64, c_int, c_int, F32P, F32P, F32P, F32P, F32P, F32P)


def full_assignment(X, C, accumulate=True):
    """Runs update_y_omp; returns labels, D_NC and the per-thread slices."""
    n, d = X.shape
    k = C.shape[0]
    k8, d8 = round8(k), round8(d)
    Xp, Cp = pad(X), pad(C, rows=k8)
    c_norm = aligned_zeros(k8)
    c_norm[:] = (Cp.astype(np.float64) ** 2).sum(1)
    d_nc = aligned_zeros((n, k8))
    fv = FastVar(D_NC=d_nc.ctypes.data)
    y = np.full(n, -7, np.int32)
    cnt = aligned_zeros(SLICES * k8)
    sums = aligned_zeros(SLICES * k8 * d8)
    t = update_y_omp(n, d8, k8, k, Xp, Cp, c_norm, accumulate, ctypes.byref(fv), y, cnt, sums)
    assert t >= 0
    return y, d_nc, cnt.reshape(SLICES, k8), sums.reshape(SLICES, k8, d8)


def nearest64(X, C):
    d2 = ((X.astype(np.float64)[:, None, :] - C.astype(np.float64)[None]) ** 2).sum(-1)
    return d2


def assert_nearest(X, C, y, rtol=1e-5):
    d2 = nearest64(X, C)
    best = d2.min(1)
    got = d2[np.arange(len(X)), y]
    scale = np.maximum((X.astype(np.float64) ** 2).sum(1), 1.0)
    assert np.all(got - best <= rtol * scale), np.max(got - best)


# k8 = 24 and 48 mix 16- and 8-center panels of the product; 131 rows end in
# a chunk of 3 and leave partial tiles of 4 and 3 rows.
@pytest.mark.parametrize("n,d,k", [(200, 3, 5), (1000, 16, 12), (333, 100, 64), (70, 1, 9),
                                   (10, 7, 1), (129, 8, 8), (257, 33, 20), (131, 40, 45)])
def test_labels_are_nearest_and_slices_sum_members(n, d, k):
    rng = np.random.default_rng(n + d + k)
    X = rng.standard_normal((n, d)).astype(np.float32)
    C = X[rng.choice(n, k, replace=k > n)] + 0.01
    y, d_nc, cnt, sums = full_assignment(X, C)
    assert y.min() >= 0 and y.max() < k
    assert_nearest(X, C, y)
    # Every pad column of D_NC is a zero product with a zero pad center.
    np.testing.assert_array_equal(d_nc[:, k:], 0.0)
    np.testing.assert_allclose(d_nc[:, :k], -2.0 * X.astype(np.float64) @ C.T.astype(np.float64),
                               rtol=1e-4, atol=1e-3)
    np.testing.assert_array_equal(cnt.sum(0)[:k], np.bincount(y, minlength=k))
    np.testing.assert_array_equal(cnt.sum(0)[k:], 0.0)
    ref = np.zeros((round8(k), round8(d)))
    np.add.at(ref, y, pad(X).astype(np.float64))
    np.testing.assert_allclose(sums.sum(0), ref, rtol=1e-5, atol=1e-4)


def test_ties_go_to_the_lowest_index_and_pads_never_win():
    # Integer data: every value is exact. Centers 1 and 2 are the same point,
    # and all real values are positive, so a zero pad center would win if scanned.
    X = np.array([[10, 10], [30, 30], [20, 20]], np.float32)
    C = np.array([[10, 10], [30, 30], [30, 30], [21, 21], [11, 10]], np.float32)
    y, *_ = full_assignment(X, C)
    np.testing.assert_array_equal(y, [0, 1, 3])


def test_one_center_and_no_accumulation():
    rng = np.random.default_rng(1)
    X = rng.standard_normal((100, 5)).astype(np.float32)
    y, _, cnt, sums = full_assignment(X, X[:1])
    assert np.all(y == 0) and cnt.sum() == 100
    y, _, cnt, sums = full_assignment(X, X[:3], accumulate=False)
    assert not cnt.any() and not sums.any()


def run_center_update(cnt, sums, cen):
    k8, d8 = cen.shape
    cen_cnt = aligned_zeros(k8)
    new_cen = aligned_zeros((k8, d8))
    shift = aligned_zeros(k8)
    t = update_cen(k8, d8, cen_cnt, np.ascontiguousarray(cnt).ravel(), new_cen,
                   np.ascontiguousarray(sums).ravel(), cen, shift)
    assert t >= 0
    return cen_cnt, new_cen, shift


@pytest.mark.parametrize("k8,d8", [(8, 8), (168, 16), (1000, 24)])
def test_center_update_merges_all_slices_in_order(k8, d8):
    rng = np.random.default_rng(k8)
    cnt = rng.integers(0, 4, (SLICES, k8)).astype(np.float32)
    cnt[:, 3] = 0.0
    cnt[0, 3] = 1.0  # one member, in slice 0 only
    sums = rng.standard_normal((SLICES, k8, d8)).astype(np.float32) * (cnt[..., None] > 0)
    cen = aligned_zeros((k8, d8))
    cen[...] = rng.standard_normal((k8, d8))
    cen_cnt, new_cen, shift = run_center_update(cnt, sums, cen)
    np.testing.assert_array_equal(cen_cnt, cnt.sum(0))
    # The fixed order ((s0 + s1) + s2) + ... in float32 is reproduced exactly.
    acc = np.zeros((k8, d8), np.float32)
    for t in range(SLICES):
        acc = acc + sums[t]
    full = cen_cnt > 0
    np.testing.assert_allclose(new_cen[full], (acc / cen_cnt[:, None])[full], rtol=1e-6)
    np.testing.assert_array_equal(new_cen[3], sums[0, 3])
    assert np.isnan(new_cen[~full]).all() and np.isnan(shift[~full]).all()
    ref_shift = ((new_cen.astype(np.float64) - cen) ** 2).sum(1)
    np.testing.assert_allclose(shift[full], ref_shift[full], rtol=1e-5)


def test_lloyd_step_gives_member_means_and_nan_pads():
    rng = np.random.default_rng(5)
    X = rng.standard_normal((500, 6)).astype(np.float32)
    k = 5  # three pad centers
    C = np.vstack([X[:4], [[50.0] * 6]]).astype(np.float32)  # center 4 stays empty
    y, _, cnt, sums = full_assignment(X, C)
    cen = pad(C, rows=8)
    cen_cnt, new_cen, shift = run_center_update(cnt, sums, cen)
    for j in range(4):
        np.testing.assert_allclose(new_cen[j, :6], X[y == j].astype(np.float64).mean(0),
                                   rtol=1e-5, atol=1e-6)
        np.testing.assert_array_equal(new_cen[j, 6:], 0.0)
    assert np.isnan(new_cen[4:]).all() and np.isnan(shift[4:]).all()
    assert np.isfinite(shift[:4]).all()


_CHILD = """
import os, sys, numpy as np
sys.path[:0] = [{tests!r}, os.path.dirname({tests!r})]  # this test, and conftest above it
from test_full_iteration import full_assignment
rng = np.random.default_rng(11)
X = rng.standard_normal((3000, 9)).astype(np.float32)
y, _, cnt, sums = full_assignment(X, X[:40].copy())
np.save(sys.argv[1], np.concatenate([y.astype(np.float64), cnt.sum(0), sums.sum(0).ravel()]))
"""


def test_thread_count_does_not_change_labels_or_sums(tmp_path):
    outs = []
    for threads in (1, 2, 7, 64):
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        path = tmp_path / f"t{threads}.npy"
        code = _CHILD.format(tests=os.path.dirname(__file__))
        subprocess.run([sys.executable, "-c", code, str(path)], env=env, check=True)
        outs.append(np.load(path))
    y_len = 3000
    for o in outs[1:]:
        np.testing.assert_array_equal(o[:y_len], outs[0][:y_len])
        np.testing.assert_array_equal(o[y_len:y_len + 40], outs[0][y_len:y_len + 40])
        np.testing.assert_allclose(o[y_len + 40:], outs[0][y_len + 40:], rtol=1e-5, atol=1e-4)
    assert outs[0][y_len:y_len + 40].sum() == y_len
