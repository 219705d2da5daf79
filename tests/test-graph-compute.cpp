// Computing CPU graphs: which nodes the walk skips, the abort callback and
// its status, the normalisation-and-multiply fusion decision, the dispatch
// of operators outside the table, and the plan checks.

#include "cpu/impl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Compute : ::testing::Test {
    tevo_context * ctx = nullptr;

    void SetUp() override {
        setenv("TEVO_NO_BACKTRACE", "1", 1);
        tevo_init_params p = { 8 * 1024 * 1024, nullptr, false };
        ctx                = tevo_init(p);
    }
    void TearDown() override { tevo_free(ctx); }

    tevo_tensor * filled(int64_t ne0, int64_t ne1, float v) {
        tevo_tensor * t = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, ne0, ne1);
        for (int64_t i = 0; i < ne0 * ne1; ++i) {
            ((float *) t->data)[i] = v;
        }
        return t;
    }

    static void poison(tevo_tensor * t) {
        for (int64_t i = 0; i < tevo_nelements(t); ++i) {
            ((float *) t->data)[i] = NAN;
        }
    }

    static bool untouched(const tevo_tensor * t) {
        for (int64_t i = 0; i < tevo_nelements(t); ++i) {
            if (!std::isnan(((const float *) t->data)[i])) {
                return false;
            }
        }
        return true;
    }

    enum tevo_status run(tevo_cgraph * gf, int n_threads, tevo_abort_callback cb = nullptr, void * data = nullptr) {
        tevo_cplan plan = tevo_graph_plan(gf, n_threads, nullptr);
        std::vector<uint8_t> work(plan.work_size);
        plan.work_data           = work.data();
        plan.abort_callback      = cb;
        plan.abort_callback_data = data;
        return tevo_graph_compute(gf, &plan);
    }
};

struct Polls {
    std::atomic<int> calls{ 0 };
    int              answer_true_from = 1; // the call (1-based) from which the answer is true
    std::thread::id  caller;
    bool             other_thread = false;
};

bool poll(void * data) {
    Polls * p = (Polls *) data;
    if (std::this_thread::get_id() != p->caller) {
        p->other_thread = true;
    }
    return ++p->calls >= p->answer_true_from;
}

TEST_F(Compute, AbortAfterTheFirstNodeLeavesTheRestUncomputed) {
    for (int nt : { 1, 4 }) {
        SCOPED_TRACE(nt);
        tevo_tensor * w  = filled(4, 4, 1.0f);
        tevo_tensor * x  = filled(4, 3, 1.0f);
        tevo_tensor * a  = tevo_mul_mat(ctx, w, x);
        tevo_tensor * b  = tevo_mul_mat(ctx, w, a);
        tevo_tensor * c  = tevo_mul_mat(ctx, w, b);
        tevo_cgraph * gf = tevo_new_graph(ctx);
        tevo_build_forward_expand(gf, c);
        for (tevo_tensor * t : { a, b, c }) poison(t);

        Polls polls;
        polls.caller = std::this_thread::get_id();
        EXPECT_EQ(run(gf, nt, poll, &polls), TEVO_STATUS_ABORTED);
        EXPECT_EQ(polls.calls.load(), 1);
        EXPECT_FALSE(polls.other_thread);
        EXPECT_EQ(((float *) a->data)[0], 4.0f);
        EXPECT_TRUE(untouched(b));
        EXPECT_TRUE(untouched(c));
    }
}

TEST_F(Compute, AbortAfterTheLastNodeOnlyChangesTheStatus) {
    tevo_tensor * w  = filled(4, 4, 1.0f);
    tevo_tensor * x  = filled(4, 3, 1.0f);
    tevo_tensor * c  = tevo_mul_mat(ctx, w, tevo_mul_mat(ctx, w, tevo_mul_mat(ctx, w, x)));
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, c);

    Polls polls;
    polls.caller           = std::this_thread::get_id();
    polls.answer_true_from = 3;
    EXPECT_EQ(run(gf, 3, poll, &polls), TEVO_STATUS_ABORTED);
    EXPECT_EQ(polls.calls.load(), 3);
    EXPECT_EQ(((float *) c->data)[0], 64.0f);

    // never true: success, one poll per computed node
    polls.calls            = 0;
    polls.answer_true_from = 1000;
    EXPECT_EQ(run(gf, 3, poll, &polls), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(polls.calls.load(), 3);
}

TEST_F(Compute, ViewsAndNodesWithoutTheComputeFlagAreSkipped) {
    tevo_tensor * w  = filled(4, 4, 1.0f);
    tevo_tensor * x  = filled(4, 3, 1.0f);
    tevo_tensor * a  = tevo_mul_mat(ctx, w, x);
    tevo_tensor * r  = tevo_reshape_2d(ctx, a, 3, 4);      // a view: skipped, not polled
    tevo_tensor * t  = tevo_transpose(ctx, r);
    tevo_tensor * b  = tevo_mul_mat(ctx, w, filled(4, 2, 2.0f));
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, t);
    tevo_build_forward_expand(gf, b);
    b->flags &= ~TEVO_TENSOR_FLAG_COMPUTE;
    poison(a);
    poison(b);

    Polls polls;
    polls.caller           = std::this_thread::get_id();
    polls.answer_true_from = 1000;
    EXPECT_EQ(run(gf, 2, poll, &polls), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(polls.calls.load(), 1); // only a
    EXPECT_EQ(((float *) a->data)[5], 4.0f);
    EXPECT_TRUE(untouched(b));
}

TEST_F(Compute, EmptyNodesAreNotComputedButStillPolled) {
    tevo_tensor * w  = filled(4, 4, 1.0f);
    tevo_tensor * e  = tevo_mul_mat(ctx, w, tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, 4, 0));
    tevo_tensor * a  = tevo_mul_mat(ctx, w, filled(4, 1, 1.0f));
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, e);
    tevo_build_forward_expand(gf, a);

    Polls polls;
    polls.caller           = std::this_thread::get_id();
    polls.answer_true_from = 1000;
    EXPECT_EQ(run(gf, 4, poll, &polls), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(polls.calls.load(), 2);
    EXPECT_EQ(((float *) a->data)[0], 4.0f);
}

TEST_F(Compute, GraphOfViewsComputes) {
    tevo_tensor * x  = filled(8, 4, 1.0f);
    tevo_tensor * v  = tevo_transpose(ctx, tevo_reshape_2d(ctx, x, 4, 8));
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, v);
    const tevo_cplan plan = tevo_graph_plan(gf, 8, nullptr);
    EXPECT_EQ(plan.n_threads, 1);
    EXPECT_EQ(run(gf, 8), TEVO_STATUS_SUCCESS);
    EXPECT_EQ(tevo_graph_compute_with_ctx(ctx, gf, 8), TEVO_STATUS_SUCCESS);
}

TEST_F(Compute, OperatorNumbersOutsideTheTableComputeNothing) {
    tevo_tensor * w  = filled(4, 4, 1.0f);
    tevo_tensor * a  = tevo_mul_mat(ctx, w, filled(4, 1, 1.0f));
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, a);
    poison(a);
    a->op = (tevo_op) 120;

    tevo_cplan plan;
    memset(&plan, 0, sizeof(plan));
    plan.n_threads = 2;
    EXPECT_EQ(tevo_graph_compute(gf, &plan), TEVO_STATUS_SUCCESS);
    EXPECT_TRUE(untouched(a));
}

// A per-run pool never holds more than TEVO_MAX_N_THREADS threads: a larger
// plan runs on that many, with the warning, instead of stopping the process.
TEST_F(Compute, PlanBeyondThePoolLimitRunsOnTheLimit) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "512 spinning threads crawl under ThreadSanitizer";
#endif
    static std::vector<std::string> warnings;
    warnings.clear();
    tevo_log_set([](enum tevo_log_level level, const char * text, void *) {
        if (level == TEVO_LOG_LEVEL_WARN) warnings.push_back(text);
    }, nullptr);

    tevo_tensor * w  = filled(4, 4, 1.0f);
    tevo_tensor * a  = tevo_mul_mat(ctx, w, filled(4, 1, 1.0f));
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, a);
    poison(a);

    tevo_cplan plan = tevo_graph_plan(gf, 1, nullptr);
    plan.n_threads  = TEVO_MAX_N_THREADS + 88;
    const enum tevo_status st = tevo_graph_compute(gf, &plan);
    tevo_log_set(nullptr, nullptr);

    EXPECT_EQ(st, TEVO_STATUS_SUCCESS);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(((float *) a->data)[i], 4.0f);
    }
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "cplan requested more threads (600) than available (512)\n");
}

TEST_F(Compute, FatalDispatchAndPlanChecks) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    tevo_tensor * w  = filled(4, 4, 1.0f);
    tevo_tensor * a  = tevo_mul_mat(ctx, w, filled(4, 1, 1.0f));
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, a);

    tevo_cplan plan;
    memset(&plan, 0, sizeof(plan));
    EXPECT_DEATH(tevo_graph_compute(gf, &plan), "TEVO_ASSERT\\(cplan->n_threads > 0\\) failed");
    EXPECT_DEATH(tevo_graph_compute(gf, nullptr), "TEVO_ASSERT\\(cplan\\) failed");
    plan.n_threads = 1;
    plan.work_size = 64;
    EXPECT_DEATH(tevo_graph_compute(gf, &plan),
                 "TEVO_ASSERT\\(cplan->work_size == 0 \\|\\| cplan->work_data != NULL\\) failed");
    plan.work_size = 0;

    a->op = TEVO_OP_COUNT;
    EXPECT_DEATH(tevo_graph_compute(gf, &plan), "tevo/src/tevo-cpu/tevo-cpu:[0-9]+: fatal error");

    // the gradient kernel's rows in the work buffer, so that the run gets to it
    std::vector<uint8_t> work(1 << 16);
    plan.work_size  = work.size();
    plan.work_data  = work.data();
    a->op           = TEVO_OP_FLASH_ATTN_BACK;
    a->op_params[0] = 2;
    EXPECT_DEATH(tevo_graph_compute(gf, &plan), "TEVO_ASSERT\\(t == 0 \\|\\| t == 1\\) failed");
    a->op_params[0] = -1; // read as unsigned: far above 1
    EXPECT_DEATH(tevo_graph_compute(gf, &plan), "TEVO_ASSERT\\(t == 0 \\|\\| t == 1\\) failed");
}

// ---------------------------------------------------------------------------
// the fusion decision

struct Fusion : ::testing::Test {
    tevo_context * ctx = nullptr;
    void SetUp() override {
        tevo_init_params p = { 128 * tevo_tensor_overhead() + 16 * tevo_graph_overhead(), nullptr, true };
        ctx                = tevo_init(p);
    }
    void TearDown() override { tevo_free(ctx); }

    tevo_tensor * f32(int64_t ne0, int64_t ne1) { return tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, ne0, ne1); }

    // whether the walk would fuse the node into the one after it
    bool fuses(tevo_tensor * norm, std::initializer_list<tevo_tensor *> outs, bool use_ref = false) {
        tevo_cgraph * gf = tevo_new_graph(ctx);
        for (tevo_tensor * o : outs) {
            tevo_build_forward_expand(gf, o);
        }
        for (int i = 0; i < gf->n_nodes; ++i) {
            if (gf->nodes[i] == norm) {
                return tevo_cpu_can_fuse_rms_norm_mul(gf, i, use_ref);
            }
        }
        ADD_FAILURE() << "norm not in graph";
        return false;
    }
};

TEST_F(Fusion, NormalisationFollowedByItsOnlyMultiplication) {
    tevo_cpu_init();
    if (!tevo_cpu_fusion_enabled()) {
        GTEST_SKIP() << "TEVO_CPU_DISABLE_FUSION is set";
    }
    {
        tevo_tensor * n = tevo_rms_norm(ctx, f32(16, 4), 1e-5f);
        EXPECT_TRUE(fuses(n, { tevo_mul(ctx, n, f32(16, 4)) }));
    }
    {   // the norm as the second operand
        tevo_tensor * n = tevo_rms_norm(ctx, f32(16, 4), 1e-5f);
        EXPECT_TRUE(fuses(n, { tevo_mul(ctx, f32(16, 4), n) }));
    }
    {   // a weight row broadcast over the rows
        tevo_tensor * n = tevo_rms_norm(ctx, f32(16, 4), 1e-5f);
        EXPECT_TRUE(fuses(n, { tevo_mul(ctx, n, f32(16, 1)) }));
    }
    {   // reference kernels only
        tevo_tensor * n = tevo_rms_norm(ctx, f32(16, 4), 1e-5f);
        EXPECT_FALSE(fuses(n, { tevo_mul(ctx, n, f32(16, 4)) }, true));
    }
    {   // the norm also feeds a second node
        tevo_tensor * n = tevo_rms_norm(ctx, f32(16, 4), 1e-5f);
        EXPECT_FALSE(fuses(n, { tevo_mul(ctx, n, f32(16, 4)), tevo_scale(ctx, n, 2.0f) }));
    }
    {   // the norm is a graph output
        tevo_tensor * n = tevo_rms_norm(ctx, f32(16, 4), 1e-5f);
        tevo_set_output(n);
        EXPECT_FALSE(fuses(n, { tevo_mul(ctx, n, f32(16, 4)) }));
    }
    {   // an in-place norm is a view
        tevo_tensor * n = tevo_rms_norm_inplace(ctx, f32(16, 4), 1e-5f);
        EXPECT_FALSE(fuses(n, { tevo_mul(ctx, n, f32(16, 4)) }));
    }
    {   // the next node is not a multiplication
        tevo_tensor * n = tevo_rms_norm(ctx, f32(16, 4), 1e-5f);
        EXPECT_FALSE(fuses(n, { tevo_add(ctx, n, f32(16, 4)) }));
    }
    {   // the other operand broadcasts along the row
        tevo_tensor * n = tevo_rms_norm(ctx, f32(16, 4), 1e-5f);
        EXPECT_FALSE(fuses(n, { tevo_mul(ctx, n, f32(1, 4)) }));
    }
    {   // the other operand is not F32
        tevo_tensor * n = tevo_rms_norm(ctx, f32(16, 4), 1e-5f);
        EXPECT_FALSE(fuses(n, { tevo_mul(ctx, n, tevo_new_tensor_2d(ctx, TEVO_TYPE_F16, 16, 4)) }));
    }
    {   // the multiplication is not computed
        tevo_tensor * n  = tevo_rms_norm(ctx, f32(16, 4), 1e-5f);
        tevo_tensor * m  = tevo_mul(ctx, n, f32(16, 4));
        tevo_cgraph * gf = tevo_new_graph(ctx);
        tevo_build_forward_expand(gf, m);
        m->flags &= ~TEVO_TENSOR_FLAG_COMPUTE;
        ASSERT_EQ(gf->nodes[gf->n_nodes - 2], n);
        EXPECT_FALSE(tevo_cpu_can_fuse_rms_norm_mul(gf, gf->n_nodes - 2, false));
    }
    {   // no node after the norm
        tevo_tensor * n = tevo_rms_norm(ctx, f32(16, 4), 1e-5f);
        EXPECT_FALSE(fuses(n, { n }));
    }
}

TEST_F(Fusion, SwitchedOffByTheEnvironment) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    // read once, when the engine first initialises: checked in fresh processes
    EXPECT_EXIT(
        {
            setenv("TEVO_CPU_DISABLE_FUSION", "1", 1);
            tevo_cpu_init();
            tevo_tensor * n = tevo_rms_norm(ctx, f32(16, 4), 1e-5f);
            exit(fuses(n, { tevo_mul(ctx, n, f32(16, 4)) }) ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            setenv("TEVO_CPU_DISABLE_FUSION", "yes", 1);
            tevo_cpu_init();
            tevo_tensor * n = tevo_rms_norm(ctx, f32(16, 4), 1e-5f);
            exit(fuses(n, { tevo_mul(ctx, n, f32(16, 4)) }) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
