#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Row indexing: gathering rows by index and widening them to floats
// (GET_ROWS), scattering rows into a tensor of any storable type (SET_ROWS),
// and the gradient of the gather (GET_ROWS_BACK).

#include "cpu/ops/ops.h"

#include <immintrin.h>

// ---------------------------------------------------------------------------
// GET_ROWS

// how a gathered row becomes floats, or NULL when the type has no such way
enum get_rows_kind {
    GET_ROWS_COPY,  // 4-byte elements unchanged
    GET_ROWS_F16,
    GET_ROWS_BF16,
    GET_ROWS_QUANT, // the type's row-to-float converter
};

static get_rows_kind get_rows_kind_of(const struct tevo_tensor * dst, enum tevo_type type) {
    switch (type) {
        case TEVO_TYPE_F32:
        case TEVO_TYPE_I32:
            return GET_ROWS_COPY;
        case TEVO_TYPE_F16:
            return GET_ROWS_F16;
        case TEVO_TYPE_BF16:
            return GET_ROWS_BF16;
        case TEVO_TYPE_Q4_0: case TEVO_TYPE_Q4_1: case TEVO_TYPE_Q5_0: case TEVO_TYPE_Q5_1: case TEVO_TYPE_Q8_0:
        case TEVO_TYPE_Q8_1:
        case TEVO_TYPE_Q2_K: case TEVO_TYPE_Q3_K: case TEVO_TYPE_Q4_K: case TEVO_TYPE_Q5_K: case TEVO_TYPE_Q6_K:
        case TEVO_TYPE_IQ2_XXS: case TEVO_TYPE_IQ2_XS: case TEVO_TYPE_IQ3_XXS: case TEVO_TYPE_IQ1_S:
        case TEVO_TYPE_IQ4_NL: case TEVO_TYPE_IQ3_S: case TEVO_TYPE_IQ2_S: case TEVO_TYPE_IQ4_XS:
        case TEVO_TYPE_IQ1_M: case TEVO_TYPE_TQ1_0: case TEVO_TYPE_TQ2_0: case TEVO_TYPE_MXFP4:
        case TEVO_TYPE_NVFP4: case TEVO_TYPE_Q1_0: case TEVO_TYPE_Q2_0:
            // Q8_1 never has a converter; the others lack one only while
            // their format is not built
            if (tevo_get_type_traits(type)->to_float == NULL) {
                TEVO_ABORT("%s: no row-to-float converter for type %s", tevo_op_desc(dst), tevo_type_name(type));
            }
            return GET_ROWS_QUANT;
        default:
            if ((unsigned) type < TEVO_TYPE_COUNT) {
                TEVO_LOG_ERROR("%s: rows of type %s cannot be gathered\n", tevo_op_desc(dst), tevo_type_name(type));
            }
            TEVO_ABORT("fatal error");
    }
}

void tevo_compute_forward_get_rows(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    const get_rows_kind kind = get_rows_kind_of(dst, src0->type);

    const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1];
    const size_t  nb01 = src0->nb[1], nb02 = src0->nb[2], nb03 = src0->nb[3];
    const int64_t ne10 = src1->ne[0], ne11 = src1->ne[1];
    const size_t  nb10 = src1->nb[0], nb11 = src1->nb[1], nb12 = src1->nb[2];
    const size_t  nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];

    const int64_t nr  = tevo_nelements(src1);
    const int64_t dr  = (nr + params->nth - 1) / params->nth;
    const int64_t ir0 = dr * params->ith;
    const int64_t ir1 = TEVO_MIN(ir0 + dr, nr);

    const tevo_to_float_t to_float = tevo_get_type_traits(src0->type)->to_float;

    const char * s   = (const char *) src0->data;
    const char * idx = (const char *) src1->data;
    char *       d   = (char *) dst->data;

    // rows are picked at random: fetch the next one while this one converts
    const size_t row_bytes = TEVO_MIN(tevo_row_size(src0->type, ne00), (size_t) 4096);
    auto         row_of    = [&](int64_t i, int64_t * i10, int64_t * i11, int64_t * i12, int64_t * i01) {
        *i12 = i / (ne11 * ne10);
        *i11 = (i - *i12 * ne11 * ne10) / ne10;
        *i10 = i - *i12 * ne11 * ne10 - *i11 * ne10;
        *i01 = *(const int32_t *) (idx + *i10 * nb10 + *i11 * nb11 + *i12 * nb12);
        return (size_t) (*i01 * (int64_t) nb01 + *i11 * (int64_t) nb02 + *i12 * (int64_t) nb03);
    };

    for (int64_t i = ir0; i < ir1; ++i) {
        int64_t      i10, i11, i12, i01;
        const size_t xo = row_of(i, &i10, &i11, &i12, &i01);
        TEVO_ASSERT(i01 >= 0 && i01 < ne01);
        const char * x = s + xo;

        if (i + 1 < ir1) {
            int64_t      n10, n11, n12, n01;
            const size_t next = row_of(i + 1, &n10, &n11, &n12, &n01);
            if (n01 >= 0 && n01 < ne01) { // a bad index is reported on its own turn
                for (size_t o = 0; o < row_bytes; o += 64) {
                    _mm_prefetch(s + next + o, _MM_HINT_T0);
                }
            }
        }

        char *       y = d + i10 * nb1 + i11 * nb2 + i12 * nb3;
        switch (kind) {
            case GET_ROWS_COPY:  memcpy(y, x, (size_t) ne00 * 4); break;
            case GET_ROWS_F16:   tevo_cpu_fp16_to_fp32((const tevo_fp16_t *) x, (float *) y, ne00); break;
            case GET_ROWS_BF16:  tevo_cpu_bf16_to_fp32((const tevo_bf16_t *) x, (float *) y, ne00); break;
            case GET_ROWS_QUANT: to_float(x, (float *) y, ne00); break;
        }
    }
}

// ---------------------------------------------------------------------------
// SET_ROWS

template <typename idx_t>
static void tevo_compute_forward_set_rows_impl(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    const int64_t ne00 = src0->ne[0], ne01 = src0->ne[1], ne02 = src0->ne[2], ne03 = src0->ne[3];
    const size_t  nb01 = src0->nb[1], nb02 = src0->nb[2], nb03 = src0->nb[3];
    const int64_t ne11 = src1->ne[1], ne12 = src1->ne[2];
    const size_t  nb10 = src1->nb[0], nb11 = src1->nb[1], nb12 = src1->nb[2];
    const int64_t ne1  = dst->ne[1];
    const size_t  nb1 = dst->nb[1], nb2 = dst->nb[2], nb3 = dst->nb[3];

    if (ne02 < 1 || ne03 < 1) {
        return;
    }

    const int64_t dr  = (ne01 + params->nth - 1) / params->nth;
    const int64_t ir0 = dr * params->ith;
    const int64_t ir1 = TEVO_MIN(ir0 + dr, ne01);
    if (ir0 >= ir1) {
        return;
    }

    const bool f16_copy = src0->type == TEVO_TYPE_F16 && dst->type == TEVO_TYPE_F16;

    const tevo_from_float_t from_float = tevo_get_type_traits_cpu(dst->type)->from_float;
    if (!f16_copy && from_float == NULL) {
        TEVO_ABORT("%s: no float-to-row converter for type %s", tevo_op_desc(dst), tevo_type_name(dst->type));
    }

    float * scratch = NULL;
    if (src0->type == TEVO_TYPE_F16 && !f16_copy) {
        // each thread owns ne00 + 16 floats of the work buffer
        TEVO_ASSERT(params->wdata != NULL &&
                    params->wsize >= (size_t) (params->ith + 1) * (size_t) (ne00 + 16) * sizeof(float));
        scratch = (float *) params->wdata + (size_t) params->ith * (size_t) (ne00 + 16);
    }

    const size_t row_f16 = tevo_row_size(TEVO_TYPE_F16, ne00);

    const char * s   = (const char *) src0->data;
    const char * idx = (const char *) src1->data;
    char *       d   = (char *) dst->data;

    for (int64_t i03 = 0; i03 < ne03; ++i03) {
        for (int64_t i02 = 0; i02 < ne02; ++i02) {
            const int64_t i12 = i03 % ne12;
            const int64_t i11 = i02 % ne11;
            for (int64_t i = ir0; i < ir1; ++i) {
                const int64_t i1 = (int64_t) * (const idx_t *) (idx + i * nb10 + i11 * nb11 + i12 * nb12);
                TEVO_ASSERT(i1 >= 0 && i1 < ne1);

                const char * x = s + i * nb01 + i02 * nb02 + i03 * nb03;
                char *       y = d + i1 * nb1 + i02 * nb2 + i03 * nb3;
                if (src0->type == TEVO_TYPE_F32) {
                    from_float((const float *) x, y, ne00);
                } else if (f16_copy) {
                    memcpy(y, x, row_f16);
                } else {
                    tevo_fp16_to_fp32_row((const tevo_fp16_t *) x, scratch, ne00);
                    from_float(scratch, y, ne00);
                }
            }
        }
    }
}

void tevo_compute_forward_set_rows(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    if (src0->type != TEVO_TYPE_F32 && src0->type != TEVO_TYPE_F16) {
        TEVO_ABORT("src0->type = %d (%s) not supported", (int) src0->type, tevo_type_name(src0->type));
    }
    switch (src1->type) {
        case TEVO_TYPE_I32: tevo_compute_forward_set_rows_impl<int32_t>(params, dst); break;
        case TEVO_TYPE_I64: tevo_compute_forward_set_rows_impl<int64_t>(params, dst); break;
        default:
            TEVO_ABORT("src1->type = %d (%s) not supported", (int) src1->type, tevo_type_name(src1->type));
    }
}

// ---------------------------------------------------------------------------
// GET_ROWS_BACK

void tevo_compute_forward_get_rows_back(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    if (src0->type != TEVO_TYPE_F32 && src0->type != TEVO_TYPE_F16) {
        TEVO_ABORT("fatal error");
    }
    // several source rows may land on one destination row
    if (params->ith != 0) {
        return;
    }

    TEVO_ASSERT(tevo_is_contiguous(dst));
    memset(dst->data, 0, tevo_nbytes(dst));

    const int64_t nc = src0->ne[0];
    TEVO_ASSERT(dst->ne[0] == nc);
    if (src0->type == TEVO_TYPE_F16) {
        TEVO_ASSERT(src0->nb[0] == sizeof(tevo_fp16_t));
    } else {
        TEVO_ASSERT(src0->nb[0] == sizeof(float));
    }

    const int64_t   n   = tevo_nelements(src1);
    const int32_t * ids = (const int32_t *) src1->data;
    for (int64_t i = 0; i < n; ++i) {
        const int32_t r = ids[i];
        TEVO_ASSERT(r >= 0 && r < dst->ne[1]);

        float *      y = (float *) ((char *) dst->data + r * dst->nb[1]);
        const char * x = (const char *) src0->data + i * src0->nb[1];
        if (src0->type == TEVO_TYPE_F16) {
            const tevo_fp16_t * xh = (const tevo_fp16_t *) x;
            for (int64_t j = 0; j < nc; ++j) {
                y[j] += tevo_table_f32_f16[xh[j]];
            }
        } else {
            const float * xf = (const float *) x;
            for (int64_t j = 0; j < nc; ++j) {
                y[j] += xf[j];
            }
        }
    }
}
