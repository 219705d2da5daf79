#pragma once

// The element-wise kernels of two operands: dst = src0 op src1 with src1
// repeated over src0, on float, half and brain-float rows. ADD reaches its
// kernel through tevo_compute_forward_add, which keeps quantized sources.

#include "cpu/ops/ops.h"

#ifdef __cplusplus
extern "C" {
#endif

void tevo_compute_forward_add_non_quantized(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_sub(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_mul(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_div(const struct tevo_compute_params * params, struct tevo_tensor * dst);

#ifdef __cplusplus
}
#endif
