#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Hyper-connection operators: hc parallel residual streams per token, mixed
// by a per-token hc x hc matrix, reduced to one layer input and spread back.

#include "core/impl.h"

// mixes: [hc * (hc + 2), n_tokens], scale: [>= 3], base: [hc * (hc + 2)]
struct tevo_tensor * tevo_dsv4_hc_comb(struct tevo_context * ctx, struct tevo_tensor * mixes,
                                       struct tevo_tensor * scale, struct tevo_tensor * base, int n_iter, float eps) {
    TEVO_ASSERT(mixes->type == TEVO_TYPE_F32);
    TEVO_ASSERT(scale->type == TEVO_TYPE_F32);
    TEVO_ASSERT(base->type == TEVO_TYPE_F32);
    TEVO_ASSERT(n_iter > 0);

    // the stream count follows from the mix width hc^2 + 2 hc
    int64_t hc = 0;
    for (int64_t h = 1; h * (h + 2) <= mixes->ne[0]; h++) {
        if (h * (h + 2) == mixes->ne[0]) {
            hc = h;
            break;
        }
    }
    TEVO_ASSERT(hc > 0);
    TEVO_ASSERT(hc == 4);

    const int64_t hc_mix_dim = hc * (hc + 2);
    const int64_t n_tokens   = mixes->ne[1];

    TEVO_ASSERT(mixes->ne[2] == 1);
    TEVO_ASSERT(mixes->ne[3] == 1);
    TEVO_ASSERT(scale->ne[0] >= 3);
    TEVO_ASSERT(scale->ne[1] == 1);
    TEVO_ASSERT(scale->ne[2] == 1);
    TEVO_ASSERT(scale->ne[3] == 1);
    TEVO_ASSERT(base->ne[0] == hc_mix_dim);
    TEVO_ASSERT(base->ne[1] == 1);
    TEVO_ASSERT(base->ne[2] == 1);
    TEVO_ASSERT(base->ne[3] == 1);

    struct tevo_tensor * result = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, hc, hc, n_tokens);

    tevo_set_op_params_f32(result, 0, eps);
    tevo_set_op_params_i32(result, 1, n_iter);

    result->op     = TEVO_OP_DSV4_HC_COMB;
    result->src[0] = mixes;
    result->src[1] = scale;
    result->src[2] = base;

    return result;
}

// x: [n_embd, hc, n_tokens]; weights: [hc, n_tokens], or [n_embd, hc, n_tokens]
// when gated (one weight per element of every stream)
static struct tevo_tensor * tevo_dsv4_hc_pre_impl(struct tevo_context * ctx, struct tevo_tensor * x,
                                                  struct tevo_tensor * weights, bool gated, float scale) {
    TEVO_ASSERT(x->type == TEVO_TYPE_F32);
    TEVO_ASSERT(weights->type == TEVO_TYPE_F32);

    const int64_t n_embd   = x->ne[0];
    const int64_t hc       = x->ne[1];
    const int64_t n_tokens = x->ne[2];

    TEVO_ASSERT(hc > 0);
    TEVO_ASSERT(x->ne[3] == 1);

    if (gated) {
        TEVO_ASSERT(weights->ne[0] == n_embd);
        TEVO_ASSERT(weights->ne[1] == hc);
        TEVO_ASSERT(weights->ne[2] == n_tokens);
    } else {
        TEVO_ASSERT(weights->ne[0] == hc);
        TEVO_ASSERT(weights->ne[1] == n_tokens);
        TEVO_ASSERT(weights->ne[2] == 1);
    }
    TEVO_ASSERT(weights->ne[3] == 1);

    struct tevo_tensor * result = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, n_embd, n_tokens);

    tevo_set_op_params_f32(result, 0, scale);
    tevo_set_op_params_i32(result, 1, gated ? 1 : 0);

    result->op     = TEVO_OP_DSV4_HC_PRE;
    result->src[0] = x;
    result->src[1] = weights;

    return result;
}

struct tevo_tensor * tevo_dsv4_hc_pre(struct tevo_context * ctx, struct tevo_tensor * x, struct tevo_tensor * weights) {
    return tevo_dsv4_hc_pre_impl(ctx, x, weights, false, 1.0f);
}

struct tevo_tensor * tevo_dsv4_hc_pre_gated(struct tevo_context * ctx, struct tevo_tensor * x,
                                            struct tevo_tensor * weights, float scale) {
    return tevo_dsv4_hc_pre_impl(ctx, x, weights, true, scale);
}

// x: [n_embd, n_tokens], residual: [n_embd, hc, n_tokens], post: [hc, n_tokens],
// comb: [hc, hc, n_tokens] or NULL
struct tevo_tensor * tevo_dsv4_hc_post(struct tevo_context * ctx, struct tevo_tensor * x,
                                       struct tevo_tensor * residual, struct tevo_tensor * post,
                                       struct tevo_tensor * comb) {
    TEVO_ASSERT(x->type == TEVO_TYPE_F32);
    TEVO_ASSERT(residual->type == TEVO_TYPE_F32);
    TEVO_ASSERT(post->type == TEVO_TYPE_F32);

    const int64_t n_embd   = x->ne[0];
    const int64_t n_tokens = x->ne[1];
    const int64_t hc       = residual->ne[1];

    TEVO_ASSERT(hc > 0);
    TEVO_ASSERT(x->ne[2] == 1);
    TEVO_ASSERT(x->ne[3] == 1);
    TEVO_ASSERT(residual->ne[0] == n_embd);
    TEVO_ASSERT(residual->ne[2] == n_tokens);
    TEVO_ASSERT(residual->ne[3] == 1);
    TEVO_ASSERT(post->ne[0] == hc);
    TEVO_ASSERT(post->ne[1] == n_tokens);
    TEVO_ASSERT(post->ne[2] == 1);
    TEVO_ASSERT(post->ne[3] == 1);
    if (comb) {
        TEVO_ASSERT(comb->type == TEVO_TYPE_F32);
        TEVO_ASSERT(comb->ne[0] == hc);
        TEVO_ASSERT(comb->ne[1] == hc);
        TEVO_ASSERT(comb->ne[2] == n_tokens);
        TEVO_ASSERT(comb->ne[3] == 1);
    }

    struct tevo_tensor * result = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, n_embd, hc, n_tokens);

    result->op     = TEVO_OP_DSV4_HC_POST;
    result->src[0] = x;
    result->src[1] = residual;
    result->src[2] = post;
    result->src[3] = comb;

    return result;
}
