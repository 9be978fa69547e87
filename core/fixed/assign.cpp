// SPDX-License-Identifier: BSD-3-Clause
//
// Assignment: the full assignment of the first iteration (per chunk of
// points, the dense product into D_NC, then a per-point scan) and the pruned
// assignment of later iterations (candidate lists from the angle bound; per
// chunk, masked products or, where the lists are long enough, the dense
// product; the same scan over candidates only). Each thread adds its points
// into its own slice of the per-thread counts and sums, at most
// TAVRINE_N_SLICES slices, which the center update merges in a fixed order.
// The loop's variants of both steps give the same labels but keep products
// and candidate lists in per-thread scratch. Offsets are 64-bit.
#include <omp.h>

#include <cfloat>
#include <cmath>
#include <cstdio>

#include "kernels/blas.h"
#include "kernels/buffer.h"
#include "common.h"

using namespace tavrine;

// counts[label] += 1 and sums[label] += the point's d8 floats.
static inline void accumulate_point(const float *point, int label, int d8, float *counts,
                                    float *sums) {
    counts[label] += 1.0f;
    float *s = sums + at(label, d8);
    for (int o = 0; o < d8; o += 8)
        _mm256_storeu_ps(s + o, _mm256_add_ps(_mm256_loadu_ps(s + o), _mm256_loadu_ps(point + o)));
}

void compute_y(const float *dist, const float *c_norm, int rows, int ld_dist, int k,
               int32_t *labels, bool accumulate, float *counts, int d8, const float *points,
               float *sums) {
    for (int i = 0; i < rows; ++i) {
        const int label = nearest_of_row(dist + at(i, ld_dist), c_norm, k);
        labels[i] = label;
        if (accumulate) accumulate_point(points + at(i, d8), label, d8, counts, sums);
    }
}

// Packs the centers over the team, each thread a share of the panels; the
// caller's barrier makes them visible.
static inline void pack_share(const float *cen, int k8, int d8, float *packed) {
    int first, last;
    static_share(center_panels(k8), omp_get_num_threads(), omp_get_thread_num(), first, last);
    pack_centers(cen, k8, d8, first, last, packed);
}

// Hands chunks 0 .. n_chunks-1 to the calling team, body(c) for each. The
// exported steps deal them dynamically; the loop's own steps round-robin
// (chunk c to thread c mod team), so every thread's slice adds the same points
// in the same order in each run with the same thread count, and refitting
// gives bit-identical centers.
template <bool Dynamic, typename Body>
static inline void for_chunks(int n_chunks, Body body) {
    if (Dynamic) {
#pragma omp for schedule(nonmonotonic : dynamic, 1) nowait
        for (int c = 0; c < n_chunks; ++c) body(c);
    } else {
#pragma omp for schedule(static, 1) nowait
        for (int c = 0; c < n_chunks; ++c) body(c);
    }
}

// Each chunk's products go straight into its rows of D_NC (with Store) or
// into the thread's own chunk of scratch, and are scanned while they are
// still in cache, so the full product never makes a round trip through memory
// and runs on the assignment team's threads. Without room for the packed
// centers: one BLAS product into D_NC, then the scan.
template <bool Store>
static int64_t full_assign(int n, int d8, int k8, int k, const float *X, const float *cen,
                           const float *c_norm, bool accumulate, fast_var *fv, int32_t *y,
                           float *thread_cnt, float *thread_sum) {
    const timeval t0 = wall_now();
    chunk_par par;
    init_chunk_par(&par, n, 64);
    const int team = assign_team(par.n_chunks);
    const std::size_t scratch = Store ? 0 : at(par.chunk_size, k8);
    buffer<float> packed_owner;
    float *packed = take(packed_owner, at(k8, d8) + scratch * team) ? packed_owner.get() : nullptr;
    if (packed == nullptr)
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, n, k8, d8, -2.0f, X, d8, cen, d8,
                    0.0f, fv->D_NC, k8);
    const std::size_t slice_len = at(k8, d8);

#pragma omp parallel num_threads(team)
    {
        const int thread = omp_get_thread_num();
        if (packed) pack_share(cen, k8, d8, packed);
        float *own = packed && !Store ? packed + at(k8, d8) + scratch * thread : nullptr;
#pragma omp barrier
        for_chunks<Store>(par.n_chunks, [&](int c) {
            int lo, hi;
            chunk_bounds(par, c, n, lo, hi);
            float *dist = own ? own : fv->D_NC + at(lo, k8);
            if (packed) packed_product(hi - lo, d8, k8, X + at(lo, d8), d8, packed, dist, k8);
            compute_y(dist, c_norm, hi - lo, k8, k, y + lo, accumulate,
                      thread_cnt + at(thread, k8), d8, X + at(lo, d8),
                      thread_sum + thread * slice_len);
        });
    }
    packed_owner.reset();
    const int64_t us = elapsed_us(t0, wall_now());
    // The loop's variant, whose product never goes through OpenBLAS when
    // memory allows, leaves its thread count be.
    if (Store) set_blas_threads(kBlasThreadsAfterFullAssign);
    return us;
}

int64_t update_y_omp(int n, int d8, int k8, int k, const float *X, const float *cen,
                     const float *c_norm, bool accumulate, fast_var *fv, int32_t *y,
                     float *thread_cnt, float *thread_sum) {
    return full_assign<true>(n, d8, k8, k, X, cen, c_norm, accumulate, fv, y, thread_cnt,
                             thread_sum);
}

int64_t tavrine::update_y_labels(int n, int d8, int k8, int k, const float *X,
                                 const float *cen, const float *c_norm, bool accumulate,
                                 fast_var *fv, int32_t *y, float *thread_cnt,
                                 float *thread_sum) {
    return full_assign<false>(n, d8, k8, k, X, cen, c_norm, accumulate, fv, y, thread_cnt,
                              thread_sum);
}

void compute_y_mask(const int32_t *mask, const float *dist, const float *c_norm, int rows,
                    int ld, int k, int32_t *labels, bool accumulate, float *counts, int d8,
                    const float *points, float *sums) {
    for (int i = 0; i < rows; ++i) {
        const int32_t *list = mask + at(i, ld);
        const float *row = dist + at(i, ld);
        int label = list[0];
        float best = row[label] + c_norm[label];
        // Strict comparison over an ascending list: ties keep the lower index
        // and a NaN never wins. The list ends at its first entry outside 0 .. k-1.
        for (int p = 1; p < k; ++p) {
            const int e = list[p];
            if (static_cast<unsigned>(e) >= static_cast<unsigned>(k)) break;
            const float v = row[e] + c_norm[e];
            if (best > v) {
                best = v;
                label = e;
            }
        }
        labels[i] = label;
        if (accumulate) accumulate_point(points + at(i, d8), label, d8, counts, sums);
    }
}

// ---- Pruned assignment -----------------------------------------------------

namespace {
constexpr int kAhead = 4;  // rows between a prefetch and the row that needs it
}  // namespace

// Per chunk: the candidate lists, then per point the candidates' products,
// each group's values scanned as they are stored, and the point's
// accumulation. In a masked chunk every stored product and every label is
// what gemm_mul_p_mask followed by compute_y_mask gives; a dense chunk stores
// the dense product's values and scans them in the same order.

// One point's products against its candidates: the operands of the masked
// product for one row, and the running scan of its scores. Without Store the
// products are only scanned, never written to the row.
template <bool Store>
struct RowScan {
    const float *a_row, *B, *c_norm;
    float *c_row;
    int ldb, depth;
    float alpha, beta;
    FirstMin scan;
    float first = 0.0f;  // score of list position 0

    // Stores the group's Q values as update_outputs does and scans their
    // scores; the lanes from Q on score NaN. Unstored values skip the beta
    // term: the caller guarantees beta = 0 and finite old values, for which
    // fma(0, old, v) = v up to the sign of a zero, which no comparison sees.
    template <int Q>
    void store_and_scan(const int32_t *group, int p, __m256 sums) {
        alignas(32) float v[8], score[8];
        _mm256_store_ps(v, _mm256_mul_ps(sums, _mm256_set1_ps(alpha)));
        if (Q < 8) _mm256_store_ps(score, _mm256_set1_ps(__builtin_nanf("")));
        for (int t = 0; t < Q; ++t) {
            const int c = group[t];
            float value = v[t];
            if (Store) {
                value = std::fma(beta, c_row[c], value);
                c_row[c] = value;
            }
            score[t] = value + c_norm[c];
        }
        scan.add(_mm256_load_ps(score), p);
        if (p == 0) first = score[0];
    }

    void full(const int32_t *group, int p) {
        store_and_scan<8>(group, p, full_sums(a_row, B, ldb, depth, group));
    }

    template <int Q>
    void partial(const int32_t *group, int p) {
        store_and_scan<Q>(group, p, halves_sums<Q>(a_row, B, ldb, depth, group));
    }
};

// Nearest of the m >= 2 listed centers of one point; with Store their
// products are written into c_row on the way.
template <bool Store>
static inline int nearest_candidate(const float *a_row, const float *B, int ldb, float *c_row,
                                    const int32_t *list, int m, const float *c_norm, float alpha,
                                    float beta, int depth) {
    RowScan<Store> row{a_row, B, c_norm, c_row, ldb, depth, alpha, beta, FirstMin{}, 0.0f};
    int p = 0;
    for (; p + 8 <= m; p += 8) row.full(list + p, p);
    switch (m - p) {
        case 0: break;
        case 1: row.template partial<1>(list + p, p); break;
        case 2: row.template partial<2>(list + p, p); break;
        case 3: row.template partial<3>(list + p, p); break;
        case 4: row.template partial<4>(list + p, p); break;
        case 5: row.template partial<5>(list + p, p); break;
        case 6: row.template partial<6>(list + p, p); break;
        default: row.template partial<7>(list + p, p); break;
    }
    // A NaN first score stays the best of the sequential scan.
    return list[row.first != row.first ? 0 : row.scan.position()];
}

// The product of a lone candidate, stored as gemm_mul_p_mask stores it.
static inline void store_lone(const float *a_row, const float *B, int d8, float *c_row,
                              const int32_t *list) {
    const float v = _mm256_cvtss_f32(
        _mm256_mul_ps(halves_sums<1>(a_row, B, d8, d8, list), _mm256_set1_ps(-2.0f)));
    c_row[list[0]] = std::fma(0.0f, c_row[list[0]], v);
}

// Products (stored with Store), labels and accumulation of one chunk whose
// lists are built.
template <bool Store>
static void label_chunk(const float *X, int d8, const float *cen, const float *c_norm,
                        const int32_t *mask, const int32_t *counts, float *dist, int k8,
                        int rows, int32_t *labels, bool accumulate, float *cnt, float *sums) {
    for (int i = 0; i < rows; ++i) {
        if (Store && i + kAhead < rows)
            prefetch_outputs(dist + at(i + kAhead, k8), mask + at(i + kAhead, k8),
                             counts[i + kAhead], k8);
        const int32_t *list = mask + at(i, k8);
        const int m = counts[i];
        // A lone candidate is the own center, which keeps the point; only the
        // exported step, whose callers may read D_NC, stores its product.
        if (Store && m == 1) store_lone(X + at(i, d8), cen, d8, dist + at(i, k8), list);
        const int label = m == 1 ? list[0]
                                 : nearest_candidate<Store>(X + at(i, d8), cen, d8,
                                                            dist + at(i, k8), list, m, c_norm,
                                                            -2.0f, 0.0f, d8);
        labels[i] = label;
        if (accumulate) accumulate_point(X + at(i, d8), label, d8, cnt, sums);
    }
}

// Lanes of a block's set candidate bits, all ones where set.
static inline __m256i lanes_of(unsigned bits) {
    const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    return _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(bits), bit), bit);
}

// Nearest listed center of one point from its products against every center
// (prod_row); with Store the listed values are stored into dist_row. The
// listed centers are the set bits of blocks, first the lowest; the scan is the
// sequential strict one over the list, each block's scores taken at once with
// the unlisted lanes NaN.
template <bool Store>
static inline int nearest_listed(const float *prod_row, const uint8_t *blocks, int k8,
                                 const float *c_norm, float *dist_row, int first) {
    FirstMin scan;
    const __m256 nan = _mm256_set1_ps(__builtin_nanf(""));
    for (int j = 0; j < k8; j += 8) {
        const unsigned bits = blocks[j >> 3];
        if (bits == 0) continue;
        const __m256i on = lanes_of(bits);
        const __m256 v = _mm256_loadu_ps(prod_row + j);
        // Blend and store rather than a masked store, which AMD cores run as
        // a slow microcoded sequence; the row is this thread's alone.
        if (Store)
            _mm256_storeu_ps(dist_row + j, _mm256_blendv_ps(_mm256_loadu_ps(dist_row + j), v,
                                                            _mm256_castsi256_ps(on)));
        const __m256 score = _mm256_add_ps(v, _mm256_loadu_ps(c_norm + j));
        scan.add(_mm256_blendv_ps(nan, score, _mm256_castsi256_ps(on)), j);
    }
    // A NaN first score stays the best; with no score below +inf neither
    // does any later one replace the first.
    const float s0 = prod_row[first] + c_norm[first];
    return s0 != s0 || !scan.any() ? first : scan.position();
}

// Lowest center whose bit is set in a row of blocks that has one.
static inline int lowest_listed(const uint8_t *blocks) {
    int b = 0;
    while (blocks[b] == 0) ++b;
    return 8 * b + __builtin_ctz(blocks[b]);
}

// Labels and accumulation of one chunk whose products against every center
// are in prod (rows x k8), listed centers in blocks (rows x k8 / 8 bits). A
// lone candidate is the own center, the label the point comes with; with
// Store its product is stored too.
template <bool Store>
static void label_dense_chunk(const float *X, int d8, const float *prod, const uint8_t *blocks,
                              const float *c_norm, const int32_t *counts, float *dist, int k8,
                              int k, int rows, int32_t *labels, bool accumulate, float *cnt,
                              float *sums) {
    for (int i = 0; i < rows; ++i) {
        const uint8_t *bits = blocks + at(i, k8 / 8);
        const float *prod_row = prod + at(i, k8);
        int label = labels[i];
        if (Store && counts[i] == 1) dist[at(i, k8) + label] = prod_row[label];
        if (counts[i] > 1) {
            const int first = lowest_listed(bits);
            label = -1;
            // Without stores, the nearest of all centers (a cheaper scan) is
            // the nearest listed one whenever it is listed and the first
            // listed score is a number: no listed center can then score
            // lower, or the same at a lower index.
            if constexpr (!Store) {
                const int all = nearest_of_row(prod_row, c_norm, k);
                const float s_first = prod_row[first] + c_norm[first];
                if ((bits[all >> 3] >> (all & 7) & 1) && s_first == s_first) label = all;
            }
            if (label < 0)
                label = nearest_listed<Store>(prod_row, bits, k8, c_norm, dist + at(i, k8), first);
        }
        labels[i] = label;
        if (accumulate) accumulate_point(X + at(i, d8), label, d8, cnt, sums);
    }
}

// Whether a chunk's products are cheaper dense. One masked product costs
// about 2 + 64 / d8 dense ones (one thread, half the centers listed, d8 from
// 8 to 256: the masked kernel's fixed cost per group weighs most at small
// d8), so the dense product wins once the chunk lists more than
// d8 / (2 d8 + 64) of its rows x k8 products. Lone candidates need none.
static inline bool dense_pays(const int32_t *counts, int rows, int k8, int d8) {
    int64_t listed = 0;
    for (int i = 0; i < rows; ++i) listed += counts[i] > 1 ? counts[i] : 0;
    return listed * (2 * d8 + 64) >= static_cast<int64_t>(rows) * k8 * d8;
}

// The pruned assignment; with Store the listed products go into D_NC.
template <bool Store>
static int64_t pruned_assign(int n, int d8, int k8, int k, const float *X, const float *cen,
                             const float *c_norm, bool accumulate, fast_var *fv, int32_t *y,
                             float *thread_cnt, float *thread_sum) {
    const timeval t0 = wall_now();
    chunk_par par;
    init_chunk_par(&par, n, 64);
    const std::size_t slice_len = at(k8, d8);
    const int team = assign_team(n);
    // Per thread: the packed centers, a dense chunk's products (rows x k8
    // floats), its candidate bits (rows x k8 / 8 bytes) in whole vectors and,
    // without Store, its candidate lists (rows x k8). A thread packs on its
    // first dense chunk, so runs of short lists pay nothing; without this
    // room every chunk takes the masked path and lists go to fv->mask.
    const std::size_t bits = round_up8((par.chunk_size * k8 / 8 + 3) / 4);
    const std::size_t lists = Store ? 0 : at(par.chunk_size, k8);
    const std::size_t room = at(k8, d8) + at(par.chunk_size, k8) + bits + lists;
    buffer<float> room_owner, quiet_owner;
    float *rooms = take(room_owner, room * team) ? room_owner.get() : nullptr;
    // Only the lists built with candidate bits (list_rows) take quiet levels.
    float *quiet = rooms && take(quiet_owner, k) ? quiet_owner.get() : nullptr;

#pragma omp parallel num_threads(team)
    {
        const int thread = omp_get_thread_num();
        float *packed = rooms ? rooms + room * thread : nullptr;
        float *prod = rooms ? packed + at(k8, d8) : nullptr;
        uint8_t *blocks =
            rooms ? reinterpret_cast<uint8_t *>(prod + at(par.chunk_size, k8)) : nullptr;
        int32_t *own_lists =
            rooms && !Store ? reinterpret_cast<int32_t *>(prod + at(par.chunk_size, k8) + bits)
                            : nullptr;
        bool have_packed = false;
        if (quiet) quiet_levels(fv->COS_OCiCj, fv->SIN_OCiCj, fv->D_CC, k8, k, quiet);
        for_chunks<Store>(par.n_chunks, [&](int c) {
            int lo, hi;
            chunk_bounds(par, c, n, lo, hi);
            const int rows = hi - lo;
            if (rows <= 0) return;
            int32_t *mask = own_lists ? own_lists : fv->mask + at(lo, k8);
            const int32_t *counts = fv->mask_count + lo;
            // The lists read the old labels, so they come before the scan.
            // Without Store a chunk's lists are written only if it goes masked.
            if (blocks)
                list_rows_bits(Store, fv->COS_OCiCj, fv->SIN_OCiCj, k8, fv->COS_OCX + lo,
                               fv->SIN_OCX + lo, rows, fv->D_CC, k8, fv->r2 + lo, y + lo, mask,
                               k8, k, fv->mask_count + lo, blocks, quiet);
            else
                compute_mask(fv->COS_OCiCj, fv->SIN_OCiCj, k8, fv->COS_OCX + lo,
                             fv->SIN_OCX + lo, rows, fv->D_CC, k8, fv->r2 + lo, y + lo, mask, k8,
                             k, fv->mask_count + lo);
            if (blocks && dense_pays(counts, rows, k8, d8)) {
                if (!have_packed) pack_centers(cen, k8, d8, 0, center_panels(k8), packed);
                have_packed = true;
                packed_product(rows, d8, k8, X + at(lo, d8), d8, packed, prod, k8);
                label_dense_chunk<Store>(X + at(lo, d8), d8, prod, blocks, c_norm, counts,
                                         fv->D_NC + at(lo, k8), k8, k, rows, y + lo, accumulate,
                                         thread_cnt + at(thread, k8),
                                         thread_sum + thread * slice_len);
            } else {
                if (!Store && blocks) lists_from_blocks(blocks, y + lo, counts, rows, k8, mask);
                label_chunk<Store>(X + at(lo, d8), d8, cen, c_norm, mask, counts,
                                   fv->D_NC + at(lo, k8), k8, rows, y + lo, accumulate,
                                   thread_cnt + at(thread, k8), thread_sum + thread * slice_len);
            }
        });
    }
    room_owner.reset();
    quiet_owner.reset();
    return elapsed_us(t0, wall_now());
}

int64_t update_mdy(int n, int d8, int k8, int k, const float *X, const float *cen,
                   const float *c_norm, bool accumulate, fast_var *fv, int32_t *y,
                   float *thread_cnt, float *thread_sum) {
    return pruned_assign<true>(n, d8, k8, k, X, cen, c_norm, accumulate, fv, y, thread_cnt,
                               thread_sum);
}

int64_t tavrine::update_mdy_labels(int n, int d8, int k8, int k, const float *X,
                                   const float *cen, const float *c_norm, bool accumulate,
                                   fast_var *fv, int32_t *y, float *thread_cnt,
                                   float *thread_sum) {
    return pruned_assign<false>(n, d8, k8, k, X, cen, c_norm, accumulate, fv, y, thread_cnt,
                                thread_sum);
}
