#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// The rotations of cpu/vec/rope.h eight vectors at a time. Adjacent pairs
// rotate in place in the register: the cosines and sines are duplicated over
// their pair and addsub gives x0·c − x1·s in even lanes and x1·c + x0·s in
// odd ones, the same products and sums as the one-vector rule.

#include "cpu/vec/rope.h"
#include "cpu/vec/x86/convert.h"

#include <immintrin.h>

// 8 cosines and 8 sines out of 16 interleaved cache floats
static inline void tevo_rope_load_cs8(const float * cs, __m256 * c, __m256 * s) {
    const __m256 a = _mm256_loadu_ps(cs);     // c0 s0 c1 s1 | c2 s2 c3 s3
    const __m256 b = _mm256_loadu_ps(cs + 8); // c4 s4 c5 s5 | c6 s6 c7 s7
    // c0 c1 c4 c5 | c2 c3 c6 c7, then lanes 64-bit reordered 0 2 1 3
    *c = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0x88)), 0xD8));
    *s = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0xDD)), 0xD8));
}

// 4 adjacent pairs held in 8 lanes, with their 4 (cos, sin) pairs
static inline __m256 tevo_rope_pairs8(__m256 x, __m256 cs) {
    const __m256 c  = _mm256_moveldup_ps(cs);               // c0 c0 c1 c1 ...
    const __m256 s  = _mm256_movehdup_ps(cs);               // s0 s0 s1 s1 ...
    const __m256 xs = _mm256_permute_ps(x, 0xB1);           // x1 x0 x3 x2 ...
    return _mm256_addsub_ps(_mm256_mul_ps(x, c), _mm256_mul_ps(xs, s));
}

template <typename T>
static void tevo_rope_pairs(int64_t n, T * y, const T * x, const float * cs) {
    int64_t k = 0;
    for (; k + 4 <= n; k += 4) {
        tevo_ew_store8(y + 2 * k, tevo_rope_pairs8(tevo_ew_load8(x + 2 * k), _mm256_loadu_ps(cs + 2 * k)));
    }
    for (; k < n; ++k) {
        float y0, y1;
        tevo_rope_rotate(tevo_ew_to_f32(x[2 * k]), tevo_ew_to_f32(x[2 * k + 1]), cs[2 * k], cs[2 * k + 1], &y0, &y1);
        y[2 * k]     = tevo_ew_from_f32<T>(y0);
        y[2 * k + 1] = tevo_ew_from_f32<T>(y1);
    }
}

template <typename T>
static void tevo_rope_halves(int64_t n, T * y0, T * y1, const T * x0, const T * x1, const float * cs) {
    int64_t k = 0;
    for (; k + 8 <= n; k += 8) {
        __m256 c, s;
        tevo_rope_load_cs8(cs + 2 * k, &c, &s);
        const __m256 a = tevo_ew_load8(x0 + k);
        const __m256 b = tevo_ew_load8(x1 + k);
        const __m256 r0 = _mm256_sub_ps(_mm256_mul_ps(a, c), _mm256_mul_ps(b, s));
        const __m256 r1 = _mm256_add_ps(_mm256_mul_ps(a, s), _mm256_mul_ps(b, c));
        tevo_ew_store8(y0 + k, r0);
        tevo_ew_store8(y1 + k, r1);
    }
    for (; k < n; ++k) {
        float r0, r1;
        tevo_rope_rotate(tevo_ew_to_f32(x0[k]), tevo_ew_to_f32(x1[k]), cs[2 * k], cs[2 * k + 1], &r0, &r1);
        y0[k] = tevo_ew_from_f32<T>(r0);
        y1[k] = tevo_ew_from_f32<T>(r1);
    }
}

void tevo_vec_rope_pairs_f32(int64_t n, float * y, const float * x, const float * cs) {
    tevo_rope_pairs(n, y, x, cs);
}

void tevo_vec_rope_pairs_f16(int64_t n, tevo_fp16_t * y, const tevo_fp16_t * x, const float * cs) {
    tevo_rope_pairs(n, y, x, cs);
}

void tevo_vec_rope_halves_f32(int64_t n, float * y0, float * y1, const float * x0, const float * x1,
                              const float * cs) {
    tevo_rope_halves(n, y0, y1, x0, x1, cs);
}

void tevo_vec_rope_halves_f16(int64_t n, tevo_fp16_t * y0, tevo_fp16_t * y1, const tevo_fp16_t * x0,
                              const tevo_fp16_t * x1, const float * cs) {
    tevo_rope_halves(n, y0, y1, x0, x1, cs);
}
