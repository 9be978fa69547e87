"""scikit-learn's KMeans on top of the tavrine core.

Validation comes from scikit-learn at the boundary (_validation.py, shared
with tavrine.dask); the core runs seeding and Lloyd iterations on float32
data centred and multiplied by a power of two: large float32 C-ordered X is
read in place, the column means subtracted in float32 as each value is read; other
inputs are copied once, their float64 differences from the means rounded.
float64 input is clustered in float64: the float32 scores decide only where
they provably agree with the float64 distances, the rest is decided in double.
"""
from __future__ import annotations

import math
import warnings
from collections.abc import Callable
from numbers import Integral, Real
from typing import Any

import numpy as np
import scipy.sparse as sp
from numpy.typing import ArrayLike, NDArray
from sklearn.base import (BaseEstimator, ClassNamePrefixFeaturesOutMixin, ClusterMixin,
                          TransformerMixin, _fit_context)
from sklearn.exceptions import ConvergenceWarning
from sklearn.utils import check_random_state
from sklearn.utils._param_validation import Interval, StrOptions, validate_params
from sklearn.utils.validation import _check_sample_weight

from . import _fit, _sparse
from . import _validation as valid

__all__ = ["KMeans", "kmeans_plusplus"]


# ---- the float32 data the core sees ------------------------------------------

def _power_of_two_scale(spread):
    """The power of two s that brings `spread` (the largest |x - mean|, finite
    and >= 0) into [0.5, 1): data are multiplied by s before the float32
    conversion, so squared float32 distances neither overflow nor underflow
    whatever the data's scale, and the scaling itself is exact in binary."""
    if not spread > 0.0:
        return 1.0
    # 2^1023 is the largest power of two float64 holds; a spread below
    # 2^-1023 (subnormal) is scaled as far as that allows.
    return math.ldexp(1.0, max(-1023, min(1023, -math.frexp(spread)[1])))


def _centre(X, mean=None, variance=False, n_threads=None, scale=1.0, write=True):
    """The core's centring of X: (X32, mean, scale, variance, finite).

    X32 is the C-contiguous float32 copy of scale * (X - mean), each
    difference taken in float64. `mean` None means X's own float64 column
    means, returned with the power of two that brings their spread near 1 as
    the scale; otherwise `scale` is used. With `variance`, also the mean over
    features of the scaled squared differences' column means (the fit's
    tolerance scale), else None. `finite` is False when X holds a NaN or an
    infinity, when its column sums or differences overflow float64 (X32 is
    then None), or when a scaled difference overflows float32.

    The core's distances expand |x|^2 - 2 x.c + |c|^2 in float32, which
    cancels when the norms dwarf the spread of the data; centred data keep
    the norms at the scale of the spread, and the scale keeps their squares
    within float32's range. X itself is never modified. Without `write` no
    copy is made: X32 is None.
    """
    if X.dtype not in valid.FLOATS:
        X = np.asarray(X, dtype=np.float64)
    return _fit.centre(X, mean, _power_of_two_scale if mean is None else scale, variance,
                       n_threads or 0, write)


# Scales within which k-means++ on the raw rows squares their differences in
# float32 without overflow or underflow: a float32 C-ordered X in this range
# is read in place (seeded raw, clustered as the centred copy would be).
_IN_PLACE_SCALES = (2.0 ** -40, 2.0 ** 40)
# Smaller data are copied: centring each value as it is read costs more
# than the copy (a quarter of the fit on 273k x 3 pixels, 8% on 100k x 256,
# k = 1024), and scikit-learn's own copy takes as much memory.
_IN_PLACE_BYTES = 256 << 20


def _centred32(X, mean, name="X", n_threads=1, scale=1.0, estimator=None):
    """C-contiguous float32 copy of scale * (X - mean) (mean None: X's own
    column means and scale), the difference taken in float64; refuses NaN,
    infinity and values float64 or float32 cannot hold. One thread by
    default, as for a Dask task."""
    X = np.asarray(X)
    X32, _, _, _, finite = _centre(X, mean, n_threads=n_threads, scale=scale)
    valid.refuse_uncentred(X, X32, finite, name, estimator, own_mean=mean is None)
    return X32


def _refuse_unfit64(X, mean, scale, name="X", n_threads=1, estimator=None):
    """Refuses float64 X (answered in float64, with no float32 copy) as
    _centred32 refuses what it cannot copy: the variance pass reads every
    value and finds NaN and infinity."""
    finite = _centre(X, mean, variance=True, n_threads=n_threads, scale=scale, write=False)[4]
    valid.refuse_uncentred(X, None, finite, name, estimator)


def _seeding_weights(sw32):
    """Weights for k-means++: equal weights draw as no weights do, so they are
    dropped and a fit with unit weights seeds exactly as one without."""
    return None if sw32 is None or (sw32 == sw32[0]).all() else sw32


def _seed_from_candidates(candidates, weights, k, rng, n_init=3, max_iter=100, n_threads=0):
    """k centers for the k-means|| candidates, each weighted by the points
    nearest to it: the best, by weighted inertia, of n_init runs of the core's
    weighted k-means++ then weighted Lloyd, on n_threads threads (0: all)."""
    C = np.ascontiguousarray(candidates, dtype=np.float32)
    w = np.ascontiguousarray(weights, dtype=np.float32)
    best = None
    for _ in range(n_init):
        init = _fit.kmeanspp(C, k, 0, _core_seed(rng), sample_weight=w, n_threads=n_threads)[0]
        run = _fit.lloyd(C, init, max_iter, 0.0, n_threads, sample_weight=w)
        if best is None or run[2] < best[2]:
            best = run
    return best[1]


# Rounds and oversampling of k-means|| (Bahmani et al. suggest 5 and 2k).
_PARALLEL_ROUNDS = 5
_OVERSAMPLING = 2.0


def _kmeans_parallel(X, take, k, rng, weights, n_threads):
    """k-means|| on one machine: rounds that each draw every row with
    probability min(1, 2k * share / potential), share its (weighted) distance
    to the rows drawn so far, then k centers of the drawn rows weighted by
    the points nearest to each. take(rows) gives rows of X as a dense float32
    array; distances are the core's, so X may be dense or _sparse.Rows."""
    n = X.shape[0]
    w = None if weights is None else weights.astype(np.float64)
    first = rng.randint(n) if w is None else rng.choice(n, p=w / w.sum())
    rows = [np.array([first])]
    drawn = [take(rows[0])]
    labels, mins = _nearest(X, drawn[0], n_threads)
    found = 1

    def add(new_rows):
        nonlocal found
        _take_nearer(X, new_rows, found, labels, mins, n_threads)
        found += len(new_rows)

    for _ in range(_PARALLEL_ROUNDS):
        share = mins.astype(np.float64) if w is None else mins * w
        phi = share.sum()
        if not phi > 0.0:
            break
        # A drawn row is at distance 0 from itself, so no row is drawn twice.
        new = np.flatnonzero(rng.random_sample(n) < _OVERSAMPLING * k / phi * share)
        if new.size:
            rows.append(new)
            drawn.append(take(new))
            add(drawn[-1])
    short = k - sum(r.size for r in rows)
    if short > 0:
        rest = np.setdiff1d(np.arange(n), np.concatenate(rows), assume_unique=True)
        drawn.append(take(rng.choice(rest, size=short, replace=False)))
        add(drawn[-1])
    candidates = np.concatenate(drawn)
    counts = np.bincount(labels, weights=w, minlength=len(candidates))
    return _seed_from_candidates(candidates, counts, k, rng, n_threads=n_threads)


# ---- distances to fitted centers ---------------------------------------------
# Both take the centred float32 data and centers the fit used, and score
# them as the fit's own loop does: predict on the training data gives labels_.

def _assign(X, C, n_threads, all_distances=False):
    """The core's nearest-center routine for dense rows or _sparse.Rows."""
    if isinstance(X, _sparse.Rows):
        return _fit.assign_sparse(*X.core_args(), C, n_threads or 0, all_distances)
    return _fit.assign(X, C, n_threads or 0, all_distances)


def _nearest(X, C, n_threads=None):
    """Labels and squared distances (float32) of the nearest center."""
    return _assign(X, C, n_threads)


def _take_nearer(X, C, first, labels, mins, n_threads=None):
    """Rows of X that a center of C (numbered from `first` on) is strictly
    closer to than mins take it into labels and its distance into mins: ties
    stay with the earlier center, as one scan of all centers breaks them."""
    near, dist = _nearest(X, C, n_threads)
    closer = dist < mins
    labels[closer] = near[closer] + first
    mins[closer] = dist[closer]


def _squared_distances(X, C, n_threads=None):
    """|x - c|^2 (float32) for every pair, from the products that label."""
    return _assign(X, C, n_threads, all_distances=True)[2]


# Values per block of the float64 distances (rows times centers plus
# columns): a block's arrays stay within a few MiB.
_BLOCK64 = 1 << 19


def _blocks64(X, mean, scale, C):
    """Per block of rows of X (float64): its first row, the block centred and
    scaled in double, |v|^2 - 2 v.c + |c|^2 for every center (float64)."""
    norms = np.einsum("ij,ij->i", C, C)
    rows = max(1, _BLOCK64 // (C.shape[0] + C.shape[1]))
    for lo in range(0, X.shape[0], rows):
        V = np.subtract(X[lo:lo + rows], mean, dtype=np.float64)
        V *= scale
        scores = V @ (-2.0 * C.T)
        scores += norms
        scores += np.einsum("ij,ij->i", V, V)[:, None]
        yield lo, V, scores


def _nearest64(X, mean, scale, C):
    """Labels and squared distances (float64) of the nearest float64 center,
    in the scaled units: the first minimum of the double |v - c|^2, as the
    fit labels. The expanded scores pick the label; rows whose two best
    scores lie within their rounding are decided by direct differences."""
    n = X.shape[0]
    labels = np.empty(n, np.int32)
    dist = np.empty(n, np.float64)
    for lo, V, scores in _blocks64(X, mean, scale, C):
        y = np.argmin(scores, axis=1)
        best = scores[np.arange(len(y)), y]
        scores[np.arange(len(y)), y] = np.inf
        # The expanded form cancels: its error is about d ulps of |v|^2 + |c|^2.
        size = np.einsum("ij,ij->i", V, V) + np.max(np.einsum("ij,ij->i", C, C))
        close = np.flatnonzero(scores.min(axis=1) - best <= (C.shape[1] + 8) * 2.0 ** -50 * size)
        for i in close:
            y[i] = np.argmin(((V[i] - C) ** 2).sum(axis=1))
        labels[lo:lo + len(y)] = y
        dist[lo:lo + len(y)] = ((V - C[y]) ** 2).sum(axis=1)
    return labels, dist


def _squared_distances64(X, mean, scale, C):
    """|v - c|^2 (float64, scaled units) for every row and center."""
    out = np.empty((X.shape[0], C.shape[0]), np.float64)
    for lo, _, scores in _blocks64(X, mean, scale, C):
        np.maximum(scores, 0.0, out=out[lo:lo + len(scores)])
    return out


# ---- verbose output ----------------------------------------------------------

def _print_lloyd(iteration, inertia=None, stop=None, shift=0.0, tol=0.0):
    """scikit-learn's verbose Lloyd lines for `iteration` (1-based; printed
    0-based, as scikit-learn counts): its inertia, when given, then why the
    run stopped there, if it did (stop: _fit.STOP_LABELS or _fit.STOP_SHIFT,
    with the shift and the tolerance)."""
    i = iteration - 1
    if inertia is not None:
        print(f"Iteration {i}, inertia {inertia}.")
    if stop == _fit.STOP_LABELS:
        print(f"Converged at iteration {i}: strict convergence.")
    elif stop == _fit.STOP_SHIFT:
        print(f"Converged at iteration {i}: center shift {shift} within tolerance {tol}.")


# ---- seeding -----------------------------------------------------------------

def _core_seed(rng):
    return int(rng.randint(np.iinfo(np.int32).max))


@validate_params(
    {
        "X": ["array-like", "sparse matrix"],
        "n_clusters": [Interval(Integral, 1, None, closed="left")],
        "sample_weight": ["array-like", None],
        "random_state": ["random_state"],
        "n_local_trials": [Interval(Integral, 1, None, closed="left"), None],
    },
    prefer_skip_nested_validation=True,
)
def kmeans_plusplus(
    X: ArrayLike,
    n_clusters: int,
    *,
    sample_weight: ArrayLike | None = None,
    random_state: int | np.random.RandomState | None = None,
    n_local_trials: int | None = None,
) -> tuple[NDArray[np.floating], NDArray[np.intp]]:
    """Choose initial centers by greedy k-means++, in the core.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features)
        Data to pick the centers from.
    n_clusters : int
        Number of centers.
    sample_weight : array-like of shape (n_samples,), default=None
        Non-negative weights: a row is drawn with probability proportional to
        its weight times its squared distance to the nearest chosen center,
        the first one proportional to its weight. A row of weight 0 is never
        chosen while a row of positive weight is left. None means equal
        weights.
    random_state : int, RandomState instance or None, default=None
        Determines the random draws; an int makes the result reproducible.
    n_local_trials : int or None, default=None
        Candidates tried per center; None means 2 + floor(ln(n_clusters)).

    Returns
    -------
    centers : ndarray of shape (n_clusters, n_features)
        The chosen rows of X, in its dtype (float32 or float64).
    indices : ndarray of shape (n_clusters,)
        Rows of X chosen as centers.
    """
    X = valid.check_X(X, accept_sparse=True)
    if sp.issparse(X):
        X = valid.canonical_csr(X, "")
        valid.check_n_samples(X.shape[0], n_clusters)
        sw32 = valid.check_weights(sample_weight, X)[1]
        rows = _sparse.Rows(X, _power_of_two_scale(_sparse.spread(X)))
        indices = _sparse.kmeans_plusplus(rows, n_clusters, check_random_state(random_state),
                                          _seeding_weights(sw32), n_local_trials)
        return X[indices].toarray(), indices
    X32, _, _, _, finite = _centre(X, n_threads=0)
    if not finite:
        valid.refuse_non_finite(X, "")  # scikit-learn's kmeans_plusplus names no input
    valid.check_n_samples(X.shape[0], n_clusters)
    sw32 = valid.check_weights(sample_weight, X)[1]
    seed = _core_seed(check_random_state(random_state))
    valid.refuse_uncentred(X, X32, finite, "X", own_mean=True)
    _, indices = _fit.kmeanspp(X32, n_clusters, n_local_trials or 0, seed,
                               sample_weight=_seeding_weights(sw32))
    return X[indices].copy(), indices.astype(np.intp)


# ---- the estimator -----------------------------------------------------------

class KMeans(ClassNamePrefixFeaturesOutMixin, TransformerMixin, ClusterMixin, BaseEstimator):
    """K-means clustering with exact Lloyd iterations, pruned by drift bounds.

    A drop-in for :class:`sklearn.cluster.KMeans`. The data are centred on
    their float64 column means and converted once to C-contiguous float32;
    every iteration gives the labels plain Lloyd gives, while per-point bounds
    skip most point-center distances after the first iteration.

    Parameters
    ----------
    n_clusters : int, default=8
        Number of clusters.
    init : {"k-means++", "k-means||", "random"}, callable or array-like of shape \
(n_clusters, n_features), default="k-means++"
        Initial centers: greedy k-means++, k-means|| (five rounds that each
        draw about 2 * n_clusters rows in proportion to their squared distance
        to the rows drawn before, then k-means++ and Lloyd on the drawn rows
        weighted by their points; a few passes over X instead of n_clusters,
        for large n_clusters), distinct random rows, a callable
        ``init(X, n_clusters, random_state=random_state)``, or the centers
        themselves. As in scikit-learn, a callable receives the validated
        data centred on their column means, here as the float32 array the
        core runs on, which is also multiplied by the power of two that
        brings the largest centred value into [0.5, 1); it returns centers
        in those coordinates.
    n_init : "auto" or int, default="auto"
        Runs with different seeds; the one with the lowest inertia is kept.
        "auto" means 1 for "k-means++", "k-means||" and explicit centers, 10
        otherwise.
    max_iter : int, default=300
        Largest number of iterations of one run.
    tol : float, default=1e-4
        Relative tolerance: a run stops once the summed squared center shifts
        are at most ``tol`` times the mean variance of the features.
    verbose : int, default=0
        With a positive value, print what scikit-learn's Lloyd prints: each
        initialization, each iteration's inertia (one more pass over the data
        per iteration) and how the run converged.
    random_state : int, RandomState instance or None, default=None
        Seeds the initialisation.
    copy_x : bool, default=True
        Accepted for compatibility with scikit-learn. X is never modified:
        float32 C-ordered data of 256 MiB or more are read in place (no copy
        whatever copy_x says), other data are copied once into centred
        float32.
    algorithm : {"lloyd", "elkan", "auto", "full"}, default="lloyd"
        Accepted for compatibility with scikit-learn. Every value gives the
        exact Lloyd result, computed by tavrine's pruned Lloyd iterations.
    n_threads : int or None, default=None
        OpenMP threads of the core; None uses the runtime's setting. The
        result does not depend on it.

    Attributes
    ----------
    cluster_centers_ : ndarray of shape (n_clusters, n_features)
        Final centers, in the dtype of the training data.
    labels_ : ndarray of shape (n_samples,)
        Label of each training point.
    inertia_ : float
        Sum of (weighted) squared distances of the points to their centers.
    n_iter_ : int
        Iterations of the kept run.
    n_features_in_ : int
        Number of features seen in fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Feature names, when X had string column names.
    products_per_iter_ : ndarray of shape (n_iter_,)
        Point-center distances computed in each iteration of the kept run
        (the first iteration computes all n_samples x n_clusters).
    points_per_iter_ : ndarray of shape (n_iter_,)
        Points whose bounds did not settle them in each iteration of the
        kept run (all of them in the first).
    """

    # The power of two the fitted data were multiplied by; models pickled
    # before there was one ran on the data as they were.
    _scale = 1.0

    _parameter_constraints: dict = {
        "n_clusters": [Interval(Integral, 1, None, closed="left")],
        "init": [StrOptions({"k-means++", "k-means||", "random"}), callable, "array-like"],
        "n_init": [StrOptions({"auto"}), Interval(Integral, 1, None, closed="left")],
        "max_iter": [Interval(Integral, 1, None, closed="left")],
        "tol": [Interval(Real, 0, None, closed="left")],
        "verbose": ["verbose"],
        "random_state": ["random_state"],
        "copy_x": ["boolean"],
        "algorithm": [StrOptions({"lloyd", "elkan", "auto", "full"})],
        "n_threads": [Interval(Integral, 1, None, closed="left"), None],
    }

    def __init__(self, n_clusters: int = 8, *,
                 init: str | Callable[..., ArrayLike] | ArrayLike = "k-means++",
                 n_init: str | int = "auto", max_iter: int = 300, tol: float = 1e-4,
                 verbose: int = 0, random_state: int | np.random.RandomState | None = None,
                 copy_x: bool = True, algorithm: str = "lloyd", n_threads: int | None = None):
        self.n_clusters = n_clusters
        self.init = init
        self.n_init = n_init
        self.max_iter = max_iter
        self.tol = tol
        self.verbose = verbose
        self.random_state = random_state
        self.copy_x = copy_x
        self.algorithm = algorithm
        self.n_threads = n_threads

    # ---- fitting -----------------------------------------------------------

    def _n_runs(self):
        init, n_init = self.init, self.n_init
        explicit = not (isinstance(init, str) or callable(init))
        if n_init == "auto":
            return 10 if isinstance(init, str) and init == "random" or callable(init) else 1
        if explicit and n_init != 1:
            warnings.warn("Explicit initial center position passed: performing only one init "
                          f"in {type(self).__name__} instead of n_init={n_init}.",
                          RuntimeWarning, stacklevel=5)
            return 1
        return n_init

    def _as_seen(self, rows):
        """Rows of the data the core ran on, in its units: the centred copy
        of rows of X read in place, rounded as the core rounds them."""
        if not self._in_place:
            return rows
        return _centred32(rows, self._mean, n_threads=self.n_threads or 0, scale=self._scale)

    def _initial_centers(self, X32, rng, sw32, X64=None):
        """Initial centers in the core's units; X32 is the data the core runs
        on (X itself when it is read in place). With X64 (float64 input) the
        centers are float64: its chosen rows centred in double."""
        init, k = self.init, self.n_clusters
        if isinstance(init, str):
            weights = _seeding_weights(sw32)
            if init == "k-means||":
                C = self._as_seen(_kmeans_parallel(X32, lambda r: X32[r], k, rng, weights,
                                                   self.n_threads or 0))
                return C if X64 is None else C.astype(np.float64)
            if init == "k-means++":
                rows = _fit.kmeanspp(X32, k, 0, _core_seed(rng), sample_weight=weights,
                                     n_threads=self.n_threads or 0)[1]
            elif weights is None:
                rows = _fit.random_init(X32, k, _core_seed(rng))[1]
            else:
                # Distinct rows drawn with probability proportional to weight,
                # as scikit-learn draws them.
                p = weights.astype(np.float64)
                rows = rng.choice(X32.shape[0], size=k, replace=False, p=p / p.sum())
            if X64 is not None:
                return (X64[rows] - self._mean) * self._scale
            return self._as_seen(X32[rows])
        # A callable sees the centred data and answers in its coordinates.
        centers = valid.check_X(init(X32, k, random_state=rng) if callable(init) else init,
                                name="init")
        valid.check_init_shape(centers, k, X32.shape[1])
        if callable(init):
            valid.refuse_non_finite(centers, "init")
            return np.ascontiguousarray(centers, dtype=np.float32 if X64 is None else np.float64)
        init32 = _centred32(centers, self._mean, "init", n_threads=self.n_threads or 0,
                            scale=self._scale)
        if X64 is None:
            return init32
        return (np.asarray(centers, dtype=np.float64) - self._mean) * self._scale

    def _fit(self, X, sample_weight, progress):
        """Fits; returns the data the core ran on (X itself when it was read
        in place: self._as_seen gives its units)."""
        X = valid.check_X(X, self, reset=True, accept_sparse=True)
        if sp.issparse(X):
            return self._fit_sparse(X, sample_weight, progress)
        # Large float32 C-ordered data are read in place; a callable init sees
        # the centred copy, as documented.
        in_place = (X.dtype == np.float32 and X.flags.c_contiguous and
                    X.nbytes >= _IN_PLACE_BYTES and not callable(self.init))
        if in_place:
            _, mean, scale, variance, finite = _centre(X, variance=True, n_threads=self.n_threads,
                                                       write=False)
            # Outside the range, or to name the fault, the copy is made.
            in_place = finite and _IN_PLACE_SCALES[0] <= scale <= _IN_PLACE_SCALES[1]
        if in_place:
            X32 = X
        else:
            X32, mean, scale, variance, finite = _centre(X, variance=True,
                                                         n_threads=self.n_threads)
        if not finite:
            valid.refuse_non_finite(X, "X", self)
        valid.check_n_features(self, X, reset=True)
        sw, sw32 = valid.check_weights(sample_weight, X)
        valid.check_n_samples(X.shape[0], self.n_clusters)
        n_runs = self._n_runs()
        valid.refuse_uncentred(X, X32, finite, "X", self, own_mean=True)
        rng = check_random_state(self.random_state)
        self._mean, self._scale, self._in_place = mean, scale, in_place
        tol = variance * self.tol  # both in the scaled units the core runs in
        report = self._reporter(progress, tol, scale)
        weights = {} if sw32 is None else {"sample_weight": sw32}
        # float64 data are decided in float64: the core reads them beside the copy.
        X64 = np.ascontiguousarray(X) if X.dtype == np.float64 else None
        exact = {} if X64 is None else {"X64": X64, "mean64": mean, "scale64": scale,
                                        "sample_weight64": sw}
        best = None
        for run in range(n_runs):
            init = self._initial_centers(X32, rng, sw32, X64)
            if X64 is not None:
                exact["init64"] = np.ascontiguousarray(init)
                init = exact["init64"].astype(np.float32)
            if self.verbose:
                print("Initialization complete")
            result = _fit.lloyd(X32, init, int(self.max_iter), tol, self.n_threads or 0,
                                report, inertia_each=bool(self.verbose),
                                mean=mean if in_place else None, scale=scale, **weights, **exact)
            if best is None or result[2] < best[2]:
                best = result
        self._warn_if_empty(X32, best[0])
        self._keep(best, X.dtype, X64 is not None)
        return X32

    def _keep(self, best, dtype, float64=False):
        """The kept run's results as the fitted attributes, in the input's
        units and dtype (`float64`: the centers are the float64 ones)."""
        labels, centers, inertia, n_iter, products, points = best
        scale = self._scale
        # predict, transform and score shift new data by the same mean and
        # compare them with the very centers the fit ended with (float64
        # ones after a float64 fit).
        self._centers32 = centers.astype(np.float32)
        self._centers64 = centers if float64 else None
        self.cluster_centers_ = (centers.astype(np.float64) / scale + self._mean).astype(dtype)
        self.labels_ = labels
        self.inertia_ = float(inertia) / scale / scale  # scale ** 2 may overflow
        self.n_iter_ = int(n_iter)
        self.products_per_iter_ = products
        self.points_per_iter_ = points

    def _fit_sparse(self, X, sample_weight, progress):
        """_fit on CSR X: scaled, never centred nor densified; returns the
        rows the core ran on (_sparse.Rows)."""
        X = valid.canonical_csr(X, "X", self)
        valid.check_n_features(self, X, reset=True)
        sw32 = valid.check_weights(sample_weight, X)[1]
        valid.check_n_samples(X.shape[0], self.n_clusters)
        n_runs = self._n_runs()
        rng = check_random_state(self.random_state)
        scale = _power_of_two_scale(_sparse.spread(X))
        rows = _sparse.Rows(X, scale)
        self._mean, self._scale, self._in_place = np.zeros(X.shape[1]), scale, False
        tol = _sparse.variance(X, scale) * self.tol
        report = self._reporter(progress, tol, scale)
        weights = {} if sw32 is None else {"sample_weight": sw32}
        best = None
        for run in range(n_runs):
            init = self._initial_sparse(rows, rng, sw32)
            if self.verbose:
                print("Initialization complete")
            result = _fit.lloyd_sparse(*rows.core_args(), init, int(self.max_iter), tol,
                                       self.n_threads or 0, report,
                                       inertia_each=bool(self.verbose), **weights)
            if best is None or result[2] < best[2]:
                best = result
        self._warn_if_empty(rows, best[0])
        self._keep(best, X.dtype)
        return rows

    def _initial_sparse(self, rows, rng, sw32):
        """Initial centers (dense float32, in the core's units) for sparse rows."""
        init, k, n = self.init, self.n_clusters, rows.shape[0]
        if isinstance(init, str):
            weights = _seeding_weights(sw32)
            if init == "k-means++":
                return rows.dense(_sparse.kmeans_plusplus(rows, k, rng, weights))
            if init == "k-means||":
                return _kmeans_parallel(rows, rows.dense, k, rng, weights, self.n_threads or 0)
            p = None if weights is None else weights / weights.astype(np.float64).sum()
            return rows.dense(rng.choice(n, size=k, replace=False, p=p))
        centers = init(rows.csr(), k, random_state=rng) if callable(init) else init
        centers = valid.check_X(centers, name="init", accept_sparse=True)
        if sp.issparse(centers):
            centers = centers.toarray()
        valid.check_init_shape(centers, k, rows.shape[1])
        valid.refuse_non_finite(centers, "init")
        if callable(init):
            return np.ascontiguousarray(centers, dtype=np.float32)
        with np.errstate(over="ignore"):
            scaled = (centers.astype(np.float64) * self._scale).astype(np.float32)
        if not np.isfinite(scaled).all():
            raise valid.too_large("init")
        return scaled

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X: ArrayLike, y: Any = None, sample_weight: ArrayLike | None = None, *,
            progress: Callable[[int, int, float], Any] | None = None) -> KMeans:
        """Compute k-means clustering.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data; float32 stays float32, anything else is taken as
            float64. Sparse X is taken as CSR (CSC and COO are converted) and
            never densified.
        y : Ignored
            Not used, present for API consistency.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weight of each point in the seeding, the centers, the
            counts and the inertia (an integer weight acts as that many copies
            of the row); None weighs every point 1.
        progress : callable or None, default=None
            Called after every iteration as ``progress(iteration, products,
            shift)``: the iteration's number, its point-center distances
            computed, and the summed squared center shifts.

        Returns
        -------
        self : KMeans
            The fitted estimator.
        """
        self._fit(X, sample_weight, progress)
        return self

    def _reporter(self, progress, tol, scale):
        """The core's per-iteration callback: scikit-learn's verbose lines
        (0-based iterations) and the user's `progress`, with shifts, inertia
        and tolerance in the input's units; None without either."""
        if not self.verbose and progress is None:
            return None
        verbose, unit = self.verbose, 1.0 / scale / scale

        def report(iteration, products, shift, inertia, stop):
            shift *= unit
            if verbose:
                _print_lloyd(iteration, inertia * unit, stop, shift, tol * unit)
            if progress is not None:
                progress(iteration, products, shift)
        return report

    def _warn_if_empty(self, X32, labels):
        """scikit-learn's warning for clusters left empty, with its cause. The
        loop refills an emptied cluster with a far point whenever one lies off
        its center, so the usual cause is fewer distinct points than clusters."""
        k = self.n_clusters
        found = np.count_nonzero(np.bincount(labels, minlength=k))
        if found == k:
            return
        if isinstance(X32, _sparse.Rows):
            points = _sparse.distinct_rows(X32.X)
        else:
            rows = np.ascontiguousarray(X32).view(
                np.dtype((np.void, X32.dtype.itemsize * X32.shape[1])))
            points = len(np.unique(rows.ravel()))
        cause = (f"X has only {points} distinct point{'s' * (points != 1)}" if points < k else
                 "clusters emptied in the last iteration were not refilled; a larger "
                 "max_iter gives them points")
        warnings.warn(f"Number of distinct clusters ({found}) found smaller than n_clusters "
                      f"({k}): {cause}.", ConvergenceWarning, stacklevel=4)

    def fit_predict(self, X: ArrayLike, y: Any = None,
                    sample_weight: ArrayLike | None = None) -> NDArray[np.int32]:
        """Fit, then return the label of each training point.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data.
        y : Ignored
            Not used, present for API consistency.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weight of each point; None means equal weights.

        Returns
        -------
        labels : ndarray of shape (n_samples,)
            Index of the cluster each point belongs to.
        """
        return self.fit(X, sample_weight=sample_weight).labels_

    @_fit_context(prefer_skip_nested_validation=True)
    def fit_transform(self, X: ArrayLike, y: Any = None,
                      sample_weight: ArrayLike | None = None) -> NDArray[np.floating]:
        """Fit, then return the distances of the training points to the centers.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data.
        y : Ignored
            Not used, present for API consistency.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weight of each point; None means equal weights.

        Returns
        -------
        distances : ndarray of shape (n_samples, n_clusters)
            Euclidean distances, in the dtype of X.
        """
        X32 = self._fit(X, sample_weight, None)
        if self._centers64 is not None:
            return self._distances64(valid.check_X(X))
        return self._distances(self._as_seen(X32), self.cluster_centers_.dtype)

    # ---- using a fitted model ----------------------------------------------

    def _centred_test_data(self, X):
        """X validated against the fit, and its centred float32 copy (None
        when X is answered in float64, which needs no copy)."""
        valid.check_is_fitted(self)
        X = valid.check_X(X, self, reset=False, accept_sparse=True)
        valid.check_n_features(self, X, reset=False)
        if sp.issparse(X):
            X = valid.canonical_csr(X, "X", self)
            # Centring on a dense fit's means fills every zero; float64 centers
            # answer dense float64 rows.
            if self._mean.any() or self._float64_model(X):
                X = X.toarray()
            else:
                rows = _sparse.Rows(X, self._scale)
                if not rows.finite():
                    raise valid.too_large("X")
                return X, rows
        if self._float64_model(X):
            _refuse_unfit64(X, self._mean, self._scale, n_threads=self.n_threads or 0,
                            estimator=self)
            return X, None
        X32 = _centred32(X, self._mean, n_threads=self.n_threads or 0, scale=self._scale,
                         estimator=self)
        return X, X32

    def _float64_model(self, X):
        """Whether X is answered in float64: a float64 fit and X not float32."""
        return getattr(self, "_centers64", None) is not None and X.dtype != np.float32

    def _distances64(self, X):
        """Distances of the rows of X (float64) to the float64 centers."""
        dist = np.sqrt(_squared_distances64(X, self._mean, self._scale, self._centers64))
        return dist / self._scale

    def _distances(self, X32, dtype):
        """Distances of the centred, scaled rows X32 to the centers, in the
        input's scale."""
        dist = np.sqrt(_squared_distances(X32, self._centers32, self.n_threads))
        return (dist.astype(np.float64) / self._scale).astype(dtype)

    def predict(self, X: ArrayLike) -> NDArray[np.int32]:
        """Label each point of X with its nearest center.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            New data.

        Returns
        -------
        labels : ndarray of shape (n_samples,)
            Index of the nearest center.
        """
        X, X32 = self._centred_test_data(X)
        if self._float64_model(X):
            return _nearest64(X, self._mean, self._scale, self._centers64)[0]
        return _nearest(X32, self._centers32, self.n_threads)[0]

    def transform(self, X: ArrayLike) -> NDArray[np.floating]:
        """Euclidean distances of the points of X to every center.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            New data.

        Returns
        -------
        distances : ndarray of shape (n_samples, n_clusters)
            In the dtype of X (float32 stays float32, anything else float64).
        """
        X, X32 = self._centred_test_data(X)
        if self._float64_model(X):
            return self._distances64(X)
        return self._distances(X32, X.dtype)

    def score(self, X: ArrayLike, y: Any = None,
              sample_weight: ArrayLike | None = None) -> float:
        """Opposite of the (weighted) inertia of X against the fitted centers.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            New data.
        y : Ignored
            Not used, present for API consistency.
        sample_weight : array-like of shape (n_samples,), default=None
            Weight of each point's squared distance; None means 1.

        Returns
        -------
        score : float
            Minus the (weighted) sum of squared distances to the nearest
            centers.
        """
        X, X32 = self._centred_test_data(X)
        if self._float64_model(X):
            dist = _nearest64(X, self._mean, self._scale, self._centers64)[1]
        else:
            dist = _nearest(X32, self._centers32, self.n_threads)[1].astype(np.float64)
        if sample_weight is not None:
            dist *= _check_sample_weight(sample_weight, X, dtype=np.float64)
        return -float(dist.sum()) / self._scale / self._scale

    @property
    def _n_features_out(self):
        """Number of transformed output features (one per center)."""
        return self.cluster_centers_.shape[0]

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.transformer_tags.preserves_dtype = ["float64", "float32"]
        tags.input_tags.sparse = True
        return tags
