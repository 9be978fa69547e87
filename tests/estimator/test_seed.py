"""Seeding: greedy k-means++ and uniform random rows, against NumPy float64."""
import ctypes
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from conftest import F32P, I32P, bind, c_int

ERR_ARGS = -2
c_u64 = ctypes.c_uint64


def make_kpp():
    fn = bind("tavrine_kmeanspp", c_int, c_int, c_int, c_int, F32P, ctypes.c_void_p, c_int, c_u64,
              F32P, I32P, c_int)

    def run(X, k, trials=0, seed=0, weights=None, n_threads=0):
        """(return code, centers, indices); a guard row/entry past each output must survive."""
        n, d = X.shape
        centers = np.full((k + 1, d), -7.0, np.float32)
        indices = np.full(k + 1, -7, np.int32)
        if weights is not None:
            weights = np.ascontiguousarray(weights, np.float32)
        rc = fn(n, d, k, np.ascontiguousarray(X, np.float32),
                None if weights is None else weights.ctypes.data, trials, seed, centers, indices,
                n_threads)
        assert (centers[k] == -7.0).all() and indices[k] == -7, "wrote past the outputs"
        return rc, centers[:k], indices[:k]
    return run


def make_rand_init():
    fn = bind("tavrine_random_init", c_int, c_int, c_int, c_int, F32P, c_u64, F32P, I32P)

    def run(X, k, seed=0):
        n, d = X.shape
        centers = np.full((k + 1, d), -7.0, np.float32)
        indices = np.full(k + 1, -7, np.int32)
        rc = fn(n, d, k, np.ascontiguousarray(X, np.float32), seed, centers, indices)
        assert (centers[k] == -7.0).all() and indices[k] == -7, "wrote past the outputs"
        return rc, centers[:k], indices[:k]
    return run


@pytest.fixture(scope="module")
def kpp():
    return make_kpp()


@pytest.fixture(scope="module")
def rand_init():
    return make_rand_init()


def sq_dists(X, C):
    """float64 squared distances, rows of X against rows of C."""
    X, C = np.asarray(X, np.float64), np.asarray(C, np.float64)
    return ((X[:, None, :] - C[None, :, :]) ** 2).sum(axis=2)


def blobs(k, d, per_blob, rng, spread=0.5, spacing=40.0):
    """k tight blobs whose means sit on distinct grid cells `spacing` apart."""
    cells = rng.choice(6 ** d, size=k, replace=False)
    means = np.stack([(cells // 6 ** j) % 6 for j in range(d)], axis=1) * spacing
    labels = np.repeat(np.arange(k), per_blob)
    X = means[labels] + rng.normal(scale=spread, size=(k * per_blob, d))
    return X.astype(np.float32), labels


# n around the tile (8) and block (256) sizes, d = 1 .. 17, one and several trial panels.
@pytest.mark.parametrize("n,d,k,trials", [
    (1, 3, 1, 0), (7, 1, 7, 0), (9, 2, 4, 1), (37, 5, 9, 0), (255, 8, 16, 3),
    (257, 9, 31, 9), (600, 16, 40, 17), (513, 17, 3, 0), (300, 13, 1, 0),
])
def test_kmeanspp_contract(kpp, n, d, k, trials):
    X = np.random.default_rng(n * 31 + d).standard_normal((n, d)).astype(np.float32)
    rc, centers, idx = kpp(X, k, trials, seed=5)
    assert rc == 0
    assert ((idx >= 0) & (idx < n)).all() and len(set(idx.tolist())) == k
    np.testing.assert_array_equal(centers, X[idx])
    rc2, centers2, idx2 = kpp(X, k, trials, seed=5)
    np.testing.assert_array_equal(idx2, idx)
    if k > 2:
        assert any(not np.array_equal(kpp(X, k, trials, seed=s)[2], idx) for s in (6, 7, 8))


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("n,d", [(5, 1), (600, 3)])
def test_kmeanspp_draws_proportional_to_squared_distance(kpp, n, d, weighted):
    """One trial, two centers: the first is drawn with probability w / sum w,
    the second with probability w D^2 / sum w D^2 (w = 1 unweighted)."""
    if n == 5:
        X = np.array([[0.0], [1.0], [3.0], [6.0], [6.0]], np.float32)
    else:
        # Three far rows in different blocks; the rest coincide at the origin.
        X = np.zeros((n, d), np.float32)
        X[10], X[300], X[590] = [3, 0, 0], [0, 5, 0], [1, 1, 1]
    # Weights from 0 (never drawn) to 5, zero on one far row.
    w = np.arange(n) % 6 * 1.0 if weighted else np.ones(n)
    D2 = sq_dists(X, X) * w[None]
    first = w / w.sum()
    with np.errstate(invalid="ignore"):  # a zero-weight first row: never drawn
        expected = np.nan_to_num(D2 / D2.sum(axis=1, keepdims=True)).T @ first
    # Coinciding rows are one outcome: which of them is taken does not matter.
    _, group = np.unique(X, axis=0, return_inverse=True)
    group = group.ravel()
    n_seeds = 3000
    second = [kpp(X, 2, 1, seed=s, weights=w if weighted else None)[2][1]
              for s in range(n_seeds)]
    counts = np.bincount(group[second], minlength=group.max() + 1)
    e = np.bincount(group, weights=expected) * n_seeds
    assert (counts[e == 0] == 0).all()
    assert (np.abs(counts - e) <= 5 * np.sqrt(e) + 1).all(), (counts, e)


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("n,d", [(37, 1), (45, 5), (40, 8), (700, 17)])
def test_kmeanspp_greedy_step_keeps_lowest_potential(kpp, n, d, weighted):
    """With 3000 trials every row of probability >= 1% is a candidate (a miss has
    odds below 1e-13), so each chosen center must do at least as well as all of
    them, measured in float64; it must also have been drawable."""
    rng = np.random.default_rng(n + d)
    # A few far rows keep some probabilities above 1% even for large n.
    scale = np.where(rng.random(n) < 0.03, 25.0, 1.0) * rng.uniform(0.5, 1.5, n)
    X = (rng.standard_normal((n, d)) * scale[:, None]).astype(np.float32)
    w = rng.uniform(0, 3, n).astype(np.float32) if weighted else np.ones(n, np.float32)
    k = 6
    rc, _, idx = kpp(X, k, 3000, seed=11, weights=w if weighted else None)
    assert rc == 0
    D2 = sq_dists(X, X)
    closest = D2[idx[0]]
    for c in range(1, k):
        # Weighted potential with row i added.
        pot_if = np.minimum(closest[None, :], D2) @ w.astype(np.float64)
        sure = w * closest / (w @ closest) >= 0.01
        assert sure.any() and w[idx[c]] * closest[idx[c]] > 0
        assert pot_if[idx[c]] <= pot_if[sure].min() * (1 + 1e-5), (c, pot_if[idx[c]])
        closest = np.minimum(closest, D2[idx[c]])


@pytest.mark.parametrize("weighted", [False, True])
def test_kmeanspp_same_centers_at_both_widths(kpp, weighted, lanes):
    """Candidate panels fill 16-lane vectors in pairs, an odd panel stays at 8:
    every width must choose the 8-lane sweep's rows. n leaves edge tiles of
    every size; 9 and 24 trials make two and three panels."""
    rng = np.random.default_rng(21)
    for n, d, k, trials in ((11, 5, 4, 9), (269, 17, 40, 24), (1000, 64, 60, 9), (523, 1, 30, 24)):
        X = (rng.standard_normal((n, d)) * rng.uniform(0.2, 3.0, (n, 1))).astype(np.float32)
        w = rng.uniform(0, 2, n).astype(np.float32) if weighted else None
        runs = []
        for width in (8, lanes):
            assert bind("tavrine_simd_width", c_int, c_int)(width) == width
            runs.append(kpp(X, k, trials, seed=n, weights=w)[2])
        np.testing.assert_array_equal(runs[1], runs[0])


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("pad,scale", [(124, 1.0), (60, 1.0), (60, 2.0 ** -45), (124, 2.0 ** 40)])
def test_kmeanspp_skipping_points_changes_no_choice(kpp, weighted, pad, scale):
    """Columns of zeros change no distance, but wide rows let the sweep skip
    the points no candidate can come closer to (by the centers' gaps, or
    where the processor has int8 tiles by bounds from int8 copies, from 64
    columns and 16384 k d): the padded data must choose the same rows. Tight
    blobs make most points skippable once each blob has a center; 9 trials
    make two panels; the scales bring distances near the floor below which
    points are always read, and near float's top."""
    rng = np.random.default_rng(5)
    X, _ = blobs(40, 4, 70, rng, spread=2.0, spacing=12.0)
    X = np.ascontiguousarray(X[rng.permutation(len(X))] * np.float32(scale))
    padded = np.hstack([X, np.zeros((len(X), pad), np.float32)])
    w = rng.uniform(0, 2, len(X)).astype(np.float32) if weighted else None
    for k, trials in ((60, 0), (120, 9), (260, 9)):
        plain = kpp(X, k, trials, seed=k, weights=w)[2]
        np.testing.assert_array_equal(kpp(padded, k, trials, seed=k, weights=w)[2], plain)


@pytest.mark.parametrize("weighted", [False, True])
def test_kmeanspp_int8_tiles_change_no_choice(kpp, weighted):
    """Where the processor has AMX-INT8 the sweep tests points on int8 copies
    over every 64-column step of the row: the rows chosen must be those of
    the untested sweep, on rows of varied scale and columns past 64."""
    switch = bind("tavrine_tile_products", c_int, c_int)
    if switch(1) != 1:
        pytest.skip("no AMX tiles here")
    rng = np.random.default_rng(8)
    try:
        for n, d, k in ((3000, 200, 100), (2500, 64, 300), (1500, 131, 140)):
            means = rng.standard_normal((40, d)) * 4
            X = means[rng.integers(0, 40, n)] + rng.standard_normal((n, d))
            X = (X * rng.uniform(0.5, 2.0, (n, 1))).astype(np.float32)
            w = rng.uniform(0, 2, n).astype(np.float32) if weighted else None
            runs = []
            for on in (1, 0):
                switch(on)
                runs.append(kpp(X, k, 9, seed=d, weights=w)[2])
            np.testing.assert_array_equal(runs[0], runs[1])
    finally:
        switch(1)


def test_kmeanspp_one_seed_per_blob(kpp):
    rng = np.random.default_rng(3)
    for k in (5, 12, 30, 50):
        X, labels = blobs(k, 4, 30, rng)
        hits = sum(len(set(labels[kpp(X, k, 0, seed=s)[2]].tolist())) == k for s in range(20))
        assert hits >= 19, (k, hits)


def test_kmeanspp_coinciding_rows(kpp):
    rng = np.random.default_rng(8)
    base = rng.standard_normal((6, 3)).astype(np.float32) * 10
    X = np.repeat(base, 3, axis=0)[rng.permutation(18)]
    # A row coinciding with a center is never drawn: six centers, six distinct rows.
    for s in range(10):
        rc, centers, idx = kpp(X, 6, 0, seed=s)
        assert rc == 0 and len({tuple(r) for r in centers.tolist()}) == 6
    # Once the potential is 0, the lowest rows not yet chosen follow.
    rc, centers, idx = kpp(X, 18, 0, seed=1)
    assert rc == 0 and sorted(idx.tolist()) == list(range(18))
    np.testing.assert_array_equal(centers, X[idx])
    same = np.ones((20, 4), np.float32)
    rc, _, idx = kpp(same, 5, 2, seed=4)
    first = idx[0]
    assert rc == 0 and idx[1:].tolist() == [i for i in range(6) if i != first][:4]


def test_kmeanspp_nan_and_bad_sizes(kpp):
    X = np.random.default_rng(2).standard_normal((50, 4)).astype(np.float32)
    X[[3, 20]] = np.nan
    rc, centers, idx = kpp(X, 10, 0, seed=2)
    assert rc == 0 and ((idx >= 0) & (idx < 50)).all()
    for Xbad, k in ((X, 0), (X, 51), (X[:, :0], 3)):
        rc, centers, idx = kpp(np.ascontiguousarray(Xbad), k, 0)
        assert rc == ERR_ARGS and (idx == -7).all() and (centers == -7).all()


def test_kmeanspp_weights_pick_only_weighted_rows_while_any_is_left(kpp):
    rng = np.random.default_rng(4)
    X = rng.standard_normal((700, 6)).astype(np.float32)
    heavy = np.array([5, 260, 261, 511, 699])
    w = np.zeros(700, np.float32)
    w[heavy] = [1.0, 1e-3, 2.0, 7.5, 1e6]
    for seed in range(20):
        rc, centers, idx = kpp(X, 5, 0, seed=seed, weights=w)
        assert rc == 0 and sorted(idx.tolist()) == heavy.tolist()
        np.testing.assert_array_equal(centers, X[idx])
    # Past the weighted rows, the lowest rows not chosen.
    rc, _, idx = kpp(X, 8, 0, seed=3, weights=w)
    assert rc == 0 and sorted(idx[:5].tolist()) == heavy.tolist() and idx[5:].tolist() == [0, 1, 2]
    # A row with 99.99% of the weight is the first center nearly always.
    w_one = np.full(700, 1e-4 / 699, np.float32)
    w_one[42] = 1.0
    firsts = [kpp(X, 3, 0, seed=s, weights=w_one)[2][0] for s in range(200)]
    assert firsts.count(42) >= 195
    for bad in (-w_one, np.where(np.arange(700) == 9, np.nan, w_one), np.zeros(700),
                np.where(np.arange(700) == 9, np.inf, w_one)):
        rc, centers, idx = kpp(X, 3, 0, weights=bad)
        assert rc == ERR_ARGS and (idx == -7).all() and (centers == -7).all()


def test_random_init(rand_init):
    n, d = 23, 5
    X = np.random.default_rng(1).standard_normal((n, d)).astype(np.float32)
    for k in (1, 7, n):
        rc, centers, idx = rand_init(X, k, seed=k)
        assert rc == 0 and len(set(idx.tolist())) == k and ((idx >= 0) & (idx < n)).all()
        np.testing.assert_array_equal(centers, X[idx])
        np.testing.assert_array_equal(rand_init(X, k, seed=k)[2], idx)
    # Every row equally likely in every position drawn.
    n_seeds = 4000
    draws = np.array([rand_init(X, 3, seed=s)[2] for s in range(n_seeds)])
    e = n_seeds / n
    for pos in range(3):
        counts = np.bincount(draws[:, pos], minlength=n)
        assert (np.abs(counts - e) <= 5 * np.sqrt(e)).all(), counts
    assert rand_init(X, n + 1)[0] == ERR_ARGS


CHILD = r"""
import json, os, sys
import numpy as np
sys.path[:0] = [sys.argv[1], os.path.dirname(sys.argv[1])]  # this test, and conftest above it
import test_seed as t
kpp, ri = t.make_kpp(), t.make_rand_init()
X = np.random.default_rng(0).standard_normal((3000, 13)).astype(np.float32)
out = [kpp(X, 40, trials, seed=9)[2].tolist() for trials in (0, 11)]
w = np.random.default_rng(1).uniform(0, 2, 3000) * (np.arange(3000) % 5 > 0)
out.append(kpp(X, 40, 0, seed=9, weights=w)[2].tolist())
out.append(ri(X, 40, seed=9)[2].tolist())
print(json.dumps(out))
"""


def test_same_result_on_any_thread_count():
    here = os.path.dirname(os.path.abspath(__file__))
    results = []
    for threads in ("1", "2", "3"):
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        proc = subprocess.run([sys.executable, "-c", CHILD, here], env=env, check=True,
                              capture_output=True, text=True, timeout=120)
        results.append(json.loads(proc.stdout))
    assert results[0] == results[1] == results[2]
    assert len(set(results[0][0])) == 40 and results[0][0] != results[0][1]
