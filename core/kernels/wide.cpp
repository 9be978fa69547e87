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
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include <sys/syscall.h>
#include <unistd.h>

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

// The R x P accumulators of a tile: acc[r P + p] = a_r . panel p over d8,
// one fused multiply-add chain per lane.
template <int R, int P>
__attribute__((target("avx512f"), always_inline)) static inline void tile_sums(
    const float *a, int lda, const float *panels, int d8, __m512 *acc) {
    const std::size_t panel_len = at(kPanelCenters, d8);
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
}

template <int R, int P>
__attribute__((target("avx512f"))) static void packed_tile(const float *a, int lda,
                                                           const float *panels, int d8,
                                                           float *out, int ldo) {
    // One flat array, every loop over it unrolled: the accumulators stay in
    // registers.
    __m512 acc[R * P];
    tile_sums<R, P>(a, lda, panels, d8, acc);
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

// GCC 12's AVX-512 headers fill the unused source of their masked builtins
// with a self-initialised vector, which -W(maybe-)uninitialized reports once
// the intrinsic is inlined (fixed in GCC 13).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// ---- Group minima straight from the tile ----------------------------------
//
// The same tiles, their scores folded as they leave the accumulators into
// each group's running minima per point lane instead of being stored: no
// products buffer is written and read back. A score is acc * -2 + norm, the
// packed product's value plus the norm as a scan adds it, so the minima are
// those of the stored products.

struct lane_minima {
    __m512 low, next;
    __m512i who;
};

// Minima before a group's first row.
__attribute__((target("avx512f"))) static inline lane_minima no_minima() {
    const __m512 inf = _mm512_set1_ps(__builtin_inff());
    return {inf, inf, _mm512_setzero_si512()};
}

// Row `row` (counted from start[0]) of a tile, its sums acc[p] against P
// panels, folded into run[p] as scores acc * -2 + norm; a group ending with
// it is written out (group j at j ld of min1, min2, nearest) and its minima
// restarted. `group` is the group holding the row.
template <int P>
__attribute__((target("avx512f"), always_inline)) static inline void fold_row(
    const __m512 *acc, int row, const int32_t *start, const float *norm, lane_minima *run,
    int &group, float *min1, float *min2, int32_t *nearest, int ld) {
    const __m512 minus2 = _mm512_set1_ps(-2.0f);
    const __m512 nr = _mm512_set1_ps(norm[row]);
    const __m512i slot = _mm512_set1_epi32(row - (start[group] - start[0]));
#pragma GCC unroll 4
    for (int p = 0; p < P; ++p) {
        const __m512 score = _mm512_add_ps(_mm512_mul_ps(acc[p], minus2), nr);
        const __mmask16 lower = _mm512_cmp_ps_mask(score, run[p].low, _CMP_LT_OQ);
        run[p].next = _mm512_min_ps(run[p].next, _mm512_max_ps(run[p].low, score));
        run[p].low = _mm512_mask_mov_ps(run[p].low, lower, score);
        run[p].who = _mm512_mask_mov_epi32(run[p].who, lower, slot);
    }
    if (row + 1 == start[group + 1] - start[0]) {
        const std::size_t out = at(group, ld);
#pragma GCC unroll 4
        for (int p = 0; p < P; ++p) {
            _mm512_storeu_ps(min1 + out + kPanelCenters * p, run[p].low);
            _mm512_storeu_ps(min2 + out + kPanelCenters * p, run[p].next);
            _mm512_storeu_si512(nearest + out + kPanelCenters * p, run[p].who);
            run[p] = no_minima();
        }
        ++group;
    }
}

// The R x P sums of a tile (rows row0 .. row0 + R - 1), row by row.
template <int R, int P>
__attribute__((target("avx512f"), always_inline)) static inline void fold_tile(
    const __m512 *acc, int row0, const int32_t *start, const float *norm, lane_minima *run,
    int &group, float *min1, float *min2, int32_t *nearest, int ld) {
#pragma GCC unroll 32
    for (int r = 0; r < R; ++r)
        fold_row<P>(acc + r * P, row0 + r, start, norm, run, group, min1, min2, nearest, ld);
}

// The R x P accumulators of a tile of bfloat16 pairs: acc[r P + p] = a_r .
// panel p over `pairs` column pairs, each step two products added in turn.
template <int R, int P>
__attribute__((target("avx512f,avx512bf16"), always_inline)) static inline void half_sums(
    const uint32_t *a, int lda, const uint32_t *panels, int pairs, __m512 *acc) {
    const std::size_t panel_len = at(kPanelCenters, pairs);
#pragma GCC unroll 32
    for (int t = 0; t < R * P; ++t) acc[t] = _mm512_setzero_ps();
    for (int o = 0; o < pairs; ++o) {
        __m512bh b[P];
#pragma GCC unroll 4
        for (int p = 0; p < P; ++p)
            b[p] = (__m512bh)_mm512_loadu_si512(panels + p * panel_len + at(o, kPanelCenters));
#pragma GCC unroll 32
        for (int r = 0; r < R; ++r) {
            const __m512bh x = (__m512bh)_mm512_set1_epi32(int(a[at(r, lda) + o]));
#pragma GCC unroll 4
            for (int p = 0; p < P; ++p) acc[r * P + p] = _mm512_dpbf16_ps(acc[r * P + p], x, b[p]);
        }
    }
}

// Float rows against float panels (n = d8 columns), or bfloat16 pair rows
// against pair panels (n = d8 / 2 pairs), folded.
template <int R, int P>
__attribute__((target("avx512f"))) static void minima_tile(
    const float *a, int lda, const float *panels, int n, int row0, const int32_t *start,
    const float *norm, lane_minima *run, int &group, float *min1, float *min2, int32_t *nearest,
    int ld) {
    __m512 acc[R * P];
    tile_sums<R, P>(a, lda, panels, n, acc);
    fold_tile<R, P>(acc, row0, start, norm, run, group, min1, min2, nearest, ld);
}

template <int R, int P>
__attribute__((target("avx512f,avx512bf16"))) static void minima_tile(
    const uint32_t *a, int lda, const uint32_t *panels, int n, int row0, const int32_t *start,
    const float *norm, lane_minima *run, int &group, float *min1, float *min2, int32_t *nearest,
    int ld) {
    __m512 acc[R * P];
    half_sums<R, P>(a, lda, panels, n, acc);
    fold_tile<R, P>(acc, row0, start, norm, run, group, min1, min2, nearest, ld);
}

template <class T>
using minima_fn = void (*)(const T *, int, const T *, int, int, const int32_t *, const float *,
                           lane_minima *, int &, float *, float *, int32_t *, int);

template <int P, class T, int... Rows>
static constexpr std::array<minima_fn<T>, sizeof...(Rows)> minima_edges(
    std::integer_sequence<int, Rows...>) {
    return {&minima_tile<Rows + 1, P>...};
}

// Every row against P adjacent panels: whole tiles, then one edge tile.
template <int P, class T>
__attribute__((target("avx512f"))) static void minima_rows(
    int m, int n, const T *a, int lda, const T *panels, const int32_t *start,
    const float *norm, float *min1, float *min2, int32_t *nearest, int ld) {
    static constexpr auto edge =
        minima_edges<P, T>(std::make_integer_sequence<int, kTileRows - 1>());
    lane_minima run[P];
    for (int p = 0; p < P; ++p) run[p] = no_minima();
    int group = 0, i = 0;
    for (; i + kTileRows <= m; i += kTileRows)
        minima_tile<kTileRows, P>(a + at(i, lda), lda, panels, n, i, start, norm, run, group,
                                  min1, min2, nearest, ld);
    if (i < m)
        edge[m - i - 1](a + at(i, lda), lda, panels, n, i, start, norm, run, group, min1, min2,
                        nearest, ld);
}

// Pairs of panels, then the odd panel alone (n values per lane).
template <class T>
static void minima_panels(int n, int n_panels, const T *a, int lda, const int32_t *start,
                          int n_groups, const float *norm, const T *packed, float *min1,
                          float *min2, int32_t *nearest, int ld) {
    const int m = start[n_groups] - start[0];
    int p = 0;
    for (; p + kTilePanels <= n_panels; p += kTilePanels) {
        const int lane = p * kPanelCenters;
        minima_rows<kTilePanels>(m, n, a, lda, packed + at(lane, n), start, norm, min1 + lane,
                                 min2 + lane, nearest + lane, ld);
    }
    for (; p < n_panels; ++p) {
        const int lane = p * kPanelCenters;
        minima_rows<1>(m, n, a, lda, packed + at(lane, n), start, norm, min1 + lane, min2 + lane,
                       nearest + lane, ld);
    }
}

void tavrine::group_minima_panels_16(int d8, int n_panels, const float *a, int lda,
                                     const int32_t *start, int n_groups, const float *norm,
                                     const float *packed, float *min1, float *min2,
                                     int32_t *nearest, int ld) {
    minima_panels(d8, n_panels, a, lda, start, n_groups, norm, packed, min1, min2, nearest, ld);
}

// ---- Bfloat16 sums on AMX tiles --------------------------------------------
//
// Where the processor has AMX-BF16, half_minima_panels takes its sums from
// tile products instead: one instruction sums 16 rows against a panel of 16
// points over 16 column pairs (a 16 x 16 tile of floats), the work of 256
// BF16 dot products. Tiles 0-3 hold the sums of 32 rows against two panels
// (tile 2 b + p: rows 16 b .., panel p), 4-5 the two row blocks' pairs, 6-7
// the two panels' pairs; every tile is 16 rows of 64 bytes. The sums go
// through a small buffer to the same fold, row after row, so the minima are
// taken in the same order; only the sums' rounding order differs, which the
// estimates' error bound does not depend on.

namespace {

constexpr int kTilePairs = 16;   // column pairs a tile product sums over
constexpr int kTileHeight = 16;  // rows of a tile
constexpr int kBlockRows = 32;   // rows of the two row tiles

struct tile_config {
    uint8_t palette = 1, start_row = 0;
    uint8_t reserved[14] = {};
    uint16_t bytes_per_row[16] = {};
    uint8_t rows[16] = {};
};

static_assert(sizeof(tile_config) == 64, "ldtilecfg reads 64 bytes");

// GCC 12's _tile_loadconfig tells the compiler it reads 8 bytes, which lets
// it drop the stores of the shapes; this operand is the whole config.
__attribute__((target("amx-tile"))) inline void load_config(const tile_config &config) {
    asm volatile("ldtilecfg %0" ::"m"(config));
}

bool has_tiles() {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("amx-tile") || !__builtin_cpu_supports("amx-bf16")) return false;
    // Linux grants the tile registers' state only on request, once per
    // process (kept across fork).
    constexpr long kRequestPermission = 0x1023, kTileData = 18;
    return syscall(SYS_arch_prctl, kRequestPermission, kTileData) == 0;
}

bool tiles_present() {
    static const bool present = has_tiles();
    return present;
}

bool int8_present() {
    static const bool present = __builtin_cpu_supports("amx-int8");
    return present;
}

std::atomic<bool> tiles_on{true};

// Rows i .. i + rows - 1 (rows <= 32) against P panels: the tile sums into
// acc (row r, panel p at acc[r P + p]). Row tiles past `rows` are not
// loaded; a last row tile may read up to 15 rows past them, which its
// caller's buffer holds (their sums are never folded).
template <int P>
__attribute__((target("amx-tile,amx-bf16,avx512f"))) inline void tile_block(
    const uint32_t *a, int lda, const uint32_t *panels, std::size_t panel_len, int pairs,
    int rows, __m512 *acc) {
    const bool two = rows > kTileHeight;
    const std::size_t stride = at(lda, sizeof(uint32_t));
    _tile_zero(0);
    _tile_zero(1);
    _tile_zero(2);
    _tile_zero(3);
    for (int o = 0; o < pairs; o += kTilePairs) {
        _tile_loadd(4, a + o, stride);
        _tile_loadd(6, panels + at(o, kPanelCenters), 64);
        _tile_dpbf16ps(0, 4, 6);
        if (P == 2) {
            _tile_loadd(7, panels + panel_len + at(o, kPanelCenters), 64);
            _tile_dpbf16ps(1, 4, 7);
        }
        if (two) {
            _tile_loadd(5, a + at(kTileHeight, lda) + o, stride);
            _tile_dpbf16ps(2, 5, 6);
            if (P == 2) _tile_dpbf16ps(3, 5, 7);
        }
    }
    // Row r of tile 2 b + p to acc[(16 b + r) P + p].
    float *out = reinterpret_cast<float *>(acc);
    const std::size_t out_stride = 64 * P;
    _tile_stored(0, out, out_stride);
    if (P == 2) _tile_stored(1, out + kPanelCenters, out_stride);
    if (two) {
        _tile_stored(2, out + kTileHeight * P * kPanelCenters, out_stride);
        if (P == 2)
            _tile_stored(3, out + kTileHeight * P * kPanelCenters + kPanelCenters, out_stride);
    }
}

// Every row against P adjacent panels, 32 rows at a time.
template <int P>
__attribute__((target("amx-tile,amx-bf16,avx512f"))) void tile_rows(
    int m, int pairs, const uint32_t *a, int lda, const uint32_t *panels,
    const int32_t *start, const float *norm, float *min1, float *min2, int32_t *nearest,
    int ld) {
    __m512 acc[kBlockRows * P];
    lane_minima run[P];
    for (int p = 0; p < P; ++p) run[p] = no_minima();
    const std::size_t panel_len = at(kPanelCenters, pairs);
    int group = 0, i = 0;
    for (; i + kBlockRows <= m; i += kBlockRows) {
        tile_block<P>(a + at(i, lda), lda, panels, panel_len, pairs, kBlockRows, acc);
        fold_tile<kBlockRows, P>(acc, i, start, norm, run, group, min1, min2, nearest, ld);
    }
    if (i < m) {
        tile_block<P>(a + at(i, lda), lda, panels, panel_len, pairs, m - i, acc);
        for (int r = 0; r < m - i; ++r)
            fold_row<P>(acc + r * P, i + r, start, norm, run, group, min1, min2, nearest, ld);
    }
}

// Every tile 16 rows of 64 bytes.
__attribute__((target("amx-tile"))) inline void load_square_tiles() {
    tile_config config;
    for (int t = 0; t < 8; ++t) {
        config.bytes_per_row[t] = 64;
        config.rows[t] = 16;
    }
    load_config(config);
}

__attribute__((target("amx-tile,amx-bf16,avx512f"))) void tile_minima_panels(
    int pairs, int n_panels, const uint32_t *a, int lda, const int32_t *start, int n_groups,
    const float *norm, const uint32_t *packed, float *min1, float *min2, int32_t *nearest,
    int ld) {
    load_square_tiles();
    const int m = start[n_groups] - start[0];
    int p = 0;
    for (; p + 2 <= n_panels; p += 2) {
        const int lane = p * kPanelCenters;
        tile_rows<2>(m, pairs, a, lda, packed + at(lane, pairs), start, norm, min1 + lane,
                     min2 + lane, nearest + lane, ld);
    }
    if (p < n_panels) {
        const int lane = p * kPanelCenters;
        tile_rows<1>(m, pairs, a, lda, packed + at(lane, pairs), start, norm, min1 + lane,
                     min2 + lane, nearest + lane, ld);
    }
    // Released, so a thread switch saves no tile state.
    _tile_release();
}

// ---- Seeding test on int8 tiles ---------------------------------------------
//
// The k-means++ sweep reads only the points a candidate may come closer to
// (seed.cpp); the test runs on int8 copies (x~ = s q, q in [-127, 127]),
// whose products sum exactly in int32: the candidates as 16 rows against a
// block of 16 points over 64 columns an instruction, so each candidate's
// bounds for 16 points are one vector. Tiles 0-1 take alternate blocks'
// sums (a block's products overlap the previous block's tests), 2 the
// candidates, 3 the points.

// Block 0 .. (quads rows of 16 words) against the candidates (16 rows of
// quads words): sums into tile 0 (1 if Odd), stored to g (16 x 16).
template <bool Odd>
__attribute__((target("amx-tile,amx-int8"))) inline void seed_block(const int8_t *block,
                                                                    int quads,
                                                                    const int8_t *cand,
                                                                    int32_t *g) {
    if constexpr (Odd) _tile_zero(1); else _tile_zero(0);
    for (int o = 0; o < quads; o += kTilePairs) {
        _tile_loadd(2, cand + 4 * o, 4 * quads);
        _tile_loadd(3, block + at(o, 64), 64);
        if constexpr (Odd) _tile_dpbssd(1, 2, 3); else _tile_dpbssd(0, 2, 3);
    }
    if constexpr (Odd) _tile_stored(1, g, 64); else _tile_stored(0, g, 64);
}

// The lanes of 16 points (from p) that must be read: those of an ordinary
// closest distance with some candidate's lower bound (g: candidate rows of
// sums) below it. A NaN bound (an infinite closest distance) reads the point.
__attribute__((target("avx512f"), always_inline)) inline __mmask16 to_read(
    const int32_t *g, int n_cand, const seed_lanes &c, const seed_copies &x, int p,
    const float *closest) {
    const __m512 cl = _mm512_loadu_ps(closest + p);
    const __m512 base = _mm512_sub_ps(_mm512_loadu_ps(x.norm + p),
                                      _mm512_mul_ps(cl, _mm512_set1_ps(1.0f + 0x1p-20f)));
    const __m512 scale = _mm512_loadu_ps(x.scale + p), err = _mm512_loadu_ps(x.err + p),
                 len = _mm512_loadu_ps(x.len + p);
    __mmask16 stays = _mm512_cmp_ps_mask(cl, _mm512_set1_ps(kSeedTestFloor), _CMP_GE_OQ);
    for (int l = 0; l < n_cand; ++l) {
        const __m512 dot = _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_load_si512(g + 16 * l)),
                                         _mm512_mul_ps(scale, _mm512_set1_ps(c.scale[l])));
        __m512 f = _mm512_add_ps(_mm512_add_ps(base, _mm512_set1_ps(c.norm[l])), dot);
        f = _mm512_fnmadd_ps(err, _mm512_set1_ps(c.len[l]), f);
        f = _mm512_fnmadd_ps(len, _mm512_set1_ps(c.err[l]), f);
        stays &= _mm512_cmp_ps_mask(f, _mm512_setzero_ps(), _CMP_GE_OQ);
    }
    return static_cast<__mmask16>(~stays);
}

// Tiles 0-2 hold one row per candidate: the products and their stores
// shrink with the candidates (3 holds a block's 16 rows of words).
__attribute__((target("amx-tile"))) inline void load_candidate_tiles(int n_cand) {
    tile_config config;
    for (int t = 0; t < 4; ++t) {
        config.bytes_per_row[t] = 64;
        config.rows[t] = t < 3 ? n_cand : 16;
    }
    load_config(config);
}

// Block b's words into L1.
inline void fetch_block(const int8_t *blocks, std::size_t block_len, int b) {
    const char *words = reinterpret_cast<const char *>(blocks + at(b, block_len));
    for (std::size_t o = 0; o < block_len; o += 64) _mm_prefetch(words + o, _MM_HINT_T0);
}

__attribute__((target("amx-tile,amx-int8,avx512f"))) int seed_test(
    int m, int quads, const int8_t *blocks, const int8_t *cand, int n_cand,
    const seed_lanes &lanes, const seed_copies &x, const float *closest, int first, int ahead,
    int32_t *read) {
    constexpr int kAhead = 4;  // blocks fetched ahead of their tests
    alignas(64) int32_t g[2][16 * 16];
    const std::size_t block_len = at(quads, 64);
    const int n_blocks = (m + 15) / 16;
    seed_block<false>(blocks, quads, cand, g[0]);
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    int count = 0;
    for (int b = 0; b < n_blocks; ++b) {
        if (b + kAhead < n_blocks + ahead) fetch_block(blocks, block_len, b + kAhead);
        if (b + 1 < n_blocks) {
            if (b % 2 == 0)
                seed_block<true>(blocks + at(b + 1, block_len), quads, cand, g[1]);
            else
                seed_block<false>(blocks + at(b + 1, block_len), quads, cand, g[0]);
        }
        const int p = 16 * b;
        const __mmask16 live = m - p >= 16 ? 0xFFFF : __mmask16((1u << (m - p)) - 1u);
        const __mmask16 need = to_read(g[b % 2], n_cand, lanes, x, p, closest) & live;
        _mm512_mask_compressstoreu_epi32(read + count, need,
                                         _mm512_add_epi32(lane, _mm512_set1_epi32(first + p)));
        count += __builtin_popcount(need);
    }
    return count;
}

}  // namespace

bool tavrine::seed_tiles(int d) {
    return d <= kSeedTileMaxDim && tiles_on.load(std::memory_order_relaxed) && tiles_present() &&
           int8_present();
}

void tavrine::tile_seed_begin(int n_cand) { load_candidate_tiles(n_cand); }

// Released, so a thread switch saves no tile state.
__attribute__((target("amx-tile"))) void tavrine::tile_seed_end() { _tile_release(); }

int tavrine::tile_seed_test(int m, int quads, const int8_t *blocks, const int8_t *cand,
                            int n_cand, const seed_lanes &lanes, const seed_copies &x,
                            const float *closest, int first, int ahead, int32_t *read) {
    return seed_test(m, quads, blocks, cand, n_cand, lanes, x, closest, first, ahead, read);
}

bool tavrine::tile_products(int pairs) {
    return pairs % kTilePairs == 0 && tiles_on.load(std::memory_order_relaxed) &&
           tiles_present();
}

int tavrine_tile_products(int request) {
    if (request == 0 || request == 1) tiles_on.store(request == 1);
    return tiles_on.load() && tiles_present();
}

void tavrine::half_minima_panels(int pairs, int n_panels, const uint32_t *a, int lda,
                                 const int32_t *start, int n_groups, const float *norm,
                                 const uint32_t *packed, float *min1, float *min2,
                                 int32_t *nearest, int ld) {
    if (tile_products(pairs))
        tile_minima_panels(pairs, n_panels, a, lda, start, n_groups, norm, packed, min1, min2,
                           nearest, ld);
    else
        minima_panels(pairs, n_panels, a, lda, start, n_groups, norm, packed, min1, min2,
                      nearest, ld);
}

// ---- Bfloat16 copies ------------------------------------------------------
//
// A value rounds to the nearest bfloat16 (ties to even); one below float's
// normal range becomes a zero of its sign, as the dot product would read it.
// The copies carry |x - x~| per row or lane, rounded up, for the scores'
// error bounds.

static bool has_bf16() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bf16");
}

bool tavrine::half_capable() {
    static const bool bf16 = has_bf16();
    return bf16;
}

bool tavrine::half_products() { return half_capable() && kernel_lanes() == 16; }

// sqrt(sum), with sum a float sum of n squares, rounded up past both roundings.
static inline float root_up(float sum, int n) {
    return std::sqrt(sum) * (1.0f + float(n + 4) * 0x1p-23f);
}

// Sixteen floats as bfloat16 bits in the low half of each lane.
__attribute__((target("avx512f"))) static inline __m512i half_bits16(__m512 v) {
    const __m512i u = _mm512_castps_si512(v);
    const __m512i up = _mm512_add_epi32(
        u, _mm512_add_epi32(_mm512_set1_epi32(0x7FFF),
                            _mm512_and_si512(_mm512_srli_epi32(u, 16), _mm512_set1_epi32(1))));
    const __mmask16 normal = _mm512_test_epi32_mask(u, _mm512_set1_epi32(0x7F800000));
    const __m512i sign = _mm512_and_si512(_mm512_srli_epi32(u, 16), _mm512_set1_epi32(0x8000));
    return _mm512_mask_mov_epi32(sign, normal, _mm512_srli_epi32(up, 16));
}

__attribute__((target("avx512f"))) void tavrine::half_rows(const float *rows, int m, int d8,
                                                           uint32_t *out, int ldo, float *err) {
    for (int r = 0; r < m; ++r) {
        const float *x = rows + at(r, d8);
        uint32_t *o = out + at(r, ldo);
        __m512 sum = _mm512_setzero_ps();
        for (int j = 0; j < d8; j += 16) {
            // d8 is a multiple of 8: a last half vector reads zeros past it.
            const __mmask16 in = d8 - j >= 16 ? 0xFFFF : 0x00FF;
            const __m512 v = _mm512_maskz_loadu_ps(in, x + j);
            const __m512i bits = half_bits16(v);
            const __m256i pairs = _mm512_cvtepi32_epi16(bits);
            if (in == 0xFFFF)
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(o + j / 2), pairs);
            else
                _mm_storeu_si128(reinterpret_cast<__m128i *>(o + j / 2), _mm256_castsi256_si128(pairs));
            const __m512 gap = _mm512_sub_ps(v, _mm512_castsi512_ps(_mm512_slli_epi32(bits, 16)));
            sum = _mm512_fmadd_ps(gap, gap, sum);
        }
        for (int j = d8 / 2; j < ldo; ++j) o[j] = 0;
        err[r] = root_up(_mm512_reduce_add_ps(sum), d8);
    }
}

// ---- First minimum of a row -----------------------------------------------

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
// The k-means++ candidate sweep (seed.cpp) at 16 lanes, over points stored
// in blocks of 16 (d x 16, point in lane), so a vector holds 16 points and
// no lane idles whatever the candidate count. Every lane runs the 8-lane
// tile's chain: the column's gap, one fused multiply-add per column in
// column order, the minimum with the point's closest distance ((c - x)^2 is
// (x - c)^2 exactly). Each candidate's 16 results go to its row of mins;
// each panel's eight are turned into the points' rows and added in double
// to the candidates' sums point after point, so mins and sums are bitwise
// the 8-lane sweep's.

namespace {

constexpr int kSeedLanes = 8;  // candidates per panel
constexpr int kAhead = 128;    // columns (lines) of prefetch distance

// Transposes eight candidate rows (16 points each) into the points' rows:
// out[q] holds point q's eight values in its low half, point q + 8's in its
// high half. Unpacks and shuffles transpose the 4 x 4 squares of each
// 128-bit lane; one two-source permutation joins a point's two squares.
__attribute__((target("avx512f"))) inline void panel_rows(const __m512 *m, __m512 *out) {
    __m512 t[8], u[8];
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) {
        t[2 * q] = _mm512_unpacklo_ps(m[2 * q], m[2 * q + 1]);
        t[2 * q + 1] = _mm512_unpackhi_ps(m[2 * q], m[2 * q + 1]);
    }
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {  // rows 0-3, then rows 4-7
        const __m512 *th = t + 4 * h;
        u[4 * h + 0] = _mm512_shuffle_ps(th[0], th[2], 0x44);
        u[4 * h + 1] = _mm512_shuffle_ps(th[0], th[2], 0xEE);
        u[4 * h + 2] = _mm512_shuffle_ps(th[1], th[3], 0x44);
        u[4 * h + 3] = _mm512_shuffle_ps(th[1], th[3], 0xEE);
    }
    // u[c] (rows 0-3) and u[c + 4] (rows 4-7): 128-bit lane l holds column 4 l + c.
    const __m512i first =
        _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 8, 9, 10, 11, 24, 25, 26, 27);
    const __m512i second =
        _mm512_setr_epi32(4, 5, 6, 7, 20, 21, 22, 23, 12, 13, 14, 15, 28, 29, 30, 31);
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) {
        out[c] = _mm512_permutex2var_ps(u[c], first, u[c + 4]);      // points c, c + 8
        out[c + 4] = _mm512_permutex2var_ps(u[c], second, u[c + 4]);  // points c + 4, c + 12
    }
}

// Adds the first `points` of a panel's results (m: eight candidate rows of
// the block's 16 points), point after point, to the panel's eight sums;
// Weighted: each times the point's weight.
template <bool Weighted>
__attribute__((target("avx512f"))) inline void panel_sums(const __m512 *m, int points,
                                                          const float *w, double *sums) {
    __m512 rows[8];
    panel_rows(m, rows);
    __m512d sum = _mm512_loadu_pd(sums);
    for (int p = 0; p < points; ++p) {
        const __m512 v = rows[p & 7];
        const __m256 row = p < 8 ? _mm512_castps512_ps256(v)
                                 : _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1));
        __m512d s = _mm512_cvtps_pd(row);
        // A float times a float is exact in double: the 8-lane sweep's sum.
        if constexpr (Weighted) s = _mm512_mul_pd(s, _mm512_set1_pd(w[p]));
        sum = _mm512_add_pd(sum, s);
    }
    _mm512_storeu_pd(sums, sum);
}

// One block against T candidates (T <= 16) of consecutive panels: T
// accumulators, each step one load of the block's column and T broadcast
// candidates. Candidate t's 16 results go to mins + t ld: whole vectors, no
// transpose. Lanes of a last panel beyond T add 0 to their sums.
template <int T, bool Weighted>
__attribute__((target("avx512f"))) void block_candidates(const float *xt, int d, int points,
                                                         const float *panel,
                                                         const float *closest, const float *w,
                                                         float *mins, int ld, double *sums) {
    constexpr int P = (T + kSeedLanes - 1) / kSeedLanes;
    const std::size_t panel_len = at(d, kSeedLanes);
    __m512 acc[P * kSeedLanes];
#pragma GCC unroll 16
    for (int t = 0; t < P * kSeedLanes; ++t) acc[t] = _mm512_setzero_ps();
    for (int j = 0; j < d; ++j) {
        // One line per column: the stream is fetched kAhead columns ahead,
        // into the next block at the end of this one.
        _mm_prefetch(reinterpret_cast<const char *>(xt + at(j + kAhead, kSeedBlock)),
                     _MM_HINT_T0);
        const __m512 x = _mm512_loadu_ps(xt + at(j, kSeedBlock));
#pragma GCC unroll 16
        for (int t = 0; t < T; ++t) {
            const float *c =
                panel + (t / kSeedLanes) * panel_len + at(j, kSeedLanes) + t % kSeedLanes;
            const __m512 gap = _mm512_sub_ps(_mm512_set1_ps(*c), x);
            acc[t] = _mm512_fmadd_ps(gap, gap, acc[t]);
        }
    }
    // min_ps returns its second operand on NaN: a NaN distance never lowers a potential.
    const __m512 cl = _mm512_loadu_ps(closest);
#pragma GCC unroll 16
    for (int t = 0; t < T; ++t) {
        acc[t] = _mm512_min_ps(acc[t], cl);
        _mm512_storeu_ps(mins + at(t, ld), acc[t]);
    }
#pragma GCC unroll 2
    for (int q = 0; q < P; ++q)
        panel_sums<Weighted>(acc + q * kSeedLanes, points, w, sums + q * kSeedLanes);
}

using block_fn = void (*)(const float *, int, int, const float *, const float *, const float *,
                          float *, int, double *);

template <bool Weighted, int... Counts>
constexpr std::array<block_fn, sizeof...(Counts)> candidate_kernels(
    std::integer_sequence<int, Counts...>) {
    return {&block_candidates<Counts + 1, Weighted>...};
}

// Blocks of the m points against the n_cand candidates, 16 at a time.
template <bool Weighted>
__attribute__((target("avx512f"))) void blocks(int m, int d, const float *xt, const float *panels,
                                               int n_cand, const float *closest, const float *w,
                                               float *mins, int ld, double *sums) {
    static constexpr auto kernel =
        candidate_kernels<Weighted>(std::make_integer_sequence<int, 2 * kSeedLanes>());
    const std::size_t block_len = at(d, kSeedBlock), panel_len = at(d, kSeedLanes);
    for (int i = 0; i < m; i += kSeedBlock) {
        const int points = std::min(kSeedBlock, m - i);
        const float *wi = Weighted ? w + i : nullptr;
        const float *xb = xt + at(i / kSeedBlock, block_len);
        for (int l = 0; l < n_cand; l += 2 * kSeedLanes)
            kernel[std::min(n_cand - l, 2 * kSeedLanes) - 1](
                xb, d, points, panels + (l / kSeedLanes) * panel_len, closest + i, wi,
                mins + at(l, ld) + i, ld, sums + l);
    }
}

}  // namespace

void tavrine::seed_blocks_16(int m, int d, const float *xt, const float *panels, int n_cand,
                             const float *closest, const float *w, float *mins, int ld,
                             double *sums) {
    if (w)
        blocks<true>(m, d, xt, panels, n_cand, closest, w, mins, ld, sums);
    else
        blocks<false>(m, d, xt, panels, n_cand, closest, w, mins, ld, sums);
}
