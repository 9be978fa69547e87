"""The core's centring (tavrine_centre_f32/_f64) against float64 NumPy, and
the estimator's errors that rest on its finite check."""
import ctypes
import math

import numpy as np
import pytest
from conftest import F32P, F64P, VOIDP, bind, c_int, c_int64

from tavrine import KMeans

DOUBLE_OUT = ctypes.POINTER(ctypes.c_double)


def centre(X, mean=None, variance=True, n_threads=1, scale=1.0, write=True):
    """Calls the core on X's rows where they are (each row contiguous);
    returns (status, out, mean, variance, spread), out None unless `write`."""
    assert X.strides[1] == X.itemsize
    name = "tavrine_centre_f32" if X.dtype == np.float32 else "tavrine_centre_f64"
    fn = bind(name, c_int, c_int, c_int, VOIDP, c_int64, F64P, c_int, DOUBLE_OUT,
              ctypes.c_double, VOIDP, DOUBLE_OUT, c_int)
    n, d = X.shape
    find = mean is None
    mean = np.full(d, np.nan) if find else mean.copy()
    out = np.full((n, d), np.nan, np.float32) if write else None
    var, spread = ctypes.c_double(np.nan), ctypes.c_double(np.nan)
    status = fn(n, d, X.ctypes.data, X.strides[0] // X.itemsize, mean, int(find),
                ctypes.byref(spread), scale, None if out is None else out.ctypes.data,
                ctypes.byref(var) if variance else None, n_threads)
    return status, out, mean, var.value, spread.value


def exact_mean(X):
    return np.array([math.fsum(col) for col in X.astype(np.float64).T]) / len(X)


# Rows around the 1024-row blocks, columns around the 8- and 4-wide steps,
# rows packed or spaced (the first d columns of wider rows).
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("n, d, width", [(1, 1, 1), (7, 3, 5), (1024, 8, 8), (1025, 13, 13),
                                         (5000, 64, 65), (2100, 4, 4)])
def test_centring_against_float64_numpy(dtype, n, d, width):
    rng = np.random.default_rng(n * 100 + d)
    # Far from the origin and unevenly spread: float32 sums or a lost block show.
    X = rng.standard_normal((n, width)) * rng.uniform(0.1, 50, width)
    X = (X + rng.uniform(-1e4, 1e4, width)).astype(dtype)[:, :d]
    X64 = X.astype(np.float64)
    status, out, mean, var, spread = centre(X)
    assert status == 0
    want = exact_mean(X)
    # Rounding of a float64 sum leaves a few ulps of the mean magnitude; a
    # float32 sum, or a row lost or counted twice, is off by millions.
    assert np.all(np.abs(mean - want) <= 32 * np.spacing(np.abs(X64).mean(0)))
    np.testing.assert_array_equal(out, (X64 - mean).astype(np.float32))
    assert var == pytest.approx(((X64 - mean) ** 2).mean(0).mean(), rel=1e-12)
    assert spread == np.abs(X64 - mean).max()
    # The scale multiplies the float64 differences before the rounding, and
    # the variance is of the scaled values; the spread is of the data.
    scale = 2.0 ** -(7 + n % 5)
    status, out, again, var, spread = centre(X, scale=scale)
    assert status == 0 and np.array_equal(again, mean)
    assert spread == np.abs(X64 - mean).max()
    np.testing.assert_array_equal(out, (scale * (X64 - mean)).astype(np.float32))
    assert var == pytest.approx(((scale * (X64 - mean)) ** 2).mean(0).mean(), rel=1e-12)
    # The means alone, without a copy, as a caller picking the scale asks.
    status, none, alone, _, spread = centre(X, variance=False, write=False)
    assert status == 0 and none is None and np.array_equal(alone, mean)
    assert spread == np.abs(X64 - mean).max()
    # A given mean is read, not replaced, and the variance is of that mean.
    other = want + rng.uniform(-3, 3, d)
    status, out, kept, var, _ = centre(X, other)
    assert status == 0 and np.array_equal(kept, other)
    np.testing.assert_array_equal(out, (X64 - other).astype(np.float32))
    assert var == pytest.approx(((X64 - other) ** 2).mean(0).mean(), rel=1e-12)
    status, out, _, var, _ = centre(X, other, variance=False)
    assert status == 0 and math.isnan(var)
    np.testing.assert_array_equal(out, (X64 - other).astype(np.float32))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_centring_is_the_same_on_one_and_two_threads(dtype):
    # 9.1e6 values: the thread policy gives a call asking for two threads both.
    # Magnitudes over twelve decades, so that float64 sums round and their
    # order shows.
    rng = np.random.default_rng(5)
    scale = 10.0 ** rng.integers(-6, 7, (70001, 1))
    X = (rng.standard_normal((70001, 130)) * scale + 1e3).astype(dtype)
    one = centre(X, n_threads=1)
    two = centre(X, n_threads=2)
    assert one[0] == two[0] == 0
    assert np.array_equal(one[2], two[2]) and one[3] == two[3]
    np.testing.assert_array_equal(one[1], two[1])
    mean = one[2] + 0.5
    np.testing.assert_array_equal(centre(X, mean, n_threads=1)[1],
                                  centre(X, mean, n_threads=2)[1])


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("col", [2, 9])  # within the 8-wide steps, and in the tail
def test_non_finite_values_are_reported(dtype, col):
    rng = np.random.default_rng(col)
    X = rng.standard_normal((3000, 11)).astype(dtype)
    assert centre(X)[0] == 0
    for value in (np.nan, np.inf, -np.inf):
        bad = X.copy()
        bad[2500, col] = value
        assert centre(bad)[0] == 1
        assert centre(bad, np.zeros(11), variance=False)[0] == 1
    # Finite input whose difference leaves float32's range once centred.
    top = float(np.finfo(np.float32).max)
    wide = X.copy()
    wide[:3, col] = [top, -top, -top]  # mean about -top / 3000: top - mean overflows
    assert centre(wide)[0] == 1
    wide[:3000, col] = np.where(np.arange(3000) % 2, top, -top)  # mean 0: fits
    assert centre(wide)[0] == 0
    assert centre(wide, np.full(11, top / 2), variance=False)[0] == 1  # -top - top / 2
    if dtype == np.float64:
        big = X.copy()
        big[7, col] = 1e39
        assert centre(big)[0] == 1
        assert centre(big, np.zeros(11), variance=False)[0] == 1
        big[7, col] = 3e38  # fits float32
        assert centre(big, np.zeros(11))[0] == 0
        # Scaled into float32's range, 1e39 fits; scaled beyond it, 1 does not.
        assert centre(big, scale=2.0 ** -10)[0] == 0
        assert centre(X, np.zeros(11), scale=2.0 ** 130, variance=False)[0] == 1
        # float64 overflow: a column sum, or a difference from a finite mean.
        top = np.finfo(np.float64).max
        over = X.astype(np.float64)
        over[:, col] = top / 2
        assert centre(over, variance=False, write=False)[0] == 1
        over[:5, col] = [-top, top, -top, top, top]  # the first four add up to 0
        over[5:, col] = 0.0
        status, _, mean, _, spread = centre(over, variance=False, write=False)
        assert status == 1 and np.isfinite(mean).all() and spread == np.inf


def test_scale_must_be_a_positive_finite_number():
    X = np.ones((4, 3))
    for scale in (0.0, -1.0, np.inf, np.nan):
        assert centre(X, scale=scale)[0] == -2  # TAVRINE_ERR_ARGS


def test_estimator_errors_for_values_the_centring_refuses():
    rng = np.random.default_rng(0)
    X = rng.standard_normal((40, 4))
    km = KMeans(3, n_init=1, random_state=0).fit(X)
    huge = X.copy()
    # Finite in float64, so scikit-learn's validation lets it through; scaled
    # as X was, still beyond float32.
    huge[5, 1] = 1e40
    for call in (km.predict, km.transform, km.score):
        with pytest.raises(ValueError, match="too large for dtype\\('float32'\\) once"):
            call(huge)
    # scikit-learn's own messages and order: a NaN is named before a wrong
    # width, an infinity in the dtype the data were validated in.
    wide_nan = rng.standard_normal((5, 6))
    wide_nan[1, 1] = np.nan
    with pytest.raises(ValueError, match="Input X contains NaN"):
        km.predict(wide_nan)
    with pytest.raises(ValueError, match="X has 6 features, but KMeans is expecting 4"):
        km.predict(np.ones((5, 6)))
    inf32 = X.astype(np.float32)
    inf32[0, 0] = np.inf
    with pytest.raises(ValueError, match="infinity or a value too large for dtype\\('float32'\\)"):
        km.predict(inf32)
    # A weight error still comes before the data that cannot be clustered.
    apart = X.copy()
    top = np.finfo(np.float64).max
    apart[:5, 0] = [-top, top, -top, top, top]  # -top - mean overflows
    with pytest.raises(ValueError, match="Negative values"):
        KMeans(3).fit(apart, sample_weight=-np.ones(40))
