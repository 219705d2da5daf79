#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Row normalisations of F32 tensors: layer norm, RMS norm (alone and fused
// with the multiplication that consumes it), its gradient, group norm and L2
// norm. Rows are dealt to the threads in turn (groups for group norm), but
// for layer norm, whose threads take contiguous blocks of rows as the
// element-wise operators around it do: each thread then reads the rows it
// has just written itself, from its own cache. No kernel needs the work
// buffer or a barrier.
//
// The double sums add float products in index order on purpose: the result
// of a row must not depend on how it was vectorised or which thread ran it.

#include "cpu/ops/ops.h"
#include "cpu/vec/vec.h"
#include "platform/platform.h"

#include <immintrin.h>

static inline char * tevo_row_ptr(const struct tevo_tensor * t, int64_t i1, int64_t i2, int64_t i3) {
    return (char *) t->data + i1 * t->nb[1] + i2 * t->nb[2] + i3 * t->nb[3];
}

// ---------------------------------------------------------------------------
// NORM

void tevo_compute_forward_norm(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(tevo_are_same_shape(src0, dst));

    const float eps = tevo_get_op_params_f32(dst, 0);
    TEVO_ASSERT(eps >= 0.0f);

    const int     ith  = params->ith;
    const int     nth  = params->nth;
    const int64_t n    = src0->ne[0];
    const bool    fast = src0->nb[0] == sizeof(float) && dst->nb[0] == sizeof(float);

    const int64_t ne01 = src0->ne[1], ne02 = src0->ne[2];
    int64_t       ir0, ir1;
    tevo_thread_range(ne01 * ne02 * src0->ne[3], ith, nth, &ir0, &ir1);

    for (int64_t ir = ir0; ir < ir1; ir++) {
        const int64_t i03 = ir / (ne02 * ne01);
        const int64_t i02 = (ir - i03 * ne02 * ne01) / ne01;
        const int64_t i01 = ir - i03 * ne02 * ne01 - i02 * ne01;

        const char * xr = tevo_row_ptr(src0, i01, i02, i03);
        char *       yr = tevo_row_ptr(dst, i01, i02, i03);

        if (fast) {
            const float * x = (const float *) xr;
            float *       y = (float *) yr;

            float sum;
            tevo_vdsp_sve(x, 1, &sum, (size_t) n);
            const float m = (-sum) / (float) n;
            tevo_vdsp_vsadd(x, 1, &m, y, 1, (size_t) n);

            float variance;
            tevo_vdsp_measqv(y, 1, &variance, (size_t) n);
            const float scale = 1.0f / sqrtf(eps + variance);
            tevo_vdsp_vsmul(y, 1, &scale, y, 1, (size_t) n);
        } else {
            const size_t sx = src0->nb[0];
            const size_t sy = dst->nb[0];

            float sum = 0.0f;
            for (int64_t i = 0; i < n; i++) {
                sum += *(const float *) (xr + i * sx);
            }
            const float mean = sum / (float) n;

            float sum2 = 0.0f;
            for (int64_t i = 0; i < n; i++) {
                const float v            = *(const float *) (xr + i * sx) - mean;
                *(float *) (yr + i * sy) = v;
                sum2                     = fmaf(v, v, sum2);
            }
            const float variance = sum2 / (float) n;
            const float scale    = 1.0f / sqrtf(eps + variance);
            for (int64_t i = 0; i < n; i++) {
                float * y = (float *) (yr + i * sy);
                *y        = scale * *y;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// RMS_NORM

// 1 / sqrt(mean of squares + eps), the sum formed in double
static inline float tevo_rms_norm_scale(const float * x, int64_t n, float eps) {
    const double sum = tevo_vec_sum_sq_f32(n, x);
    return 1.0f / sqrtf((float) (sum / (double) n) + eps);
}

void tevo_compute_forward_rms_norm(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(tevo_are_same_shape(src0, dst));
    TEVO_ASSERT(src0->nb[0] == sizeof(float));

    const float eps = tevo_get_op_params_f32(dst, 0);
    TEVO_ASSERT(eps >= 0.0f);

    const int     ith  = params->ith;
    const int     nth  = params->nth;
    const int64_t ne00 = src0->ne[0];

    for (int64_t i03 = 0; i03 < src0->ne[3]; i03++) {
        for (int64_t i02 = 0; i02 < src0->ne[2]; i02++) {
            for (int64_t i01 = ith; i01 < src0->ne[1]; i01 += nth) {
                const float * x = (const float *) tevo_row_ptr(src0, i01, i02, i03);
                float *       y = (float *) tevo_row_ptr(dst, i01, i02, i03);

                const float scale = tevo_rms_norm_scale(x, ne00, eps);

                if (y != x) {
                    memcpy(y, x, (size_t) ne00 * sizeof(float));
                }
                tevo_vdsp_vsmul(y, 1, &scale, y, 1, (size_t) ne00);
            }
        }
    }
}

// RMS_NORM and the MUL after it in one pass; the norm node itself stays unwritten
void tevo_compute_forward_rms_norm_mul_fused(const struct tevo_compute_params * params,
                                             struct tevo_tensor * dst_rms_norm, struct tevo_tensor * dst_mul) {
    TEVO_ASSERT(dst_mul != nullptr);

    const struct tevo_tensor * w;
    if (dst_mul->src[0] == dst_rms_norm) {
        w = dst_mul->src[1];
    } else {
        TEVO_ASSERT(dst_mul->src[0] == dst_rms_norm || dst_mul->src[1] == dst_rms_norm);
        w = dst_mul->src[0];
    }

    const struct tevo_tensor * src0 = dst_rms_norm->src[0];
    const struct tevo_tensor * dst  = dst_mul;
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(tevo_are_same_shape(src0, dst));
    TEVO_ASSERT(src0->nb[0] == sizeof(float));

    const float eps = tevo_get_op_params_f32(dst_rms_norm, 0);
    TEVO_ASSERT(eps >= 0.0f);

    const int     ith  = params->ith;
    const int     nth  = params->nth;
    const int64_t ne00 = src0->ne[0];

    for (int64_t i03 = 0; i03 < src0->ne[3]; i03++) {
        for (int64_t i02 = 0; i02 < src0->ne[2]; i02++) {
            for (int64_t i01 = ith; i01 < src0->ne[1]; i01 += nth) {
                const float * x  = (const float *) tevo_row_ptr(src0, i01, i02, i03);
                const float * wr = (const float *) tevo_row_ptr(w, i01 % w->ne[1], i02 % w->ne[2], i03 % w->ne[3]);
                float *       y  = (float *) tevo_row_ptr(dst, i01, i02, i03);

                const float scale = tevo_rms_norm_scale(x, ne00, eps);

                const __m256 vs = _mm256_set1_ps(scale);
                int64_t      i  = 0;
                for (; i + 8 <= ne00; i += 8) {
                    const __m256 v = _mm256_mul_ps(_mm256_mul_ps(vs, _mm256_loadu_ps(x + i)), _mm256_loadu_ps(wr + i));
                    _mm256_storeu_ps(y + i, v);
                }
                for (; i < ne00; i++) {
                    y[i] = (scale * x[i]) * wr[i];
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// RMS_NORM_BACK: src0 the incoming gradient, src1 the forward input

void tevo_compute_forward_rms_norm_back(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(tevo_are_same_shape(src0, dst) && tevo_are_same_shape(src0, src1));
    TEVO_ASSERT(src0->nb[0] == sizeof(float));
    TEVO_ASSERT(src1->nb[0] == sizeof(float));

    const float eps = tevo_get_op_params_f32(dst, 0);

    const int     ith  = params->ith;
    const int     nth  = params->nth;
    const int64_t ne00 = src0->ne[0];

    for (int64_t i03 = 0; i03 < src0->ne[3]; i03++) {
        for (int64_t i02 = 0; i02 < src0->ne[2]; i02++) {
            for (int64_t i01 = ith; i01 < src0->ne[1]; i01 += nth) {
                const float * dz = (const float *) tevo_row_ptr(src0, i01, i02, i03);
                const float * x  = (const float *) tevo_row_ptr(src1, i01, i02, i03);
                float *       dx = (float *) tevo_row_ptr(dst, i01, i02, i03);

                double sum_xx  = 0.0;
                double sum_xdz = 0.0;
                for (int64_t i = 0; i < ne00; i++) {
                    sum_xx += (double) (x[i] * x[i]);
                    sum_xdz += (double) (x[i] * dz[i]);
                }

                const float mean_eps = (float) sum_xx / (float) ne00 + eps;
                const float rrms     = 1.0f / sqrtf(mean_eps);
                const float sum_eps  = fmaf(eps, (float) ne00, (float) sum_xx);
                const float k        = -(float) sum_xdz / sum_eps;

                const __m256 vk = _mm256_set1_ps(k);
                const __m256 vr = _mm256_set1_ps(rrms);
                int64_t      i  = 0;
                for (; i + 8 <= ne00; i += 8) {
                    const __m256 v = _mm256_fmadd_ps(_mm256_loadu_ps(x + i), vk, _mm256_loadu_ps(dz + i));
                    _mm256_storeu_ps(dx + i, _mm256_mul_ps(v, vr));
                }
                for (; i < ne00; i++) {
                    dx[i] = fmaf(x[i], k, dz[i]) * rrms;
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// GROUP_NORM: groups of channels (dimension 2)

void tevo_compute_forward_group_norm(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(tevo_are_same_shape(src0, dst));
    TEVO_ASSERT(src0->nb[0] == sizeof(float));

    const int32_t n_groups = tevo_get_op_params_i32(dst, 0);
    const float   eps      = tevo_get_op_params_f32(dst, 1);
    // the group size divides by it
    TEVO_ASSERT(n_groups > 0);

    const int     ith  = params->ith;
    const int     nth  = params->nth;
    const int64_t ne00 = src0->ne[0];
    const int64_t ne01 = src0->ne[1];
    const int64_t ne02 = src0->ne[2];

    const int64_t per_group = (ne02 + n_groups - 1) / n_groups;

    for (int32_t g = ith; g < n_groups; g += nth) {
        const int64_t start = g * per_group;
        const int64_t end   = TEVO_MIN(start + per_group, ne02);
        if (start >= end) {
            continue;
        }
        const int64_t step = end - start;
        const double  N    = (double) (step * ne00 * ne01);

        for (int64_t i03 = 0; i03 < src0->ne[3]; i03++) {
            double sum = 0.0;
            for (int64_t i02 = start; i02 < end; i02++) {
                for (int64_t i01 = 0; i01 < ne01; i01++) {
                    const float * x    = (const float *) tevo_row_ptr(src0, i01, i02, i03);
                    double        sumr = 0.0;
                    for (int64_t i = 0; i < ne00; i++) {
                        sumr += (double) x[i];
                    }
                    sum += sumr;
                }
            }
            const float mean = (float) (sum / N);

            double sum2 = 0.0;
            for (int64_t i02 = start; i02 < end; i02++) {
                for (int64_t i01 = 0; i01 < ne01; i01++) {
                    const float * x    = (const float *) tevo_row_ptr(src0, i01, i02, i03);
                    float *       y    = (float *) tevo_row_ptr(dst, i01, i02, i03);
                    double        sumr = 0.0;
                    for (int64_t i = 0; i < ne00; i++) {
                        const float v = x[i] - mean;
                        y[i]          = v;
                        sumr += (double) (v * v);
                    }
                    sum2 += sumr;
                }
            }
            const float variance = (float) (sum2 / N);
            const float scale    = 1.0f / sqrtf(variance + eps);

            for (int64_t i02 = start; i02 < end; i02++) {
                for (int64_t i01 = 0; i01 < ne01; i01++) {
                    float * y = (float *) tevo_row_ptr(dst, i01, i02, i03);
                    tevo_vdsp_vsmul(y, 1, &scale, y, 1, (size_t) ne00);
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// L2_NORM

void tevo_compute_forward_l2_norm(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(tevo_are_same_shape(src0, dst));

    const float eps = tevo_get_op_params_f32(dst, 0);
    TEVO_ASSERT(eps >= 0.0f);

    const int     ith  = params->ith;
    const int     nth  = params->nth;
    const int64_t ne00 = src0->ne[0];
    const size_t  sx   = src0->nb[0];
    const size_t  sy   = dst->nb[0];
    const bool    fast = sx == sizeof(float) && sy == sizeof(float);

    for (int64_t i03 = 0; i03 < src0->ne[3]; i03++) {
        for (int64_t i02 = 0; i02 < src0->ne[2]; i02++) {
            for (int64_t i01 = ith; i01 < src0->ne[1]; i01 += nth) {
                const char * xr = tevo_row_ptr(src0, i01, i02, i03);
                char *       yr = tevo_row_ptr(dst, i01, i02, i03);

                double sum;
                if (sx == sizeof(float)) {
                    sum = tevo_vec_sum_sq_f32(ne00, (const float *) xr);
                } else {
                    sum = 0.0;
                    for (int64_t i = 0; i < ne00; i++) {
                        const float v = *(const float *) (xr + i * sx);
                        sum += (double) (v * v);
                    }
                }
                const float r     = sqrtf((float) sum);
                const float scale = 1.0f / fmaxf(r, eps);

                if (fast) {
                    if (yr != xr) {
                        memcpy(yr, xr, (size_t) ne00 * sizeof(float));
                    }
                    tevo_vdsp_vsmul((float *) yr, 1, &scale, (float *) yr, 1, (size_t) ne00);
                } else {
                    for (int64_t i = 0; i < ne00; i++) {
                        *(float *) (yr + i * sy) = scale * *(const float *) (xr + i * sx);
                    }
                }
            }
        }
    }
}
