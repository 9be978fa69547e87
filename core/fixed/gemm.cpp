// SPDX-License-Identifier: BSD-3-Clause
//
// Dense products c = alpha * a * b^T with a and b both stored by rows along
// their shared dimension, `depth` here (the exported declarations call it k,
// which elsewhere in the core counts clusters): the AVX2 family (kernel_ori
// up to gemm and gemm_mul_p), which uses whole groups of eight columns and
// whole 8-float steps of depth only, and two plain routines for dense
// matrices of any shape (masked_gemm_hybrid, gemm_myblas). Rows may start anywhere: every
// vector load is unaligned, which costs nothing on aligned data. All routines
// are single-threaded and allocate nothing.
#include <cmath>
#include <cstdio>

#include "kernels/blas.h"
#include "common.h"

using namespace tavrine;

// Shared-dimension panel of gemm_mul_p: eight rows of b in use take 16 KB.
constexpr int kPanel = 512;
// Output tile edge of masked_gemm_hybrid.
constexpr int kOutputTile = 64;

// Register tile: one row of a against eight rows of b, eight 8-lane
// accumulators (acc[s] for b row s). Each 8-float step of depth costs one load
// of a and eight FMAs reading b straight from memory; the last depth mod 8
// positions are not used. Accumulate adds alpha * sums to out instead of
// overwriting it.
template <bool Accumulate>
static inline void row_times_8(const float *a_row, const float *b_rows, int ldb, float *out,
                               int depth, float alpha) {
    const float *b[8];
    for (int s = 0; s < 8; ++s) b[s] = b_rows + at(s, ldb);
    __m256 acc[8];
    dot_rows<8>(a_row, b, depth, acc);
    const __m256 alpha_v = _mm256_set1_ps(alpha);
    const __m256 sums = sum_lanes_pairs(acc);
    if (Accumulate)
        _mm256_storeu_ps(out, _mm256_add_ps(_mm256_loadu_ps(out), _mm256_mul_ps(alpha_v, sums)));
    else
        _mm256_storeu_ps(out, _mm256_mul_ps(alpha_v, sums));
}

// Rows i .. i+7 and columns j .. j+7 of c, one row after the other.
template <bool Accumulate>
static inline void tile_8x8(int i, int j, int depth, const float *a, int lda, const float *b,
                            int ldb, float *c, int ldc, float alpha) {
    const float *b_rows = b + at(j, ldb);
    for (int r = 0; r < 8; ++r)
        row_times_8<Accumulate>(a + at(i + r, lda), b_rows, ldb, c + at(i + r, ldc) + j, depth,
                                alpha);
}

// Whole 8-row tiles first, then the leftover rows one by one; every whole
// group of eight columns.
template <bool Accumulate>
static void panel_product(int m, int n, int depth, const float *a, int lda, const float *b,
                          int ldb, float *c, int ldc, float alpha) {
    int i = 0;
    for (; i + 8 <= m; i += 8)
        for (int j = 0; j + 8 <= n; j += 8)
            tile_8x8<Accumulate>(i, j, depth, a, lda, b, ldb, c, ldc, alpha);
    for (; i < m; ++i)
        for (int j = 0; j + 8 <= n; j += 8)
            row_times_8<Accumulate>(a + at(i, lda), b + at(j, ldb), ldb, c + at(i, ldc) + j,
                                    depth, alpha);
}

// The entry routines' shape and alignment notices; the product goes on after
// either (whole groups only; misaligned rows are read with unaligned loads).
static void report_preconditions(int n, int depth, const float *a, const float *b) {
    if ((n | depth) & 7) std::perror("n or k is not a multiple of 8");
    if (!aligned(a) || !aligned(b)) std::perror("input arr a or b is not aligned");
}

void kernel_ori(const float *a_row, int, const float *b_rows, int ldb, float *out, int, int depth,
                float alpha) {
    row_times_8<false>(a_row, b_rows, ldb, out, depth, alpha);
}

void micro_kernel(int i, int j, int depth, const float *a, int lda, const float *b, int ldb,
                  float *c, int ldc, float alpha) {
    tile_8x8<false>(i, j, depth, a, lda, b, ldb, c, ldc, alpha);
}

void macro_kernel(int m, int n, int depth, const float *a, int lda, const float *b, int ldb,
                  float *c, int ldc, float alpha) {
    panel_product<false>(m, n, depth, a, lda, b, ldb, c, ldc, alpha);
}

// One pass over depth; the eight rows of b of a column group serve 16 rows of a.
void gemm(int m, int n, int depth, const float *a, int lda, const float *b, int ldb, float *c,
          int ldc, float alpha) {
    report_preconditions(n, depth, a, b);
    int i = 0;
    for (; i + 16 <= m; i += 16)
        for (int j = 0; j + 8 <= n; j += 8)
            for (int r = 0; r < 16; ++r)
                row_times_8<false>(a + at(i + r, lda), b + at(j, ldb), ldb,
                                   c + at(i + r, ldc) + j, depth, alpha);
    for (; i < m; ++i)
        for (int j = 0; j + 8 <= n; j += 8)
            row_times_8<false>(a + at(i, lda), b + at(j, ldb), ldb, c + at(i, ldc) + j, depth,
                               alpha);
}

// depth in panels of 512 so the b rows in use stay in L1. The first panel
// overwrites c, each later one adds its alpha-scaled sums; a later panel
// shorter than 8 holds no whole step and is skipped. depth = 0 writes nothing.
void gemm_mul_p(int m, int n, int depth, const float *a, int lda, const float *b, int ldb,
                float *c, int ldc, float alpha) {
    report_preconditions(n, depth, a, b);
    for (int o = 0; o < depth; o += kPanel) {
        const int len = depth - o < kPanel ? depth - o : kPanel;
        if (o == 0)
            panel_product<false>(m, n, len, a, lda, b, ldb, c, ldc, alpha);
        else if (len >= 8)
            panel_product<true>(m, n, len, a + o, lda, b + o, ldb, c, ldc, alpha);
    }
}

// Dot product of two depth-float rows: whole steps of eight in one 8-lane
// accumulator (product rounded, then added; lanes reduced as
// ((l0+l4)+(l2+l6))+((l1+l5)+(l3+l7))), then the depth mod 8 tail terms one by
// one with fused multiply-adds.
static inline float dot_hybrid(const float *x, const float *y, int depth) {
    __m256 acc = _mm256_setzero_ps();
    int t = 0;
    for (; t + 8 <= depth; t += 8)
        acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_loadu_ps(x + t), _mm256_loadu_ps(y + t)));
    float s = hsum_halves(acc);
    for (; t < depth; ++t) s = std::fma(x[t], y[t], s);
    return s;
}

// -2 a b^T in 64 x 64 output tiles, each b tile reused across 64 rows of a.
// The mask is not read. depth <= 0 gives +0.0 everywhere.
void masked_gemm_hybrid(const float *a, const float *b, const void *, int m, int depth, int n,
                        float *c) {
    for (int ii = 0; ii < m; ii += kOutputTile) {
        const int i_end = m - ii < kOutputTile ? m : ii + kOutputTile;
        for (int jj = 0; jj < n; jj += kOutputTile) {
            const int j_end = n - jj < kOutputTile ? n : jj + kOutputTile;
            for (int i = ii; i < i_end; ++i)
                for (int j = jj; j < j_end; ++j)
                    c[at(i, n) + j] =
                        depth > 0
                            ? -2.0f * dot_hybrid(a + at(i, depth), b + at(j, depth), depth)
                            : 0.0f;
        }
    }
}

// One BLAS dot product per output; any n (a last group shorter than eight
// writes only the columns that exist).
void gemm_myblas(int m, int n, int depth, const float *a, const float *b, float *c, float alpha) {
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < n; ++j)
            c[at(i, n) + j] = cblas_sdot(depth, a + at(i, depth), 1, b + at(j, depth), 1) * alpha;
}

// ---- Packed centers ------------------------------------------------------
//
