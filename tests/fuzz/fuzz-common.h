#pragma once

// What the fuzz bodies share: the tiny models they load, a log callback that
// counts error lines (a refused input must say why), the check that ends a
// run when a rule is broken, and the budget that keeps a model file's claims
// within what one fuzz process may allocate.

#include "kestu.h"
#include "model-writer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Drops every log line, counting those of error level.
void fuzz_quiet_logs();
int  fuzz_error_lines();

// A broken rule: prints it and aborts.
[[noreturn]] void fuzz_fail(const char * what);
#define FUZZ_CHECK(cond)                                              \
    do {                                                              \
        if (!(cond)) {                                                \
            fuzz_fail(__FILE__ ": " #cond);                           \
        }                                                             \
    } while (0)

// A speech model of width 8, one head, one encoder and one decoder layer,
// 51864 logits and n_vocab texts of the writer's default vocabulary (the
// loader generates the rest).
kestu_model_recipe fuzz_tiny_recipe(int n_texts, int n_audio_ctx, int n_text_ctx, int n_mels, int ftype);

// The tiny model made eager: whatever the audio, the decoder says " hello"
// (the end of text is not allowed first) and then ends, both with
// probability near 1, so that a transcription takes one attempt of two
// steps instead of every temperature of a random model.
kestu_model_recipe fuzz_eager_recipe(kestu_model_recipe recipe);

// The tiny model as a context on the CPU, loaded once per process.
// with_state: the worker's form, ready to transcribe.
kestu_context * fuzz_tiny_context(const kestu_model_recipe & recipe, bool with_state);

// Whether the model a speech model file describes (its eleven header values)
// fits in about budget_bytes of weights, caches and work buffers. A loader has
// to allocate what a valid header claims; files claiming more are skipped.
bool fuzz_speech_model_affordable(const uint8_t * data, size_t size, double budget_bytes);

kestu_context_params fuzz_cpu_params();
