#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// The engine's public row conversions that need no vector code of their own:
// plain copies, and the tensor core's half conversions, which give the same
// bits as the scalar rules, NaN included (the bare F16C instructions do not).

#include "cpu/vec/convert.h"

#include "tevo-cpu.h"

void tevo_cpu_fp32_to_fp32(const float * x, float * y, int64_t n) {
    memcpy(y, x, (size_t) n * sizeof(float));
}

void tevo_cpu_fp32_to_fp16(const float * x, tevo_fp16_t * y, int64_t n) {
    tevo_fp32_to_fp16_row(x, y, n);
}

void tevo_cpu_fp16_to_fp32(const tevo_fp16_t * x, float * y, int64_t n) {
    tevo_fp16_to_fp32_row(x, y, n);
}

void tevo_cpu_fp32_to_bf16(const float * x, tevo_bf16_t * y, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
        y[i] = TEVO_FP32_TO_BF16(x[i]);
    }
}
