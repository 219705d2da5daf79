#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Graph constructors of element-wise arithmetic, reductions, repetition and
// concatenation. They only describe the node; nothing here touches data.

#include "core/impl.h"

static struct tevo_tensor * tevo_new_like(struct tevo_context * ctx, struct tevo_tensor * a, bool inplace) {
    return inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);
}

static struct tevo_tensor * tevo_binary_node(struct tevo_tensor * result, enum tevo_op op, struct tevo_tensor * a,
                                             struct tevo_tensor * b) {
    result->op     = op;
    result->src[0] = a;
    result->src[1] = b;
    return result;
}

// ---------------------------------------------------------------------------
// broadcasting two-operand operators

static struct tevo_tensor * tevo_add_impl(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                          bool inplace) {
    TEVO_ASSERT(tevo_can_repeat(b, a));
    return tevo_binary_node(tevo_new_like(ctx, a, inplace), TEVO_OP_ADD, a, b);
}

static struct tevo_tensor * tevo_sub_impl(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                          bool inplace) {
    TEVO_ASSERT(tevo_can_repeat(b, a));
    return tevo_binary_node(tevo_new_like(ctx, a, inplace), TEVO_OP_SUB, a, b);
}

static struct tevo_tensor * tevo_mul_impl(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                          bool inplace) {
    TEVO_ASSERT(tevo_can_repeat(b, a));
    return tevo_binary_node(tevo_new_like(ctx, a, inplace), TEVO_OP_MUL, a, b);
}

static struct tevo_tensor * tevo_div_impl(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                          bool inplace) {
    TEVO_ASSERT(tevo_can_repeat(b, a));
    return tevo_binary_node(tevo_new_like(ctx, a, inplace), TEVO_OP_DIV, a, b);
}

struct tevo_tensor * tevo_add(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    return tevo_add_impl(ctx, a, b, false);
}

struct tevo_tensor * tevo_add_inplace(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    return tevo_add_impl(ctx, a, b, true);
}

struct tevo_tensor * tevo_sub(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    return tevo_sub_impl(ctx, a, b, false);
}

struct tevo_tensor * tevo_sub_inplace(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    return tevo_sub_impl(ctx, a, b, true);
}

struct tevo_tensor * tevo_mul(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    return tevo_mul_impl(ctx, a, b, false);
}

struct tevo_tensor * tevo_mul_inplace(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    return tevo_mul_impl(ctx, a, b, true);
}

struct tevo_tensor * tevo_div(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    return tevo_div_impl(ctx, a, b, false);
}

struct tevo_tensor * tevo_div_inplace(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    return tevo_div_impl(ctx, a, b, true);
}

// ---------------------------------------------------------------------------
// other sums

struct tevo_tensor * tevo_add_cast(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                   enum tevo_type type) {
    TEVO_ASSERT(tevo_can_repeat_rows(b, a));
    TEVO_ASSERT(tevo_is_quantized(a->type) || a->type == TEVO_TYPE_F16 || a->type == TEVO_TYPE_BF16);

    struct tevo_tensor * result = tevo_new_tensor(ctx, type, TEVO_MAX_DIMS, a->ne);
    return tevo_binary_node(result, TEVO_OP_ADD, a, b);
}

struct tevo_tensor * tevo_add_id(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                 struct tevo_tensor * ids) {
    TEVO_ASSERT(a->ne[0] == b->ne[0]);
    TEVO_ASSERT(a->ne[1] == ids->ne[0]);
    TEVO_ASSERT(a->ne[2] == ids->ne[1]);
    TEVO_ASSERT(ids->type == TEVO_TYPE_I32);

    struct tevo_tensor * result = tevo_binary_node(tevo_dup_tensor(ctx, a), TEVO_OP_ADD_ID, a, b);
    result->src[2] = ids;
    return result;
}

static struct tevo_tensor * tevo_add1_impl(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                           bool inplace) {
    TEVO_ASSERT(tevo_is_scalar(b));
    TEVO_ASSERT(tevo_is_padded_1d(a));
    return tevo_binary_node(tevo_new_like(ctx, a, inplace), TEVO_OP_ADD1, a, b);
}

struct tevo_tensor * tevo_add1(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    return tevo_add1_impl(ctx, a, b, false);
}

struct tevo_tensor * tevo_add1_inplace(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    return tevo_add1_impl(ctx, a, b, true);
}

static struct tevo_tensor * tevo_acc_impl(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                          size_t nb1, size_t nb2, size_t nb3, size_t offset, bool inplace) {
    TEVO_ASSERT(tevo_nelements(b) <= tevo_nelements(a));
    TEVO_ASSERT(tevo_is_contiguous(a));
    TEVO_ASSERT(a->type == TEVO_TYPE_F32);
    TEVO_ASSERT(b->type == TEVO_TYPE_F32);
    // The kernel reads these back from 32-bit words: a value that does not
    // fit would silently address the wrong bytes.
    TEVO_ASSERT(nb1 <= INT32_MAX);
    TEVO_ASSERT(nb2 <= INT32_MAX);
    TEVO_ASSERT(nb3 <= INT32_MAX);
    TEVO_ASSERT(offset <= INT32_MAX);
    TEVO_ASSERT(tevo_window_fits(a, b, nb1, nb2, nb3, offset));

    struct tevo_tensor * result = tevo_new_like(ctx, a, inplace);

    const int32_t params[] = { (int32_t) nb1, (int32_t) nb2, (int32_t) nb3, (int32_t) offset, inplace ? 1 : 0 };
    tevo_set_op_params(result, params, sizeof(params));

    return tevo_binary_node(result, TEVO_OP_ACC, a, b);
}

struct tevo_tensor * tevo_acc(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b, size_t nb1,
                              size_t nb2, size_t nb3, size_t offset) {
    return tevo_acc_impl(ctx, a, b, nb1, nb2, nb3, offset, false);
}

struct tevo_tensor * tevo_acc_inplace(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                      size_t nb1, size_t nb2, size_t nb3, size_t offset) {
    return tevo_acc_impl(ctx, a, b, nb1, nb2, nb3, offset, true);
}

// ---------------------------------------------------------------------------
// element-wise functions with operators of their own

static struct tevo_tensor * tevo_elementwise(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_op op,
                                             bool inplace) {
    struct tevo_tensor * result = tevo_new_like(ctx, a, inplace);
    result->op     = op;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_sqr(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_elementwise(ctx, a, TEVO_OP_SQR, false);
}

struct tevo_tensor * tevo_sqr_inplace(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_elementwise(ctx, a, TEVO_OP_SQR, true);
}

struct tevo_tensor * tevo_sqrt(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_elementwise(ctx, a, TEVO_OP_SQRT, false);
}

struct tevo_tensor * tevo_sqrt_inplace(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_elementwise(ctx, a, TEVO_OP_SQRT, true);
}

struct tevo_tensor * tevo_log(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_elementwise(ctx, a, TEVO_OP_LOG, false);
}

struct tevo_tensor * tevo_log_inplace(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_elementwise(ctx, a, TEVO_OP_LOG, true);
}

struct tevo_tensor * tevo_sin(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_elementwise(ctx, a, TEVO_OP_SIN, false);
}

struct tevo_tensor * tevo_sin_inplace(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_elementwise(ctx, a, TEVO_OP_SIN, true);
}

struct tevo_tensor * tevo_cos(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_elementwise(ctx, a, TEVO_OP_COS, false);
}

struct tevo_tensor * tevo_cos_inplace(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_elementwise(ctx, a, TEVO_OP_COS, true);
}

// ---------------------------------------------------------------------------
// reductions

static struct tevo_tensor * tevo_unary_node(struct tevo_tensor * result, enum tevo_op op, struct tevo_tensor * a) {
    result->op     = op;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_sum(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_unary_node(tevo_new_tensor_1d(ctx, a->type, 1), TEVO_OP_SUM, a);
}

struct tevo_tensor * tevo_sum_rows(struct tevo_context * ctx, struct tevo_tensor * a) {
    const int64_t ne[TEVO_MAX_DIMS] = { 1, a->ne[1], a->ne[2], a->ne[3] };
    return tevo_unary_node(tevo_new_tensor(ctx, a->type, TEVO_MAX_DIMS, ne), TEVO_OP_SUM_ROWS, a);
}

struct tevo_tensor * tevo_mean(struct tevo_context * ctx, struct tevo_tensor * a) {
    const int64_t ne[TEVO_MAX_DIMS] = { 1, a->ne[1], a->ne[2], a->ne[3] };
    return tevo_unary_node(tevo_new_tensor(ctx, TEVO_TYPE_F32, TEVO_MAX_DIMS, ne), TEVO_OP_MEAN, a);
}

struct tevo_tensor * tevo_cumsum(struct tevo_context * ctx, struct tevo_tensor * a) {
    TEVO_ASSERT(a->type == TEVO_TYPE_F32);
    return tevo_unary_node(tevo_new_tensor(ctx, TEVO_TYPE_F32, TEVO_MAX_DIMS, a->ne), TEVO_OP_CUMSUM, a);
}

struct tevo_tensor * tevo_argmax(struct tevo_context * ctx, struct tevo_tensor * a) {
    TEVO_ASSERT(tevo_is_matrix(a));
    TEVO_ASSERT(a->ne[0] <= INT32_MAX);
    return tevo_unary_node(tevo_new_tensor_1d(ctx, TEVO_TYPE_I32, a->ne[1]), TEVO_OP_ARGMAX, a);
}

struct tevo_tensor * tevo_count_equal(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    TEVO_ASSERT(tevo_are_same_shape(a, b));
    return tevo_binary_node(tevo_new_tensor_1d(ctx, TEVO_TYPE_I64, 1), TEVO_OP_COUNT_EQUAL, a, b);
}

// ---------------------------------------------------------------------------
// repetition and concatenation

// b only gives the target shape; it is not a source of the node
struct tevo_tensor * tevo_repeat(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    TEVO_ASSERT(tevo_can_repeat(a, b));
    return tevo_unary_node(tevo_new_tensor(ctx, a->type, TEVO_MAX_DIMS, b->ne), TEVO_OP_REPEAT, a);
}

struct tevo_tensor * tevo_repeat_4d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1,
                                    int64_t ne2, int64_t ne3) {
    const bool can_repeat = tevo_is_empty(a) || ((ne0 % a->ne[0] == 0) && (ne1 % a->ne[1] == 0) &&
                                                 (ne2 % a->ne[2] == 0) && (ne3 % a->ne[3] == 0));
    TEVO_ASSERT(can_repeat);

    const int64_t ne[TEVO_MAX_DIMS] = { ne0, ne1, ne2, ne3 };
    return tevo_unary_node(tevo_new_tensor(ctx, a->type, TEVO_MAX_DIMS, ne), TEVO_OP_REPEAT, a);
}

struct tevo_tensor * tevo_repeat_back(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    TEVO_ASSERT(tevo_can_repeat(b, a));
    return tevo_unary_node(tevo_new_tensor(ctx, a->type, TEVO_MAX_DIMS, b->ne), TEVO_OP_REPEAT_BACK, a);
}

struct tevo_tensor * tevo_concat(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b, int dim) {
    TEVO_ASSERT(dim >= 0 && dim < TEVO_MAX_DIMS);
    TEVO_ASSERT(a->type == b->type);

    int64_t ne[TEVO_MAX_DIMS];
    for (int d = 0; d < TEVO_MAX_DIMS; ++d) {
        if (d == dim) {
            ne[d] = a->ne[d] + b->ne[d];
            continue;
        }
        TEVO_ASSERT(a->ne[d] == b->ne[d]);
        ne[d] = a->ne[d];
    }

    struct tevo_tensor * result = tevo_new_tensor(ctx, a->type, TEVO_MAX_DIMS, ne);
    tevo_set_op_params_i32(result, 0, dim);
    return tevo_binary_node(result, TEVO_OP_CONCAT, a, b);
}
