#include "kestu-impl.h"

// Audio graphs: the convolution stem, the encoder layers and the
// cross-attention key and value projection into kv_cross. Built afresh for
// every run in a no-allocation context over the scheduler's metadata memory.
//
// Two attention paths: the fused one copies keys and values into a cache
// (kv_pad for the encoder, kv_cross for the decoder) and runs
// tevo_flash_attn_ext over it; the other multiplies, takes a row softmax and
// multiplies again. The caches are padded to 256 positions, but the fused
// path views exactly the n_ctx positions of this run: the cells past it hold
// zeros or the keys of an earlier, longer window, and must not take part.

static int pad256(int x) {
    return (x + 255) & ~255;
}

// audio positions of this run: the fitted context, else the model's
static int audio_ctx_of(const kestu_context & ctx, const kestu_state & state) {
    return state.exp_n_audio_ctx > 0 ? state.exp_n_audio_ctx : ctx.model.hparams.n_audio_ctx;
}

static tevo_context * graph_context(kestu_sched & sched) {
    tevo_init_params params = {
        /*.mem_size   =*/sched.meta.size(),
        /*.mem_buffer =*/sched.meta.data(),
        /*.no_alloc   =*/true,
    };
    return tevo_init(params);
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

tevo_cgraph * kestu_build_conv_graph(kestu_context & ctx, kestu_state & state) {
    const kestu_model &   model   = ctx.model;
    const kestu_hparams & hparams = model.hparams;

    const int n_ctx   = audio_ctx_of(ctx, state);
    const int n_state = hparams.n_audio_state;

    tevo_context * ctx0 = graph_context(state.sched_conv);
    tevo_cgraph *  gf   = tevo_new_graph(ctx0);

    // mel: [2 n_ctx, n_mels] -> [n_ctx, n_state]
    tevo_tensor * mel = tevo_new_tensor_2d(ctx0, TEVO_TYPE_F32, 2 * n_ctx, hparams.n_mels);
    tevo_set_name(mel, "mel");
    tevo_set_input(mel);

    tevo_tensor * cur = nullptr;
    if (!state.hollin_encoder) {
        cur = tevo_conv_1d_ph(ctx0, model.e_conv_1_w, mel, 1, 1);
        cur = tevo_gelu(ctx0, tevo_add(ctx0, cur, model.e_conv_1_b));
        cur = tevo_conv_1d_ph(ctx0, model.e_conv_2_w, cur, 2, 1);
        cur = tevo_gelu(ctx0, tevo_add(ctx0, cur, model.e_conv_2_b));
        tevo_set_name(cur, "embd_conv");
        state.embd_conv = cur;
    } else {
        tevo_build_forward_expand(gf, mel);
        cur = tevo_new_tensor_2d(ctx0, TEVO_TYPE_F32, n_state, n_ctx);
        tevo_set_name(cur, "embd_enc");
        tevo_set_input(cur);
        state.embd_enc = cur;
    }

    tevo_set_output(cur);
    tevo_build_forward_expand(gf, cur);

    tevo_free(ctx0);
    return gf;
}

// one encoder layer; cur: [n_state, n_ctx] -> [n_state, n_ctx]
static tevo_tensor * encoder_layer(kestu_context & ctx, kestu_state & state, tevo_context * ctx0, tevo_cgraph * gf,
                                   const kestu_layer_encoder & layer, tevo_tensor * inpL, int n_ctx) {
    const kestu_hparams & hparams = ctx.model.hparams;

    const int   n_state = hparams.n_audio_state;
    const int   n_head  = hparams.n_audio_head;
    const int   d_head  = n_state / n_head;
    const float eps     = hparams.eps;
    const float scale   = 1.0f / sqrtf(float(d_head));

    tevo_tensor * x = layer_norm(ctx0, inpL, layer.attn_ln_w, layer.attn_ln_b, eps);

    tevo_tensor * Q = linear(ctx0, layer.attn_q_w, layer.attn_q_b, x);
    tevo_tensor * K = linear(ctx0, layer.attn_k_w, nullptr, x);
    tevo_tensor * V = linear(ctx0, layer.attn_v_w, layer.attn_v_b, x);

    // [d_head, n_ctx, n_head]
    tevo_tensor * Qh = tevo_permute(ctx0, tevo_reshape_3d(ctx0, Q, d_head, n_head, n_ctx), 0, 2, 1, 3);

    tevo_tensor * att = nullptr;
    if (ctx.params.flash_attn) {
        tevo_tensor * k = state.kv_pad.k;
        tevo_tensor * v = state.kv_pad.v;
        const size_t  es = tevo_element_size(k);

        tevo_build_forward_expand(gf, tevo_cpy(ctx0, K, tevo_view_1d(ctx0, k, (int64_t) n_ctx * n_state, 0)));
        tevo_build_forward_expand(gf, tevo_cpy(ctx0, V, tevo_view_1d(ctx0, v, (int64_t) n_ctx * n_state, 0)));

        // exactly the n_ctx positions written above
        tevo_tensor * Kv = tevo_view_3d(ctx0, k, d_head, n_ctx, n_head, n_state * es, d_head * es, 0);
        tevo_tensor * Vv = tevo_view_3d(ctx0, v, d_head, n_ctx, n_head, n_state * es, d_head * es, 0);

        att = tevo_flash_attn_ext(ctx0, Qh, Kv, Vv, nullptr, scale, 0.0f, 0.0f);
        att = tevo_reshape_2d(ctx0, att, n_state, n_ctx);
    } else {
        tevo_tensor * Kh = tevo_permute(
            ctx0, tevo_cast(ctx0, tevo_reshape_3d(ctx0, K, d_head, n_head, n_ctx), ctx.kv_type), 0, 2, 1, 3);

        // [n_ctx keys, n_ctx queries, n_head]
        tevo_tensor * P = tevo_soft_max_ext(ctx0, tevo_mul_mat(ctx0, Kh, Qh), nullptr, scale, 0.0f);

        // [n_ctx, d_head, n_head]
        tevo_tensor * Vh = tevo_cast(
            ctx0, tevo_permute(ctx0, tevo_reshape_3d(ctx0, V, d_head, n_head, n_ctx), 1, 2, 0, 3), ctx.kv_type);

        att = tevo_mul_mat(ctx0, Vh, P);
        att = tevo_cont_2d(ctx0, tevo_permute(ctx0, att, 0, 2, 1, 3), n_state, n_ctx);
    }

    tevo_tensor * cur   = tevo_add(ctx0, linear(ctx0, layer.attn_out_w, layer.attn_out_b, att), inpL);
    tevo_tensor * inpFF = cur;

    x   = layer_norm(ctx0, inpFF, layer.mlp_ln_w, layer.mlp_ln_b, eps);
    x   = tevo_gelu(ctx0, linear(ctx0, layer.mlp_0_w, layer.mlp_0_b, x));
    cur = tevo_add(ctx0, linear(ctx0, layer.mlp_1_w, layer.mlp_1_b, x), inpFF);

    return cur;
}

tevo_cgraph * kestu_build_encoder_graph(kestu_context & ctx, kestu_state & state) {
    const kestu_model &   model   = ctx.model;
    const kestu_hparams & hparams = model.hparams;

    KESTU_ASSERT(!!state.kv_pad.buffer);

    const int n_ctx = audio_ctx_of(ctx, state);

    tevo_context * ctx0 = graph_context(state.sched_encode);
    tevo_cgraph *  gf   = tevo_new_graph_custom(ctx0, 4096, false);

    // embd_conv: [n_ctx, n_state] -> [n_state, n_ctx] plus the first n_ctx positions
    tevo_tensor * inp = tevo_view_tensor(ctx0, state.embd_conv);
    tevo_tensor * pe  = tevo_view_2d(ctx0, model.e_pe, model.e_pe->ne[0], n_ctx,
                                     model.e_pe->ne[0] * tevo_element_size(model.e_pe), 0);
    tevo_tensor * cur = tevo_add(ctx0, pe, tevo_cont(ctx0, tevo_transpose(ctx0, inp)));

    for (int il = 0; il < hparams.n_audio_layer; il++) {
        cur = encoder_layer(ctx, state, ctx0, gf, model.layers_encoder[il], cur, n_ctx);
    }

    cur = layer_norm(ctx0, cur, model.e_ln_w, model.e_ln_b, hparams.eps);

    tevo_build_forward_expand(gf, cur);
    state.embd_enc = cur;

    tevo_free(ctx0);
    return gf;
}

tevo_cgraph * kestu_build_cross_graph(kestu_context & ctx, kestu_state & state) {
    const kestu_model &   model   = ctx.model;
    const kestu_hparams & hparams = model.hparams;

    const int n_ctx   = audio_ctx_of(ctx, state);
    const int n_state = hparams.n_audio_state;
    const int n_head  = hparams.n_audio_head;

    // keys carry d_head^-1/4 here, the decoder's queries the other quarter
    // through the softmax scale
    const float Kscale = (float) pow(double(float(n_state / n_head)), -0.25);

    tevo_context * ctx0 = graph_context(state.sched_cross);
    tevo_cgraph *  gf   = tevo_new_graph(ctx0);

    // enc: [n_state, n_ctx] -> kv_cross keys and values of every text layer
    tevo_tensor * enc = tevo_view_tensor(ctx0, state.embd_enc);

    tevo_tensor * k  = state.kv_cross.k;
    tevo_tensor * v  = state.kv_cross.v;
    const size_t  es = tevo_element_size(k);

    for (int il = 0; il < hparams.n_text_layer; il++) {
        const kestu_layer_decoder & layer = model.layers_decoder[il];

        tevo_tensor * Kc = tevo_scale(ctx0, tevo_mul_mat(ctx0, layer.cross_attn_k_w, enc), Kscale);
        tevo_tensor * Vc = linear(ctx0, layer.cross_attn_v_w, layer.cross_attn_v_b, enc);

        tevo_tensor * k_dst = nullptr;
        tevo_tensor * v_dst = nullptr;
        if (ctx.params.flash_attn) {
            const size_t off = (size_t) il * n_state * pad256(n_ctx) * es;
            k_dst = tevo_view_1d(ctx0, k, (int64_t) n_state * n_ctx, off);
            v_dst = tevo_view_1d(ctx0, v, (int64_t) n_state * n_ctx, off);
        } else {
            // V stored transposed: one row of n_ctx values per channel
            Vc = tevo_transpose(ctx0, tevo_reshape_2d(ctx0, Vc, n_state, n_ctx));

            const size_t off = (size_t) il * n_state * n_ctx * es;
            k_dst = tevo_view_1d(ctx0, k, (int64_t) n_state * n_ctx, off);
            v_dst = tevo_view_2d(ctx0, v, n_ctx, n_state, n_ctx * es, off);
        }

        tevo_build_forward_expand(gf, tevo_cpy(ctx0, Kc, k_dst));
        tevo_build_forward_expand(gf, tevo_cpy(ctx0, Vc, v_dst));
    }

    tevo_free(ctx0);
    return gf;
}
