// Pooling on the CPU: 1-D and 2-D maximum and average over windows with
// stride and padding, on float and half inputs, packed, strided and
// permuted, against double references; the 2-D gradient (maximum routed to
// the first maximum, the average as the adjoint of the forward pass); the
// inputs the kernels refuse.

#include "kernel-test-helpers.h"

#include <cfloat>
#include <cmath>
#include <vector>

namespace {

using namespace kt;

enum class Layout { packed, strided, permuted };

// [ne0, ne1, ne2, ne3] of the given type: packed, with gaps between rows and
// planes, or a permuted view whose planes (dims 2 and 3) are swapped in memory
tevo_tensor * make_input(tevo_context * ctx, tevo_type type, const int64_t ne[4], Layout layout) {
    switch (layout) {
        case Layout::packed: return tevo_new_tensor_4d(ctx, type, ne[0], ne[1], ne[2], ne[3]);
        case Layout::strided: {
            tevo_tensor * b = tevo_new_tensor_4d(ctx, type, ne[0] + 3, ne[1] + 2, ne[2], ne[3]);
            return tevo_view_4d(ctx, b, ne[0], ne[1], ne[2], ne[3], b->nb[1], b->nb[2], b->nb[3], b->nb[0]);
        }
        case Layout::permuted: {
            tevo_tensor * b = tevo_new_tensor_4d(ctx, type, ne[0], ne[1], ne[3], ne[2]);
            return tevo_permute(ctx, b, 0, 1, 3, 2);
        }
    }
    return nullptr;
}

const char * layout_name(Layout l) {
    return l == Layout::packed ? "packed" : l == Layout::strided ? "strided" : "permuted";
}

struct PoolCase {
    bool           is_2d;
    tevo_op_pool   op;
    int64_t        ne[4];
    int            k0, k1, s0, s1, p0, p1;
    tevo_type      type;
    Layout         layout;
};

std::string describe(const PoolCase & pc, int nth) {
    return std::string(pc.is_2d ? "2d " : "1d ") + (pc.op == TEVO_OP_POOL_MAX ? "max" : "avg") + " k " +
           std::to_string(pc.k0) + "x" + std::to_string(pc.k1) + " s " + std::to_string(pc.s0) + " p " +
           std::to_string(pc.p0) + " " + tevo_type_name(pc.type) + " " + layout_name(pc.layout) + " threads " +
           std::to_string(nth);
}

// one output of the pooling in double: taps inside the input only, averages
// over them (1-D) or over the whole window (2-D)
double ref_pool(const tevo_tensor * x, const PoolCase & pc, int64_t ox, int64_t oy, int64_t i2, int64_t i3) {
    const bool max = pc.op == TEVO_OP_POOL_MAX;
    double     acc = max ? -(double) FLT_MAX : 0.0;
    int64_t    n   = 0;
    const int  k1  = pc.is_2d ? pc.k1 : 1;
    for (int ky = 0; ky < k1; ++ky) {
        const int64_t iy = pc.is_2d ? oy * pc.s1 - pc.p1 + ky : oy;
        if (iy < 0 || iy >= x->ne[1]) continue;
        for (int kx = 0; kx < pc.k0; ++kx) {
            const int64_t ix = ox * pc.s0 - pc.p0 + kx;
            if (ix < 0 || ix >= x->ne[0]) continue;
            const double v = get(x, ix, iy, i2, i3);
            acc            = max ? std::max(acc, v) : acc + v;
            ++n;
        }
    }
    if (max) return acc;
    if (pc.is_2d) return acc / (pc.k0 * pc.k1);
    return n > 0 ? acc / n : 0.0;
}

const std::vector<PoolCase> & pool_cases() {
    const auto MAX = TEVO_OP_POOL_MAX, AVG = TEVO_OP_POOL_AVG;
    const auto F32 = TEVO_TYPE_F32, F16 = TEVO_TYPE_F16;
    static const std::vector<PoolCase> cases = {
        { false, MAX, { 11, 3, 2, 2 }, 3, 0, 2, 0, 1, 0, F32, Layout::packed },
        { false, AVG, { 11, 3, 2, 2 }, 3, 0, 1, 0, 1, 0, F32, Layout::strided },
        { false, AVG, { 9, 2, 3, 2 }, 4, 0, 3, 0, 2, 0, F16, Layout::permuted },
        { false, MAX, { 7, 4, 1, 3 }, 2, 0, 2, 0, 0, 0, F16, Layout::strided },
        { true, MAX, { 9, 8, 3, 2 }, 3, 2, 2, 1, 1, 0, F32, Layout::packed },
        { true, AVG, { 9, 8, 3, 2 }, 3, 3, 1, 1, 1, 1, F32, Layout::strided },
        { true, AVG, { 10, 7, 2, 3 }, 2, 3, 2, 2, 0, 1, F16, Layout::permuted },
        { true, MAX, { 8, 9, 3, 2 }, 4, 2, 3, 2, 2, 1, F16, Layout::permuted },
        // windows that lie wholly in the padding
        { true, MAX, { 4, 4, 1, 1 }, 2, 2, 1, 1, 2, 2, F32, Layout::packed },
    };
    return cases;
}

TEST(KernelPool, ForwardMatchesTheDoubleReference) {
    for (const PoolCase & pc : pool_cases()) {
        for (int nth : thread_counts()) {
            SCOPED_TRACE(describe(pc, nth));
            Ctx           c;
            std::mt19937  rng(81);
            tevo_tensor * x = make_input(c.ctx, pc.type, pc.ne, pc.layout);
            fill(x, rng, -3.0f, 3.0f);
            tevo_tensor * y = pc.is_2d ? tevo_pool_2d(c.ctx, x, pc.op, pc.k0, pc.k1, pc.s0, pc.s1, pc.p0, pc.p1)
                                       : tevo_pool_1d(c.ctx, x, pc.op, pc.k0, pc.s0, pc.p0);
            poison(y);
            compute_forced(c.ctx, y, nth);
            for_each(y, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                const double want = ref_pool(x, pc, i0, i1, i2, i3);
                ASSERT_NEAR(get(y, i0, i1, i2, i3), want, 1e-6 * (1 + std::fabs(want)))
                    << i0 << " " << i1 << " " << i2 << " " << i3;
            });
        }
    }
}

TEST(KernelPool, EdgeExamples) {
    Ctx c;
    // 1-D average: the edge windows divide by the two taps inside
    tevo_tensor * x = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 3);
    for (int i = 0; i < 3; ++i) ((float *) x->data)[i] = (float) (i + 1);
    tevo_tensor * a1 = tevo_pool_1d(c.ctx, x, TEVO_OP_POOL_AVG, 3, 1, 1);
    // 2-D average over ones: the corners divide four taps by the whole window
    tevo_tensor * ones = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 3, 3);
    for (int i = 0; i < 9; ++i) ((float *) ones->data)[i] = 1.0f;
    tevo_tensor * a2 = tevo_pool_2d(c.ctx, ones, TEVO_OP_POOL_AVG, 3, 3, 1, 1, 1, 1);
    compute(c.ctx, { a1, a2 }, 2);
    const float * r1 = (const float *) a1->data;
    EXPECT_EQ(r1[0], 1.5f);
    EXPECT_EQ(r1[1], 2.0f);
    EXPECT_EQ(r1[2], 2.5f);
    const float * r2 = (const float *) a2->data;
    EXPECT_EQ(r2[0], 4.0f / 9.0f);
    EXPECT_EQ(r2[4], 1.0f);
    EXPECT_EQ(r2[8], 4.0f / 9.0f);
}

// ---------------------------------------------------------------------------
// gradient

struct BackCase {
    tevo_op_pool op;
    int64_t      ne[4];
    int          k0, k1, s0, s1, p0, p1;
    tevo_type    af_type, dy_type, dx_type;
    Layout       layout; // of af and dy
};

// dx in double: average spreads g / (k0·k1) over the window's taps inside;
// maximum gives g to the first strictly greatest tap of af
std::vector<double> ref_back(const BackCase & bc, const tevo_tensor * af, const tevo_tensor * dy) {
    const int64_t       IW = af->ne[0], IH = af->ne[1];
    std::vector<double> dx((size_t) tevo_nelements(af), 0.0);
    auto                at = [&](int64_t x, int64_t y, int64_t i2, int64_t i3) -> double & {
        return dx[(size_t) (((i3 * af->ne[2] + i2) * IH + y) * IW + x)];
    };
    for (int64_t i3 = 0; i3 < dy->ne[3]; ++i3)
        for (int64_t i2 = 0; i2 < dy->ne[2]; ++i2)
            for (int64_t oy = 0; oy < dy->ne[1]; ++oy)
                for (int64_t ox = 0; ox < dy->ne[0]; ++ox) {
                    const double g    = get(dy, ox, oy, i2, i3);
                    double       best = -(double) FLT_MAX;
                    int64_t      bx = -1, by = -1;
                    for (int ky = 0; ky < bc.k1; ++ky)
                        for (int kx = 0; kx < bc.k0; ++kx) {
                            const int64_t ix = ox * bc.s0 - bc.p0 + kx, iy = oy * bc.s1 - bc.p1 + ky;
                            if (ix < 0 || ix >= IW || iy < 0 || iy >= IH) continue;
                            if (bc.op == TEVO_OP_POOL_AVG) {
                                at(ix, iy, i2, i3) += g / (bc.k0 * bc.k1);
                            } else if (get(af, ix, iy, i2, i3) > best) {
                                best = get(af, ix, iy, i2, i3);
                                bx   = ix;
                                by   = iy;
                            }
                        }
                    if (bx >= 0) at(bx, by, i2, i3) += g;
                }
    return dx;
}

// a half-precision dx over the node's float-sized memory
void make_half(tevo_tensor * t) {
    t->type  = TEVO_TYPE_F16;
    t->nb[0] = 2;
    for (int i = 1; i < 4; ++i) t->nb[i] = t->nb[i - 1] * (size_t) t->ne[i - 1];
}

const std::vector<BackCase> & back_cases() {
    const auto MAX = TEVO_OP_POOL_MAX, AVG = TEVO_OP_POOL_AVG;
    const auto F32 = TEVO_TYPE_F32, F16 = TEVO_TYPE_F16;
    static const std::vector<BackCase> cases = {
        { MAX, { 8, 7, 2, 2 }, 2, 2, 2, 2, 0, 0, F32, F32, F32, Layout::packed },
        { MAX, { 9, 8, 3, 1 }, 3, 3, 1, 1, 1, 1, F32, F32, F32, Layout::strided },
        { MAX, { 7, 9, 2, 3 }, 3, 2, 2, 1, 1, 0, F16, F16, F32, Layout::permuted },
        { MAX, { 6, 6, 2, 2 }, 2, 3, 1, 2, 0, 1, F16, F32, F16, Layout::strided },
        { AVG, { 8, 7, 2, 2 }, 2, 2, 1, 1, 0, 0, F32, F32, F32, Layout::packed },
        { AVG, { 9, 8, 3, 1 }, 3, 2, 2, 1, 1, 1, F16, F16, F32, Layout::permuted },
        { AVG, { 7, 7, 2, 2 }, 3, 3, 2, 2, 1, 1, F32, F32, F16, Layout::strided },
    };
    return cases;
}

TEST(KernelPool, GradientMatchesTheDoubleReference) {
    for (const BackCase & bc : back_cases()) {
        for (int nth : thread_counts()) {
            SCOPED_TRACE(std::string(bc.op == TEVO_OP_POOL_MAX ? "max" : "avg") + " " + layout_name(bc.layout) +
                         " af " + tevo_type_name(bc.af_type) + " dx " + tevo_type_name(bc.dx_type) + " threads " +
                         std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(83);
            tevo_tensor * af = make_input(c.ctx, bc.af_type, bc.ne, bc.layout);
            // few distinct values: many windows hold equal maxima
            std::uniform_int_distribution<int> lv(-2, 2);
            for_each(af, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) { set(af, (float) lv(rng), i0, i1, i2, i3); });
            tevo_tensor * shape = tevo_pool_2d(c.ctx, af, bc.op, bc.k0, bc.k1, bc.s0, bc.s1, bc.p0, bc.p1);
            tevo_tensor * dy    = make_input(c.ctx, bc.dy_type, shape->ne, bc.layout);
            fill(dy, rng, -1.0f, 1.0f);
            tevo_tensor * dx = tevo_pool_2d_back(c.ctx, dy, af, bc.op, bc.k0, bc.k1, bc.s0, bc.s1, bc.p0, bc.p1);
            if (bc.dx_type == TEVO_TYPE_F16) make_half(dx);
            poison(dx);
            compute_forced(c.ctx, dx, nth);

            const auto   want = ref_back(bc, af, dy);
            const double tol  = bc.dx_type == TEVO_TYPE_F16 ? 2e-3 : 1e-6;
            int64_t      k    = 0;
            for_each(dx, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                const double w = want[(size_t) k++];
                ASSERT_NEAR(get(dx, i0, i1, i2, i3), w, tol * (1 + std::fabs(w)))
                    << i0 << " " << i1 << " " << i2 << " " << i3;
            });
        }
    }
}

// <avgpool(x), dy> = <x, avgpool_back(dy)>
TEST(KernelPool, AverageGradientIsTheAdjoint) {
    for (const BackCase & bc : back_cases()) {
        if (bc.op != TEVO_OP_POOL_AVG || bc.dx_type != TEVO_TYPE_F32) continue;
        Ctx           c;
        std::mt19937  rng(85);
        tevo_tensor * x = make_input(c.ctx, TEVO_TYPE_F32, bc.ne, bc.layout);
        fill(x, rng);
        tevo_tensor * y  = tevo_pool_2d(c.ctx, x, bc.op, bc.k0, bc.k1, bc.s0, bc.s1, bc.p0, bc.p1);
        tevo_tensor * dy = make_input(c.ctx, TEVO_TYPE_F32, y->ne, bc.layout);
        fill(dy, rng);
        tevo_tensor * dx = tevo_pool_2d_back(c.ctx, dy, x, bc.op, bc.k0, bc.k1, bc.s0, bc.s1, bc.p0, bc.p1);
        compute(c.ctx, { y, dx }, 3);
        double lhs = 0, rhs = 0;
        for_each(y, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
            lhs += (double) get(y, i0, i1, i2, i3) * get(dy, i0, i1, i2, i3);
        });
        for_each(x, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
            rhs += (double) get(x, i0, i1, i2, i3) * get(dx, i0, i1, i2, i3);
        });
        EXPECT_NEAR(lhs, rhs, 1e-5 * (1 + std::fabs(lhs)));
    }
}

TEST(KernelPool, TiedMaximaSendTheGradientToTheFirst) {
    Ctx           c;
    tevo_tensor * af = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 2, 2);
    const float   v[4] = { 1.0f, 5.0f, 5.0f, 5.0f };
    memcpy(af->data, v, sizeof(v));
    tevo_tensor * dy = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 1, 1);
    ((float *) dy->data)[0] = 3.0f;
    tevo_tensor * dx = tevo_pool_2d_back(c.ctx, dy, af, TEVO_OP_POOL_MAX, 2, 2, 2, 2, 0, 0);
    compute(c.ctx, { dx }, 1);
    const float * g = (const float *) dx->data;
    EXPECT_EQ(g[0], 0.0f);
    EXPECT_EQ(g[1], 3.0f);
    EXPECT_EQ(g[2], 0.0f);
    EXPECT_EQ(g[3], 0.0f);
}

TEST(KernelPoolDeathTest, Refusals) {
    death_setup();
    Ctx           c;
    tevo_tensor * x  = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 8, 8);
    tevo_tensor * p1 = tevo_pool_1d(c.ctx, x, TEVO_OP_POOL_MAX, 2, 2, 0);
    tevo_tensor * p2 = tevo_pool_2d(c.ctx, x, TEVO_OP_POOL_MAX, 2, 2, 2, 2, 0, 0);
    tevo_tensor * b  = tevo_pool_2d_back(c.ctx, p2, x, TEVO_OP_POOL_MAX, 2, 2, 2, 2, 0, 0);

    // the kind count is not a kind
    tevo_set_op_params_i32(p1, 0, TEVO_OP_POOL_COUNT);
    tevo_set_op_params_i32(p2, 0, TEVO_OP_POOL_COUNT);
    tevo_set_op_params_i32(b, 0, TEVO_OP_POOL_COUNT);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_pool_1d, p1), kernel_abort_re("fatal error"));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_pool_2d, p2), kernel_abort_re("fatal error"));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_pool_2d_back, b), kernel_assert_re("false"));

    // quantized input is not read as anything
    tevo_tensor * q = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_Q8_0, 32, 4);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_pool_1d, tevo_pool_1d(c.ctx, q, TEVO_OP_POOL_AVG, 2, 2, 0)),
                 kernel_assert_re("tevo_pool_type_ok(src->type)"));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_pool_2d,
                             tevo_pool_2d(c.ctx, q, TEVO_OP_POOL_AVG, 2, 2, 2, 2, 0, 0)),
                 kernel_assert_re("tevo_pool_type_ok(src->type)"));
    tevo_tensor * qb = tevo_pool_2d_back(c.ctx, p2, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_Q8_0, 32, 8),
                                         TEVO_OP_POOL_AVG, 2, 2, 2, 2, 0, 0);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_pool_2d_back, qb), kernel_assert_re("tevo_pool_type_ok(af->type)"));

    // planes of dy must match dx's
    tevo_tensor * x3 = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 8, 8, 3);
    tevo_tensor * bp = tevo_pool_2d_back(c.ctx, p2, x3, TEVO_OP_POOL_AVG, 2, 2, 2, 2, 0, 0);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_pool_2d_back, bp),
                 kernel_assert_re("dy->ne[2] == dst->ne[2] && dy->ne[3] == dst->ne[3]"));
}

} // namespace
