"""Padded storage, chunk partitions, label comparison and array printing."""
import ctypes

import numpy as np
import pytest

from conftest import F32P, F64P, I32P, VOIDP, aligned_zeros, bind, c_bool, c_int

align_padding = bind("align_padding", VOIDP, VOIDP, c_int, c_int, c_bool)
free_array = bind("free_array", None, VOIDP)
aligned = bind("aligned", c_bool, VOIDP)
malloc_align = bind("malloc_align", VOIDP, c_int)
arr_equal = bind("arr_equal", c_bool, I32P, I32P, c_int)


class ChunkPar(ctypes.Structure):
    _fields_ = [("chunk_size", ctypes.c_int), ("n_chunks", ctypes.c_int)]


init_chunk_par = bind("init_chunk_par", c_int, ctypes.POINTER(ChunkPar), c_int, c_int)


def padded_from_core(src, pad_rows):
    rows, cols = src.shape
    d8 = (cols + 7) & ~7
    out_rows = (rows + 7) & ~7 if pad_rows else rows
    p = align_padding(src.ctypes.data, rows, cols, pad_rows)
    assert p % 32 == 0
    buf = (ctypes.c_float * (out_rows * d8)).from_address(p)
    result = np.frombuffer(buf, dtype=np.float32).reshape(out_rows, d8).copy()
    free_array(p)
    return result


@pytest.mark.parametrize("rows,cols", [(10, 3), (10, 8), (10, 13), (10, 5), (16, 5), (1, 17)])
@pytest.mark.parametrize("pad_rows", [False, True])
def test_padding_copies_and_zero_fills(rows, cols, pad_rows):
    rng = np.random.default_rng(rows * 100 + cols)
    # The source sits at the very end of a guarded page-sized buffer, with
    # NaN right after it: a read past the end would show up as NaN in the pad.
    guard = np.full(rows * cols + 64, np.nan, dtype=np.float32)
    src = guard[:rows * cols].reshape(rows, cols)
    src[...] = rng.standard_normal((rows, cols))
    out = padded_from_core(src, pad_rows)
    d8 = (cols + 7) & ~7
    expect_rows = (rows + 7) & ~7 if pad_rows else rows
    assert out.shape == (expect_rows, d8)
    np.testing.assert_array_equal(out[:rows, :cols], src)
    assert not np.isnan(out).any()
    assert np.all(out[:, cols:] == 0.0) and np.all(out[rows:] == 0.0)


def test_padding_of_zero_rows_gives_an_allocation():
    src = np.zeros((1, 4), np.float32)
    p = align_padding(src.ctypes.data, 0, 4, False)
    assert p is not None and p % 32 == 0
    free_array(p)


def test_alignment_and_aligned_allocation():
    assert aligned(0x1000 + 0x20) and not aligned(0x1000 + 0x10)
    p = malloc_align(1000)
    assert p % 32 == 0
    free_array(p)


@pytest.mark.parametrize("total,max_chunk,size,chunks",
                         [(100, 64, 64, 2), (64, 64, 64, 1), (10, 64, 10, 1), (257, 256, 256, 2),
                          (1000, 56, 56, 18), (168, 8, 8, 21)])
def test_chunk_partition(total, max_chunk, size, chunks):
    par = ChunkPar()
    assert init_chunk_par(ctypes.byref(par), total, max_chunk) == chunks
    assert (par.chunk_size, par.n_chunks) == (size, chunks)


def test_arr_equal():
    a = np.arange(10, dtype=np.int32)
    b = a.copy()
    assert arr_equal(a, b, 10) and arr_equal(a, b, 0)
    b[9] = -1
    assert not arr_equal(a, b, 10) and arr_equal(a, b, 9)


def test_printing_formats(capfd):
    a = np.arange(6, dtype=np.float32).reshape(2, 3)
    bind("print_arr", None, F32P, c_int, c_int, c_int, c_int)(a, 2, 3, 5, 2)
    bind("print_arr_double", None, F64P, c_int, c_int, c_int, c_int)(a.astype(np.float64), 2, 3, 1, 9)
    bind("print_arr_int", None, I32P, c_int, c_int, c_int, c_int)(a.astype(np.int32), 2, 3, 2, 1)
    out = capfd.readouterr().out
    assert out == ("A[0, 0] = 0.000000, A[0, 1] = 1.000000, \n"
                   "A[1, 0] = 3.000000, A[1, 1] = 4.000000, \n"
                   "A[0, 0] = 0.000000, A[0, 1] = 1.000000, A[0, 2] = 2.000000, \n"
                   "A[0, 0] = 0, \nA[1, 0] = 3, \n")
