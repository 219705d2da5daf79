#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Operators that call user code, the training operators (loss and optimiser
// steps) and the triangular solve.

#include "core/impl.h"

static_assert(sizeof(struct tevo_custom_call) == 6 * sizeof(int32_t), "custom record must take words 0-5");
static_assert(offsetof(struct tevo_custom_call, n_tasks) == 2 * sizeof(int32_t), "n_tasks must be word 2");
static_assert(offsetof(struct tevo_custom_call, user_data) == 4 * sizeof(int32_t), "user_data must be words 4-5");

static void tevo_set_custom_call(struct tevo_tensor * result, const struct tevo_custom_call * call) {
    tevo_set_op_params(result, call, sizeof(*call));
}

static struct tevo_custom_call tevo_custom_call_make(int n_tasks, void * userdata) {
    struct tevo_custom_call call;
    memset(&call, 0, sizeof(call)); // word 3 stays 0
    call.n_tasks   = n_tasks;
    call.user_data = userdata;
    return call;
}

// map_custom1, map_custom2, map_custom3

static struct tevo_tensor * tevo_map_custom1_impl(struct tevo_context * ctx, struct tevo_tensor * a,
                                                  const tevo_map1_fn fun, int n_tasks, void * userdata,
                                                  bool inplace) {
    TEVO_ASSERT(n_tasks == TEVO_N_TASKS_MAX || n_tasks > 0);

    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);

    struct tevo_custom_call call = tevo_custom_call_make(n_tasks, userdata);
    call.fn.map1                 = fun;
    tevo_set_custom_call(result, &call);

    result->op     = TEVO_OP_MAP_CUSTOM1;
    result->src[0] = a;

    return result;
}

struct tevo_tensor * tevo_map_custom1(struct tevo_context * ctx, struct tevo_tensor * a, tevo_map1_fn fun,
                                      int n_tasks, void * userdata) {
    return tevo_map_custom1_impl(ctx, a, fun, n_tasks, userdata, false);
}

struct tevo_tensor * tevo_map_custom1_inplace(struct tevo_context * ctx, struct tevo_tensor * a, tevo_map1_fn fun,
                                              int n_tasks, void * userdata) {
    return tevo_map_custom1_impl(ctx, a, fun, n_tasks, userdata, true);
}

static struct tevo_tensor * tevo_map_custom2_impl(struct tevo_context * ctx, struct tevo_tensor * a,
                                                  struct tevo_tensor * b, const tevo_map2_fn fun, int n_tasks,
                                                  void * userdata, bool inplace) {
    TEVO_ASSERT(n_tasks == TEVO_N_TASKS_MAX || n_tasks > 0);

    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);

    struct tevo_custom_call call = tevo_custom_call_make(n_tasks, userdata);
    call.fn.map2                 = fun;
    tevo_set_custom_call(result, &call);

    result->op     = TEVO_OP_MAP_CUSTOM2;
    result->src[0] = a;
    result->src[1] = b;

    return result;
}

struct tevo_tensor * tevo_map_custom2(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                      tevo_map2_fn fun, int n_tasks, void * userdata) {
    return tevo_map_custom2_impl(ctx, a, b, fun, n_tasks, userdata, false);
}

struct tevo_tensor * tevo_map_custom2_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                              struct tevo_tensor * b, tevo_map2_fn fun, int n_tasks,
                                              void * userdata) {
    return tevo_map_custom2_impl(ctx, a, b, fun, n_tasks, userdata, true);
}

static struct tevo_tensor * tevo_map_custom3_impl(struct tevo_context * ctx, struct tevo_tensor * a,
                                                  struct tevo_tensor * b, struct tevo_tensor * c,
                                                  const tevo_map3_fn fun, int n_tasks, void * userdata,
                                                  bool inplace) {
    TEVO_ASSERT(n_tasks == TEVO_N_TASKS_MAX || n_tasks > 0);

    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);

    struct tevo_custom_call call = tevo_custom_call_make(n_tasks, userdata);
    call.fn.map3                 = fun;
    tevo_set_custom_call(result, &call);

    result->op     = TEVO_OP_MAP_CUSTOM3;
    result->src[0] = a;
    result->src[1] = b;
    result->src[2] = c;

    return result;
}

struct tevo_tensor * tevo_map_custom3(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                      struct tevo_tensor * c, tevo_map3_fn fun, int n_tasks, void * userdata) {
    return tevo_map_custom3_impl(ctx, a, b, c, fun, n_tasks, userdata, false);
}

struct tevo_tensor * tevo_map_custom3_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                              struct tevo_tensor * b, struct tevo_tensor * c, tevo_map3_fn fun,
                                              int n_tasks, void * userdata) {
    return tevo_map_custom3_impl(ctx, a, b, c, fun, n_tasks, userdata, true);
}

// custom: the function reads its inputs from the node's sources

struct tevo_tensor * tevo_custom_4d(struct tevo_context * ctx, enum tevo_type type, int64_t ne0, int64_t ne1,
                                    int64_t ne2, int64_t ne3, struct tevo_tensor ** args, int n_args,
                                    tevo_custom_fn fun, int n_tasks, void * userdata) {
    TEVO_ASSERT(n_args < TEVO_MAX_SRC);
    // a task count of 0 would leave the node to no thread at all
    TEVO_ASSERT(n_tasks == TEVO_N_TASKS_MAX || n_tasks > 0);

    struct tevo_tensor * result = tevo_new_tensor_4d(ctx, type, ne0, ne1, ne2, ne3);

    struct tevo_custom_call call = tevo_custom_call_make(n_tasks, userdata);
    call.fn.custom               = fun;
    tevo_set_custom_call(result, &call);

    result->op = TEVO_OP_CUSTOM;
    for (int i = 0; i < n_args; i++) {
        result->src[i] = args[i];
    }

    return result;
}

struct tevo_tensor * tevo_custom_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                         struct tevo_tensor ** args, int n_args, tevo_custom_fn fun, int n_tasks,
                                         void * userdata) {
    TEVO_ASSERT(n_args < TEVO_MAX_SRC - 1);
    // a task count of 0 would leave the node to no thread at all
    TEVO_ASSERT(n_tasks == TEVO_N_TASKS_MAX || n_tasks > 0);

    struct tevo_tensor * result = tevo_view_tensor(ctx, a);

    struct tevo_custom_call call = tevo_custom_call_make(n_tasks, userdata);
    call.fn.custom               = fun;
    tevo_set_custom_call(result, &call);

    result->op     = TEVO_OP_CUSTOM;
    result->src[0] = a;
    for (int i = 0; i < n_args; i++) {
        result->src[i + 1] = args[i];
    }

    return result;
}

// training

struct tevo_tensor * tevo_cross_entropy_loss(struct tevo_context * ctx, struct tevo_tensor * a,
                                             struct tevo_tensor * b) {
    TEVO_ASSERT(tevo_are_same_shape(a, b));

    struct tevo_tensor * result = tevo_new_tensor_1d(ctx, a->type, 1);

    result->op     = TEVO_OP_CROSS_ENTROPY_LOSS;
    result->src[0] = a;
    result->src[1] = b;

    return result;
}

// a: gradient of the loss (a scalar), b: logits, c: labels
struct tevo_tensor * tevo_cross_entropy_loss_back(struct tevo_context * ctx, struct tevo_tensor * a,
                                                  struct tevo_tensor * b, struct tevo_tensor * c) {
    TEVO_ASSERT(tevo_is_scalar(a));
    TEVO_ASSERT(tevo_are_same_shape(b, c));

    struct tevo_tensor * result = tevo_dup_tensor(ctx, b);

    result->op     = TEVO_OP_CROSS_ENTROPY_LOSS_BACK;
    result->src[0] = a;
    result->src[1] = b;
    result->src[2] = c;

    return result;
}

// the optimiser steps update the parameter tensor in place
struct tevo_tensor * tevo_opt_step_adamw(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * grad,
                                         struct tevo_tensor * m, struct tevo_tensor * v,
                                         struct tevo_tensor * adamw_params) {
    TEVO_ASSERT(a->flags & TEVO_TENSOR_FLAG_PARAM);
    TEVO_ASSERT(grad != NULL && "no gradient: the parameter does not feed the loss");
    TEVO_ASSERT(tevo_are_same_shape(a, grad));
    TEVO_ASSERT(tevo_are_same_shape(a, m));
    TEVO_ASSERT(tevo_are_same_shape(a, v));
    TEVO_ASSERT(adamw_params->type == TEVO_TYPE_F32);
    TEVO_ASSERT(tevo_nelements(adamw_params) == 7);

    struct tevo_tensor * result = tevo_view_tensor(ctx, a);

    result->op     = TEVO_OP_OPT_STEP_ADAMW;
    result->src[0] = a;
    result->src[1] = grad;
    result->src[2] = m;
    result->src[3] = v;
    result->src[4] = adamw_params;

    return result;
}

struct tevo_tensor * tevo_opt_step_sgd(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * grad,
                                       struct tevo_tensor * params) {
    TEVO_ASSERT(a->flags & TEVO_TENSOR_FLAG_PARAM);
    TEVO_ASSERT(grad != NULL && "no gradient: the parameter does not feed the loss");
    TEVO_ASSERT(tevo_are_same_shape(a, grad));
    TEVO_ASSERT(params->type == TEVO_TYPE_F32);
    TEVO_ASSERT(tevo_nelements(params) == 2);

    struct tevo_tensor * result = tevo_view_tensor(ctx, a);

    result->op     = TEVO_OP_OPT_STEP_SGD;
    result->src[0] = a;
    result->src[1] = grad;
    result->src[2] = params;

    return result;
}

// triangular solve

// a: [n, n, ...] lower-triangular, b: [k, n, ...]; the result X has b's extents
struct tevo_tensor * tevo_solve_tri(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                    bool left, bool lower, bool uni) {
    TEVO_ASSERT(a->type == TEVO_TYPE_F32);
    TEVO_ASSERT(b->type == TEVO_TYPE_F32);

    TEVO_ASSERT(a->ne[0] == a->ne[1]);
    TEVO_ASSERT(a->ne[1] == b->ne[1]);
    TEVO_ASSERT(a->ne[2] == b->ne[2]);
    TEVO_ASSERT(a->ne[3] == b->ne[3]);

    TEVO_ASSERT(tevo_is_contiguous(a));
    TEVO_ASSERT(tevo_is_contiguous(b));

    // the only case the kernel solves
    TEVO_ASSERT(lower && left && !uni);

    struct tevo_tensor * result = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, b->ne[0], b->ne[1], b->ne[2], b->ne[3]);

    result->op     = TEVO_OP_SOLVE_TRI;
    result->src[0] = a;
    result->src[1] = b;

    return result;
}
