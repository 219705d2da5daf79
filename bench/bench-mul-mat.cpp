// Matrix multiplication on the CPU engine over the shapes of a speech
// transformer, with F32, F16 and block-quantized weights at 1, 2, 4 and 8
// threads, in GFLOPS. Quantized weights run on the shapes whose inner size is
// a whole number of their blocks; the closing table gives their speed beside
// F16 on the same shape. With OpenBLAS available (tools/bench-setup.sh) the
// same shapes are timed with cblas_sgemm and the table also gives the ratio
// to it: with the best kernel family the processor supports and, where that
// is above AVX2, with the AVX2 family too (openblas-family.h).
//
// Shapes read "rows x inner by inner x columns": activations (src1) of
// `rows` rows times weights (src0) of `columns` rows.

#include "tevo-cpu.h"
#include "tevo.h"

#include "matmul-bench.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#ifdef TEVO_BENCH_OPENBLAS
#include "openblas-family.h"

#include <cblas.h>
#include <climits>
#include <unistd.h>
extern "C" void   openblas_set_num_threads(int num_threads);
extern "C" char * openblas_get_corename(void);
#endif

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
    { "1x384_by_384x51864", 1, 384, 51864 },
    { "1x1536_by_1536x384", 1, 1536, 384 },
    // attention per head: K.Q (inner size 64) and KQ.V (64 output columns)
    { "64x1500_by_64x1500", 1500, 64, 1500 },
    { "1500x1500_by_1500x64", 1500, 1500, 64 },
};

const int thread_counts[] = { 1, 2, 4, 8 };

const tevo_type weight_types[] = {
    TEVO_TYPE_F32,  TEVO_TYPE_F16,  TEVO_TYPE_Q8_0,  TEVO_TYPE_Q5_0,  TEVO_TYPE_Q5_1,  TEVO_TYPE_Q4_0,
    TEVO_TYPE_Q4_1, TEVO_TYPE_Q6_K, TEVO_TYPE_Q5_K,  TEVO_TYPE_Q4_K,  TEVO_TYPE_Q3_K,  TEVO_TYPE_Q2_K,
    TEVO_TYPE_MXFP4, TEVO_TYPE_NVFP4, TEVO_TYPE_Q2_0, TEVO_TYPE_Q1_0, TEVO_TYPE_TQ2_0, TEVO_TYPE_TQ1_0,
    TEVO_TYPE_IQ4_NL, TEVO_TYPE_IQ4_XS, TEVO_TYPE_IQ3_S, TEVO_TYPE_IQ3_XXS, TEVO_TYPE_IQ2_S, TEVO_TYPE_IQ2_XS,
    TEVO_TYPE_IQ2_XXS, TEVO_TYPE_IQ1_M, TEVO_TYPE_IQ1_S,
};

void BM_tevo(benchmark::State & state, Shape shape, tevo_type wtype, int n_threads) {
    const size_t weights = (size_t) (shape.inner * shape.cols);
    const size_t acts    = (size_t) (shape.inner * shape.rows);
    const size_t bytes   = (weights + acts + (size_t) (shape.rows * shape.cols)) * 4 + 16 * 1024 * 1024;

    tevo_init_params params = { bytes, nullptr, false };
    tevo_context *   ctx    = tevo_init(params);

    tevo_tensor * w = tevo_new_tensor_2d(ctx, wtype, shape.inner, shape.cols);
    tevo_tensor * x = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, shape.inner, shape.rows);
    {
        std::vector<float> tmp(weights);
        fill_random(tmp.data(), weights, 1);
        if (wtype == TEVO_TYPE_F16) {
            tevo_fp32_to_fp16_row(tmp.data(), (tevo_fp16_t *) w->data, (int64_t) weights);
        } else if (wtype == TEVO_TYPE_F32) {
            memcpy(w->data, tmp.data(), weights * 4);
        } else {
            // iq2_xxs, iq2_xs and iq1_s need importance weights: all equal
            const std::vector<float> ones((size_t) shape.inner, 1.0f);
            tevo_quantize_chunk(wtype, tmp.data(), w->data, 0, shape.cols, shape.inner,
                                tevo_quantize_requires_imatrix(wtype) ? ones.data() : nullptr);
        }
        fill_random((float *) x->data, acts, 2);
    }
    tevo_tensor * y  = tevo_mul_mat(ctx, w, x);
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, y);

    tevo_threadpool_params tpp  = tevo_threadpool_params_default(n_threads);
    tevo_threadpool *      pool = tevo_threadpool_new(&tpp);

    tevo_cplan plan = tevo_graph_plan(gf, n_threads, pool);
    std::vector<uint8_t> work(plan.work_size + 64);
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
}

std::string bench_name(const char * lib, const Shape & s, const char * type, int nt) {
    return std::string(lib) + "/" + s.name + "/" + type + "/threads:" + std::to_string(nt);
}

#ifdef TEVO_BENCH_OPENBLAS
void BM_openblas(benchmark::State & state, Shape shape, int n_threads) {
    openblas_set_num_threads(n_threads);
    std::vector<float> w((size_t) (shape.inner * shape.cols)), x((size_t) (shape.inner * shape.rows)),
        y((size_t) (shape.rows * shape.cols));
    fill_random(w.data(), w.size(), 1);
    fill_random(x.data(), x.size(), 2);
    for (auto _ : state) {
        // y[rows x cols] = x[rows x inner] * w^T, w stored as cols rows of inner
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, (int) shape.rows, (int) shape.cols, (int) shape.inner,
                    1.0f, x.data(), (int) shape.inner, w.data(), (int) shape.inner, 0.0f, y.data(), (int) shape.cols);
        benchmark::ClobberMemory();
    }
    const double flops = 2.0 * shape.rows * shape.inner * shape.cols;
    state.counters["GFLOPS"] =
        benchmark::Counter(flops * 1e-9 * (double) state.iterations(), benchmark::Counter::kIsRate);
}

// The yardstick runs in a child process per kernel family, since OpenBLAS
// reads OPENBLAS_CORETYPE only when it loads (re-executing this process with
// it set would give one family, where an AVX-512 machine needs two); so the
// variable never reaches our own benchmarks' process. The child is this
// program with this flag first: it prints the family that runs, runs the
// OpenBLAS benchmarks as usual, then prints every run's GFLOPS on marked
// lines for the parent's table.
const char * const YARDSTICK_FLAG = "--openblas-yardstick";

int yardstick_child(int argc, char ** argv) {
    printf("OpenBLAS kernels that ran: %s\n", openblas_get_corename());
    for (const Shape & s : shapes) {
        for (int nt : thread_counts) {
            benchmark::RegisterBenchmark(bench_name("openblas", s, "f32", nt).c_str(), BM_openblas, s, nt)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
    }
    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const auto & kv : gflops) {
        printf("@gflops %s %.17g\n", kv.first.c_str(), kv.second);
    }
    return 0;
}

std::string shell_quote(const std::string & a) {
    std::string q = "'";
    for (char c : a) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

struct Yardstick {
    std::string                   core; // the family that ran
    std::map<std::string, double> gflops;
};

// runs the child with `family` as OPENBLAS_CORETYPE (nullptr: none set),
// passing its output on
Yardstick run_yardstick(const std::vector<std::string> & args, const char * family) {
    Yardstick y;
    char      exe[PATH_MAX];
    ssize_t   n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) {
        return y;
    }
    exe[n]          = '\0';
    std::string cmd = openblas_family::env_prefix(family) + shell_quote(exe) + " " + YARDSTICK_FLAG;
    for (const std::string & a : args) {
        cmd += " " + shell_quote(a);
    }
    fflush(stdout);
    FILE * p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return y;
    }
    char line[4096];
    while (fgets(line, sizeof(line), p)) {
        // a marked line may follow the console's last colour code
        const char * mark = strstr(line, "@gflops ");
        const char * core = strstr(line, "OpenBLAS kernels that ran: ");
        char         name[1024];
        double       v = 0;
        if (mark != nullptr && sscanf(mark, "@gflops %1023s %lf", name, &v) == 2) {
            fwrite(line, 1, (size_t) (mark - line), stdout);
            y.gflops[name] = v;
        } else {
            if (core != nullptr && sscanf(core, "OpenBLAS kernels that ran: %1023s", name) == 1) {
                y.core = name;
            }
            fputs(line, stdout);
        }
    }
    if (pclose(p) != 0) {
        printf("the OpenBLAS yardstick failed (%s)\n", cmd.c_str());
    }
    return y;
}
#endif

// keeps each run's GFLOPS for the closing table
} // namespace

int main(int argc, char ** argv) {
#ifdef TEVO_BENCH_OPENBLAS
    if (argc > 1 && strcmp(argv[1], YARDSTICK_FLAG) == 0) {
        argv[1] = argv[0];
        return yardstick_child(argc - 1, argv + 1);
    }
    const std::vector<std::string> args(argv + 1, argv + argc); // the benchmark flags, for the yardstick too
#endif
    tevo_cpu_init();
    for (const Shape & s : shapes) {
        for (int nt : thread_counts) {
            for (tevo_type t : weight_types) {
                if (s.inner % tevo_blck_size(t) != 0) {
                    continue;
                }
                benchmark::RegisterBenchmark(bench_name("tevo", s, tevo_type_name(t), nt).c_str(), BM_tevo, s, t, nt)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
            }
        }
    }

    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

#ifdef TEVO_BENCH_OPENBLAS
    namespace ob                 = openblas_family;
    const std::string      core  = openblas_get_corename();
    const ob::level        cpu   = ob::cpu_level();
    const ob::plan         plan  = ob::plan_for(core, cpu, ob::user_coretype() != nullptr);
    std::vector<Yardstick> peers = { run_yardstick(args, plan.best) };
    if (plan.avx2_too) {
        peers.push_back(run_yardstick(args, ob::AVX2_FAMILY));
    }
    printf("\n%s\n", ob::describe(core, cpu, plan).c_str());
#endif
    printf("\n%-24s %-8s %7s %10s %8s", "shape", "type", "threads", "GFLOPS", "vs f16");
#ifdef TEVO_BENCH_OPENBLAS
    for (const Yardstick & y : peers) {
        printf(" %14s %8s", ((y.core.empty() ? "OpenBLAS" : y.core) + " f32").c_str(), "ratio");
    }
#endif
    printf("\n");
    for (const Shape & s : shapes) {
        for (tevo_type t : weight_types) {
            const char * type = tevo_type_name(t);
            for (int nt : thread_counts) {
                auto it = gflops.find(bench_name("tevo", s, type, nt) + "/real_time");
                if (it == gflops.end()) {
                    continue;
                }
                printf("%-24s %-8s %7d %10.1f", s.name, type, nt, it->second);
                auto f16 = gflops.find(bench_name("tevo", s, "f16", nt) + "/real_time");
                if (f16 != gflops.end() && t != TEVO_TYPE_F16 && t != TEVO_TYPE_F32) {
                    printf(" %8.2f", it->second / f16->second);
                } else {
                    printf(" %8s", "");
                }
#ifdef TEVO_BENCH_OPENBLAS
                for (const Yardstick & y : peers) {
                    auto o = y.gflops.find(bench_name("openblas", s, "f32", nt) + "/real_time");
                    if (o != y.gflops.end()) {
                        printf(" %14.1f %8.2f", o->second, it->second / o->second);
                    } else {
                        printf(" %14s %8s", "", "");
                    }
                }
#endif
                printf("\n");
            }
        }
    }
    return 0;
}
