// SPDX-License-Identifier: BSD-3-Clause
//
// The estimator's copy of its data: float64 column means, then the float32
// rows double(x) - mean. One pass over X sums the columns, a second writes
// the centred copy and, for a fit, the squared differences. Every sum is
// taken over fixed blocks of rows and the blocks' partial sums are added in
// block order, so no result depends on the number of threads.
#include <algorithm>
#include <new>
#include <vector>

#include "common.h"

using namespace tavrine;

namespace {

constexpr int kBlockRows = 1024;  // rows per partial sum; fixes the order of every addition
constexpr int kGroup = 4;         // rows added together before they reach a column's sum

inline __m256d four_wide(const float *p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
inline __m256d four_wide(const double *p) { return _mm256_loadu_pd(p); }

static_assert(kGroup == 4, "group_sum adds four rows");

// (v0 + v1) + (v2 + v3): a group's contribution, added to a column's sum at
// once; a lone row's is v0.
template <int G = kGroup>
inline __m256d group_sum(const __m256d (&v)[kGroup]) {
    if constexpr (G == 1) return v[0];
    else return _mm256_add_pd(_mm256_add_pd(v[0], v[1]), _mm256_add_pd(v[2], v[3]));
}
template <int G = kGroup>
inline double group_sum(const double (&v)[kGroup]) {
    if constexpr (G == 1) return v[0];
    else return (v[0] + v[1]) + (v[2] + v[3]);
}

// sum[j] += x[i][j] for the rows [R, R + G) from row (row stride ld), G =
// kGroup or 1.
template <int G, typename T>
void add_group(const T *row, int d, int64_t ld, double *sum) {
    int j = 0;
    for (; j + 4 <= d; j += 4) {
        __m256d v[kGroup];
        for (int g = 0; g < G; ++g) v[g] = four_wide(row + at(g, ld) + j);
        _mm256_storeu_pd(sum + j, _mm256_add_pd(_mm256_loadu_pd(sum + j), group_sum<G>(v)));
    }
    for (; j < d; ++j) {
        double v[kGroup];
        for (int g = 0; g < G; ++g) v[g] = double(row[at(g, ld) + j]);
        sum[j] += group_sum<G>(v);
    }
}

// sum[j] += x[i][j] for the rows [lo, hi) of X: whole groups of rows first,
// then the rows left one by one.
template <typename T>
void add_rows(const T *X, int d, int64_t ld, int lo, int hi, double *sum) {
    int i = lo;
    for (; i + kGroup <= hi; i += kGroup) add_group<kGroup>(X + at(i, ld), d, ld, sum);
    for (; i < hi; ++i) add_group<1>(X + at(i, ld), d, ld, sum);
}

// Writes float(x - mean) for the 8 values at x to dst and returns the float64
// differences, lanes 0-3 in lo and 4-7 in hi. x - x is +0.0 for a finite x
// and NaN otherwise, so OR-ing the written values' differences into spread
// leaves a NaN pattern exactly when one was not finite.
template <typename T>
inline void centre8(const T *x, const double *mean, float *dst, __m256 &spread, __m256d &lo,
                    __m256d &hi) {
    lo = _mm256_sub_pd(four_wide(x), _mm256_loadu_pd(mean));
    hi = _mm256_sub_pd(four_wide(x + 4), _mm256_loadu_pd(mean + 4));
    const __m256 f = _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo));
    _mm256_storeu_ps(dst, f);
    spread = _mm256_or_ps(spread, _mm256_sub_ps(f, f));
}

// The same for one value; returns its float64 difference.
inline double centre1(double x, double mean, float *dst, bool &finite) {
    const double diff = x - mean;
    const float f = float(diff);
    *dst = f;
    finite = finite && f - f == 0.0f;
    return diff;
}

// out = float(double(x) - mean) for the rows [R, R + G) of X, G = kGroup or 1;
// with sq, also sq[j] += the group's sum of (double(x) - mean)^2.
template <int G, typename T>
void centre_group(const T *X, int d, int64_t ld, int R, const double *mean, float *out,
                  double *sq, __m256 &spread, bool &finite) {
    const T *row = X + at(R, ld);
    float *dst = out + at(R, d);
    int j = 0;
    for (; j + 8 <= d; j += 8) {
        __m256d lo[kGroup], hi[kGroup];
        for (int g = 0; g < G; ++g)
            centre8(row + at(g, ld) + j, mean + j, dst + at(g, d) + j, spread, lo[g], hi[g]);
        if (!sq) continue;
        for (int g = 0; g < G; ++g) {
            lo[g] = _mm256_mul_pd(lo[g], lo[g]);
            hi[g] = _mm256_mul_pd(hi[g], hi[g]);
        }
        _mm256_storeu_pd(sq + j, _mm256_add_pd(_mm256_loadu_pd(sq + j), group_sum<G>(lo)));
        _mm256_storeu_pd(sq + j + 4, _mm256_add_pd(_mm256_loadu_pd(sq + j + 4), group_sum<G>(hi)));
    }
    for (; j < d; ++j) {
        double e[kGroup];
        for (int g = 0; g < G; ++g) {
            const double diff = centre1(double(row[at(g, ld) + j]), mean[j], dst + at(g, d) + j,
                                        finite);
            e[g] = diff * diff;
        }
        if (sq) sq[j] += group_sum<G>(e);
    }
}

// out = float(double(x) - mean) for the rows [lo, hi); with sq, also
// sq[j] += (double(x) - mean)^2, by groups of rows as add_rows sums them.
// Returns whether every written value is finite.
template <typename T>
bool centre_rows(const T *X, int d, int64_t ld, int lo, int hi, const double *mean, float *out,
                 double *sq) {
    __m256 spread = _mm256_setzero_ps();
    bool finite = true;
    int i = lo;
    for (; i + kGroup <= hi; i += kGroup)
        centre_group<kGroup>(X, d, ld, i, mean, out, sq, spread, finite);
    for (; i < hi; ++i) centre_group<1>(X, d, ld, i, mean, out, sq, spread, finite);
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
            // centre_rows first: every block is written, whatever came before.
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
