// SPDX-License-Identifier: BSD-3-Clause
//
// Aligned storage and small utilities: the padded copy that gives every
// kernel whole 8-float rows on 32-byte boundaries, aligned allocation, the
// chunk partition of the parallel steps, label comparison and array printing.
// Allocation failures are returned as null; callers test them.
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernels/blas.h"
#include "common.h"

using namespace tavrine;

// aligned_alloc wants a size that is a multiple of the alignment. Small
// arrays start on a cache line: workers writing neighbouring rows of one
// (the center update's sums) then share no line.
// Large arrays (the per-point state, padded data) sit on 2 MiB boundaries and
// ask for transparent huge pages: first touch then costs one fault per 2 MiB
// instead of per 4 KiB, and the scattered candidate writes miss the TLB less.
void *tavrine::aligned_floats(std::size_t count) {
    constexpr std::size_t kHuge = std::size_t(1) << 21;
    const std::size_t bytes = count * 4;
    if (bytes < 4 * kHuge) return std::aligned_alloc(64, (bytes + 63) & ~std::size_t(63));
    const std::size_t rounded = (bytes + kHuge - 1) & ~(kHuge - 1);
    void *p = std::aligned_alloc(kHuge, rounded);
    if (p != nullptr) madvise(p, rounded, MADV_HUGEPAGE);
    return p;
}

void tavrine::squared_norms(const float *rows, int n_rows, int d8, float *out) {
    for (int i = 0; i < n_rows; ++i) {
        const float *row = rows + at(i, d8);
        out[i] = cblas_sdot(d8, row, 1, row, 1);
    }
}

void tavrine::pad_into(const float *src, int rows, int cols, float *out) {
    const int d8 = round_up8(cols), cols_whole = cols & ~7, tail = cols - cols_whole;
    for (int r = 0; r < rows; ++r) {
        const float *s = src + at(r, cols);
        float *o = out + at(r, d8);
        for (int j = 0; j < cols_whole; j += 8) _mm256_store_ps(o + j, _mm256_loadu_ps(s + j));
        if (tail) _mm256_store_ps(o + cols_whole, masked_read(s + cols_whole, tail));
    }
}

float *align_padding(const float *src, int rows, int cols, bool pad_rows) {
    const int d8 = round_up8(cols);
    const int out_rows = pad_rows ? round_up8(rows) : rows;
    float *out = static_cast<float *>(aligned_floats(at(out_rows, d8)));
    if (out == nullptr) return nullptr;

    pad_into(src, rows, cols, out);
    if (out_rows > rows) std::memset(out + at(rows, d8), 0, at(out_rows - rows, d8) * sizeof(float));
    return out;
}

void *malloc_align(int count) { return aligned_floats(static_cast<std::size_t>(count)); }

bool aligned(const void *p) { return (reinterpret_cast<std::uintptr_t>(p) & 31) == 0; }

void free_array(void *p) { std::free(p); }

int init_chunk_par(chunk_par *par, int total, int max_chunk) {
    par->chunk_size = total < max_chunk ? total : max_chunk;
    const int q = total / par->chunk_size;
    par->n_chunks = q + (par->chunk_size * q != total ? 1 : 0);
    return par->n_chunks;
}

bool arr_equal(const int32_t *a, const int32_t *b, int n) {
    for (int i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

void swap_pointers(float **a, float **b) {
    float *t = *a;
    *a = *b;
    *b = t;
}

template <typename T, typename Print>
static void print_rows(const T *A, int rows, int cols, int max_rows, int max_cols, Print print) {
    const int r_end = rows < max_rows ? rows : max_rows;
    const int c_end = cols < max_cols ? cols : max_cols;
    for (int i = 0; i < r_end; ++i) {
        for (int j = 0; j < c_end; ++j) print(i, j, A[at(i, cols) + j]);
        std::printf("\n");
    }
}

void print_arr(const float *A, int rows, int cols, int max_rows, int max_cols) {
    print_rows(A, rows, cols, max_rows, max_cols,
               [](int i, int j, float v) { std::printf("A[%d, %d] = %f, ", i, j, (double)v); });
}

void print_arr_double(const double *A, int rows, int cols, int max_rows, int max_cols) {
    print_rows(A, rows, cols, max_rows, max_cols,
               [](int i, int j, double v) { std::printf("A[%d, %d] = %lf, ", i, j, v); });
}

void print_arr_int(const int32_t *A, int rows, int cols, int max_rows, int max_cols) {
    print_rows(A, rows, cols, max_rows, max_cols,
               [](int i, int j, int32_t v) { std::printf("A[%d, %d] = %d, ", i, j, v); });
}

// Kept for callers of the library that link against it; it has no effect.
void transpose_8x8_avx(void) {}
