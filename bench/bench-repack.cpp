// Matrix multiplication over repacked weights: the same quantized weights
// (q4_0, q4_K, iq4_nl) in a "CPU_REPACK" buffer (interleaved records, the
// AVX2 8x8 kernels) and in a plain CPU buffer (the engine's dot products),
// at the encoder shapes of a speech transformer and with one activation
// row, at 1, 4 and 8 threads (up to the machine's cores), in GFLOPS. The
// closing table gives the ratio repacked / plain, with the core count and
// the load average of the run.
//
// Shapes read "rows x inner by inner x columns": activations (src1) of
// `rows` rows times weights (src0) of `columns` rows. Q4_K needs an inner
// size that is a whole number of 256-value blocks.

#include "tevo-alloc.h"
#include "tevo-backend.h"
#include "tevo-cpu.h"
#include "tevo.h"

#include "matmul-bench.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
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
    // encoder projections and MLP of widths 384 and 512
    { "1500x384_by_384x1536", 1500, 384, 1536 },
    { "1500x1536_by_1536x384", 1500, 1536, 384 },
    { "1500x512_by_512x512", 1500, 512, 512 },
    { "1500x512_by_512x2048", 1500, 512, 2048 },
    { "1500x2048_by_2048x512", 1500, 2048, 512 },
    // one activation row: a decoder step
    { "1x512_by_512x2048", 1, 512, 2048 },
    { "1x2048_by_2048x512", 1, 2048, 512 },
    { "1x1536_by_1536x384", 1, 1536, 384 },
};

const tevo_type weight_types[] = { TEVO_TYPE_Q4_0, TEVO_TYPE_Q4_K, TEVO_TYPE_IQ4_NL };

// the CPU device's extra buffer type, as a model loader finds it
tevo_backend_buffer_type_t repack_buffer_type() {
    tevo_backend_reg_t reg       = tevo_backend_cpu_reg();
    auto               get_extra = (tevo_backend_dev_get_extra_bufts_t) tevo_backend_reg_get_proc_address(
        reg, "tevo_backend_dev_get_extra_bufts");
    tevo_backend_buffer_type_t * list = get_extra ? get_extra(tevo_backend_reg_dev_get(reg, 0)) : nullptr;
    return list ? list[0] : nullptr;
}

void BM_mul_mat(benchmark::State & state, Shape shape, tevo_type wtype, bool repack, int n_threads) {
    // the weight in its own buffer of the chosen type
    tevo_init_params wp   = { tevo_tensor_overhead() * 2, nullptr, true };
    tevo_context *   wctx = tevo_init(wp);
    tevo_tensor *    w    = tevo_new_tensor_2d(wctx, wtype, shape.inner, shape.cols);
    tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors_from_buft(
        wctx, repack ? repack_buffer_type() : tevo_backend_cpu_buffer_type());
    {
        std::vector<float>   tmp((size_t) (shape.inner * shape.cols));
        std::vector<uint8_t> q(tevo_nbytes(w));
        fill_random(tmp.data(), tmp.size(), 1);
        tevo_quantize_chunk(wtype, tmp.data(), q.data(), 0, shape.cols, shape.inner, nullptr);
        tevo_backend_tensor_set(w, q.data(), 0, q.size());
    }
    if (repack && w->extra == nullptr) {
        state.SkipWithError("no repacked layout for this weight");
    }

    const size_t     bytes = (size_t) (shape.inner * shape.rows + shape.rows * shape.cols) * 4 + (16u << 20);
    tevo_init_params p     = { bytes, nullptr, false };
    tevo_context *   ctx   = tevo_init(p);
    tevo_tensor *    x     = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, shape.inner, shape.rows);
    fill_random((float *) x->data, (size_t) (shape.inner * shape.rows), 2);
    tevo_tensor * y  = tevo_mul_mat(ctx, w, x);
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, y);

    tevo_threadpool_params tpp  = tevo_threadpool_params_default(n_threads);
    tevo_threadpool *      pool = tevo_threadpool_new(&tpp);
    tevo_cplan             plan = tevo_graph_plan(gf, n_threads, pool);
    std::vector<uint8_t>   work(plan.work_size + 64);
    plan.work_data = work.data();

    for (auto _ : state) {
        tevo_graph_compute(gf, &plan);
        benchmark::ClobberMemory();
    }

    const double flops = 2.0 * shape.rows * shape.inner * shape.cols;
    state.counters["GFLOPS"] =
        benchmark::Counter(flops * 1e-9 * (double) state.iterations(), benchmark::Counter::kIsRate);

    tevo_threadpool_free(pool);
    tevo_free(ctx);
    tevo_backend_buffer_free(buf);
    tevo_free(wctx);
}

std::string bench_name(const char * kind, const Shape & s, tevo_type t, int nt) {
    return std::string(kind) + "/" + s.name + "/" + tevo_type_name(t) + "/threads:" + std::to_string(nt);
}

} // namespace

int main(int argc, char ** argv) {
    tevo_cpu_init();
    // the uploads log each repacked weight at debug level
    tevo_log_set([](enum tevo_log_level, const char *, void *) {}, nullptr);
    const int cores = (int) std::thread::hardware_concurrency();
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
                for (bool repack : { false, true }) {
                    benchmark::RegisterBenchmark(bench_name(repack ? "repacked" : "plain", s, t, nt).c_str(),
                                                 BM_mul_mat, s, t, repack, nt)
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
    printf("%-24s %-6s %7s %12s %15s %7s\n", "shape", "type", "threads", "plain GFLOPS", "repacked GFLOPS", "ratio");
    for (const Shape & s : shapes) {
        for (tevo_type t : weight_types) {
            for (int nt : thread_counts) {
                auto a = gflops.find(bench_name("plain", s, t, nt) + "/real_time");
                auto b = gflops.find(bench_name("repacked", s, t, nt) + "/real_time");
                if (a == gflops.end() || b == gflops.end()) {
                    continue;
                }
                printf("%-24s %-6s %7d %12.1f %15.1f %7.2f\n", s.name, tevo_type_name(t), nt, a->second, b->second,
                       b->second / a->second);
            }
        }
    }
    return 0;
}
