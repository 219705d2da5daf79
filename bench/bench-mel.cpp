// Log-mel spectrogram of 30 s of audio (and the 30 s of silence the library
// appends) at 1, 4 and 8 threads, in ms; thread counts above the machine's
// cores are skipped. The same audio is then handed to bench/mel_numpy.py
// under /usr/bin/python3 (numpy's FFT-based log-mel, same framing, window,
// bank size and scaling) as a yardstick, and the ratios are printed. Its
// mel-bank product runs on OpenBLAS: with the best kernel family the processor
// supports and, where that is above AVX2, with the AVX2 family too
// (openblas-family.h).
// The library keeps its own recursive transform either way: its values are
// fixed bit for bit, numpy's are not.

#include "kestu-impl.h"
#include "openblas-family.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int    N_SAMPLES = KESTU_SAMPLE_RATE * KESTU_CHUNK_SIZE;
constexpr int    N_MEL     = 80;
constexpr int    N_FFT     = KESTU_N_FFT / 2 + 1;
constexpr double PI        = 3.14159265358979323846;

const int thread_counts[] = { 1, 4, 8 };

std::map<std::string, double> ms_by_name; // for the closing table

std::vector<float> make_audio() {
    std::mt19937                          rng(7);
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
    std::vector<float>                    out(N_SAMPLES);
    for (int i = 0; i < N_SAMPLES; ++i) {
        const double t = i / (double) KESTU_SAMPLE_RATE;
        out[i] = (float) (0.4 * std::sin(2 * PI * 220.0 * t) + 0.2 * std::sin(2 * PI * 1250.0 * t)) + noise(rng);
    }
    return out;
}

// triangular bands evenly spaced on the mel scale up to 8 kHz
std::vector<float> make_bank() {
    auto mel = [](double f) { return 2595.0 * std::log10(1.0 + f / 700.0); };
    auto hz  = [](double m) { return 700.0 * (std::pow(10.0, m / 2595.0) - 1.0); };

    std::vector<float> bank((size_t) N_MEL * N_FFT, 0.0f);
    for (int j = 0; j < N_MEL; ++j) {
        const double lo  = hz(mel(8000.0) * j / (N_MEL + 1));
        const double mid = hz(mel(8000.0) * (j + 1) / (N_MEL + 1));
        const double hi  = hz(mel(8000.0) * (j + 2) / (N_MEL + 1));
        for (int k = 0; k < N_FFT; ++k) {
            const double f  = 8000.0 * k / (N_FFT - 1);
            const double up = (f - lo) / (mid - lo);
            const double dn = (hi - f) / (hi - mid);
            bank[(size_t) j * N_FFT + k] = (float) std::max(0.0, std::min(up, dn));
        }
    }
    return bank;
}

void BM_kestu_mel(benchmark::State & st, int n_threads) {
    kestu_context ctx;
    ctx.model.filters.n_mel = N_MEL;
    ctx.model.filters.n_fft = N_FFT;
    ctx.model.filters.data  = make_bank();
    kestu_state state;

    const std::vector<float> audio = make_audio();
    for (auto _ : st) {
        if (kestu_pcm_to_mel_with_state(&ctx, &state, audio.data(), N_SAMPLES, n_threads) != 0) {
            st.SkipWithError("kestu_pcm_to_mel_with_state failed");
            break;
        }
        benchmark::DoNotOptimize(state.mel.data.data());
    }
}

std::string bench_name(int n_threads) {
    return "kestu_pcm_to_mel/30s/threads:" + std::to_string(n_threads);
}

class Reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> & runs) override {
        for (const Run & r : runs) {
            if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
                ms_by_name[r.benchmark_name()] = r.GetAdjustedRealTime(); // in the run's unit, ms
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

struct numpy_run {
    double      ms = -1; // negative where not measured
    std::string core;    // the OpenBLAS kernel family it ran with, "none" without OpenBLAS
};

// runs the numpy script on the same audio with `family` as OPENBLAS_CORETYPE
// (nullptr: none set)
numpy_run run_numpy(const std::vector<float> & audio, const char * family) {
    numpy_run r;
    char path[] = "/tmp/bench-mel-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        return r;
    }
    const size_t bytes = audio.size() * sizeof(float);
    const bool   ok    = write(fd, audio.data(), bytes) == (ssize_t) bytes;
    close(fd);

    if (ok) {
        const std::string cmd = openblas_family::env_prefix(family) + "/usr/bin/python3 '" + KESTU_MEL_NUMPY_SCRIPT +
                                "' '" + path + "'";
        if (FILE * p = popen(cmd.c_str(), "r")) {
            char line[256];
            while (fgets(line, sizeof(line), p)) {
                int    n = 0;
                double t = 0;
                char   name[128];
                if (sscanf(line, "numpy log-mel of %d samples: %lf ms", &n, &t) == 2) {
                    r.ms = t;
                } else if (sscanf(line, "openblas core: %127s", name) == 1) {
                    r.core = name;
                }
            }
            pclose(p);
        }
    }
    unlink(path);
    return r;
}

} // namespace

int main(int argc, char ** argv) {
    kestu_log_set([](enum tevo_log_level, const char *, void *) {}, nullptr);

    const unsigned cores = std::thread::hardware_concurrency();
    for (int nt : thread_counts) {
        if (cores != 0 && (unsigned) nt > cores) {
            continue;
        }
        benchmark::RegisterBenchmark(bench_name(nt).c_str(), BM_kestu_mel, nt)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }

    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // the first run tells the family numpy's OpenBLAS picks; a fallback runs again with the best
    namespace ob                   = openblas_family;
    const std::vector<float> audio = make_audio();
    const ob::level          cpu   = ob::cpu_level();
    numpy_run                run   = run_numpy(audio, nullptr);
    ob::plan                 plan  = { nullptr, false };
    const bool               blas  = !run.core.empty() && run.core != "none";
    if (blas) {
        plan = ob::plan_for(run.core, cpu, ob::user_coretype() != nullptr);
    }
    const std::string described = blas ? ob::describe(run.core, cpu, plan) : "";
    if (plan.best != nullptr) {
        run = run_numpy(audio, plan.best);
    }
    const numpy_run avx2 = plan.avx2_too ? run_numpy(audio, ob::AVX2_FAMILY) : numpy_run();
    const double    np   = run.ms;

    printf("\ncores: %u\n", cores);
    if (blas) {
        printf("numpy's %s\n", described.c_str());
    }
    if (np > 0) {
        printf("numpy log-mel (bench/mel_numpy.py, best of 10%s%s): %.2f ms\n", blas ? ", OpenBLAS " : "",
               blas ? run.core.c_str() : "", np);
    } else {
        printf("numpy log-mel: not measured (needs /usr/bin/python3 with numpy: tools/bench-setup.sh)\n");
    }
    if (avx2.ms > 0) {
        printf("numpy log-mel on OpenBLAS %s (AVX2): %.2f ms\n", avx2.core.c_str(), avx2.ms);
    }
    printf("%-8s %10s", "threads", "kestu ms");
    if (np > 0) {
        printf(" %14s", "kestu / numpy");
    }
    if (avx2.ms > 0) {
        printf(" %14s", "kestu / avx2");
    }
    printf("\n");
    for (int nt : thread_counts) {
        auto it = ms_by_name.find(bench_name(nt) + "/real_time");
        if (it == ms_by_name.end()) {
            continue;
        }
        printf("%-8d %10.2f", nt, it->second);
        if (np > 0) {
            printf(" %14.2f", it->second / np);
        }
        if (avx2.ms > 0) {
            printf(" %14.2f", it->second / avx2.ms);
        }
        printf("\n");
    }
    return 0;
}
