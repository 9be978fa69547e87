"""The exported helpers of the center update (core/fixed/center.cpp): adding
arrays and whole 8-float groups, the per-center shifts, atomic accumulation,
averaging and splitting weights into segments.

Sums are checked bit for bit against NumPy's float32 sums, the shifts
against float64.
"""
import ctypes
import mmap
import os
import threading

import numpy as np
import pytest

from conftest import F32P, F64P, I32P, VOIDP, aligned_zeros, bind, c_int

F32 = np.float32
MAP_FIXED = 0x10  # Linux value; the mmap module does not export it

array_add = bind("array_add_m256", None, F32P, F32P, F32P, c_int)
center_shift = bind("my_center_shift", None, F32P, F32P, c_int, c_int, F32P)
merge_wc = bind("merge_wc", None, F32P, F32P, c_int)
merge_centers = bind("merge_centers", None, F32P, F32P, c_int, c_int)
atomic_add = bind("atomic_add_array", None, VOIDP, F32P, c_int)
average_centers = bind("average_centers", None, F32P, F32P, c_int, c_int)
seg_arr = bind("seg_arr", c_int, I32P, c_int, c_int, I32P, I32P, F64P)


def test_vector_helpers_against_numpy():
    rng = np.random.default_rng(3)
    for length in (0, 7, 128, 135, 136, 300):
        a = aligned_zeros(max(length, 1))
        b = aligned_zeros(max(length, 1))
        a[:] = rng.standard_normal(a.shape)
        b[:] = rng.standard_normal(b.shape)
        expect = a + b
        out = b.copy() if length == 0 else aligned_zeros(b.shape)
        array_add(a, b, out, length)
        np.testing.assert_array_equal(out[:length], expect[:length])
    old = aligned_zeros((8, 16))
    new = aligned_zeros((8, 16))
    old[:] = rng.standard_normal(old.shape)
    new[:] = rng.standard_normal(new.shape)
    shift = np.full(12, -1.0, np.float32)
    center_shift(old, new, 8, 16, shift)
    np.testing.assert_allclose(shift[:8], ((new.astype(np.float64) - old) ** 2).sum(1), rtol=1e-6)
    np.testing.assert_array_equal(shift[8:], -1.0)


def integer_array(shape, seed):
    out = aligned_zeros(shape)
    out[...] = np.random.default_rng(seed).integers(-50, 50, shape)
    return out


@pytest.mark.parametrize("length", [12, 64, 72, 130])
def test_merge_wc_adds_whole_vectors(length):
    dst, src = integer_array(160, 1), integer_array(160, 2)
    before = dst.copy()
    merge_wc(dst, src, length)
    covered = (length + 7) // 8 * 8
    np.testing.assert_array_equal(dst[:covered], before[:covered] + src[:covered])
    np.testing.assert_array_equal(dst[covered:], before[covered:])


@pytest.mark.parametrize("n_rows,row_len", [(10, 16), (8, 8), (17, 24), (0, 16)])
def test_merge_centers_adds_whole_row_groups(n_rows, row_len):
    dst, src = integer_array((32, row_len), 3), integer_array((32, row_len), 4)
    before = dst.copy()
    merge_centers(dst, src, n_rows, row_len)
    rows = (n_rows + 7) // 8 * 8
    np.testing.assert_array_equal(dst[:rows], before[:rows] + src[:rows])
    np.testing.assert_array_equal(dst[rows:], before[rows:])


def test_average_centers():
    centers = np.array([[4.0, 6.0], [1.0, 0.0], [-3.0, 9.0]], F32)
    counts = np.array([2.0, 0.0, 3.0], F32)
    average_centers(centers, counts, 3, 2)
    np.testing.assert_array_equal(centers[0], [2.0, 3.0])
    assert centers[1, 0] == np.inf and np.isnan(centers[1, 1])  # count 0: 1.0 / 0.0 = +inf
    np.testing.assert_array_equal(centers[2], np.array([-3.0, 9.0], F32) * (F32(1) / F32(3)))


@pytest.fixture
def one_page_many_times():
    """64 consecutive virtual pages that all map one physical page: a long call
    sweeps the same floats again and again, so threads calling at once keep
    meeting on the same elements (on a plain array their sweeps run apart)."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = [VOIDP, ctypes.c_size_t, c_int, c_int, c_int, ctypes.c_long]
    libc.munmap.argtypes = [VOIDP, ctypes.c_size_t]
    page, n_pages = mmap.PAGESIZE, 64
    fd = os.memfd_create("atomic_add_array")
    os.ftruncate(fd, page)
    rw = mmap.PROT_READ | mmap.PROT_WRITE
    base = libc.mmap(None, n_pages * page, rw, mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
    assert base not in (None, ctypes.c_void_p(-1).value)
    for p in range(n_pages):
        at = base + p * page
        assert libc.mmap(at, page, rw, mmap.MAP_SHARED | MAP_FIXED, fd, 0) == at
    os.close(fd)
    view = np.ctypeslib.as_array(ctypes.cast(base, ctypes.POINTER(ctypes.c_float)), (page // 4,))
    yield base, n_pages, view
    libc.munmap(base, n_pages * page)


def test_atomic_add_array_loses_no_update(one_page_many_times):
    # Four threads add 1.0 to every float of the page 64 times per call (ctypes
    # drops the GIL). Whole floats below 2^24 add exactly, so a lost update
    # shows; a plain read-add-store loop loses thousands here.
    base, n_pages, page = one_page_many_times
    n_threads, calls, length = 4, 200, n_pages * page.size
    ones = np.ones(length, F32)
    start = threading.Barrier(n_threads)

    def work():
        start.wait()
        for _ in range(calls):
            atomic_add(base, ones, length)

    threads = [threading.Thread(target=work) for _ in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    np.testing.assert_array_equal(page, np.full(page.size, n_threads * calls * n_pages, F32))

    src, part = np.random.default_rng(0).standard_normal(37).astype(F32), np.full(40, 0.5, F32)
    atomic_add(part.ctypes.data, src, 37)
    np.testing.assert_array_equal(part, np.r_[F32(0.5) + src, np.full(3, 0.5, F32)])


def segments(weights, n_seg):
    w = np.asarray(weights, np.int32)
    size = max(n_seg, 1)
    start, end = np.full(size, -9, np.int32), np.full(size, -9, np.int32)
    sums = np.full(size, -9.0)
    count = seg_arr(w, len(w), n_seg, start, end, sums)
    return count, list(zip(start[:count], end[:count], sums[:count])), (start, end, sums)


@pytest.mark.parametrize("weights,n_seg,expected", [
    ([1, 1, 1, 1, 1, 1], 3, [(0, 2, 2.0), (2, 4, 2.0), (4, 6, 2.0)]),
    ([1, 5, 1, 1], 2, [(0, 2, 6.0), (2, 4, 2.0)]),
    # One segment: it closes at the first shortfall, takes every position, keeps its sum.
    ([3, 1, 4, 1, 5], 1, [(0, 5, 14.0)]),
    ([5, -3, 1], 1, [(0, 3, 5.0)]),
    # The positions run out before n_seg segments close.
    ([4, 4], 5, [(0, 1, 4.0), (1, 2, 4.0)]),
    # 9 would overshoot the target 6.0 by more than the shortfall 4.0: close early.
    ([1, 1, 9, 1], 2, [(0, 2, 2.0), (2, 4, 9.0)]),
])
def test_seg_arr_worked_examples(weights, n_seg, expected):
    count, segs, _ = segments(weights, n_seg)
    assert count == len(expected)
    assert [(int(s), int(e), float(v)) for s, e, v in segs] == expected


@pytest.mark.parametrize("weights,n_seg", [([], 3), ([1, 2, 3], 0), ([1, 2, 3], -2)])
def test_seg_arr_degenerate_writes_nothing(weights, n_seg):
    count, _, (start, end, sums) = segments(weights, n_seg)
    assert count == 0
    assert np.all(start == -9) and np.all(end == -9) and np.all(sums == -9.0)
