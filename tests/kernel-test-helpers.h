#pragma once

// Helpers of the CPU kernel tests: allocating contexts, element access
// through the strides (by indices or by position in natural order), random
// fills, graph runs at several thread counts (through the context path, with
// a forced thread count, or through the CPU backend) and direct kernel calls.

#include "tevo-alloc.h"
#include "tevo-backend.h"
#include "tevo-cpu.h"
#include "cpu/ops/ops.h"
#include "cpu/impl.h"
#include "tevo.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace kt {

inline uint32_t bits(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof(u));
    return u;
}

inline float from_bits(uint32_t u) {
    float f;
    memcpy(&f, &u, sizeof(f));
    return f;
}

// the thread counts every kernel is run with
inline const std::vector<int> & thread_counts() {
    static const std::vector<int> n = { 1, 3, 8 };
    return n;
}

struct Ctx {
    tevo_context * ctx;

    explicit Ctx(size_t mb = 32) {
        setenv("TEVO_NO_BACKTRACE", "1", 1);
        tevo_cpu_init();
        tevo_init_params p = { mb * 1024 * 1024, nullptr, false };
        ctx                = tevo_init(p);
    }

    ~Ctx() { tevo_free(ctx); }

    Ctx(const Ctx &)             = delete;
    Ctx & operator=(const Ctx &) = delete;
};

// a context that the caller frees with tevo_free
inline tevo_context * new_ctx(size_t mb = 16) {
    tevo_init_params p = { mb * 1024 * 1024, nullptr, false };
    return tevo_init(p);
}

inline void death_setup() {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
}

// byte offset of element k (natural order: dimension 0 fastest)
inline size_t offset_of(const tevo_tensor * t, int64_t k) {
    const int64_t i0 = k % t->ne[0];
    k /= t->ne[0];
    const int64_t i1 = k % t->ne[1];
    k /= t->ne[1];
    const int64_t i2 = k % t->ne[2];
    const int64_t i3 = k / t->ne[2];
    return (size_t) (i0 * (int64_t) t->nb[0] + i1 * (int64_t) t->nb[1] + i2 * (int64_t) t->nb[2] +
                     i3 * (int64_t) t->nb[3]);
}

// element k in natural order, as its stored bits
template <typename T> T get(const tevo_tensor * t, int64_t k) {
    T v;
    memcpy(&v, (const char *) t->data + offset_of(t, k), sizeof(T));
    return v;
}

template <typename T> void put(tevo_tensor * t, int64_t k, T v) {
    memcpy((char *) t->data + offset_of(t, k), &v, sizeof(T));
}

inline char * elem_ptr(const tevo_tensor * t, int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
    return (char *) t->data + i0 * t->nb[0] + i1 * t->nb[1] + i2 * t->nb[2] + i3 * t->nb[3];
}

inline float get(const tevo_tensor * t, int64_t i0, int64_t i1 = 0, int64_t i2 = 0, int64_t i3 = 0) {
    const char * p = elem_ptr(t, i0, i1, i2, i3);
    switch (t->type) {
        case TEVO_TYPE_F32:  return *(const float *) p;
        case TEVO_TYPE_F16:  return tevo_fp16_to_fp32(*(const tevo_fp16_t *) p);
        case TEVO_TYPE_BF16: return tevo_bf16_to_fp32(*(const tevo_bf16_t *) p);
        default:             ADD_FAILURE() << "type"; return 0.0f;
    }
}

// the stored 16 or 32 bits of an element
inline uint32_t get_bits(const tevo_tensor * t, int64_t i0, int64_t i1 = 0, int64_t i2 = 0, int64_t i3 = 0) {
    const char * p = elem_ptr(t, i0, i1, i2, i3);
    if (t->type == TEVO_TYPE_F32) {
        return *(const uint32_t *) p;
    }
    return *(const uint16_t *) p;
}

// stores v rounded to the tensor's type
inline void set(tevo_tensor * t, float v, int64_t i0, int64_t i1 = 0, int64_t i2 = 0, int64_t i3 = 0) {
    char * p = elem_ptr(t, i0, i1, i2, i3);
    switch (t->type) {
        case TEVO_TYPE_F32:  *(float *) p = v; break;
        case TEVO_TYPE_F16:  *(tevo_fp16_t *) p = tevo_fp32_to_fp16(v); break;
        case TEVO_TYPE_BF16: *(tevo_bf16_t *) p = tevo_fp32_to_bf16(v); break;
        default:             ADD_FAILURE() << "type";
    }
}

// every element in index order, through the strides
inline void for_each(const tevo_tensor * t, const std::function<void(int64_t, int64_t, int64_t, int64_t)> & f) {
    for (int64_t i3 = 0; i3 < t->ne[3]; ++i3)
        for (int64_t i2 = 0; i2 < t->ne[2]; ++i2)
            for (int64_t i1 = 0; i1 < t->ne[1]; ++i1)
                for (int64_t i0 = 0; i0 < t->ne[0]; ++i0) f(i0, i1, i2, i3);
}

inline void fill(tevo_tensor * t, std::mt19937 & rng, float lo = -1.0f, float hi = 1.0f) {
    std::uniform_real_distribution<float> dist(lo, hi);
    for_each(t, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) { set(t, dist(rng), i0, i1, i2, i3); });
}

// fills the bytes a tensor spans with a NaN pattern, so unwritten elements show
inline void poison(tevo_tensor * t) {
    memset(t->data, 0xFF, tevo_nbytes(t));
}

// computes the graph of the given outputs with n threads through
// tevo_graph_compute_with_ctx; the run may have fewer threads when every
// node of the graph is single-task
inline void compute(tevo_context * ctx, const std::vector<tevo_tensor *> & outs, int n_threads) {
    tevo_cgraph * gf = tevo_new_graph(ctx);
    for (tevo_tensor * o : outs) {
        tevo_build_forward_expand(gf, o);
    }
    ASSERT_EQ(tevo_graph_compute_with_ctx(ctx, gf, n_threads), TEVO_STATUS_SUCCESS);
}

inline void compute(tevo_context * ctx, tevo_tensor * out, int n_threads) {
    compute(ctx, std::vector<tevo_tensor *>{ out }, n_threads);
}

// the same with exactly n threads entering every node, as when the graph
// holds other nodes that use them all
inline void compute_forced(tevo_context * ctx, tevo_tensor * out, int n_threads) {
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, out);
    tevo_cplan plan = tevo_graph_plan(gf, n_threads, nullptr);
    plan.n_threads  = n_threads;
    std::vector<uint8_t> work(plan.work_size + 1);
    plan.work_data = work.data();
    ASSERT_EQ(tevo_graph_compute(gf, &plan), TEVO_STATUS_SUCCESS);
}

// one thread through the context path, more with the count forced, so
// that tables over thread counts cover both
inline void compute_n(tevo_context * ctx, tevo_tensor * out, int n_threads) {
    if (n_threads == 1) {
        compute(ctx, out, 1);
    } else {
        compute_forced(ctx, out, n_threads);
    }
}

// A kernel call outside any graph, as thread ith of nth would make it; for
// death tests that must reach a kernel's own checks.
inline void call_kernel(void (*kernel)(const tevo_compute_params *, tevo_tensor *), tevo_tensor * dst, int ith = 0,
                        int nth = 1) {
    tevo_compute_params p = {};
    p.ith                 = ith;
    p.nth                 = nth;
    kernel(&p, dst);
}

// the pattern of an abort in the operator kernels' unit
inline std::string kernel_abort_re(const std::string & message) {
    std::string pattern = "tevo/src/tevo-cpu/ops:[0-9]+: ";
    for (char ch : message) {
        if (strchr("\\^$.|?*+()[]{}", ch)) {
            pattern += '\\';
        }
        pattern += ch;
    }
    return pattern;
}

inline std::string kernel_assert_re(const std::string & cond) {
    return kernel_abort_re("TEVO_ASSERT(" + cond + ") failed");
}

// A no-allocation context whose tensors live in one CPU backend buffer.
struct Backend {
    tevo_backend_t        be  = nullptr;
    tevo_context *        ctx = nullptr;
    tevo_backend_buffer_t buf = nullptr;

    explicit Backend(int n_threads) {
        be = tevo_backend_cpu_init();
        tevo_backend_cpu_set_n_threads(be, n_threads);
        tevo_init_params p = { 64 * tevo_tensor_overhead() + tevo_graph_overhead(), nullptr, true };
        ctx                = tevo_init(p);
    }
    ~Backend() {
        tevo_backend_buffer_free(buf);
        tevo_free(ctx);
        tevo_backend_free(be);
    }
    Backend(const Backend &)             = delete;
    Backend & operator=(const Backend &) = delete;

    void alloc() { buf = tevo_backend_alloc_ctx_tensors(ctx, be); }
    void run(tevo_tensor * out) {
        tevo_cgraph * gf = tevo_new_graph(ctx);
        tevo_build_forward_expand(gf, out);
        ASSERT_EQ(tevo_backend_graph_compute(be, gf), TEVO_STATUS_SUCCESS);
    }
    template <typename T> void set(tevo_tensor * t, const std::vector<T> & v) {
        ASSERT_EQ(v.size() * sizeof(T), tevo_nbytes(t));
        tevo_backend_tensor_set(t, v.data(), 0, tevo_nbytes(t));
    }
    template <typename T> std::vector<T> get(const tevo_tensor * t) {
        std::vector<T> v(tevo_nbytes(t) / sizeof(T));
        tevo_backend_tensor_get(t, v.data(), 0, tevo_nbytes(t));
        return v;
    }
};

// One graph through the CPU backend: build(ctx) makes the inputs and returns
// the output in a no-allocation context; fill_inputs writes the allocated
// inputs; check reads the output.
inline void compute_on_backend(const std::function<tevo_tensor *(tevo_context *)> & build,
                               const std::function<void()> & fill_inputs, const std::function<void(tevo_tensor *)> & check,
                               int n_threads = 3) {
    tevo_cpu_init();
    tevo_init_params p   = { 64 * tevo_tensor_overhead() + tevo_graph_overhead(), nullptr, true };
    tevo_context *   ctx = tevo_init(p);
    tevo_tensor *    out = build(ctx);

    tevo_backend_t backend = tevo_backend_cpu_init();
    ASSERT_NE(backend, nullptr);
    tevo_backend_cpu_set_n_threads(backend, n_threads);

    tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors(ctx, backend);
    ASSERT_NE(buf, nullptr);
    fill_inputs();

    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, out);
    EXPECT_EQ(tevo_backend_graph_compute(backend, gf), TEVO_STATUS_SUCCESS);
    check(out);

    tevo_backend_buffer_free(buf);
    tevo_backend_free(backend);
    tevo_free(ctx);
}

} // namespace kt
