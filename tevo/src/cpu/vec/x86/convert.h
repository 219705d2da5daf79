#pragma once

// Eight elements at a time: the conversions of cpu/vec/convert.h on 8 lanes,
// giving the same bits as the one-element forms for every input, NaNs
// included.

#include "cpu/vec/convert.h"

#include <immintrin.h>

#include <stdint.h>

// eight elements widened to floats
static inline __m256 tevo_ew_load8(const float * x) {
    return _mm256_loadu_ps(x);
}

static inline __m256 tevo_ew_load8(const tevo_fp16_t * x) {
    const __m256i idx = _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *) x));
    return _mm256_i32gather_ps(tevo_table_f32_f16, idx, 4);
}

static inline __m256 tevo_ew_load8(const tevo_bf16_t * x) {
    const __m256i w = _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *) x));
    return _mm256_castsi256_ps(_mm256_slli_epi32(w, 16));
}

// eight 32-bit lanes holding values below 2^16, stored as eight 16-bit words
static inline void tevo_ew_store8_u16(uint16_t * y, __m256i v) {
    const __m128i lo = _mm256_castsi256_si128(v);
    const __m128i hi = _mm256_extracti128_si256(v, 1);
    _mm_storeu_si128((__m128i *) y, _mm_packus_epi32(lo, hi));
}

// unsigned a > b on 32-bit lanes
static inline __m256i tevo_ew_cmpgt_u32(__m256i a, __m256i b) {
    const __m256i flip = _mm256_set1_epi32((int) 0x80000000u);
    return _mm256_cmpgt_epi32(_mm256_xor_si256(a, flip), _mm256_xor_si256(b, flip));
}

// TEVO_FP32_TO_FP16 on eight lanes, step by step
static inline __m256i tevo_ew_f32_to_f16_bits(__m256 f) {
    const __m256 scale_to_inf  = _mm256_castsi256_ps(_mm256_set1_epi32(0x77800000)); // 2^112
    const __m256 scale_to_zero = _mm256_castsi256_ps(_mm256_set1_epi32(0x08800000)); // 2^-110
    const __m256 abs_f         = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), f);
    __m256       base          = _mm256_mul_ps(_mm256_mul_ps(abs_f, scale_to_inf), scale_to_zero);

    const __m256i w      = _mm256_castps_si256(f);
    const __m256i shl1_w = _mm256_add_epi32(w, w);
    const __m256i sign   = _mm256_and_si256(w, _mm256_set1_epi32((int) 0x80000000u));
    __m256i       bias   = _mm256_and_si256(shl1_w, _mm256_set1_epi32((int) 0xFF000000u));
    bias                 = _mm256_max_epu32(bias, _mm256_set1_epi32(0x71000000));

    base = _mm256_add_ps(
        _mm256_castsi256_ps(_mm256_add_epi32(_mm256_srli_epi32(bias, 1), _mm256_set1_epi32(0x07800000))), base);
    const __m256i bits     = _mm256_castps_si256(base);
    const __m256i exp_bits = _mm256_and_si256(_mm256_srli_epi32(bits, 13), _mm256_set1_epi32(0x00007C00));
    const __m256i mantissa = _mm256_and_si256(bits, _mm256_set1_epi32(0x00000FFF));
    const __m256i nonsign  = _mm256_add_epi32(exp_bits, mantissa);

    const __m256i is_nan = tevo_ew_cmpgt_u32(shl1_w, _mm256_set1_epi32((int) 0xFF000000u));
    const __m256i body   = _mm256_blendv_epi8(nonsign, _mm256_set1_epi32(0x7E00), is_nan);
    return _mm256_or_si256(_mm256_srli_epi32(sign, 16), body);
}

// TEVO_FP32_TO_BF16 on eight lanes
static inline __m256i tevo_ew_f32_to_bf16_bits(__m256 f) {
    const __m256i w       = _mm256_castps_si256(f);
    const __m256i is_nan  = _mm256_cmpgt_epi32(_mm256_and_si256(w, _mm256_set1_epi32(0x7FFFFFFF)),
                                               _mm256_set1_epi32(0x7F800000));
    const __m256i quieted = _mm256_or_si256(_mm256_srli_epi32(w, 16), _mm256_set1_epi32(0x40));
    const __m256i odd     = _mm256_and_si256(_mm256_srli_epi32(w, 16), _mm256_set1_epi32(1));
    const __m256i rounded =
        _mm256_srli_epi32(_mm256_add_epi32(w, _mm256_add_epi32(_mm256_set1_epi32(0x7FFF), odd)), 16);
    return _mm256_blendv_epi8(rounded, quieted, is_nan);
}

static inline void tevo_ew_store8(float * y, __m256 v) {
    _mm256_storeu_ps(y, v);
}

static inline void tevo_ew_store8(tevo_fp16_t * y, __m256 v) {
    tevo_ew_store8_u16(y, tevo_ew_f32_to_f16_bits(v));
}

static inline void tevo_ew_store8(tevo_bf16_t * y, __m256 v) {
    tevo_ew_store8_u16((uint16_t *) y, tevo_ew_f32_to_bf16_bits(v));
}
