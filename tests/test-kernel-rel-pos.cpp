// Relative positions on the CPU: the gather of a half or brain-float table
// against explicit gathers (bits unchanged, the result keeping the table's
// type), and the addition of height and width terms to attention scores,
// in place and not, against an explicit sum in the kernel's order.

#include "kernel-test-helpers.h"

#include <vector>

namespace {

using namespace kt;

TEST(KernelRelPos, GatherCopiesTheTableRowsBitForBit) {
    for (tevo_type type : { TEVO_TYPE_F16, TEVO_TYPE_BF16 }) {
        for (int64_t k : { 1, 2, 5 }) {
            for (bool strided : { false, true }) {
                for (int nth : thread_counts()) {
                    SCOPED_TRACE(std::string(tevo_type_name(type)) + " k " + std::to_string(k) +
                                 (strided ? " strided" : "") + " threads " + std::to_string(nth));
                    Ctx           c;
                    std::mt19937  rng(131);
                    const int64_t E     = 6;
                    tevo_tensor * table = tevo_new_tensor_2d(c.ctx, type, E, 2 * k - 1);
                    if (strided) {
                        tevo_tensor * b = tevo_new_tensor_2d(c.ctx, type, 2 * E + 1, 2 * k - 1);
                        table           = tevo_view_2d(c.ctx, b, E, 2 * k - 1, b->nb[1], 2);
                    }
                    fill(table, rng, -4.0f, 4.0f);
                    tevo_tensor * out = tevo_get_rel_pos(c.ctx, table, (int) k, (int) k);
                    ASSERT_EQ(out->type, type);
                    poison(out);
                    compute_forced(c.ctx, out, nth);
                    for_each(out, [&](int64_t i0, int64_t i1, int64_t i2, int64_t) {
                        ASSERT_EQ(get_bits(out, i0, i1, i2), get_bits(table, i0, (k - 1 - i1) + i2))
                            << i0 << " " << i1 << " " << i2;
                    });
                }
            }
        }
    }
}

TEST(KernelRelPos, GatherOfTwoPositions) {
    Ctx           c;
    tevo_tensor * table = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 1, 3);
    for (int r = 0; r < 3; ++r) ((tevo_fp16_t *) table->data)[r] = tevo_fp32_to_fp16((float) r);
    tevo_tensor * out = tevo_get_rel_pos(c.ctx, table, 2, 2);
    compute(c.ctx, { out }, 1);
    // (i1, i2) = (0, 0), (1, 0), (0, 1), (1, 1) take rows 1, 0, 2, 1
    const float want[4] = { 1, 0, 2, 1 };
    for (int i = 0; i < 4; ++i) EXPECT_EQ(tevo_fp16_to_fp32(((tevo_fp16_t *) out->data)[i]), want[i]) << i;
}

struct AddCase {
    int64_t W, ne11, ne12, ne13;
    bool    inplace;
};

TEST(KernelRelPos, AddTermsAlongRowsAndColumns) {
    const AddCase cases[] = {
        { 4, 3, 2, 2, false }, { 4, 3, 2, 2, true }, { 1, 2, 3, 3, false }, { 5, 2, 2, 1, true }, { 3, 4, 1, 5, false },
    };
    for (const AddCase & ac : cases) {
        for (int nth : thread_counts()) {
            SCOPED_TRACE("W " + std::to_string(ac.W) + " ne13 " + std::to_string(ac.ne13) +
                         (ac.inplace ? " in place" : "") + " threads " + std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(133);
            const int64_t W = ac.W;
            tevo_tensor * a  = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, W * W, ac.ne11 * ac.ne12, ac.ne13);
            tevo_tensor * pw = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, W, ac.ne11, ac.ne12, ac.ne13);
            tevo_tensor * ph = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, W, ac.ne11, ac.ne12, ac.ne13);
            fill(a, rng);
            fill(pw, rng);
            fill(ph, rng);
            const std::vector<float> a0((const float *) a->data, (const float *) a->data + tevo_nelements(a));
            tevo_tensor * out = ac.inplace ? tevo_add_rel_pos_inplace(c.ctx, a, pw, ph) : tevo_add_rel_pos(c.ctx, a, pw, ph);
            compute_forced(c.ctx, out, nth);

            const float * got = (const float *) out->data;
            const float * h   = (const float *) ph->data;
            const float * w   = (const float *) pw->data;
            const int64_t rows = ac.ne11 * ac.ne12 * ac.ne13;
            for (int64_t r = 0; r < rows; ++r)
                for (int64_t u = 0; u < W; ++u)
                    for (int64_t v = 0; v < W; ++v) {
                        const int64_t i = (r * W + u) * W + v;
                        // one height and one width term; the height first on and above the diagonal
                        const float want = u <= v ? (a0[(size_t) i] + h[r * W + u]) + w[r * W + v]
                                                  : (a0[(size_t) i] + w[r * W + v]) + h[r * W + u];
                        ASSERT_EQ(bits(got[i]), bits(want)) << r << " " << u << " " << v;
                    }
            if (!ac.inplace) {
                for (int64_t i = 0; i < tevo_nelements(a); ++i) ASSERT_EQ(((const float *) a->data)[i], a0[(size_t) i]);
            }
        }
    }
}

TEST(KernelRelPosDeathTest, Refusals) {
    death_setup();
    Ctx           c;
    tevo_tensor * f32 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 3);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_get_rel_pos, tevo_get_rel_pos(c.ctx, f32, 2, 2)),
                 kernel_abort_re("fatal error"));
    // brain-float bits labelled as halves would be read as other numbers
    tevo_tensor * g = tevo_get_rel_pos(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_BF16, 4, 3), 2, 2);
    g->type         = TEVO_TYPE_F16;
    EXPECT_DEATH(call_kernel(tevo_compute_forward_get_rel_pos, g), kernel_assert_re("dst->type == src->type"));

    tevo_tensor * a  = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 2, 1);
    tevo_tensor * pw = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, 2, 2, 1, 1);
    tevo_tensor * n  = tevo_add_rel_pos_inplace(c.ctx, a, pw, pw);
    n->src[0]        = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F16, 4, 2, 1);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_add_rel_pos, n), kernel_abort_re("fatal error"));
}

} // namespace
