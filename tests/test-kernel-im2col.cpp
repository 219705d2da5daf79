// Patch matrices on the CPU: im2col in 1-D, 2-D and 3-D (checked element by
// element and, multiplied with a kernel, against a direct convolution), its
// gradient, the overlap-add of 1-D columns, and the convolutions built on them.

#include "kernel-test-helpers.h"

#include <cmath>
#include <limits>
#include <vector>

namespace {

using kt::Ctx;

int64_t out_size(int64_t in, int64_t k, int s, int p, int d) {
    return (in + 2 * p - d * (k - 1) - 1) / s + 1;
}

struct Im2colCase {
    bool      is_2D;
    int64_t   IW, IH, IC, N;
    int64_t   KW, KH;
    int       s0, s1, p0, p1, d0, d1;
    tevo_type src_type, dst_type;
    bool      strided; // image rows and planes further apart than packed
};

std::string describe(const Im2colCase & c) {
    return std::string(c.is_2D ? "2d" : "1d") + " IW=" + std::to_string(c.IW) + " KW=" + std::to_string(c.KW) +
           " s0=" + std::to_string(c.s0) + " p0=" + std::to_string(c.p0) + " d0=" + std::to_string(c.d0) + " " +
           tevo_type_name(c.src_type) + "->" + tevo_type_name(c.dst_type) + (c.strided ? " strided" : "");
}

// the image [IW, IH, IC, N] (1-D: [IW, IC, N]), as a view with gaps when strided
tevo_tensor * make_image(tevo_context * ctx, const Im2colCase & c) {
    const int64_t gap = c.strided ? 3 : 0;
    if (c.is_2D) {
        if (!c.strided) {
            return tevo_new_tensor_4d(ctx, c.src_type, c.IW, c.IH, c.IC, c.N);
        }
        tevo_tensor * base = tevo_new_tensor_4d(ctx, c.src_type, c.IW + gap, c.IH + 1, c.IC, c.N);
        return tevo_view_4d(ctx, base, c.IW, c.IH, c.IC, c.N, base->nb[1], base->nb[2], base->nb[3], base->nb[0]);
    }
    if (!c.strided) {
        return tevo_new_tensor_3d(ctx, c.src_type, c.IW, c.IC, c.N);
    }
    tevo_tensor * base = tevo_new_tensor_3d(ctx, c.src_type, c.IW + gap, c.IC, c.N + 1);
    return tevo_view_3d(ctx, base, c.IW, c.IC, c.N, base->nb[1], base->nb[2], 2 * base->nb[0]);
}

// the input element a tap reads, or 0 outside the image
float tap_value(const tevo_tensor * img, const Im2colCase & c, int64_t in, int64_t iic, int64_t ioh, int64_t iow,
                int64_t ikh, int64_t ikw) {
    const int64_t iiw = iow * c.s0 + ikw * c.d0 - c.p0;
    const int64_t iih = c.is_2D ? ioh * c.s1 + ikh * c.d1 - c.p1 : 0;
    if (iiw < 0 || iiw >= c.IW || iih < 0 || iih >= c.IH) {
        return 0.0f;
    }
    return c.is_2D ? kt::get(img, iiw, iih, iic, in) : kt::get(img, iiw, iic, in);
}

const std::vector<Im2colCase> & im2col_cases() {
    const tevo_type                      F32 = TEVO_TYPE_F32, F16 = TEVO_TYPE_F16;
    static const std::vector<Im2colCase> cases = {
        // padding 1 on a signal of 4: the first and last patches reach outside
        { false, 4, 1, 1, 1, 3, 1, 1, 0, 1, 0, 1, 0, F32, F32, false },
        // dilation 2: taps iiw, iiw + 2, iiw + 4
        { false, 11, 1, 2, 1, 3, 1, 1, 0, 0, 0, 2, 0, F32, F32, false },
        { false, 29, 1, 5, 2, 3, 1, 2, 0, 1, 0, 1, 0, F32, F16, false },
        { false, 20, 1, 4, 2, 5, 1, 3, 0, 2, 0, 2, 0, F16, F16, true },
        { false, 17, 1, 3, 2, 4, 1, 1, 0, 3, 0, 1, 0, F32, F32, true },
        { true, 7, 6, 3, 2, 3, 2, 2, 1, 1, 0, 1, 2, F32, F32, false },
        { true, 9, 8, 2, 1, 3, 3, 1, 2, 1, 1, 2, 1, F32, F16, true },
        { true, 6, 5, 4, 2, 2, 3, 1, 1, 0, 2, 1, 1, F16, F16, false },
        { true, 8, 7, 3, 1, 3, 3, 3, 2, 2, 1, 1, 1, F32, F32, true },
    };
    return cases;
}

TEST(KernelIm2col, PatchesElementByElement) {
    for (const Im2colCase & c : im2col_cases()) {
        for (int nth : kt::thread_counts()) {
            SCOPED_TRACE(describe(c) + " nth=" + std::to_string(nth));
            Ctx           ctx;
            std::mt19937  rng(51);
            tevo_tensor * img = make_image(ctx.ctx, c);
            kt::fill(img, rng, -3.0f, 3.0f);
            tevo_tensor * ker = c.is_2D ? tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F16, c.KW, c.KH, c.IC, 2)
                                        : tevo_new_tensor_3d(ctx.ctx, TEVO_TYPE_F16, c.KW, c.IC, 2);
            tevo_tensor * col = tevo_im2col(ctx.ctx, ker, img, c.s0, c.s1, c.p0, c.p1, c.d0, c.d1, c.is_2D, c.dst_type);
            kt::poison(col);
            kt::compute(ctx.ctx, { col }, nth);

            const int64_t OW = out_size(c.IW, c.KW, c.s0, c.p0, c.d0);
            const int64_t OH = c.is_2D ? out_size(c.IH, c.KH, c.s1, c.p1, c.d1) : 1;
            const int64_t KH = c.is_2D ? c.KH : 1;
            ASSERT_EQ(col->ne[0], c.IC * KH * c.KW);
            ASSERT_EQ(col->ne[1], OW);

            const char * data = (const char *) col->data;
            const size_t es   = tevo_type_size(c.dst_type);
            for (int64_t in = 0; in < c.N; ++in)
                for (int64_t ioh = 0; ioh < OH; ++ioh)
                    for (int64_t iow = 0; iow < OW; ++iow)
                        for (int64_t iic = 0; iic < c.IC; ++iic)
                            for (int64_t ikh = 0; ikh < KH; ++ikh)
                                for (int64_t ikw = 0; ikw < c.KW; ++ikw) {
                                    const int64_t idx = (in * OH * OW + ioh * OW + iow) * (c.IC * KH * c.KW) +
                                                        iic * KH * c.KW + ikh * c.KW + ikw;
                                    const float v = tap_value(img, c, in, iic, ioh, iow, ikh, ikw);
                                    uint32_t    got, want;
                                    if (c.dst_type == TEVO_TYPE_F32) {
                                        memcpy(&got, data + idx * es, 4);
                                        want = kt::bits(v);
                                    } else {
                                        uint16_t h;
                                        memcpy(&h, data + idx * es, 2);
                                        got  = h;
                                        want = tevo_fp32_to_fp16(v);
                                    }
                                    ASSERT_EQ(got, want) << "patch " << in << "," << ioh << "," << iow << " tap " << iic
                                                         << "," << ikh << "," << ikw;
                                }
        }
    }
}

TEST(KernelIm2col, PaddedTapsOfTheEdgeExample) {
    Ctx           ctx;
    tevo_tensor * img = tevo_new_tensor_2d(ctx.ctx, TEVO_TYPE_F32, 4, 1);
    for (int i = 0; i < 4; ++i) kt::set(img, (float) (i + 1), i);
    tevo_tensor * ker = tevo_new_tensor_2d(ctx.ctx, TEVO_TYPE_F32, 3, 1);
    tevo_tensor * col = tevo_im2col(ctx.ctx, ker, img, 1, 0, 1, 0, 1, 0, false, TEVO_TYPE_F32);
    kt::compute(ctx.ctx, { col }, 1);
    ASSERT_EQ(col->ne[1], 4);
    const float * d        = (const float *) col->data;
    const float   want[12] = { 0, 1, 2, 1, 2, 3, 2, 3, 4, 3, 4, 0 };
    for (int i = 0; i < 12; ++i) EXPECT_EQ(d[i], want[i]) << i;
}

TEST(KernelIm2col, HalfPatchesRoundToNearestEven) {
    Ctx           ctx;
    tevo_tensor * img   = tevo_new_tensor_2d(ctx.ctx, TEVO_TYPE_F32, 6, 1);
    const float   in[6] = { 65519.0f,           65520.0f,           -70000.0f,
                            1.0f + 1.0f / 2048, 1.0f + 3.0f / 2048, std::numeric_limits<float>::quiet_NaN() };
    memcpy(img->data, in, sizeof(in));
    tevo_tensor * ker = tevo_new_tensor_2d(ctx.ctx, TEVO_TYPE_F16, 1, 1);
    tevo_tensor * col = tevo_im2col(ctx.ctx, ker, img, 1, 0, 0, 0, 1, 0, false, TEVO_TYPE_F16);
    kt::compute(ctx.ctx, { col }, 2);
    const uint16_t * h = (const uint16_t *) col->data;
    EXPECT_EQ(h[0], 0x7BFF); // largest finite half
    EXPECT_EQ(h[1], 0x7C00); // 65520 and beyond: infinity
    EXPECT_EQ(h[2], 0xFC00);
    EXPECT_EQ(h[3], 0x3C00); // tie to even, down
    EXPECT_EQ(h[4], 0x3C02); // tie to even, up
    EXPECT_EQ(h[5], 0x7E00);
}

// the patch matrix times a kernel [KW, KH, IC, OC] against the convolution summed directly
TEST(KernelIm2col, PatchesTimesKernelIsTheDirectConvolution) {
    for (const Im2colCase & c : im2col_cases()) {
        if (c.dst_type != TEVO_TYPE_F32) {
            continue;
        }
        SCOPED_TRACE(describe(c));
        Ctx           ctx;
        std::mt19937  rng(53);
        const int64_t OC  = 3;
        const int64_t KH  = c.is_2D ? c.KH : 1;
        tevo_tensor * img = make_image(ctx.ctx, c);
        kt::fill(img, rng);
        tevo_tensor * ker = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, c.KW, KH, c.IC, OC);
        kt::fill(ker, rng);
        tevo_tensor * ker_view = c.is_2D ? ker : tevo_reshape_3d(ctx.ctx, ker, c.KW, c.IC, OC);
        tevo_tensor * col =
            tevo_im2col(ctx.ctx, ker_view, img, c.s0, c.s1, c.p0, c.p1, c.d0, c.d1, c.is_2D, TEVO_TYPE_F32);
        kt::compute(ctx.ctx, { col }, 3);

        const int64_t OW = out_size(c.IW, c.KW, c.s0, c.p0, c.d0);
        const int64_t OH = c.is_2D ? out_size(c.IH, c.KH, c.s1, c.p1, c.d1) : 1;
        const int64_t K  = c.IC * KH * c.KW;
        const float * p  = (const float *) col->data;
        const float * w  = (const float *) ker->data;
        for (int64_t in = 0; in < c.N; ++in)
            for (int64_t oc = 0; oc < OC; ++oc)
                for (int64_t ioh = 0; ioh < OH; ++ioh)
                    for (int64_t iow = 0; iow < OW; ++iow) {
                        const int64_t row = (in * OH + ioh) * OW + iow;
                        double        mm  = 0;
                        for (int64_t k = 0; k < K; ++k) mm += (double) p[row * K + k] * w[oc * K + k];
                        double direct = 0;
                        for (int64_t iic = 0; iic < c.IC; ++iic)
                            for (int64_t ikh = 0; ikh < KH; ++ikh)
                                for (int64_t ikw = 0; ikw < c.KW; ++ikw) {
                                    const int64_t iiw = iow * c.s0 + ikw * c.d0 - c.p0;
                                    const int64_t iih = c.is_2D ? ioh * c.s1 + ikh * c.d1 - c.p1 : 0;
                                    if (iiw < 0 || iiw >= c.IW || iih < 0 || iih >= c.IH)
                                        continue;
                                    const double x =
                                        c.is_2D ? kt::get(img, iiw, iih, iic, in) : kt::get(img, iiw, iic, in);
                                    direct += x * kt::get(ker, ikw, ikh, iic, oc);
                                }
                        ASSERT_NEAR(mm, direct, 1e-9) << in << "," << oc << "," << ioh << "," << iow;
                    }
    }
}

TEST(KernelIm2col, MoreThreadsThanChannels) {
    const Im2colCase c = { true, 9, 7, 1, 1, 3, 3, 1, 1, 1, 1, 1, 1, TEVO_TYPE_F32, TEVO_TYPE_F16, false };
    Ctx              ctx;
    std::mt19937     rng(55);
    tevo_tensor *    img = make_image(ctx.ctx, c);
    kt::fill(img, rng);
    tevo_tensor * ker = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F16, 3, 3, 1, 1);
    tevo_tensor * col = tevo_im2col(ctx.ctx, ker, img, 1, 1, 1, 1, 1, 1, true, TEVO_TYPE_F16);
    kt::poison(col);
    kt::compute(ctx.ctx, { col }, 8);
    const uint16_t * h = (const uint16_t *) col->data;
    for (int64_t i = 0; i < tevo_nelements(col); ++i) {
        ASSERT_NE(h[i], 0xFFFF) << i;
    }
    EXPECT_EQ(h[0], 0); // the corner tap of the first patch lies in the padding
    EXPECT_EQ(h[4], tevo_fp32_to_fp16(kt::get(img, 0, 0)));
}

// ---------------------------------------------------------------------------
// gradient

TEST(KernelIm2colBack, GathersEveryTapThatReadsAnElement) {
    for (const Im2colCase & c : im2col_cases()) {
        if (c.strided) {
            continue;
        }
        for (int nth : kt::thread_counts()) {
            SCOPED_TRACE(describe(c) + " nth=" + std::to_string(nth));
            Ctx           ctx;
            std::mt19937  rng(57);
            const int64_t KH = c.is_2D ? c.KH : 1;
            const int64_t OW = out_size(c.IW, c.KW, c.s0, c.p0, c.d0);
            const int64_t OH = c.is_2D ? out_size(c.IH, c.KH, c.s1, c.p1, c.d1) : 1;
            const int64_t K  = c.IC * KH * c.KW;
            tevo_tensor * g  = c.is_2D ? tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, K, OW, OH, c.N)
                                       : tevo_new_tensor_3d(ctx.ctx, TEVO_TYPE_F32, K, OW, c.N);
            kt::fill(g, rng);
            tevo_tensor * ker     = c.is_2D ? tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F16, c.KW, c.KH, c.IC, 1)
                                            : tevo_new_tensor_3d(ctx.ctx, TEVO_TYPE_F32, c.KW, c.IC, 1);
            const int64_t ne2d[4] = { c.IW, c.IH, c.IC, c.N };
            const int64_t ne1d[4] = { c.IW, c.IC, c.N, 1 };
            tevo_tensor * dimg =
                tevo_im2col_back(ctx.ctx, g, ker, c.is_2D ? ne2d : ne1d, c.s0, c.s1, c.p0, c.p1, c.d0, c.d1, c.is_2D);
            kt::poison(dimg);
            kt::compute(ctx.ctx, { dimg }, nth);

            std::vector<double> want((size_t) (c.IW * c.IH * c.IC * c.N), 0.0);
            const float *       gd = (const float *) g->data;
            for (int64_t in = 0; in < c.N; ++in)
                for (int64_t ioh = 0; ioh < OH; ++ioh)
                    for (int64_t iow = 0; iow < OW; ++iow)
                        for (int64_t iic = 0; iic < c.IC; ++iic)
                            for (int64_t ikh = 0; ikh < KH; ++ikh)
                                for (int64_t ikw = 0; ikw < c.KW; ++ikw) {
                                    const int64_t iiw = iow * c.s0 + ikw * c.d0 - c.p0;
                                    const int64_t iih = c.is_2D ? ioh * c.s1 + ikh * c.d1 - c.p1 : 0;
                                    if (iiw < 0 || iiw >= c.IW || iih < 0 || iih >= c.IH)
                                        continue;
                                    want[(size_t) (((in * c.IC + iic) * c.IH + iih) * c.IW + iiw)] +=
                                        gd[(in * OH * OW + ioh * OW + iow) * K + (iic * KH + ikh) * c.KW + ikw];
                                }
            const float * d = (const float *) dimg->data;
            for (size_t i = 0; i < want.size(); ++i) {
                ASSERT_NEAR(d[i], want[i], 1e-5) << i;
            }
        }
    }
}

TEST(KernelIm2colBack, InteriorElementsCollectThreeTaps) {
    Ctx           ctx;
    const int64_t IW = 8, KW = 3, OW = IW - KW + 1;
    tevo_tensor * g = tevo_new_tensor_2d(ctx.ctx, TEVO_TYPE_F32, KW, OW);
    for (int64_t i = 0; i < KW * OW; ++i) ((float *) g->data)[i] = 1.0f;
    tevo_tensor * ker   = tevo_new_tensor_2d(ctx.ctx, TEVO_TYPE_F32, KW, 1);
    const int64_t ne[4] = { IW, 1, 1, 1 };
    tevo_tensor * d     = tevo_im2col_back(ctx.ctx, g, ker, ne, 1, 0, 0, 0, 1, 0, false);
    kt::compute(ctx.ctx, { d }, 1);
    const float want[8] = { 1, 2, 3, 3, 3, 3, 2, 1 };
    for (int i = 0; i < 8; ++i) EXPECT_EQ(kt::get(d, i), want[i]) << i;
}

// ---------------------------------------------------------------------------
// 3-D

TEST(KernelIm2col3d, PatchesElementByElement) {
    struct Case {
        int64_t   IW, IH, ID, IC, N, KW, KH, KD;
        int       s[3], p[3], d[3];
        tevo_type dst_type;
        bool      strided;
    };
    const std::vector<Case> cases = {
        { 5, 4, 3, 2, 1, 2, 2, 2, { 1, 1, 1 }, { 0, 0, 0 }, { 1, 1, 1 }, TEVO_TYPE_F32, false },
        { 6, 5, 4, 2, 2, 3, 2, 2, { 2, 1, 1 }, { 1, 1, 1 }, { 1, 2, 1 }, TEVO_TYPE_F16, false },
        { 7, 4, 5, 3, 1, 2, 3, 3, { 1, 2, 2 }, { 1, 0, 2 }, { 2, 1, 1 }, TEVO_TYPE_F32, true },
    };
    for (const Case & c : cases) {
        for (int nth : kt::thread_counts()) {
            SCOPED_TRACE("IW=" + std::to_string(c.IW) + " nth=" + std::to_string(nth));
            Ctx           ctx;
            std::mt19937  rng(59);
            tevo_tensor * vol;
            if (c.strided) { // rows, slices and volumes with gaps
                tevo_tensor * base =
                    tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, c.IW + 2, c.IH + 1, c.ID + 1, c.N * c.IC);
                vol = tevo_view_4d(ctx.ctx, base, c.IW, c.IH, c.ID, c.N * c.IC, base->nb[1], base->nb[2], base->nb[3],
                                   base->nb[0]);
            } else {
                vol = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, c.IW, c.IH, c.ID, c.N * c.IC);
            }
            kt::fill(vol, rng);
            tevo_tensor * ker = tevo_new_tensor_4d(ctx.ctx, TEVO_TYPE_F32, c.KW, c.KH, c.KD, c.IC * 2);
            tevo_tensor * col = tevo_im2col_3d(ctx.ctx, ker, vol, c.IC, c.s[0], c.s[1], c.s[2], c.p[0], c.p[1], c.p[2],
                                               c.d[0], c.d[1], c.d[2], c.dst_type);
            kt::poison(col);
            kt::compute(ctx.ctx, { col }, nth);

            const int64_t OW = out_size(c.IW, c.KW, c.s[0], c.p[0], c.d[0]);
            const int64_t OH = out_size(c.IH, c.KH, c.s[1], c.p[1], c.d[1]);
            const int64_t OD = out_size(c.ID, c.KD, c.s[2], c.p[2], c.d[2]);
            const int64_t K  = c.IC * c.KD * c.KH * c.KW;
            for (int64_t in = 0; in < c.N; ++in)
                for (int64_t iod = 0; iod < OD; ++iod)
                    for (int64_t ioh = 0; ioh < OH; ++ioh)
                        for (int64_t iow = 0; iow < OW; ++iow)
                            for (int64_t iic = 0; iic < c.IC; ++iic)
                                for (int64_t ikd = 0; ikd < c.KD; ++ikd)
                                    for (int64_t ikh = 0; ikh < c.KH; ++ikh)
                                        for (int64_t ikw = 0; ikw < c.KW; ++ikw) {
                                            const int64_t iiw = iow * c.s[0] + ikw * c.d[0] - c.p[0];
                                            const int64_t iih = ioh * c.s[1] + ikh * c.d[1] - c.p[1];
                                            const int64_t iid = iod * c.s[2] + ikd * c.d[2] - c.p[2];
                                            float         v   = 0.0f;
                                            if (iiw >= 0 && iiw < c.IW && iih >= 0 && iih < c.IH && iid >= 0 &&
                                                iid < c.ID) {
                                                v = kt::get(vol, iiw, iih, iid, in * c.IC + iic);
                                            }
                                            const int64_t idx = (((in * OD + iod) * OH + ioh) * OW + iow) * K +
                                                                ((iic * c.KD + ikd) * c.KH + ikh) * c.KW + ikw;
                                            if (c.dst_type == TEVO_TYPE_F32) {
                                                ASSERT_EQ(kt::bits(((const float *) col->data)[idx]), kt::bits(v))
                                                    << idx;
                                            } else {
                                                ASSERT_EQ(((const uint16_t *) col->data)[idx], tevo_fp32_to_fp16(v))
                                                    << idx;
                                            }
                                        }
        }
    }
}

// ---------------------------------------------------------------------------
// COL2IM_1D

TEST(KernelCol2im1d, OverlapAddInEveryType) {
    struct Case {
        int64_t K, oc, T_in;
        int     s0, p0;
    };
    for (tevo_type type : { TEVO_TYPE_F32, TEVO_TYPE_F16, TEVO_TYPE_BF16 }) {
        for (const Case & c :
             { Case{ 4, 3, 6, 4, 0 }, Case{ 5, 2, 9, 2, 1 }, Case{ 7, 3, 5, 3, 2 }, Case{ 3, 1, 4, 1, 0 } }) {
            for (int nth : kt::thread_counts()) {
                SCOPED_TRACE(std::string(tevo_type_name(type)) + " K=" + std::to_string(c.K) +
                             " s0=" + std::to_string(c.s0) + " nth=" + std::to_string(nth));
                Ctx           ctx;
                std::mt19937  rng(61);
                tevo_tensor * col = tevo_new_tensor_2d(ctx.ctx, type, c.K * c.oc, c.T_in);
                kt::fill(col, rng);
                tevo_tensor * sig = tevo_col2im_1d(ctx.ctx, col, c.s0, (int) c.oc, c.p0);
                kt::poison(sig);
                kt::compute(ctx.ctx, { sig }, nth);

                const int64_t T_out = (c.T_in - 1) * c.s0 + c.K - 2 * c.p0;
                ASSERT_EQ(sig->ne[0], T_out);
                for (int64_t ch = 0; ch < c.oc; ++ch)
                    for (int64_t t = 0; t < T_out; ++t) {
                        double want = 0;
                        int    n    = 0;
                        for (int64_t ti = 0; ti < c.T_in; ++ti)
                            for (int64_t k = 0; k < c.K; ++k)
                                if (ti * c.s0 + k - c.p0 == t) {
                                    want += kt::get(col, ch * c.K + k, ti);
                                    n++;
                                }
                        const double tol = type == TEVO_TYPE_F32 ? 1e-6 : type == TEVO_TYPE_F16 ? 4e-3 : 3e-2;
                        ASSERT_NEAR(kt::get(sig, t, ch), want, tol) << ch << "," << t;
                        if (c.s0 == c.K && c.p0 == 0) {
                            // a plain reshuffle: exactly one source element each
                            ASSERT_EQ(n, 1);
                            ASSERT_EQ(kt::get_bits(sig, t, ch), kt::get_bits(col, ch * c.K + t % c.K, t / c.K));
                        }
                    }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// the convolutions built from im2col and a matrix product

TEST(KernelIm2col, Conv1dAndConv2dThroughTheCpuBackend) {
    // the patches are halves: the reference rounds the inputs the same way
    auto h = [](float v) { return (double) tevo_fp16_to_fp32(tevo_fp32_to_fp16(v)); };

    tevo_tensor * x = nullptr;
    tevo_tensor * w = nullptr;
    const int64_t L = 23, IC = 4, OC = 5, K = 3;
    kt::compute_on_backend(
        [&](tevo_context * ctx) {
            x = tevo_new_tensor_2d(ctx, TEVO_TYPE_F32, L, IC);
            w = tevo_new_tensor_3d(ctx, TEVO_TYPE_F16, K, IC, OC);
            return tevo_conv_1d_ph(ctx, w, x, 1, 1);
        },
        [&] {
            std::mt19937 rng(63);
            kt::fill(x, rng);
            kt::fill(w, rng);
        },
        [&](tevo_tensor * y) {
            ASSERT_EQ(y->ne[0], L);
            ASSERT_EQ(y->ne[1], OC);
            for (int64_t oc = 0; oc < OC; ++oc)
                for (int64_t t = 0; t < L; ++t) {
                    double want = 0;
                    for (int64_t ic = 0; ic < IC; ++ic)
                        for (int64_t k = 0; k < K; ++k) {
                            const int64_t i = t + k - K / 2;
                            if (i >= 0 && i < L)
                                want += h(kt::get(x, i, ic)) * kt::get(w, k, ic, oc);
                        }
                    ASSERT_NEAR(kt::get(y, t, oc), want, 1e-4) << oc << "," << t;
                }
        });

    const int64_t OW = out_size(9, 3, 2, 1, 1), OH = out_size(8, 2, 1, 0, 1);
    kt::compute_on_backend(
        [&](tevo_context * ctx) {
            x = tevo_new_tensor_3d(ctx, TEVO_TYPE_F32, 9, 8, IC);
            w = tevo_new_tensor_4d(ctx, TEVO_TYPE_F16, 3, 2, IC, OC);
            return tevo_conv_2d(ctx, w, x, 2, 1, 1, 0, 1, 1);
        },
        [&] {
            std::mt19937 rng(65);
            kt::fill(x, rng);
            kt::fill(w, rng);
        },
        [&](tevo_tensor * y) {
            ASSERT_EQ(y->ne[0], OW);
            ASSERT_EQ(y->ne[1], OH);
            for (int64_t oc = 0; oc < OC; ++oc)
                for (int64_t oh = 0; oh < OH; ++oh)
                    for (int64_t ow = 0; ow < OW; ++ow) {
                        double want = 0;
                        for (int64_t ic = 0; ic < IC; ++ic)
                            for (int64_t kh = 0; kh < 2; ++kh)
                                for (int64_t kw = 0; kw < 3; ++kw) {
                                    const int64_t iw = ow * 2 + kw - 1, ih = oh + kh;
                                    if (iw >= 0 && iw < 9 && ih < 8) {
                                        want += h(kt::get(x, iw, ih, ic)) * kt::get(w, kw, kh, ic, oc);
                                    }
                                }
                        ASSERT_NEAR(kt::get(y, ow, oh, oc), want, 1e-4) << oc << "," << oh << "," << ow;
                    }
        });
}

// ---------------------------------------------------------------------------
// refusals

struct KernelIm2colDeath : ::testing::Test {
    Ctx c;
};

TEST_F(KernelIm2colDeath, TypesAndStrides) {
    tevo_tensor * ker = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 3, 2);
    tevo_tensor * x16 = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 10, 2);
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_im2col,
                                 tevo_im2col(c.ctx, ker, x16, 1, 0, 0, 0, 1, 0, false, TEVO_TYPE_F32)),
                 kt::kernel_assert_re("src1->type == TEVO_TYPE_F32"));
    tevo_tensor * xt = tevo_transpose(c.ctx, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 2, 10));
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_im2col,
                                 tevo_im2col(c.ctx, ker, xt, 1, 0, 0, 0, 1, 0, false, TEVO_TYPE_F16)),
                 kt::kernel_assert_re("nb10 == tevo_type_size(src1->type)"));
    tevo_tensor * bad = tevo_im2col(c.ctx, ker, tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 10, 2), 1, 0, 0, 0, 1, 0,
                                    false, TEVO_TYPE_F32);
    bad->type         = TEVO_TYPE_BF16;
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_im2col, bad), kt::kernel_abort_re("fatal error"));

    const int64_t ne[4] = { 10, 2, 1, 1 };
    tevo_tensor * g     = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F16, 6, 8, 1);
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_im2col_back_f32,
                                 tevo_im2col_back(c.ctx, g, ker, ne, 1, 0, 0, 0, 1, 0, false)),
                 kt::kernel_assert_re("src0->type == TEVO_TYPE_F32"));

    tevo_tensor * v16 = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F16, 5, 5, 5, 2);
    tevo_tensor * k3  = tevo_new_tensor_4d(c.ctx, TEVO_TYPE_F32, 2, 2, 2, 2);
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_im2col_3d,
                                 tevo_im2col_3d(c.ctx, k3, v16, 1, 1, 1, 1, 0, 0, 0, 1, 1, 1, TEVO_TYPE_F16)),
                 kt::kernel_assert_re("src1->type == TEVO_TYPE_F32"));

    tevo_tensor * col = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, 4);
    tevo_tensor * sig = tevo_col2im_1d(c.ctx, col, 2, 2, 0);
    col->type         = TEVO_TYPE_I32;
    EXPECT_DEATH(kt::call_kernel(tevo_compute_forward_col2im_1d, sig),
                 kt::kernel_abort_re("col2im_1d: unsupported type 26"));
}

} // namespace
