#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// The addition kernels: ADD (float, half and brain-float first operands go
// on to the element-wise kernel; block-quantized ones are dequantized,
// added and requantized row by row here), ADD_ID, ADD1 and ACC.

#include "cpu/ops/elementwise-binary.h"
#include "cpu/ops/elementwise.h"
#include "platform/platform.h"

namespace {

// rows [*ir0, *ir1) of this thread: contiguous blocks of ceil(nr / nth)
void tevo_row_block(const struct tevo_compute_params * params, int64_t nr, int64_t * ir0, int64_t * ir1) {
    tevo_thread_range(nr, params->ith, params->nth, ir0, ir1);
}

// this thread's float scratch row of the work buffer (ne00 + 16 floats each)
float * tevo_scratch_row(const struct tevo_compute_params * params, int64_t ne00) {
    const size_t stride = (size_t) (ne00 + 16);
    TEVO_ASSERT(params->wsize >= stride * sizeof(float) * (size_t) params->nth);
    return (float *) params->wdata + stride * (size_t) params->ith;
}

// The converters of block formats arrive with the quantization formats, and
// some formats never get a CPU quantizer: name what is missing instead of
// calling through an empty slot.
void tevo_require_converters(const char * op, enum tevo_type src_type, tevo_to_float_t to_float,
                             enum tevo_type dst_type, tevo_from_float_t from_float) {
    if (to_float == NULL) {
        TEVO_ABORT("%s: no row-to-float converter for type %s", op, tevo_type_name(src_type));
    }
    if (from_float == NULL) {
        TEVO_ABORT("%s: no float-to-row converter for type %s", op, tevo_type_name(dst_type));
    }
}

bool tevo_type_in_range(enum tevo_type type) {
    return (int) type >= 0 && (int) type < TEVO_TYPE_COUNT;
}

// ---------------------------------------------------------------------------
// ADD

void tevo_compute_forward_add_q_f32(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    TEVO_ASSERT(tevo_are_same_shape(src0, src1) && tevo_are_same_shape(src0, dst));

    const int64_t nr = tevo_nrows(src0);

    TEVO_EW_LOCALS(int64_t, ne0, src0, ne);
    TEVO_EW_LOCALS(size_t, nb0, src0, nb);
    TEVO_EW_LOCALS(size_t, nb1, src1, nb);
    TEVO_EW_LOCALS(size_t, nb, dst, nb);

    const enum tevo_type    type       = src0->type;
    const enum tevo_type    dtype      = dst->type;
    const tevo_to_float_t   to_float   = tevo_get_type_traits(type)->to_float;
    const tevo_from_float_t from_float = tevo_get_type_traits_cpu(dtype)->from_float;

    TEVO_ASSERT(nb00 == tevo_type_size(type));
    TEVO_ASSERT(nb10 == sizeof(float));
    TEVO_ASSERT(nb0 <= nb1);
    TEVO_ASSERT(nb1 <= nb2);
    TEVO_ASSERT(nb2 <= nb3);
    TEVO_ASSERT(tevo_is_quantized(src0->type));
    TEVO_ASSERT(src1->type == TEVO_TYPE_F32);

    tevo_require_converters("ADD", type, to_float, dtype, from_float);

    int64_t ir0, ir1;
    tevo_row_block(params, nr, &ir0, &ir1);
    if (ir0 >= ir1) {
        return;
    }
    float * wdata = tevo_scratch_row(params, ne00);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne02 * ne01);
        const int64_t i2 = (ir - i3 * ne02 * ne01) / ne01;
        const int64_t i1 = ir - i3 * ne02 * ne01 - i2 * ne01;

        const char *  src0_row = (const char *) src0->data + i1 * nb01 + i2 * nb02 + i3 * nb03;
        const float * src1_row = (const float *) ((const char *) src1->data + i1 * nb11 + i2 * nb12 + i3 * nb13);
        char *        dst_row  = (char *) dst->data + i1 * nb1 + i2 * nb2 + i3 * nb3;

        to_float(src0_row, wdata, ne00);
        tevo_vdsp_vadd(wdata, 1, src1_row, 1, wdata, 1, (size_t) ne00);
        from_float(wdata, dst_row, ne00);
    }
}

// ---------------------------------------------------------------------------
// ADD1

// the loop of the four half and brain-float members: dst = round(src0 + v)
template <typename T>
void tevo_add1_16bit_rows(const struct tevo_compute_params * params, struct tevo_tensor * dst, float v) {
    const struct tevo_tensor * src0 = dst->src[0];

    TEVO_EW_LOCALS(int64_t, ne, dst, ne);
    TEVO_EW_LOCALS(size_t, nb0, src0, nb);
    TEVO_EW_LOCALS(size_t, nb, dst, nb);

    int64_t ir0, ir1;
    tevo_row_block(params, tevo_nrows(src0), &ir0, &ir1);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne2 * ne1);
        const int64_t i2 = (ir - i3 * ne2 * ne1) / ne1;
        const int64_t i1 = ir - i3 * ne2 * ne1 - i2 * ne1;

        const T * src0_row = (const T *) ((const char *) src0->data + i1 * nb01 + i2 * nb02 + i3 * nb03);
        T *       dst_row  = (T *) ((char *) dst->data + i1 * nb1 + i2 * nb2 + i3 * nb3);
        for (int64_t k = 0; k < ne0; ++k) {
            dst_row[k] = tevo_ew_from_f32<T>(tevo_ew_to_f32(src0_row[k]) + v);
        }
    }
}

void tevo_add1_check_shapes(const struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];
    TEVO_ASSERT(tevo_are_same_shape(src0, dst));
    TEVO_ASSERT(tevo_is_scalar(src1));
}

void tevo_compute_forward_add1_f32(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    tevo_add1_check_shapes(dst);

    const int64_t nr = tevo_nrows(src0);

    TEVO_EW_LOCALS(int64_t, ne, dst, ne);
    TEVO_EW_LOCALS(size_t, nb0, src0, nb);
    TEVO_EW_LOCALS(size_t, nb, dst, nb);

    TEVO_ASSERT(nb0 == sizeof(float));
    TEVO_ASSERT(nb00 == sizeof(float));

    // a half or brain-float scalar is read by value, not as float storage
    float v;
    switch (src1->type) {
        case TEVO_TYPE_F16:  v = tevo_ew_to_f32(*(const tevo_fp16_t *) src1->data); break;
        case TEVO_TYPE_BF16: v = tevo_ew_to_f32(*(const tevo_bf16_t *) src1->data); break;
        default:             v = *(const float *) src1->data; break;
    }

    int64_t ir0, ir1;
    tevo_row_block(params, nr, &ir0, &ir1);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne2 * ne1);
        const int64_t i2 = (ir - i3 * ne2 * ne1) / ne1;
        const int64_t i1 = ir - i3 * ne2 * ne1 - i2 * ne1;

        tevo_vdsp_vadd((const float *) ((const char *) src0->data + i1 * nb01 + i2 * nb02 + i3 * nb03), 1, &v, 0,
                       (float *) ((char *) dst->data + i1 * nb1 + i2 * nb2 + i3 * nb3), 1, (size_t) ne0);
    }
}

void tevo_compute_forward_add1_f16_f16(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    tevo_add1_check_shapes(dst);

    const float v = tevo_table_f32_f16[*(const tevo_fp16_t *) src1->data];

    const size_t nb0  = dst->nb[0];
    const size_t nb00 = src0->nb[0];

    TEVO_ASSERT(src0->type == TEVO_TYPE_F16);
    TEVO_ASSERT(src1->type == TEVO_TYPE_F16);
    TEVO_ASSERT(dst->type == TEVO_TYPE_F16);
    TEVO_ASSERT(nb0 == sizeof(tevo_fp16_t));
    TEVO_ASSERT(nb00 == sizeof(tevo_fp16_t));

    tevo_add1_16bit_rows<tevo_fp16_t>(params, dst, v);
}

void tevo_compute_forward_add1_f16_f32(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    tevo_add1_check_shapes(dst);

    const float v = *(const float *) src1->data;

    const size_t nb0  = dst->nb[0];
    const size_t nb00 = src0->nb[0];

    TEVO_ASSERT(src0->type == TEVO_TYPE_F16);
    TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->type == TEVO_TYPE_F16);
    TEVO_ASSERT(nb0 == sizeof(tevo_fp16_t));
    TEVO_ASSERT(nb00 == sizeof(tevo_fp16_t));

    tevo_add1_16bit_rows<tevo_fp16_t>(params, dst, v);
}

void tevo_compute_forward_add1_bf16_bf16(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    tevo_add1_check_shapes(dst);

    const float v = TEVO_BF16_TO_FP32(*(const tevo_bf16_t *) src1->data);

    const size_t nb0  = dst->nb[0];
    const size_t nb00 = src0->nb[0];

    TEVO_ASSERT(src0->type == TEVO_TYPE_BF16);
    TEVO_ASSERT(src1->type == TEVO_TYPE_BF16);
    TEVO_ASSERT(dst->type == TEVO_TYPE_BF16);
    TEVO_ASSERT(nb0 == sizeof(tevo_bf16_t));
    TEVO_ASSERT(nb00 == sizeof(tevo_bf16_t));

    tevo_add1_16bit_rows<tevo_bf16_t>(params, dst, v);
}

void tevo_compute_forward_add1_bf16_f32(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    tevo_add1_check_shapes(dst);

    const float v = *(const float *) src1->data;

    const size_t nb0  = dst->nb[0];
    const size_t nb00 = src0->nb[0];

    TEVO_ASSERT(src0->type == TEVO_TYPE_BF16);
    TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->type == TEVO_TYPE_BF16);
    TEVO_ASSERT(nb0 == sizeof(tevo_bf16_t));
    TEVO_ASSERT(nb00 == sizeof(tevo_bf16_t));

    tevo_add1_16bit_rows<tevo_bf16_t>(params, dst, v);
}

void tevo_compute_forward_add1_q_f32(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    tevo_add1_check_shapes(dst);

    const int64_t nr = tevo_nrows(src0);

    TEVO_EW_LOCALS(int64_t, ne, dst, ne);
    TEVO_EW_LOCALS(size_t, nb0, src0, nb);
    TEVO_EW_LOCALS(size_t, nb, dst, nb);

    const enum tevo_type    type       = src0->type;
    const tevo_to_float_t   to_float   = tevo_get_type_traits(type)->to_float;
    const tevo_from_float_t from_float = tevo_get_type_traits_cpu(type)->from_float;

    TEVO_ASSERT(nb00 == tevo_type_size(type));
    TEVO_ASSERT(nb0 <= nb1);
    TEVO_ASSERT(nb1 <= nb2);
    TEVO_ASSERT(nb2 <= nb3);
    TEVO_ASSERT(tevo_is_quantized(src0->type));
    TEVO_ASSERT(dst->type == src0->type);
    TEVO_ASSERT(src1->type == TEVO_TYPE_F32);

    tevo_require_converters("ADD1", type, to_float, type, from_float);

    const float v = *(const float *) src1->data;

    int64_t ir0, ir1;
    tevo_row_block(params, nr, &ir0, &ir1);
    if (ir0 >= ir1) {
        return;
    }
    float * wdata = tevo_scratch_row(params, ne0);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne2 * ne1);
        const int64_t i2 = (ir - i3 * ne2 * ne1) / ne1;
        const int64_t i1 = ir - i3 * ne2 * ne1 - i2 * ne1;

        to_float((const char *) src0->data + i1 * nb01 + i2 * nb02 + i3 * nb03, wdata, ne0);
        tevo_vdsp_vsadd(wdata, 1, &v, wdata, 1, (size_t) ne0);
        from_float(wdata, (char *) dst->data + i1 * nb1 + i2 * nb2 + i3 * nb3, ne0);
    }
}

// ---------------------------------------------------------------------------
// ACC

// First and one-past-last byte of the window (offset, element size nb[0],
// strides nb[1..3], extents ne), whatever the signs of the strides; false
// when the arithmetic leaves 64 bits. An empty window spans nothing.
bool tevo_acc_window_span(const int64_t * ne, const int64_t * nb, int64_t offset, int64_t * first, int64_t * end) {
    *first = offset;
    *end   = offset;
    for (int i = 0; i < TEVO_MAX_DIMS; ++i) {
        if (ne[i] <= 0) {
            return true;
        }
    }
    if (__builtin_mul_overflow(ne[0], nb[0], end) || __builtin_add_overflow(*end, offset, end)) {
        return false;
    }
    for (int i = 1; i < TEVO_MAX_DIMS; ++i) {
        int64_t span;
        if (__builtin_mul_overflow(ne[i] - 1, nb[i], &span)) {
            return false;
        }
        if (__builtin_add_overflow(span < 0 ? *first : *end, span, span < 0 ? first : end)) {
            return false;
        }
    }
    return true;
}

}  // namespace

void tevo_compute_forward_add(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const enum tevo_type type = dst->src[0]->type;
    if (!tevo_type_in_range(type)) {
        TEVO_ABORT("fatal error");
    }
    switch (type) {
        case TEVO_TYPE_F32:
        case TEVO_TYPE_F16:
        case TEVO_TYPE_BF16:
            tevo_compute_forward_add_non_quantized(params, dst);
            return;
        case TEVO_TYPE_Q8_1:
        case TEVO_TYPE_Q8_K:
            break;
        default:
            if (tevo_is_quantized(type)) {
                tevo_compute_forward_add_q_f32(params, dst);
                return;
            }
            break;
    }
    TEVO_ABORT("fatal error");
}

void tevo_compute_forward_add_id(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];
    const struct tevo_tensor * src2 = dst->src[2];

    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("unsupported type for tevo_compute_forward_add_id: %s", tevo_type_name(src0->type));
    }

    TEVO_EW_LOCALS(int64_t, ne, dst, ne);
    TEVO_EW_LOCALS(size_t, nb, dst, nb);
    TEVO_EW_LOCALS(size_t, nb0, src0, nb);
    TEVO_EW_LOCALS(int64_t, ne1, src1, ne);
    TEVO_EW_LOCALS(size_t, nb1, src1, nb);
    TEVO_EW_LOCALS(size_t, nb2, src2, nb);

    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
    TEVO_ASSERT(src2->type == TEVO_TYPE_I32);
    TEVO_ASSERT(src0->nb[0] == sizeof(float));
    TEVO_ASSERT(src1->nb[0] == sizeof(float));
    TEVO_ASSERT(nb0 == sizeof(float));
    TEVO_ASSERT(nb10 == sizeof(float));

    int64_t ir0, ir1;
    tevo_row_block(params, tevo_nrows(src0), &ir0, &ir1);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne2 * ne1);
        const int64_t i2 = (ir - i3 * ne2 * ne1) / ne1;
        const int64_t i1 = ir - i3 * ne2 * ne1 - i2 * ne1;

        // only the id picks the src1 row; src1's dimensions 2 and 3 are not used
        const int32_t i11 = *(const int32_t *) ((const char *) src2->data + i1 * nb20 + i2 * nb21);
        TEVO_ASSERT(i11 >= 0 && i11 < ne11);

        tevo_vdsp_vadd((const float *) ((const char *) src0->data + i1 * nb01 + i2 * nb02 + i3 * nb03), 1,
                       (const float *) ((const char *) src1->data + i11 * nb11), 1,
                       (float *) ((char *) dst->data + i1 * nb1 + i2 * nb2 + i3 * nb3), 1, (size_t) ne0);
    }
}

void tevo_compute_forward_add1(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const enum tevo_type type  = dst->src[0]->type;
    const enum tevo_type stype = dst->src[1]->type;
    if (!tevo_type_in_range(type)) {
        TEVO_ABORT("fatal error");
    }
    switch (type) {
        case TEVO_TYPE_F32:
            if (stype == TEVO_TYPE_F32 || stype == TEVO_TYPE_F16 || stype == TEVO_TYPE_BF16) {
                tevo_compute_forward_add1_f32(params, dst);
                return;
            }
            break;
        case TEVO_TYPE_F16:
            if (stype == TEVO_TYPE_F16) {
                tevo_compute_forward_add1_f16_f16(params, dst);
                return;
            }
            if (stype == TEVO_TYPE_F32) {
                tevo_compute_forward_add1_f16_f32(params, dst);
                return;
            }
            break;
        case TEVO_TYPE_BF16:
            if (stype == TEVO_TYPE_BF16) {
                tevo_compute_forward_add1_bf16_bf16(params, dst);
                return;
            }
            if (stype == TEVO_TYPE_F32) {
                tevo_compute_forward_add1_bf16_f32(params, dst);
                return;
            }
            break;
        case TEVO_TYPE_Q8_K:
            break;
        default:
            if (tevo_is_quantized(type)) {
                tevo_compute_forward_add1_q_f32(params, dst);
                return;
            }
            break;
    }
    TEVO_ABORT("fatal error");
}

void tevo_compute_forward_acc(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    TEVO_ASSERT(tevo_are_same_shape(src0, dst));
    TEVO_ASSERT(tevo_is_contiguous(dst) && tevo_is_contiguous(src0));

    // the window's strides and offset, stored as signed 32-bit words
    const int64_t nb1     = tevo_get_op_params_i32(dst, 0);
    const int64_t nb2     = tevo_get_op_params_i32(dst, 1);
    const int64_t nb3     = tevo_get_op_params_i32(dst, 2);
    const int64_t offset  = tevo_get_op_params_i32(dst, 3);
    const bool    inplace = tevo_get_op_params_i32(dst, 4) != 0;

    const int64_t nr  = tevo_nrows(src1);
    const int64_t nc  = src1->ne[0];
    const int64_t nb0 = (int64_t) tevo_element_size(src0);

    TEVO_EW_LOCALS(int64_t, ne1, src1, ne);
    TEVO_EW_LOCALS(size_t, nb1, src1, nb);

    // The whole window must lie in dst: its first byte at or after the start,
    // and the last element's last byte before the end. Checked before
    // anything is written.
    TEVO_ASSERT(offset >= 0);
    TEVO_ASSERT_AS(offset + (ne10 == 0 ? 0 : ne10 - 1) * nb0 + (ne11 == 0 ? 0 : ne11 - 1) * nb1 +
                           (ne12 == 0 ? 0 : ne12 - 1) * nb2 + (ne13 == 0 ? 0 : ne13 - 1) * nb3 <
                       (int64_t) tevo_nbytes(dst),
                   "offset + (ne10 == 0 ? 0 : ne10-1)*nb0 + (ne11 == 0 ? 0 : ne11-1)*nb1 + (ne12 == 0 ? 0 : "
                   "ne12-1)*nb2 + (ne13 == 0 ? 0 : ne13-1)*nb3 < tevo_nbytes(dst)");
    // src0's window has the same strides as dst's, not src0's own
    TEVO_ASSERT_AS(offset + (ne10 == 0 ? 0 : ne10 - 1) * nb0 + (ne11 == 0 ? 0 : ne11 - 1) * nb1 +
                           (ne12 == 0 ? 0 : ne12 - 1) * nb2 + (ne13 == 0 ? 0 : ne13 - 1) * nb3 <
                       (int64_t) tevo_nbytes(src0),
                   "offset + (ne10 == 0 ? 0 : ne10-1)*nb00 + (ne11 == 0 ? 0 : ne11-1)*nb01 + (ne12 == 0 ? 0 : "
                   "ne12-1)*nb02 + (ne13 == 0 ? 0 : ne13-1)*nb03 < tevo_nbytes(src0)");
    TEVO_ASSERT(nb10 == sizeof(float));

    const int64_t window_ne[TEVO_MAX_DIMS] = { ne10, ne11, ne12, ne13 };
    const int64_t window_nb[TEVO_MAX_DIMS] = { nb0, nb1, nb2, nb3 };
    int64_t       window_first, window_end;
    const bool    window_known = tevo_acc_window_span(window_ne, window_nb, offset, &window_first, &window_end);
    TEVO_ASSERT(window_known && window_first >= 0 && window_end <= (int64_t) tevo_nbytes(dst));

    if (!inplace) {
        if (params->ith == 0) {
            memcpy(dst->data, src0->data, tevo_nbytes(dst));
        }
        tevo_barrier(params->threadpool);
    }

    int64_t ir0, ir1;
    tevo_row_block(params, nr, &ir0, &ir1);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne12 * ne11);
        const int64_t i2 = (ir - i3 * ne12 * ne11) / ne11;
        const int64_t i1 = ir - i3 * ne12 * ne11 - i2 * ne11;

        const int64_t at = offset + i1 * nb1 + i2 * nb2 + i3 * nb3;
        tevo_vdsp_vadd((const float *) ((const char *) src0->data + at), 1,
                       (const float *) ((const char *) src1->data + i1 * nb11 + i2 * nb12 + i3 * nb13), 1,
                       (float *) ((char *) dst->data + at), 1, (size_t) nc);
    }
}
