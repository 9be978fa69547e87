"""compute_y, the label scan of the full assignment, against the sequential
strict scan written out in Python: ties keep the lower index, a NaN never
wins, a NaN first score stays the best, and columns from k on are ignored;
at 8 and at 16 lanes.
"""
import numpy as np
import pytest

from conftest import F32P, I32P, aligned_zeros, bind, c_bool, c_int, round8

compute_y = bind("compute_y", None, F32P, F32P, c_int, c_int, c_int, I32P, c_bool, F32P, c_int,
                 F32P, F32P)


def strict_scan_ref(dist, c_norm, k):
    labels = []
    for row in dist:
        scores = row[:k] + c_norm[:k]  # float32 sums, as the core forms them
        best, label = scores[0], 0
        for j in range(1, k):
            if best > scores[j]:
                best, label = scores[j], j
        labels.append(label)
    return np.array(labels, np.int32)


def scan(dist, c_norm, k, accumulate=False, points=None):
    rows, ld = dist.shape
    d8 = 8 if points is None else points.shape[1]
    labels = np.full(rows, -5, np.int32)
    counts, sums = aligned_zeros(ld), aligned_zeros(ld * d8)
    pts = aligned_zeros((rows, d8)) if points is None else points
    compute_y(dist, c_norm, rows, ld, k, labels, accumulate, counts, d8, pts, sums)
    return labels, counts, sums.reshape(ld, d8)


# Small integer scores make ties common; the specials land anywhere, the first
# column included, and the pad columns past k hold the smallest scores of all.
@pytest.mark.parametrize("k", [1, 2, 7, 8, 9, 15, 16, 17, 31, 48, 49, 63, 64, 100, 256])
def test_scan_matches_the_sequential_strict_scan(k, lanes):
    rng = np.random.default_rng(k)
    rows, ld = 400, round8(k) + 8
    dist = aligned_zeros((rows, ld))
    dist[:] = rng.integers(-6, 6, (rows, ld))
    c_norm = aligned_zeros(ld)
    c_norm[:] = rng.integers(0, 4, ld)
    specials = np.array([np.nan, np.inf, -np.inf, -0.0, 0.0], np.float32)
    hit = rng.random((rows, ld)) < 0.08
    dist[hit] = rng.choice(specials, hit.sum())
    dist[rng.random(rows) < 0.1, 0] = np.nan
    dist[:20, :k] = np.nan
    dist[20:40, :k] = np.inf
    dist[40:60, :k] = rng.choice([np.inf, np.nan], (20, k))
    dist[:, k:] = -100.0
    labels, _, _ = scan(dist, c_norm, k)
    np.testing.assert_array_equal(labels, strict_scan_ref(dist, c_norm, k))
    assert labels.max() < k


def test_scan_accumulates_each_point_into_its_label():
    rng = np.random.default_rng(3)
    rows, k, d8 = 300, 21, 16
    dist = aligned_zeros((rows, round8(k)))
    dist[:] = rng.standard_normal(dist.shape)
    c_norm = aligned_zeros(round8(k))
    points = aligned_zeros((rows, d8))
    points[:] = rng.integers(-4, 5, points.shape)
    labels, counts, sums = scan(dist, c_norm, k, accumulate=True, points=points)
    np.testing.assert_array_equal(labels, dist[:, :k].argmin(1))
    np.testing.assert_array_equal(counts, np.bincount(labels, minlength=round8(k)))
    want = np.zeros_like(sums)
    np.add.at(want, labels, points)
    np.testing.assert_array_equal(sums, want)


# Tied scores eight positions apart share a SIMD lane: the lane must keep its
# first one. Duplicate centers make the tie exact in a whole run too.
@pytest.mark.parametrize("j, k", [(0, 9), (3, 16), (8, 24), (13, 40)])
def test_tie_eight_apart_keeps_the_lower_index(j, k):
    rng = np.random.default_rng(j)
    dist = aligned_zeros((64, round8(k)))
    dist[:] = rng.integers(0, 50, dist.shape)
    dist[:, j] = dist[:, j + 8] = -1.0
    labels, _, _ = scan(dist, aligned_zeros(round8(k)), k)
    assert (labels == j).all()

    from tavrine import viza_

    X = rng.integers(-20, 21, (3000, 5)).astype(np.float32)
    C = X[rng.choice(len(X), k, replace=False)].copy()
    C[j + 8] = C[j]
    y = np.empty(len(X), np.int32)
    viza_.zozid_py(X, C, y, np.zeros(150, np.int64), np.zeros(4, np.int64), 0)
    assert (y == j).any() and not (y == j + 8).any()
