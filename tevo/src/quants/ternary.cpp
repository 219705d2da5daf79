#define TEVO_SOURCE_PATH "tevo/src/tevo-quants"

// The ternary formats: every value -d, 0 or +d with one half scale d per
// 256 values. tq1_0 packs five base-3 digits into a byte, tq2_0 spends two
// bits per digit.
//
// tq1_0 stores a byte's digits q (0..242) as ceil(q * 256 / 243), so that
// multiplying the byte by 3^n in 8-bit arithmetic brings digit n to the top
// and (b * 3) >> 8 reads it: no division in the kernels.

#include "quants/impl.h"

static const uint8_t tq_pow3[5] = { 1, 3, 9, 27, 81 };

// x * id lies within -1..1 unless the inverse scale overflowed (a block too
// small to invert, whose scale is stored as 0): then the digit of zero
static inline int tq_digit(float x, float id) {
    const float v = x * id;
    return v >= -1.5f && v <= 1.5f ? (int) lroundf(v) + 1 : 1;
}

static inline uint8_t tq1_pack(int q) {
    return (uint8_t) ((q * 256 + 242) / 243);
}

static inline int tq1_digit(uint8_t b, int n) {
    const uint8_t q = (uint8_t) (b * tq_pow3[n]);
    return ((int) q * 3) >> 8;
}

extern "C" {

void quantize_row_tq1_0_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    block_tq1_0 * y  = (block_tq1_0 *) vy;
    const int64_t nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, x += QK_K) {
        float amax = 0.0f;
        for (int j = 0; j < QK_K; ++j) {
            amax = TEVO_MAX(amax, fabsf(x[j]));
        }
        const bool  finite = tevo_q_finite(x, QK_K);
        const float id     = finite && amax != 0.0f ? 1.0f / amax : 0.0f;
        y[i].d             = finite ? tevo_q_fp16(amax) : TEVO_Q_FP16_INF;
        // a non-finite block takes the digit of zero throughout
        auto digit = [&](float v) { return finite ? tq_digit(v, id) : 1; };

        // bytes 0..31: elements m, m+32, m+64, m+96, m+128
        for (int m = 0; m < 32; ++m) {
            int q = 0;
            for (int n = 0; n < 5; ++n) {
                q = q * 3 + digit(x[m + 32 * n]);
            }
            y[i].qs[m] = tq1_pack(q);
        }
        // bytes 32..47: elements 160+m, 176+m, 192+m, 208+m, 224+m
        for (int m = 0; m < 16; ++m) {
            int q = 0;
            for (int n = 0; n < 5; ++n) {
                q = q * 3 + digit(x[160 + m + 16 * n]);
            }
            y[i].qs[32 + m] = tq1_pack(q);
        }
        // qh: elements 240+j, 244+j, 248+j, 252+j and a fifth digit 0
        for (int j = 0; j < 4; ++j) {
            int q = 0;
            for (int n = 0; n < 4; ++n) {
                q = q * 3 + digit(x[240 + j + 4 * n]);
            }
            y[i].qh[j] = tq1_pack(q * 3);
        }
    }
}

void quantize_row_tq2_0_ref(const float * x, void * vy, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    block_tq2_0 * y  = (block_tq2_0 *) vy;
    const int64_t nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, x += QK_K) {
        float amax = 0.0f;
        for (int j = 0; j < QK_K; ++j) {
            amax = TEVO_MAX(amax, fabsf(x[j]));
        }
        const bool  finite = tevo_q_finite(x, QK_K);
        const float id     = finite && amax != 0.0f ? 1.0f / amax : 0.0f;
        y[i].d             = finite ? tevo_q_fp16(amax) : TEVO_Q_FP16_INF;
        // a non-finite block takes the digit of zero throughout
        auto digit = [&](float v) { return finite ? tq_digit(v, id) : 1; };

        // byte 32h + m: elements 128h + m + 32n in bits 2n, 2n+1
        for (int h = 0; h < 2; ++h) {
            for (int m = 0; m < 32; ++m) {
                int q = 0;
                for (int n = 0; n < 4; ++n) {
                    q |= (digit(x[128 * h + m + 32 * n]) & 3) << (2 * n);
                }
                y[i].qs[32 * h + m] = (uint8_t) q;
            }
        }
    }
}

void dequantize_row_tq1_0(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_tq1_0 * x  = (const block_tq1_0 *) vx;
    const int64_t       nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, y += QK_K) {
        const float d = tevo_q_fp32(x[i].d);
        for (int n = 0; n < 5; ++n) {
            for (int m = 0; m < 32; ++m) {
                y[32 * n + m] = (float) (tq1_digit(x[i].qs[m], n) - 1) * d;
            }
        }
        for (int n = 0; n < 5; ++n) {
            for (int m = 0; m < 16; ++m) {
                y[160 + 16 * n + m] = (float) (tq1_digit(x[i].qs[32 + m], n) - 1) * d;
            }
        }
        for (int n = 0; n < 4; ++n) {
            for (int j = 0; j < 4; ++j) {
                y[240 + 4 * n + j] = (float) (tq1_digit(x[i].qh[j], n) - 1) * d;
            }
        }
    }
}

void dequantize_row_tq2_0(const void * vx, float * y, int64_t k) {
    TEVO_Q_CHECK_ROW(k, QK_K);
    const block_tq2_0 * x  = (const block_tq2_0 *) vx;
    const int64_t       nb = k / QK_K;

    for (int64_t i = 0; i < nb; ++i, y += QK_K) {
        const float d = tevo_q_fp32(x[i].d);
        for (int h = 0; h < 2; ++h) {
            for (int n = 0; n < 4; ++n) {
                for (int m = 0; m < 32; ++m) {
                    const int t                = (x[i].qs[32 * h + m] >> (2 * n)) & 3;
                    y[128 * h + 32 * n + m] = (float) (t - 1) * d;
                }
            }
        }
    }
}

// Three fixed levels leave nothing for importance weights to choose.

size_t quantize_tq1_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    (void) imatrix;
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK_K);
    quantize_row_tq1_0_ref(src, dst, nrows * n_per_row);
    return (size_t) nrows * (size_t) (n_per_row / QK_K) * sizeof(block_tq1_0);
}

size_t quantize_tq2_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix) {
    (void) imatrix;
    TEVO_Q_CHECK_CHUNK(nrows, n_per_row, QK_K);
    quantize_row_tq2_0_ref(src, dst, nrows * n_per_row);
    return (size_t) nrows * (size_t) (n_per_row / QK_K) * sizeof(block_tq2_0);
}

} // extern "C"
