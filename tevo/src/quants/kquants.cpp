#define TEVO_SOURCE_PATH "tevo/src/tevo-quants"

// The K-quant formats q2_K .. q6_K and the activation format q8_K: 256
// values per block, small per-sub-block scales (and minimums) under one or
// two half block scales. Reference quantizers, dequantizers and the final
// code and packing steps that the weighted quantizers share.
//
// The sub-block searches pick float scales; the block scales are stored as
// halves and the final codes are chosen against the stored values, so the
// codes match what a dequantizer will see.

#include "quants/impl.h"
#include "quants/kquants-search.h"
#include "quants/kquants.h"

#include <stddef.h>

// ---------------------------------------------------------------------------
// final codes and packing

void tevo_kq_nonfinite(void * y, size_t size, size_t d_offset) {
    memset(y, 0, size);
    const tevo_fp16_t inf = TEVO_Q_FP16_INF;
    memcpy((char *) y + d_offset, &inf, sizeof(inf));
}

// two-bit codes of q2_K and q3_K: value 128h + 32s + l at bits 2s of byte 32h + l
static void kq_pack_2bit(const uint8_t * L, uint8_t * qs) {
    for (int h = 0; h < 2; ++h) {
        for (int l = 0; l < 32; ++l) {
            const uint8_t * c = L + 128 * h + l;
            qs[32 * h + l]    = (uint8_t) (c[0] | (c[32] << 2) | (c[64] << 4) | (c[96] << 6));
        }
    }
}

void tevo_kq_finish_q2_K(const float * x, block_q2_K * y, uint8_t * L) {
    const float d    = tevo_q_fp32(y->d);
    const float dmin = tevo_q_fp32(y->dmin);
    for (int j = 0; j < QK_K / 16; ++j) {
        const float dl = d * (float) (y->scales[j] & 0x0f);
        if (dl == 0.0f) {
            continue;
        }
        const float ml = dmin * (float) (y->scales[j] >> 4);
        for (int ii = 0; ii < 16; ++ii) {
            const int l    = tevo_q_nearest_int((x[16 * j + ii] + ml) / dl);
            L[16 * j + ii] = (uint8_t) TEVO_MAX(0, TEVO_MIN(3, l));
        }
    }
    kq_pack_2bit(L, y->qs);
}

void tevo_kq_finish_q3_K(const float * x, block_q3_K * y, int8_t * L) {
    const float d = tevo_q_fp32(y->d);
    for (int j = 0; j < QK_K / 16; ++j) {
        const float dl = d * (float) (tevo_kq_q3_scale(y->scales, j) - 32);
        if (dl == 0.0f) {
            continue;
        }
        for (int ii = 0; ii < 16; ++ii) {
            const int l    = tevo_q_nearest_int(x[16 * j + ii] / dl);
            L[16 * j + ii] = (int8_t) (TEVO_MAX(-4, TEVO_MIN(3, l)) + 4);
        }
    }

    // the third bit of value v goes to bit v / 32 of hmask[v % 32]
    uint8_t codes[QK_K];
    memset(y->hmask, 0, sizeof(y->hmask));
    for (int v = 0; v < QK_K; ++v) {
        int c = L[v];
        if (c > 3) {
            y->hmask[v % 32] |= (uint8_t) (1u << (v / 32));
            c -= 4;
        }
        codes[v] = (uint8_t) c;
    }
    kq_pack_2bit(codes, y->qs);
}

// four-bit codes of q4_K and q5_K: group g of 64 values in bytes 32g..32g+31,
// low nibbles the first 32 values, high nibbles the next 32
static void kq_finish_4_5(const float * x, const uint8_t * scales, float d, float dmin, int nmax, uint8_t * L) {
    for (int j = 0; j < QK_K / 32; ++j) {
        uint8_t sc, m;
        tevo_kq_unpack_scale_min(j, scales, &sc, &m);
        const float dl = d * (float) sc;
        if (dl == 0.0f) {
            continue;
        }
        const float dm = dmin * (float) m;
        for (int ii = 0; ii < 32; ++ii) {
            const int l    = tevo_q_nearest_int((x[32 * j + ii] + dm) / dl);
            L[32 * j + ii] = (uint8_t) TEVO_MAX(0, TEVO_MIN(nmax, l));
        }
    }
}

void tevo_kq_finish_q4_K(const float * x, block_q4_K * y, uint8_t * L) {
    kq_finish_4_5(x, y->scales, tevo_q_fp32(y->d), tevo_q_fp32(y->dmin), 15, L);
    for (int g = 0; g < 4; ++g) {
        for (int l = 0; l < 32; ++l) {
            y->qs[32 * g + l] = (uint8_t) (L[64 * g + l] | (L[64 * g + 32 + l] << 4));
        }
    }
}

void tevo_kq_finish_q5_K(const float * x, block_q5_K * y, uint8_t * L) {
    kq_finish_4_5(x, y->scales, tevo_q_fp32(y->d), tevo_q_fp32(y->dmin), 31, L);
    memset(y->qh, 0, sizeof(y->qh));
    for (int g = 0; g < 4; ++g) {
        for (int l = 0; l < 32; ++l) {
            int a = L[64 * g + l];
            int b = L[64 * g + 32 + l];
            if (a > 15) {
                y->qh[l] |= (uint8_t) (1u << (2 * g));
                a -= 16;
            }
            if (b > 15) {
                y->qh[l] |= (uint8_t) (1u << (2 * g + 1));
                b -= 16;
            }
            y->qs[32 * g + l] = (uint8_t) (a | (b << 4));
        }
    }
}

void tevo_kq_finish_q6_K(const float * x, block_q6_K * y, const float * sub_scales, int8_t * L) {
    float max_scale = 0.0f;
    float amax      = 0.0f;
    for (int j = 0; j < QK_K / 16; ++j) {
        const float as = fabsf(sub_scales[j]);
        if (as > amax) {
            amax      = as;
            max_scale = sub_scales[j];
        }
    }
    if (amax < 1e-15f) {
        memset(y, 0, sizeof(*y));
        return;
    }
    // the sub-block scale of largest magnitude becomes -128
    const float iscale = -128.0f / max_scale;
    y->d               = tevo_q_fp16(1.0f / iscale);
    for (int j = 0; j < QK_K / 16; ++j) {
        y->scales[j] = (int8_t) TEVO_MIN(127, tevo_q_nearest_int(iscale * sub_scales[j]));
    }

    const float d = tevo_q_fp32(y->d);
    for (int j = 0; j < QK_K / 16; ++j) {
        const float dl = d * (float) y->scales[j];
        if (dl == 0.0f) {
            continue;
        }
        for (int ii = 0; ii < 16; ++ii) {
            const int l    = tevo_q_nearest_int(x[16 * j + ii] / dl);
            L[16 * j + ii] = (int8_t) (TEVO_MAX(-32, TEVO_MIN(31, l)) + 32);
        }
    }
    for (int h = 0; h < 2; ++h) {
        for (int l = 0; l < 32; ++l) {
            const int8_t * c       = L + 128 * h + l;
            y->ql[64 * h + l]      = (uint8_t) ((c[0] & 15) | ((c[64] & 15) << 4));
            y->ql[64 * h + 32 + l] = (uint8_t) ((c[32] & 15) | ((c[96] & 15) << 4));
            y->qh[32 * h + l]      = (uint8_t) ((c[0] >> 4) | ((c[32] >> 4) << 2) | ((c[64] >> 4) << 4) |
                                           ((c[96] >> 4) << 6));
        }
    }
}

// q4_K and q5_K share everything but the code ceiling and the search grid
template <typename block>
static void kq_quantize_4_5(const float * x, block * y, int64_t nb, int nmax, float rmin, int nstep,
                            void (*finish)(const float *, block *, uint8_t *)) {
    for (int64_t i = 0; i < nb; ++i, x += QK_K) {
        if (!tevo_q_in_range(x, QK_K)) {
            tevo_kq_nonfinite(&y[i], sizeof(block), offsetof(block, d));
            continue;
        }
        uint8_t L[QK_K];
        float   scales[QK_K / 32];
        float   mins[QK_K / 32];
        float   max_scale = 0.0f;
        float   max_min   = 0.0f;
        for (int j = 0; j < QK_K / 32; ++j) {
            const float * xs     = x + 32 * j;
            float         sum_x2 = 0.0f;
            for (int l = 0; l < 32; ++l) {
                sum_x2 += xs[l] * xs[l];
            }
            const float av = sqrtf(sum_x2 * 0.03125f);
            float       w[32];
            for (int l = 0; l < 32; ++l) {
                w[l] = av + fabsf(xs[l]);
            }
            scales[j] = tevo_kq_search_scale_min(32, nmax, xs, w, L + 32 * j, &mins[j], rmin, 0.1f, nstep,
                                                 TEVO_KQ_SQUARED);
            if (scales[j] > max_scale) max_scale = scales[j];
            if (mins[j] > max_min) max_min = mins[j];
        }

        const float inv_scale = max_scale > 0.0f ? 63.0f / max_scale : 0.0f;
        const float inv_min   = max_min > 0.0f ? 63.0f / max_min : 0.0f;
        for (int j = 0; j < QK_K / 32; ++j) {
            uint8_t ls = (uint8_t) tevo_q_nearest_int(inv_scale * scales[j]);
            uint8_t lm = (uint8_t) tevo_q_nearest_int(inv_min * mins[j]);
            ls         = TEVO_MIN(63, ls);
            lm         = TEVO_MIN(63, lm);
            tevo_kq_pack_scale_min(j, ls, lm, y[i].scales);
        }
        y[i].d    = tevo_q_fp16(max_scale / 63.0f);
        y[i].dmin = tevo_q_fp16(max_min / 63.0f);
        finish(x, &y[i], L);
    }
}

extern "C" {

// ---------------------------------------------------------------------------
// reference quantizers

void quantize_row_q2_K_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    block_q2_K *  y  = (block_q2_K *) vy;
    const int64_t nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, x += QK_K) {
        if (!tevo_q_in_range(x, QK_K)) {
            tevo_kq_nonfinite(&y[i], sizeof(block_q2_K), offsetof(block_q2_K, d));
            continue;
        }
        uint8_t L[QK_K];
        float   scales[QK_K / 16];
        float   mins[QK_K / 16];
        float   max_scale = 0.0f;
        float   max_min   = 0.0f;
        for (int j = 0; j < QK_K / 16; ++j) {
            float w[16];
            for (int l = 0; l < 16; ++l) {
                w[l] = fabsf(x[16 * j + l]);
            }
            scales[j] = tevo_kq_search_scale_min(16, 3, x + 16 * j, w, L + 16 * j, &mins[j], -0.5f, 0.1f, 16,
                                                 TEVO_KQ_ABSOLUTE);
            if (scales[j] > max_scale) max_scale = scales[j];
            if (mins[j] > max_min) max_min = mins[j];
        }

        if (max_scale > 0.0f) {
            const float iscale = 15.0f / max_scale;
            for (int j = 0; j < QK_K / 16; ++j) {
                y[i].scales[j] = (uint8_t) tevo_q_nearest_int(iscale * scales[j]);
            }
            y[i].d = tevo_q_fp16(max_scale / 15.0f);
        } else {
            memset(y[i].scales, 0, sizeof(y[i].scales));
            y[i].d = tevo_q_fp16(0.0f);
        }
        if (max_min > 0.0f) {
            const float iscale = 15.0f / max_min;
            for (int j = 0; j < QK_K / 16; ++j) {
                // unsigned: a minimum too small to invert rounds to garbage
                // of either sign, kept to its low bits
                y[i].scales[j] |= (uint8_t) ((unsigned) tevo_q_nearest_int(iscale * mins[j]) << 4);
            }
            y[i].dmin = tevo_q_fp16(max_min / 15.0f);
        } else {
            y[i].dmin = tevo_q_fp16(0.0f);
        }
        tevo_kq_finish_q2_K(x, &y[i], L);
    }
}

void quantize_row_q3_K_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    block_q3_K *  y  = (block_q3_K *) vy;
    const int64_t nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, x += QK_K) {
        if (!tevo_q_in_range(x, QK_K)) {
            tevo_kq_nonfinite(&y[i], sizeof(block_q3_K), offsetof(block_q3_K, d));
            continue;
        }
        int8_t L[QK_K];
        float  scales[QK_K / 16];
        float  max_scale = 0.0f;
        float  amax      = 0.0f;
        for (int j = 0; j < QK_K / 16; ++j) {
            scales[j]      = tevo_kq_refine_signed_scale(x + 16 * j, L + 16 * j);
            const float as = fabsf(scales[j]);
            if (as > amax) {
                amax      = as;
                max_scale = scales[j];
            }
        }

        memset(y[i].scales, 0, sizeof(y[i].scales));
        if (max_scale != 0.0f) {
            const float iscale = -32.0f / max_scale;
            for (int j = 0; j < QK_K / 16; ++j) {
                const int l = TEVO_MAX(-32, TEVO_MIN(31, tevo_q_nearest_int(iscale * scales[j])));
                tevo_kq_q3_set_scale(y[i].scales, j, l + 32);
            }
            y[i].d = tevo_q_fp16(1.0f / iscale);
        } else {
            y[i].d = tevo_q_fp16(0.0f);
        }
        tevo_kq_finish_q3_K(x, &y[i], L);
    }
}

void quantize_row_q4_K_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    kq_quantize_4_5<block_q4_K>(x, (block_q4_K *) vy, k / QK_K, 15, -1.0f, 21, tevo_kq_finish_q4_K);
}

void quantize_row_q5_K_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    kq_quantize_4_5<block_q5_K>(x, (block_q5_K *) vy, k / QK_K, 31, -0.5f, 16, tevo_kq_finish_q5_K);
}

void quantize_row_q6_K_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    block_q6_K *  y  = (block_q6_K *) vy;
    const int64_t nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, x += QK_K) {
        if (!tevo_q_in_range(x, QK_K)) {
            tevo_kq_nonfinite(&y[i], sizeof(block_q6_K), offsetof(block_q6_K, d));
            continue;
        }
        int8_t L[QK_K];
        float  scales[QK_K / 16];
        for (int j = 0; j < QK_K / 16; ++j) {
            scales[j] = tevo_kq_search_signed_scale(16, 32, x + 16 * j, L + 16 * j, NULL);
        }
        tevo_kq_finish_q6_K(x, &y[i], scales, L);
    }
}

void quantize_row_q8_K_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    block_q8_K *  y  = (block_q8_K *) vy;
    const int64_t nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, x += QK_K) {
        if (!tevo_q_finite(x, QK_K)) {
            y[i].d = INFINITY;
            memset(y[i].qs, 0, sizeof(y[i].qs));
            memset(y[i].bsums, 0, sizeof(y[i].bsums));
            continue;
        }
        float max  = 0.0f;
        float amax = 0.0f;
        for (int j = 0; j < QK_K; ++j) {
            const float ax = fabsf(x[j]);
            if (ax > amax) {
                amax = ax;
                max  = x[j];
            }
        }
        if (amax == 0.0f) {
            // the partial sums too: the kernels read them, and reading
            // unwritten memory is undefined even where it is scaled by 0
            y[i].d = 0.0f;
            memset(y[i].qs, 0, sizeof(y[i].qs));
            memset(y[i].bsums, 0, sizeof(y[i].bsums));
            continue;
        }
        const float iscale = -127.0f / max;
        for (int j = 0; j < QK_K; ++j) {
            y[i].qs[j] = (int8_t) TEVO_MIN(127, tevo_q_nearest_int(iscale * x[j]));
        }
        for (int j = 0; j < QK_K / 16; ++j) {
            int sum = 0;
            for (int ii = 0; ii < 16; ++ii) {
                sum += y[i].qs[16 * j + ii];
            }
            y[i].bsums[j] = (int16_t) sum;
        }
        y[i].d = 1.0f / iscale;
    }
}

// ---------------------------------------------------------------------------
// dequantizers

void dequantize_row_q2_K(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_q2_K * x  = (const block_q2_K *) vx;
    const int64_t      nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, y += QK_K) {
        const float d   = tevo_q_fp32(x[i].d);
        const float min = tevo_q_fp32(x[i].dmin);
        for (int v = 0; v < QK_K; ++v) {
            const int   h    = v / 128;
            const int   s    = (v % 128) / 32;
            const int   l    = v % 32;
            const int   code = (x[i].qs[32 * h + l] >> (2 * s)) & 3;
            const int   sc   = x[i].scales[v / 16];
            const float dl   = d * (float) (sc & 0x0f);
            const float ml   = min * (float) (sc >> 4);
            y[v]             = dl * (float) code - ml;
        }
    }
}

void dequantize_row_q3_K(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_q3_K * x  = (const block_q3_K *) vx;
    const int64_t      nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, y += QK_K) {
        const float d = tevo_q_fp32(x[i].d);
        for (int v = 0; v < QK_K; ++v) {
            const int   h    = v / 128;
            const int   s    = (v % 128) / 32;
            const int   l    = v % 32;
            const int   low  = (x[i].qs[32 * h + l] >> (2 * s)) & 3;
            const int   high = (x[i].hmask[l] >> (v / 32)) & 1;
            const float dl   = d * (float) (tevo_kq_q3_scale(x[i].scales, v / 16) - 32);
            y[v]             = dl * (float) (low - (high ? 0 : 4));
        }
    }
}

void dequantize_row_q4_K(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_q4_K * x  = (const block_q4_K *) vx;
    const int64_t      nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, y += QK_K) {
        const float d   = tevo_q_fp32(x[i].d);
        const float min = tevo_q_fp32(x[i].dmin);
        for (int j = 0; j < QK_K / 32; ++j) {
            uint8_t sc, m;
            tevo_kq_unpack_scale_min(j, x[i].scales, &sc, &m);
            const float     d1 = d * (float) sc;
            const float     m1 = min * (float) m;
            const uint8_t * q  = x[i].qs + 32 * (j / 2);
            const int       sh = 4 * (j % 2);
            for (int l = 0; l < 32; ++l) {
                y[32 * j + l] = d1 * (float) ((q[l] >> sh) & 0x0f) - m1;
            }
        }
    }
}

void dequantize_row_q5_K(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_q5_K * x  = (const block_q5_K *) vx;
    const int64_t      nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, y += QK_K) {
        const float d   = tevo_q_fp32(x[i].d);
        const float min = tevo_q_fp32(x[i].dmin);
        for (int j = 0; j < QK_K / 32; ++j) {
            uint8_t sc, m;
            tevo_kq_unpack_scale_min(j, x[i].scales, &sc, &m);
            const float     d1 = d * (float) sc;
            const float     m1 = min * (float) m;
            const uint8_t * q  = x[i].qs + 32 * (j / 2);
            const int       sh = 4 * (j % 2);
            for (int l = 0; l < 32; ++l) {
                const int code = ((q[l] >> sh) & 0x0f) + (((x[i].qh[l] >> j) & 1) << 4);
                y[32 * j + l]  = d1 * (float) code - m1;
            }
        }
    }
}

void dequantize_row_q6_K(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_q6_K * x  = (const block_q6_K *) vx;
    const int64_t      nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, y += QK_K) {
        const float d = tevo_q_fp32(x[i].d);
        for (int v = 0; v < QK_K; ++v) {
            const int h    = v / 128;
            const int s    = (v % 128) / 32;
            const int l    = v % 32;
            const int lo   = (x[i].ql[64 * h + l + 32 * (s & 1)] >> (s < 2 ? 0 : 4)) & 0x0f;
            const int hi   = (x[i].qh[32 * h + l] >> (2 * s)) & 3;
            const int code = lo | (hi << 4);
            y[v]           = (d * (float) x[i].scales[v / 16]) * (float) (code - 32);
        }
    }
}

void dequantize_row_q8_K(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_q8_K * x  = (const block_q8_K *) vx;
    const int64_t      nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, y += QK_K) {
        for (int v = 0; v < QK_K; ++v) {
            y[v] = x[i].d * (float) x[i].qs[v];
        }
    }
}

} // extern "C"
