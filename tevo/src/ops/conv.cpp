#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Convolution, im2col and pooling constructors. Most convolutions are built
// from im2col and a matrix product; only a few have a node of their own.

#include "core/impl.h"

// 64-bit integer arithmetic, truncating division
static int64_t tevo_calc_conv_output_size(int64_t ins, int64_t ks, int s, int p, int d) {
    // a stride of 0 would divide by zero, a dilation below 1 has no meaning
    TEVO_ASSERT(s > 0 && d > 0 && "stride and dilation must be positive");
    return (ins + 2 * p - d * (ks - 1) - 1) / s + 1;
}

// single-precision arithmetic, truncated at the end
static int64_t tevo_calc_pool_output_size(int64_t ins, int ks, int s, float p) {
    // a stride of 0 would turn an infinite extent into an integer
    TEVO_ASSERT(s > 0 && "stride must be positive");
    // an empty window has nothing to take the maximum of, and averages divide by it
    TEVO_ASSERT(ks > 0 && "window must be positive");
    return (int64_t) ((ins + 2 * p - ks) / s + 1);
}

// The extent formula truncates toward zero, so a kernel slightly wider than
// the padded input would still give one output; the checks after the
// "b too small" ones make the constructors refuse it.

// im2col

struct tevo_tensor * tevo_im2col(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b, int s0,
                                 int s1, int p0, int p1, int d0, int d1, bool is_2D, enum tevo_type dst_type) {
    if (is_2D) {
        TEVO_ASSERT(a->ne[2] == b->ne[2]);
    } else {
        TEVO_ASSERT(b->ne[1] == a->ne[1]);
        TEVO_ASSERT(b->ne[3] == 1);
    }

    const int64_t OH = is_2D ? tevo_calc_conv_output_size(b->ne[1], a->ne[1], s1, p1, d1) : 0;
    const int64_t OW = tevo_calc_conv_output_size(b->ne[0], a->ne[0], s0, p0, d0);

    TEVO_ASSERT((!is_2D || OH > 0) && "b too small compared to a");
    TEVO_ASSERT((OW > 0) && "b too small compared to a");
    TEVO_ASSERT((!is_2D || (int64_t) d1 * (a->ne[1] - 1) + 1 <= b->ne[1] + 2 * (int64_t) p1) &&
                "kernel larger than padded input");
    TEVO_ASSERT(((int64_t) d0 * (a->ne[0] - 1) + 1 <= b->ne[0] + 2 * (int64_t) p0) &&
                "kernel larger than padded input");

    const int64_t ne[4] = {
        is_2D ? (a->ne[2] * a->ne[1] * a->ne[0]) : a->ne[1] * a->ne[0],
        OW,
        is_2D ? OH : b->ne[2],
        is_2D ? b->ne[3] : 1,
    };

    struct tevo_tensor * result = tevo_new_tensor(ctx, dst_type, 4, ne);

    const int32_t params[] = { s0, s1, p0, p1, d0, d1, (is_2D ? 1 : 0) };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_IM2COL;
    result->src[0] = a;
    result->src[1] = b;

    return result;
}

struct tevo_tensor * tevo_im2col_back(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                      const int64_t * ne, int s0, int s1, int p0, int p1, int d0, int d1,
                                      bool is_2D) {
    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne);

    const int32_t params[] = { s0, s1, p0, p1, d0, d1, (is_2D ? 1 : 0) };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_IM2COL_BACK;
    result->src[0] = a;
    result->src[1] = b;

    return result;
}

struct tevo_tensor * tevo_im2col_3d(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                    int64_t IC, int s0, int s1, int s2, int p0, int p1, int p2, int d0, int d1,
                                    int d2, enum tevo_type dst_type) {
    // the batch is counted in groups of IC channels
    TEVO_ASSERT(IC > 0);

    const int64_t N  = b->ne[3] / IC;
    const int64_t ID = b->ne[2];
    const int64_t IH = b->ne[1];
    const int64_t IW = b->ne[0];

    const int64_t KD = a->ne[2];
    const int64_t KH = a->ne[1];
    const int64_t KW = a->ne[0];

    const int64_t OD = tevo_calc_conv_output_size(ID, KD, s2, p2, d2);
    const int64_t OH = tevo_calc_conv_output_size(IH, KH, s1, p1, d1);
    const int64_t OW = tevo_calc_conv_output_size(IW, KW, s0, p0, d0);

    TEVO_ASSERT((OD > 0) && "b too small compared to a");
    TEVO_ASSERT((OH > 0) && "b too small compared to a");
    TEVO_ASSERT((OW > 0) && "b too small compared to a");
    TEVO_ASSERT(((int64_t) d2 * (KD - 1) + 1 <= ID + 2 * (int64_t) p2) && "kernel larger than padded input");
    TEVO_ASSERT(((int64_t) d1 * (KH - 1) + 1 <= IH + 2 * (int64_t) p1) && "kernel larger than padded input");
    TEVO_ASSERT(((int64_t) d0 * (KW - 1) + 1 <= IW + 2 * (int64_t) p0) && "kernel larger than padded input");

    const int64_t ne[4] = { KW * KH * KD * IC, OW, OH, OD * N };

    struct tevo_tensor * result = tevo_new_tensor(ctx, dst_type, 4, ne);

    const int32_t params[] = { s0, s1, s2, p0, p1, p2, d0, d1, d2, (int32_t) IC };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_IM2COL_3D;
    result->src[0] = a;
    result->src[1] = b;

    return result;
}

struct tevo_tensor * tevo_col2im_1d(struct tevo_context * ctx, struct tevo_tensor * a, int s0, int oc, int p0) {
    TEVO_ASSERT(tevo_is_matrix(a));
    TEVO_ASSERT(tevo_is_contiguous(a));
    TEVO_ASSERT(a->type == TEVO_TYPE_F32 || a->type == TEVO_TYPE_F16 || a->type == TEVO_TYPE_BF16);
    TEVO_ASSERT(s0 > 0);
    TEVO_ASSERT(oc > 0);
    TEVO_ASSERT(p0 >= 0);

    const int64_t K_OC  = a->ne[0];
    const int64_t T_in  = a->ne[1];
    const int64_t K     = K_OC / oc;
    const int64_t T_out = K + (int64_t) s0 * (T_in - 1) - 2 * (int64_t) p0;

    TEVO_ASSERT(K_OC == K * oc);
    TEVO_ASSERT(K > 0 && T_out > 0);

    const int64_t ne[2] = { T_out, oc };

    struct tevo_tensor * result = tevo_new_tensor(ctx, a->type, 2, ne);

    const int32_t params[] = { s0, oc, p0 };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_COL2IM_1D;
    result->src[0] = a;

    return result;
}

// im2col result type of the composite convolutions
static enum tevo_type tevo_conv_col_type(const struct tevo_tensor * a) {
    return a->type == TEVO_TYPE_BF16 ? TEVO_TYPE_F32 : TEVO_TYPE_F16;
}

// 1-D convolutions

// a: [K, IC, OC], b: [L, IC, N]
struct tevo_tensor * tevo_conv_1d(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b, int s0,
                                  int p0, int d0) {
    struct tevo_tensor * im2col = tevo_im2col(ctx, a, b, s0, 0, p0, 0, d0, 0, false, tevo_conv_col_type(a));

    struct tevo_tensor * result =
        tevo_mul_mat(ctx,
                     tevo_reshape_2d(ctx, im2col, im2col->ne[0], im2col->ne[2] * im2col->ne[1]),
                     tevo_reshape_2d(ctx, a, a->ne[0] * a->ne[1], a->ne[2]));

    return tevo_reshape_3d(ctx, result, im2col->ne[1], a->ne[2], im2col->ne[2]);
}

struct tevo_tensor * tevo_conv_1d_ph(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b, int s,
                                     int d) {
    return tevo_conv_1d(ctx, a, b, s, (int) (a->ne[0] / 2), d);
}

// a: [K, 1, C], b: [L, C, 1]
struct tevo_tensor * tevo_conv_1d_dw(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                     int s0, int p0, int d0) {
    struct tevo_tensor * new_b = tevo_reshape_4d(ctx, b, b->ne[0], 1, b->ne[1], b->ne[2]);

    struct tevo_tensor * im2col = tevo_im2col(ctx, a, new_b, s0, 0, p0, 0, d0, 0, false, tevo_conv_col_type(a));

    struct tevo_tensor * result = tevo_mul_mat(ctx, im2col, a);

    return tevo_reshape_3d(ctx, result, result->ne[0], result->ne[2], 1);
}

struct tevo_tensor * tevo_conv_1d_dw_ph(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                        int s0, int d0) {
    return tevo_conv_1d_dw(ctx, a, b, s0, (int) (a->ne[0] / 2), d0);
}

// a: [K, OC, IC], b: [L, IC]
struct tevo_tensor * tevo_conv_transpose_1d(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                            int s0, int p0, int d0) {
    TEVO_ASSERT(tevo_is_matrix(b));
    TEVO_ASSERT(a->ne[2] == b->ne[1]);
    TEVO_ASSERT(a->ne[3] == 1);

    TEVO_ASSERT(p0 == 0);
    TEVO_ASSERT(d0 == 1);
    // the kernel scatters to l * s0 + k: a stride below 1 writes before the output
    TEVO_ASSERT(s0 > 0 && "stride must be positive");

    const int64_t ne[4] = { (b->ne[0] - 1) * s0 + a->ne[0], a->ne[1], 1, 1 };

    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne);

    const int32_t params[] = { s0, p0, d0 };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_CONV_TRANSPOSE_1D;
    result->src[0] = a;
    result->src[1] = b;

    return result;
}

// 2-D convolutions

// a: [KW, KH, IC, OC], b: [W, H, IC, N]
struct tevo_tensor * tevo_conv_2d(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b, int s0,
                                  int s1, int p0, int p1, int d0, int d1) {
    // [IC * KH * KW, OW, OH, N]
    struct tevo_tensor * im2col = tevo_im2col(ctx, a, b, s0, s1, p0, p1, d0, d1, true, tevo_conv_col_type(a));

    // [OW * OH * N, OC]
    struct tevo_tensor * result =
        tevo_mul_mat(ctx,
                     tevo_reshape_2d(ctx, im2col, im2col->ne[0], im2col->ne[3] * im2col->ne[2] * im2col->ne[1]),
                     tevo_reshape_2d(ctx, a, a->ne[0] * a->ne[1] * a->ne[2], a->ne[3]));

    result = tevo_reshape_4d(ctx, result, im2col->ne[1], im2col->ne[2], im2col->ne[3], a->ne[3]);
    result = tevo_cont(ctx, tevo_permute(ctx, result, 0, 1, 3, 2)); // [OW, OH, OC, N]

    return result;
}

struct tevo_tensor * tevo_conv_2d_sk_p0(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    return tevo_conv_2d(ctx, a, b, (int) a->ne[0], (int) a->ne[1], 0, 0, 1, 1);
}

struct tevo_tensor * tevo_conv_2d_s1_ph(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    return tevo_conv_2d(ctx, a, b, 1, 1, (int) (a->ne[0] / 2), (int) (a->ne[1] / 2), 1, 1);
}

// a: [KW, KH, 1, C], b: [W, H, C, N]
struct tevo_tensor * tevo_conv_2d_dw(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                     int s0, int s1, int p0, int p1, int d0, int d1) {
    struct tevo_tensor * new_a = tevo_reshape_4d(ctx, a, a->ne[0], a->ne[1], 1, a->ne[2] * a->ne[3]);
    struct tevo_tensor * im2col =
        tevo_im2col(ctx, new_a, tevo_reshape_4d(ctx, b, b->ne[0], b->ne[1], 1, b->ne[2] * b->ne[3]), s0, s1, p0, p1,
                    d0, d1, true, tevo_conv_col_type(a)); // [KW * KH, OW, OH, C * N]

    struct tevo_tensor * new_b =
        tevo_reshape_4d(ctx, im2col, im2col->ne[0], im2col->ne[2] * im2col->ne[1], b->ne[2], b->ne[3]);

    new_a = tevo_reshape_4d(ctx, new_a, new_a->ne[0] * new_a->ne[1], new_a->ne[2], new_a->ne[3], 1);

    struct tevo_tensor * result = tevo_mul_mat(ctx, new_a, new_b);

    return tevo_reshape_4d(ctx, result, im2col->ne[1], im2col->ne[2], b->ne[2], b->ne[3]);
}

struct tevo_tensor * tevo_conv_2d_dw_direct(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                            int s0, int s1, int p0, int p1, int d0, int d1) {
    TEVO_ASSERT(a->ne[2] == 1);
    TEVO_ASSERT(a->ne[3] == b->ne[2]);
    TEVO_ASSERT(((int64_t) d1 * (a->ne[1] - 1) + 1 <= b->ne[1] + 2 * (int64_t) p1) &&
                "kernel larger than padded input");
    TEVO_ASSERT(((int64_t) d0 * (a->ne[0] - 1) + 1 <= b->ne[0] + 2 * (int64_t) p0) &&
                "kernel larger than padded input");

    const int64_t ne[4] = {
        tevo_calc_conv_output_size(b->ne[0], a->ne[0], s0, p0, d0),
        tevo_calc_conv_output_size(b->ne[1], a->ne[1], s1, p1, d1),
        b->ne[2],
        b->ne[3],
    };

    struct tevo_tensor * result = tevo_new_tensor(ctx, b->type, 4, ne);

    if (tevo_is_contiguous_channels(b)) {
        // keep the input's channel-innermost layout
        const size_t type_size = tevo_type_size(result->type);
        TEVO_ASSERT(tevo_blck_size(result->type) == 1);
        result->nb[0] = result->ne[2] * type_size;
        result->nb[1] = result->ne[0] * result->nb[0];
        result->nb[2] = type_size;
    }

    const int32_t params[] = { s0, s1, p0, p1, d0, d1 };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_CONV_2D_DW;
    result->src[0] = a;
    result->src[1] = b;

    return result;
}

// a: [KW, KH, IC, OC], b: [W, H, IC, N]
struct tevo_tensor * tevo_conv_2d_direct(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                         int s0, int s1, int p0, int p1, int d0, int d1) {
    TEVO_ASSERT(a->ne[2] == b->ne[2]);
    TEVO_ASSERT(((int64_t) d1 * (a->ne[1] - 1) + 1 <= b->ne[1] + 2 * (int64_t) p1) &&
                "kernel larger than padded input");
    TEVO_ASSERT(((int64_t) d0 * (a->ne[0] - 1) + 1 <= b->ne[0] + 2 * (int64_t) p0) &&
                "kernel larger than padded input");

    const int64_t ne[4] = {
        tevo_calc_conv_output_size(b->ne[0], a->ne[0], s0, p0, d0),
        tevo_calc_conv_output_size(b->ne[1], a->ne[1], s1, p1, d1),
        a->ne[3],
        b->ne[3],
    };

    struct tevo_tensor * result = tevo_new_tensor(ctx, b->type, 4, ne);

    const int32_t params[] = { s0, s1, p0, p1, d0, d1 };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_CONV_2D;
    result->src[0] = a;
    result->src[1] = b;

    return result;
}

// a: [KW, KH, OC, IC], b: [W, H, IC, N]
struct tevo_tensor * tevo_conv_transpose_2d_p0(struct tevo_context * ctx, struct tevo_tensor * a,
                                               struct tevo_tensor * b, int stride) {
    TEVO_ASSERT(a->ne[3] == b->ne[2]);
    // as in 1-D, a stride below 1 would scatter before the output
    TEVO_ASSERT(stride > 0 && "stride must be positive");

    const int64_t ne[4] = {
        (b->ne[0] - 1) * stride + a->ne[0],
        (b->ne[1] - 1) * stride + a->ne[1],
        a->ne[2],
        b->ne[3],
    };

    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne);

    tevo_set_op_params_i32(result, 0, stride);

    result->op     = TEVO_OP_CONV_TRANSPOSE_2D;
    result->src[0] = a;
    result->src[1] = b;

    return result;
}

// 3-D convolutions

// a: [KW, KH, KD, IC * OC], b: [W, H, D, IC * N]
struct tevo_tensor * tevo_conv_3d(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                  int64_t IC, int s0, int s1, int s2, int p0, int p1, int p2, int d0, int d1,
                                  int d2) {
    // [IC * KD * KH * KW, OW, OH, OD * N]
    struct tevo_tensor * im2col =
        tevo_im2col_3d(ctx, a, b, IC, s0, s1, s2, p0, p1, p2, d0, d1, d2, tevo_conv_col_type(a));

    const int64_t OC = a->ne[3] / IC;
    const int64_t N  = b->ne[3] / IC;

    // [OW * OH * OD * N, OC]
    struct tevo_tensor * result =
        tevo_mul_mat(ctx,
                     tevo_reshape_2d(ctx, im2col, im2col->ne[0], im2col->ne[3] * im2col->ne[2] * im2col->ne[1]),
                     tevo_reshape_2d(ctx, a, IC * a->ne[2] * a->ne[1] * a->ne[0], OC));

    // from the extent formula rather than im2col->ne[3] / N, which an empty
    // batch (N = 0) would turn into a division by zero
    const int64_t OD = tevo_calc_conv_output_size(b->ne[2], a->ne[2], s2, p2, d2);

    result = tevo_reshape_4d(ctx, result, im2col->ne[1] * im2col->ne[2], OD, N, OC);
    result = tevo_cont(ctx, tevo_permute(ctx, result, 0, 1, 3, 2)); // [OW * OH, OD, OC, N]

    return tevo_reshape_4d(ctx, result, im2col->ne[1], im2col->ne[2], OD, OC * N);
}

// a: [KW, KH, KD, c * oc], b: [W, H, D, c * n]
struct tevo_tensor * tevo_conv_3d_direct(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                         int s0, int s1, int s2, int p0, int p1, int p2, int d0, int d1, int d2,
                                         int c, int n, int oc) {
    TEVO_ASSERT(a->ne[3] == (int64_t) c * oc);
    TEVO_ASSERT(b->ne[3] == (int64_t) c * n);
    TEVO_ASSERT(((int64_t) d2 * (a->ne[2] - 1) + 1 <= b->ne[2] + 2 * (int64_t) p2) &&
                "kernel larger than padded input");
    TEVO_ASSERT(((int64_t) d1 * (a->ne[1] - 1) + 1 <= b->ne[1] + 2 * (int64_t) p1) &&
                "kernel larger than padded input");
    TEVO_ASSERT(((int64_t) d0 * (a->ne[0] - 1) + 1 <= b->ne[0] + 2 * (int64_t) p0) &&
                "kernel larger than padded input");

    const int64_t ne[4] = {
        tevo_calc_conv_output_size(b->ne[0], a->ne[0], s0, p0, d0),
        tevo_calc_conv_output_size(b->ne[1], a->ne[1], s1, p1, d1),
        tevo_calc_conv_output_size(b->ne[2], a->ne[2], s2, p2, d2),
        (int64_t) oc * n,
    };

    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne);

    const int32_t params[] = { s0, s1, s2, p0, p1, p2, d0, d1, d2, c, n, oc };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_CONV_3D;
    result->src[0] = a;
    result->src[1] = b;

    return result;
}

// pooling

struct tevo_tensor * tevo_pool_1d(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_op_pool op, int k0,
                                  int s0, int p0) {
    const int64_t ne[4] = {
        tevo_calc_pool_output_size(a->ne[0], k0, s0, (float) p0),
        a->ne[1],
        a->ne[2],
        a->ne[3],
    };
    TEVO_ASSERT(ne[0] > 0);

    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne);

    const int32_t params[] = { op, k0, s0, p0 };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_POOL_1D;
    result->src[0] = a;

    return result;
}

struct tevo_tensor * tevo_pool_2d(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_op_pool op, int k0,
                                  int k1, int s0, int s1, float p0, float p1) {
    const int64_t ne[4] = {
        tevo_calc_pool_output_size(a->ne[0], k0, s0, p0),
        tevo_calc_pool_output_size(a->ne[1], k1, s1, p1),
        a->ne[2],
        a->ne[3],
    };
    TEVO_ASSERT(ne[0] > 0);
    TEVO_ASSERT(ne[1] > 0);

    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne);

    // the kernels take whole-number padding
    const int32_t params[] = { op, k0, k1, s0, s1, (int32_t) p0, (int32_t) p1 };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_POOL_2D;
    result->src[0] = a;

    return result;
}

struct tevo_tensor * tevo_pool_2d_back(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * af,
                                       enum tevo_op_pool op, int k0, int k1, int s0, int s1, float p0, float p1) {
    // the same windows as the pooling's
    TEVO_ASSERT(s0 > 0 && s1 > 0 && "stride must be positive");
    TEVO_ASSERT(k0 > 0 && k1 > 0 && "window must be positive");

    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, af->ne);

    const int32_t params[] = { op, k0, k1, s0, s1, (int32_t) p0, (int32_t) p1 };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_POOL_2D_BACK;
    result->src[0] = a;
    result->src[1] = af;

    return result;
}
