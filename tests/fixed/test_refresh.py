"""Bound and geometry refresh: center norms, center distances and angles,
point radii and angles, against float64 NumPy references."""
import ctypes
import os
import subprocess
import sys

import numpy as np
import pytest

from conftest import (F32P, I32P, FastVar, aligned_copy, aligned_zeros, bind, c_int, c_int64,
                      round8)

pair_part = bind("compute_COS_OCiCj_part", None, F32P, c_int, c_int, c_int, F32P, c_int, F32P,
                 F32P, c_int)
pair_whole = bind("compute_COS_OCiCj", None, F32P, c_int, F32P, c_int, F32P, F32P, c_int)
norms_dcc = bind("compute_c_norm_DCC", None, F32P, c_int, F32P, c_int, c_int)
refine = bind("refine_D_CC", None, F32P, c_int, F32P, c_int)
r2_rows = bind("compute_r2", None, F32P, c_int, c_int, F32P, I32P, F32P)
r2_omp = bind("compute_r2_omp", None, c_int, c_int, F32P, F32P, I32P, F32P)
cos_ocx = bind("compute_COS_OCX", None, F32P, c_int, F32P, I32P, F32P, F32P, F32P, c_int)
fill_rows = bind("D_NC_initial", None, F32P, c_int, c_int, F32P)
update_fv = bind("update_fv", c_int64, c_int, c_int, c_int, F32P, F32P, F32P, F32P, I32P,
                 ctypes.POINTER(FastVar))

# 1/x from a 2^-12 estimate and one Newton step, then a few float32 roundings.
RTOL = 2e-6


# ---- float64 references ---------------------------------------------------

def ref_pair(c_norm, D):
    """cos/sin of the angle at c_i between O and c_j, from norms and distances."""
    cn = c_norm.astype(np.float64)
    D = D.astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        cos = (cn[:, None] - cn[None, :] + D) / (2 * np.sqrt(cn)[:, None] * np.sqrt(D))
    return cos, np.sqrt(np.maximum(0.0, 1 - cos * cos))


def ref_points(c_norm, r2, y, x_norm):
    g = c_norm.astype(np.float64)[y]
    r2 = r2.astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        cos = (g + r2 - x_norm) / (2 * np.sqrt(g * r2))
    return cos, np.sqrt(np.maximum(0.0, 1 - cos * cos))


def cos_tol(big, den):
    """Error of a float32 law-of-cosines quotient: rounding of terms of size `big`."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return RTOL * (1 + big / den)


def sin_tol(cos_ref, sin_ref, tol):
    return tol * np.abs(cos_ref) / np.maximum(sin_ref, np.sqrt(tol)) + tol


def product(cen):
    """-2 cen cen^T as the refresh receives it: float64, rounded once to float32."""
    c = cen.astype(np.float64)
    return aligned_copy((-2.0 * c @ c.T).astype(np.float32))


def run_pair_part(c_norm, D, first_row=0, n_rows=None):
    n_cols = D.shape[1]
    n_rows = D.shape[0] if n_rows is None else n_rows
    cos = aligned_copy(np.full(D.shape, 7.0, np.float32))
    sin = aligned_copy(np.full(D.shape, 7.0, np.float32))
    pair_part(c_norm, first_row, n_rows, n_cols, D, n_cols, cos, sin, n_cols)
    return cos, sin


def run_points(cen, X, y):
    """r2, cos, sin of every point through compute_r2 and compute_COS_OCX."""
    n, d8 = X.shape
    c_norm = aligned_copy((cen.astype(np.float64) ** 2).sum(1).astype(np.float32))
    x_norm = aligned_copy((X.astype(np.float64) ** 2).sum(1).astype(np.float32))
    y = np.ascontiguousarray(y, np.int32)
    r2, cos, sin = (aligned_zeros(n) for _ in range(3))
    r2_rows(X, n, d8, cen, y, r2)
    cos_ocx(c_norm, cen.shape[0], r2, y, x_norm, cos, sin, n)
    return c_norm, x_norm, r2, cos, sin


# ---- center pairs ---------------------------------------------------------

def test_pair_345_triangle():
    # |c_0| = 5, |c_1| = 4, |c_0 - c_1| = 3: right angle at c_1.
    cen = np.zeros((8, 8), np.float32)
    cen[0, :2] = (4, 3)
    cen[1, :2] = (4, 0)
    cen[2:, 2:] = 10 * np.eye(6, dtype=np.float32)
    D = product(cen)
    c_norm = aligned_zeros(8)
    cos, sin = aligned_zeros((8, 8)), aligned_zeros((8, 8))
    pair_whole(c_norm, 8, D, 8, cos, sin, 8)
    assert c_norm[:2].tolist() == [25.0, 16.0]
    assert D[0, 1] == D[1, 0] == 9.0
    assert cos[0, 1] == pytest.approx(0.6, abs=1e-6)
    assert sin[0, 1] == pytest.approx(0.8, abs=1e-6)
    assert cos[1, 0] == pytest.approx(0.0, abs=1e-6)
    assert sin[1, 0] == pytest.approx(1.0, abs=1e-6)

    # The row kernel on row 0 alone agrees and leaves the other rows alone.
    cos_p, sin_p = run_pair_part(c_norm, D, first_row=0, n_rows=1)
    np.testing.assert_array_equal(cos_p[0], cos[0])
    np.testing.assert_array_equal(sin_p[0], sin[0])
    assert (cos_p[1:] == 7.0).all() and (sin_p[1:] == 7.0).all()


@pytest.mark.parametrize("k", [8, 16, 40])
def test_pair_whole_matrix_against_float64(k):
    rng = np.random.default_rng(k)
    cen = aligned_copy(rng.normal(size=(k, 24)).astype(np.float32) + 1)
    c64 = cen.astype(np.float64)
    D = product(cen)
    c_norm = aligned_zeros(k)
    cos, sin = aligned_zeros((k, k)), aligned_zeros((k, k))
    pair_whole(c_norm, k, D, k, cos, sin, k)

    cn64 = (c64 ** 2).sum(1)
    D64 = ((c64[:, None, :] - c64[None, :, :]) ** 2).sum(-1)
    np.testing.assert_allclose(c_norm, cn64, rtol=1e-6)
    np.testing.assert_allclose(D, D64, rtol=0, atol=1e-6 * cn64.max())
    assert (np.diag(D) == 0.0).all() and not np.signbit(np.diag(D)).any()

    cos_ref, sin_ref = ref_pair(c_norm, D)
    off = ~np.eye(k, dtype=bool)
    tol = cos_tol(c_norm[:, None] + D, 2 * np.sqrt(c_norm[:, None].astype(np.float64) * D))
    assert (np.abs(cos - cos_ref)[off] <= tol[off]).all()
    assert (np.abs(sin - sin_ref)[off] <= sin_tol(cos_ref, sin_ref, tol)[off]).all()
    assert np.isnan(np.diag(cos)).all() and np.isnan(np.diag(sin)).all()

    # The four-row kernel and the one-row kernel do the same arithmetic.
    cos_p, sin_p = run_pair_part(c_norm, D)
    np.testing.assert_array_equal(cos_p, cos)
    np.testing.assert_array_equal(sin_p, sin)


def test_norms_and_distances_with_strides():
    rng = np.random.default_rng(3)
    k, ld = 16, 24
    cen = rng.integers(-4, 5, size=(k, 8)).astype(np.float32)
    c64 = cen.astype(np.float64)
    D = aligned_copy(np.full((k, ld), 5.0, np.float32))
    D[:, :k] = -2.0 * c64 @ c64.T
    exact = ((c64[:, None, :] - c64[None, :, :]) ** 2).sum(-1)

    c_norm = aligned_zeros(k)
    norms_dcc(c_norm, k, D, ld, 0)
    np.testing.assert_array_equal(c_norm, (c64 ** 2).sum(1))
    np.testing.assert_array_equal(D[:, :k], exact)
    assert (D[:, k:] == 5.0).all()

    # Given norms are used as they are: a wrong norm shows up in every distance.
    D[:, :k] = -2.0 * c64 @ c64.T
    given = aligned_copy(c_norm + 1.0)
    norms_dcc(given, k, D, ld, 1)
    np.testing.assert_array_equal(given, c_norm + 1.0)
    off = ~np.eye(k, dtype=bool)
    np.testing.assert_array_equal(D[:, :k][off], (exact + 2.0)[off])
    assert (np.diag(D[:, :k]) == 0.0).all()

    # refine_D_CC adds the norms once per call.
    D[:, :k] = -2.0 * c64 @ c64.T
    refine(D, ld, c_norm, k)
    refine(D, ld, c_norm, k)
    np.testing.assert_array_equal(D[:, :k][off], (exact + c_norm[:, None] + c_norm[None, :])[off])


def test_pair_collinear_zero_and_nan_centers():
    # Rows 0-39 on one line through the origin, both sides of it and well
    # apart; row 40 the origin, row 41 NaN, the rest generic.
    rng = np.random.default_rng(11)
    k, m = 48, 40
    cen = np.zeros((k, 16), np.float32)
    cen[:m] = rng.permutation(np.linspace(-9, 9, m))[:, None] * rng.normal(size=16)
    cen[41] = np.nan
    cen[42:] = rng.normal(size=(6, 16))
    D = product(cen)
    c_norm = aligned_zeros(k)
    cos, sin = aligned_zeros((k, k)), aligned_zeros((k, k))
    pair_whole(c_norm, k, D, k, cos, sin, k)

    # Collinear: cos +-1 up to rounding, some past it; the sine is never NaN.
    line = ~np.eye(m, dtype=bool)
    cl, sl = cos[:m, :m][line], sin[:m, :m][line]
    Dl = D[:m, :m].astype(np.float64)
    tol = cos_tol(c_norm[:m, None] + Dl, 2 * np.sqrt(c_norm[:m, None] * Dl))[line]
    assert (np.abs(np.abs(cl) - 1) <= tol).all()
    assert (np.abs(cl) > 1).any() and (sl[np.abs(cl) >= 1] == 0.0).all()
    assert not np.isnan(sl).any() and (sl < 5e-3).all()
    # The zero center seen from any other: cos 1, sine 0 or tiny, never NaN.
    others = np.r_[0:m, 42:k]
    np.testing.assert_allclose(cos[others, 40], 1.0, atol=1e-5)
    assert not np.isnan(sin[others, 40]).any() and (sin[others, 40] < 5e-3).all()
    # Its own row, the NaN center's row and column, every diagonal: NaN.
    for a in (cos, sin):
        assert np.isnan(a[40]).all() and np.isnan(a[41]).all() and np.isnan(a[:, 41]).all()
        assert np.isnan(np.diag(a)).all()
    assert np.isnan(D[41, np.r_[0:41, 42:k]]).all() and D[41, 41] == 0.0
    assert np.isfinite(cos[np.ix_(others, others)][~np.eye(k - 2, dtype=bool)]).all()


def test_pair_empty_ranges_write_nothing():
    c_norm = aligned_copy(np.arange(1, 9, dtype=np.float32))
    D = aligned_copy(np.ones((8, 8), np.float32))
    cos, sin = aligned_zeros((8, 8)), aligned_zeros((8, 8))
    for first, rows, cols in ((0, 0, 8), (0, -3, 8), (0, 8, 0), (2, 4, -8)):
        pair_part(c_norm, first, rows, cols, D, 8, cos, sin, 8)
    norms = c_norm.copy()
    pair_whole(norms, 0, D, 8, cos, sin, 8)
    norms_dcc(norms, -8, D, 8, 0)
    refine(D, 8, c_norm, 0)
    assert (D == 1.0).all() and (norms == c_norm).all()
    assert (cos == 0.0).all() and (sin == 0.0).all()


# ---- points ---------------------------------------------------------------

def points_345(n):
    """n points, each 3 from its center (|c| = 5) and 4 from the origin; eight equal
    centers, so every label is used."""
    cen = aligned_zeros((8, 8))
    cen[:, :2] = (4, 3)
    X = aligned_zeros((n, 8))
    X[:, :2] = (4, 0)
    y = np.arange(n, dtype=np.int32) % 8
    return cen, X, y


@pytest.mark.parametrize("n", [7, 13, 16])
def test_points_345_triangle(n):
    cen, X, y = points_345(n)
    _, x_norm, r2, cos, sin = run_points(cen, X, y)
    assert (r2 == 9.0).all() and (x_norm == 16.0).all()
    np.testing.assert_allclose(cos, 0.6, atol=1e-6)
    np.testing.assert_allclose(sin, 0.8, atol=1e-6)


@pytest.mark.parametrize("n,d", [(7, 5), (13, 8), (16, 19), (29, 64)])
def test_points_against_float64(n, d):
    rng = np.random.default_rng(n * 100 + d)
    d8 = round8(d)
    k = 5
    cen = aligned_zeros((8, d8))
    cen[:k, :d] = rng.normal(size=(k, d))
    y = rng.integers(0, k, size=n).astype(np.int32)
    X = aligned_zeros((n, d8))
    X[:, :d] = cen[y, :d] + rng.normal(size=(n, d)) * rng.uniform(0.1, 3, size=(n, 1))
    c_norm, x_norm, r2, cos, sin = run_points(cen, X, y)

    r2_64 = ((X.astype(np.float64) - cen[y].astype(np.float64)) ** 2).sum(1)
    np.testing.assert_allclose(r2, r2_64, rtol=1e-6)
    cos_ref, sin_ref = ref_points(c_norm, r2, y, x_norm)
    g = c_norm[y].astype(np.float64)
    tol = cos_tol(g + r2 + x_norm, 2 * np.sqrt(g * r2))
    assert (np.abs(cos - cos_ref) <= tol).all()
    assert (np.abs(sin - sin_ref) <= sin_tol(cos_ref, sin_ref, tol)).all()


def test_r2_paths_agree_bitwise_and_exact_on_integers():
    rng = np.random.default_rng(2)
    n, d8 = 13, 40
    cen = aligned_copy(rng.integers(-20, 21, size=(8, d8)).astype(np.float32))
    X = aligned_copy(rng.integers(-20, 21, size=(n, d8)).astype(np.float32))
    y = rng.integers(0, 8, size=n).astype(np.int32)
    r2 = aligned_zeros(n)
    r2_rows(X, n, d8, cen, y, r2)
    np.testing.assert_array_equal(r2, ((X.astype(np.int64) - cen[y]) ** 2).sum(1))

    # Non-integer data: a point's r2 is the same through the 8-wide group or alone.
    Xf = aligned_copy(rng.normal(size=(n, d8)).astype(np.float32))
    cf = aligned_copy(rng.normal(size=(8, d8)).astype(np.float32))
    r2_rows(Xf, n, d8, cf, y, r2)
    one = aligned_zeros(1)
    for p in range(n):
        r2_rows(aligned_copy(Xf[p:p + 1]), 1, d8, cf, y[p:p + 1].copy(), one)
        assert one[0] == r2[p]

    # No columns: every r2 is 0.
    r2[:] = 7.0
    r2_rows(X, n, 0, cen, y, r2)
    assert (r2 == 0.0).all()


def test_points_on_center_at_origin_and_collinear():
    # Points on the line through the origin and their center, both sides of it;
    # some on their center, some at the origin.
    rng = np.random.default_rng(8)
    n = 4099
    cen = aligned_copy(rng.normal(size=(8, 16)).astype(np.float32))
    y = rng.integers(0, 8, size=n).astype(np.int32)
    X = aligned_copy((rng.uniform(-4, 4, size=n)[:, None] * cen[y]).astype(np.float32))
    on, origin = [2, 10, 4097], [4, 12, 4098]
    X[on] = cen[y[on]]
    X[origin] = 0
    c_norm, x_norm, r2, cos8, sin8 = run_points(cen, X, y)
    # Every point once more through the one-at-a-time path, seven per call.
    cos1, sin1 = np.zeros(n, np.float32), np.zeros(n, np.float32)
    for p in range(0, n, 7):
        q = min(p + 7, n)
        cos_ocx(c_norm, 8, r2[p:q], y[p:q], x_norm[p:q], cos1[p:q], sin1[p:q], q - p)

    assert (r2[on] == 0.0).all()
    rest = np.setdiff1d(np.arange(n), on)
    for cos, sin in ((cos8, sin8), (cos1, sin1)):
        assert np.isnan(cos[on]).all() and np.isnan(sin[on]).all()
        cr, sr = cos[rest], sin[rest]
        np.testing.assert_allclose(np.abs(cr), 1.0, atol=1e-4)
        np.testing.assert_allclose(cos[origin], 1.0, atol=1e-5)
        assert (np.abs(cr) > 1).any() and (sr[np.abs(cr) >= 1] == 0.0).all()
        assert not np.isnan(sr).any() and (sr < 2e-2).all()


def test_points_unaligned_pointers():
    rng = np.random.default_rng(4)
    n, d8 = 21, 16
    cen = aligned_copy(rng.normal(size=(8, d8)).astype(np.float32))
    X = aligned_copy(rng.normal(size=(n, d8)).astype(np.float32))
    y = rng.integers(0, 8, size=n).astype(np.int32)
    c_norm, x_norm, r2, cos, sin = run_points(cen, X, y)

    def shifted(a):  # same values, data 4 bytes past a 32-byte boundary
        buf = aligned_zeros(a.size + 1, a.dtype)
        buf[1:] = a.ravel()
        return buf[1:].reshape(a.shape)

    Xu, cu, yu = shifted(X), shifted(cen), shifted(y)
    r2u, cosu, sinu = shifted(r2 * 0), shifted(cos * 0), shifted(sin * 0)
    r2_rows(Xu, n, d8, cu, yu, r2u)
    cos_ocx(shifted(c_norm), 8, r2u, yu, shifted(x_norm), cosu, sinu, n)
    np.testing.assert_array_equal(r2u, r2)
    np.testing.assert_array_equal(cosu, cos)
    np.testing.assert_array_equal(sinu, sin)

    D = product(cen)
    norms = aligned_zeros(8)
    pc, ps = aligned_zeros((8, 8)), aligned_zeros((8, 8))
    pair_whole(norms, 8, D, 8, pc, ps, 8)
    Du, nu = shifted(product(cen)), shifted(norms * 0)
    pcu, psu = shifted(pc * 0), shifted(ps * 0)
    pair_whole(nu, 8, Du, 8, pcu, psu, 8)
    np.testing.assert_array_equal(Du, D)
    np.testing.assert_array_equal(pcu, pc)
    np.testing.assert_array_equal(psu, ps)


def test_r2_omp_matches_blockwise():
    rng = np.random.default_rng(6)
    n, d8 = 1003, 24
    cen = aligned_copy(rng.normal(size=(16, d8)).astype(np.float32))
    X = aligned_copy(rng.normal(size=(n, d8)).astype(np.float32))
    y = rng.integers(0, 16, size=n).astype(np.int32)
    serial, par = aligned_zeros(n), aligned_zeros(n)
    r2_rows(X, n, d8, cen, y, serial)
    r2_omp(n, d8, X, cen, y, par)
    np.testing.assert_array_equal(par, serial)


def test_fill_rows():
    vec = aligned_copy(np.arange(16, dtype=np.float32))
    out = aligned_copy(np.full((5, 16), -1.0, np.float32))
    fill_rows(out, 5, 16, vec)
    assert (out == vec).all()
    out[:] = -1.0
    fill_rows(out, 0, 16, vec)
    fill_rows(out, 5, 0, vec)
    assert (out == -1.0).all()


# ---- the refresh step -----------------------------------------------------

def make_state(n, d, k, seed, pad_value=np.nan):
    rng = np.random.default_rng(seed)
    d8, k8 = round8(d), round8(k)
    cen = aligned_zeros((k8, d8))
    cen[:k, :d] = rng.normal(size=(k, d)) * 2
    cen[k:, :] = pad_value
    y = rng.integers(0, k, size=n).astype(np.int32)
    X = aligned_zeros((n, d8))
    X[:, :d] = cen[y, :d] + rng.normal(size=(n, d))
    x_norm = aligned_copy((X.astype(np.float64) ** 2).sum(1).astype(np.float32))
    return X, x_norm, cen, y


def run_refresh(X, x_norm, cen, y, garbage=0.0):
    """update_fv on fresh arrays (pre-filled with `garbage`); copies of its outputs."""
    n, d8 = X.shape
    k8 = cen.shape[0]
    arrays = {name: aligned_copy(np.full(shape, garbage, np.float32)) for name, shape in (
        ("D_CC", (k8, k8)), ("COS_OCiCj", (k8, k8)), ("SIN_OCiCj", (k8, k8)),
        ("COS_OCX", n), ("SIN_OCX", n), ("r2", n))}
    fv = FastVar(**{name: a.ctypes.data for name, a in arrays.items()})
    c_norm = aligned_copy(np.full(k8, garbage, np.float32))
    us = update_fv(n, d8, k8, X, x_norm, cen, c_norm, y, ctypes.byref(fv))
    assert us >= 0
    return dict(arrays, c_norm=c_norm)


@pytest.mark.parametrize("k", [5, 260])
def test_update_fv_against_float64(k):
    n, d = 1003, 20  # last point block of 235 points, the last 3 one at a time
    X, x_norm, cen, y = make_state(n, d, k, seed=k)
    out = run_refresh(X, x_norm, cen, y)
    c64 = cen[:k].astype(np.float64)

    cn64 = (c64 ** 2).sum(1)
    np.testing.assert_allclose(out["c_norm"][:k], cn64, rtol=1e-5)
    D64 = ((c64[:, None, :] - c64[None, :, :]) ** 2).sum(-1)
    D = out["D_CC"][:k, :k]
    assert (np.abs(D - D64) <= 1e-5 * (cn64[:, None] + cn64[None, :])).all()
    assert (np.diag(out["D_CC"]) == 0.0).all()

    cn = out["c_norm"][:k]
    cos_ref, sin_ref = ref_pair(cn, D)
    off = ~np.eye(k, dtype=bool)
    tol = cos_tol(cn[:, None] + D, 2 * np.sqrt(cn[:, None].astype(np.float64) * D))
    assert (np.abs(out["COS_OCiCj"][:k, :k] - cos_ref)[off] <= tol[off]).all()
    assert (np.abs(out["SIN_OCiCj"][:k, :k] - sin_ref)[off]
            <= sin_tol(cos_ref, sin_ref, tol)[off]).all()

    r2_64 = ((X.astype(np.float64) - cen[y].astype(np.float64)) ** 2).sum(1)
    np.testing.assert_allclose(out["r2"], r2_64, rtol=1e-5)
    cos_ref, sin_ref = ref_points(out["c_norm"], out["r2"], y, x_norm)
    g = out["c_norm"][y].astype(np.float64)
    tol = cos_tol(g + out["r2"] + x_norm, 2 * np.sqrt(g * out["r2"]))
    assert (np.abs(out["COS_OCX"] - cos_ref) <= tol).all()
    assert (np.abs(out["SIN_OCX"] - sin_ref) <= sin_tol(cos_ref, sin_ref, tol)).all()

    # Pad centers are NaN: their norms, rows and columns, all but D_CC's diagonal.
    k8 = cen.shape[0]
    assert np.isnan(out["c_norm"][k:]).all()
    for name in ("D_CC", "COS_OCiCj", "SIN_OCiCj"):
        m = out[name]
        keep = np.eye(k8, dtype=bool) if name == "D_CC" else np.zeros((k8, k8), bool)
        assert np.isnan(m[k:][~keep[k:]]).all() and np.isnan(m[:, k:][~keep[:, k:]]).all()


def test_update_fv_pad_centers_leave_real_entries_alone():
    n, d, k = 301, 12, 259
    X, x_norm, cen, y = make_state(n, d, k, seed=1, pad_value=0.0)
    zero_pad = run_refresh(X, x_norm, cen, y)
    cen[k:] = np.nan
    nan_pad = run_refresh(X, x_norm, cen, y, garbage=np.nan)
    for name in ("c_norm", "r2", "COS_OCX", "SIN_OCX"):
        np.testing.assert_array_equal(nan_pad[name][:k if name == "c_norm" else n],
                                      zero_pad[name][:k if name == "c_norm" else n])
    for name in ("D_CC", "COS_OCiCj", "SIN_OCiCj"):
        np.testing.assert_array_equal(nan_pad[name][:k, :k], zero_pad[name][:k, :k])


DUMP_CASE = (1003, 20, 260)  # two center blocks, so two threads when allowed


def dump_refresh(path):
    """Run the refresh on a fixed case, twice over different prior contents."""
    X, x_norm, cen, y = make_state(*DUMP_CASE, seed=31)
    a = run_refresh(X, x_norm, cen, y, garbage=0.0)
    b = run_refresh(X, x_norm, cen, y, garbage=np.nan)
    for name in a:
        np.testing.assert_array_equal(a[name], b[name])
    np.savez(path, **a)


def test_update_fv_independent_of_thread_count(tmp_path):
    results = []
    for threads in ("1", "2"):
        path = tmp_path / f"t{threads}.npz"
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        here = os.path.dirname(__file__)
        code = (f"import sys; sys.path[:0] = [{here!r}, {os.path.dirname(here)!r}]; "
                f"import test_refresh; test_refresh.dump_refresh({str(path)!r})")
        subprocess.run([sys.executable, "-c", code], env=env, check=True, timeout=60)
        results.append(np.load(path))
    one, two = results
    assert set(one.files) == {"D_CC", "COS_OCiCj", "SIN_OCiCj", "COS_OCX", "SIN_OCX", "r2",
                              "c_norm"}
    for name in one.files:
        assert one[name].tobytes() == two[name].tobytes(), name
