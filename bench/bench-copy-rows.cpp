// Copies and row gathers on the CPU engine at 1 and 4 threads, in bytes
// moved per second (bytes read plus bytes written), each beside a plain
// memcpy that moves the same number of bytes in the same run:
//   - a 1500x1536 tensor copied F32 -> F16 and F16 -> F32 (the encoder's
//     activation casts);
//   - 8192 random rows gathered from a 51864x384 F16 table into F32 (the
//     token embedding table of a speech decoder).
// GET_ROWS is a single-task operator, so its plan is given the thread count
// explicitly, as happens when it shares a graph with multi-task nodes.

#include "tevo-cpu.h"
#include "tevo.h"

#include <benchmark/benchmark.h>

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

const int thread_counts[] = { 1, 4 };

struct Run {
    tevo_context *       ctx  = nullptr;
    tevo_threadpool *    pool = nullptr;
    tevo_cgraph *        gf   = nullptr;
    tevo_cplan           plan = {};
    std::vector<uint8_t> work;

    Run(size_t mem, int n_threads) {
        tevo_init_params p = { mem, nullptr, false };
        ctx                = tevo_init(p);
        tevo_threadpool_params tpp = tevo_threadpool_params_default(n_threads);
        pool                       = tevo_threadpool_new(&tpp);
    }
    ~Run() {
        tevo_threadpool_free(pool);
        tevo_free(ctx);
    }
    void plan_for(tevo_tensor * out, int n_threads) {
        gf = tevo_new_graph(ctx);
        tevo_build_forward_expand(gf, out);
        plan           = tevo_graph_plan(gf, n_threads, pool);
        plan.n_threads = n_threads;
        work.resize(plan.work_size + 64);
        plan.work_data = work.data();
    }
    void compute() { tevo_graph_compute(gf, &plan); }
};

void fill(float * p, size_t n) {
    std::mt19937                          rng(1);
    std::uniform_real_distribution<float> d(-4.0f, 4.0f);
    for (size_t i = 0; i < n; ++i) {
        p[i] = d(rng);
    }
}

void BM_cast(benchmark::State & state, tevo_type from, tevo_type to, int n_threads) {
    const int64_t ne0 = 1536, ne1 = 1500;
    Run           r((size_t) (ne0 * ne1) * 6 + 16 * 1024 * 1024, n_threads);
    tevo_tensor * a = tevo_new_tensor_2d(r.ctx, from, ne0, ne1);
    {
        std::vector<float> tmp((size_t) (ne0 * ne1));
        fill(tmp.data(), tmp.size());
        if (from == TEVO_TYPE_F16) {
            tevo_fp32_to_fp16_row(tmp.data(), (tevo_fp16_t *) a->data, ne0 * ne1);
        } else {
            memcpy(a->data, tmp.data(), tmp.size() * 4);
        }
    }
    tevo_tensor * b = tevo_cast(r.ctx, a, to);
    r.plan_for(b, n_threads);
    for (auto _ : state) {
        r.compute();
    }
    state.SetBytesProcessed((int64_t) state.iterations() * (int64_t) (tevo_nbytes(a) + tevo_nbytes(b)));
}

void BM_get_rows(benchmark::State & state, int n_threads) {
    const int64_t ne0 = 384, n_vocab = 51864, n_rows = 8192;
    Run           r((size_t) (ne0 * n_vocab) * 2 + (size_t) (ne0 * n_rows) * 4 + 16 * 1024 * 1024, n_threads);
    tevo_tensor * table = tevo_new_tensor_2d(r.ctx, TEVO_TYPE_F16, ne0, n_vocab);
    {
        std::vector<float> tmp((size_t) (ne0 * n_vocab));
        fill(tmp.data(), tmp.size());
        tevo_fp32_to_fp16_row(tmp.data(), (tevo_fp16_t *) table->data, ne0 * n_vocab);
    }
    tevo_tensor * ids = tevo_new_tensor_1d(r.ctx, TEVO_TYPE_I32, n_rows);
    std::mt19937  rng(2);
    for (int64_t i = 0; i < n_rows; ++i) {
        ((int32_t *) ids->data)[i] = (int32_t) (rng() % n_vocab);
    }
    tevo_tensor * g = tevo_get_rows(r.ctx, table, ids);
    r.plan_for(g, n_threads);
    for (auto _ : state) {
        r.compute();
    }
    const int64_t moved = n_rows * ne0 * 2 + (int64_t) tevo_nbytes(ids) + (int64_t) tevo_nbytes(g);
    state.SetBytesProcessed((int64_t) state.iterations() * moved);
}

// Workers that wait spinning, like the engine's pool, so that the memcpy at
// several threads pays no thread start-up per iteration.
struct CopyPool {
    std::vector<std::thread> threads;
    std::atomic<int>         generation{ 0 };
    std::atomic<int>         done{ 0 };
    std::atomic<bool>        stop{ false };
    uint8_t *                dst = nullptr;
    const uint8_t *          src = nullptr;
    size_t                   n   = 0;
    int                      nth = 1;

    explicit CopyPool(int n_threads) : nth(n_threads) {
        for (int t = 1; t < nth; ++t) {
            threads.emplace_back([this, t] {
                int seen = 0;
                for (;;) {
                    int g;
                    while ((g = generation.load(std::memory_order_acquire)) == seen) {
                        if (stop.load(std::memory_order_relaxed)) {
                            return;
                        }
                        _mm_pause();
                    }
                    seen = g;
                    part(t);
                    done.fetch_add(1, std::memory_order_acq_rel);
                }
            });
        }
    }
    ~CopyPool() {
        stop = true;
        for (auto & t : threads) {
            t.join();
        }
    }
    void part(int t) const {
        const size_t chunk = (n + nth - 1) / nth;
        const size_t o     = chunk * t;
        if (o < n) {
            memcpy(dst + o, src + o, std::min(chunk, n - o));
        }
    }
    void copy(uint8_t * d, const uint8_t * s, size_t bytes) {
        dst = d;
        src = s;
        n   = bytes;
        done.store(0, std::memory_order_relaxed);
        generation.fetch_add(1, std::memory_order_acq_rel);
        part(0);
        while (done.load(std::memory_order_acquire) != nth - 1) {
            _mm_pause();
        }
    }
};

// memcpy of half the given traffic (it reads and writes each byte), split
// over n threads as the kernels split their rows
void BM_memcpy(benchmark::State & state, size_t traffic, int n_threads) {
    const size_t         n = traffic / 2;
    std::vector<uint8_t> src(n, 1), dst(n, 0);
    CopyPool             pool(n_threads);
    for (auto _ : state) {
        pool.copy(dst.data(), src.data(), n);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed((int64_t) state.iterations() * (int64_t) (2 * n));
}

void register_all() {
    const size_t cast_traffic = (size_t) 1536 * 1500 * 6;
    const size_t rows_traffic = (size_t) 8192 * 384 * 6 + 8192 * 4;
    for (int nt : thread_counts) {
        const std::string t = "/threads:" + std::to_string(nt);
        benchmark::RegisterBenchmark(("cpy_f32_to_f16_1500x1536" + t).c_str(), BM_cast, TEVO_TYPE_F32, TEVO_TYPE_F16, nt)
            ->Unit(benchmark::kMicrosecond)->UseRealTime();
        benchmark::RegisterBenchmark(("cpy_f16_to_f32_1500x1536" + t).c_str(), BM_cast, TEVO_TYPE_F16, TEVO_TYPE_F32, nt)
            ->Unit(benchmark::kMicrosecond)->UseRealTime();
        benchmark::RegisterBenchmark(("memcpy_same_bytes_as_cpy" + t).c_str(), BM_memcpy, cast_traffic, nt)
            ->Unit(benchmark::kMicrosecond)->UseRealTime();
        benchmark::RegisterBenchmark(("get_rows_f16_51864x384_8192_rows" + t).c_str(), BM_get_rows, nt)
            ->Unit(benchmark::kMicrosecond)->UseRealTime();
        benchmark::RegisterBenchmark(("memcpy_same_bytes_as_get_rows" + t).c_str(), BM_memcpy, rows_traffic, nt)
            ->Unit(benchmark::kMicrosecond)->UseRealTime();
    }
}

}  // namespace

int main(int argc, char ** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
