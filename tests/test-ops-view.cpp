// Constructors of window writes, copies, reshapes, views, permute and
// transpose.

#include "test-ops-util.h"

using namespace opstest;

TEST(OpsSet, WindowWrites) {
    // a: F32 [8, 4, 2], strides 4, 32, 128, 256
    std::vector<Case> cases = {
        { "set",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4, 2);
              tevo_tensor * b = c.f32(4, 2);
              return Built{ tevo_set(c.ctx, a, b, 32, 128, 256, 8), { a, b } };
          },
          { TEVO_TYPE_F32, { 8, 4, 2, 1 }, TEVO_OP_SET, { { 0, 32 }, { 1, 128 }, { 2, 256 }, { 3, 8 } }, "" } },
        { "set_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4, 2, 1, "a");
              tevo_tensor * b = c.f32(4, 2);
              return Built{ tevo_set_inplace(c.ctx, a, b, 32, 128, 256, 8), { a, b }, a };
          },
          { TEVO_TYPE_F32,
            { 8, 4, 2, 1 },
            TEVO_OP_SET,
            { { 0, 32 }, { 1, 128 }, { 2, 256 }, { 3, 8 }, { 4, 1 } },
            "a (view)" } },
        { "set_1d takes a's strides",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_I32, 8, 4, 2);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 4);
              return Built{ tevo_set_1d(c.ctx, a, b, 16), { a, b } };
          },
          { TEVO_TYPE_I32, { 8, 4, 2, 1 }, TEVO_OP_SET, { { 0, 32 }, { 1, 128 }, { 2, 256 }, { 3, 16 } }, "" } },
        { "set_1d_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4, 2, 1, "a");
              tevo_tensor * b = c.f32(4);
              return Built{ tevo_set_1d_inplace(c.ctx, a, b, 16), { a, b }, a };
          },
          { TEVO_TYPE_F32,
            { 8, 4, 2, 1 },
            TEVO_OP_SET,
            { { 0, 32 }, { 1, 128 }, { 2, 256 }, { 3, 16 }, { 4, 1 } },
            "a (view)" } },
        { "set_2d",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4, 2);
              tevo_tensor * b = c.f32(4, 2);
              return Built{ tevo_set_2d(c.ctx, a, b, 64, 4), { a, b } };
          },
          { TEVO_TYPE_F32, { 8, 4, 2, 1 }, TEVO_OP_SET, { { 0, 64 }, { 1, 128 }, { 2, 256 }, { 3, 4 } }, "" } },
        { "set_2d_inplace, window ending at a's end",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4, 2, 1, "a");
              tevo_tensor * b = c.f32(4, 2);
              // 208 + 16 + 32 = 256 bytes
              return Built{ tevo_set_2d_inplace(c.ctx, a, b, 32, 208), { a, b }, a };
          },
          { TEVO_TYPE_F32,
            { 8, 4, 2, 1 },
            TEVO_OP_SET,
            { { 0, 32 }, { 1, 128 }, { 2, 256 }, { 3, 208 }, { 4, 1 } },
            "a (view)" } },
    };
    run_table(cases);
}

TEST(OpsCopy, Copies) {
    std::vector<Case> cases = {
        { "cpy into a named b",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 3, 1, 1, "x");
              tevo_tensor * b = c.t(TEVO_TYPE_F16, 12, 1, 1, 1, "k");
              return Built{ tevo_cpy(c.ctx, a, b), { a, b }, b };
          },
          { TEVO_TYPE_F16, { 12, 1, 1, 1 }, TEVO_OP_CPY, {}, "k (copy of x)" } },
        { "cpy into an unnamed b",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 3, 1, 1, "x");
              tevo_tensor * b = c.f32(12);
              return Built{ tevo_cpy(c.ctx, a, b), { a, b }, b };
          },
          { TEVO_TYPE_F32, { 12, 1, 1, 1 }, TEVO_OP_CPY, {}, "x (copy)" } },
        { "cpy into a strided view keeps its strides",
          [](Ctx & c) {
              tevo_tensor * a    = c.f32(4, 3, 1, 1, "x");
              tevo_tensor * root = c.f32(8, 3, 1, 1, "cache");
              tevo_tensor * b    = tevo_view_2d(c.ctx, root, 4, 3, root->nb[1], 16);
              return Built{ tevo_cpy(c.ctx, a, b), { a, b }, b };
          },
          { TEVO_TYPE_F32, { 4, 3, 1, 1 }, TEVO_OP_CPY, {}, "cache (view) (copy of x)", { 4, 32, 96, 96 } } },
        { "cont",
          [](Ctx & c) {
              tevo_tensor * a = tevo_transpose(c.ctx, c.f32(4, 3, 1, 1, "x"));
              return Built{ tevo_cont(c.ctx, a), { a } };
          },
          { TEVO_TYPE_F32, { 3, 4, 1, 1 }, TEVO_OP_CONT, {}, "x (transposed) (cont)" } },
        { "cont_1d",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_F16, 4, 3, 1, 1, "x");
              return Built{ tevo_cont_1d(c.ctx, a, 12), { a } };
          },
          { TEVO_TYPE_F16, { 12, 1, 1, 1 }, TEVO_OP_CONT, {}, "x (cont)" } },
        { "cont_2d",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 3, 2, 1, "x");
              return Built{ tevo_cont_2d(c.ctx, a, 6, 4), { a } };
          },
          { TEVO_TYPE_F32, { 6, 4, 1, 1 }, TEVO_OP_CONT, {}, "x (cont)" } },
        { "cont_3d",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 3, 2, 1, "x");
              return Built{ tevo_cont_3d(c.ctx, a, 2, 6, 2), { a } };
          },
          { TEVO_TYPE_F32, { 2, 6, 2, 1 }, TEVO_OP_CONT, {}, "x (cont)" } },
        { "cont_4d",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 3, 2, 1, "x");
              return Built{ tevo_cont_4d(c.ctx, a, 2, 3, 2, 2), { a } };
          },
          { TEVO_TYPE_F32, { 2, 3, 2, 2 }, TEVO_OP_CONT, {}, "x (cont)" } },
    };
    run_table(cases);
}

TEST(OpsCopy, CastIsItsOwnDestination) {
    Ctx           c;
    tevo_tensor * a = c.f32(4, 3, 2, 1, "x");
    tevo_tensor * r = tevo_cast(c.ctx, a, TEVO_TYPE_F16);
    check_node({ r, { a, r } }, { TEVO_TYPE_F16, { 4, 3, 2, 1 }, TEVO_OP_CPY, {}, "x (copy)" });
}

TEST(OpsReshape, Reshapes) {
    std::vector<Case> cases = {
        { "reshape",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 3, 2, 1, "x");
              tevo_tensor * b = c.t(TEVO_TYPE_I8, 6, 2, 1, 2);
              return Built{ tevo_reshape(c.ctx, a, b), { a }, a };
          },
          { TEVO_TYPE_F32, { 6, 2, 1, 2 }, TEVO_OP_RESHAPE, {}, "x (reshaped)" } },
        { "reshape_1d",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 3, 2, 1, "x");
              return Built{ tevo_reshape_1d(c.ctx, a, 24), { a }, a };
          },
          { TEVO_TYPE_F32, { 24, 1, 1, 1 }, TEVO_OP_RESHAPE, {}, "x (reshaped)" } },
        { "reshape_2d of a quantized tensor",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_Q4_0, 64, 4, 1, 1, "w");
              return Built{ tevo_reshape_2d(c.ctx, a, 128, 2), { a }, a };
          },
          { TEVO_TYPE_Q4_0, { 128, 2, 1, 1 }, TEVO_OP_RESHAPE, {}, "w (reshaped)" } },
        { "reshape_3d",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 3, 2, 1, "x");
              return Built{ tevo_reshape_3d(c.ctx, a, 2, 2, 6), { a }, a };
          },
          { TEVO_TYPE_F32, { 2, 2, 6, 1 }, TEVO_OP_RESHAPE, {}, "x (reshaped)" } },
        { "reshape_4d of a view at an offset",
          [](Ctx & c) {
              tevo_tensor * root = c.f32(64, 1, 1, 1, "r");
              tevo_tensor * a    = tevo_view_1d(c.ctx, root, 24, 64);
              return Built{ tevo_reshape_4d(c.ctx, a, 2, 3, 2, 2), { a }, a };
          },
          { TEVO_TYPE_F32, { 2, 3, 2, 2 }, TEVO_OP_RESHAPE, {}, "r (view) (reshaped)" } },
    };
    run_table(cases);
}

TEST(OpsReshape, ViewOfViewPointsAtRoot) {
    Ctx           c;
    tevo_tensor * root = c.f32(64, 1, 1, 1, "r");
    tevo_tensor * v    = tevo_view_1d(c.ctx, root, 24, 64);
    tevo_tensor * r    = tevo_reshape_2d(c.ctx, v, 6, 4);
    EXPECT_EQ(r->view_offs, 64u);
    EXPECT_EQ(r->src[0], v);
}

TEST(OpsView, Views) {
    std::vector<Case> cases = {
        { "view_1d",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4, 1, 1, "x");
              return Built{ tevo_view_1d(c.ctx, a, 6, 12), { a }, a };
          },
          { TEVO_TYPE_F32, { 6, 1, 1, 1 }, TEVO_OP_VIEW, { { 0, 12 } }, "x (view)" } },
        { "view_2d",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4, 1, 1, "x");
              return Built{ tevo_view_2d(c.ctx, a, 3, 4, 32, 8), { a }, a };
          },
          { TEVO_TYPE_F32, { 3, 4, 1, 1 }, TEVO_OP_VIEW, { { 0, 8 } }, "x (view)", { 4, 32, 128, 128 } } },
        { "view_2d with wide rows ending at the root's end",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4, 1, 1, "x"); // 128 bytes: 16 + 2*48 + 16
              return Built{ tevo_view_2d(c.ctx, a, 4, 3, 48, 16), { a }, a };
          },
          { TEVO_TYPE_F32, { 4, 3, 1, 1 }, TEVO_OP_VIEW, { { 0, 16 } }, "x (view)", { 4, 48, 144, 144 } } },
        { "view_2d of quantized rows ending at the root's end",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_Q4_0, 64, 4, 1, 1, "w"); // rows of 36 bytes, 144 in all
              return Built{ tevo_view_2d(c.ctx, a, 64, 2, 72, 36), { a }, a };
          },
          { TEVO_TYPE_Q4_0, { 64, 2, 1, 1 }, TEVO_OP_VIEW, { { 0, 36 } }, "w (view)", { 18, 72, 144, 144 } } },
        { "view_2d without rows reads nothing, whatever its stride",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4, 1, 1, "x");
              return Built{ tevo_view_2d(c.ctx, a, 4, 0, 4096, 128), { a }, a };
          },
          { TEVO_TYPE_F32, { 4, 0, 1, 1 }, TEVO_OP_VIEW, { { 0, 128 } }, "x (view)", { 4, 4096, 0, 0 } } },
        { "view_1d without elements at the root's end",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4, 1, 1, "x");
              return Built{ tevo_view_1d(c.ctx, a, 0, 128), { a }, a };
          },
          { TEVO_TYPE_F32, { 0, 1, 1, 1 }, TEVO_OP_VIEW, { { 0, 128 } }, "x (view)" } },
        { "view_3d",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_F16, 8, 4, 3, 1, "x");
              return Built{ tevo_view_3d(c.ctx, a, 4, 2, 3, 16, 64, 2), { a }, a };
          },
          { TEVO_TYPE_F16, { 4, 2, 3, 1 }, TEVO_OP_VIEW, { { 0, 2 } }, "x (view)", { 2, 16, 64, 192 } } },
        { "view_4d",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 4, 3, 2, "x");
              return Built{ tevo_view_4d(c.ctx, a, 8, 2, 3, 2, 64, 128, 384, 32), { a }, a };
          },
          { TEVO_TYPE_F32, { 8, 2, 3, 2 }, TEVO_OP_VIEW, { { 0, 32 } }, "x (view)", { 4, 64, 128, 384 } } },
    };
    run_table(cases);
}

TEST(OpsView, ViewOfViewAddsOffsets) {
    Ctx           c;
    tevo_tensor * root = c.f32(16, 1, 1, 1, "r");
    tevo_tensor * v    = tevo_view_1d(c.ctx, root, 8, 16);
    tevo_tensor * w    = tevo_view_1d(c.ctx, v, 2, 8);
    check_node({ w, { v }, root }, { TEVO_TYPE_F32, { 2, 1, 1, 1 }, TEVO_OP_VIEW, { { 0, 8 } }, "r (view) (view)" });
    EXPECT_EQ(w->view_offs, 24u);
}

TEST(OpsView, OffsetAbove4GiBKeepsHighHalf) {
    Ctx                c;
    tevo_tensor *      a      = c.f32((int64_t) 1 << 31); // 8 GiB, no data in a no-allocation context
    const uint64_t     offset = (UINT64_C(5) << 30) + 12; // 0x1'4000'000C
    tevo_tensor *      v      = tevo_view_1d(c.ctx, a, 16, offset);
    EXPECT_EQ((uint32_t) v->op_params[0], 0x4000000Cu);
    EXPECT_EQ((uint32_t) v->op_params[1], 1u);
    EXPECT_EQ(v->view_offs, offset);
    EXPECT_EQ(tevo_get_op_params_u64(v, 0), offset);
}

TEST(OpsPermute, PermuteAndTranspose) {
    // a: F32 [4, 5, 6, 7], strides 4, 16, 80, 480
    std::vector<Case> cases = {
        { "permute 0 2 1 3",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 5, 6, 7, "x");
              return Built{ tevo_permute(c.ctx, a, 0, 2, 1, 3), { a }, a };
          },
          { TEVO_TYPE_F32, { 4, 6, 5, 7 }, TEVO_OP_PERMUTE, { { 0, 0 }, { 1, 2 }, { 2, 1 }, { 3, 3 } }, "x (permuted)",
            { 4, 80, 16, 480 } } },
        { "permute 1 2 0 3: dimension i goes to axis_i",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 5, 6, 7, "x");
              return Built{ tevo_permute(c.ctx, a, 1, 2, 0, 3), { a }, a };
          },
          { TEVO_TYPE_F32, { 6, 4, 5, 7 }, TEVO_OP_PERMUTE, { { 0, 1 }, { 1, 2 }, { 2, 0 }, { 3, 3 } }, "x (permuted)",
            { 80, 4, 16, 480 } } },
        { "permute 3 0 1 2",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 5, 6, 7, "x");
              return Built{ tevo_permute(c.ctx, a, 3, 0, 1, 2), { a }, a };
          },
          { TEVO_TYPE_F32, { 5, 6, 7, 4 }, TEVO_OP_PERMUTE, { { 0, 3 }, { 1, 0 }, { 2, 1 }, { 3, 2 } }, "x (permuted)",
            { 16, 80, 480, 4 } } },
        { "transpose",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(4, 5, 6, 7, "x");
              return Built{ tevo_transpose(c.ctx, a), { a }, a };
          },
          { TEVO_TYPE_F32, { 5, 4, 6, 7 }, TEVO_OP_TRANSPOSE, {}, "x (transposed)", { 16, 4, 80, 480 } } },
    };
    run_table(cases);
}

TEST(OpsPermute, LongNameIsCut) {
    Ctx               c;
    const std::string long_name(60, 'n');
    tevo_tensor *     a = c.f32(4, 5, 1, 1, long_name.c_str());
    tevo_tensor *     p = tevo_permute(c.ctx, a, 1, 0, 2, 3);
    EXPECT_EQ(std::string(p->name), (long_name + " (permuted)").substr(0, 63));
}

TEST(OpsSetDeath, Window) {
    run_deaths({
        { "b larger", [](Ctx & c) { tevo_set(c.ctx, c.f32(4), c.f32(5), 16, 16, 16, 0); },
          "tevo_nelements(a) >= tevo_nelements(b)" },
        { "offset of 1 GiB", [](Ctx & c) { tevo_set_1d(c.ctx, c.f32(8), c.f32(4), 1 << 30); },
          "offset < (size_t)(1 << 30)" },
        // the kernel reads the strides from 32-bit words
        { "nb1 beyond 31 bits", [](Ctx & c) { tevo_set(c.ctx, c.f32(8), c.f32(4), (size_t) 1 << 31, 0, 0, 0); },
          "nb1 <= INT32_MAX" },
        { "negative nb2", [](Ctx & c) { tevo_set_inplace(c.ctx, c.f32(8), c.f32(4), 32, (size_t) -32, 0, 0); },
          "nb2 <= INT32_MAX" },
        { "nb3 beyond 31 bits", [](Ctx & c) { tevo_set(c.ctx, c.f32(8), c.f32(4), 32, 32, (size_t) 1 << 40, 0); },
          "nb3 <= INT32_MAX" },
        { "set_1d of a tensor whose planes exceed 2 GiB",
          [](Ctx & c) { tevo_set_1d(c.ctx, c.f32((int64_t) 1 << 28, 4, 2), c.f32(4), 0); }, "nb2 <= INT32_MAX" },
        { "window one element past the end", [](Ctx & c) { tevo_set_1d(c.ctx, c.f32(8), c.f32(4), 20); },
          "tevo_window_fits(a, b, nb1, nb2, nb3, offset)" },
        { "window rows past the end", [](Ctx & c) { tevo_set_2d_inplace(c.ctx, c.f32(8, 4), c.f32(4, 2), 128, 0); },
          "tevo_window_fits(a, b, nb1, nb2, nb3, offset)" },
        { "window planes past the end",
          [](Ctx & c) { tevo_set(c.ctx, c.f32(8, 4, 2), c.f32(2, 2, 2), 32, 224, 256, 0); },
          "tevo_window_fits(a, b, nb1, nb2, nb3, offset)" },
    });
}

TEST(OpsCopyDeath, CopiesAndReshapes) {
    run_deaths({
        { "cpy counts differ", [](Ctx & c) { tevo_cpy(c.ctx, c.f32(4, 3), c.f32(11)); },
          "tevo_nelements(a) == tevo_nelements(b)" },
        { "cont_1d", [](Ctx & c) { tevo_cont_1d(c.ctx, c.f32(4, 3), 11); }, "tevo_nelements(a) == (ne0*ne1*ne2*ne3)" },
        { "cont_2d", [](Ctx & c) { tevo_cont_2d(c.ctx, c.f32(4, 3), 4, 4); }, "tevo_nelements(a) == (ne0*ne1*ne2*ne3)" },
        { "cont_3d", [](Ctx & c) { tevo_cont_3d(c.ctx, c.f32(4, 3), 2, 2, 2); },
          "tevo_nelements(a) == (ne0*ne1*ne2*ne3)" },
        { "cont_4d", [](Ctx & c) { tevo_cont_4d(c.ctx, c.f32(4, 3), 1, 2, 3, 4); },
          "tevo_nelements(a) == (ne0*ne1*ne2*ne3)" },
        // contiguity is checked first, even when the counts match
        { "reshape of transposed", [](Ctx & c) { tevo_reshape(c.ctx, tevo_transpose(c.ctx, c.f32(4, 3)), c.f32(12)); },
          "tevo_is_contiguous(a)" },
        { "reshape_2d of transposed", [](Ctx & c) { tevo_reshape_2d(c.ctx, tevo_transpose(c.ctx, c.f32(4, 3)), 4, 3); },
          "tevo_is_contiguous(a)" },
        { "reshape counts", [](Ctx & c) { tevo_reshape(c.ctx, c.f32(4, 3), c.f32(11)); },
          "tevo_nelements(a) == tevo_nelements(b)" },
        { "reshape_1d counts", [](Ctx & c) { tevo_reshape_1d(c.ctx, c.f32(4, 3), 11); }, "tevo_nelements(a) == ne0" },
        { "reshape_2d counts", [](Ctx & c) { tevo_reshape_2d(c.ctx, c.f32(4, 3), 4, 4); },
          "tevo_nelements(a) == ne0*ne1" },
        { "reshape_3d counts", [](Ctx & c) { tevo_reshape_3d(c.ctx, c.f32(4, 3), 2, 2, 2); },
          "tevo_nelements(a) == ne0*ne1*ne2" },
        { "reshape_4d counts", [](Ctx & c) { tevo_reshape_4d(c.ctx, c.f32(4, 3), 1, 2, 3, 4); },
          "tevo_nelements(a) == ne0*ne1*ne2*ne3" },
    });
}

TEST(OpsViewDeath, ViewsAndPermutes) {
    run_deaths({
        // the packed size plus the offset must fit, even where strides would
        { "view_2d past the root", [](Ctx & c) { tevo_view_2d(c.ctx, c.f32(8, 4), 4, 4, 32, 68); },
          "view_src == NULL || data_size == 0 || data_size + view_offs <= tevo_nbytes(view_src)" },
        { "view_1d of a view past the root",
          [](Ctx & c) { tevo_view_1d(c.ctx, tevo_view_1d(c.ctx, c.f32(16), 8, 32), 8, 4); },
          "view_src == NULL || data_size == 0 || data_size + view_offs <= tevo_nbytes(view_src)" },
        // and so must the bytes the strides reach
        { "view_2d rows past the root", [](Ctx & c) { tevo_view_2d(c.ctx, c.f32(16), 4, 4, 64, 0); },
          "tevo_view_fits_root(result)" },
        { "view_2d of a view, rows past the root",
          [](Ctx & c) { tevo_view_2d(c.ctx, tevo_view_1d(c.ctx, c.f32(8, 4), 16, 32), 4, 2, 64, 32); },
          "tevo_view_fits_root(result)" },
        { "view_3d planes past the root", [](Ctx & c) { tevo_view_3d(c.ctx, c.f32(8, 4), 8, 1, 2, 32, 100, 0); },
          "tevo_view_fits_root(result)" },
        { "view_4d volumes past the root",
          [](Ctx & c) { tevo_view_4d(c.ctx, c.f32(8, 4), 8, 1, 1, 2, 32, 32, 128, 0); },
          "tevo_view_fits_root(result)" },
        { "view_2d quantized rows one block past the root",
          [](Ctx & c) { tevo_view_2d(c.ctx, c.t(TEVO_TYPE_Q4_0, 64, 4), 64, 2, 90, 36); },
          "tevo_view_fits_root(result)" },
        // offsets near SIZE_MAX must not wrap back to the root's start
        { "view_1d whose offset wraps", [](Ctx & c) { tevo_view_1d(c.ctx, c.f32(16), 16, (size_t) 0 - 64); },
          "view_src == NULL || data_size == 0 || data_size + view_offs <= tevo_nbytes(view_src)" },
        { "view_2d whose offset wraps",
          [](Ctx & c) { tevo_view_2d(c.ctx, c.f32(8, 4), 8, 2, 32, (size_t) 0 - 32); },
          "view_src == NULL || data_size == 0 || data_size + view_offs <= tevo_nbytes(view_src)" },
        { "view_3d whose offset wraps",
          [](Ctx & c) { tevo_view_3d(c.ctx, c.f32(8, 4), 8, 1, 2, 32, 32, SIZE_MAX); },
          "view_src == NULL || data_size == 0 || data_size + view_offs <= tevo_nbytes(view_src)" },
        { "view_4d whose offset wraps",
          [](Ctx & c) { tevo_view_4d(c.ctx, c.f32(8, 4), 8, 1, 1, 2, 32, 32, 32, (size_t) 0 - 64); },
          "view_src == NULL || data_size == 0 || data_size + view_offs <= tevo_nbytes(view_src)" },
        { "view_1d of a view, offsets adding past SIZE_MAX",
          [](Ctx & c) { tevo_view_1d(c.ctx, tevo_view_1d(c.ctx, c.f32(16), 8, 32), 8, SIZE_MAX - 31); },
          "view_src == NULL || data_size == 0 || data_size + view_offs <= tevo_nbytes(view_src)" },
        { "view_4d of an empty view, offsets adding past SIZE_MAX",
          [](Ctx & c) {
              tevo_view_4d(c.ctx, tevo_view_1d(c.ctx, c.f32(16), 0, SIZE_MAX - 15), 4, 1, 1, 1, 16, 16, 16, 16);
          },
          "view_src == NULL || data_size == 0 || data_size + view_offs <= tevo_nbytes(view_src)" },
        // a view without elements lies within its source like any other: its
        // data pointer is formed from the offset
        { "empty view_1d 2^63 bytes past the root",
          [](Ctx & c) { tevo_view_1d(c.ctx, c.f32(112), 0, (size_t) 1 << 63); },
          "view_src == NULL || data_size == 0 || data_size + view_offs <= tevo_nbytes(view_src)" },
        { "empty view_2d 64 bytes before the root",
          [](Ctx & c) { tevo_view_2d(c.ctx, c.f32(112), 4, 0, 16, (size_t) 0 - 64); },
          "view_src == NULL || data_size == 0 || data_size + view_offs <= tevo_nbytes(view_src)" },
        { "empty view_1d one byte past the root's end",
          [](Ctx & c) { tevo_view_1d(c.ctx, c.f32(112), 0, 449); },
          "view_src == NULL || data_size == 0 || data_size + view_offs <= tevo_nbytes(view_src)" },
        { "empty view_1d past a root with data",
          [](Ctx &) {
              tevo_init_params p    = { 4096, nullptr, false };
              tevo_context *   data = tevo_init(p);
              tevo_view_1d(data, tevo_new_tensor_1d(data, TEVO_TYPE_F32, 112), 0, (size_t) 1 << 63);
          },
          "view_src == NULL || data_size == 0 || data_size + view_offs <= tevo_nbytes(view_src)" },
        { "view_2d whose stride wraps the end",
          [](Ctx & c) { tevo_view_2d(c.ctx, c.f32(8, 4), 4, 3, SIZE_MAX / 2 + 1, 0); },
          "tevo_view_fits_root(result)" },
        { "permute axis0 range", [](Ctx & c) { tevo_permute(c.ctx, c.f32(4, 5), -1, 1, 2, 3); },
          "axis0 >= 0 && axis0 < TEVO_MAX_DIMS" },
        { "permute axis1 range", [](Ctx & c) { tevo_permute(c.ctx, c.f32(4, 5), 0, 4, 2, 3); },
          "axis1 >= 0 && axis1 < TEVO_MAX_DIMS" },
        { "permute axis2 range", [](Ctx & c) { tevo_permute(c.ctx, c.f32(4, 5), 0, 1, 9, 3); },
          "axis2 >= 0 && axis2 < TEVO_MAX_DIMS" },
        // ranges are checked before distinctness
        { "permute axis3 range", [](Ctx & c) { tevo_permute(c.ctx, c.f32(4, 5), 0, 1, 1, 4); },
          "axis3 >= 0 && axis3 < TEVO_MAX_DIMS" },
        { "permute 0 0", [](Ctx & c) { tevo_permute(c.ctx, c.f32(4, 5), 0, 0, 1, 2); }, "axis0 != axis1" },
        { "permute 0 . 0", [](Ctx & c) { tevo_permute(c.ctx, c.f32(4, 5), 0, 1, 0, 2); }, "axis0 != axis2" },
        { "permute 0 . . 0", [](Ctx & c) { tevo_permute(c.ctx, c.f32(4, 5), 0, 1, 2, 0); }, "axis0 != axis3" },
        { "permute . 1 1", [](Ctx & c) { tevo_permute(c.ctx, c.f32(4, 5), 0, 1, 1, 3); }, "axis1 != axis2" },
        { "permute . 1 . 1", [](Ctx & c) { tevo_permute(c.ctx, c.f32(4, 5), 0, 1, 2, 1); }, "axis1 != axis3" },
        { "permute . . 2 2", [](Ctx & c) { tevo_permute(c.ctx, c.f32(4, 5), 0, 1, 2, 2); }, "axis2 != axis3" },
    });
}
