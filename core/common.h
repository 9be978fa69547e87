// SPDX-License-Identifier: BSD-3-Clause
//
// Helpers shared by the core's source files: rounding to whole 8-float
// vectors, 64-bit element offsets, wall-clock spans and chunk bounds; the
// 8-lane helpers come from simd.h. Internal; not installed.
#ifndef TAVRINE_COMMON_H
#define TAVRINE_COMMON_H

#include <immintrin.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>

#include "kernels/simd.h"
#include "tavrine.h"

namespace tavrine {

constexpr int kSlices = TAVRINE_N_SLICES;

// (x + 7) with the low three bits cleared.
static inline int round_up8(int x) { return (x + 7) & ~7; }

// Cache-line-aligned (64-byte, hence 32-byte) storage for count 4-byte elements; null when it cannot be had.
void *aligned_floats(std::size_t count);

// Adds all per-thread slices into double totals (k8 counts, k8 x d8 sums),
// slice 0 first.
void merge_slices_wide(int k8, int d8, const float *thread_cnt, const float *thread_sum,
                       double *total_cnt, double *total_sum);

// Copies rows x cols floats from src (dense) into out (32-byte aligned, rows
// of round_up8(cols)), the pad columns 0.0.
void pad_into(const float *src, int rows, int cols, float *out);

// out[i] = |row i|^2 over d8 floats, by the BLAS dot product.
void squared_norms(const float *rows, int n_rows, int d8, float *out);

// ---- Thread policy (threads.cpp) ----

// GNU libgomp's thread pool does not survive fork: a child of a process that
// has run parallel regions hangs in its first region of more than one thread.
// team_cap runs every region of such a child on one thread, and notes when a
// region of several threads is about to start.
int team_cap(int threads);

// Threads for a region of `limit` independent pieces of work: the OpenMP
// runtime's count, at most one per piece, at least one, through team_cap.
int team_size(int limit);

// Threads of an estimator run: the caller's count (<= 0: the runtime's), at
// most one per `per_thread` multiply-adds of a full iteration (`work`; at
// least kWorkPerThread once a team larger than the processor count has run),
// so small problems run without parallel regions; through team_cap.
constexpr int64_t kWorkPerThread = int64_t(1) << 22;
int team_for_work(int n_threads, int64_t work, int64_t per_thread = kWorkPerThread);

// team_for_work, at most one thread per block of a region that hands out
// n_blocks blocks (the seeding's candidate sweep).
int team_for_blocks(int n_threads, int64_t work, int n_blocks);

// Threads of an assignment region over n_chunks chunks of points: never more
// than the kSlices slices that the center update merges.
int assign_team(int n_chunks);

// The center update's fixed team: one thread per slice, whatever the work,
// so every total is merged by the same static shares.
int center_team();

// Threads of the bound refresh: its team follows the center chunks only, so
// for k8 up to one chunk the point pass runs on one thread too.
int refresh_team(int center_chunks);

// OpenBLAS's thread count, where the exported steps fix it as a side effect.
void set_blas_threads(int n);

// OpenBLAS's thread count after the exported full assignment (update_y_omp):
// a documented side effect that its callers rely on, one per slice of the
// fixed path's team, whatever the machine.
constexpr int kBlasThreadsAfterFullAssign = 20;

// Runs fn(arg) on a thread of its own that starts no other kind of region,
// and returns when it has finished. libgomp ends the surplus threads of a
// pool whenever a smaller team starts from the same thread, so a caller that
// alternates small teams with the center update's fixed one would create
// that team's threads anew every time. Callers are served one at a time; in
// a forked child, or when the thread cannot start, fn runs on the caller.
void on_team_master(void (*fn)(void *), void *arg);

// Element offset row * stride, formed in 64 bits so large inputs do not wrap.
static inline std::size_t at(long long row, long long stride) {
    return static_cast<std::size_t>(row * stride);
}

static inline timeval wall_now() {
    timeval t;
    gettimeofday(&t, nullptr);
    return t;
}

static inline int64_t elapsed_us(const timeval &t0, const timeval &t1) {
    return (int64_t)(t1.tv_sec - t0.tv_sec) * 1000000 + (t1.tv_usec - t0.tv_usec);
}

// Bounds [lo, hi) of chunk c of a partition over [0, total).
static inline void chunk_bounds(const chunk_par &par, int c, int total, int &lo, int &hi) {
    lo = c * par.chunk_size;
    hi = lo + par.chunk_size < total ? lo + par.chunk_size : total;
}

// Static split of n_parts parts over n_threads: `thread` gets [first, last).
static inline void static_share(int n_parts, int n_threads, int thread, int &first, int &last) {
    const int q = n_parts / n_threads, r = n_parts % n_threads;
    first = thread < r ? thread * (q + 1) : thread * q + r;
    last = first + (thread < r ? q + 1 : q);
}

// Centers (k8 x d8, by rows) repacked for packed_product: panels of
// kPanelCenters centers, the last one of 8 when k8 is not a multiple of 16,
// each panel d8 rows of its centers' values. packed holds k8 x d8 floats.
constexpr int kPanelCenters = 16;
void pack_centers(const float *cen, int k8, int d8, int first_panel, int last_panel,
                  float *packed);
int center_panels(int k8);

// out[i][j] = -2 (a_i . c_j) over d8 for rows 0 .. m-1 and centers 0 .. k8-1,
// every dot product one fused multiply-add chain in column order.
void packed_product(int m, int d8, int k8, const float *a, int lda, const float *packed,
                    float *out, int ldo);

// packed_product's AVX-512 part (wide.cpp): the n_panels whole panels of 16
// centers, out's first 16 n_panels columns.
void packed_panels_16(int m, int d8, int n_panels, const float *a, int lda, const float *packed,
                      float *out, int ldo);

// Group minima of packed_panels_16's scores, none of them stored: rows
// start[0] .. start[n_groups] - 1 of a in n_groups groups (group j from row
// start[j]), against n_panels whole panels of 16 points; for group j and
// lane l, min1/min2/nearest[j ld + l] get the lowest of -2 a_r . x_l +
// norm[r - start[0]] over the group's rows, its first row (from the group's
// first) and the lowest of the others.
void group_minima_panels_16(int d8, int n_panels, const float *a, int lda,
                            const int32_t *start, int n_groups, const float *norm,
                            const float *packed, float *min1, float *min2, int32_t *nearest,
                            int ld);

// The same at 8 lanes (packed.cpp), each panel of 16 as two vectors.
void group_minima_panels_8(int d8, int n_panels, const float *a, int lda,
                           const int32_t *start, int n_groups, const float *norm,
                           const float *packed, float *min1, float *min2, int32_t *nearest,
                           int ld);

// Whether the processor has AVX-512 with bfloat16 dot products, and whether
// half_minima_panels runs here: that, with the kernels at 16 lanes.
bool half_capable();
bool half_products();

// Rows of d8 floats (m rows, stride d8) as bfloat16 pairs: out row r (stride
// ldo >= d8 / 2, zero past d8 / 2) holds word j = x~[2j] | x~[2j + 1] << 16,
// each value rounded to the nearest bfloat16 (ties to even, below float's
// normal range to zero); err[r] = |x_r - x~_r|, rounded up.
void half_rows(const float *rows, int m, int d8, uint32_t *out, int ldo, float *err);

// group_minima_panels_16 over bfloat16 pairs: rows of `pairs` words against
// panels of 16 points of `pairs` rows each, every score -2 a_r~ . x_l~ +
// norm, the products summed in float. An estimate: its distance from the
// float score is bounded by the copies' errors (scan.cpp).
void half_minima_panels(int pairs, int n_panels, const uint32_t *a, int lda,
                        const int32_t *start, int n_groups, const float *norm,
                        const uint32_t *packed, float *min1, float *min2, int32_t *nearest,
                        int ld);

// Whether half_minima_panels takes its sums from AMX tile products here, for
// rows of `pairs` words: where the processor has AMX-BF16 and pairs is a
// multiple of 16. Its rows' buffer then holds 15 rows past the last one it
// is given (read, never used).
bool tile_products(int pairs);
constexpr int kTileSlackRows = 15;

// The k-means++ sweep's test on int8 tiles (where the processor has
// AMX-INT8 besides): a point x, copied as x~ = scale q (q in [-127, 127]),
// is left unread when for every candidate c
//   norm_x + norm_c + x~.c~ (-2 folded into c's scale) - err_x len_c
//     - len_x err_c >= closest,
// which the caller's constants make a lower bound on the swept distance.
struct seed_copies {
    const float *norm, *err, *len, *scale;  // per point
};
struct seed_lanes {
    float norm[16], len[16], err[16], scale[16];  // per candidate
};
// Below this closest distance a point is always read (underflow).
constexpr float kSeedTestFloor = 0x1.0p-100f;
// Widest rows the int8 sums hold without overflow (127^2 d < 2^31).
constexpr int kSeedTileMaxDim = 1 << 17;
bool seed_tiles(int d);
// Points first .. first + m - 1, from blocks of 16 (quads rows of 16 words
// of 4 int8, point in word; whole blocks, padded) and their copies'
// constants at [0, m) of x, against the n_cand (<= 16) candidates' copies
// (16 rows of quads words, zero past n_cand): the indices of those not left
// unread go to read, in order; returns their count. The ahead blocks past
// the last are only fetched. The calling thread holds the tile shapes of
// tile_seed_begin(n_cand).
int tile_seed_test(int m, int quads, const int8_t *blocks, const int8_t *cand, int n_cand,
                   const seed_lanes &lanes, const seed_copies &x, const float *closest,
                   int first, int ahead, int32_t *read);

// The tile shapes of tile_seed_test for n_cand candidates, loaded on the
// calling thread, which then tests spans until tile_seed_end.
void tile_seed_begin(int n_cand);
void tile_seed_end();

// Points per block of the k-means++ sweep's copy of the points.
constexpr int kSeedBlock = 16;

// The k-means++ candidate sweep at 16 lanes (wide.cpp): points 0 .. m-1,
// stored in blocks of 16 (xt: d x 16 per block, point in lane, the last
// block padded), against n_cand candidates in panels of 8 (d x 8 each,
// candidate in lane): candidate l's values to mins row l (stride ld, whole
// blocks written) and added to sums[l], with the values and sums of the
// 8-lane sweep; the sums of a last panel's unused lanes stay as they were.
// closest is read in whole blocks; w: row weights, or null.
void seed_blocks_16(int m, int d, const float *xt, const float *panels, int n_cand,
                    const float *closest, const float *w, float *mins, int ld, double *sums);

// Requests for ownership of the output lines a row will write: its entries
// are scattered over the row, so the hardware prefetcher cannot guess them.
static inline void prefetch_outputs(float *c_row, const int32_t *list, int m, int width) {
    const int end = m < width ? m : width;
    for (int p = 0; p < end; ++p) __builtin_prefetch(c_row + list[p], 1);
}


// ---- Candidate lists (candidates.cpp) ----
//
// A candidate list is a mask row: the ascending indices of the centers that
// may be nearer than the point's own, then a run of up to eight -1.

// Per center l < k, the level below which (a^2 + b^2) 4 r2 of a point of
// label l leaves l its only candidate, or -1 where no level holds. Rows are
// shared out over the calling team (an orphaned work-sharing loop).
void quiet_levels(const float *COS_OCiCj, const float *SIN_OCiCj, const float *D_CC, int k8,
                  int k, float *q);

// compute_mask over a chunk of rows, also writing each row's candidate bits
// (k8 / 8 bytes per row, not written for rows with one candidate) into
// blocks; with append false only the counts and the bits, mask untouched.
// quiet (may be null) lets points deep inside their cell skip the bound.
void list_rows_bits(bool append, const float *COS_OCiCj, const float *SIN_OCiCj, int ld_cc,
                    const float *COS_OCX, const float *SIN_OCX, int rows, const float *D_CC,
                    int ld_dcc, const float *r2, const int32_t *labels, int32_t *mask,
                    int ld_mask, int k, int32_t *counts, uint8_t *blocks, const float *quiet);

// The candidate lists list_rows_bits(true, ...) would write, from a chunk's
// counts, candidate bits and old labels.
void lists_from_blocks(const uint8_t *blocks, const int32_t *labels, const int32_t *counts,
                       int rows, int k8, int32_t *mask);

// update_y_omp and update_mdy for the loop, which reads neither D_NC nor the
// candidate lists afterwards: both stay in per-thread scratch, and fv->D_NC
// and fv->mask are left alone. The same labels, counts and sums; for
// update_mdy_labels whenever every D_NC entry the exported step would
// combine with (times beta = 0) is finite.
int64_t update_y_labels(int n, int d8, int k8, int k, const float *X, const float *cen,
                        const float *c_norm, bool accumulate, fast_var *fv, int32_t *y,
                        float *thread_cnt, float *thread_sum);
int64_t update_mdy_labels(int n, int d8, int k8, int k, const float *X, const float *cen,
                          const float *c_norm, bool accumulate, fast_var *fv, int32_t *y,
                          float *thread_cnt, float *thread_sum);

}  // namespace tavrine

#endif  // TAVRINE_COMMON_H
