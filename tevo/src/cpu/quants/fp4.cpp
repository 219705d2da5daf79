#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/quants"

// mxfp4 and nvfp4 on the CPU: row quantizers (the reference ones) and the
// portable dot products with q8_0 activations. The codes are looked up in
// the doubled E2M1 table, so the integer sums are exact and every scale is
// applied at half its value.

#include "cpu/quants/impl.h"
#include "quants/impl.h" // the dequantizer's own E8M0 half scale

// half the value of an unsigned E4M3 byte; 0 and 0x7f give 0
static inline float fp4_ue4m3_half(uint8_t u) {
    if (u == 0 || u == 0x7f) {
        return 0.0f;
    }
    const int e = (u >> 3) & 15;
    const int m = u & 7;
    return e == 0 ? ldexpf((float) m, -10) : ldexpf(1.0f + (float) m / 8.0f, e - 8);
}

extern "C" {

void quantize_row_mxfp4(const float * x, void * y, int64_t k) {
    quantize_row_mxfp4_ref(x, y, k);
}

void quantize_row_nvfp4(const float * x, void * y, int64_t k) {
    quantize_row_nvfp4_ref(x, y, k);
}

void tevo_vec_dot_mxfp4_q8_0_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_MXFP4);
    const block_mxfp4 * bx0 = (const block_mxfp4 *) x;
    const block_q8_0 *  by0 = (const block_q8_0 *) y;

    float sumf = 0.0f;
    for (int ib = 0; ib < n / QK_MXFP4; ++ib) {
        int sumi = 0;
        for (int j = 0; j < 16; ++j) {
            sumi += fp4_e2m1_doubled_values[bx0[ib].qs[j] & 0x0f] * by0[ib].qs[j];
            sumi += fp4_e2m1_doubled_values[bx0[ib].qs[j] >> 4] * by0[ib].qs[j + 16];
        }
        const float scale = tevo_q_e8m0_half(bx0[ib].e) * TEVO_Q_H2F(by0[ib].d);
        sumf              = fmaf(scale, (float) sumi, sumf);
    }
    *s = sumf;
}

// sub-blocks 0 and 1 meet the halves of activation block 2b, 2 and 3 those
// of block 2b + 1
void tevo_vec_dot_nvfp4_q8_0_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_NVFP4);
    const block_nvfp4 * bx0 = (const block_nvfp4 *) x;
    const block_q8_0 *  by0 = (const block_q8_0 *) y;

    float sumf = 0.0f;
    for (int ib = 0; ib < n / QK_NVFP4; ++ib) {
        for (int sb = 0; sb < 4; ++sb) {
            const block_q8_0 * yb = &by0[2 * ib + sb / 2];
            const int8_t *     yq = yb->qs + 16 * (sb % 2);
            const uint8_t *    q  = bx0[ib].qs + 8 * sb;
            int                sumi = 0;
            for (int k = 0; k < 8; ++k) {
                sumi += fp4_e2m1_doubled_values[q[k] & 0x0f] * yq[k];
                sumi += fp4_e2m1_doubled_values[q[k] >> 4] * yq[k + 8];
            }
            const float scale = fp4_ue4m3_half(bx0[ib].scales[sb]) * TEVO_Q_H2F(yb->d);
            sumf              = fmaf(scale, (float) sumi, sumf);
        }
    }
    *s = sumf;
}

} // extern "C"
