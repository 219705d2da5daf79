// The Walsh-Hadamard transform behind a matrix product with hint 1: every
// row against the explicit normalised Hadamard matrix in double, F32 and F16
// inputs with gaps between rows, applied twice to give the input back, the
// product of the same matrix without the hint, the reference flag that keeps
// the plain product, and 1, 3 and 8 threads (more threads than rows).

#include "kernel-test-helpers.h"
#include "padded-view.h"

namespace {

using namespace kt;

// H[k][i] / sqrt(n) in natural (Sylvester) order
double hadamard(int64_t k, int64_t i, int64_t n) {
    return (__builtin_popcountll((unsigned long long) (k & i)) % 2 ? -1.0 : 1.0) / sqrt((double) n);
}

tevo_tensor * hadamard_matrix(tevo_context * ctx, int64_t n) {
    tevo_tensor * h = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, n, n);
    for_each(h, [&](int64_t i0, int64_t i1, int64_t, int64_t) { set(h, (float) hadamard(i1, i0, n), i0, i1); });
    return h;
}

tevo_tensor * transform(tevo_context * ctx, tevo_tensor * h, tevo_tensor * x) {
    tevo_tensor * y = tevo_mul_mat(ctx, h, x);
    tevo_mul_mat_set_hint(y, 1);
    return y;
}

struct Case {
    int64_t   n, rows, planes;
    tevo_type type;
    bool      strided;
};

TEST(KernelFwht, AgainstTheExplicitMatrix) {
    const Case cases[] = {
        { 1, 3, 1, TEVO_TYPE_F32, false }, { 2, 2, 2, TEVO_TYPE_F32, true },   { 16, 3, 1, TEVO_TYPE_F16, false },
        { 64, 5, 2, TEVO_TYPE_F32, true }, { 256, 3, 3, TEVO_TYPE_F16, true }, { 1024, 2, 1, TEVO_TYPE_F32, false },
    };
    std::mt19937 rng(61);
    for (const Case & k : cases) {
        std::vector<uint32_t> first;
        for (int nt : thread_counts()) {
            SCOPED_TRACE(testing::Message() << "n " << k.n << " " << tevo_type_name(k.type) << " strided " << k.strided
                                            << " threads " << nt);
            Ctx           c(16);
            std::mt19937  r     = rng;
            const int64_t ne[4] = { k.n, k.rows, k.planes, 1 };
            tevo_tensor * x = k.strided ? padded(c.ctx, k.type, ne, 0) : tevo_new_tensor(c.ctx, k.type, 3, ne);
            fill(x, r);
            tevo_tensor * h     = hadamard_matrix(c.ctx, k.n);
            tevo_tensor * fast  = transform(c.ctx, h, x);
            // the same product without the hint, for float rows
            tevo_tensor * plain = k.type == TEVO_TYPE_F32 ? tevo_mul_mat(c.ctx, h, x) : nullptr;
            poison(fast);
            compute_n(c.ctx, fast, nt);
            if (plain) {
                compute(c.ctx, plain, 1);
            }

            for (int64_t i2 = 0; i2 < k.planes; ++i2) {
                for (int64_t i1 = 0; i1 < k.rows; ++i1) {
                    for (int64_t kk = 0; kk < k.n; ++kk) {
                        double want = 0.0;
                        for (int64_t i = 0; i < k.n; ++i) {
                            want += hadamard(kk, i, k.n) * get(x, i, i1, i2);
                        }
                        const double tol = 4e-7 * sqrt((double) k.n) * log2((double) k.n + 1);
                        ASSERT_NEAR(get(fast, kk, i1, i2), want, tol) << kk << " " << i1 << " " << i2;
                        if (plain) {
                            ASSERT_NEAR(get(fast, kk, i1, i2), get(plain, kk, i1, i2), 2 * tol);
                        }
                    }
                }
            }
            std::vector<uint32_t> got;
            for_each(fast, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                got.push_back(get_bits(fast, i0, i1, i2, i3));
            });
            if (first.empty()) {
                first = got;
            }
            ASSERT_EQ(got, first);
        }
        rng.discard(1000);
    }
}

TEST(KernelFwht, TwiceGivesTheInputBack) {
    std::mt19937 rng(62);
    for (int64_t n : { 8, 128, 1024 }) {
        SCOPED_TRACE(n);
        Ctx           c(16);
        tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, n, 4);
        fill(x, rng);
        // the transform does not read the matrix
        tevo_tensor * h = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, n, n);
        tevo_tensor * z = transform(c.ctx, h, transform(c.ctx, h, x));
        compute(c.ctx, z, 3);
        for (int64_t e = 0; e < tevo_nelements(x); ++e) {
            ASSERT_NEAR(get<float>(z, e), get<float>(x, e), 1e-6 * log2((double) n)) << e;
        }
    }
}

TEST(KernelFwht, SmallRowsExactly) {
    Ctx           c(1);
    tevo_tensor * x2 = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 2);
    put<float>(x2, 0, 0.3f);
    put<float>(x2, 1, -1.7f);
    tevo_tensor * x4 = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4);
    for (int i = 0; i < 4; ++i) {
        put<float>(x4, i, i == 0 ? 1.0f : 0.0f);
    }
    tevo_tensor * x1 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 1, 3);
    for (int i = 0; i < 3; ++i) {
        put<tevo_fp16_t>(x1, i, tevo_fp32_to_fp16(0.1f * (float) (i + 1)));
    }
    tevo_tensor * y2 = transform(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 2, 2), x2);
    tevo_tensor * y4 = transform(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 4), x4);
    tevo_tensor * y1 = transform(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 1, 1), x1);
    compute(c.ctx, std::vector<tevo_tensor *>{ y2, y4, y1 }, 1);

    // the first source is not read: its data was never set
    const float s = 1.0f / sqrtf(2.0f);
    EXPECT_EQ(bits(get<float>(y2, 0)), bits(s * 0.3f + s * -1.7f));
    EXPECT_EQ(bits(get<float>(y2, 1)), bits(s * 0.3f - s * -1.7f));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(get<float>(y4, i), 0.5f);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(get<float>(y1, i), tevo_fp16_to_fp32(get<tevo_fp16_t>(x1, i)));
    }
}

TEST(KernelFwht, ReferenceFlagKeepsThePlainProduct) {
    Ctx           c(2);
    std::mt19937  rng(63);
    tevo_tensor * a = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 8);
    tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 3);
    fill(a, rng);
    fill(x, rng);
    tevo_tensor * y = transform(c.ctx, a, x);

    tevo_cgraph * gf = tevo_new_graph(c.ctx);
    tevo_build_forward_expand(gf, y);
    tevo_cplan plan = tevo_graph_plan(gf, 3, nullptr);
    std::vector<uint8_t> work(plan.work_size + 1);
    plan.work_data = work.data();
    plan.use_ref   = true;
    ASSERT_EQ(tevo_graph_compute(gf, &plan), TEVO_STATUS_SUCCESS);
    for (int64_t j = 0; j < 3; ++j) {
        for (int64_t i = 0; i < 8; ++i) {
            double want = 0.0;
            for (int64_t l = 0; l < 8; ++l) {
                want += (double) get(a, l, i) * get(x, l, j);
            }
            ASSERT_NEAR(get(y, i, j), want, 1e-5) << i << " " << j;
        }
    }
}

TEST(KernelFwhtDeathTest, Checks) {
    death_setup();
    Ctx           c(1);
    tevo_tensor * y6 = transform(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, 6),
                                 tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, 2));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_fwht, y6), kernel_assert_re("(n & (n - 1)) == 0"));

    tevo_tensor * yb = transform(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_BF16, 8, 8),
                                 tevo_new_tensor_2d(c.ctx, TEVO_TYPE_BF16, 8, 2));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_fwht, yb),
                 kernel_abort_re("fatal error - fwht supports F32 and F16 input"));

    // a node whose rows were changed after the hint was set
    tevo_tensor * y8 = transform(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 8),
                                 tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 2));
    y8->ne[0] = 4;
    EXPECT_DEATH(call_kernel(tevo_compute_forward_fwht, y8), kernel_assert_re("dst->ne[0] == n"));
}

} // namespace
