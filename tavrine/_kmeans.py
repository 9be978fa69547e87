"""scikit-learn-style KMeans on top of the tavrine core.

Validation and the user-facing options live here; the core runs seeding and
Lloyd iterations on a C-contiguous float32 copy of the data (made once, and
only when the input is not already in that form).
"""
import numbers
import warnings

import numpy as np

from . import viza_  # refuses to import on a processor without AVX2/FMA
from . import _fit

try:  # scikit-learn is optional: with it, the estimator joins its ecosystem
    from sklearn.base import BaseEstimator, ClusterMixin, TransformerMixin
    from sklearn.exceptions import ConvergenceWarning
except ImportError:  # pragma: no cover - exercised only without scikit-learn
    from ._base import BaseEstimator, ClusterMixin, TransformerMixin

    class ConvergenceWarning(UserWarning):
        """Raised when fewer distinct clusters than requested are found."""


__all__ = ["KMeans", "kmeans_plusplus"]

_CHUNK = 4096  # rows per block when computing distances outside the core


def _check_random_state(seed):
    if seed is None or seed is np.random:
        return np.random.mtrand._rand
    if isinstance(seed, numbers.Integral):
        return np.random.RandomState(seed)
    if isinstance(seed, np.random.RandomState):
        return seed
    raise ValueError(f"{seed!r} cannot be used to seed a numpy.random.RandomState instance")


def _check_counts(est, n_samples, ints, reals):
    """n_clusters and the named ints >= 1, the named reals >= 0, and at least
    as many samples as clusters."""
    for name in ("n_clusters",) + ints:
        value = getattr(est, name)
        if not isinstance(value, numbers.Integral) or isinstance(value, bool) or value < 1:
            raise ValueError(f"The '{name}' parameter must be an int >= 1, got {value!r}.")
    for name in reals:
        value = getattr(est, name)
        if not isinstance(value, numbers.Real) or value < 0:
            raise ValueError(f"The '{name}' parameter must be a float >= 0, got {value!r}.")
    if n_samples < est.n_clusters:
        raise ValueError(f"n_samples={n_samples} should be >= n_clusters={est.n_clusters}.")


def _feature_names(X):
    columns = getattr(X, "columns", None)
    if columns is None:
        return None
    names = np.asarray(columns, dtype=object)
    if len(names) and all(isinstance(c, str) for c in names):
        return names
    return None


def _as_float_matrix(X, name="X", dtype_out=None):
    """X as a 2-D finite float array; float32 stays float32, anything else float64."""
    if hasattr(X, "toarray") or hasattr(X, "tocsr"):
        raise TypeError(
            "Sparse data was passed, but dense data is required. Use '.toarray()' to convert "
            "to a dense numpy array.")
    if hasattr(X, "dtypes") and hasattr(X, "to_numpy"):  # data frames
        X = X.to_numpy()
    arr = np.asarray(X)
    if arr.dtype.kind == "c":
        raise ValueError("Complex data not supported")
    if arr.dtype.kind not in "fiub":
        arr = arr.astype(np.float64)  # objects that are not numbers raise here
    if arr.ndim != 2:
        raise ValueError(
            f"Expected 2D array, got {'scalar' if arr.ndim == 0 else f'{arr.ndim}D'} array "
            f"instead:\narray={arr!r}.\nReshape your data either using array.reshape(-1, 1) "
            "if your data has a single feature or array.reshape(1, -1) if it contains a single "
            "sample.")
    if dtype_out is None:
        dtype_out = np.float32 if arr.dtype == np.float32 else np.float64
    if arr.dtype != dtype_out:
        arr = arr.astype(dtype_out)
    if arr.shape[0] < 1:
        raise ValueError(f"Found array with 0 sample(s) (shape={arr.shape}) while a minimum "
                         "of 1 is required.")
    if arr.shape[1] < 1:
        raise ValueError(f"Found array with 0 feature(s) (shape={arr.shape}) while a minimum "
                         "of 1 is required.")
    if not np.isfinite(arr).all():
        what = "NaN" if np.isnan(arr).any() else "infinity or a value too large for dtype"
        raise ValueError(f"Input {name} contains {what}.")
    return arr


def _check_sample_weight(sample_weight, n_samples):
    """None, or the weights as a C-contiguous float32 array of shape (n_samples,)."""
    if sample_weight is None:
        return None
    w = np.asarray(sample_weight)
    if w.dtype.kind not in "fiub":
        raise ValueError(f"sample_weight must be numeric, got dtype {w.dtype}.")
    if w.ndim != 1 or w.shape[0] != n_samples:
        raise ValueError(f"sample_weight.shape == {w.shape}, expected ({n_samples},)!")
    w = np.ascontiguousarray(w, dtype=np.float32)
    if not np.isfinite(w).all():
        raise ValueError("sample_weight contains NaN or infinity.")
    if (w < 0).any():
        raise ValueError("sample_weight must be non-negative.")
    if not w.any():
        raise ValueError("sample_weight must not be all zero.")
    return w


def _mean_variance(X):
    """Mean over features of the per-feature variance, in float64, by blocks of rows."""
    total = np.zeros(X.shape[1])
    for lo in range(0, X.shape[0], _CHUNK):
        total += X[lo:lo + _CHUNK].sum(0, dtype=np.float64)
    mean = total / X.shape[0]
    sq = np.zeros(X.shape[1])
    for lo in range(0, X.shape[0], _CHUNK):
        diff = X[lo:lo + _CHUNK] - mean
        sq += np.einsum("ij,ij->j", diff, diff)
    return float(np.mean(sq / X.shape[0]))


def _float32_c(arr):
    """The one copy the core needs: C-contiguous float32 (no copy if already so)."""
    return np.ascontiguousarray(arr, dtype=np.float32)


def _squared_distances(X, C):
    """|x - c|^2 for every pair, by blocks of rows, in the precision of X."""
    c_norm = (C.astype(np.float64) ** 2).sum(1)
    out = np.empty((X.shape[0], C.shape[0]), dtype=np.float64)
    for lo in range(0, X.shape[0], _CHUNK):
        block = X[lo:lo + _CHUNK]
        x_norm = np.einsum("ij,ij->i", block, block, dtype=np.float64)
        d2 = x_norm[:, None] - 2.0 * (block @ C.T.astype(block.dtype)) + c_norm[None]
        np.maximum(d2, 0.0, out=d2)
        out[lo:lo + _CHUNK] = d2
    return out


def _nearest(X, C):
    """Labels and squared distances of the nearest center, by blocks of rows."""
    labels = np.empty(X.shape[0], np.int32)
    dist = np.empty(X.shape[0], np.float64)
    c_norm = (C.astype(np.float64) ** 2).sum(1)
    for lo in range(0, X.shape[0], _CHUNK):
        block = X[lo:lo + _CHUNK]
        x_norm = np.einsum("ij,ij->i", block, block, dtype=np.float64)
        d2 = c_norm[None] - 2.0 * (block @ C.T.astype(block.dtype))
        labels[lo:lo + _CHUNK] = lab = d2.argmin(1)
        dist[lo:lo + _CHUNK] = np.maximum(d2[np.arange(len(block)), lab] + x_norm, 0.0)
    return labels, dist


def kmeans_plusplus(X, n_clusters, *, random_state=None, n_local_trials=None):
    """Choose initial centers by greedy k-means++, in the core.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features)
        Data to pick the centers from.
    n_clusters : int
        Number of centers.
    random_state : int, RandomState instance or None, default=None
        Determines the random draws; an int makes the result reproducible.
    n_local_trials : int or None, default=None
        Candidates tried per center; None means 2 + floor(ln(n_clusters)).

    Returns
    -------
    centers : ndarray of shape (n_clusters, n_features)
        In the dtype of X (float32 or float64).
    indices : ndarray of shape (n_clusters,)
        Rows of X chosen as centers.
    """
    arr = _as_float_matrix(X)
    if not 1 <= n_clusters <= arr.shape[0]:
        raise ValueError(f"n_samples={arr.shape[0]} should be >= n_clusters={n_clusters}.")
    seed = _check_random_state(random_state).randint(np.iinfo(np.int32).max)
    centers, indices = _fit.kmeanspp(_float32_c(arr), n_clusters, n_local_trials or 0, seed)
    return arr[indices].copy(), indices.astype(np.intp)


class KMeans(ClusterMixin, TransformerMixin, BaseEstimator):
    """K-means clustering with exact Lloyd iterations, pruned by drift bounds.

    A drop-in for :class:`sklearn.cluster.KMeans` in its common uses. Data
    are converted once to C-contiguous float32; every iteration gives the
    labels plain Lloyd gives, while per-point bounds skip most point-center
    distances after the first iteration.

    Parameters
    ----------
    n_clusters : int, default=8
        Number of clusters.
    init : {"k-means++", "random"}, callable or array-like of shape \
(n_clusters, n_features), default="k-means++"
        Initial centers: greedy k-means++, distinct random rows, a callable
        ``init(X, n_clusters, random_state)``, or the centers themselves.
    n_init : "auto" or int, default="auto"
        Runs with different seeds; the one with the lowest inertia is kept.
        "auto" means 1 for "k-means++" and explicit centers, 10 otherwise.
    max_iter : int, default=300
        Largest number of iterations of one run.
    tol : float, default=1e-4
        Relative tolerance: a run stops once the summed squared center shifts
        are at most ``tol`` times the mean variance of the features.
    verbose : int, default=0
        With a positive value, print each iteration's work and shift.
    random_state : int, RandomState instance or None, default=None
        Seeds the initialisation.
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
        Sum of squared distances of the points to their centers.
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

    def __init__(self, n_clusters=8, *, init="k-means++", n_init="auto", max_iter=300,
                 tol=1e-4, verbose=0, random_state=None, n_threads=None):
        self.n_clusters = n_clusters
        self.init = init
        self.n_init = n_init
        self.max_iter = max_iter
        self.tol = tol
        self.verbose = verbose
        self.random_state = random_state
        self.n_threads = n_threads

    # ---- parameters --------------------------------------------------------

    def _check_params(self, n_samples):
        _check_counts(self, n_samples, ("max_iter",), ("tol",))
        if self.n_threads is not None and (not isinstance(self.n_threads, numbers.Integral)
                                           or self.n_threads < 1):
            raise ValueError(f"The 'n_threads' parameter must be an int >= 1 or None, "
                             f"got {self.n_threads!r}.")
        init = self.init
        if isinstance(init, str):
            if init not in ("k-means++", "random"):
                raise ValueError(f"The 'init' parameter must be 'k-means++', 'random', a "
                                 f"callable or an array-like, got {init!r}.")
        n_init = self.n_init
        if isinstance(n_init, str):
            if n_init != "auto":
                raise ValueError(f"The 'n_init' parameter must be 'auto' or an int >= 1, "
                                 f"got {n_init!r}.")
            n_init = 10 if isinstance(init, str) and init == "random" or callable(init) else 1
        elif not isinstance(n_init, numbers.Integral) or n_init < 1:
            raise ValueError(f"The 'n_init' parameter must be 'auto' or an int >= 1, "
                             f"got {n_init!r}.")
        if hasattr(init, "__array__") or isinstance(init, (list, tuple)):
            if n_init != 1 and self.n_init != "auto":
                warnings.warn("Explicit initial center position passed: performing only one "
                              f"init in {type(self).__name__} instead of n_init={n_init}.",
                              RuntimeWarning, stacklevel=3)
            n_init = 1
        return n_init

    def _initial_centers(self, X32, X_orig, rng):
        init, k = self.init, self.n_clusters
        if isinstance(init, str):
            seed = rng.randint(np.iinfo(np.int32).max)
            if init == "k-means++":
                return _fit.kmeanspp(X32, k, 0, seed)[0]
            return _fit.random_init(X32, k, seed)[0]
        if callable(init):
            centers = init(X_orig, k, rng)
        else:
            centers = init
        centers = _as_float_matrix(centers, name="init")
        if centers.shape != (k, X32.shape[1]):
            raise ValueError(f"The shape of the initial centers {centers.shape} does not match "
                             f"the number of clusters {k} and features {X32.shape[1]}.")
        return _float32_c(centers)

    # ---- fitting -----------------------------------------------------------

    def fit(self, X, y=None, sample_weight=None, *, progress=None):
        """Compute k-means clustering.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data; float32 is used as it is, anything else converted.
        y : Ignored
            Not used, present for API consistency.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weight of each point in the centers, the counts and
            the inertia (an integer weight acts as that many copies of the
            row); None weighs every point 1.
        progress : callable or None, default=None
            Called after every iteration as ``progress(iteration, products,
            shift)``: the iteration's number, its point-center distances
            computed, and the summed squared center shifts.

        Returns
        -------
        self : KMeans
            The fitted estimator.
        """
        names = _feature_names(X)
        arr = _as_float_matrix(X)
        n_init = self._check_params(arr.shape[0])
        X32 = _float32_c(arr)
        weights = _check_sample_weight(sample_weight, X32.shape[0])
        rng = _check_random_state(self.random_state)
        tol = _mean_variance(X32) * self.tol
        if self.verbose:
            progress = self._printer(progress)
        best = None
        for run in range(n_init):
            init = self._initial_centers(X32, X, rng)
            if self.verbose:
                print(f"Initialization {run + 1} of {n_init} complete")
            result = _fit.lloyd(X32, init, int(self.max_iter), tol, self.n_threads or 0,
                                progress, weights)
            if best is None or result[2] < best[2]:
                best = result
        labels, centers, inertia, n_iter, products, points = best
        distinct = len(np.unique(labels))
        if distinct < self.n_clusters:
            warnings.warn(f"Number of distinct clusters ({distinct}) found smaller than "
                          f"n_clusters ({self.n_clusters}). Possibly due to duplicate points "
                          "in X.", ConvergenceWarning, stacklevel=2)
        self.cluster_centers_ = centers.astype(arr.dtype, copy=False)
        self.labels_ = labels
        self.inertia_ = float(inertia)
        self.n_iter_ = int(n_iter)
        self.products_per_iter_ = products
        self.points_per_iter_ = points
        self.n_features_in_ = arr.shape[1]
        if names is not None:
            self.feature_names_in_ = names
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        return self

    @staticmethod
    def _printer(then=None):
        def report(iteration, products, shift):
            print(f"Iteration {iteration}: {products} products, center shift {shift:.6g}")
            if then is not None:
                then(iteration, products, shift)
        return report

    def fit_predict(self, X, y=None):
        """Fit, then return the label of each training point.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data.
        y : Ignored
            Not used, present for API consistency.

        Returns
        -------
        labels : ndarray of shape (n_samples,)
            Index of the cluster each point belongs to.
        """
        return self.fit(X).labels_

    def fit_transform(self, X, y=None):
        """Fit, then return the distances of the training points to the centers.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data.
        y : Ignored
            Not used, present for API consistency.

        Returns
        -------
        distances : ndarray of shape (n_samples, n_clusters)
            Euclidean distances, in the dtype of X.
        """
        return self.fit(X).transform(X)

    # ---- using a fitted model ----------------------------------------------

    def _check_fitted_X(self, X):
        if not hasattr(self, "cluster_centers_"):
            raise _not_fitted(self)
        names = _feature_names(X)
        fitted_names = getattr(self, "feature_names_in_", None)
        if fitted_names is not None and names is not None and not np.array_equal(names,
                                                                                 fitted_names):
            raise ValueError("The feature names should match those that were passed during "
                             "fit.")
        if fitted_names is not None and names is None and hasattr(X, "shape"):
            warnings.warn(f"X does not have valid feature names, but {type(self).__name__} "
                          "was fitted with feature names", UserWarning, stacklevel=3)
        if fitted_names is None and names is not None:
            warnings.warn(f"X has feature names, but {type(self).__name__} was fitted without "
                          "feature names", UserWarning, stacklevel=3)
        arr = _as_float_matrix(X)
        if arr.shape[1] != self.n_features_in_:
            raise ValueError(f"X has {arr.shape[1]} features, but {type(self).__name__} is "
                             f"expecting {self.n_features_in_} features as input.")
        return arr

    def predict(self, X):
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
        arr = self._check_fitted_X(X)
        return _nearest(arr, self.cluster_centers_)[0]

    def transform(self, X):
        """Euclidean distances of the points of X to every center.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            New data.

        Returns
        -------
        distances : ndarray of shape (n_samples, n_clusters)
            In the dtype of X (float32 stays float32).
        """
        arr = self._check_fitted_X(X)
        return np.sqrt(_squared_distances(arr, self.cluster_centers_)).astype(arr.dtype)

    def score(self, X, y=None):
        """Opposite of the inertia of X against the fitted centers.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            New data.
        y : Ignored
            Not used, present for API consistency.

        Returns
        -------
        score : float
            Minus the sum of squared distances to the nearest centers.
        """
        arr = self._check_fitted_X(X)
        return -float(_nearest(arr, self.cluster_centers_)[1].sum())

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = False
        return tags


def _not_fitted(estimator):
    try:
        from sklearn.exceptions import NotFittedError
    except ImportError:  # pragma: no cover
        NotFittedError = type("NotFittedError", (ValueError, AttributeError), {})
    return NotFittedError(f"This {type(estimator).__name__} instance is not fitted yet. Call "
                          "'fit' with appropriate arguments before using this estimator.")
