#include "kestu-impl.h"

// Decoding state: backends, the three key-value caches, the decoder batch,
// the alignment-head masks and one scheduler per graph kind, each sized once
// by a worst-case graph of its kind.
//
// Everything large is reserved here, so that a run of one decoder grows
// nothing. Any failure frees the partly built state and returns NULL; no
// exception leaves kestu_init_state, since it is called from C.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>

static int pad256(int x) {
    return (x + 255) & ~255;
}

kestu_batch kestu_batch_init(int32_t n_tokens, int32_t n_seq_max) {
    kestu_batch batch;
    batch.n_tokens = 0;

    const size_t n = (size_t) std::max(n_tokens, 0);
    // zeroed rather than left as malloc gives them: the worst-case decoder
    // graph is built from a batch whose token ids nobody set
    batch.token    = (kestu_token *) calloc(n + 1, sizeof(kestu_token));
    batch.pos      = (int32_t *) calloc(n + 1, sizeof(int32_t));
    batch.n_seq_id = (int32_t *) calloc(n + 1, sizeof(int32_t));
    batch.seq_id   = (int32_t **) calloc(n + 1, sizeof(int32_t *));
    batch.logits   = (int8_t *) calloc(n + 1, sizeof(int8_t));
    if (!batch.token || !batch.pos || !batch.n_seq_id || !batch.seq_id || !batch.logits) {
        kestu_batch_free(batch);
        throw std::bad_alloc();
    }
    for (size_t i = 0; i < n; i++) {
        batch.seq_id[i] = (int32_t *) calloc((size_t) std::max(n_seq_max, 1), sizeof(int32_t));
        if (!batch.seq_id[i]) {
            kestu_batch_free(batch);
            throw std::bad_alloc();
        }
    }
    batch.seq_id[n] = nullptr;
    return batch;
}

void kestu_batch_free(kestu_batch & batch) {
    free(batch.token);
    free(batch.pos);
    free(batch.n_seq_id);
    if (batch.seq_id) {
        for (size_t i = 0; batch.seq_id[i] != nullptr; i++) {
            free(batch.seq_id[i]);
        }
    }
    free(batch.seq_id);
    free(batch.logits);
    batch = kestu_batch{};
}

bool kestu_sched_graph_init(kestu_sched & sched, std::vector<tevo_backend_t> backends,
                            const std::function<tevo_cgraph *()> & get_graph) {
    KESTU_ASSERT(get_graph);

    sched.sched = tevo_backend_sched_new(backends.data(), nullptr, (int) backends.size(), 4096, false, true);
    sched.meta.resize(tevo_tensor_overhead() * 4096 + tevo_graph_overhead());

    // the worst case fixes the compute buffers for the state's life
    if (!tevo_backend_sched_alloc_graph(sched.sched, get_graph())) {
        KESTU_LOG_ERROR("%s: failed to allocate the compute buffer\n", __func__);
        return false;
    }
    tevo_backend_sched_reset(sched.sched);
    return true;
}

size_t sched_buffer_size(const kestu_sched & sched) {
    size_t size = sched.meta.size();
    if (!sched.sched) {
        return size;
    }
    const int n = tevo_backend_sched_get_n_backends(sched.sched);
    for (int i = 0; i < n; i++) {
        size += tevo_backend_sched_get_buffer_size(sched.sched, tevo_backend_sched_get_backend(sched.sched, i));
    }
    return size;
}

size_t tensor_list_nbytes(const std::vector<tevo_tensor *> & tensors) {
    size_t nbytes = 0;
    for (const tevo_tensor * t : tensors) {
        if (t) {
            nbytes += tevo_nbytes(t);
        }
    }
    return nbytes;
}

// the head list of a custom or preset choice; NULL heads when the preset has no row
static kestu_alignment_heads aheads_list(const kestu_context_params & params) {
    if (params.dtw_aheads_preset == KESTU_AHEADS_CUSTOM) {
        return params.dtw_aheads;
    }
    const auto it = kestu_aheads_presets.find(params.dtw_aheads_preset);
    if (it == kestu_aheads_presets.end()) {
        return kestu_alignment_heads{ 0, nullptr };
    }
    return it->second;
}

std::vector<uint32_t> alignment_heads_for_layer(const kestu_context_params & params, int il, int n_text_layer,
                                                int n_text_head) {
    std::vector<uint32_t> heads;
    switch (params.dtw_aheads_preset) {
        case KESTU_AHEADS_NONE:
            break;
        case KESTU_AHEADS_N_TOP_MOST:
            if (il >= n_text_layer - params.dtw_n_top) {
                for (int h = 0; h < n_text_head; h++) {
                    heads.push_back((uint32_t) h);
                }
            }
            break;
        default: {
            const kestu_alignment_heads list = aheads_list(params);
            for (size_t i = 0; list.heads && i < list.n_heads; i++) {
                if (list.heads[i].text_layer == il) {
                    heads.push_back((uint32_t) list.heads[i].head);
                }
            }
            break;
        }
    }
    return heads;
}

// every named head must exist in the model; messages as the callers know them
static bool aheads_masks_valid(const kestu_context_params & params, int n_text_layer, int n_text_head) {
    static const char * name = "aheads_masks_init";

    // range-checked as an int before anything reads it as the enum
    const int preset = kestu_aheads_preset_of(params);
    if (preset < KESTU_AHEADS_NONE || preset > KESTU_AHEADS_PRESET_14) {
        KESTU_LOG_ERROR("%s: unknown dtw_aheads_preset %d\n", name, preset);
        return false;
    }

    switch (params.dtw_aheads_preset) {
        case KESTU_AHEADS_NONE:
            KESTU_LOG_ERROR("%s: dtw_aheads_preset should be != DTW_AHEADS_NONE\n", name);
            return false;
        case KESTU_AHEADS_N_TOP_MOST:
            if (params.dtw_n_top <= 0 || params.dtw_n_top > n_text_layer) {
                KESTU_LOG_ERROR("%s: dtw_n_top must be between %d and %d for this model.", name, 1, n_text_layer);
                return false;
            }
            return true;
        default:
            break;
    }

    if (params.dtw_aheads_preset == KESTU_AHEADS_CUSTOM) {
        if (params.dtw_aheads.n_heads == 0) {
            KESTU_LOG_ERROR("%s: dtw_aheads.n_heads should be > 0", name);
            return false;
        }
        if (!params.dtw_aheads.heads) {
            KESTU_LOG_ERROR("%s: dtw_aheads.heads unset", name);
            return false;
        }
    } else if (kestu_aheads_presets.find(params.dtw_aheads_preset) == kestu_aheads_presets.end()) {
        KESTU_LOG_ERROR("%s: unknown dtw_aheads_preset %d\n", name, (int) params.dtw_aheads_preset);
        return false;
    }

    const kestu_alignment_heads list = aheads_list(params);
    for (size_t i = 0; i < list.n_heads; i++) {
        const kestu_alignment_head & h = list.heads[i];
        if (h.text_layer >= n_text_layer) {
            KESTU_LOG_ERROR("%s: tried to set alignment head on text layer %d, but model only has %d text layers",
                            name, h.text_layer + 1, n_text_layer);
            return false;
        }
        if (h.text_layer < 0) {
            KESTU_LOG_ERROR("%s: tried to set alignment head on text layer < 0", name);
            return false;
        }
        if (h.head >= n_text_head) {
            KESTU_LOG_ERROR("%s: tried to set alignment head on head %d, but model only has %d heads", name,
                            h.head + 1, n_text_head);
            return false;
        }
        if (h.head < 0) {
            KESTU_LOG_ERROR("%s: tried to set alignment head on head < 0", name);
            return false;
        }
    }
    return true;
}

// one [n_text_head, heads] selection matrix per text layer that has heads
static bool aheads_masks_init(const kestu_context_params & params, const kestu_hparams & hparams,
                              kestu_aheads_masks & masks, tevo_backend_t backend) {
    static const char * name = "aheads_masks_init";

    const int L = hparams.n_text_layer;
    const int H = hparams.n_text_head;

    if (!aheads_masks_valid(params, L, H)) {
        return false;
    }

    tevo_init_params ip = {
        /*.mem_size   =*/(size_t) L * tevo_tensor_overhead(),
        /*.mem_buffer =*/nullptr,
        /*.no_alloc   =*/true,
    };
    masks.ctx = tevo_init(ip);
    if (!masks.ctx) {
        KESTU_LOG_ERROR("%s: failed to allocate memory for the aheads_masks context\n", name);
        return false;
    }

    std::vector<std::vector<uint32_t>> heads((size_t) L);
    masks.m.assign((size_t) L, nullptr);
    for (int il = 0; il < L; il++) {
        heads[il] = alignment_heads_for_layer(params, il, L, H);
        if (!heads[il].empty()) {
            masks.m[il] = tevo_new_tensor_2d(masks.ctx, TEVO_TYPE_F32, H, (int64_t) heads[il].size());
        }
    }

    masks.buffer = tevo_backend_alloc_ctx_tensors(masks.ctx, backend);
    if (!masks.buffer) {
        KESTU_LOG_ERROR("%s: failed to allocate memory for aheads_masks\n", name);
        return false;
    }

    for (int il = 0; il < L; il++) {
        if (!masks.m[il]) {
            continue;
        }
        const size_t       h = heads[il].size();
        std::vector<float> data((size_t) H * h, 0.0f);
        for (size_t j = 0; j < h; j++) {
            data[j * H + heads[il][j]] = 1.0f;
        }
        tevo_backend_tensor_set(masks.m[il], data.data(), 0, data.size() * sizeof(float));
    }
    return true;
}

// fills a fresh state; false after a logged error (the caller frees it)
static bool init_state(kestu_context & ctx, kestu_state * state) {
    try {
        state->backends = kestu_backend_init(ctx.params);
    } catch (const std::exception & e) {
        // no CPU backend: a failed state, not an exception through C
        KESTU_LOG_ERROR("%s: %s\n", "kestu_init_state", e.what());
        return false;
    }
    if (state->backends.empty()) {
        KESTU_LOG_ERROR("%s: kestu_backend_init() failed\n", "kestu_init_state");
        return false;
    }

    const kestu_hparams & hparams = ctx.model.hparams;
    tevo_backend_t        backend = state->backends[0];

    state->kv_self_n_decoders = 1;

    if (!kestu_kv_cache_init(state->kv_self, backend, ctx.kv_type, hparams.n_text_state, hparams.n_text_layer,
                             pad256(hparams.n_text_ctx))) {
        KESTU_LOG_ERROR("%s: kestu_kv_cache_init() failed for self-attention cache\n", "kestu_init_state");
        return false;
    }
    KESTU_LOG_INFO("%s: kv self size  = %7.2f MB\n", "kestu_init_state",
                   (tevo_nbytes(state->kv_self.k) + tevo_nbytes(state->kv_self.v)) / 1e6);

    if (!kestu_kv_cache_init(state->kv_cross, backend, ctx.kv_type, hparams.n_text_state, hparams.n_text_layer,
                             pad256(hparams.n_audio_ctx))) {
        KESTU_LOG_ERROR("%s: kestu_kv_cache_init() failed for cross-attention cache\n", "kestu_init_state");
        return false;
    }
    KESTU_LOG_INFO("%s: kv cross size = %7.2f MB\n", "kestu_init_state",
                   (tevo_nbytes(state->kv_cross.k) + tevo_nbytes(state->kv_cross.v)) / 1e6);

    if (!kestu_kv_cache_init(state->kv_pad, backend, ctx.kv_type, hparams.n_audio_state, 1,
                             pad256(hparams.n_audio_ctx))) {
        KESTU_LOG_ERROR("%s: kestu_kv_cache_init() failed for self-attention cache\n", "kestu_init_state");
        return false;
    }
    KESTU_LOG_INFO("%s: kv pad  size  = %7.2f MB\n", "kestu_init_state",
                   (tevo_nbytes(state->kv_pad.k) + tevo_nbytes(state->kv_pad.v)) / 1e6);

    if (ctx.params.dtw_token_timestamps) {
        if (!aheads_masks_init(ctx.params, hparams, state->aheads_masks, backend)) {
            KESTU_LOG_ERROR("%s: aheads_masks_init() failed for alignment heads masks\n", "kestu_init_state");
            return false;
        }
        KESTU_LOG_INFO("%s: alignment heads masks size = %ld B\n", "kestu_init_state",
                       (long) tensor_list_nbytes(state->aheads_masks.m));
    }

    const char * hollin_path = getenv("HOLLIN_ENCODER");
    if (hollin_path) {
        KESTU_LOG_INFO("%s: loading Hollin encoder from '%s'\n", "kestu_init_state", hollin_path);
        KESTU_LOG_INFO("%s: first run on a device may take a while as the encoder is compiled for it\n",
                       "kestu_init_state");
        state->hollin_encoder = kestu_hollin_init(hollin_path);
        if (!state->hollin_encoder) {
            KESTU_LOG_ERROR("%s: failed to load Hollin encoder from '%s'\n", "kestu_init_state", hollin_path);
            return false;
        }
        KESTU_LOG_INFO("%s: Hollin encoder loaded\n", "kestu_init_state");
    }

    state->logits.reserve((size_t) ctx.vocab.n_vocab * (size_t) hparams.n_text_ctx);

    state->batch = kestu_batch_init(hparams.n_text_ctx, KESTU_MAX_DECODERS);

    {
        kestu_decoder & decoder = state->decoders[0];
        decoder.sequence.tokens.reserve((size_t) hparams.n_text_ctx);
        decoder.probs.reserve((size_t) ctx.vocab.n_vocab);
        decoder.logits.reserve((size_t) ctx.vocab.n_vocab);
        decoder.logprobs.reserve((size_t) ctx.vocab.n_vocab);
        decoder.logits_id.reserve((size_t) hparams.n_vocab);
        decoder.rng = std::mt19937(0);
    }

    // the first graphs of a context name its shared weights
    std::lock_guard<std::mutex> lock(ctx.graph_build_mutex);
    if (!kestu_sched_graph_init(state->sched_conv, state->backends,
                                [&]() { return kestu_build_conv_graph(ctx, *state); })) {
        KESTU_LOG_ERROR("%s: failed to init conv allocator\n", "kestu_init_state");
        return false;
    }
    KESTU_LOG_INFO("%s: compute buffer (conv)   = %7.2f MB\n", "kestu_init_state",
                   sched_buffer_size(state->sched_conv) / 1e6);

    if (!state->hollin_encoder) {
        if (!kestu_sched_graph_init(state->sched_encode, state->backends,
                                    [&]() { return kestu_build_encoder_graph(ctx, *state); })) {
            KESTU_LOG_ERROR("%s: failed to init encoder allocator\n", "kestu_init_state");
            return false;
        }
        KESTU_LOG_INFO("%s: compute buffer (encode) = %7.2f MB\n", "kestu_init_state",
                       sched_buffer_size(state->sched_encode) / 1e6);
    }

    if (!kestu_sched_graph_init(state->sched_cross, state->backends,
                                [&]() { return kestu_build_cross_graph(ctx, *state); })) {
        KESTU_LOG_ERROR("%s: failed to init cross allocator\n", "kestu_init_state");
        return false;
    }
    KESTU_LOG_INFO("%s: compute buffer (cross)  = %7.2f MB\n", "kestu_init_state",
                   sched_buffer_size(state->sched_cross) / 1e6);

    // the decoder's worst case: a whole text context of one sequence
    auto worst_case_decoder = [&]() {
        kestu_batch & batch = state->batch;
        const int     n     = hparams.n_text_ctx;
        for (int i = 0; i < n; i++) {
            batch.pos[i]       = i;
            batch.n_seq_id[i]  = 1;
            batch.seq_id[i][0] = 0;
            batch.logits[i]    = 0;
        }
        batch.logits[n - 1] = 1;
        batch.n_tokens      = n;
        return kestu_build_decoder_graph(ctx, *state, n, ctx.params.dtw_token_timestamps, true);
    };
    if (!kestu_sched_graph_init(state->sched_decode, state->backends, worst_case_decoder)) {
        KESTU_LOG_ERROR("%s: failed to init decoder allocator\n", "kestu_init_state");
        return false;
    }
    KESTU_LOG_INFO("%s: compute buffer (decode) = %7.2f MB\n", "kestu_init_state",
                   sched_buffer_size(state->sched_decode) / 1e6);

    return true;
}

struct kestu_state * kestu_init_state(struct kestu_context * ctx) {
    if (!ctx) {
        KESTU_LOG_ERROR("%s: no context\n", __func__);
        return nullptr;
    }
    // The graphs split widths into heads, and the cross cache is written with
    // the audio width and read with the text width: shapes that break either
    // would make the graphs index outside the caches.
    const kestu_hparams & hp = ctx->model.hparams;
    if (hp.n_text_ctx < 1 || hp.n_audio_ctx < 1 || hp.n_audio_head < 1 || hp.n_text_head < 1 ||
        hp.n_audio_state % hp.n_audio_head != 0 || hp.n_text_state % hp.n_text_head != 0 ||
        hp.n_audio_state != hp.n_text_state || hp.n_audio_head != hp.n_text_head) {
        KESTU_LOG_ERROR("%s: model shape not supported (audio %d x %d heads, text %d x %d heads)\n", __func__,
                        hp.n_audio_state, hp.n_audio_head, hp.n_text_state, hp.n_text_head);
        return nullptr;
    }

    kestu_state * state = nullptr;
    bool          ok    = false;
    try {
        state = new kestu_state;
        ok    = init_state(*ctx, state);
    } catch (const std::exception & e) {
        KESTU_LOG_ERROR("%s: %s\n", __func__, e.what());
    } catch (...) {
        KESTU_LOG_ERROR("%s: unknown exception\n", __func__);
    }
    if (!ok) {
        kestu_free_state(state);
        return nullptr;
    }
    return state;
}

void kestu_free_state(struct kestu_state * state) {
    if (!state) {
        return;
    }

    kestu_kv_cache_free(state->kv_self);
    kestu_kv_cache_free(state->kv_cross);
    kestu_kv_cache_free(state->kv_pad);

    if (state->hollin_encoder) {
        kestu_hollin_free(state->hollin_encoder);
        state->hollin_encoder = nullptr;
    }

    kestu_batch_free(state->batch);

    tevo_backend_sched_free(state->sched_conv.sched);
    tevo_backend_sched_free(state->sched_encode.sched);
    tevo_backend_sched_free(state->sched_cross.sched);
    tevo_backend_sched_free(state->sched_decode.sched);

    // off the backends before they go, then joined
    kestu_threadpool_free(state->threadpool);

    for (tevo_backend_t backend : state->backends) {
        tevo_backend_free(backend);
    }

    tevo_free(state->aheads_masks.ctx);
    tevo_backend_buffer_free(state->aheads_masks.buffer);

    if (state->vad_context) {
        kestu_vad_free(state->vad_context);
        state->vad_context = nullptr;
    }

    delete state;
}
