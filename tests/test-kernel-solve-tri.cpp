// The triangular solve on the CPU: X with A X = B for batches of lower
// triangular A, against forward substitution in double and by its residual,
// with the upper triangle filled with values that must be ignored, 1, 3 and 8
// threads (more threads than columns) and the same bits at every count.

#include "kernel-test-helpers.h"

namespace {

using namespace kt;

struct Case {
    int64_t n, m, ne2, ne3;
};

TEST(KernelSolveTri, AgainstForwardSubstitutionAndResidual) {
    const Case cases[] = {
        { 1, 3, 1, 1 }, { 5, 1, 2, 3 }, { 5, 7, 1, 1 }, { 33, 3, 2, 1 }, { 64, 10, 1, 2 },
    };
    std::mt19937 rng(31);
    for (const Case & k : cases) {
        std::vector<uint32_t> first;
        for (int nt : thread_counts()) {
            SCOPED_TRACE(testing::Message() << "n " << k.n << " m " << k.m << " batch " << k.ne2 << "x" << k.ne3
                                            << " threads " << nt);
            Ctx           c(8);
            std::mt19937  r = rng;
            tevo_tensor * A = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, k.n, k.n, k.ne2, k.ne3);
            tevo_tensor * B = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, k.m, k.n, k.ne2, k.ne3);
            // a diagonal away from zero keeps the system well conditioned;
            // the upper triangle holds large values that must not be read
            fill(A, r, -0.5f, 0.5f);
            fill(B, r);
            for_each(A, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                if (i0 == i1) {
                    set(A, 1.0f + 0.5f * (float) ((i0 + i2) % 3), i0, i1, i2, i3);
                } else if (i0 > i1) {
                    set(A, 1e6f, i0, i1, i2, i3);
                }
            });
            tevo_tensor * X = tevo_solve_tri(c.ctx, A, B, true, true, false);
            poison(X);
            compute_n(c.ctx, X, nt);

            std::vector<uint32_t> got;
            for (int64_t i3 = 0; i3 < k.ne3; ++i3) {
                for (int64_t i2 = 0; i2 < k.ne2; ++i2) {
                    for (int64_t col = 0; col < k.m; ++col) {
                        std::vector<double> x(k.n);
                        for (int64_t j = 0; j < k.n; ++j) {
                            double s = 0.0;
                            for (int64_t l = 0; l < j; ++l) {
                                s += (double) get(A, l, j, i2, i3) * x[l];
                            }
                            x[j] = (get(B, col, j, i2, i3) - s) / get(A, j, j, i2, i3);
                            ASSERT_NEAR(get(X, col, j, i2, i3), x[j], 1e-5 * (1.0 + fabs(x[j]))) << col << " " << j;
                        }
                        // the residual of the computed X
                        for (int64_t j = 0; j < k.n; ++j) {
                            double ax = 0.0, mag = 0.0;
                            for (int64_t l = 0; l <= j; ++l) {
                                const double p = (double) get(A, l, j, i2, i3) * get(X, col, l, i2, i3);
                                ax += p;
                                mag += fabs(p);
                            }
                            ASSERT_NEAR(ax, get(B, col, j, i2, i3), 1e-6 * (1.0 + mag)) << col << " " << j;
                        }
                    }
                }
            }
            for (int64_t e = 0; e < tevo_nelements(X); ++e) {
                got.push_back(bits(((const float *) X->data)[e]));
            }
            if (first.empty()) {
                first = got;
            }
            ASSERT_EQ(got, first);
        }
        rng.discard(1000);
    }
}

TEST(KernelSolveTri, OneRowDividesAndAZeroDiagonalDoesNotStop) {
    Ctx           c(1);
    tevo_tensor * A = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 1, 1);
    tevo_tensor * B = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 3, 1);
    put<float>(A, 0, 3.0f);
    for (int i = 0; i < 3; ++i) {
        put<float>(B, i, 0.1f * (float) (i + 1));
    }
    tevo_tensor * X = tevo_solve_tri(c.ctx, A, B, true, true, false);
    compute(c.ctx, X, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(bits(get<float>(X, i)), bits(get<float>(B, i) / 3.0f));
    }

    // a zero in row 1 of the diagonal: infinities or NaN from row 1 on, row 0 exact
    tevo_tensor * A2 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 3, 3);
    tevo_tensor * B2 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 1, 3);
    const float   a[] = { 2, 0, 0, 1, 0, 0, 1, 1, 1 };
    memcpy(A2->data, a, sizeof(a));
    for (int i = 0; i < 3; ++i) {
        put<float>(B2, i, 1.0f);
    }
    tevo_tensor * X2 = tevo_solve_tri(c.ctx, A2, B2, true, true, false);
    compute(c.ctx, X2, 1);
    EXPECT_EQ(get<float>(X2, 0), 0.5f);
    EXPECT_FALSE(std::isfinite(get<float>(X2, 1)));
    EXPECT_FALSE(std::isfinite(get<float>(X2, 2)));
}

TEST(KernelSolveTriDeathTest, Checks) {
    death_setup();
    Ctx           c(1);
    tevo_tensor * X = tevo_solve_tri(c.ctx, tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 4, 2),
                                     tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 3, 4, 2), true, true, false);
    tevo_tensor * B = X->src[1];
    X->src[1]       = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 3, 4, 1);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_solve_tri, X), kernel_assert_re("ne02 == ne12 && ne12 == ne2"));
    X->src[1] = B;
    X->src[0] = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F16, 4, 4, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_solve_tri, X), kernel_abort_re("fatal error"));
}

} // namespace
