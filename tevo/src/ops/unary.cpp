#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Graph constructors of the activation and rounding functions (one operator,
// TEVO_OP_UNARY, with the function in word 0), of the leaky rectifier and the
// SiLU gradient, and of the gated linear units (TEVO_OP_GLU).

#include "core/impl.h"

// ---------------------------------------------------------------------------
// unary family

static struct tevo_tensor * tevo_unary_impl(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_unary_op op,
                                            bool inplace) {
    TEVO_ASSERT(tevo_is_contiguous_rows(a));

    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);
    tevo_set_op_params_i32(result, 0, (int32_t) op);
    result->op     = TEVO_OP_UNARY;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_unary(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_unary_op op) {
    return tevo_unary_impl(ctx, a, op, false);
}

struct tevo_tensor * tevo_unary_inplace(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_unary_op op) {
    return tevo_unary_impl(ctx, a, op, true);
}

#define TEVO_UNARY_PAIR(name, OP)                                                                \
    struct tevo_tensor * tevo_##name(struct tevo_context * ctx, struct tevo_tensor * a) {         \
        return tevo_unary_impl(ctx, a, OP, false);                                                \
    }                                                                                             \
    struct tevo_tensor * tevo_##name##_inplace(struct tevo_context * ctx, struct tevo_tensor * a) { \
        return tevo_unary_impl(ctx, a, OP, true);                                                 \
    }

TEVO_UNARY_PAIR(abs,        TEVO_UNARY_OP_ABS)
TEVO_UNARY_PAIR(sgn,        TEVO_UNARY_OP_SGN)
TEVO_UNARY_PAIR(neg,        TEVO_UNARY_OP_NEG)
TEVO_UNARY_PAIR(step,       TEVO_UNARY_OP_STEP)
TEVO_UNARY_PAIR(tanh,       TEVO_UNARY_OP_TANH)
TEVO_UNARY_PAIR(elu,        TEVO_UNARY_OP_ELU)
TEVO_UNARY_PAIR(relu,       TEVO_UNARY_OP_RELU)
TEVO_UNARY_PAIR(sigmoid,    TEVO_UNARY_OP_SIGMOID)
TEVO_UNARY_PAIR(gelu,       TEVO_UNARY_OP_GELU)
TEVO_UNARY_PAIR(gelu_quick, TEVO_UNARY_OP_GELU_QUICK)
TEVO_UNARY_PAIR(silu,       TEVO_UNARY_OP_SILU)
TEVO_UNARY_PAIR(exp,        TEVO_UNARY_OP_EXP)
TEVO_UNARY_PAIR(expm1,      TEVO_UNARY_OP_EXPM1)
TEVO_UNARY_PAIR(softplus,   TEVO_UNARY_OP_SOFTPLUS)
TEVO_UNARY_PAIR(gelu_erf,   TEVO_UNARY_OP_GELU_ERF)
TEVO_UNARY_PAIR(floor,      TEVO_UNARY_OP_FLOOR)
TEVO_UNARY_PAIR(ceil,       TEVO_UNARY_OP_CEIL)
TEVO_UNARY_PAIR(round,      TEVO_UNARY_OP_ROUND)
TEVO_UNARY_PAIR(trunc,      TEVO_UNARY_OP_TRUNC)

#undef TEVO_UNARY_PAIR

struct tevo_tensor * tevo_hardswish(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_unary_impl(ctx, a, TEVO_UNARY_OP_HARDSWISH, false);
}

struct tevo_tensor * tevo_hardsigmoid(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_unary_impl(ctx, a, TEVO_UNARY_OP_HARDSIGMOID, false);
}

// large inputs pass through: expf would overflow long before log matters
static float tevo_softplus_f32(float x) {
    return x > 20.0f ? x : logf(expf(x) + 1.0f);
}

// The kernel wants the derived coefficients, so they are computed once here.
// No row check: the kernel walks this one element by element.
struct tevo_tensor * tevo_xielu(struct tevo_context * ctx, struct tevo_tensor * a, float alpha_n, float alpha_p,
                                float beta, float eps) {
    struct tevo_tensor * result = tevo_dup_tensor(ctx, a);

    tevo_set_op_params_i32(result, 0, (int32_t) TEVO_UNARY_OP_XIELU);
    tevo_set_op_params_f32(result, 1, beta + tevo_softplus_f32(alpha_n));
    tevo_set_op_params_f32(result, 2, tevo_softplus_f32(alpha_p));
    tevo_set_op_params_f32(result, 3, beta);
    tevo_set_op_params_f32(result, 4, eps);

    result->op     = TEVO_OP_UNARY;
    result->src[0] = a;
    return result;
}

// ---------------------------------------------------------------------------
// operators of their own

struct tevo_tensor * tevo_leaky_relu(struct tevo_context * ctx, struct tevo_tensor * a, float negative_slope,
                                     bool inplace) {
    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);
    tevo_set_op_params_f32(result, 0, negative_slope);
    result->op     = TEVO_OP_LEAKY_RELU;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_silu_back(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    struct tevo_tensor * result = tevo_dup_tensor(ctx, a);
    result->op     = TEVO_OP_SILU_BACK;
    result->src[0] = a;
    result->src[1] = b;
    return result;
}

// ---------------------------------------------------------------------------
// gated linear units

static struct tevo_tensor * tevo_glu_impl(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                          enum tevo_glu_op op, bool swapped) {
    TEVO_ASSERT(tevo_is_contiguous_1(a));

    int64_t ne[TEVO_MAX_DIMS];
    if (b) {
        TEVO_ASSERT(tevo_is_contiguous_1(b));
        TEVO_ASSERT(tevo_are_same_shape(a, b));
        TEVO_ASSERT(a->type == b->type);
        for (int i = 0; i < TEVO_MAX_DIMS; ++i) {
            ne[i] = a->ne[i];
        }
    } else {
        // activation and gate are the two halves of each row
        ne[0] = a->ne[0] / 2;
        ne[1] = a->ne[1];
        ne[2] = a->ne[2];
        ne[3] = a->ne[3];
    }

    struct tevo_tensor * result = tevo_new_tensor(ctx, a->type, TEVO_MAX_DIMS, ne);
    tevo_set_op_params_i32(result, 0, (int32_t) op);
    tevo_set_op_params_i32(result, 1, swapped ? 1 : 0);

    result->op     = TEVO_OP_GLU;
    result->src[0] = a;
    result->src[1] = b;
    return result;
}

struct tevo_tensor * tevo_glu(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_glu_op op, bool swapped) {
    return tevo_glu_impl(ctx, a, NULL, op, swapped);
}

struct tevo_tensor * tevo_glu_split(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                    enum tevo_glu_op op) {
    return tevo_glu_impl(ctx, a, b, op, false);
}

#define TEVO_GLU_FAMILY(name, OP)                                                                        \
    struct tevo_tensor * tevo_##name(struct tevo_context * ctx, struct tevo_tensor * a) {                 \
        return tevo_glu_impl(ctx, a, NULL, OP, false);                                                    \
    }                                                                                                     \
    struct tevo_tensor * tevo_##name##_swapped(struct tevo_context * ctx, struct tevo_tensor * a) {       \
        return tevo_glu_impl(ctx, a, NULL, OP, true);                                                     \
    }                                                                                                     \
    struct tevo_tensor * tevo_##name##_split(struct tevo_context * ctx, struct tevo_tensor * a,           \
                                             struct tevo_tensor * b) {                                    \
        return tevo_glu_impl(ctx, a, b, OP, false);                                                       \
    }

TEVO_GLU_FAMILY(reglu,       TEVO_GLU_OP_REGLU)
TEVO_GLU_FAMILY(geglu,       TEVO_GLU_OP_GEGLU)
TEVO_GLU_FAMILY(swiglu,      TEVO_GLU_OP_SWIGLU)
TEVO_GLU_FAMILY(geglu_erf,   TEVO_GLU_OP_GEGLU_ERF)
TEVO_GLU_FAMILY(geglu_quick, TEVO_GLU_OP_GEGLU_QUICK)

#undef TEVO_GLU_FAMILY

struct tevo_tensor * tevo_swiglu_oai(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                     float alpha, float limit) {
    struct tevo_tensor * result = tevo_glu_impl(ctx, a, b, TEVO_GLU_OP_SWIGLU_OAI, false);
    tevo_set_op_params_f32(result, 2, alpha);
    tevo_set_op_params_f32(result, 3, limit);
    return result;
}

// the limit sits where SWIGLU_OAI keeps its own, so both kernels read word 3
struct tevo_tensor * tevo_swiglu_clamp(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                       float limit) {
    struct tevo_tensor * result = tevo_glu_impl(ctx, a, b, TEVO_GLU_OP_SWIGLU_CLAMP, false);
    tevo_set_op_params_f32(result, 3, limit);
    return result;
}
