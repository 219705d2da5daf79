#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/x86/quants"

// AVX2 forms of the 32-element formats: the q8_0 and q8_1 activation
// quantizers and the q4_0, q4_1, q5_0, q5_1, q8_0 dot products.
//
// The activation quantizers round halves to even and take the inverse scale
// as 127 / amax, so a code can differ by one step from the reference
// quantizer; the scale is the same. The dot products form each block's
// integer sum in eight 32-bit lanes (lane k: elements 4k..4k+3), apply
// dx * dy with one fused multiply-add per lane and reduce once at the end.

#include "cpu/quants/impl.h"
#include "cpu/quants/x86/simd.h"

// The largest magnitude of 32 floats as the bit pattern of its absolute
// value: for finite input the integer order of the patterns is the order of
// the magnitudes, and a NaN or an infinity shows as >= 0x7f800000.
static inline uint32_t q8_amax_bits(const __m256 * v) {
    const __m256i abs = _mm256_set1_epi32(0x7fffffff);
    const __m256i a0  = _mm256_and_si256(_mm256_castps_si256(v[0]), abs);
    const __m256i a1  = _mm256_and_si256(_mm256_castps_si256(v[1]), abs);
    const __m256i a2  = _mm256_and_si256(_mm256_castps_si256(v[2]), abs);
    const __m256i a3  = _mm256_and_si256(_mm256_castps_si256(v[3]), abs);
    const __m256i m   = _mm256_max_epi32(_mm256_max_epi32(a0, a1), _mm256_max_epi32(a2, a3));
    __m128i       w   = _mm_max_epi32(_mm256_castsi256_si128(m), _mm256_extracti128_si256(m, 1));
    w                 = _mm_max_epi32(w, _mm_unpackhi_epi64(w, w));
    w                 = _mm_max_epi32(w, _mm_shuffle_epi32(w, 1));
    return (uint32_t) _mm_cvtsi128_si32(w);
}

// 32 codes x * id rounded to even, saturated to bytes in element order;
// *sum receives the sum of the 32-bit codes
static inline void q8_codes(const __m256 * v, float id, int8_t * out, int * sum) {
    const __m256  mul = _mm256_set1_ps(id);
    const __m256i i0  = _mm256_cvtps_epi32(_mm256_mul_ps(v[0], mul));
    const __m256i i1  = _mm256_cvtps_epi32(_mm256_mul_ps(v[1], mul));
    const __m256i i2  = _mm256_cvtps_epi32(_mm256_mul_ps(v[2], mul));
    const __m256i i3  = _mm256_cvtps_epi32(_mm256_mul_ps(v[3], mul));
    if (sum != NULL) {
        *sum = tevo_q_hsum_i32(_mm256_add_epi32(_mm256_add_epi32(i0, i1), _mm256_add_epi32(i2, i3)));
    }
    // the packs interleave 128-bit halves; one permutation restores the order
    const __m256i p01 = _mm256_packs_epi32(i0, i1);
    const __m256i p23 = _mm256_packs_epi32(i2, i3);
    __m256i       b   = _mm256_packs_epi16(p01, p23);
    b                 = _mm256_permutevar8x32_epi32(b, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    _mm256_storeu_si256((__m256i *) out, b);
}

static inline void q8_load(const float * x, __m256 * v) {
    for (int k = 0; k < 4; ++k) {
        v[k] = _mm256_loadu_ps(x + 8 * k);
    }
}

extern "C" {

void quantize_row_q8_0(const float * x, void * vy, int64_t k) {
    TEVO_ASSERT_AS(k >= 0 && k % QK8_0 == 0, "k >= 0 && k % QK8_0 == 0");
    block_q8_0 *  y  = (block_q8_0 *) vy;
    const int64_t nb = k / QK8_0;

    for (int64_t i = 0; i < nb; ++i, x += QK8_0) {
        __m256 v[4];
        q8_load(x, v);
        const uint32_t amax_bits = q8_amax_bits(v);
        if (amax_bits >= 0x7f800000u) {
            // a non-finite block: infinite scale, zero codes
            y[i].d = (tevo_fp16_t) 0x7c00;
            memset(y[i].qs, 0, sizeof(y[i].qs));
            continue;
        }
        const float amax = tevo_fp32_from_bits(amax_bits);
        const float d    = amax / 127.0f;
        const float id   = amax != 0.0f ? 127.0f / amax : 0.0f;
        y[i].d           = TEVO_FP32_TO_FP16(d);
        q8_codes(v, id, y[i].qs, NULL);
    }
}

void quantize_row_q8_1(const float * x, void * vy, int64_t k) {
    TEVO_ASSERT_AS(k >= 0 && k % QK8_1 == 0, "k >= 0 && k % QK8_1 == 0");
    block_q8_1 *  y  = (block_q8_1 *) vy;
    const int64_t nb = k / QK8_1;

    for (int64_t i = 0; i < nb; ++i, x += QK8_1) {
        __m256 v[4];
        q8_load(x, v);
        const uint32_t amax_bits = q8_amax_bits(v);
        if (amax_bits >= 0x7f800000u) {
            y[i].d = (tevo_fp16_t) 0x7c00;
            y[i].s = (tevo_fp16_t) 0x7c00;
            memset(y[i].qs, 0, sizeof(y[i].qs));
            continue;
        }
        const float amax = tevo_fp32_from_bits(amax_bits);
        const float d    = amax / 127.0f;
        const float id   = amax != 0.0f ? 127.0f / amax : 0.0f;
        int         sum  = 0;
        q8_codes(v, id, y[i].qs, &sum);
        y[i].d = TEVO_FP32_TO_FP16(d);
        y[i].s = TEVO_FP32_TO_FP16(d * (float) sum);
    }
}

void tevo_vec_dot_q4_0_q8_0(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_0);
    const block_q4_0 * bx0 = (const block_q4_0 *) x;
    const block_q8_0 * by0 = (const block_q8_0 *) y;

    __m256 acc = _mm256_setzero_ps();
    for (int ib = 0; ib < n / QK8_0; ++ib) {
        const __m256  d  = _mm256_set1_ps(TEVO_Q_H2F(bx0[ib].d) * TEVO_Q_H2F(by0[ib].d));
        const __m256i qx = _mm256_sub_epi8(tevo_q_bytes_from_nibbles(bx0[ib].qs), _mm256_set1_epi8(8));
        const __m256i qy = _mm256_loadu_si256((const __m256i *) by0[ib].qs);
        acc              = _mm256_fmadd_ps(d, _mm256_cvtepi32_ps(tevo_q_mul_sum_i8(qx, qy)), acc);
    }
    *s = tevo_q_hsum(acc);
}

void tevo_vec_dot_q4_1_q8_1(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_1);
    const block_q4_1 * bx0 = (const block_q4_1 *) x;
    const block_q8_1 * by0 = (const block_q8_1 *) y;

    __m256 acc   = _mm256_setzero_ps();
    float  summs = 0.0f;
    for (int ib = 0; ib < n / QK8_1; ++ib) {
        summs            = fmaf(TEVO_Q_H2F(bx0[ib].m), TEVO_Q_H2F(by0[ib].s), summs);
        const __m256  d  = _mm256_set1_ps(TEVO_Q_H2F(bx0[ib].d) * TEVO_Q_H2F(by0[ib].d));
        const __m256i qx = tevo_q_bytes_from_nibbles(bx0[ib].qs);
        const __m256i qy = _mm256_loadu_si256((const __m256i *) by0[ib].qs);
        acc              = _mm256_fmadd_ps(d, _mm256_cvtepi32_ps(tevo_q_mul_sum_u8_i8(qx, qy)), acc);
    }
    *s = tevo_q_hsum(acc) + summs;
}

void tevo_vec_dot_q5_0_q8_0(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_0);
    const block_q5_0 * bx0 = (const block_q5_0 *) x;
    const block_q8_0 * by0 = (const block_q8_0 *) y;

    __m256 acc = _mm256_setzero_ps();
    for (int ib = 0; ib < n / QK8_0; ++ib) {
        const __m256 d = _mm256_set1_ps(TEVO_Q_H2F(bx0[ib].d) * TEVO_Q_H2F(by0[ib].d));
        // a clear fifth bit makes the byte nibble - 16: OR 0xf0
        const __m256i hi = _mm256_andnot_si256(tevo_q_bytes_from_bits(bx0[ib].qh), _mm256_set1_epi8((char) 0xf0));
        const __m256i qx = _mm256_or_si256(tevo_q_bytes_from_nibbles(bx0[ib].qs), hi);
        const __m256i qy = _mm256_loadu_si256((const __m256i *) by0[ib].qs);
        acc              = _mm256_fmadd_ps(d, _mm256_cvtepi32_ps(tevo_q_mul_sum_i8(qx, qy)), acc);
    }
    *s = tevo_q_hsum(acc);
}

void tevo_vec_dot_q5_1_q8_1(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_1);
    const block_q5_1 * bx0 = (const block_q5_1 *) x;
    const block_q8_1 * by0 = (const block_q8_1 *) y;

    __m256 acc   = _mm256_setzero_ps();
    float  summs = 0.0f;
    for (int ib = 0; ib < n / QK8_1; ++ib) {
        summs            = fmaf(TEVO_Q_H2F(bx0[ib].m), TEVO_Q_H2F(by0[ib].s), summs);
        const __m256  d  = _mm256_set1_ps(TEVO_Q_H2F(bx0[ib].d) * TEVO_Q_H2F(by0[ib].d));
        const __m256i hi = _mm256_and_si256(tevo_q_bytes_from_bits(bx0[ib].qh), _mm256_set1_epi8(0x10));
        const __m256i qx = _mm256_or_si256(tevo_q_bytes_from_nibbles(bx0[ib].qs), hi);
        const __m256i qy = _mm256_loadu_si256((const __m256i *) by0[ib].qs);
        acc              = _mm256_fmadd_ps(d, _mm256_cvtepi32_ps(tevo_q_mul_sum_u8_i8(qx, qy)), acc);
    }
    *s = tevo_q_hsum(acc) + summs;
}

void tevo_vec_dot_q8_0_q8_0(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_0);
    const block_q8_0 * bx0 = (const block_q8_0 *) x;
    const block_q8_0 * by0 = (const block_q8_0 *) y;

    __m256 acc = _mm256_setzero_ps();
    for (int ib = 0; ib < n / QK8_0; ++ib) {
        const __m256  d  = _mm256_set1_ps(TEVO_Q_H2F(bx0[ib].d) * TEVO_Q_H2F(by0[ib].d));
        const __m256i qx = _mm256_loadu_si256((const __m256i *) bx0[ib].qs);
        const __m256i qy = _mm256_loadu_si256((const __m256i *) by0[ib].qs);
        acc              = _mm256_fmadd_ps(d, _mm256_cvtepi32_ps(tevo_q_mul_sum_i8(qx, qy)), acc);
    }
    *s = tevo_q_hsum(acc);
}

} // extern "C"
