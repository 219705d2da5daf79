// Small pieces the matrix-product benchmarks share: random inputs, the
// GFLOPS of every run kept by name for the closing ratio tables, and the
// load average printed beside them (the machine may be shared).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace matmul_bench {

// by benchmark name, for the ratio tables
inline std::map<std::string, double> gflops;

inline void fill_random(float * p, size_t n, uint32_t seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (size_t i = 0; i < n; ++i) {
        p[i] = dist(rng);
    }
}

// the console output as usual, and each run's GFLOPS counter into gflops
class Reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> & runs) override {
        for (const Run & r : runs) {
            auto it = r.counters.find("GFLOPS");
            if (it != r.counters.end() && r.run_type == Run::RT_Iteration) {
                gflops[r.benchmark_name()] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// the one-minute load average, -1 where it cannot be read
inline double load_average() {
    double load = -1.0;
    FILE * f    = fopen("/proc/loadavg", "r");
    if (f != nullptr) {
        if (fscanf(f, "%lf", &load) != 1) {
            load = -1.0;
        }
        fclose(f);
    }
    return load;
}

} // namespace matmul_bench
