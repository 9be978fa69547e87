# SPDX-License-Identifier: BSD-3-Clause
# cython: boundscheck=True, wraparound=False
"""Binding between Python and the tavrine numeric core.

``zozid_py`` checks its arguments with Cython's typed buffers, adds the
length checks the core relies on, and calls the C driver ``zozid``. Its
argument count is checked here, so that the error names the variant called.
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

from types import MappingProxyType

import numpy as np
cimport numpy as cnp
cimport cython
from libc.stdint cimport int32_t, int64_t

include "_status.pxi"

cnp.import_array()

cdef extern from "tavrine.h":
    int zozid(int n, int d, int k, const float *X, const float *Cen, int32_t *y,
              float tol, int64_t *count, int64_t *time, int max_iter, int verbose,
              int n_threads)
    int TAVRINE_MAX_ITER

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

    Iterates until the labels stop changing, until the centers stop moving
    (summed squared shifts at most 1e-6; the points are then relabelled once
    more against the last centers), or until 150 iterations have run (then
    also relabelled once more). The first iteration computes every
    point-center product; later ones only those of the centers the angle
    bound leaves as candidates, with the same labels plain Lloyd gives.

    A fused function: ``zozid_py["float"]`` is the float32 variant,
    ``zozid_py["double"]`` the float64 one; a call picks the variant from
    X's dtype.

    Parameters
    ----------
    X : ndarray of shape (n, d), float32, C-contiguous, writable
        Points, n >= 1. Not modified.
    Cen : ndarray of shape (k, d), float32, C-contiguous, writable
        Initial centers, k >= 1. Not modified; the final centers are not
        returned.
    y : ndarray of shape (>= n,), int32, contiguous
        Receives the label (0 .. k-1) of every point in y[:n].
    count : ndarray of shape (>= 150,), int64, contiguous
        Receives the work of each iteration: count[i] for iteration i + 1,
        one entry per iteration run (at most 150; the final relabelling is
        not counted), later entries left as they were. With k8 = k rounded
        up to a multiple of 8 (the centers are padded to k8 rows):
        count[0] = (n + k8) * k8, the n x k8 point-center products of the
        full first assignment and the k8 x k8 center-center products of
        the refresh after it; count[i] for i >= 1 is k8 * k8 plus the
        summed lengths of the points' candidate lists (each holds the
        point's own center, so the sum is at least n and at most n * k).
    time : ndarray of shape (>= 4,), int64, contiguous
        Receives four wall-clock totals in microseconds: time[0] all
        assignments (the final relabelling included), time[1] the center
        updates, time[2] the refreshes of center distances and bounds,
        time[3] the whole call (copies and allocations included, so at
        least the sum of the other three). Later entries are left as they
        were.
    verbose : bool
        Accepted but unused: nothing is printed.
    tol : float, default=1e-6
        Accepted but unused: the core stops on its fixed tolerance 1e-6.
    n_threads : int, default=20
        Accepted but unused: assignments and refreshes take the OpenMP
        runtime's thread count (``OMP_NUM_THREADS``), the center update
        its fixed team of 20.
    max_iter : int, default=100
        Accepted but unused: the core runs at most 150 iterations.

    Returns
    -------
    int or None
        The iteration in which the run stopped: 2 to 150, or 151 when it
        reached the cap. ``None`` for float64 input, whose arguments are
        converted and type-checked only (not the length checks): nothing is
        run or written.

    Raises
    ------
    TypeError
        Missing, surplus or unknown arguments; an X that is not a 2-D
        float32 or float64 array; count or time not an ndarray, or None.
    ValueError
        An array of the wrong dtype, dimensions or contiguity, or read-only;
        Cen and X with different column counts, y shorter than n, count
        shorter than 150 or time shorter than 4.
    IndexError
        An empty X, Cen or y, or None for X, Cen or y.
    MemoryError
        The working arrays do not fit in memory.
    """
    if cython.floating is double:
        return None
    else:
        return _run(X, Cen, y, count, time, verbose, tol, n_threads, max_iter)


# ---- Argument count -----------------------------------------------------------
#
# Cython 3 names the fused function, not the variant, in its argument-count
# errors. So zozid_py becomes a dispatcher over variants that check the count
# themselves and then call Cython's typed variants, which do the rest as
# before: conversions, type checks and their messages.

_ARG_NAMES = ("X", "Cen", "y", "count", "time", "verbose", "tol", "n_threads", "max_iter")
cdef Py_ssize_t N_REQUIRED = 6


def _variant_of_x(*args, cython.floating[:, ::1] X=None):
    """The signature Cython's dispatcher picks for X = args[0].

    X is declared as zozid_py declares it, so the dispatch is the same; given
    positionally it lands in args and is never converted.
    """
    return "float" if cython.floating is float else "double"


cdef _count_error(str name, str bound, Py_ssize_t expected, Py_ssize_t given):
    return TypeError("%.200s() takes %.8s %d positional argument%.1s (%d given)"
                     % (name, bound, expected, "" if expected == 1 else "s", given))


cdef _check_keywords(dict kwargs, Py_ssize_t given):
    """The keyword error Cython reports before a missing argument, if any."""
    for key in kwargs:
        if key in _ARG_NAMES[given:]:
            continue
        if key in _ARG_NAMES[:given]:
            raise TypeError(f"zozid_py() got multiple values for keyword argument '{key}'")
        raise TypeError(f"zozid_py() got an unexpected keyword argument '{key}'")


cdef _check_count(str name, tuple args, dict kwargs):
    # Cython's order: surplus positionals, then keywords, then the first
    # missing argument, reported with its position as the count given.
    cdef Py_ssize_t given = len(args), i
    if given > len(_ARG_NAMES):
        raise _count_error(name, "at most", len(_ARG_NAMES), given)
    for i in range(given, N_REQUIRED):
        if _ARG_NAMES[i] not in kwargs:
            _check_keywords(kwargs, given)
            raise _count_error(name, "at least", N_REQUIRED, i)


def _counted(typed):
    """typed behind a check of the argument count that names it."""
    name = typed.__name__

    def variant(*args, **kwargs):
        _check_count(name, args, kwargs)
        return typed(*args, **kwargs)

    variant.__name__ = name
    variant.__qualname__ = typed.__qualname__
    variant.__module__ = typed.__module__
    variant.__doc__ = typed.__doc__
    variant.__wrapped__ = typed
    return variant


class _FusedFunction:
    """Dispatches on X's dtype, as Cython's fused function does."""

    def __init__(self, typed):
        self._typed = typed
        self._variants = {sig: _counted(typed[sig]) for sig in typed.__signatures__}
        self.__name__ = typed.__name__
        self.__qualname__ = typed.__qualname__
        self.__module__ = typed.__module__
        self.__doc__ = typed.__doc__
        self.__wrapped__ = typed

    @property
    def __signatures__(self):
        return MappingProxyType(self._variants)

    def __getitem__(self, key):
        chosen = self._typed[key]
        for sig, typed in self._typed.__signatures__.items():
            if typed is chosen:
                return self._variants[sig]

    def __call__(self, *args, **kwargs):
        if args:
            x = args[0]
        elif "X" in kwargs:
            x = kwargs["X"]
        else:
            # Without X, Cython's dispatcher picks no variant: its own error.
            return self._typed(*args, **kwargs)
        return self._variants[_variant_of_x(x)](*args, **kwargs)

    # A method descriptor, so that help() and inspect treat it as a function.
    def __get__(self, obj, objtype=None):
        return self

    def __reduce__(self):
        return self.__qualname__

    def __repr__(self):
        return f"<fused function {self.__qualname__}>"


zozid_py = _FusedFunction(zozid_py)


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
    check_status(result, f"cluster n={X.shape[0]} points of d={X.shape[1]} "
                         f"around k={Cen.shape[0]} centers")
    return result
