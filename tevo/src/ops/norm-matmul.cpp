#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Graph constructors of the row normalisations, the matrix products and
// scaling, and the annotations that set precision and hint words on an
// existing matrix-product node.

#include "core/impl.h"

// ---------------------------------------------------------------------------
// normalisations

static struct tevo_tensor * tevo_norm_node(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_op op,
                                           float eps, bool inplace) {
    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);
    tevo_set_op_params_f32(result, 0, eps);
    result->op     = op;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_norm(struct tevo_context * ctx, struct tevo_tensor * a, float eps) {
    return tevo_norm_node(ctx, a, TEVO_OP_NORM, eps, false);
}

struct tevo_tensor * tevo_norm_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float eps) {
    return tevo_norm_node(ctx, a, TEVO_OP_NORM, eps, true);
}

struct tevo_tensor * tevo_rms_norm(struct tevo_context * ctx, struct tevo_tensor * a, float eps) {
    return tevo_norm_node(ctx, a, TEVO_OP_RMS_NORM, eps, false);
}

struct tevo_tensor * tevo_rms_norm_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float eps) {
    return tevo_norm_node(ctx, a, TEVO_OP_RMS_NORM, eps, true);
}

struct tevo_tensor * tevo_rms_norm_back(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                        float eps) {
    struct tevo_tensor * result = tevo_norm_node(ctx, a, TEVO_OP_RMS_NORM_BACK, eps, false);
    result->src[1] = b;
    return result;
}

struct tevo_tensor * tevo_l2_norm(struct tevo_context * ctx, struct tevo_tensor * a, float eps) {
    return tevo_norm_node(ctx, a, TEVO_OP_L2_NORM, eps, false);
}

struct tevo_tensor * tevo_l2_norm_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float eps) {
    return tevo_norm_node(ctx, a, TEVO_OP_L2_NORM, eps, true);
}

static struct tevo_tensor * tevo_group_norm_node(struct tevo_context * ctx, struct tevo_tensor * a, int n_groups,
                                                 float eps, bool inplace) {
    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);
    tevo_set_op_params_i32(result, 0, n_groups);
    tevo_set_op_params_f32(result, 1, eps);
    result->op     = TEVO_OP_GROUP_NORM;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_group_norm(struct tevo_context * ctx, struct tevo_tensor * a, int n_groups, float eps) {
    return tevo_group_norm_node(ctx, a, n_groups, eps, false);
}

struct tevo_tensor * tevo_group_norm_inplace(struct tevo_context * ctx, struct tevo_tensor * a, int n_groups,
                                             float eps) {
    return tevo_group_norm_node(ctx, a, n_groups, eps, true);
}

// ---------------------------------------------------------------------------
// matrix products: always a fresh F32 result

struct tevo_tensor * tevo_mul_mat(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    TEVO_ASSERT(tevo_can_mul_mat(a, b));
    TEVO_ASSERT(!tevo_is_transposed(a));

    const int64_t ne[TEVO_MAX_DIMS] = { a->ne[1], b->ne[1], b->ne[2], b->ne[3] };
    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, TEVO_MAX_DIMS, ne);

    result->op     = TEVO_OP_MUL_MAT;
    result->src[0] = a;
    result->src[1] = b;
    return result;
}

struct tevo_tensor * tevo_mul_mat_id(struct tevo_context * ctx, struct tevo_tensor * as, struct tevo_tensor * b,
                                     struct tevo_tensor * ids) {
    TEVO_ASSERT(!tevo_is_transposed(as));
    TEVO_ASSERT(ids->type == TEVO_TYPE_I32);
    TEVO_ASSERT(as->ne[3] == 1);
    TEVO_ASSERT(b->ne[3] == 1);
    TEVO_ASSERT(ids->ne[2] == 1 && ids->ne[3] == 1);
    TEVO_ASSERT(ids->ne[1] == b->ne[2]);
    TEVO_ASSERT(as->ne[0] == b->ne[0]);
    // an empty b must not turn this into a division by zero
    TEVO_ASSERT_AS(tevo_is_multiple(ids->ne[0], b->ne[1]), "ids->ne[0] % b->ne[1] == 0");

    const int64_t ne[TEVO_MAX_DIMS] = { as->ne[1], ids->ne[0], ids->ne[1], 1 };
    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, TEVO_MAX_DIMS, ne);

    result->op     = TEVO_OP_MUL_MAT_ID;
    result->src[0] = as;
    result->src[1] = b;
    result->src[2] = ids;
    return result;
}

struct tevo_tensor * tevo_out_prod(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    TEVO_ASSERT(tevo_can_out_prod(a, b));
    TEVO_ASSERT(!tevo_is_transposed(a));
    // only float rows are shared across batches; half and block rows are
    // decoded batch by batch
    TEVO_ASSERT(a->type == TEVO_TYPE_F32 || (a->ne[2] == b->ne[2] && a->ne[3] == b->ne[3]));

    const int64_t ne[TEVO_MAX_DIMS] = { a->ne[0], b->ne[0], b->ne[2], b->ne[3] };
    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, TEVO_MAX_DIMS, ne);

    result->op     = TEVO_OP_OUT_PROD;
    result->src[0] = a;
    result->src[1] = b;
    return result;
}

// ---------------------------------------------------------------------------
// annotations of existing nodes

void tevo_mul_mat_set_prec(struct tevo_tensor * a, int32_t prec) {
    TEVO_ASSERT(a->op == TEVO_OP_MUL_MAT);
    tevo_set_op_params_i32(a, 0, prec);
}

void tevo_mul_mat_set_hint(struct tevo_tensor * a, int32_t hint) {
    TEVO_ASSERT(a->op == TEVO_OP_MUL_MAT);
    if (hint == 1) {
        // the CPU writes the transform of each input row into the product's
        // row: it must be as long (the first source n x n)
        TEVO_ASSERT(a->ne[0] == a->src[1]->ne[0]);
    }
    tevo_set_op_params_i32(a, 1, hint);
}

bool tevo_prec_set_acc(struct tevo_tensor * t, int32_t acc) {
    switch (t->op) {
        case TEVO_OP_MUL_MAT:
        case TEVO_OP_MUL_MAT_ID:
            tevo_set_op_params_i32(t, 0, acc);
            return true;
        case TEVO_OP_FLASH_ATTN_EXT:
            tevo_set_op_params_i32(t, 3, acc);
            return true;
        default:
            return false;
    }
}

bool tevo_prec_set_src(struct tevo_tensor * t, int32_t prec, int idx) {
    TEVO_ASSERT(idx >= 0 && idx < TEVO_MAX_SRC);
    if ((t->op == TEVO_OP_MUL_MAT || t->op == TEVO_OP_MUL_MAT_ID) && idx == 1) {
        tevo_set_op_params_i32(t, 3, prec);
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// scaling: a*s + b with a numeric bias

static struct tevo_tensor * tevo_scale_impl(struct tevo_context * ctx, struct tevo_tensor * a, float s, float b,
                                            bool inplace) {
    TEVO_ASSERT(tevo_is_padded_1d(a));

    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);
    const float params[] = { s, b };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_SCALE;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_scale(struct tevo_context * ctx, struct tevo_tensor * a, float s) {
    return tevo_scale_impl(ctx, a, s, 0.0f, false);
}

struct tevo_tensor * tevo_scale_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float s) {
    return tevo_scale_impl(ctx, a, s, 0.0f, true);
}

struct tevo_tensor * tevo_scale_bias(struct tevo_context * ctx, struct tevo_tensor * a, float s, float b) {
    return tevo_scale_impl(ctx, a, s, b, false);
}

struct tevo_tensor * tevo_scale_bias_inplace(struct tevo_context * ctx, struct tevo_tensor * a, float s, float b) {
    return tevo_scale_impl(ctx, a, s, b, true);
}
