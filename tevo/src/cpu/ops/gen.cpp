#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Tensors generated from parameters: an arithmetic sequence and sinusoidal
// timestep embeddings.

#include "cpu/ops/ops.h"

#include <math.h>

void tevo_compute_forward_arange(const tevo_compute_params * params, tevo_tensor * dst) {
    if (dst->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(dst->nb[0] == sizeof(float));

    const float start = tevo_get_op_params_f32(dst, 0);
    const float stop  = tevo_get_op_params_f32(dst, 1);
    const float step  = tevo_get_op_params_f32(dst, 2);

    // the count exactly as the constructor made it
    const int64_t steps = (int64_t) ceilf((stop - start) / step);
    TEVO_ASSERT(tevo_nelements(dst) == steps);

    float * y = (float *) dst->data;
    for (int64_t i = params->ith; i < steps; i += params->nth) {
        y[i] = fmaf((float) i, step, start);
    }
}

void tevo_compute_forward_timestep_embedding(const tevo_compute_params * params, tevo_tensor * dst) {
    const tevo_tensor * src0 = dst->src[0];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(src0->nb[0] == sizeof(float));

    const int dim        = tevo_get_op_params_i32(dst, 0);
    const int max_period = tevo_get_op_params_i32(dst, 1);
    const int half       = dim / 2;

    const float L = -logf((float) max_period);

    const int64_t ne00 = src0->ne[0];
    for (int64_t i = 0; i < ne00; ++i) {
        const float t   = ((const float *) src0->data)[i];
        float *     row = (float *) ((char *) dst->data + i * dst->nb[1]);
        for (int j = params->ith; j < half; j += params->nth) {
            const float freq = expf((L * (float) j) / (float) half);
            const float arg  = t * freq;
            row[j]           = cosf(arg);
            row[j + half]    = sinf(arg);
        }
        if (dim % 2 != 0 && params->ith == 0) {
            row[2 * half] = 0.0f;
        }
    }
}
