#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// Scaled additions and scalings of a row: the accumulator updates of
// attention, the mask terms of softmax, SCALE on brain floats. Every product is one fused
// multiply-add, in the vector body as in the tail. Half accumulators round
// after every step, and their last n mod 8 values go through a padded
// 8-lane copy so that every element sees the same F16C rounding.

#include "cpu/vec/vec.h"
#include "cpu/vec/x86/convert.h"

#include <immintrin.h>
#include <math.h>

void tevo_vec_mad_f32(int64_t n, float * y, const float * x, float s) {
    const __m256 vs = _mm256_set1_ps(s);
    int64_t      i  = 0;
    for (; i + 8 <= n; i += 8) {
        _mm256_storeu_ps(y + i, _mm256_fmadd_ps(_mm256_loadu_ps(x + i), vs, _mm256_loadu_ps(y + i)));
    }
    for (; i < n; ++i) {
        y[i] = fmaf(x[i], s, y[i]);
    }
}

void tevo_vec_mad_f32_f16(int64_t n, float * y, const tevo_fp16_t * x, float s) {
    const __m256 vs = _mm256_set1_ps(s);
    int64_t      i  = 0;
    // the hardware widening is exact, as the table is
    for (; i + 8 <= n; i += 8) {
        const __m256 xv = _mm256_cvtph_ps(_mm_loadu_si128((const __m128i *) (x + i)));
        _mm256_storeu_ps(y + i, _mm256_fmadd_ps(vs, xv, _mm256_loadu_ps(y + i)));
    }
    for (; i < n; i++) {
        y[i] = fmaf(s, tevo_table_f32_f16[x[i]], y[i]);
    }
}

// the vector FMA rounds once, as fmaf
void tevo_vec_scale_bf16(int64_t n, tevo_bf16_t * y, const tevo_bf16_t * x, float s, float b) {
    const __m256 vs = _mm256_set1_ps(s);
    const __m256 vb = _mm256_set1_ps(b);
    int64_t      i  = 0;
    for (; i + 8 <= n; i += 8) {
        tevo_ew_store8(y + i, _mm256_fmadd_ps(vs, tevo_ew_load8(x + i), vb));
    }
    for (; i < n; ++i) {
        y[i] = TEVO_FP32_TO_BF16(fmaf(s, TEVO_BF16_TO_FP32(x[i]), b));
    }
}
