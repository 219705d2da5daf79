#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Sequence-model operators that carry a recurrent state, and the windowed
// attention helpers of vision transformers. The recurrent results hold the
// per-token outputs followed by the final states; callers take both out
// with views.

#include "core/impl.h"

#ifndef MAX
#define MAX(a, b) ((a) > (b) ? (a) : (b))
#endif

// state-space models

// sx: [d_conv - 1 + n_t, d_inner, n_s], c: [d_conv, d_inner]
struct tevo_tensor * tevo_ssm_conv(struct tevo_context * ctx, struct tevo_tensor * sx, struct tevo_tensor * c) {
    TEVO_ASSERT(tevo_is_3d(sx));
    TEVO_ASSERT(tevo_is_matrix(c));

    const int64_t d_conv  = c->ne[0];
    const int64_t d_inner = c->ne[1];
    const int64_t n_t     = sx->ne[0] - d_conv + 1;
    const int64_t n_s     = sx->ne[2];

    TEVO_ASSERT(sx->ne[1] == d_inner);
    TEVO_ASSERT(n_t >= 0);

    struct tevo_tensor * result = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, d_inner, n_t, n_s);

    result->op     = TEVO_OP_SSM_CONV;
    result->src[0] = sx;
    result->src[1] = c;

    return result;
}

struct tevo_tensor * tevo_ssm_scan(struct tevo_context * ctx, struct tevo_tensor * s, struct tevo_tensor * x,
                                   struct tevo_tensor * dt, struct tevo_tensor * A, struct tevo_tensor * B,
                                   struct tevo_tensor * C, struct tevo_tensor * ids, int64_t K) {
    TEVO_ASSERT(K >= 1);
    TEVO_ASSERT(K <= INT32_MAX);
    TEVO_ASSERT(tevo_is_contiguous(s));
    TEVO_ASSERT(tevo_is_contiguous(dt));
    TEVO_ASSERT(tevo_is_contiguous(A));
    TEVO_ASSERT(x->nb[0] == tevo_type_size(x->type));
    TEVO_ASSERT(B->nb[0] == tevo_type_size(B->type));
    TEVO_ASSERT(C->nb[0] == tevo_type_size(C->type));
    TEVO_ASSERT(x->nb[1] == x->ne[0]*x->nb[0]);
    TEVO_ASSERT(B->nb[1] == B->ne[0]*B->nb[0]);
    TEVO_ASSERT(C->nb[1] == C->ne[0]*C->nb[0]);
    TEVO_ASSERT(tevo_are_same_shape(B, C));
    TEVO_ASSERT(ids->type == TEVO_TYPE_I32);

    const int64_t d_state      = s->ne[0];
    const int64_t head_dim     = x->ne[0];
    const int64_t n_head       = x->ne[1];
    const int64_t n_seq_tokens = x->ne[2];
    const int64_t n_seqs       = x->ne[3];

    TEVO_ASSERT(dt->ne[0] == n_head);
    TEVO_ASSERT(dt->ne[1] == n_seq_tokens);
    TEVO_ASSERT(dt->ne[2] == n_seqs);
    TEVO_ASSERT(tevo_is_3d(dt));
    TEVO_ASSERT(s->ne[1] == head_dim);
    TEVO_ASSERT(s->ne[2] == n_head);
    TEVO_ASSERT(B->ne[0] == d_state);
    TEVO_ASSERT(B->ne[2] == n_seq_tokens);
    TEVO_ASSERT(B->ne[3] == n_seqs);
    TEVO_ASSERT(ids->ne[0] == n_seqs);
    TEVO_ASSERT(tevo_is_vector(ids));
    TEVO_ASSERT(A->ne[1] == n_head);
    TEVO_ASSERT(tevo_is_matrix(A));

    if (A->ne[0] != 1) {
        // a decay per state element allows only one kept state
        TEVO_ASSERT(A->ne[0] == d_state);
        TEVO_ASSERT(K == 1);
    }

    // the outputs y, then K states per sequence
    struct tevo_tensor * result =
        tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, head_dim * n_head * n_seqs * (n_seq_tokens + K * d_state));

    tevo_set_op_params_i32(result, 0, (int32_t) K);

    result->op     = TEVO_OP_SSM_SCAN;
    result->src[0] = s;
    result->src[1] = x;
    result->src[2] = dt;
    result->src[3] = A;
    result->src[4] = B;
    result->src[5] = C;
    result->src[6] = ids;

    return result;
}

// linear attention: every per-token input is [S, H, n_tokens], the state
// holds S * S * H values per sequence

struct tevo_tensor * tevo_rwkv_wkv6(struct tevo_context * ctx, struct tevo_tensor * k, struct tevo_tensor * v,
                                    struct tevo_tensor * r, struct tevo_tensor * tf, struct tevo_tensor * td,
                                    struct tevo_tensor * state) {
    TEVO_ASSERT(tevo_is_contiguous(k));
    TEVO_ASSERT(tevo_is_contiguous(v));
    TEVO_ASSERT(tevo_is_contiguous(r));
    TEVO_ASSERT(tevo_is_contiguous(tf));
    TEVO_ASSERT(tevo_is_contiguous(td));
    TEVO_ASSERT(tevo_is_contiguous(state));

    // the kernel reads every input as floats
    TEVO_ASSERT(k->type == TEVO_TYPE_F32);
    TEVO_ASSERT(v->type == TEVO_TYPE_F32);
    TEVO_ASSERT(r->type == TEVO_TYPE_F32);
    TEVO_ASSERT(tf->type == TEVO_TYPE_F32);
    TEVO_ASSERT(td->type == TEVO_TYPE_F32);
    TEVO_ASSERT(state->type == TEVO_TYPE_F32);

    const int64_t S        = k->ne[0];
    const int64_t H        = k->ne[1];
    const int64_t n_tokens = k->ne[2];
    const int64_t n_seqs   = state->ne[1];
    {
        TEVO_ASSERT(v->ne[0] == S && v->ne[1] == H && v->ne[2] == n_tokens);
        TEVO_ASSERT(r->ne[0] == S && r->ne[1] == H && r->ne[2] == n_tokens);
        TEVO_ASSERT(td->ne[0] == S && td->ne[1] == H && td->ne[2] == n_tokens);
        TEVO_ASSERT(tevo_nelements(state) == S * S * H * n_seqs);
        // one bonus per head and channel
        TEVO_ASSERT(tf->ne[0] == S && tf->ne[1] == H && tevo_nelements(tf) == S * H);
        // the tokens are n_seqs sequences of equal length
        TEVO_ASSERT_AS(n_seqs > 0 && tevo_is_multiple(n_tokens, n_seqs), "n_seqs > 0 && n_tokens % n_seqs == 0");
    }

    const int64_t ne[4] = { S * H, n_tokens + S * n_seqs, 1, 1 };
    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne);

    result->op     = TEVO_OP_RWKV_WKV6;
    result->src[0] = k;
    result->src[1] = v;
    result->src[2] = r;
    result->src[3] = tf;
    result->src[4] = td;
    result->src[5] = state;

    return result;
}

struct tevo_tensor * tevo_gated_linear_attn(struct tevo_context * ctx, struct tevo_tensor * k, struct tevo_tensor * v,
                                            struct tevo_tensor * q, struct tevo_tensor * g,
                                            struct tevo_tensor * state, float scale) {
    TEVO_ASSERT(tevo_is_contiguous(k));
    TEVO_ASSERT(tevo_is_contiguous(v));
    TEVO_ASSERT(tevo_is_contiguous(q));
    TEVO_ASSERT(tevo_is_contiguous(g));
    TEVO_ASSERT(tevo_is_contiguous(state));

    TEVO_ASSERT(k->type == TEVO_TYPE_F32);
    TEVO_ASSERT(v->type == TEVO_TYPE_F32);
    TEVO_ASSERT(q->type == TEVO_TYPE_F32);
    TEVO_ASSERT(g->type == TEVO_TYPE_F32);
    TEVO_ASSERT(state->type == TEVO_TYPE_F32);

    const int64_t S        = k->ne[0];
    const int64_t H        = k->ne[1];
    const int64_t n_tokens = k->ne[2];
    const int64_t n_seqs   = state->ne[1];
    {
        TEVO_ASSERT(v->ne[0] == S && v->ne[1] == H && v->ne[2] == n_tokens);
        TEVO_ASSERT(q->ne[0] == S && q->ne[1] == H && q->ne[2] == n_tokens);
        TEVO_ASSERT(g->ne[0] == S && g->ne[1] == H && g->ne[2] == n_tokens);
        TEVO_ASSERT(tevo_nelements(state) == S * S * H * n_seqs);
        TEVO_ASSERT_AS(n_seqs > 0 && tevo_is_multiple(n_tokens, n_seqs), "n_seqs > 0 && n_tokens % n_seqs == 0");
    }

    const int64_t ne[4] = { S * H, n_tokens + S * n_seqs, 1, 1 };
    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne);

    tevo_set_op_params_f32(result, 0, scale);

    result->op     = TEVO_OP_GATED_LINEAR_ATTN;
    result->src[0] = k;
    result->src[1] = v;
    result->src[2] = q;
    result->src[3] = g;
    result->src[4] = state;

    return result;
}

struct tevo_tensor * tevo_rwkv_wkv7(struct tevo_context * ctx, struct tevo_tensor * r, struct tevo_tensor * w,
                                    struct tevo_tensor * k, struct tevo_tensor * v, struct tevo_tensor * a,
                                    struct tevo_tensor * b, struct tevo_tensor * state) {
    TEVO_ASSERT(tevo_is_contiguous(r));
    TEVO_ASSERT(tevo_is_contiguous(w));
    TEVO_ASSERT(tevo_is_contiguous(k));
    TEVO_ASSERT(tevo_is_contiguous(v));
    TEVO_ASSERT(tevo_is_contiguous(a));
    TEVO_ASSERT(tevo_is_contiguous(b));
    TEVO_ASSERT(tevo_is_contiguous(state));

    TEVO_ASSERT(r->type == TEVO_TYPE_F32);
    TEVO_ASSERT(w->type == TEVO_TYPE_F32);
    TEVO_ASSERT(k->type == TEVO_TYPE_F32);
    TEVO_ASSERT(v->type == TEVO_TYPE_F32);
    TEVO_ASSERT(a->type == TEVO_TYPE_F32);
    TEVO_ASSERT(b->type == TEVO_TYPE_F32);
    TEVO_ASSERT(state->type == TEVO_TYPE_F32);

    const int64_t S        = k->ne[0];
    const int64_t H        = k->ne[1];
    const int64_t n_tokens = k->ne[2];
    const int64_t n_seqs   = state->ne[1];
    {
        TEVO_ASSERT(w->ne[0] == S && w->ne[1] == H && w->ne[2] == n_tokens);
        TEVO_ASSERT(v->ne[0] == S && v->ne[1] == H && v->ne[2] == n_tokens);
        TEVO_ASSERT(a->ne[0] == S && a->ne[1] == H && a->ne[2] == n_tokens);
        TEVO_ASSERT(b->ne[0] == S && b->ne[1] == H && b->ne[2] == n_tokens);
        TEVO_ASSERT(tevo_nelements(state) == S * S * H * n_seqs);
        TEVO_ASSERT(r->ne[0] == S && r->ne[1] == H && r->ne[2] == n_tokens);
        TEVO_ASSERT_AS(n_seqs > 0 && tevo_is_multiple(n_tokens, n_seqs), "n_seqs > 0 && n_tokens % n_seqs == 0");
    }

    const int64_t ne[4] = { S * H, n_tokens + S * n_seqs, 1, 1 };
    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne);

    result->op     = TEVO_OP_RWKV_WKV7;
    result->src[0] = r;
    result->src[1] = w;
    result->src[2] = k;
    result->src[3] = v;
    result->src[4] = a;
    result->src[5] = b;
    result->src[6] = state;

    return result;
}

// v: [S_v, H, n_tokens, n_seqs], state: [S_v, S_v, H, n_seqs]
struct tevo_tensor * tevo_gated_delta_net(struct tevo_context * ctx, struct tevo_tensor * q, struct tevo_tensor * k,
                                          struct tevo_tensor * v, struct tevo_tensor * g, struct tevo_tensor * beta,
                                          struct tevo_tensor * state, int K) {
    TEVO_ASSERT(tevo_is_contiguous_rows(q));
    TEVO_ASSERT(tevo_is_contiguous_rows(k));
    TEVO_ASSERT(tevo_is_contiguous_rows(v));
    TEVO_ASSERT(tevo_is_contiguous(g));
    TEVO_ASSERT(tevo_is_contiguous(beta));
    TEVO_ASSERT(tevo_is_contiguous(state));

    TEVO_ASSERT(q->type == TEVO_TYPE_F32);
    TEVO_ASSERT(k->type == TEVO_TYPE_F32);
    TEVO_ASSERT(v->type == TEVO_TYPE_F32);
    TEVO_ASSERT(g->type == TEVO_TYPE_F32);
    TEVO_ASSERT(beta->type == TEVO_TYPE_F32);
    TEVO_ASSERT(state->type == TEVO_TYPE_F32);

    const int64_t S_v      = v->ne[0];
    const int64_t H        = v->ne[1];
    const int64_t n_tokens = v->ne[2];
    const int64_t n_seqs   = v->ne[3];

    // a scalar gate or one per value element
    TEVO_ASSERT(g->ne[0] == 1 || g->ne[0] == S_v);
    TEVO_ASSERT(beta->ne[0] == 1);

    TEVO_ASSERT(state->ne[0] == S_v);
    TEVO_ASSERT(state->ne[1] == S_v);
    TEVO_ASSERT(state->ne[2] == H);
    TEVO_ASSERT(state->ne[3] == n_seqs);
    TEVO_ASSERT(K >= 1);

    // the kernel reads S_v values of every q and k row, token by token, and
    // one gate and one strength per head, token and sequence
    TEVO_ASSERT(q->ne[0] == S_v);
    TEVO_ASSERT(k->ne[0] == S_v);
    TEVO_ASSERT(q->ne[2] == n_tokens);
    TEVO_ASSERT(k->ne[2] == n_tokens);
    TEVO_ASSERT(g->ne[1] == H && g->ne[2] == n_tokens && g->ne[3] == n_seqs);
    TEVO_ASSERT(beta->ne[1] == H && beta->ne[2] == n_tokens && beta->ne[3] == n_seqs);
    // q and k heads repeat cyclically over H, their sequences in whole groups
    TEVO_ASSERT(q->ne[1] >= 1 && k->ne[1] >= 1);
    TEVO_ASSERT_AS(q->ne[3] >= 1 && tevo_is_multiple(n_seqs, q->ne[3]), "q->ne[3] >= 1 && n_seqs % q->ne[3] == 0");
    TEVO_ASSERT_AS(k->ne[3] >= 1 && tevo_is_multiple(n_seqs, k->ne[3]), "k->ne[3] >= 1 && n_seqs % k->ne[3] == 0");

    const int64_t ne[4] = { S_v * H, n_seqs * (n_tokens + K * S_v), 1, 1 };
    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne);

    tevo_set_op_params_i32(result, 0, K);

    result->op     = TEVO_OP_GATED_DELTA_NET;
    result->src[0] = q;
    result->src[1] = k;
    result->src[2] = v;
    result->src[3] = g;
    result->src[4] = beta;
    result->src[5] = state;

    return result;
}

// windowed attention

// a: [C, W, H, 1] -> [C, w, w, npx * npy], W and H padded to multiples of w
struct tevo_tensor * tevo_win_part(struct tevo_context * ctx, struct tevo_tensor * a, int w) {
    TEVO_ASSERT(a->ne[3] == 1);
    TEVO_ASSERT(a->type == TEVO_TYPE_F32);
    // the paddings and window counts divide by w
    TEVO_ASSERT(w > 0);

    const int64_t px = (w - a->ne[1] % w) % w;
    const int64_t py = (w - a->ne[2] % w) % w;

    const int64_t npx = (px + a->ne[1]) / w;
    const int64_t npy = (py + a->ne[2]) / w;
    const int64_t np  = npx * npy;

    const int64_t ne[4] = { a->ne[0], w, w, np };
    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, ne);

    const int32_t params[] = { (int32_t) npx, (int32_t) npy, w };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_WIN_PART;
    result->src[0] = a;

    return result;
}

struct tevo_tensor * tevo_win_unpart(struct tevo_context * ctx, struct tevo_tensor * a, int w0, int h0, int w) {
    TEVO_ASSERT(a->type == TEVO_TYPE_F32);
    // a: [C, w, w, windows] with a window for every position of the w0 x h0 map
    TEVO_ASSERT(w > 0);
    TEVO_ASSERT(w0 >= 0 && h0 >= 0);
    TEVO_ASSERT(a->ne[1] == w && a->ne[2] == w);
    TEVO_ASSERT(a->ne[3] >= (int64_t) ((w0 + w - 1) / w) * ((h0 + w - 1) / w));

    const int64_t ne[4] = { a->ne[0], w0, h0, 1 };
    struct tevo_tensor * result = tevo_new_tensor(ctx, TEVO_TYPE_F32, 3, ne);

    const int32_t params[] = { w };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_WIN_UNPART;
    result->src[0] = a;

    return result;
}

// a: [C, 2 * qh - 1]
struct tevo_tensor * tevo_get_rel_pos(struct tevo_context * ctx, struct tevo_tensor * a, int qh, int kh) {
    TEVO_ASSERT(qh == kh);
    TEVO_ASSERT(2*MAX(qh, kh) - 1 == a->ne[1]);

    const int64_t ne[4] = { a->ne[0], kh, qh, 1 };
    // the rows are copied bit for bit, so a brain-float table gives brain floats
    const enum tevo_type type   = a->type == TEVO_TYPE_BF16 ? TEVO_TYPE_BF16 : TEVO_TYPE_F16;
    struct tevo_tensor * result = tevo_new_tensor(ctx, type, 3, ne);

    result->op     = TEVO_OP_GET_REL_POS;
    result->src[0] = a;

    return result;
}

static struct tevo_tensor * tevo_add_rel_pos_impl(struct tevo_context * ctx, struct tevo_tensor * a,
                                                  struct tevo_tensor * pw, struct tevo_tensor * ph, bool inplace) {
    TEVO_ASSERT(tevo_are_same_shape(pw, ph));
    TEVO_ASSERT(tevo_is_contiguous(a));
    TEVO_ASSERT(tevo_is_contiguous(pw));
    TEVO_ASSERT(tevo_is_contiguous(ph));
    TEVO_ASSERT(ph->type == TEVO_TYPE_F32);
    TEVO_ASSERT(pw->type == TEVO_TYPE_F32);
    TEVO_ASSERT(pw->ne[3] == a->ne[2]);
    TEVO_ASSERT(pw->ne[0]*pw->ne[0] == a->ne[0]);
    TEVO_ASSERT(pw->ne[1]*pw->ne[2] == a->ne[1]);

    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);

    tevo_set_op_params_i32(result, 0, inplace ? 1 : 0);

    result->op     = TEVO_OP_ADD_REL_POS;
    result->src[0] = a;
    result->src[1] = pw;
    result->src[2] = ph;

    return result;
}

struct tevo_tensor * tevo_add_rel_pos(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * pw,
                                      struct tevo_tensor * ph) {
    return tevo_add_rel_pos_impl(ctx, a, pw, ph, false);
}

struct tevo_tensor * tevo_add_rel_pos_inplace(struct tevo_context * ctx, struct tevo_tensor * a,
                                              struct tevo_tensor * pw, struct tevo_tensor * ph) {
    return tevo_add_rel_pos_impl(ctx, a, pw, ph, true);
}
