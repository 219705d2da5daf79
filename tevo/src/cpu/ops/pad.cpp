#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Padding (zeros or wrapped source), reflection padding of dimension 0 and
// the cyclic shift. Float tensors only.

#include "cpu/ops/ops.h"

#include <stdint.h>
#include <string.h>

namespace {

// i mod n in [0, n): circular padding may ask for more than one turn
inline int64_t tevo_wrap_index(int64_t i, int64_t n) {
    const int64_t r = i % n;
    return r < 0 ? r + n : r;
}

// one correction suffices: roll shifts are smaller than their extents
inline int64_t tevo_roll_wrap(int64_t i, int64_t n) {
    return i < 0 ? i + n : (i >= n ? i - n : i);
}

void tevo_pad_zero_f32(const tevo_compute_params * params, tevo_tensor * dst, const int32_t * p) {
    const tevo_tensor * src0 = dst->src[0];

    const int64_t lp0 = p[0], rp0 = p[1], lp1 = p[2], rp1 = p[3];
    const int64_t lp2 = p[4], rp2 = p[5], lp3 = p[6], rp3 = p[7];

    const int64_t ne0 = dst->ne[0], ne1 = dst->ne[1], ne2 = dst->ne[2], ne3 = dst->ne[3];

    // the columns that hold source data
    const int64_t c0 = TEVO_MAX(lp0, (int64_t) 0);
    const int64_t c1 = TEVO_MAX(TEVO_MIN(ne0 - rp0, ne0), c0);

    for (int64_t i3 = 0; i3 < ne3; ++i3) {
        for (int64_t i2 = 0; i2 < ne2; ++i2) {
            for (int64_t i1 = params->ith; i1 < ne1; i1 += params->nth) {
                float * y = (float *) ((char *) dst->data + i1 * dst->nb[1] + i2 * dst->nb[2] + i3 * dst->nb[3]);

                const bool inside = lp1 <= i1 && i1 < ne1 - rp1 && lp2 <= i2 && i2 < ne2 - rp2 && lp3 <= i3 &&
                                    i3 < ne3 - rp3;
                if (!inside) {
                    for (int64_t i0 = 0; i0 < ne0; ++i0) {
                        y[i0] = 0.0f;
                    }
                    continue;
                }

                const char * x = (const char *) src0->data + (i1 - lp1) * src0->nb[1] + (i2 - lp2) * src0->nb[2] +
                                 (i3 - lp3) * src0->nb[3];
                for (int64_t i0 = 0; i0 < c0; ++i0) {
                    y[i0] = 0.0f;
                }
                if (src0->nb[0] == sizeof(float)) {
                    memcpy(y + c0, x + (c0 - lp0) * sizeof(float), (size_t) (c1 - c0) * sizeof(float));
                } else {
                    for (int64_t i0 = c0; i0 < c1; ++i0) {
                        y[i0] = *(const float *) (x + (i0 - lp0) * src0->nb[0]);
                    }
                }
                for (int64_t i0 = c1; i0 < ne0; ++i0) {
                    y[i0] = 0.0f;
                }
            }
        }
    }
}

void tevo_pad_circular_f32(const tevo_compute_params * params, tevo_tensor * dst, const int32_t * p) {
    const tevo_tensor * src0 = dst->src[0];

    const int64_t ne0 = dst->ne[0], ne1 = dst->ne[1], ne2 = dst->ne[2], ne3 = dst->ne[3];

    for (int64_t i3 = 0; i3 < ne3; ++i3) {
        const int64_t j3 = tevo_wrap_index(i3 - p[6], src0->ne[3]);
        for (int64_t i2 = 0; i2 < ne2; ++i2) {
            const int64_t j2 = tevo_wrap_index(i2 - p[4], src0->ne[2]);
            for (int64_t i1 = params->ith; i1 < ne1; i1 += params->nth) {
                const int64_t j1 = tevo_wrap_index(i1 - p[2], src0->ne[1]);

                float *      y = (float *) ((char *) dst->data + i1 * dst->nb[1] + i2 * dst->nb[2] + i3 * dst->nb[3]);
                const char * x = (const char *) src0->data + j1 * src0->nb[1] + j2 * src0->nb[2] + j3 * src0->nb[3];
                for (int64_t i0 = 0; i0 < ne0; ++i0) {
                    y[i0] = *(const float *) (x + tevo_wrap_index(i0 - p[0], src0->ne[0]) * src0->nb[0]);
                }
            }
        }
    }
}

} // namespace

void tevo_compute_forward_pad(const tevo_compute_params * params, tevo_tensor * dst) {
    if (dst->src[0]->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    const int32_t * p = dst->op_params;
    if (p[8] != 0) {
        tevo_pad_circular_f32(params, dst, p);
    } else {
        tevo_pad_zero_f32(params, dst, p);
    }
}

void tevo_compute_forward_pad_reflect_1d(const tevo_compute_params * params, tevo_tensor * dst) {
    const tevo_tensor * src0 = dst->src[0];

    TEVO_ASSERT(src0->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);

    const int64_t p0 = tevo_get_op_params_i32(dst, 0);
    const int64_t p1 = tevo_get_op_params_i32(dst, 1);

    const int64_t ne00 = src0->ne[0];
    const int64_t ne0 = dst->ne[0], ne1 = dst->ne[1], ne2 = dst->ne[2], ne3 = dst->ne[3];

    for (int64_t i3 = 0; i3 < ne3; ++i3) {
        for (int64_t i2 = 0; i2 < ne2; ++i2) {
            for (int64_t i1 = params->ith; i1 < ne1; i1 += params->nth) {
                char *  row   = (char *) dst->data + i3 * dst->nb[3] + i2 * dst->nb[2] + i1 * dst->nb[1];
                float * left  = (float *) (row + p0 * dst->nb[0]);
                float * right = (float *) (row + (ne0 - p1 - 1) * dst->nb[0]);

                memcpy(left, (const char *) src0->data + i3 * src0->nb[3] + i2 * src0->nb[2] + i1 * src0->nb[1],
                       (size_t) ne00 * sizeof(float));

                for (int64_t i = 1; i <= p0; ++i) {
                    left[-i] = left[i];
                }
                for (int64_t i = 1; i <= p1; ++i) {
                    right[i] = right[-i];
                }
            }
        }
    }
}

void tevo_compute_forward_roll(const tevo_compute_params * params, tevo_tensor * dst) {
    const tevo_tensor * src0 = dst->src[0];
    if (src0->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    const int64_t s0 = tevo_get_op_params_i32(dst, 0);
    const int64_t s1 = tevo_get_op_params_i32(dst, 1);
    const int64_t s2 = tevo_get_op_params_i32(dst, 2);
    const int64_t s3 = tevo_get_op_params_i32(dst, 3);

    const int64_t ne00 = src0->ne[0];
    const int64_t ne1 = dst->ne[1], ne2 = dst->ne[2], ne3 = dst->ne[3];

    const int64_t total = ne1 * ne2 * ne3;
    const int64_t per   = (total + params->nth) / params->nth;
    const int64_t r0    = params->ith * per;
    const int64_t r1    = TEVO_MIN(r0 + per, total);

    const int64_t s = tevo_roll_wrap(-s0, ne00);
    const int64_t n = ne00 - s;

    for (int64_t r = r0; r < r1; ++r) {
        const int64_t i1 = r % ne1;
        const int64_t i2 = (r / ne1) % ne2;
        const int64_t i3 = r / (ne1 * ne2);

        const int64_t j1 = tevo_roll_wrap(i1 - s1, src0->ne[1]);
        const int64_t j2 = tevo_roll_wrap(i2 - s2, src0->ne[2]);
        const int64_t j3 = tevo_roll_wrap(i3 - s3, src0->ne[3]);

        float *       y = (float *) ((char *) dst->data + i3 * dst->nb[3] + i2 * dst->nb[2] + i1 * dst->nb[1]);
        const float * x =
            (const float *) ((const char *) src0->data + j3 * src0->nb[3] + j2 * src0->nb[2] + j1 * src0->nb[1]);

        memcpy(y, x + s, (size_t) n * sizeof(float));
        memcpy(y + n, x, (size_t) s * sizeof(float));
    }
}
