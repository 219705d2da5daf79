#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tiled/tiled"

// The tiled product dst = src0 x src1 with K-quant or i-quant weights.
//
// Matrix mode (a whole MUL_MAT): the activations are converted to q8_K
// rows once, every thread a column band of every row; after the one
// barrier, chunks of output (weight rows by activation rows) are handed
// out through the pool's chunk counter, each thread starting with its own
// index. A chunk's activation rows go in groups of up to 256 that never
// span two planes, its weight rows in blocks of up to 256; each pair fills
// the float result tile in the thread's slice of the work buffer, which is
// then written transposed into dst.
//
// Expert mode (the rows one MUL_MAT_ID expert was routed): the caller has
// converted the activations and passed a barrier; threads split the
// expert's weight rows statically in groups of 64.
//
// Two schedules fill a result tile. Wide (17 or more activation rows): per
// 256-value block, the weight rows are unpacked once and used against all
// activation rows. Narrow (16 or fewer): per slice of up to 3 blocks, the
// activation rows are gathered once and the weight rows unpacked 16 at a
// time, so a weight row is read once per product however few columns it
// meets.

#include "cpu/tiled/tiled.h"
#include "quants/blocks.h"

#include <string.h>

namespace {

// how one weight type goes through the tiles
struct tiled_type_ops {
    tiled_unpack_t unpack;
    void (*repack_src0)(struct tiled_tile_src0 *, int32_t, int32_t, int32_t, bool);
    void (*microtile)(const struct tiled_tile_src0 *, const struct tiled_tile_src1 *, int32_t, int32_t, int32_t,
                      int32_t, float *, int32_t);
    int32_t offset;
    bool    flag;
};

template <int SUB, bool MINS, int OFFSET, bool FLAG> constexpr tiled_type_ops tiled_ops(tiled_unpack_t unpack) {
    return { unpack, tiled_repack_src0<SUB>, tiled_run_microtile<SUB, MINS, OFFSET, FLAG>, OFFSET, FLAG };
}

bool tiled_ops_of(enum tevo_type type, tiled_type_ops * ops) {
    switch (type) {
        case TEVO_TYPE_Q2_K:    *ops = tiled_ops<16, true, 0, false>(tiled_unpack_src0_q2_K); return true;
        case TEVO_TYPE_Q3_K:    *ops = tiled_ops<16, false, 4, true>(tiled_unpack_src0_q3_K); return true;
        case TEVO_TYPE_Q4_K:    *ops = tiled_ops<32, true, 0, false>(tiled_unpack_src0_q4_K); return true;
        case TEVO_TYPE_Q5_K:    *ops = tiled_ops<32, true, 0, false>(tiled_unpack_src0_q5_K); return true;
        case TEVO_TYPE_Q6_K:    *ops = tiled_ops<16, false, 32, true>(tiled_unpack_src0_q6_K); return true;
        case TEVO_TYPE_IQ2_XXS: *ops = tiled_ops<32, false, 128, true>(tiled_unpack_src0_iq2_xxs); return true;
        case TEVO_TYPE_IQ2_XS:  *ops = tiled_ops<16, false, 128, true>(tiled_unpack_src0_iq2_xs); return true;
        case TEVO_TYPE_IQ3_XXS: *ops = tiled_ops<32, false, 128, true>(tiled_unpack_src0_iq3_xxs); return true;
        case TEVO_TYPE_IQ1_S:   *ops = tiled_ops<32, false, 128, true>(tiled_unpack_src0_iq1_s); return true;
        case TEVO_TYPE_IQ3_S:   *ops = tiled_ops<32, false, 128, true>(tiled_unpack_src0_iq3_s); return true;
        case TEVO_TYPE_IQ2_S:   *ops = tiled_ops<16, false, 128, true>(tiled_unpack_src0_iq2_s); return true;
        case TEVO_TYPE_IQ4_XS:  *ops = tiled_ops<32, false, 128, false>(tiled_unpack_src0_iq4_xs); return true;
        case TEVO_TYPE_IQ1_M:   *ops = tiled_ops<16, false, 128, true>(tiled_unpack_src0_iq1_m); return true;
        default:                return false;
    }
}

// a thread's tiles and result tile
struct tiled_slice {
    struct tiled_tile_src0 * A;
    struct tiled_tile_src1 * B;
    float *                  out;
};

tiled_slice tiled_slice_of(char * workspace, int ith) {
    char * s = workspace + (size_t) ith * TILED_SLICE_BYTES;
    return { (struct tiled_tile_src0 *) (s + TILED_SLICE_SRC0), (struct tiled_tile_src1 *) (s + TILED_SLICE_SRC1),
             (float *) (s + TILED_SLICE_OUT) };
}

char * tiled_align64(char * p) {
    return (char *) (((uintptr_t) p + 63) & ~(uintptr_t) 63);
}

// blocks per narrow K-slice: 3, 2 or 1, whichever divides the row first
int32_t tiled_kslice(int64_t n_blocks) {
    return n_blocks % 3 == 0 ? 3 : n_blocks % 2 == 0 ? 2 : 1;
}

// The kernels always work on 16 weight rows; rows past the unpacked ones
// get zero scales, so their (unread) results stay zero instead of summing
// whatever the slice held before.
void tiled_zero_surplus_rows(struct tiled_tile_src0 * A, int32_t n_rows, int32_t n_blocks) {
    const int32_t padded = (n_rows + 15) & ~15;
    for (int32_t b = 0; b < n_blocks; ++b) {
        for (int32_t r = n_rows; r < padded; ++r) {
            A->d[b * 16 + r]    = 0.0f;
            A->dmin[b * 16 + r] = 0.0f;
        }
    }
}

// clears every result cell the kernels will add into
void tiled_clear_out(float * out, int32_t n_rows, int32_t n_cols) {
    const size_t cols = (size_t) ((n_cols + 15) & ~15) * sizeof(float);
    for (int32_t r = 0; r < ((n_rows + 15) & ~15); ++r) {
        memset(out + (size_t) r * 256, 0, cols);
    }
}

// nr weight rows (from w, nb01 bytes apart) times n activation rows over
// all n_blocks blocks, added into the cleared result tile
void tiled_schedule(const tiled_type_ops & ops, const tiled_slice & sl, const char * w, size_t nb01,
                    size_t block_bytes, int32_t nr, const void * const * rows, int32_t n, int64_t n_blocks,
                    bool wide) {
    const uint64_t row_stride = nb01 / block_bytes;
    if (wide) {
        for (int64_t kb = 0; kb < n_blocks; ++kb) {
            ops.unpack(w + (size_t) kb * block_bytes, row_stride, nr, sl.A, 1);
            tiled_zero_surplus_rows(sl.A, nr, 1);
            ops.repack_src0(sl.A, nr, 1, ops.offset, ops.flag);
            tiled_gather_src1(rows, n, sl.B, (int32_t) kb, 1);
            for (int32_t j = 0; j < n; j += 16) {
                tiled_repack_src1(sl.B, j, 1, ops.flag);
                for (int32_t i = 0; i < nr; i += 16) {
                    ops.microtile(sl.A, sl.B, i, j, 1, 0, sl.out, 256);
                }
            }
        }
        return;
    }
    const int32_t S = tiled_kslice(n_blocks);
    for (int64_t kb = 0; kb < n_blocks; kb += S) {
        tiled_gather_src1(rows, n, sl.B, (int32_t) kb, S);
        tiled_repack_src1(sl.B, 0, S, ops.flag);
        for (int32_t r = 0; r < nr; r += 16) {
            const int32_t cnt = nr - r < 16 ? nr - r : 16;
            ops.unpack(w + (size_t) r * nb01 + (size_t) kb * block_bytes, row_stride, cnt, sl.A, (uint64_t) S);
            tiled_zero_surplus_rows(sl.A, cnt, S);
            ops.repack_src0(sl.A, cnt, S, ops.offset, ops.flag);
            for (int32_t b = 0; b < S; ++b) {
                ops.microtile(sl.A, sl.B, 0, 0, S, b, sl.out + (size_t) r * 256, 256);
            }
        }
    }
}

bool tiled_run_matrix(const struct tevo_compute_params * params, struct tevo_tensor * dst, const tiled_type_ops & ops) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne02 = src0->ne[2], ne03 = src0->ne[3];
    const int64_t ne10 = src1->ne[0], ne11 = src1->ne[1], ne12 = src1->ne[2], ne13 = src1->ne[3];
    const int64_t ne0 = dst->ne[0], ne1 = dst->ne[1], ne2 = dst->ne[2], ne3 = dst->ne[3];
    const size_t  nb01 = src0->nb[1], nb02 = src0->nb[2], nb03 = src0->nb[3];
    const size_t  nb10 = src1->nb[0], nb11 = src1->nb[1], nb12 = src1->nb[2], nb13 = src1->nb[3];
    const size_t  nb0 = dst->nb[0], nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];

    TEVO_ASSERT(ne0 == ne01);
    TEVO_ASSERT(ne1 == ne11);
    TEVO_ASSERT(ne2 == ne12);
    TEVO_ASSERT(ne3 == ne13);
    TEVO_ASSERT(nb10 == tevo_type_size(src1->type));
    TEVO_ASSERT(nb0 == sizeof(float));
    TEVO_ASSERT(nb0 <= nb1);
    TEVO_ASSERT(nb1 <= nb2);
    TEVO_ASSERT(nb2 <= nb3);

    const int ith = params->ith;
    const int nth = params->nth;

    const enum tevo_type vec_dot_type = tevo_get_type_traits_cpu(src0->type)->vec_dot_type;
    const bool           convert      = src1->type != vec_dot_type;
    const size_t         RS           = tevo_row_size(vec_dot_type, ne10);
    char *               wdata        = (char *) params->wdata;

    if (convert) {
        TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
        const tevo_from_float_t from_float = tevo_get_type_traits_cpu(vec_dot_type)->from_float;
        const int64_t           nblk       = ne10 / QK_K;
        const int64_t           first      = nblk * ith / nth;
        const int64_t           last       = nblk * (ith + 1) / nth;
        if (first < last) {
            for (int64_t i13 = 0; i13 < ne13; ++i13) {
                for (int64_t i12 = 0; i12 < ne12; ++i12) {
                    for (int64_t i11 = 0; i11 < ne11; ++i11) {
                        const char * x = (const char *) src1->data + i11 * nb11 + i12 * nb12 + i13 * nb13 +
                                         (size_t) (QK_K * first) * nb10;
                        char * y = wdata + (size_t) (i11 + ne11 * (i12 + ne12 * i13)) * RS +
                                   (size_t) first * tevo_type_size(vec_dot_type);
                        from_float((const float *) x, y, (last - first) * QK_K);
                    }
                }
            }
        }
    }

    if (ith == 0) {
        tevo_threadpool_chunk_set(params->threadpool, nth);
    }
    tevo_barrier(params->threadpool);

    char * workspace = wdata;
    if (convert) {
        workspace += TEVO_PAD(tevo_row_size(vec_dot_type, tevo_nelements(src1)), (size_t) 64);
    }
    const tiled_slice sl = tiled_slice_of(tiled_align64(workspace), ith);

    const int64_t M = ne01;
    const int64_t N = ne11 * ne12 * ne13;

    // the edge shrinks until every thread has about four chunks
    int64_t T = 256;
    while (((M + T - 1) / T) * ((N + T - 1) / T) < 4 * (int64_t) nth && T > 16) {
        T /= 2;
    }
    const int64_t nchunk0  = (M + T - 1) / T;
    const int64_t nchunk1  = (N + T - 1) / T;
    const int64_t n_chunks = nchunk0 * nchunk1;
    const int64_t dr0      = (M + nchunk0 - 1) / nchunk0;
    const int64_t dr1      = (N + nchunk1 - 1) / nchunk1;
    // the pool's chunk counter is 32-bit and runs up to n_chunks + nth
    TEVO_ASSERT(n_chunks <= INT32_MAX - nth);

    const int64_t r2          = ne12 / ne02;
    const int64_t r3          = ne13 / ne03;
    const size_t  block_bytes = tevo_type_size(src0->type);
    const int64_t n_blocks    = ne00 / QK_K;

    const void * rows[TILED_TILE_ROWS];

    int64_t current = ith;
    while (current < n_chunks) {
        TEVO_ASSERT(ne00 % 256 == 0);
        const int64_t ic0  = current % nchunk0;
        const int64_t ic1  = current / nchunk0;
        const int64_t ir0s = ic0 * dr0, ir0e = ir0s + dr0 < M ? ir0s + dr0 : M;
        const int64_t ir1s = ic1 * dr1, ir1e = ir1s + dr1 < N ? ir1s + dr1 : N;

        for (int64_t g = ir1s; g < ir1e;) {
            int64_t end = g + TILED_TILE_ROWS;
            end         = end < ir1e ? end : ir1e;
            end         = end < (g / ne11 + 1) * ne11 ? end : (g / ne11 + 1) * ne11;
            const int32_t n = (int32_t) (end - g);

            const int64_t i13 = g / (ne11 * ne12);
            const int64_t i12 = (g % (ne11 * ne12)) / ne11;
            const int64_t i11 = g % ne11;

            const char * wplane = (const char *) src0->data + (i12 / r2) * nb02 + (i13 / r3) * nb03;
            char *       dbase  = (char *) dst->data + i11 * nb1 + i12 * nb2 + i13 * nb3;
            for (int32_t k = 0; k < n; ++k) {
                // rows already in q8_K are read at their own strides, which
                // need not be those of a packed tensor
                rows[k] = convert ? (const void *) (wdata + (size_t) (g + k) * RS)
                                  : (const void *) ((const char *) src1->data + (size_t) (i11 + k) * nb11 +
                                                    (size_t) i12 * nb12 + (size_t) i13 * nb13);
            }

            for (int64_t r0 = ir0s; r0 < ir0e; r0 += TILED_TILE_ROWS) {
                const int32_t nr = (int32_t) (ir0e - r0 < TILED_TILE_ROWS ? ir0e - r0 : TILED_TILE_ROWS);
                tiled_clear_out(sl.out, nr, n);
                tiled_schedule(ops, sl, wplane + (size_t) r0 * nb01, nb01, block_bytes, nr, rows, n, n_blocks,
                               n >= 17);
                tiled_store_dst(sl.out, nr, n, (float *) (dbase + (size_t) r0 * nb0), nb1 / nb0);
            }
            g = end;
        }

        current = tevo_threadpool_chunk_add(params->threadpool, 1);
    }
    return true;
}

bool tiled_run_expert(const struct tevo_compute_params * params, struct tevo_tensor * dst, const tiled_type_ops & ops,
                      const struct mmid_row_mapping * routed, int64_t expert, int64_t n_routed, void * workspace) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    const int ith = params->ith;
    const int nth = params->nth;

    const int64_t M    = src0->ne[1];
    const int64_t ne11 = src1->ne[1];

    const int64_t G  = (M + 63) / 64;
    const int64_t g0 = G * ith / nth;
    const int64_t g1 = G * (ith + 1) / nth;
    if (g0 >= g1 || n_routed < 1) {
        return true;
    }

    const enum tevo_type vec_dot_type = tevo_get_type_traits_cpu(src0->type)->vec_dot_type;
    const bool           convert      = src1->type != vec_dot_type;
    const size_t         RS           = tevo_row_size(vec_dot_type, src1->ne[0]);
    const char *         act          = convert ? (const char *) params->wdata : (const char *) src1->data;

    const char *  wexp        = (const char *) src0->data + expert * src0->nb[2];
    const size_t  nb01        = src0->nb[1];
    const size_t  block_bytes = tevo_type_size(src0->type);
    const int64_t n_blocks    = src0->ne[0] / QK_K;

    const tiled_slice sl = tiled_slice_of((char *) workspace, ith);

    const void * rows[TILED_TILE_ROWS];
    char *       dst_base[TILED_TILE_ROWS];
    float *      dst_rows[TILED_TILE_ROWS];

    for (int64_t p = 0; p < n_routed; p += TILED_TILE_ROWS) {
        const int32_t n = (int32_t) (n_routed - p < TILED_TILE_ROWS ? n_routed - p : TILED_TILE_ROWS);
        for (int32_t k = 0; k < n; ++k) {
            const struct mmid_row_mapping m   = routed[p + k];
            const int64_t                 i11 = m.i1 % ne11;
            rows[k]     = convert ? (const void *) (act + (size_t) (i11 + ne11 * m.i2) * RS)
                                  : (const void *) (act + (size_t) i11 * src1->nb[1] + (size_t) m.i2 * src1->nb[2]);
            dst_base[k] = (char *) dst->data + (size_t) m.i1 * dst->nb[1] + (size_t) m.i2 * dst->nb[2];
        }
        const bool wide = n_routed - p >= 17;
        for (int64_t grp = g0; grp < g1; ++grp) {
            const int64_t r0 = 64 * grp;
            const int32_t nr = (int32_t) (M - r0 < 64 ? M - r0 : 64);
            tiled_clear_out(sl.out, nr, n);
            tiled_schedule(ops, sl, wexp + (size_t) r0 * nb01, nb01, block_bytes, nr, rows, n, n_blocks, wide);
            for (int32_t k = 0; k < n; ++k) {
                dst_rows[k] = (float *) (dst_base[k] + (size_t) r0 * dst->nb[0]);
            }
            tiled_store_dst_rows(sl.out, nr, n, dst_rows);
        }
    }
    return true;
}

} // namespace

bool tiled_mul_mat_run(const struct tevo_compute_params * params, struct tevo_tensor * dst,
                       const struct mmid_row_mapping * routed, int64_t expert, int64_t n_routed, void * workspace) {
    tiled_type_ops ops;
    if (!tiled_ops_of(dst->src[0]->type, &ops)) {
        return false;
    }
    if (routed == NULL) {
        return tiled_run_matrix(params, dst, ops);
    }
    return tiled_run_expert(params, dst, ops, routed, expert, n_routed, workspace);
}
