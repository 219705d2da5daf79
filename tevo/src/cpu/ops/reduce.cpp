#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// The reductions: SUM, SUM_ROWS, MEAN and ARGMAX on thread 0 alone, CUMSUM
// by row blocks, COUNT_EQUAL by row blocks with one partial count per thread
// combined after a barrier.
//
// Rows are read through the source's element stride nb[0]: a permuted or
// transposed view is reduced along its own dimension 0, not along memory.

#include "cpu/ops/elementwise.h"
#include "cpu/ops/ops.h"
#include "platform/platform.h"

namespace {

template <typename T> const T * tevo_elem(const char * row, int64_t k, size_t stride) {
    return (const T *) (row + k * stride);
}

// SUM: float rows in double, 16-bit rows in float; rows in row order
template <typename T, typename acc_t>
acc_t tevo_sum_rows_total(const struct tevo_tensor * src0) {
    TEVO_EW_LOCALS(int64_t, ne0, src0, ne);
    TEVO_EW_LOCALS(size_t, nb0, src0, nb);

    acc_t total = 0;
    for (int64_t i3 = 0; i3 < ne03; ++i3) {
        for (int64_t i2 = 0; i2 < ne02; ++i2) {
            for (int64_t i1 = 0; i1 < ne01; ++i1) {
                const char * row = (const char *) src0->data + i1 * nb01 + i2 * nb02 + i3 * nb03;
                acc_t        sum = 0;
                for (int64_t k = 0; k < ne00; ++k) {
                    sum += (acc_t) tevo_ew_to_f32(*tevo_elem<T>(row, k, nb00));
                }
                total += sum;
            }
        }
    }
    return total;
}

// single-precision sum of a row, packed or not
float tevo_row_sum_f32(const char * row, int64_t n, size_t stride) {
    float sum = 0.0f;
    if (stride == sizeof(float)) {
        tevo_vdsp_sve((const float *) row, 1, &sum, (size_t) n);
    } else if (stride % sizeof(float) == 0) {
        tevo_vdsp_sve((const float *) row, (ptrdiff_t) (stride / sizeof(float)), &sum, (size_t) n);
    } else {
        for (int64_t k = 0; k < n; ++k) {
            float v;
            memcpy(&v, row + k * stride, sizeof(v));
            sum += v;
        }
    }
    return sum;
}

}  // namespace

void tevo_compute_forward_sum(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    if (params->ith != 0) {
        return;
    }
    const struct tevo_tensor * src0 = dst->src[0];
    switch (src0->type) {
        case TEVO_TYPE_F32:
            *(float *) dst->data = (float) tevo_sum_rows_total<float, double>(src0);
            break;
        case TEVO_TYPE_F16:
            *(tevo_fp16_t *) dst->data = TEVO_FP32_TO_FP16((tevo_sum_rows_total<tevo_fp16_t, float>(src0)));
            break;
        case TEVO_TYPE_BF16:
            *(tevo_bf16_t *) dst->data = TEVO_FP32_TO_BF16((tevo_sum_rows_total<tevo_bf16_t, float>(src0)));
            break;
        default:
            TEVO_ABORT("fatal error");
    }
}

void tevo_compute_forward_sum_rows(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    if (params->ith != 0) {
        return;
    }
    const struct tevo_tensor * src0 = dst->src[0];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    TEVO_EW_LOCALS(int64_t, ne0, src0, ne);
    TEVO_EW_LOCALS(size_t, nb0, src0, nb);
    TEVO_EW_LOCALS(int64_t, ne, dst, ne);
    TEVO_EW_LOCALS(size_t, nb, dst, nb);

    TEVO_ASSERT(src0->nb[0] == sizeof(float));
    TEVO_ASSERT(dst->nb[0] == sizeof(float));
    TEVO_ASSERT(ne0 == 1);
    TEVO_ASSERT(ne1 == ne01);
    TEVO_ASSERT(ne2 == ne02);
    TEVO_ASSERT(ne3 == ne03);

    for (int64_t i3 = 0; i3 < ne03; ++i3) {
        for (int64_t i2 = 0; i2 < ne02; ++i2) {
            for (int64_t i1 = 0; i1 < ne01; ++i1) {
                const float * row = (const float *) ((const char *) src0->data + i1 * nb01 + i2 * nb02 + i3 * nb03);
                float *       out = (float *) ((char *) dst->data + i1 * nb1 + i2 * nb2 + i3 * nb3);
                tevo_vdsp_sve(row, 1, out, (size_t) ne00);
            }
        }
    }
}

void tevo_compute_forward_mean(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    if (params->ith != 0) {
        return;
    }
    const struct tevo_tensor * src0 = dst->src[0];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    TEVO_EW_LOCALS(int64_t, ne0, src0, ne);
    TEVO_EW_LOCALS(size_t, nb0, src0, nb);
    TEVO_EW_LOCALS(size_t, nb, dst, nb);

    for (int64_t i3 = 0; i3 < ne03; ++i3) {
        for (int64_t i2 = 0; i2 < ne02; ++i2) {
            for (int64_t i1 = 0; i1 < ne01; ++i1) {
                const char * row = (const char *) src0->data + i1 * nb01 + i2 * nb02 + i3 * nb03;
                float *      out = (float *) ((char *) dst->data + i1 * nb1 + i2 * nb2 + i3 * nb3);
                *out             = tevo_row_sum_f32(row, ne00, nb00);
                *out /= (float) ne00;
            }
        }
    }
}

void tevo_compute_forward_cumsum(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    TEVO_EW_LOCALS(int64_t, ne0, src0, ne);
    TEVO_EW_LOCALS(size_t, nb0, src0, nb);
    TEVO_EW_LOCALS(int64_t, ne, dst, ne);
    TEVO_EW_LOCALS(size_t, nb, dst, nb);

    TEVO_ASSERT(src0->nb[0] == sizeof(float));
    TEVO_ASSERT(dst->nb[0] == sizeof(float));
    TEVO_ASSERT(ne0 == ne00);
    TEVO_ASSERT(ne1 == ne01);
    TEVO_ASSERT(ne2 == ne02);
    TEVO_ASSERT(ne3 == ne03);

    const int64_t nr  = tevo_nrows(src0);
    const int64_t dr  = (nr + params->nth - 1) / params->nth;
    const int64_t ir0 = dr * params->ith;
    const int64_t ir1 = TEVO_MIN(ir0 + dr, nr);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne02 * ne01);
        const int64_t i2 = (ir % (ne02 * ne01)) / ne01;
        const int64_t i1 = (ir % (ne02 * ne01)) % ne01;

        const float * src = (const float *) ((const char *) src0->data + i1 * nb01 + i2 * nb02 + i3 * nb03);
        float *       out = (float *) ((char *) dst->data + i1 * nb1 + i2 * nb2 + i3 * nb3);
        if (ne00 < 1) {
            continue;
        }
        float s = src[0];
        out[0]  = s;
        for (int64_t k = 1; k < ne00; ++k) {
            s      = s + src[k];
            out[k] = s;
        }
    }
}

void tevo_compute_forward_argmax(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    if (params->ith != 0) {
        return;
    }
    const struct tevo_tensor * src0 = dst->src[0];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    // the result is a 32-bit index
    const int64_t ne00 = tevo_row_length(dst, src0->ne[0]);
    const int64_t ne01 = src0->ne[1];
    const size_t  nb00 = src0->nb[0];
    const size_t  nb01 = src0->nb[1];
    const size_t  nb0  = dst->nb[0];

    for (int64_t i1 = 0; i1 < ne01; ++i1) {
        const char * row = (const char *) src0->data + i1 * nb01;
        // a NaN makes m NaN, matches nothing and is replaced by the next element;
        // the last position of equal maxima wins
        float   m   = -INFINITY;
        int32_t idx = 0;
        for (int64_t k = 0; k < ne00; ++k) {
            const float v = *tevo_elem<float>(row, k, nb00);
            if (!(m > v)) {
                m = v;
            }
            if (m == v) {
                idx = (int32_t) k;
            }
        }
        *(int32_t *) ((char *) dst->data + i1 * nb0) = idx;
    }
}

void tevo_compute_forward_count_equal(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];
    if (src0->type != TEVO_TYPE_I32) {
        TEVO_ABORT("fatal error");
    }

    TEVO_ASSERT(src1->type == TEVO_TYPE_I32);
    TEVO_ASSERT(tevo_are_same_shape(src0, src1));
    TEVO_ASSERT(tevo_is_scalar(dst));
    TEVO_ASSERT(dst->type == TEVO_TYPE_I64);

    TEVO_EW_LOCALS(int64_t, ne0, src0, ne);
    TEVO_EW_LOCALS(size_t, nb0, src0, nb);
    TEVO_EW_LOCALS(size_t, nb1, src1, nb);

    const int64_t nr  = tevo_nrows(src0);
    const int64_t dr  = (nr + params->nth - 1) / params->nth;
    const int64_t ir0 = dr * params->ith;
    const int64_t ir1 = TEVO_MIN(ir0 + dr, nr);

    int64_t count = 0;
    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne02 * ne01);
        const int64_t i2 = (ir % (ne02 * ne01)) / ne01;
        const int64_t i1 = (ir % (ne02 * ne01)) % ne01;

        const char * row0 = (const char *) src0->data + i1 * nb01 + i2 * nb02 + i3 * nb03;
        const char * row1 = (const char *) src1->data + i1 * nb11 + i2 * nb12 + i3 * nb13;
        for (int64_t k = 0; k < ne00; ++k) {
            count += *tevo_elem<int32_t>(row0, k, nb00) == *tevo_elem<int32_t>(row1, k, nb10);
        }
    }

    // one slot per thread; the barrier publishes them to thread 0
    int64_t * partial = (int64_t *) params->wdata;
    if (params->ith != 0) {
        partial[params->ith] = count;
        tevo_barrier(params->threadpool);
        return;
    }
    tevo_barrier(params->threadpool);
    for (int i = 1; i < params->nth; ++i) {
        count += partial[i];
    }
    *(int64_t *) dst->data = count;
}
