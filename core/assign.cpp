// SPDX-License-Identifier: BSD-3-Clause
//
// Assignment: the full assignment of the first iteration (per chunk of
// points, the dense product into D_NC, then a per-point scan) and the pruned
// assignment of later iterations (candidate lists from the angle bound; per
// chunk, masked products or, where the lists are long enough, the dense
// product; the same scan over candidates only). Each thread adds its points
// into its own slice of the per-thread counts and sums, at most
// TAVRINE_N_SLICES slices, which the center update merges in a fixed order.
// The loop's variants of both steps give the same labels but keep products
// and candidate lists in per-thread scratch. Offsets are 64-bit.
#include <omp.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstdio>

#include "blas.h"
#include "common.h"

using namespace tavrine;

// counts[label] += 1 and sums[label] += the point's d8 floats.
static inline void accumulate_point(const float *point, int label, int d8, float *counts,
                                    float *sums) {
    counts[label] += 1.0f;
    float *s = sums + at(label, d8);
    for (int o = 0; o < d8; o += 8)
        _mm256_storeu_ps(s + o, _mm256_add_ps(_mm256_loadu_ps(s + o), _mm256_loadu_ps(point + o)));
}

// Threads of an assignment region: never more than the slices that are merged.
static inline int assign_team(int limit) {
    int t = omp_get_max_threads();
    if (t > limit) t = limit;
    return team_cap(t < kSlices ? t : kSlices);
}

void compute_y(const float *dist, const float *c_norm, int rows, int ld_dist, int k,
               int32_t *labels, bool accumulate, float *counts, int d8, const float *points,
               float *sums) {
    for (int i = 0; i < rows; ++i) {
        const int label = nearest_of_row(dist + at(i, ld_dist), c_norm, k);
        labels[i] = label;
        if (accumulate) accumulate_point(points + at(i, d8), label, d8, counts, sums);
    }
}

// Packs the centers over the team, each thread a share of the panels; the
// caller's barrier makes them visible.
static inline void pack_share(const float *cen, int k8, int d8, float *packed) {
    int first, last;
    static_share(center_panels(k8), omp_get_num_threads(), omp_get_thread_num(), first, last);
    pack_centers(cen, k8, d8, first, last, packed);
}

// Hands chunks 0 .. n_chunks-1 to the calling team, body(c) for each. The
// exported steps deal them dynamically; the loop's own steps round-robin
// (chunk c to thread c mod T), so every thread's slice adds the same points
// in the same order in each run with the same thread count, and refitting
// gives bit-identical centers.
template <bool Dynamic, typename Body>
static inline void for_chunks(int n_chunks, Body body) {
    if (Dynamic) {
#pragma omp for schedule(nonmonotonic : dynamic, 1) nowait
        for (int c = 0; c < n_chunks; ++c) body(c);
    } else {
#pragma omp for schedule(static, 1) nowait
        for (int c = 0; c < n_chunks; ++c) body(c);
    }
}

// Each chunk's products go straight into its rows of D_NC (with Store) or
// into the thread's own chunk of scratch, and are scanned while they are
// still in cache, so the full product never makes a round trip through memory
// and runs on the assignment team's threads. Without room for the packed
// centers: one BLAS product into D_NC, then the scan.
template <bool Store>
static int64_t full_assign(int n, int d8, int k8, int k, const float *X, const float *cen,
                           const float *c_norm, bool accumulate, fast_var *fv, int32_t *y,
                           float *thread_cnt, float *thread_sum) {
    const timeval t0 = wall_now();
    chunk_par par;
    init_chunk_par(&par, n, 64);
    const int team = assign_team(par.n_chunks);
    const std::size_t scratch = Store ? 0 : at(par.chunk_size, k8);
    float *packed = static_cast<float *>(aligned_floats(at(k8, d8) + scratch * team));
    if (packed == nullptr)
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, n, k8, d8, -2.0f, X, d8, cen, d8,
                    0.0f, fv->D_NC, k8);
    const std::size_t slice = at(k8, d8);

#pragma omp parallel num_threads(team)
    {
        const int t = omp_get_thread_num();
        if (packed) pack_share(cen, k8, d8, packed);
        float *own = packed && !Store ? packed + at(k8, d8) + scratch * t : nullptr;
#pragma omp barrier
        for_chunks<Store>(par.n_chunks, [&](int c) {
            int lo, hi;
            chunk_bounds(par, c, n, lo, hi);
            float *dist = own ? own : fv->D_NC + at(lo, k8);
            if (packed) packed_product(hi - lo, d8, k8, X + at(lo, d8), d8, packed, dist, k8);
            compute_y(dist, c_norm, hi - lo, k8, k, y + lo, accumulate, thread_cnt + at(t, k8),
                      d8, X + at(lo, d8), thread_sum + t * slice);
        });
    }
    std::free(packed);
    const int64_t us = elapsed_us(t0, wall_now());
    openblas_set_num_threads(20);
    return us;
}

int64_t update_y_omp(int n, int d8, int k8, int k, const float *X, const float *cen,
                     const float *c_norm, bool accumulate, fast_var *fv, int32_t *y,
                     float *thread_cnt, float *thread_sum) {
    return full_assign<true>(n, d8, k8, k, X, cen, c_norm, accumulate, fv, y, thread_cnt,
                             thread_sum);
}

int64_t tavrine::update_y_labels(int n, int d8, int k8, int k, const float *X,
                                 const float *cen, const float *c_norm, bool accumulate,
                                 fast_var *fv, int32_t *y, float *thread_cnt,
                                 float *thread_sum) {
    return full_assign<false>(n, d8, k8, k, X, cen, c_norm, accumulate, fv, y, thread_cnt,
                              thread_sum);
}

// ---- Pruned assignment ---------------------------------------------------
//
// A candidate list is a mask row: the ascending indices of the centers that
// may be nearer than the point's own, then a run of up to eight -1. The
// product kernels read whole groups of eight list positions; the run makes
// the group holding the list's end recognisable by its last entry.

namespace {

constexpr int kTile = 64;   // rows and list positions per tile of the masked product
constexpr int kAhead = 4;   // rows between a prefetch and the row that needs it

// For each 8-bit candidate mask, the lanes of its set bits packed low to high
// (one byte each): turns a block's comparison bits into its listed indices.
struct LaneTable {
    uint64_t packed[256];
};

constexpr LaneTable make_lane_table() {
    LaneTable t{};
    for (int bits = 0; bits < 256; ++bits) {
        int n = 0;
        for (int lane = 0; lane < 8; ++lane)
            if ((bits >> lane) & 1) t.packed[bits] |= uint64_t(lane) << (8 * n++);
    }
    return t;
}

constexpr LaneTable kLanes = make_lane_table();

// The bound w_c of one point for eight centers at once, from the rows of its
// center l at column c.
struct Bound8 {
    __m256 a, b, t;
    const float *cos_l, *sin_l, *dcc_l;

    // Bit j set when center c + j may be nearer than l: D_CC < w, strictly.
    // min(w, inf) turns a NaN bound into +inf (minps returns its second
    // operand on NaN): an undefined bound cannot rule a center out, while a
    // NaN distance (an emptied center) still fails the ordered comparison.
    unsigned open(int c) const {
        const __m256 proj = _mm256_fmadd_ps(a, _mm256_loadu_ps(cos_l + c),
                                            _mm256_mul_ps(b, _mm256_loadu_ps(sin_l + c)));
        const __m256 w = _mm256_mul_ps(_mm256_mul_ps(proj, proj), t);
        const __m256 inf = _mm256_set1_ps(__builtin_inff());
        // w > D_CC is D_CC < w with the distance as the memory operand.
        return static_cast<unsigned>(_mm256_movemask_ps(
            _mm256_cmp_ps(_mm256_min_ps(w, inf), _mm256_loadu_ps(dcc_l + c), _CMP_GT_OQ)));
    }
};

}  // namespace

// Appends the centers c + j of the set bits j to list[m ..] with one 8-wide
// store (entries past the new count are scratch); returns the new count.
// base holds c in every lane.
static inline int append_block(int32_t *list, int m, __m256i base, unsigned bits) {
    const __m256i lanes = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128((long long)kLanes.packed[bits]));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(list + m), _mm256_add_epi32(base, lanes));
    return m + __builtin_popcount(bits);
}

// Candidates of one point with r2 > 0 among centers 0 .. k-1, written from
// list[0]; returns their number. Block stores may write up to seven entries
// past the returned count, always below k and inside the -1 run written after.
// With Record, blocks[b] receives the candidate bits of centers 8b .. 8b+7
// for every block below k8; without Append only they are written, not list.
template <bool Record, bool Append>
static inline int list_candidates(const float *cos_l, const float *sin_l, const float *dcc_l,
                                  float a, float b, float t, int l, int k, int32_t *list,
                                  uint8_t *blocks) {
    const Bound8 bound{_mm256_set1_ps(a), _mm256_set1_ps(b), _mm256_set1_ps(t), cos_l, sin_l,
                       dcc_l};
    const int k_vec = k & ~7, own_block = l & ~7;
    const __m256i eight = _mm256_set1_epi32(8);
    __m256i base = _mm256_setzero_si256();
    int m = 0, c = 0;
    const auto block = [&](unsigned bits) {
        if (Record) blocks[c >> 3] = static_cast<uint8_t>(bits);
        m = Append ? append_block(list, m, base, bits) : m + __builtin_popcount(bits);
    };
    // The own center is listed whatever its bound says: its bit is forced in
    // its block, so the other blocks need no index comparison.
    for (; c < k_vec && c < own_block; c += 8, base = _mm256_add_epi32(base, eight))
        block(bound.open(c));
    if (c == own_block && c < k_vec) {
        block(bound.open(c) | 1u << (l & 7));
        c += 8;
        base = _mm256_add_epi32(base, eight);
    }
    for (; c < k_vec; c += 8, base = _mm256_add_epi32(base, eight)) block(bound.open(c));
    unsigned tail = 0;
    for (; c < k; ++c) {
        const float proj = std::fma(a, cos_l[c], b * sin_l[c]);
        const float w = proj * proj * t;
        const float dcc = dcc_l[c];
        if (c == l || dcc < w || (w != w && dcc == dcc)) {
            if (Append) list[m] = c;
            ++m;
            tail |= 1u << (c & 7);
        }
    }
    if (Record && k_vec < k) blocks[k_vec >> 3] = static_cast<uint8_t>(tail);
    return m;
}

// Per center l, a level q_l below which a point of label l lists l alone:
// by Cauchy-Schwarz every bound (a cos_lc + b sin_lc)^2 t is at most
// (a^2 + b^2)(cos_lc^2 + sin_lc^2) t, so (a^2 + b^2) t <= q_l leaves it at or
// below every D_CC[l][c]. The margin of 1e-5 covers the rounding of the
// bound (a few ulps). A row holding a non-finite angle next to a distance,
// whose bound could be NaN and so list that center, gets -1: never.
// Rows are shared out over the calling team.
static void quiet_levels(const float *COS_OCiCj, const float *SIN_OCiCj, const float *D_CC,
                         int k8, int k, float *q) {
#pragma omp for schedule(static)
    for (int l = 0; l < k; ++l) {
        const float *cos_l = COS_OCiCj + at(l, k8), *sin_l = SIN_OCiCj + at(l, k8);
        const float *dcc_l = D_CC + at(l, k8);
        double spread = 0.0, nearest = HUGE_VAL;
        bool finite = true;
        for (int c = 0; c < k && finite; ++c) {
            // A NaN distance (an emptied center) is never listed, whatever its angle.
            if (c == l || dcc_l[c] != dcc_l[c]) continue;
            finite = std::isfinite(cos_l[c]) && std::isfinite(sin_l[c]);
            spread = std::fmax(spread, double(cos_l[c]) * cos_l[c] + double(sin_l[c]) * sin_l[c]);
            nearest = std::fmin(nearest, double(dcc_l[c]));
        }
        q[l] = finite ? static_cast<float>(nearest / (spread * (1.0 + 1e-5))) : -1.0f;
    }
}

// compute_mask, and with Record each row's candidate bits in blocks (rows of
// ld_mask / 8 bytes); the bits of a row with one candidate are not written.
// Without Append only the counts and the bits: mask is not touched. With
// quiet levels (quiet_levels), a point deep inside its cell skips the bound.
template <bool Record, bool Append = true>
static void list_rows(const float *COS_OCiCj, const float *SIN_OCiCj, int ld_cc,
                      const float *COS_OCX, const float *SIN_OCX, int rows, const float *D_CC,
                      int ld_dcc, const float *r2, const int32_t *labels, int32_t *mask,
                      int ld_mask, int k, int32_t *counts, uint8_t *blocks,
                      const float *quiet = nullptr) {
    for (int i = 0; i < rows; ++i) {
        const int l = labels[i];
        int32_t *list = mask + at(i, ld_mask);
        if (Append && i + kAhead < rows) {
            __builtin_prefetch(mask + at(i + kAhead, ld_mask), 1);
            __builtin_prefetch(mask + at(i + kAhead, ld_mask) + 16, 1);
        }
        int m = 1;
        const float a = COS_OCX[i], b = SIN_OCX[i], t = 4.0f * r2[i];
        // A point on its own center (r2 = 0) has nothing nearer: list l alone.
        // So has one whose bound stays below every other center (a finite t
        // keeps the bound from being NaN).
        if (!(r2[i] > 0.0f) ||
            (quiet && t <= FLT_MAX && (a * a + b * b) * t <= quiet[l])) {
            if (Append) list[0] = l;
        } else {
            m = list_candidates<Record, Append>(
                COS_OCiCj + at(l, ld_cc), SIN_OCiCj + at(l, ld_cc), D_CC + at(l, ld_dcc),
                a, b, t, l, k, list,
                Record ? blocks + at(i, ld_mask / 8) : nullptr);
        }
        counts[i] = m;
        if (!Append) continue;
        if (m + 8 <= ld_mask)
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(list + m), _mm256_set1_epi32(-1));
        else
            for (int p = m; p < ld_mask; ++p) list[p] = -1;
    }
}

void compute_mask(const float *COS_OCiCj, const float *SIN_OCiCj, int ld_cc,
                  const float *COS_OCX, const float *SIN_OCX, int rows, const float *D_CC,
                  int ld_dcc, const float *r2, const int32_t *labels, int32_t *mask,
                  int ld_mask, int k, int32_t *counts) {
    list_rows<false>(COS_OCiCj, SIN_OCiCj, ld_cc, COS_OCX, SIN_OCX, rows, D_CC, ld_dcc, r2,
                     labels, mask, ld_mask, k, counts, nullptr);
}

void compute_y_mask(const int32_t *mask, const float *dist, const float *c_norm, int rows,
                    int ld, int k, int32_t *labels, bool accumulate, float *counts, int d8,
                    const float *points, float *sums) {
    for (int i = 0; i < rows; ++i) {
        const int32_t *list = mask + at(i, ld);
        const float *row = dist + at(i, ld);
        int label = list[0];
        float best = row[label] + c_norm[label];
        // Strict comparison over an ascending list: ties keep the lower index
        // and a NaN never wins. The list ends at its first entry outside 0 .. k-1.
        for (int p = 1; p < k; ++p) {
            const int e = list[p];
            if (static_cast<unsigned>(e) >= static_cast<unsigned>(k)) break;
            const float v = row[e] + c_norm[e];
            if (best > v) {
                best = v;
                label = e;
            }
        }
        labels[i] = label;
        if (accumulate) accumulate_point(points + at(i, d8), label, d8, counts, sums);
    }
}

void mask_full(int32_t *mask, int rows, int n) {
    for (int r = 0; r < rows; ++r)
        for (int j = 0; j < n; ++j) mask[at(r, n) + j] = j;
}

// ---- Masked product kernels ----------------------------------------------
//
// C[i][c] = alpha * (A_i . B_c) + beta * C[i][c] for the listed centers c of
// row i only; every other entry of C is left alone. Dot products cover the
// first 8 * floor(K / 8) floats. Loads are unaligned: free on aligned data,
// and a library caller may hand any row.

// C row[c_t] = beta * C row[c_t] + s_t for the first q entries of the group.
static inline void update_outputs(float *c_row, const int32_t *group, int q, float beta,
                                  __m256 s) {
    alignas(32) float v[8];
    _mm256_store_ps(v, s);
    for (int t = 0; t < q; ++t) c_row[group[t]] = std::fma(beta, c_row[group[t]], v[t]);
}

// The dot products of the point with the group's first Q candidates.
template <int Q>
static inline void group_dots(const float *a_row, const float *B, int ldb, int K,
                              const int32_t *group, __m256 (&acc)[8]) {
    const float *b[8];
    for (int t = 0; t < Q; ++t) b[t] = B + at(group[t], ldb);
    dot_rows<Q>(a_row, b, K, acc);
}

// Lane sums of the group's first q candidates (1 <= q <= 8) in the halves
// order, alpha not yet applied; one instance per q, so no lane is computed
// for nothing.
template <int Q>
static inline __m256 halves_sums(const float *a_row, const float *B, int ldb, int K,
                                 const int32_t *group) {
    __m256 acc[8];
    group_dots<Q>(a_row, B, ldb, K, group, acc);
    return sum_lanes_halves(acc);
}

static inline __m256 partial_sums(int q, const float *a_row, const float *B, int ldb, int K,
                                  const int32_t *group) {
    switch (q) {
        case 1: return halves_sums<1>(a_row, B, ldb, K, group);
        case 2: return halves_sums<2>(a_row, B, ldb, K, group);
        case 3: return halves_sums<3>(a_row, B, ldb, K, group);
        case 4: return halves_sums<4>(a_row, B, ldb, K, group);
        case 5: return halves_sums<5>(a_row, B, ldb, K, group);
        case 6: return halves_sums<6>(a_row, B, ldb, K, group);
        case 7: return halves_sums<7>(a_row, B, ldb, K, group);
        default: return halves_sums<8>(a_row, B, ldb, K, group);
    }
}

// Lane sums of a full group in the pairwise order, alpha not yet applied.
static inline __m256 full_sums(const float *a_row, const float *B, int ldb, int K,
                               const int32_t *group) {
    __m256 acc[8];
    group_dots<8>(a_row, B, ldb, K, group, acc);
    return sum_lanes_pairs(acc);
}

static inline void group_of_8(const float *a_row, const float *B, int ldb, float *c_row,
                              float alpha, float beta, int K, const int32_t *group) {
    update_outputs(c_row, group, 8, beta,
                   _mm256_mul_ps(full_sums(a_row, B, ldb, K, group), _mm256_set1_ps(alpha)));
}

// The q candidates before the first negative entry.
static inline void partial_group(const float *a_row, const float *B, int ldb, float *c_row,
                                 float alpha, float beta, int K, const int32_t *group) {
    int q = 0;
    while (q < 8 && group[q] >= 0) ++q;
    if (q == 0) return;
    update_outputs(c_row, group, q, beta,
                   _mm256_mul_ps(partial_sums(q, a_row, B, ldb, K, group), _mm256_set1_ps(alpha)));
}

// One group of row `row` at list position pos: skipped when it lies past the
// list, checked against the count when it starts with -1.
static inline void dispatch_group(const float *a_row, const float *B, int ldb, float *c_row,
                                  float alpha, float beta, int K, const int32_t *group, int row,
                                  int pos, const int32_t *counts) {
    const int m = counts[row];
    if (group[0] == -1) {
        if (pos < m) std::printf("count[%d] = %d, mask[%d, %d] = -1\t", row, m, row, pos);
        return;
    }
    if (pos > m) return;
    // Any negative last entry ends the group, so no negative index reaches B.
    if (group[7] < 0)
        partial_group(a_row, B, ldb, c_row, alpha, beta, K, group);
    else
        group_of_8(a_row, B, ldb, c_row, alpha, beta, K, group);
}

// Groups of one row starting at positions first, first + 8, ... below last.
// A list is `width` positions wide: a group reaching past it reads only the
// positions inside, the missing ones taken as -1, so no read leaves the row.
static inline void row_groups(const float *a_row, const float *B, int ldb, float *c_row,
                              float alpha, float beta, int K, const int32_t *list, int row,
                              int first, int last, int width, const int32_t *counts) {
    const int m = counts[row];
    // Groups past position m are skipped by the dispatcher; stop before them.
    for (int p = first; p < last && p <= m; p += 8) {
        const int32_t *group = list + p;
        int32_t clipped[8];
        if (p + 8 > width) {
            for (int t = 0; t < 8; ++t) clipped[t] = p + t < width ? list[p + t] : -1;
            group = clipped;
        }
        dispatch_group(a_row, B, ldb, c_row, alpha, beta, K, group, row, p, counts);
    }
}

// Requests for ownership of the output lines a row will write: its entries
// are scattered over the row, so the hardware prefetcher cannot guess them.
static inline void prefetch_outputs(float *c_row, const int32_t *list, int m, int width) {
    const int end = m < width ? m : width;
    for (int p = 0; p < end; ++p) __builtin_prefetch(c_row + list[p], 1);
}

void gemm_mul_p_mask(int M, int N, int K, const float *A, int lda, const float *B, float alpha,
                     float beta, int ldb, float *C, int ldc, const int32_t *mask, int ld_mask,
                     const int32_t *counts) {
    if ((N & 7) || (K & 7)) std::perror("n or k is not a multiple of 8");
    if (!aligned(A) || !aligned(B)) std::perror("input arr a or b is not aligned");
    if (M <= 0 || N <= 0) return;
    for (int i0 = 0; i0 < M; i0 += kTile) {
        const int i1 = i0 + kTile < M ? i0 + kTile : M;
        for (int j0 = 0; j0 < N; j0 += kTile) {
            const int j1 = j0 + kTile < N ? j0 + kTile : N;
            for (int r = i0; r < i1; ++r) {
                if (j0 == 0 && r + kAhead < i1)
                    prefetch_outputs(C + at(r + kAhead, ldc), mask + at(r + kAhead, ld_mask),
                                     counts[r + kAhead], N);
                row_groups(A + at(r, lda), B, ldb, C + at(r, ldc), alpha, beta, K,
                           mask + at(r, ld_mask), r, j0, j1, N, counts);
            }
        }
    }
}

void kernel_ori_mask(const float *a_row, int /*lda*/, const float *B, int ldb, float *c_row,
                     int /*ldc*/, float alpha, float beta, int K, const int32_t *group, int row,
                     int pos, const int32_t *counts) {
    dispatch_group(a_row, B, ldb, c_row, alpha, beta, K, group, row, pos, counts);
}

void kernel_ori_mask_8(const float *a_row, int /*lda*/, const float *B, int ldb, float *c_row,
                       int /*ldc*/, float alpha, float beta, int K, const int32_t *group,
                       int /*row*/, int /*pos*/, const int32_t * /*counts*/) {
    group_of_8(a_row, B, ldb, c_row, alpha, beta, K, group);
}

void kernel_ori_mask_le8(const float *a_row, int /*lda*/, const float *B, int ldb, float *c_row,
                         int /*ldc*/, float alpha, float beta, int K, const int32_t *group,
                         int /*row*/, int /*pos*/, const int32_t * /*counts*/) {
    partial_group(a_row, B, ldb, c_row, alpha, beta, K, group);
}

// The rectangle's list positions end at first_pos + n_pos; a group reaching
// past that end reads only the positions inside it.
void matmul_kernel(const float *A, int lda, const float *B, int ldb, float *C, int ldc,
                   float alpha, float beta, const int32_t *mask, int ld_mask,
                   const int32_t *counts, int n_rows, int n_pos, int K, int first_row,
                   int first_pos) {
    if (n_rows <= 0 || n_pos <= 0) return;
    const int last = first_pos + n_pos;
    for (int r = first_row; r < first_row + n_rows; ++r)
        row_groups(A + at(r, lda), B, ldb, C + at(r, ldc), alpha, beta, K,
                   mask + at(r, ld_mask), r, first_pos, last, last, counts);
}

// ---- Pruned assignment -----------------------------------------------------
//
// Per chunk: the candidate lists, then per point the candidates' products,
// each group's values scanned as they are stored, and the point's
// accumulation. In a masked chunk every stored product and every label is
// what gemm_mul_p_mask followed by compute_y_mask gives; a dense chunk stores
// the dense product's values and scans them in the same order.

// One point's products against its candidates: the operands of the masked
// product for one row, and the running scan of its scores. Without Store the
// products are only scanned, never written to the row.
template <bool Store>
struct RowScan {
    const float *a_row, *B, *c_norm;
    float *c_row;
    int ldb, K;
    float alpha, beta;
    FirstMin scan;
    float first = 0.0f;  // score of list position 0

    // Stores the group's Q values as update_outputs does and scans their
    // scores; the lanes from Q on score NaN. Unstored values skip the beta
    // term: the caller guarantees beta = 0 and finite old values, for which
    // fma(0, old, v) = v up to the sign of a zero, which no comparison sees.
    template <int Q>
    void store_and_scan(const int32_t *group, int p, __m256 sums) {
        alignas(32) float v[8], score[8];
        _mm256_store_ps(v, _mm256_mul_ps(sums, _mm256_set1_ps(alpha)));
        if (Q < 8) _mm256_store_ps(score, _mm256_set1_ps(__builtin_nanf("")));
        for (int t = 0; t < Q; ++t) {
            const int c = group[t];
            float value = v[t];
            if (Store) {
                value = std::fma(beta, c_row[c], value);
                c_row[c] = value;
            }
            score[t] = value + c_norm[c];
        }
        scan.add(_mm256_load_ps(score), p);
        if (p == 0) first = score[0];
    }

    void full(const int32_t *group, int p) {
        store_and_scan<8>(group, p, full_sums(a_row, B, ldb, K, group));
    }

    template <int Q>
    void partial(const int32_t *group, int p) {
        store_and_scan<Q>(group, p, halves_sums<Q>(a_row, B, ldb, K, group));
    }
};

// Nearest of the m >= 2 listed centers of one point; with Store their
// products are written into c_row on the way.
template <bool Store>
static inline int nearest_candidate(const float *a_row, const float *B, int ldb, float *c_row,
                                    const int32_t *list, int m, const float *c_norm, float alpha,
                                    float beta, int K) {
    RowScan<Store> row{a_row, B, c_norm, c_row, ldb, K, alpha, beta};
    int p = 0;
    for (; p + 8 <= m; p += 8) row.full(list + p, p);
    switch (m - p) {
        case 0: break;
        case 1: row.template partial<1>(list + p, p); break;
        case 2: row.template partial<2>(list + p, p); break;
        case 3: row.template partial<3>(list + p, p); break;
        case 4: row.template partial<4>(list + p, p); break;
        case 5: row.template partial<5>(list + p, p); break;
        case 6: row.template partial<6>(list + p, p); break;
        default: row.template partial<7>(list + p, p); break;
    }
    // A NaN first score stays the best of the sequential scan.
    return list[row.first != row.first ? 0 : row.scan.position()];
}

// The product of a lone candidate, stored as gemm_mul_p_mask stores it.
static inline void store_lone(const float *a_row, const float *B, int d8, float *c_row,
                              const int32_t *list) {
    update_outputs(c_row, list, 1, 0.0f,
                   _mm256_mul_ps(halves_sums<1>(a_row, B, d8, d8, list), _mm256_set1_ps(-2.0f)));
}

// Products (stored with Store), labels and accumulation of one chunk whose
// lists are built.
template <bool Store>
static void label_chunk(const float *X, int d8, const float *cen, const float *c_norm,
                        const int32_t *mask, const int32_t *counts, float *dist, int k8,
                        int rows, int32_t *labels, bool accumulate, float *cnt, float *sums) {
    for (int i = 0; i < rows; ++i) {
        if (Store && i + kAhead < rows)
            prefetch_outputs(dist + at(i + kAhead, k8), mask + at(i + kAhead, k8),
                             counts[i + kAhead], k8);
        const int32_t *list = mask + at(i, k8);
        const int m = counts[i];
        // A lone candidate is the own center, which keeps the point; only the
        // exported step, whose callers may read D_NC, stores its product.
        if (Store && m == 1) store_lone(X + at(i, d8), cen, d8, dist + at(i, k8), list);
        const int label = m == 1 ? list[0]
                                 : nearest_candidate<Store>(X + at(i, d8), cen, d8,
                                                            dist + at(i, k8), list, m, c_norm,
                                                            -2.0f, 0.0f, d8);
        labels[i] = label;
        if (accumulate) accumulate_point(X + at(i, d8), label, d8, cnt, sums);
    }
}

// Lanes of the set bits of an 8-bit mask, all ones where set.
static inline __m256i lanes_of(unsigned bits) {
    const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    return _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(bits), bit), bit);
}

// Nearest listed center of one point from its products against every center
// (prod_row); with Store the listed values are stored into dist_row. The
// listed centers are the set bits of blocks, first the lowest; the scan is the
// sequential strict one over the list, each block's scores taken at once with
// the unlisted lanes NaN.
template <bool Store>
static inline int nearest_listed(const float *prod_row, const uint8_t *blocks, int k8,
                                 const float *c_norm, float *dist_row, int first) {
    FirstMin scan;
    const __m256 nan = _mm256_set1_ps(__builtin_nanf(""));
    for (int j = 0; j < k8; j += 8) {
        const unsigned bits = blocks[j >> 3];
        if (bits == 0) continue;
        const __m256i on = lanes_of(bits);
        const __m256 v = _mm256_loadu_ps(prod_row + j);
        // Blend and store rather than a masked store, which AMD cores run as
        // a slow microcoded sequence; the row is this thread's alone.
        if (Store)
            _mm256_storeu_ps(dist_row + j, _mm256_blendv_ps(_mm256_loadu_ps(dist_row + j), v,
                                                            _mm256_castsi256_ps(on)));
        const __m256 score = _mm256_add_ps(v, _mm256_loadu_ps(c_norm + j));
        scan.add(_mm256_blendv_ps(nan, score, _mm256_castsi256_ps(on)), j);
    }
    // A NaN first score stays the best; with no score below +inf neither
    // does any later one replace the first.
    const float s0 = prod_row[first] + c_norm[first];
    return s0 != s0 || !scan.any() ? first : scan.position();
}

// Lowest center whose bit is set in a row of blocks that has one.
static inline int lowest_listed(const uint8_t *blocks) {
    int b = 0;
    while (blocks[b] == 0) ++b;
    return 8 * b + __builtin_ctz(blocks[b]);
}

// Labels and accumulation of one chunk whose products against every center
// are in prod (rows x k8), listed centers in blocks (rows x k8 / 8 bits). A
// lone candidate is the own center, the label the point comes with; with
// Store its product is stored too.
template <bool Store>
static void label_dense_chunk(const float *X, int d8, const float *prod, const uint8_t *blocks,
                              const float *c_norm, const int32_t *counts, float *dist, int k8,
                              int k, int rows, int32_t *labels, bool accumulate, float *cnt,
                              float *sums) {
    for (int i = 0; i < rows; ++i) {
        const uint8_t *bits = blocks + at(i, k8 / 8);
        const float *prod_row = prod + at(i, k8);
        int label = labels[i];
        if (Store && counts[i] == 1) dist[at(i, k8) + label] = prod_row[label];
        if (counts[i] > 1) {
            const int first = lowest_listed(bits);
            label = -1;
            // Without stores, the nearest of all centers (a cheaper scan) is
            // the nearest listed one whenever it is listed and the first
            // listed score is a number: no listed center can then score
            // lower, or the same at a lower index.
            if constexpr (!Store) {
                const int all = nearest_of_row(prod_row, c_norm, k);
                const float s_first = prod_row[first] + c_norm[first];
                if ((bits[all >> 3] >> (all & 7) & 1) && s_first == s_first) label = all;
            }
            if (label < 0)
                label = nearest_listed<Store>(prod_row, bits, k8, c_norm, dist + at(i, k8), first);
        }
        labels[i] = label;
        if (accumulate) accumulate_point(X + at(i, d8), label, d8, cnt, sums);
    }
}

// The candidate lists of a chunk, as list_rows writes them, from its counts,
// candidate bits and old labels.
static void lists_from_blocks(const uint8_t *blocks, const int32_t *labels,
                              const int32_t *counts, int rows, int k8, int32_t *mask) {
    const __m256i eight = _mm256_set1_epi32(8);
    for (int i = 0; i < rows; ++i) {
        int32_t *list = mask + at(i, k8);
        int m = 1;
        if (counts[i] == 1) {
            list[0] = labels[i];
        } else {
            const uint8_t *row = blocks + at(i, k8 / 8);
            __m256i base = _mm256_setzero_si256();
            m = 0;
            for (int b = 0; b < k8 / 8; ++b, base = _mm256_add_epi32(base, eight))
                m = append_block(list, m, base, row[b]);
        }
        if (m + 8 <= k8)
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(list + m), _mm256_set1_epi32(-1));
        else
            for (int p = m; p < k8; ++p) list[p] = -1;
    }
}

// Whether a chunk's products are cheaper dense. One masked product costs
// about 2 + 64 / d8 dense ones (one thread, half the centers listed, d8 from
// 8 to 256: the masked kernel's fixed cost per group weighs most at small
// d8), so the dense product wins once the chunk lists more than
// d8 / (2 d8 + 64) of its rows x k8 products. Lone candidates need none.
static inline bool dense_pays(const int32_t *counts, int rows, int k8, int d8) {
    int64_t listed = 0;
    for (int i = 0; i < rows; ++i) listed += counts[i] > 1 ? counts[i] : 0;
    return listed * (2 * d8 + 64) >= static_cast<int64_t>(rows) * k8 * d8;
}

// The pruned assignment; with Store the listed products go into D_NC.
template <bool Store>
static int64_t pruned_assign(int n, int d8, int k8, int k, const float *X, const float *cen,
                             const float *c_norm, bool accumulate, fast_var *fv, int32_t *y,
                             float *thread_cnt, float *thread_sum) {
    const timeval t0 = wall_now();
    chunk_par par;
    init_chunk_par(&par, n, 64);
    const std::size_t slice = at(k8, d8);
    const int team = assign_team(n);
    // Per thread: the packed centers, a dense chunk's products (rows x k8
    // floats), its candidate bits (rows x k8 / 8 bytes) in whole vectors and,
    // without Store, its candidate lists (rows x k8). A thread packs on its
    // first dense chunk, so runs of short lists pay nothing; without this
    // room every chunk takes the masked path and lists go to fv->mask.
    const std::size_t bits = round_up8((par.chunk_size * k8 / 8 + 3) / 4);
    const std::size_t lists = Store ? 0 : at(par.chunk_size, k8);
    const std::size_t room = at(k8, d8) + at(par.chunk_size, k8) + bits + lists;
    float *rooms = static_cast<float *>(aligned_floats(room * team));
    // Only the lists built with candidate bits (list_rows) take quiet levels.
    float *quiet = rooms ? static_cast<float *>(std::malloc(at(k, 1) * sizeof(float))) : nullptr;

#pragma omp parallel num_threads(team)
    {
        const int t = omp_get_thread_num();
        float *packed = rooms ? rooms + room * t : nullptr;
        float *prod = rooms ? packed + at(k8, d8) : nullptr;
        uint8_t *blocks =
            rooms ? reinterpret_cast<uint8_t *>(prod + at(par.chunk_size, k8)) : nullptr;
        int32_t *own_lists =
            rooms && !Store ? reinterpret_cast<int32_t *>(prod + at(par.chunk_size, k8) + bits)
                            : nullptr;
        bool have_packed = false;
        if (quiet) quiet_levels(fv->COS_OCiCj, fv->SIN_OCiCj, fv->D_CC, k8, k, quiet);
        for_chunks<Store>(par.n_chunks, [&](int c) {
            int lo, hi;
            chunk_bounds(par, c, n, lo, hi);
            const int rows = hi - lo;
            if (rows <= 0) return;
            int32_t *mask = own_lists ? own_lists : fv->mask + at(lo, k8);
            const int32_t *counts = fv->mask_count + lo;
            // The lists read the old labels, so they come before the scan.
            // Without Store a chunk's lists are written only if it goes masked.
            if (blocks)
                list_rows<true, Store>(fv->COS_OCiCj, fv->SIN_OCiCj, k8, fv->COS_OCX + lo,
                                fv->SIN_OCX + lo, rows, fv->D_CC, k8, fv->r2 + lo, y + lo, mask,
                                k8, k, fv->mask_count + lo, blocks, quiet);
            else
                compute_mask(fv->COS_OCiCj, fv->SIN_OCiCj, k8, fv->COS_OCX + lo,
                             fv->SIN_OCX + lo, rows, fv->D_CC, k8, fv->r2 + lo, y + lo, mask, k8,
                             k, fv->mask_count + lo);
            if (blocks && dense_pays(counts, rows, k8, d8)) {
                if (!have_packed) pack_centers(cen, k8, d8, 0, center_panels(k8), packed);
                have_packed = true;
                packed_product(rows, d8, k8, X + at(lo, d8), d8, packed, prod, k8);
                label_dense_chunk<Store>(X + at(lo, d8), d8, prod, blocks, c_norm, counts,
                                         fv->D_NC + at(lo, k8), k8, k, rows, y + lo, accumulate,
                                         thread_cnt + at(t, k8), thread_sum + t * slice);
            } else {
                if (!Store && blocks) lists_from_blocks(blocks, y + lo, counts, rows, k8, mask);
                label_chunk<Store>(X + at(lo, d8), d8, cen, c_norm, mask, counts,
                                   fv->D_NC + at(lo, k8), k8, rows, y + lo, accumulate,
                                   thread_cnt + at(t, k8), thread_sum + t * slice);
            }
        });
    }
    std::free(rooms);
    std::free(quiet);
    return elapsed_us(t0, wall_now());
}

int64_t update_mdy(int n, int d8, int k8, int k, const float *X, const float *cen,
                   const float *c_norm, bool accumulate, fast_var *fv, int32_t *y,
                   float *thread_cnt, float *thread_sum) {
    return pruned_assign<true>(n, d8, k8, k, X, cen, c_norm, accumulate, fv, y, thread_cnt,
                               thread_sum);
}

int64_t tavrine::update_mdy_labels(int n, int d8, int k8, int k, const float *X,
                                   const float *cen, const float *c_norm, bool accumulate,
                                   fast_var *fv, int32_t *y, float *thread_cnt,
                                   float *thread_sum) {
    return pruned_assign<false>(n, d8, k8, k, X, cen, c_norm, accumulate, fv, y, thread_cnt,
                                thread_sum);
}
