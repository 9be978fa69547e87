// SPDX-License-Identifier: BSD-3-Clause
//
// One assignment of the drift loop. A point the loosened bounds do not
// settle (filter.h) first takes the distance to its own center, then its
// group bounds. A survivor scans its own group (or, when that group's bound
// rules out its other members, scores its own center alone), then only the
// groups the tightened bound leaves open; a point with most groups open is
// scanned over all of them. Points are packed per group (or once, for the
// all-groups list) and the group's centers run against them as rows, one
// lane per point (at 16 lanes each group's minima leave the product's
// registers directly): each product is one FMA chain in column order either
// way round, so a score P(x, c) + |c|^2 is the same whatever points and
// centers are batched with it, and the label is the first minimum over all
// k centers, as a full scan gives. With bfloat16 estimates (from
// kHalfCenters where the processor has the BF16 dot product, from
// kTileHalfCenters with AMX tiles) the wide scans run on bfloat16 copies
// first; a score is taken only where the estimates' error bound cannot rule
// its center out, by the same chains.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "estimator/filter.h"
#include "estimator/loop.h"

using namespace tavrine;
using namespace tavrine::drift;

namespace {

// Points lo + entries[0 .. count-1] (lo + 0 .. count-1 without entries),
// packed as pack_centers lays out centers: panels of 16 (the last of 8), each
// d8 rows of its points' values; lanes past count are zero.
void pack_points(const run_state &r, int lo, const int32_t *entries, int count, float *out) {
    const int count8 = round_up8(count), d = r.d, d8 = r.d8;
    for (int j0 = 0; j0 < count8; j0 += 8) {
        const int panel = j0 & ~(kPanelCenters - 1);
        const int width = std::min(kPanelCenters, count8 - panel), lane = j0 - panel;
        const float *src[8];
        for (int q = 0; q < 8; ++q)
            src[q] = j0 + q < count ? r.X + at(lo + (entries ? entries[j0 + q] : j0 + q), d)
                                    : nullptr;
        float *dst = out + at(panel, d8) + lane;
        for (int o = 0; o < d8; o += 8) {
            const int m = std::min(8, d - o);
            __m256 v[8];
            for (int q = 0; q < 8; ++q)
                v[q] = src[q] == nullptr ? _mm256_setzero_ps()
                       : m == 8          ? seen8(r, _mm256_loadu_ps(src[q] + o), o)
                                         : seen8(r, masked_read(src[q] + o, m), o);
            transpose8(v);
            for (int c = 0; c < 8; ++c) _mm256_storeu_ps(dst + at(o + c, width), v[c]);
        }
    }
}

// Per lane j < width of rows (size rows of stride ld, width a multiple of 8):
// the lowest of rows[c][j] + norm[c] over c, its first c, and the lowest of
// the others.
void group_minima_8(const float *rows, int ld, int width, int size, const float *norm,
                    float *min1, float *min2, int32_t *nearest) {
    for (int j = 0; j < width; j += 8) {
        __m256 low = _mm256_set1_ps(kInf), next = low;
        __m256i who = _mm256_setzero_si256();
        for (int c = 0; c < size; ++c) {
            const __m256 score =
                _mm256_add_ps(_mm256_loadu_ps(rows + at(c, ld) + j), _mm256_set1_ps(norm[c]));
            fold_minima(score, _mm256_castsi256_ps(_mm256_set1_epi32(c)), low, next, who);
        }
        _mm256_storeu_ps(min1 + j, low);
        _mm256_storeu_ps(min2 + j, next);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(nearest + j), who);
    }
}

// The same, sixteen lanes at a time (width a multiple of 16), where the
// processor has AVX-512 and the kernels' width allows it. Only this function
// carries the avx512f target: the rest of the file, like every other, is
// compiled for AVX2, so no shared inline helper gets an AVX-512 copy.
__attribute__((target("avx512f"))) void group_minima_16(const float *rows, int ld, int width,
                                                        int size, const float *norm, float *min1,
                                                        float *min2, int32_t *nearest) {
    for (int j = 0; j < width; j += 16) {
        __m512 low = _mm512_set1_ps(__builtin_inff()), next = low;
        __m512i who = _mm512_setzero_si512();
        for (int c = 0; c < size; ++c) {
            const __m512 score =
                _mm512_add_ps(_mm512_loadu_ps(rows + at(c, ld) + j), _mm512_set1_ps(norm[c]));
            const __mmask16 lower = _mm512_cmp_ps_mask(score, low, _CMP_LT_OQ);
            next = _mm512_min_ps(next, _mm512_max_ps(low, score));
            low = _mm512_mask_mov_ps(low, lower, score);
            who = _mm512_mask_mov_epi32(who, lower, _mm512_set1_epi32(c));
        }
        _mm512_storeu_ps(min1 + j, low);
        _mm512_storeu_ps(min2 + j, next);
        _mm512_storeu_si512(nearest + j, who);
    }
}

// Each entry's best so far against a group's lowest score, eight entries at
// a time without a branch: a lower score, or an equal one from a
// lower-numbered center, replaces it. A bucket's entries are distinct, so
// every entry's pair is written back as chosen.
void take_lower(scratch &s, const int32_t *entries, int count, const float *min1,
                const int32_t *nearest, const int32_t *center) {
    alignas(32) float best[8];
    alignas(32) int32_t best_idx[8];
    int e = 0;
    for (; e + 8 <= count; e += 8) {
        const __m256i at_e = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(entries + e));
        const __m256i c = _mm256_i32gather_epi32(
            center, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(nearest + e)), 4);
        const __m256 low = _mm256_loadu_ps(min1 + e);
        const __m256 held = _mm256_i32gather_ps(s.best.get(), at_e, 4);
        const __m256i held_idx = _mm256_i32gather_epi32(s.best_idx.get(), at_e, 4);
        const __m256 tie = _mm256_and_ps(_mm256_cmp_ps(low, held, _CMP_EQ_OQ),
                                         _mm256_castsi256_ps(_mm256_cmpgt_epi32(held_idx, c)));
        const __m256 take = _mm256_or_ps(_mm256_cmp_ps(low, held, _CMP_LT_OQ), tie);
        _mm256_store_ps(best, _mm256_blendv_ps(held, low, take));
        _mm256_store_si256(reinterpret_cast<__m256i *>(best_idx),
                           _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(held_idx),
                                                                _mm256_castsi256_ps(c), take)));
        for (int q = 0; q < 8; ++q) {
            s.best[entries[e + q]] = best[q];
            s.best_idx[entries[e + q]] = best_idx[q];
        }
    }
    for (; e < count; ++e) {
        const int i = entries[e], c = center[nearest[e]];
        if (min1[e] < s.best[i] || (min1[e] == s.best[i] && c < s.best_idx[i])) {
            s.best[i] = min1[e];
            s.best_idx[i] = c;
        }
    }
}

// Per lane j < width of a group's products (size rows of stride ld): the
// minima group_minima_8 and _16 take, sixteen lanes at a time where the
// kernels run at that width.
void minima_of_products(const float *rows, int ld, int width, int size, const float *norm,
                        float *min1, float *min2, int32_t *nearest) {
    const int wide = kernel_lanes() == 16 ? width & ~15 : 0;
    if (wide > 0) group_minima_16(rows, ld, wide, size, norm, min1, min2, nearest);
    if (wide < width)
        group_minima_8(rows + wide, ld, width - wide, size, norm, min1 + wide, min2 + wide,
                       nearest + wide);
}

// Per point of entries [from, from + count) of the buckets of groups g0 ..
// g1 - 1, the same points in each (packed in `packed`; sparse rows are
// scored where they lie), and group g: the lowest score, its slot in the
// group (the first on ties: slots go in center order) and the lowest of the
// other members, at (g - g0) ld of min1, min2 and nearest. Whole panels of
// 16 points take their minima straight from the product; the rest from
// stored products.
void group_minima(const run_state &r, scratch &s, int lo, int g0, int g1, int from, int count,
                  const float *packed, float *min1, float *min2, int32_t *nearest, int ld) {
    const int count8 = round_up8(count), d8 = r.d8;
    const int s0 = r.L.start[g0], rows = r.L.start[g1] - s0;
    const float *a = &r.rows_by_slot[at(s0, d8)];
    const int wide = !is_sparse(r) ? count8 & ~15 : 0;
    if (wide > 0)
        (kernel_lanes() == 16 ? group_minima_panels_16 : group_minima_panels_8)(
            d8, wide / kPanelCenters, a, d8, &r.L.start[g0], g1 - g0, &r.slot_norm[s0], packed,
            min1, min2, nearest, ld);
    if (wide < count8) {
        const int width = count8 - wide;
        float *out = s.products.get();
        if (is_sparse(r))
            sparse_products(r, lo, &s.bucket[at(g0, s.chunk)] + from, count, s0, rows, out);
        else
            packed_product(rows, d8, width, a, d8, packed + at(wide, d8), out, width);
        for (int g = g0; g < g1; ++g) {
            const int base = r.L.start[g];
            const std::size_t at_g = at(g - g0, ld) + wide;
            minima_of_products(out + at(base - s0, width), width, width, r.L.size(g),
                               &r.slot_norm[base], min1 + at_g, min2 + at_g, nearest + at_g);
        }
    }
}

// group_minima into the groups' own rows of minima, then each entry's best so far.
void scan_groups(const run_state &r, scratch &s, int lo, int g0, int g1, int from, int count,
                 const float *packed, int64_t &products) {
    const std::size_t first = at(g0, s.entries) + from;
    group_minima(r, s, lo, g0, g1, from, count, packed, &s.min1[first], &s.min2[first],
                 &s.nearest[first], s.entries);
    for (int g = g0; g < g1; ++g) {
        const std::size_t at_g = at(g, s.entries) + from;
        take_lower(s, &s.bucket[at(g, s.chunk)] + from, count, &s.min1[at_g], &s.nearest[at_g],
                   &r.L.center[r.L.start[g]]);
    }
    products += int64_t(count) * (r.L.start[g1] - r.L.start[g0]);
}

// Scores of points lo + points[e] against centers center_of(e) (dense
// rows), e < count, to out[e]: eight pairs at a time with points and centers
// transposed into lanes, each the same FMA chain in column order as the
// packed product's, so it equals a full scan's score.
template <class CenterOf>
void pair_scores(const run_state &r, int lo, const int32_t *points, int count,
                 CenterOf center_of, float *out) {
    const int d = r.d, d8 = r.d8;
    for (int e0 = 0; e0 < count; e0 += 8) {
        const int m = std::min(8, count - e0);
        const float *x[8], *c[8];
        int label[8];
        for (int q = 0; q < 8; ++q) {
            const int e = e0 + std::min(q, m - 1), i = points[e];
            label[q] = center_of(e);
            x[q] = r.X + at(lo + i, d);
            c[q] = &r.cen[at(label[q], d8)];
        }
        __m256 acc = _mm256_setzero_ps();
        for (int o = 0; o < d8; o += 8) {
            const int width = std::min(8, d - o);
            __m256 xv[8], cv[8];
            for (int q = 0; q < 8; ++q) {
                xv[q] = seen8(r, width == 8 ? _mm256_loadu_ps(x[q] + o) : masked_read(x[q] + o, width), o);
                cv[q] = _mm256_loadu_ps(c[q] + o);
            }
            transpose8(xv);
            transpose8(cv);
            for (int j = 0; j < 8; ++j) acc = _mm256_fmadd_ps(xv[j], cv[j], acc);
        }
        float product[8];
        _mm256_storeu_ps(product, _mm256_mul_ps(acc, _mm256_set1_ps(-2.0f)));
        for (int q = 0; q < m; ++q) out[e0 + q] = product[q] + r.c_norm[label[q]];
    }
}

// Entries [from, to) of group g's bucket packed, the group's centers run as
// rows against them, then scanned.
void run_bucket(const run_state &r, scratch &s, int lo, int g, int from, int to,
                int64_t &products) {
    const int count = to - from;
    if (count <= 0) return;
    if (!is_sparse(r)) pack_points(r, lo, &s.bucket[at(g, s.chunk)] + from, count, s.points.get());
    scan_groups(r, s, lo, g, g + 1, from, count, s.points.get(), products);
}

// Bound on |estimate - score| for a point of norm x_len whose bfloat16 copy
// is err away, against any center: the copies' errors through both norms,
// the float sums' roundings of either product (d8 columns, two roundings a
// pair step at most; sums below float's normal range flushed) and of the
// norm's addition, and a margin for the rounding of the bound's own uses.
inline float half_slack(const run_state &r, float x_len, float err) {
    const float c = r.radius, c_err = r.half_err_max;
    const float x_half = x_len + err, c_half = c + c_err;
    const float gamma = float(r.d8 + 2) * 0x1p-23f;
    const float product = err * c + x_half * c_err + gamma * (x_len * c + x_half * c_half) +
                          float(r.d8) * 0x1p-125f;
    const float scale = 2.0f * x_half * c_half + c_half * c_half + product;
    return (2.0f * product + 0x1p-20f * scale) * (1.0f + 0x1p-10f);
}

// f(i) for each survivor i not on the every-group list, in point order (both
// lists are in point order, the every-group list a part of the survivors).
template <class F>
inline void for_each_partial(const scratch &s, int n_survivors, int n_every, F f) {
    int v = 0;
    for (int e = 0; e < n_survivors; ++e) {
        const int i = s.survivors[e];
        if (v < n_every && s.every[v] == i) {
            ++v;
            continue;
        }
        f(i);
    }
}

// Entries [0, n) of a group's estimates split by the limits (entry e's
// limit and slack at index[e], or at e without index): a group whose lowest
// estimate passes an entry's limit keeps both estimates lowered by the
// slack, as bounds; one whose second passes it has its second lowered and
// the entry listed in `one`; the others in `doubt`. Returns the two counts.
__attribute__((target("avx512f"))) std::pair<int, int> split_estimates(
    float *min1, float *min2, const int32_t *index, const float *limit, const float *slack,
    int n, int32_t *one, int32_t *doubt) {
    int n_one = 0, n_doubt = 0;
    for (int e = 0; e < n; e += 16) {
        const __mmask16 live = n - e >= 16 ? 0xFFFF : __mmask16((1u << (n - e)) - 1u);
        const __m512 a1 = _mm512_maskz_loadu_ps(live, min1 + e);
        const __m512 a2 = _mm512_maskz_loadu_ps(live, min2 + e);
        __m512 lim, sl;
        if (index) {
            const __m512i at_i = _mm512_maskz_loadu_epi32(live, index + e);
            lim = _mm512_mask_i32gather_ps(_mm512_setzero_ps(), live, at_i, limit, 4);
            sl = _mm512_mask_i32gather_ps(_mm512_setzero_ps(), live, at_i, slack, 4);
        } else {
            lim = _mm512_maskz_loadu_ps(live, limit + e);
            sl = _mm512_maskz_loadu_ps(live, slack + e);
        }
        const __mmask16 out = _mm512_mask_cmp_ps_mask(live, a1, lim, _CMP_GT_OQ);
        const __mmask16 first = _mm512_mask_cmp_ps_mask(live & ~out, a2, lim, _CMP_GT_OQ);
        const __mmask16 rest = live & ~out & ~first;
        _mm512_mask_storeu_ps(min1 + e, out, _mm512_sub_ps(a1, sl));
        _mm512_mask_storeu_ps(min2 + e, out | first, _mm512_sub_ps(a2, sl));
        const __m512i at_e = _mm512_add_epi32(
            _mm512_set1_epi32(e),
            _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
        _mm512_mask_compressstoreu_epi32(one + n_one, first, at_e);
        _mm512_mask_compressstoreu_epi32(doubt + n_doubt, rest, at_e);
        n_one += __builtin_popcount(first);
        n_doubt += __builtin_popcount(rest);
    }
    return {n_one, n_doubt};
}

// Entry i's best so far against score, from center c: a lower score, or an
// equal one from a lower-numbered center, replaces it.
inline void take_one(scratch &s, int i, float score, int32_t c) {
    if (score < s.best[i] || (score == s.best[i] && c < s.best_idx[i])) {
        s.best[i] = score;
        s.best_idx[i] = c;
    }
}

// Point lo + i's row as bfloat16 pairs, and its slack.
void half_point(const run_state &r, scratch &s, int lo, int i) {
    float *row = s.points.get(), err;
    seen_row(r, lo + i, row);
    half_rows(row, 1, r.d8, &s.half_x[at(i, s.half_ld)], s.half_ld, &err);
    s.slack[i] = half_slack(r, r.x_len[lo + i], err);
}

// Points entries[0 .. count) of the survivors' bfloat16 copy packed as
// half_minima_panels reads them: panels of 16, each d8 / 2 rows of its
// points' pairs; lanes past count are zero.
void pack_half(const scratch &s, int pairs, const int32_t *entries, int count, uint32_t *out) {
    const int count16 = (count + 15) & ~15;
    for (int j0 = 0; j0 < count16; j0 += 8) {
        const int panel = j0 & ~15, lane = j0 - panel;
        const float *src[8];
        for (int q = 0; q < 8; ++q)
            src[q] = j0 + q < count
                         ? reinterpret_cast<const float *>(&s.half_x[at(entries[j0 + q], s.half_ld)])
                         : nullptr;
        float *dst = reinterpret_cast<float *>(out + at(panel, pairs)) + lane;
        for (int o = 0; o < pairs; o += 8) {
            __m256 v[8];
            for (int q = 0; q < 8; ++q)
                v[q] = src[q] == nullptr ? _mm256_setzero_ps() : _mm256_loadu_ps(src[q] + o);
            transpose8(v);
            for (int c = 0; c < std::min(8, pairs - o); ++c)
                _mm256_storeu_ps(dst + at(o + c, kPanelCenters), v[c]);
        }
    }
}

// Bfloat16 estimates of group g0 .. g1 - 1's scores for entries [from, from
// + wide) of their buckets (the same points in each, packed in half_points,
// wide a multiple of 16) to the minima rows.
void estimate_groups(const run_state &r, scratch &s, int g0, int g1, int from, int wide) {
    const int pairs = r.d8 / 2;
    for (int h0 = g0; h0 < g1;) {
        int h1 = h0 + 1;
        while (h1 < g1 && r.L.start[h1 + 1] - r.L.start[h0] <= kBatchRows) ++h1;
        const int s0 = r.L.start[h0];
        const std::size_t first = at(h0, s.entries) + from;
        half_minima_panels(pairs, wide / kPanelCenters, &r.half_rows[at(s0, pairs)], pairs,
                           &r.L.start[h0], h1 - h0, &r.slot_norm[s0], s.half_points.get(),
                           &s.min1[first], &s.min2[first], &s.nearest[first], s.entries);
        h0 = h1;
    }
}

// Group g's minima for the estimated entries [from, from + n) of its bucket,
// and their points' best so far (limits and slacks by point, or by entry
// for the every-group list). Scores lie within slack of their
// estimates, so a center whose estimate passes the point's limit (an upper
// bound on its nearest score, plus the slack) is not its nearest: a group
// whose lowest estimate passes it keeps lowered estimates as bounds and
// cannot hold the best; one whose second passes it has only its lowest
// member scored; the others are scanned whole. A minimum taken from a
// lowered estimate lies above the nearest score, so it never ends as a
// point's best.
void settle_estimates(const run_state &r, scratch &s, int lo, int g, int from, int n,
                      bool by_entry) {
    const std::size_t row = at(g, s.entries) + from;
    float *min1 = &s.min1[row], *min2 = &s.min2[row];
    int32_t *nearest = &s.nearest[row];
    const int32_t *points = &s.bucket[at(g, s.chunk)] + from;
    const int32_t *slot_center = &r.L.center[r.L.start[g]];
    const auto [n_one, n_scan] =
        by_entry ? split_estimates(min1, min2, nullptr, s.limit_at.get(), s.slack_at.get(), n,
                                   s.one_entry.get(), s.scan_entry.get())
                 : split_estimates(min1, min2, points, s.limit.get(), s.slack.get(), n,
                                   s.one_entry.get(), s.scan_entry.get());
    for (int q = 0; q < n_one; ++q) s.one_point[q] = points[s.one_entry[q]];
    float *score = s.one_score.get();
    pair_scores(r, lo, s.one_point.get(), n_one,
                [&](int q) { return slot_center[nearest[s.one_entry[q]]]; }, score);
    for (int q = 0; q < n_one; ++q) {
        const int e = s.one_entry[q];
        min1[e] = std::min(score[q], min2[e]);
        take_one(s, points[e], min1[e], slot_center[nearest[e]]);
    }
    if (n_scan == 0) return;
    for (int q = 0; q < n_scan; ++q) s.scan_point[q] = points[s.scan_entry[q]];
    pack_points(r, lo, s.scan_point.get(), n_scan, s.points.get());
    group_minima(r, s, lo, g, g + 1, 0, n_scan, s.points.get(), s.scan_min1.get(),
                 s.scan_min2.get(), s.scan_nearest.get(), s.entries);
    for (int q = 0; q < n_scan; ++q) {
        const int e = s.scan_entry[q];
        min1[e] = s.scan_min1[q];
        min2[e] = s.scan_min2[q];
        nearest[e] = s.scan_nearest[q];
        take_one(s, points[e], min1[e], slot_center[nearest[e]]);
    }
}

// The every-group list (entries [0, n) of every bucket) estimated against
// every group, each point's limit from its lowest estimate, then each
// group's minima made exact where they can decide a label, and the points'
// best (settle_estimates).
void run_every_half(const run_state &r, scratch &s, int lo, int n) {
    for (int e = 0; e < n; ++e) half_point(r, s, lo, s.every[e]);
    pack_half(s, r.d8 / 2, s.every.get(), n, s.half_points.get());
    estimate_groups(r, s, 0, r.t, 0, (n + 15) & ~15);
    float *lowest = s.one_score.get();
    std::fill(lowest, lowest + n, kInf);
    for (int g = 0; g < r.t; ++g) {
        const float *min1 = &s.min1[at(g, s.entries)];
        for (int e = 0; e < n; ++e) lowest[e] = std::min(lowest[e], min1[e]);
    }
    for (int e = 0; e < n; ++e) {
        s.slack_at[e] = s.slack[s.every[e]];
        s.limit_at[e] = lowest[e] + 2.0f * s.slack_at[e];
    }
    for (int g = 0; g < r.t; ++g) settle_estimates(r, s, lo, g, 0, n, true);
}

// The points of the every-group list (entries [0, count) of every bucket,
// packed once) against runs of whole groups of up to kBatchRows centers, or
// estimated first with bfloat16 products (run_every_half).
void run_every(const run_state &r, scratch &s, int lo, int count, int64_t &products) {
    if (r.half) {
        run_every_half(r, s, lo, count);
        products += int64_t(count) * r.k;
        return;
    }
    for (int g0 = 0; g0 < r.t;) {
        int g1 = g0 + 1;
        while (g1 < r.t && r.L.start[g1 + 1] - r.L.start[g0] <= kBatchRows) ++g1;
        scan_groups(r, s, lo, g0, g1, 0, count, s.every_points.get(), products);
        g0 = g1;
    }
}

// Whether the open groups are worth estimating: whether they hold
// kHalfOpenCenters centers a point on average.
bool open_worth_half(const run_state &r, const scratch &s, int n_partial) {
    int64_t pairs = 0;
    for (int g = 0; g < r.t; ++g) pairs += int64_t(s.bucket_n[g] - s.bucket_own[g]) * r.L.size(g);
    return pairs >= int64_t(n_partial) * kHalfOpenCenters;
}

// Each group's open entries (from bucket_own[g]) estimated with bfloat16
// products, then each point's limit from the lower of its best score so far
// and its lowest estimate, and the estimates settled group by group
// (settle_estimates).
void run_open_half(const run_state &r, scratch &s, int lo, int n_survivors, int n_every,
                   int64_t &products) {
    // NaN marks a point not yet copied.
    for_each_partial(s, n_survivors, n_every, [&](int i) { s.limit[i] = kNaN; });
    for (int g = 0; g < r.t; ++g) {
        const int from = s.bucket_own[g], count = s.bucket_n[g] - from;
        if (count <= 0) continue;
        const int32_t *points = &s.bucket[at(g, s.chunk)] + from;
        for (int e = 0; e < count; ++e)
            if (std::isnan(s.limit[points[e]])) {
                half_point(r, s, lo, points[e]);
                s.limit[points[e]] = kInf;
            }
        pack_half(s, r.d8 / 2, points, count, s.half_points.get());
        estimate_groups(r, s, g, g + 1, from, (count + 15) & ~15);
        const float *min1 = &s.min1[at(g, s.entries) + from];
        for (int e = 0; e < count; ++e)
            s.limit[points[e]] = std::min(s.limit[points[e]], min1[e]);
        products += int64_t(count) * r.L.size(g);
    }
    for_each_partial(s, n_survivors, n_every, [&](int i) {
        if (s.limit[i] < kInf)
            s.limit[i] = std::min(s.best[i] + s.slack[i], s.limit[i] + 2.0f * s.slack[i]);
    });
    for (int g = 0; g < r.t; ++g) {
        const int from = s.bucket_own[g], count = s.bucket_n[g] - from;
        if (count > 0) settle_estimates(r, s, lo, g, from, count, false);
    }
}

// The lines of [from, to) into the cache.
inline void prefetch_span(const float *from, const float *to) {
    const auto end = reinterpret_cast<std::uintptr_t>(to);
    for (auto line = reinterpret_cast<std::uintptr_t>(from) & ~std::uintptr_t(63); line < end;
         line += 64)
        _mm_prefetch(reinterpret_cast<const char *>(line), _MM_HINT_T0);
}

// Rows p0 .. p0 + count - 1 of X into the cache (none for count <= 0).
inline void prefetch_rows(const run_state &r, int64_t p0, int count) {
    if (count > 0) prefetch_span(r.X + at(p0, r.d), r.X + at(p0 + count, r.d));
}

inline void push(scratch &s, int g, int i) { s.bucket[at(g, s.chunk) + s.bucket_n[g]++] = i; }

// A survivor's scan starts from nothing; its margin is taken once.
inline void start_best(const run_state &r, scratch &s, int lo, int i, float margin) {
    s.best[i] = kInf;
    s.best_idx[i] = INT32_MAX;
    s.own_score[i] = kNaN;
    s.margin[i] = margin;
    s.low_base[i] = r.x_norm[lo + i] - margin;
}

// Scores of listed points against their own centers; the scan of the other
// open groups starts from them.
void own_scores(const run_state &r, scratch &s, int lo, int count) {
    if (is_sparse(r)) {
        for (int e = 0; e < count; ++e) {
            const int i = s.own[e];
            s.best[i] = s.own_score[i] = sparse_own_score(r, lo + i);
            s.best_idx[i] = r.y[lo + i];
        }
        return;
    }
    float *score = s.one_score.get();
    pair_scores(r, lo, s.own.get(), count, [&](int e) { return r.y[lo + s.own[e]]; },
                score);
    for (int e = 0; e < count; ++e) {
        const int i = s.own[e];
        s.best[i] = s.own_score[i] = score[e];
        s.best_idx[i] = r.y[lo + i];
    }
}

// After the own group (scanned, or scored alone when its bound rules out its
// other members): the other groups whose lower bound does not clear the
// tighter of the point's upper bound and its best score go into their buckets.
inline void push_open_groups(run_state &r, scratch &s, int lo, int i) {
    const int64_t p = lo + i;
    const int own = r.L.of_center[r.y[p]];
    const float margin = s.margin[i];
    const float ub = std::min(r.ub[p], score_bound(r, s, p, i));
    const __m256 threshold = _mm256_set1_ps(threshold_of(r, p, ub, margin));
    const float *lb = &r.lb[at(p, r.t)];
    for (int g0 = 0; g0 < r.t; g0 += 8) {
        const int valid = std::min(8, r.t - g0);
        // Lanes past t read as 0.0, which never clears the threshold: masked off below.
        const __m256 open = _mm256_cmp_ps(masked_read(lb + g0, valid), threshold, _CMP_NGT_UQ);
        unsigned bits = unsigned(_mm256_movemask_ps(open)) & ((1u << valid) - 1u);
        if (own >= g0 && own < g0 + 8) bits &= ~(1u << (own - g0));
        for (; bits; bits &= bits - 1) push(s, g0 + __builtin_ctz(bits), i);
    }
}

struct chunk_result {
    int64_t products = 0;
    int32_t survivors = 0, changed = 0, rescored = 0;
};

// Lower bound of a group from v, its lowest score (or of its other members
// where it holds the point's new center), and the point's low_base.
inline __m256 group_bound(__m256 base, __m256 v) {
    return _mm256_mul_ps(_mm256_sqrt_ps(_mm256_max_ps(_mm256_add_ps(base, v), _mm256_setzero_ps())),
                         _mm256_set1_ps(kRootDown));
}

// The every-group list's group bounds (entries [0, n) of every bucket),
// eight groups of eight points at a time, transposed into the points' rows.
void settle_every(run_state &r, scratch &s, int lo, int n) {
    const int t = r.t;
    for (int e0 = 0; e0 < n; e0 += 8) {
        const int m = std::min(8, n - e0);
        const __m256i live = tail_mask(m);
        const __m256i at_e = _mm256_maskload_epi32(s.every.get() + e0, live);
        const __m256i holder = _mm256_mask_i32gather_epi32(_mm256_set1_epi32(-1),
                                                           s.best_group.get(), at_e, live, 4);
        const __m256 base = _mm256_mask_i32gather_ps(_mm256_setzero_ps(), s.low_base.get(), at_e,
                                                     _mm256_castsi256_ps(live), 4);
        for (int g0 = 0; g0 < t; g0 += 8) {
            const int groups = std::min(8, t - g0);
            __m256 v[8];
            for (int q = 0; q < 8; ++q) {
                if (q >= groups) {
                    v[q] = _mm256_setzero_ps();
                    continue;
                }
                const std::size_t row = at(g0 + q, s.entries) + e0;
                const __m256 other = _mm256_castsi256_ps(
                    _mm256_cmpeq_epi32(holder, _mm256_set1_epi32(g0 + q)));
                v[q] = group_bound(base, _mm256_blendv_ps(_mm256_loadu_ps(&s.min1[row]),
                                                          _mm256_loadu_ps(&s.min2[row]), other));
            }
            transpose8(v);
            const __m256i valid = tail_mask(groups);
            for (int q = 0; q < m; ++q)
                _mm256_maskstore_ps(&r.lb[at(lo + s.every[e0 + q], t) + g0], valid, v[q]);
        }
    }
}

// Lower bounds of group g from its bucket's entries from `from` on, eight at
// a time: the lowest score of the group, or of its other members where it
// holds the point's new center.
void settle_group(run_state &r, scratch &s, int lo, int g, int from) {
    const int32_t *entries = &s.bucket[at(g, s.chunk)] + from;
    const float *min1 = &s.min1[at(g, s.entries) + from], *min2 = &s.min2[at(g, s.entries) + from];
    const int count = s.bucket_n[g] - from;
    const __m256i group = _mm256_set1_epi32(g);
    float bound[8];
    for (int e = 0; e < count; e += 8) {
        const int valid = std::min(8, count - e);
        const __m256i live = tail_mask(valid);
        const __m256i at_e = _mm256_maskload_epi32(entries + e, live);
        const __m256i holder = _mm256_mask_i32gather_epi32(group, s.best_group.get(), at_e, live, 4);
        const __m256 other = _mm256_castsi256_ps(_mm256_cmpeq_epi32(holder, group));
        const __m256 m = _mm256_blendv_ps(_mm256_loadu_ps(min1 + e), _mm256_loadu_ps(min2 + e), other);
        const __m256 base = _mm256_mask_i32gather_ps(_mm256_setzero_ps(), s.low_base.get(), at_e,
                                                     _mm256_castsi256_ps(live), 4);
        _mm256_storeu_ps(bound, group_bound(base, m));
        for (int q = 0; q < valid; ++q) r.lb[at(lo + entries[e + q], r.t) + g] = bound[q];
    }
}

// Labels, bounds and change list of the survivors from their buckets.
void settle_chunk(run_state &r, scratch &s, int lo, int n_survivors, int n_every,
                  chunk_result &out) {
    for (int v = 0; v < n_survivors; ++v) {
        const int i = s.survivors[v];
        const int64_t p = lo + i;
        const float ub = score_bound(r, s, p, i);
        r.ub[p] = r.y[p] == s.best_idx[i] ? std::min(r.ub[p], ub) : ub;
        s.best_group[i] = r.L.of_center[s.best_idx[i]];
        s.prior[v] = r.y[p];
        // An own group left unscanned now holds a center the point left.
        if (r.y[p] != s.best_idx[i] && !std::isnan(s.own_score[i])) {
            float &lb = r.lb[at(p, r.t) + r.L.of_center[r.y[p]]];
            lb = std::min(lb, std::sqrt(std::max(s.low_base[i] + s.own_score[i], 0.0f)) * kRootDown);
        }
        r.y[p] = s.best_idx[i];
    }
    settle_every(r, s, lo, n_every);
    for (int g = 0; g < r.t; ++g) settle_group(r, s, lo, g, n_every);
    if (r.t > 1)
        for (int v = 0; v < n_survivors; ++v) {
            const int64_t p = lo + s.survivors[v];
            r.glb[p] = lowest_group_bound(r, p);
        }
    // With float64 input, a point whose new bounds do not rule every other
    // center out past the widening is a float32 near-tie: decided in double.
    if (r.X64)
        for (int v = 0; v < n_survivors; ++v) {
            const int i = s.survivors[v];
            const int64_t p = lo + i;
            if (!(r.glb[p] > threshold_of(r, p, r.ub[p], s.margin[i]))) {
                rescore(r, p, s.d2.data());
                ++out.rescored;
            }
        }
    for (int v = 0; v < n_survivors; ++v) {
        const int64_t p = lo + s.survivors[v];
        if (r.y[p] == s.prior[v]) continue;
        r.changed[lo + out.changed] = int32_t(p);
        r.changed_from[lo + out.changed] = s.prior[v];
        ++out.changed;
    }
}

// One chunk of the assignment: every group for every point (full), or the
// drift-bound filters first.
void assign_chunk(run_state &r, scratch &s, int lo, int hi, bool full, chunk_result &out) {
    const int m = hi - lo;
    std::fill(s.bucket_n.get(), s.bucket_n.get() + r.t, 0);
    // Points scanned over every group (all of them in the full pass) come
    // first in every bucket, packed once; then the others' own groups, then
    // the groups their tightened bounds leave open.
    int n_survivors = 0, n_every = 0, passed = 0;
    // Most points of a late assignment settle by the global bound, eight at a
    // time; while nearly all pass it, the test is left to the per-point filter.
    const bool batch = !full && !is_sparse(r) && r.passed_share < kBatchShare;
    // While many points pass the global bound, the filter reads their rows
    // (the distance to its own center) and group bounds: the next eight
    // points' are fetched ahead.
    const bool fetch = !full && !is_sparse(r) && r.passed_share >= kFetchShare;
    for (int i0 = 0; i0 < m; i0 += 8) {
        const int count = std::min(8, m - i0);
        if (fetch && m - i0 > 8) {
            const int64_t p = lo + i0 + 8, ahead = std::min(8, m - i0 - 8);
            prefetch_rows(r, p, ahead);
            if (r.t > 1) prefetch_span(&r.lb[at(p, r.t)], &r.lb[at(p + ahead, r.t)]);
        }
        const unsigned settled = batch ? settle_global8(r, lo + i0, count) : 0u;
        for (int i = i0; i < i0 + count; ++i) {
            if (settled >> (i - i0) & 1u) continue;
            const int64_t p = lo + i;
            const float margin = row_margin(r, p);
            const verdict fate = full ? verdict::scan_every : filter_point(r, p, margin);
            passed += fate != verdict::settled_global;
            if (fate < verdict::scan_open) continue;
            if (!is_sparse(r) && !fetch) prefetch_rows(r, p, 1);
            start_best(r, s, lo, i, margin);
            s.survivors[n_survivors++] = i;
            if (fate == verdict::scan_every) {
                s.every[n_every++] = i;
                if (r.t > 1) r.stamp[p] = r.epoch;
            }
        }
    }
    if (n_every > 0) {
        if (!is_sparse(r) && !r.half)
            pack_points(r, lo, s.every.get(), n_every, s.every_points.get());
        for (int g = 0; g < r.t; ++g) {
            std::copy(s.every.get(), s.every.get() + n_every, &s.bucket[at(g, s.chunk)]);
            s.bucket_n[g] = n_every;
        }
        run_every(r, s, lo, n_every, out.products);
    }
    int n_own = 0;
    for_each_partial(s, n_survivors, n_every, [&](int i) {
        const int64_t p = lo + i;
        const int own = r.L.of_center[r.y[p]];
        if (r.t > 1 && !group_open(r, p, own, r.ub[p], s.margin[i]))
            s.own[n_own++] = i;
        else
            push(s, own, i);
    });
    own_scores(r, s, lo, n_own);
    out.products += n_own;
    if (n_every == n_survivors) {
        out.survivors = passed;
        settle_chunk(r, s, lo, n_survivors, n_every, out);
        return;
    }
    for (int g = 0; g < r.t; ++g) {
        s.bucket_own[g] = s.bucket_n[g];
        run_bucket(r, s, lo, g, n_every, s.bucket_n[g], out.products);
    }
    // With one group there is no other group to open.
    if (r.t > 1) {
        for_each_partial(s, n_survivors, n_every, [&](int i) { push_open_groups(r, s, lo, i); });
        if (r.half && open_worth_half(r, s, n_survivors - n_every))
            run_open_half(r, s, lo, n_survivors, n_every, out.products);
        else
            for (int g = 0; g < r.t; ++g)
                run_bucket(r, s, lo, g, s.bucket_own[g], s.bucket_n[g], out.products);
    }
    out.survivors = passed;
    settle_chunk(r, s, lo, n_survivors, n_every, out);
}

// With one group, a chunk most of whose points the bounds would let through
// is scored whole, from its points packed once for the run (dense_points;
// larger data block by block as it is read): every center against them as
// rows, each point's two lowest scores taken straight from the product
// (group_minima), with no filter or gathering.
// Eight points at a time then set their bounds afresh and are counted when
// the loosened global bound would not have settled them, to tell when the
// bounds pay again: a point whose label changed was not settled, and one
// that kept it had the score it has now.
void assign_dense(run_state &r, scratch &s, int lo, int hi, chunk_result &out) {
    const int d8 = r.d8;
    float *min1 = s.min1.get(), *min2 = s.min2.get();
    int32_t *nearest = s.nearest.get();
    const lane_bounds lanes(r);
    const __m256 drift = _mm256_set1_ps(r.widest_drift), loosen = _mm256_set1_ps(kLoosenDown);
    // Per point of a block, padded to whole vectors (lanes past its last
    // point repeat it): its norm, length and old global bound, its old and
    // new label and whether they are the same (all bits set), its new bounds.
    alignas(32) float xn[kAssignRows], xl[kAssignRows], gl[kAssignRows], ub[kAssignRows],
        glb[kAssignRows];
    alignas(32) int32_t before[kAssignRows], label[kAssignRows], held[kAssignRows];
    for (int b0 = lo; b0 < hi; b0 += kAssignRows) {
        const int b1 = std::min(hi, b0 + kAssignRows), m = b1 - b0, m8 = round_up8(m);
        if (!r.dense_points) pack_points(r, b0, nullptr, m, s.every_points.get());
        const float *packed = r.dense_points ? &r.dense_points[at(b0, d8)] : s.every_points.get();
        group_minima(r, s, b0, 0, 1, 0, m, packed, min1, min2, nearest, s.entries);
        for (int i = 0; i < m8; ++i) {
            const int64_t p = b0 + std::min(i, m - 1);
            xn[i] = r.x_norm[p];
            xl[i] = r.x_len[p];
            gl[i] = r.glb[p];
            before[i] = r.y[p];
            label[i] = r.L.center[nearest[std::min(i, m - 1)]];
            held[i] = before[i] == label[i] ? -1 : 0;
        }
        for (int i = 0; i < m8; i += 8) {
            const __m256 x_norm = _mm256_load_ps(xn + i), span = lanes.span(_mm256_load_ps(xl + i));
            const __m256 margin = lanes.margin(span);
            const __m256 up = lanes.root(_mm256_add_ps(_mm256_add_ps(x_norm, _mm256_loadu_ps(min1 + i)),
                                                       margin), kRootUp);
            const __m256 low = _mm256_mul_ps(_mm256_sub_ps(_mm256_load_ps(gl + i), drift), loosen);
            const __m256 settled = _mm256_and_ps(
                _mm256_cmp_ps(low, lanes.threshold(up, span, margin), _CMP_GT_OQ),
                _mm256_load_ps(reinterpret_cast<const float *>(held + i)));
            out.survivors += __builtin_popcount(~_mm256_movemask_ps(settled) & ((1 << std::min(8, m - i)) - 1));
            _mm256_store_ps(ub + i, up);
            _mm256_store_ps(glb + i, lanes.root(_mm256_add_ps(_mm256_sub_ps(x_norm, margin),
                                                              _mm256_loadu_ps(min2 + i)), kRootDown));
        }
        for (int i = 0; i < m; ++i) {
            const int64_t p = b0 + i;
            r.ub[p] = ub[i];
            r.glb[p] = glb[i];
            r.y[p] = label[i];
            if (r.X64 && !(glb[i] > threshold_of(r, p, ub[i], margin_of(r, p)))) {
                rescore(r, p, s.d2.data());
                ++out.rescored;
            }
            if (r.y[p] != before[i]) {
                r.changed[lo + out.changed] = int32_t(p);
                r.changed_from[lo + out.changed] = before[i];
                ++out.changed;
            }
        }
    }
    out.products += int64_t(hi - lo) * r.k;
}

}  // namespace

void drift::pack_dense_points(run_state &r, int ch) {
    const int lo = ch * r.chunk, hi = std::min(r.n, lo + r.chunk);
    for (int b0 = lo; b0 < hi; b0 += kAssignRows)
        pack_points(r, b0, nullptr, std::min(hi, b0 + kAssignRows) - b0,
                    &r.dense_points[at(b0, r.d8)]);
}

void drift::rescore(run_state &r, int64_t p, double *d2) {
    int label = 0;
    for (int c = 0; c < r.k; ++c) {
        d2[c] = gap64(r, p, c);
        if (d2[c] < d2[label]) label = c;
    }
    r.y[p] = label;
    // The double sums of d squares are within (d + 8) 2^-53 of themselves;
    // the float distances within delta (bounds.h) of the double ones, here
    // taken twice over.
    const double slack = 1.0 + double(r.d + 8) * 0x1p-52;
    const double delta = 0x1p-23 * (double(r.x_len[p]) + double(r.radius));
    r.ub[p] = round_up_float(std::sqrt(d2[label] * slack) * slack + delta);
    float low = kInf;
    for (int g = 0; g < r.t; ++g) {
        double nearest = HUGE_VAL;
        for (int slot = r.L.start[g]; slot < r.L.start[g + 1]; ++slot) {
            const int c = r.L.center[slot];
            if (c != label) nearest = std::min(nearest, d2[c]);
        }
        const double bound = (std::sqrt(nearest / slack) / slack - delta) * (1.0 - 0x1p-50);
        float f = float(std::max(bound, 0.0));
        if (double(f) > bound && f > 0.0f) f = std::nextafter(f, 0.0f);
        r.lb[at(p, r.t) + g] = f;
        low = std::min(low, f);
    }
    r.glb[p] = low;
    if (r.t > 1) r.stamp[p] = r.epoch;
}

counters drift::assign_all(run_state &r, bool full) {
    // Half the points through the filter: scoring all is cheaper than
    // filtering and gathering them (dense rows only).
    const bool dense = r.t == 1 && !r.sp.indptr && (full || r.passed_share > kDenseShare);
    r.half = r.half_rows && half_products();
    // On AMX tiles one estimate of every center costs less than the own
    // group's exact scan and the open groups' buckets, and it sets every
    // group bound afresh: from a quarter of the groups open, and from any
    // while nearly every point passes the global bound (its groups' bounds
    // gone stale). Same centers, against three quarters: 200k x 64, k = 256,
    // 33 iterations, 0.34 -> 0.25 s; 50k x 32, k = 128: 0.072 -> 0.057 s;
    // 100k x 256, k = 1024, 11 iterations: 0.42 -> 0.37 s (a quarter alone:
    // 0.41); codebook k = 4096: 2.09 -> 1.99 s (a quarter alone: 1.93);
    // image patches unchanged (every group from any open one: 12% slower).
    r.every_quarters = !(r.half && tile_products(r.d8 / 2)) ? 3
                       : r.passed_share > kBatchShare           ? 0
                                                                : 1;
#pragma omp parallel for schedule(dynamic, 1) num_threads(r.team) if (r.team > 1)
    for (int ch = 0; ch < r.n_chunks; ++ch) {
        const int lo = ch * r.chunk, hi = std::min(r.n, lo + r.chunk);
        chunk_result out;
        if (dense)
            assign_dense(r, r.work[omp_get_thread_num()], lo, hi, out);
        else
            assign_chunk(r, r.work[omp_get_thread_num()], lo, hi, full, out);
        r.chunk_changed[ch] = out.changed;
        r.chunk_survivors[ch] = out.survivors;
        r.chunk_products[ch] = out.products;
        r.chunk_rescored[ch] = out.rescored;
    }
    counters c;
    for (int ch = 0; ch < r.n_chunks; ++ch) {
        c.products += r.chunk_products[ch];
        c.survivors += r.chunk_survivors[ch];
        c.changed += r.chunk_changed[ch];
        r.rescored += r.chunk_rescored[ch];
    }
    r.passed_share = double(c.survivors) / r.n;
    if (check_level.load() > 0) check_assignment(r);
    return c;
}
