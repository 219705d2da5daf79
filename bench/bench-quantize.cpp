// Quantization of whole rows (tevo_quantize_chunk, one thread) for every
// K-quant and i-quant type, in milliseconds per million weights, with the
// relative RMS round-trip error on the same Gaussian rows, with and without
// importance weights (random, one per column). The i-quant grids are built
// before timing; their one-time build cost is timed apart.
//
// The closing table puts each type's error beside its bits per weight, so
// the i-quants can be read against q2_K, q3_K and q4_K.

#include "tevo.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

const int64_t n_per_row = 4096;
const int64_t nrows     = 64; // 262144 weights per call

const tevo_type types[] = {
    TEVO_TYPE_Q2_K,    TEVO_TYPE_Q3_K,   TEVO_TYPE_Q4_K,  TEVO_TYPE_Q5_K,   TEVO_TYPE_Q6_K,  TEVO_TYPE_IQ1_S,
    TEVO_TYPE_IQ1_M,   TEVO_TYPE_IQ2_XXS, TEVO_TYPE_IQ2_XS, TEVO_TYPE_IQ2_S, TEVO_TYPE_IQ3_XXS, TEVO_TYPE_IQ3_S,
    TEVO_TYPE_IQ4_NL,  TEVO_TYPE_IQ4_XS,
};

struct Data {
    std::vector<float> x;
    std::vector<float> imatrix;
};

const Data & data() {
    static const Data d = [] {
        Data                                  r;
        std::mt19937                          rng(1);
        std::normal_distribution<float>       g(0.0f, 1.0f);
        std::uniform_real_distribution<float> u(0.1f, 2.0f);
        r.x.resize((size_t) (n_per_row * nrows));
        for (float & v : r.x) v = g(rng);
        r.imatrix.resize((size_t) n_per_row);
        for (float & v : r.imatrix) v = u(rng);
        return r;
    }();
    return d;
}

struct Row {
    double ms_per_million[2] = { NAN, NAN }; // without, with importance weights
    double rms[2]            = { NAN, NAN };
};

std::map<tevo_type, Row> results;

double rms_error(tevo_type t, const std::vector<uint8_t> & q) {
    const Data &       d = data();
    std::vector<float> y(d.x.size());
    const int64_t      rs = (int64_t) tevo_row_size(t, n_per_row);
    for (int64_t r = 0; r < nrows; ++r) {
        tevo_get_type_traits(t)->to_float(q.data() + r * rs, y.data() + r * n_per_row, n_per_row);
    }
    double e = 0, s = 0;
    for (size_t i = 0; i < y.size(); ++i) {
        e += ((double) d.x[i] - y[i]) * ((double) d.x[i] - y[i]);
        s += (double) d.x[i] * d.x[i];
    }
    return std::sqrt(e / s);
}

void BM_quantize(benchmark::State & state, tevo_type t, bool weighted) {
    const Data &         d = data();
    std::vector<uint8_t> q(tevo_row_size(t, n_per_row) * (size_t) nrows);
    const float *        im = weighted ? d.imatrix.data() : nullptr;
    tevo_quantize_init(t);
    for (auto _ : state) {
        tevo_quantize_chunk(t, d.x.data(), q.data(), 0, nrows, n_per_row, im);
        benchmark::ClobberMemory();
    }
    const double weights = (double) (n_per_row * nrows);
    state.counters["Mweights/s"] =
        benchmark::Counter(weights * 1e-6 * (double) state.iterations(), benchmark::Counter::kIsRate);
    results[t].rms[weighted] = rms_error(t, q);
}

// the grids' one-time build
void BM_grid_build(benchmark::State & state, tevo_type t) {
    for (auto _ : state) {
        tevo_quantize_free();
        tevo_quantize_init(t);
    }
}

std::string name_of(tevo_type t, bool weighted) {
    return std::string("quantize/") + tevo_type_name(t) + (weighted ? "/imatrix" : "/plain");
}

class Reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> & runs) override {
        for (const Run & r : runs) {
            auto it = r.counters.find("Mweights/s");
            if (it == r.counters.end() || r.run_type != Run::RT_Iteration) continue;
            for (tevo_type t : types) {
                for (int w = 0; w < 2; ++w) {
                    if (r.benchmark_name().rfind(name_of(t, w), 0) == 0) {
                        results[t].ms_per_million[w] = 1e3 / it->second.value;
                    }
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char ** argv) {
    tevo_time_init();
    for (tevo_type t : types) {
        for (int w = 0; w < 2; ++w) {
            if (!w && tevo_quantize_requires_imatrix(t)) continue;
            benchmark::RegisterBenchmark(name_of(t, w).c_str(), BM_quantize, t, (bool) w)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
    }
    for (tevo_type t : { TEVO_TYPE_IQ2_XXS, TEVO_TYPE_IQ2_XS, TEVO_TYPE_IQ2_S, TEVO_TYPE_IQ1_S, TEVO_TYPE_IQ3_XXS,
                         TEVO_TYPE_IQ3_S }) {
        benchmark::RegisterBenchmark((std::string("grid_build/") + tevo_type_name(t)).c_str(), BM_grid_build, t)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }

    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    printf("\n%-8s %6s %14s %14s %10s %10s\n", "type", "bpw", "ms/Mw plain", "ms/Mw imatrix", "rms plain",
           "rms imatrix");
    for (tevo_type t : types) {
        auto it = results.find(t);
        if (it == results.end()) continue;
        const Row & r = it->second;
        printf("%-8s %6.4f %14.2f %14.2f %10.4f %10.4f\n", tevo_type_name(t), 8.0 * tevo_type_sizef(t),
               r.ms_per_million[0], r.ms_per_million[1], r.rms[0], r.rms[1]);
    }
    return 0;
}
