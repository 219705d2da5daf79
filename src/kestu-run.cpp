#include "kestu-impl.h"

// Encoder and decoder runs on a state's schedulers: build, allocate, fill the
// inputs, compute, read back. Also the public encode and decode functions and
// the graph-compute step the voice-activity network shares.
//
// Every input that picks rows or positions (token ids, positions, the audio
// context, the window offset) is checked here before a graph sees it: the
// tensor operators trust their indices, so a bad one would read outside the
// weights or the caches.

#include "tevo-cpu.h"

#include <algorithm>

void kestu_threadpool_idle(kestu_threadpool & threadpool) {
    // a CPU backend pauses the pool it is taken off: its threads sleep
    for (tevo_backend_t backend : threadpool.backends) {
        tevo_backend_cpu_set_threadpool(backend, nullptr);
    }
    threadpool.backends.clear();
}

void kestu_threadpool_free(kestu_threadpool & threadpool) {
    kestu_threadpool_idle(threadpool);
    tevo_threadpool_free(threadpool.pool);
    threadpool.pool      = nullptr;
    threadpool.n_threads = 0;
}

// a pool of n_threads set on the scheduler's CPU backends; one thread runs on
// the caller's thread alone, with no pool to wake
static void threadpool_use(kestu_threadpool & threadpool, tevo_backend_sched_t sched, int n_threads) {
    n_threads = std::min(n_threads, TEVO_MAX_N_THREADS);
    if (n_threads < 2) {
        kestu_threadpool_idle(threadpool);
        return;
    }
    if (threadpool.pool != nullptr && threadpool.n_threads != n_threads) {
        kestu_threadpool_free(threadpool);
    }
    if (threadpool.pool == nullptr) {
        tevo_threadpool_params params = tevo_threadpool_params_default(n_threads);
        params.poll_rounds            = threadpool.poll_rounds;
        params.paused                 = true; // asleep until the first run
        threadpool.pool               = tevo_threadpool_new(&params);
        threadpool.n_threads          = n_threads;
    }
    const int n_backends = tevo_backend_sched_get_n_backends(sched);
    for (int i = 0; i < n_backends; i++) {
        tevo_backend_t backend = tevo_backend_sched_get_backend(sched, i);
        if (tevo_backend_is_cpu(backend) && std::find(threadpool.backends.begin(), threadpool.backends.end(),
                                                      backend) == threadpool.backends.end()) {
            tevo_backend_cpu_set_threadpool(backend, threadpool.pool);
            threadpool.backends.push_back(backend);
        }
    }
}

bool kestu_graph_compute(tevo_backend_sched_t sched, tevo_cgraph * graph, int n_threads, bool reset,
                         kestu_threadpool * threadpool) {
    // the engine needs at least one thread
    n_threads = std::max(n_threads, 1);

    if (threadpool != nullptr) {
        threadpool_use(*threadpool, sched, n_threads);
    }

    const int n_backends = tevo_backend_sched_get_n_backends(sched);
    for (int i = 0; i < n_backends; i++) {
        tevo_backend_t     backend = tevo_backend_sched_get_backend(sched, i);
        tevo_backend_reg_t reg     = tevo_backend_dev_backend_reg(tevo_backend_get_device(backend));
        auto * set_n_threads =
            (tevo_backend_set_n_threads_t) tevo_backend_reg_get_proc_address(reg, "tevo_backend_set_n_threads");
        if (set_n_threads) {
            set_n_threads(backend, n_threads);
        }
    }

    const tevo_status status = tevo_backend_sched_graph_compute(sched, graph);
    if (reset || status != TEVO_STATUS_SUCCESS) {
        tevo_backend_sched_reset(sched);
    }
    return status == TEVO_STATUS_SUCCESS;
}

void kestu_batch_fill(kestu_batch & batch, const kestu_token * tokens, int n_tokens, int n_past, int32_t seq_id) {
    batch.n_tokens = n_tokens;
    for (int i = 0; i < n_tokens; i++) {
        if (tokens) {
            batch.token[i] = tokens[i];
        }
        batch.pos[i]       = n_past + i;
        batch.n_seq_id[i]  = 1;
        batch.seq_id[i][0] = seq_id;
        batch.logits[i]    = 0;
    }
    if (n_tokens > 0) {
        batch.logits[n_tokens - 1] = 1;
    }
}

// the state's audio context must lie in [0, n_audio_ctx]; 0 is the model's
static bool audio_ctx_valid(const kestu_context & ctx, const kestu_state & state, const char * func) {
    const int n = state.exp_n_audio_ctx;
    if (n < 0 || n > ctx.model.hparams.n_audio_ctx) {
        KESTU_LOG_ERROR("%s: audio_ctx %d is outside 0 .. %d\n", func, n, ctx.model.hparams.n_audio_ctx);
        return false;
    }
    return true;
}

static bool allocate(tevo_backend_sched_t sched, tevo_cgraph * gf) {
    if (!tevo_backend_sched_alloc_graph(sched, gf)) {
        // the scheduler keeps nothing of a failed allocation
        tevo_backend_sched_reset(sched);
        return false;
    }
    return true;
}

// copies the window [offset, offset + 2 n_ctx) of the spectrogram into "mel";
// frames past its end stay 0. Frames from mel_end on, when that is before the
// end of the audio, take the value the spectrogram holds past the audio (its
// zero padding, when it has one), so the window hears the audio cut there.
static void set_mel_input(kestu_state & state, tevo_tensor * mel, int mel_offset, int n_ctx, int mel_end) {
    const kestu_mel & m = state.mel;

    const int64_t n_frames = mel->ne[0]; // 2 n_ctx
    const int64_t n_bands  = std::min<int64_t>(mel->ne[1], m.n_mel);

    state.inp_mel.assign((size_t) tevo_nelements(mel), 0.0f);

    const bool    cut = mel_end < m.n_len_org;
    const int64_t end = cut ? std::max(mel_end, mel_offset) : m.n_len;
    const int64_t i0  = std::min<int64_t>(mel_offset, m.n_len);
    const int64_t i1  = std::min<int64_t>(end, (int64_t) mel_offset + 2 * (int64_t) n_ctx);

    // a spectrogram shorter than it claims is read only as far as it goes
    if ((int64_t) m.data.size() >= n_bands * (int64_t) m.n_len) {
        for (int64_t j = 0; j < n_bands; j++) {
            const float * src = m.data.data() + j * m.n_len;
            float *       dst = state.inp_mel.data() + j * n_frames;
            if (i0 < i1) {
                std::copy(src + i0, src + i1, dst);
            }
            if (cut && m.n_len > m.n_len_org) {
                const int64_t k0 = std::max<int64_t>(i1 - mel_offset, 0);
                std::fill(dst + std::min(k0, n_frames), dst + n_frames, src[m.n_len - 1]);
            }
        }
    }

    tevo_backend_tensor_set(mel, state.inp_mel.data(), 0, tevo_nbytes(mel));
}

bool kestu_run_encoder(kestu_context & ctx, kestu_state & state, int mel_offset, int n_threads,
                       kestu_abort_callback abort_callback, void * abort_callback_data, int mel_end) {
    const int64_t t_start_us = tevo_time_us();

    if (mel_offset < 0) {
        KESTU_LOG_ERROR("%s: offset %d is negative\n", __func__, mel_offset);
        return false;
    }
    if (!audio_ctx_valid(ctx, state, __func__)) {
        return false;
    }

    const int n_ctx = state.exp_n_audio_ctx > 0 ? state.exp_n_audio_ctx : ctx.model.hparams.n_audio_ctx;

    {
        tevo_backend_sched_t sched = state.sched_conv.sched;
        tevo_cgraph *        gf    = kestu_build_conv_graph(ctx, state);
        if (!allocate(sched, gf)) {
            return false;
        }

        tevo_tensor * mel = tevo_graph_get_tensor(gf, "mel");
        set_mel_input(state, mel, mel_offset, n_ctx, mel_end);

        if (!state.hollin_encoder) {
            if (!kestu_graph_compute(sched, gf, n_threads, true, &state.threadpool)) {
                return false;
            }
        } else {
            tevo_backend_sched_reset(sched);
            kestu_hollin_encode(state.hollin_encoder, mel->ne[0], mel->ne[1], state.inp_mel.data(),
                                (float *) state.embd_enc->data);
        }
    }

    if (!state.hollin_encoder) {
        tevo_backend_sched_t sched = state.sched_encode.sched;
        tevo_cgraph *        gf    = kestu_build_encoder_graph(ctx, state);
        if (!allocate(sched, gf)) {
            return false;
        }
        if (!kestu_graph_compute(sched, gf, n_threads, true, &state.threadpool)) {
            return false;
        }
    }

    {
        tevo_backend_sched_t sched = state.sched_cross.sched;
        tevo_cgraph *        gf    = kestu_build_cross_graph(ctx, state);
        if (!allocate(sched, gf)) {
            return false;
        }
        if (!kestu_graph_compute(sched, gf, n_threads, true, &state.threadpool)) {
            return false;
        }
    }

    state.t_encode_us += tevo_time_us() - t_start_us;
    state.n_encode++;

    return abort_callback ? !abort_callback(abort_callback_data) : true;
}

// every token id a row of the embedding, every position a row of the
// positional table
static bool batch_valid(const kestu_context & ctx, const kestu_batch & batch, const char * func) {
    const kestu_hparams & hparams = ctx.model.hparams;
    if (batch.n_tokens < 1) {
        KESTU_LOG_ERROR("%s: n_tokens=%d must be positive\n", func, batch.n_tokens);
        return false;
    }
    if (batch.n_tokens > hparams.n_text_ctx) {
        KESTU_LOG_ERROR("%s: n_tokens=%d > n_text_ctx=%d\n", func, batch.n_tokens, hparams.n_text_ctx);
        return false;
    }
    for (int i = 0; i < batch.n_tokens; i++) {
        if (batch.token[i] < 0 || batch.token[i] >= hparams.n_vocab) {
            KESTU_LOG_ERROR("%s: token id %d is outside the vocabulary (%d)\n", func, batch.token[i],
                            hparams.n_vocab);
            return false;
        }
        if (batch.pos[i] < 0 || batch.pos[i] >= hparams.n_text_ctx) {
            KESTU_LOG_ERROR("%s: position %d is outside the text context (%d)\n", func, batch.pos[i],
                            hparams.n_text_ctx);
            return false;
        }
        if (batch.n_seq_id[i] < 1 || batch.n_seq_id[i] > KESTU_MAX_DECODERS) {
            KESTU_LOG_ERROR("%s: token %d has %d sequence ids\n", func, i, batch.n_seq_id[i]);
            return false;
        }
    }
    return true;
}

bool kestu_run_decoder(kestu_context & ctx, kestu_state & state, const kestu_batch & batch, int n_threads,
                       bool save_alignment_heads, kestu_abort_callback abort_callback, void * abort_callback_data) {
    const int64_t t_start_us = tevo_time_us();

    if (!batch_valid(ctx, batch, __func__) || !audio_ctx_valid(ctx, state, __func__)) {
        return false;
    }

    kestu_kv_cache & kv_self  = state.kv_self;
    const int        n_tokens = batch.n_tokens;
    const int        n_vocab  = ctx.model.hparams.n_vocab;

    if (!kestu_kv_cache_find_slot(kv_self, batch)) {
        return false;
    }

    tevo_backend_sched_t sched = state.sched_decode.sched;
    tevo_cgraph *        gf    = kestu_build_decoder_graph(ctx, state, n_tokens, save_alignment_heads, false);
    if (!allocate(sched, gf)) {
        return false;
    }

    tevo_tensor * embd = tevo_graph_get_tensor(gf, "embd");
    tevo_backend_tensor_set(embd, batch.token, 0, (size_t) n_tokens * tevo_element_size(embd));

    tevo_tensor * position = tevo_graph_get_tensor(gf, "position");
    tevo_backend_tensor_set(position, batch.pos, 0, (size_t) n_tokens * sizeof(int32_t));

    {
        // a token sees its own sequence's cells up to its own position
        tevo_tensor * mask = tevo_graph_get_tensor(gf, "KQ_mask");
        const int     n_kv = (int) kv_self.n;

        state.inp_mask.assign((size_t) tevo_nelements(mask), 0.0f);
        float * data = state.inp_mask.data();
        for (int i = 0; i < n_tokens; i++) {
            const int32_t seq = batch.seq_id[i][0];
            const int32_t pos = batch.pos[i];
            for (int j = 0; j < n_kv; j++) {
                const kestu_kv_cell & cell = kv_self.cells[j];
                if (!cell.has_seq_id(seq) || cell.pos > pos) {
                    data[(size_t) i * n_kv + j] = -INFINITY;
                }
            }
        }
        tevo_backend_tensor_set(mask, data, 0, tevo_nbytes(mask));
    }

    tevo_tensor * logits = tevo_graph_node(gf, -1);

    if (!kestu_graph_compute(sched, gf, n_threads, true, &state.threadpool)) {
        return false;
    }

    state.logits.resize((size_t) n_tokens * n_vocab);
    for (int i = 0; i < n_tokens; i++) {
        if (!batch.logits[i]) {
            continue;
        }
        const size_t off = (size_t) i * n_vocab * sizeof(float);
        tevo_backend_tensor_get(logits, (char *) state.logits.data() + off, off, (size_t) n_vocab * sizeof(float));
    }

    const int64_t elapsed = tevo_time_us() - t_start_us;
    if (n_tokens == 1) {
        state.t_decode_us += elapsed;
        state.n_decode++;
    } else if (n_tokens < 16) {
        state.t_batchd_us += elapsed;
        state.n_batchd += n_tokens;
    } else {
        state.t_prompt_us += elapsed;
        state.n_prompt += n_tokens;
    }

    return abort_callback ? !abort_callback(abort_callback_data) : true;
}

static int encode(kestu_context * ctx, kestu_state * state, int offset, int n_threads, const char * func) {
    if (!ctx) {
        KESTU_LOG_ERROR("%s: no context\n", func);
        return -1;
    }
    if (!state) {
        KESTU_LOG_ERROR("%s: ERROR state was not loaded.\n", func);
        return -1;
    }
    if (!kestu_run_encoder(*ctx, *state, offset, n_threads, nullptr, nullptr)) {
        KESTU_LOG_ERROR("%s: failed to eval\n", func);
        return -1;
    }
    return 0;
}

int kestu_encode_with_state(struct kestu_context * ctx, struct kestu_state * state, int offset, int n_threads) {
    return encode(ctx, state, offset, n_threads, __func__);
}

int kestu_encode(struct kestu_context * ctx, int offset, int n_threads) {
    return encode(ctx, ctx ? ctx->state : nullptr, offset, n_threads, __func__);
}

static int decode(kestu_context & ctx, kestu_state & state, const kestu_token * tokens, int n_tokens, int n_past,
                  int n_threads, const char * func) {
    const kestu_hparams & hparams = ctx.model.hparams;

    // refused before the batch is touched: it holds n_text_ctx tokens
    if (!tokens || n_tokens < 1 || n_past < 0 || n_tokens > hparams.n_text_ctx ||
        n_past > hparams.n_text_ctx - n_tokens) {
        KESTU_LOG_ERROR("%s: invalid tokens (%p, n_tokens=%d, n_past=%d, n_text_ctx=%d)\n", func,
                        (const void *) tokens, n_tokens, n_past, hparams.n_text_ctx);
        return 1;
    }
    for (int i = 0; i < n_tokens; i++) {
        if (tokens[i] < 0 || tokens[i] >= hparams.n_vocab) {
            KESTU_LOG_ERROR("%s: token id %d is outside the vocabulary (%d)\n", func, tokens[i], hparams.n_vocab);
            return 1;
        }
    }

    kestu_batch_fill(state.batch, tokens, n_tokens, n_past, 0);
    kestu_kv_cache_drop_cells(state.kv_self, 0, n_past);

    if (!kestu_run_decoder(ctx, state, state.batch, n_threads, false, nullptr, nullptr)) {
        KESTU_LOG_ERROR("%s: failed to eval\n", func);
        return 1;
    }
    return 0;
}

int kestu_decode_with_state(struct kestu_context * ctx, struct kestu_state * state, const kestu_token * tokens,
                            int n_tokens, int n_past, int n_threads) {
    if (!ctx || !state) {
        KESTU_LOG_ERROR("%s: ERROR state was not loaded.\n", __func__);
        return 1;
    }
    return decode(*ctx, *state, tokens, n_tokens, n_past, n_threads, __func__);
}

int kestu_decode(struct kestu_context * ctx, const kestu_token * tokens, int n_tokens, int n_past, int n_threads) {
    if (!ctx || !ctx->state) {
        KESTU_LOG_ERROR("%s: ERROR state was not loaded.\n", "kestu_decode");
        return -1;
    }
    return decode(*ctx, *ctx->state, tokens, n_tokens, n_past, n_threads, "kestu_decode_with_state");
}
