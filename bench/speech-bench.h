// Small pieces the speech-library benchmarks share: thread counts, the load
// average printed beside every figure (the machine may be shared), medians,
// random-weight models from the model-file writer, and the shipped clips.
#pragma once

#include "kestu-impl.h"
#include "model-writer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace speech_bench {

using clock = std::chrono::steady_clock;

inline double ms_since(clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(clock::now() - t0).count();
}

inline double median(std::vector<double> v) {
    if (v.empty()) {
        return 0.0;
    }
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// one-minute load average, -1 when unknown
inline double load1() {
    double l[1];
    return getloadavg(l, 1) == 1 ? l[0] : -1.0;
}

inline int cores() {
    return std::max(1, (int) std::thread::hardware_concurrency());
}

// the counts given on the command line, else 1, 4 and 8; counts above the
// machine's cores are dropped (1 always stays)
inline std::vector<int> thread_counts(const std::vector<int> & asked) {
    std::vector<int> out;
    for (int t : asked.empty() ? std::vector<int>{ 1, 4, 8 } : asked) {
        if (t >= 1 && (t == 1 || t <= cores())) {
            out.push_back(t);
        }
    }
    return out;
}

// thread_counts of the counts on the command line (every argument a count),
// else of `fallback`
inline std::vector<int> thread_counts(int argc, char ** argv, const std::vector<int> & fallback = { 1, 4, 8 }) {
    std::vector<int> asked;
    for (int i = 1; i < argc; ++i) {
        asked.push_back(atoi(argv[i]));
    }
    return thread_counts(asked.empty() ? fallback : asked);
}

// a speech model's shape
struct model_size {
    const char * name;
    int          n_state;
    int          n_head;
    int          n_enc_layer;
    int          n_dec_layer;
};

constexpr model_size SIZE_384 = { "384", 384, 6, 4, 4 };
constexpr model_size SIZE_512 = { "512", 512, 8, 6, 6 };

// A model with random weights and its file image, which stays alive as long
// as the context (the loader reads from it).
struct random_model {
    std::vector<uint8_t> image;
    kestu_context *      ctx = nullptr;

    random_model(const model_size & size, bool f16, int n_text_ctx = 448, uint64_t seed = 7) {
        kestu_model_recipe recipe;
        recipe.n_vocab       = 51864;
        recipe.n_audio_ctx   = 1500;
        recipe.n_audio_state = size.n_state;
        recipe.n_audio_head  = size.n_head;
        recipe.n_audio_layer = size.n_enc_layer;
        recipe.n_text_ctx    = n_text_ctx;
        recipe.n_text_state  = size.n_state;
        recipe.n_text_head   = size.n_head;
        recipe.n_text_layer  = size.n_dec_layer;
        recipe.n_mels        = 80;
        recipe.ftype         = f16 ? 1 : 0;
        recipe.seed          = seed;
        image              = kestu_write_model(recipe);

        kestu_context_params params = kestu_context_default_params();
        ctx = kestu_init_from_buffer_with_params(image.data(), image.size(), params);
        if (ctx == nullptr) {
            throw std::runtime_error("the random model did not load");
        }
    }

    ~random_model() { kestu_free(ctx); }

    random_model(const random_model &)             = delete;
    random_model & operator=(const random_model &) = delete;
};

// raw 16 kHz float clip from models/samples
inline std::vector<float> read_clip(const std::string & path) {
    std::ifstream      f(path, std::ios::binary);
    const std::string  bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<float> samples(bytes.size() / sizeof(float));
    if (samples.empty()) {
        throw std::runtime_error("no clip at " + path);
    }
    memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

// Speech of exactly `seconds`: the 1-second clip is the start of 02 (its
// first word), 5 seconds are 01 and 02 with a short pause, 30 seconds all
// ten clips with pauses; silence fills the rest.
inline std::vector<float> speech_of(const std::string & samples_dir, int seconds) {
    const size_t       n = (size_t) seconds * KESTU_SAMPLE_RATE;
    const size_t       pause = KESTU_SAMPLE_RATE * 3 / 10;
    std::vector<float> out;
    const int          n_clips = seconds <= 1 ? 1 : seconds <= 5 ? 2 : 10;
    const char *       order[] = { "02", "01", "03", "04", "05", "06", "07", "08", "09", "10" };
    const char *       five[]  = { "01", "02" };
    for (int i = 0; i < n_clips; ++i) {
        const std::string  name = std::string(n_clips == 2 ? five[i] : order[i]) + ".f32";
        std::vector<float> clip = read_clip(samples_dir + "/" + name);
        if (!out.empty()) {
            out.resize(out.size() + pause, 0.0f);
        }
        out.insert(out.end(), clip.begin(), clip.end());
    }
    out.resize(n, 0.0f);
    return out;
}

// drops the library's log lines, which would bury the tables
inline void quiet_logs() {
    kestu_log_set([](enum tevo_log_level, const char *, void *) {}, nullptr);
}

// The worker's transcription settings: greedy, English, no timestamps,
// nothing carried from one request to the next.
inline kestu_full_params worker_like_params(int n_threads) {
    kestu_full_params params      = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
    params.n_threads              = n_threads;
    params.language               = "en";
    params.discard_past_text      = true;
    params.no_timestamps          = true;
    params.log_progress           = false;
    params.log_segments_live      = false;
    params.suppress_leading_blank = true;
    params.temperature_step       = 0.2f;
    return params;
}

// the worker's "fit": 50 positions a second plus 128, rounded up to 64, in 512..1500
inline int fit_audio_ctx(size_t n_samples) {
    const int k = (int) (((double) n_samples / 16000.0 * 50.0 + 128.0 + 63.0) / 64.0);
    return k < 9 ? 512 : std::min(k * 64, 1500);
}

// Counts the logits filterings of a run (one per decoder and token step);
// with block_eot also takes end of text away, so that a random-weight model
// decodes exactly its token budget in every window.
struct step_counter {
    int         n_steps   = 0;
    bool        block_eot = false;
    kestu_token eot       = 0;

    static void on_logits(kestu_context *, kestu_state *, const kestu_token_data *, int, float * logits,
                          void * user_data) {
        step_counter * self = (step_counter *) user_data;
        self->n_steps++;
        if (self->block_eot) {
            logits[self->eot] = -INFINITY;
        }
    }

    void attach(kestu_full_params & params) {
        params.on_logits           = on_logits;
        params.on_logits_user_data = this;
    }
};

// Settings that fix the work of every window on a random-weight model:
// `budget` tokens after the prompt (end of text never chosen, max_segment_tokens
// ends the window), one attempt at temperature 0 (no fallback).
inline kestu_full_params budget_params(int n_threads, int budget, step_counter & counter, kestu_context * ctx) {
    kestu_full_params params  = worker_like_params(n_threads);
    params.max_segment_tokens = budget;
    params.temperature_step   = 0.0f; // a list of one temperature
    counter.block_eot         = true;
    counter.eot               = kestu_token_eot(ctx);
    counter.attach(params);
    return params;
}

// Where the time of one kestu_full call went, in ms, from the state's counters.
struct stage_times {
    double total  = 0;
    double mel    = 0;
    double encode = 0; // stem, encoder layers, cross keys and values
    double prompt = 0; // decoder runs of more than one token
    double decode = 0; // one-token decoder runs
    double sample = 0; // logits processing and token choice
    double other  = 0; // the rest: setup, segments, threads
    int    n_windows  = 0;
    int    n_decode   = 0; // one-token decoder runs
    int    n_steps    = 0; // logits filterings (sampled tokens of all decoders)
    int    n_fallback = 0;
    int    status     = 0;
};

inline stage_times run_full(kestu_context * ctx, const kestu_full_params & params, const std::vector<float> & audio,
                            step_counter & counter) {
    kestu_reset_timings(ctx);
    const kestu_state & s         = *ctx->state;
    const int           fail_p0   = s.n_fail_p;
    counter.n_steps               = 0;

    stage_times t;
    const auto  t0 = clock::now();
    t.status       = kestu_full(ctx, params, audio.data(), (int) audio.size());
    t.total        = ms_since(t0);
    t.mel          = s.t_mel_us / 1e3;
    t.encode       = s.t_encode_us / 1e3;
    t.prompt       = (s.t_batchd_us + s.t_prompt_us) / 1e3;
    t.decode       = s.t_decode_us / 1e3;
    t.sample       = s.t_sample_us / 1e3;
    t.n_windows    = s.n_encode;
    t.n_decode     = s.n_decode;
    t.n_steps      = counter.n_steps;
    t.n_fallback   = s.n_fail_p - fail_p0;
    t.other        = t.total - t.mel - t.encode - t.prompt - t.decode - t.sample;
    return t;
}

// the element-wise median of several runs' stage times (counts of the first)
inline stage_times median_of(const std::vector<stage_times> & runs) {
    stage_times m = runs.front();
    auto        med = [&](double stage_times::*f) {
        std::vector<double> v;
        for (const stage_times & r : runs) {
            v.push_back(r.*f);
        }
        m.*f = median(v);
    };
    med(&stage_times::total);
    med(&stage_times::mel);
    med(&stage_times::encode);
    med(&stage_times::prompt);
    med(&stage_times::decode);
    med(&stage_times::sample);
    med(&stage_times::other);
    return m;
}

inline std::string transcript(kestu_context * ctx) {
    std::string text;
    for (int i = 0; i < kestu_full_n_segments(ctx); ++i) {
        text += kestu_full_get_segment_text(ctx, i);
    }
    return text;
}

} // namespace speech_bench
