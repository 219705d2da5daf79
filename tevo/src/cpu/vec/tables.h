#pragma once

// Lookup tables of the CPU engine, filled once by tevo_cpu_init (cpu/init.cpp)
// and read-only afterwards. The row routines and the kernels read them; the
// half table is exact where the processor's widening would quiet NaNs.

#include "core/impl.h"

#ifdef __cplusplus
extern "C" {
#endif

extern float       tevo_table_f32_f16[1 << 16];        // every half pattern as float
extern tevo_fp16_t tevo_table_gelu_f16[1 << 16];       // GELU (tanh form) of every half
extern tevo_fp16_t tevo_table_gelu_quick_f16[1 << 16]; // quick GELU of every half
extern float       tevo_table_f32_e8m0_half[256];      // half the value of an E8M0 exponent byte
extern float       tevo_table_f32_ue4m3[256];          // half the value of an unsigned E4M3 byte

static inline float tevo_cpu_fp16_lookup(tevo_fp16_t h) {
    return tevo_table_f32_f16[h];
}

#ifdef __cplusplus
}
#endif
