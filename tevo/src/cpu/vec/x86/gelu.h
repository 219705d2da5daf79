#pragma once

// The GELU table reads of cpu/vec/gelu.h on 8 lanes, the same bits as the
// one-element forms.

#include "cpu/vec/gelu.h"

#include <immintrin.h>

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
