#pragma once

// Panels of dot products for matrix multiplication: many dot products of
// F32, F16 or BF16 rows at once, each with exactly the numerics of the
// one-row routine of vec.h (every lane of every running sum sees the same
// operations in the same order; only the schedule differs).
//
// Rows of x (the weights) are packed as floats, tevo_dot_panel_rows(n) at a
// time, into a panel that stays in the first-level cache; rows of y (the
// activations) are packed into a block that stays in the second-level cache
// while the panels pass. The layouts depend on the row length n: long rows
// are laid out by running sum, so that every pass over a panel or a group
// of y rows reads it front to back; short rows keep x transposed.

#include "tevo.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// y rows a block groups together (a multiple of 12 keeps its groups full
// whatever the form)
#define TEVO_PANEL_Y_ROWS 3
// Rows shorter than this are short rows: x rows transposed, and a block
// holds the y rows as plain rows of floats, one after the other.
#define TEVO_PANEL_SHORT_N 128

// x rows of a panel of rows of n values
int tevo_dot_panel_rows(int n);
// floats of a panel of rows of n values (a multiple of 16)
size_t tevo_dot_panel_x_floats(int n);
// floats of a block of ny rows of y of n values (a multiple of 16)
size_t tevo_dot_panel_y_floats(int n, int ny);
// floats of the running sums kept between the parts of a long row, for ny rows of y
size_t tevo_dot_panel_acc_floats(int n, int ny);

// Packs rows [0, rows) of x (rows <= tevo_dot_panel_rows(n), bx bytes
// apart) of type F32, F16 or BF16 as floats into the panel p (32-byte
// aligned); missing rows are zero.
void tevo_dot_panel_pack_x(enum tevo_type type, int n, const void * x, size_t bx, int rows, float * p);

// Packs ny rows of y (y[j] the block's row j0 + j) of type F32, F16 or BF16
// as floats into the block b (32-byte aligned); j0 is a multiple of 12, so
// that a block can be packed a few rows at a time.
void tevo_dot_panel_pack_y(enum tevo_type type, int n, const void * const * y, int j0, int ny, float * b);

// dst[j][col + i] = the dot product of x row i and y row j with the
// numerics of type's one-row routine, for i < rows and j < ny: p is a packed
// panel, b a block packed from the ny rows. acc: tevo_dot_panel_acc_floats(n,
// ny) floats, 32-byte aligned.
void tevo_dot_panel_run(enum tevo_type type, int n, const float * p, int rows, const float * b, int ny,
                        float * const * dst, size_t col, float * acc);

#ifdef __cplusplus
}
#endif
