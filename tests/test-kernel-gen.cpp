// The generators on the CPU: arithmetic sequences (one fused multiply-add per
// element) and sinusoidal timestep embeddings, at 1, 3 and 8 threads.

#include "kernel-test-helpers.h"

namespace {

using namespace kt;

TEST(KernelArange, Examples) {
    struct Case {
        float              start, stop, step;
        std::vector<float> want;
    };
    const Case cases[] = {
        { 0, 5, 2, { 0, 2, 4 } },
        { 1, 2, 0.25f, { 1, 1.25f, 1.5f, 1.75f } },
        { -1, 0.5f, 1, { -1, 0 } },
    };
    for (const Case & k : cases) {
        Ctx           c(1);
        tevo_tensor * out = tevo_arange(c.ctx, k.start, k.stop, k.step);
        compute(c.ctx, { out }, 1);
        ASSERT_EQ(out->ne[0], (int64_t) k.want.size());
        for (size_t i = 0; i < k.want.size(); ++i) {
            EXPECT_EQ(get(out, (int64_t) i), k.want[i]) << i;
        }
    }
}

TEST(KernelArange, FusedMultiplyAddAtEveryThreadCount) {
    // a step that is not a binary fraction shows the single rounding
    const float start = -3.3f, stop = 100.5f, step = 0.7f;
    for (int nt : thread_counts()) {
        SCOPED_TRACE(nt);
        Ctx           c(1);
        tevo_tensor * out = tevo_arange(c.ctx, start, stop, step);
        poison(out);
        compute(c.ctx, { out }, nt);
        ASSERT_EQ(out->ne[0], 149);
        for (int64_t i = 0; i < out->ne[0]; ++i) {
            ASSERT_EQ(bits(get(out, i)), bits(std::fma((float) i, step, start))) << i;
            ASSERT_NEAR(get(out, i), (double) start + (double) i * step, 1e-5) << i;
        }
    }
}

TEST(KernelArangeDeathTest, Checks) {
    Ctx           c(1);
    tevo_tensor * out = tevo_arange(c.ctx, 0, 5, 1);
    // parameters changed after the node was built no longer match its size
    tevo_set_op_params_f32(out, 1, 6.0f);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_arange, out), kernel_assert_re("tevo_nelements(dst) == steps"));
    out->type = TEVO_TYPE_F16;
    EXPECT_DEATH(call_kernel(tevo_compute_forward_arange, out), kernel_abort_re("fatal error"));
}

// the kernel's own single-precision formula
float freq_f32(int j, int half, int max_period) {
    const float L = -logf((float) max_period);
    return expf((L * (float) j) / (float) half);
}

TEST(KernelTimestepEmbedding, Examples) {
    Ctx           c(1);
    tevo_tensor * ts  = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 3);
    const float   t[] = { 0.0f, 1.0f, 250.0f };
    memcpy(ts->data, t, sizeof(t));

    {
        // frequencies 1 and 0.01
        tevo_tensor * out = tevo_timestep_embedding(c.ctx, ts, 4, 10000);
        compute(c.ctx, { out }, 1);
        for (int i = 0; i < 3; ++i) {
            const double v = t[i];
            EXPECT_NEAR(get(out, 0, i), cos(v), 1e-4);
            EXPECT_NEAR(get(out, 1, i), cos(0.01 * v), 1e-4);
            EXPECT_NEAR(get(out, 2, i), sin(v), 1e-4);
            EXPECT_NEAR(get(out, 3, i), sin(0.01 * v), 1e-4);
        }
        // timestep 0: ones, then zeros
        EXPECT_EQ(get(out, 0, 0), 1.0f);
        EXPECT_EQ(get(out, 1, 0), 1.0f);
        EXPECT_EQ(get(out, 2, 0), 0.0f);
        EXPECT_EQ(get(out, 3, 0), 0.0f);
    }
    {
        tevo_tensor * out = tevo_timestep_embedding(c.ctx, ts, 1, 10000);
        poison(out);
        compute(c.ctx, { out }, 3);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(bits(get(out, 0, i)), 0u);
        }
    }
}

TEST(KernelTimestepEmbedding, RowsAgainstReference) {
    struct Case {
        int dim, max_period, n;
    };
    // odd widths end in a zero; 5 has fewer frequencies than 3 or 8 threads
    const Case cases[] = { { 384, 10000, 7 }, { 5, 10000, 4 }, { 33, 100, 3 }, { 2, 10, 1 } };
    std::mt19937 rng(5);
    for (const Case & k : cases) {
        for (int nt : thread_counts()) {
            SCOPED_TRACE(testing::Message() << "dim " << k.dim << " threads " << nt);
            Ctx           c(4);
            tevo_tensor * ts = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, k.n);
            fill(ts, rng, 0.0f, 1000.0f);
            tevo_tensor * out = tevo_timestep_embedding(c.ctx, ts, k.dim, k.max_period);
            poison(out);
            compute(c.ctx, { out }, nt);

            const int half = k.dim / 2;
            for (int i = 0; i < k.n; ++i) {
                const float t = get(ts, i);
                for (int j = 0; j < half; ++j) {
                    const float arg = t * freq_f32(j, half, k.max_period);
                    ASSERT_EQ(bits(get(out, j, i)), bits(cosf(arg))) << i << " " << j;
                    ASSERT_EQ(bits(get(out, j + half, i)), bits(sinf(arg))) << i << " " << j;
                    // the frequency in double; the argument's float rounding grows with t
                    const double f = exp(-log((double) k.max_period) * j / half);
                    ASSERT_NEAR(freq_f32(j, half, k.max_period), f, 1e-6 * f + 1e-30);
                }
                if (k.dim % 2) {
                    ASSERT_EQ(bits(get(out, k.dim - 1, i)), 0u) << i;
                }
            }
        }
    }
}

TEST(KernelTimestepEmbedding, ThroughTheBackend) {
    tevo_tensor * ts = nullptr;
    compute_on_backend(
        [&](tevo_context * ctx) {
            ts = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, 2);
            return tevo_timestep_embedding(ctx, ts, 4, 10000);
        },
        [&] {
            const float v[] = { 0.0f, 2.0f };
            tevo_backend_tensor_set(ts, v, 0, sizeof(v));
        },
        [](tevo_tensor * out) {
            float got[8];
            tevo_backend_tensor_get(out, got, 0, sizeof(got));
            const double want[8] = { 1, 1, 0, 0, cos(2.0), cos(0.02), sin(2.0), sin(0.02) };
            for (int i = 0; i < 8; ++i) {
                EXPECT_NEAR(got[i], want[i], 1e-6) << i;
            }
        });
}

TEST(KernelTimestepEmbeddingDeathTest, Checks) {
    Ctx c(1);
    {
        tevo_tensor * ts = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F16, 3);
        EXPECT_DEATH(call_kernel(tevo_compute_forward_timestep_embedding, tevo_timestep_embedding(c.ctx, ts, 4, 100)),
                     kernel_abort_re("fatal error"));
    }
    {
        // a column of a matrix: its values lie a row apart
        tevo_tensor * ts = tevo_transpose(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 3, 2));
        EXPECT_DEATH(call_kernel(tevo_compute_forward_timestep_embedding, tevo_timestep_embedding(c.ctx, ts, 4, 100)),
                     kernel_assert_re("src0->nb[0] == sizeof(float)"));
    }
}

} // namespace
