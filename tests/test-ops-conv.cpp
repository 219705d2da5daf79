// Convolution, im2col and pooling constructors: node records, the graphs of
// the composite convolutions, and the shape checks.

#include "test-ops-tables.h"

using namespace opstest;

namespace {

const char * kKernelFits0 =
    "((int64_t) d0 * (a->ne[0] - 1) + 1 <= b->ne[0] + 2 * (int64_t) p0) && \"kernel larger than padded input\"";
const char * kKernelFits1 =
    "((int64_t) d1 * (a->ne[1] - 1) + 1 <= b->ne[1] + 2 * (int64_t) p1) && \"kernel larger than padded input\"";
const char * kKernelFits2 =
    "((int64_t) d2 * (a->ne[2] - 1) + 1 <= b->ne[2] + 2 * (int64_t) p2) && \"kernel larger than padded input\"";

} // namespace

TEST(OpsConv, NodesWithTheirOwnOperator) {
    const float p_half = 0.5f, p_frac = 1.9f;

    run_table({
        { "im2col 2-D, strided and padded",
          [](Ctx & c) {
              auto a = c.t(TEVO_TYPE_F16, 3, 3, 4, 8), b = c.f32(10, 12, 4, 2);
              return Built{ tevo_im2col(c.ctx, a, b, 1, 2, 1, 0, 1, 1, true, TEVO_TYPE_F16), { a, b } };
          },
          { TEVO_TYPE_F16, { 36, 10, 5, 2 }, TEVO_OP_IM2COL, words({ 1, 2, 1, 0, 1, 1, 1 }), "" } },
        { "im2col 1-D keeps the given result type",
          [](Ctx & c) {
              auto a = c.t(TEVO_TYPE_F16, 3, 80, 384), b = c.f32(3000, 80);
              return Built{ tevo_im2col(c.ctx, a, b, 1, 0, 1, 0, 1, 0, false, TEVO_TYPE_F32), { a, b } };
          },
          { TEVO_TYPE_F32, { 240, 3000, 1, 1 }, TEVO_OP_IM2COL, words({ 1, 0, 1, 0, 1, 0, 0 }), "" } },
        { "im2col 1-D dilated, batch in dimension 2",
          [](Ctx & c) {
              auto a = c.f32(3, 2, 5), b = c.f32(20, 2, 3);
              return Built{ tevo_im2col(c.ctx, a, b, 2, 0, 0, 0, 2, 0, false, TEVO_TYPE_F16), { a, b } };
          },
          { TEVO_TYPE_F16, { 6, 8, 3, 1 }, TEVO_OP_IM2COL, words({ 2, 0, 0, 0, 2, 0, 0 }), "" } },
        { "im2col_back takes the given extents",
          [](Ctx & c) {
              auto          a     = c.f32(36, 10, 5, 2), b = c.f32(3, 3, 4, 8);
              const int64_t ne[4] = { 10, 12, 4, 2 };
              return Built{ tevo_im2col_back(c.ctx, a, b, ne, 1, 2, 1, 0, 1, 1, true), { a, b } };
          },
          { TEVO_TYPE_F32, { 10, 12, 4, 2 }, TEVO_OP_IM2COL_BACK, words({ 1, 2, 1, 0, 1, 1, 1 }), "" } },
        { "im2col_3d",
          [](Ctx & c) {
              auto a = c.f32(3, 2, 2, 10), b = c.f32(8, 6, 5, 6);
              return Built{ tevo_im2col_3d(c.ctx, a, b, 2, 1, 1, 1, 0, 1, 0, 1, 1, 2, TEVO_TYPE_F16), { a, b } };
          },
          { TEVO_TYPE_F16, { 24, 6, 7, 9 }, TEVO_OP_IM2COL_3D, words({ 1, 1, 1, 0, 1, 0, 1, 1, 2, 2 }), "" } },
        { "col2im_1d keeps the source type",
          [](Ctx & c) {
              auto a = c.t(TEVO_TYPE_F16, 12, 5);
              return Built{ tevo_col2im_1d(c.ctx, a, 2, 4, 1), { a } };
          },
          { TEVO_TYPE_F16, { 9, 4, 1, 1 }, TEVO_OP_COL2IM_1D, words({ 2, 4, 1 }), "" } },
        { "conv_transpose_1d",
          [](Ctx & c) {
              auto a = c.t(TEVO_TYPE_F16, 3, 4, 6), b = c.f32(10, 6);
              return Built{ tevo_conv_transpose_1d(c.ctx, a, b, 2, 0, 1), { a, b } };
          },
          { TEVO_TYPE_F32, { 21, 4, 1, 1 }, TEVO_OP_CONV_TRANSPOSE_1D, words({ 2, 0, 1 }), "" } },
        { "conv_2d_direct takes the data type",
          [](Ctx & c) {
              auto a = c.f32(3, 3, 4, 8), b = c.t(TEVO_TYPE_F16, 10, 12, 4, 2);
              return Built{ tevo_conv_2d_direct(c.ctx, a, b, 1, 2, 1, 0, 1, 1), { a, b } };
          },
          { TEVO_TYPE_F16, { 10, 5, 8, 2 }, TEVO_OP_CONV_2D, words({ 1, 2, 1, 0, 1, 1 }), "" } },
        { "conv_3d_direct",
          [](Ctx & c) {
              auto a = c.f32(3, 2, 2, 10), b = c.f32(8, 6, 5, 6);
              return Built{ tevo_conv_3d_direct(c.ctx, a, b, 1, 1, 1, 0, 1, 0, 1, 1, 2, 2, 3, 5), { a, b } };
          },
          { TEVO_TYPE_F32, { 6, 7, 3, 15 }, TEVO_OP_CONV_3D, words({ 1, 1, 1, 0, 1, 0, 1, 1, 2, 2, 3, 5 }), "" } },
        { "conv_2d_dw_direct, packed data",
          [](Ctx & c) {
              auto a = c.f32(3, 3, 1, 4), b = c.f32(10, 12, 4, 2);
              return Built{ tevo_conv_2d_dw_direct(c.ctx, a, b, 1, 1, 1, 1, 1, 1), { a, b } };
          },
          { TEVO_TYPE_F32, { 10, 12, 4, 2 }, TEVO_OP_CONV_2D_DW, words({ 1, 1, 1, 1, 1, 1 }), "" } },
        { "conv_transpose_2d_p0",
          [](Ctx & c) {
              auto a = c.t(TEVO_TYPE_F16, 3, 3, 5, 4), b = c.f32(6, 7, 4, 2);
              return Built{ tevo_conv_transpose_2d_p0(c.ctx, a, b, 2), { a, b } };
          },
          { TEVO_TYPE_F32, { 13, 15, 5, 2 }, TEVO_OP_CONV_TRANSPOSE_2D, words({ 2 }), "" } },
        { "pool_1d truncates 1.5 to 1",
          [](Ctx & c) {
              auto a = c.f32(4, 3, 2);
              return Built{ tevo_pool_1d(c.ctx, a, TEVO_OP_POOL_AVG, 3, 2, 0), { a } };
          },
          { TEVO_TYPE_F32, { 1, 3, 2, 1 }, TEVO_OP_POOL_1D, words({ 1, 3, 2, 0 }), "" } },
        { "pool_2d: float padding in the extent, whole padding in the words",
          [=](Ctx & c) {
              auto a = c.t(TEVO_TYPE_F16, 5, 8, 3, 2);
              return Built{ tevo_pool_2d(c.ctx, a, TEVO_OP_POOL_MAX, 2, 3, 2, 1, p_half, p_frac), { a } };
          },
          { TEVO_TYPE_F32, { 3, 9, 3, 2 }, TEVO_OP_POOL_2D, words({ 0, 2, 3, 2, 1, 0, 1 }), "" } },
        { "pool_2d_back takes the pooling input's extents",
          [=](Ctx & c) {
              auto a = c.f32(3, 9, 3, 2), af = c.t(TEVO_TYPE_F16, 5, 8, 3, 2);
              return Built{ tevo_pool_2d_back(c.ctx, a, af, TEVO_OP_POOL_AVG, 2, 3, 2, 1, p_half, p_frac),
                            { a, af } };
          },
          { TEVO_TYPE_F32, { 5, 8, 3, 2 }, TEVO_OP_POOL_2D_BACK, words({ 1, 2, 3, 2, 1, 0, 1 }), "" } },
    });
}

TEST(OpsConv, DepthwiseDirectKeepsChannelInnermostLayout) {
    run_table({
        { "channels innermost: result strides follow",
          [](Ctx & c) {
              // [C, W, H, N] packed, seen as [W, H, C, N]
              auto cwhn = c.f32(4, 10, 12, 2);
              auto b    = tevo_permute(c.ctx, cwhn, 2, 0, 1, 3);
              auto a    = c.f32(3, 3, 1, 4);
              return Built{ tevo_conv_2d_dw_direct(c.ctx, a, b, 1, 1, 1, 1, 1, 1), { a, b } };
          },
          { TEVO_TYPE_F32, { 10, 12, 4, 2 }, TEVO_OP_CONV_2D_DW, words({ 1, 1, 1, 1, 1, 1 }), "",
            { 16, 160, 4, 4 * 10 * 12 * 4 } } },
    });
}

// conv_1d: im2col, two reshapes into a matrix product, reshape of the product
TEST(OpsConv, Conv1dGraph) {
    Ctx  c;
    auto a = c.t(TEVO_TYPE_F16, 3, 80, 384);
    auto b = c.f32(3000, 80);

    tevo_tensor * r = tevo_conv_1d(c.ctx, a, b, 1, 1, 1);
    EXPECT_EQ(r->op, TEVO_OP_RESHAPE);
    EXPECT_EQ(r->type, TEVO_TYPE_F32);
    EXPECT_EQ(r->ne[0], 3000);
    EXPECT_EQ(r->ne[1], 384);
    EXPECT_EQ(r->ne[2], 1);
    EXPECT_EQ(r->ne[3], 1);

    tevo_tensor * mm = r->src[0];
    ASSERT_EQ(mm->op, TEVO_OP_MUL_MAT);
    EXPECT_EQ(mm->ne[0], 3000);
    EXPECT_EQ(mm->ne[1], 384);

    tevo_tensor * cols2d = mm->src[0];
    ASSERT_EQ(cols2d->op, TEVO_OP_RESHAPE);
    EXPECT_EQ(cols2d->ne[0], 240);
    EXPECT_EQ(cols2d->ne[1], 3000);

    tevo_tensor * im2col = cols2d->src[0];
    check_node(Built{ im2col, { a, b } },
               { TEVO_TYPE_F16, { 240, 3000, 1, 1 }, TEVO_OP_IM2COL, words({ 1, 0, 1, 0, 1, 0, 0 }), "" });

    tevo_tensor * kernel2d = mm->src[1];
    ASSERT_EQ(kernel2d->op, TEVO_OP_RESHAPE);
    EXPECT_EQ(kernel2d->src[0], a);
    EXPECT_EQ(kernel2d->ne[0], 240);
    EXPECT_EQ(kernel2d->ne[1], 384);
}

TEST(OpsConv, Conv1dHalfPaddingAndColumnType) {
    struct Row {
        tevo_type kernel_type;
        int64_t   width;
        int       stride;
        int       pad; // expected: width / 2
        int64_t   out;
        tevo_type col_type;
    };
    const Row rows[] = {
        { TEVO_TYPE_F16, 5, 2, 2, 1500, TEVO_TYPE_F16 },
        { TEVO_TYPE_F16, 4, 1, 2, 3001, TEVO_TYPE_F16 },
        { TEVO_TYPE_BF16, 3, 1, 1, 3000, TEVO_TYPE_F32 },
        { TEVO_TYPE_F32, 3, 2, 1, 1500, TEVO_TYPE_F16 },
    };
    for (const Row & row : rows) {
        SCOPED_TRACE(row.width);
        Ctx  c;
        auto a = c.t(row.kernel_type, row.width, 80, 384);
        auto b = c.f32(3000, 80);

        tevo_tensor * r = tevo_conv_1d_ph(c.ctx, a, b, row.stride, 1);
        EXPECT_EQ(r->ne[0], row.out);
        EXPECT_EQ(r->ne[1], 384);

        tevo_tensor * im2col = r->src[0]->src[0]->src[0];
        ASSERT_EQ(im2col->op, TEVO_OP_IM2COL);
        EXPECT_EQ(im2col->type, row.col_type);
        EXPECT_EQ(im2col->op_params[0], row.stride);
        EXPECT_EQ(im2col->op_params[2], row.pad);
    }
}

TEST(OpsConv, Conv1dDepthwise) {
    Ctx  c;
    auto a = c.t(TEVO_TYPE_F16, 3, 1, 6);
    auto b = c.f32(20, 6);

    tevo_tensor * r = tevo_conv_1d_dw_ph(c.ctx, a, b, 1, 1);
    EXPECT_EQ(r->op, TEVO_OP_RESHAPE);
    EXPECT_EQ(r->ne[0], 20);
    EXPECT_EQ(r->ne[1], 6);
    EXPECT_EQ(r->ne[2], 1);

    tevo_tensor * mm = r->src[0];
    ASSERT_EQ(mm->op, TEVO_OP_MUL_MAT);
    EXPECT_EQ(mm->src[1], a);

    tevo_tensor * im2col = mm->src[0];
    ASSERT_EQ(im2col->op, TEVO_OP_IM2COL);
    EXPECT_EQ(im2col->type, TEVO_TYPE_F16);
    EXPECT_EQ(im2col->ne[0], 3);
    EXPECT_EQ(im2col->ne[1], 20);
    EXPECT_EQ(im2col->ne[2], 6);
    EXPECT_EQ(im2col->op_params[2], 1);
    // the data seen as [L, 1, C, 1]
    EXPECT_EQ(im2col->src[1]->op, TEVO_OP_RESHAPE);
    EXPECT_EQ(im2col->src[1]->ne[1], 1);
    EXPECT_EQ(im2col->src[1]->ne[2], 6);
}

TEST(OpsConv, Conv2dGraph) {
    Ctx  c;
    auto a = c.t(TEVO_TYPE_F16, 3, 3, 4, 8);
    auto b = c.f32(10, 12, 4, 2);

    tevo_tensor * r = tevo_conv_2d_s1_ph(c.ctx, a, b);
    EXPECT_EQ(r->op, TEVO_OP_CONT);
    EXPECT_EQ(r->ne[0], 10);
    EXPECT_EQ(r->ne[1], 12);
    EXPECT_EQ(r->ne[2], 8);
    EXPECT_EQ(r->ne[3], 2);

    tevo_tensor * perm = r->src[0];
    ASSERT_EQ(perm->op, TEVO_OP_PERMUTE);
    EXPECT_EQ(perm->op_params[0], 0);
    EXPECT_EQ(perm->op_params[1], 1);
    EXPECT_EQ(perm->op_params[2], 3);
    EXPECT_EQ(perm->op_params[3], 2);

    tevo_tensor * shaped = perm->src[0]; // [OW, OH, N, OC]
    ASSERT_EQ(shaped->op, TEVO_OP_RESHAPE);
    EXPECT_EQ(shaped->ne[2], 2);
    EXPECT_EQ(shaped->ne[3], 8);

    tevo_tensor * mm = shaped->src[0];
    ASSERT_EQ(mm->op, TEVO_OP_MUL_MAT);
    EXPECT_EQ(mm->ne[0], 10 * 12 * 2);
    EXPECT_EQ(mm->ne[1], 8);

    tevo_tensor * im2col = mm->src[0]->src[0];
    check_node(Built{ im2col, { a, b } },
               { TEVO_TYPE_F16, { 36, 10, 12, 2 }, TEVO_OP_IM2COL, words({ 1, 1, 1, 1, 1, 1, 1 }), "" });
}

TEST(OpsConv, Conv2dVariants) {
    {
        Ctx  c;
        auto a = c.t(TEVO_TYPE_F16, 2, 2, 3, 5);
        auto b = c.f32(8, 6, 3, 1);

        tevo_tensor * r = tevo_conv_2d_sk_p0(c.ctx, a, b);
        EXPECT_EQ(r->ne[0], 4);
        EXPECT_EQ(r->ne[1], 3);
        EXPECT_EQ(r->ne[2], 5);
        EXPECT_EQ(r->ne[3], 1);
        tevo_tensor * im2col = r->src[0]->src[0]->src[0]->src[0]->src[0];
        ASSERT_EQ(im2col->op, TEVO_OP_IM2COL);
        EXPECT_EQ(im2col->op_params[0], 2);
        EXPECT_EQ(im2col->op_params[1], 2);
        EXPECT_EQ(im2col->op_params[2], 0);
        EXPECT_EQ(im2col->op_params[3], 0);
    }
    {
        Ctx  c;
        auto a = c.t(TEVO_TYPE_BF16, 3, 3, 4, 8);
        auto b = c.f32(10, 12, 4, 2);

        tevo_tensor * r      = tevo_conv_2d(c.ctx, a, b, 1, 1, 0, 0, 1, 1);
        tevo_tensor * im2col = r->src[0]->src[0]->src[0]->src[0]->src[0];
        ASSERT_EQ(im2col->op, TEVO_OP_IM2COL);
        EXPECT_EQ(im2col->type, TEVO_TYPE_F32);
    }
}

TEST(OpsConv, Conv2dDepthwise) {
    for (tevo_type kt : { TEVO_TYPE_F16, TEVO_TYPE_BF16 }) {
        Ctx  c;
        auto a = c.t(kt, 3, 3, 1, 4);
        auto b = c.f32(10, 12, 4, 2);

        tevo_tensor * r = tevo_conv_2d_dw(c.ctx, a, b, 1, 1, 0, 0, 1, 1);
        EXPECT_EQ(r->op, TEVO_OP_RESHAPE);
        EXPECT_EQ(r->ne[0], 8);
        EXPECT_EQ(r->ne[1], 10);
        EXPECT_EQ(r->ne[2], 4);
        EXPECT_EQ(r->ne[3], 2);

        tevo_tensor * mm = r->src[0];
        ASSERT_EQ(mm->op, TEVO_OP_MUL_MAT);
        // kernel as [KW * KH, 1, C, 1]
        EXPECT_EQ(mm->src[0]->ne[0], 9);
        EXPECT_EQ(mm->src[0]->ne[1], 1);
        EXPECT_EQ(mm->src[0]->ne[2], 4);
        EXPECT_EQ(mm->src[0]->ne[3], 1);

        tevo_tensor * im2col = mm->src[1]->src[0];
        ASSERT_EQ(im2col->op, TEVO_OP_IM2COL);
        EXPECT_EQ(im2col->type, kt == TEVO_TYPE_BF16 ? TEVO_TYPE_F32 : TEVO_TYPE_F16);
        EXPECT_EQ(im2col->ne[0], 9);
        EXPECT_EQ(im2col->ne[1], 8);
        EXPECT_EQ(im2col->ne[2], 10);
        EXPECT_EQ(im2col->ne[3], 8);
    }
}

TEST(OpsConv, Conv3dGraph) {
    for (tevo_type kt : { TEVO_TYPE_F16, TEVO_TYPE_BF16 }) {
        Ctx  c;
        auto a = c.t(kt, 3, 2, 2, 10); // IC 2, OC 5
        auto b = c.f32(8, 6, 5, 6);    // IC 2, N 3

        tevo_tensor * r = tevo_conv_3d(c.ctx, a, b, 2, 1, 1, 1, 0, 1, 0, 1, 1, 2);
        EXPECT_EQ(r->op, TEVO_OP_RESHAPE);
        EXPECT_EQ(r->ne[0], 6);
        EXPECT_EQ(r->ne[1], 7);
        EXPECT_EQ(r->ne[2], 3);
        EXPECT_EQ(r->ne[3], 15);

        tevo_tensor * cont = r->src[0];
        ASSERT_EQ(cont->op, TEVO_OP_CONT);
        ASSERT_EQ(cont->src[0]->op, TEVO_OP_PERMUTE);

        tevo_tensor * im2col = cont->src[0]->src[0]->src[0]->src[0]->src[0];
        ASSERT_EQ(im2col->op, TEVO_OP_IM2COL_3D);
        EXPECT_EQ(im2col->type, kt == TEVO_TYPE_BF16 ? TEVO_TYPE_F32 : TEVO_TYPE_F16);
        EXPECT_EQ(im2col->ne[0], 24);
        EXPECT_EQ(im2col->ne[3], 9);
    }
}

// An empty batch gives an empty result instead of dividing by its size.
TEST(OpsConv, Conv3dOfAnEmptyBatch) {
    Ctx  c;
    auto a = c.t(TEVO_TYPE_F16, 3, 2, 2, 10); // IC 2, OC 5
    auto b = c.f32(8, 6, 5, 0);               // IC 2, N 0

    tevo_tensor * r = tevo_conv_3d(c.ctx, a, b, 2, 1, 1, 1, 0, 1, 0, 1, 1, 2);
    EXPECT_EQ(r->ne[0], 6);
    EXPECT_EQ(r->ne[1], 7);
    EXPECT_EQ(r->ne[2], 3);
    EXPECT_EQ(r->ne[3], 0);
}

TEST(OpsConvDeathTest, Im2col3dNeedsAPositiveChannelCount) {
    run_deaths({
        { "IC 0",
          [](Ctx & c) {
              tevo_im2col_3d(c.ctx, c.f32(2, 2, 2, 2), c.f32(8, 8, 8, 2), 0, 1, 1, 1, 0, 0, 0, 1, 1, 1,
                             TEVO_TYPE_F16);
          },
          "IC > 0" },
        { "conv_3d IC -1",
          [](Ctx & c) {
              tevo_conv_3d(c.ctx, c.f32(2, 2, 2, 2), c.f32(8, 8, 8, 2), -1, 1, 1, 1, 0, 0, 0, 1, 1, 1);
          },
          "IC > 0" },
    });
}

TEST(OpsConvDeathTest, StridesMustBePositive) {
    run_deaths({
        { "im2col stride 0",
          [](Ctx & c) { tevo_im2col(c.ctx, c.f32(3, 4, 8), c.f32(10, 4), 0, 0, 0, 0, 1, 0, false, TEVO_TYPE_F16); },
          "s > 0 && d > 0 && \"stride and dilation must be positive\"" },
        { "conv_1d dilation 0",
          [](Ctx & c) { tevo_conv_1d(c.ctx, c.f32(3, 4, 8), c.f32(10, 4), 1, 0, 0); },
          "s > 0 && d > 0 && \"stride and dilation must be positive\"" },
        // a transposed convolution scatters to l * s + k: below 1 it writes before its output
        { "conv_transpose_1d stride 0",
          [](Ctx & c) { tevo_conv_transpose_1d(c.ctx, c.f32(3, 2, 4), c.f32(5, 4), 0, 0, 1); },
          "s0 > 0 && \"stride must be positive\"" },
        { "conv_transpose_1d stride -1",
          [](Ctx & c) { tevo_conv_transpose_1d(c.ctx, c.f32(3, 2, 4), c.f32(5, 4), -1, 0, 1); },
          "s0 > 0 && \"stride must be positive\"" },
        { "conv_transpose_2d_p0 stride 0",
          [](Ctx & c) { tevo_conv_transpose_2d_p0(c.ctx, c.f32(3, 3, 2, 4), c.f32(5, 5, 4), 0); },
          "stride > 0 && \"stride must be positive\"" },
        { "conv_transpose_2d_p0 stride -2",
          [](Ctx & c) { tevo_conv_transpose_2d_p0(c.ctx, c.f32(3, 3, 2, 4), c.f32(5, 5, 4), -2); },
          "stride > 0 && \"stride must be positive\"" },
        { "pool_2d stride 0",
          [](Ctx & c) { tevo_pool_2d(c.ctx, c.f32(8, 8), TEVO_OP_POOL_MAX, 2, 2, 0, 1, 0, 0); },
          "s > 0 && \"stride must be positive\"" },
        { "pool_2d_back stride 0",
          [](Ctx & c) {
              tevo_pool_2d_back(c.ctx, c.f32(4, 4), c.f32(8, 8), TEVO_OP_POOL_AVG, 2, 2, 2, 0, 0, 0);
          },
          "s0 > 0 && s1 > 0 && \"stride must be positive\"" },
    });
}

// an empty window would divide the average by zero
TEST(OpsConvDeathTest, WindowsMustNotBeEmpty) {
    run_deaths({
        { "pool_1d window 0",
          [](Ctx & c) { tevo_pool_1d(c.ctx, c.f32(8, 2), TEVO_OP_POOL_AVG, 0, 1, 1); },
          "ks > 0 && \"window must be positive\"" },
        { "pool_2d window height 0",
          [](Ctx & c) { tevo_pool_2d(c.ctx, c.f32(8, 8), TEVO_OP_POOL_AVG, 2, 0, 1, 1, 1, 1); },
          "ks > 0 && \"window must be positive\"" },
        { "pool_2d_back window 0",
          [](Ctx & c) {
              tevo_pool_2d_back(c.ctx, c.f32(8, 8), c.f32(8, 8), TEVO_OP_POOL_MAX, 0, 1, 1, 1, 0, 0);
          },
          "k0 > 0 && k1 > 0 && \"window must be positive\"" },
    });
}

TEST(OpsConvDeathTest, ShapeChecks) {
    run_deaths({
        { "im2col 2-D channels",
          [](Ctx & c) {
              tevo_im2col(c.ctx, c.f32(3, 3, 4, 8), c.f32(10, 10, 3), 1, 1, 0, 0, 1, 1, true, TEVO_TYPE_F16);
          },
          "a->ne[2] == b->ne[2]" },
        { "im2col 1-D channels",
          [](Ctx & c) { tevo_im2col(c.ctx, c.f32(3, 4, 8), c.f32(10, 3), 1, 0, 0, 0, 1, 0, false, TEVO_TYPE_F16); },
          "b->ne[1] == a->ne[1]" },
        { "im2col 1-D batch in dimension 3",
          [](Ctx & c) {
              tevo_im2col(c.ctx, c.f32(3, 4, 8), c.f32(10, 4, 1, 2), 1, 0, 0, 0, 1, 0, false, TEVO_TYPE_F16);
          },
          "b->ne[3] == 1" },
        { "im2col rows too few",
          [](Ctx & c) { tevo_im2col(c.ctx, c.f32(3, 5, 2), c.f32(10, 2, 2), 1, 1, 0, 0, 1, 1, true, TEVO_TYPE_F16); },
          "(!is_2D || OH > 0) && \"b too small compared to a\"" },
        { "im2col columns too few",
          [](Ctx & c) { tevo_im2col(c.ctx, c.f32(5, 1), c.f32(2, 1), 1, 0, 0, 0, 1, 0, false, TEVO_TYPE_F16); },
          "(OW > 0) && \"b too small compared to a\"" },
        { "im2col_3d depth",
          [](Ctx & c) {
              tevo_im2col_3d(c.ctx, c.f32(2, 2, 4, 2), c.f32(8, 8, 2, 2), 2, 1, 1, 1, 0, 0, 0, 1, 1, 1,
                             TEVO_TYPE_F16);
          },
          "(OD > 0) && \"b too small compared to a\"" },
        { "im2col_3d rows",
          [](Ctx & c) {
              tevo_im2col_3d(c.ctx, c.f32(2, 4, 2, 2), c.f32(8, 2, 8, 2), 2, 1, 1, 1, 0, 0, 0, 1, 1, 1,
                             TEVO_TYPE_F16);
          },
          "(OH > 0) && \"b too small compared to a\"" },
        { "im2col_3d columns",
          [](Ctx & c) {
              tevo_im2col_3d(c.ctx, c.f32(4, 2, 2, 2), c.f32(2, 8, 8, 2), 2, 1, 1, 1, 0, 0, 0, 1, 1, 1,
                             TEVO_TYPE_F16);
          },
          "(OW > 0) && \"b too small compared to a\"" },
        { "col2im_1d 3-D", [](Ctx & c) { tevo_col2im_1d(c.ctx, c.f32(12, 5, 2), 2, 4, 1); }, "tevo_is_matrix(a)" },
        { "col2im_1d transposed",
          [](Ctx & c) { tevo_col2im_1d(c.ctx, tevo_transpose(c.ctx, c.f32(5, 12)), 2, 4, 1); },
          "tevo_is_contiguous(a)" },
        { "col2im_1d integer type",
          [](Ctx & c) { tevo_col2im_1d(c.ctx, c.t(TEVO_TYPE_I32, 12, 5), 2, 4, 1); },
          "a->type == TEVO_TYPE_F32 || a->type == TEVO_TYPE_F16 || a->type == TEVO_TYPE_BF16" },
        { "col2im_1d stride 0", [](Ctx & c) { tevo_col2im_1d(c.ctx, c.f32(12, 5), 0, 4, 1); }, "s0 > 0" },
        { "col2im_1d no channels", [](Ctx & c) { tevo_col2im_1d(c.ctx, c.f32(12, 5), 2, 0, 1); }, "oc > 0" },
        { "col2im_1d negative padding", [](Ctx & c) { tevo_col2im_1d(c.ctx, c.f32(12, 5), 2, 4, -1); }, "p0 >= 0" },
        { "col2im_1d columns not a multiple of the channels",
          [](Ctx & c) { tevo_col2im_1d(c.ctx, c.f32(13, 5), 2, 4, 1); }, "K_OC == K * oc" },
        { "col2im_1d empty output",
          [](Ctx & c) { tevo_col2im_1d(c.ctx, c.f32(3, 1), 1, 1, 2); }, "K > 0 && T_out > 0" },
        { "conv_transpose_1d data not a matrix",
          [](Ctx & c) { tevo_conv_transpose_1d(c.ctx, c.f32(3, 4, 6), c.f32(10, 6, 2), 2, 0, 1); },
          "tevo_is_matrix(b)" },
        { "conv_transpose_1d channels",
          [](Ctx & c) { tevo_conv_transpose_1d(c.ctx, c.f32(3, 4, 6), c.f32(10, 5), 2, 0, 1); },
          "a->ne[2] == b->ne[1]" },
        { "conv_transpose_1d 4-D kernel",
          [](Ctx & c) { tevo_conv_transpose_1d(c.ctx, c.f32(3, 4, 6, 2), c.f32(10, 6), 2, 0, 1); },
          "a->ne[3] == 1" },
        { "conv_transpose_1d padding",
          [](Ctx & c) { tevo_conv_transpose_1d(c.ctx, c.f32(3, 4, 6), c.f32(10, 6), 2, 1, 1); }, "p0 == 0" },
        { "conv_transpose_1d dilation",
          [](Ctx & c) { tevo_conv_transpose_1d(c.ctx, c.f32(3, 4, 6), c.f32(10, 6), 2, 0, 2); }, "d0 == 1" },
        { "conv_2d_dw_direct kernel channels",
          [](Ctx & c) { tevo_conv_2d_dw_direct(c.ctx, c.f32(3, 3, 2, 4), c.f32(10, 12, 4), 1, 1, 1, 1, 1, 1); },
          "a->ne[2] == 1" },
        { "conv_2d_dw_direct channel count",
          [](Ctx & c) { tevo_conv_2d_dw_direct(c.ctx, c.f32(3, 3, 1, 3), c.f32(10, 12, 4), 1, 1, 1, 1, 1, 1); },
          "a->ne[3] == b->ne[2]" },
        { "conv_2d_dw_direct channel-innermost blocks",
          [](Ctx & c) {
              auto b   = c.t(TEVO_TYPE_Q4_0, 32, 2, 4);
              b->nb[0] = 72; // channels innermost, one 18-byte block per channel
              b->nb[1] = 144;
              b->nb[2] = 18;
              b->nb[3] = 288;
              tevo_conv_2d_dw_direct(c.ctx, c.f32(1, 1, 1, 4), b, 1, 1, 0, 0, 1, 1);
          },
          "tevo_blck_size(result->type) == 1" },
        { "conv_2d_direct channels",
          [](Ctx & c) { tevo_conv_2d_direct(c.ctx, c.f32(3, 3, 4, 8), c.f32(10, 12, 3), 1, 1, 1, 1, 1, 1); },
          "a->ne[2] == b->ne[2]" },
        { "conv_3d_direct kernel count",
          [](Ctx & c) {
              tevo_conv_3d_direct(c.ctx, c.f32(3, 2, 2, 9), c.f32(8, 6, 5, 6), 1, 1, 1, 0, 1, 0, 1, 1, 2, 2, 3, 5);
          },
          "a->ne[3] == (int64_t) c * oc" },
        { "conv_3d_direct batch",
          [](Ctx & c) {
              tevo_conv_3d_direct(c.ctx, c.f32(3, 2, 2, 10), c.f32(8, 6, 5, 7), 1, 1, 1, 0, 1, 0, 1, 1, 2, 2, 3, 5);
          },
          "b->ne[3] == (int64_t) c * n" },
        { "conv_transpose_2d_p0 channels",
          [](Ctx & c) { tevo_conv_transpose_2d_p0(c.ctx, c.f32(3, 3, 5, 4), c.f32(6, 7, 3, 2), 2); },
          "a->ne[3] == b->ne[2]" },
        { "pool_1d window wider than the padded input",
          [](Ctx & c) { tevo_pool_1d(c.ctx, c.f32(3, 2), TEVO_OP_POOL_MAX, 4, 2, 0); }, "ne[0] > 0" },
        { "pool_2d window wider than the padded input",
          [](Ctx & c) { tevo_pool_2d(c.ctx, c.f32(3, 5), TEVO_OP_POOL_MAX, 5, 1, 2, 1, 0.5f, 0.0f); },
          "ne[0] > 0" },
        { "pool_2d window taller than the padded input",
          [](Ctx & c) { tevo_pool_2d(c.ctx, c.f32(5, 3), TEVO_OP_POOL_AVG, 1, 4, 1, 3, 0.0f, 0.0f); },
          "ne[1] > 0" },
    });
}

// A kernel slightly wider than the padded input passes the "b too small"
// checks (the truncating division still gives one output) and must still be
// refused.
TEST(OpsConvDeathTest, KernelMustFitThePaddedInput) {
    run_deaths({
        { "im2col 1-D",
          [](Ctx & c) { tevo_im2col(c.ctx, c.f32(4, 1), c.f32(3, 1), 2, 0, 0, 0, 1, 0, false, TEVO_TYPE_F16); },
          kKernelFits0 },
        { "im2col 1-D dilated",
          [](Ctx & c) { tevo_im2col(c.ctx, c.f32(3, 1), c.f32(4, 1), 2, 0, 0, 0, 2, 0, false, TEVO_TYPE_F16); },
          kKernelFits0 },
        { "im2col 2-D rows",
          [](Ctx & c) { tevo_im2col(c.ctx, c.f32(3, 5, 1), c.f32(8, 2, 1), 1, 3, 0, 1, 1, 1, true, TEVO_TYPE_F16); },
          "(!is_2D || (int64_t) d1 * (a->ne[1] - 1) + 1 <= b->ne[1] + 2 * (int64_t) p1) && "
          "\"kernel larger than padded input\"" },
        { "conv_1d through its im2col",
          [](Ctx & c) { tevo_conv_1d(c.ctx, c.t(TEVO_TYPE_F16, 6, 2, 4), c.f32(3, 2), 4, 1, 1); }, kKernelFits0 },
        { "im2col_3d depth",
          [](Ctx & c) {
              tevo_im2col_3d(c.ctx, c.f32(1, 1, 4, 2), c.f32(8, 8, 3, 2), 2, 1, 1, 2, 0, 0, 0, 1, 1, 1,
                             TEVO_TYPE_F16);
          },
          "((int64_t) d2 * (KD - 1) + 1 <= ID + 2 * (int64_t) p2) && \"kernel larger than padded input\"" },
        { "im2col_3d rows",
          [](Ctx & c) {
              tevo_im2col_3d(c.ctx, c.f32(1, 4, 1, 2), c.f32(8, 3, 8, 2), 2, 1, 2, 1, 0, 0, 0, 1, 1, 1,
                             TEVO_TYPE_F16);
          },
          "((int64_t) d1 * (KH - 1) + 1 <= IH + 2 * (int64_t) p1) && \"kernel larger than padded input\"" },
        { "im2col_3d columns",
          [](Ctx & c) {
              tevo_im2col_3d(c.ctx, c.f32(4, 1, 1, 2), c.f32(3, 8, 8, 2), 2, 2, 1, 1, 0, 0, 0, 1, 1, 1,
                             TEVO_TYPE_F16);
          },
          "((int64_t) d0 * (KW - 1) + 1 <= IW + 2 * (int64_t) p0) && \"kernel larger than padded input\"" },
        { "conv_2d_direct columns",
          [](Ctx & c) { tevo_conv_2d_direct(c.ctx, c.f32(4, 1, 2, 3), c.f32(3, 5, 2), 2, 1, 0, 0, 1, 1); },
          kKernelFits0 },
        { "conv_2d_direct rows",
          [](Ctx & c) { tevo_conv_2d_direct(c.ctx, c.f32(1, 4, 2, 3), c.f32(5, 3, 2), 1, 2, 0, 0, 1, 1); },
          kKernelFits1 },
        { "conv_2d_dw_direct columns",
          [](Ctx & c) { tevo_conv_2d_dw_direct(c.ctx, c.f32(4, 1, 1, 2), c.f32(3, 5, 2), 2, 1, 0, 0, 1, 1); },
          kKernelFits0 },
        { "conv_2d_dw_direct rows",
          [](Ctx & c) { tevo_conv_2d_dw_direct(c.ctx, c.f32(1, 6, 1, 2), c.f32(5, 3, 2), 1, 2, 1, 0, 1, 1); },
          kKernelFits1 },
        { "conv_3d_direct depth",
          [](Ctx & c) {
              tevo_conv_3d_direct(c.ctx, c.f32(1, 1, 4, 2), c.f32(5, 5, 3, 2), 1, 1, 2, 0, 0, 0, 1, 1, 1, 1, 2, 2);
          },
          kKernelFits2 },
        { "conv_3d_direct columns",
          [](Ctx & c) {
              tevo_conv_3d_direct(c.ctx, c.f32(3, 1, 1, 2), c.f32(4, 5, 5, 2), 3, 1, 1, 0, 0, 0, 2, 1, 1, 1, 2, 2);
          },
          kKernelFits0 },
    });
}

TEST(OpsConv, KernelExactlyAsWideAsThePaddedInputIsAccepted) {
    Ctx c;
    // width 3 over 1 value padded by 1 on each side: one output
    tevo_tensor * r = tevo_im2col(c.ctx, c.f32(3, 1), c.f32(1, 1), 2, 0, 1, 0, 1, 0, false, TEVO_TYPE_F16);
    EXPECT_EQ(r->ne[1], 1);
    // dilated width 2 * (2 - 1) + 1 = 3 over 3 values
    r = tevo_conv_2d_direct(c.ctx, c.f32(2, 2, 1, 1), c.f32(3, 3, 1), 2, 2, 0, 0, 2, 2);
    EXPECT_EQ(r->ne[0], 1);
    EXPECT_EQ(r->ne[1], 1);
}
