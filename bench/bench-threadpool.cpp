// Cost per node of the CPU engine's graph walk: a graph of 1000 tiny nodes
// at 1, 4 and 8 threads. "empty" nodes are matrix products with no rows, so
// only the walk itself runs (abort poll and the barrier after each node);
// "tiny" nodes are 16x16 by 16x1 products, adding the kernel's own barrier
// and chunk counter. Pools are kept across runs ("pool") or made per run
// ("per-run"), as the CPU backend does when no pool is set.

#include "tevo-cpu.h"
#include "tevo.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

namespace {

const int n_nodes = 1000;

struct Graph {
    tevo_context * ctx;
    tevo_cgraph *  gf;

    explicit Graph(bool empty) {
        tevo_init_params params = { 64 * 1024 * 1024, nullptr, false };
        ctx                     = tevo_init(params);
        gf                      = tevo_new_graph_custom(ctx, 2 * n_nodes + 16, false);
        tevo_tensor * w         = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 16, 16);
        memset(w->data, 0, tevo_nbytes(w));
        tevo_tensor * cur = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 16, empty ? 0 : 1);
        memset(cur->data, 0, tevo_nbytes(cur));
        for (int i = 0; i < n_nodes; ++i) {
            cur = tevo_mul_mat(ctx, w, cur);
        }
        tevo_build_forward_expand(gf, cur);
    }
    ~Graph() { tevo_free(ctx); }
};

void BM_walk(benchmark::State & state, bool empty, bool keep_pool) {
    const int n_threads = (int) state.range(0);
    Graph     g(empty);

    tevo_threadpool * pool = nullptr;
    if (keep_pool) {
        tevo_threadpool_params tpp = tevo_threadpool_params_default(n_threads);
        pool                       = tevo_threadpool_new(&tpp);
    }
    tevo_cplan plan = tevo_graph_plan(g.gf, n_threads, pool);
    plan.n_threads  = n_threads; // empty nodes plan one task; run them on all threads anyway
    std::vector<uint8_t> work(plan.work_size + 64);
    plan.work_data = work.data();

    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        tevo_graph_compute(g.gf, &plan);
    }
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    state.counters["ns_per_node"] = ns / ((double) state.iterations() * n_nodes);

    tevo_threadpool_free(pool);
}

} // namespace

BENCHMARK_CAPTURE(BM_walk, empty_pool, true, true)->Arg(1)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_walk, tiny_pool, false, true)->Arg(1)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_walk, empty_per_run, true, false)->Arg(1)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_walk, tiny_per_run, false, false)->Arg(1)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char ** argv) {
    tevo_cpu_init();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
