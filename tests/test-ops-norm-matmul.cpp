// Constructors of the normalisations, matrix products and scaling, and the
// annotations of matrix-product nodes.

#include "test-ops-util.h"

using namespace opstest;

namespace {

typedef tevo_tensor * (*norm_fn)(tevo_context *, tevo_tensor *, float);

struct NormMember {
    const char * label;
    norm_fn      fn;
    tevo_op      op;
    bool         inplace;
};

const NormMember k_norms[] = {
    { "norm",             tevo_norm,             TEVO_OP_NORM,     false },
    { "norm_inplace",     tevo_norm_inplace,     TEVO_OP_NORM,     true  },
    { "rms_norm",         tevo_rms_norm,         TEVO_OP_RMS_NORM, false },
    { "rms_norm_inplace", tevo_rms_norm_inplace, TEVO_OP_RMS_NORM, true  },
    { "l2_norm",          tevo_l2_norm,          TEVO_OP_L2_NORM,  false },
    { "l2_norm_inplace",  tevo_l2_norm_inplace,  TEVO_OP_L2_NORM,  true  },
};

} // namespace

TEST(OpsNorm, Normalisations) {
    std::vector<Case> cases;
    for (const NormMember & m : k_norms) {
        cases.push_back({ m.label,
                          [m](Ctx & c) {
                              tevo_tensor * a = c.f32(16, 3, 2, 1, "x");
                              return Built{ m.fn(c.ctx, a, 1e-5f), { a }, m.inplace ? a : nullptr };
                          },
                          { TEVO_TYPE_F32, { 16, 3, 2, 1 }, m.op, { { 0, f32_bits(1e-5f) } },
                            m.inplace ? "x (view)" : "" } });
    }
    cases.push_back({ "rms_norm_back",
                      [](Ctx & c) {
                          tevo_tensor * a = c.f32(16, 3);
                          tevo_tensor * b = c.f32(16, 3);
                          return Built{ tevo_rms_norm_back(c.ctx, a, b, 1e-6f), { a, b } };
                      },
                      { TEVO_TYPE_F32, { 16, 3, 1, 1 }, TEVO_OP_RMS_NORM_BACK, { { 0, f32_bits(1e-6f) } }, "" } });
    cases.push_back({ "group_norm",
                      [](Ctx & c) {
                          tevo_tensor * a = c.f32(8, 8, 64);
                          return Built{ tevo_group_norm(c.ctx, a, 32, 1e-6f), { a } };
                      },
                      { TEVO_TYPE_F32, { 8, 8, 64, 1 }, TEVO_OP_GROUP_NORM, { { 0, 32 }, { 1, f32_bits(1e-6f) } },
                        "" } });
    cases.push_back({ "group_norm_inplace",
                      [](Ctx & c) {
                          tevo_tensor * a = c.f32(8, 8, 64, 1, "g");
                          return Built{ tevo_group_norm_inplace(c.ctx, a, 32, 1e-6f), { a }, a };
                      },
                      { TEVO_TYPE_F32, { 8, 8, 64, 1 }, TEVO_OP_GROUP_NORM, { { 0, 32 }, { 1, f32_bits(1e-6f) } },
                        "g (view)" } });
    run_table(cases);
}

TEST(OpsMatmul, Products) {
    std::vector<Case> cases = {
        { "mul_mat broadcast over dims 2 and 3",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_F16, 64, 10, 2, 1);
              tevo_tensor * b = c.f32(64, 7, 6, 3);
              return Built{ tevo_mul_mat(c.ctx, a, b), { a, b } };
          },
          { TEVO_TYPE_F32, { 10, 7, 6, 3 }, TEVO_OP_MUL_MAT, {}, "" } },
        { "mul_mat of quantized weights",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_Q4_0, 64, 10);
              tevo_tensor * b = c.t(TEVO_TYPE_F16, 64, 7);
              return Built{ tevo_mul_mat(c.ctx, a, b), { a, b } };
          },
          { TEVO_TYPE_F32, { 10, 7, 1, 1 }, TEVO_OP_MUL_MAT, {}, "" } },
        { "mul_mat of empty stacks",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(64, 10, 0);
              tevo_tensor * b = c.f32(64, 7, 0);
              return Built{ tevo_mul_mat(c.ctx, a, b), { a, b } };
          },
          { TEVO_TYPE_F32, { 10, 7, 0, 1 }, TEVO_OP_MUL_MAT, {}, "" } },
        { "mul_mat_id with one input row shared by the slots",
          [](Ctx & c) {
              tevo_tensor * as  = c.t(TEVO_TYPE_Q8_0, 64, 16, 8);
              tevo_tensor * b   = c.f32(64, 1, 9);
              tevo_tensor * ids = c.t(TEVO_TYPE_I32, 4, 9);
              return Built{ tevo_mul_mat_id(c.ctx, as, b, ids), { as, b, ids } };
          },
          { TEVO_TYPE_F32, { 16, 4, 9, 1 }, TEVO_OP_MUL_MAT_ID, {}, "" } },
        { "mul_mat_id with one row per slot",
          [](Ctx & c) {
              tevo_tensor * as  = c.f32(64, 16, 8);
              tevo_tensor * b   = c.f32(64, 4, 9);
              tevo_tensor * ids = c.t(TEVO_TYPE_I32, 4, 9);
              return Built{ tevo_mul_mat_id(c.ctx, as, b, ids), { as, b, ids } };
          },
          { TEVO_TYPE_F32, { 16, 4, 9, 1 }, TEVO_OP_MUL_MAT_ID, {}, "" } },
        { "out_prod",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(5, 7, 2);
              tevo_tensor * b = c.t(TEVO_TYPE_F16, 6, 7, 4, 3);
              return Built{ tevo_out_prod(c.ctx, a, b), { a, b } };
          },
          { TEVO_TYPE_F32, { 5, 6, 4, 3 }, TEVO_OP_OUT_PROD, {}, "" } },
    };
    run_table(cases);
}

TEST(OpsMatmul, Annotations) {
    Ctx           c;
    // hint 1 (the transform) needs a square first source
    tevo_tensor * mm = tevo_mul_mat(c.ctx, c.f32(8, 8), c.f32(8, 3));
    tevo_mul_mat_set_prec(mm, 10);
    tevo_mul_mat_set_hint(mm, 1);
    EXPECT_EQ(mm->op_params[0], 10);
    EXPECT_EQ(mm->op_params[1], 1);
    // other hints leave the product as it is, whatever its shape
    tevo_tensor * wide = tevo_mul_mat(c.ctx, c.f32(8, 2), c.f32(8, 3));
    tevo_mul_mat_set_hint(wide, 2);
    EXPECT_EQ(wide->op_params[1], 2);

    EXPECT_TRUE(tevo_prec_set_acc(mm, 7));
    EXPECT_EQ(mm->op_params[0], 7);

    // only source 1 of a matrix product has a precision word
    EXPECT_FALSE(tevo_prec_set_src(mm, 5, 0));
    EXPECT_FALSE(tevo_prec_set_src(mm, 5, 2));
    EXPECT_EQ(mm->op_params[3], 0);
    EXPECT_TRUE(tevo_prec_set_src(mm, 5, 1));
    EXPECT_EQ(mm->op_params[3], 5);
    EXPECT_EQ(mm->op_params[2], 0);

    tevo_tensor * mmid = tevo_mul_mat_id(c.ctx, c.f32(8, 4, 3), c.f32(8, 1, 2), c.t(TEVO_TYPE_I32, 2, 2));
    EXPECT_TRUE(tevo_prec_set_acc(mmid, 10));
    EXPECT_TRUE(tevo_prec_set_src(mmid, 11, 1));
    EXPECT_EQ(mmid->op_params[0], 10);
    EXPECT_EQ(mmid->op_params[3], 11);

    // attention keeps its precision in word 3
    tevo_tensor * fa = c.f32(4);
    fa->op           = TEVO_OP_FLASH_ATTN_EXT;
    EXPECT_TRUE(tevo_prec_set_acc(fa, 10));
    EXPECT_EQ(fa->op_params[3], 10);
    EXPECT_EQ(fa->op_params[0], 0);
    EXPECT_FALSE(tevo_prec_set_src(fa, 10, 1));

    tevo_tensor * add = tevo_add(c.ctx, c.f32(4), c.f32(4));
    EXPECT_FALSE(tevo_prec_set_acc(add, 10));
    EXPECT_FALSE(tevo_prec_set_src(add, 10, 1));
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(add->op_params[i], 0);
    }
}

TEST(OpsScale, Scaling) {
    std::vector<Case> cases = {
        { "scale",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 3);
              return Built{ tevo_scale(c.ctx, a, 2.0f), { a } };
          },
          { TEVO_TYPE_F32, { 8, 3, 1, 1 }, TEVO_OP_SCALE, { { 0, 0x40000000u } }, "" } },
        { "scale by -0.0 keeps its sign bit",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_BF16, 8, 3);
              return Built{ tevo_scale(c.ctx, a, -0.0f), { a } };
          },
          { TEVO_TYPE_BF16, { 8, 3, 1, 1 }, TEVO_OP_SCALE, { { 0, 0x80000000u } }, "" } },
        { "scale_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 3, 1, 1, "s");
              return Built{ tevo_scale_inplace(c.ctx, a, 0.5f), { a }, a };
          },
          { TEVO_TYPE_F32, { 8, 3, 1, 1 }, TEVO_OP_SCALE, { { 0, f32_bits(0.5f) } }, "s (view)" } },
        { "scale_bias",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 3);
              return Built{ tevo_scale_bias(c.ctx, a, 3.0f, -1.0f), { a } };
          },
          { TEVO_TYPE_F32, { 8, 3, 1, 1 }, TEVO_OP_SCALE, { { 0, f32_bits(3.0f) }, { 1, f32_bits(-1.0f) } }, "" } },
        { "scale_bias_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 3, 1, 1, "s");
              return Built{ tevo_scale_bias_inplace(c.ctx, a, 3.0f, 0.25f), { a }, a };
          },
          { TEVO_TYPE_F32, { 8, 3, 1, 1 }, TEVO_OP_SCALE, { { 0, f32_bits(3.0f) }, { 1, f32_bits(0.25f) } },
            "s (view)" } },
        { "scale of padded rows",
          [](Ctx & c) {
              tevo_tensor * root = c.f32(10, 3, 1, 1, "r");
              tevo_tensor * a    = tevo_view_2d(c.ctx, root, 8, 3, root->nb[1], 0);
              return Built{ tevo_scale_inplace(c.ctx, a, 2.0f), { a }, a };
          },
          { TEVO_TYPE_F32, { 8, 3, 1, 1 }, TEVO_OP_SCALE, { { 0, 0x40000000u } }, "r (view) (view)",
            { 4, 40, 120, 120 } } },
    };
    run_table(cases);
}

TEST(OpsMatmulDeath, Products) {
    run_deaths({
        { "mul_mat stacks not multiples", [](Ctx & c) { tevo_mul_mat(c.ctx, c.f32(64, 10, 2), c.f32(64, 7, 5, 3)); },
          "tevo_can_mul_mat(a, b)" },
        { "mul_mat rows differ", [](Ctx & c) { tevo_mul_mat(c.ctx, c.f32(64, 10), c.f32(32, 7)); },
          "tevo_can_mul_mat(a, b)" },
        { "mul_mat empty a stack against b", [](Ctx & c) { tevo_mul_mat(c.ctx, c.f32(64, 10, 0), c.f32(64, 7, 2)); },
          "tevo_can_mul_mat(a, b)" },
        { "mul_mat transposed a",
          [](Ctx & c) { tevo_mul_mat(c.ctx, tevo_transpose(c.ctx, c.f32(10, 64)), c.f32(64, 7)); },
          "!tevo_is_transposed(a)" },
        { "mul_mat_id transposed as",
          [](Ctx & c) {
              tevo_mul_mat_id(c.ctx, tevo_transpose(c.ctx, c.f32(16, 64)), c.f32(64, 1, 9), c.t(TEVO_TYPE_I32, 4, 9));
          },
          "!tevo_is_transposed(as)" },
        { "mul_mat_id ids type",
          [](Ctx & c) { tevo_mul_mat_id(c.ctx, c.f32(64, 16, 8), c.f32(64, 1, 9), c.t(TEVO_TYPE_I64, 4, 9)); },
          "ids->type == TEVO_TYPE_I32" },
        { "mul_mat_id 4-d as",
          [](Ctx & c) { tevo_mul_mat_id(c.ctx, c.f32(64, 16, 8, 2), c.f32(64, 1, 9), c.t(TEVO_TYPE_I32, 4, 9)); },
          "as->ne[3] == 1" },
        { "mul_mat_id 4-d b",
          [](Ctx & c) { tevo_mul_mat_id(c.ctx, c.f32(64, 16, 8), c.f32(64, 1, 9, 2), c.t(TEVO_TYPE_I32, 4, 9)); },
          "b->ne[3] == 1" },
        { "mul_mat_id 3-d ids",
          [](Ctx & c) { tevo_mul_mat_id(c.ctx, c.f32(64, 16, 8), c.f32(64, 1, 9), c.t(TEVO_TYPE_I32, 4, 9, 2)); },
          "ids->ne[2] == 1 && ids->ne[3] == 1" },
        { "mul_mat_id ids columns",
          [](Ctx & c) { tevo_mul_mat_id(c.ctx, c.f32(64, 16, 8), c.f32(64, 1, 9), c.t(TEVO_TYPE_I32, 4, 8)); },
          "ids->ne[1] == b->ne[2]" },
        { "mul_mat_id row length",
          [](Ctx & c) { tevo_mul_mat_id(c.ctx, c.f32(64, 16, 8), c.f32(32, 1, 9), c.t(TEVO_TYPE_I32, 4, 9)); },
          "as->ne[0] == b->ne[0]" },
        { "mul_mat_id rows not dividing slots",
          [](Ctx & c) { tevo_mul_mat_id(c.ctx, c.f32(64, 16, 8), c.f32(64, 3, 9), c.t(TEVO_TYPE_I32, 4, 9)); },
          "ids->ne[0] % b->ne[1] == 0" },
        // an empty b is refused by the same assertion, not by a division by zero
        { "mul_mat_id empty b",
          [](Ctx & c) { tevo_mul_mat_id(c.ctx, c.f32(64, 16, 8), c.f32(64, 0, 9), c.t(TEVO_TYPE_I32, 4, 9)); },
          "ids->ne[0] % b->ne[1] == 0" },
        { "out_prod shared dim", [](Ctx & c) { tevo_out_prod(c.ctx, c.f32(5, 7), c.f32(6, 8)); },
          "tevo_can_out_prod(a, b)" },
        { "out_prod transposed a",
          [](Ctx & c) { tevo_out_prod(c.ctx, tevo_transpose(c.ctx, c.f32(7, 5)), c.f32(6, 7)); },
          "!tevo_is_transposed(a)" },
        // half and block rows are not shared across batches by the kernels
        { "out_prod half a over more matrices of b",
          [](Ctx & c) { tevo_out_prod(c.ctx, c.t(TEVO_TYPE_F16, 5, 7, 1), c.f32(6, 7, 2)); },
          "a->type == TEVO_TYPE_F32 || (a->ne[2] == b->ne[2] && a->ne[3] == b->ne[3])" },
        { "out_prod block a over more stacks of b",
          [](Ctx & c) { tevo_out_prod(c.ctx, c.t(TEVO_TYPE_Q8_0, 32, 7, 2, 1), c.f32(6, 7, 2, 3)); },
          "a->type == TEVO_TYPE_F32 || (a->ne[2] == b->ne[2] && a->ne[3] == b->ne[3])" },
    });
}

TEST(OpsMatmulDeath, Annotations) {
    run_deaths({
        { "set_hint on mul_mat_id",
          [](Ctx & c) {
              tevo_mul_mat_set_hint(
                  tevo_mul_mat_id(c.ctx, c.f32(8, 4, 3), c.f32(8, 1, 2), c.t(TEVO_TYPE_I32, 2, 2)), 1);
          },
          "a->op == TEVO_OP_MUL_MAT" },
        { "transform hint on a product with rows shorter than the transform",
          [](Ctx & c) { tevo_mul_mat_set_hint(tevo_mul_mat(c.ctx, c.f32(8, 2), c.f32(8, 3)), 1); },
          "a->ne[0] == a->src[1]->ne[0]" },
        { "set_prec on add", [](Ctx & c) { tevo_mul_mat_set_prec(tevo_add(c.ctx, c.f32(4), c.f32(4)), 10); },
          "a->op == TEVO_OP_MUL_MAT" },
        { "prec_set_src index 10",
          [](Ctx & c) { tevo_prec_set_src(tevo_mul_mat(c.ctx, c.f32(8, 2), c.f32(8, 3)), 10, 10); },
          "idx >= 0 && idx < TEVO_MAX_SRC" },
        { "prec_set_src index -1 on any node", [](Ctx & c) { tevo_prec_set_src(c.f32(4), 10, -1); },
          "idx >= 0 && idx < TEVO_MAX_SRC" },
        { "scale of transposed", [](Ctx & c) { tevo_scale(c.ctx, tevo_transpose(c.ctx, c.f32(8, 3)), 2.0f); },
          "tevo_is_padded_1d(a)" },
        { "scale_bias_inplace of a gap above rows",
          [](Ctx & c) {
              tevo_tensor * root = c.f32(8, 8);
              tevo_scale_bias_inplace(c.ctx, tevo_view_3d(c.ctx, root, 8, 2, 2, 32, 128, 0), 2.0f, 1.0f);
          },
          "tevo_is_padded_1d(a)" },
    });
}
