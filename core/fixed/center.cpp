// SPDX-License-Identifier: BSD-3-Clause
//
// Center update: merges the per-thread partial sums and counts in a fixed
// slice order (so results do not depend on thread timing), divides by the
// counts and measures how far each center moved. Also the exported merging,
// atomic accumulation, averaging and segmentation helpers. Vector loads and
// stores here are aligned: every chunk starts on a multiple of 8 padded rows.
#include <omp.h>

#include "kernels/blas.h"
#include "common.h"

using namespace tavrine;

// out = lhs + rhs over len floats; out may alias either input.
static void add_arrays(const float *lhs, const float *rhs, float *out, std::size_t len) {
    std::size_t i = 0;
    for (; i + 128 <= len; i += 128) {
        __m256 v[16];
        for (int u = 0; u < 16; ++u)
            v[u] = _mm256_add_ps(_mm256_load_ps(lhs + i + 8 * u), _mm256_load_ps(rhs + i + 8 * u));
        for (int u = 0; u < 16; ++u) _mm256_store_ps(out + i + 8 * u, v[u]);
    }
    for (; i + 8 <= len; i += 8)
        _mm256_store_ps(out + i, _mm256_add_ps(_mm256_load_ps(lhs + i), _mm256_load_ps(rhs + i)));
    for (; i < len; ++i) out[i] = lhs[i] + rhs[i];
}

void array_add_m256(const float *lhs, const float *rhs, float *out, int len) {
    if (len > 0) add_arrays(lhs, rhs, out, static_cast<std::size_t>(len));
}

// Four rows at a time, one accumulator each, so four FMA chains run side by side.
void my_center_shift(const float *cen, const float *new_cen, int n_rows, int d8, float *shift) {
    for (int g = 0; g < n_rows; g += 4) {
        __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(),
                         _mm256_setzero_ps()};
        for (int c = 0; c < d8; c += 8)
            for (int r = 0; r < 4; ++r) {
                const std::size_t o = at(g + r, d8) + c;
                const __m256 diff = _mm256_sub_ps(_mm256_load_ps(new_cen + o), _mm256_load_ps(cen + o));
                acc[r] = _mm256_fmadd_ps(diff, diff, acc[r]);
            }
        alignas(16) float s[4];
        for (int r = 0; r < 4; ++r) s[r] = hsum_halves(acc[r]);
        _mm_storeu_ps(shift + g, _mm_load_ps(s));
    }
}

// Centers per chunk: k8 / 20 rounded up to a multiple of 8, at least 8.
static int center_chunk(int k8) {
    const int c = k8 / kSlices;
    return c == 0 ? 8 : round_up8(c);
}

// Adds the slices of centers E .. F-1 into the merged counts and sums, slice 0
// first, so every total is ((0 + slice 0) + slice 1) + ... in float.
static void merge_slice_rows(int k8, int d8, int E, int F, const float *thread_cnt,
                             const float *thread_sum, float *cen_cnt, float *new_cen) {
    const std::size_t slice_len = at(k8, d8);
    float *sum = new_cen + at(E, d8);
    for (int slice = 0; slice < kSlices; ++slice) {
        add_arrays(thread_cnt + at(slice, k8) + E, cen_cnt + E, cen_cnt + E, F - E);
        add_arrays(thread_sum + slice * slice_len + at(E, d8), sum, sum, at(F - E, d8));
    }
}

void tavrine::merge_slices_wide(int k8, int d8, const float *thread_cnt,
                                const float *thread_sum, double *total_cnt, double *total_sum) {
    const std::size_t slice_len = at(k8, d8);
    for (int slice = 0; slice < kSlices; ++slice) {
        for (int j = 0; j < k8; ++j) total_cnt[j] += thread_cnt[at(slice, k8) + j];
        for (std::size_t e = 0; e < slice_len; ++e)
            total_sum[e] += thread_sum[slice * slice_len + e];
    }
}

namespace {

struct merge_job {
    int k8, d8;
    chunk_par par;
    float *cen_cnt;
    const float *thread_cnt;
    float *new_cen;
    const float *thread_sum, *cen;
    float *shift;
};

// The fixed team: each thread merges, averages and measures a static share
// of the center chunks.
void merge_team(void *arg) {
    const merge_job &j = *static_cast<const merge_job *>(arg);
#pragma omp parallel num_threads(center_team())
    {
        int first, last;
        static_share(j.par.n_chunks, omp_get_num_threads(), omp_get_thread_num(), first, last);
        for (int i = first; i < last; ++i) {
            int E, F;
            chunk_bounds(j.par, i, j.k8, E, F);
            merge_slice_rows(j.k8, j.d8, E, F, j.thread_cnt, j.thread_sum, j.cen_cnt, j.new_cen);
            for (int c = E; c < F; ++c)
                cblas_sscal(j.d8, 1.0f / j.cen_cnt[c], j.new_cen + at(c, j.d8), 1);
            my_center_shift(j.cen + at(E, j.d8), j.new_cen + at(E, j.d8), F - E, j.d8,
                            j.shift + E);
        }
    }
}

}  // namespace

int64_t update_cen(int k8, int d8, float *cen_cnt, const float *thread_cnt, float *new_cen,
                   const float *thread_sum, const float *cen, float *shift) {
    const timeval t0 = wall_now();
    merge_job job{k8, d8, {}, cen_cnt, thread_cnt, new_cen, thread_sum, cen, shift};
    init_chunk_par(&job.par, k8, center_chunk(k8));
    on_team_master(merge_team, &job);
    return elapsed_us(t0, wall_now());
}

void merge_wc(float *dst, const float *src, int len) {
    int i = 0;
    for (; i + 64 <= len; i += 64)
        for (int u = 0; u < 64; u += 8)
            _mm256_store_ps(dst + i + u,
                            _mm256_add_ps(_mm256_load_ps(dst + i + u), _mm256_load_ps(src + i + u)));
    for (; i < len; i += 8)
        _mm256_store_ps(dst + i, _mm256_add_ps(_mm256_load_ps(dst + i), _mm256_load_ps(src + i)));
}

void merge_centers(float *dst, const float *src, int n_rows, int row_len) {
    if (n_rows <= 0 || row_len <= 0) return;
    for (int g = 0; g < n_rows; g += 8)
        for (int col = 0; col < row_len; col += 8) {
            __m256 v[8];
            for (int r = 0; r < 8; ++r) {
                const std::size_t o = at(g + r, row_len) + col;
                v[r] = _mm256_add_ps(_mm256_load_ps(dst + o), _mm256_load_ps(src + o));
            }
            for (int r = 0; r < 8; ++r) _mm256_store_ps(dst + at(g + r, row_len) + col, v[r]);
        }
}

void atomic_add_array(float *dst, const float *src, int len) {
    for (int i = 0; i < len; ++i) {
        const float v = src[i];
        // No atomic float add on x86: retry the sum until the compare-and-swap
        // finds dst[i] unchanged since it was read (old is refreshed on failure).
        float old, sum;
        __atomic_load(dst + i, &old, __ATOMIC_SEQ_CST);
        do {
            sum = old + v;
        } while (!__atomic_compare_exchange(dst + i, &old, &sum, false, __ATOMIC_SEQ_CST,
                                            __ATOMIC_SEQ_CST));
    }
}

void average_centers(float *centers, const float *counts, int n_rows, int row_len) {
    for (int r = 0; r < n_rows; ++r) cblas_sscal(row_len, 1.0f / counts[r], centers + at(r, row_len), 1);
}

int seg_arr(const int32_t *weights, int len, int n_seg, int32_t *seg_start, int32_t *seg_end,
            double *seg_sum) {
    if (len <= 0 || n_seg <= 0) return 0;
    double total = 0.0;
    for (int i = 0; i < len; ++i) total += weights[i];
    const double target = total / n_seg;

    double sum = 0.0;
    int s = 0, start = 0;
    for (int i = 0; i < len; ++i) {
        sum += weights[i];
        const double rem = target - sum;
        // Close when the share is reached, the data ends, or the next weight
        // would overshoot by more than the present shortfall.
        if (rem < 0.01 || i == len - 1 || weights[i + 1] > 2 * rem) {
            seg_sum[s] = sum;
            seg_start[s] = start;
            seg_end[s] = i + 1;
            if (++s == n_seg) {
                seg_end[s - 1] = len;
                return s;
            }
            start = i + 1;
            sum = 0.0;
        }
    }
    return s;
}
