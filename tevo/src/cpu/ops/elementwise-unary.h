#pragma once

// The element-wise kernels of one operand: dst = f(src0) element by element,
// on float, half and brain-float rows (f32->f32, f16->f16, f16->f32,
// bf16->bf16, bf16->f32). The unary-operator dispatch hands every
// sub-operator but GELU, GELU_QUICK, SILU and GELU_ERF to the kernel of the
// same name here; SQR, SQRT, LOG, SIN and COS are operators of their own
// (declared in ops.h) and come straight from the graph walk.

#include "cpu/ops/ops.h"

#ifdef __cplusplus
extern "C" {
#endif

void tevo_compute_forward_abs(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_sgn(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_neg(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_step(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_tanh(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_elu(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_relu(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_sigmoid(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_hardswish(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_hardsigmoid(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_exp(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_expm1(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_softplus(const struct tevo_compute_params * params, struct tevo_tensor * dst);
// alpha_n, alpha_p, beta and eps in op_params words 1 to 4, as tevo_xielu stores them
void tevo_compute_forward_xielu(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_floor(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_ceil(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_round(const struct tevo_compute_params * params, struct tevo_tensor * dst);
void tevo_compute_forward_trunc(const struct tevo_compute_params * params, struct tevo_tensor * dst);

#ifdef __cplusplus
}
#endif
