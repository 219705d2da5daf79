#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/quants"

// The 32-element formats on the CPU: row quantizers (the weight formats
// forward to their reference quantizers; q8_0 and q8_1 are the activation
// formats, whose table entries are the x86 forms) and the portable dot
// products q4_0, q5_0, q8_0 x q8_0 and q4_1, q5_1 x q8_1.
//
// A block's integer sum is exact; the scales are applied once per block with
// a fused multiply-add, in the association each kernel's comment gives.

#include "cpu/quants/impl.h"

static inline int q32_dot_i8(const int8_t * a, const int8_t * b) {
    int sum = 0;
    for (int i = 0; i < 32; ++i) {
        sum += a[i] * b[i];
    }
    return sum;
}

// the 32 weight codes of a four- or five-bit block in element order
static inline void q32_unpack4(const uint8_t * qs, int offset, int8_t * q) {
    for (int j = 0; j < 16; ++j) {
        q[j]      = (int8_t) ((qs[j] & 0x0f) - offset);
        q[j + 16] = (int8_t) ((qs[j] >> 4) - offset);
    }
}

static inline void q32_unpack5(const uint8_t * qs, const uint8_t * qh_bytes, int offset, int8_t * q) {
    uint32_t qh;
    memcpy(&qh, qh_bytes, sizeof(qh));
    for (int j = 0; j < 16; ++j) {
        q[j]      = (int8_t) (((qs[j] & 0x0f) | (((qh >> j) & 1) << 4)) - offset);
        q[j + 16] = (int8_t) (((qs[j] >> 4) | (((qh >> (j + 16)) & 1) << 4)) - offset);
    }
}

extern "C" {

void quantize_row_q4_0(const float * x, void * y, int64_t k) {
    quantize_row_q4_0_ref(x, y, k);
}

void quantize_row_q4_1(const float * x, void * y, int64_t k) {
    quantize_row_q4_1_ref(x, y, k);
}

void quantize_row_q5_0(const float * x, void * y, int64_t k) {
    quantize_row_q5_0_ref(x, y, k);
}

void quantize_row_q5_1(const float * x, void * y, int64_t k) {
    quantize_row_q5_1_ref(x, y, k);
}

void quantize_row_q8_0_generic(const float * x, void * y, int64_t k) {
    quantize_row_q8_0_ref(x, y, k);
}

void quantize_row_q8_1_generic(const float * x, void * y, int64_t k) {
    quantize_row_q8_1_ref(x, y, k);
}

// sumf = fma(sumi * dx, dy, sumf)
void tevo_vec_dot_q4_0_q8_0_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_0);
    const block_q4_0 * bx0 = (const block_q4_0 *) x;
    const block_q8_0 * by0 = (const block_q8_0 *) y;

    float sumf = 0.0f;
    for (int ib = 0; ib < n / QK8_0; ++ib) {
        int8_t q[32];
        q32_unpack4(bx0[ib].qs, 8, q);
        const int sumi = q32_dot_i8(q, by0[ib].qs);
        sumf = fmaf((float) sumi * TEVO_Q_H2F(bx0[ib].d), TEVO_Q_H2F(by0[ib].d), sumf);
    }
    *s = sumf;
}

// sumf += fma(dx * dy, sumi, mx * sy): the minimum meets the activations
// only through their block sums
void tevo_vec_dot_q4_1_q8_1_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_1);
    const block_q4_1 * bx0 = (const block_q4_1 *) x;
    const block_q8_1 * by0 = (const block_q8_1 *) y;

    float sumf = 0.0f;
    for (int ib = 0; ib < n / QK8_1; ++ib) {
        int8_t q[32];
        q32_unpack4(bx0[ib].qs, 0, q);
        const int   sumi = q32_dot_i8(q, by0[ib].qs);
        const float dd   = TEVO_Q_H2F(bx0[ib].d) * TEVO_Q_H2F(by0[ib].d);
        sumf             = sumf + fmaf(dd, (float) sumi, TEVO_Q_H2F(bx0[ib].m) * TEVO_Q_H2F(by0[ib].s));
    }
    *s = sumf;
}

// sumf = fma(dx * dy, sumi, sumf)
void tevo_vec_dot_q5_0_q8_0_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_0);
    const block_q5_0 * bx0 = (const block_q5_0 *) x;
    const block_q8_0 * by0 = (const block_q8_0 *) y;

    float sumf = 0.0f;
    for (int ib = 0; ib < n / QK8_0; ++ib) {
        int8_t q[32];
        q32_unpack5(bx0[ib].qs, bx0[ib].qh, 16, q);
        const int sumi = q32_dot_i8(q, by0[ib].qs);
        sumf = fmaf(TEVO_Q_H2F(bx0[ib].d) * TEVO_Q_H2F(by0[ib].d), (float) sumi, sumf);
    }
    *s = sumf;
}

// sumf = fma(dx * dy, sumi, mx * sy) + sumf
void tevo_vec_dot_q5_1_q8_1_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_1);
    const block_q5_1 * bx0 = (const block_q5_1 *) x;
    const block_q8_1 * by0 = (const block_q8_1 *) y;

    float sumf = 0.0f;
    for (int ib = 0; ib < n / QK8_1; ++ib) {
        int8_t q[32];
        q32_unpack5(bx0[ib].qs, bx0[ib].qh, 0, q);
        const int   sumi = q32_dot_i8(q, by0[ib].qs);
        const float dd   = TEVO_Q_H2F(bx0[ib].d) * TEVO_Q_H2F(by0[ib].d);
        sumf             = fmaf(dd, (float) sumi, TEVO_Q_H2F(bx0[ib].m) * TEVO_Q_H2F(by0[ib].s)) + sumf;
    }
    *s = sumf;
}

// sumf = fma(sumi, dx * dy, sumf)
void tevo_vec_dot_q8_0_q8_0_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_0);
    const block_q8_0 * bx0 = (const block_q8_0 *) x;
    const block_q8_0 * by0 = (const block_q8_0 *) y;

    float sumf = 0.0f;
    for (int ib = 0; ib < n / QK8_0; ++ib) {
        const int sumi = q32_dot_i8(bx0[ib].qs, by0[ib].qs);
        sumf = fmaf((float) sumi, TEVO_Q_H2F(bx0[ib].d) * TEVO_Q_H2F(by0[ib].d), sumf);
    }
    *s = sumf;
}

} // extern "C"
