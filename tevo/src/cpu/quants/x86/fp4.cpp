#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/x86/quants"

// AVX2 forms of the mxfp4 and nvfp4 dot products: the four-bit codes become
// their doubled E2M1 values by one byte shuffle, meet the activation bytes
// in signed byte products summed into eight lanes, and the half scales come
// from the engine's E8M0 and E4M3 tables.

#include "cpu/quants/impl.h"
#include "cpu/quants/x86/simd.h"

static inline __m256i fp4_values(__m256i nibbles) {
    const __m128i t   = _mm_loadu_si128((const __m128i *) fp4_e2m1_doubled_values);
    const __m256i tab = _mm256_set_m128i(t, t);
    return _mm256_shuffle_epi8(tab, nibbles);
}

static inline int mxfp4_block_sum(const block_mxfp4 * xb, const block_q8_0 * yb) {
    int sumi = 0;
    for (int j = 0; j < 16; ++j) {
        sumi += fp4_e2m1_doubled_values[xb->qs[j] & 0x0f] * yb->qs[j];
        sumi += fp4_e2m1_doubled_values[xb->qs[j] >> 4] * yb->qs[j + 16];
    }
    return sumi;
}

extern "C" {

// two blocks per iteration, one accumulator each; an odd last block is
// added by the scalar formula on top of the reduced sum
void tevo_vec_dot_mxfp4_q8_0(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_MXFP4);
    const block_mxfp4 * bx0 = (const block_mxfp4 *) x;
    const block_q8_0 *  by0 = (const block_q8_0 *) y;
    const int           nb  = n / QK_MXFP4;

    __m256 acc0 = _mm256_setzero_ps();
    __m256 acc1 = _mm256_setzero_ps();
    int    ib   = 0;
    for (; ib + 1 < nb; ib += 2) {
        for (int h = 0; h < 2; ++h) {
            const block_mxfp4 * xb = &bx0[ib + h];
            const block_q8_0 *  yb = &by0[ib + h];
            const __m256i       qx = fp4_values(tevo_q_bytes_from_nibbles(xb->qs));
            const __m256i       qy = _mm256_loadu_si256((const __m256i *) yb->qs);
            const __m256        L  = _mm256_cvtepi32_ps(tevo_q_mul_sum_i8(qx, qy));
            const __m256 sc = _mm256_set1_ps(tevo_table_f32_e8m0_half[xb->e] * TEVO_Q_H2F(yb->d));
            if (h == 0) {
                acc0 = _mm256_fmadd_ps(sc, L, acc0);
            } else {
                acc1 = _mm256_fmadd_ps(sc, L, acc1);
            }
        }
    }
    float sumf = tevo_q_hsum(_mm256_add_ps(acc0, acc1));
    if (ib < nb) {
        const float sc = tevo_table_f32_e8m0_half[bx0[ib].e] * TEVO_Q_H2F(by0[ib].d);
        sumf           = fmaf(sc, (float) mxfp4_block_sum(&bx0[ib], &by0[ib]), sumf);
    }
    *s = sumf;
}

// sub-blocks 0 and 1 form one 32-byte vector against activation block 2b,
// 2 and 3 another against 2b + 1; lanes 0-3 carry the first sub-block's
// scale, 4-7 the second's
void tevo_vec_dot_nvfp4_q8_0(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_NVFP4);
    const block_nvfp4 * bx0 = (const block_nvfp4 *) x;
    const block_q8_0 *  by0 = (const block_q8_0 *) y;

    const __m128i m4  = _mm_set1_epi8(0x0f);
    __m256        acc = _mm256_setzero_ps();
    for (int ib = 0; ib < n / QK_NVFP4; ++ib) {
        for (int h = 0; h < 2; ++h) {
            const block_q8_0 * yb = &by0[2 * ib + h];
            // bytes 16h..16h+15: low nibbles then high nibbles per sub-block
            const __m128i q  = _mm_loadu_si128((const __m128i *) (bx0[ib].qs + 16 * h));
            const __m128i lo = _mm_and_si128(q, m4);
            const __m128i hi = _mm_and_si128(_mm_srli_epi16(q, 4), m4);
            const __m256i nib =
                _mm256_set_m128i(_mm_unpackhi_epi64(lo, hi), _mm_unpacklo_epi64(lo, hi));
            const __m256i qx = fp4_values(nib);
            const __m256i qy = _mm256_loadu_si256((const __m256i *) yb->qs);
            const __m256  L  = _mm256_cvtepi32_ps(tevo_q_mul_sum_i8(qx, qy));
            const float   dy = TEVO_Q_H2F(yb->d);
            const float   s0 = tevo_table_f32_ue4m3[bx0[ib].scales[2 * h]] * dy;
            const float   s1 = tevo_table_f32_ue4m3[bx0[ib].scales[2 * h + 1]] * dy;
            acc              = _mm256_fmadd_ps(L, _mm256_setr_ps(s0, s0, s0, s0, s1, s1, s1, s1), acc);
        }
    }
    *s = tevo_q_hsum(acc);
}

} // extern "C"
