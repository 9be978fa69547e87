// SPDX-License-Identifier: BSD-3-Clause
//
// The groups of centers the drift loop keeps one lower bound per point for:
// k-means of the initial centers, formed once, each group's members laid out
// in increasing center order.
#include <algorithm>
#include <cstring>
#include <vector>

#include "estimator/loop.h"

using namespace tavrine;
using namespace tavrine::drift;

namespace {

// Narrowest and widest groups, and Lloyd steps that form the groups.
constexpr int kNarrowGroup = 10, kWideGroup = 64;
constexpr int kGroupSteps = 5;

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

// Centers per group: a survivor's bounds cost about the same per group
// whatever d, the scan of a group its width times d, so groups are wide in
// few columns and narrow in many: 2^18 / d^2 within [10, 64]. From 200k x 64,
// k = 256, 33 iterations: 4 or 8 groups took 15% less time than 22; 50k x 32,
// k = 128: 2 groups 5% less than 6; image patches (d = 192, k = 256): 26
// groups 10% less than 12; 100k x 256, k = 1024: 102 and 64 groups alike, 32
// 4% more.
int group_width(int d) {
    const double w = double(1 << 18) / (double(d) * d);
    return int(std::clamp(w, double(kNarrowGroup), double(kWideGroup)));
}

}  // namespace

// t from the group width, and what the loop keeps per point within half the
// point (d floats), as X is read in place: t > 1 groups take t + 3 floats
// (with the global bound and its epoch), the norms, the label and the change
// lists 5 more, and two are left for the centers, scratch and stacks. Groups
// that would be wider than kWideGroup centers may grow up to the whole
// point: at k = 4096, d = 64, 54 groups instead of 22 took 6% less time (80
// the same, 128 more).
int drift::group_count(int k, int d) {
    const int width = group_width(d), by_k = (k + width / 2) / width;
    int t = std::min({by_k, d / 2 - 10, k});
    if (t > 1 && k > kWideGroup * t)
        t = std::max(t, std::min({by_k, d - 10, (k + kWideGroup - 1) / kWideGroup}));
    return t > 1 ? t : 1;
}

// From centers spread evenly over the index range.
group_layout drift::form_groups(const float *cen, int k, int d8, int t) {
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
