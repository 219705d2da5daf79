#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Graph constructors of the rotary position embedding and its gradient. All
// of them funnel into one core that writes the sixteen parameter words the
// CPU kernel reads.

#include "core/impl.h"

static struct tevo_tensor * tevo_rope_impl(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                           struct tevo_tensor * c, int n_dims, const int * sections, float freq_base,
                                           float freq_scale, float ext_factor, float attn_factor, float beta_fast,
                                           float beta_slow, int mode, int n_ctx_orig, bool inplace) {
    TEVO_ASSERT((mode & 1) == 0 && "mode & 1 == 1 is no longer supported");

    TEVO_ASSERT(tevo_is_vector(b));
    TEVO_ASSERT(b->type == TEVO_TYPE_I32);

    // the multi-section modes take four positions per sequence element
    const bool multi = (mode & TEVO_ROPE_TYPE_MULTI) != 0;
    if (multi) {
        TEVO_ASSERT(a->ne[2] * 4 == b->ne[0]);
    } else {
        TEVO_ASSERT(a->ne[2] == b->ne[0]);
    }

    if (c) {
        TEVO_ASSERT(c->type == TEVO_TYPE_F32);
        TEVO_ASSERT(c->ne[0] >= n_dims / 2);
    }

    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);

    int32_t params[16] = { 0, n_dims, mode, 0, n_ctx_orig };
    memcpy(params + 5,  &freq_base,   sizeof(float));
    memcpy(params + 6,  &freq_scale,  sizeof(float));
    memcpy(params + 7,  &ext_factor,  sizeof(float));
    memcpy(params + 8,  &attn_factor, sizeof(float));
    memcpy(params + 9,  &beta_fast,   sizeof(float));
    memcpy(params + 10, &beta_slow,   sizeof(float));
    if (multi && sections) {
        memcpy(params + 11, sections, 4 * sizeof(int32_t));
    }
    // word 15 (first rotated dimension) stays 0 until tevo_rope_set_offset
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_ROPE;
    result->src[0] = a;
    result->src[1] = b;
    result->src[2] = c;
    return result;
}

struct tevo_tensor * tevo_rope(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b, int n_dims,
                               int mode) {
    return tevo_rope_impl(ctx, a, b, NULL, n_dims, NULL, 10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f, mode, 0, false);
}

struct tevo_tensor * tevo_rope_inplace(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                       int n_dims, int mode) {
    return tevo_rope_impl(ctx, a, b, NULL, n_dims, NULL, 10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f, mode, 0, true);
}

struct tevo_tensor * tevo_rope_ext(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                   struct tevo_tensor * c, int n_dims, int mode, int n_ctx_orig, float freq_base,
                                   float freq_scale, float ext_factor, float attn_factor, float beta_fast,
                                   float beta_slow) {
    return tevo_rope_impl(ctx, a, b, c, n_dims, NULL, freq_base, freq_scale, ext_factor, attn_factor, beta_fast,
                          beta_slow, mode, n_ctx_orig, false);
}

struct tevo_tensor * tevo_rope_ext_inplace(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                           struct tevo_tensor * c, int n_dims, int mode, int n_ctx_orig,
                                           float freq_base, float freq_scale, float ext_factor, float attn_factor,
                                           float beta_fast, float beta_slow) {
    return tevo_rope_impl(ctx, a, b, c, n_dims, NULL, freq_base, freq_scale, ext_factor, attn_factor, beta_fast,
                          beta_slow, mode, n_ctx_orig, true);
}

struct tevo_tensor * tevo_rope_multi(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                     struct tevo_tensor * c, int n_dims, const int sections[4], int mode,
                                     int n_ctx_orig, float freq_base, float freq_scale, float ext_factor,
                                     float attn_factor, float beta_fast, float beta_slow) {
    return tevo_rope_impl(ctx, a, b, c, n_dims, sections, freq_base, freq_scale, ext_factor, attn_factor, beta_fast,
                          beta_slow, mode, n_ctx_orig, false);
}

struct tevo_tensor * tevo_rope_multi_inplace(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                             struct tevo_tensor * c, int n_dims, const int sections[4], int mode,
                                             int n_ctx_orig, float freq_base, float freq_scale, float ext_factor,
                                             float attn_factor, float beta_fast, float beta_slow) {
    return tevo_rope_impl(ctx, a, b, c, n_dims, sections, freq_base, freq_scale, ext_factor, attn_factor, beta_fast,
                          beta_slow, mode, n_ctx_orig, true);
}

struct tevo_tensor * tevo_rope_custom(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                      int n_dims, int mode, int n_ctx_orig, float freq_base, float freq_scale,
                                      float ext_factor, float attn_factor, float beta_fast, float beta_slow) {
    return tevo_rope_impl(ctx, a, b, NULL, n_dims, NULL, freq_base, freq_scale, ext_factor, attn_factor, beta_fast,
                          beta_slow, mode, n_ctx_orig, false);
}

struct tevo_tensor * tevo_rope_custom_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                              struct tevo_tensor * b, int n_dims, int mode, int n_ctx_orig,
                                              float freq_base, float freq_scale, float ext_factor, float attn_factor,
                                              float beta_fast, float beta_slow) {
    return tevo_rope_impl(ctx, a, b, NULL, n_dims, NULL, freq_base, freq_scale, ext_factor, attn_factor, beta_fast,
                          beta_slow, mode, n_ctx_orig, true);
}

struct tevo_tensor * tevo_rope_ext_back(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                        struct tevo_tensor * c, int n_dims, int mode, int n_ctx_orig, float freq_base,
                                        float freq_scale, float ext_factor, float attn_factor, float beta_fast,
                                        float beta_slow) {
    struct tevo_tensor * result = tevo_rope_ext(ctx, a, b, c, n_dims, mode, n_ctx_orig, freq_base, freq_scale,
                                                ext_factor, attn_factor, beta_fast, beta_slow);
    result->op = TEVO_OP_ROPE_BACK;
    return result;
}

struct tevo_tensor * tevo_rope_multi_back(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                          struct tevo_tensor * c, int n_dims, const int sections[4], int mode,
                                          int n_ctx_orig, float freq_base, float freq_scale, float ext_factor,
                                          float attn_factor, float beta_fast, float beta_slow) {
    struct tevo_tensor * result = tevo_rope_multi(ctx, a, b, c, n_dims, sections, mode, n_ctx_orig, freq_base,
                                                  freq_scale, ext_factor, attn_factor, beta_fast, beta_slow);
    result->op = TEVO_OP_ROPE_BACK;
    return result;
}

// Dimensions whose wavelength makes beta rotations over the original context,
// for the low (beta_fast) and high (beta_slow) end of the YaRN ramp.
void tevo_rope_yarn_corr_dims(int n_dims, int n_ctx_orig, float freq_base, float beta_fast, float beta_slow,
                              float dims[2]) {
    const float pi    = 3.14159265358979323846f;
    const float nd    = (float) n_dims;
    const float nc    = (float) n_ctx_orig;
    const float denom = 2.0f * logf(freq_base);

    const float low  = floorf(logf(nc / ((beta_fast + beta_fast) * pi)) * nd / denom);
    const float high = ceilf(logf(nc / ((beta_slow + beta_slow) * pi)) * nd / denom);

    // written as comparisons so that a NaN bound passes through unchanged
    const float last = (float) (n_dims - 1);
    dims[0] = 0.0f > low ? 0.0f : low;
    dims[1] = last < high ? last : high;
}

struct tevo_tensor * tevo_rope_set_offset(struct tevo_tensor * a, int n_offs) {
    TEVO_ASSERT(a->op == TEVO_OP_ROPE || a->op == TEVO_OP_ROPE_BACK);
    TEVO_ASSERT(n_offs >= 0);

    const int mode = tevo_get_op_params_i32(a, 2);
    TEVO_ASSERT(mode != TEVO_ROPE_TYPE_VISION);

    tevo_set_op_params_i32(a, 15, n_offs);
    return a;
}
