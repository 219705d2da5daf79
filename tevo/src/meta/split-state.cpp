#define TEVO_SOURCE_PATH "tevo/src/tevo-backend-meta"

// Split states of tensors in meta buffers. Stored tensors (weights, inputs)
// take theirs from the user's callback; every other tensor derives its state
// from its operator and its sources' states, so a whole graph distributes
// from the states of its weights and inputs alone. A graph the rules cannot
// distribute stops the process: there is no way to compute it on the devices.
//
// With the sync flag clear a state describes a node as it leaves the
// devices; with it set, as later nodes see it after the meta backend has
// all-reduced partial sums. Sources are always asked with the flag set.

#include "meta/impl.h"

#include <inttypes.h>

#include <string>

meta_split_state meta_split_state_plain(enum tevo_backend_meta_split_axis axis) {
    meta_split_state ss;
    memset(&ss, 0, sizeof(ss));
    ss.axis       = axis;
    ss.nr[0]      = 1;
    ss.n_segments = 1;
    return ss;
}

int64_t meta_share(const meta_split_state & ss, size_t n_bufs, size_t j) {
    int64_t share = 0;
    for (int s = 0; s < ss.n_segments; s++) {
        share += (int64_t) ss.nr[s] * ss.ne[s * n_bufs + j];
    }
    return share;
}

bool meta_tensor_records_equal(const struct tevo_tensor & a, const struct tevo_tensor & b) {
    if (a.type != b.type || a.buffer != b.buffer || a.op != b.op || a.flags != b.flags || a.view_src != b.view_src ||
        a.view_offs != b.view_offs || a.data != b.data || a.extra != b.extra) {
        return false;
    }
    for (int i = 0; i < TEVO_MAX_DIMS; i++) {
        if (a.ne[i] != b.ne[i] || a.nb[i] != b.nb[i]) {
            return false;
        }
    }
    for (int i = 0; i < TEVO_MAX_SRC; i++) {
        if (a.src[i] != b.src[i]) {
            return false;
        }
    }
    return memcmp(a.op_params, b.op_params, sizeof(a.op_params)) == 0 &&
           strncmp(a.name, b.name, TEVO_MAX_NAME) == 0;
}

// same axis and, for splits, the same share on every device
static bool meta_states_equal(const meta_split_state & a, const meta_split_state & b, size_t n_bufs) {
    if (a.axis != b.axis) {
        return false;
    }
    if (meta_axis_is_split(a.axis)) {
        for (size_t j = 0; j < n_bufs; j++) {
            if (meta_share(a, n_bufs, j) != meta_share(b, n_bufs, j)) {
                return false;
            }
        }
    }
    return true;
}

// a source outside meta buffers is read in place by every device
static meta_split_state meta_source_state(const struct tevo_tensor * src) {
    if (src->buffer == NULL || !tevo_backend_buffer_is_meta(src->buffer)) {
        return meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
    }
    return meta_get_split_state(src, true);
}

// ---------------------------------------------------------------------------
// shared rules

static meta_split_state meta_same_state(const meta_split_state * src_ss, size_t n_bufs, bool with_axes) {
    meta_split_state ret = meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_NONE);
    bool             ok  = true;
    for (int i = 0; i < TEVO_MAX_SRC; i++) {
        if (src_ss[i].axis == TEVO_BACKEND_SPLIT_AXIS_UNKNOWN) {
            continue;
        }
        if (ret.axis == TEVO_BACKEND_SPLIT_AXIS_NONE) {
            ret = src_ss[i];
        } else if (!meta_states_equal(ret, src_ss[i], n_bufs)) {
            ok = false;
        }
    }
    if (ret.axis == TEVO_BACKEND_SPLIT_AXIS_NONE || (!with_axes && meta_axis_is_split(ret.axis))) {
        ok = false;
    }
    TEVO_ASSERT_AS(ok, "ret.axis != TEVO_BACKEND_SPLIT_AXIS_UNKNOWN");
    return ret;
}

static meta_split_state meta_row_wise(const meta_split_state * src_ss) {
    TEVO_ASSERT(src_ss[0].axis != TEVO_BACKEND_SPLIT_AXIS_0);
    return src_ss[0];
}

static meta_split_state meta_two_operand(const struct tevo_tensor * tensor, const meta_split_state * src_ss,
                                         size_t n_bufs) {
    const enum tevo_backend_meta_split_axis a = src_ss[0].axis;
    // a broadcast operand along the split axis
    if (meta_axis_is_split(a) && tensor->src[1] != NULL && tensor->src[1]->ne[a] == 1 &&
        src_ss[1].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED) {
        return src_ss[0];
    }
    if (tensor->src[2] != NULL && src_ss[2].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED) {
        // the expert ids of ADD_ID
        if (src_ss[1].axis == a ||
            (a == TEVO_BACKEND_SPLIT_AXIS_MIRRORED && src_ss[1].axis == TEVO_BACKEND_SPLIT_AXIS_PARTIAL)) {
            return src_ss[0];
        }
        return meta_same_state(src_ss, n_bufs, true);
    }
    TEVO_ASSERT(tensor->src[2] == nullptr || src_ss[2].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
    return meta_same_state(src_ss, n_bufs, true);
}

static meta_split_state meta_concat(const struct tevo_tensor * tensor, const meta_split_state * src_ss,
                                    size_t n_bufs) {
    const int32_t concat_axis = tensor->op_params[0];
    if (src_ss[0].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED && meta_axis_is_split(src_ss[1].axis)) {
        TEVO_ASSERT(concat_axis != src_ss[1].axis);
        return src_ss[1];
    }
    if (src_ss[1].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED && meta_axis_is_split(src_ss[0].axis)) {
        TEVO_ASSERT(concat_axis != src_ss[0].axis);
        return src_ss[0];
    }
    if (concat_axis == (int32_t) src_ss[0].axis || src_ss[0].axis != src_ss[1].axis) {
        return meta_same_state(src_ss, n_bufs, false);
    }
    return src_ss[0];
}

static meta_split_state meta_mul_mat(const struct tevo_tensor * tensor, const meta_split_state * src_ss,
                                     size_t n_bufs, bool sync) {
    const enum tevo_backend_meta_split_axis a0 = src_ss[0].axis;
    const enum tevo_backend_meta_split_axis a1 = src_ss[1].axis;

    if (a0 == TEVO_BACKEND_SPLIT_AXIS_0 && a1 == TEVO_BACKEND_SPLIT_AXIS_0) {
        // the inner dimension is split: every device holds a partial sum
        TEVO_ASSERT_AS(meta_states_equal(src_ss[0], src_ss[1], n_bufs), "split_states_equal(src_ss[0], src_ss[1])");
        return meta_split_state_plain(sync ? TEVO_BACKEND_SPLIT_AXIS_MIRRORED : TEVO_BACKEND_SPLIT_AXIS_PARTIAL);
    }
    if (a0 == TEVO_BACKEND_SPLIT_AXIS_1 && a1 == TEVO_BACKEND_SPLIT_AXIS_MIRRORED) {
        return meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_0);
    }
    if (a0 == TEVO_BACKEND_SPLIT_AXIS_MIRRORED && a1 == TEVO_BACKEND_SPLIT_AXIS_1) {
        return src_ss[1];
    }
    if (a0 == TEVO_BACKEND_SPLIT_AXIS_MIRRORED && a1 == TEVO_BACKEND_SPLIT_AXIS_MIRRORED) {
        return src_ss[0];
    }
    if ((a0 == TEVO_BACKEND_SPLIT_AXIS_2 || a0 == TEVO_BACKEND_SPLIT_AXIS_3) && a1 == a0) {
        TEVO_ASSERT_AS(meta_states_equal(src_ss[0], src_ss[1], n_bufs), "split_states_equal(src_ss[0], src_ss[1])");
        return src_ss[0];
    }
    if ((a0 == TEVO_BACKEND_SPLIT_AXIS_2 || a0 == TEVO_BACKEND_SPLIT_AXIS_3) &&
        a1 == TEVO_BACKEND_SPLIT_AXIS_MIRRORED) {
        return src_ss[0];
    }
    TEVO_ABORT("unsupported mul_mat split states: node=%s src0=%s axis=%d src1=%s axis=%d", tensor->name,
               tensor->src[0]->name, (int) a0, tensor->src[1]->name, (int) a1);
}

// A split axis of extent 1 adds nothing to the products: the first one that
// reaches its block belongs to a dimension below it. The split moves up past
// as many dimensions of extent 1 of the new shape as the source has between
// that dimension and its split axis, so one head split over the devices stays
// on the heads' dimension.
static int meta_reshape_past_ones(const struct tevo_tensor * tensor, const struct tevo_tensor * s, int a, int e) {
    int64_t below = 1;
    for (int i = 0; i < a; i++) {
        below *= s->ne[i];
    }
    int     r = 0;
    int64_t q = 1;
    for (; r < a; r++) {
        q *= s->ne[r];
        if (q == below) {
            break;
        }
    }
    for (int k = a - r; k > 0 && e + 1 < TEVO_MAX_DIMS && tensor->ne[e + 1] == 1; k--) {
        e++;
    }
    return e;
}

// CONT, RESHAPE, CPY and contiguous views: the elements keep their order, so
// the split axis becomes the first dimension of the new shape that the
// source's split blocks tile
static meta_split_state meta_reshape(const struct tevo_tensor * tensor, const meta_split_state * src_ss,
                                     size_t n_bufs) {
    const struct tevo_tensor * s  = tensor->src[0];
    const meta_split_state &   ss = src_ss[0];
    const int                  a  = (int) ss.axis;

    if (ss.axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED || ss.axis == TEVO_BACKEND_SPLIT_AXIS_PARTIAL) {
        return ss;
    }
    if (!meta_axis_is_split(ss.axis)) {
        TEVO_ABORT("fatal error");
    }

    int64_t c = 1;
    for (int i = 0; i <= a; i++) {
        c *= s->ne[i];
    }
    if (ss.n_segments == 1) {
        c /= ss.nr[0];
    }

    meta_split_state ret = meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_0);
    if (ss.n_segments == 1 && tevo_n_dims(s) == a + 1 && ss.nr[0] == 1) {
        ret.axis = (enum tevo_backend_meta_split_axis) (tevo_n_dims(tensor) - 1);
        return ret;
    }
    if (ss.n_segments == 1 && a == 0 && tensor->ne[0] == s->ne[0] && tensor->ne[1] == 1 && ss.nr[0] == 1) {
        bool whole = true;
        for (size_t j = 0; j < n_bufs; j++) {
            whole = whole && (ss.ne[j] == 0 || ss.ne[j] == s->ne[0]);
        }
        if (whole) {
            ret.axis = TEVO_BACKEND_SPLIT_AXIS_1;
            return ret;
        }
    }

    int64_t p = 1;
    for (int e = 0; e < TEVO_MAX_DIMS; e++) {
        p *= tensor->ne[e];
        if (c != 0 && p % c == 0) {
            if (p == c && s->ne[a] == 1 && ss.n_segments == 1 && ss.nr[0] == 1) {
                e = meta_reshape_past_ones(tensor, s, a, e);
            }
            ret.axis  = (enum tevo_backend_meta_split_axis) e;
            ret.nr[0] = (int32_t) (p / c);
            return ret;
        }
        if (p > c) {
            TEVO_ASSERT(src_ss[0].n_segments == 1);
            TEVO_ASSERT(src_ss[0].nr[0] == 1);
            ret.axis = (enum tevo_backend_meta_split_axis) e;
            return ret;
        }
    }
    TEVO_ABORT("shape mismatch for %s", tevo_op_name(tensor->op));
}

static meta_split_state meta_view(const struct tevo_tensor * tensor, const meta_split_state * src_ss,
                                  size_t n_bufs) {
    const struct tevo_tensor * v = tensor;
    const struct tevo_tensor * s = tensor->src[0];
    if (tevo_is_contiguous(v) && tevo_is_contiguous(s)) {
        return meta_reshape(tensor, src_ss, n_bufs);
    }
    bool same_layout = true;
    for (int i = 0; i < TEVO_MAX_DIMS; i++) {
        same_layout = same_layout && ((v->ne[i] == 1 && s->ne[i] == 1) || v->nb[i] == s->nb[i]);
    }
    if (same_layout) {
        return src_ss[0];
    }
    const enum tevo_backend_meta_split_axis a = src_ss[0].axis;
    if (tevo_is_permuted(v) || tevo_is_permuted(s) || (int) a > 2) {
        if (a == TEVO_BACKEND_SPLIT_AXIS_MIRRORED || a == TEVO_BACKEND_SPLIT_AXIS_PARTIAL) {
            return src_ss[0];
        }
        TEVO_ABORT("view of permuted tensor not implemented");
    }
    for (int i = 1; i < TEVO_MAX_DIMS; i++) {
        if (s->nb[a + 1] == v->nb[i]) {
            return meta_split_state_plain((enum tevo_backend_meta_split_axis) (i - 1));
        }
    }
    TEVO_ABORT("fatal error");
}

static void meta_assert_one_plain_segment(const meta_split_state * src_ss) {
    TEVO_ASSERT(src_ss[0].n_segments == 1 || src_ss[0].nr[0] == 1);
}

static meta_split_state meta_permute(const struct tevo_tensor * tensor, const meta_split_state * src_ss) {
    const enum tevo_backend_meta_split_axis a = src_ss[0].axis;
    if (a == TEVO_BACKEND_SPLIT_AXIS_MIRRORED || a == TEVO_BACKEND_SPLIT_AXIS_PARTIAL) {
        return src_ss[0];
    }
    if (!meta_axis_is_split(a)) {
        TEVO_ABORT("fatal error");
    }
    meta_assert_one_plain_segment(src_ss);
    meta_split_state ret = meta_split_state_plain((enum tevo_backend_meta_split_axis) tensor->op_params[a]);
    ret.nr[0]            = src_ss[0].nr[0];
    return ret;
}

static meta_split_state meta_transpose(const meta_split_state * src_ss) {
    const enum tevo_backend_meta_split_axis a = src_ss[0].axis;
    if (a == TEVO_BACKEND_SPLIT_AXIS_2 || a == TEVO_BACKEND_SPLIT_AXIS_3 || a == TEVO_BACKEND_SPLIT_AXIS_MIRRORED ||
        a == TEVO_BACKEND_SPLIT_AXIS_PARTIAL) {
        return src_ss[0];
    }
    if (a != TEVO_BACKEND_SPLIT_AXIS_0 && a != TEVO_BACKEND_SPLIT_AXIS_1) {
        TEVO_ABORT("fatal error");
    }
    meta_assert_one_plain_segment(src_ss);
    meta_split_state ret =
        meta_split_state_plain(a == TEVO_BACKEND_SPLIT_AXIS_0 ? TEVO_BACKEND_SPLIT_AXIS_1 : TEVO_BACKEND_SPLIT_AXIS_0);
    ret.nr[0] = src_ss[0].nr[0];
    return ret;
}

static meta_split_state meta_attention(const struct tevo_tensor * tensor, const meta_split_state * src_ss) {
    TEVO_ASSERT(tensor->src[3] == nullptr || src_ss[3].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
    if (src_ss[0].axis == TEVO_BACKEND_SPLIT_AXIS_2) {
        // heads split: each device attends with its own heads
        const bool kv_split =
            src_ss[1].axis == TEVO_BACKEND_SPLIT_AXIS_2 && src_ss[2].axis == TEVO_BACKEND_SPLIT_AXIS_2;
        const bool kv_mirrored =
            src_ss[1].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED && src_ss[2].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED;
        TEVO_ASSERT(kv_split || kv_mirrored);
        TEVO_ASSERT(tensor->src[4] == nullptr || src_ss[4].axis == TEVO_BACKEND_SPLIT_AXIS_0);
        return meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_1);
    }
    TEVO_ASSERT_AS(src_ss[0].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED, "src_ss[0].axis == TEVO_BACKEND_SPLIT_AXIS_2");
    TEVO_ASSERT(src_ss[1].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
    TEVO_ASSERT(src_ss[2].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
    TEVO_ASSERT(tensor->src[4] == nullptr || src_ss[4].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
    return meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
}

static meta_split_state meta_gated_delta(const meta_split_state * src_ss) {
    bool all_mirrored = true;
    for (int i = 0; i < 6; i++) {
        all_mirrored = all_mirrored && src_ss[i].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED;
    }
    if (all_mirrored) {
        return meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
    }
    TEVO_ASSERT(src_ss[0].axis == TEVO_BACKEND_SPLIT_AXIS_1);
    TEVO_ASSERT(src_ss[1].axis == TEVO_BACKEND_SPLIT_AXIS_1);
    TEVO_ASSERT(src_ss[2].axis == TEVO_BACKEND_SPLIT_AXIS_1);
    TEVO_ASSERT(src_ss[3].axis == TEVO_BACKEND_SPLIT_AXIS_1);
    TEVO_ASSERT(src_ss[4].axis == TEVO_BACKEND_SPLIT_AXIS_1);
    TEVO_ASSERT(src_ss[5].axis == TEVO_BACKEND_SPLIT_AXIS_2 || src_ss[5].axis == TEVO_BACKEND_SPLIT_AXIS_1 ||
                src_ss[5].axis == TEVO_BACKEND_SPLIT_AXIS_0);
    return meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_0);
}

static meta_split_state meta_apply_rule(const struct tevo_tensor * tensor, const meta_split_state * src_ss,
                                        size_t n_bufs, bool sync) {
    switch (tensor->op) {
        case TEVO_OP_NONE:
            return meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED);

        case TEVO_OP_DUP:
        case TEVO_OP_ADD1:
        case TEVO_OP_ACC:
        case TEVO_OP_SUM:
        case TEVO_OP_OUT_PROD:
        case TEVO_OP_SET:
        case TEVO_OP_GET_ROWS_BACK:
        case TEVO_OP_DIAG:
        case TEVO_OP_DIAG_MASK_INF:
        case TEVO_OP_DIAG_MASK_ZERO:
        case TEVO_OP_CONV_TRANSPOSE_1D:
        case TEVO_OP_IM2COL:
        case TEVO_OP_IM2COL_BACK:
        case TEVO_OP_IM2COL_3D:
        case TEVO_OP_CONV_2D:
        case TEVO_OP_CONV_3D:
        case TEVO_OP_CONV_2D_DW:
        case TEVO_OP_CONV_TRANSPOSE_2D:
        case TEVO_OP_POOL_1D:
        case TEVO_OP_POOL_2D:
        case TEVO_OP_POOL_2D_BACK:
        case TEVO_OP_UPSCALE:
        case TEVO_OP_PAD_REFLECT_1D:
        case TEVO_OP_ROLL:
        case TEVO_OP_ARANGE:
        case TEVO_OP_TIMESTEP_EMBEDDING:
        case TEVO_OP_TRI:
        case TEVO_OP_FLASH_ATTN_BACK:
        case TEVO_OP_SSM_SCAN:
        case TEVO_OP_WIN_PART:
        case TEVO_OP_WIN_UNPART:
        case TEVO_OP_GET_REL_POS:
        case TEVO_OP_ADD_REL_POS:
        case TEVO_OP_RWKV_WKV6:
        case TEVO_OP_GATED_LINEAR_ATTN:
        case TEVO_OP_RWKV_WKV7:
        case TEVO_OP_SOLVE_TRI:
        case TEVO_OP_DSV4_HC_COMB:
        case TEVO_OP_DSV4_HC_PRE:
        case TEVO_OP_DSV4_HC_POST:
        case TEVO_OP_MAP_CUSTOM1:
        case TEVO_OP_MAP_CUSTOM2:
        case TEVO_OP_MAP_CUSTOM3:
        case TEVO_OP_CUSTOM:
            return meta_same_state(src_ss, n_bufs, false);

        case TEVO_OP_SQR:
        case TEVO_OP_SQRT:
        case TEVO_OP_LOG:
        case TEVO_OP_SIN:
        case TEVO_OP_COS:
        case TEVO_OP_REPEAT:
        case TEVO_OP_REPEAT_BACK:
        case TEVO_OP_SILU_BACK:
        case TEVO_OP_SCALE:
        case TEVO_OP_SOFT_MAX:
        case TEVO_OP_SOFT_MAX_BACK:
        case TEVO_OP_CLAMP:
        case TEVO_OP_LEAKY_RELU:
        case TEVO_OP_FILL:
        case TEVO_OP_UNARY:
        case TEVO_OP_OPT_STEP_ADAMW:
        case TEVO_OP_OPT_STEP_SGD:
        case TEVO_OP_GLU:
            return meta_same_state(src_ss, n_bufs, true);

        case TEVO_OP_SUM_ROWS:
        case TEVO_OP_CUMSUM:
        case TEVO_OP_MEAN:
        case TEVO_OP_ARGMAX:
        case TEVO_OP_COUNT_EQUAL:
        case TEVO_OP_NORM:
        case TEVO_OP_RMS_NORM:
        case TEVO_OP_RMS_NORM_BACK:
        case TEVO_OP_GROUP_NORM:
        case TEVO_OP_L2_NORM:
        case TEVO_OP_ARGSORT:
        case TEVO_OP_TOP_K:
        case TEVO_OP_CROSS_ENTROPY_LOSS:
        case TEVO_OP_CROSS_ENTROPY_LOSS_BACK:
            return meta_row_wise(src_ss);

        case TEVO_OP_ADD:
        case TEVO_OP_ADD_ID:
        case TEVO_OP_SUB:
        case TEVO_OP_MUL:
        case TEVO_OP_DIV:
            return meta_two_operand(tensor, src_ss, n_bufs);

        case TEVO_OP_CONCAT:
            return meta_concat(tensor, src_ss, n_bufs);

        case TEVO_OP_MUL_MAT:
        case TEVO_OP_MUL_MAT_ID:
            return meta_mul_mat(tensor, src_ss, n_bufs, sync);

        case TEVO_OP_CPY:
            if (!meta_axis_is_split(src_ss[0].axis)) {
                return meta_same_state(src_ss, n_bufs, true);
            }
            return meta_reshape(tensor, src_ss, n_bufs);

        case TEVO_OP_CONT:
        case TEVO_OP_RESHAPE:
            return meta_reshape(tensor, src_ss, n_bufs);

        case TEVO_OP_VIEW:
            return meta_view(tensor, src_ss, n_bufs);

        case TEVO_OP_PERMUTE:
            return meta_permute(tensor, src_ss);

        case TEVO_OP_TRANSPOSE:
            return meta_transpose(src_ss);

        case TEVO_OP_GET_ROWS:
            if (src_ss[0].axis == TEVO_BACKEND_SPLIT_AXIS_0 && src_ss[1].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED) {
                return src_ss[0];
            }
            return meta_same_state(src_ss, n_bufs, false);

        case TEVO_OP_SET_ROWS:
            TEVO_ASSERT(src_ss[0].axis != TEVO_BACKEND_SPLIT_AXIS_1);
            TEVO_ASSERT(src_ss[1].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
            TEVO_ASSERT_AS(meta_states_equal(src_ss[0], src_ss[2], n_bufs), "split_states_equal(src_ss[0], src_ss[2])");
            return src_ss[0];

        case TEVO_OP_ROPE:
        case TEVO_OP_ROPE_BACK:
            TEVO_ASSERT(src_ss[1].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
            return src_ss[0];

        case TEVO_OP_PAD:
            if (meta_axis_is_split(src_ss[0].axis)) {
                // padding along the split axis would need to know which device holds the ends
                TEVO_ASSERT(tensor->op_params[2*src_ss[0].axis + 0] == 0);
                TEVO_ASSERT(tensor->op_params[2*src_ss[0].axis + 1] == 0);
            }
            return src_ss[0];

        case TEVO_OP_FLASH_ATTN_EXT:
            return meta_attention(tensor, src_ss);

        case TEVO_OP_SSM_CONV:
            if (src_ss[0].axis == TEVO_BACKEND_SPLIT_AXIS_1 && src_ss[1].axis == TEVO_BACKEND_SPLIT_AXIS_1) {
                return meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_0);
            }
            if (src_ss[0].axis == TEVO_BACKEND_SPLIT_AXIS_0 && src_ss[1].axis == TEVO_BACKEND_SPLIT_AXIS_0) {
                return meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_1);
            }
            return meta_same_state(src_ss, n_bufs, true);

        case TEVO_OP_GATED_DELTA_NET:
            return meta_gated_delta(src_ss);

        case TEVO_OP_LIGHTNING_INDEXER:
            for (int i = 0; i < 4; i++) {
                TEVO_ASSERT(src_ss[i].axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
            }
            return meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED);

        default:
            TEVO_ABORT("tevo op not implemented: %s", tevo_op_name(tensor->op));
    }
}

// The extents of an inferred split follow the first source split along an
// axis, scaled by how the tensor's extent relates to that source's; every
// other split source must agree.
static void meta_derive_extents(const struct tevo_tensor * tensor, const meta_split_state * src_ss,
                                meta_split_state & split_state, size_t n_bufs) {
    const int axis                    = (int) split_state.axis;
    bool      first_src_split_by_axis = true;
    for (int i = 0; i < TEVO_MAX_SRC; i++) {
        const struct tevo_tensor * src = tensor->src[i];
        if (src == NULL || src == tensor || !meta_axis_is_split(src_ss[i].axis)) {
            continue;
        }
        const int64_t src_ne = src->ne[src_ss[i].axis];
        if (first_src_split_by_axis) {
            first_src_split_by_axis = false;
            if (split_state.n_segments > 1) {
                // a state taken over from this source: scale each piece
                TEVO_ASSERT(split_state.n_segments == src_ss[i].n_segments);
                TEVO_ASSERT(memcmp(split_state.nr, src_ss[i].nr, sizeof(split_state.nr)) == 0);
                for (int s = 0; s < split_state.n_segments; s++) {
                    for (size_t j = 0; j < n_bufs; j++) {
                        const int64_t num = src_ss[i].ne[s * n_bufs + j] * tensor->ne[axis];
                        TEVO_ASSERT_AS(src_ne != 0 && num % src_ne == 0, "split_state.ne[j] % div == 0");
                        split_state.ne[s * n_bufs + j] = num / src_ne;
                    }
                }
                continue;
            }
            for (size_t j = 0; j < n_bufs; j++) {
                const int64_t num = meta_share(src_ss[i], n_bufs, j) * tensor->ne[axis];
                const int64_t div = src_ne * split_state.nr[0];
                if (div == 0) {
                    TEVO_ASSERT_AS(num == 0, "split_state.ne[j] % div == 0");
                    split_state.ne[j] = 0;
                    continue;
                }
                TEVO_ASSERT_AS(num % div == 0, "split_state.ne[j] % div == 0");
                split_state.ne[j] = num / div;
            }
            continue;
        }
        TEVO_ASSERT(split_state.n_segments == 1);
        for (size_t j = 0; j < n_bufs; j++) {
            const int64_t sum = meta_share(src_ss[i], n_bufs, j);
            TEVO_ASSERT_AS(split_state.ne[j] * split_state.nr[0] * src_ne == sum * tensor->ne[axis],
                           "split_state.ne[j]*split_state.nr[0] * tensor->src[i]->ne[src_ss[i].axis] == sum * "
                           "tensor->ne[split_state.axis]");
        }
    }
    TEVO_ASSERT(!first_src_split_by_axis);
}

static void meta_check_callback_state(const struct tevo_tensor * tensor, const meta_split_state & ret,
                                      size_t n_bufs) {
    if (meta_axis_is_split(ret.axis)) {
        // the user's extents index fixed arrays: keep them inside
        TEVO_ASSERT(ret.n_segments >= 1 && ret.n_segments <= TEVO_BACKEND_META_MAX_SEGMENTS);
        const int64_t granularity = ret.axis == TEVO_BACKEND_SPLIT_AXIS_0 ? tevo_blck_size(tensor->type) : 1;
        int64_t       ne_sum      = 0;
        for (int s = 0; s < ret.n_segments; s++) {
            TEVO_ASSERT(ret.nr[s] >= 0);
            for (size_t j = 0; j < n_bufs; j++) {
                TEVO_ASSERT(ret.ne[s*n_bufs + j] >= 0);
                TEVO_ASSERT(ret.ne[s*n_bufs + j] % granularity == 0);
                ne_sum += ret.nr[s] * ret.ne[s*n_bufs + j];
            }
        }
        TEVO_ASSERT(ne_sum == tensor->ne[ret.axis]);
        return;
    }
    switch (ret.axis) {
        case TEVO_BACKEND_SPLIT_AXIS_PARTIAL:
            TEVO_ASSERT(ret.n_segments == 1);
            TEVO_ASSERT(ret.nr[0] == 1);
            return;
        case TEVO_BACKEND_SPLIT_AXIS_MIRRORED:
        case TEVO_BACKEND_SPLIT_AXIS_NONE:
        case TEVO_BACKEND_SPLIT_AXIS_UNKNOWN:
            return;
        default:
            // not an axis at all
            TEVO_ABORT("fatal error");
    }
}

static std::string meta_device_list(const meta_split_state & ss, size_t n_bufs) {
    TEVO_ASSERT_AS(ss.n_segments == 1, "split_state.n_segments == 1");
    std::string text;
    for (size_t j = 0; j < n_bufs; j++) {
        char part[64];
        snprintf(part, sizeof(part), "%s%" PRId64 "x%d", j > 0 ? ", " : "", ss.ne[j], (int) ss.nr[0]);
        text += part;
    }
    return text;
}

static void meta_log_state(const struct tevo_tensor * tensor, const meta_split_state * src_ss,
                           const meta_split_state & ret, size_t n_bufs) {
    std::string srcs;
    for (int i = 0; i < TEVO_MAX_SRC; i++) {
        const struct tevo_tensor * src = tensor->src[i];
        if (src == NULL || src == tensor) {
            continue;
        }
        if (!srcs.empty()) {
            srcs += ", ";
        }
        srcs += std::string(src->name) + "[" + tevo_backend_meta_split_axis_name(src_ss[i].axis) + ", {" +
                meta_device_list(src_ss[i], n_bufs) + "}]";
    }
    TEVO_LOG_DEBUG("SPLIT_STATE: {%s} -> %s[%s, %s, {%s}]\n", srcs.c_str(), tensor->name, tevo_op_name(tensor->op),
                   tevo_backend_meta_split_axis_name(ret.axis), meta_device_list(ret, n_bufs).c_str());
}

meta_split_state meta_get_split_state(const struct tevo_tensor * tensor, bool sync) {
    tevo_backend_buffer_t meta_buf = tensor->buffer;
    TEVO_ASSERT(tevo_backend_buffer_is_meta(meta_buf));
    meta_buffer_context * buf_ctx = (meta_buffer_context *) meta_buf->context;
    const size_t          n_bufs  = buf_ctx->bufs.size();

    const auto key = std::make_pair(tensor, sync);
    auto       it  = buf_ctx->split_cache.find(key);
    if (it != buf_ctx->split_cache.end()) {
        if (meta_tensor_records_equal(it->second.record, *tensor)) {
            return it->second.state;
        }
        // the record was reused for another tensor: the states of its
        // sources may have changed as well
        buf_ctx->split_cache.clear();
    }

    meta_split_state src_ss[TEVO_MAX_SRC];
    for (int i = 0; i < TEVO_MAX_SRC; i++) {
        src_ss[i] = meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_UNKNOWN);
    }

    meta_split_state ret;
    if (tevo_nelements(tensor) == 0) {
        ret = meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_UNKNOWN);
    } else if (tevo_backend_buffer_get_usage(meta_buf) != TEVO_BACKEND_BUFFER_USAGE_COMPUTE &&
               tensor->view_src == NULL) {
        tevo_backend_dev_t    dev     = tevo_backend_buft_get_device(tevo_backend_buffer_get_type(meta_buf));
        meta_device_context * dev_ctx = meta_dev_ctx(dev);
        if (dev_ctx->get_split_state == NULL) {
            ret = meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
        } else {
            ret = dev_ctx->get_split_state(tensor, dev_ctx->get_split_state_ud);
        }
        meta_check_callback_state(tensor, ret, n_bufs);
        if (!meta_axis_is_split(ret.axis) && ret.axis != TEVO_BACKEND_SPLIT_AXIS_PARTIAL) {
            // extents mean nothing here; later steps count on one plain segment
            ret = meta_split_state_plain(ret.axis);
        }
    } else {
        for (int i = 0; i < TEVO_MAX_SRC; i++) {
            const struct tevo_tensor * src = tensor->src[i];
            if (src == NULL || src == tensor) {
                continue;
            }
            src_ss[i] = meta_source_state(src);
            TEVO_ASSERT(src_ss[i].axis != TEVO_BACKEND_SPLIT_AXIS_UNKNOWN);
        }
        ret = meta_apply_rule(tensor, src_ss, n_bufs, sync);
        if (meta_axis_is_split(ret.axis)) {
            meta_derive_extents(tensor, src_ss, ret, n_bufs);
        }
    }

    // the recursion above may have emptied the cache; insert afresh
    buf_ctx->split_cache[key] = { ret, *tensor };

    if (buf_ctx->meta_debug > 0) {
        meta_log_state(tensor, src_ss, ret, n_bufs);
    }
    TEVO_ASSERT(ret.axis != TEVO_BACKEND_SPLIT_AXIS_NONE);
    return ret;
}
