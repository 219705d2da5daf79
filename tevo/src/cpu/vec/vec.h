#pragma once

// Row routines shared by the CPU kernels: the F32, F16 and BF16 dot products
// (the inner loop of matrix multiplication), the activations and gated units,
// centred variance, sums of squares, softmax and log-softmax, and scaled
// additions. Their numerics (accumulation widths, block sizes, the
// exponential of x86/simd.h) are fixed: results must not depend on the thread
// count or on the call site. The x86 forms are in x86/.

#include "cpu/vec/tables.h"

#ifdef __cplusplus
extern "C" {
#endif

// *s = sum of x[i]*y[i]; bs, bx, by and nrc are not used (one row)
void tevo_vec_dot_f32(int n, float * s, size_t bs, const float * x, size_t bx, const float * y, size_t by, int nrc);
void tevo_vec_dot_f16(int n, float * s, size_t bs, const tevo_fp16_t * x, size_t bx, const tevo_fp16_t * y, size_t by,
                      int nrc);
void tevo_vec_dot_bf16(int n, float * s, size_t bs, const tevo_bf16_t * x, size_t bx, const tevo_bf16_t * y,
                       size_t by, int nrc);

// Many dot products at once, each with exactly the numerics of the one-row
// routine above: s[j*16 + i] = dot(row i of x, y[j]) for i < nx <= 16 and
// j < ny <= 16; the rows of x are bx bytes apart.
void tevo_vec_dot_f32_block(int n, int nx, int ny, const void * x, size_t bx, const void * const * y, float * s);
void tevo_vec_dot_f16_block(int n, int nx, int ny, const void * x, size_t bx, const void * const * y, float * s);
void tevo_vec_dot_bf16_block(int n, int nx, int ny, const void * x, size_t bx, const void * const * y, float * s);

// y[i] = x[i] / (1 + e^-x[i])
void   tevo_vec_silu_f32(int n, float * y, const float * x);
// y[i] = x[i] / (1 + e^-x[i]) * g[i]
void   tevo_vec_swiglu_f32(int n, float * y, const float * x, const float * g);
// y[i] = GELU(x[i]) and quick GELU(x[i]) through the half tables (gelu.h)
void   tevo_vec_gelu_f32(int n, float * y, const float * x);
void   tevo_vec_gelu_quick_f32(int n, float * y, const float * x);
// gated units y[i] = act(x[i]) * g[i]: ReLU, table GELU and table quick GELU;
// GEGLU gives 0 at or below the table's lower limit without reading g
void   tevo_vec_reglu_f32(int n, float * y, const float * x, const float * g);
void   tevo_vec_geglu_f32(int n, float * y, const float * x, const float * g);
void   tevo_vec_geglu_quick_f32(int n, float * y, const float * x, const float * g);
// y[i] = x[i] - mean; returns the mean of the y[i]^2
double tevo_vec_cvar_f32(int n, float * y, const float * x, float mean);
// y[i] = e^(x[i] - max); returns the sum of the y[i]
double tevo_vec_soft_max_f32(int n, float * y, const float * x, float max);
// y[i] = x[i] - max; returns ln of the sum of e^(x[i] - max)
double tevo_vec_log_soft_max_f32(int n, float * y, const float * x, float max);
// sum of x[i]*x[i], each square rounded to float, added in double in order
double tevo_vec_sum_sq_f32(int64_t n, const float * x);

// scaled additions, y[i] = fma(x[i], s, y[i]) with x widened exactly
void tevo_vec_mad_f32(int64_t n, float * y, const float * x, float s);
void tevo_vec_mad_f32_f16(int64_t n, float * y, const tevo_fp16_t * x, float s);
// y[i] = bf16(fma(s, x[i], b))
void tevo_vec_scale_bf16(int64_t n, tevo_bf16_t * y, const tevo_bf16_t * x, float s, float b);

#ifdef __cplusplus
}
#endif
