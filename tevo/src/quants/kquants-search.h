#pragma once

// The scale searches of the K-quants, shared by the reference quantizers and
// the importance-weighted ones: each fits a run of values with small integer
// codes and one scale (and for the asymmetric formats a minimum).

#include <stdint.h>

enum tevo_kq_error { TEVO_KQ_SQUARED, TEVO_KQ_ABSOLUTE };

// Codes L in 0..nmax with x ~ scale * L - *the_min (the minimum is never
// negative), trying inverse scales (rmin + rdelta * is + nmax) / (max - min)
// for is = 0 .. nstep - 1 against the weighted error. Returns the scale.
float tevo_kq_search_scale_min(int n, int nmax, const float * x, const float * w, uint8_t * L, float * the_min,
                               float rmin, float rdelta, int nstep, enum tevo_kq_error error);

// Sixteen values to codes -4..3 (stored + 4) by up to five passes that move
// one code at a time while the x²-weighted fit improves. Returns the signed
// scale; an all-zero run gets raw codes 0 and scale 0.
float tevo_kq_refine_signed_scale(const float * x, int8_t * L);

// Codes -nmax..nmax-1 (stored + nmax) with the least-squares signed scale
// over 19 inverse scales around -nmax/max; weights x² when w is NULL.
float tevo_kq_search_signed_scale(int n, int nmax, const float * x, int8_t * L, const float * w);

// Non-negative values (sub-block scales or minimums) to codes 0..nmax with
// one weighted scale. Returns the scale; values all below 1e-15 give 0.
float tevo_kq_quantize_nonneg_weighted(int n, int nmax, const float * x, uint8_t * L, const float * w);
