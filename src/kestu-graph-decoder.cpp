#include "kestu-impl.h"

// Text decoder graph: token and position embeddings, self-attention over
// kv_self, cross-attention over kv_cross, and the logits of every token;
// optionally collects the cross-attention weights of the alignment heads.
//
// Queries and keys each carry d_head^-1/4, so the self-attention softmax
// scale is 1. The self-attention views kv_self's first n cells and the
// "KQ_mask" input keeps every token to its own sequence's earlier cells; the
// cross-attention views exactly the n_audio positions of this run's window in
// both paths (the fused path's layer stride is pad256(n_audio)).

static int pad256(int x) {
    return (x + 255) & ~255;
}

// x: [n, m] -> norm(x) * w + b, per column
static tevo_tensor * layer_norm(tevo_context * ctx0, tevo_tensor * x, tevo_tensor * w, tevo_tensor * b, float eps) {
    return tevo_add(ctx0, tevo_mul(ctx0, tevo_norm(ctx0, x, eps), w), b);
}

// x: [n_in, m], w: [n_in, n_out] -> [n_out, m]
static tevo_tensor * linear(tevo_context * ctx0, tevo_tensor * w, tevo_tensor * b, tevo_tensor * x) {
    tevo_tensor * y = tevo_mul_mat(ctx0, w, x);
    return b ? tevo_add(ctx0, y, b) : y;
}

struct decoder_graph_sizes {
    int n_tokens;
    int n_kv;       // self-attention cells viewed
    int kv_head;    // first cell of this batch
    int n_ctx_self; // cells per layer in kv_self
    int n_audio;    // audio positions of the window
    int n_state;
    int n_head;
    int d_head;
};

// self-attention of one layer; x: [n_state, n_tokens] (normed) -> [n_state, n_tokens]
static tevo_tensor * self_attention(kestu_context & ctx, kestu_state & state, tevo_context * ctx0, tevo_cgraph * gf,
                                    const kestu_layer_decoder & layer, tevo_tensor * x, tevo_tensor * mask,
                                    tevo_tensor * mask16, const decoder_graph_sizes & s, int il, float Kscale) {
    tevo_tensor * k  = state.kv_self.k;
    tevo_tensor * v  = state.kv_self.v;
    const size_t  es = tevo_element_size(k);

    tevo_tensor * Qc = tevo_scale(ctx0, linear(ctx0, layer.attn_q_w, layer.attn_q_b, x), Kscale);
    tevo_tensor * Kc = tevo_scale(ctx0, linear(ctx0, layer.attn_k_w, nullptr, x), Kscale);
    tevo_tensor * Vc = linear(ctx0, layer.attn_v_w, layer.attn_v_b, x);

    // layer offset in elements
    const size_t t = (size_t) il * s.n_ctx_self * s.n_state;

    tevo_tensor * k_dst = tevo_view_1d(ctx0, k, (int64_t) s.n_tokens * s.n_state, (t + (size_t) s.kv_head * s.n_state) * es);
    tevo_tensor * v_dst = nullptr;
    if (ctx.params.flash_attn) {
        v_dst = tevo_view_1d(ctx0, v, (int64_t) s.n_tokens * s.n_state, (t + (size_t) s.kv_head * s.n_state) * es);
    } else {
        // V stored transposed: one row of n_ctx_self cells per channel
        Vc    = tevo_transpose(ctx0, tevo_reshape_2d(ctx0, Vc, s.n_state, s.n_tokens));
        v_dst = tevo_view_2d(ctx0, v, s.n_tokens, s.n_state, (size_t) s.n_ctx_self * es, (t + s.kv_head) * es);
    }
    tevo_build_forward_expand(gf, tevo_cpy(ctx0, Kc, k_dst));
    tevo_build_forward_expand(gf, tevo_cpy(ctx0, Vc, v_dst));

    // [d_head, n_tokens, n_head]
    tevo_tensor * Qh = tevo_permute(ctx0, tevo_reshape_3d(ctx0, Qc, s.d_head, s.n_head, s.n_tokens), 0, 2, 1, 3);
    // [d_head, n_kv, n_head]
    tevo_tensor * Kv = tevo_view_3d(ctx0, k, s.d_head, s.n_kv, s.n_head, (size_t) s.n_state * es,
                                    (size_t) s.d_head * es, t * es);

    if (ctx.params.flash_attn) {
        tevo_tensor * Vv = tevo_view_3d(ctx0, v, s.d_head, s.n_kv, s.n_head, (size_t) s.n_state * es,
                                        (size_t) s.d_head * es, t * es);
        tevo_tensor * att = tevo_flash_attn_ext(ctx0, Qh, Kv, Vv, mask16, 1.0f, 0.0f, 0.0f);
        return tevo_reshape_2d(ctx0, att, s.n_state, s.n_tokens);
    }

    // [n_kv, n_tokens, n_head]
    tevo_tensor * P  = tevo_soft_max_ext(ctx0, tevo_mul_mat(ctx0, Kv, Qh), mask, 1.0f, 0.0f);
    // [n_kv, d_head, n_head]
    tevo_tensor * Vv = tevo_view_3d(ctx0, v, s.n_kv, s.d_head, s.n_head, (size_t) s.n_ctx_self * es,
                                    (size_t) s.n_ctx_self * s.d_head * es, t * es);
    tevo_tensor * att = tevo_mul_mat(ctx0, Vv, P);
    return tevo_cont_2d(ctx0, tevo_permute(ctx0, att, 0, 2, 1, 3), s.n_state, s.n_tokens);
}

// cross-attention of one layer; x: [n_state, n_tokens] (normed) -> [n_state, n_tokens]
// With alignment heads, *collected grows by this layer's [n_audio, n_tokens, h] weights.
static tevo_tensor * cross_attention(kestu_context & ctx, kestu_state & state, tevo_context * ctx0,
                                     const kestu_layer_decoder & layer, tevo_tensor * x,
                                     const decoder_graph_sizes & s, int il, float Kscale, tevo_tensor ** collected) {
    tevo_tensor * k  = state.kv_cross.k;
    tevo_tensor * v  = state.kv_cross.v;
    const size_t  es = tevo_element_size(k);

    // [d_head, n_tokens, n_head]; not scaled: the cached keys carry Kscale
    tevo_tensor * Qx = tevo_permute(
        ctx0,
        tevo_reshape_3d(ctx0, linear(ctx0, layer.cross_attn_q_w, layer.cross_attn_q_b, x), s.d_head, s.n_head,
                        s.n_tokens),
        0, 2, 1, 3);

    if (ctx.params.flash_attn) {
        const size_t  off = (size_t) il * s.n_state * pad256(s.n_audio) * es;
        tevo_tensor * Kx  = tevo_view_3d(ctx0, k, s.d_head, s.n_audio, s.n_head, (size_t) s.n_state * es,
                                         (size_t) s.d_head * es, off);
        tevo_tensor * Vx  = tevo_view_3d(ctx0, v, s.d_head, s.n_audio, s.n_head, (size_t) s.n_state * es,
                                         (size_t) s.d_head * es, off);
        tevo_tensor * att = tevo_flash_attn_ext(ctx0, Qx, Kx, Vx, nullptr, Kscale, 0.0f, 0.0f);
        return tevo_reshape_2d(ctx0, att, s.n_state, s.n_tokens);
    }

    const size_t  off = (size_t) il * s.n_state * s.n_audio * es;
    tevo_tensor * Kx  = tevo_view_3d(ctx0, k, s.d_head, s.n_audio, s.n_head, (size_t) s.n_state * es,
                                     (size_t) s.d_head * es, off);
    tevo_tensor * Vx  = tevo_view_3d(ctx0, v, s.n_audio, s.d_head, s.n_head, (size_t) s.n_audio * es,
                                     (size_t) s.n_audio * s.d_head * es, off);

    // [n_audio, n_tokens, n_head]
    tevo_tensor * P = tevo_soft_max_ext(ctx0, tevo_mul_mat(ctx0, Kx, Qx), nullptr, Kscale, 0.0f);

    tevo_tensor * M = il < (int) state.aheads_masks.m.size() ? state.aheads_masks.m[il] : nullptr;
    if (ctx.params.dtw_token_timestamps && M) {
        // [n_head, n_audio n_tokens] -> selected heads [h, n_audio n_tokens]
        tevo_tensor * w = tevo_cont(
            ctx0, tevo_transpose(ctx0, tevo_reshape_2d(ctx0, P, (int64_t) s.n_audio * s.n_tokens, s.n_head)));
        w = tevo_mul_mat(ctx0, M, w);
        w = tevo_reshape_3d(ctx0, tevo_cont(ctx0, tevo_transpose(ctx0, w)), s.n_audio, s.n_tokens, M->ne[1]);
        *collected = *collected ? tevo_concat(ctx0, *collected, w, 2) : w;
    }

    tevo_tensor * att = tevo_mul_mat(ctx0, Vx, P);
    return tevo_cont_2d(ctx0, tevo_permute(ctx0, att, 0, 2, 1, 3), s.n_state, s.n_tokens);
}

tevo_cgraph * kestu_build_decoder_graph(kestu_context & ctx, kestu_state & state, int32_t n_tokens,
                                        bool save_alignment_heads, bool worst_case) {
    const kestu_model &   model   = ctx.model;
    const kestu_hparams & hparams = model.hparams;
    kestu_kv_cache &      kv_self = state.kv_self;

    KESTU_ASSERT(!!kv_self.buffer);

    decoder_graph_sizes s;
    s.n_tokens   = n_tokens;
    s.n_kv       = worst_case ? (int) kv_self.size : (int) kv_self.n;
    s.kv_head    = worst_case ? (int) kv_self.size - n_tokens : (int) kv_self.head;
    s.n_ctx_self = (int) kv_self.size;
    s.n_audio    = state.exp_n_audio_ctx > 0 ? state.exp_n_audio_ctx : hparams.n_audio_ctx;
    s.n_state    = hparams.n_text_state;
    s.n_head     = hparams.n_text_head;
    s.d_head     = s.n_state / s.n_head;

    const float eps    = hparams.eps;
    const float Kscale = (float) pow(double(float(s.d_head)), -0.25);

    tevo_init_params params = {
        /*.mem_size   =*/state.sched_decode.meta.size(),
        /*.mem_buffer =*/state.sched_decode.meta.data(),
        /*.no_alloc   =*/true,
    };
    tevo_context * ctx0 = tevo_init(params);
    tevo_cgraph *  gf   = tevo_new_graph_custom(ctx0, 4096, false);

    tevo_tensor * embd = tevo_new_tensor_1d(ctx0, TEVO_TYPE_I32, n_tokens);
    tevo_set_name(embd, "embd");
    tevo_set_input(embd);

    tevo_tensor * position = tevo_new_tensor_1d(ctx0, TEVO_TYPE_I32, n_tokens);
    tevo_set_name(position, "position");
    tevo_set_input(position);

    tevo_tensor * mask = tevo_new_tensor_3d(ctx0, TEVO_TYPE_F32, s.n_kv, n_tokens, 1);
    tevo_set_name(mask, "KQ_mask");
    tevo_set_input(mask);

    tevo_tensor * mask16 = tevo_cast(ctx0, mask, TEVO_TYPE_F16);

    // [n_state, n_tokens]
    tevo_tensor * cur = tevo_add(ctx0, tevo_get_rows(ctx0, model.d_te, embd), tevo_get_rows(ctx0, model.d_pe, position));

    tevo_tensor * collected = nullptr;

    for (int il = 0; il < hparams.n_text_layer; il++) {
        const kestu_layer_decoder & layer = model.layers_decoder[il];
        tevo_tensor *               inpL  = cur;

        tevo_tensor * x   = layer_norm(ctx0, inpL, layer.attn_ln_w, layer.attn_ln_b, eps);
        tevo_tensor * att = self_attention(ctx, state, ctx0, gf, layer, x, mask, mask16, s, il, Kscale);

        tevo_tensor * inpCA = tevo_add(ctx0, linear(ctx0, layer.attn_out_w, layer.attn_out_b, att), inpL);

        x   = layer_norm(ctx0, inpCA, layer.cross_attn_ln_w, layer.cross_attn_ln_b, eps);
        att = cross_attention(ctx, state, ctx0, layer, x, s, il, Kscale, &collected);

        tevo_tensor * inpFF =
            tevo_add(ctx0, linear(ctx0, layer.cross_attn_out_w, layer.cross_attn_out_b, att), inpCA);

        x   = layer_norm(ctx0, inpFF, layer.mlp_ln_w, layer.mlp_ln_b, eps);
        x   = tevo_gelu(ctx0, linear(ctx0, layer.mlp_0_w, layer.mlp_0_b, x));
        cur = tevo_add(ctx0, linear(ctx0, layer.mlp_1_w, layer.mlp_1_b, x), inpFF);
    }

    cur = layer_norm(ctx0, cur, model.d_ln_w, model.d_ln_b, eps);

    // [n_vocab, n_tokens]
    tevo_tensor * logits = tevo_mul_mat(ctx0, model.d_te, cur);

    if (ctx.params.dtw_token_timestamps && collected) {
        // [n_tokens, n_audio, heads]
        tevo_tensor * QKs = tevo_cont(ctx0, tevo_transpose(ctx0, collected));
        if (save_alignment_heads) {
            tevo_build_forward_expand(gf, QKs);
            state.aheads_cross_QKs = QKs;
        }
    }

    // the decoder run reads the last node
    tevo_build_forward_expand(gf, logits);

    tevo_free(ctx0);
    return gf;
}
