#pragma once

// Helpers shared by the format files: the integer rounding of the searches,
// the half-precision scale conversions, the finiteness and range tests
// behind the non-finite blocks, a float-to-int truncation defined for every
// float, the row-length checks and the decoding of the two eight-bit scale
// kinds of the four-bit float formats.

#include "quants/quants.h"
#include "tevo.h"

#include <limits.h>
#include <math.h>
#include <string.h>

// The formats sit below the tensor core (whose type table points at them),
// so they see only the public header: conversions and aborts through it.

#ifndef TEVO_MAX
#define TEVO_MAX(a, b) ((a) > (b) ? (a) : (b))
#define TEVO_MIN(a, b) ((a) < (b) ? (a) : (b))
#endif

static inline float tevo_q_from_bits(uint32_t w) {
    float f;
    memcpy(&f, &w, sizeof(f));
    return f;
}

static inline uint32_t tevo_q_to_bits(float f) {
    uint32_t w;
    memcpy(&w, &f, sizeof(w));
    return w;
}

#define TEVO_Q_FP16_INF ((tevo_fp16_t) 0x7c00)

// Round to nearest, ties to even, by adding 1.5 * 2^23 and reading the low
// mantissa bits; exact for |f| < 2^22, which every caller guarantees.
static inline int tevo_q_nearest_int(float f) {
    const float v = f + 12582912.0f;
    int         i;
    memcpy(&i, &v, sizeof(i));
    return (i & 0x007fffff) - 0x00400000;
}

// half scales: round to nearest even, NaN to 0x7e00; widening is exact
static inline tevo_fp16_t tevo_q_fp16(float f) {
    return tevo_fp32_to_fp16(f);
}

static inline float tevo_q_fp32(tevo_fp16_t h) {
    return tevo_fp16_to_fp32(h);
}

// The largest magnitude of n values as its bit pattern: a NaN or an infinity
// has every exponent bit set, so one integer comparison per value finds it.
static inline uint32_t tevo_q_max_bits(const float * x, int64_t n) {
    uint32_t worst = 0;
    for (int64_t i = 0; i < n; ++i) {
        uint32_t w;
        memcpy(&w, &x[i], sizeof(w));
        w &= 0x7fffffffu;
        worst = w > worst ? w : worst;
    }
    return worst;
}

// Whether all n values are finite.
static inline bool tevo_q_finite(const float * x, int64_t n) {
    return tevo_q_max_bits(x, n) < 0x7f800000u;
}

// Whether all n values are finite and below 2^30 in magnitude. No format
// with half-precision scales holds 2^28 (65504 times its largest product of
// sub-block scale and level, 4096 for q6_K), so from 2^30 a block could only
// get an infinite scale; and the scale searches, whose sums run over squares
// and cubes of the values, would overflow into NaN scales, failed assertions
// or codes of zero. The searching quantizers write such a block as
// non-finite, as they do one holding a NaN.
static inline bool tevo_q_in_range(const float * x, int64_t n) {
    return tevo_q_max_bits(x, n) < 0x4e800000u; // 2^30
}

// Float to int toward zero. A value outside the int range, or NaN (the
// product with an inverse scale that overflowed, for a block too small to
// invert), gives INT_MIN as the x86 conversion does, instead of undefined
// behaviour; callers keep only the code's low bits, which are then 0.
static inline int tevo_q_trunc(float f) {
    return f >= -2147483648.0f && f < 2147483648.0f ? (int) f : INT_MIN;
}

// 2^(e - 128), half the E8M0 scale, built exactly: for e 1 and 0 the
// subnormals 2^-127 and 2^-128, mantissa bit 22 and bit 21 alone
static inline float tevo_q_e8m0_half(uint8_t e) {
    const uint32_t bits = e >= 2 ? (uint32_t) (e - 1) << 23 : (e == 1 ? 0x00400000u : 0x00200000u);
    return tevo_q_from_bits(bits);
}

// an unsigned E4M3 byte: 0 and 0x7f (its NaN pattern) decode to 0, bit 7 is
// ignored
static inline float tevo_q_ue4m3(uint8_t u) {
    if (u == 0 || u == 0x7f) {
        return 0.0f;
    }
    const int e = (u >> 3) & 15;
    const int m = u & 7;
    if (e == 0) {
        return ldexpf((float) m, -9);
    }
    return ldexpf(1.0f + (float) m / 8.0f, e - 7);
}

// Row lengths and chunk shapes: a length that is not a whole number of
// blocks would have its tail dropped silently, so it is refused.
#define TEVO_Q_CHECK(cond, text)                                             \
    do {                                                                     \
        if (!(cond)) {                                                       \
            tevo_abort(TEVO_SOURCE_PATH, __LINE__, "TEVO_ASSERT(%s) failed", text); \
        }                                                                    \
    } while (0)
#define TEVO_Q_CHECK_ROW(k, qk) TEVO_Q_CHECK((k) >= 0 && (k) % (qk) == 0, "k >= 0 && k % " #qk " == 0")
#define TEVO_Q_CHECK_CHUNK(nrows, n_per_row, qk)                                         \
    TEVO_Q_CHECK((nrows) >= 0 && (n_per_row) >= 0 && (n_per_row) % (qk) == 0,            \
                 "nrows >= 0 && n_per_row >= 0 && n_per_row % " #qk " == 0")
