#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Moving data between a signal, image or volume and its matrix of patches:
// im2col in 1-D, 2-D and 3-D (a convolution is then a matrix product), the
// gradient of 1-D/2-D im2col, and the overlap-add of 1-D columns.
//
// The patch matrix is written packed from dst->data, one row per output
// position and one column per kernel tap; taps outside the input are 0.

#include "cpu/ops/ops.h"

#include <immintrin.h>

template <typename T>
struct tevo_patch_cvt;

template <>
struct tevo_patch_cvt<float> {
    static inline float from(float v) { return v; }
};

// half results: float inputs round to nearest even, half inputs copy bit for bit
struct tevo_patch_f16 {
    static inline tevo_fp16_t from(float v) {
        // the hardware rounds as the rule does but keeps NaN payloads
        if (v != v) {
            return (tevo_fp16_t) (((tevo_fp32_to_bits(v) >> 16) & 0x8000u) | 0x7E00u);
        }
        return (tevo_fp16_t) _cvtss_sh(v, _MM_FROUND_TO_NEAREST_INT);
    }
    static inline tevo_fp16_t from(tevo_fp16_t v) { return v; }
};

// ---------------------------------------------------------------------------
// IM2COL (1-D and 2-D)

struct tevo_im2col_shape {
    int64_t N, IC, IH, IW, KH, KW, OH, OW;
    int64_t s0, s1, p0, p1, d0, d1;
    size_t  ofs_batch, ofs_chan, ofs_row; // source strides in bytes
};

// The threads share the patch rows in contiguous blocks: each writes whole
// rows, so no two threads write into the same cache line of a row.
template <typename TD, typename TS, typename CVT>
static void tevo_im2col_rows(const tevo_im2col_shape & s, const char * src, TD * dst, int ith, int nth) {
    const int64_t CHW = s.IC * s.KH * s.KW;

    int64_t r0, r1;
    tevo_thread_range(s.N * s.OH * s.OW, ith, nth, &r0, &r1);

    for (int64_t r = r0; r < r1; r++) {
        const int64_t iow = r % s.OW;
        const int64_t ioh = (r / s.OW) % s.OH;
        const int64_t in  = r / (s.OW * s.OH);

        // whether every tap of a kernel row lies inside the image row
        const int64_t iiw0   = iow * s.s0 - s.p0;
        const int64_t iiw1   = iiw0 + (s.KW - 1) * s.d0;
        const bool    inside = TEVO_MIN(iiw0, iiw1) >= 0 && TEVO_MAX(iiw0, iiw1) < s.IW;

        TD * prow = dst + r * CHW;
        for (int64_t iic = 0; iic < s.IC; iic++) {
            const char * plane = src + in * s.ofs_batch + iic * s.ofs_chan;
            TD *         pc    = prow + iic * s.KH * s.KW;
            for (int64_t ikh = 0; ikh < s.KH; ikh++) {
                TD *          pk  = pc + ikh * s.KW;
                const int64_t iih = ioh * s.s1 + ikh * s.d1 - s.p1;
                if (iih < 0 || iih >= s.IH) {
                    memset(pk, 0, (size_t) s.KW * sizeof(TD));
                    continue;
                }
                const TS * srow = (const TS *) (plane + iih * s.ofs_row);
                if (inside) {
                    const TS * sp = srow + iiw0;
                    for (int64_t ikw = 0; ikw < s.KW; ikw++) {
                        pk[ikw] = CVT::from(sp[ikw * s.d0]);
                    }
                    continue;
                }
                for (int64_t ikw = 0; ikw < s.KW; ikw++) {
                    const int64_t iiw = iow * s.s0 + ikw * s.d0 - s.p0;
                    if (iiw < 0 || iiw >= s.IW) {
                        memset(pk + ikw, 0, sizeof(TD));
                    } else {
                        pk[ikw] = CVT::from(srow[iiw]);
                    }
                }
            }
        }
    }
}

void tevo_compute_forward_im2col(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];
    const size_t               nb10 = src1->nb[0];

    switch (dst->type) {
        case TEVO_TYPE_F32:
            TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
            TEVO_ASSERT(nb10 == sizeof(float));
            break;
        case TEVO_TYPE_F16:
            TEVO_ASSERT(src1->type == TEVO_TYPE_F16 || src1->type == TEVO_TYPE_F32);
            TEVO_ASSERT(nb10 == tevo_type_size(src1->type));
            break;
        default: TEVO_ABORT("fatal error");
    }

    const bool is_2D = tevo_get_op_params_i32(dst, 6) == 1;

    tevo_im2col_shape s;
    s.s0 = tevo_get_op_params_i32(dst, 0);
    s.p0 = tevo_get_op_params_i32(dst, 2);
    s.d0 = tevo_get_op_params_i32(dst, 4);
    // a 1-D signal has one row, reached by every patch
    s.s1 = is_2D ? tevo_get_op_params_i32(dst, 1) : 0;
    s.p1 = is_2D ? tevo_get_op_params_i32(dst, 3) : 0;
    s.d1 = is_2D ? tevo_get_op_params_i32(dst, 5) : 0;

    s.KW = src0 ? src0->ne[0] : 0;
    s.KH = src0 ? (is_2D ? src0->ne[1] : 1) : 0;
    s.N  = is_2D ? src1->ne[3] : src1->ne[2];
    s.IC = is_2D ? src1->ne[2] : src1->ne[1];
    s.IH = is_2D ? src1->ne[1] : 1;
    s.IW = src1->ne[0];
    s.OW = dst->ne[1];
    s.OH = is_2D ? dst->ne[2] : 1;

    s.ofs_batch = is_2D ? src1->nb[3] : src1->nb[2];
    s.ofs_chan  = is_2D ? src1->nb[2] : src1->nb[1];
    s.ofs_row   = src1->nb[1];

    if (s.KW <= 0 || s.KH <= 0) {
        return;
    }

    const char * src = (const char *) src1->data;
    if (dst->type == TEVO_TYPE_F32) {
        tevo_im2col_rows<float, float, tevo_patch_cvt<float>>(s, src, (float *) dst->data, params->ith, params->nth);
    } else if (src1->type == TEVO_TYPE_F16) {
        tevo_im2col_rows<tevo_fp16_t, tevo_fp16_t, tevo_patch_f16>(s, src, (tevo_fp16_t *) dst->data, params->ith,
                                                                   params->nth);
    } else {
        tevo_im2col_rows<tevo_fp16_t, float, tevo_patch_f16>(s, src, (tevo_fp16_t *) dst->data, params->ith,
                                                             params->nth);
    }
}

// ---------------------------------------------------------------------------
// IM2COL_BACK: every image element gathers the patch-gradient taps that read it

void tevo_compute_forward_im2col_back_f32(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0]; // patch gradient
    const struct tevo_tensor * src1 = dst->src[1]; // kernel, extents only

    TEVO_ASSERT(src0->type == TEVO_TYPE_F32);
    TEVO_ASSERT(src1->type == TEVO_TYPE_F32 || src1->type == TEVO_TYPE_F16);
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    const size_t nb0 = dst->nb[0];
    TEVO_ASSERT(nb0 == sizeof(float));

    const bool    is_2D = tevo_get_op_params_i32(dst, 6) == 1;
    const int64_t s0    = tevo_get_op_params_i32(dst, 0);
    const int64_t p0    = tevo_get_op_params_i32(dst, 2);
    const int64_t d0    = tevo_get_op_params_i32(dst, 4);
    const int64_t s1    = is_2D ? tevo_get_op_params_i32(dst, 1) : 1;
    const int64_t p1    = is_2D ? tevo_get_op_params_i32(dst, 3) : 0;
    const int64_t d1    = is_2D ? tevo_get_op_params_i32(dst, 5) : 0;
    // the taps are found by dividing by the strides
    TEVO_ASSERT(s0 > 0 && s1 > 0);

    const int64_t IW = dst->ne[0];
    const int64_t IH = is_2D ? dst->ne[1] : 1;
    const int64_t IC = is_2D ? dst->ne[2] : dst->ne[1];
    const int64_t N  = is_2D ? dst->ne[3] : dst->ne[2];
    const int64_t OW = src0->ne[1];
    const int64_t OH = is_2D ? src0->ne[2] : 1;
    const int64_t KW = src1->ne[0];
    const int64_t KH = is_2D ? src1->ne[1] : 1;

    const size_t dst_batch = is_2D ? dst->nb[3] : dst->nb[2];
    const size_t dst_chan  = is_2D ? dst->nb[2] : dst->nb[1];
    const size_t dst_row   = dst->nb[1];

    const size_t g_tap   = src0->nb[0];
    const size_t g_ow    = src0->nb[1];
    const size_t g_oh    = is_2D ? src0->nb[2] : 0;
    const size_t g_batch = is_2D ? src0->nb[3] : src0->nb[2];

    const char * grad = (const char *) src0->data;

    for (int64_t in = 0; in < N; in++) {
        for (int64_t iic = params->ith; iic < IC; iic += params->nth) {
            char * plane = (char *) dst->data + in * dst_batch + iic * dst_chan;
            for (int64_t iih = 0; iih < IH; iih++) {
                float * drow = (float *) (plane + iih * dst_row);
                for (int64_t iiw = 0; iiw < IW; iiw++) {
                    float sum = 0.0f;
                    for (int64_t ikh = 0; ikh < KH; ikh++) {
                        int64_t ioh = 0;
                        if (is_2D) {
                            const int64_t th = iih + p1 - ikh * d1;
                            if (th % s1 != 0) {
                                continue;
                            }
                            ioh = th / s1;
                            if (ioh < 0 || ioh >= OH) {
                                continue;
                            }
                        }
                        for (int64_t ikw = 0; ikw < KW; ikw++) {
                            const int64_t tw = iiw + p0 - ikw * d0;
                            if (tw % s0 != 0) {
                                continue;
                            }
                            const int64_t iow = tw / s0;
                            if (iow < 0 || iow >= OW) {
                                continue;
                            }
                            const int64_t tap = (iic * KH + ikh) * KW + ikw;
                            sum += *(const float *) (grad + in * g_batch + ioh * g_oh + iow * g_ow + tap * g_tap);
                        }
                    }
                    drow[iiw] = sum;
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// IM2COL_3D

struct tevo_im2col_3d_shape {
    int64_t N, IC, ID, IH, IW, KD, KH, KW, OD, OH, OW;
    int64_t s0, s1, s2, p0, p1, p2, d0, d1, d2;
    size_t  nb11, nb12, nb13;
};

template <typename TD, typename CVT>
static void tevo_im2col_3d_rows(const tevo_im2col_3d_shape & s, const char * src, TD * dst, int ith, int nth) {
    const int64_t KHW  = s.KH * s.KW;
    const int64_t CDHW = s.IC * s.KD * KHW;

    int64_t r0, r1;
    tevo_thread_range(s.N * s.OD * s.OH * s.OW, ith, nth, &r0, &r1);

    for (int64_t r = r0; r < r1; r++) {
        const int64_t iow = r % s.OW;
        const int64_t ioh = (r / s.OW) % s.OH;
        const int64_t iod = (r / (s.OW * s.OH)) % s.OD;
        const int64_t in  = r / (s.OW * s.OH * s.OD);

        TD * prow = dst + r * CDHW;
        for (int64_t iic = 0; iic < s.IC; iic++) {
            const char * vol = src + (in * s.IC + iic) * s.nb13;
            TD *         pc  = prow + iic * s.KD * KHW;
            for (int64_t ikd = 0; ikd < s.KD; ikd++) {
                TD *          pd  = pc + ikd * KHW;
                const int64_t iid = iod * s.s2 + ikd * s.d2 - s.p2;
                if (iid < 0 || iid >= s.ID) {
                    memset(pd, 0, (size_t) KHW * sizeof(TD));
                    continue;
                }
                for (int64_t ikh = 0; ikh < s.KH; ikh++) {
                    TD *          pk  = pd + ikh * s.KW;
                    const int64_t iih = ioh * s.s1 + ikh * s.d1 - s.p1;
                    if (iih < 0 || iih >= s.IH) {
                        memset(pk, 0, (size_t) s.KW * sizeof(TD));
                        continue;
                    }
                    const float * srow = (const float *) (vol + iid * s.nb12 + iih * s.nb11);
                    for (int64_t ikw = 0; ikw < s.KW; ikw++) {
                        const int64_t iiw = iow * s.s0 + ikw * s.d0 - s.p0;
                        if (iiw < 0 || iiw >= s.IW) {
                            memset(pk + ikw, 0, sizeof(TD));
                        } else {
                            pk[ikw] = CVT::from(srow[iiw]);
                        }
                    }
                }
            }
        }
    }
}

void tevo_compute_forward_im2col_3d(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src0 = dst->src[0];
    const struct tevo_tensor * src1 = dst->src[1];
    const size_t               nb10 = src1->nb[0];

    if (dst->type != TEVO_TYPE_F32 && dst->type != TEVO_TYPE_F16) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(src1->type == TEVO_TYPE_F32);
    TEVO_ASSERT(nb10 == sizeof(float));

    tevo_im2col_3d_shape s;
    s.s0 = tevo_get_op_params_i32(dst, 0);
    s.s1 = tevo_get_op_params_i32(dst, 1);
    s.s2 = tevo_get_op_params_i32(dst, 2);
    s.p0 = tevo_get_op_params_i32(dst, 3);
    s.p1 = tevo_get_op_params_i32(dst, 4);
    s.p2 = tevo_get_op_params_i32(dst, 5);
    s.d0 = tevo_get_op_params_i32(dst, 6);
    s.d1 = tevo_get_op_params_i32(dst, 7);
    s.d2 = tevo_get_op_params_i32(dst, 8);
    s.IC = tevo_get_op_params_i32(dst, 9);

    s.KW = src0 ? src0->ne[0] : 0;
    s.KH = src0 ? src0->ne[1] : 0;
    s.KD = src0 ? src0->ne[2] : 0;
    s.IW = src1->ne[0];
    s.IH = src1->ne[1];
    s.ID = src1->ne[2];
    s.N  = s.IC > 0 ? src1->ne[3] / s.IC : 0;
    s.OW = dst->ne[1];
    s.OH = dst->ne[2];
    s.OD = s.N > 0 ? dst->ne[3] / s.N : 0;

    s.nb11 = src1->nb[1];
    s.nb12 = src1->nb[2];
    s.nb13 = src1->nb[3];

    if (s.KW <= 0 || s.KH <= 0 || s.KD <= 0 || s.N <= 0) {
        return;
    }

    const char * src = (const char *) src1->data;
    if (dst->type == TEVO_TYPE_F32) {
        tevo_im2col_3d_rows<float, tevo_patch_cvt<float>>(s, src, (float *) dst->data, params->ith, params->nth);
    } else {
        tevo_im2col_3d_rows<tevo_fp16_t, tevo_patch_f16>(s, src, (tevo_fp16_t *) dst->data, params->ith, params->nth);
    }
}

// ---------------------------------------------------------------------------
// COL2IM_1D: overlap-add of columns [K·oc, T_in] into a signal [T_out, oc]

template <typename T>
static inline float tevo_col_load(const T * p);
template <>
inline float tevo_col_load<float>(const float * p) {
    return *p;
}
template <>
inline float tevo_col_load<tevo_fp16_t>(const tevo_fp16_t * p) {
    return tevo_table_f32_f16[*p];
}
template <>
inline float tevo_col_load<tevo_bf16_t>(const tevo_bf16_t * p) {
    return TEVO_BF16_TO_FP32(*p);
}

template <typename T>
static inline void tevo_col_store(T * p, float v);
template <>
inline void tevo_col_store<float>(float * p, float v) {
    *p = v;
}
template <>
inline void tevo_col_store<tevo_fp16_t>(tevo_fp16_t * p, float v) {
    *p = TEVO_FP32_TO_FP16(v);
}
template <>
inline void tevo_col_store<tevo_bf16_t>(tevo_bf16_t * p, float v) {
    *p = TEVO_FP32_TO_BF16(v);
}

template <typename T>
static void tevo_col2im_1d_impl(const struct tevo_compute_params * params, const struct tevo_tensor * src,
                                struct tevo_tensor * dst) {
    const int64_t s0 = tevo_get_op_params_i32(dst, 0);
    const int64_t oc = tevo_get_op_params_i32(dst, 1);
    const int64_t p0 = tevo_get_op_params_i32(dst, 2);

    const int64_t K     = src->ne[0] / oc;
    const int64_t T_in  = src->ne[1];
    const int64_t T_out = dst->ne[0];
    const int64_t KOC   = src->ne[0];

    const T * col = (const T *) src->data;
    T *       out = (T *) dst->data;

    int64_t t0, t1;
    tevo_thread_range(T_out, params->ith, params->nth, &t0, &t1);

    for (int64_t c = 0; c < oc; c++) {
        for (int64_t t = t0; t < t1; t++) {
            const int64_t tp    = t + p0;
            const int64_t first = TEVO_MAX((int64_t) 0, (tp + s0 - K) / s0);
            const int64_t last  = TEVO_MIN(tp / s0, T_in - 1);

            float sum = 0.0f;
            for (int64_t ti = first; ti <= last; ti++) {
                const int64_t off = tp - ti * s0;
                if (off >= 0 && off < K) {
                    sum += tevo_col_load<T>(col + ti * KOC + c * K + off);
                }
            }
            tevo_col_store<T>(out + c * T_out + t, sum);
        }
    }
}

void tevo_compute_forward_col2im_1d(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * src = dst->src[0];

    TEVO_ASSERT(tevo_is_contiguous(src));
    TEVO_ASSERT(tevo_is_contiguous(dst));

    switch (src->type) {
        case TEVO_TYPE_F32: tevo_col2im_1d_impl<float>(params, src, dst); break;
        case TEVO_TYPE_F16: tevo_col2im_1d_impl<tevo_fp16_t>(params, src, dst); break;
        case TEVO_TYPE_BF16: tevo_col2im_1d_impl<tevo_bf16_t>(params, src, dst); break;
        default: TEVO_ABORT("col2im_1d: unsupported type %d", (int) src->type);
    }
}
