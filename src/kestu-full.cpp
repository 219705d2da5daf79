#include "kestu-impl.h"

// The transcription driver: spectrogram, optional language detection, checks
// of the request, prompt, then 30-second windows: one encoder run, decoder
// attempts in temperature order until one is accepted, segments, and the
// advance of the window start.
//
// Everything runs on the caller's thread except sampling and logits
// processing, which are spread over short-lived threads that take decoder
// indices from one atomic counter. The caller's logits callback is kept on
// the caller's thread by splitting the processing around it.

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <thread>

namespace {

const char * const DRIVER = "kestu_full_with_state";

constexpr int WINDOW_FRAMES    = 3000; // 30 s of 10 ms frames
constexpr int MAX_TEMPERATURES = 128;  // attempts per window, whatever the step

// Runs fn on n_workers threads counting the caller and joins them. Callers
// spread their work with an atomic counter, so a thread that cannot be
// started only costs speed: the caller takes its share. An exception of any
// worker is rethrown here after every thread has been joined.
void run_workers(int n_workers, const std::function<void()> & fn) {
    if (n_workers <= 1) {
        fn();
        return;
    }
    std::vector<std::exception_ptr> errors(n_workers);
    std::vector<std::thread>        threads;
    threads.reserve(n_workers - 1);
    for (int w = 1; w < n_workers; w++) {
        try {
            threads.emplace_back([&fn, &errors, w] {
                try {
                    fn();
                } catch (...) {
                    errors[w] = std::current_exception();
                }
            });
        } catch (...) {
            break;
        }
    }
    try {
        fn();
    } catch (...) {
        errors[0] = std::current_exception();
    }
    for (std::thread & t : threads) {
        t.join();
    }
    for (const std::exception_ptr & e : errors) {
        if (e) {
            std::rethrow_exception(e);
        }
    }
}

// fn(k) for k = 0 .. n-1, each index taken once from a shared counter
void for_each_index(int n, int n_threads, const std::function<void(int)> & fn) {
    std::atomic<int32_t> next{0};
    run_workers(std::min(n, n_threads), [&] {
        for (int k = next.fetch_add(1); k < n; k = next.fetch_add(1)) {
            fn(k);
        }
    });
}

bool is_active(const kestu_decoder & decoder) {
    return !decoder.failed && !decoder.completed;
}

// Logits processing of every active decoder. The callback, when set, runs
// between the two halves on this thread, in decoder order.
void filter_active_logits(kestu_context & ctx, kestu_state & state, const kestu_full_params & params,
                          float temperature, int n_cur, const std::regex * suppress_re) {
    std::vector<int> active;
    for (int j = 0; j < n_cur; j++) {
        if (is_active(state.decoders[j])) {
            active.push_back(j);
        }
    }
    const int n_active = (int) active.size();
    if (params.on_logits == nullptr) {
        for_each_index(n_active, params.n_threads, [&](int k) {
            kestu_filter_logits(ctx, state, state.decoders[active[k]], params, temperature, suppress_re);
        });
        return;
    }
    for_each_index(n_active, params.n_threads, [&](int k) {
        kestu_filter_logits_begin(ctx, state, state.decoders[active[k]], params, temperature);
    });
    for (int j : active) {
        kestu_decoder & decoder = state.decoders[j];
        params.on_logits(&ctx, &state, decoder.sequence.tokens.data(), (int) decoder.sequence.tokens.size(),
                         decoder.logits.data(), params.on_logits_user_data);
    }
    for_each_index(n_active, params.n_threads, [&](int k) {
        kestu_filter_logits_end(ctx, state, state.decoders[active[k]], params, suppress_re);
    });
}

bool wants_language_detection(const kestu_full_params & params) {
    return params.language == nullptr || params.language[0] == '\0' || strcmp(params.language, "auto") == 0 ||
           params.detect_language_only;
}

// decoders one run may use at most: the larger count of its attempts
int decoders_of_run(const kestu_full_params & params) {
    int n = 1;
    switch (kestu_strategy_of(params)) {
        case KESTU_SAMPLING_GREEDY:
            n = params.greedy_candidates;
            break;
        case KESTU_SAMPLING_BEAM_SEARCH:
            n = std::max(params.greedy_candidates, params.beam_width);
            break;
        default:
            break;
    }
    return n < 2 ? 1 : n;
}

int decoders_of_attempt(const kestu_full_params & params, float temperature) {
    int n = 1;
    switch (kestu_strategy_of(params)) {
        case KESTU_SAMPLING_GREEDY:
            n = temperature > 0.0f ? params.greedy_candidates : 1;
            break;
        case KESTU_SAMPLING_BEAM_SEARCH:
            n = temperature > 0.0f ? params.greedy_candidates : params.beam_width;
            break;
        default:
            break;
    }
    return n < 2 ? 1 : n;
}

// First-release distilled models were trained without timestamps: a run on
// one decodes without them whatever the parameters say.
bool model_turns_off_timestamps(const kestu_hparams & hp) {
    return hp.n_text_layer == 2 && hp.n_vocab != 51866;
}

// Requests that would decode garbage or fail half-way are refused before any
// work. The suppress pattern is compiled and the grammar's start state made
// here, once a run, and handed back for the run.
int refuse_request(const kestu_context & ctx, const kestu_full_params & params, const float * samples,
                   int n_samples, std::regex & suppress_re, kestu_grammar & grammar) {
    // 0 transcribes the state's own spectrogram; a negative count is no audio at all
    if (n_samples < 0) {
        KESTU_LOG_ERROR("%s: negative n_samples (%d)\n", DRIVER, n_samples);
        return KESTU_FULL_ERR_NEGATIVE_SPAN;
    }
    if (n_samples > 0 && samples == nullptr) {
        KESTU_LOG_ERROR("%s: no samples given (n_samples = %d)\n", DRIVER, n_samples);
        return KESTU_FULL_ERR_NULL_ARGUMENT;
    }
    if (params.n_threads < 1) {
        KESTU_LOG_ERROR("%s: n_threads must be at least 1 (%d)\n", DRIVER, params.n_threads);
        return KESTU_FULL_ERR_N_THREADS;
    }
    if (params.start_offset_ms < 0 || params.process_duration_ms < 0) {
        KESTU_LOG_ERROR("%s: negative start_offset_ms (%d) or process_duration_ms (%d)\n", DRIVER,
                        params.start_offset_ms, params.process_duration_ms);
        return KESTU_FULL_ERR_NEGATIVE_SPAN;
    }
    if (!std::isfinite(params.start_temperature) || !std::isfinite(params.temperature_step)) {
        KESTU_LOG_ERROR("%s: start_temperature (%f) and temperature_step (%f) must be finite\n", DRIVER,
                        params.start_temperature, params.temperature_step);
        return KESTU_FULL_ERR_TEMPERATURE;
    }
    const size_t bad_sample = kestu_first_non_finite(samples, (size_t) n_samples);
    if (bad_sample < (size_t) n_samples) {
        KESTU_LOG_ERROR("%s: sample %d is not a finite number\n", DRIVER, (int) bad_sample);
        return KESTU_FULL_ERR_NON_FINITE;
    }
    if (params.audio_ctx < 0) {
        KESTU_LOG_ERROR("%s: audio_ctx must not be negative (%d)\n", DRIVER, params.audio_ctx);
        return KESTU_FULL_ERR_AUDIO_CTX;
    }
    if (params.audio_ctx > ctx.model.hparams.n_audio_ctx) {
        KESTU_LOG_ERROR("%s: audio_ctx is larger than the maximum allowed (%d > %d)\n", DRIVER, params.audio_ctx,
                        ctx.model.hparams.n_audio_ctx);
        return KESTU_FULL_ERR_AUDIO_CTX;
    }
    const float vad_threshold = params.vad_settings.speech_threshold;
    if (params.use_vad && !kestu_vad_threshold_valid(vad_threshold)) {
        KESTU_LOG_ERROR("%s: vad_settings.speech_threshold must be a number from 0 to 1 (%f)\n", DRIVER,
                        vad_threshold);
        return KESTU_FULL_ERR_VAD_THRESHOLD;
    }
    const int n_decoders = decoders_of_run(params);
    if (n_decoders > KESTU_MAX_DECODERS) {
        KESTU_LOG_ERROR("%s: too many decoders requested (%d), max = %d\n", DRIVER, n_decoders, KESTU_MAX_DECODERS);
        return KESTU_FULL_ERR_TOO_MANY_DECODERS;
    }
    if (params.suppress_pattern != nullptr && !kestu_compile_suppress_pattern(params.suppress_pattern, suppress_re)) {
        return KESTU_FULL_ERR_SUPPRESS_PATTERN;
    }
    if (params.grammar_rule_list != nullptr && params.grammar_rule_count > 0) {
        // +inf masks what the grammar rejects; NaN or -inf would leave no distribution
        if (std::isnan(params.grammar_reject_penalty) || params.grammar_reject_penalty == -INFINITY) {
            KESTU_LOG_ERROR("%s: grammar_reject_penalty (%f) must be a number above -inf\n", DRIVER,
                            params.grammar_reject_penalty);
            return KESTU_FULL_ERR_GRAMMAR_PENALTY;
        }
        grammar = kestu_grammar_init(params.grammar_rule_list, params.grammar_rule_count, params.grammar_start_rule);
        if (grammar.rules.empty()) {
            return KESTU_FULL_ERR_GRAMMAR;
        }
        // only what the run's first text token may be can begin it, with
        // the timestamps the run will have
        kestu_full_params first_step = params;
        first_step.no_timestamps     = params.no_timestamps || model_turns_off_timestamps(ctx.model.hparams);
        const std::vector<bool> first_tokens =
            kestu_first_text_tokens(ctx, first_step, params.suppress_pattern != nullptr ? &suppress_re : nullptr);
        if (!kestu_grammar_can_begin(ctx.vocab, grammar, first_tokens) ||
            !kestu_grammar_derives_text(grammar, params.grammar_start_rule)) {
            return KESTU_FULL_ERR_GRAMMAR;
        }
    }
    if (ctx.vocab.is_multilingual() && !wants_language_detection(params)) {
        // the language token is sot + 1 + id: an unknown id would name another special token
        const int lang_id = kestu_lang_id(params.language);
        if (lang_id < 0 || lang_id >= ctx.vocab.num_languages()) {
            KESTU_LOG_ERROR("%s: unknown language '%s'\n", DRIVER, params.language);
            return KESTU_FULL_ERR_UNKNOWN_LANGUAGE;
        }
    }
    return KESTU_FULL_OK;
}

// The state's spectrogram of the samples (none: the state's own stays).
// Samples that overflow it are bad audio, refused as NaN samples are.
int make_spectrogram(kestu_context & ctx, kestu_state & state, const float * samples, int n_samples,
                     int n_threads) {
    const int status = n_samples > 0 ? kestu_pcm_to_mel_with_state(&ctx, &state, samples, n_samples, n_threads) : 0;
    if (status == KESTU_FULL_ERR_NON_FINITE) {
        return status; // already logged
    }
    if (status != 0) {
        KESTU_LOG_ERROR("%s: failed to compute log mel spectrogram\n", DRIVER);
        return KESTU_FULL_ERR_INTERNAL;
    }
    return KESTU_FULL_OK;
}

// Probability of the no-speech token after the prompt, from the row of the
// prompt's last token: the only row the decoder run wrote.
float no_speech_probability(const kestu_context & ctx, const kestu_state & state, int row) {
    const int n_vocab = ctx.model.hparams.n_vocab;
    const int n       = std::min<int>((int) ctx.vocab.id_to_token.size(), n_vocab);
    const int nosp    = ctx.vocab.token_nosp;
    if (nosp < 0 || nosp >= n || state.logits.size() < (size_t) (row + 1) * n_vocab) {
        return 0.0f;
    }
    const float * x = state.logits.data() + (size_t) row * n_vocab;

    float m = -INFINITY;
    for (int i = 0; i < n; i++) {
        m = std::max(m, x[i]);
    }
    if (m == -INFINITY || x[nosp] == -INFINITY) {
        return 0.0f;
    }
    double s = 0.0;
    for (int i = 0; i < n; i++) {
        if (x[i] != -INFINITY) {
            s += std::exp(x[i] - m);
        }
    }
    return std::exp(x[nosp] - (m + (float) std::log(s)));
}

void reset_decoder(kestu_decoder & decoder, const kestu_grammar & grammar) {
    kestu_sequence & seq  = decoder.sequence;
    seq.tokens.clear();
    seq.result_len       = 0;
    seq.sum_logprobs_all = 0.0;
    seq.sum_logprobs     = -INFINITY;
    seq.avg_logprobs     = -INFINITY;
    seq.entropy          = 0.0;
    seq.score            = -INFINITY;

    decoder.seek_delta = WINDOW_FRAMES;
    decoder.failed     = false;
    decoder.completed  = false;
    decoder.has_ts     = false;
    decoder.no_token   = false;

    decoder.grammar = grammar; // the run's start state, or none
}

int pad256(int n) {
    return (n + 255) / 256 * 256;
}

// Makes kv_self big enough for n_cur decoders. On failure the cache is made
// again at its former size so the state stays usable; when even that fails
// it is marked empty and the next run tries again.
bool grow_self_cache(kestu_context & ctx, kestu_state & state, int n_cur) {
    const kestu_hparams & hp = ctx.model.hparams;
    auto cells_for = [&](int n_decoders) { return pad256(hp.n_text_ctx) * (n_decoders >= 2 ? n_decoders + 2 : 1); };
    auto make      = [&](int n_decoders) {
        return !state.backends.empty() &&
               kestu_kv_cache_init(state.kv_self, state.backends[0], ctx.kv_type, hp.n_text_state, hp.n_text_layer,
                                   cells_for(n_decoders));
    };

    const int n_before = state.kv_self_n_decoders;
    kestu_kv_cache_free(state.kv_self);
    if (make(n_cur)) {
        state.kv_self_n_decoders = n_cur;
        return true;
    }
    KESTU_LOG_ERROR("%s: kestu_kv_cache_init() failed for self-attention cache\n", DRIVER);
    kestu_kv_cache_free(state.kv_self);
    state.kv_self_n_decoders = n_before >= 1 && make(n_before) ? n_before : 0;
    return false;
}

// The prompt tokens that can be embedded; others would index past the
// token table.
std::vector<kestu_token> valid_prompt(const kestu_context & ctx, const kestu_token * ids, int n) {
    std::vector<kestu_token> out;
    out.reserve(n);
    for (int i = 0; i < n; i++) {
        if (ids[i] >= 0 && ids[i] < ctx.model.hparams.n_vocab) {
            out.push_back(ids[i]);
        }
    }
    if ((int) out.size() < n) {
        KESTU_LOG_WARN("%s: dropped %d prompt tokens outside the vocabulary\n", DRIVER, n - (int) out.size());
    }
    return out;
}

int full_run(kestu_context & ctx, kestu_state & state, kestu_full_params params, const float * samples,
             int n_samples) {
    // results belong to the last run: a refused or failed run leaves none
    state.result.clear();
    state.energy.clear();

    std::regex    suppress_re;
    kestu_grammar grammar;
    const int     refused = refuse_request(ctx, params, samples, n_samples, suppress_re, grammar);
    if (refused != KESTU_FULL_OK) {
        return refused;
    }
    const std::regex * suppress = params.suppress_pattern != nullptr ? &suppress_re : nullptr;

    const kestu_hparams & hp      = ctx.model.hparams;
    const kestu_vocab &   vocab   = ctx.vocab;
    const int             n_vocab = hp.n_vocab;

    // a failed spectrogram leaves the previous audio's in the state: never
    // transcribe that instead
    const int mel_status = make_spectrogram(ctx, state, samples, n_samples, params.n_threads);
    if (mel_status != KESTU_FULL_OK) {
        return mel_status;
    }

    // the encoder runs of detection use this run's audio context too
    state.exp_n_audio_ctx = params.audio_ctx;

    if (!vocab.is_multilingual()) {
        // an English-only model's language tokens were never trained:
        // detecting over them would pick from a tie
        state.lang_id   = kestu_lang_id("en");
        params.language = "en";
        if (params.detect_language_only) {
            return KESTU_FULL_OK;
        }
    } else if (wants_language_detection(params)) {
        std::vector<float> lang_probs(kestu_lang_max_id() + 1, 0.0f);
        if (params.encoder_begin_callback != nullptr &&
            !params.encoder_begin_callback(&ctx, &state, params.encoder_begin_callback_user_data)) {
            KESTU_LOG_ERROR("%s: encoder_begin_callback returned false - aborting\n", DRIVER);
            return KESTU_FULL_ERR_LANG_DETECT;
        }
        const int lang_id = kestu_lang_auto_detect_internal(ctx, state, 0, params.n_threads, lang_probs.data(),
                                                            params.on_abort, params.on_abort_user_data);
        if (lang_id < 0) {
            KESTU_LOG_ERROR("%s: failed to auto-detect language\n", DRIVER);
            return KESTU_FULL_ERR_LANG_DETECT;
        }
        state.lang_id   = lang_id;
        params.language = kestu_lang_str(lang_id);
        KESTU_LOG_INFO("%s: auto-detected language: %s (p = %f)\n", DRIVER, params.language, lang_probs[lang_id]);
        if (params.detect_language_only) {
            return KESTU_FULL_OK;
        }
    }

    if (params.compute_token_times) {
        // token times count from where the run starts
        state.t_beg    = params.start_offset_ms / 10;
        state.t_last   = params.start_offset_ms / 10;
        state.tid_last = 0;
        if (n_samples > 0) {
            kestu_compute_energy(state.energy, samples, n_samples);
        }
    }

    // frames of the caller's audio; windows past its end would decode nothing
    // but the encoder's zero padding
    const int seek_start = params.start_offset_ms / 10;
    int       seek_end   = state.mel.n_len_org;
    if (params.process_duration_ms > 0) {
        seek_end = std::min(seek_end, seek_start + params.process_duration_ms / 10);
    }
    if (seek_end < seek_start + 10) {
        KESTU_LOG_WARN("%s: input is too short - %d ms < 100 ms. consider padding the input audio with silence\n",
                       DRIVER, (seek_end - seek_start) * 10);
        return KESTU_FULL_OK;
    }

    const std::vector<float> temperatures = kestu_temperature_list(params.start_temperature, params.temperature_step);

    const int n_decoders = decoders_of_run(params);
    state.decoders[0].rng.seed(0);
    for (int j = 1; j < n_decoders; j++) {
        kestu_decoder & decoder = state.decoders[j];
        decoder.sequence.tokens.reserve(state.decoders[0].sequence.tokens.capacity());
        decoder.probs.resize(vocab.n_vocab);
        decoder.logits.resize(vocab.n_vocab);
        decoder.logprobs.resize(vocab.n_vocab);
        decoder.logits_id.reserve(n_vocab);
        decoder.rng.seed(j);
    }

    if (params.discard_past_text) {
        state.initial_prompt_tokens.clear();
        state.past_text_tokens.clear();
    }

    const int n_max_text_ctx = std::min(params.max_past_text_tokens, hp.n_text_ctx / 2);

    std::vector<kestu_token> prompt_text_tokens;
    if (params.prompt_text != nullptr && params.prompt_token_ids == nullptr) {
        prompt_text_tokens.resize(1024);
        int n = kestu_tokenize(&ctx, params.prompt_text, prompt_text_tokens.data(), (int) prompt_text_tokens.size());
        if (n < 0) {
            prompt_text_tokens.resize(-n);
            n = kestu_tokenize(&ctx, params.prompt_text, prompt_text_tokens.data(), (int) prompt_text_tokens.size());
        }
        prompt_text_tokens.resize(std::max(n, 0));
        params.prompt_token_ids   = prompt_text_tokens.data();
        params.prompt_token_count = (int) prompt_text_tokens.size();
    }
    if (params.prompt_token_ids != nullptr && params.prompt_token_count > 0) {
        const std::vector<kestu_token> ids = valid_prompt(ctx, params.prompt_token_ids, params.prompt_token_count);
        const int                      n   = (int) ids.size();
        if (params.repeat_prompt_text) {
            if (state.initial_prompt_tokens.empty()) {
                const int keep = n_max_text_ctx >= 3 ? n_max_text_ctx - 1 : 1;
                if (n > keep) {
                    KESTU_LOG_WARN("%s: initial prompt is too long (%d tokens), will use only the last %d tokens\n",
                                   DRIVER, n, keep);
                }
                state.initial_prompt_tokens.assign(ids.end() - std::min(keep, n), ids.end());
            }
        } else {
            const int budget = std::max(n_max_text_ctx - 1, 0);
            if (n_max_text_ctx > 0 && n > budget) {
                KESTU_LOG_WARN("%s: initial prompt is too long (%d tokens), will use only the last %d tokens\n",
                               DRIVER, n, budget);
            }
            state.past_text_tokens.insert(state.past_text_tokens.begin(), ids.begin(), ids.end());
        }
    }

    std::vector<kestu_token> sot_sequence = { vocab.token_sot };
    if (vocab.is_multilingual()) {
        state.lang_id = kestu_lang_id(params.language);
        sot_sequence.push_back(vocab.token_sot + 1 + state.lang_id);
        sot_sequence.push_back(params.translate_task ? vocab.token_translate : vocab.token_transcribe);
    }
    if (model_turns_off_timestamps(hp) && !params.no_timestamps) {
        KESTU_LOG_WARN("%s: using first release distilled models - forcing no_timestamps\n", DRIVER);
        params.no_timestamps = true;
    }
    if (params.no_timestamps) {
        sot_sequence.push_back(vocab.token_not);
    }

    // frames one encoder run sees: a smaller audio context encodes less
    const int n_audio_ctx   = state.exp_n_audio_ctx > 0 ? state.exp_n_audio_ctx : hp.n_audio_ctx;
    const int window_frames = std::min(WINDOW_FRAMES, 2 * n_audio_ctx);

    const int n_max = hp.n_text_ctx / 2 - 4;

    std::vector<kestu_token> prompt;
    prompt.reserve(hp.n_text_ctx);
    std::vector<std::vector<kestu_beam_candidate>> beam_candidates(KESTU_MAX_DECODERS);
    std::vector<kestu_beam_candidate>              merged;

    const bool beam = kestu_strategy_of(params) == KESTU_SAMPLING_BEAM_SEARCH;

    int seek = seek_start;
    while (true) {
        if (params.on_progress != nullptr) {
            // the last window may advance past the end: that is still 100 %
            const int progress =
                (int) ((int64_t) (std::min(seek, seek_end) - seek_start) * 100 / (seek_end - seek_start));
            params.on_progress(&ctx, &state, progress, params.on_progress_user_data);
        }
        if (seek + 10 >= seek_end) {
            break;
        }
        if (params.encoder_begin_callback != nullptr &&
            !params.encoder_begin_callback(&ctx, &state, params.encoder_begin_callback_user_data)) {
            KESTU_LOG_ERROR("%s: encoder_begin_callback returned false - aborting\n", DRIVER);
            return KESTU_FULL_OK;
        }
        // the window hears the span asked for, not the audio behind it
        if (!kestu_run_encoder(ctx, state, seek, params.n_threads, params.on_abort, params.on_abort_user_data,
                               seek_end)) {
            KESTU_LOG_ERROR("%s: failed to encode\n", DRIVER);
            return KESTU_FULL_ERR_ENCODE;
        }

        // too little audio is left for earlier text to help
        if (seek > seek_start && seek + 500 >= seek_end) {
            state.initial_prompt_tokens.clear();
            state.past_text_tokens.clear();
        }

        // chosen afresh in every attempt: an index from an earlier window or
        // attempt would name a sequence of other audio
        int best_decoder_id = 0;

        for (size_t it = 0; it < temperatures.size(); it++) {
            const float t     = temperatures[it];
            const int   n_cur = decoders_of_attempt(params, t);

            for (int j = 0; j < n_cur; j++) {
                reset_decoder(state.decoders[j], grammar);
            }

            prompt.clear();
            const bool has_past = (params.repeat_prompt_text && !state.initial_prompt_tokens.empty()) ||
                                  !state.past_text_tokens.empty();
            if (params.max_past_text_tokens > 0 && t < 0.5f && n_max_text_ctx > 0 && has_past) {
                prompt.push_back(vocab.token_prev);
                int n_initial = 0;
                if (params.repeat_prompt_text) {
                    prompt.insert(prompt.end(), state.initial_prompt_tokens.begin(),
                                  state.initial_prompt_tokens.end());
                    n_initial = (int) state.initial_prompt_tokens.size();
                }
                // a short budget after a long initial prompt leaves no room for past text
                const int m = std::max(
                    0, std::min(n_max_text_ctx - 1 - n_initial, (int) state.past_text_tokens.size()));
                prompt.insert(prompt.end(), state.past_text_tokens.end() - m, state.past_text_tokens.end());
            }
            prompt.insert(prompt.end(), sot_sequence.begin(), sot_sequence.end());
            const int n_prompt = (int) prompt.size();

            if (state.kv_self_n_decoders < n_cur && !grow_self_cache(ctx, state, n_cur)) {
                return KESTU_FULL_ERR_KV_CACHE;
            }
            kestu_kv_cache_clear(state.kv_self);

            if (n_prompt > hp.n_text_ctx) {
                // only a model with a tiny text context gets here
                KESTU_LOG_ERROR("%s: failed to decode\n", DRIVER);
                return KESTU_FULL_ERR_PROMPT_DECODE;
            }
            kestu_batch_fill(state.batch, prompt.data(), n_prompt, 0, 0);
            if (!kestu_run_decoder(ctx, state, state.batch, params.n_threads, false, params.on_abort,
                                   params.on_abort_user_data)) {
                KESTU_LOG_ERROR("%s: failed to decode\n", DRIVER);
                return KESTU_FULL_ERR_PROMPT_DECODE;
            }

            state.no_speech_prob = no_speech_probability(ctx, state, n_prompt - 1);

            {
                const int64_t t_start = tevo_time_us();
                kestu_decoder & first = state.decoders[0];
                first.i_batch         = n_prompt - 1;
                kestu_filter_logits(ctx, state, first, params, t, suppress);
                if (!kestu_token_possible(first)) {
                    // nothing was drawn yet: the model's logits or the
                    // caller's filters leave no token, at every temperature
                    KESTU_LOG_ERROR("%s: no token is possible after the prompt\n", DRIVER);
                    return KESTU_FULL_ERR_NO_TOKEN;
                }
                for (int j = 1; j < n_cur; j++) {
                    kestu_kv_cache_seq_cp(state.kv_self, 0, j, 0, INT32_MAX);
                    kestu_decoder & other = state.decoders[j];
                    other.probs           = first.probs;
                    other.logits          = first.logits;
                    other.logprobs        = first.logprobs;
                }
                state.t_sample_us += tevo_time_us() - t_start;
            }

            for (int i = 0; hp.n_text_ctx >= 10 && i < n_max; i++) {
                int64_t t_start = tevo_time_us();

                if (beam) {
                    for (int j = 0; j < n_cur; j++) {
                        beam_candidates[j].clear();
                    }
                }
                {
                    std::atomic<int32_t> next{0};
                    run_workers(std::min(n_cur, params.n_threads), [&] {
                        kestu_decoder_job(next, n_cur, state, params, t, ctx, beam_candidates);
                    });
                }
                if (beam) {
                    kestu_beam_hand_out(state, n_cur, i, beam_candidates, merged);
                }
                bool all_done = true;
                for (int j = 0; j < n_cur; j++) {
                    kestu_decoder & decoder = state.decoders[j];
                    if (is_active(decoder)) {
                        kestu_decoder_check(ctx, state, decoder, params, i, n_max, seek, seek_end);
                    }
                    all_done = all_done && !is_active(decoder);
                }
                state.t_sample_us += tevo_time_us() - t_start;
                if (all_done || n_prompt + i >= hp.n_text_ctx) {
                    break;
                }

                kestu_batch & batch = state.batch;
                batch.n_tokens      = 0;
                for (int j = 0; j < n_cur; j++) {
                    kestu_decoder & decoder = state.decoders[j];
                    if (!is_active(decoder)) {
                        continue;
                    }
                    const int row          = batch.n_tokens++;
                    batch.token[row]       = decoder.sequence.tokens.back().id;
                    batch.pos[row]         = n_prompt + i;
                    batch.n_seq_id[row]    = 1;
                    batch.seq_id[row][0]   = j;
                    batch.logits[row]      = 1;
                    decoder.i_batch        = row;
                }
                if (!kestu_run_decoder(ctx, state, batch, params.n_threads, false, params.on_abort,
                                       params.on_abort_user_data)) {
                    KESTU_LOG_ERROR("%s: failed to decode\n", DRIVER);
                    return KESTU_FULL_ERR_DECODE;
                }

                t_start = tevo_time_us();
                filter_active_logits(ctx, state, params, t, n_cur, suppress);
                state.t_sample_us += tevo_time_us() - t_start;
            }

            best_decoder_id = kestu_rank_decoders(state, params, n_cur, 0);
            const bool last = it + 1 == temperatures.size();
            if (last && kestu_attempt_found_no_token(state, n_cur)) {
                KESTU_LOG_ERROR("%s: every decoder came to a step with no possible token\n", DRIVER);
                return KESTU_FULL_ERR_NO_TOKEN;
            }
            if (kestu_accept_attempt(state, state.decoders[best_decoder_id], params, last)) {
                break;
            }
            state.n_fail_p++;
        }

        const kestu_decoder & best = state.decoders[best_decoder_id];
        const kestu_sequence & seq = best.sequence;

        // the encoder saw window_frames frames: advancing further skips audio
        int seek_delta = std::max(1, std::min(best.seek_delta, window_frames));
        const int result_len = std::min(seq.result_len, (int) seq.tokens.size());
        const bool is_no_speech =
            state.no_speech_prob > params.no_speech_threshold && seq.avg_logprobs < params.avg_logprob_threshold;

        state.past_text_tokens.clear();
        if (!params.repeat_prompt_text && !prompt.empty() && prompt.front() == vocab.token_prev) {
            state.past_text_tokens.assign(prompt.begin() + 1, prompt.end() - sot_sequence.size());
        }
        if (result_len > 0 && !is_no_speech) {
            for (int k = 0; k < result_len; k++) {
                state.past_text_tokens.push_back(seq.tokens[k].id);
            }
        }

        if (!seq.tokens.empty() && ctx.model.n_loaded > 0 && !is_no_speech) {
            const int i_segment = (int) state.result.size();
            // a window's last segment ends with the audio, not 30 s later
            const int seg_delta = std::max(1, std::min(seek_delta, seek_end - seek));
            const int n_new     = kestu_cut_segments(ctx, state, params, seq.tokens, seek, seg_delta);
            if (ctx.params.dtw_token_timestamps && n_new > 0) {
                const int n_frames = std::min(std::min(seek_delta, seek_end - seek), window_frames);
                if (!kestu_dtw_timestamps(ctx, state, params, i_segment, n_new, seek, n_frames, 7,
                                          params.n_threads)) {
                    return KESTU_FULL_ERR_DTW;
                }
            }
        }

        // a window that ends in text closed by one timestamp is done as a whole
        const size_t n_tok = seq.tokens.size();
        if (n_tok >= 2 && seq.tokens[n_tok - 2].id < vocab.token_beg && seq.tokens[n_tok - 1].id > vocab.token_beg &&
            !(params.max_segment_tokens > 0 && !params.one_segment_per_window &&
              (int) n_tok > params.max_segment_tokens)) {
            seek_delta = std::min(seek_end - seek, window_frames);
        }
        seek += std::max(seek_delta, 1);
    }
    return KESTU_FULL_OK;
}

} // namespace

namespace {

// An upper bound on the atoms the engine expands a pattern into, or SIZE_MAX
// for a back-reference (which only a backtracking matcher can follow). Each
// character or class counts once, a group the sum of its contents, and a
// counted repetition {m,n} multiplies what it repeats by max(m, n) + 1. A
// class ends at its first unescaped ']', which can only over-count.
size_t suppress_pattern_atoms(const char * p) {
    constexpr size_t cap = size_t(1) << 40;
    struct level {
        size_t sum  = 0; // closed atoms of this group
        size_t last = 0; // the atom a quantifier would repeat
    };
    std::vector<level> levels(1);
    auto close_atom = [&](size_t cost) {
        level & l = levels.back();
        l.sum     = std::min(cap, l.sum + l.last);
        l.last    = cost;
    };
    for (size_t i = 0; p[i] != '\0'; i++) {
        const char c = p[i];
        if (c == '\\') {
            if (p[i + 1] >= '1' && p[i + 1] <= '9') {
                return SIZE_MAX;
            }
            if (p[i + 1] != '\0') {
                i++;
            }
            close_atom(1);
        } else if (c == '[') {
            for (i++; p[i] != '\0' && p[i] != ']'; i++) {
                if (p[i] == '\\' && p[i + 1] != '\0') {
                    i++;
                }
            }
            close_atom(1);
            if (p[i] == '\0') {
                break;
            }
        } else if (c == '(') {
            levels.emplace_back();
        } else if (c == ')' && levels.size() > 1) {
            const size_t group = std::min(cap, levels.back().sum + levels.back().last + 1);
            levels.pop_back();
            close_atom(group);
        } else if (c == '|') {
            close_atom(0);
        } else if (c == '*' || c == '+' || c == '?') {
            levels.back().last = std::min(cap, levels.back().last + 1);
        } else if (c == '{' && p[i + 1] >= '0' && p[i + 1] <= '9') {
            size_t j = i + 1, bound = 0;
            while ((p[j] >= '0' && p[j] <= '9') || p[j] == ',') {
                bound = p[j] == ',' ? bound : std::max(bound, std::min(cap, bound * 10 + size_t(p[j] - '0')));
                j++;
            }
            size_t & last = levels.back().last;
            last          = last != 0 && bound + 1 > cap / last ? cap : last * (bound + 1);
            i                  = p[j] == '}' ? j : i;
        } else {
            close_atom(1);
        }
    }
    size_t total = 0;
    for (const level & l : levels) {
        total = std::min(cap, total + l.sum + l.last);
    }
    return total;
}

} // namespace

bool kestu_compile_suppress_pattern(const char * pattern, std::regex & re) {
    // The standard engine matches by backtracking, with time exponential and
    // stack depth linear in the expanded pattern. Short patterns without
    // back-references can be matched by its breadth-first form instead, in
    // time linear in the text for each state of the pattern.
    const size_t len = strnlen(pattern, KESTU_SUPPRESS_PATTERN_MAX_LEN + 1);
    if (len > KESTU_SUPPRESS_PATTERN_MAX_LEN) {
        KESTU_LOG_ERROR("%s: suppress_pattern is longer than %d bytes\n", DRIVER, KESTU_SUPPRESS_PATTERN_MAX_LEN);
        return false;
    }
    const size_t atoms = suppress_pattern_atoms(pattern);
    if (atoms == SIZE_MAX) {
        KESTU_LOG_ERROR("%s: suppress_pattern '%s' holds a back-reference\n", DRIVER, pattern);
        return false;
    }
    if (atoms > KESTU_SUPPRESS_PATTERN_MAX_ATOMS) {
        KESTU_LOG_ERROR("%s: suppress_pattern '%s' repeats to more than %d atoms\n", DRIVER, pattern,
                        KESTU_SUPPRESS_PATTERN_MAX_ATOMS);
        return false;
    }
    std::regex::flag_type flags = std::regex::ECMAScript;
#ifdef __GLIBCXX__
    flags |= std::regex_constants::__polynomial;
#endif
    try {
        re = std::regex(pattern, flags);
    } catch (const std::regex_error & e) {
        KESTU_LOG_ERROR("%s: invalid suppress_pattern '%s': %s\n", DRIVER, pattern, e.what());
        return false;
    }
    return true;
}

std::vector<float> kestu_temperature_list(float start_temperature, float temperature_step) {
    // the float 1.0 plus eight units in the last place
    const float t_end = 1.0000009536743164f;

    std::vector<float> temperatures;
    if (temperature_step > 0.0f) {
        for (float t = start_temperature; t < t_end && (int) temperatures.size() < MAX_TEMPERATURES;) {
            temperatures.push_back(t);
            const float next = t + temperature_step;
            if (!(next > t)) {
                break; // the step is lost in rounding: t would repeat for ever
            }
            t = next;
        }
    }
    // a start at or above 1 still makes one attempt
    if (temperatures.empty()) {
        temperatures.push_back(start_temperature);
    }
    return temperatures;
}

int kestu_full_refusal(const kestu_context & ctx, const kestu_full_params & params, const float * samples,
                       int n_samples) {
    std::regex    unused;
    kestu_grammar unused_grammar;
    return refuse_request(ctx, params, samples, n_samples, unused, unused_grammar);
}

int kestu_full_keep_vad_map(kestu_context & ctx, kestu_state & state, const kestu_full_params & params,
                            const float * samples, int n_samples) {
    try {
        return full_run(ctx, state, params, samples, n_samples);
    } catch (const std::exception & e) {
        KESTU_LOG_ERROR("%s: %s\n", DRIVER, e.what());
    } catch (...) {
        KESTU_LOG_ERROR("%s: unknown exception\n", DRIVER);
    }
    return KESTU_FULL_ERR_INTERNAL;
}

int kestu_full_with_state(struct kestu_context * ctx, struct kestu_state * state, struct kestu_full_params params,
                          const float * samples, int n_samples) {
    if (ctx == nullptr || state == nullptr) {
        KESTU_LOG_ERROR("%s: no %s given\n", DRIVER, ctx == nullptr ? "context" : "state");
        return KESTU_FULL_ERR_NULL_ARGUMENT;
    }
    // a mapping of an earlier filtered run would shift this run's times
    state->has_vad_segments = false;
    return kestu_full_keep_vad_map(*ctx, *state, params, samples, n_samples);
}

int kestu_full(struct kestu_context * ctx, struct kestu_full_params params, const float * samples, int n_samples) {
    if (ctx == nullptr || ctx->state == nullptr) {
        KESTU_LOG_ERROR("%s: %s\n", "kestu_full", ctx == nullptr ? "no context given" : "the context has no state");
        return KESTU_FULL_ERR_NULL_ARGUMENT;
    }
    kestu_state & state = *ctx->state;
    try {
        state.result.clear();
        // a mapping of an earlier filtered run would shift this run's times
        state.has_vad_segments = false;
        if (!params.use_vad) {
            return kestu_full_with_state(ctx, &state, params, samples, n_samples);
        }

        // refuse bad requests before the pre-filter reads the samples
        std::regex    unused;
        kestu_grammar unused_grammar;
        const int     refused = refuse_request(*ctx, params, samples, n_samples, unused, unused_grammar);
        if (refused != KESTU_FULL_OK) {
            return refused;
        }
        if (params.vad_model_file == nullptr) {
            KESTU_LOG_ERROR("%s: use_vad is set but no vad_model_file is given\n", "kestu_full");
            return KESTU_FULL_ERR_NO_VAD_MODEL;
        }
        // audio that overflows the spectrogram is refused as without the
        // pre-filter, which would drop it unheard or pass it on after
        // reporting its segments
        const int mel_status = make_spectrogram(*ctx, state, samples, n_samples, params.n_threads);
        if (mel_status != KESTU_FULL_OK) {
            return mel_status;
        }

        KESTU_LOG_INFO("%s: VAD is enabled, processing speech segments only\n", "kestu_full");
        std::vector<float> filtered;
        if (!kestu_vad(ctx, &state, samples, n_samples, filtered, params)) {
            KESTU_LOG_ERROR("%s: failed to compute VAD\n", "kestu_full");
            return KESTU_FULL_ERR_VAD;
        }
        if (filtered.empty()) {
            return KESTU_FULL_OK;
        }
        const int status = kestu_full_keep_vad_map(*ctx, state, params, filtered.data(), (int) filtered.size());
        if (status == KESTU_FULL_ERR_NON_FINITE) {
            // refused audio reports no segment, filtered or not
            state.has_vad_segments = false;
        }
        return status;
    } catch (const std::exception & e) {
        KESTU_LOG_ERROR("%s: %s\n", "kestu_full", e.what());
    } catch (...) {
        KESTU_LOG_ERROR("%s: unknown exception\n", "kestu_full");
    }
    return KESTU_FULL_ERR_INTERNAL;
}
