// Cost per node of the CPU engine's graph walk: a graph of 1000 tiny nodes
// at 1, 4 and 8 threads. "empty" nodes are matrix products with no rows, so
// only the walk itself runs (abort poll and the barrier after each node);
// "tiny" nodes are 16x16 by 16x1 products, adding the kernel's own barrier
// and chunk counter. Pools are kept across runs ("pool") or made per run
// ("per-run"), as the CPU backend does when no pool is set.
//
//   bench-threadpool --recovery [trials] [threads]
//
// times how soon runs take their quiet time again once other work has left
// the cores: a graph of 32 F16 products and additions (8 threads unless
// given) runs over and over, quiet for a second, beside as many busy
// processes as threads for two, and for three more once they are gone. A
// trial's recovery is the time from their end to the first run from which
// on the runs of a tenth of a second take at most 1.3 times the quiet median
// (their median). With RECOVERY_TRACE set, each trial also prints the median
// run time of every tenth of a second after the busy processes.

#include "tevo-cpu.h"
#include "tevo.h"

#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
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

using recovery_clock = std::chrono::steady_clock;

struct timed_run {
    double at; // seconds from the trial's start
    double ms;
};

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// the graph over and over until `seconds` have passed since `t0`
void run_until(tevo_cgraph * gf, tevo_cplan * plan, recovery_clock::time_point t0, double seconds,
               std::vector<timed_run> & runs) {
    for (;;) {
        const auto   a  = recovery_clock::now();
        const double at = std::chrono::duration<double>(a - t0).count();
        if (at >= seconds) {
            return;
        }
        tevo_graph_compute(gf, plan);
        runs.push_back({ at, std::chrono::duration<double, std::milli>(recovery_clock::now() - a).count() });
    }
}

int recovery(int trials, int n_threads) {
    const int         n_layers = 32;
    const int         width    = 384;
    const int         columns  = 48;
    tevo_init_params  params   = { 256 * 1024 * 1024, nullptr, false };
    tevo_context *    ctx      = tevo_init(params);
    tevo_cgraph *     gf       = tevo_new_graph(ctx);
    std::mt19937      rng(7);
    std::uniform_real_distribution<float> dist(-0.05f, 0.05f);
    tevo_tensor * cur = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, width, columns);
    for (int64_t i = 0; i < tevo_nelements(cur); ++i) {
        ((float *) cur->data)[i] = dist(rng);
    }
    for (int l = 0; l < n_layers; ++l) {
        tevo_tensor * w = tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, width, width);
        for (int64_t i = 0; i < tevo_nelements(w); ++i) {
            ((tevo_fp16_t *) w->data)[i] = tevo_fp32_to_fp16(dist(rng));
        }
        cur = tevo_add(ctx, tevo_mul_mat(ctx, w, cur), cur);
    }
    tevo_build_forward_expand(gf, cur);

    tevo_threadpool_params tpp  = tevo_threadpool_params_default(n_threads);
    tevo_threadpool *      pool = tevo_threadpool_new(&tpp);
    tevo_cplan             plan = tevo_graph_plan(gf, n_threads, pool);
    std::vector<uint8_t>   work(plan.work_size + 64);
    plan.work_data = work.data();

    printf("%d threads, %d busy processes, %d cores\n", n_threads, n_threads,
           (int) sysconf(_SC_NPROCESSORS_ONLN));
    printf("%6s %10s %10s %12s\n", "trial", "quiet ms", "busy ms", "recovery s");
    std::vector<double> recoveries;
    for (int t = 0; t < trials; ++t) {
        std::vector<timed_run> quiet, busy, after;
        const auto             t0 = recovery_clock::now();
        run_until(gf, &plan, t0, 1.0, quiet);

        std::vector<pid_t> children;
        for (int i = 0; i < n_threads; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                for (volatile unsigned x = 0;; x = x + 1) {
                }
            }
            children.push_back(pid);
        }
        run_until(gf, &plan, t0, 3.0, busy);
        for (pid_t pid : children) {
            kill(pid, SIGKILL);
        }
        for (pid_t pid : children) {
            waitpid(pid, nullptr, 0);
        }
        const double gone = std::chrono::duration<double>(recovery_clock::now() - t0).count();
        run_until(gf, &plan, t0, gone + 3.0, after);

        std::vector<double> q, b;
        for (const timed_run & r : quiet) q.push_back(r.ms);
        for (const timed_run & r : busy) b.push_back(r.ms);
        const double limit = 1.3 * median_of(q);
        // the first run from which on a tenth of a second of runs has its
        // median within the limit
        double rec = 3.0;
        for (size_t i = 0; i < after.size(); ++i) {
            std::vector<double> w;
            for (size_t j = i; j < after.size() && after[j].at < after[i].at + 0.1; ++j) w.push_back(after[j].ms);
            if (after.back().at >= after[i].at + 0.1 && median_of(w) <= limit) {
                rec = std::max(0.0, after[i].at - gone);
                break;
            }
        }
        recoveries.push_back(rec);
        printf("%6d %10.2f %10.2f %12.3f\n", t, median_of(q), median_of(b), rec);
        if (getenv("RECOVERY_TRACE")) {
            for (int k = 0; k < 30; ++k) {
                std::vector<double> w;
                for (const timed_run & r : after) {
                    if (r.at - gone >= 0.1 * k && r.at - gone < 0.1 * (k + 1)) w.push_back(r.ms);
                }
                printf(" %.2f", median_of(w));
            }
            printf("\n");
        }
        fflush(stdout);
    }
    printf("recovery median %.3f s, max %.3f s\n", median_of(recoveries),
           *std::max_element(recoveries.begin(), recoveries.end()));
    tevo_threadpool_free(pool);
    tevo_free(ctx);
    return 0;
}

} // namespace

BENCHMARK_CAPTURE(BM_walk, empty_pool, true, true)->Arg(1)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_walk, tiny_pool, false, true)->Arg(1)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_walk, empty_per_run, true, false)->Arg(1)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_walk, tiny_per_run, false, false)->Arg(1)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char ** argv) {
    tevo_cpu_init();
    if (argc >= 2 && strcmp(argv[1], "--recovery") == 0) {
        return recovery(argc >= 3 ? atoi(argv[2]) : 10, argc >= 4 ? atoi(argv[3]) : 8);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
