#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/x86/quants"

// AVX2 form of the q1_0 dot product: each of the four activation blocks of a
// weight block is negated where the weight's sign bit is clear and summed
// into eight lanes; the lanes meet the activation scales, then the weight
// scale, with fused multiply-adds.

#include "cpu/quants/impl.h"
#include "cpu/quants/x86/simd.h"

extern "C" {

void tevo_vec_dot_q1_0_q8_0(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK1_0);
    const block_q1_0 * bx0 = (const block_q1_0 *) x;
    const block_q8_0 * by0 = (const block_q8_0 *) y;

    const __m256i ones = _mm256_set1_epi8(1);
    __m256        acc  = _mm256_setzero_ps();
    for (int ib = 0; ib < n / QK1_0; ++ib) {
        __m256 t = _mm256_setzero_ps();
        for (int k = 0; k < 4; ++k) {
            const block_q8_0 * yb = &by0[4 * ib + k];
            // +1 where the bit is set, -1 where clear
            const __m256i clr = _mm256_andnot_si256(tevo_q_bytes_from_bits(bx0[ib].qs + 4 * k), _mm256_set1_epi8(-1));
            const __m256i sgn = _mm256_or_si256(clr, ones);
            const __m256i qy  = _mm256_sign_epi8(_mm256_loadu_si256((const __m256i *) yb->qs), sgn);
            const __m256  L   = _mm256_cvtepi32_ps(tevo_q_mul_sum_u8_i8(ones, qy));
            const __m256  dy  = _mm256_set1_ps(TEVO_Q_H2F(yb->d));
            t                 = k == 0 ? _mm256_mul_ps(L, dy) : _mm256_fmadd_ps(L, dy, t);
        }
        acc = _mm256_fmadd_ps(t, _mm256_set1_ps(TEVO_Q_H2F(bx0[ib].d)), acc);
    }
    *s = tevo_q_hsum(acc);
}

} // extern "C"
