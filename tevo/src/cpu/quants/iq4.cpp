#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/quants"

// iq4_nl and iq4_xs on the CPU: their row quantizers (the reference
// quantizer, and for iq4_xs the chunk quantizer without weights) and the
// portable dot products with q8_0 and q8_K activations: each 32 values'
// integer sum of levels times codes, scaled once in float.

#include "cpu/quants/impl.h"
#include "quants/iquants-tables.h"

// 32 values of 16 nibble bytes (low nibble value j, high nibble j + 16)
static inline int32_t iq4_dot32(const uint8_t * qs, const int8_t * q8) {
    int32_t sum = 0;
    for (int j = 0; j < 16; ++j) {
        sum += q8[j] * iq4_nl_values[qs[j] & 15] + q8[j + 16] * iq4_nl_values[qs[j] >> 4];
    }
    return sum;
}

extern "C" {

void quantize_row_iq4_nl(const float * x, void * y, int64_t k) {
    quantize_row_iq4_nl_ref(x, y, k);
}

void quantize_row_iq4_xs(const float * x, void * y, int64_t k) {
    TEVO_ASSERT_AS(k >= 0 && k % QK_K == 0, "k >= 0 && k % QK_K == 0");
    quantize_iq4_xs(x, y, 1, k, NULL);
}

void tevo_vec_dot_iq4_nl_q8_0_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK4_NL);
    const block_iq4_nl * xq = (const block_iq4_nl *) x;
    const block_q8_0 *   yq = (const block_q8_0 *) y;

    float sumf = 0.0f;
    for (int i = 0; i < n / QK4_NL; ++i) {
        const float d = TEVO_Q_H2F(xq[i].d) * TEVO_Q_H2F(yq[i].d);
        sumf          = fmaf(d, (float) iq4_dot32(xq[i].qs, yq[i].qs), sumf);
    }
    *s = sumf;
}

void tevo_vec_dot_iq4_xs_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_iq4_xs * xq = (const block_iq4_xs *) x;
    const block_q8_K *   yq = (const block_q8_K *) y;

    float sumf = 0.0f;
    for (int i = 0; i < n / QK_K; ++i) {
        const float dd = TEVO_Q_H2F(xq[i].d) * yq[i].d;
        for (int ib = 0; ib < QK_K / 32; ++ib) {
            const int e = ((xq[i].scales_l[ib / 2] >> (4 * (ib % 2))) & 15) | (((xq[i].scales_h >> (2 * ib)) & 3) << 4);
            const int32_t sumi = iq4_dot32(xq[i].qs + 16 * ib, yq[i].qs + 32 * ib);
            sumf               = fmaf(dd * (float) (e - 32), (float) sumi, sumf);
        }
    }
    *s = sumf;
}

} // extern "C"
