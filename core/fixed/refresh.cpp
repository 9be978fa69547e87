// SPDX-License-Identifier: BSD-3-Clause
//
// Bound and geometry refresh: after each center update, the center norms, the
// squared center-to-center distances, the cosine and sine of the angle at
// each center between the origin and every other center, and for every point
// its squared distance to its own center and the cosine and sine of the angle
// at that center between the origin and the point. Divisions are a 12-bit
// reciprocal estimate plus one Newton step. Row lengths and strides are
// multiples of 8 floats; pointers need no particular alignment. A zero
// divisor (a diagonal entry, a center at the origin, a point on its center)
// or a NaN center gives NaN cosines and sines, which lose every later test.
#include <omp.h>

#include "kernels/blas.h"
#include "common.h"

using namespace tavrine;

// Rows of centers and points handed to one thread at a time.
constexpr int kChunkRows = 256;

// The kChunkRows partition of [0, total); no chunks when total <= 0.
static chunk_par chunks_of(int total) {
    chunk_par par{0, 0};
    if (total > 0) init_chunk_par(&par, total, kChunkRows);
    return par;
}

// 1/den: the estimate (relative error <= 1.5 * 2^-12) and one Newton step,
// r' = 2r - r (r den), whose outer multiply-subtract is fused. den = 0 gives
// inf * 0 = NaN, never a finite quotient.
static inline __m256 recip(__m256 den) {
    const __m256 r = _mm256_rcp_ps(den);
    return _mm256_fnmadd_ps(r, _mm256_mul_ps(r, den), _mm256_add_ps(r, r));
}

// sqrt(1 - c*c) with 1 - c*c in one rounding. A cosine that rounding pushed
// just past +-1 gets sine 0 instead of NaN; max keeps its second operand when
// either is NaN, so a NaN cosine still gives a NaN sine.
static inline __m256 sine_of(__m256 c) {
    const __m256 s2 = _mm256_fnmadd_ps(c, c, _mm256_set1_ps(1.0f));
    return _mm256_sqrt_ps(_mm256_max_ps(_mm256_setzero_ps(), s2));
}

static inline __m128 sine_of(__m128 c) {
    const __m128 s2 = _mm_fnmadd_ss(c, c, _mm_set_ss(1.0f));
    return _mm_sqrt_ss(_mm_max_ss(_mm_setzero_ps(), s2));
}

// ---- Center pairs --------------------------------------------------------

// Angle at center i towards centers j .. j+7, law of cosines in (O, c_i, c_j):
// cos = (|c_i|^2 - |c_j|^2 + D_ij) / (2 |c_i| sqrt(D_ij)).
// Tile: one row, one 8-column group; cn_i and root_i are the row's norm and
// its square root, broadcast.
static inline void pair_angles8(__m256 cn_i, __m256 root_i, __m256 cn_j, const float *d,
                                float *cos_out, float *sin_out) {
    const __m256 dij = _mm256_loadu_ps(d);
    const __m256 num = _mm256_add_ps(_mm256_sub_ps(cn_i, cn_j), dij);
    const __m256 den = _mm256_mul_ps(root_i, _mm256_sqrt_ps(dij));
    const __m256 c = _mm256_mul_ps(_mm256_mul_ps(num, recip(den)), _mm256_set1_ps(0.5f));
    _mm256_storeu_ps(cos_out, c);
    _mm256_storeu_ps(sin_out, sine_of(c));
}

void compute_COS_OCiCj_part(const float *c_norm, int first_row, int n_rows, int n_cols,
                            const float *dcc, int ld_dcc, float *cos_out, float *sin_out,
                            int ld_out) {
    for (int i = first_row; i < first_row + n_rows; ++i) {
        const __m256 cn_i = _mm256_set1_ps(c_norm[i]);
        const __m256 root_i = _mm256_sqrt_ps(cn_i);
        const float *d = dcc + at(i, ld_dcc);
        float *c = cos_out + at(i, ld_out), *s = sin_out + at(i, ld_out);
        for (int j = 0; j < n_cols; j += 8)
            pair_angles8(cn_i, root_i, _mm256_loadu_ps(c_norm + j), d + j, c + j, s + j);
    }
}

// D[i][j] = (c_norm[j] + c_norm[i]) + D[i][j] with D holding -2 c_i.c_j on
// entry; the diagonal is stored as exactly 0.0 whatever the rounding left.
// Tile: eight rows (norms broadcast once) against one 8-column group.
void refine_D_CC(float *dcc, int ld_dcc, const float *c_norm, int n_cols) {
    for (int i0 = 0; i0 < n_cols; i0 += 8) {
        __m256 cn_i[8];
        for (int r = 0; r < 8; ++r) cn_i[r] = _mm256_set1_ps(c_norm[i0 + r]);
        for (int j = 0; j < n_cols; j += 8) {
            const __m256 cn_j = _mm256_loadu_ps(c_norm + j);
            for (int r = 0; r < 8; ++r) {
                float *d = dcc + at(i0 + r, ld_dcc) + j;
                _mm256_storeu_ps(d, _mm256_add_ps(_mm256_add_ps(cn_j, cn_i[r]), _mm256_loadu_ps(d)));
            }
        }
        for (int r = 0; r < 8; ++r) dcc[at(i0 + r, ld_dcc) + i0 + r] = 0.0f;
    }
}

// |c_i|^2 as -0.5 times the product's diagonal, so norms and distances come
// from the same rounded products.
static void norms_from_diagonal(float *c_norm, int n_cols, const float *dcc, int ld_dcc) {
    for (int i = 0; i < n_cols; ++i) c_norm[i] = -0.5f * dcc[at(i, ld_dcc + 1)];
}

void compute_c_norm_DCC(float *c_norm, int n_cols, float *dcc, int ld_dcc, int norms_given) {
    if (norms_given != 1) norms_from_diagonal(c_norm, n_cols, dcc, ld_dcc);
    refine_D_CC(dcc, ld_dcc, c_norm, n_cols);
}

// Tile: four rows against one 8-column group, so each load of c_norm[j..j+7]
// serves four rows.
void compute_COS_OCiCj(float *c_norm, int n_cols, float *dcc, int ld_dcc, float *cos_out,
                       float *sin_out, int ld_out) {
    norms_from_diagonal(c_norm, n_cols, dcc, ld_dcc);
    refine_D_CC(dcc, ld_dcc, c_norm, n_cols);
    for (int i0 = 0; i0 < n_cols; i0 += 4) {
        __m256 cn_i[4], root_i[4];
        for (int r = 0; r < 4; ++r) {
            cn_i[r] = _mm256_set1_ps(c_norm[i0 + r]);
            root_i[r] = _mm256_sqrt_ps(cn_i[r]);
        }
        for (int j = 0; j < n_cols; j += 8) {
            const __m256 cn_j = _mm256_loadu_ps(c_norm + j);
            for (int r = 0; r < 4; ++r) {
                const std::size_t o = at(i0 + r, ld_out) + j;
                pair_angles8(cn_i[r], root_i[r], cn_j, dcc + at(i0 + r, ld_dcc) + j, cos_out + o,
                             sin_out + o);
            }
        }
    }
}

// ---- Points --------------------------------------------------------------

// |x_p - c_{y_p}|^2 for eight consecutive points.
// Tile: eight point rows, each against its own center row, eight 8-lane
// accumulators (one per point) stepped together down the d8 columns.
static inline __m256 r2_group8(const float *x, int d8, const float *cen, const int32_t *y) {
    const float *c[8];
    __m256 acc[8];
    for (int p = 0; p < 8; ++p) {
        c[p] = cen + at(y[p], d8);
        acc[p] = _mm256_setzero_ps();
    }
    for (int j = 0; j < d8; j += 8)
        for (int p = 0; p < 8; ++p) {
            const __m256 diff =
                _mm256_sub_ps(_mm256_loadu_ps(x + at(p, d8) + j), _mm256_loadu_ps(c[p] + j));
            acc[p] = _mm256_fmadd_ps(diff, diff, acc[p]);
        }
    return sum_lanes_halves(acc);
}

static inline float r2_one(const float *x, int d8, const float *c) {
    __m256 acc = _mm256_setzero_ps();
    for (int j = 0; j < d8; j += 8) {
        const __m256 diff = _mm256_sub_ps(_mm256_loadu_ps(x + j), _mm256_loadu_ps(c + j));
        acc = _mm256_fmadd_ps(diff, diff, acc);
    }
    return hsum_halves(acc);
}

void compute_r2(const float *x_rows, int n_rows, int d8, const float *cen, const int32_t *y_rows,
                float *r2_out) {
    int p = 0;
    for (; p + 8 <= n_rows; p += 8)
        _mm256_storeu_ps(r2_out + p, r2_group8(x_rows + at(p, d8), d8, cen, y_rows + p));
    for (; p < n_rows; ++p) r2_out[p] = r2_one(x_rows + at(p, d8), d8, cen + at(y_rows[p], d8));
}

// Angle at the point's center a between the origin and the point, law of
// cosines in (O, c_a, x): cos = (|c_a|^2 + r2 - |x|^2) / (2 |c_a| sqrt(r2)).
// Tile: eight points, their centers' norms gathered by label.
static inline void point_angles8(const float *c_norm, const float *r2, const int32_t *y,
                                 const float *x_norm, float *cos_out, float *sin_out) {
    const __m256 g = _mm256_i32gather_ps(
        c_norm, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(y)), sizeof(float));
    const __m256 r2v = _mm256_loadu_ps(r2);
    const __m256 den = _mm256_mul_ps(_mm256_sqrt_ps(_mm256_mul_ps(g, r2v)), _mm256_set1_ps(2.0f));
    const __m256 c =
        _mm256_mul_ps(_mm256_sub_ps(_mm256_add_ps(g, r2v), _mm256_loadu_ps(x_norm)), recip(den));
    _mm256_storeu_ps(cos_out, c);
    _mm256_storeu_ps(sin_out, sine_of(c));
}

// One point: 1/sqrt(g r2) from the estimate and one Newton step,
// e' = (q e e - 3) (-e / 2), the multiply by e and the -3 fused.
static inline void point_angle_one(float g, float r2, float x_norm, float *cos_out,
                                   float *sin_out) {
    const __m128 q = _mm_set_ss(r2 * g);
    const __m128 e = _mm_rsqrt_ss(q);
    const __m128 e1 = _mm_mul_ss(_mm_fmadd_ss(_mm_mul_ss(q, e), e, _mm_set_ss(-3.0f)),
                                 _mm_mul_ss(_mm_set_ss(-0.5f), e));
    const __m128 c = _mm_mul_ss(_mm_set_ss(0.5f * ((r2 - x_norm) + g)), e1);
    *cos_out = _mm_cvtss_f32(c);
    *sin_out = _mm_cvtss_f32(sine_of(c));
}

void compute_COS_OCX(const float *c_norm, int /*k8*/, const float *r2, const int32_t *y_rows,
                     const float *x_norm, float *cos_out, float *sin_out, int n_rows) {
    int p = 0;
    for (; p + 8 <= n_rows; p += 8)
        point_angles8(c_norm, r2 + p, y_rows + p, x_norm + p, cos_out + p, sin_out + p);
    for (; p < n_rows; ++p)
        point_angle_one(c_norm[y_rows[p]], r2[p], x_norm[p], cos_out + p, sin_out + p);
}

void compute_r2_omp(int n, int d8, const float *X, const float *cen, const int32_t *y,
                    float *r2_out) {
    const chunk_par pp = chunks_of(n);
#pragma omp parallel for schedule(static) num_threads(team_size(pp.n_chunks))
    for (int c = 0; c < pp.n_chunks; ++c) {
        int lo, hi;
        chunk_bounds(pp, c, n, lo, hi);
        compute_r2(X + at(lo, d8), hi - lo, d8, cen, y + lo, r2_out + lo);
    }
}

void D_NC_initial(float *out, int n_rows, int row_len, const float *vec) {
    for (int j = 0; j < row_len; j += 8) {
        const __m256 v = _mm256_loadu_ps(vec + j);
        for (int r = 0; r < n_rows; ++r) _mm256_storeu_ps(out + at(r, row_len) + j, v);
    }
}

// ---- The refresh step ----------------------------------------------------

// Rows [lo, hi) of D_CC = -2 cen cen^T, and their norms from its diagonal.
static void center_products(int lo, int hi, int d8, int k8, const float *cen, float *c_norm,
                            float *D_CC) {
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, hi - lo, k8, d8, -2.0f, cen + at(lo, d8),
                d8, cen, d8, 0.0f, D_CC + at(lo, k8), k8);
    for (int i = lo; i < hi; ++i) c_norm[i] = -0.5f * D_CC[at(i, k8) + i];
}

// Rows [lo, hi) of D_CC become (D + c_norm[j]) + c_norm[i], diagonal 0.0;
// then their cosines and sines. Needs all of c_norm.
static void center_geometry(int lo, int hi, int k8, const float *c_norm, fast_var *fv) {
    for (int i = lo; i < hi; ++i) {
        float *row = fv->D_CC + at(i, k8);
        cblas_saxpy(k8, 1.0f, c_norm, 1, row, 1);
        const __m256 cn_i = _mm256_set1_ps(c_norm[i]);
        for (int j = 0; j < k8; j += 8)
            _mm256_storeu_ps(row + j, _mm256_add_ps(_mm256_loadu_ps(row + j), cn_i));
        row[i] = 0.0f;
    }
    compute_COS_OCiCj_part(c_norm, lo, hi - lo, k8, fv->D_CC, k8, fv->COS_OCiCj, fv->SIN_OCiCj,
                           k8);
}

int64_t update_fv(int n, int d8, int k8, const float *X, const float *x_norm, const float *cen,
                  float *c_norm, const int32_t *y, fast_var *fv) {
    const chunk_par cp = chunks_of(k8), pp = chunks_of(n);
    const int team = refresh_team(cp.n_chunks);
    // The BLAS calls run inside the team, one thread each; left so on return.
    set_blas_threads(1);

    const timeval t0 = wall_now();
#pragma omp parallel num_threads(team)
    {
#pragma omp for schedule(static)
        for (int c = 0; c < cp.n_chunks; ++c) {
            int lo, hi;
            chunk_bounds(cp, c, k8, lo, hi);
            center_products(lo, hi, d8, k8, cen, c_norm, fv->D_CC);
        }
        // All of c_norm is final from here on.
#pragma omp barrier

#pragma omp for schedule(static)
        for (int c = 0; c < cp.n_chunks; ++c) {
            int lo, hi;
            chunk_bounds(cp, c, k8, lo, hi);
            center_geometry(lo, hi, k8, c_norm, fv);
        }

#pragma omp for schedule(static)
        for (int c = 0; c < pp.n_chunks; ++c) {
            int lo, hi;
            chunk_bounds(pp, c, n, lo, hi);
            compute_r2(X + at(lo, d8), hi - lo, d8, cen, y + lo, fv->r2 + lo);
            compute_COS_OCX(c_norm, k8, fv->r2 + lo, y + lo, x_norm + lo, fv->COS_OCX + lo,
                            fv->SIN_OCX + lo, hi - lo);
        }
    }
    return elapsed_us(t0, wall_now());
}
