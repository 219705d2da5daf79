#pragma once

// Helpers shared by the CPU kernel tests: contexts, computing a node on a
// chosen number of threads (through the context path, with a forced thread
// count, or through the CPU backend), and addressing elements of strided
// tensors in natural order.

#include "tevo-alloc.h"
#include "tevo-backend.h"
#include "tevo-cpu.h"
#include "tevo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace kt {

inline uint32_t f2u(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}

inline float u2f(uint32_t u) {
    float f;
    memcpy(&f, &u, 4);
    return f;
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

template <typename T> T get(const tevo_tensor * t, int64_t k) {
    T v;
    memcpy(&v, (const char *) t->data + offset_of(t, k), sizeof(T));
    return v;
}

template <typename T> void put(tevo_tensor * t, int64_t k, T v) {
    memcpy((char *) t->data + offset_of(t, k), &v, sizeof(T));
}

inline tevo_context * new_ctx(size_t mb = 16) {
    tevo_init_params p = { mb * 1024 * 1024, nullptr, false };
    return tevo_init(p);
}

// the graph of out on n threads through tevo_graph_compute_with_ctx; the
// run may have fewer threads when every node of the graph is single-task
inline void compute(tevo_context * ctx, tevo_tensor * out, int n_threads) {
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, out);
    ASSERT_EQ(tevo_graph_compute_with_ctx(ctx, gf, n_threads), TEVO_STATUS_SUCCESS);
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

inline void death_setup() {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
}

}  // namespace kt
