# SPDX-License-Identifier: BSD-3-Clause
# cython: boundscheck=True, wraparound=False
"""Binding between Python and the tavrine numeric core.

``zozid_py`` checks its arguments with Cython's typed buffers, adds the
length checks the core relies on, and calls the C driver ``zozid``.
"""

cdef extern from *:
    """
    static int tavrine_cpu_ok(void) {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }
    """
    int tavrine_cpu_ok()

# This file is compiled without AVX2, so the test runs before any kernel can.
if not tavrine_cpu_ok():
    raise ImportError(
        "tavrine needs a processor with AVX2 and FMA instructions; this one lacks them")

import numpy as np
cimport numpy as cnp
cimport cython
from libc.stdint cimport int32_t, int64_t

cnp.import_array()

cdef extern from "tavrine.h":
    int zozid(int n, int d, int k, const float *X, const float *Cen, int32_t *y,
              float tol, int64_t *count, int64_t *time, int max_iter, int verbose,
              int n_threads)
    int TAVRINE_MAX_ITER
    int TAVRINE_ERR_NOMEM

# Largest size whose round-up to a multiple of 8 still fits a 32-bit int.
cdef Py_ssize_t MAX_DIM = 2147483647 - 7


cdef _check_run_arrays(Py_ssize_t n, Py_ssize_t d, Py_ssize_t k, Py_ssize_t cen_d,
                       Py_ssize_t n_y, object count, object time):
    """Length and size checks that keep the core inside the caller's arrays."""
    if cen_d != d:
        raise ValueError(f"Cen has {cen_d} columns but X has {d}; they must be equal")
    if n_y < n:
        raise ValueError(f"y has {n_y} entries but X has n={n} rows; y needs n entries")
    for name, arr, need in (("count", count, TAVRINE_MAX_ITER), ("time", time, 4)):
        if arr is None:
            raise TypeError(f"Argument '{name}' must be a numpy.ndarray of int64, not None")
        if arr.shape[0] < need:
            raise ValueError(
                f"{name} has {arr.shape[0]} entries but needs at least {need}")
        if arr.strides[0] != 8:
            raise ValueError(f"{name} must be contiguous (stride {arr.strides[0]} bytes, "
                             f"expected 8)")
    for name, size in (("n", n), ("d", d), ("k", k)):
        if size > MAX_DIM:
            raise ValueError(f"{name}={size} exceeds the largest supported size {MAX_DIM}")


def zozid_py(cython.floating[:, ::1] X, cython.floating[:, ::1] Cen, int[::1] y,
             cnp.ndarray[cnp.int64_t, ndim=1] count, cnp.ndarray[cnp.int64_t, ndim=1] time,
             bint verbose, float tol=1e-6, int n_threads=20, int max_iter=100):
    """Cluster the rows of X around the initial centers Cen (Lloyd's k-means).

    Parameters
    ----------
    X : ndarray of shape (n, d), float32, C-contiguous, writable
        Points. Not modified.
    Cen : ndarray of shape (k, d), float32, C-contiguous, writable
        Initial centers. Not modified; the final centers are not returned.
    y : ndarray of shape (n,), int32, contiguous
        Receives the label (0 .. k-1) of every point.
    count : ndarray of shape (>= 150,), int64, contiguous
        Receives the number of point-center and center-center products of
        each iteration.
    time : ndarray of shape (>= 4,), int64, contiguous
        Receives assignment, center-update, refresh and total time in
        microseconds.
    verbose : bool
        Accepted; no output depends on it.
    tol : float, default=1e-6
        Accepted; the core stops on its own fixed tolerance.
    n_threads : int, default=20
        Accepted; the thread count follows the OpenMP runtime's settings.
    max_iter : int, default=100
        Accepted; the core stops after at most 150 iterations.

    Returns
    -------
    int or None
        The iteration in which the run stopped (2 to 150, or 151 when it
        reached the cap); ``None`` for float64 input, which is validated only.
    """
    if cython.floating is double:
        return None
    else:
        return _run(X, Cen, y, count, time, verbose, tol, n_threads, max_iter)


cdef object _run(float[:, ::1] X, float[:, ::1] Cen, int[::1] y,
                 cnp.ndarray[cnp.int64_t, ndim=1] count, cnp.ndarray[cnp.int64_t, ndim=1] time,
                 bint verbose, float tol, int n_threads, int max_iter):
    cdef float *x_ptr = &X[0, 0]
    cdef float *cen_ptr = &Cen[0, 0]
    cdef int32_t *y_ptr = <int32_t *> &y[0]
    _check_run_arrays(X.shape[0], X.shape[1], Cen.shape[0], Cen.shape[1], y.shape[0],
                      count, time)
    cdef int result = zozid(<int> X.shape[0], <int> X.shape[1], <int> Cen.shape[0],
                            x_ptr, cen_ptr, y_ptr, tol, <int64_t *> &count[0],
                            <int64_t *> &time[0], max_iter, verbose, n_threads)
    if result == TAVRINE_ERR_NOMEM:
        raise MemoryError(
            f"not enough memory to cluster n={X.shape[0]} points of d={X.shape[1]} "
            f"around k={Cen.shape[0]} centers")
    return result
