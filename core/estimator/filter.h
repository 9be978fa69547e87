// SPDX-License-Identifier: BSD-3-Clause
//
// The bound filter: which points the loosened bounds settle and how much of
// the rest must be scanned. Inline, as it runs for every point of every
// assignment. Internal; not installed.
#ifndef TAVRINE_FILTER_H
#define TAVRINE_FILTER_H

#include <algorithm>
#include <cmath>

#include "estimator/sparse.h"

namespace tavrine::drift {

// What the filter leaves to do for a point, from least to most: a point past
// settled_global counts as let through, one past settled_groups is scanned.
enum class verdict {
    settled_global = 0,  // the global lower bound rules out every other center
    settled_groups = 1,  // the group bounds, brought up to date, do
    scan_open = 2,       // scan the own group and the groups left open
    scan_every = 3,      // most groups are open: scan every group
};

// Lowest of point p's group bounds.
static inline float lowest_group_bound(const run_state &r, int64_t p) {
    const float *lb = &r.lb[at(p, r.t)];
    __m256 low = _mm256_set1_ps(kInf);
    for (int g = 0; g < r.t; g += 8)
        low = _mm256_min_ps(low, _mm256_blendv_ps(_mm256_set1_ps(kInf),
                                                   masked_read(lb + g, std::min(8, r.t - g)),
                                                   _mm256_castsi256_ps(tail_mask(r.t - g))));
    return hmin(low);
}

// Point p's group bounds (t > 1), stamped some epochs ago, brought up to
// this one; returns their lowest, taken from the values just computed:
// reading back the bounds just stored would wait on their stores.
static inline float lowest_bound_up_to_date(run_state &r, int64_t p) {
    const int age = r.epoch - r.stamp[p];
    if (age == 0) return lowest_group_bound(r, p);
    float *lb = &r.lb[at(p, r.t)];
    const float *loss = &r.loss[at(age, r.t)];
    const __m256 down = _mm256_set1_ps(kLoosenDown);
    __m256 low = _mm256_set1_ps(kInf);
    for (int g = 0; g < r.t; g += 8) {
        const int valid = std::min(8, r.t - g);
        const __m256i live = tail_mask(valid);
        const __m256 v = _mm256_mul_ps(_mm256_sub_ps(masked_read(lb + g, valid),
                                                     masked_read(loss + g, valid)), down);
        _mm256_maskstore_ps(lb + g, live, v);
        low = _mm256_min_ps(low, _mm256_blendv_ps(_mm256_set1_ps(kInf), v,
                                                  _mm256_castsi256_ps(live)));
    }
    r.stamp[p] = r.epoch;
    return hmin(low);
}

// The same where the lowest is not wanted.
static inline void bring_up_to_date(run_state &r, int64_t p) {
    if (r.t > 1 && r.epoch != r.stamp[p]) lowest_bound_up_to_date(r, p);
}

// Groups whose bound does not clear the threshold.
static inline int open_groups(const run_state &r, int64_t p, float threshold) {
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

// filter_point's first test for the dense points p0 .. p0 + count - 1
// (count <= 8), eight at once by the same float steps (margin_of,
// threshold_of): the points the loosened global bound settles take their
// loosened bounds and come back as bits; the others are left as they were,
// for filter_point.
static inline unsigned settle_global8(run_state &r, int64_t p0, int count) {
    const __m256i live = tail_mask(count);
    const __m256 live_f = _mm256_castsi256_ps(live);
    const __m256i y = _mm256_maskload_epi32(&r.y[p0], live);
    const __m256 drift = _mm256_mask_i32gather_ps(_mm256_setzero_ps(), r.drift.get(), y, live_f, 4);
    const __m256 ub = _mm256_mul_ps(_mm256_add_ps(_mm256_maskload_ps(&r.ub[p0], live), drift),
                                    _mm256_set1_ps(kLoosenUp));
    const __m256 low = _mm256_mul_ps(
        _mm256_sub_ps(_mm256_maskload_ps(&r.glb[p0], live), _mm256_set1_ps(r.widest_drift)),
        _mm256_set1_ps(kLoosenDown));
    const lane_bounds lanes(r);
    const __m256 span = lanes.span(_mm256_maskload_ps(&r.x_len[p0], live));
    const __m256 threshold = lanes.threshold(ub, span, lanes.margin(span));
    const __m256 settled = _mm256_and_ps(_mm256_cmp_ps(low, threshold, _CMP_GT_OQ), live_f);
    const unsigned bits = unsigned(_mm256_movemask_ps(settled));
    if (bits == 0) return 0;
    _mm256_maskstore_ps(&r.ub[p0], _mm256_castps_si256(settled), ub);
    _mm256_maskstore_ps(&r.glb[p0], _mm256_castps_si256(settled), low);
    if (r.t > 1)
        for (unsigned b = bits; b; b &= b - 1) {
            const int64_t p = p0 + __builtin_ctz(b);
            if (r.epoch - r.stamp[p] >= kHistory - 1) bring_up_to_date(r, p);
        }
    return bits;
}

// Loosens point p's upper and global lower bound by the last drifts and
// tells what is left: scan_every when the group bounds leave every_quarters
// quarters of the groups open. The group bounds are tried before the point's row is
// read for the distance to its own center: they take a few floats a point,
// the row d.
static inline verdict filter_point(run_state &r, int64_t p, float margin) {
    float ub = (r.ub[p] + r.drift[r.y[p]]) * kLoosenUp;
    const float low = (r.glb[p] - r.widest_drift) * kLoosenDown;
    r.glb[p] = low;
    float threshold = threshold_of(r, p, ub, margin);
    r.ub[p] = ub;
    if (low > threshold) {
        if (r.t > 1 && r.epoch - r.stamp[p] >= kHistory - 1) bring_up_to_date(r, p);
        return verdict::settled_global;
    }
    if (r.t > 1) {
        r.glb[p] = std::max(low, lowest_bound_up_to_date(r, p));
        if (r.glb[p] > threshold) return verdict::settled_groups;
        // Any open group sends the point to the every-group estimates,
        // which bound its own distance afresh: the row is not read twice.
        if (r.every_quarters == 0) return verdict::scan_every;
    }
    if (r.drift[r.y[p]] > 0.0f) {
        // The drifts loosened it: the distance to its own center.
        ub = is_sparse(r) ? sparse_own_bound(r, p, margin)
                          : distance_bound(r, p, &r.cen[at(r.y[p], r.d8)]);
        threshold = threshold_of(r, p, ub, margin);
        r.ub[p] = ub;
    }
    if (low > threshold) return verdict::settled_global;
    if (r.t == 1) return verdict::scan_open;
    if (r.glb[p] > threshold) return verdict::settled_groups;
    return open_groups(r, p, threshold) * 4 >= r.t * r.every_quarters ? verdict::scan_every
                                                                      : verdict::scan_open;
}

// Upper bound on point p's distance to the best center its scan has found,
// from that center's score.
static inline float score_bound(const run_state &r, const scratch &s, int64_t p, int i) {
    const float q = r.x_norm[p] + s.best[i] + s.margin[i];
    return std::sqrt(std::max(q, 0.0f)) * kRootUp;
}

// Whether group g's bound leaves it open for point p under upper bound ub.
static inline bool group_open(const run_state &r, int64_t p, int g, float ub, float margin) {
    return !(r.lb[at(p, r.t) + g] > threshold_of(r, p, ub, margin));
}

}  // namespace tavrine::drift

#endif
