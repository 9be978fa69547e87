// SPDX-License-Identifier: BSD-3-Clause
//
// Row blocks of a clustering spread over several processes. A block keeps
// its labels (and its rows' squared norms) between iterations: the bounds of
// the pruned assignment are rebuilt each iteration from those labels and the
// new centers, so the labels are all a block needs to do only its pruned work
// next time. The working
// arrays (padded rows, bounds, candidate lists, products) live in a
// workspace that serves every block of a process in turn, sized for a round
// of rows rather than for the block, so a worker's memory grows with its data
// and not with data x k.
//
// Member sums are added in double, each center's members in point order, so
// a block's contribution depends on its data and labels only: not on the
// thread count, the schedule, or which process computed it.
#include <omp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "blas.h"
#include "common.h"

using namespace tavrine;

struct tavrine_block {
    int n;
    bool labelled;  // false until the first assignment
    int32_t *y;
    float *x_norm;  // |x|^2 of the rows, taken by the full assignment
};

struct tavrine_workspace {
    int d, k, d8, k8;
    int rows;        // rows per round
    float *X;        // rows x d8, the round's padded points
    float *cen;      // k8 x d8, padded centers
    float *c_norm;   // k8
    float *slice_cnt, *slice_sum;  // the assignment kernels' slices, unused here
    fast_var fv;     // per-point arrays for one round
    bool have_fv;
    // The centers last loaded (k x d, dense) and what was derived from them:
    // the blocks of one process share an iteration's centers.
    float *loaded;
    enum { kNone, kNorms, kGeometry } derived;
};

namespace {

// Rows per round: the padded copy and the bounds of a round stay small next to
// a block. fv reserves rows x k8 products and lists, which the loop's steps
// leave untouched (they keep both in per-thread scratch).
int round_rows(int k8) { return std::clamp((1 << 22) / k8, 1024, 1 << 16); }


// Each thread owns a range of centers and walks all labels, adding the rows
// of its own members: every center's sum is taken in point order.
void add_members(int n, int d, int k, const float *X, const int32_t *y, double *sums,
                 double *counts) {
#pragma omp parallel num_threads(team_size(k))
    {
        int lo, hi;
        static_share(k, omp_get_num_threads(), omp_get_thread_num(), lo, hi);
        for (int i = 0; i < n; ++i) {
            const int j = y[i];
            if (j < lo || j >= hi) continue;
            counts[j] += 1.0;
            const float *x = X + at(i, d);
            double *s = sums + at(j, d);
            for (int c = 0; c < d; ++c) s[c] += x[c];
        }
    }
}

// FNV-1a over the labels as 32-bit words.
uint64_t labels_digest(const int32_t *y, int n) {
    uint64_t h = 0xcbf29ce484222325ull ^ static_cast<uint64_t>(n);
    for (int i = 0; i < n; ++i) h = (h ^ static_cast<uint32_t>(y[i])) * 0x100000001b3ull;
    return h;
}

void load_centers(tavrine_workspace *w, const float *centers) {
    const std::size_t bytes = at(w->k, w->d) * sizeof(float);
    if (w->derived != tavrine_workspace::kNone && std::memcmp(w->loaded, centers, bytes) == 0)
        return;
    std::memcpy(w->loaded, centers, bytes);
    pad_into(centers, w->k, w->d, w->cen);
    std::memset(w->cen + at(w->k, w->d8), 0, at(w->k8 - w->k, w->d8) * sizeof(float));
    w->derived = tavrine_workspace::kNone;
}

// Norms for the full assignment, or norms and pair geometry (which take the
// norms from the product's diagonal) for the pruned one, unless already there.
void derive(tavrine_workspace *w, bool pruned, const tavrine_block *b) {
    if (pruned && w->derived != tavrine_workspace::kGeometry) {
        update_fv(0, w->d8, w->k8, w->X, b->x_norm, w->cen, w->c_norm, b->y, &w->fv);
        w->derived = tavrine_workspace::kGeometry;
    } else if (!pruned && w->derived != tavrine_workspace::kNorms) {
        squared_norms(w->cen, w->k8, w->d8, w->c_norm);
        w->derived = tavrine_workspace::kNorms;
    }
}

}  // namespace

tavrine_block *tavrine_block_new(int n) {
    if (n < 1) return nullptr;
    auto *b = static_cast<tavrine_block *>(std::malloc(sizeof(tavrine_block)));
    int32_t *y = static_cast<int32_t *>(std::malloc(at(n, 1) * sizeof(int32_t)));
    float *x_norm = static_cast<float *>(std::malloc(at(n, 1) * sizeof(float)));
    if (b == nullptr || y == nullptr || x_norm == nullptr) {
        std::free(b);
        std::free(y);
        std::free(x_norm);
        return nullptr;
    }
    std::memset(y, 0xFF, at(n, 1) * sizeof(int32_t));
    *b = tavrine_block{n, false, y, x_norm};
    return b;
}

void tavrine_block_free(tavrine_block *b) {
    if (b == nullptr) return;
    std::free(b->y);
    std::free(b->x_norm);
    std::free(b);
}

const int32_t *tavrine_block_labels(const tavrine_block *b) { return b->y; }

void tavrine_workspace_free(tavrine_workspace *w) {
    if (w == nullptr) return;
    for (float *p : {w->X, w->cen, w->c_norm, w->slice_cnt, w->slice_sum, w->loaded})
        std::free(p);
    if (w->have_fv) free_fast_var(&w->fv);
    std::free(w);
}

tavrine_workspace *tavrine_workspace_new(int d, int k) {
    if (d < 1 || k < 1 || d > (1 << 30) || k > (1 << 30)) return nullptr;
    auto *w = static_cast<tavrine_workspace *>(std::calloc(1, sizeof(tavrine_workspace)));
    if (w == nullptr) return nullptr;
    w->d = d;
    w->k = k;
    w->d8 = round_up8(d);
    w->k8 = round_up8(k);
    w->rows = round_rows(w->k8);
    auto take = [](std::size_t count) { return static_cast<float *>(aligned_floats(count)); };
    w->X = take(at(w->rows, w->d8));
    w->cen = take(at(w->k8, w->d8));
    w->c_norm = take(w->k8);
    w->slice_cnt = take(at(kSlices, w->k8));
    w->slice_sum = take(at(kSlices, w->k8) * w->d8);
    w->loaded = take(at(k, d));
    w->derived = tavrine_workspace::kNone;
    w->have_fv = w->X && w->cen && w->c_norm && w->slice_cnt && w->slice_sum &&
                 w->loaded && init_fast_var(&w->fv, w->rows, w->d8, w->k8);
    if (!w->have_fv) {
        tavrine_workspace_free(w);
        return nullptr;
    }
    return w;
}

int tavrine_block_assign(tavrine_block *b, tavrine_workspace *w, const float *X,
                         const float *centers, int full, double *sums, double *counts,
                         uint64_t *digest, int64_t *products) {
    if (b == nullptr || w == nullptr) return TAVRINE_ERR_ARGS;
    const int n = b->n, d8 = w->d8, k8 = w->k8, k = w->k;
    const bool pruned = b->labelled && !full;
    // Products that fall back to OpenBLAS take the team's threads; the pair
    // geometry's inside the team take one.
    blas_threads scope(omp_get_max_threads());
    load_centers(w, centers);
    derive(w, pruned, b);
    int64_t work = 0;
    for (int lo = 0; lo < n; lo += w->rows) {
        const int rows = std::min(w->rows, n - lo);
        int32_t *y = b->y + lo;
        pad_into(X + at(lo, w->d), rows, w->d, w->X);
        if (pruned) {
            compute_r2_omp(rows, d8, w->X, w->cen, y, w->fv.r2);
            compute_COS_OCX(w->c_norm, k8, w->fv.r2, y, b->x_norm + lo, w->fv.COS_OCX,
                            w->fv.SIN_OCX, rows);
            update_mdy_labels(rows, d8, k8, k, w->X, w->cen, w->c_norm, false, &w->fv, y,
                              w->slice_cnt, w->slice_sum);
            for (int i = 0; i < rows; ++i) work += w->fv.mask_count[i];
        } else {
            update_y_labels(rows, d8, k8, k, w->X, w->cen, w->c_norm, false, &w->fv, y,
                            w->slice_cnt, w->slice_sum);
            squared_norms(w->X, rows, d8, b->x_norm + lo);
            work += static_cast<int64_t>(rows) * k;
        }
    }
    b->labelled = true;
    if (sums != nullptr && counts != nullptr) add_members(n, w->d, k, X, b->y, sums, counts);
    if (digest != nullptr) *digest = labels_digest(b->y, n);
    if (products != nullptr) *products = work;
    return 0;
}

int tavrine_block_inertia(const tavrine_block *b, tavrine_workspace *w, const float *X,
                          const float *centers, double *inertia) {
    if (b == nullptr || w == nullptr || !b->labelled) return TAVRINE_ERR_ARGS;
    load_centers(w, centers);
    double total = 0.0;
    for (int lo = 0; lo < b->n; lo += w->rows) {
        const int rows = std::min(w->rows, b->n - lo);
        pad_into(X + at(lo, w->d), rows, w->d, w->X);
        compute_r2_omp(rows, w->d8, w->X, w->cen, b->y + lo, w->fv.r2);
        for (int i = 0; i < rows; ++i) total += w->fv.r2[i];
    }
    *inertia = total;
    return 0;
}
