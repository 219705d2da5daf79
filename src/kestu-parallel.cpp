#include "kestu-impl.h"

// Parallel transcription: the requested span cut into equal chunks, the first
// on the context's state, each other on a state and thread of its own; their
// segments and token times are then shifted to their chunk's place and
// appended.
//
// Sample counts and times are computed in 64 bits: an offset of a few hours
// in samples, times 100, leaves the 32-bit range.

#include <algorithm>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace {

const char * const FUNC = "kestu_full_parallel";

// The shortest audio a run encodes: more than 10 frames of the spectrogram,
// whose frames are 160 samples apart and the last of which needs 200 samples
// past its start (1800 samples, 112.5 ms).
constexpr int64_t MIN_CHUNK_SAMPLES = 200 + 10 * KESTU_HOP_LENGTH;

struct chunk {
    int64_t       begin = 0; // first sample of the chunk
    int64_t       count = 0;
    kestu_state * state = nullptr;
    int           result = KESTU_FULL_OK;
};

// times in centiseconds; -1 (unset) stays unset
void shift_time(int64_t & t, int64_t shift) {
    if (t >= 0) {
        t += shift;
    }
}

// joins every thread it holds, also when the call is left by an exception
struct thread_group {
    std::vector<std::thread> threads;
    ~thread_group() { join(); }
    void join() {
        for (std::thread & t : threads) {
            if (t.joinable()) {
                t.join();
            }
        }
    }
};

// The caller's callbacks, called one at a time as in a run of kestu_full:
// the chunks' runs call them from their own threads.
struct serial_callbacks {
    std::mutex        mutex;
    kestu_full_params caller;

    explicit serial_callbacks(const kestu_full_params & params) : caller(params) {}

    // the parameters with every set callback passed through the mutex
    kestu_full_params wrap(kestu_full_params p) {
        if (p.on_new_segment != nullptr) {
            p.on_new_segment           = on_new_segment;
            p.on_new_segment_user_data = this;
        }
        if (p.on_progress != nullptr) {
            p.on_progress           = on_progress;
            p.on_progress_user_data = this;
        }
        if (p.encoder_begin_callback != nullptr) {
            p.encoder_begin_callback           = on_encoder_begin;
            p.encoder_begin_callback_user_data = this;
        }
        if (p.on_abort != nullptr) {
            p.on_abort           = on_abort;
            p.on_abort_user_data = this;
        }
        if (p.on_logits != nullptr) {
            p.on_logits           = on_logits;
            p.on_logits_user_data = this;
        }
        return p;
    }

    static void on_new_segment(kestu_context * ctx, kestu_state * state, int n_new, void * data) {
        auto *                      self = (serial_callbacks *) data;
        std::lock_guard<std::mutex> lock(self->mutex);
        self->caller.on_new_segment(ctx, state, n_new, self->caller.on_new_segment_user_data);
    }
    static void on_progress(kestu_context * ctx, kestu_state * state, int percent, void * data) {
        auto *                      self = (serial_callbacks *) data;
        std::lock_guard<std::mutex> lock(self->mutex);
        self->caller.on_progress(ctx, state, percent, self->caller.on_progress_user_data);
    }
    static bool on_encoder_begin(kestu_context * ctx, kestu_state * state, void * data) {
        auto *                      self = (serial_callbacks *) data;
        std::lock_guard<std::mutex> lock(self->mutex);
        return self->caller.encoder_begin_callback(ctx, state, self->caller.encoder_begin_callback_user_data);
    }
    static bool on_abort(void * data) {
        auto *                      self = (serial_callbacks *) data;
        std::lock_guard<std::mutex> lock(self->mutex);
        return self->caller.on_abort(self->caller.on_abort_user_data);
    }
    static void on_logits(kestu_context * ctx, kestu_state * state, const kestu_token_data * tokens, int n_tokens,
                          float * logits, void * data) {
        auto *                      self = (serial_callbacks *) data;
        std::lock_guard<std::mutex> lock(self->mutex);
        self->caller.on_logits(ctx, state, tokens, n_tokens, logits, self->caller.on_logits_user_data);
    }
};

int full_parallel(kestu_context & ctx, kestu_full_params params, const float * samples, int n_samples,
                  int n_processors) {
    kestu_state & state0 = *ctx.state;

    // what kestu_full refuses is refused before any chunk could run into it
    const int refused = kestu_full_refusal(ctx, params, samples, n_samples);
    if (refused != KESTU_FULL_OK) {
        return refused;
    }

    std::vector<float> filtered;
    if (params.use_vad) {
        if (params.vad_model_file == nullptr) {
            KESTU_LOG_ERROR("%s: use_vad is set but no vad_model_file is given\n", FUNC);
            return KESTU_FULL_ERR_NO_VAD_MODEL;
        }
        KESTU_LOG_INFO("%s: VAD is enabled, processing speech segments only\n", FUNC);
        if (!kestu_vad(&ctx, &state0, samples, n_samples, filtered, params)) {
            KESTU_LOG_ERROR("%s: failed to compute VAD\n", FUNC);
            return KESTU_FULL_ERR_VAD;
        }
        if (filtered.empty()) {
            return KESTU_FULL_OK;
        }
        samples   = filtered.data();
        n_samples = (int) filtered.size();
    }

    // the requested span: from the offset, for the processing duration when set
    const int64_t offset   = (int64_t) params.start_offset_ms * KESTU_SAMPLE_RATE / 1000;
    int64_t       span_end = n_samples;
    if (params.process_duration_ms > 0) {
        span_end = std::min<int64_t>(span_end, offset + (int64_t) params.process_duration_ms * KESTU_SAMPLE_RATE / 1000);
    }
    const int64_t span = span_end - offset;
    const int64_t per  = span > 0 ? span / n_processors : 0;
    if (per < 1) {
        KESTU_LOG_ERROR("%s: %lld samples from the offset cannot be shared among %d processors\n", FUNC,
                        (long long) std::max<int64_t>(span, 0), n_processors);
        return KESTU_FULL_ERR_N_PROCESSORS;
    }
    // Chunks this short would decode nothing, and each costs a state and a
    // thread: refused before any is made, so that a count in the thousands
    // does not exhaust the memory.
    if (per < MIN_CHUNK_SAMPLES) {
        KESTU_LOG_ERROR("%s: %lld samples from the offset shared among %d processors make chunks of %lld samples, "
                        "too short to decode (each needs %lld)\n",
                        FUNC, (long long) span, n_processors, (long long) per, (long long) MIN_CHUNK_SAMPLES);
        return KESTU_FULL_ERR_N_PROCESSORS;
    }

    std::vector<chunk> chunks(n_processors);
    for (int k = 0; k < n_processors; k++) {
        chunks[k].begin = offset + k * per;
        chunks[k].count = k + 1 < n_processors ? per : span_end - chunks[k].begin;
    }

    serial_callbacks serial(params);

    // The chunks' own runs: no offset, to the end of their samples, nothing
    // printed and no callbacks that would report chunk-relative times.
    kestu_full_params params_k        = serial.wrap(params);
    params_k.start_offset_ms          = 0;
    params_k.process_duration_ms      = 0;
    params_k.log_progress             = false;
    params_k.log_segments_live        = false;
    params_k.on_new_segment           = nullptr;
    params_k.on_new_segment_user_data = nullptr;
    params_k.on_progress              = nullptr;
    params_k.on_progress_user_data    = nullptr;

    // every extra state first: a chunk without one would lose its audio
    struct state_list {
        std::vector<kestu_state *> states;
        ~state_list() {
            for (kestu_state * s : states) {
                kestu_free_state(s);
            }
        }
    } extra;
    extra.states.reserve(n_processors);
    for (int k = 1; k < n_processors; k++) {
        kestu_state * s = kestu_init_state(&ctx);
        if (s == nullptr) {
            KESTU_LOG_ERROR("%s: failed to create a state for chunk %d\n", FUNC, k);
            return KESTU_FULL_ERR_INTERNAL;
        }
        extra.states.push_back(s);
        chunks[k].state = s;
    }

    {
        thread_group group;
        for (int k = 1; k < n_processors; k++) {
            chunk & c = chunks[k];
            // the thread owns nothing but its chunk record until joined
            group.threads.emplace_back([&ctx, &c, &params_k, samples] {
                c.result = kestu_full_with_state(&ctx, c.state, params_k, samples + c.begin, (int) c.count);
            });
        }

        // the first chunk runs from the caller's samples with the caller's
        // offset, so its times need no shift
        kestu_full_params params_0   = serial.wrap(params);
        params_0.process_duration_ms = 0;
        params_0.log_segments_live   = false;
        // the filtered audio's map, when there is one, maps every chunk's times
        chunks[0].result = kestu_full_keep_vad_map(ctx, state0, params_0, samples, (int) (offset + per));

        group.join();
    }

    // A chunk that failed (audio that overflows its spectrogram, an encoder
    // or decoder run that failed or was aborted, no possible token) fails
    // the request: an answer without that chunk's words would pass for a
    // whole one.
    for (const chunk & c : chunks) {
        if (c.result < 0) {
            state0.result.clear();
            return c.result;
        }
    }

    // A run ends its last segment where its window would end, past its
    // audio; within a chunk that is the next chunk's time, so every time is
    // held to its chunk's end.
    const int64_t offset_cs = params.start_offset_ms / 10;
    auto          chunk_end = [&](int k) { return (chunks[k].begin + chunks[k].count) * 100 / KESTU_SAMPLE_RATE; };
    auto          clamp_segment = [](kestu_segment & seg, int64_t end) {
        seg.t0 = std::min(seg.t0, end);
        seg.t1 = std::min(seg.t1, end);
        for (kestu_token_data & t : seg.tokens) {
            for (int64_t * v : {&t.t0, &t.t1, &t.t_dtw}) {
                *v = std::min(*v, end);
            }
        }
    };
    for (kestu_segment & seg : state0.result) {
        clamp_segment(seg, chunk_end(0));
    }

    std::vector<int64_t> shifts(n_processors, 0);
    for (int k = 1; k < n_processors; k++) {
        kestu_state & sk = *chunks[k].state;
        shifts[k]        = k * per * 100 / KESTU_SAMPLE_RATE + offset_cs;

        for (kestu_segment & seg : sk.result) {
            seg.t0 += shifts[k];
            seg.t1 += shifts[k];
            for (kestu_token_data & t : seg.tokens) {
                shift_time(t.t0, shifts[k]);
                shift_time(t.t1, shifts[k]);
                shift_time(t.t_dtw, shifts[k]);
            }
            clamp_segment(seg, chunk_end(k));
            if (!state0.result.empty() && seg.t0 < state0.result.back().t1) {
                seg.t0 = state0.result.back().t1;
                // a segment never ends before it starts
                seg.t1 = std::max(seg.t1, seg.t0);
            }
            state0.result.push_back(std::move(seg));
            if (params.on_new_segment != nullptr) {
                params.on_new_segment(&ctx, &state0, 1, params.on_new_segment_user_data);
            }
        }
        sk.result.clear();

        state0.t_sample_us += sk.t_sample_us;
        state0.t_encode_us += sk.t_encode_us;
        state0.t_decode_us += sk.t_decode_us;
        state0.t_batchd_us += sk.t_batchd_us;
        state0.t_prompt_us += sk.t_prompt_us;
        state0.t_mel_us += sk.t_mel_us;

        state0.n_sample += sk.n_sample;
        state0.n_encode += sk.n_encode;
        state0.n_decode += sk.n_decode;
        state0.n_batchd += sk.n_batchd;
        state0.n_prompt += sk.n_prompt;
    }

    state0.t_mel_us /= n_processors;
    state0.t_sample_us /= n_processors;
    state0.t_encode_us /= n_processors;
    state0.t_decode_us /= n_processors;

    KESTU_LOG_WARN("\n");
    KESTU_LOG_WARN("%s: the audio has been split into %d chunks at the following times:\n", FUNC, n_processors);
    for (int k = 1; k < n_processors; k++) {
        KESTU_LOG_WARN("%s: split %d - %s\n", FUNC, k, kestu_format_timestamp(shifts[k]).c_str());
    }
    KESTU_LOG_WARN("%s: the transcription quality may be degraded near these boundaries\n", FUNC);

    return chunks[0].result;
}

} // namespace

int kestu_full_parallel(struct kestu_context * ctx, struct kestu_full_params params, const float * samples,
                        int n_samples, int n_processors) {
    if (ctx == nullptr || ctx->state == nullptr) {
        KESTU_LOG_ERROR("%s: %s\n", FUNC, ctx == nullptr ? "no context given" : "the context has no state");
        return KESTU_FULL_ERR_NULL_ARGUMENT;
    }
    // results belong to the last request, a refused one included
    ctx->state->result.clear();
    // a mapping of an earlier filtered run would shift this run's times
    ctx->state->has_vad_segments = false;
    if (n_processors < 1) {
        KESTU_LOG_ERROR("%s: n_processors must be at least 1 (%d)\n", FUNC, n_processors);
        return KESTU_FULL_ERR_N_PROCESSORS;
    }
    if (n_processors == 1) {
        return kestu_full(ctx, params, samples, n_samples);
    }
    // checked here because the chunks are cut before any run sees the request
    if (n_samples > 0 && samples == nullptr) {
        KESTU_LOG_ERROR("%s: no samples given (n_samples = %d)\n", FUNC, n_samples);
        return KESTU_FULL_ERR_NULL_ARGUMENT;
    }
    if (params.start_offset_ms < 0 || params.process_duration_ms < 0) {
        KESTU_LOG_ERROR("%s: negative start_offset_ms (%d) or process_duration_ms (%d)\n", FUNC,
                        params.start_offset_ms, params.process_duration_ms);
        return KESTU_FULL_ERR_NEGATIVE_SPAN;
    }
    try {
        return full_parallel(*ctx, params, samples, n_samples, n_processors);
    } catch (const std::exception & e) {
        KESTU_LOG_ERROR("%s: %s\n", FUNC, e.what());
    } catch (...) {
        KESTU_LOG_ERROR("%s: unknown exception\n", FUNC);
    }
    return KESTU_FULL_ERR_INTERNAL;
}
