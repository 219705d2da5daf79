#pragma once

// Row routines of the rotary embedding: n two-dimensional vectors rotated by
// a cache of (cos, sin) pairs, cs[2k] and cs[2k + 1] for vector k, already
// scaled by the magnitude and signed for the direction. A vector (x0, x1)
// becomes (x0·c − x1·s, x0·s + x1·c): two rounded products and one rounded
// sum each, in the vector body as in the tail, so results do not depend on
// where a row starts. Half rows are widened exactly and each result rounds
// once to half (NaN stored as 0x7E00). The x86 forms are in x86/rope.cpp.
//
// Destination and source may be the same row (each vector is read before it
// is written) or disjoint rows; other overlaps are not supported.

#include "cpu/vec/tables.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// adjacent pairs: vector k is (x[2k], x[2k + 1])
void tevo_vec_rope_pairs_f32(int64_t n, float * y, const float * x, const float * cs);
void tevo_vec_rope_pairs_f16(int64_t n, tevo_fp16_t * y, const tevo_fp16_t * x, const float * cs);

// split halves: vector k is (x0[k], x1[k]) and goes to (y0[k], y1[k])
void tevo_vec_rope_halves_f32(int64_t n, float * y0, float * y1, const float * x0, const float * x1,
                              const float * cs);
void tevo_vec_rope_halves_f16(int64_t n, tevo_fp16_t * y0, tevo_fp16_t * y1, const tevo_fp16_t * x0,
                              const tevo_fp16_t * x1, const float * cs);

#ifdef __cplusplus
}
#endif

// one vector, the rule every form follows
static inline void tevo_rope_rotate(float x0, float x1, float c, float s, float * y0, float * y1) {
    const float a = x0 * c;
    const float b = x1 * s;
    const float d = x0 * s;
    const float e = x1 * c;
    *y0           = a - b;
    *y1           = d + e;
}
