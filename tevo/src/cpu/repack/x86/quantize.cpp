#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/repack"

// AVX2 forms of the 4-row activation quantizers woven 8 bytes at a time,
// the ones every layout with interleave 8 uses.
//
// q8_0 follows the x86 row quantizer exactly (inverse scale 127 / amax,
// ties to even, a non-finite block gets an infinite scale and zero codes),
// so a row quantized alone for a GEMV call and the same row inside a record
// have the same bytes and scale. q8_K maps the value of largest magnitude to
// -127 by whether +amax occurs, which negates a row's codes, sums and scale
// relative to the row quantizer only when -amax comes first; no product
// changes.

#include "cpu/repack/repack.h"

#include <immintrin.h>
#include <math.h>
#include <string.h>

namespace {

// the largest magnitude of n floats (n a multiple of 8) as the bit pattern
// of its absolute value; a NaN or infinity shows as >= 0x7f800000
inline uint32_t amax_bits(const float * x, int n) {
    const __m256i abs = _mm256_set1_epi32(0x7fffffff);
    __m256i       m   = _mm256_setzero_si256();
    for (int i = 0; i < n; i += 8) {
        m = _mm256_max_epi32(m, _mm256_and_si256(_mm256_castps_si256(_mm256_loadu_ps(x + i)), abs));
    }
    __m128i w = _mm_max_epi32(_mm256_castsi256_si128(m), _mm256_extracti128_si256(m, 1));
    w         = _mm_max_epi32(w, _mm_unpackhi_epi64(w, w));
    w         = _mm_max_epi32(w, _mm_shuffle_epi32(w, 1));
    return (uint32_t) _mm_cvtsi128_si32(w);
}

inline float from_bits(uint32_t w) {
    float f;
    memcpy(&f, &w, sizeof(f));
    return f;
}

// 32 values times id, rounded to even and saturated, as bytes in value order
inline void codes32(const float * x, float id, int8_t * out) {
    const __m256  mul = _mm256_set1_ps(id);
    const __m256i i0  = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_loadu_ps(x + 0), mul));
    const __m256i i1  = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_loadu_ps(x + 8), mul));
    const __m256i i2  = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_loadu_ps(x + 16), mul));
    const __m256i i3  = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_loadu_ps(x + 24), mul));
    // the packs interleave 128-bit halves; one permutation restores the order
    __m256i b = _mm256_packs_epi16(_mm256_packs_epi32(i0, i1), _mm256_packs_epi32(i2, i3));
    b         = _mm256_permutevar8x32_epi32(b, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    _mm256_storeu_si256((__m256i *) out, b);
}

} // namespace

extern "C" {

void tevo_quantize_mat_q8_0_4x8(const float * x, void * vy, int64_t k) {
    const int64_t  nb = k / QK8_0;
    block_q8_0x4 * y  = (block_q8_0x4 *) vy;

    for (int64_t b = 0; b < nb; ++b) {
        for (int r = 0; r < 4; ++r) {
            const float *  xr   = x + r * k + b * QK8_0;
            const uint32_t bits = amax_bits(xr, QK8_0);
            int8_t         q[QK8_0];
            if (bits >= 0x7f800000u) {
                y[b].d[r] = (tevo_fp16_t) 0x7c00;
                memset(q, 0, sizeof(q));
            } else {
                const float amax = from_bits(bits);
                y[b].d[r]        = TEVO_FP32_TO_FP16(amax / 127.0f);
                codes32(xr, amax != 0.0f ? 127.0f / amax : 0.0f, q);
            }
            for (int c = 0; c < 4; ++c) {
                memcpy(&y[b].qs[32 * c + 8 * r], q + 8 * c, 8);
            }
        }
    }
}

void tevo_quantize_mat_q8_K_4x8(const float * x, void * vy, int64_t k) {
    const int64_t  nb = k / QK_K;
    block_q8_Kx4 * y  = (block_q8_Kx4 *) vy;

    for (int64_t b = 0; b < nb; ++b) {
        int8_t q[4][QK_K];
        for (int r = 0; r < 4; ++r) {
            const float *  xr   = x + r * k + b * QK_K;
            const uint32_t bits = amax_bits(xr, QK_K);
            if (bits >= 0x7f800000u || bits == 0) {
                // non-finite: infinite scale; all zero: zero scale; codes and sums 0
                y[b].d[r] = bits == 0 ? 0.0f : INFINITY;
                memset(q[r], 0, sizeof(q[r]));
                continue;
            }
            const float  amax = from_bits(bits);
            const __m256 pos  = _mm256_set1_ps(amax);
            int          has_pos = 0;
            for (int i = 0; i < QK_K; i += 8) {
                has_pos |= _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(xr + i), pos, _CMP_EQ_OQ));
            }
            const float iscale = has_pos ? -127.0f / amax : 127.0f / amax;
            y[b].d[r]          = 1.0f / iscale;
            for (int i = 0; i < QK_K; i += 32) {
                codes32(xr + i, iscale, q[r] + i);
            }
        }
        for (int c = 0; c < 4 * QK_K / 8; ++c) {
            memcpy(&y[b].qs[8 * c], &q[c % 4][8 * (c / 4)], 8);
        }
        for (int r = 0; r < 4; ++r) {
            for (int g = 0; g < QK_K / 16; ++g) {
                int sum = 0;
                for (int i = 0; i < 16; ++i) {
                    sum += q[r][16 * g + i];
                }
                y[b].bsums[(g / 4) * 16 + r * 4 + g % 4] = (int16_t) sum;
            }
        }
    }
}

} // extern "C"
