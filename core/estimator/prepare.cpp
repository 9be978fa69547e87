// SPDX-License-Identifier: BSD-3-Clause
//
// The estimator's copy of its data: float64 column means, then the float32
// rows scale * (double(x) - mean). One pass over X sums the columns and finds
// their extremes, hence the spread the caller picks the scale from; a second
// writes the scaled, centred copy and, for a fit, the squared differences.
// A power-of-two scale is exact, and it keeps float32 squared distances in
// range whatever the magnitude of the data. Every sum is
// taken over fixed spans of rows and the spans' partial sums are added in
// span order, so no result depends on the number of threads.
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "common.h"

using namespace tavrine;

namespace {

constexpr int kSpanRows = 1024;  // rows per partial sum; fixes the order of every addition
constexpr int kBundle = 4;       // rows added together before they reach a column's sum

inline __m256d four_wide(const float *p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
inline __m256d four_wide(const double *p) { return _mm256_loadu_pd(p); }

static_assert(kBundle == 4, "bundle_sum adds four rows");

// (v0 + v1) + (v2 + v3): a bundle's contribution, added to a column's sum at
// once; a lone row's is v0.
template <int G = kBundle>
inline __m256d bundle_sum(const __m256d (&v)[kBundle]) {
    if constexpr (G == 1) return v[0];
    else return _mm256_add_pd(_mm256_add_pd(v[0], v[1]), _mm256_add_pd(v[2], v[3]));
}
template <int G = kBundle>
inline double bundle_sum(const double (&v)[kBundle]) {
    if constexpr (G == 1) return v[0];
    else return (v[0] + v[1]) + (v[2] + v[3]);
}

// Per column of a span of rows: the sum, the least and the largest value.
struct extent {
    double *sum, *low, *high;
};

// sum[j] += x[i][j], and low[j] / high[j] take in x[i][j], for the rows
// [R, R + G) from row (row stride ld), G = kBundle or 1.
template <int G, typename T>
void add_bundle(const T *row, int d, int64_t ld, const extent &e) {
    int j = 0;
    for (; j + 4 <= d; j += 4) {
        __m256d v[kBundle];
        for (int g = 0; g < G; ++g) v[g] = four_wide(row + at(g, ld) + j);
        __m256d low = _mm256_loadu_pd(e.low + j), high = _mm256_loadu_pd(e.high + j);
        for (int g = 0; g < G; ++g) {
            low = _mm256_min_pd(low, v[g]);
            high = _mm256_max_pd(high, v[g]);
        }
        _mm256_storeu_pd(e.low + j, low);
        _mm256_storeu_pd(e.high + j, high);
        _mm256_storeu_pd(e.sum + j, _mm256_add_pd(_mm256_loadu_pd(e.sum + j), bundle_sum<G>(v)));
    }
    for (; j < d; ++j) {
        double v[kBundle];
        for (int g = 0; g < G; ++g) {
            v[g] = double(row[at(g, ld) + j]);
            e.low[j] = std::min(e.low[j], v[g]);
            e.high[j] = std::max(e.high[j], v[g]);
        }
        e.sum[j] += bundle_sum<G>(v);
    }
}

// add_bundle over the rows [lo, hi) of X: whole bundles of rows first, then
// the rows left one by one.
template <typename T>
void add_rows(const T *X, int d, int64_t ld, int lo, int hi, const extent &e) {
    int i = lo;
    for (; i + kBundle <= hi; i += kBundle) add_bundle<kBundle>(X + at(i, ld), d, ld, e);
    for (; i < hi; ++i) add_bundle<1>(X + at(i, ld), d, ld, e);
}

// Writes float(scale * (x - mean)) for the 8 values at x to dst and returns
// the scaled float64 differences, lanes 0-3 in lo and 4-7 in hi. x - x is
// +0.0 for a finite x
// and NaN otherwise, so OR-ing the written values' differences into spread
// leaves a NaN pattern exactly when one was not finite.
template <typename T>
inline void centre8(const T *x, const double *mean, __m256d scale, float *dst, __m256 &spread,
                    __m256d &lo, __m256d &hi) {
    lo = _mm256_mul_pd(_mm256_sub_pd(four_wide(x), _mm256_loadu_pd(mean)), scale);
    hi = _mm256_mul_pd(_mm256_sub_pd(four_wide(x + 4), _mm256_loadu_pd(mean + 4)), scale);
    const __m256 f = _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo));
    if (dst) _mm256_storeu_ps(dst, f);
    spread = _mm256_or_ps(spread, _mm256_sub_ps(f, f));
}

// The same for one value; returns its float64 difference.
inline double centre1(double x, double mean, double scale, float *dst, bool &finite) {
    const double diff = (x - mean) * scale;
    const float f = float(diff);
    if (dst) *dst = f;
    finite = finite && f - f == 0.0f;
    return diff;
}

// out = float(scale * (double(x) - mean)) for the rows [R, R + G) of X, G =
// kBundle or 1; with sq, also sq[j] += the bundle's sum of the squares of the
// scaled float64 differences.
template <int G, typename T>
void centre_bundle(const T *X, int d, int64_t ld, int R, const double *mean, double scale,
                  float *out, double *sq, __m256 &spread, bool &finite) {
    const T *row = X + at(R, ld);
    float *dst = out ? out + at(R, d) : nullptr;  // null: nothing written
    const __m256d scale4 = _mm256_set1_pd(scale);
    int j = 0;
    for (; j + 8 <= d; j += 8) {
        __m256d lo[kBundle], hi[kBundle];
        for (int g = 0; g < G; ++g)
            centre8(row + at(g, ld) + j, mean + j, scale4, dst ? dst + at(g, d) + j : nullptr,
                    spread, lo[g], hi[g]);
        if (!sq) continue;
        for (int g = 0; g < G; ++g) {
            lo[g] = _mm256_mul_pd(lo[g], lo[g]);
            hi[g] = _mm256_mul_pd(hi[g], hi[g]);
        }
        _mm256_storeu_pd(sq + j, _mm256_add_pd(_mm256_loadu_pd(sq + j), bundle_sum<G>(lo)));
        _mm256_storeu_pd(sq + j + 4, _mm256_add_pd(_mm256_loadu_pd(sq + j + 4), bundle_sum<G>(hi)));
    }
    for (; j < d; ++j) {
        double e[kBundle];
        for (int g = 0; g < G; ++g) {
            const double diff = centre1(double(row[at(g, ld) + j]), mean[j], scale,
                                        dst ? dst + at(g, d) + j : nullptr, finite);
            e[g] = diff * diff;
        }
        if (sq) sq[j] += bundle_sum<G>(e);
    }
}

// out = float(scale * (double(x) - mean)) for the rows [lo, hi); with sq,
// also sq[j] += (scale * (double(x) - mean))^2, by bundles of rows as
// add_rows sums them. Returns whether every written value is finite.
template <typename T>
bool centre_rows(const T *X, int d, int64_t ld, int lo, int hi, const double *mean, double scale,
                 float *out, double *sq) {
    __m256 spread = _mm256_setzero_ps();
    bool finite = true;
    int i = lo;
    for (; i + kBundle <= hi; i += kBundle)
        centre_bundle<kBundle>(X, d, ld, i, mean, scale, out, sq, spread, finite);
    for (; i < hi; ++i) centre_bundle<1>(X, d, ld, i, mean, scale, out, sq, spread, finite);
    const __m256 unequal = _mm256_cmp_ps(spread, _mm256_setzero_ps(), _CMP_NEQ_UQ);
    return finite && _mm256_movemask_ps(unequal) == 0;
}

// total[j] = the sum over spans, in span order, of partial[sp][j].
void combine_spans(const std::vector<double> &partial, int n_spans, int d, double *total) {
    for (int j = 0; j < d; ++j) total[j] = 0.0;
    for (int sp = 0; sp < n_spans; ++sp)
        for (int j = 0; j < d; ++j) total[j] += partial[at(sp, d) + j];
}

// col_low[j] / col_high[j] = the least of low[sp][j] / the largest of high[sp][j] over the spans.
void extremes(const std::vector<double> &low, const std::vector<double> &high, int n_spans,
              int d, double *col_low, double *col_high) {
    for (int j = 0; j < d; ++j) {
        col_low[j] = low[j];
        col_high[j] = high[j];
    }
    for (int sp = 1; sp < n_spans; ++sp)
        for (int j = 0; j < d; ++j) {
            col_low[j] = std::min(col_low[j], low[at(sp, d) + j]);
            col_high[j] = std::max(col_high[j], high[at(sp, d) + j]);
        }
}

// The column means, and in *spread the largest |x - mean| over all values
// (rounding is monotone, so the column's extremes give it). Returns whether
// both are finite: a NaN or infinity in X, or a float64 sum or difference
// that overflows, leaves them not so.
template <typename T>
bool find_mean(int n, int d, const T *X, int64_t ld, int n_spans, int team, double *mean,
               double *spread) {
    std::vector<double> sum(at(n_spans, d), 0.0);
    std::vector<double> low(at(n_spans, d), HUGE_VAL), high(at(n_spans, d), -HUGE_VAL);
#pragma omp parallel for num_threads(team) if (team > 1) schedule(static)
    for (int sp = 0; sp < n_spans; ++sp)
        add_rows(X, d, ld, sp * kSpanRows, std::min(n, (sp + 1) * kSpanRows),
                 extent{&sum[at(sp, d)], &low[at(sp, d)], &high[at(sp, d)]});
    combine_spans(sum, n_spans, d, mean);
    std::vector<double> col_low(d), col_high(d);
    extremes(low, high, n_spans, d, col_low.data(), col_high.data());
    double widest = 0.0;
    bool finite = true;
    for (int j = 0; j < d; ++j) {
        mean[j] /= n;
        const double reach = std::max(col_high[j] - mean[j], mean[j] - col_low[j]);
        finite = finite && std::isfinite(mean[j]) && std::isfinite(reach);
        widest = std::max(widest, reach);
    }
    if (spread) *spread = finite ? widest : HUGE_VAL;
    return finite;
}

template <typename T>
int centre(int n, int d, const T *X, int64_t ld, double *mean, int find, double *spread,
           double scale, float *out, double *variance, int n_threads) {
    if (n < 1 || d < 1 || ld < d || !(scale > 0.0 && scale < HUGE_VAL))
        return TAVRINE_ERR_ARGS;
    try {
        const int n_spans = (n - 1) / kSpanRows + 1;
        const int team = team_for_work(n_threads, int64_t(n) * d);
        if (find && !find_mean(n, d, X, ld, n_spans, team, mean, spread)) return 1;
        if (!out && !variance) return 0;
        std::vector<double> partial(variance ? at(n_spans, d) : 0, 0.0);
        bool finite = true;
#pragma omp parallel for num_threads(team) if (team > 1) schedule(static) \
    reduction(&& : finite)
        for (int sp = 0; sp < n_spans; ++sp)
            finite = centre_rows(X, d, ld, sp * kSpanRows, std::min(n, (sp + 1) * kSpanRows), mean,
                                 scale, out, variance ? &partial[at(sp, d)] : nullptr) &&
                     finite;
        if (variance) {
            std::vector<double> col_sq(d);
            combine_spans(partial, n_spans, d, col_sq.data());
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
                       double *spread, double scale, float *out, double *variance,
                       int n_threads) {
    return centre(n, d, X, ld, mean, find_mean, spread, scale, out, variance, n_threads);
}

int tavrine_centre_f64(int n, int d, const double *X, int64_t ld, double *mean, int find_mean,
                       double *spread, double scale, float *out, double *variance,
                       int n_threads) {
    return centre(n, d, X, ld, mean, find_mean, spread, scale, out, variance, n_threads);
}
