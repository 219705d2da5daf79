// Fused attention (FLASH_ATTN_EXT) against the unfused softmax attention
// MUL_MAT(K, Q) -> SOFT_MAX(scale, mask) -> MUL_MAT(V^T, P) over the speech
// model's shapes, with F16 K and V as its caches hold them, at 1, 4 and 8
// threads. A table of time ratios (unfused / fused) closes the run.
//
// The unfused graph stops at its [DV, N, H] product; the permute and copy
// into the fused layout [DV, H, N] that a model would add are not timed.

#include "tevo-cpu.h"
#include "tevo.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

enum class Mask { none, padding, causal };

struct Shape {
    const char * name;
    int64_t      N, n_kv, H, D;
    Mask         mask;
    int64_t      n_valid; // keys not masked by the padding mask
};

const Shape shapes[] = {
    { "encoder_1500x1500", 1500, 1500, 6, 64, Mask::none, 1500 }, // the speech library's encoder: no mask
    { "encoder_1500x1536", 1500, 1536, 6, 64, Mask::padding, 1500 },
    { "cross_1x1536", 1, 1536, 6, 64, Mask::none, 1536 },
    { "self_5x448", 5, 448, 6, 64, Mask::causal, 448 },
};

const int thread_counts[] = { 1, 4, 8 };

std::map<std::string, double> times_ms; // by benchmark name, for the ratio table

void fill_f16(tevo_tensor * t, uint32_t seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    const int64_t                         n = tevo_nelements(t);
    std::vector<float>                    tmp((size_t) n);
    for (float & x : tmp) x = dist(rng);
    tevo_fp32_to_fp16_row(tmp.data(), (tevo_fp16_t *) t->data, n);
}

void fill_f32(tevo_tensor * t, uint32_t seed) {
    std::mt19937                          rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    float *                               p = (float *) t->data;
    for (int64_t i = 0; i < tevo_nelements(t); ++i) p[i] = dist(rng);
}

tevo_tensor * make_mask(tevo_context * ctx, const Shape & s) {
    if (s.mask == Mask::none) {
        return nullptr;
    }
    tevo_tensor *      m = tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, s.n_kv, s.N);
    std::vector<float> tmp((size_t) (s.n_kv * s.N));
    for (int64_t r = 0; r < s.N; ++r) {
        for (int64_t c = 0; c < s.n_kv; ++c) {
            const bool open = s.mask == Mask::padding ? c < s.n_valid : c <= s.n_kv - s.N + r;
            tmp[(size_t) (r * s.n_kv + c)] = open ? 0.0f : -INFINITY;
        }
    }
    tevo_fp32_to_fp16_row(tmp.data(), (tevo_fp16_t *) m->data, (int64_t) tmp.size());
    return m;
}

void run(benchmark::State & state, const Shape & s, bool fused, int n_threads) {
    const size_t scores = (size_t) (s.N * s.n_kv * s.H);
    const size_t bytes  = scores * 12 + (size_t) (s.D * (s.N + 4 * s.n_kv) * s.H) * 4 + 64 * 1024 * 1024;

    tevo_init_params params = { bytes, nullptr, false };
    tevo_context *   ctx    = tevo_init(params);

    const float scale = 1.0f / std::sqrt((float) s.D);

    tevo_tensor * q = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, s.D, s.N, s.H);
    tevo_tensor * k = tevo_new_tensor_3d(ctx, TEVO_TYPE_F16, s.D, s.n_kv, s.H);
    fill_f32(q, 1);
    fill_f16(k, 2);
    tevo_tensor * mask = make_mask(ctx, s);

    tevo_tensor * out = nullptr;
    if (fused) {
        tevo_tensor * v = tevo_new_tensor_3d(ctx, TEVO_TYPE_F16, s.D, s.n_kv, s.H);
        fill_f16(v, 3);
        out = tevo_flash_attn_ext(ctx, q, k, v, mask, scale, 0.0f, 0.0f);
    } else {
        // the cache layout of the unfused path keeps V transposed
        tevo_tensor * vt = tevo_new_tensor_3d(ctx, TEVO_TYPE_F16, s.n_kv, s.D, s.H);
        fill_f16(vt, 3);
        tevo_tensor * kq = tevo_mul_mat(ctx, k, q);
        tevo_tensor * p  = tevo_soft_max_ext(ctx, kq, mask, scale, 0.0f);
        out              = tevo_mul_mat(ctx, vt, p);
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

    // multiply-adds of the two products, as GFLOPS
    const double flops = 4.0 * (double) s.N * (double) s.n_kv * (double) s.D * (double) s.H;
    state.counters["GFLOPS"] =
        benchmark::Counter(flops * 1e-9 * (double) state.iterations(), benchmark::Counter::kIsRate);

    tevo_threadpool_free(pool);
    tevo_free(ctx);
}

std::string bench_name(const Shape & s, const char * kind, int nt) {
    return std::string(s.name) + "/" + kind + "/threads:" + std::to_string(nt);
}

class Reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> & runs) override {
        for (const Run & r : runs) {
            if (r.run_type == Run::RT_Iteration && r.iterations > 0) {
                times_ms[r.benchmark_name()] = r.GetAdjustedRealTime(); // in the run's unit (ms)
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char ** argv) {
    tevo_cpu_init();
    for (const Shape & s : shapes) {
        for (int nt : thread_counts) {
            for (const bool fused : { true, false }) {
                benchmark::RegisterBenchmark(bench_name(s, fused ? "fused" : "unfused", nt).c_str(),
                                             [s, fused, nt](benchmark::State & st) { run(st, s, fused, nt); })
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
            }
        }
    }

    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    printf("\n%-20s %7s %12s %12s %14s\n", "shape", "threads", "fused ms", "unfused ms", "unfused/fused");
    for (const Shape & s : shapes) {
        for (int nt : thread_counts) {
            auto f = times_ms.find(bench_name(s, "fused", nt) + "/real_time");
            auto u = times_ms.find(bench_name(s, "unfused", nt) + "/real_time");
            if (f == times_ms.end() || u == times_ms.end()) {
                continue;
            }
            printf("%-20s %7d %12.3f %12.3f %14.2f\n", s.name, nt, f->second, u->second, u->second / f->second);
        }
    }
    return 0;
}
