#pragma once

// Element conversions of the element-wise kernels, one element at a time and
// eight at a time. Both forms give the same bits for every input, NaNs
// included, so a kernel may mix a vector body with a scalar tail:
// - half to float reads the engine's exact table (the processor's widening
//   instruction would quiet signalling NaNs);
// - float to half is the tensor core's integer-and-float rounding (the
//   processor's narrowing instruction keeps NaN payloads; ours stores 0x7E00);
// - brain float is a 16-bit shift one way and round-to-nearest-even on the
//   bit pattern the other way.

#include "cpu/ops/kernel.h"

#include <immintrin.h>

#include <stdint.h>

// prefix0 .. prefix3 = tensor->field[0 .. 3], as the kernels' texts name
// them (ne00, nb01, ne1, ...)
#define TEVO_EW_LOCALS(type, prefix, tensor, field)              \
    [[maybe_unused]] const type prefix##0 = (tensor)->field[0]; \
    [[maybe_unused]] const type prefix##1 = (tensor)->field[1]; \
    [[maybe_unused]] const type prefix##2 = (tensor)->field[2]; \
    [[maybe_unused]] const type prefix##3 = (tensor)->field[3]

static inline float tevo_ew_to_f32(float x) {
    return x;
}

static inline float tevo_ew_to_f32(tevo_fp16_t x) {
    return tevo_table_f32_f16[x];
}

static inline float tevo_ew_to_f32(tevo_bf16_t x) {
    return TEVO_BF16_TO_FP32(x);
}

template <typename T> static inline T tevo_ew_from_f32(float x);

template <> inline float tevo_ew_from_f32<float>(float x) {
    return x;
}

template <> inline tevo_fp16_t tevo_ew_from_f32<tevo_fp16_t>(float x) {
    return TEVO_FP32_TO_FP16(x);
}

template <> inline tevo_bf16_t tevo_ew_from_f32<tevo_bf16_t>(float x) {
    return TEVO_FP32_TO_BF16(x);
}

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

// Whether a loop that loads eight source elements before storing eight
// destination elements gives what the one-element loop gives: the byte
// ranges are disjoint, or both step by the same size and the destination
// does not start above the source (every write then lands on elements
// already read).
static inline bool tevo_ew_vector_safe(const void * dst, size_t dst_elem, const void * src, size_t src_elem,
                                       int64_t n) {
    const uintptr_t d0 = (uintptr_t) dst;
    const uintptr_t s0 = (uintptr_t) src;
    const uintptr_t d1 = d0 + (uintptr_t) n * dst_elem;
    const uintptr_t s1 = s0 + (uintptr_t) n * src_elem;
    if (d1 <= s0 || s1 <= d0) {
        return true;
    }
    return dst_elem == src_elem && d0 <= s0;
}

// whether [p, p + p_bytes) and [q, q + q_bytes) share no byte
static inline bool tevo_ew_disjoint(const void * p, size_t p_bytes, const void * q, size_t q_bytes) {
    const uintptr_t p0 = (uintptr_t) p;
    const uintptr_t q0 = (uintptr_t) q;
    return p0 + p_bytes <= q0 || q0 + q_bytes <= p0;
}
