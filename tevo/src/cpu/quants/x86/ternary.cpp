#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/x86/quants"

// AVX2 forms of the ternary dot products. The digits are produced as
// unsigned bytes 0..2, multiplied with the activation codes by the byte
// multiply-add, and the activation block's sums of 16 codes are subtracted
// once, which turns the sum of t * y into the sum of (t - 1) * y without a
// signed digit ever being formed. No 16-bit lane can overflow: it holds at
// most 16 products of a digit <= 2 and a code <= 127, less a sum of 16 codes.

#include "cpu/quants/impl.h"
#include "cpu/quants/x86/simd.h"

// digit of each byte b: (b * 3) >> 8
static inline __m256i tq_top_digit(__m256i b) {
    const __m256i z  = _mm256_setzero_si256();
    const __m256i lo = _mm256_mulhi_epu16(_mm256_unpacklo_epi8(z, b), _mm256_set1_epi16(3));
    const __m256i hi = _mm256_mulhi_epu16(_mm256_unpackhi_epi8(z, b), _mm256_set1_epi16(3));
    return _mm256_packus_epi16(lo, hi);
}

// b * 3 in 8-bit arithmetic
static inline __m256i tq_times3(__m256i b) {
    return _mm256_add_epi8(_mm256_add_epi8(b, b), b);
}

static inline __m256 tq_block_lanes(__m256i sum16, const block_q8_K * yb) {
    const __m256i bsums = _mm256_loadu_si256((const __m256i *) yb->bsums);
    return _mm256_cvtepi32_ps(tevo_q_sum_i16_pairs(_mm256_sub_epi16(sum16, bsums)));
}

extern "C" {

void tevo_vec_dot_tq1_0_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_tq1_0 * bx0 = (const block_tq1_0 *) x;
    const block_q8_K *  by0 = (const block_q8_K *) y;

    __m256 acc = _mm256_setzero_ps();
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const block_tq1_0 * xb = &bx0[ib];
        const block_q8_K *  yb = &by0[ib];
        const int8_t *      q8 = yb->qs;

        __m256i sum16 = _mm256_setzero_si256();

        // bytes 0..31: digit n is element 32n + m
        __m256i b = _mm256_loadu_si256((const __m256i *) xb->qs);
        for (int nn = 0; nn < 5; ++nn) {
            const __m256i qy = _mm256_loadu_si256((const __m256i *) (q8 + 32 * nn));
            sum16            = _mm256_add_epi16(sum16, _mm256_maddubs_epi16(tq_top_digit(b), qy));
            b                = tq_times3(b);
        }

        // bytes 32..47: digit n is element 160 + 16n + m; two digits per vector
        const __m128i b16 = _mm_loadu_si128((const __m128i *) (xb->qs + 32));
        __m256i       p   = _mm256_set_m128i(b16, b16);
        {
            // powers (1, 3), (9, 27)
            const __m256i p3 = tq_times3(p);
            __m256i       d01 = _mm256_blend_epi32(p, p3, 0xf0);
            __m256i       d23 = tq_times3(tq_times3(d01));
            const __m256i q01 = _mm256_loadu_si256((const __m256i *) (q8 + 160));
            const __m256i q23 = _mm256_loadu_si256((const __m256i *) (q8 + 192));
            sum16 = _mm256_add_epi16(sum16, _mm256_maddubs_epi16(tq_top_digit(d01), q01));
            sum16 = _mm256_add_epi16(sum16, _mm256_maddubs_epi16(tq_top_digit(d23), q23));
            p     = tq_times3(tq_times3(d23)); // powers (81, 243): only the low half is used
        }

        // digit 4 of bytes 32..47 (elements 224..239) beside the qh digits
        // (elements 240 + 4n + j): qh bytes times 1, 3, 9, 27 kept to a byte
        uint32_t qh32;
        memcpy(&qh32, xb->qh, sizeof(qh32));
        const __m128i h16 = _mm_mullo_epi16(_mm_cvtepu8_epi16(_mm_set1_epi32((int) qh32)),
                                            _mm_setr_epi16(1, 1, 1, 1, 3, 3, 3, 3));
        const __m128i h16b = _mm_mullo_epi16(_mm_cvtepu8_epi16(_mm_set1_epi32((int) qh32)),
                                             _mm_setr_epi16(9, 9, 9, 9, 27, 27, 27, 27));
        const __m128i m8   = _mm_set1_epi16(0xff);
        const __m128i hq   = _mm_packus_epi16(_mm_and_si128(h16, m8), _mm_and_si128(h16b, m8));
        const __m256i last = _mm256_set_m128i(hq, _mm256_castsi256_si128(p));
        const __m256i q4   = _mm256_loadu_si256((const __m256i *) (q8 + 224));
        sum16              = _mm256_add_epi16(sum16, _mm256_maddubs_epi16(tq_top_digit(last), q4));

        const __m256 L = tq_block_lanes(sum16, yb);
        acc            = _mm256_add_ps(_mm256_mul_ps(L, _mm256_set1_ps(yb->d * TEVO_Q_H2F(xb->d))), acc);
    }
    *s = tevo_q_hsum(acc);
}

void tevo_vec_dot_tq2_0_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_tq2_0 * bx0 = (const block_tq2_0 *) x;
    const block_q8_K *  by0 = (const block_q8_K *) y;

    const __m256i m3  = _mm256_set1_epi8(3);
    __m256        acc = _mm256_setzero_ps();
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const block_tq2_0 * xb = &bx0[ib];
        const block_q8_K *  yb = &by0[ib];

        __m256i sum16 = _mm256_setzero_si256();
        for (int h = 0; h < 2; ++h) {
            const __m256i b = _mm256_loadu_si256((const __m256i *) (xb->qs + 32 * h));
            for (int nn = 0; nn < 4; ++nn) {
                const __m256i t  = _mm256_and_si256(_mm256_srli_epi16(b, 2 * nn), m3);
                const __m256i qy = _mm256_loadu_si256((const __m256i *) (yb->qs + 128 * h + 32 * nn));
                sum16            = _mm256_add_epi16(sum16, _mm256_maddubs_epi16(t, qy));
            }
        }
        const __m256 L = tq_block_lanes(sum16, yb);
        acc            = _mm256_add_ps(_mm256_mul_ps(L, _mm256_set1_ps(yb->d * TEVO_Q_H2F(xb->d))), acc);
    }
    *s = tevo_q_hsum(acc);
}

} // extern "C"
