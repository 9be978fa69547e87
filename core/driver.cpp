// SPDX-License-Identifier: BSD-3-Clause
//
// The run driver and the iteration loop: padded copies of the caller's
// arrays, squared norms, every working buffer taken once before the loop,
// then Lloyd iterations (one full, the rest pruned) until the labels stop
// changing, the centers stop moving, or the cap. Allocation failures release
// everything taken and return TAVRINE_ERR_NOMEM before the loop writes.
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "blas.h"
#include "common.h"

using namespace tavrine;

static void zero_accumulators(int k8, int d8, float *new_cen, float *cen_cnt, float *thread_sum,
                              float *thread_cnt) {
    std::memset(new_cen, 0, at(k8, d8) * sizeof(float));
    std::memset(cen_cnt, 0, at(k8, 1) * sizeof(float));
    std::memset(thread_sum, 0, at(kSlices, k8) * d8 * sizeof(float));
    std::memset(thread_cnt, 0, at(kSlices, k8) * sizeof(float));
}

static int64_t sum_mask_counts(const int32_t *mask_count, int n) {
    int64_t s = 0;
    for (int i = 0; i < n; ++i) s += mask_count[i];
    return s;
}

int update_chunk_omp(int n, int d8, int k8, int k, const float *X, const float *x_norm,
                     float *cen, float *c_norm, fast_var *fv, int32_t *y, int64_t *count,
                     float *cen_cnt, float *thread_cnt, float *new_cen, float *thread_sum,
                     float *shift, run_stats *stats) {
    int32_t *prev_y = static_cast<int32_t *>(std::malloc(at(n, 1) * sizeof(int32_t)));
    if (prev_y == nullptr) return TAVRINE_ERR_NOMEM;

    zero_accumulators(k8, d8, new_cen, cen_cnt, thread_sum, thread_cnt);
    int64_t assign_time =
        update_y_omp(n, d8, k8, k, X, cen, c_norm, true, fv, y, thread_cnt, thread_sum);
    int64_t center_time =
        update_cen(k8, d8, cen_cnt, thread_cnt, new_cen, thread_sum, cen, shift);
    swap_pointers(&cen, &new_cen);
    int64_t refresh_time = update_fv(n, d8, k8, X, x_norm, cen, c_norm, y, fv);
    count[0] = static_cast<int64_t>(n + k8) * k8;
    std::memcpy(prev_y, y, at(n, 1) * sizeof(int32_t));

    int iter = 2;
    for (;; ++iter) {
        zero_accumulators(k8, d8, new_cen, cen_cnt, thread_sum, thread_cnt);
        assign_time += update_mdy(n, d8, k8, k, X, cen, c_norm, true, fv, y, thread_cnt, thread_sum);
        count[iter - 1] = static_cast<int64_t>(k8) * k8 + sum_mask_counts(fv->mask_count, n);
        center_time += update_cen(k8, d8, cen_cnt, thread_cnt, new_cen, thread_sum, cen, shift);
        swap_pointers(&cen, &new_cen);
        refresh_time += update_fv(n, d8, k8, X, x_norm, cen, c_norm, y, fv);
        if (arr_equal(y, prev_y, n)) break;
        // The final assignment relabels against the last centers; what it
        // accumulates is not used, so the buffers are not cleared for it.
        const bool settled = cblas_ssum(k, shift, 1) <= 1e-6f;
        if (settled || iter + 1 == TAVRINE_MAX_ITER + 1) {
            assign_time +=
                update_mdy(n, d8, k8, k, X, cen, c_norm, true, fv, y, thread_cnt, thread_sum);
            if (!settled) ++iter;
            break;
        }
        std::memcpy(prev_y, y, at(n, 1) * sizeof(int32_t));
    }

    stats->assign_time = assign_time;
    stats->center_time = center_time;
    stats->refresh_time = refresh_time;
    std::free(prev_y);
    return iter;
}

// Buffers of one run; every pointer starts null so one release path serves all.
struct run_buffers {
    float *X = nullptr, *cen = nullptr, *new_cen = nullptr, *thread_sum = nullptr;
    float *cen_cnt = nullptr, *thread_cnt = nullptr, *shift = nullptr;
    float *x_norm = nullptr, *c_norm = nullptr;
    fast_var fv{};
    bool have_fv = false;

    ~run_buffers() {
        for (float *p : {X, cen, new_cen, thread_sum, cen_cnt, thread_cnt, shift, x_norm, c_norm})
            std::free(p);
        if (have_fv) free_fast_var(&fv);
    }
};

static float *take(std::size_t count) { return static_cast<float *>(aligned_floats(count)); }

int zozid(int n, int d, int k, const float *X, const float *Cen, int32_t *y, float /*tol*/,
          int64_t *count, int64_t *time, int /*max_iter*/, int /*verbose*/, int /*n_threads*/) {
    const timeval t0 = wall_now();
    const int k8 = round_up8(k), d8 = round_up8(d);
    int result;
    {
        run_buffers b;
        b.X = align_padding(X, n, d, false);
        b.cen = align_padding(Cen, k, d, true);
        b.new_cen = take(at(k8, d8));
        // The slices merged by the center update, whatever n_threads says.
        b.thread_sum = take(at(kSlices, k8) * d8);
        b.cen_cnt = take(k8);
        b.thread_cnt = take(at(kSlices, k8));
        b.shift = take(k8);
        b.x_norm = take(n);
        b.c_norm = take(k8);
        b.have_fv = b.X && b.cen && b.new_cen && b.thread_sum && b.cen_cnt && b.thread_cnt &&
                    b.shift && b.x_norm && b.c_norm && init_fast_var(&b.fv, n, d8, k8);
        if (!b.have_fv) return TAVRINE_ERR_NOMEM;

        std::memset(y, 0xFF, at(n, 1) * sizeof(int32_t));
        for (int i = 0; i < n; ++i) {
            const float *row = b.X + at(i, d8);
            b.x_norm[i] = cblas_sdot(d8, row, 1, row, 1);
        }
        for (int j = 0; j < k8; ++j) {
            const float *row = b.cen + at(j, d8);
            b.c_norm[j] = cblas_sdot(d8, row, 1, row, 1);
        }
        result = update_chunk_omp(n, d8, k8, k, b.X, b.x_norm, b.cen, b.c_norm, &b.fv, y, count,
                                  b.cen_cnt, b.thread_cnt, b.new_cen, b.thread_sum, b.shift,
                                  reinterpret_cast<run_stats *>(time));
    }
    if (result != TAVRINE_ERR_NOMEM) time[3] = elapsed_us(t0, wall_now());
    return result;
}
