#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Fused attention for many query rows per head (the encoder's
// self-attention): 64 query rows of one head against 64 keys at a time, the
// scores and the output update as two register-blocked float products, and
// the online softmax kept per query row of the tile. Everything is float: K
// and V are widened once per key tile for up to three query tiles of the
// same head (see tevo_flash_attn_ext_tiles).
//
// The scores are laid out key by query (S^T = K Q^T), so that:
//   - the keys need no transposing: the product takes K rows as they are
//     (F32 keys in place) and the query tile is transposed once for all its
//     key tiles;
//   - everything done per query row (scale, soft cap, mask, maximum,
//     exponentials and their sums, the running maximum and sum) runs on 8
//     query rows at a time with no horizontal steps: the sum of a row's 8
//     exponentials in the order of tevo_v_hsum becomes additions of
//     registers, and the exponentials are tevo_v_expf's lane by lane.
// Every value sees the operations of the row-by-row form in the same order.
// The two products are most of the time; what else a key tile costs is kept
// to one pass over its scores (the exponentials): scale, cap, mask and the
// tile maximum are applied as the score product stores its registers.

#include "cpu/ops/flash-attn.h"
#include "platform/platform.h"
#include "cpu/vec/vec.h"
#include "cpu/vec/x86/simd.h"

#include <immintrin.h>

// ---------------------------------------------------------------------------
// tile product

// One block of RM rows by CV vectors of 8 columns (MASKED: one partial vector
// whose lanes beyond N are neither read nor written): Z[i][j] (+)= the sum
// over k in increasing order of X(i, k) * Y[k][j], X(i, k) at X + i * xi + k
// * xk, rows of Z ldz and of Y ldy floats apart. The outputs stay in
// registers for the whole k loop. ZERO starts from 0 instead of Z.
template <int RM, int CV, bool MASKED, bool ZERO>
static inline void tevo_fattn_gemm_block(float * Z, size_t ldz, const float * X, size_t xi, size_t xk,
                                         const float * Y, size_t ldy, int K, __m256i m) {
    // fully unrolled, so that acc lives in registers (-O2 does not unroll)
    __m256 acc[RM][CV];
#pragma GCC unroll 8
    for (int r = 0; r < RM; ++r) {
#pragma GCC unroll 2
        for (int c = 0; c < CV; ++c) {
            float * z = Z + r * ldz + 8 * c;
            acc[r][c] = ZERO ? _mm256_setzero_ps() : MASKED ? _mm256_maskload_ps(z, m) : _mm256_loadu_ps(z);
        }
    }
    for (int k = 0; k < K; ++k) {
        const float * yk = Y + (size_t) k * ldy;
        __m256        y[CV];
#pragma GCC unroll 2
        for (int c = 0; c < CV; ++c) {
            y[c] = MASKED ? _mm256_maskload_ps(yk + 8 * c, m) : _mm256_loadu_ps(yk + 8 * c);
        }
        const float * xk0 = X + (size_t) k * xk;
#pragma GCC unroll 8
        for (int r = 0; r < RM; ++r) {
            const __m256 xr = _mm256_broadcast_ss(xk0 + r * xi);
#pragma GCC unroll 2
            for (int c = 0; c < CV; ++c) {
                acc[r][c] = _mm256_fmadd_ps(xr, y[c], acc[r][c]);
            }
        }
    }
#pragma GCC unroll 8
    for (int r = 0; r < RM; ++r) {
#pragma GCC unroll 2
        for (int c = 0; c < CV; ++c) {
            float * z = Z + r * ldz + 8 * c;
            if (MASKED) {
                _mm256_maskstore_ps(z, m, acc[r][c]);
            } else {
                _mm256_storeu_ps(z, acc[r][c]);
            }
        }
    }
}

template <int RM, bool ZERO>
static inline void tevo_fattn_gemm_rows(float * Z, size_t ldz, const float * X, size_t xi, size_t xk,
                                        const float * Y, size_t ldy, int K, int N) {
    const __m256i none = _mm256_setzero_si256();
    int           j    = 0;
    for (; j + 16 <= N; j += 16) {
        tevo_fattn_gemm_block<RM, 2, false, ZERO>(Z + j, ldz, X, xi, xk, Y + j, ldy, K, none);
    }
    if (j + 8 <= N) {
        tevo_fattn_gemm_block<RM, 1, false, ZERO>(Z + j, ldz, X, xi, xk, Y + j, ldy, K, none);
        j += 8;
    }
    if (j < N) {
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i m    = _mm256_cmpgt_epi32(_mm256_set1_epi32(N - j), lane);
        tevo_fattn_gemm_block<RM, 1, true, ZERO>(Z + j, ldz, X, xi, xk, Y + j, ldy, K, m);
    }
}

// Z (rows x N) (+)= X (rows x K) * Y (K x N), strides as in
// tevo_fattn_gemm_block. Rows are independent, so rows a caller will
// discard need not be computed. The rows after the blocks of 6 go as one
// block too: a single row is one chain of dependent fused multiply-adds and
// would wait on their latency. How rows are grouped does not change any
// output's chain.
template <bool ZERO>
static void tevo_fattn_gemm(float * Z, size_t ldz, const float * X, size_t xi, size_t xk, const float * Y,
                            size_t ldy, int K, int N, int rows) {
    if (K <= 0 && !ZERO) {
        return;
    }
    int i = 0;
    for (; i + 6 <= rows; i += 6) {
        tevo_fattn_gemm_rows<6, ZERO>(Z + i * ldz, ldz, X + i * xi, xi, xk, Y, ldy, K, N);
    }
    float *       z = Z + i * ldz;
    const float * x = X + i * xi;
    switch (rows - i) {
        case 5: tevo_fattn_gemm_rows<5, ZERO>(z, ldz, x, xi, xk, Y, ldy, K, N); break;
        case 4: tevo_fattn_gemm_rows<4, ZERO>(z, ldz, x, xi, xk, Y, ldy, K, N); break;
        case 3: tevo_fattn_gemm_rows<3, ZERO>(z, ldz, x, xi, xk, Y, ldy, K, N); break;
        case 2: tevo_fattn_gemm_rows<2, ZERO>(z, ldz, x, xi, xk, Y, ldy, K, N); break;
        case 1: tevo_fattn_gemm_rows<1, ZERO>(z, ldz, x, xi, xk, Y, ldy, K, N); break;
        default: break;
    }
}

void tevo_flash_attn_tile_gemm(float * Z, const float * X, const float * Y, int32_t K, int32_t N) {
    tevo_fattn_gemm<false>(Z, (size_t) N, X, (size_t) K, 1, Y, (size_t) N, K, N, FATTN_Q_TILE);
}

// ---------------------------------------------------------------------------
// scores

// what a key tile's mask holds for the tile's rows
enum tevo_fattn_mask_kind {
    TEVO_FATTN_MASK_CLOSED, // -inf everywhere: the tile is skipped
    TEVO_FATTN_MASK_ZERO,   // +-0 everywhere: adding it changes no probability
    TEVO_FATTN_MASK_VALUES, // anything else: added from the transposed copy
};

// what the score epilogue applies after the scale
struct tevo_fattn_score_ops {
    __m256        scale;
    __m256        softcap;
    bool          cap;  // tanhf, then times softcap
    const float * mask; // transposed mask rows QT apart, or NULL
};

// x = softcap * tanhf(x), lane by lane; out of line, so that the rare soft
// cap costs the score blocks no registers
static __attribute__((noinline)) __m256 tevo_fattn_cap(__m256 x, __m256 softcap) {
    alignas(32) float v[8];
    _mm256_store_ps(v, x);
    for (int l = 0; l < 8; ++l) {
        v[l] = tanhf(v[l]);
    }
    return _mm256_mul_ps(_mm256_load_ps(v), softcap);
}

// The scores of RM keys (rows of K, kxi floats apart) against CV vectors of
// 8 query rows: each a chain of fused multiply-adds in increasing d from 0,
// as the tile product forms it. Still in registers, each is scaled, capped
// and masked as the per-row rule says, stored, and folded into its query
// row's maximum over the tile: no second pass over the scores.
template <int RM, int CV, bool CAP, bool MASK>
static inline void tevo_fattn_score_block(float * st, const float * kx, size_t kxi, const float * qt, int dk,
                                          const struct tevo_fattn_score_ops * ops, float * tmax) {
    __m256 acc[RM][CV];
#pragma GCC unroll 8
    for (int r = 0; r < RM; ++r) {
#pragma GCC unroll 2
        for (int c = 0; c < CV; ++c) {
            acc[r][c] = _mm256_setzero_ps();
        }
    }
    for (int d = 0; d < dk; ++d) {
        const float * yd = qt + (size_t) d * FATTN_Q_TILE;
        __m256        y[CV];
#pragma GCC unroll 2
        for (int c = 0; c < CV; ++c) {
            y[c] = _mm256_loadu_ps(yd + 8 * c);
        }
#pragma GCC unroll 8
        for (int r = 0; r < RM; ++r) {
            const __m256 xr = _mm256_broadcast_ss(kx + r * kxi + d);
#pragma GCC unroll 2
            for (int c = 0; c < CV; ++c) {
                acc[r][c] = _mm256_fmadd_ps(xr, y[c], acc[r][c]);
            }
        }
    }
    const __m256 neg_inf = _mm256_set1_ps(-INFINITY);
    __m256       t[CV];
#pragma GCC unroll 2
    for (int c = 0; c < CV; ++c) {
        t[c] = _mm256_loadu_ps(tmax + 8 * c);
    }
#pragma GCC unroll 8
    for (int r = 0; r < RM; ++r) {
#pragma GCC unroll 2
        for (int c = 0; c < CV; ++c) {
            __m256 x = _mm256_mul_ps(acc[r][c], ops->scale);
            if (CAP) {
                x = tevo_fattn_cap(x, ops->softcap);
            }
            if (MASK) {
                // A masked key gets -inf whatever its score: a NaN or
                // infinity in an unused cache slot must not leak in.
                const __m256 mv = _mm256_loadu_ps(ops->mask + r * FATTN_Q_TILE + 8 * c);
                x = _mm256_blendv_ps(_mm256_add_ps(x, mv), neg_inf, _mm256_cmp_ps(mv, neg_inf, _CMP_EQ_OQ));
            }
            _mm256_storeu_ps(st + r * FATTN_Q_TILE + 8 * c, x);
            t[c] = _mm256_max_ps(x, t[c]); // a NaN score never becomes the maximum
        }
    }
#pragma GCC unroll 2
    for (int c = 0; c < CV; ++c) {
        _mm256_storeu_ps(tmax + 8 * c, t[c]);
    }
}

// RM keys against the n_q (a multiple of 8) query rows of the tile
template <int RM, bool CAP, bool MASK>
static inline void tevo_fattn_score_rows(float * st, const float * kx, size_t kxi, const float * qt, int dk,
                                         int n_q, const struct tevo_fattn_score_ops * ops, float * tmax) {
    struct tevo_fattn_score_ops o = *ops;
    int                         j = 0;
    for (; j + 16 <= n_q; j += 16) {
        o.mask = MASK ? ops->mask + j : NULL;
        tevo_fattn_score_block<RM, 2, CAP, MASK>(st + j, kx, kxi, qt + j, dk, &o, tmax + j);
    }
    if (j < n_q) {
        o.mask = MASK ? ops->mask + j : NULL;
        tevo_fattn_score_block<RM, 1, CAP, MASK>(st + j, kx, kxi, qt + j, dk, &o, tmax + j);
    }
}

// S^T (n_k x n_q, rows QT apart) of n_k keys against the tile's query rows,
// finished by the score epilogue; tmax[tq] the maximum over these keys
template <bool CAP, bool MASK>
static void tevo_fattn_scores_as(float * st, const float * kx, size_t kxi, const float * qt, int dk, int n_q,
                                 int n_k, const struct tevo_fattn_score_ops * ops, float * tmax) {
    const int                   QT = FATTN_Q_TILE;
    struct tevo_fattn_score_ops o  = *ops;
    int                         i  = 0;
    for (; i + 6 <= n_k; i += 6) {
        o.mask = ops->mask ? ops->mask + i * QT : NULL;
        tevo_fattn_score_rows<6, CAP, MASK>(st + i * QT, kx + i * kxi, kxi, qt, dk, n_q, &o, tmax);
    }
    float *       s = st + i * QT;
    const float * x = kx + i * kxi;
    o.mask          = ops->mask ? ops->mask + i * QT : NULL;
    switch (n_k - i) {
        case 5: tevo_fattn_score_rows<5, CAP, MASK>(s, x, kxi, qt, dk, n_q, &o, tmax); break;
        case 4: tevo_fattn_score_rows<4, CAP, MASK>(s, x, kxi, qt, dk, n_q, &o, tmax); break;
        case 3: tevo_fattn_score_rows<3, CAP, MASK>(s, x, kxi, qt, dk, n_q, &o, tmax); break;
        case 2: tevo_fattn_score_rows<2, CAP, MASK>(s, x, kxi, qt, dk, n_q, &o, tmax); break;
        case 1: tevo_fattn_score_rows<1, CAP, MASK>(s, x, kxi, qt, dk, n_q, &o, tmax); break;
        default: break;
    }
}

static void tevo_fattn_scores(float * st, const float * kx, size_t kxi, const float * qt, int dk, int n_q, int n_k,
                              const struct tevo_fattn_score_ops * ops, float * tmax) {
    if (ops->cap) {
        if (ops->mask) {
            tevo_fattn_scores_as<true, true>(st, kx, kxi, qt, dk, n_q, n_k, ops, tmax);
        } else {
            tevo_fattn_scores_as<true, false>(st, kx, kxi, qt, dk, n_q, n_k, ops, tmax);
        }
    } else if (ops->mask) {
        tevo_fattn_scores_as<false, true>(st, kx, kxi, qt, dk, n_q, n_k, ops, tmax);
    } else {
        tevo_fattn_scores_as<false, false>(st, kx, kxi, qt, dk, n_q, n_k, ops, tmax);
    }
}

// ---------------------------------------------------------------------------
// tile loads

// 8 x 8 transpose of r[0..7] in place
static inline void tevo_fattn_transpose8(__m256 r[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
    const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
    const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
    const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
    const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 s0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 s1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 s2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 s3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 s4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 s5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 s6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 s7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
    r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
    r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
    r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
    r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
    r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
    r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
    r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

// The tile's query rows transposed, qt[d][tq] = row tq's element d, rows
// tile_rows .. n_q - 1 zero: 8 x 8 blocks through registers.
static void tevo_fattn_load_q_t(float * qt, const char * qrow0, size_t nbq1, int64_t DK, int tile_rows, int n_q) {
    const int64_t dk8 = DK & ~(int64_t) 7;
    for (int tq0 = 0; tq0 < n_q; tq0 += 8) {
        const float * rows[8];
        for (int i = 0; i < 8; ++i) {
            rows[i] = tq0 + i < tile_rows ? (const float *) (qrow0 + (size_t) (tq0 + i) * nbq1) : NULL;
        }
        for (int64_t d0 = 0; d0 < dk8; d0 += 8) {
            __m256 r[8];
            for (int i = 0; i < 8; ++i) {
                r[i] = rows[i] ? _mm256_loadu_ps(rows[i] + d0) : _mm256_setzero_ps();
            }
            tevo_fattn_transpose8(r);
            for (int j = 0; j < 8; ++j) {
                _mm256_storeu_ps(qt + (d0 + j) * FATTN_Q_TILE + tq0, r[j]);
            }
        }
        for (int64_t d = dk8; d < DK; ++d) {
            for (int i = 0; i < 8; ++i) {
                qt[d * FATTN_Q_TILE + tq0 + i] = rows[i] ? rows[i][d] : 0.0f;
            }
        }
    }
}

// one half K row as floats
static inline void tevo_fattn_load_k_row(float * out, const tevo_fp16_t * h, int64_t DK) {
    int64_t d = 0;
    for (; d + 8 <= DK; d += 8) {
        _mm256_storeu_ps(out + d, _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) (h + d))));
    }
    for (; d < DK; ++d) {
        out[d] = tevo_table_f32_f16[h[d]];
    }
}

// The tile's mask, transposed: mt[tk][tq] = slope * mask value of query row
// tq at key ic + tk for tq < tile_rows and tk < kv_tile, -inf elsewhere.
// Returns whether any of the first is not -inf (some key of the tile is open).
static bool tevo_fattn_load_mask(float * mt, const char * mrow0, size_t nbm1, int64_t ic, int tile_rows,
                                 int kv_tile, float slope) {
    const __m256 vslope  = _mm256_set1_ps(slope);
    const __m256 neg_inf = _mm256_set1_ps(-INFINITY);
    __m256       open    = _mm256_setzero_ps();
    bool         any     = false;
    for (int tq0 = 0; tq0 < FATTN_Q_TILE; tq0 += 8) {
        for (int tk0 = 0; tk0 < FATTN_KV_TILE; tk0 += 8) {
            __m256 r[8];
            for (int i = 0; i < 8; ++i) {
                const int tq = tq0 + i;
                r[i]         = neg_inf;
                if (tq >= tile_rows || tk0 >= kv_tile) {
                    continue;
                }
                const tevo_fp16_t * m = (const tevo_fp16_t *) (mrow0 + (size_t) tq * nbm1) + ic + tk0;
                if (tk0 == 0 && kv_tile == FATTN_KV_TILE) {
                    // The row's part of the next tile: 64 rows a mask row
                    // apart are more streams than the hardware follows.
                    _mm_prefetch((const char *) (m + FATTN_KV_TILE), _MM_HINT_T0);
                    _mm_prefetch((const char *) (m + 2 * FATTN_KV_TILE - 1), _MM_HINT_T0);
                }
                if (tk0 + 8 <= kv_tile) {
                    r[i] = _mm256_mul_ps(_mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) m)), vslope);
                    open = _mm256_or_ps(open, _mm256_cmp_ps(r[i], neg_inf, _CMP_NEQ_UQ));
                } else {
                    alignas(32) float t[8];
                    for (int j = 0; j < 8; ++j) {
                        t[j] = -INFINITY;
                        if (tk0 + j < kv_tile) {
                            t[j] = slope * tevo_table_f32_f16[m[j]];
                            any |= t[j] != -INFINITY;
                        }
                    }
                    r[i] = _mm256_load_ps(t);
                }
            }
            tevo_fattn_transpose8(r);
            for (int j = 0; j < 8; ++j) {
                _mm256_storeu_ps(mt + (tk0 + j) * FATTN_Q_TILE + tq0, r[j]);
            }
        }
    }
    return any || _mm256_movemask_ps(open) != 0;
}

// Whether the tile's mask holds only zeros (of either sign) for the tile's
// rows and keys: then adding it, times any slope, leaves every score's
// probability as it is, and the transposed copy is not needed. Prefetches
// each row's part of the next tile, as tevo_fattn_load_mask does.
static bool tevo_fattn_mask_is_zero(const char * mrow0, size_t nbm1, int64_t ic, int tile_rows, int kv_tile) {
    const __m256i magnitude = _mm256_set1_epi16(0x7FFF);
    __m256i       any       = _mm256_setzero_si256();
    uint16_t      any_tail  = 0;
    for (int tq = 0; tq < tile_rows; ++tq) {
        const tevo_fp16_t * m  = (const tevo_fp16_t *) (mrow0 + (size_t) tq * nbm1) + ic;
        int                 tk = 0;
        if (kv_tile == FATTN_KV_TILE) {
            _mm_prefetch((const char *) (m + FATTN_KV_TILE), _MM_HINT_T0);
            _mm_prefetch((const char *) (m + 2 * FATTN_KV_TILE - 1), _MM_HINT_T0);
        }
        for (; tk + 16 <= kv_tile; tk += 16) {
            any = _mm256_or_si256(any, _mm256_loadu_si256((const __m256i *) (m + tk)));
        }
        for (; tk < kv_tile; ++tk) {
            any_tail |= m[tk];
        }
    }
    return _mm256_testz_si256(any, magnitude) && (any_tail & 0x7FFF) == 0;
}

// one V row as floats; returns false when it holds an infinity or NaN
static bool tevo_fattn_load_v(float * out, const char * src, bool f16, int64_t DV) {
    int64_t d   = 0;
    int     bad = 0;
    if (f16) {
        const tevo_fp16_t * h    = (const tevo_fp16_t *) src;
        const __m128i       expm = _mm_set1_epi16(0x7C00);
        for (; d + 8 <= DV; d += 8) {
            const __m128i x = _mm_loadu_si128((const __m128i *) (h + d));
            bad |= _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(x, expm), expm));
            _mm256_storeu_ps(out + d, _mm256_cvtph_ps(x));
        }
        for (; d < DV; ++d) {
            bad |= (h[d] & 0x7C00) == 0x7C00;
            out[d] = tevo_table_f32_f16[h[d]];
        }
    } else {
        const float * f    = (const float *) src;
        const __m256i expm = _mm256_set1_epi32(0x7F800000);
        for (; d + 8 <= DV; d += 8) {
            const __m256 x = _mm256_loadu_ps(f + d);
            bad |= _mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_and_si256(_mm256_castps_si256(x), expm), expm));
            _mm256_storeu_ps(out + d, x);
        }
        for (; d < DV; ++d) {
            uint32_t u;
            memcpy(&u, f + d, sizeof(u));
            bad |= (u & 0x7F800000u) == 0x7F800000u;
            out[d] = f[d];
        }
    }
    return bad == 0;
}

// ---------------------------------------------------------------------------
// the path

// 8 doubles of the 8 lanes of a float register
struct tevo_fattn_dsum {
    __m256d lo, hi;
};

static inline struct tevo_fattn_dsum tevo_fattn_dsum_add(struct tevo_fattn_dsum s, __m256 v) {
    s.lo = _mm256_add_pd(s.lo, _mm256_cvtps_pd(_mm256_castps256_ps128(v)));
    s.hi = _mm256_add_pd(s.hi, _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)));
    return s;
}

// One query tile of up to 64 rows of one head: its transposed rows, its
// output rows (kept in dst, where they end) and its online softmax.
struct tevo_fattn_qtile {
    int          rows;  // 0: none
    int          nvq;   // registers of 8 query rows in use
    float *      q_t;   // q^T[d][tq], zero past the tile's rows
    float *      out;   // row tq at out + tq * ldo
    const char * mrow0; // the mask row of the tile's first query, or NULL
    __m256       M[FATTN_Q_TILE / 8]; // running maximum of 8 query rows per register
    __m256       S[FATTN_Q_TILE / 8]; // running sum
};

// what a key tile shares among the query tiles that take it
struct tevo_fattn_ktile {
    int64_t       ic;
    int           kv_tile;
    const float * kx; // K rows, kxi floats apart (k_tile once converted)
    size_t        kxi;
    bool          k_ready;
    bool          v_ready;
    int           n_bad; // V rows with an infinity or NaN
    uint8_t       bad[FATTN_KV_TILE];
};

// everything of the node a tile needs
struct tevo_fattn_tiles_ctx {
    const struct tevo_tensor *  k;
    const struct tevo_tensor *  v;
    const struct tevo_tensor *  mask;
    struct tevo_fattn_score_ops score_ops;
    int64_t                     DK, DV;
    int                         dk, dv;
    size_t                      ldo;
    bool                        kv_f16;
    float                       slope;
    const char *                kbase;
    const char *                vbase;
    float *                     s_t;
    float *                     mask_t;
    float *                     v_tile;
    float *                     k_tile;
};

// Query tile t against key tile kt: scores, softmax step, output update.
static void tevo_fattn_tile_step(const struct tevo_fattn_tiles_ctx * x, struct tevo_fattn_qtile * t,
                                 struct tevo_fattn_ktile * kt) {
    const int     QT      = FATTN_Q_TILE;
    const int64_t DK      = x->DK;
    const int64_t DV      = x->DV;
    const int     kv_tile = kt->kv_tile;
    const int     nvq     = t->nvq;
    const int64_t ic      = kt->ic;
    float * const s_t     = x->s_t;
    const __m256  neg_inf = _mm256_set1_ps(-INFINITY);
    const struct tevo_tensor * k = x->k;
    const struct tevo_tensor * v = x->v;

    const float * mask_rows = NULL;
    if (x->mask && !tevo_fattn_mask_is_zero(t->mrow0, x->mask->nb[1], ic, t->rows, kv_tile)) {
        if (!tevo_fattn_load_mask(x->mask_t, t->mrow0, x->mask->nb[1], ic, t->rows, kv_tile, x->slope)) {
            // every key of the tile is masked for every row: read no K or V
            return;
        }
        mask_rows = x->mask_t;
    }

    // S^T[tk][tq] = k[tk] . q[tq], scaled, capped and masked, with each
    // query row's maximum over the tile; F32 keys are read in place
    if (!kt->k_ready) {
        if (x->kv_f16) {
            for (int tk = 0; tk < kv_tile; ++tk) {
                tevo_fattn_load_k_row(x->k_tile + tk * DK, (const tevo_fp16_t *) (x->kbase + (ic + tk) * k->nb[1]), DK);
            }
        }
        kt->k_ready = true;
    }
    alignas(32) float tmax_q[QT];
    for (int tq = 0; tq < 8 * nvq; ++tq) {
        tmax_q[tq] = -INFINITY;
    }
    struct tevo_fattn_score_ops score_ops = x->score_ops;
    score_ops.mask                        = mask_rows;
    tevo_fattn_scores(s_t, kt->kx, kt->kxi, t->q_t, x->dk, 8 * nvq, kv_tile, &score_ops, tmax_q);

    // the keys after a short tile, up to the next 8, weigh nothing
    const int kv8 = (kv_tile + 7) & ~7;
    for (int tk = kv_tile; tk < kv8; ++tk) {
        for (int g = 0; g < nvq; ++g) {
            _mm256_storeu_ps(s_t + tk * QT + 8 * g, neg_inf);
        }
    }

    // the running maximum, and rows whose maximum moved: out row and sum scaled
    __m256 skipped[QT / 8];
    int    any_skipped = 0;
    for (int g = 0; g < nvq; ++g) {
        const __m256 tmax = _mm256_load_ps(tmax_q + 8 * g);
        skipped[g]        = _mm256_cmp_ps(tmax, neg_inf, _CMP_EQ_OQ);
        any_skipped |= _mm256_movemask_ps(skipped[g]);
        const __m256 Mn  = _mm256_max_ps(t->M[g], tmax);
        const int    mov = _mm256_movemask_ps(_mm256_andnot_ps(skipped[g], _mm256_cmp_ps(Mn, t->M[g], _CMP_GT_OQ)));
        if (mov) {
            alignas(32) float m_old[8], m_new[8], ms[8];
            _mm256_store_ps(m_old, t->M[g]);
            _mm256_store_ps(m_new, Mn);
            for (int l = 0; l < 8; ++l) {
                ms[l] = 1.0f;
                if ((mov >> l) & 1) {
                    const int tq = 8 * g + l;
                    ms[l]        = expf(m_old[l] - m_new[l]);
                    // A row's first open tile: its out row is still all +0.
                    if (tq < t->rows && m_old[l] != -INFINITY) {
                        float * o = t->out + tq * x->ldo;
                        tevo_vdsp_vsmul(o, 1, &ms[l], o, 1, (size_t) DV);
                    }
                }
            }
            t->S[g] = _mm256_mul_ps(t->S[g], _mm256_load_ps(ms)); // times 1 elsewhere: unchanged
        }
        t->M[g] = _mm256_blendv_ps(Mn, t->M[g], skipped[g]);
    }

    // P^T = e^(S^T - M) in place, 0 in skipped rows; each row's sum as
    // tevo_vec_soft_max_f32 forms it: 8 exponentials folded in single
    // precision in the order of tevo_v_hsum, then added in double.
    // The keys after kv8 would add exact zeros.
    for (int g = 0; g < nvq; ++g) {
        struct tevo_fattn_dsum sum = { _mm256_setzero_pd(), _mm256_setzero_pd() };
        for (int tk = 0; tk < kv8; tk += 8) {
            __m256 e[8];
            for (int j = 0; j < 8; ++j) {
                float * p = s_t + (tk + j) * QT + 8 * g;
                e[j]      = tevo_v_expf(_mm256_sub_ps(_mm256_loadu_ps(p), t->M[g]));
                if (any_skipped) {
                    e[j] = _mm256_blendv_ps(e[j], _mm256_setzero_ps(), skipped[g]);
                }
                _mm256_storeu_ps(p, e[j]);
            }
            const __m256 w0 = _mm256_add_ps(_mm256_add_ps(e[0], e[4]), _mm256_add_ps(e[1], e[5]));
            const __m256 w1 = _mm256_add_ps(_mm256_add_ps(e[2], e[6]), _mm256_add_ps(e[3], e[7]));
            sum             = tevo_fattn_dsum_add(sum, _mm256_add_ps(w0, w1));
        }
        const struct tevo_fattn_dsum s  = tevo_fattn_dsum_add(sum, t->S[g]);
        const __m256                 ns = _mm256_insertf128_ps(
            _mm256_castps128_ps256(_mm256_cvtpd_ps(s.lo)), _mm256_cvtpd_ps(s.hi), 1);
        t->S[g] = _mm256_blendv_ps(ns, t->S[g], skipped[g]);
    }

    // V rows with an infinity or NaN go into the product as zeros and are
    // added afterwards only to the rows that do not mask them, so that
    // probability 0 never meets them (0 * inf is NaN).
    if (!kt->v_ready) {
        kt->n_bad = 0;
        for (int tk = 0; tk < kv_tile; ++tk) {
            float * vt = x->v_tile + tk * DV;
            if (!tevo_fattn_load_v(vt, x->vbase + (ic + tk) * v->nb[1], x->kv_f16, DV)) {
                memset(vt, 0, (size_t) DV * sizeof(float));
                kt->bad[kt->n_bad++] = (uint8_t) tk;
            }
        }
        kt->v_ready = true;
    }

    // out[tq] += p[tq] . v, p[tq][tk] at P^T[tk][tq], over the tile's keys
    tevo_fattn_gemm<false>(t->out, x->ldo, s_t, 1, QT, x->v_tile, (size_t) DV, kv_tile, x->dv, t->rows);

    if (kt->n_bad > 0) {
        alignas(32) float skip[QT];
        for (int g = 0; g < nvq; ++g) {
            _mm256_store_ps(skip + 8 * g, skipped[g]);
        }
        for (int b = 0; b < kt->n_bad; ++b) {
            const int    tk  = kt->bad[b];
            const char * src = x->vbase + (ic + tk) * v->nb[1];
            for (int tq = 0; tq < t->rows; ++tq) {
                if (skip[tq] != 0.0f || (mask_rows && mask_rows[tk * QT + tq] == -INFINITY)) {
                    continue;
                }
                const float p = s_t[tk * QT + tq];
                float *     o = t->out + tq * x->ldo;
                for (int64_t d = 0; d < DV; ++d) {
                    const float vd = x->kv_f16 ? tevo_table_f32_f16[((const tevo_fp16_t *) src)[d]]
                                               : ((const float *) src)[d];
                    o[d] = fmaf(p, vd, o[d]);
                }
            }
        }
    }
}

// the sink, then the division by the sum, in place in dst
static void tevo_fattn_tile_finish(const struct tevo_fattn_tiles_ctx * x, struct tevo_fattn_qtile * t,
                                   const struct tevo_tensor * sinks, uint32_t h) {
    const int         QT = FATTN_Q_TILE;
    alignas(32) float Mq[QT], Sq[QT];
    for (int g = 0; g < QT / 8; ++g) {
        _mm256_store_ps(Mq + 8 * g, t->M[g]);
        _mm256_store_ps(Sq + 8 * g, t->S[g]);
    }
    if (sinks) {
        const float s = ((const float *) sinks->data)[h];
        for (int tq = 0; tq < t->rows; ++tq) {
            if (s > Mq[tq]) {
                const float ms = expf(Mq[tq] - s);
                float *     o  = t->out + tq * x->ldo;
                tevo_vdsp_vsmul(o, 1, &ms, o, 1, (size_t) x->DV);
                Sq[tq] = ms * Sq[tq] + 1.0f;
            } else {
                Sq[tq] = Sq[tq] + expf(s - Mq[tq]);
            }
        }
    }
    for (int tq = 0; tq < t->rows; ++tq) {
        const float S_inv = Sq[tq] == 0.0f ? 0.0f : 1.0f / Sq[tq];
        float *     o     = t->out + tq * x->ldo;
        tevo_vdsp_vsmul(o, 1, &S_inv, o, 1, (size_t) x->DV);
    }
}

void tevo_flash_attn_ext_tiles(const struct tevo_compute_params * params, struct tevo_tensor * dst, int64_t ir0,
                               int64_t ir1) {
    const struct tevo_tensor * q     = dst->src[0];
    const struct tevo_tensor * k     = dst->src[1];
    const struct tevo_tensor * v     = dst->src[2];
    const struct tevo_tensor * mask  = dst->src[3];
    const struct tevo_tensor * sinks = dst->src[4];

    const int QT = FATTN_Q_TILE;
    const int KT = FATTN_KV_TILE;

    const int64_t DK  = k->ne[0];
    const int64_t DV  = v->ne[0];
    const int64_t N   = q->ne[1];
    const int64_t ne1 = dst->ne[1];
    const size_t  nb1 = dst->nb[1];

    tevo_flash_attn_ext_check_layout(dst);
    TEVO_ASSERT(k->type == v->type);

    const int64_t                  n_kv   = k->ne[1];
    const int64_t                  n_head = q->ne[2];
    const struct tevo_fattn_consts c      = tevo_fattn_consts_of(dst, n_head);

    const int64_t rk2 = n_head / k->ne[2];
    const int64_t rk3 = q->ne[3] / k->ne[3];
    const int64_t rv2 = n_head / v->ne[2];
    const int64_t rv3 = q->ne[3] / v->ne[3];

    struct tevo_fattn_tiles_ctx x;
    x.k         = k;
    x.v         = v;
    x.mask      = mask;
    x.score_ops = { _mm256_set1_ps(c.scale), _mm256_set1_ps(c.softcap), c.softcap != 0.0f, NULL };
    x.DK        = DK;
    x.DV        = DV;
    // the tile products take int lengths
    x.dk     = tevo_row_length(dst, DK);
    x.dv     = tevo_row_length(dst, DV);
    x.kv_f16 = k->type == TEVO_TYPE_F16;

    // The output rows are summed where they end, in dst. The room that frees
    // holds the transposed rows of a second query tile of the same head when
    // they are no longer than V's rows, and without a mask the room of its
    // transposed copy holds a third: the tiles then share each key tile's
    // widened K and V. K rows longer than V rows leave no such room: then
    // one tile at a time is summed in the slice and copied out.
    // slice: q^T, S^T (then P^T), the transposed mask (or the third tile's
    // q^T), V rows, K rows, q^T of the second tile or the output rows of the
    // only one
    const size_t slice_floats = (size_t) ((DK + DV) * 128 + 8192 + 16);
    TEVO_ASSERT(params->wsize >= (size_t) (params->ith + 1) * slice_floats * sizeof(float));
    float * const slice = (float *) params->wdata + (size_t) params->ith * slice_floats;
    float * const q_t0  = slice;
    x.s_t               = q_t0 + QT * DK;
    x.mask_t            = x.s_t + KT * QT;
    x.v_tile            = x.mask_t + KT * QT;
    x.k_tile            = x.v_tile + KT * DV;
    float * const q_t1  = x.k_tile + KT * DK;
    float * const q_ts[3] = { q_t0, q_t1, x.mask_t };
    TEVO_ASSERT(nb1 % sizeof(float) == 0);
    const int n_max = DK > DV ? 1 : mask || QT * DK > KT * QT ? 2 : 3;
    x.ldo           = n_max == 1 ? (size_t) DV : (size_t) ne1 * nb1 / sizeof(float); // to the head's next row

    // When the threads' chunks line up with the heads (a whole number of
    // chunks per head, or of heads per chunk), threads would sum rows of
    // neighbouring heads at the same query rows, a row apart in dst, and
    // their caches would take those lines from each other (8 heads of 1500
    // rows on 4 threads: 7% more time). So a chunk that starts in an odd
    // head begins with its group of tiles nearest its middle and comes back
    // to its first rows last. The order of the groups changes no bits.
    const int64_t chunk = ir1 - ir0;
    int64_t       start = ir0;
    if (params->nth > 1 && chunk > 0 && (N % chunk == 0 || chunk % N == 0) && (ir0 / N) % n_head % 2 == 1) {
        int64_t r = ir0;
        while (r < ir1 && r - ir0 < chunk / 2) {
            r += TEVO_MIN(TEVO_MIN((int64_t) n_max * QT, ir1 - r), N - r % N);
        }
        start = r < ir1 ? r : ir0;
    }
    const int64_t from[2] = { start, ir0 };
    const int64_t to[2]   = { ir1, start };

    for (int pass = 0; pass < 2; ++pass) {
        const int64_t end = to[pass];
        int64_t       ir  = from[pass];
        while (ir < end) {
            const int64_t i3 = ir / (n_head * N);
            const int64_t i2 = (ir - i3 * n_head * N) / N;
            const int64_t i1 = ir - i3 * n_head * N - i2 * N;

            // up to n_max tiles of 64 rows, never past the chunk's end nor the head's rows
            struct tevo_fattn_qtile tiles[3];
            int                     n_tiles = 0;
            int64_t                 next    = ir;
            for (int t = 0; t < n_max && next < end && next - ir < N - i1; ++t) {
                const int64_t r1   = i1 + (next - ir);
                const int     rows = (int) TEVO_MIN(TEVO_MIN((int64_t) QT, end - next), N - r1);
                TEVO_ASSERT(rows > 0);
                struct tevo_fattn_qtile * qt = &tiles[n_tiles++];
                qt->rows                     = rows;
                qt->nvq                      = (rows + 7) / 8;
                qt->q_t                      = q_ts[t];
                qt->out   = n_max == 1 ? q_t1 : (float *) ((char *) dst->data + ((i3 * N + r1) * ne1 + i2) * nb1);
                qt->mrow0 = mask ? (const char *) mask->data + r1 * mask->nb[1] + (i2 % mask->ne[2]) * mask->nb[2] +
                                       (i3 % mask->ne[3]) * mask->nb[3]
                                 : NULL;
                for (int g = 0; g < QT / 8; ++g) {
                    qt->M[g] = _mm256_set1_ps(-INFINITY);
                    qt->S[g] = _mm256_setzero_ps();
                }
                for (int tq = 0; tq < rows; ++tq) {
                    memset(qt->out + tq * x.ldo, 0, (size_t) DV * sizeof(float));
                }
                tevo_fattn_load_q_t(qt->q_t, (const char *) q->data + r1 * q->nb[1] + i2 * q->nb[2] + i3 * q->nb[3],
                                    q->nb[1], DK, rows, 8 * qt->nvq);
                next += rows;
            }

            const uint32_t h = (uint32_t) i2;
            x.slope          = tevo_fattn_slope(&c, h);
            x.kbase          = (const char *) k->data + (i2 / rk2) * k->nb[2] + (i3 / rk3) * k->nb[3];
            x.vbase          = (const char *) v->data + (i2 / rv2) * v->nb[2] + (i3 / rv3) * v->nb[3];

            for (int64_t ic = 0; ic < n_kv; ic += KT) {
                struct tevo_fattn_ktile kt;
                kt.ic      = ic;
                kt.kv_tile = (int) TEVO_MIN((int64_t) KT, n_kv - ic);
                kt.kx      = x.kv_f16 ? x.k_tile : (const float *) (x.kbase + ic * k->nb[1]);
                kt.kxi     = x.kv_f16 ? (size_t) DK : k->nb[1] / sizeof(float);
                kt.k_ready = false;
                kt.v_ready = false;
                kt.n_bad   = 0;
                for (int t = 0; t < n_tiles; ++t) {
                    tevo_fattn_tile_step(&x, &tiles[t], &kt);
                }
            }

            for (int t = 0; t < n_tiles; ++t) {
                tevo_fattn_tile_finish(&x, &tiles[t], sinks, h);
            }
            if (n_max == 1) {
                for (int tq = 0; tq < tiles[0].rows; ++tq) {
                    memcpy((char *) dst->data + ((i3 * N + i1 + tq) * ne1 + i2) * nb1, tiles[0].out + tq * DV,
                           (size_t) DV * sizeof(float));
                }
            }
            ir = next;
        }
    }
}
