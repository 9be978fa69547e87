"""Input checks of tavrine.KMeans and tavrine.dask.KMeans: scikit-learn's
validation, with one text per fault for both estimators (scikit-learn's own
where it has one).

NaN and infinity are found by the core's centring, which reads every value
anyway: a plain float array is neither copied nor scanned here, and only once
the centring has failed is X scanned again, to name the fault as
scikit-learn does.
"""
from __future__ import annotations

import numpy as np
import scipy.sparse as sp
from sklearn.utils import assert_all_finite
from sklearn.utils.validation import (_check_feature_names, _check_n_features,
                                      _check_sample_weight, check_array, check_is_fitted)

__all__ = ["FLOATS", "check_X", "canonical_csr", "check_lazy_X", "check_n_features", "check_n_samples",
           "check_init_shape", "check_weights", "check_is_fitted", "refuse_non_finite",
           "non_finite_error", "refuse_uncentred", "too_large", "too_spread"]

FLOATS = [np.float64, np.float32]  # float32 stays float32, anything else becomes float64


def _plain(X):
    """Whether X is a 2-D float32 or float64 ndarray holding values: what
    check_array would return as it is."""
    return type(X) is np.ndarray and X.ndim == 2 and X.dtype in FLOATS and X.size > 0


def check_X(X, estimator=None, *, reset=True, name="X", accept_sparse=False):
    """X as validate_data gives it, but for the finite check, left to the
    core's centring (canonical_csr for sparse X), and the width, which
    check_n_features checks once the centring has named a NaN (scikit-learn
    names it first). A plain array skips check_array's probes for
    dataframes, sparse matrices and array namespaces, and the names' check
    when none are on record. With `accept_sparse`, sparse X comes back CSR."""
    if estimator is not None and (not _plain(X) or hasattr(estimator, "feature_names_in_")):
        _check_feature_names(estimator, X, reset=reset)
    if _plain(X):
        return X
    return check_array(X, accept_sparse="csr" if accept_sparse else False, input_name=name,
                       estimator=estimator, dtype=FLOATS, ensure_all_finite=False)


def canonical_csr(X, name="X", estimator=None):
    """CSR X with each row's columns increasing and distinct (duplicates
    summed on a copy: the caller's matrix is never modified), its values
    refused in scikit-learn's words when not finite."""
    refuse_non_finite(X.data, name, estimator)
    if not X.has_canonical_format:
        X = X.copy()
        X.sum_duplicates()
        refuse_non_finite(X.data, name, estimator)  # duplicates may sum past the dtype
    return X


def check_lazy_X(X, estimator, *, reset):
    """A Dask array's form, refused in check_array's words where it has them,
    without reading a value."""
    context = f" by {type(estimator).__name__}"
    reshape = ("Reshape your data either using array.reshape(-1, 1) if your data has a "
               "single feature or array.reshape(1, -1) if it contains a single sample.")
    if X.ndim < 2:
        got = "scalar" if X.ndim == 0 else "1D"
        raise ValueError(f"Expected 2D array, got {got} array instead:\narray={X}.\n{reshape}")
    if X.ndim > 2:
        raise ValueError(f"Found array with dim {X.ndim}, while dim <= 2 is required{context}.")
    if X.dtype.kind == "c":
        raise ValueError(f"Complex data not supported\n{X}\n")
    if X.dtype.kind not in "biuf":
        raise ValueError(f"Expected real numbers, got dtype {X.dtype}.")
    if sp.issparse(getattr(X, "_meta", None)):
        raise TypeError(f"tavrine.dask.{type(estimator).__name__} takes dense blocks only; for "
                        "sparse data, fit tavrine.KMeans on a scipy.sparse CSR matrix.")
    if any(np.isnan(c) for c in X.chunks[0]):
        raise ValueError("X needs known chunk sizes; call X.compute_chunk_sizes() first.")
    for count, what in zip(X.shape, ("sample", "feature")):
        if count < 1:
            raise ValueError(f"Found array with {count} {what}(s) (shape={X.shape}) while a "
                             f"minimum of 1 is required{context}.")
    _check_feature_names(estimator, X, reset=reset)  # a Dask array has none


def check_n_features(estimator, X, *, reset):
    """scikit-learn's record or check of X's width; for new data, a NaN in X
    is named before a wrong width, as validate_data names it."""
    if not reset and X.shape[1] != getattr(estimator, "n_features_in_", X.shape[1]):
        if isinstance(X, np.ndarray):
            refuse_non_finite(X, "X", estimator)
    _check_n_features(estimator, X, reset=reset)


def check_n_samples(n_samples, n_clusters):
    if n_samples < n_clusters:
        raise ValueError(f"n_samples={n_samples} should be >= n_clusters={n_clusters}.")


def check_init_shape(centers, n_clusters, n_features):
    """scikit-learn's checks of explicit initial centers (2-D from check_X)."""
    if centers.shape == (n_clusters, n_features):
        return
    refuse_non_finite(centers, "init")  # scikit-learn checks the values first
    if centers.shape[0] != n_clusters:
        raise ValueError(f"The shape of the initial centers {centers.shape} does not match "
                         f"the number of clusters {n_clusters}.")
    raise ValueError(f"The shape of the initial centers {centers.shape} does not match "
                     f"the number of features of the data {n_features}.")


def check_weights(sample_weight, X):
    """(float64 weights, the core's float32 copy) after scikit-learn's checks
    (length, finite, >= 0, not all 0) and the core's (finite and not all 0
    in float32); (None, None) for None."""
    if sample_weight is None:
        return None, None
    sw = _check_sample_weight(sample_weight, X, dtype=np.float64, ensure_non_negative=True)
    with np.errstate(over="ignore"):
        sw32 = sw.astype(np.float32)
    if not np.isfinite(sw32).all():
        raise ValueError("sample_weight contains a value too large for dtype('float32').")
    if not sw32.any():
        raise ValueError("sample_weight has no weight that is non-zero in float32.")
    return sw, sw32


def _estimator_name(estimator):
    return estimator if estimator is None or isinstance(estimator, str) else type(
        estimator).__name__


def refuse_non_finite(X, name="X", estimator=None):
    """scikit-learn's own error for a NaN or infinity in X, if it holds one
    (`estimator`: the estimator or its class name, for the error's advice)."""
    # Its quick check sums X, which overflows for finite data far apart.
    with np.errstate(over="ignore", invalid="ignore"):
        assert_all_finite(X, input_name=name, estimator_name=_estimator_name(estimator))


def non_finite_error(nan, dtype, name="X", estimator=None):
    """The error refuse_non_finite raises for data of `dtype` holding a NaN
    (`nan`) or else an infinity, for data that are not in memory."""
    try:
        refuse_non_finite(np.array([np.nan if nan else np.inf], dtype=dtype), name, estimator)
    except ValueError as exc:
        return exc
    raise AssertionError("a NaN or an infinity passed the finite check")


def too_large(name):
    return ValueError(f"Input {name} contains a value too large for dtype('float32') "
                      "once centred and scaled as the training data were.")


def too_spread(name):
    return ValueError(f"Input {name} cannot be clustered: its values are so far apart that "
                      "their column sums or their differences from the column means "
                      "overflow float64.")


def refuse_uncentred(X, centred, finite, name="X", estimator=None, own_mean=False):
    """Refuses X whose centring (`centred`, None when float64 overflowed, and
    `finite`) failed: a NaN or infinity in scikit-learn's words, else values
    too far apart for float64 (X centred on its `own_mean`) or beyond
    float32 once centred."""
    if finite:
        return
    refuse_non_finite(X, name, estimator)
    raise too_spread(name) if own_mean and centred is None else too_large(name)
