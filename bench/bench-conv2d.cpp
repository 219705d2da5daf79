// Direct 2-D convolution (CONV_2D: patches unfolded batch by batch into the
// work buffer, then the engine's matrix product) against the im2col +
// matrix-product graph of the same convolution, at 1, 4 and 8 threads, in
// GFLOPS: 64 input and 64 output channels, a 3x3 kernel, stride 1 and
// padding 1 over a 128x128 image. The closing table gives each form's rate
// and the ratio direct / im2col for the same kernel type.
//
// The im2col forms: "im2col-f16" is tevo_conv_2d itself (half patches, the
// library's composite); "im2col-f32" the same graph with float patches.

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

const int64_t W = 128, H = 128, IC = 64, OC = 64, K = 3;

const int thread_counts[] = { 1, 4, 8 };

std::map<std::string, double> gflops; // by benchmark name, for the closing table

enum class Form { direct_f32, direct_f16, im2col_f32, im2col_f16 };

const char * form_name(Form f) {
    switch (f) {
        case Form::direct_f32: return "direct-f32";
        case Form::direct_f16: return "direct-f16";
        case Form::im2col_f32: return "im2col-f32";
        case Form::im2col_f16: return "im2col-f16";
    }
    return "";
}

void fill_random(tevo_tensor * t, uint32_t seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    const int64_t                         n = tevo_nelements(t);
    for (int64_t i = 0; i < n; ++i) {
        if (t->type == TEVO_TYPE_F16) {
            ((tevo_fp16_t *) t->data)[i] = tevo_fp32_to_fp16(dist(rng));
        } else {
            ((float *) t->data)[i] = dist(rng);
        }
    }
}

// tevo_conv_2d with float patches: im2col, product, back to [OW, OH, OC, N]
tevo_tensor * conv_im2col_f32(tevo_context * ctx, tevo_tensor * a, tevo_tensor * b) {
    tevo_tensor * col = tevo_im2col(ctx, a, b, 1, 1, 1, 1, 1, 1, true, TEVO_TYPE_F32);
    tevo_tensor * r   = tevo_mul_mat(ctx, tevo_reshape_2d(ctx, col, col->ne[0], col->ne[3] * col->ne[2] * col->ne[1]),
                                     tevo_reshape_2d(ctx, a, a->ne[0] * a->ne[1] * a->ne[2], a->ne[3]));
    r = tevo_reshape_4d(ctx, r, col->ne[1], col->ne[2], col->ne[3], a->ne[3]);
    return tevo_cont(ctx, tevo_permute(ctx, r, 0, 1, 3, 2));
}

void BM_conv(benchmark::State & state, Form form, int n_threads) {
    const bool     half  = form == Form::direct_f16 || form == Form::im2col_f16;
    const size_t   bytes = (size_t) 256 * 1024 * 1024;
    tevo_init_params params = { bytes, nullptr, false };
    tevo_context *   ctx    = tevo_init(params);

    tevo_tensor * a = tevo_new_tensor_4d(ctx, half ? TEVO_TYPE_F16 : TEVO_TYPE_F32, K, K, IC, OC);
    tevo_tensor * b = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, W, H, IC, 1);
    fill_random(a, 1);
    fill_random(b, 2);

    tevo_tensor * y = nullptr;
    switch (form) {
        case Form::direct_f32:
        case Form::direct_f16: y = tevo_conv_2d_direct(ctx, a, b, 1, 1, 1, 1, 1, 1); break;
        case Form::im2col_f32: y = conv_im2col_f32(ctx, a, b); break;
        case Form::im2col_f16: y = tevo_conv_2d(ctx, a, b, 1, 1, 1, 1, 1, 1); break;
    }
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, y);

    tevo_threadpool_params tpp  = tevo_threadpool_params_default(n_threads);
    tevo_threadpool *      pool = tevo_threadpool_new(&tpp);

    tevo_cplan           plan = tevo_graph_plan(gf, n_threads, pool);
    std::vector<uint8_t> work(plan.work_size + 64);
    plan.work_data = work.data();

    for (auto _ : state) {
        tevo_graph_compute(gf, &plan);
        benchmark::ClobberMemory();
    }

    const double flops = 2.0 * (double) (OC * IC * K * K) * (double) (W * H);
    state.counters["GFLOPS"] =
        benchmark::Counter(flops * 1e-9 * (double) state.iterations(), benchmark::Counter::kIsRate);

    tevo_threadpool_free(pool);
    tevo_free(ctx);
}

std::string bench_name(Form f, int nt) {
    return std::string("conv2d_64ch_3x3_128x128/") + form_name(f) + "/threads:" + std::to_string(nt);
}

// keeps each run's GFLOPS for the closing table: the median when the runs
// are repeated (--benchmark_repetitions), else the single run
class Reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> & runs) override {
        for (const Run & r : runs) {
            auto it = r.counters.find("GFLOPS");
            if (it == r.counters.end()) {
                continue;
            }
            if (r.run_type == Run::RT_Iteration && r.repetitions <= 1) {
                gflops[r.run_name.str()] = it->second.value;
            } else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                gflops[r.run_name.str()] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char ** argv) {
    tevo_cpu_init();
    const Form forms[] = { Form::direct_f32, Form::im2col_f32, Form::direct_f16, Form::im2col_f16 };
    for (int nt : thread_counts) {
        for (Form f : forms) {
            benchmark::RegisterBenchmark(bench_name(f, nt).c_str(), BM_conv, f, nt)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
    }

    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto rate = [](Form f, int nt) {
        auto it = gflops.find(bench_name(f, nt) + "/real_time");
        return it == gflops.end() ? 0.0 : it->second;
    };
    printf("\n%-6s %7s %12s %12s %8s\n", "kernel", "threads", "direct", "im2col", "ratio");
    for (const char * type : { "f32", "f16" }) {
        const bool half = strcmp(type, "f16") == 0;
        for (int nt : thread_counts) {
            const double d = rate(half ? Form::direct_f16 : Form::direct_f32, nt);
            const double i = rate(half ? Form::im2col_f16 : Form::im2col_f32, nt);
            if (d == 0.0 || i == 0.0) {
                continue;
            }
            printf("%-6s %7d %12.1f %12.1f %8.2f\n", type, nt, d, i, d / i);
        }
    }
    return 0;
}
