#pragma once

// The quantization functions of the block formats: per format a reference
// quantizer (floats to blocks), a dequantizer (blocks to floats) and a chunk
// quantizer over whole rows that may take importance weights, one per
// column. The core type-traits table and tevo_quantize_chunk reach the
// formats only through these names.
//
// Row functions take k elements, k a whole number of blocks (checked: a
// remainder is refused rather than dropped). Chunk quantizers take nrows
// rows of n_per_row elements and return the bytes written.
//
// A block holding a NaN or an infinity is written as a non-finite block:
// its scale is the format's infinity (half 0x7c00, float +inf for q8_K) or
// its invalid marker (exponent byte 255 for mxfp4, scale byte 0x7f for an
// nvfp4 sub-block) and its codes are those of zero (for the K-quants every
// other field is zero), so that row validation refuses it and the kernels
// give non-finite results rather than plausible numbers. So is a block too
// large for its format: one reaching 2^30 in the formats that search their
// scales (q2_K .. q6_K, the i-quants, and the 32-element ones with importance
// weights), which no half scale holds, and an nvfp4 sub-block whose scale
// would pass the largest E4M3 value.

#include "quants/blocks.h"

#ifdef __cplusplus
extern "C" {
#endif

// twice the E2M1 value of each four-bit code
extern const int8_t fp4_e2m1_doubled_values[16];

// ---------------------------------------------------------------------------
// reference quantizers: (floats x, blocks y, elements k)

void quantize_row_q4_0_ref(const float * x, void * y, int64_t k);
void quantize_row_q4_1_ref(const float * x, void * y, int64_t k);
void quantize_row_q5_0_ref(const float * x, void * y, int64_t k);
void quantize_row_q5_1_ref(const float * x, void * y, int64_t k);
void quantize_row_q8_0_ref(const float * x, void * y, int64_t k);
void quantize_row_q8_1_ref(const float * x, void * y, int64_t k);
void quantize_row_q1_0_ref(const float * x, void * y, int64_t k);
void quantize_row_q2_0_ref(const float * x, void * y, int64_t k);
void quantize_row_mxfp4_ref(const float * x, void * y, int64_t k);
void quantize_row_nvfp4_ref(const float * x, void * y, int64_t k);
void quantize_row_tq1_0_ref(const float * x, void * y, int64_t k);
void quantize_row_tq2_0_ref(const float * x, void * y, int64_t k);
void quantize_row_q2_K_ref(const float * x, void * y, int64_t k);
void quantize_row_q3_K_ref(const float * x, void * y, int64_t k);
void quantize_row_q4_K_ref(const float * x, void * y, int64_t k);
void quantize_row_q5_K_ref(const float * x, void * y, int64_t k);
void quantize_row_q6_K_ref(const float * x, void * y, int64_t k);
void quantize_row_q8_K_ref(const float * x, void * y, int64_t k);
// the i-quants with a reference quantizer (iq2_xxs, iq2_xs, iq1_s and iq1_m
// have none: they are made only by their chunk quantizers); those of the
// grid types need the type's grid built (tevo_quantize_init)
void quantize_row_iq2_s_ref(const float * x, void * y, int64_t k);
void quantize_row_iq3_xxs_ref(const float * x, void * y, int64_t k);
void quantize_row_iq3_s_ref(const float * x, void * y, int64_t k);
void quantize_row_iq4_nl_ref(const float * x, void * y, int64_t k);
void quantize_row_iq4_xs_ref(const float * x, void * y, int64_t k);

// ---------------------------------------------------------------------------
// dequantizers: (blocks x, floats y, elements k)

void dequantize_row_q4_0(const void * x, float * y, int64_t k);
void dequantize_row_q4_1(const void * x, float * y, int64_t k);
void dequantize_row_q5_0(const void * x, float * y, int64_t k);
void dequantize_row_q5_1(const void * x, float * y, int64_t k);
void dequantize_row_q8_0(const void * x, float * y, int64_t k);
void dequantize_row_q1_0(const void * x, float * y, int64_t k);
void dequantize_row_q2_0(const void * x, float * y, int64_t k);
void dequantize_row_mxfp4(const void * x, float * y, int64_t k);
void dequantize_row_nvfp4(const void * x, float * y, int64_t k);
void dequantize_row_tq1_0(const void * x, float * y, int64_t k);
void dequantize_row_tq2_0(const void * x, float * y, int64_t k);
void dequantize_row_q2_K(const void * x, float * y, int64_t k);
void dequantize_row_q3_K(const void * x, float * y, int64_t k);
void dequantize_row_q4_K(const void * x, float * y, int64_t k);
void dequantize_row_q5_K(const void * x, float * y, int64_t k);
void dequantize_row_q6_K(const void * x, float * y, int64_t k);
void dequantize_row_q8_K(const void * x, float * y, int64_t k);
void dequantize_row_iq2_xxs(const void * x, float * y, int64_t k);
void dequantize_row_iq2_xs(const void * x, float * y, int64_t k);
void dequantize_row_iq2_s(const void * x, float * y, int64_t k);
void dequantize_row_iq3_xxs(const void * x, float * y, int64_t k);
void dequantize_row_iq3_s(const void * x, float * y, int64_t k);
void dequantize_row_iq1_s(const void * x, float * y, int64_t k);
void dequantize_row_iq1_m(const void * x, float * y, int64_t k);
void dequantize_row_iq4_nl(const void * x, float * y, int64_t k);
void dequantize_row_iq4_xs(const void * x, float * y, int64_t k);

// ---------------------------------------------------------------------------
// chunk quantizers: (src, dst, nrows, n_per_row, importance weights or NULL)
// -> nrows * tevo_row_size(type, n_per_row)

size_t quantize_q4_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_q4_1(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_q5_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_q5_1(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_q8_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_q1_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_q2_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_mxfp4(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_nvfp4(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_tq1_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_tq2_0(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_q2_K(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_q3_K(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_q4_K(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_q5_K(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_q6_K(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
// the grid types need their grid built (tevo_quantize_init); iq2_xxs, iq2_xs
// and iq1_s need importance weights
size_t quantize_iq2_xxs(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_iq2_xs(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_iq2_s(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_iq3_xxs(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_iq3_s(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_iq1_s(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_iq1_m(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_iq4_nl(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);
size_t quantize_iq4_xs(const float * src, void * dst, int64_t nrows, int64_t n_per_row, const float * imatrix);

// ---------------------------------------------------------------------------
// the i-quant grids' search state (iquants-grids.cpp): build once, release;
// the callers hold the tensor library's critical section. Types: IQ2_XXS,
// IQ2_XS, IQ2_S, IQ1_S and IQ1_M (one grid shared by the two); grid sizes:
// 256 (iq3_xxs) and 512 (iq3_s).

void iq2xs_init_impl(enum tevo_type type);
void iq2xs_free_impl(enum tevo_type type);
void iq3xs_init_impl(int grid_size);
void iq3xs_free_impl(int grid_size);

#ifdef __cplusplus
}
#endif
