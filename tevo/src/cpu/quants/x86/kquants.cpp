#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/x86/quants"

// AVX2 forms of the K-quant dot products, one block per iteration. Codes
// are unsigned bytes multiplied with the activation codes by the byte
// multiply-add (pairs into 16-bit lanes), then by the sub-block scales into
// 32-bit lanes: the same integer sum per sub-block as the portable forms,
// spread over the lanes differently. Signed codes are never formed: q3_K
// subtracts 4 * q8 where the high bit is clear, q6_K removes its offset of
// 32 once per block through the activation sums.

#include "cpu/quants/impl.h"
#include "cpu/quants/x86/simd.h"
#include "quants/kquants.h"

// sub-block scales a (lanes 0..7, bytes 0..15) and b (lanes 8..15)
static inline __m256i kq_scale_pair(int a, int b) {
    return _mm256_set_m128i(_mm_set1_epi16((short) b), _mm_set1_epi16((short) a));
}

// 32 codes of two 16-value sub-blocks times q8, scaled
static inline __m256i kq_scaled_pair(__m256i codes, const int8_t * q8, int sa, int sb) {
    const __m256i p = _mm256_maddubs_epi16(codes, _mm256_loadu_si256((const __m256i *) q8));
    return _mm256_madd_epi16(kq_scale_pair(sa, sb), p);
}

// 32 codes of one 32-value sub-block times q8, scaled
static inline __m256i kq_scaled_one(__m256i codes, const int8_t * q8, int sc) {
    const __m256i p = _mm256_maddubs_epi16(codes, _mm256_loadu_si256((const __m256i *) q8));
    return _mm256_madd_epi16(_mm256_set1_epi16((short) sc), p);
}

extern "C" {

void quantize_row_q8_K(const float * x, void * y, int64_t k) {
    quantize_row_q8_K_ref(x, y, k);
}

void tevo_vec_dot_q2_K_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_q2_K * bx0 = (const block_q2_K *) x;
    const block_q8_K * by0 = (const block_q8_K *) y;

    const __m256i m3  = _mm256_set1_epi8(3);
    __m256        acc = _mm256_setzero_ps();
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const block_q2_K * xb = &bx0[ib];
        const block_q8_K * yb = &by0[ib];

        const float   dall = yb->d * TEVO_Q_H2F(xb->d);
        const float   dmin = -yb->d * TEVO_Q_H2F(xb->dmin);
        const __m128i ms   = _mm_loadu_si128((const __m128i *) xb->scales);
        const __m256i mins = _mm256_cvtepu8_epi16(_mm_and_si128(_mm_srli_epi16(ms, 4), _mm_set1_epi8(0x0f)));
        const __m256i pm   = _mm256_madd_epi16(mins, _mm256_loadu_si256((const __m256i *) yb->bsums));
        acc                = _mm256_fmadd_ps(_mm256_cvtepi32_ps(pm), _mm256_set1_ps(dmin), acc);

        __m256i sumi = _mm256_setzero_si256();
        for (int h = 0; h < 2; ++h) {
            const __m256i bits = _mm256_loadu_si256((const __m256i *) (xb->qs + 32 * h));
            for (int sh = 0; sh < 4; ++sh) {
                const int     j  = 8 * h + 2 * sh;
                const __m256i q2 = _mm256_and_si256(_mm256_srli_epi16(bits, 2 * sh), m3);
                sumi             = _mm256_add_epi32(sumi, kq_scaled_pair(q2, yb->qs + 128 * h + 32 * sh,
                                                                         xb->scales[j] & 0x0f,
                                                                         xb->scales[j + 1] & 0x0f));
            }
        }
        acc = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), _mm256_set1_ps(dall), acc);
    }
    *s = tevo_q_hsum(acc);
}

void tevo_vec_dot_q3_K_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_q3_K * bx0 = (const block_q3_K *) x;
    const block_q8_K * by0 = (const block_q8_K *) y;

    const __m256i m3  = _mm256_set1_epi8(3);
    const __m256i zer = _mm256_setzero_si256();
    __m256        acc = _mm256_setzero_ps();
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const block_q3_K * xb = &bx0[ib];
        const block_q8_K * yb = &by0[ib];

        int sc[16];
        for (int j = 0; j < 16; ++j) {
            sc[j] = tevo_kq_q3_scale(xb->scales, j) - 32;
        }
        const __m256i hbits = _mm256_loadu_si256((const __m256i *) xb->hmask);

        __m256i sumi = _mm256_setzero_si256();
        for (int h = 0; h < 2; ++h) {
            const __m256i bits = _mm256_loadu_si256((const __m256i *) (xb->qs + 32 * h));
            for (int sh = 0; sh < 4; ++sh) {
                const int      j  = 8 * h + 2 * sh;
                const int8_t * q8 = yb->qs + 128 * h + 32 * sh;
                const __m256i  qy = _mm256_loadu_si256((const __m256i *) q8);
                const __m256i  q2 = _mm256_and_si256(_mm256_srli_epi16(bits, 2 * sh), m3);
                // 4 where the high bit (bit 4h + sh of hmask[l]) is clear
                const __m256i hb    = _mm256_and_si256(hbits, _mm256_set1_epi8((char) (1 << (4 * h + sh))));
                const __m256i four  = _mm256_and_si256(_mm256_cmpeq_epi8(hb, zer), _mm256_set1_epi8(4));
                const __m256i p     = _mm256_sub_epi16(_mm256_maddubs_epi16(q2, qy), _mm256_maddubs_epi16(four, qy));
                sumi = _mm256_add_epi32(sumi, _mm256_madd_epi16(kq_scale_pair(sc[j], sc[j + 1]), p));
            }
        }
        const float d = yb->d * TEVO_Q_H2F(xb->d);
        acc           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), _mm256_set1_ps(d), acc);
    }
    *s = tevo_q_hsum(acc);
}

void tevo_vec_dot_q4_K_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_q4_K * bx0 = (const block_q4_K *) x;
    const block_q8_K * by0 = (const block_q8_K *) y;

    const __m256i m4   = _mm256_set1_epi8(0x0f);
    __m256        acc  = _mm256_setzero_ps();
    __m128        accm = _mm_setzero_ps();
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const block_q4_K * xb = &bx0[ib];
        const block_q8_K * yb = &by0[ib];

        uint8_t sc[8], m[8];
        for (int j = 0; j < 8; ++j) {
            tevo_kq_unpack_scale_min(j, xb->scales, &sc[j], &m[j]);
        }
        // the minimums meet the sums of each 32-value sub-block
        const __m128i bs   = _mm_hadd_epi16(_mm_loadu_si128((const __m128i *) yb->bsums),
                                            _mm_loadu_si128((const __m128i *) (yb->bsums + 8)));
        const __m128i mins = _mm_cvtepu8_epi16(_mm_loadl_epi64((const __m128i *) m));
        const __m128i pm   = _mm_madd_epi16(mins, bs);
        accm = _mm_fmadd_ps(_mm_cvtepi32_ps(pm), _mm_set1_ps(-yb->d * TEVO_Q_H2F(xb->dmin)), accm);

        __m256i sumi = _mm256_setzero_si256();
        for (int g = 0; g < 4; ++g) {
            const __m256i bits = _mm256_loadu_si256((const __m256i *) (xb->qs + 32 * g));
            const __m256i lo   = _mm256_and_si256(bits, m4);
            const __m256i hi   = _mm256_and_si256(_mm256_srli_epi16(bits, 4), m4);
            sumi = _mm256_add_epi32(sumi, kq_scaled_one(lo, yb->qs + 64 * g, sc[2 * g]));
            sumi = _mm256_add_epi32(sumi, kq_scaled_one(hi, yb->qs + 64 * g + 32, sc[2 * g + 1]));
        }
        const float d = yb->d * TEVO_Q_H2F(xb->d);
        acc           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), _mm256_set1_ps(d), acc);
    }
    *s = tevo_q_hsum(acc) + tevo_q_hsum4(accm);
}

void tevo_vec_dot_q5_K_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_q5_K * bx0 = (const block_q5_K *) x;
    const block_q8_K * by0 = (const block_q8_K *) y;

    const __m256i m4    = _mm256_set1_epi8(0x0f);
    const __m256i one   = _mm256_set1_epi8(1);
    __m256        acc   = _mm256_setzero_ps();
    float         summs = 0.0f;
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const block_q5_K * xb = &bx0[ib];
        const block_q8_K * yb = &by0[ib];

        uint8_t sc[8], m[8];
        for (int j = 0; j < 8; ++j) {
            tevo_kq_unpack_scale_min(j, xb->scales, &sc[j], &m[j]);
        }
        const __m128i bs   = _mm_hadd_epi16(_mm_loadu_si128((const __m128i *) yb->bsums),
                                            _mm_loadu_si128((const __m128i *) (yb->bsums + 8)));
        const __m128i mins = _mm_cvtepu8_epi16(_mm_loadl_epi64((const __m128i *) m));
        const __m128i pm   = _mm_madd_epi16(mins, bs);
        const int     msum = _mm_cvtsi128_si32(_mm_hadd_epi32(_mm_hadd_epi32(pm, pm), _mm_hadd_epi32(pm, pm)));
        summs              = fmaf(-(float) msum, yb->d * TEVO_Q_H2F(xb->dmin), summs);

        const __m256i hbits = _mm256_loadu_si256((const __m256i *) xb->qh);
        __m256i       sumi  = _mm256_setzero_si256();
        for (int g = 0; g < 4; ++g) {
            const __m256i bits = _mm256_loadu_si256((const __m256i *) (xb->qs + 32 * g));
            // fifth bits: bit 2g of qh[l] for the low nibbles, 2g + 1 for the high
            const __m256i h0 = _mm256_slli_epi16(_mm256_and_si256(_mm256_srli_epi16(hbits, 2 * g), one), 4);
            const __m256i h1 = _mm256_slli_epi16(_mm256_and_si256(_mm256_srli_epi16(hbits, 2 * g + 1), one), 4);
            const __m256i lo = _mm256_or_si256(_mm256_and_si256(bits, m4), h0);
            const __m256i hi = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(bits, 4), m4), h1);
            sumi = _mm256_add_epi32(sumi, kq_scaled_one(lo, yb->qs + 64 * g, sc[2 * g]));
            sumi = _mm256_add_epi32(sumi, kq_scaled_one(hi, yb->qs + 64 * g + 32, sc[2 * g + 1]));
        }
        const float d = yb->d * TEVO_Q_H2F(xb->d);
        acc           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), _mm256_set1_ps(d), acc);
    }
    *s = tevo_q_hsum(acc) + summs;
}

void tevo_vec_dot_q6_K_q8_K(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK_K);
    const block_q6_K * bx0 = (const block_q6_K *) x;
    const block_q8_K * by0 = (const block_q8_K *) y;

    const __m256i m4  = _mm256_set1_epi8(0x0f);
    const __m256i m3  = _mm256_set1_epi8(3);
    __m256        acc = _mm256_setzero_ps();
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const block_q6_K * xb = &bx0[ib];
        const block_q8_K * yb = &by0[ib];

        // the offset of 32 once per block: 32 * sum of scale * activation sum
        const __m256i scales16 = _mm256_cvtepi8_epi16(_mm_loadu_si128((const __m128i *) xb->scales));
        const __m256i offset   = _mm256_slli_epi32(
            _mm256_madd_epi16(scales16, _mm256_loadu_si256((const __m256i *) yb->bsums)), 5);

        __m256i sumi = _mm256_setzero_si256();
        for (int h = 0; h < 2; ++h) {
            const __m256i ql0 = _mm256_loadu_si256((const __m256i *) (xb->ql + 64 * h));
            const __m256i ql1 = _mm256_loadu_si256((const __m256i *) (xb->ql + 64 * h + 32));
            const __m256i qh  = _mm256_loadu_si256((const __m256i *) (xb->qh + 32 * h));
            for (int sh = 0; sh < 4; ++sh) {
                const __m256i src = (sh & 1) ? ql1 : ql0;
                const __m256i lo  = sh < 2 ? _mm256_and_si256(src, m4)
                                           : _mm256_and_si256(_mm256_srli_epi16(src, 4), m4);
                const __m256i hi =
                    _mm256_slli_epi16(_mm256_and_si256(_mm256_srli_epi16(qh, 2 * sh), m3), 4);
                const int j = 8 * h + 2 * sh;
                sumi        = _mm256_add_epi32(sumi, kq_scaled_pair(_mm256_or_si256(lo, hi),
                                                                    yb->qs + 128 * h + 32 * sh, xb->scales[j],
                                                                    xb->scales[j + 1]));
            }
        }
        sumi          = _mm256_sub_epi32(sumi, offset);
        const float d = yb->d * TEVO_Q_H2F(xb->d);
        acc           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), _mm256_set1_ps(d), acc);
    }
    *s = tevo_q_hsum(acc);
}

} // extern "C"
