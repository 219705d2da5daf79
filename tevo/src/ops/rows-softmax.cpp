#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Graph constructors that gather and scatter rows by index, build diagonal
// matrices, mask the upper triangle, clamp, and describe the row softmax.

#include "core/impl.h"

// ---------------------------------------------------------------------------
// row gathering and scattering

struct tevo_tensor * tevo_get_rows(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    TEVO_ASSERT(a->ne[2] == b->ne[1]);
    TEVO_ASSERT(a->ne[3] == b->ne[2]);
    TEVO_ASSERT(b->ne[3] == 1);
    TEVO_ASSERT(b->type == TEVO_TYPE_I32);

    // rows of any float or block type come out as F32; integer rows stay integers
    const enum tevo_type type = a->type == TEVO_TYPE_I32 ? TEVO_TYPE_I32 : TEVO_TYPE_F32;

    const int64_t ne[TEVO_MAX_DIMS] = { a->ne[0], b->ne[0], b->ne[1], b->ne[2] };
    struct tevo_tensor * result = tevo_new_tensor(ctx, type, TEVO_MAX_DIMS, ne);

    result->op     = TEVO_OP_GET_ROWS;
    result->src[0] = a;
    result->src[1] = b;
    return result;
}

// c only gives the shape of the gradient
struct tevo_tensor * tevo_get_rows_back(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                        struct tevo_tensor * c) {
    TEVO_ASSERT(tevo_is_matrix(a) && tevo_is_vector(b) && b->type == TEVO_TYPE_I32);
    TEVO_ASSERT(tevo_is_matrix(c) && (a->ne[0] == c->ne[0]));

    struct tevo_tensor * result = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, c->ne[0], c->ne[1]);

    result->op     = TEVO_OP_GET_ROWS_BACK;
    result->src[0] = a;
    result->src[1] = b;
    return result;
}

// The node is a view of the destination a, which is the last source.
struct tevo_tensor * tevo_set_rows(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                   struct tevo_tensor * c) {
    TEVO_ASSERT(a->ne[0] == b->ne[0]);
    TEVO_ASSERT(a->ne[2] == b->ne[2]);
    TEVO_ASSERT(a->ne[3] == b->ne[3]);
    TEVO_ASSERT(b->ne[1] == c->ne[0]);
    // an empty c must not turn these into divisions by zero
    TEVO_ASSERT_AS(tevo_is_multiple(b->ne[2], c->ne[1]), "b->ne[2] % c->ne[1] == 0");
    TEVO_ASSERT_AS(tevo_is_multiple(b->ne[3], c->ne[2]), "b->ne[3] % c->ne[2] == 0");
    TEVO_ASSERT(c->ne[3] == 1);
    TEVO_ASSERT(b->type == TEVO_TYPE_F32 || b->type == TEVO_TYPE_F16);
    TEVO_ASSERT(c->type == TEVO_TYPE_I64 || c->type == TEVO_TYPE_I32);
    TEVO_ASSERT(tevo_is_contiguous_rows(a));
    TEVO_ASSERT(tevo_is_contiguous_rows(b));

    struct tevo_tensor * result = tevo_view_tensor(ctx, a);

    result->op     = TEVO_OP_SET_ROWS;
    result->src[0] = b;
    result->src[1] = c;
    result->src[2] = a;
    return result;
}

// ---------------------------------------------------------------------------
// diagonal, masks and clamp

struct tevo_tensor * tevo_diag(struct tevo_context * ctx, struct tevo_tensor * a) {
    TEVO_ASSERT(a->ne[1] == 1);

    const int64_t ne[TEVO_MAX_DIMS] = { a->ne[0], a->ne[0], a->ne[2], a->ne[3] };
    struct tevo_tensor * result = tevo_new_tensor(ctx, a->type, TEVO_MAX_DIMS, ne);

    result->op     = TEVO_OP_DIAG;
    result->src[0] = a;
    return result;
}

static struct tevo_tensor * tevo_diag_mask_node(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_op op,
                                                int n_past, bool inplace) {
    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);
    tevo_set_op_params_i32(result, 0, n_past);
    result->op     = op;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_diag_mask_inf(struct tevo_context * ctx, struct tevo_tensor * a, int n_past) {
    return tevo_diag_mask_node(ctx, a, TEVO_OP_DIAG_MASK_INF, n_past, false);
}

struct tevo_tensor * tevo_diag_mask_inf_inplace(struct tevo_context * ctx, struct tevo_tensor * a, int n_past) {
    return tevo_diag_mask_node(ctx, a, TEVO_OP_DIAG_MASK_INF, n_past, true);
}

struct tevo_tensor * tevo_diag_mask_zero(struct tevo_context * ctx, struct tevo_tensor * a, int n_past) {
    return tevo_diag_mask_node(ctx, a, TEVO_OP_DIAG_MASK_ZERO, n_past, false);
}

struct tevo_tensor * tevo_diag_mask_zero_inplace(struct tevo_context * ctx, struct tevo_tensor * a, int n_past) {
    return tevo_diag_mask_node(ctx, a, TEVO_OP_DIAG_MASK_ZERO, n_past, true);
}

static struct tevo_tensor * tevo_clamp_node(struct tevo_context * ctx, struct tevo_tensor * a, float min, float max,
                                            bool inplace) {
    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);
    const float params[] = { min, max };
    tevo_set_op_params(result, params, sizeof(params));
    result->op     = TEVO_OP_CLAMP;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_clamp(struct tevo_context * ctx, struct tevo_tensor * a, float min, float max) {
    return tevo_clamp_node(ctx, a, min, max, false);
}

struct tevo_tensor * tevo_clamp_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float min, float max) {
    return tevo_clamp_node(ctx, a, min, max, true);
}

// ---------------------------------------------------------------------------
// softmax

static struct tevo_tensor * tevo_soft_max_impl(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * mask, float scale, float max_bias, bool inplace) {
    TEVO_ASSERT(tevo_is_contiguous(a));

    if (mask) {
        TEVO_ASSERT(mask->type == TEVO_TYPE_F16 || mask->type == TEVO_TYPE_F32);
        TEVO_ASSERT(tevo_is_contiguous(mask));
        TEVO_ASSERT(mask->ne[0] == a->ne[0]);
        TEVO_ASSERT(mask->ne[1] >= a->ne[1]);
        // an empty mask must not turn these into divisions by zero
        TEVO_ASSERT_AS(tevo_is_multiple(a->ne[2], mask->ne[2]), "a->ne[2]%mask->ne[2] == 0");
        TEVO_ASSERT_AS(tevo_is_multiple(a->ne[3], mask->ne[3]), "a->ne[3]%mask->ne[3] == 0");
    }

    // a positional bias slope is applied to the mask, so it needs one
    if (max_bias > 0.0f) {
        TEVO_ASSERT(mask);
    }

    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);
    const float params[] = { scale, max_bias };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_SOFT_MAX;
    result->src[0] = a;
    result->src[1] = mask;
    return result;
}

struct tevo_tensor * tevo_soft_max(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_soft_max_impl(ctx, a, NULL, 1.0f, 0.0f, false);
}

struct tevo_tensor * tevo_soft_max_inplace(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_soft_max_impl(ctx, a, NULL, 1.0f, 0.0f, true);
}

struct tevo_tensor * tevo_soft_max_ext(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * mask,
                                       float scale, float max_bias) {
    return tevo_soft_max_impl(ctx, a, mask, scale, max_bias, false);
}

struct tevo_tensor * tevo_soft_max_ext_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * mask, float scale, float max_bias) {
    return tevo_soft_max_impl(ctx, a, mask, scale, max_bias, true);
}

void tevo_soft_max_add_sinks(struct tevo_tensor * a, struct tevo_tensor * sinks) {
    if (!sinks) {
        a->src[2] = NULL;
        return;
    }

    TEVO_ASSERT(a->op == TEVO_OP_SOFT_MAX);
    TEVO_ASSERT(a->src[2] == NULL);
    TEVO_ASSERT(a->src[0]->ne[2] == sinks->ne[0]);
    TEVO_ASSERT(sinks->type == TEVO_TYPE_F32);

    a->src[2] = sinks;
}

static struct tevo_tensor * tevo_soft_max_back_node(struct tevo_context * ctx, struct tevo_tensor * a,
                                                    struct tevo_tensor * b, float scale, float max_bias,
                                                    bool inplace) {
    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);
    const float params[] = { scale, max_bias };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_SOFT_MAX_BACK;
    result->src[0] = a;
    result->src[1] = b;
    return result;
}

struct tevo_tensor * tevo_soft_max_ext_back(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                            float scale, float max_bias) {
    return tevo_soft_max_back_node(ctx, a, b, scale, max_bias, false);
}

struct tevo_tensor * tevo_soft_max_ext_back_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                                    struct tevo_tensor * b, float scale, float max_bias) {
    return tevo_soft_max_back_node(ctx, a, b, scale, max_bias, true);
}
