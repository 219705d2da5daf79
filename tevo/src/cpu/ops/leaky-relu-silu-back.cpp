#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Two activations outside the unary family: the leaky rectifier (LEAKY_RELU,
// thread 0 alone) and the gradient of SiLU (SILU_BACK, row blocks over all
// threads), on float or half rows. The first source's type picks the path,
// and every operand must then have that type, the destination's shape and
// packed elements; each tensor's rows are found through its own strides, so
// a permuted or padded operand is read where it lies.

#include "cpu/ops/ops.h"

#include <immintrin.h>

// an operand read in the type of the first source: same type, shape as dst,
// elements packed
static void lrsb_check_operand(const struct tevo_tensor * t, const struct tevo_tensor * dst, enum tevo_type type) {
    TEVO_ASSERT(t->type == type);
    TEVO_ASSERT(tevo_are_same_shape(t, dst));
    TEVO_ASSERT(t->nb[0] == tevo_type_size(type));
}

// ---------------------------------------------------------------------------
// LEAKY_RELU: y = max(x, 0) + slope * min(x, 0); NaN gives 0

static inline float leaky_relu_one(float x, float slope) {
    // as the vector max and min: the second operand (0) when x is NaN
    const float hi = x > 0.0f ? x : 0.0f;
    const float lo = x < 0.0f ? x : 0.0f;
    return fmaf(slope, lo, hi);
}

void tevo_compute_forward_leaky_relu(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const enum tevo_type       type = src0->type;
    if (type != TEVO_TYPE_F32 && type != TEVO_TYPE_F16) {
        TEVO_ABORT("fatal error");
    }
    if (params->ith != 0) {
        return;
    }

    lrsb_check_operand(src0, dst, type);
    lrsb_check_operand(dst, dst, type);

    const float   slope = tevo_get_op_params_f32(dst, 0);
    const int64_t n     = tevo_nrows(src0);
    const int64_t nc    = src0->ne[0];

    const __m256 vslope = _mm256_set1_ps(slope);
    const __m256 zero   = _mm256_setzero_ps();

    for (int64_t ir = 0; ir < n; ++ir) {
        const char * xr = tevo_row_at(src0, ir);
        char *       yr = tevo_row_at(dst, ir);
        if (type == TEVO_TYPE_F32) {
            const float * x = (const float *) xr;
            float *       y = (float *) yr;
            int64_t       i = 0;
            for (; i + 8 <= nc; i += 8) {
                const __m256 v = _mm256_loadu_ps(x + i);
                _mm256_storeu_ps(y + i,
                                 _mm256_fmadd_ps(vslope, _mm256_min_ps(v, zero), _mm256_max_ps(v, zero)));
            }
            for (; i < nc; ++i) {
                y[i] = leaky_relu_one(x[i], slope);
            }
        } else {
            const tevo_fp16_t * x = (const tevo_fp16_t *) xr;
            tevo_fp16_t *       y = (tevo_fp16_t *) yr;
            for (int64_t i = 0; i < nc; ++i) {
                y[i] = TEVO_FP32_TO_FP16(leaky_relu_one(tevo_table_f32_f16[x[i]], slope));
            }
        }
    }
}

// ---------------------------------------------------------------------------
// SILU_BACK: src0 = dy, src1 = x; dx = s·dy·(1 + x·(1 − s)), s = sigmoid(x)

static inline float silu_back_one(float x, float dy) {
    const float s = 1.0f / (1.0f + expf(-x));
    return (s * dy) * fmaf(1.0f - s, x, 1.0f);
}

void tevo_compute_forward_silu_back(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * grad = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];
    const enum tevo_type       type = grad->type;
    if (type != TEVO_TYPE_F32 && type != TEVO_TYPE_F16) {
        TEVO_ABORT("fatal error");
    }

    lrsb_check_operand(grad, dst, type);
    lrsb_check_operand(src1, dst, type);
    lrsb_check_operand(dst, dst, type);

    const int64_t nc = src1->ne[0];

    int64_t ir0, ir1;
    tevo_thread_range(tevo_nrows(src1), params->ith, params->nth, &ir0, &ir1);

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        const char * dyr = tevo_row_at(grad, ir);
        const char * xr  = tevo_row_at(src1, ir);
        char *       dxr = tevo_row_at(dst, ir);
        if (type == TEVO_TYPE_F32) {
            const float * dy = (const float *) dyr;
            const float * x  = (const float *) xr;
            float *       dx = (float *) dxr;
            for (int64_t i = 0; i < nc; ++i) {
                dx[i] = silu_back_one(x[i], dy[i]);
            }
        } else {
            const tevo_fp16_t * dy = (const tevo_fp16_t *) dyr;
            const tevo_fp16_t * x  = (const tevo_fp16_t *) xr;
            tevo_fp16_t *       dx = (tevo_fp16_t *) dxr;
            for (int64_t i = 0; i < nc; ++i) {
                dx[i] = TEVO_FP32_TO_FP16(silu_back_one(tevo_table_f32_f16[x[i]], tevo_table_f32_f16[dy[i]]));
            }
        }
    }
}
