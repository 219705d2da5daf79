#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Fused attention for many query rows per head (the encoder's
// self-attention): 64 query rows of one head against 64 keys at a time, the
// scores and the output update as two register-blocked float products, and
// the online softmax kept per query row of the tile. Everything is float: K
// and V are widened once per key tile.

#include "cpu/ops/flash-attn.h"
#include "platform/platform.h"
#include "cpu/vec/vec.h"

#include <immintrin.h>

// ---------------------------------------------------------------------------
// tile product

// One block of RM rows by CV vectors of 8 columns (MASKED: one partial vector
// whose lanes beyond N are neither read nor written). The outputs stay in
// registers for the whole k loop. ZERO starts from 0 instead of Z.
template <int RM, int CV, bool MASKED, bool ZERO>
static inline void tevo_fattn_gemm_block(float * Z, const float * X, const float * Y, int K, int N, int i, int j,
                                         __m256i m) {
    // fully unrolled, so that acc lives in registers (-O2 does not unroll)
    __m256 acc[RM][CV];
#pragma GCC unroll 8
    for (int r = 0; r < RM; ++r) {
#pragma GCC unroll 2
        for (int c = 0; c < CV; ++c) {
            float * z = Z + (int64_t) (i + r) * N + j + 8 * c;
            acc[r][c] = ZERO ? _mm256_setzero_ps() : MASKED ? _mm256_maskload_ps(z, m) : _mm256_loadu_ps(z);
        }
    }
    const float * x = X + (int64_t) i * K;
    for (int k = 0; k < K; ++k) {
        const float * yk = Y + (int64_t) k * N + j;
        __m256        y[CV];
#pragma GCC unroll 2
        for (int c = 0; c < CV; ++c) {
            y[c] = MASKED ? _mm256_maskload_ps(yk + 8 * c, m) : _mm256_loadu_ps(yk + 8 * c);
        }
#pragma GCC unroll 8
        for (int r = 0; r < RM; ++r) {
            const __m256 xr = _mm256_broadcast_ss(x + (int64_t) r * K + k);
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
            float * z = Z + (int64_t) (i + r) * N + j + 8 * c;
            if (MASKED) {
                _mm256_maskstore_ps(z, m, acc[r][c]);
            } else {
                _mm256_storeu_ps(z, acc[r][c]);
            }
        }
    }
}

template <int RM, bool ZERO>
static inline void tevo_fattn_gemm_rows(float * Z, const float * X, const float * Y, int K, int N, int i) {
    const __m256i none = _mm256_setzero_si256();
    int           j    = 0;
    for (; j + 16 <= N; j += 16) {
        tevo_fattn_gemm_block<RM, 2, false, ZERO>(Z, X, Y, K, N, i, j, none);
    }
    if (j + 8 <= N) {
        tevo_fattn_gemm_block<RM, 1, false, ZERO>(Z, X, Y, K, N, i, j, none);
        j += 8;
    }
    if (j < N) {
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i m    = _mm256_cmpgt_epi32(_mm256_set1_epi32(N - j), lane);
        tevo_fattn_gemm_block<RM, 1, true, ZERO>(Z, X, Y, K, N, i, j, m);
    }
}

// Z (rows x N) (+)= X (rows x K) * Y (K x N). Rows are independent, so rows a
// caller will discard need not be computed. The rows after the blocks of 6
// go as one block too: a single row is one chain of dependent fused
// multiply-adds and would wait on their latency. How rows are grouped does
// not change any output's chain.
template <bool ZERO>
static void tevo_fattn_gemm(float * Z, const float * X, const float * Y, int K, int N, int rows) {
    if (K <= 0 && !ZERO) {
        return;
    }
    int i = 0;
    for (; i + 6 <= rows; i += 6) {
        tevo_fattn_gemm_rows<6, ZERO>(Z, X, Y, K, N, i);
    }
    switch (rows - i) {
        case 5: tevo_fattn_gemm_rows<5, ZERO>(Z, X, Y, K, N, i); break;
        case 4: tevo_fattn_gemm_rows<4, ZERO>(Z, X, Y, K, N, i); break;
        case 3: tevo_fattn_gemm_rows<3, ZERO>(Z, X, Y, K, N, i); break;
        case 2: tevo_fattn_gemm_rows<2, ZERO>(Z, X, Y, K, N, i); break;
        case 1: tevo_fattn_gemm_rows<1, ZERO>(Z, X, Y, K, N, i); break;
        default: break;
    }
}

void tevo_flash_attn_tile_gemm(float * Z, const float * X, const float * Y, int32_t K, int32_t N) {
    tevo_fattn_gemm<false>(Z, X, Y, K, N, FATTN_Q_TILE);
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

// kt[d][tk] = element d of K row tk (rows nbk1 bytes apart), as float
static void tevo_fattn_load_kt(float * kt, const char * krow0, size_t nbk1, bool f16, int64_t DK, int kv_tile) {
    int tk = 0;
    for (; tk + 8 <= kv_tile; tk += 8) {
        int64_t d = 0;
        for (; d + 8 <= DK; d += 8) {
            __m256 r[8];
            for (int t = 0; t < 8; ++t) {
                const char * src = krow0 + (size_t) (tk + t) * nbk1;
                r[t] = f16 ? _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) ((const tevo_fp16_t *) src + d)))
                           : _mm256_loadu_ps((const float *) src + d);
            }
            tevo_fattn_transpose8(r);
            for (int t = 0; t < 8; ++t) {
                _mm256_storeu_ps(kt + (d + t) * FATTN_KV_TILE + tk, r[t]);
            }
        }
        for (; d < DK; ++d) {
            for (int t = 0; t < 8; ++t) {
                const char * src = krow0 + (size_t) (tk + t) * nbk1;
                kt[d * FATTN_KV_TILE + tk + t] =
                    f16 ? tevo_table_f32_f16[((const tevo_fp16_t *) src)[d]] : ((const float *) src)[d];
            }
        }
    }
    for (; tk < kv_tile; ++tk) {
        const char * src = krow0 + (size_t) tk * nbk1;
        for (int64_t d = 0; d < DK; ++d) {
            kt[d * FATTN_KV_TILE + tk] =
                f16 ? tevo_table_f32_f16[((const tevo_fp16_t *) src)[d]] : ((const float *) src)[d];
        }
    }
    // columns of a short tile: their scores become -inf; keep them finite
    for (; tk < FATTN_KV_TILE; ++tk) {
        for (int64_t d = 0; d < DK; ++d) {
            kt[d * FATTN_KV_TILE + tk] = 0.0f;
        }
    }
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

void tevo_flash_attn_ext_tiles(const struct tevo_compute_params * params, struct tevo_tensor * dst, int64_t ir0,
                               int64_t ir1) {
    const struct tevo_tensor * q     = dst->src[0];
    const struct tevo_tensor * k     = dst->src[1];
    const struct tevo_tensor * v     = dst->src[2];
    const struct tevo_tensor * mask  = dst->src[3];
    const struct tevo_tensor * sinks = dst->src[4];

    const int64_t DK   = k->ne[0];
    const int64_t DV   = v->ne[0];
    const int64_t N    = q->ne[1];
    const int64_t ne1  = dst->ne[1];
    const size_t  nb1  = dst->nb[1];

    tevo_flash_attn_ext_check_layout(dst);
    TEVO_ASSERT(k->type == v->type);

    // the tile products take int lengths
    const int dk = tevo_row_length(dst, DK);
    const int dv = tevo_row_length(dst, DV);

    const int64_t n_kv   = k->ne[1];
    const int64_t n_head = q->ne[2];
    const struct tevo_fattn_consts c = tevo_fattn_consts_of(dst, n_head);

    const int64_t rk2 = n_head / k->ne[2];
    const int64_t rk3 = q->ne[3] / k->ne[3];
    const int64_t rv2 = n_head / v->ne[2];
    const int64_t rv3 = q->ne[3] / v->ne[3];

    const bool kv_f16 = k->type == TEVO_TYPE_F16;

    float * const slice =
        (float *) params->wdata + (size_t) params->ith * (size_t) ((DK + DV) * 128 + 8192 + 16);
    float * const q_tile    = slice;
    float * const kq_tile   = q_tile + FATTN_Q_TILE * DK;
    float * const mask_tile = kq_tile + FATTN_Q_TILE * FATTN_KV_TILE;
    float * const out_tile  = mask_tile + FATTN_Q_TILE * FATTN_KV_TILE;
    float * const v_tile    = out_tile + FATTN_Q_TILE * DV;
    float * const kt_tile   = v_tile + FATTN_KV_TILE * DV;

    const __m256  neg_inf = _mm256_set1_ps(-INFINITY);
    const __m256i lane    = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);

    int64_t ir = ir0;
    while (ir < ir1) {
        const int64_t i3 = ir / (n_head * N);
        const int64_t i2 = (ir - i3 * n_head * N) / N;
        const int64_t i1 = ir - i3 * n_head * N - i2 * N;

        const int tile_rows = (int) TEVO_MIN(TEVO_MIN((int64_t) FATTN_Q_TILE, ir1 - ir), N - i1);
        TEVO_ASSERT(tile_rows > 0);

        const uint32_t h     = (uint32_t) i2;
        const float    slope = tevo_fattn_slope(&c, h);

        // Rows at and beyond tile_rows would be computed and thrown away;
        // every row of the tile products is independent, so they are left out.
        float M[FATTN_Q_TILE];
        float S[FATTN_Q_TILE];
        bool  skipped[FATTN_Q_TILE];
        for (int tq = 0; tq < FATTN_Q_TILE; ++tq) {
            M[tq] = -INFINITY;
            S[tq] = 0.0f;
        }
        memset(out_tile, 0, (size_t) tile_rows * (size_t) DV * sizeof(float));

        for (int tq = 0; tq < tile_rows; ++tq) {
            const char * qrow = (const char *) q->data + (i1 + tq) * q->nb[1] + i2 * q->nb[2] + i3 * q->nb[3];
            memcpy(q_tile + tq * DK, qrow, (size_t) DK * sizeof(float));
        }

        const char * kbase = (const char *) k->data + (i2 / rk2) * k->nb[2] + (i3 / rk3) * k->nb[3];
        const char * vbase = (const char *) v->data + (i2 / rv2) * v->nb[2] + (i3 / rv3) * v->nb[3];

        const char * mbase =
            mask ? (const char *) mask->data + (i2 % mask->ne[2]) * mask->nb[2] + (i3 % mask->ne[3]) * mask->nb[3]
                 : NULL;

        for (int64_t ic = 0; ic < n_kv; ic += FATTN_KV_TILE) {
            const int kv_tile = (int) TEVO_MIN((int64_t) FATTN_KV_TILE, n_kv - ic);

            if (mask) {
                const __m256 vslope    = _mm256_set1_ps(slope);
                bool         any_open = false;
                for (int tq = 0; tq < tile_rows; ++tq) {
                    const tevo_fp16_t * mrow = (const tevo_fp16_t *) (mbase + (i1 + tq) * mask->nb[1]) + ic;
                    float *             mt   = mask_tile + tq * FATTN_KV_TILE;
                    __m256              open = _mm256_setzero_ps();
                    int                 tk   = 0;
                    for (; tk + 8 <= kv_tile; tk += 8) {
                        const __m256 mv = _mm256_mul_ps(
                            _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) (mrow + tk))), vslope);
                        _mm256_storeu_ps(mt + tk, mv);
                        open = _mm256_or_ps(open, _mm256_cmp_ps(mv, neg_inf, _CMP_NEQ_UQ));
                    }
                    for (; tk < kv_tile; ++tk) {
                        mt[tk] = slope * tevo_table_f32_f16[mrow[tk]];
                        any_open |= mt[tk] != -INFINITY;
                    }
                    for (; tk < FATTN_KV_TILE; ++tk) {
                        mt[tk] = -INFINITY;
                    }
                    any_open |= _mm256_movemask_ps(open) != 0;
                }
                if (!any_open) {
                    // every key of the tile is masked for every row: read no K or V
                    continue;
                }
            }

            tevo_fattn_load_kt(kt_tile, kbase + ic * k->nb[1], k->nb[1], kv_f16, DK, kv_tile);

            // scores[tq][tk] = q[tq] . k[tk]
            tevo_fattn_gemm<true>(kq_tile, q_tile, kt_tile, dk, FATTN_KV_TILE, tile_rows);

            const __m256 vscale   = _mm256_set1_ps(c.scale);
            const __m256 vsoftcap = _mm256_set1_ps(c.softcap);
            for (int tq = 0; tq < tile_rows; ++tq) {
                float *       row  = kq_tile + tq * FATTN_KV_TILE;
                const float * mt   = mask_tile + tq * FATTN_KV_TILE;
                __m256        vmax = neg_inf;
                for (int tk = 0; tk < FATTN_KV_TILE; tk += 8) {
                    __m256 x = _mm256_mul_ps(_mm256_loadu_ps(row + tk), vscale);
                    if (c.softcap != 0.0f) {
                        alignas(32) float t[8];
                        _mm256_store_ps(t, x);
                        for (int l = 0; l < 8; ++l) {
                            t[l] = tanhf(t[l]);
                        }
                        x = _mm256_mul_ps(_mm256_load_ps(t), vsoftcap);
                    }
                    if (mask) {
                        // A masked key gets -inf whatever its score: a NaN or
                        // infinity in an unused cache slot must not leak in.
                        const __m256 mv = _mm256_loadu_ps(mt + tk);
                        x = _mm256_blendv_ps(_mm256_add_ps(x, mv), neg_inf, _mm256_cmp_ps(mv, neg_inf, _CMP_EQ_OQ));
                    } else if (tk + 8 > kv_tile) {
                        const __m256 past = _mm256_castsi256_ps(
                            _mm256_cmpgt_epi32(_mm256_add_epi32(lane, _mm256_set1_epi32(tk)),
                                               _mm256_set1_epi32(kv_tile - 1)));
                        x = _mm256_blendv_ps(x, neg_inf, past);
                    }
                    _mm256_storeu_ps(row + tk, x);
                    vmax = _mm256_max_ps(x, vmax); // a NaN score never becomes the maximum
                }
                alignas(32) float lanes[8];
                _mm256_store_ps(lanes, vmax);
                float tile_max = -INFINITY;
                for (int l = 0; l < 8; ++l) {
                    tile_max = lanes[l] > tile_max ? lanes[l] : tile_max;
                }

                skipped[tq] = tile_max == -INFINITY;
                if (skipped[tq]) {
                    memset(row, 0, FATTN_KV_TILE * sizeof(float));
                    continue;
                }

                const float Mn = fmaxf(M[tq], tile_max);
                if (Mn > M[tq]) {
                    const float ms = expf(M[tq] - Mn);
                    tevo_vdsp_vsmul(out_tile + tq * DV, 1, &ms, out_tile + tq * DV, 1, (size_t) DV);
                    S[tq] = S[tq] * ms;
                }
                M[tq] = Mn;

                const double sum = tevo_vec_soft_max_f32(FATTN_KV_TILE, row, row, Mn);
                S[tq]            = (float) ((double) S[tq] + sum);
            }

            // V rows with an infinity or NaN go into the product as zeros and
            // are added afterwards only to the rows that do not mask them, so
            // that probability 0 never meets them (0 * inf is NaN).
            int     n_bad = 0;
            uint8_t bad[FATTN_KV_TILE];
            for (int tk = 0; tk < kv_tile; ++tk) {
                float * vt = v_tile + tk * DV;
                if (!tevo_fattn_load_v(vt, vbase + (ic + tk) * v->nb[1], kv_f16, DV)) {
                    memset(vt, 0, (size_t) DV * sizeof(float));
                    bad[n_bad++] = (uint8_t) tk;
                }
            }
            if (kv_tile < FATTN_KV_TILE) {
                memset(v_tile + kv_tile * DV, 0, (size_t) (FATTN_KV_TILE - kv_tile) * (size_t) DV * sizeof(float));
            }

            // out[tq] += p[tq] . v
            tevo_fattn_gemm<false>(out_tile, kq_tile, v_tile, FATTN_KV_TILE, dv, tile_rows);

            for (int b = 0; b < n_bad; ++b) {
                const int   tk   = bad[b];
                const char * src = vbase + (ic + tk) * v->nb[1];
                for (int tq = 0; tq < tile_rows; ++tq) {
                    if (skipped[tq] || (mask && mask_tile[tq * FATTN_KV_TILE + tk] == -INFINITY)) {
                        continue;
                    }
                    const float p   = kq_tile[tq * FATTN_KV_TILE + tk];
                    float *     out = out_tile + tq * DV;
                    for (int64_t d = 0; d < DV; ++d) {
                        const float vd = kv_f16 ? tevo_table_f32_f16[((const tevo_fp16_t *) src)[d]]
                                                : ((const float *) src)[d];
                        out[d] = fmaf(p, vd, out[d]);
                    }
                }
            }
        }

        if (sinks) {
            const float s = ((const float *) sinks->data)[h];
            for (int tq = 0; tq < tile_rows; ++tq) {
                if (s > M[tq]) {
                    const float ms = expf(M[tq] - s);
                    tevo_vdsp_vsmul(out_tile + tq * DV, 1, &ms, out_tile + tq * DV, 1, (size_t) DV);
                    S[tq] = ms * S[tq] + 1.0f;
                } else {
                    S[tq] = S[tq] + expf(s - M[tq]);
                }
            }
        }

        for (int tq = 0; tq < tile_rows; ++tq) {
            const float S_inv = S[tq] == 0.0f ? 0.0f : 1.0f / S[tq];
            float *     out   = out_tile + tq * DV;
            tevo_vdsp_vsmul(out, 1, &S_inv, out, 1, (size_t) DV);
            memcpy((char *) dst->data + ((i3 * N + i1 + tq) * ne1 + i2) * nb1, out, (size_t) DV * sizeof(float));
        }

        ir += tile_rows;
    }
}
