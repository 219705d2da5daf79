#include "kestu-impl.h"

// Self-contained benchmarks reported as text: memory-copy bandwidth over
// 1..n threads, and matrix-product throughput of the CPU backend per element
// type and size.
//
// The report functions take the block size and the matrix sizes so that the
// tests can run them small; the public entries use the full sizes.

#include "tevo-cpu.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>

namespace {

constexpr size_t MEMCPY_BLOCK  = 1024ull * 1000 * 1000;
constexpr int    MEMCPY_COPIES = 20;

const std::vector<size_t> MUL_MAT_SIZES = {64, 128, 256, 512, 1024, 2048, 4096};

// the types of the report, in its order
const enum tevo_type MUL_MAT_TYPES[] = {
    TEVO_TYPE_Q4_0, TEVO_TYPE_Q4_1, TEVO_TYPE_Q5_0, TEVO_TYPE_Q5_1, TEVO_TYPE_Q8_0, TEVO_TYPE_F16, TEVO_TYPE_F32,
};
constexpr int N_MUL_MAT_TYPES = (int) (sizeof(MUL_MAT_TYPES) / sizeof(MUL_MAT_TYPES[0]));
static_assert(N_MUL_MAT_TYPES == 7, "the report's lines name seven types");

struct block_free {
    void operator()(char * p) const { free(p); }
};
using block_ptr = std::unique_ptr<char, block_free>;

block_ptr new_block(size_t size) {
    block_ptr p((char *) malloc(size));
    if (!p) {
        throw std::bad_alloc();
    }
    return p;
}

void fill_source(char * src, size_t size) {
    for (size_t i = 0; i < size; i++) {
        src[i] = (char) (i % 256);
    }
}

// one byte changed after every copy, so no copy can be skipped as a repeat
void random_write(char * part, size_t len) {
    const int v = rand();
    if (len > 0) {
        part[(size_t) rand() % len] = (char) v;
    }
}

double byte_sum(const char * dst, size_t size) {
    double sum = 0.0;
    for (size_t i = 0; i < size; i++) {
        sum += (signed char) dst[i];
    }
    return sum;
}

double gb_per_s(double bytes, int64_t us) {
    return bytes / ((double) us * 1e-6 * 1e9);
}

// A quantized type is measured only where this build can produce and read it
// and the CPU multiplies it. The activation type needs only the CPU's
// quantizer: q8_1 has no dequantizer and never needs one.
bool type_available(enum tevo_type type) {
    if (!tevo_is_quantized(type)) {
        return true;
    }
    const tevo_type_traits *     tt  = tevo_get_type_traits(type);
    const tevo_type_traits_cpu * cpu = tevo_get_type_traits_cpu(type);
    return tt->to_float != nullptr && tt->from_float_ref != nullptr && cpu->vec_dot != nullptr &&
           tevo_get_type_traits_cpu(cpu->vec_dot_type)->from_float != nullptr;
}

tevo_backend_t new_cpu_backend(int n_threads) {
    tevo_backend_t backend = tevo_backend_init_by_type(TEVO_BACKEND_DEVICE_TYPE_CPU, nullptr);
    if (backend == nullptr) {
        throw std::runtime_error("failed to initialize the CPU backend");
    }
    tevo_backend_reg_t reg = tevo_backend_dev_backend_reg(tevo_backend_get_device(backend));
    auto set_abort = (tevo_backend_set_abort_callback_t) tevo_backend_reg_get_proc_address(
        reg, "tevo_backend_set_abort_callback");
    if (set_abort != nullptr) {
        set_abort(backend, nullptr, nullptr);
    }
    auto set_n_threads =
        (tevo_backend_set_n_threads_t) tevo_backend_reg_get_proc_address(reg, "tevo_backend_set_n_threads");
    if (set_n_threads != nullptr) {
        set_n_threads(backend, n_threads);
    }
    return backend;
}

void compute_once(tevo_cgraph * gf, int n_threads) {
    tevo_backend_t backend = new_cpu_backend(n_threads);
    const tevo_status status = tevo_backend_graph_compute(backend, gf);
    tevo_backend_free(backend);
    if (status != TEVO_STATUS_SUCCESS) {
        throw std::runtime_error("the matrix product failed");
    }
}

struct measurement {
    double gflops = 0.0;
    int    runs   = 0;
};

measurement measure_mul_mat(std::vector<uint8_t> & arena, enum tevo_type type, size_t N, int n_threads) {
    measurement m;
    if (!type_available(type)) {
        return m;
    }
    tevo_init_params ip = {
        /*.mem_size   =*/arena.size(),
        /*.mem_buffer =*/arena.data(),
        /*.no_alloc   =*/false,
    };
    std::unique_ptr<tevo_context, void (*)(tevo_context *)> ctx(tevo_init(ip), tevo_free);
    if (!ctx) {
        throw std::runtime_error("failed to create the tensor context");
    }

    tevo_tensor * a = tevo_new_tensor_2d(ctx.get(), type, (int64_t) N, (int64_t) N);
    tevo_tensor * b = tevo_new_tensor_2d(ctx.get(), TEVO_TYPE_F32, (int64_t) N, (int64_t) N);
    for (tevo_tensor * t : {a, b}) {
        uint8_t *    data = (uint8_t *) t->data;
        const size_t n    = tevo_nbytes(t);
        for (size_t i = 0; i < n; i++) {
            data[i] = (uint8_t) (i % 64);
        }
    }
    tevo_tensor * p  = tevo_mul_mat(ctx.get(), a, b);
    tevo_cgraph * gf = tevo_new_graph(ctx.get());
    tevo_build_forward_expand(gf, p);

    compute_once(gf, n_threads); // warm-up

    int64_t total_us = 0;
    do {
        const int64_t t0 = tevo_time_us();
        compute_once(gf, n_threads);
        total_us += tevo_time_us() - t0;
        m.runs++;
    } while ((total_us <= 1000000 || m.runs < 3) && m.runs < 128);

    const double n = (double) N;
    m.gflops       = m.runs * 2.0 * n * n * n / ((double) total_us * 1e-6) * 1e-9;
    return m;
}

// A figure as "%7.1f", except a positive one that would round to 0.0 (a
// slow or sanitized build): it takes two significant digits, so a measured
// type never reads as an unmeasured one.
std::string gflops_text(double g) {
    if (!(g > 0.0) || g >= 0.05) {
        return kestu_format("%7.1f", g);
    }
    const int decimals = 1 - (int) std::floor(std::log10(g));
    if (decimals > 12) {
        return kestu_format("%7.1e", g);
    }
    return kestu_format("%7.*f", decimals, g);
}

} // namespace

std::string kestu_bench_mul_mat_lines(size_t N, const double gflops[7], const int runs[7]) {
    std::string g[7];
    for (int t = 0; t < 7; t++) {
        g[t] = gflops_text(gflops[t]);
    }
    std::string s;
    s += kestu_format("%4zu x %4zu: Q4_0 %s GFLOPS (%3d runs) | Q4_1 %s GFLOPS (%3d runs)\n", N, N, g[0].c_str(),
                      runs[0], g[1].c_str(), runs[1]);
    s += kestu_format("%4zu x %4zu: Q5_0 %s GFLOPS (%3d runs) | Q5_1 %s GFLOPS (%3d runs) | Q8_0 %s GFLOPS (%3d runs)\n",
                      N, N, g[2].c_str(), runs[2], g[3].c_str(), runs[3], g[4].c_str(), runs[4]);
    s += kestu_format("%4zu x %4zu: F16  %s GFLOPS (%3d runs) | F32  %s GFLOPS (%3d runs)\n", N, N, g[5].c_str(),
                      runs[5], g[6].c_str(), runs[6]);
    return s;
}

std::string kestu_bench_memcpy_report(int n_threads, size_t size, int n_copies) {
    std::string s;
    tevo_time_init();

    double sum = 0.0;

    // heat-up
    {
        block_ptr src = new_block(size);
        block_ptr dst = new_block(size);
        fill_source(src.get(), size);
        int64_t total_us = 0;
        for (int i = 0; i < n_copies; i++) {
            const int64_t t0 = tevo_time_us();
            memcpy(dst.get(), src.get(), size);
            total_us += tevo_time_us() - t0;
            random_write(src.get(), size);
        }
        s += kestu_format("memcpy: %7.2f GB/s (heat-up)\n", gb_per_s((double) n_copies * size, total_us));
        sum += byte_sum(dst.get(), size);
    }

    // one thread
    {
        block_ptr src = new_block(size);
        block_ptr dst = new_block(size);
        fill_source(src.get(), size);
        memcpy(dst.get(), src.get(), size);
        int64_t total_us = 0;
        for (int i = 0; i < n_copies; i++) {
            const int64_t t0 = tevo_time_us();
            memcpy(dst.get(), src.get(), size);
            total_us += tevo_time_us() - t0;
            random_write(src.get(), size);
        }
        s += kestu_format("memcpy: %7.2f GB/s ( 1 thread)\n", gb_per_s((double) n_copies * size, total_us));
        sum += byte_sum(dst.get(), size);
    }

    // 1..n_threads threads, each on its own part
    for (int k = 1; k <= n_threads; k++) {
        block_ptr src = new_block(size);
        block_ptr dst = new_block(size);
        fill_source(src.get(), size);
        memcpy(dst.get(), src.get(), size);

        auto copy_part = [&src, &dst, n_copies](size_t begin, size_t end) {
            for (int i = 0; i < n_copies; i++) {
                memcpy(dst.get() + begin, src.get() + begin, end - begin);
                random_write(src.get() + begin, end - begin);
            }
        };

        const int64_t t0 = tevo_time_us();
        {
            std::vector<std::thread> threads;
            struct joiner {
                std::vector<std::thread> & t;
                ~joiner() {
                    for (std::thread & th : t) {
                        th.join();
                    }
                }
            } join_all{threads};
            for (int j = 0; j < k - 1; j++) {
                threads.emplace_back(copy_part, (size_t) j * size / k, (size_t) (j + 1) * size / k);
            }
            copy_part((size_t) (k - 1) * size / k, size);
        }
        const int64_t elapsed = tevo_time_us() - t0;
        s += kestu_format("memcpy: %7.2f GB/s (%2d thread)\n", gb_per_s((double) n_copies * size, elapsed), k);
        sum += byte_sum(dst.get(), size);
    }

    s += kestu_format("sum:    %f\n", sum);
    return s;
}

std::string kestu_bench_mul_mat_report(int n_threads, const std::vector<size_t> & sizes) {
    std::string s;
    tevo_time_init();

    for (enum tevo_type type : MUL_MAT_TYPES) {
        if (!type_available(type)) {
            KESTU_LOG_WARN("%s: %s cannot be quantized or multiplied by this build: reported as 0 runs\n",
                           "kestu_bench_tevo_mul_mat", tevo_type_name(type));
        }
    }

    // one arena for every measurement: the largest case holds three N x N float matrices
    std::vector<uint8_t> arena(3 * tevo_tensor_overhead() + tevo_graph_overhead() + 201326592, 0);

    for (size_t N : sizes) {
        double gflops[N_MUL_MAT_TYPES];
        int    runs[N_MUL_MAT_TYPES];
        for (int t = 0; t < N_MUL_MAT_TYPES; t++) {
            const measurement m = measure_mul_mat(arena, MUL_MAT_TYPES[t], N, n_threads);
            gflops[t]           = m.gflops;
            runs[t]             = m.runs;
        }
        s += kestu_bench_mul_mat_lines(N, gflops, runs);
    }
    return s;
}

namespace {

// Runs one benchmark into its process-wide report. A thread count below 1
// is refused; a failure (memory, threads, backend) is logged and leaves the
// report empty.
const char * run_bench(std::string & report, const char * name, int n_threads,
                       const std::function<std::string()> & bench) {
    report.clear();
    if (n_threads < 1) {
        KESTU_LOG_ERROR("%s: n_threads must be at least 1 (%d)\n", name, n_threads);
        return nullptr;
    }
    try {
        report = bench();
    } catch (const std::exception & e) {
        KESTU_LOG_ERROR("%s: %s\n", name, e.what());
        return nullptr;
    }
    return report.c_str();
}

} // namespace

const char * kestu_bench_memcpy_str(int n_threads) {
    static std::string report;
    const char *       r = run_bench(report, "kestu_bench_memcpy", n_threads,
                                     [n_threads] { return kestu_bench_memcpy_report(n_threads, MEMCPY_BLOCK, MEMCPY_COPIES); });
    return r != nullptr ? r : "";
}

int kestu_bench_memcpy(int n_threads) {
    const char * r = kestu_bench_memcpy_str(n_threads);
    if (r[0] == '\0') {
        return -1;
    }
    fputs(r, stderr);
    return 0;
}

const char * kestu_bench_tevo_mul_mat_str(int n_threads) {
    static std::string report;
    const char *       r = run_bench(report, "kestu_bench_tevo_mul_mat", n_threads,
                                     [n_threads] { return kestu_bench_mul_mat_report(n_threads, MUL_MAT_SIZES); });
    return r != nullptr ? r : "";
}

int kestu_bench_tevo_mul_mat(int n_threads) {
    const char * r = kestu_bench_tevo_mul_mat_str(n_threads);
    if (r[0] == '\0') {
        return -1;
    }
    fputs(r, stderr);
    return 0;
}
