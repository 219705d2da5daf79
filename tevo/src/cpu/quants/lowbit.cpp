#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/quants"

// q1_0 and q2_0 on the CPU: row quantizers (the reference ones) and the
// portable dot products with q8_0 activations. A q1_0 block meets four
// activation blocks, a q2_0 block two; each activation block's integer sum
// is scaled by its own scale before the weight scale multiplies the lot.
// q2_0 has no x86 form: the portable kernel is the table's.

#include "cpu/quants/impl.h"

extern "C" {

void quantize_row_q1_0(const float * x, void * y, int64_t k) {
    quantize_row_q1_0_ref(x, y, k);
}

void quantize_row_q2_0(const float * x, void * y, int64_t k) {
    quantize_row_q2_0_ref(x, y, k);
}

void tevo_vec_dot_q1_0_q8_0_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK1_0);
    const block_q1_0 * bx0 = (const block_q1_0 *) x;
    const block_q8_0 * by0 = (const block_q8_0 *) y;

    float sumf = 0.0f;
    for (int ib = 0; ib < n / QK1_0; ++ib) {
        float t = 0.0f;
        for (int k = 0; k < 4; ++k) {
            const block_q8_0 * yb   = &by0[4 * ib + k];
            int                sumi = 0;
            for (int i = 0; i < 32; ++i) {
                const int bit = 32 * k + i;
                sumi += (bx0[ib].qs[bit / 8] >> (bit % 8)) & 1 ? yb->qs[i] : -yb->qs[i];
            }
            t = fmaf((float) sumi, TEVO_Q_H2F(yb->d), t);
        }
        sumf = fmaf(TEVO_Q_H2F(bx0[ib].d), t, sumf);
    }
    *s = sumf;
}

void tevo_vec_dot_q2_0_q8_0(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK2_0);
    const block_q2_0 * bx0 = (const block_q2_0 *) x;
    const block_q8_0 * by0 = (const block_q8_0 *) y;

    float sumf = 0.0f;
    for (int ib = 0; ib < n / QK2_0; ++ib) {
        // the signed codes first: two plain byte products the compiler vectorizes
        int8_t c[QK2_0];
        for (int b = 0; b < QK2_0 / 4; ++b) {
            const int q  = bx0[ib].qs[b];
            c[4 * b + 0] = (int8_t) ((q & 3) - 1);
            c[4 * b + 1] = (int8_t) (((q >> 2) & 3) - 1);
            c[4 * b + 2] = (int8_t) (((q >> 4) & 3) - 1);
            c[4 * b + 3] = (int8_t) ((q >> 6) - 1);
        }
        int sumi[2] = { 0, 0 };
        for (int k = 0; k < 2; ++k) {
            const int8_t * yq = by0[2 * ib + k].qs;
            for (int i = 0; i < 32; ++i) {
                sumi[k] += c[32 * k + i] * yq[i];
            }
        }
        float t = (float) sumi[0] * TEVO_Q_H2F(by0[2 * ib].d);
        t       = fmaf((float) sumi[1], TEVO_Q_H2F(by0[2 * ib + 1].d), t);
        sumf    = fmaf(t, TEVO_Q_H2F(bx0[ib].d), sumf);
    }
    *s = sumf;
}

} // extern "C"
