#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// ROPE and ROPE_BACK: every row of src[0] (one head of one sequence element)
// has a block of n_dims dimensions rotated as n_dims/2 plane vectors, vector
// k by an angle that falls geometrically with k and grows with the row's
// position; the backward pass rotates by the opposite angle. The rest of
// the row is copied.
//
// The rows are split in contiguous blocks over the threads. The angles
// depend only on the sequence index i2, so each thread keeps a cache of
// (cos, sin) pairs in its own part of the work buffer (ne0 + 16 floats, one
// cache line apart from the next thread's) and refills it only when i2
// changes; the rotation itself is then two products and a sum per element
// (cpu/vec/rope.h).

#include "cpu/ops/ops.h"
#include "cpu/vec/convert.h"
#include "cpu/vec/rope.h"

#include <math.h>
#include <string.h>

namespace {

struct tevo_rope_params {
    int32_t n_dims, mode, n_ctx_orig, n_offs;
    float   freq_base, freq_scale, ext_factor, attn_factor, beta_fast, beta_slow;
    int32_t sections[4];
};

tevo_rope_params tevo_rope_read_params(const tevo_tensor * dst) {
    tevo_rope_params p;
    p.n_dims      = tevo_get_op_params_i32(dst, 1);
    p.mode        = tevo_get_op_params_i32(dst, 2);
    p.n_ctx_orig  = tevo_get_op_params_i32(dst, 4);
    p.freq_base   = tevo_get_op_params_f32(dst, 5);
    p.freq_scale  = tevo_get_op_params_f32(dst, 6);
    p.ext_factor  = tevo_get_op_params_f32(dst, 7);
    p.attn_factor = tevo_get_op_params_f32(dst, 8);
    p.beta_fast   = tevo_get_op_params_f32(dst, 9);
    p.beta_slow   = tevo_get_op_params_f32(dst, 10);
    for (int i = 0; i < 4; ++i) {
        p.sections[i] = tevo_get_op_params_i32(dst, 11 + i);
    }
    p.n_offs = tevo_get_op_params_i32(dst, 15);
    return p;
}

// what one call needs to turn a base angle into a cache entry
struct tevo_rope_angles {
    float        freq_scale, ext_factor, attn_factor, yarn_mscale, sin_sign;
    float        corr_dims[2];
    const char * ff;    // frequency factors, or NULL
    size_t       ff_nb; // their stride
};

// cache entry of vector k from its base angle theta
inline void tevo_rope_entry(const tevo_rope_angles & a, int64_t k, float theta, float * cs) {
    const float theta_x = a.ff ? theta / *(const float *) (a.ff + (size_t) k * a.ff_nb) : theta;
    const float theta_i = a.freq_scale * theta_x;

    float angle  = theta_i;
    float mscale = a.attn_factor;
    // a NaN factor counts as set, as any comparison with 0 that is not "equal"
    if (a.ext_factor != 0.0f) {
        const float y    = ((float) k - a.corr_dims[0]) / fmaxf(0.001f, a.corr_dims[1] - a.corr_dims[0]);
        const float ramp = 1.0f - fminf(1.0f, fmaxf(0.0f, y));
        const float mix  = ramp * a.ext_factor;
        angle            = theta_i * (1.0f - mix) + theta_x * mix;
        mscale           = a.yarn_mscale;
    }
    float s, c;
    sincosf(angle, &s, &c);
    cs[0] = c * mscale;
    cs[1] = s * mscale * a.sin_sign;
}

// single-position modes: one base angle, scaled down vector by vector
void tevo_rope_cache_single(const tevo_rope_angles & a, float pos, float theta_scale, int64_t n_vec, float * cache) {
    float theta = pos;
    for (int64_t k = 0; k < n_vec; ++k) {
        tevo_rope_entry(a, k, theta, cache + 2 * k);
        theta *= theta_scale;
    }
}

// multi-section modes: four position streams, each vector takes one by its sector
void tevo_rope_cache_multi(const tevo_rope_angles & a, const int32_t pos[4], const int32_t * sections, int mode,
                           float theta_scale, int64_t n_vec, float * cache) {
    const int64_t sect_dims   = (int64_t) sections[0] + sections[1] + sections[2] + sections[3];
    const int64_t sec_w       = (int64_t) sections[0] + sections[1];
    const int64_t sec_e       = sec_w + sections[2];
    const bool    vision      = mode == TEVO_ROPE_TYPE_VISION;
    const bool    interleaved = mode == TEVO_ROPE_TYPE_MULTI_INTERLEAVED;

    float theta_t = (float) pos[0];
    float theta_h = (float) pos[1];
    float theta_w = (float) pos[2];
    float theta_e = (float) pos[3];

    for (int64_t k = 0; k < n_vec; ++k) {
        const int64_t sector = k % sect_dims;
        if (vision) {
            // the angles start over at every section
            if (sector == 0) {
                theta_t = (float) pos[0];
            } else if (sector == sections[0]) {
                theta_h = (float) pos[1];
            } else if (sector == sec_w) {
                theta_w = (float) pos[2];
            } else if (sector == sec_e) {
                theta_e = (float) pos[3];
            }
        }

        float theta;
        if (interleaved) {
            if (sector % 3 == 1 && sector < 3 * (int64_t) sections[1]) {
                theta = theta_h;
            } else if (sector % 3 == 2 && sector < 3 * (int64_t) sections[2]) {
                theta = theta_w;
            } else if (sector % 3 == 0 && sector < 3 * (int64_t) sections[0]) {
                theta = theta_t;
            } else {
                theta = theta_e;
            }
        } else if (sector < sections[0]) {
            theta = theta_t;
        } else if (sector < sec_w) {
            theta = theta_h;
        } else if (sector < sec_e) {
            theta = theta_w;
        } else {
            theta = theta_e;
        }

        tevo_rope_entry(a, k, theta, cache + 2 * k);

        theta_t *= theta_scale;
        theta_h *= theta_scale;
        theta_w *= theta_scale;
        theta_e *= theta_scale;
    }
}

enum tevo_rope_layout { TEVO_ROPE_PAIRS, TEVO_ROPE_HALVES, TEVO_ROPE_VISION, TEVO_ROPE_UNSUPPORTED };

tevo_rope_layout tevo_rope_layout_of(int mode) {
    switch (mode) {
        case TEVO_ROPE_TYPE_NORMAL:            return TEVO_ROPE_PAIRS;
        case TEVO_ROPE_TYPE_HALVES:
        case TEVO_ROPE_TYPE_MULTI:
        case TEVO_ROPE_TYPE_MULTI_INTERLEAVED: return TEVO_ROPE_HALVES;
        case TEVO_ROPE_TYPE_VISION:            return TEVO_ROPE_VISION;
        default:                               return TEVO_ROPE_UNSUPPORTED;
    }
}

inline void tevo_rope_pairs_row(int64_t n, float * y, const float * x, const float * cs) {
    tevo_vec_rope_pairs_f32(n, y, x, cs);
}
inline void tevo_rope_pairs_row(int64_t n, tevo_fp16_t * y, const tevo_fp16_t * x, const float * cs) {
    tevo_vec_rope_pairs_f16(n, y, x, cs);
}
inline void tevo_rope_halves_row(int64_t n, float * y0, float * y1, const float * x0, const float * x1,
                                 const float * cs) {
    tevo_vec_rope_halves_f32(n, y0, y1, x0, x1, cs);
}
inline void tevo_rope_halves_row(int64_t n, tevo_fp16_t * y0, tevo_fp16_t * y1, const tevo_fp16_t * x0,
                                 const tevo_fp16_t * x1, const float * cs) {
    tevo_vec_rope_halves_f16(n, y0, y1, x0, x1, cs);
}

// one vector at a time, each read before its two elements are written: for
// rows that overlap without being the same row
template <typename T>
void tevo_rope_row_by_pairs(int64_t n, T * y, const T * x, int64_t stride, int64_t second, const float * cs) {
    for (int64_t k = 0; k < n; ++k) {
        const int64_t i = k * stride;
        float         y0, y1;
        tevo_rope_rotate(tevo_ew_to_f32(x[i]), tevo_ew_to_f32(x[i + second]), cs[2 * k], cs[2 * k + 1], &y0, &y1);
        y[i]          = tevo_ew_from_f32<T>(y0);
        y[i + second] = tevo_ew_from_f32<T>(y1);
    }
}

template <typename T>
void tevo_compute_forward_rope_impl(const tevo_compute_params * params, tevo_tensor * dst, bool forward) {
    const tevo_tensor * src0 = dst->src[0];
    const tevo_tensor * src1 = dst->src[1];
    const tevo_tensor * src2 = dst->src[2];

    const tevo_rope_params p = tevo_rope_read_params(dst);

    const int64_t ne0 = dst->ne[0], ne1 = dst->ne[1], ne2 = dst->ne[2], ne3 = dst->ne[3];
    const size_t  nb0 = dst->nb[0], nb00 = src0->nb[0];

    TEVO_ASSERT(src0->type == TEVO_TYPE_F32 || src0->type == TEVO_TYPE_F16);
    TEVO_ASSERT(src1->type == TEVO_TYPE_I32);
    TEVO_ASSERT(tevo_are_same_shape(src0, dst) && dst->type == src0->type);
    TEVO_ASSERT(nb0 == nb00);
    TEVO_ASSERT(nb0 == sizeof(T));

    const int64_t n_dims = p.n_dims;
    const int64_t n_offs = p.n_offs;
    // a negative block would make the copy of the unrotated tail start before the row
    TEVO_ASSERT(n_dims >= 0);
    TEVO_ASSERT(n_dims <= ne0);
    TEVO_ASSERT(n_dims % 2 == 0);
    TEVO_ASSERT(n_offs >= 0);
    TEVO_ASSERT(n_offs % 2 == 0);
    TEVO_ASSERT(n_offs + n_dims <= ne0);

    const bool is_multi  = (p.mode & TEVO_ROPE_TYPE_MULTI) != 0;
    const bool is_vision = p.mode == TEVO_ROPE_TYPE_VISION;
    if (is_multi) {
        // the sector of a vector is its index modulo the sections' sum
        TEVO_ASSERT(p.sections[0] >= 0 && p.sections[1] >= 0 && p.sections[2] >= 0 && p.sections[3] >= 0);
        TEVO_ASSERT(p.sections[0] > 0 || p.sections[1] > 0 || p.sections[2] > 0);
        TEVO_ASSERT((int64_t) p.sections[0] + p.sections[1] + p.sections[2] + p.sections[3] <= ne0);
    }
    if (is_vision) {
        TEVO_ASSERT(n_dims == ne0 / 2);
        TEVO_ASSERT(n_offs == 0);
    }
    // vision rotates twice as many vectors as the other modes
    const int64_t n_vec = is_vision ? n_dims : n_dims / 2;
    if (src2 != NULL) {
        TEVO_ASSERT(src2->type == TEVO_TYPE_F32);
        TEVO_ASSERT(src2->ne[0] >= n_dims / 2);
        TEVO_ASSERT(src2->ne[0] >= n_vec);
    }
    // one position per sequence index, four in the multi-section modes
    TEVO_ASSERT(src1->ne[0] >= (is_multi ? 4 : 1) * ne2);

    const int64_t nr  = ne1 * ne2 * ne3;
    const int64_t dr  = (nr + params->nth - 1) / params->nth;
    const int64_t ir0 = TEVO_MIN(dr * params->ith, nr);
    const int64_t ir1 = TEVO_MIN(ir0 + dr, nr);
    if (ir0 >= ir1) {
        return;
    }

    const tevo_rope_layout layout = tevo_rope_layout_of(p.mode);
    if (layout == TEVO_ROPE_UNSUPPORTED) {
        TEVO_ABORT("rope type not supported");
    }

    const int64_t cache_len = ne0 + 16;
    TEVO_ASSERT(params->wsize >= (size_t) (params->ith + 1) * (size_t) cache_len * sizeof(float));
    float * cache = (float *) params->wdata + params->ith * cache_len;

    tevo_rope_angles a;
    a.freq_scale  = p.freq_scale;
    a.ext_factor  = p.ext_factor;
    a.attn_factor = p.attn_factor;
    a.yarn_mscale = p.attn_factor * (1.0f + 0.1f * logf(1.0f / p.freq_scale));
    a.sin_sign    = forward ? 1.0f : -1.0f;
    a.ff          = src2 ? (const char *) src2->data : NULL;
    a.ff_nb       = src2 ? src2->nb[0] : 0;
    tevo_rope_yarn_corr_dims(p.n_dims, p.n_ctx_orig, p.freq_base, p.beta_fast, p.beta_slow, a.corr_dims);

    const float     theta_scale = powf(p.freq_base, -2.0f / (float) p.n_dims);
    const int32_t * pos         = (const int32_t *) src1->data;
    const size_t    row_bytes   = (size_t) ne0 * sizeof(T);

    int64_t i1 = ir0 % ne1;
    int64_t i2 = (ir0 / ne1) % ne2;
    int64_t i3 = ir0 / (ne1 * ne2);
    int64_t cached_i2 = -1;

    for (int64_t ir = ir0; ir < ir1; ++ir) {
        if (i2 != cached_i2) {
            if (is_multi) {
                const int32_t p4[4] = { pos[i2], pos[i2 + ne2], pos[i2 + 2 * ne2], pos[i2 + 3 * ne2] };
                tevo_rope_cache_multi(a, p4, p.sections, p.mode, theta_scale, n_vec, cache);
            } else {
                tevo_rope_cache_single(a, (float) pos[i2], theta_scale, n_vec, cache);
            }
            cached_i2 = i2;
        }

        const T * x = (const T *) ((const char *) src0->data + i1 * src0->nb[1] + i2 * src0->nb[2] + i3 * src0->nb[3]);
        T *       y = (T *) ((char *) dst->data + i1 * dst->nb[1] + i2 * dst->nb[2] + i3 * dst->nb[3]);

        const bool same     = x == y;
        const bool disjoint = (const char *) y + row_bytes <= (const char *) x ||
                              (const char *) x + row_bytes <= (const char *) y;

        if (!same && layout != TEVO_ROPE_VISION) {
            memmove(y, x, (size_t) n_offs * sizeof(T));
        }
        switch (layout) {
            case TEVO_ROPE_PAIRS:
                if (same || disjoint) {
                    tevo_rope_pairs_row(n_dims / 2, y + n_offs, x + n_offs, cache);
                } else {
                    tevo_rope_row_by_pairs(n_dims / 2, y + n_offs, x + n_offs, 2, 1, cache);
                }
                break;
            case TEVO_ROPE_HALVES:
            case TEVO_ROPE_VISION: {
                const int64_t h = layout == TEVO_ROPE_VISION ? n_dims : n_dims / 2;
                if (same || disjoint) {
                    tevo_rope_halves_row(n_vec, y + n_offs, y + n_offs + h, x + n_offs, x + n_offs + h, cache);
                } else {
                    tevo_rope_row_by_pairs(n_vec, y + n_offs, x + n_offs, 1, h, cache);
                }
            } break;
            default: break;
        }
        if (!same && layout != TEVO_ROPE_VISION) {
            memmove(y + n_offs + n_dims, x + n_offs + n_dims, (size_t) (ne0 - n_offs - n_dims) * sizeof(T));
        }

        if (++i1 == ne1) {
            i1 = 0;
            if (++i2 == ne2) {
                i2 = 0;
                ++i3;
            }
        }
    }
}

void tevo_rope_dispatch(const tevo_compute_params * params, tevo_tensor * dst, bool forward) {
    switch (dst->src[0]->type) {
        case TEVO_TYPE_F32: tevo_compute_forward_rope_impl<float>(params, dst, forward); break;
        case TEVO_TYPE_F16: tevo_compute_forward_rope_impl<tevo_fp16_t>(params, dst, forward); break;
        default:            TEVO_ABORT("fatal error");
    }
}

} // namespace

void tevo_compute_forward_rope(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    tevo_rope_dispatch(params, dst, true);
}

void tevo_compute_forward_rope_back(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    tevo_rope_dispatch(params, dst, false);
}
