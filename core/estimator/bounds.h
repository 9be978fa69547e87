// SPDX-License-Identifier: BSD-3-Clause
//
// The drift loop's bound arithmetic: the exactness margin of a score, the
// factors that loosen bounds away from their side, the squared norms every
// score is taken against, and the rounding of drifts and losses to float.
// Inline, as the filter and the scans call it per point. Internal; not
// installed.
#ifndef TAVRINE_BOUNDS_H
#define TAVRINE_BOUNDS_H

#include <cmath>
#include <cstring>

#include "estimator/drift.h"

namespace tavrine::drift {

constexpr float kInf = __builtin_inff(), kNaN = __builtin_nanf("");

// Exactness margin. Let u = 2^-24, g = d8 u / (1 - d8 u). P(x,c) = -2 x.c is one FMA chain of
// d8 terms, within 2g|x||c| of exact; |c|^2, |x|^2 are chains too, within g|c|^2, g|x|^2; the
// score s = P + |c|^2 and q = |x|^2 + s add one rounding each. So s is within
// (g + u)(|x| + |c|)^2 of -2x.c + |c|^2, and q within (g + 2u)(|x| + |c|)^2 of |x - c|^2. Take
// E = (2 d8 + 32) u (|x| + R)^2 with R >= every |c|: the float steps that turn q into a bound (one
// addition of E, a square root, a scaling by 1 -/+ 2^-21) fit in E's slack, so lb = sqrt(q - E)
// <= |x - c| and ub = sqrt(q + E) >= |x - a|. A center c is ruled out only when lb^2 > ub^2 + E:
// then |x - c|^2 - |x - a|^2 > E >= 2 (g + u)(|x| + R)^2 covers both scores' errors, s(c) > s(a)
// strictly, and c can neither win nor tie. Loosening rounds away from the bound's side,
// (lb - drift)(1 - 2^-22) and (ub + drift)(1 + 2^-22), with every drift rounded up.
// Sparse rows (sparse.h, sparse_margin) take the same E with d8 replaced by the row's
// nonzero count rounded up to a multiple of 8: their norms are rounded once from double.
constexpr float kLoosenDown = 1.0f - 0x1p-22f, kLoosenUp = 1.0f + 0x1p-22f;
constexpr float kRootDown = 1.0f - 0x1p-21f, kRootUp = 1.0f + 0x1p-21f;
static inline float margin_rate(int d8) { return float(2 * d8 + 32) * 0x1p-24f; }

// Drifts and losses come from double arithmetic (the square root of a sum of
// squares, the difference of running sums), which can round them down by
// about the operation count times 2^-53. Scaling by 1 + 2^-40 before the
// rounding up to float covers that for sums of thousands of terms, so a bound
// loosened by the float never falls short of the exact drift.
constexpr double kDoubleSlack = 1.0 + 0x1p-40;

// A float at least v (v >= 0).
static inline float round_up_float(double v) {
    float f = float(v);
    if (double(f) < v) f = std::nextafter(f, kInf);
    return f;
}

// |row|^2 over d8 floats, eight lanes then their sum: the one way the loop,
// the bounds and the nearest-center routine take squared norms.
static inline float sq_norm(const float *row, int d8) {
    __m256 acc = _mm256_setzero_ps();
    for (int o = 0; o < d8; o += 8) {
        const __m256 v = _mm256_loadu_ps(row + o);
        acc = _mm256_fmadd_ps(v, v, acc);
    }
    return hsum_halves(acc);
}

// Row r of X (dense, d columns) into out, padded with zeros to d8.
static inline void copy_padded(const float *X, int d, int d8, int64_t r, float *out) {
    const float *src = X + at(r, d);
    if (d == d8) {
        std::memcpy(out, src, at(d, 1) * sizeof(float));
        return;
    }
    const int whole = d & ~7;
    for (int o = 0; o < whole; o += 8) _mm256_storeu_ps(out + o, _mm256_loadu_ps(src + o));
    _mm256_storeu_ps(out + whole, masked_read(src + whole, d - whole));
}

// Point p as the loop sees it (seen8), padded with zeros to d8.
static inline void seen_row(const run_state &r, int64_t p, float *out) {
    copy_padded(r.X, r.d, r.d8, p, out);
    for (int o = 0; o < r.d8; o += 8) _mm256_storeu_ps(out + o, seen8(r, _mm256_loadu_ps(out + o), o));
}

// An upper bound on |x - c| for point p (as the loop sees it) and a padded
// center c, from float differences. Each lane is a chain of at most d8/16 + 1 FMAs and the
// lanes meet in four additions, so with m = d8/8 + 4 the sum s is within
// gamma_m s of the rounded differences' squares, which are within (1 + u)^2
// of the exact ones (u = 2^-24). s (1 + (2m + 10) u), its square root and the
// scaling by 1 + 2^-21, each rounding once, then stay above |x - c| while
// m u <= 1/8 (d < 2^24); 2^-100 covers products lost to underflow.
static inline float distance_bound(const run_state &r, int64_t p, const float *c) {
    const int d = r.d, d8 = r.d8;
    const float *x = r.X + at(p, d);
    __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
    const int whole = d & ~15;
    for (int o = 0; o < whole; o += 16) {
        const __m256 g0 = _mm256_sub_ps(seen8(r, _mm256_loadu_ps(x + o), o), _mm256_loadu_ps(c + o));
        const __m256 g1 =
            _mm256_sub_ps(seen8(r, _mm256_loadu_ps(x + o + 8), o + 8), _mm256_loadu_ps(c + o + 8));
        acc0 = _mm256_fmadd_ps(g0, g0, acc0);
        acc1 = _mm256_fmadd_ps(g1, g1, acc1);
    }
    for (int o = whole; o < d; o += 8) {
        const __m256 g = _mm256_sub_ps(seen8(r, masked_read(x + o, std::min(8, d - o)), o),
                                       _mm256_loadu_ps(c + o));
        acc0 = _mm256_fmadd_ps(g, g, acc0);
    }
    const float s = hsum_halves(_mm256_add_ps(acc0, acc1));
    const float rate = float(2 * (d8 / 8 + 4) + 10) * 0x1p-24f;
    return std::sqrt(std::fma(s, rate, s) + 0x1p-100f) * kRootUp;
}

// Point p's margin E (above), from its norm rounded up and the largest
// center norm.
static inline float margin_of(const run_state &r, int64_t p) {
    const float span = r.x_len[p] + r.radius;
    return margin_rate(r.d8) * span * span + 0x1p-100f;
}

// Float64 input. The loop's x and c are float(v) and float(c64), each within
// u |v| and u |c64| of them (u = 2^-24), so a float distance |x - c| is
// within delta = u (|v| + R) of the double one |v - c64|. A center whose lower
// bound exceeds ub + 2 delta is then strictly farther in double than the
// point's own. widen = 2^-22 makes w = widen (|x| + R) at least twice 2 delta
// (|x| rounded up, R the float radius), and ub + w, rounded, is raised by
// widen of itself again; without float64 input widen is 0 and the threshold
// is the float one.
constexpr float kWiden = 0x1p-22f;

// What a lower bound must exceed to rule a center out for point p, whose own
// center is within ub: sqrt(ub^2 + E), ub widened as above with float64 input.
static inline float threshold_of(const run_state &r, int64_t p, float ub, float margin) {
    float u = ub;
    if (r.widen > 0.0f) {
        const float v = ub + r.widen * (r.x_len[p] + r.radius);
        u = std::fma(v, r.widen, v);
    }
    return std::sqrt(std::fma(u, u, margin)) * kRootUp;
}

// margin_of, threshold_of and the bounds' roots for eight points at once,
// in the same order of operations: the same floats.
struct lane_bounds {
    __m256 rate, radius, widen, zero = _mm256_setzero_ps();
    bool widened;

    explicit lane_bounds(const run_state &r)
        : rate(_mm256_set1_ps(margin_rate(r.d8))), radius(_mm256_set1_ps(r.radius)),
          widen(_mm256_set1_ps(r.widen)), widened(r.widen > 0.0f) {}

    __m256 span(__m256 x_len) const { return _mm256_add_ps(x_len, radius); }
    __m256 margin(__m256 span) const {
        return _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(rate, span), span),
                             _mm256_set1_ps(0x1p-100f));
    }
    // sqrt(max(v, 0)) * factor; max(zero, v) keeps a NaN, as std::max(v, 0.0f) does.
    __m256 root(__m256 v, float factor) const {
        return _mm256_mul_ps(_mm256_sqrt_ps(_mm256_max_ps(zero, v)), _mm256_set1_ps(factor));
    }
    __m256 threshold(__m256 u, __m256 span, __m256 margin) const {
        if (widened) {
            const __m256 v = _mm256_add_ps(u, _mm256_mul_ps(widen, span));
            u = _mm256_fmadd_ps(v, widen, v);
        }
        return _mm256_mul_ps(_mm256_sqrt_ps(_mm256_fmadd_ps(u, u, margin)), _mm256_set1_ps(kRootUp));
    }
};

}  // namespace tavrine::drift

#endif
