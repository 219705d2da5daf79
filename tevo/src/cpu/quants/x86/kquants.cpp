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

// eight 8-bit sub-block scales widened to 16 bits, in both halves
static inline __m256i kq_scales16_u8(__m128i s8) {
    return _mm256_broadcastsi128_si256(_mm_cvtepu8_epi16(s8));
}

static inline __m256i kq_scales16_i8(__m128i s8) {
    return _mm256_broadcastsi128_si256(_mm_cvtepi8_epi16(s8));
}

// scales j (lanes 0..7, bytes 0..15) and j + 1 (lanes 8..15) of the eight
// 16-bit scales in both halves of s16: one shuffle instead of two scalar
// broadcasts
static inline __m256i kq_scale_pair(__m256i s16, int j) {
    return _mm256_shuffle_epi8(s16, _mm256_set_m128i(_mm_set1_epi16((short) (0x0100 + 0x0202 * (j + 1))),
                                                     _mm_set1_epi16((short) (0x0100 + 0x0202 * j))));
}

// 32 codes of two 16-value sub-blocks times q8, scaled by the 16-bit lanes sc
static inline __m256i kq_scaled_pair(__m256i codes, const int8_t * q8, __m256i sc) {
    const __m256i p = _mm256_maddubs_epi16(codes, _mm256_loadu_si256((const __m256i *) q8));
    return _mm256_madd_epi16(sc, p);
}

// q3_K: the sixteen six-bit scales less 32 as signed bytes, unpacked a word
// at a time
static inline __m128i kq_q3_scales(const uint8_t * q) {
    uint64_t a;
    uint32_t b;
    memcpy(&a, q, sizeof(a));
    memcpy(&b, q + 8, sizeof(b));
    const uint64_t m4  = 0x0f0f0f0f0f0f0f0full;
    const uint32_t m2  = 0x03030303u;
    const uint64_t hi0 = (uint64_t) (b & m2) | ((uint64_t) ((b >> 2) & m2) << 32);
    const uint64_t hi1 = (uint64_t) ((b >> 4) & m2) | ((uint64_t) ((b >> 6) & m2) << 32);
    const uint64_t s0  = (a & m4) | (hi0 << 4);
    const uint64_t s1  = ((a >> 4) & m4) | (hi1 << 4);
    return _mm_sub_epi8(_mm_set_epi64x((long long) s1, (long long) s0), _mm_set1_epi8(32));
}

// q4_K and q5_K: the eight six-bit scales (bytes 0..7) and minimums (bytes
// 8..15) of a block, unpacked a word at a time
static inline __m128i kq_scales_mins(const uint8_t * q) {
    uint32_t u[3];
    memcpy(u, q, sizeof(u));
    const uint32_t m6 = 0x3f3f3f3f, m4 = 0x0f0f0f0f, m2 = 0x03030303;
    const uint32_t sc_lo = u[0] & m6;
    const uint32_t sc_hi = (u[2] & m4) | (((u[0] >> 6) & m2) << 4);
    const uint32_t mn_lo = u[1] & m6;
    const uint32_t mn_hi = ((u[2] >> 4) & m4) | (((u[1] >> 6) & m2) << 4);
    return _mm_setr_epi32((int) sc_lo, (int) sc_hi, (int) mn_lo, (int) mn_hi);
}

// sub-block scale j of the eight 16-bit scales in both halves of s16, in
// all sixteen 16-bit lanes: one shuffle instead of a scalar broadcast
static inline __m256i kq_scale_lanes(__m256i s16, int j) {
    return _mm256_shuffle_epi8(s16, _mm256_set1_epi16((short) (0x0100 + 0x0202 * j)));
}

// 32 codes of one 32-value sub-block times q8, scaled by the 16-bit lanes sc
static inline __m256i kq_scaled_lanes(__m256i codes, const int8_t * q8, __m256i sc) {
    const __m256i p = _mm256_maddubs_epi16(codes, _mm256_loadu_si256((const __m256i *) q8));
    return _mm256_madd_epi16(sc, p);
}

// bit b of each byte of bits moved to bit 4, the others cleared (b = 0..7):
// one 16-bit shift, whose spill into the neighbour byte the mask removes
static inline __m256i kq_bit_to_16(__m256i bits, int b) {
    const __m256i t = b < 4 ? _mm256_slli_epi16(bits, 4 - b) : _mm256_srli_epi16(bits, b - 4);
    return _mm256_and_si256(t, _mm256_set1_epi8(0x10));
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

        const __m128i sc8     = _mm_and_si128(ms, _mm_set1_epi8(0x0f));
        const __m256i sc16[2] = { kq_scales16_u8(sc8), kq_scales16_u8(_mm_unpackhi_epi64(sc8, sc8)) };
        __m256i       sumi    = _mm256_setzero_si256();
        for (int h = 0; h < 2; ++h) {
            const __m256i bits = _mm256_loadu_si256((const __m256i *) (xb->qs + 32 * h));
            for (int sh = 0; sh < 4; ++sh) {
                const __m256i q2 = _mm256_and_si256(_mm256_srli_epi16(bits, 2 * sh), m3);
                sumi             = _mm256_add_epi32(
                    sumi, kq_scaled_pair(q2, yb->qs + 128 * h + 32 * sh, kq_scale_pair(sc16[h], 2 * sh)));
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

        const __m128i sc8     = kq_q3_scales(xb->scales);
        const __m256i sc16[2] = { kq_scales16_i8(sc8), kq_scales16_i8(_mm_unpackhi_epi64(sc8, sc8)) };
        const __m256i hbits = _mm256_loadu_si256((const __m256i *) xb->hmask);

        __m256i sumi = _mm256_setzero_si256();
        for (int h = 0; h < 2; ++h) {
            const __m256i bits = _mm256_loadu_si256((const __m256i *) (xb->qs + 32 * h));
            for (int sh = 0; sh < 4; ++sh) {
                const int8_t * q8 = yb->qs + 128 * h + 32 * sh;
                const __m256i  qy = _mm256_loadu_si256((const __m256i *) q8);
                const __m256i  q2 = _mm256_and_si256(_mm256_srli_epi16(bits, 2 * sh), m3);
                // 4 where the high bit (bit 4h + sh of hmask[l]) is clear
                const __m256i hb    = _mm256_and_si256(hbits, _mm256_set1_epi8((char) (1 << (4 * h + sh))));
                const __m256i four  = _mm256_and_si256(_mm256_cmpeq_epi8(hb, zer), _mm256_set1_epi8(4));
                const __m256i p     = _mm256_sub_epi16(_mm256_maddubs_epi16(q2, qy), _mm256_maddubs_epi16(four, qy));
                sumi = _mm256_add_epi32(sumi, _mm256_madd_epi16(kq_scale_pair(sc16[h], 2 * sh), p));
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

        const __m128i scm = kq_scales_mins(xb->scales);
        // the minimums meet the sums of each 32-value sub-block
        const __m128i bs   = _mm_hadd_epi16(_mm_loadu_si128((const __m128i *) yb->bsums),
                                            _mm_loadu_si128((const __m128i *) (yb->bsums + 8)));
        const __m128i mins = _mm_cvtepu8_epi16(_mm_unpackhi_epi64(scm, scm));
        const __m128i pm   = _mm_madd_epi16(mins, bs);
        accm = _mm_fmadd_ps(_mm_cvtepi32_ps(pm), _mm_set1_ps(-yb->d * TEVO_Q_H2F(xb->dmin)), accm);

        const __m256i sc16 = _mm256_broadcastsi128_si256(_mm_cvtepu8_epi16(scm));
        __m256i       sumi = _mm256_setzero_si256();
        for (int g = 0; g < 4; ++g) {
            const __m256i bits = _mm256_loadu_si256((const __m256i *) (xb->qs + 32 * g));
            const __m256i lo   = _mm256_and_si256(bits, m4);
            const __m256i hi   = _mm256_and_si256(_mm256_srli_epi16(bits, 4), m4);
            sumi = _mm256_add_epi32(sumi, kq_scaled_lanes(lo, yb->qs + 64 * g, kq_scale_lanes(sc16, 2 * g)));
            sumi = _mm256_add_epi32(sumi, kq_scaled_lanes(hi, yb->qs + 64 * g + 32, kq_scale_lanes(sc16, 2 * g + 1)));
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
    __m256        acc   = _mm256_setzero_ps();
    float         summs = 0.0f;
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const block_q5_K * xb = &bx0[ib];
        const block_q8_K * yb = &by0[ib];

        const __m128i scm  = kq_scales_mins(xb->scales);
        const __m128i bs   = _mm_hadd_epi16(_mm_loadu_si128((const __m128i *) yb->bsums),
                                            _mm_loadu_si128((const __m128i *) (yb->bsums + 8)));
        const __m128i mins = _mm_cvtepu8_epi16(_mm_unpackhi_epi64(scm, scm));
        const __m128i pm   = _mm_madd_epi16(mins, bs);
        const int     msum = _mm_cvtsi128_si32(_mm_hadd_epi32(_mm_hadd_epi32(pm, pm), _mm_hadd_epi32(pm, pm)));
        summs              = fmaf(-(float) msum, yb->d * TEVO_Q_H2F(xb->dmin), summs);

        const __m256i sc16  = _mm256_broadcastsi128_si256(_mm_cvtepu8_epi16(scm));
        const __m256i hbits = _mm256_loadu_si256((const __m256i *) xb->qh);
        __m256i       sumi  = _mm256_setzero_si256();
        for (int g = 0; g < 4; ++g) {
            const __m256i bits = _mm256_loadu_si256((const __m256i *) (xb->qs + 32 * g));
            // fifth bits: bit 2g of qh[l] for the low nibbles, 2g + 1 for the high
            const __m256i lo = _mm256_or_si256(_mm256_and_si256(bits, m4), kq_bit_to_16(hbits, 2 * g));
            const __m256i hi =
                _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(bits, 4), m4), kq_bit_to_16(hbits, 2 * g + 1));
            sumi = _mm256_add_epi32(sumi, kq_scaled_lanes(lo, yb->qs + 64 * g, kq_scale_lanes(sc16, 2 * g)));
            sumi = _mm256_add_epi32(sumi, kq_scaled_lanes(hi, yb->qs + 64 * g + 32, kq_scale_lanes(sc16, 2 * g + 1)));
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
    __m256        acc = _mm256_setzero_ps();
    for (int ib = 0; ib < n / QK_K; ++ib) {
        const block_q6_K * xb = &bx0[ib];
        const block_q8_K * yb = &by0[ib];

        // the offset of 32 once per block: 32 * sum of scale * activation sum
        const __m256i scales16 = _mm256_cvtepi8_epi16(_mm_loadu_si128((const __m128i *) xb->scales));
        const __m256i offset   = _mm256_slli_epi32(
            _mm256_madd_epi16(scales16, _mm256_loadu_si256((const __m256i *) yb->bsums)), 5);

        const __m128i sc8     = _mm_loadu_si128((const __m128i *) xb->scales);
        const __m256i sc16[2] = { kq_scales16_i8(sc8), kq_scales16_i8(_mm_unpackhi_epi64(sc8, sc8)) };
        __m256i       sumi    = _mm256_setzero_si256();
        for (int h = 0; h < 2; ++h) {
            const __m256i ql0 = _mm256_loadu_si256((const __m256i *) (xb->ql + 64 * h));
            const __m256i ql1 = _mm256_loadu_si256((const __m256i *) (xb->ql + 64 * h + 32));
            const __m256i qh  = _mm256_loadu_si256((const __m256i *) (xb->qh + 32 * h));
            for (int sh = 0; sh < 4; ++sh) {
                const __m256i src = (sh & 1) ? ql1 : ql0;
                const __m256i lo  = sh < 2 ? _mm256_and_si256(src, m4)
                                           : _mm256_and_si256(_mm256_srli_epi16(src, 4), m4);
                // bits 2sh, 2sh + 1 of each byte to bits 4, 5: one 16-bit shift
                // whose spill into the neighbour byte the mask removes
                const __m256i hs = sh < 2 ? _mm256_slli_epi16(qh, 4 - 2 * sh)
                                          : (sh == 2 ? qh : _mm256_srli_epi16(qh, 2));
                const __m256i hi = _mm256_and_si256(hs, _mm256_set1_epi8(0x30));
                sumi = _mm256_add_epi32(sumi, kq_scaled_pair(_mm256_or_si256(lo, hi), yb->qs + 128 * h + 32 * sh,
                                                             kq_scale_pair(sc16[h], 2 * sh)));
            }
        }
        sumi          = _mm256_sub_epi32(sumi, offset);
        const float d = yb->d * TEVO_Q_H2F(xb->d);
        acc           = _mm256_fmadd_ps(_mm256_cvtepi32_ps(sumi), _mm256_set1_ps(d), acc);
    }
    *s = tevo_q_hsum(acc);
}

} // extern "C"
