#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/quants"

// tq1_0 and tq2_0 on the CPU: row quantizers (the reference ones) and the
// portable dot products with q8_K activations, reading each digit exactly
// as the dequantizers do.

#include "cpu/quants/impl.h"

static const uint8_t tq_pow3[5] = { 1, 3, 9, 27, 81 };

static inline int tq1_digit(uint8_t b, int n) {
    const uint8_t q = (uint8_t) (b * tq_pow3[n]);
    return ((int) q * 3) >> 8;
}

extern "C" {

void quantize_row_tq1_0(const float * x, void * y, int64_t k) {
    quantize_row_tq1_0_ref(x, y, k);
}

void quantize_row_tq2_0(const float * x, void * y, int64_t k) {
    quantize_row_tq2_0_ref(x, y, k);
}

void tevo_vec_dot_tq1_0_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_tq1_0 * bx0 = (const block_tq1_0 *) x;
    const block_q8_K *  by0 = (const block_q8_K *) y;

    float sumf = 0.0f;
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const int8_t * q8   = by0[ib].qs;
        int            sumi = 0;
        for (int nn = 0; nn < 5; ++nn) {
            for (int m = 0; m < 32; ++m) {
                sumi += (tq1_digit(bx0[ib].qs[m], nn) - 1) * q8[32 * nn + m];
            }
            for (int m = 0; m < 16; ++m) {
                sumi += (tq1_digit(bx0[ib].qs[32 + m], nn) - 1) * q8[160 + 16 * nn + m];
            }
        }
        for (int nn = 0; nn < 4; ++nn) {
            for (int j = 0; j < 4; ++j) {
                sumi += (tq1_digit(bx0[ib].qh[j], nn) - 1) * q8[240 + 4 * nn + j];
            }
        }
        sumf = fmaf((float) sumi, TEVO_Q_H2F(bx0[ib].d) * by0[ib].d, sumf);
    }
    *s = sumf;
}

void tevo_vec_dot_tq2_0_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_tq2_0 * bx0 = (const block_tq2_0 *) x;
    const block_q8_K *  by0 = (const block_q8_K *) y;

    float sumf = 0.0f;
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const int8_t * q8   = by0[ib].qs;
        int            sumi = 0;
        for (int h = 0; h < 2; ++h) {
            for (int nn = 0; nn < 4; ++nn) {
                for (int m = 0; m < 32; ++m) {
                    const int t = (bx0[ib].qs[32 * h + m] >> (2 * nn)) & 3;
                    sumi += (t - 1) * q8[128 * h + 32 * nn + m];
                }
            }
        }
        sumf = fmaf(by0[ib].d * TEVO_Q_H2F(bx0[ib].d), (float) sumi, sumf);
    }
    *s = sumf;
}

} // extern "C"
