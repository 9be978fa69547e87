"""Shared test helpers: the core's exported C functions through ctypes.

The core is loaded from the installed module's shared object, or from the
path in TAVRINE_CORE_LIB (a development build), so kernels are tested by
their exported names.
"""
import ctypes
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))

# Large and slow runs live in heavy/ and run from .ci/heavy.sh.
collect_ignore_glob = [] if os.environ.get("TAVRINE_HEAVY") else ["heavy/*"]

F32P = np.ctypeslib.ndpointer(np.float32, flags="C_CONTIGUOUS")
I32P = np.ctypeslib.ndpointer(np.int32, flags="C_CONTIGUOUS")
I64P = np.ctypeslib.ndpointer(np.int64, flags="C_CONTIGUOUS")
F64P = np.ctypeslib.ndpointer(np.float64, flags="C_CONTIGUOUS")
c_int, c_float, c_bool, c_int64 = ctypes.c_int, ctypes.c_float, ctypes.c_bool, ctypes.c_int64
VOIDP = ctypes.c_void_p


def core_path():
    path = os.environ.get("TAVRINE_CORE_LIB")
    if path:
        # A development build has no bundled OpenBLAS beside it: load the
        # wheel's copy first so the module's dependency resolves by soname.
        import scipy_openblas32

        lib = os.path.join(scipy_openblas32.get_lib_dir(), scipy_openblas32.get_library(True))
        ctypes.CDLL(lib, mode=ctypes.RTLD_GLOBAL)
        return path
    import tavrine.viza_

    return tavrine.viza_.__file__


_LIB = None


def load_core():
    global _LIB
    if _LIB is None:
        # Lazy binding: a development build may lack functions not yet written.
        _LIB = ctypes.CDLL(core_path(), mode=os.RTLD_LAZY)
    return _LIB


def bind(name, restype, *argtypes):
    """The exported C function `name` with its ctypes signature."""
    fn = getattr(load_core(), name)
    fn.restype = restype
    fn.argtypes = list(argtypes)
    return fn


@pytest.fixture(params=[8, 16], ids=["8lanes", "16lanes"])
def lanes(request):
    """The core's kernels forced to 8 lanes (AVX2) and to 16 (AVX-512, skipped
    where the processor lacks it); the load-time width comes back afterwards."""
    width = bind("tavrine_simd_width", c_int, c_int)
    default = width(-1)
    if width(request.param) != request.param:
        pytest.skip("the processor has no AVX-512")
    yield request.param
    assert width(default) == default


def aligned_zeros(shape, dtype=np.float32, align=32):
    """A C-contiguous zero array whose data starts on an `align`-byte boundary."""
    dtype = np.dtype(dtype)
    nbytes = int(np.prod(shape)) * dtype.itemsize
    raw = np.zeros(nbytes + align, dtype=np.uint8)
    off = (-raw.ctypes.data) % align
    return raw[off:off + nbytes].view(dtype).reshape(shape)


def aligned_copy(a, align=32):
    out = aligned_zeros(a.shape, a.dtype, align)
    out[...] = a
    return out


def round8(x):
    return (x + 7) & ~7


def pad(a, rows=None):
    """Zero-padded, 32-byte-aligned copy: columns to a multiple of 8, rows to `rows`."""
    a = np.asarray(a, dtype=np.float32)
    n, d = a.shape
    out = aligned_zeros((n if rows is None else rows, round8(d)))
    out[:n, :d] = a
    return out


class FastVar(ctypes.Structure):
    _fields_ = [(name, ctypes.c_void_p) for name in (
        "D_CC", "COS_OCiCj", "SIN_OCiCj", "COS_OCX", "SIN_OCX", "r2", "D_NC", "mask",
        "mask_count")]


def fast_var_view(fv, n, k8):
    """NumPy views of the nine arrays of a filled FastVar record."""
    def view(addr, count, ctype, shape):
        arr = np.ctypeslib.as_array(ctypes.cast(addr, ctypes.POINTER(ctype)), shape=(count,))
        return arr.reshape(shape)
    f, i = ctypes.c_float, ctypes.c_int32
    return {
        "D_CC": view(fv.D_CC, k8 * k8, f, (k8, k8)),
        "COS_OCiCj": view(fv.COS_OCiCj, k8 * k8, f, (k8, k8)),
        "SIN_OCiCj": view(fv.SIN_OCiCj, k8 * k8, f, (k8, k8)),
        "COS_OCX": view(fv.COS_OCX, n, f, (n,)),
        "SIN_OCX": view(fv.SIN_OCX, n, f, (n,)),
        "r2": view(fv.r2, n, f, (n,)),
        "D_NC": view(fv.D_NC, n * k8, f, (n, k8)),
        "mask": view(fv.mask, n * k8, i, (n, k8)),
        "mask_count": view(fv.mask_count, n, i, (n,)),
    }


@pytest.fixture(scope="session")
def lib():
    return load_core()
