#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Row softmax with scale, additive mask, positional slopes and sinks; its
// gradient; the causal masks, the diagonal matrix and clamp.

#include "cpu/ops/ops.h"
#include "platform/platform.h"
#include "cpu/vec/vec.h"

#include <immintrin.h>

static inline char * tevo_row_ptr(const struct tevo_tensor * t, int64_t i1, int64_t i2, int64_t i3) {
    return (char *) t->data + i1 * t->nb[1] + i2 * t->nb[2] + i3 * t->nb[3];
}

// ---------------------------------------------------------------------------
// SOFT_MAX

void tevo_compute_forward_soft_max(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];
    const struct tevo_tensor * src2 = dst->src[2];

    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    const float scale    = tevo_get_op_params_f32(dst, 0);
    const float max_bias = tevo_get_op_params_f32(dst, 1);

    const int ith = params->ith;
    const int nth = params->nth;

    const int64_t ne00 = src0->ne[0];
    const int64_t ne01 = src0->ne[1];
    const int64_t ne02 = src0->ne[2];
    const int64_t ne03 = src0->ne[3];

    const int64_t ne12 = src1 ? src1->ne[2] : 1;
    const int64_t ne13 = src1 ? src1->ne[3] : 1;
    const size_t  nb11 = src1 ? src1->nb[1] : 1;
    const size_t  nb12 = src1 ? src1->nb[2] : 1;
    const size_t  nb13 = src1 ? src1->nb[3] : 1;

    if (ne03 < 1 || ne02 < 1 || ith >= ne01) {
        return;
    }
    // the softmax routine takes an int length
    const int n = tevo_row_length(dst, ne00);

    const uint32_t n_head      = (uint32_t) ne02;
    const uint32_t n_head_log2 = 1u << (uint32_t) floor(log2((double) n_head));
    const float    m0          = exp2f(-max_bias / (float) n_head_log2);
    const float    m1          = exp2f((-0.5f * max_bias) / (float) n_head_log2);

    const bool use_f16 = src1 != NULL && src1->type == TEVO_TYPE_F16;

    // this thread's scratch row
    TEVO_ASSERT(params->wsize >= (size_t) (ith + 1) * (size_t) (ne00 + 16) * sizeof(float));
    float *       w     = (float *) params->wdata + (size_t) ith * (size_t) (ne00 + 16);
    const float * sinks = src2 ? (const float *) src2->data : NULL;

    for (int64_t i03 = 0; i03 < ne03; i03++) {
        for (int64_t i02 = 0; i02 < ne02; i02++) {
            const uint32_t h     = (uint32_t) i02;
            float          slope = 1.0f;
            if (max_bias > 0.0f) {
                slope = h < n_head_log2 ? powf(m0, (float) (h + 1)) : powf(m1, (float) (2 * (h - n_head_log2) + 1));
            }

            for (int64_t i01 = ith; i01 < ne01; i01 += nth) {
                const float * x = (const float *) tevo_row_ptr(src0, i01, i02, i03);
                float *       y = (float *) tevo_row_ptr(dst, i01, i02, i03);

                // the copy into the scratch row and the scaling in one pass
                tevo_vdsp_vsmul(x, 1, &scale, w, 1, (size_t) ne00);

                if (src1) {
                    const char * mp =
                        (const char *) src1->data + i01 * nb11 + (i02 % ne12) * nb12 + (i03 % ne13) * nb13;
                    if (use_f16) {
                        tevo_vec_mad_f32_f16(ne00, w, (const tevo_fp16_t *) mp, slope);
                    } else {
                        tevo_vec_mad_f32(ne00, w, (const float *) mp, slope);
                    }
                }

                float max = -INFINITY;
                tevo_vdsp_maxv(w, 1, &max, (size_t) ne00);
                if (sinks && sinks[i02] > max) {
                    max = sinks[i02];
                }

                double sum = tevo_vec_soft_max_f32(n, y, w, max);
                if (sinks) {
                    sum += (double) expf(sinks[i02] - max);
                }

                const float inv = (float) (1.0 / sum);
                tevo_vdsp_vsmul(y, 1, &inv, y, 1, (size_t) ne00);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// SOFT_MAX_BACK: src0 = dy, src1 = y (the softmax output)

void tevo_compute_forward_soft_max_ext_back(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];

    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    const float scale    = tevo_get_op_params_f32(dst, 0);
    const float max_bias = tevo_get_op_params_f32(dst, 1);

    TEVO_ASSERT(tevo_is_contiguous(src0));
    TEVO_ASSERT(tevo_is_contiguous(src1));
    TEVO_ASSERT(tevo_is_contiguous(dst));
    TEVO_ASSERT(tevo_are_same_shape(src0, dst));
    TEVO_ASSERT(tevo_are_same_shape(src1, dst));
    TEVO_ASSERT(max_bias == 0.0f);

    // the dot product takes an int length
    const int64_t nc = tevo_row_length(dst, src0->ne[0]);
    const int64_t nr = tevo_nrows(src0);
    const int64_t dr = (nr + params->nth - 1) / params->nth;
    const int64_t r0 = dr * params->ith;
    const int64_t r1 = TEVO_MIN(r0 + dr, nr);

    for (int64_t i1 = r0; i1 < r1; i1++) {
        const float * dy = (const float *) tevo_row_at(src0, i1);
        const float * y  = (const float *) tevo_row_at(src1, i1);
        float *       dx = (float *) tevo_row_at(dst, i1);

        float dot;
        tevo_vec_dot_f32((int) nc, &dot, 0, y, 0, dy, 0, 1);

        for (int64_t i = 0; i < nc; i++) {
            dx[i] = (scale * (dy[i] - dot)) * y[i];
        }
    }
}

// ---------------------------------------------------------------------------
// DIAG_MASK_INF, DIAG_MASK_ZERO

static void tevo_compute_forward_diag_mask_f32(const struct tevo_compute_params * params, struct tevo_tensor * dst,
                                               float value) {
    const struct tevo_tensor * src0 = dst->src[0];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    const int ith = params->ith;
    const int nth = params->nth;

    const int n_past = tevo_get_op_params_i32(dst, 0);
    TEVO_ASSERT(n_past >= 0);

    const bool inplace = src0->data == dst->data;
    if (!inplace) {
        if (ith == 0) {
            TEVO_ASSERT(tevo_nelements(dst) == tevo_nelements(src0));
            TEVO_ASSERT(tevo_is_contiguous(dst) && tevo_is_contiguous(src0));
            memcpy(dst->data, src0->data, tevo_nbytes(dst));
        }
        tevo_barrier(params->threadpool);
    }

    TEVO_ASSERT(dst->nb[0] == sizeof(float));
    TEVO_ASSERT(src0->nb[0] == sizeof(float));

    const int64_t nc = src0->ne[0];
    const int64_t nr = src0->ne[1];

    // planes by their own strides, so an in-place mask over a view is right too
    for (int64_t i3 = 0; i3 < dst->ne[3]; i3++) {
        for (int64_t i2 = 0; i2 < dst->ne[2]; i2++) {
            for (int64_t j = ith; j < nr; j += nth) {
                float * row = (float *) tevo_row_ptr(dst, j, i2, i3);
                // row j keeps columns 0 .. n_past + j
                for (int64_t i = n_past + j + 1; i < nc; i++) {
                    row[i] = value;
                }
            }
        }
    }
}

void tevo_compute_forward_diag_mask_inf(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    tevo_compute_forward_diag_mask_f32(params, dst, -INFINITY);
}

void tevo_compute_forward_diag_mask_zero(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    tevo_compute_forward_diag_mask_f32(params, dst, 0.0f);
}

// ---------------------------------------------------------------------------
// DIAG

void tevo_compute_forward_diag(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    if (params->ith != 0) {
        return;
    }

    const int64_t ne00 = src0->ne[0];
    const int64_t ne01 = src0->ne[1];
    const int64_t ne02 = src0->ne[2];
    const int64_t ne03 = src0->ne[3];
    const size_t  nb00 = src0->nb[0];
    const int64_t ne0  = dst->ne[0];
    const int64_t ne1  = dst->ne[1];
    const int64_t ne2  = dst->ne[2];
    const int64_t ne3  = dst->ne[3];
    const size_t  nb0  = dst->nb[0];

    TEVO_ASSERT(ne00 == ne0);
    TEVO_ASSERT(ne00 == ne1);
    TEVO_ASSERT(ne01 == 1);
    TEVO_ASSERT(ne02 == ne2);
    TEVO_ASSERT(ne03 == ne3);
    TEVO_ASSERT(nb00 == sizeof(float));
    TEVO_ASSERT(nb0 == sizeof(float));

    for (int64_t i3 = 0; i3 < ne3; i3++) {
        for (int64_t i2 = 0; i2 < ne2; i2++) {
            const float * s = (const float *) tevo_row_ptr(src0, 0, i2, i3);
            for (int64_t i1 = 0; i1 < ne1; i1++) {
                float * d = (float *) tevo_row_ptr(dst, i1, i2, i3);
                memset(d, 0, (size_t) ne0 * sizeof(float));
                d[i1] = s[i1];
            }
        }
    }
}

// ---------------------------------------------------------------------------
// CLAMP: t = v < max ? v : max, then t > min ? t : min, so NaN becomes max

void tevo_compute_forward_clamp(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];

    const float min = tevo_get_op_params_f32(dst, 0);
    const float max = tevo_get_op_params_f32(dst, 1);

    const size_t nb0  = dst->nb[0];
    const size_t nb00 = src0->nb[0];

    switch (src0->type) {
        case TEVO_TYPE_F32:
            TEVO_ASSERT(nb0 == sizeof(float));
            TEVO_ASSERT(nb00 == sizeof(float));
            break;
        case TEVO_TYPE_F16:
            TEVO_ASSERT(nb0 == sizeof(tevo_fp16_t));
            TEVO_ASSERT(nb00 == sizeof(tevo_fp16_t));
            break;
        default: TEVO_ABORT("fatal error");
    }

    const int64_t n   = src0->ne[0];
    const int64_t ne1 = src0->ne[1];
    const int64_t ne2 = src0->ne[2];
    const int64_t nr  = tevo_nrows(src0);

    const __m256 vmin = _mm256_set1_ps(min);
    const __m256 vmax = _mm256_set1_ps(max);

    // rows by all their strides, so views that are not packed clamp right
    for (int64_t ir = params->ith; ir < nr; ir += params->nth) {
        const int64_t i1 = ir % ne1;
        const int64_t i2 = (ir / ne1) % ne2;
        const int64_t i3 = ir / (ne1 * ne2);

        const char * xr = tevo_row_ptr(src0, i1, i2, i3);
        char *       yr = tevo_row_ptr(dst, i1, i2, i3);

        if (src0->type == TEVO_TYPE_F32) {
            const float * x = (const float *) xr;
            float *       y = (float *) yr;
            int64_t       i = 0;
            // min_ps(a, b) is a < b ? a : b and max_ps(a, b) is a > b ? a : b
            for (; i + 8 <= n; i += 8) {
                const __m256 t = _mm256_min_ps(_mm256_loadu_ps(x + i), vmax);
                _mm256_storeu_ps(y + i, _mm256_max_ps(t, vmin));
            }
            for (; i < n; i++) {
                const float t = x[i] < max ? x[i] : max;
                y[i]          = t > min ? t : min;
            }
        } else {
            const tevo_fp16_t * x = (const tevo_fp16_t *) xr;
            tevo_fp16_t *       y = (tevo_fp16_t *) yr;
            for (int64_t i = 0; i < n; i++) {
                const float v = tevo_table_f32_f16[x[i]];
                const float t = v < max ? v : max;
                y[i]          = TEVO_FP32_TO_FP16(t > min ? t : min);
            }
        }
    }
}
