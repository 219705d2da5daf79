#pragma once

// The block records of the quantized element types: the bytes of a tensor
// row in memory and in model files alike, so every field sits at a fixed
// offset with no padding. Half-precision fields are IEEE binary16 bit
// patterns, all fields little-endian.

#include "tevo.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QK4_0 32
#define QK4_1 32
#define QK5_0 32
#define QK5_1 32
#define QK8_0 32
#define QK8_1 32
#define QK1_0 128
#define QK2_0 64
#define QK_MXFP4 32
#define QK_NVFP4 64
#define QK_NVFP4_SUB 16
#define QK_K 256
#define K_SCALE_SIZE 12

// ---------------------------------------------------------------------------
// 32-element formats

typedef struct {
    tevo_fp16_t d;              // scale; value = (code - 8) * d
    uint8_t     qs[QK4_0 / 2];  // low nibble element j, high nibble element j + 16
} block_q4_0;

typedef struct {
    tevo_fp16_t d;              // scale
    tevo_fp16_t m;              // minimum; value = code * d + m
    uint8_t     qs[QK4_1 / 2];
} block_q4_1;

typedef struct {
    tevo_fp16_t d;              // value = (code - 16) * d
    uint8_t     qh[4];          // bit i of the little-endian word: bit 4 of code i
    uint8_t     qs[QK5_0 / 2];  // low four bits, nibbles as q4_0
} block_q5_0;

typedef struct {
    tevo_fp16_t d;
    tevo_fp16_t m;              // value = code * d + m
    uint8_t     qh[4];
    uint8_t     qs[QK5_1 / 2];
} block_q5_1;

typedef struct {
    tevo_fp16_t d;              // value = qs[i] * d
    int8_t      qs[QK8_0];
} block_q8_0;

typedef struct {
    tevo_fp16_t d;
    tevo_fp16_t s;              // d times the sum of the codes
    int8_t      qs[QK8_1];
} block_q8_1;

// ---------------------------------------------------------------------------
// one- and two-bit formats

typedef struct {
    tevo_fp16_t d;              // shared magnitude
    uint8_t     qs[QK1_0 / 8];  // bit i % 8 of byte i / 8 set: +d, clear: -d
} block_q1_0;

typedef struct {
    tevo_fp16_t d;              // value = (code - 1) * d
    uint8_t     qs[QK2_0 / 4];  // code of element i: bits 2 (i % 4) .. +1 of byte i / 4
} block_q2_0;

// ---------------------------------------------------------------------------
// four-bit floating-point formats

typedef struct {
    uint8_t e;                  // E8M0 exponent: scale 2^(e - 127)
    uint8_t qs[QK_MXFP4 / 2];   // E2M1 codes, nibbles as q4_0
} block_mxfp4;

typedef struct {
    uint8_t scales[QK_NVFP4 / QK_NVFP4_SUB]; // unsigned E4M3, one per 16 elements
    uint8_t qs[QK_NVFP4 / 2];                // sub-block s: bytes 8s..8s+7, low nibble 16s+k, high 16s+8+k
} block_nvfp4;

// ---------------------------------------------------------------------------
// ternary formats

typedef struct {
    uint8_t     qs[(QK_K - 4 * QK_K / 64) / 5]; // five base-3 digits per byte
    uint8_t     qh[QK_K / 64];                  // four digits per byte
    tevo_fp16_t d;
} block_tq1_0;

typedef struct {
    uint8_t     qs[QK_K / 4];   // two bits per element
    tevo_fp16_t d;
} block_tq2_0;

// ---------------------------------------------------------------------------
// K-quants and their activation format

typedef struct {
    uint8_t     scales[QK_K / 16]; // low nibble scale, high nibble minimum of sub-block j
    uint8_t     qs[QK_K / 4];
    tevo_fp16_t d;
    tevo_fp16_t dmin;
} block_q2_K;

typedef struct {
    uint8_t     hmask[QK_K / 8];   // third bit of each code
    uint8_t     qs[QK_K / 4];      // low two bits
    uint8_t     scales[12];        // sixteen 6-bit scales, offset 32
    tevo_fp16_t d;
} block_q3_K;

typedef struct {
    tevo_fp16_t d;
    tevo_fp16_t dmin;
    uint8_t     scales[K_SCALE_SIZE]; // eight 6-bit scales and minimums
    uint8_t     qs[QK_K / 2];
} block_q4_K;

typedef struct {
    tevo_fp16_t d;
    tevo_fp16_t dmin;
    uint8_t     scales[K_SCALE_SIZE];
    uint8_t     qh[QK_K / 8];      // fifth bit of each code
    uint8_t     qs[QK_K / 2];
} block_q5_K;

typedef struct {
    uint8_t     ql[QK_K / 2];      // low four bits
    uint8_t     qh[QK_K / 4];      // high two bits
    int8_t      scales[QK_K / 16];
    tevo_fp16_t d;
} block_q6_K;

typedef struct {
    float   d;                     // a float, not a half
    int8_t  qs[QK_K];
    int16_t bsums[QK_K / 16];      // sum of each run of 16 codes
} block_q8_K;

// ---------------------------------------------------------------------------
// i-quants: groups of 8 (or 4) magnitudes are points of fixed lattices,
// stored as indices into the grid tables of quants/iquants-tables.h, with
// signs, sub-block scales and one half scale per block

#define QK4_NL 32

typedef struct {
    tevo_fp16_t d;
    uint16_t    qs[QK_K / 8];   // per 32 values two words: four grid indices; four 7-bit signs and the scale (bits 28..31)
} block_iq2_xxs;

typedef struct {
    tevo_fp16_t d;
    uint16_t    qs[QK_K / 8];   // per group of 8: grid index (bits 0..8), 7-bit sign index (bits 9..15)
    uint8_t     scales[QK_K / 32]; // low nibble groups 0-1, high nibble groups 2-3 of 32 values
} block_iq2_xs;

typedef struct {
    tevo_fp16_t d;
    uint8_t     qs[QK_K / 4];   // low 8 bits of 32 grid indices, then 32 sign bytes
    uint8_t     qh[QK_K / 32];  // bits 8..9 of the indices, two bits per group
    uint8_t     scales[QK_K / 32];
} block_iq2_s;

typedef struct {
    tevo_fp16_t d;
    uint8_t     qs[3 * QK_K / 8]; // 64 grid indices of 4 values, then per 32 values a word of signs and scale
} block_iq3_xxs;

typedef struct {
    tevo_fp16_t d;
    uint8_t     qs[QK_K / 4];   // low 8 bits of 64 grid indices
    uint8_t     qh[QK_K / 32];  // bit 8 of each index
    uint8_t     signs[QK_K / 8]; // one plain sign byte per group of 8
    uint8_t     scales[QK_K / 64]; // nibble per 32 values
} block_iq3_s;

typedef struct {
    tevo_fp16_t d;
    uint8_t     qs[QK_K / 8];   // low 8 bits of 32 grid indices
    uint16_t    qh[QK_K / 32];  // per 32 values: index bits 8..10 of each group, scale (bits 12..14), offset sign (15)
} block_iq1_s;

typedef struct {
    uint8_t qs[QK_K / 8];       // low 8 bits of 32 grid indices
    uint8_t qh[QK_K / 16];      // per 16 values: index bits 8..10 and the offset sign of two groups
    uint8_t scales[QK_K / 32];  // four words of 3-bit scales; their top nibbles hold the half block scale
} block_iq1_m;

typedef struct {
    tevo_fp16_t d;
    uint8_t     qs[QK4_NL / 2]; // indices into iq4_nl_values, nibbles as q4_0
} block_iq4_nl;

typedef struct {
    tevo_fp16_t d;
    uint16_t    scales_h;       // high two bits of the eight 6-bit scales
    uint8_t     scales_l[QK_K / 64]; // low four bits, two per byte
    uint8_t     qs[QK_K / 2];   // nibbles as q4_0 within each 32 values
} block_iq4_xs;

#ifdef __cplusplus
}

static_assert(sizeof(block_q4_0) == 18, "block_q4_0 size");
static_assert(sizeof(block_q4_1) == 20, "block_q4_1 size");
static_assert(sizeof(block_q5_0) == 22, "block_q5_0 size");
static_assert(sizeof(block_q5_1) == 24, "block_q5_1 size");
static_assert(sizeof(block_q8_0) == 34, "block_q8_0 size");
static_assert(sizeof(block_q8_1) == 36, "block_q8_1 size");
static_assert(sizeof(block_q1_0) == 18, "block_q1_0 size");
static_assert(sizeof(block_q2_0) == 18, "block_q2_0 size");
static_assert(sizeof(block_mxfp4) == 17, "block_mxfp4 size");
static_assert(sizeof(block_nvfp4) == 36, "block_nvfp4 size");
static_assert(sizeof(block_tq1_0) == 54, "block_tq1_0 size");
static_assert(sizeof(block_tq2_0) == 66, "block_tq2_0 size");
static_assert(sizeof(block_q2_K) == 84, "block_q2_K size");
static_assert(sizeof(block_q3_K) == 110, "block_q3_K size");
static_assert(sizeof(block_q4_K) == 144, "block_q4_K size");
static_assert(sizeof(block_q5_K) == 176, "block_q5_K size");
static_assert(sizeof(block_q6_K) == 210, "block_q6_K size");
static_assert(sizeof(block_q8_K) == 292, "block_q8_K size");
static_assert(sizeof(block_iq2_xxs) == 66, "block_iq2_xxs size");
static_assert(sizeof(block_iq2_xs) == 74, "block_iq2_xs size");
static_assert(sizeof(block_iq2_s) == 82, "block_iq2_s size");
static_assert(sizeof(block_iq3_xxs) == 98, "block_iq3_xxs size");
static_assert(sizeof(block_iq3_s) == 110, "block_iq3_s size");
static_assert(sizeof(block_iq1_s) == 50, "block_iq1_s size");
static_assert(sizeof(block_iq1_m) == 56, "block_iq1_m size");
static_assert(sizeof(block_iq4_nl) == 18, "block_iq4_nl size");
static_assert(sizeof(block_iq4_xs) == 136, "block_iq4_xs size");
#endif
