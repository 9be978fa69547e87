/* SPDX-License-Identifier: BSD-3-Clause
 *
 * The whole C contract of the tavrine numeric core: every exported function,
 * with C linkage, and the records they share. Matrices are row-major float32;
 * "padded" matrices have rows of d8 = round_up(d, 8) floats, pad columns 0.0,
 * and 32-byte-aligned storage. Element offsets are formed in 64-bit
 * arithmetic; sizes are 32-bit signed integers. Usable from C and C++.
 */
#ifndef TAVRINE_H
#define TAVRINE_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#define TAVRINE_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Records and constants -------------------------------------------- */

/** Working state of one clustering run; every array 32-byte aligned. */
typedef struct fast_var {
    float *D_CC;         /**< k8 x k8: squared center-to-center distances */
    float *COS_OCiCj;    /**< k8 x k8: cos of angle origin-c_i-c_j */
    float *SIN_OCiCj;    /**< k8 x k8: sin of the same angle */
    float *COS_OCX;      /**< n: cos of angle origin-c_a-x at the point's center */
    float *SIN_OCX;      /**< n: sin of the same angle */
    float *r2;           /**< n: squared distance of a point to its center */
    float *D_NC;         /**< n x k8: -2 x.c for computed entries */
    int32_t *mask;       /**< n x k8: candidate lists, each ended by a run of -1 */
    int32_t *mask_count; /**< n: candidates per point */
} fast_var;

/** Microsecond wall-clock totals of one run (the caller's `time` array). */
typedef struct run_stats {
    int64_t assign_time;  /**< full and pruned assignments */
    int64_t center_time;  /**< center updates */
    int64_t refresh_time; /**< bound refreshes */
    int64_t total_time;   /**< the whole driver call */
} run_stats;

/** A split of [0, total) into n_chunks chunks of chunk_size (last shorter). */
typedef struct chunk_par {
    int chunk_size;
    int n_chunks;
} chunk_par;

/** Number of per-thread accumulation slices zeroed, filled and merged. */
#define TAVRINE_N_SLICES 20
/** Length of the caller's per-iteration count array. */
#define TAVRINE_MAX_ITER 150
/** Result of zozid/update_chunk_omp when an allocation failed. */
#define TAVRINE_ERR_NOMEM (-1)
/** Argument outside a function's documented domain; nothing is written. */
#define TAVRINE_ERR_ARGS (-2)

/* ======================================================================
 * The loop's contract: the driver, the loop and the steps it runs, in the
 * order one run calls them. Sizes: n points, d columns, k centers; d8, k8
 * rounded up to multiples of 8. Step times are wall-clock microseconds.
 * ====================================================================== */

/** Clusters the n rows of X (n x d, dense) from the k initial centers Cen
 *  (k x d, dense), neither modified: pads both, runs update_chunk_omp with
 *  its fixed tolerance (1e-6 on the summed squared shifts) and cap (150
 *  iterations), frees everything. Writes every label to y (n), the work of
 *  each iteration to count (150 entries; see update_chunk_omp) and the four
 *  run_stats times to time. tol, max_iter and verbose are not read; n_threads
 *  does not size anything (the slices are TAVRINE_N_SLICES). Returns the
 *  iteration in which the run stopped (2..150; 151 at the cap), or
 *  TAVRINE_ERR_NOMEM before any write when memory is short. */
TAVRINE_API int zozid(int n, int d, int k, const float *X, const float *Cen, int32_t *y,
                      float tol, int64_t *count, int64_t *time, int max_iter, int verbose,
                      int n_threads);

/** The iteration loop on padded X (n x d8) with squared norms x_norm, from
 *  the padded centers cen (k8 x d8) and their norms c_norm: one full
 *  assignment, then pruned ones, each followed by update_cen, an exchange
 *  of cen and new_cen, and update_fv; stops when the labels repeat, when the
 *  summed squared shifts of the k centers fall to 1e-6, or at the cap, the
 *  last two after relabelling against the last centers. Writes y, count[i]
 *  (iteration i + 1's point-center products plus k8 x k8 center-pair
 *  products; (n + k8) x k8 for the first) and stats' first three times;
 *  uses every other array as working space. Returns as zozid does. */
TAVRINE_API int update_chunk_omp(int n, int d8, int k8, int k, const float *X,
                                 const float *x_norm, float *cen, float *c_norm, fast_var *fv,
                                 int32_t *y, int64_t *count, float *cen_cnt, float *thread_cnt,
                                 float *new_cen, float *thread_sum, float *shift,
                                 run_stats *stats);

/** Takes the nine arrays of fv (k8 x k8, n, n x k8 as documented on the
 *  record); returns false, holding nothing, when memory is short. */
TAVRINE_API bool init_fast_var(fast_var *fv, int n, int d8, int k8);
/** Frees the nine arrays of fv. */
TAVRINE_API void free_fast_var(fast_var *fv);

/** Full assignment: D_NC = -2 X cen^T (n x k8), then y[i] = the first
 *  minimum of D_NC[i][c] + c_norm[c] over c < k. With accumulate, adds each
 *  point (count 1, its d8 floats) into the calling OpenMP thread's slice of
 *  thread_cnt (k8 per slice) and thread_sum (k8 x d8 per slice). Leaves
 *  OpenBLAS on 20 threads. Returns its time. */
TAVRINE_API int64_t update_y_omp(int n, int d8, int k8, int k, const float *X, const float *cen,
                                 const float *c_norm, bool accumulate, fast_var *fv, int32_t *y,
                                 float *thread_cnt, float *thread_sum);

/** Pruned assignment: candidate lists from the angle bound of fv (written
 *  to fv->mask and fv->mask_count, read with the old labels y), the listed
 *  products -2 x.c into D_NC, and y[i] = the first minimum over the list;
 *  accumulation as update_y_omp. Returns its time. */
TAVRINE_API int64_t update_mdy(int n, int d8, int k8, int k, const float *X, const float *cen,
                               const float *c_norm, bool accumulate, fast_var *fv, int32_t *y,
                               float *thread_cnt, float *thread_sum);

/** Center update: merges the TAVRINE_N_SLICES slices in order into cen_cnt
 *  (k8) and new_cen (k8 x d8), divides each sum by its count (an empty
 *  center becomes NaN), and writes shift[c] = |new_cen_c - cen_c|^2. Runs
 *  a team of TAVRINE_N_SLICES threads. Returns its time. */
TAVRINE_API int64_t update_cen(int k8, int d8, float *cen_cnt, const float *thread_cnt,
                               float *new_cen, const float *thread_sum, const float *cen,
                               float *shift);

/** Refresh of the bounds for the new centers cen: c_norm, fv's center-pair
 *  arrays (D_CC, COS_OCiCj, SIN_OCiCj) and, for every point, r2, COS_OCX
 *  and SIN_OCX at its center y[i]. Leaves OpenBLAS on one thread. Returns
 *  its time. */
TAVRINE_API int64_t update_fv(int n, int d8, int k8, const float *X, const float *x_norm,
                              const float *cen, float *c_norm, const int32_t *y, fast_var *fv);

/** A padded, 32-byte-aligned copy of src (rows x cols, dense): rows of
 *  round_up(cols, 8) floats, pad columns 0.0, with pad_rows zero rows up to
 *  a multiple of 8. Free with free(); null when memory is short. */
TAVRINE_API float *align_padding(const float *src, int rows, int cols, bool pad_rows);
/** Splits [0, total) into chunks of min(total, max_chunk); returns n_chunks. */
TAVRINE_API int init_chunk_par(chunk_par *par, int total, int max_chunk);
/** Whether the first n entries of a and b are equal. */
TAVRINE_API bool arr_equal(const int32_t *a, const int32_t *b, int n);
/** Exchanges *a and *b. */
TAVRINE_API void swap_pointers(float **a, float **b);

/* ======================================================================
 * The estimator's path: a run with the caller's settings, seeding, and row
 * blocks spread over several processes.
 * ====================================================================== */

/** How a run stopped, as its last progress report says: no label changed
 *  (and no empty center was refilled), the shifts fell to tol, the cap. */
enum { TAVRINE_STOP_LABELS = 1, TAVRINE_STOP_SHIFT = 2, TAVRINE_STOP_CAP = 3 };

/** Progress report after each iteration's center update: its number, its
 *  point-center products, the summed squared shifts of all k centers, the
 *  weighted inertia of its labels against the centers they were taken from
 *  (NaN unless asked for), and 0 or the TAVRINE_STOP_* reason the run ends. */
typedef void (*tavrine_progress)(void *user, int iteration, int64_t products, double shift,
                                 double inertia, int stop);

/** Float64 input of tavrine_fit: the rows X (n x d, C order), read as
 *  v = (x - mean) * scale in double, and the initial centers (k x d) in those
 *  units. tavrine_fit's X is then the rows float(v), Cen is ignored, and every
 *  label is the first minimum over all k of the double |v - c|^2 (the float
 *  scores decide only where they provably agree), the centers are double
 *  means of v, and the inertia and shifts are taken in double. Receives the
 *  final centers (k x d, nullable) and the count of point assignments the
 *  float scores left to double. weights (n, nullable): float64 weights, in
 *  place of tavrine_fit's. */
typedef struct {
    const double *X;
    const double *mean;
    double scale;
    const double *centers;
    double *centers_out;
    int64_t rescored;
    const double *weights;
} tavrine_f64;

/** The estimator's Lloyd run, pruned by group drift bounds (estimator/fit.cpp).
 *  Reads X (n x d, dense), optional weights (n, non-negative; null = all 1)
 *  and the initial centers Cen (k x d). Each label is the first minimum over
 *  all k centers of -2 x.c + |c|^2 as tavrine_assign scores it. After each
 *  assignment a center without weighted members takes, for that update, the
 *  weighted row of the farthest point from its own center (the farthest to
 *  the lowest-numbered empty center, ties to the lower point; only points of
 *  positive weight and distance), which leaves its old center's sums: its
 *  label is taken again by the next assignment. Writes the labels
 *  y (n), the final centers (k x d, nullable) with y their labels, the
 *  weighted inertia (nullable), and per iteration i the point-center products
 *  count[i] and the points that passed the global filter points[i] (both
 *  max_iter entries); time (4): microseconds of assignment, center update,
 *  setup, whole call. Stops when no label changes and no center was refilled,
 *  when the summed squared center shifts are <= tol, or after max_iter.
 *  n_threads <= 0 takes the runtime's count; the results do not depend on it.
 *  With inertia_each, each progress report carries its inertia (one more
 *  pass over X per iteration). Returns the iterations run, max_iter + 1 when
 *  it stopped at the cap, TAVRINE_ERR_NOMEM or TAVRINE_ERR_ARGS. Calls back
 *  only through `progress`, from the calling thread. With mean (d values,
 *  nullable) X is read in place and clustered as the rows float((x - mean)
 *  * scale), taken in double as tavrine_centre_f32 writes them; Cen,
 *  centers_out and inertia are in those units. f64 (nullable): float64
 *  input, above. */
TAVRINE_API int tavrine_fit(int n, int d, int k, const float *X, const double *mean,
                            double scale, const float *weights,
                            const float *Cen, int32_t *y, float *centers_out, double *inertia,
                            int64_t *count, int64_t *points, int64_t *time, int max_iter,
                            float tol, int n_threads, tavrine_progress progress, void *user,
                            int inertia_each, tavrine_f64 *f64);

/** Labels the n rows of X (n x d, dense) by the centers (k x d, dense): the
 *  first minimum of -2 x.c + |c|^2 over all k, the scores of tavrine_fit.
 *  Writes labels (n); min_dist (n, nullable) the float64-summed
 *  |x - c_label|^2; all_dist (n x k, nullable) max(|x|^2 + score, 0) from the
 *  same products. Returns 0, TAVRINE_ERR_NOMEM or TAVRINE_ERR_ARGS. */
TAVRINE_API int tavrine_assign(int n, int d, int k, const float *X, const float *centers,
                               int32_t *labels, float *min_dist, float *all_dist, int n_threads);

/** tavrine_fit on sparse rows: row p of X is CSR, its columns
 *  indices[indptr[p] .. indptr[p + 1]) strictly increasing in [0, d), its
 *  values float32 as they are clustered (scaled by the caller, never
 *  centred); indptr has n + 1 entries from 0. Centers stay dense (k x d);
 *  the labels are those of tavrine_assign_sparse, the inertia float64 as
 *  scikit-learn sums a sparse row's distance. Returns as tavrine_fit. */
TAVRINE_API int tavrine_fit_sparse(int n, int d, int k, const int64_t *indptr,
                                   const int32_t *indices, const float *values,
                                   const float *weights, const float *Cen, int32_t *y,
                                   float *centers_out, double *inertia, int64_t *count,
                                   int64_t *points, int64_t *time, int max_iter, float tol,
                                   int n_threads, tavrine_progress progress, void *user,
                                   int inertia_each);

/** tavrine_assign on sparse rows (as tavrine_fit_sparse takes them): each
 *  label the first minimum of -2 x.c + |c|^2, x.c one fused multiply-add
 *  chain over the row's nonzeros, |c|^2 summed in double and rounded once;
 *  min_dist the float64 |x - c_label|^2, all_dist max(|x|^2 + score, 0). */
TAVRINE_API int tavrine_assign_sparse(int n, int d, int k, const int64_t *indptr,
                                      const int32_t *indices, const float *values,
                                      const float *centers, int32_t *labels, float *min_dist,
                                      float *all_dist, int n_threads);

/** Test switch of tavrine_fit: level 1 checks every assignment against a
 *  full scan and every bound against float64 distances, level 2 also drops
 *  the drifts (a fault the check must find), 0 turns checking off. Returns
 *  the faults found since the previous call. */
TAVRINE_API int64_t tavrine_drift_check(int level);

/** Lanes of the point-center product and nearest-center scan kernels: 16
 *  (AVX-512) where the processor has it, else 8 (AVX2), chosen when the
 *  library loads; both give bit-identical results. request 8 forces AVX2, 16 takes AVX-512 if
 *  available, anything else only asks. Returns the width now in use. Not to
 *  be changed while a call of the core runs. */
TAVRINE_API int tavrine_simd_width(int request);

/** Whether the estimator's bfloat16 estimates take their sums from AMX tile
 *  products (where the processor has AMX-BF16): request 1 turns them on
 *  where available, 0 off, anything else only asks. Labels are the same
 *  either way. Returns 1 if they are in use. Not to be changed while a call
 *  of the core runs. */
TAVRINE_API int tavrine_tile_products(int request);

/** The float32 copy the estimator's calls run on, in two steps. X holds n
 *  rows of d float32 or float64 values, row i at X + i * ld (ld >= d).
 *  With find_mean, mean (d) is set to X's float64 column means and spread
 *  (nullable) to the largest |double(x) - mean[j]| over every value x of
 *  every column j; otherwise mean is read. With out, out (n x d, dense)
 *  then gets float(scale * (double(x) - mean[j])), rounded to nearest, and
 *  variance (nullable, only with out) the mean over the d columns of
 *  sum_i (scale * (x_ij - mean_j))^2 / n. A caller that needs the spread to
 *  choose the scale (a power of two, exact) calls once with find_mean and
 *  no out, then with the mean it got and out. Sums run over fixed blocks of
 *  rows added in block order, so nothing depends on n_threads (<= 0: the
 *  runtime's count). Returns 0 when every mean, the spread and every value
 *  of out are finite; 1 when some is not, which a NaN or infinity in X, a
 *  float64 sum or difference that overflows, or a scaled difference beyond
 *  float32's range causes (out is then not written if the mean or spread
 *  was not finite); TAVRINE_ERR_ARGS (n < 1, d < 1, ld < d, or scale not
 *  finite and > 0) or TAVRINE_ERR_NOMEM. With variance and no out, the
 *  second pass finds the variance and the finiteness without writing. */
TAVRINE_API int tavrine_centre_f32(int n, int d, const float *X, int64_t ld, double *mean,
                                   int find_mean, double *spread, double scale, float *out,
                                   double *variance, int n_threads);
TAVRINE_API int tavrine_centre_f64(int n, int d, const double *X, int64_t ld, double *mean,
                                   int find_mean, double *spread, double scale, float *out,
                                   double *variance, int n_threads);

/* ---- Seeding --------------------------------------------------------- */

/** Greedy k-means++ seeding among the n rows of X (dense n x d, row-major):
 *  each new center is the best, by resulting potential, of n_local_trials
 *  rows drawn with probability proportional to their squared distance to the
 *  nearest chosen center (n_local_trials <= 0: 2 + floor(ln k)). With
 *  weights (n of them, finite, >= 0, not all 0; null means all 1) the first
 *  row is drawn with probability proportional to its weight, the later ones
 *  to weight x squared distance, and potentials are weighted sums. Writes
 *  the chosen rows to centers_out (k x d) and their row numbers to
 *  indices_out. A row with zero weight or at distance 0 from a chosen center
 *  is never drawn; once no other row is left, the lowest row not yet chosen
 *  is taken, rows of positive weight first. Draws from xoshiro256** seeded
 *  by splitmix64(seed); the result depends on the seed only, not on the
 *  thread count. Runs on at most n_threads threads (<= 0: the OpenMP
 *  runtime's count). Needs d >= 1, 1 <= k <= n and n_local_trials < 2^31 - 8.
 *  Returns 0, TAVRINE_ERR_NOMEM or TAVRINE_ERR_ARGS. */
TAVRINE_API int tavrine_kmeanspp(int n, int d, int k, const float *X, const float *weights,
                                 int n_local_trials, uint64_t seed, float *centers_out,
                                 int32_t *indices_out, int n_threads);

/** k distinct rows of X (dense n x d) chosen uniformly at random, in the
 *  order drawn, from the same generator. Needs d >= 1 and 1 <= k <= n.
 *  Returns 0, TAVRINE_ERR_NOMEM or TAVRINE_ERR_ARGS. */
TAVRINE_API int tavrine_random_init(int n, int d, int k, const float *X, uint64_t seed,
                                    float *centers_out, int32_t *indices_out);

/* ---- Row blocks on several processes ------------------------------- */

/** One block of rows of a fit spread over several processes: its labels and
 *  the drift-bound loop's state (bounds, the centers last seen), kept between
 *  iterations by the process that holds the rows; every call on a block takes
 *  the same rows. */
typedef struct tavrine_block tavrine_block;

/** A block of n >= 1 rows with no labels yet; null when memory is short. */
TAVRINE_API tavrine_block *tavrine_block_new(int n);
TAVRINE_API void tavrine_block_free(tavrine_block *b);
/** The block's n labels, -1 before its first assignment. */
TAVRINE_API const int32_t *tavrine_block_labels(const tavrine_block *b);

/** Assigns the block's rows X (n x d, dense; weights n or null) to their
 *  nearest centers (k x d, dense) on at most n_threads threads (<= 0: the
 *  OpenMP runtime's count): every product for a block without state, when
 *  d or k changed, or when `full` is set; otherwise only where the bounds,
 *  loosened by each center's move since the last call, leave a doubt. Writes
 *  each center's weighted member sums (k x d) and weights (k) in double,
 *  each center's members added in point order; a 64-bit digest of the new
 *  labels; the point-center products computed. Each pointer may be null.
 *  With f64 (its X the rows in float64, n x d, X their float copy; its
 *  centers, k x d, `centers` their float copy; its weights, nullable, in
 *  place of `weights`; mean and scale unused: the rows are taken as they
 *  are) the labels are those of the float64 rows and centers, as
 *  tavrine_fit takes them, and the sums theirs; a block changing between
 *  float and float64 starts afresh. Returns 0,
 *  TAVRINE_ERR_NOMEM (the block then has no labels) or TAVRINE_ERR_ARGS. */
TAVRINE_API int tavrine_block_assign(tavrine_block *b, int d, int k, const float *X,
                                     const float *weights, const float *centers, int full,
                                     int n_threads, double *sums, double *counts,
                                     uint64_t *digest, int64_t *products,
                                     const tavrine_f64 *f64);
/** Weighted sum over the block's rows of |x - c_label|^2 for centers (k x d,
 *  dense), float differences summed in double; with f64 (as its last
 *  assignment took it) from its rows, centers and weights. Returns 0, or
 *  TAVRINE_ERR_ARGS for a block without labels or not of that kind. */
TAVRINE_API int tavrine_block_inertia(tavrine_block *b, const float *X, const float *weights,
                                      const float *centers, int n_threads, double *inertia,
                                      const tavrine_f64 *f64);
/** The block's rows (X, n x d; weights n or null) farthest from the centers
 *  they were assigned to in the block's last assignment: squared distances
 *  (float differences summed in double) to out_dist and row indices to
 *  out_index, at most `count` of them, farthest first, ties by lower row.
 *  Only rows of positive weight at a positive distance count. Returns how
 *  many were written, TAVRINE_ERR_NOMEM, or TAVRINE_ERR_ARGS for a block
 *  without labels or of another d. A block assigned with f64 takes it
 *  again here (rows and weights) and measures in double. */
TAVRINE_API int tavrine_block_farthest(const tavrine_block *b, int d, const float *X,
                                       const float *weights, int count, double *out_dist,
                                       int32_t *out_index, const tavrine_f64 *f64);

/* ======================================================================
 * Standalone exported kernels: the pieces of the steps above, and dense
 * products, callable on their own. Nothing in the package calls them
 * except through the steps. Each line says what the function computes and
 * what it assumes of its arguments.
 * ====================================================================== */

/* ---- Storage ---------------------------------------------------------- */

/// 32-byte-aligned room for count 4-byte values (count >= 0); free with free(); null when short.
TAVRINE_API void *malloc_align(int count);
/// Whether p lies on a 32-byte boundary.
TAVRINE_API bool aligned(const void *p);
/// free(p): for the results of malloc_align and align_padding; null is allowed.
TAVRINE_API void free_array(void *p);
/// Prints A (rows x cols, dense) to stdout up to max_rows x max_cols, a line per row.
TAVRINE_API void print_arr(const float *A, int rows, int cols, int max_rows, int max_cols);
/// print_arr for float64 values.
TAVRINE_API void print_arr_double(const double *A, int rows, int cols, int max_rows, int max_cols);
/// print_arr for int32 values.
TAVRINE_API void print_arr_int(const int32_t *A, int rows, int cols, int max_rows, int max_cols);
/// Has no effect: kept only so that programs linking it still link.
TAVRINE_API void transpose_8x8_avx(void);

/* ---- Assignment: label scans, candidate lists, masked products -------- */

/// labels[i] = first min over c < k of dist[i][c] + c_norm[c]; accumulate adds point i in.
TAVRINE_API void compute_y(const float *dist, const float *c_norm, int rows, int ld_dist, int k,
                           int32_t *labels, bool accumulate, float *counts, int d8,
                           const float *points, float *sums);
/// Candidate lists and counts of rows points from the angle bound at their labels; ld_mask >= k.
TAVRINE_API void compute_mask(const float *COS_OCiCj, const float *SIN_OCiCj, int ld_cc,
                              const float *COS_OCX, const float *SIN_OCX, int rows,
                              const float *D_CC, int ld_dcc, const float *r2,
                              const int32_t *labels, int32_t *mask, int ld_mask, int k,
                              int32_t *counts);
/// compute_y over each row's list (its first entry a center; ends at one outside 0 .. k-1).
TAVRINE_API void compute_y_mask(const int32_t *mask, const float *dist, const float *c_norm,
                                int rows, int ld, int k, int32_t *labels, bool accumulate,
                                float *counts, int d8, const float *points, float *sums);
/// Lists every center: each of the rows rows of mask (n wide) holds 0 .. n-1.
TAVRINE_API void mask_full(int32_t *mask, int rows, int n);
/// C[i][c] = alpha A_i.B_c + beta C[i][c] for each listed c; N, K multiples of 8 (else a notice).
TAVRINE_API void gemm_mul_p_mask(int M, int N, int K, const float *A, int lda, const float *B,
                                 float alpha, float beta, int ldb, float *C, int ldc,
                                 const int32_t *mask, int ld_mask, const int32_t *counts);
/// gemm_mul_p_mask's update for one group of eight list positions of row `row` at pos.
TAVRINE_API void kernel_ori_mask(const float *a_row, int lda, const float *B, int ldb,
                                 float *c_row, int ldc, float alpha, float beta, int K,
                                 const int32_t *group, int row, int pos, const int32_t *counts);
/// That update for all eight entries of group, unchecked: each must be a valid row of B.
TAVRINE_API void kernel_ori_mask_8(const float *a_row, int lda, const float *B, int ldb,
                                   float *c_row, int ldc, float alpha, float beta, int K,
                                   const int32_t *group, int row, int pos,
                                   const int32_t *counts);
/// That update for the entries of group before its first negative one (at most eight).
TAVRINE_API void kernel_ori_mask_le8(const float *a_row, int lda, const float *B, int ldb,
                                     float *c_row, int ldc, float alpha, float beta, int K,
                                     const int32_t *group, int row, int pos,
                                     const int32_t *counts);
/// gemm_mul_p_mask's update for n_rows rows from first_row, n_pos positions from first_pos.
TAVRINE_API void matmul_kernel(const float *A, int lda, const float *B, int ldb, float *C,
                               int ldc, float alpha, float beta, const int32_t *mask,
                               int ld_mask, const int32_t *counts, int n_rows, int n_pos, int K,
                               int first_row, int first_pos);

/* ---- Refresh: center pairs and points ---------------------------------- */

/// Cos, sin at c_i towards each c_j for n_rows rows; dcc squared distances, n_cols % 8 == 0.
TAVRINE_API void compute_COS_OCiCj_part(const float *c_norm, int first_row, int n_rows,
                                        int n_cols, const float *dcc, int ld_dcc,
                                        float *cos_out, float *sin_out, int ld_out);
/// From dcc = -2 c_i.c_j: c_norm, then refine_D_CC, then every cos and sin; n_cols % 8 == 0.
TAVRINE_API void compute_COS_OCiCj(float *c_norm, int n_cols, float *dcc, int ld_dcc,
                                   float *cos_out, float *sin_out, int ld_out);
/// c_norm from dcc's diagonal unless norms_given == 1, then refine_D_CC; n_cols % 8 == 0.
TAVRINE_API void compute_c_norm_DCC(float *c_norm, int n_cols, float *dcc, int ld_dcc,
                                    int norms_given);
/// dcc = -2 c_i.c_j becomes (c_norm_j + c_norm_i) + dcc, diagonal 0; n_cols % 8 == 0.
TAVRINE_API void refine_D_CC(float *dcc, int ld_dcc, const float *c_norm, int n_cols);
/// r2_out[p] = |x_p - cen[y_p]|^2 over d8 floats (a multiple of 8) for n_rows points.
TAVRINE_API void compute_r2(const float *x_rows, int n_rows, int d8, const float *cen,
                            const int32_t *y_rows, float *r2_out);
/// Cos and sin at each point's center between the origin and the point; k8 is not read.
TAVRINE_API void compute_COS_OCX(const float *c_norm, int k8, const float *r2,
                                 const int32_t *y_rows, const float *x_norm, float *cos_out,
                                 float *sin_out, int n_rows);
/// compute_r2 over all n points, 256-row chunks shared out over an OpenMP team.
TAVRINE_API void compute_r2_omp(int n, int d8, const float *X, const float *cen,
                                const int32_t *y, float *r2_out);
/// Copies vec (row_len floats, a multiple of 8) into every one of the n_rows rows of out.
TAVRINE_API void D_NC_initial(float *out, int n_rows, int row_len, const float *vec);

/* ---- Center update: merging and accumulation ---------------------------- */

/// out = lhs + rhs over len floats; all three 32-byte aligned, out may alias either input.
TAVRINE_API void array_add_m256(const float *lhs, const float *rhs, float *out, int len);
/// shift[r] = |new_cen_r - cen_r|^2 over d8 floats; rows in fours (n_rows % 4 == 0), aligned.
TAVRINE_API void my_center_shift(const float *cen, const float *new_cen, int n_rows, int d8,
                                 float *shift);
/// dst += src over len floats; both 32-byte aligned, len a multiple of 8.
TAVRINE_API void merge_wc(float *dst, const float *src, int len);
/// dst += src over n_rows rows of row_len floats; both multiples of 8, both arrays aligned.
TAVRINE_API void merge_centers(float *dst, const float *src, int n_rows, int row_len);
/// dst[i] += src[i] for i < len, each addition atomic: safe beside concurrent callers.
TAVRINE_API void atomic_add_array(float *dst, const float *src, int len);
/// Scales each of n_rows rows (row_len floats) by 1 / counts[r]; a zero count gives inf or NaN.
TAVRINE_API void average_centers(float *centers, const float *counts, int n_rows, int row_len);
/// Splits [0, len) into at most n_seg runs of about equal weight; returns the runs written.
TAVRINE_API int seg_arr(const int32_t *weights, int len, int n_seg, int32_t *seg_start,
                        int32_t *seg_end, double *seg_sum);

/* ---- Dense products (alpha always last) ------------------------------- */

/// out[s] = alpha a_row.b_s for eight rows of b over 8 floor(k / 8) floats; lda, ldc not read.
TAVRINE_API void kernel_ori(const float *a_row, int lda, const float *b_rows, int ldb,
                            float *out, int ldc, int k, float alpha);
/// c[i..i+7][j..j+7] = alpha a_r.b_s, as kernel_ori row by row.
TAVRINE_API void micro_kernel(int i, int j, int k, const float *a, int lda, const float *b,
                              int ldb, float *c, int ldc, float alpha);
/// c = alpha a b^T for every whole group of eight columns of n, as kernel_ori.
TAVRINE_API void macro_kernel(int m, int n, int k, const float *a, int lda, const float *b,
                              int ldb, float *c, int ldc, float alpha);
/// macro_kernel's sums; a notice when n or k is not a multiple of 8 or a, b unaligned.
TAVRINE_API void gemm(int m, int n, int k, const float *a, int lda, const float *b, int ldb,
                      float *c, int ldc, float alpha);
/// gemm with k in panels of 512, each later panel's alpha-scaled sums added to c.
TAVRINE_API void gemm_mul_p(int m, int n, int k, const float *a, int lda, const float *b,
                            int ldb, float *c, int ldc, float alpha);
/// c = -2 a b^T (m x n, dense rows of k floats, any k); mask is not read.
TAVRINE_API void masked_gemm_hybrid(const float *a, const float *b, const void *mask, int m,
                                    int k, int n, float *c);
/// c[i][j] = alpha a_i.b_j by one BLAS dot product each (dense m x k and n x k; any n).
TAVRINE_API void gemm_myblas(int m, int n, int k, const float *a, const float *b, float *c,
                             float alpha);

#ifdef __cplusplus
}
#endif

#endif /* TAVRINE_H */
