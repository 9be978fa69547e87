// SPDX-License-Identifier: BSD-3-Clause
//
// The run driver and the iteration loop of `zozid`: padded copies of the
// caller's arrays, squared norms, every working buffer taken once before the
// loop, then Lloyd iterations (one full, the rest pruned by the angle bound)
// until the labels stop changing, the centers stop moving, or the cap.
// Allocation failures release everything taken and return TAVRINE_ERR_NOMEM
// before any write. The estimator's loop is in estimator/fit.cpp.
#include <cstring>

#include "kernels/buffer.h"
#include "common.h"

using namespace tavrine;

namespace {

struct loop_settings {
    int max_iter;  // iterations before the final relabelling
    float tol;     // stop once the summed squared shifts are at most this
};

constexpr loop_settings kFixedSettings{TAVRINE_MAX_ITER, 1e-6f};

// Member counts are floats incremented by 1.0, exact only up to 2^24, and
// float sums of that many points lose their low digits long before: a slice
// that could receive more than 2^24 points would give a plainly wrong mean.
// Runs of more than kOneRound points therefore assign in rounds of
// kRoundPoints and fold the slices into double totals between rounds; runs
// that fit in one round keep the float arithmetic unchanged.
constexpr int kOneRound = 1 << 24;
constexpr int kRoundPoints = 1 << 20;

void zero_slices(int k8, int d8, float *thread_sum, float *thread_cnt) {
    std::memset(thread_sum, 0, at(kSlices, k8) * d8 * sizeof(float));
    std::memset(thread_cnt, 0, at(kSlices, k8) * sizeof(float));
}

void zero_accumulators(int k8, int d8, float *new_cen, float *cen_cnt, float *thread_sum,
                       float *thread_cnt) {
    std::memset(new_cen, 0, at(k8, d8) * sizeof(float));
    std::memset(cen_cnt, 0, at(k8, 1) * sizeof(float));
    zero_slices(k8, d8, thread_sum, thread_cnt);
}

// The per-point arrays of fv from point lo on; the center-pair arrays whole.
fast_var points_from(const fast_var &fv, int lo, int k8) {
    fast_var part = fv;
    part.COS_OCX += lo;
    part.SIN_OCX += lo;
    part.r2 += lo;
    part.D_NC += at(lo, k8);
    part.mask += at(lo, k8);
    part.mask_count += lo;
    return part;
}

int64_t sum_mask_counts(const int32_t *mask_count, int n) {
    int64_t s = 0;
    for (int i = 0; i < n; ++i) s += mask_count[i];
    return s;
}

// Sum of the first k center shifts. OpenBLAS's cblas_ssum would do, but its
// SkylakeX kernel (0.3.34, scipy-openblas32) returns wrong sums for n >= 16.
float shift_sum(const float *shift, int k) {
    float s = 0.0f;
    for (int j = 0; j < k; ++j) s += shift[j];
    return s;
}

struct loop_buffers {
    float *cen, *c_norm;
    fast_var *fv;
    float *cen_cnt, *thread_cnt, *new_cen, *thread_sum, *shift;
};

std::size_t totals_size(int k8, int d8) { return at(k8, d8) + at(k8, 1); }

// Whether every product -2 x.c of the run stays finite: points and starting
// centers of squared norm at most 1e36 bound |x.c| by 1e36 (the centers are
// means of the points, or kept rows), far from overflow. Then the steps may
// leave D_NC alone: the exported pruned step would combine each new product
// with 0 x a finite old one, which changes no label. Otherwise (huge,
// infinite or NaN input) the loop runs the exported steps exactly.
bool products_stay_finite(int n, int k, const float *x_norm, const float *c_norm) {
    constexpr float kLimit = 1e36f;
    for (int i = 0; i < n; ++i)
        if (!(x_norm[i] <= kLimit)) return false;
    for (int j = 0; j < k; ++j)
        if (!(c_norm[j] <= kLimit)) return false;
    return true;
}

// One Lloyd run. Returns the iteration in which it stopped, max_iter + 1 at
// the cap, or TAVRINE_ERR_NOMEM; *final_cen receives the last centers.
int run_loop(const loop_settings &s, int n, int d8, int k8, int k, const float *X,
             const float *x_norm, loop_buffers b, int32_t *y, int64_t *count, run_stats *stats,
             const float **final_cen) {
    buffer<int32_t> prev_y;
    // k8 counts then k8 x d8 sums, for runs of several rounds only.
    buffer<double> totals;
    if (!take(prev_y, at(n, 1)) || (n > kOneRound && !take(totals, totals_size(k8, d8))))
        return TAVRINE_ERR_NOMEM;

    int64_t assign_time = 0, center_time = 0, refresh_time = 0;
    // One assignment step over all points, in rounds; `merge` folds each
    // round but the last into the totals (the final relabelling needs none).
    using step_fn = int64_t (*)(int, int, int, int, const float *, const float *, const float *,
                                bool, fast_var *, int32_t *, float *, float *);
    auto assign = [&](step_fn step, bool merge) {
        const int round = n > kOneRound ? kRoundPoints : n;
        if (merge && totals) std::memset(totals.get(), 0, totals_size(k8, d8) * sizeof(double));
        for (int lo = 0; lo < n; lo += round) {
            const int rows = n - lo < round ? n - lo : round;
            fast_var part = points_from(*b.fv, lo, k8);
            assign_time += step(rows, d8, k8, k, X + at(lo, d8), b.cen, b.c_norm, true, &part,
                                y + lo, b.thread_cnt, b.thread_sum);
            if (merge && lo + rows < n) {
                merge_slices_wide(k8, d8, b.thread_cnt, b.thread_sum, totals.get(),
                                  totals.get() + k8);
                zero_slices(k8, d8, b.thread_sum, b.thread_cnt);
            }
        }
        // The center update adds the last round's slices to these totals.
        if (merge && totals) {
            for (int j = 0; j < k8; ++j) b.cen_cnt[j] = static_cast<float>(totals[j]);
            for (std::size_t e = 0; e < at(k8, d8); ++e)
                b.new_cen[e] = static_cast<float>(totals[k8 + e]);
        }
    };
    auto update_centers = [&]() {
        center_time += update_cen(k8, d8, b.cen_cnt, b.thread_cnt, b.new_cen, b.thread_sum,
                                  b.cen, b.shift);
        swap_pointers(&b.cen, &b.new_cen);
        refresh_time += update_fv(n, d8, k8, X, x_norm, b.cen, b.c_norm, y, b.fv);
    };

    // Nothing reads D_NC or the candidate lists between steps: in a finite run
    // the steps keep them in per-thread scratch, and fv's n x k8 arrays are
    // never touched (nor their pages faulted in).
    const bool finite = products_stay_finite(n, k, x_norm, b.c_norm);
    const step_fn full = finite ? update_y_labels : update_y_omp;
    const step_fn pruned = finite ? update_mdy_labels : update_mdy;
    zero_accumulators(k8, d8, b.new_cen, b.cen_cnt, b.thread_sum, b.thread_cnt);
    assign(full, true);
    count[0] = static_cast<int64_t>(n + k8) * k8;
    update_centers();

    int iter = 1;
    for (;;) {
        if (iter > 1) {
            if (arr_equal(y, prev_y.get(), n)) break;
            // The final assignment relabels against the last centers; what it
            // accumulates is not used, so the buffers are not cleared for it.
            if (shift_sum(b.shift, k) <= s.tol) {
                assign(pruned, false);
                break;
            }
        }
        std::memcpy(prev_y.get(), y, at(n, 1) * sizeof(int32_t));
        if (++iter == s.max_iter + 1) {
            assign(pruned, false);
            break;
        }
        zero_accumulators(k8, d8, b.new_cen, b.cen_cnt, b.thread_sum, b.thread_cnt);
        assign(pruned, true);
        count[iter - 1] = static_cast<int64_t>(k8) * k8 + sum_mask_counts(b.fv->mask_count, n);
        update_centers();
    }

    stats->assign_time = assign_time;
    stats->center_time = center_time;
    stats->refresh_time = refresh_time;
    *final_cen = b.cen;
    return iter;
}

// The run's working state, freed by free_fast_var when the run ends.
struct state_owner {
    fast_var fv{};
    bool held = false;

    ~state_owner() {
        if (held) free_fast_var(&fv);
    }
};

// Pads the inputs, takes every buffer and runs the loop.
int run_driver(const loop_settings &s, int n, int d, int k, const float *X, const float *Cen,
               int32_t *y, int64_t *count, int64_t *time) {
    const timeval t0 = wall_now();
    const int k8 = round_up8(k), d8 = round_up8(d);
    int result;
    {
        buffer<float> X_copy, cen, new_cen, thread_sum, cen_cnt, thread_cnt, shift, x_norm,
            c_norm;
        state_owner state;
        // Rows that are whole 8-float groups are read in place: the loop's own
        // steps load points unaligned, so only the exported steps of a
        // non-finite run (below) need the aligned copy.
        const float *Xp = X;
        if (d8 != d) {
            X_copy.reset(align_padding(X, n, d, false));
            Xp = X_copy.get();
        }
        cen.reset(align_padding(Cen, k, d, true));
        // Exactly the slices that the center update merges.
        state.held = Xp && cen && take(new_cen, at(k8, d8)) &&
                     take(thread_sum, at(kSlices, k8) * d8) && take(cen_cnt, k8) &&
                     take(thread_cnt, at(kSlices, k8)) && take(shift, k8) && take(x_norm, n) &&
                     take(c_norm, k8) && init_fast_var(&state.fv, n, d8, k8);
        if (!state.held) return TAVRINE_ERR_NOMEM;

        std::memset(y, 0xFF, at(n, 1) * sizeof(int32_t));
        squared_norms(Xp, n, d8, x_norm.get());
        squared_norms(cen.get(), k8, d8, c_norm.get());
        if (!aligned(Xp) && !products_stay_finite(n, k, x_norm.get(), c_norm.get())) {
            X_copy.reset(align_padding(X, n, d, false));
            Xp = X_copy.get();
            if (Xp == nullptr) return TAVRINE_ERR_NOMEM;
        }
        const float *final_cen = nullptr;
        result = run_loop(s, n, d8, k8, k, Xp, x_norm.get(),
                          {cen.get(), c_norm.get(), &state.fv, cen_cnt.get(), thread_cnt.get(),
                           new_cen.get(), thread_sum.get(), shift.get()},
                          y, count, reinterpret_cast<run_stats *>(time), &final_cen);
        if (result == TAVRINE_ERR_NOMEM) return result;
    }
    time[3] = elapsed_us(t0, wall_now());
    return result;
}

}  // namespace

int update_chunk_omp(int n, int d8, int k8, int k, const float *X, const float *x_norm,
                     float *cen, float *c_norm, fast_var *fv, int32_t *y, int64_t *count,
                     float *cen_cnt, float *thread_cnt, float *new_cen, float *thread_sum,
                     float *shift, run_stats *stats) {
    const float *final_cen;
    return run_loop(kFixedSettings, n, d8, k8, k, X, x_norm,
                    {cen, c_norm, fv, cen_cnt, thread_cnt, new_cen, thread_sum, shift},
                    y, count, stats, &final_cen);
}

int zozid(int n, int d, int k, const float *X, const float *Cen, int32_t *y, float /*tol*/,
          int64_t *count, int64_t *time, int /*max_iter*/, int /*verbose*/, int /*n_threads*/) {
    return run_driver(kFixedSettings, n, d, k, X, Cen, y, count, time);
}
