# SPDX-License-Identifier: BSD-3-Clause
# cython: boundscheck=False, wraparound=False
"""Binding of the core's fit and nearest-center entry points for the estimator.

Arrays arrive here already validated (C-contiguous float32, sizes checked);
the run releases the GIL and reacquires it only to report progress.
"""
import numpy as np
cimport numpy as cnp
from libc.stdint cimport int32_t, int64_t, uint64_t

include "_status.pxi"

cnp.import_array()

cdef extern from "tavrine.h" nogil:
    ctypedef void (*tavrine_progress)(void *user, int iteration, int64_t products, double shift,
                                      double inertia, int stop)
    ctypedef struct tavrine_f64:
        const double *X
        const double *mean
        double scale
        const double *centers
        double *centers_out
        int64_t rescored
        const double *weights
    int tavrine_fit(int n, int d, int k, const float *X, const double *mean, double scale,
                    const float *weights, const float *Cen,
                    int32_t *y, float *centers_out, double *inertia, int64_t *count,
                    int64_t *points, int64_t *time, int max_iter, float tol, int n_threads,
                    tavrine_progress progress, void *user, int inertia_each, tavrine_f64 *f64)
    int tavrine_assign(int n, int d, int k, const float *X, const float *centers,
                       int32_t *labels, float *min_dist, float *all_dist, int n_threads)
    int tavrine_fit_sparse(int n, int d, int k, const int64_t *indptr, const int32_t *indices,
                           const float *values, const float *weights, const float *Cen,
                           int32_t *y, float *centers_out, double *inertia, int64_t *count,
                           int64_t *points, int64_t *time, int max_iter, float tol,
                           int n_threads, tavrine_progress progress, void *user,
                           int inertia_each)
    int tavrine_assign_sparse(int n, int d, int k, const int64_t *indptr,
                              const int32_t *indices, const float *values,
                              const float *centers, int32_t *labels, float *min_dist,
                              float *all_dist, int n_threads)
    int64_t tavrine_drift_check(int level)
    int tavrine_simd_width(int request)
    int tavrine_tile_products(int request)
    int tavrine_kmeanspp(int n, int d, int k, const float *X, const float *weights,
                         int n_local_trials, uint64_t seed, float *centers_out,
                         int32_t *indices_out, int n_threads)
    int tavrine_random_init(int n, int d, int k, const float *X, uint64_t seed,
                            float *centers_out, int32_t *indices_out)
    int tavrine_centre_f32(int n, int d, const float *X, int64_t ld, double *mean,
                           int find_mean, double *spread, double scale, float *out,
                           double *variance, int n_threads)
    int tavrine_centre_f64(int n, int d, const double *X, int64_t ld, double *mean,
                           int find_mean, double *spread, double scale, float *out,
                           double *variance, int n_threads)

    ctypedef struct tavrine_block:
        pass
    tavrine_block *tavrine_block_new(int n)
    void tavrine_block_free(tavrine_block *b)
    const int32_t *tavrine_block_labels(const tavrine_block *b)
    int tavrine_block_assign(tavrine_block *b, int d, int k, const float *X,
                             const float *weights, const float *centers, int full,
                             int n_threads, double *sums, double *counts, uint64_t *digest,
                             int64_t *products, const tavrine_f64 *f64)
    int tavrine_block_inertia(tavrine_block *b, const float *X, const float *weights,
                              const float *centers, int n_threads, double *inertia,
                              const tavrine_f64 *f64)
    int tavrine_block_farthest(const tavrine_block *b, int d, const float *X,
                               const float *weights, int count, double *out_dist,
                               int32_t *out_index, const tavrine_f64 *f64)


# How a run stopped, as the last progress report gives it.
STOP_LABELS, STOP_SHIFT, STOP_CAP = 1, 2, 3


cdef void _report(void *user, int iteration, int64_t products, double shift, double inertia,
                  int stop) noexcept with gil:
    state = <list> user
    if state[1] is not None:
        return
    try:
        state[0](iteration, products, shift, inertia, stop)
    except BaseException as exc:  # re-raised once the run is over
        state[1] = exc


cdef class _Run:
    """What one run of the loop fills (labels, centers, work per iteration,
    timers) and how it reports progress; `finish` turns its status into
    lloyd's return value."""
    cdef object labels, centers, count, points, time, state
    cdef int32_t[::1] y
    cdef float[:, ::1] c
    cdef int64_t[::1] count_v, points_v, time_v
    cdef tavrine_progress report
    cdef double inertia
    cdef int max_iter

    def __cinit__(self, int n, int k, int d, int max_iter, progress):
        self.labels, self.centers = np.empty(n, np.int32), np.empty((k, d), np.float32)
        self.count = np.zeros(max(max_iter, 1), np.int64)
        self.points = np.zeros(max(max_iter, 1), np.int64)
        self.time = np.zeros(4, np.int64)
        self.y, self.c = self.labels, self.centers
        self.count_v, self.points_v, self.time_v = self.count, self.points, self.time
        self.state = [progress, None]
        self.report = NULL
        if progress is not None:
            self.report = _report
        self.inertia, self.max_iter = 0.0, max_iter

    def finish(self, int status, what, tol, centers=None):
        check_status(status, what, f"with max_iter={self.max_iter}, tol={tol}")
        if self.state[1] is not None:
            raise self.state[1]
        n_iter = min(status, self.max_iter)
        return (self.labels, self.centers if centers is None else centers, self.inertia, n_iter,
                self.count[:n_iter].copy(), self.points[:n_iter].copy())


def lloyd(const float[:, ::1] X, const float[:, ::1] init, int max_iter, float tol,
          int n_threads, progress=None, sample_weight=None, bint inertia_each=False,
          mean=None, double scale=1.0, X64=None, init64=None, mean64=None,
          double scale64=1.0, sample_weight64=None, dict stats=None):
    """Run Lloyd iterations from `init` until labels settle, shifts <= tol, or max_iter.

    With `mean` (float64, shape (d,)) X is read in place and clustered as
    float32(scale * (X - mean)), each difference taken in float64 as
    `centre` takes it; `init`, the centers and the inertia are in those units.

    With `X64` (the float64 rows X was made from, C-contiguous), `mean64`
    and `scale64` (X = float32(scale64 * (X64 - mean64))) and `init64` (the
    initial centers in those units, float64; `init` is then ignored), every
    label is the double first minimum for those rows, and the centers
    (float64) and the inertia are taken in double, with `sample_weight64`
    (float64, shape (n,)) in place of `sample_weight` when given. `stats`, a dict, receives
    "rescored" (assignments decided in double) and "time_us" (assignment,
    update, setup, whole run).

    `sample_weight` is None or a float32 array of shape (n,), non-negative.
    `n_threads` <= 0 uses the OpenMP runtime's count. `progress`, if given,
    is called after each center update as ``progress(iteration, products,
    shift, inertia, stop)``: inertia is NaN unless `inertia_each`; stop is 0
    or the STOP_* reason the run ends.

    Returns
    -------
    labels : ndarray of int32, shape (n,)
    centers : ndarray of float32, shape (k, d)
    inertia : float
        Weighted sum of squared distances to the returned centers.
    n_iter : int
        Iterations run (at most max_iter).
    products : ndarray of int64, shape (n_iter,)
        Point-center distances computed in each iteration.
    points : ndarray of int64, shape (n_iter,)
        Points that passed the global filter in each iteration.
    """
    cdef int n = X.shape[0], d = X.shape[1], k = init.shape[0]
    if init.shape[1] != d:
        raise ValueError(f"init has {init.shape[1]} features, X has {d}")
    cdef const float[::1] w_v
    cdef const double[::1] m_v
    cdef const float *w_ptr = NULL
    cdef const double *m_ptr = NULL
    if mean is not None:
        m_v = mean
        if m_v.shape[0] != d:
            raise ValueError(f"mean has {m_v.shape[0]} entries, X has {d} columns")
        m_ptr = &m_v[0]
    if sample_weight is not None:
        w_v = sample_weight
        if w_v.shape[0] != n:
            raise ValueError(f"sample_weight has {w_v.shape[0]} entries, X has {n} rows")
        w_ptr = &w_v[0]
    cdef tavrine_f64 exact
    cdef tavrine_f64 *exact_ptr = NULL
    cdef const double[:, ::1] x64_v
    cdef const double[:, ::1] i64_v
    cdef const double[::1] m64_v
    cdef double[:, ::1] c64_v
    cdef const double[::1] w64_v
    if X64 is not None:
        x64_v = X64
        i64_v = init64
        m64_v = mean64
        if x64_v.shape[0] != n or x64_v.shape[1] != d or i64_v.shape[0] != k or \
                i64_v.shape[1] != d or m64_v.shape[0] != d:
            raise ValueError("X64, init64 and mean64 must match X and init")
        centers64 = np.empty((k, d), np.float64)
        c64_v = centers64
        exact.X = &x64_v[0, 0]
        exact.mean = &m64_v[0]
        exact.scale = scale64
        exact.centers = &i64_v[0, 0]
        exact.centers_out = &c64_v[0, 0]
        exact.rescored = 0
        exact.weights = NULL
        if sample_weight64 is not None:
            w64_v = sample_weight64
            if w64_v.shape[0] != n:
                raise ValueError(f"sample_weight64 has {w64_v.shape[0]} entries, X has {n} rows")
            exact.weights = &w64_v[0]
        exact_ptr = &exact
    cdef _Run run = _Run(n, k, d, max_iter, progress)
    cdef int result
    with nogil:
        result = tavrine_fit(n, d, k, &X[0, 0], m_ptr, scale, w_ptr, &init[0, 0], &run.y[0],
                             &run.c[0, 0], &run.inertia, &run.count_v[0], &run.points_v[0],
                             &run.time_v[0], max_iter, tol, n_threads, run.report,
                             <void *> run.state, inertia_each, exact_ptr)
    if stats is not None:
        stats["rescored"] = exact.rescored if exact_ptr != NULL else 0
        stats["time_us"] = run.time
    return run.finish(result, f"cluster n={n} points of d={d} around k={k} centers", tol,
                      centers64 if X64 is not None else None)


cdef class _Labels:
    """What an assignment fills: labels, the distance to the labelled center
    and, when asked for, the distances to every center."""
    cdef object labels, min_dist, all_dist
    cdef int32_t[::1] y
    cdef float[::1] m
    cdef float[:, ::1] a
    cdef float *a_ptr

    def __cinit__(self, int n, int k, bint all_distances):
        self.labels, self.min_dist = np.empty(n, np.int32), np.empty(n, np.float32)
        self.y, self.m = self.labels, self.min_dist
        self.all_dist = None
        self.a_ptr = NULL
        if all_distances:
            self.all_dist = np.empty((n, k), np.float32)
            self.a = self.all_dist
            self.a_ptr = &self.a[0, 0]

    def result(self):
        if self.all_dist is None:
            return self.labels, self.min_dist
        return self.labels, self.min_dist, self.all_dist


cdef class _Rows:
    """CSR rows as the core takes them: int64 indptr, int32 indices (each
    row's columns strictly increasing), float32 values, d columns."""
    cdef const int64_t[::1] indptr
    cdef const int32_t[::1] indices
    cdef const float[::1] values
    cdef int n, d
    cdef const int32_t *idx
    cdef const float *val

    def __cinit__(self, const int64_t[::1] indptr, const int32_t[::1] indices,
                  const float[::1] values, int d):
        self.indptr, self.indices, self.values = indptr, indices, values
        self.n, self.d = indptr.shape[0] - 1, d
        if self.n < 1 or indptr[0] != 0 or indptr[self.n] != indices.shape[0] \
                or values.shape[0] != indices.shape[0]:
            raise ValueError(f"indptr ({indptr.shape[0]} entries, from {indptr[0]} to "
                             f"{indptr[self.n]}) does not frame {indices.shape[0]} indices "
                             f"and {values.shape[0]} values")
        # An empty matrix has no first element to point at; the core reads none.
        self.idx = &indices[0] if indices.shape[0] else <const int32_t *> &indptr[0]
        self.val = &values[0] if values.shape[0] else <const float *> &indptr[0]


def lloyd_sparse(indptr, indices, values, int d, const float[:, ::1] init, int max_iter,
                 float tol, int n_threads, progress=None, sample_weight=None,
                 bint inertia_each=False):
    """`lloyd` on CSR rows (see _Rows), their values already scaled as they
    are to be clustered; returns what `lloyd` returns."""
    rows = _Rows(indptr, indices, values, d)
    cdef _Rows R = rows
    cdef int n = R.n, k = init.shape[0]
    if init.shape[1] != d:
        raise ValueError(f"init has {init.shape[1]} features, X has {d}")
    cdef const float[::1] w_v
    cdef const float *w_ptr = NULL
    if sample_weight is not None:
        w_v = sample_weight
        if w_v.shape[0] != n:
            raise ValueError(f"sample_weight has {w_v.shape[0]} entries, X has {n} rows")
        w_ptr = &w_v[0]
    cdef _Run run = _Run(n, k, d, max_iter, progress)
    cdef int result
    with nogil:
        result = tavrine_fit_sparse(n, d, k, &R.indptr[0], R.idx, R.val, w_ptr, &init[0, 0],
                                    &run.y[0], &run.c[0, 0], &run.inertia, &run.count_v[0],
                                    &run.points_v[0], &run.time_v[0], max_iter, tol, n_threads,
                                    run.report, <void *> run.state, inertia_each)
    return run.finish(result, f"cluster n={n} sparse rows of d={d} around k={k} centers", tol)


def assign_sparse(indptr, indices, values, int d, const float[:, ::1] centers, int n_threads,
                  bint all_distances=False):
    """`assign` on CSR rows (see _Rows), scored as lloyd_sparse scores them."""
    rows = _Rows(indptr, indices, values, d)
    cdef _Rows R = rows
    cdef int n = R.n, k = centers.shape[0], status
    if centers.shape[1] != d:
        raise ValueError(f"centers have {centers.shape[1]} features, X has {d}")
    cdef _Labels out = _Labels(n, k, all_distances)
    with nogil:
        status = tavrine_assign_sparse(n, d, k, &R.indptr[0], R.idx, R.val, &centers[0, 0],
                                       &out.y[0], &out.m[0], out.a_ptr, n_threads)
    check_status(status, f"label n={n} sparse rows of d={d} by k={k} centers")
    return out.result()


def assign(const float[:, ::1] X, const float[:, ::1] centers, int n_threads,
           bint all_distances=False):
    """Nearest center of every row, by the scores the fit labels with.

    Returns
    -------
    labels : ndarray of int32, shape (n,)
    min_dist : ndarray of float32, shape (n,)
        Squared distance to the labelled center.
    all_dist : ndarray of float32, shape (n, k)
        Squared distances to every center; only with `all_distances`.
    """
    cdef int n = X.shape[0], d = X.shape[1], k = centers.shape[0], status
    if centers.shape[1] != d:
        raise ValueError(f"centers have {centers.shape[1]} features, X has {d}")
    cdef _Labels out = _Labels(n, k, all_distances)
    with nogil:
        status = tavrine_assign(n, d, k, &X[0, 0], &centers[0, 0], &out.y[0], &out.m[0],
                                out.a_ptr, n_threads)
    check_status(status, f"label n={n} points of d={d} by k={k} centers")
    return out.result()


def centre(X, mean=None, scale=1.0, bint variance=False, int n_threads=0, bint write=True):
    """float32 copy of scale * (X - mean), X 2-D float32 or float64 and mean
    its float64 column means, each difference taken in float64. Rows read in
    place when each is contiguous and they come in increasing order at a
    fixed step (a slice of columns, say); other layouts are copied first.

    `mean` None: X's own column means are found and returned, and `scale`
    may be a function of the spread (the largest |x - mean|, finite) that
    gives the factor; one pass over X finds both before the pass that
    writes. With `variance`, also the mean over columns of the scaled
    squared differences' column means. Without `write`, no copy is made (out
    is None) and only the means, scale, variance and finiteness are found.

    Returns
    -------
    out : ndarray of float32, shape (n, d), or None
        None when the means or the spread are not finite.
    mean : ndarray of float64, shape (d,)
    scale : float
    variance : float or None
    finite : bool
        Whether the means, the spread and every value of `out` are finite:
        False for a NaN or infinity in X, a float64 sum or difference that
        overflows, or a scaled difference too large for float32.
    """
    cdef int n = X.shape[0], d = X.shape[1], status
    cdef Py_ssize_t size = X.itemsize, step = X.strides[0] if n > 1 else d * size
    if d > 1 and X.strides[1] != size or step % size or step < d * size:
        X = np.ascontiguousarray(X)
        step = d * size
    cdef int64_t ld = step // size
    cdef const float[:, :] x32
    cdef const double[:, :] x64
    cdef bint single = X.dtype == np.float32
    if single:
        x32 = X
    else:
        x64 = X
    cdef bint find_mean = mean is None
    if find_mean:
        mean = np.empty(d, np.float64)
    elif mean.shape != (d,) or mean.dtype != np.float64 or not mean.flags.c_contiguous:
        raise ValueError(f"mean must be a contiguous float64 array of {d} values")
    if n == 0 or d == 0:
        if find_mean:
            raise ValueError("an array without values has no column means")
        return np.empty((n, d), np.float32), mean, float(scale), None, True
    # Read-only when given (a fitted model may live in a read-only memory map).
    cdef const double[::1] m_v = mean
    cdef double *m_ptr = <double *> &m_v[0]
    cdef double spread = 0.0
    if find_mean:
        with nogil:
            if single:
                status = tavrine_centre_f32(n, d, &x32[0, 0], ld, m_ptr, 1, &spread, 1.0, NULL,
                                            NULL, n_threads)
            else:
                status = tavrine_centre_f64(n, d, &x64[0, 0], ld, m_ptr, 1, &spread, 1.0, NULL,
                                            NULL, n_threads)
        check_status(status, f"find the column means of n={n} rows of d={d} features")
        if status:
            return None, mean, float("nan"), None, False
        if callable(scale):
            scale = scale(spread)
    cdef double factor = scale
    out = np.empty((n, d), np.float32) if write else None
    cdef float[:, ::1] o_v = out
    cdef float *o_ptr = &o_v[0, 0] if write else NULL
    cdef double var = 0.0
    cdef double *var_ptr = &var if variance else NULL
    with nogil:
        if single:
            status = tavrine_centre_f32(n, d, &x32[0, 0], ld, m_ptr, 0, NULL, factor, o_ptr,
                                        var_ptr, n_threads)
        else:
            status = tavrine_centre_f64(n, d, &x64[0, 0], ld, m_ptr, 0, NULL, factor, o_ptr,
                                        var_ptr, n_threads)
    check_status(status, f"centre n={n} rows of d={d} features", f"with scale={factor!r}")
    return out, mean, factor, var if variance else None, status == 0


def drift_check(int level):
    """Test switch of this module's fit: 1 checks every assignment against a
    full scan and every bound against float64 distances, 2 also drops the
    drifts, 0 stops checking. Returns the faults found since the last call."""
    return tavrine_drift_check(level)


def _simd_width(int request=-1):
    """Lanes of the product and label-scan kernels: 8 forces AVX2, 16 takes
    AVX-512 where the processor has it, -1 only asks. Returns the width in
    use. Not to be changed while a run is going on."""
    return tavrine_simd_width(request)


def _tile_products(int request=-1):
    """Whether the estimates and the k-means++ test run on AMX tiles (where
    the processor has them): 1 turns them on, 0 off, -1 only asks. The
    results are the same either way. Not to be changed while a run is going
    on."""
    return bool(tavrine_tile_products(request))


cdef _seed(const float[:, ::1] X, int k, int n_local_trials, uint64_t seed, bint plusplus,
           const float[::1] weights=None, int n_threads=0):
    """Runs one of the core's seedings; returns (centers, indices)."""
    cdef int n = X.shape[0], d = X.shape[1], status
    cdef const float *w = NULL
    if weights is not None:
        if weights.shape[0] != n:
            raise ValueError(f"sample_weight has {weights.shape[0]} entries, X has {n} rows")
        w = &weights[0]
    centers = np.empty((k, d), np.float32)
    indices = np.empty(k, np.int32)
    cdef float[:, ::1] c_v = centers
    cdef int32_t[::1] i_v = indices
    with nogil:
        if plusplus:
            status = tavrine_kmeanspp(n, d, k, &X[0, 0], w, n_local_trials, seed, &c_v[0, 0],
                                      &i_v[0], n_threads)
        else:
            status = tavrine_random_init(n, d, k, &X[0, 0], seed, &c_v[0, 0], &i_v[0])
    check_status(status, f"seed k={k} centers from n={n} points of d={d} features",
                 "" if w == NULL else "with weights that are finite, >= 0 and not all 0")
    return centers, indices


def kmeanspp(const float[:, ::1] X, int k, int n_local_trials, uint64_t seed,
             const float[::1] sample_weight=None, int n_threads=0):
    """Greedy k-means++ in the core, weighted by `sample_weight` (float32,
    one per row) when given, on at most `n_threads` threads (0: the OpenMP
    runtime's count); returns (centers, indices)."""
    return _seed(X, k, n_local_trials, seed, True, sample_weight, n_threads)


def random_init(const float[:, ::1] X, int k, uint64_t seed):
    """k distinct random rows of X; returns (centers, indices)."""
    return _seed(X, k, 0, seed, False)


cdef class Block:
    """One block of `n` rows: its labels and bounds, kept between iterations."""
    cdef tavrine_block *b
    cdef readonly int n, k
    cdef readonly bint labelled

    def __cinit__(self, int n):
        if n < 1:
            raise ValueError(f"a block needs at least one row, got {n}")
        self.b = tavrine_block_new(n)
        if self.b == NULL:
            raise MemoryError(f"not enough memory for a block of {n} rows")
        self.n = n
        self.k = 0
        self.labelled = False

    def __dealloc__(self):
        tavrine_block_free(self.b)

    cdef tavrine_f64 *_float64(self, tavrine_f64 *f, const double[:, ::1] X64,
                               const double[:, ::1] centers64, const double[::1] weights64,
                               int k, int d) except? NULL:
        """f filled from the float64 rows, centers (k x d, or None) and
        weights; NULL without rows."""
        if X64 is None:
            return NULL
        if X64.shape[0] != self.n or X64.shape[1] != d:
            raise ValueError(f"X64 has shape ({X64.shape[0]}, {X64.shape[1]}), expected "
                             f"({self.n}, {d})")
        f.X = &X64[0, 0]
        f.mean = NULL
        f.scale = 1.0
        f.centers = NULL
        f.centers_out = NULL
        f.rescored = 0
        f.weights = NULL
        if centers64 is not None:
            if centers64.shape[0] != k or centers64.shape[1] != d:
                raise ValueError("centers64 must have the shape of centers")
            f.centers = &centers64[0, 0]
        if weights64 is not None:
            if weights64.shape[0] != self.n:
                raise ValueError(f"weights64 has {weights64.shape[0]} entries, expected {self.n}")
            f.weights = &weights64[0]
        return f

    cdef const float *_weights(self, const float[::1] w) except? NULL:
        if w is None:
            return NULL
        if w.shape[0] != self.n:
            raise ValueError(f"sample_weight has {w.shape[0]} entries, expected {self.n}")
        return &w[0]

    def assign(self, const float[:, ::1] X, const float[:, ::1] centers, bint full,
               int n_threads, const float[::1] sample_weight=None,
               const double[:, ::1] X64=None, const double[:, ::1] centers64=None,
               const double[::1] weights64=None):
        """Assign the rows to their nearest centers on `n_threads` threads.

        Pruned by the bounds kept from the previous call unless `full` or the
        block has none. `sample_weight`: float32, one per row, or None. With
        `X64` and `centers64` (float64; X and centers their float32 copies)
        the labels and sums are those of the float64 rows and centers, and
        `weights64` (float64) replaces `sample_weight`.

        Returns
        -------
        sums : ndarray of float64, shape (k, d)
            Weighted sum of each center's member rows.
        counts : ndarray of float64, shape (k,)
            Summed weight (or number) of each center's members.
        digest : int
            64-bit digest of the new labels.
        products : int
            Point-center products computed.
        """
        cdef int d = X.shape[1], k = centers.shape[0]
        if X.shape[0] != self.n:
            raise ValueError(f"X has shape ({X.shape[0]}, {d}), expected ({self.n}, {d})")
        if centers.shape[1] != d:
            raise ValueError(f"centers have {centers.shape[1]} features, X has {d}")
        cdef const float *w = self._weights(sample_weight)
        cdef tavrine_f64 exact
        cdef tavrine_f64 *f = self._float64(&exact, X64, centers64, weights64, k, d)
        if f != NULL and centers64 is None:
            raise ValueError("X64 needs centers64")
        sums = np.zeros((k, d), np.float64)
        counts = np.zeros(k, np.float64)
        cdef double[:, ::1] s_v = sums
        cdef double[::1] c_v = counts
        cdef uint64_t digest = 0
        cdef int64_t products = 0
        cdef int status
        with nogil:
            status = tavrine_block_assign(self.b, d, k, &X[0, 0], w, &centers[0, 0], full,
                                          n_threads, &s_v[0, 0], &c_v[0], &digest, &products, f)
        self.labelled = status == 0
        self.k = k if self.labelled else 0
        check_status(status, f"assign a block of {self.n} rows to k={k} centers")
        return sums, counts, int(digest), int(products)

    def inertia(self, const float[:, ::1] X, const float[:, ::1] centers, int n_threads,
                const float[::1] sample_weight=None, const double[:, ::1] X64=None,
                const double[:, ::1] centers64=None, const double[::1] weights64=None):
        """Weighted sum of squared distances of the rows to their labelled
        centers (of the float64 rows and centers, when given)."""
        if not self.labelled:
            raise ValueError("the block has no labels yet")
        if X.shape[0] != self.n or centers.shape[0] != self.k or centers.shape[1] != X.shape[1]:
            raise ValueError(f"X has shape ({X.shape[0]}, {X.shape[1]}) and centers "
                             f"({centers.shape[0]}, {centers.shape[1]}), expected {self.n} "
                             f"rows and {self.k} centers of as many features")
        cdef const float *w = self._weights(sample_weight)
        cdef tavrine_f64 exact
        cdef tavrine_f64 *f = self._float64(&exact, X64, centers64, weights64, self.k, X.shape[1])
        if f != NULL and centers64 is None:
            raise ValueError("X64 needs centers64")
        cdef double total = 0.0
        cdef int status
        with nogil:
            status = tavrine_block_inertia(self.b, &X[0, 0], w, &centers[0, 0], n_threads, &total,
                                           f)
        check_status(status, f"measure a block of {self.n} rows",
                     "with the kind of rows of its last assignment")
        return total

    def farthest(self, const float[:, ::1] X, int count, const float[::1] sample_weight=None,
                 const double[:, ::1] X64=None, const double[::1] weights64=None):
        """The rows farthest from the centers of the last assignment.

        At most `count` rows of positive weight at a positive squared
        distance from their labelled center, farthest first, ties by lower row.

        Returns
        -------
        dist : ndarray of float64
            Squared distances (float differences summed in double).
        index : ndarray of int32
            The rows, in the block.
        """
        if not self.labelled:
            raise ValueError("the block has no labels yet")
        if X.shape[0] != self.n:
            raise ValueError(f"X has {X.shape[0]} rows, expected {self.n}")
        if count < 0:
            raise ValueError(f"count must be >= 0, got {count}")
        cdef const float *w = self._weights(sample_weight)
        cdef tavrine_f64 exact
        cdef tavrine_f64 *f = self._float64(&exact, X64, None, weights64, self.k, X.shape[1])
        dist = np.empty(max(count, 1), np.float64)
        index = np.empty(max(count, 1), np.int32)
        cdef double[::1] d_v = dist
        cdef int32_t[::1] i_v = index
        cdef int found
        with nogil:
            found = tavrine_block_farthest(self.b, X.shape[1], &X[0, 0], w, count, &d_v[0],
                                           &i_v[0], f)
        check_status(found, f"find the farthest of a block of {self.n} rows",
                     "with the features of its last assignment")
        return dist[:found], index[:found]

    def labels(self):
        """A copy of the block's labels (int32, -1 before the first assignment)."""
        cdef const int32_t *y = tavrine_block_labels(self.b)
        return np.asarray(<const int32_t[:self.n]> y).copy()
