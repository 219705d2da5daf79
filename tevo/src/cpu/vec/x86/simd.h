#pragma once

// 8-lane helpers of the x86 row routines: the exponential behind softmax and
// the activations, and the horizontal sum whose order the dot products keep.

#include <immintrin.h>

// e^v on 8 lanes: v·log2(e) rounded to an integer n, a degree-5 polynomial
// for e^b - 1 on the remainder b = v - n·ln2, scaled by 2^n. Lanes with
// |n| > 126 build 2^n from two factors so that results that overflow become
// infinity and results that underflow go through the subnormals to 0.
static inline __m256 tevo_v_expf(__m256 v) {
    const __m256  r = _mm256_set1_ps(12582912.0f); // 1.5 * 2^23
    const __m256  z = _mm256_fmadd_ps(v, _mm256_set1_ps(1.44269502f), r);
    const __m256  n = _mm256_sub_ps(z, r);
    const __m256  b = _mm256_fnmadd_ps(n, _mm256_set1_ps(1.42860677e-6f),
                                       _mm256_fnmadd_ps(n, _mm256_set1_ps(0.693145752f), v));
    const __m256i k = _mm256_slli_epi32(_mm256_castps_si256(z), 23);
    const __m256  j = _mm256_castsi256_ps(_mm256_add_epi32(k, _mm256_set1_epi32(0x3F800000)));
    const __m256  u = _mm256_mul_ps(b, b);
    const __m256  w = _mm256_fmadd_ps(
        u,
        _mm256_fmadd_ps(_mm256_fmadd_ps(b, _mm256_set1_ps(0.00824739039f), _mm256_set1_ps(0.0418997668f)), u,
                        _mm256_fmadd_ps(b, _mm256_set1_ps(0.166683957f), _mm256_set1_ps(0.499991268f))),
        _mm256_mul_ps(b, _mm256_set1_ps(0.999999404f)));

    const __m256 abs_n = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), n);
    const __m256 big   = _mm256_cmp_ps(abs_n, _mm256_set1_ps(126.0f), _CMP_GT_OQ);
    if (!_mm256_movemask_ps(big)) {
        return _mm256_fmadd_ps(w, j, j);
    }

    const __m256i c = _mm256_and_si256(_mm256_castps_si256(_mm256_cmp_ps(n, _mm256_setzero_ps(), _CMP_LE_OQ)),
                                       _mm256_set1_epi32((int) 0x82000000u));
    const __m256  s1 = _mm256_castsi256_ps(_mm256_add_epi32(c, _mm256_set1_epi32(0x7F000000)));
    const __m256  s2 = _mm256_castsi256_ps(_mm256_sub_epi32(k, c));
    const __m256  huge = _mm256_cmp_ps(abs_n, _mm256_set1_ps(192.0f), _CMP_GT_OQ);

    const __m256 normal = _mm256_fmadd_ps(w, j, j);
    const __m256 scaled = _mm256_mul_ps(s1, _mm256_fmadd_ps(s2, w, s2));
    const __m256 out    = _mm256_blendv_ps(normal, scaled, big);
    return _mm256_blendv_ps(out, _mm256_mul_ps(s1, s1), huge);
}

// (lanes 0-3 + lanes 4-7), then (w0 + w1) + (w2 + w3)
static inline float tevo_v_hsum(__m256 v) {
    __m128 w = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    w        = _mm_hadd_ps(w, w);
    w        = _mm_hadd_ps(w, w);
    return _mm_cvtss_f32(w);
}
