// SPDX-License-Identifier: BSD-3-Clause
//
// The product of a chunk of points against packed centers, shared by both
// paths' assignments: centers repacked into 16-center panels, each output one
// fused multiply-add chain over d8. Whole 16-center panels run by wide.cpp's
// AVX-512 tile where that is in use. Single-threaded; allocates nothing.
#include <immintrin.h>

#include "common.h"

using namespace tavrine;

// The assignments' dense product, one chunk of points at a time: the centers
// are repacked once per call so that a panel of 16 centers is one contiguous
// d8 x 16 block, and a tile of point rows broadcasts one point value per
// step against two 8-lane center vectors. Each output is a single fused
// multiply-add chain over d8, scaled by -2 (exact).

int tavrine::center_panels(int k8) { return (k8 + kPanelCenters - 1) / kPanelCenters; }

void tavrine::pack_centers(const float *cen, int k8, int d8, int first_panel, int last_panel,
                           float *packed) {
    for (int p = first_panel; p < last_panel; ++p) {
        const int j0 = p * kPanelCenters;
        const int w = k8 - j0 < kPanelCenters ? k8 - j0 : kPanelCenters;
        float *dst = packed + at(j0, d8);
        for (int o = 0; o < d8; ++o)
            for (int j = 0; j < w; ++j) dst[at(o, w) + j] = cen[at(j0 + j, d8) + o];
    }
}

// Register tile: R <= 6 point rows against W <= 2 vectors of eight packed
// centers, R x W accumulators; per step one broadcast per row and W loads.
template <int R, int W>
static inline void packed_tile(const float *a, int lda, const float *panel, int d8, float *out,
                               int ldo) {
    // One flat array, every loop over it unrolled, so the accumulators live
    // in registers (GCC keeps a two-level array in memory).
    __m256 acc[R * W];
#pragma GCC unroll 12
    for (int t = 0; t < R * W; ++t) acc[t] = _mm256_setzero_ps();
    for (int o = 0; o < d8; ++o) {
        __m256 b[W];
#pragma GCC unroll 2
        for (int w = 0; w < W; ++w) b[w] = _mm256_loadu_ps(panel + at(o, 8 * W) + 8 * w);
#pragma GCC unroll 6
        for (int r = 0; r < R; ++r) {
            const __m256 x = _mm256_broadcast_ss(a + at(r, lda) + o);
#pragma GCC unroll 2
            for (int w = 0; w < W; ++w)
                acc[r * W + w] = _mm256_fmadd_ps(x, b[w], acc[r * W + w]);
        }
    }
    const __m256 minus2 = _mm256_set1_ps(-2.0f);
#pragma GCC unroll 6
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 2
        for (int w = 0; w < W; ++w)
            _mm256_storeu_ps(out + at(r, ldo) + 8 * w, _mm256_mul_ps(acc[r * W + w], minus2));
}

// All m rows against one panel: whole 6-row tiles, then one edge tile.
template <int W>
static void panel_rows(int m, int d8, const float *a, int lda, const float *panel, float *out,
                       int ldo) {
    int i = 0;
    for (; i + 6 <= m; i += 6)
        packed_tile<6, W>(a + at(i, lda), lda, panel, d8, out + at(i, ldo), ldo);
    const float *a_edge = a + at(i, lda);
    float *out_edge = out + at(i, ldo);
    switch (m - i) {
        case 0: break;
        case 1: packed_tile<1, W>(a_edge, lda, panel, d8, out_edge, ldo); break;
        case 2: packed_tile<2, W>(a_edge, lda, panel, d8, out_edge, ldo); break;
        case 3: packed_tile<3, W>(a_edge, lda, panel, d8, out_edge, ldo); break;
        case 4: packed_tile<4, W>(a_edge, lda, panel, d8, out_edge, ldo); break;
        default: packed_tile<5, W>(a_edge, lda, panel, d8, out_edge, ldo); break;
    }
}

// Panel by panel, so one panel (16 x d8 floats) stays in L1 while the rows
// stream past it.
static void packed_product_8(int m, int d8, int k8, const float *a, int lda, const float *packed,
                             float *out, int ldo) {
    int j = 0;
    for (; j + kPanelCenters <= k8; j += kPanelCenters)
        panel_rows<2>(m, d8, a, lda, packed + at(j, d8), out + j, ldo);
    if (j < k8) panel_rows<1>(m, d8, a, lda, packed + at(j, d8), out + j, ldo);
}

void tavrine::packed_product(int m, int d8, int k8, const float *a, int lda, const float *packed,
                             float *out, int ldo) {
    if (kernel_lanes() != 16) {
        packed_product_8(m, d8, k8, a, lda, packed, out, ldo);
        return;
    }
    // Whole panels at 16 lanes, a last 8-wide one by the 8-lane tile.
    const int whole = k8 / kPanelCenters * kPanelCenters;
    packed_panels_16(m, d8, whole / kPanelCenters, a, lda, packed, out, ldo);
    if (whole < k8) panel_rows<1>(m, d8, a, lda, packed + at(whole, d8), out + whole, ldo);
}
