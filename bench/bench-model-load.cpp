// Loading time of the shipped model (F16 and F32), from its file and from a
// memory image of the file: header, filter bank, vocabulary of 51864 entries,
// weight placement and data. Contexts are made without a decoding state, so
// only loading is timed.

#include "kestu-impl.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

void quiet(enum tevo_log_level, const char *, void *) {}

std::string model_path(const char * file) {
    return std::string(KESTU_MODELS_DIR) + "/" + file;
}

void BM_LoadFromFile(benchmark::State & state, const char * file) {
    kestu_log_set(quiet, nullptr);
    const std::string path = model_path(file);
    for (auto _ : state) {
        kestu_context * ctx = kestu_init_from_file_with_params_no_state(path.c_str(), kestu_context_default_params());
        if (!ctx) {
            state.SkipWithError("model did not load");
            break;
        }
        kestu_free(ctx);
    }
}

void BM_LoadFromMemory(benchmark::State & state, const char * file) {
    kestu_log_set(quiet, nullptr);
    std::ifstream        in(model_path(file), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (auto _ : state) {
        kestu_context * ctx = kestu_init_from_buffer_with_params_no_state(bytes.data(), bytes.size(),
                                                                         kestu_context_default_params());
        if (!ctx) {
            state.SkipWithError("model did not load");
            break;
        }
        kestu_free(ctx);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

BENCHMARK_CAPTURE(BM_LoadFromFile, f16, "digits-tiny-f16.bin")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadFromFile, f32, "digits-tiny-f32.bin")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadFromMemory, f16, "digits-tiny-f16.bin")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadFromMemory, f32, "digits-tiny-f32.bin")->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
