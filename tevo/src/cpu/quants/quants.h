#pragma once

// Row quantizers and quantized dot products of the CPU engine, reached
// through the CPU type-traits table: matrix multiplication converts src1
// with the quantizer of the weights' partner type and multiplies rows with
// the pair's dot product.
//
// The names without suffix are the ones the table holds: the x86 forms
// (x86/) where one exists, else the portable function itself. The portable
// forms ending in _generic define the arithmetic; the x86 forms compute the
// same integer block sums and may differ in the last bits of the float
// result. Every dot product stores the dot product of n values to *s; n is a
// whole number of the weight type's blocks (checked), bs, bx, by and nrc are
// not read.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// k floats into k / block-size whole blocks at y
void quantize_row_q4_0(const float * x, void * y, int64_t k);
void quantize_row_q4_1(const float * x, void * y, int64_t k);
void quantize_row_q5_0(const float * x, void * y, int64_t k);
void quantize_row_q5_1(const float * x, void * y, int64_t k);
void quantize_row_q8_0(const float * x, void * y, int64_t k);
void quantize_row_q8_1(const float * x, void * y, int64_t k);
void quantize_row_q2_K(const float * x, void * y, int64_t k);
void quantize_row_q3_K(const float * x, void * y, int64_t k);
void quantize_row_q4_K(const float * x, void * y, int64_t k);
void quantize_row_q5_K(const float * x, void * y, int64_t k);
void quantize_row_q6_K(const float * x, void * y, int64_t k);
void quantize_row_q8_K(const float * x, void * y, int64_t k);
void quantize_row_iq4_nl(const float * x, void * y, int64_t k);
void quantize_row_iq4_xs(const float * x, void * y, int64_t k);
void quantize_row_tq1_0(const float * x, void * y, int64_t k);
void quantize_row_tq2_0(const float * x, void * y, int64_t k);
void quantize_row_mxfp4(const float * x, void * y, int64_t k);
void quantize_row_nvfp4(const float * x, void * y, int64_t k);
void quantize_row_q1_0(const float * x, void * y, int64_t k);
void quantize_row_q2_0(const float * x, void * y, int64_t k);

// portable forms of the activation quantizers
void quantize_row_q8_0_generic(const float * x, void * y, int64_t k);
void quantize_row_q8_1_generic(const float * x, void * y, int64_t k);
void quantize_row_q8_K_generic(const float * x, void * y, int64_t k);

#define TEVO_VEC_DOT_ARGS int n, float * s, size_t bs, const void * x, size_t bx, const void * y, size_t by, int nrc

// *s = dot product of n values of row x with row y of the partner type
void tevo_vec_dot_q4_0_q8_0(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q4_1_q8_1(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q5_0_q8_0(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q5_1_q8_1(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q8_0_q8_0(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q2_K_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q3_K_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q4_K_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q5_K_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q6_K_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq2_xxs_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq2_xs_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq3_xxs_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq1_s_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq3_s_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq2_s_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq4_xs_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq1_m_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_tq1_0_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_tq2_0_q8_K(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq4_nl_q8_0(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_mxfp4_q8_0(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_nvfp4_q8_0(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q1_0_q8_0(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q2_0_q8_0(TEVO_VEC_DOT_ARGS); // portable: no x86 form

// s[r] = dot product of n values of row x + r * bx with the one row y, for
// r < nr: each s[r] has the bits of the one-row kernel of the same pair,
// several weight rows per pass
#define TEVO_VEC_DOT_ROWS_ARGS int n, int nr, float * s, const void * x, size_t bx, const void * y

typedef void (*tevo_vec_dot_rows_t)(TEVO_VEC_DOT_ROWS_ARGS);

void tevo_vec_dot_q4_0_q8_0_rows(TEVO_VEC_DOT_ROWS_ARGS);
void tevo_vec_dot_q4_1_q8_1_rows(TEVO_VEC_DOT_ROWS_ARGS);
void tevo_vec_dot_q5_0_q8_0_rows(TEVO_VEC_DOT_ROWS_ARGS);
void tevo_vec_dot_q5_1_q8_1_rows(TEVO_VEC_DOT_ROWS_ARGS);
void tevo_vec_dot_q8_0_q8_0_rows(TEVO_VEC_DOT_ROWS_ARGS);

// portable forms
void tevo_vec_dot_q4_0_q8_0_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q4_1_q8_1_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q5_0_q8_0_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q5_1_q8_1_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q8_0_q8_0_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q1_0_q8_0_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_mxfp4_q8_0_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_nvfp4_q8_0_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_tq1_0_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_tq2_0_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q2_K_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q3_K_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q4_K_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q5_K_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_q6_K_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq2_xxs_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq2_xs_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq2_s_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq3_xxs_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq3_s_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq1_s_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq1_m_q8_K_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq4_nl_q8_0_generic(TEVO_VEC_DOT_ARGS);
void tevo_vec_dot_iq4_xs_q8_K_generic(TEVO_VEC_DOT_ARGS);

#ifdef __cplusplus
}
#endif
