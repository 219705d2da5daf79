// Planning CPU graph runs: threads per node, the plan's thread count and the
// work-buffer size, including the rows that copy and scatter kernels widen
// into per-thread float rows; a run whose work buffer does not cover its
// graph is refused, and the room planned covers every kernel's needs.

#include "cpu/impl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Plan : ::testing::Test {
    tevo_context * ctx = nullptr;

    void SetUp() override {
        setenv("TEVO_NO_BACKTRACE", "1", 1);
        tevo_init_params p = { 512 * tevo_tensor_overhead() + 40 * tevo_graph_overhead(), nullptr, true };
        ctx                = tevo_init(p);
    }
    void TearDown() override { tevo_free(ctx); }

    tevo_tensor * t(tevo_type type, int64_t ne0, int64_t ne1 = 1, int64_t ne2 = 1, int64_t ne3 = 1) {
        return tevo_new_tensor_4d(ctx, type, ne0, ne1, ne2, ne3);
    }

    tevo_cplan plan(tevo_tensor * out, int n_threads, tevo_threadpool * pool = nullptr) {
        tevo_cgraph * gf = tevo_new_graph(ctx);
        tevo_build_forward_expand(gf, out);
        return tevo_graph_plan(gf, n_threads, pool);
    }
};

TEST_F(Plan, GraphOfViewsNeedsOneThreadAndNoBuffer) {
    tevo_tensor * x = t(TEVO_TYPE_F32, 8, 4);
    tevo_tensor * w = tevo_permute(ctx, tevo_transpose(ctx, tevo_reshape_2d(ctx, x, 4, 8)), 1, 0, 2, 3);
    w               = tevo_view_2d(ctx, w, 2, 2, 32, 0);
    const tevo_cplan p = plan(w, 8);
    EXPECT_EQ(p.n_threads, 1);
    EXPECT_EQ(p.work_size, 0u);
    EXPECT_EQ(p.work_data, nullptr);
    EXPECT_EQ(p.threadpool, nullptr);
    EXPECT_EQ(p.abort_callback, nullptr);
    EXPECT_FALSE(p.use_ref);
}

TEST_F(Plan, MatrixProducts) {
    // F32 by F32: src1 is read in place
    tevo_cplan p = plan(tevo_mul_mat(ctx, t(TEVO_TYPE_F32, 33, 10), t(TEVO_TYPE_F32, 33, 7)), 4);
    EXPECT_EQ(p.n_threads, 4);
    EXPECT_EQ(p.work_size, 0u);

    // F16 weights: src1 as halves, rounded up to 64 bytes, plus 64 per thread
    p = plan(tevo_mul_mat(ctx, t(TEVO_TYPE_F16, 33, 10), t(TEVO_TYPE_F32, 33, 7)), 4);
    EXPECT_EQ(p.work_size, 512u + 64 * 4);   // 2 * 231 = 462 -> 512

    p = plan(tevo_mul_mat(ctx, t(TEVO_TYPE_BF16, 64, 10), t(TEVO_TYPE_F32, 64, 7)), 3);
    EXPECT_EQ(p.work_size, 896u + 64 * 3);

    // F32 weights with an F16 src1: widened to floats
    p = plan(tevo_mul_mat(ctx, t(TEVO_TYPE_F32, 10, 10), t(TEVO_TYPE_F16, 10, 3)), 2);
    EXPECT_EQ(p.work_size, 128u + 64 * 2);   // 4 * 30 = 120 -> 128

    // expert products: counts, counters and routing lists after the converted src1
    tevo_tensor * ids = t(TEVO_TYPE_I32, 2, 5);
    p = plan(tevo_mul_mat_id(ctx, t(TEVO_TYPE_F32, 16, 6, 4), t(TEVO_TYPE_F32, 16, 2, 5), ids), 4);
    EXPECT_EQ(p.work_size, ((32u + 256 + 8 * 4 * 10 + 143) & ~63u) + 64 * 4);
    p = plan(tevo_mul_mat_id(ctx, t(TEVO_TYPE_F16, 16, 6, 4), t(TEVO_TYPE_F32, 16, 2, 5), ids), 4);
    EXPECT_EQ(p.work_size, ((2u * 160 + 8 + 32 + 256 + 8 * 4 * 10 + 143) & ~63u) + 64 * 4);
}

TEST_F(Plan, SoftMaxUsesAtMostOneThreadPerRow) {
    tevo_cplan p = plan(tevo_soft_max(ctx, t(TEVO_TYPE_F32, 1000, 10)), 4);
    EXPECT_EQ(p.n_threads, 4);
    EXPECT_EQ(p.work_size, 16256u);

    p = plan(tevo_soft_max(ctx, t(TEVO_TYPE_F32, 1000, 2)), 4);
    EXPECT_EQ(p.n_threads, 2);
    EXPECT_EQ(p.work_size, 8256u);
}

TEST_F(Plan, RequestingNoThreadsTakesThePoolSizeOrFour) {
    tevo_tensor * sm = tevo_soft_max(ctx, t(TEVO_TYPE_F32, 100, 64));
    EXPECT_EQ(plan(sm, 0).n_threads, 4);
    EXPECT_EQ(plan(sm, -3).n_threads, 4);

    tevo_threadpool_params params = tevo_threadpool_params_default(6);
    tevo_threadpool *      pool   = tevo_threadpool_new(&params);
    const tevo_cplan       p      = plan(sm, 0, pool);
    EXPECT_EQ(p.n_threads, 6);
    EXPECT_EQ(p.threadpool, pool);
    EXPECT_EQ(p.work_size, 4u * 6 * 100 + 64 * 6);
    tevo_threadpool_free(pool);
}

TEST_F(Plan, TaskCountsPerOperator) {
    tevo_tensor * a = t(TEVO_TYPE_F32, 16, 4);

    struct Case {
        const char *  name;
        tevo_tensor * node;
        int           tasks; // with 8 requested
    };
    static tevo_map1_fn fn = [](tevo_tensor *, const tevo_tensor *, int, int, void *) {};
    const Case cases[] = {
        { "gelu", tevo_unary(ctx, a, TEVO_UNARY_OP_GELU), 8 },
        { "silu", tevo_unary(ctx, a, TEVO_UNARY_OP_SILU), 8 },
        { "xielu_like_gelu_erf", tevo_unary(ctx, a, TEVO_UNARY_OP_GELU_ERF), 8 },
        { "abs", tevo_unary(ctx, a, TEVO_UNARY_OP_ABS), 1 },
        { "trunc", tevo_unary(ctx, a, TEVO_UNARY_OP_TRUNC), 1 },
        { "sub", tevo_sub(ctx, a, a), 1 },
        { "add", tevo_add(ctx, a, a), 8 },
        { "scale", tevo_scale(ctx, a, 2.0f), 1 },
        { "custom_all", tevo_map_custom1(ctx, a, fn, TEVO_N_TASKS_MAX, nullptr), 8 },
        { "custom_two", tevo_map_custom1(ctx, a, fn, 2, nullptr), 2 },
        { "custom_many", tevo_map_custom1(ctx, a, fn, 30, nullptr), 8 },
        { "soft_max_4_rows", tevo_soft_max(ctx, a), 4 },
    };
    for (const Case & c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(tevo_get_n_tasks(c.node, 8), c.tasks);
        EXPECT_EQ(plan(c.node, 8).n_threads, c.tasks);
    }
}

TEST_F(Plan, EmptyNodesCountOneTask) {
    tevo_tensor * mm = tevo_mul_mat(ctx, t(TEVO_TYPE_F32, 8, 0), t(TEVO_TYPE_F32, 8, 3));
    ASSERT_TRUE(tevo_is_empty(mm));
    EXPECT_EQ(plan(mm, 8).n_threads, 1);
}

TEST_F(Plan, WorkSizesPerOperator) {
    const int n = 4;
    struct Case {
        const char *  name;
        tevo_tensor * node;
        size_t        bytes; // before the 64 bytes per thread
    };
    tevo_tensor * q   = t(TEVO_TYPE_F32, 64, 3, 4);
    tevo_tensor * k   = t(TEVO_TYPE_F16, 64, 10, 4);
    tevo_tensor * v   = t(TEVO_TYPE_F16, 64, 10, 4);
    const Case cases[] = {
        { "add_f32", tevo_add(ctx, t(TEVO_TYPE_F32, 40, 3), t(TEVO_TYPE_F32, 40, 3)), 0 },
        { "conv_2d", tevo_conv_2d_direct(ctx, t(TEVO_TYPE_F32, 3, 3, 2, 4), t(TEVO_TYPE_F32, 8, 8, 2), 1, 1, 0, 0, 1, 1),
          16u * 1024 * 1024 },
        { "conv_transpose_1d_f16", tevo_conv_transpose_1d(ctx, t(TEVO_TYPE_F16, 3, 2, 4), t(TEVO_TYPE_F32, 10, 4), 1, 0, 1),
          2u * (3 * 2 * 4 + 10 * 4) },
        { "conv_transpose_1d_f32", tevo_conv_transpose_1d(ctx, t(TEVO_TYPE_F32, 3, 2, 4), t(TEVO_TYPE_F32, 10, 4), 1, 0, 1),
          4u * (3 * 2 * 4 + 10 * 4) },
        { "flash_attn_ext", tevo_flash_attn_ext(ctx, q, k, v, nullptr, 0.125f, 0.0f, 0.0f),
          4u * n * (128 * (64 + 64) + 8192) },
        { "count_equal", tevo_count_equal(ctx, t(TEVO_TYPE_I32, 9), t(TEVO_TYPE_I32, 9)), 8u * n },
        { "top_k", tevo_top_k(ctx, t(TEVO_TYPE_F32, 30, 2), 5), 4u * n * 30 },
        // a rotation cache of ne0 floats per thread (the 64 bytes per thread separate them)
        { "rope", tevo_rope(ctx, t(TEVO_TYPE_F32, 24, 2, 3), t(TEVO_TYPE_I32, 3), 16, 0), 4u * n * 24 },
        { "rope_back", tevo_rope_ext_back(ctx, t(TEVO_TYPE_F16, 24, 2, 3), t(TEVO_TYPE_I32, 3), nullptr, 16, 2, 0,
                                          10000.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.0f),
          4u * n * 24 },
        { "conv_3d", tevo_conv_3d_direct(ctx, t(TEVO_TYPE_F16, 2, 2, 2, 6), t(TEVO_TYPE_F32, 5, 5, 5, 2), 1, 1, 1, 0, 0,
                                         0, 1, 1, 1, 2, 1, 3),
          16u * 1024 * 1024 },
        { "conv_transpose_2d", tevo_conv_transpose_2d_p0(ctx, t(TEVO_TYPE_F16, 3, 3, 2, 4), t(TEVO_TYPE_F32, 6, 5, 4), 2),
          2u * (3 * 3 * 2 * 4 + 6 * 5 * 4) },
        { "conv_2d_dw", tevo_conv_2d_dw_direct(ctx, t(TEVO_TYPE_F32, 3, 3, 1, 4), t(TEVO_TYPE_F32, 8, 8, 4), 1, 1, 1, 1, 1, 1),
          0 },
        { "pool_2d", tevo_pool_2d(ctx, t(TEVO_TYPE_F32, 8, 8, 2), TEVO_OP_POOL_MAX, 2, 2, 2, 2, 0, 0), 0 },
        { "upscale", tevo_upscale(ctx, t(TEVO_TYPE_F32, 8, 8, 2), 2, TEVO_SCALE_MODE_BICUBIC), 0 },
        { "win_part", tevo_win_part(ctx, t(TEVO_TYPE_F32, 4, 5, 5), 2), 0 },
    };
    for (const Case & c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(plan(c.node, n).work_size, c.bytes == 0 ? 0 : c.bytes + 64 * n);
    }
}

// Copies that widen each source row into a float row before converting it
// reserve a whole source row per thread.
TEST_F(Plan, QuantizingCopiesReserveAFloatRowPerThread) {
    const int n = 4;
    struct Case {
        const char *  name;
        tevo_type     src, dst;
        int64_t       src_ne0, src_ne1, dst_ne0, dst_ne1;
        size_t        bytes;
    };
    const Case cases[] = {
        // F16 and BF16 into I32 go through float rows
        { "f16_to_i32", TEVO_TYPE_F16, TEVO_TYPE_I32, 40, 3, 40, 3, 4u * n * 40 },
        { "bf16_to_i32", TEVO_TYPE_BF16, TEVO_TYPE_I32, 40, 3, 40, 3, 4u * n * 40 },
        // a source row longer than the destination row
        { "f32_to_q8_0_long_rows", TEVO_TYPE_F32, TEVO_TYPE_Q8_0, 64, 2, 32, 4, 4u * n * 64 },
        { "f16_to_q4_0_long_rows", TEVO_TYPE_F16, TEVO_TYPE_Q4_0, 96, 1, 32, 3, 4u * n * 96 },
        // a destination row longer than the source row keeps its own size
        { "f32_to_q8_0_short_rows", TEVO_TYPE_F32, TEVO_TYPE_Q8_0, 16, 4, 64, 1, 4u * n * 64 },
        // direct conversions need no rows, except those the table always reserved
        { "f32_to_f16", TEVO_TYPE_F32, TEVO_TYPE_F16, 40, 3, 40, 3, 0 },
        { "f32_to_i32", TEVO_TYPE_F32, TEVO_TYPE_I32, 40, 3, 40, 3, 4u * n * 40 },
        { "f16_to_bf16", TEVO_TYPE_F16, TEVO_TYPE_BF16, 40, 3, 40, 3, 4u * n * 40 },
        { "f32_same_type", TEVO_TYPE_F32, TEVO_TYPE_F32, 40, 3, 40, 3, 0 },
    };
    for (const Case & c : cases) {
        SCOPED_TRACE(c.name);
        tevo_tensor * cp = tevo_cpy(ctx, t(c.src, c.src_ne0, c.src_ne1), t(c.dst, c.dst_ne0, c.dst_ne1));
        const size_t  ws = plan(cp, n).work_size;
        EXPECT_EQ(ws, c.bytes == 0 ? 0 : c.bytes + 64 * n);
        if (c.bytes != 0) {
            // what the kernel writes: a row of ne00 + 16 floats per thread
            EXPECT_GE(ws, 4u * n * (size_t) (c.src_ne0 + 16));
        }
    }
}

// SET_ROWS counts one task, but every thread of the run widens its rows.
TEST_F(Plan, ScatterFromHalvesReservesAFloatRowPerThread) {
    const int     n    = 4;
    tevo_tensor * dst  = t(TEVO_TYPE_F32, 50, 10);
    tevo_tensor * rows = t(TEVO_TYPE_F16, 50, 3);
    tevo_tensor * idx  = t(TEVO_TYPE_I64, 3);
    tevo_cplan    p    = plan(tevo_set_rows(ctx, dst, rows, idx), n);
    EXPECT_EQ(p.work_size, 4u * n * 50 + 64 * n);
    EXPECT_GE(p.work_size, 4u * n * (50 + 16));
    EXPECT_EQ(p.n_threads, 1);

    // half into half is a byte copy
    p = plan(tevo_set_rows(ctx, t(TEVO_TYPE_F16, 50, 10), rows, idx), n);
    EXPECT_EQ(p.work_size, 0u);
}

// A plan whose work buffer is smaller than its graph needs on the threads of
// the run is refused before any node is computed, with a message; the room
// the planner gives, or the least a kernel that fits its work to the room
// can run in, is enough.
TEST(PlanWork, BufferThatDoesNotCoverTheGraphIsRefused) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    struct Case {
        const char *                                  name;
        std::function<tevo_tensor *(tevo_context *)> build;
        int                                           plan_threads, run_threads;
        // bytes given for the planned size p; SIZE_MAX: the plan of a graph that needs none
        std::function<size_t(size_t p)>               work;
        bool                                          refused;
    };
    const auto soft_max = [](tevo_context * c) {
        return tevo_soft_max(c, tevo_new_tensor_2d(c, TEVO_TYPE_F32, 1000, 10));
    };
    const auto attention = [](tevo_context * c) {
        tevo_tensor * q = tevo_new_tensor_3d(c, TEVO_TYPE_F32, 64, 3, 2);
        tevo_tensor * k = tevo_new_tensor_3d(c, TEVO_TYPE_F16, 64, 100, 2);
        tevo_tensor * v = tevo_new_tensor_3d(c, TEVO_TYPE_F16, 64, 100, 2);
        return tevo_flash_attn_ext(c, q, k, v, nullptr, 0.125f, 0.0f, 0.0f);
    };
    const auto conv = [](tevo_context * c) {
        tevo_tensor * k = tevo_new_tensor_4d(c, TEVO_TYPE_F32, 3, 3, 2, 4);
        tevo_tensor * x = tevo_new_tensor_4d(c, TEVO_TYPE_F32, 8, 8, 2, 1);
        return tevo_conv_2d_direct(c, k, x, 1, 1, 1, 1, 1, 1);
    };
    const size_t conv_patch = (3 * 3 * 2 + 4) * sizeof(float) + 128; // one thread's slice for one patch
    const Case cases[] = {
        { "soft_max_planned", soft_max, 4, 4, [](size_t p) { return p; }, false },
        { "soft_max_a_quarter", soft_max, 4, 4, [](size_t p) { return p / 4; }, true },
        { "soft_max_plan_of_a_graph_needing_none", soft_max, 4, 4, [](size_t) { return SIZE_MAX; }, true },
        { "soft_max_planned_for_1_run_on_4", soft_max, 1, 4, [](size_t p) { return p; }, true },
        { "attention_one_byte_short", attention, 3, 3, [](size_t p) { return p - 1; }, true },
        { "conv_one_patch", conv, 2, 2, [&](size_t) { return conv_patch + 64 * 2; }, false },
        { "conv_less_than_one_patch", conv, 2, 2, [&](size_t) { return conv_patch + 64 * 2 - 1; }, true },
    };

    static std::vector<std::string> errors;
    tevo_log_set([](enum tevo_log_level level, const char * text, void *) {
        if (level == TEVO_LOG_LEVEL_ERROR) errors.push_back(text);
    }, nullptr);

    for (const Case & c : cases) {
        SCOPED_TRACE(c.name);
        errors.clear();
        tevo_init_params ip  = { 16 * 1024 * 1024, nullptr, false };
        tevo_context *   ctx = tevo_init(ip);
        tevo_tensor *    out = c.build(ctx);
        for (int i = 0; i < TEVO_MAX_SRC && out->src[i]; ++i) {
            memset(out->src[i]->data, 0, tevo_nbytes(out->src[i]));
        }
        std::vector<float> poison((size_t) tevo_nelements(out), NAN);
        memcpy(out->data, poison.data(), tevo_nbytes(out));
        tevo_cgraph * gf = tevo_new_graph(ctx);
        tevo_build_forward_expand(gf, out);

        tevo_cplan plan = tevo_graph_plan(gf, c.plan_threads, nullptr);
        const size_t bytes = c.work(plan.work_size);
        if (bytes == SIZE_MAX) {
            tevo_cgraph * none = tevo_new_graph(ctx);
            tevo_build_forward_expand(none, tevo_add(ctx, out->src[0], out->src[0]));
            plan = tevo_graph_plan(none, c.plan_threads, nullptr);
            ASSERT_EQ(plan.work_size, 0u);
        } else {
            plan.work_size = bytes;
        }
        plan.n_threads = c.run_threads;
        std::vector<uint8_t> work(plan.work_size);
        plan.work_data = plan.work_size ? work.data() : nullptr;

        const enum tevo_status st = tevo_graph_compute(gf, &plan);
        if (c.refused) {
            EXPECT_EQ(st, TEVO_STATUS_FAILED);
            ASSERT_EQ(errors.size(), 1u);
            const std::string want = "tevo_graph_compute: the work buffer holds " + std::to_string(plan.work_size) +
                                     " bytes; node 0 (" + tevo_op_desc(out) + ") needs ";
            EXPECT_EQ(errors[0].rfind(want, 0), 0u) << errors[0];
            EXPECT_EQ(memcmp(out->data, poison.data(), tevo_nbytes(out)), 0) << "computed";
        } else {
            EXPECT_EQ(st, TEVO_STATUS_SUCCESS);
            EXPECT_TRUE(errors.empty());
            EXPECT_FALSE(std::isnan(((const float *) out->data)[0]));
        }
        tevo_free(ctx);
    }
    tevo_log_set(nullptr, nullptr);
}

// The room the planner gives covers what the compute asks for on the threads
// of the run, for every operator whose kernel uses the work buffer, and the
// graph the library planned itself computes. Convolutions with one patch
// above 16 MiB need more than the usual room.
TEST(PlanWork, PlanCoversWhatTheComputeAsksFor) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    using Build = std::function<tevo_tensor *(tevo_context *)>;
    const tevo_type F32 = TEVO_TYPE_F32, F16 = TEVO_TYPE_F16, Q8_0 = TEVO_TYPE_Q8_0, I32 = TEVO_TYPE_I32;
    const auto t = [](tevo_context * c, tevo_type type, int64_t ne0, int64_t ne1 = 1, int64_t ne2 = 1,
                      int64_t ne3 = 1) { return tevo_new_tensor_4d(c, type, ne0, ne1, ne2, ne3); };
    const auto cpy = [&](tevo_type from, int64_t ne0, int64_t ne1, tevo_type to, int64_t to_ne0, int64_t to_ne1) {
        return [=](tevo_context * c) { return tevo_cpy(c, t(c, from, ne0, ne1), t(c, to, to_ne0, to_ne1)); };
    };
    const auto attention = [&](int64_t d, int64_t n_q, int64_t n_kv, int64_t heads) {
        return [=](tevo_context * c) {
            return tevo_flash_attn_ext(c, t(c, F32, d, n_q, heads), t(c, F16, d, n_kv, heads),
                                       t(c, F16, d, n_kv, heads), nullptr, 0.125f, 0.0f, 0.0f);
        };
    };
    const auto conv_2d = [&](tevo_type type, int64_t kw, int64_t kh, int64_t ic, int64_t oc) {
        return [=](tevo_context * c) {
            return tevo_conv_2d_direct(c, t(c, type, kw, kh, ic, oc), t(c, F32, kw, kh, ic), 1, 1, 0, 0, 1, 1);
        };
    };
    const auto gated_delta_net = [&](int K) {
        return [=](tevo_context * c) {
            const int64_t S = 16, H = 2, T = 3;
            return tevo_gated_delta_net(c, t(c, F32, S, H, T), t(c, F32, S, H, T), t(c, F32, S, H, T),
                                        t(c, F32, 1, H, T), t(c, F32, 1, H, T), t(c, F32, S, S, H), K);
        };
    };
    const size_t MiB = 1024 * 1024;
    struct Case {
        const char * name;
        Build        build;
        size_t       mem = 4 * MiB;
    };
    const Case cases[] = {
        { "cpy_f32_to_q8_0", cpy(F32, 64, 3, Q8_0, 64, 3) },
        { "cpy_f16_to_q4_0_long_rows", cpy(F16, 96, 1, TEVO_TYPE_Q4_0, 32, 3) },
        { "cpy_f16_to_i32", cpy(F16, 40, 3, I32, 40, 3) },
        { "cpy_f32_to_i32", cpy(F32, 40, 3, I32, 40, 3) },
        { "add_q8_0", [&](tevo_context * c) { return tevo_add(c, t(c, Q8_0, 64, 5), t(c, F32, 64, 5)); } },
        { "add1_q8_0", [&](tevo_context * c) { return tevo_add1(c, t(c, Q8_0, 64, 5), t(c, F32, 1)); } },
        { "out_prod_f16", [&](tevo_context * c) { return tevo_out_prod(c, t(c, F16, 40, 5), t(c, F32, 30, 5)); } },
        { "out_prod_q8_0", [&](tevo_context * c) { return tevo_out_prod(c, t(c, Q8_0, 64, 5), t(c, F32, 30, 5)); } },
        { "set_rows_f16_into_f32",
          [&](tevo_context * c) {
              return tevo_set_rows(c, t(c, F32, 50, 10), t(c, F16, 50, 3), t(c, TEVO_TYPE_I64, 3));
          } },
        { "soft_max", [&](tevo_context * c) { return tevo_soft_max(c, t(c, F32, 1000, 10)); } },
        { "rope", [&](tevo_context * c) { return tevo_rope(c, t(c, F32, 24, 2, 3), t(c, I32, 3), 16, 0); } },
        { "rope_back",
          [&](tevo_context * c) {
              return tevo_rope_ext_back(c, t(c, F16, 24, 2, 3), t(c, I32, 3), nullptr, 16, 2, 0, 10000.0f, 1.0f,
                                        0.0f, 1.0f, 0.0f, 0.0f);
          } },
        { "count_equal", [&](tevo_context * c) { return tevo_count_equal(c, t(c, I32, 9, 4), t(c, I32, 9, 4)); } },
        { "cross_entropy_loss",
          [&](tevo_context * c) { return tevo_cross_entropy_loss(c, t(c, F32, 10, 7), t(c, F32, 10, 7)); } },
        { "top_k", [&](tevo_context * c) { return tevo_top_k(c, t(c, F32, 30, 6), 5); } },
        { "lightning_indexer",
          [&](tevo_context * c) {
              return tevo_lightning_indexer(c, t(c, F32, 40, 4, 3), t(c, F32, 40, 1, 9), t(c, F32, 4, 3),
                                            t(c, F16, 9, 3));
          } },
        { "gated_delta_net_one_slot", gated_delta_net(1) },
        { "gated_delta_net_two_slots", gated_delta_net(2) },
        { "mul_mat_f16", [&](tevo_context * c) { return tevo_mul_mat(c, t(c, F16, 33, 10), t(c, F32, 33, 7)); } },
        { "mul_mat_q8_0",
          [&](tevo_context * c) { return tevo_mul_mat(c, t(c, Q8_0, 256, 64), t(c, F32, 256, 40)); } },
        { "mul_mat_id_f16",
          [&](tevo_context * c) {
              return tevo_mul_mat_id(c, t(c, F16, 16, 6, 4), t(c, F32, 16, 2, 5), t(c, I32, 2, 5));
          } },
        { "conv_transpose_1d_f16",
          [&](tevo_context * c) { return tevo_conv_transpose_1d(c, t(c, F16, 3, 2, 4), t(c, F32, 10, 4), 1, 0, 1); } },
        { "conv_transpose_1d_f32",
          [&](tevo_context * c) { return tevo_conv_transpose_1d(c, t(c, F32, 3, 2, 4), t(c, F32, 10, 4), 1, 0, 1); } },
        { "conv_transpose_2d",
          [&](tevo_context * c) {
              return tevo_conv_transpose_2d_p0(c, t(c, F16, 3, 3, 2, 4), t(c, F32, 6, 5, 4), 2);
          } },
        { "conv_2d",
          [&](tevo_context * c) {
              return tevo_conv_2d_direct(c, t(c, F32, 3, 3, 2, 4), t(c, F32, 8, 8, 2), 1, 1, 0, 0, 1, 1);
          } },
        // one patch of 64 x 64 x 1023 floats fits in 16 MiB, one of 1024 does not
        { "conv_2d_patch_just_under_16_MiB", conv_2d(F32, 64, 64, 1023, 1), 40 * MiB },
        { "conv_2d_patch_16_MiB_and_4_bytes", conv_2d(F32, 64, 64, 1024, 1), 40 * MiB },
        { "conv_2d_patch_over_17_MiB", conv_2d(F32, 64, 64, 1100, 1), 40 * MiB },
        { "conv_2d_f16_patch_over_16_MiB", conv_2d(F16, 64, 64, 2048, 1), 56 * MiB },
        { "conv_3d",
          [&](tevo_context * c) {
              return tevo_conv_3d_direct(c, t(c, F16, 2, 2, 2, 6), t(c, F32, 5, 5, 5, 2), 1, 1, 1, 0, 0, 0, 1, 1, 1,
                                         2, 1, 3);
          } },
        { "conv_3d_patch_over_16_MiB",
          [&](tevo_context * c) {
              return tevo_conv_3d_direct(c, t(c, F32, 16, 16, 16, 1024), t(c, F32, 16, 16, 16, 1024), 1, 1, 1, 0, 0,
                                         0, 1, 1, 1, 1024, 1, 1);
          },
          40 * MiB },
        { "flash_attn_ext", attention(64, 3, 10, 4) },
        { "flash_attn_ext_one_query_long_keys", attention(64, 1, 1024, 8) },
        { "flash_attn_ext_many_queries", attention(64, 64, 256, 4) },
        // no constructor: the node as the kernel reads it, gradients of q, k
        // and v one after the other (16-byte aligned)
        { "flash_attn_back",
          [&](tevo_context * c) {
              tevo_tensor * node = t(c, F32, (256 + 384 + 384) / 4);
              node->op           = TEVO_OP_FLASH_ATTN_BACK;
              node->src[0]       = t(c, F32, 8, 4, 2);
              node->src[1]       = t(c, F32, 8, 6, 2);
              node->src[2]       = t(c, F32, 6, 8, 2);
              node->src[3]       = t(c, F32, 8, 4, 2);
              return node;
          } },
    };

    const int cores = (int) std::thread::hardware_concurrency();
    for (const Case & c : cases) {
        SCOPED_TRACE(c.name);
        tevo_init_params ip  = { c.mem, nullptr, false };
        tevo_context *   ctx = tevo_init(ip);
        tevo_tensor *    out = c.build(ctx);
        tevo_cgraph *    gf  = tevo_new_graph(ctx);
        tevo_build_forward_expand(gf, out);
        // zeros are valid indices, positions and values for every case
        for (int i = 0; i < gf->n_leafs; ++i) {
            memset(gf->leafs[i]->data, 0, tevo_nbytes(gf->leafs[i]));
        }
        for (int n : { 1, 2, 3, 4, 8 }) {
            if (n > cores) {
                continue;
            }
            SCOPED_TRACE(n);
            tevo_cplan plan = tevo_graph_plan(gf, n, nullptr);
            int        node = -1;
            EXPECT_GE(plan.work_size, tevo_graph_work_least(gf, n, &node));
            EXPECT_GE(plan.work_size, tevo_graph_work_least(gf, plan.n_threads, &node));
            std::vector<uint8_t> work(plan.work_size);
            plan.work_data = plan.work_size ? work.data() : nullptr;
            EXPECT_EQ(tevo_graph_compute(gf, &plan), TEVO_STATUS_SUCCESS);
        }
        tevo_free(ctx);
    }
}

TEST_F(Plan, OperatorsOutsideTheTablesAreFatal) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    tevo_tensor * u = tevo_unary(ctx, t(TEVO_TYPE_F32, 4), TEVO_UNARY_OP_ABS);
    u->op_params[0] = 22;
    EXPECT_DEATH(tevo_get_n_tasks(u, 4), "tevo/src/tevo-cpu/tevo-cpu:[0-9]+: fatal error");

    tevo_tensor * g = tevo_unary(ctx, t(TEVO_TYPE_F32, 4), TEVO_UNARY_OP_ABS);
    g->op           = TEVO_OP_GLU;
    g->op_params[0] = 7;
    EXPECT_DEATH(tevo_get_n_tasks(g, 4), "fatal error");

    tevo_tensor * c = tevo_add(ctx, t(TEVO_TYPE_F32, 4), t(TEVO_TYPE_F32, 4));
    c->op           = TEVO_OP_COUNT;
    EXPECT_DEATH(tevo_get_n_tasks(c, 4), "fatal error");

    tevo_tensor * x = tevo_add(ctx, t(TEVO_TYPE_F32, 4), t(TEVO_TYPE_F32, 4));
    x->op           = (tevo_op) 120;
    EXPECT_DEATH(tevo_get_n_tasks(x, 4), "tevo_get_n_tasks: op not implemented: 120\n(.|\n)*fatal error");
}

} // namespace
