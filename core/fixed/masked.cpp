// SPDX-License-Identifier: BSD-3-Clause
//
// The exported masked product kernels: C[i][c] = alpha * (A_i . B_c) +
// beta * C[i][c] for the listed centers c of each row only, in tiles of
// rows and list positions. The loop's own pruned step computes the same
// products through the group helpers of simd.h and does not call these.
#include <cmath>
#include <cstdio>

#include "common.h"

using namespace tavrine;

namespace {
constexpr int kListTile = 64;  // rows and list positions per tile of the product
constexpr int kAhead = 4;      // rows between a prefetch and the row that needs it
}  // namespace

// Every entry of C that is not listed is left alone. Dot products cover the
// first 8 * floor(depth / 8) floats. Loads are unaligned: free on aligned data,
// and a library caller may hand any row.

// C row[c_t] = beta * C row[c_t] + s_t for the first q entries of the group.
static inline void update_outputs(float *c_row, const int32_t *group, int q, float beta,
                                  __m256 s) {
    alignas(32) float v[8];
    _mm256_store_ps(v, s);
    for (int t = 0; t < q; ++t) c_row[group[t]] = std::fma(beta, c_row[group[t]], v[t]);
}

static inline void group_of_8(const float *a_row, const float *B, int ldb, float *c_row,
                              float alpha, float beta, int depth, const int32_t *group) {
    update_outputs(c_row, group, 8, beta,
                   _mm256_mul_ps(full_sums(a_row, B, ldb, depth, group), _mm256_set1_ps(alpha)));
}

// The q candidates before the first negative entry.
static inline void partial_group(const float *a_row, const float *B, int ldb, float *c_row,
                                 float alpha, float beta, int depth, const int32_t *group) {
    int q = 0;
    while (q < 8 && group[q] >= 0) ++q;
    if (q == 0) return;
    update_outputs(c_row, group, q, beta,
                   _mm256_mul_ps(partial_sums(q, a_row, B, ldb, depth, group),
                                 _mm256_set1_ps(alpha)));
}

// One group of row `row` at list position pos: skipped when it lies past the
// list, checked against the count when it starts with -1.
static inline void dispatch_group(const float *a_row, const float *B, int ldb, float *c_row,
                                  float alpha, float beta, int depth, const int32_t *group, int row,
                                  int pos, const int32_t *counts) {
    const int m = counts[row];
    if (group[0] == -1) {
        if (pos < m) std::printf("count[%d] = %d, mask[%d, %d] = -1\t", row, m, row, pos);
        return;
    }
    if (pos > m) return;
    // Any negative last entry ends the group, so no negative index reaches B.
    if (group[7] < 0)
        partial_group(a_row, B, ldb, c_row, alpha, beta, depth, group);
    else
        group_of_8(a_row, B, ldb, c_row, alpha, beta, depth, group);
}

// Groups of one row starting at positions first, first + 8, ... below last.
// A list is `width` positions wide: a group reaching past it reads only the
// positions inside, the missing ones taken as -1, so no read leaves the row.
static inline void row_groups(const float *a_row, const float *B, int ldb, float *c_row,
                              float alpha, float beta, int depth, const int32_t *list, int row,
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
        dispatch_group(a_row, B, ldb, c_row, alpha, beta, depth, group, row, p, counts);
    }
}

void gemm_mul_p_mask(int M, int N, int depth, const float *A, int lda, const float *B, float alpha,
                     float beta, int ldb, float *C, int ldc, const int32_t *mask, int ld_mask,
                     const int32_t *counts) {
    if ((N & 7) || (depth & 7)) std::perror("n or k is not a multiple of 8");
    if (!aligned(A) || !aligned(B)) std::perror("input arr a or b is not aligned");
    if (M <= 0 || N <= 0) return;
    for (int i0 = 0; i0 < M; i0 += kListTile) {
        const int i1 = i0 + kListTile < M ? i0 + kListTile : M;
        for (int j0 = 0; j0 < N; j0 += kListTile) {
            const int j1 = j0 + kListTile < N ? j0 + kListTile : N;
            for (int r = i0; r < i1; ++r) {
                if (j0 == 0 && r + kAhead < i1)
                    prefetch_outputs(C + at(r + kAhead, ldc), mask + at(r + kAhead, ld_mask),
                                     counts[r + kAhead], N);
                row_groups(A + at(r, lda), B, ldb, C + at(r, ldc), alpha, beta, depth,
                           mask + at(r, ld_mask), r, j0, j1, N, counts);
            }
        }
    }
}

void kernel_ori_mask(const float *a_row, int /*lda*/, const float *B, int ldb, float *c_row,
                     int /*ldc*/, float alpha, float beta, int depth, const int32_t *group, int row,
                     int pos, const int32_t *counts) {
    dispatch_group(a_row, B, ldb, c_row, alpha, beta, depth, group, row, pos, counts);
}

void kernel_ori_mask_8(const float *a_row, int /*lda*/, const float *B, int ldb, float *c_row,
                       int /*ldc*/, float alpha, float beta, int depth, const int32_t *group,
                       int /*row*/, int /*pos*/, const int32_t * /*counts*/) {
    group_of_8(a_row, B, ldb, c_row, alpha, beta, depth, group);
}

void kernel_ori_mask_le8(const float *a_row, int /*lda*/, const float *B, int ldb, float *c_row,
                         int /*ldc*/, float alpha, float beta, int depth, const int32_t *group,
                         int /*row*/, int /*pos*/, const int32_t * /*counts*/) {
    partial_group(a_row, B, ldb, c_row, alpha, beta, depth, group);
}

// The rectangle's list positions end at first_pos + n_pos; a group reaching
// past that end reads only the positions inside it.
void matmul_kernel(const float *A, int lda, const float *B, int ldb, float *C, int ldc,
                   float alpha, float beta, const int32_t *mask, int ld_mask,
                   const int32_t *counts, int n_rows, int n_pos, int depth, int first_row,
                   int first_pos) {
    if (n_rows <= 0 || n_pos <= 0) return;
    const int last = first_pos + n_pos;
    for (int r = first_row; r < first_row + n_rows; ++r)
        row_groups(A + at(r, lda), B, ldb, C + at(r, ldc), alpha, beta, depth,
                   mask + at(r, ld_mask), r, first_pos, last, last, counts);
}

