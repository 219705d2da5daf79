#pragma once

// The tiled integer path's internals: the two tile records that live in
// each thread's slice of the work buffer, the weight unpackers (one per
// quantized type), the type-independent tile routines (gather, sign flip,
// correction, store) and the AVX2 micro-kernels. The engine sees only the
// three entry points of cpu/ops/tiled.h; the tests reach these directly.

#include "cpu/ops/kernel.h"

#include <stddef.h>
#include <stdint.h>

// the most rows a tile holds
#define TILED_TILE_ROWS 256

// bytes of one thread's slice of the work buffer
#define TILED_SLICE_BYTES 524288

// Weight tile: every value one byte (its signed integer value plus the
// type's offset), per row and block a float scale (and min scale), per
// sub-block an integer scale (and min, or for the sign-flipped kernels the
// row's correction in the first entry of its group). Row r, block b of a
// tile of n_blocks blocks per row: values at (r * n_blocks + b) * 256,
// d and dmin at b * 16 + r, scales and mins at (r * n_blocks + b) * NSUB.
struct tiled_tile_src0 {
    alignas(64) uint8_t qs[65536];
    float   d[256];
    float   dmin[256];
    int32_t scales[4096];
    int32_t mins[4096];
};

// Activation tile of block_q8_K rows (the product's columns): values at
// (c * n_blocks + b) * 256, the 16-value sums of group l at l * 256 + c
// with one block per row and (b * 16 + l) * 16 + c with several, the scale
// at b * 16 + c. The per-row scalars of 8 consecutive rows are contiguous,
// so a kernel loads them with one vector load.
struct tiled_tile_src1 {
    alignas(64) int8_t qs[65536];
    int32_t bsums[4096];
    float   d[256];
};

static_assert(sizeof(struct tiled_tile_src0) == 100352, "weight tile layout");
static_assert(sizeof(struct tiled_tile_src1) == 82944, "activation tile layout");

// offsets inside a thread's slice
#define TILED_SLICE_SRC0 0
#define TILED_SLICE_SRC1 100352
#define TILED_SLICE_OUT  183296

// ---------------------------------------------------------------------------
// weight unpackers (unpack.cpp): n_rows rows of n_blocks blocks each, rows
// row_stride blocks apart, from the first block at src

typedef void (*tiled_unpack_t)(const void * src, uint64_t row_stride, int32_t n_rows, struct tiled_tile_src0 * tile,
                               uint64_t n_blocks);

void tiled_unpack_src0_q2_K(const void *, uint64_t, int32_t, struct tiled_tile_src0 *, uint64_t);
void tiled_unpack_src0_q3_K(const void *, uint64_t, int32_t, struct tiled_tile_src0 *, uint64_t);
void tiled_unpack_src0_q4_K(const void *, uint64_t, int32_t, struct tiled_tile_src0 *, uint64_t);
void tiled_unpack_src0_q5_K(const void *, uint64_t, int32_t, struct tiled_tile_src0 *, uint64_t);
void tiled_unpack_src0_q6_K(const void *, uint64_t, int32_t, struct tiled_tile_src0 *, uint64_t);
void tiled_unpack_src0_iq2_xxs(const void *, uint64_t, int32_t, struct tiled_tile_src0 *, uint64_t);
void tiled_unpack_src0_iq2_xs(const void *, uint64_t, int32_t, struct tiled_tile_src0 *, uint64_t);
void tiled_unpack_src0_iq3_xxs(const void *, uint64_t, int32_t, struct tiled_tile_src0 *, uint64_t);
void tiled_unpack_src0_iq1_s(const void *, uint64_t, int32_t, struct tiled_tile_src0 *, uint64_t);
void tiled_unpack_src0_iq3_s(const void *, uint64_t, int32_t, struct tiled_tile_src0 *, uint64_t);
void tiled_unpack_src0_iq2_s(const void *, uint64_t, int32_t, struct tiled_tile_src0 *, uint64_t);
void tiled_unpack_src0_iq4_xs(const void *, uint64_t, int32_t, struct tiled_tile_src0 *, uint64_t);
void tiled_unpack_src0_iq1_m(const void *, uint64_t, int32_t, struct tiled_tile_src0 *, uint64_t);

// ---------------------------------------------------------------------------
// tile routines (tiles.cpp)

// blocks k0 .. k0 + n_blocks - 1 of n_rows converted rows into the tile;
// rows up to the next multiple of 16 are zero-filled
void tiled_gather_src1(const void * const * rows, int32_t n_rows, struct tiled_tile_src1 * tile, int32_t k0,
                       int32_t n_blocks);

// with flag, 16 rows from c0 on turn every value a into the byte a + 128
void tiled_repack_src1(struct tiled_tile_src1 * tile, int32_t c0, int32_t n_blocks, bool flag);

// with flag, per row and block the amount that multiplying by a + 128
// instead of a adds, into the first mins entry of the row's group
template <int SUB>
void tiled_repack_src0(struct tiled_tile_src0 * tile, int32_t n_rows, int32_t n_blocks, int32_t offset, bool flag);

// dst[c * stride + r] = out[r * 256 + c]
void tiled_store_dst(const float * out, int32_t n_rows, int32_t n_cols, float * dst, size_t stride);

// dst_rows[c][r] = out[r * 256 + c]
void tiled_store_dst_rows(const float * out, int32_t n_rows, int32_t n_cols, float * const * dst_rows);

// ---------------------------------------------------------------------------
// micro-kernels (x86/microkernels.cpp): adds the 16 x 16 products of weight
// rows row0.. and activation rows col0.. over one block into out

template <int SUB, bool MINS, int OFFSET, bool FLAG>
void tiled_run_microtile(const struct tiled_tile_src0 * A, const struct tiled_tile_src1 * B, int32_t row0,
                         int32_t col0, int32_t n_blocks, int32_t block, float * out, int32_t ld);

// ---------------------------------------------------------------------------
// driver (driver.cpp)

// Matrix mode (routed null): the whole MUL_MAT node. Expert mode: the
// routed rows of one expert of a MUL_MAT_ID node, tile slices at workspace.
// False (nothing done) for a weight type without a tiled form.
bool tiled_mul_mat_run(const struct tevo_compute_params * params, struct tevo_tensor * dst,
                       const struct mmid_row_mapping * routed, int64_t expert, int64_t n_routed, void * workspace);

// whether the tiled path has a form for weights of this type
bool tiled_type_eligible(enum tevo_type type);
