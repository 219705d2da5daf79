// The request loop: read one request, transcribe it on the worker's one
// context, answer one line, and go on until the input ends. Requests never
// share anything but the sample buffer, which is zeroed after each one.

#include "serve.h"

#include "worker.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

kestu_full_params worker_full_params(int n_threads) {
    kestu_full_params params = kestu_full_default_params(KESTU_SAMPLING_GREEDY);

    params.n_threads              = n_threads;
    params.language               = "en";
    params.translate_task         = false;
    params.discard_past_text      = true;
    params.no_timestamps          = true;
    params.one_segment_per_window = false;
    params.log_special_tokens     = false;
    params.log_progress           = false;
    params.log_segments_live      = false;
    params.log_segment_times      = false;
    params.suppress_leading_blank = true;
    params.temperature_step       = 0.2f;
    return params;
}

static long ms_since(std::chrono::steady_clock::time_point start) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
    return (long) (ns.count() / 1000000);
}

int worker_serve(kestu_context * ctx, kestu_full_params params, bool fit, FILE * in, FILE * out) {
    std::vector<float> samples;
    std::string        text;

    // a read that failed is not the end of the input
    auto read_failure_status = [in] { return ferror(in) ? WORKER_EXIT_IO : 0; };
    const int model_audio_ctx = kestu_model_n_audio_ctx(ctx);

    for (;;) {
        uint32_t n = 0;
        if (!read_exact(in, &n, sizeof(n))) {
            return read_failure_status();
        }
        if (n == 0) {
            return 0;
        }
        if (n > WORKER_MAX_SAMPLES) {
            // the samples are not read: the stream cannot be trusted further
            return write_line(out, WORKER_LINE_TOO_LONG) ? 0 : worker_write_failure_status(errno);
        }
        samples.resize(n);
        if (!read_exact(in, samples.data(), (size_t) n * sizeof(float))) {
            return read_failure_status();
        }

        // NaN or infinity would run through the spectrogram into every
        // window's decoding; such audio is refused and the worker goes on
        if (!all_finite(samples.data(), n)) {
            std::fill(samples.begin(), samples.end(), 0.0f);
            if (!write_line(out, WORKER_LINE_BAD_AUDIO)) {
                return worker_write_failure_status(errno);
            }
            continue;
        }

        const auto t_start = std::chrono::steady_clock::now();
        text.clear();

        params.audio_ctx = fit ? worker_fit_audio_ctx(n, model_audio_ctx) : 0;
        const int status = kestu_full(ctx, params, samples.data(), (int) n);
        if (status == 0) {
            const int n_segments = kestu_full_n_segments(ctx);
            for (int i = 0; i < n_segments; ++i) {
                const char * segment = kestu_full_get_segment_text(ctx, i);
                text += segment != nullptr ? segment : "";
            }
        }
        std::fill(samples.begin(), samples.end(), 0.0f);
        const long ms = ms_since(t_start);

        std::string line;
        if (status == KESTU_FULL_ERR_NON_FINITE) {
            line = WORKER_LINE_BAD_AUDIO;
        } else if (status != 0) {
            // an empty text would look like silence to the parent
            line = WORKER_LINE_TRANSCRIBE;
        } else {
            trim_leading_spaces(text);
            line = worker_answer_line(text, ms, worker_audio_ms(n));
        }
        // a parent that closed our output will read no more answers
        if (!write_line(out, line)) {
            return worker_write_failure_status(errno);
        }
    }
}
