#pragma once

// 256-bit helpers of the x86 quantized kernels: unpacking codes into bytes,
// byte products summed into 32-bit lanes, and the horizontal sum whose
// order the kernels keep.

#include <immintrin.h>
#include <stdint.h>
#include <string.h>

// lanes (k + k+4), then (0 + 2) and (1 + 3), then the two
static inline float tevo_q_hsum(__m256 v) {
    __m128 w = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    w        = _mm_add_ps(w, _mm_movehl_ps(w, w));
    return _mm_cvtss_f32(_mm_add_ss(w, _mm_movehdup_ps(w)));
}

// four lanes: (0 + 2) + (1 + 3)
static inline float tevo_q_hsum4(__m128 w) {
    w = _mm_add_ps(w, _mm_movehl_ps(w, w));
    return _mm_cvtss_f32(_mm_add_ss(w, _mm_movehdup_ps(w)));
}

static inline int32_t tevo_q_hsum_i32(__m256i v) {
    __m128i w = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    w         = _mm_add_epi32(w, _mm_unpackhi_epi64(w, w));
    w         = _mm_add_epi32(w, _mm_shuffle_epi32(w, 1));
    return _mm_cvtsi128_si32(w);
}

// 16 bytes of nibbles: low nibbles into bytes 0..15, high nibbles 16..31.
// One broadcast load and a per-half shift keep the unpacking off the shuffle
// port.
static inline __m256i tevo_q_bytes_from_nibbles(const uint8_t * qs) {
    const __m256i b = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i *) qs));
    return _mm256_and_si256(_mm256_srlv_epi64(b, _mm256_set_epi64x(4, 4, 0, 0)), _mm256_set1_epi8(0x0f));
}

// 32 bits into 32 bytes: 0xff where bit i is set, 0 where clear
static inline __m256i tevo_q_bytes_from_bits(const uint8_t * p) {
    uint32_t x32;
    memcpy(&x32, p, sizeof(x32));
    const __m256i shuf = _mm256_set_epi64x(0x0303030303030303, 0x0202020202020202, 0x0101010101010101, 0);
    __m256i       b    = _mm256_shuffle_epi8(_mm256_set1_epi32((int) x32), shuf);
    b                  = _mm256_or_si256(b, _mm256_set1_epi64x(0x7fbfdfeff7fbfdfe));
    return _mm256_cmpeq_epi8(b, _mm256_set1_epi64x(-1));
}

// adjacent 16-bit lanes summed into eight 32-bit lanes
static inline __m256i tevo_q_sum_i16_pairs(__m256i x) {
    return _mm256_madd_epi16(_mm256_set1_epi16(1), x);
}

// unsigned x times signed y: lane k = x[4k..4k+3] . y[4k..4k+3]
static inline __m256i tevo_q_mul_sum_u8_i8(__m256i ux, __m256i sy) {
    return tevo_q_sum_i16_pairs(_mm256_maddubs_epi16(ux, sy));
}

// signed x times signed y, the sign of x moved onto y
static inline __m256i tevo_q_mul_sum_i8(__m256i x, __m256i y) {
    return tevo_q_mul_sum_u8_i8(_mm256_sign_epi8(x, x), _mm256_sign_epi8(y, x));
}
