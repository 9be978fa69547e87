// SPDX-License-Identifier: BSD-3-Clause
//
// The estimator's Lloyd loop with group drift bounds, and the nearest-center
// routine that labels by the same scores. Every point keeps an upper bound on
// the distance to its own center, a global lower bound on the others, and one
// lower bound per group of centers (the groups are k-means of the initial
// centers, formed once). After each center update the upper and global bounds
// loosen by the drifts; the group bounds are aged lazily, only for points the
// global bound does not settle. A point the loosened bounds do not settle
// first takes the distance to its own center, then its group bounds. A
// survivor scans its own group (or, when that group's bound rules out its
// other members, scores its own center alone), then only the groups the
// tightened bound leaves open; a point with most groups open is scanned over
// all of them. Points are packed per group (or once, for the all-groups list)
// and the group's centers run against them as the rows of packed_product, one
// lane per point: each product is one FMA chain in column order either way
// round, so a score P(x, c) + |c|^2 is the same whatever points and centers
// are batched with it, and the label is the first minimum over all k centers,
// as a full scan gives.
//
// Center sums are double, updated from the list of changed points in point
// order (each center and column owned by one worker): the result does not
// depend on the thread count, and an iteration that moves few points costs
// few additions.
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "estimator/drift.h"

using namespace tavrine;
using namespace tavrine::drift;

namespace {

constexpr float kInf = __builtin_inff(), kNaN = __builtin_nanf("");
// Rows per product of the nearest-center routine: their scores stay in L2.
constexpr int kAssignRows = 256;
// Target number of centers per group, and Lloyd steps that form the groups.
constexpr int kCentersPerGroup = 10;
constexpr int kGroupSteps = 5;

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
constexpr float kLoosenDown = 1.0f - 0x1p-22f, kLoosenUp = 1.0f + 0x1p-22f;
constexpr float kRootDown = 1.0f - 0x1p-21f, kRootUp = 1.0f + 0x1p-21f;
inline float margin_rate(int d8) { return float(2 * d8 + 32) * 0x1p-24f; }

// Test switch: 1 checks every assignment against a full scan and the bounds
// against float64 distances; 2 also drops the drifts (a fault the check must see).
std::atomic<int> check_level{0};
std::atomic<int64_t> check_faults{0};

// |row|^2 over d8 floats, eight lanes then their sum: the one way the loop,
// the bounds and the nearest-center routine take squared norms.
inline float sq_norm(const float *row, int d8) {
    __m256 acc = _mm256_setzero_ps();
    for (int o = 0; o < d8; o += 8) {
        const __m256 v = _mm256_loadu_ps(row + o);
        acc = _mm256_fmadd_ps(v, v, acc);
    }
    return hsum_halves(acc);
}

// Row r of X (dense, d columns) into out, padded with zeros to d8.
inline void copy_padded(const float *X, int d, int d8, int64_t r, float *out) {
    const float *src = X + at(r, d);
    if (d == d8) {
        std::memcpy(out, src, at(d, 1) * sizeof(float));
        return;
    }
    const int whole = d & ~7;
    for (int o = 0; o < whole; o += 8) _mm256_storeu_ps(out + o, _mm256_loadu_ps(src + o));
    _mm256_storeu_ps(out + whole, masked_read(src + whole, d - whole));
}

// An upper bound on |x - c| for a dense row x and a padded center c, from
// float differences. Each lane is a chain of at most d8/16 + 1 FMAs and the
// lanes meet in four additions, so with m = d8/8 + 4 the sum s is within
// gamma_m s of the rounded differences' squares, which are within (1 + u)^2
// of the exact ones (u = 2^-24). s (1 + (2m + 10) u), its square root and the
// scaling by 1 + 2^-21, each rounding once, then stay above |x - c| while
// m u <= 1/8 (d < 2^24); 2^-100 covers products lost to underflow.
inline float distance_bound(const float *x, const float *c, int d, int d8) {
    __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
    const int whole = d & ~15;
    for (int o = 0; o < whole; o += 16) {
        const __m256 g0 = _mm256_sub_ps(_mm256_loadu_ps(x + o), _mm256_loadu_ps(c + o));
        const __m256 g1 = _mm256_sub_ps(_mm256_loadu_ps(x + o + 8), _mm256_loadu_ps(c + o + 8));
        acc0 = _mm256_fmadd_ps(g0, g0, acc0);
        acc1 = _mm256_fmadd_ps(g1, g1, acc1);
    }
    for (int o = whole; o < d; o += 8) {
        const __m256 g = _mm256_sub_ps(masked_read(x + o, std::min(8, d - o)), _mm256_loadu_ps(c + o));
        acc0 = _mm256_fmadd_ps(g, g, acc0);
    }
    const float s = hsum_halves(_mm256_add_ps(acc0, acc1));
    const float rate = float(2 * (d8 / 8 + 4) + 10) * 0x1p-24f;
    return std::sqrt(std::fma(s, rate, s) + 0x1p-100f) * kRootUp;
}

// A float at least v (v >= 0).
inline float round_up_float(double v) {
    float f = float(v);
    if (double(f) < v) f = std::nextafter(f, kInf);
    return f;
}

// Groups: t = about k / 10 (at least 1), and the bounds no larger than the
// point itself (d floats): one group takes 2 floats a point (upper and lower
// bound), t > 1 groups t + 3 (with the global bound and its epoch).
int group_count(int k, int d) {
    const int by_k = (k + kCentersPerGroup / 2) / kCentersPerGroup;
    const int t = std::min({by_k, d - 3, k});
    return t > 1 ? t : 1;
}


// ---- Centers in group order ------------------------------------------------


// Nearest of the rows of `means` (count x d8, padded) for every padded
// center, scores by packed_product and the first-minimum scan.
void nearest_means(const float *cen, int k, int d8, const float *means, int count,
                   int32_t *out) {
    const int c8 = round_up8(count);
    std::vector<float> packed(at(c8, d8)), norms(c8, 0.0f), scores(at(kAssignRows, c8));
    pack_centers(means, c8, d8, 0, center_panels(c8), packed.data());
    for (int j = 0; j < count; ++j) norms[j] = sq_norm(means + at(j, d8), d8);
    for (int lo = 0; lo < k; lo += kAssignRows) {
        const int m = std::min(kAssignRows, k - lo);
        packed_product(m, d8, c8, cen + at(lo, d8), d8, packed.data(), scores.data(), c8);
        for (int i = 0; i < m; ++i) out[lo + i] = nearest_of_row(&scores[at(i, c8)], norms.data(), count);
    }
}

// k-means of the initial centers into t groups, from centers spread evenly
// over the index range; groups left empty are dropped.
group_layout form_groups(const float *cen, int k, int d8, int t) {
    std::vector<float> means(at(round_up8(t), d8), 0.0f);
    for (int g = 0; g < t; ++g)
        std::memcpy(&means[at(g, d8)], cen + at(int64_t(g) * k / t, d8), at(d8, 1) * sizeof(float));
    std::vector<int32_t> of(k);
    std::vector<double> sums(at(t, d8));
    std::vector<int> counts(t);
    for (int step = 0; step < kGroupSteps; ++step) {
        nearest_means(cen, k, d8, means.data(), t, of.data());
        std::fill(sums.begin(), sums.end(), 0.0);
        std::fill(counts.begin(), counts.end(), 0);
        for (int j = 0; j < k; ++j) {
            ++counts[of[j]];
            for (int o = 0; o < d8; ++o) sums[at(of[j], d8) + o] += cen[at(j, d8) + o];
        }
        for (int g = 0; g < t; ++g)
            if (counts[g] > 0)
                for (int o = 0; o < d8; ++o)
                    means[at(g, d8) + o] = float(sums[at(g, d8) + o] / counts[g]);
    }
    nearest_means(cen, k, d8, means.data(), t, of.data());

    group_layout L;
    std::vector<int32_t> renumber(t, -1);
    std::fill(counts.begin(), counts.end(), 0);
    for (int j = 0; j < k; ++j) ++counts[of[j]];
    L.start.push_back(0);
    for (int g = 0; g < t; ++g)
        if (counts[g] > 0) {
            renumber[g] = L.t++;
            L.start.push_back(L.start.back() + counts[g]);
            L.widest = std::max(L.widest, counts[g]);
        }
    L.center.resize(k);
    L.of_center.resize(k);
    std::vector<int32_t> fill(L.start.begin(), L.start.end() - 1);
    for (int j = 0; j < k; ++j) {
        const int g = renumber[of[j]];
        L.of_center[j] = g;
        L.center[fill[g]++] = j;
    }
    return L;
}

// ---- Run state -------------------------------------------------------------


inline float margin_of(const run_state &r, int64_t p) {
    const float span = r.x_len[p] + r.radius;
    return margin_rate(r.d8) * span * span + 0x1p-100f;
}

// Points lo + entries[0 .. count-1] (lo + 0 .. count-1 without entries),
// packed as pack_centers lays out centers: panels of 16 (the last of 8), each
// d8 rows of its points' values; lanes past count are zero.
void pack_points(const run_state &r, int lo, const int32_t *entries, int count, float *out) {
    const int count8 = round_up8(count), d = r.d, d8 = r.d8;
    for (int j0 = 0; j0 < count8; j0 += 8) {
        const int panel = j0 & ~(kPanelCenters - 1);
        const int width = std::min(kPanelCenters, count8 - panel), lane = j0 - panel;
        const float *src[8];
        for (int q = 0; q < 8; ++q)
            src[q] = j0 + q < count ? r.X + at(lo + (entries ? entries[j0 + q] : j0 + q), d)
                                    : nullptr;
        float *dst = out + at(panel, d8) + lane;
        for (int o = 0; o < d8; o += 8) {
            const int m = std::min(8, d - o);
            __m256 v[8];
            for (int q = 0; q < 8; ++q)
                v[q] = src[q] == nullptr ? _mm256_setzero_ps()
                       : m == 8          ? _mm256_loadu_ps(src[q] + o)
                                         : masked_read(src[q] + o, m);
            transpose8(v);
            for (int c = 0; c < 8; ++c) _mm256_storeu_ps(dst + at(o + c, width), v[c]);
        }
    }
}

// Per lane j < width of rows (size rows of stride ld, width a multiple of 8):
// the lowest of rows[c][j] + norm[c] over c, its first c, and the lowest of
// the others.
void group_minima_8(const float *rows, int ld, int width, int size, const float *norm,
                    float *min1, float *min2, int32_t *nearest) {
    for (int j = 0; j < width; j += 8) {
        __m256 low = _mm256_set1_ps(kInf), next = low;
        __m256i who = _mm256_setzero_si256();
        for (int c = 0; c < size; ++c) {
            const __m256 score =
                _mm256_add_ps(_mm256_loadu_ps(rows + at(c, ld) + j), _mm256_set1_ps(norm[c]));
            const __m256 lower = _mm256_cmp_ps(score, low, _CMP_LT_OQ);
            next = _mm256_min_ps(next, _mm256_max_ps(low, score));
            low = _mm256_blendv_ps(low, score, lower);
            who = _mm256_castps_si256(_mm256_blendv_ps(
                _mm256_castsi256_ps(who), _mm256_castsi256_ps(_mm256_set1_epi32(c)), lower));
        }
        _mm256_storeu_ps(min1 + j, low);
        _mm256_storeu_ps(min2 + j, next);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(nearest + j), who);
    }
}

// Entries [from, to) of group g's bucket from the group's products (its
// centers by rows, the entries by lanes): per point, eight at once, the
// lowest score of the group, its center (the first on ties: slots go in
// center order), and the lowest score of the other members.
void scan_group(const run_state &r, scratch &s, int g, int from, int to, const float *rows,
                int64_t &products) {
    const int count = to - from, count8 = round_up8(count);
    const int base = r.L.start[g], size = r.L.size(g);
    const int32_t *entries = &s.bucket[at(g, s.chunk)];
    float *min1 = &s.min1[at(g, s.entries) + from], *min2 = &s.min2[at(g, s.entries) + from];
    int32_t *nearest = &s.nearest[at(g, s.entries) + from];
    const float *norm = &r.slot_norm[base];
    const int wide = kernel_lanes() == 16 ? count8 & ~15 : 0;
    if (wide > 0) group_minima_16(rows, count8, wide, size, norm, min1, min2, nearest);
    if (wide < count8)
        group_minima_8(rows + wide, count8, count8 - wide, size, norm, min1 + wide, min2 + wide,
                       nearest + wide);
    for (int e = 0; e < count; ++e) {
        const int i = entries[from + e], c = r.L.center[base + nearest[e]];
        if (min1[e] < s.best[i] || (min1[e] == s.best[i] && c < s.best_idx[i])) {
            s.best[i] = min1[e];
            s.best_idx[i] = c;
        }
    }
    products += int64_t(count) * size;
}

// Entries [from, to) of group g's bucket packed, the group's centers run as
// rows against them, then scanned.
void run_bucket(const run_state &r, scratch &s, int lo, int g, int from, int to,
                int64_t &products) {
    const int count = to - from;
    if (count <= 0) return;
    const int count8 = round_up8(count);
    pack_points(r, lo, &s.bucket[at(g, s.chunk)] + from, count, s.points.get());
    packed_product(r.L.size(g), r.d8, count8, &r.rows_by_slot[at(r.L.start[g], r.d8)], r.d8,
                   s.points.get(), s.products.get(), count8);
    scan_group(r, s, g, from, to, s.products.get(), products);
}

// The points of the every-group list (entries [0, count) of every bucket,
// packed once) against runs of whole groups of up to kBatchRows centers.
void run_every(const run_state &r, scratch &s, int count, int64_t &products) {
    const int count8 = round_up8(count);
    for (int g0 = 0; g0 < r.t;) {
        int g1 = g0 + 1;
        while (g1 < r.t && r.L.start[g1 + 1] - r.L.start[g0] <= kBatchRows) ++g1;
        const int rows = r.L.start[g1] - r.L.start[g0];
        packed_product(rows, r.d8, count8, &r.rows_by_slot[at(r.L.start[g0], r.d8)], r.d8,
                       s.every_points.get(), s.products.get(), count8);
        for (int g = g0; g < g1; ++g)
            scan_group(r, s, g, 0, count,
                       &s.products[at(r.L.start[g] - r.L.start[g0], count8)], products);
        g0 = g1;
    }
}

inline void push(scratch &s, int g, int i) { s.bucket[at(g, s.chunk) + s.bucket_n[g]++] = i; }

// A survivor's scan starts from nothing; its margin is taken once.
inline void start_best(const run_state &r, scratch &s, int lo, int i, float margin) {
    s.best[i] = kInf;
    s.best_idx[i] = INT32_MAX;
    s.own_score[i] = kNaN;
    s.margin[i] = margin;
    s.low_base[i] = r.x_norm[lo + i] - margin;
}

// Scores of listed points against their own centers, eight points at a time
// with points and centers transposed into lanes: each is the same FMA chain
// in column order as the packed product's, so it equals a full scan's score.
// The scan of the other open groups starts from it.
void own_scores(const run_state &r, scratch &s, int lo, int count) {
    const int d = r.d, d8 = r.d8;
    for (int e0 = 0; e0 < count; e0 += 8) {
        const int m = std::min(8, count - e0);
        const float *x[8], *c[8];
        for (int q = 0; q < 8; ++q) {
            const int64_t p = lo + s.own[e0 + std::min(q, m - 1)];
            x[q] = r.X + at(p, d);
            c[q] = &r.cen[at(r.y[p], d8)];
        }
        __m256 acc = _mm256_setzero_ps();
        for (int o = 0; o < d8; o += 8) {
            const int width = std::min(8, d - o);
            __m256 xv[8], cv[8];
            for (int q = 0; q < 8; ++q) {
                xv[q] = width == 8 ? _mm256_loadu_ps(x[q] + o) : masked_read(x[q] + o, width);
                cv[q] = _mm256_loadu_ps(c[q] + o);
            }
            transpose8(xv);
            transpose8(cv);
            for (int j = 0; j < 8; ++j) acc = _mm256_fmadd_ps(xv[j], cv[j], acc);
        }
        float product[8];
        _mm256_storeu_ps(product, _mm256_mul_ps(acc, _mm256_set1_ps(-2.0f)));
        for (int q = 0; q < m; ++q) {
            const int i = s.own[e0 + q], label = r.y[lo + i];
            s.best[i] = s.own_score[i] = product[q] + r.c_norm[label];
            s.best_idx[i] = label;
        }
    }
}

// Point p's group bounds, stamped some epochs ago, brought up to this one.
inline void bring_up_to_date(run_state &r, int64_t p) {
    if (r.t == 1) return;
    const int age = r.epoch - r.stamp[p];
    if (age == 0) return;
    float *lb = &r.lb[at(p, r.t)];
    const float *loss = &r.loss[at(age, r.t)];
    const __m256 down = _mm256_set1_ps(kLoosenDown);
    const int whole = r.t & ~7;
    for (int g = 0; g < whole; g += 8)
        _mm256_storeu_ps(lb + g, _mm256_mul_ps(
            _mm256_sub_ps(_mm256_loadu_ps(lb + g), _mm256_loadu_ps(loss + g)), down));
    for (int g = whole; g < r.t; ++g) lb[g] = (lb[g] - loss[g]) * kLoosenDown;
    r.stamp[p] = r.epoch;
}

// Lowest of point p's group bounds.
inline float lowest_group_bound(const run_state &r, int64_t p) {
    const float *lb = &r.lb[at(p, r.t)];
    __m256 low = _mm256_set1_ps(kInf);
    for (int g = 0; g < r.t; g += 8)
        low = _mm256_min_ps(low, _mm256_blendv_ps(_mm256_set1_ps(kInf),
                                                   masked_read(lb + g, std::min(8, r.t - g)),
                                                   _mm256_castsi256_ps(tail_mask(r.t - g))));
    return hmin(low);
}

// Groups whose bound does not clear the threshold.
inline int open_groups(const run_state &r, int64_t p, float threshold) {
    const float *lb = &r.lb[at(p, r.t)];
    const __m256 th = _mm256_set1_ps(threshold);
    int open = 0;
    for (int g = 0; g < r.t; g += 8) {
        const int valid = std::min(8, r.t - g);
        const unsigned bits =
            unsigned(_mm256_movemask_ps(_mm256_cmp_ps(masked_read(lb + g, valid), th, _CMP_NGT_UQ)));
        open += __builtin_popcount(bits & ((1u << valid) - 1u));
    }
    return open;
}

// Loosens point p's upper and global lower bound by the last drifts; 0 when
// they still rule out every other center, 1 when the group bounds (brought
// up to date) do, 3 when they leave three quarters of the groups open (the
// point is then scanned over every group), 2 otherwise.
inline int filter_point(run_state &r, int64_t p, float margin) {
    float ub = (r.ub[p] + r.drift[r.y[p]]) * kLoosenUp;
    const float low = (r.glb[p] - r.widest_drift) * kLoosenDown;
    r.glb[p] = low;
    float threshold = std::sqrt(std::fma(ub, ub, margin)) * kRootUp;
    if (low <= threshold && r.drift[r.y[p]] > 0.0f) {
        // The drifts loosened it: the distance to its own center first.
        ub = distance_bound(r.X + at(p, r.d), &r.cen[at(r.y[p], r.d8)], r.d, r.d8);
        threshold = std::sqrt(std::fma(ub, ub, margin)) * kRootUp;
    }
    r.ub[p] = ub;
    if (low > threshold) {
        if (r.t > 1 && r.epoch - r.stamp[p] >= kHistory - 1) bring_up_to_date(r, p);
        return 0;
    }
    if (r.t == 1) return 2;
    bring_up_to_date(r, p);
    r.glb[p] = std::max(low, lowest_group_bound(r, p));
    if (r.glb[p] > threshold) return 1;
    return open_groups(r, p, threshold) * 4 >= r.t * 3 ? 3 : 2;
}

// Upper bound from a point's best score so far.
inline float score_bound(const run_state &r, const scratch &s, int64_t p, int i) {
    const float q = r.x_norm[p] + s.best[i] + s.margin[i];
    return std::sqrt(std::max(q, 0.0f)) * kRootUp;
}

// Whether group g's bound leaves it open for point p under upper bound ub.
inline bool group_open(const run_state &r, int64_t p, int g, float ub, float margin) {
    return !(r.lb[at(p, r.t) + g] > std::sqrt(std::fma(ub, ub, margin)) * kRootUp);
}

// After the own group (scanned, or scored alone when its bound rules out its
// other members): the other groups whose lower bound does not clear the
// tighter of the point's upper bound and its best score go into their buckets.
inline void push_open_groups(run_state &r, scratch &s, int lo, int i) {
    const int64_t p = lo + i;
    const int own = r.L.of_center[r.y[p]];
    const float margin = s.margin[i];
    const float ub = std::min(r.ub[p], score_bound(r, s, p, i));
    const __m256 threshold = _mm256_set1_ps(std::sqrt(std::fma(ub, ub, margin)) * kRootUp);
    const float *lb = &r.lb[at(p, r.t)];
    for (int g0 = 0; g0 < r.t; g0 += 8) {
        const int valid = std::min(8, r.t - g0);
        // Lanes past t read as 0.0, which never clears the threshold: masked off below.
        const __m256 open = _mm256_cmp_ps(masked_read(lb + g0, valid), threshold, _CMP_NGT_UQ);
        unsigned bits = unsigned(_mm256_movemask_ps(open)) & ((1u << valid) - 1u);
        if (own >= g0 && own < g0 + 8) bits &= ~(1u << (own - g0));
        for (; bits; bits &= bits - 1) push(s, g0 + __builtin_ctz(bits), i);
    }
}

struct chunk_result {
    int64_t products = 0;
    int32_t survivors = 0, changed = 0;
};

// Lower bounds of group g from its bucket's entries, eight at a time: the
// lowest score of the group, or of its other members where it holds the
// point's new center.
void settle_group(run_state &r, scratch &s, int lo, int g) {
    const int32_t *entries = &s.bucket[at(g, s.chunk)];
    const float *min1 = &s.min1[at(g, s.entries)], *min2 = &s.min2[at(g, s.entries)];
    const int count = s.bucket_n[g];
    const __m256i group = _mm256_set1_epi32(g);
    float bound[8];
    for (int e = 0; e < count; e += 8) {
        const int valid = std::min(8, count - e);
        const __m256i live = tail_mask(valid);
        const __m256i at_e = _mm256_maskload_epi32(entries + e, live);
        const __m256i holder = _mm256_mask_i32gather_epi32(group, s.best_group.get(), at_e, live, 4);
        const __m256 other = _mm256_castsi256_ps(_mm256_cmpeq_epi32(holder, group));
        const __m256 m = _mm256_blendv_ps(_mm256_loadu_ps(min1 + e), _mm256_loadu_ps(min2 + e), other);
        const __m256 base = _mm256_mask_i32gather_ps(_mm256_setzero_ps(), s.low_base.get(), at_e,
                                                     _mm256_castsi256_ps(live), 4);
        const __m256 v = _mm256_max_ps(_mm256_add_ps(base, m), _mm256_setzero_ps());
        _mm256_storeu_ps(bound, _mm256_mul_ps(_mm256_sqrt_ps(v), _mm256_set1_ps(kRootDown)));
        for (int q = 0; q < valid; ++q) r.lb[at(lo + entries[e + q], r.t) + g] = bound[q];
    }
}

// Labels, bounds and change list of the survivors from their buckets.
void settle_chunk(run_state &r, scratch &s, int lo, int n_survivors, chunk_result &out) {
    for (int v = 0; v < n_survivors; ++v) {
        const int i = s.survivors[v];
        const int64_t p = lo + i;
        const float ub = score_bound(r, s, p, i);
        r.ub[p] = r.y[p] == s.best_idx[i] ? std::min(r.ub[p], ub) : ub;
        s.best_group[i] = r.L.of_center[s.best_idx[i]];
        if (r.y[p] != s.best_idx[i]) {
            // An own group left unscanned now holds a center the point left.
            if (!std::isnan(s.own_score[i])) {
                float &lb = r.lb[at(p, r.t) + r.L.of_center[r.y[p]]];
                lb = std::min(lb, std::sqrt(std::max(s.low_base[i] + s.own_score[i], 0.0f)) * kRootDown);
            }
            r.changed[lo + out.changed] = int32_t(p);
            r.changed_from[lo + out.changed] = r.y[p];
            ++out.changed;
            r.y[p] = s.best_idx[i];
        }
    }
    for (int g = 0; g < r.t; ++g) settle_group(r, s, lo, g);
    if (r.t == 1) return;
    for (int v = 0; v < n_survivors; ++v) {
        const int64_t p = lo + s.survivors[v];
        r.glb[p] = lowest_group_bound(r, p);
    }
}

// One chunk of the assignment: every group for every point (full), or the
// drift-bound filters first.
void assign_chunk(run_state &r, scratch &s, int lo, int hi, bool full, chunk_result &out) {
    const int m = hi - lo;
    std::fill(s.bucket_n.get(), s.bucket_n.get() + r.t, 0);
    // Points scanned over every group (all of them in the full pass) come
    // first in every bucket, packed once; then the others' own groups, then
    // the groups their tightened bounds leave open.
    int n_survivors = 0, n_every = 0, passed = 0;
    for (int i = 0; i < m; ++i) {
        const int64_t p = lo + i;
        const float margin = margin_of(r, p);
        const int verdict = full ? 3 : filter_point(r, p, margin);
        passed += verdict > 0;
        if (verdict < 2) continue;
        const char *row = reinterpret_cast<const char *>(r.X + at(p, r.d));
        for (int64_t b = 0; b < int64_t(r.d) * 4; b += 64) _mm_prefetch(row + b, _MM_HINT_T0);
        start_best(r, s, lo, i, margin);
        s.survivors[n_survivors++] = i;
        if (verdict == 3) {
            s.every[n_every++] = i;
            if (r.t > 1) r.stamp[p] = r.epoch;
        }
    }
    if (n_every > 0) {
        pack_points(r, lo, s.every.get(), n_every, s.every_points.get());
        for (int g = 0; g < r.t; ++g) {
            std::copy(s.every.get(), s.every.get() + n_every, &s.bucket[at(g, s.chunk)]);
            s.bucket_n[g] = n_every;
        }
        run_every(r, s, n_every, out.products);
    }
    int v = 0, n_own = 0;
    for (int e = 0; e < n_survivors; ++e) {
        const int i = s.survivors[e];
        if (v < n_every && s.every[v] == i) {
            ++v;
            continue;
        }
        const int64_t p = lo + i;
        const int own = r.L.of_center[r.y[p]];
        if (r.t > 1 && !group_open(r, p, own, r.ub[p], s.margin[i]))
            s.own[n_own++] = i;
        else
            push(s, own, i);
    }
    own_scores(r, s, lo, n_own);
    out.products += n_own;
    if (n_every == n_survivors) {
        out.survivors = passed;
        settle_chunk(r, s, lo, n_survivors, out);
        return;
    }
    for (int g = 0; g < r.t; ++g) {
        s.bucket_own[g] = s.bucket_n[g];
        run_bucket(r, s, lo, g, n_every, s.bucket_n[g], out.products);
    }
    v = 0;
    for (int e = 0; e < n_survivors; ++e) {
        const int i = s.survivors[e];
        if (v < n_every && s.every[v] == i) {
            ++v;
            continue;
        }
        push_open_groups(r, s, lo, i);
    }
    for (int g = 0; g < r.t; ++g)
        run_bucket(r, s, lo, g, s.bucket_own[g], s.bucket_n[g], out.products);
    out.survivors = passed;
    settle_chunk(r, s, lo, n_survivors, out);
}

// ---- Center update -----------------------------------------------------------

// rows[0 .. 7] += w * x and rows[0 .. 7] -= w * x in double for eight floats
// of a point: w * x is exact in double, so each step rounds once.
inline void add_scaled(double *row, __m256 x, double w) {
    const __m256d lo = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x)), _mm256_set1_pd(w));
    const __m256d hi = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)), _mm256_set1_pd(w));
    _mm256_storeu_pd(row, _mm256_add_pd(_mm256_loadu_pd(row), lo));
    _mm256_storeu_pd(row + 4, _mm256_add_pd(_mm256_loadu_pd(row + 4), hi));
}

// Changes ahead of the one being added whose row is fetched.
constexpr int kFetchAhead = 12;

// Column block b (block_cols columns), center slice c: this worker's share of
// the double sums, every change applied in point order. A change is read only
// by the workers owning its old or new center, so X passes through the cache
// about once however many workers share the update.
void add_changes(run_state &r, int block, int slice) {
    const int c0 = block * r.block_cols, c1 = std::min(r.d, c0 + r.block_cols);
    int64_t *members = &r.members[at(block, r.k)];
    const auto owns = [&](int c) { return c % r.n_center_slices == slice; };
    const auto add = [&](double *sums, const float *x, double w) {
        for (int o = c0; o < c1; o += 8) {
            const int width = std::min(8, c1 - o);
            add_scaled(sums + o, width == 8 ? _mm256_loadu_ps(x + o) : masked_read(x + o, width), w);
        }
    };
    const auto mine = [&](int lo, int e) {
        const int from = r.changed_from[lo + e];
        return (from >= 0 && owns(from)) || owns(r.y[r.changed[lo + e]]);
    };
    for (int ch = 0; ch < r.n_chunks; ++ch) {
        const int lo = ch * r.chunk, count = r.chunk_changed[ch];
        for (int e = 0; e < count; ++e) {
            // The rows this worker reads are scattered: fetch one ahead of time.
            if (e + kFetchAhead < count && mine(lo, e + kFetchAhead)) {
                const char *row = reinterpret_cast<const char *>(
                    r.X + at(r.changed[lo + e + kFetchAhead], r.d) + c0);
                for (int64_t b = 0; b < int64_t(c1 - c0) * 4; b += 64) _mm_prefetch(row + b, _MM_HINT_T0);
            }
            const int64_t p = r.changed[lo + e];
            const int from = r.changed_from[lo + e], to = r.y[p];
            const bool take_from = from >= 0 && owns(from), give_to = owns(to);
            if (!take_from && !give_to) continue;
            const double w = r.weights ? double(r.weights[p]) : 1.0;
            if (w == 0.0) continue;
            const float *x = r.X + at(p, r.d);
            if (take_from) {
                double *s = &r.sums[at(from, r.d8)];
                add(s, x, -w);
                if (block == 0) r.weight_sum[from] -= w;
                // The last member gone: the sums are exactly zero again.
                if (--members[from] == 0) {
                    std::fill(s + c0, s + round_up8(c1), 0.0);
                    if (block == 0) r.weight_sum[from] = 0.0;
                }
            }
            if (give_to) {
                add(&r.sums[at(to, r.d8)], x, w);
                if (block == 0) r.weight_sum[to] += w;
                ++members[to];
            }
        }
    }
}

// Center c's squared shift, drift and norm once its row has moved.
void record_move(run_state &r, int c, double moved) {
    r.shift[c] = moved;
    r.drift[c] = round_up_float(std::sqrt(moved) * (1.0 + 0x1p-40));
    r.c_norm[c] = sq_norm(&r.cen[at(c, r.d8)], r.d8);
}

// Center c to row `to` (d floats).
void move_to(run_state &r, int c, const float *to) {
    float *row = &r.cen[at(c, r.d8)];
    double moved = 0.0;
    for (int j = 0; j < r.d; ++j) {
        const double g = double(to[j]) - double(row[j]);
        moved += g * g;
        row[j] = to[j];
    }
    record_move(r, c, moved);
}

// New position of center c from its sums (kept when it has no weighted member).
void move_center(run_state &r, int c) {
    float *row = &r.cen[at(c, r.d8)];
    double moved = 0.0;
    if (r.members[c] > 0) {
        const double *s = &r.sums[at(c, r.d8)];
        for (int j = 0; j < r.d; ++j) {
            const float v = float(s[j] / r.weight_sum[c]);
            const double g = double(v) - double(row[j]);
            moved += g * g;
            row[j] = v;
        }
    }
    record_move(r, c, moved);
}

// Group g's centers copied in slot order, with their norms and the group's drift.
void place_group(run_state &r, int g) {
    float gd = 0.0f;
    for (int slot = r.L.start[g]; slot < r.L.start[g + 1]; ++slot) {
        const int c = r.L.center[slot];
        std::memcpy(&r.rows_by_slot[at(slot, r.d8)], &r.cen[at(c, r.d8)],
                    at(r.d8, 1) * sizeof(float));
        r.slot_norm[slot] = r.c_norm[c];
        gd = std::max(gd, r.drift[c]);
    }
    r.group_drift[g] = gd;
}

// The largest norm and drift, and the group bounds' losses by age for the
// epoch just begun.
void finish_centers(run_state &r) {
    float widest = 0.0f;
    for (int c = 0; c < r.k; ++c) widest = std::max(widest, r.c_norm[c]);
    r.radius = std::sqrt(widest) * kRootUp;
    r.widest_drift = 0.0f;
    for (int g = 0; g < r.t; ++g) r.widest_drift = std::max(r.widest_drift, r.group_drift[g]);
    if (r.t == 1) return;
    const int t = r.t, now = r.epoch % kHistory;
    const double *before = &r.drift_sum[at((r.epoch + kHistory - 1) % kHistory, t)];
    double *sum = &r.drift_sum[at(now, t)];
    for (int g = 0; g < t; ++g) sum[g] = r.epoch == 0 ? 0.0 : before[g] + r.group_drift[g];
    for (int age = 1; age < std::min(kHistory, r.epoch + 1); ++age) {
        const double *then = &r.drift_sum[at((r.epoch - age) % kHistory, t)];
        for (int g = 0; g < t; ++g)
            r.loss[at(age, t) + g] = round_up_float((sum[g] - then[g]) * (1.0 + 0x1p-40));
    }
}

// ---- Test check -------------------------------------------------------------

// Every label against the first minimum of a full scan, and every bound
// against float64 distances; faults are counted.
void check_assignment(run_state &r) {
    std::vector<int32_t> labels(r.n);
    std::vector<float> dense(at(r.k, r.d));
    for (int c = 0; c < r.k; ++c)
        std::memcpy(&dense[at(c, r.d)], &r.cen[at(c, r.d8)], at(r.d, 1) * sizeof(float));
    tavrine_assign(r.n, r.d, r.k, r.X, dense.data(), labels.data(), nullptr, nullptr, 1);
    int64_t faults = 0;
    std::vector<double> dist(r.k);
    for (int64_t p = 0; p < r.n; ++p) {
        if (labels[p] != r.y[p]) ++faults;
        const float *x = r.X + at(p, r.d);
        for (int c = 0; c < r.k; ++c) dist[c] = std::sqrt(sq_gap(x, &r.cen[at(c, r.d8)], r.d));
        if (!(r.ub[p] >= dist[r.y[p]])) ++faults;
        const int age = r.t > 1 ? r.epoch - r.stamp[p] : 0;
        for (int c = 0; c < r.k; ++c) {
            if (c == r.y[p]) continue;
            const int g = r.L.of_center[c];
            const float lb = age ? (r.lb[at(p, r.t) + g] - r.loss[at(age, r.t) + g]) * kLoosenDown
                                 : r.lb[at(p, r.t) + g];
            if (!(lb <= dist[c]) || !(r.glb[p] <= dist[c])) ++faults;
        }
    }
    check_faults += faults;
}

}  // namespace

// ---- Steps shared with the row blocks ------------------------------------------

counters drift::assign_all(run_state &r, bool full) {
#pragma omp parallel for schedule(dynamic, 1) num_threads(r.team) if (r.team > 1)
    for (int ch = 0; ch < r.n_chunks; ++ch) {
        const int lo = ch * r.chunk, hi = std::min(r.n, lo + r.chunk);
        chunk_result out;
        assign_chunk(r, r.work[omp_get_thread_num()], lo, hi, full, out);
        r.chunk_changed[ch] = out.changed;
        r.chunk_survivors[ch] = out.survivors;
        r.chunk_products[ch] = out.products;
    }
    counters c;
    for (int ch = 0; ch < r.n_chunks; ++ch) {
        c.products += r.chunk_products[ch];
        c.survivors += r.chunk_survivors[ch];
        c.changed += r.chunk_changed[ch];
    }
    if (check_level.load() > 0) check_assignment(r);
    return c;
}

// After the centers moved: the groups, a new epoch and its losses.
static void close_epoch(run_state &r) {
    if (check_level.load() > 1) std::fill(r.drift.get(), r.drift.get() + r.k, 0.0f);
#pragma omp parallel for schedule(dynamic, 1) num_threads(r.team) if (r.team > 1)
    for (int g = 0; g < r.t; ++g) place_group(r, g);
    ++r.epoch;
    finish_centers(r);
}

void drift::load_centers(run_state &r, const float *centers) {
#pragma omp parallel for schedule(static) num_threads(r.team) if (r.team > 1)
    for (int c = 0; c < r.k; ++c) move_to(r, c, centers + at(c, r.d));
    close_epoch(r);
}

double drift::inertia(const run_state &r, const float *centers, int ldc) {
    // Fixed blocks added in order: the same total for every team and chunk size.
    constexpr int kRows = 1024;
    const int n_blocks = (r.n + kRows - 1) / kRows;
    std::vector<double> part(n_blocks);
#pragma omp parallel for schedule(static) num_threads(r.team) if (r.team > 1)
    for (int b = 0; b < n_blocks; ++b) {
        double s = 0.0;
        for (int64_t p = int64_t(b) * kRows; p < std::min<int64_t>(r.n, (b + 1) * int64_t(kRows)); ++p) {
            const double w = r.weights ? double(r.weights[p]) : 1.0;
            s += w * sq_gap(r.X + at(p, r.d), centers + at(r.y[p], ldc), r.d);
        }
        part[b] = s;
    }
    double total = 0.0;
    for (double v : part) total += v;
    return total;
}

bool drift::take_scratch(run_state &r) {
    r.work.resize(r.team);
    for (scratch &s : r.work)
        if (!s.init(r.d8, r.L.widest, r.t, r.chunk)) return false;
    return true;
}

void drift::drop_scratch(run_state &r) { std::vector<scratch>().swap(r.work); }

namespace {

bool allocate(run_state &r) {
    const int n = r.n, k = r.k, d8 = r.d8;
    if (!(take(r.rows_by_slot, at(k, d8)) && take(r.slot_norm, k) && take(r.c_norm, k) &&
          take(r.drift, k) &&
          take(r.group_drift, r.t) && take(r.x_norm, n) && take(r.x_len, n) && take(r.ub, n) &&
          take(r.glb, n) && take(r.changed, n) && take(r.changed_from, n)))
        return false;
    if (r.t > 1) {
        if (!take(r.lb_store, at(n, r.t)) || !take(r.stamp, n)) return false;
        r.lb = r.lb_store.get();
        r.drift_sum.assign(at(kHistory, r.t), 0.0);
        r.loss.assign(at(kHistory, r.t), 0.0f);
    } else {
        r.lb = r.glb.get();
    }
    // No larger than keeps eight chunks per thread for the dynamic schedule.
    r.chunk = std::max(kChunkMin, std::min(chunk_points(d8), (n / (8 * r.team) + 63) / 64 * 64));
    r.n_chunks = (n + r.chunk - 1) / r.chunk;
    r.chunk_changed.assign(r.n_chunks, 0);
    r.chunk_survivors.assign(r.n_chunks, 0);
    r.chunk_products.assign(r.n_chunks, 0);
    // Units of the center update: slices of centers first, column blocks only
    // when there are too few centers to keep the team busy.
    const int units = 4 * r.team;
    r.n_center_slices = std::min(k, units);
    const int blocks_wanted = (units + r.n_center_slices - 1) / r.n_center_slices;
    r.block_cols = round_up8((r.d + blocks_wanted - 1) / blocks_wanted);
    r.n_col_blocks = (r.d + r.block_cols - 1) / r.block_cols;
    r.sums.assign(at(k, r.d8), 0.0);
    r.weight_sum.assign(k, 0.0);
    r.members.assign(at(r.n_col_blocks, k), 0);
    r.shift.assign(k, 0.0);
    return take_scratch(r);
}

}  // namespace

bool drift::start(run_state &r, const float *centers) {
    if (!take(r.cen, at(r.k, r.d8))) return false;
    for (int c = 0; c < r.k; ++c) copy_padded(centers, r.d, r.d8, c, &r.cen[at(c, r.d8)]);
    r.L = form_groups(r.cen.get(), r.k, r.d8, group_count(r.k, r.d));
    r.t = r.L.t;
    if (!allocate(r)) return false;
#pragma omp parallel for schedule(static) num_threads(r.team) if (r.team > 1)
    for (int ch = 0; ch < r.n_chunks; ++ch) {
        float *row = r.work[omp_get_thread_num()].points.get();
        for (int p = ch * r.chunk; p < std::min(r.n, (ch + 1) * r.chunk); ++p) {
            copy_padded(r.X, r.d, r.d8, p, row);
            r.x_norm[p] = sq_norm(row, r.d8);
            r.x_len[p] = std::sqrt(r.x_norm[p]) * kRootUp;
        }
    }
    for (int c = 0; c < r.k; ++c) {
        r.c_norm[c] = sq_norm(&r.cen[at(c, r.d8)], r.d8);
        r.drift[c] = 0.0f;
    }
    for (int g = 0; g < r.t; ++g) place_group(r, g);
    finish_centers(r);
    std::memset(r.y, 0xFF, at(r.n, 1) * sizeof(int32_t));
    return true;
}

// ---- The loop ----------------------------------------------------------------

namespace {

// Centers left without weight after an assignment, as scikit-learn's Lloyd
// refills them: the farthest points from the centers they were assigned to
// (squared distances, unweighted; ties to the lower index) each lend their
// weighted row to one empty center, the farthest to the lowest-numbered,
// for this one center update. Labels stay as assigned, so every bound holds:
// the moved centers' drifts cover the move, and the next assignment relabels.
struct relocation {
    std::vector<int32_t> centers;        // empty centers, then the donors' centers
    std::vector<double> sums, weights;   // their sums and weights before the loan
    std::vector<int64_t> members;        // n_col_blocks per center
};

// Points of positive weight with a positive distance to their own center,
// the `count` farthest first.
std::vector<int32_t> farthest_points(const run_state &r, int count) {
    std::vector<double> gap(r.n);
#pragma omp parallel for schedule(static) num_threads(r.team) if (r.team > 1)
    for (int p = 0; p < r.n; ++p) {
        const bool weighless = r.weights && !(r.weights[p] > 0.0f);
        gap[p] = weighless ? 0.0 : sq_gap(r.X + at(p, r.d), &r.cen[at(r.y[p], r.d8)], r.d);
    }
    std::vector<int32_t> far;
    for (int p = 0; p < r.n; ++p)
        if (gap[p] > 0.0) far.push_back(p);
    const auto farther = [&](int32_t a, int32_t b) { return gap[a] > gap[b] || (gap[a] == gap[b] && a < b); };
    if (int(far.size()) > count) {
        std::nth_element(far.begin(), far.begin() + count, far.end(), farther);
        far.resize(count);
    }
    std::sort(far.begin(), far.end(), farther);
    return far;
}

// Saves center c's sums, weight and member counts, once.
void save_center(const run_state &r, relocation &saved, int c) {
    if (std::find(saved.centers.begin(), saved.centers.end(), c) != saved.centers.end()) return;
    saved.centers.push_back(c);
    const double *row = r.sums.data() + at(c, r.d8);
    saved.sums.insert(saved.sums.end(), row, row + r.d8);
    saved.weights.push_back(r.weight_sum[c]);
    for (int b = 0; b < r.n_col_blocks; ++b) saved.members.push_back(r.members[at(b, r.k) + c]);
}

// Member counts of center c in every column block, shifted by `by`.
void count_members(run_state &r, int c, int64_t by) {
    for (int b = 0; b < r.n_col_blocks; ++b) r.members[at(b, r.k) + c] += by;
}

// Lends the farthest points' rows to the empty centers; returns the centers refilled.
int lend_to_empty(run_state &r, relocation &saved) {
    std::vector<int32_t> empty;
    for (int c = 0; c < r.k; ++c)
        if (r.members[c] == 0) empty.push_back(c);
    if (empty.empty()) return 0;
    const std::vector<int32_t> far = farthest_points(r, int(empty.size()));
    for (std::size_t e = 0; e < far.size(); ++e) {
        const int to = empty[e], p = far[e], from = r.y[p];
        const double w = r.weights ? double(r.weights[p]) : 1.0;
        const float *x = r.X + at(p, r.d);
        save_center(r, saved, to);
        save_center(r, saved, from);
        double *give = &r.sums[at(from, r.d8)], *take = &r.sums[at(to, r.d8)];
        for (int j = 0; j < r.d; ++j) {
            give[j] += double(x[j]) * -w;
            take[j] = double(x[j]) * w;
        }
        r.weight_sum[from] -= w;
        r.weight_sum[to] = w;
        count_members(r, from, -1);
        count_members(r, to, 1);
        // A donor left without members keeps its position, as any empty center.
        if (r.members[from] == 0) {
            std::fill(give, give + r.d8, 0.0);
            r.weight_sum[from] = 0.0;
        }
    }
    return int(far.size());
}

// The sums again those of the labels, once the centers have moved.
void restore(run_state &r, const relocation &saved) {
    for (std::size_t i = 0; i < saved.centers.size(); ++i) {
        const int c = saved.centers[i];
        const double *row = saved.sums.data() + at(int(i), r.d8);
        std::copy(row, row + r.d8, r.sums.data() + at(c, r.d8));
        r.weight_sum[c] = saved.weights[i];
        for (int b = 0; b < r.n_col_blocks; ++b)
            r.members[at(b, r.k) + c] = saved.members[at(int(i), r.n_col_blocks) + b];
    }
}

struct update_result {
    double shift;   // summed squared shifts of all k centers
    int refilled;   // empty centers given a far point
};

// Sums from the changes, empty centers refilled, then every center, then
// the groups.
update_result update_centers(run_state &r) {
    const int units = r.n_col_blocks * r.n_center_slices;
#pragma omp parallel for schedule(dynamic, 1) num_threads(r.team) if (r.team > 1)
    for (int u = 0; u < units; ++u) add_changes(r, u % r.n_col_blocks, u / r.n_col_blocks);
    relocation saved;
    const int refilled = lend_to_empty(r, saved);
#pragma omp parallel for schedule(static) num_threads(r.team) if (r.team > 1)
    for (int c = 0; c < r.k; ++c) move_center(r, c);
    restore(r, saved);
    close_epoch(r);
    double total = 0.0;
    for (int c = 0; c < r.k; ++c) total += r.shift[c];
    return {total, refilled};
}

struct loop_args {
    int max_iter;
    float tol;
    tavrine_progress progress;
    void *user;
    bool inertia_each;  // report each assignment's inertia
};

int run_fit(const loop_args &a, run_state &r, const float *centers, int64_t *count,
            int64_t *points, int64_t *time) {
    const timeval t0 = wall_now();
    if (!start(r, centers)) return TAVRINE_ERR_NOMEM;
    int64_t assign_us = 0, center_us = 0;
    const int64_t setup_us = elapsed_us(t0, wall_now());

    auto assign = [&](bool full) {
        const timeval s = wall_now();
        const counters c = assign_all(r, full);
        assign_us += elapsed_us(s, wall_now());
        return c;
    };
    counters c = assign(true);
    int iter = 0, result;
    for (;;) {
        count[iter] = c.products;
        points[iter] = c.survivors;
        ++iter;
        // Against the centers the labels were just taken from.
        const double inertia = a.inertia_each ? drift::inertia(r, r.cen.get(), r.d8) : kNaN;
        const timeval s = wall_now();
        const update_result u = update_centers(r);
        center_us += elapsed_us(s, wall_now());
        // No label moved and no center was refilled: the centers did not
        // move either, and the labels are theirs.
        int stop = iter > 1 && c.changed == 0 && u.refilled == 0 ? TAVRINE_STOP_LABELS : 0;
        if (!stop && u.shift <= double(a.tol)) stop = TAVRINE_STOP_SHIFT;
        if (!stop && iter == a.max_iter) stop = TAVRINE_STOP_CAP;
        if (a.progress) a.progress(a.user, iter, count[iter - 1], u.shift, inertia, stop);
        if (stop == TAVRINE_STOP_LABELS) {
            result = iter;
            break;
        }
        if (stop) {
            assign(false);
            result = stop == TAVRINE_STOP_SHIFT ? iter : a.max_iter + 1;
            break;
        }
        c = assign(false);
    }
    time[0] = assign_us;
    time[1] = center_us;
    time[2] = setup_us;
    time[3] = elapsed_us(t0, wall_now());
    return result;
}

}  // namespace

int tavrine_fit(int n, int d, int k, const float *X, const float *weights, const float *Cen,
                int32_t *y, float *centers_out, double *inertia, int64_t *count, int64_t *points,
                int64_t *time, int max_iter, float tol, int n_threads,
                tavrine_progress progress, void *user, int inertia_each) {
    if (n < 1 || d < 1 || k < 1 || max_iter < 1 || !(tol >= 0.0f) || d > (1 << 24))
        return TAVRINE_ERR_ARGS;
    try {
        run_state r;
        r.n = n;
        r.d = d;
        r.d8 = round_up8(d);
        r.k = k;
        r.X = X;
        r.weights = weights;
        r.y = y;
        r.team = team_for_work(n_threads, int64_t(n) * k * r.d8);
        const int result = run_fit({max_iter, tol, progress, user, inertia_each != 0}, r, Cen, count, points, time);
        if (result < 0) return result;
        if (centers_out)
            for (int c = 0; c < k; ++c)
                std::memcpy(centers_out + at(c, d), &r.cen[at(c, r.d8)], at(d, 1) * sizeof(float));
        if (inertia) *inertia = drift::inertia(r, r.cen.get(), r.d8);
        return result;
    } catch (const std::bad_alloc &) {
        return TAVRINE_ERR_NOMEM;
    }
}

int tavrine_assign(int n, int d, int k, const float *X, const float *centers, int32_t *labels,
                   float *min_dist, float *all_dist, int n_threads) {
    if (n < 1 || d < 1 || k < 1 || d > (1 << 24)) return TAVRINE_ERR_ARGS;
    const int d8 = round_up8(d), k8 = round_up8(k);
    buffer<float> cen, packed, norms;
    if (!take(cen, at(k8, d8)) || !take(packed, at(k8, d8)) || !take(norms, k8))
        return TAVRINE_ERR_NOMEM;
    std::memset(cen.get(), 0, at(k8, d8) * sizeof(float));
    for (int c = 0; c < k; ++c) {
        copy_padded(centers, d, d8, c, &cen[at(c, d8)]);
        norms[c] = sq_norm(&cen[at(c, d8)], d8);
    }
    pack_centers(cen.get(), k8, d8, 0, center_panels(k8), packed.get());
    const int team = team_for_work(n_threads, int64_t(n) * k * d8);
    const int n_chunks = (n + kAssignRows - 1) / kAssignRows;
    bool short_of_memory = false;
#pragma omp parallel num_threads(team) if (team > 1)
    {
        buffer<float> rows, scores;
        const bool ok = take(rows, at(kAssignRows, d8)) && take(scores, at(kAssignRows, k8));
        if (!ok) {
#pragma omp atomic write
            short_of_memory = true;
        }
#pragma omp for schedule(dynamic, 1)
        for (int ch = 0; ch < n_chunks; ++ch) {
            if (!ok) continue;
            const int lo = ch * kAssignRows, m = std::min(kAssignRows, n - lo);
            for (int i = 0; i < m; ++i) copy_padded(X, d, d8, lo + i, &rows[at(i, d8)]);
            packed_product(m, d8, k8, rows.get(), d8, packed.get(), scores.get(), k8);
            for (int i = 0; i < m; ++i) {
                const float *row = &scores[at(i, k8)];
                const int label = nearest_of_row(row, norms.get(), k);
                const int64_t p = lo + i;
                labels[p] = label;
                if (min_dist)
                    min_dist[p] = float(sq_gap(X + at(p, d), &cen[at(label, d8)], d));
                if (all_dist) {
                    const float xn = sq_norm(&rows[at(i, d8)], d8);
                    float *out = all_dist + at(p, k);
                    for (int c = 0; c < k; ++c) out[c] = std::max(xn + (row[c] + norms[c]), 0.0f);
                }
            }
        }
    }
    return short_of_memory ? TAVRINE_ERR_NOMEM : 0;
}

int64_t tavrine_drift_check(int level) {
    check_level.store(level);
    return check_faults.exchange(0);
}
