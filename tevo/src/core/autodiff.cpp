#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Automatic differentiation. tevo_build_backward_expand walks a forward graph
// twice: forwards, to mark every node whose value depends on a parameter (and
// so needs a gradient), then backwards, turning each marked node's gradient
// into contributions to its sources with ordinary operator constructors. The
// contributions are appended to the same graph, so one computation gives the
// loss and every gradient. Gradients live in the graph's grads array by hash
// slot; parameters and losses may have accumulators (grad_accs) into which
// contributions are added in place, so that several backward runs sum up
// until tevo_graph_reset clears them.

#include "core/impl.h"

#include <stdio.h>

// ---------------------------------------------------------------------------
// adding a contribution to a slot's gradient

void tevo_add_or_set(struct tevo_context * ctx, struct tevo_cgraph * cgraph, size_t isrc, struct tevo_tensor * tensor) {
    struct tevo_tensor * src = cgraph->visited_hash_set.keys[isrc];
    TEVO_ASSERT(src);
    if (cgraph->grads[isrc]) {
        cgraph->grads[isrc] = cgraph->grad_accs[isrc] ? tevo_add_inplace(ctx, cgraph->grads[isrc], tensor)
                                                      : tevo_add(ctx, cgraph->grads[isrc], tensor);
    } else {
        cgraph->grads[isrc] = tensor;
    }
    tevo_format_name(cgraph->grads[isrc], "grad for %s", src->name);
    tevo_build_forward_expand(cgraph, cgraph->grads[isrc]);
}

void tevo_sub_or_set(struct tevo_context * ctx, struct tevo_cgraph * cgraph, size_t isrc, struct tevo_tensor * tensor) {
    struct tevo_tensor * src = cgraph->visited_hash_set.keys[isrc];
    TEVO_ASSERT(src);
    if (cgraph->grads[isrc]) {
        cgraph->grads[isrc] = cgraph->grad_accs[isrc] ? tevo_sub_inplace(ctx, cgraph->grads[isrc], tensor)
                                                      : tevo_sub(ctx, cgraph->grads[isrc], tensor);
    } else {
        cgraph->grads[isrc] = tevo_neg(ctx, tensor);
    }
    tevo_format_name(cgraph->grads[isrc], "grad for %s", src->name);
    tevo_build_forward_expand(cgraph, cgraph->grads[isrc]);
}

void tevo_add1_or_set(struct tevo_context * ctx, struct tevo_cgraph * cgraph, size_t isrc,
                      struct tevo_tensor * tensor) {
    struct tevo_tensor * src = cgraph->visited_hash_set.keys[isrc];
    TEVO_ASSERT(src);
    if (cgraph->grads[isrc]) {
        cgraph->grads[isrc] = cgraph->grad_accs[isrc] ? tevo_add1_inplace(ctx, cgraph->grads[isrc], tensor)
                                                      : tevo_add1(ctx, cgraph->grads[isrc], tensor);
    } else {
        cgraph->grads[isrc] = tevo_repeat(ctx, tensor, src);
    }
    tevo_format_name(cgraph->grads[isrc], "grad for %s", src->name);
    tevo_build_forward_expand(cgraph, cgraph->grads[isrc]);
}

// ---------------------------------------------------------------------------
// the rules

// A contribution computed over the node's full shape, summed back over the
// dimensions in which src was broadcast.
static struct tevo_tensor * tevo_reduce_to(struct tevo_context * ctx, struct tevo_tensor * t,
                                           struct tevo_tensor * src) {
    return tevo_are_same_shape(t, src) ? t : tevo_repeat_back(ctx, t, src);
}

// the window strides and byte offset of SET and ACC (words 0 to 3)
static void tevo_window_params(const struct tevo_tensor * t, size_t * nb1, size_t * nb2, size_t * nb3,
                               size_t * offset) {
    *nb1    = (size_t) (uint32_t) tevo_get_op_params_i32(t, 0);
    *nb2    = (size_t) (uint32_t) tevo_get_op_params_i32(t, 1);
    *nb3    = (size_t) (uint32_t) tevo_get_op_params_i32(t, 2);
    *offset = (size_t) (uint32_t) tevo_get_op_params_i32(t, 3);
}

// The gradient of a view: g added into the window of the source's gradient.
// A source without a gradient yet starts from zeros of its shape in F32, not
// from 0 × source, which is NaN wherever the source holds an infinity (masked
// scores) and would have the source's type; the window's offset and strides
// are then converted from the source's element size to the gradient's.
static void tevo_backward_view(struct tevo_context * ctx, struct tevo_cgraph * cgraph, struct tevo_tensor * tensor,
                               struct tevo_tensor * grad, size_t isrc0) {
    struct tevo_tensor * src0 = tensor->src[0];

    size_t offset = (size_t) tevo_get_op_params_u64(tensor, 0);
    size_t nb1    = tensor->nb[1];
    size_t nb2    = tensor->nb[2];
    size_t nb3    = tensor->nb[3];

    struct tevo_tensor * base     = cgraph->grads[isrc0];
    const enum tevo_type grad_type = base ? base->type : TEVO_TYPE_F32;

    if (src0->type != grad_type) {
        const size_t n0 = tevo_element_size(src0);
        const size_t ng = tevo_type_size(grad_type);
        TEVO_ASSERT(offset % n0 == 0);
        TEVO_ASSERT(nb1 % n0 == 0);
        TEVO_ASSERT(nb2 % n0 == 0);
        TEVO_ASSERT(nb3 % n0 == 0);
        offset = (offset / n0) * ng;
        nb1    = (nb1 / n0) * ng;
        nb2    = (nb2 / n0) * ng;
        nb3    = (nb3 / n0) * ng;
    }

    if (base) {
        cgraph->grads[isrc0] = cgraph->grad_accs[isrc0]
                                   ? tevo_acc_inplace(ctx, base, grad, nb1, nb2, nb3, offset)
                                   : tevo_acc(ctx, base, grad, nb1, nb2, nb3, offset);
    } else {
        struct tevo_tensor * zeros =
            tevo_fill_inplace(ctx, tevo_new_tensor(ctx, TEVO_TYPE_F32, TEVO_MAX_DIMS, src0->ne), 0.0f);
        cgraph->grads[isrc0] = tevo_acc(ctx, zeros, grad, nb1, nb2, nb3, offset);
    }
    tevo_format_name(cgraph->grads[isrc0], "grad for %s", src0->name);
    tevo_build_forward_expand(cgraph, cgraph->grads[isrc0]);
}

static void tevo_backward_unary(struct tevo_context * ctx, struct tevo_cgraph * cgraph, struct tevo_tensor * tensor,
                                struct tevo_tensor * grad, size_t isrc0, bool src0_needs_grads) {
    struct tevo_tensor * src0 = tensor->src[0];
    const enum tevo_unary_op uop = tevo_get_unary_op(tensor);
    switch (uop) {
        case TEVO_UNARY_OP_ABS:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_mul(ctx, tevo_sgn(ctx, src0), grad));
            }
            break;
        case TEVO_UNARY_OP_SGN:
        case TEVO_UNARY_OP_STEP:
            // zero almost everywhere; the forward marking ignores their source
            break;
        case TEVO_UNARY_OP_NEG:
            if (src0_needs_grads) {
                tevo_sub_or_set(ctx, cgraph, isrc0, grad);
            }
            break;
        case TEVO_UNARY_OP_RELU:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_mul(ctx, tevo_step(ctx, src0), grad));
            }
            break;
        case TEVO_UNARY_OP_SILU:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_silu_back(ctx, grad, src0));
            }
            break;
        case TEVO_UNARY_OP_EXP:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_mul(ctx, tensor, grad));
            }
            break;
        case TEVO_UNARY_OP_EXPM1:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_mul(ctx, grad, tevo_exp(ctx, src0)));
            }
            break;
        case TEVO_UNARY_OP_SOFTPLUS:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_mul(ctx, grad, tevo_sigmoid(ctx, src0)));
            }
            break;
        default:
            fprintf(stderr, "%s: unsupported unary op for backward pass: %s\n", "tevo_compute_backward",
                    tevo_unary_op_name(uop));
            TEVO_ABORT("fatal error");
    }
}

// The contributions of node i's gradient to its sources.
static void tevo_compute_backward(struct tevo_context * ctx, struct tevo_cgraph * cgraph, int i,
                                  const bool * grads_needed) {
    struct tevo_tensor * tensor = cgraph->nodes[i];
    struct tevo_tensor * grad   = tevo_graph_get_grad(cgraph, tensor);
    if (!grad) {
        return;
    }

    struct tevo_tensor * src0 = tensor->src[0];
    struct tevo_tensor * src1 = tensor->src[1];
    struct tevo_tensor * src2 = tensor->src[2];

    const struct tevo_hash_set * hs = &cgraph->visited_hash_set;

    const size_t isrc0 = src0 ? tevo_hash_find(hs, src0) : (size_t) -1;
    const size_t isrc1 = src1 ? tevo_hash_find(hs, src1) : (size_t) -1;
    const size_t isrc2 = src2 ? tevo_hash_find(hs, src2) : (size_t) -1;

    const bool src0_needs_grads =
        src0 && isrc0 != TEVO_HASHSET_FULL && tevo_bitset_get(hs->used, isrc0) && grads_needed[isrc0];
    const bool src1_needs_grads =
        src1 && isrc1 != TEVO_HASHSET_FULL && tevo_bitset_get(hs->used, isrc1) && grads_needed[isrc1];
    const bool src2_needs_grads =
        src2 && isrc2 != TEVO_HASHSET_FULL && tevo_bitset_get(hs->used, isrc2) && grads_needed[isrc2];

    switch (tensor->op) {
        case TEVO_OP_DUP:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, grad);
            }
            break;
        case TEVO_OP_ADD:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, grad);
            }
            if (src1_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc1, tevo_reduce_to(ctx, grad, src1));
            }
            break;
        case TEVO_OP_ADD1:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, grad);
            }
            if (src1_needs_grads) {
                // the scalar was added to every element, so it collects all of them
                tevo_add_or_set(ctx, cgraph, isrc1, tevo_sum(ctx, grad));
            }
            break;
        case TEVO_OP_ACC:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, grad);
            }
            if (src1_needs_grads) {
                size_t nb1, nb2, nb3, offset;
                tevo_window_params(tensor, &nb1, &nb2, &nb3, &offset);
                struct tevo_tensor * view = tevo_view_4d(ctx, grad, src1->ne[0], src1->ne[1], src1->ne[2],
                                                         src1->ne[3], nb1, nb2, nb3, offset);
                tevo_add_or_set(ctx, cgraph, isrc1, tevo_reshape(ctx, tevo_cont(ctx, view), src1));
            }
            break;
        case TEVO_OP_SUB:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, grad);
            }
            if (src1_needs_grads) {
                tevo_sub_or_set(ctx, cgraph, isrc1, tevo_reduce_to(ctx, grad, src1));
            }
            break;
        case TEVO_OP_MUL:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_mul(ctx, grad, src1));
            }
            if (src1_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc1, tevo_reduce_to(ctx, tevo_mul(ctx, src0, grad), src1));
            }
            break;
        case TEVO_OP_DIV:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_div(ctx, grad, src1));
            }
            if (src1_needs_grads) {
                struct tevo_tensor * t = tevo_mul(ctx, grad, tevo_div(ctx, tensor, src1));
                tevo_sub_or_set(ctx, cgraph, isrc1, tevo_reduce_to(ctx, t, src1));
            }
            break;
        case TEVO_OP_SQR:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_scale(ctx, tevo_mul(ctx, src0, grad), 2.0f));
            }
            break;
        case TEVO_OP_SQRT:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_scale(ctx, tevo_div(ctx, grad, tensor), 0.5f));
            }
            break;
        case TEVO_OP_LOG:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_div(ctx, grad, src0));
            }
            break;
        case TEVO_OP_SIN:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_mul(ctx, grad, tevo_cos(ctx, src0)));
            }
            break;
        case TEVO_OP_COS:
            if (src0_needs_grads) {
                tevo_sub_or_set(ctx, cgraph, isrc0, tevo_mul(ctx, grad, tevo_sin(ctx, src0)));
            }
            break;
        case TEVO_OP_SUM:
            if (src0_needs_grads) {
                tevo_add1_or_set(ctx, cgraph, isrc0, grad);
            }
            break;
        case TEVO_OP_SUM_ROWS:
        case TEVO_OP_REPEAT_BACK:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_repeat(ctx, grad, src0));
            }
            break;
        case TEVO_OP_MEAN:
            if (src0_needs_grads) {
                // one value per row: spread back over the row like SUM_ROWS,
                // which also adds to a gradient the source already has
                struct tevo_tensor * g = tevo_scale(ctx, grad, 1.0f / (float) src0->ne[0]);
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_repeat(ctx, g, src0));
            }
            break;
        case TEVO_OP_REPEAT:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_repeat_back(ctx, grad, src0));
            }
            break;
        case TEVO_OP_RMS_NORM:
            if (src0_needs_grads) {
                const float eps = tevo_get_op_params_f32(tensor, 0);
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_rms_norm_back(ctx, grad, src0, eps));
            }
            break;
        case TEVO_OP_MUL_MAT:
            // src0: [K, M, a2, a3], src1: [K, N, b2, b3], tensor and grad: [M, N, b2, b3]
            if (src0_needs_grads) {
                TEVO_ASSERT(grad->ne[2] == src1->ne[2]);
                TEVO_ASSERT(grad->ne[3] == src1->ne[3]);
                struct tevo_tensor * tmp = tevo_out_prod(ctx, src1, grad);
                if (!tevo_are_same_shape(tmp, src0)) {
                    // src0's matrix i02 served src1's matrices i02·r .. i02·r + r - 1:
                    // view those r as a fourth dimension and sum it away
                    TEVO_ASSERT(tmp->ne[0] == src0->ne[0]);
                    TEVO_ASSERT(tmp->ne[1] == src0->ne[1]);
                    TEVO_ASSERT(tmp->ne[3] == 1);
                    const int64_t nr2 = tmp->ne[2] / src0->ne[2];
                    const size_t  nb2 = tmp->nb[2] * (size_t) nr2;
                    const size_t  nb3 = tmp->nb[2];
                    tmp = tevo_view_4d(ctx, tmp, src0->ne[0], src0->ne[1], src0->ne[2], nr2, tmp->nb[1], nb2, nb3, 0);
                    tmp = tevo_repeat_back(ctx, tmp, src0);
                }
                tevo_add_or_set(ctx, cgraph, isrc0, tmp);
            }
            if (src1_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc1, tevo_out_prod(ctx, src0, tevo_transpose(ctx, grad)));
            }
            break;
        case TEVO_OP_SCALE:
            if (src0_needs_grads) {
                const float s = tevo_get_op_params_f32(tensor, 0);
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_scale(ctx, grad, s));
            }
            break;
        case TEVO_OP_SET: {
            size_t nb1, nb2, nb3, offset;
            tevo_window_params(tensor, &nb1, &nb2, &nb3, &offset);

            struct tevo_tensor * grad_view = NULL;
            if (src0_needs_grads || src1_needs_grads) {
                TEVO_ASSERT(src0->type == tensor->type);
                TEVO_ASSERT(!cgraph->grads[isrc0] || cgraph->grads[isrc0]->type == grad->type);
                TEVO_ASSERT(!cgraph->grads[isrc1] || !src1_needs_grads || cgraph->grads[isrc1]->type == grad->type);
                grad_view = tevo_view_4d(ctx, grad, src1->ne[0], src1->ne[1], src1->ne[2], src1->ne[3], nb1, nb2,
                                         nb3, offset);
            }
            if (src0_needs_grads) {
                // the window was overwritten: src0 gets the gradient outside it only
                struct tevo_tensor * t = tevo_acc(ctx, grad, tevo_neg(ctx, grad_view), nb1, nb2, nb3, offset);
                tevo_add_or_set(ctx, cgraph, isrc0, t);
            }
            if (src1_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc1, tevo_reshape(ctx, tevo_cont(ctx, grad_view), src1));
            }
        } break;
        case TEVO_OP_CPY:
            // src1 only receives the copy; it has no influence on the result
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_reshape(ctx, grad, src0));
            }
            break;
        case TEVO_OP_CONT:
            if (src0_needs_grads) {
                TEVO_ASSERT(tevo_is_contiguous(grad));
                TEVO_ASSERT(!cgraph->grads[isrc0] || tevo_is_contiguous(cgraph->grads[isrc0]));
                TEVO_ASSERT(tevo_nelements(tensor) == tevo_nelements(src0));
                tevo_add_or_set(ctx, cgraph, isrc0,
                                tevo_are_same_shape(tensor, src0) ? grad : tevo_reshape(ctx, grad, src0));
            }
            break;
        case TEVO_OP_RESHAPE:
            if (src0_needs_grads) {
                struct tevo_tensor * g = tevo_is_contiguous(grad) ? grad : tevo_cont(ctx, grad);
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_reshape(ctx, g, src0));
            }
            break;
        case TEVO_OP_VIEW:
            if (src0_needs_grads) {
                tevo_backward_view(ctx, cgraph, tensor, grad, isrc0);
            }
            break;
        // A permuted gradient would go on to the source's own rule, its
        // optimiser step or its accumulator, whose kernels take packed rows;
        // even one that passes as contiguous (extents of 1 moved about) keeps
        // strides they do not expect. Both rules hand back a packed copy.
        case TEVO_OP_PERMUTE:
            if (src0_needs_grads) {
                // dimension i went to axis p[i]; the inverse sends p[i] back to i
                const int32_t * p      = tensor->op_params;
                int             inv[4] = { 0, 0, 0, 0 };
                inv[p[1]]              = 1;
                inv[p[2]]              = 2;
                inv[p[3]]              = 3;
                tevo_add_or_set(ctx, cgraph, isrc0,
                                tevo_cont(ctx, tevo_permute(ctx, grad, inv[0], inv[1], inv[2], inv[3])));
            }
            break;
        case TEVO_OP_TRANSPOSE:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_cont(ctx, tevo_transpose(ctx, grad)));
            }
            break;
        case TEVO_OP_GET_ROWS:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_get_rows_back(ctx, grad, src1, src0));
            }
            break;
        case TEVO_OP_DIAG_MASK_INF:
        case TEVO_OP_DIAG_MASK_ZERO:
            if (src0_needs_grads) {
                const int n_past = tevo_get_op_params_i32(tensor, 0);
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_diag_mask_zero(ctx, grad, n_past));
            }
            break;
        case TEVO_OP_SOFT_MAX:
            if (src0_needs_grads) {
                const float scale    = tevo_get_op_params_f32(tensor, 0);
                const float max_bias = tevo_get_op_params_f32(tensor, 1);
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_soft_max_ext_back(ctx, grad, tensor, scale, max_bias));
            }
            TEVO_ASSERT((!src1 || !src1_needs_grads) && "backward pass for softmax mask not implemented");
            break;
        case TEVO_OP_ROPE:
            if (src0_needs_grads) {
                const int   n_dims      = tevo_get_op_params_i32(tensor, 1);
                const int   mode        = tevo_get_op_params_i32(tensor, 2);
                const int   n_ctx_orig  = tevo_get_op_params_i32(tensor, 4);
                const float freq_base   = tevo_get_op_params_f32(tensor, 5);
                const float freq_scale  = tevo_get_op_params_f32(tensor, 6);
                const float ext_factor  = tevo_get_op_params_f32(tensor, 7);
                const float attn_factor = tevo_get_op_params_f32(tensor, 8);
                const float beta_fast   = tevo_get_op_params_f32(tensor, 9);
                const float beta_slow   = tevo_get_op_params_f32(tensor, 10);
                int         sections[4];
                memcpy(sections, tensor->op_params + 11, sizeof(sections));

                struct tevo_tensor * back =
                    grad->ne[2] == src1->ne[0]
                        ? tevo_rope_ext_back(ctx, grad, src1, src2, n_dims, mode, n_ctx_orig, freq_base, freq_scale,
                                             ext_factor, attn_factor, beta_fast, beta_slow)
                        : tevo_rope_multi_back(ctx, grad, src1, src2, n_dims, sections, mode, n_ctx_orig, freq_base,
                                               freq_scale, ext_factor, attn_factor, beta_fast, beta_slow);
                // the first rotated dimension is a rotation parameter too
                tevo_set_op_params_i32(back, 15, tevo_get_op_params_i32(tensor, 15));
                tevo_add_or_set(ctx, cgraph, isrc0, back);
            }
            TEVO_ASSERT((!src2 || !src2_needs_grads) && "gradients for freq factors not implemented");
            break;
        case TEVO_OP_IM2COL:
            if (src1_needs_grads) {
                const int  s0    = tevo_get_op_params_i32(tensor, 0);
                const int  s1    = tevo_get_op_params_i32(tensor, 1);
                const int  p0    = tevo_get_op_params_i32(tensor, 2);
                const int  p1    = tevo_get_op_params_i32(tensor, 3);
                const int  d0    = tevo_get_op_params_i32(tensor, 4);
                const int  d1    = tevo_get_op_params_i32(tensor, 5);
                const bool is_2D = tevo_get_op_params_i32(tensor, 6) == 1;
                tevo_add_or_set(ctx, cgraph, isrc1,
                                tevo_im2col_back(ctx, grad, src0, src1->ne, s0, s1, p0, p1, d0, d1, is_2D));
            }
            break;
        case TEVO_OP_POOL_2D:
            if (src0_needs_grads) {
                const enum tevo_op_pool op = (enum tevo_op_pool) tevo_get_op_params_i32(tensor, 0);
                const int               k0 = tevo_get_op_params_i32(tensor, 1);
                const int               k1 = tevo_get_op_params_i32(tensor, 2);
                const int               s0 = tevo_get_op_params_i32(tensor, 3);
                const int               s1 = tevo_get_op_params_i32(tensor, 4);
                const int               p0 = tevo_get_op_params_i32(tensor, 5);
                const int               p1 = tevo_get_op_params_i32(tensor, 6);
                tevo_add_or_set(ctx, cgraph, isrc0,
                                tevo_pool_2d_back(ctx, grad, src0, op, k0, k1, s0, s1, (float) p0, (float) p1));
            }
            break;
        case TEVO_OP_CROSS_ENTROPY_LOSS:
            if (src0_needs_grads) {
                tevo_add_or_set(ctx, cgraph, isrc0, tevo_cross_entropy_loss_back(ctx, grad, src0, src1));
            }
            TEVO_ASSERT(!src1_needs_grads && "backward pass for labels not implemented");
            break;
        case TEVO_OP_GLU:
            switch (tevo_get_glu_op(tensor)) {
                case TEVO_GLU_OP_SWIGLU:
                    if (src0_needs_grads) {
                        TEVO_ASSERT(src1 && "backward pass only implemented for split swiglu");
                        tevo_add_or_set(ctx, cgraph, isrc0, tevo_silu_back(ctx, tevo_mul(ctx, grad, src1), src0));
                    }
                    if (src1_needs_grads) {
                        tevo_add_or_set(ctx, cgraph, isrc1, tevo_mul(ctx, tevo_silu(ctx, src0), grad));
                    }
                    break;
                default:
                    TEVO_ABORT("unsupported glu op for backward pass: %s", tevo_glu_op_name(tevo_get_glu_op(tensor)));
            }
            break;
        case TEVO_OP_WIN_PART:
        case TEVO_OP_WIN_UNPART:
        case TEVO_OP_UNARY:
            // the window operators have no rule: reading their word 0 as a
            // unary function fails the operator check
            tevo_backward_unary(ctx, cgraph, tensor, grad, isrc0, src0_needs_grads);
            break;
        case TEVO_OP_NONE:
            break;
        default:
            fprintf(stderr, "%s: unsupported tevo op for backward pass: %s\n", "tevo_compute_backward",
                    tevo_op_name(tensor->op));
            TEVO_ABORT("fatal error");
    }

    TEVO_ASSERT(!src0_needs_grads || tevo_are_same_shape(src0, cgraph->grads[isrc0]));
    TEVO_ASSERT(!src1_needs_grads || tevo_are_same_shape(src1, cgraph->grads[isrc1]));
    TEVO_ASSERT(!src2_needs_grads || tevo_are_same_shape(src2, cgraph->grads[isrc2]));
}

// ---------------------------------------------------------------------------
// building the backward graph

void tevo_build_backward_expand(struct tevo_context * ctx, struct tevo_cgraph * cgraph,
                                struct tevo_tensor ** grad_accs) {
    TEVO_ASSERT(cgraph->n_nodes > 0);
    TEVO_ASSERT(cgraph->grads);
    TEVO_ASSERT(cgraph->grad_accs);

    // the nodes appended below are not walked again
    const int    n_nodes_f = cgraph->n_nodes;
    const size_t hash_size = cgraph->visited_hash_set.size;

    memset(cgraph->grads, 0, hash_size * sizeof(struct tevo_tensor *));
    memset(cgraph->grad_accs, 0, hash_size * sizeof(struct tevo_tensor *));
    bool * grads_needed = (bool *) tevo_calloc(hash_size, sizeof(bool));

    {
        bool any_params = false;
        bool any_loss   = false;
        for (int i = 0; i < n_nodes_f; ++i) {
            const struct tevo_tensor * node = cgraph->nodes[i];
            any_params = any_params || (node->flags & TEVO_TENSOR_FLAG_PARAM);
            any_loss   = any_loss || (node->flags & TEVO_TENSOR_FLAG_LOSS);
        }
        TEVO_ASSERT(any_params && "no trainable parameters found, did you forget to call tevo_set_param?");
        TEVO_ASSERT(any_loss && "no training loss found, did you forget to call tevo_set_loss?");
    }

    for (int i = 0; i < n_nodes_f; ++i) {
        struct tevo_tensor * node = cgraph->nodes[i];

        if (node->type == TEVO_TYPE_I32) {
            continue;
        }

        bool node_needs_grad = (node->flags & TEVO_TENSOR_FLAG_PARAM) || (node->flags & TEVO_TENSOR_FLAG_LOSS);

        // sources that only steer the operation (indices, positions, shapes)
        bool ignore_src[TEVO_MAX_SRC] = { false };
        switch (node->op) {
            case TEVO_OP_CPY:
            case TEVO_OP_GET_ROWS:
            case TEVO_OP_GET_ROWS_BACK:
            case TEVO_OP_ROPE:
                ignore_src[1] = true;
                break;
            case TEVO_OP_IM2COL:
            case TEVO_OP_IM2COL_BACK:
                ignore_src[0] = true;
                break;
            case TEVO_OP_UNARY: {
                const enum tevo_unary_op uop = tevo_get_unary_op(node);
                if (uop == TEVO_UNARY_OP_SGN || uop == TEVO_UNARY_OP_STEP) {
                    ignore_src[0] = true;
                }
            } break;
            default:
                break;
        }

        for (int j = 0; j < TEVO_MAX_SRC; ++j) {
            struct tevo_tensor * src = node->src[j];
            if (!src || ignore_src[j]) {
                continue;
            }
            const size_t isrc = tevo_hash_find(&cgraph->visited_hash_set, src);
            if (isrc == TEVO_HASHSET_FULL || !tevo_bitset_get(cgraph->visited_hash_set.used, isrc) ||
                !grads_needed[isrc]) {
                continue;
            }
            TEVO_ASSERT(node->src[j]->type == TEVO_TYPE_F32 || node->src[j]->type == TEVO_TYPE_F16);
            node_needs_grad = true;
            break;
        }
        if (!node_needs_grad) {
            continue;
        }

        // results written into their source's memory have no rule
        TEVO_ASSERT(!node->view_src || node->op == TEVO_OP_CPY || node->op == TEVO_OP_SET_ROWS ||
                    node->op == TEVO_OP_VIEW || node->op == TEVO_OP_RESHAPE || node->op == TEVO_OP_PERMUTE ||
                    node->op == TEVO_OP_TRANSPOSE);

        const size_t ihash = tevo_hash_find(&cgraph->visited_hash_set, node);
        TEVO_ASSERT(ihash != TEVO_HASHSET_FULL);
        TEVO_ASSERT(tevo_bitset_get(cgraph->visited_hash_set.used, ihash));
        if (grad_accs && grad_accs[i]) {
            cgraph->grad_accs[ihash] = grad_accs[i];
            cgraph->grads[ihash]     = cgraph->grad_accs[ihash];
        } else if (node->flags & TEVO_TENSOR_FLAG_LOSS) {
            // the loss's own gradient: 1, written by tevo_graph_reset
            cgraph->grad_accs[ihash] = tevo_new_tensor(ctx, TEVO_TYPE_F32, TEVO_MAX_DIMS, node->ne);
            cgraph->grads[ihash]     = cgraph->grad_accs[ihash];
        }
        grads_needed[ihash] = true;
    }

    for (int i = n_nodes_f - 1; i >= 0; --i) {
        tevo_compute_backward(ctx, cgraph, i, grads_needed);
    }

    free(grads_needed);
}
