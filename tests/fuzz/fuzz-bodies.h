#pragma once

// The fuzz targets' bodies: each takes one input and returns 0. A broken
// rule of its reader aborts (a crash to libFuzzer, a failure to the
// regression test that replays tests/fuzz/regressions/).

#include <cstddef>
#include <cstdint>

int fuzz_model_file(const uint8_t * data, size_t size);       // speech model file, from a file
int fuzz_model_buffer(const uint8_t * data, size_t size);     // speech model file, from memory
int fuzz_vad_model(const uint8_t * data, size_t size);        // voice-activity model file
int fuzz_worker(const uint8_t * data, size_t size);           // the worker's request stream
int fuzz_tokenizer(const uint8_t * data, size_t size);        // text to tokens
int fuzz_suppress_pattern(const uint8_t * data, size_t size); // suppress_pattern and token texts
int fuzz_grammar(const uint8_t * data, size_t size);          // grammar rules and decoded texts
int fuzz_sched(const uint8_t * data, size_t size);            // sequences of scheduler calls

struct fuzz_target {
    const char * name; // tests/fuzz/regressions/<name>/, fuzz-<name>
    int (*body)(const uint8_t * data, size_t size);
};

extern const fuzz_target fuzz_targets[8];
