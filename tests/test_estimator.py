"""tavrine.KMeans against scikit-learn's KMeans, and its own contract."""
import re

import numpy as np
import pytest

from tavrine import KMeans, kmeans_plusplus

sklearn = pytest.importorskip("sklearn")
from sklearn.cluster import KMeans as SKMeans  # noqa: E402
from sklearn.exceptions import ConvergenceWarning  # noqa: E402


def blobs(n=3000, d=8, k=12, spread=1.5, seed=0):
    rng = np.random.default_rng(seed)
    centers = rng.uniform(-10, 10, (k, d))
    return (centers[rng.integers(0, k, n)] + spread * rng.standard_normal((n, d))).astype(
        np.float32)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_same_clustering_as_sklearn_from_the_same_centers(dtype):
    X = blobs().astype(dtype)
    init = X[:12].copy()
    ours = KMeans(12, init=init, n_init=1, tol=0, max_iter=300).fit(X)
    ref = SKMeans(12, init=init, n_init=1, tol=0, max_iter=300, algorithm="lloyd").fit(X)
    differ = ours.labels_ != ref.labels_
    assert differ.mean() < 0.002
    assert abs(ours.inertia_ - ref.inertia_) <= 1e-4 * ref.inertia_
    assert ours.cluster_centers_.dtype == dtype
    np.testing.assert_allclose(ours.cluster_centers_, ref.cluster_centers_, rtol=1e-3, atol=1e-3)
    assert abs(ours.n_iter_ - ref.n_iter_) <= 1
    dist = ours.transform(X)
    assert dist.dtype == dtype
    np.testing.assert_allclose(dist, ref.transform(X), rtol=1e-3, atol=1e-3)
    np.testing.assert_array_equal(ours.predict(X), ours.labels_)
    assert ours.score(X) == pytest.approx(-ours.inertia_, rel=1e-4)


def test_float64_near_ties_give_sklearns_float64_clustering():
    # Values 1e4 from the origin on a 1e-3 grid, moved by 1e-11: float32
    # cannot tell which of two centers is nearer, float64 can.
    rng = np.random.default_rng(0)
    n, d, k = 60_000, 4, 40
    X = 1e4 + 1e-3 * rng.integers(0, 6, (n, d)) + 1e-11 * rng.standard_normal((n, d))
    init = X[rng.choice(n, k, replace=False)] + 5e-4 * rng.integers(0, 2, (k, d))
    ours = KMeans(k, init=init, n_init=1).fit(X)
    ref = SKMeans(k, init=init, n_init=1, algorithm="lloyd").fit(X)
    np.testing.assert_array_equal(ours.labels_, ref.labels_)
    assert ours.cluster_centers_.dtype == np.float64 and ours.n_iter_ == ref.n_iter_
    assert ours.inertia_ <= ref.inertia_ * (1 + 1e-12)
    np.testing.assert_allclose(ours.cluster_centers_ - 1e4, ref.cluster_centers_ - 1e4,
                               rtol=1e-9, atol=1e-15)
    np.testing.assert_array_equal(ours.predict(X), ours.labels_)
    # transform, in float64, from the centred data (scikit-learn's own is
    # not: at 1e4 its float64 distances lose a third of their digits); the
    # tolerance is a few ulps of 1e4, float32 would miss it by far.
    V, C = X[:300] - X.mean(0), ours.cluster_centers_ - X.mean(0)
    want = np.sqrt(((V[:, None] - C[None]) ** 2).sum(-1))
    got = ours.transform(X[:300])
    assert got.dtype == np.float64
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-11)


def test_tol_is_relative_to_the_variance_and_max_iter_caps():
    X = blobs(spread=4.0, seed=3)
    init = X[:12].copy()
    loose = KMeans(12, init=init, tol=1e-1).fit(X)
    tight = KMeans(12, init=init, tol=0).fit(X)
    ref = SKMeans(12, init=init, n_init=1, tol=1e-1, algorithm="lloyd").fit(X)
    assert loose.n_iter_ < tight.n_iter_
    assert abs(loose.n_iter_ - ref.n_iter_) <= 1
    # Scaling the data scales the variance and so the tolerance: same run.
    scaled = KMeans(12, init=init * 10, tol=1e-1).fit(X * 10)
    assert scaled.n_iter_ == loose.n_iter_
    one = KMeans(12, init=init, max_iter=1).fit(X)
    ref1 = SKMeans(12, init=init, n_init=1, max_iter=1, algorithm="lloyd").fit(X)
    assert one.n_iter_ == 1
    assert (one.labels_ != ref1.labels_).mean() < 0.002


@pytest.mark.parametrize("shift", [1e3, 1e5])
def test_data_far_from_the_origin_cluster_as_at_the_origin(shift):
    # Uncentred, float32 |x|^2 - 2x.c + |c|^2 loses the spread to cancellation.
    X = blobs(n=20000, d=16, k=10, spread=1.0, seed=11).astype(np.float64)
    near = KMeans(10, random_state=0).fit(X)
    far_X = X + shift
    far = KMeans(10, random_state=0).fit(far_X)
    np.testing.assert_array_equal(far.labels_, near.labels_)
    np.testing.assert_allclose(far.cluster_centers_ - shift, near.cluster_centers_, atol=1e-4)
    assert far.inertia_ == pytest.approx(near.inertia_, rel=1e-5)
    np.testing.assert_array_equal(far.predict(far_X), far.labels_)
    assert far.score(far_X) == pytest.approx(-far.inertia_, rel=1e-5)
    np.testing.assert_allclose(far.transform(far_X[:100]), near.transform(X[:100]), atol=1e-3)
    np.testing.assert_array_equal(far_X, X + shift)  # the caller's data are left alone


@pytest.mark.parametrize("dtype, scale", [(np.float64, 1e19), (np.float64, 1e25),
                                          (np.float64, 1e-25), (np.float64, 1e-300),
                                          (np.float32, 1e19), (np.float32, 1e25),
                                          (np.float32, 1e-25)])
def test_iris_at_any_finite_scale_clusters_as_iris(dtype, scale):
    # Unscaled, float32 squared distances overflow or underflow at these
    # scales and every point lands in one cluster.
    from sklearn.datasets import load_iris

    iris = load_iris().data
    ref = KMeans(3, random_state=0).fit(iris)
    X = (iris * scale).astype(dtype)
    X64 = X.astype(np.float64)
    km = KMeans(3, random_state=0).fit(X)
    np.testing.assert_array_equal(km.labels_, ref.labels_)
    assert km.cluster_centers_.dtype == dtype
    centers = km.cluster_centers_.astype(np.float64)
    np.testing.assert_allclose(centers / scale, ref.cluster_centers_, rtol=1e-6)
    means = np.array([X64[km.labels_ == c].mean(0) for c in range(3)])
    np.testing.assert_allclose(centers, means, rtol=1e-6)
    # scale ** 2 underflows at 1e-300, as float64 distances there do.
    assert km.inertia_ == pytest.approx(ref.inertia_ * scale ** 2, rel=1e-6)
    assert km.inertia_ == pytest.approx(((X64 - means[km.labels_]) ** 2).sum(), rel=1e-6)
    # New data at the same scale, and explicit centers given at that scale.
    Y = (iris[::3] * 1.05 * scale).astype(dtype)
    np.testing.assert_array_equal(km.predict(Y), ref.predict(iris[::3] * 1.05))
    np.testing.assert_array_equal(km.predict(X), km.labels_)
    dist = km.transform(Y)
    assert dist.dtype == dtype
    want = np.sqrt(((iris[::3, None] * 1.05 - centers[None] / scale) ** 2).sum(-1))
    np.testing.assert_allclose(dist.astype(np.float64) / scale, want, rtol=1e-5, atol=1e-3)
    np.testing.assert_array_equal(KMeans(3, random_state=0).fit_transform(X), km.transform(X))
    assert km.score(Y) == pytest.approx(ref.score(iris[::3] * 1.05) * scale ** 2, rel=1e-5)
    assert km.score(X) == pytest.approx(-km.inertia_, rel=1e-5)
    given = KMeans(3, init=(ref.cluster_centers_ * scale).astype(dtype)).fit(X)
    np.testing.assert_array_equal(given.labels_, ref.labels_)
    seeds = kmeans_plusplus(X, 3, random_state=0)[1]
    np.testing.assert_array_equal(seeds, kmeans_plusplus(iris, 3, random_state=0)[1])


def test_data_whose_spread_overflows_float64_are_refused():
    from sklearn.datasets import load_iris

    iris = load_iris().data
    top = np.finfo(np.float64).max
    apart = iris.copy()
    apart[:5, 0] = [-top, top, -top, top, top]  # finite sums, but -top - mean overflows
    for X in (iris * 1e307, apart):  # the column sums overflow; the differences do
        with pytest.raises(ValueError, match="cannot be clustered: .* overflow float64"):
            KMeans(3).fit(X)
        with pytest.raises(ValueError, match="cannot be clustered: .* overflow float64"):
            kmeans_plusplus(X, 3)
    # Data about as wide as float64 sums allow, still clustered as iris is.
    ref = KMeans(3, random_state=0).fit(iris)
    wide = KMeans(3, random_state=0).fit(iris * 1e305)
    np.testing.assert_array_equal(wide.labels_, ref.labels_)
    np.testing.assert_allclose(wide.cluster_centers_ / 1e305, ref.cluster_centers_, rtol=1e-6)


def _two_blobs():
    rng = np.random.default_rng(0)
    return np.concatenate([rng.normal(0, 1, (500, 2)), rng.normal(10, 1, (500, 2))])


def _far_starts():
    # Half the centers start among the points, half far away: the far ones
    # lose every point in the first assignment and must be refilled.
    rng = np.random.default_rng(4)
    X = blobs(n=6000, d=6, k=15, spread=1.0, seed=4).astype(np.float64)
    return X, np.concatenate([X[:20], 300 + rng.normal(0, 1, (20, 6))])


@pytest.mark.parametrize("case", ["iris", "blobs", "far"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_emptied_clusters_are_refilled_as_sklearn_does(case, dtype):
    if case == "iris":
        from sklearn.datasets import load_iris
        X, init = load_iris().data, np.array([[5.8, 3, 4.3, 1.3], [100] * 4, [200] * 4])
    elif case == "blobs":
        X, init = _two_blobs(), np.array([[0.0, 0], [10, 10], [5, 5]])
    else:
        X, init = _far_starts()
    X, k = X.astype(dtype), len(init)
    ours = KMeans(k, init=init, n_init=1).fit(X)
    ref = SKMeans(k, init=init, n_init=1, algorithm="lloyd").fit(X.astype(np.float64))
    # Several centers refilled at once may take the far points in another
    # order: the same clusters under other numbers.
    np.testing.assert_array_equal(np.sort(np.bincount(ours.labels_, minlength=k)),
                                  np.sort(np.bincount(ref.labels_, minlength=k)))
    assert ours.inertia_ == pytest.approx(ref.inertia_, rel=1e-6)
    assert ours.n_iter_ == ref.n_iter_


def test_more_clusters_than_distinct_points_moves_nothing():
    X = np.repeat(np.arange(4.0)[:, None] * [1.0, 2.0, 3.0], 10, axis=0)
    init = X[[0, 10, 20, 30, 1, 2]]
    with pytest.warns(ConvergenceWarning, match=r"\(4\) found smaller than n_clusters \(6\): "
                      r"X has only 4 distinct points"):
        km = KMeans(6, init=init, n_init=1).fit(X)
    np.testing.assert_array_equal(km.labels_, np.repeat(np.arange(4), 10))
    np.testing.assert_array_equal(km.cluster_centers_, init)
    assert km.inertia_ == 0.0


NUMBER = re.compile(r"[-+]?\d+(?:\.\d*)?(?:[eE][-+]?\d+)?")


def test_verbose_prints_what_sklearn_prints(capsys):
    from sklearn.datasets import load_iris
    X, init = load_iris().data, np.array([[5.8, 3, 4.3, 1.3], [100] * 4, [200] * 4])
    for tol in (0.0, 0.05):
        KMeans(3, init=init, n_init=1, tol=tol, verbose=1).fit(X)
        ours = capsys.readouterr().out.splitlines()
        SKMeans(3, init=init, n_init=1, tol=tol, verbose=1, algorithm="lloyd").fit(X)
        ref = capsys.readouterr().out.splitlines()
        assert len(ours) == len(ref)
        for a, b in zip(ours, ref):
            assert NUMBER.sub("#", a) == NUMBER.sub("#", b)
            for x, y in zip(NUMBER.findall(a), NUMBER.findall(b)):
                assert float(x) == pytest.approx(float(y), rel=1e-4)


def test_progress_reports_every_iteration():
    X = blobs(seed=5)
    seen = []
    km = KMeans(12, random_state=0).fit(X, progress=lambda *a: seen.append(a))
    assert [s[0] for s in seen] == list(range(1, km.n_iter_ + 1))
    np.testing.assert_array_equal([s[1] for s in seen], km.products_per_iter_)
    # Point-center distances only: the first iteration computes all of them.
    assert seen[0][1] == 3000 * 12
    assert km.points_per_iter_[0] == 3000 and len(km.points_per_iter_) == km.n_iter_
    # The shift is the centers' summed squared moves in the data's own units,
    # whatever scale the core ran at.
    init = X[:12].astype(np.float64)
    for scale in (1.0, 1e20):
        seen = []
        one = KMeans(12, init=init * scale, max_iter=1).fit(
            X * scale, progress=lambda *a: seen.append(a))
        moved = ((one.cluster_centers_.astype(np.float64) - init * scale) ** 2).sum()
        assert seen[0][2] == pytest.approx(moved, rel=1e-4)


def test_seeding_is_deterministic_and_beats_nothing_worse_than_sklearn():
    X = blobs(n=5000, d=16, k=20, seed=7)
    a = KMeans(20, random_state=42).fit(X)
    b = KMeans(20, random_state=42).fit(X)
    np.testing.assert_array_equal(a.labels_, b.labels_)
    c, idx = kmeans_plusplus(X, 20, random_state=1)
    np.testing.assert_array_equal(c, X[idx])
    assert len(set(idx.tolist())) == 20
    ref = SKMeans(20, random_state=0, n_init=3).fit(X)
    ours = KMeans(20, random_state=0, n_init=3).fit(X)
    assert ours.inertia_ <= 1.02 * ref.inertia_
    rnd = KMeans(20, init="random", random_state=0).fit(X)
    assert np.isfinite(rnd.inertia_)


# k-means|| draws rows a round at a time from the core's distances, then
# seeds on the drawn rows weighted by their points. On blobs of very unequal
# sizes, drawing or weighting the rows uniformly ends 2x worse with one
# center per blob and about 10% worse with a third as many.
@pytest.mark.parametrize("form", ["float32", "float64", "in place", "sparse", "weighted"])
def test_kmeans_parallel_seeding_draws_and_weighs_by_distance(monkeypatch, form):
    import scipy.sparse as sp

    from tavrine import _kmeans

    rng = np.random.default_rng(1)
    sizes = rng.integers(5, 400, 30)
    means = rng.uniform(-10, 10, (30, 16))
    X = np.concatenate([m + 0.3 * rng.standard_normal((s, 16)) for m, s in zip(means, sizes)])
    if form != "sparse":
        X += 300  # far from the origin: the rows drawn must be centred
    X = X.astype(np.float32)
    w = rng.uniform(0.2, 2, len(X)) if form == "weighted" else None
    if form == "in place":
        monkeypatch.setattr(_kmeans, "_IN_PLACE_BYTES", 0)
    data = {"float64": X.astype(np.float64), "sparse": sp.csr_matrix(X)}.get(form, X)
    for k, seeds, slack in ((30, 1, 1.001), (10, 3, 1.03)):
        ref = SKMeans(k, random_state=0, n_init=5).fit(X, sample_weight=w).inertia_
        fits = [KMeans(k, init="k-means||", random_state=s).fit(data, sample_weight=w)
                for s in range(seeds)]
        assert fits[0]._in_place == (form == "in place")
        assert fits[0].cluster_centers_.dtype == (np.float64 if form == "float64" else
                                                  np.float32)
        assert np.mean([f.inertia_ for f in fits]) <= slack * ref, k


def test_input_forms_and_errors():
    X = blobs(n=200, k=3)
    lst = KMeans(3, random_state=0).fit(X.tolist())
    arr = KMeans(3, random_state=0).fit(X.astype(np.float64))
    np.testing.assert_array_equal(lst.labels_, arr.labels_)
    pd = pytest.importorskip("pandas")
    df = pd.DataFrame(X, columns=[f"f{i}" for i in range(X.shape[1])])
    km = KMeans(3, random_state=0).fit(df)
    assert list(km.feature_names_in_) == list(df.columns)
    with pytest.raises(ValueError, match="n_samples=200 should be >= n_clusters=201"):
        KMeans(201).fit(X)
    bad = X.copy()
    bad[3, 1] = np.nan
    with pytest.raises(ValueError, match="NaN"):
        KMeans(3).fit(bad)
    with pytest.raises(ValueError, match="n_clusters"):
        KMeans(0).fit(X)
    # pandas' missing value is NaN to the validation, not a TypeError.
    with pytest.raises(ValueError, match="NaN"):
        KMeans(3).fit(df.astype("Float64").mask(df > 5))
    # A callable init gets the validated array, not the DataFrame.
    seen = []

    def first_rows(A, k, random_state):
        seen.append(type(A))
        return A[:k]

    KMeans(3, init=first_rows, n_init=1).fit(df)
    assert seen == [np.ndarray]


def test_kmeans_plusplus_refuses_in_scikit_learns_words():
    from sklearn.cluster import kmeans_plusplus as sk_kmeans_plusplus

    X = blobs(n=50, d=3, k=3).astype(np.float64)
    nan, inf = X.copy(), X.copy()
    nan[2, 1], inf[4, 0] = np.nan, np.inf
    for A, k, w in ((nan, 3, None), (inf, 3, None), (X, 51, None), (X, 3, np.zeros(50)),
                    (X, 3, np.ones(49)), (X[:, 0], 3, None)):
        texts = []
        for seed in (kmeans_plusplus, sk_kmeans_plusplus):
            with pytest.raises(ValueError) as info:
                seed(A, k, sample_weight=w, random_state=0)
            texts.append(str(info.value))
        assert texts[0] == texts[1]


# The core's centring reads every value and finds NaN and infinity: the
# validation before it must neither copy a plain float array nor read it.
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_validation_neither_copies_nor_scans_a_plain_array(monkeypatch, dtype):
    import tracemalloc
    from sklearn.utils import validation

    scanned = []
    real = validation._assert_all_finite

    def spy(X, *args, **kwargs):
        scanned.append(np.size(X))
        return real(X, *args, **kwargs)

    monkeypatch.setattr(validation, "_assert_all_finite", spy)
    X = np.random.default_rng(0).standard_normal((200_000, 16)).astype(dtype)
    centred32 = X.size * 4  # the core's own copy
    km = KMeans(4, n_init=1, max_iter=2, random_state=0)
    for run in (lambda: km.fit(X), lambda: km.predict(X), lambda: km.score(X)):
        tracemalloc.start()
        try:
            run()
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        # Labels and distances take 12 bytes a row; a copy of X would take X.nbytes.
        assert peak < centred32 + 0.4 * X.nbytes
    assert scanned == []
    # The same spy sees the scan that names a NaN once the centring found one.
    X[5, 3] = np.nan
    with pytest.raises(ValueError, match="Input X contains NaN"):
        km.predict(X)
    assert scanned == [X.size]


def test_check_estimator():
    from sklearn.utils.estimator_checks import check_estimator

    # Marked as for scikit-learn's own KMeans: the seeding draws differ
    # between weighted and repeated rows, so the local optima do too.
    why = "sample_weight is not equivalent to removing/repeating samples."
    xfail = {"check_sample_weight_equivalence_on_dense_data": why,
             "check_sample_weight_equivalence_on_sparse_data": why}
    check_estimator(KMeans(n_clusters=3, random_state=0), expected_failed_checks=xfail)


def test_in_a_pipeline_with_pandas_output():
    pd = pytest.importorskip("pandas")
    from sklearn.utils._param_validation import InvalidParameterError
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    X = blobs(n=500, d=4, k=3)
    df = pd.DataFrame(X, columns=list("abcd"))
    for algorithm in ("lloyd", "elkan"):
        pipe = make_pipeline(StandardScaler(), KMeans(3, algorithm=algorithm, random_state=0))
        out = pipe.set_output(transform="pandas").fit_transform(df)
        assert list(out.columns) == ["kmeans0", "kmeans1", "kmeans2"]
        km = pipe[-1]
        ref = np.sqrt(((StandardScaler().fit_transform(X)[:, None].astype(np.float64)
                        - km.cluster_centers_[None]) ** 2).sum(-1))
        np.testing.assert_allclose(out.to_numpy(), ref, rtol=1e-4, atol=1e-4)
    with pytest.raises(InvalidParameterError, match="'algorithm' parameter"):
        KMeans(3, algorithm="fast").fit(X)
    with pytest.raises(InvalidParameterError, match="'n_threads' parameter"):
        KMeans(3, n_threads=0).fit(X)


def test_weighted_seeding_and_score():
    X = blobs(n=2000, d=5, k=6, seed=2).astype(np.float64)
    rng = np.random.default_rng(0)
    w = np.zeros(len(X))
    heavy = np.array([3, 500, 1200, 1999])
    w[heavy] = [1.0, 0.5, 40.0, 2.0]
    for seed in range(5):
        centers, idx = kmeans_plusplus(X, 4, sample_weight=w, random_state=seed)
        assert sorted(idx.tolist()) == heavy.tolist()
        np.testing.assert_array_equal(centers, X[idx])
    # Rows of weight 0 are never drawn while others remain.
    w = rng.uniform(0.5, 2.0, len(X)) * (np.arange(len(X)) % 3 > 0)
    idx = np.concatenate([kmeans_plusplus(X, 6, sample_weight=w, random_state=s)[1]
                          for s in range(20)])
    assert (idx % 3 > 0).all()
    km = KMeans(6, random_state=0).fit(X)
    Y = X[::7] + rng.normal(0, 0.5, X[::7].shape)
    wy = rng.uniform(0, 3, len(Y))
    d2 = ((Y[:, None] - km.cluster_centers_[None]) ** 2).sum(-1).min(1)
    assert km.score(Y, sample_weight=wy) == pytest.approx(-(wy @ d2), rel=1e-5)
    with pytest.raises(ValueError, match="Negative values"):
        kmeans_plusplus(X, 4, sample_weight=-np.ones(len(X)))


# predict labels by the fit's own scores: on the training data it gives
# labels_ exactly, ties and near-ties included (integer data makes them common).
@pytest.mark.parametrize("shift", [0.0, 1e4])
def test_predict_on_the_training_data_is_labels_(shift):
    rng = np.random.default_rng(4)
    X = rng.integers(-3, 4, (30000, 6)).astype(np.float64) + shift
    for init in ("k-means++", "random"):
        km = KMeans(37, init=init, n_init=1, random_state=1).fit(X)
        np.testing.assert_array_equal(km.predict(X), km.labels_)
        assert km.score(X) == pytest.approx(-km.inertia_, rel=1e-5)


# Large float32 data are read in place, centred as they are read; the
# results are those of the centred copy, bit for bit, whatever the start.
@pytest.mark.parametrize("init", ["k-means++", "random", "weighted-random", "array"])
def test_reading_in_place_gives_the_copy_results(monkeypatch, init):
    from tavrine import _kmeans

    rng = np.random.default_rng(4)
    X = (rng.standard_normal((3000, 12)) * rng.uniform(0.5, 4, 12) + 700).astype(np.float32)
    w = rng.uniform(0, 2, len(X)) if init == "weighted-random" else None
    start = X[:9] + 0.25 if init == "array" else init.replace("weighted-", "")
    fits = []
    for limit in (1 << 62, 0):  # the copy, then in place
        monkeypatch.setattr(_kmeans, "_IN_PLACE_BYTES", limit)
        km = KMeans(9, init=start, n_init=2 if init != "array" else 1, random_state=1)
        fits.append((km.fit_transform(X, sample_weight=w), km))
    (dist_copy, copy), (dist_read, read) = fits
    assert not copy._in_place and read._in_place
    np.testing.assert_array_equal(read.labels_, copy.labels_)
    np.testing.assert_array_equal(read.cluster_centers_, copy.cluster_centers_)
    np.testing.assert_array_equal(dist_read, dist_copy)
    assert read.inertia_ == copy.inertia_ and read.n_iter_ == copy.n_iter_
    np.testing.assert_array_equal(read.predict(X), read.labels_)
