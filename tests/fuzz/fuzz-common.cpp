// Shared parts of the fuzz bodies; see fuzz-common.h.

#include "fuzz-common.h"

#include "fuzz-bodies.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

const fuzz_target fuzz_targets[8] = {
    {"model-file", fuzz_model_file},   {"model-buffer", fuzz_model_buffer},
    {"vad-model", fuzz_vad_model},     {"worker", fuzz_worker},
    {"tokenizer", fuzz_tokenizer},     {"suppress-pattern", fuzz_suppress_pattern},
    {"grammar", fuzz_grammar},         {"sched", fuzz_sched},
};

namespace {

std::atomic<int> error_lines{0};

void count_errors(enum tevo_log_level level, const char * text, void * user_data) {
    (void) text;
    (void) user_data;
    if (level == TEVO_LOG_LEVEL_ERROR) {
        error_lines++;
    }
}

} // namespace

void fuzz_quiet_logs() {
    kestu_log_set(count_errors, nullptr);
}

int fuzz_error_lines() {
    return error_lines.load();
}

void fuzz_fail(const char * what) {
    fprintf(stderr, "fuzz rule broken: %s\n", what);
    fflush(stderr);
    abort();
}

kestu_context_params fuzz_cpu_params() {
    kestu_context_params params = kestu_context_default_params();
    params.use_gpu              = false;
    return params;
}

kestu_model_recipe fuzz_tiny_recipe(int n_texts, int n_audio_ctx, int n_text_ctx, int n_mels, int ftype) {
    kestu_model_recipe recipe;
    recipe.n_vocab       = 51864;
    recipe.n_audio_ctx   = n_audio_ctx;
    recipe.n_audio_state = 8;
    recipe.n_audio_head  = 1;
    recipe.n_audio_layer = 1;
    recipe.n_text_ctx    = n_text_ctx;
    recipe.n_text_state  = 8;
    recipe.n_text_head   = 1;
    recipe.n_text_layer  = 1;
    recipe.n_mels        = n_mels;
    recipe.ftype         = ftype;
    recipe.seed          = 11;

    std::vector<std::string> texts = kestu_writer_default_vocab(recipe.n_vocab);
    texts.resize(std::min<size_t>(texts.size(), (size_t) n_texts));
    if (texts.empty()) {
        recipe.empty_vocab = true;
    }
    recipe.vocab = texts;
    return recipe;
}

kestu_model_recipe fuzz_eager_recipe(kestu_model_recipe recipe) {
    const std::vector<std::string> texts = kestu_writer_default_vocab(recipe.n_vocab);
    const auto                     hello = std::find(texts.begin(), texts.end(), " hello");
    if (hello == texts.end() || (size_t) (hello - texts.begin()) >= recipe.vocab.size()) {
        fuzz_fail("the tiny vocabulary has no \" hello\"");
    }
    const size_t id_hello = (size_t) (hello - texts.begin());
    const size_t id_eot   = 50256;

    // the last norm's output is the same unit vector for every position, so
    // each token's logit is the first entry of its embedding row
    const size_t       width = (size_t) recipe.n_text_state;
    std::vector<float> bias(width, 0.0f);
    bias[0]                             = 1.0f;
    recipe.overrides["decoder.ln.weight"] = std::vector<float>(width, 0.0f);
    recipe.overrides["decoder.ln.bias"]   = bias;
    for (const kestu_writer_tensor & t : kestu_writer_tensors(recipe)) {
        if (t.name == "decoder.token_embedding.weight") {
            std::vector<float> rows = t.values;
            rows[id_hello * width]  = 25.0f;
            rows[id_eot * width]    = 30.0f;
            recipe.overrides[t.name]  = rows;
        }
    }
    return recipe;
}

kestu_context * fuzz_tiny_context(const kestu_model_recipe & recipe, bool with_state) {
    // one context per recipe and form for the life of the process
    static std::mutex                                       mutex;
    static std::map<std::pair<std::string, bool>, kestu_context *> loaded;
    std::lock_guard<std::mutex>                             lock(mutex);

    std::vector<uint8_t> bytes = kestu_write_model(recipe);
    const std::string    key(bytes.begin(), bytes.end());
    auto                 it = loaded.find({key, with_state});
    if (it != loaded.end()) {
        return it->second;
    }
    kestu_context * ctx =
        with_state ? kestu_init_from_buffer_with_params(bytes.data(), bytes.size(), fuzz_cpu_params())
                   : kestu_init_from_buffer_with_params_no_state(bytes.data(), bytes.size(), fuzz_cpu_params());
    if (ctx == nullptr) {
        fuzz_fail("the tiny model does not load");
    }
    loaded[{key, with_state}] = ctx;
    return ctx;
}

bool fuzz_speech_model_affordable(const uint8_t * data, size_t size, double budget_bytes) {
    // magic, then n_vocab, n_audio_ctx, n_audio_state, n_audio_head,
    // n_audio_layer, n_text_ctx, n_text_state, n_text_head, n_text_layer, n_mels
    if (size < 4 + 10 * sizeof(int32_t)) {
        return true;
    }
    int32_t h[10];
    memcpy(h, data + 4, sizeof(h));
    for (int32_t v : h) {
        if (v <= 0) {
            return true; // refused before any allocation
        }
    }
    const double V = h[0], A = h[1], s = h[2], Ha = h[3], La = h[4];
    const double T = h[5], t = h[6], Lt = h[8], M = h[9];
    const auto pad = [](double x) { return std::ceil(x / 256.0) * 256.0; };

    // elements of the weights, at four bytes each
    const double weights = s * A + 3 * M * s + 3 * s * s + La * (12 * s * s + 16 * s) + t * T + t * V +
                           Lt * (20 * t * t + 24 * t);
    // caches (self-attention for every decoder, cross-attention, padding)
    const double caches = 2 * t * Lt * pad(T) * 8 + 2 * t * Lt * pad(A) + 2 * s * pad(A);
    // the largest work buffers: spectrogram, stem, attention scores, logits
    const double work = 2 * A * M + 6 * A * s + A * A * Ha + pad(A) * T * Ha + pad(T) * T * Ha + V * T + 4 * A * s;
    const double records = (25 + 15 * La + 24 * Lt) * 512.0;

    return 4 * (weights + caches + 4 * work) + records <= budget_bytes;
}
