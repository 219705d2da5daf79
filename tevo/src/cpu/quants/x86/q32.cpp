#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/x86/quants"

// AVX2 forms of the 32-element formats: the q8_0 and q8_1 activation
// quantizers and the q4_0, q4_1, q5_0, q5_1, q8_0 dot products.
//
// The activation quantizers round halves to even and take the inverse scale
// as 127 / amax, so a code can differ by one step from the reference
// quantizer; the scale is the same. The dot products form each block's
// integer sum in eight 32-bit lanes (lane k: elements 4k..4k+3), apply
// dx * dy with one fused multiply-add per lane and reduce once at the end.
// Codes with an offset (q4_0: w - 8, q5_0: w - 16) are multiplied unsigned
// and the offset times the activations subtracted from the pair sums: the
// same integers as the signed product, with fewer instructions per block.

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

} // extern "C"

// ---------------------------------------------------------------------------
// Dot products. Each format gives its block's eight 32-bit lane sums (lane k:
// elements 4k..4k+3) from the weight block and the prepared activation block;
// one template applies dx * dy and accumulates, for R weight rows against one
// activation row at once. Every row keeps its own accumulator and block
// order, so a row's result has the same bits whatever R is.

// an activation block as the lane sums need it: codes, and for the formats
// whose codes carry an offset the offset times the codes, as pair sums
struct q32_act {
    __m256i qy;
    __m256i off;
};

// The fifth bits as 0x10 bytes, in element order: byte i takes the qh byte
// holding bit i and keeps that bit alone, and a sign operation turns each
// nonzero byte into 0x10 (a byte holding bit 7 reads as negative, so the
// constant there is -0x10). One vector instruction fewer than comparing to a
// mask and masking again, on a kernel whose speed is its vector instruction
// count.
static inline __m256i q32_fifth_bits(const uint8_t * qh) {
    uint32_t x32;
    memcpy(&x32, qh, sizeof(x32));
    const __m256i shuf = _mm256_set_epi64x(0x0303030303030303, 0x0202020202020202, 0x0101010101010101, 0);
    const __m256i b    = _mm256_shuffle_epi8(_mm256_set1_epi32((int) x32), shuf);
    const __m256i bit  = _mm256_and_si256(b, _mm256_set1_epi64x((long long) 0x8040201008040201ull));
    return _mm256_sign_epi8(_mm256_set1_epi64x((long long) 0xf010101010101010ull), bit);
}

// the five-bit codes of q5_0 and q5_1, 0..31
template <typename B>
static inline __m256i q32_five_bit_codes(const B * x) {
    return _mm256_or_si256(tevo_q_bytes_from_nibbles(x->qs), q32_fifth_bits(x->qh));
}

// unsigned codes w times the activations, less offset * activations: the
// lanes of (w - offset) . y, exact since no 16-bit pair sum saturates
// (|w| <= 31, |y| <= 128)
static inline __m256i q32_lanes_offset(__m256i w, const q32_act & a) {
    return tevo_q_sum_i16_pairs(_mm256_sub_epi16(_mm256_maddubs_epi16(w, a.qy), a.off));
}

struct q32_q4_0 {
    typedef block_q4_0 xblock;
    typedef block_q8_0 yblock;
    static const int  offset  = 8;
    static const bool has_min = false;
    static inline __m256i lanes(const xblock * x, const q32_act & a) {
        return q32_lanes_offset(tevo_q_bytes_from_nibbles(x->qs), a);
    }
};

struct q32_q5_0 {
    typedef block_q5_0 xblock;
    typedef block_q8_0 yblock;
    static const int  offset  = 16;
    static const bool has_min = false;
    static inline __m256i lanes(const xblock * x, const q32_act & a) {
        return q32_lanes_offset(q32_five_bit_codes(x), a);
    }
};

struct q32_q4_1 {
    typedef block_q4_1 xblock;
    typedef block_q8_1 yblock;
    static const int  offset  = 0;
    static const bool has_min = true;
    static inline __m256i lanes(const xblock * x, const q32_act & a) {
        return tevo_q_mul_sum_u8_i8(tevo_q_bytes_from_nibbles(x->qs), a.qy);
    }
};

struct q32_q5_1 {
    typedef block_q5_1 xblock;
    typedef block_q8_1 yblock;
    static const int  offset  = 0;
    static const bool has_min = true;
    static inline __m256i lanes(const xblock * x, const q32_act & a) {
        return tevo_q_mul_sum_u8_i8(q32_five_bit_codes(x), a.qy);
    }
};

struct q32_q8_0 {
    typedef block_q8_0 xblock;
    typedef block_q8_0 yblock;
    static const int  offset  = 0;
    static const bool has_min = false;
    static inline __m256i lanes(const xblock * x, const q32_act & a) {
        return tevo_q_mul_sum_i8(_mm256_loadu_si256((const __m256i *) x->qs), a.qy);
    }
};

static inline float q32_min_term(const block_q8_0 *) { return 0.0f; }
static inline float q32_min_term(const block_q8_1 * y) { return TEVO_Q_H2F(y->s); }
static inline float q32_min_of(const void *) { return 0.0f; }
static inline float q32_min_of(const block_q4_1 * x) { return TEVO_Q_H2F(x->m); }
static inline float q32_min_of(const block_q5_1 * x) { return TEVO_Q_H2F(x->m); }

// s[r] = row x + r * bx (nb blocks) . row y, r < R. With four rows the
// minimum terms of q4_1 and q5_1 run in the lanes of one vector, each lane
// the fused chain of one row, and every block asks for the same block four
// rows on (the next pass; past the caller's rows too, which are its next
// ones, and a prefetch never faults). The hardware prefetchers alone leave
// a product from memory a fifth below its in-cache speed; one prefetch per
// block spreads the requests over the pass for any row length, where a
// burst at the start of each pass fills the line-fill buffers on long rows.
// One pass ahead rather than two: on rows of 384 values the formats with a
// minimum run 8% faster, and rows of 1536 the same.
template <typename K, int R>
static inline void q32_dot_rows(int nb, float * s, const char * x, size_t bx, const typename K::yblock * y) {
    typedef typename K::xblock xblock;
    const bool min4 = K::has_min && R == 4;
    __m256     acc[R];
    float      summs[R < 4 ? 4 : R];
    __m128     summs4 = _mm_setzero_ps();
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
        acc[r]   = _mm256_setzero_ps();
        summs[r] = 0.0f;
    }
    for (int ib = 0; ib < nb; ++ib) {
        q32_act a;
        a.qy            = _mm256_loadu_si256((const __m256i *) y[ib].qs);
        a.off           = K::offset != 0 ? _mm256_maddubs_epi16(_mm256_set1_epi8(K::offset), a.qy)
                                         : _mm256_setzero_si256();
        const __m256 dy = _mm256_broadcast_ss(&TEVO_Q_H2F(y[ib].d));
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r) {
            const xblock * xb = (const xblock *) (x + (size_t) r * bx) + ib;
            if (R == 4) {
                _mm_prefetch((const char *) xb + 4 * bx, _MM_HINT_T0);
            }
            // dx * dy is one float product, as the one-block-at-a-time form takes it
            const __m256 d = _mm256_mul_ps(_mm256_broadcast_ss(&TEVO_Q_H2F(xb->d)), dy);
            acc[r]         = _mm256_fmadd_ps(d, _mm256_cvtepi32_ps(K::lanes(xb, a)), acc[r]);
            if (K::has_min && !min4) {
                summs[r] = fmaf(q32_min_of(xb), q32_min_term(&y[ib]), summs[r]);
            }
        }
        if (min4) {
            const xblock * xb = (const xblock *) x + ib;
            const __m128   m  = _mm_setr_ps(q32_min_of(xb), q32_min_of((const xblock *) ((const char *) xb + bx)),
                                            q32_min_of((const xblock *) ((const char *) xb + 2 * bx)),
                                            q32_min_of((const xblock *) ((const char *) xb + 3 * bx)));
            summs4 = _mm_fmadd_ps(m, _mm_set1_ps(q32_min_term(&y[ib])), summs4);
        }
    }
    if (min4) {
        _mm_storeu_ps(summs, summs4);
    }
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
        s[r] = K::has_min ? tevo_q_hsum(acc[r]) + summs[r] : tevo_q_hsum(acc[r]);
    }
}

// R rows a pass: four accumulators in flight hide the fused multiply-add
// latency of one row, and four rows' loads in flight keep the weight stream
// from memory moving.
template <typename K>
static void q32_rows(int n, int nr, float * s, const void * vx, size_t bx, const void * vy) {
    const int                  nb = n / QK8_0;
    const char *               x  = (const char *) vx;
    const typename K::yblock * y  = (const typename K::yblock *) vy;
    int                        r  = 0;
    for (; r + 4 <= nr; r += 4) {
        q32_dot_rows<K, 4>(nb, s + r, x + (size_t) r * bx, bx, y);
    }
    switch (nr - r) {
        case 3: q32_dot_rows<K, 3>(nb, s + r, x + (size_t) r * bx, bx, y); break;
        case 2: q32_dot_rows<K, 2>(nb, s + r, x + (size_t) r * bx, bx, y); break;
        case 1: q32_dot_rows<K, 1>(nb, s + r, x + (size_t) r * bx, bx, y); break;
        default: break;
    }
}

extern "C" {

void tevo_vec_dot_q4_0_q8_0(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_0);
    q32_dot_rows<q32_q4_0, 1>(n / QK8_0, s, (const char *) x, 0, (const block_q8_0 *) y);
}

void tevo_vec_dot_q4_1_q8_1(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_1);
    q32_dot_rows<q32_q4_1, 1>(n / QK8_1, s, (const char *) x, 0, (const block_q8_1 *) y);
}

void tevo_vec_dot_q5_0_q8_0(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_0);
    q32_dot_rows<q32_q5_0, 1>(n / QK8_0, s, (const char *) x, 0, (const block_q8_0 *) y);
}

void tevo_vec_dot_q5_1_q8_1(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_1);
    q32_dot_rows<q32_q5_1, 1>(n / QK8_1, s, (const char *) x, 0, (const block_q8_1 *) y);
}

void tevo_vec_dot_q8_0_q8_0(TEVO_VEC_DOT_ARGS) {
    TEVO_VEC_DOT_UNUSED();
    TEVO_VEC_DOT_CHECK(n, QK8_0);
    q32_dot_rows<q32_q8_0, 1>(n / QK8_0, s, (const char *) x, 0, (const block_q8_0 *) y);
}

void tevo_vec_dot_q4_0_q8_0_rows(TEVO_VEC_DOT_ROWS_ARGS) {
    TEVO_VEC_DOT_CHECK(n, QK8_0);
    q32_rows<q32_q4_0>(n, nr, s, x, bx, y);
}

void tevo_vec_dot_q4_1_q8_1_rows(TEVO_VEC_DOT_ROWS_ARGS) {
    TEVO_VEC_DOT_CHECK(n, QK8_1);
    q32_rows<q32_q4_1>(n, nr, s, x, bx, y);
}

void tevo_vec_dot_q5_0_q8_0_rows(TEVO_VEC_DOT_ROWS_ARGS) {
    TEVO_VEC_DOT_CHECK(n, QK8_0);
    q32_rows<q32_q5_0>(n, nr, s, x, bx, y);
}

void tevo_vec_dot_q5_1_q8_1_rows(TEVO_VEC_DOT_ROWS_ARGS) {
    TEVO_VEC_DOT_CHECK(n, QK8_1);
    q32_rows<q32_q5_1>(n, nr, s, x, bx, y);
}

void tevo_vec_dot_q8_0_q8_0_rows(TEVO_VEC_DOT_ROWS_ARGS) {
    TEVO_VEC_DOT_CHECK(n, QK8_0);
    q32_rows<q32_q8_0>(n, nr, s, x, bx, y);
}

} // extern "C"
