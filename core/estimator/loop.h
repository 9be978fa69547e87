// SPDX-License-Identifier: BSD-3-Clause
//
// What the files of the drift loop call across one another: the groups
// (groups.cpp), the center update (update.cpp) and the test check
// (check.cpp); the assignment (scan.cpp) and the loop (fit.cpp) are reached
// through drift.h. Internal; not installed.
#ifndef TAVRINE_LOOP_H
#define TAVRINE_LOOP_H

#include <atomic>

#include "estimator/sparse.h"

namespace tavrine::drift {

// Rows per product of the nearest-center routines: their scores stay in L2.
constexpr int kAssignRows = 256;

// Share of points through the filter above which, with one group, the next
// assignment scores every point.
constexpr double kDenseShare = 0.5;

// Share of points through the global bound below which the next assignment
// tests that bound eight points at a time.
constexpr double kBatchShare = 0.9;
// Share of points through the global bound above which the filter fetches
// rows ahead: below it most fetched rows would not be read.
constexpr double kFetchShare = 0.2;

// Floats up to which the dense pass keeps every point packed for the run
// instead of packing each block as it is read (digits, 1797 x 64, k = 10:
// a full iteration's assignment 24.5 -> 17 us; 500k x 2, k = 32, 16 MB
// packed: 3.3 -> 3.1 ms).
constexpr int64_t kDensePackedFloats = int64_t(1) << 22;

// Centers from which bfloat16 estimates pay (scan.cpp): below, a point's
// copy and the exact scores the estimates leave in doubt cost about what the
// half-price products save. The open groups are estimated where they hold
// kHalfOpenCenters centers a point on average (100k x 256, k = 1024: 64 ran
// 16% faster than 256). From AMX tiles the products cost a fraction of the
// dot product's and pay from 128 centers (200k x 64, k = 256, 33 iterations:
// 0.42 -> 0.36 s; k = 128 unchanged).
constexpr int kHalfCenters = 512, kTileHalfCenters = 128, kHalfOpenCenters = 64;

// Multiply-adds of a full iteration per thread of the loop's team: below
// 2^22, where a seeding sweep's region does not pay for a second thread, the
// loop's still does (digits, 1797 x 64, k = 10: 0.63-0.72 -> 0.50-0.53 ms a
// fit on two threads).
constexpr int64_t kLoopWorkPerThread = int64_t(1) << 19;
// Values of the changed members and centers ((changes + k) d8) below which
// the center update runs on the calling thread.
constexpr int64_t kUpdateWorkPerThread = int64_t(1) << 15;

// ---- Groups (groups.cpp) ----

// Groups to form for k centers of d columns.
int group_count(int k, int d);

// k-means of the initial centers (k x d8, padded) into t groups; groups left
// empty are dropped.
group_layout form_groups(const float *cen, int k, int d8, int t);

// ---- Center update (update.cpp) ----

// Group g's centers copied in slot order, with their norms and the group's drift.
void place_group(run_state &r, int g);

// The largest norm and drift, and the group bounds' losses by age for the
// epoch just begun.
void finish_centers(run_state &r);

struct update_result {
    double shift;   // summed squared shifts of all k centers
    int refilled;   // empty centers given a far point
};

// Sums from the changes, empty centers refilled, then every center, then
// the groups.
update_result update_centers(run_state &r);

// ---- Test check (check.cpp) ----

// Test switch: 1 checks every assignment against a full scan and the bounds
// against float64 distances; 2 also drops the drifts (a fault the check must see).
extern std::atomic<int> check_level;

// Every label against the first minimum of a full scan, and every bound
// against float64 distances; faults are counted.
void check_assignment(run_state &r);

}  // namespace tavrine::drift

#endif
