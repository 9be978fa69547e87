// SPDX-License-Identifier: BSD-3-Clause
//
// The drift loop's test check: each assignment compared with a full scan,
// and each bound with float64 distances. Off unless a test turns it on.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#include "estimator/loop.h"

using namespace tavrine;
using namespace tavrine::drift;

std::atomic<int> drift::check_level{0};

namespace {

std::atomic<int64_t> check_faults{0};

}  // namespace

void drift::check_assignment(run_state &r) {
    std::vector<int32_t> labels(r.n);
    std::vector<float> dense(at(r.k, r.d));
    for (int c = 0; c < r.k; ++c)
        std::memcpy(&dense[at(c, r.d)], &r.cen[at(c, r.d8)], at(r.d, 1) * sizeof(float));
    if (is_sparse(r)) {
        tavrine_assign_sparse(r.n, r.d, r.k, r.sp.indptr, r.sp.indices, r.sp.values, dense.data(),
                              labels.data(), nullptr, nullptr, 1);
    } else {
        // X as the loop sees it.
        std::vector<float> seen(at(r.n, r.d));
        for (int64_t p = 0; p < r.n; ++p)
            for (int j = 0; j < r.d; ++j) seen[at(p, r.d) + j] = seen1(r, r.X[at(p, r.d) + j], j);
        tavrine_assign(r.n, r.d, r.k, seen.data(), dense.data(), labels.data(), nullptr, nullptr, 1);
    }
    std::vector<double> dist(r.k);
    // With float64 input the labels are the double first minima.
    if (r.X64)
        for (int64_t p = 0; p < r.n; ++p) {
            for (int c = 0; c < r.k; ++c) dist[c] = gap64(r, p, c);
            labels[p] = int32_t(std::min_element(dist.begin(), dist.end()) - dist.begin());
        }
    int64_t faults = 0;
    for (int64_t p = 0; p < r.n; ++p) {
        if (labels[p] != r.y[p]) ++faults;
        // The bounds hold for the rows as the float scores see them.
        for (int c = 0; c < r.k; ++c)
            dist[c] = std::sqrt(is_sparse(r) ? result_gap(r, p, c)
                                             : point_gap(r, p, &r.cen[at(c, r.d8)]));
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

int64_t tavrine_drift_check(int level) {
    check_level.store(level);
    return check_faults.exchange(0);
}
