// The worker as a parent uses it: request-to-answer time through its pipes
// for speech of 1, 5 and 30 seconds, with the audio context fitted to the
// request and without, at 1, 2, 4 and 8 threads (as far as the machine has
// cores), on the shipped F16 model; and the time from start to the ready
// line (model load and warm-up). The worker's own "ms" is reported beside
// the round trip: the difference is the cost of the pipes and the request's
// bytes.
//
//   build-bench/bench/bench-worker [--benchmark_filter=Request/seconds:30]

#include "worker-process.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using worker_test::worker_process;

namespace {

const std::string MODEL = std::string(KESTU_MODELS_DIR) + "/digits-tiny-f16.bin";

std::vector<float> read_clip(const char * name) {
    std::ifstream      f(std::string(KESTU_MODELS_DIR) + "/samples/" + name, std::ios::binary);
    const std::string  bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<float> samples(bytes.size() / 4);
    memcpy(samples.data(), bytes.data(), samples.size() * 4);
    return samples;
}

// Speech at the start, silence after it, `seconds` long in all: the shipped
// model hears speech at the start of a window.
std::vector<float> speech_of(int seconds) {
    std::vector<float> samples = read_clip(seconds == 1 ? "02.f32" : "01.f32");
    samples.resize((size_t) seconds * 16000, 0.0f);
    return samples;
}

long field(const std::string & line, const char * key) {
    const std::string k   = std::string("\"") + key + "\":";
    const size_t      pos = line.find(k);
    return pos == std::string::npos ? -1 : strtol(line.c_str() + pos + k.size(), nullptr, 10);
}

std::vector<std::string> worker_args(int threads, bool fit) {
    std::vector<std::string> args = {MODEL, std::to_string(threads), "cpu"};
    if (fit) {
        args.push_back("fit");
    }
    return args;
}

// One ready worker per setting, kept for all request sizes.
std::map<std::pair<int, bool>, std::unique_ptr<worker_process>> g_workers;

worker_process * worker_for(int threads, bool fit) {
    auto & w = g_workers[{threads, fit}];
    if (!w) {
        w = std::make_unique<worker_process>(worker_args(threads, fit));
        std::string line;
        if (!w->read_line(line) || field(line, "load_ms") < 0) {
            w.reset();
            return nullptr;
        }
    }
    return w.get();
}

void Request(benchmark::State & state) {
    const int  seconds = (int) state.range(0);
    const bool fit     = state.range(1) != 0;
    const int  threads = (int) state.range(2);

    worker_process * w = worker_for(threads, fit);
    if (w == nullptr) {
        state.SkipWithError("the worker did not start");
        return;
    }
    const std::string req = worker_test::request(speech_of(seconds));

    long   worker_ms = 0;
    size_t answers   = 0;
    for (auto _ : state) {
        std::string line;
        if (!w->send(req) || !w->read_line(line) || field(line, "ms") < 0) {
            state.SkipWithError("no answer");
            break;
        }
        worker_ms += field(line, "ms");
        ++answers;
    }
    if (answers > 0) {
        state.counters["worker_ms"] = (double) worker_ms / (double) answers;
    }
    state.counters["audio_x"] =
        benchmark::Counter((double) seconds * (double) answers, benchmark::Counter::kIsRate); // audio seconds per second
}

void Ready(benchmark::State & state) {
    const int threads = (int) state.range(0);
    long      load_ms = 0;
    size_t    starts  = 0;
    for (auto _ : state) {
        worker_process w(worker_args(threads, false));
        std::string    line;
        if (!w.read_line(line) || field(line, "load_ms") < 0) {
            state.SkipWithError("the worker did not start");
            break;
        }
        load_ms += field(line, "load_ms");
        ++starts;
        state.PauseTiming();
        w.finish();
        state.ResumeTiming();
    }
    if (starts > 0) {
        state.counters["load_ms"] = (double) load_ms / (double) starts;
    }
}

std::vector<int64_t> thread_counts() {
    const int64_t        cores = (int64_t) std::thread::hardware_concurrency();
    std::vector<int64_t> counts;
    for (int64_t t : {1, 2, 4, 8}) {
        if (t == 1 || t <= cores) {
            counts.push_back(t);
        }
    }
    return counts;
}

BENCHMARK(Request)
    ->ArgsProduct({{1, 5, 30}, {0, 1}, thread_counts()})
    ->ArgNames({"seconds", "fit", "threads"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(Ready)->ArgsProduct({thread_counts()})->ArgNames({"threads"})->UseRealTime()->Iterations(5)->Unit(
    benchmark::kMillisecond);

} // namespace

int main(int argc, char ** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    // the workers end on the end of their input
    for (auto & w : g_workers) {
        if (w.second) {
            w.second->finish();
        }
    }
    g_workers.clear();
    benchmark::Shutdown();
    return 0;
}
