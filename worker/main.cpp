// The transcription worker: loads one speech model, warms it up, says it is
// ready on standard output and then answers length-prefixed audio requests
// from standard input with one JSON line each.
//
//   kestu-worker MODEL [THREADS [cpu [fit]]]
//
// Standard output carries nothing but the JSON lines, and standard error
// nothing at all: the libraries' logs go to a callback that drops them.
// Exit status: 0 at the end of the requests, 2 usage, 3 model, 4 a read or
// write error on standard input or output.

#include "serve.h"
#include "worker.h"

#include "kestu.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

static void log_callback_silent(enum tevo_log_level level, const char * text, void * user_data) {
    (void) level;
    (void) text;
    (void) user_data;
}

int main(int argc, char ** argv) {
    // a parent that closed our output makes the write fail, and the worker
    // ends through that failure instead of being killed by the signal
    signal(SIGPIPE, SIG_IGN);

    worker_settings settings;
    if (!worker_parse_args(argc, argv, std::thread::hardware_concurrency(), settings)) {
        fputs(WORKER_LINE_USAGE, stdout);
        return 2;
    }

    kestu_log_set(log_callback_silent, nullptr);

    const auto t_start = std::chrono::steady_clock::now();

    kestu_context_params cparams = kestu_context_default_params();
    cparams.use_gpu              = settings.use_gpu;
    kestu_context * ctx          = kestu_init_from_file_with_params(settings.model_path, cparams);
    // A file that ends after its vocabulary loads as an empty model with
    // zero weights, which would answer every request with an empty text.
    if (ctx != nullptr && kestu_model_n_tensors_loaded(ctx) == 0) {
        kestu_free(ctx);
        ctx = nullptr;
    }
    if (ctx == nullptr) {
        write_line(stdout, WORKER_LINE_MODEL);
        return 3;
    }

    const kestu_full_params params = worker_full_params(settings.n_threads);

    // one second of silence, so that the first request pays no first-use
    // costs; its result does not matter
    {
        std::vector<float> warm_up(WORKER_SAMPLE_RATE, 0.0f);
        kestu_full(ctx, params, warm_up.data(), (int) warm_up.size());
    }

    const auto load_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t_start);
    const long load_ms = (long) (load_ns.count() / 1000000);

    const char *      info   = kestu_print_system_info();
    const std::string system = info != nullptr ? info : "";
    int               status = 0;
    if (write_line(stdout, worker_ready_line(load_ms, settings.n_threads, system))) {
        status = worker_serve(ctx, params, settings.fit, stdin, stdout);
    } else {
        status = worker_write_failure_status(errno);
    }

    kestu_free(ctx);
    return status;
}
