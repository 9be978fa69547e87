// SPDX-License-Identifier: BSD-3-Clause
//
// Row blocks of a clustering spread over several processes. A block keeps
// the drift-bound loop's state for its rows between iterations (labels,
// bounds, the centers it last saw): each new set of centers loosens its
// bounds by how far every center moved since, so the block does only the
// pruned work of the estimator's loop. A block without state (new, moved to
// another process, or asked for it) starts from a full assignment.
//
// Member sums are added in double, each center's members in point order, and
// taken afresh for every center that gained or lost a member: a block's
// contribution depends on its data and labels only, not on the thread count,
// the schedule, or whether the block was rebuilt.
#include <omp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "estimator/drift.h"

using namespace tavrine;
using namespace tavrine::drift;

struct tavrine_block {
    int n;
    std::vector<int32_t> y;           // -1 until the first assignment
    std::unique_ptr<run_state> state;  // null until then
    std::vector<char> stale;           // k: sums to take afresh
};

namespace {

// FNV-1a over the labels as 32-bit words.
uint64_t labels_digest(const int32_t *y, int n) {
    uint64_t h = 0xcbf29ce484222325ull ^ static_cast<uint64_t>(n);
    for (int i = 0; i < n; ++i) h = (h ^ static_cast<uint32_t>(y[i])) * 0x100000001b3ull;
    return h;
}

// Centers whose members changed in the last assignment.
void mark_changes(tavrine_block *b) {
    const run_state &r = *b->state;
    for (int ch = 0; ch < r.n_chunks; ++ch) {
        const int lo = ch * r.chunk;
        for (int e = 0; e < r.chunk_changed[ch]; ++e) {
            const int from = r.changed_from[lo + e];
            if (from >= 0) b->stale[from] = 1;
            b->stale[r.y[r.changed[lo + e]]] = 1;
        }
    }
}

// The stale centers' weighted sums and weights, each thread owning a range of
// centers and walking the labels in point order.
void refresh_sums(tavrine_block *b) {
    run_state &r = *b->state;
#pragma omp parallel num_threads(r.team) if (r.team > 1)
    {
        int lo, hi;
        static_share(r.k, omp_get_num_threads(), omp_get_thread_num(), lo, hi);
        for (int c = lo; c < hi; ++c)
            if (b->stale[c]) {
                std::fill_n(&r.sums[at(c, r.d8)], r.d, 0.0);
                r.weight_sum[c] = 0.0;
            }
        for (int64_t p = 0; p < r.n; ++p) {
            const int c = r.y[p];
            if (c < lo || c >= hi || !b->stale[c]) continue;
            const double w = weight_of(r, p);
            const float *x = r.X + at(p, r.d);
            double *s = &r.sums[at(c, r.d8)];
            if (r.X64)
                for (int j = 0; j < r.d; ++j) s[j] += w * seen64(r, p, j);
            else
                for (int j = 0; j < r.d; ++j) s[j] += w * double(seen1(r, x[j], j));
            r.weight_sum[c] += w;
        }
    }
    std::fill(b->stale.begin(), b->stale.end(), 0);
}

// A fresh state for d columns and k centers, no point labelled yet.
int start_block(tavrine_block *b, int d, int k, const float *X, const float *weights, int team,
                const float *centers, const tavrine_f64 *f64) {
    b->state.reset();
    auto r = std::make_unique<run_state>();
    r->n = b->n;
    r->d = d;
    r->d8 = round_up8(d);
    r->k = k;
    r->X = X;
    r->weights = weights;
    r->y = b->y.data();
    r->team = team;
    if (!set_centring(*r, nullptr, 1.0)) return TAVRINE_ERR_NOMEM;
    if (f64) {
        set_float64(*r, f64->X, nullptr, 1.0, f64->weights);
        load_centers64(*r, f64->centers);
    }
    if (!start(*r, centers)) return TAVRINE_ERR_NOMEM;
    b->state = std::move(r);
    b->stale.assign(k, 1);
    return 0;
}

}  // namespace

tavrine_block *tavrine_block_new(int n) {
    if (n < 1) return nullptr;
    try {
        auto *b = new tavrine_block{n, std::vector<int32_t>(n, -1), nullptr, {}};
        return b;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void tavrine_block_free(tavrine_block *b) { delete b; }

const int32_t *tavrine_block_labels(const tavrine_block *b) { return b->y.data(); }

namespace {

// The team's arrays of this thread's last block call. A Dask worker's
// blocks share one shape, so a later call takes them over instead of
// allocating and faulting in the same arrays again.
thread_local std::vector<scratch> kept_scratch;

// The block's next assignment: a fresh state and every product, or the
// bounds loosened by the centers' moves. False when memory is short.
bool assign_block(tavrine_block *b, int d, int k, const float *X, const float *weights,
                  const float *centers, const tavrine_f64 *f64, bool full, int n_threads,
                  counters &c) {
    const bool fresh = full || !b->state || b->state->d != d || b->state->k != k ||
                       (b->state->X64 == nullptr) != (f64 == nullptr);
    const int team = team_for_work(n_threads, int64_t(b->n) * k * round_up8(d));
    if (fresh) {
        if (start_block(b, d, k, X, weights, team, centers, f64) < 0) return false;
        c = assign_all(*b->state, true);
    } else {
        run_state &r = *b->state;
        r.X = X;
        r.weights = weights;
        r.team = team;
        if (f64) {
            r.X64 = f64->X;
            r.weights64 = f64->weights;
        }
        r.work.swap(kept_scratch);
        if (!take_scratch(r)) return false;
        load_centers(r, centers);
        if (f64) load_centers64(r, f64->centers);
        c = assign_all(r, false);
    }
    kept_scratch.swap(b->state->work);
    drop_scratch(*b->state);
    mark_changes(b);
    refresh_sums(b);
    return true;
}

}  // namespace

int tavrine_block_assign(tavrine_block *b, int d, int k, const float *X, const float *weights,
                         const float *centers, int full, int n_threads, double *sums,
                         double *counts, uint64_t *digest, int64_t *products,
                         const tavrine_f64 *f64) {
    if (b == nullptr || d < 1 || k < 1 || d > (1 << 24) || (f64 && !(f64->X && f64->centers)))
        return TAVRINE_ERR_ARGS;
    counters c;
    bool done = false;
    try {
        done = assign_block(b, d, k, X, weights, centers, f64, full != 0, n_threads, c);
    } catch (const std::bad_alloc &) {
    }
    if (!done) {
        // A state cut short holds no bound to trust: the block starts over.
        b->state.reset();
        std::fill(b->y.begin(), b->y.end(), -1);
        return TAVRINE_ERR_NOMEM;
    }
    const run_state &r = *b->state;
    if (sums != nullptr)
        for (int j = 0; j < k; ++j)
            std::memcpy(sums + at(j, d), &r.sums[at(j, r.d8)], at(d, 1) * sizeof(double));
    if (counts != nullptr) std::memcpy(counts, r.weight_sum.data(), at(k, 1) * sizeof(double));
    if (digest != nullptr) *digest = labels_digest(b->y.data(), b->n);
    if (products != nullptr) *products = c.products;
    return 0;
}

int tavrine_block_inertia(tavrine_block *b, const float *X, const float *weights,
                          const float *centers, int n_threads, double *total,
                          const tavrine_f64 *f64) {
    if (b == nullptr || !b->state || (b->state->X64 == nullptr) != (f64 == nullptr) ||
        (f64 && !(f64->X && f64->centers)))
        return TAVRINE_ERR_ARGS;
    run_state &r = *b->state;
    r.X = X;
    r.weights = weights;
    r.team = team_for_work(n_threads, int64_t(r.n) * r.d8);
    if (f64) {
        r.X64 = f64->X;
        r.weights64 = f64->weights;
        load_centers64(r, f64->centers);
        *total = own_inertia(r);
    } else {
        *total = inertia(r, centers, r.d);
    }
    return 0;
}

int tavrine_block_farthest(const tavrine_block *b, int d, const float *X, const float *weights,
                           int count, double *out_dist, int32_t *out_index,
                           const tavrine_f64 *f64) {
    if (b == nullptr || !b->state || b->state->d != d || count < 0 ||
        (b->state->X64 == nullptr) != (f64 == nullptr) || (f64 && !f64->X))
        return TAVRINE_ERR_ARGS;
    run_state &r = *b->state;
    r.X = X;
    if (f64) {
        r.X64 = f64->X;
        r.weights64 = f64->weights;
    }
    r.weights = weights;
    try {
        const auto far = farthest_points(r, count);
        for (std::size_t i = 0; i < far.size(); ++i) {
            out_dist[i] = far[i].first;
            out_index[i] = far[i].second;
        }
        return int(far.size());
    } catch (const std::bad_alloc &) {
        return TAVRINE_ERR_NOMEM;
    }
}
