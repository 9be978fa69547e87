// SPDX-License-Identifier: BSD-3-Clause
//
// Seeding: greedy k-means++ and a uniform choice of k distinct rows. X is
// dense row-major n x d (not padded, any alignment). Random numbers come from
// xoshiro256** seeded by splitmix64 and are drawn on the calling thread only;
// every sum is formed over fixed spans of points in a fixed order, so a seed
// gives the same centers on any number of threads. Squared distances are
// summed differences, so coinciding rows are exactly 0 apart. Offsets are
// 64-bit. Optional row weights scale each row's share of the potential.
// Points that no candidate can come closer to are skipped by the triangle
// inequality, with a margin that leaves every sum as the full sweep's.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <omp.h>

#include "common.h"
#include "kernels/buffer.h"

using namespace tavrine;

namespace {

constexpr int kSpan = 256;  // points per partial sum; fixes the order of every addition
constexpr int kTile = 8;     // points per register tile
constexpr int kLanes = 8;    // candidates per panel, one per lane
constexpr int kLineBytes = 64;
constexpr int kLineFloats = kLineBytes / 4;
// Largest copy of the points in blocks (1 GiB); larger inputs stay in place.
constexpr std::size_t kMaxBlocked = std::size_t(1) << 28;
static_assert(kSpan % kSeedBlock == 0, "spans start on whole blocks");

// ---- Random stream -------------------------------------------------------

// splitmix64 step: spreads the 64-bit seed over xoshiro's 256-bit state, so
// the state is never all zero and nearby seeds give unrelated streams.
inline uint64_t splitmix64(uint64_t &s) {
    uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

inline uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

// xoshiro256** (Blackman and Vigna): period 2^256 - 1, 64-bit outputs.
class random_stream {
  public:
    explicit random_stream(uint64_t seed) {
        for (uint64_t &w : s_) w = splitmix64(seed);
    }

    uint64_t next() {
        const uint64_t out = rotl(s_[1] * 5, 7) * 9;
        const uint64_t shifted = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= shifted;
        s_[3] = rotl(s_[3], 45);
        return out;
    }

    // Uniform in [0, 1): the top 53 bits as a double's mantissa.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // Uniform in [0, m), m >= 1, unbiased (Lemire's multiply, rejecting the
    // 2^32 mod m low products that would favour small results).
    uint32_t below(uint32_t m) {
        uint64_t p = (next() >> 32) * m;
        if (static_cast<uint32_t>(p) < m) {
            const uint32_t reject = (0u - m) % m;
            while (static_cast<uint32_t>(p) < reject) p = (next() >> 32) * m;
        }
        return static_cast<uint32_t>(p >> 32);
    }

  private:
    uint64_t s_[4];
};

// ---- Distance kernel -----------------------------------------------------

// Squared distances of R rows to the eight candidates of a panel (d x 8,
// candidate l in lane l), one accumulator per row, while the rows of the
// following tile are fetched. Rows are read by scalar broadcasts, so no d
// tail exists.
template <int R>
inline void tile_distances(const float *const *row, const float *const *next, int d,
                           const float *panel, __m256 *acc) {
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) acc[r] = _mm256_setzero_ps();
    for (int j0 = 0; j0 < d; j0 += kLineFloats) {
        for (int r = 0; r < R; ++r)
            _mm_prefetch(reinterpret_cast<const char *>(next[r] + j0), _MM_HINT_T0);
        const int j1 = std::min(j0 + kLineFloats, d);
        for (int j = j0; j < j1; ++j) {
            const __m256 c = _mm256_loadu_ps(panel + at(j, kLanes));
#pragma GCC unroll 8
            for (int r = 0; r < R; ++r) {
                const __m256 gap = _mm256_sub_ps(_mm256_broadcast_ss(row[r] + j), c);
                acc[r] = _mm256_fmadd_ps(gap, gap, acc[r]);
            }
        }
    }
}

// Adds a point's eight lowered distances m to sums (lo: lanes 0-3, hi: 4-7),
// Weighted: each times the point's weight wr.
template <bool Weighted>
inline void add_point(__m256 m, double wr, __m256d &lo, __m256d &hi) {
    __m256d m_lo = _mm256_cvtps_pd(_mm256_castps256_ps128(m));
    __m256d m_hi = _mm256_cvtps_pd(_mm256_extractf128_ps(m, 1));
    if constexpr (Weighted) {
        // A float times a float is exact in double: fused or not, the
        // sum is the one find_point repeats.
        const __m256d w = _mm256_set1_pd(wr);
        m_lo = _mm256_mul_pd(m_lo, w);
        m_hi = _mm256_mul_pd(m_hi, w);
    }
    lo = _mm256_add_pd(lo, m_lo);
    hi = _mm256_add_pd(hi, m_hi);
}

// The distances of R consecutive points (rows of x, stride d) to a panel,
// lowered to each point's closest distance; stores them to mins (stride
// ld_mins) and adds them point after point to sums (8 doubles, one per
// candidate), Weighted: each times the point's weight w[r].
template <int R, bool Weighted>
inline void tile_mins(const float *x, int d, const float *next, const float *panel,
                      const float *closest, const float *w, float *mins, int ld_mins,
                      double *sums) {
    const float *row[R], *ahead[R];
    __m256 acc[R];
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
        row[r] = x + at(r, d);
        ahead[r] = next + at(r, d);
    }
    tile_distances<R>(row, ahead, d, panel, acc);
    __m256d lo = _mm256_loadu_pd(sums), hi = _mm256_loadu_pd(sums + 4);
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
        // min_ps returns its second operand on NaN: a NaN distance never lowers a potential.
        const __m256 m = _mm256_min_ps(acc[r], _mm256_broadcast_ss(closest + r));
        _mm256_storeu_ps(mins + at(r, ld_mins), m);
        add_point<Weighted>(m, Weighted ? w[r] : 1.0, lo, hi);
    }
    _mm256_storeu_pd(sums, lo);
    _mm256_storeu_pd(sums + 4, hi);
}

// tile_mins without the sums for R listed points (rows idx[r] of X), their
// lowered distances stored to consecutive rows of mins.
template <int R>
inline void listed_mins(const float *X, int d, const int32_t *idx, const int32_t *next,
                        const float *panel, const float *closest, float *mins, int ld_mins) {
    const float *row[R], *ahead[R];
    __m256 acc[R];
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
        row[r] = X + at(idx[r], d);
        ahead[r] = X + at(next[r], d);
    }
    tile_distances<R>(row, ahead, d, panel, acc);
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r)
        _mm256_storeu_ps(mins + at(r, ld_mins),
                         _mm256_min_ps(acc[r], _mm256_broadcast_ss(closest + idx[r])));
}

// ---- int8 copies -----------------------------------------------------------

// max |x_j| and sum x_j^2 (in double) of a row.
inline void row_size(const float *x, int d, double &top, double &norm) {
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    __m256 top8 = _mm256_setzero_ps();
    __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
    int j = 0;
    for (; j + 8 <= d; j += 8) {
        const __m256 v = _mm256_loadu_ps(x + j);
        top8 = _mm256_max_ps(top8, _mm256_and_ps(v, magnitude));
        const __m256d v_lo = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
        const __m256d v_hi = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
        lo = _mm256_fmadd_pd(v_lo, v_lo, lo);
        hi = _mm256_fmadd_pd(v_hi, v_hi, hi);
    }
    alignas(32) float t[8];
    alignas(32) double s[4];
    _mm256_store_ps(t, top8);
    _mm256_store_pd(s, _mm256_add_pd(lo, hi));
    // A NaN beside larger values may drop out of the maximum, never out of
    // the norm, which decides whether the row is finite.
    float top_f = *std::max_element(t, t + 8);
    norm = (s[0] + s[1]) + (s[2] + s[3]);
    for (; j < d; ++j) {
        top_f = std::max(top_f, std::fabs(x[j]));
        norm += double(x[j]) * x[j];
    }
    top = top_f;
}

// Stores q_j = round(x_j / scale), clamped to [-127, 127], column j to word
// j / 4 of out (words 64 bytes apart); returns sum (x_j - scale q_j)^2.
inline double quantize_row(const float *x, int d, float scale, int8_t *out) {
    const __m256 s8 = _mm256_set1_ps(scale), top = _mm256_set1_ps(127.0f);
    const __m256d s4 = _mm256_set1_pd(scale);
    __m256d err = _mm256_setzero_pd();
    int j = 0;
    for (; j + 8 <= d; j += 8) {
        const __m256 v = _mm256_loadu_ps(x + j);
        __m256 q = _mm256_round_ps(_mm256_div_ps(v, s8),
                                   _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        q = _mm256_max_ps(_mm256_min_ps(q, top), _mm256_sub_ps(_mm256_setzero_ps(), top));
        const __m256i q32 = _mm256_cvttps_epi32(q);
        // Bytes 0-3 of each 128-bit half: columns j .. j + 3, j + 4 .. j + 7.
        const __m256i q16 = _mm256_packs_epi32(q32, q32);
        const __m256i q8 = _mm256_packs_epi16(q16, q16);
        const int32_t w0 = _mm256_extract_epi32(q8, 0), w1 = _mm256_extract_epi32(q8, 4);
        std::memcpy(out + at(j / 4, 64), &w0, 4);
        std::memcpy(out + at(j / 4 + 1, 64), &w1, 4);
        const __m256d g_lo = _mm256_fnmadd_pd(s4, _mm256_cvtepi32_pd(_mm256_castsi256_si128(q32)),
                                              _mm256_cvtps_pd(_mm256_castps256_ps128(v)));
        const __m256d g_hi =
            _mm256_fnmadd_pd(s4, _mm256_cvtepi32_pd(_mm256_extracti128_si256(q32, 1)),
                             _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)));
        err = _mm256_fmadd_pd(g_lo, g_lo, err);
        err = _mm256_fmadd_pd(g_hi, g_hi, err);
    }
    alignas(32) double e[4];
    _mm256_store_pd(e, err);
    double total = (e[0] + e[1]) + (e[2] + e[3]);
    for (; j < d; ++j) {
        const int8_t qj = int8_t(std::clamp(std::nearbyint(x[j] / scale), -127.0f, 127.0f));
        const double gap = double(x[j]) - double(scale) * qj;
        total += gap * gap;
        out[at(j / 4, 64) + j % 4] = qj;
    }
    return total;
}

// ---- k-means++ state -------------------------------------------------------

// A candidate c cannot come closer to a point x than x's nearest chosen
// center a when |a - c| >= 2 |x - a| (then |x - c| >= |a - c| - |x - a| >=
// |x - a|), and x is not read. The squared distances carry relative errors
// below (d + 2) 2^-24 each; a margin of eight times that on |a - c|^2 keeps
// every skipped point's summed distance at or above its closest one, so the
// skip changes no value. Below kSkipFloor the underflow of single terms
// could outweigh the margin, and such points are read.
constexpr float kSkipFloor = 0x1.0p-100f;

inline float skip_factor(int d) {
    return 4.0f * static_cast<float>(1.0 + 8.0 * (d + 2.0) * 0x1.0p-24);
}

// Below this many columns the contiguous sweep scores a point about as fast
// as the test, the gathered rows and the point-by-point sums cost
// (well-separated clusters at d = 64: 0.24 s swept, 0.38 s skipping).
constexpr int kSkipMinDim = 128;
// Centers between tests when the last test spared too few points.
constexpr int kRetry = 16;

// From this many columns, and this many multiply-adds of a candidate
// against all centers' worth of sweeps (k d), the int8 tile test pays for
// its copy of the points.
constexpr int kTileMinDim = 64;
constexpr int64_t kTileMinWork = 16384;

// A span whose share of points to read reaches this runs the contiguous
// sweep over all its points: gathering rows would save little.
constexpr int kDenseOf4 = 2;  // in quarters of the span

// Spans a thread claims at once: their tests run first (the rows they list
// are fetched meanwhile), and their sums side by side.
constexpr int kRun = 4;

// Listed rows of a span fetched as soon as its test lists them.
constexpr int kFetchListed = 16;

// A span and the m points its test listed (read).
struct listed {
    int span, lo, hi, m;
    const int32_t *read;
};

// n_read marks of a span whose every point was read, by the layout of its
// mins: a row per point, or a row per candidate.
constexpr int kAllByPoint = -1, kAllByCandidate = -2;

// The arrays of one seeding. mins and part are written span by span by
// different threads: each starts on a cache line of its own, inside a
// buffer one line longer, so no two spans' rows share a line.
struct seed_buffers {
    buffer<float> mins_store;
    buffer<double> part_store;
    float *mins;                   // per span: rows of its read points' lowered distances
    double *part;                  // n_spans x ld: per-span sums of mins
    buffer<float> closest;         // n_spans x kSpan: squared distance to the nearest center
    buffer<int32_t> nearest;       // n: that center
    buffer<int32_t> read;          // per span from its first point on: the points read
    buffer<int32_t> n_read;        // n_spans: their count, or kAllBy... for all
    buffer<float> gaps;            // k x ld: squared distances chosen center - candidate
    buffer<float> panels;          // n_panels x d x 8: the candidates, lane-interleaved
    buffer<double> prefix;         // n_spans + 1: running sums of the spans' closest
    buffer<double> pot;            // ld: potential of each candidate
    buffer<int32_t> cand;          // n_trials: candidate rows
    buffer<unsigned char> chosen;  // n: row already a center
    buffer<float> blocked;         // the points in blocks of 16, at 16 lanes
    buffer<int8_t> quantized;      // the int8 copies, in blocks of 16 points (quads x 16 words)
    buffer<float> copy_consts;     // 4 x n_spans kSpan: each copy's norm, err, len, scale
    buffer<int8_t> cand_rows;      // 16 x quads words: the candidates' copies
};

// count values of T in store, from the first cache line boundary on.
template <class T>
bool take_lines(buffer<T> &store, T *&start, std::size_t count) {
    if (!take(store, count + kLineBytes / sizeof(T))) return false;
    const auto at_line = (reinterpret_cast<std::uintptr_t>(store.get()) + kLineBytes - 1) &
                         ~std::uintptr_t(kLineBytes - 1);
    start = reinterpret_cast<T *>(at_line);
    return true;
}

struct seeding {
    int n, d, k, n_trials, n_panels, ld, n_spans;
    int n_threads;  // the caller's count, <= 0: the runtime's
    int free_weighted = 0, free_any = 0;  // no unchosen row lies below these
    int pending = -1, pending_center = 0;   // committed candidate's lane and center
    int64_t n_read_last = 0;               // points the last sweep read
    const float *X;
    const float *w;        // row weights, or null for all 1
    const float *centers;  // the chosen centers, by rows
    const float *xt = nullptr;  // the points in blocks of 16, or null
    int quads = 0;              // words of a row's int8 copy, 0: no tile test
    seed_lanes lanes;
    seed_buffers b;

    // Candidate l goes to lane l % 8 of panel l / 8; unused lanes stay 0.
    void pack_panels(int n_cand) {
        const int used = (n_cand + kLanes - 1) / kLanes;
        std::memset(b.panels.get(), 0, at(used, at(d, kLanes)) * sizeof(float));
        for (int l = 0; l < n_cand; ++l) {
            const float *src = X + at(b.cand[l], d);
            float *dst = b.panels.get() + at(l / kLanes, at(d, kLanes)) + l % kLanes;
            for (int j = 0; j < d; ++j) dst[at(j, kLanes)] = src[j];
        }
    }

    // Point i's share of the potential: its closest distance times its weight.
    double share(int i) const {
        const double c = b.closest[i];
        return w ? c * w[i] : c;
    }

    const float *panel(int g) const { return b.panels.get() + at(g, at(d, kLanes)); }

    // gaps rows 0 .. n_centers-1: the chosen centers' squared distances to
    // the n_cand candidates, +inf in the unused lanes so they never ask for
    // a read. Rows are shared out over the calling team.
    void center_gaps(int n_centers, int n_cand) {
        const int n_tiles = (n_centers + kTile - 1) / kTile;
#pragma omp for schedule(static)
        for (int t = 0; t < n_tiles; ++t) {
            const int lo = t * kTile, hi = std::min(lo + kTile, n_centers);
            for (int g = 0; g < n_panels; ++g) {
                __m256 acc[kTile];
                const float *row[kTile];
                for (int r = 0; r < kTile; ++r) row[r] = centers + at(std::min(lo + r, hi - 1), d);
                tile_distances<kTile>(row, row, d, panel(g), acc);
                for (int r = 0; r < hi - lo; ++r)
                    _mm256_storeu_ps(b.gaps.get() + at(lo + r, ld) + g * kLanes, acc[r]);
            }
            for (int r = lo; r < hi; ++r)
                std::fill(b.gaps.get() + at(r, ld) + n_cand, b.gaps.get() + at(r, ld) + ld,
                          std::numeric_limits<float>::infinity());
        }
    }

    // The points of [lo, hi) that a candidate may come closer to, into
    // read; returns their count. Without the centers' gaps every point is
    // read, and read is left alone.
    int points_to_read(int lo, int hi, bool use_gaps, int32_t *read) const {
        if (!use_gaps) return hi - lo;
        const float factor = skip_factor(d);
        int count = 0;
        for (int i = lo; i < hi; ++i) {
            const float cl = b.closest[i];
            const float bar = cl * factor;
            bool skip = cl == 0.0f;
            if (cl >= kSkipFloor && bar < std::numeric_limits<float>::infinity()) {
                const float *gap = b.gaps.get() + at(b.nearest[i], ld);
                const __m256 bar8 = _mm256_set1_ps(bar);
                int far = 0xff;
                for (int g = 0; g < n_panels; ++g)
                    far &= _mm256_movemask_ps(
                        _mm256_cmp_ps(_mm256_loadu_ps(gap + g * kLanes), bar8, _CMP_GE_OQ));
                skip = far == 0xff;
            }
            read[count] = i;
            count += !skip;
        }
        return count;
    }

    // Whether a tested span is read whole (an untested one lists every point).
    static bool dense(const listed &t) { return 4 * t.m >= kDenseOf4 * (t.hi - t.lo); }

    // Row i of X into L2.
    void prefetch_row(int32_t i) const {
        const char *row = reinterpret_cast<const char *>(X + at(i, d));
        for (int64_t o = 0; o < int64_t(d) * 4; o += kLineBytes) _mm_prefetch(row + o, _MM_HINT_T1);
    }

    // mins of span [lo, hi) for the first n_used panels over its m listed
    // points (read).
    void listed_span(const int32_t *read, int m, int n_used, float *mins) const {
        for (int g = 0; g < n_used; ++g) {
            int r = 0;
            for (; m - r >= kTile; r += kTile) {
                const int32_t *next = m - r >= 2 * kTile ? read + r + kTile : read + r;
                listed_mins<kTile>(X, d, read + r, next, panel(g), b.closest.get(),
                                   mins + at(r, ld) + g * kLanes, ld);
            }
            if (r < m) {
                // A whole tile, its last point repeated: eight chains run
                // side by side, where one alone waits on each addition. The
                // span's rows of mins hold the extra rows (m < kSpan / 2).
                int32_t last[kTile];
                for (int q = 0; q < kTile; ++q) last[q] = read[std::min(r + q, m - 1)];
                listed_mins<kTile>(X, d, last, last, panel(g), b.closest.get(),
                                   mins + at(r, ld) + g * kLanes, ld);
            }
        }
    }

    // part of S listed spans for the first n_used panels. Each sum adds its
    // span's values in point order, a point not read adding its closest
    // distance, so the sums are the contiguous sweep's; the S spans run side
    // by side, as each chain waits on its own additions.
    template <bool Weighted, int S>
    void listed_sums(const listed *spans, int n_used) const {
        const float *closest = b.closest.get();
        const int len = spans[0].hi - spans[0].lo;
        for (int g = 0; g < n_used; ++g) {
            __m256d s_lo[S], s_hi[S];
            int r[S], next[S];  // next: the span's next read point, from its start
#pragma GCC unroll 4
            for (int q = 0; q < S; ++q) {
                s_lo[q] = s_hi[q] = _mm256_setzero_pd();
                r[q] = 0;
                next[q] = spans[q].m > 0 ? spans[q].read[0] - spans[q].lo : len;
            }
            for (int i = 0; i < len; ++i) {
#pragma GCC unroll 4
                for (int q = 0; q < S; ++q) {
                    const int p = spans[q].lo + i;
                    const double wp = Weighted ? w[p] : 1.0;
                    if (i == next[q]) {
                        add_point<Weighted>(_mm256_loadu_ps(b.mins + at(spans[q].lo, ld) +
                                                            at(r[q], ld) + g * kLanes),
                                            wp, s_lo[q], s_hi[q]);
                        ++r[q];
                        next[q] = r[q] < spans[q].m ? spans[q].read[r[q]] - spans[q].lo : len;
                    } else {
                        // Every lane adds the same closest distance.
                        const __m256d c = _mm256_set1_pd(Weighted ? double(closest[p]) * wp
                                                                  : double(closest[p]));
                        s_lo[q] = _mm256_add_pd(s_lo[q], c);
                        s_hi[q] = _mm256_add_pd(s_hi[q], c);
                    }
                }
            }
#pragma GCC unroll 4
            for (int q = 0; q < S; ++q) {
                double *sums = b.part + at(spans[q].span, ld) + g * kLanes;
                _mm256_storeu_pd(sums, s_lo[q]);
                _mm256_storeu_pd(sums + 4, s_hi[q]);
            }
        }
    }

    // part of the listed spans, runs of equal length side by side.
    template <bool Weighted>
    void listed_sums(const listed *spans, int count, int n_used) const {
        int q = 0;
        for (; count - q >= 4 && spans[q + 3].hi - spans[q + 3].lo == kSpan; q += 4)
            listed_sums<Weighted, 4>(spans + q, n_used);
        for (; count - q >= 2 && spans[q + 1].hi - spans[q + 1].lo == kSpan; q += 2)
            listed_sums<Weighted, 2>(spans + q, n_used);
        for (; q < count; ++q) listed_sums<Weighted, 1>(spans + q, n_used);
    }

    // Every point of span [lo, hi) against the n_cand candidates of the
    // first n_used panels: mins row i - lo for point i, or, from blocks, row
    // l for candidate l (stride kSpan); returns the span's n_read mark.
    template <bool Weighted>
    int dense_span(int lo, int hi, int n_used, int n_cand, float *mins, double *sums) const {
        std::fill(sums, sums + ld, 0.0);
        if (xt) {  // spans start on whole blocks
            seed_blocks_16(hi - lo, d, xt + at(lo, d), b.panels.get(), n_cand,
                           b.closest.get() + lo, Weighted ? w + lo : nullptr, mins, kSpan, sums);
            return kAllByCandidate;
        }
        int i = lo;
        for (; hi - i >= kTile; i += kTile) {
            // The next tile's rows are fetched while this one computes.
            const float *next = X + at(n - i >= 2 * kTile ? i + kTile : i, d);
            const float *wi = Weighted ? w + i : nullptr;
            for (int g = 0; g < n_used; ++g)
                tile_mins<kTile, Weighted>(X + at(i, d), d, next, panel(g), b.closest.get() + i,
                                           wi, mins + at(i - lo, ld) + g * kLanes, ld,
                                           sums + g * kLanes);
        }
        for (; i < hi; ++i) {  // the span's last partial tile, point by point
            const float *wi = Weighted ? w + i : nullptr;
            for (int g = 0; g < n_used; ++g)
                tile_mins<1, Weighted>(X + at(i, d), d, X + at(i, d), panel(g),
                                       b.closest.get() + i, wi, mins + at(i - lo, ld) + g * kLanes,
                                       ld, sums + g * kLanes);
        }
        return kAllByPoint;
    }

    // At 16 lanes the points are copied once into blocks of 16 (d x 16,
    // point in lane, the last block padded with zeros), unless the copy
    // would pass kMaxBlocked floats or the int8 test runs (few sweeps are
    // then dense, and the copy costs what its faster sweeps save); then the
    // 8-lane tiles read X.
    bool make_blocks() {
        const int n_blocks = n / kSeedBlock + (n % kSeedBlock != 0);
        if (kernel_lanes() != 16 || quads > 0 || at(n_blocks, at(d, kSeedBlock)) > kMaxBlocked)
            return true;
        if (!take(b.blocked, at(n_blocks, at(d, kSeedBlock)))) return false;
        float *out = b.blocked.get();
        const int team = team_for_blocks(n_threads, int64_t(n) * d, n_blocks);
#pragma omp parallel for schedule(static) num_threads(team) if (team > 1)
        for (int blk = 0; blk < n_blocks; ++blk) {
            float *dst = out + at(blk, at(d, kSeedBlock));
            for (int p = 0; p < kSeedBlock; ++p) {
                const int i = blk * kSeedBlock + p;
                for (int j = 0; j < d; ++j)
                    dst[at(j, kSeedBlock) + p] = i < n ? X[at(i, d) + j] : 0.0f;
            }
        }
        xt = out;
        return true;
    }

    // Where the processor has int8 tiles, every point copied once as x~ = s q
    // (q in [-127, 127], s = max |x_j| / 127) with the constants of its test
    // (seed_copies); without the memory the sweep goes on untested.
    void make_copies() {
        if (!seed_tiles(d) || kernel_lanes() != 16 || d < kTileMinDim ||
            int64_t(k) * d < kTileMinWork || n_trials > 16)
            return;
        const int q = (d + 63) / 64 * 16;
        const std::size_t padded = at(n_spans, kSpan);
        if (!take(b.quantized, at(padded, at(q, 4))) || !take(b.copy_consts, at(4, padded)) ||
            !take(b.cand_rows, at(16, at(q, 4))) ||
            (d < kSkipMinDim && !take(b.read, at(n, 1))))
            return;
        std::fill(b.copy_consts.get(), b.copy_consts.get() + at(4, padded), 0.0f);
        const int team = team_for_blocks(n_threads, int64_t(n) * d, n_spans);
#pragma omp parallel for schedule(static) num_threads(team) if (team > 1)
        for (int blk = 0; blk < int(padded / 16); ++blk) copy_block(blk, q);
        quads = q;
    }

    // The distance the sweep sums for x and c is within (d + 2) 2^-24 of
    // |x - c|^2 relatively, the norms (double, rounded) within 2^-24, the
    // bound's float evaluation within a few 2^-24 of its terms: kappa of
    // the norms covers all three twice over.
    float kappa() const { return float(2 * d + 132) * 0x1p-24f; }

    seed_copies copies(std::size_t from) const {
        const std::size_t padded = at(n_spans, kSpan);
        const float *c = b.copy_consts.get() + from;
        return {c, c + padded, c + at(2, padded), c + at(3, padded)};
    }

    // Block blk's points copied, word o of point p at o 16 + p (zeros past n).
    void copy_block(int blk, int q) {
        int8_t *out = b.quantized.get() + at(blk, at(q, 64));
        std::memset(out, 0, at(q, 64));
        const std::size_t padded = at(n_spans, kSpan);
        float *consts = b.copy_consts.get();
        for (int p = 0; p < 16 && 16 * blk + p < n; ++p) {
            const int i = 16 * blk + p;
            const float *x = X + at(i, d);
            double top, norm;
            row_size(x, d, top, norm);
            // A row with a value that is not finite is copied as zeros with
            // an infinite error: its bounds are NaN, and it is always read.
            const bool finite = std::isfinite(norm);
            const float scale = finite ? float(top / 127.0) : 0.0f;
            const double err = !finite        ? std::numeric_limits<double>::infinity()
                               : scale > 0.0f ? quantize_row(x, d, scale, out + 4 * p)
                                              : norm;  // copied as zeros
            const float up = 1.0f + 0x1p-20f;
            const float e = float(std::sqrt(err)) * up;
            consts[i] = float(norm * (1.0 - double(kappa())));
            consts[padded + i] = e;
            consts[at(2, padded) + i] = (float(std::sqrt(norm)) + e) * up;  // >= |x|, |x~|
            consts[at(3, padded) + i] = scale;
        }
    }

    // The candidates' copies and constants for the tile test; rows past
    // n_cand are zero and never ask for a read.
    void pack_quads(int n_cand) {
        const float safe = 1.0f + 0x1p-10f, k2 = 2.0f * (kappa() + 0x1p-21f);
        const std::size_t padded = at(n_spans, kSpan);
        const float *consts = b.copy_consts.get();
        std::memset(b.cand_rows.get(), 0, at(16, at(quads, 4)));
        for (int l = 0; l < n_cand; ++l) {
            const int i = b.cand[l];
            const float err = consts[padded + i], len = consts[at(2, padded) + i];
            lanes.norm[l] = consts[i];
            lanes.len[l] = 2.0f * len * safe;
            lanes.err[l] = (2.0f * err + k2 * len) * safe;
            lanes.scale[l] = -2.0f * consts[at(3, padded) + i];
            const int8_t *block = b.quantized.get() + at(i / 16, at(quads, 64));
            int8_t *row = b.cand_rows.get() + at(l, at(quads, 4));
            for (int o = 0; o < quads; ++o)
                std::memcpy(row + 4 * o, block + at(o, 64) + 4 * (i % 16), 4);
        }
    }

    void candidate_pass(int n_used, int n_cand, int n_centers) {
        if (w)
            sweep<true>(n_used, n_cand, n_centers);
        else
            sweep<false>(n_used, n_cand, n_centers);
    }

    // Whether the sweep after n_centers centers tests points against the
    // centers' gaps: while the last sweep read under four fifths of the
    // points, and otherwise every kRetry centers, as the chosen centers
    // close in (the first test, at kRetry centers: until then a test spares
    // few points).
    bool test_gaps(int n_centers) const {
        if (n_centers == 0 || d < kSkipMinDim) return false;
        return 5 * n_read_last < 4 * int64_t(n) || n_centers % kRetry == 0;
    }

    // The same for the tile test, which replaces the gaps where it runs.
    bool test_tiles(int n_centers) const {
        if (n_centers == 0 || quads == 0) return false;
        return 5 * n_read_last < 4 * int64_t(n) || n_centers % kRetry == 0;
    }

    // mins and part for the first n_used panels, holding n_cand candidates,
    // after n_centers centers are chosen. Runs of spans are claimed dynamically,
    // so a descheduled thread holds back little; each span sums its points in
    // order, so the sums do not depend on which thread took it.
    template <bool Weighted>
    void sweep(int n_used, int n_cand, int n_centers) {
        const bool tiled = test_tiles(n_centers);
        const bool gaps = !tiled && test_gaps(n_centers);
        if (tiled) pack_quads(n_cand);
        const int n_runs = (n_spans + kRun - 1) / kRun;
        const int team = team_for_blocks(n_threads, int64_t(n) * d * n_used * kLanes, n_runs);
        int64_t total = 0;
#pragma omp parallel num_threads(team) if (team > 1) reduction(+ : total)
        {
            if (gaps) center_gaps(n_centers, n_cand);
            if (tiled) tile_seed_begin(n_cand);
#pragma omp for schedule(dynamic, 1)
            for (int run = 0; run < n_runs; ++run) {
                // The run's spans tested first, the rows they list fetched
                // while the others are tested; then scored, then summed.
                const int first = run * kRun, end = std::min(n_spans, first + kRun);
                listed tested[kRun];
                for (int span = first; span < end; ++span) {
                    settle(span);
                    const int lo = span * kSpan, hi = lo + std::min(kSpan, n - lo);
                    // The read lists are held only where the points are tested.
                    int32_t *read = gaps || tiled ? b.read.get() + lo : nullptr;
                    const int m =
                        tiled ? tile_seed_test(hi - lo, quads,
                                               b.quantized.get() + at(lo / 16, at(quads, 64)),
                                               b.cand_rows.get(), n_cand, lanes, copies(lo),
                                               b.closest.get() + lo, lo,
                                               std::min(kSpan, n_spans * kSpan - hi) / 16, read)
                              : points_to_read(lo, hi, gaps, read);
                    tested[span - first] = {span, lo, hi, m, read};
                    if (!dense(tested[span - first]))
                        for (int r = 0; r < std::min(m, kFetchListed); ++r) prefetch_row(read[r]);
                    total += m;
                }
                listed spans[kRun];
                int count = 0;
                for (int q = 0; q < end - first; ++q) {
                    const listed &t = tested[q];
                    float *mins = b.mins + at(t.lo, ld);
                    if (dense(t)) {
                        b.n_read[t.span] = dense_span<Weighted>(t.lo, t.hi, n_used, n_cand, mins,
                                                                b.part + at(t.span, ld));
                    } else {
                        listed_span(t.read, t.m, n_used, mins);
                        b.n_read[t.span] = t.m;
                        spans[count++] = t;
                    }
                }
                listed_sums<Weighted>(spans, count, n_used);
            }
            if (tiled) tile_seed_end();
        }
        pending = -1;
        n_read_last = total;
    }

    // First of the n_cand candidates with the lowest potential; the span
    // sums are added in span order, as commit() adds them.
    int best_candidate(int n_cand) {
        std::fill(b.pot.get(), b.pot.get() + n_cand, 0.0);
        for (int span = 0; span < n_spans; ++span) {
            const double *sums = b.part + at(span, ld);
            for (int l = 0; l < n_cand; ++l) b.pot[l] += sums[l];
        }
        int best = 0;
        for (int l = 1; l < n_cand; ++l)
            if (b.pot[l] < b.pot[best]) best = l;
        return best;
    }

    // Candidate `best` becomes center `center`: its span sums are the new
    // running sums, with prefix[n_spans] the potential, and its lowered
    // distances wait in mins until their span is settled.
    void commit(int best, int center) {
        pending = best;
        pending_center = center;
        b.prefix[0] = 0.0;
        for (int span = 0; span < n_spans; ++span)
            b.prefix[span + 1] = b.prefix[span] + b.part[at(span, ld) + best];
    }

    // The span's points read by the last sweep take the committed
    // candidate's lowered distances, and it as their nearest center where
    // it is nearer. Settling twice changes nothing, so a span settled for a
    // draw is settled again by the sweep at no harm.
    void settle(int span) {
        if (pending < 0) return;
        const int lo = span * kSpan, hi = lo + std::min(kSpan, n - lo);
        const int marked = b.n_read[span];
        const float *mins = b.mins + at(lo, ld);
        // Where the span's values of the committed candidate lie: by point
        // (stride ld) or by candidate (a row of kSpan).
        const float *own = marked == kAllByCandidate ? mins + at(pending, kSpan) : mins + pending;
        const std::size_t step = marked == kAllByCandidate ? 1 : ld;
        float *closest = b.closest.get();
        if (d < kSkipMinDim) {  // no test reads the nearest centers
            if (marked < 0) {
                for (int i = lo; i < hi; ++i) closest[i] = own[at(i - lo, step)];
            } else {
                const int32_t *read = b.read.get() + lo;
                for (int r = 0; r < marked; ++r) closest[read[r]] = own[at(r, ld)];
            }
            return;
        }
        int32_t *nearest = b.nearest.get();
        const int32_t center = pending_center;
        // A mask, not a branch: which points come closer follows no pattern.
        const auto take = [&](int i, float m) {
            const int32_t nearer = -static_cast<int32_t>(m < closest[i]);
            nearest[i] ^= (nearest[i] ^ center) & nearer;
            closest[i] = m;
        };
        if (marked < 0) {  // every point, in order
            for (int i = lo; i < hi; ++i) take(i, own[at(i - lo, step)]);
            return;
        }
        const int32_t *read = b.read.get() + lo;
        for (int r = 0; r < marked; ++r) take(read[r], own[at(r, ld)]);
    }

    // First point whose running sum of shares reaches r (the left search of
    // the cumulative sums); the last point when r exceeds them all or is NaN.
    // With r > 0 that point has a positive share. Inside the span the
    // running sum repeats the kernel's additions, so it reaches
    // prefix[span + 1] exactly.
    int find_point(double r) {
        int lo = 0, hi = n_spans;
        while (lo < hi) {
            const int mid = lo + (hi - lo) / 2;
            if (b.prefix[mid + 1] >= r)
                hi = mid;
            else
                lo = mid + 1;
        }
        if (lo == n_spans) return n - 1;
        settle(lo);
        const int first = lo * kSpan, last = first + std::min(kSpan, n - first);
        double s = 0.0;
        for (int i = first; i < last; ++i) {
            s += share(i);
            if (b.prefix[lo] + s >= r) return i;
        }
        return last - 1;
    }

    // Lowest row not chosen yet, rows of positive weight first (one exists,
    // as fewer than k <= n rows are chosen).
    int lowest_unchosen() {
        if (w) {
            while (free_weighted < n && (b.chosen[free_weighted] || !(w[free_weighted] > 0.0f)))
                ++free_weighted;
            if (free_weighted < n) return free_weighted;
        }
        while (b.chosen[free_any]) ++free_any;
        return free_any;
    }

    bool allocate() {
        // Only rows of kSkipMinDim columns or more are ever skipped.
        const int n_skip = d >= kSkipMinDim ? n : 0, k_skip = d >= kSkipMinDim ? k : 0;
        // closest is read in whole blocks of 16 points.
        return take(b.closest, at(n_spans, kSpan)) && take(b.nearest, at(n_skip, 1)) &&
               take(b.read, at(n_skip, 1)) && take(b.n_read, at(n_spans, 1)) &&
               take(b.gaps, at(k_skip, ld)) &&
               take_lines(b.mins_store, b.mins, at(at(n_spans, kSpan), ld)) &&
               take(b.panels, at(n_panels, at(d, kLanes))) &&
               take_lines(b.part_store, b.part, at(n_spans, ld)) &&
               take(b.prefix, at(n_spans + 1, 1)) && take(b.pot, at(ld, 1)) &&
               take(b.cand, at(n_trials, 1)) && take(b.chosen, at(n, 1));
    }
};

inline bool valid_sizes(int n, int d, int k) { return d >= 1 && k >= 1 && k <= n; }

// Largest trial count whose panels still index in int.
constexpr int kMaxTrials = std::numeric_limits<int>::max() - kLanes;

// Sum of the weights, or NaN when one is negative or not finite (a NaN sum
// then fails the caller's test for a positive total).
inline double weight_total(int n, const float *w) {
    double total = 0.0;
    for (int i = 0; i < n; ++i) {
        if (!(w[i] >= 0.0f) || std::isinf(w[i])) return std::numeric_limits<double>::quiet_NaN();
        total += w[i];
    }
    return total;
}

// A draw in (0, scale): never 0, so a search for the first running sum
// that reaches it never stops on a zero share.
inline double positive_draw(random_stream &gen, double scale) {
    return std::max(gen.uniform() * scale, std::numeric_limits<double>::denorm_min());
}

// First center: uniform, or with probability weight / total.
inline int first_row(random_stream &gen, int n, const float *w, double total) {
    if (!w) return static_cast<int>(gen.below(static_cast<uint32_t>(n)));
    const double r = positive_draw(gen, total);
    double s = 0.0;
    int row = 0;
    for (int i = 0; i < n; ++i) {
        s += w[i];
        if (w[i] > 0.0f) {
            row = i;
            if (s >= r) break;
        }
    }
    return row;
}

inline void emit(const float *X, int d, int c, int row, float *centers_out,
                 int32_t *indices_out) {
    indices_out[c] = row;
    std::memcpy(centers_out + at(c, d), X + at(row, d), at(d, 1) * sizeof(float));
}

}  // namespace

int tavrine_kmeanspp(int n, int d, int k, const float *X, const float *weights,
                     int n_local_trials, uint64_t seed, float *centers_out,
                     int32_t *indices_out, int n_threads) {
    if (!valid_sizes(n, d, k) || n_local_trials > kMaxTrials) return TAVRINE_ERR_ARGS;
    const double total = weights ? weight_total(n, weights) : 0.0;
    if (weights && !(total > 0.0)) return TAVRINE_ERR_ARGS;
    random_stream gen(seed);
    const int first = first_row(gen, n, weights, total);
    if (k == 1) {
        emit(X, d, 0, first, centers_out, indices_out);
        return 0;
    }

    seeding s;
    s.n = n;
    s.d = d;
    s.k = k;
    s.X = X;
    s.centers = centers_out;
    s.w = weights;
    s.n_threads = n_threads;
    s.n_trials = n_local_trials > 0 ? n_local_trials : 2 + static_cast<int>(std::log(k));
    s.n_panels = (s.n_trials - 1) / kLanes + 1;
    s.ld = s.n_panels * kLanes;
    s.n_spans = n / kSpan + (n % kSpan != 0);
    if (!s.allocate()) return TAVRINE_ERR_NOMEM;
    s.make_copies();
    if (!s.make_blocks()) return TAVRINE_ERR_NOMEM;
    seed_buffers &b = s.b;

    std::memset(b.chosen.get(), 0, at(n, 1));
    emit(X, d, 0, first, centers_out, indices_out);
    b.chosen[first] = 1;
    // The first center's distances: one candidate against closest = +inf.
    std::fill(b.closest.get(), b.closest.get() + at(s.n_spans, kSpan),
              std::numeric_limits<float>::infinity());
    if (d >= kSkipMinDim) std::fill(b.nearest.get(), b.nearest.get() + n, 0);
    b.cand[0] = first;
    s.pack_panels(1);
    s.candidate_pass(1, 1, 0);
    s.commit(0, 0);

    for (int c = 1; c < k; ++c) {
        const double pot = b.prefix[s.n_spans];
        int row;
        if (pot > 0.0) {
            for (int l = 0; l < s.n_trials; ++l)
                b.cand[l] = s.find_point(positive_draw(gen, pot));
            s.pack_panels(s.n_trials);
            s.candidate_pass(s.n_panels, s.n_trials, c);
            const int best = s.best_candidate(s.n_trials);
            row = b.cand[best];
            if (c + 1 < k) s.commit(best, c);
        } else {
            // Every row of positive weight coincides with a center: any
            // choice leaves the potential at 0.
            row = s.lowest_unchosen();
        }
        emit(X, d, c, row, centers_out, indices_out);
        b.chosen[row] = 1;
    }
    return 0;
}

int tavrine_random_init(int n, int d, int k, const float *X, uint64_t seed, float *centers_out,
                        int32_t *indices_out) {
    if (!valid_sizes(n, d, k)) return TAVRINE_ERR_ARGS;
    buffer<int32_t> perm;
    if (!take(perm, at(n, 1))) return TAVRINE_ERR_NOMEM;
    for (int i = 0; i < n; ++i) perm[i] = i;
    random_stream gen(seed);
    // Partial Fisher-Yates: position c takes a uniform pick of the rows not yet placed.
    for (int c = 0; c < k; ++c) {
        const int j = c + static_cast<int>(gen.below(static_cast<uint32_t>(n - c)));
        std::swap(perm[c], perm[j]);
        emit(X, d, c, perm[c], centers_out, indices_out);
    }
    return 0;
}
