#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/repack"

// Interleaved layouts of the K-quants (q4_K, q5_K, q6_K, q2_K; 8 rows per
// record) and the q8_K activation records of four rows.
//
// A record holds the same 256-value block of 8 consecutive rows. Scales come
// first, regrouped so that one read serves all 8 rows: q4_K and q5_K keep
// their 12-byte packing of eight 6-bit scales and mins, but group g now
// holds sub-block g of the 8 rows (the packing's index is the row); q6_K
// puts scale k of the 8 rows side by side; q2_K interleaves the rows' scale
// bytes two at a time. The quantized bytes (ql, qh, qs) of the 8 rows are
// woven INTER bytes at a time (q2_K: 8). No value is requantized.

#include "cpu/repack/repack.h"
#include "quants/impl.h"

#include <math.h>
#include <string.h>

using tevo::cpu::repack::interleave_bytes;

namespace {

// sub-block g's 6-bit scale and min from the 12 packed bytes of a q4_K/q5_K
inline void get_scale_min_k4(int g, const uint8_t * q, uint8_t * s, uint8_t * m) {
    if (g < 4) {
        *s = q[g] & 63;
        *m = q[g + 4] & 63;
    } else {
        *s = (uint8_t) ((q[g + 4] & 15) | ((q[g - 4] >> 6) << 4));
        *m = (uint8_t) ((q[g + 4] >> 4) | ((q[g] >> 6) << 4));
    }
}

// eight (scale, min) pairs packed as a block packs its eight sub-blocks
inline void pack_scale_min_k4(const uint8_t * s, const uint8_t * m, uint8_t * q) {
    for (int j = 0; j < 4; ++j) {
        q[j]     = (uint8_t) ((s[j] & 63) | ((s[j + 4] >> 4) << 6));
        q[4 + j] = (uint8_t) ((m[j] & 63) | ((m[j + 4] >> 4) << 6));
        q[8 + j] = (uint8_t) ((s[j + 4] & 15) | ((m[j + 4] & 15) << 4));
    }
}

// the 96 scale bytes of a q4_Kx8 or q5_Kx8 record from the rows' 12 each
void regroup_scales_k4(const uint8_t * const * row_scales, uint8_t * out) {
    for (int g = 0; g < 8; ++g) {
        uint8_t s[8], m[8];
        for (int i = 0; i < 8; ++i) {
            get_scale_min_k4(g, row_scales[i], &s[i], &m[i]);
        }
        pack_scale_min_k4(s, m, out + 12 * g);
    }
}

struct kquant_checks {
    enum tevo_type type;
    const char *   type_text;
    const char *   interleave_text;
    const char *   size_text;
    size_t         block_size;
};

// The common steps of every K-quant repacking; returns the number of
// blocks per row, or -1 (shape does not fit) / 0 (nothing to write).
int64_t check_kquant(const kquant_checks & c, const struct tevo_tensor * t, int interleave_block, size_t data_size,
                     int64_t * nrow_out) {
    TEVO_ASSERT_AS(t->type == c.type, c.type_text);
    TEVO_ASSERT_AS(interleave_block == 4 || interleave_block == 8, c.interleave_text);
    const int64_t nrow    = tevo_nrows(t);
    const int64_t nblocks = t->ne[0] / QK_K;
    TEVO_ASSERT_AS(nrow >= 0 && nblocks >= 0 && data_size == (size_t) (nrow * nblocks) * c.block_size, c.size_text);
    *nrow_out = nrow;
    if (t->ne[1] % 8 != 0 || t->ne[0] % 8 != 0) {
        return -1;
    }
    return nrow > 0 ? nblocks : 0;
}

int repack_rows_q4_K_x8(struct tevo_tensor * t, int interleave_block, const void * data, size_t data_size) {
    static const kquant_checks c = { TEVO_TYPE_Q4_K, "t->type == TEVO_TYPE_Q4_K",
                                     "interleave_block == 8 || interleave_block == 4",
                                     "data_size == nrow * nblocks * sizeof(block_q4_K)", sizeof(block_q4_K) };
    int64_t       nrow    = 0;
    const int64_t nblocks = check_kquant(c, t, interleave_block, data_size, &nrow);
    if (nblocks <= 0) {
        return (int) nblocks;
    }
    const block_q4_K * src = (const block_q4_K *) data;
    block_q4_Kx8 *     dst = (block_q4_Kx8 *) t->data;

    for (int64_t b = 0; b < nrow; b += 8) {
        for (int64_t x = 0; x < nblocks; ++x) {
            const uint8_t * scales[8];
            const uint8_t * qs[8];
            for (int i = 0; i < 8; ++i) {
                const block_q4_K & blk = src[(b + i) * nblocks + x];
                dst->d[i]              = blk.d;
                dst->dmin[i]           = blk.dmin;
                scales[i]              = blk.scales;
                qs[i]                  = blk.qs;
            }
            regroup_scales_k4(scales, dst->scales);
            interleave_bytes(dst->qs, qs, 8, interleave_block, QK_K / 2, 0);
            ++dst;
        }
    }
    return 0;
}

int repack_rows_q5_K_x8(struct tevo_tensor * t, int interleave_block, const void * data, size_t data_size) {
    static const kquant_checks c = { TEVO_TYPE_Q5_K, "t->type == TEVO_TYPE_Q5_K",
                                     "interleave_block == 4 || interleave_block == 8",
                                     "data_size == nrow * nblocks * sizeof(block_q5_K)", sizeof(block_q5_K) };
    int64_t       nrow    = 0;
    const int64_t nblocks = check_kquant(c, t, interleave_block, data_size, &nrow);
    if (nblocks <= 0) {
        return (int) nblocks;
    }
    const block_q5_K * src = (const block_q5_K *) data;
    block_q5_Kx8 *     dst = (block_q5_Kx8 *) t->data;

    for (int64_t b = 0; b < nrow; b += 8) {
        for (int64_t x = 0; x < nblocks; ++x) {
            const uint8_t * scales[8];
            const uint8_t * qh[8];
            const uint8_t * qs[8];
            for (int i = 0; i < 8; ++i) {
                const block_q5_K & blk = src[(b + i) * nblocks + x];
                dst->d[i]              = blk.d;
                dst->dmin[i]           = blk.dmin;
                scales[i]              = blk.scales;
                qh[i]                  = blk.qh;
                qs[i]                  = blk.qs;
            }
            regroup_scales_k4(scales, dst->scales);
            interleave_bytes(dst->qh, qh, 8, interleave_block, QK_K / 8, 0);
            interleave_bytes(dst->qs, qs, 8, interleave_block, QK_K / 2, 0);
            ++dst;
        }
    }
    return 0;
}

int repack_rows_q6_K_x8(struct tevo_tensor * t, int interleave_block, const void * data, size_t data_size) {
    static const kquant_checks c = { TEVO_TYPE_Q6_K, "t->type == TEVO_TYPE_Q6_K",
                                     "interleave_block == 4 || interleave_block == 8",
                                     "data_size == nrow * nblocks * sizeof(block_q6_K)", sizeof(block_q6_K) };
    int64_t       nrow    = 0;
    const int64_t nblocks = check_kquant(c, t, interleave_block, data_size, &nrow);
    if (nblocks <= 0) {
        return (int) nblocks;
    }
    const block_q6_K * src = (const block_q6_K *) data;
    block_q6_Kx8 *     dst = (block_q6_Kx8 *) t->data;

    for (int64_t b = 0; b < nrow; b += 8) {
        for (int64_t x = 0; x < nblocks; ++x) {
            const uint8_t * ql[8];
            const uint8_t * qh[8];
            for (int i = 0; i < 8; ++i) {
                const block_q6_K & blk = src[(b + i) * nblocks + x];
                dst->d[i]              = blk.d;
                for (int k = 0; k < QK_K / 16; ++k) {
                    dst->scales[8 * k + i] = blk.scales[k];
                }
                ql[i] = blk.ql;
                qh[i] = blk.qh;
            }
            interleave_bytes(dst->ql, ql, 8, interleave_block, QK_K / 2, 0);
            interleave_bytes(dst->qh, qh, 8, interleave_block, QK_K / 4, 0);
            ++dst;
        }
    }
    return 0;
}

int repack_rows_q2_K_x8(struct tevo_tensor * t, const void * data, size_t data_size) {
    static const kquant_checks c = { TEVO_TYPE_Q2_K, "t->type == TEVO_TYPE_Q2_K",
                                     "interleave_block == 8",
                                     "data_size == nrow * nblocks * sizeof(block_q2_K)", sizeof(block_q2_K) };
    int64_t       nrow    = 0;
    const int64_t nblocks = check_kquant(c, t, 8, data_size, &nrow);
    if (nblocks <= 0) {
        return (int) nblocks;
    }
    const block_q2_K * src = (const block_q2_K *) data;
    block_q2_Kx8 *     dst = (block_q2_Kx8 *) t->data;

    for (int64_t b = 0; b < nrow; b += 8) {
        for (int64_t x = 0; x < nblocks; ++x) {
            const uint8_t * scales[8];
            const uint8_t * qs[8];
            for (int i = 0; i < 8; ++i) {
                const block_q2_K & blk = src[(b + i) * nblocks + x];
                dst->d[i]              = blk.d;
                dst->dmin[i]           = blk.dmin;
                scales[i]              = blk.scales;
                qs[i]                  = blk.qs;
            }
            interleave_bytes(dst->scales, scales, 8, 2, QK_K / 16, 0);
            interleave_bytes(dst->qs, qs, 8, 8, QK_K / 4, 0);
            ++dst;
        }
    }
    return 0;
}

// Four activation rows into q8_K records woven W bytes at a time, with the
// rule of the plain row quantizer: the first value of largest magnitude
// becomes -127, codes rounded half to even, the 16-value sums from the
// codes. A block with an infinite or NaN value gets an infinite scale and
// zero codes and sums, as a plain row would.
void quantize_mat_q8_K_4xW(const float * x, void * vy, int64_t k, int W) {
    const int64_t  nb = k / QK_K;
    block_q8_Kx4 * y  = (block_q8_Kx4 *) vy;

    for (int64_t b = 0; b < nb; ++b) {
        float iscale[4];
        for (int r = 0; r < 4; ++r) {
            const float * xr = x + r * k + b * QK_K;
            if (!tevo_q_finite(xr, QK_K)) {
                iscale[r] = 0.0f;
                y[b].d[r] = INFINITY;
                continue;
            }
            float amax = 0.0f;
            float max  = 0.0f;
            for (int i = 0; i < QK_K; ++i) {
                const float ax = fabsf(xr[i]);
                if (ax > amax) {
                    amax = ax;
                    max  = xr[i];
                }
            }
            if (amax == 0.0f) {
                iscale[r] = 0.0f;
                y[b].d[r] = 0.0f;
            } else {
                iscale[r] = -127.0f / max;
                y[b].d[r] = 1.0f / iscale[r];
            }
        }
        memset(y[b].bsums, 0, sizeof(y[b].bsums));
        for (int N = 0; N < 4 * QK_K; ++N) {
            const int r = (N / W) % 4;
            const int e = (N / (4 * W)) * W + N % W;
            // a zero inverse scale also stands for a non-finite block: no product with it
            const int q = iscale[r] != 0.0f ? tevo_q_nearest_int(x[r * k + b * QK_K + e] * iscale[r]) : 0;
            y[b].qs[N]  = (int8_t) q;
            y[b].bsums[(e / 64) * 16 + r * 4 + (e / 16) % 4] += (int16_t) q;
        }
    }
}

} // namespace

namespace tevo::cpu::repack {

template <> int repack<block_q4_K, 4, 8>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows_q4_K_x8(t, 4, data, data_size);
}
template <> int repack<block_q4_K, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows_q4_K_x8(t, 8, data, data_size);
}
template <> int repack<block_q5_K, 4, 8>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows_q5_K_x8(t, 4, data, data_size);
}
template <> int repack<block_q5_K, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows_q5_K_x8(t, 8, data, data_size);
}
template <> int repack<block_q6_K, 4, 8>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows_q6_K_x8(t, 4, data, data_size);
}
template <> int repack<block_q6_K, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows_q6_K_x8(t, 8, data, data_size);
}
template <> int repack<block_q2_K, 8, 8>(struct tevo_tensor * t, const void * data, size_t data_size) {
    return repack_rows_q2_K_x8(t, data, data_size);
}

} // namespace tevo::cpu::repack

extern "C" {

void tevo_quantize_mat_q8_K_4x4(const float * x, void * vy, int64_t k) {
    quantize_mat_q8_K_4xW(x, vy, k, 4);
}

void tevo_quantize_mat_q8_K_4x8_generic(const float * x, void * vy, int64_t k) {
    quantize_mat_q8_K_4xW(x, vy, k, 8);
}

} // extern "C"
