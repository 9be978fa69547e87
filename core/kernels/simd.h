// SPDX-License-Identifier: BSD-3-Clause
//
// The core's 8-lane building blocks, in one place so that every kernel sums
// and scans in the same order: masked tail reads, horizontal sums (one
// vector, or eight accumulators at once), the one-row-against-Q-rows dot
// tile, and the first-minimum scan that labels a point. AVX2 and FMA;
// loads are unaligned throughout. Internal; not installed.
#ifndef TAVRINE_SIMD_H
#define TAVRINE_SIMD_H

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace tavrine {

// Lane mask enabling lanes 0 .. m-1 (0 <= m <= 8).
static inline __m256i tail_mask(int m) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(m), lane);
}

// Reads the first m floats at p (lanes past m are 0.0), touching nothing beyond.
static inline __m256 masked_read(const float *p, int m) {
    return _mm256_maskload_ps(p, tail_mask(m));
}

// One row's scores folded into a group's running minima, per lane: the
// lowest (a later equal score does not replace it), its row `slot`, and the
// lowest of the others.
static inline void fold_minima(__m256 score, __m256 slot, __m256 &low, __m256 &next,
                               __m256i &who) {
    const __m256 lower = _mm256_cmp_ps(score, low, _CMP_LT_OQ);
    next = _mm256_min_ps(next, _mm256_max_ps(low, score));
    low = _mm256_blendv_ps(low, score, lower);
    who = _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(who), slot, lower));
}

// Sum of the eight lanes as ((l0 + l4) + (l2 + l6)) + ((l1 + l5) + (l3 + l7)).
static inline float hsum_halves(__m256 v) {
    __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    __m128 h = _mm_add_ps(s, _mm_movehl_ps(s, s));
    return _mm_cvtss_f32(_mm_add_ss(h, _mm_shuffle_ps(h, h, 1)));
}

// Smallest of the eight lanes (a NaN lane may or may not be passed over).
static inline float hmin(__m256 v) {
    __m128 m = _mm_min_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    m = _mm_min_ps(m, _mm_movehl_ps(m, m));
    return _mm_cvtss_f32(_mm_min_ss(m, _mm_shuffle_ps(m, m, 1)));
}

// In-place transpose of the 8 x 8 block held by v[0 .. 7] (row r in v[r]).
static inline void transpose8(__m256 (&v)[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(v[0], v[1]), t1 = _mm256_unpackhi_ps(v[0], v[1]);
    const __m256 t2 = _mm256_unpacklo_ps(v[2], v[3]), t3 = _mm256_unpackhi_ps(v[2], v[3]);
    const __m256 t4 = _mm256_unpacklo_ps(v[4], v[5]), t5 = _mm256_unpackhi_ps(v[4], v[5]);
    const __m256 t6 = _mm256_unpacklo_ps(v[6], v[7]), t7 = _mm256_unpackhi_ps(v[6], v[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    v[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    v[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    v[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    v[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    v[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    v[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    v[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    v[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// Lane t of the result is accumulator t summed as hsum_halves does,
// ((l0 + l4) + (l2 + l6)) + ((l1 + l5) + (l3 + l7)), for all eight at once.
static inline __m256 sum_lanes_halves(const __m256 (&acc)[8]) {
    // u04 = [0h0 0h1 0h2 0h3 | 4h0 4h1 4h2 4h3] with h_j = l_j + l_(j+4)
    const auto halves = [](__m256 lo, __m256 hi) {
        return _mm256_add_ps(_mm256_permute2f128_ps(lo, hi, 0x20),
                             _mm256_permute2f128_ps(lo, hi, 0x31));
    };
    const __m256 u04 = halves(acc[0], acc[4]), u15 = halves(acc[1], acc[5]);
    const __m256 u26 = halves(acc[2], acc[6]), u37 = halves(acc[3], acc[7]);
    // v01 = [0(h0+h2) 0(h1+h3) 1(h0+h2) 1(h1+h3) | the same for 4 and 5]
    const __m256 v01 = _mm256_add_ps(_mm256_shuffle_ps(u04, u15, _MM_SHUFFLE(1, 0, 1, 0)),
                                     _mm256_shuffle_ps(u04, u15, _MM_SHUFFLE(3, 2, 3, 2)));
    const __m256 v23 = _mm256_add_ps(_mm256_shuffle_ps(u26, u37, _MM_SHUFFLE(1, 0, 1, 0)),
                                     _mm256_shuffle_ps(u26, u37, _MM_SHUFFLE(3, 2, 3, 2)));
    return _mm256_hadd_ps(v01, v23);
}

// Lane t of the result is accumulator t summed as
// (((l0 + l1) + (l2 + l3)) + (l4 + l5)) + (l6 + l7): horizontal adds form the
// pair sums p0 .. p3 of every accumulator, a transpose gathers each pair sum
// across accumulators, and p2 and p3 are then added one at a time.
static inline __m256 sum_lanes_pairs(const __m256 (&acc)[8]) {
    // h01 = [0p0 0p1 1p0 1p1 | 0p2 0p3 1p2 1p3] (accumulator, pair sum)
    const __m256 h01 = _mm256_hadd_ps(acc[0], acc[1]), h23 = _mm256_hadd_ps(acc[2], acc[3]);
    const __m256 h45 = _mm256_hadd_ps(acc[4], acc[5]), h67 = _mm256_hadd_ps(acc[6], acc[7]);
    // e03 = [0p0 1p0 2p0 3p0 | 0p2 1p2 2p2 3p2], o03 = the same with p1 | p3
    const __m256 e03 = _mm256_shuffle_ps(h01, h23, _MM_SHUFFLE(2, 0, 2, 0));
    const __m256 o03 = _mm256_shuffle_ps(h01, h23, _MM_SHUFFLE(3, 1, 3, 1));
    const __m256 e47 = _mm256_shuffle_ps(h45, h67, _MM_SHUFFLE(2, 0, 2, 0));
    const __m256 o47 = _mm256_shuffle_ps(h45, h67, _MM_SHUFFLE(3, 1, 3, 1));
    // Low halves of these sums are p0 + p1; the high halves are not used.
    const __m256 q03 = _mm256_add_ps(e03, o03), q47 = _mm256_add_ps(e47, o47);
    const __m256 p01 = _mm256_permute2f128_ps(q03, q47, 0x20);
    const __m256 p2 = _mm256_permute2f128_ps(e03, e47, 0x31);
    const __m256 p3 = _mm256_permute2f128_ps(o03, o47, 0x31);
    return _mm256_add_ps(_mm256_add_ps(p01, p2), p3);
}

// Register tile: one row a against Q <= 8 rows b[0 .. Q-1], Q 8-lane
// accumulators, over depth, the rows' shared length; a's eight floats are
// loaded once per step and shared by Q fused multiply-adds that read the b
// vectors straight from memory. Each row has its own chain over the first
// 8 * floor(depth / 8) floats, so a partial tile computes exactly what the
// same rows get in a full one. Accumulators from Q on stay zero.
template <int Q>
static inline void dot_rows(const float *a_row, const float *const (&b)[8], int depth,
                            __m256 (&acc)[8]) {
    for (int t = 0; t < 8; ++t) acc[t] = _mm256_setzero_ps();
    for (int o = 0; o + 8 <= depth; o += 8) {
        const __m256 x = _mm256_loadu_ps(a_row + o);
        for (int t = 0; t < Q; ++t) acc[t] = _mm256_fmadd_ps(x, _mm256_loadu_ps(b[t] + o), acc[t]);
    }
}

// The dot products of one row with the first Q of a group of listed rows of B
// (row c at B + c * ldb).
template <int Q>
static inline void group_dots(const float *a_row, const float *B, int ldb, int depth,
                              const int32_t *group, __m256 (&acc)[8]) {
    const float *b[8];
    for (int t = 0; t < Q; ++t) b[t] = B + static_cast<std::size_t>(group[t]) * ldb;
    dot_rows<Q>(a_row, b, depth, acc);
}

// Lane sums of the group's first q candidates (1 <= q <= 8) in the halves
// order, alpha not yet applied; one instance per q, so no lane is computed
// for nothing.
template <int Q>
static inline __m256 halves_sums(const float *a_row, const float *B, int ldb, int depth,
                                 const int32_t *group) {
    __m256 acc[8];
    group_dots<Q>(a_row, B, ldb, depth, group, acc);
    return sum_lanes_halves(acc);
}

static inline __m256 partial_sums(int q, const float *a_row, const float *B, int ldb, int depth,
                                  const int32_t *group) {
    switch (q) {
        case 1: return halves_sums<1>(a_row, B, ldb, depth, group);
        case 2: return halves_sums<2>(a_row, B, ldb, depth, group);
        case 3: return halves_sums<3>(a_row, B, ldb, depth, group);
        case 4: return halves_sums<4>(a_row, B, ldb, depth, group);
        case 5: return halves_sums<5>(a_row, B, ldb, depth, group);
        case 6: return halves_sums<6>(a_row, B, ldb, depth, group);
        case 7: return halves_sums<7>(a_row, B, ldb, depth, group);
        default: return halves_sums<8>(a_row, B, ldb, depth, group);
    }
}

// Lane sums of a full group in the pairwise order, alpha not yet applied.
static inline __m256 full_sums(const float *a_row, const float *B, int ldb, int depth,
                               const int32_t *group) {
    __m256 acc[8];
    group_dots<8>(a_row, B, ldb, depth, group, acc);
    return sum_lanes_pairs(acc);
}


// Running first minimum of scores over positions (centers, or list
// positions), lane t holding positions 8g + t. A lane takes a score only when
// it is strictly below the lane's best, so it keeps its first minimum and no
// NaN; the lowest position among the lanes holding the overall minimum is
// then where the sequential strict scan ends.
struct FirstMin {
    __m256 best = _mm256_set1_ps(__builtin_inff());
    __m256 group = _mm256_setzero_ps();  // group start of each lane's best, int32 bits

    void add(__m256 score, int p) {
        const __m256 lower = _mm256_cmp_ps(score, best, _CMP_LT_OQ);
        best = _mm256_blendv_ps(best, score, lower);
        group = _mm256_blendv_ps(group, _mm256_castsi256_ps(_mm256_set1_epi32(p)), lower);
    }

    // Position of the first minimum. When no score is below +inf no lane has
    // moved, and lane 0 gives position 0: the first score (+inf or NaN) stays
    // the best of the sequential scan.
    int position() const {
        __m256 m = _mm256_min_ps(best, _mm256_permute2f128_ps(best, best, 1));
        m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
        m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
        const __m256i pos = _mm256_add_epi32(_mm256_castps_si256(group),
                                             _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        const __m256i at_min = _mm256_castps_si256(_mm256_cmp_ps(best, m, _CMP_EQ_OQ));
        __m256i p = _mm256_blendv_epi8(_mm256_set1_epi32(INT32_MAX), pos, at_min);
        p = _mm256_min_epi32(p, _mm256_permute2x128_si256(p, p, 1));
        p = _mm256_min_epi32(p, _mm256_shuffle_epi32(p, _MM_SHUFFLE(1, 0, 3, 2)));
        p = _mm256_min_epi32(p, _mm256_shuffle_epi32(p, _MM_SHUFFLE(2, 3, 0, 1)));
        return _mm256_cvtsi256_si32(p);
    }

    // Whether any lane took a score.
    bool any() const {
        const __m256 inf = _mm256_set1_ps(__builtin_inff());
        return _mm256_movemask_ps(_mm256_cmp_ps(best, inf, _CMP_LT_OQ)) != 0;
    }
};

// Nearest of centers 0 .. k-1 from one row of products -2 x.c, scored
// row[c] + c_norm[c], eight at a time with the lanes past k NaN: the
// sequential strict scan, in which ties keep the lower index, a NaN never
// wins and a NaN first score stays the best.
static inline int nearest_of_row_8(const float *row, const float *c_norm, int k) {
    FirstMin scan;
    const int k_vec = k & ~7;
    for (int j = 0; j < k_vec; j += 8)
        scan.add(_mm256_add_ps(_mm256_loadu_ps(row + j), _mm256_loadu_ps(c_norm + j)), j);
    if (k_vec < k) {
        const int m = k - k_vec;
        const __m256 score =
            _mm256_add_ps(masked_read(row + k_vec, m), masked_read(c_norm + k_vec, m));
        scan.add(_mm256_blendv_ps(_mm256_set1_ps(__builtin_nanf("")), score,
                                  _mm256_castsi256_ps(tail_mask(m))),
                 k_vec);
    }
    // With no score below +inf no later one replaces the first either.
    const float s0 = row[0] + c_norm[0];
    return s0 != s0 || !scan.any() ? 0 : scan.position();
}

// Lanes of the kernels in use: 16 where AVX-512 runs, else 8 (wide.cpp).
int kernel_lanes();

// nearest_of_row_8's scan at 16 lanes (wide.cpp); the same label.
int nearest_of_row_16(const float *row, const float *c_norm, int k);

// Rows shorter than this scanned no faster at 16 lanes (the call and the
// reduction of 16 lanes cost what the wider steps save).
constexpr int kWideScanMin = 48;

// The label scan: nearest_of_row_8, or its 16-lane twin for rows of at
// least kWideScanMin while the 16-lane kernels are in use.
static inline int nearest_of_row(const float *row, const float *c_norm, int k) {
    if (k >= kWideScanMin && kernel_lanes() == 16) return nearest_of_row_16(row, c_norm, k);
    return nearest_of_row_8(row, c_norm, k);
}

}  // namespace tavrine

#endif  // TAVRINE_SIMD_H
