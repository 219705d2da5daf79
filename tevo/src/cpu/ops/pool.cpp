#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// POOL_1D, POOL_2D and POOL_2D_BACK: maximum or average over windows of one
// or two dimensions, and the gradient of 2-D pooling. Window (ox, oy) covers
// ix = ox·s0 − p0 + kx and iy = oy·s1 − p1 + ky; taps outside the input are
// left out. 1-D averages divide by the taps inside the input, 2-D averages
// by the whole window (padding counts as zeros).
//
// The planner gives these operators one task: thread 0 does all the work.
// Every tensor is read and written through its own element type (F32 or
// F16) and its own strides, so views and permuted inputs are walked as the
// extents say.

#include "cpu/ops/ops.h"
#include "cpu/vec/convert.h"

#include <float.h>

namespace {

inline float tevo_pool_load(const tevo_tensor * t, int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
    const char * p = (const char *) t->data + i0 * t->nb[0] + i1 * t->nb[1] + i2 * t->nb[2] + i3 * t->nb[3];
    return t->type == TEVO_TYPE_F32 ? *(const float *) p : tevo_table_f32_f16[*(const tevo_fp16_t *) p];
}

inline char * tevo_pool_ptr(const tevo_tensor * t, int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
    return (char *) t->data + i0 * t->nb[0] + i1 * t->nb[1] + i2 * t->nb[2] + i3 * t->nb[3];
}

inline void tevo_pool_store(const tevo_tensor * t, float v, int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
    char * p = tevo_pool_ptr(t, i0, i1, i2, i3);
    if (t->type == TEVO_TYPE_F32) {
        *(float *) p = v;
    } else {
        *(tevo_fp16_t *) p = TEVO_FP32_TO_FP16(v);
    }
}

// widens the stored value, adds in float and rounds back
inline void tevo_pool_add(const tevo_tensor * t, float v, int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
    char * p = tevo_pool_ptr(t, i0, i1, i2, i3);
    if (t->type == TEVO_TYPE_F32) {
        *(float *) p += v;
    } else {
        *(tevo_fp16_t *) p = TEVO_FP32_TO_FP16(tevo_table_f32_f16[*(tevo_fp16_t *) p] + v);
    }
}

inline bool tevo_pool_type_ok(enum tevo_type type) {
    return type == TEVO_TYPE_F32 || type == TEVO_TYPE_F16;
}

// the kinds the kernels compute; TEVO_OP_POOL_COUNT and anything beyond are refused
inline void tevo_pool_check_kind(int32_t op) {
    if (op != TEVO_OP_POOL_MAX && op != TEVO_OP_POOL_AVG) {
        TEVO_ABORT("fatal error");
    }
}

} // namespace

// src: [IW, rows...] -> dst: [OW, rows...]
void tevo_compute_forward_pool_1d(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    if (params->ith != 0) {
        return;
    }
    const tevo_tensor * src = dst->src[0];
    TEVO_ASSERT(tevo_pool_type_ok(src->type));
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->ne[1] == src->ne[1] && dst->ne[2] == src->ne[2] && dst->ne[3] == src->ne[3]);

    const int32_t op = tevo_get_op_params_i32(dst, 0);
    const int64_t k0 = tevo_get_op_params_i32(dst, 1);
    const int64_t s0 = tevo_get_op_params_i32(dst, 2);
    const int64_t p0 = tevo_get_op_params_i32(dst, 3);

    const int64_t IW = src->ne[0];
    const int64_t OW = dst->ne[0];
    if (tevo_nrows(src) == 0 || OW < 1) {
        return;
    }
    tevo_pool_check_kind(op);
    // an empty window or a zero step has no meaning (and would divide by zero)
    TEVO_ASSERT(k0 >= 1 && s0 >= 1);

    for (int64_t i3 = 0; i3 < src->ne[3]; ++i3) {
        for (int64_t i2 = 0; i2 < src->ne[2]; ++i2) {
            for (int64_t i1 = 0; i1 < src->ne[1]; ++i1) {
                for (int64_t ox = 0; ox < OW; ++ox) {
                    float   acc = op == TEVO_OP_POOL_MAX ? -FLT_MAX : 0.0f;
                    int64_t n   = 0;
                    for (int64_t kx = 0; kx < k0; ++kx) {
                        const int64_t ix = ox * s0 - p0 + kx;
                        if (ix < 0 || ix >= IW) {
                            continue;
                        }
                        const float v = tevo_pool_load(src, ix, i1, i2, i3);
                        if (op == TEVO_OP_POOL_MAX) {
                            acc = acc > v ? acc : v;
                        } else {
                            acc += v;
                            ++n;
                        }
                    }
                    if (op == TEVO_OP_POOL_AVG) {
                        acc = n > 0 ? acc / (float) n : 0.0f;
                    }
                    tevo_pool_store(dst, acc, ox, i1, i2, i3);
                }
            }
        }
    }
}

// src: [IW, IH, planes...] -> dst: [OW, OH, planes...]
void tevo_compute_forward_pool_2d(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    if (params->ith != 0) {
        return;
    }
    const tevo_tensor * src = dst->src[0];
    TEVO_ASSERT(tevo_pool_type_ok(src->type));
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->ne[2] == src->ne[2] && dst->ne[3] == src->ne[3]);

    const int32_t op = tevo_get_op_params_i32(dst, 0);
    const int64_t k0 = tevo_get_op_params_i32(dst, 1);
    const int64_t k1 = tevo_get_op_params_i32(dst, 2);
    const int64_t s0 = tevo_get_op_params_i32(dst, 3);
    const int64_t s1 = tevo_get_op_params_i32(dst, 4);
    const int64_t p0 = tevo_get_op_params_i32(dst, 5);
    const int64_t p1 = tevo_get_op_params_i32(dst, 6);

    const int64_t IW = src->ne[0], IH = src->ne[1];
    const int64_t OW = dst->ne[0], OH = dst->ne[1];
    if (tevo_nelements(src) == 0 || OW < 1 || OH < 1) {
        return;
    }
    tevo_pool_check_kind(op);
    TEVO_ASSERT(k0 >= 1 && k1 >= 1 && s0 >= 1 && s1 >= 1);

    const float window = (float) (k0 * k1);

    for (int64_t i3 = 0; i3 < src->ne[3]; ++i3) {
        for (int64_t i2 = 0; i2 < src->ne[2]; ++i2) {
            for (int64_t oy = 0; oy < OH; ++oy) {
                for (int64_t ox = 0; ox < OW; ++ox) {
                    float acc = op == TEVO_OP_POOL_MAX ? -FLT_MAX : 0.0f;
                    for (int64_t ky = 0; ky < k1; ++ky) {
                        const int64_t iy = oy * s1 - p1 + ky;
                        if (iy < 0 || iy >= IH) {
                            continue;
                        }
                        for (int64_t kx = 0; kx < k0; ++kx) {
                            const int64_t ix = ox * s0 - p0 + kx;
                            if (ix < 0 || ix >= IW) {
                                continue;
                            }
                            const float v = tevo_pool_load(src, ix, iy, i2, i3);
                            if (op == TEVO_OP_POOL_MAX) {
                                acc = acc > v ? acc : v;
                            } else {
                                acc += v;
                            }
                        }
                    }
                    if (op == TEVO_OP_POOL_AVG) {
                        acc /= window;
                    }
                    tevo_pool_store(dst, acc, ox, oy, i2, i3);
                }
            }
        }
    }
}

// dy: [OW, OH, planes...], af: the pooling's input -> dx: shaped like af
void tevo_compute_forward_pool_2d_back(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    if (params->ith != 0) {
        return;
    }
    const tevo_tensor * dy = dst->src[0];
    const tevo_tensor * af = dst->src[1];
    TEVO_ASSERT(tevo_pool_type_ok(dy->type));
    TEVO_ASSERT(tevo_pool_type_ok(af->type));
    TEVO_ASSERT(tevo_pool_type_ok(dst->type));
    TEVO_ASSERT(tevo_are_same_shape(af, dst));
    TEVO_ASSERT(dy->ne[2] == dst->ne[2] && dy->ne[3] == dst->ne[3]);

    const int32_t op = tevo_get_op_params_i32(dst, 0);
    const int64_t k0 = tevo_get_op_params_i32(dst, 1);
    const int64_t k1 = tevo_get_op_params_i32(dst, 2);
    const int64_t s0 = tevo_get_op_params_i32(dst, 3);
    const int64_t s1 = tevo_get_op_params_i32(dst, 4);
    const int64_t p0 = tevo_get_op_params_i32(dst, 5);
    const int64_t p1 = tevo_get_op_params_i32(dst, 6);

    const int64_t IW = dst->ne[0], IH = dst->ne[1];
    const int64_t OW = dy->ne[0], OH = dy->ne[1];

    for (int64_t i3 = 0; i3 < dst->ne[3]; ++i3) {
        for (int64_t i2 = 0; i2 < dst->ne[2]; ++i2) {
            for (int64_t i1 = 0; i1 < IH; ++i1) {
                for (int64_t i0 = 0; i0 < IW; ++i0) {
                    tevo_pool_store(dst, 0.0f, i0, i1, i2, i3);
                }
            }
        }
    }
    if (tevo_nelements(dst) == 0 || tevo_nelements(dy) == 0) {
        return;
    }
    switch (op) {
        case TEVO_OP_POOL_MAX:
        case TEVO_OP_POOL_AVG: break;
        default:               TEVO_ASSERT(false);
    }
    TEVO_ASSERT(k0 >= 1 && k1 >= 1 && s0 >= 1 && s1 >= 1);

    const float window = (float) (k0 * k1);

    for (int64_t i3 = 0; i3 < dst->ne[3]; ++i3) {
        for (int64_t i2 = 0; i2 < dst->ne[2]; ++i2) {
            for (int64_t oy = 0; oy < OH; ++oy) {
                for (int64_t ox = 0; ox < OW; ++ox) {
                    const float g = tevo_pool_load(dy, ox, oy, i2, i3);
                    if (op == TEVO_OP_POOL_AVG) {
                        const float gk = g / window;
                        for (int64_t ky = 0; ky < k1; ++ky) {
                            const int64_t iy = oy * s1 - p1 + ky;
                            if (iy < 0 || iy >= IH) {
                                continue;
                            }
                            for (int64_t kx = 0; kx < k0; ++kx) {
                                const int64_t ix = ox * s0 - p0 + kx;
                                if (ix >= 0 && ix < IW) {
                                    tevo_pool_add(dst, gk, ix, iy, i2, i3);
                                }
                            }
                        }
                        continue;
                    }
                    // the first of equal maxima takes the whole gradient
                    float   best = -FLT_MAX;
                    int64_t bx = -1, by = -1;
                    for (int64_t ky = 0; ky < k1; ++ky) {
                        const int64_t iy = oy * s1 - p1 + ky;
                        if (iy < 0 || iy >= IH) {
                            continue;
                        }
                        for (int64_t kx = 0; kx < k0; ++kx) {
                            const int64_t ix = ox * s0 - p0 + kx;
                            if (ix < 0 || ix >= IW) {
                                continue;
                            }
                            const float v = tevo_pool_load(af, ix, iy, i2, i3);
                            if (v > best) {
                                best = v;
                                bx   = ix;
                                by   = iy;
                            }
                        }
                    }
                    if (bx >= 0) {
                        tevo_pool_add(dst, g, bx, by, i2, i3);
                    }
                }
            }
        }
    }
}
