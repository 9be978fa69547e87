"""Dense product kernels and the packed product at both kernel widths.

Products are checked against float64 NumPy (a[:, :kw] @ b[:, :kw].T with kw
the whole blocks of eight that the blocked kernels use), and where the order
of the float32 operations is fixed, bit for bit against a NumPy replay of it.
"""
import numpy as np
import pytest

from conftest import F32P, VOIDP, aligned_zeros, bind, c_float, c_int
from tavrine import _fit

F32 = np.float32
SENTINEL = F32(7.25)

kernel_ori = bind("kernel_ori", None, VOIDP, c_int, VOIDP, c_int, VOIDP, c_int, c_int, c_float)
micro_kernel = bind("micro_kernel", None, c_int, c_int, c_int, VOIDP, c_int, VOIDP, c_int, VOIDP,
                    c_int, c_float)
_BLOCKED = ("macro_kernel", "gemm", "gemm_mul_p")
blocked = {name: bind(name, None, c_int, c_int, c_int, VOIDP, c_int, VOIDP, c_int, VOIDP, c_int,
                      c_float) for name in _BLOCKED}
hybrid = bind("masked_gemm_hybrid", None, F32P, F32P, VOIDP, c_int, c_int, c_int, F32P)
myblas = bind("gemm_myblas", None, c_int, c_int, c_int, F32P, F32P, F32P, c_float)

NOT_MULTIPLE = "n or k is not a multiple of 8"
NOT_ALIGNED = "input arr a or b is not aligned"


def addr(arr, shift=0):
    return arr.ctypes.data + 4 * shift


def operands(m, n, k, lda, ldb, ldc, seed=0, a_shift=0):
    """Aligned strided a (m x lda), b (n x ldb) and a sentinel-filled c (m x ldc).

    a's data starts a_shift floats past a 32-byte boundary."""
    rng = np.random.default_rng(seed)
    a_buf = aligned_zeros(m * lda + a_shift + 8)
    a = a_buf[a_shift:a_shift + m * lda].reshape(m, lda)
    b = aligned_zeros((n, ldb))
    a[:, :k] = rng.uniform(-1, 1, (m, k))
    b[:, :k] = rng.uniform(-1, 1, (n, k))
    c = aligned_zeros((m, ldc))
    c[...] = SENTINEL
    return a, b, c


def call_blocked(name, m, n, k, a, b, c, alpha):
    blocked[name](m, n, k, addr(a), a.shape[1], addr(b), b.shape[1], addr(c), c.shape[1], alpha)


def product64(a, b, kw, alpha):
    a64, b64 = a[:, :kw].astype(np.float64), b[:, :kw].astype(np.float64)
    return alpha * (a64 @ b64.T), abs(alpha) * (np.abs(a64) @ np.abs(b64).T)


def assert_product(c, a, b, n, k, alpha):
    """Columns of whole groups hold alpha a b^T over whole k blocks; the rest is untouched."""
    nw, kw = n // 8 * 8, k // 8 * 8
    ref, scale = product64(a, b, kw, alpha)
    err = np.abs(c[:, :nw] - ref[:, :nw])
    assert np.all(err <= 1e-5 * scale[:, :nw] + 1e-30), err.max()
    assert np.all(c[:, nw:] == SENTINEL)


def stderr_messages(capfd):
    return [line.split(":")[0] for line in capfd.readouterr().err.splitlines()]


# ---- Blocked products --------------------------------------------------------


@pytest.mark.parametrize("name", _BLOCKED)
@pytest.mark.parametrize("m,n,k,alpha", [
    (1, 8, 8, 1.0), (17, 16, 64, -2.0), (17, 12, 24, 0.5), (16, 24, 12, -2.0),
    (40, 16, 520, 1.0), (9, 8, 1024, -2.0), (33, 5, 16, 1.0), (0, 16, 16, 1.0),
])
def test_blocked_matches_float64(name, m, n, k, alpha, capfd):
    # Odd ldb and ldc: rows of b and c may start anywhere.
    a, b, c = operands(max(m, 1), n, k, lda=k + 8 - k % 8, ldb=k + 3, ldc=n + 5)
    call_blocked(name, m, n, k, a, b, c, alpha)
    assert_product(c[:m], a[:m], b, n, k, alpha)
    assert np.all(c[m:] == SENTINEL)
    expected = [NOT_MULTIPLE] if (n | k) & 7 and name != "macro_kernel" else []
    assert stderr_messages(capfd) == expected


@pytest.mark.parametrize("name", _BLOCKED)
@pytest.mark.parametrize("n,k,a_shift,lda,messages", [
    (16, 64, 1, 65, [NOT_ALIGNED]), (16, 64, 3, 64, [NOT_ALIGNED]), (16, 64, 0, 67, []),
    (12, 12, 1, 17, [NOT_MULTIPLE, NOT_ALIGNED]),
])
def test_misaligned_rows_of_a(name, n, k, a_shift, lda, messages, capfd):
    # a_shift moves a itself off its boundary (the only case reported); an odd
    # lda moves every other row. Either way the rows are read correctly.
    a, b, c = operands(19, n, k, lda=lda, ldb=k, ldc=n, a_shift=a_shift)
    call_blocked(name, 19, n, k, a, b, c, -2.0)
    assert_product(c, a, b, n, k, -2.0)
    assert stderr_messages(capfd) == ([] if name == "macro_kernel" else messages)


@pytest.mark.parametrize("k", [0, 4])
def test_short_k(k):
    a, b, c_gemm = operands(17, 12, k, lda=8, ldb=8, ldc=12)
    c_pan = c_gemm.copy()
    call_blocked("gemm", 17, 12, k, a, b, c_gemm, -2.0)
    call_blocked("gemm_mul_p", 17, 12, k, a, b, c_pan, -2.0)
    # No whole block enters the sums: every computed output is 0.0 * -2 = -0.0.
    assert np.all(c_gemm[:, :8] == 0) and np.all(np.signbit(c_gemm[:, :8]))
    assert np.all(c_gemm[:, 8:] == SENTINEL)
    if k == 0:
        assert np.all(c_pan == SENTINEL)  # no panel at all
    else:
        np.testing.assert_array_equal(c_pan, c_gemm)


@pytest.mark.parametrize("k", [8, 200, 512])
def test_single_panel_is_bitwise_gemm(k):
    a, b, c_gemm = operands(37, 24, k, lda=k, ldb=k, ldc=24, seed=k)
    c_pan, c_mac = c_gemm.copy(), c_gemm.copy()
    call_blocked("gemm", 37, 24, k, a, b, c_gemm, -2.0)
    call_blocked("gemm_mul_p", 37, 24, k, a, b, c_pan, -2.0)
    call_blocked("macro_kernel", 37, 24, k, a, b, c_mac, -2.0)
    np.testing.assert_array_equal(c_pan, c_gemm)
    np.testing.assert_array_equal(c_mac, c_gemm)


@pytest.mark.parametrize("k,panels", [(520, 2), (1024, 2), (1030, 2), (1036, 3)])
def test_panels_add_their_scaled_sums(k, panels):
    # Panel p's sum S_p (gemm over its columns, alpha 1) enters as float32
    # alpha * S_p, added in panel order; a last panel shorter than 8 adds nothing.
    alpha = F32(-1.7)
    a, b, c = operands(23, 16, k, lda=k + 4, ldb=k + 8 - k % 8, ldc=16, seed=1)
    call_blocked("gemm_mul_p", 23, 16, k, a, b, c, alpha)
    expected = np.zeros((23, 16), F32)
    for o in range(0, 512 * panels, 512):
        s = aligned_zeros((23, 16))
        blocked["gemm"](23, 16, min(512, k - o), addr(a, o), a.shape[1], addr(b, o), b.shape[1],
                        addr(s), 16, 1.0)
        expected = alpha * s if o == 0 else expected + alpha * s
    np.testing.assert_array_equal(c, expected)
    assert_product(c, a, b, 16, k, float(alpha))


def fma32(x, y, z):
    """float32 fma through float64: x*y is exact there, one more rounding to float32."""
    return (x.astype(np.float64) * y + z).astype(F32)


def kernel_replay(a_row, b_rows, k, alpha, order):
    """kernel_ori's float32 arithmetic: lane-wise FMA over whole blocks, then a lane reduction."""
    acc = np.zeros((8, 8), F32)
    for p in range(0, k // 8 * 8, 8):
        acc = fma32(a_row[p:p + 8][None, :], b_rows[:, p:p + 8], acc)
    l = acc.T
    if order == "pairs":
        s = (((l[0] + l[1]) + (l[2] + l[3])) + (l[4] + l[5])) + (l[6] + l[7])
    else:
        s = ((l[0] + l[4]) + (l[2] + l[6])) + ((l[1] + l[5]) + (l[3] + l[7]))
    return F32(alpha) * s


def test_kernel_ori_arithmetic_order():
    rng = np.random.default_rng(5)
    k, alpha = 131, F32(-2.0)
    buf = aligned_zeros(8 * 140 + 64)
    exact, other = 0, 0
    for trial in range(40):
        # Any start for the a row, the b rows and the output; lda, ldc are not read.
        a_row = buf[trial % 8:trial % 8 + k]
        b = aligned_zeros(8 * 137 + 8)[trial % 5:trial % 5 + 8 * 137].reshape(8, 137)
        out = aligned_zeros(16)[3:11]
        a_row[:] = rng.standard_normal(k)
        b[:, :k] = rng.standard_normal((8, k))
        kernel_ori(addr(a_row), -1, addr(b), 137, addr(out), -1, k, alpha)
        exact += np.array_equal(out, kernel_replay(a_row, b[:, :k], k, alpha, "pairs"))
        other += np.array_equal(out, kernel_replay(a_row, b[:, :k], k, alpha, "halves"))
    assert exact == 40
    assert other < 40  # the replay can tell the two reduction orders apart


def test_micro_kernel_writes_its_block_only():
    a, b, c = operands(24, 32, 40, lda=40, ldb=41, ldc=33, seed=3)
    micro_kernel(8, 16, 40, addr(a), 40, addr(b), 41, addr(c), 33, 0.5)
    ref, scale = product64(a, b, 40, 0.5)
    block = c[8:16, 16:24]
    assert np.all(np.abs(block - ref[8:16, 16:24]) <= 1e-5 * scale[8:16, 16:24])
    c[8:16, 16:24] = SENTINEL
    assert np.all(c == SENTINEL)


# ---- Dense routines ------------------------------------------------------------


def hybrid_replay(a, b):
    """masked_gemm_hybrid's float32 arithmetic, all outputs at once."""
    k = a.shape[1]
    kw = k // 8 * 8
    acc = np.zeros((a.shape[0], b.shape[0], 8), F32)
    for p in range(0, kw, 8):
        acc = acc + a[:, None, p:p + 8] * b[None, :, p:p + 8]  # float32 product, then add
    v = acc[..., :4] + acc[..., 4:]
    s = (v[..., 0] + v[..., 2]) + (v[..., 1] + v[..., 3])
    for t in range(kw, k):
        s = fma32(a[:, None, t], b[None, :, t], s)
    return F32(-2.0) * s


@pytest.mark.parametrize("m,n", [(65, 1), (65, 70), (3, 130)])
@pytest.mark.parametrize("k", [1, 3, 8, 13, 64])
def test_masked_gemm_hybrid(m, n, k):
    rng = np.random.default_rng(m * 1000 + n + k)
    a = rng.standard_normal((m, k)).astype(F32)
    b = rng.standard_normal((n, k)).astype(F32)
    c = np.full(m * n + 8, SENTINEL, F32)
    hybrid(a, b, None, m, k, n, c)
    assert np.all(c[m * n:] == SENTINEL)
    got = c[:m * n].reshape(m, n)
    ref, scale = product64(a, b, k, -2.0)
    assert np.all(np.abs(got - ref) <= 1e-5 * scale)
    np.testing.assert_array_equal(got, hybrid_replay(a, b))
    # The mask is not read: any pointer gives the same bits.
    junk = np.full(16, -3, np.int32)
    c2 = np.empty(m * n, F32)
    hybrid(a, b, junk.ctypes.data, m, k, n, c2)
    np.testing.assert_array_equal(c2, c[:m * n])


def test_masked_gemm_hybrid_k0_and_rounding():
    m, n = 65, 3
    c = np.full(m * n, -1.0, F32)
    hybrid(np.zeros(1, F32), np.zeros(1, F32), None, m, 0, n, c)
    assert np.all(c == 0) and not np.any(np.signbit(c))  # +0.0, not -2 * 0.0

    # x*x = 1 + 2^-11 + 2^-24 rounds to 1 + 2^-11 (a tie to even); u cancels that.
    x, u = F32(1 + 2.0**-12), F32(-(1 + 2.0**-11))
    out = np.empty(1, F32)
    # Tail terms chain through fused multiply-adds: u, then fma(x, x, u) = 2^-24.
    hybrid(np.array([u, x, 0], F32), np.array([1, x, 0], F32), None, 1, 3, 1, out)
    assert out[0] == F32(-2.0**-23)
    # Block terms are rounded before they are added: lane 0 gets u then x*x = u exactly.
    a16, b16 = np.zeros(16, F32), np.zeros(16, F32)
    a16[[0, 8]], b16[[0, 8]] = [u, x], [1, x]
    hybrid(a16, b16, None, 1, 16, 1, out)
    assert out[0] == 0


@pytest.mark.parametrize("m,n,k", [(2, 8, 5), (3, 12, 7), (4, 3, 16), (1, 1, 0)])
def test_gemm_myblas(m, n, k):
    rng = np.random.default_rng(7)
    a = rng.standard_normal((m, k)).astype(F32)
    b = rng.standard_normal((n, k)).astype(F32)
    c = np.full(m * n + 8, SENTINEL, F32)
    myblas(m, n, k, a.ravel(), b.ravel(), c, -2.0)
    assert np.all(c[m * n:] == SENTINEL)  # a short last group stays inside its row
    got = c[:m * n].reshape(m, n)
    ref, scale = product64(a, b, k, -2.0)
    assert np.all(np.abs(got - ref) <= 1e-5 * scale)
    c_h = np.empty(m * n, F32)
    hybrid(a.ravel(), b.ravel(), None, m, k, n, c_h)
    np.testing.assert_allclose(got.ravel(), c_h, rtol=1e-5, atol=1e-5)


# ---- The packed product at 8 and 16 lanes ------------------------------------

# (n, d, k): row counts that leave edge tiles of every kind, d off multiples of
# 8, k8 with and without a last 8-wide panel and with an odd count of whole
# 16-center panels (a pair of panels, then one alone).
PACKED_SHAPES = [(1, 1, 1), (13, 3, 5), (37, 9, 23), (700, 13, 56), (3001, 20, 80),
                 (1500, 64, 200)]


@pytest.fixture
def width():
    """Forces a kernel width; the load-time choice comes back afterwards."""
    default = _fit._simd_width()
    yield lambda w: _fit._simd_width(w) == w
    assert _fit._simd_width(default) == default


def mixture(n, d, k, seed):
    rng = np.random.default_rng(seed)
    means = rng.standard_normal((max(1, k // 2), d)) * 4
    X = (means[rng.integers(0, len(means), n)] + rng.standard_normal((n, d))).astype(F32)
    return X, X[rng.choice(n, k, replace=False)].copy()


def bits(x):
    x = np.ascontiguousarray(x)
    return x.view({4: np.uint32, 8: np.uint64}[x.dtype.itemsize])


@pytest.mark.parametrize("n,d,k", PACKED_SHAPES)
def test_forced_avx2_distances_match_float64(n, d, k, width):
    assert width(8)
    X, C = mixture(n, d, k, seed=n + k)
    labels, min_dist, all_dist = _fit.assign(X, C, 1, all_distances=True)
    X64, C64 = X.astype(np.float64), C.astype(np.float64)
    d2 = ((X64[:, None, :] - C64[None]) ** 2).sum(-1)
    # Products, norms and their sum each round in float32; the chains are d8 long.
    d8 = (d + 7) // 8 * 8
    norms = np.sqrt((X64 ** 2).sum(1))[:, None] + np.sqrt((C64 ** 2).sum(1))[None]
    np.testing.assert_array_less(np.abs(all_dist - d2), (2 * d8 + 8) * 2.0 ** -24 * norms ** 2)
    rows = np.arange(n)
    np.testing.assert_array_equal(all_dist[rows, labels], all_dist.min(1))


@pytest.mark.parametrize("n,d,k", PACKED_SHAPES)
def test_avx512_products_are_bitwise_avx2(n, d, k, width):
    if not width(16):
        pytest.skip("the processor has no AVX-512")
    X, C = mixture(n, d, k, seed=n + k)
    runs = {}
    for w in (16, 8):
        assert width(w)
        labels, min_dist, all_dist = _fit.assign(X, C, 2, all_distances=True)
        fit = _fit.lloyd(X, C, 25, 0.0, 2)
        # Not the pruning counts: at 16 lanes bfloat16 estimates, where the
        # processor has them, leave some group bounds lower.
        runs[w] = (labels, bits(min_dist), bits(all_dist), fit[0], bits(fit[1]),
                   bits(np.float64(fit[2])), fit[3])
    for wide, narrow in zip(runs[16], runs[8]):
        np.testing.assert_array_equal(wide, narrow)
