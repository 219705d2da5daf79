#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Small overwriting kernels: a constant fill (FILL), one triangle of each
// matrix (TRI), x·s + b (SCALE) and a tensor written into a strided window
// of another (SET). Each splits rows in contiguous blocks.

#include "cpu/ops/ops.h"
#include "cpu/vec/vec.h"
#include "platform/platform.h"

// the predicates of TRI by tri type (argsort.cpp)
extern "C" bool (*const tevo_tri_pred_table[4])(int64_t, int64_t);

// rows [ir0, ir1) of nr for this thread
static void fts_thread_rows(const struct tevo_compute_params * params, int64_t nr, int64_t * ir0, int64_t * ir1) {
    tevo_thread_range(nr, params->ith, params->nth, ir0, ir1);
}

// ---------------------------------------------------------------------------
// FILL

void tevo_compute_forward_fill(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const enum tevo_type type = dst->src[0]->type;
    const float          c    = tevo_get_op_params_f32(dst, 0);

    uint32_t bits32 = 0;
    uint16_t bits16 = 0;
    switch (type) {
        case TEVO_TYPE_F32: bits32 = tevo_fp32_to_bits(c); break;
        case TEVO_TYPE_F16: bits16 = TEVO_FP32_TO_FP16(c); break;
        default:
            TEVO_ABORT("unsupported type for tevo_compute_forward_fill: %s", tevo_type_name(type));
    }

    const int64_t ne0 = dst->ne[0], ne1 = dst->ne[1], ne2 = dst->ne[2];
    int64_t       ir0, ir1;
    fts_thread_rows(params, tevo_nrows(dst), &ir0, &ir1);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3  = ir / (ne2 * ne1);
        const int64_t i2  = (ir - i3 * ne2 * ne1) / ne1;
        const int64_t i1  = ir - i3 * ne2 * ne1 - i2 * ne1;
        char *        row = (char *) dst->data + i1 * dst->nb[1] + i2 * dst->nb[2] + i3 * dst->nb[3];
        if (type == TEVO_TYPE_F32) {
            uint32_t * y = (uint32_t *) row;
            for (int64_t i = 0; i < ne0; ++i) {
                y[i] = bits32;
            }
        } else {
            uint16_t * y = (uint16_t *) row;
            for (int64_t i = 0; i < ne0; ++i) {
                y[i] = bits16;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// TRI

void tevo_compute_forward_tri(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];

    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(tevo_is_contiguous(src0));

    const uint32_t tri_type = (uint32_t) tevo_get_op_params_i32(dst, 0);
    if (tri_type > 3) {
        TEVO_ABORT("invalid tri type");
    }
    bool (*const pred)(int64_t, int64_t) = tevo_tri_pred_table[tri_type];

    const int64_t ne0 = dst->ne[0];
    const int64_t ne01 = src0->ne[1], ne02 = src0->ne[2];

    int64_t ir0, ir1;
    fts_thread_rows(params, tevo_nrows(src0), &ir0, &ir1);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne02 * ne01);
        const int64_t i2 = (ir - i3 * ne02 * ne01) / ne01;
        const int64_t i1 = ir - i3 * ne02 * ne01 - i2 * ne01;

        const uint32_t * x = (const uint32_t *) ((const char *) src0->data + i1 * src0->nb[1] + i2 * src0->nb[2] +
                                                 i3 * src0->nb[3]);
        uint32_t * y = (uint32_t *) ((char *) dst->data + i1 * dst->nb[1] + i2 * dst->nb[2] + i3 * dst->nb[3]);
        for (int64_t i0 = 0; i0 < ne0; ++i0) {
            y[i0] = pred(i0, i1) ? x[i0] : 0u;
        }
    }
}

// ---------------------------------------------------------------------------
// SCALE

void tevo_compute_forward_scale(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];

    // rows are reached through the strides, so padded rows (which the
    // constructor accepts) need only their elements packed
    TEVO_ASSERT(src0->nb[0] == tevo_type_size(src0->type));
    TEVO_ASSERT(dst->nb[0] == tevo_type_size(dst->type));
    TEVO_ASSERT(tevo_are_same_shape(src0, dst));

    if (src0->type != TEVO_TYPE_F32 && src0->type != TEVO_TYPE_BF16) {
        TEVO_ABORT("fatal error");
    }

    const float s = tevo_get_op_params_f32(dst, 0);
    const float b = tevo_get_op_params_f32(dst, 1);

    const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne02 = src0->ne[2];

    int64_t ir0, ir1;
    fts_thread_rows(params, tevo_nrows(src0), &ir0, &ir1);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne02 * ne01);
        const int64_t i2 = (ir - i3 * ne02 * ne01) / ne01;
        const int64_t i1 = ir - i3 * ne02 * ne01 - i2 * ne01;

        const char * x = (const char *) src0->data + i1 * src0->nb[1] + i2 * src0->nb[2] + i3 * src0->nb[3];
        char *       y = (char *) dst->data + i1 * dst->nb[1] + i2 * dst->nb[2] + i3 * dst->nb[3];

        if (src0->type == TEVO_TYPE_BF16) {
            tevo_vec_scale_bf16(ne00, (tevo_bf16_t *) y, (const tevo_bf16_t *) x, s, b);
        } else if (b == 0.0f) {
            if (dst->data != src0->data) {
                memcpy(y, x, (size_t) ne00 * sizeof(float));
            }
            tevo_vdsp_vsmul((const float *) y, 1, &s, (float *) y, 1, (size_t) ne00);
        } else {
            tevo_vdsp_vsmsa((const float *) x, 1, &s, &b, (float *) y, 1, (size_t) ne00);
        }
    }
}

// ---------------------------------------------------------------------------
// SET

void tevo_compute_forward_set(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    if (src0->type != TEVO_TYPE_F32 && src0->type != TEVO_TYPE_I32) {
        TEVO_ABORT("fatal error");
    }

    TEVO_ASSERT(tevo_are_same_shape(src0, dst));
    TEVO_ASSERT(tevo_is_contiguous(dst) && tevo_is_contiguous(src0));

    // the window's strides and offset in bytes, in dst
    const int32_t nb1     = tevo_get_op_params_i32(dst, 0);
    const int32_t nb2     = tevo_get_op_params_i32(dst, 1);
    const int32_t nb3     = tevo_get_op_params_i32(dst, 2);
    const int32_t offset  = tevo_get_op_params_i32(dst, 3);
    const bool    inplace = tevo_get_op_params_i32(dst, 4) != 0;

    if (!inplace) {
        if (params->ith == 0) {
            memcpy(dst->data, src0->data, tevo_nbytes(dst));
        }
        tevo_barrier(params->threadpool);
    }

    // The whole window, the last element's bytes included, must lie inside
    // dst. Negative words (offset or strides) never fit.
    const bool fits = offset >= 0 && nb1 >= 0 && nb2 >= 0 && nb3 >= 0 &&
                      tevo_window_fits(dst, src1, (size_t) nb1, (size_t) nb2, (size_t) nb3, (size_t) offset);
    TEVO_ASSERT_AS(fits, "offset >= 0 && offset + ne10*nb0 + im1*nb1 + im2*nb2 + im3*nb3 <= tevo_nbytes(dst)");

    if (src0->type == TEVO_TYPE_F32) {
        TEVO_ASSERT_AS(src1->nb[0] == sizeof(float), "nb10 == sizeof(float)");
    } else {
        TEVO_ASSERT_AS(src1->nb[0] == sizeof(int32_t), "nb10 == sizeof(int32_t)");
    }

    const int64_t ne10 = src1->ne[0], ne11 = src1->ne[1], ne12 = src1->ne[2];

    int64_t ir0, ir1;
    fts_thread_rows(params, tevo_nrows(src1), &ir0, &ir1);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne12 * ne11);
        const int64_t i2 = (ir - i3 * ne12 * ne11) / ne11;
        const int64_t i1 = ir - i3 * ne12 * ne11 - i2 * ne11;

        memcpy((char *) dst->data + offset + i1 * nb1 + i2 * nb2 + i3 * nb3,
               (const char *) src1->data + i1 * src1->nb[1] + i2 * src1->nb[2] + i3 * src1->nb[3],
               (size_t) ne10 * 4);
    }
}
