#pragma once

// Repacked weights: quantized weight matrices kept as interleaved records of
// 4 or 8 consecutive rows, so that one kernel call yields 4 or 8 outputs per
// activation row. This header holds what the files of this folder share:
// the records, the kernels and 4-row activation quantizers (one call form
// for all of them), the traits objects that compute MUL_MAT and MUL_MAT_ID
// over a layout, and the layout choice.
//
// A layout is named <type>_<NB_COLS>x<INTER>: NB_COLS weight rows per record,
// INTER bytes (bits for q1_0) of one row side by side before the next row's.
// Kernels without suffix are the ones the traits call; those ending in
// _generic are the portable twins of the x86 ones (x86/) and define their
// arithmetic.

#include "core/impl.h"
#include "cpu/extra-buffer-types.h"
#include "cpu/ops/kernel.h"
#include "quants/blocks.h"

#include <stddef.h>
#include <stdint.h>

extern "C" {

// ---------------------------------------------------------------------------
// records: exactly the bytes of the plain blocks they replace, no padding

typedef struct {
    tevo_fp16_t d[4];   // row r's scale
    uint8_t     qs[64]; // nibbles stored XOR 8: read as signed, they are q - 8
} block_q4_0x4;

typedef struct {
    tevo_fp16_t d[8];
    uint8_t     qs[128];
} block_q4_0x8;

// iq4_nl: nibbles are indices into the level table, stored unchanged
typedef struct {
    tevo_fp16_t d[4];
    uint8_t     qs[64];
} block_iq4_nlx4;

typedef struct {
    tevo_fp16_t d[8];
    uint8_t     qs[128];
} block_iq4_nlx8;

typedef struct {
    uint8_t e[4];       // E8M0 exponents
    uint8_t qs[64];
} block_mxfp4x4;

typedef struct {
    uint8_t e[8];
    uint8_t qs[128];
} block_mxfp4x8;

// q8_0 weights, and four activation rows before a GEMM
typedef struct {
    tevo_fp16_t d[4];
    int8_t      qs[128];
} block_q8_0x4;

typedef struct {
    tevo_fp16_t d[4];
    uint8_t     qs[64]; // sign bits
} block_q1_0x4;

typedef struct {
    tevo_fp16_t d[8];
    tevo_fp16_t dmin[8];
    uint8_t     scales[96]; // group g: sub-block g of the 8 rows, packed as a block_q4_K packs 8 sub-blocks
    uint8_t     qs[1024];
} block_q4_Kx8;

typedef struct {
    tevo_fp16_t d[8];
    tevo_fp16_t dmin[8];
    uint8_t     scales[96];
    uint8_t     qh[256];
    uint8_t     qs[1024];
} block_q5_Kx8;

typedef struct {
    tevo_fp16_t d[8];
    int8_t      scales[128]; // scale k of row j at 8k + j
    uint8_t     ql[1024];
    uint8_t     qh[512];
} block_q6_Kx8;

typedef struct {
    tevo_fp16_t d[8];
    tevo_fp16_t dmin[8];
    uint8_t     scales[128]; // 2-byte chunks: scale bytes 2k, 2k+1 of row j at 16k + 2j
    uint8_t     qs[512];     // 8-byte chunks
} block_q2_Kx8;

// four activation rows of 256 values
typedef struct {
    float   d[4];
    int8_t  qs[1024];
    int16_t bsums[64]; // row r, values 16h..16h+15 at (h / 4) * 16 + r * 4 + h % 4
} block_q8_Kx4;

// ---------------------------------------------------------------------------
// The call forms (every kernel and quantizer below):
//
// GEMV: s[c] = dot(activation row vy, weight row c) for c < nc, nc a
// multiple of NB_COLS; vx is the first record of the call's first group of
// rows (a group is n / QK records). Portable kernels read one row and ignore
// nr and bs; the x86 ones read nr rows, row y of plain blocks after row y-1,
// into s + y * bs.
// GEMM: vy holds nr / 4 runs of 4-row activation records; the result of row
// r and weight row c goes to s[r * bs + c]. Results replace what s held.
// 4-row quantizer: x holds 4 rows of k floats one after another (no stride).

#define TEVO_REPACK_MM_ARGS int n, float * s, size_t bs, const void * vx, const void * vy, int nr, int nc

typedef void (*tevo_repack_mm_t)(TEVO_REPACK_MM_ARGS);
typedef void (*tevo_repack_quantize_t)(const float * x, void * vy, int64_t k);

void tevo_quantize_mat_q8_0_4x4(const float * x, void * vy, int64_t k);
void tevo_quantize_mat_q8_0_4x8(const float * x, void * vy, int64_t k);
void tevo_quantize_mat_q8_0_4x8_generic(const float * x, void * vy, int64_t k);
void tevo_quantize_mat_q8_K_4x4(const float * x, void * vy, int64_t k);
void tevo_quantize_mat_q8_K_4x8(const float * x, void * vy, int64_t k);
void tevo_quantize_mat_q8_K_4x8_generic(const float * x, void * vy, int64_t k);

#define TEVO_REPACK_KERNELS(name)                        \
    void tevo_gemv_##name(TEVO_REPACK_MM_ARGS);          \
    void tevo_gemm_##name(TEVO_REPACK_MM_ARGS)

// portable only
TEVO_REPACK_KERNELS(q4_0_4x4_q8_0);
TEVO_REPACK_KERNELS(q4_0_4x8_q8_0);
TEVO_REPACK_KERNELS(iq4_nl_4x4_q8_0);
TEVO_REPACK_KERNELS(mxfp4_4x4_q8_0);
TEVO_REPACK_KERNELS(q8_0_4x4_q8_0);
TEVO_REPACK_KERNELS(q8_0_4x8_q8_0);
TEVO_REPACK_KERNELS(q1_0_4x4_q8_0);
TEVO_REPACK_KERNELS(q1_0_4x8_q8_0);
TEVO_REPACK_KERNELS(q4_K_8x4_q8_K);
TEVO_REPACK_KERNELS(q5_K_8x4_q8_K);
TEVO_REPACK_KERNELS(q5_K_8x8_q8_K);
TEVO_REPACK_KERNELS(q6_K_8x4_q8_K);
TEVO_REPACK_KERNELS(q6_K_8x8_q8_K);

// x86 (AVX2, FMA, F16C) and their portable twins
TEVO_REPACK_KERNELS(q4_0_8x8_q8_0);
TEVO_REPACK_KERNELS(q4_0_8x8_q8_0_generic);
TEVO_REPACK_KERNELS(iq4_nl_8x8_q8_0);
TEVO_REPACK_KERNELS(iq4_nl_8x8_q8_0_generic);
TEVO_REPACK_KERNELS(mxfp4_8x8_q8_0);
TEVO_REPACK_KERNELS(mxfp4_8x8_q8_0_generic);
TEVO_REPACK_KERNELS(q4_K_8x8_q8_K);
TEVO_REPACK_KERNELS(q4_K_8x8_q8_K_generic);
TEVO_REPACK_KERNELS(q2_K_8x8_q8_K);
TEVO_REPACK_KERNELS(q2_K_8x8_q8_K_generic);

#undef TEVO_REPACK_KERNELS

} // extern "C"

static_assert(sizeof(block_q4_0x4) == 72, "block_q4_0x4 size");
static_assert(sizeof(block_q4_0x8) == 144, "block_q4_0x8 size");
static_assert(sizeof(block_iq4_nlx4) == 72, "block_iq4_nlx4 size");
static_assert(sizeof(block_iq4_nlx8) == 144, "block_iq4_nlx8 size");
static_assert(sizeof(block_mxfp4x4) == 68, "block_mxfp4x4 size");
static_assert(sizeof(block_mxfp4x8) == 136, "block_mxfp4x8 size");
static_assert(sizeof(block_q8_0x4) == 136, "block_q8_0x4 size");
static_assert(sizeof(block_q1_0x4) == 72, "block_q1_0x4 size");
static_assert(sizeof(block_q4_Kx8) == 1152, "block_q4_Kx8 size");
static_assert(sizeof(block_q5_Kx8) == 1408, "block_q5_Kx8 size");
static_assert(sizeof(block_q6_Kx8) == 1680, "block_q6_Kx8 size");
static_assert(sizeof(block_q2_Kx8) == 672, "block_q2_Kx8 size");
static_assert(sizeof(block_q8_Kx4) == 1168, "block_q8_Kx4 size");

// ---------------------------------------------------------------------------
// weight repacking and the traits objects

namespace tevo::cpu::repack {

// Rewrites the plain rows in data (data_size bytes, the whole tensor) as
// records into t->data: 0, or -1 when the shape does not fit the layout
// (nothing written). Defined per layout in layout-blocks.cpp and
// layout-kquants.cpp.
template <typename BLOCK_TYPE, int64_t INTER, int64_t NB_COLS>
int repack(struct tevo_tensor * t, const void * data, size_t data_size);

template <> int repack<block_q1_0, 4, 4>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_q1_0, 8, 4>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_q4_0, 4, 4>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_q4_0, 8, 4>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_q4_0, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_iq4_nl, 4, 4>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_iq4_nl, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_mxfp4, 4, 4>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_mxfp4, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_q8_0, 4, 4>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_q8_0, 8, 4>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_q4_K, 4, 8>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_q4_K, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_q5_K, 4, 8>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_q5_K, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_q6_K, 4, 8>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_q6_K, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size);
template <> int repack<block_q2_K, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size);

// The quantized bytes of R rows into one record area, W bytes at a time:
// byte N is byte (N / (R W)) W + N mod W of row (N / W) mod R (XOR mask).
inline void interleave_bytes(uint8_t * dst, const uint8_t * const * src, int R, int W, int bytes_per_row,
                             uint8_t xor_mask) {
    for (int N = 0; N < R * bytes_per_row; N += W) {
        const int row = (N / W) % R;
        const int off = (N / (R * W)) * W;
        for (int i = 0; i < W; ++i) {
            dst[N + i] = (uint8_t) (src[row][off + i] ^ xor_mask);
        }
    }
}

// what the buffer's upload calls: the layout's repacking
class tensor_traits_base : public tevo::cpu::tensor_traits {
  public:
    virtual int repack(struct tevo_tensor * t, const void * data, size_t data_size) = 0;
};

// The traits object of a layout, or NULL when there is no such layout.
// Every layout exists on every processor; which one a weight gets is
// tevo_repack_select_traits's choice.
tensor_traits_base * get_traits(enum tevo_type type, int64_t inter, int64_t nb_cols);

// How a MUL_MAT splits nr weight rows of each plane among nth threads:
// nchunk chunks of about dr rows, per_plane of them with rows (boundaries
// rounded up to whole groups of nb_cols rows).
struct chunk_plan {
    int64_t nchunk;
    int64_t dr;
    int64_t per_plane;
};
chunk_plan plan_chunks(int64_t nr, int nth, int64_t nb_cols, bool numa);

} // namespace tevo::cpu::repack

// The layout a weight gets in a CPU_REPACK buffer, or NULL (plain rows).
tevo::cpu::repack::tensor_traits_base * tevo_repack_select_traits(const struct tevo_tensor * t);
