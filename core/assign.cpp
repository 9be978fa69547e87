// SPDX-License-Identifier: BSD-3-Clause
//
// Assignment: the full assignment of the first iteration (one BLAS product,
// then a per-point scan) and the pruned assignment of later iterations
// (candidate lists from the angle bound, masked products, the same scan over
// candidates only). Each thread adds its points into its own slice of the
// per-thread counts and sums, at most TAVRINE_N_SLICES slices, which the
// center update merges in a fixed order. Offsets are 64-bit.
#include <omp.h>

#include "blas.h"
#include "common.h"

using namespace tavrine;

// counts[label] += 1 and sums[label] += the point's d8 floats.
static inline void accumulate_point(const float *point, int label, int d8, float *counts,
                                    float *sums) {
    counts[label] += 1.0f;
    float *s = sums + at(label, d8);
    for (int o = 0; o < d8; o += 8)
        _mm256_storeu_ps(s + o, _mm256_add_ps(_mm256_loadu_ps(s + o), _mm256_loadu_ps(point + o)));
}

// Threads of an assignment region: never more than the slices that are merged.
static inline int assign_team(int limit) {
    int t = omp_get_max_threads();
    if (t > limit) t = limit;
    return t < kSlices ? t : kSlices;
}

void compute_y(const float *dist, const float *c_norm, int rows, int ld_dist, int k,
               int32_t *labels, bool accumulate, float *counts, int d8, const float *points,
               float *sums) {
    for (int i = 0; i < rows; ++i) {
        const float *row = dist + at(i, ld_dist);
        float best = row[0] + c_norm[0];
        int label = 0;
        // Strict comparison: ties keep the lower index and a NaN never wins.
        for (int j = 1; j < k; ++j) {
            const float v = row[j] + c_norm[j];
            if (best > v) {
                best = v;
                label = j;
            }
        }
        labels[i] = label;
        if (accumulate) accumulate_point(points + at(i, d8), label, d8, counts, sums);
    }
}

int64_t update_y_omp(int n, int d8, int k8, int k, const float *X, const float *cen,
                     const float *c_norm, bool accumulate, fast_var *fv, int32_t *y,
                     float *thread_cnt, float *thread_sum) {
    const timeval t0 = wall_now();
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, n, k8, d8, -2.0f, X, d8, cen, d8, 0.0f,
                fv->D_NC, k8);
    chunk_par par;
    init_chunk_par(&par, n, 64);
    const std::size_t slice = at(k8, d8);

#pragma omp parallel num_threads(assign_team(par.n_chunks))
    {
        const int t = omp_get_thread_num();
#pragma omp for schedule(nonmonotonic : dynamic, 1) nowait
        for (int c = 0; c < par.n_chunks; ++c) {
            int lo, hi;
            chunk_bounds(par, c, n, lo, hi);
            compute_y(fv->D_NC + at(lo, k8), c_norm, hi - lo, k8, k, y + lo, accumulate,
                      thread_cnt + at(t, k8), d8, X + at(lo, d8), thread_sum + t * slice);
        }
    }
    const int64_t us = elapsed_us(t0, wall_now());
    openblas_set_num_threads(20);
    return us;
}
