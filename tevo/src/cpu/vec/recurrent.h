#pragma once

// Row routines of the recurrent kernels (state-space scan, linear
// attention): one row of a state matrix updated in place and read out in the
// same pass. Their rounding is fixed per element, so the x86 forms
// (x86/recurrent.cpp) and any other form give the same bits.

#include "cpu/vec/tables.h"

#ifdef __cplusplus
extern "C" {
#endif

// State-space scan row with one decay per head: for i < n,
//   s[i] = round(prev[i]*dA) + round(B[i]*xdt)   for the leading n & ~31
//   s[i] = fma(dA, prev[i], round(B[i]*xdt))     for the rest,
// and returns the sum of s[i]*C[i]: four 8-lane fused accumulators over the
// leading blocks of 32, folded as the dot products fold, then the rest added
// one fused step at a time. s may be prev (in place).
float tevo_vec_ssm_scan_row_f32(int n, float * s, const float * prev, const float * B, const float * C, float dA,
                                float xdt);

// RWKV-7 row: cur[j] = fma(sa, b[j], fma(prev[j], w[j], round(vi*k[j]))),
// returns the sum of cur[j]*r[j] accumulated as the dot products do (blocks
// of 32 in four 8-lane fused accumulators, then the rest one by one).
// cur may be prev.
float tevo_vec_wkv7_row_f32(int n, float * cur, const float * prev, const float * w, const float * k, const float * b,
                            const float * r, float vi, float sa);

// RWKV-6 row: kv = round(v[j]*kk); out[j] = fma(fma(kv, tf, prev[j]), rr, out[j]);
// cur[j] = fma(prev[j], td, kv). cur may be prev.
void tevo_vec_wkv6_row_f32(int n, float * out, float * cur, const float * prev, const float * v, float kk, float rr,
                           float tf, float td);

// Gated linear attention row: kv = round(kk*v[j]); t = fma(g, prev[j], kv);
// out[j] = fma(t, qs, out[j]); cur[j] = t. cur may be prev.
void tevo_vec_gla_row_f32(int n, float * out, float * cur, const float * prev, const float * v, float kk, float qs,
                          float g);

#ifdef __cplusplus
}
#endif
