// SPDX-License-Identifier: BSD-3-Clause
//
// State of the drift-bound Lloyd loop, shared by the estimator's loop
// (fit.cpp and the files it calls) and the row blocks of a distributed fit
// (block.cpp), which keep it between calls. Internal; not installed.
#ifndef TAVRINE_DRIFT_H
#define TAVRINE_DRIFT_H

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "common.h"
#include "kernels/buffer.h"

namespace tavrine::drift {

// Points per chunk of the assignment, at most: the larger a chunk, the more
// points share each group's product, while its packed points (chunk x d8) stay
// within kChunkFloats.
constexpr int kChunkMax = 2048, kChunkMin = 256;
constexpr int kChunkFloats = 1 << 19;
inline int chunk_points(int d8) { return std::clamp(kChunkFloats / d8 / 64 * 64, kChunkMin, kChunkMax); }

// Group bounds are stamped with the epoch (center updates so far) they hold
// for; a point's are brought up to date when it survives the global filter,
// or once they are kHistory - 1 epochs old.
constexpr int kHistory = 32;

// Groups laid out one after the other in slots, each group's members in
// increasing center order.
struct group_layout {
    int t = 0, widest = 0;
    std::vector<int32_t> of_center;  // k
    std::vector<int32_t> start;      // t + 1, slot of each group's first member
    std::vector<int32_t> center;     // k: center in each slot

    int size(int g) const { return start[g + 1] - start[g]; }
};


// (x - c)^2 for the eight float lanes of x and c, in double, added to the
// low and high halves' sums.
inline void add_gaps8(__m256 x, __m256 c, __m256d &lo, __m256d &hi) {
    const __m256d g_lo = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x)),
                                       _mm256_cvtps_pd(_mm256_castps256_ps128(c)));
    const __m256d g_hi = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)),
                                       _mm256_cvtps_pd(_mm256_extractf128_ps(c, 1)));
    lo = _mm256_fmadd_pd(g_lo, g_lo, lo);
    hi = _mm256_fmadd_pd(g_hi, g_hi, hi);
}

// The eight column sums of add_gaps8 as one double, in a fixed order.
inline double sum_gaps(__m256d lo, __m256d hi) {
    const __m256d s = _mm256_add_pd(lo, hi);
    const __m128d h = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
    return _mm_cvtsd_f64(_mm_add_sd(h, _mm_unpackhi_pd(h, h)));
}

// Squared distance of a dense row to a center (d columns each), the row's
// values as seen(values, column) gives them, float differences squared and
// summed in double. Past d both reads are masked: the lanes add nothing.
template <class Seen>
inline double seen_gap(const float *x, const float *c, int d, Seen seen) {
    __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
    const int whole = d & ~7;
    for (int j = 0; j < whole; j += 8) add_gaps8(seen(_mm256_loadu_ps(x + j), j), _mm256_loadu_ps(c + j), lo, hi);
    if (whole < d)
        add_gaps8(seen(masked_read(x + whole, d - whole), whole), masked_read(c + whole, d - whole), lo, hi);
    return sum_gaps(lo, hi);
}

// The row as it is: inertia, the reported distances of labelled points, and
// the farthest points that refill emptied centers (the same in the loop and
// in the row blocks, so both pick the same points).
inline double sq_gap(const float *x, const float *c, int d) {
    return seen_gap(x, c, d, [](__m256 v, int) { return v; });
}

// Centers per product of the every-group list: whole groups, one long sweep.
constexpr int kBatchRows = 256;


// One thread's working arrays for a chunk. Per-group results are kept at
// stride entries: a bucket's last block of eight lanes may run past its
// entries.
struct scratch {
    int chunk, entries;
    buffer<float> points, every_points, products, min1, min2, best, margin, low_base, own_score;
    buffer<int32_t> bucket, bucket_n, bucket_own, survivors, best_idx, best_group, nearest, every,
        own, prior;
    // With bfloat16 estimates: the survivors' rows as bfloat16 pairs (stride
    // half_ld), points packed from them, each point's slack and limit (by
    // point, and by entry of the every-group list), and the pairs and points
    // whose estimates leave a doubt.
    int half_ld;
    buffer<uint32_t> half_x, half_points;
    buffer<float> slack, limit, slack_at, limit_at, one_score, scan_min1, scan_min2;
    buffer<int32_t> one_entry, one_point, one_center, scan_entry, scan_point, scan_nearest;
    std::vector<double> d2;  // k, for rescoring with float64 input

    int shape[3] = {-1, -1, -1};  // d8, widest, t of the arrays held

    // Arrays for chunks of chunk_ points; those held are kept when they
    // have this shape already.
    bool init(int d8, int widest, int t, int chunk_) {
        if (points && chunk == chunk_ && shape[0] == d8 && shape[1] == widest && shape[2] == t)
            return true;
        shape[0] = d8;
        shape[1] = widest;
        shape[2] = t;
        chunk = chunk_;
        // A bucket's packed lanes run up to 16 past its entries.
        entries = chunk + 16;
        half_ld = round_up8(d8 / 2);
        return take(points, at(entries, d8)) && take(products, at(std::max(widest, kBatchRows), entries)) &&
               take(min1, at(t, entries)) && take(min2, at(t, entries)) &&
               take(best, chunk) && take(bucket, at(t, chunk)) && take(bucket_n, t) &&
               take(bucket_own, t) && take(survivors, chunk) && take(best_idx, chunk) &&
               take(nearest, at(t, entries)) && take(margin, chunk) &&
               take(low_base, chunk) && take(best_group, chunk) &&
               take(every_points, at(entries, d8)) && take(every, chunk) &&
               take(own_score, chunk) && take(own, chunk) && take(prior, chunk) &&
               take(half_x, at(chunk, half_ld)) && take(half_points, at(entries, d8 / 2)) &&
               take(slack, entries) && take(limit, entries) && take(slack_at, entries) &&
               take(limit_at, entries) && take(one_score, chunk) &&
               take(scan_min1, entries) && take(scan_min2, entries) &&
               take(one_entry, chunk) && take(one_point, chunk) && take(one_center, chunk) &&
               take(scan_entry, chunk) && take(scan_point, chunk) && take(scan_nearest, entries);
    }
};

// CSR rows: row p's columns indices[indptr[p] .. indptr[p + 1]), increasing,
// and its values as the loop sees them (scaled, never centred).
struct sparse_rows {
    const int64_t *indptr = nullptr;
    const int32_t *indices = nullptr;
    const float *values = nullptr;
};

struct run_state {
    int n, d, d8, k, team;
    int chunk;  // points per chunk of the assignment
    const float *X, *weights;
    // Sparse rows instead of X when sp.indptr is set (sparse.h reads them);
    // then the centers also sit transposed in slot order, d x kt, and c_sq
    // holds their squared norms in double.
    sparse_rows sp;
    int kt = 0;
    buffer<float> cen_t;
    std::vector<double> c_sq;
    // X's values are taken as float((x - x_mean) * x_scale), in double, where
    // they are read (seen8); a prepared copy runs with x_mean 0 and x_scale 1.
    // x_mean has d8 + 8 values, zero past d.
    std::vector<double> x_mean;
    double x_scale = 1.0;
    bool centred = false;  // x_mean or x_scale change a value: a copy reads as it is
    // Float64 input: X is its centred float32 copy, and every decision is
    // taken for the float64 rows v = (x - v_mean) * v_scale (X64, d columns)
    // and the double centers cen64 (k x d8): bounds rule a center out only
    // past the widening (bounds.h), and a point they leave undecided is
    // rescored in double. Without it X64 is null and widen 0.
    const double *X64 = nullptr, *weights64 = nullptr;
    std::vector<double> v_mean, cen64;
    double v_scale = 1.0;
    float widen = 0.0f;
    group_layout L;
    int t;
    // Centers: padded rows (k x d8), the same rows in slot order with their
    // norms, norms by center, drifts rounded up, the largest norm.
    buffer<float> cen, rows_by_slot, slot_norm, c_norm, drift, group_drift;
    float radius = 0.0f;
    // Where the processor has bfloat16 dot products (dense rows): the rows in
    // slot order as bfloat16 pairs (k x d8 / 2), each one's copy error and the
    // largest; `half` while the assignment estimates with them. A point
    // whose group bounds leave every_quarters quarters of the groups open is
    // estimated against every group.
    buffer<uint32_t> half_rows;
    buffer<float> half_row_err;
    float half_err_max = 0.0f;
    bool half = false;
    int every_quarters = 3;
    // Points: squared norms and norms rounded up, labels, upper bounds, the
    // global lower bound; with t > 1 groups also n x t group lower bounds and
    // the epoch they hold for (with one group, the global bound is its bound).
    buffer<float> x_norm, x_len, ub, glb, lb_store;
    buffer<int32_t> stamp;
    float *lb;
    int32_t *y;
    // Epochs so far; per group the summed largest drifts up to each of the
    // last kHistory epochs (double, ring) and, for each age a, what a bound
    // stamped a epochs ago must lose (rounded up).
    int epoch = 0;
    std::vector<double> drift_sum;
    std::vector<float> loss;  // kHistory x t
    float widest_drift = 0.0f;
    // Changed points, chunk c's at its first point: index and former label.
    buffer<int32_t> changed, changed_from;
    int n_chunks;
    std::vector<int32_t> chunk_changed, chunk_survivors, chunk_rescored;
    int64_t rescored = 0;  // points decided in double, over the run
    // One group: the points packed for whole-chunk products, each block of
    // kAssignRows points (from its chunk's first) as pack_points lays them
    // out, at the block's first point times d8; and the share of points the
    // last assignment let through.
    buffer<float> dense_points;
    double passed_share = 1.0;
    std::vector<int64_t> chunk_products;
    // Double sums (k x d8), weights (k) and members per column block
    // (n_col_blocks x k); the center update's units: a center's columns in
    // blocks of col_block_width. The last assignment's changes listed per
    // center (listed[list_start[c] .. list_start[c + 1]), p for a point
    // gained, ~p for one lost) and where each thread's share of them starts
    // (team rows of run_stride(k)).
    buffer<double> sums;  // cache-line aligned: a center's column block is whole lines
    std::vector<double> weight_sum;
    std::vector<int64_t> members;
    int n_col_blocks, col_block_width;
    std::vector<int32_t> listed;
    std::vector<int64_t> list_start, run_at;
    std::vector<double> shift;  // k
    std::vector<scratch> work;  // one per thread of the team
};

// A row of run_at: k counts padded to whole cache lines, so that the team's
// threads never count into one line.
inline int run_stride(int k) { return round_up8(k); }

// X's value x in column j as the loop sees it: the difference from the
// column mean taken in double, scaled by a power of two, rounded once to
// float, as the centred copy of other inputs is made; the vector form rounds
// alike, lane by lane. x_mean 0 and x_scale 1 leave x as it is.
inline float seen1(const run_state &r, float x, int j) {
    if (!r.centred) return x;
    return float((double(x) - r.x_mean[j]) * r.x_scale);
}

// Columns o .. o + 7 of a row of X (loaded in v) as the loop sees them.
inline __m256 seen8(const run_state &r, __m256 v, int o) {
    if (!r.centred) return v;
    const __m256d scale = _mm256_set1_pd(r.x_scale);
    const __m256d lo = _mm256_mul_pd(
        _mm256_sub_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(v)), _mm256_loadu_pd(&r.x_mean[o])), scale);
    const __m256d hi = _mm256_mul_pd(
        _mm256_sub_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)), _mm256_loadu_pd(&r.x_mean[o + 4])),
        scale);
    return _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo));
}

// sq_gap for point p of X as the loop sees it.
inline double point_gap(const run_state &r, int64_t p, const float *c) {
    return seen_gap(r.X + at(p, r.d), c, r.d, [&](__m256 v, int o) { return seen8(r, v, o); });
}

// Point p's weight: float64 weights with float64 input, when given.
inline double weight_of(const run_state &r, int64_t p) {
    return r.weights64 ? r.weights64[p] : r.weights ? double(r.weights[p]) : 1.0;
}

// Column j of float64 row p as the decisions see it.
inline double seen64(const run_state &r, int64_t p, int j) {
    return (r.X64[at(p, r.d) + j] - r.v_mean[j]) * r.v_scale;
}

// |v - c|^2 in double for float64 row p and double center c.
inline double gap64(const run_state &r, int64_t p, int c) {
    const double *row = &r.cen64[at(c, r.d8)];
    double s = 0.0;
    for (int j = 0; j < r.d; ++j) {
        const double g = seen64(r, p, j) - row[j];
        s += g * g;
    }
    return s;
}

// |x - c|^2 for sparse row p in double, as scikit-learn sums it: (x_j -
// c_j)^2 over the nonzeros, plus |c|^2 (c_sq) less c_j^2
// over the nonzeros. A point on its center gives 0 exactly: the two sums of
// c_j^2 add the same terms in the same order.
inline double sparse_gap(const sparse_rows &sp, int64_t p, const float *c, double c_sq) {
    double near = 0.0, cover = 0.0;
    for (int64_t i = sp.indptr[p]; i < sp.indptr[p + 1]; ++i) {
        const double cj = double(c[sp.indices[i]]), g = double(sp.values[i]) - cj;
        near += g * g;
        cover += cj * cj;
    }
    return std::max(near + (c_sq - cover), 0.0);
}

// Squared distance of point p to center c as the results report it: the
// float64 row and center with float64 input, sparse_gap for sparse rows,
// else point_gap.
inline double result_gap(const run_state &r, int64_t p, int c) {
    if (r.X64) return gap64(r, p, c);
    if (r.sp.indptr) return sparse_gap(r.sp, p, &r.cen[at(c, r.d8)], r.c_sq[c]);
    return point_gap(r, p, &r.cen[at(c, r.d8)]);
}

struct counters {
    int64_t products = 0, survivors = 0, changed = 0;
};

// X read in place as (x - mean) * scale (mean: d floats, or null for 0,
// with scale 1). False when memory is short.
bool set_centring(run_state &r, const double *mean, double scale);

// Decisions for float64 rows X (n x d) read as (x - mean) * scale (mean
// null: 0), with float64 weights (nullable); X of the state must be their
// float copy.
void set_float64(run_state &r, const double *X, const double *mean, double scale,
                 const double *weights);

// The double centers (k x d) the decisions take, as they are.
void load_centers64(run_state &r, const double *centers);

// With n, d, d8, k, X, weights, y, team and the centring set: the centers
// (k x d, dense) taken, groups formed from them, every array allocated, the norms
// taken and no point labelled. False when memory is short.
bool start(run_state &r, const float *centers);

// Chunk ch's points packed into dense_points (one group, dense rows).
void pack_dense_points(run_state &r, int ch);

// Points of positive weight off their center (the one their label names),
// the `count` farthest with their squared distances (sq_gap), farthest
// first, ties to the lower point: the rows that refill emptied centers.
std::vector<std::pair<double, int32_t>> farthest_points(const run_state &r, int count);

// One assignment of every point: all products (full), or the bounds first.
// Points whose label changed are listed per chunk in changed/changed_from.
counters assign_all(run_state &r, bool full);

// The centers moved to new positions (k x d, dense), as the center update
// moves them: drifts, norms, groups and the bounds' losses follow.
void load_centers(run_state &r, const float *centers);

// Weighted sum over the points of |x - c_label|^2 for centers of leading
// dimension ldc, float differences summed in double in point order.
double inertia(const run_state &r, const float *centers, int ldc);

// The same for the loop's own centers, by result_gap.
double own_inertia(const run_state &r);

// With float64 input: point p's label taken again in double over all k
// centers (the first minimum, as scikit-learn's argmin), and its bounds set
// from those distances; d2 has k entries of scratch.
void rescore(run_state &r, int64_t p, double *d2);

// The team's working arrays, taken for a run of assignments and given back.
bool take_scratch(run_state &r);
void drop_scratch(run_state &r);

}  // namespace tavrine::drift

#endif
