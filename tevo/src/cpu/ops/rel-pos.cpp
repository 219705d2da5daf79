#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Relative-position terms split into a height and a width part:
// GET_REL_POS gathers a table of 2·k − 1 embeddings into one row per (query,
// key) pair, row (q − k) + k − 1; ADD_REL_POS adds to every W×W block of
// attention scores its height term along the block's rows and its width
// term along its columns.
//
// The gather is one task (thread 0 copies the 16-bit patterns, whatever
// their type). The addition first copies the scores unless it runs in
// place, then the threads take blocks of the outermost extent of the terms.

#include "cpu/ops/ops.h"

#include <string.h>

// table [E, 2·k − 1] -> dst [E, k (keys), q (queries)], both 16-bit
void tevo_compute_forward_get_rel_pos(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const tevo_tensor * src = dst->src[0];
    if (src->type != TEVO_TYPE_F16 && src->type != TEVO_TYPE_BF16) {
        TEVO_ABORT("fatal error");
    }
    if (params->ith != 0) {
        return;
    }
    // the bits are copied unchanged, so they keep the table's type
    TEVO_ASSERT(dst->type == src->type);

    const int64_t ne0 = dst->ne[0], ne1 = dst->ne[1], ne2 = dst->ne[2];
    if (ne0 <= 0 || ne1 <= 0 || ne2 <= 0) {
        return;
    }
    TEVO_ASSERT(src->ne[0] == ne0);
    TEVO_ASSERT(src->ne[1] >= ne1 + ne2 - 1);

    for (int64_t i3 = 0; i3 < dst->ne[3]; ++i3) {
        for (int64_t i2 = 0; i2 < ne2; ++i2) {
            for (int64_t i1 = 0; i1 < ne1; ++i1) {
                const int64_t pos = (ne1 - 1 - i1) + i2;
                const char *  x   = (const char *) src->data + pos * src->nb[1];
                char *        y   = (char *) dst->data + i1 * dst->nb[1] + i2 * dst->nb[2] + i3 * dst->nb[3];
                for (int64_t i0 = 0; i0 < ne0; ++i0) {
                    memcpy(y + i0 * dst->nb[0], x + i0 * src->nb[0], sizeof(uint16_t));
                }
            }
        }
    }
}

// scores a [W·W, ne11·ne12, ne13], terms pw and ph [W, ne11, ne12, ne13] -> dst like a
void tevo_compute_forward_add_rel_pos(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const tevo_tensor * src0 = dst->src[0];
    const tevo_tensor * pw   = dst->src[1];
    const tevo_tensor * ph   = dst->src[2];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    // all four are walked as packed float arrays
    TEVO_ASSERT(pw->type == TEVO_TYPE_F32 && ph->type == TEVO_TYPE_F32 && dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(tevo_is_contiguous(src0) && tevo_is_contiguous(pw) && tevo_is_contiguous(ph) &&
                tevo_is_contiguous(dst));
    TEVO_ASSERT(tevo_are_same_shape(pw, ph) && tevo_are_same_shape(src0, dst));
    TEVO_ASSERT(tevo_nelements(dst) == tevo_nelements(pw) * pw->ne[0]);

    const bool inplace = tevo_get_op_params_i32(dst, 0) != 0;
    if (!inplace) {
        if (params->ith == 0) {
            memcpy(dst->data, src0->data, tevo_nbytes(dst));
        }
        tevo_barrier(params->threadpool);
    }

    const int64_t ne10 = pw->ne[0], ne11 = pw->ne[1], ne12 = pw->ne[2], ne13 = pw->ne[3];
    const int64_t dp   = (ne13 + params->nth - 1) / params->nth;
    const int64_t ip0  = TEVO_MIN(dp * params->ith, ne13);
    const int64_t ip1  = TEVO_MIN(ip0 + dp, ne13);
    if (ne10 <= 0 || ne11 <= 0 || ne12 <= 0 || ip0 >= ip1) {
        return;
    }

    const float * sh = (const float *) ph->data;
    const float * sw = (const float *) pw->data;
    float *       d  = (float *) dst->data;

    for (int64_t i13 = ip0; i13 < ip1; ++i13) {
        for (int64_t i12 = 0; i12 < ne12; ++i12) {
            for (int64_t i11 = 0; i11 < ne11; ++i11) {
                for (int64_t i10 = 0; i10 < ne10; ++i10) {
                    const int64_t jp0 = ((i13 * ne12 + i12) * ne11 + i11) * ne10 + i10;
                    const float   h   = sh[jp0];
                    const float   w   = sw[jp0];
                    const int64_t jdh = jp0 * ne10;
                    const int64_t jdw = jdh - (ne10 - 1) * i10;
                    // row i10 of the block takes h, column i10 takes w; the
                    // order of the two additions per score is this loop's
                    for (int64_t j = 0; j < ne10; ++j) {
                        d[jdh + j] += h;
                        d[jdw + j * ne10] += w;
                    }
                }
            }
        }
    }
}
