"""tavrine.dask.KMeans on a two-worker LocalCluster, against the single-machine
estimator on the same data and initial centers."""
import os
import signal

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
pytest.importorskip("distributed")
from distributed import Client, LocalCluster  # noqa: E402

import tavrine  # noqa: E402
from tavrine.dask import KMeans  # noqa: E402
from sklearn.cluster import KMeans as SKMeans  # noqa: E402


def blobs(n, d, k, spread, seed):
    """Points around k uniform centers, and one point of each blob (the first)
    as initial centers: a run whose trajectory no float32 tie can bend."""
    rng = np.random.default_rng(seed)
    centers = rng.uniform(-10, 10, (k, d))
    truth = rng.integers(0, k, n)
    truth[:k] = np.arange(k)
    X = (centers[truth] + spread * rng.standard_normal((n, d))).astype(np.float32)
    return X, X[:k].copy()


def cluster(**kw):
    return LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                        dashboard_address=":0", **kw)


@pytest.fixture(scope="module")
def client():
    with cluster() as c, Client(c) as cl:
        yield cl


def agree_with(single, dist, X):
    """The two fits describe the same clustering: same iterations, labels equal
    but for float32 ties, centers and inertia to float32 rounding."""
    labels = dist.labels_.compute()
    assert dist.n_iter_ == single.n_iter_
    assert (labels != single.labels_).sum() <= 2
    np.testing.assert_allclose(dist.cluster_centers_, single.cluster_centers_, rtol=1e-5,
                               atol=1e-5)
    assert dist.inertia_ == pytest.approx(single.inertia_, rel=1e-5)
    ref = ((X.astype(np.float64) - dist.cluster_centers_[labels]) ** 2).sum()
    assert dist.inertia_ == pytest.approx(ref, rel=1e-5)


@pytest.mark.parametrize("chunk, dtype", [(7000, np.float32), (25000, np.float64)])
def test_same_clustering_as_the_single_machine_fit(client, chunk, dtype):
    X, init = blobs(60000, 12, 20, 2.0, 0)
    single = tavrine.KMeans(20, init=init, n_init=1, tol=1e-6).fit(X)
    Xd = da.from_array(X.astype(dtype), chunks=(chunk, 6))  # column chunks are merged
    dist = KMeans(20, init=init, tol=1e-6).fit(Xd)
    agree_with(single, dist, X)
    assert dist.cluster_centers_.dtype == dtype
    assert dist.labels_.chunks[0] == Xd.chunks[0]
    # After the full first iteration the blocks kept their bounds and pruned.
    assert dist.products_per_iter_[0] == 60000 * 20
    assert dist.products_per_iter_[1:].min() < 0.5 * dist.products_per_iter_[0]
    assert dist.rebuilt_blocks_ == 0
    np.testing.assert_array_equal(dist.predict(Xd).compute(), dist.labels_.compute())
    np.testing.assert_array_equal(dist.predict(X[:500]), single.predict(X[:500]))


def test_float64_near_ties_are_decided_in_float64(client):
    # float32 cannot tell these points' two nearest centers apart (see the
    # single-machine test); the blocks decide in double as tavrine.KMeans does.
    rng = np.random.default_rng(0)
    n, d, k = 30_000, 4, 30
    X = 1e4 + 1e-3 * rng.integers(0, 6, (n, d)) + 1e-11 * rng.standard_normal((n, d))
    init = X[rng.choice(n, k, replace=False)] + 5e-4 * rng.integers(0, 2, (k, d))
    ref = SKMeans(k, init=init, n_init=1, algorithm="lloyd").fit(X)
    dist = KMeans(k, init=init).fit(da.from_array(X, chunks=(7000, d)))
    np.testing.assert_array_equal(dist.labels_.compute(), ref.labels_)
    assert dist.cluster_centers_.dtype == np.float64 and dist.n_iter_ == ref.n_iter_
    np.testing.assert_allclose(dist.cluster_centers_ - 1e4, ref.cluster_centers_ - 1e4,
                               rtol=1e-9, atol=1e-15)
    np.testing.assert_array_equal(dist.predict(X), ref.labels_)


def test_data_far_from_the_origin_are_centred(client):
    X, init = blobs(20000, 8, 10, 1.0, 4)
    single = tavrine.KMeans(10, init=init, n_init=1).fit(X)
    far = X.astype(np.float64) + 1e5
    dist = KMeans(10, init=init + 1e5).fit(da.from_array(far, chunks=(6000, 8)))
    np.testing.assert_array_equal(dist.labels_.compute(), single.labels_)
    np.testing.assert_allclose(dist.cluster_centers_ - 1e5, single.cluster_centers_, atol=1e-4)
    np.testing.assert_array_equal(dist.predict(far[:500]), single.labels_[:500])


def test_the_iteration_cap_and_the_tolerance_stop_as_on_one_machine(client):
    X, init = blobs(30000, 5, 16, 2.0, 1)
    Xd = da.from_array(X, chunks=(4096, 5))
    for kw in ({"max_iter": 1}, {"max_iter": 4}, {"tol": 1e-2}):
        single = tavrine.KMeans(16, init=init, n_init=1, **kw).fit(X)
        agree_with(single, KMeans(16, init=init, **kw).fit(Xd), X)


def test_seeding_is_deterministic_and_lands_near_the_optimum(client):
    X = blobs(40000, 8, 16, 0.5, 2)[0]
    Xd = da.from_array(X, chunks=(5000, 8))
    for init in ("k-means||", "random"):
        a = KMeans(16, init=init, random_state=7, max_iter=1).fit(Xd)
        b = KMeans(16, init=init, random_state=7, max_iter=1).fit(Xd)
        np.testing.assert_array_equal(a.cluster_centers_, b.cluster_centers_)
        c = KMeans(16, init=init, random_state=8, max_iter=1).fit(Xd)
        assert not np.array_equal(a.cluster_centers_, c.cluster_centers_)
    # Separated blobs: k-means|| puts one center in each, so one iteration
    # already reaches the within-blob spread of the data.
    best = tavrine.KMeans(16, n_init=5, random_state=0).fit(X).inertia_
    seeded = KMeans(16, random_state=7, max_iter=1).fit(Xd)
    assert seeded.inertia_ <= 1.02 * best


def test_seeding_weighs_the_drawn_rows_by_their_points(client):
    # On blobs of very unequal sizes, weighting the drawn rows wrongly ends
    # about 10% worse with a third as many centers as blobs.
    rng = np.random.default_rng(1)
    sizes = rng.integers(5, 400, 30)
    means = rng.uniform(-10, 10, (30, 16))
    X = np.concatenate([m + 0.3 * rng.standard_normal((s, 16)) for m, s in zip(means, sizes)])
    X = X[rng.permutation(len(X))].astype(np.float32)
    Xd = da.from_array(X, chunks=(1000, 16))
    for k, seeds, slack in ((30, 1, 1.001), (10, 3, 1.03)):
        ref = SKMeans(k, random_state=0, n_init=5).fit(X).inertia_
        fits = [KMeans(k, random_state=s).fit(Xd) for s in range(seeds)]
        assert np.mean([f.inertia_ for f in fits]) <= slack * ref, k


def test_bad_input_is_refused_before_anything_runs(client):
    Xd = da.from_array(blobs(100, 3, 2, 1.0, 0)[0], chunks=(50, 3))
    with pytest.raises(ValueError, match="n_samples=100 should be >= n_clusters=101"):
        KMeans(101).fit(Xd)
    with pytest.raises(ValueError, match="'init' parameter"):
        KMeans(2, init="k-means++").fit(Xd)
    with pytest.raises(ValueError, match="shape of the initial centers"):
        KMeans(2, init=np.zeros((3, 3))).fit(Xd)
    sparse = pytest.importorskip("scipy.sparse").csr_matrix(blobs(100, 3, 2, 1.0, 0)[0])
    with pytest.raises(TypeError, match="dense"):
        KMeans(2).fit(sparse)
    with pytest.raises(TypeError, match="dense blocks only"):
        KMeans(2).fit(da.from_array(sparse, chunks=(50, 3)))
    bad = blobs(100, 3, 2, 1.0, 0)[0]
    bad[7, 1] = np.nan
    with pytest.raises(ValueError, match="contains NaN"):
        KMeans(2).fit(da.from_array(bad, chunks=(50, 3)))
    # Column sums that overflow float64, and differences from the mean that do.
    top = np.finfo(np.float64).max
    apart = np.ones((10, 2))
    apart[:5, 0] = [-top, top, -top, top, top]
    for huge in (np.full((10, 2), 1e308), apart):
        with pytest.raises(ValueError, match="cannot be clustered: .* overflow float64"):
            KMeans(2).fit(da.from_array(huge, chunks=(5, 2)))
    with pytest.raises(ValueError, match="Expected 2D array, got 1D array instead"):
        KMeans(2).fit(da.zeros(10, chunks=5))
    with pytest.raises(ValueError, match="expecting 3 features"):
        KMeans(2, random_state=0).fit(Xd).predict(np.zeros((4, 5)))


def _refusal(fit):
    with pytest.raises(ValueError) as info:
        fit()
    return str(info.value)


def test_each_fault_is_refused_in_the_single_machine_words(client):
    # Both estimators say the same for the same fault, and scikit-learn's
    # KMeans says it too where it checks that fault.
    from sklearn.cluster import KMeans as SKMeans
    X = blobs(100, 3, 2, 1.0, 0)[0].astype(np.float64)
    nan, inf = X.copy(), X.copy()
    nan[7, 1], inf[9, 0] = np.nan, -np.inf
    lazy = da.from_array(X, chunks=(40, 3))
    one = tavrine.KMeans(2, n_init=1, random_state=0).fit(X)
    dist = KMeans(2, random_state=0).fit(lazy)
    sk = SKMeans(2, n_init=1, random_state=0).fit(X)
    ones, zeros = np.ones(len(X)), np.zeros(len(X))
    faults = {
        "NaN": lambda E, A: E(2).fit(A(nan)),
        "infinity": lambda E, A: E(2).fit(A(inf)),
        "too few samples": lambda E, A: E(101).fit(A(X)),
        "init: wrong count": lambda E, A: E(2, init=X[:3]).fit(A(X)),
        "init: wrong width": lambda E, A: E(2, init=X[:2, :2]).fit(A(X)),
        "all-zero weights": lambda E, A: E(2).fit(A(X), sample_weight=zeros),
        "negative weights": lambda E, A: E(2).fit(A(X), sample_weight=-ones),
        "short weights": lambda E, A: E(2).fit(A(X), sample_weight=ones[1:]),
        "empty": lambda E, A: E(2).fit(A(X[:0])),
    }
    new_data = {
        "wrong width": np.zeros((4, 5)),
        "NaN": nan,
        "NaN and wrong width": np.hstack([nan, X]),
    }
    for fault, fit in faults.items():
        want = _refusal(lambda: fit(tavrine.KMeans, lambda A: A))
        assert _refusal(lambda: fit(KMeans, lambda A: A)) == want, fault
        if fault != "empty":  # dask cannot hold an empty array in chunks of 40
            assert _refusal(lambda: fit(KMeans, lambda A: da.from_array(A, chunks=(40, -1)))
                            ) == want, fault
        if fault != "negative weights":  # scikit-learn's KMeans takes them
            assert _refusal(lambda: fit(SKMeans, lambda A: A)) == want, fault
    for fault, Y in new_data.items():
        want = _refusal(lambda: one.predict(Y))
        assert _refusal(lambda: dist.predict(Y)) == want, fault
        # A Dask array's width is refused before any of its values is read.
        if fault != "NaN and wrong width":
            assert _refusal(lambda: dist.predict(da.from_array(Y, chunks=(40, -1))).compute()
                            ) == want, fault
        assert _refusal(lambda: sk.predict(Y)) == want, fault
    # Faults scikit-learn does not check: weights the core's float32 loses.
    for weights in (np.full(len(X), 1e-60), np.full(len(X), 1e60)):
        want = _refusal(lambda: tavrine.KMeans(2).fit(X, sample_weight=weights))
        assert _refusal(lambda: KMeans(2).fit(lazy, sample_weight=weights)) == want


def test_a_worker_killed_mid_fit_costs_a_rebuild_not_the_result():
    X, init = blobs(80000, 10, 24, 2.5, 3)
    with cluster() as c, Client(c) as cl:
        Xd = da.from_array(X, chunks=(10000, 10))
        calm = KMeans(24, init=init, tol=0).fit(Xd)
        assert calm.n_iter_ >= 4

        def kill_at_two(iteration, products, shift):
            if iteration == 2:
                nanny = next(iter(c.workers.values()))
                os.kill(nanny.process.process.pid, signal.SIGKILL)

        hit = KMeans(24, init=init, tol=0).fit(Xd, progress=kill_at_two)
        assert hit.rebuilt_blocks_ >= 1
        assert hit.n_iter_ == calm.n_iter_
        np.testing.assert_array_equal(hit.cluster_centers_, calm.cluster_centers_)
        np.testing.assert_array_equal(hit.labels_.compute(), calm.labels_.compute())
        assert hit.inertia_ == calm.inertia_
        cl.close()


def test_data_larger_than_one_worker_memory_limit():
    n, d, k = 2_400_000, 64, 8
    with cluster(memory_limit="600MB") as c, Client(c):
        rng = da.random.default_rng(5)
        labels = rng.integers(0, k, n, chunks=100_000)
        # Blobs 20 apart along the diagonal, unit noise: 614 MB of float32.
        step = 20.0 / np.sqrt(d)
        X = (rng.standard_normal((n, d), chunks=(100_000, d), dtype=np.float32)
             + step * labels[:, None].astype(np.float32))
        assert X.nbytes > 600e6
        init = step * (np.arange(k)[:, None] + np.full((k, d), 0.3))
        dist = KMeans(k, init=init, max_iter=5).fit(X)
        np.testing.assert_allclose(dist.cluster_centers_.mean(1) / step, np.arange(k), atol=0.01)
        np.testing.assert_array_equal(dist.labels_.compute(), labels.compute())


# Weights chunked unlike X are rechunked; zero weights leave their rows out of
# the centers and the inertia, and weights below 1 count at their value, as in
# the single-machine fit.
@pytest.mark.parametrize("fractional", [False, True])
def test_sample_weight_as_in_the_single_machine_fit(client, fractional):
    X, init = blobs(30000, 6, 12, 2.0, 7)
    rng = np.random.default_rng(7)
    # Fractional: every cluster's summed weight below 1.
    w = rng.uniform(0.0, 1.0 / len(X), len(X)) if fractional else rng.integers(
        0, 4, len(X)).astype(np.float64)
    w[:12] = w.max()  # the initial centers' own rows keep their clusters
    single = tavrine.KMeans(12, init=init, n_init=1, tol=1e-6).fit(X, sample_weight=w)
    Xd = da.from_array(X, chunks=(7000, 6))
    dist = KMeans(12, init=init, tol=1e-6).fit(Xd, sample_weight=da.from_array(w, chunks=5000))
    labels = dist.labels_.compute()
    assert dist.n_iter_ == single.n_iter_
    assert (labels != single.labels_).sum() <= 2
    np.testing.assert_allclose(dist.cluster_centers_, single.cluster_centers_, rtol=1e-5,
                               atol=1e-5)
    ref = w @ ((X.astype(np.float64) - dist.cluster_centers_[labels]) ** 2).sum(1)
    assert dist.inertia_ == pytest.approx(ref, rel=1e-5)
    with pytest.raises(ValueError, match="Negative values"):
        KMeans(12, init=init).fit(Xd, sample_weight=-w)


# Centers far from every point lose all of them: each moves onto the point
# farthest from its own center, as scikit-learn's Lloyd moves it; with
# weights, rows of weight 0 are never picked and several centers move at once.
@pytest.mark.parametrize("chunk, k, weighted", [(75, 3, False), (40, 3, False), (40, 5, True)])
def test_emptied_centers_move_as_in_scikit_learn(client, chunk, k, weighted):
    from sklearn.cluster import KMeans as SKMeans
    from sklearn.datasets import load_iris
    X = load_iris().data
    init = np.array([[5.8, 3, 4.3, 1.3], [100] * 4, [200] * 4, [300] * 4, [5, 3.4, 1.5, 0.2]])[:k]
    w = None
    if weighted:
        w = np.random.default_rng(0).uniform(0.1, 1.0, len(X))
        w[::7] = 0.0
    Xd = da.from_array(X, chunks=(chunk, 4))
    # Cut short, the fit shows the centers right after the first moves.
    for max_iter in (1, 2, 300):
        ref = SKMeans(k, init=init, n_init=1, algorithm="lloyd", max_iter=max_iter).fit(
            X, sample_weight=w)
        dist = KMeans(k, init=init, max_iter=max_iter).fit(Xd, sample_weight=w)
        single = tavrine.KMeans(k, init=init, max_iter=max_iter).fit(X, sample_weight=w)
        labels = dist.labels_.compute()
        assert dist.inertia_ == pytest.approx(ref.inertia_, rel=1e-6)
        assert dist.n_iter_ == ref.n_iter_ == single.n_iter_
        np.testing.assert_array_equal(labels, ref.labels_)
        np.testing.assert_array_equal(labels, single.labels_)
        np.testing.assert_allclose(dist.cluster_centers_, ref.cluster_centers_, atol=1e-5)
    if not weighted:
        assert sorted(np.bincount(labels, minlength=3)) == [22, 32, 96]


@pytest.mark.parametrize("scale", [1e25, 1e-300])
def test_any_finite_scale_as_on_one_machine(client, scale):
    from sklearn.datasets import load_iris
    iris = load_iris().data
    X, init = iris * scale, iris[[0, 50, 100]] * scale
    single = tavrine.KMeans(3, init=init).fit(X)
    dist = KMeans(3, init=init).fit(da.from_array(X, chunks=(40, 4)))
    labels = dist.labels_.compute()
    np.testing.assert_array_equal(labels, KMeans(3, init=iris[[0, 50, 100]]).fit(
        da.from_array(iris, chunks=(40, 4))).labels_.compute())
    np.testing.assert_array_equal(labels, single.labels_)
    np.testing.assert_allclose(dist.cluster_centers_ / scale, single.cluster_centers_ / scale,
                               rtol=1e-6)
    assert dist.inertia_ == pytest.approx(single.inertia_, rel=1e-6)
    np.testing.assert_array_equal(dist.predict(X[::7]), labels[::7])


@pytest.mark.parametrize("tol", [1e-4, 0.05])
def test_verbose_reports_what_scikit_learn_reports(client, capsys, tol):
    # The same lines, numbers aside, which agree to float32 rounding: an
    # inertia per iteration against the centers it used, then the stop.
    import re
    from sklearn.cluster import KMeans as SKMeans
    from sklearn.datasets import load_iris
    X = load_iris().data
    init = np.array([[5.8, 3, 4.3, 1.3], [100] * 4, [200] * 4])
    number = r"-?\d+(?:\.\d*)?(?:e[-+]?\d+)?"

    def lines(out):
        found = [(re.sub(number, "#", s), [float(v) for v in re.findall(number, s)])
                 for s in out.splitlines() if s.startswith(("Iteration", "Converged"))]
        return [f[0] for f in found], [f[1] for f in found]

    SKMeans(3, init=init, n_init=1, algorithm="lloyd", tol=tol, verbose=1).fit(X)
    ref_text, ref_values = lines(capsys.readouterr().out)
    KMeans(3, init=init, tol=tol, verbose=1).fit(da.from_array(X, chunks=(40, 4)))
    text, values = lines(capsys.readouterr().out)
    assert text == ref_text
    assert ref_text[-1].startswith("Converged") and len(ref_text) > 3
    for got, want in zip(values, ref_values):
        np.testing.assert_allclose(got, want, rtol=1e-5)
