// Element-wise ADD and MUL of F32 tensors of 1500 rows of 384 to 4096
// floats, at 1 and 4 threads, in GB/s of memory traffic (bytes read plus
// bytes written), beside a plain memcpy that moves the same traffic on the
// same thread pool. A table of ratios closes the run.
//
//   same:  dst = a op b, all three of the same shape (reads 2N, writes N)
//   bias:  dst = a + b with b one row repeated over a (reads N, writes N)
//   memcpy_same / memcpy_bias: each thread memcpys its block of rows of a
//          tensor sized so that the traffic equals that of the operation.

#include "tevo-cpu.h"
#include "tevo.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

const int64_t kRows           = 1500;
const int64_t kRowLengths[]   = { 384, 1024, 1536, 4096 };
const int     kThreadCounts[] = { 1, 4 };

enum class Kind { add_same, mul_same, add_bias, memcpy_same, memcpy_bias };

const char * kind_name(Kind k) {
    switch (k) {
        case Kind::add_same:    return "add_same";
        case Kind::mul_same:    return "mul_same";
        case Kind::add_bias:    return "add_bias";
        case Kind::memcpy_same: return "memcpy_same";
        case Kind::memcpy_bias: return "memcpy_bias";
    }
    return "?";
}

std::map<std::string, double> gbps; // by benchmark name, for the closing table

void fill_random(tevo_tensor * t, uint32_t seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> dist(0.5f, 2.0f);
    float *                               p = (float *) t->data;
    for (int64_t i = 0; i < tevo_nelements(t); ++i) {
        p[i] = dist(rng);
    }
}

// each thread copies its contiguous block of rows of a into dst
void copy_rows(tevo_tensor * dst, const tevo_tensor * a, int ith, int nth, void *) {
    const int64_t nr  = a->ne[1];
    const int64_t dr  = (nr + nth - 1) / nth;
    const int64_t ir0 = dr * ith;
    const int64_t ir1 = ir0 + dr < nr ? ir0 + dr : nr;
    if (ir0 < ir1) {
        memcpy((char *) dst->data + ir0 * dst->nb[1], (const char *) a->data + ir0 * a->nb[1],
               (size_t) (ir1 - ir0) * a->nb[1]);
    }
}

void BM_elementwise(benchmark::State & state, Kind kind, int64_t ne0, int n_threads) {
    const size_t row_bytes = (size_t) ne0 * sizeof(float);
    const size_t n_bytes   = row_bytes * (size_t) kRows;

    tevo_init_params params = { 4 * n_bytes + 16 * 1024 * 1024, nullptr, false };
    tevo_context *   ctx    = tevo_init(params);

    tevo_tensor * out     = nullptr;
    size_t        traffic = 0;
    switch (kind) {
        case Kind::add_same:
        case Kind::mul_same: {
            tevo_tensor * a = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, ne0, kRows);
            tevo_tensor * b = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, ne0, kRows);
            fill_random(a, 1);
            fill_random(b, 2);
            out     = kind == Kind::add_same ? tevo_add(ctx, a, b) : tevo_mul(ctx, a, b);
            traffic = 3 * n_bytes;
        } break;
        case Kind::add_bias: {
            tevo_tensor * a = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, ne0, kRows);
            tevo_tensor * b = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, ne0);
            fill_random(a, 1);
            fill_random(b, 2);
            out     = tevo_add(ctx, a, b);
            traffic = 2 * n_bytes;
        } break;
        case Kind::memcpy_same:
        case Kind::memcpy_bias: {
            // 1.5 N (or N) bytes copied: 3 N (or 2 N) of traffic
            const int64_t rows = kind == Kind::memcpy_same ? kRows * 3 / 2 : kRows;
            tevo_tensor * a    = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, ne0, rows);
            fill_random(a, 1);
            out     = tevo_map_custom1(ctx, a, copy_rows, TEVO_N_TASKS_MAX, nullptr);
            traffic = 2 * row_bytes * (size_t) rows;
        } break;
    }

    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, out);

    tevo_threadpool_params tpp  = tevo_threadpool_params_default(n_threads);
    tevo_threadpool *      pool = tevo_threadpool_new(&tpp);

    tevo_cplan           plan = tevo_graph_plan(gf, n_threads, pool);
    std::vector<uint8_t> work(plan.work_size + 64);
    plan.work_data = work.data();

    for (auto _ : state) {
        tevo_graph_compute(gf, &plan);
        benchmark::ClobberMemory();
    }

    state.counters["GB/s"] =
        benchmark::Counter((double) traffic * 1e-9 * (double) state.iterations(), benchmark::Counter::kIsRate);

    tevo_threadpool_free(pool);
    tevo_free(ctx);
}

std::string bench_name(Kind k, int64_t ne0, int nt) {
    return std::string(kind_name(k)) + "/" + std::to_string(kRows) + "x" + std::to_string(ne0) +
           "/threads:" + std::to_string(nt);
}

class Reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> & runs) override {
        for (const Run & r : runs) {
            auto it = r.counters.find("GB/s");
            if (it != r.counters.end() && r.run_type == Run::RT_Iteration) {
                gbps[r.benchmark_name()] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

double find(Kind k, int64_t ne0, int nt) {
    auto it = gbps.find(bench_name(k, ne0, nt) + "/real_time");
    return it == gbps.end() ? 0.0 : it->second;
}

} // namespace

int main(int argc, char ** argv) {
    tevo_cpu_init();
    for (int64_t ne0 : kRowLengths) {
        for (int nt : kThreadCounts) {
            for (Kind k : { Kind::memcpy_same, Kind::add_same, Kind::mul_same, Kind::memcpy_bias, Kind::add_bias }) {
                benchmark::RegisterBenchmark(bench_name(k, ne0, nt).c_str(), BM_elementwise, k, ne0, nt)
                    ->Unit(benchmark::kMicrosecond)
                    ->UseRealTime();
            }
        }
    }

    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    printf("\n%-10s %7s %12s %9s %9s %8s %12s %9s %8s\n", "shape", "threads", "memcpy GB/s", "add GB/s", "mul GB/s",
           "ratio", "memcpy GB/s", "bias GB/s", "ratio");
    for (int64_t ne0 : kRowLengths) {
        for (int nt : kThreadCounts) {
            const double m  = find(Kind::memcpy_same, ne0, nt);
            const double a  = find(Kind::add_same, ne0, nt);
            const double mu = find(Kind::mul_same, ne0, nt);
            const double mb = find(Kind::memcpy_bias, ne0, nt);
            const double ab = find(Kind::add_bias, ne0, nt);
            if (m == 0.0 && mb == 0.0) {
                continue;
            }
            printf("%4lldx%-5lld %7d %12.1f %9.1f %9.1f %8.2f %12.1f %9.1f %8.2f\n", (long long) kRows,
                   (long long) ne0, nt, m, a, mu, m > 0 ? (a < mu ? a : mu) / m : 0.0, mb, ab, mb > 0 ? ab / mb : 0.0);
        }
    }
    printf("(ratio: the slower of add and mul, or the bias add, over memcpy of the same traffic)\n");
    return 0;
}
