// Row softmax with scale, masks, positional slopes and sinks, its gradient,
// the causal masks, DIAG and CLAMP on the CPU, against double references.

#include "kernel-test-helpers.h"

#include <cmath>
#include <limits>
#include <vector>

namespace {

using kt::Ctx;

const float kInf = std::numeric_limits<float>::infinity();

struct SoftMaxCase {
    int64_t   ne[4];      // x
    tevo_type mask_type;  // TEVO_TYPE_COUNT: no mask
    int64_t   mask_rows;  // >= ne[1]
    int64_t   mask_ne[2]; // extents 2 and 3 of the mask (broadcast over x)
    float     scale;
    float     max_bias;
    bool      sinks;
};

// slope of head h by the rule for n_head heads (powers of two of m0, then odd powers of m1)
double ref_slope(int64_t h, int64_t n_head, double max_bias) {
    if (!(max_bias > 0)) {
        return 1.0;
    }
    const int64_t n_log2 = (int64_t) 1 << (int64_t) std::floor(std::log2((double) n_head));
    const double  m0     = std::pow(2.0, -max_bias / (double) n_log2);
    const double  m1     = std::pow(2.0, -0.5 * max_bias / (double) n_log2);
    return h < n_log2 ? std::pow(m0, (double) (h + 1)) : std::pow(m1, (double) (2 * (h - n_log2) + 1));
}

struct SoftMaxRun {
    tevo_tensor * x     = nullptr;
    tevo_tensor * mask  = nullptr;
    tevo_tensor * sinks = nullptr;
    tevo_tensor * y     = nullptr;
};

SoftMaxRun build_soft_max(tevo_context * ctx, const SoftMaxCase & sc) {
    SoftMaxRun r;
    r.x = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, sc.ne[0], sc.ne[1], sc.ne[2], sc.ne[3]);
    if (sc.mask_type != TEVO_TYPE_COUNT) {
        r.mask = tevo_new_tensor_4d(ctx, sc.mask_type, sc.ne[0], sc.mask_rows, sc.mask_ne[0], sc.mask_ne[1]);
    }
    r.y = tevo_soft_max_ext(ctx, r.x, r.mask, sc.scale, sc.max_bias);
    if (sc.sinks) {
        r.sinks = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, sc.ne[2]);
        tevo_soft_max_add_sinks(r.y, r.sinks);
    }
    return r;
}

void fill_soft_max(const SoftMaxRun & r, uint32_t seed) {
    std::mt19937 rng(seed);
    kt::fill(r.x, rng, -4.0f, 4.0f);
    if (r.mask) {
        kt::fill(r.mask, rng, -2.0f, 2.0f);
        // some columns cut off entirely
        kt::for_each(r.mask, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
            if ((i0 * 7 + i1 * 3 + i2) % 5 == 0)
                kt::set(r.mask, -kInf, i0, i1, i2, i3);
        });
    }
    if (r.sinks) {
        kt::fill(r.sinks, rng, -1.0f, 3.0f);
    }
}

void check_soft_max(const SoftMaxRun & r, const SoftMaxCase & sc) {
    const int64_t ne00 = sc.ne[0];
    for (int64_t i3 = 0; i3 < sc.ne[3]; ++i3)
        for (int64_t i2 = 0; i2 < sc.ne[2]; ++i2) {
            const double slope = ref_slope(i2, sc.ne[2], sc.max_bias);
            for (int64_t i1 = 0; i1 < sc.ne[1]; ++i1) {
                std::vector<double> w(ne00);
                double              max = -INFINITY;
                for (int64_t i0 = 0; i0 < ne00; ++i0) {
                    w[i0] = (double) sc.scale * kt::get(r.x, i0, i1, i2, i3);
                    if (r.mask) {
                        const double m = kt::get(r.mask, i0, i1, i2 % sc.mask_ne[0], i3 % sc.mask_ne[1]);
                        w[i0] += slope * m;
                    }
                    max = std::max(max, w[i0]);
                }
                const double sink = r.sinks ? kt::get(r.sinks, i2) : -INFINITY;
                max               = std::max(max, sink);
                double sum        = r.sinks ? std::exp(sink - max) : 0.0;
                for (double v : w) sum += std::exp(v - max);
                for (int64_t i0 = 0; i0 < ne00; ++i0) {
                    const double want = std::exp(w[i0] - max) / sum;
                    ASSERT_NEAR(kt::get(r.y, i0, i1, i2, i3), want, 1e-7 + 2e-5 * want)
                        << i0 << "," << i1 << "," << i2 << "," << i3;
                }
            }
        }
}

TEST(KernelSoftMax, ScaleMasksSlopesAndSinksOverShapesAndThreads) {
    const tevo_type                none  = TEVO_TYPE_COUNT;
    const std::vector<SoftMaxCase> cases = {
        { { 16, 4, 1, 1 }, none, 0, { 1, 1 }, 1.0f, 0.0f, false },
        { { 37, 5, 3, 2 }, none, 0, { 1, 1 }, 0.3f, 0.0f, false },
        { { 1, 3, 2, 1 }, none, 0, { 1, 1 }, 1.0f, 0.0f, false },
        { { 64, 6, 4, 1 }, TEVO_TYPE_F32, 6, { 4, 1 }, 0.125f, 0.0f, false },
        { { 33, 5, 4, 2 }, TEVO_TYPE_F16, 8, { 1, 1 }, 0.5f, 0.0f, false },   // wider mask, one for all heads
        { { 19, 3, 4, 2 }, TEVO_TYPE_F16, 3, { 2, 2 }, 1.0f, 0.0f, false },   // mask repeats over heads
        { { 24, 4, 12, 1 }, TEVO_TYPE_F32, 4, { 1, 1 }, 0.25f, 8.0f, false }, // 12 heads: 8 powers of m0, 4 of m1
        { { 17, 3, 5, 1 }, TEVO_TYPE_F16, 5, { 5, 1 }, 1.0f, 2.0f, false },
        { { 29, 4, 3, 1 }, none, 0, { 1, 1 }, 1.0f, 0.0f, true },
        { { 40, 7, 6, 1 }, TEVO_TYPE_F16, 7, { 1, 1 }, 0.7f, 4.0f, true },
    };
    for (const SoftMaxCase & sc : cases) {
        for (int nth : kt::thread_counts()) {
            SCOPED_TRACE("ne0=" + std::to_string(sc.ne[0]) + " heads=" + std::to_string(sc.ne[2]) +
                         " max_bias=" + std::to_string(sc.max_bias) + " nth=" + std::to_string(nth));
            Ctx        c;
            SoftMaxRun r = build_soft_max(c.ctx, sc);
            fill_soft_max(r, 31);
            kt::compute(c.ctx, { r.y }, nth);
            check_soft_max(r, sc);
        }
    }
}

TEST(KernelSoftMax, SlopesOfTwelveHeads) {
    // with a mask of ones and x of zeros, column 0 against column 1 (mask 0)
    // gives e^slope, so each head's slope can be read back
    Ctx           c;
    tevo_tensor * x    = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 2, 1, 12);
    tevo_tensor * mask = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 2, 1);
    memset(x->data, 0, tevo_nbytes(x));
    kt::set(mask, 1.0f, 0);
    kt::set(mask, 0.0f, 1);
    tevo_tensor * y = tevo_soft_max_ext(c.ctx, x, mask, 1.0f, 8.0f);
    kt::compute(c.ctx, { y }, 3);
    const double want[12] = {
        1.0 / 2,   1.0 / 4,   1.0 / 8,        1.0 / 16,           1.0 / 32,           1.0 / 64,
        1.0 / 128, 1.0 / 256, std::sqrt(0.5), std::pow(0.5, 1.5), std::pow(0.5, 2.5), std::pow(0.5, 3.5)
    };
    for (int h = 0; h < 12; ++h) {
        const double slope = std::log((double) kt::get(y, 0, 0, h) / (double) kt::get(y, 1, 0, h));
        EXPECT_NEAR(slope, want[h], 1e-6) << "head " << h;
    }
}

TEST(KernelSoftMax, AllMaskedRows) {
    Ctx           c;
    tevo_tensor * x    = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 10, 3, 2);
    tevo_tensor * mask = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 10, 3);
    std::mt19937  rng(1);
    kt::fill(x, rng);
    kt::fill(mask, rng);
    for (int i = 0; i < 10; ++i) kt::set(mask, -kInf, i, 1); // row 1 masked whole

    tevo_tensor * plain = tevo_soft_max_ext(c.ctx, x, mask, 1.0f, 0.0f);
    tevo_tensor * sunk  = tevo_soft_max_ext(c.ctx, x, mask, 1.0f, 0.0f);
    tevo_tensor * sinks = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 2);
    kt::set(sinks, 0.5f, 0);
    kt::set(sinks, -3.0f, 1);
    tevo_soft_max_add_sinks(sunk, sinks);
    kt::compute(c.ctx, { plain, sunk }, 3);

    for (int h = 0; h < 2; ++h) {
        double sum_other = 0;
        for (int i = 0; i < 10; ++i) {
            // with a finite sink the row is all zeros
            EXPECT_EQ(kt::bits(kt::get(sunk, i, 1, h)), 0u);
            // without one there is nothing to normalise by: no number comes out
            EXPECT_TRUE(std::isnan(kt::get(plain, i, 1, h)));
            sum_other += kt::get(plain, i, 2, h);
        }
        EXPECT_NEAR(sum_other, 1.0, 1e-6); // the rows around it are untouched
    }
}

TEST(KernelSoftMax, SinkAtTheRowMaximumLeavesRowsBelowOne) {
    Ctx           c;
    tevo_tensor * x = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 9, 4, 2);
    std::mt19937  rng(2);
    kt::fill(x, rng);
    tevo_tensor * y     = tevo_soft_max_ext(c.ctx, x, nullptr, 1.0f, 0.0f);
    tevo_tensor * sinks = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 2);
    kt::set(sinks, 1.0f, 0); // x is below 1: the sink is every row's maximum
    kt::set(sinks, -50.0f, 1);
    tevo_soft_max_add_sinks(y, sinks);
    kt::compute(c.ctx, { y }, 2);
    for (int r = 0; r < 4; ++r) {
        double s0 = 0, s1 = 0;
        for (int i = 0; i < 9; ++i) {
            s0 += kt::get(y, i, r, 0);
            s1 += kt::get(y, i, r, 1);
        }
        EXPECT_LT(s0, 0.9);
        EXPECT_NEAR(s1, 1.0, 1e-6);
    }
}

TEST(KernelSoftMax, ThroughTheCpuBackend) {
    const SoftMaxCase sc = { { 48, 5, 6, 1 }, TEVO_TYPE_F16, 6, { 1, 1 }, 0.5f, 0.0f, true };
    SoftMaxRun        r;
    kt::compute_on_backend(
        [&](tevo_context * ctx) {
            r = build_soft_max(ctx, sc);
            return r.y;
        },
        [&] { fill_soft_max(r, 41); }, [&](tevo_tensor *) { check_soft_max(r, sc); }, 4);
}

// Operands made by transposing [1, ne0, ne2, ne3] are packed, but their
// stride of dimension 1 (extent 1) is one element: rows are found by all
// their strides, not as multiples of that one.
TEST(KernelSoftMax, GradientOverShapesLayoutsAndThreads) {
    struct Case {
        int64_t ne[4];
        float   scale;
        bool    transposed;
    };
    for (const Case & gc : { Case{ { 16, 4, 1, 1 }, 1.0f, false }, Case{ { 35, 7, 3, 1 }, 0.4f, false },
                             Case{ { 1, 5, 1, 1 }, 2.0f, false }, Case{ { 3, 1, 3, 1 }, 1.0f, true },
                             Case{ { 5, 1, 2, 1 }, 0.7f, true }, Case{ { 6, 1, 4, 2 }, 1.0f, true } }) {
        for (int nth : kt::thread_counts()) {
            SCOPED_TRACE("ne0=" + std::to_string(gc.ne[0]) + " transposed=" + std::to_string(gc.transposed) +
                         " nth=" + std::to_string(nth));
            Ctx  c;
            auto operand = [&]() {
                if (gc.transposed) {
                    return tevo_transpose(c.ctx, tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, 1, gc.ne[0], gc.ne[2], gc.ne[3]));
                }
                return tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, gc.ne[0], gc.ne[1], gc.ne[2], gc.ne[3]);
            };
            std::mt19937  rng(43);
            tevo_tensor * dy = operand();
            tevo_tensor * y  = operand();
            ASSERT_TRUE(tevo_is_contiguous(dy));
            kt::fill(dy, rng);
            kt::fill(y, rng, 0.0f, 0.3f);
            tevo_tensor * dx = tevo_soft_max_ext_back(c.ctx, dy, y, gc.scale, 0.0f);
            kt::compute(c.ctx, { dx }, nth);
            for (int64_t i3 = 0; i3 < gc.ne[3]; ++i3)
                for (int64_t i2 = 0; i2 < gc.ne[2]; ++i2)
                    for (int64_t i1 = 0; i1 < gc.ne[1]; ++i1) {
                        double dot = 0;
                        for (int64_t i0 = 0; i0 < gc.ne[0]; ++i0)
                            dot += (double) kt::get(y, i0, i1, i2, i3) * kt::get(dy, i0, i1, i2, i3);
                        for (int64_t i0 = 0; i0 < gc.ne[0]; ++i0) {
                            const double want =
                                gc.scale * (kt::get(dy, i0, i1, i2, i3) - dot) * kt::get(y, i0, i1, i2, i3);
                            ASSERT_NEAR(kt::get(dx, i0, i1, i2, i3), want, 1e-6) << i0 << "," << i1 << "," << i2;
                        }
                    }
        }
    }
}

// ---------------------------------------------------------------------------
// causal masks

TEST(KernelDiagMask, FourByFourAndPastBeyondTheRow) {
    for (int nth : kt::thread_counts()) {
        Ctx           c;
        std::mt19937  rng(3);
        tevo_tensor * x = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 4, 3);
        kt::fill(x, rng);
        tevo_tensor * inf  = tevo_diag_mask_inf(c.ctx, x, 0);
        tevo_tensor * zero = tevo_diag_mask_zero(c.ctx, x, 1);
        tevo_tensor * none = tevo_diag_mask_inf(c.ctx, x, 4);
        kt::poison(inf);
        kt::compute(c.ctx, { inf, zero, none }, nth);
        int masked = 0;
        kt::for_each(x, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
            const float v = kt::get(x, i0, i1, i2, i3);
            if (i0 > i1) {
                EXPECT_EQ(kt::get(inf, i0, i1, i2, i3), -kInf);
                masked++;
            } else {
                EXPECT_EQ(kt::get(inf, i0, i1, i2, i3), v); // a full copy besides the mask
            }
            EXPECT_EQ(kt::get(zero, i0, i1, i2, i3), i0 > i1 + 1 ? 0.0f : v);
            EXPECT_EQ(kt::get(none, i0, i1, i2, i3), v);
        });
        EXPECT_EQ(masked, 6 * 3);
    }
}

TEST(KernelDiagMask, InPlaceOverAViewThatIsNotPacked) {
    for (int nth : kt::thread_counts()) {
        Ctx           c;
        std::mt19937  rng(4);
        tevo_tensor * base = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, 7, 3, 5, 2);
        kt::fill(base, rng);
        std::vector<float> before((size_t) tevo_nelements(base));
        memcpy(before.data(), base->data, before.size() * sizeof(float));
        tevo_tensor * v = tevo_permute(c.ctx, base, 0, 2, 1, 3); // rows 5 long, 3 planes apart by a row
        tevo_tensor * m = tevo_diag_mask_inf_inplace(c.ctx, v, 2);
        kt::compute(c.ctx, { m }, nth);
        kt::for_each(base, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
            // row of the view is i2 of the base
            const float was = before[(size_t) (((i3 * 5 + i2) * 3 + i1) * 7 + i0)];
            EXPECT_EQ(kt::get(base, i0, i1, i2, i3), i0 > 2 + i2 ? -kInf : was) << i0 << "," << i1 << "," << i2;
        });
    }
}

// ---------------------------------------------------------------------------
// DIAG and CLAMP

TEST(KernelDiag, VectorToDiagonalFromAStridedSource) {
    Ctx           c;
    std::mt19937  rng(5);
    tevo_tensor * base = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, 6, 3, 2, 2);
    kt::fill(base, rng);
    // row 1 of each plane
    tevo_tensor * v = tevo_view_4d(c.ctx, base, 6, 1, 2, 2, base->nb[1], base->nb[2], base->nb[3], base->nb[1]);
    tevo_tensor * d = tevo_diag(c.ctx, v);
    kt::poison(d);
    kt::compute(c.ctx, { d }, 3);
    kt::for_each(d, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        EXPECT_EQ(kt::get(d, i0, i1, i2, i3), i0 == i1 ? kt::get(base, i0, 1, i2, i3) : 0.0f);
    });
}

TEST(KernelClamp, FloatAndHalfOverViewsWithNan) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (tevo_type type : { TEVO_TYPE_F32, TEVO_TYPE_F16 }) {
        for (int nth : kt::thread_counts()) {
            SCOPED_TRACE(std::string(tevo_type_name(type)) + " nth=" + std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(6);
            tevo_tensor * base = tevo_new_tensor_4d(c.ctx, type, 19, 4, 3, 2);
            kt::fill(base, rng, -3.0f, 3.0f);
            kt::set(base, nan, 2, 1, 1, 0);
            kt::set(base, kInf, 3, 1, 1, 0);
            kt::set(base, -kInf, 4, 1, 1, 0);
            std::vector<float> before;
            kt::for_each(base, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                before.push_back(kt::get(base, i0, i1, i2, i3));
            });

            tevo_tensor * v   = tevo_permute(c.ctx, base, 0, 2, 1, 3);
            tevo_tensor * out = tevo_clamp(c.ctx, v, -1.25f, 0.75f);
            tevo_tensor * in  = tevo_clamp_inplace(c.ctx, tevo_permute(c.ctx, base, 0, 2, 1, 3), -0.5f, 0.5f);
            kt::compute(c.ctx, { out }, nth);
            kt::compute(c.ctx, { in }, nth);

            size_t k = 0;
            kt::for_each(base, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                const float was  = before[k++];
                const float a    = std::isnan(was) ? 0.75f : std::min(std::max(was, -1.25f), 0.75f);
                const float b    = std::isnan(was) ? 0.5f : std::min(std::max(was, -0.5f), 0.5f);
                const float got1 = kt::get(out, i0, i2, i1, i3); // out has the view's extents
                EXPECT_EQ(got1, type == TEVO_TYPE_F16 ? tevo_fp16_to_fp32(tevo_fp32_to_fp16(a)) : a);
                EXPECT_EQ(kt::get(base, i0, i1, i2, i3),
                          type == TEVO_TYPE_F16 ? tevo_fp16_to_fp32(tevo_fp32_to_fp16(b)) : b);
            });
        }
    }
}

// ---------------------------------------------------------------------------
// refusals

struct KernelSoftMaxDeath : ::testing::Test {
    Ctx c;
};

TEST_F(KernelSoftMaxDeath, TypesAndParameters) {
    tevo_tensor * h = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 8, 2);
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_soft_max, tevo_soft_max(c.ctx, h)),
                 kt::kernel_abort_re("fatal error"));
    EXPECT_DEATH(
        kt::call_kernel(tevo_compute_forward_soft_max_ext_back, tevo_soft_max_ext_back(c.ctx, h, h, 1.0f, 0.0f)),
        kt::kernel_abort_re("fatal error"));
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_diag_mask_inf, tevo_diag_mask_inf(c.ctx, h, 0)),
                 kt::kernel_abort_re("fatal error"));
    EXPECT_DEATH(
        kt::call_kernel(tevo_compute_forward_diag, tevo_diag(c.ctx, tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F16, 4))),
        kt::kernel_abort_re("fatal error"));
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_clamp,
                                 tevo_clamp(c.ctx, tevo_new_tensor_1d(c.ctx, TEVO_TYPE_I32, 4), 0, 1)),
                 kt::kernel_abort_re("fatal error"));

    tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 2);
    EXPECT_DEATH(
        kt::call_kernel(tevo_compute_forward_soft_max_ext_back, tevo_soft_max_ext_back(c.ctx, x, x, 1.0f, 1.0f)),
        kt::kernel_assert_re("max_bias == 0.0f"));
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_soft_max_ext_back,
                                 tevo_soft_max_ext_back(c.ctx, tevo_transpose(c.ctx, x), x, 1.0f, 0.0f)),
                 kt::kernel_assert_re("tevo_is_contiguous(src0)"));
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_diag_mask_zero, tevo_diag_mask_zero(c.ctx, x, -1)),
                 kt::kernel_assert_re("n_past >= 0"));

    tevo_tensor * d = tevo_diag(c.ctx, tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 4));
    d->ne[1]        = 3;
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_diag, d), kt::kernel_assert_re("ne00 == ne1"));

    tevo_tensor * hc = tevo_clamp(c.ctx, tevo_transpose(c.ctx, h), 0, 1);
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_clamp, hc), kt::kernel_assert_re("nb00 == sizeof(tevo_fp16_t)"));
}

// Thread ith's scratch row is ne00 + 16 floats at ith * (ne00 + 16): a work
// buffer without that room, or none at all, is refused before it is written.
TEST_F(KernelSoftMaxDeath, WorkBufferWithoutTheThreadsRow) {
    tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 3);
    std::mt19937  rng(5);
    kt::fill(x, rng);
    tevo_tensor * y = tevo_soft_max(c.ctx, x);
    struct Sub {
        int    ith, nth;
        size_t floats; // 0: no buffer
    } subs[] = { { 0, 1, 0 }, { 0, 1, 8 + 15 }, { 1, 2, 2 * (8 + 16) - 1 }, { 2, 4, 3 * (8 + 16) - 1 } };
    for (const Sub & s : subs) {
        std::vector<float>  work(s.floats);
        tevo_compute_params p = {};
        p.ith                 = s.ith;
        p.nth                 = s.nth;
        p.wsize               = s.floats * sizeof(float);
        p.wdata               = s.floats ? work.data() : nullptr;
        EXPECT_DEATH(tevo_compute_forward_soft_max(&p, y),
                     kt::kernel_assert_re("params->wsize >= (size_t) (ith + 1) * (size_t) (ne00 + 16) * sizeof(float)"))
            << s.ith << " of " << s.nth << ", " << s.floats << " floats";
    }
}

} // namespace
