#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// UPSCALE: resampling of a float tensor to the destination's extents, up or
// down. Dimensions 2 and 3 always take the nearest source index; width and
// height take the mode's interpolation: nearest, bilinear, bilinear with a
// triangle-filter antialias, or bicubic (a = −0.75), with pixel-centre or
// corner-aligned coordinates. All coordinate arithmetic is single precision.
//
// Thread ith computes the planes i2 ≡ ith (mod nth), for every i3.

#include "cpu/ops/ops.h"

#include <math.h>

namespace {

struct tevo_upscale_ctx {
    const tevo_tensor * src;
    int64_t             ne00, ne01;
    float               sf0, sf1;
    float               po; // pixel offset
    const char *        plane; // source plane (i02, i03)
};

// index of the float quotient i / sf, truncated, kept inside [0, n): the
// quotient of the last index may round up to n
inline int64_t tevo_upscale_nearest(int64_t i, float sf, int64_t n) {
    const int64_t j = (int64_t) ((float) i / sf);
    return TEVO_MAX((int64_t) 0, TEVO_MIN(j, n - 1));
}

inline float tevo_upscale_src(const tevo_upscale_ctx & c, int64_t x, int64_t y) {
    return *(const float *) (c.plane + x * c.src->nb[0] + y * c.src->nb[1]);
}

inline int64_t tevo_clamp(int64_t v, int64_t lo, int64_t hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

float tevo_upscale_bilinear(const tevo_upscale_ctx & c, int64_t i0, int64_t i1) {
    const float y  = ((float) i1 + c.po) / c.sf1 - c.po;
    int64_t     y0 = (int64_t) floorf(y);
    int64_t     y1 = y0 + 1;
    y0             = tevo_clamp(y0, 0, c.ne01 - 1);
    y1             = tevo_clamp(y1, 0, c.ne01 - 1);
    const float dy = fminf(fmaxf(y - (float) y0, 0.0f), 1.0f);

    const float x  = ((float) i0 + c.po) / c.sf0 - c.po;
    int64_t     x0 = (int64_t) floorf(x);
    int64_t     x1 = x0 + 1;
    x0             = tevo_clamp(x0, 0, c.ne00 - 1);
    x1             = tevo_clamp(x1, 0, c.ne00 - 1);
    const float dx = fminf(fmaxf(x - (float) x0, 0.0f), 1.0f);

    const float a = tevo_upscale_src(c, x0, y0);
    const float b = tevo_upscale_src(c, x1, y0);
    const float d = tevo_upscale_src(c, x0, y1);
    const float e = tevo_upscale_src(c, x1, y1);
    return a * (1 - dx) * (1 - dy) + b * dx * (1 - dy) + d * (1 - dx) * dy + e * dx * dy;
}

inline float tevo_cubic_w1(float t) { // |t| <= 1
    return (1.25f * t - 2.25f) * t * t + 1.0f;
}

inline float tevo_cubic_w2(float t) { // 1 < |t| < 2
    return ((-0.75f * t + 3.75f) * t - 6.0f) * t + 3.0f;
}

float tevo_upscale_bicubic(const tevo_upscale_ctx & c, int64_t i0, int64_t i1) {
    const float   y  = ((float) i1 + c.po) / c.sf1 - c.po;
    const int64_t y0 = (int64_t) floorf(y);
    const float   dy = y - (float) y0;
    const float   x  = ((float) i0 + c.po) / c.sf0 - c.po;
    const int64_t x0 = (int64_t) floorf(x);
    const float   dx = x - (float) x0;

    const float wx[4] = { tevo_cubic_w2(dx + 1), tevo_cubic_w1(dx), tevo_cubic_w1(1 - dx), tevo_cubic_w2(2 - dx) };
    const float wy[4] = { tevo_cubic_w2(dy + 1), tevo_cubic_w1(dy), tevo_cubic_w1(1 - dy), tevo_cubic_w2(2 - dy) };

    float result = 0.0f;
    for (int v = -1; v <= 2; ++v) {
        const int64_t yy  = tevo_clamp(y0 + v, 0, c.ne01 - 1);
        float         row = 0.0f;
        for (int u = -1; u <= 2; ++u) {
            const int64_t xx = tevo_clamp(x0 + u, 0, c.ne00 - 1);
            row += tevo_upscale_src(c, xx, yy) * wx[u + 1];
        }
        result += row * wy[v + 1];
    }
    return result;
}

float tevo_upscale_antialias(const tevo_upscale_ctx & c, int64_t i0, int64_t i1) {
    const float support1  = fmaxf(1.0f, 1.0f / c.sf1);
    const float invscale1 = 1.0f / support1;
    const float support0  = fmaxf(1.0f, 1.0f / c.sf0);
    const float invscale0 = 1.0f / support0;

    const float y = ((float) i1 + c.po) / c.sf1;
    const float x = ((float) i0 + c.po) / c.sf0;

    const int64_t y_min = TEVO_MAX((int64_t) (y - support1 + c.po), (int64_t) 0);
    const int64_t y_max = TEVO_MIN((int64_t) (y + support1 + c.po), c.ne01);
    const int64_t x_min = TEVO_MAX((int64_t) (x - support0 + c.po), (int64_t) 0);
    const int64_t x_max = TEVO_MIN((int64_t) (x + support0 + c.po), c.ne00);

    float sum = 0.0f, total = 0.0f;
    for (int64_t sy = y_min; sy < y_max; ++sy) {
        const float wy = fmaxf(1.0f - fabsf(((float) sy - y + c.po) * invscale1), 0.0f);
        for (int64_t sx = x_min; sx < x_max; ++sx) {
            const float wx = fmaxf(1.0f - fabsf(((float) sx - x + c.po) * invscale0), 0.0f);
            const float w  = wx * wy;
            if (w <= 0.0f) {
                continue;
            }
            sum += w * tevo_upscale_src(c, sx, sy);
            total += w;
        }
    }
    return total > 0.0f ? sum / total : sum;
}

enum tevo_upscale_kind { TEVO_UPSCALE_NEAREST, TEVO_UPSCALE_BILINEAR, TEVO_UPSCALE_ANTIALIAS, TEVO_UPSCALE_BICUBIC };

} // namespace

// src: [ne00, ne01, ne02, ne03] F32 -> dst: [ne0, ne1, ne2, ne3] F32
void tevo_compute_forward_upscale(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const tevo_tensor * src = dst->src[0];
    if (src->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);

    const int32_t mode = tevo_get_op_params_i32(dst, 0);

    tevo_upscale_kind kind;
    if ((mode & 0xFF) == TEVO_SCALE_MODE_NEAREST) {
        kind = TEVO_UPSCALE_NEAREST;
    } else if ((mode & 0x2FF) == (TEVO_SCALE_FLAG_ANTIALIAS | TEVO_SCALE_MODE_BILINEAR)) {
        kind = TEVO_UPSCALE_ANTIALIAS;
    } else if ((mode & 0xFF) == TEVO_SCALE_MODE_BILINEAR) {
        kind = TEVO_UPSCALE_BILINEAR;
    } else if ((mode & 0xFF) == TEVO_SCALE_MODE_BICUBIC) {
        kind = TEVO_UPSCALE_BICUBIC;
    } else {
        TEVO_ABORT("unsupported upscale mode");
    }

    const int64_t ne00 = src->ne[0], ne01 = src->ne[1], ne02 = src->ne[2], ne03 = src->ne[3];
    const int64_t ne0 = dst->ne[0], ne1 = dst->ne[1], ne2 = dst->ne[2], ne3 = dst->ne[3];
    if (tevo_nelements(dst) == 0) {
        return;
    }
    // every destination element reads at least one source element
    TEVO_ASSERT(tevo_nelements(src) > 0);

    tevo_upscale_ctx c;
    c.src  = src;
    c.ne00 = ne00;
    c.ne01 = ne01;
    c.sf0  = (float) ne0 / (float) ne00;
    c.sf1  = (float) ne1 / (float) ne01;
    c.po   = 0.5f;
    const float sf2 = (float) ne2 / (float) ne02;
    const float sf3 = (float) ne3 / (float) ne03;

    if (mode & TEVO_SCALE_FLAG_ALIGN_CORNERS) {
        c.po = 0.0f;
        if (ne0 > 1 && ne00 > 1) {
            c.sf0 = (float) (ne0 - 1) / (float) (ne00 - 1);
        }
        if (ne1 > 1 && ne01 > 1) {
            c.sf1 = (float) (ne1 - 1) / (float) (ne01 - 1);
        }
    }

    for (int64_t i3 = 0; i3 < ne3; ++i3) {
        const int64_t i03 = tevo_upscale_nearest(i3, sf3, ne03);
        for (int64_t i2 = params->ith; i2 < ne2; i2 += params->nth) {
            const int64_t i02 = tevo_upscale_nearest(i2, sf2, ne02);
            c.plane           = (const char *) src->data + i02 * src->nb[2] + i03 * src->nb[3];
            for (int64_t i1 = 0; i1 < ne1; ++i1) {
                char * y = (char *) dst->data + i1 * dst->nb[1] + i2 * dst->nb[2] + i3 * dst->nb[3];
                switch (kind) {
                    case TEVO_UPSCALE_NEAREST: {
                        const int64_t i01 = tevo_upscale_nearest(i1, c.sf1, ne01);
                        for (int64_t i0 = 0; i0 < ne0; ++i0) {
                            *(float *) (y + i0 * dst->nb[0]) =
                                tevo_upscale_src(c, tevo_upscale_nearest(i0, c.sf0, ne00), i01);
                        }
                    } break;
                    case TEVO_UPSCALE_BILINEAR:
                        for (int64_t i0 = 0; i0 < ne0; ++i0) {
                            *(float *) (y + i0 * dst->nb[0]) = tevo_upscale_bilinear(c, i0, i1);
                        }
                        break;
                    case TEVO_UPSCALE_ANTIALIAS:
                        for (int64_t i0 = 0; i0 < ne0; ++i0) {
                            *(float *) (y + i0 * dst->nb[0]) = tevo_upscale_antialias(c, i0, i1);
                        }
                        break;
                    case TEVO_UPSCALE_BICUBIC:
                        for (int64_t i0 = 0; i0 < ne0; ++i0) {
                            *(float *) (y + i0 * dst->nb[0]) = tevo_upscale_bicubic(c, i0, i1);
                        }
                        break;
                }
            }
        }
    }
}
