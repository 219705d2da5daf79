// Transcription time of 1-, 5- and 30-second clips (the shipped sample
// clips, joined with short pauses and filled up with silence) with the
// shipped F16 model, greedy, at 1, 4 and 8 threads (counts above the
// machine's cores are skipped), through kestu_full with the worker's
// settings, split into spectrogram, encoder, decoder (the prompt's run and
// the one-token steps) and sampling (logits processing and token choice),
// from the state's timing counters.
//
// Then the cost of one token step: a one-token decoder run beside the
// sampling of that step, for the shipped model (width 128, 2+2 layers) and
// random-weight models of width 384 (4+4 layers) and 512 (6+6 layers), all
// with the same 51864-token vocabulary: the sampling time per step should
// stay the same whatever the model's width. The random models decode a
// fixed budget of tokens per window (end of text taken away, no fallback).
//
// Medians of several runs; every row carries the one-minute load average.
//
//   bench-transcribe [threads...]

#include "speech-bench.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace speech_bench;

namespace {

constexpr int REPS   = 5;
constexpr int BUDGET = 24; // tokens per window of the random models

const std::string SAMPLES = std::string(KESTU_MODELS_DIR) + "/samples";

stage_times measure(kestu_context * ctx, const kestu_full_params & params, const std::vector<float> & audio,
                    step_counter & counter, int reps) {
    run_full(ctx, params, audio, counter); // warm-up
    std::vector<stage_times> runs;
    for (int r = 0; r < reps; ++r) {
        runs.push_back(run_full(ctx, params, audio, counter));
        if (runs.back().status != 0) {
            fprintf(stderr, "kestu_full returned %d\n", runs.back().status);
            break;
        }
    }
    return median_of(runs);
}

// one token step: a one-token decoder run and the sampling share
struct step_cost {
    double decode_ms = 0;
    double sample_ms = 0;

    explicit step_cost(const stage_times & t) {
        decode_ms = t.n_decode > 0 ? t.decode / t.n_decode : 0;
        sample_ms = t.n_steps > 0 ? t.sample / t.n_steps : 0;
    }
    double share() const { return decode_ms + sample_ms > 0 ? sample_ms / (decode_ms + sample_ms) : 0; }
};

void print_step_row(const char * model, int n_threads, const stage_times & t) {
    const step_cost c(t);
    printf("%-22s %7d | %8.3f %10.3f %6.1f%% | %6d %6d | %5.1f\n", model, n_threads, c.decode_ms, c.sample_ms,
           100.0 * c.share(), t.n_steps, t.n_decode, load1());
}

} // namespace

int main(int argc, char ** argv) {
    quiet_logs();
    const std::vector<int> threads = thread_counts(argc, argv);

    const std::string model_path = std::string(KESTU_MODELS_DIR) + "/digits-tiny-f16.bin";
    kestu_context *   ctx = kestu_init_from_file_with_params(model_path.c_str(), kestu_context_default_params());
    if (ctx == nullptr) {
        fprintf(stderr, "cannot load %s\n", model_path.c_str());
        return 1;
    }

    printf("machine: %d cores; shipped model %s; greedy, worker settings, full 30 s window\n", cores(),
           model_path.c_str());
    printf("times in ms (median of %d runs); load = 1-minute load average\n\n", REPS);
    printf("%4s %7s | %8s %7s %8s %7s %8s %8s %6s | %4s %5s %4s | %5s | %s\n", "s", "threads", "total", "mel",
           "encoder", "prompt", "decoder", "sampling", "other", "win", "steps", "fall", "load", "text");

    // the shipped model's 5-second figures feed the per-step table
    std::vector<std::pair<int, stage_times>> shipped_5s;
    for (int seconds : { 1, 5, 30 }) {
        const std::vector<float> audio = speech_of(SAMPLES, seconds);
        for (int n_threads : threads) {
            step_counter      counter;
            kestu_full_params params = worker_like_params(n_threads);
            counter.attach(params);
            const stage_times t = measure(ctx, params, audio, counter, REPS);
            printf("%4d %7d | %8.1f %7.2f %8.1f %7.2f %8.2f %8.2f %6.2f | %4d %5d %4d | %5.1f | %s\n", seconds,
                   n_threads, t.total, t.mel, t.encode, t.prompt, t.decode, t.sample, t.other, t.n_windows,
                   t.n_steps, t.n_fallback, load1(), transcript(ctx).c_str());
            fflush(stdout);
            if (seconds == 5) {
                shipped_5s.push_back({ n_threads, t });
            }
        }
    }
    kestu_free(ctx);

    printf("\none token step (5-second clip): a one-token decoder run and the sampling of the step\n");
    printf("%-22s %7s | %8s %10s %7s | %6s %6s | %5s\n", "model", "threads", "decode ms", "sample ms", "share",
           "steps", "runs", "load");
    for (const auto & [n_threads, t] : shipped_5s) {
        print_step_row("shipped 128, 2+2", n_threads, t);
    }
    const std::vector<float> audio = speech_of(SAMPLES, 5);
    for (const model_size & size : { SIZE_384, SIZE_512 }) {
        random_model      model(size, true);
        const std::string name = std::string("random ") + size.name + ", " + std::to_string(size.n_enc_layer) + "+" +
                                 std::to_string(size.n_dec_layer) + " f16";
        for (int n_threads : threads) {
            step_counter            counter;
            const kestu_full_params params = budget_params(n_threads, BUDGET, counter, model.ctx);
            print_step_row(name.c_str(), n_threads, measure(model.ctx, params, audio, counter, 3));
            fflush(stdout);
        }
    }
    return 0;
}
