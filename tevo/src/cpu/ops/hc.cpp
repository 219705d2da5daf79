#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Stream mixing for a residual path carried as hc parallel streams per token.
//
// DSV4_HC_COMB: the per-token hc x hc mixing matrix (hc = 4) from 16 logits:
// a softmax over i0 within each column i1, then alternating normalisations
// over i1 and over i0, n_iter of each. DSV4_HC_PRE: the weighted sum of a
// token's streams (gated: one logistic weight per element). DSV4_HC_POST: the
// layer output spread over the streams by per-stream gains, plus the residual
// streams, optionally mixed by the matrix.
//
// Every tensor is read and written through its byte strides, so none needs
// packed rows. Work is split in contiguous blocks of output elements (tokens
// for the matrix); the sums keep the order written, whatever the split.

#include "cpu/ops/ops.h"

#include <math.h>

static inline const float * tevo_hc_at(const struct tevo_tensor * t, int64_t i0, int64_t i1, int64_t i2) {
    return (const float *) ((const char *) t->data + i0 * t->nb[0] + i1 * t->nb[1] + i2 * t->nb[2]);
}

static inline float * tevo_hc_dst(struct tevo_tensor * t, int64_t i0, int64_t i1, int64_t i2) {
    return (float *) ((char *) t->data + i0 * t->nb[0] + i1 * t->nb[1] + i2 * t->nb[2]);
}

// ---------------------------------------------------------------------------
// DSV4_HC_COMB

enum { TEVO_HC = 4, TEVO_HC_MIX_DIM = TEVO_HC * (TEVO_HC + 2) };

// rows i0 of x divided by their sums (eps added to each sum)
static inline void tevo_hc_norm_over_i1(float x[TEVO_HC][TEVO_HC], float eps) {
    for (int i0 = 0; i0 < TEVO_HC; ++i0) {
        const float c = 1.0f / ((((eps + x[i0][0]) + x[i0][1]) + x[i0][2]) + x[i0][3]);
        for (int i1 = 0; i1 < TEVO_HC; ++i1) {
            x[i0][i1] = x[i0][i1] * c;
        }
    }
}

static inline void tevo_hc_norm_over_i0(float x[TEVO_HC][TEVO_HC], float eps) {
    for (int i1 = 0; i1 < TEVO_HC; ++i1) {
        const float c = 1.0f / ((((eps + x[0][i1]) + x[1][i1]) + x[2][i1]) + x[3][i1]);
        for (int i0 = 0; i0 < TEVO_HC; ++i0) {
            x[i0][i1] = x[i0][i1] * c;
        }
    }
}

// mixes: [24, n_tokens], scale: [>= 3], base: [24] -> [4, 4, n_tokens]
void tevo_compute_forward_dsv4_hc_comb(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * mixes = dst->src[0];
    const struct tevo_tensor * scale = dst->src[1];
    const struct tevo_tensor * base  = dst->src[2];
    if (mixes->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    const int64_t hc         = TEVO_HC;
    const int64_t hc_mix_dim = TEVO_HC_MIX_DIM;
    const int64_t n_tokens   = mixes->ne[1];
    const float   eps        = tevo_get_op_params_f32(dst, 0);
    const int32_t n_iter     = tevo_get_op_params_i32(dst, 1);

    TEVO_ASSERT(scale->type == TEVO_TYPE_F32);
    TEVO_ASSERT(base->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(mixes->ne[0] == hc_mix_dim);
    TEVO_ASSERT(dst->ne[0] == hc);
    TEVO_ASSERT(dst->ne[1] == hc);
    TEVO_ASSERT(dst->ne[2] == n_tokens);
    TEVO_ASSERT(scale->ne[0] >= 3);
    TEVO_ASSERT(base->ne[0] == hc_mix_dim);
    TEVO_ASSERT(n_iter > 0);

    int64_t t0, t1;
    tevo_thread_range(n_tokens, params->ith, params->nth, &t0, &t1);

    // only the gain of the matrix logits; the first 2 hc mix values belong
    // to the other two operators
    const float a = *tevo_hc_at(scale, 2, 0, 0);

    for (int64_t t = t0; t < t1; ++t) {
        float x[TEVO_HC][TEVO_HC];
        for (int i1 = 0; i1 < TEVO_HC; ++i1) {
            float z[TEVO_HC];
            float m = 0.0f;
            for (int i0 = 0; i0 < TEVO_HC; ++i0) {
                const int64_t j = 2 * hc + i0 + hc * i1;
                z[i0]           = fmaf(a, *tevo_hc_at(mixes, j, t, 0), *tevo_hc_at(base, j, 0, 0));
                m               = i0 == 0 || z[i0] > m ? z[i0] : m;
            }
            float e[TEVO_HC];
            for (int i0 = 0; i0 < TEVO_HC; ++i0) {
                e[i0] = expf(z[i0] - m);
            }
            const float r = 1.0f / (((e[0] + e[1]) + e[2]) + e[3]);
            for (int i0 = 0; i0 < TEVO_HC; ++i0) {
                x[i0][i1] = fmaf(e[i0], r, eps);
            }
        }
        tevo_hc_norm_over_i1(x, eps);
        for (int32_t it = 1; it < n_iter; ++it) {
            tevo_hc_norm_over_i0(x, eps);
            tevo_hc_norm_over_i1(x, eps);
        }
        for (int i1 = 0; i1 < TEVO_HC; ++i1) {
            for (int i0 = 0; i0 < TEVO_HC; ++i0) {
                *tevo_hc_dst(dst, i0, i1, t) = x[i0][i1];
            }
        }
    }
}

// ---------------------------------------------------------------------------
// DSV4_HC_PRE

// x: [n_embd, hc, n_tokens], weights: [hc, n_tokens] or (gated)
// [n_embd, hc, n_tokens] -> [n_embd, n_tokens]
void tevo_compute_forward_dsv4_hc_pre(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * x = dst->src[0];
    const struct tevo_tensor * w = dst->src[1];
    if (x->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    const float pre_scale = tevo_get_op_params_f32(dst, 0);
    const bool  gated     = tevo_get_op_params_i32(dst, 1) != 0;

    const int64_t n_embd   = x->ne[0];
    const int64_t hc       = x->ne[1];
    const int64_t n_tokens = x->ne[2];

    TEVO_ASSERT(w->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->ne[0] == n_embd);
    TEVO_ASSERT(dst->ne[1] == n_tokens);
    if (gated) {
        TEVO_ASSERT(w->ne[0] == n_embd);
        TEVO_ASSERT(w->ne[1] == hc);
        TEVO_ASSERT(w->ne[2] == n_tokens);
    } else {
        TEVO_ASSERT(w->ne[0] == hc);
        TEVO_ASSERT(w->ne[1] == n_tokens);
    }

    int64_t i0, i1;
    tevo_thread_range(n_embd * n_tokens, params->ith, params->nth, &i0, &i1);

    for (int64_t i = i0; i < i1; ++i) {
        const int64_t e = i % n_embd;
        const int64_t t = i / n_embd;

        float acc = 0.0f;
        for (int64_t h = 0; h < hc; ++h) {
            const float wh = gated ? 1.0f / (expf(-*tevo_hc_at(w, e, h, t)) + 1.0f) : *tevo_hc_at(w, h, t, 0);
            acc            = fmaf(wh, *tevo_hc_at(x, e, h, t), acc);
        }
        *tevo_hc_dst(dst, e, t, 0) = acc * pre_scale;
    }
}

// ---------------------------------------------------------------------------
// DSV4_HC_POST

// x: [n_embd, n_tokens], residual: [n_embd, hc, n_tokens], post: [hc, n_tokens],
// comb: [hc, hc, n_tokens] or none -> [n_embd, hc, n_tokens]
void tevo_compute_forward_dsv4_hc_post(const struct tevo_compute_params * params, struct tevo_tensor * dst) {
    const struct tevo_tensor * x        = dst->src[0];
    const struct tevo_tensor * residual = dst->src[1];
    const struct tevo_tensor * post     = dst->src[2];
    const struct tevo_tensor * comb     = dst->src[3];
    if (x->type != TEVO_TYPE_F32) {
        TEVO_ABORT("fatal error");
    }

    const int64_t n_embd   = x->ne[0];
    const int64_t n_tokens = x->ne[1];
    const int64_t hc       = residual->ne[1];

    TEVO_ASSERT(residual->type == TEVO_TYPE_F32);
    TEVO_ASSERT(post->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->type == TEVO_TYPE_F32);
    TEVO_ASSERT(dst->ne[0] == n_embd);
    TEVO_ASSERT(dst->ne[1] == hc);
    TEVO_ASSERT(dst->ne[2] == n_tokens);
    TEVO_ASSERT(residual->ne[0] == n_embd);
    TEVO_ASSERT(residual->ne[2] == n_tokens);
    TEVO_ASSERT(post->ne[0] == hc);
    TEVO_ASSERT(post->ne[1] == n_tokens);
    if (comb) {
        TEVO_ASSERT(comb->type == TEVO_TYPE_F32);
        TEVO_ASSERT(comb->ne[0] == hc);
        TEVO_ASSERT(comb->ne[1] == hc);
        TEVO_ASSERT(comb->ne[2] == n_tokens);
    }

    int64_t i0, i1;
    tevo_thread_range(n_embd * hc * n_tokens, params->ith, params->nth, &i0, &i1);

    for (int64_t i = i0; i < i1; ++i) {
        const int64_t e = i % n_embd;
        const int64_t h = (i / n_embd) % hc;
        const int64_t t = i / (n_embd * hc);

        const float p = *tevo_hc_at(x, e, t, 0) * *tevo_hc_at(post, h, t, 0);
        float       y;
        if (comb) {
            y = p;
            for (int64_t j = 0; j < hc; ++j) {
                y = fmaf(*tevo_hc_at(residual, e, j, t), *tevo_hc_at(comb, h, j, t), y);
            }
        } else {
            y = p + *tevo_hc_at(residual, e, h, t);
        }
        *tevo_hc_dst(dst, e, h, t) = y;
    }
}
