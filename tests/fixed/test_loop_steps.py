"""The iteration loop against the exported steps it is made of.

update_chunk_omp runs the loop on the caller's buffers with its own internal
assignment steps. Here the exported steps (update_y_omp, then update_mdy,
each followed by update_cen and update_fv) are applied as many times as the
loop says it iterated, on one thread so the per-thread slices are
deterministic; the trajectory they trace must satisfy the stopping rules
exactly where the loop stopped, and its labels, work counts, centers and
bounds must be the loop's, bit for bit.
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
    """The summed squared shift of the k real centers, added in float32 in
    center order."""
    s = np.float32(0)
    for v in shift[:k]:
        s = np.float32(s + v)
    return s


def bits(a):
    return a.view(np.int32).copy()


def trajectory(s, n, d8, k8, k, iterations):
    """Lloyd iterations through the exported steps: a full assignment first,
    pruned ones after, each followed by the centers' update and the bounds'
    refresh. Returns per iteration the labels, the summed shift, the work
    (point-center products), the centers and the merged counts and shifts."""
    fvp = ctypes.byref(s.fv)
    mask_count = fast_var_view(s.fv, n, k8)["mask_count"]
    out = []
    for i in range(iterations):
        s.zero()  # the steps and the update add to their accumulators
        step = update_y_omp if i == 0 else update_mdy
        step(n, d8, k8, k, s.X, s.cen, s.c_norm, True, fvp, s.y, s.thread_cnt, s.thread_sum)
        work = (n + k8) * k8 if i == 0 else k8 * k8 + int(mask_count.astype(np.int64).sum())
        update_cen(k8, d8, s.cen_cnt, s.thread_cnt, s.new_cen, s.thread_sum, s.cen, s.shift)
        s.cen[...] = s.new_cen
        update_fv(n, d8, k8, s.X, s.x_norm, s.cen, s.c_norm, s.y, fvp)
        out.append({"labels": s.y.copy(), "shift": shift_sum(s.shift, k), "work": work,
                    "centers": bits(s.cen), "cen_cnt": bits(s.cen_cnt), "shifts": bits(s.shift)})
    return out


def relabel(s, n, d8, k8, k):
    """Labels of one more pruned assignment, against the last centers."""
    s.zero()
    update_mdy(n, d8, k8, k, s.X, s.cen, s.c_norm, True, ctypes.byref(s.fv), s.y, s.thread_cnt,
               s.thread_sum)
    return s.y.copy()


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
# Those stop on settled labels; in the last two, overlapping clusters of
# many points keep trading a few of them while the centers barely move: one
# run stops on the tolerance, the other at the cap.
@pytest.mark.parametrize("n,d,k,spread,far,scale", [
    (3000, 13, 37, 0.3, False, 1.0), (2500, 64, 96, 3.0, False, 1.0),
    (1200, 8, 200, 2.0, False, 1.0), (2000, 16, 50, 1.5, True, 1.0),
    (1500, 5, 20, 1.0, False, 1e18), (50000, 1, 3, 5.0, False, 1.0),
    (40000, 2, 5, 6.0, False, 1.0),
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
        stats = (c_int64 * 4)()
        got = update_chunk_omp(n, d8, k8, k, Xp, x_norm, loop.cen, loop.c_norm,
                               ctypes.byref(loop.fv), loop.y, loop.count, loop.cen_cnt,
                               loop.thread_cnt, loop.new_cen, loop.thread_sum, loop.shift,
                               ctypes.byref(stats))
        assert 2 < got <= MAX_ITER + 1
        # The loop returns the iteration it stopped in, MAX_ITER + 1 at the cap.
        updates = min(got, MAX_ITER)
        steps = trajectory(ref, n, d8, k8, k, updates)
        settled = [np.array_equal(steps[t]["labels"], steps[t - 1]["labels"])
                   for t in range(1, updates)]
        close = [steps[t]["shift"] <= TOL for t in range(1, updates)]
        # No rule held in an iteration before the last; in the last, the
        # settled labels end the run as they are, while the tolerance and
        # the cap end it with a relabelling against the last centers.
        assert not any(settled[:-1]) and not any(close[:-1])
        if got == MAX_ITER + 1:
            assert not settled[-1] and not close[-1]
        else:
            assert settled[-1] or close[-1]
        last = steps[-1]
        want = last["labels"] if settled[-1] else relabel(ref, n, d8, k8, k)
        np.testing.assert_array_equal(loop.y, want)
        np.testing.assert_array_equal(loop.count[:updates], [t["work"] for t in steps])
        assert not loop.count[updates:].any()
        assert np.isnan(ref.cen[k // 2]).all() == far
        # The loop swaps its two center buffers: they end with the last
        # centers and the ones before them.
        before = steps[-2]["centers"]
        held = sorted([bits(loop.cen).tobytes(), bits(loop.new_cen).tobytes()])
        assert held == sorted([last["centers"].tobytes(), before.tobytes()])
        np.testing.assert_array_equal(bits(loop.cen_cnt), last["cen_cnt"])
        np.testing.assert_array_equal(bits(loop.shift), last["shifts"])
        np.testing.assert_array_equal(bits(loop.c_norm), bits(ref.c_norm))
        lv, rv = fast_var_view(loop.fv, n, k8), fast_var_view(ref.fv, n, k8)
        for name in ("mask_count", "r2", "COS_OCX", "SIN_OCX", "D_CC"):
            np.testing.assert_array_equal(bits(lv[name]), bits(rv[name]), err_msg=name)
    finally:
        loop.free()
        ref.free()
