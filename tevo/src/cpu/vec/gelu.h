#pragma once

// Element rules of the GELU family, shared by the unary dispatch and the
// gated linear units. Float GELU and quick GELU round their argument to half
// and read the engine's half tables, so no tanhf or expf is paid per element;
// the brain-float forms compute the formula itself.

#include "cpu/vec/tables.h"

#include <immintrin.h>
#include <math.h>

static const float TEVO_GELU_COEF_A     = 0.044715f;   // 0x3D372713
static const float TEVO_SQRT_2_OVER_PI  = 0.7978846f;  // 0x3F4C422A
static const float TEVO_GELU_QUICK_COEF = -1.702f;     // 0xBFD9DB23
static const float TEVO_SQRT_2_INV      = 0.70710677f; // 0x3F3504F3

// beyond these limits the table is not asked: GELU is 0 below and x above
static const float TEVO_GELU_LOWER = -10.0f;
static const float TEVO_GELU_UPPER = 10.0f;

static inline float tevo_gelu_table_f32(float x) {
    if (x <= TEVO_GELU_LOWER) {
        return 0.0f;
    }
    if (x >= TEVO_GELU_UPPER) {
        return x;
    }
    return tevo_table_f32_f16[tevo_table_gelu_f16[TEVO_FP32_TO_FP16(x)]];
}

static inline float tevo_gelu_quick_table_f32(float x) {
    return tevo_table_f32_f16[tevo_table_gelu_quick_f16[TEVO_FP32_TO_FP16(x)]];
}

// The formulas below tend to -0 as x falls, and every finite x far enough
// down already gives -0; at -infinity itself they would form 0 x -inf or
// -inf / inf, a NaN, so that one input takes the limit.

// the tanh form, computed
static inline float tevo_gelu_formula_f32(float x) {
    if (x == -INFINITY) {
        return -0.0f;
    }
    return (tanhf((x * TEVO_SQRT_2_OVER_PI) * fmaf(x, x * TEVO_GELU_COEF_A, 1.0f)) + 1.0f) * (x * 0.5f);
}

static inline float tevo_gelu_quick_formula_f32(float x) {
    if (x == -INFINITY) {
        return -0.0f;
    }
    return (1.0f / (expf(x * TEVO_GELU_QUICK_COEF) + 1.0f)) * x;
}

static inline float tevo_gelu_erf_f32(float x) {
    if (x == -INFINITY) {
        return -0.0f;
    }
    return (erff(x * TEVO_SQRT_2_INV) + 1.0f) * (x * 0.5f);
}

// x / d with d = e^(-a x) + 1: an infinite d at x = -inf means a > 0, where
// x times the sigmoid tends to -0
static inline float tevo_sigmoid_div_f32(float x, float d) {
    if (x == -INFINITY && d == INFINITY) {
        return -0.0f;
    }
    return x / d;
}

static inline float tevo_silu_formula_f32(float x) {
    return tevo_sigmoid_div_f32(x, expf(-x) + 1.0f);
}

// ---------------------------------------------------------------------------
// 8 lanes at a time

// The half pattern of each lane as the software conversion gives it: the
// processor's conversion rounds alike, but NaN lanes must become 0x7E00 with
// their sign. The largest index is thus 0xFE00, so a 4-byte gather at
// twice the index stays inside a 65536-entry half table.
static inline __m256i tevo_v_half_index(__m256 x) {
    const __m256i h    = _mm256_cvtepu16_epi32(_mm256_cvtps_ph(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    const __m256i nan  = _mm256_castps_si256(_mm256_cmp_ps(x, x, _CMP_UNORD_Q));
    const __m256i sign = _mm256_and_si256(_mm256_srli_epi32(_mm256_castps_si256(x), 16), _mm256_set1_epi32(0x8000));
    const __m256i qnan = _mm256_or_si256(sign, _mm256_set1_epi32(0x7E00));
    return _mm256_blendv_epi8(h, qnan, nan);
}

// the half entries table[idx] widened exactly to float
static inline __m256 tevo_v_half_table(const tevo_fp16_t * table, __m256i idx) {
    const __m256i g = _mm256_and_si256(_mm256_i32gather_epi32((const int *) table, idx, 2), _mm256_set1_epi32(0xFFFF));
    const __m256i p = _mm256_permute4x64_epi64(_mm256_packus_epi32(g, g), 0x08);
    return _mm256_cvtph_ps(_mm256_castsi256_si128(p));
}

static inline __m256 tevo_v_gelu_table(__m256 x) {
    const __m256 t  = tevo_v_half_table(tevo_table_gelu_f16, tevo_v_half_index(x));
    const __m256 lo = _mm256_cmp_ps(x, _mm256_set1_ps(TEVO_GELU_LOWER), _CMP_LE_OQ);
    const __m256 hi = _mm256_cmp_ps(x, _mm256_set1_ps(TEVO_GELU_UPPER), _CMP_GE_OQ);
    return _mm256_blendv_ps(_mm256_andnot_ps(lo, t), x, hi);
}

static inline __m256 tevo_v_gelu_quick_table(__m256 x) {
    return tevo_v_half_table(tevo_table_gelu_quick_f16, tevo_v_half_index(x));
}
