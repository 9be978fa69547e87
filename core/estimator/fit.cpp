// SPDX-License-Identifier: BSD-3-Clause
//
// The estimator's Lloyd loop with group drift bounds, and the nearest-center
// routine that labels by the same scores. Every point keeps an upper bound on
// the distance to its own center, a global lower bound on the others, and one
// lower bound per group of centers (groups.cpp). After each center update
// (update.cpp) the upper and global bounds loosen by the drifts; the group
// bounds are aged lazily, only for points the global bound does not settle
// (filter.h, scan.cpp). Here: the state and its arrays, the loop, and the two
// entry points.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "estimator/loop.h"

using namespace tavrine;
using namespace tavrine::drift;

// ---- Run state -------------------------------------------------------------

namespace {

// Weighted sum over the points of gap(p), in fixed spans of rows added in
// order: the same total for every team and chunk size.
template <class Gap>
double weighted_sum(const run_state &r, Gap gap) {
    constexpr int kRows = 1024;
    const int n_spans = (r.n + kRows - 1) / kRows;
    std::vector<double> part(n_spans);
#pragma omp parallel for schedule(static) num_threads(r.team) if (r.team > 1)
    for (int span = 0; span < n_spans; ++span) {
        double s = 0.0;
        const int64_t first = int64_t(span) * kRows, end = std::min<int64_t>(r.n, first + kRows);
        for (int64_t p = first; p < end; ++p) {
            const double w = weight_of(r, p);
            s += w * gap(p);
        }
        part[span] = s;
    }
    double total = 0.0;
    for (double v : part) total += v;
    return total;
}

}  // namespace

double drift::inertia(const run_state &r, const float *centers, int ldc) {
    return weighted_sum(r, [&](int64_t p) { return point_gap(r, p, centers + at(r.y[p], ldc)); });
}

double drift::own_inertia(const run_state &r) {
    return weighted_sum(r, [&](int64_t p) { return result_gap(r, p, r.y[p]); });
}

bool drift::take_scratch(run_state &r) {
    r.work.resize(r.team);
    // Sparse rows are scored where they lie: nothing is packed.
    const int packed_width = is_sparse(r) ? 8 : r.d8;
    for (scratch &s : r.work) {
        if (!s.init(packed_width, r.L.widest, r.t, r.chunk)) return false;
        if (r.X64) s.d2.resize(r.k);
    }
    return true;
}

void drift::drop_scratch(run_state &r) { std::vector<scratch>().swap(r.work); }

namespace {

bool allocate(run_state &r) {
    const int n = r.n, k = r.k, d8 = r.d8;
    if (!(take(r.rows_by_slot, at(k, d8)) && take(r.slot_norm, k) && take(r.c_norm, k) &&
          take(r.drift, k) &&
          take(r.group_drift, r.t) && take(r.x_norm, n) && take(r.x_len, n) && take(r.ub, n) &&
          take(r.glb, n) && take(r.changed, n) && take(r.changed_from, n)))
        return false;
    if (r.t > 1) {
        if (!take(r.lb_store, at(n, r.t)) || !take(r.stamp, n)) return false;
        r.lb = r.lb_store.get();
        r.drift_sum.assign(at(kHistory, r.t), 0.0);
        r.loss.assign(at(kHistory, r.t), 0.0f);
    } else {
        r.lb = r.glb.get();
        // Only dense rows take the dense pass (assign_all); larger data is
        // packed block by block as it is read, not held twice.
        const int64_t packed = at(round_up8(n), d8);
        if (!r.sp.indptr && packed <= kDensePackedFloats && !take(r.dense_points, packed))
            return false;
    }
    if (!r.sp.indptr && k >= (tile_products(d8 / 2) ? kTileHalfCenters : kHalfCenters) &&
        half_capable()) {
        // The tile products' last row block may read past the last center.
        const std::size_t rows = at(k + kTileSlackRows, d8 / 2);
        if (!take(r.half_rows, rows) || !take(r.half_row_err, k)) return false;
        std::fill(&r.half_rows[at(k, d8 / 2)], &r.half_rows[0] + rows, 0u);
    }
    // No larger than keeps eight chunks per thread for the dynamic schedule.
    r.chunk = std::max(kChunkMin, std::min(chunk_points(d8), (n / (8 * r.team) + 63) / 64 * 64));
    r.n_chunks = (n + r.chunk - 1) / r.chunk;
    r.chunk_changed.assign(r.n_chunks, 0);
    r.chunk_survivors.assign(r.n_chunks, 0);
    r.chunk_rescored.assign(r.n_chunks, 0);
    r.chunk_products.assign(r.n_chunks, 0);
    // Units of the center update: centers, split into column blocks only when
    // there are too few of them to keep the team busy.
    const int units = 4 * r.team, whole = std::min(k, units);
    // A sparse row is added whole.
    const int col_blocks_wanted = is_sparse(r) ? 1 : (units + whole - 1) / whole;
    r.col_block_width = round_up8((r.d + col_blocks_wanted - 1) / col_blocks_wanted);
    r.n_col_blocks = (r.d + r.col_block_width - 1) / r.col_block_width;
    if (!take(r.sums, at(k, r.d8))) return false;
    std::fill_n(r.sums.get(), at(k, r.d8), 0.0);
    r.weight_sum.assign(k, 0.0);
    r.members.assign(at(r.n_col_blocks, k), 0);
    r.list_start.assign(k + 1, 0);
    r.run_at.assign(at(r.team, run_stride(k)), 0);
    r.shift.assign(k, 0.0);
    if (is_sparse(r)) {
        r.kt = transposed_stride(k);
        r.c_sq.assign(k, 0.0);
        if (!take(r.cen_t, at(r.d, r.kt))) return false;
        std::fill(r.cen_t.get(), r.cen_t.get() + at(r.d, r.kt), 0.0f);
    }
    return take_scratch(r);
}

}  // namespace

bool drift::set_centring(run_state &r, const double *mean, double scale) {
    r.x_mean.assign(r.d8 + 8, 0.0);
    if (mean) std::copy(mean, mean + r.d, r.x_mean.begin());
    r.x_scale = mean ? scale : 1.0;
    r.centred = mean != nullptr;
    return true;
}

void drift::set_float64(run_state &r, const double *X, const double *mean, double scale,
                        const double *weights) {
    r.X64 = X;
    r.weights64 = weights;
    r.v_mean.assign(r.d8 + 8, 0.0);
    if (mean) std::copy(mean, mean + r.d, r.v_mean.begin());
    r.v_scale = scale;
    r.widen = kWiden;
}

void drift::load_centers64(run_state &r, const double *centers) {
    r.cen64.assign(at(r.k, r.d8), 0.0);
    for (int c = 0; c < r.k; ++c)
        std::copy(centers + at(c, r.d), centers + at(c, r.d) + r.d, &r.cen64[at(c, r.d8)]);
}

bool drift::start(run_state &r, const float *centers) {
    if (!take(r.cen, at(r.k, r.d8))) return false;
    for (int c = 0; c < r.k; ++c) copy_padded(centers, r.d, r.d8, c, &r.cen[at(c, r.d8)]);
    r.L = form_groups(r.cen.get(), r.k, r.d8, group_count(r.k, r.d));
    r.t = r.L.t;
    if (!allocate(r)) return false;
#pragma omp parallel for schedule(static) num_threads(r.team) if (r.team > 1)
    for (int ch = 0; ch < r.n_chunks; ++ch) {
        float *row = r.work[omp_get_thread_num()].points.get();
        for (int p = ch * r.chunk; p < std::min(r.n, (ch + 1) * r.chunk); ++p) {
            if (is_sparse(r)) {
                r.x_norm[p] = sparse_norm(r.sp, p);
            } else {
                seen_row(r, p, row);
                r.x_norm[p] = sq_norm(row, r.d8);
            }
            r.x_len[p] = std::sqrt(r.x_norm[p]) * kRootUp;
        }
        if (r.dense_points) pack_dense_points(r, ch);
    }
    for (int c = 0; c < r.k; ++c) {
        take_center_norms(r, c);
        r.drift[c] = 0.0f;
    }
    for (int g = 0; g < r.t; ++g) place_group(r, g);
    finish_centers(r);
    std::memset(r.y, 0xFF, at(r.n, 1) * sizeof(int32_t));
    return true;
}

// ---- The loop ----------------------------------------------------------------

namespace {

struct loop_args {
    int max_iter;
    float tol;
    tavrine_progress progress;
    void *user;
    bool inertia_each;  // report each assignment's inertia
};

int run_fit(const loop_args &a, run_state &r, const float *centers, int64_t *count,
            int64_t *points, int64_t *time) {
    const timeval began = wall_now();
    if (!start(r, centers)) return TAVRINE_ERR_NOMEM;
    int64_t assign_us = 0, center_us = 0;
    const int64_t setup_us = elapsed_us(began, wall_now());

    auto assign = [&](bool full) {
        const timeval s = wall_now();
        const counters c = assign_all(r, full);
        assign_us += elapsed_us(s, wall_now());
        return c;
    };
    counters c = assign(true);
    int iter = 0, result;
    for (;;) {
        count[iter] = c.products;
        points[iter] = c.survivors;
        ++iter;
        // Against the centers the labels were just taken from.
        const double inertia = a.inertia_each ? own_inertia(r) : kNaN;
        const timeval s = wall_now();
        const update_result u = update_centers(r);
        center_us += elapsed_us(s, wall_now());
        // No label moved and no center was refilled: the centers did not
        // move either, and the labels are theirs.
        int stop = iter > 1 && c.changed == 0 && u.refilled == 0 ? TAVRINE_STOP_LABELS : 0;
        if (!stop && u.shift <= double(a.tol)) stop = TAVRINE_STOP_SHIFT;
        if (!stop && iter == a.max_iter) stop = TAVRINE_STOP_CAP;
        if (a.progress) a.progress(a.user, iter, count[iter - 1], u.shift, inertia, stop);
        if (stop == TAVRINE_STOP_LABELS) {
            result = iter;
            break;
        }
        if (stop) {
            assign(false);
            result = stop == TAVRINE_STOP_SHIFT ? iter : a.max_iter + 1;
            break;
        }
        c = assign(false);
    }
    time[0] = assign_us;
    time[1] = center_us;
    time[2] = setup_us;
    time[3] = elapsed_us(began, wall_now());
    return result;
}

}  // namespace

namespace {

// The run state's common fields, before the rows are set.
void describe(run_state &r, int n, int d, int k, const float *weights, int32_t *y) {
    r.n = n;
    r.d = d;
    r.d8 = round_up8(d);
    r.k = k;
    r.X = nullptr;
    r.weights = weights;
    r.y = y;
}

// run_fit, then the centers (k x d, nullable) and the inertia (nullable).
int fit_and_report(const loop_args &a, run_state &r, const float *Cen, float *centers_out,
                   double *inertia, int64_t *count, int64_t *points, int64_t *time) {
    const int result = run_fit(a, r, Cen, count, points, time);
    if (result < 0) return result;
    if (centers_out)
        for (int c = 0; c < r.k; ++c)
            std::memcpy(centers_out + at(c, r.d), &r.cen[at(c, r.d8)], at(r.d, 1) * sizeof(float));
    if (inertia) *inertia = own_inertia(r);
    return result;
}

}  // namespace

int tavrine_fit(int n, int d, int k, const float *X, const double *mean, double scale,
                const float *weights, const float *Cen,
                int32_t *y, float *centers_out, double *inertia, int64_t *count, int64_t *points,
                int64_t *time, int max_iter, float tol, int n_threads,
                tavrine_progress progress, void *user, int inertia_each, tavrine_f64 *f64) {
    if (n < 1 || d < 1 || k < 1 || max_iter < 1 || !(tol >= 0.0f) || d > (1 << 24) ||
        (mean && !(scale > 0.0 && scale < HUGE_VAL)) ||
        (f64 && !(f64->X && f64->mean && f64->centers && f64->scale > 0.0 && f64->scale < HUGE_VAL)))
        return TAVRINE_ERR_ARGS;
    try {
        run_state r;
        describe(r, n, d, k, weights, y);
        r.X = X;
        r.team = team_for_work(n_threads, int64_t(n) * k * r.d8, kLoopWorkPerThread);
        if (!set_centring(r, mean, scale)) return TAVRINE_ERR_NOMEM;
        std::vector<float> start32;
        if (f64) {
            set_float64(r, f64->X, f64->mean, f64->scale, f64->weights);
            load_centers64(r, f64->centers);
            start32.resize(at(k, d));
            for (int c = 0; c < k; ++c)
                for (int j = 0; j < d; ++j) start32[at(c, d) + j] = float(f64->centers[at(c, d) + j]);
            Cen = start32.data();
        }
        const int result = run_fit({max_iter, tol, progress, user, inertia_each != 0}, r, Cen, count, points, time);
        if (result < 0) return result;
        if (centers_out)
            for (int c = 0; c < k; ++c)
                std::memcpy(centers_out + at(c, d), &r.cen[at(c, r.d8)], at(d, 1) * sizeof(float));
        if (f64 && f64->centers_out)
            for (int c = 0; c < k; ++c)
                std::memcpy(f64->centers_out + at(c, d), &r.cen64[at(c, r.d8)], at(d, 1) * sizeof(double));
        if (f64) f64->rescored = r.rescored;
        if (inertia) *inertia = own_inertia(r);
        return result;
    } catch (const std::bad_alloc &) {
        return TAVRINE_ERR_NOMEM;
    }
}

int tavrine_fit_sparse(int n, int d, int k, const int64_t *indptr, const int32_t *indices,
                       const float *values, const float *weights, const float *Cen, int32_t *y,
                       float *centers_out, double *inertia, int64_t *count, int64_t *points,
                       int64_t *time, int max_iter, float tol, int n_threads,
                       tavrine_progress progress, void *user, int inertia_each) {
    if (n < 1 || d < 1 || k < 1 || max_iter < 1 || !(tol >= 0.0f) || d > (1 << 24) ||
        indptr[0] != 0)
        return TAVRINE_ERR_ARGS;
    try {
        run_state r;
        describe(r, n, d, k, weights, y);
        r.sp = {indptr, indices, values};
        r.team = team_for_work(n_threads, (indptr[n] + n) * k);
        if (!set_centring(r, nullptr, 1.0)) return TAVRINE_ERR_NOMEM;
        return fit_and_report({max_iter, tol, progress, user, inertia_each != 0}, r, Cen,
                              centers_out, inertia, count, points, time);
    } catch (const std::bad_alloc &) {
        return TAVRINE_ERR_NOMEM;
    }
}

namespace {

// Rows lo .. lo + m of n, chunk by chunk, on `team` threads, each thread
// with `floats` floats of scratch: body(lo, m, scratch). Returns
// TAVRINE_ERR_NOMEM when a thread's scratch cannot be had, else 0.
template <class Body>
int for_row_chunks(int n, int team, std::size_t floats, Body body) {
    const int n_chunks = (n + kAssignRows - 1) / kAssignRows;
    bool short_of_memory = false;
#pragma omp parallel num_threads(team) if (team > 1)
    {
        buffer<float> scratch;
        const bool ok = take(scratch, floats);
        if (!ok) {
#pragma omp atomic write
            short_of_memory = true;
        }
#pragma omp for schedule(dynamic, 1)
        for (int ch = 0; ch < n_chunks; ++ch) {
            if (!ok) continue;
            const int lo = ch * kAssignRows;
            body(lo, std::min(kAssignRows, n - lo), scratch.get());
        }
    }
    return short_of_memory ? TAVRINE_ERR_NOMEM : 0;
}

// A point's squared distance to each of k centers from its norm xn and its
// scores (-2 x.c): the expanded form, floored at 0.
inline void expanded_distances(float xn, const float *scores, const float *norms, int k,
                               float *out) {
    for (int c = 0; c < k; ++c) out[c] = std::max(xn + (scores[c] + norms[c]), 0.0f);
}

}  // namespace

int tavrine_assign(int n, int d, int k, const float *X, const float *centers, int32_t *labels,
                   float *min_dist, float *all_dist, int n_threads) {
    if (n < 1 || d < 1 || k < 1 || d > (1 << 24)) return TAVRINE_ERR_ARGS;
    const int d8 = round_up8(d), k8 = round_up8(k);
    buffer<float> cen, packed, norms;
    if (!take(cen, at(k8, d8)) || !take(packed, at(k8, d8)) || !take(norms, k8))
        return TAVRINE_ERR_NOMEM;
    std::memset(cen.get(), 0, at(k8, d8) * sizeof(float));
    for (int c = 0; c < k; ++c) {
        copy_padded(centers, d, d8, c, &cen[at(c, d8)]);
        norms[c] = sq_norm(&cen[at(c, d8)], d8);
    }
    pack_centers(cen.get(), k8, d8, 0, center_panels(k8), packed.get());
    const int team = team_for_work(n_threads, int64_t(n) * k * d8);
    return for_row_chunks(n, team, at(kAssignRows, d8 + k8), [&](int lo, int m, float *rows) {
        float *scores = rows + at(kAssignRows, d8);
        for (int i = 0; i < m; ++i) copy_padded(X, d, d8, lo + i, &rows[at(i, d8)]);
        packed_product(m, d8, k8, rows, d8, packed.get(), scores, k8);
        for (int i = 0; i < m; ++i) {
            const float *row = &scores[at(i, k8)];
            const int label = nearest_of_row(row, norms.get(), k);
            const int64_t p = lo + i;
            labels[p] = label;
            if (min_dist) min_dist[p] = float(sq_gap(X + at(p, d), &cen[at(label, d8)], d));
            if (all_dist)
                expanded_distances(sq_norm(&rows[at(i, d8)], d8), row, norms.get(), k,
                                   all_dist + at(p, k));
        }
    });
}


int tavrine_assign_sparse(int n, int d, int k, const int64_t *indptr, const int32_t *indices,
                          const float *values, const float *centers, int32_t *labels,
                          float *min_dist, float *all_dist, int n_threads) {
    if (n < 1 || d < 1 || k < 1 || d > (1 << 24) || indptr[0] != 0) return TAVRINE_ERR_ARGS;
    const sparse_rows sp{indptr, indices, values};
    const int k8 = round_up8(k), kt = transposed_stride(k);
    buffer<float> ct, norms;
    if (!take(ct, at(d, kt)) || !take(norms, k8)) return TAVRINE_ERR_NOMEM;
    std::fill(ct.get(), ct.get() + at(d, kt), 0.0f);
    std::vector<double> c_sq(k);
    for (int c = 0; c < k; ++c) {
        const float *row = centers + at(c, d);
        for (int j = 0; j < d; ++j) ct[at(j, kt) + c] = row[j];
        norms[c] = norm_in_double(row, d);
        c_sq[c] = center_sq_double(row, d);
    }
    const int team = team_for_work(n_threads, (indptr[n] + n) * k);
    return for_row_chunks(n, team, at(kAssignRows, k8), [&](int lo, int m, float *scores) {
        for (int i = 0; i < m; ++i) {
            const int64_t p = lo + i;
            float *row = &scores[at(i, k8)];
            sparse_scores(sp, ct.get(), kt, p, 0, k, row, 1);
            const int label = nearest_of_row(row, norms.get(), k);
            labels[p] = label;
            if (min_dist)
                min_dist[p] = float(sparse_gap(sp, p, centers + at(label, d), c_sq[label]));
            if (all_dist)
                expanded_distances(sparse_norm(sp, p), row, norms.get(), k, all_dist + at(p, k));
        }
    });
}
