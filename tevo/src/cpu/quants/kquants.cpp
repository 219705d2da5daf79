#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/quants"

// The K-quants on the CPU: row quantizers (the reference ones, q8_K the
// activation format of every K-quant, ternary and i-quant product) and the
// portable dot products with q8_K activations.
//
// The scales are factored out of exact integer sums: per block, lane k of
// eight gathers the scaled products of the values v with v % 8 == k, and one
// fused multiply-add per lane applies the block scale; the minimums of q2_K,
// q4_K and q5_K enter only through the activation block's sums of 16 codes.

#include "cpu/quants/impl.h"
#include "quants/kquants.h"

#include <type_traits>

// the eight float lanes of a block: sums[k] = fma(aux[k], d, sums[k])
static inline void kq_lanes(const int32_t * aux, float d, float * sums) {
    for (int k = 0; k < 8; ++k) {
        sums[k] = fmaf((float) aux[k], d, sums[k]);
    }
}

static inline float kq_total(float sumf, const float * sums) {
    for (int k = 0; k < 8; ++k) {
        sumf += sums[k];
    }
    return sumf;
}

// q4_K and q5_K differ only in the fifth bit of the codes
template <bool five>
static float kq_dot_q4_q5(int n, const void * x, const void * y) {
    using block = typename std::conditional<five, block_q5_K, block_q4_K>::type;
    const block *      bx0 = (const block *) x;
    const block_q8_K * by0 = (const block_q8_K *) y;

    float sums[8] = { 0 };
    float sumf    = 0.0f;
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const block *      xb = &bx0[ib];
        const block_q8_K * yb = &by0[ib];

        uint8_t sc[8], m[8];
        for (int j = 0; j < 8; ++j) {
            tevo_kq_unpack_scale_min(j, xb->scales, &sc[j], &m[j]);
        }
        int32_t aux[8] = { 0 };
        for (int v = 0; v < QK_K; ++v) {
            const int j    = v / 32;
            int       code = (xb->qs[32 * (v / 64) + v % 32] >> (4 * (j % 2))) & 0x0f;
            if constexpr (five) {
                code += ((xb->qh[v % 32] >> j) & 1) << 4;
            }
            aux[v % 8] += sc[j] * code * yb->qs[v];
        }
        int summs = 0;
        for (int k = 0; k < 16; ++k) {
            summs += yb->bsums[k] * m[k / 2];
        }
        kq_lanes(aux, TEVO_Q_H2F(xb->d) * yb->d, sums);
        const float dmin = TEVO_Q_H2F(xb->dmin) * yb->d;
        sumf             = fmaf(-(float) summs, dmin, sumf);
    }
    return kq_total(sumf, sums);
}

extern "C" {

void quantize_row_q2_K(const float * x, void * y, int64_t k) {
    quantize_row_q2_K_ref(x, y, k);
}

void quantize_row_q3_K(const float * x, void * y, int64_t k) {
    quantize_row_q3_K_ref(x, y, k);
}

void quantize_row_q4_K(const float * x, void * y, int64_t k) {
    quantize_row_q4_K_ref(x, y, k);
}

void quantize_row_q5_K(const float * x, void * y, int64_t k) {
    quantize_row_q5_K_ref(x, y, k);
}

void quantize_row_q6_K(const float * x, void * y, int64_t k) {
    quantize_row_q6_K_ref(x, y, k);
}

void quantize_row_q8_K_generic(const float * x, void * y, int64_t k) {
    quantize_row_q8_K_ref(x, y, k);
}

void tevo_vec_dot_q2_K_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_q2_K * bx0 = (const block_q2_K *) x;
    const block_q8_K * by0 = (const block_q8_K *) y;

    float sumf = 0.0f;
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const block_q2_K * xb = &bx0[ib];
        const block_q8_K * yb = &by0[ib];

        int summs = 0;
        for (int j = 0; j < 16; ++j) {
            summs += (xb->scales[j] >> 4) * yb->bsums[j];
        }
        int isum = 0;
        for (int v = 0; v < QK_K; ++v) {
            const int code = (xb->qs[32 * (v / 128) + v % 32] >> (2 * ((v % 128) / 32))) & 3;
            isum += (xb->scales[v / 16] & 0x0f) * code * yb->qs[v];
        }
        const float dall = yb->d * TEVO_Q_H2F(xb->d);
        const float dmin = yb->d * TEVO_Q_H2F(xb->dmin);
        sumf             = sumf + fmaf(dall, (float) isum, -(dmin * (float) summs));
    }
    *s = sumf;
}

void tevo_vec_dot_q3_K_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_q3_K * bx0 = (const block_q3_K *) x;
    const block_q8_K * by0 = (const block_q8_K *) y;

    float sums[8] = { 0 };
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const block_q3_K * xb = &bx0[ib];
        const block_q8_K * yb = &by0[ib];

        int32_t aux[8] = { 0 };
        for (int v = 0; v < QK_K; ++v) {
            const int low  = (xb->qs[32 * (v / 128) + v % 32] >> (2 * ((v % 128) / 32))) & 3;
            const int high = (xb->hmask[v % 32] >> (v / 32)) & 1;
            const int c    = low - (high ? 0 : 4);
            aux[v % 8] += (tevo_kq_q3_scale(xb->scales, v / 16) - 32) * c * yb->qs[v];
        }
        kq_lanes(aux, TEVO_Q_H2F(xb->d) * yb->d, sums);
    }
    *s = kq_total(0.0f, sums);
}

void tevo_vec_dot_q4_K_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    *s = kq_dot_q4_q5<false>(n, x, y);
}

void tevo_vec_dot_q5_K_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    *s = kq_dot_q4_q5<true>(n, x, y);
}

void tevo_vec_dot_q6_K_q8_K_generic(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_q6_K * bx0 = (const block_q6_K *) x;
    const block_q8_K * by0 = (const block_q8_K *) y;

    float sums[8] = { 0 };
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const block_q6_K * xb = &bx0[ib];
        const block_q8_K * yb = &by0[ib];

        int32_t aux[8] = { 0 };
        for (int v = 0; v < QK_K; ++v) {
            const int h    = v / 128;
            const int sh   = (v % 128) / 32;
            const int l    = v % 32;
            const int lo   = (xb->ql[64 * h + l + 32 * (sh & 1)] >> (sh < 2 ? 0 : 4)) & 0x0f;
            const int hi   = (xb->qh[32 * h + l] >> (2 * sh)) & 3;
            const int code = lo | (hi << 4);
            aux[v % 8] += xb->scales[v / 16] * (code - 32) * yb->qs[v];
        }
        kq_lanes(aux, TEVO_Q_H2F(xb->d) * yb->d, sums);
    }
    *s = kq_total(0.0f, sums);
}

} // extern "C"
