// Matrix multiplication through the tiled integer path against the
// engine's ordinary dot-product path, on the same quantized weights (Q4_K,
// Q6_K, IQ4_XS) at the encoder shapes of a speech transformer, at 1, 4 and
// 8 threads (up to the machine's cores), in GFLOPS. The ordinary path is the
// same graph run with the plan's reference flag, which the tiled path
// refuses and nothing else in a lone MUL_MAT reads. The closing table gives
// the ratio tiled / ordinary, with the core count and the load average.
//
// Shapes read "rows x inner by inner x columns": activations (src1) of
// `rows` rows times weights (src0) of `columns` rows. These weight types need
// an inner size that is a whole number of 256-value blocks, so an inner size
// of 384 is listed but skipped.

#include "tevo-cpu.h"
#include "tevo.h"

#include "matmul-bench.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace matmul_bench;

namespace {

struct Shape {
    const char * name;
    int64_t      rows, inner, cols;
};

const Shape shapes[] = {
    { "1500x384_by_384x1536", 1500, 384, 1536 },
    { "1500x1536_by_1536x384", 1500, 1536, 384 },
    { "1500x512_by_512x2048", 1500, 512, 2048 },
};

const tevo_type weight_types[] = { TEVO_TYPE_Q4_K, TEVO_TYPE_Q6_K, TEVO_TYPE_IQ4_XS };

void BM_mul_mat(benchmark::State & state, Shape shape, tevo_type wtype, bool tiled, int n_threads) {
    const size_t wbytes = tevo_row_size(wtype, shape.inner) * (size_t) shape.cols;
    const size_t bytes  = wbytes + (size_t) (shape.inner * shape.rows + shape.rows * shape.cols) * 4 + (16u << 20);
    tevo_init_params p   = { bytes, nullptr, false };
    tevo_context *   ctx = tevo_init(p);

    tevo_tensor * w = tevo_new_tensor_2d(ctx, wtype, shape.inner, shape.cols);
    {
        std::vector<float> tmp((size_t) (shape.inner * shape.cols));
        fill_random(tmp.data(), tmp.size(), 1);
        tevo_quantize_chunk(wtype, tmp.data(), w->data, 0, shape.cols, shape.inner, nullptr);
    }
    tevo_tensor * x = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, shape.inner, shape.rows);
    fill_random((float *) x->data, (size_t) (shape.inner * shape.rows), 2);
    tevo_tensor * y  = tevo_mul_mat(ctx, w, x);
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, y);

    tevo_threadpool_params tpp  = tevo_threadpool_params_default(n_threads);
    tevo_threadpool *      pool = tevo_threadpool_new(&tpp);
    tevo_cplan             plan = tevo_graph_plan(gf, n_threads, pool);
    std::vector<uint8_t>   work(plan.work_size + 64);
    plan.work_data = work.data();
    plan.use_ref   = !tiled;

    for (auto _ : state) {
        tevo_graph_compute(gf, &plan);
        benchmark::ClobberMemory();
    }

    const double flops = 2.0 * shape.rows * shape.inner * shape.cols;
    state.counters["GFLOPS"] =
        benchmark::Counter(flops * 1e-9 * (double) state.iterations(), benchmark::Counter::kIsRate);

    tevo_threadpool_free(pool);
    tevo_free(ctx);
}

std::string bench_name(const char * kind, const Shape & s, tevo_type t, int nt) {
    return std::string(kind) + "/" + s.name + "/" + tevo_type_name(t) + "/threads:" + std::to_string(nt);
}

} // namespace

int main(int argc, char ** argv) {
    tevo_cpu_init();
    const int        cores = (int) std::thread::hardware_concurrency();
    std::vector<int> thread_counts;
    for (int nt : { 1, 4, 8 }) {
        if (nt <= cores) {
            thread_counts.push_back(nt);
        }
    }
    for (const Shape & s : shapes) {
        for (tevo_type t : weight_types) {
            if (s.inner % tevo_blck_size(t) != 0) {
                continue;
            }
            for (int nt : thread_counts) {
                for (bool tiled : { false, true }) {
                    benchmark::RegisterBenchmark(bench_name(tiled ? "tiled" : "ordinary", s, t, nt).c_str(),
                                                 BM_mul_mat, s, t, tiled, nt)
                        ->Unit(benchmark::kMillisecond)
                        ->UseRealTime();
                }
            }
        }
    }

    const double load_before = load_average();
    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    printf("\ncores %d, load average %.2f before the run, %.2f after\n", cores, load_before, load_average());
    printf("%-24s %-6s %7s %15s %12s %7s\n", "shape", "type", "threads", "ordinary GFLOPS", "tiled GFLOPS", "ratio");
    for (const Shape & s : shapes) {
        for (tevo_type t : weight_types) {
            if (s.inner % tevo_blck_size(t) != 0) {
                printf("%-24s %-6s   skipped: inner size not a whole number of %d-value blocks\n", s.name,
                       tevo_type_name(t), (int) tevo_blck_size(t));
                continue;
            }
            for (int nt : thread_counts) {
                auto a = gflops.find(bench_name("ordinary", s, t, nt) + "/real_time");
                auto b = gflops.find(bench_name("tiled", s, t, nt) + "/real_time");
                if (a == gflops.end() || b == gflops.end()) {
                    continue;
                }
                printf("%-24s %-6s %7d %15.1f %12.1f %7.2f\n", s.name, tevo_type_name(t), nt, a->second, b->second,
                       b->second / a->second);
            }
        }
    }
    return 0;
}
