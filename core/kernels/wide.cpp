// SPDX-License-Identifier: BSD-3-Clause
//
// The 16-lane (AVX-512) kernels and the switch that picks them: the packed
// product's tile over whole 16-center panels and the first-minimum scan of
// nearest_of_row. Each computes exactly what its 8-lane counterpart does
// (the same fused multiply-add chains; the same first minimum), so the
// width never changes a result. Only the functions here that use AVX-512
// carry the avx512f target; this file, like the others, is compiled for
// AVX2, so the linker cannot pick an AVX-512 copy of a shared inline helper
// for a machine without it.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <utility>

#include "common.h"

using namespace tavrine;

// ---- Choice of width ------------------------------------------------------

static bool has_avx512() {
    // The feature bits may be read before libgcc's own constructor has run.
    __builtin_cpu_init();
    // True only where the operating system also saves the 512-bit state.
    return __builtin_cpu_supports("avx512f");
}

// Fixed when the library loads; tavrine_simd_width may force 8 or take 16 back.
static std::atomic<int> lanes{has_avx512() ? 16 : 8};

int tavrine::kernel_lanes() { return lanes.load(std::memory_order_relaxed); }

int tavrine_simd_width(int request) {
    if (request == 8 || (request == 16 && has_avx512())) lanes.store(request);
    return lanes.load();
}

// ---- Packed product -------------------------------------------------------
//
// One 16-lane vector is one panel row, so a tile of R point rows against P
// panels keeps R x P accumulators; each step is P loads, R broadcasts and
// R x P fused multiply-adds.

// Rows of a full tile and panels it spans: 24 accumulators and 2 panel
// vectors of the 32 registers. 14 x 2, 8 x 3 and 6 x 4 ran within 3% of it
// (6 x 4 slower on few rows); tiles of one panel ran ~30% slower.
constexpr int kTileRows = 12;
constexpr int kTilePanels = 2;

template <int R, int P>
__attribute__((target("avx512f"))) static void packed_tile(const float *a, int lda,
                                                           const float *panels, int d8,
                                                           float *out, int ldo) {
    const std::size_t panel_len = at(kPanelCenters, d8);
    // One flat array, every loop over it unrolled: the accumulators stay in
    // registers.
    __m512 acc[R * P];
#pragma GCC unroll 32
    for (int t = 0; t < R * P; ++t) acc[t] = _mm512_setzero_ps();
    for (int o = 0; o < d8; ++o) {
        __m512 b[P];
#pragma GCC unroll 4
        for (int p = 0; p < P; ++p)
            b[p] = _mm512_loadu_ps(panels + p * panel_len + at(o, kPanelCenters));
#pragma GCC unroll 32
        for (int r = 0; r < R; ++r) {
            const __m512 x = _mm512_set1_ps(a[at(r, lda) + o]);
#pragma GCC unroll 4
            for (int p = 0; p < P; ++p) acc[r * P + p] = _mm512_fmadd_ps(x, b[p], acc[r * P + p]);
        }
    }
    const __m512 minus2 = _mm512_set1_ps(-2.0f);
#pragma GCC unroll 32
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 4
        for (int p = 0; p < P; ++p)
            _mm512_storeu_ps(out + at(r, ldo) + kPanelCenters * p,
                             _mm512_mul_ps(acc[r * P + p], minus2));
}

using tile_fn = void (*)(const float *, int, const float *, int, float *, int);

// Tiles of 1 .. R-1 rows, indexed by rows - 1.
template <int P, int... Rows>
static constexpr std::array<tile_fn, sizeof...(Rows)> edge_tiles(
    std::integer_sequence<int, Rows...>) {
    return {&packed_tile<Rows + 1, P>...};
}

// All m rows against P adjacent panels: whole tiles, then one edge tile.
template <int P>
static void panel_rows(int m, int d8, const float *a, int lda, const float *panels, float *out,
                       int ldo) {
    static constexpr auto edge = edge_tiles<P>(std::make_integer_sequence<int, kTileRows - 1>());
    int i = 0;
    for (; i + kTileRows <= m; i += kTileRows)
        packed_tile<kTileRows, P>(a + at(i, lda), lda, panels, d8, out + at(i, ldo), ldo);
    if (i < m) edge[m - i - 1](a + at(i, lda), lda, panels, d8, out + at(i, ldo), ldo);
}

// Pairs of panels, so the pair (32 x d8 floats) stays in L1 while the rows
// stream past it, then the odd panel alone.
void tavrine::packed_panels_16(int m, int d8, int n_panels, const float *a, int lda,
                               const float *packed, float *out, int ldo) {
    int p = 0;
    for (; p + kTilePanels <= n_panels; p += kTilePanels)
        panel_rows<kTilePanels>(m, d8, a, lda, packed + at(p * kPanelCenters, d8),
                                out + p * kPanelCenters, ldo);
    for (; p < n_panels; ++p)
        panel_rows<1>(m, d8, a, lda, packed + at(p * kPanelCenters, d8), out + p * kPanelCenters,
                      ldo);
}

// ---- First minimum of a row -----------------------------------------------

// GCC 12's AVX-512 headers fill the unused source of their masked builtins
// with a self-initialised vector, which -Wmaybe-uninitialized reports once
// the intrinsic is inlined here (fixed in GCC 13).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Every lane of the result holds the smallest lane of v (a NaN lane may or
// may not be passed over).
__attribute__((target("avx512f"))) static __m512 spread_min(__m512 v) {
    v = _mm512_min_ps(v, _mm512_shuffle_f32x4(v, v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm512_min_ps(v, _mm512_shuffle_f32x4(v, v, _MM_SHUFFLE(2, 3, 0, 1)));
    v = _mm512_min_ps(v, _mm512_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm512_min_ps(v, _mm512_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)));
}

// The same for signed 32-bit lanes.
__attribute__((target("avx512f"))) static __m512i spread_min(__m512i v) {
    constexpr auto swap_pairs = static_cast<_MM_PERM_ENUM>(_MM_SHUFFLE(1, 0, 3, 2));
    constexpr auto swap_lanes = static_cast<_MM_PERM_ENUM>(_MM_SHUFFLE(2, 3, 0, 1));
    v = _mm512_min_epi32(v, _mm512_shuffle_i32x4(v, v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm512_min_epi32(v, _mm512_shuffle_i32x4(v, v, _MM_SHUFFLE(2, 3, 0, 1)));
    v = _mm512_min_epi32(v, _mm512_shuffle_epi32(v, swap_pairs));
    return _mm512_min_epi32(v, _mm512_shuffle_epi32(v, swap_lanes));
}

// FirstMin at 16 lanes, lane t holding positions 16g + t; lanes outside
// `in` take nothing.
struct FirstMin16 {
    __m512 best;
    __m512i group;  // group start of each lane's best

    __attribute__((target("avx512f"))) FirstMin16()
        : best(_mm512_set1_ps(__builtin_inff())), group(_mm512_setzero_si512()) {}

    __attribute__((target("avx512f"))) void add(__m512 score, int p, __mmask16 in) {
        const __mmask16 lower = _mm512_mask_cmp_ps_mask(in, score, best, _CMP_LT_OQ);
        best = _mm512_mask_mov_ps(best, lower, score);
        group = _mm512_mask_mov_epi32(group, lower, _mm512_set1_epi32(p));
    }

    // Lowest position among the lanes whose best is the smallest.
    __attribute__((target("avx512f"))) int position() const {
        const __mmask16 at_min = _mm512_cmp_ps_mask(best, spread_min(best), _CMP_EQ_OQ);
        const __m512i lane =
            _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m512i pos = _mm512_mask_mov_epi32(_mm512_set1_epi32(INT32_MAX), at_min,
                                                  _mm512_add_epi32(group, lane));
        return _mm_cvtsi128_si32(_mm512_castsi512_si128(spread_min(pos)));
    }

    __attribute__((target("avx512f"))) bool any() const {
        return _mm512_cmp_ps_mask(best, _mm512_set1_ps(__builtin_inff()), _CMP_LT_OQ) != 0;
    }
};

__attribute__((target("avx512f"))) int tavrine::nearest_of_row_16(const float *row,
                                                                  const float *c_norm, int k) {
    FirstMin16 scan;
    const int k_vec = k & ~15;
    for (int j = 0; j < k_vec; j += 16)
        scan.add(_mm512_add_ps(_mm512_loadu_ps(row + j), _mm512_loadu_ps(c_norm + j)), j, 0xffff);
    if (k_vec < k) {
        // Masked loads touch nothing past k.
        const __mmask16 in = static_cast<__mmask16>((1u << (k - k_vec)) - 1);
        scan.add(_mm512_add_ps(_mm512_maskz_loadu_ps(in, row + k_vec),
                               _mm512_maskz_loadu_ps(in, c_norm + k_vec)),
                 k_vec, in);
    }
    const float s0 = row[0] + c_norm[0];
    return s0 != s0 || !scan.any() ? 0 : scan.position();
}


#pragma GCC diagnostic pop

// ---- Seeding sweep --------------------------------------------------------
//
// The k-means++ candidate sweep (seed.cpp) at 16 lanes. Every lane runs the
// 8-lane tile's chain: the column's gap (point minus candidate), one fused
// multiply-add per column in column order, the minimum with the point's
// closest distance, and that minimum (times the point's weight) added in
// double to its candidate's sum, point after point. So mins and sums are
// bitwise those of the 8-lane sweep. Panels are d x 8, candidate in lane;
// two of them fill a vector. (Two points per vector against one panel ran
// 5-20% slower than the 8-lane tile: putting two points' columns in the
// halves, by permutation or masked broadcast, costs an arithmetic port.)

namespace {

constexpr int kSeedLanes = 8;   // candidates per panel
constexpr int kSeedTile = 12;   // points per tile: 12 accumulators
constexpr int kLineFloats = 16;

using seed_tile_fn = void (*)(const float *, int, const float *, const float *, const float *,
                              const float *, float *, int, double *);

// Sum of a point's eight minima (low or high half of m), times its weight.
template <bool Weighted>
__attribute__((target("avx512f"))) inline __m512d add_share(__m512d sum, __m256 m,
                                                            const float *w, int r) {
    __m512d s = _mm512_cvtps_pd(m);
    if constexpr (Weighted) s = _mm512_mul_pd(s, _mm512_set1_pd(w[r]));
    return _mm512_add_pd(sum, s);
}

__attribute__((target("avx512f"))) inline __m256 high_half(__m512 v) {
    return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1));
}

// Two panels side by side: one point per vector, lanes 0-7 panel g's
// candidates, lanes 8-15 panel g + 1's.
template <int R, bool Weighted>
__attribute__((target("avx512f"))) void two_panel_tile(const float *x, int d, const float *next,
                                                       const float *panel, const float *closest,
                                                       const float *w, float *mins, int ld,
                                                       double *sums) {
    const float *panel_b = panel + at(d, kSeedLanes);
    __m512 acc[R];
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) acc[r] = _mm512_setzero_ps();
    for (int j0 = 0; j0 < d; j0 += kLineFloats) {
        for (int r = 0; r < R; ++r)
            _mm_prefetch(reinterpret_cast<const char *>(next + at(r, d) + j0), _MM_HINT_T0);
        const int j1 = std::min(j0 + kLineFloats, d);
        for (int j = j0; j < j1; ++j) {
            const __m512 c = _mm512_castpd_ps(_mm512_insertf64x4(
                _mm512_castpd256_pd512(
                    _mm256_loadu_pd(reinterpret_cast<const double *>(panel + at(j, kSeedLanes)))),
                _mm256_loadu_pd(reinterpret_cast<const double *>(panel_b + at(j, kSeedLanes))),
                1));
#pragma GCC unroll 16
            for (int r = 0; r < R; ++r) {
                const __m512 gap = _mm512_sub_ps(_mm512_set1_ps(x[at(r, d) + j]), c);
                acc[r] = _mm512_fmadd_ps(gap, gap, acc[r]);
            }
        }
    }
    __m512d lo = _mm512_loadu_pd(sums), hi = _mm512_loadu_pd(sums + kSeedLanes);
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) {
        const __m512 m = _mm512_min_ps(acc[r], _mm512_set1_ps(closest[r]));
        _mm512_storeu_ps(mins + at(r, ld), m);
        lo = add_share<Weighted>(lo, _mm512_castps512_ps256(m), w, r);
        hi = add_share<Weighted>(hi, high_half(m), w, r);
    }
    _mm512_storeu_pd(sums, lo);
    _mm512_storeu_pd(sums + kSeedLanes, hi);
}

template <bool Weighted, int... Rows>
constexpr std::array<seed_tile_fn, sizeof...(Rows)> two_panel_edges(
    std::integer_sequence<int, Rows...>) {
    return {&two_panel_tile<Rows + 1, Weighted>...};
}

// m rows against the panel pair: whole tiles, then one edge tile.
template <bool Weighted>
__attribute__((target("avx512f"))) void two_panel_rows(int m, int d, const float *x,
                                                       const float *panel, const float *closest,
                                                       const float *w, float *mins, int ld,
                                                       double *sums) {
    static constexpr auto edge =
        two_panel_edges<Weighted>(std::make_integer_sequence<int, kSeedTile - 1>());
    int i = 0;
    for (; i + kSeedTile <= m; i += kSeedTile) {
        const float *next = x + at(m - i >= 2 * kSeedTile ? i + kSeedTile : i, d);
        two_panel_tile<kSeedTile, Weighted>(x + at(i, d), d, next, panel, closest + i,
                                            Weighted ? w + i : nullptr, mins + at(i, ld), ld, sums);
    }
    if (i < m)
        edge[m - i - 1](x + at(i, d), d, x + at(i, d), panel, closest + i,
                        Weighted ? w + i : nullptr, mins + at(i, ld), ld, sums);
}

}  // namespace

template <bool Weighted>
__attribute__((target("avx512f"))) static void panel_pairs(int m, int d, const float *x,
                                                           const float *panels, int n_pairs,
                                                           const float *closest, const float *w,
                                                           float *mins, int ld, double *sums) {
    const std::size_t pair_len = at(d, 2 * kSeedLanes);
    for (int p = 0; p < n_pairs; ++p)
        two_panel_rows<Weighted>(m, d, x, panels + p * pair_len, closest, w,
                                 mins + p * 2 * kSeedLanes, ld, sums + p * 2 * kSeedLanes);
}

void tavrine::seed_panel_pairs_16(int m, int d, const float *x, const float *panels, int n_pairs,
                                  const float *closest, const float *w, float *mins, int ld,
                                  double *sums) {
    if (w)
        panel_pairs<true>(m, d, x, panels, n_pairs, closest, w, mins, ld, sums);
    else
        panel_pairs<false>(m, d, x, panels, n_pairs, closest, w, mins, ld, sums);
}
