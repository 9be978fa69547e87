"""Pruned assignment: candidate lists, masked products and the label scan.

References are NumPy in float64; the bound quantities fed to update_mdy are
computed here by the law of cosines, independently of the refresh code.
"""
import ctypes

import numpy as np
import pytest

from conftest import (F32P, I32P, VOIDP, FastVar, aligned_zeros, bind, c_bool, c_float,
                      c_int, c_int64, pad, round8)

SENTINEL = np.float32(12345.0)
STALE = 777777
N_SLICES = 20

gemm_mul_p_mask = bind("gemm_mul_p_mask", None, c_int, c_int, c_int, VOIDP, c_int, VOIDP,
                       c_float, c_float, c_int, F32P, c_int, I32P, c_int, I32P)
kernel_ori_mask_8 = bind("kernel_ori_mask_8", None, F32P, c_int, F32P, c_int, F32P, c_int,
                         c_float, c_float, c_int, I32P, c_int, c_int, I32P)
kernel_ori_mask_le8 = bind("kernel_ori_mask_le8", None, F32P, c_int, F32P, c_int, F32P, c_int,
                           c_float, c_float, c_int, I32P, c_int, c_int, I32P)
matmul_kernel = bind("matmul_kernel", None, F32P, c_int, F32P, c_int, F32P, c_int, c_float,
                     c_float, I32P, c_int, I32P, c_int, c_int, c_int, c_int, c_int)
compute_mask = bind("compute_mask", None, F32P, F32P, c_int, F32P, F32P, c_int, F32P, c_int,
                    F32P, I32P, I32P, c_int, c_int, I32P)
compute_y_mask = bind("compute_y_mask", None, I32P, F32P, F32P, c_int, c_int, c_int, I32P,
                      c_bool, F32P, c_int, F32P, F32P)
mask_full = bind("mask_full", None, I32P, c_int, c_int)
update_mdy = bind("update_mdy", c_int64, c_int, c_int, c_int, c_int, F32P, F32P, F32P, c_bool,
                  ctypes.POINTER(FastVar), I32P, F32P, F32P)


def flush_c_stdio():
    ctypes.CDLL(None).fflush(None)


def make_lists(counts, N, k, rng):
    """Rows of ascending candidates, a -1 run of up to 8, then stale indices."""
    mask = np.full((len(counts), N), -1, np.int32)
    for r, m in enumerate(counts):
        mask[r, :m] = np.sort(rng.choice(k, m, replace=False))
        if m + 8 < N:
            mask[r, m + 8:] = rng.integers(0, k, N - m - 8)
    return mask


def masked_reference(A, B, C0, mask, counts, alpha, beta, K):
    """C0 with alpha * A_i . B_c + beta * C0[i, c] at every listed c, in float64."""
    ref = C0.astype(np.float64)
    kk = K // 8 * 8
    for r, m in enumerate(counts):
        cols = mask[r, :m]
        dots = B[cols, :kk].astype(np.float64) @ A[r, :kk].astype(np.float64)
        ref[r, cols] = alpha * dots + beta * C0[r, cols].astype(np.float64)
    return ref


def check_masked(C, C0, ref, mask, counts, scale):
    listed = np.zeros(C.shape, bool)
    for r, m in enumerate(counts):
        listed[r, mask[r, :m]] = True
    np.testing.assert_allclose(C[listed], ref[listed], rtol=1e-5, atol=1e-6 * scale)
    # Everything not listed is untouched, bit for bit.
    assert np.array_equal(C[~listed].view(np.uint32), C0[~listed].view(np.uint32))


def run_masked(M, N, K, A, B, C, mask, counts, alpha=-2.0, beta=0.0, lda=None, ldb=None,
               ldc=None, ld_mask=None):
    gemm_mul_p_mask(M, N, K, A.ctypes.data, lda or A.shape[1], B.ctypes.data, alpha, beta,
                    ldb or B.shape[1], C, ldc or C.shape[1], mask, ld_mask or mask.shape[1],
                    np.ascontiguousarray(counts, np.int32))


# ---- masked products ------------------------------------------------------

@pytest.mark.parametrize("N, counts", [
    (16, [8, 13, 16, 3, 1, 7, 9, 15]),   # full, full+partial, two full, stale past the run
    (32, [13, 21, 32, 2, 24, 8, 16, 1]),
])
@pytest.mark.parametrize("beta", [0.0, 0.5])
def test_masked_product_touches_only_listed_entries(N, counts, beta):
    rng = np.random.default_rng(N)
    K, k = 40, N
    A = pad(rng.standard_normal((len(counts), K)))
    B = pad(rng.standard_normal((k, K)))
    mask = make_lists(counts, N, k, rng)
    C = np.full((len(counts), N), SENTINEL, np.float32)
    C[:, ::3] = rng.standard_normal(C[:, ::3].shape)
    C0 = C.copy()
    run_masked(len(counts), N, K, A, B, C, mask, counts, alpha=-2.0, beta=beta)
    check_masked(C, C0, masked_reference(A, B, C0, mask, counts, -2.0, beta, K), mask, counts,
                 scale=2 * K)


def test_masked_product_tiles_rows_and_positions():
    # 100 rows (blocks of 64 and 36) by 72 positions (blocks of 64 and 8), strided operands.
    rng = np.random.default_rng(7)
    M, N, K, k = 100, 72, 24, 70
    counts = rng.integers(1, k + 1, M)
    counts[:4] = [64, 65, 70, 8]
    A = aligned_zeros((M, K + 8))
    A[:, :K] = rng.standard_normal((M, K))
    B = aligned_zeros((k, K + 16))
    B[:, :K] = rng.standard_normal((k, K))
    mask = np.full((M, N + 5), STALE, np.int32)
    mask[:, :N] = make_lists(counts, N, k, rng)
    C = np.full((M, N + 3), SENTINEL, np.float32)
    C0 = C.copy()
    run_masked(M, N, K, A, B, C, mask, counts, alpha=1.5, beta=0.0)
    ref = masked_reference(A[:, :K], B[:, :K], C0, mask, counts, 1.5, 0.0, K)
    check_masked(C, C0, ref, mask, counts, scale=K)


def test_kernel_reduction_orders():
    # K = 8 and unit points: each lane holds one center value exactly, so only
    # the order of the lane additions decides the rounded sum.
    rng = np.random.default_rng(3)
    a = aligned_zeros((8,))
    a[:] = 1.0
    group = np.arange(8, dtype=np.int32)
    counts = np.array([8], np.int32)
    orders_differ = 0
    for _ in range(20):
        B = aligned_zeros((8, 8))
        B[:] = rng.uniform(-2, 2, (8, 8)) * np.ldexp(1.0, rng.integers(-12, 13, (8, 8)))
        l = [B[:, j] for j in range(8)]
        sequential = (((l[0] + l[1]) + (l[2] + l[3])) + (l[4] + l[5])) + (l[6] + l[7])
        halves = ((l[0] + l[4]) + (l[2] + l[6])) + ((l[1] + l[5]) + (l[3] + l[7]))
        orders_differ += np.count_nonzero(sequential != halves)

        c = np.zeros(8, np.float32)
        kernel_ori_mask_8(a, 8, B, 8, c, 8, 1.0, 0.0, 8, group, 0, 0, counts)
        assert np.array_equal(c, sequential)
        for q in range(1, 8):
            c = np.zeros(8, np.float32)
            partial = np.where(group < q, group, -1).astype(np.int32)
            kernel_ori_mask_le8(a, 8, B, 8, c, 8, 1.0, 0.0, 8, partial, 0, 0, counts)
            assert np.array_equal(c[:q], halves[:q]) and not c[q:].any()
    assert orders_differ > 20        # the data tells the two orders apart

    c = np.full(8, np.nan, np.float32)
    kernel_ori_mask_8(a, 8, B, 8, c, 8, 1.0, 0.5, 8, group, 0, 0, counts)
    assert np.all(np.isnan(c))       # the old value enters through beta


def test_masked_product_beta_zero_keeps_nan_and_inf():
    rng = np.random.default_rng(5)
    K, N = 16, 16
    A, B = pad(rng.standard_normal((2, K))), pad(rng.standard_normal((N, K)))
    counts = [13, 5]
    mask = make_lists(counts, N, N, rng)
    C = np.zeros((2, N), np.float32)
    C[0, mask[0, 2]] = np.nan      # listed, in a full group
    C[0, mask[0, 10]] = np.inf     # listed, in the partial group
    C[1, mask[1, 0]] = np.nan
    run_masked(2, N, K, A, B, C, mask, counts, beta=0.0)
    assert np.isnan(C[0, mask[0, 2]]) and np.isnan(C[0, mask[0, 10]])
    assert np.isnan(C[1, mask[1, 0]])
    assert np.isfinite(C[0, mask[0, 3]])


def test_masked_product_messages_and_unaligned_operands(capfd):
    rng = np.random.default_rng(11)
    M, N, K, k = 5, 16, 12, 16
    counts = [13, 8, 16, 1, 9]
    mask = make_lists(counts, N, k, rng)
    # K = 12: only the first 8 floats of each row enter the products.
    A = aligned_zeros((M, K))
    A[:, :8] = rng.standard_normal((M, 8))
    A[:, 8:] = 1e30
    B = aligned_zeros((k, K))
    B[:, :8] = rng.standard_normal((k, 8))
    B[:, 8:] = 1e30
    C = np.full((M, N), SENTINEL, np.float32)
    C0 = C.copy()
    run_masked(M, N, K, A, B, C, mask, counts)
    err = capfd.readouterr().err
    assert err.count("n or k is not a multiple of 8") == 1 and "not aligned" not in err
    check_masked(C, C0, masked_reference(A, B, C0, mask, counts, -2.0, 0.0, K), mask, counts, 16)

    # Operands one float off a 32-byte boundary: one message, same results.
    K = 16
    raw_a = aligned_zeros((M * K + 1,))
    raw_b = aligned_zeros((k * K + 1,))
    A = raw_a[1:].reshape(M, K)
    B = raw_b[1:].reshape(k, K)
    A[:] = rng.standard_normal((M, K))
    B[:] = rng.standard_normal((k, K))
    for a_op, b_op in [(A, pad(B)), (pad(A), B), (A, B)]:
        C = np.full((M, N), SENTINEL, np.float32)
        run_masked(M, N, K, a_op, b_op, C, mask, counts)
        err = capfd.readouterr().err
        assert err.count("input arr a or b is not aligned") == 1
        check_masked(C, C0, masked_reference(A, B, C0, mask, counts, -2.0, 0.0, K), mask,
                     counts, 2 * K)


def test_count_disagreement_is_reported_and_skipped(capfd):
    A, B = pad(np.ones((2, 8))), pad(np.ones((16, 8)))
    mask = np.array([[-1] * 16, [0, 1, 2] + [-1] * 13], np.int32)
    counts = [3, 3]
    C = np.full((2, 16), SENTINEL, np.float32)
    run_masked(2, 16, 8, A, B, C, mask, counts)
    flush_c_stdio()
    assert capfd.readouterr().out == "count[0] = 3, mask[0, 0] = -1\t"
    assert np.all(C[0] == SENTINEL)
    assert np.array_equal(C[1, :3], [-16.0] * 3) and np.all(C[1, 3:] == SENTINEL)


def test_lists_narrower_than_a_group_are_not_overread(capfd):
    # N = 13 with rows packed back to back: the second group of a row may only
    # see its own five positions, not the next row's entries.
    rng = np.random.default_rng(13)
    M, N, K, k = 4, 13, 8, 16
    counts = [13, 3, 10, 13]
    mask = np.full((M, N), -1, np.int32)
    mask[0], mask[1, :3], mask[3] = np.arange(13), [13, 14, 15], np.arange(3, 16)
    mask[2, :10] = [0, 1, 2, 4, 6, 8, 10, 12, 14, 15]
    A, B = pad(rng.standard_normal((M, K))), pad(rng.standard_normal((k, K)))
    C = np.full((M, k), SENTINEL, np.float32)
    C0 = C.copy()
    run_masked(M, N, K, A, B, C, mask, counts)
    assert "n or k is not a multiple of 8" in capfd.readouterr().err
    check_masked(C, C0, masked_reference(A, B, C0, mask, counts, -2.0, 0.0, K), mask, counts, 16)


def test_matmul_kernel_rectangle():
    rng = np.random.default_rng(17)
    M, N, K, k = 10, 32, 16, 32
    counts = np.array([32, 20, 9, 16, 3, 31, 24, 8, 17, 1], np.int32)
    mask = make_lists(counts, N, k, rng)
    A, B = pad(rng.standard_normal((M, K))), pad(rng.standard_normal((k, K)))
    C = np.full((M, N), SENTINEL, np.float32)
    C0 = C.copy()
    matmul_kernel(A, K, B, K, C, N, -2.0, 0.0, mask, N, counts, 0, 16, K, 0, 0)
    matmul_kernel(A, K, B, K, C, N, -2.0, 0.0, mask, N, counts, 4, 0, K, 0, 0)
    assert np.all(C == SENTINEL)
    # Rows 2 .. 7, positions 8 .. 23: exactly the listed entries inside it.
    matmul_kernel(A, K, B, K, C, N, -2.0, 0.0, mask, N, counts, 6, 16, K, 2, 8)
    inside = [(r, mask[r, p]) for r in range(2, 8) for p in range(8, 24) if p < counts[r]]
    ref = A.astype(np.float64) @ B.T.astype(np.float64) * -2.0
    for r, c in inside:
        assert C[r, c] == pytest.approx(ref[r, c], rel=1e-5, abs=1e-5)
    untouched = np.ones(C.shape, bool)
    for r, c in inside:
        untouched[r, c] = False
    assert np.all(C[untouched] == SENTINEL)


# ---- candidate lists --------------------------------------------------------

def bound_model(cos_cc, sin_cc, cosx, sinx, dcc, r2, labels, k):
    """Candidate matrix (rows x k) and the entries too close to call in float32."""
    rows = len(labels)
    cand = np.zeros((rows, k), bool)
    unsure = np.zeros((rows, k), bool)
    for i, l in enumerate(labels):
        cand[i, l] = True
        if not r2[i] > 0:
            continue
        with np.errstate(invalid="ignore"):
            proj = cosx[i] * cos_cc[l, :k].astype(np.float64) + sinx[i] * sin_cc[l, :k]
            w = proj * proj * (4.0 * np.float64(r2[i]))
        d = dcc[l, :k].astype(np.float64)
        cand[i] |= (d < w) | (np.isnan(w) & ~np.isnan(d))
        unsure[i] = np.abs(d - w) <= 1e-5 * np.maximum(np.abs(d), np.abs(w))
    return cand, unsure


def check_lists(mask, counts, cand, unsure, k, k8):
    for i in range(len(counts)):
        m = counts[i]
        lst = mask[i, :m]
        assert 1 <= m <= k and np.all(np.diff(lst) > 0) and lst[0] >= 0 and lst[-1] < k
        got = np.zeros(k, bool)
        got[lst] = True
        sure = ~unsure[i]
        assert np.array_equal(got[sure], cand[i][sure]), i
        end = min(m + 8, k8)
        assert np.all(mask[i, m:end] == -1)
        assert np.all(mask[i, end:] == STALE)


@pytest.mark.parametrize("k", [5, 12, 16, 37])
def test_compute_mask_matches_bound_model(k):
    rng = np.random.default_rng(k)
    k8, rows = round8(k), 40
    labels = rng.integers(0, k, rows).astype(np.int32)
    labels[:4] = rng.choice(k, 4, replace=False)
    # Angles from real vectors so cos and sin agree; then special entries.
    tc = rng.uniform(0, np.pi, (k8, k8))
    tx = rng.uniform(0, np.pi, rows)
    cos_cc, sin_cc = np.cos(tc).astype(np.float32), np.sin(tc).astype(np.float32)
    cosx, sinx = np.cos(tx).astype(np.float32), np.sin(tx).astype(np.float32)
    r2 = rng.uniform(0.5, 2.0, rows).astype(np.float32)
    dcc = rng.uniform(0, 8.0, (k8, k8)).astype(np.float32)
    # Own centers behind a finite bound they fail: listed only because they are own.
    dcc[np.arange(k8), np.arange(k8)] = 50.0
    # Pad centers look like candidates and must never be listed.
    dcc[:, k:], cos_cc[:, k:], sin_cc[:, k:] = -1.0, 1.0, 0.0
    l0, l1, l2, l3 = labels[:4]
    r2[0] = 0.0                            # on its own center: only l0
    dcc[l0, :] = -1.0
    cos_cc[l1, (l1 + 1) % k] = np.nan      # undefined bound, finite distance: listed
    sin_cc[l1, (l1 + 2) % k] = np.nan
    dcc[l1, (l1 + 3) % k] = np.nan         # emptied center: never listed
    cos_cc[l1, (l1 + 3) % k] = np.nan
    dcc[l2, :] = -1.0                      # every real center listed
    dcc[l3, l3] = 100.0                    # the own center is listed regardless
    labels[4] = l1
    for i in range(5, rows):
        while labels[i] in (l0, l2):
            labels[i] = rng.integers(0, k)

    mask = np.full((rows, k8), STALE, np.int32)
    counts = np.zeros(rows, np.int32)
    compute_mask(cos_cc, sin_cc, k8, cosx, sinx, rows, dcc, k8, r2, labels, mask, k8, k, counts)
    cand, unsure = bound_model(cos_cc, sin_cc, cosx, sinx, dcc, r2, labels, k)
    check_lists(mask, counts, cand, unsure, k, k8)
    assert counts[0] == 1 and mask[0, 0] == l0
    assert {(l1 + 1) % k, (l1 + 2) % k} <= set(mask[1, :counts[1]]) or k < 4
    if (l1 + 3) % k != l1:
        assert (l1 + 3) % k not in mask[1, :counts[1]]
    assert counts[2] == k and np.array_equal(mask[2, :k], np.arange(k))
    assert l3 in mask[3, :counts[3]]
    # Candidates are a real selection, not everything.
    assert 0 < cand[5:].mean() < 1


# ---- label scan ---------------------------------------------------------------

def test_compute_y_mask_ties_nan_and_accumulation():
    k, k8, d8 = 12, 16, 8
    c_norm = np.array([1, 0, 2, 5, 0, 1, 3, 3, 4, 1, 0, 2, 9, 9, 9, 9], np.float32)
    dist = np.zeros((5, k8), np.float32)
    mask = np.full((5, k8), -1, np.int32)
    # Row 0: centers 3 and 7 tie at 1.0, 9 is worse; stale entry after -1 is better.
    mask[0, :3], dist[0, [3, 7, 9]] = [3, 7, 9], [-4, -2, 1]
    mask[0, 4], dist[0, 0] = 0, -100
    # Row 1: a NaN never wins, later lower value does.
    mask[1, :4], dist[1, [1, 2, 4, 6]] = [1, 2, 4, 6], [5, np.nan, 4, 0]
    # Row 2: a NaN first candidate stays the label.
    mask[2, :2], dist[2, [0, 5]] = [0, 5], [np.nan, -50]
    # Row 3: an index >= k ends the list.
    mask[3, :3], dist[3, [10, 12]] = [10, 12, 2], [1, -100]
    # Row 4: every center listed, the last one wins.
    mask[4, :k], dist[4, :k] = np.arange(k), -np.arange(k) * 3.0
    labels = np.full(5, -7, np.int32)
    points = pad(np.arange(5 * 5).reshape(5, 5) + 1.0)
    counts, sums = np.zeros(k8, np.float32), aligned_zeros((k8, d8))
    counts[3], sums[3, 0] = 2.0, 0.5

    compute_y_mask(mask, dist, c_norm, 5, k8, k, labels, False, counts, d8, points, sums)
    assert list(labels) == [3, 6, 0, 10, 11]
    assert counts[3] == 2.0 and sums.sum() == 0.5
    compute_y_mask(mask, dist, c_norm, 5, k8, k, labels, True, counts, d8, points, sums)
    expect_cnt = np.zeros(k8)
    expect_sum = np.zeros((k8, d8))
    expect_cnt[3], expect_sum[3, 0] = 2.0, 0.5
    np.add.at(expect_cnt, labels, 1.0)
    np.add.at(expect_sum, labels, points)
    assert np.array_equal(counts, expect_cnt) and np.array_equal(sums, expect_sum)


def test_mask_full():
    out = np.full(8, STALE, np.int32)
    mask_full(out, 2, 3)
    assert list(out) == [0, 1, 2, 0, 1, 2, STALE, STALE]
    mask_full(out, 0, 3)
    mask_full(out, 2, 0)
    assert list(out[:6]) == [0, 1, 2, 0, 1, 2]


# ---- update_mdy ---------------------------------------------------------------

def law_of_cosines(x64, c64, y, k, k8):
    """Bound quantities for centers c64 (NaN rows: emptied) and labels y, in float64."""
    n = len(x64)
    cn = (c64 ** 2).sum(1)
    dcc = np.stack([((c64 - c) ** 2).sum(1) for c in c64])
    r2 = ((x64 - c64[y]) ** 2).sum(1)
    xn = (x64 ** 2).sum(1)
    with np.errstate(all="ignore"):
        cos_cc = (cn[:, None] - cn[None, :] + dcc) / (2 * np.sqrt(cn)[:, None] * np.sqrt(dcc))
        cosx = (cn[y] + r2 - xn) / (2 * np.sqrt(cn[y] * r2))
        sin_cc = np.sqrt(np.maximum(0.0, 1 - cos_cc ** 2))
        sinx = np.sqrt(np.maximum(0.0, 1 - cosx ** 2))

    def square(a):
        out = aligned_zeros((k8, k8))
        out[:] = np.nan
        out[:k, :k] = a
        return out

    def vec(a):
        out = aligned_zeros((n,))
        out[:] = a
        return out
    return dict(D_CC=square(dcc), COS_OCiCj=square(cos_cc), SIN_OCiCj=square(sin_cc),
                COS_OCX=vec(cosx), SIN_OCX=vec(sinx), r2=vec(r2), c_norm=cn)


def dataset(kind, n, d, k, rng):
    """Points, current centers and the labels they had before the centers moved."""
    if kind == "uniform":
        X = rng.uniform(-10, 10, (n, d))
    else:
        means = rng.uniform(-10, 10, (max(k // 2, 1), d))
        X = means[rng.integers(0, len(means), n)] + 2.0 * rng.standard_normal((n, d))
    X = X.astype(np.float32)
    x64 = X.astype(np.float64)
    c_old = x64[rng.choice(n, k, replace=False)]
    y = ((x64[:, None, :] - c_old[None]) ** 2).sum(-1).argmin(1).astype(np.int32)
    c = np.full((k, d), np.nan)                  # one Lloyd step; no members: NaN
    for j in np.unique(y):
        c[j] = x64[y == j].mean(0)
    if k >= 4:
        c[1] = c[0]            # coinciding centers
        c[2] = 0.0             # a center at the origin
        y[y == 3] = 0
        c[3] = np.nan          # emptied by the center update: nobody's center
    c = c.astype(np.float32).astype(np.float64)
    X[:3] = c[y[:3]]           # points lying on their center
    X[3] = 0.0
    return X, c, y


def run_update_mdy(X, c, y, k, c_norm_fix=None):
    n, d = X.shape
    k8, d8 = round8(k), round8(d)
    x64 = X.astype(np.float64)
    geo = law_of_cosines(x64, c, y, k, k8)
    if c_norm_fix:
        for j, v in c_norm_fix.items():
            geo["c_norm"][j] = v
    Xp = pad(X)
    cen = aligned_zeros((k8, d8))
    cen[:] = np.nan
    cen[:k, :d] = c
    cen[:k, d:] = np.where(np.isnan(c[:, :1]), np.nan, 0.0)
    c_norm = aligned_zeros((k8,))
    c_norm[:] = np.nan
    c_norm[:k] = geo["c_norm"]
    D_NC = aligned_zeros((n, k8))
    D_NC[:] = SENTINEL
    mask = aligned_zeros((n, k8), np.int32)
    mask[:] = STALE
    mask_count = aligned_zeros((n,), np.int32)
    arrays = dict(geo, D_NC=D_NC, mask=mask, mask_count=mask_count)
    fv = FastVar(**{name: arrays[name].ctypes.data for name, _ in FastVar._fields_})
    labels = y.copy()
    thread_cnt = aligned_zeros((N_SLICES, k8))
    thread_sum = aligned_zeros((N_SLICES, k8, d8))
    us = update_mdy(n, d8, k8, k, Xp, cen, c_norm, True, ctypes.byref(fv), labels, thread_cnt,
                    thread_sum)
    assert us >= 0
    return dict(labels=labels, mask=mask, counts=mask_count, D_NC=D_NC, cnt=thread_cnt,
                sum=thread_sum, Xp=Xp, cen=cen)


def check_update_mdy(X, c, y, k, out):
    n = len(X)
    x64, labels = X.astype(np.float64), out["labels"]
    dist = ((x64[:, None, :] - c[None]) ** 2).sum(-1)
    dist[np.isnan(dist)] = np.inf
    dmin = dist.min(1)
    chosen = dist[np.arange(n), labels]
    assert np.all((labels >= 0) & (labels < k))
    bad = chosen > dmin * (1 + 1e-5)
    assert not bad.any(), (np.flatnonzero(bad)[:5], chosen[bad][:5], dmin[bad][:5])
    counts = out["counts"]
    assert np.all((counts >= 1) & (counts <= k))
    # Listed products are current, a lone candidate's (the own center, which
    # keeps the point) included; everything else in D_NC untouched.
    listed = np.zeros(out["D_NC"].shape, bool)
    for i in range(n):
        lst = out["mask"][i, :counts[i]]
        assert y[i] in lst and labels[i] in lst
        listed[i, lst] = True
    ref = -2.0 * out["Xp"].astype(np.float64) @ out["cen"].T.astype(np.float64)
    scale = 2 * np.abs(x64).sum(1)[:, None] * np.nanmax(np.abs(c))
    ok = np.abs(out["D_NC"] - ref) <= 1e-5 * scale + 1e-30
    assert np.all(ok[listed & ~np.isnan(ref)])
    assert np.all(out["D_NC"][~listed] == SENTINEL)
    assert np.array_equal(labels[counts == 1], y[counts == 1])
    # Per-thread slices add up to the members of each center.
    k8, d = out["cnt"].shape[1], X.shape[1]
    cnt = out["cnt"].sum(0)
    assert np.array_equal(cnt[:k], np.bincount(labels, minlength=k)) and not cnt[k:].any()
    sums = np.zeros((k8, out["sum"].shape[2]))
    np.add.at(sums, labels, out["Xp"].astype(np.float64))
    got = out["sum"].astype(np.float64).sum(0)
    np.testing.assert_allclose(got, sums, rtol=1e-5, atol=1e-4 * np.abs(x64).max() + 1e-6)


CASES = [("clustered", 1, 1), ("clustered", 1, 9), ("uniform", 1, 40), ("clustered", 2, 7),
         ("uniform", 2, 64), ("clustered", 3, 8), ("uniform", 3, 33), ("clustered", 16, 17),
         ("uniform", 16, 5), ("clustered", 16, 300), ("clustered", 100, 24),
         ("uniform", 100, 300), ("clustered", 2, 300)]


@pytest.mark.parametrize("kind, d, k", CASES)
def test_update_mdy_labels_are_nearest(kind, d, k):
    rng = np.random.default_rng(1000 * d + k)
    X, c, y = dataset(kind, 700, d, k, rng)
    out = run_update_mdy(X, c, y, k)
    check_update_mdy(X, c, y, k, out)
    if k >= 4:
        empty = np.flatnonzero(np.isnan(c[:, 0]))
        assert not np.isin(out["labels"], empty).any()
        assert not np.isin(out["mask"][np.arange(out["mask"].shape[1]) < out["counts"][:, None]],
                           empty).any()


def test_update_mdy_random_labels_stress_the_bound():
    # Labels far from the nearest center give wide, non-trivial candidate lists.
    rng = np.random.default_rng(99)
    X, c, _ = dataset("clustered", 500, 8, 50, rng)
    c = np.where(np.isnan(c), 0.5, c)
    y = rng.integers(0, 50, 500).astype(np.int32)
    out = run_update_mdy(X, c, y, 50)
    check_update_mdy(X, c, y, 50, out)
    assert 1 < out["counts"].mean() < 50


def test_update_mdy_same_result_for_1_and_3_threads():
    gomp = ctypes.CDLL("libgomp.so.1")
    before = gomp.omp_get_max_threads()
    rng = np.random.default_rng(5)
    X, c, y = dataset("clustered", 300, 16, 40, rng)
    try:
        gomp.omp_set_num_threads(1)
        one = run_update_mdy(X, c, y, 40)
        gomp.omp_set_num_threads(3)
        three = run_update_mdy(X, c, y, 40)
    finally:
        gomp.omp_set_num_threads(before)
    assert np.array_equal(one["labels"], three["labels"])
    assert np.array_equal(one["mask"], three["mask"])
    assert np.array_equal(one["cnt"].sum(0), three["cnt"].sum(0))
    assert not one["cnt"][1:].any() and not three["cnt"][3:].any()


# ---- exact arithmetic of the products and of the fused scan --------------------
#
# Integer-valued operands below 2^12 make every product and partial sum exact
# in float64, so rounding each fused multiply-add once to float32 reproduces
# the kernels bit for bit, while float32 sums above 2^24 still round, which
# tells the orders of addition apart.

def lane_sums(a, b, K):
    """The eight lanes of one candidate's chain of fused multiply-adds over K."""
    acc = np.zeros(8, np.float32)
    for o in range(0, K // 8 * 8, 8):
        acc = (a[o:o + 8].astype(np.float64) * b[o:o + 8] + acc).astype(np.float32)
    return acc


def group_values(a, B, cols, full, alpha, beta, old, K):
    """Values the kernels store for one group: lane order, alpha, then fma with beta."""
    out = []
    for c, o in zip(cols, old):
        l = lane_sums(a, B[c], K)
        if full:
            s = (((l[0] + l[1]) + (l[2] + l[3])) + (l[4] + l[5])) + (l[6] + l[7])
        else:
            s = ((l[0] + l[4]) + (l[2] + l[6])) + ((l[1] + l[5]) + (l[3] + l[7]))
        v = np.float32(alpha) * s
        out.append(np.float32(np.float64(beta) * np.float64(o) + np.float64(v)))
    return np.array(out, np.float32)


def exact_reference(A, B, C0, mask, counts, alpha, beta, K):
    ref = C0.copy()
    for r, m in enumerate(counts):
        for p in range(0, m, 8):
            cols = mask[r, p:min(p + 8, m)]
            ref[r, cols] = group_values(A[r], B, cols, p + 8 <= m, alpha, beta, C0[r, cols], K)
    return ref


def test_products_bit_exact_for_every_group_size():
    # Counts 1 .. 24 put every partial size q = 1 .. 7 behind zero to two full groups.
    rng = np.random.default_rng(21)
    K, N, k = 40, 32, 32
    counts = np.arange(1, 25, dtype=np.int32)
    M = len(counts)
    A = pad(rng.integers(-4096, 4097, (M, K)).astype(np.float64))
    B = pad(rng.integers(-4096, 4097, (k, K)).astype(np.float64))
    mask = make_lists(counts, N, k, rng)
    C0 = rng.integers(-1000, 1001, (M, N)).astype(np.float32)
    ref = exact_reference(A, B, C0, mask, counts, -2.0, 0.5, K)
    C = C0.copy()
    run_masked(M, N, K, A, B, C, mask, counts, alpha=-2.0, beta=0.5)
    assert np.array_equal(C.view(np.uint32), ref.view(np.uint32))
    # The same partial groups through the exported partial kernel.
    for q in range(1, 8):
        group = np.full(8, -1, np.int32)
        group[:q] = mask[q - 1, :q]
        c = C0[q - 1].copy()
        kernel_ori_mask_le8(A[q - 1], K, B, K, c, N, -2.0, 0.5, K, group, 0, 0, counts)
        assert np.array_equal(c.view(np.uint32), ref[q - 1].view(np.uint32)), q


def chunk_density(counts, k8, rows=64):
    """Per 64-row chunk: products listed (lone candidates need none) over rows x k8."""
    listed = np.where(counts > 1, counts, 0)
    return np.array([listed[i:i + rows].sum() / (len(listed[i:i + rows]) * k8)
                     for i in range(0, len(counts), rows)])


# -inf: a center that wins wherever it is listed and nowhere else.
FIX = {0: np.nan, 2: np.inf, 9: np.nan, 5: -np.inf}


# Every third old label random lists about a third of each chunk's products,
# which at d8 = 16 takes the dense product; every twentieth lists under a
# tenth, which keeps the masked one.
@pytest.mark.parametrize("k, every, cn_fix, dense", [(40, 3, None, True), (50, 3, FIX, True),
                                                     (40, 20, None, False), (50, 20, FIX, False)])
def test_update_mdy_equals_products_then_scan(k, every, cn_fix, dense):
    # Integer points near integer centers (exact products), coinciding centers
    # for ties, some old labels random for long lists, NaN or +inf norms.
    rng = np.random.default_rng(k)
    n, d = 400, 12
    c = rng.integers(-20, 21, (k, d)).astype(np.float64)
    c[[1, 11, 19, 27, 35]] = c[0]          # ties, some of them eight positions apart
    c[[10, 18, 26, 34]] = c[2]
    y = rng.integers(0, k, n).astype(np.int32)
    X = (c[y] + rng.integers(-3, 4, (n, d))).astype(np.float32)
    y[::every] = rng.integers(0, k, len(y[::every]))
    gomp = ctypes.CDLL("libgomp.so.1")
    before = gomp.omp_get_max_threads()
    try:
        gomp.omp_set_num_threads(1)      # one slice: the additions keep the point order
        out = run_update_mdy(X, c, y, k, cn_fix)
    finally:
        gomp.omp_set_num_threads(before)
    counts, mask, k8, d8 = out["counts"], out["mask"], round8(k), round8(d)
    assert (counts == 1).any() and (counts % 8 != 0).any() and counts.max() > 16
    density = chunk_density(counts, k8)
    assert (density > 0.25).all() if dense else (density < 0.1).all()
    # The stored products, lone candidates' included, equal the exported
    # masked product on the same lists (exact here, so whichever product ran;
    # a zero may differ in sign only on the dense path), and nothing unlisted
    # is touched.
    C = np.full((n, k8), SENTINEL, np.float32)
    run_masked(n, k8, d8, out["Xp"], out["cen"], C, mask, counts, alpha=-2.0, beta=0.0)
    many = counts > 1
    listed = np.arange(k8) < counts[:, None]
    rows_of = np.broadcast_to(np.arange(n)[:, None], mask.shape)
    touched = np.zeros((n, k8), bool)
    touched[rows_of[listed], mask[listed]] = True
    assert np.array_equal(out["D_NC"][touched], C[touched])
    assert (out["D_NC"][~touched] == SENTINEL).all()
    if not dense:
        assert np.array_equal(out["D_NC"].view(np.uint32), C.view(np.uint32))
    # The fused scan equals the sequential one; lone candidates keep the point.
    c_norm = aligned_zeros((k8,))
    c_norm[:] = np.nan
    c_norm[:k] = (c ** 2).sum(1)
    for j, v in (cn_fix or {}).items():
        c_norm[j] = v
    labels = np.full(n, -1, np.int32)
    cnt, sums = np.zeros(k8, np.float32), aligned_zeros((k8, d8))
    compute_y_mask(mask, C, c_norm, n, k8, k, labels, True, cnt, d8, out["Xp"], sums)
    assert np.array_equal(out["labels"], labels)
    assert np.array_equal(out["cnt"].sum(0), cnt)
    assert np.array_equal(out["sum"][0], sums)
    assert np.array_equal(out["labels"][counts == 1], y[counts == 1])
    if cn_fix:
        # A NaN first score stays the label, a NaN later never wins, +inf loses.
        first, listed = mask[:, 0], np.arange(k8) < counts[:, None]
        nan_first, inf_first = many & (first == 0), many & (first == 2)
        assert nan_first.any() and inf_first.any()
        assert (labels[nan_first] == 0).all() and (labels[inf_first] != 2).all()
        nan_later = ((mask[:, 1:] == 9) & listed[:, 1:]).any(1)
        assert nan_later.any() and (labels[nan_later] != 9).all()
        minus_inf = ((mask == 5) & listed).any(1) & many & ~nan_first
        assert minus_inf.any() and (labels[minus_inf] == 5).all()


def test_update_mdy_dense_and_masked_chunks_agree():
    # The same points and centers reached from random old labels (long lists:
    # dense chunks) and from their nearest centers (short lists: masked
    # chunks) give the nearest centers either way, checked in float64.
    rng = np.random.default_rng(64)
    n, d, k = 640, 64, 48
    means = rng.uniform(-10, 10, (k, d))
    X = (means[rng.integers(0, k, n)] + 4.0 * rng.standard_normal((n, d))).astype(np.float32)
    x64 = X.astype(np.float64)
    c = (means + 0.1 * rng.standard_normal((k, d))).astype(np.float32).astype(np.float64)
    y_near = ((x64[:, None, :] - c[None]) ** 2).sum(-1).argmin(1).astype(np.int32)
    y_rand = rng.integers(0, k, n).astype(np.int32)
    outs = {}
    for name, y in (("dense", y_rand), ("masked", y_near)):
        out = run_update_mdy(X, c, y, k)
        check_update_mdy(X, c, y, k, out)
        outs[name] = out
    assert (chunk_density(outs["dense"]["counts"], k) > 0.6).all()
    masked = chunk_density(outs["masked"]["counts"], k)
    assert (masked < 0.2).all() and (masked > 0.01).all()
    # Both name the float64 nearest center wherever it is clear of the second.
    dist = ((x64[:, None, :] - c[None]) ** 2).sum(-1)
    first, second = np.sort(dist, 1)[:, :2].T
    clear = second - first > 1e-4 * second
    assert clear.mean() > 0.9
    for out in outs.values():
        assert np.array_equal(out["labels"][clear], dist.argmin(1)[clear])


@pytest.mark.parametrize("kind, d, k", [("clustered", 2, 40), ("uniform", 3, 33),
                                        ("clustered", 16, 17), ("clustered", 100, 24)])
def test_update_mdy_lists_equal_compute_mask(kind, d, k):
    # Points deep inside their cell skip the bound inside update_mdy; every
    # list must still be what compute_mask gives, emptied, coinciding and
    # origin centers included.
    rng = np.random.default_rng(7 * d + k)
    X, c, y = dataset(kind, 700, d, k, rng)
    n, k8 = len(X), round8(k)
    x64 = X.astype(np.float64)
    X[10:300] = (0.999 * c[y[10:300]] + 0.001 * x64[10:300]).astype(np.float32)
    X[10:300][np.isnan(c[y[10:300]]).any(1)] = 1.0
    out = run_update_mdy(X, c, y, k)
    check_update_mdy(X, c, y, k, out)
    geo = law_of_cosines(X.astype(np.float64), c, y, k, k8)
    mask = aligned_zeros((n, k8), np.int32)
    counts = aligned_zeros((n,), np.int32)
    compute_mask(geo["COS_OCiCj"], geo["SIN_OCiCj"], k8, geo["COS_OCX"], geo["SIN_OCX"], n,
                 geo["D_CC"], k8, geo["r2"], y, mask, k8, k, counts)
    assert np.array_equal(out["counts"], counts)
    assert (counts == 1).mean() > 0.3 and (counts > 1).any()
    for i in range(n):
        assert np.array_equal(out["mask"][i, :counts[i]], mask[i, :counts[i]]), i
