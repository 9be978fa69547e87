"""The iteration loop against the exported steps it is made of.

update_chunk_omp runs the loop on the caller's buffers with its own internal
assignment steps; here the same loop is replayed step by step through the
exported update_y_omp, update_mdy, update_cen and update_fv, on one thread so
the per-thread slices are deterministic. Labels, counts, slices, centers and
shifts must agree bit for bit.
"""
import ctypes

import numpy as np
import pytest

from conftest import (F32P, I32P, I64P, FastVar, aligned_copy, aligned_zeros, bind, c_bool,
                      c_int, c_int64, fast_var_view, pad, round8)

SLICES = 20
MAX_ITER = 150
TOL = np.float32(1e-6)

FVP = ctypes.POINTER(FastVar)
init_fast_var = bind("init_fast_var", c_bool, FVP, c_int, c_int, c_int)
free_fast_var = bind("free_fast_var", None, FVP)
step_args = (c_int, c_int, c_int, c_int, F32P, F32P, F32P, c_bool, FVP, I32P, F32P, F32P)
update_y_omp = bind("update_y_omp", c_int64, *step_args)
update_mdy = bind("update_mdy", c_int64, *step_args)
update_cen = bind("update_cen", c_int64, c_int, c_int, F32P, F32P, F32P, F32P, F32P, F32P)
update_fv = bind("update_fv", c_int64, c_int, c_int, c_int, F32P, F32P, F32P, F32P, I32P, FVP)
update_chunk_omp = bind("update_chunk_omp", c_int, c_int, c_int, c_int, c_int, F32P, F32P, F32P,
                        F32P, FVP, I32P, I64P, F32P, F32P, F32P, F32P, F32P,
                        ctypes.POINTER(c_int64 * 4))


class State:
    """Every buffer of one loop, from the same padded data and centers."""

    def __init__(self, Xp, x_norm, Cp, c_norm, n, d8, k8):
        self.X, self.x_norm = Xp, x_norm
        self.cen, self.c_norm = aligned_copy(Cp), aligned_copy(c_norm)
        self.new_cen = aligned_zeros((k8, d8))
        self.cen_cnt, self.shift = aligned_zeros(k8), aligned_zeros(k8)
        self.thread_cnt = aligned_zeros(SLICES * k8)
        self.thread_sum = aligned_zeros(SLICES * k8 * d8)
        self.y = np.full(n, -1, np.int32)
        self.count = np.zeros(MAX_ITER + 1, np.int64)
        self.fv = FastVar()
        assert init_fast_var(ctypes.byref(self.fv), n, d8, k8)

    def zero(self):
        for a in (self.new_cen, self.cen_cnt, self.thread_cnt, self.thread_sum):
            a[...] = 0

    def free(self):
        free_fast_var(ctypes.byref(self.fv))


def shift_sum(shift, k):
    s = np.float32(0)
    for v in shift[:k]:
        s = np.float32(s + v)
    return s


def replay(s, n, d8, k8, k):
    """The loop's order of exported calls; returns the iteration it stopped in."""
    fvp = ctypes.byref(s.fv)

    def step(fn):
        fn(n, d8, k8, k, s.X, s.cen, s.c_norm, True, fvp, s.y, s.thread_cnt, s.thread_sum)

    def centers():
        update_cen(k8, d8, s.cen_cnt, s.thread_cnt, s.new_cen, s.thread_sum, s.cen, s.shift)
        s.cen, s.new_cen = s.new_cen, s.cen
        update_fv(n, d8, k8, s.X, s.x_norm, s.cen, s.c_norm, s.y, fvp)

    counts = fast_var_view(s.fv, n, k8)["mask_count"]
    s.zero()
    step(update_y_omp)
    s.count[0] = (n + k8) * k8
    centers()
    it, prev = 1, None
    while True:
        if it > 1:
            if np.array_equal(s.y, prev):
                break
            if shift_sum(s.shift, k) <= TOL:
                step(update_mdy)
                break
        prev = s.y.copy()
        it += 1
        if it == MAX_ITER + 1:
            step(update_mdy)
            break
        s.zero()
        step(update_mdy)
        s.count[it - 1] = k8 * k8 + int(counts.astype(np.int64).sum())
        centers()
    return it


@pytest.fixture
def one_thread():
    gomp = ctypes.CDLL("libgomp.so.1")
    saved = gomp.omp_get_max_threads()
    gomp.omp_set_num_threads(1)
    yield
    gomp.omp_set_num_threads(saved)


def clusters(n, d, k, spread, seed):
    rng = np.random.default_rng(seed)
    centers = rng.standard_normal((k, d)).astype(np.float32) * 4
    X = centers[rng.integers(0, k, n)] + spread * rng.standard_normal((n, d)).astype(np.float32)
    return X, X[rng.choice(n, k, replace=False)].copy()


# Tight clusters give short lists (masked chunks), wide ones long lists (dense
# chunks); d = 13 and k = 37 leave vector tails in the rows and the lists. A
# far center loses every point in the first step and turns NaN. The last case
# has squared norms past 1e36, where the loop keeps the exported steps.
@pytest.mark.parametrize("n,d,k,spread,far,scale", [
    (3000, 13, 37, 0.3, False, 1.0), (2500, 64, 96, 3.0, False, 1.0),
    (1200, 8, 200, 2.0, False, 1.0), (2000, 16, 50, 1.5, True, 1.0),
    (1500, 5, 20, 1.0, False, 1e18),
])
def test_loop_matches_the_exported_steps(one_thread, n, d, k, spread, far, scale):
    X, C = clusters(n, d, k, spread, seed=n + k)
    X, C = X * np.float32(scale), C * np.float32(scale)
    if far:
        C[k // 2] = 1e3
    k8, d8 = round8(k), round8(d)
    Xp, Cp = pad(X), pad(C, rows=k8)
    x_norm = aligned_copy((Xp.astype(np.float64) ** 2).sum(1).astype(np.float32))
    c_norm = aligned_zeros(k8)
    c_norm[:] = (Cp.astype(np.float64) ** 2).sum(1)
    assert (scale > 1) == bool((x_norm > 1e36).any())

    loop, ref = (State(Xp, x_norm, Cp, c_norm, n, d8, k8) for _ in range(2))
    try:
        # Both loops swap their two center buffers alike: compare them pairwise.
        bufs = (loop.cen, loop.new_cen, ref.cen, ref.new_cen)
        stats = (c_int64 * 4)()
        got = update_chunk_omp(n, d8, k8, k, Xp, x_norm, loop.cen, loop.c_norm,
                               ctypes.byref(loop.fv), loop.y, loop.count, loop.cen_cnt,
                               loop.thread_cnt, loop.new_cen, loop.thread_sum, loop.shift,
                               ctypes.byref(stats))
        want = replay(ref, n, d8, k8, k)
        assert got == want
        assert 2 < got <= MAX_ITER + 1
        assert np.isnan(loop.cen[k // 2]).all() == far
        np.testing.assert_array_equal(loop.y, ref.y)
        np.testing.assert_array_equal(loop.count, ref.count)
        for mine, theirs in zip(bufs[:2], bufs[2:]):
            np.testing.assert_array_equal(mine.view(np.int32), theirs.view(np.int32))
        for name in ("cen_cnt", "shift", "thread_cnt", "thread_sum", "c_norm"):
            np.testing.assert_array_equal(getattr(loop, name).view(np.int32),
                                          getattr(ref, name).view(np.int32), err_msg=name)
        lv, rv = fast_var_view(loop.fv, n, k8), fast_var_view(ref.fv, n, k8)
        for name in ("mask_count", "r2", "COS_OCX", "SIN_OCX", "D_CC"):
            np.testing.assert_array_equal(lv[name].view(np.int32), rv[name].view(np.int32),
                                          err_msg=name)
    finally:
        loop.free()
        ref.free()
