#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Resampling, padding, cyclic shift, generated tensors, sorting and top-k.

#include "core/impl.h"

// resampling

static struct tevo_tensor * tevo_interpolate_impl(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0,
                                                  int64_t ne1, int64_t ne2, int64_t ne3, int32_t mode) {
    TEVO_ASSERT((mode & 0xFF) < TEVO_SCALE_MODE_COUNT);
    TEVO_ASSERT(!(mode & TEVO_SCALE_FLAG_ANTIALIAS) || (mode & 0xFF) == TEVO_SCALE_MODE_BILINEAR);
    TEVO_ASSERT(a->type == TEVO_TYPE_F32);

    struct tevo_tensor * result = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, ne0, ne1, ne2, ne3);

    // the flag bits above the mode go to the kernel unchanged
    tevo_set_op_params_i32(result, 0, mode);

    result->op     = TEVO_OP_UPSCALE;
    result->src[0] = a;

    return result;
}

struct tevo_tensor * tevo_upscale(struct tevo_context * ctx, struct tevo_tensor * a, int scale_factor, int32_t mode) {
    TEVO_ASSERT(scale_factor > 1);
    return tevo_interpolate_impl(ctx, a, a->ne[0] * scale_factor, a->ne[1] * scale_factor, a->ne[2], a->ne[3], mode);
}

struct tevo_tensor * tevo_upscale_ext(struct tevo_context * ctx, struct tevo_tensor * a, int ne0, int ne1, int ne2,
                                      int ne3, int32_t mode) {
    return tevo_interpolate_impl(ctx, a, ne0, ne1, ne2, ne3, mode);
}

struct tevo_tensor * tevo_interpolate(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1,
                                      int64_t ne2, int64_t ne3, int32_t mode) {
    return tevo_interpolate_impl(ctx, a, ne0, ne1, ne2, ne3, mode);
}

// padding

static struct tevo_tensor * tevo_pad_impl(struct tevo_context * ctx, struct tevo_tensor * a, int lp0, int rp0,
                                          int lp1, int rp1, int lp2, int rp2, int lp3, int rp3, bool circular) {
    if (circular) {
        // wrapping needs a source element to wrap to in every padded dimension
        const int lp[TEVO_MAX_DIMS] = { lp0, lp1, lp2, lp3 };
        const int rp[TEVO_MAX_DIMS] = { rp0, rp1, rp2, rp3 };
        for (int i = 0; i < TEVO_MAX_DIMS; ++i) {
            TEVO_ASSERT(a->ne[i] > 0 || (lp[i] == 0 && rp[i] == 0));
        }
    }

    struct tevo_tensor * result = tevo_new_tensor_4d(ctx, a->type,
                                                     a->ne[0] + lp0 + rp0,
                                                     a->ne[1] + lp1 + rp1,
                                                     a->ne[2] + lp2 + rp2,
                                                     a->ne[3] + lp3 + rp3);

    const int32_t params[] = { lp0, rp0, lp1, rp1, lp2, rp2, lp3, rp3, circular ? 1 : 0 };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_PAD;
    result->src[0] = a;

    return result;
}

struct tevo_tensor * tevo_pad(struct tevo_context * ctx, struct tevo_tensor * a, int p0, int p1, int p2, int p3) {
    return tevo_pad_impl(ctx, a, 0, p0, 0, p1, 0, p2, 0, p3, false);
}

struct tevo_tensor * tevo_pad_ext(struct tevo_context * ctx, struct tevo_tensor * a, int lp0, int rp0, int lp1,
                                  int rp1, int lp2, int rp2, int lp3, int rp3) {
    return tevo_pad_impl(ctx, a, lp0, rp0, lp1, rp1, lp2, rp2, lp3, rp3, false);
}

struct tevo_tensor * tevo_pad_circular(struct tevo_context * ctx, struct tevo_tensor * a, int p0, int p1, int p2,
                                       int p3) {
    return tevo_pad_impl(ctx, a, 0, p0, 0, p1, 0, p2, 0, p3, true);
}

struct tevo_tensor * tevo_pad_ext_circular(struct tevo_context * ctx, struct tevo_tensor * a, int lp0, int rp0,
                                           int lp1, int rp1, int lp2, int rp2, int lp3, int rp3) {
    return tevo_pad_impl(ctx, a, lp0, rp0, lp1, rp1, lp2, rp2, lp3, rp3, true);
}

struct tevo_tensor * tevo_pad_reflect_1d(struct tevo_context * ctx, struct tevo_tensor * a, int p0, int p1) {
    TEVO_ASSERT(p0 >= 0);
    TEVO_ASSERT(p1 >= 0);

    TEVO_ASSERT(p0 < a->ne[0]); // reflection needs p0 + 1 elements
    TEVO_ASSERT(p1 < a->ne[0]);

    TEVO_ASSERT(tevo_is_contiguous(a));
    TEVO_ASSERT(a->type == TEVO_TYPE_F32);

    struct tevo_tensor * result =
        tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, a->ne[0] + p0 + p1, a->ne[1], a->ne[2], a->ne[3]);

    const int32_t params[] = { p0, p1 };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_PAD_REFLECT_1D;
    result->src[0] = a;

    return result;
}

struct tevo_tensor * tevo_roll(struct tevo_context * ctx, struct tevo_tensor * a, int shift0, int shift1, int shift2,
                               int shift3) {
    TEVO_ASSERT(a->nb[0] == tevo_type_size(a->type));
    // abs(INT_MIN) has no value: take magnitudes in 64 bits
    TEVO_ASSERT_AS(llabs((long long) shift0) < a->ne[0], "abs(shift0) < a->ne[0]");
    TEVO_ASSERT_AS(llabs((long long) shift1) < a->ne[1], "abs(shift1) < a->ne[1]");
    TEVO_ASSERT_AS(llabs((long long) shift2) < a->ne[2], "abs(shift2) < a->ne[2]");
    TEVO_ASSERT_AS(llabs((long long) shift3) < a->ne[3], "abs(shift3) < a->ne[3]");

    struct tevo_tensor * result = tevo_new_tensor(ctx, a->type, 4, a->ne);

    const int32_t params[] = { shift0, shift1, shift2, shift3 };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_ROLL;
    result->src[0] = a;

    return result;
}

// generated tensors

struct tevo_tensor * tevo_timestep_embedding(struct tevo_context * ctx, struct tevo_tensor * timesteps, int dim,
                                             int max_period) {
    // the kernel takes the logarithm of max_period: 0 or below gives NaN
    TEVO_ASSERT(max_period > 0);

    struct tevo_tensor * result = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, dim, timesteps->ne[0]);

    const int32_t params[] = { dim, max_period };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_TIMESTEP_EMBEDDING;
    result->src[0] = timesteps;

    return result;
}

struct tevo_tensor * tevo_arange(struct tevo_context * ctx, float start, float stop, float step) {
    TEVO_ASSERT(stop > start);
    // a step of 0 or below would make the count infinite or negative
    TEVO_ASSERT(step > 0);

    const float steps = ceilf((stop - start) / step);

    // a huge range over a tiny step overflows to infinity
    TEVO_ASSERT(isfinite(steps) && steps < (float) INT64_MAX);

    struct tevo_tensor * result = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, (int64_t) steps);

    tevo_set_op_params_f32(result, 0, start);
    tevo_set_op_params_f32(result, 1, stop);
    tevo_set_op_params_f32(result, 2, step);

    result->op = TEVO_OP_ARANGE;

    return result;
}

struct tevo_tensor * tevo_tri(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_tri_type type) {
    TEVO_ASSERT(a->type == TEVO_TYPE_F32);
    TEVO_ASSERT(tevo_is_contiguous(a));
    TEVO_ASSERT(a->ne[0] == a->ne[1]);

    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, a->ne);

    tevo_set_op_params_i32(result, 0, type);

    result->op     = TEVO_OP_TRI;
    result->src[0] = a;

    return result;
}

static struct tevo_tensor * tevo_fill_impl(struct tevo_context * ctx, struct tevo_tensor * a, float c,
                                           bool inplace) {
    TEVO_ASSERT(a->type == TEVO_TYPE_F32 || a->type == TEVO_TYPE_F16);
    TEVO_ASSERT(tevo_is_contiguous(a));

    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);

    tevo_set_op_params_f32(result, 0, c);

    result->op     = TEVO_OP_FILL;
    result->src[0] = a;

    return result;
}

struct tevo_tensor * tevo_fill(struct tevo_context * ctx, struct tevo_tensor * a, float c) {
    return tevo_fill_impl(ctx, a, c, false);
}

struct tevo_tensor * tevo_fill_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float c) {
    return tevo_fill_impl(ctx, a, c, true);
}

// sorting and selection

struct tevo_tensor * tevo_argsort(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_sort_order order) {
    TEVO_ASSERT(a->ne[0] <= INT32_MAX);

    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_I32, 4, a->ne);

    tevo_set_op_params_i32(result, 0, (int32_t) order);

    result->op     = TEVO_OP_ARGSORT;
    result->src[0] = a;

    return result;
}

struct tevo_tensor * tevo_argsort_top_k(struct tevo_context * ctx, struct tevo_tensor * a, int k) {
    TEVO_ASSERT(a->ne[0] >= k);

    struct tevo_tensor * result = tevo_argsort(ctx, a, TEVO_SORT_ORDER_DESC);

    // the first k columns of the descending order
    result = tevo_view_4d(ctx, result, k, result->ne[1], result->ne[2], result->ne[3], result->nb[1], result->nb[2],
                          result->nb[3], 0);

    return result;
}

struct tevo_tensor * tevo_top_k(struct tevo_context * ctx, struct tevo_tensor * a, int k) {
    TEVO_ASSERT(a->ne[0] >= k);

    struct tevo_tensor * result = tevo_new_tensor_4d(ctx, TEVO_TYPE_I32, k, a->ne[1], a->ne[2], a->ne[3]);

    result->op     = TEVO_OP_TOP_K;
    result->src[0] = a;

    return result;
}
