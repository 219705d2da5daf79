#pragma once

// The steps of the K-quant quantizers after the sub-block searches, shared
// by the reference quantizers and the importance-weighted ones: packing of
// the sub-block scales, the final codes against the stored half scales and
// the packing of the codes.

#include "quants/blocks.h"

// q4_K and q5_K: the six-bit scale and minimum of sub-block j (0..7)
static inline void tevo_kq_unpack_scale_min(int j, const uint8_t * q, uint8_t * sc, uint8_t * m) {
    if (j < 4) {
        *sc = q[j] & 63;
        *m  = q[j + 4] & 63;
    } else {
        *sc = (uint8_t) ((q[j + 4] & 0x0f) | ((q[j - 4] >> 6) << 4));
        *m  = (uint8_t) ((q[j + 4] >> 4) | ((q[j] >> 6) << 4));
    }
}

// the inverse, for j = 0..7 in order (later sub-blocks OR into bytes the
// earlier ones wrote)
static inline void tevo_kq_pack_scale_min(int j, uint8_t ls, uint8_t lm, uint8_t * q) {
    if (j < 4) {
        q[j]     = ls;
        q[j + 4] = lm;
    } else {
        q[j + 4] = (uint8_t) ((ls & 0x0f) | ((lm & 0x0f) << 4));
        q[j - 4] |= (uint8_t) ((ls >> 4) << 6);
        q[j] |= (uint8_t) ((lm >> 4) << 6);
    }
}

// q3_K: the stored six-bit value s_j (0..63) of sub-block j
static inline int tevo_kq_q3_scale(const uint8_t * scales, int j) {
    const int lo = j < 8 ? (scales[j] & 0x0f) : (scales[j - 8] >> 4);
    const int hi = (scales[8 + j % 4] >> (2 * (j / 4))) & 3;
    return lo | (hi << 4);
}

static inline void tevo_kq_q3_set_scale(uint8_t * scales, int j, int s) {
    if (j < 8) {
        scales[j] |= (uint8_t) (s & 0x0f);
    } else {
        scales[j - 8] |= (uint8_t) ((s & 0x0f) << 4);
    }
    scales[8 + j % 4] |= (uint8_t) ((s >> 4) << (2 * (j / 4)));
}

// Final codes and packing: the scales and block scales of y are set, L holds
// the codes of the sub-block searches (kept where a sub-block scale is 0).
void tevo_kq_finish_q2_K(const float * x, block_q2_K * y, uint8_t * L);
void tevo_kq_finish_q3_K(const float * x, block_q3_K * y, int8_t * L);
void tevo_kq_finish_q4_K(const float * x, block_q4_K * y, uint8_t * L);
void tevo_kq_finish_q5_K(const float * x, block_q5_K * y, uint8_t * L);
// q6_K from the signed sub-block scales on: block scale, eight-bit scales
// (a block whose scales are all below 1e-15 is all zero), codes, packing
void tevo_kq_finish_q6_K(const float * x, block_q6_K * y, const float * sub_scales, int8_t * L);

// non-finite blocks: infinite scale, everything else zero
void tevo_kq_nonfinite(void * y, size_t size, size_t d_offset);
