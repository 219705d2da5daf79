// Window partition and reassembly on the CPU: every element against the
// index rule (padding +0.0), partition then reassembly giving the map back
// bit for bit, from packed and strided tensors at 1, 3 and 8 threads; the
// window shapes the kernels refuse.

#include "kernel-test-helpers.h"

#include <vector>

namespace {

using namespace kt;

struct WinCase {
    int64_t C, W, H;
    int     w;
    bool    strided;
};

// the map [C, W, H], rows and elements spread out in memory when strided
tevo_tensor * make_map(tevo_context * ctx, const WinCase & wc) {
    if (!wc.strided) return tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, wc.C, wc.W, wc.H);
    // elements 2 floats apart: a permuted [2, C, W + 1, H] seen from its second dimension
    tevo_tensor * b = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, 2, wc.C, wc.W + 1, wc.H);
    tevo_tensor * v = tevo_view_3d(ctx, b, wc.C, wc.W, wc.H, b->nb[2], b->nb[3], sizeof(float));
    v->nb[0]        = b->nb[1];
    return v;
}

const std::vector<WinCase> & win_cases() {
    static const std::vector<WinCase> cases = {
        { 3, 5, 3, 2, false }, // paddings 1 and 1: six windows
        { 4, 6, 4, 2, true },  // no padding
        { 5, 7, 9, 3, true },
        { 2, 4, 3, 1, false }, // every position its own window
        { 8, 9, 5, 4, false },
    };
    return cases;
}

TEST(KernelWinPart, PartitionFollowsTheIndexRule) {
    for (const WinCase & wc : win_cases()) {
        for (int nth : thread_counts()) {
            SCOPED_TRACE("C " + std::to_string(wc.C) + " W " + std::to_string(wc.W) + " H " + std::to_string(wc.H) +
                         " w " + std::to_string(wc.w) + (wc.strided ? " strided" : "") + " threads " +
                         std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(121);
            tevo_tensor * map = make_map(c.ctx, wc);
            fill(map, rng);
            tevo_tensor * win = tevo_win_part(c.ctx, map, wc.w);
            poison(win);
            compute_forced(c.ctx, win, nth);

            const int64_t npx = (wc.W + wc.w - 1) / wc.w, npy = (wc.H + wc.w - 1) / wc.w;
            ASSERT_EQ(win->ne[3], npx * npy);
            for_each(win, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                const int64_t x = (i3 % npx) * wc.w + i1, y = (i3 / npx) * wc.w + i2;
                const uint32_t want = x < wc.W && y < wc.H ? get_bits(map, i0, x, y) : 0u; // +0.0
                ASSERT_EQ(get_bits(win, i0, i1, i2, i3), want) << i0 << " " << i1 << " " << i2 << " " << i3;
            });
        }
    }
}

TEST(KernelWinPart, ReassemblyGivesTheMapBack) {
    for (const WinCase & wc : win_cases()) {
        for (int nth : thread_counts()) {
            SCOPED_TRACE("W " + std::to_string(wc.W) + " H " + std::to_string(wc.H) + " w " + std::to_string(wc.w) +
                         " threads " + std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(123);
            tevo_tensor * map = make_map(c.ctx, wc);
            fill(map, rng);
            tevo_tensor * win = tevo_win_part(c.ctx, map, wc.w);
            compute_forced(c.ctx, win, nth);

            // the windows once more, from a strided copy of them
            tevo_tensor * src = win;
            if (wc.strided) {
                tevo_tensor * b = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, wc.C + 3, wc.w, wc.w, win->ne[3]);
                src = tevo_view_4d(c.ctx, b, wc.C, wc.w, wc.w, win->ne[3], b->nb[1], b->nb[2], b->nb[3], 0);
                for_each(win, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                    set(src, get(win, i0, i1, i2, i3), i0, i1, i2, i3);
                });
            }
            tevo_tensor * back = tevo_win_unpart(c.ctx, src, (int) wc.W, (int) wc.H, wc.w);
            poison(back);
            compute_forced(c.ctx, back, nth);
            ASSERT_EQ(back->ne[1], wc.W);
            ASSERT_EQ(back->ne[2], wc.H);
            for_each(back, [&](int64_t i0, int64_t i1, int64_t i2, int64_t) {
                ASSERT_EQ(get_bits(back, i0, i1, i2), get_bits(map, i0, i1, i2)) << i0 << " " << i1 << " " << i2;
            });
        }
    }
}

TEST(KernelWinPart, FiveByThreeExample) {
    Ctx           c;
    tevo_tensor * map = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 1, 5, 3);
    for (int i = 0; i < 15; ++i) ((float *) map->data)[i] = (float) (i + 1);
    tevo_tensor * win = tevo_win_part(c.ctx, map, 2);
    compute(c.ctx, { win }, 1);
    ASSERT_EQ(win->ne[3], 6);
    // window column 2 (windows 2 and 5) has its second column zero; window row 1 its second row
    const float * d = (const float *) win->data;
    for (int i3 : { 2, 5 }) {
        EXPECT_EQ(d[i3 * 4 + 1], 0.0f);
        EXPECT_EQ(d[i3 * 4 + 3], 0.0f);
    }
    for (int i3 : { 3, 4, 5 }) {
        EXPECT_EQ(d[i3 * 4 + 2], 0.0f);
        EXPECT_EQ(d[i3 * 4 + 3], 0.0f);
    }
    EXPECT_EQ(d[0], 1.0f);
    EXPECT_EQ(d[3], 7.0f);
    EXPECT_EQ(d[3 * 4 + 0], 11.0f);
}

TEST(KernelWinPartDeathTest, Refusals) {
    death_setup();
    Ctx           c;
    tevo_tensor * windows = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, 4, 3, 3, 4);

    // a window side of 0 would divide by zero
    tevo_tensor * z = tevo_win_unpart(c.ctx, windows, 6, 6, 3);
    tevo_set_op_params_i32(z, 0, 0);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_win_unpart, z), kernel_assert_re("w > 0"));

    // windows of the wrong extent, or too few for the map, would be read past their end
    tevo_tensor * e = tevo_win_unpart(c.ctx, windows, 6, 6, 3);
    tevo_set_op_params_i32(e, 0, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_win_unpart, e),
                 kernel_assert_re("src->ne[0] == C && src->ne[1] == w && src->ne[2] == w"));
    tevo_tensor * f = tevo_win_unpart(c.ctx, windows, 6, 6, 3);
    f->ne[1]        = 7;
    EXPECT_DEATH(call_kernel(tevo_compute_forward_win_unpart, f), kernel_assert_re("src->ne[3] >= npx * npy"));

    tevo_tensor * p = tevo_win_part(c.ctx, tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 5, 5), 2);
    tevo_set_op_params_i32(p, 2, 0);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_win_part, p), kernel_assert_re("w > 0"));
    tevo_tensor * q = tevo_win_part(c.ctx, tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 5, 5), 2);
    tevo_set_op_params_i32(q, 0, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_win_part, q),
                 kernel_assert_re("dst->ne[0] == C && dst->ne[1] == w && dst->ne[2] == w && dst->ne[3] == npx * npy"));

    tevo_tensor * h = tevo_win_part(c.ctx, tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 4, 5, 5), 2);
    h->src[0]       = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F16, 4, 5, 5);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_win_part, h), kernel_abort_re("fatal error"));
}

} // namespace
