// The leaky rectifier and the SiLU gradient on the CPU: float and half rows,
// packed, padded and permuted operands, against the element rules bit for bit
// and a double-precision reference, with 1, 3 and 8 threads; their edge
// values; and the refusals of mismatched operands.

#include "kernel-test-helpers.h"

// the replays below are the kernels' own roundings, not contracted ones
#pragma GCC optimize("fp-contract=off")

namespace {

using namespace kt;

float round_to(tevo_type type, float v) {
    return type == TEVO_TYPE_F16 ? tevo_fp16_to_fp32(tevo_fp32_to_fp16(v)) : v;
}

float leaky_rule(float x, float slope) {
    const float hi = x > 0.0f ? x : 0.0f;
    const float lo = x < 0.0f ? x : 0.0f;
    return fmaf(slope, lo, hi);
}

float silu_back_rule(float x, float dy) {
    const float s = 1.0f / (1.0f + expf(-x));
    return (s * dy) * fmaf(1.0f - s, x, 1.0f);
}

double silu_back_ref(double x, double dy) {
    const double s = 1.0 / (1.0 + exp(-x));
    return dy * s * (1.0 + x * (1.0 - s));
}

// a tensor of the given extents, laid out packed, with padded rows, or as
// the transpose of a packed tensor
enum Layout { PACKED, PADDED, PERMUTED };

tevo_tensor * make(tevo_context * ctx, tevo_type type, Layout layout, int64_t ne0, int64_t ne1, int64_t ne2) {
    switch (layout) {
        case PACKED: return tevo_new_tensor_3d(ctx, type, ne0, ne1, ne2);
        case PADDED: {
            tevo_tensor * big = tevo_new_tensor_3d(ctx, type, ne0 + 5, ne1, ne2);
            return tevo_view_3d(ctx, big, ne0, ne1, ne2, big->nb[1], big->nb[2], 0);
        }
        case PERMUTED: {
            // dimensions 1 and 2 exchanged: rows are not evenly spaced by nb[1]
            tevo_tensor * base = tevo_new_tensor_3d(ctx, type, ne0, ne2, ne1);
            return tevo_permute(ctx, base, 0, 2, 1, 3);
        }
    }
    return nullptr;
}

TEST(KernelLeakyRelu, EveryLayoutMatchesTheRule) {
    std::mt19937 rng(3);
    for (tevo_type type : { TEVO_TYPE_F32, TEVO_TYPE_F16 }) {
        for (Layout layout : { PACKED, PADDED, PERMUTED }) {
            for (bool inplace : { false, true }) {
                SCOPED_TRACE(testing::Message() << tevo_type_name(type) << " layout " << layout << " inplace " << inplace);
                Ctx           c;
                tevo_tensor * x = make(c.ctx, type, layout, 21, 4, 3);
                fill(x, rng, -3.0f, 3.0f);
                std::vector<float> before;
                for_each(x, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) { before.push_back(get(x, i0, i1, i2, i3)); });

                tevo_tensor * y = tevo_leaky_relu(c.ctx, x, 0.1f, inplace);
                compute(c.ctx, y, 4);

                size_t k = 0;
                for_each(y, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                    const float want = round_to(type, leaky_rule(before[k++], 0.1f));
                    ASSERT_EQ(bits(get(y, i0, i1, i2, i3)), bits(want)) << i0 << "," << i1 << "," << i2;
                });
            }
        }
    }
}

TEST(KernelLeakyRelu, EdgeValues) {
    Ctx           c;
    const float   in[]   = { -2.0f, 3.0f, -0.0f, NAN, -INFINITY, INFINITY, 0.0f, -1e-30f, 5.0f };
    const float   want[] = { -0.2f, 3.0f, 0.0f, 0.0f, -INFINITY, INFINITY, 0.0f, -1e-31f, 5.0f };
    tevo_tensor * x      = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 9);
    memcpy(x->data, in, sizeof(in));
    tevo_tensor * y = tevo_leaky_relu(c.ctx, x, 0.1f, false);
    compute(c.ctx, y, 1);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(bits(((float *) y->data)[i]), bits(fmaf(0.1f, in[i] < 0 ? in[i] : 0.0f, in[i] > 0 ? in[i] : 0.0f)))
            << i;
        EXPECT_FLOAT_EQ(((float *) y->data)[i], want[i]) << i;
    }
    // -0 and NaN give +0
    EXPECT_EQ(bits(((float *) y->data)[2]), 0u);
    EXPECT_EQ(bits(((float *) y->data)[3]), 0u);
}

TEST(KernelSiluBack, EveryLayoutAndThreadCountMatchesTheRule) {
    std::mt19937 rng(5);
    for (tevo_type type : { TEVO_TYPE_F32, TEVO_TYPE_F16 }) {
        for (Layout ldy : { PACKED, PADDED, PERMUTED }) {
            for (Layout lx : { PACKED, PERMUTED }) {
                for (int nth : thread_counts()) {
                    SCOPED_TRACE(testing::Message() << tevo_type_name(type) << " dy " << ldy << " x " << lx << " nth " << nth);
                    Ctx           c;
                    tevo_tensor * dy = make(c.ctx, type, ldy, 19, 5, 3);
                    tevo_tensor * x  = make(c.ctx, type, lx, 19, 5, 3);
                    fill(dy, rng, -2.0f, 2.0f);
                    fill(x, rng, -6.0f, 6.0f);
                    tevo_tensor * dx = tevo_silu_back(c.ctx, dy, x);
                    poison(dx);
                    compute_n(c.ctx, dx, nth);
                    for_each(dx, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                        const float xv   = get(x, i0, i1, i2, i3);
                        const float dyv  = get(dy, i0, i1, i2, i3);
                        const float got  = get(dx, i0, i1, i2, i3);
                        const float want = round_to(type, silu_back_rule(xv, dyv));
                        ASSERT_EQ(bits(got), bits(want)) << i0 << "," << i1 << "," << i2;
                        EXPECT_NEAR(got, silu_back_ref(xv, dyv), type == TEVO_TYPE_F16 ? 4e-3 : 1e-6);
                    });
                }
            }
        }
    }
}

TEST(KernelSiluBack, EdgeValues) {
    Ctx           c;
    const float   xs[]  = { 0.0f, -100.0f, 100.0f, -88.0f, 20.0f };
    const float   dys[] = { 1.0f, 3.0f, 0.75f, 1.0f, -2.0f };
    tevo_tensor * x     = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 5);
    tevo_tensor * dy    = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 5);
    memcpy(x->data, xs, sizeof(xs));
    memcpy(dy->data, dys, sizeof(dys));
    tevo_tensor * dx = tevo_silu_back(c.ctx, dy, x);
    compute(c.ctx, dx, 8);
    const float * r = (const float *) dx->data;
    EXPECT_EQ(r[0], 0.5f);   // s = 1/2, factor 1
    EXPECT_EQ(r[1], 0.0f);   // e^100 overflows, s = 0
    EXPECT_EQ(r[2], 0.75f);  // s = 1: the incoming gradient itself
    EXPECT_NEAR(r[3], silu_back_ref(-88.0, 1.0), 1e-30);
    EXPECT_NEAR(r[4], silu_back_ref(20.0, -2.0), 1e-6);
}

TEST(KernelLeakyReluSiluBackDeathTest, Refusals) {
    death_setup();
    Ctx c;
    tevo_tensor * bf = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_BF16, 8, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_leaky_relu, tevo_leaky_relu(c.ctx, bf, 0.1f, false)),
                 kernel_abort_re("fatal error"));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_silu_back, tevo_silu_back(c.ctx, bf, bf)),
                 kernel_abort_re("fatal error"));

    // x of another type than the gradient would be read as the gradient's type
    tevo_tensor * g32 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 2);
    tevo_tensor * x16 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 8, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_silu_back, tevo_silu_back(c.ctx, g32, x16)),
                 kernel_assert_re("t->type == type"));
    // and of another shape, read past its end
    tevo_tensor * x_short = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 1);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_silu_back, tevo_silu_back(c.ctx, g32, x_short)),
                 kernel_assert_re("tevo_are_same_shape(t, dst)"));
    // elements that are not packed
    tevo_tensor * xt = tevo_transpose(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 2, 8));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_silu_back, tevo_silu_back(c.ctx, g32, xt)),
                 kernel_assert_re("t->nb[0] == tevo_type_size(type)"));
    // a destination of the other type
    tevo_tensor * y = tevo_leaky_relu(c.ctx, g32, 0.1f, false);
    y->type         = TEVO_TYPE_F16;
    EXPECT_DEATH(call_kernel(tevo_compute_forward_leaky_relu, y), kernel_assert_re("t->type == type"));
}

} // namespace
