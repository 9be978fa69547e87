"""The estimator on sparse (CSR) rows, against scikit-learn's sparse Lloyd,
float64 NumPy distances and the densified rows."""
import numpy as np
import pytest
import scipy.sparse as sp
from sklearn.cluster import KMeans as SKMeans
from sklearn.cluster import kmeans_plusplus as sk_kmeans_plusplus
from sklearn.feature_extraction.text import TfidfTransformer

from tavrine import KMeans, _fit, kmeans_plusplus

U = 2.0 ** -24


def tfidf_like(n, d, topics, density, seed, dtype=np.float32, common=100):
    """TF-IDF rows of unit length: each row draws words from its topic's own
    vocabulary and from `common` words every topic shares (favouring the
    first words of both), so that every row meets most centers."""
    rng = np.random.default_rng(seed)
    per_row = max(1, int(d * density))
    topic = rng.integers(topics, size=n)
    vocab = np.array([rng.choice(d, size=per_row * 8, replace=False) for _ in range(topics)])
    words = np.minimum(rng.integers(per_row * 8, size=(n, per_row)),
                       rng.integers(per_row * 8, size=(n, per_row)))
    shared = np.minimum(rng.integers(common, size=(n, per_row // 2)),
                        rng.integers(common, size=(n, per_row // 2)))
    cols = np.hstack([vocab[topic[:, None], words], shared])
    rows = np.repeat(np.arange(n), cols.shape[1])
    counts = sp.csr_matrix((np.ones(rows.size), (rows, cols.ravel())), shape=(n, d))
    return TfidfTransformer().fit_transform(counts).astype(dtype)


def float64_distances(X, C):
    """float64 |x - c|^2 for sparse X and dense C, and the float32 rounding
    scale of each row's scores (the sparse margin, widened for the float32
    rounding of float64 values)."""
    X64, C64 = X.astype(np.float64), C.astype(np.float64)
    x_sq = np.asarray(X64.multiply(X64).sum(1)).ravel()
    d2 = np.maximum(x_sq[:, None] - 2 * np.asarray(X64 @ C64.T) + (C64 ** 2).sum(1), 0)
    chain = np.maximum((np.diff(X.indptr) + 7) // 8 * 8, 8)
    span = np.sqrt(x_sq) + np.sqrt((C64 ** 2).sum(1).max())
    return d2, (2 * chain + 40) * U * span ** 2


def assert_float64_labels(X, C, labels):
    d2, scale = float64_distances(X, C)
    rows = np.arange(X.shape[0])
    clear = d2[rows, labels] - d2.min(1) > scale
    assert not clear.any()


@pytest.fixture
def checked():
    _fit.drift_check(1)
    yield
    assert _fit.drift_check(0) == 0


@pytest.mark.parametrize("n, d, k, dtype", [(4000, 2000, 20, np.float32),
                                             (4000, 2000, 20, np.float64),
                                             (40000, 20000, 50, np.float32)])
def test_tfidf_rows_give_sklearn_lloyd_on_any_thread_count(n, d, k, dtype):
    X = tfidf_like(n, d, int(k * 1.2), 0.002 if d > 2000 else 0.01, 0, dtype)
    init = X[np.random.default_rng(1).choice(n, k, replace=False)].toarray()
    ref = SKMeans(k, init=init, n_init=1, tol=0, algorithm="lloyd").fit(X)
    runs = [KMeans(k, init=init, tol=0, n_threads=t).fit(X) for t in (1, 2)]
    ours = runs[0]
    np.testing.assert_array_equal(ours.labels_, ref.labels_)
    assert ours.n_iter_ == ref.n_iter_
    assert ours.inertia_ == pytest.approx(ref.inertia_, rel=1e-5)
    np.testing.assert_allclose(ours.cluster_centers_, ref.cluster_centers_, atol=1e-6)
    assert ours.cluster_centers_.dtype == dtype
    np.testing.assert_array_equal(runs[1].labels_, ours.labels_)
    assert runs[1].cluster_centers_.tobytes() == ours.cluster_centers_.tobytes()
    assert runs[1].inertia_ == ours.inertia_
    assert ours.products_per_iter_[-1] < n * k / 10  # the bounds prune sparse rows too
    # Float64 centers label every row as float64 distances do, but for float32 ties.
    C = ours.cluster_centers_.astype(np.float64)
    assert_float64_labels(X, C, ours.labels_)
    d2, _ = float64_distances(X, C)
    assert ours.inertia_ == pytest.approx(d2[np.arange(n), ours.labels_].sum(), rel=1e-6)
    distances = ours.transform(X[:200])
    assert distances.dtype == dtype
    np.testing.assert_allclose(distances, np.sqrt(d2[:200]), atol=1e-3)
    if n < 10000:  # weights, some 0, count in the sums and the inertia as scikit-learn counts them
        w = np.random.default_rng(2).integers(0, 4, n) * 0.75
        ref = SKMeans(k, init=init, n_init=1, tol=0, algorithm="lloyd").fit(X, sample_weight=w)
        ours = KMeans(k, init=init, tol=0).fit(X, sample_weight=w)
        np.testing.assert_array_equal(ours.labels_, ref.labels_)
        assert ours.inertia_ == pytest.approx(ref.inertia_, rel=1e-5)


def test_awkward_csr_forms_give_the_canonical_result_and_stay_untouched():
    rng = np.random.default_rng(3)
    X = tfidf_like(1500, 400, 10, 0.03, 3).tolil()
    X[100:140] = 0                     # empty rows
    X[:, 7] = 0                        # a zero column
    X[200:260] = X[300:360]            # duplicate rows
    X = X.tocsr()
    X.eliminate_zeros()
    init = X[rng.choice(1500, 12, replace=False)].toarray()
    ref = SKMeans(12, init=init, n_init=1, tol=0, algorithm="lloyd").fit(X)
    base = KMeans(12, init=init, tol=0).fit(X)
    np.testing.assert_array_equal(base.labels_, ref.labels_)
    assert base.inertia_ == pytest.approx(ref.inertia_, rel=1e-5)

    explicit = X.copy()                # stored zeros beside the values
    explicit.data[::5] = 0.0
    explicit_ref = KMeans(12, init=init, tol=0).fit(sp.csr_matrix(explicit.toarray()))
    unsorted = X.copy()                # each row's entries reversed
    for r in range(X.shape[0]):
        a, b = X.indptr[r], X.indptr[r + 1]
        unsorted.indices[a:b] = X.indices[a:b][::-1]
        unsorted.data[a:b] = X.data[a:b][::-1]
    unsorted.has_sorted_indices = False
    duplicated = sp.csr_matrix(        # every value stored as two halves
        (np.repeat(X.data / 2, 2), np.repeat(X.indices, 2), 2 * X.indptr), shape=X.shape)
    wide = X.copy()
    wide.indices, wide.indptr = X.indices.astype(np.int64), X.indptr.astype(np.int64)
    cases = {"unsorted": unsorted, "duplicated": duplicated, "int64": wide,
             "csc": X.tocsc(), "coo": X.tocoo(), "explicit": explicit}
    for name, M in cases.items():
        arrays = (lambda M: (M.data, M.row, M.col) if sp.isspmatrix_coo(M) or
                  isinstance(M, sp.coo_array) else (M.data, M.indices, M.indptr))
        before = [a.copy() for a in arrays(M)]
        fit = KMeans(12, init=init, tol=0).fit(M)
        want = explicit_ref if name == "explicit" else base
        np.testing.assert_array_equal(fit.labels_, want.labels_, err_msg=name)
        assert fit.cluster_centers_.tobytes() == want.cluster_centers_.tobytes(), name
        for a, b in zip(before, arrays(M)):
            np.testing.assert_array_equal(a, b, err_msg=name)


def test_the_check_finds_no_fault_on_sparse_rows_and_sees_ignored_drift(checked):
    rng = np.random.default_rng(4)
    # Integer counts: many exact ties; a far center emptied and refilled; weights.
    X = sp.random(3000, 300, density=0.03, format="lil", random_state=4,
                  data_rvs=lambda m: rng.integers(1, 4, m)).astype(np.float32)
    X[::50] = 0
    X = X.tocsr()
    X.eliminate_zeros()
    init = X[:40].toarray()
    init[-1] = 50.0
    w = rng.integers(0, 4, 3000).astype(np.float64)
    KMeans(40, init=init, tol=0).fit(X, sample_weight=w)
    # Far from the origin (sparse rows are not centred): norms of 10^6 against
    # gaps of a few units, where only the margin keeps a bound honest.
    far = sp.hstack([sp.csr_matrix(np.full((3000, 1), 1000.0, np.float32)), X], format="csr")
    fit = KMeans(20, init=far[:20].toarray(), tol=0).fit(far)
    assert_float64_labels(far, fit.cluster_centers_, fit.labels_)
    T = tfidf_like(5000, 3000, 40, 0.005, 5)
    KMeans(40, init=T[:40].toarray(), tol=0, n_threads=2).fit(T)
    assert _fit.drift_check(2) == 0
    try:
        KMeans(40, init=init, tol=0, max_iter=30).fit(X)
    finally:
        assert _fit.drift_check(1) > 0


def test_sparse_scores_are_the_densified_rows_scores():
    # Integer values: norms exact both ways, so labels and distances agree bit for bit.
    X = sp.random(800, 37, density=0.2, format="csr", random_state=6,
                  data_rvs=lambda m: np.random.default_rng(6).integers(-3, 4, m)).astype(np.float32)
    C = np.random.default_rng(7).integers(-2, 3, (23, 37)).astype(np.float32)
    args = (X.indptr.astype(np.int64), X.indices.astype(np.int32), X.data, 37)
    labels, _, all_dist = _fit.assign_sparse(*args, C, 1, all_distances=True)
    dense_labels, _, dense_all = _fit.assign(X.toarray(), C, 1, all_distances=True)
    np.testing.assert_array_equal(labels, dense_labels)
    np.testing.assert_array_equal(all_dist, dense_all)


def test_using_a_sparse_fit():
    X = tfidf_like(3000, 1000, 12, 0.02, 8)
    new = tfidf_like(500, 1000, 12, 0.02, 9)
    w = np.random.default_rng(8).random(3000)
    km = KMeans(10, random_state=0).fit(X, sample_weight=w)
    np.testing.assert_array_equal(km.predict(X), km.labels_)
    assert_float64_labels(new, km.cluster_centers_, km.predict(new))
    d2, _ = float64_distances(new, km.cluster_centers_)
    np.testing.assert_allclose(km.transform(new), np.sqrt(d2), atol=1e-3)
    wn = np.random.default_rng(9).random(500)
    assert km.score(new, sample_weight=wn) == pytest.approx(-(d2.min(1) * wn).sum(), rel=1e-5)
    assert km.inertia_ == pytest.approx(
        (float64_distances(X, km.cluster_centers_)[0][np.arange(3000), km.labels_] * w).sum(),
        rel=1e-5)
    dense = KMeans(10, random_state=0).fit(X.toarray())  # a dense fit densifies sparse data
    np.testing.assert_array_equal(dense.predict(new), dense.predict(new.toarray()))


def test_sparse_seeding_draws_as_sklearn_and_skips_weightless_rows():
    X = tfidf_like(4000, 1500, 30, 0.01, 10)
    x_sq = np.asarray(X.multiply(X).sum(1)).ravel()

    def potential(C):
        return np.maximum(x_sq[:, None] - 2 * (X @ C.T) + (C ** 2).sum(1), 0).min(1).sum()

    ours = [potential(kmeans_plusplus(X, 25, random_state=s)[0]) for s in range(6)]
    ref = [potential(sk_kmeans_plusplus(X, 25, random_state=s)[0]) for s in range(6)]
    assert np.mean(ours) < 1.05 * np.mean(ref)
    w = np.zeros(4000)
    w[::3] = 1.0
    for init in ("k-means++", "random"):
        first = KMeans(25, init=init, max_iter=1, random_state=1)
        np.testing.assert_array_equal(first.fit(X).cluster_centers_,
                                      KMeans(**first.get_params()).fit(X).cluster_centers_)
    centers, rows = kmeans_plusplus(X, 25, sample_weight=w, random_state=2)
    assert np.all(rows % 3 == 0)
    np.testing.assert_array_equal(centers, X[rows].toarray())
