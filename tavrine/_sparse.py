"""Sparse (CSR) input of tavrine.KMeans, never densified: the rows in the
core's form, greedy k-means++ on them, and the features' variance that scales
the tolerance.

CSR data are scaled by a power of two, as dense data are, but not centred:
centring would fill every zero. The core scores a row by one fused
multiply-add chain over its nonzeros, which is the dense chain of the
densified row, so labels stay exact.
"""
from __future__ import annotations

import numpy as np
import scipy.sparse as sp
from sklearn.utils.sparsefuncs import mean_variance_axis


class Rows:
    """CSR rows as the core clusters them: int64 indptr, int32 indices (each
    row's columns increasing and distinct), float32 values, each the float64
    product of X's value and `scale` rounded once. `X` (the canonical CSR
    matrix) is kept: its float64 values are the ones exact float64
    decisions would read."""

    def __init__(self, X, scale):
        self.X, self.scale, self.shape = X, scale, X.shape
        self.indptr = np.ascontiguousarray(X.indptr, dtype=np.int64)
        self.indices = np.ascontiguousarray(X.indices, dtype=np.int32)
        if scale == 1.0 and X.data.dtype == np.float32:
            self.values = np.ascontiguousarray(X.data)
        else:
            with np.errstate(over="ignore"):
                self.values = (X.data.astype(np.float64) * scale).astype(np.float32)

    def finite(self):
        """Whether every scaled value fits float32."""
        return bool(np.isfinite(self.values).all())

    def csr(self):
        """The scaled rows as a float32 CSR matrix (sharing the arrays)."""
        return sp.csr_matrix((self.values, self.indices, self.indptr), shape=self.shape)

    def dense(self, rows):
        """The given rows, densified: float32, C-ordered."""
        return np.ascontiguousarray(self.csr()[rows].toarray(), dtype=np.float32)

    def core_args(self):
        """What the binding's sparse entry points take before the centers."""
        return self.indptr, self.indices, self.values, self.shape[1]


def spread(X):
    """The largest |x| of a CSR matrix (0 for one without values)."""
    return float(np.abs(X.data).max()) if X.nnz else 0.0


def variance(X, scale):
    """Mean over features of the column variances of scale * X, in float64."""
    var = mean_variance_axis(X.astype(np.float64), axis=0)[1]
    return float(np.mean(var)) * scale * scale


def kmeans_plusplus(rows, k, rng, weights=None, n_local_trials=None):
    """Greedy k-means++ on the scaled rows (scikit-learn's draws): the first
    row drawn by weight, then per center `n_local_trials` candidates drawn by
    weight times squared distance to the nearest chosen row, keeping the one
    that lowers the weighted potential most. Sparse rows are scored against
    the densified candidates in float64. Returns the chosen rows' indices."""
    X = rows.csr()
    n = X.shape[0]
    w = np.ones(n) if weights is None else np.asarray(weights, dtype=np.float64)
    trials = n_local_trials or 2 + int(np.log(k))
    x_sq = np.asarray(X.multiply(X).sum(axis=1), dtype=np.float64).ravel()

    def sq_distances(candidates):
        C = X[candidates].toarray().astype(np.float64)
        cross = np.asarray(X @ C.T).T
        return np.maximum(x_sq[None, :] - 2.0 * cross + (C * C).sum(axis=1)[:, None], 0.0)

    chosen = [int(rng.choice(n, p=w / w.sum()))]
    closest = sq_distances(chosen)[0]
    potential = closest @ w
    for _ in range(1, k):
        draws = rng.uniform(size=trials) * potential
        # Strictly above the draw: a row of weight 0 is never drawn while another is left.
        candidates = np.minimum(np.searchsorted(np.cumsum(w * closest), draws, side="right"),
                                n - 1)
        dist = np.minimum(closest, sq_distances(candidates))
        potentials = dist @ w
        best = int(np.argmin(potentials))
        chosen.append(int(candidates[best]))
        closest, potential = dist[best], potentials[best]
    return np.array(chosen, dtype=np.intp)


def distinct_rows(X):
    """Distinct rows of a canonical CSR matrix (explicit zeros aside)."""
    X = X.copy()
    X.eliminate_zeros()
    ends = zip(X.indptr[:-1], X.indptr[1:])
    return len({(X.indices[a:b].tobytes(), X.data[a:b].tobytes()) for a, b in ends})
