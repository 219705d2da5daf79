#define TEVO_SOURCE_PATH "tevo/src/tevo-quants"

// The non-linear 4-bit formats iq4_nl and iq4_xs: every value is one of 16
// fixed levels (denser near zero, -127 .. 113) times a scale, one half
// scale per 32 values (iq4_nl) or per 256 with a 6-bit signed sub-scale per
// 32 (iq4_xs). One row quantizer serves both: it fits each 32 values'
// scale by weighted least squares, optionally over a few extra starting
// scales.

#include "quants/impl.h"
#include "quants/iquants-tables.h"

namespace {

// the nearest level to v, a tie to the upper one
int iq4_best_index(float v) {
    const int8_t * val = iq4_nl_values;
    if (v <= (float) val[0]) return 0;
    if (v >= (float) val[15]) return 15;
    int lo = 0, hi = 15;
    while (hi - lo > 1) {
        const int mid = (lo + hi) / 2;
        if (v < (float) val[mid]) {
            hi = mid;
        } else {
            lo = mid;
        }
    }
    return v - (float) val[hi - 1] < (float) val[hi] - v ? hi - 1 : hi;
}

// One super-block of n values (32: iq4_nl, 256: iq4_xs). Writes the half
// scale, the nibbles and for iq4_xs the sub-block scale fields; qw holds
// the importance weights at the block's columns or is null; ntry extra
// starting scales each side (-1: the plain start only).
void iq4_quantize_weighted(int n, const float * x, tevo_fp16_t * dh, uint8_t * q4, uint16_t * scales_h,
                           uint8_t * scales_l, const float * qw, int ntry) {
    const int8_t * values = iq4_nl_values;
    float          scales[QK_K / 32];
    uint8_t        L[QK_K];
    float          weight[32];
    memset(L, 0, sizeof(L));

    float sumx2 = 0.0f;
    for (int i = 0; i < n; ++i) sumx2 += x[i] * x[i];
    const float sigma2 = 2.0f * sumx2 / (float) n;
    memset(q4, 0, (size_t) n / 2);
    *dh = tevo_q_fp16(0.0f);

    float max_scale = 0.0f, amax_scale = 0.0f;
    for (int ib = 0; ib < n / 32; ++ib) {
        const float * xb = x + 32 * ib;
        uint8_t *     Lb = L + 32 * ib;
        float         amax = 0.0f, max = 0.0f;
        for (int j = 0; j < 32; ++j) {
            weight[j]      = qw ? qw[32 * ib + j] * sqrtf(sigma2 + xb[j] * xb[j]) : xb[j] * xb[j];
            const float ax = fabsf(xb[j]);
            if (ax > amax) {
                amax = ax;
                max  = xb[j];
            }
        }
        if (amax < 1e-15f) {
            scales[ib] = 0.0f;
            continue;
        }
        float d     = ntry > 0 ? -max / (float) values[0] : max / (float) values[0];
        float id    = 1.0f / d;
        float sumqx = 0.0f, sumq2 = 0.0f;
        for (int j = 0; j < 32; ++j) {
            const int   l = iq4_best_index(id * xb[j]);
            const float q = (float) values[l];
            Lb[j]         = (uint8_t) l;
            sumqx += weight[j] * q * xb[j];
            sumq2 += weight[j] * q * q;
        }
        d          = sumq2 > 0.0f ? sumqx / sumq2 : 0.0f;
        float best = d * sumqx;
        for (int itry = -ntry; itry <= ntry; ++itry) {
            id    = ((float) itry + (float) values[0]) / max;
            sumqx = sumq2 = 0.0f;
            for (int j = 0; j < 32; ++j) {
                const float q = (float) values[iq4_best_index(id * xb[j])];
                sumqx += weight[j] * q * xb[j];
                sumq2 += weight[j] * q * q;
            }
            if (sumq2 > 0.0f && sumqx * sumqx > best * sumq2) {
                d    = sumqx / sumq2;
                best = d * sumqx;
            }
        }
        scales[ib] = d;
        if (fabsf(d) > amax_scale) {
            amax_scale = fabsf(d);
            max_scale  = d;
        }
    }

    if (n > 32) {
        *scales_h     = 0;
        const float d = -max_scale / 32.0f;
        *dh           = tevo_q_fp16(d);
        const float id = d != 0.0f ? 1.0f / d : 0.0f;
        for (int ib = 0; ib < n / 32; ++ib) {
            int         l   = TEVO_MAX(-32, TEVO_MIN(31, tevo_q_nearest_int(id * scales[ib])));
            const float dl  = d * (float) l;
            const float idl = dl != 0.0f ? 1.0f / dl : 0.0f;
            for (int j = 0; j < 32; ++j) L[32 * ib + j] = (uint8_t) iq4_best_index(idl * x[32 * ib + j]);
            l += 32;
            if (ib % 2 == 0) {
                scales_l[ib / 2] = (uint8_t) (l & 15);
            } else {
                scales_l[ib / 2] |= (uint8_t) ((l & 15) << 4);
            }
            *scales_h |= (uint16_t) ((l >> 4) << (2 * ib));
        }
    } else {
        *dh = tevo_q_fp16(scales[0]);
        if (ntry > 0) {
            const float id = scales[0] != 0.0f ? 1.0f / scales[0] : 0.0f;
            for (int j = 0; j < 32; ++j) L[j] = (uint8_t) iq4_best_index(id * x[j]);
        }
    }

    for (int i = 0; i < n / 32; ++i) {
        for (int j = 0; j < 16; ++j) {
            q4[16 * i + j] = (uint8_t) (L[32 * i + j] | (L[32 * i + 16 + j] << 4));
        }
    }
}

void iq4_nl_block(const float * x, block_iq4_nl * y, const float * qw, int ntry) {
    if (!tevo_q_in_range(x, QK4_NL)) {
        memset(y, 0, sizeof(*y));
        y->d = TEVO_Q_FP16_INF;
        return;
    }
    iq4_quantize_weighted(QK4_NL, x, &y->d, y->qs, NULL, NULL, qw, ntry);
}

void iq4_xs_block(const float * x, block_iq4_xs * y, const float * qw) {
    if (!tevo_q_in_range(x, QK_K)) {
        memset(y, 0, sizeof(*y));
        y->d = TEVO_Q_FP16_INF;
        return;
    }
    iq4_quantize_weighted(QK_K, x, &y->d, y->qs, &y->scales_h, y->scales_l, qw, 7);
}

} // namespace

extern "C" {

void dequantize_row_iq4_nl(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK4_NL);
    const block_iq4_nl * x = (const block_iq4_nl *) vx;
    for (int64_t i = 0; i < k / QK4_NL; ++i) {
        const float d = tevo_q_fp32(x[i].d);
        for (int j = 0; j < QK4_NL / 2; ++j) {
            y[j]          = d * (float) iq4_nl_values[x[i].qs[j] & 15];
            y[j + QK4_NL / 2] = d * (float) iq4_nl_values[x[i].qs[j] >> 4];
        }
        y += QK4_NL;
    }
}

void dequantize_row_iq4_xs(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_iq4_xs * x = (const block_iq4_xs *) vx;
    for (int64_t i = 0; i < k / QK_K; ++i) {
        const float d = tevo_q_fp32(x[i].d);
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const int e = ((x[i].scales_l[ib / 2] >> (4 * (ib % 2))) & 15) | (((x[i].scales_h >> (2 * ib)) & 3) << 4);
            const float   ds = d * (float) (e - 32);
            const uint8_t * qs = x[i].qs + 16 * ib;
            for (int j = 0; j < 16; ++j) {
                y[j]      = ds * (float) iq4_nl_values[qs[j] & 15];
                y[j + 16] = ds * (float) iq4_nl_values[qs[j] >> 4];
            }
            y += 32;
        }
    }
}

void quantize_row_iq4_nl_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK4_NL);
    block_iq4_nl * y = (block_iq4_nl *) vy;
    for (int64_t i = 0; i < k / QK4_NL; ++i) {
        iq4_nl_block(x + i * QK4_NL, &y[i], NULL, -1);
    }
}

size_t quantize_iq4_nl(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * qw) {
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK4_NL);
    const int64_t  nb = n_per_row / QK4_NL;
    block_iq4_nl * y  = (block_iq4_nl *) dst;
    for (int64_t row = 0; row < nrows; ++row) {
        for (int64_t i = 0; i < nb; ++i) {
            iq4_nl_block(src + row * n_per_row + i * QK4_NL, y++, qw ? qw + i * QK4_NL : NULL, 7);
        }
    }
    return (size_t) nrows * (size_t) nb * sizeof(block_iq4_nl);
}

size_t quantize_iq4_xs(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * qw) {
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK_K);
    const int64_t  nb = n_per_row / QK_K;
    block_iq4_xs * y  = (block_iq4_xs *) dst;
    for (int64_t row = 0; row < nrows; ++row) {
        for (int64_t i = 0; i < nb; ++i) {
            iq4_xs_block(src + row * n_per_row + i * QK_K, y++, qw ? qw + i * QK_K : NULL);
        }
    }
    return (size_t) nrows * (size_t) nb * sizeof(block_iq4_xs);
}

void quantize_row_iq4_xs_ref(const float * x, void * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    quantize_iq4_xs(x, y, 1, k, NULL);
}

} // extern "C"
