#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Printable names and symbols of the operators and their sub-operators.

#include "core/impl.h"

static const char * TEVO_OP_NAME[TEVO_OP_COUNT] = {
    "NONE", "DUP", "ADD", "ADD_ID", "ADD1", "ACC", "SUB", "MUL", "DIV", "SQR", "SQRT", "LOG", "SIN", "COS", "SUM",
    "SUM_ROWS", "CUMSUM", "MEAN", "ARGMAX", "COUNT_EQUAL", "REPEAT", "REPEAT_BACK", "CONCAT", "SILU_BACK", "NORM",
    "RMS_NORM", "RMS_NORM_BACK", "GROUP_NORM", "L2_NORM", "MUL_MAT", "MUL_MAT_ID", "OUT_PROD", "SCALE", "SET", "CPY",
    "CONT", "RESHAPE", "VIEW", "PERMUTE", "TRANSPOSE", "GET_ROWS", "GET_ROWS_BACK", "SET_ROWS", "DIAG",
    "DIAG_MASK_INF", "DIAG_MASK_ZERO", "SOFT_MAX", "SOFT_MAX_BACK", "ROPE", "ROPE_BACK", "CLAMP",
    "CONV_TRANSPOSE_1D", "IM2COL", "IM2COL_BACK", "IM2COL_3D", "COL2IM_1D", "CONV_2D", "CONV_3D", "CONV_2D_DW",
    "CONV_TRANSPOSE_2D", "POOL_1D", "POOL_2D", "POOL_2D_BACK", "UPSCALE", "PAD", "PAD_REFLECT_1D", "ROLL", "ARANGE",
    "TIMESTEP_EMBEDDING", "ARGSORT", "TOP_K", "LEAKY_RELU", "TRI", "FILL", "FLASH_ATTN_EXT", "FLASH_ATTN_BACK",
    "SSM_CONV", "SSM_SCAN", "WIN_PART", "WIN_UNPART", "GET_REL_POS", "ADD_REL_POS", "RWKV_WKV6", "GATED_LINEAR_ATTN",
    "RWKV_WKV7", "SOLVE_TRI", "GATED_DELTA_NET", "LIGHTNING_INDEXER", "DSV4_HC_COMB", "DSV4_HC_PRE", "DSV4_HC_POST",
    "UNARY", "MAP_CUSTOM1", "MAP_CUSTOM2", "MAP_CUSTOM3", "CUSTOM", "CROSS_ENTROPY_LOSS", "CROSS_ENTROPY_LOSS_BACK",
    "OPT_STEP_ADAMW", "OPT_STEP_SGD", "GLU",
};

static const char * TEVO_OP_SYMBOL[TEVO_OP_COUNT] = {
    "none", "x", "x+y", "x[i]+y", "x+y", "view(x,nb,offset)+=y->x", "x-y", "x*y", "x/y", "x^2", "√x", "log(x)",
    "sin(x)", "cos(x)", "Σx", "Σx_k", "cumsum(x)", "Σx/n", "argmax(x)", "count_equal(x)", "repeat(x)",
    "repeat_back(x)", "concat(x, y)", "silu_back(x)", "norm(x)", "rms_norm(x)", "rms_norm_back(x)",
    "group_norm(x)", "l2_norm(x)", "X*Y", "X[i]*Y", "X*Y", "x*v", "y-\\>view(x)", "x-\\>y", "cont(x)",
    "reshape(x)", "view(x)", "permute(x)", "transpose(x)", "get_rows(x)", "get_rows_back(x)", "set_rows(x)",
    "diag(x)", "diag_mask_inf(x)", "diag_mask_zero(x)", "soft_max(x)", "soft_max_back(x)", "rope(x)",
    "rope_back(x)", "clamp(x)", "conv_transpose_1d(x)", "im2col(x)", "im2col_back(x)", "im2col_3d(x)",
    "col2im_1d(x)", "conv_2d(x)", "conv_3d(x)", "conv_2d_dw(x)", "conv_transpose_2d(x)", "pool_1d(x)",
    "pool_2d(x)", "pool_2d_back(x)", "upscale(x)", "pad(x)", "pad_reflect_1d(x)", "roll(x)",
    "arange(start, stop, step)", "timestep_embedding(timesteps, dim, max_period)", "argsort(x)", "top_k(x)",
    "leaky_relu(x)", "tri(x)", "fill(x, c)", "flash_attn_ext(x)", "flash_attn_back(x)", "ssm_conv(x)",
    "ssm_scan(x)", "win_part(x)", "win_unpart(x)", "get_rel_pos(x)", "add_rel_pos(x)",
    "rwkv_wkv6(k, v, r, tf, td, s)", "gated_linear_attn(k, v, q, gate, s)", "rwkv_wkv7(r, w, k, v, a, b, s)",
    "A X = B, A triangular, solve X", "gated_delta_net(q, k, v, g, beta, s)", "lightning_indexer(q, k, weights, mask)",
    "dsv4_hc_comb(mixes, scale, base)", "dsv4_hc_pre(x, weights)", "dsv4_hc_post(x, residual, post, comb)",
    "unary(x)", "map_custom(x)", "map_custom(x,y)", "map_custom(x,y,z)", "custom(x)", "cross_entropy_loss(x,y)",
    "cross_entropy_loss_back(x,y)", "adamw(x)", "sgd(x)", "glu(x)",
};

// unary names, then the gated-linear-unit names, in one table
static const char * TEVO_UNARY_GLU_NAME[TEVO_UNARY_OP_COUNT + TEVO_GLU_OP_COUNT] = {
    "ABS", "SGN", "NEG", "STEP", "TANH", "ELU", "RELU", "SIGMOID", "GELU", "GELU_QUICK", "SILU", "HARDSWISH",
    "HARDSIGMOID", "EXP", "EXPM1", "SOFTPLUS", "GELU_ERF", "XIELU", "FLOOR", "CEIL", "ROUND", "TRUNC",
    "REGLU", "GEGLU", "SWIGLU", "SWIGLU_OAI", "GEGLU_ERF", "GEGLU_QUICK", "SWIGLU_CLAMP",
};

static_assert(TEVO_OP_COUNT == 101, "operator count");
static_assert(TEVO_UNARY_OP_COUNT == 22, "unary operator count");
static_assert(TEVO_GLU_OP_COUNT == 7, "gated-linear-unit count");

extern "C" {

const char * tevo_op_name(enum tevo_op op) {
    return TEVO_OP_NAME[op];
}

const char * tevo_op_symbol(enum tevo_op op) {
    return TEVO_OP_SYMBOL[op];
}

const char * tevo_unary_op_name(enum tevo_unary_op op) {
    return TEVO_UNARY_GLU_NAME[op];
}

const char * tevo_glu_op_name(enum tevo_glu_op op) {
    return TEVO_UNARY_GLU_NAME[TEVO_UNARY_OP_COUNT + op];
}

const char * tevo_op_desc(const struct tevo_tensor * t) {
    if (t->op == TEVO_OP_UNARY) {
        return tevo_unary_op_name(tevo_get_unary_op(t));
    }
    if (t->op == TEVO_OP_GLU) {
        return tevo_glu_op_name(tevo_get_glu_op(t));
    }
    return tevo_op_name(t->op);
}

enum tevo_unary_op tevo_get_unary_op(const struct tevo_tensor * tensor) {
    TEVO_ASSERT(tensor->op == TEVO_OP_UNARY);
    return (enum tevo_unary_op) tevo_get_op_params_i32(tensor, 0);
}

enum tevo_glu_op tevo_get_glu_op(const struct tevo_tensor * tensor) {
    TEVO_ASSERT(tensor->op == TEVO_OP_GLU);
    return (enum tevo_glu_op) tevo_get_op_params_i32(tensor, 0);
}

} // extern "C"
