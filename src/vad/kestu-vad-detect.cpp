#include "kestu-vad-impl.h"

// The voice-activity network over audio: one graph per window of n_window
// samples (transform by convolution, convolutional encoder, one recurrent
// cell step), one speech probability per window; the cell state carries over.
//
// The graph is built and allocated once per call and evaluated per window,
// every window on the same worker threads (the context's pool).
// The cell state never comes back to the host: each evaluation copies the new
// hidden and cell state into h_state and c_state, which the next one reads.

#include <algorithm>

namespace {

// frames of the transform the encoder reads, and the halves of its channels
constexpr int64_t VAD_FRAMES = 4;
constexpr int64_t VAD_BINS   = 129;

// cur: [len, in_ch] -> relu(conv(cur) + b): [len', out_ch]
tevo_tensor * encoder_layer(tevo_context * ctx0, tevo_tensor * cur, tevo_tensor * w, tevo_tensor * b, int stride,
                            int64_t out_ch) {
    cur = tevo_conv_1d(ctx0, w, cur, stride, 1, 1);
    cur = tevo_add(ctx0, cur, tevo_reshape_3d(ctx0, b, 1, out_ch, 1));
    return tevo_relu(ctx0, cur);
}

} // namespace

tevo_cgraph * kestu_vad_graph_for_window(kestu_vad_context * vctx) {
    tevo_init_params params = {
        /*.mem_size   =*/vctx->sched.meta.size(),
        /*.mem_buffer =*/vctx->sched.meta.data(),
        /*.no_alloc   =*/true,
    };
    tevo_context * ctx0 = tevo_init(params);
    tevo_cgraph *  gf   = tevo_new_graph(ctx0);

    tevo_tensor * const * w = vctx->weights;

    // frame: [n_window, 1]
    tevo_tensor * frame = tevo_new_tensor_2d(ctx0, TEVO_TYPE_F32, vctx->n_window, 1);
    tevo_set_name(frame, "frame");
    tevo_set_input(frame);

    // short-time transform: [n_window + 128, 1] -> [L, 258], the first 129
    // channels real parts, the others imaginary parts
    tevo_tensor * cur = tevo_pad_reflect_1d(ctx0, frame, 64, 64);
    cur               = tevo_conv_1d(ctx0, w[KESTU_VAD_STFT_BASIS], cur, vctx->lstm_input_size, 0, 1);

    // magnitudes of the first 4 frames: [4, 129]
    tevo_tensor * re = tevo_view_2d(ctx0, cur, VAD_FRAMES, VAD_BINS, cur->nb[1], 0);
    tevo_tensor * im = tevo_view_2d(ctx0, cur, VAD_FRAMES, VAD_BINS, cur->nb[1], VAD_BINS * cur->nb[1]);
    cur = tevo_sqrt(ctx0, tevo_add(ctx0, tevo_mul(ctx0, re, re), tevo_mul(ctx0, im, im)));

    // encoder: [4, 129] -> [4, 128] -> [2, 64] -> [1, 64] -> [1, 128]
    cur = encoder_layer(ctx0, cur, w[KESTU_VAD_ENC0_W], w[KESTU_VAD_ENC0_B], 1, 128);
    cur = encoder_layer(ctx0, cur, w[KESTU_VAD_ENC1_W], w[KESTU_VAD_ENC1_B], 2, 64);
    cur = encoder_layer(ctx0, cur, w[KESTU_VAD_ENC2_W], w[KESTU_VAD_ENC2_B], 2, 64);
    cur = encoder_layer(ctx0, cur, w[KESTU_VAD_ENC3_W], w[KESTU_VAD_ENC3_B], 1, 128);

    // first time step as a column: x [128, 1]; a column out of a longer
    // output is strided, and the matrix product wants packed values
    tevo_tensor * x = tevo_transpose(ctx0, tevo_view_2d(ctx0, cur, 1, 128, cur->nb[1], 0));
    if (cur->ne[0] != 1) {
        x = tevo_cont(ctx0, x);
    }

    // one cell step: gates [4H] = W_ih x + b_ih + W_hh h + b_hh
    const int64_t H     = vctx->lstm_hidden_size;
    tevo_tensor * gates = tevo_add(ctx0,
                                   tevo_add(ctx0, tevo_mul_mat(ctx0, w[KESTU_VAD_LSTM_IH_W], x), w[KESTU_VAD_LSTM_IH_B]),
                                   tevo_add(ctx0, tevo_mul_mat(ctx0, w[KESTU_VAD_LSTM_HH_W], vctx->h_state),
                                            w[KESTU_VAD_LSTM_HH_B]));
    const size_t  s  = tevo_row_size(gates->type, H);
    tevo_tensor * ig = tevo_sigmoid(ctx0, tevo_view_1d(ctx0, gates, H, 0 * s));
    tevo_tensor * fg = tevo_sigmoid(ctx0, tevo_view_1d(ctx0, gates, H, 1 * s));
    tevo_tensor * gg = tevo_tanh(ctx0, tevo_view_1d(ctx0, gates, H, 2 * s));
    tevo_tensor * og = tevo_sigmoid(ctx0, tevo_view_1d(ctx0, gates, H, 3 * s));

    tevo_tensor * c_out = tevo_add(ctx0, tevo_mul(ctx0, fg, vctx->c_state), tevo_mul(ctx0, ig, gg));
    tevo_build_forward_expand(gf, tevo_cpy(ctx0, c_out, vctx->c_state));
    tevo_tensor * h_out = tevo_mul(ctx0, og, tevo_tanh(ctx0, c_out));
    tevo_build_forward_expand(gf, tevo_cpy(ctx0, h_out, vctx->h_state));

    // output: relu(h) [H] -> one value through the final kernel [H, 1]
    cur = tevo_relu(ctx0, h_out);
    cur = tevo_conv_1d(ctx0, w[KESTU_VAD_FINAL_W], cur, 1, 0, 1);
    cur = tevo_sigmoid(ctx0, tevo_add(ctx0, cur, w[KESTU_VAD_FINAL_B]));
    tevo_set_name(cur, "prob");
    tevo_set_output(cur);
    tevo_build_forward_expand(gf, cur);

    tevo_free(ctx0);
    return gf;
}

void kestu_vad_reset_state(struct kestu_vad_context * ctx) {
    if (ctx == nullptr || ctx->lstm_state_buffer == nullptr) {
        return;
    }
    tevo_backend_buffer_clear(ctx->lstm_state_buffer, 0);
}

bool kestu_vad_detect_speech_no_reset(struct kestu_vad_context * ctx, const float * samples, int n_samples) {
    if (ctx == nullptr) {
        KESTU_LOG_ERROR("%s: no VAD context given\n", __func__);
        return false;
    }
    if (n_samples < 0 || (n_samples > 0 && samples == nullptr)) {
        KESTU_LOG_ERROR("%s: invalid samples (n_samples = %d)\n", __func__, n_samples);
        return false;
    }
    // the network would turn them into plausible-looking probabilities
    const size_t bad = kestu_first_non_finite(samples, (size_t) n_samples);
    if (bad < (size_t) n_samples) {
        KESTU_LOG_ERROR("%s: sample %d is not a finite number\n", __func__, (int) bad);
        return false;
    }

    try {
        const int n_window = ctx->n_window;
        const int n_chunks = n_samples / n_window + (n_samples % n_window != 0 ? 1 : 0);
        KESTU_LOG_INFO("%s: detecting speech in %d samples\n", __func__, n_samples);
        KESTU_LOG_INFO("%s: n_chunks: %d\n", __func__, n_chunks);

        ctx->probs.resize(n_chunks);
        ctx->probs_n_samples = n_samples;
        KESTU_LOG_INFO("%s: props size: %u\n", __func__, (unsigned) ctx->probs.size());

        std::vector<float> window(n_window, 0.0f);

        tevo_cgraph * gf = kestu_vad_graph_for_window(ctx);
        if (!tevo_backend_sched_alloc_graph(ctx->sched.sched, gf)) {
            KESTU_LOG_ERROR("%s: failed to allocate the compute buffer\n", __func__);
            return false;
        }

        tevo_tensor * frame = tevo_graph_get_tensor(gf, "frame");
        tevo_tensor * prob  = tevo_graph_get_tensor(gf, "prob");

        const int64_t t_start_us = tevo_time_us();

        bool ok = true;
        for (int k = 0; k < n_chunks; k++) {
            const int64_t start     = int64_t(k) * n_window;
            const int     chunk_len = (int) std::min<int64_t>(n_window, n_samples - start);
            if (chunk_len < n_window) {
                KESTU_LOG_INFO("%s: chunk_len: %d < n_window: %d\n", __func__, chunk_len, n_window);
                std::copy(samples + start, samples + start + chunk_len, window.begin());
                std::fill(window.begin() + chunk_len, window.end(), 0.0f);
                tevo_backend_tensor_set(frame, window.data(), 0, tevo_nbytes(frame));
            } else {
                tevo_backend_tensor_set(frame, samples + start, 0, tevo_nbytes(frame));
            }

            if (!kestu_graph_compute(ctx->sched.sched, gf, ctx->params.n_threads, false, &ctx->threadpool)) {
                KESTU_LOG_ERROR("%s: failed to compute VAD graph\n", __func__);
                ok = false;
                break;
            }
            tevo_backend_tensor_get(prob, &ctx->probs[k], 0, sizeof(float));
        }

        ctx->t_vad_us += tevo_time_us() - t_start_us;
        KESTU_LOG_INFO("%s: vad time = %.2f ms processing %d samples\n", __func__, 1e-3f * ctx->t_vad_us,
                       n_samples);

        tevo_backend_sched_reset(ctx->sched.sched);
        kestu_threadpool_idle(ctx->threadpool);
        return ok;
    } catch (const std::exception & e) {
        KESTU_LOG_ERROR("%s: %s\n", __func__, e.what());
        tevo_backend_sched_reset(ctx->sched.sched);
        kestu_threadpool_idle(ctx->threadpool);
        return false;
    }
}

bool kestu_vad_detect_speech(struct kestu_vad_context * ctx, const float * samples, int n_samples) {
    kestu_vad_reset_state(ctx);
    return kestu_vad_detect_speech_no_reset(ctx, samples, n_samples);
}

int kestu_vad_n_probs(struct kestu_vad_context * ctx) {
    return ctx ? (int) ctx->probs.size() : 0;
}

float * kestu_vad_probs(struct kestu_vad_context * ctx) {
    return ctx ? ctx->probs.data() : nullptr;
}
