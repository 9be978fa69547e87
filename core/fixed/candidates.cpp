// SPDX-License-Identifier: BSD-3-Clause
//
// Candidate lists of the pruned assignment. Seen from its current center l,
// a point at angle (cos, sin) = (a, b) and squared distance r2 can be nearer
// to center c only where D_CC[l][c] < 4 r2 (a cos_lc + b sin_lc)^2; the
// centers that pass are listed in ascending order, the own center always,
// then a run of up to eight -1 that lets the product kernels, which read
// whole groups of eight list positions, recognise the group holding the end.
#include <cfloat>
#include <cmath>

#include "common.h"

using namespace tavrine;

namespace {

constexpr int kAhead = 4;   // rows between a prefetch and the row that needs it

// For each byte of candidate bits, the lanes of its set bits packed low to high
// (one byte each): turns a block's comparison bits into its listed indices.
struct LaneTable {
    uint64_t packed[256];
};

constexpr LaneTable make_lane_table() {
    LaneTable t{};
    for (int bits = 0; bits < 256; ++bits) {
        int n = 0;
        for (int lane = 0; lane < 8; ++lane)
            if ((bits >> lane) & 1) t.packed[bits] |= uint64_t(lane) << (8 * n++);
    }
    return t;
}

constexpr LaneTable kLaneTable = make_lane_table();

// The bound w_c of one point for eight centers at once, from the rows of its
// center l at column c.
struct Bound8 {
    __m256 a, b, t;
    const float *cos_l, *sin_l, *dcc_l;

    // Bit j set when center c + j may be nearer than l: D_CC < w, strictly.
    // min(w, inf) turns a NaN bound into +inf (minps returns its second
    // operand on NaN): an undefined bound cannot rule a center out, while a
    // NaN distance (an emptied center) still fails the ordered comparison.
    unsigned open(int c) const {
        const __m256 proj = _mm256_fmadd_ps(a, _mm256_loadu_ps(cos_l + c),
                                            _mm256_mul_ps(b, _mm256_loadu_ps(sin_l + c)));
        const __m256 w = _mm256_mul_ps(_mm256_mul_ps(proj, proj), t);
        const __m256 inf = _mm256_set1_ps(__builtin_inff());
        // w > D_CC is D_CC < w with the distance as the memory operand.
        return static_cast<unsigned>(_mm256_movemask_ps(
            _mm256_cmp_ps(_mm256_min_ps(w, inf), _mm256_loadu_ps(dcc_l + c), _CMP_GT_OQ)));
    }
};

}  // namespace

// Appends the centers c + j of the set bits j to list[m ..] with one 8-wide
// store (entries past the new count are scratch); returns the new count.
// base holds c in every lane.
static inline int append_block(int32_t *list, int m, __m256i base, unsigned bits) {
    const __m256i lanes =
        _mm256_cvtepu8_epi32(_mm_cvtsi64_si128((long long)kLaneTable.packed[bits]));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(list + m), _mm256_add_epi32(base, lanes));
    return m + __builtin_popcount(bits);
}

// Candidates of one point with r2 > 0 among centers 0 .. k-1, written from
// list[0]; returns their number. Block stores may write up to seven entries
// past the returned count, always below k and inside the -1 run written after.
// With Record, blocks[b] receives the candidate bits of centers 8b .. 8b+7
// for every block below k8; without Append only they are written, not list.
template <bool Record, bool Append>
static inline int list_candidates(const float *cos_l, const float *sin_l, const float *dcc_l,
                                  float a, float b, float t, int l, int k, int32_t *list,
                                  uint8_t *blocks) {
    const Bound8 bound{_mm256_set1_ps(a), _mm256_set1_ps(b), _mm256_set1_ps(t), cos_l, sin_l,
                       dcc_l};
    const int k_vec = k & ~7, own_block = l & ~7;
    const __m256i eight = _mm256_set1_epi32(8);
    __m256i base = _mm256_setzero_si256();
    int m = 0, c = 0;
    const auto block = [&](unsigned bits) {
        if (Record) blocks[c >> 3] = static_cast<uint8_t>(bits);
        m = Append ? append_block(list, m, base, bits) : m + __builtin_popcount(bits);
    };
    // The own center is listed whatever its bound says: its bit is forced in
    // its block, so the other blocks need no index comparison.
    for (; c < k_vec && c < own_block; c += 8, base = _mm256_add_epi32(base, eight))
        block(bound.open(c));
    if (c == own_block && c < k_vec) {
        block(bound.open(c) | 1u << (l & 7));
        c += 8;
        base = _mm256_add_epi32(base, eight);
    }
    for (; c < k_vec; c += 8, base = _mm256_add_epi32(base, eight)) block(bound.open(c));
    unsigned tail = 0;
    for (; c < k; ++c) {
        const float proj = std::fma(a, cos_l[c], b * sin_l[c]);
        const float w = proj * proj * t;
        const float dcc = dcc_l[c];
        if (c == l || dcc < w || (w != w && dcc == dcc)) {
            if (Append) list[m] = c;
            ++m;
            tail |= 1u << (c & 7);
        }
    }
    if (Record && k_vec < k) blocks[k_vec >> 3] = static_cast<uint8_t>(tail);
    return m;
}

// Per center l, a level q_l below which a point of label l lists l alone:
// by Cauchy-Schwarz every bound (a cos_lc + b sin_lc)^2 t is at most
// (a^2 + b^2)(cos_lc^2 + sin_lc^2) t, so (a^2 + b^2) t <= q_l leaves it at or
// below every D_CC[l][c]. The margin of 1e-5 covers the rounding of the
// bound (a few ulps). A row holding a non-finite angle next to a distance,
// whose bound could be NaN and so list that center, gets -1: never.
// Rows are shared out over the calling team.
void tavrine::quiet_levels(const float *COS_OCiCj, const float *SIN_OCiCj, const float *D_CC,
                         int k8, int k, float *q) {
#pragma omp for schedule(static)
    for (int l = 0; l < k; ++l) {
        const float *cos_l = COS_OCiCj + at(l, k8), *sin_l = SIN_OCiCj + at(l, k8);
        const float *dcc_l = D_CC + at(l, k8);
        double spread = 0.0, nearest = HUGE_VAL;
        bool finite = true;
        for (int c = 0; c < k && finite; ++c) {
            // A NaN distance (an emptied center) is never listed, whatever its angle.
            if (c == l || dcc_l[c] != dcc_l[c]) continue;
            finite = std::isfinite(cos_l[c]) && std::isfinite(sin_l[c]);
            spread = std::fmax(spread, double(cos_l[c]) * cos_l[c] + double(sin_l[c]) * sin_l[c]);
            nearest = std::fmin(nearest, double(dcc_l[c]));
        }
        q[l] = finite ? static_cast<float>(nearest / (spread * (1.0 + 1e-5))) : -1.0f;
    }
}

// compute_mask, and with Record each row's candidate bits in blocks (rows of
// ld_mask / 8 bytes); the bits of a row with one candidate are not written.
// Without Append only the counts and the bits: mask is not touched. With
// quiet levels (quiet_levels), a point deep inside its cell skips the bound.
template <bool Record, bool Append = true>
static void list_rows(const float *COS_OCiCj, const float *SIN_OCiCj, int ld_cc,
                      const float *COS_OCX, const float *SIN_OCX, int rows, const float *D_CC,
                      int ld_dcc, const float *r2, const int32_t *labels, int32_t *mask,
                      int ld_mask, int k, int32_t *counts, uint8_t *blocks,
                      const float *quiet = nullptr) {
    for (int i = 0; i < rows; ++i) {
        const int l = labels[i];
        int32_t *list = mask + at(i, ld_mask);
        if (Append && i + kAhead < rows) {
            __builtin_prefetch(mask + at(i + kAhead, ld_mask), 1);
            __builtin_prefetch(mask + at(i + kAhead, ld_mask) + 16, 1);
        }
        int m = 1;
        const float a = COS_OCX[i], b = SIN_OCX[i], t = 4.0f * r2[i];
        // A point on its own center (r2 = 0) has nothing nearer: list l alone.
        // So has one whose bound stays below every other center (a finite t
        // keeps the bound from being NaN).
        if (!(r2[i] > 0.0f) ||
            (quiet && t <= FLT_MAX && (a * a + b * b) * t <= quiet[l])) {
            if (Append) list[0] = l;
        } else {
            m = list_candidates<Record, Append>(
                COS_OCiCj + at(l, ld_cc), SIN_OCiCj + at(l, ld_cc), D_CC + at(l, ld_dcc),
                a, b, t, l, k, list,
                Record ? blocks + at(i, ld_mask / 8) : nullptr);
        }
        counts[i] = m;
        if (!Append) continue;
        if (m + 8 <= ld_mask)
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(list + m), _mm256_set1_epi32(-1));
        else
            for (int p = m; p < ld_mask; ++p) list[p] = -1;
    }
}

void compute_mask(const float *COS_OCiCj, const float *SIN_OCiCj, int ld_cc,
                  const float *COS_OCX, const float *SIN_OCX, int rows, const float *D_CC,
                  int ld_dcc, const float *r2, const int32_t *labels, int32_t *mask,
                  int ld_mask, int k, int32_t *counts) {
    list_rows<false>(COS_OCiCj, SIN_OCiCj, ld_cc, COS_OCX, SIN_OCX, rows, D_CC, ld_dcc, r2,
                     labels, mask, ld_mask, k, counts, nullptr);
}

void mask_full(int32_t *mask, int rows, int n) {
    for (int r = 0; r < rows; ++r)
        for (int j = 0; j < n; ++j) mask[at(r, n) + j] = j;
}

void tavrine::lists_from_blocks(const uint8_t *blocks, const int32_t *labels,
                              const int32_t *counts, int rows, int k8, int32_t *mask) {
    const __m256i eight = _mm256_set1_epi32(8);
    for (int i = 0; i < rows; ++i) {
        int32_t *list = mask + at(i, k8);
        int m = 1;
        if (counts[i] == 1) {
            list[0] = labels[i];
        } else {
            const uint8_t *row = blocks + at(i, k8 / 8);
            __m256i base = _mm256_setzero_si256();
            m = 0;
            for (int b = 0; b < k8 / 8; ++b, base = _mm256_add_epi32(base, eight))
                m = append_block(list, m, base, row[b]);
        }
        if (m + 8 <= k8)
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(list + m), _mm256_set1_epi32(-1));
        else
            for (int p = m; p < k8; ++p) list[p] = -1;
    }
}

void tavrine::list_rows_bits(bool append, const float *COS_OCiCj, const float *SIN_OCiCj,
                             int ld_cc, const float *COS_OCX, const float *SIN_OCX, int rows,
                             const float *D_CC, int ld_dcc, const float *r2,
                             const int32_t *labels, int32_t *mask, int ld_mask, int k,
                             int32_t *counts, uint8_t *blocks, const float *quiet) {
    if (append)
        list_rows<true, true>(COS_OCiCj, SIN_OCiCj, ld_cc, COS_OCX, SIN_OCX, rows, D_CC, ld_dcc,
                              r2, labels, mask, ld_mask, k, counts, blocks, quiet);
    else
        list_rows<true, false>(COS_OCiCj, SIN_OCiCj, ld_cc, COS_OCX, SIN_OCX, rows, D_CC,
                               ld_dcc, r2, labels, mask, ld_mask, k, counts, blocks, quiet);
}
