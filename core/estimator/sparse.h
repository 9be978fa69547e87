// SPDX-License-Identifier: BSD-3-Clause
//
// Every read of a sparse X by the drift loop, kept together: the rows come as
// CSR (columns increasing within a row, values already scaled), the centers
// stay dense, with a transposed copy in slot order for the group scores. A
// score is one FMA chain over the row's nonzeros in column order: a zero term
// leaves a chain unchanged, so it is the dense chain of the densified row,
// however it is reached. Internal; not installed.
#ifndef TAVRINE_SPARSE_H
#define TAVRINE_SPARSE_H

#include <algorithm>
#include <cmath>
#include <vector>

#include "estimator/bounds.h"

namespace tavrine::drift {

inline bool is_sparse(const run_state &r) { return r.sp.indptr != nullptr; }

// x.c for sparse row p against a dense center: the one FMA chain every
// sparse score is made of.
inline float sparse_dot(const sparse_rows &sp, int64_t p, const float *c) {
    float acc = 0.0f;
    for (int64_t i = sp.indptr[p]; i < sp.indptr[p + 1]; ++i)
        acc = std::fma(sp.values[i], c[sp.indices[i]], acc);
    return acc;
}

// -2 x.c for sparse row p against the m centers in columns s0 .. s0 + m - 1
// of ct (d rows of stride kt >= s0 + m + 15), into out[q * ld]: per center
// sparse_dot's chain, in eight-center lanes, four vectors per sweep of the row.
inline void sparse_scores(const sparse_rows &sp, const float *ct, int kt, int64_t p, int s0, int m,
                          float *out, int ld) {
    const int64_t first = sp.indptr[p], end = sp.indptr[p + 1];
    const __m256 minus2 = _mm256_set1_ps(-2.0f);
    for (int q0 = 0; q0 < m; q0 += 32) {
        __m256 acc0 = _mm256_setzero_ps(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
        const float *col = ct + s0 + q0;
        if (m - q0 > 16) {
            for (int64_t i = first; i < end; ++i) {
                const __m256 x = _mm256_set1_ps(sp.values[i]);
                const float *c = col + at(sp.indices[i], kt);
                acc0 = _mm256_fmadd_ps(x, _mm256_loadu_ps(c), acc0);
                acc1 = _mm256_fmadd_ps(x, _mm256_loadu_ps(c + 8), acc1);
                acc2 = _mm256_fmadd_ps(x, _mm256_loadu_ps(c + 16), acc2);
                acc3 = _mm256_fmadd_ps(x, _mm256_loadu_ps(c + 24), acc3);
            }
        } else {
            for (int64_t i = first; i < end; ++i) {
                const __m256 x = _mm256_set1_ps(sp.values[i]);
                const float *c = col + at(sp.indices[i], kt);
                acc0 = _mm256_fmadd_ps(x, _mm256_loadu_ps(c), acc0);
                acc1 = _mm256_fmadd_ps(x, _mm256_loadu_ps(c + 8), acc1);
            }
        }
        alignas(32) float lane[32];
        _mm256_store_ps(lane, _mm256_mul_ps(acc0, minus2));
        _mm256_store_ps(lane + 8, _mm256_mul_ps(acc1, minus2));
        _mm256_store_ps(lane + 16, _mm256_mul_ps(acc2, minus2));
        _mm256_store_ps(lane + 24, _mm256_mul_ps(acc3, minus2));
        for (int q = q0; q < std::min(m, q0 + 32); ++q) out[at(q, ld)] = lane[q - q0];
    }
}

// Stride of the transposed centers: room for the last vector of any slot run.
inline int transposed_stride(int k) { return round_up8(k) + 32; }

// Points lo + entries[0 .. count-1] (lo + 0 .. count-1 without entries)
// against the centers in slots s0 .. s0 + m - 1, laid out as packed_product
// lays out a group's products: slot by rows, points by lanes of count8.
inline void sparse_products(const run_state &r, int lo, const int32_t *entries, int count, int s0,
                            int m, float *out) {
    const int count8 = round_up8(count);
    for (int e = 0; e < count; ++e)
        sparse_scores(r.sp, r.cen_t.get(), r.kt, lo + (entries ? entries[e] : e), s0, m, out + e,
                      count8);
    for (int q = 0; q < m; ++q) std::fill(out + at(q, count8) + count, out + at(q, count8) + count8, 0.0f);
}

// Center c's row into the transposed copy at `slot`.
inline void place_transposed(run_state &r, int slot, int c) {
    const float *row = &r.cen[at(c, r.d8)];
    for (int j = 0; j < r.d; ++j) r.cen_t[at(j, r.kt) + slot] = row[j];
}

// Sum of squares in double, rounded once: the squared norms of a sparse run,
// points and centers, within 2^-24 of exact.
inline float norm_in_double(const float *v, int64_t count) {
    double s = 0.0;
    for (int64_t i = 0; i < count; ++i) s += double(v[i]) * double(v[i]);
    return float(s);
}

inline float sparse_norm(const sparse_rows &sp, int64_t p) {
    return norm_in_double(sp.values + sp.indptr[p], sp.indptr[p + 1] - sp.indptr[p]);
}

// |c|^2 of a padded center row as the scores take it.
inline float center_norm(const run_state &r, const float *row) {
    return is_sparse(r) ? norm_in_double(row, r.d) : sq_norm(row, r.d8);
}

// |c|^2 in double, as sparse_gap takes it.
inline double center_sq_double(const float *c, int d) {
    double s = 0.0;
    for (int j = 0; j < d; ++j) s += double(c[j]) * double(c[j]);
    return s;
}

// Center c's squared norms once its row is set: the scores' float one and,
// for sparse rows, the double one of their distances (sparse_gap).
inline void take_center_norms(run_state &r, int c) {
    const float *row = &r.cen[at(c, r.d8)];
    r.c_norm[c] = center_norm(r, row);
    if (is_sparse(r)) r.c_sq[c] = center_sq_double(row, r.d);
}

// Exactness margin of sparse row p. The dense derivation (bounds.h) holds
// with d8 replaced by any L at least the length of every chain in a score:
// -2 x.c is a chain over the row's nonzeros, and |x|^2, |c|^2 are rounded
// once from double (within u <= g). L = the row's nonzero count rounded up
// to a multiple of 8 (at least 8) keeps E = (2L + 32) u (|x| + R)^2 with the
// dense form's slack; an empty row scores every center by its norm alone.
inline float sparse_margin(const run_state &r, int64_t p) {
    const int64_t nnz = r.sp.indptr[p + 1] - r.sp.indptr[p];
    const float span = r.x_len[p] + r.radius;
    return margin_rate(round_up8(int(std::max<int64_t>(nnz, 1)))) * span * span + 0x1p-100f;
}

inline float row_margin(const run_state &r, int64_t p) {
    return is_sparse(r) ? sparse_margin(r, p) : margin_of(r, p);
}

// Score of sparse point p against its own center, as a group scan scores it.
inline float sparse_own_score(const run_state &r, int64_t p) {
    const int c = r.y[p];
    return -2.0f * sparse_dot(r.sp, p, &r.cen[at(c, r.d8)]) + r.c_norm[c];
}

// Upper bound on |x - c| to point p's own center from its score: within the
// margin of |x - c|^2, as score_bound (filter.h) takes it for a scan's best.
inline float sparse_own_bound(const run_state &r, int64_t p, float margin) {
    const float q = r.x_norm[p] + sparse_own_score(r, p) + margin;
    return std::sqrt(std::max(q, 0.0f)) * kRootUp;
}

// sums += w x for sparse row p, each product exact in double.
inline void sparse_add(const run_state &r, double *sums, int64_t p, double w) {
    for (int64_t i = r.sp.indptr[p]; i < r.sp.indptr[p + 1]; ++i)
        sums[r.sp.indices[i]] += double(r.sp.values[i]) * w;
}


}  // namespace tavrine::drift

#endif
