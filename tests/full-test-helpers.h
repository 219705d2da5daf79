#pragma once

// Helpers of the transcription driver's tests: the shipped model and clips
// (KESTU_MODELS_DIR comes from the build), random-weight models made by the
// model writer, the worker's parameters and audio-context fit, and the text
// of a run.

#include "kestu-impl.h"
#include "model-writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace full_test {

struct ctx_deleter {
    void operator()(kestu_context * ctx) const { kestu_free(ctx); }
};
struct state_deleter {
    void operator()(kestu_state * st) const { kestu_free_state(st); }
};
using ctx_ptr   = std::unique_ptr<kestu_context, ctx_deleter>;
using state_ptr = std::unique_ptr<kestu_state, state_deleter>;

inline std::string model_path(const std::string & name) {
    return std::string(KESTU_MODELS_DIR) + "/" + name;
}

inline kestu_context_params cpu_params() {
    kestu_context_params cp = kestu_context_default_params();
    cp.use_gpu              = false;
    return cp;
}

// the shipped model, loaded once per process
inline kestu_context * shared_model(const std::string & name) {
    static std::mutex                                                   mutex;
    static std::vector<std::pair<std::string, ctx_ptr>>                 loaded;
    std::lock_guard<std::mutex>                                         lock(mutex);
    for (auto & m : loaded) {
        if (m.first == name) {
            return m.second.get();
        }
    }
    kestu_context * ctx = kestu_init_from_file_with_params(model_path(name).c_str(), cpu_params());
    loaded.emplace_back(name, ctx_ptr(ctx));
    return ctx;
}

// a random-weight model of the writer; small unless the test needs more
inline kestu_model_recipe small_recipe(uint64_t seed = 7) {
    kestu_model_recipe recipe;
    recipe.seed          = seed;
    recipe.n_audio_state = 32;
    recipe.n_audio_head  = 2;
    recipe.n_audio_layer = 1;
    recipe.n_text_ctx    = 64;
    recipe.n_text_state  = 32;
    recipe.n_text_head   = 2;
    recipe.n_text_layer  = 1;
    recipe.ftype         = 0;
    return recipe;
}

inline ctx_ptr random_model(const kestu_model_recipe & recipe, bool flash_attn = true) {
    std::vector<uint8_t> bytes = kestu_write_model(recipe);
    kestu_context_params cp    = cpu_params();
    cp.flash_attn              = flash_attn;
    return ctx_ptr(kestu_init_from_buffer_with_params(bytes.data(), bytes.size(), cp));
}

struct clip {
    std::string        name;
    std::string        text;
    std::vector<float> samples;
};

inline std::vector<float> read_f32(const std::string & path) {
    std::ifstream      f(path, std::ios::binary);
    std::vector<char>  bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<float> v(bytes.size() / sizeof(float));
    memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
    return v;
}

inline const std::vector<clip> & sample_clips() {
    static const std::vector<clip> clips = [] {
        std::vector<clip> v;
        std::ifstream     tsv(model_path("samples/samples.tsv"));
        std::string       line;
        std::getline(tsv, line); // header
        while (std::getline(tsv, line)) {
            const size_t tab = line.find('\t');
            if (tab == std::string::npos) {
                continue;
            }
            clip c;
            c.name    = line.substr(0, tab);
            c.text    = line.substr(tab + 1);
            c.samples = read_f32(model_path("samples/" + c.name));
            v.push_back(std::move(c));
        }
        return v;
    }();
    return clips;
}

// what the worker sets once
inline kestu_full_params worker_params(kestu_sampling_strategy strategy = KESTU_SAMPLING_GREEDY, int n_threads = 2) {
    kestu_full_params p      = kestu_full_default_params(strategy);
    p.n_threads              = n_threads;
    p.language               = "en";
    p.translate_task         = false;
    p.discard_past_text      = true;
    p.no_timestamps          = true;
    p.one_segment_per_window = false;
    p.log_special_tokens     = false;
    p.log_progress           = false;
    p.log_segments_live      = false;
    p.log_segment_times      = false;
    p.suppress_leading_blank = true;
    p.temperature_step       = 0.2f;
    return p;
}

// the worker's audio context for a request of n samples
inline int fitted_audio_ctx(size_t n) {
    const int k = (int) (((double) n / 16000.0 * 50 + 128 + 63) * 0.015625);
    return k < 9 ? 512 : std::min(k * 64, 1500);
}

// segment texts joined, leading spaces removed, as the worker answers
inline std::string text_of(const kestu_state & st) {
    std::string text;
    for (const kestu_segment & s : st.result) {
        text += s.text;
    }
    const size_t start = text.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : text.substr(start);
}

// everything a run leaves as its result, for comparing runs
struct run_result {
    int                      status = 0;
    std::vector<std::string> texts;
    std::vector<int64_t>     times;
    std::vector<kestu_token> ids;

    bool operator==(const run_result & o) const {
        return status == o.status && texts == o.texts && times == o.times && ids == o.ids;
    }
};

inline run_result result_of(int status, const kestu_state & st) {
    run_result r;
    r.status = status;
    for (const kestu_segment & s : st.result) {
        r.texts.push_back(s.text);
        r.times.push_back(s.t0);
        r.times.push_back(s.t1);
        for (const kestu_token_data & t : s.tokens) {
            r.ids.push_back(t.id);
        }
    }
    return r;
}

inline ::std::ostream & operator<<(::std::ostream & os, const run_result & r) {
    os << "status " << r.status << ", " << r.texts.size() << " segments:";
    for (size_t i = 0; i < r.texts.size(); ++i) {
        os << " [" << r.times[2 * i] << " " << r.times[2 * i + 1] << "]'" << r.texts[i] << "'";
    }
    return os;
}

// speech-like noise: bursts of random amplitude with pauses
inline std::vector<float> noise(size_t n, uint32_t seed, float amplitude = 0.3f) {
    std::mt19937                          rng(seed);
    std::normal_distribution<float>       dist(0.0f, 1.0f);
    std::vector<float>                    x(n);
    for (size_t i = 0; i < n; ++i) {
        const float envelope = (i / 8000) % 3 == 2 ? 0.05f : 1.0f;
        x[i]                 = amplitude * envelope * dist(rng);
    }
    return x;
}

struct log_capture {
    std::mutex               mutex;
    std::vector<std::string> lines;

    log_capture() {
        kestu_log_set(
            [](enum tevo_log_level level, const char * text, void * user_data) {
                auto * self = (log_capture *) user_data;
                std::lock_guard<std::mutex> lock(self->mutex);
                self->lines.push_back(std::to_string((int) level) + " " + text);
            },
            this);
    }
    ~log_capture() { kestu_log_set(nullptr, nullptr); }

    int count(const std::string & part) {
        std::lock_guard<std::mutex> lock(mutex);
        int                         n = 0;
        for (const std::string & l : lines) {
            n += l.find(part) != std::string::npos;
        }
        return n;
    }
};

} // namespace full_test
