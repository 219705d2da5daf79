#pragma once

// Element rules of the GELU family, shared by the unary dispatch and the
// gated linear units. Float GELU and quick GELU round their argument to half
// and read the engine's half tables, so no tanhf or expf is paid per element;
// the brain-float forms compute the formula itself. The 8-lane table reads
// are in x86/gelu.h.

#include "cpu/vec/tables.h"

#include <math.h>

static const float TEVO_GELU_COEF_A     = 0.044715f;   // 0x3D372713
static const float TEVO_SQRT_2_OVER_PI  = 0.7978846f;  // 0x3F4C422A
static const float TEVO_GELU_QUICK_COEF = -1.702f;     // 0xBFD9DB23
static const float TEVO_SQRT_2_INV      = 0.70710677f; // 0x3F3504F3

// beyond these limits the table is not asked: GELU is 0 below and x above
static const float TEVO_GELU_LOWER = -10.0f;
static const float TEVO_GELU_UPPER = 10.0f;

static inline float tevo_gelu_table_f32(float x) {
    if (x <= TEVO_GELU_LOWER) {
        return 0.0f;
    }
    if (x >= TEVO_GELU_UPPER) {
        return x;
    }
    return tevo_table_f32_f16[tevo_table_gelu_f16[TEVO_FP32_TO_FP16(x)]];
}

static inline float tevo_gelu_quick_table_f32(float x) {
    return tevo_table_f32_f16[tevo_table_gelu_quick_f16[TEVO_FP32_TO_FP16(x)]];
}

// The formulas below tend to -0 as x falls, and every finite x far enough
// down already gives -0; at -infinity itself they would form 0 x -inf or
// -inf / inf, a NaN, so that one input takes the limit.

// the tanh form, computed
static inline float tevo_gelu_formula_f32(float x) {
    if (x == -INFINITY) {
        return -0.0f;
    }
    return (tanhf((x * TEVO_SQRT_2_OVER_PI) * fmaf(x, x * TEVO_GELU_COEF_A, 1.0f)) + 1.0f) * (x * 0.5f);
}

static inline float tevo_gelu_quick_formula_f32(float x) {
    if (x == -INFINITY) {
        return -0.0f;
    }
    return (1.0f / (expf(x * TEVO_GELU_QUICK_COEF) + 1.0f)) * x;
}

static inline float tevo_gelu_erf_f32(float x) {
    if (x == -INFINITY) {
        return -0.0f;
    }
    return (erff(x * TEVO_SQRT_2_INV) + 1.0f) * (x * 0.5f);
}

// x / d with d = e^(-a x) + 1: an infinite d at x = -inf means a > 0, where
// x times the sigmoid tends to -0
static inline float tevo_sigmoid_div_f32(float x, float d) {
    if (x == -INFINITY && d == INFINITY) {
        return -0.0f;
    }
    return x / d;
}

static inline float tevo_silu_formula_f32(float x) {
    return tevo_sigmoid_div_f32(x, expf(-x) + 1.0f);
}
