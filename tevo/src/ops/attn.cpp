#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Fused attention and the lightning-indexer scoring operator.

#include "core/impl.h"

// q: [DK, n_q, H_q, B], k: [DK, n_kv, H_kv, B], v: [DV, n_kv, H_kv, B]
struct tevo_tensor * tevo_flash_attn_ext(struct tevo_context * ctx, struct tevo_tensor * q, struct tevo_tensor * k,
                                         struct tevo_tensor * v, struct tevo_tensor * mask, float scale,
                                         float max_bias, float logit_softcap) {
    TEVO_ASSERT(tevo_can_mul_mat(k, q));
    TEVO_ASSERT(q->ne[3] == k->ne[3]);
    TEVO_ASSERT(q->ne[3] == v->ne[3]);

    if (mask) {
        TEVO_ASSERT(mask->type == TEVO_TYPE_F16);
        TEVO_ASSERT(tevo_is_contiguous(mask));
        // the kernel reads one value per key from one row per query row;
        // padding beyond either is allowed
        TEVO_ASSERT(mask->ne[0] >= k->ne[1]);
        TEVO_ASSERT(mask->ne[1] >= q->ne[1]);
        // the mask broadcasts over heads and batches; an empty mask must not
        // turn these into divisions by zero
        TEVO_ASSERT_AS(tevo_is_multiple(q->ne[2], mask->ne[2]), "q->ne[2] % mask->ne[2] == 0");
        TEVO_ASSERT_AS(tevo_is_multiple(q->ne[3], mask->ne[3]), "q->ne[3] % mask->ne[3] == 0");
    }

    if (max_bias > 0.0f) {
        TEVO_ASSERT(mask);
    }

    // heads and query rows exchanged, so that the heads of one row lie side
    // by side: [DV, H_q, n_q, B]
    const int64_t ne[4] = { v->ne[0], q->ne[2], q->ne[1], q->ne[3] };
    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne);

    const float params[] = { scale, max_bias, logit_softcap };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_FLASH_ATTN_EXT;
    result->src[0] = q;
    result->src[1] = k;
    result->src[2] = v;
    result->src[3] = mask;

    return result;
}

void tevo_flash_attn_ext_set_prec(struct tevo_tensor * a, int32_t prec) {
    TEVO_ASSERT(a->op == TEVO_OP_FLASH_ATTN_EXT);
    tevo_set_op_params_i32(a, 3, prec);
}

int32_t tevo_flash_attn_ext_get_prec(const struct tevo_tensor * a) {
    TEVO_ASSERT(a->op == TEVO_OP_FLASH_ATTN_EXT);
    return tevo_get_op_params_i32(a, 3);
}

void tevo_flash_attn_ext_set_n_kv_max(struct tevo_tensor * a, int32_t n_kv_max) {
    TEVO_ASSERT(a->op == TEVO_OP_FLASH_ATTN_EXT);
    TEVO_ASSERT(n_kv_max >= 0);
    tevo_set_op_params_i32(a, 4, n_kv_max);
}

void tevo_flash_attn_ext_add_sinks(struct tevo_tensor * a, struct tevo_tensor * sinks) {
    if (!sinks) {
        a->src[4] = NULL;
        return;
    }

    TEVO_ASSERT(a->op == TEVO_OP_FLASH_ATTN_EXT);
    TEVO_ASSERT(a->src[4] == NULL);
    TEVO_ASSERT(a->src[0]->ne[2] == sinks->ne[0]);
    TEVO_ASSERT(sinks->type == TEVO_TYPE_F32);

    a->src[4] = sinks;
}

struct tevo_tensor * tevo_flash_attn_back(struct tevo_context * ctx, struct tevo_tensor * q, struct tevo_tensor * k,
                                          struct tevo_tensor * v, struct tevo_tensor * d, bool masked) {
    TEVO_UNUSED(ctx);
    TEVO_UNUSED(q);
    TEVO_UNUSED(k);
    TEVO_UNUSED(v);
    TEVO_UNUSED(d);
    TEVO_UNUSED(masked);
    TEVO_ABORT("TODO: adapt to tevo_flash_attn_ext() changes");
}

// q: [D, n_h, n_tokens, B], k: [D, 1, n_kv, B], weights: [n_h, n_tokens, 1, B],
// mask: [n_kv, n_tokens, 1, B_m]
struct tevo_tensor * tevo_lightning_indexer(struct tevo_context * ctx, struct tevo_tensor * q, struct tevo_tensor * k,
                                            struct tevo_tensor * weights, struct tevo_tensor * mask) {
    TEVO_ASSERT(q->type == TEVO_TYPE_F32);
    TEVO_ASSERT(weights->type == TEVO_TYPE_F32);
    TEVO_ASSERT(mask->type == TEVO_TYPE_F16);

    TEVO_ASSERT(q->ne[0] == k->ne[0]);
    TEVO_ASSERT(mask->ne[0] == k->ne[2]);
    TEVO_ASSERT(q->ne[1] == weights->ne[0]);
    TEVO_ASSERT(k->ne[1] == 1);
    TEVO_ASSERT(mask->ne[1] == q->ne[2]);
    TEVO_ASSERT(q->ne[2] == weights->ne[1]);
    TEVO_ASSERT(weights->ne[2] == 1);
    TEVO_ASSERT(mask->ne[2] == 1);
    TEVO_ASSERT(q->ne[3] == k->ne[3]);
    TEVO_ASSERT(k->ne[3] == weights->ne[3]);
    TEVO_ASSERT_AS(tevo_is_multiple(weights->ne[3], mask->ne[3]), "weights->ne[3] % mask->ne[3] == 0");

    // one score per key and query token
    const int64_t ne[4] = { mask->ne[0], mask->ne[1], 1, q->ne[3] };
    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne);

    result->op     = TEVO_OP_LIGHTNING_INDEXER;
    result->src[0] = q;
    result->src[1] = k;
    result->src[2] = weights;
    result->src[3] = mask;

    return result;
}
