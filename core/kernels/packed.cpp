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
// acc[r W + w] = a_r . lanes 8w .. 8w + 7 of the panel, over d8 columns.
// One flat array, every loop over it unrolled, so the accumulators live in
// registers (GCC keeps a two-level array in memory).
template <int R, int W>
static inline void tile_sums(const float *a, int lda, const float *panel, int d8, __m256 *acc) {
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
}

template <int R, int W>
static inline void packed_tile(const float *a, int lda, const float *panel, int d8, float *out,
                               int ldo) {
    __m256 acc[R * W];
    tile_sums<R, W>(a, lda, panel, d8, acc);
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

// ---- Group minima straight from the product ------------------------------

namespace {

// A panel's running minima over the rows of the group in progress: per lane
// the lowest score, the lowest of the others and the first row of the lowest.
struct lane_minima8 {
    __m256 low[2], next[2];
    __m256i who[2];
};

inline void restart(lane_minima8 &run) {
    for (int w = 0; w < 2; ++w) {
        run.low[w] = run.next[w] = _mm256_set1_ps(__builtin_inff());
        run.who[w] = _mm256_setzero_si256();
    }
}

// Rows row0 .. row0 + R - 1 (counted from start[0]) against a panel of 16,
// their scores acc * -2 + norm folded into run as the stored product's scan
// takes them; a group ending within them is written out (group j at j ld of
// min1, min2, nearest) and its minima restarted. `group` holds row0.
template <int R>
inline void minima_tile(const float *a, int lda, const float *panel, int d8, int row0,
                        const int32_t *start, const float *norm, lane_minima8 &run, int &group,
                        float *min1, float *min2, int32_t *nearest, int ld) {
    __m256 acc[R * 2];
    tile_sums<R, 2>(a, lda, panel, d8, acc);
    const __m256 minus2 = _mm256_set1_ps(-2.0f);
#pragma GCC unroll 6
    for (int r = 0; r < R; ++r) {
        const int row = row0 + r;
        const __m256 nr = _mm256_set1_ps(norm[row]);
        const __m256 slot = _mm256_castsi256_ps(_mm256_set1_epi32(row - (start[group] - start[0])));
#pragma GCC unroll 2
        for (int w = 0; w < 2; ++w) {
            const __m256 score = _mm256_add_ps(_mm256_mul_ps(acc[r * 2 + w], minus2), nr);
            fold_minima(score, slot, run.low[w], run.next[w], run.who[w]);
        }
        if (row + 1 == start[group + 1] - start[0]) {
            const std::size_t out = at(group, ld);
            for (int w = 0; w < 2; ++w) {
                _mm256_storeu_ps(min1 + out + 8 * w, run.low[w]);
                _mm256_storeu_ps(min2 + out + 8 * w, run.next[w]);
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(nearest + out + 8 * w), run.who[w]);
            }
            restart(run);
            ++group;
        }
    }
}

using minima_fn = void (*)(const float *, int, const float *, int, int, const int32_t *,
                           const float *, lane_minima8 &, int &, float *, float *, int32_t *, int);
// The tiles of a panel's last 1 .. 5 rows.
constexpr minima_fn kEdgeTiles[6] = {nullptr,          &minima_tile<1>, &minima_tile<2>,
                                     &minima_tile<3>, &minima_tile<4>, &minima_tile<5>};

}  // namespace

void tavrine::group_minima_panels_8(int d8, int n_panels, const float *a, int lda,
                                    const int32_t *start, int n_groups, const float *norm,
                                    const float *packed, float *min1, float *min2,
                                    int32_t *nearest, int ld) {
    const int m = start[n_groups] - start[0];
    for (int p = 0; p < n_panels; ++p) {
        const float *panel = packed + at(p * kPanelCenters, d8);
        const int lane = p * kPanelCenters;
        lane_minima8 run;
        restart(run);
        int group = 0, i = 0;
        float *min1_p = min1 + lane, *min2_p = min2 + lane;
        int32_t *nearest_p = nearest + lane;
        for (; i + 6 <= m; i += 6)
            minima_tile<6>(a + at(i, lda), lda, panel, d8, i, start, norm, run, group, min1_p,
                           min2_p, nearest_p, ld);
        if (i < m)
            kEdgeTiles[m - i](a + at(i, lda), lda, panel, d8, i, start, norm, run, group, min1_p,
                              min2_p, nearest_p, ld);
    }
}
