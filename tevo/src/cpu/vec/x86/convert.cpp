#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// Row conversions 8 lanes at a time, bit for bit the element rules of
// cpu/vec/convert.h: F16C where its rounding agrees with ours (NaN lanes are
// redone one element at a time), integer bit operations for brain floats.

#include "cpu/vec/x86/convert.h"

#include "tevo-cpu.h"

#include <climits>

// Truncation toward zero, defined for every input: NaN gives 0 and values
// beyond the 32-bit range saturate at its limits.
void tevo_cpu_fp32_to_i32(const float * x, int32_t * y, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v    = _mm256_loadu_ps(x + i);
        __m256i      r    = _mm256_cvttps_epi32(v); // INT32_MIN when out of range
        const __m256 over = _mm256_cmp_ps(v, _mm256_set1_ps(2147483648.0f), _CMP_GE_OQ);
        const __m256 nan  = _mm256_cmp_ps(v, v, _CMP_UNORD_Q);
        r = _mm256_blendv_epi8(r, _mm256_set1_epi32(INT32_MAX), _mm256_castps_si256(over));
        r = _mm256_andnot_si256(_mm256_castps_si256(nan), r);
        _mm256_storeu_si256((__m256i *) (y + i), r);
    }
    for (; i < n; ++i) {
        const float v = x[i];
        y[i] = v != v ? 0 : v >= 2147483648.0f ? INT32_MAX : v < -2147483648.0f ? INT32_MIN : (int32_t) v;
    }
}

void tevo_cpu_bf16_to_fp32(const tevo_bf16_t * x, float * y, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm256_storeu_ps(y + i, tevo_ew_load8(x + i));
    }
    for (; i < n; ++i) {
        y[i] = TEVO_BF16_TO_FP32(x[i]);
    }
}

// F16C quiets NaN payloads instead of storing 0x7e00: such lanes are redone
void tevo_vec_cvt_f32_f16(const float * x, tevo_fp16_t * y, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_loadu_ps(x + i);
        _mm_storeu_si128((__m128i *) (y + i), _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
        if (__builtin_expect(_mm256_movemask_ps(_mm256_cmp_ps(v, v, _CMP_UNORD_Q)) != 0, 0)) {
            for (int j = 0; j < 8; ++j) {
                y[i + j] = TEVO_FP32_TO_FP16(x[i + j]);
            }
        }
    }
    for (; i < n; ++i) {
        y[i] = TEVO_FP32_TO_FP16(x[i]);
    }
}

// F16C sets the quiet bit of NaNs; the table keeps the pattern
void tevo_vec_cvt_f16_f32(const tevo_fp16_t * x, float * y, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) (x + i)));
        _mm256_storeu_ps(y + i, v);
        if (__builtin_expect(_mm256_movemask_ps(_mm256_cmp_ps(v, v, _CMP_UNORD_Q)) != 0, 0)) {
            for (int j = 0; j < 8; ++j) {
                y[i + j] = tevo_table_f32_f16[x[i + j]];
            }
        }
    }
    for (; i < n; ++i) {
        y[i] = tevo_table_f32_f16[x[i]];
    }
}

void tevo_vec_cvt_f32_bf16(const float * x, tevo_bf16_t * y, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        tevo_ew_store8(y + i, _mm256_loadu_ps(x + i));
    }
    for (; i < n; ++i) {
        y[i] = TEVO_FP32_TO_BF16(x[i]);
    }
}

void tevo_vec_cvt_f16_bf16(const tevo_fp16_t * x, tevo_bf16_t * y, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) (x + i)));
        tevo_ew_store8(y + i, v);
        if (__builtin_expect(_mm256_movemask_ps(_mm256_cmp_ps(v, v, _CMP_UNORD_Q)) != 0, 0)) {
            for (int j = 0; j < 8; ++j) {
                y[i + j] = TEVO_FP32_TO_BF16(tevo_table_f32_f16[x[i + j]]);
            }
        }
    }
    for (; i < n; ++i) {
        y[i] = TEVO_FP32_TO_BF16(tevo_table_f32_f16[x[i]]);
    }
}

void tevo_vec_cvt_bf16_f16(const tevo_bf16_t * x, tevo_fp16_t * y, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = tevo_ew_load8(x + i);
        _mm_storeu_si128((__m128i *) (y + i), _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
        if (__builtin_expect(_mm256_movemask_ps(_mm256_cmp_ps(v, v, _CMP_UNORD_Q)) != 0, 0)) {
            for (int j = 0; j < 8; ++j) {
                y[i + j] = TEVO_FP32_TO_FP16(TEVO_BF16_TO_FP32(x[i + j]));
            }
        }
    }
    for (; i < n; ++i) {
        y[i] = TEVO_FP32_TO_FP16(TEVO_BF16_TO_FP32(x[i]));
    }
}

void tevo_vec_cvt_i32_f32(const int32_t * x, float * y, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm256_storeu_ps(y + i, _mm256_cvtepi32_ps(_mm256_loadu_si256((const __m256i *) (x + i))));
    }
    for (; i < n; ++i) {
        y[i] = (float) x[i];
    }
}
