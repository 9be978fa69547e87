"""Row blocks (the unit of a distributed fit) against a float64 NumPy reference."""
import numpy as np
import pytest

from tavrine import _fit


def nearest64(X, C):
    X64, C64 = X.astype(np.float64), C.astype(np.float64)
    d2 = (X64 ** 2).sum(1)[:, None] - 2.0 * X64 @ C64.T + (C64 ** 2).sum(1)[None]
    if C.shape[0] == 1:
        return np.zeros(len(X), np.int64), np.full(len(X), np.inf)
    order = np.sort(d2, axis=1)
    return d2.argmin(1), order[:, 1] - order[:, 0]


def members64(X, labels, k):
    sums = np.zeros((k, X.shape[1]))
    np.add.at(sums, labels, X.astype(np.float64))
    return sums, np.bincount(labels, minlength=k).astype(np.float64)


@pytest.mark.parametrize("n, d, k", [(9000, 40, 1000), (3001, 8, 5), (1, 3, 1)])
def test_full_then_pruned_assignment_matches_lloyd(n, d, k):
    # k = 1000 gives the bounds ten groups; the check mode verifies every
    # assignment against a full scan and every bound against float64.
    _fit.drift_check(1)
    try:
        run_block_iterations(n, d, k)
    finally:
        assert _fit.drift_check(0) == 0


def run_block_iterations(n, d, k):
    rng = np.random.default_rng(n)
    X = rng.standard_normal((n, d)).astype(np.float32)
    C = X[rng.choice(n, k, replace=False)] + np.float32(0.05)
    block = _fit.Block(n)
    assert (block.labels() == -1).all()
    digests = []
    for it in range(3):
        full = it == 0
        sums, counts, digest, products = block.assign(X, C, full, 2)
        labels = block.labels()
        ref, gap = nearest64(X, C)
        clear = gap > 1e-4 * (1 + np.abs(X).max() ** 2)  # float32 ties aside
        np.testing.assert_array_equal(labels[clear], ref[clear])
        s64, c64 = members64(X, labels, k)
        np.testing.assert_array_equal(counts, c64)
        np.testing.assert_allclose(sums, s64, rtol=1e-6, atol=1e-4)
        if full:  # point-center products only, real centers only
            assert products == n * k
        else:  # with one group, a block most of whose points survive is scored whole
            assert 0 <= products < n * k or (k < 1000 and products == n * k)
        inertia = block.inertia(X, C, 1)
        ref_inertia = ((X.astype(np.float64) - C[labels]) ** 2).sum()
        assert inertia == pytest.approx(ref_inertia, rel=1e-5)
        digests.append(digest)
        C = np.where(counts[:, None] > 0, sums / np.maximum(counts, 1)[:, None], C).astype(
            np.float32)
    # The digest follows the labels: equal labels, equal digest.
    again = _fit.Block(n)
    assert again.assign(X, C, True, 1)[2] == block.assign(X, C, False, 1)[2]


def test_sums_do_not_depend_on_the_thread_count():
    rng = np.random.default_rng(1)
    X = rng.standard_normal((20000, 24)).astype(np.float32)
    C = X[:64].copy()
    runs = [_fit.Block(20000).assign(X, C, True, t) for t in (1, 2, 3)]
    for sums, counts, digest, _ in runs[1:]:
        np.testing.assert_array_equal(sums, runs[0][0])
        np.testing.assert_array_equal(counts, runs[0][1])
        assert digest == runs[0][2]


def test_shapes_are_checked_before_the_core_runs():
    block = _fit.Block(10)
    X = np.zeros((10, 4), np.float32)
    with pytest.raises(ValueError, match=r"X has shape \(9, 4\), expected \(10, 4\)"):
        block.assign(X[:9], np.zeros((3, 4), np.float32), True, 1)
    with pytest.raises(ValueError, match="centers have 5 features, X has 4"):
        block.assign(X, np.zeros((3, 5), np.float32), True, 1)
    with pytest.raises(ValueError, match="no labels yet"):
        block.inertia(X, np.zeros((3, 4), np.float32), 1)
    block.assign(X, np.zeros((3, 4), np.float32), True, 1)
    with pytest.raises(ValueError, match="expected 10 rows and 3 centers"):
        block.inertia(X, np.zeros((2, 4), np.float32), 1)
    with pytest.raises(ValueError, match="sample_weight has 9 entries"):
        block.assign(X, np.zeros((3, 4), np.float32), False, 1, np.ones(9, np.float32))
    with pytest.raises(ValueError, match="at least one row"):
        _fit.Block(0)


def test_a_new_k_or_d_starts_the_block_afresh():
    # Pruned calls after the shape changed: labels and sums must come from the
    # new centers alone, with no bound or sum carried over from the old ones.
    rng = np.random.default_rng(3)
    X = rng.standard_normal((3000, 10)).astype(np.float32)
    block = _fit.Block(3000)
    for k, d in [(300, 10), (7, 10), (40, 10), (40, 6), (2, 6)]:
        Xd = np.ascontiguousarray(X[:, :d])
        C = Xd[rng.choice(3000, k, replace=False)] + np.float32(0.01)
        sums, counts, _, products = block.assign(Xd, C, k == 300, 2)
        labels = block.labels()
        ref, gap = nearest64(Xd, C)
        clear = gap > 1e-4
        assert clear.mean() > 0.99
        np.testing.assert_array_equal(labels[clear], ref[clear])
        assert products == 3000 * k
        s64, c64 = members64(Xd, labels, k)
        np.testing.assert_array_equal(counts, c64)
        np.testing.assert_allclose(sums, s64, rtol=1e-6, atol=1e-4)
        assert block.inertia(Xd, C, 1) == pytest.approx(
            ((Xd.astype(np.float64) - C[labels]) ** 2).sum(), rel=1e-6)


def test_blocks_of_different_shapes_take_turns():
    # A thread's blocks hand their working arrays on to one another: a small
    # block's arrays must not serve a larger one. Check mode verifies every
    # pruned assignment against a full scan.
    rng = np.random.default_rng(4)
    shapes = [(6000, 72, 600), (500, 5, 3), (4000, 24, 40)]
    runs = []
    for n, d, k in shapes:
        X = rng.standard_normal((n, d)).astype(np.float32)
        C = X[rng.choice(n, k, replace=False)] + np.float32(0.05)
        runs.append((_fit.Block(n), X, C))
    _fit.drift_check(1)
    try:
        for it in range(3):
            for block, X, C in runs[::-1] if it == 1 else runs:
                sums, counts, _, _ = block.assign(X, C, it == 0, 2)
                labels = block.labels()
                ref, gap = nearest64(X, C)
                clear = gap > 1e-4 * (1 + np.abs(X).max() ** 2)
                np.testing.assert_array_equal(labels[clear], ref[clear])
                np.testing.assert_allclose(sums, members64(X, labels, len(C))[0], rtol=1e-6,
                                           atol=1e-4)
    finally:
        assert _fit.drift_check(0) == 0


def test_farthest_rows_from_the_last_assignment():
    # Duplicated rows make ties, a few rows sit on a center, zero weights
    # bar their rows: the pick must follow distance, then row order.
    rng = np.random.default_rng(5)
    X = rng.standard_normal((2500, 7)).astype(np.float32)
    X[1000:1400] = X[:400]
    C = X[[3, 50, 1200]].copy()
    w = rng.uniform(0.0, 2.0, 2500).astype(np.float32)
    w[rng.choice(2500, 300, replace=False)] = 0.0
    block = _fit.Block(2500)
    with pytest.raises(ValueError, match="no labels yet"):
        block.farthest(X, 3)
    block.assign(X, C, True, 2, w)
    labels = block.labels()
    gap = ((X.astype(np.float64) - C[labels].astype(np.float64)) ** 2).sum(1)
    for weights in (None, w):
        ok = (gap > 0) & (True if weights is None else weights > 0)
        rows = np.flatnonzero(ok)
        ref = rows[np.lexsort((rows, -gap[rows]))]
        for count in (0, 1, 6, 2500):
            dist, index = block.farthest(X, count, weights)
            np.testing.assert_array_equal(index, ref[:count])
            np.testing.assert_allclose(dist, gap[ref[:count]], rtol=1e-12)
    with pytest.raises(ValueError, match="features of its last assignment"):
        block.farthest(np.ascontiguousarray(X[:, :5]), 3)
