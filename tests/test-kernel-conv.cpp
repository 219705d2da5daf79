// Convolutions computed in one node on the CPU: direct 2-D and 3-D with
// stride, padding and dilation (also with a work buffer that holds only a
// few patches), transposed 1-D and 2-D (checked as the adjoints of the
// direct ones), depthwise on planar and channel-last inputs; all against
// double references, at 1, 3 and 8 threads.

#include "kernel-test-helpers.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using namespace kt;

int64_t out_size(int64_t in, int64_t k, int s, int p, int d) {
    return (in + 2 * p - d * (k - 1) - 1) / s + 1;
}

// an F32 tensor with gaps after every row and plane when strided
tevo_tensor * make_f32(tevo_context * ctx, int64_t ne0, int64_t ne1, int64_t ne2, int64_t ne3, bool strided) {
    if (!strided) {
        return tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, ne0, ne1, ne2, ne3);
    }
    tevo_tensor * b = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, ne0 + 2, ne1 + 1, ne2, ne3);
    return tevo_view_4d(ctx, b, ne0, ne1, ne2, ne3, b->nb[1], b->nb[2], b->nb[3], b->nb[0]);
}

// the value a tap of a half kernel's product sees: the input rounded to half
double seen(float v, tevo_type kernel_type) {
    return kernel_type == TEVO_TYPE_F16 ? (double) tevo_fp16_to_fp32(tevo_fp32_to_fp16(v)) : (double) v;
}

// the graph of one node at n threads, with the work buffer the caller gives
// (0: the planner's)
void compute_with_work(tevo_context * ctx, tevo_tensor * out, int nth, size_t work) {
    tevo_cgraph * gf = tevo_new_graph(ctx);
    tevo_build_forward_expand(gf, out);
    tevo_cplan plan = tevo_graph_plan(gf, nth, nullptr);
    plan.n_threads  = nth;
    if (work != 0) {
        plan.work_size = work;
    }
    std::vector<uint8_t> buf(plan.work_size);
    plan.work_data = buf.data();
    ASSERT_EQ(tevo_graph_compute(gf, &plan), TEVO_STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// direct 2-D

// a work buffer whose slice for each of n threads holds `batch` patches
size_t work_for(int n, int64_t batch, size_t per_patch) {
    return (size_t) n * ((size_t) batch * per_patch + 128);
}

struct Conv2dCase {
    int64_t   IW, IH, IC, N, KW, KH, OC;
    int       s0, s1, p0, p1, d0, d1;
    tevo_type kernel_type;
    bool      strided;
    int64_t   batch_patches; // work buffer room in patches; 0: the planner's
};

std::string describe(const Conv2dCase & c, int nth) {
    return "in " + std::to_string(c.IW) + "x" + std::to_string(c.IH) + "x" + std::to_string(c.IC) + "x" +
           std::to_string(c.N) + " k " + std::to_string(c.KW) + "x" + std::to_string(c.KH) + " oc " +
           std::to_string(c.OC) + " s " + std::to_string(c.s0) + "," + std::to_string(c.s1) + " p " +
           std::to_string(c.p0) + "," + std::to_string(c.p1) + " d " + std::to_string(c.d0) + "," +
           std::to_string(c.d1) + " " + tevo_type_name(c.kernel_type) + (c.strided ? " strided" : "") +
           " batch " + std::to_string(c.batch_patches) + " threads " + std::to_string(nth);
}

const std::vector<Conv2dCase> & conv2d_cases() {
    const tevo_type F32 = TEVO_TYPE_F32, F16 = TEVO_TYPE_F16;
    static const std::vector<Conv2dCase> cases = {
        // 3x3 with padding 1 keeps the size; border outputs see fewer taps
        { 8, 7, 3, 2, 3, 3, 4, 1, 1, 1, 1, 1, 1, F32, false, 0 },
        { 9, 8, 2, 1, 3, 2, 5, 2, 1, 1, 0, 1, 2, F32, true, 0 },
        { 10, 9, 4, 2, 2, 3, 3, 1, 2, 2, 1, 2, 1, F16, true, 0 },
        { 7, 6, 5, 1, 1, 1, 6, 1, 1, 0, 0, 1, 1, F32, false, 0 },
        // a work buffer of 20 patches per thread: batches of 16, and what is left at the end
        { 8, 7, 3, 2, 3, 3, 4, 1, 1, 1, 1, 1, 1, F32, false, 20 },
        { 9, 8, 2, 1, 3, 2, 5, 2, 1, 1, 0, 1, 2, F16, true, 20 },
        // fewer than 8 patches per batch
        { 6, 5, 2, 2, 3, 3, 3, 1, 1, 1, 1, 1, 1, F32, true, 5 },
        // no input channels: every output an empty sum
        { 6, 5, 0, 1, 3, 3, 2, 1, 1, 1, 1, 1, 1, F32, false, 0 },
        // more patches than one thread's cache-sized tile holds (448): several batches at one thread
        { 32, 30, 64, 1, 3, 3, 5, 1, 1, 1, 1, 1, 1, F32, true, 0 },
    };
    return cases;
}

TEST(KernelConv, Direct2dMatchesTheDoubleSum) {
    for (const Conv2dCase & cc : conv2d_cases()) {
        for (int nth : thread_counts()) {
            SCOPED_TRACE(describe(cc, nth));
            Ctx           c;
            std::mt19937  rng(91);
            tevo_tensor * in = make_f32(c.ctx, cc.IW, cc.IH, cc.IC, cc.N, cc.strided);
            fill(in, rng);
            tevo_tensor * k = tevo_new_tensor_4d(c.ctx, cc.kernel_type, cc.KW, cc.KH, cc.IC, cc.OC);
            fill(k, rng);
            tevo_tensor * out = tevo_conv_2d_direct(c.ctx, k, in, cc.s0, cc.s1, cc.p0, cc.p1, cc.d0, cc.d1);
            poison(out);
            const size_t es        = tevo_type_size(cc.kernel_type);
            const size_t per_patch = (size_t) (cc.KW * cc.KH * cc.IC) * es + (size_t) cc.OC * 4;
            compute_with_work(c.ctx, out, nth, cc.batch_patches ? work_for(nth, cc.batch_patches, per_patch) : 0);

            const int64_t OW = out_size(cc.IW, cc.KW, cc.s0, cc.p0, cc.d0);
            const int64_t OH = out_size(cc.IH, cc.KH, cc.s1, cc.p1, cc.d1);
            ASSERT_EQ(out->ne[0], OW);
            ASSERT_EQ(out->ne[1], OH);
            for_each(out, [&](int64_t ow, int64_t oh, int64_t oc, int64_t n) {
                double want = 0, mag = 0;
                for (int64_t ic = 0; ic < cc.IC; ++ic)
                    for (int64_t kh = 0; kh < cc.KH; ++kh)
                        for (int64_t kw = 0; kw < cc.KW; ++kw) {
                            const int64_t iw = ow * cc.s0 + kw * cc.d0 - cc.p0;
                            const int64_t ih = oh * cc.s1 + kh * cc.d1 - cc.p1;
                            if (iw < 0 || iw >= cc.IW || ih < 0 || ih >= cc.IH) continue;
                            const double t = get(k, kw, kh, ic, oc) * seen(get(in, iw, ih, ic, n), cc.kernel_type);
                            want += t;
                            mag += std::fabs(t);
                        }
                ASSERT_NEAR(get(out, ow, oh, oc, n), want, 1e-5 * (1 + mag)) << ow << " " << oh << " " << oc << " " << n;
            });
        }
    }
}

// the split into batches and threads changes nothing: results are bit for
// bit those of one batch on one thread
TEST(KernelConv, Direct2dBatchesGiveTheOneBatchResult) {
    const Conv2dCase cc = { 11, 9, 3, 2, 3, 3, 5, 1, 2, 1, 1, 1, 1, TEVO_TYPE_F32, true, 0 };
    std::vector<uint32_t> first;
    struct Split {
        int64_t batch;   // patches per thread's slice; 0: the planner's buffer
        int     slices;  // slices the buffer holds (fewer than the threads: the others wait)
    };
    for (const Split sp : { Split{ 0, 0 }, Split{ 20, 8 }, Split{ 9, 8 }, Split{ 3, 8 }, Split{ 7, 2 } }) {
        for (int nth : thread_counts()) {
            const int64_t batch = sp.batch;
            SCOPED_TRACE(std::to_string(batch) + " patches, " + std::to_string(sp.slices) + " slices, threads " +
                         std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(93);
            tevo_tensor * in = make_f32(c.ctx, cc.IW, cc.IH, cc.IC, cc.N, cc.strided);
            fill(in, rng);
            tevo_tensor * k = tevo_new_tensor_4d(c.ctx, cc.kernel_type, cc.KW, cc.KH, cc.IC, cc.OC);
            fill(k, rng);
            tevo_tensor * out = tevo_conv_2d_direct(c.ctx, k, in, cc.s0, cc.s1, cc.p0, cc.p1, cc.d0, cc.d1);
            const size_t  per_patch = (size_t) (cc.KW * cc.KH * cc.IC) * 4 + (size_t) cc.OC * 4;
            compute_with_work(c.ctx, out, nth, batch ? work_for(std::min(nth, sp.slices), batch, per_patch) : 0);
            std::vector<uint32_t> got;
            for_each(out, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                got.push_back(get_bits(out, i0, i1, i2, i3));
            });
            if (first.empty()) {
                first = got;
            }
            ASSERT_EQ(got, first);
        }
    }
}

// ---------------------------------------------------------------------------
// direct 3-D

TEST(KernelConv, Direct3dMatchesTheDoubleSum) {
    struct Case {
        int64_t   IW, IH, ID, IC, N, KW, KH, KD, OC;
        int       s[3], p[3], d[3];
        tevo_type kernel_type;
        bool      strided;
    };
    const Case cases[] = {
        { 6, 5, 4, 2, 2, 3, 3, 2, 3, { 1, 1, 1 }, { 1, 1, 0 }, { 1, 1, 1 }, TEVO_TYPE_F32, false },
        { 7, 6, 5, 3, 1, 2, 3, 3, 2, { 2, 1, 2 }, { 0, 1, 1 }, { 1, 2, 1 }, TEVO_TYPE_F16, true },
    };
    for (const Case & cc : cases) {
        for (int nth : thread_counts()) {
            SCOPED_TRACE(std::string(tevo_type_name(cc.kernel_type)) + " threads " + std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(95);
            tevo_tensor * in = make_f32(c.ctx, cc.IW, cc.IH, cc.ID, cc.IC * cc.N, cc.strided);
            fill(in, rng);
            tevo_tensor * k = tevo_new_tensor_4d(c.ctx, cc.kernel_type, cc.KW, cc.KH, cc.KD, cc.IC * cc.OC);
            fill(k, rng);
            tevo_tensor * out =
                tevo_conv_3d_direct(c.ctx, k, in, cc.s[0], cc.s[1], cc.s[2], cc.p[0], cc.p[1], cc.p[2], cc.d[0],
                                    cc.d[1], cc.d[2], (int) cc.IC, (int) cc.N, (int) cc.OC);
            poison(out);
            compute_n(c.ctx, out, nth);
            for_each(out, [&](int64_t ow, int64_t oh, int64_t od, int64_t noc) {
                const int64_t n = noc / cc.OC, oc = noc % cc.OC;
                double        want = 0, mag = 0;
                for (int64_t ic = 0; ic < cc.IC; ++ic)
                    for (int64_t kd = 0; kd < cc.KD; ++kd)
                        for (int64_t kh = 0; kh < cc.KH; ++kh)
                            for (int64_t kw = 0; kw < cc.KW; ++kw) {
                                const int64_t iw = ow * cc.s[0] + kw * cc.d[0] - cc.p[0];
                                const int64_t ih = oh * cc.s[1] + kh * cc.d[1] - cc.p[1];
                                const int64_t id = od * cc.s[2] + kd * cc.d[2] - cc.p[2];
                                if (iw < 0 || iw >= cc.IW || ih < 0 || ih >= cc.IH || id < 0 || id >= cc.ID) continue;
                                const double t = get(k, kw, kh, kd, oc * cc.IC + ic) *
                                                 seen(get(in, iw, ih, id, n * cc.IC + ic), cc.kernel_type);
                                want += t;
                                mag += std::fabs(t);
                            }
                ASSERT_NEAR(get(out, ow, oh, od, noc), want, 1e-5 * (1 + mag)) << ow << " " << oh << " " << od;
            });
        }
    }
}

// ---------------------------------------------------------------------------
// transposed

double dot(const tevo_tensor * a, const tevo_tensor * b) {
    double s = 0;
    for_each(a, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        s += (double) get(a, i0, i1, i2, i3) * get(b, i0, i1, i2, i3);
    });
    return s;
}

TEST(KernelConv, Transpose1dMatchesTheScatterAndIsTheAdjoint) {
    struct Case {
        int64_t   K, OC, IC, L;
        int       s0;
        tevo_type kernel_type;
    };
    const Case cases[] = {
        { 3, 2, 4, 2, 2, TEVO_TYPE_F32 }, // output length 5, position 2 reached from both inputs
        { 4, 3, 5, 6, 1, TEVO_TYPE_F32 },
        { 5, 4, 3, 7, 3, TEVO_TYPE_F32 },
        { 3, 5, 9, 4, 2, TEVO_TYPE_F16 },
    };
    for (const Case & cc : cases) {
        for (int nth : thread_counts()) {
            SCOPED_TRACE(std::string(tevo_type_name(cc.kernel_type)) + " K " + std::to_string(cc.K) + " s0 " +
                         std::to_string(cc.s0) + " threads " + std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(97);
            tevo_tensor * k = tevo_new_tensor_3d(c.ctx, cc.kernel_type, cc.K, cc.OC, cc.IC);
            fill(k, rng);
            tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, cc.L, cc.IC);
            fill(x, rng);
            tevo_tensor * y = tevo_conv_transpose_1d(c.ctx, k, x, cc.s0, 0, 1);
            ASSERT_EQ(y->ne[0], (cc.L - 1) * cc.s0 + cc.K);
            poison(y);
            compute_n(c.ctx, y, nth);

            std::vector<double> want((size_t) (y->ne[0] * cc.OC), 0.0);
            for (int64_t oc = 0; oc < cc.OC; ++oc)
                for (int64_t l = 0; l < cc.L; ++l)
                    for (int64_t kk = 0; kk < cc.K; ++kk)
                        for (int64_t ic = 0; ic < cc.IC; ++ic)
                            want[(size_t) (oc * y->ne[0] + l * cc.s0 + kk)] +=
                                get(k, kk, oc, ic) * seen(get(x, l, ic), cc.kernel_type);
            for_each(y, [&](int64_t i0, int64_t i1, int64_t, int64_t) {
                const double w = want[(size_t) (i1 * y->ne[0] + i0)];
                ASSERT_NEAR(get(y, i0, i1), w, 1e-5 * (1 + std::fabs(w))) << i0 << " " << i1;
            });

            if (cc.kernel_type != TEVO_TYPE_F32) continue;
            // <convT(x), g> = <x, conv(g)>, conv the direct one with the same kernel seen as [K, 1, OC, IC]
            tevo_tensor * g = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, y->ne[0], cc.OC);
            fill(g, rng);
            tevo_tensor * back = tevo_conv_2d_direct(c.ctx, tevo_reshape_4d(c.ctx, k, cc.K, 1, cc.OC, cc.IC),
                                                     tevo_reshape_4d(c.ctx, g, y->ne[0], 1, cc.OC, 1), cc.s0, 1, 0,
                                                     0, 1, 1);
            compute_n(c.ctx, back, nth);
            ASSERT_EQ(back->ne[0], cc.L);
            const double lhs = dot(y, g);
            const double rhs = dot(x, tevo_reshape_2d(c.ctx, back, cc.L, cc.IC));
            EXPECT_NEAR(lhs, rhs, 1e-5 * (1 + std::fabs(lhs)));
        }
    }
}

TEST(KernelConv, Transpose2dMatchesTheScatterAndIsTheAdjoint) {
    struct Case {
        int64_t   KW, KH, OC, IC, W, H, N;
        int       stride;
        tevo_type kernel_type;
    };
    const Case cases[] = {
        { 1, 1, 3, 4, 5, 4, 2, 1, TEVO_TYPE_F32 }, // a per-pixel product of channels with the kernel matrix
        { 3, 2, 2, 3, 4, 3, 2, 2, TEVO_TYPE_F32 },
        { 2, 3, 5, 2, 3, 4, 1, 3, TEVO_TYPE_F32 },
        { 3, 3, 4, 6, 4, 3, 2, 2, TEVO_TYPE_F16 },
    };
    for (const Case & cc : cases) {
        for (int nth : thread_counts()) {
            SCOPED_TRACE(std::string(tevo_type_name(cc.kernel_type)) + " stride " + std::to_string(cc.stride) +
                         " threads " + std::to_string(nth));
            Ctx           c;
            std::mt19937  rng(99);
            tevo_tensor * k = tevo_new_tensor_4d(c.ctx, cc.kernel_type, cc.KW, cc.KH, cc.OC, cc.IC);
            fill(k, rng);
            tevo_tensor * x = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, cc.W, cc.H, cc.IC, cc.N);
            fill(x, rng);
            tevo_tensor * y = tevo_conv_transpose_2d_p0(c.ctx, k, x, cc.stride);
            poison(y);
            compute_n(c.ctx, y, nth);

            const int64_t       OW = y->ne[0], OH = y->ne[1];
            std::vector<double> want((size_t) tevo_nelements(y), 0.0);
            for (int64_t n = 0; n < cc.N; ++n)
                for (int64_t oc = 0; oc < cc.OC; ++oc)
                    for (int64_t h = 0; h < cc.H; ++h)
                        for (int64_t w = 0; w < cc.W; ++w)
                            for (int64_t kh = 0; kh < cc.KH; ++kh)
                                for (int64_t kw = 0; kw < cc.KW; ++kw)
                                    for (int64_t ic = 0; ic < cc.IC; ++ic)
                                        want[(size_t) (((n * cc.OC + oc) * OH + h * cc.stride + kh) * OW +
                                                       w * cc.stride + kw)] +=
                                            get(k, kw, kh, oc, ic) * seen(get(x, w, h, ic, n), cc.kernel_type);
            for_each(y, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                const double v = want[(size_t) (((i3 * cc.OC + i2) * OH + i1) * OW + i0)];
                ASSERT_NEAR(get(y, i0, i1, i2, i3), v, 1e-5 * (1 + std::fabs(v))) << i0 << " " << i1 << " " << i2;
            });

            if (cc.kernel_type != TEVO_TYPE_F32) continue;
            // <convT(x), g> = <x, conv(g)>: the direct convolution with the same kernel and stride
            tevo_tensor * g = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, OW, OH, cc.OC, cc.N);
            fill(g, rng);
            tevo_tensor * back = tevo_conv_2d_direct(c.ctx, k, g, cc.stride, cc.stride, 0, 0, 1, 1);
            compute_n(c.ctx, back, nth);
            ASSERT_TRUE(tevo_are_same_shape(back, x));
            const double lhs = dot(y, g), rhs = dot(x, back);
            EXPECT_NEAR(lhs, rhs, 1e-5 * (1 + std::fabs(lhs)));
        }
    }
}

// ---------------------------------------------------------------------------
// depthwise

struct DwCase {
    int64_t   IW, IH, C, N, KW, KH;
    int       s0, s1, p0, p1, d0, d1;
    tevo_type kernel_type;
};

// input [IW, IH, C, N] channel-last in memory: a permuted [C, IW, IH, N]
tevo_tensor * channel_last(tevo_context * ctx, const DwCase & dc) {
    tevo_tensor * b = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, dc.C, dc.IW, dc.IH, dc.N);
    return tevo_permute(ctx, b, 2, 0, 1, 3);
}

// kernel [KW, KH, 1, C] with the channels innermost: a permuted [C, KW, KH, 1]
tevo_tensor * kernel_channel_last(tevo_context * ctx, const DwCase & dc) {
    tevo_tensor * b = tevo_new_tensor_4d(ctx, dc.kernel_type, dc.C, dc.KW, dc.KH, 1);
    return tevo_permute(ctx, b, 3, 0, 1, 2);
}

TEST(KernelConv, DepthwisePlanarAndChannelLastAgreeWithTheSum) {
    const DwCase cases[] = {
        { 7, 6, 12, 2, 3, 3, 1, 1, 1, 1, 1, 1, TEVO_TYPE_F32 }, // 8 channels grouped, 4 one by one
        { 9, 8, 5, 1, 3, 2, 2, 1, 0, 1, 1, 2, TEVO_TYPE_F32 },
        { 8, 7, 16, 2, 2, 3, 1, 2, 1, 0, 2, 1, TEVO_TYPE_F16 },
    };
    for (const DwCase & dc : cases) {
        for (int nth : thread_counts()) {
            for (bool kernel_last : { false, true }) {
                SCOPED_TRACE(std::string(tevo_type_name(dc.kernel_type)) + " C " + std::to_string(dc.C) +
                             (kernel_last ? " kernel channel-last" : "") + " threads " + std::to_string(nth));
                Ctx           c;
                std::mt19937  rng(101);
                tevo_tensor * planar = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, dc.IW, dc.IH, dc.C, dc.N);
                fill(planar, rng);
                tevo_tensor * last = channel_last(c.ctx, dc);
                for_each(planar, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                    set(last, get(planar, i0, i1, i2, i3), i0, i1, i2, i3);
                });
                ASSERT_TRUE(tevo_is_contiguous_channels(last));
                tevo_tensor * k = kernel_last ? kernel_channel_last(c.ctx, dc)
                                              : tevo_new_tensor_4d(c.ctx, dc.kernel_type, dc.KW, dc.KH, 1, dc.C);
                fill(k, rng);

                tevo_tensor * yp = tevo_conv_2d_dw_direct(c.ctx, k, planar, dc.s0, dc.s1, dc.p0, dc.p1, dc.d0, dc.d1);
                tevo_tensor * yl = tevo_conv_2d_dw_direct(c.ctx, k, last, dc.s0, dc.s1, dc.p0, dc.p1, dc.d0, dc.d1);
                ASSERT_TRUE(tevo_are_same_shape(yp, yl));
                compute_n(c.ctx, yp, nth);
                compute_n(c.ctx, yl, nth);

                for_each(yp, [&](int64_t ow, int64_t oh, int64_t ch, int64_t n) {
                    double want = 0, mag = 0;
                    for (int64_t kh = 0; kh < dc.KH; ++kh)
                        for (int64_t kw = 0; kw < dc.KW; ++kw) {
                            const int64_t iw = ow * dc.s0 + kw * dc.d0 - dc.p0;
                            const int64_t ih = oh * dc.s1 + kh * dc.d1 - dc.p1;
                            if (iw < 0 || iw >= dc.IW || ih < 0 || ih >= dc.IH) continue;
                            const double t = (double) get(k, kw, kh, 0, ch) * get(planar, iw, ih, ch, n);
                            want += t;
                            mag += std::fabs(t);
                        }
                    ASSERT_NEAR(get(yp, ow, oh, ch, n), want, 1e-5 * (1 + mag));
                    // the same taps in the same order: the same bits
                    ASSERT_EQ(get_bits(yl, ow, oh, ch, n), get_bits(yp, ow, oh, ch, n)) << ow << " " << oh << " " << ch;
                });
            }
        }
    }
}

TEST(KernelConvDeathTest, Refusals) {
    death_setup();
    Ctx c;
    // half inputs would be read and written as floats
    tevo_tensor * kf = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, 3, 3, 2, 4);
    tevo_tensor * xh = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F16, 8, 8, 2, 1);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_conv_2d, tevo_conv_2d_direct(c.ctx, kf, xh, 1, 1, 1, 1, 1, 1)),
                 kernel_assert_re("input->type == TEVO_TYPE_F32"));
    tevo_tensor * k3 = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, 2, 2, 2, 4);
    tevo_tensor * x3 = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F16, 5, 5, 5, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_conv_3d,
                             tevo_conv_3d_direct(c.ctx, k3, x3, 1, 1, 1, 0, 0, 0, 1, 1, 1, 2, 1, 2)),
                 kernel_assert_re("input->type == TEVO_TYPE_F32"));
    tevo_tensor * kd = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, 3, 3, 1, 2);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_conv_2d_dw, tevo_conv_2d_dw_direct(c.ctx, kd, xh, 1, 1, 1, 1, 1, 1)),
                 kernel_assert_re("input->type == TEVO_TYPE_F32"));

    // a brain-float kernel has no direct path
    tevo_tensor * kb = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_BF16, 3, 3, 2, 4);
    tevo_tensor * xf = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, 8, 8, 2, 1);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_conv_2d, tevo_conv_2d_direct(c.ctx, kb, xf, 1, 1, 1, 1, 1, 1)),
                 kernel_assert_re("kernel->type == TEVO_TYPE_F16 || kernel->type == TEVO_TYPE_F32"));
    tevo_tensor * kq = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_BF16, 3, 2, 4);
    tevo_tensor * x1 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, 4);
    EXPECT_DEATH(call_kernel(tevo_compute_forward_conv_transpose_1d, tevo_conv_transpose_1d(c.ctx, kq, x1, 2, 0, 1)),
                 kernel_abort_re("fatal error"));

    // a depthwise input neither packed nor channel-last
    tevo_tensor * xs = tevo_transpose(c.ctx, tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, 8, 8, 2, 1));
    EXPECT_DEATH(call_kernel(tevo_compute_forward_conv_2d_dw, tevo_conv_2d_dw_direct(c.ctx, kd, xs, 1, 1, 1, 1, 1, 1)),
                 kernel_abort_re("non-contiguous memory layout not supported"));
}

} // namespace
