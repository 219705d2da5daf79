#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/repack"

// Interleaved layouts of the 32-value formats (q4_0, iq4_nl, mxfp4, q8_0)
// and of q1_0, and the q8_0 activation records of four rows.
//
// A record holds block b of R consecutive rows: the R scales in row order,
// then the rows' quantized bytes woven W at a time: byte N of the area is
// byte (N / (R W)) W + N mod W of row (N / W) mod R. q1_0 weaves W bits the
// same way. q4_0 bytes are stored XOR 0x88, so each nibble read as a signed
// 4-bit number is its value q - 8 and the kernels need no subtraction;
// iq4_nl and mxfp4 nibbles index value tables and stay as they are.
//
// Groups of R rows follow each other, each as n / QK records in block order;
// a repacked tensor fills exactly the bytes of the plain one.

#include "cpu/repack/repack.h"
#include "quants/impl.h"

#include <math.h>
#include <string.h>

namespace {

using tevo::cpu::repack::interleave_bytes;

// the sign bits of 4 rows of 128 values, W bits at a time
void interleave_bits(uint8_t * dst, const uint8_t * const * src, int W) {
    memset(dst, 0, 64);
    for (int P = 0; P < 512; ++P) {
        const int row = (P / W) % 4;
        const int v   = (P / (4 * W)) * W + P % W;
        if ((src[row][v / 8] >> (v % 8)) & 1) {
            dst[P / 8] = (uint8_t) (dst[P / 8] | (1u << (P % 8)));
        }
    }
}

// What differs between the formats of this family.
struct block_family {
    enum tevo_type type;
    const char *   type_text;  // "t->type == TEVO_TYPE_Q4_0"
    const char *   size_text;  // "data_size == nrow * nblocks * sizeof(block_q4_0)"
    int64_t        qk;         // values per block
    size_t         block_size; // bytes of a plain block
    size_t         scale_size; // bytes of its scale field, which comes first
    int            qs_bytes;   // bytes of quantized data after it
    uint8_t        xor_mask;
    bool           bits;       // the chunks are W bits, not W bytes
};

const block_family fam_q4_0  = { TEVO_TYPE_Q4_0, "t->type == TEVO_TYPE_Q4_0",
                                 "data_size == nrow * nblocks * sizeof(block_q4_0)", QK4_0, sizeof(block_q4_0),
                                 sizeof(tevo_fp16_t), QK4_0 / 2, 0x88, false };
const block_family fam_iq4_nl = { TEVO_TYPE_IQ4_NL, "t->type == TEVO_TYPE_IQ4_NL",
                                  "data_size == nrow * nblocks * sizeof(block_iq4_nl)", QK4_NL, sizeof(block_iq4_nl),
                                  sizeof(tevo_fp16_t), QK4_NL / 2, 0x00, false };
const block_family fam_mxfp4 = { TEVO_TYPE_MXFP4, "t->type == TEVO_TYPE_MXFP4",
                                 "data_size == nrow * nblocks * sizeof(block_mxfp4)", QK_MXFP4, sizeof(block_mxfp4),
                                 1, QK_MXFP4 / 2, 0x00, false };
const block_family fam_q8_0  = { TEVO_TYPE_Q8_0, "t->type == TEVO_TYPE_Q8_0",
                                 "data_size == nrow * nblocks * sizeof(block_q8_0)", QK8_0, sizeof(block_q8_0),
                                 sizeof(tevo_fp16_t), QK8_0, 0x00, false };
const block_family fam_q1_0  = { TEVO_TYPE_Q1_0, "t->type == TEVO_TYPE_Q1_0",
                                 "data_size == nrow * nblocks * sizeof(block_q1_0)", QK1_0, sizeof(block_q1_0),
                                 sizeof(tevo_fp16_t), QK1_0 / 8, 0x00, true };

// Records of R rows, interleave W: one per block of each group of R rows,
// written in destination order. Scales first (row order), then the woven
// quantized area; the record is scale_size * R + qs_bytes * R bytes.
int repack_rows(const block_family & f, struct tevo_tensor * t, int W, int R, const void * data, size_t data_size,
                bool shared_worker) {
    TEVO_ASSERT_AS(t->type == f.type, f.type_text);
    if (shared_worker) {
        TEVO_ASSERT_AS(W == 4 || W == 8, "interleave_block == 4 || interleave_block == 8");
    }
    const int64_t nrow    = tevo_nrows(t);
    const int64_t nblocks = t->ne[0] / f.qk;
    TEVO_ASSERT_AS(nrow >= 0 && nblocks >= 0 && data_size == (size_t) (nrow * nblocks) * f.block_size, f.size_text);

    if (t->ne[0] % 8 != 0 || t->ne[1] % R != 0) {
        return -1;
    }
    if (nblocks <= 0 || nrow <= 0) {
        return 0;
    }

    const uint8_t * src         = (const uint8_t *) data;
    uint8_t *       dst         = (uint8_t *) t->data;
    const size_t    record_size = (f.scale_size + (size_t) f.qs_bytes) * (size_t) R;

    const uint8_t * rows[8];
    for (int64_t g0 = 0; g0 < nrow; g0 += R) {
        for (int64_t b = 0; b < nblocks; ++b) {
            for (int r = 0; r < R; ++r) {
                const uint8_t * block = src + ((size_t) ((g0 + r) * nblocks + b)) * f.block_size;
                memcpy(dst + (size_t) r * f.scale_size, block, f.scale_size);
                rows[r] = block + f.scale_size;
            }
            uint8_t * area = dst + (size_t) R * f.scale_size;
            if (f.bits) {
                interleave_bits(area, rows, W);
            } else {
                interleave_bytes(area, rows, R, W, f.qs_bytes, f.xor_mask);
            }
            dst += record_size;
        }
    }
    return 0;
}

int repack_rows_q4_0_x4(struct tevo_tensor * t, int interleave_block, const void * data, size_t data_size) {
    return repack_rows(fam_q4_0, t, interleave_block, 4, data, data_size, true);
}

int repack_rows_q8_0_x4(struct tevo_tensor * t, int interleave_block, const void * data, size_t data_size) {
    return repack_rows(fam_q8_0, t, interleave_block, 4, data, data_size, true);
}

int repack_rows_q1_0_x4(struct tevo_tensor * t, int interleave_block, const void * data, size_t data_size) {
    return repack_rows(fam_q1_0, t, interleave_block, 4, data, data_size, true);
}

// Four activation rows into q8_0 records woven W bytes at a time, with the
// portable rule of the plain row quantizer: d = amax / 127, codes x / d
// rounded half away from zero; a block with an infinite or NaN value gets an
// infinite scale and zero codes, as a plain row would.
void quantize_mat_q8_0_4xW(const float * x, void * vy, int64_t k, int W) {
    const int64_t  nb = k / QK8_0;
    block_q8_0x4 * y  = (block_q8_0x4 *) vy;

    for (int64_t b = 0; b < nb; ++b) {
        float id[4];
        for (int r = 0; r < 4; ++r) {
            const float * xr = x + r * k + b * QK8_0;
            if (!tevo_q_finite(xr, QK8_0)) {
                y[b].d[r] = TEVO_Q_FP16_INF;
                id[r]     = 0.0f;
                continue;
            }
            float amax = 0.0f;
            for (int i = 0; i < QK8_0; ++i) {
                amax = TEVO_MAX(amax, fabsf(xr[i]));
            }
            const float d = amax / 127;
            id[r]         = d != 0.0f ? 1.0f / d : 0.0f;
            y[b].d[r]     = TEVO_FP32_TO_FP16(d);
        }
        for (int r = 0; r < 4; ++r) {
            const float * xr = x + r * k + b * QK8_0;
            for (int i = 0; i < QK8_0; ++i) {
                // a zero inverse scale also stands for a non-finite block: no product with it
                y[b].qs[(i / W) * 4 * W + r * W + i % W] = id[r] != 0.0f ? (int8_t) roundf(xr[i] * id[r]) : 0;
            }
        }
    }
}

} // namespace

namespace tevo::cpu::repack {

template <> int repack<block_q1_0, 4, 4>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows_q1_0_x4(t, 4, data, data_size);
}
template <> int repack<block_q1_0, 8, 4>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows_q1_0_x4(t, 8, data, data_size);
}
template <> int repack<block_q4_0, 4, 4>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows_q4_0_x4(t, 4, data, data_size);
}
template <> int repack<block_q4_0, 8, 4>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows_q4_0_x4(t, 8, data, data_size);
}
template <> int repack<block_q4_0, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows(fam_q4_0, t, 8, 8, data, data_size, false);
}
template <> int repack<block_iq4_nl, 4, 4>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows(fam_iq4_nl, t, 4, 4, data, data_size, false);
}
template <> int repack<block_iq4_nl, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows(fam_iq4_nl, t, 8, 8, data, data_size, false);
}
template <> int repack<block_mxfp4, 4, 4>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows(fam_mxfp4, t, 4, 4, data, data_size, false);
}
template <> int repack<block_mxfp4, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows(fam_mxfp4, t, 8, 8, data, data_size, false);
}
template <> int repack<block_q8_0, 4, 4>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows_q8_0_x4(t, 4, data, data_size);
}
template <> int repack<block_q8_0, 8, 4>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows_q8_0_x4(t, 8, data, data_size);
}

} // namespace tevo::cpu::repack

extern "C" {

void tevo_quantize_mat_q8_0_4x4(const float * x, void * vy, int64_t k) {
    quantize_mat_q8_0_4xW(x, vy, k, 4);
}

void tevo_quantize_mat_q8_0_4x8_generic(const float * x, void * vy, int64_t k) {
    quantize_mat_q8_0_4xW(x, vy, k, 8);
}

} // extern "C"
