#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// OUT_PROD: dst[i0, i1] = sum over k of src0[i0, k] * src1[i1, k] for every
// batch, the gradient of a matrix product. Thread 0 clears the destination
// and every thread waits for it; then each thread accumulates its own block
// of destination rows. Float rows are tiled 16 destination rows by 32 source
// rows, so a destination element is loaded and stored once per 32 products;
// half rows are added straight from their exact widening, block rows are
// decoded one at a time into the thread's slice of the work buffer. Every
// product is one fused multiply-add, added in ascending k, whatever the path.

#include "cpu/ops/ops.h"
#include "cpu/vec/vec.h"

#include <immintrin.h>

// prefix0 .. prefix3 = tensor->field[0 .. 3] (ne00, nb11, ne2 ...)
#define OUT_PROD_LOCALS(type, prefix, tensor, field)             \
    [[maybe_unused]] const type prefix##0 = (tensor)->field[0]; \
    [[maybe_unused]] const type prefix##1 = (tensor)->field[1]; \
    [[maybe_unused]] const type prefix##2 = (tensor)->field[2]; \
    [[maybe_unused]] const type prefix##3 = (tensor)->field[3]

// the source rows of one 32-row block, added to a destination row
static void out_prod_block32(int64_t n, float * d, const char * s0, size_t nb01, const float * s1) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 acc = _mm256_loadu_ps(d + i);
        for (int k = 0; k < 32; ++k) {
            const float * x = (const float *) (s0 + (size_t) k * nb01);
            acc             = _mm256_fmadd_ps(_mm256_loadu_ps(x + i), _mm256_set1_ps(s1[k]), acc);
        }
        _mm256_storeu_ps(d + i, acc);
    }
    for (; i < n; ++i) {
        float acc = d[i];
        for (int k = 0; k < 32; ++k) {
            acc = fmaf(((const float *) (s0 + (size_t) k * nb01))[i], s1[k], acc);
        }
        d[i] = acc;
    }
}

static void out_prod_clear(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    if (params->ith == 0) {
        // row by row through the strides, counted in 64 bits
        const size_t row = (size_t) dst->ne[0] * sizeof(float);
        for (int64_t i3 = 0; i3 < dst->ne[3]; ++i3) {
            for (int64_t i2 = 0; i2 < dst->ne[2]; ++i2) {
                for (int64_t i1 = 0; i1 < dst->ne[1]; ++i1) {
                    memset((char *) dst->data + i1 * dst->nb[1] + i2 * dst->nb[2] + i3 * dst->nb[3], 0, row);
                }
            }
        }
    }
    tevo_barrier(params->threadpool);
}

static void out_prod_f32(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    OUT_PROD_LOCALS(int64_t, ne0, src0, ne);
    OUT_PROD_LOCALS(size_t, nb0, src0, nb);
    OUT_PROD_LOCALS(int64_t, ne1, src1, ne);
    OUT_PROD_LOCALS(size_t, nb1, src1, nb);
    OUT_PROD_LOCALS(int64_t, ne, dst, ne);
    OUT_PROD_LOCALS(size_t, nb, dst, nb);

    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
    TEVO_ASSERT(ne0 == ne00);
    TEVO_ASSERT(ne1 == ne10);
    TEVO_ASSERT(ne2 == ne12);
    TEVO_ASSERT(ne3 == ne13);
    TEVO_ASSERT_AS(tevo_is_multiple(ne2, ne02), "ne2 % ne02 == 0");
    TEVO_ASSERT_AS(tevo_is_multiple(ne3, ne03), "ne3 % ne03 == 0");
    TEVO_ASSERT(nb00 == sizeof(float));
    TEVO_ASSERT(nb0 == sizeof(float));
    // src1 must hold every summed row of src0
    TEVO_ASSERT(ne01 <= ne11);

    out_prod_clear(params, dst);

    int64_t ir0, ir1;
    tevo_thread_range(ne1 * ne2 * ne3, params->ith, params->nth, &ir0, &ir1);

    // src0's matrices are shared by whole groups of consecutive batches
    const int64_t r2 = ne02 > 0 ? ne2 / ne02 : 1;
    const int64_t r3 = ne03 > 0 ? ne3 / ne03 : 1;

    const int64_t blck_0 = 16;
    const int64_t blck_1 = 32;

    float s1v[32];

    for (int64_t bir = ir0; bir < ir1; bir += blck_0) {
        const int64_t bir1 = TEVO_MIN(bir + blck_0, ir1);
        for (int64_t bi01 = 0; bi01 < ne01; bi01 += blck_1) {
            const int64_t bne01 = TEVO_MIN(bi01 + blck_1, ne01);
            for (int64_t ir = bir; ir < bir1; ++ir) {
                const int64_t i3 = ir / (ne2 * ne1);
                const int64_t i2 = (ir - i3 * ne2 * ne1) / ne1;
                const int64_t i1 = ir - i3 * ne2 * ne1 - i2 * ne1;

                const int64_t i02 = i2 / r2;
                const int64_t i03 = i3 / r3;

                float *      d  = (float *) ((char *) dst->data + i1 * nb1 + i2 * nb2 + i3 * nb3);
                const char * s0 = (const char *) src0->data + bi01 * nb01 + i02 * nb02 + i03 * nb03;
                const char * s1 = (const char *) src1->data + i1 * nb10 + bi01 * nb11 + i2 * nb12 + i3 * nb13;

                if (bne01 - bi01 == blck_1) {
                    for (int k = 0; k < 32; ++k) {
                        s1v[k] = *(const float *) (s1 + (size_t) k * nb11);
                    }
                    out_prod_block32(ne0, d, s0, nb01, s1v);
                } else {
                    for (int64_t i01 = bi01; i01 < bne01; ++i01) {
                        tevo_vec_mad_f32(ne0, d, (const float *) s0, *(const float *) s1);
                        s0 += nb01;
                        s1 += nb11;
                    }
                }
            }
        }
    }
}

// half and block-quantized src0: batches must match one to one
static void out_prod_converted(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];
    const enum tevo_type       type = src0->type;

    OUT_PROD_LOCALS(int64_t, ne0, src0, ne);
    OUT_PROD_LOCALS(size_t, nb0, src0, nb);
    OUT_PROD_LOCALS(int64_t, ne1, src1, ne);
    OUT_PROD_LOCALS(size_t, nb1, src1, nb);
    OUT_PROD_LOCALS(int64_t, ne, dst, ne);
    OUT_PROD_LOCALS(size_t, nb, dst, nb);

    // both sides are read and written as floats, whatever src0 holds
    TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(ne02 == ne12);
    TEVO_ASSERT(ne03 == ne13);
    TEVO_ASSERT(ne2 == ne12);
    TEVO_ASSERT(ne3 == ne13);
    TEVO_ASSERT(nb00 == tevo_type_size(type));
    TEVO_ASSERT(nb0 == sizeof(float));
    TEVO_ASSERT(ne0 == ne00);
    TEVO_ASSERT(ne1 == ne10);
    TEVO_ASSERT(ne01 <= ne11);

    tevo_to_float_t to_float = NULL;
    float *         wdata    = NULL;
    if (type != TEVO_TYPE_F16) {
        to_float = tevo_get_type_traits(type)->to_float;
        if (to_float == NULL) {
            TEVO_ABORT("OUT_PROD: no row-to-float converter for type %s", tevo_type_name(type));
        }
        TEVO_ASSERT(ne00 % tevo_blck_size(type) == 0);
        // one row of ne00 floats per thread, a cache line apart
        TEVO_ASSERT(params->wsize >= sizeof(float) * (size_t) params->nth * (size_t) (ne00 + 16));
        wdata = (float *) params->wdata + (size_t) params->ith * (size_t) (ne00 + 16);
    }

    out_prod_clear(params, dst);

    int64_t ir0, ir1;
    tevo_thread_range(ne1 * ne2 * ne3, params->ith, params->nth, &ir0, &ir1);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const int64_t i3 = ir / (ne2 * ne1);
        const int64_t i2 = (ir - i3 * ne2 * ne1) / ne1;
        const int64_t i1 = ir - i3 * ne2 * ne1 - i2 * ne1;

        float * d = (float *) ((char *) dst->data + i1 * nb1 + i2 * nb2 + i3 * nb3);

        for (int64_t i01 = 0; i01 < ne01; ++i01) {
            const char * s0 = (const char *) src0->data + i01 * nb01 + i2 * nb02 + i3 * nb03;
            const float  s1 = *(const float *) ((const char *) src1->data + i1 * nb10 + i01 * nb11 + i2 * nb12 +
                                               i3 * nb13);
            if (type == TEVO_TYPE_F16) {
                tevo_vec_mad_f32_f16(ne0, d, (const tevo_fp16_t *) s0, s1);
            } else {
                to_float(s0, wdata, ne00);
                tevo_vec_mad_f32(ne0, d, wdata, s1);
            }
        }
    }
}

void tevo_compute_forward_out_prod(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const enum tevo_type type = dst->src[0]->type;
    switch (type) {
        case TEVO_TYPE_F32:
            out_prod_f32(params, dst);
            return;
        case TEVO_TYPE_F16:
            out_prod_converted(params, dst);
            return;
        case TEVO_TYPE_BF16:
        case TEVO_TYPE_Q8_1:
        case TEVO_TYPE_Q8_K:
            break;
        default:
            if ((int) type >= 0 && type < TEVO_TYPE_COUNT && tevo_is_quantized(type)) {
                out_prod_converted(params, dst);
                return;
            }
            break;
    }
    TEVO_ABORT("fatal error");
}
