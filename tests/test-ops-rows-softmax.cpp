// Constructors of row gathering and scattering, diagonal, masks, clamp and
// softmax.

#include "test-ops-util.h"

using namespace opstest;

TEST(OpsRows, GatherAndScatter) {
    std::vector<Case> cases = {
        { "get_rows of f16 gives f32",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_F16, 64, 100, 2);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 5, 2);
              return Built{ tevo_get_rows(c.ctx, a, b), { a, b } };
          },
          { TEVO_TYPE_F32, { 64, 5, 2, 1 }, TEVO_OP_GET_ROWS, {}, "" } },
        { "get_rows of q4_0 gives f32",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_Q4_0, 64, 100);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 7);
              return Built{ tevo_get_rows(c.ctx, a, b), { a, b } };
          },
          { TEVO_TYPE_F32, { 64, 7, 1, 1 }, TEVO_OP_GET_ROWS, {}, "" } },
        { "get_rows of i32 stays i32",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_I32, 3, 10, 2, 4);
              tevo_tensor * b = c.t(TEVO_TYPE_I32, 6, 2, 4);
              return Built{ tevo_get_rows(c.ctx, a, b), { a, b } };
          },
          { TEVO_TYPE_I32, { 3, 6, 2, 4 }, TEVO_OP_GET_ROWS, {}, "" } },
        { "get_rows_back: c is shape only",
          [](Ctx & c) {
              tevo_tensor * a  = c.f32(64, 5);
              tevo_tensor * b  = c.t(TEVO_TYPE_I32, 5);
              tevo_tensor * cc = c.t(TEVO_TYPE_F16, 64, 100);
              return Built{ tevo_get_rows_back(c.ctx, a, b, cc), { a, b } };
          },
          { TEVO_TYPE_F32, { 64, 100, 1, 1 }, TEVO_OP_GET_ROWS_BACK, {}, "" } },
        { "set_rows: destination last, I64 row numbers",
          [](Ctx & c) {
              tevo_tensor * a  = c.t(TEVO_TYPE_F16, 64, 10, 2, 1, "cache");
              tevo_tensor * b  = c.f32(64, 3, 2);
              tevo_tensor * ix = c.t(TEVO_TYPE_I64, 3, 1);
              return Built{ tevo_set_rows(c.ctx, a, b, ix), { b, ix, a }, a };
          },
          { TEVO_TYPE_F16, { 64, 10, 2, 1 }, TEVO_OP_SET_ROWS, {}, "cache (view)" } },
        { "set_rows of f16 rows with I32 numbers",
          [](Ctx & c) {
              tevo_tensor * a  = c.f32(16, 10, 2, 3, "dst");
              tevo_tensor * b  = c.t(TEVO_TYPE_F16, 16, 4, 2, 3);
              tevo_tensor * ix = c.t(TEVO_TYPE_I32, 4, 2, 3);
              return Built{ tevo_set_rows(c.ctx, a, b, ix), { b, ix, a }, a };
          },
          { TEVO_TYPE_F32, { 16, 10, 2, 3 }, TEVO_OP_SET_ROWS, {}, "dst (view)" } },
    };
    run_table(cases);
}

TEST(OpsRows, DiagMasksClamp) {
    std::vector<Case> cases = {
        { "diag",
          [](Ctx & c) {
              tevo_tensor * a = c.t(TEVO_TYPE_F16, 5, 1, 2, 3);
              return Built{ tevo_diag(c.ctx, a), { a } };
          },
          { TEVO_TYPE_F16, { 5, 5, 2, 3 }, TEVO_OP_DIAG, {}, "" } },
        { "diag_mask_inf",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 8, 2);
              return Built{ tevo_diag_mask_inf(c.ctx, a, 3), { a } };
          },
          { TEVO_TYPE_F32, { 8, 8, 2, 1 }, TEVO_OP_DIAG_MASK_INF, { { 0, 3 } }, "" } },
        { "diag_mask_inf_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 8, 2, 1, "kq");
              return Built{ tevo_diag_mask_inf_inplace(c.ctx, a, 0), { a }, a };
          },
          { TEVO_TYPE_F32, { 8, 8, 2, 1 }, TEVO_OP_DIAG_MASK_INF, {}, "kq (view)" } },
        { "diag_mask_zero",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 8);
              return Built{ tevo_diag_mask_zero(c.ctx, a, -2), { a } };
          },
          { TEVO_TYPE_F32, { 8, 8, 1, 1 }, TEVO_OP_DIAG_MASK_ZERO, { { 0, 0xFFFFFFFEu } }, "" } },
        { "diag_mask_zero_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 8, 1, 1, "kq");
              return Built{ tevo_diag_mask_zero_inplace(c.ctx, a, 5), { a }, a };
          },
          { TEVO_TYPE_F32, { 8, 8, 1, 1 }, TEVO_OP_DIAG_MASK_ZERO, { { 0, 5 } }, "kq (view)" } },
        { "clamp",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 2);
              return Built{ tevo_clamp(c.ctx, a, -0.0f, 6.0f), { a } };
          },
          { TEVO_TYPE_F32, { 8, 2, 1, 1 }, TEVO_OP_CLAMP, { { 0, 0x80000000u }, { 1, f32_bits(6.0f) } }, "" } },
        { "clamp_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(8, 2, 1, 1, "x");
              return Built{ tevo_clamp_inplace(c.ctx, a, -1.0f, 1.0f), { a }, a };
          },
          { TEVO_TYPE_F32, { 8, 2, 1, 1 }, TEVO_OP_CLAMP, { { 0, f32_bits(-1.0f) }, { 1, f32_bits(1.0f) } },
            "x (view)" } },
    };
    run_table(cases);
}

TEST(OpsSoftmax, Family) {
    const uint32_t one = f32_bits(1.0f);
    std::vector<Case> cases = {
        { "soft_max",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(32, 7, 4);
              return Built{ tevo_soft_max(c.ctx, a), { a } };
          },
          { TEVO_TYPE_F32, { 32, 7, 4, 1 }, TEVO_OP_SOFT_MAX, { { 0, one } }, "" } },
        { "soft_max_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(32, 7, 4, 1, "kq");
              return Built{ tevo_soft_max_inplace(c.ctx, a), { a }, a };
          },
          { TEVO_TYPE_F32, { 32, 7, 4, 1 }, TEVO_OP_SOFT_MAX, { { 0, one } }, "kq (view)" } },
        { "soft_max_ext without mask",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(32, 7, 4);
              return Built{ tevo_soft_max_ext(c.ctx, a, NULL, 0.125f, 0.0f), { a } };
          },
          { TEVO_TYPE_F32, { 32, 7, 4, 1 }, TEVO_OP_SOFT_MAX, { { 0, f32_bits(0.125f) } }, "" } },
        { "soft_max_ext with a taller, broadcast mask",
          [](Ctx & c) {
              tevo_tensor * a    = c.f32(32, 7, 4, 2);
              tevo_tensor * mask = c.t(TEVO_TYPE_F16, 32, 32, 1, 1);
              return Built{ tevo_soft_max_ext(c.ctx, a, mask, 0.5f, 8.0f), { a, mask } };
          },
          { TEVO_TYPE_F32, { 32, 7, 4, 2 }, TEVO_OP_SOFT_MAX, { { 0, f32_bits(0.5f) }, { 1, f32_bits(8.0f) } },
            "" } },
        { "soft_max_ext_inplace with a per-head mask",
          [](Ctx & c) {
              tevo_tensor * a    = c.f32(32, 7, 4, 2, "kq");
              tevo_tensor * mask = c.f32(32, 7, 2, 2);
              return Built{ tevo_soft_max_ext_inplace(c.ctx, a, mask, 1.0f, 0.0f), { a, mask }, a };
          },
          { TEVO_TYPE_F32, { 32, 7, 4, 2 }, TEVO_OP_SOFT_MAX, { { 0, one } }, "kq (view)" } },
        { "soft_max_ext_back",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(32, 7);
              tevo_tensor * b = c.f32(32, 7);
              return Built{ tevo_soft_max_ext_back(c.ctx, a, b, 0.25f, 2.0f), { a, b } };
          },
          { TEVO_TYPE_F32, { 32, 7, 1, 1 }, TEVO_OP_SOFT_MAX_BACK, { { 0, f32_bits(0.25f) }, { 1, f32_bits(2.0f) } },
            "" } },
        { "soft_max_ext_back_inplace",
          [](Ctx & c) {
              tevo_tensor * a = c.f32(32, 7, 1, 1, "g");
              tevo_tensor * b = c.f32(32, 7);
              return Built{ tevo_soft_max_ext_back_inplace(c.ctx, a, b, 0.25f, 0.0f), { a, b }, a };
          },
          { TEVO_TYPE_F32, { 32, 7, 1, 1 }, TEVO_OP_SOFT_MAX_BACK, { { 0, f32_bits(0.25f) } }, "g (view)" } },
    };
    run_table(cases);
}

TEST(OpsSoftmax, Sinks) {
    Ctx           c;
    tevo_tensor * a     = c.f32(32, 7, 4);
    tevo_tensor * sm    = tevo_soft_max_ext(c.ctx, a, NULL, 1.0f, 0.0f);
    tevo_tensor * sinks = c.f32(4);
    tevo_soft_max_add_sinks(sm, sinks);
    EXPECT_EQ(sm->src[2], sinks);
    tevo_soft_max_add_sinks(sm, NULL);
    EXPECT_EQ(sm->src[2], nullptr);

    // NULL only clears, whatever the node is
    tevo_tensor * mmid = tevo_mul_mat_id(c.ctx, c.f32(8, 4, 3), c.f32(8, 1, 2), c.t(TEVO_TYPE_I32, 2, 2));
    tevo_soft_max_add_sinks(mmid, NULL);
    EXPECT_EQ(mmid->src[2], nullptr);
}

TEST(OpsRowsDeath, GatherAndScatter) {
    run_deaths({
        { "get_rows matrices", [](Ctx & c) { tevo_get_rows(c.ctx, c.f32(64, 100, 3), c.t(TEVO_TYPE_I32, 5, 2)); },
          "a->ne[2] == b->ne[1]" },
        { "get_rows volumes", [](Ctx & c) { tevo_get_rows(c.ctx, c.f32(64, 100, 2, 2), c.t(TEVO_TYPE_I32, 5, 2)); },
          "a->ne[3] == b->ne[2]" },
        { "get_rows 4-d ids", [](Ctx & c) { tevo_get_rows(c.ctx, c.f32(64, 100), c.t(TEVO_TYPE_I32, 5, 1, 1, 2)); },
          "b->ne[3] == 1" },
        { "get_rows i64 ids", [](Ctx & c) { tevo_get_rows(c.ctx, c.f32(64, 100), c.t(TEVO_TYPE_I64, 5)); },
          "b->type == TEVO_TYPE_I32" },
        { "get_rows_back ids type",
          [](Ctx & c) { tevo_get_rows_back(c.ctx, c.f32(64, 5), c.f32(5), c.f32(64, 100)); },
          "tevo_is_matrix(a) && tevo_is_vector(b) && b->type == TEVO_TYPE_I32" },
        { "get_rows_back row length",
          [](Ctx & c) { tevo_get_rows_back(c.ctx, c.f32(64, 5), c.t(TEVO_TYPE_I32, 5), c.f32(32, 100)); },
          "tevo_is_matrix(c) && (a->ne[0] == c->ne[0])" },
    });
}

TEST(OpsRowsDeath, SetRows) {
    // a valid set: a [16, 10, 2, 3], b [16, 4, 2, 3] f32, c [4, 2, 3] i32
    run_deaths({
        { "row length",
          [](Ctx & c) { tevo_set_rows(c.ctx, c.f32(16, 10, 2, 3), c.f32(8, 4, 2, 3), c.t(TEVO_TYPE_I32, 4, 2, 3)); },
          "a->ne[0] == b->ne[0]" },
        { "matrices",
          [](Ctx & c) { tevo_set_rows(c.ctx, c.f32(16, 10, 2, 3), c.f32(16, 4, 1, 3), c.t(TEVO_TYPE_I32, 4, 1, 3)); },
          "a->ne[2] == b->ne[2]" },
        { "volumes",
          [](Ctx & c) { tevo_set_rows(c.ctx, c.f32(16, 10, 2, 3), c.f32(16, 4, 2, 1), c.t(TEVO_TYPE_I32, 4, 2, 1)); },
          "a->ne[3] == b->ne[3]" },
        { "row count",
          [](Ctx & c) { tevo_set_rows(c.ctx, c.f32(16, 10, 2, 3), c.f32(16, 4, 2, 3), c.t(TEVO_TYPE_I32, 5, 2, 3)); },
          "b->ne[1] == c->ne[0]" },
        { "index matrices",
          [](Ctx & c) {
              tevo_set_rows(c.ctx, c.f32(16, 10, 4, 3), c.f32(16, 4, 4, 3), c.t(TEVO_TYPE_I32, 4, 3, 3));
          },
          "b->ne[2] % c->ne[1] == 0" },
        // an empty index tensor is refused by the assertion, not a division by zero
        { "empty index matrices",
          [](Ctx & c) { tevo_set_rows(c.ctx, c.f32(16, 10, 2, 3), c.f32(16, 4, 2, 3), c.t(TEVO_TYPE_I32, 4, 0, 3)); },
          "b->ne[2] % c->ne[1] == 0" },
        { "index volumes",
          [](Ctx & c) { tevo_set_rows(c.ctx, c.f32(16, 10, 2, 3), c.f32(16, 4, 2, 3), c.t(TEVO_TYPE_I32, 4, 2, 2)); },
          "b->ne[3] % c->ne[2] == 0" },
        { "4-d index",
          [](Ctx & c) {
              tevo_set_rows(c.ctx, c.f32(16, 10, 2, 3), c.f32(16, 4, 2, 3), c.t(TEVO_TYPE_I32, 4, 2, 3, 2));
          },
          "c->ne[3] == 1" },
        { "bf16 rows",
          [](Ctx & c) {
              tevo_set_rows(c.ctx, c.f32(16, 10, 2, 3), c.t(TEVO_TYPE_BF16, 16, 4, 2, 3), c.t(TEVO_TYPE_I32, 4, 2, 3));
          },
          "b->type == TEVO_TYPE_F32 || b->type == TEVO_TYPE_F16" },
        { "i16 index",
          [](Ctx & c) {
              tevo_set_rows(c.ctx, c.f32(16, 10, 2, 3), c.f32(16, 4, 2, 3), c.t(TEVO_TYPE_I16, 4, 2, 3));
          },
          "c->type == TEVO_TYPE_I64 || c->type == TEVO_TYPE_I32" },
        { "unpacked destination rows",
          [](Ctx & c) {
              tevo_tensor * a = tevo_permute(c.ctx, c.f32(10, 16, 2, 3), 1, 0, 2, 3);
              tevo_set_rows(c.ctx, a, c.f32(16, 4, 2, 3), c.t(TEVO_TYPE_I32, 4, 2, 3));
          },
          "tevo_is_contiguous_rows(a)" },
        { "unpacked source rows",
          [](Ctx & c) {
              tevo_tensor * b = tevo_permute(c.ctx, c.f32(4, 16, 2, 3), 1, 0, 2, 3);
              tevo_set_rows(c.ctx, c.f32(16, 10, 2, 3), b, c.t(TEVO_TYPE_I32, 4, 2, 3));
          },
          "tevo_is_contiguous_rows(b)" },
    });
}

TEST(OpsRowsDeath, DiagAndSoftmax) {
    run_deaths({
        { "diag of a matrix", [](Ctx & c) { tevo_diag(c.ctx, c.f32(4, 2)); }, "a->ne[1] == 1" },
        { "soft_max of transposed", [](Ctx & c) { tevo_soft_max(c.ctx, tevo_transpose(c.ctx, c.f32(4, 3))); },
          "tevo_is_contiguous(a)" },
        { "mask type", [](Ctx & c) { tevo_soft_max_ext(c.ctx, c.f32(32, 7), c.t(TEVO_TYPE_BF16, 32, 7), 1, 0); },
          "mask->type == TEVO_TYPE_F16 || mask->type == TEVO_TYPE_F32" },
        { "mask not contiguous",
          [](Ctx & c) { tevo_soft_max_ext(c.ctx, c.f32(32, 32), tevo_transpose(c.ctx, c.f32(32, 32)), 1, 0); },
          "tevo_is_contiguous(mask)" },
        { "mask row length", [](Ctx & c) { tevo_soft_max_ext(c.ctx, c.f32(32, 7), c.f32(16, 7), 1, 0); },
          "mask->ne[0] == a->ne[0]" },
        { "mask fewer rows", [](Ctx & c) { tevo_soft_max_ext(c.ctx, c.f32(32, 7), c.f32(32, 6), 1, 0); },
          "mask->ne[1] >= a->ne[1]" },
        { "mask matrices", [](Ctx & c) { tevo_soft_max_ext(c.ctx, c.f32(32, 7, 4), c.f32(32, 7, 3), 1, 0); },
          "a->ne[2]%mask->ne[2] == 0" },
        { "empty mask matrices", [](Ctx & c) { tevo_soft_max_ext(c.ctx, c.f32(32, 7, 4), c.f32(32, 7, 0), 1, 0); },
          "a->ne[2]%mask->ne[2] == 0" },
        { "mask volumes", [](Ctx & c) { tevo_soft_max_ext(c.ctx, c.f32(32, 7, 4, 3), c.f32(32, 7, 4, 2), 1, 0); },
          "a->ne[3]%mask->ne[3] == 0" },
        { "bias slope without mask", [](Ctx & c) { tevo_soft_max_ext(c.ctx, c.f32(32, 7), NULL, 0.125f, 8.0f); },
          "mask" },
        { "sinks on a non-softmax node", [](Ctx & c) { tevo_soft_max_add_sinks(c.f32(32, 7, 4), c.f32(4)); },
          "a->op == TEVO_OP_SOFT_MAX" },
        { "sinks twice",
          [](Ctx & c) {
              tevo_tensor * sm = tevo_soft_max(c.ctx, c.f32(32, 7, 4));
              tevo_soft_max_add_sinks(sm, c.f32(4));
              tevo_soft_max_add_sinks(sm, c.f32(4));
          },
          "a->src[2] == NULL" },
        { "sinks per head", [](Ctx & c) { tevo_soft_max_add_sinks(tevo_soft_max(c.ctx, c.f32(32, 7, 4)), c.f32(3)); },
          "a->src[0]->ne[2] == sinks->ne[0]" },
        { "sinks type",
          [](Ctx & c) { tevo_soft_max_add_sinks(tevo_soft_max(c.ctx, c.f32(32, 7, 4)), c.t(TEVO_TYPE_F16, 4)); },
          "sinks->type == TEVO_TYPE_F32" },
    });
}
