// Request-to-answer time of the library itself (kestu_full with the
// worker's settings, one request after another on one context, as the
// worker serves them) for 1, 5 and 30 seconds of audio, with the audio
// context fitted to the request as the worker's "fit" does and without, at
// 1, 4 and 8 threads (counts above the machine's cores are skipped), on a
// random-weight F16 model of width 384 (6 heads, 4+4 layers, vocabulary
// 51864). Such a model decodes nonsense until its limits, so every window
// gets a fixed budget of tokens: end of text is taken away and
// max_segment_tokens ends the window; one attempt at temperature 0.
// Also the ready time: loading the model from memory and the worker's
// one-second warm-up. bench-worker measures the shipped model through the
// worker's pipes.
//
// Medians of several requests; every row carries the one-minute load average.
//
//   bench-full-random [threads...]

#include "speech-bench.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace speech_bench;

namespace {

constexpr int REPS   = 3;
constexpr int BUDGET = 24; // tokens per window

const std::string SAMPLES = std::string(KESTU_MODELS_DIR) + "/samples";

// load from the file image and the one-second warm-up, in ms
void ready(const random_model & model, int n_threads) {
    std::vector<double> load_ms, warm_ms;
    for (int r = 0; r < REPS; ++r) {
        auto            t0  = clock::now();
        kestu_context * ctx = kestu_init_from_buffer_with_params((void *) model.image.data(), model.image.size(),
                                                                 kestu_context_default_params());
        load_ms.push_back(ms_since(t0));
        if (ctx == nullptr) {
            fprintf(stderr, "the model did not load\n");
            return;
        }
        step_counter            counter;
        const kestu_full_params params = budget_params(n_threads, BUDGET, counter, ctx);
        const std::vector<float> second(KESTU_SAMPLE_RATE, 0.0f);
        t0 = clock::now();
        kestu_full(ctx, params, second.data(), (int) second.size());
        warm_ms.push_back(ms_since(t0));
        kestu_free(ctx);
    }
    printf("ready %7d | load %8.1f  warm-up %8.1f  together %8.1f | %5.1f\n", n_threads, median(load_ms),
           median(warm_ms), median(load_ms) + median(warm_ms), load1());
}

} // namespace

int main(int argc, char ** argv) {
    quiet_logs();
    const std::vector<int> threads = thread_counts(argc, argv);

    random_model model(SIZE_384, true);
    printf("machine: %d cores; random F16 model, width 384, 6 heads, 4+4 layers; %d tokens per window\n", cores(),
           BUDGET);
    printf("times in ms (median of %d requests); load = 1-minute load average\n\n", REPS);
    printf("%4s %3s %7s | %8s %7s %8s %7s %8s %8s | %4s %5s | %5s\n", "s", "fit", "threads", "request", "mel",
           "encoder", "prompt", "decoder", "sampling", "win", "steps", "load");

    for (int seconds : { 1, 5, 30 }) {
        const std::vector<float> audio = speech_of(SAMPLES, seconds);
        for (bool fit : { false, true }) {
            for (int n_threads : threads) {
                step_counter      counter;
                kestu_full_params params = budget_params(n_threads, BUDGET, counter, model.ctx);
                params.audio_ctx         = fit ? fit_audio_ctx(audio.size()) : 0;

                run_full(model.ctx, params, audio, counter); // warm-up
                std::vector<stage_times> runs;
                for (int r = 0; r < REPS; ++r) {
                    runs.push_back(run_full(model.ctx, params, audio, counter));
                }
                const stage_times t = median_of(runs);
                if (t.status != 0) {
                    fprintf(stderr, "kestu_full returned %d\n", t.status);
                }
                printf("%4d %3s %7d | %8.1f %7.2f %8.1f %7.2f %8.2f %8.2f | %4d %5d | %5.1f\n", seconds,
                       fit ? "yes" : "no", n_threads, t.total, t.mel, t.encode, t.prompt, t.decode, t.sample,
                       t.n_windows, t.n_steps, load1());
                fflush(stdout);
            }
        }
    }

    printf("\n");
    for (int n_threads : threads) {
        ready(model, n_threads);
    }
    return 0;
}
