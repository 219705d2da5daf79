// The speech model's convolution stem and one pre-norm encoder layer (1500
// positions, width 384, 6 heads) through the CPU backend and the scheduler,
// as the speech library runs it, with F32 and F16 weights at 1, 2, 4 and 8
// threads: time per layer and GFLOPS of its products.
//
//   bench-encoder-layer [benchmark flags]
//   bench-encoder-layer --per-op [f16|f32] [threads...]
//
// --per-op times every node on its own through the scheduler's evaluation
// callback (with a persistent worker pool, so that starting threads per node
// does not count) and prints the share of the layer's time per operator.

#include "../tests/encoder-layer-graph.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// the layer with its scheduler, set up once per benchmark
struct Layer {
    tevo_backend_t       backend = nullptr;
    enc::Model *         model   = nullptr;
    enc::Graph *         graph   = nullptr;
    tevo_backend_sched_t sched   = nullptr;

    Layer(tevo_type wtype, int n_threads) {
        backend = tevo_backend_cpu_init();
        tevo_backend_cpu_set_n_threads(backend, n_threads);
        model = new enc::Model;
        enc::init_model(*model, enc::Hparams(), wtype, backend, 1234);
        graph = new enc::Graph;
        enc::build_graph(*graph, *model);

        sched = tevo_backend_sched_new(&backend, nullptr, 1, 2048, false, false);
        tevo_backend_sched_reserve(sched, graph->gf);
        tevo_backend_sched_alloc_graph(sched, graph->gf);

        std::mt19937                          rng(99);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        std::vector<float>                    mel((size_t) tevo_nelements(graph->mel));
        for (float & v : mel) v = dist(rng);
        tevo_backend_tensor_set(graph->mel, mel.data(), 0, mel.size() * sizeof(float));
    }

    ~Layer() {
        tevo_backend_sched_free(sched);
        delete graph;
        delete model;
        tevo_backend_free(backend);
    }

    void compute() {
        if (tevo_backend_sched_graph_compute(sched, graph->gf) != TEVO_STATUS_SUCCESS) {
            fprintf(stderr, "compute failed\n");
            exit(1);
        }
    }
};

void BM_encoder_layer(benchmark::State & state, tevo_type wtype, int n_threads) {
    Layer layer(wtype, n_threads);
    layer.compute(); // warm-up

    for (auto _ : state) {
        layer.compute();
    }
    state.counters["GFLOPS"] =
        benchmark::Counter(enc::flops(enc::Hparams()) / 1e9, benchmark::Counter::kIsIterationInvariantRate);
}

// ---------------------------------------------------------------------------
// per-operator timing

struct OpTimes {
    using clock = std::chrono::steady_clock;

    clock::time_point             start;
    std::map<std::string, double> seconds; // by operator
    std::map<std::string, int>    nodes;
    bool                          record = false;

    static bool is_view(const tevo_tensor * t) {
        switch (t->op) {
            case TEVO_OP_NONE:
            case TEVO_OP_VIEW:
            case TEVO_OP_RESHAPE:
            case TEVO_OP_PERMUTE:
            case TEVO_OP_TRANSPOSE: return true;
            default: return false;
        }
    }

    // asked before each node: computes node by node, timing each
    static bool callback(tevo_tensor * t, bool ask, void * user_data) {
        OpTimes * self = (OpTimes *) user_data;
        if (ask) {
            if (is_view(t)) {
                return false;
            }
            self->start = clock::now();
            return true;
        }
        if (self->record) {
            std::string name = tevo_op_desc(t);
            // the matrix products of the stem and of the layer apart
            if (t->op == TEVO_OP_MUL_MAT) {
                name += t->src[0]->type == TEVO_TYPE_F16 ? " (f16 x f32)" : " (f32 x f32)";
            }
            self->seconds[name] += std::chrono::duration<double>(clock::now() - self->start).count();
            self->nodes[name]++;
        }
        return true;
    }
};

void per_op(tevo_type wtype, const std::vector<int> & thread_counts) {
    const int reps = 3;
    for (int n_threads : thread_counts) {
        Layer layer(wtype, n_threads);

        // whole-graph time, as the speech library runs it
        layer.compute();
        auto t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < reps; ++r) layer.compute();
        const double whole = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / reps;

        tevo_threadpool_params tpp  = tevo_threadpool_params_default(n_threads);
        tevo_threadpool *      pool = tevo_threadpool_new(&tpp);
        tevo_backend_cpu_set_threadpool(layer.backend, pool);

        OpTimes times;
        tevo_backend_sched_set_eval_callback(layer.sched, OpTimes::callback, &times);
        layer.compute();
        times.record = true;
        for (int r = 0; r < reps; ++r) layer.compute();
        tevo_backend_sched_set_eval_callback(layer.sched, nullptr, nullptr);
        tevo_backend_cpu_set_threadpool(layer.backend, nullptr);
        tevo_threadpool_free(pool);

        double                                      total = 0;
        std::vector<std::pair<double, std::string>> rows;
        for (const auto & kv : times.seconds) {
            total += kv.second / reps;
            rows.push_back({ kv.second / reps, kv.first });
        }
        std::sort(rows.rbegin(), rows.rend());

        printf("\n%s weights, %d threads: %.1f ms per layer (%.1f GFLOPS); node by node %.1f ms\n",
               tevo_type_name(wtype), n_threads, whole * 1e3, enc::flops(enc::Hparams()) / whole / 1e9, total * 1e3);
        printf("  %-26s %6s %10s %7s\n", "operator", "nodes", "ms", "share");
        for (const auto & r : rows) {
            printf("  %-26s %6d %10.2f %6.1f%%\n", r.second.c_str(), times.nodes[r.second] / reps, r.first * 1e3,
                   100.0 * r.first / total);
        }
    }
}

} // namespace

int main(int argc, char ** argv) {
    if (argc > 1 && strcmp(argv[1], "--per-op") == 0) {
        tevo_type        wtype = TEVO_TYPE_F16;
        std::vector<int> threads;
        for (int i = 2; i < argc; ++i) {
            if (strcmp(argv[i], "f32") == 0) {
                wtype = TEVO_TYPE_F32;
            } else if (strcmp(argv[i], "f16") == 0) {
                wtype = TEVO_TYPE_F16;
            } else {
                threads.push_back(atoi(argv[i]));
            }
        }
        if (threads.empty()) {
            threads = { 1, 4, 8 };
        }
        per_op(wtype, threads);
        return 0;
    }

    for (tevo_type wtype : { TEVO_TYPE_F32, TEVO_TYPE_F16 }) {
        for (int n_threads : { 1, 2, 4, 8 }) {
            const std::string name =
                std::string("encoder_layer/") + tevo_type_name(wtype) + "/threads:" + std::to_string(n_threads);
            benchmark::RegisterBenchmark(name.c_str(), BM_encoder_layer, wtype, n_threads)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->MinTime(2.0);
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
