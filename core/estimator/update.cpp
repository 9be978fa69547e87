// SPDX-License-Identifier: BSD-3-Clause
//
// The drift loop's center update. Center sums are double, updated from the
// changed points listed per center in point order (each center and column
// block owned by one worker): the result does not depend on the thread
// count, and an iteration that moves few points costs few additions. Centers
// left empty are refilled for one update from the farthest points; then the
// centers move, and their drifts, norms, groups and the bounds' losses
// follow.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "estimator/loop.h"

using namespace tavrine;
using namespace tavrine::drift;

namespace {

// rows[0 .. 7] += w * x and rows[0 .. 7] -= w * x in double for eight floats
// of a point: w * x is exact in double, so each step rounds once.
inline void add_scaled(double *row, __m256 x, double w) {
    const __m256d lo = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x)), _mm256_set1_pd(w));
    const __m256d hi = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)), _mm256_set1_pd(w));
    _mm256_storeu_pd(row, _mm256_add_pd(_mm256_loadu_pd(row), lo));
    _mm256_storeu_pd(row + 4, _mm256_add_pd(_mm256_loadu_pd(row + 4), hi));
}

// Listed changes ahead of the one being added whose row is fetched.
constexpr int kFetchAhead = 12;

// The last assignment's changes as one list per center in point order: the
// team's threads each list a run of chunks, and the runs are laid out one
// after the other within each center's list.
void list_changes(run_state &r, int runs) {
    const int k = r.k, stride = run_stride(k);
    const auto each_change = [&](int run, auto f) {
        int first, end;
        static_share(r.n_chunks, runs, run, first, end);
        for (int ch = first; ch < end; ++ch)
            for (int e = 0; e < r.chunk_changed[ch]; ++e)
                f(r.changed[ch * r.chunk + e], r.changed_from[ch * r.chunk + e]);
    };
    std::fill(r.run_at.begin(), r.run_at.end(), 0);
#pragma omp parallel for schedule(static, 1) num_threads(runs) if (runs > 1)
    for (int run = 0; run < runs; ++run) {
        int64_t *count = &r.run_at[at(run, stride)];
        each_change(run, [&](int32_t p, int32_t from) {
            if (from >= 0) ++count[from];
            ++count[r.y[p]];
        });
    }
    int64_t next = 0;
    for (int c = 0; c < k; ++c) {
        r.list_start[c] = next;
        for (int run = 0; run < runs; ++run) {
            const int64_t count = r.run_at[at(run, stride) + c];
            r.run_at[at(run, stride) + c] = next;
            next += count;
        }
    }
    r.list_start[k] = next;
    // As long as the longest change list so far: n for the first assignment.
    if (r.listed.size() < std::size_t(next)) r.listed.resize(next);
#pragma omp parallel for schedule(static, 1) num_threads(runs) if (runs > 1)
    for (int run = 0; run < runs; ++run) {
        int64_t *end = &r.run_at[at(run, stride)];
        each_change(run, [&](int32_t p, int32_t from) {
            if (from >= 0) r.listed[end[from]++] = ~p;
            r.listed[end[r.y[p]]++] = p;
        });
    }
}

// The changes of centers [first, end) applied to their double sums in column
// block col_block, each center's in point order: the sums do not depend on
// the thread count.
void add_changes(run_state &r, int first, int end, int col_block) {
    const int c0 = col_block * r.col_block_width, c1 = std::min(r.d, c0 + r.col_block_width);
    const auto add = [&](double *sums, int64_t p, double w) {
        if (r.X64) {
            for (int j = c0; j < c1; ++j) sums[j] += seen64(r, p, j) * w;
            return;
        }
        if (is_sparse(r)) return sparse_add(r, sums, p, w);  // one column block: all of d
        const float *x = r.X + at(p, r.d);
        for (int o = c0; o < c1; o += 8) {
            const int width = std::min(8, c1 - o);
            add_scaled(sums + o, seen8(r, width == 8 ? _mm256_loadu_ps(x + o) : masked_read(x + o, width), o), w);
        }
    };
    const int32_t *listed = r.listed.data();
    const int64_t last = r.list_start[end];
    for (int c = first; c < end; ++c) {
        // Counted here, stored once: neighbouring centers' counts share a
        // cache line with other workers.
        int64_t members = r.members[at(col_block, r.k) + c];
        double weight = r.weight_sum[c];
        double *sums = &r.sums[at(c, r.d8)];
        for (int64_t e = r.list_start[c]; e < r.list_start[c + 1]; ++e) {
            // The rows are scattered: fetch ahead of time, across centers.
            if (!is_sparse(r) && e + kFetchAhead < last) {
                const int32_t v = listed[e + kFetchAhead];
                const char *row = reinterpret_cast<const char *>(r.X + at(v < 0 ? ~v : v, r.d) + c0);
                for (int64_t b = 0; b < int64_t(c1 - c0) * 4; b += 64) _mm_prefetch(row + b, _MM_HINT_T0);
            }
            const bool lost = listed[e] < 0;
            const int64_t p = lost ? ~listed[e] : listed[e];
            const double w = weight_of(r, p);
            if (w == 0.0) continue;
            if (lost) {
                add(sums, p, -w);
                weight -= w;
                // The last member gone: the sums are exactly zero again.
                if (--members == 0) {
                    std::fill(sums + c0, sums + round_up8(c1), 0.0);
                    weight = 0.0;
                }
            } else {
                add(sums, p, w);
                weight += w;
                ++members;
            }
        }
        r.members[at(col_block, r.k) + c] = members;
        if (col_block == 0) r.weight_sum[c] = weight;
    }
}

// Center c's squared shift, drift and norm once its row has moved (by
// `moved` squared in float, `shift` in the reported centers).
void record_move(run_state &r, int c, double moved, double shift) {
    r.shift[c] = shift;
    r.drift[c] = round_up_float(std::sqrt(moved) * kDoubleSlack);
    take_center_norms(r, c);
}

// Center c to row `to` (d floats).
void move_to(run_state &r, int c, const float *to) {
    float *row = &r.cen[at(c, r.d8)];
    double moved = 0.0;
    for (int j = 0; j < r.d; ++j) {
        const double g = double(to[j]) - double(row[j]);
        moved += g * g;
        row[j] = to[j];
    }
    record_move(r, c, moved, moved);
}

// New position of center c from its sums (kept when it has no weighted member).
void move_center(run_state &r, int c) {
    float *row = &r.cen[at(c, r.d8)];
    double moved = 0.0, shift = 0.0;
    if (r.members[c] > 0) {
        const double *s = &r.sums[at(c, r.d8)];
        double *row64 = r.X64 ? &r.cen64[at(c, r.d8)] : nullptr;
        for (int j = 0; j < r.d; ++j) {
            const double exact = s[j] / r.weight_sum[c];
            const float v = float(exact);
            const double g = double(v) - double(row[j]);
            moved += g * g;
            row[j] = v;
            if (row64) {
                const double g64 = exact - row64[j];
                shift += g64 * g64;
                row64[j] = exact;
            }
        }
    }
    record_move(r, c, moved, r.X64 ? shift : moved);
}

// After the centers moved: the groups, a new epoch and its losses.
void close_epoch(run_state &r) {
    if (check_level.load() > 1) std::fill(r.drift.get(), r.drift.get() + r.k, 0.0f);
#pragma omp parallel for schedule(dynamic, 1) num_threads(r.team) if (r.team > 1 && r.t > 1)
    for (int g = 0; g < r.t; ++g) place_group(r, g);
    ++r.epoch;
    finish_centers(r);
}

// ---- Refilling emptied centers -------------------------------------------------

// Centers left without weight after an assignment, as scikit-learn's Lloyd
// refills them: the farthest points from the centers they were assigned to
// (squared distances, unweighted; ties to the lower index) each lend their
// weighted row to one empty center, the farthest to the lowest-numbered,
// for this one center update. Labels stay as assigned, so every bound holds:
// the moved centers' drifts cover the move, and the next assignment relabels.
struct relocation {
    std::vector<int32_t> centers;        // empty centers, then the donors' centers
    std::vector<double> sums, weights;   // their sums and weights before the loan
    std::vector<int64_t> members;        // n_col_blocks per center
};

// Saves center c's sums, weight and member counts, once.
void save_center(const run_state &r, relocation &saved, int c) {
    if (std::find(saved.centers.begin(), saved.centers.end(), c) != saved.centers.end()) return;
    saved.centers.push_back(c);
    const double *row = r.sums.get() + at(c, r.d8);
    saved.sums.insert(saved.sums.end(), row, row + r.d8);
    saved.weights.push_back(r.weight_sum[c]);
    for (int cb = 0; cb < r.n_col_blocks; ++cb) saved.members.push_back(r.members[at(cb, r.k) + c]);
}

// Member counts of center c in every column block, shifted by `by`.
void count_members(run_state &r, int c, int64_t by) {
    for (int cb = 0; cb < r.n_col_blocks; ++cb) r.members[at(cb, r.k) + c] += by;
}

// Point p's row, weighted by w, moved from the sums `give` into `take`
// (which it replaces).
void lend_row(const run_state &r, double *give, double *take, int64_t p, double w) {
    if (is_sparse(r)) {
        std::fill(take, take + r.d, 0.0);
        for (int64_t i = r.sp.indptr[p]; i < r.sp.indptr[p + 1]; ++i) {
            const double v = double(r.sp.values[i]);
            give[r.sp.indices[i]] += v * -w;
            take[r.sp.indices[i]] = v * w;
        }
        return;
    }
    const float *x = r.X + at(p, r.d);
    for (int j = 0; j < r.d; ++j) {
        const double v = r.X64 ? seen64(r, p, j) : double(seen1(r, x[j], j));
        give[j] += v * -w;
        take[j] = v * w;
    }
}

// Lends the farthest points' rows to the empty centers; returns the centers refilled.
int lend_to_empty(run_state &r, relocation &saved) {
    std::vector<int32_t> empty;
    for (int c = 0; c < r.k; ++c)
        if (r.members[c] == 0) empty.push_back(c);
    if (empty.empty()) return 0;
    const auto far = farthest_points(r, int(empty.size()));
    for (std::size_t e = 0; e < far.size(); ++e) {
        const int to = empty[e], p = far[e].second, from = r.y[p];
        const double w = weight_of(r, p);
        save_center(r, saved, to);
        save_center(r, saved, from);
        double *give = &r.sums[at(from, r.d8)], *take = &r.sums[at(to, r.d8)];
        lend_row(r, give, take, p, w);
        r.weight_sum[from] -= w;
        r.weight_sum[to] = w;
        count_members(r, from, -1);
        count_members(r, to, 1);
        // A donor left without members keeps its position, as any empty center.
        if (r.members[from] == 0) {
            std::fill(give, give + r.d8, 0.0);
            r.weight_sum[from] = 0.0;
        }
    }
    return int(far.size());
}

// The sums again those of the labels, once the centers have moved.
void restore(run_state &r, const relocation &saved) {
    for (std::size_t i = 0; i < saved.centers.size(); ++i) {
        const int c = saved.centers[i];
        const double *row = saved.sums.data() + at(int(i), r.d8);
        std::copy(row, row + r.d8, r.sums.get() + at(c, r.d8));
        r.weight_sum[c] = saved.weights[i];
        for (int cb = 0; cb < r.n_col_blocks; ++cb)
            r.members[at(cb, r.k) + c] = saved.members[at(int(i), r.n_col_blocks) + cb];
    }
}

}  // namespace

std::vector<std::pair<double, int32_t>> drift::farthest_points(const run_state &r, int count) {
    std::vector<double> gap(r.n);
#pragma omp parallel for schedule(static) num_threads(r.team) if (r.team > 1)
    for (int p = 0; p < r.n; ++p) {
        const bool weightless = (r.weights || r.weights64) && !(weight_of(r, p) > 0.0);
        gap[p] = weightless ? 0.0 : result_gap(r, p, r.y[p]);
    }
    std::vector<std::pair<double, int32_t>> far;
    for (int p = 0; p < r.n; ++p)
        if (gap[p] > 0.0) far.emplace_back(gap[p], p);
    // Farthest first; among equals the lower row.
    const auto farther = [](const auto &a, const auto &b) {
        return a.first > b.first || (a.first == b.first && a.second < b.second);
    };
    const std::size_t m = std::min<std::size_t>(std::max(count, 0), far.size());
    std::partial_sort(far.begin(), far.begin() + m, far.end(), farther);
    far.resize(m);
    return far;
}

void drift::place_group(run_state &r, int g) {
    float gd = 0.0f;
    for (int slot = r.L.start[g]; slot < r.L.start[g + 1]; ++slot) {
        const int c = r.L.center[slot];
        std::memcpy(&r.rows_by_slot[at(slot, r.d8)], &r.cen[at(c, r.d8)],
                    at(r.d8, 1) * sizeof(float));
        r.slot_norm[slot] = r.c_norm[c];
        if (is_sparse(r)) place_transposed(r, slot, c);
        gd = std::max(gd, r.drift[c]);
    }
    r.group_drift[g] = gd;
    if (r.half_rows) {
        const int s0 = r.L.start[g];
        half_rows(&r.rows_by_slot[at(s0, r.d8)], r.L.size(g), r.d8,
                  &r.half_rows[at(s0, r.d8 / 2)], r.d8 / 2, &r.half_row_err[s0]);
    }
}

// The largest norm and drift, and the group bounds' losses by age for the
// epoch just begun.
void drift::finish_centers(run_state &r) {
    float widest = 0.0f;
    for (int c = 0; c < r.k; ++c) widest = std::max(widest, r.c_norm[c]);
    r.radius = std::sqrt(widest) * kRootUp;
    if (r.half_rows)
        r.half_err_max = *std::max_element(r.half_row_err.get(), r.half_row_err.get() + r.k);
    r.widest_drift = 0.0f;
    for (int g = 0; g < r.t; ++g) r.widest_drift = std::max(r.widest_drift, r.group_drift[g]);
    if (r.t == 1) return;
    const int t = r.t, now = r.epoch % kHistory;
    const double *before = &r.drift_sum[at((r.epoch + kHistory - 1) % kHistory, t)];
    double *sum = &r.drift_sum[at(now, t)];
    for (int g = 0; g < t; ++g) sum[g] = r.epoch == 0 ? 0.0 : before[g] + r.group_drift[g];
    for (int age = 1; age < std::min(kHistory, r.epoch + 1); ++age) {
        const double *then = &r.drift_sum[at((r.epoch - age) % kHistory, t)];
        for (int g = 0; g < t; ++g)
            r.loss[at(age, t) + g] = round_up_float((sum[g] - then[g]) * kDoubleSlack);
    }
}

void drift::load_centers(run_state &r, const float *centers) {
#pragma omp parallel for schedule(static) num_threads(r.team) if (r.team > 1)
    for (int c = 0; c < r.k; ++c) move_to(r, c, centers + at(c, r.d));
    close_epoch(r);
}

update_result drift::update_centers(run_state &r) {
    // A few changes are applied on this thread: waking the team would cost
    // more. Every sum is the same for any team.
    int64_t changes = 0;
    for (int ch = 0; ch < r.n_chunks; ++ch) changes += r.chunk_changed[ch];
    const int team = (changes + r.k) * r.d8 < kUpdateWorkPerThread ? 1 : r.team;
    list_changes(r, team);
    // Units of adjacent centers, so a worker's fetches run ahead into its
    // next center's list.
    const int per_unit = std::max(1, r.k / (16 * team));
    const int units = r.n_col_blocks * ((r.k + per_unit - 1) / per_unit);
#pragma omp parallel for schedule(dynamic, 1) num_threads(team) if (team > 1)
    for (int u = 0; u < units; ++u) {
        const int first = u / r.n_col_blocks * per_unit;
        add_changes(r, first, std::min(r.k, first + per_unit), u % r.n_col_blocks);
    }
    relocation saved;
    const int refilled = lend_to_empty(r, saved);
#pragma omp parallel for schedule(static) num_threads(team) if (team > 1)
    for (int c = 0; c < r.k; ++c) move_center(r, c);
    restore(r, saved);
    close_epoch(r);
    double total = 0.0;
    for (int c = 0; c < r.k; ++c) total += r.shift[c];
    return {total, refilled};
}

