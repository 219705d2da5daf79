#pragma once

// Conversions between floats and the 16-bit and integer element types.
// One element at a time (C++ overloads for the kernels' templates):
// - half to float reads the engine's exact table (the processor's widening
//   instruction would quiet signalling NaNs);
// - float to half is the tensor core's integer-and-float rounding (the
//   processor's narrowing instruction keeps NaN payloads; ours stores 0x7E00);
// - brain float is a 16-bit shift one way and round-to-nearest-even on the
//   bit pattern the other way.
// Whole rows: the routines below, bit for bit the element rules (x86 forms in
// x86/convert.cpp), and the engine's public tevo_cpu_fp32_to_* family.

#include "cpu/vec/tables.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void tevo_vec_cvt_f32_f16(const float * x, tevo_fp16_t * y, int64_t n);
void tevo_vec_cvt_f16_f32(const tevo_fp16_t * x, float * y, int64_t n);
void tevo_vec_cvt_f32_bf16(const float * x, tevo_bf16_t * y, int64_t n);
void tevo_vec_cvt_f16_bf16(const tevo_fp16_t * x, tevo_bf16_t * y, int64_t n);
void tevo_vec_cvt_bf16_f16(const tevo_bf16_t * x, tevo_fp16_t * y, int64_t n);
void tevo_vec_cvt_i32_f32(const int32_t * x, float * y, int64_t n);

#ifdef __cplusplus
}

static inline float tevo_ew_to_f32(float x) {
    return x;
}

static inline float tevo_ew_to_f32(tevo_fp16_t x) {
    return tevo_table_f32_f16[x];
}

static inline float tevo_ew_to_f32(tevo_bf16_t x) {
    return TEVO_BF16_TO_FP32(x);
}

template <typename T> static inline T tevo_ew_from_f32(float x);

template <> inline float tevo_ew_from_f32<float>(float x) {
    return x;
}

template <> inline tevo_fp16_t tevo_ew_from_f32<tevo_fp16_t>(float x) {
    return TEVO_FP32_TO_FP16(x);
}

template <> inline tevo_bf16_t tevo_ew_from_f32<tevo_bf16_t>(float x) {
    return TEVO_FP32_TO_BF16(x);
}

#endif
