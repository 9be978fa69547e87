// SPDX-License-Identifier: BSD-3-Clause
//
// The estimator's copy of its data: float64 column means, then the float32
// rows double(x) - mean. One pass over X sums the columns, a second writes
// the centred copy and, for a fit, the squared differences. Every sum is
// taken over fixed blocks of rows and the blocks' partial sums are added in
// block order, so no result depends on the number of threads.
#include <omp.h>

#include <algorithm>
#include <new>
#include <vector>

#include "common.h"

using namespace tavrine;

namespace {

constexpr int kBlockRows = 1024;  // rows per partial sum; fixes the order of every addition

inline __m256d four_wide(const float *p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
inline __m256d four_wide(const double *p) { return _mm256_loadu_pd(p); }

// sum[j] += x[i][j] for the rows [lo, hi) of X (row stride ld), each column
// in row order.
template <typename T>
void add_rows(const T *X, int d, int64_t ld, int lo, int hi, double *sum) {
    for (int i = lo; i < hi; ++i) {
        const T *row = X + at(i, ld);
        int j = 0;
        for (; j + 4 <= d; j += 4)
            _mm256_storeu_pd(sum + j, _mm256_add_pd(_mm256_loadu_pd(sum + j), four_wide(row + j)));
        for (; j < d; ++j) sum[j] += double(row[j]);
    }
}

// out = float(double(x) - mean) for the rows [lo, hi); with sq, also
// sq[j] += (double(x) - mean)^2. Returns whether every written value is finite.
template <typename T>
bool centre_rows(const T *X, int d, int64_t ld, int lo, int hi, const double *mean, float *out,
                 double *sq) {
    // x - x is +0.0 for a finite x and NaN otherwise: OR-ing the differences
    // leaves a NaN pattern exactly when some value was not finite.
    __m256 spread = _mm256_setzero_ps();
    bool finite = true;
    for (int i = lo; i < hi; ++i) {
        const T *row = X + at(i, ld);
        float *dst = out + at(i, d);
        int j = 0;
        for (; j + 8 <= d; j += 8) {
            const __m256d a = _mm256_sub_pd(four_wide(row + j), _mm256_loadu_pd(mean + j));
            const __m256d b = _mm256_sub_pd(four_wide(row + j + 4), _mm256_loadu_pd(mean + j + 4));
            const __m256 f = _mm256_set_m128(_mm256_cvtpd_ps(b), _mm256_cvtpd_ps(a));
            _mm256_storeu_ps(dst + j, f);
            spread = _mm256_or_ps(spread, _mm256_sub_ps(f, f));
            if (sq) {
                _mm256_storeu_pd(sq + j, _mm256_add_pd(_mm256_loadu_pd(sq + j), _mm256_mul_pd(a, a)));
                _mm256_storeu_pd(sq + j + 4,
                                 _mm256_add_pd(_mm256_loadu_pd(sq + j + 4), _mm256_mul_pd(b, b)));
            }
        }
        for (; j < d; ++j) {
            const double diff = double(row[j]) - mean[j];
            const float f = float(diff);
            dst[j] = f;
            finite = finite && f - f == 0.0f;
            if (sq) sq[j] += diff * diff;
        }
    }
    const __m256 unequal = _mm256_cmp_ps(spread, _mm256_setzero_ps(), _CMP_NEQ_UQ);
    return finite && _mm256_movemask_ps(unequal) == 0;
}

// total[j] = the sum over blocks, in block order, of partial[b][j].
void combine_blocks(const std::vector<double> &partial, int n_blocks, int d, double *total) {
    for (int j = 0; j < d; ++j) total[j] = 0.0;
    for (int b = 0; b < n_blocks; ++b)
        for (int j = 0; j < d; ++j) total[j] += partial[at(b, d) + j];
}

template <typename T>
int centre(int n, int d, const T *X, int64_t ld, double *mean, int find_mean, float *out,
           double *variance, int n_threads) {
    if (n < 1 || d < 1 || ld < d) return TAVRINE_ERR_ARGS;
    try {
        const int n_blocks = (n - 1) / kBlockRows + 1;
        const bool sums = find_mean || variance;
        std::vector<double> partial(sums ? at(n_blocks, d) : 0, 0.0);
        std::vector<double> col_sq(variance ? d : 0);
        const int team = team_for_work(n_threads, int64_t(n) * d);
        bool finite = true;
#pragma omp parallel num_threads(team) if (team > 1)
        {
            if (find_mean) {
#pragma omp for schedule(static)
                for (int b = 0; b < n_blocks; ++b)
                    add_rows(X, d, ld, b * kBlockRows, std::min(n, (b + 1) * kBlockRows),
                             &partial[at(b, d)]);
#pragma omp single
                {
                    combine_blocks(partial, n_blocks, d, mean);
                    for (int j = 0; j < d; ++j) mean[j] /= n;
                    if (variance) std::fill(partial.begin(), partial.end(), 0.0);
                }
            }
#pragma omp for schedule(static) reduction(&& : finite)
            for (int b = 0; b < n_blocks; ++b)
                finite = centre_rows(X, d, ld, b * kBlockRows, std::min(n, (b + 1) * kBlockRows),
                                     mean, out, variance ? &partial[at(b, d)] : nullptr) &&
                         finite;
        }
        if (variance) {
            combine_blocks(partial, n_blocks, d, col_sq.data());
            double total = 0.0;
            for (int j = 0; j < d; ++j) total += col_sq[j] / n;
            *variance = total / d;
        }
        return finite ? 0 : 1;
    } catch (const std::bad_alloc &) {
        return TAVRINE_ERR_NOMEM;
    }
}

}  // namespace

int tavrine_centre_f32(int n, int d, const float *X, int64_t ld, double *mean, int find_mean,
                       float *out, double *variance, int n_threads) {
    return centre(n, d, X, ld, mean, find_mean, out, variance, n_threads);
}

int tavrine_centre_f64(int n, int d, const double *X, int64_t ld, double *mean, int find_mean,
                       float *out, double *variance, int n_threads) {
    return centre(n, d, X, ld, mean, find_mean, out, variance, n_threads);
}
